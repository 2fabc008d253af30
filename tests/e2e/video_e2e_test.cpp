// End-to-end runs of live video on the simulated board: every picture carries
// its frame number (the stamped test streams), and the simulated card writes
// the number it finds on each plane update, so the update log shows which
// frame reached which screen, where, and when. Covered here: order and
// completeness of show-on-arrival, vblank pacing, placement (fit, cover,
// stretch on 16:9 and 4:3 outputs), framebuffer lifetime, the keyframe gate
// after gaps, hiding, the health reports and the frame counters.
#include "sim/kms_stamp.h"
#include "tests/e2e/sim_run.h"
#include "tests/unit/png_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <thread>
#include <unistd.h>

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using Args = std::vector<std::string>;

// 1280x720 with an IDR every 60 frames: 240 frames, and 1200 for whole runs.
const char *const kStream = "h264_stamped_720p60_short.h264";
const char *const kStreamLong = "h264_stamped_720p60.h264";
const char *const kStream43 = "h264_stamped_480p60.h264";   // 640x480, 60 frames
constexpr double kPeriodUs = 2200.0 * 1125 / 148500 * 1000; // 1080p60 frame period

std::string read_text(const std::string &path) {
    std::string s;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char buf[8192];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
        fclose(f);
    }
    return s;
}

// One line of the simulated card's update log.
struct Update {
    long long us = 0;
    std::string output;
    unsigned plane = 0, fb = 0;
    bool off = false;
    double sx = 0, sy = 0, sw = 0, sh = 0;
    int dx = 0, dy = 0, dw = 0, dh = 0;
    int stamp = -1;
};

std::vector<Update> read_updates(const std::string &path) {
    std::vector<Update> v;
    for (const std::string &l : log_lines(read_text(path))) {
        Update u;
        char out[64];
        int n = 0;
        if (sscanf(l.c_str(), "%lld %63s plane=%u fb=%u%n", &u.us, out, &u.plane, &u.fb, &n) < 4)
            continue;
        u.output = out;
        u.off = u.fb == 0;
        if (!u.off) {
            const char *p = strstr(l.c_str(), " src=");
            if (!p || sscanf(p, " src=%lf,%lf,%lfx%lf dst=%d,%d,%dx%d", &u.sx, &u.sy, &u.sw, &u.sh,
                             &u.dx, &u.dy, &u.dw, &u.dh) != 8)
                continue;
            const char *s = strstr(l.c_str(), " stamp=");
            if (s) u.stamp = atoi(s + 7);
        }
        v.push_back(u);
    }
    return v;
}

// The updates of the plane that shows the video on `output`: stamped pictures,
// and the same plane switched off.
std::vector<Update> video_updates(const std::vector<Update> &all, const std::string &output) {
    unsigned plane = 0;
    for (const Update &u : all)
        if (u.output == output && u.stamp >= 0) {
            plane = u.plane;
            break;
        }
    std::vector<Update> v;
    for (const Update &u : all)
        if (u.output == output && u.plane == plane && (u.off || u.stamp >= 0)) v.push_back(u);
    return v;
}

std::vector<int> stamps(const std::vector<Update> &video) {
    std::vector<int> s;
    for (const Update &u : video)
        if (!u.off) s.push_back(u.stamp);
    return s;
}

struct VideoRun {
    SimRunResult r;
    std::vector<Update> updates;
    std::vector<Update> video; // on HDMI-A-1
};

// Plays `stream` through vex-feed with the update log on. The run directory is
// the harness's next one (its path is known before the run starts).
VideoRun play(TestDir &dir, const char *stream, Env env, Args feed, int timeout_s = 20) {
    VideoRun v;
    std::string log = dir.path + "/updates-" + std::to_string(dir.runs + 1) + ".log";
    env.emplace_back("VEX_SIM_UPDATE_LOG", log);
    SimRunOpts o;
    o.input = stream_path(stream);
    o.env = std::move(env);
    o.feed = std::move(feed);
    if (o.feed.empty()) o.feed = {"--fps", "0"};
    o.timeout_s = timeout_s;
    v.r = sim_run(dir, o);
    v.updates = read_updates(log);
    v.video = video_updates(v.updates, "HDMI-A-1");
    return v;
}

Args paced(int count, int pause_at = -1, int pause_ms = 0) {
    Args a{"--fps", "60", "--count", std::to_string(count)};
    if (pause_at >= 0)
        a.insert(a.end(),
                 {"--pause-at", std::to_string(pause_at), "--pause-ms", std::to_string(pause_ms)});
    return a;
}

std::vector<std::string> match_line(const std::string &log, const char *re, int nth = 0) {
    std::regex rx(re);
    std::smatch m;
    for (const std::string &l : log_lines(log))
        if (std::regex_match(l, m, rx) && nth-- == 0)
            return std::vector<std::string>(m.begin(), m.end());
    return {};
}

std::vector<std::vector<long>> match_all(const std::string &log, const char *re) {
    std::regex rx(re);
    std::smatch m;
    std::vector<std::vector<long>> all;
    for (const std::string &l : log_lines(log))
        if (std::regex_match(l, m, rx)) {
            std::vector<long> g;
            for (size_t i = 1; i < m.size(); i++) g.push_back(atol(m[i].str().c_str()));
            all.push_back(g);
        }
    return all;
}

struct Counts {
    long dec = -1, shown = -1, fifo = -1, throttle = -1, gate = -1;
};

// The run ended at end of input with status 0 and every decoded frame is
// accounted for: shown, or dropped by the mailbox, the rate cap or the gate.
Counts expect_clean_end(const SimRunResult &r) {
    Counts c;
    EXPECT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    std::vector<std::string> m =
        match_line(r.log, "vex-mpp: end of input — dec=(\\d+) shown=(\\d+) dropped "
                          "fifo/throttle/gate=(\\d+)/(\\d+)/(\\d+)");
    EXPECT_FALSE(m.empty()) << describe(r);
    if (m.empty()) return c;
    c.dec = std::stol(m[1]), c.shown = std::stol(m[2]), c.fifo = std::stol(m[3]);
    c.throttle = std::stol(m[4]), c.gate = std::stol(m[5]);
    EXPECT_EQ(c.dec, sim_decoded(r)) << describe(r);
    EXPECT_EQ(c.dec, c.shown + c.fifo + c.throttle + c.gate) << describe(r);
    return c;
}

// Frame numbers strictly rising: no frame shown twice or out of order.
void expect_rising(const std::vector<int> &s) {
    for (size_t i = 1; i < s.size(); i++)
        ASSERT_GT(s[i], s[i - 1]) << "frame " << s[i] << " after " << s[i - 1] << " at " << i;
}

// Framebuffers the program keeps for good (a standby buffer per output and two
// overlay buffers per output with an overlay plane) and the two newest frames.
int framebuffers_kept(const std::string &log) {
    int outputs = (int)match_all(log, "vex-mpp: output \\d+ → crtc \\d+ plane \\d+ .*").size();
    int overlays = (int)match_all(log, "vex-mpp: output \\d+ menu → ARGB plane \\d+ .*").size();
    EXPECT_GT(outputs, 0);
    return outputs + 2 * overlays + 2;
}

// The first line at or after line `from` matching `re`, with its groups; empty when none.
std::vector<std::string> match_from(const std::string &log, int from, const char *re) {
    std::regex rx(re);
    std::smatch m;
    std::vector<std::string> lines = log_lines(log);
    for (size_t i = from < 0 ? lines.size() : (size_t)from; i < lines.size(); i++)
        if (std::regex_match(lines[i], m, rx)) return std::vector<std::string>(m.begin(), m.end());
    return {};
}

// ---- pacing and order --------------------------------------------------------

TEST(VideoOrder, EveryFrameShownOnArrival) {
    TestDir dir;
    // A paced feed never fills the two-slot mailbox, so nothing may be lost;
    // a mailbox drop can only come from a main thread held up by a loaded
    // machine: then it must be counted as one, and the run is tried again.
    for (int attempt = 1;; attempt++) {
        // 181 access units: the last one stays in the parser (nothing follows it).
        VideoRun v = play(dir, kStream, {{"VEX_SMOOTH", "0"}}, paced(181));
        Counts c = expect_clean_end(v.r);
        EXPECT_EQ(c.dec, 180);
        EXPECT_EQ(c.throttle + c.gate, 0);
        std::vector<int> s = stamps(v.video);
        expect_rising(s);
        EXPECT_EQ((long)s.size(), c.shown);
        EXPECT_EQ(180 - (long)s.size(), c.fifo) << "frames missing from the screen";
        if (c.fifo == 0 || attempt == 3) {
            EXPECT_EQ(c.fifo, 0) << "mailbox drops in every attempt\n" << describe(v.r);
            ASSERT_EQ(s.size(), 180u) << describe(v.r);
            for (int i = 0; i < 180; i++) ASSERT_EQ(s[(size_t)i], i) << "update " << i;
            break;
        }
    }
}

TEST(VideoOrder, PacedToTheVblank) {
    TestDir dir;
    VideoRun v = play(dir, kStream, {{"VEX_KMS_CADENCE", "1"}}, paced(181));
    Counts c = expect_clean_end(v.r);
    EXPECT_TRUE(has_line(v.r.log, "vex-mpp: pacing vblank (smooth)")) << describe(v.r);
    std::vector<int> s = stamps(v.video);
    expect_rising(s);
    EXPECT_EQ((long)s.size(), c.shown);
    ASSERT_GE(s.size(), 150u) << describe(v.r);
    EXPECT_EQ(s.back(), 179);

    // Plane updates follow the vblank: intervals are whole periods of the
    // 1080p60 mode, most of them exactly one (loose bounds: a loaded machine
    // wakes late now and then).
    int aligned = 0, one = 0, n = 0;
    for (size_t i = 1; i < v.video.size(); i++) {
        double d = (double)(v.video[i].us - v.video[i - 1].us);
        double k = std::round(d / kPeriodUs);
        n++;
        aligned += k >= 1 && std::fabs(d - k * kPeriodUs) < 4000;
        one += k == 1;
    }
    EXPECT_GE(aligned, n * 8 / 10) << aligned << " of " << n << " intervals on the vblank grid";
    EXPECT_GE(one, n * 7 / 10) << one << " of " << n << " intervals one period long";

    // Cadence: one line a second while frames are shown, p50 about one period.
    auto cad =
        match_all(v.r.log, "vex-mpp: cadence shown/s=(\\d+) present_ms "
                           "p50/p95/max=(\\d+)\\.\\d/(\\d+)\\.\\d/(\\d+)\\.\\d "
                           "bins\\[<8,8-14,14-19,19-25,>25\\]=(\\d+)/(\\d+)/(\\d+)/(\\d+)/"
                           "(\\d+) vblank n0/n1/n2=(\\d+)/(\\d+)/(\\d+) fifo_avg=\\d+\\.\\d\\d "
                           "dropped fifo/throttle/gate=(\\d+)/(\\d+)/(\\d+)");
    EXPECT_EQ((int)cad.size(), count_lines(v.r.log, "vex-mpp: cadence ")) << describe(v.r);
    EXPECT_GE(cad.size(), 2u) << describe(v.r);
    EXPECT_LE(cad.size(), 3u) << describe(v.r);
    for (const auto &g : cad) {
        EXPECT_GE(g[0], 40) << "shown/s";
        EXPECT_LE(g[0], 70) << "shown/s";
        EXPECT_GE(g[1], 14) << "p50";
        EXPECT_LE(g[1], 19) << "p50";
        long bins = g[4] + g[5] + g[6] + g[7] + g[8];
        EXPECT_GE(g[6] * 2, bins) << "most intervals in the 14-19 ms bin";
        EXPECT_GT(g[9] + g[10] + g[11], 50) << "vblank samples";
    }
}

TEST(VideoOrder, DisplayRateCapShowsEveryOtherFrame) {
    TestDir dir;
    VideoRun v = play(dir, kStream, {{"VEX_KMS_DISPLAY_FPS", "30"}}, paced(121));
    Counts c = expect_clean_end(v.r);
    EXPECT_EQ(c.dec, 120);
    // About half are throttled (a frame is admitted 31.3 ms after the last).
    EXPECT_GE(c.throttle, 40) << describe(v.r);
    EXPECT_LE(c.throttle, 70) << describe(v.r);
    std::vector<int> s = stamps(v.video);
    expect_rising(s);
    EXPECT_EQ((long)s.size(), c.shown);
    for (size_t i = 1; i < s.size(); i++) {
        EXPECT_LE(s[i] - s[i - 1], 4) << "at " << s[i];
        EXPECT_GE(v.video[i].us - v.video[i - 1].us, 20000) << "admitted too soon at " << s[i];
    }
}

// ---- placement -------------------------------------------------------------

struct Rect {
    int x, y, w, h;
};

bool operator==(const Rect &a, const Rect &b) {
    return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
}
std::ostream &operator<<(std::ostream &os, const Rect &r) {
    return os << r.x << "," << r.y << "," << r.w << "x" << r.h;
}

struct PlaceCase {
    const char *aspect, *fit, *stream;
    Rect dst, src;
};

std::ostream &operator<<(std::ostream &os, const PlaceCase &c) {
    return os << "aspect " << c.aspect << " fit " << c.fit << " " << c.stream;
}

int brightness(uint32_t argb) {
    return (77 * (int)(argb >> 16 & 255) + 150 * (int)(argb >> 8 & 255) + 29 * (int)(argb & 255)) >>
           8;
}

// The screenshot shows the last frame where the rectangles say: black bars
// outside the destination, picture inside it, and the stamp's cells (those
// inside the source crop) scaled to where they belong.
void expect_screen(const TestImage &img, const PlaceCase &pc, int stamp) {
    const Rect &d = pc.dst, &s = pc.src;
    auto black = [&](int x, int y) { return brightness(img.at(x, y)) < 16; };
    if (d.y > 0) {
        EXPECT_TRUE(black(img.w / 2, d.y / 2)) << "top bar";
        EXPECT_TRUE(black(img.w / 2, (d.y + d.h + img.h) / 2)) << "bottom bar";
    }
    if (d.x > 0) {
        EXPECT_TRUE(black(d.x / 2, img.h / 2)) << "left bar";
        EXPECT_TRUE(black((d.x + d.w + img.w) / 2, img.h / 2)) << "right bar";
    }
    int lit = 0;
    for (int i = 0; i < 8; i++)
        for (int j = 0; j < 8; j++)
            lit += !black(d.x + d.w * (2 * i + 1) / 16, d.y + d.h * (2 * j + 1) / 16);
    EXPECT_GE(lit, 32) << "picture inside the destination";

    const int frame_w = pc.stream == kStream43 ? 640 : 1280;
    const double side = (double)frame_w / kms_stamp_cells;
    int checked = 0;
    for (int k = 0; k < kms_stamp_cells; k++) {
        double cx, cy;
        kms_stamp_cell_centre(frame_w, k, &cx, &cy);
        if (cx < s.x + side / 4 || cx > s.x + s.w - side / 4 || cy < s.y + side / 4 ||
            cy > s.y + s.h - side / 4)
            continue;
        int X = d.x + (int)((cx - s.x) * d.w / s.w), Y = d.y + (int)((cy - s.y) * d.h / s.h);
        int b = brightness(img.at(X, Y));
        if (kms_stamp_cell(stamp, k))
            EXPECT_GE(b, 170) << "cell " << k << " at " << X << "," << Y;
        else
            EXPECT_LE(b, 80) << "cell " << k << " at " << X << "," << Y;
        checked++;
    }
    // The stamp band is visible unless the crop starts below it.
    if (s.y < side / 2) {
        EXPECT_GE(checked, 12);
    }
}

void check_placement(const char *board, int W, int H, const std::vector<PlaceCase> &cases) {
    TestDir dir;
    for (const PlaceCase &pc : cases) {
        SCOPED_TRACE(testing::Message() << pc);
        Env env{{"VEX_SMOOTH", "0"},
                {"VEX_KMS_ASPECT", pc.aspect},
                {"VEX_KMS_FIT", pc.fit},
                {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"}};
        if (board) env.emplace_back("VEX_SIM_BOARD", board);
        VideoRun v = play(dir, pc.stream, env, {"--count", "6"}, 10);
        Counts c = expect_clean_end(v.r);
        // Unpaced: some frames may be dropped by the mailbox.
        ASSERT_GE(c.shown, 1) << describe(v.r);
        ASSERT_EQ((long)v.video.size(), c.shown) << describe(v.r);
        for (const Update &u : v.video) {
            EXPECT_EQ(Rect({u.dx, u.dy, u.dw, u.dh}), pc.dst);
            EXPECT_EQ(Rect({(int)u.sx, (int)u.sy, (int)u.sw, (int)u.sh}), pc.src);
        }
        // Cover crops in whole 16-pixel steps, centred up to one step.
        const Rect &s = pc.src;
        EXPECT_EQ(s.x % 16 + s.w % 16 + s.y % 16 + s.h % 16, 0);
        int fw = pc.stream == kStream43 ? 640 : 1280, fh = pc.stream == kStream43 ? 480 : 720;
        EXPECT_LE(std::abs(2 * s.x + s.w - fw), 32);
        EXPECT_LE(std::abs(2 * s.y + s.h - fh), 32);

        TestImage img;
        ASSERT_TRUE(png_read(v.r.dir + "/board/screen-HDMI-A-1.png", &img)) << describe(v.r);
        ASSERT_EQ(img.w, W);
        ASSERT_EQ(img.h, H);
        expect_screen(img, pc, v.video.back().stamp);
    }
}

// Three cases per test, so that they run side by side.
TEST(VideoPlacement, A4x3PictureOnA16x9Output) {
    check_placement(nullptr, 1920, 1080,
                    {
                        {"16:9", "fit", kStream43, {240, 0, 1440, 1080}, {0, 0, 640, 480}},
                        {"16:9", "cover", kStream43, {0, 0, 1920, 1080}, {0, 48, 640, 352}},
                        {"16:9", "stretch", kStream43, {0, 0, 1920, 1080}, {0, 0, 640, 480}},
                    });
}

TEST(VideoPlacement, A16x9PictureInA4x3BoxOnA16x9Output) {
    check_placement(nullptr, 1920, 1080,
                    {
                        {"4:3", "fit", kStream, {240, 135, 1440, 810}, {0, 0, 1280, 720}},
                        {"4:3", "cover", kStream, {240, 0, 1440, 1080}, {160, 0, 960, 720}},
                        {"4:3", "stretch", kStream, {240, 0, 1440, 1080}, {0, 0, 1280, 720}},
                    });
}

const std::string board_4x3 = std::string(VEX_TEST_BOARDS) + "/monitor-4x3.board";

TEST(VideoPlacement, A16x9PictureOnA4x3Output) {
    check_placement(board_4x3.c_str(), 1024, 768,
                    {
                        {"keep", "fit", kStream, {0, 96, 1024, 576}, {0, 0, 1280, 720}},
                        {"4:3", "cover", kStream, {0, 0, 1024, 768}, {160, 0, 960, 720}},
                        {"4:3", "stretch", kStream, {0, 0, 1024, 768}, {0, 0, 1280, 720}},
                    });
}

TEST(VideoPlacement, A4x3PictureOnA4x3Output) {
    check_placement(board_4x3.c_str(), 1024, 768,
                    {
                        {"keep", "stretch", kStream43, {0, 0, 1024, 768}, {0, 0, 640, 480}},
                        {"16:9", "fit", kStream43, {128, 96, 768, 576}, {0, 0, 640, 480}},
                        {"16:9", "cover", kStream43, {0, 96, 1024, 576}, {0, 48, 640, 352}},
                    });
}

// ---- whole runs: framebuffers, end of input, reports -------------------------

TEST(VideoRun, WholeStreamAtFullSpeed) {
    TestDir dir;
    // Unpaced, shown on arrival; the 100th display commit (a video frame)
    // takes 200 ms, which the slow-frame report must flag.
    VideoRun v =
        play(dir, kStreamLong, {{"VEX_SMOOTH", "0"}, {"VEX_SIM_SLOW_COMMIT", "100:200"}}, {});
    Counts c = expect_clean_end(v.r);
    EXPECT_EQ(c.dec, 1200);
    std::vector<int> s = stamps(v.video);
    expect_rising(s);
    EXPECT_EQ((long)s.size(), c.shown);
    ASSERT_FALSE(s.empty());
    // Standard input closed: the last frame was presented before the exit.
    EXPECT_EQ(s.back(), 1199);
    // Only the buffers the program keeps for good, and the two newest frames.
    EXPECT_TRUE(has_line(v.r.log, "vex-sim: " + std::to_string(framebuffers_kept(v.r.log)) +
                                      " framebuffers alive at exit"))
        << describe(v.r);

    auto slow = match_all(v.r.log, "vex-mpp: SLOW render (\\d+)ms dec=(\\d+) shown=(\\d+)");
    ASSERT_EQ(slow.size(), 1u) << describe(v.r);
    EXPECT_GE(slow[0][0], 190);
    EXPECT_LT(slow[0][0], 1000);
    EXPECT_GE(slow[0][1], slow[0][2]);

    auto hb = match_all(v.r.log, "vex-mpp: dec=(\\d+) shown=(\\d+) shown/s=(\\d+) dropped "
                                 "fifo/throttle/gate=(\\d+)/(\\d+)/(\\d+) enc "
                                 "rga_fail/pool_drop=(\\d+)/(\\d+)");
    ASSERT_EQ((long)hb.size(), c.shown / 600) << describe(v.r);
    EXPECT_EQ(hb[0][1], 600);
    EXPECT_EQ(hb[0][2], 0) << "the first heartbeat has no rate";
    EXPECT_GE(hb[0][0], 600);
    for (size_t i = 1; i < hb.size(); i++) {
        EXPECT_EQ(hb[i][1], 600 * (long)(i + 1));
        EXPECT_GT(hb[i][2], 0);
    }
}

TEST(VideoRun, TwoOutputsShowEveryFrame) {
    TestDir dir;
    VideoRun v = play(dir, kStream, {{"VEX_SMOOTH", "0"}, {"VEX_SIM_BOARD", "rk3566-hdmi-dsi"}},
                      {"--count", "121"});
    Counts c = expect_clean_end(v.r);
    EXPECT_EQ(c.dec, 120);
    for (const char *out : {"HDMI-A-1", "DSI-1"}) {
        std::vector<int> s = stamps(video_updates(v.updates, out));
        expect_rising(s);
        EXPECT_EQ((long)s.size(), c.shown) << out;
        if (!s.empty()) {
            EXPECT_EQ(s.back(), 119) << out;
        }
    }
    EXPECT_TRUE(has_line(v.r.log, "vex-sim: " + std::to_string(framebuffers_kept(v.r.log)) +
                                      " framebuffers alive at exit"))
        << describe(v.r);
}

// ---- gaps: the keyframe gate and hiding ---------------------------------------

// The longest run of frame numbers missing between consecutive stamps: [from, to].
void missing_range(const std::vector<int> &s, int *from, int *to) {
    *from = *to = -1;
    for (size_t i = 1; i < s.size(); i++)
        if (s[i] - s[i - 1] > 1 && s[i] - s[i - 1] - 1 > *to - *from + 1) {
            *from = s[i - 1] + 1;
            *to = s[i] - 1;
        }
}

TEST(VideoGap, ShortGapGatesUntilTheKeyframe) {
    TestDir dir;
    // 250 ms without input after access unit 110 (frame 109 leaves the parser
    // only with the next unit); the next IDR is frame 120.
    VideoRun v = play(dir, kStream, {{"VEX_SMOOTH", "0"}}, paced(181, 111, 250));
    Counts c = expect_clean_end(v.r);
    // (Start-up may arm the gate too, before the first frame: look after it.)
    int live = find_line(v.r.log, "vex-mpp: hdmi_state=live ");
    std::vector<std::string> armed =
        match_from(v.r.log, live, "vex-mpp: gate: armed \\(gap (\\d+)ms, soft\\)");
    ASSERT_FALSE(armed.empty()) << "the gap after frame 109 arms the gate\n" << describe(v.r);
    EXPECT_GE(std::stol(armed[1]), 200);
    EXPECT_LT(std::stol(armed[1]), 400);
    std::vector<std::string> resumed = match_from(
        v.r.log, live,
        "vex-mpp: gate: resumed on keyframe 1280x720 after (\\d+) dropped \\((\\d+) ms\\)");
    ASSERT_FALSE(resumed.empty()) << describe(v.r);
    EXPECT_EQ(count_lines(v.r.log, "vex-mpp: gate: dropping non-key frames after gap"), 1);
    EXPECT_FALSE(has_line(v.r.log, "releasing")) << describe(v.r);
    EXPECT_TRUE(has_line(v.r.log, "vex-mpp: hdmi_state=gated dec=")) << describe(v.r);

    std::vector<int> s = stamps(v.video);
    expect_rising(s);
    int from, to;
    missing_range(s, &from, &to);
    EXPECT_EQ(to, 119) << "dropped up to the keyframe";
    EXPECT_GE(from, 108);
    EXPECT_EQ(std::stol(resumed[1]), to - from + 1);
    EXPECT_EQ(c.gate, to - from + 1);
    EXPECT_EQ((long)s.size(), c.shown);
}

TEST(VideoGap, ShortGapReleasesWithoutAKeyframe) {
    TestDir dir;
    // The gap falls early in a GOP: the next IDR (frame 120) is 800 ms away,
    // so the soft gate gives up 350 ms after arming.
    VideoRun v = play(dir, kStream, {{"VEX_SMOOTH", "0"}}, paced(131, 71, 250));
    Counts c = expect_clean_end(v.r);
    std::vector<std::string> rel = match_line(
        v.r.log,
        "vex-mpp: gate: no keyframe after (\\d+) frames / (\\d+) ms — releasing \\(soft\\)");
    ASSERT_FALSE(rel.empty()) << describe(v.r);
    EXPECT_GE(std::stol(rel[2]), 350);
    std::vector<int> s = stamps(v.video);
    expect_rising(s);
    int from, to;
    missing_range(s, &from, &to);
    EXPECT_GE(from, 69);
    EXPECT_LE(from, 71);
    EXPECT_LT(to, 119) << "shown again before the keyframe";
    EXPECT_EQ(std::stol(rel[1]), to - from + 1) << "the releasing frame stays dropped";
    EXPECT_EQ(c.gate, to - from + 1);
}

TEST(VideoGap, LongGapHidesTheVideoUntilTheNextKeyframe) {
    TestDir dir;
    // 1.7 s without input after frame 119; the first frame afterwards is the IDR 120.
    const std::string state =
        dir.path + "/run" + std::to_string(dir.runs + 1) + "/board/run/vex-fpv/hdmi_state";
    std::atomic<bool> done{false};
    VideoRun v;
    std::thread runner([&] {
        v = play(dir, kStream, {{"VEX_SMOOTH", "0"}}, paced(151, 121, 1700));
        done = true;
    });
    // Watch the state file while it runs.
    std::vector<std::string> seen;
    while (!done) {
        std::string s = read_text(state);
        if (!s.empty() && (seen.empty() || seen.back() != s)) seen.push_back(s);
        usleep(10000);
    }
    runner.join();
    EXPECT_EQ(v.r.dir + "/board/run/vex-fpv/hdmi_state", state);
    Counts c = expect_clean_end(v.r);
    EXPECT_EQ(c.gate, 0);

    // The video plane went off once, between frames 119 and 120.
    std::vector<Update> &vid = v.video;
    int off = -1;
    for (size_t i = 0; i < vid.size(); i++)
        if (vid[i].off) {
            EXPECT_EQ(off, -1) << "switched off twice";
            off = (int)i;
        }
    ASSERT_GT(off, 0) << describe(v.r);
    ASSERT_LT(off + 1, (int)vid.size());
    EXPECT_EQ(vid[(size_t)off - 1].stamp, 119);
    EXPECT_EQ(vid[(size_t)off + 1].stamp, 120);
    double hidden_after_ms = (double)(vid[(size_t)off].us - vid[(size_t)off - 1].us) / 1000;
    EXPECT_GE(hidden_after_ms, 1500);
    std::vector<int> s = stamps(vid);
    expect_rising(s);
    EXPECT_EQ((long)s.size(), c.shown);

    // Log: armed, gated, hidden, then live again on the keyframe.
    int armed = find_line(v.r.log, "vex-mpp: gate: armed (gap ",
                          find_line(v.r.log, "vex-mpp: hdmi_state=live "));
    int gated = find_line(v.r.log, "vex-mpp: hdmi_state=gated ", armed);
    int hidden = find_line(v.r.log, "vex-mpp: hdmi_state=hidden ", gated);
    int resumed =
        find_line(v.r.log, "vex-mpp: gate: resumed on keyframe 1280x720 after 0 dropped", hidden);
    int live = find_line(v.r.log, "vex-mpp: hdmi_state=live ", resumed);
    EXPECT_TRUE(armed > 0 && gated > armed && hidden > gated && resumed > hidden && live > resumed)
        << describe(v.r);

    // The state file: whole lines only, "hidden" during the gap, live at the
    // end; an unchanged state is rewritten no more than once a second.
    std::regex rx("state=(live|gated|hidden) ts=(\\d+) dec=(\\d+) shown=(\\d+) reopens=0\n");
    std::vector<std::string> states;
    std::string prev_state;
    long prev_ts = 0;
    for (const std::string &f : seen) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(f, m, rx)) << "'" << f << "'";
        long ts = std::stol(m[2]);
        if (m[1] == prev_state) {
            EXPECT_GE(ts - prev_ts, 1000) << f;
        }
        if (states.empty() || states.back() != m[1]) states.push_back(m[1]);
        prev_state = m[1];
        prev_ts = ts;
    }
    std::string order;
    for (const std::string &st : states) order += st + " ";
    EXPECT_NE(order.find("live gated hidden live"), std::string::npos) << order;
}

} // namespace
