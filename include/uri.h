#pragma once
// URL texts split into scheme, authority, path and query without copying;
// the URL kinds; address and port out of a path; the control-request path
// grammar (source and destination); percent-decoding and -encoding; queries
// parsed into a text table; scheme prefixing.
//
// Nothing here aborts: every function reports by its result, and no buffer
// is written beyond the size its caller states.  Buffers that get a text
// are emptied when a call fails; no text is cut unless a contract says so.
#include <array>
#include <cstddef>

#include "gkh.h"

// URL kinds: indexes into URI_KIND_STR.
enum uri_kind : int {
    URI_BAD = -1,
    URI_FILE = 0,
    URI_TCP = 1,
    URI_UDP = 2,
    URI_RTP = 3,
    URI_HTTP = 4,
};
inline constexpr std::array<const char *, 5> URI_KIND_STR = {"file", "tcp", "udp", "rtp", "http"};

// Buffer sizes of the pieces of a URL, terminator included.
constexpr size_t URI_SCHEME_MAX = 8;
constexpr size_t URI_AUTH_MAX = 64;
constexpr size_t URI_PATH_MAX = 128;
constexpr size_t URI_QUERY_MAX = 512;

// Decoding: escapes of unprintable bytes become '?'.
enum uri_decode_flag : int {
    NO_UNPRINTABLE = 1,
};

// Limits of a parsed query.
constexpr size_t URI_QUERY_PARAMS_MAX = 128;  // parameters
constexpr size_t URI_QUERY_NAME_MAX = 31;     // characters of a name
constexpr size_t URI_QUERY_VALUE_MAX = 32;    // characters of a value

// A parsed URL as pieces of the caller's text (not owned, not terminated);
// an absent piece has a null pointer and length 0.  The authority is only
// what stands before an '@': the source of a source-specific membership
// ("udp://10.0.0.1@239.1.1.1:5000"); host and port belong to the path.
struct uri_layout {
    const char *scheme;
    const char *authority;
    const char *path;
    const char *query;
    size_t s_len;
    size_t a_len;
    size_t p_len;
    size_t q_len;
};

// --- URLs ------------------------------------------------------------------------

// Splits text (leading blanks skipped): "scheme://[auth@]path[?query]" with a
// scheme of 2 or more characters, or "/path[?query]" (that '/' skipped), or
// a bare "path[?query]".  The path runs to the last '?', or over the whole
// rest when that ends with '/'.  0, with *layout set when given; -1 (layout
// untouched) when nothing follows "://" or the '@'.
int uri_parse(const char *text, uri_layout *layout) noexcept;
// uri_parse over at most len bytes of text (it stops at a NUL), for a URL
// inside a larger text such as a request line.
int uri_parse_len(const char *text, size_t len, uri_layout *layout) noexcept;

// Copy a piece into buf and terminate it: buf; null, with buf empty, when
// the piece is absent or empty or does not fit in size - 1 characters.
char *uri_get_scheme(const uri_layout *layout, char *buf, size_t size) noexcept;
char *uri_get_authority(const uri_layout *layout, char *buf, size_t size) noexcept;
char *uri_get_path(const uri_layout *layout, char *buf, size_t size) noexcept;
char *uri_get_query(const uri_layout *layout, char *buf, size_t size) noexcept;
// The copy behind the getters: len bytes of seg into buf, terminated; buf,
// or null with buf empty for a null or empty piece or one that does not fit.
char *cpyseg(const char *seg, size_t len, char *buf, size_t size) noexcept;

// The kind whose name equals scheme ignoring case; URI_BAD otherwise.
int uri_scheme_kind(const char *scheme) noexcept;

// Parses url and copies its pieces into the buffers given (sizes
// URI_SCHEME_MAX, URI_AUTH_MAX, URI_PATH_MAX, URI_QUERY_MAX; any may be
// null).  A scheme is required, and a path when a path buffer is given.
// The scheme's kind (URI_BAD for an unknown one), or -1 after ERR lines
// when the URL cannot be parsed or a piece does not fit.
int uri_extract(const char *url, char *scheme, char *authority, char *path,
                char *query) noexcept;

// Takes "addr[:port]" or "[ipv6][:port]" from the start of path (spaces,
// tabs and '/' skipped; at most len bytes read) into the buffers given,
// without the brackets.  The rest of the path after the port (or the
// address); null, buffers empty and an ERR line, when nothing is left,
// a bracket is not closed, or a piece does not fit.
const char *uri_path_addrport(const char *path, size_t len, char *addr, size_t asize,
                              char *port, size_t psize) noexcept;

// --- the control-request path ------------------------------------------------

// True when text begins with an alias character: '$', '~' or '^'.
bool uri_is_alias(const char *text) noexcept;

// A segment of a path: one optional leading '/', then the text up to and
// including the next '/' (or to the end).  *seglen gets the length of the
// segment at the start of text; the result is where the next one starts,
// or null when nothing follows the optional '/'.
const char *uri_xseg(const char *text, size_t *seglen) noexcept;
// True when the segment, without one leading and one trailing '/', equals
// word ignoring case.
bool xseg_scmp(const char *seg, size_t len, const char *word) noexcept;
// Copies the segment (or run of segments) without one leading and one
// trailing '/' into buf: 0, or 7 (E2BIG) with buf empty when nothing is
// left or it does not fit in size - 1 characters.
int xseg_cpy(const char *seg, size_t len, char *buf, size_t size) noexcept;

// Splits a request path (without its leading '/') into src and dst, both
// still percent-encoded:
//   "$alias..."             src = the first segment; 0, or 7 when too long
//   "udp/addr:port[/...]"   src = "udp://addr:port" (also rtp, any case, word
//                           kept as written); -22 when the word does not
//                           fit, 22 without an address, 7 when too long
//   "src/S/dst/D"           src = S, dst = D; "src" and "dst" segments nest
//                           (any case); 0, -1 when S or D does not fit, or
//                           the count of "src" left open (no dst then)
// A single word that is no alias gives 3 (ESRCH); any other path -1.
// dst is empty unless a "src/.../dst" path sets it; both are empty on failure.
int uri_extract_endpts(const char *path, char *src, size_t slen, char *dst,
                       size_t dlen) noexcept;

// --- percent-encoding ---------------------------------------------------------

// Decodes text in place within its first size bytes: '+' is a space, "%hh"
// the byte (unprintable ones become '?').  text, terminated (a text filling
// all size bytes loses its last one); null for size 0, for a '%' in the
// last two bytes of the buffer, or for a malformed escape (a '%' not
// followed by two hex digits, one cut short by the end of the text
// included); the text is then left partly decoded.
char *uri_decode(char *text, size_t size) noexcept;

// uri_decode keeping every byte as it was escaped (unprintable ones too).
// text; null, with text empty, on any failure of uri_decode and also when
// an escape decodes to NUL (the text would end there and lose what
// follows, so it is refused).
char *uri_decode_exact(char *text, size_t size) noexcept;

// True when every '%' of text (null: none) begins an escape of two hex
// digits, so that decoding it would refuse nothing.
bool uri_escapes_ok(const char *text) noexcept;

// Encodes the first size - 1 characters of text in place: printable
// characters other than ";/?:@&=+$,* " are kept, every other byte becomes
// "%HH"; output stops before what would pass size - 1 characters.  text,
// terminated; null when size is 0 or the work copy cannot be allocated.
char *uri_encode(char *text, size_t size) noexcept;

// Parses "name=value&..." into a new text table of names to heap values
// (decoded exactly, uri_decode_exact, so that values that differ stay
// apart; an empty value is null) in *ht, which the caller destroys with
// skht_destroy(*ht, free).  Names are 1 to 31 characters up to the '=' ('&'
// included), values at most 32 up to the next '&'; at most 128 parameters.
// 0 (*ht is 0 for an empty query); -1 for a malformed, over-long or
// undecodable parameter (an escaped NUL included) or too many; 16 (EBUSY) for a repeated name; 12
// (ENOMEM).  On failure *ht is 0 and nothing is kept.
int uri_query_parse(const char *query, skht_t *ht) noexcept;

// text when it begins with prefix (ignoring case); otherwise buf holding
// prefix and text, or null with errno E2BIG when they do not fit in
// size - 1 characters (EINVAL for a null prefix or text).
const char *uri_ensure_schema(const char *prefix, const char *text, char *buf,
                              size_t size) noexcept;

// Copies text up to its first '?' into alias, terminated; *query (when
// given) points after the '?', or is null without one.  A name that does
// not fit in size - 1 characters leaves alias empty and sets errno E2BIG.
void uri_split_alias(const char *text, char *alias, size_t size, const char **query) noexcept;
