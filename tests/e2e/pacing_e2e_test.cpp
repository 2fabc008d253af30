// End-to-end runs of vblank pacing on drivers whose plane updates block until
// the vblank, and of the opt-in drop of a frame that stands in the mailbox.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

namespace {

SimRunResult play_paced(TestDir &dir, SimEnv env) {
    SimRunOpts o;
    o.input = stream_path("h264_stamped_720p60_short.h264");
    o.env = std::move(env);
    o.feed = {"--fps", "60"};
    o.update_log = true;
    o.timeout_s = 20;
    return sim_run(dir, o);
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
