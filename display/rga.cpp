// The RGA engine through librga's im2d interface. The same source is built
// against the vendor's headers and library for the board, and against the
// simulated board's own declaration of the interface for vex-mpp-sim.
#include "display/rga.h"

#include <rga/rga.h>

#include <rga/im2d.h>

static_assert(RK_FORMAT_YCbCr_420_SP == rga_format_nv12, "NV12 code");
static_assert(RK_FORMAT_BGRA_8888 == rga_format_bgra, "BGRA code");
static_assert(IM_HAL_TRANSFORM_ROT_180 == rga_transform_rot180, "rotate 180 code");
static_assert(IM_HAL_TRANSFORM_FLIP_H == rga_transform_flip_h, "mirror code");
static_assert(IM_HAL_TRANSFORM_FLIP_V == rga_transform_flip_v, "mirror code");
static_assert(IM_SYNC == rga_usage_sync, "sync flag");

namespace {

rga_buffer_t wrap(const RgaImage &i) {
    if (i.fd >= 0) return wrapbuffer_fd_t(i.fd, i.width, i.height, i.wstride, i.hstride, i.format);
    return wrapbuffer_virtualaddr_t(i.addr, i.width, i.height, i.wstride, i.hstride, i.format);
}

} // namespace

bool rga_flip(const RgaImage &src, const RgaImage &dst, int transform) {
    return imflip_t(wrap(src), wrap(dst), transform, 1) == IM_STATUS_SUCCESS;
}

bool rga_process(const RgaImage &src, const RgaImage &dst, RgaRect srect, RgaRect drect,
                 int usage) {
    rga_buffer_t d = wrap(dst);
    im_rect s{srect.x, srect.y, srect.width, srect.height};
    im_rect r{drect.x, drect.y, drect.width, drect.height};
    // The pattern image is the destination again, with the destination rectangle.
    return improcess(wrap(src), d, d, s, r, r, usage) == IM_STATUS_SUCCESS;
}

bool rga_copy(const RgaImage &src, const RgaImage &dst) {
    return imcopy_t(wrap(src), wrap(dst), 1) == IM_STATUS_SUCCESS;
}
