#include "overlay/detect.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "overlay/canvas.h"
#include "overlay/hud.h"
#include "overlay/text.h"

pthread_mutex_t g_det_lock = PTHREAD_MUTEX_INITIALIZER;
int32_t g_ndet;
Detection g_dets[det_max];

namespace {

uint32_t det_generation; // tables published; guarded by g_det_lock

constexpr uint32_t col_box = 0xff36d399;
constexpr uint32_t col_label = 0xff04231a;

// n x f truncated towards zero; a value a detector got wrong (not finite, or
// far off any screen) reads as 0 or is held to +-1e6.
int32_t frac_px(int32_t n, float f) {
    const float p = (float)n * f;
    if (!std::isfinite(p)) return 0;
    return (int32_t)std::clamp(p, -1e6f, 1e6f);
}

struct DetLock {
    DetLock() { pthread_mutex_lock(&g_det_lock); }
    ~DetLock() { pthread_mutex_unlock(&g_det_lock); }
    DetLock(const DetLock &) = delete;
    DetLock &operator=(const DetLock &) = delete;
};

} // namespace

void detect_publish(const Detection *d, int32_t n) {
    if (!d || n < 0) n = 0;
    n = std::min(n, det_max);
    DetLock hold;
    if (n > 0) memcpy(g_dets, d, sizeof *d * (size_t)n);
    g_ndet = n;
    det_generation += 1;
}

uint32_t detect_generation() {
    DetLock hold;
    return det_generation;
}

int32_t detect_copy(Detection out[det_max]) {
    DetLock hold;
    const int32_t n = std::clamp(g_ndet, 0, det_max);
    if (n > 0) memcpy(out, g_dets, sizeof *out * (size_t)n);
    return n;
}

void draw_detection_table(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const Detection *d,
                          int32_t n) {
    const bool large = H >= 1000;
    const int32_t t = large ? 3 : 2, fs = large ? 22 : 18;
    for (int32_t i = 0; i < n; i++) {
        const Detection &e = d[i];
        const int32_t bw = frac_px(W, e.w), bh = frac_px(H, e.h);
        if (bw <= 0 || bh <= 0) continue;
        const int32_t bx = frac_px(W, e.x), by = frac_px(H, e.y);
        rect_outline(px, pitch, W, H, bx, by, bw, bh, t, col_box);
        char label[24];
        snprintf(label, sizeof label, "%s %d%%", "obj", frac_px(100, e.score));
        int32_t ly = by - fs - 6;
        if (ly < 0) ly = by + 2;
        fill_rect(px, pitch, W, H, bx, ly, ft_text_w(label, fs) + 10, fs + 6, col_box);
        ft_text(px, pitch, W, H, bx + 5, ly + fs, label, col_label, fs);
    }
}
