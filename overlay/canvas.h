#pragma once
// The drawing target of every overlay: a 32-bit ARGB8888 buffer (0xAARRGGBB
// words, not premultiplied) given as pixels, pitch in bytes, width and height.
// Pixel (x, y) is the word at byte offset y * pitch + x * 4.
//
// The fill primitives store the colour word as it is (alpha included, no
// blending) and clip every pixel on its own, so rectangles may run partly or
// wholly off the canvas.
#include <cstddef>
#include <cstdint>

#include <algorithm>

// Mirror flags, process-wide, 0 by default: with g_px_mx set the pixel meant
// for column x goes to column width - 1 - x, with g_px_my set the pixel meant
// for row y goes to row height - 1 - y. Clipping uses the unmirrored place.
extern int g_px_mx;
extern int g_px_my;

// Set while drawing into a buffer whose alpha the display ignores (the XRGB
// standby buffers): text then blends into every pixel as into an opaque one,
// so its edges stay smooth over the buffer's black, all-zero parts too (with
// their alpha of 0 the edges would take the full text colour). 0 by default.
extern int g_px_opaque;

// A bounding box of buffer words: columns x0..x1-1, rows y0..y1-1 as they lie
// in memory (mirror flags applied); empty while x0 >= x1.
struct PxExtent {
    int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    bool empty() const { return x0 >= x1 || y0 >= y1; }
    void add(int32_t ax0, int32_t ay0, int32_t ax1, int32_t ay1) {
        if (empty()) {
            x0 = ax0, y0 = ay0, x1 = ax1, y1 = ay1;
            return;
        }
        x0 = std::min(x0, ax0), y0 = std::min(y0, ay0);
        x1 = std::max(x1, ax1), y1 = std::max(y1, ay1);
    }
};
// While non-null, every word fill_rect writes and every word canvas_px hands
// out (so every pixel any overlay drawing touches) is added to this box.
// Process-wide like the mirror flags; null by default.
extern PxExtent *g_px_track;

// Every pixel with x <= px < x + w and y <= py < y + h that lies on the canvas.
void fill_rect(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y, int32_t w,
               int32_t h, uint32_t colour);
// A border of thickness t lying inside the rectangle: top, bottom, left and
// right bands, overlapping at the corners.
void rect_outline(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                  int32_t w, int32_t h, int32_t t, uint32_t colour);
// A rectangle with hard-edged round corners of radius r (r = 0: fill_rect).
void fill_round_rect(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                     int32_t w, int32_t h, int32_t r, uint32_t colour);

// Whether pixel (i, j) of a w x h rectangle with corner radius r is set.
bool round_rect_covers(int32_t i, int32_t j, int32_t w, int32_t h, int32_t r);

// Address of the word that receives the pixel meant for (x, y), mirror flags
// applied; null when (x, y) lies off the canvas.
inline uint32_t *canvas_px(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x,
                           int32_t y) {
    if (x < 0 || y < 0 || x >= cw || y >= ch) return nullptr;
    if (g_px_mx) x = cw - 1 - x;
    if (g_px_my) y = ch - 1 - y;
    if (g_px_track) g_px_track->add(x, y, x + 1, y + 1);
    return (uint32_t *)(px + (size_t)y * pitch + (size_t)x * 4);
}
