#include "overlay/osd.h"

#include <algorithm>
#include <cstring>

#include "core/control_file.h"
#include "core/env.h"
#include "display/output.h"
#include "overlay/canvas.h"
#include "overlay/hud.h"
#include "overlay/overlay.h"
#include "overlay/text.h"

OsdState g_osd;
pthread_mutex_t g_pu_lock = PTHREAD_MUTEX_INITIALIZER;
int32_t g_pu_w, g_pu_h;
uint32_t g_pu_tile[pu_tile_max_w * pu_tile_max_h];

namespace {

constexpr uint32_t col_card = 0xf01a1d24;
constexpr uint32_t col_shadow = 0x22000000;
constexpr uint32_t col_text = 0xfff2f4f8;
constexpr uint32_t col_level[3] = {0xff4ade80, 0xffffc24b, 0xffff5a5f};
const char *const captions[3] = {"INFO", "PERINGATAN", "KESALAHAN"};

// Longest stored line, in characters.
constexpr size_t line_max = 188;

ControlFile g_osd_file;
ControlText g_osd_text;
// "level|W|H|text" of the tile in g_pu_tile.
char g_pu_key[320];

struct PopupLock {
    PopupLock() { pthread_mutex_lock(&g_pu_lock); }
    ~PopupLock() { pthread_mutex_unlock(&g_pu_lock); }
    PopupLock(const PopupLock &) = delete;
    PopupLock &operator=(const PopupLock &) = delete;
};

// Restores the mirror flags on leaving a scope that cleared them.
struct MirrorOff {
    int mx = g_px_mx, my = g_px_my;
    MirrorOff() { g_px_mx = g_px_my = 0; }
    ~MirrorOff() {
        g_px_mx = mx;
        g_px_my = my;
    }
    MirrorOff(const MirrorOff &) = delete;
    MirrorOff &operator=(const MirrorOff &) = delete;
};

int level_index(int level) {
    return level <= 0 ? 0 : level == 1 ? 1 : 2;
}

// Renders the tile for a W x H target into g_pu_tile and stores its size
// (0 x 0 when it has no room). Called with g_pu_lock held.
void render_tile(int32_t W, int32_t H, int level, const char *text) {
    const PuLayout l = pu_layout(H);
    const int32_t maxw = pu_max_width(W);
    PuLines lines;
    pu_wrap(text, l.fs, std::max(maxw - l.pad, 40), l.max_lines, &lines);

    const int li = level_index(level);
    int32_t widest = ft_text_w(captions[li], l.cap_px);
    for (int32_t k = 0; k < lines.n; k++) widest = std::max(widest, ft_text_w(lines.line[k], l.fs));
    const int32_t cw = std::min({widest + l.pad, maxw, pu_tile_max_w});
    const int32_t ch = std::min(l.top + lines.n * l.line_h + l.fs, pu_tile_max_h);
    g_pu_w = g_pu_h = 0;
    if (cw <= 0 || ch <= 0) return;

    MirrorOff mirror_off;
    uint8_t *px = (uint8_t *)g_pu_tile;
    const uint32_t pitch = (uint32_t)cw * 4;
    fill_rect(px, pitch, cw, ch, 0, 0, cw, ch, 0);
    for (int32_t i = 3; i >= 1; i--)
        fill_round_rect(px, pitch, cw, ch, i, i + i / 2, cw - 2 * i, ch - i, l.radius, col_shadow);
    fill_round_rect(px, pitch, cw, ch, 0, 0, cw, ch, l.radius, col_card);
    fill_round_rect(px, pitch, cw, ch, l.bar_x, l.fs, l.bar_w, ch - 2 * l.fs, l.bar_r,
                    col_level[li]);
    ft_text(px, pitch, cw, ch, l.text_x, l.cap_base, captions[li], col_level[li], l.cap_px);
    for (int32_t k = 0; k < lines.n; k++)
        ft_text(px, pitch, cw, ch, l.text_x, l.fs + l.top + k * l.pitch, lines.line[k], col_text,
                l.fs);
    g_pu_w = cw;
    g_pu_h = ch;
}

// Blends the cached tile into the target. Called with g_pu_lock held.
void blend_tile(const PuTarget &t) {
    const int32_t cw = g_pu_w, ch = g_pu_h, W = t.w, H = t.h;
    if (cw <= 0 || ch <= 0) return;
    const int32_t x0 = cw > W ? 0 : (W - cw) / 2;
    int32_t y0 = t.top >= 0 ? t.top : H / 6 + 4;
    if (y0 + ch > H) y0 = ch >= H ? 0 : H - ch;
    const int ri = t.rgba ? 0 : 2, bi = t.rgba ? 2 : 0; // byte positions of red and blue
    const int32_t cols = std::min(cw, W - x0);
    for (int32_t r = 0; r < ch; r++) {
        const int32_t y = y0 + r;
        if (y < 0 || y >= H) continue;
        uint8_t *row = t.px + (size_t)(t.flip_rows ? H - 1 - y : y) * t.pitch + (size_t)x0 * 4;
        const uint32_t *src = g_pu_tile + (size_t)r * cw;
        for (int32_t c = 0; c < cols; c++) {
            const uint32_t s = src[c], a = s >> 24;
            if (a == 0) continue;
            uint8_t *d = row + (size_t)c * 4;
            auto mix = [a](uint32_t sc, uint8_t dc) {
                return (uint8_t)((a * sc + (255 - a) * dc) / 255);
            };
            d[ri] = mix((s >> 16) & 0xff, d[ri]);
            d[1] = mix((s >> 8) & 0xff, d[1]);
            d[bi] = mix(s & 0xff, d[bi]);
            d[3] = 0xff;
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------
// The OSD file

void osd_parse(const char *data, size_t len, OsdState *out) {
    OsdState s{};
    char line[128];
    ControlLines lines(data, len);
    if (lines.next(line, sizeof line)) {
        s.level = strncmp(line, "error", 5) == 0 ? 2 : strncmp(line, "warn", 4) == 0 ? 1 : 0;
        if (lines.next(line, sizeof line)) {
            size_t n = std::min(strcspn(line, "\r\n"), sizeof s.text - 1);
            memcpy(s.text, line, n);
            s.text[n] = '\0';
        }
    }
    s.active = s.text[0] != '\0';
    *out = s;
}

int poll_osd() {
    const char *path = env_get("VEX_KMS_OSD");
    if (!path) path = "/run/vex-fpv/osd";
    ControlPoll poll = poll_control_file(path, &g_osd_file, &g_osd_text);
    if (poll == ControlPoll::missing) {
        g_osd_file.mtime = timespec{};
        if (g_osd.active) {
            g_osd = OsdState{};
            return 1;
        }
        return 0;
    }
    if (poll != ControlPoll::changed) return 0;
    OsdState s;
    osd_parse(g_osd_text.data, g_osd_text.len, &s);
    g_osd = s;
    return 1;
}

bool osd_active() {
    return g_osd.active != 0;
}

// ---------------------------------------------------------------------------
// Layout and word wrap

PuLayout pu_layout(int32_t H) {
    if (H < 180) return {12, 9, 15, 15, 15, 21, 27, 6, 3, 1, 33, 12, 3};
    if (H > 464) return {30, 20, 37, 37, 37, 50, 65, 15, 7, 3, 82, 18, 2};
    PuLayout l{};
    const int32_t fs = H / 15, m = H / 30;
    l.fs = fs;
    l.text_x = (fs >> 2) + 2 * m;
    l.line_h = fs + (fs >> 2);
    l.bar_x = m;
    l.radius = std::min(fs, 18);
    l.max_lines = H < 400 ? 3 : 2;
    if (fs <= 13) {
        l.cap_px = 9;
        l.pitch = fs + 3;
        l.cap_base = fs + 9;
        l.top = fs + 15;
        l.bar_w = 3;
        l.bar_r = 1;
        l.pad = 2 * fs + l.bar_w + 6;
    } else {
        l.cap_px = 2 * fs / 3;
        l.pitch = fs + (fs >> 2);
        l.cap_base = fs + 2 * fs / 3;
        l.top = fs + 2 * fs / 3 + m;
        l.bar_w = fs >> 2;
        l.bar_r = fs >> 3;
        l.pad = 2 * fs + l.bar_w + m;
    }
    return l;
}

int32_t pu_max_width(int32_t W) {
    return std::min(W - 2 * (W / 20 + 4), pu_tile_max_w);
}

void pu_wrap(const char *text, int fs, int32_t L, int max_lines, PuLines *out) {
    *out = PuLines{};
    size_t pos = 0;
    const size_t len = strlen(text);
    char cand[line_max + 1];
    while (pos < len && out->n < max_lines) {
        // Grow the line one character at a time; brk is the length after the
        // last space, or the whole rest once it fits.
        size_t n = 0, brk = 0, take = 0;
        while (take == 0) {
            cand[n] = text[pos + n];
            n++;
            cand[n] = '\0';
            if (ft_text_w(cand, fs) > L) {
                take = brk ? brk : std::max<size_t>(n - 1, 1);
            } else {
                if (cand[n - 1] == ' ') brk = n;
                if (pos + n == len || n == line_max) take = n;
            }
        }
        char *line = out->line[out->n++];
        memcpy(line, text + pos, take);
        line[take] = '\0';
        for (size_t k = take; k > 0 && line[k - 1] == ' '; k--) line[k - 1] = '\0';
        pos += take;
        while (pos < len && text[pos] == ' ') pos++;
    }
    if (pos < len && out->n > 0) {
        char *last = out->line[out->n - 1];
        size_t n = strlen(last);
        const int32_t room = L - ft_text_w("...", fs);
        while (n > 0 && ft_text_w(last, fs) > room) last[--n] = '\0';
        memcpy(last + n, "...", 4);
    }
}

// ---------------------------------------------------------------------------
// Rendering and blending

// Renders the tile for a W x H target unless the cache holds it. Called with
// g_pu_lock held.
void pu_prepare(int32_t W, int32_t H, int level) {
    char key[sizeof g_pu_key];
    snprintf(key, sizeof key, "%d|%d|%d|%s", level, W, H, g_osd.text);
    if (g_pu_w <= 0 || strcmp(key, g_pu_key) != 0) {
        render_tile(W, H, level, g_osd.text);
        memcpy(g_pu_key, key, sizeof key);
    }
}

void pu_blit(const PuTarget &t, int level) {
    if (!t.px || t.w <= 0 || t.h <= 0 || !g_osd.text[0]) return;
    PopupLock hold;
    pu_prepare(t.w, t.h, level);
    blend_tile(t);
}

int32_t pu_tile_height(int32_t W, int32_t H) {
    if (W <= 0 || H <= 0 || !g_osd.text[0]) return 0;
    PopupLock hold;
    pu_prepare(W, H, g_osd.level);
    return g_pu_w > 0 ? g_pu_h : 0;
}

void draw_osd(const Output *o, uint8_t *px, uint32_t pitch, int32_t w, int32_t h, int32_t top) {
    if (!g_osd.active || !o->is_dsi) return;
    PuTarget t{px, pitch, w, h, 0, 0};
    t.top = top;
    pu_blit(t, g_osd.level);
}

int32_t osd_height_on(const Output *o, int32_t w, int32_t h) {
    return g_osd.active && o->is_dsi ? pu_tile_height(w, h) : 0;
}
