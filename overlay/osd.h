#pragma once
// OSD pop-ups: a short notice (information, warning or error) that another
// process puts on screen by writing the OSD file ("/run/vex-fpv/osd", or the
// path in VEX_KMS_OSD): line 1 the level word, line 2 the text. poll_osd
// re-reads it when its modification time changes; there is no expiry, the
// pop-up stays until the text is emptied or the file removed.
//
// The notice is rendered once into a cached tile (a rounded card with a
// coloured accent bar, the level caption and the word-wrapped text) sized for
// the target picture, and blended into a target: the overlay of DSI outputs
// (draw_osd, from the composition) and the read-back picture of the SPI copy.
//
// Threads and locks: g_osd is written only by poll_osd on the main thread and
// read there. The tile cache is guarded by g_pu_lock, held by pu_blit around
// rendering and blending; the composition calls it with g_overlay_lock held
// (the one permitted nesting), the SPI copy in the GPU pass without it. Tile
// rendering draws text with the process-wide face and mirror flags: both
// callers run on the main thread, so no two threads draw text at once. Text
// drawn on any other thread (the SPI status strip) must be kept from running
// while the main thread draws.
#include <cstdint>
#include <cstdio>
#include <pthread.h>

// The OSD file's contents.
struct OsdState {
    int32_t active; // 1 when text is non-empty
    int32_t level;  // 0 information, 1 warning, 2 error
    char text[96];  // at most 95 characters
};

// Main thread only: written by poll_osd, read by draw_osd and the SPI copy.
extern OsdState g_osd;
// Guards the pop-up tile cache (key, size, pixels).
extern pthread_mutex_t g_pu_lock;

// Reads an OSD file's contents (len bytes, any bytes) into a fresh state
// (lines of at most 127 bytes; a longer line is read as several).
void osd_parse(const char *data, size_t len, OsdState *out);

// A picture the pop-up is blended into.
struct PuTarget {
    uint8_t *px;
    uint32_t pitch; // bytes from one row to the next
    int32_t w, h;
    int32_t rgba;      // 0: ARGB8888 words (red in byte 2); 1: bytes R, G, B, A
    int32_t flip_rows; // 1: row 0 is the bottom (a GL read-back)
    int32_t top = -1;  // row of the tile's top edge; -1: the usual place, H/6 + 4
};

// Renders the tile for this target size, level and the current OSD text when
// the cache holds another one, and blends it into the target; holds g_pu_lock.
// Nothing happens for an empty text or a target without pixels or size.
void pu_blit(const PuTarget &t, int level);

// The height of the tile pu_blit would blend into a W x H target with the
// current OSD text and level (rendering it now when the cache holds another);
// 0 when there is no pop-up. Holds g_pu_lock.
int32_t pu_tile_height(int32_t W, int32_t H);

// Sizes of the pop-up on a target of height H (the text size fs and what
// follows from it).
struct PuLayout {
    int32_t fs;        // text size
    int32_t cap_px;    // caption size
    int32_t text_x;    // x of the caption and the lines
    int32_t pitch;     // line pitch
    int32_t line_h;    // height per line
    int32_t cap_base;  // caption baseline
    int32_t top;       // first text baseline - fs
    int32_t bar_x;     // accent bar x
    int32_t bar_w;     // accent bar width
    int32_t bar_r;     // accent bar radius
    int32_t pad;       // side padding added to the width
    int32_t radius;    // card corner radius
    int32_t max_lines; // 3 below 400 rows, else 2
};
PuLayout pu_layout(int32_t H);

// The tile's widest allowed width on a target W pixels wide.
int32_t pu_max_width(int32_t W);

// The text broken into at most max_lines lines no wider than L at size fs;
// the last allowed line ends in "..." when text remains after it.
struct PuLines {
    int32_t n;
    char line[3][192];
};
void pu_wrap(const char *text, int fs, int32_t L, int max_lines, PuLines *out);

// Tile size (width 0 until the first render) and pixels (pitch = width * 4);
// guarded by g_pu_lock.
constexpr int32_t pu_tile_max_w = 1280, pu_tile_max_h = 220;
extern int32_t g_pu_w, g_pu_h;
extern uint32_t g_pu_tile[pu_tile_max_w * pu_tile_max_h];
