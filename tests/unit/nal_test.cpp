#include <gtest/gtest.h>

#include <vector>

#include "stream/nal.h"
#include "stream/param_sets.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Appends a NAL unit with a 4-byte (long) or 3-byte start code.
void add_nal(Bytes &b, std::initializer_list<uint8_t> unit, bool long_sc = true) {
    if (long_sc) b.push_back(0);
    b.insert(b.end(), {0, 0, 1});
    b.insert(b.end(), unit);
}

bool key264(const Bytes &b) {
    return nal_is_key_packet(b.data(), b.size(), false);
}
bool key265(const Bytes &b) {
    return nal_is_key_packet(b.data(), b.size(), true);
}

TEST(Nal, H264KeyFramesAreIdrOrSpsWhateverTheNriBits) {
    for (uint8_t h : {0x65, 0x25, 0x05, 0x67, 0x27, 0x07}) {
        Bytes b;
        add_nal(b, {0x09, 0xf0}); // access unit delimiter first
        add_nal(b, {h, 0x88, 0x84}, false);
        EXPECT_TRUE(key264(b)) << std::hex << int(h);
    }
    for (uint8_t h : {0x41, 0x01, 0x68, 0x06, 0x0d, 0x0f, 0x15, 0x09}) {
        Bytes b;
        add_nal(b, {h, 0x9a, 0x00});
        EXPECT_FALSE(key264(b)) << std::hex << int(h);
    }
    // Too short to hold a start code and a header.
    EXPECT_FALSE(nal_is_key_packet((const uint8_t *)"\0\0\1", 3, false));
    const uint8_t idr[] = {0, 0, 1, 0x65};
    EXPECT_TRUE(nal_is_key_packet(idr, 4, false));
}

TEST(Nal, HevcKeyFramesAndRandomAccess) {
    auto hdr = [](int type) { return (uint8_t)(type << 1); };
    for (int t : {19, 20, 21, 32, 33}) {
        Bytes b;
        add_nal(b, {hdr(t), 0x01, 0xaf});
        EXPECT_TRUE(key265(b)) << t;
    }
    for (int t : {0, 1, 16, 17, 18, 22, 34, 35, 39}) {
        Bytes b;
        add_nal(b, {hdr(t), 0x01, 0xaf});
        EXPECT_FALSE(key265(b)) << t;
    }
    for (int t = 0; t < 40; t++) {
        Bytes b;
        add_nal(b, {hdr(t), 0x01});
        EXPECT_EQ(nal_has_random_access(b.data(), b.size(), true), t >= 16 && t <= 21) << t;
    }
    Bytes sps_only;
    add_nal(sps_only, {0x67, 0x42});
    EXPECT_FALSE(nal_has_random_access(sps_only.data(), sps_only.size(), false));
}

TEST(Nal, WalkSplitsUnitsWithTheirStartCodes) {
    Bytes b;
    add_nal(b, {0x67, 0x42, 0x1f});       // 4-byte start code: 7 bytes
    add_nal(b, {0x68, 0xce}, false);      // 3-byte start code: 5 bytes
    add_nal(b, {0x65, 0x88, 0x00, 0x00}); // ends in zeros before the next long start code
    add_nal(b, {0x41, 0x9a});
    std::vector<NalUnit> units;
    nal_walk(b.data(), b.size(), [&](const NalUnit &u) { units.push_back(u); });
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[0].start, 0u);
    EXPECT_EQ(units[0].len, 7u);
    EXPECT_EQ(units[1].start, 7u);
    EXPECT_EQ(units[1].len, 5u);
    EXPECT_EQ(units[1].header, 0x68);
    // The zero before the next 00 00 01 belongs to the next unit.
    EXPECT_EQ(units[2].start, 12u);
    EXPECT_EQ(units[2].len, 8u);
    EXPECT_EQ(units[3].start, 20u);
    EXPECT_EQ(units[3].len, b.size() - 20);
}

// The per-unit checks read the headers before the first slice and never the
// slice data behind it, where start-code-like bytes can be part of a picture.
TEST(Nal, UnitChecksStopAtTheFirstSlice) {
    Bytes p_then_idr;
    add_nal(p_then_idr, {0x09, 0xf0});
    add_nal(p_then_idr, {0x41, 0x9a, 0x00});
    add_nal(p_then_idr, {0x65, 0x88});
    EXPECT_FALSE(key264(p_then_idr));

    Bytes sets_around;
    add_nal(sets_around, {0x67, 0x42, 0x00, 0x1f, 0xe8}); // SPS 0, before the slice
    add_nal(sets_around, {0x41, 0x9a});
    add_nal(sets_around, {0x67, 0x42, 0x00, 0x20, 0xe8}); // SPS 0 again, inside slice data
    ParamSets ps{};
    EXPECT_EQ(param_sets_track(&ps, sets_around.data(), sets_around.size(), false), 0);
    ASSERT_NE(ps.e[1][0].data, nullptr);
    EXPECT_EQ(ps.e[1][0].data[4 + 3], 0x1f);
    int seen = 0;
    nal_walk_to_slice(sets_around.data(), sets_around.size(), false,
                      [&](const NalUnit &) { seen++; });
    EXPECT_EQ(seen, 1);
    param_sets_free(&ps);
}

ParamSets track_all(std::initializer_list<Bytes> aus, bool hevc, std::vector<int> *results) {
    ParamSets ps{};
    for (const Bytes &au : aus)
        results->push_back(param_sets_track(&ps, au.data(), au.size(), hevc));
    return ps;
}

TEST(ParamSets, OnlyRealChangesCount) {
    Bytes au1, au_same, au_bytes, au_len;
    add_nal(au1, {0x67, 0x42, 0x00, 0x1f, 0xe8}); // SPS 0
    add_nal(au1, {0x68, 0xce, 0x38});             // PPS 0
    add_nal(au1, {0x65, 0x88});
    au_same = au1;                                     // identical sets repeated before every IDR
    add_nal(au_bytes, {0x67, 0x42, 0x00, 0x20, 0xe8}); // same length, other bytes
    add_nal(au_bytes, {0x41, 0x9a});
    add_nal(au_len, {0x68, 0xce, 0x38, 0x80}); // longer PPS
    // The same sets behind three-byte start codes (the parser left the
    // leading zero in the previous access unit).
    Bytes au_short;
    add_nal(au_short, {0x67, 0x42, 0x00, 0x1f, 0xe8}, false);
    add_nal(au_short, {0x68, 0xce, 0x38}, false);
    std::vector<int> r;
    ParamSets ps = track_all({au1, au_same, au_short, au_same, au_bytes, au_len}, false, &r);
    EXPECT_EQ(r, (std::vector<int>{0, 0, 0, 0, 1, 1}));
    EXPECT_TRUE(param_sets_complete(&ps, false));
    EXPECT_FALSE(param_sets_complete(&ps, true)); // no VPS

    Bytes ed(param_sets_extradata_len(&ps, false));
    param_sets_write_extradata(&ps, false, ed.data());
    Bytes expect;
    add_nal(expect, {0x67, 0x42, 0x00, 0x20, 0xe8});
    add_nal(expect, {0x68, 0xce, 0x38, 0x80});
    EXPECT_EQ(ed, expect);
    param_sets_free(&ps);
}

TEST(ParamSets, HevcTracksVpsSpsPpsInOrder) {
    auto hdr = [](int type) { return (uint8_t)(type << 1); };
    Bytes au;
    // An SPS: VPS id 0, no sub-layers, a 12-byte profile/tier/level, SPS id 0.
    const Bytes sps0 = {hdr(33), 0x01, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x80};
    add_nal(au, {hdr(34), 0x01, 0xc1}); // PPS first in the packet
    add_nal(au, {hdr(32), 0x01, 0x0c});
    au.insert(au.end(), {0, 0, 0, 1});
    au.insert(au.end(), sps0.begin(), sps0.end());
    add_nal(au, {hdr(19), 0x01, 0xaf});
    std::vector<int> r;
    ParamSets ps = track_all({au}, true, &r);
    EXPECT_EQ(r, std::vector<int>{0});
    ASSERT_TRUE(param_sets_complete(&ps, true));
    Bytes ed(param_sets_extradata_len(&ps, true));
    param_sets_write_extradata(&ps, true, ed.data());
    EXPECT_EQ(ed[4], hdr(32));
    EXPECT_EQ(ed[4 + 7], hdr(33));
    EXPECT_EQ(ed[4 + 7 + 4 + sps0.size()], hdr(34));
    // An H.264 SPS header byte means nothing to an H.265 stream.
    Bytes other;
    add_nal(other, {0x67, 0x42});
    EXPECT_EQ(param_sets_track(&ps, other.data(), other.size(), true), 0);
    param_sets_free(&ps);
}

TEST(ParamSets, TrackedByIdAndReadThroughEmulationPrevention) {
    auto hdr = [](int type) { return (uint8_t)(type << 1); };
    // H.264: PPS 0 and PPS 1 ahead of every key frame are no change; PPS 1
    // with other bytes is.
    Bytes key, key_changed;
    add_nal(key, {0x67, 0x42, 0x00, 0x1f, 0xe8});
    add_nal(key, {0x68, 0xce, 0x38, 0x80}); // id 0 (ue "1")
    add_nal(key, {0x68, 0x4b, 0x38, 0x80}); // id 1 (ue "010")
    add_nal(key, {0x65, 0x88});
    add_nal(key_changed, {0x68, 0x4b, 0x3c, 0x80});
    std::vector<int> r;
    ParamSets ps = track_all({key, key, key, key_changed, key_changed}, false, &r);
    EXPECT_EQ(r, (std::vector<int>{0, 0, 0, 1, 0}));
    EXPECT_EQ(param_sets_extradata_len(&ps, false), 9u + 8u + 8u); // SPS, PPS 0, PPS 1
    param_sets_free(&ps);

    // H.265: two PPS, and an SPS whose id follows sub-layer profile data.
    const Bytes sps1 = {
        hdr(33), 0x01, 0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9,  10, 11, 12,
        0xc0,    0x00, 1,    2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0x40}; // one sub-layer, SPS id 1
    EXPECT_EQ(nal_param_set_id(sps1.data(), sps1.size(), 1, true), 1);
    Bytes hk;
    add_nal(hk, {hdr(32), 0x01, 0x0c});
    add_nal(hk, {hdr(34), 0x01, 0xc1});
    add_nal(hk, {hdr(34), 0x01, 0x41});
    add_nal(hk, {hdr(19), 0x01, 0xaf});
    r.clear();
    ps = track_all({hk, hk}, true, &r);
    EXPECT_EQ(r, (std::vector<int>{0, 0}));
    param_sets_free(&ps);

    // The 03 of 00 00 03 is not part of the SPS: level 0, then id 1.
    const uint8_t esc[] = {0x67, 0x00, 0x00, 0x03, 0x00, 0x40};
    EXPECT_EQ(nal_param_set_id(esc, sizeof esc, 1, false), 1);
    // Cut short or out of range: not tracked.
    const uint8_t cut[] = {0x67, 0x42, 0x00};
    EXPECT_EQ(nal_param_set_id(cut, sizeof cut, 1, false), -1);
    const uint8_t vps_ok[] = {hdr(32), 0x01, 0xfc};
    EXPECT_EQ(nal_param_set_id(vps_ok, sizeof vps_ok, 0, true), 15);
    const uint8_t sps_big[] = {0x67, 0x42, 0x00, 0x1f, 0x04, 0x20}; // ue 32
    EXPECT_EQ(nal_param_set_id(sps_big, sizeof sps_big, 1, false), -1);
}

HevcStart scan_once(const Bytes &b) {
    HevcScan st;
    return hevc_deferred_scan(&st, b.data(), b.size());
}

TEST(HevcDeferredScan, OpensAfterSetsAndSkipsUndecodableLeadingSlices) {
    auto hdr = [](int type) { return (uint8_t)(type << 1); };
    Bytes sets;
    add_nal(sets, {hdr(32), 0x01, 0x0c, 0x01});
    add_nal(sets, {hdr(33), 0x01, 0x01, 0x60});
    add_nal(sets, {hdr(34), 0x01, 0xc1, 0x72});
    Bytes slice;
    add_nal(slice, {hdr(1), 0x01, 0xd0, 0x12, 0x34});

    Bytes good = sets;
    good.insert(good.end(), slice.begin(), slice.end());
    HevcStart s = scan_once(good);
    EXPECT_EQ(s.open_at, sets.size() + 1); // position of the slice's 00 00 01
    EXPECT_EQ(s.drop, 0u);

    // Parameter sets alone: wait for the first slice.
    s = scan_once(sets);
    EXPECT_EQ(s.open_at, 0u);
    EXPECT_EQ(s.drop, 0u);

    // Slices first: everything up to the VPS goes, and the scan starts afresh there.
    Bytes late = slice;
    late.insert(late.end(), slice.begin(), slice.end());
    size_t vps_at = late.size();
    late.insert(late.end(), good.begin(), good.end());
    HevcScan st;
    s = hevc_deferred_scan(&st, late.data(), late.size());
    EXPECT_EQ(s.open_at, 0u);
    EXPECT_EQ(s.drop, vps_at);
    s = hevc_deferred_scan(&st, late.data() + vps_at, late.size() - vps_at);
    EXPECT_EQ(s.open_at, sets.size() + 1);

    // A slice after an SPS but no PPS cannot start decoding either.
    Bytes no_pps;
    add_nal(no_pps, {hdr(33), 0x01, 0x01, 0x60});
    no_pps.insert(no_pps.end(), slice.begin(), slice.end());
    s = scan_once(no_pps);
    EXPECT_EQ(s.open_at, 0u);
    EXPECT_EQ(s.drop, no_pps.size()); // nothing decodable has arrived yet

    // Only a partial start code survives; junk before the first start code goes.
    Bytes tail = slice;
    tail.insert(tail.end(), {0, 0});
    EXPECT_EQ(scan_once(tail).drop, tail.size() - 2);
    Bytes junk = {0x12, 0x34, 0x00};
    junk.insert(junk.end(), good.begin(), good.end());
    EXPECT_EQ(scan_once(junk).drop, 3u);
}

TEST(HevcDeferredScan, GrowingInputIsScannedOnce) {
    auto hdr = [](int type) { return (uint8_t)(type << 1); };
    // Many tiny units that are no slice, arriving a few bytes at a time: the
    // scan resumes where it stopped instead of starting over.
    Bytes in;
    for (int i = 0; i < 2000; i++) add_nal(in, {hdr(i % 2 ? 39 : 35), 0x01, 0x50});
    add_nal(in, {hdr(33), 0x01, 0x01, 0x60});
    add_nal(in, {hdr(34), 0x01, 0xc1, 0x72});
    const size_t slice_at = in.size() + 1;
    add_nal(in, {hdr(1), 0x01, 0xd0, 0x12, 0x34});
    HevcScan st;
    HevcStart s{0, 0};
    size_t fed = 0;
    for (size_t n = 5; n <= in.size() && s.open_at == 0; n += 5) {
        s = hevc_deferred_scan(&st, in.data(), n);
        EXPECT_EQ(s.drop, 0u);
        if (s.open_at == 0) {
            EXPECT_GE(st.pos + 9, n) << "the scan fell behind at " << n;
        }
        fed = n;
    }
    EXPECT_EQ(s.open_at, slice_at);
    EXPECT_GE(fed, slice_at + 6);
}

} // namespace
