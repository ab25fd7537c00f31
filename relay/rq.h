#pragma once
// Control requests: one object per client connection accepted on a user
// listener.  It reads one HTTP request head, turns its path and query into
// a task look-up, then joins, drops, kills or creates a task and answers
// with one HTTP status.  The listener layer (rui.h) owns the objects: it
// makes them through urq_new, frees them through urq_rm after the
// event-loop turn in which they were queued for removal, and offers them
// to urq_time_out in its sweeps.
//
// A request that would make a task naming a host by name (source,
// alternate, destination, a route's receive address or remote daemon)
// waits in state "RSV", watching nothing but errors, while the names are
// looked up off the loop (resolve.h), bounded by its request time-out; the
// numeric addresses found are the ones the relay-to-itself check compares
// and the task's sockets open.  Other requests (drop, kill, HEAD, a join)
// never look a name up: their keys are compared as written.
//
// A "keep-alive" request that creates a task leaves a duplicate of its
// connection with the task.  One that joins a task without a link keeps
// its own connection open as that client's link (state "LNK"): the end of
// the link (end of stream, any byte, an error, a hang-up) drops that one
// client from the task, and the task's end closes it.  A link is moved to
// its listener's link list (rui_make_link): it holds no request time-out,
// does not count toward the listener's request limit, and is refused (500)
// when fewer than URQ_LINK_FD_SPARE descriptors are free; a request that
// would make a task is refused (500) below URQ_TASK_FD_SPARE.  Both lie
// above the listener's RUI_FD_RESERVE, so that links held to the limit
// still let tasks be made, and neither locks requests out.  Both spares
// come on top of the descriptors suspended tasks open again at their
// revival (g_app.reopen_fds), so that links and new tasks never take those.
//
// A listener's lowmark (SO_RCVLOWAT) only spares wake-ups: a head shorter
// than it is still read, by the request sweep, within its period, and a
// link, kept or duplicated for a task, wakes on its first byte
// (rui_link_fd).  A request whose head is in is marked so (head_done): a
// full listener makes room by closing only those still waiting for theirs.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <type_traits>

#include "gkh.h"
#include "lfxtypes.h"
#include "rtask.h"
#include "rui.h"
#include "webops.h"

constexpr uint32_t URQ_TAG = mk_tag32("URQ");
// Request states.
constexpr uint32_t ST_INI = mk_tag32("INI");
constexpr uint32_t ST_RD = mk_tag32("RD\0");
constexpr uint32_t ST_WR = mk_tag32("WR\0");
constexpr uint32_t ST_RSV = mk_tag32("RSV");  // waits for the look-up of the names it gives
constexpr uint32_t ST_LNK = mk_tag32("LNK");  // answered; the connection is a client's link

// Descriptors free below the open-file limit that a new link, and a new
// task, need.
constexpr size_t URQ_LINK_FD_SPARE = 64;
constexpr size_t URQ_TASK_FD_SPARE = 32;
static_assert(URQ_LINK_FD_SPARE > URQ_TASK_FD_SPARE && URQ_TASK_FD_SPARE > RUI_FD_RESERVE);
// A bound on the descriptors a task holds: its sockets in and out, the
// handshake socket and its duplicate, the alternative source, its stream
// buffer and the client's connection, with one to spare.
constexpr size_t URQ_TASK_FDS = 8;
// The kept count is trusted only well above the largest spare asked.
static_assert(RUI_FDS_RECOUNT_BELOW >= 4 * URQ_LINK_FD_SPARE);
// must_drop of a "kill" request.
constexpr int KILL_MODE = -1;
// Rooms of the head and answer buffers and of the path texts.
constexpr size_t URQ_HBUF_LEN = 1024;
constexpr size_t URQ_RESP_LEN = 1024;
constexpr size_t URQ_URI_LEN = 256;
// Longest converted source and destination (characters), and alternate.
constexpr size_t URQ_MAX_URL = 254;
constexpr size_t URQ_MAX_ALTURL = 127;
// Largest ttl query value.
constexpr int URQ_MAX_TTL = 255;
// Bounds of the opkt query value.
constexpr size_t URQ_MIN_OPKT = 1500;
constexpr size_t URQ_MAX_OPKT = 5000;

// Results of the head reader besides 0 and -1.
enum urq_read_result : int {
    URQ_MORE = 11,     // more data needed
    URQ_CLOSED = 104,  // the client closed the connection
    URQ_OVERSIZE = 7,  // 1023 bytes hold no end of head
};

struct tvl_urq {
    // The common request head of the listener layer (rui_rq_header).
    n32_tag tag;  // "URQ"
    tvl_urq *prev;
    tvl_urq *next;
    rui_socket_ctx *srv;
    int sockfd;
    n64_tag trk_tag;
    bool is_link;
    bool head_done;

    n32_tag state;
    struct timespec start_tm;
    char uri_src[URQ_URI_LEN];
    char uri_dst[URQ_URI_LEN];
    char *cmd;             // into uri_dst, or null
    skht_t query_ht;
    const char *cid;       // into query_ht, or null
    int ttl;
    size_t max_outpkt;
    char dalign;
    const char *asrc_uri;  // into query_ht, or null
    char *hbuf;
    size_t hlen;
    size_t hpos;
    size_t tail_len;       // bytes that came after the head, dismissed
    http_header header;
    http_response *resp;
    bool no_task;
    char *resp_txt;
    size_t resp_len;
    ssize_t pprm_idx;
    bool is_keep_alive;
    int must_drop;

    bool holds_tmout;          // holds the URQ_TMOUT slot
    uint64_t rsv_id;           // its name look-up (state "RSV"), 0 for none
    task_addrs addrs;          // numeric hosts found for the task it makes
    // The task whose client this link is (state "LNK"): its slot, id and
    // key, all three compared before the client is dropped, because the
    // slot may have been given to another task meanwhile.
    int64_t lnk_idx;
    n64_tag lnk_tid;
    char lnk_key[MAX_RTASK_HKEY];
};

static_assert(offsetof(tvl_urq, tag) == offsetof(rui_rq_header, tag));
static_assert(offsetof(tvl_urq, prev) == offsetof(rui_rq_header, prev));
static_assert(offsetof(tvl_urq, next) == offsetof(rui_rq_header, next));
static_assert(offsetof(tvl_urq, srv) == offsetof(rui_rq_header, srv));
static_assert(offsetof(tvl_urq, sockfd) == offsetof(rui_rq_header, fd));
static_assert(offsetof(tvl_urq, trk_tag) == offsetof(rui_rq_header, trk_tag));
static_assert(offsetof(tvl_urq, is_link) == offsetof(rui_rq_header, is_link));
static_assert(offsetof(tvl_urq, head_done) == offsetof(rui_rq_header, head_done));
static_assert(std::is_trivially_copyable_v<tvl_urq>);

// --- listener callbacks ------------------------------------------------------------

// Makes the request of an accepted connection fd on listener srv (aux
// unused): zeroed, state "RD", time-out slot held (with the request
// sweep's period).  Null (ERR) when memory is short: the listener then
// closes the connection.
tvl_urq *urq_new(int fd, rui_socket_ctx *srv, void *aux) noexcept;
// Releases a request: closes its descriptor when still open, frees its
// buffers and query table, releases the time-out slot it holds.
void urq_rm(void *rq) noexcept;
// A request older than tmout_ms (measured from start_tm on the loop's
// clock) is queued for removal (WARN, with an excerpt of the head it
// holds): true.  Otherwise false.  Links are never offered.  A request
// still reading on a listener with a lowmark reads first what the socket
// holds, so a head shorter than the lowmark is served.
bool urq_time_out(void *rq, size_t tmout_ms) noexcept;
// Answers a connection the listener refuses for want of descriptors: 500
// in one try that waits for nothing and logs nothing, with what the client
// sent read away first (bounded).
void urq_refuse(int fd) noexcept;

// --- event-loop handlers (tag "URQ") ---------------------------------------------
// A context that is not a request, or one in a state the handler does not
// serve, is a broken invariant.  All return 0 but on_urq_write, which
// returns -12 when the answer buffer cannot be allocated.

int on_urq_read(int fd, int events, void *udata, void *aux) noexcept;
int on_urq_write(int fd, int events, void *udata, void *aux) noexcept;
int on_urq_error(int fd, int events, void *udata, void *aux) noexcept;

// --- steps -------------------------------------------------------------------------

// Changes the state (DEBUG); setting the present state is a broken invariant.
void urq_set_state(tvl_urq *rq, uint32_t state) noexcept;
// Reads what the socket holds of the head into hbuf.  0 when the head is
// complete (bytes after it dropped, WARN); URQ_MORE; URQ_CLOSED at end of
// stream or on a reset; URQ_OVERSIZE when 1023 bytes hold no end of head
// (answered 400); -12 when the buffer cannot be allocated; -1 on another
// read error.
int read_hbuf(tvl_urq *rq) noexcept;
// Parses the head held in hbuf (hpos bytes) into the request: source,
// destination, query keys (from the request target's own query only) and
// command.  0; on failure the parser's result (resp set to 400 for a
// malformed head), 22 for an aliased destination, a raw unprintable byte
// in the target (or one decoded into an endpoint), no destination, a ttl
// or opkt out of range, port 0 on either end, a datagram endpoint with a
// path or query, an alternate source equal to the source or a destination
// equal to either (canonical forms), -1 for a query that does not begin
// with a letter or digit, 16 for a known key given twice (in any case),
// or the query parser's result.
int parse_tvl_get(tvl_urq *rq) noexcept;
// Splits the command off uri_dst into cmd (null when none).
void xtract_cmd(tvl_urq *rq) noexcept;
// Interprets cmd: keep-alive, drop, kill (any case); other words ignored.
void process_cmd(tvl_urq *rq) noexcept;
// The query keys, their names in any case.  A ttl must be decimal digits
// of a value in 0..255, an opkt an optional letter and a size in
// 1500..5000, an asrc printable: else 22 (EINVAL, ERR), otherwise 0.
void query_extract_cid(tvl_urq *rq) noexcept;
int query_extract_ttl(tvl_urq *rq) noexcept;
int query_extract_opkt(tvl_urq *rq) noexcept;
int query_extract_asrc(tvl_urq *rq) noexcept;
// True when "://" stands at position 3 or 4 of s.
bool has_uri_scheme(const char *s) noexcept;

// The URLs a parsed request names: source and destination with "udp://"
// put before a text without a scheme (cut to 254 characters), the
// alternate likewise (127); alt is empty when the request names none.
struct urq_urls {
    char src[URQ_MAX_URL + 1];
    char dst[URQ_MAX_URL + 1];
    char alt[URQ_MAX_ALTURL + 1];
};
void urq_mk_urls(const tvl_urq *rq, urq_urls *u) noexcept;
// The task key a parsed request looks up: its client id, else the key of
// its URLs, into buf (len bytes).  0, or -1 when it cannot be built.
int urq_task_key(const tvl_urq *rq, char *buf, size_t len) noexcept;

// Decides and carries out what the parsed request asks for a task, and
// sets resp to the answer.
void urq_process_task(tvl_urq *rq) noexcept;
// Queues the request for removal after the turn (INFO); a request already
// queued is left as it is (WARN).  A full queue is fatal.
void urq_pprm_add(tvl_urq *rq) noexcept;
// Queues every link of task for removal (their client counts go with the
// task); the daemon has the task's removal call it (on_task_end of g_app).
// The number queued.
size_t urq_close_links(const rtask *task) noexcept;
