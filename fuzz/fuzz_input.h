#pragma once
// Helpers shared by the fuzz targets: the input as a control file's text, as
// a string, and a small canvas to draw on.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/control_file.h"

// The input as a control file's contents are handed to the parsers: at most
// control_file_max bytes, then a NUL.
inline std::string fuzz_control_text(const uint8_t *data, size_t size) {
    return std::string(reinterpret_cast<const char *>(data), std::min(size, control_file_max));
}

// The input as a NUL-terminated string (cut at its first NUL).
inline std::string fuzz_text(const uint8_t *data, size_t size) {
    return std::string(reinterpret_cast<const char *>(data), strnlen((const char *)data, size));
}

// An ARGB canvas; small sizes keep the drawing harnesses fast.
struct FuzzCanvas {
    int32_t w, h;
    std::vector<uint32_t> px;
    uint8_t *bytes() { return reinterpret_cast<uint8_t *>(px.data()); }
    uint32_t pitch() const { return (uint32_t)w * 4; }
};

// One of four canvas shapes (landscape, a small panel, portrait, and one
// narrower than the 360-pixel sidebar), cleared; kept between runs, so that
// no run pays for fresh pages.
inline FuzzCanvas &fuzz_canvas(unsigned which) {
    static FuzzCanvas c[4] = {{320, 180, {}}, {400, 240, {}}, {180, 320, {}}, {240, 400, {}}};
    FuzzCanvas &k = c[which & 3];
    k.px.assign((size_t)k.w * k.h, 0xff102030u);
    return k;
}
