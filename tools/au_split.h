#pragma once
// Access-unit splitting and NAL scanning for the test tools.
#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Reads a whole file. Returns 0, or -1 with a message on standard error.
int read_file(const char *path, Bytes *out);

// Splits an Annex B elementary stream into access units with the codec
// library's parser (`hevc` selects H.265, else H.264), flushing the parser at
// the end so the last unit is included. Returns 0, or -1 on failure.
int split_access_units(const Bytes &data, bool hevc, std::vector<Bytes> *aus);

// One NAL unit inside a buffer: [start, end) including its start code
// (three or four bytes), `type` from its header byte.
struct Nal {
    size_t start;
    size_t end;
    int type;
};

// NAL units of an Annex B buffer in order.
std::vector<Nal> find_nals(const uint8_t *p, size_t n, bool hevc);

// True for parameter-set units: H.264 SPS/PPS, H.265 VPS/SPS/PPS.
bool is_param_set(int type, bool hevc);
// True for slice (VCL) units.
bool is_slice(int type, bool hevc);
