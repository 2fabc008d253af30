#pragma once
// Overlay text: a TrueType face through FreeType when one could be opened at
// start-up, else the built-in 8x8 bitmap font scaled 2x or 3x.
//
// Each byte of a text is one character code (no UTF-8 decoding). The face, its
// current pixel size and the canvas mirror flags are shared by every caller, so
// text drawing and measuring must not run on two threads at once.
#include <cstddef>
#include <cstdint>

struct FT_LibraryRec_;
struct FT_FaceRec_;

// The FreeType library handle, and the face used for all text (null: no
// TrueType font, every text call uses the bitmap font).
extern FT_LibraryRec_ *g_ft;
extern FT_FaceRec_ *g_face;
// The pixel size last set on the face (0 before the first text).
extern int g_font_px;

// Picks the overlay font once at start-up: VEX_KMS_FONT when non-empty, then
// the built-in list of system fonts; the first face that opens is kept for the
// life of the process.
void font_init();

// Draws text with its pen starting at x and its baseline at y, in colour at
// the given pixel size; returns the width the pen advanced, in pixels.
int ft_text(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
            const char *text, uint32_t colour, int size);
// The width ft_text would advance for the same text and size; draws nothing.
int ft_text_w(const char *text, int size);
// The height text of this size takes: the size itself with the TrueType face,
// the bitmap font's whole cell (16 or 24 pixels) without it.
int text_height(int size);

// One anti-aliased text pixel: colour (its alpha byte unused) laid over the
// non-premultiplied pixel dst with coverage a (0..255), source-over.
uint32_t blend_coverage(uint32_t dst, uint32_t colour, uint32_t a);

// ---------------------------------------------------------------------------
// Fitting text into a width. These measure with ft_text_w (the same face and
// sizes as drawing) and never draw; widths add up character by character, as
// no kerning is applied.

// The number of leading bytes of text (at most len) that fit within max_w
// pixels at size.
size_t text_fit_len(const char *text, size_t len, int size, int32_t max_w);

// Copies text into out[out_size]: whole when it is at most max_w wide at size,
// else its longest prefix (trailing blanks dropped) that leaves room for "...",
// then "..." (only as many dots as fit when max_w is tiny). Returns the width
// of what was written.
int32_t text_ellipsize(const char *text, int size, int32_t max_w, char *out, size_t out_size);

// A label and a value on one row max_w wide, the value right-aligned: both
// whole when they fit with `gap` pixels between them; otherwise the value
// keeps its width up to half the row (more when the label needs less) and the
// label takes the rest, each shortened with "...". Writes both (out_size
// bytes each).
void text_fit_pair(const char *label, const char *value, int size, int32_t max_w, int32_t gap,
                   char *label_out, char *value_out, size_t out_size);

// Text broken into lines.
struct TextLines {
    static constexpr int max = 8;
    int n;    // lines used
    int size; // the text size they were fitted at
    char line[max][160];
};

// Breaks text into at most max_lines more lines (TextLines::max in all), each at
// most max_w wide at size: after the last blank or '/' that fits (blanks at a
// break are dropped), or, in a word wider than the line, after the last
// character that fits (at least one a line). When text remains after the last
// allowed line, that line ends in "...". Returns true when the whole text was
// placed. The lines are appended to those already in *out.
bool text_wrap(const char *text, int size, int32_t max_w, int max_lines, TextLines *out);

// text_wrap at the largest size from `size` down to `min_size` (in steps of 2)
// that places the whole text in max_lines lines; at min_size whatever fits,
// ending in "...".
void text_wrap_shrink(const char *text, int size, int min_size, int32_t max_w, int max_lines,
                      TextLines *out);
