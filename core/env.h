#pragma once
// Environment parsing rules shared by every setting.
//
// A non-empty value is one that is set and whose first character is not NUL.
// Integers are base 10 from the leading part of the value; floats likewise as
// decimal floating point. Anything unparsable reads as 0.

bool env_nonempty(const char *value);
long parse_int_lenient(const char *value);
float parse_float_lenient(const char *value);

// getenv, named so that a reader finds every configuration lookup.
const char *env_get(const char *name);
// The integer value of a non-empty variable, else `dflt`.
long env_int_or(const char *name, long dflt);
// The float value of a set variable (even empty: 0), else `dflt`.
float env_float_or(const char *name, float dflt);
// A switch whose non-empty value is on exactly when its first character is `on_char`.
int env_flag_first_char(const char *name, char on_char, int dflt);
