#include "display/dumb_buffer.h"

#include <cstring>
#include <sys/mman.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

int dumb_create(int fd, uint32_t w, uint32_t h, DumbBuffer *b) {
    *b = DumbBuffer{};
    drm_mode_create_dumb req{};
    req.width = w;
    req.height = h;
    req.bpp = 32;
    if (drmIoctl(fd, DRM_IOCTL_MODE_CREATE_DUMB, &req) < 0) return -1;
    b->handle = req.handle;
    b->pitch = req.pitch;
    b->size = req.size;
    drm_mode_map_dumb map{};
    map.handle = req.handle;
    if (drmIoctl(fd, DRM_IOCTL_MODE_MAP_DUMB, &map) == 0) {
        void *p = mmap(nullptr, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, (off_t)map.offset);
        if (p != MAP_FAILED) {
            b->map = (uint8_t *)p;
            memset(b->map, 0, b->size);
        }
    }
    return 0;
}

int dumb_add_fb(int fd, uint32_t w, uint32_t h, uint32_t fourcc, DumbBuffer *b) {
    uint32_t handles[4] = {b->handle}, pitches[4] = {b->pitch}, offsets[4] = {0};
    if (drmModeAddFB2(fd, w, h, fourcc, handles, pitches, offsets, &b->fb, 0) != 0) {
        b->fb = 0;
        return -1;
    }
    return 0;
}

void dumb_destroy(int fd, DumbBuffer *b) {
    if (b->map) munmap(b->map, b->size);
    if (b->fb) drmModeRmFB(fd, b->fb);
    if (b->handle) {
        drm_mode_destroy_dumb req{};
        req.handle = b->handle;
        drmIoctl(fd, DRM_IOCTL_MODE_DESTROY_DUMB, &req);
    }
    *b = DumbBuffer{};
}
