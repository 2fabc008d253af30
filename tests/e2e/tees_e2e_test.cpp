// End-to-end runs of the two tees on the simulated board: the SPI tee's
// shared frame, read back with vex-spi-snapshot (which follows the sequence
// protocol), against what the screen shows; and the encode tee's H.264
// stream, decoded with ffprobe/ffmpeg.
#include "sim/kms_stamp.h"
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

    // VEX_KMS_SPI_TELEMETRY=0: no strip, black above the picture.
    o.env.push_back({"VEX_KMS_SPI_TELEMETRY", "0"});
    r = sim_run(dir, o);
    ASSERT_EQ(r.status, 0) << describe(r);
    st = spi_shot(r.board(), dir.path + "/bare.png");
    ASSERT_EQ(st.status, 0);
    EXPECT_EQ(mean(st.img, 0, 0, 240, 52, 8) + mean(st.img, 0, 0, 240, 52, 16), 0.0);
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

// The pop-up and the telemetry items reach the panel: an error pop-up sits
// upright at its usual place (H/6 + 4 from the top), the strip shows the
// goggles battery in green and the drone battery and recording in red.
TEST(SpiTee, PopUpAndStatusStrip) {
    TestDir dir;
    const std::string board = dir.next_board();
    ASSERT_TRUE(steer(board, {"osd", "error", "Baterai", "lemah"}));
    ASSERT_TRUE(steer(board, {"telemetry", "gog=80", "drn=12", "rec=1", "recs=65"}));
    SimRunOpts o;
    o.env = {{"VEX_KMS_SPI_TEE", "320x240"}};
    o.timeout_s = 25;
    SimThread run(dir, o, true, kStream);
    ASSERT_TRUE(run.wait_log("vex-mpp: SPI tee ON → shm /vex-spi.frame", 15000)) << run.log();
    usleep(500000);
    SpiShot sp = spi_shot(run.board, dir.path + "/popup.png");
    const SimRunResult &r = run.join();
    ASSERT_EQ(sp.status, 0) << describe(r);
    // Colours as RGB565 keeps them (low bits cleared).
    const Spot err = spot(sp.img, 0xf85858, 0, 26);
    EXPECT_GT(err.n, 100) << describe(r);
    EXPECT_GE(err.y0, 240 / 6 + 4);
    EXPECT_LT(err.y1, 140);
    EXPECT_GT(spot(sp.img, 0x48dc80, 0, 0, 320, 26).n, 5);  // 80 %: green
    EXPECT_GT(spot(sp.img, 0xf87070, 0, 0, 320, 26).n, 20); // 12 % and REC 1:05: red
}

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

namespace {

// Standard output of a shell command ("" when it cannot run).
std::string shell_out(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

// The pictures of an H.264 file as decoded by FFmpeg, RGB24 at w x h each,
// and the number of frames ffprobe counts (-1 when it fails).
struct Decoded {
    long probed = -1;
    std::vector<std::string> frames; // w * h * 3 bytes each
    std::string sizes;               // "WxH\n" per frame
};

Decoded decode(const std::string &file, int w, int h) {
    Decoded d;
    const std::string n = shell_out("ffprobe -v error -count_frames -select_streams v:0 "
                                    "-show_entries stream=nb_read_frames -of csv=p=0 " +
                                    file + " 2>/dev/null");
    if (!n.empty()) d.probed = strtol(n.c_str(), nullptr, 10);
    d.sizes = shell_out("ffprobe -v error -show_entries frame=width,height -of csv=p=0:s=x " +
                        file + " 2>/dev/null");
    if (w <= 0) return d;
    const std::string raw =
        shell_out("ffmpeg -v error -i " + file + " -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
    const size_t fs = (size_t)w * h * 3;
    for (size_t at = 0; at + fs <= raw.size(); at += fs) d.frames.push_back(raw.substr(at, fs));
    return d;
}

// The stamp of an RGB24 picture (-1: none).
int rgb_stamp(const std::string &rgb, int w, int h) {
    struct Ctx {
        const std::string *p;
        int w;
    } c{&rgb, w};
    return kms_stamp_decode(
        w, h,
        [](const void *ctx, int x, int y) {
            const Ctx &k = *static_cast<const Ctx *>(ctx);
            return (int)(uint8_t)(*k.p)[((size_t)y * k.w + x) * 3 + 1];
        },
        &c);
}

// An RGB24 picture mirrored left to right.
std::string mirrored(const std::string &rgb, int w, int h) {
    std::string m(rgb.size(), 0);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            m.replace(((size_t)y * w + x) * 3, 3, rgb, ((size_t)y * w + (w - 1 - x)) * 3, 3);
    return m;
}

// PSNR of 4 x 4 block means of an RGB24 picture (w x h) against the screen's
// box (sx, sy, sw, sh) showing it, sampled at the blocks' centres.
double block_psnr(const std::string &rgb, int w, int h, const TestImage &s, int sx, int sy, int sw,
                  int sh) {
    double se = 0;
    long n = 0;
    for (int by = 0; by + 4 <= h; by += 4)
        for (int bx = 0; bx + 4 <= w; bx += 4)
            for (int c = 0; c < 3; c++) {
                double a = 0, b = 0;
                int m = 0;
                for (int y = by; y < by + 4; y++)
                    for (int x = bx; x < bx + 4; x++) {
                        a += (uint8_t)rgb[((size_t)y * w + x) * 3 + c];
                        const int px = sx + (int)((x + 0.5) * sw / w);
                        const int py = sy + (int)((y + 0.5) * sh / h);
                        b += (s.at(px, py) >> (16 - 8 * c)) & 255;
                        m++;
                    }
                se += (a / m - b / m) * (a / m - b / m);
                n++;
            }
    const double mse = se / n;
    return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
}

// Writes the whole stream into a held run's input at about 60 pictures a second.
void feed_all(SimThread &run, const char *stream) {
    const std::string s = read_file(stream_path(stream));
    for (size_t at = 0; at < s.size();) {
        const ssize_t n = write(run.input, s.data() + at, std::min<size_t>(4096, s.size() - at));
        if (n <= 0) break;
        at += (size_t)n;
        usleep(8000);
    }
}

// The end-of-input line's shown count (-1 when missing).
long long shown_at_end(const SimRunResult &r) {
    const std::vector<std::vector<long long>> m =
        match_lines(r.log, "vex-mpp: end of input — dec=(\\d+) shown=(\\d+) .*");
    return m.size() == 1 ? m[0][1] : -1;
}

} // namespace

// VEX_KMS_ENCODE=stdout with a colour grade and a mirror: the stream
// decodes, holds a picture for every frame the GPU drew, and its last picture
// is the mirrored, graded picture the screen shows at exit, within encoder
// loss.
TEST(EncodeTee, StdoutStreamMatchesTheScreen) {
    TestDir dir;
    SimRunOpts o;
    o.env = {{"VEX_KMS_ENCODE", "stdout"},
             {"VEX_KMS_ENCODE_FPS", "0"},
             {"VEX_KMS_CG_ENABLE", "1"},
             {"VEX_KMS_CG_BRIGHT", "0.05"},
             {"VEX_KMS_CG_SAT", "1.3"},
             {"VEX_KMS_FLIP", "h"},
             {"VEX_SMOOTH", "0"},
             {"VEX_KMS_GATE_MS", "5000"},
             {"VEX_SIM_SCREENSHOT_AT_EXIT", "1"}};
    o.timeout_s = 25;
    SimThread run(dir, o, true);
    ASSERT_TRUE(run.wait_log("vex-mpp: hdmi_state=hidden", 15000)) << run.log();
    feed_all(run, kStream);
    usleep(1500000); // the encoder catches up while the input is held open
    const SimRunResult &r = run.join();
    ASSERT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(has_line(r.log, "vex-mpp: dewarp HW-encode ON → stdout (640x480 8000k h264_rkmpp)"))
        << r.log;
    const std::string file = dir.path + "/out.h264";
    {
        FILE *f = fopen(file.c_str(), "wb");
        ASSERT_TRUE(f);
        fwrite(r.out.data(), 1, r.out.size(), f);
        fclose(f);
    }
    const Decoded d = decode(file, 640, 480);
    const long long shown = shown_at_end(r);
    ASSERT_GT(shown, 20) << r.log;
    // Every frame drawn is handed off (no rate limit); a free pool slot is
    // there for each unless the encoder falls three frames behind.
    EXPECT_EQ(d.probed, (long)d.frames.size());
    EXPECT_LE(d.probed, shown);
    EXPECT_GE(d.probed, shown - 3) << r.log;

    TestImage scr;
    ASSERT_TRUE(png_read(r.board() + "/screen-HDMI-A-1.png", &scr)) << describe(r);
    ASSERT_FALSE(d.frames.empty());
    const std::string &last = d.frames.back();
    // The 4:3 picture fills the 1080 rows of the screen.
    const int vw = scr.h * 4 / 3, vx = (scr.w - vw) / 2;
    EXPECT_EQ(rgb_stamp(last, 640, 480), -1); // mirrored, as on the screen
    EXPECT_EQ(rgb_stamp(mirrored(last, 640, 480), 640, 480), (int)stream_frames(kStream) - 1);
    EXPECT_GE(block_psnr(last, 640, 480, scr, vx, 0, vw, scr.h), 30.0);
}

// A file target through a source geometry change: the tee restarts at the new
// size on the same file, which stays decodable. An unwritable path and a
// missing encoder leave the video playing.
TEST(EncodeTee, FileRestartAndFailures) {
    TestDir dir;
    const std::string file = dir.path + "/rec.h264";
    SimRunOpts o;
    o.input = stream_path("h264_reschange.h264");
    o.env = {{"VEX_KMS_ENCODE", file},
             {"VEX_KMS_DEWARP", "1"},
             {"VEX_KMS_DEWARP_K1", "0"},
             {"VEX_SMOOTH", "0"},
             {"VEX_KMS_GATE_MS", "5000"}};
    o.feed = {"--fps", "60", "--pause-at", "2", "--pause-ms", "1000"};
    o.timeout_s = 25;
    SimRunResult r = sim_run(dir, o);
    ASSERT_EQ(r.status, 0) << describe(r);
    expect_in_order(r.log,
                    {"vex-mpp: dewarp HW-encode ON → " + file + " (1280x720 8000k h264_rkmpp)",
                     "re-initialising dewarp/encode",
                     "vex-mpp: dewarp HW-encode ON → " + file + " (640x360 8000k h264_rkmpp)"},
                    "restart", false);
    const Decoded d = decode(file, 0, 0);
    EXPECT_GT(d.probed, 10) << d.sizes;
    EXPECT_NE(d.sizes.find("1280x720"), std::string::npos);
    EXPECT_NE(d.sizes.find("640x360"), std::string::npos);

    for (const SimEnv &bad :
         {SimEnv{{"VEX_KMS_ENCODE", "/nonexistent-dir/rec.h264"}},
          SimEnv{{"VEX_KMS_ENCODE", "stdout"}, {"VEX_SIM_ENC_MISSING", "1"}},
          SimEnv{{"VEX_KMS_ENCODE", "stdout"}, {"VEX_SIM_ENC_OPEN_FAIL", "1"}}}) {
        SimRunOpts b;
        b.input = stream_path(kStream);
        b.feed = {"--fps", "60", "--pause-at", "2", "--pause-ms", "1000"};
        b.env = bad;
        b.env.insert(b.env.end(), {{"VEX_KMS_DEWARP", "1"}, {"VEX_KMS_DEWARP_K1", "0"}});
        b.timeout_s = 25;
        SimRunResult f = sim_run(dir, b);
        EXPECT_EQ(f.status, 0) << describe(f);
        EXPECT_GT(shown_at_end(f), 20) << f.log;
        EXPECT_TRUE(f.out.empty());
        EXPECT_FALSE(has_line(f.log, "HW-encode ON"));
        if (bad[0].second[0] == '/') {
            EXPECT_TRUE(has_line(
                f.log,
                "vex-mpp: encode: open(/nonexistent-dir/rec.h264): No such file or directory"))
                << f.log;
        } else {
            EXPECT_EQ(count_lines(f.log, "— dewarped stream/recording UNAVAILABLE (closing the tee "
                                         "output)"),
                      1)
                << f.log;
        }
    }
}

// A slow encoder: frames that find no free pool slot are dropped and counted
// (the heartbeat at 600 frames shows them; 840 are fed, so that it comes even
// when a few are dropped under load) while the frames keep being shown; a
// refused colour conversion is counted and logged once.
TEST(EncodeTee, SlowEncoderAndRefusedConversion) {
    TestDir dir;
    SimRunOpts o;
    o.input = stream_path(kStream);
    o.env = {
        {"VEX_KMS_ENCODE", "stdout"},  {"VEX_KMS_ENCODE_FPS", "0"}, {"VEX_KMS_GL_SIZE", "320x240"},
        {"VEX_SIM_ENC_SLOW_MS", "60"}, {"VEX_KMS_DEWARP", "1"},     {"VEX_KMS_DEWARP_K1", "0"},
        {"VEX_SMOOTH", "0"},           {"VEX_KMS_GATE_MS", "5000"}};
    o.feed = {"--loop", "14", "--fps", "100", "--pause-at", "2", "--pause-ms", "1000"};
    o.timeout_s = 28;
    SimRunResult r = sim_run(dir, o);
    ASSERT_EQ(r.status, 0) << describe(r);
    const std::vector<std::vector<long long>> hb = match_lines(
        r.log,
        "vex-mpp: dec=\\d+ shown=(\\d+) shown/s=\\d+ dropped fifo/throttle/gate=\\d+/\\d+/\\d+ "
        "enc rga_fail/pool_drop=(\\d+)/(\\d+)");
    ASSERT_GE(hb.size(), 1u) << r.log;
    EXPECT_EQ(hb[0][0], 600);
    EXPECT_EQ(hb[0][1], 0);
    // 60 ms an encode against a frame every few ms: most frames find the pool full.
    EXPECT_GT(hb[0][2], 300);

    SimRunOpts b;
    b.input = stream_path(kStream);
    b.feed = {"--fps", "60", "--pause-at", "2", "--pause-ms", "1000"};
    b.env = {{"VEX_KMS_ENCODE", "stdout"},
             {"VEX_KMS_ENCODE_FPS", "0"},
             {"VEX_SIM_RGA_REFUSE", "bgra"},
             {"VEX_KMS_DEWARP", "1"},
             {"VEX_KMS_DEWARP_K1", "0"}};
    b.timeout_s = 25;
    SimRunResult f = sim_run(dir, b);
    EXPECT_EQ(f.status, 0) << describe(f);
    EXPECT_EQ(count_lines(f.log, "vex-mpp: encode: RGA CSC failed — frame dropped from the stream "
                                 "(counted in the heartbeat)"),
              1)
        << f.log;
    EXPECT_TRUE(f.out.empty());
    EXPECT_GT(shown_at_end(f), 20) << f.log;
}

// An encoder slower than the frames: the ring slot handed to it is read only
// after the frames before it were encoded, while the GPU keeps drawing. What
// reaches the stream must still be whole pictures in the order shown, each
// once: never a slot drawn again with a later frame.
TEST(EncodeTee, SlowEncoderGetsThePicturesItWasHanded) {
    TestDir dir;
    const std::string file = dir.path + "/rec.h264";
    SimRunOpts o;
    o.input = stream_path(kStream);
    o.env = {{"VEX_KMS_ENCODE", file}, {"VEX_SIM_ENC_SLOW_MS", "50"},
             {"VEX_KMS_DEWARP", "1"},  {"VEX_KMS_DEWARP_K1", "0"},
             {"VEX_SMOOTH", "0"},      {"VEX_KMS_GATE_MS", "5000"}};
    o.feed = {"--loop", "4", "--fps", "60", "--pause-at", "2", "--pause-ms", "1000"};
    o.timeout_s = 28;
    SimRunResult r = sim_run(dir, o);
    ASSERT_EQ(r.status, 0) << describe(r);
    const Decoded d = decode(file, 640, 480);
    ASSERT_GT(d.frames.size(), 10u) << r.log;
    // The stream loops, so the stamps restart at 0 at each pass; within one
    // pass they rise strictly.
    std::vector<int> stamps;
    for (const std::string &f : d.frames) stamps.push_back(rgb_stamp(f, 640, 480));
    int wraps = 0;
    for (size_t i = 0; i < stamps.size(); i++) {
        ASSERT_GE(stamps[i], 0) << "picture " << i << " has no readable stamp";
        if (i > 0 && stamps[i] <= stamps[i - 1]) {
            wraps++;
            EXPECT_LT(stamps[i], stamps[i - 1] - 30)
                << "picture " << i << ": stamp " << stamps[i] << " after " << stamps[i - 1];
        }
    }
    EXPECT_LE(wraps, 3);
}
