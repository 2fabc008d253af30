// Frame stamps as the simulated card reads them from framebuffers.
#include "sim/kms_stamp.h"
#include "sim/kms_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <drm_fourcc.h>
#include <vector>

namespace {

// An NV12 framebuffer over `mem` (luma then chroma, both `pitch` wide).
struct Nv12 {
    std::vector<uint8_t> mem;
    KmsBo bo;
    KmsFb fb;
    Nv12(int w, int h, int pitch) : mem((size_t)pitch * h * 3 / 2, 16) {
        memset(mem.data() + (size_t)pitch * h, 128, (size_t)pitch * h / 2);
        bo.map = mem.data();
        bo.size = mem.size();
        fb.width = (uint32_t)w, fb.height = (uint32_t)h, fb.format = DRM_FORMAT_NV12;
        fb.modifier = DRM_FORMAT_MOD_LINEAR;
        fb.pitches[0] = fb.pitches[1] = (uint32_t)pitch;
        fb.offsets[1] = (uint32_t)(pitch * h);
        fb.bo[0] = fb.bo[1] = &bo;
    }
    uint8_t *luma() { return mem.data(); }
};

} // namespace

TEST(SimStamp, ReadFromNv12AndRgbFramebuffers) {
    for (long n : {0L, 1L, 119L, 1199L, 0x5a5a5L, kms_stamp_max}) {
        Nv12 f(1280, 720, 1280);
        kms_stamp_paint(f.luma(), 1280, 1280, 720, n);
        EXPECT_EQ(kms_stamp_read(f.fb), n);
    }
    // A narrower picture with a padded pitch, and coding noise on the levels.
    Nv12 f(640, 360, 704);
    kms_stamp_paint(f.luma(), 704, 640, 360, 4242);
    for (size_t i = 0; i < (size_t)704 * 30; i++) f.luma()[i] += (uint8_t)(i % 7) - 3;
    EXPECT_EQ(kms_stamp_read(f.fb), 4242);

    // XRGB8888 and XBGR8888 from the same luma: white and black pixels.
    Nv12 src(768, 64, 768);
    kms_stamp_paint(src.luma(), 768, 768, 64, 777);
    for (uint32_t fmt : {DRM_FORMAT_XRGB8888, DRM_FORMAT_XBGR8888}) {
        std::vector<uint8_t> px((size_t)768 * 4 * 64);
        for (size_t i = 0; i < (size_t)768 * 64; i++) {
            uint8_t v = src.luma()[i] > 128 ? 255 : 0;
            px[i * 4] = px[i * 4 + 1] = px[i * 4 + 2] = v;
        }
        KmsBo bo;
        bo.map = px.data();
        bo.size = px.size();
        KmsFb fb;
        fb.width = 768, fb.height = 64, fb.format = fmt, fb.modifier = DRM_FORMAT_MOD_LINEAR;
        fb.pitches[0] = 768 * 4;
        fb.bo[0] = &bo;
        EXPECT_EQ(kms_stamp_read(fb), 777);
    }
}

TEST(SimStamp, PicturesWithoutAStampReadAsNone) {
    Nv12 f(1280, 720, 1280);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "black";
    memset(f.luma(), 235, 1280 * 720);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "white";

    // A wrong parity cell, a grey cell, a cell half black half white.
    const int side = 1280 / kms_stamp_cells;
    auto fill_cell = [&](int k, int y0, int y1, uint8_t v) {
        for (int y = y0; y < y1; y++) memset(f.luma() + y * 1280 + k * side + 1, v, side - 2);
    };
    kms_stamp_paint(f.luma(), 1280, 1280, 720, 1000);
    ASSERT_EQ(kms_stamp_read(f.fb), 1000);
    fill_cell(22, 0, side, kms_stamp_cell(1000, 22) ? 16 : 235);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "parity";
    kms_stamp_paint(f.luma(), 1280, 1280, 720, 1000);
    fill_cell(5, 0, side, 128);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "grey";
    kms_stamp_paint(f.luma(), 1280, 1280, 720, 1000);
    fill_cell(9, side / 2, side, kms_stamp_cell(1000, 9) ? 16 : 235);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "split cell";
    kms_stamp_paint(f.luma(), 1280, 1280, 720, 1000);
    fill_cell(0, 0, side, 16);
    EXPECT_EQ(kms_stamp_read(f.fb), -1) << "no start cell";

    // Too narrow for 16-pixel cells, a tiled buffer, a band past the buffer's end.
    Nv12 small(320, 240, 320);
    kms_stamp_paint(small.luma(), 320, 320, 240, 5);
    EXPECT_EQ(kms_stamp_read(small.fb), -1);
    kms_stamp_paint(f.luma(), 1280, 1280, 720, 5);
    f.fb.modifier = DRM_FORMAT_MOD_ARM_AFBC(AFBC_FORMAT_MOD_BLOCK_SIZE_16x16);
    EXPECT_EQ(kms_stamp_read(f.fb), -1);
    f.fb.modifier = DRM_FORMAT_MOD_LINEAR;
    f.bo.size = 1280 * 10;
    EXPECT_EQ(kms_stamp_read(f.fb), -1);
}
