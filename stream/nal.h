#pragma once
// NAL unit scanning of Annex B access units (pure, no I/O).
#include <cstddef>
#include <cstdint>

// Position of the first 00 00 01 at or after `from` that has at least one
// byte after it (the NAL header), or -1.
long nal_find_start(const uint8_t *data, size_t size, size_t from);

// NAL unit type of a header byte.
inline int nal_type_h264(uint8_t header) {
    return header & 0x1F;
}
inline int nal_type_hevc(uint8_t header) {
    return (header >> 1) & 63;
}

// Key-frame test of one access unit: an H.264 IDR slice or SPS, an H.265
// IDR/CRA picture or VPS/SPS. Packets shorter than 4 bytes are never key frames.
// Looks no further than the first slice: the slices of one picture share its
// type, and parameter sets come before them.
bool nal_is_key_packet(const uint8_t *data, size_t size, bool is_hevc);

// Whether the access unit holds a random-access picture (H.264: IDR slice;
// H.265: NAL types 16 to 21).
bool nal_has_random_access(const uint8_t *data, size_t size, bool is_hevc);

// Whether the access unit holds a slice (a picture): H.264 types 1 to 5,
// H.265 types 0 to 31.
bool nal_has_slice(const uint8_t *data, size_t size, bool is_hevc);

// Whether a NAL header byte is a slice's (see nal_has_slice).
inline bool nal_is_slice(uint8_t header, bool is_hevc) {
    if (is_hevc) return nal_type_hevc(header) < 32;
    int t = nal_type_h264(header);
    return t >= 1 && t <= 5;
}

// One NAL unit of an access unit, its start code included. A unit starts at
// its 00 00 01 (one byte earlier when a zero byte precedes it) and ends where
// the next one starts, or at the end of the packet.
struct NalUnit {
    size_t start;
    size_t len;
    uint8_t header; // first byte after the start code
};

// Calls fn(const NalUnit&) for the NAL units of the packet, in order, until
// one whose header byte `stop` accepts: that one and what follows are left
// unscanned.
template <typename Stop, typename Fn>
void nal_walk_until(const uint8_t *data, size_t size, Stop &&stop, Fn &&fn) {
    long sc = nal_find_start(data, size, 0);
    while (sc >= 0 && !stop(data[sc + 3])) {
        size_t start = (sc > 0 && data[sc - 1] == 0) ? (size_t)sc - 1 : (size_t)sc;
        uint8_t header = data[sc + 3];
        long next = nal_find_start(data, size, (size_t)sc + 3);
        size_t end = size;
        if (next >= 0)
            end = (data[next - 1] == 0 && (size_t)next - 1 > (size_t)sc + 3) ? (size_t)next - 1
                                                                             : (size_t)next;
        fn(NalUnit{start, end - start, header});
        sc = next;
    }
}

// Calls fn(const NalUnit&) for every NAL unit of the packet, in order.
template <typename Fn>
void nal_walk(const uint8_t *data, size_t size, Fn &&fn) {
    nal_walk_until(
        data, size, [](uint8_t) { return false; }, fn);
}

// Calls fn(const NalUnit&) for the NAL units before the first slice, and stops
// at that slice without scanning its data for the next start code. An access
// unit carries its parameter sets, SEI and delimiter before its first slice
// (the parser starts a new unit at any of them after a slice), so this sees
// all of them at the cost of the headers alone.
template <typename Fn>
void nal_walk_to_slice(const uint8_t *data, size_t size, bool is_hevc, Fn &&fn) {
    nal_walk_until(
        data, size, [&](uint8_t h) { return nal_is_slice(h, is_hevc); }, fn);
}

// Reads the bits of a NAL unit, skipping emulation-prevention bytes (the 03
// of 00 00 03). Reading past the end yields zeros and sets `over`.
struct NalBits {
    const uint8_t *data;
    size_t size;
    size_t pos = 0; // next byte
    int zeros = 0;  // zero bytes just read (for emulation prevention)
    uint8_t cur = 0;
    int left = 0; // bits of `cur` not yet read
    bool over = false;

    NalBits(const uint8_t *d, size_t n) : data(d), size(n) {}
    unsigned bit();
    uint32_t bits(int n); // n <= 32
    void skip(int n);
    // Unsigned exp-Golomb code; -1 when longer than 31 bits or cut off.
    long ue();
};

// The id of a parameter set, read from its unit (the bytes after the start
// code, header included): entry 0 VPS (H.265), 1 SPS, 2 PPS. -1 when the unit
// is cut short or the id is out of the codec's range (H.264: SPS 0..31, PPS
// 0..255; H.265: VPS 0..15, SPS 0..15, PPS 0..63).
int nal_param_set_id(const uint8_t *unit, size_t len, int entry, bool is_hevc);

// H.265, from a sequence parameter set's unit (header included): the width
// in bits of a slice's slice_segment_address (enough for every coding tree
// block of the picture), or -1 when the unit cannot be read that far.
int nal_hevc_address_bits(const uint8_t *unit, size_t len);
// H.265, from a picture parameter set's unit (header included): whether its
// slices carry dependent_slice_segment_flag (1 or 0), its SPS id in `sps_id`;
// -1 when it cannot be read.
int nal_hevc_pps_dependent_slices(const uint8_t *unit, size_t len, int *sps_id);

// The deferred start of an H.265 decoder: scanning from the start, the first
// slice must be preceded by both an SPS and a PPS.
struct HevcStart {
    size_t open_at; // > 0: the decoder can open with the bytes before this position
    size_t drop;    // > 0: the leading bytes up to here can never start decoding
};
// Progress of the scan over a buffer that grows at its end between calls, so
// that every byte is looked at once. Reset it (= {}) whenever the buffer is
// emptied or its start moves other than by a returned drop.
struct HevcScan {
    size_t pos = 0; // where the search for the next start code resumes
    bool sps = false, pps = false;
};
// open_at is set when a slice is preceded by both parameter sets. drop is set
// for leading bytes that can never start decoding: bytes before the first
// start code, or slices before their parameter sets (up to the next parameter
// set, or all but a partial start code when none has arrived yet); the scan
// then starts afresh at the new start of the buffer. Both 0: wait for more
// input.
HevcStart hevc_deferred_scan(HevcScan *scan, const uint8_t *data, size_t size);
