#include "stream/idle_cut.h"

#include "core/env.h"
#include "stream/nal.h"

int idle_cut_ms(const char *value) {
    if (!env_nonempty(value)) return 0;
    long v = parse_int_lenient(value);
    return (v >= 1 && v <= idle_cut_max_ms) ? (int)v : 0;
}

HeldUnit idle_cut_inspect(const uint8_t *data, size_t size, bool is_hevc) {
    HeldUnit u;
    bool later_opens = false;
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
        if (is_hevc) {
            b.skip(16);
            opens = b.bit() != 0;
        } else {
            b.skip(8);
            opens = b.ue() == 0;
        }
        if (b.over) u.plain = false;
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
    if (u.slices == c->learned) {
        c->streak++;
    } else {
        c->learned = u.slices;
        c->streak = 1;
    }
    return c->streak == idle_cut_stable;
}

bool idle_cut_ready(const IdleCut &c, const HeldUnit &held) {
    return c.learned > 0 && c.streak >= idle_cut_stable && held.one_picture && held.plain &&
           held.slices == c.learned;
}

bool idle_cut_due(const IdleCut &c, const HeldUnit &held, int64_t quiet_ms, int cut_ms) {
    return cut_ms > 0 && quiet_ms >= cut_ms && idle_cut_ready(c, held);
}

void idle_cut_sent(IdleCut *c) {
    c->unchecked = true;
}
