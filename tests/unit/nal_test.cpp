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

ParamSets track_all(std::initializer_list<Bytes> aus, bool hevc, std::vector<int> *results) {
    ParamSets ps{};
    for (const Bytes &au : aus)
        results->push_back(param_sets_track(&ps, au.data(), au.size(), hevc));
    return ps;
}

TEST(ParamSets, OnlyRealChangesCount) {
    Bytes au1, au_same, au_bytes, au_len;
    add_nal(au1, {0x67, 0x42, 0x00, 0x1f});
    add_nal(au1, {0x68, 0xce, 0x38});
    add_nal(au1, {0x65, 0x88});
    au_same = au1;                               // identical sets repeated before every IDR
    add_nal(au_bytes, {0x67, 0x42, 0x00, 0x20}); // same length, other bytes
    add_nal(au_bytes, {0x41, 0x9a});
    add_nal(au_len, {0x68, 0xce, 0x38, 0x80}); // longer PPS
    // The same sets behind three-byte start codes (the parser left the
    // leading zero in the previous access unit).
    Bytes au_short;
    add_nal(au_short, {0x67, 0x42, 0x00, 0x1f}, false);
    add_nal(au_short, {0x68, 0xce, 0x38}, false);
    std::vector<int> r;
    ParamSets ps = track_all({au1, au_same, au_short, au_same, au_bytes, au_len}, false, &r);
    EXPECT_EQ(r, (std::vector<int>{0, 0, 0, 0, 1, 1}));
    EXPECT_TRUE(param_sets_complete(&ps, false));
    EXPECT_FALSE(param_sets_complete(&ps, true)); // no VPS

    Bytes ed(param_sets_extradata_len(&ps, false));
    param_sets_write_extradata(&ps, false, ed.data());
    Bytes expect;
    add_nal(expect, {0x67, 0x42, 0x00, 0x20});
    add_nal(expect, {0x68, 0xce, 0x38, 0x80});
    EXPECT_EQ(ed, expect);
    param_sets_free(&ps);
}

TEST(ParamSets, HevcTracksVpsSpsPpsInOrder) {
    auto hdr = [](int type) { return (uint8_t)(type << 1); };
    Bytes au;
    add_nal(au, {hdr(34), 0x01, 0xc1}); // PPS first in the packet
    add_nal(au, {hdr(32), 0x01, 0x0c});
    add_nal(au, {hdr(33), 0x01, 0x01});
    add_nal(au, {hdr(19), 0x01, 0xaf});
    std::vector<int> r;
    ParamSets ps = track_all({au}, true, &r);
    EXPECT_EQ(r, std::vector<int>{0});
    ASSERT_TRUE(param_sets_complete(&ps, true));
    Bytes ed(param_sets_extradata_len(&ps, true));
    param_sets_write_extradata(&ps, true, ed.data());
    EXPECT_EQ(ed[4], hdr(32));
    EXPECT_EQ(ed[4 + 7], hdr(33));
    EXPECT_EQ(ed[4 + 14], hdr(34));
    // An H.264 SPS header byte means nothing to an H.265 stream.
    Bytes other;
    add_nal(other, {0x67, 0x42});
    EXPECT_EQ(param_sets_track(&ps, other.data(), other.size(), true), 0);
    param_sets_free(&ps);
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
    HevcStart s = hevc_deferred_scan(good.data(), good.size());
    EXPECT_EQ(s.open_at, sets.size() + 1); // position of the slice's 00 00 01
    EXPECT_EQ(s.drop, 0u);

    // Parameter sets alone: wait for the first slice.
    s = hevc_deferred_scan(sets.data(), sets.size());
    EXPECT_EQ(s.open_at, 0u);
    EXPECT_EQ(s.drop, 0u);

    // Slices first: everything up to the VPS goes.
    Bytes late = slice;
    late.insert(late.end(), slice.begin(), slice.end());
    size_t vps_at = late.size();
    late.insert(late.end(), good.begin(), good.end());
    s = hevc_deferred_scan(late.data(), late.size());
    EXPECT_EQ(s.open_at, 0u);
    EXPECT_EQ(s.drop, vps_at);
    s = hevc_deferred_scan(late.data() + vps_at, late.size() - vps_at);
    EXPECT_EQ(s.open_at, sets.size() + 1);

    // A slice after an SPS but no PPS cannot start decoding either.
    Bytes no_pps;
    add_nal(no_pps, {hdr(33), 0x01, 0x01, 0x60});
    no_pps.insert(no_pps.end(), slice.begin(), slice.end());
    s = hevc_deferred_scan(no_pps.data(), no_pps.size());
    EXPECT_EQ(s.open_at, 0u);
    EXPECT_EQ(s.drop, no_pps.size()); // nothing decodable has arrived yet

    // Only a partial start code survives; junk before the first start code goes.
    Bytes tail = slice;
    tail.insert(tail.end(), {0, 0});
    EXPECT_EQ(hevc_deferred_scan(tail.data(), tail.size()).drop, tail.size() - 2);
    Bytes junk = {0x12, 0x34, 0x00};
    junk.insert(junk.end(), good.begin(), good.end());
    EXPECT_EQ(hevc_deferred_scan(junk.data(), junk.size()).drop, 3u);
}

} // namespace
