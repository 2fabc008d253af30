#pragma once
// The process counters: 64-bit, never reset, each written by the part that
// counts it (possibly on another thread) and read by health reporting. Relaxed
// atomics: a count read one frame late is harmless, a torn one is not.
#include <atomic>
#include <cstdint>

extern std::atomic<int64_t> g_dec_count;     // frames received from the decoder
extern std::atomic<int64_t> g_shown_count;   // frames that reached presentation
extern std::atomic<int64_t> g_reopens;       // decoder re-opens
extern std::atomic<int64_t> g_drop_fifo;     // frames discarded by a full mailbox
extern std::atomic<int64_t> g_drop_throttle; // frames discarded by the display-rate cap
extern std::atomic<int64_t> g_drop_gate;     // frames discarded by the keyframe gate
extern std::atomic<int64_t> g_enc_rga_fail;  // encode tee: colour conversions that failed
extern std::atomic<int64_t> g_enc_pool_drop; // encode tee: frames lost to a full pool

// Adds 1 to a counter.
inline void count_one(std::atomic<int64_t> &c) {
    c.fetch_add(1, std::memory_order_relaxed);
}
// A counter's value for a log line.
inline long count_of(const std::atomic<int64_t> &c) {
    return (long)c.load(std::memory_order_relaxed);
}
