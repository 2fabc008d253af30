#pragma once
// The presentation loop on the main thread: polls the control files, waits for
// the next decoded frame, gates it and puts it on every output.
#include <pthread.h>

extern int g_video_hidden; // video blanked for a menu message

// Runs until end of input; joins the reader thread and returns 0. Ends the
// process at once (status 0) when the displays changed.
int presentation_loop(pthread_t reader);
