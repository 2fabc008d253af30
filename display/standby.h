#pragma once
// The standby screen each output shows on its primary plane while no video arrives.
#include <cstdint>

struct Output;

// Colour of VEX_KMS_TESTFILL for output number n (XRGB8888): blue, red, green, …
uint32_t testfill_colour(int n);
// Fills W x H pixels, rows `pitch` bytes apart, with one XRGB8888 colour.
void fill_xrgb(uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h, uint32_t colour);

// First painting of a fresh standby buffer during output set-up.
void paint_standby_initial(uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h, int index);
// Repaints the output's standby buffer for its current flip and fit and
// remembers them in standby_key.
void repaint_standby(Output *o);
