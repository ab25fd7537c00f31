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

// 0 when the number token t (sign included) is a float or an integer whose
// value libconfig keeps; else the bits it had to fit in: 32 for an
// unsuffixed integer, 64 for one with the L suffix.  Hex literals are read
// as unsigned: anything past 0x7fffffff (0x7fffffffffffffff with L) comes
// out changed.
int wide_bits(const std::string &t)
{
    std::string body = t;
    if (!body.empty() && (body[0] == '-' || body[0] == '+')) body.erase(0, 1);
    int bits = 32;
    while (!body.empty() && (body.back() == 'L' || body.back() == 'l')) {
        body.pop_back();
        bits = 64;
    }
    const unsigned long long hi = bits == 64 ? LLONG_MAX : INT_MAX;
    const bool hex = body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X');
    if (hex) {
        if (body.find_first_not_of("0123456789abcdefABCDEF", 2) != std::string::npos) return 0;
        errno = 0;
        const unsigned long long v = strtoull(body.c_str() + 2, nullptr, 16);
        return errno == ERANGE || v > hi ? bits : 0;
    }
    if (body.empty() || body.find_first_not_of("0123456789") != std::string::npos)
        return 0;  // a float
    const std::string digits = (t[0] == '-' ? "-" : "") + body;
    errno = 0;
    const long long v = strtoll(digits.c_str(), nullptr, 10);
    if (errno == ERANGE) return bits;
    return bits == 32 && (v < INT_MIN || v > INT_MAX) ? bits : 0;
}

// The length of an include directive starting at the beginning of a line
// at text[i] up to its opening quote ("  @include  \""), or 0 when there is
// none: libconfig takes [ \t]*@include[ \t]+" there and nowhere else.
size_t directive_at(std::string_view text, size_t i)
{
    size_t j = i;
    while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
    constexpr std::string_view word = "@include";
    if (text.substr(j, word.size()) != word) return 0;
    j += word.size();
    const size_t blanks = j;
    while (j < text.size() && (text[j] == ' ' || text[j] == '\t')) ++j;
    if (j == blanks || j >= text.size() || text[j] != '"') return 0;
    return j + 1 - i;
}

// The level whose last assignment a value belongs to: the innermost group
// (or the top level); the lists and arrays above it give the element.
void note_wide(cfg_scan *sc, int line, const std::string &file, std::string token, int bits)
{
    size_t g = sc->levels.size() - 1;
    while (g > 0 && sc->levels[g].open != '{') --g;
    const cfg_scan_level &owner = sc->levels[g];
    wide_literal w{line, file, owner.name ? *owner.name : std::string(), owner.setting,
                   {}, std::move(token), bits};
    for (size_t k = g + 1; k < sc->levels.size(); ++k) w.elems.push_back(sc->levels[k].index);
    // Inside levels too deep to follow, the element is not known.
    if (sc->untracked) w.setting = -1;
    sc->found.push_back(std::move(w));
}

}  // namespace

int scan_cfg_text(cfg_scan *sc, std::string_view text, const std::string &file)
{
    int line = 1;
    size_t i = 0;
    const size_t n = text.size();
    sc->end = CFG_END_CLOSED;
    sc->end_line = 0;
    while (i < n) {
        const char c = text[i];
        const size_t directive = (i == 0 || text[i - 1] == '\n') ? directive_at(text, i) : 0;
        if (directive) {
            const size_t at = i + directive;
            size_t end = at;
            while (end < n && text[end] != '"') ++end;
            const int dline = line;
            if (end >= n) {
                // At the end of the main text libconfig reads no more;
                // at the end of an included one it would read on after
                // the directive.
                sc->end = CFG_END_IN_INCLUDE;
                sc->end_line = dline;
                return 0;
            }
            for (size_t k = at; k < end; ++k) line += text[k] == '\n';
            if (sc->on_include)
                if (int rc = sc->on_include(sc->arg, sc, text.substr(at, end - at), at, dline))
                    return rc;
            sc->end = CFG_END_CLOSED;
            sc->end_line = 0;
            i = end + 1;
        } else if (c == '\n') {
            ++line;
            ++i;
        } else if (c == '#' || (c == '/' && i + 1 < n && text[i + 1] == '/')) {
            while (i < n && text[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            const int from = line;
            for (i += 2; i < n && !(text[i] == '*' && i + 1 < n && text[i + 1] == '/'); ++i)
                if (text[i] == '\n') ++line;
            if (i >= n) {
                sc->end = CFG_END_IN_COMMENT;
                sc->end_line = from;
                return 0;
            }
            i += 2;
        } else if (c == '"') {
            const int from = line;
            for (++i; i < n && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < n) ++i;
                if (text[i] == '\n') ++line;
            }
            if (i >= n) {
                sc->end = CFG_END_IN_STRING;
                sc->end_line = from;
                return 0;
            }
            ++i;
        } else if (is_name_start(c)) {
            const size_t start = i;
            while (i < n && is_name_char(text[i])) ++i;
            sc->pending = std::make_shared<const std::string>(text.substr(start, i - start));
        } else if (c == '=' || c == ':') {
            if (!sc->untracked) {
                sc->levels.back().setting = sc->assigned;
                sc->levels.back().name = sc->pending;
            }
            ++sc->assigned;
            ++i;
        } else if (c == '{' || c == '(' || c == '[') {
            if (sc->untracked || sc->levels.size() > CFG_SCAN_MAX_LEVELS)
                ++sc->untracked;
            else
                sc->levels.emplace_back().open = c;
            ++i;
        } else if (c == '}' || c == ')' || c == ']') {
            if (sc->untracked)
                --sc->untracked;
            else if (sc->levels.size() > 1)
                sc->levels.pop_back();
            ++i;
        } else if (c == ',') {
            cfg_scan_level &top = sc->levels.back();
            if (!sc->untracked && (top.open == '(' || top.open == '[')) ++top.index;
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
            if (const int bits = wide_bits(token)) note_wide(sc, line, file, std::move(token), bits);
        } else {
            ++i;
        }
    }
    return 0;
}

std::vector<wide_literal> find_wide_literals(std::string_view text)
{
    cfg_scan sc;
    scan_cfg_text(&sc, text, "");
    return std::move(sc.found);
}
