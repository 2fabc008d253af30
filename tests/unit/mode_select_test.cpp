#include "display/mode_select.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t P = 1;  // preferred
constexpr uint32_t IL = 1; // interlaced

drmModeModeInfo mk(int w, int h, int hz, int clock, int htotal, int vtotal, uint32_t il = 0,
                   uint32_t preferred = 0) {
    drmModeModeInfo m{};
    m.clock = clock;
    m.hdisplay = w;
    m.hsync_start = w + 8; // not the CEA porches: a listed mode is told apart from a forced row
    m.hsync_end = w + 40;
    m.htotal = htotal;
    m.vdisplay = h;
    m.vsync_start = h + 3;
    m.vsync_end = h + 8;
    m.vtotal = vtotal;
    m.vrefresh = hz;
    m.flags = 0x5 | (il ? DRM_MODE_FLAG_INTERLACE : 0);
    m.type = DRM_MODE_TYPE_DRIVER | (preferred ? DRM_MODE_TYPE_PREFERRED : 0);
    snprintf(m.name, sizeof m.name, "%dx%d%s", w, h, il ? "i" : "");
    return m;
}

using Modes = std::vector<drmModeModeInfo>;

// Kernel-ordered mode lists of real displays.
// clang-format off
Modes desktop_1080p() {
    return {mk(1920, 1080, 60, 148500, 2200, 1125, 0, P), mk(1600, 900, 60, 108000, 1800, 1000),
            mk(1280, 1024, 75, 135000, 1688, 1066), mk(1280, 1024, 60, 108000, 1688, 1066),
            mk(1152, 864, 75, 108000, 1600, 900), mk(1024, 768, 75, 78750, 1312, 800),
            mk(1024, 768, 60, 65000, 1344, 806), mk(800, 600, 75, 49500, 1056, 625),
            mk(800, 600, 60, 40000, 1056, 628), mk(640, 480, 75, 31500, 840, 500),
            mk(640, 480, 60, 25175, 800, 525), mk(720, 400, 70, 28320, 900, 449)};
}

Modes tv_4k() {
    return {mk(3840, 2160, 60, 594000, 4400, 2250, 0, P), mk(4096, 2160, 60, 594000, 4400, 2250),
            mk(4096, 2160, 50, 594000, 5280, 2250), mk(4096, 2160, 30, 297000, 4400, 2250),
            mk(3840, 2160, 60, 593407, 4400, 2250), mk(3840, 2160, 50, 594000, 5280, 2250),
            mk(3840, 2160, 30, 297000, 4400, 2250), mk(3840, 2160, 24, 297000, 5500, 2250),
            mk(1920, 1080, 60, 148500, 2200, 1125), mk(1920, 1080, 60, 148352, 2200, 1125),
            mk(1920, 1080, 60, 74250, 2200, 1125, IL), mk(1920, 1080, 60, 74176, 2200, 1125, IL),
            mk(1920, 1080, 50, 148500, 2640, 1125), mk(1920, 1080, 50, 74250, 2640, 1125, IL),
            mk(1920, 1080, 30, 74250, 2200, 1125), mk(1920, 1080, 25, 74250, 2640, 1125),
            mk(1920, 1080, 24, 74250, 2750, 1125), mk(1680, 1050, 60, 119000, 1840, 1080),
            mk(1600, 900, 60, 108000, 1800, 1000), mk(1280, 1024, 60, 108000, 1688, 1066),
            mk(1440, 900, 60, 88750, 1600, 926), mk(1366, 768, 60, 85500, 1792, 798),
            mk(1280, 720, 60, 74250, 1650, 750), mk(1280, 720, 50, 74250, 1980, 750),
            mk(720, 576, 50, 27000, 864, 625), mk(640, 480, 60, 25175, 800, 525)};
}

// A broadcast switcher; `i50_clock` is what it advertises for 1080i50.
Modes switcher(int i50_clock = 74250) {
    return {mk(1920, 1080, 60, 148500, 2200, 1125, 0, P), mk(1920, 1080, 60, 148352, 2200, 1125),
            mk(1920, 1080, 60, 74250, 2200, 1125, IL), mk(1920, 1080, 60, 74176, 2200, 1125, IL),
            mk(1920, 1080, 50, 148500, 2640, 1125), mk(1920, 1080, 50, i50_clock, 2640, 1125, IL),
            mk(1920, 1080, 30, 74250, 2200, 1125), mk(1920, 1080, 30, 74176, 2200, 1125),
            mk(1920, 1080, 25, 74250, 2640, 1125), mk(1920, 1080, 24, 74250, 2750, 1125),
            mk(1920, 1080, 24, 74176, 2750, 1125), mk(1280, 720, 60, 74250, 1650, 750),
            mk(1280, 720, 60, 74176, 1650, 750), mk(1280, 720, 50, 74250, 1980, 750)};
}
// clang-format on

struct Pick {
    drmModeModeInfo mode;
    int forced;
    std::string log;
};

// Picks with the request text (null = automatic) and captures the log.
Pick pick(const Modes &modes, const char *request, int allow_force = 1, int vc4 = 0) {
    ModeRequest req;
    const ModeRequest *r = request && parse_mode_request(request, &req) == 0 ? &req : nullptr;
    Pick p{};
    testing::internal::CaptureStderr();
    p.mode = pick_mode_from(modes.data(), (int)modes.size(), r, allow_force, &p.forced, vc4);
    p.log = testing::internal::GetCapturedStderr();
    return p;
}

// "WxH[i]@R/clock" of a mode, for compact expectations.
std::string desc(const drmModeModeInfo &m) {
    return std::to_string(m.hdisplay) + "x" + std::to_string(m.vdisplay) +
           (mode_is_interlaced(m) ? "i@" : "@") + std::to_string(m.vrefresh) + "/" +
           std::to_string(m.clock);
}

bool is_row(const drmModeModeInfo &m, int row) {
    return memcmp(&m, &cea_modes[row], sizeof m) == 0;
}

} // namespace

TEST(ModeSelect, CeaTableHoldsTheStandardTimings) {
    static_assert(cea_modes[1].clock == 148500 && cea_modes[1].htotal == 2200); // 1080p60
    static_assert(cea_modes[0].clock == 148500 && cea_modes[0].htotal == 2640); // 1080p50
    static_assert(cea_modes[4].clock == 74250 && cea_modes[4].htotal == 2640);  // 1080i50
    static_assert(cea_modes[3].htotal == 1650 && cea_modes[2].htotal == 1980);  // 720p60/50
    EXPECT_EQ(cea_modes[4].vsync_end, 1094);
    EXPECT_EQ(cea_modes[4].flags, 0x15u);
    EXPECT_STREQ(cea_modes[4].name, "1920x1080i");
    for (const drmModeModeInfo &m : cea_modes) {
        EXPECT_EQ(m.type, 0x40u);
        // Pixel clock = htotal x vtotal x frame rate (half the field rate when interlaced).
        uint64_t hz = (uint64_t)m.htotal * m.vtotal * m.vrefresh / (mode_is_interlaced(m) ? 2 : 1);
        EXPECT_EQ(hz, (uint64_t)m.clock * 1000) << desc(m);
    }
    // Lookup: the first row of the size and rate; the interlaced one only when asked.
    EXPECT_EQ(cea_find(1920, 1080, 50, 0), &cea_modes[0]);
    EXPECT_EQ(cea_find(1920, 1080, 50, 1), &cea_modes[4]);
    EXPECT_EQ(cea_find(1280, 720, 60, 1), nullptr);
    EXPECT_EQ(cea_find(1920, 1080, 30, 0), nullptr);
}

TEST(ModeSelect, ParsesRequests) {
    struct Case {
        const char *text;
        int w, h, il, hz;
    } cases[] = {{"1920x1080", 1920, 1080, 0, 0},       {"1280x720@50", 1280, 720, 0, 50},
                 {"1920x1080i@50", 1920, 1080, 1, 50},  {"1920x1080I", 1920, 1080, 1, 0},
                 {"1920x1080 i@60", 1920, 1080, 0, 60}, {"1920x1080@", 1920, 1080, 0, 0}};
    for (const Case &c : cases) {
        ModeRequest r;
        ASSERT_EQ(parse_mode_request(c.text, &r), 0) << c.text;
        EXPECT_EQ(r.w, c.w) << c.text;
        EXPECT_EQ(r.h, c.h) << c.text;
        EXPECT_EQ(r.interlaced, c.il) << c.text;
        EXPECT_EQ(r.refresh, c.hz) << c.text;
    }
    ModeRequest r;
    for (const char *automatic : {"auto", "", "1080p", "x1080", "1920"})
        EXPECT_EQ(parse_mode_request(automatic, &r), -1) << automatic;
    EXPECT_EQ(parse_mode_request(nullptr, &r), -1);
}

TEST(ModeSelect, AutomaticChoicePrefersSixtyHertz) {
    Pick p = pick(desktop_1080p(), nullptr);
    EXPECT_EQ(desc(p.mode), "1920x1080@60/148500");
    EXPECT_EQ(p.log, "");
    EXPECT_EQ(p.forced, 0);
    // The 1000/1001 twin at the same rate does not replace the preferred timing.
    EXPECT_EQ(desc(pick(switcher(), nullptr).mode), "1920x1080@60/148500");

    // A monitor preferring 50 Hz that also offers 60 Hz is driven at 60.
    Modes pref50 = {mk(1920, 1080, 50, 148500, 2640, 1125, 0, P),
                    mk(1920, 1080, 60, 148500, 2200, 1125), mk(1280, 720, 60, 74250, 1650, 750)};
    p = pick(pref50, nullptr);
    EXPECT_EQ(p.mode.htotal, 2200);
    EXPECT_EQ(p.log, "vex-mpp: auto mode: EDID prefers 1920x1080@50 — driving the advertised @60 "
                     "instead (~60 fps source).\n");

    // 59 and 61 on offer: 61 wins the tie; interlaced modes never take part.
    Modes odd = {mk(1920, 1080, 50, 148500, 2640, 1125, 0, P),
                 mk(1920, 1080, 60, 74250, 2200, 1125, IL), mk(1920, 1080, 59, 148000, 2200, 1125),
                 mk(1920, 1080, 61, 151000, 2200, 1125)};
    EXPECT_EQ(desc(pick(odd, nullptr).mode), "1920x1080@61/151000");
    // An interlaced preferred mode is kept.
    Modes il_first = {mk(1920, 1080, 50, 74250, 2640, 1125, IL, P),
                      mk(1920, 1080, 60, 148500, 2200, 1125)};
    EXPECT_EQ(desc(pick(il_first, nullptr).mode), "1920x1080i@50/74250");
}

TEST(ModeSelect, Vc4StaysWithinItsLimit) {
    EXPECT_EQ(desc(pick(tv_4k(), nullptr, 1, 0).mode), "3840x2160@60/594000");
    // On vc4: the largest 16:9 mode within 1920x1200, at the rate nearest 60.
    EXPECT_EQ(desc(pick(tv_4k(), nullptr, 1, 1).mode), "1920x1080@60/148500");

    // No mode of the same shape: the largest within 1920x1080, interlaced ones included.
    Modes no_169 = {mk(3840, 2160, 60, 594000, 4400, 2250, 0, P),
                    mk(1280, 1024, 60, 108000, 1688, 1066),
                    mk(1920, 1080, 50, 74250, 2640, 1125, IL), mk(1024, 768, 60, 65000, 1344, 806)};
    EXPECT_EQ(desc(pick(no_169, nullptr, 1, 1).mode), "1920x1080i@50/74250");
    // Nothing small enough: the preferred mode unchanged. 1920x1200 is within the limit.
    Modes only_big = {mk(3840, 2160, 60, 594000, 4400, 2250, 0, P),
                      mk(2560, 1440, 60, 241500, 2720, 1481)};
    EXPECT_EQ(pick(only_big, nullptr, 1, 1).mode.hdisplay, 3840);
    Modes wuxga = {mk(1920, 1200, 60, 154000, 2080, 1235, 0, P),
                   mk(1920, 1080, 60, 148500, 2200, 1125)};
    EXPECT_EQ(pick(wuxga, nullptr, 1, 1).mode.vdisplay, 1200);
    // A preferred mode without a height has no shape; the size search still works.
    Modes broken = {mk(4096, 0, 60, 594000, 4400, 0, 0, P), mk(1280, 720, 60, 74250, 1650, 750)};
    EXPECT_EQ(pick(broken, nullptr, 1, 1).mode.hdisplay, 1280);

    // An explicit progressive request beyond the limit is refused.
    Pick p = pick(tv_4k(), "2560x1440", 1, 1);
    EXPECT_EQ(desc(p.mode), "1920x1080@60/148500");
    EXPECT_EQ(p.log, "vex-mpp: requested 2560x1440 exceeds the ~1920x1200 the vc4 HVS can drive "
                     "— ignoring, auto-picking instead.\n");
    EXPECT_EQ(pick(tv_4k(), "3840x2160@60", 1, 1).mode.hdisplay, 1920);
    EXPECT_EQ(pick(tv_4k(), "3840x2160@60", 1, 0).mode.hdisplay, 3840);
}

TEST(ModeSelect, ExactAndNearRequests) {
    // Exact: the first listed match (never the 1000/1001 twin) and no 60 Hz preference.
    Pick p = pick(tv_4k(), "1920x1080@60");
    EXPECT_EQ(desc(p.mode), "1920x1080@60/148500");
    EXPECT_EQ(p.log, "");
    EXPECT_EQ(desc(pick(switcher(), "1920x1080@24").mode), "1920x1080@24/74250");
    EXPECT_EQ(pick(switcher(), "1280x720@50").mode.htotal, 1980);
    // Any rate: the first listed match of that scan type.
    EXPECT_EQ(desc(pick(switcher(), "1920x1080i").mode), "1920x1080i@60/74250");

    // Interlaced at the standard clock or its 1000/1001 twin (within 0.1 %): the listed mode.
    p = pick(switcher(), "1920x1080i@50");
    EXPECT_EQ(desc(p.mode), "1920x1080i@50/74250");
    EXPECT_EQ(p.mode.hsync_start, 1928);
    EXPECT_EQ(p.forced, 0);
    p = pick(switcher(74176), "1920x1080i@50");
    EXPECT_EQ(desc(p.mode), "1920x1080i@50/74176");
    EXPECT_EQ(p.forced, 0);

    // Near: within 2 Hz, with the warning.
    p = pick(desktop_1080p(), "1920x1080@59");
    EXPECT_EQ(desc(p.mode), "1920x1080@60/148500");
    EXPECT_EQ(p.forced, 0);
    EXPECT_EQ(p.log, "vex-mpp: no exact 1920x1080@59 — driving the advertised 60 Hz (148500 kHz). "
                     "A broadcast switcher may refuse a non-standard rate and show GREEN; try the "
                     "other field rate if it does.\n");
    p = pick(switcher(), "1920x1080i@49");
    EXPECT_EQ(desc(p.mode), "1920x1080i@50/74250");
    EXPECT_NE(p.log.find("no exact 1920x1080i@49 — driving the advertised 50 Hz (74250 kHz)."),
              std::string::npos);
}

TEST(ModeSelect, ForcedCeaTimingsAndFallbacks) {
    // 1080i50 advertised at an off-spec 148500 kHz: skipped, the standard row forced.
    Pick p = pick(switcher(148500), "1920x1080i@50");
    EXPECT_EQ(p.forced, 1);
    EXPECT_TRUE(is_row(p.mode, 4));
    EXPECT_EQ(p.log,
              "vex-mpp: skipping advertised 1920x1080i@50 at 148500 kHz — the standard is 74250 "
              "kHz; an off-spec clock is what makes a switcher show GREEN.\n"
              "vex-mpp: no exact 1920x1080i@50 in the EDID — forcing the standard CEA timing "
              "(74250 kHz) so the switcher can lock.\n");
    // Unforced (the driver refused the row): the near pass takes the listed mode after all.
    p = pick(switcher(148500), "1920x1080i@50", 0);
    EXPECT_EQ(desc(p.mode), "1920x1080i@50/148500");
    EXPECT_EQ(p.forced, 0);

    // 1080i50 on a monitor without any 1080i: forced; unforced, progressive at the nearest rate.
    p = pick(desktop_1080p(), "1920x1080i@50");
    EXPECT_TRUE(is_row(p.mode, 4));
    EXPECT_EQ(p.forced, 1);
    p = pick(desktop_1080p(), "1920x1080i@50", 0);
    EXPECT_EQ(desc(p.mode), "1920x1080@60/148500");
    EXPECT_EQ(p.forced, 0);
    EXPECT_EQ(p.log, "vex-mpp: display advertises no interlaced 1920x1080 mode — the switcher "
                     "must accept 1080i over HDMI; falling back to progressive.\n"
                     "vex-mpp: requested 1920x1080@50 not available — driving 1920x1080@60 "
                     "instead.\n");
    Modes p50 = {mk(1920, 1080, 60, 148500, 2200, 1125, 0, P),
                 mk(1920, 1080, 50, 148500, 2640, 1125)};
    EXPECT_EQ(desc(pick(p50, "1920x1080i@50", 0).mode), "1920x1080@50/148500");
    // Unforced interlaced at the other field rate.
    Modes i60_only = {mk(1920, 1080, 60, 148500, 2200, 1125, 0, P),
                      mk(1920, 1080, 60, 74250, 2200, 1125, IL)};
    p = pick(i60_only, "1920x1080i@50", 0);
    EXPECT_EQ(desc(p.mode), "1920x1080i@60/74250");
    EXPECT_EQ(p.log, "vex-mpp: requested 1920x1080i@50 not available — driving 1920x1080i@60 "
                     "instead.\n");

    // 1080p50 without any 1920x1080 in the EDID: the progressive row, never the interlaced one.
    Modes wsxga = {mk(1680, 1050, 60, 119000, 1840, 1080, 0, P),
                   mk(1280, 1024, 60, 108000, 1688, 1066)};
    p = pick(wsxga, "1920x1080@50");
    EXPECT_TRUE(is_row(p.mode, 0));
    EXPECT_EQ(p.forced, 1);
    EXPECT_EQ(p.log, "vex-mpp: display EDID has no 1920x1080@50 — forcing the standard CEA "
                     "timing.\n");
    EXPECT_TRUE(is_row(pick(wsxga, "1280x720@60").mode, 3));
    // Unforced, or a size without a CEA row: the automatic choice.
    p = pick(wsxga, "1920x1080@50", 0);
    EXPECT_EQ(p.mode.hdisplay, 1680);
    EXPECT_EQ(p.forced, 0);
    EXPECT_EQ(pick(wsxga, "2560x1440@60").mode.hdisplay, 1680);

    // forced is left alone unless a row is returned, and may be null.
    int forced = 7;
    ModeRequest req;
    parse_mode_request("1920x1080@60", &req);
    Modes sw = switcher();
    pick_mode_from(sw.data(), (int)sw.size(), &req, 1, &forced, 0);
    EXPECT_EQ(forced, 7);
    parse_mode_request("1920x1080@50", &req);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(is_row(pick_mode_from(wsxga.data(), (int)wsxga.size(), &req, 1, nullptr, 0), 0));
    testing::internal::GetCapturedStderr();
}

TEST(ModeSelect, EnvironmentAndDriverWrapper) {
    EXPECT_EQ(drv_name_is_vc4("vc4"), 1);
    EXPECT_EQ(drv_name_is_vc4("vc4x"), 0);
    EXPECT_EQ(drv_name_is_vc4(nullptr), 0);

    Modes tv = tv_4k();
    drmModeConnector conn{};
    conn.modes = tv.data();
    conn.count_modes = (int)tv.size();
    int forced = 0;

    g_drv_vc4 = -1;
    drv_note_name("vc4");
    drv_note_name("rockchip"); // the first answer stays
    EXPECT_EQ(drv_is_vc4(), 1);
    setenv("VEX_KMS_MODE", "1280x720@50", 1);
    EXPECT_EQ(desc(pick_mode(&conn, 1, &forced, 1)), "1280x720@50/74250");
    EXPECT_EQ(pick_mode(&conn, 1, &forced, 0).hdisplay, 1920); // use_env = 0: auto on vc4
    setenv("VEX_KMS_MODE", "auto", 1);
    EXPECT_EQ(pick_mode(&conn, 1, &forced, 1).hdisplay, 1920);
    unsetenv("VEX_KMS_MODE");

    g_drv_vc4 = -1;
    drv_note_name(nullptr); // version unreadable: not vc4
    EXPECT_EQ(drv_is_vc4(), 0);
    EXPECT_EQ(pick_mode(&conn, 1, &forced, 1).hdisplay, 3840);
    EXPECT_EQ(forced, 0);
}
