#pragma once
// The simulated hardware H.264 encoder (sim/sim_encoder.cpp).
struct AVCodec;
struct AVCodecContext;
struct AVDictionary;

// True for the codec the simulated "h264_rkmpp" encoder lookup returns.
bool sim_is_board_encoder(const AVCodec *codec);
// avcodec_open2 for it: the open-failure knob, then the low-latency settings.
int sim_encoder_open(AVCodecContext *avctx, const AVCodec *codec, AVDictionary **options);
