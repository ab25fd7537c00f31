#include "rui.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/timerfd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "app.globals.h"
#include "log.h"
#include "netops.h"
#include "rqs.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// The request callbacks of each group.
rui_socket_cb g_scb[RUI_MAX];

constexpr const char *k_group_names[RUI_MAX] = {"user", "admin", "custom"};

// A tag's text, terminated even when the tag fills its room.
template <size_t N>
struct tag_text {
    char s[N + 1];
};
tag_text<4> tagstr(n32_tag t)
{
    tag_text<4> r{};
    memcpy(r.s, t.sym4, 4);
    return r;
}
tag_text<8> tagstr(n64_tag t)
{
    tag_text<8> r{};
    memcpy(r.s, t.sym8, 8);
    return r;
}

rui_rq_header *hdr(void *rq) { return static_cast<rui_rq_header *>(rq); }

rui_socket_ctx *group_of(rui_ctx *ctx, int g)
{
    switch (g) {
    case RUI_USER: return ctx->user;
    case RUI_ADMIN: return ctx->admin;
    default: return ctx->custom;
    }
}

bool is_set_up(const rui_socket_ctx &ls)
{
    return ls.tag.num == RSC_TAG && ls.lc && ls.lc->is_valid && ls.requests;
}

const char *alias_of(const rui_socket_ctx *ls) { return ls->lc ? ls->lc->alias : ""; }

bool is_dgram_listener(const rui_socket_ctx *ls)
{
    return ls->lc && !ls->lc->domain_path[0] && ls->lc->proto == CFG_PROTO_UDP;
}

void mark(rui_socket_ctx *ls, int fd)
{
    if (fd < 0) return;
    if (fd >= FD_SETSIZE) {
        log_warn("%s: FD_SETSIZE overflow (fd%d > %d)\n", "rui_add_request", fd, FD_SETSIZE);
        return;
    }
    if (FD_ISSET(fd, &ls->accset))
        log_err("%s: socket fd=%d is already marked queued\n", "rui_add_request", fd);
    FD_SET(fd, &ls->accset);
}

void unmark(rui_socket_ctx *ls, int fd)
{
    if (fd >= 0 && fd < FD_SETSIZE) FD_CLR(fd, &ls->accset);
}

bool in_list(dlep_t lh, const void *rq)
{
    const auto *d = static_cast<const dlep_hdr *>(rq);
    return lh && (d->prev || d->next || dlep_head(lh) == rq);
}

// The list that holds rq: the links or the open requests.
dlep_t list_of(const rui_socket_ctx *ls, const rui_rq_header *h)
{
    return h->is_link ? ls->links : ls->requests;
}

// Removal step 1: forget the descriptor in the listener and the loop.
void unwatch(rui_socket_ctx *ls, rui_rq_header *h, const char *fn)
{
    if (h->fd < 0) return;
    unmark(ls, h->fd);
    if (rqs_rm_fd(h->fd, true, false) != 0)
        log_err("%s: failed to remove fd=%d from the monitored set.\n", fn, h->fd);
}

// Removal step 4: close the descriptor and release the object.
// The last count of descriptors in use (rui_fds_free), kept up by hand
// for those the daemon opens and closes since, so that the budget is not
// counted in /proc/self/fd on every connection and request.
struct fd_count {
    rlim_t limit;     // the open-file limit it was made under
    size_t used;      // descriptors in use below that limit
    timespec at;      // the loop's time of the count
    bool valid;
};
fd_count g_fds{};

// Descriptors free by the kept count; SIZE_MAX without one (no limit, or
// none could be made).
size_t kept_free()
{
    if (!g_fds.valid) return SIZE_MAX;
    return g_fds.used >= g_fds.limit ? 0 : size_t(g_fds.limit - rlim_t(g_fds.used));
}

void release(rui_socket_ctx *ls, void *rq, const char *fn)
{
    rui_rq_header *h = hdr(rq);
    const int fd = h->fd;
    if (fd >= 0) {
        W_close(fn, fd);
        rui_fds_given(1);
        h->fd = -1;
    }
    ls->cb->rm_rq(rq);
    log_info("%s: OK for fd=%d rq=%p\n", fn, fd, rq);
}

// Removal steps 1, 3 and 4, as the sweep takes them.
int remove_request(rui_socket_ctx *ls, void *rq, const char *fn)
{
    unwatch(ls, hdr(rq), fn);
    const dlep_t lh = list_of(ls, hdr(rq));
    if (!in_list(lh, rq)) {
        log_err("%s: failed to remove %s request [%p] from queue\n", fn, tagstr(ls->rqtag).s, rq);
        return -1;
    }
    dlep_rm(lh, rq);
    release(ls, rq, fn);
    return 0;
}

// Undoes a request that never got fully queued; its descriptor stays
// open for the caller to close once.
void unmake_request(rui_socket_ctx *ls, void *rq, bool listed)
{
    rui_rq_header *h = hdr(rq);
    unmark(ls, h->fd);
    if (listed) dlep_rm(ls->requests, rq);
    h->fd = -1;
    ls->cb->rm_rq(rq);
}

// Closes the oldest open request of ls whose head is not in, so that a
// new connection is not locked out by clients that hold connections and
// send nothing.  True when one was closed.
bool make_room(rui_socket_ctx *ls)
{
    for (auto *d = static_cast<dlep_hdr *>(dlep_tail(ls->requests)); d; d = d->next) {
        if (hdr(d)->head_done) continue;
        if (rui_rm_request(d) != 0) return false;
        ++ls->idle_closed;
        return true;
    }
    return false;
}

int set_cloexec(int fd)
{
    const int fl = fcntl(fd, F_GETFD);
    if (fl == -1 || fcntl(fd, F_SETFD, fl | FD_CLOEXEC) == -1) {
        log_err("%s: fcntl(%d, FD_CLOEXEC) ERROR(%d): %s\n", "set_cloexec", fd, errno,
                strerror(errno));
        return -1;
    }
    return 0;
}

// --- back-off ---------------------------------------------------------------------------
// accept() failing for want of descriptors or buffers leaves the connection
// pending and the level-triggered listener readable: retrying at once would
// spin.  The listener is unwatched instead, and a timer registered with the
// listener as context brings rui_accept back after RUI_BACKOFF_MS.

int open_backoff_timer(rui_socket_ctx *ls)
{
    const int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (tfd == -1) {
        log_err("%s: timerfd_create ERROR(%d): %s\n", "rui_start_listener", errno,
                strerror(errno));
        return -1;
    }
    if (rqs_add_reader(tfd, ls) != 0) {
        W_close("rui_start_listener", tfd);
        return -1;
    }
    ls->bkoff_fd = tfd;
    return 0;
}

void close_backoff_timer(rui_socket_ctx *ls)
{
    if (ls->bkoff_fd >= 0) {
        rqs_rm_fd(ls->bkoff_fd, true, false);
        W_close("rui_stop_listener", ls->bkoff_fd);
    }
    ls->bkoff_fd = -1;
    ls->bkoff = false;
    ls->bkoff_noted = false;
}

int arm_backoff_timer(rui_socket_ctx *ls)
{
    itimerspec its{};
    ms2timespec(RUI_BACKOFF_MS, &its.it_value);
    if (timerfd_settime(ls->bkoff_fd, 0, &its, nullptr) != 0) {
        log_err("%s: timerfd_settime ERROR(%d): %s\n", "rui_accept", errno, strerror(errno));
        return -1;
    }
    return 0;
}

void enter_backoff(rui_socket_ctx *ls, int err)
{
    if (ls->bkoff_fd < 0 || arm_backoff_timer(ls) != 0) return;
    if (rqs_rm_fd(ls->sockfd, true, false) != 0) {
        const itimerspec off{};
        timerfd_settime(ls->bkoff_fd, 0, &off, nullptr);
        return;
    }
    ls->bkoff = true;
    if (!ls->bkoff_noted) {
        log_warn("%s(%s): accept() ERROR(%d): %s, listener paused for %ld ms\n", "rui_accept",
                 alias_of(ls), err, strerror(err), RUI_BACKOFF_MS);
        ls->bkoff_noted = true;
    }
}

// True when the pause is over and the listener is watched again.
bool leave_backoff(rui_socket_ctx *ls)
{
    uint64_t ticks;
    if (W_read_f("rui_accept", ls->bkoff_fd, &ticks, sizeof(ticks), 0) != ssize_t(sizeof(ticks)))
        return false;
    if (rqs_add_reader(ls->sockfd, ls) != 0) {
        arm_backoff_timer(ls);
        return false;
    }
    ls->bkoff = false;
    return true;
}

// A datagram listener takes no requests: its datagrams are read and dropped
// so that it does not stay readable.
void drain_datagrams(rui_socket_ctx *ls, size_t max)
{
    char buf[512];
    size_t n = 0;
    while (n < max && W_read_f("rui_accept", ls->sockfd, buf, sizeof(buf), 0) >= 0) ++n;
    if (n)
        log_warn("%s(%s): %lu datagram(s) dropped, UDP listeners take no requests\n",
                 "rui_accept", alias_of(ls), (unsigned long)n);
}

// Step 3 of the accept pass for one connection: 0, or the failure (the
// connection then closed).
int take_connection(rui_socket_ctx *ls, int fd, const sockaddr_storage *sa, socklen_t salen,
                    int flags, void *aux)
{
    static const char *const fn = "rui_accept";
    char peer[128];
    if (!saddr_str(reinterpret_cast<const sockaddr *>(sa), salen, peer, sizeof(peer)))
        strcpy(peer, "?");
    log_info("Accepted %s request [fd=%d] from %s\n", alias_of(ls), fd, peer);

    int rc = set_nblock(fd, 1);
    if (rc == 0) rc = set_cloexec(fd);
    if (rc == 0 && (sa->ss_family == AF_INET || sa->ss_family == AF_INET6)) {
        const int lowmark = ls->lc ? ls->lc->lowmark : 0;
        if (lowmark > 0) {
            rc = W_setsockopt(fn, fd, SOL_SOCKET, SO_RCVLOWAT, &lowmark, sizeof(lowmark));
            if (rc == 0) log_info("%s: low watermark set to %d for fd=%d\n", fn, lowmark, fd);
        }
        if (rc == 0 && (flags & RUI_TCP_NODELAY)) rc = set_tcp_nodelay(fd, 1);
    }
    if (rc == 0) rc = rui_add_request(fd, ls, aux);
    if (rc != 0) {
        log_err("Error rc=%d processing connection [%s] fd=%d\n", rc, peer, fd);
        // Every open request has its head in: this one is told so, not
        // left to a bare close.
        if (rc == EBUSY && ls->cb->refuse) ls->cb->refuse(fd);
        W_close(fn, fd);
        rui_fds_given(1);
    }
    return rc;
}

// A connection that would leave too few descriptors free: answered when
// the group can, then closed, never queued.
void refuse_connection(rui_socket_ctx *ls, int fd)
{
    if (set_nblock(fd, 1) == 0 && ls->cb && ls->cb->refuse) ls->cb->refuse(fd);
    W_close("rui_accept", fd);
    rui_fds_given(1);
}

int sweep_one(void *data, size_t j, void *aux)
{
    auto *ls = static_cast<rui_socket_ctx *>(aux);
    void *rq = static_cast<void **>(data)[j];
    log_dbg("%s: %s [%s] (%p) j=%ld\n", "rui_pprm_all", tagstr(ls->rqtag).s,
            tagstr(hdr(rq)->trk_tag).s, rq, long(j));
    remove_request(ls, rq, "rui_pprm_all");
    return 0;
}

}  // namespace

// --- callbacks and contexts --------------------------------------------------------------

void rui_set_cb(int group, const rui_socket_cb *cb) noexcept
{
    lfx_assert(group >= 0 && group < RUI_MAX && cb);
    g_scb[group] = *cb;
}

int rui_setup_listeners(int group, listener_cfg *lst, rui_socket_ctx *ls) noexcept
{
    static const char *const fn = "rui_setup_listeners";
    lfx_assert(group >= 0 && group < RUI_MAX && lst && ls);
    rui_socket_cb *cb = &g_scb[group];
    size_t n = 0;
    if (!cb->new_rq && !cb->rm_rq) {
        // Files may name listeners of a group this program serves no
        // requests for: they are never opened.
        while (n < MAX_LISTENERS && lst[n].is_valid) ++n;
        if (n)
            log_warn("%s: no request handler for %s listeners, %lu skipped\n", fn,
                     k_group_names[group], (unsigned long)n);
        return 0;
    }
    for (; n < MAX_LISTENERS && lst[n].is_valid; ++n) {
        lfx_assert(cb->new_rq && cb->rm_rq);
        rui_socket_ctx &s = ls[n];
        int err = 0;
        s.requests = dlep_create(&err);
        if (s.requests) s.links = dlep_create(&err);
        if (!s.links) {
            log_err("%s: dlep_create() failed rc=%d\n", fn, err);
            if (s.requests) dlep_destroy(s.requests, nullptr);
            s.requests = 0;
            return err;
        }
        if (int rc = xvlst_reserve(&s.pprm, RUI_PPRM_RESERVE, RUI_PPRM_BLKSZ, RUI_PPRM_GROW);
            rc != 0) {
            log_err("%s: xvlst_reserve() failed rc=%d\n", fn, rc);
            dlep_destroy(s.requests, nullptr);
            dlep_destroy(s.links, nullptr);
            s.requests = s.links = 0;
            return rc;
        }
        s.tag.num = RSC_TAG;
        s.sockfd = -1;
        FD_ZERO(&s.accset);
        s.lc = &lst[n];
        s.rqtag = cb->tag;
        s.cb = cb;
        s.bkoff_fd = -1;
    }
    if (n) log_dbg("%s: %lu [%s] listeners set up\n", fn, (unsigned long)n, tagstr(cb->tag).s);
    return 0;
}

int rui_ctx_init(rui_cfg *rc, rui_ctx *ctx) noexcept
{
    lfx_assert(rc && ctx);
    memset(ctx, 0, sizeof(*ctx));
    listener_cfg *lists[RUI_MAX] = {rc->user, rc->admin, rc->custom};
    for (int g = 0; g < RUI_MAX; ++g) {
        rui_socket_ctx *ls = group_of(ctx, g);
        for (size_t i = 0; i < MAX_LISTENERS; ++i) ls[i].bkoff_fd = -1;
        if (int err = rui_setup_listeners(g, lists[g], ls); err != 0) return err;
    }
    return 0;
}

int rui_start_listener(listener_cfg *lc, rui_socket_ctx *ls) noexcept
{
    static const char *const fn = "rui_start_listener";
    lfx_assert(lc && ls && ls->rqtag.num && ls->cb && ls->cb->new_rq && ls->cb->rm_rq);
    lfx_assert(ls->sockfd < 0);
    ls->lc = lc;
    lc->is_ctx_owned = true;

    const char *place = lc->ifc ? lc->ifc->name : "all";
    int fd = -1;
    if (lc->domain_path[0]) {
        place = lc->domain_path;
        fd = open_domain_listener(lc->domain_path);
    } else if (lc->proto == CFG_PROTO_TCP) {
        if (lc->ifc) {
            sockaddr_storage ss = lc->ifc->ss;
            fd = open_listener(&ss, lc->port, 0);
        } else {
            fd = open_anyaddr_listener(lc->pref_af, lc->port, 0);
        }
    } else if (lc->proto == CFG_PROTO_UDP) {
        sockaddr_storage ss{};
        if (lc->ifc)
            ss = lc->ifc->ss;
        else
            cpy_anyaddr(lc->pref_af == AF_INET6 ? AF_INET6 : AF_INET, &ss);
        fd = open_udp_listener(&ss, lc->port);
    }

    int rc = fd < 0 ? -1 : set_cloexec(fd);
    if (rc == 0) {
        ls->sockfd = fd;
        rc = open_backoff_timer(ls);
    }
    if (rc == 0) rc = rqs_add_reader(fd, ls);
    if (rc != 0) {
        close_backoff_timer(ls);
        if (fd >= 0) W_close(fn, fd);
        ls->sockfd = -1;
        log_err("%s: failed to start %s listener\n", fn, tagstr(ls->rqtag).s);
        return -1;
    }
    ls->deferred = false;
    log_info("STARTED listener fd%d for %s requests on %s:%s; %lu requests pending\n", fd,
             tagstr(ls->rqtag).s, place, lc->port, (unsigned long)dlep_count(ls->requests));
    return 0;
}

int rui_enable_listeners(rui_socket_ctx *ls) noexcept
{
    size_t n = 0;
    for (; n < MAX_LISTENERS && is_set_up(ls[n]); ++n)
        if (int rc = rui_start_listener(ls[n].lc, &ls[n]); rc != 0) return rc;
    if (n)
        log_dbg("%s: %lu [%s] listener(s) started\n", "rui_enable_listeners", (unsigned long)n,
                tagstr(ls[0].rqtag).s);
    return 0;
}

int rui_ctx_start(rui_ctx *ctx) noexcept
{
    for (int g = 0; g < RUI_MAX; ++g)
        if (int rc = rui_enable_listeners(group_of(ctx, g)); rc != 0) return rc;
    return 0;
}

void rui_stop_listener(rui_socket_ctx *ls) noexcept
{
    static const char *const fn = "rui_stop_listener";
    if (ls->sockfd <= 0) return;
    lfx_assert(!ls->deferred);
    const size_t n = ls->requests ? dlep_count(ls->requests) : 0;
    if (n)
        log_warn("%s listener fd%d wll be closed (%lu requsts queued)\n", tagstr(ls->rqtag).s,
                 ls->sockfd, (unsigned long)n);
    if (!ls->bkoff) rqs_rm_fd(ls->sockfd, true, false);
    close_backoff_timer(ls);
    W_close(fn, ls->sockfd);
    ls->sockfd = -1;
    ls->deferred = true;
}

listener_cfg *rui_drop_lconfig(listener_cfg *lc) noexcept
{
    lfx_assert(lc);
    free(lc->ifc);
    lc->ifc = nullptr;
    lc->is_valid = false;
    lc->is_ctx_owned = false;
    log_dbg("%s: L[%zu]:%s\n", "rui_drop_lconfig", lc->index, lc->alias);
    return lc;
}

void drop_listener(rui_socket_ctx *ls) noexcept
{
    if (ls->tag.num == 0) return;
    rui_stop_listener(ls);
    for (dlep_t *lh : {&ls->requests, &ls->links}) {
        if (!*lh) continue;
        while (void *rq = dlep_tail(*lh))
            if (rui_rm_request(rq) != 0) break;
        dlep_destroy(*lh, nullptr);
        *lh = 0;
    }
    if (ls->lc) rui_drop_lconfig(ls->lc);
    xvlst_reset(&ls->pprm);
    ls->tag.num = 0;
}

int stop_listeners(rui_socket_ctx *ls, bool destroy) noexcept
{
    const n32_tag tag = ls[0].rqtag;
    size_t n = 0;
    for (; n < MAX_LISTENERS && is_set_up(ls[n]); ++n) {
        if (destroy)
            drop_listener(&ls[n]);
        else
            rui_stop_listener(&ls[n]);
    }
    log_dbg("%s: %lu [%s] listener(s) %s\n", "stop_listeners", (unsigned long)n, tagstr(tag).s,
            destroy ? "destroyed" : "stopped");
    return 0;
}

int rui_ctx_destroy(rui_ctx *ctx) noexcept
{
    for (int g = 0; g < RUI_MAX; ++g) stop_listeners(group_of(ctx, g), true);
    return 0;
}

// --- requests ----------------------------------------------------------------------------------

int rui_accept(rui_socket_ctx *ls, size_t max_accept, int flags, void *aux) noexcept
{
    static const char *const fn = "rui_accept";
    const char *alias = alias_of(ls);
    log_dbg("%s: from [%s]\n", fn, alias);
    if (ls->bkoff && !leave_backoff(ls)) return 0;
    if (is_dgram_listener(ls)) {
        drain_datagrams(ls, max_accept);
        return 0;
    }

    size_t taken = 0, refused = 0;
    // The budget is counted afresh at most at the first connection of the
    // pass (rui_fds_free_est), then kept by hand, since nothing but this
    // pass opens or closes descriptors meanwhile.
    bool counted = false;
    int last_rc = 0;
    while (!g_quit && taken + refused < max_accept) {
        sockaddr_storage sa;
        socklen_t salen = sizeof(sa);
        // While a back-off is in progress its first failure is in the log
        // already: the retries stay quiet until a connection is taken.
        const int fd = ls->bkoff_noted
                           ? accept(ls->sockfd, reinterpret_cast<sockaddr *>(&sa), &salen)
                           : W_accept(fn, ls->sockfd, reinterpret_cast<sockaddr *>(&sa), &salen);
        log_dbg("%s(%s): accepting on fd=%d\n", fn, alias, ls->sockfd);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                log_dbg("%s(%s): end of accept queue reached\n", fn, alias);
                break;
            }
            if (err == ECONNRESET || err == ECONNABORTED) {
                log_info("%s(%s): connection aborted/reset before accept()\n", fn, alias);
                continue;
            }
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
                enter_backoff(ls, err);
            break;
        }
        rui_fds_taken(1);
        const size_t avail = counted ? kept_free() : rui_fds_free_est();
        counted = true;
        if (avail < RUI_FD_RESERVE) {
            refuse_connection(ls, fd);
            ++refused;
            continue;
        }
        last_rc = take_connection(ls, fd, &sa, salen, flags, aux);
        if (last_rc != 0) continue;
        ++taken;
        if (ls->bkoff_noted) {
            log_info("%s(%s): accepting again\n", fn, alias);
            ls->bkoff_noted = false;
        }
    }
    if (ls->idle_closed) {
        log_warn("%s(%s): %lu connection(s) without a complete head closed to make room, "
                 "%lu requests open\n",
                 fn, alias, (unsigned long)ls->idle_closed, (unsigned long)dlep_count(ls->requests));
        ls->idle_closed = 0;
    }
    if (refused)
        log_warn("%s(%s): %lu connection(s) refused, fewer than %lu descriptors free\n", fn, alias,
                 (unsigned long)refused, (unsigned long)RUI_FD_RESERVE);
    if (max_accept && taken == max_accept)
        log_warn("%s(%s): CANNOT ACCEPT ALL (accepted=%ld), max=%lu\n", fn, alias, long(taken),
                 (unsigned long)max_accept);
    return g_quit ? last_rc : 0;
}

int rui_add_request(int fd, rui_socket_ctx *ls, void *aux) noexcept
{
    static const char *const fn = "rui_add_request";
    const size_t n = dlep_count(ls->requests);
    if (n >= MAX_RUI_QUEUED && !make_room(ls)) {
        log_err("%s: Too many user requests (%lu) queued\n", fn, (unsigned long)n);
        return EBUSY;
    }
    lfx_assert(ls->cb && ls->cb->new_rq && ls->cb->rm_rq);
    void *rq = ls->cb->new_rq(fd, ls, aux);
    if (!rq) return -1;
    lfx_assert(hdr(rq)->srv == ls && hdr(rq)->fd == fd);

    if (dlep_append(ls->requests, rq) != rq) {
        log_err("%s: failed to queue [%s] request [%p]\n", fn, tagstr(ls->rqtag).s, rq);
        unmake_request(ls, rq, false);
        return -1;
    }
    mark(ls, fd);
    if (int rc = rqs_add_reader(fd, rq); rc != 0) {
        log_err("%s: failed to add fd=%d to the monitored set\n", fn, fd);
        unmake_request(ls, rq, true);
        return rc;
    }
    log_info("%s: OK for fd=%d, rq=%p\n", fn, fd, rq);
    return 0;
}

int rui_rm_request(void *rq) noexcept
{
    static const char *const fn = "rui_rm_request";
    lfx_assert(rq);
    rui_socket_ctx *ls = hdr(rq)->srv;
    lfx_assert(ls && ls->cb && ls->cb->rm_rq);
    unwatch(ls, hdr(rq), fn);
    size_t pos = 0;
    if (xvlst_find(&ls->pprm, rq, is_ptr_match, &pos) != 0) {
        xvlst_del(&ls->pprm, pos, nullptr);
        log_dbg("%s: removed (%p) from PPRM\n", fn, rq);
    }
    const dlep_t lh = list_of(ls, hdr(rq));
    if (!in_list(lh, rq)) {
        log_err("%s: failed to remove %s request [%p] from queue\n", fn, tagstr(ls->rqtag).s, rq);
        return -1;
    }
    dlep_rm(lh, rq);
    release(ls, rq, fn);
    return 0;
}

int rui_make_link(void *rq) noexcept
{
    lfx_assert(rq);
    rui_rq_header *h = hdr(rq);
    rui_socket_ctx *ls = h->srv;
    lfx_assert(ls);
    if (h->is_link || !in_list(ls->requests, rq)) {
        log_err("%s: %s request [%p] is not an open request\n", "rui_make_link",
                tagstr(ls->rqtag).s, rq);
        return -1;
    }
    if (rui_link_fd(ls, h->fd) != 0) return -1;
    dlep_rm(ls->requests, rq);
    dlep_append(ls->links, rq);
    h->is_link = true;
    log_dbg("%s: fd=%d rq=%p, %lu link(s), %lu request(s)\n", "rui_make_link", h->fd, rq,
            (unsigned long)dlep_count(ls->links), (unsigned long)dlep_count(ls->requests));
    return 0;
}

int rui_link_fd(const rui_socket_ctx *ls, int fd) noexcept
{
    // The accepted socket inherits the listener's low-water mark, which
    // would hold a link's lone byte back from the reader for good.
    if (!ls->lc || ls->lc->lowmark <= 1) return 0;
    const int one = 1;
    return W_setsockopt("rui_link_fd", fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof(one));
}

size_t rui_fds_free() noexcept
{
    static const char *const fn = "rui_fds_free";
    struct rlimit rl;
    g_fds.valid = false;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    // Not W_open: running out of descriptors is an answer here, not an
    // error to log on every request.
    const int dfd = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        if (errno == EMFILE || errno == ENFILE) {
            g_fds = {rl.rlim_cur, size_t(rl.rlim_cur), rqs_now(), true};
            return 0;
        }
        static bool noted = false;
        if (!noted)
            log_err("%s: cannot count descriptors in use, ERROR(%d): %s\n", fn, errno,
                    strerror(errno));
        noted = true;
        return SIZE_MAX;
    }
    size_t used = 0;
    alignas(dirent64) char buf[4096];
    for (;;) {
        const ssize_t n = getdents64(dfd, buf, sizeof(buf));
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto *d = reinterpret_cast<const dirent64 *>(buf + at);
            at += d->d_reclen;
            if (d->d_name[0] < '0' || d->d_name[0] > '9') continue;
            // A descriptor numbered at or above the limit (opened before it
            // was lowered) takes no room below it.
            if (rlim_t(strtoul(d->d_name, nullptr, 10)) < rl.rlim_cur) ++used;
        }
    }
    W_close(fn, dfd);
    if (used > 0) --used;  // the directory's own descriptor
    if (rlim_t(used) > rl.rlim_cur) used = size_t(rl.rlim_cur);
    g_fds = {rl.rlim_cur, used, rqs_now(), true};
    return size_t(rl.rlim_cur - rlim_t(used));
}

size_t rui_fds_free_est() noexcept
{
    struct rlimit rl;
    if (g_fds.valid && getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur == g_fds.limit) {
        const size_t left = kept_free();
        const struct timespec now = rqs_now();
        const long age_ms = long(now.tv_sec - g_fds.at.tv_sec) * 1000 +
                            (now.tv_nsec - g_fds.at.tv_nsec) / 1000000;
        if (left >= RUI_FDS_RECOUNT_BELOW && age_ms >= 0 && age_ms < RUI_FDS_RECOUNT_MS)
            return left;
    }
    return rui_fds_free();
}

bool rui_fd_room(size_t spare) noexcept
{
    size_t left = rui_fds_free_est();
    // A spare beyond the margin the estimate recounts within (it grows with
    // what suspended relays will reopen) is decided on a fresh count too
    // when the kept one is near it.
    if (left != SIZE_MAX && left >= RUI_FDS_RECOUNT_BELOW && left - RUI_FDS_RECOUNT_BELOW < spare)
        left = rui_fds_free();
    return left >= spare;
}

void rui_fds_taken(size_t n) noexcept { g_fds.used += n; }

void rui_fds_given(size_t n) noexcept { g_fds.used = g_fds.used > n ? g_fds.used - n : 0; }

void rui_pprm_all(rui_ctx *ctx) noexcept
{
    for (int g = 0; g < RUI_MAX; ++g) {
        rui_socket_ctx *ls = group_of(ctx, g);
        for (size_t i = 0; i < MAX_LISTENERS && is_set_up(ls[i]); ++i) {
            if (ls[i].pprm.len == 0) continue;
            xvlst_each_aux(&ls[i].pprm, &ls[i], sweep_one, nullptr);
            xvlst_purge_all(&ls[i].pprm, nullptr);
        }
    }
}

void rui_tmout_all(rui_ctx *ctx, size_t tmout_ms) noexcept
{
    static const char *const fn = "rui_tmout_all";
    for (int g = 0; g < RUI_MAX; ++g) {
        rui_socket_ctx *ls = group_of(ctx, g);
        if (ls[0].tag.num != RSC_TAG) continue;
        lfx_assert(ls[0].cb && ls[0].cb->time_out);
        size_t n = 0;
        for (size_t i = 0; i < MAX_LISTENERS && is_set_up(ls[i]); ++i) {
            // Oldest first; the callback only queues, so the links hold.
            for (auto *d = static_cast<dlep_hdr *>(dlep_tail(ls[i].requests)); d; d = d->next)
                if (ls[i].cb->time_out(d, tmout_ms)) ++n;
        }
        if (n)
            log_warn("%s: %lu [%s] requests timed out\n", fn, (unsigned long)n, alias_of(&ls[0]));
        else
            log_dbg("%s: no time-outs for [%s]\n", fn, alias_of(&ls[0]));
    }
}

bool rui_should_listen(const rui_socket_ctx *ls, size_t max) noexcept
{
    const size_t n = ls->requests ? dlep_count(ls->requests) : 0;
    return n < max && n < max * 3 / 4;
}

int is_ptr_match(void *data, size_t i, void *what) noexcept
{
    return static_cast<void **>(data)[i] == what;
}

// --- tracking numbers --------------------------------------------------------------------------

void rui_mk_trknum(uint64_t *counter, n64_tag *tag, char prefix, uint64_t maximum) noexcept
{
    lfx_assert(counter && tag);
    if (*counter >= maximum) {
        *counter = 0;
        log_dbg("%s: rolling over %c-requests\n", "rui_mk_trknum", prefix);
    }
    ++*counter;
    tag->num = 0;
    tag->sym8[0] = prefix;
    // Five digits and the NUL fit behind the prefix.
    const int n = snprintf(tag->sym8 + 1, sizeof(tag->sym8) - 2, "%04lu", (unsigned long)*counter);
    lfx_assert(n > 0 && n <= int(sizeof(tag->sym8)) - 3);
}
