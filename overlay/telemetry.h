#pragma once
// The telemetry HUD: flight and link values that another process writes as
// "key = value" lines into the telemetry file ("/run/vex-fpv/telemetry", or
// the path in VEX_KMS_TELEMETRY), kept in g_telem and drawn on the overlay of
// every output with `telem` set: a status bar along the bottom edge and, when
// flight values are known, one or two rows of chips along the top edge.
//
// Also the board temperature and uptime readers the HUD shares with the SPI
// header strip, and the two battery icons.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct Output;

// The values of the telemetry file last read. Negative numbers mean unknown
// (tmp: below -99). Written only by poll_telemetry on the main thread; the SPI
// header thread reads it without a lock.
struct Telemetry {
    int32_t valid; // 1 once a file was read; 0 before that and after it disappeared
    int32_t gog;   // goggles battery, percent
    int32_t drn;   // drone battery, percent
    int32_t sig;   // link signal in bars (of five)
    int32_t vtx;   // stored, not drawn
    int32_t sat;   // satellites in use
    int32_t tmp;   // temperature from the writer, degrees C
    int32_t rec;   // non-zero while recording
    int32_t recs;  // seconds recorded
    int32_t vpn;   // non-zero while the VPN is up
    char net[24];  // network label
    float yaw, alt, spd, vs, pit, rol;
    int32_t has_yaw, has_alt, has_spd, has_vs, has_pit, has_rol;
};
extern Telemetry g_telem;

// Re-reads the telemetry file when its modification time changed; 1 when
// g_telem changed (also when the file disappeared), else 0.
int poll_telemetry();
// Reads the lines of a telemetry file's contents (len bytes, any bytes) into a
// fresh record (defaults for every key not given; valid is left 0).
void telemetry_parse(const char *data, size_t len, Telemetry *out);

// Board temperature from thermal zone 0 in whole degrees C, or -1000.
int board_temp_c();
// "UP 3:25" or "UP 1d01:01" from /proc/uptime into a 24-byte buffer, or "".
void fmt_uptime(char *buf);
// The same text for an uptime of s seconds.
void fmt_uptime_secs(char *buf, long s);
// "REC 0:59" or "REC 1:02:05" for recs seconds recorded (negative: 0).
void fmt_rec(char *buf, size_t len, int32_t recs);
// Colour of a battery percentage: dim grey unknown, red to 15, amber to 30, else green.
uint32_t battery_colour(int32_t pct);
// The LUT name shown in the status bar: the file name of path, at most 23
// characters, cut at its first ".cube"; into a 24-byte buffer.
void lut_display_name(const char *path, char *out);

// Sizes of the HUD for a canvas of height H (large from 720 lines).
struct HudSizes {
    int32_t bh;       // bottom bar height
    int32_t fs;       // bottom text size, gap between items, icon height
    int32_t base;     // bottom text baseline below the bar top
    int32_t d;        // recording dot diameter
    int32_t cs;       // chip text size
    int32_t row_h;    // chip row height
    int32_t row_base; // first chip row's baseline
    int32_t icon_w;   // battery icon width
};
HudSizes hud_sizes(int32_t H);

// What the bottom status bar shows.
struct HudStatus {
    int32_t rec, recs; // recording state and seconds
    char lut[24];      // LUT name; "" when no LUT is applied
    char net[24];      // network label
    int32_t vpn;
    char uptime[24];   // "" when unknown
    const char *codec; // "H.264" or "H.265"
    char mode[24];     // "1080i50"
    int32_t temp;      // degrees C; below -99 = not shown
};
// Gathers the status for output o from the telemetry record, the LUT, the
// stream type, the outputs' modes, the board temperature and the uptime.
void hud_status(const Output *o, HudStatus *s);

// The bottom bar's texts, placed: the left group (recording time after its
// dot, "LUT" and the LUT name, network, "VPN") from x = 8 with fs between
// items, the right group (temperature, mode, codec, uptime) ending at W - 8
// with 10 between items. When the groups would come closer than fs, the LUT
// name and then the network label are shortened with "..." (to 4 characters
// at the least), then items are left out in this order: uptime, mode, VPN,
// LUT, codec, temperature; then the network label is shortened further, and
// left out last. The recording time always stays.
struct HudText {
    int32_t x;
    uint32_t colour;
    char text[32];
};
struct HudBarLayout {
    int32_t dot; // 1: the recording dot at x = 8
    int n;
    HudText item[9];
};
void hud_status_layout(const HudStatus &s, int32_t W, const HudSizes &z, HudBarLayout *out);

// One chip of the top bar.
enum class ChipKind { text, goggles, drone, bars };
struct HudChip {
    ChipKind kind;
    char text[16];
    uint32_t colour;
    int32_t level; // signal bars only
};
constexpr int hud_chip_count = 10;
// The ten chips for t, in drawing order; 0 when the bar is not drawn (no file,
// or nothing known), else hud_chip_count.
int hud_build_chips(const Telemetry &t, HudChip *chips);
// Width of a chip at chip text size cs.
int32_t hud_chip_width(const HudChip &c, int32_t cs);
// How many of the n chips of width w[] go into the first row of a W-wide
// canvas with `gap` pixels between chips (at least one; the rest form the
// second row).
int hud_first_row(const int32_t *w, int n, int32_t W, int32_t gap);

// The two parts of the HUD, each over a W x H canvas.
void draw_status_bar(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const HudStatus &s);
// Returns the number of chip rows drawn (0, 1 or 2).
int draw_chip_bar(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const Telemetry &t);

// The battery icons, also drawn by the SPI header strip.
void draw_goggles_icon(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                       int32_t w, int32_t h, uint32_t colour);
void draw_drone_icon(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                     int32_t w, int32_t h, uint32_t colour);
