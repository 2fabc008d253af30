#pragma once
// The detection packet queue: access units cloned by the reader for an object
// detector while detection is on. A ring of 64 that drops its oldest packet.
// detq_lock guards the ring; detq_cv is signalled on every push and when a
// detector is asked to stop.
#include <atomic>
#include <pthread.h>

struct AVPacket;

constexpr int detq_size = 64;
extern AVPacket *detq[detq_size];
extern int detq_n, detq_head, detq_tail;
extern pthread_mutex_t detq_lock;
extern pthread_cond_t detq_cv;

// Detection on (set by the detection toggle, read by the reader without a lock).
extern std::atomic<int> g_detect;

// Clones the packet into the queue; the oldest is freed when the queue is full.
// Nothing is queued once detection is off, even when the caller saw it on.
void detq_push_clone(const AVPacket *pkt);

// With detq_lock held: takes the oldest packet out (the caller owns and frees
// it), or null when the queue is empty.
AVPacket *detq_pop_locked();

// Frees every queued packet, oldest first.
void detq_clear();
