#pragma once
// The simulated board's declaration of the RGA library's "im2d" interface:
// the part of it this system calls, with the vendor's names, argument orders
// and codes. sim/rga_engine.cpp implements it in software. Used by the
// simulated build alone; the board build compiles against the vendor's own
// headers (whose rga_buffer_t has another layout: nothing may depend on it).
#include <cstdint>

#include "rga.h"

typedef enum {
    IM_HAL_TRANSFORM_ROT_90 = 1 << 0,
    IM_HAL_TRANSFORM_ROT_180 = 1 << 1,
    IM_HAL_TRANSFORM_ROT_270 = 1 << 2,
    IM_HAL_TRANSFORM_FLIP_H = 1 << 3,
    IM_HAL_TRANSFORM_FLIP_V = 1 << 4,
    IM_HAL_TRANSFORM_FLIP_H_V = 1 << 5,
    IM_HAL_TRANSFORM_MASK = 0x3f,
    IM_SYNC = 1 << 19,
    IM_ASYNC = 1 << 26,
} IM_USAGE;

typedef enum {
    IM_STATUS_NOERROR = 2,
    IM_STATUS_SUCCESS = 1,
    IM_STATUS_NOT_SUPPORTED = -1,
    IM_STATUS_OUT_OF_MEMORY = -2,
    IM_STATUS_INVALID_PARAM = -3,
    IM_STATUS_ILLEGAL_PARAM = -4,
    IM_STATUS_FAILED = 0,
} IM_STATUS;

typedef struct {
    int x, y, width, height;
} im_rect;

// An image: a dma-buf descriptor or a CPU address, its size, its strides
// (width stride in pixels, height stride in rows) and its format.
typedef struct {
    void *vir_addr;
    void *phy_addr;
    int fd;
    int width, height;
    int wstride, hstride;
    int format;
} rga_buffer_t;

rga_buffer_t wrapbuffer_virtualaddr_t(void *vir_addr, int width, int height, int wstride,
                                      int hstride, int format);
rga_buffer_t wrapbuffer_fd_t(int fd, int width, int height, int wstride, int hstride, int format);

IM_STATUS imcopy_t(const rga_buffer_t src, rga_buffer_t dst, int sync);
IM_STATUS imflip_t(const rga_buffer_t src, rga_buffer_t dst, int mode, int sync);
IM_STATUS improcess(rga_buffer_t src, rga_buffer_t dst, rga_buffer_t pat, im_rect srect,
                    im_rect drect, im_rect prect, int usage);
