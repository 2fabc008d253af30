#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <drm_fourcc.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "core/env.h"
#include "core/log.h"
#include "display/dumb_buffer.h"
#include "display/mode_select.h"
#include "display/output.h"
#include "display/overlay_plane.h"
#include "display/props.h"
#include "display/standby.h"

int drm_fd = -1;
Output outs[max_outputs];
int nout;

namespace {

constexpr const char *card_paths[] = {"/dev/dri/by-path/platform-gpu-card", "/dev/dri/card1",
                                      "/dev/dri/card0"};

int open_card(const char *path) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    drmModeRes *res = drmModeGetResources(fd);
    bool ok = res && res->count_connectors > 0;
    drmModeFreeResources(res);
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

const char *open_any_card() {
    const char *forced = env_get("VEX_KMS_CARD");
    if (forced) {
        drm_fd = open_card(forced);
        return drm_fd >= 0 ? forced : nullptr;
    }
    for (const char *p : card_paths) {
        drm_fd = open_card(p);
        if (drm_fd >= 0) return p;
    }
    return nullptr;
}

bool is_interlaced(const drmModeModeInfo &m) {
    return (m.flags & DRM_MODE_FLAG_INTERLACE) != 0;
}

// Connected displays may show no modes until their EDID has been read.
void wait_for_edid(const drmModeRes *res) {
    long limit = env_int_or("VEX_KMS_EDID_WAIT_MS", 1500);
    if (limit < 1) return;
    int waited = 0;
    for (bool first = true;; first = false) {
        int count = 0;
        for (int i = 0; i < res->count_connectors; i++) {
            drmModeConnector *c = drmModeGetConnector(drm_fd, res->connectors[i]);
            if (c && c->connection == DRM_MODE_CONNECTED && c->count_modes == 0) count++;
            drmModeFreeConnector(c);
        }
        if (count == 0) break;
        if (first)
            vlog("%d connected output(s) have no EDID yet — waiting up to %ld ms", count, limit);
        usleep(250 * 1000);
        waited += 250;
        if (waited >= limit) break;
    }
    if (waited > 0) vlog("EDID wait finished after %d ms", waited);
}

struct PlaneChoice {
    int crtc_index = -1;
    uint32_t crtc_id = 0;
    uint32_t video_plane = 0;
    int video_index = -1;
    uint32_t primary_plane = 0; // the CRTC's own primary plane, whatever it scans out
    bool primary_path = false;
};

// Finds a free CRTC and a video plane for the connector: a plane that scans
// out the decoder's pictures (NV12, linear).
bool choose_crtc_and_plane(const drmModeConnector *conn, const drmModeRes *res,
                           const drmModePlaneRes *pres, uint32_t driven, const PlaneSet &taken,
                           PlaneChoice *out) {
    PlaneChoice fallback;
    bool have_fallback = false;
    for (int e = 0; e < conn->count_encoders && pres; e++) {
        drmModeEncoder *enc = drmModeGetEncoder(drm_fd, conn->encoders[e]);
        if (!enc) continue;
        uint32_t possible = enc->possible_crtcs;
        drmModeFreeEncoder(enc);
        for (int c = 0; c < res->count_crtcs && c < 32; c++) {
            if (!(possible & (1u << c)) || (driven & (1u << c))) continue;
            uint32_t overlay = 0, cursor = 0, primary = 0, own_primary = 0;
            int overlay_i = -1, cursor_i = -1, primary_i = -1;
            for (uint32_t i = 0; i < pres->count_planes; i++) {
                if (i < taken.size() && taken[i]) continue;
                drmModePlane *p = drmModeGetPlane(drm_fd, pres->planes[i]);
                if (!p) continue;
                bool on_crtc = (p->possible_crtcs & (1u << c)) != 0;
                uint32_t id = p->plane_id;
                drmModeFreePlane(p);
                if (!on_crtc) continue;
                uint64_t type = DRM_PLANE_TYPE_OVERLAY;
                prop_id_value(id, obj_plane, "type", &type);
                if (type == DRM_PLANE_TYPE_PRIMARY && !own_primary) own_primary = id;
                if (!plane_takes(id, DRM_FORMAT_NV12, DRM_FORMAT_MOD_LINEAR)) continue;
                if (type == DRM_PLANE_TYPE_OVERLAY && !overlay) overlay = id, overlay_i = (int)i;
                if (type == DRM_PLANE_TYPE_CURSOR && !cursor) cursor = id, cursor_i = (int)i;
                if (type == DRM_PLANE_TYPE_PRIMARY && !primary) primary = id, primary_i = (int)i;
            }
            if (overlay || cursor) {
                out->crtc_index = c;
                out->crtc_id = res->crtcs[c];
                out->video_plane = overlay ? overlay : cursor;
                out->video_index = overlay ? overlay_i : cursor_i;
                out->primary_plane = own_primary ? own_primary : out->video_plane;
                out->primary_path = false;
                if (!overlay)
                    vlog("NV12 video plane %u is CURSOR-typed (VOP2 Esmart win) — using it",
                         cursor);
                return true;
            }
            if (primary && !have_fallback) {
                have_fallback = true;
                fallback.crtc_index = c;
                fallback.crtc_id = res->crtcs[c];
                fallback.video_plane = primary;
                fallback.video_index = primary_i;
                fallback.primary_plane = primary;
                fallback.primary_path = true;
            }
        }
    }
    if (have_fallback) {
        vlog("no NV12 overlay plane on any CRTC — driving the primary (DSI/VOPL)");
        *out = fallback;
        return true;
    }
    vlog("no free CRTC/NV12 plane for connector");
    return false;
}

const char *type_name(uint32_t type) {
    const char *n = drmModeGetConnectorTypeName(type);
    return n ? n : "?";
}

// Atomic modeset of a panel, the standby framebuffer on `plane`. 0 on success.
int atomic_modeset(uint32_t conn_id, uint32_t crtc_id, uint32_t plane, uint32_t fb,
                   drmModeModeInfo *mode) {
    uint32_t blob = 0;
    if (drmModeCreatePropertyBlob(drm_fd, mode, sizeof *mode, &blob) != 0) {
        vlog("atomic: CreatePropertyBlob: %s", strerror(errno));
        return -1;
    }
    uint32_t conn_crtc = prop_id(conn_id, obj_connector, "CRTC_ID");
    uint32_t mode_id = prop_id(crtc_id, obj_crtc, "MODE_ID");
    uint32_t active = prop_id(crtc_id, obj_crtc, "ACTIVE");
    uint32_t fb_id = prop_id(plane, obj_plane, "FB_ID");
    uint32_t plane_crtc = prop_id(plane, obj_plane, "CRTC_ID");
    if (!conn_crtc || !mode_id || !active || !fb_id || !plane_crtc) {
        vlog("atomic: missing required properties");
        drmModeDestroyPropertyBlob(drm_fd, blob);
        return -1;
    }
    uint64_t w = mode->hdisplay, h = mode->vdisplay;
    const struct {
        const char *name;
        uint64_t value;
    } optional[] = {{"SRC_X", 0},  {"SRC_Y", 0},  {"SRC_W", w << 16}, {"SRC_H", h << 16},
                    {"CRTC_X", 0}, {"CRTC_Y", 0}, {"CRTC_W", w},      {"CRTC_H", h}};
    int r = -1;
    drmModeAtomicReq *req = drmModeAtomicAlloc();
    if (req) {
        drmModeAtomicAddProperty(req, conn_id, conn_crtc, crtc_id);
        drmModeAtomicAddProperty(req, crtc_id, mode_id, blob);
        drmModeAtomicAddProperty(req, crtc_id, active, 1);
        drmModeAtomicAddProperty(req, plane, fb_id, fb);
        drmModeAtomicAddProperty(req, plane, plane_crtc, crtc_id);
        for (const auto &p : optional) {
            uint32_t id = prop_id(plane, obj_plane, p.name);
            if (id) drmModeAtomicAddProperty(req, plane, id, p.value);
        }
        r = drmModeAtomicCommit(drm_fd, req, DRM_MODE_ATOMIC_ALLOW_MODESET, nullptr);
        if (r != 0) vlog("atomic: modeset commit failed: %s", strerror(errno));
        drmModeAtomicFree(req);
    }
    drmModeDestroyPropertyBlob(drm_fd, blob);
    return r == 0 ? 0 : -1;
}

unsigned mode_rate(const drmModeModeInfo &m) {
    if (m.vrefresh == 0 && m.htotal && m.vtotal)
        return (unsigned)((uint64_t)m.clock * 1000 / ((uint64_t)m.htotal * m.vtotal));
    return m.vrefresh;
}

// Publishes the first output's mode for other processes.
void write_hdmi_mode(const drmModeModeInfo &m) {
    mkdir("/run/vex-fpv", 0755);
    FILE *f = fopen("/run/vex-fpv/hdmi_mode.tmp", "w");
    if (!f) return;
    fprintf(f, "%ux%u%s@%u\n", m.hdisplay, m.vdisplay, is_interlaced(m) ? "i" : "", mode_rate(m));
    fclose(f);
    rename("/run/vex-fpv/hdmi_mode.tmp", "/run/vex-fpv/hdmi_mode");
}

void look_up_plane_props(Output *o) {
    uint32_t p = o->plane_id;
    o->prop_fb_id = prop_id(p, obj_plane, "FB_ID");
    o->prop_crtc_id = prop_id(p, obj_plane, "CRTC_ID");
    o->prop_src_x = prop_id(p, obj_plane, "SRC_X");
    o->prop_src_y = prop_id(p, obj_plane, "SRC_Y");
    o->prop_src_w = prop_id(p, obj_plane, "SRC_W");
    o->prop_src_h = prop_id(p, obj_plane, "SRC_H");
    o->prop_crtc_x = prop_id(p, obj_plane, "CRTC_X");
    o->prop_crtc_y = prop_id(p, obj_plane, "CRTC_Y");
    o->prop_crtc_w = prop_id(p, obj_plane, "CRTC_W");
    o->prop_crtc_h = prop_id(p, obj_plane, "CRTC_H");
}

bool same_timing(const drmModeModeInfo &a, const drmModeModeInfo &b) {
    return a.clock == b.clock && a.hdisplay == b.hdisplay && a.vdisplay == b.vdisplay &&
           a.htotal == b.htotal && a.vtotal == b.vtotal && a.flags == b.flags;
}

// The next mode to try after the driver refused *mode: for a forced CEA
// timing the advertised mode nearest the request, for a requested mode the
// automatic choice. False when nothing different is left to try.
bool next_mode_after_refusal(const drmModeConnector *conn, bool is_dsi, int *forced,
                             bool *requested, drmModeModeInfo *mode) {
    const drmModeModeInfo refused = *mode;
    for (;;) {
        drmModeModeInfo next;
        if (*forced) {
            *forced = 0;
            next = pick_mode(conn, 0, nullptr, !is_dsi);
            vlog("forced CEA timing rejected — falling back to advertised %ux%u@%u", next.hdisplay,
                 next.vdisplay, next.vrefresh);
        } else if (*requested) {
            *requested = false;
            next = pick_mode(conn, 0, nullptr, 0);
            if (same_timing(refused, next)) return false;
            vlog("requested mode %ux%u%s@%u refused by the driver — falling back to the automatic "
                 "choice %ux%u%s@%u",
                 refused.hdisplay, refused.vdisplay, is_interlaced(refused) ? "i" : "",
                 refused.vrefresh, next.hdisplay, next.vdisplay, is_interlaced(next) ? "i" : "",
                 next.vrefresh);
        } else {
            return false;
        }
        if (!same_timing(refused, next)) {
            *mode = next;
            return true;
        }
    }
}

// Standby buffer and modeset. When the driver refuses the mode, a forced CEA
// timing gives way to the advertised mode nearest the request, and a
// requested mode to the automatic choice, so that a request the display
// cannot take never costs the output.
bool set_up_standby_and_mode(const drmModeConnector *conn, const PlaneChoice &pc, bool is_dsi,
                             drmModeModeInfo *mode, int *forced, DumbBuffer *sb, bool *atomic) {
    ModeRequest req;
    bool requested = !is_dsi && mode_request_from_env(&req) == 0;
    for (;;) {
        uint32_t w = mode->hdisplay, h = mode->vdisplay;
        if (dumb_create(drm_fd, w, h, sb) != 0) {
            vlog("standby buffer %ux%u: %s", w, h, strerror(errno));
            return false;
        }
        if (sb->map) {
            if (env_get("VEX_KMS_TESTFILL")) {
                uint32_t colour = testfill_colour(nout);
                fill_xrgb(sb->map, sb->pitch, w, h, colour);
                vlog("TESTFILL output %d = 0x%06X (%ux%u)", nout, colour, w, h);
            } else {
                paint_standby_initial(sb->map, sb->pitch, w, h, nout);
            }
        }
        dumb_add_fb(drm_fd, w, h, DRM_FORMAT_XRGB8888, sb);

        *atomic = false;
        if (is_dsi) {
            if (atomic_modeset(conn->connector_id, pc.crtc_id, pc.primary_plane, sb->fb, mode) == 0)
                *atomic = true;
            else
                vlog("atomic modeset failed — falling back to legacy SetCrtc");
        }
        if (*atomic) {
            vlog("output %d (%s) modeset ATOMICALLY (panel path)", nout,
                 type_name(conn->connector_type));
            return true;
        }
        uint32_t conn_id = conn->connector_id;
        if (drmModeSetCrtc(drm_fd, pc.crtc_id, sb->fb, 0, 0, &conn_id, 1, mode) == 0) return true;
        vlog("SetCrtc(crtc %u, %ux%u@%u): %s", pc.crtc_id, w, h, mode->vrefresh, strerror(errno));
        dumb_destroy(drm_fd, sb);
        if (!next_mode_after_refusal(conn, is_dsi, forced, &requested, mode)) return false;
    }
}

// Sets up one connector as output number nout. True when it became an output.
bool set_up_output(const drmModeConnector *conn, const drmModeRes *res, const drmModePlaneRes *pres,
                   uint32_t *driven, PlaneSet *taken) {
    bool is_dsi = conn->connector_type == drm_connector_dsi;
    int forced = 0;
    drmModeModeInfo mode = pick_mode(conn, !is_dsi, &forced, !is_dsi);
    const char *req = env_get("VEX_KMS_MODE");
    int rw = 0, rh = 0;
    if (is_dsi && env_nonempty(req) && sscanf(req, "%dx%d", &rw, &rh) == 2 &&
        (rw != mode.hdisplay || rh != mode.vdisplay)) {
        vlog("panel mode %s unsupported — using %ux%u@%u", req, mode.hdisplay, mode.vdisplay,
             mode.vrefresh);
        vlog_flush();
    }

    PlaneChoice pc;
    if (!choose_crtc_and_plane(conn, res, pres, *driven, *taken, &pc)) return false;
    vlog("connector → crtc %u %s plane %u", pc.crtc_id, pc.primary_path ? "primary" : "overlay",
         pc.video_plane);
    taken->set((size_t)pc.video_index);

    DumbBuffer sb;
    bool atomic = false;
    if (!set_up_standby_and_mode(conn, pc, is_dsi, &mode, &forced, &sb, &atomic)) return false;

    if (nout == 0) write_hdmi_mode(mode);
    bool il = is_interlaced(mode);
    vlog("mode set %ux%u%s@%u — %d kHz pixel clock%s", mode.hdisplay, mode.vdisplay, il ? "i" : "",
         mode.vrefresh, mode.clock, il ? " (interlaced: switcher must lock to this)" : "");

    *driven |= 1u << pc.crtc_index;
    Output &o = outs[nout];
    o = Output{};
    o.connector_id = conn->connector_id;
    o.crtc_id = pc.crtc_id;
    o.plane_id = pc.video_plane;
    o.primary_plane_id = pc.primary_plane;
    o.crtc_index = pc.crtc_index;
    o.mode = mode;
    o.is_dsi = is_dsi;
    o.primary_path = pc.primary_path;
    snprintf(o.standby_key, sizeof o.standby_key, "none/fit");
    o.edid_w = conn->modes[0].hdisplay;
    o.edid_h = conn->modes[0].vdisplay;
    o.edid_hz = (uint16_t)conn->modes[0].vrefresh;
    o.standby_map = sb.map;
    o.standby_pitch = sb.pitch;
    o.standby_fb = sb.fb;
    o.menu_front = -1;
    if (atomic) {
        look_up_plane_props(&o);
        o.atomic_ok = o.prop_fb_id && o.prop_crtc_id && o.prop_src_w && o.prop_src_h &&
                      o.prop_crtc_w && o.prop_crtc_h;
        if (!o.atomic_ok)
            vlog("atomic plane props unavailable — output %d falls back to legacy", nout);
    }

    probe_overlay_plane(&o, nout, taken);

    vlog("output %d → crtc %u plane %u %ux%u%s@%u%s", nout, o.crtc_id, o.plane_id, mode.hdisplay,
         mode.vdisplay, il ? "i" : "", mode.vrefresh, forced ? " (CEA-forced, not in EDID)" : "");
    nout += 1;
    return true;
}

} // namespace

int drm_init() {
    drm_fd = -1;
    nout = 0;
    const char *path = open_any_card();
    if (!path) {
        vlog("no DRM display card with connectors");
        return -1;
    }
    vlog("DRM display card %s", path);
    drmSetMaster(drm_fd);
    drmSetClientCap(drm_fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
    drmSetClientCap(drm_fd, DRM_CLIENT_CAP_ATOMIC, 1);
    drmVersion *ver = drmGetVersion(drm_fd);
    drv_note_name(ver ? ver->name : nullptr);
    drmFreeVersion(ver);

    drmModeRes *res = drmModeGetResources(drm_fd);
    if (res) {
        wait_for_edid(res);
        drmModePlaneRes *pres = drmModeGetPlaneResources(drm_fd);
        const char *filter = env_get("VEX_KMS_CONNECTOR");
        uint32_t driven = 0;
        PlaneSet taken;
        for (int i = 0; i < res->count_connectors && nout < max_outputs; i++) {
            drmModeConnector *conn = drmModeGetConnector(drm_fd, res->connectors[i]);
            if (!conn) continue;
            char name[64];
            snprintf(name, sizeof name, "%s-%u", type_name(conn->connector_type),
                     conn->connector_type_id);
            if (conn->connection == DRM_MODE_CONNECTED && conn->count_modes > 0 &&
                (!env_nonempty(filter) || strstr(name, filter))) {
                vlog("connector %s connected", name);
                set_up_output(conn, res, pres, &driven, &taken);
            }
            drmModeFreeConnector(conn);
        }
        drmModeFreePlaneResources(pres);
        drmModeFreeResources(res);
    }
    if (nout == 0) {
        vlog("no usable connected output");
        close(drm_fd);
        drm_fd = -1;
        return -1;
    }
    vlog("driving %d HDMI output(s)", nout);
    return 0;
}
