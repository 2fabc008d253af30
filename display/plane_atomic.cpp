#include <cerrno>
#include <xf86drmMode.h>

#include "display/output.h"
#include "display/plane_ops.h"

int atomic_setplane(const Output *o, uint32_t fb, int32_t crtc_x, int32_t crtc_y, int32_t crtc_w,
                    int32_t crtc_h, int32_t src_x, int32_t src_y, int32_t src_w, int32_t src_h) {
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    if (!req) return -ENOMEM;
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

namespace {

int set(const Output &o, uint32_t fb, const PlaneRect &dst, const PlaneRect &src) {
    int r = atomic_setplane(&o, fb, dst.x, dst.y, dst.w, dst.h, src.x, src.y, src.w, src.h);
    if (r == 0) return 0;
    if (r < 0) errno = -r;
    return -1;
}

int off(const Output &o) {
    return set(o, 0, PlaneRect{}, PlaneRect{});
}

} // namespace

const PlaneOps atomic_plane_ops = {"atomic", set, off};
