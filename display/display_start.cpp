#include "display/display_start.h"

// Output discovery is not wired in yet: start-up proceeds with no outputs and
// every decoded frame is taken and released by the presentation loop.
int display_start() {
    return 0;
}

bool display_any_interlaced() {
    return false;
}
