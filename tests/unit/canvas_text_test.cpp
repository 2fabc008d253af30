#include "overlay/canvas.h"
#include "overlay/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/unit/png_io.h"

namespace {

// A canvas whose rows carry 3 words of padding, to catch writes past the width.
struct Canvas {
    int w, h;
    uint32_t pitch;
    std::vector<uint32_t> words;
    Canvas(int cw, int ch, uint32_t fill = 0)
        : w(cw), h(ch), pitch((uint32_t)(cw + 3) * 4), words((size_t)(cw + 3) * ch, fill) {
        for (int y = 0; y < h; y++)
            for (int x = w; x < w + 3; x++) words[(size_t)y * (w + 3) + x] = 0xdeadbeef;
    }
    uint8_t *px() { return (uint8_t *)words.data(); }
    uint32_t at(int x, int y) const { return words[(size_t)y * (w + 3) + x]; }
    bool padding_intact() const {
        for (int y = 0; y < h; y++)
            for (int x = w; x < w + 3; x++)
                if (at(x, y) != 0xdeadbeef) return false;
        return true;
    }
    int count(uint32_t c) const {
        int n = 0;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) n += at(x, y) == c;
        return n;
    }
    std::string rows(uint32_t c) const {
        std::string s;
        for (int y = 0; y < h; y++) {
            for (int x = 0; x < w; x++) s += at(x, y) == c ? '#' : '.';
            s += '\n';
        }
        return s;
    }
};

constexpr uint32_t red = 0xffff0000;

void fill(Canvas &c, int x, int y, int w, int h, uint32_t colour = red) {
    fill_rect(c.px(), c.pitch, c.w, c.h, x, y, w, h, colour);
}

// Sets the mirror flags for one scope.
struct Mirror {
    Mirror(int mx, int my) { g_px_mx = mx, g_px_my = my; }
    ~Mirror() { g_px_mx = g_px_my = 0; }
};

// Text through the bitmap font for one scope, whatever face is open.
struct BitmapFont {
    FT_FaceRec_ *saved = g_face;
    BitmapFont() { g_face = nullptr; }
    ~BitmapFont() { g_face = saved; }
};

} // namespace

TEST(Canvas, FillRectClipsEveryEdge) {
    Canvas c(10, 8);
    fill(c, -3, -2, 5, 4); // top-left overhang: 2 x 2 on canvas
    EXPECT_EQ(c.count(red), 4);
    EXPECT_EQ(c.at(1, 1), red);
    EXPECT_EQ(c.at(2, 1), 0u);
    fill(c, 7, 6, 10, 10, 0xff00ff00); // bottom-right overhang: 3 x 2
    EXPECT_EQ(c.count(0xff00ff00), 6);
    EXPECT_EQ(c.at(9, 7), 0xff00ff00u);
    EXPECT_TRUE(c.padding_intact());

    Canvas d(10, 8);
    fill(d, 10, 0, 5, 5); // right of the canvas
    fill(d, -5, 0, 5, 5); // left
    fill(d, 0, 8, 5, 5);  // below
    fill(d, 0, -3, 5, 3); // above
    fill(d, 0, 0, 0, 5);  // empty
    fill(d, 0, 0, 5, 0);  // empty
    fill(d, 0, 0, -4, 5); // negative width
    fill(d, INT_MAX - 1, 0, 10, 1);
    fill(d, 0, INT_MAX - 1, 1, INT_MAX);
    EXPECT_EQ(d.count(0), 80);
    EXPECT_TRUE(d.padding_intact());

    fill(d, INT_MIN / 2, INT_MIN / 2, INT_MAX, INT_MAX); // covers everything
    EXPECT_EQ(d.count(red), 80);
    EXPECT_TRUE(d.padding_intact());

    // The colour word is stored as is, alpha included, over anything.
    fill(d, 0, 0, 1, 1, 0x00123456);
    EXPECT_EQ(d.at(0, 0), 0x00123456u);
    fill_rect(nullptr, 0, 10, 8, 0, 0, 5, 5, red); // no pixels: nothing happens
}

TEST(Canvas, MirrorFlagsMoveThePixelAfterClipping) {
    {
        Canvas c(10, 4);
        Mirror m(1, 0);
        fill(c, 0, 0, 1, 1);
        EXPECT_EQ(c.at(9, 0), red);
        EXPECT_EQ(c.count(red), 1);
        fill(c, -1, 1, 2, 1); // clipped to column 0 first, then mirrored
        EXPECT_EQ(c.at(9, 1), red);
        EXPECT_EQ(c.count(red), 2);
        EXPECT_TRUE(c.padding_intact());
    }
    {
        Canvas c(10, 4);
        Mirror m(0, 1);
        fill(c, 2, 0, 3, 1);
        EXPECT_EQ(c.rows(red), "..........\n..........\n..........\n..###.....\n");
    }
    {
        Canvas c(10, 4);
        Mirror m(1, 1);
        fill(c, 0, 0, 2, 1);
        fill_round_rect(c.px(), c.pitch, c.w, c.h, 0, 3, 1, 1, 0, red);
        EXPECT_EQ(c.rows(red), ".........#\n..........\n..........\n........##\n");
    }
    EXPECT_EQ(g_px_mx, 0);
}

TEST(Canvas, RectOutlineBandsLieInside) {
    Canvas c(8, 7);
    rect_outline(c.px(), c.pitch, c.w, c.h, 1, 1, 6, 5, 1, red);
    EXPECT_EQ(c.rows(red), "........\n"
                           ".######.\n"
                           ".#....#.\n"
                           ".#....#.\n"
                           ".#....#.\n"
                           ".######.\n"
                           "........\n");
    Canvas d(8, 7);
    rect_outline(d.px(), d.pitch, d.w, d.h, 1, 1, 6, 5, 3, red); // t >= h/2: solid
    EXPECT_EQ(d.count(red), 30);
    Canvas e(8, 7);
    rect_outline(e.px(), e.pitch, e.w, e.h, -2, -2, 6, 5, 1, red); // clipped
    EXPECT_EQ(e.rows(red), "...#....\n"
                           "...#....\n"
                           "####....\n"
                           "........\n"
                           "........\n"
                           "........\n"
                           "........\n");
}

TEST(Canvas, RoundRectCorners) {
    auto draw = [](int w, int h, int r) {
        Canvas c(w, h);
        fill_round_rect(c.px(), c.pitch, c.w, c.h, 0, 0, w, h, r, red);
        EXPECT_TRUE(c.padding_intact());
        return c.rows(red);
    };
    // r = 0 is a plain rectangle; r = 3 keeps its extreme corner (2² + 2² <= 3²).
    EXPECT_EQ(draw(4, 3, 0), "####\n####\n####\n");
    EXPECT_EQ(draw(6, 6, 3).find('.'), std::string::npos);
    // r = 4 drops it (3² + 3² > 4²).
    EXPECT_EQ(draw(10, 7, 4), ".########.\n"
                              "##########\n"
                              "##########\n"
                              "##########\n"
                              "##########\n"
                              "##########\n"
                              ".########.\n");
    EXPECT_EQ(draw(20, 12, 8), "....############....\n"
                               "..################..\n"
                               ".##################.\n"
                               ".##################.\n"
                               "####################\n"
                               "####################\n"
                               "####################\n"
                               "####################\n"
                               ".##################.\n"
                               ".##################.\n"
                               "..################..\n"
                               "....############....\n");
    // Smaller than both diameters: the top corner squares take precedence.
    EXPECT_EQ(draw(12, 10, 8), "....####....\n"
                               "..########..\n"
                               ".##########.\n"
                               ".##########.\n"
                               "############\n"
                               "############\n"
                               "############\n"
                               "############\n"
                               "..########..\n"
                               "....####....\n");
    // Clipped and placed like fill_rect.
    Canvas c(6, 4);
    fill_round_rect(c.px(), c.pitch, c.w, c.h, -5, -4, 10, 7, 4, red);
    EXPECT_EQ(c.rows(red), "#####.\n#####.\n####..\n......\n");
    fill_round_rect(c.px(), c.pitch, c.w, c.h, 0, 0, 10, 0, 4, 0xff00ff00);
    fill_round_rect(c.px(), c.pitch, c.w, c.h, 0, 0, 0, 10, 4, 0xff00ff00);
    EXPECT_EQ(c.count(0xff00ff00), 0);
}

TEST(Text, CoverageBlending) {
    // Transparent destination: the text colour with alpha = coverage; the
    // colour's own alpha byte is ignored.
    EXPECT_EQ(blend_coverage(0x00000000, 0x0010a0f0, 37), 0x2510a0f0u);
    EXPECT_EQ(blend_coverage(0x00ffffff, 0x8010a0f0, 255), 0xff10a0f0u);
    EXPECT_EQ(blend_coverage(0x00000000, 0x0010a0f0, 0), 0x00000000u);
    // Opaque destination stays opaque and mixes.
    EXPECT_EQ(blend_coverage(0xff000000, 0x00ffffff, 128), 0xff808080u);
    EXPECT_EQ(blend_coverage(0xff204060, 0xff000000, 1), 0xff1f3f5fu);
    // Half-transparent destination, truncating divisions in order.
    EXPECT_EQ(blend_coverage(0x80402010, 0x00ff8040, 100), 0xb1ac562bu);
}

TEST(Text, BitmapFont) {
    BitmapFont bitmap;
    EXPECT_EQ(ft_text_w("AB", 20), 32);
    EXPECT_EQ(ft_text_w("AB", 24), 48);
    EXPECT_EQ(ft_text_w("", 24), 0);
    Canvas c(64, 40);
    EXPECT_EQ(ft_text(c.px(), c.pitch, c.w, c.h, 0, 30, "", red, 20), 0);
    EXPECT_EQ(c.count(0), 64 * 40);

    // '_' is the glyph's bottom row: cell top at baseline - size, 2 x 2 cells.
    EXPECT_EQ(ft_text(c.px(), c.pitch, c.w, c.h, 3, 30, "_", red, 20), 16);
    EXPECT_EQ(c.count(red), 16 * 2);
    EXPECT_EQ(c.at(3, 24), red);
    EXPECT_EQ(c.at(18, 25), red);
    EXPECT_EQ(c.at(3, 23), 0u);
    EXPECT_EQ(c.at(19, 24), 0u);

    // Bytes outside 0x20..0x7F draw the question mark.
    Canvas q1(48, 30), q2(48, 30);
    EXPECT_EQ(ft_text(q1.px(), q1.pitch, q1.w, q1.h, 0, 24, "\xc3\x01", red, 24), 48);
    ft_text(q2.px(), q2.pitch, q2.w, q2.h, 0, 24, "??", red, 24);
    EXPECT_EQ(q1.words, q2.words);

    // Stored unblended, mirror flags applied, clipped per pixel.
    Canvas m1(40, 20, 0xff0000ff), m2(40, 20, 0xff0000ff);
    ft_text(m1.px(), m1.pitch, m1.w, m1.h, -6, 18, "Ag", 0x40ffffff, 20);
    {
        Mirror m(1, 0);
        ft_text(m2.px(), m2.pitch, m2.w, m2.h, -6, 18, "Ag", 0x40ffffff, 20);
    }
    int differ = 0;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 40; x++) differ += m1.at(x, y) != m2.at(39 - x, y);
    EXPECT_EQ(differ, 0);
    EXPECT_GT(m1.count(0x40ffffff), 0);
    EXPECT_TRUE(m1.padding_intact());
    EXPECT_TRUE(m2.padding_intact());

    // Glyph shapes against the reference picture.
    Canvas r(120, 56);
    ft_text(r.px(), r.pitch, r.w, r.h, 2, 22, "Ag?~", 0xff2dd4bf, 20);
    ft_text(r.px(), r.pitch, r.w, r.h, 2, 52, "Q\xc3", 0xffffffff, 24);
    std::string why;
    EXPECT_TRUE(
        match_ref(image_from_canvas(r.px(), r.pitch, 0, 0, r.w, r.h), "bitmap_text.png", &why))
        << why;
}

TEST(Text, TrueTypeFace) {
    static const char font[] = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    if (access(font, R_OK) != 0) GTEST_SKIP() << "no DejaVu font installed";
    if (!g_face) {
        setenv("VEX_KMS_FONT", font, 1);
        testing::internal::CaptureStderr();
        font_init();
        const std::string log = testing::internal::GetCapturedStderr();
        unsetenv("VEX_KMS_FONT");
        EXPECT_EQ(log, std::string("vex-mpp: menu font ") + font + "\n");
    }
    ASSERT_NE(g_face, nullptr);

    EXPECT_EQ(ft_text_w("", 24), 0);
    const int w = ft_text_w("Hg", 24);
    EXPECT_EQ(g_font_px, 24);
    EXPECT_GT(w, 20);
    EXPECT_LT(w, 48);

    // Transparent canvas: alpha = coverage, colour = the text colour.
    Canvas t(64, 40);
    EXPECT_EQ(ft_text(t.px(), t.pitch, t.w, t.h, 4, 28, "Hg", 0x0010a0f0, 24), w);
    int solid = 0, partial = 0;
    for (int y = 0; y < t.h; y++)
        for (int x = 0; x < t.w; x++) {
            const uint32_t p = t.at(x, y);
            if (p == 0) continue;
            EXPECT_EQ(p & 0xffffff, 0x10a0f0u) << x << "," << y;
            (p >> 24 == 0xff ? solid : partial)++;
        }
    EXPECT_GT(solid, 20);
    EXPECT_GT(partial, 5);
    EXPECT_TRUE(t.padding_intact());

    // Opaque panel: stays opaque, text mixed in.
    Canvas o(64, 40, 0xff204060);
    ft_text(o.px(), o.pitch, o.w, o.h, 4, 28, "Hg", 0x00ffffff, 24);
    int changed = 0;
    for (int y = 0; y < o.h; y++)
        for (int x = 0; x < o.w; x++) {
            EXPECT_EQ(o.at(x, y) >> 24, 0xffu);
            changed += o.at(x, y) != 0xff204060;
        }
    EXPECT_EQ(changed, solid + partial);

    // Partly off the canvas: clipped, same advance.
    Canvas e(10, 10);
    EXPECT_EQ(ft_text(e.px(), e.pitch, e.w, e.h, -8, 20, "Hg", red, 24), w);
    EXPECT_TRUE(e.padding_intact());
    EXPECT_EQ(ft_text(e.px(), e.pitch, e.w, e.h, 0, 5, "", red, 24), 0);
}
