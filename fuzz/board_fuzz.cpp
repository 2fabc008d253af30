// The simulated board's board files: parsed into a card description.
#include "fuzz/fuzz_input.h"
#include "sim/kms_board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz_text(data, size);
    KmsBoard b;
    std::string err;
    kms_board_parse(text.c_str(), &b, &err);
    return 0;
}
