#include <xf86drmMode.h>

#include "display/output.h"
#include "display/plane_ops.h"

namespace {

int set(const Output &o, uint32_t fb, const PlaneRect &dst, const PlaneRect &src) {
    return drmModeSetPlane(drm_fd, o.plane_id, o.crtc_id, fb, 0, dst.x, dst.y, (uint32_t)dst.w,
                           (uint32_t)dst.h, (uint32_t)src.x << 16, (uint32_t)src.y << 16,
                           (uint32_t)src.w << 16, (uint32_t)src.h << 16) == 0
               ? 0
               : -1;
}

int off(const Output &o) {
    return drmModeSetPlane(drm_fd, o.plane_id, o.crtc_id, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) == 0 ? 0
                                                                                             : -1;
}

} // namespace

const PlaneOps legacy_plane_ops = {"legacy", set, off};
