#pragma once
// Frame stamps: the test streams carry each picture's frame number in the
// picture itself, so that the simulated card can tell which frame a plane
// scans out (the update log's "stamp=N").
//
// Layout, in the picture's own coordinates (w x h, w >= 24 * 16):
//   - a band across the top, w / 24 high, split into 24 square cells of w / 24
//     (cell k spans x from w * k / 24 to w * (k + 1) / 24);
//   - every cell is black (luma 16) or white (luma 235);
//   - cell 0 white, cell 1 black, cells 2..21 the 20 bits of the frame number,
//     most significant first (white = 1), cell 22 the parity of those bits
//     (white when an odd number of them is set), cell 23 black.
// A picture is stamped when every cell reads clearly black or white at its
// centre and at four points half way to its corners, the fixed cells hold
// their values and the parity matches. tools/gen_streams.sh draws the
// stamps with FFmpeg's drawbox filter; kms_stamp_paint writes the same.
#include <cstdint>

struct KmsFb;

constexpr int kms_stamp_cells = 24;
constexpr int kms_stamp_bits = 20;
constexpr long kms_stamp_max = (1L << kms_stamp_bits) - 1;

// Value (1 white, 0 black) of cell k in the stamp of frame n.
int kms_stamp_cell(long n, int k);

// Centre of cell k in a picture `w` wide, in pixels (fractional).
void kms_stamp_cell_centre(int w, int k, double *x, double *y);

// Brightness 0..255 of pixel (x, y) of some picture.
using KmsStampPixel = int (*)(const void *ctx, int x, int y);

// The frame number stamped on a w x h picture, or -1 when it carries none.
int kms_stamp_decode(int w, int h, KmsStampPixel px, const void *ctx);

// Draws the stamp of frame n into an 8-bit luma plane.
void kms_stamp_paint(uint8_t *luma, int pitch, int w, int h, long n);

// The stamp of what a framebuffer holds: linear 8-bit YUV (read from its luma
// plane) or 32-bit RGB, read through the simulator's mapping of its first
// buffer (kms_bo_bytes makes it). -1 when it has none or cannot be read.
int kms_stamp_read(const KmsFb &fb);
