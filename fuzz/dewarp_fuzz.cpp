// The live tuning file: its contents applied to the settings as the tuning
// poll does, then the output overrides (no outputs here) and the settings the
// GPU pass and the placement read checked for what the parser promises.
#include <cmath>
#include <cstring>

#include "core/config.h"
#include "core/live_tuning.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz_control_text(data, size);
    tuning_apply_text(text.c_str(), text.size());
    for (float v : {g_dw_k1, g_dw_k2, g_dw_k3, g_dw_cx, g_dw_cy, g_dw_strength, g_dw_zoom,
                    g_dw_vscale, g_cg_bright, g_cg_contrast, g_cg_sat, g_cg_temp, g_lut_mix})
        if (!std::isfinite(v)) __builtin_trap();
    if (strlen(g_aspect) > 15 || strlen(g_fit) > 15 || strlen(g_flip) > 7 ||
        (g_flip_dsi && strlen(g_flip_dsi) > 7) || strlen(g_lut_path) > 95)
        __builtin_trap();
    return 0;
}
