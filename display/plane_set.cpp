#include "display/plane_set.h"

#include <cstdio>
#include <cstring>
#include <xf86drmMode.h>

#include "core/config.h"
#include "core/log.h"
#include "core/loop.h"
#include "display/output.h"
#include "display/placement.h"
#include "display/standby.h"

int atomic_setplane(const Output *o, uint32_t fb, int32_t crtc_x, int32_t crtc_y, int32_t crtc_w,
                    int32_t crtc_h, int32_t src_x, int32_t src_y, int32_t src_w, int32_t src_h) {
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    if (!req) return -12; // -ENOMEM
    uint32_t plane = o->plane_id;
    drmModeAtomicAddProperty(req, plane, o->prop_fb_id, fb);
    if (fb) {
        drmModeAtomicAddProperty(req, plane, o->prop_crtc_id, o->crtc_id);
        if (o->prop_src_x)
            drmModeAtomicAddProperty(req, plane, o->prop_src_x, (uint64_t)src_x << 16);
        if (o->prop_src_y)
            drmModeAtomicAddProperty(req, plane, o->prop_src_y, (uint64_t)src_y << 16);
        drmModeAtomicAddProperty(req, plane, o->prop_src_w, (uint64_t)src_w << 16);
        drmModeAtomicAddProperty(req, plane, o->prop_src_h, (uint64_t)src_h << 16);
        if (o->prop_crtc_x)
            drmModeAtomicAddProperty(req, plane, o->prop_crtc_x, (uint64_t)(int64_t)crtc_x);
        if (o->prop_crtc_y)
            drmModeAtomicAddProperty(req, plane, o->prop_crtc_y, (uint64_t)(int64_t)crtc_y);
        drmModeAtomicAddProperty(req, plane, o->prop_crtc_w, (uint64_t)crtc_w);
        drmModeAtomicAddProperty(req, plane, o->prop_crtc_h, (uint64_t)crtc_h);
    } else {
        drmModeAtomicAddProperty(req, plane, o->prop_crtc_id, 0);
    }
    int r = drmModeAtomicCommit(drm_fd, req, 0, nullptr);
    drmModeAtomicFree(req);
    return r;
}

void apply_output_overrides() {
    GeometrySettings gs;
    gs.aspect = g_aspect;
    gs.fit = g_fit;
    gs.flip = g_flip;
    gs.aspect_dsi = g_aspect_dsi;
    gs.fit_dsi = g_fit_dsi;
    gs.flip_dsi = g_flip_dsi;
    gs.telem_dsi = g_telem_dsi;
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        OutputGeometry g;
        if (resolve_output_geometry(o.is_dsi, gs, &g) > 0) log_output_override(i, g);
        o.aspect = g.aspect;
        o.fit = g.fit;
        o.flip = g.flip;
        o.telem = (uint32_t)g.telem;
    }
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        char key[24];
        if (o.standby_map &&
            strcmp(standby_key_for(o.flip, o.fit, key, sizeof key), o.standby_key) != 0)
            repaint_standby(&o);
    }
}

void video_plane_off(const Output &o, bool atomic) {
    uint32_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    if (o.primary_path)
        drmModeSetPlane(drm_fd, o.primary_plane_id ? o.primary_plane_id : o.plane_id, o.crtc_id,
                        o.standby_fb, 0, 0, 0, w, h, 0, 0, w << 16, h << 16);
    else if (atomic && o.atomic_ok)
        atomic_setplane(&o, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    else
        drmModeSetPlane(drm_fd, o.plane_id, o.crtc_id, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
}

void hide_video() {
    if (!loop_showing_video()) return;
    for (int i = 0; i < nout; i++) repaint_standby(&outs[i]);
    for (int i = 0; i < nout; i++) video_plane_off(outs[i], false);
    loop_release_shown();
}
