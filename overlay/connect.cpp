#include "overlay/connect.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/control_file.h"
#include "core/env.h"
#include "overlay/canvas.h"
#include "overlay/text.h"

int32_t g_qr_n = 0;
uint8_t g_qr[64 * 64];
char g_conn_ssid[64];
char g_conn_push[128];
int g_show_connect = -1;

namespace {

constexpr uint32_t qr_light = 0xffffffff;
constexpr uint32_t qr_dark = 0xff000000;
constexpr uint32_t name_colour = 0xffffffff;
constexpr uint32_t push_colour = 0xff2dd4bf;

ControlFile g_conn_file;
ControlText g_conn_text;

const char *connect_path() {
    const char *p = env_get("VEX_KMS_CONNECT");
    return env_nonempty(p) ? p : "/run/vex-fpv/connect";
}

// Copies the text after a key, up to the first CR or LF, keeping at most len - 1 bytes.
void take_value(const char *v, char *out, size_t len) {
    const size_t n = std::min(strcspn(v, "\r\n"), len - 1);
    memcpy(out, v, n);
    out[n] = 0;
}

bool starts_with(const char *s, const char *prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

} // namespace

int poll_connect() {
    if (poll_control_file(connect_path(), &g_conn_file, &g_conn_text) != ControlPoll::changed)
        return 0;
    connect_parse(g_conn_text.data, g_conn_text.len);
    return 1;
}

void connect_parse(const char *data, size_t len) {
    int n = 0, rows = 0;
    g_conn_ssid[0] = 0;
    g_conn_push[0] = 0;
    char line[128];
    ControlLines lines(data, len);
    while (lines.next(line, sizeof line)) {
        if (starts_with(line, "ssid=")) {
            take_value(line + 5, g_conn_ssid, sizeof g_conn_ssid);
        } else if (starts_with(line, "push=")) {
            take_value(line + 5, g_conn_push, sizeof g_conn_push);
        } else if (starts_with(line, "qr=")) {
            const long v = strtol(line + 3, nullptr, 10);
            n = (v >= 1 && v <= 64) ? (int)v : 0;
        } else if (rows < n && (line[0] == '.' || line[0] == '#')) {
            bool ended = false; // a short row reads its missing modules as light
            for (int c = 0; c < n; c++) {
                if (!line[c]) ended = true;
                g_qr[rows * n + c] = !ended && line[c] == '#';
            }
            rows++;
        }
    }
    g_qr_n = (n >= 1 && rows == n) ? n : 0;
}

ConnectLayout connect_layout(int32_t W, int32_t H, int32_t n) {
    ConnectLayout l;
    const int32_t m = std::min(W, H);
    l.s = std::max(m * 225 / 1000 / (n + 8), 2);
    l.q = (n + 8) * l.s;
    const bool large = H >= 1000;
    l.name_px = large ? 20 : 15;
    l.push_px = large ? 30 : 22;
    const int32_t bottom = large ? 50 : 37;
    l.qx = std::max(W - l.q - std::max(6 * m / 100, l.push_px), 0);
    l.qy = std::max(H - l.q - bottom - std::max(3 * m / 100, l.push_px), 0);
    return l;
}

void connect_push_caption(const char *push, char *out, size_t len) {
    const char *slash = strrchr(push, '/');
    if (slash && slash[1])
        snprintf(out, len, "Server URL: %.*s   Stream key: %s", (int)(slash + 1 - push), push,
                 slash + 1);
    else
        snprintf(out, len, "Push stream to: %s", push);
}

int32_t connect_margin(int32_t W) {
    return std::max(W / 40, 6);
}

void connect_caption_lines(const char *push, int32_t W, int32_t push_px, TextLines *out) {
    *out = TextLines{};
    const int32_t avail = W - 2 * connect_margin(W);
    const int min_px = std::min(push_px, 12);
    char caption[192];
    connect_push_caption(push, caption, sizeof caption);
    // The usual single line when it fits.
    if (text_wrap(caption, push_px, avail, 1, out)) return;
    // Else one line for the server and one for the key (when the target has
    // both), at the largest size where each fits on its line; at the smallest
    // size lines too long are broken, so that the whole key can be read.
    char parts[2][192];
    int n = 1;
    const char *slash = strrchr(push, '/');
    if (slash && slash[1]) {
        snprintf(parts[0], sizeof parts[0], "Server URL: %.*s", (int)(slash + 1 - push), push);
        snprintf(parts[1], sizeof parts[1], "Stream key: %s", slash + 1);
        n = 2;
    } else {
        snprintf(parts[0], sizeof parts[0], "%s", caption);
    }
    for (int32_t size = push_px; size >= min_px; size -= 2) {
        *out = TextLines{};
        bool whole = true;
        for (int k = 0; k < n; k++) whole = text_wrap(parts[k], size, avail, 1, out) && whole;
        if (whole) return;
    }
    *out = TextLines{};
    for (int k = 0; k < n; k++)
        text_wrap(parts[k], min_px, avail, TextLines::max - (n - 1 - k) - out->n, out);
}

void draw_connect(uint8_t *map, uint32_t pitch, int32_t W, int32_t H, int32_t left) {
    if (g_show_connect < 0) {
        const char *v = env_get("VEX_KMS_STANDBY_QR");
        g_show_connect = (v && v[0] == '0') ? 0 : 1;
        if (!g_show_connect)
            fputs("vex-kms: standby QR/captions hidden (VEX_KMS_STANDBY_QR=0)\n", stderr);
    }
    if (!g_show_connect) return;
    const int32_t n = g_qr_n;
    if (n < 1 || !map) return;

    // Drawn into standby buffers only, whose alpha the display ignores.
    struct Opaque {
        Opaque() { g_px_opaque = 1; }
        ~Opaque() { g_px_opaque = 0; }
        Opaque(const Opaque &) = delete;
        Opaque &operator=(const Opaque &) = delete;
    } opaque;
    const ConnectLayout l = connect_layout(W, H, n);
    fill_rect(map, pitch, W, H, l.qx, l.qy, l.q, l.q, qr_light);
    const int32_t ox = l.qx + 4 * l.s, oy = l.qy + 4 * l.s;
    for (int32_t r = 0; r < n; r++)
        for (int32_t c = 0; c < n; c++)
            if (g_qr[r * n + c])
                fill_rect(map, pitch, W, H, ox + c * l.s, oy + r * l.s, l.s, l.s, qr_dark);

    const int32_t margin = connect_margin(W);
    if (g_conn_ssid[0]) {
        // Centred under the code, moved in from the edges (and shortened
        // when wider than the screen).
        TextLines name{};
        text_wrap_shrink(g_conn_ssid, l.name_px, std::min(l.name_px, 12), W - 2 * margin, 1, &name);
        const int32_t w = ft_text_w(name.line[0], name.size);
        const int32_t x = std::max(std::min(l.qx + l.q / 2 - w / 2, W - margin - w), margin);
        ft_text(map, pitch, W, H, x, l.qy + l.q + 2 * l.name_px, name.line[0], name_colour,
                name.size);
    }
    if (g_conn_push[0]) {
        // The last line sits where the single caption line goes; others above
        // it. Centred in the columns the sidebar leaves, unless that is too
        // narrow a strip to read a caption in.
        if (left < 0 || W - left < W / 2) left = 0;
        TextLines lines;
        connect_caption_lines(g_conn_push, W - left, l.push_px, &lines);
        const int32_t step = lines.size * 5 / 4;
        for (int k = 0; k < lines.n; k++) {
            const int32_t x = left + (W - left - ft_text_w(lines.line[k], lines.size)) / 2;
            ft_text(map, pitch, W, H, x, l.qy - l.push_px - (lines.n - 1 - k) * step, lines.line[k],
                    push_colour, lines.size);
        }
    }
}
