#pragma once
// The keyframe gate: after a gap, a decoder flush or a re-open, non-key frames
// are held back until a key frame arrives or the release limits pass.
//
// g_wait_key, g_gate_hard and g_gate_since are shared with the reader thread
// without a lock: a value seen one pass late only delays the gate by one frame.
#include <atomic>
#include <cstdint>

struct AVFrame;

extern std::atomic<int> g_wait_key;       // 1 while non-key frames are held back
extern std::atomic<int> g_gate_hard;      // 1 when armed by a flush or re-open
extern std::atomic<int64_t> g_gate_since; // monotonic ms when the gate was armed
extern int64_t g_gate_drops;              // frames dropped in this gate episode
extern int64_t g_drop_gate;               // frames ever dropped by the gate

// Arms the gate hard (decoder flushed or re-opened); with `only_if_idle` only
// when it is not armed already.
void gate_arm_hard(int64_t now_ms, bool only_if_idle);

enum class GateVerdict { drop, release };

// The release rule for a non-key frame just dropped: `drops` counts it.
// Hard armings wait `max_ms` (0 or less: no time limit) and at least 1 (H.265)
// or 5 (H.264) drops; soft ones 350 ms and 1 drop; 180 drops always release.
GateVerdict gate_release_rule(bool hard, bool hevc, int64_t drops, int64_t elapsed_ms,
                              int64_t max_ms);

// A pass without a frame, `gap_ms` after the last activity.
void gate_gap(int64_t gap_ms);
// A frame taken from the mailbox: true when it may be shown, false when the
// gate freed it.
bool gate_frame(AVFrame *frame);
