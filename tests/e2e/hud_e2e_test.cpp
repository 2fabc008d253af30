// End-to-end run of the telemetry HUD on the simulated HDMI + DSI board: the
// HUD is drawn on the DSI panel only, and its clock moves on by itself once a
// second without any change of the telemetry file.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A screenshot of the simulated card, taken `ms` after the run began, as RGB.
struct Shot : TestImage {
    long ms = 0;
    uint32_t at(int x, int y) const { return TestImage::at(x, y) & 0xffffff; }
};

// The HUD's bar colour 0xa6080a0f over an opaque pixel, blended as the card does.
uint32_t under_bar(uint32_t rgb) {
    uint32_t out = 0;
    for (int s : {16, 8, 0}) {
        const uint32_t bar = 0x080a0f >> s & 0xff, d = rgb >> s & 0xff;
        out |= (bar * 0xa6 + d * (255 - 0xa6) + 127) / 255 << s;
    }
    return out;
}

// Whether the HUD covers the picture, with the telemetry file read: the left
// margins of the 26-row bottom bar and of the chip band at the top show the
// bar colour over what lies next to them.
bool hud_shown(const Shot &s) {
    return s.at(2, s.h - 13) == under_bar(s.at(2, s.h - 40)) &&
           s.at(2, 2) == under_bar(s.at(2, 100));
}

TEST(Hud, OnTheDsiPanelOnlyAndItsClockTicks) {
    TestDir dir;
    // The run directory sim_run is about to use; the telemetry file goes to the
    // default path "/run/vex-fpv/telemetry" inside it.
    const std::string board = dir.path + "/run" + std::to_string(dir.runs + 1) + "/board";
    ASSERT_EQ(system(("mkdir -p " + board + "/run/vex-fpv").c_str()), 0);
    FILE *f = fopen((board + "/run/vex-fpv/telemetry").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("gog = 76\ndrn = 22\nsig = 4\nsat = 9\nalt = 35.5\nrec = 1\nrecs = 75\nvpn = 1\n", f);
    fclose(f);

    // Screenshots of both outputs every 200 ms while the program runs.
    std::vector<Shot> dsi, hdmi;
    std::atomic<bool> done{false};
    const auto t0 = std::chrono::steady_clock::now();
    std::thread shooter([&] {
        for (std::vector<TestImage> s; !done;
             std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
            if (!screenshot_now(board, {"DSI-1", "HDMI-A-1"}, &s, 300)) continue;
            const long ms = (long)std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - t0)
                                .count();
            dsi.push_back(Shot{std::move(s[0]), ms});
            hdmi.push_back(Shot{std::move(s[1]), ms});
        }
    });
    // Standard input stays open without a picture, so the screens show the
    // standby picture; the uptime reaches 3 h 26 min 3 s into the run.
    SimRunOpts o;
    o.input = stream_path("h264_720p.h264");
    o.feed = {"--pause-at", "0", "--pause-ms", "5000", "--count", "1"};
    o.env = {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"},
             {"VEX_KMS_TELEMETRY_DSI", "1"},
             {"VEX_SIM_UPTIME", "12357"},
             {"VEX_SIM_UPDATE_LOG", board + "/updates.log"}};
    SimRunResult r = sim_run(dir, o);
    done = true;
    shooter.join();
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);

    // The first and the last panel picture with the HUD, more than a second apart.
    size_t first = 0, last = dsi.size();
    while (first < dsi.size() && !hud_shown(dsi[first])) first++;
    while (last > first + 1 && !hud_shown(dsi[last - 1])) last--;
    ASSERT_LT(first + 1, last) << dsi.size() << " screenshots\n" << describe(r);
    const Shot &a = dsi[first], &b = dsi[--last];
    ASSERT_EQ(a.w * 10000 + a.h, 720 * 10000 + 1280);
    ASSERT_GE(b.ms - a.ms, 1000);

    // Only the uptime at the right end of the bottom bar changed ("UP 3:25"
    // became "UP 3:26") while the telemetry file stayed as it was.
    int x0 = a.w, x1 = -1, y0 = a.h;
    for (int y = 0; y < a.h; y++) {
        for (int x = 0; x < a.w; x++) {
            if (a.at(x, y) == b.at(x, y)) continue;
            x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y);
        }
    }
    EXPECT_GE(x1, 0) << "the clock did not move between " << a.ms << " and " << b.ms << " ms";
    EXPECT_EQ((std::vector<bool>{y0 >= a.h - 26, x0 >= a.w - 8 - 120, x1 < a.w - 8}),
              (std::vector<bool>{true, true, true}))
        << x0 << "," << y0 << " to " << x1;

    // Recomposed on the ticks on the panel's overlay plane; nothing on HDMI.
    int flips = 0;
    for (const std::string &l : log_lines(read_file(board + "/updates.log"))) {
        EXPECT_FALSE(l.find(" HDMI-A-1 ") != std::string::npos && l.find("fmt=AR24") != l.npos);
        flips += l.find(" DSI-1 ") != std::string::npos && l.find("fmt=AR24") != l.npos;
    }
    EXPECT_GE(flips, 3);
    EXPECT_FALSE(hud_shown(hdmi[last]));
    EXPECT_EQ(hdmi[first].px, hdmi[last].px);
}

} // namespace
