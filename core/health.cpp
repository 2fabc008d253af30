#include "core/health.h"

#include <algorithm>
#include <cstdio>
#include <climits>
#include <cstring>

#include "core/clock.h"
#include "core/counters.h"
#include "core/env.h"
#include "core/log.h"

namespace {

// Any path the system can open (PATH_MAX) fits, with ".tmp" appended. Plain
// arrays: the process may exit on another thread while this one writes.
char g_state_path[PATH_MAX];
char g_state_tmp[PATH_MAX + 8];
char g_state_last[16];
int64_t g_state_last_ms;

int64_t hb_last, hb_shown;

int g_cadence = -1;

constexpr int cadence_max_samples = 512;

struct CadenceWindow {
    int64_t bins[5];
    int64_t n0, n1, n2;
    int64_t fill_sum, fill_samples;
    int64_t samples[cadence_max_samples];
    int count;
    int64_t prev_us;
    int64_t start_ms;
    int64_t shown_at_start;
};
CadenceWindow g_cad;

long dec() {
    return count_of(g_dec_count);
}
long shown() {
    return count_of(g_shown_count);
}

void cadence_step(int64_t now_ms) {
    int64_t now_us = mono_us();
    if (g_cad.prev_us) {
        int64_t iv = now_us - g_cad.prev_us;
        g_cad.bins[cadence_bin(iv)] += 1;
        if (g_cad.count < cadence_max_samples) g_cad.samples[g_cad.count++] = iv;
    }
    g_cad.prev_us = now_us;
    if (!g_cad.start_ms) {
        g_cad.start_ms = now_ms;
        g_cad.shown_at_start = shown();
        return;
    }
    int64_t win = now_ms - g_cad.start_ms;
    if (win < 1000) return;
    CadenceSummary s = cadence_summarise(g_cad.samples, g_cad.count);
    double fill = g_cad.fill_samples ? (double)g_cad.fill_sum / (double)g_cad.fill_samples : 0.0;
    long rate = (long)((shown() - g_cad.shown_at_start) * 1000 / win);
    vlog("cadence shown/s=%ld present_ms p50/p95/max=%.1f/%.1f/%.1f "
         "bins[<8,8-14,14-19,19-25,>25]=%ld/%ld/%ld/%ld/%ld vblank n0/n1/n2=%ld/%ld/%ld "
         "fifo_avg=%.2f dropped fifo/throttle/gate=%ld/%ld/%ld",
         rate, s.p50_ms, s.p95_ms, s.max_ms, (long)g_cad.bins[0], (long)g_cad.bins[1],
         (long)g_cad.bins[2], (long)g_cad.bins[3], (long)g_cad.bins[4], (long)g_cad.n0,
         (long)g_cad.n1, (long)g_cad.n2, fill, count_of(g_drop_fifo), count_of(g_drop_throttle),
         count_of(g_drop_gate));
    vlog_flush();
    int64_t prev = g_cad.prev_us;
    g_cad = CadenceWindow{};
    g_cad.prev_us = prev;
    g_cad.start_ms = now_ms;
    g_cad.shown_at_start = shown();
}

} // namespace

int cadence_bin(int64_t us) {
    return us < 8000 ? 0 : us < 14000 ? 1 : us < 19000 ? 2 : us < 25000 ? 3 : 4;
}

CadenceSummary cadence_summarise(int64_t *samples, int n) {
    if (n <= 0) return CadenceSummary{0, 0, 0};
    std::sort(samples, samples + n);
    return CadenceSummary{samples[n / 2] / 1000.0, samples[n * 95 / 100] / 1000.0,
                          samples[n - 1] / 1000.0};
}

void hdmi_state_write(const char *state) {
    if (!g_state_path[0]) {
        const char *v = env_get("VEX_KMS_STATE");
        snprintf(g_state_path, sizeof g_state_path, "%s",
                 env_nonempty(v) ? v : "/run/vex-fpv/hdmi_state");
        snprintf(g_state_tmp, sizeof g_state_tmp, "%s.tmp", g_state_path);
    }
    int64_t now = mono_ms();
    bool same = strcmp(state, g_state_last) == 0;
    if (same && now - g_state_last_ms < 1000) return;
    g_state_last_ms = now;
    FILE *f = fopen(g_state_tmp, "w");
    if (!f) return;
    fprintf(f, "state=%s ts=%ld dec=%ld shown=%ld reopens=%ld\n", state, (long)now, dec(), shown(),
            count_of(g_reopens));
    fclose(f);
    rename(g_state_tmp, g_state_path);
    if (!same) {
        snprintf(g_state_last, sizeof g_state_last, "%s", state);
        vlog("hdmi_state=%s dec=%ld shown=%ld reopens=%ld", state, dec(), shown(),
             count_of(g_reopens));
        vlog_flush();
    }
}

bool cadence_on() {
    return g_cadence == 1;
}

void cadence_vblank_sample(int fill) {
    if (fill <= 0)
        g_cad.n0++;
    else if (fill == 1)
        g_cad.n1++;
    else
        g_cad.n2++;
    g_cad.fill_sum += fill;
    g_cad.fill_samples++;
}

void report_frame(int64_t render_start_us) {
    int64_t now_ms = mono_ms();
    int64_t render_ms = (mono_us() - render_start_us) / 1000;
    if (g_cadence < 0) g_cadence = env_int_or("VEX_KMS_CADENCE", 0) != 0 ? 1 : 0;
    if (g_cadence == 1) cadence_step(now_ms);
    if (render_ms > 150) {
        vlog("SLOW render %ldms dec=%ld shown=%ld", (long)render_ms, dec(), shown());
        return;
    }
    if (shown() % 600 != 0) return;
    long rate = 0;
    if (hb_last && now_ms - hb_last > 0)
        rate = (long)((shown() - hb_shown) * 1000 / (now_ms - hb_last));
    vlog("dec=%ld shown=%ld shown/s=%ld dropped fifo/throttle/gate=%ld/%ld/%ld enc "
         "rga_fail/pool_drop=%ld/%ld",
         dec(), shown(), rate, count_of(g_drop_fifo), count_of(g_drop_throttle),
         count_of(g_drop_gate), count_of(g_enc_rga_fail), count_of(g_enc_pool_drop));
    hb_last = now_ms;
    hb_shown = shown();
}
