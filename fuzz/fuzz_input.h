#pragma once
// Helpers shared by the fuzz targets: the input as a file, as text, and a
// small canvas to draw on.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The input as a read-only stream, as the control-file parsers read it
// (null when it cannot be opened; an empty input reads as an empty file).
inline FILE *fuzz_file(const uint8_t *data, size_t size, std::string *keep) {
    keep->assign(reinterpret_cast<const char *>(data), size);
    keep->push_back('\0'); // fmemopen refuses a zero size
    return fmemopen(&(*keep)[0], size == 0 ? 1 : size, "r");
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
