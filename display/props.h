#pragma once
// DRM object properties by name.
#include <cstdint>

constexpr uint32_t obj_connector = 0xc0c0c0c0;
constexpr uint32_t obj_crtc = 0xcccccccc;
constexpr uint32_t obj_plane = 0xeeeeeeee;

// Id of the object's property named `name`, 0 when absent or unreadable.
uint32_t prop_id(uint32_t obj, uint32_t type, const char *name);
// Id and current value of the named property; 0 (and *value untouched) when absent.
uint32_t prop_id_value(uint32_t obj, uint32_t type, const char *name, uint64_t *value);
