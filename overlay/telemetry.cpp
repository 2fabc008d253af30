#include "overlay/telemetry.h"

#include "gpu/gpu_pass.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <xf86drmMode.h>

#include "core/config.h"
#include "core/control_file.h"
#include "core/env.h"
#include "display/output.h"
#include "overlay/canvas.h"
#include "overlay/hud.h"
#include "overlay/text.h"

Telemetry g_telem;

namespace {

constexpr uint32_t col_bar = 0xa6080a0f;
constexpr uint32_t col_white = 0xffeef0f4;
constexpr uint32_t col_grey = 0xff8b94a6;
constexpr uint32_t col_dim = 0xff6b7280;
constexpr uint32_t col_red = 0xfff87171;
constexpr uint32_t col_amber = 0xfffab23f;
constexpr uint32_t col_green = 0xff4ade80;
constexpr uint32_t col_unlit = 0xff39404e;
constexpr uint32_t col_lens = 0xff0a0c10;

constexpr char degree[] = "\xb0";

ControlFile g_telem_file;
ControlText g_telem_text;

// The keys of the telemetry file: each names an integer field, or a float
// field with its has_ flag.
struct Key {
    const char *name;
    int32_t Telemetry::*i;
    float Telemetry::*f;
    int32_t Telemetry::*has;
};
constexpr Key keys[] = {
    {"gog", &Telemetry::gog, nullptr, nullptr},
    {"drn", &Telemetry::drn, nullptr, nullptr},
    {"sig", &Telemetry::sig, nullptr, nullptr},
    {"vtx", &Telemetry::vtx, nullptr, nullptr},
    {"sat", &Telemetry::sat, nullptr, nullptr},
    {"tmp", &Telemetry::tmp, nullptr, nullptr},
    {"rec", &Telemetry::rec, nullptr, nullptr},
    {"recs", &Telemetry::recs, nullptr, nullptr},
    {"vpn", &Telemetry::vpn, nullptr, nullptr},
    {"yaw", nullptr, &Telemetry::yaw, &Telemetry::has_yaw},
    {"alt", nullptr, &Telemetry::alt, &Telemetry::has_alt},
    {"spd", nullptr, &Telemetry::spd, &Telemetry::has_spd},
    {"vs", nullptr, &Telemetry::vs, &Telemetry::has_vs},
    {"pit", nullptr, &Telemetry::pit, &Telemetry::has_pit},
    {"rol", nullptr, &Telemetry::rol, &Telemetry::has_rol},
};

Telemetry telemetry_defaults() {
    Telemetry t{};
    t.gog = t.drn = t.sig = t.vtx = t.sat = -1;
    t.tmp = -1000;
    return t;
}

constexpr HudSizes hud_large{26, 18, 19, 9, 20, 30, 21, 24};
constexpr HudSizes hud_small{21, 13, 15, 6, 15, 25, 17, 19};

// Copies at most size - 1 bytes of src and a terminating NUL.
void copy_cut(char *dst, size_t size, const char *src) {
    const size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

const char *telemetry_path() {
    const char *p = env_get("VEX_KMS_TELEMETRY");
    return env_nonempty(p) ? p : "/run/vex-fpv/telemetry";
}

// The canvas the drawing below shares.
struct Canvas {
    uint8_t *px;
    uint32_t pitch;
    int32_t w, h;
    int32_t text(int32_t x, int32_t y, const char *s, uint32_t c, int size) const {
        return ft_text(px, pitch, w, h, x, y, s, c, size);
    }
    void fill(int32_t x, int32_t y, int32_t fw, int32_t fh, uint32_t c) const {
        fill_rect(px, pitch, w, h, x, y, fw, fh, c);
    }
    void dot(int32_t x, int32_t y, uint32_t c) const {
        if (uint32_t *p = canvas_px(px, pitch, w, h, x, y)) *p = c;
    }
};

} // namespace

// ---------------------------------------------------------------------------
// The telemetry file

void telemetry_parse(const char *data, size_t len, Telemetry *out) {
    Telemetry t = telemetry_defaults();
    char line[96], key[16], val[48];
    ControlLines lines(data, len);
    while (lines.next(line, sizeof line)) {
        if (sscanf(line, " %15[a-z] = %47s", key, val) != 2) continue;
        if (strcmp(key, "net") == 0) {
            copy_cut(t.net, sizeof t.net, val);
            continue;
        }
        for (const Key &k : keys) {
            if (strcmp(key, k.name) != 0) continue;
            if (k.i) {
                t.*k.i = (int32_t)strtol(val, nullptr, 10);
            } else {
                t.*k.f = strtof(val, nullptr);
                t.*k.has = 1;
            }
            break;
        }
    }
    *out = t;
}

int poll_telemetry() {
    const char *path = telemetry_path();
    ControlPoll poll = poll_control_file(path, &g_telem_file, &g_telem_text);
    if (poll == ControlPoll::missing) {
        if (!g_telem.valid) return 0;
        g_telem = Telemetry{};
        return 1;
    }
    if (poll != ControlPoll::changed) return 0;
    Telemetry t;
    telemetry_parse(g_telem_text.data, g_telem_text.len, &t);
    t.valid = 1;
    g_telem = t;
    return 1;
}

// ---------------------------------------------------------------------------
// Board readers and texts

int board_temp_c() {
    FILE *f = fopen("/sys/class/thermal/thermal_zone0/temp", "r");
    if (!f) return -1000;
    long mc = 0;
    int n = fscanf(f, "%ld", &mc);
    fclose(f);
    return n == 1 ? (int)(mc / 1000) : -1000;
}

void fmt_uptime_secs(char *buf, long s) {
    char text[64];
    if (s >= 86400)
        snprintf(text, sizeof text, "UP %ldd%02ld:%02ld", s / 86400, s / 3600 % 24, s / 60 % 60);
    else
        snprintf(text, sizeof text, "UP %ld:%02ld", s / 3600, s / 60 % 60);
    copy_cut(buf, 24, text);
}

void fmt_uptime(char *buf) {
    buf[0] = '\0';
    FILE *f = fopen("/proc/uptime", "r");
    if (!f) return;
    double up = -1;
    int n = fscanf(f, "%lf", &up);
    fclose(f);
    if (n == 1 && up >= 0) fmt_uptime_secs(buf, (long)up);
}

void fmt_rec(char *buf, size_t len, int32_t recs) {
    const int r = std::max(recs, 0);
    if (recs > 3599)
        snprintf(buf, len, "REC %d:%02d:%02d", r / 3600, r / 60 % 60, r % 60);
    else
        snprintf(buf, len, "REC %d:%02d", r / 60, r % 60);
}

uint32_t battery_colour(int32_t pct) {
    if (pct < 0) return col_dim;
    if (pct <= 15) return col_red;
    if (pct <= 30) return col_amber;
    return col_green;
}

void lut_display_name(const char *path, char *out) {
    const char *slash = strrchr(path, '/');
    copy_cut(out, 24, slash ? slash + 1 : path);
    if (char *cube = strstr(out, ".cube")) *cube = '\0';
}

HudSizes hud_sizes(int32_t H) {
    return H >= 720 ? hud_large : hud_small;
}

// ---------------------------------------------------------------------------
// Bottom status bar

void hud_status(const Output *o, HudStatus *s) {
    const Telemetry &t = g_telem;
    *s = HudStatus{};
    s->rec = t.rec;
    s->recs = t.recs;
    if (g_lut_on && g_lut_path[0]) lut_display_name(g_lut_path, s->lut);
    copy_cut(s->net, sizeof s->net, t.net);
    s->vpn = t.vpn;
    fmt_uptime(s->uptime);
    s->codec = g_is_hevc ? "H.265" : "H.264";

    const Output *src = o;
    for (int i = 0; i < nout; i++) {
        if (!outs[i].is_dsi) {
            src = &outs[i];
            break;
        }
    }
    if (src) {
        const drmModeModeInfo &m = src->mode;
        snprintf(s->mode, sizeof s->mode, "%d%c%d", m.vdisplay,
                 (m.flags & DRM_MODE_FLAG_INTERLACE) ? 'i' : 'p', (int)m.vrefresh);
    }

    s->temp = t.valid && t.tmp >= -99 ? t.tmp : board_temp_c();
}

void hud_status_layout(const HudStatus &s, int32_t W, const HudSizes &z, HudBarLayout *out) {
    enum { rec, lut_label, lut, net, vpn, temp, mode, codec, up, count };
    struct Item {
        bool on;
        uint32_t colour;
        char text[32];
    } it[count] = {};
    auto set = [&](int i, bool on, uint32_t colour, const char *text) {
        it[i].on = on;
        it[i].colour = colour;
        snprintf(it[i].text, sizeof it[i].text, "%s", text);
    };
    char text[32];
    fmt_rec(text, sizeof text, s.recs);
    set(rec, s.rec != 0, col_red, text);
    set(lut_label, s.lut[0] != 0, col_grey, "LUT");
    set(lut, s.lut[0] != 0, col_white, s.lut);
    set(net, s.net[0] != 0, col_amber, s.net);
    set(vpn, s.vpn != 0, col_green, "VPN");
    snprintf(text, sizeof text, "%d%sC", s.temp, degree);
    set(temp, s.temp >= -99, s.temp >= 80 ? col_amber : col_grey, text);
    set(mode, true, col_white, s.mode);
    set(codec, true, col_white, s.codec ? s.codec : "H.264");
    set(up, s.uptime[0] != 0, col_grey, s.uptime);

    const int32_t fs = z.fs;
    int32_t x[count] = {};
    auto w = [&](int i) { return ft_text_w(it[i].text, fs); };
    // Places both groups; returns by how many pixels they come too close (<= 0: they fit).
    auto place = [&] {
        int32_t pen = 8, end = 8;
        for (int i = rec; i <= vpn; i++) {
            if (!it[i].on) continue;
            if (i == rec) pen = z.d + 13;
            x[i] = pen;
            end = pen + w(i);
            pen = end + (i == lut_label ? 4 : fs);
        }
        int32_t right = W - 8, start = W - 8 + fs;
        for (int i = up; i >= temp; i--) {
            if (!it[i].on) continue;
            x[i] = right - w(i);
            start = x[i];
            right = x[i] - 10;
        }
        return end + fs - start;
    };
    // Shortens item i by `over` pixels, keeping at least `keep` characters before the "...".
    auto shorten = [&](int i, int32_t over, size_t keep) {
        if (!it[i].on || over <= 0) return;
        char cut[32];
        snprintf(cut, sizeof cut, "%.*s...", (int)keep, it[i].text);
        text_ellipsize(it[i].text, fs, std::max(w(i) - over, ft_text_w(cut, fs)), cut, sizeof cut);
        memcpy(it[i].text, cut, sizeof cut);
    };
    shorten(lut, place(), 4);
    shorten(net, place(), 4);
    constexpr int drop_order[] = {up, mode, vpn, lut, codec, temp};
    for (int i : drop_order) {
        if (place() <= 0) break;
        it[i].on = false;
        if (i == lut) it[lut_label].on = false;
    }
    shorten(net, place(), 0);
    if (place() > 0) it[net].on = false;
    place();

    out->dot = it[rec].on;
    out->n = 0;
    for (int i = 0; i < count; i++) {
        if (!it[i].on) continue;
        HudText &t = out->item[out->n++];
        t.x = x[i];
        t.colour = it[i].colour;
        memcpy(t.text, it[i].text, sizeof t.text);
    }
}

void draw_status_bar(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const HudStatus &s) {
    const Canvas cv{px, pitch, W, H};
    const HudSizes z = hud_sizes(H);
    const int32_t top = H - z.bh, yb = top + z.base;
    cv.fill(0, top, W, z.bh, col_bar);
    HudBarLayout l;
    hud_status_layout(s, W, z, &l);
    if (l.dot)
        fill_round_rect(px, pitch, W, H, 8, top + ((z.bh - z.d) >> 1), z.d, z.d, z.fs / 4, col_red);
    for (int i = 0; i < l.n; i++) cv.text(l.item[i].x, yb, l.item[i].text, l.item[i].colour, z.fs);
}

// ---------------------------------------------------------------------------
// Top chip bar

int hud_build_chips(const Telemetry &t, HudChip *chips) {
    if (!t.valid) return 0;
    if (t.gog < 0 && t.drn < 0 && t.sig < 0 && t.sat < 0 && !t.has_yaw && !t.has_alt && !t.has_spd)
        return 0;

    auto battery = [](HudChip &c, ChipKind kind, int32_t pct) {
        c = HudChip{kind, "", battery_colour(pct), 0};
        if (pct >= 0)
            snprintf(c.text, sizeof c.text, "%d%%", pct);
        else
            snprintf(c.text, sizeof c.text, "--");
    };
    battery(chips[0], ChipKind::goggles, t.gog);
    battery(chips[1], ChipKind::drone, t.drn);
    chips[2] = HudChip{ChipKind::bars, "VTX", col_white, t.sig};

    auto value = [](HudChip &c, bool known, const char *known_fmt, float v, const char *unknown) {
        c = HudChip{ChipKind::text, "", known ? col_white : col_grey, 0};
        if (known)
            snprintf(c.text, sizeof c.text, known_fmt, v);
        else
            snprintf(c.text, sizeof c.text, "%s", unknown);
    };
    chips[3] = HudChip{ChipKind::text, "", t.sat < 0 ? col_grey : col_white, 0};
    if (t.sat >= 0)
        snprintf(chips[3].text, sizeof chips[3].text, "SAT %d", t.sat);
    else
        snprintf(chips[3].text, sizeof chips[3].text, "SAT --");
    value(chips[4], t.has_yaw, "%.0f\xb0", t.yaw, "--\xb0");
    value(chips[5], t.has_alt, "%.1fm", t.alt, "--m");
    value(chips[6], t.has_spd, "%.1fm/s", t.spd, "--m/s");
    value(chips[7], t.has_vs, "VS%+.1f", t.vs, "VS--");
    value(chips[8], t.has_pit, "PIT%+.0f", t.pit, "PIT--");
    value(chips[9], t.has_rol, "ROL%+.0f", t.rol, "ROL--");
    return hud_chip_count;
}

int32_t hud_chip_width(const HudChip &c, int32_t cs) {
    int32_t w = ft_text_w(c.text, cs);
    if (c.kind == ChipKind::goggles || c.kind == ChipKind::drone) w += cs + 8;
    if (c.kind == ChipKind::bars) w += 27;
    return w;
}

int hud_first_row(const int32_t *w, int n, int32_t W, int32_t gap) {
    if (n < 1) return 0;
    int32_t row = w[0];
    int k = 1;
    while (k < n && row + gap + w[k] <= W - 8) row += gap + w[k++];
    return k;
}

int draw_chip_bar(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const Telemetry &t) {
    HudChip chips[hud_chip_count];
    const int n = hud_build_chips(t, chips);
    if (!n) return 0;
    const Canvas cv{px, pitch, W, H};
    const HudSizes z = hud_sizes(H);
    const int32_t fs = z.fs, cs = z.cs;

    int32_t widths[hud_chip_count];
    for (int i = 0; i < n; i++) widths[i] = hud_chip_width(chips[i], cs);
    const int first = hud_first_row(widths, n, W, fs);
    const int rows = first < n ? 2 : 1;
    cv.fill(0, 0, W, rows * z.row_h, col_bar);

    const int bounds[3] = {0, first, n};
    for (int k = 0; k < rows; k++) {
        int32_t row_w = 0;
        for (int i = bounds[k]; i < bounds[k + 1]; i++)
            row_w += (i > bounds[k] ? fs : 0) + widths[i];
        int32_t x = W - row_w > 7 ? (W - row_w) >> 1 : 4;
        const int32_t base = z.row_base + k * z.row_h;
        const int32_t icon_bottom = fs + 6 + k * z.row_h, icon_top = icon_bottom - fs;
        for (int i = bounds[k]; i < bounds[k + 1]; i++) {
            const HudChip &c = chips[i];
            switch (c.kind) {
                case ChipKind::goggles:
                case ChipKind::drone:
                    (c.kind == ChipKind::goggles ? draw_goggles_icon : draw_drone_icon)(
                        px, pitch, W, H, x, icon_top, z.icon_w, fs, c.colour);
                    x += cs + 8;
                    x += cv.text(x, base, c.text, c.colour, cs) + fs;
                    break;
                case ChipKind::text:
                    x += cv.text(x, base, c.text, c.colour, cs) + fs;
                    break;
                case ChipKind::bars: {
                    const int32_t end = x + cv.text(x, base, c.text, c.colour, cs);
                    for (int32_t b = 0; b < 5; b++) {
                        const int32_t bar_top = icon_bottom - (b + 2) * fs / 6;
                        const uint32_t colour = c.level >= 0 && c.level > b ? col_green : col_unlit;
                        cv.fill(end + 4 + 5 * b, bar_top, 3, icon_bottom - bar_top, colour);
                    }
                    x = end + 4 + cs + 21;
                    break;
                }
            }
        }
    }
    return rows;
}

// ---------------------------------------------------------------------------
// Icons and the whole HUD

void draw_goggles_icon(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                       int32_t w, int32_t h, uint32_t colour) {
    fill_round_rect(px, pitch, cw, ch, x, y, w, h, h / 3, colour);
    const int32_t lens = (w - 5) >> 1;
    fill_rect(px, pitch, cw, ch, x + 2, y + 2, lens, h - 4, col_lens);
    fill_rect(px, pitch, cw, ch, x + w - 2 - lens, y + 2, lens, h - 4, col_lens);
}

void draw_drone_icon(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                     int32_t w, int32_t h, uint32_t colour) {
    const Canvas cv{px, pitch, cw, ch};
    const int32_t cx = x + (w >> 1), cy = y + (h >> 1);
    auto block = [&](int32_t x0, int32_t x1, int32_t y0, int32_t y1) {
        for (int32_t py = y0; py <= y1; py++)
            for (int32_t pxx = x0; pxx <= x1; pxx++) cv.dot(pxx, py, colour);
    };
    block(cx - 2, cx + 1, cy - 2, cy + 1);
    constexpr int32_t quadrants[4][2] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    for (const auto &q : quadrants) {
        const int32_t sx = q[0], sy = q[1];
        for (int32_t k = 1; k <= w / 2 - 2; k++) cv.dot(cx + k * sx, cy + k * h * sy / w, colour);
        const int32_t b = cx + sx * (w / 2 - 1), a = cy + sy * (h / 2 - 1);
        block(b - 1, b + 1, a - 1, a);
    }
}

void draw_telemetry(const Output *o, uint8_t *px, uint32_t pitch, int32_t w, int32_t h) {
    HudStatus s;
    hud_status(o, &s);
    draw_status_bar(px, pitch, w, h, s);
    draw_chip_bar(px, pitch, w, h, g_telem);
}
