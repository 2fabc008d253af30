#include "core/live_tuning.h"

int g_want_snap;

// Live tuning, snapshots, detection and display-change detection are not
// wired in yet: the settings read at start-up stay in force.
void tuning_poll() {}
int detect_poll() {
    return 0;
}
void snapshot_check() {}
bool display_changed() {
    return false;
}
