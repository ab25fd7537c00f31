#pragma once
// Client intake: the listening sockets of the three listener groups, the
// accept pass, each listener's list of open requests, its list of links
// and its queue of requests to free after the event-loop turn, the
// per-group request callbacks, the time-out sweep over all requests, and
// short tracking numbers.  What a request is and does is the callbacks'
// business.
//
// A link is an answered request whose connection the client holds open
// (a keep-alive client of a task).  Links are kept apart from the requests
// being read and answered: they do not count toward MAX_RUI_QUEUED and the
// time-out sweep passes them by, so holding many never locks out a new
// request.  What bounds them is the descriptor budget (rui_fd_room).  A
// link wakes the daemon on its first byte whatever the listener's lowmark
// (rui_link_fd).
//
// Connections that have not sent a complete head do not lock fresh ones
// out either: with MAX_RUI_QUEUED requests open, the oldest of them whose
// head is not in is closed to make room for the new connection (counted
// once per accept pass in the log).  Only when every open request has its
// head in is the new connection refused.
//
// The budget counts the descriptors in use, not their numbers: a
// connection accepted while fewer than RUI_FD_RESERVE would stay free is
// answered through the group's refuse callback and closed at once, so the
// last descriptors are never queued away and accept() always has one.
//
// Listener contexts are registered with the event loop as context pointers
// (tag "Rsc"); requests are registered with their own objects, which begin
// with rui_rq_header.  A missing callback, a group out of range, starting
// an open listener or stopping one already stopped is a broken invariant.
#include <sys/select.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "appcfg.h"
#include "dlep.h"
#include "lfxtypes.h"
#include "xvdat.h"

// Listener groups.
enum rui_group : int {
    RUI_USER = 0,
    RUI_ADMIN = 1,
    RUI_CUSTOM = 2,
    RUI_MAX = 3,
};

// Open requests (links not counted) one listener holds at most.
constexpr size_t MAX_RUI_QUEUED = 1000;
// Tracking numbers of requests wrap here.
constexpr size_t MAX_RQNUM = 100000;
// rui_accept flag: TCP_NODELAY on accepted TCP connections.
constexpr int RUI_TCP_NODELAY = 1;

// Tags of a listener context and of the declared intake record.
constexpr uint32_t RSC_TAG = mk_tag32("Rsc");
constexpr uint32_t RIH_TAG = mk_tag32("Rih");

// The removal queue of a listener: a slot list of request pointers.
constexpr size_t RUI_PPRM_BLKSZ = sizeof(void *);
constexpr size_t RUI_PPRM_RESERVE = 8;
constexpr size_t RUI_PPRM_GROW = 4;

// Descriptors an accepted connection leaves free below the open-file
// limit, else it is refused.
constexpr size_t RUI_FD_RESERVE = 16;
// The kept descriptor count is trusted for this long, and only while this
// many are free by it: what the daemon opens without noting it in that
// time (the tasks of a burst of requests, each noted with a bound) stays
// well below the margin, so the budget holds as if counted every time.
constexpr long RUI_FDS_RECOUNT_MS = 100;
constexpr size_t RUI_FDS_RECOUNT_BELOW = 256;

// How long a listener stays unwatched after accept() ran out of
// descriptors or buffers.
constexpr long RUI_BACKOFF_MS = 250;

struct rui_socket_ctx;

// Makes the request object for an accepted descriptor; null refuses the
// connection (the caller closes it).
using rui_newrq_t = void *(*)(int fd, rui_socket_ctx *srv, void *aux);
// Releases a request object (closing its descriptor when still open).
using rui_rmrq_t = void (*)(void *rq);
// True when the request is older than tmout_ms and has queued itself for
// removal.
using rui_tmout_t = bool (*)(void *rq, size_t tmout_ms);
// Answers a connection refused for want of descriptors (non-blocking,
// never waits); the listener closes it after.
using rui_refuse_t = void (*)(int fd);

// The request callbacks of one group.
struct rui_socket_cb {
    n32_tag tag;  // tag of the group's request objects
    rui_newrq_t new_rq;
    rui_rmrq_t rm_rq;
    rui_tmout_t time_out;
    rui_refuse_t refuse;  // null: a refused connection is closed without a word
};

// The head every request object begins with.  tag, prev and next lie where
// a list element's header (dlep_hdr) has them.
struct rui_rq_header {
    n32_tag tag;
    rui_rq_header *prev;  // toward the tail (older)
    rui_rq_header *next;  // toward the head (newer)
    rui_socket_ctx *srv;  // the listener
    int fd;               // the client descriptor; -1 once closed
    n64_tag trk_tag;      // tracking tag
    bool is_link;         // in the link list, not the request list
    bool head_done;       // its head is in (whole or refused): never closed to make room
};

static_assert(offsetof(rui_rq_header, tag) == offsetof(dlep_hdr, type_id));
static_assert(offsetof(rui_rq_header, prev) == offsetof(dlep_hdr, prev));
static_assert(offsetof(rui_rq_header, next) == offsetof(dlep_hdr, next));

// One listener.
struct rui_socket_ctx {
    n32_tag tag;          // RSC_TAG once set up; 0 when not in use
    int sockfd;           // listening descriptor; -1 when not open
    fd_set accset;        // descriptors of open requests (those below FD_SETSIZE)
    dlep_t requests;      // open requests, oldest at the tail
    dlep_t links;         // links, oldest at the tail
    xvlst pprm;           // request pointers queued for removal
    bool deferred;        // stopped after having been started
    size_t rqcount;       // counter of the requests' tracking tags
    ssize_t nblk_count;   // unused
    listener_cfg *lc;     // its configuration entry
    n32_tag rqtag;        // the group's request tag (its name in messages)
    rui_socket_cb *cb;    // the group's callbacks
    // Back-off after accept() ran out of descriptors or buffers: a timer
    // registered with the listener as its context wakes the listener again.
    int bkoff_fd;         // the timer, -1 when none
    bool bkoff;           // the listening descriptor is unwatched until the timer fires
    bool bkoff_noted;     // the back-off was logged; cleared by the next accept
    size_t idle_closed;   // requests closed to make room, logged by the accept pass
};

static_assert(std::is_trivially_copyable_v<rui_socket_ctx>);

// All listeners of the daemon.
struct rui_ctx {
    rui_socket_ctx user[MAX_LISTENERS];
    rui_socket_ctx admin[MAX_LISTENERS];
    rui_socket_ctx custom[MAX_LISTENERS];
    fd_set user_fds;  // unused
    fd_set admin_fds;
    fd_set custom_fds;
};

static_assert(std::is_trivially_copyable_v<rui_ctx>);

// --- callbacks and contexts --------------------------------------------------------

// Copies the callbacks of group (0..2).
void rui_set_cb(int group, const rui_socket_cb *cb) noexcept;
// Zeroes ctx and sets up the listeners of the three groups from rc.  0 or
// the first failure.
int rui_ctx_init(rui_cfg *rc, rui_ctx *ctx) noexcept;
// Opens and registers every set-up listener.  0 or the first failure.
int rui_ctx_start(rui_ctx *ctx) noexcept;
// Destroys every listener with its requests.  0.
int rui_ctx_destroy(rui_ctx *ctx) noexcept;

// Sets up the contexts ls of group for the valid entries of lst (at most
// MAX_LISTENERS).  A group without callbacks is skipped with a warning.
// 0, or the request list's or removal queue's failure.
int rui_setup_listeners(int group, listener_cfg *lst, rui_socket_ctx *ls) noexcept;
// Starts each set-up listener of ls.  0 or the first failure.
int rui_enable_listeners(rui_socket_ctx *ls) noexcept;
// Opens the listening socket of lc and registers it.  0 or -1.
int rui_start_listener(listener_cfg *lc, rui_socket_ctx *ls) noexcept;
// Closes the listening socket; open requests stay.
void rui_stop_listener(rui_socket_ctx *ls) noexcept;
// Stops (or, with destroy, destroys) each set-up listener of ls.  0.
int stop_listeners(rui_socket_ctx *ls, bool destroy) noexcept;
// Stops a listener, removes its requests, drops its configuration entry
// and frees its lists; the context is free again.
void drop_listener(rui_socket_ctx *ls) noexcept;
// Frees the entry's interface record and marks it invalid and not owned.
// Returns lc.
listener_cfg *rui_drop_lconfig(listener_cfg *lc) noexcept;

// --- requests ------------------------------------------------------------------------

// Accepts up to max_accept pending connections of ls (flags: RUI_TCP_NODELAY)
// and makes a request of each.  0; the error of the last connection when
// the quit flag stops the pass right after it failed.
int rui_accept(rui_socket_ctx *ls, size_t max_accept, int flags, void *aux) noexcept;
// Makes, lists and registers a request for fd.  With MAX_RUI_QUEUED
// requests open, first closes the oldest whose head is not in (counted in
// ls->idle_closed).  0; 16 (EBUSY) when every open request has its head in;
// -1 when new_rq refuses; the event loop's error.  On failure fd is the
// caller's to close.
int rui_add_request(int fd, rui_socket_ctx *ls, void *aux) noexcept;
// Unregisters, unlinks and releases a request or link at once, also taking
// it out of the removal queue.  0, or -1 when it is not in its listener's
// list.
int rui_rm_request(void *rq) noexcept;
// Moves an open request from its listener's request list to the link list;
// its descriptor stays registered and wakes on its first byte
// (rui_link_fd).  0, or -1 when it is not an open request of the list or
// its descriptor cannot be set so (ERR).
int rui_make_link(void *rq) noexcept;
// Readies fd, a connection accepted on ls that is to be watched as a link
// (by a request or, duplicated, by a task), to wake its reader on the
// first byte: SO_RCVLOWAT back to 1 when the listener set a lowmark.  0, or
// -1 (logged).
int rui_link_fd(const rui_socket_ctx *ls, int fd) noexcept;
// Descriptors the process may still open below its open-file limit: the
// limit less those in use below it, counted in /proc/self/fd.  SIZE_MAX without a
// limit; 0 when they cannot be counted (none left to open the directory).
// The count is kept for rui_fds_free_est.
size_t rui_fds_free() noexcept;
// The same, from the last count kept up by hand (rui_fds_taken,
// rui_fds_given) while it is younger than RUI_FDS_RECOUNT_MS by the loop's
// clock and leaves at least RUI_FDS_RECOUNT_BELOW free; counted afresh
// otherwise, so that near the limit the answer is always exact.
size_t rui_fds_free_est() noexcept;
// True when at least spare descriptors are free (rui_fds_free_est; counted
// afresh when the kept count is within RUI_FDS_RECOUNT_BELOW of spare).
bool rui_fd_room(size_t spare) noexcept;
// Notes n descriptors opened (a generous bound will do) or closed since
// the last count.
void rui_fds_taken(size_t n) noexcept;
void rui_fds_given(size_t n) noexcept;
// Frees the requests and links queued for removal on every listener.
void rui_pprm_all(rui_ctx *ctx) noexcept;
// Offers every open request (links not) to its group's time_out callback.
void rui_tmout_all(rui_ctx *ctx, size_t tmout_ms) noexcept;
// True when ls holds fewer than max and fewer than 3/4 of max requests.
bool rui_should_listen(const rui_socket_ctx *ls, size_t max) noexcept;
// Slot-list matcher of a removal queue: non-zero when slot i holds what.
int is_ptr_match(void *data, size_t i, void *what) noexcept;

// --- tracking numbers ----------------------------------------------------------------

// Restarts *counter at 0 when it has reached maximum, then increments it;
// *tag = prefix and the counter as "%04lu", zero-filled.  A counter of more
// than five digits is a broken invariant.
void rui_mk_trknum(uint64_t *counter, n64_tag *tag, char prefix, uint64_t maximum) noexcept;
