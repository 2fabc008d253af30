#include "core/gate.h"

std::atomic<int> g_wait_key{0};
std::atomic<int> g_gate_hard{0};
std::atomic<int64_t> g_gate_since{0};

void gate_arm_hard(int64_t now_ms, bool only_if_idle) {
    if (only_if_idle && g_wait_key.load(std::memory_order_relaxed)) return;
    g_wait_key.store(1, std::memory_order_relaxed);
    g_gate_hard.store(1, std::memory_order_relaxed);
    g_gate_since.store(now_ms, std::memory_order_relaxed);
}
