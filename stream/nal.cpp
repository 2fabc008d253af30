#include "stream/nal.h"

#include <cstring>

long nal_find_start(const uint8_t *data, size_t size, size_t from) {
    if (size < 4) return -1;
    const uint8_t *p = data + from;
    const uint8_t *end = data + size - 3; // need 00 00 01 and a header byte
    while (p < end) {
        const uint8_t *z = (const uint8_t *)memchr(p, 0, end - p);
        if (!z) return -1;
        if (z[1] == 0 && z[2] == 1) return z - data;
        p = z + 1;
    }
    return -1;
}

bool nal_is_key_packet(const uint8_t *data, size_t size, bool is_hevc) {
    if (size < 4) return false;
    for (long sc = nal_find_start(data, size, 0); sc >= 0;
         sc = nal_find_start(data, size, (size_t)sc + 3)) {
        uint8_t h = data[sc + 3];
        if (is_hevc) {
            int t = nal_type_hevc(h);
            if ((t >= 19 && t <= 21) || t == 32 || t == 33) return true;
        } else if ((h & 0x1D) == 5) {
            return true;
        }
        if (nal_is_slice(h, is_hevc)) return false;
    }
    return false;
}

bool nal_has_random_access(const uint8_t *data, size_t size, bool is_hevc) {
    for (long sc = nal_find_start(data, size, 0); sc >= 0;
         sc = nal_find_start(data, size, (size_t)sc + 3)) {
        uint8_t h = data[sc + 3];
        if (is_hevc) {
            int t = nal_type_hevc(h);
            if (t >= 16 && t <= 21) return true;
        } else if (nal_type_h264(h) == 5) {
            return true;
        }
    }
    return false;
}

bool nal_has_slice(const uint8_t *data, size_t size, bool is_hevc) {
    for (long sc = nal_find_start(data, size, 0); sc >= 0;
         sc = nal_find_start(data, size, (size_t)sc + 3)) {
        if (nal_is_slice(data[sc + 3], is_hevc)) return true;
    }
    return false;
}

// How many bytes at the end could be the beginning of a start code.
static size_t start_code_tail(const uint8_t *data, size_t size) {
    size_t k = 0;
    while (k < size && k < 3 && data[size - 1 - k] == 0) k++;
    if (k == 0 && size >= 3 && data[size - 1] == 1 && data[size - 2] == 0 && data[size - 3] == 0)
        return 3;
    return k;
}

unsigned NalBits::bit() {
    if (left == 0) {
        if (pos < size && zeros >= 2 && data[pos] == 3) {
            pos++; // emulation prevention
            zeros = 0;
        }
        if (pos >= size) {
            over = true;
            return 0;
        }
        cur = data[pos++];
        zeros = cur == 0 ? zeros + 1 : 0;
        left = 8;
    }
    left--;
    return (cur >> left) & 1;
}

uint32_t NalBits::bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = (v << 1) | bit();
    return v;
}

void NalBits::skip(int n) {
    for (int i = 0; i < n && !over; i++) bit();
}

long NalBits::ue() {
    int lead = 0;
    while (bit() == 0) {
        if (over || ++lead > 31) return -1;
    }
    long v = (long)((1ul << lead) - 1 + bits(lead));
    return over ? -1 : v;
}

// Reads an H.265 SPS from after its NAL header up to
// sps_seq_parameter_set_id; returns sps_max_sub_layers_minus1.
static int hevc_sps_skip_to_id(NalBits &b) {
    b.skip(4); // VPS id
    int sub = (int)b.bits(3);
    b.skip(1);
    // profile_tier_level: the general part, then per sub-layer flags,
    // alignment and optional sub-layer profiles and levels.
    b.skip(96);
    bool prof[8] = {}, lvl[8] = {};
    for (int i = 0; i < sub; i++) {
        prof[i] = b.bit();
        lvl[i] = b.bit();
    }
    if (sub > 0) b.skip(2 * (8 - sub));
    for (int i = 0; i < sub; i++) b.skip((prof[i] ? 88 : 0) + (lvl[i] ? 8 : 0));
    return sub;
}

int nal_hevc_address_bits(const uint8_t *unit, size_t len) {
    NalBits b(unit, len);
    b.skip(16); // NAL header
    const int sub = hevc_sps_skip_to_id(b);
    b.ue(); // SPS id
    const long chroma = b.ue();
    if (chroma == 3) b.skip(1);
    const long w = b.ue(), h = b.ue();
    if (b.bit()) // conformance window
        for (int i = 0; i < 4; i++) b.ue();
    b.ue(); // bit depths
    b.ue();
    b.ue(); // log2_max_pic_order_cnt_lsb_minus4
    const bool all_layers = b.bit();
    for (int i = all_layers ? 0 : sub; i <= sub; i++)
        for (int k = 0; k < 3; k++) b.ue();
    const long min_cb = b.ue() + 3, diff = b.ue();
    const long ctb = min_cb + diff;
    if (b.over || w <= 0 || h <= 0 || min_cb > 6 || diff < 0 || ctb < 4 || ctb > 6) return -1;
    const long ctbs = ((w + (1L << ctb) - 1) >> ctb) * ((h + (1L << ctb) - 1) >> ctb);
    int bits = 0;
    while ((1L << bits) < ctbs) bits++;
    return bits;
}

int nal_hevc_pps_dependent_slices(const uint8_t *unit, size_t len, int *sps_id) {
    NalBits b(unit, len);
    b.skip(16); // NAL header
    b.ue();     // PPS id
    const long sps = b.ue();
    const int dependent = (int)b.bit();
    if (b.over || sps < 0 || sps > 15) return -1;
    *sps_id = (int)sps;
    return dependent;
}

int nal_param_set_id(const uint8_t *unit, size_t len, int entry, bool is_hevc) {
    NalBits b(unit, len);
    long id = -1, max = 0;
    if (!is_hevc) {
        b.skip(8); // NAL header
        if (entry == 1) {
            b.skip(24); // profile, constraint flags, level
            id = b.ue();
            max = 31;
        } else if (entry == 2) {
            id = b.ue();
            max = 255;
        }
    } else {
        b.skip(16); // NAL header
        if (entry == 0) {
            id = b.bits(4);
            max = 15;
        } else if (entry == 1) {
            hevc_sps_skip_to_id(b);
            id = b.ue();
            max = 15;
        } else if (entry == 2) {
            id = b.ue();
            max = 63;
        }
    }
    return (b.over || id < 0 || id > max) ? -1 : (int)id;
}

// Bytes up to the first start code's leading zero (all but a partial start code
// at the end when there is none): they can never start decoding.
static size_t leading_junk(const uint8_t *data, size_t size) {
    long first = nal_find_start(data, size, 0);
    if (first < 0) {
        size_t keep = start_code_tail(data, size);
        return size > keep ? size - keep : 0;
    }
    if (first > 1 || (first == 1 && data[0] != 0))
        return data[first - 1] == 0 ? (size_t)first - 1 : (size_t)first;
    return 0;
}

HevcStart hevc_deferred_scan(HevcScan *st, const uint8_t *data, size_t size) {
    if (st->pos == 0) {
        size_t junk = leading_junk(data, size);
        if (junk > 0) return HevcStart{0, junk};
    }
    size_t i = st->pos;
    while (i + 6 <= size) {
        long sc = nal_find_start(data, size, i);
        if (sc < 0) {
            // Nothing more up to the last three bytes, which may begin one.
            i = size - 3;
            break;
        }
        int t = nal_type_hevc(data[sc + 3]);
        if (t == 33) {
            st->sps = true;
        } else if (t == 34) {
            st->pps = true;
        } else if (t < 32) {
            if (st->sps && st->pps && sc > 0) return HevcStart{(size_t)sc, 0};
            // A slice without its parameter sets: nothing up to the next
            // parameter set can ever be decoded.
            *st = HevcScan{};
            for (long n = nal_find_start(data, size, (size_t)sc + 3); n >= 0;
                 n = nal_find_start(data, size, (size_t)n + 3)) {
                int nt = nal_type_hevc(data[n + 3]);
                if (nt >= 32 && nt <= 34)
                    return HevcStart{0, (data[n - 1] == 0) ? (size_t)n - 1 : (size_t)n};
            }
            return HevcStart{0, size - start_code_tail(data, size)};
        }
        i = (size_t)sc + 3;
    }
    st->pos = i;
    return HevcStart{0, 0};
}
