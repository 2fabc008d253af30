// A board without the RGA engine's library (vc4): every operation fails, and
// the callers show the picture unflipped, on a plain plane set, or drop the
// encoded frame.
#include "display/rga.h"

bool rga_flip(const RgaImage &, const RgaImage &, int) {
    return false;
}
bool rga_process(const RgaImage &, const RgaImage &, RgaRect, RgaRect, int) {
    return false;
}
bool rga_copy(const RgaImage &, const RgaImage &) {
    return false;
}
