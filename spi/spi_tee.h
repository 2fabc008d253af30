#pragma once
// The SPI tee: an RGB565 copy of the picture in shared memory for a small panel.
#include <cstdint>

// Whether the SPI tee is on (it needs every frame through the GPU pass).
bool spi_tee_enabled();
// Publishes a CPU picture (XRGB8888, rows `pitch` bytes apart) to the tee.
void spi_tee_publish_buffer(const uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h);
