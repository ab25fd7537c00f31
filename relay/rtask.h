#pragma once
// The relay task: one source (with an optional alternate source) carried to
// one datagram destination.  The record lives in place in a slot of the
// task list and never moves, so the event loop keeps the addresses of its
// embedded registration records (op_ctx) as context pointers.  This module
// holds the record, its key and label, the registration operations, the
// datagram storage, the rate meters, the error fields and the values the
// status report shows.  Creation, suspension, revival and freeing are in
// tasklife.h; the registry in registry.h.
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <type_traits>

#include "bktcount.h"
#include "chunked.h"
#include "delay.h"
#include "lfxtypes.h"
#include "mmr.h"
#include "rring.h"
#include "wopen.h"

// The largest datagram a task stores or sends, and the room of one stored
// datagram.
constexpr size_t PKT_LEN = 5000;
// Room of a task key.
constexpr size_t MAX_RTASK_HKEY = 128;

// Task kinds: the first letter of the task id.
enum rta_kind : int {
    RTA_UDP = 85,   // 'U': datagram source (UDP or RTP)
    RTA_HTTP = 72,  // 'H': HTTP source serving a transport stream
    RTA_DCH = 68,   // 'D': chained through a remote daemon
};

// Storage modes of in_mode and out_mode.
enum storage_mode : int {
    SM_NONE = 0,
    SM_DGRAM = 1,   // datagrams in a pkt_storage
    SM_STREAM = 2,  // bytes in the mirrored byte ring
};

// Operation codes of an op_ctx.
enum op_code : int {
    OP_HSR = 1,    // read the handshake reply
    OP_HSW = 2,    // write the handshake request
    OP_READ = 3,   // read the primary source
    OP_WRITE = 4,  // write to the destination
    OP_KAR = 5,    // watch the client's keep-alive connection
    OP_OXA = 6,    // the agent socket; data is the descriptor
    OP_ARD = 7,    // read the alternate source
};

// Task states (rtask.state) and record tags, compared as one word.
constexpr uint32_t ST_HSW = mk_tag32("hsw");  // handshake request to be written
constexpr uint32_t ST_HSR = mk_tag32("hsr");  // handshake reply being read
constexpr uint32_t ST_RLY = mk_tag32("rly");  // relaying
constexpr uint32_t ST_SUS = mk_tag32("sus");  // suspended, revival pending
constexpr uint32_t RTA_TAG = mk_tag32("RTA");
constexpr uint32_t OPX_TAG = mk_tag32("OPX");

// Datagram slots per storage when max_pkts is 0, and per max_pkts.
constexpr size_t DFLT_PKT_SLOTS = 64;
constexpr size_t PKT_SLOTS_PER_BATCH = 4;

// The context registered with the event loop for one descriptor role.
struct op_ctx {
    n32_tag tag;     // "OPX"
    int op;          // op_code
    void *data;      // the owning task (the descriptor for OP_OXA)
    bool is_active;  // registered now
};

// Numeric hosts found for the endpoints of a task before it is made (see
// usock_ctx): each one set is opened in place of the host its URL names.
// in is the source's host (a routed task's receive address), in_ssm its
// source-specific source, hshk a routed task's remote daemon.
struct task_addrs {
    char in[USOCK_HOST_NUM_SIZE];
    char in_ssm[USOCK_HOST_NUM_SIZE];
    char alt[USOCK_HOST_NUM_SIZE];
    char alt_ssm[USOCK_HOST_NUM_SIZE];
    char dst[USOCK_HOST_NUM_SIZE];
    char hshk[USOCK_HOST_NUM_SIZE];
};

// Options of a control request or task-list line.
struct task_options {
    int ttl;            // multicast TTL of the destination; below 1: system default
    char dalign;        // 'a'/'A': aligned output; 0: the configured default
    size_t max_outpkt;  // largest outgoing datagram; 0: the configured default
    // The addresses resolved for the task's endpoints, read while it is
    // made and cleared then; null: each URL's own host.
    const task_addrs *addrs = nullptr;
};

// One stored datagram.
struct data_pkt {
    int idx;             // the slot's own number
    size_t len;          // bytes stored; 0 while free
    uint8_t data[PKT_LEN];
};

// Datagram storage: slot i has idx i; a slot the ring counts free has len 0.
// The receive headers are built once over the slots: rx_hdr[j] reads into
// slot j mod count, 2 x count of them, so that a batch from any slot on is
// one run of headers, ready to pass to recvmmsg.
struct pkt_storage {
    size_t count;
    data_pkt *pkt;
    rring rr;  // the slots holding datagrams, oldest first
    struct mmsghdr *rx_hdr;
    struct iovec *rx_iov;
    size_t rx_len;  // the buffer length the headers give
};

union task_storage {
    pkt_storage *dgram;  // in_mode SM_DGRAM
    mmr_t stream;        // in_mode SM_STREAM
};

// A rate meter.
struct kps_metric {
    bcounter bc;
    double vps;                // bytes per second at the last update
    struct timespec last_tm;   // monotonic time of the last update, zero before
};

struct pktstats {
    ssize_t ntrunc;       // datagrams received truncated
    ssize_t max_ipktlen;  // largest inbound datagram
    ssize_t max_opktlen;  // largest outbound datagram
};

// Monotonic time stamps of one source; zero = unset.
struct src_timers {
    struct timespec first_io_tm;   // start of the present uptime
    struct timespec last_io_tm;    // last read or write
    struct timespec last_down_tm;  // start of the present downtime; zero while up
    struct timespec last_read_tm;
    struct timespec last_write_tm;
};

// A unicast datagram source kept through a suspension: a filter drops
// what comes while the task is suspended, and what the queue held is read
// and dropped in bounded steps once the task reads again (tasklife.h).
struct stale_src {
    bool filtered;       // the drop filter is attached: the queue is stale
    bool drops_known;    // drops_at holds the socket's drop count
    uint32_t drops_at;   // the kernel's drop count when the filter came
    uint64_t n_read;     // stale datagrams read and dropped so far
};

// The alternate source.
struct data_src_ctx {
    char *in_url;        // owned, or null
    int sockfd;          // -1 when closed
    usock_ctx uc;
    pkt_storage *dgram;  // its own datagram storage
    op_ctx reader;       // OP_ARD
    src_timers tm;
    bool is_active;      // the alternate is the source relayed now
    stale_src stale;     // kept through a suspension, not drained yet
};

struct task_err {
    uint64_t n_out_netdown;  // consecutive sends refused: network down
    uint64_t n_out_dropped;  // datagrams dropped on a send error that would not pass
    bool gso_refused;        // the destination refused a segmented send: plain sends only
    bool send_err_pending;   // a send failed since the last one that passed (senderr.h)
    uint64_t n_drop_unlogged;        // datagrams dropped since the last send-error line
    struct timespec send_err_tm;     // monotonic time of that line; zero before the first
    uint64_t n_ring_full_unlogged;   // times the byte ring was full since its last line
    struct timespec ring_full_tm;    // monotonic time of that line; zero before the first
};

struct rtask {
    n32_tag tag;              // "RTA" while live
    n64_tag tid;              // task id text
    int format;               // rta_kind
    int64_t idx;              // slot in the task list
    char hkey[MAX_RTASK_HKEY];  // the key, or the client id
    int rcount;               // clients sharing the task
    n32_tag state;            // ST_*
    char *in_url;             // owned
    char *out_url;            // owned
    char *hshk_url;           // owned or null
    int hshk_fd;              // -1 when closed
    int infd;
    int outfd;
    int kafd;                 // the client's keep-alive connection, -1 when none
    usock_ctx hshk_uc;
    usock_ctx in_uc;
    usock_ctx out_uc;
    int in_mode;
    int out_mode;
    task_storage stg;
    data_src_ctx altin;
    op_ctx hsr;
    op_ctx hsw;
    op_ctx kar;
    op_ctx reader;
    op_ctx writer;
    http_resp_buf resp_buf;   // the handshake reply head
    int64_t content_length;
    chunk_dec chunk;          // the body's framing, while is_chunked
    bool is_chunked;          // the source's answer comes in chunks
    bool in_ended;            // the source ended: the ring is sent out, then the task ends
    uint64_t total_in;
    uint64_t total_out;
    uint64_t local_in;        // bytes from the relayed source since creation or suspension
    kps_metric iavg;
    kps_metric oavg;
    src_timers tm;            // the primary source
    stale_src in_stale;       // the primary kept through a suspension, not drained yet
    bool is_quitting;         // queued for removal
    bool is_dchained;         // chained task whose handshake succeeded
    bool has_cid;             // hkey holds a client id
    bool is_hashed;
    bool must_suspend;        // the pending clean-up suspends rather than removes
    int retry_count;
    int reopen_fds;           // descriptors its revival opens, while the registry counts them
    dly_t delay;              // the pending revival, or null
    int tmout;                // idle time-out in ms, 0 when none
    task_options opt;
    pktstats pks;
    char *errstr;             // owned or null
    int err;
    task_err errctx;
};

static_assert(std::is_trivially_copyable_v<rtask>);
static_assert(std::is_trivially_copyable_v<op_ctx>);
static_assert(offsetof(op_ctx, tag) == 0 && offsetof(rtask, tag) == 0);

// --- labels, states, keys ------------------------------------------------------------

// The task's name in log lines: its client id when it has one, else its id.
// A client id comes from the network: one with a byte that esc_text writes
// as an escape is given escaped, in one of RTA_LABEL_BUFS static buffers
// used in turn (valid until as many more such labels are made).
constexpr int RTA_LABEL_BUFS = 8;
const char *rta_label(const rtask *t) noexcept;
// DEBUG "(label) [old]->[new]", then state = st.
void rta_set_state(rtask *t, uint32_t st) noexcept;
// The key into buf (len bytes): "src+alt|dst", "src|dst" with each
// endpoint in canonical form (uri_canon; a text without one as written),
// or "src" alone (a client id, as written); an empty alt counts as none,
// and alt without dst is a
// broken invariant.  0 for 1 to len - 2 characters; else -1 (ERR) and buf
// is not to be used.
int rta_mk_key(char *buf, size_t len, const char *src, const char *dst, const char *alt) noexcept;

// True when the alternate source's socket is open.
bool has_altinput(const rtask *t) noexcept;
// True for the URL kinds UDP and RTP.
bool is_dgram_kind(int kind) noexcept;
// True when url parses to a datagram kind.
bool is_dgram_url(const char *url) noexcept;

// --- event-loop registrations ------------------------------------------------------
// Each ensure operation registers one descriptor for one role unless its
// record is active; each drop unregisters it unless inactive.  0, or the
// event loop's error (ERR).  A record without the tag "OPX", its own op
// code or the task as data is a broken invariant.

int rta_ensure_keepalive(rtask *t) noexcept;  // kar, kafd (>= 0), read
int rta_ensure_reads(rtask *t) noexcept;      // reader, infd
int rta_ensure_altrd(rtask *t) noexcept;      // altin.reader; nothing without an alternate
int rta_ensure_writes(rtask *t) noexcept;     // writer, outfd
int rta_ensure_hsr(rtask *t) noexcept;        // hsr, hshk_fd, read
int rta_ensure_hsw(rtask *t) noexcept;        // hsw, hshk_fd, write
int rta_drop_reader(rtask *t) noexcept;
int rta_drop_altrd(rtask *t) noexcept;
int rta_drop_writer(rtask *t) noexcept;
int rta_drop_hsr(rtask *t) noexcept;
int rta_drop_hsw(rtask *t) noexcept;
// Unregisters the keep-alive connection before it is closed.  0 or the
// event loop's error.
int rta_drop_keepalive(rtask *t) noexcept;

// Sets up the registration records of t, all inactive, except that a
// keep-alive registration still in force (kafd open, kar active) is kept:
// the keep-alive link stays watched across suspension and revival.
void opx_setup(rtask *t) noexcept;
// 0 when ctx is an "OPX" record whose data is a live task; otherwise PANIC
// with a backtrace and abort.
int rta_check_tags(const void *ctx) noexcept;

// --- datagram storage ----------------------------------------------------------------

// A zeroed storage of 4 x max_pkts slots (64 when max_pkts is 0), slot i
// numbered i, ring empty, its receive headers giving PKT_LEN bytes a slot,
// in a mapping of its own.  0 and *stg set, or 12 (ENOMEM).
int mk_pkt_storage(pkt_storage **stg) noexcept;
// Unmaps a storage, giving its memory back to the system; null is ignored.
void free_pkt_storage(pkt_storage *stg) noexcept;

// --- rate meters (kept only with a report path) -------------------------------------

// Zeroes k and gives it abkt.count buckets of abkt.ms ms.  0, or the
// counter's failure (ERR).  Without a report path: 0, nothing made.
int init_kpsm(kps_metric *k) noexcept;
void free_kpsm(kps_metric *k) noexcept;
// The rate reads 0 and the buckets are emptied, so that a suspended task
// reads 0 until it is fed again.
void reset_kpsm(kps_metric *k) noexcept;
// Bytes per second as of the loop's present time: the time since the last
// update counts, so a meter fed nothing for its whole window reads 0.
// Without a counter (no report path): vps.
double read_kpsm(const kps_metric *k) noexcept;

// --- errors and report values ------------------------------------------------------

// Replaces the error text with a copy of str (none for null) and the code
// with err; null and 0 also zero the packet statistics.
void rta_set_error(rtask *t, const char *str, int err) noexcept;
// "ttl=%d;opkt=%c%zu" into buf (at most buflen bytes); buf.
char *rta_optstr(const task_options *to, char *buf, size_t buflen) noexcept;
// Received data since its last suspension, not down, relaying.
bool is_task_online(const rtask *t) noexcept;
// Seconds since first_io_tm (is_uptime) or last_down_tm on the event loop's
// clock, whole ms / 1000; 0 when that stamp is unset.
double rta_xtime(const rtask *t, bool is_uptime) noexcept;
// Writes the task's line of the status report; count is the number of tasks
// written before it (" {" for the first, ", {" after).
void rta_json_dump(FILE *fp, const rtask *t, size_t count) noexcept;

// --- handshake reply buffer (handshake module) -------------------------------------

// Clears buf and gives it len zeroed bytes.  0, or 12 (ENOMEM).
int init_resp_buf(http_resp_buf *buf, size_t len) noexcept;
// Frees the buffer and resets the parse progress.
void purge_http_resp_buf(http_resp_buf *buf) noexcept;
