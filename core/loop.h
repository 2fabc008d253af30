#pragma once
// The presentation loop on the main thread: polls the control files, waits for
// the next decoded frame, gates it and puts it on every output.
#include <atomic>
#include <cstdint>
#include <pthread.h>

extern std::atomic<int64_t> g_shown_count; // frames that reached presentation
extern int64_t g_drop_throttle;            // frames discarded by the display-rate cap
extern int g_video_hidden;                 // video blanked for a menu message

// Whether a video frame is on the outputs.
bool loop_showing_video();
// Removes the framebuffers and frees the frames kept on screen (video hidden).
void loop_release_shown();

// Runs until end of input; joins the reader thread and returns 0.
int presentation_loop(pthread_t reader);
