#include "display/placement.h"

#include "core/env.h"
#include "core/log.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Conversion toward zero, kept inside int (a degenerate ratio can give inf or NaN).
int trunc_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= (double)INT_MAX) return INT_MAX;
    if (v <= (double)INT_MIN) return INT_MIN;
    return (int)v;
}

int floor16(int v) {
    return v >= 0 ? v / 16 * 16 : -((-(long)v + 15) / 16 * 16);
}

bool is(const char *s, const char *what) {
    return s && strcmp(s, what) == 0;
}

} // namespace

void fit_dest(int W, int H, int *x, int *y, int *w, int *h, double ratio) {
    if (ratio > 0 && W >= 1 && H >= 1) {
        int ow, oh;
        if (ratio < (double)W / H) {
            oh = H;
            ow = trunc_int(H * ratio + 0.5);
        } else {
            ow = W;
            oh = trunc_int(W / ratio + 0.5);
        }
        if (ow > W) ow = W;
        if (oh > H) oh = H;
        *x = (W - ow) / 2;
        *y = (H - oh) / 2;
        *w = ow;
        *h = oh;
        return;
    }
    *x = 0;
    *y = 0;
    *w = W;
    *h = H;
}

double box_ratio(const char *aspect, int src_w, int src_h) {
    if (is(aspect, "16:9")) return 16.0 / 9.0;
    if (is(aspect, "4:3")) return 4.0 / 3.0;
    if (is(aspect, "16:10")) return 1.6;
    return src_h > 0 ? (double)src_w / src_h : 0.0;
}

PlaneRect cover_crop(int src_w, int src_h, int box_w, int box_h) {
    const double r = src_h > 0 ? (double)src_w / src_h : 1.0;
    const double b = box_h > 0 ? (double)box_w / box_h : r;
    PlaneRect c;
    if (r > b) {
        c.w = trunc_int(b * src_h + 0.5);
        c.h = src_h;
        c.x = (src_w - c.w) / 2;
        c.y = 0;
    } else {
        c.w = src_w;
        c.h = trunc_int(src_w / b + 0.5);
        c.x = 0;
        c.y = floor16((src_h - c.h) / 2);
    }
    c.w = floor16(c.w);
    c.h = floor16(c.h);
    c.x = floor16(c.x);
    if (c.w < 16) c.w = 16;
    if (c.h < 16) c.h = 16;
    if ((long)c.x + c.w > src_w) c.x = src_w - c.w;
    if ((long)c.y + c.h > src_h) c.y = src_h - c.h;
    if (c.x < 0) c.x = 0;
    if (c.y < 0) c.y = 0;
    return c;
}

int menu_sidebar_width(int W) {
    constexpr int full = 360;
    return W / 2 < full ? (W > 1 ? W / 2 : 0) : full;
}

Placement place_picture(int W, int H, int sidebar, const char *flip, const char *aspect,
                        const char *fit, int src_w, int src_h) {
    int avail = W, off = 0;
    if (sidebar) {
        off = menu_sidebar_width(W);
        avail = W - off;
    }
    // Mirrored left-right, the sidebar lies on the right: the video stays at the left edge.
    if (is(flip, "h") || is(flip, "180")) off = 0;

    PlaneRect box;
    fit_dest(avail, H, &box.x, &box.y, &box.w, &box.h, box_ratio(aspect, src_w, src_h));
    box.x += off;

    Placement p;
    p.src = PlaneRect{0, 0, src_w, src_h};
    if (is(fit, "stretch")) {
        p.dst = box;
    } else if (is(fit, "cover")) {
        p.dst = box;
        p.src = cover_crop(src_w, src_h, box.w, box.h);
    } else {
        double r = src_h > 0 ? (double)src_w / src_h : 1.0;
        fit_dest(box.w, box.h, &p.dst.x, &p.dst.y, &p.dst.w, &p.dst.h, r);
        p.dst.x += box.x;
        p.dst.y += box.y;
    }
    return p;
}

int resolve_output_geometry(int is_dsi, const GeometrySettings &s, OutputGeometry *out) {
    OutputGeometry g;
    g.aspect = s.aspect;
    g.fit = s.fit;
    g.flip = s.flip;
    g.telem = 0;
    int replaced = 0;
    if (is_dsi) {
        if (env_nonempty(s.aspect_dsi)) g.aspect = s.aspect_dsi, replaced++;
        if (env_nonempty(s.fit_dsi)) g.fit = s.fit_dsi, replaced++;
        if (env_nonempty(s.flip_dsi)) g.flip = s.flip_dsi, replaced++;
        g.telem = s.telem_dsi;
    }
    *out = g;
    return replaced;
}

void log_output_override(int index, const OutputGeometry &g) {
    vlog("output %d (DSI) aspect %s fit %s flip %s (override)", index,
         g.aspect ? g.aspect : "(null)", g.fit ? g.fit : "(null)", g.flip ? g.flip : "(null)");
}

char *standby_key_for(const char *flip, const char *fit, char *buf, size_t size) {
    if (!buf || size == 0) return buf;
    size_t n = size < 24 ? size : 24;
    snprintf(buf, n, "%s/%s", flip ? flip : "none", fit ? fit : "fit");
    return buf;
}
