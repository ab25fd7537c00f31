#pragma once
// Identity of the shared library: its tag, build checksum and build block.
#include <cstdio>

inline constexpr char LIB_VERSION[] = "1.0";
constexpr int LIB_VERSION_MAJOR = 3;
constexpr int LIB_VERSION_MINOR = 0;
constexpr unsigned LIB_BUILD_TIME = 1602158269;  // seconds since the epoch
constexpr long LIB_UCATM = 1696202212;           // seconds since the epoch

extern const char g_LIB_CKSUM[];  // "4f746f8f"

// "liblmx/<LIB_VERSION>-3.0 (<g_LIB_CKSUM>) @<LIB_BUILD_TIME>", cached on
// first use; "#error#" when it does not fit 63 characters.
const char *lblmx_info() noexcept;
// The constant LIB_UCATM.
long liblmx_ucatm() noexcept;
// Whether the library reads the coarse (fast) clocks: false in this build.
bool using_fast_clocks() noexcept;
// Writes "----\n<library tag> [fast-clocks] [-ggdb]\n----\n\n" to fp
// ("[fast-clocks] " only with fast clocks).
void dump_build_info(FILE *fp) noexcept;
