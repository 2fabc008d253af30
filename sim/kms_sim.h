#pragma once
// Hooks of the simulated display card for tests and tools. The product itself
// only sees libdrm's functions (defined by sim/kms_card.cpp and
// sim/kms_modeset.cpp) and open("/dev/dri/...") (sim_kms_open, sim/sim_env.h).
#include <cstdint>
#include <vector>

// Replaces the board with the one described by `text` (board-file format) and
// forgets every card, open file, buffer and framebuffer; null text loads the
// board VEX_SIM_BOARD names (or the default board). The board's timeline
// restarts at 0. Returns 0, or -1 (message on stderr) when the text is invalid.
int sim_kms_use_board(const char *text);

// Moves the board's timeline (card appearance, EDID delays, hotplug) forward.
// Vblank pacing keeps to the real clock.
void sim_kms_advance_ms(int ms);

// Framebuffers currently registered on all cards.
int sim_kms_fb_count();

// The picture the output named `output` (a connector name such as "HDMI-A-1")
// shows now, as packed RGB rows of *w x *h. Returns -1 when no active CRTC
// drives that connector.
int sim_kms_compose(const char *output, std::vector<uint8_t> *rgb, uint32_t *w, uint32_t *h);

// Writes "<run dir>/screen-<output>.png" for the output named `which` (or every
// active output for "all"); returns the number of pictures written.
int sim_kms_screenshot(const char *which);

// Mappings of files and buffers (not anonymous memory) made through mmap by
// the program so far; the simulator's own mappings of imported buffers are
// not counted.
long long sim_file_mmap_count();
