#include "core/env.h"

#include <cstdlib>

bool env_nonempty(const char *value) {
    return value && value[0] != '\0';
}

long parse_int_lenient(const char *value) {
    if (!value) return 0;
    return strtol(value, nullptr, 10);
}

float parse_float_lenient(const char *value) {
    if (!value) return 0.0f;
    return strtof(value, nullptr);
}

const char *env_get(const char *name) {
    return getenv(name);
}

long env_int_or(const char *name, long dflt) {
    const char *v = env_get(name);
    return env_nonempty(v) ? parse_int_lenient(v) : dflt;
}

float env_float_or(const char *name, float dflt) {
    const char *v = env_get(name);
    return v ? parse_float_lenient(v) : dflt;
}

int env_flag_first_char(const char *name, char on_char, int dflt) {
    const char *v = env_get(name);
    if (!env_nonempty(v)) return dflt;
    return v[0] == on_char ? 1 : 0;
}
