#include "overlay/osd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "display/output.h"
#include "overlay/canvas.h"
#include "overlay/hud.h"
#include "overlay/overlay.h"
#include "overlay/text.h"
#include "tests/unit/png_io.h"

namespace {

constexpr uint32_t picture = 0xff304050;

const std::string no_spaces = [] { // 95 characters
    std::string s;
    for (int i = 0; i < 95; i++) s += (char)('A' + i % 26);
    return s;
}();

struct Picture {
    int32_t w, h;
    std::vector<uint32_t> px;
    Picture(int32_t pw, int32_t ph, uint32_t c = picture) : w(pw), h(ph), px((size_t)pw * ph, c) {}
    uint8_t *bytes() { return (uint8_t *)px.data(); }
    uint32_t &at(int32_t x, int32_t y) { return px[(size_t)y * w + x]; }
    PuTarget target() { return PuTarget{bytes(), (uint32_t)w * 4, w, h, 0, 0}; }
};

void set_osd(int level, const std::string &text) {
    g_osd = OsdState{1, level, {}};
    snprintf(g_osd.text, sizeof g_osd.text, "%s", text.c_str());
}

// The cached tile's top-left corner on a W x H target.
std::pair<int32_t, int32_t> tile_at(int32_t W, int32_t H) {
    int32_t y0 = H / 6 + 4;
    if (y0 + g_pu_h > H) y0 = g_pu_h >= H ? 0 : H - g_pu_h;
    return {g_pu_w > W ? 0 : (W - g_pu_w) / 2, y0};
}

std::vector<std::string> wrap(const char *text, int fs, int32_t L, int max_lines) {
    PuLines w;
    pu_wrap(text, fs, L, max_lines, &w);
    return std::vector<std::string>(w.line, w.line + w.n);
}

TEST(Osd, FileAndPoll) {
    auto parse = [](std::string text) {
        FILE *f = fmemopen(&text[0], text.size(), "r");
        OsdState s;
        osd_parse(f, &s);
        fclose(f);
        return std::to_string(s.level) + std::to_string(s.active) + s.text;
    };
    EXPECT_EQ(parse("warn\nLow battery\n"), "11Low battery");
    EXPECT_EQ(parse("error\r\nDisk full\r\n"), "21Disk full");
    EXPECT_EQ(parse("errox\nx\n") + parse("info\nx") + parse("error\n\n") + parse(""),
              "01x01x2000");
    EXPECT_EQ(parse("info\n" + std::string(120, 't')).size(), 2u + 95u);

    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vex-osd-test.XXXXXX";
    char *dir = mkdtemp(&tmpl[0]);
    ASSERT_TRUE(dir);
    const std::string path = std::string(dir) + "/osd";
    setenv("VEX_KMS_OSD", path.c_str(), 1);
    long stamp = 1000;
    auto write = [&](const char *text) {
        FILE *f = fopen(path.c_str(), "w");
        fputs(text, f);
        fclose(f);
        timespec t[2] = {{stamp, 0}, {stamp, 0}};
        stamp++;
        utimensat(AT_FDCWD, path.c_str(), t, 0);
    };
    g_osd = OsdState{};
    EXPECT_EQ(poll_osd(), 0);
    write("error\nOverheat\n");
    EXPECT_EQ(poll_osd() + osd_active() + g_osd.level, 1 + 1 + 2);
    EXPECT_EQ(poll_osd(), 0); // same time: not read again
    write("error\n\n");       // an empty text clears the pop-up
    EXPECT_EQ(poll_osd() + osd_active(), 1 + 0);
    write("info\nHello\n");
    EXPECT_EQ(poll_osd(), 1);
    remove(path.c_str()); // a removed file clears it, once
    EXPECT_EQ(poll_osd() + osd_active(), 1 + 0);
    EXPECT_EQ(poll_osd(), 0);
    unsetenv("VEX_KMS_OSD");
    rmdir(dir);
}

TEST(Osd, LayoutAndWrap) {
    ASSERT_EQ(g_face, nullptr); // bitmap font: 24 pixels a character at size 30, 16 at 12
    // 400 rows: the scaled layout with fs 26 and two lines; 360 rows: three.
    EXPECT_EQ((std::vector<int32_t>{pu_layout(400).fs, pu_layout(400).max_lines,
                                    pu_layout(360).max_lines, pu_layout(480).fs}),
              (std::vector<int32_t>{26, 2, 3, 30}));
    for (int32_t H = 1; H <= 4320; H++) { // the tallest tile fits the tile buffer
        const PuLayout l = pu_layout(H);
        ASSERT_LE(l.top + l.max_lines * l.line_h + l.fs, pu_tile_max_h) << "H " << H;
    }
    // 95 characters without a space on 800 columns (L = 712 - 82 = 630): cut
    // at the widest prefix that fits, the last line shortened for "...".
    EXPECT_EQ(
        wrap(no_spaces.c_str(), 30, 630, 2),
        (std::vector<std::string>{no_spaces.substr(0, 26), no_spaces.substr(26, 23) + "..."}));
    // On 1920 columns (L = 1198) it fits in two lines.
    EXPECT_EQ(wrap(no_spaces.c_str(), 30, 1198, 2),
              (std::vector<std::string>{no_spaces.substr(0, 49), no_spaces.substr(49)}));
    // Six characters to a line: broken after spaces, which are dropped.
    EXPECT_EQ(wrap("abc  defgh ij", 12, 96, 3), (std::vector<std::string>{"abc", "defgh", "ij"}));
    EXPECT_EQ(wrap("abc  defgh ij", 12, 96, 2), (std::vector<std::string>{"abc", "def..."}));
    EXPECT_EQ(wrap("abcde   fgh ij", 12, 96, 2), (std::vector<std::string>{"abcde", "fgh ij"}));
    // A character wider than the line still gets a line of its own.
    EXPECT_EQ(wrap("abc", 12, 10, 3), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Osd, TileCache) {
    set_osd(1, "Low battery");
    Picture a(800, 480);
    pu_blit(a.target(), 1);
    const auto at = tile_at(800, 480);
    const int32_t cx = g_pu_w / 2, cy = g_pu_h - 3; // inside the card, below the text
    // A mark put into the cached tile shows while the tile is not rendered again.
    auto mark = [&] {
        pthread_mutex_lock(&g_pu_lock);
        g_pu_tile[(size_t)cy * g_pu_w + cx] = 0xff00ff00;
        pthread_mutex_unlock(&g_pu_lock);
    };
    auto shows_mark = [&](int level) {
        Picture p(800, 480);
        pu_blit(p.target(), level);
        return p.at(at.first + cx, at.second + cy) == 0xff00ff00;
    };
    mark();
    EXPECT_TRUE(shows_mark(1));
    EXPECT_TRUE(shows_mark(1));
    EXPECT_FALSE(shows_mark(2)); // another level
    mark();
    Picture other(1920, 1080); // another size
    pu_blit(other.target(), 2);
    EXPECT_FALSE(shows_mark(2));
    mark();
    set_osd(2, "Low battery!"); // another text
    EXPECT_FALSE(shows_mark(2));
}

TEST(Osd, BlendAndPlacement) {
    // 1920 x 1080: two lines within 1280 columns, 184 rows from the top.
    set_osd(2, no_spaces);
    Picture p(1920, 1080);
    pu_blit(p.target(), 2);
    EXPECT_EQ(g_pu_w, 49 * 24 + 82);
    EXPECT_EQ(tile_at(1920, 1080), std::make_pair(331, 184));
    EXPECT_EQ(p.at(331 + 15 + 2, 184 + 40), 0xffff5a5fu); // the accent bar
    EXPECT_EQ(p.at(331, 184), picture);                   // outside the rounded corner
    EXPECT_EQ(p.at(330, 200), picture);

    // Over a transparent overlay touched pixels become opaque.
    Picture clear(800, 480, 0);
    pu_blit(clear.target(), 2);
    const auto at = tile_at(800, 480);
    EXPECT_EQ(clear.at(at.first, at.second), 0u);
    // The card 0xf01a1d24 over nothing: its colour times 0xf0 / 0xff, opaque.
    EXPECT_EQ(clear.at(at.first + g_pu_w / 2, at.second + g_pu_h - 3), 0xff181b21u);

    // Bytes R, G, B, A with the rows flipped (the SPI read-back): the same
    // picture upside down.
    Picture argb(400, 240, 0x80102030), rgba(400, 240, 0x80302010);
    pu_blit(argb.target(), 0);
    pu_blit(PuTarget{rgba.bytes(), 400 * 4, 400, 240, 1, 1}, 0);
    for (uint32_t &v : rgba.px) v = (v & 0xff00ff00) | (v & 0xff) << 16 | (v >> 16 & 0xff);
    for (int32_t y = 0; y < 120; y++)
        std::swap_ranges(&rgba.at(0, y), &rgba.at(0, y) + 400, &rgba.at(0, 239 - y));
    EXPECT_EQ(rgba.px, argb.px);

    // A tile taller than the room below H/6 + 4 moves up, to row 0 at most.
    for (int32_t H : {60, 50}) {
        Picture s(300, H);
        pu_blit(s.target(), 0);
        int32_t first = 0;
        while (first < H && s.at(150, first) == picture) first++;
        EXPECT_EQ(first, std::max(H - g_pu_h, 0)) << "H " << H;
    }

    // Only DSI outputs get it; nothing without pixels or text; the caller's
    // mirror flags neither mirror the tile nor get lost.
    Output o{};
    Picture none(720, 1280);
    draw_osd(&o, none.bytes(), 720 * 4, 720, 1280);
    pu_blit(PuTarget{nullptr, 400, 100, 100, 0, 0}, 0);
    set_osd(0, "");
    pu_blit(none.target(), 0);
    EXPECT_EQ(none.px, Picture(720, 1280).px);
    o.is_dsi = 1;
    set_osd(1, "Mirror");
    draw_osd(&o, none.bytes(), 720 * 4, 720, 1280);
    Picture mirrored(720, 1280);
    set_osd(1, "Mirror "); // another key: rendered again with the flags set
    g_px_mx = g_px_my = 1;
    pu_blit(mirrored.target(), 1);
    EXPECT_EQ(g_px_mx + g_px_my, 2);
    g_px_mx = g_px_my = 0;
    EXPECT_EQ(mirrored.px, none.px);
    g_osd = OsdState{};
}

TEST(Osd, ReferencePictures) {
    ASSERT_EQ(g_face, nullptr); // the bitmap font: the same pixels everywhere
    // The pop-up on a W x H picture, cropped to the tile.
    auto popup = [](int32_t W, int32_t H, int level, const std::string &text) {
        set_osd(level, text);
        Picture p(W, H);
        pu_blit(p.target(), level);
        const auto at = tile_at(W, H);
        return image_from_canvas(p.bytes(), (uint32_t)W * 4, at.first, at.second, g_pu_w, g_pu_h);
    };
    auto expect_ref = [](const TestImage &img, const char *name) {
        std::string why;
        EXPECT_TRUE(match_ref(img, name, &why)) << name << ": " << why;
    };
    // Every level on 1080 and on 480 rows (both above 464: the same large
    // tiles), one below the other.
    for (int32_t H : {1080, 480}) {
        TestImage levels;
        for (int level = 0; level < 3; level++) {
            TestImage t = popup(H == 1080 ? 1920 : 800, H, level, "Low battery");
            levels.w = t.w;
            levels.h += t.h;
            levels.px.insert(levels.px.end(), t.px.begin(), t.px.end());
        }
        expect_ref(levels, "osd_levels_large.png");
    }
    expect_ref(popup(640, 360, 1, "Signal weak, turn back toward the home point now"),
               "osd_wrap_640x360.png");
    EXPECT_EQ(g_pu_h, pu_layout(360).top + 3 * pu_layout(360).line_h + pu_layout(360).fs);
    expect_ref(popup(800, 480, 2, no_spaces), "osd_ellipsis_800x480.png");
    g_osd = OsdState{};
}

} // namespace
