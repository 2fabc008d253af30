#include "display/display_start.h"

#include "display/output.h"

int display_start() {
    return drm_init();
}

bool display_any_interlaced() {
    for (int i = 0; i < nout; i++)
        if (outs[i].mode.flags & DRM_MODE_FLAG_INTERLACE) return true;
    return false;
}
