#include <gtest/gtest.h>

#include <vector>

#include "core/gate.h"
#include "core/health.h"

namespace {

TEST(Gate, ReleaseRules) {
    using V = GateVerdict;
    // Soft: 350 ms and one drop.
    EXPECT_EQ(gate_release_rule(false, false, 1, 349, 2000), V::drop);
    EXPECT_EQ(gate_release_rule(false, false, 1, 350, 2000), V::release);
    // Hard H.264: the time limit and at least five drops.
    EXPECT_EQ(gate_release_rule(true, false, 4, 5000, 2000), V::drop);
    EXPECT_EQ(gate_release_rule(true, false, 5, 1999, 2000), V::drop);
    EXPECT_EQ(gate_release_rule(true, false, 5, 2000, 2000), V::release);
    // Hard H.265: one drop is enough.
    EXPECT_EQ(gate_release_rule(true, true, 1, 300, 300), V::release);
    EXPECT_EQ(gate_release_rule(true, true, 1, 299, 300), V::drop);
    // A time limit of 0 leaves only the 180-frame rule.
    EXPECT_EQ(gate_release_rule(true, false, 179, 100000, 0), V::drop);
    EXPECT_EQ(gate_release_rule(true, false, 180, 0, 0), V::release);
    EXPECT_EQ(gate_release_rule(false, false, 180, 0, 2000), V::release);
}

TEST(Health, CadenceBinsAndPercentiles) {
    EXPECT_EQ(cadence_bin(7999), 0);
    EXPECT_EQ(cadence_bin(8000), 1);
    EXPECT_EQ(cadence_bin(16667), 2);
    EXPECT_EQ(cadence_bin(19000), 3);
    EXPECT_EQ(cadence_bin(25000), 4);

    std::vector<int64_t> s;
    for (int i = 0; i < 100; i++) s.push_back(i % 2 ? 16000 + i : 17000 + i);
    s.push_back(50000);
    CadenceSummary c = cadence_summarise(s.data(), (int)s.size());
    EXPECT_NEAR(c.p50_ms, 17.0, 0.2);
    EXPECT_NEAR(c.p95_ms, 17.1, 0.1);
    EXPECT_DOUBLE_EQ(c.max_ms, 50.0);
    CadenceSummary none = cadence_summarise(nullptr, 0);
    EXPECT_EQ(none.p50_ms, 0.0);
}

} // namespace
