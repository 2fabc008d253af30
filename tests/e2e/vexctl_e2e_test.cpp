// The control tool steering the simulated HDMI + DSI board while video plays:
// an error pop-up written before the start shows on the DSI panel's overlay
// only, an open menu moves it down, a bad value is refused without touching
// the running program, closing and clearing take both away, and vexctl status
// reads the state and mode files and tells a live program from a gone one.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using Shots = std::vector<TestImage>; // DSI-1, HDMI-A-1

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
    // The program's "/run/vex-fpv/osd" is there before the start, so the first
    // composition shows the pop-up.
    ASSERT_TRUE(steer(dir.next_board(), {"osd", "error", "Baterai", "lemah"}));
    SimRunOpts o;
    o.env = {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"}, {"VEX_KMS_HOTPLUG", "0"}};
    o.timeout_s = 25;
    SimThread run(dir, o, true, "h264_stamped_480p60.h264");
    const bool started = run.wait_log("vex-mpp: hdmi_state=", 15000);
    auto shoot = [&](Shots *s) {
        return screenshot_now(run.board, {"DSI-1", "HDMI-A-1"}, s) && (*s)[0].w == 720 &&
               (*s)[0].h == 1280;
    };

    const CtlResult status = vexctl(run.board, {"status"});
    Shots first;
    const bool popup = started && shoot(&first);
    const CtlResult menu = vexctl(run.board, {"menu", "open", "--tab", "display", "--title",
                                              "Video", "Bitrate: 8 Mbps", "Reboot"});
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

    ASSERT_TRUE(started && popup) << describe(r);
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("state="), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("fresh=yes\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("mode=1920x1080@60\n"), std::string::npos) << status.out;
    // The card sits 1280/6 + 4 = 217 rows from the top; its accent bar runs
    // from 30 rows below that to 30 rows above the bottom of the one-line card
    // (65 + 37 + 30 rows), with the "KESALAHAN" caption beside it, 22 columns
    // or more right of the bar's left edge.
    const Spot card = spot(first[0], error_red);
    EXPECT_EQ((std::vector<int>{card.y0, card.y1}), (std::vector<int>{217 + 30, 217 + 132 - 31}));
    EXPECT_GE(card.n, 7 * 60);
    EXPECT_GT(spot(first[0], error_red, card.x0 + 22).n, 20);
    for (const CtlResult *c : {&menu, &close, &clear}) EXPECT_EQ(c->status, 0) << c->err;
    ASSERT_TRUE(shown) << describe(r);
    // Under the open menu, to the bottom of the panel.
    const Spot under = spot(on[0], error_red), tab = spot(on[0], accent);
    EXPECT_TRUE(under.y0 > tab.y1 && under.y1 < 1280 - 30)
        << "menu to row " << tab.y1 << ", card from row " << under.y0 << " to " << under.y1;
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("'warning'"), std::string::npos) << bad.err;
    EXPECT_TRUE(cleared) << describe(r);
    // Never on the HDMI output.
    EXPECT_EQ(spot(first[1], error_red).n + spot(on[1], error_red).n, 0);
    EXPECT_EQ(r.status, 0) << describe(r);
    // The state file outlives the program; its age tells that nobody writes it.
    EXPECT_EQ(gone.status, 1) << gone.out << gone.err;
    EXPECT_NE(gone.out.find("fresh=no\n"), std::string::npos) << gone.out;
}
