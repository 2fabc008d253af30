// The telemetry file: parsed as the telemetry poll reads it, then the HUD
// (status bar and chips) drawn on a small canvas chosen by the first byte.
#include "display/output.h"
#include "fuzz/fuzz_input.h"
#include "overlay/hud.h"
#include "overlay/telemetry.h"
#include "overlay/text.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    font_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string text = fuzz_control_text(data + 1, size - 1);
    Telemetry t{};
    telemetry_parse(text.c_str(), text.size(), &t);
    t.valid = 1;
    g_telem = t;
    FuzzCanvas &c = fuzz_canvas(data[0]);
    Output o{};
    o.telem = 1;
    o.is_dsi = (data[0] >> 2) & 1;
    o.mode.hdisplay = (uint16_t)c.w;
    o.mode.vdisplay = (uint16_t)c.h;
    o.mode.vrefresh = 60;
    draw_telemetry(&o, c.bytes(), c.pitch(), c.w, c.h);
    return 0;
}
