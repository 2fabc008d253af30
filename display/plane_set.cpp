#include "display/plane_set.h"

#include <cstring>

#include "core/config.h"
#include "display/output.h"
#include "display/placement.h"
#include "display/standby.h"

void apply_output_overrides() {
    GeometrySettings gs;
    gs.aspect = g_aspect;
    gs.fit = g_fit;
    gs.flip = g_flip;
    gs.aspect_dsi = g_aspect_dsi;
    gs.fit_dsi = g_fit_dsi;
    gs.flip_dsi = g_flip_dsi;
    gs.telem_dsi = g_telem_dsi;
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        OutputGeometry g;
        if (resolve_output_geometry(o.is_dsi, gs, &g) > 0) log_output_override(i, g);
        o.aspect = g.aspect;
        o.fit = g.fit;
        o.flip = g.flip;
        o.telem = (uint32_t)g.telem;
    }
    for (int i = 0; i < nout; i++) {
        Output &o = outs[i];
        char key[24];
        if (o.standby_map &&
            strcmp(standby_key_for(o.flip, o.fit, key, sizeof key), o.standby_key) != 0)
            repaint_standby(&o);
    }
}
