#pragma once
// The simulated GPU: GBM buffer objects on the simulated card, and the pieces
// of EGL that a GBM platform display with dma-buf import needs, laid over
// Mesa's surfaceless EGL and its software GLES 2 (llvmpipe), which does every
// draw. sim/sim_gbm.cpp defines libgbm's functions outright; sim/sim_egl.cpp
// wraps a few EGL/GLES entry points at link time (sim/CMakeLists.txt).
#include <cstdint>

// What the simulator itself spent on making dma-bufs and GL textures agree,
// work a real GPU does not do: converting imported decoder frames (YUV) into
// RGB textures, and writing rendered pictures back into their buffers.
struct SimGpuStats {
    long long imports = 0; // dma-buf images created (all formats)
    long long frame_imports =
        0;                     // imports of YUV frames tried (VEX_SIM_EGL_IMPORT_FAIL counts these)
    long long conversions = 0; // YUV frames converted on the CPU for an import
    long long conversion_ns = 0; // time spent in them
    long long writebacks = 0;    // pictures written back into a buffer at glFinish
    long long writeback_ns = 0;  // time spent in them
};
SimGpuStats sim_gpu_stats();

// True when `p` is a device returned by the simulated gbm_create_device.
bool sim_gbm_is_device(const void *p);
