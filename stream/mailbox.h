#pragma once
// The frame mailbox: a two-slot hand-off from the reader thread to the
// presentation loop that always keeps the newest frames.
#include <atomic>
#include <cstdint>
#include <pthread.h>

struct AVFrame;

extern AVFrame *g_mb_q[2];
extern int g_mb_n;    // frames held, 0..2
extern int g_mb_head; // slot of the oldest frame
extern int g_mb_eof;  // set once by the reader at end of input
extern pthread_mutex_t g_mb_lock;
extern pthread_cond_t g_mb_cv;

extern std::atomic<int64_t> g_dec_count; // frames received from the decoder (reader thread)
extern int64_t g_drop_fifo;              // frames discarded by a full mailbox (under g_mb_lock)

// Hands one frame to the mailbox; a full mailbox frees its oldest frame first.
void mb_push(AVFrame *frame);
// Takes the oldest frame out, or null when empty. Call with g_mb_lock held.
AVFrame *mb_take_locked();
// At end of input, where no frame need make way for a newer one: waits up to
// `max_ms` for the consumer to make room, then hands the frame over as mb_push.
void mb_push_when_room(AVFrame *frame, int max_ms);
// Marks end of input and wakes the consumer.
void mb_set_eof();
