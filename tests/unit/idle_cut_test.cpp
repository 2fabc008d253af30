#include <gtest/gtest.h>

#include <vector>

#include "stream/idle_cut.h"
#include "stream/param_sets.h"

namespace {

using Bytes = std::vector<uint8_t>;

void add_nal(Bytes &b, std::initializer_list<uint8_t> unit) {
    b.insert(b.end(), {0, 0, 0, 1});
    b.insert(b.end(), unit);
}

// H.264 slice headers begin with first_mb_in_slice as an exp-Golomb code:
// 0x88 reads 0 (a picture's first slice), 0x4c reads 1, 0x24 reads 3.
constexpr uint8_t mb0 = 0x88, mb1 = 0x4c, mb3 = 0x24;

// An H.264 picture: delimiter, then `slices` P slices, the first opening it,
// the others beginning at macroblock 3.
Bytes picture264(int slices, bool opens = true) {
    Bytes b;
    add_nal(b, {0x09, 0xf0});
    for (int i = 0; i < slices; i++) add_nal(b, {0x41, (i == 0 && opens) ? mb0 : mb3, 0x9a, 0x21});
    return b;
}

HeldUnit look(const Bytes &b, bool hevc = false, const ParamSets *ps = nullptr) {
    return idle_cut_inspect(b.data(), b.size(), hevc, ps);
}

IdleCut learned(int slices, int pictures = idle_cut_stable) {
    IdleCut c;
    for (int i = 0; i < pictures; i++) idle_cut_learn(&c, look(picture264(slices)));
    return c;
}

TEST(IdleCut, LearnsTheSliceCountBeforeCutting) {
    IdleCut c;
    EXPECT_FALSE(idle_cut_learn(&c, look(picture264(4))));
    EXPECT_FALSE(idle_cut_learn(&c, look(picture264(4))));
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(4)))) << "two pictures are not enough";
    EXPECT_TRUE(idle_cut_learn(&c, look(picture264(4)))) << "trusted at the third: reported";
    EXPECT_FALSE(idle_cut_learn(&c, look(picture264(4)))) << "reported once";
    EXPECT_EQ(c.learned, 4);

    EXPECT_TRUE(idle_cut_ready(c, look(picture264(4))));
    for (int n : {1, 2, 3, 5}) EXPECT_FALSE(idle_cut_ready(c, look(picture264(n)))) << n;
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(0))));

    // Quiet long enough, and only then.
    const HeldUnit held = look(picture264(4));
    EXPECT_FALSE(idle_cut_due(c, held, 1, 2));
    EXPECT_TRUE(idle_cut_due(c, held, 2, 2));
    EXPECT_FALSE(idle_cut_due(c, held, 50, 0)) << "off";
    EXPECT_FALSE(idle_cut_due(c, look(picture264(3)), 50, 2));
}

TEST(IdleCut, RelearnsWhenTheCountChanges) {
    // Pictures of 4, then of 2 slices: no cut until the 2 is trusted.
    IdleCut c = learned(4);
    idle_cut_learn(&c, look(picture264(2)));
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(2))));
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(4)))) << "the old count is no longer trusted";
    idle_cut_learn(&c, look(picture264(2)));
    idle_cut_learn(&c, look(picture264(2)));
    EXPECT_TRUE(idle_cut_ready(c, look(picture264(2))));

    // A picture of 2 cut, but it had 4: the unit after the cut goes on with
    // its slices. The count is learned afresh.
    idle_cut_sent(&c);
    idle_cut_learn(&c, look(picture264(2, false)));
    EXPECT_EQ(c.relearns, 1);
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(2))));
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(4))));
    for (int i = 0; i < idle_cut_stable; i++) idle_cut_learn(&c, look(picture264(4)));
    EXPECT_TRUE(idle_cut_ready(c, look(picture264(4))));

    // A cut that was right: the next unit opens a picture and counts on.
    idle_cut_sent(&c);
    idle_cut_learn(&c, look(picture264(4)));
    EXPECT_EQ(c.relearns, 1);
    EXPECT_TRUE(idle_cut_ready(c, look(picture264(4))));

    // A unit that is not one whole picture breaks the streak.
    Bytes two = picture264(2);
    Bytes more = picture264(2);
    two.insert(two.end(), more.begin(), more.end());
    idle_cut_learn(&c, look(two));
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(4))));
}

TEST(IdleCut, NeverCutsWhatMayNotBeWhole) {
    const IdleCut c = learned(2);
    ASSERT_TRUE(idle_cut_ready(c, look(picture264(2))));

    // Zero bytes at the end may begin the next start code: counted, to be
    // left to what follows.
    for (size_t zeros : {1, 2, 3, 5}) {
        Bytes b = picture264(2);
        b.insert(b.end(), zeros, 0);
        EXPECT_TRUE(idle_cut_ready(c, look(b))) << zeros;
        EXPECT_EQ(look(b).tail_zeros, zeros);
    }
    // The last slice is no more than its header: its first field is unread.
    Bytes header_only = picture264(1);
    add_nal(header_only, {0x41});
    EXPECT_FALSE(look(header_only).plain);
    EXPECT_FALSE(idle_cut_ready(c, look(header_only)));

    // Held slices that do not open a picture (the rest of one), or that hold
    // the start of another.
    EXPECT_FALSE(idle_cut_ready(c, look(picture264(2, false))));
    Bytes second_opens;
    add_nal(second_opens, {0x41, mb0, 0x9a});
    add_nal(second_opens, {0x41, mb0, 0x9a});
    EXPECT_FALSE(look(second_opens).one_picture);
    EXPECT_FALSE(idle_cut_ready(c, look(second_opens)));

    // Data partitions are left to the parser.
    Bytes parts;
    add_nal(parts, {0x41, mb0, 0x9a});
    add_nal(parts, {0x02, mb3, 0x9a});
    EXPECT_FALSE(idle_cut_ready(c, look(parts)));

    // Parameter sets, SEI and an IDR slice with a three-byte start code.
    Bytes idr;
    add_nal(idr, {0x67, 0x42, 0x00, 0x1e});
    add_nal(idr, {0x68, 0xce, 0x38, 0x80});
    add_nal(idr, {0x06, 0x05, 0x01, 0x80});
    idr.insert(idr.end(), {0, 0, 1, 0x65, mb0, 0x84});
    add_nal(idr, {0x65, mb3, 0x84});
    HeldUnit u = look(idr);
    EXPECT_EQ(u.slices, 2);
    EXPECT_TRUE(u.one_picture && u.plain);
    EXPECT_TRUE(idle_cut_ready(c, u)) << "the second slice begins at macroblock 3, as learned";

    // The encoder goes from 2 slices (at macroblocks 0 and 3) to 4 (0, 1, 2,
    // 3): the first two of the new picture are as many as learned, but do not
    // begin where the learned ones did.
    Bytes grown;
    add_nal(grown, {0x41, mb0, 0x9a});
    add_nal(grown, {0x41, mb1, 0x9a});
    EXPECT_TRUE(look(grown).one_picture);
    EXPECT_FALSE(idle_cut_ready(c, look(grown)));
}

// Bits written most significant first, with exp-Golomb codes.
struct BitWriter {
    Bytes out;
    int used = 8;
    void bit(int v) {
        if (used == 8) out.push_back(0), used = 0;
        if (v) out.back() |= (uint8_t)(0x80 >> used);
        used++;
    }
    void bits(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; i--) bit((int)(v >> i) & 1);
    }
    void ue(uint32_t v) {
        int n = 0;
        while ((v + 1) >> (n + 1)) n++;
        bits(0, n);
        bits(v + 1, n + 1);
    }
    Bytes done() {
        bit(1); // rbsp stop bit
        return out;
    }
};

TEST(IdleCut, H265SliceSegments) {
    auto nal = [](Bytes &b, int type, const Bytes &rest) {
        b.insert(b.end(), {0, 0, 0, 1, (uint8_t)(type << 1), 0x01});
        b.insert(b.end(), rest.begin(), rest.end());
    };
    // 640x360 in 64x64 coding tree blocks: 10 x 6, so 6-bit slice addresses.
    BitWriter sps;
    sps.bits(0, 4); // VPS id
    sps.bits(0, 3); // one sub-layer
    sps.bit(1);     // temporal id nesting
    sps.bits(1, 8); // profile space, tier, profile Main
    sps.bits(0x60000000u, 32);
    sps.bits(0x9, 4); // progressive, frame only
    sps.bits(0, 32);
    sps.bits(0, 12);
    sps.bits(93, 8); // level 3.1
    sps.ue(0);       // SPS id
    sps.ue(1);       // 4:2:0
    sps.ue(640);
    sps.ue(360);
    sps.bit(0); // no conformance window
    sps.ue(0);  // bit depths
    sps.ue(0);
    sps.ue(4); // POC lsb bits - 4
    sps.bit(1);
    sps.ue(4);
    sps.ue(0);
    sps.ue(0);
    sps.ue(0); // 8x8 smallest coding block
    sps.ue(3); // 64x64 coding tree block
    for (bool dependent : {false, true}) {
        BitWriter pps;
        pps.ue(0);
        pps.ue(0);
        pps.bit(dependent);
        Bytes sets;
        nal(sets, 33, sps.done());
        nal(sets, 34, pps.done());
        ParamSets ps{};
        ASSERT_GE(param_sets_track(&ps, sets.data(), sets.size(), true), 0);

        // AUD, then slice segments beginning at the given blocks.
        auto picture = [&](std::initializer_list<uint32_t> at) {
            Bytes b;
            nal(b, 35, {0x50});
            for (uint32_t a : at) {
                BitWriter s;
                s.bit(a == 0); // first_slice_segment_in_pic_flag
                s.ue(0);       // PPS id
                if (a != 0) {
                    if (dependent) s.bit(1);
                    s.bits(a, 6);
                }
                s.bits(0x5a, 8); // the rest of the header and data
                nal(b, 1, s.done());
            }
            return b;
        };
        auto held = [&](std::initializer_list<uint32_t> at) {
            return look(picture(at), true, &ps);
        };
        IdleCut c;
        for (int i = 0; i < idle_cut_stable; i++) idle_cut_learn(&c, held({0, 20, 40}));
        EXPECT_EQ(c.learned, 3);
        EXPECT_TRUE(idle_cut_ready(c, held({0, 20, 40})));
        EXPECT_FALSE(idle_cut_ready(c, held({0, 20})));
        EXPECT_FALSE(idle_cut_ready(c, held({0, 10, 20}))) << "as many slices, other places";
        EXPECT_FALSE(idle_cut_ready(c, held({20, 40, 50}))) << "the rest of a picture";
        EXPECT_FALSE(look(picture({0, 20, 40}), true, nullptr).plain) << "no parameter sets";

        // A suffix SEI after the slices stays with the picture.
        Bytes suffix = picture({0, 20, 40});
        nal(suffix, 40, {0x05, 0x80});
        EXPECT_TRUE(idle_cut_ready(c, look(suffix, true, &ps)));

        // Only the header: the flag is unread.
        Bytes cut_short = picture({0, 20});
        cut_short.insert(cut_short.end(), {0, 0, 0, 1, 0x02, 0x01});
        EXPECT_FALSE(idle_cut_ready(c, look(cut_short, true, &ps)));
        param_sets_free(&ps);
    }
}

TEST(IdleCut, QuietTimeSettingOutOfRangeIsOff) {
    for (const char *v : {"", "0", "1001", "-5", "fast"}) EXPECT_EQ(idle_cut_ms(v), 0) << v;
    EXPECT_EQ(idle_cut_ms(nullptr), 0);
    EXPECT_EQ(idle_cut_ms("1000"), 1000);
}

} // namespace
