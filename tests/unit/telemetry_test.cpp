#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/config.h"
#include "display/output.h"
#include "overlay/telemetry.h"
#include "overlay/text.h"
#include "tests/unit/png_io.h"

namespace {

using Ints = std::vector<int32_t>;
constexpr uint32_t bar = 0xa6080a0f, white = 0xffeef0f4, grey = 0xff8b94a6, dim = 0xff6b7280;
constexpr uint32_t red = 0xfff87171, amber = 0xfffab23f, green = 0xff4ade80, unlit = 0xff39404e;

const char full_file[] = "gog = 82\ndrn = 24\nsig = 3\nvtx = 1\nsat = 14\ntmp = 51\nrec = 1\n"
                         "recs = 3725\nvpn = 1\nnet = fpv-link-5G\nyaw = 271.4\nalt = 120.5\n"
                         "spd = 14.2\nvs = -1.5\npit = 4\nrol = -12\n";

Telemetry parse(const std::string &text, int valid = 1) {
    FILE *f = fmemopen((void *)text.data(), text.size(), "r");
    Telemetry t;
    telemetry_parse(f, &t);
    fclose(f);
    t.valid = valid;
    return t;
}

void put(const std::string &path, const std::string &text, long stamp = 0) {
    FILE *f = fopen(path.c_str(), "w");
    fputs(text.c_str(), f);
    fclose(f);
    const timespec t[2] = {{stamp, 0}, {stamp, 0}};
    if (stamp) utimensat(AT_FDCWD, path.c_str(), t, 0);
}

// A private directory for the telemetry file (VEX_KMS_TELEMETRY) and the
// simulated board's run directory (VEX_SIM_DIR), with its thermal zone and
// uptime stand-ins written before the board looks at them.
struct Board {
    std::string dir, file;
    Board(const char *thermal, const char *uptime) {
        char tmpl[] = "/tmp/vex-telemetry-test.XXXXXX";
        dir = mkdtemp(tmpl);
        const std::string run = dir + "/run", zone = run + "/sys/class/thermal/thermal_zone0";
        EXPECT_EQ(system(("mkdir -p " + zone + " " + run + "/proc").c_str()), 0);
        put(zone + "/temp", thermal);
        put(run + "/proc/uptime", uptime);
        setenv("VEX_SIM_DIR", run.c_str(), 1);
        file = dir + "/telemetry";
        setenv("VEX_KMS_TELEMETRY", file.c_str(), 1);
    }
    ~Board() {
        unsetenv("VEX_KMS_TELEMETRY");
        unsetenv("VEX_SIM_DIR");
        EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
        g_telem = Telemetry{};
    }
};

// Text through the bitmap font for one scope: the same pixels on every machine.
struct BitmapFont {
    FT_FaceRec_ *saved = g_face;
    BitmapFont() { g_face = nullptr; }
    ~BitmapFont() { g_face = saved; }
};

TEST(Telemetry, FileKeysAndPoll) {
    Telemetry t = parse(full_file);
    EXPECT_EQ((Ints{t.gog, t.drn, t.sig, t.vtx, t.sat, t.tmp, t.rec, t.recs, t.vpn}),
              (Ints{82, 24, 3, 1, 14, 51, 1, 3725, 1}));
    EXPECT_STREQ(t.net, "fpv-link-5G");
    EXPECT_EQ((std::vector<float>{t.yaw, t.alt, t.spd, t.vs, t.pit, t.rol}),
              (std::vector<float>{271.4f, 120.5f, 14.2f, -1.5f, 4.f, -12.f}));
    EXPECT_EQ(t.has_yaw + t.has_alt + t.has_spd + t.has_vs + t.has_pit + t.has_rol, 6);

    // Capitalised, unknown and malformed keys are skipped; the last value
    // wins; garbage reads as 0; blanks around '=' are optional.
    t = parse("Gog = 50\ngogx = 5\ngog 7\n=3\n  sat=9\nsat = 12\ndrn = abc\nalt = x\nvtx = 3 4\n"
              "net = " +
              std::string(40, 'n'));
    EXPECT_EQ((Ints{t.gog, t.sat, t.drn, t.vtx, t.has_alt, (int32_t)strlen(t.net)}),
              (Ints{-1, 12, 0, 3, 1, 23}));
    // Keys not given keep their defaults.
    t = parse("rec = 1\n");
    EXPECT_EQ((Ints{t.gog, t.drn, t.sig, t.vtx, t.sat, t.tmp, t.recs, t.has_yaw, t.net[0]}),
              (Ints{-1, -1, -1, -1, -1, -1000, 0, 0, 0}));

    Board b("0\n", "0\n");
    EXPECT_EQ(poll_telemetry(), 0); // no file, nothing read yet
    put(b.file, "gog = 40\ntmp = 60\n", 1000);
    EXPECT_EQ(poll_telemetry(), 1);
    EXPECT_EQ((Ints{g_telem.valid, g_telem.gog, g_telem.tmp}), (Ints{1, 40, 60}));
    EXPECT_EQ(poll_telemetry(), 0);  // unchanged time: not read again
    put(b.file, "gog = 41\n", 1001); // a dropped key returns to unknown
    EXPECT_EQ(poll_telemetry(), 1);
    EXPECT_EQ((Ints{g_telem.gog, g_telem.tmp}), (Ints{41, -1000}));
    remove(b.file.c_str()); // a vanished file zeroes the record, once
    EXPECT_EQ(poll_telemetry(), 1);
    EXPECT_EQ((Ints{g_telem.valid, g_telem.gog, g_telem.tmp}), (Ints{0, 0, 0}));
    EXPECT_EQ(poll_telemetry(), 0);
}

TEST(Telemetry, Texts) {
    char s[32];
    std::string rec, up, lut;
    for (int32_t r : {3725, 59, -5, 3599, 3600})
        fmt_rec(s, sizeof s, r), rec += s + std::string("|");
    EXPECT_EQ(rec, "REC 1:02:05|REC 0:59|REC 0:00|REC 59:59|REC 1:00:00|");
    for (long u : {90061, 3700, 86399}) fmt_uptime_secs(s, u), up += s + std::string("|");
    EXPECT_EQ(up, "UP 1d01:01|UP 1:01|UP 23:59|");
    for (const char *l :
         {"/opt/luts/Teal_Orange.cube", "a_name_longer_than_23_chars.cube", "film.cube.bak"})
        lut_display_name(l, s), lut += s + std::string("|");
    EXPECT_EQ(lut, "Teal_Orange|a_name_longer_than_23_c|film|"); // cut to 23, then at .cube
    EXPECT_EQ((std::vector<uint32_t>{battery_colour(-1), battery_colour(0), battery_colour(15),
                                     battery_colour(16), battery_colour(30), battery_colour(31)}),
              (std::vector<uint32_t>{dim, red, red, amber, amber, green}));

    HudChip c[hud_chip_count];
    auto texts = [&] {
        std::string v;
        for (const HudChip &k : c) v += std::string(k.text) + "|";
        return v;
    };
    ASSERT_EQ(hud_build_chips(parse("yaw = 12.6\nvs = 1.5\npit = -3\ngog = 16\n"), c), 10);
    EXPECT_EQ(texts(), "16%|--|VTX|SAT --|13\xb0|--m|--m/s|VS+1.5|PIT-3|ROL--|");
    EXPECT_EQ((std::vector<uint32_t>{c[0].colour, c[1].colour, c[2].colour, c[3].colour,
                                     c[4].colour, c[5].colour}),
              (std::vector<uint32_t>{amber, dim, white, grey, white, grey}));
    ASSERT_EQ(hud_build_chips(parse("sat = 0\n"), c), 10);
    EXPECT_EQ(texts(), "--|--|VTX|SAT 0|--\xb0|--m|--m/s|VS--|PIT--|ROL--|");
    // No chip bar without a file, or with only recording and values that do not open it.
    EXPECT_EQ(hud_build_chips(parse(full_file, 0), c), 0);
    EXPECT_EQ(hud_build_chips(parse("rec = 1\nrecs = 3725\nvs = 2\npit = 1\nrol = 3\n"), c), 0);
}

TEST(Telemetry, BoardReadersAndStatus) {
    char up[24] = "x";
    {
        Board bad("hot\n", "soon 1\n");
        fmt_uptime(up);
        EXPECT_EQ(std::string(up) + std::to_string(board_temp_c()), "-1000");
    }
    Board b("-5500\n", "90061.93 100.00\n");
    // The mode comes from the first output that is not DSI, else the given one.
    nout = 2;
    outs[0] = outs[1] = Output{};
    outs[0].is_dsi = 1;
    outs[0].mode.vdisplay = 1280;
    outs[0].mode.vrefresh = 60;
    outs[1].mode.vdisplay = 1080;
    outs[1].mode.vrefresh = 50;
    outs[1].mode.flags = DRM_MODE_FLAG_INTERLACE;
    g_is_hevc = 1;
    HudStatus s;
    hud_status(&outs[0], &s);
    EXPECT_EQ(std::string(s.mode) + s.codec + s.uptime + s.lut, "1080i50H.265UP 1d01:01");
    EXPECT_EQ(s.temp, -5); // the board's, truncated towards zero
    put(b.file, "tmp = 85\n", 1000);
    poll_telemetry();
    outs[1].is_dsi = 1;
    hud_status(&outs[0], &s);
    EXPECT_EQ(std::string(s.mode) + std::to_string(s.temp), "1280p6085");
    outs[0] = outs[1] = Output{};
    nout = 0;
    g_is_hevc = 0;
}

TEST(Telemetry, ChipRowsAndSignalBars) {
    BitmapFont bitmap;
    // The first chip always opens the first row; the rest follow while they fit.
    const int32_t w[] = {50, 50, 50};
    EXPECT_EQ((Ints{hud_first_row(w, 3, 178, 10), hud_first_row(w, 3, 177, 10),
                    hud_first_row(w, 3, 10, 10)}),
              (Ints{3, 2, 1}));

    auto draw = [](const Telemetry &t, int32_t W, int32_t H, std::vector<uint32_t> *px) {
        px->assign((size_t)W * H, 0);
        return draw_chip_bar((uint8_t *)px->data(), (uint32_t)W * 4, W, H, t);
    };
    std::vector<uint32_t> px;
    for (auto k : {Ints{1280, 720, 1}, {800, 480, 2}, {60, 480, 2}}) { // W, H, rows
        EXPECT_EQ(draw(parse(full_file), k[0], k[1], &px), k[2]) << k[0];
        const int32_t band = k[2] * hud_sizes(k[1]).row_h;
        EXPECT_EQ((std::vector<uint32_t>{px[(size_t)(band - 1) * k[0]], px[(size_t)band * k[0]]}),
                  (std::vector<uint32_t>{bar, 0}))
            << k[0];
    }
    // Bars lit up to the level (no other green: batteries unknown): columns per colour.
    for (auto l :
         {std::make_pair("sig = 3", 3), {"sig = 0", 0}, {"sig = 9", 5}, {"sig = -1\nsat = 2", 0}}) {
        ASSERT_EQ(draw(parse(l.first), 1280, 720, &px), 1);
        int n[2] = {0, 0};
        for (int x = 0; x < 1280; x++) {
            bool g = false, u = false;
            for (int y = 0; y < 30; y++) {
                g |= px[(size_t)y * 1280 + x] == green;
                u |= px[(size_t)y * 1280 + x] == unlit;
            }
            n[0] += g;
            n[1] += u;
        }
        EXPECT_EQ((Ints{n[0], n[1]}), (Ints{3 * l.second, 3 * (5 - l.second)})) << l.first;
    }
}

TEST(Telemetry, ReferencePictures) {
    BitmapFont bitmap;
    const Telemetry t = parse(full_file);
    HudStatus s{1, 3725, "Teal_Orange", "fpv-link-5G", 1, "UP 3:25", "H.265", "1080i50", 51};
    for (auto wh : {std::make_pair(1280, 720), {800, 480}}) {
        const int32_t W = wh.first, H = wh.second;
        const HudSizes z = hud_sizes(H);
        std::vector<uint32_t> px((size_t)W * H, 0);
        uint8_t *p = (uint8_t *)px.data();
        s.temp = W > 1000 ? 51 : 85; // grey, amber
        draw_status_bar(p, (uint32_t)W * 4, W, H, s);
        const int rows = draw_chip_bar(p, (uint32_t)W * 4, W, H, t);
        EXPECT_EQ(px[(size_t)(H - z.bh / 2) * W + 8 + z.d / 2], red); // the recording dot
        // The chip band and the bottom bar, one above the other.
        TestImage img = image_from_canvas(p, (uint32_t)W * 4, 0, 0, W, rows * z.row_h);
        TestImage bottom = image_from_canvas(p, (uint32_t)W * 4, 0, H - z.bh, W, z.bh);
        img.px.insert(img.px.end(), bottom.px.begin(), bottom.px.end());
        img.h += bottom.h;
        const std::string name = "hud_" + std::to_string(W) + "x" + std::to_string(H) + ".png";
        std::string why;
        EXPECT_TRUE(match_ref(img, name, &why)) << name << ": " << why;
    }
}

} // namespace
