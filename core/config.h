#pragma once
// Process-wide settings read from the environment at start-up.
#include <cstdint>

extern int g_smooth;      // 1 = vblank-paced, 0 = show-on-arrival
extern int g_hotplug_on;  // monitor-swap detection
extern int g_antiflicker; // GPU anti-flicker filter
extern const char *g_aspect;
extern const char *g_fit;
extern const char *g_flip;
extern uint64_t g_rot_val; // KMS rotation value of g_flip
extern const char *g_aspect_dsi;
extern const char *g_fit_dsi;
extern const char *g_flip_dsi;
extern int g_telem_dsi;
extern int g_dewarp;
extern float g_dw_k1, g_dw_k2, g_dw_k3;
extern float g_dw_cx, g_dw_cy;
extern float g_dw_strength, g_dw_zoom, g_dw_vscale;
extern int g_colorgrade;
extern float g_cg_bright, g_cg_contrast, g_cg_sat, g_cg_temp;
extern char g_lut_path[512];
extern float g_lut_mix;
extern int g_is_hevc;

// KMS rotation value for a flip setting: "h" → 0x11, "v" → 0x21, "180" → 0x4, else 0.
uint64_t rot_value_for_flip(const char *flip);

// Start-up steps reading the environment, each logging its own lines.
void config_read_switches(); // hotplug, antiflicker, pacing
void config_read_geometry(); // fit, aspect, flip
void config_read_dsi();      // DSI overrides and the DSI telemetry switch
void config_read_gpu();      // dewarp, colour grade, LUT
