#pragma once
// The 3-D colour LUT of the GPU pass, read from a .cube file into an RGB
// atlas texture of N slices of N x N texels side by side (blue selects the
// slice, red the column within it, green the row), reloaded when the file's
// modification time changes. Loads run on the presentation thread (GL).
#include <cstddef>
#include <cstdint>
#include <ctime>

// N of the table in the LUT texture; 0 until the first successful load.
// (The LUT switch g_lut_on and the time of the last load g_lut_mtime are in
// gpu/gpu_pass.h, for live tuning.)
extern int g_lut_n;

// A .cube table being read line by line. The table holds N^3 RGB entries in
// file order (red changing fastest).
struct CubeParse {
    int n = 0;
    float *table = nullptr; // malloc'd, n^3 * 3 floats
    size_t stored = 0;      // entries stored so far
    CubeParse() = default;
    CubeParse(const CubeParse &) = delete;
    CubeParse &operator=(const CubeParse &) = delete;
    ~CubeParse();
};
// Feeds one line (or one piece of a long line; NUL-terminated): comments,
// keywords and blank lines are skipped, LUT_3D_SIZE starts a table, data
// lines fill it. -1 when the load must fail (size outside 2..64, no memory).
int cube_line(CubeParse *p, const char *line);
// True when a whole table was read: N > 1 and exactly N^3 entries.
bool cube_complete(const CubeParse &p);
// Converts the table to the atlas: n*n x n RGB texels, 8 bits per channel
// (below 0 or not a number: 0, above 1: 255).
void cube_to_atlas(const CubeParse &p, uint8_t *atlas);

// Loads g_lut_path into the LUT texture: 0, or -1 (logged) leaving the
// previous table in use.
int lut_load();
// Per frame: reloads the file when the LUT is on and its modification time
// changed since the last load.
void lut_check_fresh();
