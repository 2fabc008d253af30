// End-to-end runs of the live controls on the simulated board, steered through
// vexctl: live tuning changing the picture geometry and flips of running
// outputs, the snapshot trigger, the detection toggle with the fixed-box
// stand-in detector; and the display change check against the board's hotplug
// timeline.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Shots = std::vector<TestImage>;
const std::string kMonitor50 = VEX_TEST_BOARDS "/monitor-50hz.board";
const std::string kMonitorLine = "connector HDMI-A-1 crtcs=VP0,VP1 mm=530x300";
const std::string k4k = "after_replug\nmode 3840x2160@60 594000 4400 2250 preferred\n";

// A run with its standard input held open (fed with a looped stream when
// `video`), the card logging plane updates and connector queries.
struct Live {
    TestDir dir;
    std::string card_log = dir.path + "/card.log";
    std::unique_ptr<SimThread> t;

    Live(const std::string &board, SimEnv env = {}, bool video = false) {
        SimRunOpts o;
        o.env = std::move(env);
        o.env.insert(o.env.end(), {{"VEX_SIM_BOARD", board}, {"VEX_SIM_CARD_LOG", card_log}});
        o.update_log = true;
        o.timeout_s = 25;
        t = std::make_unique<SimThread>(dir, o, true, video ? "h264_stamped_480p60.h264" : nullptr);
    }
    bool started() const { return t->wait_log("vex-mpp: hdmi_state="); }
    std::string log() const { return t->log(); }
    std::string control(const char *name) const { return t->board + "/run/vex-fpv/" + name; }
    bool shoot(const std::vector<std::string> &outs, Shots *s) const {
        return screenshot_now(t->board, outs, s);
    }
    // Steers the run through vexctl.
    void ctl(const std::vector<std::string> &args) const { ASSERT_TRUE(steer(t->board, args)); }
    // Microseconds from the board's first card open to the `kind` queries
    // ("probe", "current") of `connector`.
    std::vector<long long> queries(const std::string &connector, const std::string &kind) const {
        std::vector<long long> at;
        long long t0 = -1, us;
        char what[16], name[32], how[16];
        for (const std::string &l : log_lines(read_file(card_log))) {
            if (sscanf(l.c_str(), "%lld %15s", &us, what) != 2) continue;
            if (t0 < 0) t0 = us;
            if (sscanf(l.c_str(), "%*s query connector %31s %15s", name, how) == 2 &&
                name == connector && how == kind)
                at.push_back(us - t0);
        }
        return at;
    }
};

// monitor-50hz with attributes added to its monitor's connector line and
// lines appended.
std::string board_with(TestDir &dir, const std::string &attrs, const std::string &extra = "") {
    static int n = 0;
    std::string text = read_file(kMonitor50);
    const size_t at = text.find(kMonitorLine);
    EXPECT_NE(at, std::string::npos);
    text.insert(at + kMonitorLine.size(), " " + attrs);
    const std::string path = dir.path + "/variant" + std::to_string(++n) + ".board";
    EXPECT_TRUE(put_file(path, text + extra));
    return path;
}

TEST(DisplayChange, SwapRefreshAndReplugEndTheRunAndARestartTakesTheNewMode) {
    TestDir boards;
    // Away for longer than a second, so that a query sees it away.
    const std::string replug = "unplug_ms=1000 replug_ms=2600";
    struct Case {
        std::string board, line;
    };
    const std::string changed = "vex-mpp: output 0 display changed (1920x1080@50 → ",
                      tail = ") — exiting so the supervisor respawns us against the new panel";
    const std::vector<Case> cases = {
        {board_with(boards, replug, k4k), changed + "3840x2160@60" + tail},
        {board_with(boards, replug, "after_replug\nmode 1920x1080@60 148500 2200 1125 preferred\n"),
         changed + "1920x1080@60" + tail},
        {board_with(boards, replug), changed + "1920x1080@50, replugged" + tail},
    };
    std::vector<std::unique_ptr<Live>> runs;
    for (const Case &c : cases) runs.push_back(std::make_unique<Live>(c.board));
    // Restarted after the swap: the new monitor's mode, and nothing to restart for.
    Live restart(board_with(boards, "unplug_ms=0 replug_ms=0", k4k));

    for (size_t i = 0; i < cases.size(); i++) {
        Live &r = *runs[i];
        ASSERT_TRUE(wait_for([&] { return r.t->done.load(); }, 8000)) << r.log();
        const SimRunResult &res = r.t->join();
        EXPECT_EQ(res.status, 0) << describe(res);
        EXPECT_TRUE(has_line(res.log, cases[i].line)) << describe(res);
        EXPECT_FALSE(has_line(res.log, "end of input")) << describe(res);
        // Seen at the first query after the replug, within about a second; the
        // monitor's absence before that ended nothing.
        const std::vector<long long> q = r.queries("HDMI-A-1", "current");
        ASSERT_FALSE(q.empty());
        EXPECT_GE(q.back(), 2600000);
        EXPECT_LE(q.back(), 2600000 + 1000000 + 400000) << "queried at " << q.back() << " us";
    }
    ASSERT_TRUE(restart.started()) << restart.log();
    usleep(2500000);
    EXPECT_FALSE(restart.t->done.load());
    const SimRunResult &res = restart.t->join();
    EXPECT_TRUE(has_line(res.log, "vex-mpp: mode set 3840x2160@60 — 594000 kHz pixel clock"))
        << describe(res);
    EXPECT_FALSE(has_line(res.log, "display changed")) << describe(res);
    EXPECT_EQ(res.status, 0) << describe(res);
}

TEST(DisplayChange, QuietWhileDisplaysStayOrStayAwayOneQueryPerOutputASecond) {
    TestDir boards;
    // Output 0 unplugged for good; DP-1, not an output at start, plugged in.
    const std::string dp1 = "connector DP-1 crtcs=VP1 status=disconnected plug_ms=1000\n"
                            "mode 1280x720@60 74250 1650 750 preferred\n";
    Live away(board_with(boards, "unplug_ms=1000", dp1));
    // Swapped, but detection is off.
    Live off(board_with(boards, "unplug_ms=1000 replug_ms=1500", dp1 + "after_replug\n" + k4k),
             {{"VEX_KMS_HOTPLUG", "0"}});
    Live steady("rk3566-hdmi-dsi");
    for (Live *r : {&away, &off, &steady}) ASSERT_TRUE(r->started()) << r->log();
    usleep(3500000);
    for (Live *r : {&away, &off, &steady}) {
        EXPECT_FALSE(r->t->done.load());
        const SimRunResult &res = r->t->join();
        EXPECT_EQ(res.status, 0) << describe(res);
        EXPECT_FALSE(has_line(res.log, "display changed")) << describe(res);
        EXPECT_TRUE(has_line(res.log, "end of input")) << describe(res);
    }
    // One query per output and second (give or take a loop pass), none of DP-1.
    for (auto [r, c] : {std::make_pair(&steady, "HDMI-A-1"), std::make_pair(&steady, "DSI-1"),
                        std::make_pair(&away, "HDMI-A-1")}) {
        const std::vector<long long> q = r->queries(c, "current");
        ASSERT_GE(q.size(), 3u) << c;
        for (size_t i = 1; i < q.size(); i++) EXPECT_GE(q[i] - q[i - 1], 900000) << c;
    }
    EXPECT_TRUE(away.queries("DP-1", "current").empty());
    // Off: no connector read after start-up's.
    EXPECT_TRUE(off.queries("HDMI-A-1", "current").empty());
    EXPECT_EQ(off.queries("HDMI-A-1", "probe").size(), away.queries("HDMI-A-1", "probe").size());
    EXPECT_EQ(off.queries("DP-1", "probe").size(), away.queries("DP-1", "probe").size());
}

// Whether b is a mirrored: left-right (`h`) or top-bottom.
bool mirrored(const TestImage &a, const TestImage &b, bool h) {
    if (a.w != b.w || a.h != b.h) return false;
    for (int y = 0; y < a.h; y++)
        for (int x = 0; x < a.w; x++)
            if (a.at(x, y) != (h ? b.at(a.w - 1 - x, y) : b.at(x, a.h - 1 - y))) return false;
    return true;
}

TEST(LiveTuning, FlipsOnTheStandbyScreensGeometryOnTheVideoSnapshotTrigger) {
    const std::vector<std::string> both = {"HDMI-A-1", "DSI-1"};
    Live standby("rk3566-hdmi-dsi"), video("rk3566-hdmi-dsi", {}, true);
    Shots base, s, flipped;
    ASSERT_TRUE(standby.started() && standby.shoot(both, &base)) << standby.log();
    ASSERT_FALSE(mirrored(base[0], base[0], true) || mirrored(base[1], base[1], true) ||
                 mirrored(base[1], base[1], false)); // or flips could not be seen
    auto lives = [&](const Live &r) { return count_lines(r.log(), "vex-mpp: dewarp LIVE "); };

    // Asking for a snapshot while no video is shown: the request waits.
    standby.ctl({"snapshot"});
    // A global flip mirrors both screens; a DSI flip only the panel; "-"
    // hands the panel back to the global flip.
    standby.ctl({"tune", "flip=h"});
    ASSERT_TRUE(wait_for(
        [&] {
            return standby.shoot(both, &flipped) && mirrored(base[0], flipped[0], true) &&
                   mirrored(base[1], flipped[1], true);
        },
        4000))
        << standby.log();
    standby.ctl({"tune", "dsiflip=v"});
    ASSERT_TRUE(wait_for(
        [&] {
            return standby.shoot(both, &s) && s[0].px == flipped[0].px &&
                   mirrored(base[1], s[1], false);
        },
        4000))
        << standby.log();
    standby.ctl({"tune", "dsiflip=-"});
    ASSERT_TRUE(wait_for([&] { return standby.shoot(both, &s) && s[1].px == flipped[1].px; }, 4000))
        << standby.log();
    EXPECT_TRUE(has_line(standby.log(),
                         "vex-mpp: dewarp LIVE s=1.00 k1=-0.150 k2=0.000 cx=0.50 cy=0.50 "
                         "zoom=1.00 vscale=1.00 | cg b=0.00 c=1.00 sat=1.00 temp=0.00 | "
                         "aspect=keep fit=fit flip=h dsiflip=- smooth=1"))
        << standby.log();
    // A FIFO in the file's place (put there by hand: vexctl writes regular
    // files only) is never opened: the loop keeps running.
    unlink(standby.control("dewarp").c_str());
    ASSERT_EQ(mkfifo(standby.control("dewarp").c_str(), 0600), 0);
    ASSERT_TRUE(standby.shoot(both, &s) && standby.shoot(both, &s));
    EXPECT_EQ(lives(standby), 3) << standby.log();
    EXPECT_EQ(access(standby.control("snapshot").c_str(), F_OK), 0);

    // Video: aspect and fit move and crop the picture on the monitor's plane
    // (640 x 480 fitted: 1440 x 1080 at 240,0).
    auto placed = [&](const char *o, std::array<int, 4> dst, int src_h) {
        const std::vector<PlaneUpdate> u = read_updates(video.t->board, o);
        return !u.empty() && u.back().fmt == "NV12" && u.back().dst == dst &&
               u.back().src[3] == src_h;
    };
    ASSERT_TRUE(wait_for(
        [&] {
            return placed("HDMI-A-1", {240, 0, 1440, 1080}, 480);
        },
        6000))
        << video.log();
    video.ctl({"tune", "aspect=16:9", "fit=stretch", "smooth=0"});
    EXPECT_TRUE(wait_for(
        [&] {
            return placed("HDMI-A-1", {0, 0, 1920, 1080}, 480);
        },
        3000))
        << video.log();
    video.ctl({"tune", "fit=cover"});
    EXPECT_TRUE(wait_for(
        [&] {
            return placed("HDMI-A-1", {0, 0, 1920, 1080}, 352);
        },
        3000))
        << video.log();
    EXPECT_TRUE(has_line(video.log(), "aspect=16:9 fit=stretch flip=none dsiflip=- smooth=0"));
    EXPECT_EQ(lives(video), 2);
    // With video the snapshot request is taken at the next frame.
    video.ctl({"snapshot"});
    EXPECT_TRUE(
        wait_for([&] { return access(video.control("snapshot").c_str(), F_OK) != 0; }, 2000));

    EXPECT_EQ(standby.t->join().status, 0) << describe(standby.t->r);
    EXPECT_EQ(video.t->join().status, 0) << describe(video.t->r);
}

// Mean of the red, green and blue values of a rectangle.
double mean(const TestImage &s, int x0, int y0, int w, int h) {
    double sum = 0;
    for (int y = y0; y < y0 + h; y++)
        for (int x = x0; x < x0 + w; x++) {
            const uint32_t c = s.at(x, y);
            sum += (c >> 16 & 0xff) + (c >> 8 & 0xff) + (c & 0xff);
        }
    return sum / (3.0 * w * h);
}

TEST(LiveTuning, GpuPassFollowsFlipLensAndGradeAndTakesOneSnapshotPerRequest) {
    // Lens correction and colour grade on with neutral values: every frame goes
    // through the GPU, unchanged.
    Live run("default",
             {{"VEX_KMS_DEWARP", "1"},
              {"VEX_KMS_DEWARP_K1", "0"},
              {"VEX_KMS_CG_ENABLE", "1"},
              {"VEX_SMOOTH", "0"}},
             true);
    auto gpu_updates = [&](size_t from) {
        std::vector<PlaneUpdate> v;
        for (const PlaneUpdate &u : read_updates(run.t->board, "HDMI-A-1"))
            if (u.buf.rfind("gbm:", 0) == 0) v.push_back(u);
        v.erase(v.begin(), v.begin() + (long)std::min(from, v.size()));
        return v;
    };
    ASSERT_TRUE(wait_for([&] { return gpu_updates(0).size() >= 5; }, 15000)) << run.log();
    EXPECT_GE(gpu_updates(0).back().stamp, 0); // upright: the frame stamp reads

    // Mirrored, or bent by the lens, from the next frames on: the stamp band
    // across the top no longer reads; back to neutral, it does again.
    for (const char *change : {"flip=h", "k1=-0.4"}) {
        size_t seen = gpu_updates(0).size();
        run.ctl({"tune", change});
        ASSERT_TRUE(wait_for(
            [&] {
                const std::vector<PlaneUpdate> v = gpu_updates(seen);
                return v.size() >= 3 && v[v.size() - 1].stamp < 0 && v[v.size() - 2].stamp < 0;
            },
            5000))
            << change << run.log();
        seen = gpu_updates(0).size();
        run.ctl({"tune", "flip=none", "k1=0"});
        ASSERT_TRUE(wait_for([&] { return gpu_updates(seen).size() >= 3; }, 5000));
        EXPECT_GE(gpu_updates(0).back().stamp, 0) << change;
    }

    // Brightness raised live: the picture (1440 x 1080 at 240,0) gets brighter.
    Shots before, after;
    ASSERT_TRUE(run.shoot({"HDMI-A-1"}, &before));
    run.ctl({"tune", "bright=0.3"});
    EXPECT_TRUE(wait_for(
        [&] {
            return run.shoot({"HDMI-A-1"}, &after) &&
                   mean(after[0], 240, 0, 1440, 1080) > mean(before[0], 240, 0, 1440, 1080) + 40;
        },
        5000))
        << run.log();

    // One request, one snapshot at render size.
    const std::string line = "vex-mpp: snapshot -> /tmp/vex-snap.ppm (640x480)";
    for (int n = 1; n <= 2; n++) {
        run.ctl({"snapshot"});
        ASSERT_TRUE(wait_for([&] { return count_lines(run.log(), line) == n; }, 5000)) << run.log();
    }
    ASSERT_TRUE(run.shoot({"HDMI-A-1"}, &after) && run.shoot({"HDMI-A-1"}, &after));
    EXPECT_EQ(count_lines(run.log(), line), 2);
    EXPECT_EQ(read_file(run.t->board + "/tmp/vex-snap.ppm").size(), 15u + 640 * 480 * 3);
    EXPECT_EQ(run.t->join().status, 0) << describe(run.t->r);
}

TEST(Detection, ToggleStartsTheStandInDetectorWhoseBoxesShowUntilSwitchedOff) {
    TestDir models;
    const std::string model = models.path + "/boxes.model";
    Live run(kMonitor50, {{"VEX_KMS_DETECT_MODEL", model}}, true);
    constexpr uint32_t box = 0x36d399;
    Shots s;
    ASSERT_TRUE(run.started()) << run.log();
    // No engine for the model yet: one failure per change, detection stays off.
    const std::string failed = "vex-mpp: yolo_init failed (" + model + ")";
    run.ctl({"detect", "on"});
    ASSERT_TRUE(run.t->wait_log(failed, 3000)) << run.log();
    run.ctl({"detect", "1"});
    ASSERT_TRUE(wait_for([&] { return count_lines(run.log(), failed) == 2; }, 3000));
    run.ctl({"detect", "0"});
    ASSERT_TRUE(run.shoot({"HDMI-A-1"}, &s) && run.shoot({"HDMI-A-1"}, &s));
    EXPECT_EQ(count_lines(run.log(), failed), 2);
    EXPECT_EQ(spot(s[0], box).n, 0);

    // The fixed-box detector: its box (0.25, 0.5, 0.1 x 0.2) drawn over the
    // video from the next key frame on; gone once switched off.
    ASSERT_TRUE(put_file(model, "vex-mpp fixed-box detector\nbox 0.25 0.5 0.1 0.2 0.87\n"));
    run.ctl({"detect", "on"});
    ASSERT_TRUE(run.t->wait_log("vex-mpp: object detection ON (" + model + ")", 3000)) << run.log();
    ASSERT_TRUE(wait_for(
        [&] { return run.shoot({"HDMI-A-1"}, &s) && spot(s[0], box, 480, 540, 192, 216).n > 0; },
        5000))
        << run.log();
    const Spot b = spot(s[0], box);
    EXPECT_TRUE(b.x0 == 480 && b.y0 == 512 && b.x1 == 671 && b.y1 == 755)
        << b.x0 << "," << b.y0 << " " << b.x1 << "," << b.y1;
    run.ctl({"detect", "off"});
    ASSERT_TRUE(run.t->wait_log("vex-mpp: object detection OFF", 3000)) << run.log();
    ASSERT_TRUE(run.shoot({"HDMI-A-1"}, &s) && run.shoot({"HDMI-A-1"}, &s));
    EXPECT_EQ(spot(s[0], box).n, 0);
    EXPECT_EQ(run.t->join().status, 0) << describe(run.t->r);
}

} // namespace

namespace {

TEST(Snapshot, PanelSavesItsScaledSlotOncePerRequest) {
    // A panel on a controller whose only NV12 plane is its primary shows the
    // video through its own ring; one snapshot request saves that slot once,
    // flipped as the panel shows it.
    Live run("rk3399-hdmi-dsi", {{"VEX_KMS_FLIP_DSI", "v"}}, true);
    ASSERT_TRUE(run.t->wait_log("vex-mpp: hdmi_state=live")) << run.log();
    const std::string line =
        "vex-mpp: output 1 DSI snapshot -> /tmp/vex-snap-dsi.ppm (720x1280, flip v)";
    run.ctl({"snapshot"});
    ASSERT_TRUE(run.t->wait_log(line, 5000)) << run.log();
    const std::string ppm = read_file(run.t->board + "/tmp/vex-snap-dsi.ppm");
    EXPECT_EQ(ppm.rfind("P6\n720 1280\n255\n", 0), 0u);
    EXPECT_EQ(ppm.size(), 16u + 720 * 1280 * 3);
    EXPECT_EQ(run.t->join().status, 0) << describe(run.t->r);
    EXPECT_EQ(count_lines(run.t->r.log, line), 1);
}

} // namespace
