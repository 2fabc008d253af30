#pragma once
// Kernel dumb buffers: CPU-mapped scan-out buffers for the standby picture and the overlays.
#include <cstdint>

struct DumbBuffer {
    uint32_t handle;
    uint32_t pitch;
    uint64_t size;
    uint8_t *map; // null when mapping failed
    uint32_t fb;  // 0 when not registered
};

// Creates a W x H 32-bit dumb buffer, maps it read/write and clears it to 0.
// 0 on success (map may still be null), -1 when the buffer cannot be created.
int dumb_create(int fd, uint32_t w, uint32_t h, DumbBuffer *b);
// Registers the buffer as a single-plane framebuffer of `fourcc`; 0 or -1.
int dumb_add_fb(int fd, uint32_t w, uint32_t h, uint32_t fourcc, DumbBuffer *b);
// Unmaps, removes the framebuffer and destroys the buffer.
void dumb_destroy(int fd, DumbBuffer *b);
