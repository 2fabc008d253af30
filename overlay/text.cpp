#include "overlay/text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "core/env.h"
#include "core/log.h"
#include "overlay/canvas.h"
#include "overlay/font8x8.h"

FT_Library g_ft = nullptr;
FT_Face g_face = nullptr;
int g_font_px = 0;

namespace {

constexpr const char *builtin_fonts[] = {
    "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
    "/usr/share/fonts/truetype/noto/NotoSans-Bold.ttf",
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/droid/DroidSans-Bold.ttf",
};

bool try_face(const char *path) {
    if (FT_New_Face(g_ft, path, 0, &g_face) != 0) {
        g_face = nullptr;
        return false;
    }
    vlog("menu font %s", path);
    return true;
}

// Bitmap-font scale for a requested text size.
int bitmap_scale(int size) {
    return size >= 24 ? 3 : 2;
}

void set_face_size(int size) {
    if (size == g_font_px) return;
    FT_Set_Pixel_Sizes(g_face, 0, (FT_UInt)size);
    g_font_px = size;
}

int bitmap_text(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
                const char *text, uint32_t colour, int size) {
    const int s = bitmap_scale(size);
    const int32_t top = y - size;
    int32_t pen = x;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        const unsigned code = (*p >= 0x20 && *p <= 0x7F) ? *p : '?';
        const uint8_t *glyph = FONT8X8[code - 0x20];
        for (int row = 0; row < 8; row++)
            for (int col = 0; col < 8; col++)
                if (glyph[row] & (0x80 >> col))
                    fill_rect(px, pitch, cw, ch, pen + col * s, top + row * s, s, s, colour);
        pen += 8 * s;
    }
    return pen - x;
}

// Lays one rendered glyph bitmap onto the canvas with its top-left corner at (gx, gy).
void blit_glyph(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t gx, int32_t gy,
                const FT_Bitmap &bm, uint32_t colour) {
    const bool mono = bm.pixel_mode == FT_PIXEL_MODE_MONO;
    if (!mono && bm.pixel_mode != FT_PIXEL_MODE_GRAY) return;
    for (unsigned row = 0; row < bm.rows; row++) {
        const unsigned char *src = bm.buffer + (ptrdiff_t)row * bm.pitch;
        for (unsigned col = 0; col < bm.width; col++) {
            uint32_t a;
            if (mono)
                a = (src[col >> 3] & (0x80 >> (col & 7))) ? 255 : 0;
            else
                a = src[col];
            if (a == 0) continue;
            uint32_t *d = canvas_px(px, pitch, cw, ch, gx + (int32_t)col, gy + (int32_t)row);
            if (d) *d = blend_coverage(g_px_opaque ? *d | 0xff000000u : *d, colour, a);
        }
    }
}

// Rendered glyphs of the face, by pixel size and character: the menu and the
// HUD draw the same few strings over and over. Drawn only from one thread at a
// time, like the face itself.
struct CachedGlyph {
    bool used;
    int size;
    unsigned char code;
    bool rendered; // bitmap, left and top are valid (else only the advance)
    int32_t left, top, advance;
    FT_Bitmap bitmap; // buffer owned by the cache
};
// An open-addressed table. Every byte value at every size the overlays use
// does not fit: once it holds glyph_cache_fill glyphs it is emptied and fills
// again with what is drawn next, so a glyph is always found or loaded.
constexpr int glyph_cache_size = 1024;
constexpr int glyph_cache_fill = 768;
CachedGlyph g_glyphs[glyph_cache_size];
int g_glyph_count;

void glyph_cache_clear() {
    for (CachedGlyph &e : g_glyphs) {
        if (e.rendered) free(e.bitmap.buffer);
        e = CachedGlyph{};
    }
    g_glyph_count = 0;
}

// The cache entry for one glyph, loaded (and rendered when `render`) on a
// miss. Null when FreeType cannot load it or memory runs out. The entry stays
// valid until the next call.
const CachedGlyph *glyph(int size, unsigned char code, bool render) {
    const unsigned home = ((unsigned)size * 263u + code) % glyph_cache_size;
    unsigned h = home;
    while (g_glyphs[h].used && (g_glyphs[h].size != size || g_glyphs[h].code != code))
        h = (h + 1) % glyph_cache_size; // ends: the table is never full
    CachedGlyph &e = g_glyphs[h];
    if (e.used && (e.rendered || !render)) return &e;
    set_face_size(size);
    if (FT_Load_Char(g_face, code, render ? FT_LOAD_RENDER : FT_LOAD_DEFAULT) != 0) return nullptr;
    const FT_GlyphSlot g = g_face->glyph;
    unsigned char *copy = nullptr;
    if (render) {
        const FT_Bitmap &bm = g->bitmap;
        const size_t bytes = (size_t)(bm.pitch < 0 ? -bm.pitch : bm.pitch) * bm.rows;
        copy = (unsigned char *)malloc(bytes ? bytes : 1);
        if (!copy) return nullptr;
        if (bytes) memcpy(copy, bm.buffer, bytes);
    }
    CachedGlyph *slot = &e;
    if (!e.used) {
        if (g_glyph_count >= glyph_cache_fill) {
            glyph_cache_clear();
            slot = &g_glyphs[home];
        }
        g_glyph_count++;
    }
    *slot = CachedGlyph{true, size, code, render, 0, 0, (int32_t)(g->advance.x >> 6), {}};
    if (render) {
        slot->bitmap = g->bitmap;
        slot->bitmap.buffer = copy;
        slot->left = g->bitmap_left;
        slot->top = g->bitmap_top;
    }
    return slot;
}

} // namespace

void font_init() {
    if (FT_Init_FreeType(&g_ft) != 0) {
        g_ft = nullptr;
        return;
    }
    const char *env = env_get("VEX_KMS_FONT");
    if (env_nonempty(env) && try_face(env)) return;
    for (const char *path : builtin_fonts)
        if (try_face(path)) return;
    vlog("no TTF font found \u2192 8x8 fallback");
}

uint32_t blend_coverage(uint32_t dst, uint32_t colour, uint32_t a) {
    const uint32_t ad = dst >> 24;
    const uint32_t ao = ad * (255 - a) / 255 + a;
    if (ao == 0) return 0;
    uint32_t out = ao << 24;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const uint32_t cd = (dst >> shift) & 0xFF, cs = (colour >> shift) & 0xFF;
        const uint32_t co = (cd * ad * (255 - a) / 255 + cs * a) / ao;
        out |= co << shift;
    }
    return out;
}

int ft_text(uint8_t *px, uint32_t pitch, int32_t cw, int32_t ch, int32_t x, int32_t y,
            const char *text, uint32_t colour, int size) {
    if (!text) return 0;
    if (!g_face) return bitmap_text(px, pitch, cw, ch, x, y, text, colour, size);
    int32_t pen = x;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        const CachedGlyph *g = glyph(size, *p, px != nullptr);
        if (!g) continue;
        if (px) blit_glyph(px, pitch, cw, ch, pen + g->left, y - g->top, g->bitmap, colour);
        pen += g->advance;
    }
    return pen - x;
}

int text_height(int size) {
    return g_face ? size : 8 * bitmap_scale(size);
}

int ft_text_w(const char *text, int size) {
    if (!text) return 0;
    if (!g_face) return 8 * bitmap_scale(size) * (int)strlen(text);
    int w = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++)
        if (const CachedGlyph *g = glyph(size, *p, false)) w += g->advance;
    return w;
}

// ---------------------------------------------------------------------------
// Fitting text into a width

namespace {

int32_t char_w(char c, int size) {
    const char one[2] = {c, '\0'};
    return c ? ft_text_w(one, size) : 0;
}

void copy_bytes(char *out, size_t out_size, const char *text, size_t n) {
    if (!out_size) return;
    n = std::min(n, out_size - 1);
    memcpy(out, text, n);
    out[n] = '\0';
}

} // namespace

size_t text_fit_len(const char *text, size_t len, int size, int32_t max_w) {
    int32_t w = 0;
    size_t n = 0;
    while (n < len && text[n]) {
        w += char_w(text[n], size);
        if (w > max_w) break;
        n++;
    }
    return n;
}

int32_t text_ellipsize(const char *text, int size, int32_t max_w, char *out, size_t out_size) {
    if (!out_size) return 0;
    const size_t len = strlen(text);
    if (ft_text_w(text, size) <= max_w && len < out_size) {
        memcpy(out, text, len + 1);
        return ft_text_w(out, size);
    }
    const int32_t dots = ft_text_w("...", size);
    size_t n = max_w > dots ? text_fit_len(text, len, size, max_w - dots) : 0;
    n = std::min(n, out_size > 4 ? out_size - 4 : 0);
    while (n > 0 && text[n - 1] == ' ') n--;
    copy_bytes(out, out_size, text, n);
    const size_t ndots = n ? 3 : text_fit_len("...", 3, size, max_w);
    const size_t at = strlen(out), room = std::min(ndots, out_size - 1 - at);
    memcpy(out + at, "...", room);
    out[at + room] = '\0';
    return ft_text_w(out, size);
}

void text_fit_pair(const char *label, const char *value, int size, int32_t max_w, int32_t gap,
                   char *label_out, char *value_out, size_t out_size) {
    const int32_t lw = ft_text_w(label, size), vw = ft_text_w(value, size);
    if (!value[0]) {
        text_ellipsize(label, size, max_w, label_out, out_size);
        copy_bytes(value_out, out_size, "", 0);
        return;
    }
    if (lw + gap + vw <= max_w) {
        copy_bytes(label_out, out_size, label, strlen(label));
        copy_bytes(value_out, out_size, value, strlen(value));
        return;
    }
    const int32_t room = std::max(max_w - gap, 0);
    const int32_t value_room = std::min(vw, std::max(room - lw, room / 2));
    const int32_t got = text_ellipsize(value, size, value_room, value_out, out_size);
    text_ellipsize(label, size, room - got, label_out, out_size);
}

bool text_wrap(const char *text, int size, int32_t max_w, int max_lines, TextLines *out) {
    const int limit = std::min(out->n + std::max(max_lines, 0), TextLines::max);
    out->size = size;
    const size_t len = strlen(text), cap = sizeof out->line[0] - 1;
    size_t pos = 0;
    char *last = nullptr;
    while (out->n < limit) {
        while (pos < len && text[pos] == ' ') pos++;
        if (pos >= len) break;
        int32_t w = 0;
        size_t n = 0, brk = 0;
        while (pos + n < len && n < cap) {
            const int32_t cw = char_w(text[pos + n], size);
            if (w + cw > max_w) break;
            w += cw;
            n++;
            if (text[pos + n - 1] == ' ' || text[pos + n - 1] == '/') brk = n;
        }
        size_t take = n;
        if (n == 0)
            take = 1; // a character wider than the line stands alone
        else if (pos + n < len && text[pos + n] != ' ' && brk)
            take = brk;
        last = out->line[out->n++];
        copy_bytes(last, cap + 1, text + pos, take);
        for (size_t k = strlen(last); k > 0 && last[k - 1] == ' '; k--) last[k - 1] = '\0';
        pos += take;
    }
    while (pos < len && text[pos] == ' ') pos++;
    if (pos >= len) return true;
    if (last) { // what remains is left out: the last line says so
        const int32_t dots = ft_text_w("...", size);
        size_t n = text_fit_len(last, strlen(last), size, std::max(max_w - dots, 0));
        n = std::min(n, cap - 3);
        while (n > 0 && last[n - 1] == ' ') n--;
        memcpy(last + n, "...", 4);
    }
    return false;
}

void text_wrap_shrink(const char *text, int size, int min_size, int32_t max_w, int max_lines,
                      TextLines *out) {
    for (int s = size; s > min_size; s -= 2) {
        TextLines t{};
        if (text_wrap(text, s, max_w, max_lines, &t)) {
            *out = t;
            return;
        }
    }
    *out = TextLines{};
    text_wrap(text, min_size, max_w, max_lines, out);
}
