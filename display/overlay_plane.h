#pragma once
// Choosing each output's ARGB overlay plane by probing the candidates.
#include <bitset>
#include <cstdint>

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

// Finds, probes and sets up the output's overlay plane, or the sidebar fallback.
void probe_overlay_plane(Output *o, int index, PlaneSet *taken);
