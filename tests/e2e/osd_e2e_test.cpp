// End-to-end run of the OSD pop-up on the simulated HDMI + DSI board, steered
// through vexctl: an error pop-up puts the card on the DSI panel's overlay
// only, an open menu moves it down, and clearing it takes it away again, while
// video plays.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kError = 0xff5a5f; // the error level's colour

// Screenshots of both outputs: the error-coloured pixels of the DSI panel and
// of the HDMI monitor. false when they do not come.
bool shoot(const std::string &board, Spot *dsi, Spot *hdmi, int *caption = nullptr) {
    std::vector<TestImage> s;
    if (!screenshot_now(board, {"DSI-1", "HDMI-A-1"}, &s) || s[0].w != 720 || s[0].h != 1280)
        return false;
    *dsi = spot(s[0], kError);
    *hdmi = spot(s[1], kError);
    // The caption beside the accent bar: 22 columns or more right of its left edge.
    if (caption) *caption = spot(s[0], kError, dsi->x0 + 22).n;
    return true;
}

TEST(Osd, ErrorCardOnTheDsiOverlay) {
    TestDir dir;
    // The program's "/run/vex-fpv/osd" is there before the start, so the first
    // composition shows the pop-up.
    ASSERT_TRUE(steer(dir.next_board(), {"osd", "error", "Baterai", "lemah"}));
    SimRunOpts o;
    o.env = {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"}};
    o.timeout_s = 25;
    SimThread run(dir, o, true, "h264_720p.h264"); // looped video until the end

    Spot dsi, hdmi, dsi_after, hdmi_after;
    int caption = 0;
    const bool shown =
        run.wait_log("vex-mpp: hdmi_state=", 15000) && shoot(run.board, &dsi, &hdmi, &caption);
    // An open menu: the card moves below it, to the bottom of the panel.
    steer(run.board,
          {"menu", "open", "--tab", "display", "--title", "Display", "Fit: fit", "Flip: none"});
    Spot under, menu_accent;
    const bool moved = shown && wait_for(
                                    [&] {
                                        std::vector<TestImage> s;
                                        if (!screenshot_now(run.board, {"DSI-1"}, &s)) return false;
                                        under = spot(s[0], kError);
                                        menu_accent = spot(s[0], 0x36d399);
                                        return menu_accent.n > 1000 && under.n > 0;
                                    },
                                    3000);
    steer(run.board, {"menu", "close"});
    steer(run.board, {"osd", "clear"}); // gone at one of the next passes
    const bool cleared =
        shown &&
        wait_for([&] { return shoot(run.board, &dsi_after, &hdmi_after) && !dsi_after.n; }, 3000);
    const SimRunResult &r = run.join();

    ASSERT_TRUE(shown) << describe(r);
    // The card sits 1280/6 + 4 = 217 rows from the top; its accent bar runs
    // from 30 rows below that to 30 rows above the bottom of the one-line card
    // (65 + 37 + 30 rows), with the "KESALAHAN" caption beside it.
    EXPECT_EQ((std::vector<int>{dsi.y0, dsi.y1}), (std::vector<int>{217 + 30, 217 + 132 - 31}));
    EXPECT_GE(dsi.n, 7 * 60);
    EXPECT_GT(caption, 20);
    EXPECT_TRUE(moved && under.y0 > menu_accent.y1 && under.y1 < 1280 - 30)
        << "menu to row " << menu_accent.y1 << ", card from row " << under.y0 << " to " << under.y1;
    EXPECT_TRUE(cleared) << describe(r);
    EXPECT_EQ(hdmi.n + hdmi_after.n, 0); // never on the HDMI output
    EXPECT_EQ(r.status, 0) << describe(r);
}

} // namespace
