#pragma once
// Tracking of the stream's parameter sets (VPS, SPS, PPS) to notice when they
// change mid-stream and to rebuild the decoder's extradata from them. Sets are
// kept per id: encoders that send several (PPS 0 and 1, say) repeat each of
// them unchanged, and only the same id with other bytes is a change.
#include <cstddef>
#include <cstdint>

struct ParamSet {
    uint8_t *data; // own copy of the NAL unit behind a four-byte start code
    size_t len;
};

// Room for every id of every kind (the largest range is H.264's 256 PPS ids).
constexpr int param_set_ids = 256;

// Entry 0 = VPS (H.265 only), 1 = SPS, 2 = PPS; each indexed by id.
struct ParamSets {
    ParamSet e[3][param_set_ids];
};

// Walks the access unit's NAL units before its first slice (where an access
// unit carries its parameter sets) and updates the tracked sets. Returns 1
// when a tracked set changed (a first copy of an id is not a change), 0
// otherwise, -1 when a copy could not be allocated. A set whose id cannot be
// read is left to the decoder and not tracked.
int param_sets_track(ParamSets *ps, const uint8_t *data, size_t size, bool is_hevc);
// Whether every kind the codec needs has at least one set.
bool param_sets_complete(const ParamSets *ps, bool is_hevc);
// Length of the extradata built from the sets (without padding).
size_t param_sets_extradata_len(const ParamSets *ps, bool is_hevc);
// Writes every set, kind by kind in entry order and by rising id, into `dst`
// (param_sets_extradata_len bytes).
void param_sets_write_extradata(const ParamSets *ps, bool is_hevc, uint8_t *dst);
void param_sets_free(ParamSets *ps);
