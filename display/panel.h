#pragma once
// Outputs without a video overlay plane: the picture scaled into the panel's own ring.
#include <cstdint>

struct Output;
struct AVDRMFrameDescriptor;

// Scales the source rectangle into the output's panel ring: the ring slot's
// framebuffer, or 0 when the panel path cannot serve this frame.
uint32_t panel_present(Output *o, const AVDRMFrameDescriptor *desc, int sx, int sy, int sw, int sh);
