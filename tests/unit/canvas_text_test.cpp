#include "overlay/canvas.h"
#include "overlay/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/unit/png_io.h"

#include <ft2build.h>
#include FT_FREETYPE_H

namespace {

constexpr uint32_t red = 0xffff0000, green = 0xff00ff00, pad = 0xdeadbeef;

// A canvas whose rows carry 3 words of padding, to catch writes past the width.
struct Canvas {
    int w, h;
    uint32_t pitch;
    std::vector<uint32_t> words;
    Canvas(int cw, int ch, uint32_t fill = 0)
        : w(cw), h(ch), pitch((uint32_t)(cw + 3) * 4), words((size_t)(cw + 3) * ch, fill) {
        for (int y = 0; y < h; y++) std::fill_n(&words[(size_t)y * (w + 3) + w], 3, pad);
    }
    uint8_t *px() { return (uint8_t *)words.data(); }
    uint32_t at(int x, int y) const { return words[(size_t)y * (w + 3) + x]; }
    bool padding_intact() const { return count(pad) == 3 * h; }
    int count(uint32_t c) const { return (int)std::count(words.begin(), words.end(), c); }
    std::string rows(uint32_t c) const {
        std::string s;
        for (int i = 0; i < h * (w + 1); i++)
            s += i % (w + 1) == w ? '\n' : at(i % (w + 1), i / (w + 1)) == c ? '#' : '.';
        return s;
    }
};

void fill(Canvas &c, int x, int y, int w, int h, uint32_t colour = red) {
    fill_rect(c.px(), c.pitch, c.w, c.h, x, y, w, h, colour);
}

} // namespace

TEST(Canvas, FillRectClipsEveryEdgeThenMirrors) {
    Canvas c(10, 8), d(10, 8), m(10, 4);
    fill(c, -3, -2, 5, 4);           // top-left overhang: 2 x 2 on canvas
    fill(c, 7, 6, 10, 10, green);    // bottom-right overhang: 3 x 2
    fill(c, 0, 0, 1, 1, 0x00123456); // the colour word stored as is, alpha included
    EXPECT_EQ((std::vector<uint32_t>{(uint32_t)c.count(red), (uint32_t)c.count(green), c.at(0, 0),
                                     c.at(1, 1), c.at(9, 7)}),
              (std::vector<uint32_t>{3, 6, 0x00123456, red, green}));
    // Off every side, empty, and past the 32-bit range.
    // clang-format off
    const int off[][4] = {{10, 0, 5, 5}, {-5, 0, 5, 5}, {0, 8, 5, 5}, {0, -3, 5, 3}, {0, 0, -4, 5},
                          {INT_MAX - 1, 0, 10, 1}, {0, INT_MAX - 1, 1, INT_MAX}};
    // clang-format on
    for (const auto &r : off) fill(d, r[0], r[1], r[2], r[3]);
    EXPECT_EQ(d.count(0), 80);
    fill(d, INT_MIN / 2, INT_MIN / 2, INT_MAX, INT_MAX); // covers everything
    EXPECT_EQ(d.count(red), 80);
    fill_rect(nullptr, 0, 10, 8, 0, 0, 5, 5, red); // no pixels: nothing happens
    // Mirror flags move each pixel after clipping, round rectangles alike.
    g_px_mx = 1;
    fill(m, -1, 0, 2, 1);
    g_px_mx = 0, g_px_my = 1;
    fill(m, 2, 0, 3, 1);
    g_px_mx = 1;
    fill_round_rect(m.px(), m.pitch, m.w, m.h, 0, 1, 1, 1, 1, red);
    g_px_mx = g_px_my = 0;
    EXPECT_EQ(m.rows(red), ".........#\n..........\n.........#\n..###.....\n");
    EXPECT_TRUE(c.padding_intact() && d.padding_intact() && m.padding_intact());
}

TEST(Canvas, OutlineAndRoundRect) {
    Canvas c(8, 7), e(5, 3), f(6, 4);
    rect_outline(c.px(), c.pitch, c.w, c.h, 1, 1, 6, 5, 1, red);
    EXPECT_EQ(c.rows(red),
              "........\n.######.\n.#....#.\n.#....#.\n.#....#.\n.######.\n........\n");
    rect_outline(e.px(), e.pitch, e.w, e.h, -2, -2, 6, 5, 1, red); // clipped
    EXPECT_EQ(e.rows(red), "...#.\n...#.\n####.\n");
    auto draw = [](int w, int h, int r) {
        Canvas k(w, h);
        fill_round_rect(k.px(), k.pitch, k.w, k.h, 0, 0, w, h, r, red);
        EXPECT_TRUE(k.padding_intact());
        return k.rows(red);
    };
    // r = 3 keeps its extreme corner (2² + 2² <= 3²), r = 4 drops it (3² + 3² > 4²).
    EXPECT_EQ(draw(6, 6, 3).find('.'), std::string::npos);
    EXPECT_EQ(draw(10, 7, 4), ".########.\n##########\n##########\n##########\n##########\n"
                              "##########\n.########.\n");
    // Smaller than both diameters: the top corner squares take precedence.
    EXPECT_EQ(draw(12, 10, 8), "....####....\n..########..\n.##########.\n.##########.\n"
                               "############\n############\n############\n############\n"
                               "..########..\n....####....\n");
    // Clipped and placed like fill_rect; empty sizes draw nothing.
    fill_round_rect(f.px(), f.pitch, f.w, f.h, -5, -4, 10, 7, 4, red);
    fill_round_rect(f.px(), f.pitch, f.w, f.h, 0, 0, 10, 0, 4, green);
    EXPECT_EQ(f.rows(red), "#####.\n#####.\n####..\n......\n");
    EXPECT_EQ(f.count(green), 0);
}

TEST(Text, BlendingAndTheBitmapFont) {
    // Over a transparent pixel: the colour with alpha = coverage (its own alpha
    // unused); opaque stays opaque; half-transparent: truncating divisions in order.
    EXPECT_EQ(blend_coverage(0x00ffffff, 0x8010a0f0, 37), 0x2510a0f0u);
    EXPECT_EQ(blend_coverage(0xff000000, 0x00ffffff, 128), 0xff808080u);
    EXPECT_EQ(blend_coverage(0xff204060, 0xff000000, 1), 0xff1f3f5fu);
    EXPECT_EQ(blend_coverage(0x80402010, 0x00ff8040, 100), 0xb1ac562bu);
    FT_FaceRec_ *face = g_face; // the bitmap font, whatever face is open
    g_face = nullptr;
    EXPECT_EQ(ft_text_w("AB", 20), 32); // 2x and 3x the 8-pixel cell
    EXPECT_EQ(ft_text_w("AB", 24), 48);
    // Stored unblended, clipped per pixel.
    Canvas c(40, 20, 0xff0000ff);
    EXPECT_EQ(ft_text(c.px(), c.pitch, c.w, c.h, -6, 18, "Ag", 0x40ffffff, 20), 32);
    EXPECT_GT(c.count(0x40ffffff), 0);
    // Glyph shapes and places against the reference picture; bytes outside
    // 0x20..0x7F draw the question mark.
    Canvas r(120, 56);
    ft_text(r.px(), r.pitch, r.w, r.h, 2, 22, "Ag?~", 0xff2dd4bf, 20);
    ft_text(r.px(), r.pitch, r.w, r.h, 2, 52, "Q\xc3", 0xffffffff, 24);
    g_face = face;
    std::string why;
    EXPECT_TRUE(
        match_ref(image_from_canvas(r.px(), r.pitch, 0, 0, r.w, r.h), "bitmap_text.png", &why))
        << why;
}

TEST(Text, TrueTypeFace) {
    static const char font[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (access(font, R_OK) != 0) GTEST_SKIP() << "no DejaVu font installed";
    if (!g_face) setenv("VEX_KMS_FONT", font, 1), font_init(), unsetenv("VEX_KMS_FONT");
    ASSERT_NE(g_face, nullptr);
    // Over a transparent canvas: alpha = coverage, colour = the text colour, some
    // pixels solid, some partial; partly off the canvas: clipped.
    Canvas t(64, 40), e(10, 10);
    const int w = ft_text(t.px(), t.pitch, t.w, t.h, 4, 28, "Hg", 0x0010a0f0, 24);
    EXPECT_TRUE(w > 20 && w < 48 && w == ft_text_w("Hg", 24)) << w;
    EXPECT_EQ(ft_text(e.px(), e.pitch, e.w, e.h, -8, 20, "Hg", red, 24), w);
    int solid = 0, partial = 0;
    for (uint32_t p : t.words) {
        if (p == 0 || p == pad) continue;
        EXPECT_EQ(p & 0xffffff, 0x10a0f0u);
        (p >> 24 == 0xff ? solid : partial)++;
    }
    EXPECT_TRUE(solid > 20 && partial > 5) << solid << " solid, " << partial << " partial";
    EXPECT_TRUE(t.padding_intact() && e.padding_intact());

    // Into a buffer whose alpha the display ignores: the edges are mixed with
    // the black under them (shown as black), not given the full text colour.
    Canvas o(64, 40);
    g_px_opaque = 1;
    ft_text(o.px(), o.pitch, o.w, o.h, 4, 28, "Hg", 0x0010a0f0, 24);
    g_px_opaque = 0;
    int mixed = 0;
    for (size_t i = 0; i < o.words.size(); i++) {
        const uint32_t cover = t.words[i] >> 24; // over transparent, alpha = coverage
        if (t.words[i] == 0 || t.words[i] == pad) {
            EXPECT_EQ(o.words[i], t.words[i]);
            continue;
        }
        EXPECT_EQ(o.words[i], blend_coverage(0xff000000, 0x0010a0f0, cover));
        mixed += cover < 0xff && (o.words[i] & 0xffffff) != 0x10a0f0;
    }
    EXPECT_EQ(mixed, partial);
}

TEST(Text, GlyphsStayDrawableAfterEveryByteAtManySizes) {
    static const char font[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (access(font, R_OK) != 0) GTEST_SKIP() << "no DejaVu font installed";
    if (!g_face) setenv("VEX_KMS_FONT", font, 1), font_init(), unsetenv("VEX_KMS_FONT");
    ASSERT_NE(g_face, nullptr);
    // What "REC" advances at size 21, asked of FreeType itself.
    FT_Set_Pixel_Sizes(g_face, 0, 21);
    int want = 0;
    for (const char *p = "REC"; *p; p++)
        if (FT_Load_Char(g_face, (unsigned char)*p, FT_LOAD_DEFAULT) == 0)
            want += (int)(g_face->glyph->advance.x >> 6);
    g_font_px = 0;
    // Every byte value drawn and measured at ten sizes: far more glyphs than
    // the cache holds at once.
    Canvas scratch(64, 64);
    char all[256];
    for (int i = 0; i < 255; i++) all[i] = (char)(i + 1);
    all[255] = '\0';
    for (int size = 8; size < 18; size++) {
        ft_text(scratch.px(), scratch.pitch, scratch.w, scratch.h, 0, 40, all, red, size);
        ft_text_w(all, size + 20);
    }
    // Still every letter, drawn: ink in each third of the text.
    Canvas c(80, 32);
    EXPECT_EQ(ft_text(c.px(), c.pitch, c.w, c.h, 2, 26, "REC", 0xffffffff, 21), want);
    EXPECT_EQ(ft_text_w("REC", 21), want);
    for (int third = 0; third < 3; third++) {
        int ink = 0;
        for (int y = 0; y < c.h; y++)
            for (int x = 2 + third * want / 3; x < 2 + (third + 1) * want / 3; x++)
                ink += c.at(x, y) != 0;
        EXPECT_GT(ink, 10) << "letter " << third;
    }
}

TEST(Text, FittingShortensWrapsAndShares) {
    FT_FaceRec_ *face = g_face; // the bitmap font: 16 pixels a character below size 24
    g_face = nullptr;
    char out[64], label[64], value[64];
    EXPECT_EQ(text_ellipsize("ABCDEFGH", 20, 128, out, sizeof out), 128);
    EXPECT_STREQ(out, "ABCDEFGH");
    EXPECT_EQ(text_ellipsize("ABC DEFGH", 20, 100, out, sizeof out), 96);
    EXPECT_STREQ(out, "ABC...");
    EXPECT_EQ(text_ellipsize("ABCDEFGH", 20, 40, out, sizeof out), 32);
    EXPECT_STREQ(out, "..");
    // A label and a value never come closer than the gap and never pass the row.
    for (int32_t row = 40; row <= 400; row += 7) {
        text_fit_pair("Resolution", "1920x1080", 20, row, 8, label, value, sizeof label);
        EXPECT_LE(ft_text_w(label, 20) + 8 + ft_text_w(value, 20), std::max(row, 8 + 2 * 48))
            << row << ": " << label << " | " << value;
        if (row >= 312) {
            EXPECT_TRUE(!strcmp(label, "Resolution") && !strcmp(value, "1920x1080")) << row;
        }
    }
    text_fit_pair("Reboot now please", "", 20, 160, 8, label, value, sizeof label);
    EXPECT_STREQ(label, "Reboot...");
    // Words go whole to the next line; a word longer than a line breaks inside,
    // after a '/' when it has one; what does not fit ends in "...".
    auto wrap = [](const char *text, int32_t w, int lines) {
        TextLines t{};
        const bool whole = text_wrap(text, 20, w, lines, &t);
        std::string s = whole ? "" : "~";
        for (int k = 0; k < t.n; k++) s += std::string(t.line[k]) + "|";
        return s;
    };
    EXPECT_EQ(wrap("Signal weak, turn back", 160, 3), "Signal|weak, turn|back|");
    EXPECT_EQ(wrap("abcdefghijklmnopqrstuvwxyz", 160, 3), "abcdefghij|klmnopqrst|uvwxyz|");
    EXPECT_EQ(wrap("rtmp://host/live/key", 160, 3), "rtmp://|host/live/|key|");
    EXPECT_EQ(wrap("Signal weak, turn back", 160, 2), "~Signal|weak, t...|");
    EXPECT_EQ(wrap("  ", 160, 2), "");
    TextLines t{};
    text_wrap_shrink("Signal weak", 28, 12, 200, 1, &t); // 24 px a character from 24 up
    EXPECT_TRUE(t.n == 1 && t.size == 22) << t.n << " " << t.size;
    g_face = face;
}
