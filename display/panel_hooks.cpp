#include "display/panel.h"

// The RGA engine is not wired in yet: frames are shown unflipped and panels
// show the decoder's frame on their primary plane.
uint32_t panel_present(Output *, const AVDRMFrameDescriptor *, int, int, int, int) {
    return 0;
}
uint32_t rga_flip_fb(const AVDRMFrameDescriptor *, int, int) {
    return 0;
}
