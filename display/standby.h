#pragma once
// The standby screen each output shows on its primary plane while no video
// arrives: a still picture (VEX_KMS_STANDBY, else "/opt/vex-fpv/standby.png";
// PNG or JPEG by its first bytes) scaled into the screen, the connect captions
// over it, the whole flipped like the video would be.
#include <cstdint>

struct Output;

// Colour of VEX_KMS_TESTFILL for output number n (XRGB8888): blue, red, green, …
uint32_t testfill_colour(int n);
// Fills W x H pixels, rows `pitch` bytes apart, with one XRGB8888 colour.
void fill_xrgb(uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h, uint32_t colour);

// Where a pic_w x pic_h picture goes in a W x H buffer: the whole buffer for
// fit "stretch", else the largest centred rectangle of the picture's ratio.
void standby_dest(int32_t W, int32_t H, int32_t pic_w, int32_t pic_h, const char *fit, int32_t *x,
                  int32_t *y, int32_t *w, int32_t *h);

// Flips a W x H buffer of 32-bit pixels in place: "h", "v" or "180"; any other
// text leaves it as it is.
void flip_buffer_argb(uint8_t *px, uint32_t pitch, int32_t w, int32_t h, const char *flip);

// Clears a W x H XRGB8888 buffer to black, then decodes the picture file and
// paints it there. A file that cannot be read or decoded is logged and leaves
// the buffer black.
void load_standby(uint8_t *map, uint32_t pitch, int32_t W, int32_t H, const char *fit);

// First painting of a fresh standby buffer during output set-up (output
// number `index`): picture, connect captions, and for output 0 the SPI copy.
void paint_standby_initial(uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h, int index);

// What the overlays draw into a standby buffer, handed in at start-up so that
// the display does not depend on them: the connection captions over the
// picture (before the flip; columns 0..left-1 are covered by the sidebar),
// after it whatever the menu keeps in the buffer of an output without an
// overlay plane, and how many columns at the left (as seen, before any flip)
// that sidebar covers now. Any may be null.
struct StandbyPainters {
    void (*captions)(uint8_t *map, uint32_t pitch, int32_t w, int32_t h, int32_t left) = nullptr;
    void (*sidebar)(Output *o) = nullptr;
    int32_t (*sidebar_covers)(const Output *o) = nullptr;
};
void standby_set_painters(const StandbyPainters &p);

// Repaints the output's standby buffer completely for its current flip and
// fit, remembers them in standby_key, and hands output 0's picture to the
// SPI tee.
void repaint_standby(Output *o);
