#include "overlay/connect.h"
#include "overlay/canvas.h"
#include "overlay/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/unit/png_io.h"

namespace {

constexpr uint32_t bg = 0xff102030;
constexpr uint32_t teal = 0xff2dd4bf;

struct Canvas {
    int w, h;
    std::vector<uint32_t> px;
    Canvas(int cw, int ch) : w(cw), h(ch), px((size_t)cw * ch, bg) {}
    uint8_t *map() { return (uint8_t *)px.data(); }
    uint32_t pitch() const { return (uint32_t)w * 4; }
    uint32_t at(int x, int y) const { return px[(size_t)y * w + x]; }
};

// A version-2 (25-module) symbol's fixed structure (finder, timing and
// alignment patterns, dark module) with arbitrary bits in the data area.
std::vector<uint8_t> version2_matrix() {
    const int n = 25;
    std::vector<uint8_t> m(n * n, 0);
    unsigned seed = 12345;
    for (auto &v : m) v = ((seed = seed * 1103515245 + 12345) >> 16) & 1;
    auto set = [&](int r, int c, int v) { m[r * n + c] = (uint8_t)v; };
    for (int cr : {0, n - 7})
        for (int cc : {0, n - 7}) {
            if (cr && cc) continue;
            for (int r = -1; r <= 7; r++)
                for (int c = -1; c <= 7; c++) {
                    if (cr + r < 0 || cr + r >= n || cc + c < 0 || cc + c >= n) continue;
                    const int d = std::max(std::abs(r - 3), std::abs(c - 3));
                    set(cr + r, cc + c, d != 2 && d != 4);
                }
        }
    for (int i = 8; i < n - 8; i++) set(6, i, i % 2 == 0), set(i, 6, i % 2 == 0);
    for (int r = -2; r <= 2; r++)
        for (int c = -2; c <= 2; c++) set(18 + r, 18 + c, std::max(std::abs(r), std::abs(c)) != 1);
    set(n - 8, 8, 1);
    return m;
}

// Temporary connect file named by VEX_KMS_CONNECT; each write gets a new mtime.
struct ConnectFile {
    std::string dir, path;
    long stamp = 1000;
    ConnectFile() {
        const char *tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/connect_test.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back(0);
        dir = mkdtemp(buf.data());
        path = dir + "/connect";
        setenv("VEX_KMS_CONNECT", path.c_str(), 1);
    }
    ~ConnectFile() {
        unlink(path.c_str());
        rmdir(dir.c_str());
        unsetenv("VEX_KMS_CONNECT");
    }
    void write(const std::string &text) {
        FILE *f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(text.c_str(), f);
        fclose(f);
        const struct timespec t[2] = {{stamp, 0}, {stamp, 0}};
        stamp++;
        utimensat(AT_FDCWD, path.c_str(), t, 0);
    }
};

std::string matrix_text(const std::vector<uint8_t> &m, int n) {
    std::string s = "qr=" + std::to_string(n) + "\n";
    for (int r = 0; r < n; r++) {
        for (int c = 0; c < n; c++) s += m[r * n + c] ? '#' : '.';
        s += '\n';
    }
    return s;
}

// Reads the module grid back out of a drawn code by sampling module centres.
std::vector<uint8_t> sample_modules(const Canvas &c, const ConnectLayout &l, int n) {
    std::vector<uint8_t> m(n * n);
    for (int r = 0; r < n; r++)
        for (int k = 0; k < n; k++) {
            const uint32_t p = c.at(l.qx + (4 + k) * l.s + l.s / 2, l.qy + (4 + r) * l.s + l.s / 2);
            EXPECT_TRUE(p == 0xff000000 || p == 0xffffffff);
            m[r * n + k] = p == 0xff000000;
        }
    return m;
}

// A region of the canvas equals the same text drawn alone at the same place.
void expect_text_at(const Canvas &c, int x, int baseline, const char *text, uint32_t colour,
                    int size) {
    Canvas ref(c.w, c.h);
    ft_text(ref.map(), ref.pitch(), ref.w, ref.h, x, baseline, text, colour, size);
    int differ = 0;
    for (int y = std::max(0, baseline - size); y < std::min(c.h, baseline + size / 2); y++)
        for (int k = 0; k < c.w; k++) differ += c.at(k, y) != ref.at(k, y);
    EXPECT_EQ(differ, 0) << text;
}

} // namespace

TEST(Connect, Layout) {
    ConnectLayout l = connect_layout(1920, 1080, 25);
    EXPECT_EQ(l.s, 7);
    EXPECT_EQ(l.q, 231);
    EXPECT_EQ(l.qx, 1625);
    EXPECT_EQ(l.qy, 767);
    EXPECT_EQ(l.name_px, 20);
    EXPECT_EQ(l.push_px, 30);
    l = connect_layout(1280, 720, 21); // small screen: margins from the caption size
    EXPECT_EQ(l.s, 5);
    EXPECT_EQ(l.qx, 1280 - 145 - 43);
    EXPECT_EQ(l.qy, 720 - 145 - 37 - 22);
    EXPECT_EQ(l.name_px, 15);
    l = connect_layout(80, 60, 64); // modules never below 2 pixels, code pinned at 0,0
    EXPECT_EQ(l.s, 2);
    EXPECT_EQ(l.qx, 0);
    EXPECT_EQ(l.qy, 0);

    char cap[192];
    connect_push_caption("rtmp://10.0.0.1/live/abc123", cap, sizeof cap);
    EXPECT_STREQ(cap, "Server URL: rtmp://10.0.0.1/live/   Stream key: abc123");
    connect_push_caption("srt-host:9000", cap, sizeof cap);
    EXPECT_STREQ(cap, "Push stream to: srt-host:9000");
    connect_push_caption("rtmp://host/live/", cap, sizeof cap);
    EXPECT_STREQ(cap, "Push stream to: rtmp://host/live/");
}

TEST(Connect, PollReadsOnChangeOnly) {
    ConnectFile file;
    const std::vector<uint8_t> m = version2_matrix();
    file.write("ssid=FieldNet\r\npush=rtmp://10.0.0.1/live/abc123\n" + matrix_text(m, 25));
    ASSERT_EQ(poll_connect(), 1);
    EXPECT_EQ(g_qr_n, 25);
    EXPECT_EQ(std::vector<uint8_t>(g_qr, g_qr + 25 * 25), m);
    EXPECT_STREQ(g_conn_ssid, "FieldNet");
    EXPECT_STREQ(g_conn_push, "rtmp://10.0.0.1/live/abc123");
    EXPECT_EQ(poll_connect(), 0); // same mtime

    // Out-of-range sizes and short matrices give no code; fields not in the file are cleared.
    file.write("qr=65\n" + matrix_text(m, 25).substr(6));
    EXPECT_EQ(poll_connect(), 1);
    EXPECT_EQ(g_qr_n, 0);
    EXPECT_STREQ(g_conn_ssid, "");
    file.write("ssid=x\nqr=0\n#\n");
    EXPECT_EQ(poll_connect(), 1);
    EXPECT_EQ(g_qr_n, 0);
    file.write("qr=3\n###\n#.#\n");
    EXPECT_EQ(poll_connect(), 1);
    EXPECT_EQ(g_qr_n, 0);

    // Short rows read as light; other lines between rows are ignored; long values are cut.
    file.write("qr=3\n#\nnote\n.#\n###\nssid=" + std::string(80, 'n') + "\n");
    EXPECT_EQ(poll_connect(), 1);
    ASSERT_EQ(g_qr_n, 3);
    EXPECT_EQ(std::vector<uint8_t>(g_qr, g_qr + 9),
              (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 1, 1, 1}));
    EXPECT_EQ(strlen(g_conn_ssid), 63u);

    // A removed file keeps the last state.
    unlink(file.path.c_str());
    EXPECT_EQ(poll_connect(), 0);
    EXPECT_EQ(g_qr_n, 3);
}

TEST(Connect, DrawsCodeAndCaptionsBottomRight) {
    unsetenv("VEX_KMS_STANDBY_QR");
    ConnectFile file;
    const std::vector<uint8_t> m = version2_matrix();
    file.write("ssid=FieldNet\npush=rtmp://10.0.0.1/live/abc123\n" + matrix_text(m, 25));
    ASSERT_EQ(poll_connect(), 1);

    Canvas c(1920, 1080);
    draw_connect(c.map(), c.pitch(), c.w, c.h);
    const ConnectLayout l = connect_layout(1920, 1080, 25);
    // Quiet zone: exactly the 231-pixel square at 1625,767.
    EXPECT_EQ(c.at(1625, 767), 0xffffffffu);
    EXPECT_EQ(c.at(1625 + 230, 767 + 230), 0xffffffffu);
    EXPECT_EQ(c.at(1624, 767), bg);
    EXPECT_EQ(c.at(1625, 766), bg);
    EXPECT_EQ(c.at(1625 + 231, 800), bg);
    EXPECT_EQ(c.at(1700, 767 + 231), bg);
    for (int k = 0; k < 4 * 7; k++) EXPECT_EQ(c.at(1625 + k, 767 + k), 0xffffffffu);
    // Module (0, 0) covers 7 x 7 pixels from 1653,795.
    EXPECT_EQ(c.at(1653, 795), 0xff000000u);
    EXPECT_EQ(c.at(1659, 801), 0xff000000u);
    EXPECT_EQ(c.at(1652, 795), 0xffffffffu);

    // Read the code back by sampling module centres: the same grid.
    EXPECT_EQ(sample_modules(c, l, 25), m);

    // Network name centred under the code, push caption centred on the screen above it.
    const int name_x = 1625 + 231 / 2 - ft_text_w("FieldNet", 20) / 2;
    expect_text_at(c, name_x, 767 + 231 + 40, "FieldNet", 0xffffffff, 20);
    const char *cap = "Server URL: rtmp://10.0.0.1/live/   Stream key: abc123";
    expect_text_at(c, (1920 - ft_text_w(cap, 30)) / 2, 767 - 30, cap, teal, 30);

    // The other caption form; an empty name draws nothing under the code.
    file.write("push=srt-host:9000\n" + matrix_text(m, 25));
    ASSERT_EQ(poll_connect(), 1);
    Canvas d(1920, 1080);
    draw_connect(d.map(), d.pitch(), d.w, d.h);
    const char *cap2 = "Push stream to: srt-host:9000";
    expect_text_at(d, (1920 - ft_text_w(cap2, 30)) / 2, 767 - 30, cap2, teal, 30);
    for (int y = 767 + 231; y < 1080; y++)
        for (int x = 0; x < 1920; x++) ASSERT_EQ(d.at(x, y), bg);

    // No valid code: no captions either.
    file.write("ssid=FieldNet\npush=x/y\nqr=65\n");
    ASSERT_EQ(poll_connect(), 1);
    Canvas e(1920, 1080);
    draw_connect(e.map(), e.pitch(), e.w, e.h);
    EXPECT_EQ(e.px, std::vector<uint32_t>(e.px.size(), bg));
}

TEST(Connect, SmallScreenPicture) {
    unsetenv("VEX_KMS_STANDBY_QR");
    ConnectFile file;
    std::vector<uint8_t> m = version2_matrix();
    file.write("ssid=FieldNet\npush=rtmp://10.0.0.1/live/abc123\n" + matrix_text(m, 25));
    ASSERT_EQ(poll_connect(), 1);
    Canvas c(640, 360);
    draw_connect(c.map(), c.pitch(), c.w, c.h);
    std::string why;
    EXPECT_TRUE(match_ref(image_from_canvas(c.map(), c.pitch(), 0, 180, 640, 180),
                          "connect_640x360.png", &why))
        << why;
}

TEST(Connect, HiddenByEnvironment) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("VEX_KMS_STANDBY_QR", "0", 1);
            ConnectFile file;
            file.write("ssid=FieldNet\n" + matrix_text(version2_matrix(), 25));
            poll_connect();
            Canvas c(640, 360);
            for (int i = 0; i < 3; i++) draw_connect(c.map(), c.pitch(), c.w, c.h);
            const bool bare = c.px == std::vector<uint32_t>(c.px.size(), bg);
            exit(bare && g_show_connect == 0 ? 7 : 1);
        },
        testing::ExitedWithCode(7),
        "^vex-kms: standby QR/captions hidden \\(VEX_KMS_STANDBY_QR=0\\)\n$");
}
