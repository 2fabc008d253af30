#include "display/mode_select.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t IL = 1; // interlaced

// A listed mode; only the size, rate, clock and scan type take part in the choice
// (the missing porches tell a listed mode apart from a built-in row).
drmModeModeInfo mk(int w, int h, int hz, int clock, uint32_t il = 0) {
    drmModeModeInfo m{};
    m.clock = clock, m.hdisplay = w, m.vdisplay = h, m.vrefresh = hz;
    m.flags = 0x5 | (il ? DRM_MODE_FLAG_INTERLACE : 0);
    return m;
}

using Modes = std::vector<drmModeModeInfo>;

// Kernel-ordered mode lists, the preferred mode first.
const Modes desktop = {mk(1920, 1080, 60, 148500), mk(1280, 1024, 60, 108000)};
const Modes wsxga(desktop.begin() + 1, desktop.end()); // no 1920x1080 at all
const Modes tv_4k = {mk(3840, 2160, 60, 594000), mk(1920, 1080, 50, 148500),
                     mk(1920, 1080, 60, 148500)};
// A broadcast switcher advertising 1080i50 at `i50_clock`.
Modes switcher(int i50_clock) {
    return {mk(1920, 1080, 60, 148500),    mk(1920, 1080, 60, 148352),
            mk(1920, 1080, 60, 74250, IL), mk(1920, 1080, 60, 74176, IL),
            mk(1920, 1080, 50, 148500),    mk(1920, 1080, 50, i50_clock, IL),
            mk(1920, 1080, 24, 74250)};
}
const Modes sw = switcher(74250), sw_twin = switcher(74176), sw_offspec = switcher(148500);
// Preferring 50 Hz with 59 and 61 on offer, and an interlaced 60.
const Modes odd = {mk(1920, 1080, 50, 148500), mk(1920, 1080, 60, 74250, IL),
                   mk(1920, 1080, 59, 148000), mk(1920, 1080, 61, 151000)};
const Modes il_first = {mk(1920, 1080, 50, 74250, IL), mk(1920, 1080, 60, 148500)};
const Modes i60_only = {mk(1920, 1080, 60, 148500), mk(1920, 1080, 60, 74250, IL)};
const Modes no_169 = {mk(3840, 2160, 60, 594000), mk(1280, 1024, 60, 108000),
                      mk(1920, 1080, 50, 74250, IL), mk(1024, 768, 60, 65000)};
const Modes only_4k(tv_4k.begin(), tv_4k.begin() + 1);
const Modes no_height = {mk(4096, 0, 60, 594000), mk(1280, 720, 60, 74250)};

// "WxH[i]@R/clock" of a mode, " CEA" appended for a built-in row.
std::string desc(const drmModeModeInfo &m) {
    std::string s = std::to_string(m.hdisplay) + "x" + std::to_string(m.vdisplay) +
                    (mode_is_interlaced(m) ? "i@" : "@") + std::to_string(m.vrefresh) + "/" +
                    std::to_string(m.clock);
    for (const drmModeModeInfo &row : cea_modes)
        if (memcmp(&m, &row, sizeof m) == 0) s += " CEA";
    return s;
}

// The pick for the request text (null = automatic), its log into *log; `forced` is set
// exactly when a built-in row is returned, and left alone otherwise.
std::string pick(const Modes &modes, const char *request, int allow_force, int vc4,
                 std::string *log) {
    ModeRequest req;
    const ModeRequest *r = request && parse_mode_request(request, &req) == 0 ? &req : nullptr;
    int forced = 7;
    testing::internal::CaptureStderr();
    const drmModeModeInfo m =
        pick_mode_from(modes.data(), (int)modes.size(), r, allow_force, &forced, vc4);
    *log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(forced, desc(m).find(" CEA") != std::string::npos ? 1 : 7) << desc(m);
    return desc(m);
}

} // namespace

TEST(ModeSelect, CeaTableAndRequestParsing) {
    for (const drmModeModeInfo &m : cea_modes) {
        // Pixel clock = htotal x vtotal x frame rate (half the field rate when interlaced).
        uint64_t hz = (uint64_t)m.htotal * m.vtotal * m.vrefresh / (mode_is_interlaced(m) ? 2 : 1);
        EXPECT_EQ(hz, (uint64_t)m.clock * 1000) << desc(m);
    }
    // Lookup: the first row of the size and rate; the interlaced one only when asked.
    EXPECT_EQ(cea_find(1920, 1080, 50, 0), &cea_modes[0]);
    EXPECT_EQ(cea_find(1920, 1080, 50, 1), &cea_modes[4]);
    EXPECT_EQ(cea_find(1280, 720, 60, 1), nullptr);

    ModeRequest r;
    ASSERT_EQ(parse_mode_request("1920x1080I@50", &r), 0);
    EXPECT_EQ((std::vector<int>{r.w, r.h, r.interlaced, r.refresh}),
              (std::vector<int>{1920, 1080, 1, 50}));
    ASSERT_EQ(parse_mode_request("1280x720 i", &r), 0); // 'i' counts straight after the height
    EXPECT_EQ(r.interlaced + r.refresh, 0);
    for (const char *automatic : {"auto", "", "1080p", "1920"})
        EXPECT_EQ(parse_mode_request(automatic, &r), -1) << automatic;
    EXPECT_EQ(parse_mode_request(nullptr, &r), -1);
}

TEST(ModeSelect, OneCasePerPath) {
    struct Case {
        const Modes &modes;
        const char *request;
        int allow_force, vc4;
        const char *want;
        const char *log = nullptr; // a part of the log ("": nothing logged)
    } cases[] = {
        // Automatic: nearest 60 Hz, the higher of a 59/61 tie, interlaced never
        // taking part; an interlaced preferred mode kept.
        {odd, nullptr, 1, 0, "1920x1080@61/151000",
         "auto mode: EDID prefers 1920x1080@50 — driving the advertised @61 instead"},
        {il_first, nullptr, 1, 0, "1920x1080i@50/74250"},
        // vc4: the largest of the preferred shape within 1920x1200, nearest 60 Hz;
        // else the largest within 1920x1080, interlaced included; else the preferred
        // mode. A preferred mode without height has no shape. Big requests refused.
        {tv_4k, nullptr, 1, 1, "1920x1080@60/148500"},
        {no_169, nullptr, 1, 1, "1920x1080i@50/74250"},
        {only_4k, nullptr, 1, 1, "3840x2160@60/594000"},
        {no_height, nullptr, 1, 1, "1280x720@60/74250"},
        {tv_4k, "3840x2160@60", 1, 1, "1920x1080@60/148500"},
        // Exact: the first listed match; without a rate the first of that scan type;
        // interlaced at the 1000/1001 twin of the standard clock (within 0.1 %). Near:
        // within 2 Hz.
        {sw, "1920x1080@24", 1, 0, "1920x1080@24/74250", ""},
        {sw, "1920x1080i", 1, 0, "1920x1080i@60/74250"},
        {sw_twin, "1920x1080i@50", 1, 0, "1920x1080i@50/74176", ""},
        {sw, "1920x1080i@49", 1, 0, "1920x1080i@50/74250",
         "no exact 1920x1080i@49 — driving the advertised 50 Hz (74250 kHz)."},
        // A clock off the standard: the interlaced row forced; unforced, the near pass takes it.
        {sw_offspec, "1920x1080i@50", 1, 0, "1920x1080i@50/74250 CEA"},
        {sw_offspec, "1920x1080i@50", 0, 0, "1920x1080i@50/148500"},
        // No 1080i at all: forced; unforced, progressive at the nearest rate, or
        // interlaced at the other field rate.
        {desktop, "1920x1080i@50", 1, 0, "1920x1080i@50/74250 CEA"},
        {desktop, "1920x1080i@50", 0, 0, "1920x1080@60/148500",
         "vex-mpp: display advertises no interlaced 1920x1080 mode — the switcher must accept "
         "1080i over HDMI; falling back to progressive.\n"
         "vex-mpp: requested 1920x1080@50 not available — driving 1920x1080@60 instead.\n"},
        {i60_only, "1920x1080i@50", 0, 0, "1920x1080i@60/74250",
         "vex-mpp: requested 1920x1080i@50 not available — driving 1920x1080i@60 instead.\n"},
        // Forced progressive: the progressive row, never the interlaced one;
        // unforced (or a size without a row): the automatic choice.
        {wsxga, "1920x1080@50", 1, 0, "1920x1080@50/148500 CEA",
         "display EDID has no 1920x1080@50 — forcing the standard CEA timing."},
        {wsxga, "1920x1080@50", 0, 0, "1280x1024@60/108000"},
    };
    for (const Case &c : cases) {
        std::string log;
        EXPECT_EQ(pick(c.modes, c.request, c.allow_force, c.vc4, &log), c.want)
            << (c.request ? c.request : "auto") << " vc4 " << c.vc4;
        EXPECT_TRUE(!c.log || (*c.log ? log.find(c.log) != log.npos : log.empty())) << log;
    }
}

TEST(ModeSelect, EnvironmentAndDriverWrapper) {
    drmModeConnector conn{};
    conn.modes = const_cast<drmModeModeInfo *>(tv_4k.data());
    conn.count_modes = (int)tv_4k.size();
    testing::internal::CaptureStderr();
    g_drv_vc4 = -1;
    drv_note_name("vc4");
    drv_note_name("rockchip"); // the first answer stays
    EXPECT_EQ(drv_is_vc4(), 1);
    setenv("VEX_KMS_MODE", "1280x720@50", 1); // forced, with `forced` null
    EXPECT_EQ(desc(pick_mode(&conn, 1, nullptr, 1)), "1280x720@50/74250 CEA");
    EXPECT_EQ(pick_mode(&conn, 1, nullptr, 0).hdisplay, 1920); // use_env = 0: auto on vc4
    unsetenv("VEX_KMS_MODE");

    g_drv_vc4 = -1;
    drv_note_name(nullptr); // version unreadable: not vc4
    EXPECT_EQ(drv_is_vc4(), 0);
    EXPECT_EQ(pick_mode(&conn, 1, nullptr, 1).hdisplay, 3840);
    EXPECT_EQ(drv_name_is_vc4("vc4x"), 0);
    testing::internal::GetCapturedStderr();
}
