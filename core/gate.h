#pragma once
// The keyframe gate: after a gap, a decoder flush or a re-open, non-key frames
// are held back until a key frame arrives or the release limits pass.
//
// g_wait_key, g_gate_hard and g_gate_since are shared with the reader thread
// without a lock. An arming publishes its time and kind before g_wait_key
// (release order), and the loop reads g_wait_key first (acquire order), so a
// new arming is never seen with the time of an older one.
#include <atomic>
#include <cstdint>

struct AVFrame;

extern std::atomic<int> g_wait_key;       // 1 while non-key frames are held back
extern std::atomic<int> g_gate_hard;      // 1 when armed by a flush or re-open
extern std::atomic<int64_t> g_gate_since; // monotonic ms when the gate was armed
extern int64_t g_gate_drops;              // frames dropped in this gate episode

// Arms the gate hard at `now_ms` (decoder flushed after a stall, or re-opened):
// whatever arming was in force, it becomes hard and its clock restarts, since
// the frames after a flush reference pictures the decoder no longer has.
void gate_arm_hard(int64_t now_ms);

enum class GateVerdict { drop, release };

// The release rule for a non-key frame just dropped: `drops` counts it.
// Hard armings wait `max_ms` (0 or less: no time limit) and at least 1 (H.265)
// or 5 (H.264) drops; soft ones 350 ms and 1 drop; 180 drops always release.
GateVerdict gate_release_rule(bool hard, bool hevc, int64_t drops, int64_t elapsed_ms,
                              int64_t max_ms);

// A pass without a frame, `gap_ms` after the last activity; `showing_video`:
// a frame is on the outputs.
void gate_gap(int64_t gap_ms, bool showing_video);

enum class GateResult {
    show,     // the frame may be shown
    dropped,  // the gate freed the frame
    released, // the gate freed the frame and gave up waiting: the next frame is
              // shown whatever its mark, so this counts as activity for the gap
};
// A frame taken from the mailbox (the gate frees it unless the result is show).
GateResult gate_frame(AVFrame *frame, bool showing_video);
