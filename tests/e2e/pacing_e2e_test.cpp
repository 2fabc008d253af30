// End-to-end runs of vblank pacing on drivers whose plane updates block until
// the vblank, and of the opt-in drop of a frame that stands in the mailbox.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <utility>

namespace {

SimRunResult play_paced(TestDir &dir, SimEnv env, const std::string &writes = "") {
    SimRunOpts o;
    o.input = stream_path("h264_stamped_720p60_short.h264");
    o.env = std::move(env);
    o.feed = {"--fps", "60"};
    if (!writes.empty()) o.feed.insert(o.feed.end(), {"--log", writes});
    o.update_log = true;
    o.timeout_s = 20;
    return sim_run(dir, o);
}

// Frames from `from` on: how many were counted, and the longest run of them
// in a row that took half a period or more longer from the start of their
// write to the screen than the frames before `stall` typically did. Where a
// frame lands in a period is fixed by the phase of the feed against the
// vblanks, the same for the whole run; a standing frame makes every frame
// after it one period later than the frames before it, a loaded machine only
// some here and there.
struct Lateness {
    int counted = 0, longest_late_run = 0;
};
Lateness lateness(const SimRunResult &r, const std::string &writes, size_t stall, size_t from) {
    std::map<int, long long> shown;
    for (const auto &f : first_shown(r.board(), "HDMI-A-1")) shown.insert(f);
    const std::vector<long long> begun = feed_write_begun(writes);
    auto took = [&](size_t i) {
        auto it = shown.find((int)i);
        return it == shown.end() || i >= begun.size() ? -1 : it->second - begun[i];
    };
    std::vector<long long> before;
    for (size_t i = 40; i < stall; i++)
        if (took(i) >= 0) before.push_back(took(i));
    Lateness l;
    if (before.size() < 20) return l;
    std::nth_element(before.begin(), before.begin() + (long)before.size() / 2, before.end());
    const long long usual = before[before.size() / 2], half_period = 8333;
    int run = 0;
    for (size_t i = from; i < begun.size(); i++) {
        l.counted++;
        const long long t = took(i);
        run = t < 0 || t >= usual + half_period ? run + 1 : 0;
        l.longest_late_run = std::max(l.longest_late_run, run);
    }
    return l;
}

TEST(Pacing, BlockingCommitsStillShowEveryFrame) {
    // A vblank wait followed by an update that waits for the next vblank
    // shows every other frame; the loop must notice and let the commits pace.
    TestDir dir;
    SimRunResult r = play_paced(dir, {{"VEX_SIM_BLOCKING_COMMIT", "1"}});
    ASSERT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    EXPECT_EQ(count_lines(r.log, "vex-mpp: plane updates wait for the vblank ("), 1) << describe(r);
    const EndCounts c = end_counts(r);
    ASSERT_EQ(c.dec, 240) << describe(r);
    EXPECT_GE(c.shown, c.dec * 85 / 100) << describe(r);

    // Paced by the commits, a slow commit leaves a frame standing in the
    // mailbox, a period late for good; the opt-in drop removes it there too.
    const std::string writes = dir.path + "/writes.log";
    r = play_paced(dir,
                   {{"VEX_SIM_BLOCKING_COMMIT", "1"},
                    {"VEX_SIM_SLOW_COMMIT", "100:40"},
                    {"VEX_KMS_STANDING_DROP", "3"}},
                   writes);
    ASSERT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    const EndCounts d = end_counts(r);
    ASSERT_EQ(d.dec, 240) << describe(r);
    EXPECT_EQ(d.dec, d.shown + d.fifo) << describe(r);
    const Lateness late = lateness(r, writes, 95, 150);
    ASSERT_GE(late.counted, 80) << describe(r);
    EXPECT_LT(late.longest_late_run, late.counted / 2)
        << late.longest_late_run << " late in a row of " << late.counted << "\n"
        << describe(r);

    // Updates that return at once are never taken for blocking ones.
    r = play_paced(dir, {});
    ASSERT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    EXPECT_FALSE(has_line(r.log, "plane updates wait for the vblank")) << describe(r);
}

TEST(Pacing, StandingFrameDropKeepsOrderAndCounts) {
    // With the opt-in drop, a frame that stands in the mailbox for a few
    // vblanks costs its older neighbour once; every frame is still accounted
    // for and the screen never goes back in time.
    TestDir dir;
    SimRunResult r = play_paced(dir, {{"VEX_KMS_STANDING_DROP", "3"}});
    ASSERT_TRUE(!r.timed_out && r.status == 0) << describe(r);
    const EndCounts c = end_counts(r);
    ASSERT_EQ(c.dec, 240) << describe(r);
    EXPECT_EQ(c.dec, c.shown + c.fifo) << describe(r);
    int last = -1;
    for (const PlaneUpdate &u : read_updates(r.board(), "HDMI-A-1")) {
        if (!u.fb || u.stamp < 0) continue;
        EXPECT_GT(u.stamp, last);
        last = u.stamp;
    }
}

} // namespace
