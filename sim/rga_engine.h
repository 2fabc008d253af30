#pragma once
// The simulated RGA engine (sim/rga_engine.cpp): librga's im2d operations
// (declared in sim/rga_api/rga/im2d.h) done in software on the simulated
// dma-bufs and CPU buffers. See docs/simulator.md, "RGA engine".

struct SimRgaStats {
    long long ops;     // imflip_t, improcess and imcopy_t calls
    long long refused; // of them, those that did not report IM_STATUS_SUCCESS
};
void sim_rga_stats(SimRgaStats *out);
