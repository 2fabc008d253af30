#include "gpu/gpu_pass.h"

#include "core/config.h"

int g_lut_on;
int g_gl_src_fd = -1;
int g_gl_src_w, g_gl_src_h, g_gl_src_ws;

// Neither the GPU pass nor the RGA engine is wired in yet: every frame is
// scanned out from the decoder's own buffer, uncorrected and unflipped.
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
uint32_t rga_flip_fb(const AVDRMFrameDescriptor *, int, int) {
    return 0;
}
