#pragma once
// Display mode selection for one connector.
//
// Ordinary monitors get their EDID's preferred mode, nudged to the advertised
// refresh nearest 60 Hz (the camera feed runs at about 60 fps). A request in
// VEX_KMS_MODE ("1920x1080", "1280x720@50", "1920x1080i@50") is honoured as
// exactly as the display allows; when the EDID lacks the standard timing, or
// lists it with an off-standard pixel clock, the built-in CEA timing is forced
// so that broadcast switchers can lock. vc4 cannot scan out beyond about
// 1920x1200, so larger modes are avoided there.
//
// The selection itself works on plain inputs (the connector's mode array in
// kernel order, the parsed request, the vc4 flag); `pick_mode` is the thin
// wrapper that reads the environment and the cached driver test.
#include <array>
#include <cstdint>
#include <xf86drmMode.h>

// Built-in standard timings, searched from the first row upwards.
// Flags 0x5 = +hsync +vsync, 0x15 = +hsync +vsync interlaced; type 0x40 = driver-defined.
inline constexpr std::array<drmModeModeInfo, 6> cea_modes = {{
    {148500, 1920, 2448, 2492, 2640, 0, 1080, 1084, 1089, 1125, 0, 50, 0x5, 0x40, "1920x1080"},
    {148500, 1920, 2008, 2052, 2200, 0, 1080, 1084, 1089, 1125, 0, 60, 0x5, 0x40, "1920x1080"},
    {74250, 1280, 1720, 1760, 1980, 0, 720, 725, 730, 750, 0, 50, 0x5, 0x40, "1280x720"},
    {74250, 1280, 1390, 1430, 1650, 0, 720, 725, 730, 750, 0, 60, 0x5, 0x40, "1280x720"},
    {74250, 1920, 2448, 2492, 2640, 0, 1080, 1084, 1094, 1125, 0, 50, 0x15, 0x40, "1920x1080i"},
    {74250, 1920, 2008, 2052, 2200, 0, 1080, 1084, 1094, 1125, 0, 60, 0x15, 0x40, "1920x1080i"},
}};

// A parsed VEX_KMS_MODE value.
struct ModeRequest {
    int w = 0, h = 0;
    int interlaced = 0; // 1 when the height is followed directly by 'i' or 'I'
    int refresh = 0;    // Hz after the first '@' (field rate when interlaced); 0 = any
};

inline bool mode_is_interlaced(const drmModeModeInfo &m) {
    return (m.flags & DRM_MODE_FLAG_INTERLACE) != 0;
}

// Parses "WxH[i|I][@R]". Returns 0 when the start reads as "%dx%d", else -1
// (automatic choice: "auto", empty, null, "1080p", ...).
int parse_mode_request(const char *text, ModeRequest *out);

// VEX_KMS_MODE from the environment; 0 and *out filled when it parses, else -1.
int mode_request_from_env(ModeRequest *out);

// The CEA row for w x h at `refresh` Hz: the first in table order with that size and
// rate, and with the interlace flag set when `interlaced_only`. Null when none.
const drmModeModeInfo *cea_find(int w, int h, int refresh, int interlaced_only);

// Of the progressive modes with m's size, the one whose refresh is nearest 60 Hz
// (ties to the higher rate); m itself when it is interlaced or nothing beats it.
// Logs the "auto mode: EDID prefers" line when the refresh changes.
drmModeModeInfo prefer_60hz(const drmModeModeInfo *modes, int count, const drmModeModeInfo &m);

// The automatic choice: the first (preferred) mode through prefer_60hz, on vc4
// replaced first by the largest mode of the same shape within 1920x1200.
drmModeModeInfo pick_mode_auto(const drmModeModeInfo *modes, int count, int is_vc4);

// Mode for `req` (null = automatic choice) among the connector's `count` >= 1 modes.
// allow_force permits returning a CEA row the EDID lacks; *forced (when non-null)
// is set to 1 whenever a CEA row is returned and left alone otherwise.
drmModeModeInfo pick_mode_from(const drmModeModeInfo *modes, int count, const ModeRequest *req,
                               int allow_force, int *forced, int is_vc4);

// The connector's mode, with VEX_KMS_MODE counted when use_env and the card's
// driver taken from drv_is_vc4().
drmModeModeInfo pick_mode(const drmModeConnector *conn, int allow_force, int *forced, int use_env);

// Driver test, cached process-wide: -1 not yet known, then 0 or 1.
extern int g_drv_vc4;
// 1 when the driver name is exactly "vc4" (0 for null).
int drv_name_is_vc4(const char *name);
// Records the open card's driver name (from drmGetVersion; null when it could not
// be read). The first call decides; later calls change nothing.
void drv_note_name(const char *name);
// 1 on a vc4 card, else 0 (also 0 while no driver name was recorded).
int drv_is_vc4();
