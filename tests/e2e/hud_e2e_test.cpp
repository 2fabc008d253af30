// End-to-end run of the telemetry HUD on the simulated HDMI + DSI board: the
// HUD is drawn on the DSI panel only, and its clock moves on by itself once a
// second without any change of the telemetry file.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace {

// Screenshots of the panel and the monitor, taken `ms` after the run began.
struct Shot {
    std::vector<TestImage> s; // DSI-1, HDMI-A-1
    long ms = 0;
};

uint32_t rgb(const TestImage &s, int x, int y) {
    return s.at(x, y) & 0xffffff;
}

// Whether the HUD covers the picture, with the telemetry file read: the left
// margins of the 26-row bottom bar and of the chip band at the top show the
// bar colour 0xa6080a0f over what lies next to them.
bool hud_shown(const TestImage &s) {
    return rgb(s, 2, s.h - 13) == over(0xa6080a0f, rgb(s, 2, s.h - 40)) &&
           rgb(s, 2, 2) == over(0xa6080a0f, rgb(s, 2, 100));
}

TEST(Hud, OnTheDsiPanelOnlyAndItsClockTicks) {
    TestDir dir;
    // The telemetry file at its default path "/run/vex-fpv/telemetry".
    ASSERT_TRUE(steer(dir.next_board(), {"telemetry", "gog=76", "drn=22", "sig=4", "sat=9",
                                         "alt=35.5", "rec=1", "recs=75", "vpn=1"}));
    // Standard input stays open without a picture, so the screens show the
    // standby picture; the uptime reaches 3 h 26 min 3 s into the run.
    SimRunOpts o;
    o.env = {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"},
             {"VEX_KMS_TELEMETRY_DSI", "1"},
             {"VEX_SIM_UPTIME", "12357"}};
    o.update_log = true;
    o.timeout_s = 15;
    SimThread run(dir, o, true);

    // Screenshots every 200 ms until the panel's HUD has changed over more
    // than a second (8 s at most): the first and the last with the HUD.
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<Shot> hud; // those with the HUD on the panel
    for (long ms = 0; ms < 8000; usleep(200000)) {
        Shot s;
        const bool shot = screenshot_now(run.board, {"DSI-1", "HDMI-A-1"}, &s.s, 2000);
        ms = s.ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
        if (!shot || !hud_shown(s.s[0])) continue;
        hud.push_back(std::move(s));
        if (hud.back().ms - hud[0].ms > 1000 && hud.back().s[0].px != hud[0].s[0].px) break;
    }
    const SimRunResult &r = run.join();
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    ASSERT_GE(hud.size(), 2u) << describe(r);
    const TestImage &a = hud[0].s[0], &b = hud.back().s[0];
    ASSERT_EQ(a.w * 10000 + a.h, 720 * 10000 + 1280);
    ASSERT_GE(hud.back().ms - hud[0].ms, 1000);

    // Only the uptime at the right end of the bottom bar changed ("UP 3:25"
    // became "UP 3:26") while the telemetry file stayed as it was.
    int x0 = a.w, x1 = -1, y0 = a.h;
    for (int y = 0; y < a.h; y++)
        for (int x = 0; x < a.w; x++)
            if (a.at(x, y) != b.at(x, y))
                x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y);
    EXPECT_GE(x1, 0) << "the clock did not move between " << hud[0].ms << " and " << hud.back().ms
                     << " ms";
    EXPECT_TRUE(y0 >= a.h - 26 && x0 >= a.w - 8 - 120 && x1 < a.w - 8)
        << x0 << "," << y0 << " to " << x1;

    // Recomposed on the ticks on the panel's overlay plane; nothing on HDMI.
    int flips = 0;
    for (const PlaneUpdate &u : read_updates(run.board)) {
        EXPECT_FALSE(u.output == "HDMI-A-1" && u.fmt == "AR24");
        flips += u.output == "DSI-1" && u.fmt == "AR24";
    }
    EXPECT_GE(flips, 3);
    EXPECT_FALSE(hud_shown(hud.back().s[1]));
    EXPECT_TRUE(hud[0].s[1].px == hud.back().s[1].px) << "the monitor changed";
}

} // namespace
