#include "core/live_tuning.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "core/config.h"
#include "core/detect_engine.h"
#include "gpu/gpu_pass.h"
#include "overlay/detect.h"
#include "stream/detect_queue.h"
#include "tests/unit/png_io.h"

extern "C" {
#include <libavcodec/packet.h>
}

namespace {

// Writes a control file with a modification time of its own (seconds apart).
void put(const std::string &path, const std::string &text) {
    static long stamp = 1000000;
    ASSERT_TRUE(put_text(path, text, stamp++));
}

int count(const std::string &log, const std::string &needle) {
    int n = 0;
    for (size_t at = 0; (at = log.find(needle, at)) != std::string::npos; at += needle.size()) n++;
    return n;
}

// One tuning poll; returns what it logged.
std::string poll_tuning() {
    testing::internal::CaptureStderr();
    tuning_poll();
    return testing::internal::GetCapturedStderr();
}

TEST(LiveTuning, FileSetsValuesAndNothingElseDoes) {
    const std::string dir = unit_temp_dir("live-tuning"), path = dir + "/dewarp";
    setenv("VEX_KMS_DEWARP_FILE", path.c_str(), 1);
    EXPECT_EQ(poll_tuning(), ""); // no file: quiet

    // Keys in file order, the last of a repeated key winning; blanks optional.
    put(path, "zoom=1.2\nk1 = -0.3\n  cx=0.4\nbright=0.1\ncontrast=1.5\nsat=0.8\ntemp=-0.2\n"
              "lutmix=0.5\nstrength=0.9\nvscale=1.1\nk2=0.05\nk3=0.01\ncy=0.6\nzoom = 1.3\n"
              "aspect=16:9-and-a-long-tail\nfit=cover\nflip=h\ndsiflip=180\nsmooth=0\n"
              "lut=/luts/a.cube\n");
    std::string log = poll_tuning();
    EXPECT_EQ(count(log, "vex-mpp: dewarp LIVE s=0.90 k1=-0.300 k2=0.050 cx=0.40 cy=0.60 "
                         "zoom=1.30 vscale=1.10 | cg b=0.10 c=1.50 sat=0.80 temp=-0.20 | "
                         "aspect=16:9-and-a-long fit=cover flip=h dsiflip=180 smooth=0\n"),
              1)
        << log;
    EXPECT_FLOAT_EQ(g_dw_k3, 0.01f);
    EXPECT_FLOAT_EQ(g_lut_mix, 0.5f);
    EXPECT_EQ(g_rot_val, 0x11u);
    EXPECT_STREQ(g_lut_path, "/luts/a.cube");
    EXPECT_EQ(g_lut_on, 1);
    EXPECT_EQ(poll_tuning(), ""); // unchanged: quiet

    // LUT off keeps the path; the same path again switches it back on and
    // reloads; the dsiflip "-" removes the override; smooth back on.
    g_lut_mtime = 77;
    put(path, "lut=-\ndsiflip=-\nflip=v\nsmooth=1\n");
    log = poll_tuning();
    EXPECT_EQ(g_lut_on, 0);
    EXPECT_STREQ(g_lut_path, "/luts/a.cube");
    EXPECT_EQ(g_flip_dsi, nullptr);
    EXPECT_EQ(g_rot_val, 0x21u);
    EXPECT_EQ(g_smooth, 1);
    EXPECT_NE(log.find("flip=v dsiflip=- smooth=1\n"), std::string::npos) << log;
    put(path, "lut=/luts/a.cube\n");
    poll_tuning();
    EXPECT_EQ(g_lut_on, 1);
    EXPECT_EQ(g_lut_mtime, 0);

    // Malformed, unknown, unparsable, non-finite, over-long values and lines
    // longer than 159 characters (even ending in a valid line) change nothing;
    // the file still counts as read.
    const std::string long_value = "lut=/" + std::string(120, 'x') + "\n";
    put(path, "zoom\n= 2\nZOOM=2\nzoom:2\nzoomy=2\nzoom=abc\nzoom=nan\nk1=inf\nflip=\n" +
                  long_value + std::string(300, 'a') + " zoom=2\n" + std::string(2000, ' ') +
                  "zoom=2\n\x01zoom=2\n");
    log = poll_tuning();
    EXPECT_EQ(count(log, "dewarp LIVE"), 1);
    EXPECT_FLOAT_EQ(g_dw_zoom, 1.3f);
    EXPECT_FLOAT_EQ(g_dw_k1, -0.3f);
    EXPECT_STREQ(g_flip, "v");
    EXPECT_STREQ(g_lut_path, "/luts/a.cube");

    // A file over the size cap is read up to it, without the line the cap cuts
    // ("zoom=25" would read as zoom=2).
    put(path, std::string(64 * 1024 - 6, '\n') + "zoom=25\n");
    log = poll_tuning();
    EXPECT_EQ(count(log, "dewarp LIVE"), 1) << log;
    EXPECT_FLOAT_EQ(g_dw_zoom, 1.3f);

    // Paths that are not regular files are never read (and never block).
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir + "/dir").c_str(), 0700), 0);
    for (std::string p : {dir + "/fifo", dir + "/dir", std::string("/dev/zero")}) {
        setenv("VEX_KMS_DEWARP_FILE", p.c_str(), 1);
        EXPECT_EQ(count(poll_tuning(), "dewarp LIVE"), 0) << p;
        EXPECT_FLOAT_EQ(g_dw_zoom, 1.3f) << p;
    }
    unsetenv("VEX_KMS_DEWARP_FILE");
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

// A packet holding an H.264 IDR slice (key) or a non-IDR one.
AVPacket *packet(bool key) {
    AVPacket *p = av_packet_alloc();
    av_new_packet(p, 8);
    const uint8_t bytes[8] = {0, 0, 0, 1, (uint8_t)(key ? 0x65 : 0x41), 0x88, 0x84, 0x00};
    memcpy(p->data, bytes, sizeof bytes);
    return p;
}

int queued() {
    pthread_mutex_lock(&detq_lock);
    int n = detq_n;
    pthread_mutex_unlock(&detq_lock);
    return n;
}

int poll_detect(std::string *log) {
    testing::internal::CaptureStderr();
    int dirty = detect_poll();
    *log += testing::internal::GetCapturedStderr();
    return dirty;
}

TEST(DetectToggle, NoEngineThenTheFixedBoxEngineEndToEnd) {
    const std::string dir = unit_temp_dir("live-tuning"), path = dir + "/detect",
                      model = dir + "/model";
    setenv("VEX_KMS_DETECT", path.c_str(), 1);
    setenv("VEX_KMS_DETECT_MODEL", model.c_str(), 1);
    AVPacket *key = packet(true), *other = packet(false);

    // No engine takes the model: detection stays off and the reader's pushes
    // queue nothing (the log lines are checked end to end).
    std::string log;
    put(path, "on\n");
    EXPECT_EQ(poll_detect(&log), 1);
    EXPECT_EQ(g_detect.load(), 0);
    detq_push_clone(key);
    EXPECT_EQ(queued(), 0);

    // The fixed-box engine: its boxes on every key frame, tagged by count.
    put(model, "vex-mpp fixed-box detector\nbox 0.25 0.5 0.1 0.2 0.87\nbox junk\n");
    put(path, "1\n");
    log.clear();
    EXPECT_EQ(poll_detect(&log), 1);
    EXPECT_EQ(g_detect.load(), 1);
    EXPECT_EQ(det_running.load(), 1);
    Detection d[det_max];
    for (int k = 1; k <= 2; k++) {
        detq_push_clone(other);
        detq_push_clone(key);
        for (int i = 0; i < 500 && (detect_copy(d) == 0 || d[0].tag != k); i++) usleep(2000);
        ASSERT_EQ(detect_copy(d), 1);
        EXPECT_EQ(d[0].tag, k);
        EXPECT_EQ(poll_detect(&log), 1); // new results: recompose
        EXPECT_EQ(poll_detect(&log), 0);
    }
    // The file gone: the thread joined, the queue and the results emptied.
    unlink(path.c_str());
    EXPECT_EQ(poll_detect(&log), 1);
    EXPECT_EQ(det_running.load(), 0);
    EXPECT_EQ(g_detect.load(), 0);
    EXPECT_EQ(detect_copy(d), 0);
    detq_push_clone(key);
    EXPECT_EQ(queued(), 0);

    av_packet_free(&key);
    av_packet_free(&other);
    unsetenv("VEX_KMS_DETECT");
    unsetenv("VEX_KMS_DETECT_MODEL");
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

} // namespace
