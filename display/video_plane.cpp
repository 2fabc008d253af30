#include "display/video_plane.h"

#include <cerrno>
#include <cstring>
#include <drm_fourcc.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "core/log.h"
#include "display/output.h"
#include "display/panel.h"
#include "display/placement.h"
#include "display/plane_ops.h"
#include "display/standby.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/hwcontext_drm.h>
}

namespace {

// What is on screen: index 0 the current pair, 1 the previous one.
struct Shown {
    uint32_t fb = 0;
    AVFrame *frame = nullptr;
};
Shown kept[2];
bool showing;
int64_t addfb_fail;
uint32_t g_setplane_warned;

void release(Shown &s) {
    if (s.fb) drmModeRmFB(drm_fd, s.fb);
    av_frame_free(&s.frame);
    s = Shown{};
}

// Closes each distinct handle once (the planes of one buffer share a handle).
void close_handles(const uint32_t (&handles)[4]) {
    for (int i = 0; i < 4; i++) {
        if (!handles[i]) continue;
        bool seen = false;
        for (int j = 0; j < i; j++) seen = seen || handles[j] == handles[i];
        if (!seen) drmCloseBufferHandle(drm_fd, handles[i]);
    }
}

} // namespace

uint32_t video_import(const AVFrame *f, const AVDRMFrameDescriptor *desc) {
    const AVDRMLayerDescriptor &layer = desc->layers[0];
    uint32_t handles[4] = {}, pitches[4] = {}, offsets[4] = {};
    uint64_t mods[4] = {};
    for (int i = 0; i < layer.nb_planes && i < 4; i++) {
        const AVDRMPlaneDescriptor &p = layer.planes[i];
        if (p.object_index < 0 || p.object_index >= desc->nb_objects) {
            close_handles(handles);
            return 0;
        }
        const AVDRMObjectDescriptor &obj = desc->objects[p.object_index];
        if (drmPrimeFDToHandle(drm_fd, obj.fd, &handles[i]) != 0) {
            close_handles(handles);
            return 0;
        }
        pitches[i] = (uint32_t)p.pitch;
        offsets[i] = (uint32_t)p.offset;
        mods[i] = obj.format_modifier;
    }
    uint32_t fb = 0;
    uint32_t flags = mods[0] ? DRM_MODE_FB_MODIFIERS : 0;
    int r = drmModeAddFB2WithModifiers(drm_fd, (uint32_t)f->width, (uint32_t)f->height,
                                       layer.format, handles, pitches, offsets, mods, &fb, flags);
    int err = errno;
    close_handles(handles);
    if (r != 0) {
        addfb_fail += 1;
        if (addfb_fail == 1 || addfb_fail % 300 == 0) {
            uint32_t c = layer.format;
            vlog("AddFB2: %s (fail #%ld, format %c%c%c%c mod 0x%llx %dx%d — not scannable on this "
                 "display)",
                 strerror(err), (long)addfb_fail, (char)(c & 0xff), (char)((c >> 8) & 0xff),
                 (char)((c >> 16) & 0xff), (char)((c >> 24) & 0xff), (unsigned long long)mods[0],
                 f->width, f->height);
            vlog_flush();
        }
        return 0;
    }
    return fb;
}

void video_place(int index, const AVDRMFrameDescriptor *desc, int frame_w, int frame_h, uint32_t fb,
                 int src_w, int src_h, bool sidebar) {
    Output &o = outs[index];
    int W = o.mode.hdisplay, H = o.mode.vdisplay;
    Placement pl = place_picture(W, H, sidebar, o.flip, o.aspect, o.fit, src_w, src_h);

    const AVDRMLayerDescriptor &layer = desc->layers[0];
    if (o.primary_path && layer.format == DRM_FORMAT_NV12 && layer.nb_planes >= 2 && W > 0 &&
        H > 0) {
        uint32_t pfb =
            panel_present(&o, desc, frame_w, frame_h, pl.src.x, pl.src.y, pl.src.w, pl.src.h);
        if (pfb) {
            fb = pfb;
            pl.dst = PlaneRect{0, 0, W, H};
            pl.src = PlaneRect{0, 0, W, H};
        }
    }

    if (plane_ops_for(o.atomic_ok).set(o, fb, pl.dst, pl.src) != 0 &&
        !(g_setplane_warned & (1u << index))) {
        g_setplane_warned |= 1u << index;
        vlog("output %d (crtc %u plane %u) SetPlane FAILED: %s — src %dx%d → dst %dx%d at %d,%d",
             index, o.crtc_id, o.plane_id, strerror(errno), pl.src.w, pl.src.h, pl.dst.w, pl.dst.h,
             pl.dst.x, pl.dst.y);
    }
}

bool video_keep(uint32_t fb, AVFrame *frame) {
    release(kept[1]);
    kept[1] = kept[0];
    kept[0] = Shown{fb, frame};
    bool started = !showing;
    showing = true;
    return started;
}

bool video_showing() {
    return showing;
}

void video_plane_off(const Output &o) {
    uint32_t w = o.mode.hdisplay, h = o.mode.vdisplay;
    if (o.primary_path)
        drmModeSetPlane(drm_fd, o.primary_plane_id ? o.primary_plane_id : o.plane_id, o.crtc_id,
                        o.standby_fb, 0, 0, 0, w, h, 0, 0, w << 16, h << 16);
    else
        plane_ops_for(o.atomic_ok).off(o);
}

void video_blank_all() {
    for (int i = 0; i < nout; i++) video_plane_off(outs[i]);
}

void hide_video() {
    if (!showing) return;
    for (int i = 0; i < nout; i++) repaint_standby(&outs[i]);
    for (int i = 0; i < nout; i++) video_plane_off(outs[i]);
    release(kept[0]);
    release(kept[1]);
    showing = false;
}
