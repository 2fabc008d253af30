#include "overlay/connect.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "overlay/text.h"
#include "tests/unit/png_io.h"

namespace {

constexpr uint32_t bg = 0xff102030;

struct Canvas {
    int w, h;
    std::vector<uint32_t> px;
    Canvas(int cw, int ch) : w(cw), h(ch), px((size_t)cw * ch, bg) {}
    void draw() { draw_connect((uint8_t *)px.data(), (uint32_t)w * 4, w, h); }
};

// A version-2 (25-module) symbol's fixed structure (finder, timing and
// alignment patterns, dark module) over arbitrary bits, as the file gives it.
const std::vector<uint8_t> qr = [] {
    const int n = 25;
    std::vector<uint8_t> m(n * n);
    unsigned seed = 12345;
    for (auto &v : m) v = ((seed = seed * 1103515245 + 12345) >> 16) & 1;
    auto ring = [](int r, int c) { return std::max(std::abs(r), std::abs(c)); };
    for (int i = 0; i < n * n; i++) { // finders in three corners, with their light border
        const int r = i / n, c = i % n;
        const int d = ring(r < 8 ? r - 3 : r - (n - 4), c < 8 ? c - 3 : c - (n - 4));
        if (d <= 4 && (r < 8 || c < 8)) m[i] = d != 2 && d != 4;
    }
    for (int i = 8; i < n - 8; i++) m[6 * n + i] = m[i * n + 6] = i % 2 == 0;
    for (int i = 0; i < 25; i++) m[(16 + i / 5) * n + 16 + i % 5] = ring(i / 5 - 2, i % 5 - 2) != 1;
    m[(n - 8) * n + 8] = 1;
    return m;
}();

std::string qr_text() {
    std::string s = "qr=25\n";
    for (int i = 0; i < 625; i++) s += std::string(qr[i] ? "#" : ".") + (i % 25 < 24 ? "" : "\n");
    return s;
}

} // namespace

TEST(Connect, LayoutCaptionPollAndDraw) {
    auto v = [](auto l) { return std::vector<int>{l.s, l.q, l.qx, l.qy, l.name_px, l.push_px}; };
    EXPECT_EQ(v(connect_layout(1920, 1080, 25)), (std::vector<int>{7, 231, 1625, 767, 20, 30}));
    EXPECT_EQ(v(connect_layout(80, 60, 64)), (std::vector<int>{2, 144, 0, 0, 15, 22})); // tiny
    char cap[192];
    connect_push_caption("rtmp://10.0.0.1/live/abc123", cap, sizeof cap);
    EXPECT_STREQ(cap, "Server URL: rtmp://10.0.0.1/live/   Stream key: abc123");
    connect_push_caption("rtmp://host/live/", cap, sizeof cap);
    EXPECT_STREQ(cap, "Push stream to: rtmp://host/live/");

    // The connect file, each write with a new mtime.
    const char *tmp = getenv("TMPDIR");
    const std::string path =
        std::string(tmp ? tmp : "/tmp") + "/connect_test." + std::to_string(getpid());
    setenv("VEX_KMS_CONNECT", path.c_str(), 1);
    long stamp = 1000;
    auto write = [&](const std::string &text) {
        put_text(path, text, stamp++);
        return poll_connect();
    };
    ASSERT_EQ(write("ssid=FieldNet\r\npush=rtmp://10.0.0.1/live/abc123\n" + qr_text()), 1);
    EXPECT_EQ(std::vector<uint8_t>(g_qr, g_qr + g_qr_n * g_qr_n), qr);
    EXPECT_EQ(poll_connect(), 0); // same mtime

    unsetenv("VEX_KMS_STANDBY_QR");
    g_show_connect = -1;
    Canvas c(640, 360);
    c.draw();
    std::string why;
    EXPECT_TRUE(match_ref(image_from_canvas((uint8_t *)c.px.data(), 640 * 4, 0, 180, 640, 180),
                          "connect_640x360.png", &why))
        << why;

    // Out-of-range sizes and short matrices give no code, and nothing is drawn,
    // captions neither.
    for (const std::string &bad : {"qr=65\n" + qr_text().substr(6), std::string("qr=0\n#\n"),
                                   std::string("ssid=x\npush=x/y\nqr=3\n###\n#.#\n")})
        EXPECT_TRUE(write(bad) == 1 && g_qr_n == 0) << bad;
    Canvas e(640, 360);
    e.draw();
    EXPECT_EQ(e.px, std::vector<uint32_t>(e.px.size(), bg));

    // Short rows read as light; other lines between rows are ignored; long values are
    // cut; fields not in the file are cleared.
    EXPECT_EQ(write("qr=3\n#\nnote\n.#\n###\nssid=" + std::string(80, 'n') + "\n"), 1);
    ASSERT_EQ(g_qr_n, 3);
    EXPECT_EQ(std::vector<uint8_t>(g_qr, g_qr + 9),
              (std::vector<uint8_t>{1, 0, 0, 0, 1, 0, 1, 1, 1}));
    EXPECT_EQ(strlen(g_conn_ssid), 63u);
    EXPECT_STREQ(g_conn_push, "");
    // A removed file keeps the last state.
    unlink(path.c_str());
    EXPECT_EQ(poll_connect(), 0);
    EXPECT_EQ(g_qr_n, 3);
    unsetenv("VEX_KMS_CONNECT");

    // Switched off by the environment: said once, never drawn.
    setenv("VEX_KMS_STANDBY_QR", "0", 1);
    g_show_connect = -1;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; i++) e.draw();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "vex-kms: standby QR/captions hidden (VEX_KMS_STANDBY_QR=0)\n");
    EXPECT_EQ(e.px, std::vector<uint32_t>(e.px.size(), bg));
}

TEST(Connect, CaptionFitsAPortraitPanel) {
    ASSERT_EQ(g_face, nullptr); // the bitmap font: 16 pixels a character below size 24
    const std::string server = "rtmp://ingest.example.com:1935/live/",
                      key = "0123456789abcdef0123456789abcdef0123456789";
    auto joined = [](const TextLines &t) { // without blanks
        std::string s;
        for (int k = 0; k < t.n; k++)
            for (const char *p = t.line[k]; *p; p++)
                if (*p != ' ') s += *p;
        return s;
    };
    TextLines t;
    connect_caption_lines((server + key).c_str(), 3840, 30, &t); // room: the usual line
    EXPECT_TRUE(t.n == 1 && t.line[0] == "Server URL: " + server + "   Stream key: " + key);
    // 720 wide: server and key on lines of their own, broken where too long,
    // nothing left out.
    connect_caption_lines((server + key).c_str(), 720, 22, &t);
    EXPECT_EQ(joined(t), "ServerURL:" + server + "Streamkey:" + key);
    for (int k = 0; k < t.n; k++)
        EXPECT_LE(ft_text_w(t.line[k], t.size), 720 - 2 * connect_margin(720)) << t.line[k];

    // Drawn on the panel, code and captions stay on the screen.
    std::string file = "qr=21\n";
    for (int r = 0; r < 21; r++) file += std::string(21, '#') + "\n";
    file += "ssid=" + std::string(60, 'N') + "\npush=" + server + key + "\n";
    connect_parse(file.data(), file.size());
    ASSERT_EQ(g_qr_n, 21);
    g_show_connect = 1;
    Canvas c(720, 1280);
    c.draw();
    int x0 = 720, x1 = -1, teal = 0, white_name = 0;
    for (int y = 0; y < 1280; y++)
        for (int x = 0; x < 720; x++) {
            const uint32_t p = c.px[(size_t)y * 720 + x];
            if (p == 0xff2dd4bf) x0 = std::min(x0, x), x1 = std::max(x1, x), teal++;
            if (p == 0xffffffff && y > 1200) white_name++;
        }
    EXPECT_TRUE(teal > 500 && x0 >= connect_margin(720) && x1 < 720 - connect_margin(720))
        << teal << " caption pixels from column " << x0 << " to " << x1;
    EXPECT_GT(white_name, 100);
}
