#pragma once
// The connect screen: a QR code with the Wi-Fi network name under it and the
// stream push target above it, drawn onto the standby picture. Another process
// writes them into the connect file ("/run/vex-fpv/connect", or the path in
// VEX_KMS_CONNECT), the QR code already encoded as rows of '.' and '#'.
#include <cstddef>
#include <cstdint>

struct TextLines;

// Connect state, written only by poll_connect.
extern int32_t g_qr_n;        // modules per side, 1..64; 0 = no QR code
extern uint8_t g_qr[64 * 64]; // modules row-major, row stride g_qr_n: 1 dark, 0 light
extern char g_conn_ssid[64];  // network name
extern char g_conn_push[128]; // push target
// Visibility: -1 until the first draw settles it from VEX_KMS_STANDBY_QR, then 0 or 1.
extern int g_show_connect;

// Re-reads the connect file when its modification time changed; 1 when it was
// read (the caller repaints the standby screens), else 0. A missing file keeps
// the last state.
int poll_connect();
// Reads a connect file's contents (len bytes, any bytes) into the connect state.
void connect_parse(const char *data, size_t len);

// Draws the QR code bottom-right with its captions into a W x H standby
// buffer (its alpha not shown: text blends as onto opaque pixels), or nothing
// when there is no valid code or the captions are switched off. Columns
// 0..left-1 are covered by the menu sidebar: the push caption is centred in,
// and fitted to, the columns right of them (the whole width when they leave
// less than half of it).
void draw_connect(uint8_t *map, uint32_t pitch, int32_t W, int32_t H, int32_t left = 0);

// Where draw_connect puts the code on a W x H canvas for an N-module matrix.
struct ConnectLayout {
    int32_t s;                // module size in pixels
    int32_t q;                // side of the code with its 4-module quiet zone
    int32_t qx, qy;           // top-left corner of the quiet zone
    int32_t name_px, push_px; // caption text sizes
};
ConnectLayout connect_layout(int32_t W, int32_t H, int32_t n);

// The caption line for a push target: "Server URL: ...   Stream key: ..." when
// the target has a '/' followed by something, else "Push stream to: ...".
void connect_push_caption(const char *push, char *out, size_t len);

// The caption lines drawn on a W-wide canvas for a push target, at most
// push_px high: that single line when it fits within the side margins; else
// "Server URL: ..." and "Stream key: ..." on lines of their own at the largest
// size (down to 12) where each fits, broken into more lines at 12 when one
// still does not. Nothing of the target is left out while it fits in
// TextLines::max lines.
void connect_caption_lines(const char *push, int32_t W, int32_t push_px, TextLines *out);
// Pixels kept free at each side of a W-wide canvas.
int32_t connect_margin(int32_t W);
