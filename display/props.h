#pragma once
// DRM object properties by name, and what a plane scans out.
#include <cstddef>
#include <cstdint>

constexpr uint32_t obj_connector = 0xc0c0c0c0;
constexpr uint32_t obj_crtc = 0xcccccccc;
constexpr uint32_t obj_plane = 0xeeeeeeee;

// Id of the object's property named `name`, 0 when absent or unreadable.
uint32_t prop_id(uint32_t obj, uint32_t type, const char *name);
// Id and current value of the named property; 0 (and *value untouched) when absent.
uint32_t prop_id_value(uint32_t obj, uint32_t type, const char *name, uint64_t *value);

// A range property's limits and current value, and whether it can be changed.
struct RangeProp {
    uint32_t id = 0; // 0 = the object has no such property
    uint64_t value = 0, min = 0, max = 0;
    bool settable = false; // not immutable
};
// Reads the named range property of the object (id 0 when absent).
RangeProp range_prop(uint32_t obj, uint32_t type, const char *name);

// Whether an IN_FORMATS blob (struct drm_format_modifier_blob and its tables,
// `len` bytes) pairs `format` with `modifier`: 1 yes, 0 no, -1 when the blob
// is malformed (too short, tables outside it).
int in_formats_pairs(const void *blob, size_t len, uint32_t format, uint64_t modifier);

// Whether the plane scans out `format` with `modifier`, by its IN_FORMATS
// blob; a plane without one lists formats for linear buffers only.
bool plane_takes(uint32_t plane_id, uint32_t format, uint64_t modifier);
