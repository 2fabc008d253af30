#include <gtest/gtest.h>

#include <vector>

#include "stream/idle_cut.h"

namespace {

using Bytes = std::vector<uint8_t>;

void add_nal(Bytes &b, std::initializer_list<uint8_t> unit) {
    b.insert(b.end(), {0, 0, 0, 1});
    b.insert(b.end(), unit);
}

// H.264 slice headers begin with first_mb_in_slice as an exp-Golomb code:
// 0x88 reads 0 (a picture's first slice), 0x4c reads 1, 0x24 reads 3.
constexpr uint8_t mb0 = 0x88, mb1 = 0x4c, mb3 = 0x24;

// An H.264 picture: delimiter, then `slices` P slices, the first opening it.
Bytes picture264(int slices, bool opens = true) {
    Bytes b;
    add_nal(b, {0x09, 0xf0});
    for (int i = 0; i < slices; i++) add_nal(b, {0x41, (i == 0 && opens) ? mb0 : mb1, 0x9a, 0x21});
    return b;
}

HeldUnit look(const Bytes &b, bool hevc = false) {
    return idle_cut_inspect(b.data(), b.size(), hevc);
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
    EXPECT_TRUE(idle_cut_ready(c, u));
}

TEST(IdleCut, H265SliceSegments) {
    auto nal = [](Bytes &b, int type, std::initializer_list<uint8_t> rest) {
        b.insert(b.end(), {0, 0, 0, 1, (uint8_t)(type << 1), 0x01});
        b.insert(b.end(), rest);
    };
    // AUD, then 3 slice segments; the first with first_slice_segment_in_pic_flag.
    auto picture = [&](int slices, bool opens = true) {
        Bytes b;
        nal(b, 35, {0x50});
        for (int i = 0; i < slices; i++)
            nal(b, 1, {(uint8_t)(i == 0 && opens ? 0xd0 : 0x50), 0x33});
        return b;
    };
    IdleCut c;
    for (int i = 0; i < idle_cut_stable; i++) idle_cut_learn(&c, look(picture(3), true));
    EXPECT_EQ(c.learned, 3);
    EXPECT_TRUE(idle_cut_ready(c, look(picture(3), true)));
    EXPECT_FALSE(idle_cut_ready(c, look(picture(2), true)));
    EXPECT_FALSE(idle_cut_ready(c, look(picture(3, false), true)));

    // A suffix SEI after the slices stays with the picture.
    Bytes suffix = picture(3);
    nal(suffix, 40, {0x05, 0x80});
    EXPECT_TRUE(idle_cut_ready(c, look(suffix, true)));

    // Only the header: the flag is unread.
    Bytes cut_short = picture(2);
    cut_short.insert(cut_short.end(), {0, 0, 0, 1, 0x02, 0x01});
    EXPECT_FALSE(idle_cut_ready(c, look(cut_short, true)));
}

TEST(IdleCut, QuietTimeSettingOutOfRangeIsOff) {
    for (const char *v : {"", "0", "1001", "-5", "fast"}) EXPECT_EQ(idle_cut_ms(v), 0) << v;
    EXPECT_EQ(idle_cut_ms(nullptr), 0);
    EXPECT_EQ(idle_cut_ms("1000"), 1000);
}

} // namespace
