#pragma once
// Shared fixture of the relay-path tests: the daemon's configuration and
// runtime context for a few tasks; an event loop whose callbacks hand
// "OPX" contexts to the task and agent handlers and "Rsc" to the listener
// handler, whose post-processing carries out queued suspensions and
// removals and whose idle step revives suspended tasks; and the test's own
// peers: datagram senders and collectors, transport streams and a scripted
// HTTP server.  Each case runs in a forked child inside a private network
// namespace (fixed ports are free there); peers run on their own threads.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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
#include "tasklife.h"
#include "timeop.h"
#include "tmout.h"

namespace rh {

inline int g_failures = 0;
#define CK(cond)                                                                     \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++rh::g_failures;                                                        \
        }                                                                            \
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
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// The datagrams that the send-error lines of a log report as dropped.
inline uint64_t dropped_in_lines(const std::string &text)
{
    static const std::string key = " dropped since the last line";
    uint64_t sum = 0;
    for (size_t p = text.find(key); p != std::string::npos; p = text.find(key, p + 1)) {
        size_t b = p;
        while (b > 0 && text[b - 1] >= '0' && text[b - 1] <= '9') --b;
        sum += strtoull(text.substr(b, p - b).c_str(), nullptr, 10);
    }
    return sum;
}

// body in a child inside a fresh private namespace, given timeout_ms.
inline int in_netns_for(const std::function<int()> &body, int timeout_ms)
{
    return run_in_child([&] { return enter_private_netns() ? body() : CHILD_SKIP; }, timeout_ms);
}

// --- the daemon's context and event loop ---------------------------------------------------

inline std::function<bool()> g_until;   // ends a run when true
inline std::function<void()> g_on_turn;  // after each turn's post-processing
inline long g_deadline_ms = 0;

inline int dispatch(int dir, int fd, int flags, void *ctx, void *aux)
{
    const uint32_t tag = static_cast<const n32_tag *>(ctx)->num;
    if (tag == RSC_TAG && dir == 0) return on_srv_read(fd, flags, ctx, aux);
    if (tag != OPX_TAG) abort();
    if (dir == 1) return on_task_write(fd, flags, ctx, aux);
    if (dir == 2) return on_task_error(fd, flags, ctx, aux);
    return static_cast<const op_ctx *>(ctx)->op == OP_OXA ? on_oxa_read(fd, flags, ctx, aux)
                                                         : on_task_read(fd, flags, ctx, aux);
}

inline int revive(void *udata, void *)
{
    auto *t = static_cast<rtask *>(udata);
    const int rc = rta_revive_task(t, g_cfg.mifc_in);
    if (rc != 0) t->must_suspend = false, pprm_task(t);
    return rc;
}

inline const rqs_callbacks k_callbacks = {
    [](timespec *t) {  // short waits, so that the hooks are asked often
        const long next = dly_next_ms();
        ms2timespec(dly_count() && next < 0 ? 0 : next >= 0 && next < 10 ? next : 10, t);
    },
    [] {
        time_out_tasks();
        if (dly_count()) dly_expire(revive, nullptr);
        return (g_until && g_until()) || now_ms() >= g_deadline_ms ? 1 : 0;
    },
    [](int fd, int fl, void *c, void *a) { return dispatch(0, fd, fl, c, a); },
    [](int fd, int fl, void *c, void *a) { return dispatch(1, fd, fl, c, a); },
    [](int fd, int fl, void *c, void *a) { return dispatch(2, fd, fl, c, a); },
    [] {
        pprm_task_cleanup();
        if (g_on_turn) g_on_turn();
        return 0;
    },
    nullptr, nullptr, nullptr};

// Runs the loop until `until` holds or max_ms have passed; until's answer.
inline bool run_until(const std::function<bool()> &until, long max_ms)
{
    g_until = until;
    g_deadline_ms = now_ms() + max_ms;
    rqs_event_loop();
    g_until = nullptr;
    return until && until();
}
inline void run_for(long ms) { run_until(nullptr, ms); }

// The daemon's defaults (retry period 1 s, receive buffers that hold a
// test burst, a 1 MiB byte ring), then tweak; task list, pending list and
// hash, time-out registry, delay queue and event loop.  INFO is logged.
struct relay_env {
    explicit relay_env(const std::function<void()> &tweak = nullptr)
    {
        init_app_config(&g_cfg);
        g_cfg.max_tasks = 16, g_cfg.task_tmout_ms = -1, g_cfg.max_pkts = DFLT_MAX_PKTS;
        g_cfg.savail_tmout_ms = DFLT_SAVAIL_TMOUT_MS, g_cfg.sdown_tmout_ms = DFLT_SDOWN_TMOUT_MS;
        g_cfg.max_retries = DFLT_MAX_RETRIES, g_cfg.retry_period_sec = 1;
        g_cfg.max_outpkt_len = DFLT_MAX_OPKT_LEN, g_cfg.use_mmsg = true;
        g_cfg.abkt = {10, 100, 200}, g_cfg.so.rcvbuf_size = 4 << 20, g_cfg.tcpbuf_mb = 1;
        if (tweak) tweak();
        log_set_modules(&g_log, INFO_level);
        g_app = tavel_ctx{};
        g_app.oxafd = -1;
        const size_t n = size_t(g_cfg.max_tasks);
        init_timeout_registry();
        const rqs_config rc{k_callbacks, 0};
        ok = xvlst_mmap_fixed(&g_app.curr_tasks, n, TASK_BLKSZ) == 0 &&
             xvlst_mmap_fixed(&g_app.pprm_tasks, n, PPRM_BLKSZ) == 0 &&
             skht_create(&g_app.task_ht, n, nullptr, nullptr, 0) == 0 && dly_init() == 0 &&
             rqs_init(&rc) == 0;
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

// Creates a task as a control request would (csock: its keep-alive link);
// the task, or null.  A request is served in a turn that began with a fresh
// clock: the task's time stamps must not carry the time of the set-up,
// which a busy machine can make seem a source down for half a second.
inline rtask *mk_task(const std::string &src, const std::string &dst, const char *alt = nullptr,
                      const task_options *opt = nullptr, int csock = -1)
{
    rqs_update_clock();
    if (add_task(csock, src.c_str(), dst.c_str(), alt, nullptr, opt) != 0) return nullptr;
    return lookup_task(src.c_str(), dst.c_str(), alt);
}

// Gives t (its writer not registered) a destination that blocks while its
// far end is not read: a datagram pair with a small send buffer.  The far end.
inline int pair_dest(rtask *t)
{
    int sp[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sp) != 0) abort();
    const int small = 4096;
    setsockopt(sp[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    close(t->outfd);
    t->outfd = sp[0];
    t->out_uc.sspec.addr_len = 0;  // connected: sendto takes no address
    return sp[1];
}

// --- peers ---------------------------------------------------------------------------------

inline sockaddr_storage mk_addr(const char *host, int port)
{
    sockaddr_storage ss{};
    auto *a4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, host, &a4->sin_addr) == 1) {
        a4->sin_family = AF_INET, a4->sin_port = htons(uint16_t(port));
    } else {
        inet_pton(AF_INET6, host, &a6->sin6_addr);
        a6->sin6_family = AF_INET6, a6->sin6_port = htons(uint16_t(port));
    }
    return ss;
}
inline socklen_t addr_len(const sockaddr_storage &ss)
{
    return ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// A datagram socket bound to host:port; an IPv4 group is joined on lo.
inline int udp_bound(const char *host, int port)
{
    const sockaddr_storage ss = mk_addr(host, port);
    const int fd = socket(ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1, big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    bind(fd, reinterpret_cast<const sockaddr *>(&ss), addr_len(ss));
    const auto *a4 = reinterpret_cast<const sockaddr_in *>(&ss);
    if (ss.ss_family == AF_INET && IN_MULTICAST(ntohl(a4->sin_addr.s_addr))) {
        const ip_mreqn m{a4->sin_addr, {}, 1};
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    }
    return fd;
}

struct udp_tx {
    udp_tx(const char *host, int port)
        : to(mk_addr(host, port)), fd(socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
    }
    ~udp_tx() { close(fd); }
    bool send(const std::string &d) const
    {
        return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                      addr_len(to)) == ssize_t(d.size());
    }
    sockaddr_storage to;
    int fd;
};

// Collects every datagram that reaches fd (host:port when not given) on
// its own thread, stopping while `hold` is set.
struct collector {
    collector(const char *host, int port, int given = -1)
        : fd(given >= 0 ? given : udp_bound(host, port))
    {
        th = std::jthread([this](std::stop_token st) {
            std::string buf(70000, '\0');
            while (!st.stop_requested()) {
                pollfd p{fd, POLLIN, 0};
                if (hold || poll(&p, 1, 5) != 1) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(hold ? 3 : 0));
                    continue;
                }
                const ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
                if (n < 0) continue;
                std::lock_guard<std::mutex> g(mu);
                got.emplace_back(buf.data(), size_t(n));
                at.push_back(now_ms());
                count = got.size(), bytes += size_t(n);
            }
        });
    }
    ~collector()
    {
        stop();
        close(fd);
    }
    void stop()
    {
        th.request_stop();
        if (th.joinable()) th.join();
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> g(mu);
        return got;
    }
    std::string joined()
    {
        std::string s;
        for (const auto &d : take()) s += d;
        return s;
    }
    int fd;
    std::atomic<bool> hold{false};
    std::mutex mu;
    std::vector<std::string> got;
    std::vector<long> at;  // arrival times, ms
    std::atomic<size_t> count{0}, bytes{0};
    std::jthread th;
};

// A datagram of len bytes naming its source tag and sequence number.
inline std::string mk_dgram(size_t len, uint32_t seq, char tag = 'P')
{
    std::string d(len, '\0');
    for (size_t i = 0; i < len; ++i) d[i] = char((seq * 131 + i * 7 + uint8_t(tag)) & 0xff);
    if (len >= 5) d[0] = tag, memcpy(&d[1], &seq, 4);
    return d;
}
inline uint32_t seq_of(const std::string &d)
{
    uint32_t s = 0;
    if (d.size() >= 5) memcpy(&s, &d[1], 4);
    return s;
}

// npkts transport packets of plen bytes, numbered from first.
inline std::string ts_packets(size_t plen, size_t npkts, uint32_t first = 0)
{
    std::string s(plen * npkts, '\0');
    for (size_t k = 0; k < npkts; ++k) {
        char *p = &s[k * plen];
        const uint32_t n = first + uint32_t(k);
        p[0] = 0x47, p[1] = char(n >> 16 & 0x1f), p[2] = char(n >> 8), p[3] = char(n);
        for (size_t j = 4; j < plen; ++j) p[j] = char((n + j * 3) % 251);
    }
    return s;
}

// One connection's script: chunks written in turn, pause_ms before each
// but the first; then held open, closed or reset.
struct http_script {
    std::vector<std::string> chunks;
    int pause_ms = 0;
    bool close_after = false;
    bool reset_after = false;
};

// An HTTP server on 127.0.0.1:port: connection i gets script i (the last
// repeats).  It keeps the request heads and counts held connections that
// the peer closed.
struct http_server {
    http_server(int port, std::vector<http_script> s)
        : lfd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), scripts(std::move(s))
    {
        const int on = 1;
        setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_storage ss = mk_addr("127.0.0.1", port);
        bind(lfd, reinterpret_cast<const sockaddr *>(&ss), addr_len(ss));
        listen(lfd, 8);
        th = std::jthread([this](std::stop_token st) { serve(st); });
    }
    ~http_server()
    {
        th.request_stop();
        th.join();
        close(lfd);
    }
    void serve(const std::stop_token &st)
    {
        std::vector<int> held;
        while (!st.stop_requested()) {
            pollfd p{lfd, POLLIN, 0};
            const int c = poll(&p, 1, 10) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (c >= 0) {
                const http_script &sc = scripts[std::min(connections.load(), scripts.size() - 1)];
                std::string head;
                char buf[2048];
                pollfd q{c, POLLIN, 0};
                while (head.find("\r\n\r\n") == std::string::npos && poll(&q, 1, 2000) == 1) {
                    const ssize_t n = recv(c, buf, sizeof buf, 0);
                    if (n <= 0) break;
                    head.append(buf, size_t(n));
                }
                {
                    std::lock_guard<std::mutex> g(mu);
                    requests.push_back(head);
                }
                ++connections;
                for (size_t i = 0; i < sc.chunks.size(); ++i) {
                    if (i) std::this_thread::sleep_for(std::chrono::milliseconds(sc.pause_ms));
                    for (size_t off = 0; off < sc.chunks[i].size();) {
                        const ssize_t n = send(c, sc.chunks[i].data() + off,
                                               sc.chunks[i].size() - off, MSG_NOSIGNAL);
                        if (n <= 0) break;
                        off += size_t(n);
                    }
                }
                const linger rst{1, 0};
                if (sc.reset_after) setsockopt(c, SOL_SOCKET, SO_LINGER, &rst, sizeof rst);
                if (sc.reset_after || sc.close_after)
                    close(c);
                else
                    held.push_back(c);
            }
            for (auto it = held.begin(); it != held.end();) {
                pollfd q{*it, POLLIN, 0};
                char b;
                if (poll(&q, 1, 0) == 1 && recv(*it, &b, 1, MSG_DONTWAIT) <= 0) {
                    close(*it);
                    it = held.erase(it);
                    ++peer_closed;
                } else {
                    ++it;
                }
            }
        }
        for (int c : held) close(c);
    }
    std::vector<std::string> heads()
    {
        std::lock_guard<std::mutex> g(mu);
        return requests;
    }
    int lfd;
    std::vector<http_script> scripts;
    std::mutex mu;
    std::vector<std::string> requests;
    std::atomic<size_t> connections{0};
    std::atomic<int> peer_closed{0};
    std::jthread th;
};

inline const char OK_HEAD[] = "HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\n\r\n";

// Destinations that the namespace's routes refuse for good: each send
// fails the same way until the route changes.  The recovery command (if
// any) lets datagrams pass again.  (EPERM comes from packet filters, which
// these cases do not set up.)
struct refusal {
    const char *why;
    const char *host;
    const char *setup;    // makes the route refuse the host
    int err;              // the send error that follows
    const char *recover;  // after this, datagrams reach host (null: none)
};
constexpr refusal kRefusals[] = {
    {"no route", "10.99.0.1", nullptr, ENETUNREACH, "ip addr add 10.99.0.1/32 dev lo"},
    {"prohibit route", "10.97.0.1", "ip route add prohibit 10.97.0.1/32", EACCES,
     "ip addr add 10.97.0.1/32 dev lo"},
    {"blackhole route", "10.98.0.1", "ip route add blackhole 10.98.0.1/32", EINVAL,
     "ip addr add 10.98.0.1/32 dev lo"},
    {"broadcast without SO_BROADCAST", "10.96.0.255", "ip addr add 10.96.0.1/24 brd + dev lo",
     EACCES, nullptr},
};


// The agent-message handler belongs to the daemon's control requests; the
// tests record the lines instead (weak: the daemon's own wins wherever it
// is linked).
inline std::vector<std::string> g_oxa_lines;

}  // namespace rh

[[gnu::weak]] int oxa_process_task(const char *msg) noexcept
{
    rh::g_oxa_lines.emplace_back(msg);
    return 0;
}
