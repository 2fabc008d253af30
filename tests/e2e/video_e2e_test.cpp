// End-to-end runs of live video on the simulated board: every picture carries
// its frame number (the stamped test streams), named by the card's update log,
// which so shows which frame reached which screen, where and when: order,
// pacing, placement, framebuffers, the keyframe gate, hiding and the reports.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <regex>
#include <tuple>
#include <unistd.h>

namespace {

using Args = std::vector<std::string>;

// 1280x720 with an IDR every 60 frames: 240 frames, and 1200 for whole runs.
const char *const kStream = "h264_stamped_720p60_short.h264";
const char *const kStreamLong = "h264_stamped_720p60.h264";
const char *const kStream43 = "h264_stamped_480p60.h264";   // 640x480, 60 frames
constexpr double kPeriodUs = 2200.0 * 1125 / 148500 * 1000; // 1080p60 frame period

// The updates of the plane that shows the video on `output` (stamped pictures,
// and the same plane switched off), and the frame numbers shown, checked to be
// strictly rising (no frame twice or out of order) and as many as counted.
std::vector<int> frames(const std::string &board, const char *output, long long shown,
                        std::vector<PlaneUpdate> *video) {
    const std::vector<PlaneUpdate> all = read_updates(board, output);
    auto first = std::find_if(all.begin(), all.end(), [](auto &u) { return u.stamp >= 0; });
    std::vector<int> s;
    for (const PlaneUpdate &u : all)
        if (first != all.end() && u.plane == first->plane && (!u.fb || u.stamp >= 0)) {
            video->push_back(u);
            if (u.fb) s.push_back(u.stamp);
        }
    const auto bad = std::adjacent_find(s.begin(), s.end(), std::greater_equal<int>());
    EXPECT_TRUE(bad == s.end()) << output << ": frame " << bad[1] << " after " << bad[0];
    EXPECT_EQ((long long)s.size(), shown) << output << ": frames on the screen";
    return s;
}

struct VideoRun {
    SimRunResult r;
    long long dec = -1, shown = -1, fifo = -1, throttle = -1, gate = -1; // the end-of-input counts
    std::vector<PlaneUpdate> video;                                      // on HDMI-A-1
    std::vector<int> frames; // the frame numbers it showed
};

// Plays `stream` through vex-feed (unpaced unless `feed` says otherwise) and
// checks that the run ended at end of input with status 0 and every decoded
// frame accounted for: shown, or dropped by the mailbox, the rate cap or the
// gate. With `states`, collects the state file's contents while it runs.
VideoRun play(TestDir &dir, const char *stream, SimEnv env, Args feed,
              std::vector<std::string> *states = nullptr) {
    SimRunOpts o;
    o.input = stream_path(stream);
    o.env = std::move(env);
    o.feed = feed.empty() ? Args{"--fps", "0"} : std::move(feed);
    o.update_log = true;
    o.timeout_s = 20;
    SimThread t(dir, o);
    for (std::string s; states && !t.done; usleep(10000))
        if (!(s = read_file(t.board + "/run/vex-fpv/hdmi_state")).empty() &&
            (states->empty() || states->back() != s))
            states->push_back(s);
    VideoRun v;
    v.r = t.join();
    const SimRunResult &r = v.r;
    EXPECT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    auto m = match_lines(r.log, "vex-mpp: end of input — dec=(\\d+) shown=(\\d+) dropped "
                                "fifo/throttle/gate=(\\d+)/(\\d+)/(\\d+)");
    EXPECT_EQ(m.size(), 1u) << describe(r);
    if (m.empty()) return v;
    v.dec = m[0][0], v.shown = m[0][1], v.fifo = m[0][2], v.throttle = m[0][3], v.gate = m[0][4];
    EXPECT_EQ(v.dec, sim_decoded(r)) << describe(r);
    EXPECT_EQ(v.dec, v.shown + v.fifo + v.throttle + v.gate) << describe(r);
    v.frames = frames(r.board(), "HDMI-A-1", v.shown, &v.video);
    return v;
}

Args paced(int count, int pause_at = 0, int pause_ms = 0) {
    auto n = [](int i) { return std::to_string(i); };
    return {"--fps",      "60",        "--count",    n(count),
            "--pause-at", n(pause_at), "--pause-ms", n(pause_ms)};
}

TEST(VideoOrder, EveryFrameShownOnArrival) {
    TestDir dir;
    // A paced feed never fills the two-slot mailbox, so nothing may be lost;
    // a mailbox drop can only come from a main thread held up by a loaded
    // machine: then it must be counted as one, and the run is tried again.
    for (int attempt = 1;; attempt++) {
        // 180 access units: the last one leaves the parser at end of input.
        VideoRun v = play(dir, kStream, {{"VEX_SMOOTH", "0"}}, paced(180));
        EXPECT_EQ(v.dec, 180);
        EXPECT_EQ(v.throttle + v.gate, 0);
        if (v.fifo == 0 || attempt == 3) {
            EXPECT_EQ(v.fifo, 0) << "mailbox drops in every attempt\n" << describe(v.r);
            ASSERT_EQ(v.frames.size(), 180u) << describe(v.r);
            EXPECT_EQ(v.frames.back(), 179); // rising and 180 of 0..179: every one
            break;
        }
    }
}

TEST(VideoOrder, ReorderedPicturesAllShownAtEndOfInput) {
    TestDir dir;
    // Two B-frames between references: the decoder holds the last pictures
    // until it is drained at end of input, and each of them waits for room in
    // the mailbox. (A loaded machine may lose frames to the mailbox earlier
    // on, at start-up most of all: only the end is checked.)
    VideoRun v = play(dir, "h264_stamped_bframes.h264", {}, {"--fps", "30"});
    EXPECT_EQ(v.dec, 60);
    ASSERT_GE(v.frames.size(), 4u) << describe(v.r);
    EXPECT_EQ(std::vector<int>(v.frames.end() - 4, v.frames.end()),
              (std::vector<int>{56, 57, 58, 59}))
        << describe(v.r);
}

TEST(VideoOrder, PacedToTheVblankAndCappedInRate) {
    TestDir dir;
    VideoRun v = play(dir, kStream, {{"VEX_KMS_CADENCE", "1"}}, paced(180));
    EXPECT_TRUE(has_line(v.r.log, "vex-mpp: pacing vblank (smooth)")) << describe(v.r);
    ASSERT_GE(v.frames.size(), 150u) << describe(v.r);
    EXPECT_EQ(v.frames.back(), 179);

    // Plane updates follow the vblank: intervals are whole periods of the
    // 1080p60 mode, most of them exactly one (loose bounds: a loaded machine
    // wakes late now and then).
    int aligned = 0, one = 0, n = (int)v.video.size() - 1;
    for (size_t i = 1; i < v.video.size(); i++) {
        double d = (double)(v.video[i].us - v.video[i - 1].us), k = std::round(d / kPeriodUs);
        aligned += k >= 1 && std::fabs(d - k * kPeriodUs) < 4000;
        one += k == 1;
    }
    EXPECT_GE(aligned, n * 8 / 10) << aligned << " of " << n << " intervals on the vblank grid";
    EXPECT_GE(one, n * 7 / 10) << one << " of " << n << " intervals one period long";

    // Cadence: one line a second while frames are shown, p50 about one period.
    auto cad =
        match_lines(v.r.log, "vex-mpp: cadence shown/s=(\\d+) present_ms "
                             "p50/p95/max=(\\d+)\\.\\d/(\\d+)\\.\\d/(\\d+)\\.\\d "
                             "bins\\[<8,8-14,14-19,19-25,>25\\]=(\\d+)/(\\d+)/(\\d+)/(\\d+)/"
                             "(\\d+) vblank n0/n1/n2=(\\d+)/(\\d+)/(\\d+) fifo_avg=\\d+\\.\\d\\d "
                             "dropped fifo/throttle/gate=(\\d+)/(\\d+)/(\\d+)");
    EXPECT_EQ((int)cad.size(), count_lines(v.r.log, "vex-mpp: cadence ")) << describe(v.r);
    EXPECT_TRUE(cad.size() == 2 || cad.size() == 3) << describe(v.r);
    // The first window also spans the start of the feed: rates from the second on.
    for (size_t i = 1; i < cad.size(); i++) {
        const auto &g = cad[i];
        EXPECT_TRUE(g[0] >= 40 && g[0] <= 70) << "shown/s " << g[0];
        EXPECT_TRUE(g[1] >= 14 && g[1] <= 19) << "p50 " << g[1];
        EXPECT_GE(g[6] * 2, g[4] + g[5] + g[6] + g[7] + g[8]) << "most intervals in 14-19 ms";
        EXPECT_GT(g[9] + g[10] + g[11], 50) << "vblank samples";
    }

    // A display rate cap of 30 fps throttles about half (a frame is admitted
    // 31.3 ms after the last). Mailbox drops beyond one at start-up come from a
    // main thread held up by a loaded machine: the run is then tried again.
    for (int attempt = 1; attempt == 1 || (v.fifo > 1 && attempt <= 3); attempt++)
        v = play(dir, kStream, {{"VEX_KMS_DISPLAY_FPS", "30"}}, paced(120));
    EXPECT_EQ(v.dec, 120);
    EXPECT_TRUE(v.throttle >= 40 && v.throttle <= 70) << describe(v.r);
    for (size_t i = 1; i < v.frames.size(); i++)
        EXPECT_TRUE(v.frames[i] - v.frames[i - 1] <= 4 &&
                    v.video[i].us - v.video[i - 1].us >= 20000)
            << "frame " << v.frames[i] << " " << v.video[i].us - v.video[i - 1].us
            << " us after frame " << v.frames[i - 1];
}

struct PlaceCase {
    const char *aspect, *fit, *stream;
    std::array<int, 4> dst;    // x, y, w, h on the screen
    std::array<double, 4> src; // the crop of the picture
};

void check_placement(const std::string &board, int W, int H, const std::vector<PlaceCase> &cases) {
    TestDir dir;
    for (const PlaceCase &pc : cases) {
        SCOPED_TRACE(testing::Message() << "aspect " << pc.aspect << " fit " << pc.fit);
        VideoRun v = play(dir, pc.stream,
                          {{"VEX_SMOOTH", "0"},
                           {"VEX_KMS_ASPECT", pc.aspect},
                           {"VEX_KMS_FIT", pc.fit},
                           {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"},
                           {"VEX_SIM_BOARD", board}},
                          {"--count", "6"});
        // Unpaced: some frames may be dropped by the mailbox.
        ASSERT_GE(v.shown, 1) << describe(v.r);
        for (const PlaneUpdate &u : v.video)
            EXPECT_EQ(std::tie(u.dst, u.src), std::tie(pc.dst, pc.src));
        // The screenshot: black exactly outside the destination, the picture inside it.
        TestImage img;
        ASSERT_TRUE(png_read(v.r.board() + "/screen-HDMI-A-1.png", &img)) << describe(v.r);
        ASSERT_EQ(img.w * 10000 + img.h, W * 10000 + H);
        const auto &d = pc.dst;
        const int inside = spot(img, 0, d[0], d[1], d[2], d[3]).n;
        EXPECT_EQ(spot(img, 0).n - inside, W * H - d[2] * d[3]) << "black pixels outside";
        EXPECT_LT(inside, d[2] * d[3] / 2) << "black pixels inside";
    }
}

TEST(VideoPlacement, On16x9Output) {
    check_placement("default", 1920, 1080,
                    {
                        {"16:9", "fit", kStream43, {240, 0, 1440, 1080}, {0, 0, 640, 480}},
                        {"16:9", "cover", kStream43, {0, 0, 1920, 1080}, {0, 48, 640, 352}},
                        {"4:3", "fit", kStream, {240, 135, 1440, 810}, {0, 0, 1280, 720}},
                        {"4:3", "stretch", kStream, {240, 0, 1440, 1080}, {0, 0, 1280, 720}},
                    });
}

TEST(VideoPlacement, On4x3Output) {
    check_placement(std::string(VEX_TEST_BOARDS) + "/monitor-4x3.board", 1024, 768,
                    {
                        {"keep", "fit", kStream, {0, 96, 1024, 576}, {0, 0, 1280, 720}},
                        {"4:3", "cover", kStream, {0, 0, 1024, 768}, {160, 0, 960, 720}},
                        {"16:9", "fit", kStream43, {128, 96, 768, 576}, {0, 0, 640, 480}},
                        {"keep", "stretch", kStream43, {0, 0, 1024, 768}, {0, 0, 640, 480}},
                    });
}

TEST(VideoRun, WholeStreamAtFullSpeedOnTwoOutputs) {
    TestDir dir;
    // Unpaced, shown on arrival on both outputs; the 100th display commit
    // takes 200 ms, which the slow-frame report must flag. The decoder takes
    // 4 ms a frame: on the simulated board the panel's RGA scaling is done
    // by the CPU, and a loop slower than the decoder would drop most frames.
    VideoRun v = play(dir, kStreamLong,
                      {{"VEX_SMOOTH", "0"},
                       {"VEX_SIM_BOARD", "rk3566-hdmi-dsi"},
                       {"VEX_SIM_SLOW_COMMIT", "100:200"},
                       {"VEX_SIM_DEC_DELAY_US", "4000"}},
                      {});
    EXPECT_EQ(v.dec, 1200);
    // Standard input closed: the last frame was presented before the exit.
    for (const char *out : {"HDMI-A-1", "DSI-1"}) {
        std::vector<PlaneUpdate> updates;
        std::vector<int> s = frames(v.r.board(), out, v.shown, &updates);
        EXPECT_TRUE(!s.empty() && s.back() == 1199) << out;
    }
    // Framebuffers alive at exit: those kept for good (a standby buffer per
    // output, the panel's two menu overlay buffers and its three-slot ring)
    // and the two newest frames.
    EXPECT_TRUE(has_line(v.r.log, "vex-sim: 9 framebuffers alive at exit")) << describe(v.r);

    auto slow = match_lines(v.r.log, "vex-mpp: SLOW render (\\d+)ms dec=(\\d+) shown=(\\d+)");
    ASSERT_EQ(slow.size(), 1u) << describe(v.r);
    EXPECT_TRUE(slow[0][0] >= 190 && slow[0][0] < 1000) << slow[0][0];
    EXPECT_GE(slow[0][1], slow[0][2]);

    auto hb = match_lines(v.r.log, "vex-mpp: dec=(\\d+) shown=(\\d+) shown/s=(\\d+) dropped "
                                   "fifo/throttle/gate=(\\d+)/(\\d+)/(\\d+) enc "
                                   "rga_fail/pool_drop=(\\d+)/(\\d+)");
    ASSERT_EQ((long long)hb.size(), v.shown / 600) << describe(v.r);
    ASSERT_FALSE(hb.empty()) << "fewer than 600 frames shown\n" << describe(v.r);
    EXPECT_GE(hb[0][0], 600);
    for (size_t i = 0; i < hb.size(); i++) {
        EXPECT_EQ(hb[i][1], 600 * (long long)(i + 1));
        EXPECT_EQ(hb[i][2] > 0, i > 0) << "heartbeat " << i << ": a rate from the second on";
    }
}

TEST(VideoGap, ShortGapGatesUntilAKeyframeOrTheRelease) {
    // 250 ms without input after access unit `pause_at` (the frame before it
    // leaves the parser only with the next unit); the next IDR is frame 120. Late
    // in the GOP the gate holds until it; early, it gives up 350 ms after arming.
    const struct {
        int count, pause_at, from_lo, from_hi, to_lo, to_hi, min_ms;
        const char *end_re; // the gate's last line: dropped frames, then ms
    } cases[] = {
        {181, 111, 108, 119, 119, 119, 0,
         "vex-mpp: gate: resumed on keyframe 1280x720 after (\\d+) dropped \\((\\d+) ms\\)"},
        {131, 71, 69, 71, 0, 118, 350,
         "vex-mpp: gate: no keyframe after (\\d+) frames / (\\d+) ms — releasing \\(soft\\)"},
    };
    TestDir dir;
    for (const auto &k : cases) {
        SCOPED_TRACE(k.pause_at);
        VideoRun v = play(dir, kStream, {{"VEX_SMOOTH", "0"}}, paced(k.count, k.pause_at, 250));
        // (Start-up may arm the gate too, before the first frame: look after it.)
        int live = find_line(v.r.log, "vex-mpp: hdmi_state=live ");
        auto armed = match_lines(v.r.log, "vex-mpp: gate: armed \\(gap (\\d+)ms, soft\\)", live);
        auto end = match_lines(v.r.log, k.end_re, live);
        ASSERT_TRUE(live >= 0 && !armed.empty() && !end.empty()) << describe(v.r);
        EXPECT_TRUE(armed[0][0] >= 200 && armed[0][0] < 400) << armed[0][0];
        EXPECT_GE(end[0][1], k.min_ms);
        EXPECT_EQ(count_lines(v.r.log, "releasing"), k.min_ms ? 1 : 0) << describe(v.r);
        EXPECT_EQ(count_lines(v.r.log, "vex-mpp: gate: dropping non-key frames after gap"), 1);
        EXPECT_TRUE(has_line(v.r.log, "vex-mpp: hdmi_state=gated dec=")) << describe(v.r);

        int from = -1, to = -1; // the longest run of frames missing
        const std::vector<int> &s = v.frames;
        for (size_t i = 1; i < s.size(); i++)
            if (s[i] - s[i - 1] - 1 > to - from + 1) from = s[i - 1] + 1, to = s[i] - 1;
        EXPECT_TRUE(from >= k.from_lo && from <= k.from_hi) << from;
        EXPECT_TRUE(to >= k.to_lo && to <= k.to_hi) << to;
        EXPECT_EQ(end[0][0], to - from + 1);
        EXPECT_EQ(v.gate, to - from + 1);
    }
}

TEST(VideoGap, LongGapHidesTheVideoUntilTheNextKeyframe) {
    TestDir dir;
    // 1.7 s without input after frame 119; the first frame afterwards is the IDR 120.
    std::vector<std::string> seen;
    VideoRun v = play(dir, kStream, {{"VEX_SMOOTH", "0"}}, paced(151, 121, 1700), &seen);
    EXPECT_EQ(v.gate, 0);

    // The video plane went off once, between frames 119 and 120, 1.5 s or
    // more after frame 119.
    const std::vector<PlaneUpdate> &vid = v.video;
    size_t o = 0, offs = 0;
    for (size_t i = 0; i < vid.size(); i++)
        if (!vid[i].fb) o = i, offs++;
    ASSERT_TRUE(offs == 1 && o > 0 && o + 1 < vid.size()) << offs << " times off\n"
                                                          << describe(v.r);
    EXPECT_EQ(vid[o - 1].stamp, 119);
    EXPECT_EQ(vid[o + 1].stamp, 120);
    EXPECT_GE(vid[o].us - vid[o - 1].us, 1500000);

    // Log: armed, gated, hidden, then live again on the keyframe.
    expect_in_order(v.r.log,
                    {"vex-mpp: hdmi_state=live ", "vex-mpp: gate: armed (gap ",
                     "vex-mpp: hdmi_state=gated ", "vex-mpp: hdmi_state=hidden ",
                     "vex-mpp: gate: resumed on keyframe 1280x720 after 0 dropped",
                     "vex-mpp: hdmi_state=live "},
                    describe(v.r), false);

    // The state file: whole lines only, "hidden" during the gap, live at the
    // end; an unchanged state is rewritten no more than once a second.
    const std::regex rx("state=(live|gated|hidden) ts=(\\d+) dec=(\\d+) shown=(\\d+) reopens=0\n");
    std::string order, prev;
    long prev_ts = 0;
    for (const std::string &f : seen) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(f, m, rx)) << "'" << f << "'";
        const long ts = std::stol(m[2]);
        EXPECT_TRUE(m[1] != prev || ts - prev_ts >= 1000) << f;
        if (m[1] != prev) order += m[1].str() + " ";
        prev = m[1], prev_ts = ts;
    }
    EXPECT_NE(order.find("live gated hidden live"), std::string::npos) << order;
}

} // namespace
