// End-to-end runs of the GPU pass on the simulated board: Mesa's software
// GLES draws into the simulated GBM ring, which the card scans out. Streams
// are small and runs short: every frame is drawn on the CPU.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

namespace {

using Args = std::vector<std::string>;

const char *const kStream = "h264_stamped_480p60.h264"; // 640x480, 60 stamped frames
const char *const kResChange = "h264_reschange.h264";   // 1280x720, then 640x360 from frame 30

// Plays the stream at 60 frames a second, with a pause after the first two
// frames in which the GPU pass is set up (a software GPU compiles its shaders
// on the CPU), so that few frames are dropped; the keyframe gate is not
// armed by that pause.
SimRunResult run(TestDir &dir, const char *stream, SimEnv env, Args feed = {"--count", "24"},
                 const char *fps = "60", const char *pause_at = "2") {
    SimRunOpts o;
    o.input = stream_path(stream);
    o.env = std::move(env);
    o.env.push_back({"VEX_SMOOTH", "0"});
    o.env.push_back({"VEX_KMS_GATE_MS", "5000"});
    o.feed = std::move(feed);
    o.feed.insert(o.feed.end(), {"--fps", fps, "--pause-at", pause_at, "--pause-ms", "1000"});
    o.update_log = true;
    o.timeout_s = 25;
    SimRunResult r = sim_run(dir, o);
    EXPECT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    return r;
}

// The video updates of an output (the plane whose first picture carries a stamp).
std::vector<PlaneUpdate> video(const SimRunResult &r, const char *output) {
    std::vector<PlaneUpdate> all = read_updates(r.board(), output), v;
    unsigned plane = 0;
    for (const PlaneUpdate &u : all)
        if (u.fb && (u.buf.rfind("gbm:", 0) == 0 || u.buf.rfind("dmabuf:", 0) == 0)) {
            plane = plane ? plane : u.plane;
            if (u.plane == plane) v.push_back(u);
        }
    return v;
}

// Every shown frame from the GPU ring: four buffers taking turns, stamps rising.
void expect_ring(const SimRunResult &r, const char *output) {
    SCOPED_TRACE(output);
    const std::vector<PlaneUpdate> v = video(r, output);
    ASSERT_GE(v.size(), 8u) << describe(r);
    std::set<std::string> bufs;
    for (size_t i = 0; i < v.size(); i++) {
        EXPECT_EQ(v[i].buf.rfind("gbm:", 0), 0u) << v[i].buf;
        EXPECT_EQ(v[i].fmt, "XR24");
        bufs.insert(v[i].buf);
        if (i >= 4) {
            EXPECT_EQ(v[i].buf, v[i - 4].buf) << "update " << i;
        }
        if (i > 0) {
            EXPECT_GT(v[i].stamp, v[i - 1].stamp) << "update " << i;
        }
        EXPECT_GE(v[i].stamp, 0);
    }
    EXPECT_EQ(bufs.size(), 4u);
}

TEST(GpuPassE2e, RingOnDefaultBoardAndHdmiDsi) {
    TestDir dir;
    // Correction on with k = 0: the GPU draws every frame and the stamps stay readable.
    const SimEnv env = {{"VEX_KMS_DEWARP", "1"}, {"VEX_KMS_DEWARP_K1", "0"}};
    SimRunResult r = run(dir, kStream, env);
    EXPECT_EQ(read_file(r.board() + "/sys/class/devfreq/fde60000.gpu/governor"), "performance");
    expect_ring(r, "HDMI-A-1");
    for (const PlaneUpdate &u : video(r, "HDMI-A-1"))
        EXPECT_EQ(u.src, (std::array<double, 4>{0, 0, 640, 480}));

    // Two outputs, and the grade with an identity LUT given at start.
    const std::string cube = dir.path + "/identity.cube";
    ASSERT_TRUE(put_file(cube, "TITLE \"identity\"\nLUT_3D_SIZE 2\n0 0 0\n1 0 0\n0 1 0\n1 1 0\n"
                               "0 0 1\n1 0 1\n0 1 1\n1 1 1\n"));
    SimEnv two = env;
    two.insert(two.end(), {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"}, {"VEX_KMS_LUT", cube}});
    r = run(dir, kStream, two);
    EXPECT_TRUE(has_line(r.log, "vex-mpp: LUT ready " + cube + " (N=2, atlas 4x2)")) << r.log;
    expect_ring(r, "HDMI-A-1");
    // The panel (video on its primary plane) takes the GPU's picture into its
    // own ring: three NV12 slots taking turns, stamps rising.
    std::vector<PlaneUpdate> panel;
    for (const PlaneUpdate &u : read_updates(r.board(), "DSI-1"))
        if (u.fb && u.fmt == "NV12") panel.push_back(u);
    ASSERT_GE(panel.size(), 8u) << describe(r);
    for (size_t i = 0; i < panel.size(); i++) {
        EXPECT_EQ(panel[i].buf.rfind("dumb:", 0), 0u) << panel[i].buf;
        if (i >= 3) {
            EXPECT_EQ(panel[i].buf, panel[i - 3].buf) << "update " << i;
        }
        if (i > 0) {
            EXPECT_GT(panel[i].stamp, panel[i - 1].stamp) << "update " << i;
        }
    }
}

// The video rectangle of a screenshot, and whether `b` is `a` mirrored
// within it (a pixel may match its neighbour: the card scales by nearest
// neighbour, which is not symmetric).
bool mirrored(const TestImage &a, const TestImage &b, bool h, bool v, int x0, int y0, int w,
              int hgt) {
    int bad = 0;
    for (int y = y0; y < y0 + hgt; y++)
        for (int x = x0; x < x0 + w; x++) {
            const int mx = h ? x0 + w - 1 - (x - x0) : x, my = v ? y0 + hgt - 1 - (y - y0) : y;
            bool ok = false;
            for (int dy = -1; dy <= 1 && !ok; dy++)
                for (int dx = -1; dx <= 1 && !ok; dx++) {
                    const int sx = std::clamp(mx + dx, x0, x0 + w - 1),
                              sy = std::clamp(my + dy, y0, y0 + hgt - 1);
                    ok = a.at(sx, sy) == b.at(x, y);
                }
            bad += !ok;
        }
    return bad < w * hgt / 1000;
}

TEST(GpuPassE2e, FlipsMirrorTheVideoOnScreen) {
    TestDir dir;
    std::map<std::string, TestImage> shots;
    // (Each mirror pixel for pixel: the unit test of the pass.)
    for (const char *flip : {"none", "h", "180"}) {
        // The last frame decoded stays on the screen: the same one in every run.
        SimRunResult r =
            run(dir, kStream, {{"VEX_KMS_FLIP", flip}, {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"}});
        if (std::string(flip) != "none") {
            EXPECT_TRUE(has_line(r.log, "vex-mpp: dewarp GPU pass ready")) << describe(r);
            EXPECT_EQ(video(r, "HDMI-A-1").back().buf.rfind("gbm:", 0), 0u);
        }
        ASSERT_TRUE(png_read(r.board() + "/screen-HDMI-A-1.png", &shots[flip])) << describe(r);
    }
    // 640x480 fitted on 1920x1080: 1440x1080 at x 240.
    const TestImage &n = shots["none"];
    EXPECT_TRUE(mirrored(n, shots["h"], true, false, 240, 0, 1440, 1080));
    EXPECT_TRUE(mirrored(n, shots["180"], true, true, 240, 0, 1440, 1080));
    EXPECT_FALSE(mirrored(n, shots["h"], false, false, 240, 0, 1440, 1080));
}

TEST(GpuPassE2e, RenderSizeAndSourceSizeChange) {
    TestDir dir;
    SimRunResult r = run(dir, kStream, {{"VEX_KMS_DEWARP", "1"}, {"VEX_KMS_GL_SIZE", "320x240"}});
    // Drawn at 320x240, scaled up by the display to the usual place.
    const std::vector<PlaneUpdate> small = video(r, "HDMI-A-1");
    ASSERT_FALSE(small.empty()) << describe(r);
    for (const PlaneUpdate &u : small) {
        EXPECT_EQ(u.buf.rfind("gbm:", 0), 0u);
        EXPECT_EQ(u.src, (std::array<double, 4>{0, 0, 320, 240}));
        EXPECT_EQ(u.dst, (std::array<int, 4>{240, 0, 1440, 1080}));
    }
    r = run(dir, kStream, {{"VEX_KMS_DEWARP", "1"}, {"VEX_KMS_GL_SIZE", "300x200"}});
    EXPECT_TRUE(has_line(r.log, "vex-mpp: VEX_KMS_GL_SIZE=300x200 ignored (want 320x240..640x480)"))
        << r.log;
    EXPECT_TRUE(has_line(r.log, "vex-mpp: dewarp GPU pass ready (640x480, "));

    // 1280x720 then 640x360: one geometry change, a new ring, the video goes
    // on. The whole stream, with a pause before the new size: a main thread
    // busy drawing on a loaded machine may lose a key frame of the new size
    // to the mailbox, and the frames after it then wait for the next one.
    r = run(dir, kResChange, {{"VEX_KMS_DEWARP", "1"}}, {}, "30", "30");
    EXPECT_EQ(count_lines(r.log, "vex-mpp: source geometry changed 1280x720→640x360 — "
                                 "re-initialising dewarp/encode"),
              1)
        << r.log;
    std::set<std::string> before, after;
    for (const PlaneUpdate &u : video(r, "HDMI-A-1")) {
        EXPECT_EQ(u.buf.rfind("gbm:", 0), 0u);
        (u.src[2] == 1280 ? before : after).insert(u.buf);
    }
    EXPECT_GE(before.size(), 2u);
    EXPECT_EQ(after.size(), 4u);
    for (const std::string &b : after) EXPECT_EQ(before.count(b), 0u) << b;
}

// Runs with a fault knob set: the lines appear once each, in order, and the
// video goes on, uncorrected from then on or (gpu_later) for a few frames.
void check_fault(TestDir &dir, const SimEnv &env_in, const std::vector<std::string> &lines,
                 bool gpu_later) {
    SimEnv env = env_in;
    env.insert(env.end(), {{"VEX_KMS_DEWARP", "1"}, {"VEX_KMS_DEWARP_K1", "0"}});
    SimRunResult r = run(dir, kStream, env);
    expect_in_order(r.log, lines, "messages", false);
    for (const std::string &l : lines) EXPECT_EQ(count_lines(r.log, l), 1) << r.log;
    const std::vector<PlaneUpdate> v = video(r, "HDMI-A-1");
    ASSERT_GE(v.size(), 8u) << describe(r);
    int direct = 0;
    for (size_t i = 0; i < v.size(); i++) {
        direct += v[i].buf.rfind("dmabuf:", 0) == 0;
        if (i > 0) {
            EXPECT_GT(v[i].stamp, v[i - 1].stamp);
        }
    }
    if (gpu_later) {
        EXPECT_TRUE(direct >= 1 && direct <= 3) << direct;
        EXPECT_EQ(v.back().buf.rfind("gbm:", 0), 0u);
    } else {
        EXPECT_EQ(direct, (int)v.size());
    }
}

TEST(GpuPassE2e, EverySetUpFaultEndsInUncorrectedVideo) {
    TestDir dir;
    const std::string disabled =
        "vex-mpp: dewarp disabled (GLES init failed) — showing uncorrected";
    struct Fault {
        SimEnv env;
        std::vector<std::string> lines; // in this order
    };
    const std::vector<Fault> faults = {
        {{{"VEX_SIM_GBM_DEVICE_FAIL", "1"}},
         {"vex-mpp: dewarp: gbm_create_device failed", disabled}},
        {{{"__EGL_VENDOR_LIBRARY_FILENAMES", "/nonexistent.json"}},
         {"vex-mpp: dewarp: eglGetDisplay failed", disabled}},
        {{{"VEX_SIM_EGL_CONTEXT_FAIL", "1"}},
         {"vex-mpp: dewarp: eglCreateContext failed", disabled}},
        {{{"VEX_SIM_GBM_BO_FAIL", "3"}}, {"vex-mpp: dewarp: gbm_bo_create failed", disabled}},
    };
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.env[0].first);
        check_fault(dir, f.env, f.lines, false);
    }
}

TEST(GpuPassE2e, FrameFaultsShowThatFrameUncorrected) {
    TestDir dir;
    check_fault(dir, {{"VEX_SIM_EGL_IMPORT_FAIL", "2,3,5"}},
                {"vex-mpp: dewarp GPU pass ready",
                 "vex-mpp: dewarp: import source dmabuf failed — uncorrected"},
                true);
    // A ring that cannot be rebuilt for a new size: disabled, the video goes on.
    SimRunResult r = run(dir, kResChange, {{"VEX_KMS_DEWARP", "1"}, {"VEX_SIM_GBM_BO_FAIL", "6"}},
                         {}, "30", "30");
    expect_in_order(r.log,
                    {"vex-mpp: source geometry changed 1280x720→640x360",
                     "vex-mpp: dewarp: gbm_bo_create failed",
                     "vex-mpp: dewarp: ring rebuild failed — dewarp disabled, showing uncorrected"},
                    "rebuild", false);
    const std::vector<PlaneUpdate> v = video(r, "HDMI-A-1");
    ASSERT_FALSE(v.empty()) << describe(r);
    EXPECT_EQ(v.back().buf.rfind("dmabuf:", 0), 0u);
    EXPECT_EQ(v.back().src, (std::array<double, 4>{0, 0, 640, 360}));
}

} // namespace
