#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "display/output.h"
#include "display/standby.h"
#include "overlay/menu.h"
#include "tests/unit/png_io.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr uint32_t red = 0xffff0000, blue = 0xff0000ff;

// A private directory for the pictures, also the simulated board's run directory.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vex-standby-test.XXXXXX";
        path = mkdtemp(tmpl);
        setenv("VEX_SIM_DIR", (path + "/run").c_str(), 1);
    }
    ~TempDir() {
        unsetenv("VEX_KMS_STANDBY");
        unsetenv("VEX_SIM_DIR");
        if (system(("rm -rf '" + path + "'").c_str()) != 0) ADD_FAILURE() << "rm " << path;
    }
    std::string use(const char *name) const {
        std::string p = path + "/" + name;
        setenv("VEX_KMS_STANDBY", p.c_str(), 1);
        return p;
    }
};

// A w x h PNG, left half `left`, right half `right`.
bool write_png(const std::string &path, int w, int h, uint32_t left, uint32_t right) {
    TestImage img;
    img.w = w;
    img.h = h;
    for (int i = 0; i < w * h; i++) img.px.push_back(i % w < w / 2 ? left : right);
    return png_write(path, img);
}

// A flat grey w x h JPEG.
bool write_jpeg(const std::string &path, int w, int h, uint8_t luma) {
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    AVFrame *fr = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    ctx->width = fr->width = w;
    ctx->height = fr->height = h;
    ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
    fr->format = AV_PIX_FMT_YUVJ420P;
    ctx->time_base = {1, 25};
    bool ok = avcodec_open2(ctx, codec, nullptr) == 0 && av_frame_get_buffer(fr, 0) == 0;
    for (int p = 0; ok && p < 3; p++)
        memset(fr->data[p], p ? 128 : luma, (size_t)fr->linesize[p] * (p ? h / 2 : h));
    ok = ok && avcodec_send_frame(ctx, fr) == 0 && avcodec_receive_packet(ctx, pkt) == 0;
    FILE *f = ok ? fopen(path.c_str(), "wb") : nullptr;
    ok = f && fwrite(pkt->data, 1, pkt->size, f) == (size_t)pkt->size;
    if (f) fclose(f);
    av_packet_free(&pkt);
    av_frame_free(&fr);
    avcodec_free_context(&ctx);
    return ok;
}

struct Screen {
    int32_t w, h;
    std::vector<uint32_t> px;
    Screen(int32_t sw, int32_t sh, uint32_t c = 0) : w(sw), h(sh), px((size_t)sw * sh, c) {}
    uint8_t *data() { return (uint8_t *)px.data(); }
    uint32_t at(int x, int y) const { return px[(size_t)y * w + x]; }
    // Paints the picture; returns what was logged.
    std::string load(const char *fit) {
        testing::internal::CaptureStderr();
        load_standby(data(), (uint32_t)w * 4, w, h, fit);
        return testing::internal::GetCapturedStderr();
    }
};

bool has(const std::string &log, const std::string &part) {
    return log.find(part) != std::string::npos;
}

TEST(Standby, LetterboxedPng) {
    int32_t x, y, w, h;
    standby_dest(1920, 1080, 640, 480, "cover", &x, &y, &w, &h); // cover is not applied
    EXPECT_EQ((std::vector<int32_t>{x, y, w, h}), (std::vector<int32_t>{240, 0, 1440, 1080}));
    standby_dest(1920, 1080, 640, 480, "stretch", &x, &y, &w, &h);
    EXPECT_EQ((std::vector<int32_t>{x, y, w, h}), (std::vector<int32_t>{0, 0, 1920, 1080}));

    TempDir dir;
    std::string path = dir.use("pic.png");
    ASSERT_TRUE(write_png(path, 64, 48, red, red));
    Screen s(1920, 1080, 0xff777777);
    std::string log = s.load("fit");
    EXPECT_TRUE(has(log, "vex-mpp: standby " + path + ": 64x48 fmt ")) << log;
    EXPECT_TRUE(has(log, " → 1440x1080 at 240,0 (fit fit), 1080 rows painted\n")) << log;
    EXPECT_EQ(s.at(239, 540), 0u); // black bars, the old contents gone
    EXPECT_EQ(s.at(1680, 0), 0u);
    EXPECT_EQ(s.at(240, 0), red);
    EXPECT_EQ(s.at(1679, 1079), red);
    EXPECT_TRUE(has(s.load("stretch"), " → 1920x1080 at 0,0 (fit stretch)"));
    EXPECT_EQ(s.at(0, 0), red);
    EXPECT_TRUE(has(s.load(nullptr), "(fit fit)"));
}

TEST(Standby, JpegByItsBytesAndFailures) {
    TempDir dir;
    ASSERT_TRUE(write_jpeg(dir.use("standby.png"), 64, 64, 200));
    Screen s(320, 200);
    std::string log = s.load(nullptr);
    EXPECT_TRUE(has(log, ": 64x64 fmt ")) << log;
    EXPECT_TRUE(has(log, " → 200x200 at 60,0 (fit fit), 200 rows painted")) << log;
    for (int shift : {0, 8, 16}) EXPECT_NEAR((int)((s.at(160, 100) >> shift) & 0xff), 200, 3);

    // Failures leave the buffer as it was.
    std::fill(s.px.begin(), s.px.end(), 0x123456);
    fclose(fopen(dir.use("empty.png").c_str(), "w"));
    EXPECT_EQ(s.load(nullptr), "vex-mpp: standby " + dir.path + "/empty.png: empty file\n");
    std::string missing = dir.use("missing.png");
    EXPECT_EQ(s.load(nullptr),
              "vex-mpp: standby " + missing + ": open failed: No such file or directory\n");
    FILE *f = fopen(dir.use("junk.png").c_str(), "w");
    fputs("not a picture at all", f);
    fclose(f);
    EXPECT_TRUE(has(s.load(nullptr), ": decode failed (send="));
    EXPECT_EQ(s.at(0, 0), 0x123456u);
    EXPECT_EQ(s.at(319, 199), 0x123456u);
}

TEST(Standby, RepaintFlipsKeysAndSidebar) {
    TempDir dir;
    ASSERT_TRUE(write_png(dir.use("pic.png"), 32, 18, red, blue));
    Screen s(64, 36);
    nout = 1;
    Output &o = outs[0];
    o = Output{};
    o.mode.hdisplay = 64;
    o.mode.vdisplay = 36;
    o.standby_map = s.data();
    o.standby_pitch = 64 * 4;
    auto repaint = [&](const char *flip, const char *fit) {
        o.flip = flip;
        o.fit = fit;
        testing::internal::CaptureStderr();
        repaint_standby(&o);
        testing::internal::GetCapturedStderr();
    };
    repaint("180", "stretch");
    EXPECT_STREQ(o.standby_key, "180/stretch");
    EXPECT_EQ(s.at(0, 0), blue); // rotated: the right half now on the left
    EXPECT_EQ(s.at(63, 35), red);
    repaint(nullptr, nullptr);
    EXPECT_STREQ(o.standby_key, "none/fit");
    EXPECT_EQ(s.at(0, 0), red);

    // Without an overlay plane the open menu is drawn again over the picture.
    o.menu_sidebar = 1;
    g_menu.open = 1;
    repaint(nullptr, nullptr);
    EXPECT_EQ(s.at(0, 0), 0xf20c0e13u);
    g_menu = MenuState{};

    o.standby_map = nullptr; // nothing to paint: nothing happens
    repaint("h", nullptr);
    EXPECT_STREQ(o.standby_key, "none/fit");
    o = Output{};
    nout = 0;
}

TEST(Standby, SimulatedBoardShipsAPicture) {
    TempDir dir;
    Screen s(1280, 720);
    std::string log = s.load(nullptr);
    EXPECT_TRUE(has(log, "vex-mpp: standby /opt/vex-fpv/standby.png: 480x270 fmt ")) << log;
    EXPECT_TRUE(has(log, " → 1280x720 at 0,0 (fit fit), 720 rows painted")) << log;
}

} // namespace
