// Detection results as a detector publishes them (any floats: negative,
// huge, NaN, infinite), drawn as boxes with score labels on a small canvas
// chosen by the first byte.
#include "fuzz/fuzz_input.h"
#include "overlay/detect.h"
#include "overlay/text.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    font_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    std::vector<Detection> in((size - 1) / sizeof(Detection));
    if (!in.empty()) memcpy(in.data(), data + 1, in.size() * sizeof(Detection));
    detect_publish(in.data(), (int32_t)in.size());
    Detection out[det_max];
    const int32_t n = detect_copy(out);
    FuzzCanvas &c = fuzz_canvas(data[0]);
    draw_detection_table(c.bytes(), c.pitch(), c.w, c.h, out, n);
    return 0;
}
