#pragma once
// The event loop: one epoll set per process, driven by a table of callbacks
// that the program supplies once.  Each turn asks how long it may wait,
// waits, hands every ready descriptor to the read, write or error callback
// with the context registered for it, then runs post-processing and idle
// work in a fixed order.  It also keeps the loop's monotonic clock, read
// once after every wait, which the rest of the library and the daemon read
// instead of the system clock, so time-out checks cost no system call.
//
// Besides descriptors, the loop serves no-poll entries (always-ready
// descriptors served every turn without waiting) and file watches
// (inotify watches whose events reach on_file_modified).
#include <sys/types.h>

#include <cstdint>
#include <ctime>

#include "timeop.h"

// Flags passed to the read, write and error callbacks.
enum rqs_ev_flags : int {
    RQS_SOCKERR = 1,  // EPOLLERR was reported
    RQS_SOCKHUP = 2,  // EPOLLHUP or EPOLLRDHUP was reported
};

// Direction selectors of rqs_mod.
enum rqs_dir : int {
    RQS_READ = 1,
    RQS_WRITE = 2,
};

// Flags passed to on_file_modified.
enum rqs_watch_flags : int {
    RQS_RMV = 4,  // the file was moved or deleted
    RQS_FMOVED = 0x10000,
    RQS_FDELETED = 0x20000,
    RQS_ATTR = 0x40000,
};

// Events of a no-poll entry.
enum rqs_nopoll_event : uint32_t {
    RQS_EVENT_READ = 1,   // EPOLLIN
    RQS_EVENT_WRITE = 4,  // EPOLLOUT
};

// Stages of a turn, as rqs_ctx(GET_LOOP_STAGE) reports them.
enum eloop_stage : int {
    ELOOP_START = 0,   // update_tmout, the wait, time_out, no-poll entries
    ELOOP_EV = 1,      // the event callbacks
    ELOOP_POSTEV = 2,  // the first post_process and on_idle
    ELOOP_ENDPP = 3,   // the second post_process
};

// Selectors of rqs_fd_count and rqs_ctx.
enum rqs_fd_which : int {
    GET_TOTALFDS = 0,
    GET_POLLFDS = 1,
    GET_NOPOLLFDS = 2,
};
enum rqs_ctx_type : int {
    GET_LOOP_STAGE = 1,
};

constexpr int INOTIFY_BUFLEN = 4096;
constexpr size_t INO_WFD_CAP = 1024;

using rqs_event_cb = int (*)(int fd, int flags, void *udata, void *aux);

// The program's callbacks, in this order.  read, write and error must be
// set; a null slot among the others is skipped.
struct rqs_callbacks {
    // Before each wait: fills the wait limit (negative field: no limit; a
    // positive limit under 1 ms waits 1 ms, one past INT_MAX ms is clamped).
    void (*update_tmout)(struct timespec *tmout);
    // Once a turn after post-processing, unless an event callback failed;
    // non-zero ends the loop.
    int (*on_idle)();
    // A readable descriptor (and a no-poll reader).
    rqs_event_cb read;
    // A writable descriptor that is not readable (and a no-poll writer).
    rqs_event_cb write;
    // A descriptor that reports only error or hang-up bits.
    rqs_event_cb error;
    // Twice a turn, after the events and after on_idle; non-zero ends the loop.
    int (*post_process)();
    // A change of a watched file: (watch descriptor, RQS_RMV..., context).
    int (*on_file_modified)(int wd, int flags, void *udata, void *aux);
    // Right after each wait that does not end the loop; result ignored.
    int (*time_out)();
    // Only in a turn without any descriptor: true means no activity.
    bool (*is_dormant)();
};

struct rqs_config {
    rqs_callbacks cb;
    unsigned quit_on_zero_fds : 1;  // end in a turn with no descriptors and no activity
};

// --- life cycle ------------------------------------------------------------------------

// Copies *cfg, creates the epoll set and the inotify descriptor and reads
// the clock.  0; -1 when epoll or inotify cannot be created (logged); or
// the error of the watch map, without which file watches cannot be added.
int rqs_init(const rqs_config *cfg) noexcept;
// Runs turns until the quit flag is set, a wait fails other than by
// interruption, post_process or on_idle returns non-zero, or a turn had
// failed event callbacks.  0 after a quit signal; else the error, or the
// number of failed callbacks of the last turn.
int rqs_event_loop() noexcept;
// Closes the epoll set and the inotify descriptor and frees the loop's
// arrays; contexts are the owners'.
void rqs_destroy() noexcept;

// --- descriptors ---------------------------------------------------------------------------
// Level-triggered.  The callbacks get udata; with a null udata they get the
// descriptor itself as the fd argument (and as udata).  0, or -1 with the
// epoll error logged (ENOMEM when the loop cannot note the registration).

int rqs_add_reader(int fd, void *udata) noexcept;
int rqs_add_writer(int fd, void *udata) noexcept;
// Switches interest to RQS_READ, RQS_WRITE or both; neither leaves only
// hang-up and error reports.
int rqs_mod(int fd, void *udata, int read_write) noexcept;
int rqs_mod_reader(int fd, void *udata) noexcept;
// Removes fd from the set (both directions).  Events of the turn that are
// not dispatched yet and carry what fd was registered with are dropped, so
// its context may be freed and its number reused at once; the removal
// counts also when epoll no longer knows fd (closed first).  Contexts still
// live until post_process by the owners' rule.
int rqs_rm_fd(int fd, bool is_reader, bool is_writer) noexcept;

// --- the loop's clock and state -----------------------------------------------------------------

// The loop's clock ("now" of the current turn): the address of a value that
// stays valid for the whole process.  Zero until first refreshed or set.
const struct timespec *rqs_now_ref() noexcept;
// A copy of the loop's clock.
struct timespec rqs_now() noexcept;
// Reads CLOCK_MONOTONIC into the loop's clock.  Called by the loop itself at
// start-up and after every wait; a clock failure is fatal (perror, abort()).
void rqs_update_clock() noexcept;
// Sets the loop's clock to *tms (zero when tms is null).  For tests and
// simulations that drive time-outs without waiting; the next refresh by the
// loop replaces the value.
void rqs_test_set_now(const struct timespec *tms) noexcept;
// GET_LOOP_STAGE: the stage as a pointer-sized integer; else null (logged).
void *rqs_ctx(int type, void *aux) noexcept;
// Registered descriptors: GET_TOTALFDS, GET_POLLFDS or GET_NOPOLLFDS.
size_t rqs_fd_count(int which) noexcept;

// --- no-poll entries -----------------------------------------------------------------------------

// Adds an always-ready entry served every turn (the wait then has no
// time-out); its slot index goes to *pindex when given.  0 or -1.
int rqs_add_nopoll_reader(int fd, ssize_t *pindex, void *udata) noexcept;
int rqs_add_nopoll_writer(int fd, ssize_t *pindex, void *udata) noexcept;
// Removes an entry at once (not from inside a loop callback).
int rqs_rm_nopoll(ssize_t index) noexcept;
// Schedules a removal, safe inside callbacks: applied at the next purge,
// always before the entry could be served again.  0.
int rqs_pprm_nopoll(ssize_t index) noexcept;
// Applies the scheduled removals, setting each owner's index to -1.  0.
int rqs_purge_nopoll_rm() noexcept;

// --- file watches ----------------------------------------------------------------------------------

// Watches a file for modification, attribute change, close after writing,
// deletion and move; the watch descriptor, or -1 (logged).
int rqs_add_file_watch(void *udata, const char *filepath) noexcept;
// Removes a watch; 0 or -1 (logged).
int rqs_rm_file_watch(int wd) noexcept;
