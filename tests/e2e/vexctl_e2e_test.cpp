// The control tool steering the simulated HDMI + DSI board while video plays:
// the menu and an OSD pop-up come and go through vexctl, a bad value is
// refused without touching the running program, and vexctl status reads the
// state and mode files and tells a live program from a gone one.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using Shots = std::vector<TestImage>; // DSI-1

constexpr uint32_t accent = 0x36d399, error_red = 0xff5a5f;

// The menu with the focus on the tabs highlights "Display" with an accent box
// of 189 x 52 from column 54 on the DSI panel's overlay (layout as in the
// menu's own end-to-end test; with a pop-up at the bottom the panel sits
// higher).
bool menu_on(const TestImage &dsi) {
    return spot(dsi, accent, 54, 300, 189, 600).n > 189 * 52 * 7 / 10;
}

} // namespace

TEST(Vexctl, SteersTheMenuAndOsdAndReadsTheState) {
    TestDir dir;
    SimRunOpts o;
    o.env = {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"}, {"VEX_KMS_HOTPLUG", "0"}};
    o.timeout_s = 25;
    SimThread run(dir, o, true, "h264_stamped_480p60.h264");
    const bool started = run.wait_log("vex-mpp: hdmi_state=", 15000);
    auto shoot = [&](Shots *s) { return screenshot_now(run.board, {"DSI-1"}, s); };

    const CtlResult status = vexctl(run.board, {"status"});
    const CtlResult menu = vexctl(run.board, {"menu", "open", "--tab", "display", "--title",
                                              "Video", "Bitrate: 8 Mbps", "Reboot"});
    const CtlResult osd = vexctl(run.board, {"osd", "error", "Baterai", "lemah"});
    Shots on;
    const bool shown = wait_for(
        [&] { return shoot(&on) && menu_on(on[0]) && spot(on[0], error_red).n > 7 * 60; }, 5000);
    // A bad value is refused and changes nothing on screen.
    const CtlResult bad = vexctl(run.board, {"osd", "warning", "x"});
    const CtlResult close = vexctl(run.board, {"menu", "close"});
    const CtlResult clear = vexctl(run.board, {"osd", "clear"});
    Shots off;
    const bool cleared = wait_for(
        [&] {
            return shoot(&off) && spot(off[0], accent).n == 0 && spot(off[0], error_red).n == 0;
        },
        5000);
    const SimRunResult &r = run.join();
    usleep(100 * 1000);
    const CtlResult gone = vexctl(run.board, {"status", "--max-age", "50"});

    ASSERT_TRUE(started) << describe(r);
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("state="), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("fresh=yes\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("mode=1920x1080@60\n"), std::string::npos) << status.out;
    for (const CtlResult *c : {&menu, &osd, &close, &clear}) EXPECT_EQ(c->status, 0) << c->err;
    EXPECT_TRUE(shown) << describe(r);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("'warning'"), std::string::npos) << bad.err;
    EXPECT_TRUE(cleared) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    // The state file outlives the program; its age tells that nobody writes it.
    EXPECT_EQ(gone.status, 1) << gone.out << gone.err;
    EXPECT_NE(gone.out.find("fresh=no\n"), std::string::npos) << gone.out;
}
