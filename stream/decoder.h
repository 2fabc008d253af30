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
// End of input: tells the decoder that no packet follows and receives every
// picture it still holds (those kept back for reordering) into the mailbox,
// each waiting (up to a second) for room there instead of pushing out the one
// before it. While all its output buffers are in use it waits for the display
// to free one, up to half a second. Returns the number of frames received.
int drain_decoder_at_end(AVCodecContext *ctx);
