#include "sim/kms_slow.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <ctime>

namespace {

long g_slow_at = -1, g_slow_ms;
long g_commits;

} // namespace

void kms_slow_commit_wait() {
    if (g_slow_at < 0) {
        g_slow_at = 0;
        const char *v = getenv("VEX_SIM_SLOW_COMMIT");
        char *end = nullptr;
        long n = v ? strtol(v, &end, 10) : 0;
        if (n > 0 && end && *end == ':') {
            g_slow_at = n;
            g_slow_ms = strtol(end + 1, nullptr, 10);
        }
    }
    if (++g_commits != g_slow_at || g_slow_ms <= 0) return;
    timespec ts{g_slow_ms / 1000, g_slow_ms % 1000 * 1000000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

bool kms_blocking_commits() {
    static const bool on = [] {
        const char *v = getenv("VEX_SIM_BLOCKING_COMMIT");
        return v && strcmp(v, "1") == 0;
    }();
    return on;
}

void kms_sleep_until(int64_t at_ns) {
    if (at_ns <= 0) return;
    timespec ts{static_cast<time_t>(at_ns / 1000000000), static_cast<long>(at_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}
