#include "chunked.h"

#include <strings.h>

#include <cstring>
#include <string_view>

namespace {

// Where the decoder stands; every framing byte moves it one step.
enum dec_state : uint8_t {
    S_SIZE0 = 0,   // the first byte of a size line: a digit
    S_SIZE = 1,    // more digits, or what may follow them
    S_SIZE_WS = 2, // blanks after the digits
    S_EXT = 3,     // extensions, up to CR
    S_SIZE_LF = 4, // the LF that ends the size line
    S_DATA = 5,    // payload
    S_DATA_CR = 6, // the CR LF after the payload
    S_DATA_LF = 7,
    S_TRAILER0 = 8,   // a trailer line's first byte, or the CR of the empty line
    S_TRAILER = 9,    // the rest of a trailer line, up to CR
    S_TRAILER_LF = 10,
    S_END_LF = 11,  // the LF of the empty line that ends the body
    S_FINAL = 12,   // ended or failed: the result says which
};

int hex_value(uint8_t c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Control bytes have no place in framing text; a tab does (blanks).
bool is_ctl(uint8_t c) noexcept { return (c < 0x20 && c != '\t') || c == 0x7f; }

int size_line_byte(chunk_dec *d) noexcept
{
    return ++d->line_len > CHUNK_LINE_MAX ? CHUNK_ELINE : CHUNK_MORE;
}

// A byte after the first digit that is not a digit: blanks may lead to
// extensions, which start with ';'; CR ends the line.
int after_digits(chunk_dec *d, uint8_t c) noexcept
{
    if (c == ' ' || c == '\t') {
        d->state = S_SIZE_WS;
        return size_line_byte(d);
    }
    if (c == ';') {
        d->state = S_EXT;
        return size_line_byte(d);
    }
    if (c == '\r') {
        d->state = S_SIZE_LF;
        return CHUNK_MORE;
    }
    return c == '\n' ? CHUNK_ECRLF : CHUNK_EHEX;
}

// Text up to CR: the rest of an extension or a trailer line.
int text_byte(chunk_dec *d, uint8_t c, uint8_t at_cr) noexcept
{
    if (c == '\r') {
        d->state = at_cr;
        return CHUNK_MORE;
    }
    if (c == '\n') return CHUNK_ECRLF;
    if (is_ctl(c)) return CHUNK_ECTL;
    return d->state == S_EXT ? size_line_byte(d) : CHUNK_MORE;
}

int expect(chunk_dec *d, uint8_t c, uint8_t want, uint8_t next) noexcept
{
    if (c != want) return CHUNK_ECRLF;
    d->state = next;
    return CHUNK_MORE;
}

// One framing byte: CHUNK_MORE when it was taken, CHUNK_END when it ended
// the body, or the failure it causes (the byte is not taken).
int step(chunk_dec *d, uint8_t c) noexcept
{
    if (d->state >= S_TRAILER0 && ++d->trailer_len > CHUNK_TRAILER_MAX) return CHUNK_ELINE;
    switch (d->state) {
    case S_SIZE0: {
        const int v = hex_value(c);
        if (v < 0) return CHUNK_EHEX;
        d->left = uint64_t(v);
        d->state = S_SIZE;
        return size_line_byte(d);
    }
    case S_SIZE: {
        const int v = hex_value(c);
        if (v < 0) return after_digits(d, c);
        if (d->left >> 60) return CHUNK_ESIZE;
        d->left = d->left << 4 | uint64_t(v);
        return size_line_byte(d);
    }
    case S_SIZE_WS:
        return after_digits(d, c);
    case S_EXT:
        return text_byte(d, c, S_SIZE_LF);
    case S_SIZE_LF:
        if (c != '\n') return CHUNK_ECRLF;
        d->line_len = 0;
        d->state = d->left ? S_DATA : S_TRAILER0;
        return CHUNK_MORE;
    case S_DATA_CR:
        return expect(d, c, '\r', S_DATA_LF);
    case S_DATA_LF:
        return expect(d, c, '\n', S_SIZE0);
    case S_TRAILER0:
        if (c == '\r') {
            d->state = S_END_LF;
            return CHUNK_MORE;
        }
        d->state = S_TRAILER;
        return text_byte(d, c, S_TRAILER_LF);
    case S_TRAILER:
        return text_byte(d, c, S_TRAILER_LF);
    case S_TRAILER_LF:
        return expect(d, c, '\n', S_TRAILER0);
    case S_END_LF:
        return c == '\n' ? CHUNK_END : CHUNK_ECRLF;
    default:
        return d->result;
    }
}

bool same_text(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view trim_blanks(std::string_view s) noexcept
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The last non-empty element of a comma-separated list (empty for none).
std::string_view last_element(std::string_view list) noexcept
{
    std::string_view last;
    for (;;) {
        const size_t comma = list.find(',');
        const std::string_view e = trim_blanks(list.substr(0, comma));
        if (!e.empty()) last = e;
        if (comma == std::string_view::npos) return last;
        list.remove_prefix(comma + 1);
    }
}

}  // namespace

void chunk_init(chunk_dec *d) noexcept { *d = chunk_dec{}; }

int chunk_decode(chunk_dec *d, uint8_t *buf, size_t len, size_t *pld) noexcept
{
    size_t in = 0, out = 0;
    int rc = d->result;
    while (in < len && rc == CHUNK_MORE) {
        if (d->state == S_DATA) {
            // The payload stays where it is until framing has come before
            // it in this buffer; then it moves down over that framing.
            const size_t n = d->left < len - in ? size_t(d->left) : len - in;
            if (out != in) memmove(buf + out, buf + in, n);
            in += n, out += n;
            d->left -= n;
            if (d->left == 0) d->state = S_DATA_CR;
            continue;
        }
        rc = step(d, buf[in]);
        if (rc >= CHUNK_MORE) ++in;
    }
    d->at += in;
    if (rc != CHUNK_MORE) d->state = S_FINAL, d->result = int8_t(rc);
    *pld = out;
    return rc;
}

const char *chunk_strerror(int result) noexcept
{
    switch (result) {
    case CHUNK_EHEX: return "bad chunk size";
    case CHUNK_ESIZE: return "chunk size overflow";
    case CHUNK_ELINE: return "framing line too long";
    case CHUNK_ECRLF: return "missing CR LF";
    case CHUNK_ECTL: return "control byte in framing";
    default: return "?";
    }
}

bool chunk_in_head(const char *head, size_t len) noexcept
{
    const std::string_view text(head, strnlen(head, len));
    bool chunked = false;
    // Header lines follow the status line.
    size_t pos = text.find('\n');
    while (pos != std::string_view::npos && ++pos < text.size()) {
        const size_t eol = text.find('\n', pos);
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos ||
            !same_text(line.substr(0, colon), "Transfer-Encoding"))
            continue;
        const std::string_view last = last_element(line.substr(colon + 1));
        if (!last.empty()) chunked = same_text(last, "chunked");
    }
    return chunked;
}
