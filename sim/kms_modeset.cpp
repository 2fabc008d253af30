// Modesetting on the simulated display card: driver-like validation, legacy and
// atomic updates, property writes and vblank waits.
#include "sim/kms_state.h"
#include "sim/kms_slow.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <drm_fourcc.h>

struct _drmModeAtomicReq {
    struct Item {
        uint32_t object, property;
        uint64_t value;
    };
    std::vector<Item> items;
    uint32_t cursor = 0;
};

namespace {

int neg(int e) {
    errno = e;
    return -e;
}

bool same_timing(const drmModeModeInfo &a, const drmModeModeInfo &b) {
    const uint32_t mask = DRM_MODE_FLAG_INTERLACE | DRM_MODE_FLAG_PHSYNC | DRM_MODE_FLAG_NHSYNC |
                          DRM_MODE_FLAG_PVSYNC | DRM_MODE_FLAG_NVSYNC | DRM_MODE_FLAG_DBLSCAN;
    return a.clock == b.clock && a.hdisplay == b.hdisplay && a.hsync_start == b.hsync_start &&
           a.hsync_end == b.hsync_end && a.htotal == b.htotal && a.hskew == b.hskew &&
           a.vdisplay == b.vdisplay && a.vsync_start == b.vsync_start &&
           a.vsync_end == b.vsync_end && a.vtotal == b.vtotal && a.vscan == b.vscan &&
           (a.flags & mask) == (b.flags & mask);
}

bool same_plane(const KmsPlaneState &a, const KmsPlaneState &b) {
    return a.crtc_id == b.crtc_id && a.fb_id == b.fb_id && a.src_x == b.src_x &&
           a.src_y == b.src_y && a.src_w == b.src_w && a.src_h == b.src_h && a.crtc_x == b.crtc_x &&
           a.crtc_y == b.crtc_y && a.crtc_w == b.crtc_w && a.crtc_h == b.crtc_h && a.zpos == b.zpos;
}

int check_mode_basic(const drmModeModeInfo &m) {
    if (!m.clock || m.clock > INT_MAX || !m.hdisplay || !m.vdisplay) return EINVAL;
    if (m.hsync_start < m.hdisplay || m.hsync_end < m.hsync_start || m.htotal < m.hsync_end)
        return EINVAL;
    if (m.vsync_start < m.vdisplay || m.vsync_end < m.vsync_start || m.vtotal < m.vsync_end)
        return EINVAL;
    return 0;
}

int check_crtc_mode(const KmsCard &c, size_t ci, const KmsState &n) {
    const drmModeModeInfo &m = n.crtcs[ci].mode;
    if (int rc = check_mode_basic(m)) return rc;
    const KmsCrtcDesc &d = c.desc.crtcs[ci];
    if (m.hdisplay > d.max_w || m.vdisplay > d.max_h) return EINVAL;
    if (d.max_clock && m.clock > d.max_clock) return EINVAL;
    if (!c.desc.refuse_forced_modes) return 0;
    for (size_t j = 0; j < n.conn_crtc.size(); ++j) {
        if (n.conn_crtc[j] != c.crtc_ids[ci]) continue;
        bool on;
        const std::vector<drmModeModeInfo> *modes;
        int which;
        kms_connector_now(c, j, &on, &modes, &which);
        bool listed = false;
        for (const drmModeModeInfo &a : *modes) listed = listed || same_timing(a, m);
        if (!listed) return EINVAL;
    }
    return 0;
}

template <class T>
bool contains(const std::vector<T> &v, T x) {
    for (const T &e : v)
        if (e == x) return true;
    return false;
}

int check_plane(const KmsCard &c, const KmsState &n, size_t p) {
    const KmsPlaneState &s = n.planes[p];
    const KmsPlaneDesc &d = c.desc.planes[p];
    if (!s.fb_id && !s.crtc_id) return 0;
    if (!s.fb_id || !s.crtc_id) return EINVAL;
    int ci = kms_crtc_index(c, s.crtc_id);
    if (ci < 0 || !(d.crtc_mask >> ci & 1)) return EINVAL;
    if (!n.crtcs[static_cast<size_t>(ci)].active) return EINVAL;
    auto it = c.fbs.find(s.fb_id);
    if (it == c.fbs.end()) return EINVAL;
    const KmsFb &fb = it->second;
    if (!d.takes(fb.format, fb.modifier)) return EINVAL;
    const KmsFormatInfo *fi = kms_format_info(fb.format);
    if (d.refuse_linear_argb && fi && fi->alpha && fb.modifier == DRM_FORMAT_MOD_LINEAR)
        return EINVAL;
    if (s.crtc_w > INT_MAX || s.crtc_h > INT_MAX || s.crtc_x > INT_MAX - int32_t(s.crtc_w) ||
        s.crtc_y > INT_MAX - int32_t(s.crtc_h))
        return ERANGE;
    uint64_t fw = uint64_t(fb.width) << 16, fh = uint64_t(fb.height) << 16;
    if (s.src_w > fw || s.src_x > fw - s.src_w || s.src_h > fh || s.src_y > fh - s.src_h)
        return ENOSPC;
    if (!s.src_w || !s.src_h || !s.crtc_w || !s.crtc_h) return EINVAL;
    if (c.desc.yuv_odd_x_refuse && fi && fi->yuv && ((s.src_x >> 16) & 1)) return EINVAL;
    uint64_t dw = uint64_t(s.crtc_w) << 16, dh = uint64_t(s.crtc_h) << 16;
    if (d.fullscreen_only) {
        const drmModeModeInfo &m = n.crtcs[static_cast<size_t>(ci)].mode;
        if (s.crtc_x || s.crtc_y || s.crtc_w != m.hdisplay || s.crtc_h != m.vdisplay ||
            s.src_w != dw || s.src_h != dh)
            return EINVAL;
    }
    if (d.max_down && (s.src_w > dw * d.max_down || s.src_h > dh * d.max_down)) return ERANGE;
    if (d.max_up && (dw > uint64_t(s.src_w) * d.max_up || dh > uint64_t(s.src_h) * d.max_up))
        return ERANGE;
    if ((d.max_src_w && (s.src_w >> 16) > d.max_src_w) ||
        (d.max_src_h && (s.src_h >> 16) > d.max_src_h))
        return EINVAL;
    return 0;
}

const std::vector<size_t> *props_of(const KmsCard &c, KmsObjType t, size_t i) {
    if (t == KmsObjType::plane) return &c.plane_props[i];
    if (t == KmsObjType::crtc) return &c.crtc_props[i];
    if (t == KmsObjType::connector) return &c.conn_props[i];
    return nullptr;
}

int check_value(const KmsCard &c, const KmsProp &p, uint64_t v) {
    uint32_t type = p.flags & (DRM_MODE_PROP_LEGACY_TYPE | DRM_MODE_PROP_EXTENDED_TYPE);
    switch (type) {
        case DRM_MODE_PROP_RANGE:
            return (v < p.values[0] || v > p.values[1]) ? EINVAL : 0;
        case DRM_MODE_PROP_SIGNED_RANGE:
            return (int64_t(v) < int64_t(p.values[0]) || int64_t(v) > int64_t(p.values[1])) ? EINVAL
                                                                                            : 0;
        case DRM_MODE_PROP_ENUM:
            return contains(p.values, v) ? 0 : EINVAL;
        case DRM_MODE_PROP_OBJECT:
            if (!v) return 0;
            if (p.values[0] == DRM_MODE_OBJECT_FB)
                return c.fbs.count(static_cast<uint32_t>(v)) ? 0 : EINVAL;
            return (v <= UINT32_MAX && kms_crtc_index(c, static_cast<uint32_t>(v)) >= 0) ? 0
                                                                                         : EINVAL;
        case DRM_MODE_PROP_BLOB:
            return (!v || (v <= UINT32_MAX && c.blobs.count(static_cast<uint32_t>(v)))) ? 0
                                                                                        : EINVAL;
        default:
            return EINVAL;
    }
}

// Picture of a modeset-affecting difference between two CRTC states.
bool crtc_differs(const KmsCrtcState &a, const KmsCrtcState &b) {
    return a.active != b.active || (a.mode_blob != 0) != (b.mode_blob != 0) ||
           (a.mode_blob && !same_timing(a.mode, b.mode));
}

} // namespace

int64_t kms_vblank_period_ns(const drmModeModeInfo &m) {
    if (!m.clock || !m.htotal || !m.vtotal) return 16666667;
    int64_t ns = int64_t(m.htotal) * m.vtotal * 1000000 / m.clock;
    if (m.flags & DRM_MODE_FLAG_INTERLACE) ns /= 2; // one vblank per field
    return ns > 0 ? ns : 1;
}

uint64_t kms_vblank_seq(const KmsCard &c, size_t ci, int64_t now) {
    const KmsCrtcState &s = c.state.crtcs[ci];
    if (!s.active || now < c.vb_epoch_ns[ci]) return c.vb_base[ci];
    return c.vb_base[ci] + uint64_t((now - c.vb_epoch_ns[ci]) / kms_vblank_period_ns(s.mode));
}

void kms_apply(KmsCard &c, KmsState &next) {
    int64_t now = kms_now_ns();
    for (size_t ci = 0; ci < c.state.crtcs.size(); ++ci) {
        const KmsCrtcState &o = c.state.crtcs[ci], &n = next.crtcs[ci];
        bool retimed = !same_timing(o.mode, n.mode);
        if (o.active && (!n.active || retimed)) c.vb_base[ci] = kms_vblank_seq(c, ci, now);
        if (n.active && (!o.active || retimed)) c.vb_epoch_ns[ci] = now;
    }
    std::swap(c.state, next); // `next` now holds the previous state
    for (size_t p = 0; p < c.state.planes.size(); ++p)
        if (!same_plane(c.state.planes[p], next.planes[p]) &&
            (c.state.planes[p].fb_id || next.planes[p].fb_id))
            kms_log_plane(c, p, next.planes[p]);
    kms_blob_gc(c);
}

thread_local int64_t kms_commit_land_ns;

namespace {

// When a commit of `n` over the current state lands: the next vblank of every
// active CRTC whose planes change framebuffer (0: none). Marks those CRTCs in
// `crtcs`.
int64_t landing_time(const KmsCard &c, const KmsState &n, std::vector<char> *crtcs) {
    const KmsState &o = c.state;
    int64_t now = kms_now_ns(), land = 0;
    for (size_t p = 0; p < n.planes.size(); ++p) {
        if (o.planes[p].fb_id == n.planes[p].fb_id) continue;
        int ci = kms_crtc_index(c, n.planes[p].crtc_id ? n.planes[p].crtc_id : o.planes[p].crtc_id);
        if (ci < 0 || !c.state.crtcs[static_cast<size_t>(ci)].active) continue;
        size_t u = static_cast<size_t>(ci);
        int64_t period = kms_vblank_period_ns(c.state.crtcs[u].mode);
        uint64_t next = kms_vblank_seq(c, u, now) + 1;
        int64_t at = c.vb_epoch_ns[u] + int64_t(next - c.vb_base[u]) * period;
        land = std::max(land, at);
        (*crtcs)[u] = 1;
    }
    return land;
}

} // namespace

int kms_commit(KmsCard &c, KmsState &n, bool allow_modeset, bool test_only, bool nonblock) {
    kms_commit_land_ns = 0;
    const KmsState &o = c.state;
    size_t ncrtc = c.crtc_ids.size();
    std::vector<char> ms(ncrtc, 0);
    for (size_t ci = 0; ci < ncrtc; ++ci) ms[ci] = crtc_differs(o.crtcs[ci], n.crtcs[ci]);
    std::vector<char> conn_changed(n.conn_crtc.size(), 0);
    for (size_t j = 0; j < n.conn_crtc.size(); ++j) {
        if (o.conn_crtc[j] == n.conn_crtc[j]) continue;
        conn_changed[j] = 1;
        for (uint32_t id : {o.conn_crtc[j], n.conn_crtc[j]}) {
            int ci = kms_crtc_index(c, id);
            if (ci >= 0) ms[static_cast<size_t>(ci)] = 1;
        }
    }
    bool any = false;
    for (char m : ms) any = any || m;
    if (any && !allow_modeset) return EINVAL;
    for (size_t j = 0; j < n.conn_crtc.size(); ++j) {
        if (!conn_changed[j] || !n.conn_crtc[j]) continue;
        int ci = kms_crtc_index(c, n.conn_crtc[j]);
        if (ci < 0 || !(c.desc.connectors[j].crtc_mask >> ci & 1)) return EINVAL;
    }
    for (size_t ci = 0; ci < ncrtc; ++ci) {
        if (!ms[ci]) continue;
        const KmsCrtcState &s = n.crtcs[ci];
        bool enable = s.mode_blob != 0;
        if (s.active && !enable) return EINVAL;
        int nconn = 0;
        for (uint32_t id : n.conn_crtc) nconn += id == c.crtc_ids[ci];
        if (enable != (nconn > 0)) return EINVAL;
        if (enable)
            if (int rc = check_crtc_mode(c, ci, n)) return rc;
    }
    for (size_t p = 0; p < n.planes.size(); ++p) {
        int ci = kms_crtc_index(c, n.planes[p].crtc_id);
        if (same_plane(o.planes[p], n.planes[p]) && !(ci >= 0 && ms[static_cast<size_t>(ci)]))
            continue;
        if (int rc = check_plane(c, n, p)) return rc;
    }
    if (test_only) return 0;
    if (kms_blocking_commits()) {
        std::vector<char> touched(ncrtc, 0);
        int64_t land = landing_time(c, n, &touched);
        int64_t now = kms_now_ns();
        for (size_t ci = 0; ci < ncrtc; ++ci) {
            if (!touched[ci]) continue;
            if (nonblock && c.busy_until_ns[ci] > now) return EBUSY;
            if (nonblock) c.busy_until_ns[ci] = land;
        }
        if (!nonblock) kms_commit_land_ns = land;
    }
    kms_slow_commit_wait();
    kms_apply(c, n);
    return 0;
}

int kms_set_prop(KmsCard &c, KmsState &n, uint32_t obj, uint32_t prop, uint64_t v) {
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(c, obj, &t, &i)) return ENOENT;
    const std::vector<size_t> *pl = props_of(c, t, i);
    if (!pl) return EINVAL;
    const KmsProp *p = nullptr;
    for (size_t pi : *pl)
        if (c.props[pi].id == prop) p = &c.props[pi];
    if (!p || (p->flags & DRM_MODE_PROP_IMMUTABLE)) return EINVAL;
    if (int rc = check_value(c, *p, v)) return rc;
    uint32_t v32 = static_cast<uint32_t>(v);
    if (t == KmsObjType::plane) {
        KmsPlaneState &s = n.planes[i];
        switch (p->kind) {
            case KmsPropKind::fb_id:
                s.fb_id = v32;
                break;
            case KmsPropKind::crtc_id:
                s.crtc_id = v32;
                break;
            case KmsPropKind::src_x:
                s.src_x = v32;
                break;
            case KmsPropKind::src_y:
                s.src_y = v32;
                break;
            case KmsPropKind::src_w:
                s.src_w = v32;
                break;
            case KmsPropKind::src_h:
                s.src_h = v32;
                break;
            case KmsPropKind::crtc_x:
                s.crtc_x = static_cast<int32_t>(int64_t(v));
                break;
            case KmsPropKind::crtc_y:
                s.crtc_y = static_cast<int32_t>(int64_t(v));
                break;
            case KmsPropKind::crtc_w:
                s.crtc_w = v32;
                break;
            case KmsPropKind::crtc_h:
                s.crtc_h = v32;
                break;
            case KmsPropKind::zpos:
                s.zpos = v;
                break;
            default:
                return EINVAL;
        }
    } else if (t == KmsObjType::crtc) {
        KmsCrtcState &s = n.crtcs[i];
        if (p->kind == KmsPropKind::active) {
            s.active = v != 0;
        } else if (p->kind == KmsPropKind::mode_id) {
            if (!v) {
                s.mode_blob = 0;
                s.mode = drmModeModeInfo{};
            } else {
                const std::vector<uint8_t> &data = c.blobs[v32].data;
                drmModeModeInfo m;
                if (data.size() != sizeof m) return EINVAL;
                memcpy(&m, data.data(), sizeof m);
                if (check_mode_basic(m)) return EINVAL;
                s.mode_blob = v32;
                s.mode = m;
            }
        }
    } else if (t == KmsObjType::connector) {
        if (p->kind == KmsPropKind::crtc_id) n.conn_crtc[i] = v32;
    }
    return 0;
}

// ---- legacy modesetting -----------------------------------------------------

extern "C" {

int drmModeSetCrtc(int fd, uint32_t crtc_id, uint32_t fb_id, uint32_t x, uint32_t y,
                   uint32_t *connectors, int count, drmModeModeInfoPtr mode) {
    KmsGuard g;
    KmsFile *f = kms_file(fd);
    if (!f) return -errno;
    KmsCard &c = *f->card;
    if (c.master != f) return neg(EACCES);
    int ci = kms_crtc_index(c, crtc_id);
    if (ci < 0) return neg(ENOENT);
    size_t cu = static_cast<size_t>(ci);
    if (count < 0 || (count > 0 && (!mode || !connectors)) || (count == 0 && mode))
        return neg(EINVAL);
    KmsState n = c.state;
    if (!mode) { // switch the CRTC off
        n.crtcs[cu] = KmsCrtcState();
        for (uint32_t &id : n.conn_crtc)
            if (id == crtc_id) id = 0;
        for (KmsPlaneState &s : n.planes)
            if (s.crtc_id == crtc_id) kms_plane_off(s);
        int rc = kms_commit(c, n, true, false);
        return rc ? neg(rc) : 0;
    }
    if (check_mode_basic(*mode)) return neg(EINVAL);
    int pp = kms_primary_plane(c, cu);
    if (fb_id == UINT32_MAX) fb_id = pp >= 0 ? c.state.planes[static_cast<size_t>(pp)].fb_id : 0;
    KmsFb *fb = kms_fb(c, fb_id);
    if (!fb) return neg(fb_id ? ENOENT : EINVAL);
    if (pp < 0) return neg(EINVAL);
    if (uint64_t(x) + mode->hdisplay > fb->width || uint64_t(y) + mode->vdisplay > fb->height)
        return neg(ENOSPC);
    std::vector<size_t> conns;
    for (int k = 0; k < count; ++k) {
        KmsObjType t;
        size_t j;
        if (!kms_lookup_obj(c, connectors[k], &t, &j) || t != KmsObjType::connector)
            return neg(ENOENT);
        conns.push_back(j);
    }
    // The mode lives in a blob of the driver's, as atomic clients see it in MODE_ID.
    uint32_t blob = kms_alloc_id(c);
    KmsBlob b;
    b.data.assign(reinterpret_cast<const uint8_t *>(mode),
                  reinterpret_cast<const uint8_t *>(mode) + sizeof *mode);
    c.blobs[blob] = std::move(b);
    n.crtcs[cu].active = true;
    n.crtcs[cu].mode_blob = blob;
    n.crtcs[cu].mode = *mode;
    for (size_t j = 0; j < n.conn_crtc.size(); ++j) {
        bool listed = std::find(conns.begin(), conns.end(), j) != conns.end();
        if (listed)
            n.conn_crtc[j] = crtc_id;
        else if (n.conn_crtc[j] == crtc_id)
            n.conn_crtc[j] = 0;
    }
    // A CRTC that lost its last connector to this one is switched off.
    for (size_t k = 0; k < n.crtcs.size(); ++k) {
        if (k == cu || !n.crtcs[k].mode_blob) continue;
        bool still = false;
        for (uint32_t id : n.conn_crtc) still = still || id == c.crtc_ids[k];
        if (still) continue;
        n.crtcs[k] = KmsCrtcState();
        for (KmsPlaneState &s : n.planes)
            if (s.crtc_id == c.crtc_ids[k]) kms_plane_off(s);
    }
    KmsPlaneState &ps = n.planes[static_cast<size_t>(pp)];
    ps.crtc_id = crtc_id;
    ps.fb_id = fb_id;
    ps.src_x = x << 16;
    ps.src_y = y << 16;
    ps.src_w = uint32_t(mode->hdisplay) << 16;
    ps.src_h = uint32_t(mode->vdisplay) << 16;
    ps.crtc_x = ps.crtc_y = 0;
    ps.crtc_w = mode->hdisplay;
    ps.crtc_h = mode->vdisplay;
    int rc = kms_commit(c, n, true, false);
    if (rc) kms_blob_gc(c);
    kms_screenshot_poll();
    return rc ? neg(rc) : 0;
}

namespace {

int set_plane_locked(int fd, uint32_t plane_id, uint32_t crtc_id, uint32_t fb_id, int32_t crtc_x,
                     int32_t crtc_y, uint32_t crtc_w, uint32_t crtc_h, uint32_t src_x,
                     uint32_t src_y, uint32_t src_w, uint32_t src_h) {
    KmsGuard g;
    KmsFile *f = kms_file(fd);
    if (!f) return -errno;
    KmsCard &c = *f->card;
    if (c.master != f) return neg(EACCES);
    KmsObjType t;
    size_t p;
    if (!kms_lookup_obj(c, plane_id, &t, &p) || t != KmsObjType::plane) return neg(ENOENT);
    KmsState n = c.state;
    KmsPlaneState &s = n.planes[p];
    if (!fb_id) {
        kms_plane_off(s);
    } else {
        if (kms_crtc_index(c, crtc_id) < 0 || !kms_fb(c, fb_id)) return neg(ENOENT);
        s.crtc_id = crtc_id;
        s.fb_id = fb_id;
        s.crtc_x = crtc_x;
        s.crtc_y = crtc_y;
        s.crtc_w = crtc_w;
        s.crtc_h = crtc_h;
        s.src_x = src_x;
        s.src_y = src_y;
        s.src_w = src_w;
        s.src_h = src_h;
    }
    int rc = kms_commit(c, n, false, false);
    kms_screenshot_poll();
    return rc ? neg(rc) : 0;
}

} // namespace

int drmModeSetPlane(int fd, uint32_t plane_id, uint32_t crtc_id, uint32_t fb_id, uint32_t flags,
                    int32_t crtc_x, int32_t crtc_y, uint32_t crtc_w, uint32_t crtc_h,
                    uint32_t src_x, uint32_t src_y, uint32_t src_w, uint32_t src_h) {
    (void)flags;
    int rc = set_plane_locked(fd, plane_id, crtc_id, fb_id, crtc_x, crtc_y, crtc_w, crtc_h, src_x,
                              src_y, src_w, src_h);
    if (rc == 0) kms_sleep_until(kms_commit_land_ns);
    return rc;
}

int drmModeObjectSetProperty(int fd, uint32_t object_id, uint32_t object_type, uint32_t property_id,
                             uint64_t value) {
    KmsGuard g;
    KmsFile *f = kms_file(fd);
    if (!f) return -errno;
    KmsCard &c = *f->card;
    if (c.master != f) return neg(EACCES);
    KmsObjType t;
    size_t i;
    if (!kms_lookup_obj(c, object_id, &t, &i)) return neg(ENOENT);
    const uint32_t codes[] = {DRM_MODE_OBJECT_CRTC,     DRM_MODE_OBJECT_PLANE,
                              DRM_MODE_OBJECT_ENCODER,  DRM_MODE_OBJECT_CONNECTOR,
                              DRM_MODE_OBJECT_PROPERTY, DRM_MODE_OBJECT_FB,
                              DRM_MODE_OBJECT_BLOB};
    if (object_type != DRM_MODE_OBJECT_ANY && codes[static_cast<int>(t)] != object_type)
        return neg(ENOENT);
    KmsState n = c.state;
    int rc = kms_set_prop(c, n, object_id, property_id, value);
    if (!rc) rc = kms_commit(c, n, true, false);
    return rc ? neg(rc) : 0;
}

int drmModeConnectorSetProperty(int fd, uint32_t connector_id, uint32_t property_id,
                                uint64_t value) {
    return drmModeObjectSetProperty(fd, connector_id, DRM_MODE_OBJECT_CONNECTOR, property_id,
                                    value);
}

// ---- atomic -----------------------------------------------------------------

drmModeAtomicReqPtr drmModeAtomicAlloc(void) {
    return new _drmModeAtomicReq;
}

drmModeAtomicReqPtr drmModeAtomicDuplicate(const drmModeAtomicReqPtr req) {
    if (!req) return nullptr;
    drmModeAtomicReqPtr r = new _drmModeAtomicReq;
    r->items.assign(req->items.begin(), req->items.begin() + req->cursor);
    r->cursor = req->cursor;
    return r;
}

int drmModeAtomicMerge(drmModeAtomicReqPtr base, const drmModeAtomicReqPtr augment) {
    if (!base) return -EINVAL;
    if (!augment || !augment->cursor) return 0;
    base->items.resize(base->cursor);
    base->items.insert(base->items.end(), augment->items.begin(),
                       augment->items.begin() + augment->cursor);
    base->cursor += augment->cursor;
    return 0;
}

void drmModeAtomicFree(drmModeAtomicReqPtr req) {
    delete req;
}

int drmModeAtomicGetCursor(const drmModeAtomicReqPtr req) {
    return req ? static_cast<int>(req->cursor) : -EINVAL;
}

void drmModeAtomicSetCursor(drmModeAtomicReqPtr req, int cursor) {
    if (req && cursor >= 0 && static_cast<uint32_t>(cursor) <= req->cursor)
        req->cursor = static_cast<uint32_t>(cursor);
}

int drmModeAtomicAddProperty(drmModeAtomicReqPtr req, uint32_t object_id, uint32_t property_id,
                             uint64_t value) {
    if (!req) return -EINVAL;
    if (!object_id || !property_id) return -EINVAL;
    req->items.resize(req->cursor);
    req->items.push_back({object_id, property_id, value});
    return static_cast<int>(++req->cursor);
}

namespace {

int atomic_commit_locked(int fd, const drmModeAtomicReqPtr req, uint32_t flags) {
    KmsGuard g;
    KmsFile *f = kms_file(fd);
    if (!f) return -errno;
    KmsCard &c = *f->card;
    const uint32_t known = DRM_MODE_PAGE_FLIP_EVENT | DRM_MODE_PAGE_FLIP_ASYNC |
                           DRM_MODE_ATOMIC_TEST_ONLY | DRM_MODE_ATOMIC_NONBLOCK |
                           DRM_MODE_ATOMIC_ALLOW_MODESET;
    if (flags & ~known) return neg(EINVAL);
    if (!f->atomic) return neg(EINVAL);
    if (c.master != f) return neg(EACCES);
    if (c.desc.atomic_commit_errno) return neg(c.desc.atomic_commit_errno);
    if (flags & (DRM_MODE_PAGE_FLIP_EVENT | DRM_MODE_PAGE_FLIP_ASYNC)) {
        static bool told = false;
        if (!told)
            fprintf(stderr, "vex-sim: atomic page-flip events and async flips are not simulated\n");
        told = true;
        return neg(EINVAL);
    }
    KmsState n = c.state;
    for (uint32_t k = 0; k < req->cursor; ++k) {
        const auto &it = req->items[k];
        if (int rc = kms_set_prop(c, n, it.object, it.property, it.value)) return neg(rc);
    }
    int rc = kms_commit(c, n, flags & DRM_MODE_ATOMIC_ALLOW_MODESET,
                        flags & DRM_MODE_ATOMIC_TEST_ONLY, flags & DRM_MODE_ATOMIC_NONBLOCK);
    kms_screenshot_poll();
    return rc ? neg(rc) : 0;
}

} // namespace

int drmModeAtomicCommit(int fd, const drmModeAtomicReqPtr req, uint32_t flags, void *user_data) {
    (void)user_data;
    if (!req) return -EINVAL;
    if (!req->cursor) return 0;
    int rc = atomic_commit_locked(fd, req, flags);
    if (rc == 0) kms_sleep_until(kms_commit_land_ns);
    return rc;
}

// ---- vblank -----------------------------------------------------------------

int drmWaitVBlank(int fd, drmVBlankPtr vbl) {
    kms_lock();
    KmsFile *f = kms_file(fd);
    if (!f) {
        int e = errno;
        kms_unlock();
        errno = e;
        return -1;
    }
    return kms_wait_vblank(f, vbl);
}

} // extern "C"

int kms_wait_vblank(KmsFile *f, drmVBlank *vbl) {
    KmsCard &c = *f->card;
    const uint32_t type = static_cast<uint32_t>(vbl->request.type);
    size_t ci = (type & DRM_VBLANK_HIGH_CRTC_MASK) >> DRM_VBLANK_HIGH_CRTC_SHIFT;
    if (!(type & DRM_VBLANK_HIGH_CRTC_MASK) && (type & DRM_VBLANK_SECONDARY)) ci = 1;
    int err = 0;
    if (type & (DRM_VBLANK_EVENT | DRM_VBLANK_SIGNAL))
        err = EINVAL;
    else if (ci >= c.crtc_ids.size() || !c.state.crtcs[ci].active)
        err = EINVAL;
    if (err) {
        kms_unlock();
        errno = err;
        return -1;
    }
    kms_screenshot_poll();
    int64_t now = kms_now_ns();
    int64_t period = kms_vblank_period_ns(c.state.crtcs[ci].mode);
    int64_t epoch = c.vb_epoch_ns[ci];
    uint64_t base = c.vb_base[ci];
    uint32_t cur = static_cast<uint32_t>(kms_vblank_seq(c, ci, now));
    uint32_t target = vbl->request.sequence;
    if (type & DRM_VBLANK_RELATIVE)
        target += cur;
    else if ((type & DRM_VBLANK_NEXTONMISS) && int32_t(cur - target) >= 0)
        target = cur + 1;
    if (int32_t(target - cur) < 0) target = cur; // already passed: report the current one
    kms_unlock();
    int64_t at = epoch + int64_t(uint32_t(target - static_cast<uint32_t>(base))) * period;
    timespec ts{static_cast<time_t>(at / 1000000000), static_cast<long>(at % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
    vbl->reply.sequence = target;
    vbl->reply.tval_sec = static_cast<long>(at / 1000000000);
    vbl->reply.tval_usec = static_cast<long>(at % 1000000000 / 1000);
    return 0;
}
