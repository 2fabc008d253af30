#include "stream/idle_cut.h"

#include "core/env.h"
#include "stream/nal.h"
#include "stream/param_sets.h"

namespace {

// Adds a slice's first block to a layout hash (FNV-1a over the addresses).
uint64_t layout_add(uint64_t h, uint32_t address) {
    if (h == 0) h = 1469598103934665603ull;
    for (int i = 0; i < 4; i++) h = (h ^ ((address >> (8 * i)) & 0xff)) * 1099511628211ull;
    return h;
}

// How the slices of one H.265 picture parameter set code their address, read
// from the sets once per inspected unit rather than once per slice.
struct HevcAddressing {
    long pps_id = -1;
    int dependent = -1; // slices carry dependent_slice_segment_flag; -1: sets unreadable
    int bits = -1;      // width of slice_segment_address
};

// The address of an H.265 slice that does not open its picture, read after
// its slice_pic_parameter_set_id with the sets it refers to; -1 when unknown.
long hevc_address(NalBits &b, long pps_id, const ParamSets *ps, HevcAddressing *a) {
    if (!ps || pps_id < 0 || pps_id >= param_set_ids) return -1;
    if (a->pps_id != pps_id) {
        *a = HevcAddressing{pps_id};
        const ParamSet &pps = ps->e[2][pps_id];
        int sps_id = -1;
        if (pps.data)
            a->dependent = nal_hevc_pps_dependent_slices(pps.data + 4, pps.len - 4, &sps_id);
        const ParamSet *sps = a->dependent >= 0 ? &ps->e[1][sps_id] : nullptr;
        if (sps && sps->data) a->bits = nal_hevc_address_bits(sps->data + 4, sps->len - 4);
    }
    if (a->dependent < 0 || a->bits < 0) return -1;
    if (a->dependent) b.skip(1);
    return a->bits ? (long)b.bits(a->bits) : 0;
}

} // namespace

int idle_cut_ms(const char *value) {
    if (!env_nonempty(value)) return 0;
    long v = parse_int_lenient(value);
    return (v >= 1 && v <= idle_cut_max_ms) ? (int)v : 0;
}

HeldUnit idle_cut_inspect(const uint8_t *data, size_t size, bool is_hevc, const ParamSets *ps) {
    HeldUnit u;
    bool later_opens = false;
    HevcAddressing addressing;
    nal_walk(data, size, [&](const NalUnit &n) {
        // The header follows a three-byte start code, or a four-byte one.
        size_t hdr = n.start + (data[n.start + 2] == 1 ? 3 : 4);
        size_t end = n.start + n.len;
        int t = is_hevc ? nal_type_hevc(n.header) : nal_type_h264(n.header);
        bool slice = is_hevc ? t < 32 : (t == 1 || t == 5);
        if (!is_hevc && (t == 2 || t == 3 || t == 4 || t == 20 || t == 21)) u.plain = false;
        if (!slice) return;
        NalBits b(data + hdr, end - hdr);
        bool opens = false;
        long address = 0;
        if (is_hevc) {
            b.skip(16);
            opens = b.bit() != 0;
            if (!opens) {
                if (t >= 16 && t <= 23) b.skip(1); // no_output_of_prior_pics_flag
                address = hevc_address(b, b.ue(), ps, &addressing);
            }
        } else {
            b.skip(8);
            address = b.ue();
            opens = address == 0;
        }
        if (b.over || address < 0) u.plain = false;
        u.layout = layout_add(u.layout, (uint32_t)(address < 0 ? 0 : address));
        if (u.slices == 0)
            u.starts_picture = opens;
        else if (opens)
            later_opens = true;
        u.slices++;
    });
    u.one_picture = u.starts_picture && !later_opens;
    while (u.tail_zeros < size && data[size - 1 - u.tail_zeros] == 0) u.tail_zeros++;
    return u;
}

bool idle_cut_learn(IdleCut *c, const HeldUnit &u) {
    if (c->unchecked && u.slices > 0) {
        c->unchecked = false;
        if (!u.starts_picture) {
            // The cut picture went on here: it had more slices than learned.
            c->learned = 0;
            c->streak = 0;
            c->relearns++;
            return false;
        }
    }
    if (!u.one_picture || !u.plain) {
        c->streak = 0;
        return false;
    }
    if (u.slices == c->learned && u.layout == c->layout) {
        c->streak++;
    } else {
        c->learned = u.slices;
        c->layout = u.layout;
        c->streak = 1;
    }
    return c->streak == idle_cut_stable;
}

bool idle_cut_ready(const IdleCut &c, const HeldUnit &held) {
    return c.learned > 0 && c.streak >= idle_cut_stable && held.one_picture && held.plain &&
           held.slices == c.learned && held.layout == c.layout;
}

bool idle_cut_due(const IdleCut &c, const HeldUnit &held, int64_t quiet_ms, int cut_ms) {
    return cut_ms > 0 && quiet_ms >= cut_ms && idle_cut_ready(c, held);
}

void idle_cut_sent(IdleCut *c) {
    c->unchecked = true;
}
