// Number conversions of configuration values and FIR coefficient files.
#pragma once

#include <cstdint>

namespace qvcfg {

// Signed conversion with the base taken from the text: optional leading white
// space and sign, then "0x"/"0X" and hex digits, "0" and octal digits, or
// decimal digits. Stops at the first character that does not fit; no digits
// gives 0; results outside the 32-bit range give INT32_MAX / INT32_MIN.
int32_t text_to_int(const char* text);

// The same with the unsigned conversion: a leading "-" negates modulo 2^32
// ("-1" gives 4294967295); magnitudes above 4294967295 give 4294967295.
uint32_t text_to_uint(const char* text);

}  // namespace qvcfg
