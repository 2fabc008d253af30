// End-to-end runs of the display start on simulated boards: mode selection
// against the boards' EDIDs, outputs, video and menu planes of each preset, the
// EDID wait, the wait for a card that appears late, and the test fill.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <unistd.h>

namespace {

const std::string kMonitor50 = VEX_TEST_BOARDS "/monitor-50hz.board";

// A copy of a board file for the next run, with `extra` lines appended (they
// apply to its last card, or to its last connector for mode lines), then the
// first `from` replaced by `to`.
std::string board_variant(TestDir &dir, const std::string &board, const std::string &extra,
                          const std::string &from = "", const std::string &to = "") {
    std::string text = read_file(board) + extra, path = dir.next_board() + "/../variant.board";
    const size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    EXPECT_TRUE(at != std::string::npos && put_file(path, text)) << path << ": " << from;
    return path;
}

// One run with no input on a board, with the card log of the simulator.
struct DisplayRun {
    SimRunResult r;
    std::string card_log;
    std::map<std::string, std::string> ids; // board object name → DRM object id

    std::string what() const { return describe(r) + "--- card log ---\n" + card_log; }
    // Each of `lines`, after "vex-mpp: " and with each {name} of a board object
    // as its id, is a whole line, in this order; none of `never` is in one.
    void expect(const std::vector<std::string> &lines,
                const std::vector<std::string> &never = {}) const {
        std::vector<std::string> full;
        for (std::string l : lines) {
            for (size_t a, b; (a = l.find('{')) != std::string::npos;) {
                const auto it = ids.find(l.substr(a + 1, (b = l.find('}', a)) - a - 1));
                EXPECT_NE(it, ids.end()) << "no object " << l.substr(a, b - a + 1);
                l.replace(a, b - a + 1, it == ids.end() ? "?" : it->second);
            }
            full.push_back("vex-mpp: " + l);
        }
        expect_in_order(r.log, full, what());
        for (const std::string &n : never) EXPECT_FALSE(has_line(r.log, n)) << n << "\n" << what();
    }
};

// Runs the program on `board`; with `mode`, the mode file must hold it and
// never be left half-written.
DisplayRun run_on(TestDir &dir, const std::string &board, SimEnv env = {},
                  const char *mode = nullptr) {
    DisplayRun d;
    const std::string card_log = dir.next_board() + "/card.log";
    SimRunOpts o;
    o.env = std::move(env);
    o.env.push_back({"VEX_SIM_BOARD", board});
    o.env.push_back({"VEX_SIM_CARD_LOG", card_log});
    d.r = sim_run(dir, o);
    d.card_log = read_file(card_log);
    for (const std::string &l : log_lines(d.card_log)) {
        char kind[16], name[64];
        unsigned id;
        if (sscanf(l.c_str(), "%*s id %15s %63s %u", kind, name, &id) == 3)
            d.ids[name] = std::to_string(id);
    }
    EXPECT_TRUE(!d.r.timed_out && d.r.status == 0) << d.what();
    if (mode) {
        EXPECT_EQ(read_file(d.r.board() + "/run/vex-fpv/hdmi_mode"), std::string(mode) + "\n");
        EXPECT_NE(access((d.r.board() + "/run/vex-fpv/hdmi_mode.tmp").c_str(), F_OK), 0);
    }
    return d;
}

// The outputs a preset starts up to, in this order and no more: connector, CRTC,
// video plane path and plane, mode and menu plane ("-": the sidebar) each.
DisplayRun expect_outputs(TestDir &dir, const std::string &board,
                          const std::vector<const char *> &outs, SimEnv env = {}) {
    SCOPED_TRACE(board);
    std::vector<std::string> lines;
    char conn[16] = "", crtc[16] = "", path[16] = "", video[16] = "", mode[16] = "", menu[16] = "";
    sscanf(outs[0], "%*s %*s %*s %*s %15s", mode);
    DisplayRun d = run_on(dir, board, std::move(env), mode);
    for (size_t i = 0; i < outs.size(); i++) {
        sscanf(outs[i], "%15s %15s %15s %15s %15s %15s", conn, crtc, path, video, mode, menu);
        const std::string n = "output " + std::to_string(i), c = crtc, v = video;
        lines.insert(lines.end(), {std::string("connector ") + conn + " connected",
                                   "connector → crtc {" + c + "} " + path + " plane {" + v + "}",
                                   menu[0] == '-' ? n + " menu → primary-plane sidebar fallback"
                                                  : n + " menu → ARGB plane {" + menu +
                                                        "} (zpos set, double-buffered, probed OK)",
                                   n + " → crtc {" + c + "} plane {" + v + "} " + mode});
    }
    lines.push_back("driving " + std::to_string(outs.size()) + " HDMI output(s)");
    d.expect(lines);
    return d;
}

TEST(ModeSelection, SwitcherMonitorAndVc4) {
    TestDir dir;
    const char *board = "switcher-1080i-offspec";
    // 1080i50 is listed at 148500 kHz: passed over, and the CEA timing forced.
    run_on(dir, board, {{"VEX_KMS_MODE", "1920x1080i@50"}}, "1920x1080i@50")
        .expect({"skipping advertised 1920x1080i@50 at 148500 kHz — the standard is 74250 kHz; an "
                 "off-spec clock is what makes a switcher show GREEN.",
                 "no exact 1920x1080i@50 in the EDID — forcing the standard CEA timing (74250 "
                 "kHz) so the switcher can lock.",
                 "mode set 1920x1080i@50 — 74250 kHz pixel clock (interlaced: switcher must lock "
                 "to this)",
                 "output 0 → crtc {VP0} plane {Esmart1} 1920x1080i@50 (CEA-forced, not in EDID)",
                 "interlaced output → GPU anti-flicker filter ON"});
    // Near: 59 Hz is not listed, the advertised 60 Hz is driven (preset outputs).
    expect_outputs(dir, board, {"HDMI-A-1 VP0 overlay Esmart1 1920x1080@60 Esmart0"},
                   {{"VEX_KMS_MODE", "1920x1080@59"}})
        .expect({"no exact 1920x1080@59 — driving the advertised 60 Hz (148500 kHz). A broadcast "
                 "switcher may refuse a non-standard rate and show GREEN; try the other field "
                 "rate if it does.",
                 "mode set 1920x1080@60 — 148500 kHz pixel clock"},
                {"CEA-forced"});

    // (Automatic, exact and forced progressive choices: the mode selection's
    // unit test; here the card's refusals.)
    // A card that refuses the forced timing: the EDID's own mode instead.
    run_on(dir, board_variant(dir, kMonitor50, "knob forced_modes refuse\n"),
           {{"VEX_KMS_MODE", "1920x1080i@50"}}, "1920x1080@50")
        .expect({"no exact 1920x1080i@50 in the EDID — forcing the standard CEA timing (74250 "
                 "kHz) so the switcher can lock.",
                 "SetCrtc(crtc {VP0}, 1920x1080@50): Invalid argument",
                 "display advertises no interlaced 1920x1080 mode — the switcher must accept "
                 "1080i over HDMI; falling back to progressive.",
                 "forced CEA timing rejected — falling back to advertised 1920x1080@50",
                 "output 0 → crtc {VP0} plane {Esmart0} 1920x1080@50", "driving 1 HDMI output(s)"},
                {"CEA-forced", "anti-flicker"});

    // vc4 stays within 1920x1200, on the preset's outputs.
    DisplayRun d = expect_outputs(dir, "vc4-4k-tv",
                                  {"HDMI-A-1 pixelvalve2 overlay overlay-0 1920x1080@60 cursor-0"},
                                  {{"VEX_KMS_MODE", "2560x1440"}});
    d.expect({"DRM display card /dev/dri/by-path/platform-gpu-card",
              "requested 2560x1440 exceeds the ~1920x1200 the vc4 HVS can drive — ignoring, "
              "auto-picking instead."},
             {"SetCrtc("});

    // A request the driver refuses (beyond the CRTC's pixel clock) gives way to
    // the automatic choice rather than costing the output.
    run_on(dir, "vc4-4k-tv", {{"VEX_KMS_MODE", "3840x2160i@60"}}, "1920x1080@60")
        .expect({"SetCrtc(crtc {pixelvalve2}, 3840x2160@60): Invalid argument",
                 "requested mode 3840x2160@60 refused by the driver — falling back to the "
                 "automatic choice 1920x1080@60",
                 "output 0 → crtc {pixelvalve2} plane {overlay-0} 1920x1080@60",
                 "driving 1 HDMI output(s)"});

    // A second display on the other CRTC: the shared overlay planes the first
    // output took (video and menu) are not offered to it again.
    const std::string two =
        board_variant(dir, VEX_TEST_BOARDS "/../../sim/boards/vc4-4k-tv.board",
                      "mode 1280x720@60 74250 1650 750 preferred\n", " status=disconnected", "");
    expect_outputs(dir, two,
                   {"HDMI-A-1 pixelvalve2 overlay overlay-0 1920x1080@60 overlay-15",
                    "HDMI-A-2 pixelvalve4 overlay overlay-1 1280x720@60 -"},
                   {{"VEX_KMS_MENU_PLANE", d.ids["overlay-15"]}})
        .expect({}, {"rejected"});
}

TEST(Outputs, DefaultHdmiDsiAndFiveMonitorPresetsWithTheTestFill) {
    TestDir dir;
    expect_outputs(dir, "default", {"HDMI-A-1 VP0 overlay Esmart1 1920x1080@60 Esmart0"});
    // RK356x: the HDMI port's only NV12 window is cursor-typed, its only ARGB
    // one refuses a linear buffer (a sidebar then); the panel runs on its
    // port's primary and is modeset atomically.
    DisplayRun rk = expect_outputs(dir, "rk3566-hdmi-dsi",
                                   {"HDMI-A-1 VP0 overlay Esmart0 1920x1080@60 -",
                                    "DSI-1 VP1 primary Esmart1 720x1280@60 Smart1"});
    rk.expect({"NV12 video plane {Esmart0} is CURSOR-typed (VOP2 Esmart win) — using it",
               "output 0 ARGB plane {Cluster0} rejected a linear scan-out (Invalid argument) — "
               "trying the next candidate",
               "no NV12 overlay plane on any CRTC — driving the primary (DSI/VOPL)",
               "output 1 (DSI) modeset ATOMICALLY (panel path)"});
    EXPECT_EQ(count_lines(rk.r.log, "CURSOR-typed"), 1) << rk.what();

    // Five connected displays: the first four in card order, the panel left
    // out; each screen filled with its test colour.
    const std::vector<const char *> outs = {"HDMI-A-1 VP0 overlay Esmart0 1920x1080@60 -",
                                            "HDMI-A-2 VP1 overlay Esmart1 1280x1024@60 -",
                                            "DP-1 VP2 primary Esmart2 2560x1440@60 Cluster2",
                                            "DP-2 VP3 primary Esmart3 1680x1050@60 Cluster3"};
    DisplayRun five =
        expect_outputs(dir, "five-monitors", outs,
                       {{"VEX_KMS_TESTFILL", "1"}, {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"}});
    five.expect({}, {"DSI-1", "standby /opt"});
    EXPECT_EQ(count_lines(five.r.log, "driving the primary"), 2) << five.what();
    const uint32_t fill[] = {0x0000FF, 0xFF0000, 0x00FF00, 0x0000FF};
    for (int i = 0; i < 4; i++) {
        char name[16], line[64];
        int w = 0, h = 0;
        sscanf(outs[(size_t)i], "%15s %*s %*s %*s %dx%d", name, &w, &h);
        snprintf(line, sizeof line, "TESTFILL output %d = 0x%06X (%dx%d)", i, fill[i], w, h);
        five.expect({line});
        TestImage img;
        ASSERT_TRUE(png_read(five.r.board() + "/screen-" + name + ".png", &img)) << five.what();
        EXPECT_EQ(img.w * 10000 + img.h, w * 10000 + h) << name;
        EXPECT_EQ(spot(img, fill[i]).n, w * h) << name << ": not all " << std::hex << fill[i];
    }
}

// monitor-50hz with a second monitor on VP1 that delivers its EDID late.
const char *const kLateMonitor = "connector HDMI-A-2 crtcs=VP1 edid_ms=600\n"
                                 "mode 1280x1024@60 108000 1688 1066 preferred\n";

TEST(EdidWait, LateMonitorIsWaitedForUpToTheLimit) {
    TestDir dir;
    DisplayRun d = run_on(dir, board_variant(dir, kMonitor50, kLateMonitor));
    // 600 ms are covered after three sleeps of 250 ms (two when the machine is
    // slow enough that the third check comes late).
    const long long waited = number_after(d.r.log, "vex-mpp: EDID wait finished after ");
    EXPECT_TRUE(waited == 750 || waited == 500) << d.what();
    d.expect({"1 connected output(s) have no EDID yet — waiting up to 1500 ms",
              "EDID wait finished after " + std::to_string(waited) + " ms",
              "connector HDMI-A-1 connected", "output 1 → crtc {VP1} plane {Esmart1} 1280x1024@60",
              "driving 2 HDMI output(s)"});

    // One that never delivers is waited for up to the limit, then left out.
    run_on(dir, board_variant(dir, kMonitor50, kLateMonitor, "edid_ms=600", "edid_ms=never"), {},
           "1920x1080@60")
        .expect({"1 connected output(s) have no EDID yet — waiting up to 1500 ms",
                 "EDID wait finished after 1500 ms", "connector HDMI-A-1 connected",
                 "driving 1 HDMI output(s)"},
                {"HDMI-A-2"});
}

TEST(DisplayWait, BacksOffUntilTheCardAppears) {
    TestDir dir;
    DisplayRun d = run_on(dir, board_variant(dir, kMonitor50, "appear_ms 2300\n"));
    d.expect({"no DRM display card with connectors",
              "display busy — asking plymouth to hand over (quit --retain-splash)",
              "no DRM display card with connectors",
              "no display yet — waiting (retry backs off to 5s)", "DRM display card /dev/dri/card0",
              "driving 1 HDMI output(s)", "display appeared",
              "pacing vblank (smooth) (VEX_SMOOTH=unset→on)"});
    EXPECT_EQ(read_file(d.r.board() + "/plymouth.log"), "quit --retain-splash\n");
    EXPECT_EQ(count_lines(d.r.log, "no DRM display card with connectors"), 4) << d.what();

    // The card is there from 2.3 s on: opened at start, right after asking
    // plymouth, then after 0.5, 1.0 and 1.5 s of sleep (never less; the upper
    // bound only catches a wrong back-off, not a slow machine).
    std::vector<double> t; // ms, monotonic, up to the first open that succeeded
    for (const std::string &l : log_lines(d.card_log)) {
        long long us;
        char res[16];
        if (sscanf(l.c_str(), "%lld open /dev/dri/card0 %15s", &us, res) != 2) continue;
        t.push_back(us / 1000.0);
        if (std::string(res) == "ok") break;
    }
    ASSERT_EQ(t.size(), 5u) << d.what();
    for (size_t i = 1; i < t.size(); i++)
        EXPECT_TRUE(t[i] - t[i - 1] >= (i - 1) * 500.0 - 5 &&
                    t[i] - t[i - 1] < (i - 1) * 500.0 + 600)
            << "retry " << i << " after " << t[i] - t[i - 1] << " ms\n"
            << d.what();
}

TEST(OverlayPlane, ProbeOrderAndForcedPlane) {
    TestDir dir;
    const std::string board = VEX_TEST_BOARDS "/overlay-probe.board";
    auto rejected = [](const char *plane) {
        return std::string("output 0 ARGB plane {") + plane +
               "} rejected a linear scan-out (Invalid argument) — trying the next candidate";
    };
    // Highest zpos first; at equal zpos the overlay before the cursor plane.
    DisplayRun d = run_on(dir, board);
    d.expect({"connector → crtc {VP0} overlay plane {Video}", rejected("OvlHigh"), rejected("OvlB"),
              rejected("CurA"),
              "output 0 menu → ARGB plane {OvlLow} (zpos set, double-buffered, probed OK)"});
    EXPECT_EQ(count_lines(d.r.log, "rejected a linear scan-out"), 3) << d.what();

    // A named plane is the only candidate, whatever its stacking position or
    // type; refused, the sidebar follows at once.
    const struct {
        const char *plane, *menu_line;
        int rejections;
    } forced[] = {
        {"NoZpos", "ARGB plane {NoZpos} (zpos default, double-buffered, probed OK)", 0},
        {"Primary", "primary-plane sidebar fallback", 1},
    };
    for (const auto &f : forced) {
        DisplayRun r = run_on(dir, board, {{"VEX_KMS_MENU_PLANE", d.ids[f.plane]}});
        r.expect({f.rejections ? rejected(f.plane) : "connector HDMI-A-1 connected",
                  std::string("output 0 menu → ") + f.menu_line});
        EXPECT_EQ(count_lines(r.r.log, "rejected"), f.rejections) << f.plane << "\n" << r.what();
    }
}

} // namespace
