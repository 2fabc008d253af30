#pragma once
// The dewarp and colour-grade draw of one decoded frame (gl_dewarp_fb in
// gpu/gpu_pass.h), and its pure pieces.
#include <EGL/egl.h>

struct AVDRMFrameDescriptor;

// Longest attribute list dmabuf_import_attribs writes: size, format, three
// planes with modifiers, and EGL_NONE.
constexpr int dmabuf_attrib_max = 6 + 3 * 10 + 1;

// The EGL_LINUX_DMA_BUF_EXT attribute list importing layer 0 of the frame
// (at most its first three planes; a plane's modifier only when non-zero),
// ending with EGL_NONE. Returns the number of values written.
int dmabuf_import_attribs(const AVDRMFrameDescriptor *desc, int w, int h,
                          EGLint out[dmabuf_attrib_max]);

// The ring slot to draw the next frame into: `next` in ring order, or the one
// after it when `held` (the slot the encoder still reads, -1 for none) is
// `next`. The two slots drawn last (on screen, and the one it replaces) are
// never chosen: with one slot held the other three take turns.
int gl_next_slot(int next, int held);

// The snapshot of the picture just drawn (the bound framebuffer, render size)
// to "/tmp/vex-snap.ppm"; skipped silently when memory or the file fail.
void gl_snapshot(int w, int h);
