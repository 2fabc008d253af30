#pragma once
// Tracking of the stream's parameter sets (VPS, SPS, PPS) to notice when they
// change mid-stream and to rebuild the decoder's extradata from them.
#include <cstddef>
#include <cstdint>

struct ParamSet {
    uint8_t *data; // own copy of the NAL unit behind a four-byte start code
    size_t len;
};

// Entry 0 = VPS (H.265 only), 1 = SPS, 2 = PPS.
struct ParamSets {
    ParamSet e[3];
};

// Walks the access unit's NAL units and updates the tracked sets. Returns 1
// when a tracked set changed (a first copy is not a change), 0 otherwise, -1
// when a copy could not be allocated.
int param_sets_track(ParamSets *ps, const uint8_t *data, size_t size, bool is_hevc);
// Whether every entry the codec needs is filled.
bool param_sets_complete(const ParamSets *ps, bool is_hevc);
// Length of the extradata built from the sets (without padding).
size_t param_sets_extradata_len(const ParamSets *ps, bool is_hevc);
// Writes the sets in entry order into `dst` (param_sets_extradata_len bytes).
void param_sets_write_extradata(const ParamSets *ps, bool is_hevc, uint8_t *dst);
void param_sets_free(ParamSets *ps);
