#pragma once
// The connected displays: one Output record per output, set up by drm_init.
#include <cstdint>
#include <xf86drmMode.h>

struct Output {
    uint32_t connector_id;
    uint32_t crtc_id;
    uint32_t plane_id;         // video plane (NV12 overlay, cursor-typed, or the primary)
    uint32_t primary_plane_id; // the CRTC's primary plane: carries the standby buffer
    int32_t crtc_index;
    drmModeModeInfo mode;
    uint32_t menu_plane_id; // ARGB8888 overlay plane; 0 = none
    uint32_t menu_fb[2];
    uint8_t *menu_map[2];
    uint32_t menu_pitch;
    int32_t menu_front; // buffer on the overlay plane; -1 = none
    uint32_t menu_shown;
    uint32_t menu_sidebar; // no overlay plane: the menu is drawn into the standby buffer
    uint8_t *standby_map;
    uint32_t standby_pitch;
    uint32_t standby_fb;
    const char *aspect;
    const char *fit;
    const char *flip;
    char standby_key[24]; // "flip/fit" the standby buffer was last painted for
    uint32_t telem;
    uint32_t is_dsi;
    uint32_t primary_path; // video replaces the standby buffer on the primary plane
    uint32_t atomic_ok;    // video-plane updates through atomic commits
    uint32_t prop_fb_id, prop_crtc_id, prop_src_x, prop_src_y, prop_src_w, prop_src_h;
    uint32_t prop_crtc_x, prop_crtc_y, prop_crtc_w, prop_crtc_h;
    uint16_t edid_w, edid_h, edid_hz; // first advertised mode at set-up
    uint32_t lost;
};

constexpr int max_outputs = 4;
constexpr uint32_t drm_connector_dsi = 16;

extern int drm_fd;
extern Output outs[max_outputs];
extern int nout;

// Opens the card and sets up every usable connected output: 0 when at least
// one output was set up, -1 otherwise (drm_fd is then -1 and nout 0).
int drm_init();
