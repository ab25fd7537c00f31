#pragma once
// Configuration texts to numbers, lines and line ends, marker counts and
// tracking tags.
#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "lfxtypes.h"

// Results of the text-to-number conversions (0 is success).
enum conv_result : int {
    ERR_OVFLW = -2,    // out of the signed 64-bit range
    ERR_OVERRUN = -3,  // the number before a suffix is longer than 63 characters
    ERR_NUMFMT = -4,   // the number cannot be read (out of range)
    ERR_BADMULT = -5,  // an unrecognised suffix
};

// Reads a number with an optional size suffix beginning at the text's first
// letter: K/Kb, M/Mb, G/Gb in any case (powers of 1024).  Text that is not a
// number reads as 0.  0 and the value in *pval (when given), or a conv_result;
// *pval and errno are left untouched on failure.  str must not be null.
int a2double(const char *str, double *pval) noexcept;
// a2double, then the value truncated toward zero; ERR_OVFLW outside
// [-2^63, 2^63).  *pval untouched on failure.
int a2int64(const char *str, int64_t *pval) noexcept;
// The same for a signed size.
int a2size(const char *str, ssize_t *pval) noexcept;

// Removes up to two line-end characters (CR or LF, any order) from the end of
// s in place; returns s.
char *chomp(char *s) noexcept;

// Results of read_line other than a line's length.
enum line_result : int {
    LINE_EOF = -1,    // nothing left to read
    LINE_LONG = -2,   // the line holds more than size - 1 bytes before its end
    LINE_NUL = -3,    // the line holds a NUL byte
    LINE_ERROR = -4,  // the stream failed; errno tells why
};
// Reads one line of fp, up to and including its LF (or to the end of the
// file), into buf (size >= 1 bytes) without the LF, terminated.  The
// line's length, or a line_result.  A line judged whole: an over-long one
// or one holding a NUL is read to its end and refused as one (LINE_LONG,
// LINE_NUL, buf holding what fitted), so no rest of it is ever taken for
// a line of its own.
ssize_t read_line(FILE *fp, char *buf, size_t size) noexcept;
// Counts the non-overlapping occurrences of marker in s.  A marker ending in
// ':' adds the decimal number right behind each occurrence instead of 1 (no
// digits add 0; the sum stops at INT64_MAX).  An empty marker counts 0.
int64_t marker_count(const char *s, const char *marker) noexcept;
// The next tracking tag: *count restarts at 0 when it has reached max, then
// grows by one; *tag = pfx and the count in decimal (at most five digits
// kept), NUL-filled.  A count of seven digits or more is a broken invariant.
void mk_trk_tag(ssize_t *count, n64_tag *tag, char pfx, ssize_t max) noexcept;
