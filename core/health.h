#pragma once
// Health reporting: the state file, the heartbeat, cadence statistics and the
// slow-render warning.
#include <cstdint>

// Writes "live", "gated" or "hidden" to the state file (at most once a second
// for an unchanged state) and logs every change.
void hdmi_state_write(const char *state);

// After a frame reached presentation; `render_start_us` is when it began.
void report_frame(int64_t render_start_us);

// Whether cadence statistics are on (decided at the first shown frame).
bool cadence_on();
// After a successful vblank wait with cadence on: the mailbox fill seen then.
void cadence_vblank_sample(int fill);

// Interval bin of a presentation interval: <8, 8-14, 14-19, 19-25, >=25 ms.
int cadence_bin(int64_t interval_us);

struct CadenceSummary {
    double p50_ms, p95_ms, max_ms;
};
// Sorts the samples and takes p50 = s[n/2], p95 = s[n*95/100], max = s[n-1].
CadenceSummary cadence_summarise(int64_t *samples, int n);
