#pragma once
// The RGA engine on the video path: the flip ring, and for outputs without a
// video overlay plane (the primary path) the picture scaled into the panel's
// own ring.
#include <cstdint>

#include "display/rga.h"

struct Output;
struct AVDRMFrameDescriptor;

// Scales the source rectangle (sx, sy, sw, sh: the crop of the "cover" fit,
// else the whole source; in the GPU render's pixels when the GPU pass drew
// this frame, else in the frame's) of a frame of fw x fh onto the whole of the
// output's panel ring slot, flipped by the output's own flip setting. Returns
// the slot's framebuffer (owned by the ring, shown 1:1 over the whole output),
// or 0 when the panel path cannot serve this frame: the caller then places
// the frame's own framebuffer. Saves the slot when a snapshot is wanted.
uint32_t panel_present(Output *o, const AVDRMFrameDescriptor *desc, int fw, int fh, int sx, int sy,
                       int sw, int sh);

// One RGA pass scaling `srect` of src onto `drect` of dst with `transform`,
// or, when the engine refuses scale and transform together, a scale and then
// an in-place flip of dst. 1 when dst holds the picture, 0 otherwise.
int dsi_blit(int out, const RgaImage &src, const RgaImage &dst, RgaRect srect, RgaRect drect,
             int transform);

// Writes slot `slot` of output `out`'s panel ring to "/tmp/vex-snap-dsi.ppm".
void dsi_snapshot(int out, int slot);

// Flips the frame on the RGA engine into the flip ring: a framebuffer id the
// caller owns and removes, or 0 when the frame is to be shown unflipped.
uint32_t rga_flip_fb(const AVDRMFrameDescriptor *desc, int w, int h);

// RGA transform code of a flip text: "h" 8, "v" 16, "180" 2, anything else
// (or null) 0.
int rga_flip_mode(const char *flip);

// The transform that turns a picture already flipped by `done` into one
// flipped by `want` (the flips compose: h then v is 180).
int rga_flip_between(const char *done, const char *want);

// Height stride of a decoder's NV12 frame: its height, or more when the
// chroma plane starts further down (pitch > 0); -1 when the chroma plane does
// not start on a row boundary, which an RGA image cannot describe.
int nv12_hstride(uint32_t pitch, uint32_t chroma_offset, int height);

// Integer BT.601 limited-range conversion of one pixel to R, G, B.
void bt601_to_rgb(int y, int u, int v, uint8_t rgb[3]);
