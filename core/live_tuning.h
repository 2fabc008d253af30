#pragma once
// Live tuning and triggers driven by control files under "/run/vex-fpv", polled
// by modification time from the presentation loop on the main thread:
//
//  - the tuning file ("dewarp", or VEX_KMS_DEWARP_FILE): "key = value" lines
//    that change the lens, grade and LUT values of the GPU pass, the picture
//    geometry (aspect, fit, flip, the DSI flip) and the pacing;
//  - the detection toggle ("detect", or VEX_KMS_DETECT): "on"/"1" starts an
//    object-detection engine (core/detect_engine.h), anything else stops it;
//  - the snapshot trigger ("snapshot"): each creation asks for one snapshot.
//
// These files are outside input: they are read only when they are regular
// files, without blocking, and up to a size cap; nothing in them can block the
// loop or leave a setting half-changed. Unreadable or missing files are not
// errors and leave the settings as they are.
#include <cstddef>

// 1 when the frame being presented is to be saved (snapshot trigger); the GPU
// pass and the panel path save their output when it is set. A request no one
// serves lapses with the next frame.
extern int g_want_snap;

// Re-reads the tuning file when its modification time changed, applies its
// lines in file order (the last of a repeated key wins) and logs the settings
// in force once per change. Lines that are malformed, too long, or name an
// unknown key are skipped. Settings not named keep their values.
void tuning_poll();
// The part of tuning_poll that applies a file's contents (len bytes, then a
// NUL), without the log line.
void tuning_apply_text(const char *text, size_t len);

// Checks the detection toggle; switches detection on (starting an engine) or
// off (stopping it). Returns 1 when the overlay must be recomposed: detection
// was switched, or the engine published new results since the last call.
int detect_poll();

// Once per presented frame: sets g_want_snap when the snapshot trigger file
// exists, and deletes it, so that one creation asks for one snapshot.
void snapshot_check();

// Whether the display set changed and the process must restart (asks the
// display's change check: at most one connector query per output).
bool display_changed();
