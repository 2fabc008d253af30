#include "stream/param_sets.h"

#include <cstdlib>
#include <cstring>

#include "stream/nal.h"

static int entry_for(uint8_t header, bool is_hevc) {
    if (is_hevc) {
        int t = nal_type_hevc(header);
        return (t >= 32 && t <= 34) ? t - 32 : -1;
    }
    int t = nal_type_h264(header);
    return t == 7 ? 1 : t == 8 ? 2 : -1;
}

// Units are kept with a four-byte start code whatever they came with: the
// parser may leave the leading zero of a start code at the end of the
// previous access unit, and an identical parameter set is no change.
constexpr uint8_t start_code[4] = {0, 0, 0, 1};

int param_sets_track(ParamSets *ps, const uint8_t *data, size_t size, bool is_hevc) {
    int changed = 0, failed = 0;
    nal_walk_to_slice(data, size, is_hevc, [&](const NalUnit &u) {
        int i = entry_for(u.header, is_hevc);
        if (i < 0) return;
        size_t sc = data[u.start + 2] == 1 ? 3 : 4;
        const uint8_t *payload = data + u.start + sc;
        size_t plen = u.len - sc, len = plen + 4;
        int id = nal_param_set_id(payload, plen, i, is_hevc);
        if (id < 0) return;
        ParamSet &e = ps->e[i][id];
        if (e.data && e.len == len) {
            if (memcmp(e.data + 4, payload, plen) != 0) {
                changed = 1;
                memcpy(e.data + 4, payload, plen);
            }
            return;
        }
        auto *copy = (uint8_t *)malloc(len);
        if (!copy) {
            failed = 1;
            return;
        }
        memcpy(copy, start_code, 4);
        memcpy(copy + 4, payload, plen);
        if (e.data) changed = 1;
        free(e.data);
        e.data = copy;
        e.len = len;
    });
    if (failed && !changed) return -1;
    return changed;
}

bool param_sets_complete(const ParamSets *ps, bool is_hevc) {
    for (int i = is_hevc ? 0 : 1; i < 3; i++) {
        bool any = false;
        for (const ParamSet &e : ps->e[i]) any = any || e.data;
        if (!any) return false;
    }
    return true;
}

size_t param_sets_extradata_len(const ParamSets *ps, bool is_hevc) {
    size_t n = 0;
    for (int i = is_hevc ? 0 : 1; i < 3; i++)
        for (const ParamSet &e : ps->e[i]) n += e.len;
    return n;
}

void param_sets_write_extradata(const ParamSets *ps, bool is_hevc, uint8_t *dst) {
    for (int i = is_hevc ? 0 : 1; i < 3; i++)
        for (const ParamSet &e : ps->e[i]) {
            if (!e.data) continue;
            memcpy(dst, e.data, e.len);
            dst += e.len;
        }
}

void param_sets_free(ParamSets *ps) {
    for (auto &kind : ps->e)
        for (ParamSet &e : kind) {
            free(e.data);
            e = ParamSet{nullptr, 0};
        }
}
