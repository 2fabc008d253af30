#include <gtest/gtest.h>

#include <vector>

#include "display/overlay_plane.h"

namespace {

std::vector<uint32_t> order(std::vector<OverlayCandidate> c) {
    order_overlay_candidates(c.data(), (int)c.size());
    std::vector<uint32_t> ids;
    for (const auto &x : c) ids.push_back(x.plane_id);
    return ids;
}

TEST(OverlayOrder, HigherZposFirstThenOverlayTypedThenListOrder) {
    // {id, zpos prop, zpos, overlay-typed, index}
    EXPECT_EQ(order({{10, 1, 2, 1, 0}, {11, 1, 5, 1, 1}}), (std::vector<uint32_t>{11, 10}));
    // Equal zpos: the overlay-typed plane before the cursor-typed one.
    EXPECT_EQ(order({{20, 1, 3, 0, 0}, {21, 1, 3, 1, 1}}), (std::vector<uint32_t>{21, 20}));
    // Only cursor planes: highest zpos first, equal ones keep list order.
    EXPECT_EQ(order({{30, 1, 1, 0, 0}, {31, 1, 4, 0, 1}, {32, 1, 4, 0, 2}, {33, 0, 0, 0, 3}}),
              (std::vector<uint32_t>{31, 32, 30, 33}));
    // zpos compares unsigned.
    EXPECT_EQ(order({{40, 1, 1, 1, 0}, {41, 1, ~0ull, 0, 1}}), (std::vector<uint32_t>{41, 40}));
    EXPECT_EQ(order({}), std::vector<uint32_t>{});
}

} // namespace
