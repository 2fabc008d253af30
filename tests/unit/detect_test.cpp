#include "overlay/detect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "overlay/hud.h"
#include "overlay/text.h"
#include "tests/unit/png_io.h"

namespace {

constexpr uint32_t box = 0xff36d399;

struct Picture {
    int32_t w, h;
    std::vector<uint32_t> px;
    Picture(int32_t pw, int32_t ph) : w(pw), h(ph), px((size_t)pw * ph, 0) {}
    uint32_t at(int32_t x, int32_t y) const { return px[(size_t)y * w + x]; }
    void draw() {
        Detection copy[det_max];
        int32_t n = detect_copy(copy);
        draw_detection_table((uint8_t *)px.data(), (uint32_t)w * 4, w, h, copy, n);
    }
    bool blank() const { return px == std::vector<uint32_t>(px.size(), 0); }
};

Detection entry(float score, float x, float y, float w, float h) {
    return Detection{7, score, x, y, w, h};
}

TEST(Detect, TableLimits) {
    Picture p(640, 360);
    detect_publish(nullptr, 0);
    p.draw();
    EXPECT_TRUE(p.blank()); // an empty table draws nothing

    // A zero-sized, a sub-pixel and a garbled entry are skipped.
    const Detection skipped[] = {
        entry(0.9f, 0.1f, 0.5f, 0.0f, 0.2f), entry(0.9f, 0.1f, 0.5f, 0.2f, 0.0f),
        entry(0.9f, 0.1f, 0.5f, 0.001f, 0.2f), entry(0.9f, 0.1f, 0.5f, NAN, 0.2f)};
    detect_publish(skipped, 4);
    p.draw();
    EXPECT_TRUE(p.blank());

    // Of 80 published results the first 50 are kept and drawn; a detector's
    // count above 50 is read as 50.
    std::vector<Detection> many;
    for (int i = 0; i < 80; i++)
        many.push_back(entry(0.5f, (i % 10) * 0.1f, 0.1f + (i / 10) * 0.1f, 0.02f, 0.02f));
    detect_publish(many.data(), 80);
    EXPECT_EQ(g_ndet, 50);
    pthread_mutex_lock(&g_det_lock);
    g_ndet = 80;
    pthread_mutex_unlock(&g_det_lock);
    Detection copy[det_max];
    EXPECT_EQ(detect_copy(copy), 50);
    auto drawn = [&](int i) { // the outline's top-left pixel of entry i
        return p.at((int32_t)(640 * many[i].x), (int32_t)(360 * many[i].y)) == box;
    };
    p.draw();
    EXPECT_TRUE(drawn(0));
    EXPECT_TRUE(drawn(49));
    EXPECT_FALSE(drawn(50));
    detect_publish(nullptr, 0);
}

TEST(Detect, BoxAndLabelGeometry) {
    ASSERT_EQ(g_face, nullptr); // bitmap font: "obj 87%" is 7 x 16 pixels wide at size 22
    // 1920 x 1080: outlined 3 pixels thick at (480, 540), 192 x 216, labelled
    // in a 28-pixel box from row 512.
    const Detection d = entry(0.87f, 0.25f, 0.5f, 0.1f, 0.2f);
    detect_publish(&d, 1);
    Picture p(1920, 1080);
    p.draw();
    EXPECT_EQ((std::vector<uint32_t>{p.at(480, 540), p.at(482, 542), p.at(671, 755)}),
              (std::vector<uint32_t>{box, box, box}));
    EXPECT_EQ((std::vector<uint32_t>{p.at(483, 543), p.at(672, 600), p.at(600, 756)}),
              (std::vector<uint32_t>{0, 0, 0}));
    const int32_t label_w = ft_text_w("obj 87%", 22) + 10;
    EXPECT_EQ((std::vector<uint32_t>{p.at(480, 512), p.at(480 + label_w - 1, 539)}),
              (std::vector<uint32_t>{box, box}));
    EXPECT_EQ((std::vector<uint32_t>{p.at(480, 511), p.at(480 + label_w, 520)}),
              (std::vector<uint32_t>{0, 0}));

    // At the top edge the label goes inside the box, 2 rows down; small
    // canvases use a thinner outline and a smaller label.
    const Detection top = entry(0.5f, 0.5f, 0.0f, 0.25f, 0.25f);
    detect_publish(&top, 1);
    Picture s(640, 360);
    s.draw();
    EXPECT_EQ((std::vector<uint32_t>{s.at(330, 1), s.at(330, 2), s.at(330, 2 + 23), s.at(330, 26)}),
              (std::vector<uint32_t>{box, box, box, 0}));
    detect_publish(nullptr, 0);
}

TEST(Detect, ReferencePicture) {
    ASSERT_EQ(g_face, nullptr);
    const Detection d[] = {entry(0.87f, 0.1f, 0.3f, 0.3f, 0.4f),
                           entry(0.42f, 0.55f, 0.0f, 0.35f, 0.5f)};
    detect_publish(d, 2);
    Picture p(640, 360);
    p.draw();
    std::string why;
    EXPECT_TRUE(match_ref(image_from_canvas((uint8_t *)p.px.data(), 640 * 4, 0, 0, 640, 300),
                          "detect_boxes_640x360.png", &why))
        << why;
    detect_publish(nullptr, 0);
}

} // namespace
