#pragma once
// The frame mailbox: a two-slot hand-off from the reader thread to the
// presentation loop that always keeps the newest frames. Its state and lock are
// its own; the two sides meet only through these calls.
#include <cstdint>

struct AVFrame;

// Hands one frame to the mailbox (reader thread; the mailbox owns it now); a
// full mailbox frees its oldest frame first and counts it in g_drop_fifo.
void mb_push(AVFrame *frame);
// At end of input, where no frame need make way for a newer one: waits up to
// `max_ms` for the consumer to make room, then hands the frame over as mb_push.
void mb_push_when_room(AVFrame *frame, int max_ms);
// Marks end of input and wakes the consumer.
void mb_set_eof();

// Takes the oldest frame out (the caller owns it), or null. With `wait_ms`
// above 0 and no frame held, waits up to that long for a push unless input has
// ended (a push or end of input ends the wait early; it is not repeated).
// *eof: no frame was taken and input has ended. *fill, when given: the frames
// held when the mailbox was first examined (0..2).
AVFrame *mb_take(int wait_ms, bool *eof, int *fill = nullptr);

// Frees every frame held and clears the end-of-input flag (tests).
void mb_reset();
