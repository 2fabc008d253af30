// End-to-end runs of the stream intake on the simulated board: start-up and
// decoder choice, decoding of whole streams, parameter-set changes, stalls,
// refused packets, deferred H.265 opening and the reader's input handling.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

using Args = std::vector<std::string>;

constexpr long kWhole = -2; // every picture of the stream
constexpr long kMany = 1L << 30;

const char *const kStall = "vex-mpp: decoder STALLED";
const char *const kDead = "vex-mpp: decoder DEAD";
const char *const kReopened = "— decoder reopened (#";
const char *const kReopenOff = "vex-mpp: parameter set CHANGED mid-stream — reopen off (rkmpp "
                               "in-band or VEX_KMS_PARAM_REOPEN=0); absorbing without a rebuild";
// STALLED and DEAD lines (packets and ms without a frame first), with the counts given.
std::string stalled(const char *counts) {
    return std::string(
               R"(vex-mpp: decoder STALLED — (\d+) packets / (\d+) ms without a frame \()") +
           counts + R"(\) — flushing, waiting for a keyframe \(#1\))";
}
std::string dead(const char *counts) {
    return std::string(R"(vex-mpp: decoder DEAD — (\d+) packets / (\d+) ms without a frame \()") +
           counts + R"(\) — exiting for respawn)";
}

// A paced feed of 100 access units per second: a stall of 45 packets then
// lasts at least 450 ms, longer than the stall time the cases set.
Args paced(int loops, const char *count = "-1") {
    return {"--codec", "h264", "--fps", "100", "--loop", std::to_string(loops), "--count", count};
}

// One run of `stream` (paced through vex-feed with `feed`, else the file
// itself on standard input) that must end with `status` after decoding lo to
// hi frames (kWhole: the stream's picture count), with each of `once` in
// exactly one log line, none of `never` in any, and, when given, one line that
// matches `line_re` whole with its numbers at least `at_least`.
SimRunResult check(TestDir &dir, const char *stream, const SimEnv &env, const Args &feed,
                   int status, long lo, long hi, const std::vector<std::string> &once,
                   const std::vector<std::string> &never, const std::string &line_re = "",
                   const std::vector<long long> &at_least = {}) {
    std::string name = stream;
    for (const auto &kv : env) name += " " + kv.first + "=" + kv.second;
    SCOPED_TRACE(name);
    SimRunOpts o;
    o.input = stream_path(stream);
    o.env = env;
    o.feed = feed;
    SimRunResult r = sim_run(dir, o);
    const std::string what = describe(r);
    EXPECT_TRUE(!r.timed_out && r.status == status) << "expected status " << status << "\n" << what;
    // Every stream ends with an access unit delimiter, so that its last
    // picture leaves the parser too.
    const long whole = stream_frames(stream);
    EXPECT_GT(whole, 0) << "no picture count; did the streams fixture run?";
    lo = lo == kWhole ? whole : lo, hi = hi == kWhole ? whole : hi;
    EXPECT_TRUE(sim_decoded(r) >= lo && sim_decoded(r) <= hi)
        << "decoded " << sim_decoded(r) << " frames, expected " << lo << ".." << hi << "\n"
        << what;
    for (const std::string &l : once) EXPECT_EQ(count_lines(r.log, l), 1) << l << "\n" << what;
    for (const std::string &l : never) EXPECT_FALSE(has_line(r.log, l)) << l << "\n" << what;
    if (line_re.empty()) return r;
    auto m = match_lines(r.log, line_re);
    EXPECT_EQ(m.size(), 1u) << line_re << "\n" << what;
    for (size_t i = 0; !m.empty() && i < at_least.size(); i++)
        EXPECT_GE(m[0][i], at_least[i]) << "number " << i + 1 << " of the line\n" << what;
    return r;
}

TEST(Startup, DecodersAndTheirFailures) {
    TestDir dir;
    for (const char *exe : {VEX_SIM_EXE, VEX_MPP_EXE}) {
        SimRunOpts o;
        o.exe = exe;
        o.args = {"--caps"};
        SimRunResult r = sim_run(dir, o);
        EXPECT_EQ(r.status, 0) << exe << "\n" << describe(r);
        EXPECT_EQ(r.out, "caps gles=1 encode=1\n") << exe;
    }
    {
        // In a sanitizer build, a log_path whose directory does not exist yet
        // is made by the sanitizer runtime while it starts, through mkdir.
        SimRunOpts o;
        o.args = {"--caps"};
        for (const char *var : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
            const char *old = getenv(var);
            o.env.push_back({var, std::string(old ? old : "") + ":log_path=" + dir.path + "/san-" +
                                      var + "/log"});
        }
        SimRunResult r = sim_run(dir, o);
        EXPECT_EQ(r.status, 0) << describe(r);
    }

    SimRunResult r = check(dir, "h264_720p.h264", {}, {}, 0, kWhole, kWhole, {},
                           {"CHANGED", "STALLED", "busy", "HEVC"});
    expect_in_order(
        r.log,
        {"vex-mpp: pacing vblank (smooth) (VEX_SMOOTH=unset→on)", "vex-mpp: fit fit",
         "vex-mpp: aspect keep", "vex-mpp: flip none (rot 0x0)",
         "vex-mpp: dewarp off (k=-0.150/0.000/0.000 center=0.50,0.50 strength=1.00 zoom=1.00)",
         "vex-mpp: HW decoder = h264_v4l2m2m (h264)"},
        describe(r));

    // "hevc" waits for the stream's parameter sets before it opens, with all
    // that comes ahead of the first slice (VPS, SPS, PPS, SEI) as extradata.
    const char *hevc = "hevc_720p.h265";
    // Its parameter sets repeat unchanged at every IDR: never a re-open.
    r = check(dir, hevc, {{"VEX_KMS_DECODER", "hevc"}}, {}, 0, kWhole, kWhole, {}, {"CHANGED"},
              R"(vex-mpp: HEVC decoder opened with (\d+)-byte extradata \(VPS/SPS/PPS\))");
    expect_in_order(r.log,
                    {"vex-mpp: HW decoder = hevc (h265)",
                     "vex-mpp: HEVC via v4l2-request DRM hwaccel (device auto)",
                     "vex-mpp: HEVC decoder opened with "},
                    describe(r), false);
    const std::string bytes = read_file(stream_path(hevc));
    size_t slice = 0; // the first 00 00 01 of a slice (NAL type below 32)
    while (slice + 3 < bytes.size() && (bytes.compare(slice, 3, std::string("\0\0\1", 3)) != 0 ||
                                        ((bytes[slice + 3] >> 1) & 63) >= 32))
        slice++;
    const long long len = number_after(r.log, "vex-mpp: HEVC decoder opened with ");
    EXPECT_TRUE(len == (long long)slice || len == (long long)slice - 1) << len << " vs " << slice;

    // The MPP decoder opens at once and needs no DRM device.
    check(dir, hevc, {{"VEX_KMS_DECODER", "hevc_rkmpp"}}, {}, 0, kWhole, kWhole,
          {"vex-mpp: HW decoder = hevc_rkmpp (h265)"}, {"HEVC via", "HEVC decoder opened"});
    // Slices ahead of the parameter sets: every picture from these on.
    check(dir, "hevc_slices_first.h265", {{"VEX_KMS_DECODER", "hevc"}}, {}, 0, kWhole, kWhole,
          {"vex-mpp: HEVC decoder opened with "}, {"deferred HEVC open failed"});
    // The same read in one piece: what follows the skipped slices is already there.
    check(dir, "hevc_slices_first_small.h265",
          {{"VEX_KMS_DECODER", "hevc"}, {"VEX_KMS_READ_BYTES", "65536"}}, {}, 0, kWhole, kWhole,
          {"vex-mpp: HEVC decoder opened with "}, {});
    check(dir, "h264_720p.h264", {{"VEX_KMS_DECODER", "nosuch"}}, {}, 1, -1, kMany,
          {"vex-mpp: nosuch decoder missing"}, {"HW decoder ="});
    check(dir, "h264_720p.h264", {{"VEX_SIM_DEC_OPEN_FAIL", "1"}}, {}, 1, -1, 0,
          {"vex-mpp: open codec failed"}, {});
    // A failed deferred open stops the intake but is not fatal.
    check(dir, hevc, {{"VEX_KMS_DECODER", "hevc"}, {"VEX_SIM_DEC_OPEN_FAIL", "1"}}, {}, 0, -1, 0,
          {"vex-mpp: deferred HEVC open failed"}, {"HEVC decoder opened"});
}

TEST(ParamSets, ChangesReopenOnceUnlessInBandOrSwitchedOff) {
    TestDir dir;
    const char *res = "h264_reschange.h264";
    // SPS and PPS with their start codes: more than 8 bytes.
    check(
        dir, res, {}, {}, 0, kWhole, kWhole, {"CHANGED"}, {},
        R"(vex-mpp: parameter set CHANGED mid-stream \(extradata (\d+) B\) — decoder reopened \(#1\))",
        {9});
    check(dir, "h264_repeat_ps.h264", {}, {}, 0, kWhole, kWhole, {}, {"CHANGED"});
    // Two PPS (ids 0 and 1) ahead of every key frame: each id repeats unchanged.
    check(dir, "h264_two_pps.h264", {}, {}, 0, kWhole, kWhole, {}, {"CHANGED"});
    check(dir, "hevc_two_pps.h265", {{"VEX_KMS_DECODER", "hevc"}}, {}, 0, kWhole, kWhole, {},
          {"CHANGED"});
    check(dir, "hevc_two_pps.h265", {{"VEX_KMS_DECODER", "hevc_rkmpp"}}, {}, 0, kWhole, kWhole, {},
          {"CHANGED"});
    check(dir, "h264_sps_nonidr.h264", {}, {}, 0, kWhole, kWhole,
          {"vex-mpp: parameter set CHANGED in a non-keyframe AU — in-band, no reopen", "CHANGED"},
          {kReopened});
    check(dir, res, {{"VEX_KMS_PARAM_REOPEN", "0"}}, {}, 0, -1, kMany, {kReopenOff}, {kReopened});
    check(dir, res, {{"VEX_KMS_DECODER", "h264_rkmpp"}}, {}, 0, -1, kMany, {kReopenOff},
          {kReopened});
    // Any other non-empty value switches it on, even for rkmpp.
    check(dir, res, {{"VEX_KMS_DECODER", "h264_rkmpp"}, {"VEX_KMS_PARAM_REOPEN", "1"}}, {}, 0, -1,
          kMany, {kReopened}, {"reopen off"});
}

// The simulated decoder stops handing back frames after the 10th picture.
const SimEnv kStall10{{"VEX_SIM_DEC_STALL_AFTER", "10"}, {"VEX_KMS_DEAD_MS", "300"}};

// kStall10 with one variable set or added.
SimEnv with(SimEnv env, const char *name, const char *value) {
    auto it = std::find_if(env.begin(), env.end(), [&](auto &kv) { return kv.first == name; });
    if (it == env.end()) it = env.insert(it, {name, ""});
    it->second = value;
    return env;
}

TEST(Stall, FlushedOrSwitchedOff) {
    TestDir dir;
    // Flushed, and the process goes on (the decoder stays stalled).
    check(dir, "h264_720p.h264", kStall10, paced(2), 0, 10, 10, {}, {kDead},
          stalled("dec=10 shown=\\d+ drops=0"), {45, 300});
    check(dir, "h264_720p.h264", with(kStall10, "VEX_SIM_DEC_STALL_UNTIL_FLUSH", "1"), paced(2), 0,
          10 + 45 + 1, kMany, {kStall}, {});
    // Detection off: 49 packets without a frame after the 10th, about 490 ms.
    check(dir, "h264_720p.h264", with(kStall10, "VEX_KMS_DEAD_MS", "0"), paced(1), 0, 10, 10, {},
          {kStall, kDead});
}

TEST(Stall, FatalAfterAReopenOrWithDeadExit) {
    TestDir dir;
    // 30 pictures at 720p, the re-open, 5 pictures at 360p, then nothing.
    check(dir, "h264_reschange.h264", with(kStall10, "VEX_SIM_DEC_STALL_AFTER", "35"), paced(1), 3,
          35, 35, {kReopened}, {kStall}, dead("dec=35 shown=\\d+ reopens=1 drops=\\d+"), {45, 300});
    check(dir, "h264_720p.h264", with(kStall10, "VEX_KMS_DEAD_EXIT", "1"), paced(2), 3, 10, 10, {},
          {kStall}, dead("dec=10 shown=\\d+ reopens=0 drops=\\d+"), {45, 300});
}

TEST(Reader, RefusedPacketsReadSizesAndEarlyEnd) {
    TestDir dir;
    // From the 5th send on, 70 sends are refused: at least 35 packets
    // dropped, counted in the log; the packets after them are decoded.
    check(dir, "h264_720p.h264", {{"VEX_SIM_DEC_BUSY", "5:70"}}, {}, 0, 5, kMany,
          {"vex-mpp: send_packet busy #1 (dropped) dec=4 shown=",
           "vex-mpp: send_packet busy #31 (dropped) dec=4 shown="},
          {"busy #2 ", "busy #30 "});
    for (const char *bytes : {"4096", "65536"})
        check(dir, "h264_720p.h264", {{"VEX_KMS_READ_BYTES", bytes}}, {}, 0, kWhole, kWhole, {},
              {});
    // Input closed after 20 access units: the 20th leaves the parser at end of input.
    check(dir, "h264_720p.h264", {}, paced(1, "20"), 0, 20, 20, {}, {});
}

} // namespace
