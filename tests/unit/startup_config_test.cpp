#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "core/config.h"
#include "core/env.h"
#include "core/startup.h"
#include "stream/reader.h"

namespace {

TEST(Env, LenientNumbers) {
    EXPECT_EQ((std::vector<long>{parse_int_lenient("250ms"), parse_int_lenient("abc"),
                                 parse_int_lenient("-5"), parse_int_lenient("")}),
              (std::vector<long>{250, 0, -5, 0}));
    EXPECT_FLOAT_EQ(parse_float_lenient("-0.25x"), -0.25f);
    EXPECT_FLOAT_EQ(parse_float_lenient("x"), 0.0f);

    // A float variable is read whenever it is set: empty reads as 0.
    setenv("VEX_TEST_FLOAT", "", 1);
    EXPECT_FLOAT_EQ(env_float_or("VEX_TEST_FLOAT", 1.5f), 0.0f);
    unsetenv("VEX_TEST_FLOAT");
    EXPECT_FLOAT_EQ(env_float_or("VEX_TEST_FLOAT", 1.5f), 1.5f);
    // An integer variable only when non-empty.
    setenv("VEX_TEST_INT", "", 1);
    EXPECT_EQ(env_int_or("VEX_TEST_INT", 3000), 3000);
    setenv("VEX_TEST_INT", "0", 1);
    EXPECT_EQ(env_int_or("VEX_TEST_INT", 3000), 0);
    unsetenv("VEX_TEST_INT");
}

TEST(Env, ReadSizeRangeAndFlipRotation) {
    // Outside 4096..65536, or not a number: the default.
    std::vector<int> sizes;
    for (const char *v : {(const char *)nullptr, "4095", "4096", "65536", "100000", "junk"})
        sizes.push_back(reader_read_size(v));
    EXPECT_EQ(sizes, (std::vector<int>{24576, 24576, 4096, 65536, 24576, 24576}));
    // The plane rotation property for a flip: exact names only.
    std::vector<uint32_t> rot;
    for (const char *f : {"h", "v", "180", "hh", "H", "none", (const char *)nullptr})
        rot.push_back(rot_value_for_flip(f));
    EXPECT_EQ(rot, (std::vector<uint32_t>{0x11, 0x21, 0x4, 0, 0, 0, 0}));
}

TEST(Config, LutSwitchesTheGradeOnAndSwitchesParse) {
    setenv("VEX_KMS_CG_ENABLE", "0", 1);
    setenv("VEX_KMS_LUT", "/x/film.cube", 1);
    setenv("VEX_KMS_DEWARP_K1", "", 1);
    config_read_gpu();
    EXPECT_EQ(g_colorgrade, 1);
    EXPECT_STREQ(g_lut_path, "/x/film.cube");
    EXPECT_FLOAT_EQ(g_dw_k1, 0.0f);
    unsetenv("VEX_KMS_CG_ENABLE");
    unsetenv("VEX_KMS_LUT");
    unsetenv("VEX_KMS_DEWARP_K1");

    // An empty VEX_SMOOTH keeps vblank pacing; "0" switches it off.
    setenv("VEX_SMOOTH", "", 1);
    config_read_switches();
    EXPECT_EQ(g_smooth, 1);
    setenv("VEX_SMOOTH", "0", 1);
    config_read_switches();
    EXPECT_EQ(g_smooth, 0);
    unsetenv("VEX_SMOOTH");

    // The filter follows the variable either way, whatever the mode said.
    g_antiflicker = 1;
    setenv("VEX_KMS_ANTIFLICKER", "0", 1);
    config_read_switches();
    EXPECT_EQ(g_antiflicker, 0);
    setenv("VEX_KMS_ANTIFLICKER", "1", 1);
    config_read_switches();
    EXPECT_EQ(g_antiflicker, 1);
    unsetenv("VEX_KMS_ANTIFLICKER");
}

TEST(Startup, DisplayRetryBacksOffToFiveSeconds) {
    for (int i = 1; i <= 12; i++) EXPECT_EQ(display_retry_delay_ms(i), std::min(i, 10) * 500) << i;
}

} // namespace
