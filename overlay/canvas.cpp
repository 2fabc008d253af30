#include "overlay/canvas.h"

#include <cstring>

#include <algorithm>

int g_px_mx = 0;
int g_px_my = 0;
int g_px_opaque = 0;
PxExtent *g_px_track = nullptr;

void fill_rect(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y, int32_t w,
               int32_t h, uint32_t colour) {
    if (!px || w < 1 || h < 1) return;
    // Clip in 64 bits: x + w may pass the 32-bit range.
    const int64_t x0 = std::max<int64_t>(x, 0), x1 = std::min<int64_t>((int64_t)x + w, cw);
    const int64_t y0 = std::max<int64_t>(y, 0), y1 = std::min<int64_t>((int64_t)y + h, ch);
    if (x0 >= x1 || y0 >= y1) return;
    // A uniform span mirrors onto another span: fill the first row, copy it
    // to the others (block copies run much faster than word stores).
    const int64_t sx0 = g_px_mx ? cw - x1 : x0, sx1 = g_px_mx ? cw - x0 : x1;
    const size_t bytes = (size_t)(sx1 - sx0) * 4;
    if (g_px_track) {
        const int64_t sy0 = g_px_my ? ch - y1 : y0, sy1 = g_px_my ? ch - y0 : y1;
        g_px_track->add((int32_t)sx0, (int32_t)sy0, (int32_t)sx1, (int32_t)sy1);
    }
    const uint32_t *first = nullptr;
    for (int64_t py = y0; py < y1; py++) {
        const int64_t my = g_px_my ? ch - 1 - py : py;
        auto *row = (uint32_t *)(px + (size_t)my * pitch) + sx0;
        if (first)
            memcpy(row, first, bytes);
        else
            std::fill(row, row + (sx1 - sx0), colour);
        first = row;
    }
}

void rect_outline(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                  int32_t w, int32_t h, int32_t t, uint32_t colour) {
    fill_rect(px, pitch, cw, ch, x, y, w, t, colour);
    fill_rect(px, pitch, cw, ch, x, y + h - t, w, t, colour);
    fill_rect(px, pitch, cw, ch, x, y, t, h, colour);
    fill_rect(px, pitch, cw, ch, x + w - t, y, t, h, colour);
}

bool round_rect_covers(int32_t i, int32_t j, int32_t w, int32_t h, int32_t r) {
    const int32_t rr = r * r;
    auto in_circle = [rr](int32_t dx, int32_t dy) { return dx * dx + dy * dy <= rr; };
    // Top-left corner square first: overlapping corners of a small rectangle
    // resolve in its favour.
    if (i < r && j < r) return in_circle(r - 1 - i, r - 1 - j);
    if (i < w - r) {
        if (i >= r || j < h - r) return true;
        return in_circle(r - 1 - i, j - (h - r)); // bottom-left
    }
    if (j < r) return in_circle(i - (w - r), r - 1 - j); // top-right
    if (j < h - r) return true;
    if (i >= r) return in_circle(i - (w - r), j - (h - r)); // bottom-right
    return in_circle(r - 1 - i, j - (h - r));               // bottom-left (w < 2r)
}

void fill_round_rect(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                     int32_t w, int32_t h, int32_t r, uint32_t colour) {
    if (!px || h < 1 || w < 1) return;
    if (r <= 0) {
        fill_rect(px, pitch, cw, ch, x, y, w, h, colour);
        return;
    }
    auto pixel = [&](int32_t i, int32_t j, int64_t py) {
        const int64_t qx = (int64_t)x + i;
        if (qx >= 0 && qx < cw && round_rect_covers(i, j, w, h, r))
            *canvas_px(px, pitch, cw, ch, (int32_t)qx, (int32_t)py) = colour;
    };
    // Between the corners every row is whole: one block.
    const int64_t body = (int64_t)y + r;
    if (h > 2 * r && body < ch)
        fill_rect(px, pitch, cw, ch, x, (int32_t)body, w, h - 2 * r, colour);
    for (int32_t j = 0; j < h; j++) {
        const int64_t py = (int64_t)y + j;
        if (py < 0) continue;
        if (py >= ch) break;
        if (j >= r && j < h - r) continue;
        if (w < 2 * r) { // corners meet: every pixel decides
            for (int32_t i = 0; i < w; i++) pixel(i, j, py);
            continue;
        }
        for (int32_t i = 0; i < r; i++) pixel(i, j, py);
        for (int32_t i = w - r; i < w; i++) pixel(i, j, py);
        fill_rect(px, pitch, cw, ch, (int32_t)((int64_t)x + r), (int32_t)py, w - 2 * r, 1, colour);
    }
}
