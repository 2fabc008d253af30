#include "overlay/detect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "overlay/text.h"
#include "tests/unit/png_io.h"

namespace {

constexpr uint32_t box = 0xff36d399;

// Publishes n results and draws the table onto a transparent W x H picture.
TestImage draw(const Detection *d, int32_t n, int32_t W, int32_t H) {
    detect_publish(d, n);
    TestImage p{W, H, std::vector<uint32_t>((size_t)W * H, 0)};
    Detection copy[det_max];
    draw_detection_table((uint8_t *)p.px.data(), (uint32_t)W * 4, W, H, copy, detect_copy(copy));
    return p;
}

TEST(Detect, TableAndBoxes) {
    ASSERT_EQ(g_face, nullptr); // the bitmap font: the same pixels everywhere
    // Zero-sized, sub-pixel and garbled entries are skipped; no entries draw nothing.
    for (auto wh : {std::make_pair(0.0f, 0.2f), {0.2f, 0.0f}, {0.01f, 0.2f}, {NAN, 0.2f}}) {
        const Detection bad = {7, 0.9f, 0.1f, 0.5f, wh.first, wh.second};
        EXPECT_EQ(draw(&bad, 1, 64, 36).px, std::vector<uint32_t>(64 * 36, 0)) << wh.first;
    }
    EXPECT_EQ(draw(nullptr, 0, 64, 36).px, std::vector<uint32_t>(64 * 36, 0));
    // Of 80 results the first 50 are kept; a detector's count above 50 reads as 50.
    std::vector<Detection> many(80, Detection{0, 0.5f, 0.1f, 0.1f, 0.02f, 0.02f});
    for (int i = 0; i < 80; i++) many[i].tag = i;
    detect_publish(many.data(), 80);
    EXPECT_EQ(g_ndet, 50);
    pthread_mutex_lock(&g_det_lock), g_ndet = 80, pthread_mutex_unlock(&g_det_lock);
    Detection copy[det_max];
    EXPECT_EQ(detect_copy(copy), 50);
    EXPECT_EQ(copy[49].tag, 49);
    // 1920 x 1080: outlined 3 pixels thick at (480, 540), 192 x 216, labelled in a
    // 122 x 28 box from row 512 ("obj 87%" in the bitmap font at size 22, padded).
    const Detection d = {7, 0.87f, 0.25f, 0.5f, 0.1f, 0.2f};
    const TestImage q = draw(&d, 1, 1920, 1080);
    EXPECT_EQ((std::vector<uint32_t>{q.at(480, 540), q.at(482, 542), q.at(671, 755), q.at(480, 512),
                                     q.at(601, 539), q.at(483, 543), q.at(672, 600), q.at(600, 756),
                                     q.at(480, 511), q.at(602, 520)}),
              (std::vector<uint32_t>{box, box, box, box, box, 0, 0, 0, 0, 0}));
    // Small screens: thinner outlines, smaller labels; at the top edge the label inside.
    const Detection two[] = {{7, 0.87f, 0.1f, 0.3f, 0.3f, 0.4f},
                             {7, 0.42f, 0.55f, 0.0f, 0.35f, 0.5f}};
    const TestImage p = draw(two, 2, 640, 360);
    std::string why;
    EXPECT_TRUE(match_ref(image_from_canvas((const uint8_t *)p.px.data(), 640 * 4, 0, 0, 640, 300),
                          "detect_boxes_640x360.png", &why))
        << why;
    detect_publish(nullptr, 0);
}

} // namespace
