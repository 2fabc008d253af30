#pragma once
// Choosing each output's ARGB overlay plane by probing the candidates.
#include <bitset>
#include <cstdint>

#include "display/props.h"

struct Output;

// Plane indices (positions in the plane-resource list) already in use.
using PlaneSet = std::bitset<256>;

struct OverlayCandidate {
    uint32_t plane_id;
    uint32_t zpos_prop; // 0 = no zpos property
    uint64_t zpos;
    uint32_t overlay; // overlay-typed
    uint32_t index;   // position in the plane-resource list
};

constexpr int max_overlay_candidates = 16;

// Higher zpos first; for equal zpos an overlay-typed plane before another;
// otherwise the given order stays (stable).
void order_overlay_candidates(OverlayCandidate *c, int n);

// Stacking positions that put the overlay plane above the video plane.
struct ZposPlan {
    bool set_overlay = false;
    uint64_t overlay = 0;
    bool set_video = false; // the video plane must come down to make room
    uint64_t video = 0;
    bool above = false; // the overlay ends up above the video (true without a video zpos)
};

// The overlay goes to the top of its range; when the video plane sits there
// already (or higher), the video comes down just below it, where its own
// range allows. A zpos without an id is absent; one not settable stays.
ZposPlan plan_overlay_zpos(const RangeProp &overlay, const RangeProp &video);

// Finds, probes and sets up the output's overlay plane, or the sidebar fallback.
// The accepted plane is stacked above the output's video plane, which may be
// moved down for it.
void probe_overlay_plane(Output *o, int index, PlaneSet *taken);
