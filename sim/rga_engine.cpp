// The simulated RGA engine: librga's im2d operations done in software.
//
// Images are the simulated board's dma-bufs (memfds of the decoder, the card's
// dumb buffers, GBM buffers: each can be mapped at offset 0) or CPU buffers.
// Formats NV12 (0xa00) and BGRA (0x300); width and height strides; source and
// destination rectangles; mirror and rotation transforms; bilinear scaling
// (exact when the size does not change); BGRA <-> NV12 conversion (BT.601
// limited range). Every call is synchronous and keeps its state on its own
// stack, so calls from several threads may overlap. Limits are those of the
// RGA2 engines: 2..8192 pixels in, up to 4096 out, scaling 1/16..16, YUV
// rectangles and sizes even, strides 4-byte aligned.
//
// Fault knobs, read at every call: VEX_SIM_RGA_REFUSE (a comma list of "all",
// "combined", "bgra") and VEX_SIM_RGA_DELAY_US.
#include "sim/rga_engine.h"

#include <rga/im2d.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<long long> g_ops{0}, g_refused{0};
std::once_flag g_totals_once;

constexpr int max_in = 8192, max_out = 4096, max_scale = 16;
constexpr int transform_bits = IM_HAL_TRANSFORM_MASK;

void print_totals() {
    fprintf(stderr, "vex-sim: RGA engine ran %lld operations (%lld refused)\n", g_ops.load(),
            g_refused.load());
}

struct Knobs {
    bool refuse_all = false, refuse_combined = false, refuse_bgra = false;
    long delay_us = 0;
};

Knobs read_knobs() {
    Knobs k;
    if (const char *r = getenv("VEX_SIM_RGA_REFUSE")) {
        std::string s(r);
        size_t at = 0;
        while (at <= s.size()) {
            size_t end = s.find(',', at);
            if (end == std::string::npos) end = s.size();
            std::string w = s.substr(at, end - at);
            if (w == "all") k.refuse_all = true;
            if (w == "combined") k.refuse_combined = true;
            if (w == "bgra") k.refuse_bgra = true;
            at = end + 1;
        }
    }
    if (const char *d = getenv("VEX_SIM_RGA_DELAY_US")) k.delay_us = std::max(0L, atol(d));
    return k;
}

bool is_nv12(const rga_buffer_t &b) {
    return b.format == RK_FORMAT_YCbCr_420_SP;
}
int bytes_pp(const rga_buffer_t &b) {
    return is_nv12(b) ? 1 : 4;
}

// Checks an image description (not its memory).
IM_STATUS check_image(const rga_buffer_t &b, int max_side) {
    if (b.format != RK_FORMAT_YCbCr_420_SP && b.format != RK_FORMAT_BGRA_8888)
        return IM_STATUS_NOT_SUPPORTED;
    if (b.fd < 0 && !b.vir_addr) return IM_STATUS_INVALID_PARAM;
    if (b.width < 2 || b.height < 2 || b.width > max_side || b.height > max_side)
        return IM_STATUS_INVALID_PARAM;
    if (b.wstride < b.width || b.hstride < b.height) return IM_STATUS_INVALID_PARAM;
    if ((b.wstride * bytes_pp(b)) % 4) return IM_STATUS_INVALID_PARAM;
    if (is_nv12(b) && ((b.width | b.height | b.hstride) & 1)) return IM_STATUS_INVALID_PARAM;
    return IM_STATUS_SUCCESS;
}

// A zero-sized rectangle means the whole image.
IM_STATUS check_rect(const rga_buffer_t &b, im_rect *r) {
    if (r->width == 0 && r->height == 0 && r->x == 0 && r->y == 0) *r = {0, 0, b.width, b.height};
    if (r->x < 0 || r->y < 0 || r->width < 2 || r->height < 2 || r->x > b.width - r->width ||
        r->y > b.height - r->height)
        return IM_STATUS_INVALID_PARAM;
    if (is_nv12(b) && ((r->x | r->y | r->width | r->height) & 1)) return IM_STATUS_INVALID_PARAM;
    return IM_STATUS_SUCCESS;
}

// Bytes from the start of the image that the engine may touch.
size_t extent(const rga_buffer_t &b) {
    size_t ws = (size_t)b.wstride * bytes_pp(b);
    if (is_nv12(b)) return ws * b.hstride + ws * (size_t)(b.height / 2);
    return ws * b.height;
}

// The image's memory, mapped for the call.
struct Mapping {
    uint8_t *base = nullptr;
    size_t len = 0;
    bool own = false;
    dev_t dev = 0;
    ino_t ino = 0;
    Mapping() = default;
    Mapping(const Mapping &) = delete;
    Mapping &operator=(const Mapping &) = delete;
    ~Mapping() {
        if (own) munmap(base, len);
    }
};

IM_STATUS map_image(const rga_buffer_t &b, bool write, Mapping *m) {
    if (b.fd < 0) {
        m->base = static_cast<uint8_t *>(b.vir_addr);
        return IM_STATUS_SUCCESS;
    }
    struct stat st {};
    if (fstat(b.fd, &st) != 0 || st.st_size <= 0) return IM_STATUS_INVALID_PARAM;
    if (extent(b) > (size_t)st.st_size) return IM_STATUS_INVALID_PARAM;
    void *p = mmap(nullptr, (size_t)st.st_size, PROT_READ | (write ? PROT_WRITE : 0), MAP_SHARED,
                   b.fd, 0);
    if (p == MAP_FAILED) return IM_STATUS_INVALID_PARAM;
    m->base = static_cast<uint8_t *>(p);
    m->len = (size_t)st.st_size;
    m->own = true;
    m->dev = st.st_dev;
    m->ino = st.st_ino;
    return IM_STATUS_SUCCESS;
}

// One plane of samples: `bpp` bytes each (luma 1, interleaved chroma 2, BGRA 4).
struct Plane {
    uint8_t *p;
    size_t pitch;
    int bpp;
};

struct Rect {
    int x, y, w, h;
};

// Source position of each output sample along one axis: the two neighbours
// and the weight of the second (0..256), for centre-aligned bilinear scaling.
struct Tap {
    int i0, i1, f;
};

std::vector<Tap> taps(int src_off, int src_n, int dst_n) {
    std::vector<Tap> t((size_t)dst_n);
    for (int a = 0; a < dst_n; a++) {
        int64_t pos = (int64_t)(2 * a + 1) * src_n * 256 / (2 * (int64_t)dst_n) - 128;
        pos = std::clamp<int64_t>(pos, 0, (int64_t)(src_n - 1) * 256);
        int i0 = (int)(pos >> 8);
        t[(size_t)a] = {src_off + i0, src_off + std::min(i0 + 1, src_n - 1), (int)(pos & 255)};
    }
    return t;
}

// Scales rectangle `sr` of `s` onto rectangle `dr` of `d`, transformed; N
// bytes per sample.
template <int N>
void resample_n(const Plane &s, Rect sr, const Plane &d, Rect dr, int transform) {
    const bool rot = transform & (IM_HAL_TRANSFORM_ROT_90 | IM_HAL_TRANSFORM_ROT_270);
    const int tw = rot ? dr.h : dr.w, th = rot ? dr.w : dr.h; // before the transform
    const std::vector<Tap> tx = taps(sr.x, sr.w, tw), ty = taps(sr.y, sr.h, th);
    const bool mirror_x = transform & (IM_HAL_TRANSFORM_FLIP_H | IM_HAL_TRANSFORM_ROT_180 |
                                       IM_HAL_TRANSFORM_FLIP_H_V);
    const bool mirror_y = transform & (IM_HAL_TRANSFORM_FLIP_V | IM_HAL_TRANSFORM_ROT_180 |
                                       IM_HAL_TRANSFORM_FLIP_H_V);
    auto sample = [&](const Tap &x, const Tap &y, uint8_t *out) {
        const uint8_t *r0 = s.p + (size_t)y.i0 * s.pitch, *r1 = s.p + (size_t)y.i1 * s.pitch;
        for (int c = 0; c < N; c++) {
            int top = r0[x.i0 * N + c] * (256 - x.f) + r0[x.i1 * N + c] * x.f;
            int bot = r1[x.i0 * N + c] * (256 - x.f) + r1[x.i1 * N + c] * x.f;
            out[c] = (uint8_t)((top * (256 - y.f) + bot * y.f + 32768) >> 16);
        }
    };
    // Without rotation the scaling is separable: source rows are scaled across
    // once (values x 256) and kept while the next output rows still need them.
    std::vector<uint16_t> across[2];
    int across_row[2] = {-1, -1};
    auto row_across = [&](int sy, int keep) -> const uint16_t * {
        for (int k = 0; k < 2; k++)
            if (across_row[k] == sy) return across[k].data();
        int k = across_row[0] == keep ? 1 : 0;
        across[k].resize((size_t)dr.w * N);
        across_row[k] = sy;
        const uint8_t *r = s.p + (size_t)sy * s.pitch;
        uint16_t *o = across[k].data();
        for (int i = 0; i < dr.w; i++) {
            const Tap &x = tx[(size_t)(mirror_x ? tw - 1 - i : i)];
            for (int c = 0; c < N; c++)
                o[i * N + c] = (uint16_t)(r[x.i0 * N + c] * (256 - x.f) + r[x.i1 * N + c] * x.f);
        }
        return o;
    };
    for (int j = 0; j < dr.h; j++) {
        uint8_t *out = d.p + (size_t)(dr.y + j) * d.pitch + (size_t)dr.x * N;
        if (!rot) {
            const Tap &y = ty[(size_t)(mirror_y ? th - 1 - j : j)];
            if (!y.f && tw == sr.w) { // an unscaled row: a copy, mirrored or not
                const uint8_t *in = s.p + (size_t)y.i0 * s.pitch + (size_t)sr.x * N;
                if (!mirror_x) {
                    memcpy(out, in, (size_t)tw * N);
                    continue;
                }
                for (int i = 0; i < tw; i++) memcpy(out + i * N, in + (tw - 1 - i) * N, N);
                continue;
            }
            const uint16_t *a = row_across(y.i0, y.i1), *b = row_across(y.i1, y.i0);
            for (int i = 0; i < dr.w * N; i++)
                out[i] = (uint8_t)((a[i] * (256 - y.f) + b[i] * y.f + 32768) >> 16);
        } else {
            // Rotated by 90 (clockwise) or 270: an output row runs along a source column.
            const bool cw = transform & IM_HAL_TRANSFORM_ROT_90;
            const Tap &x = tx[(size_t)(cw ? j : tw - 1 - j)];
            for (int i = 0; i < dr.w; i++)
                sample(x, ty[(size_t)(cw ? th - 1 - i : i)], out + i * N);
        }
    }
}

void resample(const Plane &s, Rect sr, const Plane &d, Rect dr, int transform) {
    if (s.bpp == 1) resample_n<1>(s, sr, d, dr, transform);
    if (s.bpp == 2) resample_n<2>(s, sr, d, dr, transform);
    if (s.bpp == 4) resample_n<4>(s, sr, d, dr, transform);
}

// The planes of an image whose memory starts at `base`.
void planes_of(const rga_buffer_t &b, uint8_t *base, Plane *p0, Plane *p1) {
    size_t ws = (size_t)b.wstride * bytes_pp(b);
    *p0 = {base, ws, bytes_pp(b)};
    if (is_nv12(b)) *p1 = {base + ws * b.hstride, ws, 2};
}

// Scales between images of one format.
void scale_same(const rga_buffer_t &sb, uint8_t *sbase, Rect sr, const rga_buffer_t &db,
                uint8_t *dbase, Rect dr, int transform) {
    Plane s0{}, s1{}, d0{}, d1{};
    planes_of(sb, sbase, &s0, &s1);
    planes_of(db, dbase, &d0, &d1);
    resample(s0, sr, d0, dr, transform);
    if (is_nv12(sb))
        resample(s1, {sr.x / 2, sr.y / 2, sr.w / 2, sr.h / 2}, d1,
                 {dr.x / 2, dr.y / 2, dr.w / 2, dr.h / 2}, transform);
}

uint8_t clamp8(int v) {
    return (uint8_t)std::clamp(v, 0, 255);
}

// BGRA pixels (w x h, even sizes) to NV12 at (x, y) of the destination planes.
void bgra_to_nv12(const uint8_t *src, size_t spitch, int w, int h, const Plane &y0, const Plane &uv,
                  int x, int y) {
    for (int j = 0; j < h; j += 2) {
        for (int i = 0; i < w; i += 2) {
            int rs = 0, gs = 0, bs = 0;
            for (int k = 0; k < 4; k++) {
                const uint8_t *p = src + (size_t)(j + k / 2) * spitch + (size_t)(i + k % 2) * 4;
                int b = p[0], g = p[1], r = p[2];
                y0.p[(size_t)(y + j + k / 2) * y0.pitch + x + i + k % 2] =
                    clamp8(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
                rs += r, gs += g, bs += b;
            }
            int r = (rs + 2) / 4, g = (gs + 2) / 4, b = (bs + 2) / 4;
            uint8_t *c = uv.p + (size_t)((y + j) / 2) * uv.pitch + (size_t)(x + i);
            c[0] = clamp8(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
            c[1] = clamp8(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
        }
    }
}

// NV12 samples (w x h) to BGRA at (x, y) of the destination plane.
void nv12_to_bgra(const Plane &y0, const Plane &uv, int w, int h, const Plane &d, int x, int y) {
    for (int j = 0; j < h; j++) {
        for (int i = 0; i < w; i++) {
            int Y = y0.p[(size_t)j * y0.pitch + i] - 16;
            const uint8_t *c = uv.p + (size_t)(j / 2) * uv.pitch + (size_t)(i & ~1);
            int U = c[0] - 128, V = c[1] - 128;
            uint8_t *p = d.p + (size_t)(y + j) * d.pitch + (size_t)(x + i) * 4;
            p[0] = clamp8((298 * Y + 516 * U + 128) >> 8);
            p[1] = clamp8((298 * Y - 100 * U - 208 * V + 128) >> 8);
            p[2] = clamp8((298 * Y + 409 * V + 128) >> 8);
            p[3] = 255;
        }
    }
}

// Everything an operation does once its arguments are known good.
IM_STATUS run(const rga_buffer_t &src, const rga_buffer_t &dst, im_rect srect, im_rect drect,
              int transform, bool combined_call) {
    Knobs k = read_knobs();
    if (k.delay_us > 0) usleep((useconds_t)k.delay_us);
    if (k.refuse_all) return IM_STATUS_FAILED;
    IM_STATUS st;
    if ((st = check_image(src, max_in)) != IM_STATUS_SUCCESS) return st;
    if ((st = check_image(dst, max_out)) != IM_STATUS_SUCCESS) return st;
    if ((st = check_rect(src, &srect)) != IM_STATUS_SUCCESS) return st;
    if ((st = check_rect(dst, &drect)) != IM_STATUS_SUCCESS) return st;
    if (k.refuse_bgra && src.format == RK_FORMAT_BGRA_8888) return IM_STATUS_NOT_SUPPORTED;
    switch (transform) {
        case 0:
        case IM_HAL_TRANSFORM_ROT_90:
        case IM_HAL_TRANSFORM_ROT_180:
        case IM_HAL_TRANSFORM_ROT_270:
        case IM_HAL_TRANSFORM_FLIP_H:
        case IM_HAL_TRANSFORM_FLIP_V:
        case IM_HAL_TRANSFORM_FLIP_H_V:
            break;
        default:
            return IM_STATUS_NOT_SUPPORTED;
    }
    const bool rot = transform & (IM_HAL_TRANSFORM_ROT_90 | IM_HAL_TRANSFORM_ROT_270);
    const int tw = rot ? drect.height : drect.width, th = rot ? drect.width : drect.height;
    const bool scaled = tw != srect.width || th != srect.height;
    if (scaled && (srect.width > tw * max_scale || tw > srect.width * max_scale ||
                   srect.height > th * max_scale || th > srect.height * max_scale))
        return IM_STATUS_NOT_SUPPORTED;
    if (scaled && transform && combined_call && k.refuse_combined) return IM_STATUS_NOT_SUPPORTED;

    Mapping sm, dm;
    if ((st = map_image(src, false, &sm)) != IM_STATUS_SUCCESS) return st;
    if ((st = map_image(dst, true, &dm)) != IM_STATUS_SUCCESS) return st;
    // Source and destination in one buffer (an in-place flip): read from a copy.
    std::vector<uint8_t> copy;
    uint8_t *sbase = sm.base;
    bool same =
        src.fd >= 0 && dst.fd >= 0 ? (sm.dev == dm.dev && sm.ino == dm.ino) : sm.base == dm.base;
    if (same) {
        copy.assign(sm.base, sm.base + extent(src));
        sbase = copy.data();
    }
    Rect sr{srect.x, srect.y, srect.width, srect.height};
    Rect dr{drect.x, drect.y, drect.width, drect.height};
    if (src.format == dst.format) {
        scale_same(src, sbase, sr, dst, dm.base, dr, transform);
        return IM_STATUS_SUCCESS;
    }
    // Another format: scaled in the source's format into a buffer of the
    // destination rectangle's size, then converted into place.
    rga_buffer_t tmp = src;
    tmp.width = tmp.wstride = dr.w;
    tmp.height = tmp.hstride = dr.h;
    std::vector<uint8_t> t(extent(tmp) + (size_t)dr.w * 2);
    scale_same(src, sbase, sr, tmp, t.data(), {0, 0, dr.w, dr.h}, transform);
    Plane t0{}, t1{}, d0{}, d1{};
    planes_of(tmp, t.data(), &t0, &t1);
    planes_of(dst, dm.base, &d0, &d1);
    if (is_nv12(dst))
        bgra_to_nv12(t.data(), t0.pitch, dr.w, dr.h, d0, d1, dr.x, dr.y);
    else
        nv12_to_bgra(t0, t1, dr.w, dr.h, d0, dr.x, dr.y);
    return IM_STATUS_SUCCESS;
}

IM_STATUS counted(IM_STATUS st) {
    std::call_once(g_totals_once, [] { atexit(print_totals); });
    g_ops.fetch_add(1);
    if (st != IM_STATUS_SUCCESS) g_refused.fetch_add(1);
    return st;
}

bool same_size(const rga_buffer_t &a, const rga_buffer_t &b, bool swapped) {
    return swapped ? (a.width == b.height && a.height == b.width)
                   : (a.width == b.width && a.height == b.height);
}

} // namespace

rga_buffer_t wrapbuffer_virtualaddr_t(void *vir_addr, int width, int height, int wstride,
                                      int hstride, int format) {
    rga_buffer_t b{};
    b.vir_addr = vir_addr;
    b.fd = -1;
    b.width = width;
    b.height = height;
    b.wstride = wstride;
    b.hstride = hstride;
    b.format = format;
    return b;
}

rga_buffer_t wrapbuffer_fd_t(int fd, int width, int height, int wstride, int hstride, int format) {
    rga_buffer_t b = wrapbuffer_virtualaddr_t(nullptr, width, height, wstride, hstride, format);
    b.fd = fd;
    return b;
}

IM_STATUS imcopy_t(const rga_buffer_t src, rga_buffer_t dst, int) {
    if (!same_size(src, dst, false)) return counted(IM_STATUS_INVALID_PARAM);
    return counted(run(src, dst, {}, {}, 0, false));
}

IM_STATUS imflip_t(const rga_buffer_t src, rga_buffer_t dst, int mode, int) {
    bool rot = mode & (IM_HAL_TRANSFORM_ROT_90 | IM_HAL_TRANSFORM_ROT_270);
    if (!mode || (mode & ~transform_bits) || !same_size(src, dst, rot))
        return counted(IM_STATUS_INVALID_PARAM);
    return counted(run(src, dst, {}, {}, mode, false));
}

IM_STATUS improcess(rga_buffer_t src, rga_buffer_t dst, rga_buffer_t, im_rect srect, im_rect drect,
                    im_rect, int usage) {
    // Only transforms and the sync flags are simulated: blending, fills,
    // colour keys and the like are refused.
    if (usage & ~(transform_bits | IM_SYNC | IM_ASYNC)) return counted(IM_STATUS_NOT_SUPPORTED);
    return counted(run(src, dst, srect, drect, usage & transform_bits, true));
}

void sim_rga_stats(SimRgaStats *out) {
    out->ops = g_ops.load();
    out->refused = g_refused.load();
}
