#pragma once
// Hardware decoder set-up and the hand-off of decoded DRM PRIME frames.
extern "C" {
#include <libavcodec/avcodec.h>
}

#include "stream/ffmpeg_compat.h" // AV_FRAME_FLAG_KEY on every FFmpeg version

// A decoder context that negotiates DRM PRIME output; not opened. Null on failure.
AVCodecContext *new_decoder_ctx(const AVCodec *codec, const char *name);
// Format negotiation: DRM PRIME when offered, else the first offered format.
enum AVPixelFormat get_drm_prime(AVCodecContext *ctx, const enum AVPixelFormat *fmts);
// Receives every ready frame into the mailbox; a non-zero key marks the last one.
int drain_decoder(AVCodecContext *ctx, int key);
