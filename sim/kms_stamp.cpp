// Frame stamps: reading the frame number a test picture carries in its top band.
#include "sim/kms_stamp.h"

#include "sim/kms_state.h"

#include <cstring>
#include <drm_fourcc.h>

namespace {

constexpr int white_min = 170, black_max = 80; // luma 235 and 16 after coding noise

int parity(long n) {
    int p = 0;
    for (int b = 0; b < kms_stamp_bits; b++) p ^= (int)(n >> b) & 1;
    return p;
}

struct Plane8 {
    const uint8_t *p;
    uint32_t pitch;
};

int luma_at(const void *ctx, int x, int y) {
    const Plane8 *pl = static_cast<const Plane8 *>(ctx);
    return pl->p[(size_t)y * pl->pitch + (size_t)x];
}

struct PlaneRgb {
    const uint8_t *p;
    uint32_t pitch;
    int r, g, b; // byte offsets within a 4-byte pixel
};

int rgb_at(const void *ctx, int x, int y) {
    const PlaneRgb *pl = static_cast<const PlaneRgb *>(ctx);
    const uint8_t *q = pl->p + (size_t)y * pl->pitch + (size_t)x * 4;
    return (77 * q[pl->r] + 150 * q[pl->g] + 29 * q[pl->b]) >> 8;
}

bool luma_format(uint32_t f) {
    switch (f) {
        case DRM_FORMAT_NV12:
        case DRM_FORMAT_NV21:
        case DRM_FORMAT_NV16:
        case DRM_FORMAT_NV61:
        case DRM_FORMAT_NV24:
        case DRM_FORMAT_NV42:
        case DRM_FORMAT_YUV420:
        case DRM_FORMAT_YVU420:
            return true;
        default:
            return false;
    }
}

// Byte offsets of R, G and B in a 32-bit RGB format; false for other formats.
bool rgb_offsets(uint32_t f, int *r, int *g, int *b) {
    switch (f) {
        case DRM_FORMAT_XRGB8888:
        case DRM_FORMAT_ARGB8888:
            *r = 2, *g = 1, *b = 0;
            return true;
        case DRM_FORMAT_XBGR8888:
        case DRM_FORMAT_ABGR8888:
            *r = 0, *g = 1, *b = 2;
            return true;
        case DRM_FORMAT_RGBX8888:
        case DRM_FORMAT_RGBA8888:
            *r = 3, *g = 2, *b = 1;
            return true;
        case DRM_FORMAT_BGRX8888:
        case DRM_FORMAT_BGRA8888:
            *r = 1, *g = 2, *b = 3;
            return true;
        default:
            return false;
    }
}

} // namespace

int kms_stamp_cell(long n, int k) {
    if (k == 0) return 1;
    if (k >= 2 && k < 2 + kms_stamp_bits) return (int)(n >> (kms_stamp_bits - 1 - (k - 2))) & 1;
    if (k == 2 + kms_stamp_bits) return parity(n);
    return 0;
}

void kms_stamp_cell_centre(int w, int k, double *x, double *y) {
    double side = (double)w / kms_stamp_cells;
    *x = side * (k + 0.5);
    *y = side * 0.5;
}

int kms_stamp_decode(int w, int h, KmsStampPixel px, const void *ctx) {
    const double side = (double)w / kms_stamp_cells;
    if (side < 16 || h < side) return -1;
    long n = 0;
    for (int k = 0; k < kms_stamp_cells; k++) {
        double cx, cy;
        kms_stamp_cell_centre(w, k, &cx, &cy);
        int white = 0, black = 0;
        const double d = side / 4;
        const double pts[5][2] = {{0, 0}, {-d, -d}, {d, -d}, {-d, d}, {d, d}};
        for (const auto &p : pts) {
            int v = px(ctx, (int)(cx + p[0]), (int)(cy + p[1]));
            white += v >= white_min;
            black += v <= black_max;
        }
        if (white != 5 && black != 5) return -1;
        int bit = white == 5;
        if (k >= 2 && k < 2 + kms_stamp_bits)
            n = n << 1 | bit;
        else if (k == 2 + kms_stamp_bits) {
            if (bit != parity(n)) return -1;
        } else if (bit != kms_stamp_cell(0, k)) {
            return -1;
        }
    }
    return (int)n;
}

void kms_stamp_paint(uint8_t *luma, int pitch, int w, int h, long n) {
    const int side = w / kms_stamp_cells + 1;
    for (int y = 0; y < side && y < h; y++) {
        uint8_t *row = luma + (size_t)y * (size_t)pitch;
        for (int k = 0; k < kms_stamp_cells; k++) {
            int x0 = w * k / kms_stamp_cells, x1 = w * (k + 1) / kms_stamp_cells;
            memset(row + x0, kms_stamp_cell(n, k) ? 235 : 16, (size_t)(x1 - x0));
        }
    }
}

int kms_stamp_read(const KmsFb &fb) {
    const KmsBo *bo = fb.bo[0];
    if (!bo || !bo->map || fb.modifier != DRM_FORMAT_MOD_LINEAR) return -1;
    const int w = (int)fb.width, h = (int)fb.height;
    // The stamp band must lie inside the buffer.
    const size_t band = (size_t)(w / kms_stamp_cells + 1);
    int r, g, b;
    if (luma_format(fb.format)) {
        if ((size_t)fb.offsets[0] + band * fb.pitches[0] > bo->size) return -1;
        Plane8 pl{bo->map + fb.offsets[0], fb.pitches[0]};
        return kms_stamp_decode(w, h, luma_at, &pl);
    }
    if (rgb_offsets(fb.format, &r, &g, &b)) {
        if ((size_t)fb.offsets[0] + band * fb.pitches[0] > bo->size) return -1;
        PlaneRgb pl{bo->map + fb.offsets[0], fb.pitches[0], r, g, b};
        return kms_stamp_decode(w, h, rgb_at, &pl);
    }
    return -1;
}
