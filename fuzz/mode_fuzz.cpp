// Mode requests (VEX_KMS_MODE): parsed, then matched against a monitor's mode
// list with and without forcing the built-in timings, on vc4 and elsewhere.
#include "display/mode_select.h"
#include "fuzz/fuzz_input.h"

#include <cstdlib>

namespace {

drmModeModeInfo mode(int w, int h, int hz, uint32_t flags = 0x5) {
    drmModeModeInfo m{};
    m.clock = (uint32_t)(w * h * hz / 1000 * 5 / 4);
    m.hdisplay = (uint16_t)w, m.vdisplay = (uint16_t)h, m.vrefresh = (uint32_t)hz;
    m.htotal = (uint16_t)(w + 280), m.vtotal = (uint16_t)(h + 45);
    m.flags = flags;
    snprintf(m.name, sizeof m.name, "%dx%d%s", w, h, (flags & 0x10) ? "i" : "");
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const drmModeModeInfo modes[] = {mode(3840, 2160, 30), mode(1920, 1080, 60),
                                            mode(1920, 1080, 50), mode(1920, 1080, 60, 0x15),
                                            mode(1280, 720, 60),  mode(1280, 720, 50),
                                            mode(720, 576, 50),   mode(640, 480, 60)};
    const std::string text = fuzz_text(data, size);
    ModeRequest req;
    if (parse_mode_request(text.c_str(), &req) == 0) {
        int forced = 0;
        for (int vc4 = 0; vc4 < 2; vc4++)
            for (int force = 0; force < 2; force++)
                pick_mode_from(modes, 8, &req, force, &forced, vc4);
        cea_find(req.w, req.h, req.refresh, req.interlaced);
    }
    pick_mode_from(modes, 1, nullptr, 0, nullptr, 0);
    setenv("VEX_KMS_MODE", text.c_str(), 1);
    mode_request_from_env(&req);
    return 0;
}
