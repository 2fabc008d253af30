#include "core/config.h"

#include <cstdio>
#include <cstring>

#include "core/env.h"
#include "core/log.h"

int g_smooth = 1;
int g_hotplug_on = 1;
int g_antiflicker = 0;
const char *g_aspect = "keep";
const char *g_fit = "fit";
const char *g_flip = "none";
uint64_t g_rot_val = 0;
const char *g_aspect_dsi = nullptr;
const char *g_fit_dsi = nullptr;
const char *g_flip_dsi = nullptr;
int g_telem_dsi = 0;
int g_dewarp = 0;
float g_dw_k1 = -0.15f, g_dw_k2 = 0.0f, g_dw_k3 = 0.0f;
float g_dw_cx = 0.5f, g_dw_cy = 0.5f;
float g_dw_strength = 1.0f, g_dw_zoom = 1.0f, g_dw_vscale = 1.0f;
int g_colorgrade = 0;
float g_cg_bright = 0.0f, g_cg_contrast = 1.0f, g_cg_sat = 1.0f, g_cg_temp = 0.0f;
char g_lut_path[512];
float g_lut_mix = 1.0f;
int g_is_hevc = 0;

uint64_t rot_value_for_flip(const char *flip) {
    if (!flip) return 0;
    if (strcmp(flip, "h") == 0) return 0x11;
    if (strcmp(flip, "v") == 0) return 0x21;
    if (strcmp(flip, "180") == 0) return 0x4;
    return 0;
}

void config_read_switches() {
    const char *v = env_get("VEX_KMS_HOTPLUG");
    if (env_nonempty(v)) {
        g_hotplug_on = v[0] == '0' ? 0 : 1;
        if (!g_hotplug_on) vlog("monitor-swap detection OFF (VEX_KMS_HOTPLUG=0)");
    }
    v = env_get("VEX_KMS_ANTIFLICKER");
    if (env_nonempty(v)) g_antiflicker = v[0] == '1' ? 1 : 0;
    if (g_antiflicker) vlog("interlaced output → GPU anti-flicker filter ON");

    v = env_get("VEX_SMOOTH");
    if (v) {
        g_smooth = v[0] == '0' ? 0 : 1;
        vlog("pacing %s (VEX_SMOOTH=%s)", g_smooth ? "vblank (smooth)" : "show-on-arrival", v);
    } else {
        vlog("pacing %s (VEX_SMOOTH=%s)", "vblank (smooth)", "unset→on");
    }
}

void config_read_geometry() {
    const char *v = env_get("VEX_KMS_ASPECT");
    if (env_nonempty(v)) g_aspect = v;
    v = env_get("VEX_KMS_FIT");
    if (env_nonempty(v)) g_fit = v;
    vlog("fit %s", g_fit);
    vlog("aspect %s", g_aspect);
    v = env_get("VEX_KMS_FLIP");
    if (env_nonempty(v)) g_flip = v;
    g_rot_val = rot_value_for_flip(g_flip);
    vlog("flip %s (rot 0x%llx)", g_flip, (unsigned long long)g_rot_val);
}

void config_read_dsi() {
    g_aspect_dsi = env_get("VEX_KMS_ASPECT_DSI");
    g_fit_dsi = env_get("VEX_KMS_FIT_DSI");
    g_flip_dsi = env_get("VEX_KMS_FLIP_DSI");
    const char *v = env_get("VEX_KMS_TELEMETRY_DSI");
    g_telem_dsi = (v && v[0] == '1') ? 1 : 0;
}

void config_read_gpu() {
    const char *v = env_get("VEX_KMS_DEWARP");
    g_dewarp = (v && v[0] == '1') ? 1 : 0;
    g_dw_k1 = env_float_or("VEX_KMS_DEWARP_K1", g_dw_k1);
    g_dw_k2 = env_float_or("VEX_KMS_DEWARP_K2", g_dw_k2);
    g_dw_k3 = env_float_or("VEX_KMS_DEWARP_K3", g_dw_k3);
    g_dw_cx = env_float_or("VEX_KMS_DEWARP_CX", g_dw_cx);
    g_dw_cy = env_float_or("VEX_KMS_DEWARP_CY", g_dw_cy);
    g_dw_strength = env_float_or("VEX_KMS_DEWARP_STRENGTH", g_dw_strength);
    g_dw_zoom = env_float_or("VEX_KMS_DEWARP_ZOOM", g_dw_zoom);
    g_dw_vscale = env_float_or("VEX_KMS_DEWARP_VSCALE", g_dw_vscale);

    v = env_get("VEX_KMS_CG_ENABLE");
    if (v) g_colorgrade = v[0] == '1' ? 1 : 0;
    g_cg_bright = env_float_or("VEX_KMS_CG_BRIGHT", g_cg_bright);
    g_cg_contrast = env_float_or("VEX_KMS_CG_CONTRAST", g_cg_contrast);
    g_cg_sat = env_float_or("VEX_KMS_CG_SAT", g_cg_sat);
    g_cg_temp = env_float_or("VEX_KMS_CG_TEMP", g_cg_temp);
    v = env_get("VEX_KMS_LUT");
    if (env_nonempty(v)) {
        snprintf(g_lut_path, sizeof g_lut_path, "%s", v);
        g_colorgrade = 1;
    }
    g_lut_mix = env_float_or("VEX_KMS_LUT_MIX", g_lut_mix);

    vlog("dewarp %s (k=%.3f/%.3f/%.3f center=%.2f,%.2f strength=%.2f zoom=%.2f)",
         g_dewarp ? "ON" : "off", g_dw_k1, g_dw_k2, g_dw_k3, g_dw_cx, g_dw_cy, g_dw_strength,
         g_dw_zoom);
}
