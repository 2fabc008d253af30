#pragma once
// The presentation loop on the main thread.
#include <atomic>
#include <cstdint>
#include <pthread.h>

extern std::atomic<int64_t> g_shown_count; // frames that reached presentation

// Runs until end of input; joins the reader thread and returns 0.
int presentation_loop(pthread_t reader);
