#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "display/output.h"
#include "display/standby.h"
#include "tests/unit/png_io.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr uint32_t red = 0xffff0000, blue = 0xff0000ff;

// A flat grey 64 x 64 JPEG.
bool write_jpeg(const std::string &path) {
    AVCodecContext *c = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_MJPEG));
    AVFrame *f = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    c->width = f->width = c->height = f->height = 64;
    c->pix_fmt = AV_PIX_FMT_YUVJ420P, f->format = c->pix_fmt, c->time_base = {1, 25};
    bool ok = avcodec_open2(c, c->codec, nullptr) == 0 && av_frame_get_buffer(f, 0) == 0;
    for (int p = 0; ok && p < 3; p++)
        memset(f->data[p], p ? 128 : 200, f->linesize[p] * (64 >> !!p));
    ok = ok && avcodec_send_frame(c, f) == 0 && avcodec_receive_packet(c, pkt) == 0;
    ok = ok && std::ofstream(path).write((const char *)pkt->data, pkt->size).good();
    av_packet_free(&pkt), av_frame_free(&f), avcodec_free_context(&c);
    return ok;
}

// A directory of our own, also the simulated board's run directory.
const std::string dir = testing::TempDir() + "vex-standby-test." + std::to_string(getpid());

// Paints the standby picture; returns the log less its common start and pixel format.
std::string load(TestImage &s, const char *fit) {
    testing::internal::CaptureStderr();
    load_standby((uint8_t *)s.px.data(), (uint32_t)s.w * 4, s.w, s.h, fit);
    const std::string log = testing::internal::GetCapturedStderr();
    return std::regex_replace(log, std::regex("vex-mpp: standby " + dir + "/| fmt [0-9]+"), "");
}

TEST(Standby, PicturesFailuresAndRepaint) {
    ASSERT_EQ(system(("mkdir -p '" + dir + "'").c_str()), 0);
    setenv("VEX_SIM_DIR", (dir + "/run").c_str(), 1);
    auto use = [&](const char *name) { // as the standby picture
        setenv("VEX_KMS_STANDBY", (dir + "/" + name).c_str(), 1);
        return dir + "/" + name;
    };
    // Letterboxed over black bars (cover is not applied), the old contents gone.
    TestImage t{320, 200, std::vector<uint32_t>(320 * 200, 0xff777777)};
    TestImage pic{32, 18, {}};
    for (int i = 0; i < 32 * 18; i++) pic.px.push_back(i % 32 < 16 ? red : blue);
    ASSERT_TRUE(png_write(use("pic.png"), pic));
    EXPECT_EQ(load(t, "cover"), "pic.png: 32x18 → 320x180 at 0,10 (fit cover), 180 rows painted\n");
    EXPECT_EQ((std::vector<uint32_t>{t.at(0, 9), t.at(0, 10), t.at(319, 189), t.at(0, 190)}),
              (std::vector<uint32_t>{0, red, blue, 0}));
    // A JPEG is known by its bytes, whatever the name.
    ASSERT_TRUE(write_jpeg(use("s.png")));
    EXPECT_EQ(load(t, nullptr), "s.png: 64x64 → 200x200 at 60,0 (fit fit), 200 rows painted\n");
    for (int shift : {0, 8, 16}) EXPECT_NEAR((int)((t.at(160, 100) >> shift) & 0xff), 200, 3);
    // Failures leave the buffer black, whatever it held.
    const std::vector<uint32_t> black(320 * 200, 0);
    std::ofstream(use("empty.png"));
    std::fill(t.px.begin(), t.px.end(), 0x123456);
    EXPECT_EQ(load(t, nullptr), "empty.png: empty file\n");
    EXPECT_EQ(t.px, black);
    use("missing.png");
    std::fill(t.px.begin(), t.px.end(), 0x123456);
    EXPECT_EQ(load(t, nullptr), "missing.png: open failed: No such file or directory\n");
    EXPECT_EQ(t.px, black);
    std::ofstream(use("junk.png")) << "not a picture at all";
    std::fill(t.px.begin(), t.px.end(), 0x123456);
    EXPECT_NE(load(t, nullptr).find(": decode failed (send="), std::string::npos);
    EXPECT_EQ(t.px, black);
    // Repainted for the output's flip and fit (stretched: no bars), remembered in its key.
    use("pic.png");
    Output &o = outs[0] = Output{};
    nout = 1, o.mode.hdisplay = 64, o.mode.vdisplay = 48;
    o.standby_map = (uint8_t *)t.px.data(), o.standby_pitch = 64 * 4;
    auto repaint = [&](const char *flip, const char *fit) {
        o.flip = flip, o.fit = fit;
        testing::internal::CaptureStderr();
        repaint_standby(&o);
        testing::internal::GetCapturedStderr();
        return std::make_tuple(std::string(o.standby_key), t.px[0], t.px[64 * 24]);
    };
    EXPECT_EQ(repaint("180", "stretch"), std::make_tuple(std::string("180/stretch"), blue, blue));
    EXPECT_EQ(repaint(nullptr, nullptr), std::make_tuple(std::string("none/fit"), 0u, red));
    o.standby_map = nullptr; // nothing to paint: nothing happens
    EXPECT_EQ(repaint("h", nullptr), std::make_tuple(std::string("none/fit"), 0u, red));
    // A mirrored output whose picture went missing: black, not the last
    // painting mirrored back.
    o.standby_map = (uint8_t *)t.px.data();
    EXPECT_EQ(repaint("h", nullptr), std::make_tuple(std::string("h/fit"), 0u, blue));
    use("missing.png");
    EXPECT_EQ(repaint("h", nullptr), std::make_tuple(std::string("h/fit"), 0u, 0u));
    nout = 0, o = Output{};
    unsetenv("VEX_KMS_STANDBY"), unsetenv("VEX_SIM_DIR");
    EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
}

} // namespace
