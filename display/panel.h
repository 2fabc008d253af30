#pragma once
// The RGA engine on the video path: the flip ring, and for outputs without a
// video overlay plane the picture scaled into the panel's own ring.
#include <cstdint>

struct Output;
struct AVDRMFrameDescriptor;

// Scales the source rectangle into the output's panel ring: the ring slot's
// framebuffer, or 0 when the panel path cannot serve this frame.
uint32_t panel_present(Output *o, const AVDRMFrameDescriptor *desc, int sx, int sy, int sw, int sh);

// Flips the frame on the RGA engine into the flip ring: a framebuffer id the
// caller owns and removes, or 0 when the frame is to be shown unflipped.
uint32_t rga_flip_fb(const AVDRMFrameDescriptor *desc, int w, int h);
