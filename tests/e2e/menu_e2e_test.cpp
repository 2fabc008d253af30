// End-to-end runs of the menu, the message and connect screens and the standby
// picture on the simulated HDMI + DSI board, steered through vexctl and seen in
// screenshots while the program runs. The DSI panel (output 1) has an ARGB
// overlay plane for the menu; the HDMI monitor (output 0) gets it as a sidebar
// in its standby buffer.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

using Shots = std::vector<TestImage>; // HDMI-A-1, DSI-1

// The program on the board while the test looks at it, its standard input held
// open: silent (the screens keep the standby picture) or fed with a looped
// stream. Without monitor-swap detection an idle loop pass makes one display
// call, its vblank wait.
SimRunOpts live_opts(SimEnv env, const std::string &board) {
    SimRunOpts o;
    o.env = std::move(env);
    o.env.insert(o.env.end(), {{"VEX_SIM_BOARD", board}, {"VEX_KMS_HOTPLUG", "0"}});
    o.update_log = true;
    o.timeout_s = 20;
    return o;
}

struct LiveRun : SimThread {
    LiveRun(TestDir &d, SimEnv env, bool video, const std::string &board_file = "rk3566-hdmi-dsi")
        : SimThread(d, live_opts(std::move(env), board_file), true,
                    video ? "h264_stamped_480p60.h264" : nullptr) {}
    bool started() { return wait_log("vex-mpp: hdmi_state="); }
    bool shoot(Shots *s) { return screenshot_now(board, {"HDMI-A-1", "DSI-1"}, s); }
    std::vector<PlaneUpdate> updates(const char *o) const { return read_updates(board, o); }
    std::string control(const char *name) const { return board + "/run/vex-fpv/" + name; }
};

uint32_t rgb(const TestImage &s, int x, int y) {
    return s.at(x, y) & 0xffffff;
}

constexpr uint32_t accent = 0x36d399, grey = 0x8b94a6, panel = 0x0c0e13, backdrop = 0xb3050608;
// The menu on its Display tab with the focus on the tabs, titled "Video".
const std::vector<std::string> open_menu = {"menu",    "open",  "--tab",           "display",
                                            "--title", "Video", "Bitrate: 8 Mbps", "Reboot"};

// The menu with the focus on the tabs highlights "Display" with an accent box:
// the second cell (103,20, 74 x 52) of the tab strip in the monitor's
// 360-column sidebar, and at 54,584 (189 x 52) in the 640 x 742 panel at
// 40,269 on the panel. On the monitor the items are there too: their labels
// in the text colour, "8 Mbps" in the accent colour, all inside the column.
bool menu_on(const Shots &s) {
    return spot(s[0], accent, 103, 20, 74, 52).n > 74 * 52 * 7 / 10 &&
           spot(s[0], 0xeef0f4, 0, 100, 360, 300).n > 150 &&
           spot(s[0], accent, 180, 100, 180, 300).n > 50 &&
           spot(s[1], accent, 54, 584, 189, 52).n > 189 * 52 * 7 / 10;
}

// The message screen of one output: "Info" in grey over the text in the
// accent colour, both centred in `span` columns, baselines `cap` and `text`.
void expect_message(const TestImage &s, int span, int cap, int text, const char *what) {
    const Spot i = spot(s, grey), t = spot(s, accent);
    EXPECT_TRUE(i.n > 50 && t.n > 300 && std::abs(i.x0 + i.x1 - span) <= 4 &&
                std::abs(t.x0 + t.x1 - span) <= 4 && i.y0 > cap - 28 && i.y1 <= cap &&
                t.y0 > text - 64 && t.y1 > text)
        << what << ": caption " << i.n << " pixels at " << i.x0 << "," << i.y0 << " to " << i.x1
        << "," << i.y1 << ", text " << t.n << " at " << t.x0 << "," << t.y0 << " to " << t.x1 << ","
        << t.y1;
}

TEST(Menu, MessageBlanksTheVideoAndOutlivesItsFile) {
    TestDir dir;
    LiveRun run(dir, {}, true);
    auto video_on = [&] {
        auto h = run.updates("HDMI-A-1");
        return !h.empty() && h.back().fmt == "NV12";
    };
    ASSERT_TRUE(run.started() && wait_for(video_on, 5000)) << run.log();
    const PlaneUpdate standby = run.updates("DSI-1").front();

    // The open menu moves the monitor's video right of the 360-column sidebar
    // (the 640 x 480 picture fitted into 1560 x 1080: 1440 wide, at 360 + 60);
    // the message replaces the menu, and nothing of the menu's half screen
    // stays in the sidebar's standby buffer.
    ASSERT_TRUE(steer(run.board, open_menu));
    ASSERT_TRUE(wait_for(
        [&] {
            return video_on() &&
                   run.updates("HDMI-A-1").back().dst == std::array<int, 4>{420, 0, 1440, 1080};
        },
        3000));
    // The menu can be read beside the video, in the column.
    Shots s, later;
    ASSERT_TRUE(run.shoot(&s) && video_on());
    EXPECT_TRUE(menu_on(s));
    ASSERT_TRUE(steer(run.board, {"message", "Rebooting"}));
    ASSERT_TRUE(
        wait_for([&] { return run.shoot(&s) && spot(s[1], grey, 0, 0, 720, 400).n; }, 5000));
    // The next frame took the video away: off on the monitor (its standby
    // buffer, black since the video started, shows the message column), the
    // panel's first picture, its standby screen, back under the overlay.
    ASSERT_TRUE(wait_for([&] { return !video_on(); }, 2000));
    EXPECT_EQ(run.updates("HDMI-A-1").back().fb, 0u);
    unsigned shown = 0;
    for (const PlaneUpdate &u : run.updates("DSI-1"))
        if (u.plane == standby.plane) shown = u.fb;
    EXPECT_EQ(shown, standby.fb);
    ASSERT_TRUE(run.shoot(&s));
    expect_message(s[0], 360, 1080 / 5 - 40, 1080 / 5 + 20, "monitor sidebar");
    EXPECT_EQ(rgb(s[0], 5, 5), panel);
    EXPECT_EQ(spot(s[0], 0, 360, 0, 1560, 1080).n, 1560 * 1080);
    expect_message(s[1], 720, 1280 / 5 - 64, 1280 / 5 + 32, "panel overlay");
    EXPECT_EQ(rgb(s[1], 5, 5), over(backdrop, 0));

    // Removing the file leaves the message: still there passes later.
    unlink(run.control("menu").c_str());
    ASSERT_TRUE(run.shoot(&later) && run.shoot(&later) && run.shoot(&later));
    EXPECT_TRUE(later[0].px == s[0].px && later[1].px == s[1].px);
    EXPECT_FALSE(video_on());
    EXPECT_EQ(run.join().status, 0) << describe(run.r);
}

// vexctl's connection help with a QR code of a text short enough (14 bytes at
// most) for 21 x 21 modules; its finder squares in three corners make it look
// different mirrored.
std::vector<std::string> connect_args(const std::string &push) {
    return {"connect", "--ssid", "FieldNet", "--push", push, "--qr", "WIFI:FieldNet"};
}

// The QR matrix of the connect file on `board`, as vexctl wrote it: one string
// per row, '#' dark.
std::vector<std::string> qr_rows(const std::string &board) {
    const std::vector<std::string> lines = log_lines(read_file(board + "/run/vex-fpv/connect"));
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].rfind("qr=", 0) == 0) {
            const size_t n = (size_t)atoi(lines[i].c_str() + 3);
            if (i + 1 + n <= lines.size())
                return std::vector<std::string>(lines.begin() + (long)i + 1,
                                                lines.begin() + (long)(i + 1 + n));
        }
    return {};
}

// Whether every module of the 21-module `code` shows, read at its centre: on
// the monitor 8-pixel modules in a 232-pixel square at 1624,766; on the panel
// 5-pixel modules in a 145-pixel square at 532,1055 (bottom right, 4 modules
// of quiet zone). With `mirrored` the screens read from the right.
bool qr_shown(const Shots &s, const std::vector<std::string> &code, bool mirrored) {
    const int geo[2][3] = {{8, 1624, 766}, {5, 532, 1055}};
    for (int o = 0; o < 2; o++)
        for (int r = -4; r < 25; r++)
            for (int c = -4; c < 25; c++) {
                const int m = geo[o][0], y = geo[o][2] + (4 + r) * m + m / 2;
                int x = geo[o][1] + (4 + c) * m + m / 2;
                if (mirrored) x = s[o].w - 1 - x;
                const bool on =
                    r >= 0 && c >= 0 && r < 21 && c < 21 && code[(size_t)r][(size_t)c] == '#';
                if (rgb(s[o], x, y) != (on ? 0u : 0xffffffu)) return false;
            }
    return true;
}

TEST(Menu, OpensAtTheNextPassAndClosesWithItsFileOverAFourThreeJpegStandby) {
    // "/opt/vex-fpv/standby.png" is a 640 x 480 JPEG of one colour.
    TestDir dir;
    const std::string opt = dir.next_board() + "/opt/vex-fpv";
    ASSERT_EQ(system(("mkdir -p " + opt + " && ffmpeg -hide_banner -loglevel error -nostdin -y " +
                      "-f lavfi -i color=c=0x2080c0:s=640x480 -frames:v 1 -f mjpeg " + opt +
                      "/standby.png")
                         .c_str()),
              0);
    LiveRun run(dir, {}, false);
    Shots base, s1, s2;
    ASSERT_TRUE(run.started() && run.shoot(&base)) << run.log();
    ASSERT_FALSE(menu_on(base));
    auto near = [](uint32_t c) { // the picture's colour, give or take the JPEG's rounding
        int d = 0;
        for (int sh : {16, 8, 0}) d += std::abs((int)(c >> sh & 0xff) - (0x2080c0 >> sh & 0xff));
        return d <= 12;
    };
    // Monitor: bars of 240 columns at both sides; panel: 720 x 540 at 0,370.
    const TestImage &m = base[0], &p = base[1];
    EXPECT_EQ(spot(m, 0, 0, 0, 240, 1080).n + spot(m, 0, 1680, 0, 240, 1080).n, 2 * 240 * 1080);
    EXPECT_EQ(spot(p, 0, 0, 0, 720, 370).n + spot(p, 0, 0, 910, 720, 370).n, 2 * 720 * 370);
    for (int x : {240, 960, 1679}) EXPECT_TRUE(near(rgb(m, x, 540))) << std::hex << rgb(m, x, 540);
    for (int y : {370, 640, 909}) EXPECT_TRUE(near(rgb(p, 360, y))) << std::hex << rgb(p, 360, y);

    // Each screenshot is served at a later display call than the one before: the
    // second after the write comes after the next pass's composition.
    ASSERT_TRUE(steer(run.board, open_menu));
    ASSERT_TRUE(run.shoot(&s1) && run.shoot(&s2));
    EXPECT_TRUE(menu_on(s2));
    // Monitor: the sidebar column is the panel colour, the rest keeps the
    // standby picture. Panel: the backdrop over the standby picture.
    EXPECT_EQ(rgb(s2[0], 5, 5), panel);
    EXPECT_EQ(rgb(s2[0], 359, 1075), panel);
    EXPECT_EQ(spot(s2[0], panel, 360, 0, 1560, 1080).n, 0);
    EXPECT_EQ(rgb(s2[0], 1915, 5), rgb(base[0], 1915, 5));
    EXPECT_EQ(rgb(s2[1], 5, 5), over(backdrop, rgb(base[1], 5, 5)));
    EXPECT_EQ(rgb(s2[1], 700, 1270), over(backdrop, rgb(base[1], 700, 1270)));
    for (const PlaneUpdate &u : run.updates("HDMI-A-1")) EXPECT_NE(u.fmt, "AR24");

    // The file removed (the program's own rule, not a vexctl command): gone at
    // the next pass, the overlay plane off, the sidebar painted over.
    unlink(run.control("menu").c_str());
    ASSERT_TRUE(run.shoot(&s1) && run.shoot(&s2));
    EXPECT_TRUE(s2[0].px == base[0].px) << "the sidebar stayed on the monitor";
    EXPECT_TRUE(s2[1].px == base[1].px) << "the overlay stayed on the panel";
    EXPECT_EQ(run.updates("DSI-1").back().fb, 0u);
    EXPECT_EQ(run.join().status, 0) << describe(run.r);
}

// The connect file is there before the start: the first standby screens
// carry the code and the captions. On the 720-wide panel the push target does
// not fit one line: server and key go on lines of their own, all on the
// screen, drawn in the TrueType face. (A file written while the program runs:
// the panel-alone run below.)
TEST(Connect, QrCodeAndCaptionsOnEveryStandbyScreenFlippedWithTheOutput) {
    TestDir plain_dir, flip_dir;
    for (TestDir *d : {&plain_dir, &flip_dir})
        ASSERT_TRUE(
            steer(d->next_board(),
                  connect_args("rtmp://ingest.example.com:1935/live/0123456789abcdef0123456789")));
    LiveRun plain(plain_dir, {}, false), flipped(flip_dir, {{"VEX_KMS_FLIP", "h"}}, false);
    const std::vector<std::string> code = qr_rows(plain.board);
    ASSERT_EQ(code.size(), 21u);
    Shots a, b;
    ASSERT_TRUE(plain.started() && flipped.started()) << plain.log() << flipped.log();
    ASSERT_TRUE(wait_for([&] { return plain.shoot(&a) && qr_shown(a, code, false); }, 3000))
        << plain.log();
    ASSERT_TRUE(wait_for([&] { return flipped.shoot(&b) && qr_shown(b, code, true); }, 3000))
        << flipped.log();
    // The flipped screens, captions and standby picture included, are the
    // plain ones mirrored.
    constexpr uint32_t teal = 0x2dd4bf;
    for (int o = 0; o < 2; o++) {
        int differ = 0;
        for (int y = 0; y < a[o].h; y++)
            for (int x = 0; x < a[o].w; x++) differ += a[o].at(x, y) != b[o].at(a[o].w - 1 - x, y);
        EXPECT_EQ(differ, 0) << "output " << o;
        EXPECT_GT(spot(a[o], teal).n, 100) << "push caption, output " << o;
    }
    const Spot c = spot(a[1], teal, 0, 900, 720, 155); // above the code, below the picture
    EXPECT_TRUE(c.n > 300 && c.x0 >= 8 && c.x1 < 712 && c.y1 - c.y0 > 25)
        << c.n << " caption pixels from " << c.x0 << "," << c.y0 << " to " << c.x1 << "," << c.y1;
    // The bitmap font draws blocks of 2 x 2 or 3 x 3 pixels on a grid, so its
    // horizontal runs are multiples of 2 or 3.
    int odd = 0;
    for (int y = c.y0; y <= c.y1; y++)
        for (int x = c.x0, n = 0; x <= c.x1 + 1; x++) {
            if (x <= c.x1 && rgb(a[1], x, y) == teal) {
                n++;
                continue;
            }
            odd += n % 2 && n % 3;
            n = 0;
        }
    EXPECT_GT(odd, 50);

    // The menu opened: on the monitor it is a 360-column sidebar (no overlay
    // plane), and the caption moves from under it, centred in the columns
    // left (as seen: mirrored in the flipped buffer). Closed, the screens are
    // as before.
    ASSERT_TRUE(steer(plain.board, open_menu) && steer(flipped.board, open_menu));
    auto centred_on = [&](LiveRun &run, Shots *s, int twice_centre) {
        return wait_for(
            [&] {
                if (!run.shoot(s)) return false;
                const Spot t = spot((*s)[0], teal);
                return t.n > 100 && std::abs(t.x0 + t.x1 + 1 - twice_centre) <= 4;
            },
            3000);
    };
    Shots m, fm;
    EXPECT_TRUE(centred_on(plain, &m, 360 + 1920) && menu_on(m)) << plain.log();
    EXPECT_TRUE(centred_on(flipped, &fm, 1920 - 360)) << flipped.log();
    EXPECT_GE(spot(m[0], teal).x0, 360 + 8);
    EXPECT_LT(spot(fm[0], teal).x1, 1920 - 360 - 8);
    unlink(plain.control("menu").c_str());
    EXPECT_TRUE(wait_for([&] { return plain.shoot(&m) && m[0].px == a[0].px; }, 3000))
        << plain.log();
    EXPECT_EQ(plain.join().status, 0) << describe(plain.r);
    EXPECT_EQ(flipped.join().status, 0) << describe(flipped.r);
}

// The panel alone (the monitor unplugged) is driven from the HDMI port, whose
// primary plane takes no NV12: the video goes on the port's NV12 window and
// the standby screen stays on the primary below it, there again with its
// captions when the video is hidden, and with the sidebar menu.
TEST(Standby, StaysOnAPrimaryWithoutNv12AfterTheVideo) {
    TestDir dir;
    const std::string board = dir.next_board() + "/../panel-alone.board";
    std::string text = read_file(VEX_TEST_BOARDS "/../../sim/boards/rk3566-hdmi-dsi.board");
    text.replace(text.find("mm=530x300"), 10, "status=disconnected");
    ASSERT_TRUE(put_file(board, text));
    LiveRun run(dir, {{"VEX_KMS_HIDE_MS", "300"}}, false, board);
    ASSERT_TRUE(run.started()) << run.log();
    ASSERT_TRUE(
        steer(run.board, {"connect", "--ssid", "FieldNet", "--push", "rtmp://10.0.0.2/live/abc"}));
    Shots base, s;
    auto shoot = [&](Shots *x) { return screenshot_now(run.board, {"DSI-1"}, x); };
    ASSERT_TRUE(wait_for([&] { return shoot(&base) && spot(base[0], 0x2dd4bf).n > 100; }, 3000))
        << run.log();

    // The stream once, about 60 pictures a second, then nothing: hidden 300 ms on.
    const std::string stream = read_file(stream_path("h264_stamped_480p60.h264"));
    for (size_t at = 0; at < stream.size(); at += 8192, usleep(16000)) {
        const size_t n = std::min<size_t>(8192, stream.size() - at);
        ASSERT_EQ(write(run.input, stream.data() + at, n), (ssize_t)n);
    }
    const unsigned standby = run.updates("DSI-1").front().plane;
    unsigned video = 0;
    auto video_off = [&] {
        for (const PlaneUpdate &u : run.updates("DSI-1"))
            if (u.fmt == "NV12") video = u.plane;
        auto all = run.updates("DSI-1");
        return video && all.back().plane == video && all.back().fb == 0;
    };
    ASSERT_TRUE(wait_for(video_off, 8000)) << run.log();
    EXPECT_NE(video, standby);
    for (const PlaneUpdate &u : run.updates("DSI-1")) EXPECT_TRUE(u.plane != standby || u.fb);
    ASSERT_TRUE(shoot(&s));
    EXPECT_TRUE(s[0].px == base[0].px) << "the standby screen did not come back";

    ASSERT_TRUE(steer(run.board, open_menu));
    EXPECT_TRUE(wait_for([&] { return shoot(&s) && rgb(s[0], 5, 5) == panel; }, 3000));
    EXPECT_EQ(run.join().status, 0) << describe(run.r);
}

// Four monitors of the five-monitor board playing video with the menu open:
// the ports whose NV12 windows are a free linear primary and an AFBC-only
// overlay show the frames on the primary, and their menu overlay is stacked
// above the video (the card composes by zpos); the two sidebar outputs move the
// video right of the sidebar.
TEST(Menu, AboveTheVideoOnEveryOutputOfTheFiveMonitorBoard) {
    TestDir dir;
    LiveRun run(dir, {}, true, "five-monitors");
    const std::vector<std::string> names = {"HDMI-A-1", "HDMI-A-2", "DP-1", "DP-2"};
    auto last = [&](const std::string &o, const char *fmt) {
        PlaneUpdate found;
        for (const PlaneUpdate &u : read_updates(run.board, o))
            if (u.fmt == fmt && u.fb) found = u;
        return found;
    };
    // DP-1 and DP-2 show the picture scaled to the whole screen through their
    // panel rings: on DP-1 the 4:3 picture stretched to 16:9 no longer carries
    // a readable frame number, so any NV12 framebuffer counts as video.
    auto frames_everywhere = [&] {
        for (const std::string &o : names)
            if (!last(o, "NV12").fb) return false;
        return true;
    };
    ASSERT_TRUE(run.started() && wait_for(frames_everywhere, 8000)) << run.log();

    ASSERT_TRUE(steer(run.board, open_menu));
    auto menu_placed = [&] {
        return last("HDMI-A-1", "NV12").dst[0] >= 360 && last("HDMI-A-2", "NV12").dst[0] >= 360 &&
               last("DP-1", "AR24").fb && last("DP-2", "AR24").fb;
    };
    ASSERT_TRUE(wait_for(menu_placed, 5000)) << run.log();
    std::vector<TestImage> s;
    ASSERT_TRUE(screenshot_now(run.board, names, &s));
    for (int i = 0; i < 2; i++) EXPECT_EQ(rgb(s[(size_t)i], 5, 5), panel) << names[(size_t)i];
    for (int i = 2; i < 4; i++) {
        const std::string &o = names[(size_t)i];
        const PlaneUpdate video = last(o, "NV12"), menu = last(o, "AR24");
        EXPECT_GT(menu.zpos, video.zpos) << o;
        // The menu's highlighted tab, opaque, shows over the picture.
        const Spot tab =
            spot(s[(size_t)i], accent, video.dst[0], video.dst[1], video.dst[2], video.dst[3]);
        EXPECT_GT(tab.n, 5000) << o;
    }
    EXPECT_EQ(run.join().status, 0) << describe(run.r);
}

} // namespace
