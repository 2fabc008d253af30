// The RGA flip ring: when a flip is set and the GPU pass is not drawing the
// picture, each decoded NV12 frame is mirrored by the RGA engine into one of
// four NV12 dumb buffers, shown instead of the decoder's own buffer.
#include <array>
#include <cerrno>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "core/config.h"
#include "core/log.h"
#include "display/output.h"
#include "display/panel.h"
#include "display/rga.h"

extern "C" {
#include <libavutil/hwcontext_drm.h>
}

namespace {

struct FlipEntry {
    uint32_t handle = 0;
    int32_t fd = -1; // -1 until exported
    uint32_t pitch = 0, width = 0, height = 0;
};

constexpr int ring_size = 4;
std::array<FlipEntry, ring_size> g_flip_ring;
int g_flip_ring_ready;
int g_flip_ring_next;
bool g_imflip_warned;

void release_entry(FlipEntry &e) {
    if (e.fd >= 0) close(e.fd);
    if (e.handle) {
        drm_mode_destroy_dumb d{};
        d.handle = e.handle;
        drmIoctl(drm_fd, DRM_IOCTL_MODE_DESTROY_DUMB, &d);
    }
    e = FlipEntry{};
}

// Buffers of another size (or of a failed attempt) are released; framebuffers
// still on screen keep their memory alive in the kernel.
void release_ring() {
    for (FlipEntry &e : g_flip_ring) release_entry(e);
    g_flip_ring_ready = 0;
}

bool alloc_ring(int w, int h) {
    release_ring();
    for (FlipEntry &e : g_flip_ring) {
        drm_mode_create_dumb c{};
        c.width = (uint32_t)w;
        c.height = (uint32_t)h * 3 / 2;
        c.bpp = 8;
        if (drmIoctl(drm_fd, DRM_IOCTL_MODE_CREATE_DUMB, &c) != 0) {
            vlog("RGA ring alloc failed: %s — showing unflipped", strerror(errno));
            release_ring();
            return false;
        }
        e = FlipEntry{c.handle, -1, c.pitch, (uint32_t)w, (uint32_t)h};
        if (drmPrimeHandleToFD(drm_fd, e.handle, DRM_CLOEXEC, &e.fd) != 0) {
            vlog("RGA ring alloc failed: %s — showing unflipped", strerror(errno));
            release_ring();
            return false;
        }
    }
    g_flip_ring_ready = 1;
    g_flip_ring_next = 0;
    vlog("flip %s via RGA (%dx%d NV12 ring x%d)", g_flip ? g_flip : "none", w, h, ring_size);
    return true;
}

} // namespace

int rga_flip_mode(const char *flip) {
    if (!flip) return 0;
    if (strcmp(flip, "h") == 0) return rga_transform_flip_h;
    if (strcmp(flip, "v") == 0) return rga_transform_flip_v;
    if (strcmp(flip, "180") == 0) return rga_transform_rot180;
    return 0;
}

int rga_flip_between(const char *done, const char *want) {
    // As mirror bits: h = x, v = y, 180 = both; undoing a mirror is doing it again.
    auto bits = [](const char *f) {
        int m = rga_flip_mode(f);
        return m == rga_transform_flip_h ? 1 : m == rga_transform_flip_v ? 2 : m ? 3 : 0;
    };
    constexpr int codes[] = {0, rga_transform_flip_h, rga_transform_flip_v, rga_transform_rot180};
    return codes[bits(done) ^ bits(want)];
}

int nv12_hstride(uint32_t pitch, uint32_t chroma_offset, int height) {
    if (pitch == 0) return height;
    if (chroma_offset % pitch) return -1;
    int rows = (int)(chroma_offset / pitch);
    return rows > height ? rows : height;
}

uint32_t rga_flip_fb(const AVDRMFrameDescriptor *desc, int w, int h) {
    if (!desc || desc->nb_layers < 1 || w <= 0 || h <= 0) return 0;
    const AVDRMLayerDescriptor &layer = desc->layers[0];
    if (layer.format != DRM_FORMAT_NV12 || layer.nb_planes < 2) return 0;
    const AVDRMPlaneDescriptor &y = layer.planes[0], &uv = layer.planes[1];
    // The engine reads NV12 from one buffer, chroma right below the luma rows.
    int hs = nv12_hstride((uint32_t)y.pitch, (uint32_t)uv.offset, h);
    if (uv.object_index != y.object_index || y.offset != 0 || hs < 0) return 0;

    // A frame of another size gets a ring of its size: never a flip into a
    // buffer too small for it.
    if (g_flip_ring_ready &&
        (g_flip_ring[0].width != (uint32_t)w || g_flip_ring[0].height != (uint32_t)h))
        release_ring();
    if (!g_flip_ring_ready && !alloc_ring(w, h)) return 0;

    const FlipEntry &e = g_flip_ring[(size_t)g_flip_ring_next];
    g_flip_ring_next = (g_flip_ring_next + 1) % ring_size;

    RgaImage src =
        rga_dmabuf(desc->objects[y.object_index].fd, w, h, (int)y.pitch, hs, rga_format_nv12);
    RgaImage dst = rga_dmabuf(e.fd, w, h, (int)e.pitch, h, rga_format_nv12);
    if (!rga_flip(src, dst, rga_flip_mode(g_flip))) {
        if (!g_imflip_warned) vlog("RGA imflip failed — showing unflipped");
        g_imflip_warned = true;
        return 0;
    }
    uint32_t handles[4] = {e.handle, e.handle}, pitches[4] = {e.pitch, e.pitch};
    uint32_t offsets[4] = {0, e.pitch * (uint32_t)h};
    uint32_t fb = 0;
    if (drmModeAddFB2(drm_fd, (uint32_t)w, (uint32_t)h, DRM_FORMAT_NV12, handles, pitches, offsets,
                      &fb, 0) != 0)
        return 0;
    return fb;
}
