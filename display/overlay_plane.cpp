#include "display/overlay_plane.h"

#include <cerrno>
#include <cstring>
#include <drm_fourcc.h>
#include <xf86drmMode.h>

#include "core/env.h"
#include "core/log.h"
#include "display/dumb_buffer.h"
#include "display/output.h"
#include "display/props.h"

static bool goes_before(const OverlayCandidate &a, const OverlayCandidate &b) {
    if (a.zpos != b.zpos) return a.zpos > b.zpos;
    return a.overlay && !b.overlay;
}

void order_overlay_candidates(OverlayCandidate *c, int n) {
    for (int i = 1; i < n; i++) {
        OverlayCandidate v = c[i];
        int j = i - 1;
        while (j >= 0 && goes_before(v, c[j])) {
            c[j + 1] = c[j];
            j--;
        }
        c[j + 1] = v;
    }
}

ZposPlan plan_overlay_zpos(const RangeProp &overlay, const RangeProp &video) {
    ZposPlan p;
    if (!overlay.id) return p;
    p.overlay = overlay.settable ? overlay.max : overlay.value;
    p.set_overlay = overlay.settable;
    p.above = true; // as far as anyone can tell without a video zpos
    if (!video.id) return p;
    p.video = video.value;
    if (video.value >= p.overlay && video.settable && p.overlay > video.min) {
        p.video = p.overlay - 1;
        p.set_video = true;
    }
    p.above = p.overlay > p.video;
    return p;
}

static bool lists_format(const drmModePlane *p, uint32_t fourcc) {
    for (uint32_t i = 0; i < p->count_formats; i++)
        if (p->formats[i] == fourcc) return true;
    return false;
}

static int collect_candidates(const Output *o, uint32_t forced, const PlaneSet &taken,
                              OverlayCandidate *c) {
    drmModePlaneRes *pres = drmModeGetPlaneResources(drm_fd);
    if (!pres) return 0;
    int n = 0;
    for (uint32_t i = 0; i < pres->count_planes && n < max_overlay_candidates; i++) {
        if (i < taken.size() && taken[i]) continue;
        drmModePlane *p = drmModeGetPlane(drm_fd, pres->planes[i]);
        if (!p) continue;
        bool usable = (p->possible_crtcs & (1u << o->crtc_index)) && p->count_formats > 0 &&
                      lists_format(p, DRM_FORMAT_ARGB8888) && (!forced || p->plane_id == forced);
        uint32_t id = p->plane_id;
        drmModeFreePlane(p);
        if (!usable) continue;
        uint64_t type = 0, zpos = 0;
        prop_id_value(id, obj_plane, "type", &type);
        uint32_t zprop = prop_id_value(id, obj_plane, "zpos", &zpos);
        bool overlay = type == DRM_PLANE_TYPE_OVERLAY;
        if (!overlay && type != DRM_PLANE_TYPE_CURSOR && !forced) continue;
        c[n++] = OverlayCandidate{id, zprop, zpos, overlay ? 1u : 0u, i};
    }
    drmModeFreePlaneResources(pres);
    return n;
}

// Whether the planned stacking is what the planes now report.
static bool zpos_took(uint32_t overlay_plane, uint32_t video_plane, const ZposPlan &z) {
    if (!z.above || (!z.set_overlay && !z.set_video)) return false;
    uint64_t v = 0;
    if (z.set_overlay && (!prop_id_value(overlay_plane, obj_plane, "zpos", &v) || v != z.overlay))
        return false;
    if (z.set_video && (!prop_id_value(video_plane, obj_plane, "zpos", &v) || v != z.video))
        return false;
    return true;
}

void probe_overlay_plane(Output *o, int index, PlaneSet *taken) {
    uint32_t forced = (uint32_t)env_int_or("VEX_KMS_MENU_PLANE", 0);
    const RangeProp video_z = range_prop(o->plane_id, obj_plane, "zpos");
    OverlayCandidate c[max_overlay_candidates];
    int n = collect_candidates(o, forced, *taken, c);
    order_overlay_candidates(c, n);

    uint32_t w = o->mode.hdisplay, h = o->mode.vdisplay;
    for (int k = 0; k < n; k++) {
        DumbBuffer b[2];
        for (DumbBuffer &d : b) {
            if (dumb_create(drm_fd, w, h, &d) == 0)
                dumb_add_fb(drm_fd, w, h, DRM_FORMAT_ARGB8888, &d);
        }
        const ZposPlan z = plan_overlay_zpos(range_prop(c[k].plane_id, obj_plane, "zpos"), video_z);
        if (z.set_overlay)
            drmModeObjectSetProperty(drm_fd, c[k].plane_id, obj_plane, c[k].zpos_prop, z.overlay);
        bool ok = b[0].fb && drmModeSetPlane(drm_fd, c[k].plane_id, o->crtc_id, b[0].fb, 0, 0, 0, w,
                                             h, 0, 0, w << 16, h << 16) == 0;
        if (!ok) {
            vlog("output %d ARGB plane %u rejected a linear scan-out (%s) — trying the next "
                 "candidate",
                 index, c[k].plane_id, strerror(errno));
            dumb_destroy(drm_fd, &b[0]);
            dumb_destroy(drm_fd, &b[1]);
            if (forced) break;
            continue;
        }
        taken->set(c[k].index);
        o->menu_plane_id = c[k].plane_id;
        for (int j = 0; j < 2; j++) {
            o->menu_fb[j] = b[j].fb;
            o->menu_map[j] = b[j].map;
        }
        o->menu_pitch = b[0].pitch;
        o->menu_front = -1;
        o->menu_sidebar = 0;
        if (z.set_video)
            drmModeObjectSetProperty(drm_fd, o->plane_id, obj_plane, video_z.id, z.video);
        vlog("output %d menu → ARGB plane %u (zpos %s, double-buffered, probed OK)", index,
             c[k].plane_id, zpos_took(c[k].plane_id, o->plane_id, z) ? "set" : "default");
        return;
    }
    o->menu_sidebar = 1;
    vlog("output %d menu → primary-plane sidebar fallback", index);
}
