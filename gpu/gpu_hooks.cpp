#include "gpu/gpu_pass.h"

#include "core/config.h"

int g_lut_on;
time_t g_lut_mtime;
int g_gl_src_fd = -1;
int g_gl_src_w, g_gl_src_h, g_gl_src_ws;

// The GPU pass is not wired in yet: every frame is shown uncorrected.
bool gpu_pass_wanted() {
    return g_dewarp || g_colorgrade || g_antiflicker || g_rot_val != 0;
}
uint32_t gl_dewarp_fb(const AVDRMFrameDescriptor *, int, int) {
    return 0;
}
void gpu_render_size(int *w, int *h) {
    *w = *h = 0;
}
void gpu_release_output() {}
