#include "display/standby.h"

#include <cstdio>

#include "display/output.h"
#include "display/placement.h"

uint32_t testfill_colour(int n) {
    static constexpr uint32_t colours[3] = {0x0000FF, 0xFF0000, 0x00FF00};
    return colours[n % 3];
}

void fill_xrgb(uint8_t *map, uint32_t pitch, uint32_t w, uint32_t h, uint32_t colour) {
    for (uint32_t y = 0; y < h; y++) {
        auto *row = (uint32_t *)(map + (size_t)y * pitch);
        for (uint32_t x = 0; x < w; x++) row[x] = colour;
    }
}

// The standby picture, the connect captions and the SPI copy of the first
// output's standby screen are drawn here once those parts of the display
// exist; until then a fresh standby buffer stays black.
void paint_standby_initial(uint8_t *, uint32_t, uint32_t, uint32_t, int) {}

void repaint_standby(Output *o) {
    standby_key_for(o->flip, o->fit, o->standby_key, sizeof o->standby_key);
}
