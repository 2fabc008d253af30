// vexctl's file texts read back through the program's own parsers, its
// validation, and its atomic writes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <dirent.h>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "overlay/connect.h"
#include "overlay/menu.h"
#include "overlay/osd.h"
#include "overlay/telemetry.h"
#include "vexctl/control_text.h"
#include "tests/unit/png_io.h"
#include "vexctl/ctl_files.h"

namespace {

// A text read back through the program's parser for its file.
void parse(const std::string &t, MenuState *s) {
    menu_parse(t.data(), t.size(), s);
}
void parse(const std::string &t, OsdState *s) {
    osd_parse(t.data(), t.size(), s);
}
void parse(const std::string &t, Telemetry *s) {
    telemetry_parse(t.data(), t.size(), s);
}

} // namespace

TEST(Vexctl, MenuAndMessageReadBackAsWritten) {
    CtlMenu m;
    m.tab = "system";
    m.title = "System";
    m.selected = "2";
    for (int i = 0; i < 12; i++)
        m.items.push_back("Item " + std::to_string(i) + ": v" + std::to_string(i));
    m.items[2] = std::string(63, 'x'); // the longest item that survives the program's fields
    CtlText t = ctl_menu_text(m);
    ASSERT_TRUE(t.ok) << t.error;
    MenuState s;
    parse(t.text, &s);
    // Selecting an item moves the focus to the list.
    EXPECT_EQ((std::vector<int>{s.open, s.tab, s.focus, s.selected}),
              (std::vector<int>{1, 2, 1, 2}));
    EXPECT_STREQ(s.title, "System");
    ASSERT_EQ(s.count, 12);
    EXPECT_STREQ(s.items[11], "Item 11: v11");
    EXPECT_EQ(std::string(s.items[2]), m.items[2]);

    // A closed menu and a message.
    parse(ctl_menu_closed_text(), &s);
    EXPECT_EQ(s.open + s.message, 0);
    t = ctl_message_text(std::string(95, 'm'));
    ASSERT_TRUE(t.ok);
    parse(t.text, &s);
    EXPECT_EQ(s.message, 1);
    EXPECT_EQ(std::string(s.message_text), std::string(95, 'm'));

    // Values the program would cut, split or misread are refused, naming them.
    m.items[2] = std::string(64, 'x');
    t = ctl_menu_text(m);
    EXPECT_FALSE(t.ok);
    EXPECT_NE(t.error.find("menu item 2"), std::string::npos) << t.error;
    m.items[2] = "two\nlines";
    EXPECT_FALSE(ctl_menu_text(m).ok);
    m.items[2] = "ok";
    m.items.push_back("thirteenth");
    EXPECT_FALSE(ctl_menu_text(m).ok);
    m.items.pop_back();
    m.selected = "12";
    EXPECT_NE(ctl_menu_text(m).error.find("'12'"), std::string::npos);
    m.selected = "";
    m.tab = "4";
    EXPECT_NE(ctl_menu_text(m).error.find("bad tab '4'"), std::string::npos);
    m.tab = "0";
    m.focus = "list";
    EXPECT_FALSE(ctl_menu_text(m).ok);
    EXPECT_FALSE(ctl_message_text(std::string(96, 'm')).ok);
    EXPECT_FALSE(ctl_message_text("").ok);
}

TEST(Vexctl, OsdAndTelemetryReadBackAsWritten) {
    const char *levels[] = {"info", "warn", "error"};
    for (int level = 0; level < 3; level++) {
        const CtlText t = ctl_osd_text(levels[level], "Low battery");
        ASSERT_TRUE(t.ok);
        OsdState s;
        parse(t.text, &s);
        EXPECT_EQ(s.level, level);
        EXPECT_EQ(s.active, 1);
        EXPECT_STREQ(s.text, "Low battery");
    }
    OsdState s;
    parse(ctl_osd_text("info", "").text, &s);
    EXPECT_EQ(s.active, 0);
    EXPECT_NE(ctl_osd_text("warning", "x").error.find("'warning'"), std::string::npos);
    EXPECT_FALSE(ctl_osd_text("info", std::string(96, 't')).ok);

    CtlText t =
        ctl_telemetry_text({"gog=15", "drn=100", "sig=0", "sat=12", "tmp=-5", "rec=1", "recs=3725",
                            "vpn=1", "net=" + std::string(23, 'n'), "yaw=12.6", "alt=-3.25",
                            "spd=7", "vs=1.5e0", "pit=-3", "rol=180", "vtx=-7"});
    ASSERT_TRUE(t.ok) << t.error;
    Telemetry tm;
    parse(t.text, &tm);
    EXPECT_EQ(
        (std::vector<int>{tm.gog, tm.drn, tm.sig, tm.sat, tm.tmp, tm.recs, tm.vtx, tm.has_rol}),
        (std::vector<int>{15, 100, 0, 12, -5, 3725, -7, 1}));
    EXPECT_EQ(std::string(tm.net), std::string(23, 'n'));
    EXPECT_EQ((std::vector<float>{tm.yaw, tm.alt, tm.vs}),
              (std::vector<float>{12.6f, -3.25f, 1.5f}));
    // A key left out reads as unknown.
    parse(ctl_telemetry_text({"rec=1"}).text, &tm);
    EXPECT_EQ(tm.gog, -1);

    for (const char *bad :
         {"gog=101", "gog=-1", "gog=5x", "sig=6", "Gog=5", "gogx=5", "gog", "rec=2", "yaw=nan",
          "yaw=0x10", "alt=inf", "pit=181", "net=a b", "net=", "vs="})
        EXPECT_FALSE(ctl_telemetry_text({bad}).ok) << bad;
    t = ctl_telemetry_text({"net=" + std::string(24, 'n')});
    EXPECT_NE(t.error.find("at most 23"), std::string::npos) << t.error;
    EXPECT_NE(ctl_telemetry_text({"gog=1", "gog=2"}).error.find("twice"), std::string::npos);
}

TEST(Vexctl, ConnectQrReadsBackThroughThePoll) {
    const std::string dir = unit_temp_dir("vexctl");
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/connect";
    setenv("VEX_KMS_CONNECT", path.c_str(), 1);
    EXPECT_EQ(ctl_path(CtlFile::connect, "/elsewhere"), path);

    std::string err;
    const std::string target = "rtmp://10.0.0.1/live/" + std::string(100, 'k'); // 121 bytes
    const std::vector<std::string> rows = ctl_qr_rows(target, &err);
    ASSERT_FALSE(rows.empty()) << err;
    CtlText t = ctl_connect_text("FieldNet", target, rows);
    ASSERT_TRUE(t.ok) << t.error;
    ASSERT_EQ(ctl_write_atomic(path, t.text), "");
    ASSERT_EQ(poll_connect(), 1);
    ASSERT_EQ(g_qr_n, (int)rows.size());
    int mismatched = 0;
    for (int r = 0; r < g_qr_n; r++)
        for (int c = 0; c < g_qr_n; c++) mismatched += g_qr[r * g_qr_n + c] != (rows[r][c] == '#');
    EXPECT_EQ(mismatched, 0);
    EXPECT_STREQ(g_conn_ssid, "FieldNet");
    EXPECT_EQ(std::string(g_conn_push), target);

    // An empty file clears the code and the captions (a removed file would not).
    ASSERT_EQ(ctl_write_atomic(path, ctl_connect_text("", "", {}).text), "");
    ASSERT_EQ(poll_connect(), 1);
    EXPECT_EQ(g_qr_n, 0);
    EXPECT_STREQ(g_conn_push, "");

    EXPECT_FALSE(ctl_connect_text("", target + "k", {}).ok); // the line buffer would split it
    EXPECT_FALSE(ctl_connect_text(std::string(64, 's'), "", {}).ok);
    EXPECT_TRUE(ctl_qr_rows(std::string(400, 'x'), &err).empty() ||
                !ctl_connect_text("", "", ctl_qr_rows(std::string(400, 'x'), &err)).ok);
    unsetenv("VEX_KMS_CONNECT");
    EXPECT_EQ(ctl_path(CtlFile::connect, "/elsewhere"), "/elsewhere/connect");
    // The program reads these two whenever set, even empty.
    setenv("VEX_KMS_MENU", "", 1);
    EXPECT_EQ(ctl_path(CtlFile::menu, "/d"), "");
    unsetenv("VEX_KMS_MENU");
    EXPECT_EQ(ctl_path(CtlFile::snapshot, "/d"), "/d/snapshot");
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(Vexctl, TuningMergesDetectAndState) {
    CtlText t = ctl_tuning_text("", {"zoom=1.2", "flip=h", "dsiflip=-", "lut=/opt/luts/warm.cube"});
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.text, "zoom = 1.2\nflip = h\ndsiflip = -\nlut = /opt/luts/warm.cube\n");
    // Earlier keys stay; a given key replaces its line; junk and unknown keys go.
    t = ctl_tuning_text("zoom=1.2\n junk\nbogus = 3\nsmooth = 1\nzoom = 1.3\n",
                        {"smooth=0", "k1=-0.2"});
    ASSERT_TRUE(t.ok) << t.error;
    EXPECT_EQ(t.text, "zoom = 1.3\nsmooth = 0\nk1 = -0.2\n");
    for (const char *bad : {"zoom=0", "zoom=abc", "flip=x", "dsiflip=--", "lut=relative.cube",
                            "lut=/a b", "smooth=2", "aspect=21:9", "fit=fill", "cx=1.5", "speed=1"})
        EXPECT_FALSE(ctl_tuning_text("", {bad}).ok) << bad;
    EXPECT_NE(ctl_tuning_text("", {"aspect=21:9"}).error.find("'21:9'"), std::string::npos);

    EXPECT_EQ(ctl_detect_text("on").text, "on\n");
    EXPECT_EQ(ctl_detect_text("0").text, "off\n");
    EXPECT_FALSE(ctl_detect_text("yes").ok);

    const CtlState s = ctl_parse_state("state=live ts=123456 dec=600 shown=598 reopens=1\n");
    EXPECT_TRUE(s.ok && s.state == "live" && s.shown == 598 && s.reopens == 1);
    EXPECT_FALSE(ctl_parse_state("state=live ts=1").ok);
}

TEST(Vexctl, AtomicWritesAreWholeAndAlwaysChangeTheTime) {
    const std::string dir = unit_temp_dir("vexctl");
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/menu";
    const std::string a(3000, 'a'), b(5000, 'b');
    ASSERT_EQ(ctl_write_atomic(path, a), "");

    // A reader never sees a part of a file or a missing file.
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            std::string got;
            if (!ctl_read_small(path, 1 << 20, &got) || (got != a && got != b)) torn++;
        }
    });
    timespec last{};
    int same_time = 0;
    for (int i = 0; i < 300; i++) {
        ASSERT_EQ(ctl_write_atomic(path, i % 2 ? a : b), "");
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        // Writes within one tick of the file system's clock still differ in time.
        same_time += st.st_mtim.tv_sec == last.tv_sec && st.st_mtim.tv_nsec == last.tv_nsec;
        last = st.st_mtim;
        EXPECT_EQ(st.st_mode & 0777, 0644u);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(same_time, 0);
    // No temporary file is left behind; a write into a missing directory fails cleanly.
    int entries = -2;
    if (DIR *d = opendir(dir.c_str())) {
        while (readdir(d)) entries++;
        closedir(d);
    }
    EXPECT_EQ(entries, 1);
    EXPECT_NE(ctl_write_atomic(dir + "/missing/menu", a).find("missing"), std::string::npos);
    unlink(path.c_str());
    rmdir(dir.c_str());
}
