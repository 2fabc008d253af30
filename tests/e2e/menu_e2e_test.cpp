// End-to-end runs of the menu, the message screen, the connect screen and the
// standby picture on the simulated HDMI + DSI board, looked at through
// screenshots while the program runs. There the DSI panel (output 1) has an
// ARGB overlay plane for the menu; the HDMI monitor (output 0) has none and
// gets the menu as a sidebar drawn into its standby buffer.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Shots = std::vector<TestImage>; // HDMI-A-1, DSI-1

// The program on the board while the test looks at it. Its standard input is
// a FIFO the test holds open: silent (the screens keep the standby picture) or
// fed with a looped stream at about 60 pictures a second. finish() closes it,
// so that the program reaches the end of its input and ends. Without
// monitor-swap detection an idle loop pass makes one display call, its vblank
// wait.
struct LiveRun {
    TestDir &dir;
    std::string board, fifo; // the board's run directory holds the program's "/"
    SimRunResult r;
    std::atomic<bool> stop{false};
    std::thread prog, feeder;

    LiveRun(TestDir &d, std::vector<std::pair<std::string, std::string>> env, bool video) : dir(d) {
        signal(SIGPIPE, SIG_IGN); // a program that ended early fails the test, not the binary
        board = d.path + "/run" + std::to_string(d.runs + 1) + "/board";
        fifo = d.path + "/stdin";
        EXPECT_EQ(system(("mkdir -p " + board + "/run/vex-fpv").c_str()), 0);
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        env.insert(env.end(), {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"},
                               {"VEX_KMS_HOTPLUG", "0"},
                               {"VEX_SIM_UPDATE_LOG", board + "/updates.log"}});
        SimRunOpts o;
        o.input = fifo;
        o.env = env;
        o.timeout_s = 20;
        prog = std::thread([this, o] { r = sim_run(dir, o); });
        feeder = std::thread([this, video] {
            const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC); // meets sim_run's open
            const std::string s = video ? read_file(stream_path("h264_stamped_480p60.h264")) : "";
            for (size_t at = 0; !stop && fd >= 0;) {
                usleep(16000);
                if (s.empty()) continue;
                const size_t n = std::min<size_t>(8192, s.size() - at);
                if (write(fd, s.data() + at, n) < 0) break;
                at = (at + n) % s.size();
            }
            if (fd >= 0) close(fd);
        });
    }
    ~LiveRun() { finish(); }
    std::string log() const { return read_file(board + "/../stderr"); }
    // Lines of the card's update log for one output.
    std::vector<std::string> updates(const std::string &output) const {
        std::vector<std::string> v;
        for (const std::string &l : log_lines(read_file(board + "/updates.log")))
            if (l.find(" " + output + " ") != std::string::npos) v.push_back(l);
        return v;
    }
    bool started() {
        return wait_for([&] { return log().find("vex-mpp: hdmi_state=") != std::string::npos; },
                        10000);
    }
    bool shoot(Shots *s) { return screenshot_now(board, {"HDMI-A-1", "DSI-1"}, s); }
    std::string control(const char *name) const { return board + "/run/vex-fpv/" + name; }
    const SimRunResult &finish() {
        stop = true;
        if (feeder.joinable()) feeder.join();
        if (prog.joinable()) prog.join();
        return r;
    }
};

// The value of `key` ("plane=", "fb=") in an update-log line.
std::string field(const std::string &l, const std::string &key) {
    const size_t a = l.find(" " + key);
    return a == l.npos ? "" : l.substr(a + 1 + key.size(), l.find(' ', a + 1) - a - 1 - key.size());
}

uint32_t rgb(const TestImage &s, int x, int y) {
    return s.at(x, y) & 0xffffff;
}

// An ARGB colour over an opaque one, blended as the card composes planes.
uint32_t over(uint32_t argb, uint32_t below) {
    const uint32_t a = argb >> 24;
    uint32_t out = 0;
    for (int sh : {16, 8, 0})
        out |= ((argb >> sh & 0xff) * a + (below >> sh & 0xff) * (255 - a) + 127) / 255 << sh;
    return out;
}

// Pixels of exactly one colour inside a box, and their bounds.
struct Spot {
    int n = 0, x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
};
Spot spot(const TestImage &s, uint32_t colour, int x, int y, int w, int h) {
    Spot p;
    for (int j = y; j < y + h && j < s.h; j++)
        for (int i = x; i < x + w && i < s.w; i++) {
            if (rgb(s, i, j) != colour) continue;
            p.n++, p.x0 = std::min(p.x0, i), p.x1 = std::max(p.x1, i);
            p.y0 = std::min(p.y0, j), p.y1 = std::max(p.y1, j);
        }
    return p;
}

constexpr uint32_t accent = 0x36d399, grey = 0x8b94a6, panel = 0x0c0e13, backdrop = 0xb3050608;
const std::string menu_file = "open\n1\n0\n0\nVideo\nBitrate: 8 Mbps\nReboot\n";

// The menu with the focus on the tabs highlights "Display" with an accent box:
// at 379,484 (376 x 52) in the 1190 x 626 panel at 365,227 on the monitor, at
// 54,584 (189 x 52) in the 640 x 742 panel at 40,269 on the panel.
bool menu_on(const Shots &s) {
    return spot(s[0], accent, 379, 484, 376, 52).n > 376 * 52 * 7 / 10 &&
           spot(s[1], accent, 54, 584, 189, 52).n > 189 * 52 * 7 / 10;
}

TEST(Menu, OpensOnEveryOutputAtTheNextPassAndClosesWithItsFile) {
    TestDir dir;
    LiveRun run(dir, {}, false);
    Shots base, s1, s2;
    ASSERT_TRUE(run.started() && run.shoot(&base)) << run.log();
    ASSERT_FALSE(menu_on(base));

    // Each screenshot is served at a later display call than the one before:
    // the second one after the write comes no earlier than the next pass's
    // composition, which draws the sidebar of output 0 and then flips output
    // 1's overlay plane.
    put_file(run.control("menu"), menu_file);
    ASSERT_TRUE(run.shoot(&s1) && run.shoot(&s2));
    EXPECT_TRUE(menu_on(s2));
    // Monitor: the left half is the sidebar's panel colour, the right edge
    // keeps the standby picture. Panel: the backdrop over the standby picture.
    EXPECT_EQ(rgb(s2[0], 5, 5), panel);
    EXPECT_EQ(rgb(s2[0], 959, 1075), panel);
    EXPECT_EQ(rgb(s2[0], 1915, 5), rgb(base[0], 1915, 5));
    EXPECT_EQ(rgb(s2[1], 5, 5), over(backdrop, rgb(base[1], 5, 5)));
    EXPECT_EQ(rgb(s2[1], 700, 1270), over(backdrop, rgb(base[1], 700, 1270)));
    for (const std::string &l : run.updates("HDMI-A-1")) EXPECT_EQ(l.find("fmt=AR24"), l.npos) << l;

    // Gone at the next pass: the overlay plane off, the sidebar painted over
    // with the standby screen.
    unlink(run.control("menu").c_str());
    ASSERT_TRUE(run.shoot(&s1) && run.shoot(&s2));
    EXPECT_TRUE(s2[0].px == base[0].px) << "the sidebar stayed on the monitor";
    EXPECT_TRUE(s2[1].px == base[1].px) << "the overlay stayed on the panel";
    EXPECT_NE(run.updates("DSI-1").back().find(" fb=0 off"), std::string::npos);
    EXPECT_EQ(run.finish().status, 0) << describe(run.r);
}

// The message screen of one output: "Info" in grey over the text in the
// accent colour, both centred in `span` columns, baselines `cap` and `text`.
void expect_message(const TestImage &s, int span, int cap, int text, const char *what) {
    const Spot i = spot(s, grey, 0, 0, s.w, s.h), t = spot(s, accent, 0, 0, s.w, s.h);
    EXPECT_GT(i.n, 50) << what;
    EXPECT_GT(t.n, 300) << what;
    EXPECT_NEAR(i.x0 + i.x1, span, 4) << what;
    EXPECT_NEAR(t.x0 + t.x1, span, 4) << what;
    EXPECT_EQ((std::vector<bool>{i.y0 > cap - 28, i.y1 <= cap, t.y0 > text - 64, t.y1 > text}),
              (std::vector<bool>{true, true, true, true}))
        << what << ": caption rows " << i.y0 << "-" << i.y1 << ", text rows " << t.y0 << "-"
        << t.y1;
}

TEST(Menu, MessageBlanksTheVideoAndOutlivesItsFile) {
    TestDir dir;
    LiveRun run(dir, {}, true);
    auto video_on = [&] {
        auto h = run.updates("HDMI-A-1");
        return !h.empty() && h.back().find("fmt=NV12") != std::string::npos;
    };
    ASSERT_TRUE(run.started() && wait_for(video_on, 5000)) << run.log();
    // The panel's primary plane showed its standby screen first.
    const std::string primary = field(run.updates("DSI-1").front(), "plane="),
                      standby = field(run.updates("DSI-1").front(), "fb=");

    // The open menu moves the monitor's video right of the 360-column sidebar
    // (the 640 x 480 picture fitted into 1560 x 1080: 1440 wide, at 360 + 60);
    // the message replaces the menu, and nothing of the menu's half screen
    // stays in the sidebar's standby buffer.
    put_file(run.control("menu"), menu_file);
    ASSERT_TRUE(wait_for(
        [&] {
            return video_on() && run.updates("HDMI-A-1").back().find(" dst=420,0,1440x1080 ") !=
                                     std::string::npos;
        },
        3000));
    put_file(run.control("menu"), "message\nRebooting\n");
    Shots s, later;
    ASSERT_TRUE(
        wait_for([&] { return run.shoot(&s) && spot(s[1], grey, 0, 0, 720, 400).n; }, 5000));
    // The next frame took the video away: off on the monitor (its standby
    // buffer, black since the video started, shows the message column), the
    // panel's own standby screen on the panel under the overlay.
    ASSERT_TRUE(wait_for([&] { return !video_on(); }, 2000));
    EXPECT_NE(run.updates("HDMI-A-1").back().find(" fb=0 off"), std::string::npos);
    std::string shown;
    for (const std::string &l : run.updates("DSI-1"))
        if (field(l, "plane=") == primary) shown = field(l, "fb=");
    EXPECT_EQ(shown, standby);
    ASSERT_TRUE(run.shoot(&s));
    expect_message(s[0], 360, 1080 / 5 - 40, 1080 / 5 + 20, "monitor sidebar");
    EXPECT_EQ(rgb(s[0], 5, 5), panel);
    EXPECT_EQ(spot(s[0], 0, 360, 0, 1560, 1080).n, 1560 * 1080);
    expect_message(s[1], 720, 1280 / 5 - 64, 1280 / 5 + 32, "panel overlay");
    EXPECT_EQ(rgb(s[1], 5, 5), over(backdrop, 0));
    EXPECT_EQ(rgb(s[1], 715, 1275), over(backdrop, 0));

    // Removing the file leaves the message: still there two passes later (a
    // pass with the message shown makes one display call, its vblank wait).
    unlink(run.control("menu").c_str());
    ASSERT_TRUE(run.shoot(&later) && run.shoot(&later) && run.shoot(&later));
    EXPECT_TRUE(later[0].px == s[0].px && later[1].px == s[1].px);
    EXPECT_FALSE(video_on());
    EXPECT_EQ(run.finish().status, 0) << describe(run.r);
}

// A 21-module code, not symmetric: a solid 7 x 7 corner square and a pattern.
bool dark(int r, int c) {
    return (r < 7 && c < 7) || (r * 7 + c * 3) % 5 == 0;
}
std::string connect_file() {
    std::string f = "qr=21\n";
    for (int r = 0; r < 21; r++) {
        for (int c = 0; c < 21; c++) f += dark(r, c) ? '#' : '.';
        f += '\n';
    }
    return f + "ssid=FieldNet\npush=rtmp://10.0.0.2/live/abc123\n";
}

// Whether every module of the code shows, read at its centre: on the monitor
// 8-pixel modules in a 232-pixel square at 1624,766; on the panel 5-pixel
// modules in a 145-pixel square at 532,1055 (bottom right, 4 modules of quiet
// zone). With `mirrored` the screens read from the right.
bool qr_shown(const Shots &s, bool mirrored) {
    const int geo[2][3] = {{8, 1624, 766}, {5, 532, 1055}};
    for (int o = 0; o < 2; o++) {
        const int m = geo[o][0];
        for (int r = -4; r < 25; r++)
            for (int c = -4; c < 25; c++) {
                int x = geo[o][1] + (4 + c) * m + m / 2, y = geo[o][2] + (4 + r) * m + m / 2;
                if (mirrored) x = s[o].w - 1 - x;
                const bool on = r >= 0 && c >= 0 && r < 21 && c < 21 && dark(r, c);
                if (rgb(s[o], x, y) != (on ? 0u : 0xffffffu)) return false;
            }
    }
    return true;
}

TEST(Connect, QrCodeOnEveryStandbyScreenFlippedWithTheOutput) {
    TestDir plain_dir, flip_dir;
    LiveRun plain(plain_dir, {}, false), flipped(flip_dir, {{"VEX_KMS_FLIP", "h"}}, false);
    Shots a, b;
    for (LiveRun *run : {&plain, &flipped}) {
        ASSERT_TRUE(run->started()) << run->log();
        put_file(run->control("connect"), connect_file());
    }
    ASSERT_TRUE(wait_for([&] { return plain.shoot(&a) && qr_shown(a, false); }, 3000))
        << plain.log();
    ASSERT_TRUE(wait_for([&] { return flipped.shoot(&b) && qr_shown(b, true); }, 3000))
        << flipped.log();
    ASSERT_FALSE(qr_shown(b, false)); // the code is not symmetric
    // The flipped screens, captions and standby picture included, are the
    // plain ones mirrored.
    for (int o = 0; o < 2; o++) {
        int differ = 0;
        for (int y = 0; y < a[o].h; y++)
            for (int x = 0; x < a[o].w; x++) differ += a[o].at(x, y) != b[o].at(a[o].w - 1 - x, y);
        EXPECT_EQ(differ, 0) << "output " << o;
        EXPECT_GT(spot(a[o], 0x2dd4bf, 0, 0, a[o].w, a[o].h).n, 100)
            << "push caption, output " << o;
    }
    EXPECT_EQ(plain.finish().status, 0) << describe(plain.r);
    EXPECT_EQ(flipped.finish().status, 0) << describe(flipped.r);
}

TEST(Standby, FourThreeJpegNamedPngIsLetterboxed) {
    TestDir dir;
    // The program's "/opt/vex-fpv/standby.png", made before the start: a
    // 640 x 480 JPEG of one colour.
    const std::string opt = dir.path + "/run" + std::to_string(dir.runs + 1) + "/board/opt/vex-fpv";
    ASSERT_EQ(system(("mkdir -p " + opt +
                      " && ffmpeg -hide_banner -loglevel error -nostdin -y -f "
                      "lavfi -i color=c=0x2080c0:s=640x480 -frames:v 1 -f mjpeg " +
                      opt + "/standby.png")
                         .c_str()),
              0);
    SimRunOpts o;
    o.env = {{"VEX_SIM_BOARD", "rk3566-hdmi-dsi"}, {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"}};
    const SimRunResult r = sim_run(dir, o);
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(has_line(r.log, "standby /opt/vex-fpv/standby.png: 640x480 fmt ")) << r.log;
    EXPECT_TRUE(has_line(r.log, " → 1440x1080 at 240,0 (fit fit)")) << r.log;
    TestImage m, p;
    ASSERT_TRUE(png_read(r.dir + "/board/screen-HDMI-A-1.png", &m));
    ASSERT_TRUE(png_read(r.dir + "/board/screen-DSI-1.png", &p));
    auto near = [](uint32_t c) { // the picture's colour, give or take the JPEG's rounding
        int d = 0;
        for (int sh : {16, 8, 0}) d += std::abs((int)(c >> sh & 0xff) - (0x2080c0 >> sh & 0xff));
        return d <= 12;
    };
    // Monitor: bars of 240 columns at both sides; panel: 720 x 540 at 0,370.
    EXPECT_EQ(spot(m, 0, 0, 0, 240, 1080).n + spot(m, 0, 1680, 0, 240, 1080).n, 2 * 240 * 1080);
    EXPECT_EQ(spot(p, 0, 0, 0, 720, 370).n + spot(p, 0, 0, 910, 720, 370).n, 2 * 720 * 370);
    for (int x : {240, 960, 1679}) EXPECT_TRUE(near(rgb(m, x, 540))) << std::hex << rgb(m, x, 540);
    for (int y : {370, 640, 909}) EXPECT_TRUE(near(rgb(p, 360, y))) << std::hex << rgb(p, 360, y);
}

} // namespace
