#pragma once
// Putting a framebuffer on an output's video plane, and taking video off.
#include <cstdint>

struct Output;

// One atomic commit of the output's video plane; fb 0 switches the plane off.
// Source in whole pixels. Returns the commit result (0 or a negative errno).
int atomic_setplane(const Output *o, uint32_t fb, int32_t crtc_x, int32_t crtc_y, int32_t crtc_w,
                    int32_t crtc_h, int32_t src_x, int32_t src_y, int32_t src_w, int32_t src_h);

// Resolves every output's aspect, fit, flip and telemetry from the settings
// and the DSI overrides; repaints a standby buffer whose flip/fit changed.
void apply_output_overrides();

// Takes the video off one output: a primary-path output shows its standby
// framebuffer again, any other output's video plane is switched off (through
// an atomic commit when `atomic` is set and the output uses them).
void video_plane_off(const Output &o, bool atomic);

// Takes the video off every output and shows the standby pictures again.
void hide_video();
