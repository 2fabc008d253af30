#include "core/loop.h"

#include "core/clock.h"
#include "core/config.h"
#include "core/log.h"
#include "stream/mailbox.h"

extern "C" {
#include <libavutil/frame.h>
}

std::atomic<int64_t> g_shown_count{0};

namespace {

// Takes the oldest frame, waiting up to `wait_ms` for one unless input has ended.
// Sets *eof when there is no frame and input has ended.
AVFrame *take_frame(int wait_ms, bool *eof) {
    pthread_mutex_lock(&g_mb_lock);
    AVFrame *f = mb_take_locked();
    if (!f && !g_mb_eof) {
        timespec deadline = realtime_deadline_ms(wait_ms);
        pthread_cond_timedwait(&g_mb_cv, &g_mb_lock, &deadline);
        f = mb_take_locked();
    }
    *eof = !f && g_mb_eof;
    pthread_mutex_unlock(&g_mb_lock);
    return f;
}

void present_frame(AVFrame *frame) {
    // No outputs: the frame has nowhere to go.
    g_shown_count.fetch_add(1, std::memory_order_relaxed);
    av_frame_free(&frame);
}

} // namespace

// Frames are not put on any output yet, so none is ever kept on screen.
bool loop_showing_video() {
    return false;
}
void loop_release_shown() {}

int presentation_loop(pthread_t reader) {
    for (;;) {
        // With no output to pace against, every pass is show-on-arrival.
        int wait_ms = g_smooth ? 16 : 100;
        bool eof = false;
        AVFrame *f = take_frame(wait_ms, &eof);
        if (!f) {
            if (eof) {
                pthread_join(reader, nullptr);
                return 0;
            }
            continue;
        }
        present_frame(f);
        vlog_flush();
    }
}
