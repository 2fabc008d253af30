#pragma once
// Placement of the picture on an output's video plane: the letterbox box of the
// aspect setting, the fit within it ("fit", "cover", "stretch"), the source crop of
// "cover", and the per-output resolution of the aspect, fit, flip and telemetry
// settings (a DSI panel may override the global ones). All pure: no display calls.
#include <cstddef>

// A rectangle in whole pixels.
struct PlaneRect {
    int x = 0, y = 0, w = 0, h = 0;
};

// Largest rectangle of width/height `ratio` centred in a w x h area. The whole area
// when ratio <= 0 or the area is empty.
void fit_dest(int W, int H, int *x, int *y, int *w, int *h, double ratio);

// Width/height of the placement box for an aspect setting: "16:9", "4:3", "16:10";
// anything else (null, "keep") is the source's own ratio (0 when src_h <= 0).
double box_ratio(const char *aspect, int src_w, int src_h);

// The source rectangle shown by the "cover" fit in a box_w x box_h box: the centred
// part of the source with the box's shape, in multiples of 16 (at least 16 wide and
// high), kept inside the source.
PlaneRect cover_crop(int src_w, int src_h, int box_w, int box_h);

// Where and what to scan out on one output.
struct Placement {
    PlaneRect dst; // on the screen
    PlaneRect src; // of the source picture
};

// Width of the menu sidebar on a W-pixel-wide output without an overlay plane:
// 360 columns, but never more than half the width, so that the video keeps
// the other half on a narrow panel (0 for a width below 2).
int menu_sidebar_width(int W);

// Places a src_w x src_h picture on a W x H mode. `sidebar` = the menu is drawn in a
// sidebar (menu_sidebar_width) on the primary plane (no overlay plane, menu open or
// message shown); `flip`, `aspect`, `fit` are the output's settings (null = default).
Placement place_picture(int W, int H, int sidebar, const char *flip, const char *aspect,
                        const char *fit, int src_w, int src_h);

// Global settings plus the DSI overrides (null when unset).
struct GeometrySettings {
    const char *aspect = nullptr;
    const char *fit = nullptr;
    const char *flip = nullptr;
    const char *aspect_dsi = nullptr;
    const char *fit_dsi = nullptr;
    const char *flip_dsi = nullptr;
    int telem_dsi = 0;
};

// The settings in force on one output.
struct OutputGeometry {
    const char *aspect = nullptr;
    const char *fit = nullptr;
    const char *flip = nullptr;
    int telem = 0;
};

// Resolves one output's settings: the global ones, on a DSI output with every set and
// non-empty override in their place and the DSI telemetry switch. Returns the number
// of overrides that replaced a value.
int resolve_output_geometry(int is_dsi, const GeometrySettings &s, OutputGeometry *out);

// Logs the per-output override line for output `index`.
void log_output_override(int index, const OutputGeometry &g);

// Fills `buf` with "flip/fit" ("none" and "fit" for null), at most 23 characters:
// the key the standby picture was painted for. Returns buf.
char *standby_key_for(const char *flip, const char *fit, char *buf, size_t size);
