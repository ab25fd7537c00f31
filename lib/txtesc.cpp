#include "txtesc.h"

#include <cstdio>
#include <cstring>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

const char *esc_text(const char *text, size_t len, char *buf, size_t size) noexcept
{
    lfx_assert(buf && size >= 8);
    static constexpr char MORE[] = "...";
    // Room for the text: the terminator and a closing "..." always fit.
    const size_t limit = size - sizeof(MORE);
    size_t o = 0;
    if (!text) len = 0;
    for (size_t i = 0; i < len && text[i]; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char chunk[5];
        size_t n;
        switch (c) {
        case '\r': n = 2; memcpy(chunk, "\\r", 2); break;
        case '\n': n = 2; memcpy(chunk, "\\n", 2); break;
        case '\t': n = 2; memcpy(chunk, "\\t", 2); break;
        case '\\': n = 2; memcpy(chunk, "\\\\", 2); break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                chunk[0] = char(c);
                n = 1;
            } else {
                snprintf(chunk, sizeof(chunk), "\\x%02x", c);
                n = 4;
            }
        }
        if (o + n > limit) {
            memcpy(buf + o, MORE, sizeof(MORE));
            return buf;
        }
        memcpy(buf + o, chunk, n);
        o += n;
    }
    buf[o] = '\0';
    return buf;
}
