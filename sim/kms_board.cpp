// Board files of the simulated display card: parsing, presets, the default board.
#include "sim/kms_board.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <drm_fourcc.h>

#ifndef VEX_SIM_BOARD_SRC_DIR
#define VEX_SIM_BOARD_SRC_DIR ""
#endif

namespace {

constexpr const char *connector_type_names[] = {
    "Unknown", "VGA",       "DVI-I", "DVI-D", "DVI-A",     "Composite", "SVIDEO",
    "LVDS",    "Component", "DIN",   "DP",    "HDMI-A",    "HDMI-B",    "TV",
    "eDP",     "Virtual",   "DSI",   "DPI",   "Writeback", "SPI",       "USB",
};

// The desktop monitor of the default board (kernel order, preferred first).
constexpr const char default_board[] =
    R"(# Default simulated board: a Rockchip-like card (VOP2, one display) with a
# 1920x1080@60 desktop monitor on HDMI.
board default
card /dev/dri/card0 /dev/dri/by-path/platform-display-subsystem-card
driver rockchip 3 0 0
desc "RockChip Soc DRM"
knob yuv_odd_x refuse
crtc VP0 max=4096x2304
crtc VP1 max=2048x1536
crtc VP2 max=1920x1080
plane Smart0 type=primary crtcs=VP0 formats=XR24,AR24,XB24,AB24,RG24,BG24,RG16,BG16 zpos=0-5:0 scale=8
plane Smart1 type=overlay crtcs=VP0 formats=XR24,AR24,XB24,AB24,RG24,BG24,RG16,BG16 zpos=0-5:1 scale=8
plane Esmart1 type=overlay crtcs=VP0 formats=XR24,AR24,XB24,AB24,RG24,BG24,RG16,BG16,NV12,NV21,NV16,NV61 zpos=0-5:2 scale=8
plane Esmart0 type=overlay crtcs=VP0 formats=XR24,AR24,XB24,AB24,RG24,BG24,RG16,BG16,NV12,NV21,NV16,NV61 zpos=0-5:3 scale=8
plane Cluster0 type=overlay crtcs=VP0 formats=XR24,AR24,XB24,AB24,RG24,BG24,RG16,BG16 modifiers=afbc16x16 zpos=0-5:4 scale=8
plane Cluster1 type=overlay crtcs=VP0 formats=XR24,AR24,XB24,AB24,RG24,BG24,RG16,BG16 modifiers=afbc16x16 zpos=0-5:5 scale=8
connector HDMI-A-1 crtcs=VP0,VP1,VP2 mm=530x300
mode 1920x1080@60 148500 2200 1125 preferred hsync=2008,2052 vsync=1084,1089
mode 1600x900@60 108000 1800 1000 hsync=1624,1704 vsync=901,904
mode 1280x1024@75 135000 1688 1066 hsync=1296,1440 vsync=1025,1028
mode 1280x1024@60 108000 1688 1066 hsync=1328,1440 vsync=1025,1028
mode 1152x864@75 108000 1600 900 hsync=1216,1344 vsync=865,868
mode 1024x768@75 78750 1312 800 hsync=1040,1136 vsync=769,772
mode 1024x768@60 65000 1344 806 hsync=1048,1184 vsync=771,777 nhsync nvsync
mode 800x600@75 49500 1056 625 hsync=816,896 vsync=601,604
mode 800x600@60 40000 1056 628 hsync=840,968 vsync=601,605
mode 640x480@75 31500 840 500 hsync=656,720 vsync=481,484 nhsync nvsync
mode 640x480@60 25175 800 525 hsync=656,752 vsync=490,492 nhsync nvsync
mode 720x400@70 28320 900 449 hsync=738,846 vsync=412,414 nhsync
)";

struct Parser {
    KmsBoard *board = nullptr;
    std::string *err = nullptr;
    int line = 0;
    KmsConnectorDesc *conn = nullptr;
    bool after_replug = false;
    std::vector<std::vector<std::string>> refuse_argb; // per card: plane names

    int fail(const char *fmt, const char *a = "", const char *b = "") {
        char msg[256];
        snprintf(msg, sizeof msg, fmt, a, b);
        char full[320];
        snprintf(full, sizeof full, "line %d: %s", line, msg);
        *err = full;
        return -1;
    }
    KmsCardDesc *card() { return board->cards.empty() ? nullptr : &board->cards.back(); }
};

int split_line(const char *p, std::vector<std::string> *tok) {
    tok->clear();
    while (*p) {
        while (*p == ' ' || *p == '\t' || *p == '\r') ++p;
        if (!*p || *p == '#' || *p == '\n') break;
        std::string t;
        if (*p == '"') {
            ++p;
            while (*p && *p != '"' && *p != '\n') t += *p++;
            if (*p != '"') return -1;
            ++p;
        } else {
            while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') t += *p++;
        }
        tok->push_back(t);
    }
    return 0;
}

int parse_uint(const std::string &s, long long max, long long *out) {
    if (s.empty()) return -1;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 0);
    if (errno || *end || v < 0 || v > max) return -1;
    *out = v;
    return 0;
}

int parse_size(const std::string &s, uint32_t *w, uint32_t *h) {
    unsigned a = 0, b = 0;
    char tail = 0;
    if (sscanf(s.c_str(), "%ux%u%c", &a, &b, &tail) != 2) return -1;
    *w = a;
    *h = b;
    return 0;
}

int parse_ms(const std::string &s, int *out) {
    if (s == "never") {
        *out = INT_MAX;
        return 0;
    }
    long long v;
    if (parse_uint(s, INT_MAX, &v)) return -1;
    *out = static_cast<int>(v);
    return 0;
}

std::vector<std::string> split_list(const std::string &s) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= s.size()) {
        size_t comma = s.find(',', start);
        if (comma == std::string::npos) comma = s.size();
        if (comma > start) out.push_back(s.substr(start, comma - start));
        start = comma + 1;
    }
    return out;
}

// The mask of the first n crtcs (n up to 32).
uint32_t all_crtcs(size_t n) {
    return n >= 32 ? 0xffffffffu : (1u << n) - 1;
}

int crtc_mask(Parser &ps, const std::string &list, uint32_t *mask) {
    const KmsCardDesc *c = ps.card();
    *mask = 0;
    if (list == "all") {
        *mask = all_crtcs(c->crtcs.size());
        return 0;
    }
    for (const std::string &name : split_list(list)) {
        size_t i = 0;
        while (i < c->crtcs.size() && c->crtcs[i].name != name) ++i;
        if (i == c->crtcs.size()) return ps.fail("unknown crtc '%s'", name.c_str());
        *mask |= 1u << i;
    }
    return 0;
}

int parse_modifier(const std::string &s, uint64_t *out) {
    if (s == "linear")
        *out = DRM_FORMAT_MOD_LINEAR;
    else if (s == "afbc16x16")
        *out = DRM_FORMAT_MOD_ARM_AFBC(AFBC_FORMAT_MOD_BLOCK_SIZE_16x16 | AFBC_FORMAT_MOD_SPARSE);
    else if (s == "afbc16x16-ytr")
        *out = DRM_FORMAT_MOD_ARM_AFBC(AFBC_FORMAT_MOD_BLOCK_SIZE_16x16 | AFBC_FORMAT_MOD_SPARSE |
                                       AFBC_FORMAT_MOD_YTR);
    else if (s == "vc4-t-tiled")
        *out = DRM_FORMAT_MOD_BROADCOM_VC4_T_TILED;
    else if (s == "sand128")
        *out = DRM_FORMAT_MOD_BROADCOM_SAND128;
    else {
        char *end = nullptr;
        errno = 0;
        unsigned long long v = strtoull(s.c_str(), &end, 16);
        if (errno || *end || s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return -1;
        *out = v;
    }
    return 0;
}

// "mode WxH[i]@R clock htotal vtotal [preferred] [hsync=S,E] [vsync=S,E] [nhsync] [nvsync]"
int parse_mode(Parser &ps, const std::vector<std::string> &t) {
    if (!ps.conn) return ps.fail("mode outside a connector");
    if (t.size() < 5) return ps.fail("mode needs WxH@R clock htotal vtotal");
    unsigned w = 0, h = 0, r = 0;
    char i = 0;
    drmModeModeInfo m{};
    if (sscanf(t[1].c_str(), "%ux%u@%u", &w, &h, &r) == 3) {
    } else if (sscanf(t[1].c_str(), "%ux%u%c@%u", &w, &h, &i, &r) == 4 && i == 'i') {
        m.flags |= DRM_MODE_FLAG_INTERLACE;
    } else {
        return ps.fail("bad mode '%s' (WxH@R or WxHi@R)", t[1].c_str());
    }
    long long clock, htotal, vtotal;
    if (parse_uint(t[2], INT_MAX, &clock) || parse_uint(t[3], 65535, &htotal) ||
        parse_uint(t[4], 65535, &vtotal) || clock == 0 || htotal < w || vtotal < h || w == 0 ||
        h == 0 || w > 65535 || h > 65535)
        return ps.fail("bad timing in mode '%s'", t[1].c_str());
    m.clock = static_cast<uint32_t>(clock);
    m.hdisplay = static_cast<uint16_t>(w);
    m.vdisplay = static_cast<uint16_t>(h);
    m.htotal = static_cast<uint16_t>(htotal);
    m.vtotal = static_cast<uint16_t>(vtotal);
    m.vrefresh = r;
    uint32_t hb = m.htotal - w, vb = m.vtotal - h;
    m.hsync_start = static_cast<uint16_t>(w + hb / 4);
    m.hsync_end = static_cast<uint16_t>(m.hsync_start + (hb + 3) / 4);
    m.vsync_start = static_cast<uint16_t>(h + (vb + 9) / 10);
    m.vsync_end = static_cast<uint16_t>(m.vsync_start + (vb + 7) / 8);
    if (m.hsync_end > m.htotal) m.hsync_end = m.htotal;
    if (m.vsync_end > m.vtotal) m.vsync_end = m.vtotal;
    if (m.vsync_start > m.vsync_end) m.vsync_start = m.vsync_end;
    uint32_t hflag = DRM_MODE_FLAG_PHSYNC, vflag = DRM_MODE_FLAG_PVSYNC;
    m.type = DRM_MODE_TYPE_DRIVER;
    for (size_t k = 5; k < t.size(); ++k) {
        const std::string &a = t[k];
        unsigned s = 0, e = 0;
        if (a == "preferred")
            m.type |= DRM_MODE_TYPE_PREFERRED;
        else if (a == "nhsync")
            hflag = DRM_MODE_FLAG_NHSYNC;
        else if (a == "nvsync")
            vflag = DRM_MODE_FLAG_NVSYNC;
        else if (sscanf(a.c_str(), "hsync=%u,%u", &s, &e) == 2) {
            if (s < w || e < s || e > m.htotal) return ps.fail("bad hsync '%s'", a.c_str());
            m.hsync_start = static_cast<uint16_t>(s);
            m.hsync_end = static_cast<uint16_t>(e);
        } else if (sscanf(a.c_str(), "vsync=%u,%u", &s, &e) == 2) {
            if (s < h || e < s || e > m.vtotal) return ps.fail("bad vsync '%s'", a.c_str());
            m.vsync_start = static_cast<uint16_t>(s);
            m.vsync_end = static_cast<uint16_t>(e);
        } else {
            return ps.fail("unknown mode attribute '%s'", a.c_str());
        }
    }
    m.flags |= hflag | vflag;
    snprintf(m.name, sizeof m.name, "%ux%u%s", w, h,
             (m.flags & DRM_MODE_FLAG_INTERLACE) ? "i" : "");
    (ps.after_replug ? ps.conn->modes_after : ps.conn->modes).push_back(m);
    return 0;
}

int parse_plane(Parser &ps, const std::vector<std::string> &t) {
    KmsCardDesc *c = ps.card();
    if (t.size() < 2) return ps.fail("plane needs a name");
    KmsPlaneDesc p;
    p.name = t[1];
    bool have_crtcs = false;
    for (size_t k = 2; k < t.size(); ++k) {
        const std::string &a = t[k];
        size_t eq = a.find('=');
        if (eq == std::string::npos)
            return ps.fail("plane attribute '%s' needs a value", a.c_str());
        std::string key = a.substr(0, eq), val = a.substr(eq + 1);
        if (key == "type") {
            if (val == "overlay")
                p.type = DRM_PLANE_TYPE_OVERLAY;
            else if (val == "primary")
                p.type = DRM_PLANE_TYPE_PRIMARY;
            else if (val == "cursor")
                p.type = DRM_PLANE_TYPE_CURSOR;
            else
                return ps.fail("unknown plane type '%s'", val.c_str());
        } else if (key == "crtcs") {
            if (crtc_mask(ps, val, &p.crtc_mask)) return -1;
            have_crtcs = true;
        } else if (key == "formats") {
            for (const std::string &entry : split_list(val)) {
                const size_t colon = entry.find(':');
                const std::string f = entry.substr(0, colon);
                if (f.size() != 4) return ps.fail("format '%s' is not a fourcc", f.c_str());
                p.formats.push_back(fourcc_code(f[0], f[1], f[2], f[3]));
                std::vector<uint64_t> own;
                for (size_t at = colon; at != std::string::npos;) {
                    const size_t next = entry.find('+', at + 1);
                    const std::string m = entry.substr(at + 1, next - at - 1);
                    uint64_t mod;
                    if (parse_modifier(m, &mod)) return ps.fail("unknown modifier '%s'", m.c_str());
                    own.push_back(mod);
                    at = next;
                }
                p.format_modifiers.push_back(own);
            }
        } else if (key == "modifiers") {
            for (const std::string &f : split_list(val)) {
                uint64_t mod;
                if (parse_modifier(f, &mod)) return ps.fail("unknown modifier '%s'", f.c_str());
                p.modifiers.push_back(mod);
            }
        } else if (key == "zpos") {
            unsigned lo = 0, hi = 0, def = 0;
            char tail = 0;
            p.has_zpos = true;
            if (sscanf(val.c_str(), "%u-%u:%u%c", &lo, &hi, &def, &tail) == 3 && lo <= def &&
                def <= hi) {
                p.zpos_min = lo;
                p.zpos_max = hi;
                p.zpos_default = def;
            } else if (sscanf(val.c_str(), "%u%c", &def, &tail) == 1) {
                p.zpos_min = p.zpos_max = p.zpos_default = def;
                p.zpos_immutable = true;
            } else {
                return ps.fail("bad zpos '%s' (MIN-MAX:DEFAULT or N)", val.c_str());
            }
        } else if (key == "scale") {
            long long n;
            if (val == "none")
                p.max_down = p.max_up = 1;
            else if (parse_uint(val, 64, &n) == 0 && n >= 1)
                p.max_down = p.max_up = static_cast<uint32_t>(n);
            else
                return ps.fail("bad scale '%s'", val.c_str());
        } else if (key == "position") {
            if (val != "fullscreen") return ps.fail("bad position '%s'", val.c_str());
            p.fullscreen_only = true;
        } else if (key == "maxsrc") {
            if (parse_size(val, &p.max_src_w, &p.max_src_h))
                return ps.fail("bad maxsrc '%s'", val.c_str());
        } else {
            return ps.fail("unknown plane attribute '%s'", key.c_str());
        }
    }
    if (p.formats.empty()) return ps.fail("plane %s lists no formats", p.name.c_str());
    if (!have_crtcs) return ps.fail("plane %s names no crtcs", p.name.c_str());
    if (p.modifiers.empty()) p.modifiers.push_back(DRM_FORMAT_MOD_LINEAR);
    for (std::vector<uint64_t> &own : p.format_modifiers)
        if (own.empty()) own = p.modifiers;
    c->planes.push_back(p);
    return 0;
}

int parse_connector(Parser &ps, const std::vector<std::string> &t) {
    KmsCardDesc *c = ps.card();
    if (t.size() < 2) return ps.fail("connector needs a name such as HDMI-A-1");
    KmsConnectorDesc d;
    d.name = t[1];
    size_t dash = d.name.rfind('-');
    long long id;
    int type = dash == std::string::npos
                   ? -1
                   : kms_connector_type_from_name(d.name.substr(0, dash).c_str());
    if (type < 0 || parse_uint(d.name.substr(dash + 1), 255, &id) || id < 1)
        return ps.fail("connector name '%s' is not TYPE-N", d.name.c_str());
    d.type = static_cast<uint32_t>(type);
    d.type_id = static_cast<uint32_t>(id);
    d.crtc_mask = all_crtcs(c->crtcs.size());
    for (size_t k = 2; k < t.size(); ++k) {
        const std::string &a = t[k];
        size_t eq = a.find('=');
        if (eq == std::string::npos)
            return ps.fail("connector attribute '%s' needs a value", a.c_str());
        std::string key = a.substr(0, eq), val = a.substr(eq + 1);
        int rc = 0;
        if (key == "crtcs")
            rc = crtc_mask(ps, val, &d.crtc_mask);
        else if (key == "status") {
            if (val == "connected")
                d.connected = true;
            else if (val == "disconnected")
                d.connected = false;
            else
                return ps.fail("bad status '%s'", val.c_str());
        } else if (key == "edid_ms")
            rc = parse_ms(val, &d.edid_ms);
        else if (key == "plug_ms")
            rc = parse_ms(val, &d.plug_ms);
        else if (key == "unplug_ms")
            rc = parse_ms(val, &d.unplug_ms);
        else if (key == "replug_ms")
            rc = parse_ms(val, &d.replug_ms);
        else if (key == "mm")
            rc = parse_size(val, &d.mm_w, &d.mm_h);
        else
            return ps.fail("unknown connector attribute '%s'", key.c_str());
        if (rc) return ps.err->empty() ? ps.fail("bad value in '%s'", a.c_str()) : -1;
    }
    c->connectors.push_back(d);
    ps.conn = &c->connectors.back();
    ps.after_replug = false;
    return 0;
}

int parse_knob(Parser &ps, const std::vector<std::string> &t) {
    KmsCardDesc *c = ps.card();
    if (t.size() < 3) return ps.fail("knob needs a name and a value");
    const std::string &k = t[1], &v = t[2];
    if (k == "forced_modes" && (v == "refuse" || v == "accept"))
        c->refuse_forced_modes = v == "refuse";
    else if (k == "atomic_cap" && (v == "refuse" || v == "accept"))
        c->refuse_atomic_cap = v == "refuse";
    else if (k == "atomic_commit" && v == "einval")
        c->atomic_commit_errno = EINVAL;
    else if (k == "atomic_commit" && v == "enotsup")
        c->atomic_commit_errno = ENOTSUP;
    else if (k == "atomic_commit" && v == "accept")
        c->atomic_commit_errno = 0;
    else if (k == "fb_modifiers" && (v == "refuse" || v == "accept"))
        c->no_fb_modifiers = v == "refuse";
    else if (k == "yuv_odd_x" && (v == "refuse" || v == "accept"))
        c->yuv_odd_x_refuse = v == "refuse";
    else if (k == "linear_argb" && v == "refuse") {
        for (size_t i = 3; i < t.size(); ++i) ps.refuse_argb.back().push_back(t[i]);
    } else if (k == "pitch_align") {
        long long n;
        if (parse_uint(v, 4096, &n) || n < 1 || (n & (n - 1)))
            return ps.fail("pitch_align must be a power of two");
        c->pitch_align = static_cast<uint32_t>(n);
    } else {
        return ps.fail("unknown knob '%s %s'", k.c_str(), v.c_str());
    }
    return 0;
}

int parse_board_line(Parser &ps, const std::vector<std::string> &t) {
    const std::string &kw = t[0];
    if (kw == "board") {
        if (t.size() != 2) return ps.fail("board takes one name");
        ps.board->name = t[1];
        return 0;
    }
    if (kw == "card") {
        if (t.size() < 2) return ps.fail("card needs at least one path");
        ps.board->cards.emplace_back();
        ps.board->cards.back().paths.assign(t.begin() + 1, t.end());
        ps.refuse_argb.emplace_back();
        ps.conn = nullptr;
        return 0;
    }
    KmsCardDesc *c = ps.card();
    if (!c) return ps.fail("'%s' before the first card line", kw.c_str());
    if (kw == "driver") {
        if (t.size() != 2 && t.size() != 5) return ps.fail("driver NAME [MAJOR MINOR PATCH]");
        c->driver = t[1];
        for (size_t i = 2; i < t.size(); ++i) {
            long long v;
            if (parse_uint(t[i], 1000, &v)) return ps.fail("bad driver version");
            c->version[i - 2] = static_cast<int>(v);
        }
    } else if (kw == "desc" && t.size() == 2)
        c->desc = t[1];
    else if (kw == "date" && t.size() == 2)
        c->date = t[1];
    else if (kw == "appear_ms" && t.size() == 2) {
        if (parse_ms(t[1], &c->appear_ms)) return ps.fail("bad appear_ms");
    } else if (kw == "knob")
        return parse_knob(ps, t);
    else if (kw == "crtc") {
        if (t.size() < 2) return ps.fail("crtc needs a name");
        if (c->crtcs.size() == 32) return ps.fail("too many crtcs");
        KmsCrtcDesc d;
        d.name = t[1];
        for (size_t k = 2; k < t.size(); ++k) {
            long long v;
            if (t[k].rfind("max=", 0) == 0) {
                if (parse_size(t[k].substr(4), &d.max_w, &d.max_h)) return ps.fail("bad crtc max");
            } else if (t[k].rfind("max_clock=", 0) == 0 &&
                       !parse_uint(t[k].substr(10), INT_MAX, &v)) {
                d.max_clock = static_cast<uint32_t>(v);
            } else {
                return ps.fail("unknown crtc attribute '%s'", t[k].c_str());
            }
        }
        c->crtcs.push_back(d);
    } else if (kw == "plane")
        return parse_plane(ps, t);
    else if (kw == "connector")
        return parse_connector(ps, t);
    else if (kw == "mode")
        return parse_mode(ps, t);
    else if (kw == "after_replug") {
        if (!ps.conn) return ps.fail("after_replug outside a connector");
        ps.after_replug = true;
    } else {
        return ps.fail("unknown or malformed line '%s'", kw.c_str());
    }
    return 0;
}

} // namespace

bool KmsPlaneDesc::takes(uint32_t format, uint64_t modifier) const {
    for (size_t i = 0; i < formats.size(); ++i) {
        if (formats[i] != format) continue;
        const std::vector<uint64_t> &m =
            i < format_modifiers.size() ? format_modifiers[i] : modifiers;
        for (uint64_t x : m)
            if (x == modifier) return true;
    }
    return false;
}

int kms_connector_type_from_name(const char *name) {
    for (size_t i = 0; i < sizeof connector_type_names / sizeof *connector_type_names; ++i)
        if (strcmp(connector_type_names[i], name) == 0) return static_cast<int>(i);
    return -1;
}

int kms_board_parse(const char *text, KmsBoard *out, std::string *err) {
    *out = KmsBoard();
    err->clear();
    Parser ps;
    ps.board = out;
    ps.err = err;
    std::vector<std::string> tok;
    const char *p = text;
    while (*p) {
        ++ps.line;
        const char *eol = strchr(p, '\n');
        std::string line(p, eol ? static_cast<size_t>(eol - p) : strlen(p));
        p = eol ? eol + 1 : p + line.size();
        if (split_line(line.c_str(), &tok)) return ps.fail("unterminated quote");
        if (tok.empty()) continue;
        if (parse_board_line(ps, tok)) return -1;
    }
    ps.line = 0;
    if (out->cards.empty()) return ps.fail("no card line");
    for (size_t ci = 0; ci < out->cards.size(); ++ci) {
        KmsCardDesc &c = out->cards[ci];
        for (const std::string &name : ps.refuse_argb[ci]) {
            size_t i = 0;
            while (i < c.planes.size() && c.planes[i].name != name) ++i;
            if (i == c.planes.size())
                return ps.fail("knob linear_argb names unknown plane '%s'", name.c_str());
            c.planes[i].refuse_linear_argb = true;
        }
        for (const KmsConnectorDesc &d : c.connectors)
            if (d.crtc_mask == 0) return ps.fail("connector %s can reach no crtc", d.name.c_str());
        for (const KmsPlaneDesc &pd : c.planes)
            for (const std::vector<uint64_t> &mods : pd.format_modifiers)
                for (uint64_t m : mods)
                    if (c.no_fb_modifiers && m != DRM_FORMAT_MOD_LINEAR)
                        return ps.fail("plane %s names a modifier on a card without them",
                                       pd.name.c_str());
    }
    return 0;
}

const char *kms_default_board_text() {
    return default_board;
}

namespace {

int read_file(const std::string &path, std::string *text) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return -1;
    char buf[4096];
    size_t n;
    text->clear();
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    int bad = ferror(f);
    fclose(f);
    return bad ? -1 : 0;
}

} // namespace

int kms_board_load_text(std::string *text, std::string *err) {
    const char *v = getenv("VEX_SIM_BOARD");
    if (!v || !*v || strcmp(v, "default") == 0) {
        *text = default_board;
        return 0;
    }
    std::string name = v;
    bool is_path = name.find('/') != std::string::npos ||
                   (name.size() > 6 && name.compare(name.size() - 6, 6, ".board") == 0);
    if (is_path) {
        if (read_file(name, text) == 0) return 0;
        *err = "cannot read board file " + name + ": " + strerror(errno);
        return -1;
    }
    const char *dirs[] = {getenv("VEX_SIM_BOARD_DIR"), VEX_SIM_BOARD_SRC_DIR};
    for (const char *dir : dirs) {
        if (!dir || !*dir) continue;
        if (read_file(std::string(dir) + "/" + name + ".board", text) == 0) return 0;
    }
    *err = "no board preset named " + name + " (looked in $VEX_SIM_BOARD_DIR and " +
           VEX_SIM_BOARD_SRC_DIR + ")";
    return -1;
}
