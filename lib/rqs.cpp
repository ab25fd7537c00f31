#include "rqs.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "app.globals.h"
#include "fdio.h"
#include "gkh.h"
#include "lfxtypes.h"
#include "log.h"
#include "psensor.h"
#include "syswrap.h"
#include "util.h"
#include "xvdat.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// One no-poll entry.
struct nopoll_ref {
    uint32_t events;  // RQS_EVENT_READ or RQS_EVENT_WRITE
    int fd;
    void *udata;
    ssize_t *index;  // the owner's copy of the slot index, set to -1 on purge
};

// The loop state; one process-wide instance.
struct rqs_context {
    int loopfd;              // the epoll descriptor, 0 before rqs_init
    xvec events;             // epoll_event: the wait's result array
    size_t poll_fds;         // descriptors registered in epoll
    xvlst nopoll;            // nopoll_ref entries by slot index
    xvec nopoll_rm;          // ssize_t: slot indices to remove at the next purge
    struct timespec tmout;   // the wait limit from update_tmout
    struct timespec itime;   // the loop's clock: CLOCK_MONOTONIC after each wait
    int loop_stage;          // eloop_stage
    xvec regs;               // fd_reg by descriptor: what each one is registered with
    size_t ev_next;          // the next event of the turn to dispatch
};

// The epoll data a descriptor is registered with, so that its removal can
// find the events of the turn that still carry it.
struct fd_reg {
    uint64_t data;
    bool set;
};

// The file-watch state.  It is itself the epoll context of the inotify
// descriptor, so it begins with a tag like every other context.
struct inotify_ctx {
    n32_tag tag;
    int fd;
    unsigned in_epoll : 1;
    alignas(inotify_event) char buf[INOTIFY_BUFLEN];
    nkht_t wfd_ht;  // watch descriptor -> caller's context
    ssize_t wfd_count;
};

constexpr n32_tag INO_TAG = {{'i', 'n', 'o', '\0'}};
constexpr uint32_t INO_WATCH_MASK =
    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
static_assert(INO_WATCH_MASK == 0xC0E);

constexpr size_t EVENTS_STEP = 10;
constexpr size_t REGS_STEP = 64;
constexpr size_t NOPOLL_RESERVE = 20;
constexpr size_t NOPOLL_STEP = 10;
constexpr int FULL_EVENTS_WARN = 15;
constexpr int INOTIFY_MAX_READS = 64;

rqs_context g_rqs;
rqs_config g_cfg_copy;
const rqs_config *g_cfg = &g_cfg_copy;
inotify_ctx g_ino = {INO_TAG, -1, 0, {}, 0, 0};

// The eventfd the signal handlers write after setting their flags: a
// signal caught between the loop's look at g_quit and its wait would
// otherwise leave the wait to run its whole course, for ever when nothing
// else is due.  Its address is its epoll context; it is not counted among
// the program's descriptors.
struct signal_wake {
    int fd;
} g_wake = {-1};

// epoll data for a registration: the context, or the descriptor itself.
epoll_data_t mk_data(int fd, void *udata)
{
    epoll_data_t d;
    if (udata)
        d.ptr = udata;
    else
        d.u64 = uint32_t(fd);
    return d;
}

epoll_event *event_at(size_t i) { return static_cast<epoll_event *>(g_rqs.events.data) + i; }
nopoll_ref *nopoll_at(size_t i)
{
    return static_cast<nopoll_ref *>(xv_blk(g_rqs.nopoll.data, i, sizeof(nopoll_ref)));
}
ssize_t *nopoll_rm_at(size_t i) { return static_cast<ssize_t *>(g_rqs.nopoll_rm.data) + i; }
fd_reg *reg_of(int fd)
{
    if (fd < 0 || size_t(fd) >= g_rqs.regs.len) return nullptr;
    return static_cast<fd_reg *>(g_rqs.regs.data) + fd;
}

// Room for the registration of fd: false (logged) when it cannot be made.
bool reserve_reg(int fd)
{
    if (fd < 0) return true;  // epoll refuses it anyway
    const size_t want = size_t(fd) + 1;
    if (want > g_rqs.regs.len) {
        if (xvec_reserve(&g_rqs.regs, want, sizeof(fd_reg), REGS_STEP) != 0) {
            log_err("%s: no memory to register fd%d\n", "rqs_add", fd);
            errno = ENOMEM;
            return false;
        }
        g_rqs.regs.len = want;  // reserved blocks are zeroed: not registered
    }
    return true;
}

// Drops the events of the turn not dispatched yet that carry data.
void drop_pending(uint64_t data)
{
    for (size_t i = g_rqs.ev_next; i < g_rqs.events.len; ++i) {
        epoll_event *ev = event_at(i);
        if (ev->data.u64 == data) ev->events = 0;
    }
}

// Notes what fd is registered with.  A context replaced in this turn gets
// none of fd's pending events: its owner may free it at once.
void note_reg(int fd, void *udata)
{
    fd_reg *r = reg_of(fd);
    if (!r) return;
    const uint64_t data = mk_data(fd, udata).u64;
    if (r->set && r->data != data) drop_pending(r->data);
    *r = fd_reg{data, true};
}

// On removal: the pending events of fd go, as its context may be freed and
// its number taken again.
void forget_reg(int fd)
{
    fd_reg *r = reg_of(fd);
    if (!r || !r->set) return;
    drop_pending(r->data);
    *r = fd_reg{};
}

const char *op_name(int op)
{
    switch (op) {
    case EPOLL_CTL_ADD: return "EPOLL_CTL_ADD";
    case EPOLL_CTL_MOD: return "EPOLL_CTL_MOD";
    case EPOLL_CTL_DEL: return "EPOLL_CTL_DEL";
    default: return "?";
    }
}

int do_epoll_watch(int op, uint32_t events, int fd, void *udata)
{
    lfx_assert(g_rqs.loopfd >= 0);
    epoll_event ev{};
    ev.events = events;
    ev.data = mk_data(fd, udata);
    int rc = epoll_ctl(g_rqs.loopfd, op, fd, &ev);
    if (rc != 0) {
        int err = errno;
        log_err("%s: epoll_ctl(%d, %s, %d, {0x%lx, %p}) ERROR(%d): %s\n", __func__, g_rqs.loopfd,
                op_name(op), fd, (unsigned long)events, ev.data.ptr, err, strerror(err));
        errno = err;
    } else {
        log_dbg("%s: OK fd=%d %s to epoll with events=0x%lx, data=%p\n", __func__, fd, op_name(op),
                (unsigned long)events, ev.data.ptr);
    }
    return rc;
}

int add_fd(const char *caller, int fd, void *udata, uint32_t events)
{
    if (!reserve_reg(fd)) return -1;
    int rc = do_epoll_watch(EPOLL_CTL_ADD, events, fd, udata);
    if (rc == 0) {
        note_reg(fd, udata);
        ++g_rqs.poll_fds;
        log_dbg("%s: fd%d, poll_fds count=%lu\n", caller, fd, (unsigned long)g_rqs.poll_fds);
    }
    return rc;
}

int mod_fd(int fd, void *udata, uint32_t events)
{
    int rc = do_epoll_watch(EPOLL_CTL_MOD, events, fd, udata);
    if (rc == 0) note_reg(fd, udata);
    return rc;
}

// --- no-poll entries ---------------------------------------------------------------

void init_nopoll()
{
    xvlst_reset(&g_rqs.nopoll);
    xvec_reset(&g_rqs.nopoll_rm);
    if (xvlst_reserve(&g_rqs.nopoll, NOPOLL_RESERVE, sizeof(nopoll_ref), NOPOLL_STEP) != 0 ||
        xvec_reserve(&g_rqs.nopoll_rm, NOPOLL_RESERVE, sizeof(ssize_t), NOPOLL_STEP) != 0) {
        log_panic("%s: cannot reserve memory for g_rqs.nopoll/rm\n", "init_nopoll");
        lfx_abort();
    }
}

int add_nopoll(const char *caller, uint32_t events, int fd, ssize_t *pindex, void *udata)
{
    ssize_t j = xvlst_add(&g_rqs.nopoll, sizeof(nopoll_ref), 1);
    if (j < 0) return -1;
    *nopoll_at(size_t(j)) = nopoll_ref{events, fd, udata, pindex};
    if (pindex) *pindex = j;
    log_dbg("%s[%ld]: fd%d, events=0x%lx, udata=%p, total=%ld events.\n", caller, (long)j, fd,
            (unsigned long)events, udata, (long)g_rqs.nopoll.len);
    return 0;
}

void free_nopoll_slot(ssize_t j)
{
    if (xvlst_del(&g_rqs.nopoll, size_t(j), nullptr) != 0) {
        log_panic("%s: failed to remove j=%ld\n", "rqs_rm_nopoll", (long)j);
        lfx_abort();
    }
}

// Makes room for as many removals as there are entries, so scheduling one
// inside a callback never allocates.  Removals scheduled outside the
// no-poll dispatch (time_out, on_idle, the second post_process) are
// applied first: a removed entry is never served again.
void setup_nopoll_events()
{
    if (g_rqs.nopoll_rm.len) rqs_purge_nopoll_rm();
    if (g_rqs.nopoll.len > g_rqs.nopoll_rm.max_len &&
        xvec_reserve(&g_rqs.nopoll_rm, g_rqs.nopoll.len, sizeof(ssize_t), 1) != 0) {
        log_panic("Failed to reserve %ld elements for nopoll_rm container.\n",
                  (long)g_rqs.nopoll.len);
        lfx_abort();
    }
}

int on_nopoll(void *data, size_t i)
{
    const nopoll_ref *np = static_cast<const nopoll_ref *>(xv_blk(data, i, sizeof(nopoll_ref)));
    log_dbg("%s: idx=%ld fd=%d udata=%p\n", __func__, (long)i, np->fd, np->udata);
    if (np->events == RQS_EVENT_READ) return g_cfg->cb.read(np->fd, 0, np->udata, nullptr);
    if (np->events == RQS_EVENT_WRITE) return g_cfg->cb.write(np->fd, 0, np->udata, nullptr);
    log_err("%s: unrecognized event mask: 0x%lx\n", __func__, (unsigned long)np->events);
    return -1;
}

// Serves every taken entry in ascending slot order; the result of the last.
int process_nopoll_events()
{
    int rc = 0;
    size_t last = g_rqs.nopoll.last;
    for (size_t i = 0; i <= last && i < g_rqs.nopoll.max_len; ++i)
        if (g_rqs.nopoll.taken[i]) rc = on_nopoll(g_rqs.nopoll.data, i);
    return rc;
}

// --- file watches ---------------------------------------------------------------------

const char *inotify_mask_str(uint32_t mask, char *buf)
{
    static constexpr struct {
        uint32_t bit;
        char letter;
    } letters[] = {
        {IN_ACCESS, 'A'},      {IN_ATTRIB, 'T'},      {IN_CREATE, 'c'},      {IN_DELETE, 'd'},
        {IN_DELETE_SELF, 'D'}, {IN_MODIFY, 'y'},      {IN_MOVE_SELF, 'M'},   {IN_MOVED_FROM, 'f'},
        {IN_MOVED_TO, 't'},    {IN_OPEN, 'O'},        {IN_CLOSE_WRITE, 'W'}, {IN_CLOSE_NOWRITE, 'w'},
    };
    char *p = buf;
    for (const auto &l : letters)
        if (mask & l.bit) *p++ = l.letter;
    *p = '\0';
    return buf;
}

int process_inmodify(const inotify_event *ev)
{
    void *udata = nullptr;
    if (nkht_get(g_ino.wfd_ht, ev->wd, &udata) != 0) {
        log_err("%s: wfd=%d is not found.\n", "wfd_map_get", ev->wd);
        return 0;
    }
    if (!g_cfg->cb.on_file_modified) return 0;
    int flags = 0;
    if (ev->mask & IN_MOVE_SELF) flags |= RQS_RMV | RQS_FMOVED;
    if (ev->mask & IN_DELETE_SELF) flags |= RQS_RMV | RQS_FDELETED;
    if (ev->mask & IN_ATTRIB) flags |= RQS_ATTR;
    return g_cfg->cb.on_file_modified(ev->wd, flags, udata, nullptr);
}

// Hands the n bytes of inotify records in the buffer to their watches;
// the number of records.
long walk_inotify_records(size_t n)
{
    long records = 0;
    size_t off = 0;
    while (off + sizeof(inotify_event) <= n) {
        const auto *ev = reinterpret_cast<const inotify_event *>(g_ino.buf + off);
        size_t reclen = sizeof(inotify_event) + ev->len;
        if (off + reclen > n) break;
        char letters[16];
        log_dbg("INOTIFY (ev=%p): wd%d, mask=0x%04x [%s] cookie=%u [%s]\n",
                static_cast<const void *>(ev), ev->wd, ev->mask,
                inotify_mask_str(ev->mask, letters), ev->cookie, ev->len ? ev->name : "");
        if (ev->mask & INO_WATCH_MASK)
            process_inmodify(ev);
        else if (ev->mask & IN_IGNORED)
            log_dbg("%s: IN_IGNORED (0x%lx)\n", "process_inotify_records",
                    (unsigned long)ev->mask);
        else
            log_warn("%s: unhandled inotify mask: 0x%lx\n", "process_inotify_records",
                     (unsigned long)ev->mask);
        off += reclen;
        ++records;
    }
    return records;
}

// Reads the pending records a buffer at a time until none is left (the
// descriptor is non-blocking), at most INOTIFY_MAX_READS buffers a turn:
// what is left then makes the descriptor readable again next turn.
int process_inotify_records(int flags)
{
    if (flags & (RQS_SOCKERR | RQS_SOCKHUP)) {
        log_panic("%s: error condition on inotify fd=%d\n", __func__, g_ino.fd);
        lfx_abort();
    }
    long records = 0;
    for (int reads = 0; reads < INOTIFY_MAX_READS; ++reads) {
        errno = 0;
        ssize_t n = nread(g_ino.fd, g_ino.buf, sizeof(g_ino.buf), 0);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;  // logged by the read
            break;
        }
        log_dbg("%s: %ld bytes of inotify data read\n", __func__, (long)n);
        records += walk_inotify_records(size_t(n));
    }
    log_dbg("%s: %ld inotify_event records processed\n", __func__, records);
    return 0;
}

void rm_watch_quietly(int wd)
{
    if (inotify_rm_watch(g_ino.fd, wd) != 0)
        log_err("%s: inotify_rm_watch(%d, %d) ERROR(%d): %s\n", "rqs_add_file_watch", g_ino.fd,
                wd, errno, strerror(errno));
}

// --- one turn -------------------------------------------------------------------------

// Dispatches one event by its bits.  The callbacks get the low 32 bits of
// the stored value as the descriptor, and the stored value itself.
int on_event(const epoll_event &ev)
{
    if (ev.data.ptr == &g_wake) {  // a handler's wake: the flags are read at the top of the turn
        uint64_t n;
        (void)!read(g_wake.fd, &n, sizeof(n));
        return 0;
    }
    int flags = 0;
    if (ev.events & EPOLLERR) flags |= RQS_SOCKERR;
    if (ev.events & (EPOLLHUP | EPOLLRDHUP)) flags |= RQS_SOCKHUP;
    void *udata = ev.data.ptr;
    int fd = int(uint32_t(ev.data.u64));
    const rqs_callbacks &cb = g_cfg->cb;
    if (!(ev.events & (EPOLLIN | EPOLLOUT)) && flags) {
        psensor_scope s(PRF_EVERR);
        return cb.error(fd, flags, udata, nullptr);
    }
    if (ev.events & EPOLLIN) {
        if (udata == &g_ino) return process_inotify_records(flags);
        psensor_scope s(PRF_EVREAD);
        return cb.read(fd, flags, udata, nullptr);
    }
    if (ev.events & EPOLLOUT) {
        psensor_scope s(PRF_EVWRITE);
        return cb.write(fd, flags, udata, nullptr);
    }
    log_err("%s: unsupported event mask: 0x%lx\n", __func__, (unsigned long)ev.events);
    return -1;
}

// The event array holds every registered descriptor (at least one slot, so
// a turn without descriptors sleeps until its time-out instead of failing).
void mk_event_space()
{
    // The signal wake needs no slot of its own: a wait that fills every
    // slot returns anyway, and the loop then reads the flags.
    size_t want = g_rqs.poll_fds ? g_rqs.poll_fds : 1;
    if (want <= g_rqs.events.max_len) return;
    if (xvec_reserve(&g_rqs.events, want, sizeof(epoll_event), EVENTS_STEP) != 0) {
        log_err("%s: xvec_reserve failed\n", __func__);
        lfx_abort();
    }
}

// The wait in milliseconds: -1 (no limit) for a negative field; a positive
// wait under a millisecond becomes one (truncated to 0 it would turn the
// loop into a busy loop until the deadline); a wait beyond INT_MAX ms is
// clamped instead of wrapping.
int wait_limit_ms(const struct timespec &t)
{
    if (t.tv_sec < 0 || t.tv_nsec < 0) return -1;
    constexpr long max_ms = INT_MAX;
    if (t.tv_sec >= max_ms / 1000) return INT_MAX;
    const long ms = t.tv_sec * 1000 + std::min<long>(t.tv_nsec / 1000000, max_ms);
    if (ms == 0) return t.tv_nsec > 0 ? 1 : 0;
    return int(std::min(ms, max_ms));
}

int wait4events()
{
    mk_event_space();
    int limit = wait_limit_ms(g_rqs.tmout);
    if (g_rqs.nopoll.len) {
        log_dbg("%s: no-poll events present: changing to 0 timeout\n", __func__);
        limit = 0;
    }
    log_dbg("%s: timeout=%f sec\n", __func__, limit < 0 ? -1.0 : limit / 1000.0);
    int capacity = int(g_rqs.events.max_len);
    int n;
    {
        psensor_scope s(PRF_EVIDLE);
        n = epoll_wait(g_rqs.loopfd, event_at(0), capacity, limit);
    }
    int err = errno;
    if (n < 0) {
        if (err == EINTR)
            log_info("%s interrupted, quit=%d\n", __func__, int(g_quit));
        else
            log_err("%s: epoll_wait(%d...) ERROR(%d): %s\n", __func__, g_rqs.loopfd, err,
                    strerror(err));
    } else {
        if (n > FULL_EVENTS_WARN && n == capacity)
            log_warn("%s: all event slots populated, might need more\n", __func__);
        g_rqs.events.len = size_t(n);
        if (n > 0) log_dbg("%s: got %d events\n", __func__, n);
    }
    rqs_update_clock();
    log_dbg("%s: rqs time: %lu.%09lu\n", __func__, (unsigned long)g_rqs.itime.tv_sec,
            (unsigned long)g_rqs.itime.tv_nsec);
    // Handlers only note the signals; their lines are written here.
    log_caught_signals();
    errno = err;
    return n;
}

}  // namespace

// --- life cycle -------------------------------------------------------------------------

int rqs_init(const rqs_config *cfg) noexcept
{
    lfx_assert(cfg);
    lfx_assert(cfg->cb.read && cfg->cb.write && cfg->cb.error);
    g_cfg_copy = *cfg;
    g_rqs = rqs_context{};
    g_rqs.loopfd = epoll_create1(EPOLL_CLOEXEC);
    if (g_rqs.loopfd < 0) {
        log_err("%s: epoll_create1() ERROR(%d): %s\n", __func__, errno, strerror(errno));
        return -1;
    }
    init_nopoll();
    g_rqs.tmout.tv_sec = -1;
    g_wake.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event wev{};
    wev.events = EPOLLIN;
    wev.data.ptr = &g_wake;
    if (g_wake.fd < 0 || epoll_ctl(g_rqs.loopfd, EPOLL_CTL_ADD, g_wake.fd, &wev) != 0) {
        const int err = errno;
        log_err("%s: signal wake ERROR(%d): %s\n", __func__, err, strerror(err));
        if (g_wake.fd >= 0) close(g_wake.fd);
        g_wake.fd = -1;
        return -1;
    }
    set_signal_wake_fd(g_wake.fd);
    g_ino.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g_ino.fd < 0) {
        log_err("%s: inotify_init1 ERROR(%d): %s\n", __func__, errno, strerror(errno));
        return -1;
    }
    int rc = nkht_create(&g_ino.wfd_ht, INO_WFD_CAP, tw_shift);
    if (rc != 0) log_err("%s: failed to create wfd/inotify lookup\n", __func__);
    rqs_update_clock();
    log_dbg("%s: rqs time: %lu.%09lu\n", __func__, (unsigned long)g_rqs.itime.tv_sec,
            (unsigned long)g_rqs.itime.tv_nsec);
    return rc;
}

void rqs_destroy() noexcept
{
    set_signal_wake_fd(-1);
    if (g_wake.fd >= 0) W_close(__func__, g_wake.fd);
    g_wake.fd = -1;
    if (g_ino.fd >= 0) W_close(__func__, g_ino.fd);
    g_ino.fd = -1;
    g_ino.in_epoll = 0;
    g_ino.wfd_count = 0;
    if (g_ino.wfd_ht) nkht_destroy(g_ino.wfd_ht, nullptr);
    g_ino.wfd_ht = 0;
    if (g_rqs.loopfd > 0) W_close(__func__, g_rqs.loopfd);
    g_rqs.loopfd = -1;
    g_rqs.poll_fds = 0;
    xvlst_reset(&g_rqs.nopoll);
    xvec_reset(&g_rqs.nopoll_rm);
    xvec_reset(&g_rqs.events);
    xvec_reset(&g_rqs.regs);
    g_rqs.ev_next = 0;
}

int rqs_event_loop() noexcept
{
    lfx_assert(g_rqs.loopfd > 0);
    const rqs_callbacks &cb = g_cfg->cb;
    int rc = 0;
    long failed = 0;
    bool loop_sensor = false;
    if (cb.update_tmout) cb.update_tmout(&g_rqs.tmout);
    log_info("Entering event loop\n");

    while (rc == 0 && !g_quit) {
        failed = 0;
        g_rqs.loop_stage = ELOOP_START;
        size_t nopolls = g_rqs.nopoll.len;
        bool active = g_rqs.poll_fds || nopolls;
        if (!active && cb.is_dormant) active = !cb.is_dormant();
        if (g_cfg->quit_on_zero_fds && !active) {
            log_crit("%s: no fd's, no activity, quitting now.\n", __func__);
            break;
        }
        g_rqs.events.len = 0;
        g_rqs.ev_next = 0;
        if (g_rqs.poll_fds > 0 || nopolls == 0) {
            if (cb.update_tmout) cb.update_tmout(&g_rqs.tmout);
            if (wait4events() < 0) {
                rc = errno;
                if (rc != EINTR || g_quit) break;
                rc = 0;
            }
            if (cb.time_out) cb.time_out();
        }

        loop_sensor = psensor_start(PRF_EVLOOP);
        setup_nopoll_events();
        if (g_rqs.nopoll.len) {
            int r = process_nopoll_events();
            if (r != 0) {
                log_err("%s: FAILED(%d)\n", "process_nopoll_events", r);
                rc = r;
                break;
            }
        }
        rqs_purge_nopoll_rm();

        size_t nev = g_rqs.events.len;
        if (nev) log_dbg("%s: processing %d pollable events\n", __func__, int(nev));
        g_rqs.loop_stage = ELOOP_EV;
        while (g_rqs.ev_next < nev) {
            const epoll_event ev = *event_at(g_rqs.ev_next++);
            if (ev.events && on_event(ev) != 0) ++failed;  // 0: removed in this turn
        }

        g_rqs.loop_stage = ELOOP_POSTEV;
        if (cb.post_process) {
            psensor_scope s(PRF_EVPP);
            if ((rc = cb.post_process()) != 0) break;
        }
        rqs_purge_nopoll_rm();
        if (failed) {
            log_dbg("%s: failed %ld events\n", __func__, failed);
            break;
        }
        if (cb.on_idle && (rc = cb.on_idle()) != 0) break;

        g_rqs.loop_stage = ELOOP_ENDPP;
        if (cb.post_process) {
            psensor_scope s(PRF_EVPP);
            if ((rc = cb.post_process()) != 0) break;
        }
        if (loop_sensor) psensor_stop(PRF_EVLOOP);
        loop_sensor = false;
    }

    if (loop_sensor) psensor_stop(PRF_EVLOOP);
    if (rc == EINTR && g_quit) rc = 0;
    log_info("Exiting event loop, %d failed, rc=%d, quit=%d\n", int(failed), rc, int(g_quit));
    return rc ? rc : int(failed);
}

// --- descriptors ----------------------------------------------------------------------------

int rqs_add_reader(int fd, void *udata) noexcept { return add_fd(__func__, fd, udata, EPOLLIN); }
int rqs_add_writer(int fd, void *udata) noexcept { return add_fd(__func__, fd, udata, EPOLLOUT); }

int rqs_mod(int fd, void *udata, int read_write) noexcept
{
    uint32_t events;
    const char *what;
    switch (read_write & (RQS_READ | RQS_WRITE)) {
    case RQS_READ: events = EPOLLIN, what = "R"; break;
    case RQS_WRITE: events = EPOLLOUT, what = "W"; break;
    case RQS_READ | RQS_WRITE: events = EPOLLIN | EPOLLOUT, what = "RW"; break;
    default: events = EPOLLHUP, what = "H"; break;
    }
    log_dbg("%s: fd%d, udata=%p, flags='%s'\n", __func__, fd, udata, what);
    return mod_fd(fd, udata, events);
}

int rqs_mod_reader(int fd, void *udata) noexcept { return mod_fd(fd, udata, EPOLLIN); }

int rqs_rm_fd(int fd, bool is_reader, bool is_writer) noexcept
{
    (void)is_reader;
    (void)is_writer;
    if (g_rqs.loopfd < 0) return 0;
    // Also when the descriptor is closed already (epoll then fails): the
    // owner is done with it either way.
    forget_reg(fd);
    int rc = epoll_ctl(g_rqs.loopfd, EPOLL_CTL_DEL, fd, nullptr);
    if (rc == 0) {
        --g_rqs.poll_fds;
    } else {
        int err = errno;
        log_err("%s: epoll_ctl(%d, EPOLL_CTL_DEL, %d,..) ERROR(%d): %s\n", __func__, g_rqs.loopfd,
                fd, err, strerror(err));
        errno = err;
    }
    log_dbg("%s: REMOVE fd=%d from epoll %s [rc=%d]\n", __func__, fd, rc ? "FAILED" : "OK", rc);
    return rc;
}

// --- clock and state -----------------------------------------------------------------------

const struct timespec *rqs_now_ref() noexcept { return &g_rqs.itime; }
struct timespec rqs_now() noexcept { return g_rqs.itime; }
void rqs_update_clock() noexcept { set_now(&g_rqs.itime); }

void rqs_test_set_now(const struct timespec *tms) noexcept
{
    g_rqs.itime = tms ? *tms : timespec{0, 0};
}

void *rqs_ctx(int type, void *aux) noexcept
{
    (void)aux;
    if (type == GET_LOOP_STAGE) return reinterpret_cast<void *>(intptr_t(g_rqs.loop_stage));
    log_err("%s: invalid request type: %d\n", __func__, type);
    return nullptr;
}

size_t rqs_fd_count(int which) noexcept
{
    switch (which) {
    case GET_TOTALFDS: return g_rqs.poll_fds + g_rqs.nopoll.len;
    case GET_POLLFDS: return g_rqs.poll_fds;
    case GET_NOPOLLFDS: return g_rqs.nopoll.len;
    default:
        log_err("%s: invalid specifier: %d\n", __func__, which);
        lfx_assert(!"invalid rqs_fd_count specifier");
        return 0;
    }
}

// --- no-poll entries ------------------------------------------------------------------------

int rqs_add_nopoll_reader(int fd, ssize_t *pindex, void *udata) noexcept
{
    return add_nopoll(__func__, RQS_EVENT_READ, fd, pindex, udata);
}

int rqs_add_nopoll_writer(int fd, ssize_t *pindex, void *udata) noexcept
{
    return add_nopoll(__func__, RQS_EVENT_WRITE, fd, pindex, udata);
}

int rqs_rm_nopoll(ssize_t index) noexcept
{
    free_nopoll_slot(index);
    return 0;
}

int rqs_pprm_nopoll(ssize_t index) noexcept
{
    lfx_assert(index >= 0);
    ssize_t pos = xvec_add(&g_rqs.nopoll_rm, sizeof(ssize_t), NOPOLL_STEP);
    if (pos < 0) {
        log_panic("%s: cannot add an item to nopoll_rm\n", __func__);
        lfx_abort();
    }
    *nopoll_rm_at(size_t(pos)) = index;
    log_dbg("%s: added no-poll event[%ld] at pos=%ld, total: %ld no-poll events.\n", __func__,
            (long)index, (long)pos, (long)g_rqs.nopoll.len);
    return 0;
}

int rqs_purge_nopoll_rm() noexcept
{
    for (size_t i = 0; i < g_rqs.nopoll_rm.len; ++i) {
        ssize_t j = *nopoll_rm_at(i);
        nopoll_ref *np = nopoll_at(size_t(j));
        log_dbg("%s: fd=%d, udata=%p (j=%ld)\n", __func__, np->fd, np->udata, (long)j);
        if (np->index) *np->index = -1;
        free_nopoll_slot(j);
    }
    g_rqs.nopoll_rm.len = 0;
    return 0;
}

// --- file watches ----------------------------------------------------------------------------

int rqs_add_file_watch(void *udata, const char *filepath) noexcept
{
    int wd = inotify_add_watch(g_ino.fd, filepath, INO_WATCH_MASK);
    if (wd < 0) {
        log_err("%s: inotify_add_watch(%p, '%s', %lu) ERROR(%d): %s\n", __func__, udata, filepath,
                (unsigned long)INO_WATCH_MASK, errno, strerror(errno));
        return -1;
    }
    void *data = udata;
    int rc = nkht_add(g_ino.wfd_ht, wd, &data);
    if (rc == 16)
        log_err("%s: key wfd=%d is already taken [%p]\n", "wfd_map_add", wd, data);
    else if (rc != 0)
        log_err("%s: ERROR(%d) adding wfd=%d, udata=%p: %s\n", "wfd_map_add", rc, wd, udata,
                strerror(rc));
    if (rc != 0) {
        rm_watch_quietly(wd);
        return -1;
    }
    if (!g_ino.in_epoll) {
        if (rqs_add_reader(g_ino.fd, &g_ino) != 0) {
            rm_watch_quietly(wd);
            nkht_rm(g_ino.wfd_ht, wd, nullptr);
            return -1;
        }
        g_ino.in_epoll = 1;
        log_dbg("inotify fd%d will be watched.\n", g_ino.fd);
    }
    ++g_ino.wfd_count;
    log_dbg("%s: inotify watch=%d for [%s]: udata=%p, wfd_count=%ld\n", __func__, wd, filepath,
            udata, (long)g_ino.wfd_count);
    return wd;
}

int rqs_rm_file_watch(int wd) noexcept
{
    if (inotify_rm_watch(g_ino.fd, wd) != 0) {
        log_err("%s: inotify_rm_watch(%d, %d) ERROR(%d): %s\n", __func__, g_ino.fd, wd, errno,
                strerror(errno));
        return -1;
    }
    --g_ino.wfd_count;
    lfx_assert(g_ino.wfd_count >= 0);
    if (g_ino.wfd_count == 0 && g_ino.in_epoll) {
        rqs_rm_fd(g_ino.fd, true, false);
        g_ino.in_epoll = 0;
        log_dbg("inotify fd%d is no longer watched.\n", g_ino.fd);
    }
    void *udata = nullptr;
    int rc = nkht_rm(g_ino.wfd_ht, wd, &udata);
    if (rc == 3) {
        log_err("%s: wfd=%d is not found.\n", "wfd_map_rm", wd);
        return -1;
    }
    if (rc != 0) {
        log_err("%s: ERROR(%d): %s\n", "wfd_map_rm", rc, strerror(rc));
        return -1;
    }
    log_dbg("%s: wfd=%d, udata=%p removed.\n", "wfd_map_rm", wd, udata);
    return 0;
}
