#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "display/standby.h"
#include "display/output.h"
#include "overlay/canvas.h"
#include "overlay/detect.h"
#include "overlay/menu.h"
#include "overlay/osd.h"
#include "overlay/overlay.h"
#include "overlay/text.h"
#include "stream/detect_queue.h"
#include "tests/unit/png_io.h"

namespace {

constexpr uint32_t accent = 0xff36d399, backdrop = 0xb3050608, panel = 0xf20c0e13;
constexpr uint32_t picture = 0xff304050;

MenuState parse(const std::string &text) {
    MenuState m;
    menu_parse(text.data(), text.size(), &m);
    return m;
}

// A W x H buffer of 32-bit pixels with `pad` spare bytes after each row.
struct Buffer {
    int32_t w, h;
    uint32_t pitch;
    std::vector<uint8_t> bytes;
    Buffer(int32_t bw, int32_t bh, uint32_t pad = 0)
        : w(bw), h(bh), pitch((uint32_t)bw * 4 + pad), bytes((size_t)pitch * bh, 0) {}
    uint32_t &at(int32_t x, int32_t y) { return *(uint32_t *)&bytes[y * pitch + x * 4]; }
    void fill(uint32_t c) {
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++) at(x, y) = c;
    }
};

// Output 0 of a W x H mode with an overlay plane, or with the sidebar in its
// standby buffer (a).
struct TestOutput {
    Buffer a, b;
    TestOutput(int32_t w, int32_t h, bool sidebar) : a(w, h), b(w, h) {
        nout = 1;
        Output &o = outs[0];
        o = Output{};
        o.mode.hdisplay = (uint16_t)w;
        o.mode.vdisplay = (uint16_t)h;
        o.menu_front = -1;
        if (sidebar) {
            o.menu_sidebar = 1;
            o.standby_map = a.bytes.data();
            o.standby_pitch = a.pitch;
        } else {
            o.menu_plane_id = 40;
            o.menu_map[0] = a.bytes.data();
            o.menu_map[1] = b.bytes.data();
            o.menu_pitch = a.pitch;
        }
    }
    ~TestOutput() {
        outs[0] = Output{};
        nout = 0;
        g_menu = MenuState{};
    }
};

const char sample[] = "\n2\nDisplay\nResolution: 1920x1080\nRefresh: 60 Hz\nAspect: 16:9\n"
                      "Fit: fit\nFlip: none\nReboot\n";
MenuState sample_menu(int focus) {
    return parse("open\n1\n" + std::to_string(focus) + sample);
}

void expect_ref(Buffer &b, int x, int y, int w, int h, const char *name) {
    std::string why;
    EXPECT_TRUE(match_ref(image_from_canvas(b.bytes.data(), b.pitch, x, y, w, h), name, &why))
        << name << ": " << why;
}

TEST(Menu, PanelGeometry) {
    // {W, H, x, y, w, h}
    const int32_t cases[][6] = {{1920, 1080, 365, 227, 1190, 626},
                                {800, 480, 80, 50, 640, 380},
                                {640, 400, 20, 20, 600, 360}};
    for (const auto &c : cases) {
        MenuLayout l = menu_layout(c[0], c[1], 0);
        EXPECT_EQ((std::vector<int32_t>{l.px, l.py, l.pw, l.ph}),
                  (std::vector<int32_t>{c[2], c[3], c[4], c[5]}))
            << c[0] << "x" << c[1];
    }
    EXPECT_EQ(menu_layout(1920, 1080, 6).rh, 48);
    // Twelve items on 720 lines: the rows shrink so the last ends inside the panel.
    MenuLayout l = menu_layout(1280, 720, 12);
    EXPECT_EQ(l.rh, 26);
    EXPECT_LE(l.row0 + 12 * l.rh, l.py + l.ph);
    EXPECT_EQ(menu_layout(1280, 720, 6).rh, 40);
}

TEST(Menu, FileParsingAndItems) {
    std::string twenty = "open\n0\n1\n0\nTitle\n";
    for (int i = 0; i < 20; i++) twenty += "item " + std::to_string(i) + "\n";
    MenuState m = parse(twenty);
    EXPECT_EQ(m.open + m.focus + m.count, 1 + 1 + 12);
    EXPECT_STREQ(m.items[11], "item 11");

    m = parse("message\nRebooting\r\nignored\n");
    EXPECT_EQ(m.message + m.open, 1);
    EXPECT_STREQ(m.message_text, "Rebooting");
    EXPECT_EQ(strlen(parse("message\n" + std::string(120, 'm')).message_text), 95u);

    // Any other first line still reads the rest; garbled numbers read as 0.
    m = parse("closed\n7\nx\n-3\r\n\nA\n\nB");
    EXPECT_EQ((std::vector<int>{m.open, m.tab, m.focus, m.selected, m.count}),
              (std::vector<int>{0, 7, 0, -3, 3}));
    EXPECT_STREQ(m.items[1], "");
    EXPECT_STREQ(m.items[2], "B");
    m = parse("opened\n2\n");
    EXPECT_EQ(m.open + m.tab + m.count, 1 + 2 + 0);

    // A 270-character line is read as lines of 127, 127 and 16 characters.
    m = parse("open\n0\n0\n0\n" + std::string(270, 't') + "\nitem\n");
    EXPECT_EQ(strlen(m.title) + strlen(m.items[0]) + strlen(m.items[1]), 63u + 63u + 16u);
    EXPECT_STREQ(m.items[2], "item");

    char label[64];
    EXPECT_STREQ(menu_item_split("Bitrate: 8 Mbps", label, sizeof label), "8 Mbps");
    EXPECT_STREQ(label, "Bitrate");
    EXPECT_STREQ(menu_item_split("A: B: C", label, sizeof label), "C");
    EXPECT_STREQ(label, "A: B");
    EXPECT_STREQ(menu_item_split("Time 12:30", label, sizeof label), "");
    EXPECT_STREQ(label, "Time 12:30");
}

TEST(Menu, PollFollowsTheFile) {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vex-menu-test.XXXXXX";
    char *dir = mkdtemp(&tmpl[0]);
    ASSERT_TRUE(dir);
    std::string path = std::string(dir) + "/menu";
    setenv("VEX_KMS_MENU", path.c_str(), 1);
    long stamp = 1000;
    auto write = [&](const char *text) {
        FILE *f = fopen(path.c_str(), "w");
        fputs(text, f);
        fclose(f);
        timespec t[2] = {{stamp, 0}, {stamp, 0}};
        stamp += 1;
        utimensat(AT_FDCWD, path.c_str(), t, 0);
    };
    EXPECT_EQ(poll_menu(), 0);
    write("open\n3\n0\n0\n\n");
    EXPECT_EQ(poll_menu(), 1);
    EXPECT_TRUE(menu_is_open());
    EXPECT_EQ(poll_menu(), 0); // same time: not read again
    remove(path.c_str());
    EXPECT_EQ(poll_menu(), 1); // an open menu closes with its file
    EXPECT_FALSE(menu_is_open());
    write("message\nRebooting\n");
    EXPECT_EQ(poll_menu(), 1);
    remove(path.c_str());
    EXPECT_EQ(poll_menu(), 0); // a message stays
    EXPECT_TRUE(menu_message_shown());
    unsetenv("VEX_KMS_MENU");
    rmdir(dir);
    g_menu = MenuState{};
}

TEST(Menu, FlipBufferArgb) {
    for (int32_t w : {1, 2, 3, 5}) {
        for (int32_t h : {1, 2, 3, 4}) {
            for (const char *flip : {"h", "v", "180", "none", "hv"}) {
                Buffer b(w, h, 8);
                std::fill(b.bytes.begin(), b.bytes.end(), 0xee);
                for (int32_t y = 0; y < h; y++)
                    for (int32_t x = 0; x < w; x++) b.at(x, y) = (uint32_t)(y * 100 + x);
                flip_buffer_argb(b.bytes.data(), b.pitch, w, h, flip);
                bool mx = !strcmp(flip, "h") || !strcmp(flip, "180");
                bool my = !strcmp(flip, "v") || !strcmp(flip, "180");
                for (int32_t y = 0; y < h; y++) {
                    for (int32_t x = 0; x < w; x++) {
                        int32_t sx = mx ? w - 1 - x : x, sy = my ? h - 1 - y : y;
                        ASSERT_EQ(b.at(x, y), (uint32_t)(sy * 100 + sx))
                            << flip << " " << w << "x" << h << " at " << x << "," << y;
                    }
                    ASSERT_EQ(b.at(w, y), 0xeeeeeeeeu); // the padding stays
                }
            }
        }
    }
}

TEST(Menu, OverlayStatesAndPlane) {
    TestOutput t(640, 400, false);
    Output &o = outs[0];
    g_menu = sample_menu(1);
    render_menu_all();
    EXPECT_EQ(o.menu_front, 0); // the first picture goes into buffer 0
    EXPECT_EQ(o.menu_shown, 1u);
    EXPECT_EQ(t.a.at(0, 0), backdrop);
    render_menu_all();
    EXPECT_EQ(o.menu_front, 1); // then into the hidden one

    g_menu = MenuState{};
    render_menu_all(); // nothing to show: the plane goes off, once
    EXPECT_EQ(o.menu_front, -1);
    EXPECT_EQ(o.menu_shown, 0u);
    t.a.at(5, 5) = 1;
    render_menu_all();
    EXPECT_EQ(t.a.at(5, 5), 1u);

    g_detect = 1; // detection: a transparent picture for the boxes
    render_menu_all();
    g_detect = 0;
    EXPECT_EQ(t.a.at(5, 5), 0u);
    o.telem = 1; // the HUD alone
    t.b.at(5, 5) = 1;
    render_menu_all();
    EXPECT_EQ(t.b.at(5, 5), 0u);
    EXPECT_EQ(o.menu_front, 1);

    // A flipped output is shown the mirror image of an unflipped one.
    o.telem = 0;
    g_menu = parse("message\nRebooting\n");
    render_menu_all();
    std::vector<uint8_t> plain = t.a.bytes;
    o.flip = "h";
    o.menu_front = 1;
    render_menu_all();
    flip_buffer_argb(plain.data(), t.a.pitch, 640, 400, "h");
    EXPECT_EQ(t.a.bytes, plain);
    EXPECT_EQ(g_px_mx + g_px_my, 0);
}

TEST(Menu, TabClampAndTitle) {
    TestOutput t(800, 480, false);
    MenuLayout l = menu_layout(800, 480, 0);
    auto draw = [&](const std::string &file) { // into buffer 0
        g_menu = parse(file);
        outs[0].menu_front = 1;
        render_menu_all();
        return t.a.bytes;
    };
    // The left edge of the highlight, on the row of tab k.
    auto lit = [&](int k) { return t.a.at(l.px + l.m / 2, l.tab_y0 + k * l.tab_pitch) == accent; };
    for (int tab : {7, -1}) {
        draw("open\n" + std::to_string(tab) + "\n0\n0\n\n");
        EXPECT_EQ((std::vector<bool>{lit(0), lit(1), lit(3)}),
                  (std::vector<bool>{tab == -1, false, tab == 7}));
    }
    // An empty title shows the selected tab's name.
    EXPECT_EQ(draw("open\n1\n0\n0\n\n"), draw("open\n1\n0\n0\nDisplay\n"));
}

TEST(Menu, ReferencePictures) {
    ASSERT_EQ(g_face, nullptr); // the bitmap font: the same pixels everywhere
    for (int focus : {1, 0}) {
        int32_t W = focus ? 1920 : 800, H = focus ? 1080 : 480;
        TestOutput t(W, H, false);
        g_menu = sample_menu(focus);
        render_menu_all();
        MenuLayout l = menu_layout(W, H, g_menu.count);
        expect_ref(t.a, l.px, l.py, l.pw, l.ph,
                   focus ? "menu_panel_1920x1080.png" : "menu_panel_800x480.png");
    }
    {
        TestOutput t(800, 480, false);
        g_menu = parse("message\nRebooting\n");
        render_menu_all();
        expect_ref(t.a, 0, 0, 800, 480, "menu_message.png");
    }
    // No overlay plane, flipped "h": the sidebar is drawn mirrored into the
    // standby picture, so it shows on the right.
    TestOutput t(800, 480, true);
    t.a.fill(picture);
    outs[0].flip = "h";
    g_menu = sample_menu(1);
    render_menu_all();
    EXPECT_EQ(t.a.at(0, 0), picture);
    expect_ref(t.a, 0, 0, 800, 480, "menu_sidebar_flip_h.png");
    // A message there fills the 360-pixel column only.
    t.a.fill(picture);
    g_menu = parse("message\nRebooting\n");
    render_menu_all();
    EXPECT_EQ(t.a.at(800 - 360, 470), panel);
    EXPECT_EQ(t.a.at(800 - 361, 470), picture);
}

// Where colour c lies inside a box of a buffer: {x0, y0, x1, y1}, x1 < 0 when nowhere.
std::vector<int32_t> bounds(Buffer &b, uint32_t c, int32_t x, int32_t y, int32_t w, int32_t h) {
    std::vector<int32_t> r{1 << 30, 1 << 30, -1, -1};
    for (int32_t py = std::max(y, 0); py < std::min(y + h, b.h); py++)
        for (int32_t px = std::max(x, 0); px < std::min(x + w, b.w); px++)
            if (b.at(px, py) == c)
                r = {std::min(r[0], px), std::min(r[1], py), std::max(r[2], px),
                     std::max(r[3], py)};
    return r;
}

constexpr uint32_t text = 0xffeef0f4;

TEST(Menu, TextStaysInItsPlace) {
    ASSERT_EQ(g_face, nullptr); // the bitmap font: 16 pixels a character
    {
        // Labels and values share their rows without overprinting and end inside
        // the panel; so does a long title.
        TestOutput t(800, 480, false);
        g_menu = parse("open\n0\n0\n0\nA title much too long for the content column\n"
                       "Resolution of the main output: 1920x1080 progressive\n"
                       "Name: a-network-name-that-never-ends\nOutput resolution: 4K\nShort: v\n");
        render_menu_all();
        const MenuLayout l = menu_layout(800, 480, g_menu.count);
        const int32_t right = l.px + l.pw - l.m;
        EXPECT_LT(bounds(t.a, text, l.px, l.py, l.pw, l.tb + 8 - l.py)[2], right);
        for (int j = 0; j < g_menu.count; j++) {
            const int32_t y = l.row0 + j * l.rh;
            const auto lb = bounds(t.a, text, l.cx, y, l.pw, l.rh);
            const auto vb = bounds(t.a, accent, l.cx, y, l.pw, l.rh);
            EXPECT_TRUE(lb[2] > l.cx && vb[2] >= 0 && lb[2] + 4 < vb[0] && vb[2] < right)
                << "row " << j << ": label to " << lb[2] << ", value " << vb[0] << " to " << vb[2];
        }
    }
    {
        // Twelve items on a low panel: the rows that fit, each apart from the next.
        TestOutput t(640, 240, false);
        std::string file = "open\n0\n0\n0\nT\n";
        for (int i = 0; i < 12; i++) file += "Item " + std::to_string(i) + ": v\n";
        g_menu = parse(file);
        render_menu_all();
        const MenuLayout l = menu_layout(640, 240, 12);
        int bands = 0, band = 0, tallest = 0;
        for (int32_t y = l.row0; y < 240; y++) {
            const bool ink = bounds(t.a, text, l.cx, y, l.pw, 1)[2] >= 0;
            band = ink ? band + 1 : 0;
            bands += band == 1;
            tallest = std::max(tallest, band);
        }
        EXPECT_TRUE(bands >= 3 && tallest <= 16) << bands << " rows, the tallest " << tallest;
    }
    {
        // A message of 95 characters is wrapped inside the screen.
        TestOutput t(800, 480, false);
        g_menu = parse("message\n" + std::string(40, 'w') + " " + std::string(54, 'x') + "\n");
        render_menu_all();
        const auto b = bounds(t.a, accent, 0, 0, 800, 480);
        EXPECT_TRUE(b[0] >= 8 && b[2] < 792 && b[3] - b[1] > 60) << b[0] << " " << b[2];
    }
    {
        // Without an overlay plane the menu lies in the 360 columns left of the
        // video: the highlighted tab, the title, the items, nothing beyond.
        TestOutput t(1920, 1080, true);
        t.a.fill(picture);
        g_menu = sample_menu(0);
        render_menu_all();
        const SidebarLayout l = menu_sidebar_layout(1920, 1080, g_menu.count);
        EXPECT_EQ(bounds(t.a, picture, 0, 0, 1920, 1080)[0], 360);
        EXPECT_EQ(t.a.at(l.m + l.cell_w + l.cell_w / 2, l.tab_y + l.tab_h / 2), accent);
        const auto tx = bounds(t.a, text, 0, 0, 360, 1080),
                   vx = bounds(t.a, accent, 0, 200, 360, 880);
        EXPECT_TRUE(tx[0] >= l.m && tx[2] < 360 - l.m && tx[3] > l.row0 + 5 * l.rh) << tx[3];
        EXPECT_TRUE(vx[2] >= 0 && vx[2] < 360 - l.m);
    }
    // On a DSI panel a pop-up goes below an open menu or a message.
    for (const char *file : {"open\n0\n0\n0\nDisplay\nFit: fit\n", "message\nRebooting\n"}) {
        TestOutput t(720, 1280, false);
        outs[0].is_dsi = 1;
        g_osd = OsdState{1, 1, "Low battery"};
        g_menu = parse(file);
        render_menu_all();
        const auto bar = bounds(t.a, 0xffffc24b, 0, 0, 720, 1280); // the pop-up's accent bar
        const auto menu = bounds(t.a, g_menu.open ? panel : accent, 0, 0, 720, 1280);
        EXPECT_TRUE(bar[3] >= 0 && menu[3] >= 0 && menu[3] < bar[1] - 30)
            << file << ": menu to row " << menu[3] << ", pop-up bar from " << bar[1];
        g_osd = OsdState{};
    }
}

// A changed menu is drawn again only where it changed, yet every picture shown
// equals the whole picture drawn afresh: output 0 keeps its buffers through a
// sequence of changes, output 1 draws each picture from nothing.
TEST(Menu, RedrawsOnlyWhatChangedButShowsTheWholePicture) {
    constexpr int32_t W = 1280, H = 720;
    Buffer a(W, H), b(W, H), ref(W, H), spare(W, H);
    nout = 2;
    for (int i = 0; i < 2; i++) {
        outs[i] = Output{};
        outs[i].mode.hdisplay = W;
        outs[i].mode.vdisplay = H;
        outs[i].menu_plane_id = 40 + i;
        outs[i].menu_pitch = a.pitch;
        outs[i].menu_front = -1;
    }
    outs[0].menu_map[0] = a.bytes.data();
    outs[0].menu_map[1] = b.bytes.data();
    outs[1].menu_map[0] = ref.bytes.data();
    outs[1].menu_map[1] = spare.bytes.data();
    auto shown = [](int i) -> std::vector<uint8_t> {
        const Output &o = outs[i];
        if (o.menu_front < 0) return {};
        const uint8_t *p = o.menu_map[o.menu_front];
        return std::vector<uint8_t>(p, p + (size_t)o.menu_pitch * H);
    };
    std::string items;
    for (int i = 0; i < 9; i++)
        items += "Item " + std::to_string(i) + ": " + std::string(i, 'v') + "\n";
    auto menu = [&](int tab, int focus, int sel, const std::string &title, int count) {
        std::string f = "open\n" + std::to_string(tab) + "\n" + std::to_string(focus) + "\n" +
                        std::to_string(sel) + "\n" + title + "\n";
        size_t at = 0;
        for (int i = 0; i < count; i++) at = items.find('\n', at) + 1;
        return parse(f + items.substr(0, at));
    };
    struct Step {
        MenuState m;
        int det, telem, osd;
        const char *flip;
    };
    const std::vector<Step> steps = {
        {menu(1, 1, 0, "Display", 5), 0, 0, 0, nullptr},
        {menu(1, 1, 0, "Display", 5), 0, 0, 0, nullptr},
        {menu(1, 1, 1, "Display", 5), 0, 0, 0, nullptr}, // the selection moves
        {menu(1, 1, 2, "Display", 5), 0, 0, 0, nullptr},
        {menu(1, 0, 2, "Display", 5), 0, 0, 0, nullptr}, // focus back on the tabs
        {menu(3, 0, 2, "", 5), 0, 0, 0, "none"},         // another tab, its name as title
        {menu(3, 1, 8, "A much longer title than before", 9), 0, 0, 0, nullptr},
        {menu(0, 1, 0, "S", 2), 0, 0, 0, nullptr}, // fewer, taller rows
        {parse("message\nRebooting now\n"), 0, 0, 0, nullptr},
        {menu(0, 1, 1, "S", 2), 0, 0, 0, nullptr},
        {menu(0, 1, 1, "S", 2), 1, 0, 0, nullptr}, // boxes, the HUD, a pop-up, a flip
        {menu(0, 1, 0, "S", 2), 0, 0, 0, nullptr},
        {menu(0, 1, 1, "S", 2), 0, 1, 0, nullptr},
        {menu(0, 1, 0, "S", 2), 0, 0, 0, nullptr},
        {parse("message\nLow\n"), 0, 0, 1, nullptr},
        {menu(0, 1, 1, "S", 2), 0, 0, 0, nullptr},
        {menu(0, 1, 0, "S", 2), 0, 0, 0, "h"},
        {menu(0, 1, 1, "S", 2), 0, 0, 0, nullptr},
        {menu(0, 1, 0, "S", 2), 0, 0, 0, nullptr},
        {MenuState{}, 0, 0, 0, nullptr}, // the plane goes off
        {menu(2, 1, 1, "Again", 4), 0, 0, 0, nullptr},
        {menu(2, 1, 2, "Again", 4), 0, 0, 0, nullptr},
    };
    Detection box{0, 0.9f, 0.1f, 0.1f, 0.2f, 0.2f};
    size_t partial = 0;
    for (size_t k = 0; k < steps.size(); k++) {
        const Step &s = steps[k];
        g_menu = s.m;
        detect_publish(&box, s.det);
        g_detect = s.det;
        g_osd = s.osd ? OsdState{1, 0, "Low battery"} : OsdState{};
        for (int i = 0; i < 2; i++) {
            outs[i].telem = s.telem;
            outs[i].is_dsi = s.osd;
            outs[i].flip = s.flip;
        }
        outs[1].menu_front = -1; // drawn from nothing
        // A mark in a corner of the buffer to be drawn, far from the menu:
        // left alone when only the menu is drawn again.
        uint8_t *next = outs[0].menu_map[(outs[0].menu_front + 1) & 1];
        uint32_t corner;
        memcpy(&corner, next, 4);
        const uint32_t mark = 0x12345678;
        if (corner == backdrop) memcpy(next, &mark, 4);
        render_menu_all();
        uint32_t now;
        memcpy(&now, next, 4);
        if (now == mark) {
            partial++;
            memcpy(next, &backdrop, 4);
        }
        EXPECT_EQ(shown(0), shown(1)) << "step " << k;
    }
    // Each change in the menu alone (and its repeat) left the rest standing.
    EXPECT_GE(partial, 10u);
    g_detect = 0;
    detect_publish(nullptr, 0);
    g_osd = OsdState{};
    g_menu = MenuState{};
    outs[0] = outs[1] = Output{};
    nout = 0;
}

} // namespace
