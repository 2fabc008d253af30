// End-to-end runs of how the picture recovers from breaks: the keyframe gate
// after a pause in a slow feed and after a decoder stall, long runs of decoder
// re-opens, and start-up with standard input closed.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Args = std::vector<std::string>;

// The frame numbers that reached output `name`, in order.
std::vector<int> stamps_on(const std::string &board, const char *name) {
    std::vector<int> s;
    for (const PlaneUpdate &u : read_updates(board, name))
        if (u.fb && u.stamp >= 0) s.push_back(u.stamp);
    return s;
}

// Lines from the first "live" state on: start-up may arm the gate before the
// first frame.
std::string from_live(const std::string &log) {
    size_t at = log.find("vex-mpp: hdmi_state=live");
    return at == std::string::npos ? std::string() : log.substr(at);
}

TEST(GateRecovery, SlowFeedAfterAPauseShowsEveryFrameAfterTheRelease) {
    // One key frame at the start: after the pause the soft gate can only end
    // by its release, and from then on every frame must be shown, however
    // slowly they come (slower than the loop's passes).
    struct Case {
        const char *smooth, *fps, *count, *pause_at;
    } cases[] = {{"1", "30", "75", "20"}, {"0", "8", "24", "8"}};
    TestDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("VEX_SMOOTH=") + c.smooth + " fps " + c.fps);
        SimRunOpts o;
        o.input = stream_path("h264_stamped_onekey_480p.h264");
        o.env = {{"VEX_SMOOTH", c.smooth}};
        o.feed = {"--fps",      c.fps,      "--count",    c.count,
                  "--pause-at", c.pause_at, "--pause-ms", "300"};
        o.update_log = true;
        o.timeout_s = 20;
        SimRunResult r = sim_run(dir, o);
        ASSERT_TRUE(!r.timed_out && r.status == 0) << describe(r);
        const std::string live = from_live(r.log);
        EXPECT_EQ(count_lines(live, "vex-mpp: gate: armed (gap "), 1) << describe(r);
        EXPECT_EQ(count_lines(live, "— releasing (soft)"), 1) << describe(r);
        EXPECT_FALSE(has_line(live, "vex-mpp: hdmi_state=hidden")) << describe(r);

        // Frames after the release follow each other without a hole.
        const std::vector<int> s = stamps_on(r.board(), "HDMI-A-1");
        const int total = atoi(c.count), pause_at = atoi(c.pause_at);
        ASSERT_FALSE(s.empty()) << describe(r);
        auto resumed = std::find_if(s.begin(), s.end(), [&](int n) { return n > pause_at; });
        ASSERT_NE(resumed, s.end()) << describe(r);
        for (auto it = resumed; it + 1 != s.end(); ++it)
            EXPECT_EQ(it[1], it[0] + 1) << "frame " << it[1] << " after " << it[0];
        EXPECT_GE(s.back(), total - 2); // the cut feed may leave its last picture unfinished
        // The gate held back no more than its 350 ms at the feed's rate.
        EXPECT_LE(*resumed - pause_at, atoi(c.fps) * 4 / 10 + 2) << describe(r);
    }
}

TEST(GateRecovery, AStallGatesHardUntilTheNextKeyFrame) {
    // The decoder stops handing back frames after frame 30; the stall is found
    // 45 packets later, the decoder flushed, and what it decodes next lacks
    // its references until the key frame at 120. None of that may be shown,
    // although the gap armed the gate (soft) long before the stall was found.
    TestDir dir;
    SimRunOpts o;
    o.input = stream_path("h264_stamped_720p60_short.h264");
    o.env = {{"VEX_SIM_DEC_STALL_AFTER", "30"},
             {"VEX_SIM_DEC_STALL_UNTIL_FLUSH", "1"},
             {"VEX_KMS_DEAD_MS", "400"}};
    o.feed = {"--fps", "60", "--count", "180"};
    o.update_log = true;
    o.timeout_s = 20;
    SimRunResult r = sim_run(dir, o);
    ASSERT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    expect_in_order(r.log,
                    {"vex-mpp: decoder STALLED", "vex-mpp: gate: resumed on keyframe 1280x720"},
                    describe(r), false);
    EXPECT_FALSE(has_line(r.log, "— releasing (")) << describe(r);
    const std::vector<int> s = stamps_on(r.board(), "HDMI-A-1");
    for (int n : s) EXPECT_TRUE(n < 31 || n >= 120) << "broken frame " << n << " shown";
    EXPECT_NE(std::find(s.begin(), s.end(), 120), s.end()) << describe(r);
}

TEST(Reopens, ManyReopensLeaveNoBufferPinned) {
    // Every loop of the stream changes the resolution twice: 15 re-opens, each
    // with a fresh decoder buffer pool. Imported buffers must be let go once
    // their framebuffers are gone.
    TestDir dir;
    SimRunOpts o;
    o.input = stream_path("h264_reschange.h264");
    o.feed = {"--fps", "0", "--loop", "8"};
    o.timeout_s = 30;
    SimRunResult r = sim_run(dir, o);
    ASSERT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    EXPECT_EQ(count_lines(r.log, "— decoder reopened (#"), 15) << describe(r);
    EXPECT_TRUE(has_line(r.log, "vex-sim: 0 imported buffer handles open at exit")) << describe(r);
}

TEST(Startup, ClosedStandardInputAndALongStatePath) {
    // Nothing opened at start may take descriptor 0: the card would then be
    // read as the stream (and a card read waits for events for good). The
    // state file goes where it is asked to, however long the path.
    TestDir dir;
    const std::string deep = dir.path + "/" + std::string(200, 'a') + "/" + std::string(150, 'b');
    ASSERT_EQ(system(("mkdir -p " + deep).c_str()), 0);
    SimRunOpts o;
    o.input_fd = kInputClosed;
    o.env = {{"VEX_KMS_STATE", deep + "/hdmi_state"}};
    o.timeout_s = 10;
    SimRunResult r = sim_run(dir, o);
    EXPECT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    EXPECT_TRUE(has_line(r.log, "vex-mpp: end of input — dec=0 shown=0")) << describe(r);
    EXPECT_EQ(read_file(deep + "/hdmi_state").rfind("state=hidden ", 0), 0u);
}

} // namespace
