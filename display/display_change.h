#pragma once
// Display change detection. Outputs are set up once at start; when a monitor is
// swapped for one with another first mode, or unplugged and plugged back (a
// display or switcher may then need a fresh modeset), the process ends so that
// its supervisor starts it again against the display as it is now.
#include <xf86drmMode.h>

struct Output;

// What one output's connector says against the mode it had at set-up.
enum class DisplayVerdict {
    same,      // connected, same first mode, never seen away
    away,      // disconnected, or connected without modes: the output is marked lost
    changed,   // connected with another first mode (size or refresh)
    replugged, // connected with the same first mode after having been away
};

// Pure rule for one output: `connected`, and the connector's first mode
// (null when it lists none).
DisplayVerdict display_verdict(const Output &o, bool connected, const drmModeModeInfo *first);

// Reads the current state of every output's connector, without a new probe,
// one query per output. Logs the change and returns 1 when the process should
// end for a restart; else 0 (also when monitor-swap detection is off, no card
// is open or there are no outputs: then no connector is read). Outputs seen
// away are marked lost. A connector that cannot be read counts as unchanged.
int hotplug_should_restart();
