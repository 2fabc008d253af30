#pragma once
// The encode tee: the GPU pass's output (the corrected, graded picture)
// re-encoded as an H.264 elementary stream on the board's hardware encoder
// ("h264_rkmpp") and written to standard output or a file (VEX_KMS_ENCODE).
//
// The presentation thread hands over the dma-buf of the ring slot it has just
// drawn; the encode thread has the RGA engine convert it to NV12 in one of
// three pool buffers, encodes it and writes the packets as they come. The
// presentation thread never waits for the encoder: with no free pool slot the
// frame is dropped and counted (g_enc_pool_drop); a failed conversion is
// counted (g_enc_rga_fail) and logged once.
//
// Runs only while the GPU pass does: started at its set-up, stopped and
// started again at the new size when it is rebuilt for a new source geometry.
// The output stays open across such a restart; a failed start closes it.
#include <cstdint>

// Encoder frame rate for VEX_KMS_ENCODE_FPS and VEX_KMS_DISPLAY_FPS values
// (either may be null): the first when >= 1 (else 30), lowered to the second
// when that is > 0 and lower.
int enc_frame_rate(const char *encode_fps, const char *display_fps);
// Minimum seconds between hand-offs for a VEX_KMS_ENCODE_FPS value (null: 30
// a second): 1/fps - 0.003, or 0 (no limit) when the value is not positive.
double enc_handoff_interval(const char *encode_fps);

// Starts the tee at w x h when VEX_KMS_ENCODE is set; failures are logged and
// leave the tee off.
void enc_start(int w, int h);
// Stops the thread and releases the encoder and pool; the output stays open.
void enc_stop();
// Hands ring slot `slot` (drawn at w x h) to the encode thread, or drops it
// (counted in g_enc_pool_drop) when no pool slot is free or another ring slot
// still waits for its conversion: the encoder reads the ring buffer itself,
// and holds at most one at a time.
void enc_hand_off(int slot, int w, int h);
// The ring slot handed over and not yet converted, which must not be drawn
// into; -1 when none.
int enc_ring_slot_held();
