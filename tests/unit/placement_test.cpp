#include "display/placement.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<int> v(const PlaneRect &r) {
    return {r.x, r.y, r.w, r.h};
}

PlaneRect fit(int W, int H, double ratio) {
    PlaneRect r;
    fit_dest(W, H, &r.x, &r.y, &r.w, &r.h, ratio);
    return r;
}

} // namespace

// The fits and crops of whole pictures on ordinary screens are checked end to end;
// these are the rounding and degenerate cases.
TEST(Placement, FitCoverAndBoxRounding) {
    // Portrait panel: letterboxed, height rounded to nearest.
    EXPECT_EQ(v(fit(1080, 1920, 16.0 / 9)), (std::vector<int>{0, 656, 1080, 608}));
    // 1366 x 768 is a hair wider than 16:9; centring truncates.
    EXPECT_EQ(v(fit(1366, 768, 16.0 / 9)), (std::vector<int>{0, 0, 1365, 768}));
    EXPECT_EQ(v(fit(721, 480, 4.0 / 3)), (std::vector<int>{40, 0, 640, 480}));
    // No usable ratio or area: the whole area.
    EXPECT_EQ(v(fit(1920, 1080, -1.5)), (std::vector<int>{0, 0, 1920, 1080}));
    EXPECT_EQ(v(fit(0, 1080, 16.0 / 9)), (std::vector<int>{0, 0, 0, 1080}));

    EXPECT_DOUBLE_EQ(box_ratio("16:10", 1920, 1080), 1.6);
    EXPECT_DOUBLE_EQ(box_ratio(nullptr, 1280, 720), 1280.0 / 720);
    EXPECT_DOUBLE_EQ(box_ratio("keep", 1280, 0), 0.0);

    // Cover, wide source in a 4:3 box: sides cut; 1080 rows round down to 1072.
    EXPECT_EQ(v(cover_crop(1920, 1080, 1440, 1080)), (std::vector<int>{240, 0, 1440, 1072}));
    // Into a portrait panel: a narrow centred column.
    EXPECT_EQ(v(cover_crop(1280, 720, 1080, 1920)), (std::vector<int>{432, 0, 400, 720}));
    // Same shape: the whole aligned source; empty box: the source's own shape; tiny
    // source: at least 16 x 16, never a negative offset.
    EXPECT_EQ(v(cover_crop(1366, 768, 1920, 1080)), (std::vector<int>{0, 0, 1360, 768}));
    EXPECT_EQ(v(cover_crop(1280, 720, 0, 0)), (std::vector<int>{0, 0, 1280, 720}));
    EXPECT_EQ(v(cover_crop(8, 8, 1920, 1080)), (std::vector<int>{0, 0, 16, 16}));
    for (int sw : {1366, 1921}) // always in 16-pixel steps, inside the source
        for (int bw : {400, 1440, 2000}) {
            PlaneRect c = cover_crop(sw, 1080, bw, 1080);
            SCOPED_TRACE(testing::Message() << sw << " in " << bw);
            EXPECT_EQ((c.x | c.y | c.w | c.h) % 16, 0);
            EXPECT_LE(c.x + c.w, sw);
            EXPECT_LE(c.y + c.h, 1080);
            EXPECT_LE(std::abs((c.x + c.w / 2) - sw / 2), 24); // centred up to the 16-pixel steps
        }
}

TEST(Placement, PlacePictureDefaultsAndSidebar) {
    // Defaults (null: keep, fit); an unknown fit is fit.
    Placement p = place_picture(1920, 1080, 0, nullptr, nullptr, nullptr, 1280, 720);
    EXPECT_EQ(v(p.dst), (std::vector<int>{0, 0, 1920, 1080}));
    EXPECT_EQ(v(p.src), (std::vector<int>{0, 0, 1280, 720}));
    p = place_picture(1920, 1080, 0, "none", "4:3", "zoom", 1280, 720);
    EXPECT_EQ(v(p.dst), (std::vector<int>{240, 135, 1440, 810}));

    // Menu sidebar: 360 pixels on the left, or the video at the left edge when mirrored.
    p = place_picture(1920, 1080, 1, "none", "keep", "fit", 1920, 1080);
    EXPECT_EQ(v(p.dst), (std::vector<int>{360, 101, 1560, 878}));
    EXPECT_EQ(place_picture(1920, 1080, 1, "h", "keep", "fit", 1920, 1080).dst.x, 0);
    EXPECT_EQ(place_picture(1920, 1080, 1, "180", "keep", "stretch", 1920, 1080).dst.x, 0);
    EXPECT_EQ(place_picture(1920, 1080, 1, "v", "keep", "fit", 1920, 1080).dst.x, 360);
    // Narrower than two sidebars: half the width each, never an empty or
    // negative video.
    EXPECT_EQ(menu_sidebar_width(720), 360);
    p = place_picture(480, 800, 1, nullptr, "keep", "stretch", 1280, 720);
    EXPECT_EQ(v(p.dst), (std::vector<int>{240, 332, 240, 135}));
    for (int W : {0, 1, 2, 359, 360, 600})
        EXPECT_GE(place_picture(W, 480, 1, nullptr, nullptr, nullptr, 640, 480).dst.w * 2, W - 1)
            << W;
}

TEST(Placement, OutputOverridesAndStandbyKey) {
    GeometrySettings s;
    s.aspect = "keep", s.fit = "fit", s.flip = "none";
    s.flip_dsi = "v", s.fit_dsi = ""; // set but empty: the global value stays
    s.telem_dsi = 1;
    OutputGeometry g;
    auto text = [&] { return std::string(g.aspect) + " " + g.fit + " " + g.flip; };
    EXPECT_EQ(resolve_output_geometry(0, s, &g), 0);
    EXPECT_EQ(text() + std::to_string(g.telem), "keep fit none0");
    EXPECT_EQ(resolve_output_geometry(1, s, &g), 1);
    EXPECT_EQ(text() + std::to_string(g.telem), "keep fit v1");
    s.aspect_dsi = "16:9", s.fit_dsi = "cover", s.telem_dsi = 0;
    EXPECT_EQ(resolve_output_geometry(1, s, &g), 3);
    EXPECT_EQ(text() + std::to_string(g.telem), "16:9 cover v0");

    char key[24];
    EXPECT_STREQ(standby_key_for(nullptr, nullptr, key, sizeof key), "none/fit");
    char big[64];
    standby_key_for("a-very-long-flip-value", "stretch", big, sizeof big);
    EXPECT_EQ(std::string(big), std::string("a-very-long-flip-value/stretch").substr(0, 23));
}
