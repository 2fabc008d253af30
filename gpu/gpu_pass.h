#pragma once
// The GPU correction pass, which turns a decoded frame into a corrected scan-out
// framebuffer.
#include <cstdint>
#include <ctime>

struct AVDRMFrameDescriptor;

// 1 while a 3-D LUT is applied by the GPU pass.
extern int g_lut_on;
// Modification time (whole seconds) of the LUT file at its last load; 0 makes
// the GPU pass load g_lut_path again.
extern time_t g_lut_mtime;

// The GPU output: the dmabuf of the ring slot drawn last (-1 when none), its
// size and its row stride in pixels, for consumers on the RGA engine.
extern int g_gl_src_fd;
extern int g_gl_src_w, g_gl_src_h, g_gl_src_ws;

// Whether the GPU pass is wanted for the current settings.
bool gpu_pass_wanted();
// Renders the frame through the GPU pass: a framebuffer id, or 0.
uint32_t gl_dewarp_fb(const AVDRMFrameDescriptor *desc, int w, int h);
// Size the GPU renders at (0 when unknown).
void gpu_render_size(int *w, int *h);
// Closes the GPU output descriptor left from the previous frame.
void gpu_release_output();
