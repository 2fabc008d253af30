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
    FuzzCanvas(int32_t cw, int32_t ch) : w(cw), h(ch), px((size_t)cw * ch, 0xff102030u) {}
    uint8_t *bytes() { return reinterpret_cast<uint8_t *>(px.data()); }
    uint32_t pitch() const { return (uint32_t)w * 4; }
};

// A few canvas shapes: landscape, a small panel, portrait, and one narrower
// than the 360-pixel sidebar.
struct FuzzSize {
    int32_t w, h;
};
constexpr FuzzSize fuzz_sizes[4] = {{320, 180}, {480, 272}, {180, 320}, {240, 400}};
