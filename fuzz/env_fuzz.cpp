// Environment values: every setting goes through the lenient number parsers
// and a few fixed rules (read size, flip names, first-character switches).
#include "core/config.h"
#include "core/env.h"
#include "fuzz/fuzz_input.h"
#include "stream/reader.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz_text(data, size);
    const char *v = text.c_str();
    env_nonempty(v);
    parse_int_lenient(v);
    parse_float_lenient(v);
    reader_read_size(v);
    rot_value_for_flip(v);
    setenv("VEX_FUZZ_VALUE", v, 1);
    env_int_or("VEX_FUZZ_VALUE", 7);
    env_float_or("VEX_FUZZ_VALUE", 0.5f);
    env_flag_first_char("VEX_FUZZ_VALUE", '1', 0);
    return 0;
}
