#include "strops.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr int CONV_OVFLW = -2;
constexpr int CONV_OVERRUN = -3;
constexpr int CONV_NUMFMT = -4;
constexpr int CONV_BADMULT = -5;

constexpr size_t NUM_PART_MAX = 63;

bool ieq(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

// The multiplier of a whole suffix, 0 when it is not one we know.
double suffix_mult(std::string_view sfx)
{
    struct entry {
        const char *one, *two;
        double mult;
    };
    static constexpr entry k_mults[] = {
        {"K", "Kb", 1024.0},
        {"M", "Mb", 1024.0 * 1024},
        {"G", "Gb", 1024.0 * 1024 * 1024},
    };
    for (const entry &e : k_mults)
        if (ieq(sfx, e.one) || ieq(sfx, e.two)) return e.mult;
    return 0;
}

// The number and its suffix's multiplier.  The stopping point of strtod is
// not examined: text that is no number reads as 0.
int a2double_impl(const char *str, double *pval)
{
    lfx_assert(str);
    const char *sfx = str;
    while (*sfx && !isalpha((unsigned char)*sfx)) ++sfx;

    double mult = 1.0;
    char num[NUM_PART_MAX + 1];
    const char *numtext = str;
    if (*sfx) {
        mult = suffix_mult(sfx);
        if (mult == 0) return CONV_BADMULT;
        size_t len = size_t(sfx - str);
        if (len > NUM_PART_MAX) return CONV_OVERRUN;
        memcpy(num, str, len);
        num[len] = '\0';
        numtext = num;
    }

    errno = 0;
    double v = strtod(numtext, nullptr);
    if (errno) return CONV_NUMFMT;
    *pval = v * mult;
    return 0;
}

}  // namespace

int a2int64(const char *str, int64_t *pval) noexcept
{
    double v;
    if (int rc = a2double_impl(str, &v); rc != 0) return rc;
    // 2^63 is exact as a double; the comparisons also refuse NaN.
    constexpr double two63 = 9223372036854775808.0;
    if (!(v < two63 && v >= -two63)) return CONV_OVFLW;
    if (pval) *pval = int64_t(v);
    return 0;
}
