// The simulated board's hardware H.264 encoder, "h264_rkmpp": found by that
// name, it is FFmpeg's libx264 opened with low-latency settings (ultrafast,
// zerolatency: one packet out for every frame in, no look-ahead). Private
// options that only the hardware encoder knows ("rc_mode") are refused by
// libx264's option table, which the product does not depend on; "profile" is
// understood by both. Knobs (docs/simulator.md):
//   VEX_SIM_ENC_MISSING=1    the encoder is not found
//   VEX_SIM_ENC_OPEN_FAIL=1  avcodec_open2 fails (EINVAL)
//   VEX_SIM_ENC_SLOW_MS=N    every avcodec_send_frame takes N ms longer
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "sim/sim_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>

const AVCodec *__real_avcodec_find_encoder_by_name(const char *name);
int __real_avcodec_open2(AVCodecContext *avctx, const AVCodec *codec, AVDictionary **options);
int __real_avcodec_send_frame(AVCodecContext *avctx, const AVFrame *frame);
const AVCodec *__wrap_avcodec_find_encoder_by_name(const char *name);
int __wrap_avcodec_send_frame(AVCodecContext *avctx, const AVFrame *frame);
}

namespace {

bool knob_on(const char *name) {
    const char *v = getenv(name);
    return v && v[0] && strcmp(v, "0") != 0;
}

} // namespace

bool sim_is_board_encoder(const AVCodec *codec) {
    return codec && av_codec_is_encoder(codec) && strcmp(codec->name, "libx264") == 0;
}

int sim_encoder_open(AVCodecContext *avctx, const AVCodec *codec, AVDictionary **options) {
    if (knob_on("VEX_SIM_ENC_OPEN_FAIL")) return AVERROR(EINVAL);
    if (avctx && avctx->priv_data) {
        av_opt_set(avctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(avctx->priv_data, "tune", "zerolatency", 0);
    }
    if (avctx) avctx->max_b_frames = 0;
    return __real_avcodec_open2(avctx, codec, options);
}

const AVCodec *__wrap_avcodec_find_encoder_by_name(const char *name) {
    if (name && strcmp(name, "h264_rkmpp") == 0) {
        if (knob_on("VEX_SIM_ENC_MISSING")) return nullptr;
        return __real_avcodec_find_encoder_by_name("libx264");
    }
    return __real_avcodec_find_encoder_by_name(name);
}

int __wrap_avcodec_send_frame(AVCodecContext *avctx, const AVFrame *frame) {
    const char *slow = getenv("VEX_SIM_ENC_SLOW_MS");
    if (slow && avctx && sim_is_board_encoder(avctx->codec)) {
        const long ms = strtol(slow, nullptr, 10);
        if (ms > 0) usleep((useconds_t)ms * 1000);
    }
    return __real_avcodec_send_frame(avctx, frame);
}
