#include "core/counters.h"

std::atomic<int64_t> g_dec_count{0};
std::atomic<int64_t> g_shown_count{0};
std::atomic<int64_t> g_reopens{0};
std::atomic<int64_t> g_drop_fifo{0};
std::atomic<int64_t> g_drop_throttle{0};
std::atomic<int64_t> g_drop_gate{0};
std::atomic<int64_t> g_enc_rga_fail{0};
std::atomic<int64_t> g_enc_pool_drop{0};
