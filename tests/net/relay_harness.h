#pragma once
// Shared fixture of the relay-path tests, included by each of their test
// programs: the daemon's configuration and runtime context set up for a
// few tasks, an event loop whose callbacks dispatch "OPX" contexts to the
// task and agent handlers (and "Rsc" to the listener handler) and whose
// post-processing carries out queued suspensions and removals, delays that
// revive suspended tasks, and the test's own peers: datagram senders and
// collectors, transport-stream generators and a scripted HTTP server.
//
// Every case runs in a forked child inside a private network namespace
// (lo up, 224.0.0.0/4 routed through lo), so fixed ports are free and no
// traffic leaves it.  Peers run on their own threads with their own
// sockets; the relay runs on the child's main thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app.globals.h"
#include "cfg.h"
#include "delay.h"
#include "handlers.h"
#include "log.h"
#include "netns.h"
#include "oxamsg.h"
#include "registry.h"
#include "rqs.h"
#include "rtask.h"
#include "rui.h"
#include "tasklife.h"
#include "timeop.h"
#include "tmout.h"

namespace rh {

// --- checks inside a child --------------------------------------------------------------

inline int g_failures = 0;

#define CK(cond)                                                                         \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);     \
            ++rh::g_failures;                                                            \
        }                                                                                \
    } while (0)

inline int verdict() { return g_failures ? 1 : 0; }

inline long now_ms()
{
    timespec t;
    set_now(&t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

inline size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size()))
        ++n;
    return n;
}

// Runs body in a child inside a fresh private namespace, allowing
// timeout_ms; CHILD_SKIP when no namespace can be made.
inline int in_netns_for(const std::function<int()> &body, int timeout_ms)
{
    return run_in_child(
        [&] {
            if (!enter_private_netns()) return CHILD_SKIP;
            return body();
        },
        timeout_ms);
}

// --- configuration and runtime context ----------------------------------------------------

// The daemon's defaults, with a short retry period, receive buffers large
// enough that a test burst is never dropped, and a 1 MiB byte ring.
inline void set_cfg_defaults()
{
    init_app_config(&g_cfg);
    g_cfg.max_tasks = 16;
    g_cfg.task_tmout_ms = -1;
    g_cfg.savail_tmout_ms = DFLT_SAVAIL_TMOUT_MS;
    g_cfg.sdown_tmout_ms = DFLT_SDOWN_TMOUT_MS;
    g_cfg.max_pkts = DFLT_MAX_PKTS;
    g_cfg.max_retries = DFLT_MAX_RETRIES;
    g_cfg.retry_period_sec = 1;
    g_cfg.max_outpkt_len = DFLT_MAX_OPKT_LEN;
    g_cfg.use_mmsg = true;
    g_cfg.abkt = {10, 100, 200};
    g_cfg.so.rcvbuf_size = 4 << 20;
    g_cfg.tcpbuf_mb = 1;
}

// The loop's hooks: until ends a run when it answers true; on_turn runs
// after every turn's post-processing.
inline std::function<bool()> g_until;
inline std::function<void()> g_on_turn;
inline long g_deadline_ms = 0;

inline int revive_cb(void *udata, void *)
{
    auto *t = static_cast<rtask *>(udata);
    const int rc = rta_revive_task(t, g_cfg.mifc_in);
    if (rc != 0) {
        t->must_suspend = false;
        pprm_task(t);
    }
    return rc;
}

inline int cb_read(int fd, int flags, void *ctx, void *aux)
{
    const uint32_t tag = static_cast<const n32_tag *>(ctx)->num;
    if (tag == RSC_TAG) return on_srv_read(fd, flags, ctx, aux);
    if (tag != OPX_TAG) abort();
    return static_cast<const op_ctx *>(ctx)->op == OP_OXA ? on_oxa_read(fd, flags, ctx, aux)
                                                         : on_task_read(fd, flags, ctx, aux);
}
inline int cb_write(int fd, int flags, void *ctx, void *aux)
{
    if (static_cast<const n32_tag *>(ctx)->num != OPX_TAG) abort();
    return on_task_write(fd, flags, ctx, aux);
}
inline int cb_error(int fd, int flags, void *ctx, void *aux)
{
    if (static_cast<const n32_tag *>(ctx)->num != OPX_TAG) return 0;
    return on_task_error(fd, flags, ctx, aux);
}
inline int cb_post()
{
    pprm_task_cleanup();
    if (g_on_turn) g_on_turn();
    return 0;
}
inline int cb_idle()
{
    time_out_tasks();
    if (dly_count()) dly_expire(revive_cb, nullptr);
    if (g_until && g_until()) return 1;
    return now_ms() >= g_deadline_ms ? 1 : 0;
}
// Short waits, so that the hooks are asked often; a due delay makes none.
inline void cb_tmout(timespec *t)
{
    long ms = 10;
    const long next = dly_next_ms();
    if (next >= 0 && next < ms) ms = next;
    if (dly_count() && next < 0) ms = 0;
    ms2timespec(ms, t);
}

// Runs the loop until `until` answers true or max_ms have passed; until's
// last answer.
inline bool run_until(const std::function<bool()> &until, long max_ms)
{
    g_until = until;
    g_deadline_ms = now_ms() + max_ms;
    rqs_event_loop();
    const bool ok = until && until();
    g_until = nullptr;
    return ok;
}
inline void run_for(long ms) { run_until(nullptr, ms); }

// The daemon's context for a child: configuration (defaults, then tweak),
// task list, pending list and hash, time-out registry, delay queue and the
// event loop.  Log lines of INFO and worse go to the log capture.
struct relay_env {
    explicit relay_env(const std::function<void()> &tweak = nullptr)
    {
        set_cfg_defaults();
        if (tweak) tweak();
        log_set_modules(&g_log, INFO_level);
        g_app = tavel_ctx{};
        g_app.oxafd = -1;
        ok = xvlst_mmap_fixed(&g_app.curr_tasks, size_t(g_cfg.max_tasks), TASK_BLKSZ) == 0 &&
             xvlst_mmap_fixed(&g_app.pprm_tasks, size_t(g_cfg.max_tasks), PPRM_BLKSZ) == 0 &&
             skht_create(&g_app.task_ht, size_t(g_cfg.max_tasks), nullptr, nullptr, 0) == 0;
        init_timeout_registry();
        ok = ok && dly_init() == 0;
        rqs_config rc{};
        rc.cb = {cb_tmout, cb_idle, cb_read, cb_write, cb_error, cb_post, nullptr, nullptr, nullptr};
        ok = ok && rqs_init(&rc) == 0;
        rqs_update_clock();
        g_app.is_ready = ok;
    }
    ~relay_env()
    {
        pprm_task_cleanup();
        rm_all_tasks();
        skht_destroy(g_app.task_ht, nullptr);
        xvlst_reset(&g_app.curr_tasks);
        xvlst_reset(&g_app.pprm_tasks);
        rqs_destroy();
        dly_destroy();
        g_on_turn = nullptr;
    }
    relay_env(const relay_env &) = delete;
    relay_env &operator=(const relay_env &) = delete;
    bool ok = false;
};

// The live task of key "src|dst" (or "src+alt|dst"), or null.
inline rtask *find_task(const char *src, const char *dst, const char *alt = nullptr)
{
    rtask *t = lookup_task(src, dst, alt);
    return t && t->tag.num == RTA_TAG ? t : nullptr;
}

// --- datagram peers --------------------------------------------------------------------

inline sockaddr_storage mk_addr(const char *host, int port)
{
    sockaddr_storage ss{};
    if (strchr(host, ':')) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(uint16_t(port));
        inet_pton(AF_INET6, host, &a->sin6_addr);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, host, &a->sin_addr);
    }
    return ss;
}

inline socklen_t addr_len(const sockaddr_storage &ss)
{
    return ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A datagram socket bound to host:port (a group is joined on lo).
inline int udp_bound(const char *host, int port)
{
    const sockaddr_storage ss = mk_addr(host, port);
    const int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1, big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&ss), addr_len(ss)) != 0) {
        close(fd);
        return -1;
    }
    if (ss.ss_family == AF_INET && IN_MULTICAST(ntohl(
                                       reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr.s_addr))) {
        ip_mreqn m{};
        m.imr_multiaddr = reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr;
        m.imr_ifindex = 1;
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    }
    return fd;
}

// Sends datagrams to host:port (multicast through lo).
struct udp_tx {
    udp_tx(const char *host, int port) : to(mk_addr(host, port))
    {
        fd = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int loop = 1;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    }
    ~udp_tx() { close(fd); }
    udp_tx(const udp_tx &) = delete;
    udp_tx &operator=(const udp_tx &) = delete;
    bool send(const std::string &d) const
    {
        return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                      addr_len(to)) == ssize_t(d.size());
    }
    sockaddr_storage to;
    int fd = -1;
};

// Collects every datagram that reaches host:port on its own thread.
struct collector {
    collector(const char *host, int port) : fd(udp_bound(host, port))
    {
        th = std::jthread([this](std::stop_token st) {
            std::string buf(70000, '\0');
            while (!st.stop_requested()) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 20) != 1) continue;
                const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n < 0) continue;
                std::lock_guard<std::mutex> g(mu);
                got.emplace_back(buf.data(), size_t(n));
                at.push_back(now_ms());
                count.store(got.size());
                bytes += size_t(n);
            }
        });
    }
    ~collector()
    {
        th.request_stop();
        th.join();
        close(fd);
    }
    collector(const collector &) = delete;
    collector &operator=(const collector &) = delete;
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> g(mu);
        return got;
    }
    std::vector<long> times()
    {
        std::lock_guard<std::mutex> g(mu);
        return at;
    }
    std::string joined()
    {
        std::lock_guard<std::mutex> g(mu);
        std::string s;
        for (const auto &d : got) s += d;
        return s;
    }
    int fd;
    std::mutex mu;
    std::vector<std::string> got;
    std::vector<long> at;  // arrival times, ms
    std::atomic<size_t> count{0};
    std::atomic<size_t> bytes{0};
    std::jthread th;
};

// A datagram of len bytes that names its sequence number and source tag.
inline std::string mk_dgram(size_t len, uint32_t seq, char tag = 'P')
{
    std::string d(len, '\0');
    for (size_t i = 0; i < len; ++i) d[i] = char((seq * 131 + i * 7 + uint8_t(tag)) & 0xff);
    if (len >= 5) {
        d[0] = tag;
        memcpy(&d[1], &seq, 4);
    }
    return d;
}

inline uint32_t seq_of(const std::string &d)
{
    uint32_t s = 0;
    if (d.size() >= 5) memcpy(&s, &d[1], 4);
    return s;
}

// --- transport streams and the HTTP server -------------------------------------------------

// npkts packets of plen bytes, each starting with the sync byte and
// carrying its number; no other 0x47 at a packet start.
inline std::string ts_packets(size_t plen, size_t npkts, uint32_t first = 0)
{
    std::string s(plen * npkts, '\0');
    for (size_t k = 0; k < npkts; ++k) {
        char *p = &s[k * plen];
        p[0] = 0x47;
        const uint32_t n = first + uint32_t(k);
        p[1] = char(n >> 16 & 0x1f), p[2] = char(n >> 8), p[3] = char(n);
        for (size_t j = 4; j < plen; ++j) p[j] = char((n + j * 3) % 251);
    }
    return s;
}

// One connection's script: the pieces written in turn (a pause of
// pause_ms before each but the first), then the connection is held open
// until the server stops, or closed at once (close_after), or reset.
struct http_script {
    std::vector<std::string> pieces;
    int pause_ms = 0;
    bool close_after = false;
    bool reset_after = false;
};

// A scripted HTTP server on 127.0.0.1:port: the i-th connection gets the
// i-th script (the last one repeats).  It records each request head and
// whether a held connection was closed by the peer.
struct http_server {
    http_server(int port, std::vector<http_script> s) : scripts(std::move(s))
    {
        lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_storage ss = mk_addr("127.0.0.1", port);
        if (bind(lfd, reinterpret_cast<const sockaddr *>(&ss), addr_len(ss)) != 0 ||
            listen(lfd, 8) != 0)
            fprintf(stderr, "http_server: cannot listen on %d\n", port);
        th = std::jthread([this](std::stop_token st) { serve(st); });
    }
    ~http_server()
    {
        th.request_stop();
        th.join();
        close(lfd);
    }
    http_server(const http_server &) = delete;
    http_server &operator=(const http_server &) = delete;

    void serve(const std::stop_token &st)
    {
        std::vector<int> held;
        size_t conn = 0;
        while (!st.stop_requested()) {
            pollfd p{lfd, POLLIN, 0};
            if (poll(&p, 1, 20) == 1) {
                const int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) {
                    const http_script &sc = scripts[std::min(conn, scripts.size() - 1)];
                    ++conn;
                    connections.store(conn);
                    std::string head;
                    char buf[2048];
                    const long until = now_ms() + 2000;
                    while (head.find("\r\n\r\n") == std::string::npos && now_ms() < until) {
                        pollfd q{c, POLLIN, 0};
                        if (poll(&q, 1, 50) != 1) continue;
                        const ssize_t n = recv(c, buf, sizeof buf, 0);
                        if (n <= 0) break;
                        head.append(buf, size_t(n));
                    }
                    {
                        std::lock_guard<std::mutex> g(mu);
                        requests.push_back(head);
                    }
                    for (size_t i = 0; i < sc.pieces.size() && !st.stop_requested(); ++i) {
                        if (i && sc.pause_ms)
                            std::this_thread::sleep_for(std::chrono::milliseconds(sc.pause_ms));
                        write_all(c, sc.pieces[i]);
                    }
                    if (sc.reset_after) {
                        linger l{1, 0};
                        setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                        close(c);
                    } else if (sc.close_after) {
                        close(c);
                    } else {
                        held.push_back(c);
                    }
                }
            }
            // A held connection that the peer closed is noted and let go.
            for (auto it = held.begin(); it != held.end();) {
                pollfd q{*it, POLLIN, 0};
                char b;
                if (poll(&q, 1, 0) == 1 && recv(*it, &b, 1, MSG_DONTWAIT) <= 0) {
                    close(*it);
                    it = held.erase(it);
                    peer_closed.fetch_add(1);
                } else {
                    ++it;
                }
            }
        }
        for (int c : held) close(c);
    }

    static void write_all(int fd, const std::string &s)
    {
        size_t off = 0;
        while (off < s.size()) {
            const ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno == EAGAIN) continue;
                return;
            }
            off += size_t(n);
        }
    }

    std::vector<std::string> heads()
    {
        std::lock_guard<std::mutex> g(mu);
        return requests;
    }

    int lfd = -1;
    std::vector<http_script> scripts;
    std::mutex mu;
    std::vector<std::string> requests;
    std::atomic<size_t> connections{0};
    std::atomic<int> peer_closed{0};
    std::jthread th;
};

inline const char OK_HEAD[] = "HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\n\r\n";

}  // namespace rh

// The agent-message handler belongs to the daemon's control requests; the
// tests record the lines instead.  Weak, so that the daemon's own wins
// wherever it is linked.
namespace rh {
inline std::vector<std::string> g_oxa_lines;
}
[[gnu::weak]] int oxa_process_task(const char *msg) noexcept
{
    rh::g_oxa_lines.emplace_back(msg);
    return 0;
}
