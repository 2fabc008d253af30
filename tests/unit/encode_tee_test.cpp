// The encode tee's settings: encoder frame rate and hand-off interval.
#include "gpu/encode_tee.h"

#include <gtest/gtest.h>

TEST(EncodeTeeRules, FrameRateAndHandOffInterval) {
    EXPECT_EQ(enc_frame_rate(nullptr, nullptr), 30);
    EXPECT_EQ(enc_frame_rate("60", "50"), 50); // the display cap lowers the encoder rate
    EXPECT_EQ(enc_frame_rate("25", "50"), 25);
    EXPECT_EQ(enc_frame_rate("0", nullptr), 30);
    EXPECT_EQ(enc_frame_rate("-5", "0"), 30);
    EXPECT_EQ(enc_frame_rate("abc", "24"), 24);
    EXPECT_NEAR(enc_handoff_interval(nullptr), 1.0 / 30 - 0.003, 1e-9);
    EXPECT_NEAR(enc_handoff_interval("60"), 1.0 / 60 - 0.003, 1e-9); // not lowered by a display cap
    EXPECT_EQ(enc_handoff_interval("0"), 0.0);
    EXPECT_EQ(enc_handoff_interval("-1"), 0.0);
}
