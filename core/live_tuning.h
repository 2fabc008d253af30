#pragma once
// Live tuning and triggers driven by control files.

// 1 when the frame being presented is to be saved (snapshot trigger); the GPU
// pass and the panel path save their output when it is set.
extern int g_want_snap;

// Re-reads the live tuning file when it changed.
void tuning_poll();
// Checks the detection toggle; returns 1 when the overlay must be recomposed.
int detect_poll();
// Writes a snapshot when the snapshot trigger file appeared.
void snapshot_check();
// Whether the display set changed and the process must restart.
bool display_changed();
