#pragma once
#include <cstdint>

// A slow display update on request, to provoke the program's slow-frame report:
//   VEX_SIM_SLOW_COMMIT=N:MS  the Nth commit the card applies (legacy plane or
//                             CRTC set, atomic commit; counted from 1 per
//                             process) first takes MS milliseconds.
// Read on the first commit. Called with the card lock held, so the card is
// busy for that time, as a driver stuck in a commit would be.
void kms_slow_commit_wait();

// Commits that wait for the vblank, as on drivers built on the kernel's atomic
// helpers (a legacy plane set becomes a blocking atomic commit there):
//   VEX_SIM_BLOCKING_COMMIT=1  a legacy plane set, or an atomic commit
//                              without DRM_MODE_ATOMIC_NONBLOCK,
//                              that changes a framebuffer on an active CRTC
//                              returns after that CRTC's next vblank. A
//                              non-blocking atomic commit returns at once; a
//                              second one touching the same CRTC before that
//                              vblank fails with EBUSY.
// Read once.
bool kms_blocking_commits();
// Sleeps until `at_ns` on CLOCK_MONOTONIC (nothing for 0). Call without the card lock.
void kms_sleep_until(int64_t at_ns);
