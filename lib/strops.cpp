#include "strops.h"

#include <strings.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

namespace {

struct size_suffix {
    const char *name;
    double mult;
};

constexpr std::array<size_suffix, 6> SIZE_SUFFIXES = {{
    {"k", 1024.0},
    {"kb", 1024.0},
    {"m", 1024.0 * 1024},
    {"mb", 1024.0 * 1024},
    {"g", 1024.0 * 1024 * 1024},
    {"gb", 1024.0 * 1024 * 1024},
}};

// The number before a suffix is copied here to end it; longer is refused.
constexpr size_t NUMBER_MAX = 63;

constexpr double TWO_POW_63 = 9223372036854775808.0;

int64_t sat_add(int64_t a, int64_t b) noexcept
{
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? INT64_MAX : r;
}

}  // namespace

int a2double(const char *str, double *pval) noexcept
{
    lfx_assert(str);

    const char *sfx = str;
    while (*sfx && !isalpha(static_cast<unsigned char>(*sfx))) ++sfx;

    double mult = 1.0;
    const char *number = str;
    char numbuf[NUMBER_MAX + 1];
    if (*sfx) {
        mult = 0.0;
        for (const auto &s : SIZE_SUFFIXES)
            if (strcasecmp(sfx, s.name) == 0) mult = s.mult;
        if (mult == 0.0) return ERR_BADMULT;
        const size_t len = size_t(sfx - str);
        if (len > NUMBER_MAX) return ERR_OVERRUN;
        memcpy(numbuf, str, len);
        numbuf[len] = '\0';
        number = numbuf;
    }

    // Only range errors are looked at: what strtod cannot read counts as 0.
    const int saved_errno = errno;
    errno = 0;
    const double v = strtod(number, nullptr);
    const int err = errno;
    errno = saved_errno;
    if (err != 0) return ERR_NUMFMT;

    if (pval) *pval = v * mult;
    return 0;
}

int a2int64(const char *str, int64_t *pval) noexcept
{
    double v;
    const int rc = a2double(str, &v);
    if (rc != 0) return rc;
    // Written so that a NaN fails too.
    if (!(v >= -TWO_POW_63 && v < TWO_POW_63)) return ERR_OVFLW;
    if (pval) *pval = static_cast<int64_t>(v);
    return 0;
}

int a2size(const char *str, ssize_t *pval) noexcept
{
    static_assert(sizeof(ssize_t) == sizeof(int64_t));
    int64_t v;
    const int rc = a2int64(str, &v);
    if (rc != 0) return rc;
    if (pval) *pval = static_cast<ssize_t>(v);
    return 0;
}

char *chomp(char *s) noexcept
{
    if (!s) return s;
    size_t n = strlen(s);
    for (int i = 0; i < 2 && n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n'); ++i)
        s[--n] = '\0';
    return s;
}

ssize_t read_line(FILE *fp, char *buf, size_t size) noexcept
{
    lfx_assert(fp && buf && size >= 1);
    size_t n = 0;
    bool nul = false, cut = false;
    int c;
    while ((c = getc(fp)) != EOF && c != '\n') {
        nul = nul || c == '\0';
        if (n + 1 < size)
            buf[n++] = char(c);
        else
            cut = true;
    }
    buf[n] = '\0';
    if (c == EOF && ferror(fp)) return LINE_ERROR;
    if (cut) return LINE_LONG;
    if (nul) return LINE_NUL;
    if (c == EOF && n == 0) return LINE_EOF;
    return ssize_t(n);
}

int64_t marker_count(const char *s, const char *marker) noexcept
{
    lfx_assert(s && marker);
    const size_t mlen = strlen(marker);
    if (mlen == 0) return 0;
    const bool numbered = marker[mlen - 1] == ':';

    int64_t total = 0;
    for (const char *p = strstr(s, marker); p; p = strstr(p, marker)) {
        p += mlen;
        int64_t add = 1;
        if (numbered) {
            add = 0;
            for (const char *d = p; isdigit(static_cast<unsigned char>(*d)); ++d) {
                const int digit = *d - '0';
                if (add > (INT64_MAX - digit) / 10) {
                    add = INT64_MAX;
                    break;
                }
                add = add * 10 + digit;
            }
        }
        total = sat_add(total, add);
    }
    return total;
}

void mk_trk_tag(ssize_t *count, n64_tag *tag, char pfx, ssize_t max) noexcept
{
    if (*count >= max) *count = 0;
    ++*count;
    tag->num = 0;
    tag->sym8[0] = pfx;
    // Five digits and the NUL fit behind the prefix: a six-digit count keeps
    // its first five digits.
    const ssize_t n = snprintf(tag->sym8 + 1, sizeof(tag->sym8) - 2, "%zd", *count);
    lfx_assert(n > 0 && n <= (ssize_t)sizeof(tag->sym8) - 2);
}
