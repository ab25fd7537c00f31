#pragma once
// The chunked transfer coding of an HTTP answer body: whether an answer
// head frames its body in chunks, and a decoder that strips the framing
// from the body bytes as they arrive, in place, so that only the payload
// is left, contiguous, at the front of the bytes given.
//
// A chunk is a size line (hexadecimal size, optional extensions after ';',
// CR LF), that many payload bytes and CR LF; a chunk of size 0 is the last
// one, followed by trailer lines and an empty line.  Extensions and
// trailer fields are skipped.  The decoder keeps its place across calls,
// so a body may be cut anywhere; it reads only the bytes it is given,
// allocates nothing, and takes a bounded amount of work per byte.  Framing
// that breaks these rules fails the body for good.
#include <cstddef>
#include <cstdint>

// Bytes of a size line before its CR LF (digits and extensions).
constexpr uint32_t CHUNK_LINE_MAX = 1024;
// Bytes of the trailer section after the last chunk's size line, its
// closing empty line included.
constexpr uint32_t CHUNK_TRAILER_MAX = 8192;

// Results of chunk_decode.
enum chunk_result : int {
    CHUNK_MORE = 0,   // the body goes on
    CHUNK_END = 1,    // the last chunk and its trailer section are complete
    CHUNK_EHEX = -1,   // a size line that does not start with a hexadecimal
                       // digit, or a stray byte after the digits
    CHUNK_ESIZE = -2,  // a chunk size beyond 64 bits
    CHUNK_ELINE = -3,  // a size line or the trailer section over its limit
    CHUNK_ECRLF = -4,  // a line end other than CR LF, or chunk data not
                       // followed by CR LF
    CHUNK_ECTL = -5,   // a control byte in an extension or a trailer line
};

// Decoder state; zeroed by chunk_init.
struct chunk_dec {
    uint64_t left;      // payload bytes still to come in this chunk (its size
                        // while the size line is read)
    uint64_t at;        // body bytes taken so far, framing included
    uint32_t line_len;  // bytes of the present size line
    uint32_t trailer_len;  // bytes of the trailer section so far
    uint8_t state;      // private
    int8_t result;      // CHUNK_MORE until the end or a failure
};

// Makes d ready for the first byte of a body.
void chunk_init(chunk_dec *d) noexcept;

// Takes the next len bytes of the body at buf and moves the payload among
// them to the front of buf (*pld bytes of it); the framing is dropped.
// Only payload bytes that follow framing in buf are moved.  CHUNK_MORE
// while the body goes on; CHUNK_END once it is complete (bytes after its
// end are left alone and not taken); a negative CHUNK_E* for framing that
// is malformed: d->at then is the body offset of the offending byte, which
// lies unmoved at buf + (d->at after the call - d->at before it).  After
// the end or a failure every call returns the same result with *pld 0.
int chunk_decode(chunk_dec *d, uint8_t *buf, size_t len, size_t *pld) noexcept;

// True once the body is complete.
inline bool chunk_ended(const chunk_dec *d) noexcept { return d->result == CHUNK_END; }
// True once the framing was found malformed.
inline bool chunk_failed(const chunk_dec *d) noexcept { return d->result < CHUNK_MORE; }

// What a CHUNK_E* result means, for log lines ("bad chunk size" and the
// like); "?" for other values.
const char *chunk_strerror(int result) noexcept;

// True when an answer head (len bytes from the status line on, up to a
// NUL) frames its body in chunks: the last transfer coding that its
// Transfer-Encoding header lines name is "chunked" (in any case).
bool chunk_in_head(const char *head, size_t len) noexcept;
