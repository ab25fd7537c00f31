#include "json_check.h"

#include <cctype>
#include <cstring>

namespace {

struct parser {
    const std::string &s;
    size_t p = 0;
    int depth = 0;

    void ws()
    {
        while (p < s.size() && (s[p] == ' ' || s[p] == '\t' || s[p] == '\n' || s[p] == '\r')) ++p;
    }
    bool lit(const char *w)
    {
        const size_t n = strlen(w);
        if (s.compare(p, n, w) != 0) return false;
        p += n;
        return true;
    }
    bool str()
    {
        if (p >= s.size() || s[p] != '"') return false;
        for (++p; p < s.size(); ++p) {
            const auto c = static_cast<unsigned char>(s[p]);
            if (c == '"') {
                ++p;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (++p >= s.size()) return false;
            if (strchr("\"\\/bfnrt", s[p])) continue;
            if (s[p] != 'u' || p + 4 >= s.size()) return false;
            for (int i = 1; i <= 4; ++i)
                if (!isxdigit(static_cast<unsigned char>(s[p + i]))) return false;
            p += 4;
        }
        return false;
    }
    bool num()
    {
        const size_t start = p;
        if (p < s.size() && s[p] == '-') ++p;
        const size_t d = p;
        while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) ++p;
        if (p == d || (s[d] == '0' && p - d > 1)) return false;
        if (p < s.size() && s[p] == '.') {
            const size_t f = ++p;
            while (p < s.size() && isdigit(static_cast<unsigned char>(s[p]))) ++p;
            if (p == f) return false;
        }
        return p > start;
    }
    template <class F>
    bool seq(char close, F item)
    {
        ++p;
        ws();
        if (p < s.size() && s[p] == close) {
            ++p;
            return true;
        }
        for (;;) {
            if (!item()) return false;
            ws();
            if (p >= s.size()) return false;
            if (s[p] == close) {
                ++p;
                return true;
            }
            if (s[p++] != ',') return false;
            ws();
        }
    }
    bool value()
    {
        if (++depth > 64) return false;
        ws();
        bool ok = false;
        if (p >= s.size()) {
        } else if (s[p] == '{') {
            ok = seq('}', [&] {
                if (!str()) return false;
                ws();
                if (p >= s.size() || s[p++] != ':') return false;
                return value();
            });
        } else if (s[p] == '[') {
            ok = seq(']', [&] { return value(); });
        } else if (s[p] == '"') {
            ok = str();
        } else if (lit("true") || lit("false") || lit("null")) {
            ok = true;
        } else {
            ok = num();
        }
        --depth;
        return ok;
    }
};

}  // namespace

bool is_valid_json(const std::string &text)
{
    parser ps{text};
    if (!ps.value()) return false;
    ps.ws();
    return ps.p == text.size();
}
