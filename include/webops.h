#pragma once
// The little HTTP the system speaks: request heads read from clients and
// parsed (method, path, Host, User-Agent), control-request paths turned
// into a source and a destination, answers rendered from a fixed table of
// status records, one fixed GET template, and response heads from servers
// read and parsed step by step.  Bodies are never read or written here.
//
// Text from the network is never trusted: every parser reads only within
// the length it is given, and every buffer is written within its stated
// size.  Writes to sockets use MSG_NOSIGNAL, so a vanished peer never
// raises SIGPIPE.  The senders keep their text in static buffers, so they
// are not reentrant; the module is for single-threaded use.
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "uri.h"

// Request types and outgoing-request flags.
enum http_rq_type : int {
    RQTYPE_GET = 0,
    RQTYPE_HEAD = 1,
};
enum http_rq_flag : uint32_t {
    RQFLAG_HTTP10_GET = 1,
    RQFLAG_KEEPALIVE = 2,
};

// Results of web_parse_urq besides 0 and the errors.
enum http_urq_result : int {
    RC_FAVICON = 1028,
    RC_PING = 1029,
};

// The range of success codes.
constexpr int HTTP_OK_CODE = 200;
constexpr int HTTP_OK_END = 299;

// Direction of an endpoint URL.
constexpr int INBOUND_URI = 1;
constexpr int OUTBOUND_URI = 0;

// Rooms of fixed text fields, terminator included.
constexpr size_t MAX_HOST_LEN = 64;
constexpr size_t MAX_HTTP_CTYPE = 64;
constexpr size_t MAX_UAG_LEN = 128;

inline constexpr char HTTP_FAVICON_RQ[] = "favicon.ico";
inline constexpr char LOCALHOST_ADDR[] = "localhost";
// What must follow the path of a request line (then a digit).
inline constexpr char HTTP_VER_PFX[] = "HTTP/1.";

// Longest Location value kept (characters).
constexpr size_t MAX_HTTP_LOCATION = 2047;
// Longest query of a control request (bytes).
constexpr size_t MAX_URQ_QUERY = 255;

// A parsed request head.  uri points into the request text (not owned).
struct http_header {
    int type;                       // RQTYPE_GET or RQTYPE_HEAD
    uri_layout uri;
    char host[MAX_HOST_LEN];
    char user_agent[MAX_UAG_LEN];   // percent-encoded
};

// An answer to send.  content_length < 0 means no such header; the texts
// other than reason and server may be null.
struct http_response {
    int code;
    const char *content_type;
    long content_length;
    const char *reason;
    const char *server;
    const char *connection;
    const char *ok_suffix;  // one raw header line added to a 200 answer
    const char *location;
};

// The status records (changeable: the daemon fills server on first use).
extern http_response g_resp_ok;       // 200 "OK"
extern http_response g_resp_bad;      // 400 "Bad request"
extern http_response g_resp_denied;   // 403 "Forbidden"
extern http_response g_resp_nfound;   // 404 "Not Found"
extern http_response g_resp_timeout;  // 408 "Request Timeout"
extern http_response g_resp_tmoved;   // 302 "Moved Temporarily"
extern http_response g_resp_err;      // 500 "Service error"
extern http_response *g_resp;         // set by nothing

// An outgoing request.
struct http_request {
    unsigned type : 4;      // only RQTYPE_GET is sent
    uint32_t flags;         // http_rq_flag bits
    const char *request;    // path and query
    const char *server;     // sent as User-Agent
    const char *host_addr;  // null or empty: "localhost"
    const char *host_port;  // blank: none
};

// Progress and result of reading a response head.  Zero it before the
// first read; reset_resp_ctx releases it.
struct http_resp_ctx {
    int code;                           // status code
    ssize_t total;                      // bytes read so far
    ssize_t tail;                       // length of the head with its empty line; 0 before
    char content_type[MAX_HTTP_CTYPE];
    long content_length;
    char *location;                     // heap copy of the Location value, or null
};

// HTML escaping: each character of web_ESC becomes the entity of web_SEQ
// at the same index.
inline constexpr char web_ESC[] = "&><'\"";
inline constexpr std::array<const char *, 5> web_SEQ = {"&amp;", "&gt;", "&lt;", "&apos;",
                                                        "&quot;"};

// --- reading and parsing request heads ------------------------------------------

// One read (nread) of at most buflen - offset bytes into buf + offset; when
// bytes came and buf[0 .. offset + n) holds the end of the head, *tail = the
// head's length.  The read's result: bytes read, 0 at end of stream (also
// when offset has reached buflen), -1 with errno.
ssize_t read_http(int fd, char *buf, size_t buflen, size_t offset, ssize_t *tail) noexcept;
// Length of the head in the first len bytes of buf up to and including the
// first "\n\n" or "\r\n\r\n" that lies wholly inside them; 0 when none does.
size_t head_eod(const char *buf, size_t len) noexcept;

// Parses the request line and the Host and User-Agent headers of the first
// len bytes of text into *hdr (url, when given with room, gets the URL).
// 0; 22 for a method other than GET or HEAD; -1 for a malformed head.
int parse_http_header(const char *text, size_t len, http_header *hdr, char *url,
                      size_t url_size) noexcept;
// The value of the header name (with its colon, any case) on a line of the
// terminated text: the name must start a line and be followed by white
// space; the value runs to its CR or LF (another control character: not
// found).  The value (*len its length, maybe 0), or null (*len 0).
const char *find_http_header(const char *name, const char *text, size_t *len) noexcept;

// Parses a control request of hlen bytes and splits its path into src and
// dst (each of size ulen).  dst is percent-decoded; src too unless it is
// written with its scheme ("http://h/a%20b" stays as written), and an
// HTTP source gets its blanks, control bytes and bytes beyond ASCII
// encoded ("%HH").  Decoding keeps every byte; an escaped NUL fails it.
// The request's own query is not part of src: it is in hdr->uri (query,
// q_len), *hdr getting the parsed head when given.  0; RC_FAVICON; RC_PING
// (src and dst empty); 22 for an unsupported method; -7 for a query over
// 255 bytes; 7 when the encoded src does not fit; -1 otherwise.
int web_parse_urq(const char *http, size_t hlen, char *src, char *dst, size_t ulen,
                  http_header *hdr) noexcept;

// True for "ping" (any case) after one optional '/', alone or with one
// trailing '/'.
bool is_ping_request(const char *path) noexcept;
// The same test for any word.
bool slash_match(const char *path, const char *word) noexcept;
// True for null, empty, or a text beginning with a tab, CR, LF or space.
bool is_blank_null(const char *text) noexcept;

// --- answers ---------------------------------------------------------------------

// Renders r into buf (code, reason and server are required: assert).  The
// length, or -1 when it does not fit in size - 1 characters.
int mk_http_response(const http_response *r, char *buf, size_t size) noexcept;
// Renders r and writes it to fd.  0 (also after a short write, logged), or
// -1 when it cannot be rendered or nothing was written.
int send_http_response(int fd, const http_response *r) noexcept;
// The status record of code (200, 302, 400, 403, 404, 408, 500), or null.
http_response *match_http_response(int code) noexcept;

// --- outgoing requests -----------------------------------------------------------

// Writes the GET of r to fd from the fixed template.  0; -1 for another
// type, an over-long host or request, or a write that was short or failed.
int send_http_request(int fd, const http_request *r) noexcept;
// Writes a GET for url (scheme://host[:port]/path[?query]) with agent as
// User-Agent, asking for HTTP/1.0 when use_http10.  0, or -1 (also when the
// target does not fit 638 characters: nothing is sent).
int send_http_get(int fd, const char *url, const char *agent, bool use_http10) noexcept;
// The GET senders' common part: url's path and query as the target (at
// most max_target characters, below 639, else -1 with an ERR line and
// nothing sent), request flags as given, fn naming the caller in log lines.
int send_http_get_target(const char *fn, int fd, const char *url, const char *agent,
                         uint32_t flags, size_t max_target) noexcept;

// --- response heads --------------------------------------------------------------

// Reads more of a response head into buf (size bytes, at most size - 1
// used) after resp->total bytes, and parses it once complete (the text is
// then terminated in place of the head's last byte).  0 with resp->code
// set (and Location, Content-Type, Content-Length for 301/302); 11 when
// more data is needed; -1 at end of stream, on errors, a full buffer or a
// malformed status line.  Once the head is complete, later calls read
// nothing and give 0 again (-1 when its status line was malformed).  buf
// and size are required (assert).
int recv_http_response(int fd, char *buf, size_t size, http_resp_ctx *resp) noexcept;
// Takes Location, Content-Type and Content-Length from the terminated
// header text into *ctx (whose location must be null: assert).  0; -1 for
// an over-long Location or a missing or invalid Content-Length (then -1).
int parse_resp_headers(const char *text, http_resp_ctx *ctx) noexcept;
// The decimal value of header name in the first len bytes of text (at most
// 31 characters of it are read), or -1 when it is absent or empty.
long extract_num_hdr(const char *name, const char *text, size_t len) noexcept;
// Frees the location and zeroes *ctx.
void reset_resp_ctx(http_resp_ctx *ctx) noexcept;

// --- HTML escaping ---------------------------------------------------------------

// The entity of c, or null when c needs none.
const char *get_web_seq(char c) noexcept;
// 0 when src holds nothing to escape; otherwise the count of characters
// escaped, with dst (when not null) holding the escaped text, terminated;
// -34 (ERANGE) when it does not fit in dstlen - 1 characters.
int web_escape(const char *src, char *dst, size_t dstlen) noexcept;

// --- helpers no program calls ----------------------------------------------------

// "host/path" of a parsed head into buf.  0; 22 without host or path; 7
// when it does not fit (buf empty).
int mk_full_url(const http_header *hdr, char *buf, size_t size) noexcept;
// Parses a request head and copies its path (shorter than plen) and query
// (shorter than qlen; empty when none) out.  0; the parser's result; -1
// without a path or when a piece does not fit.
int extract_http_request_path_query(const char *text, size_t len, char *path, size_t plen,
                                    char *query, size_t qlen) noexcept;
// The URL of a playlist item: path itself when it begins with "http://",
// else the playlist URL up to and including its last '/' followed by path.
// 0; 22 for a playlist URL that is not http or has no room; 7 when an
// absolute path does not fit.
int mk_hls_item_url(const char *m3u_url, const char *path, char *buf, size_t size) noexcept;
