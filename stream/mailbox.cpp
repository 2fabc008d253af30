#include "stream/mailbox.h"

#include <unistd.h>

extern "C" {
#include <libavutil/frame.h>
}

AVFrame *g_mb_q[2];
int g_mb_n;
int g_mb_head;
int g_mb_eof;
pthread_mutex_t g_mb_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_mb_cv = PTHREAD_COND_INITIALIZER;
std::atomic<int64_t> g_dec_count{0};
int64_t g_drop_fifo;

AVFrame *mb_take_locked() {
    if (g_mb_n <= 0) return nullptr;
    AVFrame *f = g_mb_q[g_mb_head];
    g_mb_q[g_mb_head] = nullptr;
    g_mb_head = (g_mb_head + 1) % 2;
    g_mb_n -= 1;
    return f;
}

void mb_push(AVFrame *frame) {
    pthread_mutex_lock(&g_mb_lock);
    if (g_mb_n == 2) {
        AVFrame *old = mb_take_locked();
        av_frame_free(&old);
        g_drop_fifo += 1;
    }
    g_mb_q[(g_mb_head + g_mb_n) % 2] = frame;
    g_mb_n += 1;
    pthread_cond_signal(&g_mb_cv);
    pthread_mutex_unlock(&g_mb_lock);
}

void mb_push_when_room(AVFrame *frame, int max_ms) {
    for (int waited = 0; waited < max_ms; waited++) {
        pthread_mutex_lock(&g_mb_lock);
        const bool room = g_mb_n < 2;
        pthread_mutex_unlock(&g_mb_lock);
        if (room) break;
        usleep(1000); // the consumer does not signal a take: look again shortly
    }
    mb_push(frame);
}

void mb_set_eof() {
    pthread_mutex_lock(&g_mb_lock);
    g_mb_eof = 1;
    pthread_cond_signal(&g_mb_cv);
    pthread_mutex_unlock(&g_mb_lock);
}
