#include "gpu/encode_tee.h"

#include <fcntl.h>
#include <gbm.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/clock.h"
#include "core/counters.h"
#include "core/env.h"
#include "core/log.h"
#include "display/rga.h"
#include "gpu/gl_context.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int pool_n = 3;

struct EncSlot {
    uint8_t *nv12 = nullptr;
    int state = 0; // 0 free, 1 in use
    int fd = -1;   // the ring buffer it carries
    int stride = 0;
};

int g_enc_out_fd = -1;
bool stdout_closed; // standard output was closed by a failed start
AVCodecContext *g_enc_ctx;
int g_enc_w, g_enc_h;
bool g_enc_on, g_enc_running;
EncSlot pool[pool_n];
int g_enc_q[pool_n], g_enc_qn, g_enc_qh, g_enc_qt;
// The render ring slot handed over and not yet converted (-1: none). While
// one is, no other is handed over, and the GPU draws around it.
int g_enc_ring_held = -1;
pthread_mutex_t g_enc_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_enc_cv = PTHREAD_COND_INITIALIZER;
pthread_t g_enc_thread;
double handoff_interval = -1;
int64_t last_handoff_us;
bool rga_warned;

void free_pool() {
    for (EncSlot &s : pool) {
        if (s.fd >= 0) close(s.fd);
        free(s.nv12);
        s = EncSlot();
    }
}

void enc_fail(const char *reason) {
    vlog("encode: %s — dewarped stream/recording UNAVAILABLE (closing the tee output)", reason);
    vlog_flush();
    avcodec_free_context(&g_enc_ctx);
    free_pool();
    if (g_enc_out_fd >= 0) {
        if (g_enc_out_fd == 1) {
            // The reader sees end of file; descriptor 1 stays taken (by
            // /dev/null), so no later open can land on it and be written to.
            const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null_fd >= 0) {
                dup2(null_fd, 1);
                close(null_fd);
            } else {
                close(1);
            }
            stdout_closed = true;
        } else {
            close(g_enc_out_fd);
        }
    }
    g_enc_out_fd = -1;
    g_enc_on = g_enc_running = false;
}

void write_all(const uint8_t *p, int n) {
    while (n > 0) {
        const ssize_t w = write(g_enc_out_fd, p, (size_t)n);
        if (w <= 0) return;
        p += w;
        n -= (int)w;
    }
}

void *enc_thread_fn(void *) {
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    if (!frame || !pkt) {
        av_frame_free(&frame);
        av_packet_free(&pkt);
        return nullptr;
    }
    const int w = g_enc_w, h = g_enc_h;
    int64_t pts = 0;
    for (;;) {
        pthread_mutex_lock(&g_enc_lock);
        while (g_enc_running && g_enc_qn == 0) pthread_cond_wait(&g_enc_cv, &g_enc_lock);
        if (g_enc_qn == 0) {
            pthread_mutex_unlock(&g_enc_lock);
            break;
        }
        const int i = g_enc_q[g_enc_qh];
        g_enc_qh = (g_enc_qh + 1) % pool_n;
        g_enc_qn--;
        pthread_mutex_unlock(&g_enc_lock);
        if (i < 0) break;
        EncSlot &s = pool[i];
        const bool ok = rga_copy(rga_dmabuf(s.fd, w, h, s.stride, h, rga_format_bgra),
                                 rga_cpu(s.nv12, w, h, w, h, rga_format_nv12));
        close(s.fd);
        s.fd = -1;
        pthread_mutex_lock(&g_enc_lock);
        g_enc_ring_held = -1; // the GPU may draw into the slot again
        pthread_mutex_unlock(&g_enc_lock);
        if (ok) {
            av_frame_unref(frame);
            frame->data[0] = s.nv12;
            frame->data[1] = s.nv12 + (size_t)w * h;
            frame->linesize[0] = frame->linesize[1] = w;
            frame->width = w;
            frame->height = h;
            frame->format = AV_PIX_FMT_NV12;
            frame->pts = pts;
            if (avcodec_send_frame(g_enc_ctx, frame) == 0) {
                while (avcodec_receive_packet(g_enc_ctx, pkt) == 0) {
                    write_all(pkt->data, pkt->size);
                    av_packet_unref(pkt);
                }
            }
            pts++;
        } else {
            count_one(g_enc_rga_fail);
            if (!rga_warned) {
                rga_warned = true;
                vlog("encode: RGA CSC failed — frame dropped from the stream (counted in the "
                     "heartbeat)");
            }
        }
        pthread_mutex_lock(&g_enc_lock);
        s.state = 0;
        pthread_mutex_unlock(&g_enc_lock);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return nullptr;
}

} // namespace

int enc_frame_rate(const char *encode_fps, const char *display_fps) {
    const long e = encode_fps ? parse_int_lenient(encode_fps) : 0;
    int r = e >= 1 ? (int)e : 30;
    const long d = display_fps ? parse_int_lenient(display_fps) : 0;
    if (d > 0 && d < r) r = (int)d;
    return r;
}

double enc_handoff_interval(const char *encode_fps) {
    const double fps = encode_fps ? strtod(encode_fps, nullptr) : 30.0;
    if (!(fps > 0)) return 0;
    const double s = 1.0 / fps - 0.003;
    return s > 0 ? s : 0;
}

void enc_start(int w, int h) {
    const char *target = env_get("VEX_KMS_ENCODE");
    if (!env_nonempty(target)) return;
    const bool to_stdout = strcmp(target, "1") == 0 || strcmp(target, "stdout") == 0;
    if (g_enc_out_fd < 0) {
        if (to_stdout) {
            if (stdout_closed) return; // closed for good by an earlier failure
            g_enc_out_fd = 1;
        } else {
            g_enc_out_fd = open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (g_enc_out_fd < 0) {
                vlog_errno("encode: open(%s)", target);
                return;
            }
        }
    }
    const AVCodec *codec = avcodec_find_encoder_by_name("h264_rkmpp");
    if (!codec) return enc_fail("h264_rkmpp encoder missing");
    g_enc_ctx = avcodec_alloc_context3(codec);
    if (!g_enc_ctx) return enc_fail("avcodec_alloc_context3 failed");
    const int r = enc_frame_rate(env_get("VEX_KMS_ENCODE_FPS"), env_get("VEX_KMS_DISPLAY_FPS"));
    const char *br = env_get("VEX_KMS_ENCODE_BITRATE");
    const long bitrate = env_nonempty(br) ? parse_int_lenient(br) : 8000000;
    g_enc_ctx->width = w;
    g_enc_ctx->height = h;
    g_enc_ctx->pix_fmt = AV_PIX_FMT_NV12;
    g_enc_ctx->time_base = AVRational{1, r};
    g_enc_ctx->framerate = AVRational{r, 1};
    g_enc_ctx->bit_rate = bitrate;
    g_enc_ctx->gop_size = 2 * r;
    av_opt_set(g_enc_ctx->priv_data, "rc_mode", "CBR", 0);
    av_opt_set(g_enc_ctx->priv_data, "profile", "high", 0);
    if (avcodec_open2(g_enc_ctx, codec, nullptr) < 0)
        return enc_fail("avcodec_open2 (h264_rkmpp) failed");
    for (EncSlot &s : pool) {
        s = EncSlot();
        s.nv12 = static_cast<uint8_t *>(malloc((size_t)w * h * 3 / 2));
        if (!s.nv12) return enc_fail("pool alloc failed");
    }
    g_enc_qn = g_enc_qh = g_enc_qt = 0;
    g_enc_running = true;
    g_enc_w = w, g_enc_h = h;
    if (pthread_create(&g_enc_thread, nullptr, enc_thread_fn, nullptr) != 0)
        return enc_fail("encode thread create failed");
    g_enc_on = true;
    vlog("dewarp HW-encode ON → %s (%dx%d %ldk h264_rkmpp)", target, w, h, bitrate / 1000);
}

void enc_stop() {
    pthread_mutex_lock(&g_enc_lock);
    const bool was_running = g_enc_running;
    g_enc_running = false;
    pthread_cond_broadcast(&g_enc_cv);
    pthread_mutex_unlock(&g_enc_lock);
    if (was_running && g_enc_on) pthread_join(g_enc_thread, nullptr);
    g_enc_on = false;
    free_pool();
    g_enc_qn = g_enc_qh = g_enc_qt = 0;
    g_enc_ring_held = -1;
    avcodec_free_context(&g_enc_ctx);
    g_enc_w = g_enc_h = 0;
}

void enc_hand_off(int slot, int w, int h) {
    if (!g_enc_on || w != g_enc_w || h != g_enc_h) return;
    if (handoff_interval < 0)
        handoff_interval = enc_handoff_interval(env_get("VEX_KMS_ENCODE_FPS"));
    if (handoff_interval > 0) {
        const int64_t now = mono_us();
        if (last_handoff_us && (double)(now - last_handoff_us) < handoff_interval * 1e6) return;
        last_handoff_us = now;
    }
    int i = -1;
    pthread_mutex_lock(&g_enc_lock);
    if (g_enc_ring_held < 0)
        for (int k = 0; k < pool_n && i < 0; k++)
            if (pool[k].state == 0) i = k;
    if (i >= 0) {
        pool[i].state = 1;
        g_enc_ring_held = slot;
    }
    pthread_mutex_unlock(&g_enc_lock);
    if (i < 0) {
        count_one(g_enc_pool_drop);
        return;
    }
    gbm_bo *bo = g_glring[(size_t)slot].bo;
    const int fd = gbm_bo_get_fd(bo);
    if (fd < 0) {
        pthread_mutex_lock(&g_enc_lock);
        pool[i].state = 0;
        g_enc_ring_held = -1;
        pthread_mutex_unlock(&g_enc_lock);
        return;
    }
    const uint32_t stride = gbm_bo_get_stride(bo);
    pool[i].fd = fd;
    pool[i].stride = stride ? (int)(stride / 4) : w;
    pthread_mutex_lock(&g_enc_lock);
    g_enc_q[g_enc_qt] = i;
    g_enc_qt = (g_enc_qt + 1) % pool_n;
    g_enc_qn++;
    pthread_cond_signal(&g_enc_cv);
    pthread_mutex_unlock(&g_enc_lock);
}

int enc_ring_slot_held() {
    pthread_mutex_lock(&g_enc_lock);
    const int held = g_enc_ring_held;
    pthread_mutex_unlock(&g_enc_lock);
    return held;
}
