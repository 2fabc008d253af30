#include "core/live_tuning.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "core/config.h"
#include "core/control_file.h"
#include "core/detect_engine.h"
#include "core/env.h"
#include "core/log.h"
#include "display/display_change.h"
#include "display/plane_set.h"
#include "gpu/gpu_pass.h"
#include "overlay/detect.h"
#include "stream/detect_queue.h"

int g_want_snap;

namespace {

ControlFile g_dewarp_file, g_detect_file;
ControlText g_control_text; // the tuning and detection files are read one after the other
// The texts the live geometry settings point to.
char g_aspect_live[16], g_fit_live[16], g_flip_live[8], g_flip_dsi_live[8];
uint32_t det_seen_generation;

constexpr size_t line_max = 159; // longer lines are skipped whole
constexpr size_t detect_line_max = 31;

// Polls a control file through the shared reader. A file that disappears is
// forgotten, so that one put back later is read even with its old time.
ControlPoll poll_file(const char *path, ControlFile *file) {
    if (!path || !*path) {
        file->mtime = timespec{};
        return ControlPoll::missing;
    }
    const ControlPoll p = poll_control_file(path, file, &g_control_text);
    if (p == ControlPoll::missing) file->mtime = timespec{};
    return p;
}

const char *tuning_path() {
    const char *v = env_get("VEX_KMS_DEWARP_FILE");
    return env_nonempty(v) ? v : "/run/vex-fpv/dewarp";
}

struct FloatKey {
    const char *key;
    float *value;
};
const FloatKey float_keys[] = {
    {"strength", &g_dw_strength},
    {"k1", &g_dw_k1},
    {"k2", &g_dw_k2},
    {"k3", &g_dw_k3},
    {"cx", &g_dw_cx},
    {"cy", &g_dw_cy},
    {"zoom", &g_dw_zoom},
    {"vscale", &g_dw_vscale},
    {"bright", &g_cg_bright},
    {"contrast", &g_cg_contrast},
    {"sat", &g_cg_sat},
    {"temp", &g_cg_temp},
    {"lutmix", &g_lut_mix},
};

// A number from the start of the value; false when there is none or it is not finite.
bool parse_number(const char *v, float *out) {
    char *end = nullptr;
    float f = strtof(v, &end);
    if (end == v || !std::isfinite(f)) return false;
    *out = f;
    return true;
}

// Copies at most size - 1 characters of v.
void keep(char *dst, size_t size, const char *v) {
    snprintf(dst, size, "%.*s", (int)(size - 1), v);
}

// Applies one "key = value" line; returns true when the picture geometry changed.
bool apply_line(const char *line) {
    char key[32], val[97];
    if (sscanf(line, " %31[a-z0-9_] = %96s", key, val) != 2) return false;
    if (strlen(val) > 95) return false; // a value cut short would name something else
    if (strcmp(key, "aspect") == 0) {
        keep(g_aspect_live, sizeof g_aspect_live, val);
        g_aspect = g_aspect_live;
        return true;
    }
    if (strcmp(key, "fit") == 0) {
        keep(g_fit_live, sizeof g_fit_live, val);
        g_fit = g_fit_live;
        return true;
    }
    if (strcmp(key, "flip") == 0) {
        keep(g_flip_live, sizeof g_flip_live, val);
        g_flip = g_flip_live;
        g_rot_val = rot_value_for_flip(g_flip);
        return true;
    }
    if (strcmp(key, "dsiflip") == 0) {
        keep(g_flip_dsi_live, sizeof g_flip_dsi_live, val);
        g_flip_dsi = strcmp(val, "-") == 0 ? nullptr : g_flip_dsi_live;
        return true;
    }
    if (strcmp(key, "lut") == 0) {
        if (strcmp(val, "-") == 0) {
            g_lut_on = 0;
        } else if (strcmp(val, g_lut_path) != 0 || !g_lut_on) {
            keep(g_lut_path, sizeof g_lut_path, val);
            g_lut_mtime = 0;
            g_lut_on = 1;
        }
        return false;
    }
    float f;
    if (strcmp(key, "smooth") == 0) {
        if (parse_number(val, &f)) g_smooth = f != 0.0f ? 1 : 0;
        return false;
    }
    for (const FloatKey &k : float_keys)
        if (strcmp(key, k.key) == 0) {
            if (parse_number(val, &f)) *k.value = f;
            break;
        }
    return false;
}

void detection_on() {
    const char *m = env_get("VEX_KMS_DETECT_MODEL");
    const char *model = env_nonempty(m) ? m : "/opt/vex-fpv/yolov8-oiv7.ncnn.param";
    if (!det_running.load() && detect_engine_start(model, env_get("VEX_KMS_DETECT_BIN")) != 0) {
        vlog("yolo_init failed (%s)", model);
        return;
    }
    // The reader feeds the queue only once an engine takes from it.
    g_detect.store(1);
    det_seen_generation = detect_generation();
    vlog("object detection ON (%s)", model);
}

void detection_off() {
    g_detect.store(0);
    if (detect_engine_stop()) vlog("object detection OFF");
}

} // namespace

void tuning_apply_text(const char *text, size_t len) {
    // A file cut at the size cap may end inside a line: that piece is dropped.
    if (len == control_file_max)
        while (len > 0 && text[len - 1] != '\n') len--;
    bool geometry = false;
    for (size_t pos = 0; pos < len;) {
        const char *nl = (const char *)memchr(text + pos, '\n', len - pos);
        size_t end = nl ? (size_t)(nl - text) : len;
        if (end - pos <= line_max) {
            char line[line_max + 1];
            memcpy(line, text + pos, end - pos);
            line[end - pos] = 0;
            if (apply_line(line)) geometry = true;
        }
        pos = end + 1;
    }
    if (geometry) apply_output_overrides();
}

void tuning_poll() {
    if (poll_file(tuning_path(), &g_dewarp_file) != ControlPoll::changed) return;
    tuning_apply_text(g_control_text.data, g_control_text.len);
    vlog("dewarp LIVE s=%.2f k1=%.3f k2=%.3f cx=%.2f cy=%.2f zoom=%.2f vscale=%.2f | cg b=%.2f "
         "c=%.2f sat=%.2f temp=%.2f | aspect=%s fit=%s flip=%s dsiflip=%s smooth=%d",
         g_dw_strength, g_dw_k1, g_dw_k2, g_dw_cx, g_dw_cy, g_dw_zoom, g_dw_vscale, g_cg_bright,
         g_cg_contrast, g_cg_sat, g_cg_temp, g_aspect, g_fit, g_flip, g_flip_dsi ? g_flip_dsi : "-",
         g_smooth);
}

int detect_poll() {
    const char *v = env_get("VEX_KMS_DETECT");
    const char *path = v ? v : "/run/vex-fpv/detect";
    const bool on = g_detect.load() != 0;
    switch (poll_file(path, &g_detect_file)) {
        case ControlPoll::missing:
            if (!on) return 0;
            detection_off();
            return 1;
        case ControlPoll::unchanged: {
            if (!on) return 0;
            // New results from the engine are drawn at the next composition.
            const uint32_t gen = detect_generation();
            if (gen == det_seen_generation) return 0;
            det_seen_generation = gen;
            return 1;
        }
        case ControlPoll::changed:
            break;
    }
    // The first line, at most 31 characters of it.
    char line[detect_line_max + 1];
    size_t len = g_control_text.len < detect_line_max ? g_control_text.len : detect_line_max;
    memcpy(line, g_control_text.data, len);
    line[len] = 0;
    if (char *nl = (char *)memchr(line, '\n', len)) *nl = 0;
    const bool want = len > 0 && (strtol(line, nullptr, 10) != 0 || strncmp(line, "on", 2) == 0);
    if (want == on) return 0;
    if (want)
        detection_on();
    else
        detection_off();
    return 1;
}

void snapshot_check() {
    g_want_snap = unlink("/run/vex-fpv/snapshot") == 0 ? 1 : 0;
}

bool display_changed() {
    return hotplug_should_restart() != 0;
}
