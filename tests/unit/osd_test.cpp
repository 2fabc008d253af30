#include "overlay/osd.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

#include "overlay/canvas.h"
#include "overlay/hud.h"
#include "overlay/overlay.h"
#include "overlay/text.h"
#include "tests/unit/png_io.h"

namespace {

constexpr uint32_t picture = 0xff304050;

// Sets the OSD text and blends its tile into a W x H picture of colour c.
TestImage blit(int32_t W, int32_t H, int level, const std::string &text, uint32_t c = picture) {
    g_osd = OsdState{!text.empty(), level, {}};
    snprintf(g_osd.text, sizeof g_osd.text, "%s", text.c_str());
    TestImage p{W, H, std::vector<uint32_t>((size_t)W * H, c)};
    pu_blit(PuTarget{(uint8_t *)p.px.data(), (uint32_t)W * 4, W, H, 0, 0}, level);
    return p;
}

// The cached tile's top-left corner on a W x H target.
std::pair<int32_t, int32_t> tile_at(int32_t W, int32_t H) {
    int32_t y0 = H / 6 + 4;
    if (y0 + g_pu_h > H) y0 = g_pu_h >= H ? 0 : H - g_pu_h;
    return {g_pu_w > W ? 0 : (W - g_pu_w) / 2, y0};
}

TEST(Osd, FileAndPoll) {
    const std::string path = testing::TempDir() + "vex-osd-test." + std::to_string(getpid());
    setenv("VEX_KMS_OSD", path.c_str(), 1);
    long stamp = 1000;
    // Writes the file with a new time and polls: "<read><level><active><text>|".
    auto write = [&](const std::string &text) {
        put_text(path, text, stamp++);
        const int read = poll_osd();
        return std::to_string(read) + std::to_string(g_osd.level) + std::to_string(osd_active()) +
               g_osd.text + "|";
    };
    g_osd = OsdState{};
    EXPECT_EQ(poll_osd(), 0);
    // CR LF line ends; an unknown level word is information; an empty text clears
    // the pop-up; at most 95 characters.
    std::string got;
    for (const char *text : {"warn\nLow battery\n", "error\r\nDisk full\r\n", "errox\nx\n",
                             "info\nx", "error\n\n", ""})
        got += write(text);
    EXPECT_EQ(got, "111Low battery|121Disk full|101x|101x|120|100|");
    EXPECT_EQ(write("info\n" + std::string(120, 't')).size(), 4u + 95u);
    EXPECT_EQ(poll_osd(), 0); // same time: not read again
    remove(path.c_str());     // a removed file clears it, once
    EXPECT_EQ(poll_osd() + osd_active(), 1 + 0);
    EXPECT_EQ(poll_osd(), 0);
    unsetenv("VEX_KMS_OSD");
}

TEST(Osd, LayoutTilesAndTargets) {
    for (int32_t H = 1; H <= 4320; H++) { // the tallest tile fits the tile buffer
        const PuLayout l = pu_layout(H);
        ASSERT_LE(l.top + l.max_lines * l.line_h + l.fs, pu_tile_max_h) << "H " << H;
    }
    // Over a transparent overlay the card 0xf01a1d24 is its colour times 0xf0 / 0xff,
    // opaque; outside the rounded corner nothing changes.
    TestImage clear = blit(800, 480, 2, "Overheat", 0);
    const auto at = tile_at(800, 480);
    EXPECT_EQ(clear.at(at.first, at.second), 0u);
    EXPECT_EQ(clear.at(at.first + g_pu_w / 2, at.second + g_pu_h - 3), 0xff181b21u);
    // Bytes R, G, B, A with the rows flipped (the SPI read-back): the same picture
    // upside down.
    TestImage argb = blit(400, 240, 0, "Overheat", 0x80102030), rgba = argb;
    std::fill(rgba.px.begin(), rgba.px.end(), 0x80302010);
    pu_blit(PuTarget{(uint8_t *)rgba.px.data(), 400 * 4, 400, 240, 1, 1}, 0);
    for (uint32_t &v : rgba.px) v = (v & 0xff00ff00) | (v & 0xff) << 16 | (v >> 16 & 0xff);
    for (int32_t y = 0; y < 120; y++)
        std::swap_ranges(&rgba.px[y * 400], &rgba.px[y * 400 + 400], &rgba.px[(239 - y) * 400]);
    EXPECT_EQ(rgba.px, argb.px);
    // Nothing without pixels or text; the caller's mirror flags neither mirror the
    // tile nor get lost.
    pu_blit(PuTarget{nullptr, 400, 100, 100, 0, 0}, 0);
    EXPECT_EQ(blit(72, 128, 0, "").px, std::vector<uint32_t>(72 * 128, picture));
    TestImage plain = blit(720, 1280, 1, "Mirror");
    g_px_mx = g_px_my = 1;
    TestImage mirrored = blit(720, 1280, 1, "Mirror "); // another key: rendered with the flags
    EXPECT_EQ(g_px_mx + g_px_my, 2);
    g_px_mx = g_px_my = 0;
    EXPECT_EQ(mirrored.px, plain.px);
    g_osd = OsdState{};
}

// Every level on 1080 and on 480 rows (both above 464: the same large tiles); three
// lines on 360 rows; 95 characters without a space cut at the widest prefix that
// fits, the last line shortened for "...".
TEST(Osd, ReferencePictures) {
    ASSERT_EQ(g_face, nullptr); // the bitmap font: the same pixels everywhere
    // The tiles of the given levels, cropped and one below the other, against a reference.
    auto expect_ref = [](int32_t W, int32_t H, std::vector<int> levels, const std::string &text,
                         const char *name) {
        TestImage img{0, 0, {}};
        for (int level : levels) {
            TestImage p = blit(W, H, level, text);
            const auto a = tile_at(W, H);
            TestImage t =
                image_from_canvas((uint8_t *)p.px.data(), W * 4, a.first, a.second, g_pu_w, g_pu_h);
            img.w = t.w, img.h += t.h;
            img.px.insert(img.px.end(), t.px.begin(), t.px.end());
        }
        std::string why;
        EXPECT_TRUE(match_ref(img, name, &why)) << W << "x" << H << " " << name << ": " << why;
    };
    const std::string abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    expect_ref(1920, 1080, {0, 1, 2}, "Low battery", "osd_levels_large.png");
    expect_ref(800, 480, {0, 1, 2}, "Low battery", "osd_levels_large.png");
    expect_ref(640, 360, {1}, "Signal weak, turn back toward the home point now",
               "osd_wrap_640x360.png");
    expect_ref(800, 480, {2}, abc + abc + abc + abc.substr(0, 17), "osd_ellipsis_800x480.png");
    g_osd = OsdState{};
}

} // namespace
