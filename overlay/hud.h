#pragma once
// What the overlay composition draws besides the menu: detection boxes, the
// telemetry HUD and the OSD pop-up, each onto the canvas of one output's
// overlay (pixels, pitch in bytes, width, height). Called under g_overlay_lock.
#include <cstdint>

struct Output;

// Whether an OSD pop-up is to be shown (the OSD file carries a text).
bool osd_active();

// The telemetry HUD over the whole canvas; for outputs with `telem` set.
void draw_telemetry(const Output *o, uint8_t *px, uint32_t pitch, int32_t w, int32_t h);
// The OSD pop-up, on outputs with `is_dsi` while a pop-up is active; the last
// thing drawn. `top` is the row of its top edge (-1: the usual place).
void draw_osd(const Output *o, uint8_t *px, uint32_t pitch, int32_t w, int32_t h, int32_t top = -1);
// Whether draw_osd draws on output o, and the height of its pop-up on a w x h
// canvas (0 when it draws nothing).
int32_t osd_height_on(const Output *o, int32_t w, int32_t h);
