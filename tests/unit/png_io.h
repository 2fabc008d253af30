#pragma once
// Reading and writing small PNG images for tests, through libavcodec's PNG
// codec, and comparing a canvas with a reference image under tests/ref/; and
// the unit tests' temporary directories and control files.
#include <cstdint>
#include <string>
#include <vector>

// An image of 0xAARRGGBB words, row-major, no padding.
struct TestImage {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    uint32_t at(int x, int y) const { return px[(size_t)y * w + x]; }
};

// Copies a w x h area at (x, y) out of an ARGB8888 canvas.
TestImage image_from_canvas(const uint8_t *px, uint32_t pitch, int x, int y, int w, int h);

// Writes an RGBA PNG; false on failure.
bool png_write(const std::string &path, const TestImage &img);
// Reads any PNG libavcodec decodes, converted to 0xAARRGGBB; false on failure.
bool png_read(const std::string &path, TestImage *img);

// Path of a reference image in the source tree's tests/ref/.
std::string ref_path(const std::string &name);
// Path for an output file: in $TEST_OUTPUT_DIR when set, else the working directory.
std::string test_output_path(const std::string &name);

// Compares img with the reference image `name` (e.g. "bitmap_text.png").
// On a mismatch writes <stem>.actual.png and <stem>.diff.png (differing pixels
// red on a dimmed copy of the reference) to the output directory, and returns
// false with a description in *why. With VEX_UPDATE_REFS=1 the reference is
// (re)written from img instead and the comparison passes.
bool match_ref(const TestImage &img, const std::string &name, std::string *why);

// A fresh directory under $TMPDIR (else /tmp) named <name>.XXXXXX; "" on failure.
std::string unit_temp_dir(const std::string &name);
// Writes `text` to `path` whole, then sets its modification time to `stamp`
// seconds unless 0; false on failure.
bool put_text(const std::string &path, const std::string &text, long stamp = 0);
