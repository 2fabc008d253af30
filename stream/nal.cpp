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

// How many bytes at the end could be the beginning of a start code.
static size_t start_code_tail(const uint8_t *data, size_t size) {
    size_t k = 0;
    while (k < size && k < 3 && data[size - 1 - k] == 0) k++;
    if (k == 0 && size >= 3 && data[size - 1] == 1 && data[size - 2] == 0 && data[size - 3] == 0)
        return 3;
    return k;
}

HevcStart hevc_deferred_scan(const uint8_t *data, size_t size) {
    long first = nal_find_start(data, size, 0);
    if (first < 0) {
        // No unit has begun yet: only a partial start code is worth keeping.
        size_t keep = start_code_tail(data, size);
        return HevcStart{0, size > keep ? size - keep : 0};
    }
    if (first > 1 || (first == 1 && data[0] != 0)) // bytes before the first start code
        return HevcStart{0, data[first - 1] == 0 ? (size_t)first - 1 : (size_t)first};

    bool sps = false, pps = false;
    size_t i = 0;
    while (size - i >= 6) {
        long sc = nal_find_start(data, size, i);
        if (sc < 0) break;
        int t = nal_type_hevc(data[sc + 3]);
        if (t == 33) {
            sps = true;
        } else if (t == 34) {
            pps = true;
        } else if (t < 32) {
            if (sps && pps && sc > 0) return HevcStart{(size_t)sc, 0};
            // A slice without its parameter sets: nothing up to the next
            // parameter set can ever be decoded.
            for (long n = nal_find_start(data, size, (size_t)sc + 3); n >= 0;
                 n = nal_find_start(data, size, (size_t)n + 3)) {
                int nt = nal_type_hevc(data[n + 3]);
                if (nt >= 32 && nt <= 34)
                    return HevcStart{0, (data[n - 1] == 0) ? (size_t)n - 1 : (size_t)n};
            }
            size_t keep = start_code_tail(data, size);
            return HevcStart{0, size - keep};
        }
        i = (size_t)sc + 3;
    }
    return HevcStart{0, 0};
}
