#pragma once
// Bringing up the displays at start-up.

// Starts the display: 0 when the displays are ready, -1 when none is available yet.
int display_start();
// Whether any output runs an interlaced mode.
bool display_any_interlaced();
