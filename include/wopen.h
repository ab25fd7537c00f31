#pragma once
// Endpoints opened by URL: a file to read, a TCP stream, a UDP or RTP
// datagram socket (multicast or unicast, any-source or source-specific),
// or an HTTP server from which a stream is fetched with a GET.  One record,
// usock_ctx, carries the caller's options and what the open made; the same
// record is given back to close it.  A GET can also be sent on a socket
// already open and its answer head read step by step, for non-blocking
// handshakes.
//
// Single-threaded: g_apptag and g_usock_flags are process-wide, and the
// GET is built in static buffers.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "netops.h"
#include "uri.h"
#include "webops.h"

// Room of the buffer that receives the bytes after an HTTP answer head.
constexpr size_t USOCK_BUF_SIZE = 2048;
// Room of the buffer an answer head is read into on open.
constexpr size_t USOCK_RESP_SIZE = 1024;
// Longest GET target of usock_http_get (path tail, '?', query).
constexpr size_t USOCK_TARGET_MAX = 127;
// How long a blocking open waits for the answer head.
constexpr int USOCK_HTTP_WAIT_MS = 5000;
// Room of g_apptag.
constexpr size_t USOCK_APPTAG_SIZE = 128;
// Room of a numeric host text: an IPv6 address with a "%interface" scope.
constexpr size_t USOCK_HOST_NUM_SIZE = 64;

// An endpoint.  The caller zeroes it, sets the options (inbound through
// timeout_ms) and opens it; the open sets the rest.  A record is opened
// again only after usock_close (url_path null).
struct usock_ctx {
    bool inbound;          // read from (a source); false for a destination
    bool non_blocking;     // open the socket non-blocking
    bool skip_http;        // HTTP: connect only, no GET exchange
    bool non_pollable;     // set by the open for a file
    uint32_t http_flags;   // http_rq_flag bits of the GET on open
    ssize_t nopoll_idx;    // the event loop's no-poll slot; the open leaves it
    const char *ifc_tag;   // multicast interface (name or address), or null
    int timeout_ms;        // receive (inbound) or send time-out of a blocking socket; 0 none
    int url_kind;          // uri_kind found by the open
    socket_spec sspec;     // what the socket was asked to be and resolved to
    char *url_path;        // heap copy of the URL's path
    ifc_info *mifc;        // heap: interface record of a multicast socket
    char *buf;             // heap, USOCK_BUF_SIZE bytes for a stream endpoint:
    size_t bufcap;         //   the bytes read past the HTTP answer head on open,
    size_t buflen;         //   buflen of them
    // Numeric hosts opened in place of the host the URL names, and of its
    // source-specific source; empty: the URL's own.  An open that succeeds
    // fills an empty one with the address it opened, so that opening the
    // record again (a revival, a reconnect) asks no resolver.
    char host_num[USOCK_HOST_NUM_SIZE];
    char ssm_num[USOCK_HOST_NUM_SIZE];
};

static_assert(std::is_trivially_copyable_v<usock_ctx>);

// The caller's buffer for reading an answer head step by step; zero ctx
// before the first read and release it with reset_resp_ctx.
struct http_resp_buf {
    char *buf;
    size_t len;  // size of buf
    http_resp_ctx ctx;
};

// A body to read: buf_size bytes of data when complete, data_len so far.
struct http_body_buf {
    size_t buf_size;
    size_t data_len;
    char data[];
};

// The module's process-wide options.
struct usock_flags {
    bool use_http10_get;  // every GET built here asks for HTTP/1.0
};

extern char g_apptag[USOCK_APPTAG_SIZE];  // the User-Agent; "#ERR#" until set
extern usock_flags g_usock_flags;

// Copies at most 127 characters of apptag (required: assert) to g_apptag.
void usock_set_apptag(const char *apptag) noexcept;

// Opens the endpoint of url as uc asks: "file://path", "tcp://host:port",
// "udp://[source@]host:port", "rtp://...", "http://host[:port][/path]".
// The descriptor, or -1 after the failing step logged why, with all the
// open made released.  A blocking TCP or HTTP endpoint waits for its
// connect at most timeout_ms (USOCK_HTTP_WAIT_MS when 0), as it waits for
// the answer head.  The socket is opened on host_num and ssm_num when set
// (the URL itself is still what an HTTP GET names), and the empty ones are
// set to the addresses opened.  A record whose url_path is set is an
// assert.
int usock_open(const char *url, usock_ctx *uc) noexcept;
// Releases what uc holds (a multicast reader leaves its group first; with
// fd -1 only the record), then closes fd when it is not negative.
void usock_close(int fd, usock_ctx *uc) noexcept;

// Sends a GET for uri on sockfd with g_apptag as User-Agent.  0, or -1
// (also for a target longer than 127 characters: nothing is sent).
int usock_http_get(int sockfd, const char *uri, uint32_t flags) noexcept;
// Reads more of an answer head into resp (a buffer is required: assert).
// 0 head complete with a 2xx status; 11 more data needed; 13 (EACCES)
// another status; 7 (E2BIG) the head does not fit; -1 for other errors.
int usock_http_get_response(int sockfd, http_resp_buf *resp) noexcept;
// Reads body bytes until bb holds buf_size of them.  0 when complete; 11
// when the socket has no more now; the errno value of a failed read; -1 at
// end of stream.  The bytes read stay counted, so the call can be repeated.
int usock_http_get_body(int sockfd, http_body_buf *bb) noexcept;

// The steps of an HTTP open.  fwd_http_rq sends the GET for uri (as
// usock_http_get, with apptag); get_http_response reads the answer head
// (blocking: at most USOCK_HTTP_WAIT_MS), wants 200 and copies the bytes
// after the head to tail (*tail_size of them; none when over tail_cap).
// 0; 11 for a non-blocking socket whose head has not come yet; -1.
int fwd_http_rq(int sockfd, const char *uri, const char *apptag, uint32_t flags) noexcept;
int get_http_response(int sockfd, char *tail, size_t tail_cap, size_t *tail_size) noexcept;
