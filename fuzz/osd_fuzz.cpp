// The OSD file: parsed as the OSD poll reads it, then the pop-up tile rendered
// and blended into a small target (ARGB or RGBA, top-down or bottom-up, as the
// overlay and the SPI read-back are), chosen by the first byte.
#include "fuzz/fuzz_input.h"
#include "overlay/osd.h"
#include "overlay/text.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    font_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string text = fuzz_control_text(data + 1, size - 1);
    OsdState st{};
    osd_parse(text.c_str(), text.size(), &st);
    g_osd = st;
    if (!g_osd.active) return 0;
    FuzzCanvas &c = fuzz_canvas(data[0]);
    pu_blit(PuTarget{c.bytes(), c.pitch(), c.w, c.h, (data[0] >> 2) & 1, (data[0] >> 3) & 1},
            g_osd.level);
    return 0;
}
