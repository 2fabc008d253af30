#include "stream/mailbox.h"

#include <pthread.h>
#include <unistd.h>

#include "core/clock.h"
#include "core/counters.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

AVFrame *g_mb_q[2];
int g_mb_n;    // frames held, 0..2
int g_mb_head; // slot of the oldest frame
int g_mb_eof;  // set once by the reader at end of input
pthread_mutex_t g_mb_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_mb_cv = PTHREAD_COND_INITIALIZER;

struct MbLock {
    MbLock() { pthread_mutex_lock(&g_mb_lock); }
    ~MbLock() { pthread_mutex_unlock(&g_mb_lock); }
    MbLock(const MbLock &) = delete;
    MbLock &operator=(const MbLock &) = delete;
};

AVFrame *take_locked() {
    if (g_mb_n <= 0) return nullptr;
    AVFrame *f = g_mb_q[g_mb_head];
    g_mb_q[g_mb_head] = nullptr;
    g_mb_head = (g_mb_head + 1) % 2;
    g_mb_n -= 1;
    return f;
}

} // namespace

void mb_push(AVFrame *frame) {
    AVFrame *old = nullptr;
    {
        MbLock hold;
        if (g_mb_n == 2) {
            old = take_locked();
            count_one(g_drop_fifo);
        }
        g_mb_q[(g_mb_head + g_mb_n) % 2] = frame;
        g_mb_n += 1;
    }
    // Signalled after the unlock: the woken consumer finds the lock free
    // instead of going back to sleep on it.
    pthread_cond_signal(&g_mb_cv);
    av_frame_free(&old);
}

void mb_push_when_room(AVFrame *frame, int max_ms) {
    for (int waited = 0; waited < max_ms; waited++) {
        bool room;
        {
            MbLock hold;
            room = g_mb_n < 2;
        }
        if (room) break;
        usleep(1000); // the consumer does not signal a take: look again shortly
    }
    mb_push(frame);
}

void mb_set_eof() {
    MbLock hold;
    g_mb_eof = 1;
    pthread_cond_signal(&g_mb_cv);
}

AVFrame *mb_take(int wait_ms, bool *eof, int *fill) {
    MbLock hold;
    if (fill) *fill = g_mb_n;
    AVFrame *f = take_locked();
    if (!f && !g_mb_eof && wait_ms > 0) {
        timespec deadline = realtime_deadline_ms(wait_ms);
        pthread_cond_timedwait(&g_mb_cv, &g_mb_lock, &deadline);
        f = take_locked();
    }
    *eof = !f && g_mb_eof;
    return f;
}

void mb_reset() {
    MbLock hold;
    while (AVFrame *f = take_locked()) av_frame_free(&f);
    g_mb_head = 0;
    g_mb_eof = 0;
}
