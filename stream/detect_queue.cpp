#include "stream/detect_queue.h"

extern "C" {
#include <libavcodec/packet.h>
}

AVPacket *detq[detq_size];
int detq_n, detq_head, detq_tail;
pthread_mutex_t detq_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t detq_cv = PTHREAD_COND_INITIALIZER;
std::atomic<int> g_detect{0};

void detq_push_clone(const AVPacket *pkt) {
    AVPacket *c = av_packet_clone(pkt);
    if (!c) return;
    pthread_mutex_lock(&detq_lock);
    // Detection may have been switched off (and the queue cleared) since the
    // caller looked: the clone would stay behind.
    if (!g_detect.load(std::memory_order_relaxed)) {
        pthread_mutex_unlock(&detq_lock);
        av_packet_free(&c);
        return;
    }
    if (detq_n == detq_size) {
        av_packet_free(&detq[detq_head]);
        detq_head = (detq_head + 1) % detq_size;
        detq_n -= 1;
    }
    detq[detq_tail] = c;
    detq_tail = (detq_tail + 1) % detq_size;
    detq_n += 1;
    pthread_cond_signal(&detq_cv);
    pthread_mutex_unlock(&detq_lock);
}

AVPacket *detq_pop_locked() {
    if (detq_n <= 0) return nullptr;
    AVPacket *p = detq[detq_head];
    detq[detq_head] = nullptr;
    detq_head = (detq_head + 1) % detq_size;
    detq_n -= 1;
    return p;
}

void detq_clear() {
    pthread_mutex_lock(&detq_lock);
    while (AVPacket *p = detq_pop_locked()) av_packet_free(&p);
    pthread_mutex_unlock(&detq_lock);
}
