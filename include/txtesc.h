#pragma once
// Client input in log lines.  Request heads, paths, query values and agent
// messages come from the network: written raw, a line end or a control
// character in them would let a client forge log lines or upset a terminal.
// Every logged bit of such input passes through esc_text first.
#include <cstddef>

// Room for the excerpt of a request head, logged once per request: a
// bounded line whatever the head holds (up to 1023 bytes, each of which
// may take four to escape).
constexpr size_t ESC_EXCERPT_ROOM = 512;
// Room for a logged short text (a path, a key, a message).
constexpr size_t ESC_TEXT_ROOM = 768;

// Copies the first len bytes of text (up to a NUL) into buf (size bytes,
// at least 8) with every byte that is not printable ASCII, and the
// backslash, written as an escape: \r, \n, \t, \\ or \xHH.  A text that
// does not fit is cut at a whole escape and ends in "...".  buf, always
// terminated; an empty text for a null one.
const char *esc_text(const char *text, size_t len, char *buf, size_t size) noexcept;

// esc_text over a whole NUL-terminated text into a buffer of N bytes.
template <size_t N>
struct esc_buf {
    char s[N];
    explicit esc_buf(const char *text, size_t len = size_t(-1)) noexcept
    {
        esc_text(text, len, s, N);
    }
    const char *c_str() const noexcept { return s; }
};
using esc_str = esc_buf<ESC_TEXT_ROOM>;
