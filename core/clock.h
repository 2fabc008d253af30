#pragma once
#include <cstdint>
#include <ctime>

// Monotonic milliseconds and microseconds: all intervals and gaps.
int64_t mono_ms();
int64_t mono_us();
// Real-time clock deadline `ms` from now, for condition-variable waits.
timespec realtime_deadline_ms(int ms);
