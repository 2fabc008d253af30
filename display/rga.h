#pragma once
// The RGA 2-D engine: flips, scales and converts pictures held in dma-bufs or
// CPU buffers, without the CPU. Every operation is synchronous (the result is
// complete on return) and touches only the two images it is given, so the
// main thread and the encode thread may call at the same moment.
//
// display/rga.cpp reaches the engine through the vendor's librga; a board
// without it builds display/rga_none.cpp instead, where every operation fails
// and the callers' fallbacks carry the picture.

// Image formats, as the engine codes them.
constexpr int rga_format_nv12 = 0xa00; // luma, then interleaved Cb/Cr at wstride x hstride
constexpr int rga_format_bgra = 0x300; // bytes B, G, R, A: DRM's XRGB8888

// Transform codes (combinable with rga_usage_sync in rga_process's usage).
constexpr int rga_transform_rot180 = 2;
constexpr int rga_transform_flip_h = 8;
constexpr int rga_transform_flip_v = 16;
constexpr int rga_usage_sync = 0x80000;

// An image: a dma-buf (fd >= 0) or a CPU buffer (fd -1, addr), its size in
// pixels, its width stride in pixels, its height stride in rows and format.
struct RgaImage {
    int fd;
    void *addr;
    int width, height;
    int wstride, hstride;
    int format;
};

struct RgaRect {
    int x, y, width, height;
};

inline RgaImage rga_dmabuf(int fd, int w, int h, int wstride, int hstride, int format) {
    return RgaImage{fd, nullptr, w, h, wstride, hstride, format};
}
inline RgaImage rga_cpu(void *addr, int w, int h, int wstride, int hstride, int format) {
    return RgaImage{-1, addr, w, h, wstride, hstride, format};
}

// Each returns true when the engine reported success; false leaves the
// destination's contents unspecified.

// dst = src mirrored or rotated by `transform`; src and dst may be one image.
bool rga_flip(const RgaImage &src, const RgaImage &dst, int transform);
// Scales `srect` of src onto `drect` of dst, transformed by the transform bits
// of `usage` (which also carries rga_usage_sync). A scale the engine will not
// combine with a transform fails without harm, so the caller can split it.
bool rga_process(const RgaImage &src, const RgaImage &dst, RgaRect srect, RgaRect drect, int usage);
// dst = src converted to dst's format (same size).
bool rga_copy(const RgaImage &src, const RgaImage &dst);
