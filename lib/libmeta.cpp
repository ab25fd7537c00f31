#include "libmeta.h"

#include <cstdio>

const char g_LIB_CKSUM[] = "4f746f8f";

namespace {

char g_libtag[64];

}  // namespace

const char *lblmx_info() noexcept
{
    if (g_libtag[0]) return g_libtag;
    int n = snprintf(g_libtag, sizeof(g_libtag), "liblmx/%s-%d.%d (%s) @%u", LIB_VERSION,
                     LIB_VERSION_MAJOR, LIB_VERSION_MINOR, g_LIB_CKSUM, LIB_BUILD_TIME);
    if (n <= 0 || size_t(n) >= sizeof(g_libtag)) snprintf(g_libtag, sizeof(g_libtag), "#error#");
    return g_libtag;
}

long liblmx_ucatm() noexcept { return LIB_UCATM; }

bool using_fast_clocks() noexcept { return false; }

void dump_build_info(FILE *fp) noexcept
{
    fprintf(fp, "----\n%s %s[%s]\n----\n\n", lblmx_info(),
            using_fast_clocks() ? "[fast-clocks] " : "", "-ggdb");
}
