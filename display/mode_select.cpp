#include "display/mode_select.h"

#include "core/env.h"
#include "core/log.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int g_drv_vc4 = -1;

namespace {

// Largest size vc4's HVS scans out reliably.
constexpr int vc4_max_w = 1920;
constexpr int vc4_max_h = 1200;

int iabs(long v) {
    return (int)(v < 0 ? -v : v);
}

bool same_size(const drmModeModeInfo &m, int w, int h) {
    return m.hdisplay == w && m.vdisplay == h;
}

// The largest-area mode accepted by `ok`, a later one only replacing on a strictly
// larger area. Null when none is accepted.
template <typename Pred>
const drmModeModeInfo *largest_mode(const drmModeModeInfo *modes, int count, Pred ok) {
    const drmModeModeInfo *best = nullptr;
    long best_area = -1;
    for (int i = 0; i < count; i++) {
        const drmModeModeInfo &m = modes[i];
        if (!ok(m)) continue;
        long area = (long)m.hdisplay * m.vdisplay;
        if (area > best_area) {
            best = &m;
            best_area = area;
        }
    }
    return best;
}

// Takes a CEA row as the result and flags it.
drmModeModeInfo forced_row(const drmModeModeInfo *row, int *forced) {
    if (forced) *forced = 1;
    return *row;
}

// Last step for a progressive request (and for an interlaced one the display
// cannot drive at all): the progressive W x H mode nearest the requested rate.
drmModeModeInfo progressive_fallback(const drmModeModeInfo *modes, int count, int w, int h, int r,
                                     int is_vc4) {
    const drmModeModeInfo *best = nullptr;
    for (int i = 0; i < count; i++) {
        const drmModeModeInfo &m = modes[i];
        if (!same_size(m, w, h) || mode_is_interlaced(m)) continue;
        if (r == 0) {
            best = &m;
            break;
        }
        if ((int)m.vrefresh == r) {
            best = &m;
            break;
        }
        if (!best || iabs((long)m.vrefresh - r) < iabs((long)best->vrefresh - r)) best = &m;
    }
    if (!best) return pick_mode_auto(modes, count, is_vc4);
    if (r != 0 && (int)best->vrefresh != r)
        vlog("requested %dx%d@%d not available — driving %dx%d@%d instead.", w, h, r, w, h,
             (int)best->vrefresh);
    return *best;
}

} // namespace

int parse_mode_request(const char *text, ModeRequest *out) {
    if (!text) return -1;
    int w = 0, h = 0, end = 0;
    if (sscanf(text, "%dx%d%n", &w, &h, &end) != 2) return -1;
    ModeRequest req;
    req.w = w;
    req.h = h;
    req.interlaced = (text[end] == 'i' || text[end] == 'I') ? 1 : 0;
    const char *at = strchr(text, '@');
    if (at) req.refresh = (int)parse_int_lenient(at + 1);
    *out = req;
    return 0;
}

int mode_request_from_env(ModeRequest *out) {
    return parse_mode_request(env_get("VEX_KMS_MODE"), out);
}

const drmModeModeInfo *cea_find(int w, int h, int refresh, int interlaced_only) {
    for (const drmModeModeInfo &row : cea_modes) {
        if (!same_size(row, w, h) || (int)row.vrefresh != refresh) continue;
        if (interlaced_only && !mode_is_interlaced(row)) continue;
        return &row;
    }
    return nullptr;
}

drmModeModeInfo prefer_60hz(const drmModeModeInfo *modes, int count, const drmModeModeInfo &m) {
    if (mode_is_interlaced(m)) return m;
    const drmModeModeInfo *best = &m;
    for (int i = 0; i < count; i++) {
        const drmModeModeInfo &c = modes[i];
        if (!same_size(c, m.hdisplay, m.vdisplay) || mode_is_interlaced(c)) continue;
        int d = iabs((long)c.vrefresh - 60), bd = iabs((long)best->vrefresh - 60);
        if (d < bd || (d == bd && c.vrefresh > best->vrefresh)) best = &c;
    }
    if (best->vrefresh != m.vrefresh)
        vlog("auto mode: EDID prefers %ux%u@%u — driving the advertised @%u instead (~60 fps "
             "source).",
             (unsigned)m.hdisplay, (unsigned)m.vdisplay, (unsigned)m.vrefresh,
             (unsigned)best->vrefresh);
    return *best;
}

drmModeModeInfo pick_mode_auto(const drmModeModeInfo *modes, int count, int is_vc4) {
    const drmModeModeInfo &p = modes[0];
    if (!is_vc4 || (p.hdisplay <= vc4_max_w && p.vdisplay <= vc4_max_h))
        return prefer_60hz(modes, count, p);

    // Same shape as the preferred mode first; a preferred mode without a height
    // has no shape, so only the size search applies then.
    const drmModeModeInfo *pick = nullptr;
    if (p.vdisplay > 0) {
        double a = (double)p.hdisplay / p.vdisplay;
        pick = largest_mode(modes, count, [a](const drmModeModeInfo &m) {
            if (mode_is_interlaced(m) || m.vdisplay == 0) return false;
            if (m.hdisplay > vc4_max_w || m.vdisplay > vc4_max_h) return false;
            return std::fabs((double)m.hdisplay / m.vdisplay - a) <= 0.02;
        });
    }
    if (!pick)
        pick = largest_mode(modes, count, [](const drmModeModeInfo &m) {
            return m.hdisplay <= 1920 && m.vdisplay <= 1080;
        });
    if (!pick) return p;
    return prefer_60hz(modes, count, *pick);
}

drmModeModeInfo pick_mode_from(const drmModeModeInfo *modes, int count, const ModeRequest *req,
                               int allow_force, int *forced, int is_vc4) {
    if (!req) return pick_mode_auto(modes, count, is_vc4);
    const int w = req->w, h = req->h, r = req->refresh, il = req->interlaced ? 1 : 0;

    if (!il && is_vc4 && (w > vc4_max_w || h > vc4_max_h)) {
        vlog("requested %dx%d exceeds the ~1920x1200 the vc4 HVS can drive — ignoring, "
             "auto-picking instead.",
             w, h);
        return pick_mode_auto(modes, count, is_vc4);
    }

    // Exact: the size, the scan type and (when asked) the rate; an interlaced mode
    // must also carry the standard pixel clock.
    const drmModeModeInfo *cea_il = cea_find(w, h, r, 1);
    for (int i = 0; i < count; i++) {
        const drmModeModeInfo &m = modes[i];
        if (!same_size(m, w, h) || (int)mode_is_interlaced(m) != il) continue;
        if (r == 0) return m;
        if (m.vrefresh != 0 && (int)m.vrefresh != r) continue;
        if (!il) return m;
        if (!cea_il || cea_il->clock == 0 ||
            (long)iabs((long)m.clock - (long)cea_il->clock) * 1000 <= (long)cea_il->clock)
            return m;
        vlog("skipping advertised %dx%di@%d at %d kHz — the standard is %d kHz; an off-spec "
             "clock is what makes a switcher show GREEN.",
             w, h, r, (int)m.clock, (int)cea_il->clock);
    }

    if (il && r != 0 && allow_force && cea_il) {
        vlog("no exact %dx%di@%d in the EDID — forcing the standard CEA timing (%d kHz) so the "
             "switcher can lock.",
             w, h, r, (int)cea_il->clock);
        return forced_row(cea_il, forced);
    }

    // Near: within 2 Hz of the asked rate, clock not checked.
    if (r != 0) {
        for (int i = 0; i < count; i++) {
            const drmModeModeInfo &m = modes[i];
            if (!same_size(m, w, h) || (int)mode_is_interlaced(m) != il) continue;
            if (m.vrefresh != 0 && iabs((long)m.vrefresh - r) > 2) continue;
            if (m.vrefresh != 0 && (int)m.vrefresh != r)
                vlog("no exact %dx%d%s@%d — driving the advertised %u Hz (%d kHz). A broadcast "
                     "switcher may refuse a non-standard rate and show GREEN; try the other "
                     "field rate if it does.",
                     w, h, il ? "i" : "", r, (unsigned)m.vrefresh, (int)m.clock);
            return m;
        }
    }

    if (!il) {
        const drmModeModeInfo *row = r != 0 && allow_force ? cea_find(w, h, r, 0) : nullptr;
        if (row) {
            vlog("display EDID has no %dx%d@%d — forcing the standard CEA timing.", w, h, r);
            return forced_row(row, forced);
        }
        return progressive_fallback(modes, count, w, h, r, is_vc4);
    }

    if (r != 0 && allow_force && cea_il) {
        vlog("display EDID has no %dx%di@%d — forcing the standard CEA interlaced timing.", w, h,
             r);
        return forced_row(cea_il, forced);
    }
    for (int i = 0; i < count; i++) {
        const drmModeModeInfo &m = modes[i];
        if (!same_size(m, w, h) || !mode_is_interlaced(m)) continue;
        if (r != 0)
            vlog("requested %dx%di@%d not available — driving %dx%di@%d instead.", w, h, r, w, h,
                 (int)m.vrefresh);
        return m;
    }
    vlog("display advertises no interlaced %dx%d mode — the switcher must accept 1080i over "
         "HDMI; falling back to progressive.",
         w, h);
    return progressive_fallback(modes, count, w, h, r, is_vc4);
}

drmModeModeInfo pick_mode(const drmModeConnector *conn, int allow_force, int *forced, int use_env) {
    ModeRequest req;
    bool have = use_env && mode_request_from_env(&req) == 0;
    return pick_mode_from(conn->modes, conn->count_modes, have ? &req : nullptr, allow_force,
                          forced, drv_is_vc4());
}

int drv_name_is_vc4(const char *name) {
    return name && strcmp(name, "vc4") == 0 ? 1 : 0;
}

void drv_note_name(const char *name) {
    if (g_drv_vc4 < 0) g_drv_vc4 = drv_name_is_vc4(name);
}

int drv_is_vc4() {
    return g_drv_vc4 == 1 ? 1 : 0;
}
