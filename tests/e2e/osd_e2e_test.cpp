// End-to-end run of the OSD pop-up on the simulated HDMI + DSI board: an
// "error" OSD file puts the card on the DSI panel's overlay only, and an empty
// text line takes it away again, while video plays.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <thread>

namespace {

// Pixels of a screenshot in the error colour 0xff5a5f: how many, their first
// and last row and first column, and how many lie 22 or more columns right of
// that column (the caption beside the accent bar).
struct ErrorPixels {
    int n = 0, top = -1, bottom = -1, left = 1 << 30, caption = 0;
};
ErrorPixels error_pixels(const TestImage &img) {
    ErrorPixels e;
    for (int pass = 0; pass < 2; pass++)
        for (int y = 0; y < img.h; y++)
            for (int x = 0; x < img.w; x++) {
                if ((img.at(x, y) & 0xffffff) != 0xff5a5f) continue;
                if (pass == 1) {
                    e.caption += x >= e.left + 22;
                    continue;
                }
                if (e.n++ == 0) e.top = y;
                e.bottom = y;
                e.left = std::min(e.left, x);
            }
    return e;
}

// Screenshots of both outputs: the error pixels of the DSI panel and the HDMI
// monitor. false when they do not come.
bool shoot(const std::string &sim_dir, ErrorPixels *dsi, ErrorPixels *hdmi) {
    std::vector<TestImage> s;
    if (!screenshot_now(sim_dir, {"DSI-1", "HDMI-A-1"}, &s) || s[0].w != 720 || s[0].h != 1280)
        return false;
    *dsi = error_pixels(s[0]);
    *hdmi = error_pixels(s[1]);
    return true;
}

TEST(Osd, ErrorCardOnTheDsiOverlay) {
    TestDir dir;
    // The program's "/run/vex-fpv/osd" is this file of the run directory; it is
    // there before the start, so the first composition shows the pop-up.
    const std::string run = dir.path + "/run" + std::to_string(dir.runs + 1);
    const std::string sim_dir = run + "/board", osd = sim_dir + "/run/vex-fpv/osd";
    for (const std::string &d : {run, sim_dir, sim_dir + "/run", sim_dir + "/run/vex-fpv"})
        mkdir(d.c_str(), 0755);
    put_file(osd, "error\nBaterai lemah\n", 1000);

    SimRunOpts o;
    o.input = stream_path("h264_720p.h264");
    o.feed = {"--codec", "h264", "--fps", "60", "--loop", "4"}; // 4 s of video
    o.env = {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"}};
    o.timeout_s = 25;
    SimRunResult r;
    std::thread prog([&] { r = sim_run(dir, o); });

    ErrorPixels dsi, hdmi, dsi_after, hdmi_after;
    const bool started = wait_for(
        [&] {
            return read_file(run + "/stderr").find("vex-mpp: hdmi_state=") != std::string::npos;
        },
        15000);
    const bool shown = started && shoot(sim_dir, &dsi, &hdmi);
    put_file(osd, "error\n\n", 2000); // gone at one of the next passes
    const bool cleared =
        shown &&
        wait_for([&] { return shoot(sim_dir, &dsi_after, &hdmi_after) && !dsi_after.n; }, 3000);
    prog.join();

    ASSERT_TRUE(shown) << describe(r);
    // The card sits 1280/6 + 4 = 217 rows from the top; its accent bar runs
    // from 30 rows below that to 30 rows above the bottom of the one-line card
    // (65 + 37 + 30 rows), with the "KESALAHAN" caption beside it.
    EXPECT_EQ((std::vector<int>{dsi.top, dsi.bottom}),
              (std::vector<int>{217 + 30, 217 + 132 - 31}));
    EXPECT_GE(dsi.n, 7 * 60);
    EXPECT_GT(dsi.caption, 20);
    EXPECT_TRUE(cleared) << describe(r);
    EXPECT_EQ(hdmi.n + hdmi_after.n, 0); // never on the HDMI output
    EXPECT_EQ(r.status, 0) << describe(r);
}

} // namespace
