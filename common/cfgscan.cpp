#include "cfgscan.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

bool is_name_start(char c) { return isalpha(static_cast<unsigned char>(c)) || c == '*'; }
bool is_name_char(char c)
{
    return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '*';
}

// True when the number token t (sign included) is an integer that
// libconfig stores as an int while its value lies outside the int range.
bool is_wide_int(const std::string &t)
{
    std::string body = t;
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) body.erase(0, 1);
    if (body.empty() || body.back() == 'L' || body.back() == 'l') return false;  // 64-bit
    const bool hex = body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X');
    if (hex) {
        // Read as unsigned 32 bits: anything past 0x7fffffff comes out changed.
        errno = 0;
        const unsigned long long v = strtoull(body.c_str() + 2, nullptr, 16);
        return errno == ERANGE || v > unsigned(INT_MAX);
    }
    if (body.find_first_not_of("0123456789") != std::string::npos) return false;  // a float
    errno = 0;
    const long long v = strtoll(t.c_str(), nullptr, 10);
    return errno == ERANGE || v < INT_MIN || v > INT_MAX;
}

}  // namespace

std::vector<wide_literal> find_wide_literals(std::string_view text)
{
    std::vector<wide_literal> out;
    std::string pending, current;  // the last name seen, the last one assigned
    int line = 1;
    size_t i = 0;
    const size_t n = text.size();
    auto skip_to_eol = [&] {
        while (i < n && text[i] != '\n') ++i;
    };
    while (i < n) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            ++i;
        } else if (c == '#' || c == '@' || (c == '/' && i + 1 < n && text[i + 1] == '/')) {
            skip_to_eol();  // comments and the include directive
        } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            for (i += 2; i < n && !(text[i] == '*' && i + 1 < n && text[i + 1] == '/'); ++i)
                if (text[i] == '\n') ++line;
            i = i < n ? i + 2 : n;
        } else if (c == '"') {
            for (++i; i < n && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < n) ++i;
                if (text[i] == '\n') ++line;
            }
            ++i;
        } else if (is_name_start(c)) {
            const size_t start = i;
            while (i < n && is_name_char(text[i])) ++i;
            pending.assign(text.substr(start, i - start));
        } else if (c == '=' || c == ':') {
            current = pending;
            ++i;
        } else if (isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.') {
            const size_t start = i++;
            const bool hex = text.substr(start, 2) == "0x" || text.substr(start, 2) == "0X";
            while (i < n) {
                const char d = text[i];
                // A sign continues a number only as the exponent's.
                const bool exp_sign =
                    (d == '-' || d == '+') && !hex && (text[i - 1] == 'e' || text[i - 1] == 'E');
                if (!isalnum(static_cast<unsigned char>(d)) && d != '.' && !exp_sign) break;
                ++i;
            }
            std::string token(text.substr(start, i - start));
            if (is_wide_int(token)) out.push_back({line, current, std::move(token)});
        } else {
            ++i;
        }
    }
    return out;
}
