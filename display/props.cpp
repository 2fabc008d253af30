#include "display/props.h"

#include <cstring>
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
