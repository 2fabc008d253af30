#pragma once
// How an output's video plane is updated: atomic commits or legacy plane sets,
// one small table each, chosen per output (its atomic_ok flag).
#include <cstdint>

#include "display/placement.h"

struct Output;

struct PlaneOps {
    const char *name;
    // Shows `fb` on the output's video plane: `dst` on the screen, `src` of the
    // framebuffer, both in whole pixels. 0, or -1 with errno set.
    int (*set)(const Output &o, uint32_t fb, const PlaneRect &dst, const PlaneRect &src);
    // Switches the output's video plane off. 0, or -1 with errno set.
    int (*off)(const Output &o);
};

extern const PlaneOps atomic_plane_ops;
extern const PlaneOps legacy_plane_ops;

// The table an output's video plane is updated through.
inline const PlaneOps &plane_ops_for(bool atomic_ok) {
    return atomic_ok ? atomic_plane_ops : legacy_plane_ops;
}

// One atomic commit of the output's video plane; fb 0 switches the plane off.
// Source in whole pixels. Returns the commit result (0 or a negative errno).
int atomic_setplane(const Output *o, uint32_t fb, int32_t crtc_x, int32_t crtc_y, int32_t crtc_w,
                    int32_t crtc_h, int32_t src_x, int32_t src_y, int32_t src_w, int32_t src_h);
