#pragma once
// Overlay text: a TrueType face through FreeType when one could be opened at
// start-up, else the built-in 8x8 bitmap font scaled 2x or 3x.
//
// Each byte of a text is one character code (no UTF-8 decoding). The face, its
// current pixel size and the canvas mirror flags are shared by every caller, so
// text drawing and measuring must not run on two threads at once.
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

// One anti-aliased text pixel: colour (its alpha byte unused) laid over the
// non-premultiplied pixel dst with coverage a (0..255), source-over.
uint32_t blend_coverage(uint32_t dst, uint32_t colour, uint32_t a);
