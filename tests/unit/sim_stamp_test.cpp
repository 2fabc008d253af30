// Frame stamps as the simulated card reads them: where painted, and nowhere else.
#include "sim/kms_stamp.h"
#include "sim/kms_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <drm_fourcc.h>
#include <vector>

// A linear NV12 framebuffer, black, over memory of its own (luma and chroma `pitch` wide).
struct Fb {
    std::vector<uint8_t> mem;
    KmsBo bo;
    KmsFb fb;
    Fb(int w, int h, int pitch) : mem((size_t)pitch * h * 3 / 2, 16) {
        bo.map = mem.data(), bo.size = mem.size();
        fb.width = (uint32_t)w, fb.height = (uint32_t)h, fb.format = DRM_FORMAT_NV12;
        fb.pitches[0] = fb.pitches[1] = (uint32_t)pitch, fb.offsets[1] = (uint32_t)(pitch * h);
        fb.bo[0] = fb.bo[1] = &bo;
    }
    uint8_t *paint(long n) {
        kms_stamp_paint(mem.data(), (int)fb.pitches[0], (int)fb.width, (int)fb.height, n);
        return mem.data();
    }
};

TEST(SimStamp, ReadWherePaintedAndNoneOtherwise) {
    // A padded pitch, all bits set, and coding noise on the levels.
    Fb p(640, 360, 704);
    uint8_t *luma = p.paint(kms_stamp_max);
    for (size_t i = 0; i < (size_t)704 * 30; i++) luma[i] += (uint8_t)(i % 7) - 3;
    EXPECT_EQ(kms_stamp_read(p.fb), kms_stamp_max);

    Fb f(1280, 720, 1280);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "black";
    memset(f.mem.data(), 235, 1280 * 720);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "white";
    // Cell k spoilt in rows y0..y1 (-1: the opposite value): parity, grey, split, no start cell.
    const int side = 1280 / kms_stamp_cells;
    const int spoilt[][4] = {
        {22, 0, side, -1}, {5, 0, side, 128}, {9, side / 2, side, -1}, {0, 0, side, 16}};
    for (const auto &s : spoilt) {
        luma = f.paint(1000);
        ASSERT_EQ(kms_stamp_read(f.fb), 1000);
        const int v = s[3] >= 0 ? s[3] : kms_stamp_cell(1000, s[0]) ? 16 : 235;
        for (int y = s[1]; y < s[2]; y++) memset(luma + y * 1280 + s[0] * side + 1, v, side - 2);
        EXPECT_EQ(kms_stamp_read(f.fb), -1) << "cell " << s[0];
    }
    // Too narrow for 16-pixel cells, a tiled buffer, a band past the buffer's end.
    Fb small(320, 240, 320);
    small.paint(5);
    EXPECT_EQ(kms_stamp_read(small.fb), -1);
    f.paint(5);
    f.fb.modifier = DRM_FORMAT_MOD_ARM_AFBC(AFBC_FORMAT_MOD_BLOCK_SIZE_16x16);
    EXPECT_EQ(kms_stamp_read(f.fb), -1);
    f.fb.modifier = DRM_FORMAT_MOD_LINEAR;
    f.bo.size = 1280 * 10;
    EXPECT_EQ(kms_stamp_read(f.fb), -1);
}
