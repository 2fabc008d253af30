#include "display/display_change.h"

#include <xf86drmMode.h>

#include "core/config.h"
#include "core/log.h"
#include "display/output.h"

DisplayVerdict display_verdict(const Output &o, bool connected, const drmModeModeInfo *first) {
    if (!connected || !first) return DisplayVerdict::away;
    if (first->hdisplay != o.edid_w || first->vdisplay != o.edid_h || first->vrefresh != o.edid_hz)
        return DisplayVerdict::changed;
    return o.lost ? DisplayVerdict::replugged : DisplayVerdict::same;
}

int hotplug_should_restart() {
    if (!g_hotplug_on || drm_fd < 0 || nout <= 0) return 0;
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        drmModeConnector *c = drmModeGetConnectorCurrent(drm_fd, o.connector_id);
        if (!c) continue;
        const bool connected = c->connection == DRM_MODE_CONNECTED;
        const drmModeModeInfo *first = c->count_modes > 0 && c->modes ? &c->modes[0] : nullptr;
        const DisplayVerdict v = display_verdict(o, connected, first);
        unsigned w = first ? first->hdisplay : 0, h = first ? first->vdisplay : 0,
                 hz = first ? first->vrefresh : 0;
        drmModeFreeConnector(c);
        if (v == DisplayVerdict::away) o.lost = 1;
        if (v != DisplayVerdict::changed && v != DisplayVerdict::replugged) continue;
        // A replugged display has its mode of before: both sides show it.
        vlog("output %d display changed (%ux%u@%u → %ux%u@%u%s) — exiting so the supervisor "
             "respawns us against the new panel",
             i, (unsigned)o.edid_w, (unsigned)o.edid_h, (unsigned)o.edid_hz, w, h, hz,
             v == DisplayVerdict::replugged ? ", replugged" : "");
        return 1;
    }
    return 0;
}
