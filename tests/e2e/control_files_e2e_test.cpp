// End-to-end run of hostile control files: while a paced stream plays, the
// menu file becomes a FIFO nobody writes, the telemetry file a link to
// /dev/zero and the OSD and connect files 50 MB each. None of them may hold
// up the presentation loop: the frames keep coming at the stream's rate.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(ControlFiles, HostileFilesNeverStallTheVideo) {
    TestDir dir;
    SimRunOpts o;
    o.input = stream_path("h264_stamped_720p60_short.h264");
    o.feed = {"--fps", "60", "--count", "180"};
    o.update_log = true;
    o.timeout_s = 20;
    SimThread run(dir, o);
    const std::string ctl = run.board + "/run/vex-fpv/";
    auto shown = [&](int frame) {
        for (const PlaneUpdate &u : read_updates(run.board))
            if (u.stamp >= frame) return true;
        return false;
    };
    ASSERT_TRUE(wait_for([&] { return shown(20); }, 10000)) << run.log();

    // Made by hand: vexctl only ever writes small regular files.
    ASSERT_EQ(mkfifo((ctl + "menu").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", (ctl + "telemetry").c_str()), 0);
    for (const char *big : {"osd", "connect"}) {
        const int fd = open((ctl + big).c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "error\nDisk full\n", 16), 16);
        ASSERT_EQ(ftruncate(fd, 50 << 20), 0);
        close(fd);
    }
    // When the files were in place, in the update log's clock.
    long long placed_us = 0;
    for (const PlaneUpdate &u : read_updates(run.board)) placed_us = u.us;

    const SimRunResult &r = run.join();
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(count_lines(r.log, "/run/vex-fpv/menu is not a regular file"), 1) << r.log;
    EXPECT_EQ(count_lines(r.log, "/run/vex-fpv/telemetry is not a regular file"), 1) << r.log;
    // From the moment the files were there to the last frame, every gap between
    // two pictures stays far below what a blocked pass would leave (the feed
    // is paced at 60 fps; a loaded machine may delay a frame now and then).
    long long last = placed_us, worst = 0;
    int frames = 0, top = -1;
    for (const PlaneUpdate &u : read_updates(r.board(), "HDMI-A-1")) {
        if (u.us < placed_us || u.stamp < 0) continue;
        worst = std::max(worst, u.us - last);
        last = u.us;
        frames++;
        top = std::max(top, u.stamp);
    }
    EXPECT_EQ(top, 179) << describe(r);
    EXPECT_GT(frames, 100) << describe(r);
    EXPECT_LT(worst, 1000000) << "the longest gap between two pictures, in microseconds";
}

} // namespace
