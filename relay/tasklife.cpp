#include "tasklife.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg.h"
#include "log.h"
#include "netops.h"
#include "registry.h"
#include "rqs.h"
#include "syswrap.h"
#include "timeop.h"
#include "uri.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr int ENDPOINT_TMOUT_MS = MCAST_TMOUT_SEC * 1000;

const char *nz(const char *s) { return s ? s : ""; }

// Prepares an endpoint record for opening; the addresses it was opened on
// before stay, so that it opens again without a name look-up.
void set_endpoint(usock_ctx &uc, bool inbound, bool skip_http, const char *ifc, int tmout_ms)
{
    char host_num[USOCK_HOST_NUM_SIZE], ssm_num[USOCK_HOST_NUM_SIZE];
    memcpy(host_num, uc.host_num, sizeof host_num);
    memcpy(ssm_num, uc.ssm_num, sizeof ssm_num);
    uc = usock_ctx{};
    memcpy(uc.host_num, host_num, sizeof host_num);
    memcpy(uc.ssm_num, ssm_num, sizeof ssm_num);
    uc.inbound = inbound;
    uc.non_blocking = true;
    uc.skip_http = skip_http;
    uc.ifc_tag = ifc;
    uc.timeout_ms = tmout_ms;
}

// The numeric hosts an endpoint opens on (empty: its URL's own).
void preset(usock_ctx &uc, const char *host_num, const char *ssm_num)
{
    snprintf(uc.host_num, sizeof uc.host_num, "%s", host_num);
    snprintf(uc.ssm_num, sizeof uc.ssm_num, "%s", ssm_num);
}

// The configured receive buffer size on an inbound socket, when one is set.
int apply_rcvbuf(int fd)
{
    if (g_cfg.so.rcvbuf_size < 1) return 0;
    return set_socket_rcvbuf(fd, uint64_t(g_cfg.so.rcvbuf_size));
}

// What a datagram source is set up with after opening: it receives only
// the groups it joined itself.  Bound to the wildcard address it would
// otherwise receive every group any socket of the host joined on its port,
// its own relay's multicast output among them: a relay to a group on its
// source's port would loop.  Then the configured receive buffer.  0, 22 or
// the buffer's failure.
int setup_source(const char *fn, int fd, const usock_ctx &uc)
{
    if (is_dgram_kind(uc.url_kind) &&
        set_mcast_all(fd, uc.sspec.family == AF_INET6 ? AF_INET6 : AF_INET, 0) != 0) {
        log_err("%s: fd%d cannot be kept to its own groups\n", fn, fd);
        return EINVAL;
    }
    return apply_rcvbuf(fd);
}

// Refuses the combinations creation cannot serve, before anything is built:
// a source that is neither datagram nor HTTP (a file or a bare TCP stream
// would be read and sent anywhere), an alternate source beside an HTTP or
// routed source, and an alternate that is not a datagram source.  0 or 22.
int check_sources(const char *fn, const char *surl, const char *alsurl, const redir_route *rrt)
{
    if (!rrt) {
        char scheme[URI_SCHEME_MAX];
        const int kind = uri_extract(surl, scheme, nullptr, nullptr, nullptr);
        if (!is_dgram_kind(kind) && kind != URI_HTTP) {
            log_err("%s: unsupported source URL [%s]\n", fn, surl);
            return EINVAL;
        }
        if (!alsurl) return 0;
        if (kind != URI_HTTP) {
            if (is_dgram_url(alsurl)) return 0;
            log_err("%s: alternate source must be UDP-based [%s]\n", fn, alsurl);
            return EINVAL;
        }
    } else if (!alsurl) {
        return 0;
    }
    log_err("%s: no alternate source with an HTTP or routed source [%s]\n", fn, alsurl);
    return EINVAL;
}

// The handshake descriptor of an HTTP task: a second descriptor of its
// source connection.  0 or -1.
int dup_source(const char *fn, rtask *t)
{
    const int fd = fcntl(t->infd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        const int err = errno;
        log_err("%s: HSHK dup(fd%d) ERROR(%d): %s\n", fn, t->infd, err, strerror(err));
        if (err == EMFILE)
            log_err("%s: per-process limit on open files exhausted, %zu tasks running\n", fn,
                    task_count());
        return -1;
    }
    t->hshk_fd = fd;
    log_dbg("%s: HTTP-hshk fd%d <- dup(fd%d)\n", fn, fd, t->infd);
    return 0;
}

// Opens the alternate source.  0, 22 or the receive buffer's failure.
int open_alternate(const char *fn, rtask *t)
{
    data_src_ctx &a = t->altin;
    set_endpoint(a.uc, true, true, g_cfg.malt_in, g_cfg.sdown_tmout_ms);
    a.sockfd = usock_open(a.in_url, &a.uc);
    if (a.sockfd < 0) {
        a.sockfd = -1;
        log_err("%s: failed to open ALT-SRC [%s]\n", fn, a.in_url);
        return EINVAL;
    }
    a.is_active = false;
    return setup_source(fn, a.sockfd, a.uc);
}

// A unicast datagram source is bound to its port alone: a suspended task
// keeps that socket, unwatched, so that neither another relay nor another
// program takes the port before the revival.  A multicast source is shared
// and leaves its group while suspended; a stream source is a connection.
bool keeps_source(int fd, const usock_ctx &uc)
{
    return fd >= 0 && is_dgram_kind(uc.url_kind) && !uc.sspec.multicast;
}

// From its suspension on, a kept source queues nothing: its filter drops
// every datagram, so that what waits at the revival is at most what the
// queue held at the suspension, whatever the buffer's size.  false (the
// source is to be closed) when the filter cannot be attached.  A source
// suspended again while it drains keeps its filter and its count.
bool hold_stale(const char *fn, const rtask *t, int fd, stale_src &st)
{
    if (st.filtered) return true;
    if (attach_drop_filter(fd) != 0) {
        log_err("%s: [%s] fd%d: no filter for the suspension, source closed\n", fn, rta_label(t),
                fd);
        return false;
    }
    st = stale_src{};
    st.filtered = true;
    st.drops_known = socket_drops(fd, &st.drops_at) == 0;
    return true;
}

// Closes the handshake connection: a chained task's through its endpoint
// record, an HTTP task's duplicate plainly.
void close_handshake(rtask *t)
{
    if (t->format == RTA_DCH)
        usock_close(t->hshk_fd, &t->hshk_uc);
    else if (t->hshk_fd >= 0)
        W_close("close_handshake", t->hshk_fd);
    t->hshk_fd = -1;
}

void drop_registrations(rtask *t)
{
    purge_http_resp_buf(&t->resp_buf);
    rta_drop_reader(t);
    rta_drop_altrd(t);
    rta_drop_writer(t);
    rta_drop_hsr(t);
    rta_drop_hsw(t);
}

// Stream storage of an HTTP task: a ring of tcp_buffer_mb MiB with the
// task's alignment and largest outgoing datagram.
int make_stream_storage(const char *fn, rtask *t)
{
    const bool aligned = t->opt.dalign ? (t->opt.dalign == 'a' || t->opt.dalign == 'A')
                                       : g_cfg.dgram_aligned;
    const size_t maxout = t->opt.max_outpkt ? t->opt.max_outpkt : g_cfg.max_outpkt_len;
    t->in_mode = SM_STREAM;
    int rc = mmr_create(&t->stg.stream, size_t(g_cfg.tcpbuf_mb) * 1048576);
    if (rc != 0) return rc;
    if (aligned) {
        mmr_set_flags(t->stg.stream, MMR_ODGRAM_ALIGN);
        log_dbg("%s: [%s] is dgram-aligned (%c)\n", fn, rta_label(t),
                t->opt.dalign ? t->opt.dalign : '.');
    }
    if (maxout != 0) {
        if ((rc = mmr_set_tspkt_len(t->stg.stream, maxout)) != 0) return rc;
        log_dbg("%s: [%s] max_outpkt=%zu\n", fn, rta_label(t), maxout);
    }
    return 0;
}

// Registers what the first state needs.
int register_first(rtask *t)
{
    opx_setup(t);
    if (t->state.num == ST_RLY) {
        int rc = rta_ensure_reads(t);
        if (rc == 0 && has_altinput(t)) rc = rta_ensure_altrd(t);
        return rc;
    }
    return rta_ensure_hsw(t);
}

// Restores the log group on every return path.
struct log_group_scope {
    uint64_t saved = log_get_group(&g_log);
    explicit log_group_scope(uint64_t group) { log_set_group(&g_log, group); }
    log_group_scope(const log_group_scope &) = delete;
    log_group_scope &operator=(const log_group_scope &) = delete;
    ~log_group_scope() { log_set_group(&g_log, saved); }
};

}  // namespace

char *rrt_ingress_url(const redir_route *rrt) noexcept
{
    return rrt_udp_url("rrt_ingress_url", rrt->rcv);
}

int rta_reopen_fds(const rtask *t) noexcept
{
    int n = t->infd < 0 ? 1 : 0;
    if (t->altin.in_url && t->altin.in_url[0] && t->altin.sockfd < 0) ++n;
    if (t->format == RTA_HTTP || t->format == RTA_DCH) ++n;
    return n;
}

void reset_task_timestamps(rtask *t) noexcept
{
    const struct timespec now = rqs_now();
    t->tm.first_io_tm = t->tm.last_io_tm = t->tm.last_read_tm = t->tm.last_write_tm = now;
    t->tm.last_down_tm = timespec{0, 0};
    if (has_altinput(t)) t->altin.tm = t->tm;
}

int rta_mk_task(rtask *t, const char *surl, const char *durl, const char *alsurl, n64_tag tid,
                const redir_route *rrt) noexcept
{
    static constexpr const char *fn = "rta_mk_task";
    lfx_assert(t && surl);
    if (!is_dgram_url(durl)) {
        log_err("%s: destination URL must be UDP-based\n", fn);
        return -1;
    }
    if (alsurl && !alsurl[0]) alsurl = nullptr;
    if (int rc = check_sources(fn, surl, alsurl, rrt); rc != 0) return rc;

    t->tag.num = RTA_TAG;
    t->hshk_fd = t->infd = t->outfd = t->kafd = t->altin.sockfd = -1;
    if (const task_addrs *ea = t->opt.addrs) {
        preset(t->in_uc, ea->in, ea->in_ssm);
        preset(t->altin.uc, ea->alt, ea->alt_ssm);
        preset(t->out_uc, ea->dst, "");
        preset(t->hshk_uc, ea->hshk, "");
        t->opt.addrs = nullptr;
    }

    int rc = 0;
    int kind = 0;
    if (rrt) {
        kind = RTA_DCH;
        t->hshk_url = rrt_remote_url(rrt);
        t->in_url = rrt_ingress_url(rrt);
        if (!t->hshk_url || !t->in_url) rc = EINVAL;
    } else if (!(t->in_url = strdup(surl))) {
        rc = ENOMEM;
    }
    if (rc == 0 && !(t->out_url = strdup(durl))) rc = ENOMEM;
    if (rc == 0 && alsurl && !(t->altin.in_url = strdup(alsurl))) rc = ENOMEM;
    if (rc == 0 && (init_kpsm(&t->iavg) != 0 || init_kpsm(&t->oavg) != 0)) rc = EINVAL;

    if (rc == 0) {
        set_endpoint(t->in_uc, true, true, g_cfg.mifc_in,
                     t->altin.in_url ? g_cfg.sdown_tmout_ms : ENDPOINT_TMOUT_MS);
        t->infd = usock_open(t->in_url, &t->in_uc);
        if (t->infd < 0) {
            t->infd = -1;
            log_err("%s: failed to open source [%s]\n", fn, t->in_url);
            rc = EINVAL;
        } else {
            rc = setup_source(fn, t->infd, t->in_uc);
        }
    }
    if (rc == 0 && t->altin.in_url) rc = open_alternate(fn, t);
    if (rc == 0) {
        set_endpoint(t->out_uc, false, false, g_cfg.mifc_out, ENDPOINT_TMOUT_MS);
        t->outfd = usock_open(durl, &t->out_uc);
        if (t->outfd < 0) {
            t->outfd = -1;
            log_err("%s: failed to open destination [%s]\n", fn, durl);
            rc = EINVAL;
        } else if (!is_dgram_kind(t->out_uc.url_kind)) {
            log_err("%s: only datagram destination URLs supported, not type=%d\n", fn,
                    t->out_uc.url_kind);
            rc = EINVAL;
        }
    }
    if (rc == 0) {
        t->out_mode = SM_DGRAM;
        // The TTL option of the destination's own family: an IPv6 group gets
        // its hop limit (the IPv4 option would fail on an IPv6 socket).
        if (t->out_uc.sspec.multicast && t->opt.ttl >= 1)
            rc = set_mcast_ttl(t->out_uc.sspec.family == AF_INET6 ? AF_INET6 : AF_INET, t->outfd,
                               t->opt.ttl);
    }
    if (rc == 0) {
        if (is_dgram_kind(t->in_uc.url_kind)) {
            t->in_mode = SM_DGRAM;
            // The datagram path reads into slots of PKT_LEN bytes: a larger
            // requested datagram would overrun them.
            if (t->opt.max_outpkt > PKT_LEN) {
                log_err("%s: max_outpkt=%zu exceeds %zu\n", fn, t->opt.max_outpkt, PKT_LEN);
                rc = EINVAL;
            }
            if (rc == 0) rc = mk_pkt_storage(&t->stg.dgram);
            if (rc == 0 && t->altin.in_url) rc = mk_pkt_storage(&t->altin.dgram);
            if (!kind) kind = RTA_UDP;
        } else {
            rc = make_stream_storage(fn, t);
            kind = RTA_HTTP;
        }
    }
    if (rc == 0) {
        t->tid = tid;
        t->tid.sym8[0] = char(kind);
        t->format = kind;
        log_dbg("%s: this is a %c task, route=%p, h-url=[%s], in-url=[%s]/[%s], out-url=[%s]\n",
                fn, kind, static_cast<const void *>(rrt), t->hshk_url ? t->hshk_url : "-",
                t->in_url, t->altin.in_url ? t->altin.in_url : "-", t->out_url);
        if (kind == RTA_DCH) {
            set_endpoint(t->hshk_uc, false, true, g_cfg.mifc_in, ENDPOINT_TMOUT_MS);
            t->hshk_fd = usock_open(t->hshk_url, &t->hshk_uc);
            if (t->hshk_fd < 0) {
                t->hshk_fd = -1;
                log_err("%s: failed to open [%s]\n", fn, t->hshk_url);
                rc = -1;
            } else {
                log_dbg("%s: DCH-hshk fd%d opened\n", fn, t->hshk_fd);
                rta_set_state(t, ST_HSW);
            }
        } else if (kind == RTA_HTTP) {
            if (!(t->hshk_url = strdup(surl)))
                rc = ENOMEM;
            else if ((rc = dup_source(fn, t)) == 0)
                rta_set_state(t, ST_HSW);
        } else {
            rta_set_state(t, ST_RLY);
        }
    }
    if (rc == 0) rc = register_first(t);
    if (rc != 0) {
        rta_free_task(t);
        return rc;
    }
    reset_task_timestamps(t);
    t->is_quitting = false;
    log_norm("CREATE [%s]: [%s]->[%s]\n", rta_label(t), nz(t->in_uc.url_path),
             nz(t->out_uc.url_path));
    return 0;
}

void rta_susp_task(rtask *task, int sec) noexcept
{
    static constexpr const char *fn = "rta_susp_task";
    if (task->tag.num != RTA_TAG) return;
    log_info("%s: [%s] (%p) task[%ld] %d sec\n", fn, rta_label(task), static_cast<void *>(task),
             long(task->idx), sec);
    drop_registrations(task);

    close_handshake(task);
    if (!keeps_source(task->infd, task->in_uc) ||
        !hold_stale(fn, task, task->infd, task->in_stale)) {
        usock_close(task->infd, &task->in_uc);
        task->infd = -1;
        task->in_stale = stale_src{};
    }
    if ((task->altin.sockfd >= 0 || task->altin.uc.url_path) &&
        (!keeps_source(task->altin.sockfd, task->altin.uc) ||
         !hold_stale(fn, task, task->altin.sockfd, task->altin.stale))) {
        task->altin.stale = stale_src{};
        usock_close(task->altin.sockfd, &task->altin.uc);
        task->altin.sockfd = -1;
    }
    // The destination stays open with its port; the keep-alive link stays
    // open and watched, so that its client can still end the task while it
    // waits and after its revival.

    lfx_assert(task->delay == nullptr);
    if (sec < 0) sec = 0;
    if (sec > RTA_MAX_SUSP_SEC) sec = RTA_MAX_SUSP_SEC;
    const long usec = sec == 0 ? SUSP_MIN_USEC : long(sec) * 1000000L;
    task->delay = dly_add_usec(usec, task, 0);
    if (!task->delay) {
        log_panic("Failed to delay [%s]\n", rta_label(task));
        lfx_abort();
    }

    rta_set_state(task, ST_SUS);
    task->local_in = 0;
    task->tm.first_io_tm = timespec{0, 0};
    reset_kpsm(&task->iavg);
    reset_kpsm(&task->oavg);
    if (task->in_mode == SM_STREAM && task->stg.stream) mmr_reset(task->stg.stream);
    if (task->tm.last_down_tm.tv_sec == 0 && task->tm.last_down_tm.tv_nsec == 0)
        task->tm.last_down_tm = task->tm.last_io_tm;
    log_norm("[%s] suspended for %.04f sec\n", rta_label(task), double(usec) / 1e6);
}

int rta_revive_task(rtask *t, const char *mifc_in) noexcept
{
    static constexpr const char *fn = "rta_revive_task";
    log_group_scope group(t->tid.num);
    log_dbg("%s: reviving [%s]\n", fn, rta_label(t));
    lfx_assert((t->infd == -1 || keeps_source(t->infd, t->in_uc)) && t->outfd >= 0 &&
               t->state.num == ST_SUS);

    // Inside the delay's own expiry this frees the delay being fired; the
    // queue touches nothing of it after the callback returns.
    if (t->delay) {
        dly_rm(t->delay);
        t->delay = nullptr;
    }

    int rc = 0;
    if (t->infd >= 0) {
        // Kept through the suspension, bound and sized as at creation.
        // A first step drops what it holds (an empty queue loses its
        // filter at once: no read event would come for it); its read
        // events drop the rest before it is relayed again.
        t->in_uc.timeout_ms = ENDPOINT_TMOUT_MS;
        rta_drain_stale(t, false, &rc);
    } else {
        set_endpoint(t->in_uc, true, true, mifc_in, ENDPOINT_TMOUT_MS);
        t->infd = usock_open(t->in_url, &t->in_uc);
        if (t->infd < 0) {
            t->infd = -1;
            log_err("%s: failed to open source [%s]\n", fn, t->in_url);
            return -1;
        }
        // The reopened source is set up as at creation.
        rc = setup_source(fn, t->infd, t->in_uc);
    }
    if (rc == 0 && t->altin.in_url && t->altin.in_url[0]) {
        if (t->altin.sockfd >= 0) {
            rta_drain_stale(t, true, &rc);
            t->altin.is_active = false;
        } else {
            rc = open_alternate(fn, t);
        }
    }
    if (rc != 0) return rc;

    log_dbg("%s: %c task, h-url=[%s], in-url=[%s|%s], out-url=[%s]\n", fn, t->format,
            nz(t->hshk_url), t->in_url, nz(t->altin.in_url), t->out_url);
    if (t->format == RTA_DCH) {
        set_endpoint(t->hshk_uc, false, true, mifc_in, ENDPOINT_TMOUT_MS);
        t->hshk_fd = usock_open(t->hshk_url, &t->hshk_uc);
        if (t->hshk_fd < 0) {
            t->hshk_fd = -1;
            log_err("%s: failed to open [%s]\n", fn, t->hshk_url);
            return -1;
        }
        rta_set_state(t, ST_HSW);
    } else if (t->format == RTA_HTTP) {
        free(t->hshk_url);
        if (!(t->hshk_url = strdup(t->in_url))) return ENOMEM;
        if ((rc = dup_source(fn, t)) != 0) return rc;
        rta_set_state(t, ST_HSW);
    } else {
        rta_set_state(t, ST_RLY);
    }
    if ((rc = register_first(t)) != 0) return rc;

    const struct timespec now = rqs_now();
    t->tm.last_io_tm = now;
    t->altin.tm.last_io_tm = now;
    lfx_assert(t->state.num != ST_SUS);
    t->is_quitting = false;
    log_norm("[%s] revived\n", rta_label(t));
    return 0;
}

bool rta_drain_stale(rtask *t, bool alt, int *rc) noexcept
{
    static constexpr const char *fn = "rta_drain_stale";
    stale_src &st = alt ? t->altin.stale : t->in_stale;
    const int fd = alt ? t->altin.sockfd : t->infd;
    *rc = 0;
    if (!st.filtered) return false;
    // A bounded step: with the filter on, nothing joins the queue, so
    // that the steps come to its end however fast the source sends.
    bool empty = false;
    char byte;
    for (size_t i = 0; i < STALE_DRAIN_BATCH && !empty; ++i) {
        if (recv(fd, &byte, sizeof(byte), MSG_DONTWAIT | MSG_TRUNC) >= 0)
            ++st.n_read;
        else
            empty = errno == EAGAIN || errno == EWOULDBLOCK;
        // Any other failure is a pending error, reported (and cleared)
        // once ahead of the datagrams, or an interruption: read on.
    }
    // A queue that the step's last read emptied makes no more read events:
    // it is looked at once more, without taking anything.
    if (!empty)
        empty = recv(fd, &byte, sizeof(byte), MSG_DONTWAIT | MSG_PEEK) < 0 &&
                (errno == EAGAIN || errno == EWOULDBLOCK);
    if (!empty) return true;
    uint32_t drops = 0;
    const uint64_t filtered =
        st.drops_known && socket_drops(fd, &drops) == 0 ? uint32_t(drops - st.drops_at) : 0;
    if (detach_filter(fd) != 0) {
        log_err("%s: [%s] fd%d: the suspension's filter stays, source fails\n", fn, rta_label(t),
                fd);
        rta_set_error(t, "source filter", EIO);
        *rc = -1;
        return true;
    }
    const uint64_t n = st.n_read + filtered;
    if (n)
        log_info("%s: [%s] fd%d: %llu datagram(s) of the suspension dropped\n", fn, rta_label(t),
                 fd, static_cast<unsigned long long>(n));
    st = stale_src{};
    return false;
}

void rta_free_task(rtask *task) noexcept
{
    static constexpr const char *fn = "rta_free_task";
    if (task->tag.num != RTA_TAG) return;
    log_info("%s: DELETE [%s] (%p) task[%ld]\n", fn, rta_label(task), static_cast<void *>(task),
             long(task->idx));
    log_norm("END [%s]: [%s]->[%s]\n", rta_label(task), nz(task->in_uc.url_path),
             nz(task->out_uc.url_path));
    drop_registrations(task);
    // The keep-alive link is unregistered before it is closed, so that no
    // event of it waits for a record about to be freed.
    if (task->kafd >= 0) rta_drop_keepalive(task);

    close_handshake(task);
    usock_close(task->infd, &task->in_uc);
    usock_close(task->outfd, &task->out_uc);
    usock_close(task->altin.sockfd, &task->altin.uc);
    if (task->kafd >= 0) W_close(fn, task->kafd);
    task->infd = task->outfd = task->altin.sockfd = task->kafd = -1;

    free(task->in_url);
    free(task->out_url);
    free(task->hshk_url);
    free(task->altin.in_url);
    task->in_url = task->out_url = task->hshk_url = task->altin.in_url = nullptr;
    if (task->delay) {
        dly_rm(task->delay);
        task->delay = nullptr;
    }
    free_kpsm(&task->iavg);
    free_kpsm(&task->oavg);

    if (task->in_mode == SM_STREAM) {
        mmr_destroy(task->stg.stream);
    } else {
        free_pkt_storage(task->stg.dgram);
    }
    free_pkt_storage(task->altin.dgram);
    task->stg.dgram = nullptr;
    task->altin.dgram = nullptr;

    task->tag.num = 0;
    free(task->errstr);
    task->errstr = nullptr;
}
