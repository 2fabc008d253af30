#pragma once
// The simulated board's declaration of the RGA library's image formats: only
// the codes this system passes. Used by the simulated build alone; the board
// build compiles against the vendor's own headers.

enum RgaSURF_FORMAT {
    RK_FORMAT_BGRA_8888 = 0x3 << 8,    // bytes B, G, R, A (DRM XRGB8888/ARGB8888)
    RK_FORMAT_YCbCr_420_SP = 0xa << 8, // NV12: luma, then interleaved Cb/Cr
};
