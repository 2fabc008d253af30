#include "overlay/hud.h"
#include "overlay/overlay.h"

// The telemetry HUD, the OSD pop-ups and the detection boxes are not drawn
// yet: their files are not read, and the composition's calls draw nothing.
int poll_osd() {
    return 0;
}
int poll_telemetry() {
    return 0;
}
bool osd_active() {
    return false;
}
void draw_detections(uint8_t *, uint32_t, int32_t, int32_t) {}
void draw_telemetry(const Output *, uint8_t *, uint32_t, int32_t, int32_t) {}
void draw_osd(const Output *, uint8_t *, uint32_t, int32_t, int32_t) {}
