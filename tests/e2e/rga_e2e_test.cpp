// End-to-end runs of the RGA engine's uses on the simulated board: the flip
// ring (a flip without the GPU pass) and the panel path (outputs whose video
// goes on a primary plane that cannot scale), with the engine's fault knobs.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>

namespace {

using Args = std::vector<std::string>;

const char *const kStream = "h264_stamped_720p60_short.h264"; // 1280x720, stamped
const std::string kTwoPanels = std::string(VEX_TEST_BOARDS) + "/two-panels.board";
// No EGL display opens: the GPU pass is off, and a flip falls to the RGA engine.
const std::pair<std::string, std::string> kNoGpu{"__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent"};

struct Played {
    SimRunResult r;
    long long shown = -1; // frames presented
};

// Plays the first `count` access units unpaced and checks that the run ended
// normally with every frame decoded and accounted for; screenshots of every
// output are taken at the exit.
Played play(TestDir &dir, SimEnv env, int count = 20, const char *stream = kStream) {
    SimRunOpts o;
    o.input = stream_path(stream);
    o.env = std::move(env);
    o.env.push_back({"VEX_SMOOTH", "0"});
    o.env.push_back({"VEX_SIM_SCREENSHOT_AT_EXIT", "1"});
    o.feed = {"--fps", "0", "--count", std::to_string(count)};
    o.update_log = true;
    o.timeout_s = 20;
    Played p{sim_run(dir, o)};
    const SimRunResult &r = p.r;
    EXPECT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    const EndCounts c = end_counts(r);
    EXPECT_EQ(c.dec, sim_decoded(r)) << describe(r);
    EXPECT_EQ(c.dec, count) << "every frame decoded\n" << describe(r);
    EXPECT_EQ(c.dec, c.shown + c.fifo + c.throttle + c.gate) << describe(r);
    p.shown = c.shown;
    return p;
}

TestImage screen(const SimRunResult &r, const std::string &output) {
    TestImage img;
    EXPECT_TRUE(png_read(r.board() + "/screen-" + output + ".png", &img)) << describe(r);
    return img;
}

// The video updates of an output (those after the standby picture).
std::vector<PlaneUpdate> video_updates(const SimRunResult &r, const std::string &output) {
    std::vector<PlaneUpdate> v;
    for (const PlaneUpdate &u : read_updates(r.board(), output))
        if (u.fb && u.fmt == "NV12") v.push_back(u);
    return v;
}

TEST(RgaFlip, MirrorsTheVideoThroughTheRing) {
    TestDir dir;
    // A 1280x720 mode shows the picture 1:1: a flip is exact on the screen.
    const SimEnv mode = {{"VEX_KMS_MODE", "1280x720@60"}, kNoGpu};
    const TestImage ref = screen(play(dir, mode).r, "HDMI-A-1");
    ASSERT_EQ(ref.w * 10000 + ref.h, 1280 * 10000 + 720);
    for (const char *flip : {"h", "v", "180"}) {
        SCOPED_TRACE(flip);
        SimEnv env = mode;
        env.push_back({"VEX_KMS_FLIP", flip});
        const Played p = play(dir, env);
        const SimRunResult &r = p.r;
        EXPECT_EQ(count_lines(r.log, std::string("vex-mpp: flip ") + flip +
                                         " via RGA (1280x720 NV12 ring x4)"),
                  1)
            << describe(r);
        const TestImage img = screen(r, "HDMI-A-1");
        ASSERT_EQ(img.px.size(), ref.px.size());
        const bool mx = flip[0] != 'v', my = flip[0] != 'h';
        int differ = 0;
        for (int y = 0; y < 720; y++)
            for (int x = 0; x < 1280; x++)
                differ += img.at(x, y) != ref.at(mx ? 1279 - x : x, my ? 719 - y : y);
        EXPECT_EQ(differ, 0) << "pixels unlike the mirrored picture\n" << describe(r);
        // Every frame from a ring buffer, in turn.
        const std::vector<PlaneUpdate> v = video_updates(r, "HDMI-A-1");
        ASSERT_EQ((long long)v.size(), p.shown) << describe(r);
        for (const PlaneUpdate &u : v)
            EXPECT_EQ(u.src[2], 1280) << "a ring buffer of the frame's size";
    }
}

// How much of a 720x1280 panel picture shows what it should: the `crop` of
// the 1280x720 frame scaled to the whole panel and mirrored by `flip`, the
// frame as the 1920x1080 HDMI output shows it (the same last frame, scaled by
// 1.5). The fraction of grid points whose colour is close.
double panel_match(const TestImage &panel, const TestImage &hdmi, std::array<int, 4> crop,
                   const std::string &flip) {
    if (panel.w != 720 || panel.h != 1280 || hdmi.w != 1920 || hdmi.h != 1080) return 0;
    const bool mx = flip == "h" || flip == "180", my = flip == "v" || flip == "180";
    int n = 0, close = 0;
    for (int y = 4; y < 1280; y += 8)
        for (int x = 4; x < 720; x += 8) {
            double u = crop[0] + (x + 0.5) * crop[2] / 720,
                   v = crop[1] + (y + 0.5) * crop[3] / 1280;
            uint32_t a = panel.at(mx ? 719 - x : x, my ? 1279 - y : y);
            uint32_t b = hdmi.at((int)(u * 1.5), (int)(v * 1.5));
            bool near = true;
            for (int s = 0; s < 24; s += 8)
                near = near && std::abs((int)(a >> s & 255) - (int)(b >> s & 255)) <= 48;
            n++, close += near;
        }
    return (double)close / n;
}

TEST(PanelPath, ScalesTheVideoToTheWholePanel) {
    TestDir dir;
    struct Case {
        const char *fit, *aspect, *flip;
        std::array<int, 4> crop;
    };
    const Case cases[] = {
        {"fit", "keep", "none", {0, 0, 1280, 720}},
        {"cover", "4:3", "h", {160, 0, 960, 720}}, // the crop of a 4:3 box
        {"stretch", "16:9", "180", {0, 0, 1280, 720}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.fit << " " << c.aspect << " flip " << c.flip);
        const Played pl = play(dir, {{"VEX_SIM_BOARD", "rk3399-hdmi-dsi"},
                                     {"VEX_KMS_FIT_DSI", c.fit},
                                     {"VEX_KMS_ASPECT_DSI", c.aspect},
                                     {"VEX_KMS_FLIP_DSI", c.flip}});
        const SimRunResult &r = pl.r;
        EXPECT_EQ(count_lines(r.log, "vex-mpp: output 1 primary-plane scan-out via RGA (720x1280 "
                                     "NV12 x3)"),
                  1)
            << describe(r);
        EXPECT_EQ(count_lines(r.log, "FAILED"), 0) << describe(r);
        // The panel shows its ring slots 1:1, three in turn; the monitor the
        // decoder's frames, letterboxed as ever.
        const std::vector<PlaneUpdate> panel = video_updates(r, "DSI-1");
        ASSERT_EQ((long long)panel.size(), pl.shown) << describe(r);
        ASSERT_GE(panel.size(), 4u) << describe(r);
        std::vector<unsigned> fbs;
        for (const PlaneUpdate &u : panel) {
            EXPECT_EQ(u.dst, (std::array<int, 4>{0, 0, 720, 1280}));
            EXPECT_EQ(u.src, (std::array<double, 4>{0, 0, 720, 1280}));
            fbs.push_back(u.fb);
        }
        EXPECT_TRUE(fbs[0] != fbs[1] && fbs[1] != fbs[2] && fbs[2] != fbs[0] && fbs[3] == fbs[0]);
        if (std::string(c.flip) == "none" && std::string(c.fit) != "cover") {
            for (const PlaneUpdate &u : panel) EXPECT_GE(u.stamp, 0) << "the frame number readable";
        }
        for (const PlaneUpdate &u : video_updates(r, "HDMI-A-1"))
            EXPECT_EQ(u.dst, (std::array<int, 4>{0, 0, 1920, 1080}));

        const TestImage p = screen(r, "DSI-1"), h = screen(r, "HDMI-A-1");
        EXPECT_GE(panel_match(p, h, c.crop, c.flip), 0.95) << describe(r);
        // The closest wrong picture: mirrored top to bottom the other way.
        const std::string f = c.flip;
        const char *wrong = f == "none" ? "v" : f == "v" ? "none" : f == "h" ? "180" : "h";
        EXPECT_LT(panel_match(p, h, c.crop, wrong), 0.85) << "as good a match flipped " << wrong;
    }
}

TEST(PanelPath, SeparateFlipPassForAnEngineThatWillNotScaleAndFlip) {
    TestDir dir;
    const Played p = play(dir, {{"VEX_SIM_BOARD", kTwoPanels},
                                {"VEX_SIM_RGA_REFUSE", "combined"},
                                {"VEX_KMS_FLIP_DSI", "180"}});
    const SimRunResult &r = p.r;
    EXPECT_EQ(count_lines(r.log, "RGA scale+flip rejected — using a separate flip pass"), 1)
        << describe(r);
    // Per panel frame: the combined pass refused, then scale and flip.
    auto ops = match_lines(r.log, "vex-sim: RGA engine ran (\\d+) operations \\((\\d+) refused\\)");
    ASSERT_EQ(ops.size(), 1u) << describe(r);
    EXPECT_EQ(ops[0][0], p.shown * 2 * 3) << describe(r);
    EXPECT_EQ(ops[0][1], p.shown * 2) << describe(r);
    const TestImage h = screen(r, "HDMI-A-1");
    for (const char *out : {"DSI-1", "DSI-2"}) {
        EXPECT_EQ((long long)video_updates(r, out).size(), p.shown) << out;
        EXPECT_GE(panel_match(screen(r, out), h, {0, 0, 1280, 720}, "180"), 0.95) << out;
    }
}

TEST(PanelPath, RefusedEngineFallsBackToThePlainPlaneSet) {
    TestDir dir;
    const Played p = play(dir, {{"VEX_SIM_BOARD", "rk3399-hdmi-dsi"},
                                {"VEX_SIM_RGA_REFUSE", "all"},
                                {"VEX_KMS_FLIP", "h"},
                                kNoGpu});
    const SimRunResult &r = p.r;
    // The monitor shows the frames unflipped; the panel's primary refuses the
    // letterboxed frame, which the log says once.
    for (const char *line :
         {"vex-mpp: RGA imflip failed — showing unflipped",
          "vex-mpp: output 1 RGA scale to panel failed — falling back to SetPlane",
          "vex-mpp: output 1 (crtc "})
        EXPECT_EQ(count_lines(r.log, line), 1) << line << "\n" << describe(r);
    EXPECT_TRUE(has_line(r.log, "SetPlane FAILED: Invalid argument — src 1280x720 → dst 720x405 at "
                                "0,437"))
        << describe(r);
    const std::vector<PlaneUpdate> v = video_updates(r, "HDMI-A-1");
    ASSERT_EQ((long long)v.size(), p.shown) << describe(r);
    for (const PlaneUpdate &u : v) EXPECT_GE(u.stamp, 0) << "shown unflipped";
    EXPECT_TRUE(video_updates(r, "DSI-1").empty()) << "the panel keeps its standby picture";
}

TEST(PanelPath, TakesTheGpuOutputWhileItCorrectsTheLens) {
    TestDir dir;
    // Lens correction (zoomed in twice, unlike the raw frame) and a flip: the
    // monitor shows the GPU's picture, and so does the panel, not mirrored
    // back by its own (inherited) flip.
    const SimEnv gpu = {{"VEX_SIM_BOARD", "rk3399-hdmi-dsi"},
                        {"VEX_KMS_DEWARP", "1"},
                        {"VEX_KMS_DEWARP_ZOOM", "2"},
                        {"VEX_KMS_FLIP", "h"}};
    Played p = play(dir, gpu);
    ASSERT_EQ(count_lines(p.r.log, "vex-mpp: dewarp GPU pass ready"), 1) << describe(p.r);
    EXPECT_EQ((long long)video_updates(p.r, "DSI-1").size(), p.shown) << describe(p.r);
    const TestImage h = screen(p.r, "HDMI-A-1");
    EXPECT_GE(panel_match(screen(p.r, "DSI-1"), h, {0, 0, 1280, 720}, "none"), 0.95);

    // An engine that will not read BGRA: the panel scales the decoder's frame.
    SimEnv refused = gpu;
    refused.push_back({"VEX_SIM_RGA_REFUSE", "bgra"});
    p = play(dir, refused);
    EXPECT_EQ(count_lines(p.r.log,
                          "vex-mpp: output 1 RGA won't scale the GLES buffer — panel falls "
                          "back to the raw frame (no dewarp/grade on this screen)"),
              1)
        << describe(p.r);
    EXPECT_EQ((long long)video_updates(p.r, "DSI-1").size(), p.shown) << describe(p.r);
    EXPECT_LT(panel_match(screen(p.r, "DSI-1"), screen(p.r, "HDMI-A-1"), {0, 0, 1280, 720}, "none"),
              0.8)
        << "the panel shows the corrected picture";
    EXPECT_EQ(count_lines(p.r.log, "FAILED"), 0) << describe(p.r);
}

} // namespace
