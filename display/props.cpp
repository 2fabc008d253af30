#include "display/props.h"

#include <cstring>
#include <drm_fourcc.h>
#include <xf86drmMode.h>

#include "display/output.h"

uint32_t prop_id_value(uint32_t obj, uint32_t type, const char *name, uint64_t *value) {
    drmModeObjectProperties *props = drmModeObjectGetProperties(drm_fd, obj, type);
    if (!props) return 0;
    uint32_t id = 0;
    for (uint32_t i = 0; i < props->count_props && !id; i++) {
        drmModePropertyRes *p = drmModeGetProperty(drm_fd, props->props[i]);
        if (!p) continue;
        if (strcmp(p->name, name) == 0) {
            id = p->prop_id;
            if (value) *value = props->prop_values[i];
        }
        drmModeFreeProperty(p);
    }
    drmModeFreeObjectProperties(props);
    return id;
}

uint32_t prop_id(uint32_t obj, uint32_t type, const char *name) {
    return prop_id_value(obj, type, name, nullptr);
}

RangeProp range_prop(uint32_t obj, uint32_t type, const char *name) {
    RangeProp r;
    uint32_t id = prop_id_value(obj, type, name, &r.value);
    drmModePropertyRes *p = id ? drmModeGetProperty(drm_fd, id) : nullptr;
    if (!p) return RangeProp{};
    r.id = id;
    if ((p->flags & (DRM_MODE_PROP_RANGE | DRM_MODE_PROP_SIGNED_RANGE)) && p->count_values >= 2) {
        r.min = p->values[0];
        r.max = p->values[1];
    } else {
        r.min = r.max = r.value;
    }
    r.settable = !(p->flags & DRM_MODE_PROP_IMMUTABLE);
    drmModeFreeProperty(p);
    return r;
}

int in_formats_pairs(const void *blob, size_t len, uint32_t format, uint64_t modifier) {
    const auto *base = static_cast<const uint8_t *>(blob);
    drm_format_modifier_blob h;
    if (!blob || len < sizeof h) return -1;
    memcpy(&h, base, sizeof h);
    if (h.formats_offset > len || (len - h.formats_offset) / 4 < h.count_formats ||
        h.modifiers_offset > len ||
        (len - h.modifiers_offset) / sizeof(drm_format_modifier) < h.count_modifiers)
        return -1;
    for (uint32_t f = 0; f < h.count_formats; f++) {
        uint32_t fourcc;
        memcpy(&fourcc, base + h.formats_offset + 4 * (size_t)f, 4);
        if (fourcc != format) continue;
        for (uint32_t m = 0; m < h.count_modifiers; m++) {
            drm_format_modifier mod;
            memcpy(&mod, base + h.modifiers_offset + sizeof mod * (size_t)m, sizeof mod);
            if (mod.modifier == modifier && f >= mod.offset && f - mod.offset < 64 &&
                (mod.formats >> (f - mod.offset) & 1))
                return 1;
        }
    }
    return 0;
}

bool plane_takes(uint32_t plane_id, uint32_t format, uint64_t modifier) {
    uint64_t blob_id = 0;
    if (prop_id_value(plane_id, obj_plane, "IN_FORMATS", &blob_id) && blob_id) {
        drmModePropertyBlobRes *b = drmModeGetPropertyBlob(drm_fd, (uint32_t)blob_id);
        int r = b ? in_formats_pairs(b->data, b->length, format, modifier) : -1;
        drmModeFreePropertyBlob(b);
        if (r >= 0) return r == 1;
    }
    if (modifier != DRM_FORMAT_MOD_LINEAR) return false;
    drmModePlane *p = drmModeGetPlane(drm_fd, plane_id);
    bool listed = false;
    for (uint32_t i = 0; p && i < p->count_formats && !listed; i++)
        listed = p->formats[i] == format;
    drmModeFreePlane(p);
    return listed;
}
