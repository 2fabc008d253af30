#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/config.h"
#include "display/output.h"
#include "overlay/telemetry.h"
#include "overlay/text.h"
#include "tests/unit/png_io.h"

namespace {

using Ints = std::vector<int32_t>;
using Colours = std::vector<uint32_t>;
constexpr uint32_t white = 0xffeef0f4, grey = 0xff8b94a6, dim = 0xff6b7280, red = 0xfff87171;
constexpr uint32_t amber = 0xfffab23f, green = 0xff4ade80;

const char full_file[] = "gog = 82\ndrn = 24\nsig = 3\nvtx = 1\nsat = 14\ntmp = 51\nrec = 1\n"
                         "recs = 3725\nvpn = 1\nnet = fpv-link-5G\nyaw = 271.4\nalt = 120.5\n"
                         "spd = 14.2\nvs = -1.5\npit = 4\nrol = -12\n";

Telemetry parse(std::string text, int valid = 1) {
    Telemetry t;
    telemetry_parse(text.data(), text.size(), &t);
    t.valid = valid;
    return t;
}

TEST(Telemetry, FileTextsStatusChipsAndPictures) {
    // Capitalised, unknown and malformed keys are skipped; the last value wins; garbage
    // reads as 0; blanks around '=' are optional; keys not given keep their defaults.
    Telemetry t = parse("Gog = 50\ngogx = 5\ngog 7\n=3\n  sat=9\nsat = 12\ndrn = abc\nalt = x\n"
                        "vtx = 3 4\nnet = " +
                        std::string(40, 'n'));
    EXPECT_EQ((Ints{t.gog, t.sat, t.drn, t.vtx, t.has_alt, (int32_t)strlen(t.net), t.sig, t.tmp,
                    t.recs, t.has_vs}),
              (Ints{-1, 12, 0, 3, 1, 23, -1, -1000, 0, 0}));
    char s[32];
    std::string texts;
    for (int32_t r : {59, -5, 3599, 3600}) fmt_rec(s, sizeof s, r), texts += s + std::string("|");
    fmt_uptime_secs(s, 90061), texts += s + std::string("|");
    lut_display_name("/opt/luts/a_name_longer_than_23_chars.cube", s), texts += s;
    EXPECT_EQ(texts, "REC 0:59|REC 0:00|REC 59:59|REC 1:00:00|UP 1d01:01|a_name_longer_than_23_c");
    EXPECT_EQ((Colours{battery_colour(-1), battery_colour(15), battery_colour(16),
                       battery_colour(30), battery_colour(31)}),
              (Colours{dim, red, amber, amber, green}));

    // The telemetry file and the board's thermal zone and uptime, in a directory of ours.
    const std::string dir = unit_temp_dir("vex-telemetry-test"), run = dir + "/run",
                      file = dir + "/telemetry";
    const std::string zone = run + "/sys/class/thermal/thermal_zone0";
    ASSERT_EQ(system(("mkdir -p " + zone + " " + run + "/proc").c_str()), 0);
    put_text(zone + "/temp", "-5500\n");
    put_text(run + "/proc/uptime", "90061.93 100.00\n");
    setenv("VEX_SIM_DIR", run.c_str(), 1);
    setenv("VEX_KMS_TELEMETRY", file.c_str(), 1);
    EXPECT_EQ(poll_telemetry(), 0); // no file, nothing read yet
    put_text(file, "gog = 40\ntmp = 60\n", 1000);
    EXPECT_EQ(poll_telemetry(), 1);
    EXPECT_EQ((Ints{g_telem.valid, g_telem.gog, g_telem.tmp}), (Ints{1, 40, 60}));
    EXPECT_EQ(poll_telemetry(), 0);     // unchanged time: not read again
    put_text(file, "gog = 41\n", 1001); // a dropped key returns to unknown
    EXPECT_EQ(poll_telemetry(), 1);
    EXPECT_EQ((Ints{g_telem.gog, g_telem.tmp}), (Ints{41, -1000}));
    remove(file.c_str()); // a vanished file zeroes the record, once
    EXPECT_EQ(poll_telemetry(), 1);
    EXPECT_EQ((Ints{g_telem.valid, g_telem.gog, g_telem.tmp}), (Ints{0, 0, 0}));
    EXPECT_EQ(poll_telemetry(), 0);
    // The mode of the first output that is not DSI; the board's temperature (truncated
    // towards zero) while the file has none.
    nout = 2, outs[0] = outs[1] = Output{};
    outs[0].is_dsi = 1, outs[0].mode.vdisplay = 1280, outs[0].mode.vrefresh = 60;
    outs[1].mode.vdisplay = 1080, outs[1].mode.vrefresh = 50;
    outs[1].mode.flags = DRM_MODE_FLAG_INTERLACE;
    g_is_hevc = 1;
    HudStatus st;
    hud_status(&outs[0], &st);
    EXPECT_EQ(std::string(st.mode) + st.codec + st.uptime + st.lut + std::to_string(st.temp),
              "1080i50H.265UP 1d01:01-5");
    nout = g_is_hevc = 0, outs[0] = outs[1] = Output{};
    unsetenv("VEX_KMS_TELEMETRY");
    unsetenv("VEX_SIM_DIR");
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);

    ASSERT_EQ(g_face, nullptr); // the bitmap font: the same pixels everywhere
    HudChip c[hud_chip_count];
    ASSERT_EQ(hud_build_chips(parse("yaw = 12.6\nvs = 1.5\npit = -3\ngog = 16\n"), c), 10);
    texts.clear();
    for (const HudChip &k : c) texts += std::string(k.text) + "|";
    EXPECT_EQ(texts, "16%|--|VTX|SAT --|13\xb0|--m|--m/s|VS+1.5|PIT-3|ROL--|");
    EXPECT_EQ((Colours{c[0].colour, c[1].colour, c[2].colour, c[3].colour, c[4].colour}),
              (Colours{amber, dim, white, grey, white}));
    // No chip bar without a file, or with only recording and values that do not open it.
    EXPECT_EQ(hud_build_chips(parse(full_file, 0), c), 0);
    EXPECT_EQ(hud_build_chips(parse("rec = 1\nrecs = 3725\nvs = 2\npit = 1\nrol = 3\n"), c), 0);

    // The chip band and the bottom bar, one above the other.
    st = HudStatus{1, 3725, "Teal_Orange", "fpv-link-5G", 1, "UP 3:25", "H.265", "1080i50", 51};
    for (auto wh : {std::make_pair(1280, 720), {800, 480}}) {
        const int32_t W = wh.first, H = wh.second;
        const HudSizes z = hud_sizes(H);
        std::vector<uint32_t> px((size_t)W * H, 0);
        uint8_t *p = (uint8_t *)px.data();
        st.temp = W > 1000 ? 51 : 85; // grey, amber
        draw_status_bar(p, (uint32_t)W * 4, W, H, st);
        const int rows = draw_chip_bar(p, (uint32_t)W * 4, W, H, parse(full_file));
        std::copy(px.end() - z.bh * W, px.end(), px.begin() + rows * z.row_h * W);
        TestImage img = image_from_canvas(p, (uint32_t)W * 4, 0, 0, W, rows * z.row_h + z.bh);
        const std::string name = "hud_" + std::to_string(W) + "x" + std::to_string(H) + ".png";
        std::string why;
        EXPECT_TRUE(match_ref(img, name, &why)) << name << ": " << why;
    }
}

// On any width the bottom bar's texts keep apart and inside the bar, the
// recording time first of all; what must give way is shortened, then left out.
TEST(Telemetry, StatusBarNeverOverprints) {
    ASSERT_EQ(g_face, nullptr); // the bitmap font: 16 pixels a character
    HudStatus st{
        1,         3725, "Teal_Orange_Strong", "fpv-link-5G-backup", 1, "UP 1d01:01", "H.265",
        "1080i50", 85};
    std::string at720;
    for (int32_t H : {480, 1280}) {
        const HudSizes z = hud_sizes(H);
        for (int32_t W = 240; W <= 1920; W += 16) {
            HudBarLayout l;
            hud_status_layout(st, W, z, &l);
            ASSERT_TRUE(l.dot && l.n >= 1 && !strcmp(l.item[0].text, "REC 1:02:05")) << W;
            int32_t end = 0;
            std::string all;
            for (int i = 0; i < l.n; i++) {
                EXPECT_GE(l.item[i].x, end + 4) << W << ": " << l.item[i].text;
                end = l.item[i].x + ft_text_w(l.item[i].text, z.fs);
                all += std::string(l.item[i].text) + "|";
            }
            EXPECT_LE(end, std::max(W - 8, 8 + z.d + 5 + 11 * 16)) << W << ": " << all;
            if (W == 720 && H == 1280) at720 = all;
            EXPECT_TRUE(W < 1900 || l.n == 9) << all; // room for everything
        }
    }
    EXPECT_EQ(at720, "REC 1:02:05|LUT|Teal...|fpv-...|85\xb0"
                     "C|H.265|");
}

} // namespace
