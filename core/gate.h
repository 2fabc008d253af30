#pragma once
// Keyframe gate fields. The reader thread arms the gate after a flush or a
// decoder re-open; the presentation loop reads it once per pass. They are
// single words shared without a lock: a value seen one pass late only delays
// the gate by one frame.
#include <atomic>
#include <cstdint>

extern std::atomic<int> g_wait_key;       // 1 while non-key frames are held back
extern std::atomic<int> g_gate_hard;      // 1 when armed by a flush or re-open
extern std::atomic<int64_t> g_gate_since; // monotonic ms when the gate was armed

// Arms the gate hard (after a decoder flush or re-open) unless `only_if_idle`
// is set and it is already armed.
void gate_arm_hard(int64_t now_ms, bool only_if_idle);
