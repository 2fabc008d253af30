#pragma once
// Description of a simulated board's display hardware, read from a board file
// (docs/simulator.md, "Display card", describes the format). The parser is pure:
// text in, description out, so board files can be checked without a card.
#include <cstdint>
#include <string>
#include <vector>
#include <xf86drmMode.h>

struct KmsCrtcDesc {
    std::string name;
    uint32_t max_w = 4096, max_h = 4096;
    uint32_t max_clock = 0; // kHz; 0 = no limit
};

struct KmsPlaneDesc {
    std::string name;
    uint32_t type = DRM_PLANE_TYPE_OVERLAY;
    uint32_t crtc_mask = 0;
    std::vector<uint32_t> formats;
    std::vector<uint64_t> modifiers; // linear only when the file names none
    // Per format (parallel to `formats`): the modifiers it takes; the plane's
    // `modifiers` unless the file gives the format its own ("NV12:afbc16x16").
    std::vector<std::vector<uint64_t>> format_modifiers;
    // Whether the plane scans out `format` with `modifier`.
    bool takes(uint32_t format, uint64_t modifier) const;
    bool has_zpos = false, zpos_immutable = false;
    uint64_t zpos_min = 0, zpos_max = 0, zpos_default = 0;
    uint32_t max_down = 0;                 // largest src/dst ratio; 0 = unlimited
    uint32_t max_up = 0;                   // largest dst/src ratio; 0 = unlimited
    uint32_t max_src_w = 0, max_src_h = 0; // 0 = no limit
    bool refuse_linear_argb = false;
    bool fullscreen_only = false; // no scaling, destination the whole CRTC (else EINVAL)
};

struct KmsConnectorDesc {
    std::string name; // e.g. "HDMI-A-1"
    uint32_t type = 0, type_id = 0;
    uint32_t crtc_mask = 0;
    uint32_t mm_w = 0, mm_h = 0;
    bool connected = true;
    int edid_ms = 0;    // connected without modes until this time
    int plug_ms = -1;   // a disconnected connector becomes connected at this time
    int unplug_ms = -1; // disconnected from this time ...
    int replug_ms = -1; // ... until this time, then showing `modes_after` (if any)
    std::vector<drmModeModeInfo> modes, modes_after;
};

struct KmsCardDesc {
    std::vector<std::string> paths;
    std::string driver = "rockchip", desc = "simulated display controller", date = "20240101";
    int version[3] = {1, 0, 0};
    int appear_ms = 0;
    bool refuse_forced_modes = false;
    bool refuse_atomic_cap = false;
    int atomic_commit_errno = 0; // 0 = atomic commits allowed
    bool yuv_odd_x_refuse = false;
    bool no_fb_modifiers = false; // no modifier support: no IN_FORMATS, linear buffers only
    uint32_t pitch_align = 64;
    std::vector<KmsCrtcDesc> crtcs;
    std::vector<KmsPlaneDesc> planes;
    std::vector<KmsConnectorDesc> connectors;
};

struct KmsBoard {
    std::string name;
    std::vector<KmsCardDesc> cards;
};

// Parses board-file text. On error returns -1 with "line N: what" in *err.
int kms_board_parse(const char *text, KmsBoard *out, std::string *err);

// The board used when VEX_SIM_BOARD is unset: a Rockchip-like card with one
// 1920x1080@60 HDMI desktop monitor.
const char *kms_default_board_text();

// Resolves VEX_SIM_BOARD (a path, or a preset name looked up in
// $VEX_SIM_BOARD_DIR and then the source tree's sim/boards) and reads it.
// Returns 0 with the text in *text (the default board when unset), or -1 with
// a message in *err.
int kms_board_load_text(std::string *text, std::string *err);

// Connector type from a name such as "HDMI-A" (as drmModeGetConnectorTypeName
// spells it); -1 when unknown.
int kms_connector_type_from_name(const char *name);
