#pragma once
// A slow display update on request, to provoke the program's slow-frame report:
//   VEX_SIM_SLOW_COMMIT=N:MS  the Nth commit the card applies (legacy plane or
//                             CRTC set, atomic commit; counted from 1 per
//                             process) first takes MS milliseconds.
// Read on the first commit. Called with the card lock held, so the card is
// busy for that time, as a driver stuck in a commit would be.
void kms_slow_commit_wait();
