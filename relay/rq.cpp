#include "rq.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <strings.h>

#include "cfg.h"
#include "dchain.h"
#include "log.h"
#include "meta.h"
#include "netops.h"
#include "oxamsg.h"
#include "registry.h"
#include "resolve.h"
#include "rqs.h"
#include "strops.h"
#include "tasklife.h"
#include "syswrap.h"
#include "timeop.h"
#include "tmout.h"
#include "txtesc.h"
#include "uri.h"
#include "uricanon.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr const char RQ_NAME[] = "URQ";

// The request's tracking tag is the log group while a handler runs; the
// previous group comes back on every return.
struct group_scope {
    uint64_t prev;
    explicit group_scope(n64_tag t) noexcept : prev(log_get_group(&g_log))
    {
        log_set_group(&g_log, t.num);
    }
    ~group_scope() { log_set_group(&g_log, prev); }
    group_scope(const group_scope &) = delete;
    group_scope &operator=(const group_scope &) = delete;
};

const char *trk(const tvl_urq *rq) { return rq->trk_tag.sym8; }

// True when every byte of text is printable ASCII (the blank included).
bool is_printable(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return true;
}

struct state_text {
    char s[5];
};
state_text stxt(n32_tag st)
{
    state_text r{};
    memcpy(r.s, st.sym4, 4);
    return r;
}

tvl_urq *checked(void *udata)
{
    auto *rq = static_cast<tvl_urq *>(udata);
    lfx_assert(rq && rq->tag.num == URQ_TAG);
    return rq;
}

// Looks a query key up by its name written in any case.
struct key_hunt {
    const char *name;
    const char *value;
    size_t found;
};

void hunt_key(const void *key, void *data, void *aux)
{
    auto *h = static_cast<key_hunt *>(aux);
    if (strcasecmp(static_cast<const char *>(key), h->name) != 0) return;
    if (h->found++ == 0) h->value = static_cast<const char *>(data);
}

// The count of query keys called name, written in any case; *value gets
// the value of the first met (null when none, or for an empty value).
size_t qval_count(const tvl_urq *rq, const char *name, const char **value)
{
    key_hunt h{name, nullptr, 0};
    if (rq->query_ht) skht_iter(rq->query_ht, hunt_key, &h);
    *value = h.value;
    return h.found;
}

const char *qval(const tvl_urq *rq, const char *name, bool *found)
{
    const char *v;
    *found = qval_count(rq, name, &v) > 0;
    return v;
}

// The keys the daemon knows, each at most once whatever the case of its
// name ("cid" and "CID" are one key given twice).  0, or EBUSY (ERR).
int check_repeated_keys(const tvl_urq *rq)
{
    for (const char *name : {"cid", "ttl", "opkt", "asrc"}) {
        const char *v;
        if (qval_count(rq, name, &v) < 2) continue;
        log_err("%s: query key [%s] given more than once\n", "parse_tvl_get", name);
        return EBUSY;
    }
    return 0;
}

// A decimal number of digits only (at most 9 of them), else -1.
long strict_decimal(const char *s)
{
    const size_t n = strlen(s);
    if (n == 0 || n > 9) return -1;
    for (size_t i = 0; i < n; ++i)
        if (!isdigit(static_cast<unsigned char>(s[i]))) return -1;
    return atol(s);
}

// url with "udp://" put before it when it has no scheme, cut to room - 1
// characters.
void with_scheme(const char *url, char *out, size_t room, const char *what)
{
    if (has_uri_scheme(url)) {
        if (snprintf(out, room, "%s", url) < 0) out[0] = '\0';
        return;
    }
    // The cut is intended: a longer text cannot name a task.
    if (snprintf(out, room, "udp://%s", url) < 0) out[0] = '\0';
    log_dbg("%s: %s converted to [%s]\n", "urq_process_task", what, esc_str(out).c_str());
}

// True when url names port 0 (any number of zeros) for its address: a
// source bound to a random port, a destination that refuses every send.
bool names_port_zero(const char *url)
{
    uri_layout lay{};
    if (uri_parse(url, &lay) != 0 || !lay.path || !lay.p_len) return false;
    char host[URI_PATH_MAX], port[URI_PATH_MAX];
    if (!uri_path_addrport(lay.path, lay.p_len, host, sizeof(host), port, sizeof(port)) ||
        !port[0])
        return false;
    for (const char *c = port; *c; ++c)
        if (*c != '0') return false;
    return true;
}

// True when url is a datagram endpoint (udp, rtp) with something after its
// address and port: a path or a query, which such an endpoint cannot use.
bool dgram_with_tail(const char *url)
{
    uri_layout lay{};
    if (!url[0] || uri_parse(url, &lay) != 0 || !lay.scheme) return false;
    char scheme[URI_SCHEME_MAX];
    if (!uri_get_scheme(&lay, scheme, sizeof scheme)) return false;
    const int kind = uri_scheme_kind(scheme);
    if (kind != URI_UDP && kind != URI_RTP) return false;
    if (lay.query || strchr(url, '?')) return true;
    if (!lay.path) return false;
    char host[URI_PATH_MAX], port[URI_PATH_MAX];
    const char *rest =
        uri_path_addrport(lay.path, lay.p_len, host, sizeof(host), port, sizeof(port));
    return rest && rest < lay.path + lay.p_len;
}

// Host and port of a datagram endpoint URL (udp, rtp), into rooms of
// URI_PATH_MAX; false for another kind or one without a port.
bool dgram_hostport(const char *url, char *host, char *port)
{
    uri_layout lay{};
    if (!url[0] || uri_parse(url, &lay) != 0 || !lay.scheme || !lay.path) return false;
    char scheme[URI_SCHEME_MAX];
    if (!uri_get_scheme(&lay, scheme, sizeof scheme)) return false;
    const int kind = uri_scheme_kind(scheme);
    if (kind != URI_UDP && kind != URI_RTP) return false;
    return uri_path_addrport(lay.path, lay.p_len, host, URI_PATH_MAX, port, URI_PATH_MAX) &&
           port[0];
}

// True when what the task sends to dst would come back on the socket of
// the datagram source src: the numeric addresses (dnum and snum in place
// of the hosts the URLs name, when not empty), the wildcard taking every
// local address, an IPv4-mapped address its IPv4 one.  A name not looked
// up is never resolved here.
bool dgram_loops(const char *dst, const char *dnum, const char *src, const char *snum)
{
    char dhost[URI_PATH_MAX], dport[URI_PATH_MAX], shost[URI_PATH_MAX], sport[URI_PATH_MAX];
    return dgram_hostport(dst, dhost, dport) && dgram_hostport(src, shost, sport) &&
           hostport_reaches(*dnum ? dnum : dhost, dport, *snum ? snum : shost, sport);
}

// What a well-formed request may still not ask for: no destination, port 0
// on either end, a datagram endpoint with a path or query, an alternate
// source that is the source itself (one task binding its own source
// twice), a destination that is a source (a relay to itself, sending each
// datagram round for ever).  Endpoints are compared in canonical form, and
// a destination also by the addresses a source's socket receives on, so
// no spelling gets past.  0, or EINVAL (ERR).
int check_endpoints(const tvl_urq *rq)
{
    static constexpr const char *fn = "parse_tvl_get";
    if (!rq->uri_dst[0]) {
        log_err("%s: no destination\n", fn);
        return EINVAL;
    }
    urq_urls u;
    urq_mk_urls(rq, &u);
    for (const char *url : {u.src, u.dst, u.alt}) {
        if (names_port_zero(url)) {
            log_err("%s: port 0 in [%s] refused\n", fn, esc_str(url).c_str());
            return EINVAL;
        }
        if (dgram_with_tail(url)) {
            log_err("%s: datagram endpoint [%s] with a path or query refused\n", fn,
                    esc_str(url).c_str());
            return EINVAL;
        }
    }
    if (u.alt[0] && uri_same_endpoint(u.alt, u.src)) {
        log_err("%s: alternate source [%s] is the source itself\n", fn, esc_str(u.alt).c_str());
        return EINVAL;
    }
    if (uri_same_endpoint(u.dst, u.src) || (u.alt[0] && uri_same_endpoint(u.dst, u.alt)) ||
        dgram_loops(u.dst, "", u.src, "") || (u.alt[0] && dgram_loops(u.dst, "", u.alt, ""))) {
        log_err("%s: destination [%s] is a source of the relay itself\n", fn,
                esc_str(u.dst).c_str());
        return EINVAL;
    }
    return 0;
}

// The route that redirects source src, or null.
const redir_route *route_of(const char *src)
{
    if (!g_app.route_ht) return nullptr;
    const char *sep = strstr(src, "://");
    return rrt_get(g_app.route_ht, sep ? sep + 3 : src);
}

// Where the numeric host of each endpoint looked up goes.
enum addr_slot : int {
    AS_IN = 0,
    AS_IN_SSM = 1,
    AS_ALT = 2,
    AS_ALT_SSM = 3,
    AS_DST = 4,
    AS_HSHK = 5,
};

char *slot_text(task_addrs *a, int slot)
{
    switch (slot) {
    case AS_IN: return a->in;
    case AS_IN_SSM: return a->in_ssm;
    case AS_ALT: return a->alt;
    case AS_ALT_SSM: return a->alt_ssm;
    case AS_DST: return a->dst;
    case AS_HSHK: return a->hshk;
    default: lfx_assert(!"known address slot"); return nullptr;
    }
}

// The task this link belongs to, when its slot still holds it.
rtask *link_task(const tvl_urq *rq)
{
    const xvlst &tl = g_app.curr_tasks;
    if (rq->lnk_idx < 0 || !tl.taken || size_t(rq->lnk_idx) >= tl.max_len) return nullptr;
    if (!tl.taken[rq->lnk_idx]) return nullptr;
    rtask *t = task_at(size_t(rq->lnk_idx));
    if (t->tag.num != RTA_TAG || t->is_quitting || t->tid.num != rq->lnk_tid.num ||
        strcmp(t->hkey, rq->lnk_key) != 0)
        return nullptr;
    return t;
}

bool links_to(const tvl_urq *rq, const rtask *t)
{
    return rq->state.num == ST_LNK && rq->lnk_idx == t->idx && rq->lnk_tid.num == t->tid.num &&
           strcmp(rq->lnk_key, t->hkey) == 0;
}

void release_tmout(tvl_urq *rq)
{
    if (!rq->holds_tmout) return;
    rm_timeout(URQ_TMOUT);
    rq->holds_tmout = false;
}

// The link of rq ended (why): its client leaves the task, once.
void end_link(tvl_urq *rq, const char *why)
{
    static constexpr const char *fn = "end_link";
    if (rq->pprm_idx > 0) return;
    if (rtask *t = link_task(rq)) {
        log_info("%s: %s [%s] (%p) link to [%s] ended (%s), its client leaves\n", fn, RQ_NAME,
                 trk(rq), static_cast<void *>(rq), rta_label(t), why);
        // 0: the task is queued for removal, which closes its other links.
        const int rc = drop_task(t, 1);
        if (rc != 0 && rc != EAGAIN)
            log_err("%s: ERROR(%d) dropping a client of [%s]\n", fn, rc, rta_label(t));
    } else {
        log_info("%s: %s [%s] (%p) link ended (%s), its task is gone\n", fn, RQ_NAME, trk(rq),
                 static_cast<void *>(rq), why);
    }
    rq->lnk_idx = -1;
    urq_pprm_add(rq);
}

// After the answer: a request that joined a task as a keep-alive client
// becomes a link, which watches its connection from now on without a
// time-out; any other request ends.
void finish_answer(tvl_urq *rq, int sent)
{
    if (rq->lnk_idx < 0) {
        urq_pprm_add(rq);
        return;
    }
    if (sent != 0) {
        end_link(rq, "answer not sent");
        return;
    }
    if (rqs_mod(rq->sockfd, rq, RQS_READ) != 0 || rui_make_link(rq) != 0) {
        end_link(rq, "cannot watch");
        return;
    }
    urq_set_state(rq, ST_LNK);
    release_tmout(rq);
}

// Reads and drops what fd holds now, at most 8 KiB: closing a socket with
// unread bytes resets the connection, and the client may lose the answer.
void drain_input(int fd)
{
    char scrap[1024];
    for (int i = 0; i < 8; ++i)
        if (recv(fd, scrap, sizeof(scrap), MSG_DONTWAIT) <= 0) return;
}

void read_step(tvl_urq *rq, bool sweeping);

// A look-up of the request's names has come back: the addresses are kept
// for the task, the relay-to-itself check is made again on them, and the
// request turns to writing its answer (400 when a name did not resolve or
// the relay would loop).
void on_lookup_done(void *owner, const rsv_job *job)
{
    static constexpr const char *fn = "urq_lookup";
    tvl_urq *rq = checked(owner);
    group_scope gs(rq->trk_tag);
    lfx_assert(rq->state.num == ST_RSV);
    rq->rsv_id = 0;
    if (rq->pprm_idx > 0) return;
    for (size_t i = 0; i < job->count; ++i) {
        const rsv_name &n = job->names[i];
        if (n.err != 0) {
            log_err("%s: %s [%s] name [%s] not resolved: %s\n", fn, RQ_NAME, trk(rq),
                    esc_str(n.name).c_str(),
                    n.err == EAI_FAMILY ? "no address this host can use" : gai_strerror(n.err));
            rq->resp = &g_resp_bad;
            continue;
        }
        snprintf(slot_text(&rq->addrs, n.slot), USOCK_HOST_NUM_SIZE, "%s", n.num);
        log_info("%s: %s [%s] name [%s] is [%s]\n", fn, RQ_NAME, trk(rq), esc_str(n.name).c_str(),
                 n.num);
    }
    if (rq->resp == &g_resp_ok) {
        urq_urls u;
        urq_mk_urls(rq, &u);
        const task_addrs &a = rq->addrs;
        // A routed source is not the socket the task reads: it is compared
        // as written.
        const char *snum = route_of(u.src) ? "" : a.in;
        if (dgram_loops(u.dst, a.dst, u.src, snum) ||
            (u.alt[0] && dgram_loops(u.dst, a.dst, u.alt, a.alt))) {
            log_err("%s: destination [%s] is a source of the relay itself\n", fn,
                    esc_str(u.dst).c_str());
            rq->resp = &g_resp_bad;
        }
    }
    if (rqs_mod(rq->sockfd, rq, RQS_WRITE) != 0) {
        log_err("%s: failed to make %s (%p) a writer\n", fn, RQ_NAME, owner);
        lfx_abort();
    }
    urq_set_state(rq, ST_WR);
}

// A request that would make a task whose endpoints name hosts by name
// has them looked up off the loop and waits in state "RSV": true.  False
// when it goes on to its answer now: it makes nothing (a drop or kill, a
// join of a task that exists), names numeric hosts only, or is refused
// (resp set to 500 when no look-up can be queued).
bool start_lookup(tvl_urq *rq)
{
    static constexpr const char *fn = "urq_lookup";
    if (rq->must_drop) return false;
    urq_urls u;
    urq_mk_urls(rq, &u);
    rsv_job job{};
    if (const redir_route *route = route_of(u.src)) {
        // A routed task reads the route's receive address and asks its
        // remote daemon; a URL that does not fit fails the task unopened.
        char *in = rrt_ingress_url(route);
        char *rmt = rrt_remote_url(route);
        if (in && rmt) {
            rsv_add_url(&job, in, true, AS_IN, AS_IN_SSM);
            rsv_add_url(&job, rmt, false, AS_HSHK, AS_HSHK);
        }
        free(in);
        free(rmt);
    } else {
        rsv_add_url(&job, u.src, true, AS_IN, AS_IN_SSM);
    }
    if (u.alt[0]) rsv_add_url(&job, u.alt, true, AS_ALT, AS_ALT_SSM);
    rsv_add_url(&job, u.dst, false, AS_DST, AS_DST);
    if (job.count == 0) return false;
    // A join makes nothing: its task is found by the names as written.
    errno = 0;
    if (rq->cid ? lookup_task(rq->cid, nullptr, nullptr)
                : lookup_task(u.src, u.dst, u.alt[0] ? u.alt : nullptr))
        return false;
    if (errno != 0 && errno != ESRCH) return false;
    rq->rsv_id = rsv_submit(&job, on_lookup_done, rq);
    if (rq->rsv_id == 0) {
        rq->resp = &g_resp_err;
        return false;
    }
    log_info("%s: %s [%s] (%p) waits for %zu name look-up(s)\n", fn, RQ_NAME, trk(rq),
             static_cast<void *>(rq), job.count);
    if (rqs_mod(rq->sockfd, rq, 0) != 0) {
        log_err("%s: failed to make %s (%p) wait\n", fn, RQ_NAME, static_cast<void *>(rq));
        lfx_abort();
    }
    urq_set_state(rq, ST_RSV);
    return true;
}

// An excerpt of the head held so far, for the one line that logs it.
esc_buf<ESC_EXCERPT_ROOM> head_excerpt(const tvl_urq *rq)
{
    return esc_buf<ESC_EXCERPT_ROOM>(rq->hbuf ? rq->hbuf : "", rq->hpos);
}

}  // namespace

// --- listener callbacks ------------------------------------------------------------

tvl_urq *urq_new(int fd, rui_socket_ctx *srv, void *) noexcept
{
    static constexpr const char *fn = "urq_new";
    auto *rq = static_cast<tvl_urq *>(calloc(1, sizeof(tvl_urq)));
    if (!rq) {
        log_err("%s: ERROR(%d) creating %s request\n", fn, ENOMEM, RQ_NAME);
        return nullptr;
    }
    rq->tag.num = URQ_TAG;
    rq->state.num = ST_INI;
    rq->sockfd = fd;
    rq->srv = srv;
    rq->lnk_idx = -1;
    set_timeout(URQ_TMOUT, urq_sweep_ms());
    rq->holds_tmout = true;
    rqs_set_now(&rq->start_tm);
    ssize_t count = ssize_t(srv->rqcount);
    mk_trk_tag(&count, &rq->trk_tag, 'u', ssize_t(MAX_RQNUM));
    srv->rqcount = size_t(count);
    log_info("%s [%s] (%p) created\n", RQ_NAME, trk(rq), static_cast<void *>(rq));
    urq_set_state(rq, ST_RD);
    return rq;
}

void urq_rm(void *p) noexcept
{
    static constexpr const char *fn = "urq_rm";
    auto *rq = checked(p);
    log_info("%s: %s [%s] (%p)\n", fn, RQ_NAME, trk(rq), p);
    if (rq->sockfd >= 0) {
        W_close(fn, rq->sockfd);
        rq->sockfd = -1;
    }
    // A look-up still running comes back to nobody.
    rsv_cancel(rq->rsv_id);
    rq->rsv_id = 0;
    free(rq->hbuf);
    free(rq->resp_txt);
    if (rq->query_ht) skht_destroy(rq->query_ht, free);
    release_tmout(rq);
    rq->state.num = 0;
    rq->tag.num = 0;
    // Logged just before the free, so the address printed is still owned.
    log_dbg("%s: freed (%p)\n", fn, p);
    free(rq);
}

bool urq_time_out(void *p, size_t tmout_ms) noexcept
{
    static constexpr const char *fn = "urq_time_out";
    auto *rq = checked(p);
    lfx_assert(!rq->is_link);
    if (rq->pprm_idx > 0) return false;
    // The loop is not woken for fewer bytes than the lowmark: a head that
    // is shorter is picked up here.
    if (rq->state.num == ST_RD && rq->srv->lc && rq->srv->lc->lowmark > 1) {
        group_scope gs(rq->trk_tag);
        read_step(rq, true);
        if (rq->state.num != ST_RD || rq->pprm_idx > 0) return false;
    }
    struct timespec tmo;
    ms2timespec(long(tmout_ms), &tmo);
    if (!timed_out(&rq->start_tm, &tmo)) return false;
    const struct timespec now = rqs_now();
    log_warn("%s: TIME-OUT %s [%s] (%p) start-tm: %lu.%lu, now=%lu.%lu\n", fn, RQ_NAME, trk(rq),
             p, (unsigned long)rq->start_tm.tv_sec, (unsigned long)rq->start_tm.tv_nsec,
             (unsigned long)now.tv_sec, (unsigned long)now.tv_nsec);
    if (rq->state.num == ST_RD && rq->hpos)
        log_warn("%s: %s [%s] refused with %zu bytes of head held: %s\n", fn, RQ_NAME, trk(rq),
                 rq->hpos, head_excerpt(rq).c_str());
    urq_pprm_add(rq);
    return true;
}

void urq_refuse(int fd) noexcept
{
    drain_input(fd);
    if (!g_resp_err.server) g_resp_err.server = get_app_tag("tvl");
    // One try, unlogged: under a flood the clients are often gone already,
    // and the listener logs the refusals with a count.
    char text[1024];
    const int len = mk_http_response(&g_resp_err, text, sizeof(text));
    if (len > 0) (void)!send(fd, text, size_t(len), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// --- event-loop handlers ------------------------------------------------------------

namespace {

// Reads what the socket holds of the head and, once the head is complete
// or refused, turns the request to writing its answer.  Inside the request
// sweep (sweeping) a client that closed is queued for removal, since the
// sweep is walking the list; otherwise it is removed at once.
void read_step(tvl_urq *rq, bool sweeping)
{
    static constexpr const char *fn = "on_urq_read";
    void *const udata = rq;
    int rc = read_hbuf(rq);
    if (rc == URQ_MORE) {
        log_dbg("%s: need more data on %s [%s] (%p)\n", fn, RQ_NAME, trk(rq), udata);
        return;
    }
    if (rc == URQ_CLOSED) {
        if (sweeping)
            urq_pprm_add(rq);
        else
            rui_rm_request(rq);
        return;
    }
    if (rc == URQ_OVERSIZE) {
        // Read away what the client sent on, so that the close after the
        // answer does not reset the connection under it.
        drain_input(rq->sockfd);
        rq->resp = &g_resp_bad;
    }
    if (rc == 0) {
        // The head is logged once: the parse's own lines name the fault.
        rc = parse_tvl_get(rq);
        if (rc != 0) {
            log_err("%s: malformed HTTP request: %s\n", fn, head_excerpt(rq).c_str());
            rq->resp = &g_resp_bad;
        } else {
            log_info("%s: complete HTTP buffer [%zu bytes] received:\n%s\n", fn, rq->hpos,
                     head_excerpt(rq).c_str());
        }
        if (rq->header.type == RQTYPE_HEAD) {
            log_info("%s: nothing to do for HEAD request\n", fn);
            rq->no_task = true;
        }
    }
    if (rc == 0)
        rq->resp = &g_resp_ok;
    else if (!rq->resp)
        rq->resp = &g_resp_err;
    // Answered from now on: never closed to make room for new connections.
    rq->head_done = true;
    if (rq->resp == &g_resp_ok && !rq->no_task && start_lookup(rq)) return;

    if (rqs_mod(rq->sockfd, rq, RQS_WRITE) != 0) {
        log_err("%s: failed to make %s (%p) a writer\n", fn, RQ_NAME, udata);
        lfx_abort();
    }
    urq_set_state(rq, ST_WR);
}

}  // namespace

int on_urq_read(int, int, void *udata, void *) noexcept
{
    tvl_urq *rq = checked(udata);
    group_scope gs(rq->trk_tag);
    if (rq->state.num == ST_LNK) {
        end_link(rq, "data or end of stream");
        return 0;
    }
    lfx_assert(rq->state.num == ST_RD);
    read_step(rq, false);
    return 0;
}

int on_urq_write(int, int, void *udata, void *) noexcept
{
    static constexpr const char *fn = "on_urq_write";
    tvl_urq *rq = checked(udata);
    lfx_assert(rq->state.num == ST_WR);
    group_scope gs(rq->trk_tag);
    log_dbg("%s: handling %s [%s] (%p)\n", fn, RQ_NAME, trk(rq), udata);

    if (!rq->resp_txt) {
        rq->resp_txt = static_cast<char *>(calloc(1, URQ_RESP_LEN));
        if (!rq->resp_txt) {
            log_err("%s: ERROR(%d) allocating the answer of %s [%s]\n", fn, ENOMEM, RQ_NAME,
                    trk(rq));
            return -ENOMEM;
        }
        rq->resp_len = URQ_RESP_LEN;
    }
    if (rq->no_task)
        log_info("%s: no task will be created for %s [%s] (%p)\n", fn, RQ_NAME, trk(rq), udata);
    else if (rq->resp == &g_resp_ok)
        urq_process_task(rq);

    lfx_assert(rq->resp);
    if (!rq->resp->server) rq->resp->server = get_app_tag("tvl");
    const int sent = send_http_response(rq->sockfd, rq->resp);
    finish_answer(rq, sent);
    return 0;
}

int on_urq_error(int, int events, void *udata, void *) noexcept
{
    static constexpr const char *fn = "on_urq_error";
    tvl_urq *rq = checked(udata);
    group_scope gs(rq->trk_tag);
    if (events & RQS_SOCKERR) {
        const int err = socket_error(rq->sockfd);
        if (err != 0)
            log_err("%s: %s [%s] (%p) socket ERROR(%d): %s\n", fn, RQ_NAME, trk(rq), udata, err,
                    strerror(err));
    }
    if (events & RQS_SOCKHUP)
        log_norm("%s: %s [%s] (%p) HANG-UP/DISCONNECT\n", fn, RQ_NAME, trk(rq), udata);
    if (rq->state.num == ST_LNK)
        end_link(rq, "error or hang-up");
    else
        urq_pprm_add(rq);
    return 0;
}

// --- steps ---------------------------------------------------------------------------

void urq_set_state(tvl_urq *rq, uint32_t state) noexcept
{
    lfx_assert(rq->state.num != state);
    n32_tag to{};
    to.num = state;
    log_dbg("%s [%s] (%p) state: %s -> %s\n", RQ_NAME, trk(rq), static_cast<void *>(rq),
            stxt(rq->state).s, stxt(to).s);
    rq->state = to;
}

int read_hbuf(tvl_urq *rq) noexcept
{
    static constexpr const char *fn = "read_hbuf";
    if (!rq->hbuf) {
        rq->hbuf = static_cast<char *>(calloc(1, URQ_HBUF_LEN));
        if (!rq->hbuf) return -ENOMEM;
        rq->hlen = URQ_HBUF_LEN;
    }
    for (;;) {
        if (rq->hpos >= rq->hlen - 1) {
            log_warn("%s: no end of head in %zu bytes, fd=%d refused: %s\n", fn, rq->hpos,
                     rq->sockfd, head_excerpt(rq).c_str());
            return URQ_OVERSIZE;
        }
        ssize_t tail = 0;
        const ssize_t n = read_http(rq->sockfd, rq->hbuf, rq->hlen - 1, rq->hpos, &tail);
        if (n < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK) return URQ_MORE;
            if (err != ECONNRESET) return -1;
        }
        if (n <= 0) {
            log_info("%s: client fd=%d closed connection (%zu bytes of head held)\n", fn,
                     rq->sockfd, rq->hpos);
            return URQ_CLOSED;
        }
        rq->hpos += size_t(n);
        rq->hbuf[rq->hpos] = '\0';
        // Only counts: a head trickled a byte at a time makes a line a byte.
        log_dbg("%s: %s HTTP head, %ld bytes read, %zu held\n", fn,
                tail > 0 ? "complete" : "partial", long(n), rq->hpos);
        if (tail > 0) {
            if (rq->hpos > size_t(tail)) {
                rq->tail_len = rq->hpos - size_t(tail);
                log_warn("%s: request has tail data, dismissing it (%zu bytes)\n", fn,
                         rq->tail_len);
                rq->hpos = size_t(tail);
                rq->hbuf[rq->hpos] = '\0';
            }
            return 0;
        }
    }
}

int parse_tvl_get(tvl_urq *rq) noexcept
{
    static constexpr const char *fn = "parse_tvl_get";
    int rc = web_parse_urq(rq->hbuf, rq->hpos, rq->uri_src, rq->uri_dst, URQ_URI_LEN,
                           &rq->header);
    if (rc != 0) {
        rq->resp = &g_resp_bad;
        return rc;
    }
    if (uri_is_alias(rq->uri_dst)) {
        log_err("%s: aliased URLs are not supported by this app\n", fn);
        return EINVAL;
    }
    // The control query is the request target's own, never a part of the
    // source: an HTTP source keeps its query for its origin.
    char query[MAX_URQ_QUERY + 1] = "";
    const uri_layout &target = rq->header.uri;
    if (target.query && target.q_len < sizeof query) {
        memcpy(query, target.query, target.q_len);
        query[target.q_len] = '\0';
    }
    // A raw control byte or byte above ASCII has no place in a request
    // target (clients escape them), nor, decoded, in a datagram endpoint:
    // such a request is refused before its text reaches a task, a key or
    // the log lines of the endpoints.
    const bool raw_ok =
        !target.path || is_printable(std::string_view(target.path, target.p_len));
    if (!raw_ok || !is_printable(rq->uri_src) || !is_printable(rq->uri_dst) ||
        !is_printable(query)) {
        log_err("%s: unprintable byte in request target: src=[%s], dst=[%s], query=[%s]\n", fn,
                esc_str(rq->uri_src).c_str(), esc_str(rq->uri_dst).c_str(),
                esc_str(query).c_str());
        return EINVAL;
    }
    if (query[0]) {
        log_dbg("%s: found query=[%s]\n", fn, esc_str(query).c_str());
        if (!isalnum(static_cast<unsigned char>(query[0]))) {
            log_err("%s: bad query [%s], dropping request\n", fn, esc_str(query).c_str());
            return -1;
        }
        if ((rc = uri_query_parse(query, &rq->query_ht)) != 0) {
            log_err("%s: failed to parse query [%s]\n", fn, esc_str(query).c_str());
            return rc;
        }
        log_dbg("%s: query has %zu keys\n", fn, rq->query_ht ? skht_count(rq->query_ht) : 0);
        if ((rc = check_repeated_keys(rq)) != 0) return rc;
        query_extract_cid(rq);
        if ((rc = query_extract_ttl(rq)) != 0) return rc;
        if ((rc = query_extract_opkt(rq)) != 0) return rc;
        if ((rc = query_extract_asrc(rq)) != 0) return rc;
    }
    xtract_cmd(rq);
    process_cmd(rq);
    // A byte on a link ends its share: one sent with the head would end
    // the share it asks for at once, and is gone with the head's read.
    // Such a request is refused; nothing is created or joined.
    if (rq->is_keep_alive && rq->tail_len > 0) {
        log_err("%s: keep-alive request with %zu bytes after its head, refused\n", fn,
                rq->tail_len);
        return EINVAL;
    }
    if ((rc = check_endpoints(rq)) != 0) return rc;
    log_info("%s: %s [%s] (%p): src=[%s], dst=[%s], cmd=[%s], query=[%s]\n", fn, RQ_NAME, trk(rq),
             static_cast<void *>(rq), esc_str(rq->uri_src).c_str(), esc_str(rq->uri_dst).c_str(),
             esc_str(rq->cmd ? rq->cmd : "").c_str(), esc_str(query).c_str());
    return 0;
}

void xtract_cmd(tvl_urq *rq) noexcept
{
    rq->cmd = nullptr;
    size_t n = strlen(rq->uri_dst);
    if (n == 0) return;
    if (rq->uri_dst[n - 1] == '/') rq->uri_dst[--n] = '\0';
    char *slash = strrchr(rq->uri_dst, '/');
    if (!slash) return;
    *slash = '\0';
    rq->cmd = slash + 1;
}

void process_cmd(tvl_urq *rq) noexcept
{
    static constexpr const char *fn = "process_cmd";
    if (!rq->cmd) return;
    if (strcasecmp(rq->cmd, "keep-alive") == 0) {
        rq->is_keep_alive = true;
        log_dbg("%s: %s [%s] is a keep-alive request\n", fn, RQ_NAME, trk(rq));
    } else if (strcasecmp(rq->cmd, "drop") == 0 || strcasecmp(rq->cmd, "kill") == 0) {
        rq->must_drop = strcasecmp(rq->cmd, "drop") == 0 ? 1 : KILL_MODE;
        log_dbg("%s: %s [%s] is a [%s] request\n", fn, RQ_NAME, trk(rq), rq->cmd);
    }
}

void query_extract_cid(tvl_urq *rq) noexcept
{
    bool found;
    rq->cid = qval(rq, "cid", &found);
    if (rq->cid) log_dbg("%s: cid=[%s]\n", "query_extract_cid", esc_str(rq->cid).c_str());
}

int query_extract_ttl(tvl_urq *rq) noexcept
{
    static constexpr const char *fn = "query_extract_ttl";
    bool found;
    const char *v = qval(rq, "ttl", &found);
    if (!found) return 0;
    const long ttl = v ? strict_decimal(v) : -1;
    if (ttl < 0 || ttl > URQ_MAX_TTL) {
        log_err("%s: invalid TTL [%s], 0..%d expected\n", fn, esc_str(v ? v : "").c_str(),
                URQ_MAX_TTL);
        return EINVAL;
    }
    rq->ttl = int(ttl);
    log_dbg("%s: TTL=%d\n", fn, rq->ttl);
    return 0;
}

int query_extract_opkt(tvl_urq *rq) noexcept
{
    static constexpr const char *fn = "query_extract_opkt";
    bool found;
    const char *v = qval(rq, "opkt", &found);
    if (!found) return 0;
    const char *num = v ? v : "";
    if (isalpha(static_cast<unsigned char>(*num))) rq->dalign = *num++;
    const long n = *num ? strict_decimal(num) : 0;
    if (!v || (*num && (n < long(URQ_MIN_OPKT) || n > long(URQ_MAX_OPKT)))) {
        log_err("%s: invalid opkt value [%s], [a]%zu..%zu expected\n", fn,
                esc_str(v ? v : "").c_str(), URQ_MIN_OPKT, URQ_MAX_OPKT);
        rq->dalign = 0;
        return EINVAL;
    }
    rq->max_outpkt = size_t(n);
    log_dbg("%s: OPKT=%c%zu\n", fn, rq->dalign ? rq->dalign : '.', rq->max_outpkt);
    return 0;
}

int query_extract_asrc(tvl_urq *rq) noexcept
{
    bool found;
    rq->asrc_uri = qval(rq, "asrc", &found);
    if (!rq->asrc_uri) return 0;
    // Decoded, an alternate source is an endpoint text like the source.
    if (!is_printable(rq->asrc_uri)) {
        log_err("%s: unprintable byte in asrc=[%s]\n", "query_extract_asrc",
                esc_str(rq->asrc_uri).c_str());
        rq->asrc_uri = nullptr;
        return EINVAL;
    }
    log_dbg("%s: asrc=[%s]\n", "query_extract_asrc", esc_str(rq->asrc_uri).c_str());
    return 0;
}

bool has_uri_scheme(const char *s) noexcept
{
    if (!s || strnlen(s, 6) < 6) return false;
    return strncmp(s + 3, "://", 3) == 0 || strncmp(s + 4, "://", 3) == 0;
}

void urq_mk_urls(const tvl_urq *rq, urq_urls *u) noexcept
{
    with_scheme(rq->uri_src, u->src, sizeof(u->src), "source");
    with_scheme(rq->uri_dst, u->dst, sizeof(u->dst), "destination");
    u->alt[0] = '\0';
    if (rq->asrc_uri) with_scheme(rq->asrc_uri, u->alt, sizeof(u->alt), "alt-source");
}

int urq_task_key(const tvl_urq *rq, char *buf, size_t len) noexcept
{
    if (rq->cid) return rta_mk_key(buf, len, rq->cid, nullptr, nullptr);
    urq_urls u;
    urq_mk_urls(rq, &u);
    return rta_mk_key(buf, len, u.src, u.dst, u.alt[0] ? u.alt : nullptr);
}

namespace {

void drop_or_kill(tvl_urq *rq, rtask *t, const urq_urls &u)
{
    static constexpr const char *fn = "urq_process_task";
    if (!t) {
        log_err("%s: no such task: src=[%s] dst=[%s]\n", fn, esc_str(u.src).c_str(),
                esc_str(u.dst).c_str());
        rq->resp = &g_resp_nfound;
        return;
    }
    if (t->kafd >= 0 && rq->must_drop != KILL_MODE) {
        log_err("%s: cannot drop a task with keep-alive (fd%d) in mode=%d\n", fn, t->kafd,
                rq->must_drop);
        rq->resp = &g_resp_denied;
        return;
    }
    const int rc = drop_task(t, rq->must_drop);
    if (rc == 0 || rc == EAGAIN) rq->resp = &g_resp_ok;
}

void join(tvl_urq *rq, rtask *t)
{
    static constexpr const char *fn = "urq_process_task";
    log_info("%s: duplicate request matches task [%s], [%s]->[%s]\n", fn,
             rta_label(t), esc_str(t->in_url).c_str(),
             esc_str(t->out_url).c_str());
    if (t->kafd >= 0) {
        log_warn("%s: [%s] is on a keep-alive link (kdf%d), duplicate requests are denied\n", fn,
                 rta_label(t), t->kafd);
        rq->resp = &g_resp_denied;
        return;
    }
    if (rq->is_keep_alive && !rui_fd_room(URQ_LINK_FD_SPARE + g_app.reopen_fds)) {
        log_err("%s: no descriptor to spare for a link to [%s] (fd%d), refused\n", fn,
                rta_label(t), rq->sockfd);
        rq->resp = &g_resp_err;
        return;
    }
    ++t->rcount;
    log_info("%s: [%s] has %d clients now\n", fn, rta_label(t), t->rcount);
    if (rq->is_keep_alive) {
        // This client stays for as long as its connection does.
        rq->lnk_idx = t->idx;
        rq->lnk_tid = t->tid;
        snprintf(rq->lnk_key, sizeof(rq->lnk_key), "%s", t->hkey);
    }
    rq->resp = &g_resp_ok;
}

void create(tvl_urq *rq, const urq_urls &u)
{
    static constexpr const char *fn = "urq_process_task";
    if (!rui_fd_room(URQ_TASK_FD_SPARE + g_app.reopen_fds)) {
        log_err("%s: no descriptor to spare for a task [%s]->[%s], refused\n", fn,
                esc_str(u.src).c_str(), esc_str(u.dst).c_str());
        rq->resp = &g_resp_err;
        return;
    }
    // What the task may open is noted with the budget, which does not
    // count it again for a while.
    rui_fds_taken(URQ_TASK_FDS);
    int csock = -1;
    if (rq->is_keep_alive) {
        csock = fcntl(rq->sockfd, F_DUPFD_CLOEXEC, 0);
        if (csock < 0) {
            log_err("%s: dup(fd%d) ERROR(%d): %s\n", fn, rq->sockfd, errno, strerror(errno));
            return;
        }
        if (set_keepalive(csock, 1) != 0 || rui_link_fd(rq->srv, csock) != 0) {
            W_close(fn, csock);
            return;
        }
        log_dbg("%s: client keep-alive fd%d added\n", fn, csock);
    }
    task_options opt{};
    opt.ttl = rq->ttl > 0 ? rq->ttl : g_cfg.so.mcast_ttl;
    opt.dalign = rq->dalign;
    opt.max_outpkt = rq->max_outpkt;
    opt.addrs = &rq->addrs;
    const int rc = add_task(csock, u.src, u.dst, u.alt[0] ? u.alt : nullptr, rq->cid, &opt);
    if (rc != 0) {
        log_err("%s: error creating task for %s [%s] (%p)\n", fn, RQ_NAME, trk(rq),
                static_cast<void *>(rq));
        rq->resp = rc == EINVAL ? &g_resp_bad : &g_resp_err;
        return;
    }
    rq->resp = &g_resp_ok;
}

}  // namespace

void urq_process_task(tvl_urq *rq) noexcept
{
    static constexpr const char *fn = "urq_process_task";
    urq_urls u;
    urq_mk_urls(rq, &u);
    errno = 0;
    rtask *t = rq->cid ? lookup_task(rq->cid, nullptr, nullptr)
                       : lookup_task(u.src, u.dst, u.alt[0] ? u.alt : nullptr);
    if (!t && errno != 0 && errno != ESRCH) {
        log_err("%s: ERROR(%d) looking up task\n", fn, errno);
        rq->resp = &g_resp_bad;
        return;
    }
    rq->resp = nullptr;
    if (rq->must_drop)
        drop_or_kill(rq, t, u);
    else if (t)
        join(rq, t);
    else
        create(rq, u);
    if (!rq->resp) rq->resp = &g_resp_err;
}

void urq_pprm_add(tvl_urq *rq) noexcept
{
    static constexpr const char *fn = "urq_pprm_add";
    rui_socket_ctx *ls = rq->srv;
    lfx_assert(ls);
    size_t pos = 0;
    if (xvlst_find(&ls->pprm, rq, is_ptr_match, &pos) != 0) {
        log_warn("%s: %s [%s] (%p) is already PPRM-ed\n", fn, RQ_NAME, trk(rq),
                 static_cast<void *>(rq));
        return;
    }
    const ssize_t j = xvlst_add(&ls->pprm, RUI_PPRM_BLKSZ, RUI_PPRM_GROW);
    if (j < 0) {
        log_err("%s: xvlst_add ERROR\n", fn);
        lfx_abort();
    }
    *static_cast<void **>(xv_blk(ls->pprm.data, size_t(j), RUI_PPRM_BLKSZ)) = rq;
    rq->pprm_idx = j + 1;
    log_info("%s: %s [%s] (%p) is to END j=%ld\n", fn, RQ_NAME, trk(rq), static_cast<void *>(rq),
             long(j));
}

size_t urq_close_links(const rtask *task) noexcept
{
    size_t n = 0;
    for (rui_socket_ctx &ls : g_app.rui.user) {
        if (ls.tag.num != RSC_TAG || !ls.links) continue;
        for (auto *d = static_cast<dlep_hdr *>(dlep_tail(ls.links)); d; d = d->next) {
            auto *rq = reinterpret_cast<tvl_urq *>(d);
            if (rq->tag.num != URQ_TAG || !links_to(rq, task) || rq->pprm_idx > 0) continue;
            rq->lnk_idx = -1;
            urq_pprm_add(rq);
            ++n;
        }
    }
    if (n)
        log_info("%s: %lu link(s) of [%s] closed\n", "urq_close_links", (unsigned long)n,
                 rta_label(task));
    return n;
}

// --- agent messages ------------------------------------------------------------------

int oxa_process_task(const char *msg) noexcept
{
    static constexpr const char *fn = "oxa_process_task";
    static constexpr char JOIN[] = "JOIN ";
    static constexpr char LEAVE[] = "LEAVE ";
    char cmd;
    const char *group;
    if (strncmp(msg, JOIN, sizeof(JOIN) - 1) == 0) {
        cmd = 'J';
        group = msg + sizeof(JOIN) - 1;
    } else if (strncmp(msg, LEAVE, sizeof(LEAVE) - 1) == 0) {
        cmd = 'L';
        group = msg + sizeof(LEAVE) - 1;
    } else {
        log_err("%s: invalid/unsupported command in: %s\n", fn, esc_str(msg).c_str());
        return EINVAL;
    }
    const esc_str egroup(group);
    log_dbg("%s: msg=[%s], (%c) group=[%s]\n", fn, esc_str(msg).c_str(), cmd, egroup.c_str());
    static constexpr char SCHEME[] = "UDP://";
    if (strncasecmp(group, SCHEME, sizeof(SCHEME) - 1) != 0) {
        log_err("%s: expected OXA group to be %s URL, got [%s]\n", fn, SCHEME, egroup.c_str());
        return EINVAL;
    }
    errno = 0;
    rtask *t = lookup_task(group, OXA_DEST, nullptr);
    if (!t && errno != 0 && errno != ESRCH) {
        log_err("%s: ERROR(%d) looking up OXA task [%s]\n", fn, errno, egroup.c_str());
        return -1;
    }
    if (t)
        log_dbg("%s: matched task [%s] (%p) by [%s]\n", fn, rta_label(t),
                static_cast<void *>(t), egroup.c_str());
    if (cmd == 'J') {
        if (t) {
            log_err("%s: [%s] (%p) already exists, OXA request ignored\n", fn, rta_label(t),
                    static_cast<void *>(t));
            return EBUSY;
        }
        const int rc = add_task(-1, group, OXA_DEST, nullptr, nullptr, nullptr);
        if (rc != 0) log_err("%s: failed to add OXA task for [%s]\n", fn, egroup.c_str());
        return rc;
    }
    if (!t) {
        log_err("%s: could not find OXA task for [%s]\n", fn, egroup.c_str());
        return ESRCH;
    }
    const int rc = drop_task(t, KILL_MODE);
    if (rc != 0)
        log_err("%s: could not drop OXA task [%s] (%p) for [%s]\n", fn, rta_label(t),
                static_cast<void *>(t), egroup.c_str());
    return rc;
}
