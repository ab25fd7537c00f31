#pragma once
// Text to number conversions for configuration values.
#include <cstdint>

// Reads a number with an optional suffix K/Kb, M/Mb or G/Gb (any case,
// powers of 1024; the suffix starts at the first letter).  0 and the value,
// truncated toward zero, in *pval when given; -2 out of the int64 range,
// -3 number part longer than 63 characters before a suffix, -4 strtod range
// error, -5 unknown suffix.  *pval is untouched on failure.
int a2int64(const char *str, int64_t *pval) noexcept;
