#include "overlay/menu.h"

#include "overlay/detect.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <xf86drmMode.h>

#include "core/control_file.h"
#include "core/env.h"
#include "display/output.h"
#include "display/placement.h"
#include "display/standby.h"
#include "display/video_plane.h"
#include "overlay/canvas.h"
#include "overlay/hud.h"
#include "overlay/overlay.h"
#include "overlay/telemetry.h"
#include "overlay/text.h"
#include "stream/detect_queue.h"

MenuState g_menu;
pthread_mutex_t g_overlay_lock = PTHREAD_MUTEX_INITIALIZER;

const char *const menu_tab_names[4] = {"Stream", "Display", "System", "About"};

namespace {

constexpr uint32_t col_backdrop = 0xb3050608;
constexpr uint32_t col_panel = 0xf20c0e13;
constexpr uint32_t col_accent = 0xff36d399;
constexpr uint32_t col_on_accent = 0xff04231a;
constexpr uint32_t col_text = 0xffeef0f4;
constexpr uint32_t col_grey = 0xff8b94a6;
constexpr uint32_t col_divider = 0xff2a3140;
constexpr int32_t panel_radius = 22; // corners of the menu panel

// Sizes of the menu panel: [0] small (H < 1000), [1] large.
struct PanelSizes {
    int32_t fs, m, title_px, tab_pitch, rh_max, base_adj;
    int32_t t, S, s, c, b, p;
    int32_t dot_off, dot, stem_gap, stem_h;
    int32_t tab_label_dy;
};
constexpr PanelSizes panel_sizes[2] = {
    {22, 20, 30, 52, 40, -6, 2, 18, 9, 11, 18, 4, 3, 4, 6, 9, 18},
    {30, 28, 38, 60, 48, -8, 3, 24, 12, 15, 24, 6, 4, 6, 9, 11, 24},
};

// Sizes of the message screen: [sidebar][large].
struct MessageSizes {
    int32_t caption_px, text_px, caption_dy, text_dy; // baselines relative to H/5
};
constexpr MessageSizes message_sizes[2][2] = {
    {{20, 44, -44, 22}, {28, 64, -64, 32}},
    {{20, 30, -30, 15}, {28, 40, -40, 20}},
};

// Copies line up to its first CR or LF, at most `max` characters.
void copy_line(char *dst, const char *line, size_t max) {
    size_t n = strcspn(line, "\r\n");
    if (n > max) n = max;
    memcpy(dst, line, n);
    dst[n] = '\0';
}

struct OverlayLock {
    OverlayLock() { pthread_mutex_lock(&g_overlay_lock); }
    ~OverlayLock() { pthread_mutex_unlock(&g_overlay_lock); }
    OverlayLock(const OverlayLock &) = delete;
    OverlayLock &operator=(const OverlayLock &) = delete;
};

ControlFile g_menu_file;
ControlText g_menu_text;

// The canvas the drawing calls below share.
struct Canvas {
    uint8_t *px;
    uint32_t pitch;
    int32_t w, h;
    void fill(int32_t x, int32_t y, int32_t fw, int32_t fh, uint32_t c) const {
        fill_rect(px, pitch, w, h, x, y, fw, fh, c);
    }
    void outline(int32_t x, int32_t y, int32_t ow, int32_t oh, int32_t t, uint32_t c) const {
        rect_outline(px, pitch, w, h, x, y, ow, oh, t, c);
    }
    void round(int32_t x, int32_t y, int32_t rw, int32_t rh, int32_t r, uint32_t c) const {
        fill_round_rect(px, pitch, w, h, x, y, rw, rh, r, c);
    }
    void text(int32_t x, int32_t y, const char *s, uint32_t c, int size) const {
        ft_text(px, pitch, w, h, x, y, s, c, size);
    }
};

void draw_tab_icon(const Canvas &cv, int tab, int32_t ix, int32_t ty, const PanelSizes &z,
                   uint32_t c) {
    const int32_t fs = z.fs, t = z.t;
    switch (tab) {
        case 0: // play triangle pointing right, widest at row ty + s
            for (int32_t k = -z.s; k <= z.S - z.s - 1; k++) {
                int32_t run = z.S - 2 * abs(k);
                if (run > 0) cv.fill(ix + t, ty + z.s + k, run, 1, c);
            }
            break;
        case 1: { // monitor with neck and foot
            int32_t sh = fs * 7 / 10;
            cv.outline(ix, ty, fs, sh, t, c);
            cv.fill(ix + z.c - t, ty + sh, 2 * t, t, c);
            cv.fill(ix + fs / 4, ty + sh + t, z.c, t, c);
            break;
        }
        case 2: { // chip with four pins and a core
            int32_t d = fs / 10, b = z.b, p = z.p;
            cv.outline(ix + d, ty + d, b, b, t, c);
            int32_t cx = ix + d + b / 2, cy = ty + d + b / 2;
            cv.fill(cx - d, ty, p, p, c);
            cv.fill(cx - d, ty + b, p, p, c);
            cv.fill(ix, cy - d, p, p, c);
            cv.fill(ix + b, cy - d, p, p, c);
            cv.fill(cx - b / 6, cy - b / 6, b / 3, b / 3, c);
            break;
        }
        default: // info: dot over a stem
            cv.fill(ix + z.c - t, ty + z.dot_off, z.dot, z.dot, c);
            cv.fill(ix + z.c - t, ty + z.dot_off + z.stem_gap, z.dot, z.stem_h, c);
            break;
    }
}

// One item row: the label from x0, the value right-aligned to end at x1, both
// shortened so that they neither overprint nor pass x1.
void draw_item(const Canvas &cv, const char *item, int32_t x0, int32_t x1, int32_t base, int32_t fs,
               bool selected) {
    char label[64], fitted_label[64], value[64];
    const char *v = menu_item_split(item, label, sizeof label);
    text_fit_pair(label, v, fs, x1 - x0, std::max(fs / 2, 6), fitted_label, value, sizeof value);
    cv.text(x0, base, fitted_label, selected ? col_on_accent : col_text, fs);
    if (value[0])
        cv.text(x1 - ft_text_w(value, fs), base, value, selected ? col_on_accent : col_accent, fs);
}

// How many item rows are drawn, and their height: all of them, unless rows
// would be too low for text of the smallest size (8); then rows just high
// enough for it, as many as fit into `avail` pixels (more would overprint).
int32_t rows_shown(int32_t count, int32_t *rh, int32_t avail) {
    count = std::min(count, (int32_t)menu_max_items);
    const int32_t least = text_height(8) + 2;
    if (*rh >= least) return count;
    *rh = least;
    return std::clamp(avail / least, 0, count);
}

// What a sidebar output shows for a menu state: 0 nothing, 1 the message
// column, 2 the open menu.
int sidebar_content(const MenuState &m) {
    return m.message ? 1 : m.open ? 2 : 0;
}

// The sidebar is drawn into the standby buffer: the menu and the message fill
// the same column, but once neither is shown the column would stay on the
// monitor. Such a buffer goes back to what it holds without a menu: cleared
// while video is on the outputs (as when the video started), else the standby
// screen. A standby screen is also painted again when the column appears, so
// that its caption moves out from under it (`now` is the current state).
void restore_sidebars(const MenuState &was, const MenuState &now) {
    const bool appears = sidebar_content(was) == 0 && sidebar_content(now) != 0;
    const bool goes = sidebar_content(was) != 0 && sidebar_content(now) == 0;
    if (!appears && !goes) return;
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        if (!o.menu_sidebar || !o.standby_map || (appears && video_showing())) continue;
        if (video_showing()) {
            for (uint32_t y = 0; y < o.mode.vdisplay; y++)
                memset(o.standby_map + (size_t)y * o.standby_pitch, 0, (size_t)o.mode.hdisplay * 4);
        } else {
            repaint_standby(&o);
        }
    }
}

// What one overlay buffer holds after its last composition: `valid` when it
// is the backdrop everywhere except inside `ext`, where the menu or message
// was drawn over it (buffer, pitch and size as then).
struct Drawn {
    const uint8_t *px;
    uint32_t pitch;
    int32_t w, h;
    PxExtent ext;
    bool valid;
    bool holds(const uint8_t *p, uint32_t pp, int32_t pw, int32_t ph) const {
        return valid && px == p && pitch == pp && w == pw && h == ph;
    }
};
Drawn g_drawn[max_outputs][2];

// The records of an output in `outs` (null for any other).
Drawn *drawn_record(const Output *o, int index) {
    for (int i = 0; i < max_outputs; i++)
        if (o == &outs[i]) return &g_drawn[i][index];
    return nullptr;
}

void forget_buffers(const Output *o) {
    for (int k = 0; k < 2; k++)
        if (Drawn *d = drawn_record(o, k)) *d = Drawn{};
}

// Whether the picture for menu state m (an open menu or a message) is the
// backdrop with only the menu or message over it, shown unflipped.
bool backdrop_only(const Output *o, const MenuState &m, const DetectionSnapshot *det, bool osd) {
    const bool more = !m.message && (det || o->telem);
    return !more && !(osd && o->is_dsi) && (!o->flip || strcmp(o->flip, "none") == 0);
}

// Records the words drawn while it lives into *ext (nothing when null).
struct PxTrack {
    explicit PxTrack(PxExtent *ext) { g_px_track = ext; }
    ~PxTrack() { g_px_track = nullptr; }
    PxTrack(const PxTrack &) = delete;
    PxTrack &operator=(const PxTrack &) = delete;
};

// Fills box `to` except where it overlaps box `keep`.
void fill_outside(const Canvas &cv, const PxExtent &to, const PxExtent &keep, uint32_t c) {
    const int32_t kx0 = std::clamp(keep.x0, to.x0, to.x1), kx1 = std::clamp(keep.x1, to.x0, to.x1);
    const int32_t ky0 = std::clamp(keep.y0, to.y0, to.y1), ky1 = std::clamp(keep.y1, to.y0, to.y1);
    if (keep.empty() || kx0 >= kx1 || ky0 >= ky1) {
        cv.fill(to.x0, to.y0, to.x1 - to.x0, to.y1 - to.y0, c);
        return;
    }
    cv.fill(to.x0, to.y0, to.x1 - to.x0, ky0 - to.y0, c); // above
    cv.fill(to.x0, ky1, to.x1 - to.x0, to.y1 - ky1, c);   // below
    cv.fill(to.x0, ky0, kx0 - to.x0, ky1 - ky0, c);       // left
    cv.fill(kx1, ky0, to.x1 - kx1, ky1 - ky0, c);         // right
}

// The backdrop with the message screen (m.message) or the menu panel over it,
// laid out in the top content_h rows. With `old`, the box in which the
// buffer holds the only thing drawn over the backdrop, the backdrop goes back
// only there: the rest of the screen is not written again. Returns the box of
// what was drawn over the backdrop now.
PxExtent draw_menu_layer(const Canvas &cv, const MenuState &m, int32_t content_h,
                         const PxExtent *old) {
    // The panel's fill covers its body whole, so the backdrop is not drawn
    // there first.
    PxExtent keep;
    if (!m.message) {
        const MenuLayout l = menu_layout(cv.w, content_h, m.count);
        if (l.pw >= 1 && l.ph > 2 * panel_radius)
            keep = {l.px, l.py + panel_radius, l.px + l.pw, l.py + l.ph - panel_radius};
    }
    const PxExtent all{0, 0, cv.w, cv.h};
    fill_outside(cv, old ? *old : all, keep, col_backdrop);
    PxExtent now;
    PxTrack track(&now);
    if (m.message)
        draw_message_screen(cv.px, cv.pitch, cv.w, content_h, m.message_text, false);
    else
        draw_menu_panel(cv.px, cv.pitch, cv.w, content_h, m);
    return now;
}

} // namespace

// ---------------------------------------------------------------------------
// The menu file

void menu_parse(const char *data, size_t len, MenuState *out) {
    MenuState m{};
    char line[128];
    ControlLines lines(data, len);
    auto next = [&] { return lines.next(line, sizeof line); };
    if (next()) {
        if (strncmp(line, "message", 7) == 0) {
            m.message = 1;
            if (next()) copy_line(m.message_text, line, sizeof m.message_text - 1);
        } else {
            m.open = strncmp(line, "open", 4) == 0;
            int32_t *numbers[3] = {&m.tab, &m.focus, &m.selected};
            bool more = true;
            for (int32_t *n : numbers) {
                more = more && next();
                if (more) *n = (int32_t)strtol(line, nullptr, 10);
            }
            if (more && next()) {
                copy_line(m.title, line, sizeof m.title - 1);
                while (m.count < menu_max_items && next())
                    copy_line(m.items[m.count++], line, sizeof m.items[0] - 1);
            }
        }
    }
    *out = m;
}

int poll_menu() {
    const char *path = env_get("VEX_KMS_MENU");
    if (!path) path = "/run/vex-fpv/menu";
    ControlPoll poll = poll_control_file(path, &g_menu_file, &g_menu_text);
    if (poll == ControlPoll::missing) {
        if (g_menu.open || g_menu.count) {
            const MenuState was = g_menu;
            g_menu = MenuState{};
            restore_sidebars(was, g_menu);
            return 1;
        }
        return 0;
    }
    if (poll != ControlPoll::changed) return 0;
    MenuState m;
    menu_parse(g_menu_text.data, g_menu_text.len, &m);
    const MenuState was = g_menu;
    g_menu = m;
    restore_sidebars(was, g_menu);
    return 1;
}

bool menu_is_open() {
    return g_menu.open != 0;
}

bool menu_message_shown() {
    return g_menu.message != 0;
}

const char *menu_item_split(const char *item, char *label, size_t label_size) {
    const char *sep = nullptr;
    for (const char *p = strstr(item, ": "); p; p = strstr(p + 1, ": ")) sep = p;
    size_t n = sep ? (size_t)(sep - item) : strlen(item);
    if (n > 63) n = 63;
    if (label_size && n > label_size - 1) n = label_size - 1;
    if (label_size) {
        memcpy(label, item, n);
        label[n] = '\0';
    }
    return sep ? sep + 2 : "";
}

// ---------------------------------------------------------------------------
// Drawing

MenuLayout menu_layout(int32_t W, int32_t H, int32_t count) {
    MenuLayout l{};
    l.large = H >= 1000;
    const PanelSizes &z = panel_sizes[l.large];
    l.fs = z.fs;
    l.m = z.m;
    l.title_px = z.title_px;
    l.tab_pitch = z.tab_pitch;
    l.tab_block = 4 * z.tab_pitch;
    l.base_adj = z.base_adj;

    l.pw = 62 * W >= 64000 ? 62 * W / 100 : W >= 640 ? 640 : W - 8;
    l.ph = 58 * H >= 38000 ? 58 * H / 100 : H >= 380 ? 380 : H - 8;
    if (l.pw >= W - 39) {
        l.px = 20;
        l.pw = W - 40;
    } else {
        l.px = (W - l.pw) >> 1;
    }
    if (l.ph >= H - 39) {
        l.py = 20;
        l.ph = H - 40;
    } else {
        l.py = (H - l.ph) >> 1;
    }

    l.tabw = 34 * l.pw / 100;
    l.dx = l.px + l.tabw;
    l.ix = l.px + l.m + 4;
    l.tab_y0 = l.py + (l.ph - l.tab_block) / 2 + 15;
    l.cx = l.dx + 1 + l.m;
    l.cw = (l.px + l.pw) - (l.dx + 1);
    l.tb = l.py + l.m + l.title_px;

    l.rh = z.rh_max;
    if (count > 0) {
        int32_t avail = (l.py + l.ph - l.m) - (l.tb + 34);
        if (avail < count * l.rh) l.rh = avail / count;
    }
    l.row0 = l.tb + 36;
    return l;
}

void draw_menu_panel(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const MenuState &m) {
    const Canvas cv{px, pitch, W, H};
    const MenuLayout l = menu_layout(W, H, m.count);
    const PanelSizes &z = panel_sizes[l.large];
    const int32_t fs = l.fs;
    const int tab = m.tab < 0 ? 0 : m.tab > 3 ? 3 : m.tab;

    cv.round(l.px, l.py, l.pw, l.ph, panel_radius, col_panel);

    for (int k = 0; k < 4; k++) {
        const int32_t ty = l.tab_y0 + k * l.tab_pitch;
        uint32_t icon = col_grey, label = col_text;
        if (k == tab) {
            const int32_t hx = l.px + l.m / 2, hy = ty - 11, hw = l.tabw - l.m, hh = fs + 22;
            if (m.focus == 0) {
                cv.round(hx, hy, hw, hh, 12, col_accent);
                icon = label = col_on_accent;
            } else {
                cv.outline(hx, hy, hw, hh, 2, col_accent);
                icon = label = col_accent;
            }
        }
        draw_tab_icon(cv, k, l.ix, ty, z, icon);
        // The name ends before the divider.
        char name[16];
        const int32_t lx = l.ix + fs + 18;
        text_ellipsize(menu_tab_names[k], fs, l.dx - 6 - lx, name, sizeof name);
        cv.text(lx, ty + z.tab_label_dy, name, label, fs);
    }

    cv.fill(l.dx, l.py + l.m, 2, l.ph - 2 * l.m, col_divider);

    char title[64];
    text_ellipsize(m.title[0] ? m.title : menu_tab_names[tab], l.title_px, l.cw - 2 * l.m, title,
                   sizeof title);
    cv.text(l.cx, l.tb, title, col_text, l.title_px);
    cv.fill(l.cx, l.tb + 12, l.cw - 2 * l.m, 2, col_divider);

    // Rows too low for the text size take smaller text.
    int32_t rh = l.rh;
    const int32_t rows = rows_shown(m.count, &rh, l.py + l.ph - l.m - l.row0);
    const int32_t ifs = rh < fs + 2 ? std::max(rh - 2, 8) : fs;
    const int32_t adj = ifs == fs ? l.base_adj : -ifs / 4;
    for (int32_t j = 0; j < rows; j++) {
        const int32_t yj = l.row0 + j * rh;
        const int32_t base = yj + (rh + ifs) / 2 + adj;
        const bool selected = m.focus != 0 && j == m.selected;
        if (selected) cv.round(l.dx + 1 + l.m / 2, yj, l.cw - l.m, rh - 4, 12, col_accent);
        draw_item(cv, m.items[j], l.cx, l.px + l.pw - l.m, base, ifs, selected);
    }
}

void draw_message_screen(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const char *text,
                         bool sidebar) {
    const Canvas cv{px, pitch, W, H};
    const MessageSizes &z = message_sizes[sidebar][H >= 1000];
    const int32_t span = sidebar ? menu_sidebar_width(W) : W;
    const int32_t mid = H / 5;
    cv.text((span - ft_text_w("Info", z.caption_px)) / 2, mid + z.caption_dy, "Info", col_grey,
            z.caption_px);
    TextLines lines;
    message_lines(text, span, sidebar, H, &lines);
    const int32_t pitch_px = lines.size * 5 / 4;
    for (int k = 0; k < lines.n; k++)
        cv.text((span - ft_text_w(lines.line[k], lines.size)) / 2, mid + z.text_dy + k * pitch_px,
                lines.line[k], col_accent, lines.size);
}

void message_lines(const char *text, int32_t span, bool sidebar, int32_t H, TextLines *out) {
    const MessageSizes &z = message_sizes[sidebar][H >= 1000];
    const int32_t margin = std::max(span / 24, 8);
    text_wrap_shrink(text, z.text_px, z.caption_px, span - 2 * margin, sidebar ? 6 : 3, out);
}

SidebarLayout menu_sidebar_layout(int32_t W, int32_t H, int32_t count) {
    SidebarLayout l{};
    l.large = H >= 1000;
    l.sw = menu_sidebar_width(W);
    l.m = l.large ? 20 : 14;
    l.fs = l.large ? 26 : 20;
    l.title_px = l.large ? 32 : 24;
    l.tab_y = l.m;
    l.tab_h = l.large ? 52 : 42;
    l.cell_w = (l.sw - 2 * l.m) / 4;
    l.tb = l.tab_y + l.tab_h + 14 + l.title_px;
    l.row0 = l.tb + 24;
    l.rh = l.large ? 48 : 38;
    if (count > 0 && H - l.m - l.row0 < count * l.rh) l.rh = std::max(H - l.m - l.row0, 0) / count;
    l.item_px = l.rh < l.fs + 2 ? std::max(l.rh - 2, 8) : l.fs;
    return l;
}

void draw_menu_sidebar(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const MenuState &m) {
    const Canvas cv{px, pitch, W, H};
    const SidebarLayout l = menu_sidebar_layout(W, H, m.count);
    const PanelSizes &z = panel_sizes[l.large];
    const int tab = m.tab < 0 ? 0 : m.tab > 3 ? 3 : m.tab;
    cv.fill(0, 0, l.sw, H, col_panel);

    // The tabs as a strip of icons; the title names the tab when the file gives none.
    for (int k = 0; k < 4; k++) {
        const int32_t cx = l.m + k * l.cell_w;
        uint32_t icon = col_grey;
        if (k == tab) {
            if (m.focus == 0) {
                cv.round(cx + 3, l.tab_y, l.cell_w - 6, l.tab_h, 10, col_accent);
                icon = col_on_accent;
            } else {
                cv.outline(cx + 3, l.tab_y, l.cell_w - 6, l.tab_h, 2, col_accent);
                icon = col_accent;
            }
        }
        draw_tab_icon(cv, k, cx + (l.cell_w - z.fs) / 2, l.tab_y + (l.tab_h - z.fs) / 2, z, icon);
    }

    char title[64];
    text_ellipsize(m.title[0] ? m.title : menu_tab_names[tab], l.title_px, l.sw - 2 * l.m, title,
                   sizeof title);
    cv.text(l.m, l.tb, title, col_text, l.title_px);
    cv.fill(l.m, l.tb + 10, l.sw - 2 * l.m, 2, col_divider);

    int32_t rh = l.rh;
    const int32_t rows = rows_shown(m.count, &rh, H - l.m - l.row0);
    const int32_t ifs = rh == l.rh ? l.item_px : std::max(rh - 2, 8);
    for (int32_t j = 0; j < rows; j++) {
        const int32_t yj = l.row0 + j * rh;
        const int32_t base = yj + (rh + ifs) / 2 - ifs / 4;
        const bool selected = m.focus != 0 && j == m.selected;
        if (selected)
            cv.round(l.m / 2, yj, l.sw - l.m, rh - 4, std::min(12, (rh - 4) / 2), col_accent);
        draw_item(cv, m.items[j], l.m, l.sw - l.m, base, ifs, selected);
    }
}

// ---------------------------------------------------------------------------
// Composition and presentation

void menu_present(Output *o, int index) {
    if (!o->menu_plane_id || !o->menu_map[index]) return;
    const uint32_t w = o->mode.hdisplay, h = o->mode.vdisplay;
    if (o->flip)
        flip_buffer_argb(o->menu_map[index], o->menu_pitch, (int32_t)w, (int32_t)h, o->flip);
    drmModeSetPlane(drm_fd, o->menu_plane_id, o->crtc_id, o->menu_fb[index], 0, 0, 0, w, h, 0, 0,
                    w << 16, h << 16);
    o->menu_front = index;
    o->menu_shown = 1;
}

void compose_output(Output *o, const MenuState &m, const DetectionSnapshot *det, bool osd) {
    const int32_t W = o->mode.hdisplay, H = o->mode.vdisplay;
    g_px_mx = g_px_my = 0;
    if (!o->menu_sidebar) {
        const int index = (o->menu_front + 1) & 1;
        uint8_t *px = o->menu_map[index];
        if (!px) return;
        const uint32_t pitch = o->menu_pitch;
        const Canvas cv{px, pitch, W, H};
        // A pop-up over an open menu or a message goes to the bottom edge
        // (above the HUD's bar) and they are laid out in the rows above it.
        int32_t content_h = H, pop_top = -1;
        if ((m.message || m.open) && osd) {
            if (const int32_t th = osd_height_on(o, W, H)) {
                const int32_t gap = std::max(H / 80, 4);
                pop_top = std::max(H - (o->telem ? hud_sizes(H).bh : 0) - gap - th, 0);
                content_h = std::max(pop_top - gap, 0);
            }
        }
        if (o->menu_front < 0) forget_buffers(o); // a fresh plane: nothing drawn yet
        // What the hidden buffer holds; its record is renewed only for a
        // picture drawn by draw_menu_layer alone.
        Drawn *drawn = drawn_record(o, index);
        const Drawn held = drawn ? *drawn : Drawn{};
        if (drawn) *drawn = Drawn{};
        if (m.message || m.open) {
            const bool plain = drawn && backdrop_only(o, m, det, osd);
            const PxExtent ext = draw_menu_layer(
                cv, m, content_h, plain && held.holds(px, pitch, W, H) ? &held.ext : nullptr);
            if (plain) *drawn = Drawn{px, pitch, W, H, ext, true};
            if (m.open && det) draw_detection_table(px, pitch, W, H, det->d, det->n);
            if (m.open && o->telem) draw_telemetry(o, px, pitch, W, H);
        } else if (det) {
            cv.fill(0, 0, W, H, 0);
            draw_detection_table(px, pitch, W, H, det->d, det->n);
            if (o->telem) draw_telemetry(o, px, pitch, W, H);
        } else if ((osd && o->is_dsi) || o->telem) {
            cv.fill(0, 0, W, H, 0);
            if (o->telem) draw_telemetry(o, px, pitch, W, H);
        } else {
            if (o->menu_plane_id && o->menu_shown) {
                drmModeSetPlane(drm_fd, o->menu_plane_id, o->crtc_id, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
                o->menu_front = -1;
                o->menu_shown = 0;
            }
            return;
        }
        draw_osd(o, px, pitch, W, H, pop_top);
        menu_present(o, index);
        return;
    }

    uint8_t *px = o->standby_map;
    if (!px) return;
    const uint32_t pitch = o->standby_pitch;
    const char *flip = o->flip ? o->flip : "";
    g_px_mx = strcmp(flip, "h") == 0 || strcmp(flip, "180") == 0;
    g_px_my = strcmp(flip, "v") == 0 || strcmp(flip, "180") == 0;
    const Canvas cv{px, pitch, W, H};
    if (m.message) {
        cv.fill(0, 0, menu_sidebar_width(W), H, col_panel);
        draw_message_screen(px, pitch, W, H, m.message_text, true);
    } else if (m.open) {
        draw_menu_sidebar(px, pitch, W, H, m);
    }
    g_px_mx = g_px_my = 0;
}

int32_t menu_sidebar_covers(const Output *o) {
    if (!o->menu_sidebar || sidebar_content(g_menu) == 0) return 0;
    return menu_sidebar_width(o->mode.hdisplay);
}

void menu_redraw_sidebar(Output *o) {
    if (!o->menu_sidebar) return;
    OverlayLock hold;
    compose_output(o, g_menu, nullptr, false);
}

void render_menu_all() {
    // The detection results are copied before the overlay lock: the two locks never nest.
    DetectionSnapshot snap;
    const bool detect = g_detect.load(std::memory_order_relaxed) != 0;
    if (detect) snap.n = detect_copy(snap.d);
    const bool osd = osd_active();
    OverlayLock hold;
    for (int i = 0; i < nout; i++) compose_output(&outs[i], g_menu, detect ? &snap : nullptr, osd);
    g_px_mx = g_px_my = 0;
}

void overlay_startup() {
    poll_menu();
    poll_osd();
    render_menu_all();
}
