// End-to-end runs of the display start on simulated boards: mode selection
// against the boards' EDIDs, outputs, video and menu planes of each preset, the
// EDID wait, the wait for a card that appears late (with and without a splash
// program to ask), and the test fill seen on the screens.
#include "tests/e2e/sim_run.h"
#include "tests/unit/png_io.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sys/stat.h>

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

std::string read_text(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A board of tests/boards, or with `preset` one of the simulator's presets.
std::string test_board(const char *name, bool preset = false) {
    return std::string(preset ? VEX_TEST_BOARDS "/../../sim/boards" : VEX_TEST_BOARDS) + "/" +
           name + ".board";
}

// A copy of a test board with `extra` lines appended (they apply to the
// board's last card, or to its last connector for mode lines), then the first
// `from` replaced by `to`.
std::string board_variant(TestDir &dir, const std::string &board, const std::string &extra,
                          const std::string &from = "", const std::string &to = "") {
    std::string text = read_text(board);
    EXPECT_FALSE(text.empty()) << board;
    text += extra;
    if (!from.empty()) {
        size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    static int serial;
    std::string path = dir.path + "/variant" + std::to_string(++serial) + ".board";
    FILE *f = fopen(path.c_str(), "w");
    if (f) {
        fputs(text.c_str(), f);
        fclose(f);
    }
    return path;
}

// One run with no input on a board, with the card log of the simulator.
struct DisplayRun {
    SimRunResult r;
    std::string card_log;
    std::map<std::string, unsigned> ids; // board object name → DRM object id

    std::string run_dir() const { return r.dir + "/board"; }
    std::string hdmi_mode() const { return read_text(run_dir() + "/run/vex-fpv/hdmi_mode"); }
    std::string id(const std::string &name) const {
        auto it = ids.find(name);
        EXPECT_NE(it, ids.end()) << "no object " << name << " in the card log";
        return it == ids.end() ? "?" : std::to_string(it->second);
    }
    std::string what() const { return describe(r) + "--- card log ---\n" + card_log; }
};

DisplayRun run_on(TestDir &dir, const std::string &board, Env env = {}) {
    DisplayRun d;
    std::string card_log = dir.path + "/card" + std::to_string(dir.runs + 1) + ".log";
    SimRunOpts o;
    o.env = std::move(env);
    o.env.push_back({"VEX_SIM_BOARD", board});
    o.env.push_back({"VEX_SIM_CARD_LOG", card_log});
    d.r = sim_run(dir, o);
    d.card_log = read_text(card_log);
    for (const std::string &l : log_lines(d.card_log)) {
        char kind[16], name[64];
        unsigned id;
        if (sscanf(l.c_str(), "%*s id %15s %63s %u", kind, name, &id) == 3) d.ids[name] = id;
    }
    EXPECT_FALSE(d.r.timed_out) << d.what();
    EXPECT_EQ(d.r.status, 0) << d.what();
    return d;
}

// Line number of the log line that is exactly "vex-mpp: " + text, or -1.
int exact_line(const std::string &log, const std::string &text, int from = 0) {
    std::vector<std::string> lines = log_lines(log);
    for (int i = from; i < (int)lines.size(); i++)
        if (lines[i] == "vex-mpp: " + text) return i;
    return -1;
}

// Every text appears as a whole line, in this order.
void expect_in_order(const DisplayRun &d, const std::vector<std::string> &texts) {
    int at = 0;
    for (const std::string &t : texts) {
        int i = exact_line(d.r.log, t, at);
        EXPECT_GE(i, 0) << "missing or out of order: " << t << "\n" << d.what();
        if (i < 0) return;
        at = i + 1;
    }
}

// ---------------------------------------------------------------------------
// Mode selection

TEST(ModeSelection, SwitcherOffSpecInterlacedAndExactRequests) {
    TestDir dir;
    const char *board = "switcher-1080i-offspec";

    // 1080i50 is listed at 148500 kHz: passed over, and the CEA timing forced.
    DisplayRun d = run_on(dir, board, {{"VEX_KMS_MODE", "1920x1080i@50"}});
    expect_in_order(d, {"connector HDMI-A-1 connected",
                        "skipping advertised 1920x1080i@50 at 148500 kHz — the standard is 74250 "
                        "kHz; an off-spec clock is what makes a switcher show GREEN.",
                        "no exact 1920x1080i@50 in the EDID — forcing the standard CEA timing "
                        "(74250 kHz) so the switcher can lock.",
                        "mode set 1920x1080i@50 — 74250 kHz pixel clock (interlaced: switcher "
                        "must lock to this)",
                        "output 0 → crtc " + d.id("VP0") + " plane " + d.id("Esmart1") +
                            " 1920x1080i@50 (CEA-forced, not in EDID)",
                        "interlaced output → GPU anti-flicker filter ON"});
    EXPECT_EQ(d.hdmi_mode(), "1920x1080i@50\n");
    EXPECT_FALSE(exists(d.run_dir() + "/run/vex-fpv/hdmi_mode.tmp"));

    // 1080i60 is listed at the standard 74250 kHz: taken as it is.
    d = run_on(dir, board, {{"VEX_KMS_MODE", "1920x1080i@60"}});
    EXPECT_GE(exact_line(d.r.log, "mode set 1920x1080i@60 — 74250 kHz pixel clock (interlaced: "
                                  "switcher must lock to this)"),
              0)
        << d.what();
    EXPECT_TRUE(has_line(d.r.log, " 1920x1080i@60")) << d.what();
    EXPECT_FALSE(has_line(d.r.log, "CEA")) << d.what();
    EXPECT_FALSE(has_line(d.r.log, "skipping")) << d.what();
    EXPECT_EQ(d.hdmi_mode(), "1920x1080i@60\n");

    // Exact progressive request: no substitution of any kind.
    d = run_on(dir, board, {{"VEX_KMS_MODE", "1280x720@50"}});
    EXPECT_GE(exact_line(d.r.log, "output 0 → crtc " + d.id("VP0") + " plane " + d.id("Esmart1") +
                                      " 1280x720@50"),
              0)
        << d.what();
    EXPECT_GE(exact_line(d.r.log, "mode set 1280x720@50 — 74250 kHz pixel clock"), 0) << d.what();
    for (const char *word : {"CEA", "no exact", "not available", "auto mode"})
        EXPECT_FALSE(has_line(d.r.log, word)) << word << "\n" << d.what();
    EXPECT_EQ(d.hdmi_mode(), "1280x720@50\n");

    // Near: 59 Hz is not listed, the advertised 60 Hz is driven.
    d = run_on(dir, board, {{"VEX_KMS_MODE", "1920x1080@59"}});
    expect_in_order(d, {"no exact 1920x1080@59 — driving the advertised 60 Hz (148500 kHz). A "
                        "broadcast switcher may refuse a non-standard rate and show GREEN; try "
                        "the other field rate if it does.",
                        "mode set 1920x1080@60 — 148500 kHz pixel clock"});
    EXPECT_FALSE(has_line(d.r.log, "CEA-forced")) << d.what();
}

TEST(ModeSelection, MonitorPreferring50HzAndForcedProgressive) {
    TestDir dir;
    const std::string board = test_board("monitor-50hz");

    // Automatic: the 60 Hz the monitor also offers wins over its preferred 50 Hz.
    DisplayRun d = run_on(dir, board);
    expect_in_order(
        d, {"auto mode: EDID prefers 1920x1080@50 — driving the advertised @60 "
            "instead (~60 fps source).",
            "mode set 1920x1080@60 — 148500 kHz pixel clock",
            "output 0 → crtc " + d.id("VP0") + " plane " + d.id("Esmart0") + " 1920x1080@60"});
    EXPECT_EQ(d.hdmi_mode(), "1920x1080@60\n");

    // An explicit request is honoured exactly, without the 60 Hz preference.
    d = run_on(dir, board, {{"VEX_KMS_MODE", "1920x1080@50"}});
    EXPECT_GE(exact_line(d.r.log, "mode set 1920x1080@50 — 148500 kHz pixel clock"), 0) << d.what();
    EXPECT_FALSE(has_line(d.r.log, "auto mode")) << d.what();
    EXPECT_EQ(d.hdmi_mode(), "1920x1080@50\n");

    // Not in the EDID, but a standard timing: forced.
    d = run_on(dir, board, {{"VEX_KMS_MODE", "1280x720@50"}});
    expect_in_order(d, {"display EDID has no 1280x720@50 — forcing the standard CEA timing.",
                        "mode set 1280x720@50 — 74250 kHz pixel clock",
                        "output 0 → crtc " + d.id("VP0") + " plane " + d.id("Esmart0") +
                            " 1280x720@50 (CEA-forced, not in EDID)"});
    EXPECT_EQ(d.hdmi_mode(), "1280x720@50\n");

    // A panel only reports a request it cannot follow, and is never forced.
    d = run_on(dir, "rk3566-hdmi-dsi", {{"VEX_KMS_MODE", "1280x720@50"}});
    expect_in_order(
        d, {"output 0 → crtc " + d.id("VP0") + " plane " + d.id("Esmart0") +
                " 1280x720@50 (CEA-forced, not in EDID)",
            "connector DSI-1 connected", "panel mode 1280x720@50 unsupported — using 720x1280@60",
            "output 1 (DSI) modeset ATOMICALLY (panel path)",
            "output 1 → crtc " + d.id("VP1") + " plane " + d.id("Esmart1") + " 720x1280@60"});
    EXPECT_EQ(count_lines(d.r.log, "CEA-forced"), 1) << d.what();
    EXPECT_EQ(d.hdmi_mode(), "1280x720@50\n");
}

TEST(ModeSelection, RefusedForcedTimingFallsBackToTheEdid) {
    TestDir dir;
    std::string board =
        board_variant(dir, test_board("monitor-50hz"), "knob forced_modes refuse\n");
    DisplayRun d = run_on(dir, board, {{"VEX_KMS_MODE", "1920x1080i@50"}});
    const std::string vp0 = d.id("VP0");
    expect_in_order(d, {"no exact 1920x1080i@50 in the EDID — forcing the standard CEA timing "
                        "(74250 kHz) so the switcher can lock.",
                        "SetCrtc(crtc " + vp0 + ", 1920x1080@50): Invalid argument",
                        "display advertises no interlaced 1920x1080 mode — the switcher must "
                        "accept 1080i over HDMI; falling back to progressive.",
                        "forced CEA timing rejected — falling back to advertised 1920x1080@50",
                        "mode set 1920x1080@50 — 148500 kHz pixel clock",
                        "output 0 → crtc " + vp0 + " plane " + d.id("Esmart0") + " 1920x1080@50",
                        "driving 1 HDMI output(s)"});
    EXPECT_FALSE(has_line(d.r.log, "CEA-forced")) << d.what();
    EXPECT_FALSE(has_line(d.r.log, "anti-flicker")) << d.what();
    EXPECT_EQ(count_lines(d.r.log, "SetCrtc("), 1) << d.what();
    EXPECT_EQ(d.hdmi_mode(), "1920x1080@50\n");
}

TEST(ModeSelection, Vc4StaysWithin1920x1200) {
    TestDir dir;
    const char *board = "vc4-4k-tv";
    DisplayRun d = run_on(dir, board);
    EXPECT_GE(exact_line(d.r.log, "DRM display card /dev/dri/by-path/platform-gpu-card"), 0)
        << d.what();
    EXPECT_GE(exact_line(d.r.log, "mode set 1920x1080@60 — 148500 kHz pixel clock"), 0) << d.what();
    EXPECT_FALSE(has_line(d.r.log, "SetCrtc(")) << d.what();
    EXPECT_EQ(d.hdmi_mode(), "1920x1080@60\n");

    d = run_on(dir, board, {{"VEX_KMS_MODE", "2560x1440"}});
    expect_in_order(d, {"requested 2560x1440 exceeds the ~1920x1200 the vc4 HVS can drive — "
                        "ignoring, auto-picking instead.",
                        "mode set 1920x1080@60 — 148500 kHz pixel clock"});
    EXPECT_EQ(d.hdmi_mode(), "1920x1080@60\n");

    // A second display on the other CRTC: the shared overlay planes the first
    // output took (video and menu) are not offered to it again.
    const std::string shared_menu = d.id("overlay-15");
    std::string two =
        board_variant(dir, test_board(board, true), "mode 1280x720@60 74250 1650 750 preferred\n",
                      " status=disconnected", "");
    d = run_on(dir, two, {{"VEX_KMS_MENU_PLANE", shared_menu}});
    expect_in_order(
        d,
        {"output 0 menu → ARGB plane " + shared_menu + " (zpos set, double-buffered, probed OK)",
         "output 0 → crtc " + d.id("pixelvalve2") + " plane " + d.id("overlay-0") + " 1920x1080@60",
         "connector HDMI-A-2 connected",
         "connector → crtc " + d.id("pixelvalve4") + " overlay plane " + d.id("overlay-1"),
         "output 1 menu → primary-plane sidebar fallback",
         "output 1 → crtc " + d.id("pixelvalve4") + " plane " + d.id("overlay-1") +
             " 1280x720@60"});
    EXPECT_FALSE(has_line(d.r.log, "rejected")) << d.what();
}

// ---------------------------------------------------------------------------
// Outputs of the presets

struct OutputWant {
    const char *connector, *crtc, *path, *video_plane, *mode;
    const char *menu_plane; // null: sidebar
};

struct PresetWant {
    const char *board;
    std::vector<OutputWant> outs;
};

TEST(Outputs, EachPresetStartsUpAsDescribed) {
    const PresetWant presets[] = {
        {"default", {{"HDMI-A-1", "VP0", "overlay", "Esmart1", "1920x1080@60", "Esmart0"}}},
        {"switcher-1080i-offspec",
         {{"HDMI-A-1", "VP0", "overlay", "Esmart1", "1920x1080@60", "Esmart0"}}},
        {"vc4-4k-tv",
         {{"HDMI-A-1", "pixelvalve2", "overlay", "overlay-0", "1920x1080@60", "cursor-0"}}},
        {"rk3566-hdmi-dsi",
         {{"HDMI-A-1", "VP0", "overlay", "Esmart0", "1920x1080@60", nullptr},
          {"DSI-1", "VP1", "primary", "Esmart1", "720x1280@60", "Smart1"}}},
        {"five-monitors",
         {{"HDMI-A-1", "VP0", "overlay", "Esmart0", "1920x1080@60", nullptr},
          {"HDMI-A-2", "VP1", "overlay", "Esmart1", "1280x1024@60", nullptr},
          {"DP-1", "VP2", "primary", "Esmart2", "2560x1440@60", "Cluster2"},
          {"DP-2", "VP3", "primary", "Esmart3", "1680x1050@60", "Cluster3"}}},
    };
    TestDir dir;
    std::map<std::string, DisplayRun> runs;
    for (const PresetWant &p : presets) {
        DisplayRun d = run_on(dir, p.board);
        SCOPED_TRACE(p.board);
        for (size_t i = 0; i < p.outs.size(); i++) {
            const OutputWant &o = p.outs[i];
            const std::string n = std::to_string(i);
            std::string menu = o.menu_plane
                                   ? "output " + n + " menu → ARGB plane " + d.id(o.menu_plane) +
                                         " (zpos set, double-buffered, probed OK)"
                                   : "output " + n + " menu → primary-plane sidebar fallback";
            expect_in_order(d, {std::string("connector ") + o.connector + " connected",
                                "connector → crtc " + d.id(o.crtc) + " " + o.path + " plane " +
                                    d.id(o.video_plane),
                                menu,
                                "output " + n + " → crtc " + d.id(o.crtc) + " plane " +
                                    d.id(o.video_plane) + " " + o.mode});
        }
        EXPECT_EQ(count_lines(d.r.log, "vex-mpp: connector → crtc"), (int)p.outs.size())
            << d.what();
        EXPECT_GE(
            exact_line(d.r.log, "driving " + std::to_string(p.outs.size()) + " HDMI output(s)"), 0)
            << d.what();
        // The mode file holds the first output's mode, and is never left half-written.
        EXPECT_EQ(d.hdmi_mode(), std::string(p.outs[0].mode) + "\n");
        EXPECT_FALSE(exists(d.run_dir() + "/run/vex-fpv/hdmi_mode.tmp"));
        runs[p.board] = d;
    }

    // RK356x: the HDMI port's only NV12 window is cursor-typed; its AFBC-only
    // cluster refuses the linear menu buffer, so the menu becomes a sidebar. The
    // panel runs on its port's primary and is modeset atomically.
    const DisplayRun &rk = runs["rk3566-hdmi-dsi"];
    expect_in_order(rk, {"NV12 video plane " + rk.id("Esmart0") +
                             " is CURSOR-typed (VOP2 Esmart win) — using it",
                         "output 0 ARGB plane " + rk.id("Cluster0") +
                             " rejected a linear scan-out (Invalid argument) — trying the next "
                             "candidate",
                         "output 0 menu → primary-plane sidebar fallback",
                         "no NV12 overlay plane on any CRTC — driving the primary (DSI/VOPL)",
                         "output 1 (DSI) modeset ATOMICALLY (panel path)"});
    EXPECT_EQ(count_lines(rk.r.log, "CURSOR-typed"), 1) << rk.what();

    // Five connected displays: the first four in card order, the panel left out.
    const DisplayRun &five = runs["five-monitors"];
    EXPECT_FALSE(has_line(five.r.log, "DSI-1")) << five.what();
    EXPECT_EQ(count_lines(five.r.log, "driving the primary"), 2) << five.what();
}

TEST(Outputs, TestFillColoursOnTheScreens) {
    TestDir dir;
    DisplayRun d = run_on(dir, "five-monitors",
                          {{"VEX_KMS_TESTFILL", "1"}, {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"}});
    const struct {
        const char *name;
        int w, h;
        uint32_t rgb;
    } screens[] = {{"HDMI-A-1", 1920, 1080, 0x0000FF},
                   {"HDMI-A-2", 1280, 1024, 0xFF0000},
                   {"DP-1", 2560, 1440, 0x00FF00},
                   {"DP-2", 1680, 1050, 0x0000FF}};
    for (int i = 0; i < 4; i++) {
        const auto &s = screens[i];
        char line[96];
        snprintf(line, sizeof line, "TESTFILL output %d = 0x%06X (%dx%d)", i, s.rgb, s.w, s.h);
        EXPECT_GE(exact_line(d.r.log, line), 0) << d.what();
        TestImage img;
        ASSERT_TRUE(png_read(d.run_dir() + "/screen-" + s.name + ".png", &img)) << d.what();
        EXPECT_EQ(img.w, s.w) << s.name;
        EXPECT_EQ(img.h, s.h) << s.name;
        long off = 0;
        for (uint32_t px : img.px) off += (px & 0xFFFFFF) != s.rgb;
        EXPECT_EQ(off, 0) << s.name << ": pixels not filled with " << std::hex << s.rgb;
    }
    EXPECT_EQ(count_lines(d.r.log, "TESTFILL"), 4) << d.what();
    EXPECT_FALSE(exists(d.run_dir() + "/screen-DSI-1.png"));
    EXPECT_FALSE(has_line(d.r.log, "standby /opt")) << d.what();
}

// ---------------------------------------------------------------------------
// EDID wait

// monitor-50hz with a second monitor on VP1 that delivers its EDID late.
const char *const kLateMonitor = "connector HDMI-A-2 crtcs=VP1 edid_ms=600\n"
                                 "mode 1280x1024@60 108000 1688 1066 preferred\n";

TEST(EdidWait, LateMonitorIsWaitedForUnlessSwitchedOff) {
    TestDir dir;
    std::string board = board_variant(dir, test_board("monitor-50hz"), kLateMonitor);
    DisplayRun d = run_on(dir, board);
    int wait =
        exact_line(d.r.log, "1 connected output(s) have no EDID yet — waiting up to 1500 ms");
    EXPECT_GE(wait, 0) << d.what();
    long long waited = number_after(d.r.log, "vex-mpp: EDID wait finished after ");
    // 600 ms are covered after three sleeps of 250 ms (two when the machine is
    // slow enough that the third check comes late).
    EXPECT_TRUE(waited == 750 || waited == 500) << d.what();
    EXPECT_LT(wait, find_line(d.r.log, "EDID wait finished")) << d.what();
    EXPECT_LT(find_line(d.r.log, "EDID wait finished"), find_line(d.r.log, "connector HDMI-A-1"))
        << d.what();
    EXPECT_GE(exact_line(d.r.log, "output 1 → crtc " + d.id("VP1") + " plane " + d.id("Esmart1") +
                                      " 1280x1024@60"),
              0)
        << d.what();
    EXPECT_GE(exact_line(d.r.log, "driving 2 HDMI output(s)"), 0) << d.what();

    // Without the wait a late monitor has no modes yet and is left out (5 s
    // late here, so that even a slow start-up does not reach its EDID).
    board =
        board_variant(dir, test_board("monitor-50hz"), kLateMonitor, "edid_ms=600", "edid_ms=5000");
    d = run_on(dir, board, {{"VEX_KMS_EDID_WAIT_MS", "0"}});
    EXPECT_FALSE(has_line(d.r.log, "EDID yet")) << d.what();
    EXPECT_FALSE(has_line(d.r.log, "EDID wait")) << d.what();
    EXPECT_FALSE(has_line(d.r.log, "HDMI-A-2")) << d.what();
    EXPECT_GE(exact_line(d.r.log, "driving 1 HDMI output(s)"), 0) << d.what();
}

TEST(EdidWait, MonitorThatNeverDeliversIsSkipped) {
    TestDir dir;
    std::string board = board_variant(dir, test_board("monitor-50hz"), kLateMonitor, "edid_ms=600",
                                      "edid_ms=never");
    DisplayRun d = run_on(dir, board);
    expect_in_order(d, {"1 connected output(s) have no EDID yet — waiting up to 1500 ms",
                        "EDID wait finished after 1500 ms", "connector HDMI-A-1 connected",
                        "driving 1 HDMI output(s)"});
    EXPECT_FALSE(has_line(d.r.log, "HDMI-A-2")) << d.what();
    EXPECT_EQ(d.hdmi_mode(), "1920x1080@60\n");
}

// ---------------------------------------------------------------------------
// Waiting for a display

// Times (ms, monotonic) of the opens of `path` in the card log, up to and
// including the first that succeeded; *ok tells whether one did.
std::vector<double> open_times(const std::string &card_log, const std::string &path, bool *ok) {
    std::vector<double> t;
    *ok = false;
    for (const std::string &l : log_lines(card_log)) {
        long long us;
        char p[256], res[16];
        if (sscanf(l.c_str(), "%lld open %255s %15s", &us, p, res) != 3 || path != p) continue;
        t.push_back(us / 1000.0);
        if (std::string(res) == "ok") {
            *ok = true;
            break;
        }
    }
    return t;
}

TEST(DisplayWait, BacksOffUntilTheCardAppears) {
    TestDir dir;
    std::string board = board_variant(dir, test_board("monitor-50hz"), "appear_ms 2300\n");
    DisplayRun d = run_on(dir, board);
    expect_in_order(d, {"no DRM display card with connectors",
                        "display busy — asking plymouth to hand over (quit --retain-splash)",
                        "no DRM display card with connectors",
                        "no display yet — waiting (retry backs off to 5s)",
                        "DRM display card /dev/dri/card0", "driving 1 HDMI output(s)",
                        "display appeared", "pacing vblank (smooth) (VEX_SMOOTH=unset→on)"});
    EXPECT_EQ(read_text(d.run_dir() + "/plymouth.log"), "quit --retain-splash\n");

    // Attempts: at start, right after asking plymouth, then after 0.5, 1.0 and
    // 1.5 s of sleep; the card is there from 2.3 s on. Sleeps never end early;
    // the upper bounds only catch a wrong back-off, not a slow machine.
    bool ok;
    std::vector<double> t = open_times(d.card_log, "/dev/dri/card0", &ok);
    ASSERT_TRUE(ok) << d.what();
    ASSERT_EQ(t.size(), 5u) << d.what();
    EXPECT_EQ(count_lines(d.r.log, "no DRM display card with connectors"), 4) << d.what();
    const double sleep_ms[] = {0, 500, 1000, 1500};
    for (int i = 1; i < 5; i++) {
        double gap = t[i] - t[i - 1];
        EXPECT_GE(gap, sleep_ms[i - 1] - 5) << "retry " << i << "\n" << d.what();
        EXPECT_LT(gap, sleep_ms[i - 1] + 600) << "retry " << i << "\n" << d.what();
    }
}

TEST(DisplayWait, WithoutASplashProgram) {
    TestDir dir;
    std::string board = board_variant(dir, test_board("monitor-50hz"), "appear_ms 300\n");
    DisplayRun d = run_on(dir, board, {{"VEX_SIM_NO_PLYMOUTH", "1"}});
    expect_in_order(d, {"no DRM display card with connectors",
                        "no display yet — waiting (retry backs off to 5s)",
                        "DRM display card /dev/dri/card0", "display appeared"});
    EXPECT_FALSE(has_line(d.r.log, "plymouth")) << d.what();
    EXPECT_FALSE(exists(d.run_dir() + "/plymouth.log"));
    bool ok;
    std::vector<double> t = open_times(d.card_log, "/dev/dri/card0", &ok);
    ASSERT_TRUE(ok) << d.what();
    ASSERT_EQ(t.size(), 2u) << d.what();
    EXPECT_GE(t[1] - t[0], 495) << d.what();
}

// ---------------------------------------------------------------------------
// Menu plane probing

TEST(OverlayPlane, ProbeOrderAndForcedPlane) {
    TestDir dir;
    const std::string board = test_board("overlay-probe");
    auto rejected = [](const DisplayRun &d, const char *plane) {
        return "output 0 ARGB plane " + d.id(plane) +
               " rejected a linear scan-out (Invalid argument) — trying the next candidate";
    };

    // Highest zpos first; at equal zpos the overlay before the cursor plane.
    std::string update_log = dir.path + "/updates.log";
    DisplayRun d = run_on(dir, board, {{"VEX_SIM_UPDATE_LOG", update_log}});
    expect_in_order(d, {"connector → crtc " + d.id("VP0") + " overlay plane " + d.id("Video"),
                        rejected(d, "OvlHigh"), rejected(d, "OvlB"), rejected(d, "CurA"),
                        "output 0 menu → ARGB plane " + d.id("OvlLow") +
                            " (zpos set, double-buffered, probed OK)"});
    EXPECT_EQ(count_lines(d.r.log, "rejected a linear scan-out"), 3) << d.what();
    // The accepted plane shows the transparent buffer, stacked at zpos 4.
    std::string updates = read_text(update_log);
    int shown = find_line(updates, "plane=" + d.id("OvlLow") + " fb=");
    ASSERT_GE(shown, 0) << updates;
    const std::string line = log_lines(updates)[shown];
    EXPECT_NE(line.find("fmt=AR24"), std::string::npos) << line;
    EXPECT_NE(line.find("zpos=4 "), std::string::npos) << line;

    // A named plane is the only candidate, whatever its stacking position.
    DisplayRun f = run_on(dir, board, {{"VEX_KMS_MENU_PLANE", d.id("NoZpos")}});
    EXPECT_FALSE(has_line(f.r.log, "rejected")) << f.what();
    EXPECT_GE(exact_line(f.r.log, "output 0 menu → ARGB plane " + f.id("NoZpos") +
                                      " (zpos default, double-buffered, probed OK)"),
              0)
        << f.what();

    // A named primary plane is tried; refused, the sidebar follows at once.
    f = run_on(dir, board, {{"VEX_KMS_MENU_PLANE", d.id("Primary")}});
    expect_in_order(f, {rejected(f, "Primary"), "output 0 menu → primary-plane sidebar fallback"});
    EXPECT_EQ(count_lines(f.r.log, "rejected"), 1) << f.what();

    // A plane of another CRTC is no candidate at all.
    f = run_on(dir, board, {{"VEX_KMS_MENU_PLANE", d.id("Other")}});
    EXPECT_FALSE(has_line(f.r.log, "rejected")) << f.what();
    EXPECT_GE(exact_line(f.r.log, "output 0 menu → primary-plane sidebar fallback"), 0) << f.what();
}

} // namespace
