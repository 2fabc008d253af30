// The panel path: an output whose video goes on a primary plane that cannot
// scale, position or flip it (a DSI panel on a small display controller) has
// every frame scaled and flipped by the RGA engine into a full-panel NV12
// buffer of its own three-slot ring, scanned out 1:1.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "core/config.h"
#include "core/live_tuning.h"
#include "core/log.h"
#include "display/output.h"
#include "display/panel.h"
#include "display/rga.h"
#include "gpu/gpu_pass.h"

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

namespace {

struct PanelSlot {
    uint32_t handle = 0;
    uint32_t fb = 0;
    uint32_t pitch = 0;
    uint32_t size = 0;
    int32_t fd = -1; // -1 before export
    uint32_t width = 0, height = 0;
    uint8_t *map = nullptr; // null when not mapped
};

constexpr int panel_slots = 3;
PanelSlot g_dsiring[max_outputs][panel_slots];
int g_dsiring_idx[max_outputs];
int g_dsiring_ready[max_outputs];

bool g_split_logged;
bool g_gles_refused_logged;
bool g_scale_failed_logged;

void release_slot(PanelSlot &s) {
    if (s.map) munmap(s.map, s.size);
    if (s.fb) drmModeRmFB(drm_fd, s.fb);
    if (s.fd >= 0) close(s.fd);
    if (s.handle) {
        drm_mode_destroy_dumb d{};
        d.handle = s.handle;
        drmIoctl(drm_fd, DRM_IOCTL_MODE_DESTROY_DUMB, &d);
    }
    s = PanelSlot{};
}

// One slot: a W x (H * 3 / 2) 8-bit dumb buffer holding an NV12 W x H picture,
// cleared to black. false with errno set on failure.
bool make_slot(PanelSlot &s, uint32_t W, uint32_t H) {
    s = PanelSlot{};
    s.width = W, s.height = H;
    drm_mode_create_dumb c{};
    c.width = W;
    c.height = H * 3 / 2;
    c.bpp = 8;
    if (drmIoctl(drm_fd, DRM_IOCTL_MODE_CREATE_DUMB, &c) != 0) return false;
    s.handle = c.handle;
    s.pitch = c.pitch;
    s.size = (uint32_t)c.size;
    if (drmPrimeHandleToFD(drm_fd, s.handle, DRM_CLOEXEC, &s.fd) != 0) return false;
    drm_mode_map_dumb m{};
    m.handle = s.handle;
    if (drmIoctl(drm_fd, DRM_IOCTL_MODE_MAP_DUMB, &m) == 0) {
        void *p =
            mmap(nullptr, s.size, PROT_READ | PROT_WRITE, MAP_SHARED, drm_fd, (off_t)m.offset);
        if (p != MAP_FAILED) {
            s.map = (uint8_t *)p;
            memset(s.map, 16, (size_t)s.pitch * H);
            memset(s.map + (size_t)s.pitch * H, 128, (size_t)s.pitch * (H / 2));
        }
    }
    uint32_t handles[4] = {s.handle, s.handle}, pitches[4] = {s.pitch, s.pitch};
    uint32_t offsets[4] = {0, s.pitch * H};
    return drmModeAddFB2(drm_fd, W, H, DRM_FORMAT_NV12, handles, pitches, offsets, &s.fb, 0) == 0;
}

bool alloc_ring(int i, uint32_t W, uint32_t H) {
    for (PanelSlot &s : g_dsiring[i]) {
        if (make_slot(s, W, H)) continue;
        int err = errno;
        for (PanelSlot &r : g_dsiring[i]) release_slot(r);
        vlog("output %d DSI ring alloc failed: %s — falling back to SetPlane", i, strerror(err));
        return false;
    }
    g_dsiring_ready[i] = 1;
    g_dsiring_idx[i] = 0;
    vlog("output %d primary-plane scan-out via RGA (%ux%u NV12 x%d)", i, W, H, panel_slots);
    return true;
}

// The GPU output serves the panel when it carries something the panel cannot
// do itself: lens correction, colour grade or LUT (a flip the RGA pass does,
// and the anti-flicker filter is not wanted on a progressive panel).
bool gpu_source_wanted(int Sw, int Sh) {
    return g_gl_src_fd >= 0 && g_gl_src_w == Sw && g_gl_src_h == Sh && g_gl_src_ws >= Sw &&
           (g_dewarp || g_colorgrade || g_lut_on);
}

int even_down(int v) {
    return v & ~1;
}

} // namespace

int dsi_blit(int out, const RgaImage &src, const RgaImage &dst, RgaRect srect, RgaRect drect,
             int transform) {
    if (rga_process(src, dst, srect, drect, transform | rga_usage_sync)) return 1;
    if (transform == 0) return 0;
    if (!rga_process(src, dst, srect, drect, rga_usage_sync)) return 0;
    if (!rga_flip(dst, dst, transform)) return 0;
    if (!g_split_logged)
        vlog("output %d RGA scale+flip rejected — using a separate flip pass", out);
    g_split_logged = true;
    return 1;
}

uint32_t panel_present(Output *o, const AVDRMFrameDescriptor *desc, int fw, int fh, int sx, int sy,
                       int sw, int sh) {
    const int i = (int)(o - outs);
    const int W = o->mode.hdisplay, H = o->mode.vdisplay;
    if (i < 0 || i >= max_outputs || !desc || desc->nb_layers < 1 || W <= 0 || H <= 0 || fw <= 0 ||
        fh <= 0)
        return 0;
    if (!g_dsiring_ready[i] && !alloc_ring(i, (uint32_t)W, (uint32_t)H)) return 0;

    const int slot = g_dsiring_idx[i];
    g_dsiring_idx[i] = (slot + 1) % panel_slots;
    const PanelSlot &s = g_dsiring[i][slot];
    const RgaImage dst = rga_dmabuf(s.fd, W, H, (int)s.pitch, H, rga_format_nv12);
    const RgaRect whole{0, 0, W, H};

    // The size the source rectangle is measured in: the GPU render's when the
    // GPU pass drew this frame, else the frame's.
    int Sw = fw, Sh = fh;
    if (g_gl_src_fd >= 0) {
        int gw = 0, gh = 0;
        gpu_render_size(&gw, &gh);
        if (gw > 0 && gh > 0) Sw = gw, Sh = gh;
    }
    bool done = false;
    if (gpu_source_wanted(Sw, Sh)) {
        RgaImage src = rga_dmabuf(g_gl_src_fd, Sw, Sh, g_gl_src_ws, Sh, rga_format_bgra);
        // The GPU pass has applied the process-wide flip already.
        done = dsi_blit(i, src, dst, RgaRect{sx, sy, sw, sh}, whole,
                        rga_flip_between(g_flip, o->flip));
        if (!done && !g_gles_refused_logged)
            vlog("output %d RGA won't scale the GLES buffer — panel falls back to the raw frame "
                 "(no dewarp/grade on this screen)",
                 i);
        g_gles_refused_logged = g_gles_refused_logged || !done;
    }
    if (!done) {
        const AVDRMLayerDescriptor &layer = desc->layers[0];
        if (layer.format != DRM_FORMAT_NV12 || layer.nb_planes < 2) return 0;
        const AVDRMPlaneDescriptor &y = layer.planes[0], &uv = layer.planes[1];
        int hs = nv12_hstride((uint32_t)y.pitch, (uint32_t)uv.offset, fh);
        if (uv.object_index != y.object_index || y.offset != 0 || hs < 0) return 0;
        // A rectangle in GPU render pixels is carried over to the frame's;
        // NV12 rectangles start and end on even pixels.
        RgaRect r{(int)((int64_t)sx * fw / Sw), (int)((int64_t)sy * fh / Sh),
                  (int)((int64_t)sw * fw / Sw), (int)((int64_t)sh * fh / Sh)};
        r.x = even_down(std::clamp(r.x, 0, fw - 2));
        r.y = even_down(std::clamp(r.y, 0, fh - 2));
        r.width = even_down(std::clamp(r.width, 2, fw - r.x));
        r.height = even_down(std::clamp(r.height, 2, fh - r.y));
        RgaImage src = rga_dmabuf(desc->objects[y.object_index].fd, even_down(fw), even_down(fh),
                                  (int)y.pitch, hs, rga_format_nv12);
        done = dsi_blit(i, src, dst, r, whole, rga_flip_mode(o->flip));
        if (!done) {
            if (!g_scale_failed_logged)
                vlog("output %d RGA scale to panel failed — falling back to SetPlane", i);
            g_scale_failed_logged = true;
            return 0;
        }
    }
    if (g_want_snap == 1) dsi_snapshot(i, slot);
    return s.fb;
}

void bt601_to_rgb(int y, int u, int v, uint8_t rgb[3]) {
    const int yc = y - 16, uc = u - 128, vc = v - 128;
    rgb[0] = (uint8_t)std::clamp((298 * yc + 409 * vc + 128) >> 8, 0, 255);
    rgb[1] = (uint8_t)std::clamp((298 * yc - 100 * uc - 208 * vc + 128) >> 8, 0, 255);
    rgb[2] = (uint8_t)std::clamp((298 * yc + 516 * uc + 128) >> 8, 0, 255);
}

void dsi_snapshot(int out, int slot) {
    const PanelSlot &s = g_dsiring[out][slot];
    drm_mode_map_dumb m{};
    m.handle = s.handle;
    if (drmIoctl(drm_fd, DRM_IOCTL_MODE_MAP_DUMB, &m) != 0) {
        vlog("DSI snapshot: map dumb failed: %s", strerror(errno));
        return;
    }
    void *p = mmap(nullptr, s.size, PROT_READ, MAP_SHARED, drm_fd, (off_t)m.offset);
    if (p == MAP_FAILED) {
        vlog("DSI snapshot: mmap failed: %s", strerror(errno));
        return;
    }
    const uint8_t *pix = (const uint8_t *)p;
    FILE *f = fopen("/tmp/vex-snap-dsi.ppm", "wb");
    if (!f) {
        munmap(p, s.size);
        return;
    }
    const uint32_t W = s.width, H = s.height, pitch = s.pitch;
    fprintf(f, "P6\n%u %u\n255\n", W, H);
    std::vector<uint8_t> row((size_t)W * 3);
    for (uint32_t y = 0; y < H; y++) {
        const uint8_t *luma = pix + (size_t)y * pitch;
        const uint8_t *chroma = pix + (size_t)H * pitch + (size_t)(y / 2) * pitch;
        for (uint32_t x = 0; x < W; x++)
            bt601_to_rgb(luma[x], chroma[x & ~1u], chroma[(x & ~1u) + 1], &row[(size_t)x * 3]);
        fwrite(row.data(), 1, row.size(), f);
    }
    fclose(f);
    const char *flip = outs[out].flip;
    vlog("output %d DSI snapshot -> /tmp/vex-snap-dsi.ppm (%ux%u, flip %s)", out, W, H,
         flip ? flip : "none");
    munmap(p, s.size);
}
