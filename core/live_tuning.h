#pragma once
// Live tuning and triggers driven by control files.

// Re-reads the live tuning file when it changed.
void tuning_poll();
// Checks the detection toggle; returns 1 when the overlay must be recomposed.
int detect_poll();
// Writes a snapshot when the snapshot trigger file appeared.
void snapshot_check();
// Whether the display set changed and the process must restart.
bool display_changed();
