// End-to-end runs of the stream intake on the simulated board: start-up and
// decoder choice, decoding of whole streams, parameter-set changes, stalls,
// refused packets, deferred H.265 opening and the reader's input handling.
#include "tests/e2e/sim_run.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;
using Args = std::vector<std::string>;

SimRunResult play(TestDir &dir, const char *stream, Env env = {}, Args feed = {}) {
    SimRunOpts o;
    o.input = stream_path(stream);
    o.env = std::move(env);
    o.feed = std::move(feed);
    return sim_run(dir, o);
}

// A paced feed of 100 access units per second: a stall of 45 packets then
// lasts at least 450 ms, longer than the stall time the tests set.
Args paced(const char *codec, int loops = 1) {
    return {"--codec", codec, "--fps", "100", "--loop", std::to_string(loops)};
}

// Pictures a whole stream yields (every stream ends with an access unit
// delimiter, so its last picture leaves the parser too).
long whole_stream(const char *stream) {
    long n = stream_frames(stream);
    EXPECT_GT(n, 0) << stream << ": no picture count; did the streams fixture run?";
    return n;
}

bool has_exact_line(const std::string &log, const std::string &line) {
    for (const std::string &l : log_lines(log))
        if (l == line) return true;
    return false;
}

// The first line matching `re` as a whole: the line and its groups; empty when none.
std::vector<std::string> match_line(const std::string &log, const char *re) {
    std::regex rx(re);
    std::smatch m;
    for (const std::string &l : log_lines(log))
        if (std::regex_match(l, m, rx)) return std::vector<std::string>(m.begin(), m.end());
    return {};
}

// Offset of the first H.265 slice's 00 00 01 in a file, or -1.
long first_hevc_slice(const char *stream) {
    FILE *f = fopen(stream_path(stream).c_str(), "rb");
    if (!f) return -1;
    std::vector<unsigned char> b(1 << 16);
    size_t n = fread(b.data(), 1, b.size(), f);
    fclose(f);
    for (size_t i = 0; i + 3 < n; i++)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && ((b[i + 3] >> 1) & 63) < 32)
            return (long)i;
    return -1;
}

const char *const kStall = "vex-mpp: decoder STALLED";
const char *const kDead = "vex-mpp: decoder DEAD";
const char *const kReopened = "— decoder reopened (#";
const char *const kReopenOff = "vex-mpp: parameter set CHANGED mid-stream — reopen off (rkmpp "
                               "in-band or VEX_KMS_PARAM_REOPEN=0); absorbing without a rebuild";
const char *const kInBand = "vex-mpp: parameter set CHANGED in a non-keyframe AU — in-band, no "
                            "reopen";

TEST(Caps, BothBinariesAnswerAndExit) {
    TestDir dir;
    for (const char *exe : {VEX_SIM_EXE, VEX_MPP_EXE}) {
        SimRunOpts o;
        o.exe = exe;
        o.args = {"--caps"};
        SimRunResult r = sim_run(dir, o);
        EXPECT_EQ(r.status, 0) << exe << "\n" << describe(r);
        EXPECT_EQ(r.out, "caps gles=1 encode=1\n") << exe;
    }
}

TEST(Startup, H264WithTheDefaultDecoder) {
    TestDir dir;
    SimRunResult r = play(dir, "h264_720p.h264");
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(sim_decoded(r), whole_stream("h264_720p.h264")) << describe(r);

    const char *const in_order[] = {
        "vex-mpp: pacing vblank (smooth) (VEX_SMOOTH=unset→on)",
        "vex-mpp: fit fit",
        "vex-mpp: aspect keep",
        "vex-mpp: flip none (rot 0x0)",
        "vex-mpp: dewarp off (k=-0.150/0.000/0.000 center=0.50,0.50 strength=1.00 zoom=1.00)",
        "vex-mpp: HW decoder = h264_v4l2m2m (h264)",
    };
    std::vector<std::string> lines = log_lines(r.log);
    size_t at = 0;
    for (const char *want : in_order) {
        while (at < lines.size() && lines[at] != want) at++;
        EXPECT_LT(at, lines.size()) << "missing or out of order: " << want << "\n" << describe(r);
        if (at == lines.size()) break;
    }
    for (const char *unwanted : {"CHANGED", "STALLED", "busy", "HEVC"})
        EXPECT_FALSE(has_line(r.log, unwanted)) << unwanted << "\n" << describe(r);
}

TEST(Startup, H265Decoders) {
    TestDir dir;
    const char *stream = "hevc_720p.h265";

    // "hevc" waits for the stream's parameter sets before it opens.
    SimRunResult r = play(dir, stream, {{"VEX_KMS_DECODER", "hevc"}});
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    int hw = find_line(r.log, "vex-mpp: HW decoder = hevc (h265)");
    int dev = find_line(r.log, "vex-mpp: HEVC via v4l2-request DRM hwaccel (device auto)");
    std::vector<std::string> m = match_line(
        r.log, R"(vex-mpp: HEVC decoder opened with (\d+)-byte extradata \(VPS/SPS/PPS\))");
    EXPECT_GE(hw, 0) << describe(r);
    EXPECT_GE(dev, 0) << describe(r);
    ASSERT_FALSE(m.empty()) << describe(r);
    EXPECT_LT(hw, find_line(r.log, "HEVC decoder opened"));
    // The extradata is everything ahead of the first slice: VPS, SPS, PPS, SEI.
    long slice = first_hevc_slice(stream);
    long len = std::stol(m[1]);
    EXPECT_TRUE(len == slice || len == slice - 1) << len << " vs first slice at " << slice;
    EXPECT_EQ(count_lines(r.log, "HEVC decoder opened"), 1);
    EXPECT_EQ(sim_decoded(r), whole_stream(stream)) << describe(r);

    // The MPP decoder opens at once and needs no DRM device.
    r = play(dir, stream, {{"VEX_KMS_DECODER", "hevc_rkmpp"}});
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(has_exact_line(r.log, "vex-mpp: HW decoder = hevc_rkmpp (h265)")) << describe(r);
    EXPECT_FALSE(has_line(r.log, "HEVC via")) << describe(r);
    EXPECT_FALSE(has_line(r.log, "HEVC decoder opened")) << describe(r);
    EXPECT_EQ(sim_decoded(r), whole_stream(stream)) << describe(r);
}

TEST(Startup, DecoderThatCannotBeSetUp) {
    TestDir dir;
    SimRunResult r = play(dir, "h264_720p.h264", {{"VEX_KMS_DECODER", "nosuch"}});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_TRUE(has_exact_line(r.log, "vex-mpp: nosuch decoder missing")) << describe(r);
    EXPECT_FALSE(has_line(r.log, "HW decoder =")) << describe(r);

    r = play(dir, "h264_720p.h264", {{"VEX_SIM_DEC_OPEN_FAIL", "1"}});
    EXPECT_EQ(r.status, 1) << describe(r);
    EXPECT_TRUE(has_exact_line(r.log, "vex-mpp: open codec failed")) << describe(r);
    EXPECT_LE(sim_decoded(r), 0) << describe(r);

    // A failed deferred open stops the intake but is not fatal.
    r = play(dir, "hevc_720p.h265", {{"VEX_KMS_DECODER", "hevc"}, {"VEX_SIM_DEC_OPEN_FAIL", "1"}});
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(has_exact_line(r.log, "vex-mpp: deferred HEVC open failed")) << describe(r);
    EXPECT_FALSE(has_line(r.log, "HEVC decoder opened")) << describe(r);
}

TEST(ParamSets, ResolutionChangeReopensOnce) {
    TestDir dir;
    const char *stream = "h264_reschange.h264";
    SimRunResult r = play(dir, stream);
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    std::vector<std::string> m =
        match_line(r.log, R"(vex-mpp: parameter set CHANGED mid-stream \(extradata (\d+) B\))"
                          R"( — decoder reopened \(#1\))");
    ASSERT_FALSE(m.empty()) << describe(r);
    EXPECT_GT(std::stol(m[1]), 8); // SPS and PPS with their start codes
    EXPECT_EQ(count_lines(r.log, kReopened), 1) << describe(r);
    EXPECT_EQ(count_lines(r.log, "CHANGED"), 1) << describe(r);
    EXPECT_EQ(sim_decoded(r), whole_stream(stream)) << describe(r);
}

TEST(ParamSets, RepeatedIdenticalSetsAreNoChange) {
    TestDir dir;
    const char *stream = "h264_repeat_ps.h264";
    SimRunResult r = play(dir, stream);
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_FALSE(has_line(r.log, "CHANGED")) << describe(r);
    EXPECT_EQ(sim_decoded(r), whole_stream(stream)) << describe(r);
}

TEST(ParamSets, SpsChangeWithoutIdrStaysInBand) {
    TestDir dir;
    const char *stream = "h264_sps_nonidr.h264";
    SimRunResult r = play(dir, stream);
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(count_lines(r.log, kInBand), 1) << describe(r);
    EXPECT_EQ(count_lines(r.log, "CHANGED"), 1) << describe(r);
    EXPECT_FALSE(has_line(r.log, kReopened)) << describe(r);
    EXPECT_EQ(sim_decoded(r), whole_stream(stream)) << describe(r);
}

TEST(ParamSets, ReopenSwitchedOff) {
    TestDir dir;
    const char *stream = "h264_reschange.h264";
    const Env off_cases[] = {
        {{"VEX_KMS_PARAM_REOPEN", "0"}},
        {{"VEX_KMS_DECODER", "h264_rkmpp"}},
    };
    for (const Env &env : off_cases) {
        SimRunResult r = play(dir, stream, env);
        ASSERT_FALSE(r.timed_out) << describe(r);
        EXPECT_EQ(r.status, 0) << env[0].first << "\n" << describe(r);
        EXPECT_EQ(count_lines(r.log, kReopenOff), 1) << env[0].first << "\n" << describe(r);
        EXPECT_FALSE(has_line(r.log, kReopened)) << env[0].first << "\n" << describe(r);
    }
    // A non-empty VEX_KMS_PARAM_REOPEN other than 0 switches it on even for rkmpp.
    SimRunResult r =
        play(dir, stream, {{"VEX_KMS_DECODER", "h264_rkmpp"}, {"VEX_KMS_PARAM_REOPEN", "1"}});
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(count_lines(r.log, kReopened), 1) << describe(r);
    EXPECT_FALSE(has_line(r.log, "reopen off")) << describe(r);
}

// STALLED line: packets, ms, decoded, shown, busy drops, stall number.
const char *const kStallRe = R"(vex-mpp: decoder STALLED — (\d+) packets / (\d+) ms without a )"
                             R"(frame \(dec=(\d+) shown=(\d+) drops=(\d+)\) — flushing, waiting )"
                             R"(for a keyframe \(#1\))";
// DEAD line: packets, ms, decoded, shown, re-opens, busy drops.
const char *const kDeadRe = R"(vex-mpp: decoder DEAD — (\d+) packets / (\d+) ms without a frame )"
                            R"(\(dec=(\d+) shown=(\d+) reopens=(\d+) drops=(\d+)\) — exiting for )"
                            R"(respawn)";

TEST(Stall, FlushedAndTheProcessGoesOn) {
    TestDir dir;
    SimRunResult r =
        play(dir, "h264_720p.h264", {{"VEX_SIM_DEC_STALL_AFTER", "10"}, {"VEX_KMS_DEAD_MS", "300"}},
             paced("h264", 2));
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    std::vector<std::string> m = match_line(r.log, kStallRe);
    ASSERT_FALSE(m.empty()) << describe(r);
    EXPECT_GE(std::stol(m[1]), 45);
    EXPECT_GE(std::stol(m[2]), 300);
    EXPECT_EQ(std::stol(m[3]), 10);
    EXPECT_EQ(std::stol(m[5]), 0);
    EXPECT_FALSE(has_line(r.log, kDead)) << describe(r);
    EXPECT_EQ(sim_decoded(r), 10) << describe(r);
}

TEST(Stall, DecodingResumesAfterTheFlush) {
    TestDir dir;
    SimRunResult r = play(dir, "h264_720p.h264",
                          {{"VEX_SIM_DEC_STALL_AFTER", "10"},
                           {"VEX_SIM_DEC_STALL_UNTIL_FLUSH", "1"},
                           {"VEX_KMS_DEAD_MS", "300"}},
                          paced("h264", 2));
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(count_lines(r.log, kStall), 1) << describe(r);
    EXPECT_GT(sim_decoded(r), 10 + 45) << describe(r);
}

TEST(Stall, DetectionSwitchedOff) {
    TestDir dir;
    // 49 packets without a frame after the 10th picture, over about 490 ms.
    SimRunResult r =
        play(dir, "h264_720p.h264", {{"VEX_SIM_DEC_STALL_AFTER", "10"}, {"VEX_KMS_DEAD_MS", "0"}},
             paced("h264"));
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_FALSE(has_line(r.log, kStall)) << describe(r);
    EXPECT_FALSE(has_line(r.log, kDead)) << describe(r);
    EXPECT_EQ(sim_decoded(r), 10) << describe(r);
}

TEST(Stall, FatalAfterAReopen) {
    TestDir dir;
    // 30 pictures at 720p, the re-open, 5 pictures at 360p, then nothing.
    SimRunResult r =
        play(dir, "h264_reschange.h264",
             {{"VEX_SIM_DEC_STALL_AFTER", "35"}, {"VEX_KMS_DEAD_MS", "300"}}, paced("h264"));
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 3) << describe(r);
    EXPECT_EQ(count_lines(r.log, kReopened), 1) << describe(r);
    EXPECT_FALSE(has_line(r.log, kStall)) << describe(r);
    std::vector<std::string> m = match_line(r.log, kDeadRe);
    ASSERT_FALSE(m.empty()) << describe(r);
    EXPECT_GE(std::stol(m[1]), 45);
    EXPECT_GE(std::stol(m[2]), 300);
    EXPECT_EQ(std::stol(m[3]), 35);
    EXPECT_EQ(std::stol(m[5]), 1);
}

TEST(Stall, FatalAtOnceWithDeadExit) {
    TestDir dir;
    SimRunResult r = play(
        dir, "h264_720p.h264",
        {{"VEX_SIM_DEC_STALL_AFTER", "10"}, {"VEX_KMS_DEAD_MS", "300"}, {"VEX_KMS_DEAD_EXIT", "1"}},
        paced("h264", 2));
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 3) << describe(r);
    EXPECT_FALSE(has_line(r.log, kStall)) << describe(r);
    std::vector<std::string> m = match_line(r.log, kDeadRe);
    ASSERT_FALSE(m.empty()) << describe(r);
    EXPECT_EQ(std::stol(m[3]), 10);
    EXPECT_EQ(std::stol(m[5]), 0);
}

TEST(Busy, RefusedPacketsAreDroppedAndReportedByCount) {
    TestDir dir;
    // From the 5th send on, 70 sends are refused: at least 35 packets dropped.
    SimRunResult r = play(dir, "h264_720p.h264", {{"VEX_SIM_DEC_BUSY", "5:70"}});
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_TRUE(has_line(r.log, "vex-mpp: send_packet busy #1 (dropped) dec=4 shown="))
        << describe(r);
    EXPECT_TRUE(has_line(r.log, "vex-mpp: send_packet busy #31 (dropped) dec=4 shown="))
        << describe(r);
    EXPECT_FALSE(has_line(r.log, "busy #2 ")) << describe(r);
    EXPECT_FALSE(has_line(r.log, "busy #30 ")) << describe(r);
    // The packets after the refusals are decoded again.
    EXPECT_GT(sim_decoded(r), 4) << describe(r);
}

TEST(Hevc, SlicesBeforeTheParameterSets) {
    TestDir dir;
    const char *stream = "hevc_slices_first.h265";
    SimRunResult r = play(dir, stream, {{"VEX_KMS_DECODER", "hevc"}});
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(count_lines(r.log, "vex-mpp: HEVC decoder opened with "), 1) << describe(r);
    EXPECT_FALSE(has_line(r.log, "deferred HEVC open failed")) << describe(r);
    // Every picture from the first parameter sets on.
    EXPECT_EQ(sim_decoded(r), whole_stream(stream)) << describe(r);
}

TEST(Reader, ReadSizes) {
    TestDir dir;
    const char *stream = "h264_720p.h264";
    for (const char *bytes : {"4096", "65536", "100000", "1000"}) {
        SimRunResult r = play(dir, stream, {{"VEX_KMS_READ_BYTES", bytes}});
        ASSERT_FALSE(r.timed_out) << bytes << "\n" << describe(r);
        EXPECT_EQ(r.status, 0) << bytes << "\n" << describe(r);
        EXPECT_EQ(sim_decoded(r), whole_stream(stream)) << bytes << "\n" << describe(r);
    }
}

TEST(Reader, InputClosedMidStream) {
    TestDir dir;
    Args feed = paced("h264");
    feed.insert(feed.end(), {"--count", "20"});
    SimRunResult r = play(dir, "h264_720p.h264", {}, feed);
    ASSERT_FALSE(r.timed_out) << describe(r);
    EXPECT_EQ(r.status, 0) << describe(r);
    EXPECT_EQ(sim_decoded(r), 19) << describe(r);
}

} // namespace
