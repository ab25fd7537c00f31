#include "resolve.h"

#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "syswrap.h"
#include "uri.h"

LOG_MODULE(LM_DEFAULT);

namespace {

enum slot_state : int { SLOT_FREE = 0, SLOT_QUEUED = 1, SLOT_RUNNING = 2, SLOT_DONE = 3 };

struct slot {
    slot_state state;
    uint64_t id;
    rsv_done_cb cb;
    void *owner;  // null once cancelled
    rsv_job job;
};

// Everything below but the loop context is shared with the workers and
// read or written only under g_mu; workers never log (the log is the loop
// thread's) and never touch an owner.
pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_cv = PTHREAD_COND_INITIALIZER;
slot g_slots[RSV_QUEUE_MAX];
uint64_t g_last_id = 0;
size_t g_workers = 0;
size_t g_idle = 0;
// The completion descriptor: made once and kept for the process's life,
// since a detached worker may still write to it at any time.
int g_efd = -1;
rsv_ctx g_ctx{};
bool g_registered = false;

struct lock_guard {
    lock_guard() { pthread_mutex_lock(&g_mu); }
    ~lock_guard() { pthread_mutex_unlock(&g_mu); }
    lock_guard(const lock_guard &) = delete;
    lock_guard &operator=(const lock_guard &) = delete;
};

void *worker(void *)
{
    for (;;) {
        pthread_mutex_lock(&g_mu);
        slot *s = nullptr;
        for (;;) {
            for (slot &c : g_slots)
                if (c.state == SLOT_QUEUED && (!s || c.id < s->id)) s = &c;
            if (s) break;
            ++g_idle;
            pthread_cond_wait(&g_cv, &g_mu);
            --g_idle;
        }
        s->state = SLOT_RUNNING;
        rsv_job job = s->job;
        const uint64_t id = s->id;
        pthread_mutex_unlock(&g_mu);

        for (size_t i = 0; i < job.count; ++i) rsv_resolve_name(&job.names[i]);

        pthread_mutex_lock(&g_mu);
        // A running slot stays taken, cancelled or not, until the loop
        // collects it.
        if (s->state == SLOT_RUNNING && s->id == id) {
            s->job = job;
            s->state = SLOT_DONE;
        }
        pthread_mutex_unlock(&g_mu);
        const uint64_t one = 1;
        (void)!write(g_efd, &one, sizeof one);
    }
    return nullptr;
}

// Starts a detached worker with every signal blocked (the handlers run
// on the loop thread only).  Called with g_mu held.  0, or the error.
int start_worker()
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t th;
    const int rc = pthread_create(&th, &attr, worker, nullptr);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc == 0) ++g_workers;
    return rc;
}

// The completion descriptor, made and registered with the loop once.  0,
// or -1 (logged).
int ensure_efd()
{
    static constexpr const char *fn = "rsv_submit";
    if (g_efd < 0) {
        g_efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (g_efd < 0) {
            log_err("%s: eventfd ERROR(%d): %s\n", fn, errno, strerror(errno));
            return -1;
        }
        g_ctx.tag.num = RSV_TAG;
        g_ctx.efd = g_efd;
    }
    if (!g_registered) {
        if (rqs_add_reader(g_efd, &g_ctx) != 0) return -1;
        g_registered = true;
    }
    return 0;
}

// Puts host into job unless it is numeric.
void add_name(rsv_job *job, const char *host, int socktype, int slot)
{
    if (rsv_is_numeric(host)) return;
    lfx_assert(job->count < RSV_NAMES_MAX);
    rsv_name &n = job->names[job->count++];
    snprintf(n.name, sizeof n.name, "%s", host);
    n.socktype = socktype;
    n.slot = slot;
}

}  // namespace

bool rsv_is_numeric(const char *host) noexcept
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *res = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (res) freeaddrinfo(res);
    return rc == 0;
}

void rsv_add_url(rsv_job *job, const char *url, bool inbound, int slot, int ssm_slot) noexcept
{
    // A host of a URL fits a name: no look-up is ever cut short.
    static_assert(URI_PATH_MAX <= RSV_NAME_MAX && URI_AUTH_MAX <= RSV_NAME_MAX);
    char scheme[URI_SCHEME_MAX], auth[URI_AUTH_MAX], path[URI_PATH_MAX], query[URI_QUERY_MAX];
    const int kind = uri_extract(url, scheme, auth, path, query);
    const bool dgram = kind == URI_UDP || kind == URI_RTP;
    if (!dgram && kind != URI_TCP && kind != URI_HTTP) return;
    char host[SADDR_HOST_SIZE], port[SADDR_SERV_SIZE];
    if (!uri_path_addrport(path, URI_PATH_MAX, host, sizeof host, port, sizeof port) || !host[0])
        return;
    add_name(job, host, dgram ? SOCK_DGRAM : SOCK_STREAM, slot);
    if (!dgram || !inbound || !auth[0]) return;
    // "host", "host:port" or "[host]:port", as the opener splits it.
    char ssm[URI_AUTH_MAX];
    snprintf(ssm, sizeof ssm, "%s", auth);
    if (ends_with_port(ssm)) *strrchr(ssm, ':') = '\0';
    const size_t n = strlen(ssm);
    if (ssm[0] == '[' && n >= 2 && ssm[n - 1] == ']') {
        ssm[n - 1] = '\0';
        memmove(ssm, ssm + 1, n - 1);
    }
    add_name(job, ssm, SOCK_DGRAM, ssm_slot);
}

void rsv_resolve_name(rsv_name *n) noexcept
{
    n->num[0] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = n->socktype;
    addrinfo *res = nullptr;
    n->err = getaddrinfo(n->name, nullptr, &hints, &res);
    if (n->err != 0) return;
    n->err = EAI_FAMILY;
    for (const addrinfo *ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        // The first address of a family the host can open, as the socket
        // opener would take it.
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        close(fd);
        if (getnameinfo(ai->ai_addr, ai->ai_addrlen, n->num, sizeof n->num, nullptr, 0,
                        NI_NUMERICHOST) == 0) {
            n->err = 0;
            break;
        }
        n->num[0] = '\0';
    }
    freeaddrinfo(res);
}

uint64_t rsv_submit(const rsv_job *job, rsv_done_cb cb, void *owner) noexcept
{
    static constexpr const char *fn = "rsv_submit";
    lfx_assert(job && cb && owner && job->count >= 1 && job->count <= RSV_NAMES_MAX);
    if (ensure_efd() != 0) return 0;
    lock_guard lock;
    slot *s = nullptr;
    for (slot &c : g_slots)
        if (c.state == SLOT_FREE) {
            s = &c;
            break;
        }
    if (!s) {
        log_err("%s: %zu name look-ups are pending, refused\n", fn, RSV_QUEUE_MAX);
        return 0;
    }
    if (g_idle == 0 && g_workers < RSV_WORKERS_MAX) {
        if (const int rc = start_worker(); rc != 0) {
            log_err("%s: cannot start a resolver thread: ERROR(%d): %s\n", fn, rc, strerror(rc));
            if (g_workers == 0) return 0;
        }
    }
    s->state = SLOT_QUEUED;
    s->id = ++g_last_id;
    s->cb = cb;
    s->owner = owner;
    s->job = *job;
    pthread_cond_signal(&g_cv);
    return s->id;
}

void rsv_cancel(uint64_t id) noexcept
{
    if (id == 0) return;
    lock_guard lock;
    for (slot &c : g_slots) {
        if (c.state == SLOT_FREE || c.id != id) continue;
        c.owner = nullptr;
        if (c.state != SLOT_RUNNING) c.state = SLOT_FREE;
        return;
    }
}

size_t rsv_busy() noexcept
{
    lock_guard lock;
    size_t n = 0;
    for (const slot &c : g_slots) n += c.state != SLOT_FREE;
    return n;
}

int on_rsv_read(int, int, void *udata, void *) noexcept
{
    lfx_assert(udata == &g_ctx);
    uint64_t count;
    (void)!read(g_efd, &count, sizeof count);
    // One job at a time leaves the lock before its callback, which may
    // submit or cancel jobs itself.
    for (;;) {
        rsv_done_cb cb = nullptr;
        void *owner = nullptr;
        rsv_job job{};
        {
            lock_guard lock;
            slot *s = nullptr;
            for (slot &c : g_slots)
                if (c.state == SLOT_DONE) {
                    s = &c;
                    break;
                }
            if (!s) break;
            cb = s->cb;
            owner = s->owner;
            if (owner) job = s->job;
            s->state = SLOT_FREE;
            s->owner = nullptr;
        }
        if (owner) cb(owner, &job);
    }
    return 0;
}
