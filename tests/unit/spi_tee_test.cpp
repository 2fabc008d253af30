// The SPI tee's pure rules: the panel setting, the live copy's viewport, the
// standby fit, RGB565 packing and the strip's blend over the frame.
#include "spi/spi_tee.h"

#include <gtest/gtest.h>

#include <vector>

TEST(SpiTeeRules, SettingsViewportAndPacking) {
    int w = 0, h = 0;
    EXPECT_TRUE(spi_tee_parse_size("320x240", &w, &h));
    EXPECT_EQ(w * 1000 + h, 320240);
    EXPECT_TRUE(spi_tee_parse_size("1024x1", &w, &h));
    for (const char *bad : {"0x240", "2000x100", "320", "x240", "", "320x0"})
        EXPECT_FALSE(spi_tee_parse_size(bad, &w, &h)) << bad;
    EXPECT_FALSE(spi_tee_parse_size(nullptr, &w, &h));
    EXPECT_EQ((std::vector<bool>{spi_tee_fit_mode("fit"), spi_tee_fit_mode("off"),
                                 spi_tee_fit_mode("fill"), spi_tee_fit_mode(nullptr)}),
              (std::vector<bool>{true, true, false, false}));
    EXPECT_NEAR(spi_tee_interval(nullptr), 0.047, 1e-9);
    EXPECT_EQ(spi_tee_interval("0"), 0.0);
    EXPECT_EQ(spi_tee_interval("-5"), 0.0);
    EXPECT_NEAR(spi_tee_interval("10"), 0.097, 1e-9);

    // 1920x1080 on 320x240: fill crops, fit letterboxes.
    SpiViewport v = spi_tee_viewport(320, 240, 1920, 1080, false);
    EXPECT_EQ((std::vector<int>{v.x, v.y, v.w, v.h}), (std::vector<int>{-53, 0, 427, 240}));
    v = spi_tee_viewport(320, 240, 1920, 1080, true);
    EXPECT_EQ((std::vector<int>{v.x, v.y, v.w, v.h}), (std::vector<int>{0, 30, 320, 180}));
    // Standby 1920x1080 on 240x240: 240x134 (135 made even).
    spi_tee_standby_size(240, 240, 1920, 1080, &w, &h);
    EXPECT_EQ(w * 1000 + h, 240134);
    spi_tee_standby_size(1, 1, 1920, 1080, &w, &h); // nothing even fits: W, H made even
    EXPECT_EQ(w * 1000 + h, 0);

    const uint8_t rgba[8] = {0, 0xFC, 0, 9, 0, 0, 0xF8, 0};
    uint16_t out[2];
    spi_rgba_to_rgb565(rgba, out, 2);
    EXPECT_EQ((std::vector<int>{rgb565(255, 255, 255), rgb565(7, 3, 7), rgb565(0xF8, 0, 0), out[0],
                                out[1]}),
              (std::vector<int>{0xFFFF, 0, 0xF800, 0x07E0, 0x001F}));
}

TEST(SpiTeeRules, StripBlendsOverTheFrame) {
    // Two rows of a 2-wide frame; the strip has one row: opaque white,
    // transparent, then nothing below it.
    uint16_t frame[4] = {0x0000, 0x1234, 0xF800, 0xF800};
    const uint32_t strip[2] = {0xFFFFFFFFu, 0x00FFFFFFu};
    spi_strip_composite(strip, 1, frame, 2);
    EXPECT_EQ((std::vector<int>{frame[0], frame[1], frame[2]}),
              (std::vector<int>{0xFFFF, 0x1234, 0xF800}));
    // Half-transparent black over red: (0 * 0x80 + 248 * 127) / 255 = 123 -> 0x78 >> 3.
    const uint32_t dark[2] = {0x80000000u, 0x80000000u};
    spi_strip_composite(dark, 1, frame + 2, 2);
    EXPECT_EQ(frame[2], rgb565(123, 0, 0));
}
