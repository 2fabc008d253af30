#pragma once
// The presentation loop on the main thread.
#include <atomic>
#include <cstdint>
#include <pthread.h>

extern std::atomic<int64_t> g_shown_count; // frames that reached presentation

// Whether a video frame is on the outputs.
bool loop_showing_video();
// Releases the framebuffers and frames kept on screen (the video was hidden).
void loop_release_shown();

// Runs until end of input; joins the reader thread and returns 0.
int presentation_loop(pthread_t reader);
