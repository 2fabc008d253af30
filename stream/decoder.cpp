#include "stream/decoder.h"

#include <cstring>
#include <unistd.h>

#include "core/env.h"
#include "core/log.h"
#include "core/counters.h"
#include "stream/mailbox.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

AVCodecContext *new_decoder_ctx(const AVCodec *codec, const char *name) {
    AVCodecContext *ctx = avcodec_alloc_context3(codec);
    if (!ctx) {
        vlog("avcodec_alloc_context3 failed");
        return nullptr;
    }
    ctx->pix_fmt = AV_PIX_FMT_DRM_PRIME;
    ctx->get_format = get_drm_prime;

    if (strcmp(name, "hevc") == 0) {
        const char *dev = env_get("VEX_KMS_DRM_DEVICE");
        AVBufferRef *hw = nullptr;
        if (av_hwdevice_ctx_create(&hw, AV_HWDEVICE_TYPE_DRM, dev, nullptr, 0) < 0) {
            vlog("DRM hwdevice create failed (needed for v4l2-request HEVC)");
            avcodec_free_context(&ctx);
            return nullptr;
        }
        ctx->hw_device_ctx = hw;
        vlog("HEVC via v4l2-request DRM hwaccel (device %s)", dev ? dev : "auto");
    }

    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx->flags2 |= AV_CODEC_FLAG2_FAST;
    if (codec->id == AV_CODEC_ID_H264) ctx->flags2 |= AV_CODEC_FLAG2_SHOW_ALL;
    return ctx;
}

enum AVPixelFormat get_drm_prime(AVCodecContext *, const enum AVPixelFormat *fmts) {
    for (const enum AVPixelFormat *p = fmts; *p != AV_PIX_FMT_NONE; p++)
        if (*p == AV_PIX_FMT_DRM_PRIME) return AV_PIX_FMT_DRM_PRIME;
    vlog("decoder did not offer DRM_PRIME");
    return fmts[0];
}

int drain_decoder(AVCodecContext *ctx, int key) {
    int n = 0;
    AVFrame *held = nullptr;
    for (;;) {
        AVFrame *f = av_frame_alloc();
        if (!f) break;
        if (avcodec_receive_frame(ctx, f) < 0) {
            av_frame_free(&f);
            break;
        }
        // Counted before the frame can be shown, so that no report ever sees
        // more frames shown than decoded.
        count_one(g_dec_count);
        // Push in decode order, holding back the newest so the key mark lands on it.
        if (held) mb_push(held);
        held = f;
        n++;
    }
    if (held) {
        if (key) held->flags |= AV_FRAME_FLAG_KEY;
        mb_push(held);
    }
    return n;
}

int drain_decoder_at_end(AVCodecContext *ctx) {
    int n = 0;
    if (avcodec_send_packet(ctx, nullptr) == AVERROR(EAGAIN)) {
        n += drain_decoder(ctx, 0);
        avcodec_send_packet(ctx, nullptr);
    }
    int waited_ms = 0;
    for (;;) {
        AVFrame *f = av_frame_alloc();
        if (!f) break;
        int ret = avcodec_receive_frame(ctx, f);
        if (ret == 0) {
            // Nothing newer follows: each picture waits for room rather than
            // pushing out the one before it.
            mb_push_when_room(f, 1000);
            count_one(g_dec_count);
            n++;
            waited_ms = 0;
            continue;
        }
        av_frame_free(&f);
        if (ret != AVERROR(EAGAIN) || waited_ms >= 500) break;
        usleep(2000);
        waited_ms += 2;
    }
    return n;
}
