// End-to-end runs of the two tees on the simulated board: the SPI tee's
// shared frame, read back with vex-spi-snapshot (which follows the sequence
// protocol), against what the screen shows; and the encode tee's H.264
// stream, decoded with ffprobe/ffmpeg.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

const char *const kStream = "h264_stamped_480p60.h264"; // 640x480, 60 stamped frames

// One read of the shared frame of a run: the tool's status line and the picture.
struct SpiShot {
    int status = -1;
    unsigned w = 0, h = 0, seq = 0, magic = 0;
    TestImage img;
};

SpiShot spi_shot(const std::string &board, const std::string &png) {
    SpiShot s;
    const std::string cmd =
        std::string(VEX_SPI_SNAPSHOT_EXE) + " " + board + "/shm/vex-spi.frame " + png + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return s;
    char line[256] = "";
    if (!fgets(line, sizeof line, p)) line[0] = 0;
    s.status = pclose(p);
    sscanf(line, "magic=0x%x size=%ux%u seq=%u", &s.magic, &s.w, &s.h, &s.seq);
    if (s.status == 0) png_read(png, &s.img);
    return s;
}

// Mean of one channel (shift 16, 8, 0) over a box of an image.
double mean(const TestImage &img, int x, int y, int w, int h, int shift) {
    double sum = 0;
    for (int j = y; j < y + h; j++)
        for (int i = x; i < x + w; i++) sum += (img.at(i, j) >> shift) & 255;
    return sum / (w * h);
}

// The share of 16 x 16 blocks of the panel (below the header strip) whose
// channel means stay within `tol` of the screen's box (sx, sy, sw, sh) that
// the panel's rectangle (px, py, pw, ph) shows.
double blocks_alike(const TestImage &spi, int px, int py, int pw, int ph, const TestImage &screen,
                    int sx, int sy, int sw, int sh, double tol) {
    int n = 0, good = 0;
    for (int by = py; by + 16 <= py + ph; by += 16) {
        if (by < 32) continue;
        for (int bx = px; bx + 16 <= px + pw; bx += 16) {
            const int x0 = sx + (int)((bx - px) * (double)sw / pw);
            const int y0 = sy + (int)((by - py) * (double)sh / ph);
            const int w = std::max(1, (int)(16.0 * sw / pw)),
                      h = std::max(1, (int)(16.0 * sh / ph));
            double d = 0;
            for (int shift : {16, 8, 0})
                d = std::max(d, std::fabs(mean(spi, bx, by, 16, 16, shift) -
                                          mean(screen, x0, y0, w, h, shift)));
            n++;
            good += d < tol;
        }
    }
    return n ? (double)good / n : 0;
}

// The standby picture, published while no video is shown: letterboxed into
// the panel, the strip on top, against the screen at exit.
TEST(SpiTee, StandbyPublished) {
    TestDir dir;
    SimRunOpts o;
    o.env = {{"VEX_KMS_SPI_TEE", "240x240"}, {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"}};
    o.input_fd = kInputClosed;
    SimRunResult r = sim_run(dir, o);
    ASSERT_EQ(r.status, 0) << describe(r);
    TestImage scr;
    ASSERT_TRUE(png_read(r.board() + "/screen-HDMI-A-1.png", &scr)) << describe(r);
    SpiShot st = spi_shot(r.board(), dir.path + "/standby.png");
    ASSERT_EQ(st.status, 0);
    EXPECT_EQ(st.magic, 0x54495053u);
    EXPECT_EQ(st.w, 240u);
    EXPECT_EQ(st.h, 240u);
    EXPECT_GE(st.seq, 2u);
    EXPECT_EQ(st.seq % 2, 0u);
    // 1920x1080 into 240x240: 240x134 (135 made even) at row 53, black around.
    EXPECT_GT(blocks_alike(st.img, 0, 53, 240, 134, scr, 0, 0, scr.w, scr.h, 24.0), 0.9);
    EXPECT_LT(mean(st.img, 0, 30, 240, 22, 8), 1.0);
    EXPECT_LT(mean(st.img, 0, 188, 240, 52, 8), 1.0);
    // The strip: dark, with lighter text (temperature and uptime).
    const double strip = mean(st.img, 0, 0, 240, 26, 8);
    EXPECT_GT(strip, 0.5);
    EXPECT_LT(strip, 60.0);
}

// The live copy of the playing video against the screen, in fill or fit mode.
// Copies are not limited here (VEX_KMS_SPI_FPS=0), so the frame trails the
// screen by at most a picture or two.
void spi_live(const char *size, const char *aspect, int pw, int ph) {
    SCOPED_TRACE(std::string(size) + " " + aspect);
    TestDir dir;
    SimRunOpts o;
    o.env = {{"VEX_KMS_SPI_TEE", size}, {"VEX_KMS_SPI_ASPECT", aspect}, {"VEX_KMS_SPI_FPS", "0"}};
    o.timeout_s = 25;
    SimThread run(dir, o, true, kStream);
    ASSERT_TRUE(run.wait_log("vex-mpp: SPI tee ON → shm /vex-spi.frame", 15000)) << run.log();
    usleep(500000);
    std::vector<TestImage> live;
    const bool shot = screenshot_now(run.board, {"HDMI-A-1"}, &live);
    SpiShot sp = spi_shot(run.board, dir.path + "/live.png");
    const SimRunResult &r = run.join();
    ASSERT_TRUE(shot) << describe(r);
    ASSERT_EQ(sp.status, 0) << describe(r);
    EXPECT_EQ(sp.seq % 2, 0u);
    EXPECT_GT(sp.seq, 10u);
    EXPECT_TRUE(has_line(r.log, std::string("(") + size + " RGB565, " + aspect + ")")) << r.log;
    // The 4:3 video fills the screen's height; on the panel it covers (fill)
    // or fits inside (fit).
    const TestImage &s = live[0];
    const int vw = s.h * 4 / 3, vx = (s.w - vw) / 2;
    const bool fit = std::string(aspect) == "fit";
    const double k = fit ? std::min(pw / 640.0, ph / 480.0) : std::max(pw / 640.0, ph / 480.0);
    const int rw = (int)(640 * k + 0.5), rh = (int)(480 * k + 0.5);
    const int rx = (pw - rw) / 2, ry = (ph - rh) / 2;
    const int cx = std::max(rx, 0), cy = std::max(ry, 0);
    const int cw = std::min(rx + rw, pw) - cx, chh = std::min(ry + rh, ph) - cy;
    const double sxk = (double)vw / rw, syk = (double)s.h / rh;
    EXPECT_GT(blocks_alike(sp.img, cx, cy, cw, chh, s, vx + (int)((cx - rx) * sxk),
                           (int)((cy - ry) * syk), (int)(cw * sxk), (int)(chh * syk), 32.0),
              0.7)
        << describe(r);
    if (fit && ry > 26) {
        EXPECT_LT(mean(sp.img, 0, 26, pw, ry - 26, 8), 1.0); // black bars
    }
}

} // namespace

TEST(SpiTee, LiveCopyAgainstTheScreen) {
    spi_live("320x240", "fill", 320, 240);
    spi_live("320x160", "fill", 320, 160);
    spi_live("320x160", "fit", 320, 160);
}

// The rate limit: about 20 copies a second by default, every frame without a
// limit; counted by the sequence after the run (each update adds 2).
TEST(SpiTee, RateLimit) {
    for (const char *fps : {"", "0"}) {
        SCOPED_TRACE(std::string("VEX_KMS_SPI_FPS=") + fps);
        TestDir dir;
        SimRunOpts o;
        o.input = stream_path(kStream);
        o.env = {{"VEX_KMS_SPI_TEE", "160x120"}, {"VEX_SMOOTH", "0"}, {"VEX_KMS_GATE_MS", "5000"}};
        if (*fps) o.env.push_back({"VEX_KMS_SPI_FPS", fps});
        o.feed = {"--fps", "60", "--pause-at", "2", "--pause-ms", "1000"};
        o.timeout_s = 25;
        SimRunResult r = sim_run(dir, o);
        ASSERT_EQ(r.status, 0) << describe(r);
        const std::vector<std::vector<long long>> end =
            match_lines(r.log, "vex-mpp: end of input — dec=(\\d+) shown=(\\d+) .*");
        ASSERT_EQ(end.size(), 1u) << r.log;
        const long long frames = end[0][1];
        SpiShot sp = spi_shot(r.board(), "");
        ASSERT_EQ(sp.status, 0);
        EXPECT_EQ(sp.seq % 2, 0u);
        const long long updates = sp.seq / 2; // live copies and a standby publish or two
        ASSERT_GE(frames, 30) << r.log;
        if (*fps) {
            EXPECT_GE(updates, frames * 8 / 10) << frames << " frames shown";
        } else {
            EXPECT_LE(updates, frames / 2 + 3) << frames << " frames shown";
            EXPECT_GE(updates, 5);
        }
    }
}
