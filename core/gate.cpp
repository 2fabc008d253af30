#include "core/gate.h"

#include "core/clock.h"
#include "core/config.h"
#include "core/counters.h"
#include "core/env.h"
#include "core/health.h"
#include "core/log.h"
#include "display/video_plane.h"
#include "stream/decoder.h"

extern "C" {
#include <libavutil/frame.h>
}

std::atomic<int> g_wait_key{0};
std::atomic<int> g_gate_hard{0};
std::atomic<int64_t> g_gate_since{0};
int64_t g_gate_drops;

namespace {

int64_t gate_arm_ms = -1, gate_max_ms = -1, hide_ms = -1;

void read_limits() {
    if (gate_arm_ms >= 0) return;
    gate_arm_ms = env_int_or("VEX_KMS_GATE_MS", 200);
    gate_max_ms = env_int_or("VEX_KMS_GATE_MAX_MS", g_is_hevc ? 300 : 2000);
    hide_ms = env_int_or("VEX_KMS_HIDE_MS", 1500);
}

void write_armed_state(bool showing_video) {
    hdmi_state_write(showing_video ? "gated" : "hidden");
}

void arm(int64_t now_ms, int hard) {
    g_gate_since.store(now_ms, std::memory_order_relaxed);
    g_gate_hard.store(hard, std::memory_order_relaxed);
    g_wait_key.store(1, std::memory_order_release);
}

void open_gate() {
    g_wait_key.store(0, std::memory_order_relaxed);
    g_gate_hard.store(0, std::memory_order_relaxed);
    g_gate_drops = 0;
}

} // namespace

void gate_arm_hard(int64_t now_ms) {
    arm(now_ms, 1);
}

GateVerdict gate_release_rule(bool hard, bool hevc, int64_t drops, int64_t elapsed_ms,
                              int64_t max_ms) {
    if (drops > 179) return GateVerdict::release;
    int64_t limit = hard ? max_ms : 350;
    int64_t min_drops = hard ? (hevc ? 1 : 5) : 1;
    if (limit > 0 && elapsed_ms >= limit && drops >= min_drops) return GateVerdict::release;
    return GateVerdict::drop;
}

void gate_gap(int64_t gap_ms, bool showing_video) {
    read_limits();
    if (gap_ms >= gate_arm_ms && !g_wait_key.load(std::memory_order_acquire)) {
        arm(mono_ms(), 0);
        vlog("gate: armed (gap %ldms, soft)", (long)gap_ms);
        vlog_flush();
    }
    if (g_wait_key.load(std::memory_order_relaxed)) write_armed_state(showing_video);
    if (gap_ms >= hide_ms) {
        hide_video();
        hdmi_state_write("hidden");
    }
}

GateResult gate_frame(AVFrame *frame, bool showing_video) {
    if (!g_wait_key.load(std::memory_order_acquire)) return GateResult::show;
    read_limits();
    int64_t elapsed = mono_ms() - g_gate_since.load(std::memory_order_relaxed);
    if (frame->flags & AV_FRAME_FLAG_KEY) {
        vlog("gate: resumed on keyframe %dx%d after %ld dropped (%ld ms)", frame->width,
             frame->height, (long)g_gate_drops, (long)elapsed);
        open_gate();
        return GateResult::show;
    }
    av_frame_free(&frame);
    count_one(g_drop_gate);
    g_gate_drops += 1;
    if (g_gate_drops == 1) vlog("gate: dropping non-key frames after gap");
    write_armed_state(showing_video);
    bool hard = g_gate_hard.load(std::memory_order_relaxed) != 0;
    GateResult result = GateResult::dropped;
    if (gate_release_rule(hard, g_is_hevc, g_gate_drops, elapsed, gate_max_ms) ==
        GateVerdict::release) {
        vlog("gate: no keyframe after %ld frames / %ld ms — releasing (%s)", (long)g_gate_drops,
             (long)elapsed, hard ? "hard" : "soft");
        open_gate();
        result = GateResult::released;
    }
    vlog_flush();
    return result;
}
