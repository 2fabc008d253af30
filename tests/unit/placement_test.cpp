#include "display/placement.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

PlaneRect fit(int W, int H, double ratio) {
    PlaneRect r;
    fit_dest(W, H, &r.x, &r.y, &r.w, &r.h, ratio);
    return r;
}

void expect_rect(const PlaneRect &r, int x, int y, int w, int h) {
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.w, w);
    EXPECT_EQ(r.h, h);
}

} // namespace

TEST(Placement, FitDestLetterboxesAndPillarboxes) {
    expect_rect(fit(1920, 1080, 4.0 / 3), 240, 0, 1440, 1080);
    expect_rect(fit(1280, 720, 16.0 / 9), 0, 0, 1280, 720);
    // Portrait panel: letterboxed, height rounded to nearest.
    expect_rect(fit(1080, 1920, 16.0 / 9), 0, 656, 1080, 608);
    expect_rect(fit(720, 1280, 16.0 / 9), 0, 437, 720, 405);
    // Odd sizes: 1366 x 768 is a hair wider than 16:9; centring truncates.
    expect_rect(fit(1366, 768, 16.0 / 9), 0, 0, 1365, 768);
    expect_rect(fit(721, 480, 4.0 / 3), 40, 0, 640, 480);
    expect_rect(fit(720, 576, 16.0 / 9), 0, 85, 720, 405);
    // No usable ratio or area: the whole area.
    expect_rect(fit(1920, 1080, 0), 0, 0, 1920, 1080);
    expect_rect(fit(1920, 1080, -1.5), 0, 0, 1920, 1080);
    expect_rect(fit(0, 1080, 16.0 / 9), 0, 0, 0, 1080);
    expect_rect(fit(1920, -4, 16.0 / 9), 0, 0, 1920, -4);
}

TEST(Placement, BoxRatioFromAspect) {
    EXPECT_DOUBLE_EQ(box_ratio("16:9", 640, 480), 16.0 / 9);
    EXPECT_DOUBLE_EQ(box_ratio("4:3", 1920, 1080), 4.0 / 3);
    EXPECT_DOUBLE_EQ(box_ratio("16:10", 1920, 1080), 1.6);
    EXPECT_DOUBLE_EQ(box_ratio("keep", 1280, 720), 1280.0 / 720);
    EXPECT_DOUBLE_EQ(box_ratio(nullptr, 1280, 720), 1280.0 / 720);
    EXPECT_DOUBLE_EQ(box_ratio("keep", 1280, 0), 0.0);
}

TEST(Placement, CoverCropIsCentredAlignedAndClamped) {
    // Wide source in a 4:3 box: sides cut; 1080 rows round down to 1072.
    expect_rect(cover_crop(1920, 1080, 1440, 1080), 240, 0, 1440, 1072);
    // Into a portrait panel: a narrow centred column.
    expect_rect(cover_crop(1280, 720, 1080, 1920), 432, 0, 400, 720);
    // 4:3 source in a 16:9 box: top and bottom cut, offset a multiple of 16.
    expect_rect(cover_crop(640, 480, 1920, 1080), 0, 48, 640, 352);
    // Same shape: the whole (aligned) source.
    expect_rect(cover_crop(1280, 720, 1920, 1080), 0, 0, 1280, 720);
    expect_rect(cover_crop(1366, 768, 1920, 1080), 0, 0, 1360, 768);
    // Empty box: the source's own shape.
    expect_rect(cover_crop(1280, 720, 0, 0), 0, 0, 1280, 720);
    // Tiny source: at least 16 x 16, never a negative offset.
    expect_rect(cover_crop(8, 8, 1920, 1080), 0, 0, 16, 16);

    for (int sw : {1280, 1366, 1920, 1921}) {
        for (int bw : {400, 1080, 1440, 1920, 2000}) {
            PlaneRect c = cover_crop(sw, 1080, bw, 1080);
            SCOPED_TRACE(testing::Message() << sw << " in " << bw);
            EXPECT_EQ(c.x % 16, 0);
            EXPECT_EQ(c.y % 16, 0);
            EXPECT_EQ(c.w % 16, 0);
            EXPECT_EQ(c.h % 16, 0);
            EXPECT_LE(c.x + c.w, sw);
            EXPECT_LE(c.y + c.h, 1080);
            EXPECT_LE(std::abs((c.x + c.w / 2) - sw / 2), 24); // centred up to the 16-pixel steps
        }
    }
}

TEST(Placement, PlacePictureByAspectFitAndSidebar) {
    // Defaults (keep, fit): a 720p source fills a 1080p screen.
    Placement p = place_picture(1920, 1080, 0, "none", "keep", "fit", 1280, 720);
    expect_rect(p.dst, 0, 0, 1920, 1080);
    expect_rect(p.src, 0, 0, 1280, 720);
    p = place_picture(1920, 1080, 0, nullptr, nullptr, nullptr, 1280, 720);
    expect_rect(p.dst, 0, 0, 1920, 1080);

    // A 4:3 box: fit letterboxes inside it, stretch fills it, cover crops the source.
    p = place_picture(1920, 1080, 0, "none", "4:3", "fit", 1280, 720);
    expect_rect(p.dst, 240, 135, 1440, 810);
    p = place_picture(1920, 1080, 0, "none", "4:3", "stretch", 1280, 720);
    expect_rect(p.dst, 240, 0, 1440, 1080);
    expect_rect(p.src, 0, 0, 1280, 720);
    p = place_picture(1920, 1080, 0, "none", "4:3", "cover", 1280, 720);
    expect_rect(p.dst, 240, 0, 1440, 1080);
    expect_rect(p.src, 160, 0, 960, 720);
    p = place_picture(1920, 1080, 0, "none", "4:3", "zoom", 1280, 720); // unknown = fit
    expect_rect(p.dst, 240, 135, 1440, 810);

    // Portrait panel with a landscape source.
    p = place_picture(1080, 1920, 0, "none", "keep", "fit", 1280, 720);
    expect_rect(p.dst, 0, 656, 1080, 608);

    // Menu sidebar: 360 pixels on the left, or the video at the left edge when mirrored.
    p = place_picture(1920, 1080, 1, "none", "keep", "fit", 1920, 1080);
    expect_rect(p.dst, 360, 101, 1560, 878);
    p = place_picture(1920, 1080, 1, "h", "keep", "fit", 1920, 1080);
    expect_rect(p.dst, 0, 101, 1560, 878);
    p = place_picture(1920, 1080, 1, "180", "keep", "stretch", 1920, 1080);
    EXPECT_EQ(p.dst.x, 0);
    p = place_picture(1920, 1080, 1, "v", "keep", "fit", 1920, 1080);
    EXPECT_EQ(p.dst.x, 360);
}

TEST(Placement, OutputOverridesAndStandbyKey) {
    GeometrySettings s;
    s.aspect = "keep";
    s.fit = "fit";
    s.flip = "none";
    s.flip_dsi = "v";
    s.fit_dsi = ""; // set but empty: the global value stays
    s.telem_dsi = 1;

    OutputGeometry hdmi, dsi;
    EXPECT_EQ(resolve_output_geometry(0, s, &hdmi), 0);
    EXPECT_STREQ(hdmi.flip, "none");
    EXPECT_STREQ(hdmi.fit, "fit");
    EXPECT_EQ(hdmi.telem, 0);
    EXPECT_EQ(resolve_output_geometry(1, s, &dsi), 1);
    EXPECT_STREQ(dsi.flip, "v");
    EXPECT_STREQ(dsi.fit, "fit");
    EXPECT_STREQ(dsi.aspect, "keep");
    EXPECT_EQ(dsi.telem, 1);

    s.aspect_dsi = "16:9";
    s.fit_dsi = "cover";
    s.telem_dsi = 0;
    EXPECT_EQ(resolve_output_geometry(1, s, &dsi), 3);
    EXPECT_STREQ(dsi.aspect, "16:9");
    EXPECT_STREQ(dsi.fit, "cover");
    EXPECT_EQ(dsi.telem, 0);
    GeometrySettings none;
    none.aspect = "4:3";
    EXPECT_EQ(resolve_output_geometry(1, none, &dsi), 0);
    EXPECT_STREQ(dsi.aspect, "4:3");
    EXPECT_EQ(dsi.flip, nullptr);

    testing::internal::CaptureStderr();
    log_output_override(1, OutputGeometry{"keep", "fit", "v", 1});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vex-mpp: output 1 (DSI) aspect keep fit fit flip v (override)\n");

    char key[24];
    EXPECT_STREQ(standby_key_for(nullptr, nullptr, key, sizeof key), "none/fit");
    EXPECT_STREQ(standby_key_for("v", "fit", key, sizeof key), "v/fit");
    EXPECT_STREQ(standby_key_for("180", "cover", key, sizeof key), "180/cover");
    char big[64];
    standby_key_for("a-very-long-flip-value", "stretch", big, sizeof big);
    EXPECT_EQ(strlen(big), 23u);
    EXPECT_EQ(std::string(big), std::string("a-very-long-flip-value/stretch").substr(0, 23));
}
