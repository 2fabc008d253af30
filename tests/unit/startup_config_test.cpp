#include <gtest/gtest.h>

#include <cstdlib>

#include "core/config.h"
#include "core/env.h"
#include "core/startup.h"
#include "stream/reader.h"

namespace {

TEST(Env, LenientNumbers) {
    EXPECT_EQ(parse_int_lenient("250ms"), 250);
    EXPECT_EQ(parse_int_lenient("abc"), 0);
    EXPECT_EQ(parse_int_lenient("-5"), -5);
    EXPECT_EQ(parse_int_lenient(""), 0);
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

TEST(Env, ReadSizeRange) {
    EXPECT_EQ(reader_read_size(nullptr), 24576);
    EXPECT_EQ(reader_read_size("1000"), 24576);
    EXPECT_EQ(reader_read_size("100000"), 24576);
    EXPECT_EQ(reader_read_size("4096"), 4096);
    EXPECT_EQ(reader_read_size("65536"), 65536);
    EXPECT_EQ(reader_read_size("4095"), 24576);
    EXPECT_EQ(reader_read_size("junk"), 24576);
}

TEST(Config, FlipRotationMatchesOnlyExactNames) {
    EXPECT_EQ(rot_value_for_flip("h"), 0x11u);
    EXPECT_EQ(rot_value_for_flip("v"), 0x21u);
    EXPECT_EQ(rot_value_for_flip("180"), 0x4u);
    EXPECT_EQ(rot_value_for_flip("hh"), 0u);
    EXPECT_EQ(rot_value_for_flip("H"), 0u);
    EXPECT_EQ(rot_value_for_flip("none"), 0u);
    EXPECT_EQ(rot_value_for_flip(nullptr), 0u);
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
    int expect[] = {500, 1000, 1500, 2000, 2500, 3000, 3500, 4000, 4500, 5000, 5000, 5000};
    for (int i = 0; i < 12; i++) EXPECT_EQ(display_retry_delay_ms(i + 1), expect[i]) << i;
}

} // namespace
