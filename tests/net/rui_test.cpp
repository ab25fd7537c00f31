// Listeners and request queues on loopback (127.0.0.1, ::1 and a
// Unix-domain path), with request callbacks of the test's own: bounded
// accept passes, the per-listener queue limit, the removal and time-out
// sweeps, service through the event loop, and descriptor exhaustion, which
// must neither spin the loop nor lose the listener.
#include "rui.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app.globals.h"
#include "log.h"
#include "netns.h"
#include "netops.h"
#include "rqs.h"
#include "support.h"

using ::testing::HasSubstr;

namespace {

constexpr uint32_t TRQ_TAG = mk_tag32("TRQ");
constexpr int WAIT_MS = 5000;

// A request of the test: the common head, then what the test looks at.
struct test_rq {
    rui_rq_header h;
    int seq;       // creation order
    bool expired;  // what time_out answers
    int lowmark;   // SO_RCVLOWAT found at creation
    int nodelay;   // TCP_NODELAY found at creation
    char got[64];
    size_t len;
};

struct counters {
    int made = 0, freed = 0, refused = 0;
    std::vector<int> tmout_order;
} g_n;

int sockopt_int(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(fd, level, name, &v, &len);
    return v;
}

void *t_new(int fd, rui_socket_ctx *srv, void *)
{
    if (g_n.refused > 0) {
        --g_n.refused;
        return nullptr;
    }
    auto *r = static_cast<test_rq *>(calloc(1, sizeof(test_rq)));
    r->h.tag.num = TRQ_TAG;
    r->h.srv = srv;
    r->h.fd = fd;
    r->seq = g_n.made++;
    r->lowmark = sockopt_int(fd, SOL_SOCKET, SO_RCVLOWAT);
    r->nodelay = sockopt_int(fd, IPPROTO_TCP, TCP_NODELAY);
    return r;
}

void t_rm(void *rq)
{
    auto *r = static_cast<test_rq *>(rq);
    if (r->h.fd >= 0) close(r->h.fd);
    free(r);
    ++g_n.freed;
}

// Queues a request for the post-turn sweep once.
void t_queue(test_rq *r)
{
    xvlst *q = &r->h.srv->pprm;
    if (xvlst_find(q, r, is_ptr_match, nullptr)) return;
    const ssize_t j = xvlst_add(q, RUI_PPRM_BLKSZ, RUI_PPRM_GROW);
    ASSERT_GE(j, 0);
    static_cast<void **>(q->data)[j] = r;
}

bool t_tmout(void *rq, size_t)
{
    auto *r = static_cast<test_rq *>(rq);
    g_n.tmout_order.push_back(r->seq);
    if (r->expired) t_queue(r);
    return r->expired;
}

const rui_socket_cb k_cb = {{.num = TRQ_TAG}, t_new, t_rm, t_tmout};

// --- the event loop of the test ----------------------------------------------------------

rui_ctx g_ctx;
size_t g_max_accept = 128;
int g_accept_calls = 0;
int (*g_until)() = nullptr;  // ends the loop when non-zero
timespec g_deadline;

int on_read(int, int, void *udata, void *)
{
    const uint32_t tag = static_cast<n32_tag *>(udata)->num;
    if (tag == RSC_TAG) {
        ++g_accept_calls;
        return rui_accept(static_cast<rui_socket_ctx *>(udata), g_max_accept, 0, nullptr);
    }
    auto *r = static_cast<test_rq *>(udata);
    EXPECT_EQ(tag, TRQ_TAG);
    const ssize_t n = read(r->h.fd, r->got + r->len, sizeof(r->got) - 1 - r->len);
    if (n > 0) r->len += size_t(n);
    if (n <= 0 || memchr(r->got, '\n', r->len)) {
        if (n > 0) {
            EXPECT_EQ(write(r->h.fd, "ok\n", 3), 3);
        }
        t_queue(r);
    }
    return 0;
}
int on_other(int, int, void *, void *) { return 0; }
void upd_tmout(timespec *t) { ms2timespec(20, t); }
int post()
{
    rui_pprm_all(&g_ctx);
    timespec now;
    set_now(&now);
    if (now.tv_sec > g_deadline.tv_sec ||
        (now.tv_sec == g_deadline.tv_sec && now.tv_nsec > g_deadline.tv_nsec))
        return 1;
    return g_until && g_until() ? 1 : 0;
}

// Runs the loop until g_until says so, at most ms.
void run_loop(long ms)
{
    timespec span;
    ms2timespec(ms, &span);
    set_now_plus(&g_deadline, &span);
    rqs_event_loop();
}

void init_loop()
{
    rqs_config cfg{};
    cfg.cb.update_tmout = upd_tmout;
    cfg.cb.read = on_read;
    cfg.cb.write = on_other;
    cfg.cb.error = on_other;
    cfg.cb.post_process = post;
    ASSERT_EQ(rqs_init(&cfg), 0);
}

// --- listeners and clients --------------------------------------------------------------------

// A port free on loopback of af right now.
std::string free_port(int af)
{
    const int fd = socket(af, SOCK_STREAM, 0);
    sockaddr_storage ss{};
    socklen_t len = af == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    ss.ss_family = sa_family_t(af);
    if (af == AF_INET)
        reinterpret_cast<sockaddr_in *>(&ss)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else
        reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_addr = in6addr_loopback;
    bind(fd, reinterpret_cast<sockaddr *>(&ss), len);
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    close(fd);
    const auto *p = af == AF_INET ? &reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                  : &reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port;
    return std::to_string(ntohs(*p));
}

listener_cfg lo_listener(int af, const char *alias)
{
    listener_cfg lc{};
    lc.is_valid = true;
    lc.index = 1;
    lc.ifc = get_ifc_info(af, "lo");
    lc.pref_af = af;
    lc.proto = 6;
    snprintf(lc.port, sizeof lc.port, "%s", free_port(af).c_str());
    snprintf(lc.alias, sizeof lc.alias, "%s", alias);
    return lc;
}

listener_cfg unix_listener(const std::string &path)
{
    listener_cfg lc{};
    lc.is_valid = true;
    lc.index = 1;
    lc.proto = 6;
    snprintf(lc.domain_path, sizeof lc.domain_path, "%s", path.c_str());
    snprintf(lc.alias, sizeof lc.alias, "unix");
    return lc;
}

// A non-blocking client connected (or connecting) to a listener of lc.
int connect_to(const listener_cfg &lc)
{
    sockaddr_storage ss{};
    socklen_t len;
    int fd;
    if (lc.domain_path[0]) {
        auto *un = reinterpret_cast<sockaddr_un *>(&ss);
        un->sun_family = AF_UNIX;
        snprintf(un->sun_path, sizeof un->sun_path, "%s", lc.domain_path);
        len = sizeof(sockaddr_un);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    } else {
        ss = lc.ifc->ss;
        const int port = atoi(lc.port);
        len = lc.pref_af == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (lc.pref_af == AF_INET)
            reinterpret_cast<sockaddr_in *>(&ss)->sin_port = htons(uint16_t(port));
        else
            reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port = htons(uint16_t(port));
        fd = socket(lc.pref_af, SOCK_STREAM | SOCK_NONBLOCK, 0);
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

bool wait_for(int fd, short events, int ms = WAIT_MS)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & events);
}

// True when the peer closed: readable with nothing left to read.
bool closed_by_peer(int fd)
{
    char c;
    return wait_for(fd, POLLIN) && read(fd, &c, 1) == 0;
}

std::vector<test_rq *> requests_of(rui_socket_ctx &ls)
{
    std::vector<test_rq *> out;
    for (auto *d = static_cast<dlep_hdr *>(dlep_tail(ls.requests)); d; d = d->next)
        out.push_back(reinterpret_cast<test_rq *>(d));
    return out;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class rui : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_n = counters{};
        g_until = nullptr;
        g_max_accept = 128;
        g_accept_calls = 0;
        rui_set_cb(RUI_USER, &k_cb);
    }
    void TearDown() override
    {
        rui_ctx_destroy(&g_ctx);
        drop_rui_config(&lcfg_);
        rqs_destroy();
        const rui_socket_cb none{};
        rui_set_cb(RUI_USER, &none);
        rui_set_cb(RUI_ADMIN, &none);
        g_mod_ll[LM_DEFAULT] = NORM_level;
    }

    rui_cfg lcfg_{};
};

TEST_F(rui, AcceptPassesAreBoundedAndRequestsAreSwept)
{
    init_loop();
    lcfg_.user[0] = lo_listener(AF_INET, "lo4");
    ASSERT_NE(lcfg_.user[0].ifc, nullptr);
    ASSERT_EQ(rui_ctx_init(&lcfg_, &g_ctx), 0);
    ASSERT_EQ(rui_ctx_start(&g_ctx), 0);
    rui_socket_ctx &ls = g_ctx.user[0];
    EXPECT_TRUE(lcfg_.user[0].is_ctx_owned);
    EXPECT_TRUE(fcntl(ls.sockfd, F_GETFD) & FD_CLOEXEC);

    std::vector<Fd> clients(20);
    for (Fd &c : clients) ASSERT_GE((c.fd = connect_to(lcfg_.user[0])), 0);
    for (Fd &c : clients) ASSERT_TRUE(wait_for(c.fd, POLLOUT));

    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    LogCapture cap;
    for (size_t want : {8u, 16u, 20u}) {
        EXPECT_EQ(rui_accept(&ls, 8, RUI_TCP_NODELAY, nullptr), 0);
        EXPECT_EQ(dlep_count(ls.requests), want);
    }
    const std::string log = cap.text();
    EXPECT_EQ(count_of(log, "rui_accept(lo4): CANNOT ACCEPT ALL (accepted=8), max=8\n"), 2u);
    EXPECT_EQ(count_of(log, "rui_accept(lo4): end of accept queue reached\n"), 1u);
    EXPECT_THAT(log, HasSubstr("Accepted lo4 request [fd="));
    EXPECT_THAT(log, HasSubstr("] from 127.0.0.1:"));

    const std::vector<test_rq *> rqs = requests_of(ls);
    ASSERT_EQ(rqs.size(), 20u);
    for (size_t i = 0; i < rqs.size(); ++i) {
        const int fd = rqs[i]->h.fd;
        EXPECT_EQ(rqs[i]->seq, int(i));  // oldest at the tail
        EXPECT_TRUE(FD_ISSET(fd, &ls.accset));
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(rqs[i]->nodelay, 1);
        EXPECT_EQ(rqs[i]->lowmark, 1);
    }

    // The time-out sweep walks oldest first and only queues.
    for (int i : {3, 7, 12}) rqs[size_t(i)]->expired = true;
    cap.clear();
    rui_tmout_all(&g_ctx, 5000);
    EXPECT_THAT(cap.text(), HasSubstr("rui_tmout_all: 3 [lo4] requests timed out\n"));
    ASSERT_EQ(g_n.tmout_order.size(), 20u);
    for (size_t i = 0; i < 20; ++i) EXPECT_EQ(g_n.tmout_order[i], int(i));
    EXPECT_EQ(ls.pprm.len, 3u);
    EXPECT_EQ(dlep_count(ls.requests), 20u);

    // A request removed at once also leaves the removal queue.
    const int fd7 = rqs[7]->h.fd;
    EXPECT_EQ(rui_rm_request(rqs[7]), 0);
    EXPECT_EQ(ls.pprm.len, 2u);
    EXPECT_EQ(g_n.freed, 1);
    EXPECT_FALSE(FD_ISSET(fd7, &ls.accset));

    rui_pprm_all(&g_ctx);
    EXPECT_EQ(g_n.freed, 3);
    EXPECT_EQ(ls.pprm.len, 0u);
    EXPECT_EQ(dlep_count(ls.requests), 17u);
    for (int i : {3, 7, 12}) EXPECT_TRUE(closed_by_peer(clients[size_t(i)].fd)) << i;
    EXPECT_FALSE(wait_for(clients[4].fd, POLLIN, 0));

    cap.clear();
    rui_tmout_all(&g_ctx, 5000);
    EXPECT_THAT(cap.text(), HasSubstr("rui_tmout_all: no time-outs for [lo4]\n"));

    // Stopping keeps the requests; destroying frees them and the entry.
    rui_stop_listener(&ls);
    EXPECT_EQ(ls.sockfd, -1);
    EXPECT_TRUE(ls.deferred);
    EXPECT_EQ(dlep_count(ls.requests), 17u);
    rui_ctx_destroy(&g_ctx);
    EXPECT_EQ(g_n.freed, 20);
    EXPECT_FALSE(lcfg_.user[0].is_valid);
    EXPECT_EQ(lcfg_.user[0].ifc, nullptr);
    EXPECT_EQ(ls.tag.num, 0u);
    EXPECT_TRUE(closed_by_peer(clients[0].fd));
}

TEST_F(rui, QueueLimitRefusesOneConnectionAndHighDescriptorsAreServed)
{
    TempDir dir;
    const int rc = run_in_child([&] {
        rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_max < 2200) return CHILD_SKIP;
        rl.rlim_cur = 2200;
        CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &rl) == 0);
        init_loop();
        lcfg_.user[0] = unix_listener(dir.file("q.sock"));
        CHILD_CHECK(rui_ctx_init(&lcfg_, &g_ctx) == 0 && rui_ctx_start(&g_ctx) == 0);
        rui_socket_ctx &ls = g_ctx.user[0];

        // Accepted in batches, so that no backlog limit gets in the way.
        std::vector<int> clients;
        LogCapture cap;
        for (size_t i = 0; i <= MAX_RUI_QUEUED; ++i) {
            const int fd = connect_to(lcfg_.user[0]);
            CHILD_CHECK(fd >= 0);
            clients.push_back(fd);
            if (i % 50 == 49 || i == MAX_RUI_QUEUED)
                CHILD_CHECK(rui_accept(&ls, 2000, 0, nullptr) == 0);
        }
        CHILD_CHECK(dlep_count(ls.requests) == MAX_RUI_QUEUED);
        const std::string log = cap.text();
        CHILD_CHECK(count_of(log, "rui_add_request: Too many user requests (1000) queued\n") == 1);
        CHILD_CHECK(count_of(log, "Error rc=16 processing connection [") == 1);
        CHILD_CHECK(log.find("rui_add_request: FD_SETSIZE overflow (fd") != std::string::npos);

        // Exactly one client was turned away; the others wait for answers.
        std::vector<pollfd> pfd;
        for (int fd : clients) pfd.push_back({fd, POLLIN, 0});
        CHILD_CHECK(poll(pfd.data(), pfd.size(), 1000) == 1);
        size_t high = 0;
        for (test_rq *r : requests_of(ls)) {
            if (r->h.fd >= FD_SETSIZE)
                ++high;
            else
                CHILD_CHECK(FD_ISSET(r->h.fd, &ls.accset));
        }
        CHILD_CHECK(high > 0);

        rui_ctx_destroy(&g_ctx);
        CHILD_CHECK(g_n.freed == int(MAX_RUI_QUEUED));
        rqs_destroy();
        return 0;
    });
    EXPECT_CHILD_OK(rc);
}

TEST_F(rui, ServesThroughTheEventLoopOnIPv6AndUnix)
{
    TempDir dir;
    init_loop();
    const bool v6 = have_ipv6_loopback();
    size_t n = 0;
    if (v6) {
        lcfg_.user[n] = lo_listener(AF_INET6, "lo6");
        lcfg_.user[n].index = n + 1;
        lcfg_.user[n++].lowmark = 3;
    }
    lcfg_.user[n] = unix_listener(dir.file("u.sock"));
    lcfg_.user[n].index = n + 1;
    lcfg_.user[n++].lowmark = 3;
    ASSERT_EQ(rui_ctx_init(&lcfg_, &g_ctx), 0);
    {
        LogCapture cap;
        g_mod_ll[LM_DEFAULT] = INFO_level;
        ASSERT_EQ(rui_ctx_start(&g_ctx), 0);
        if (v6) {
            EXPECT_THAT(cap.text(), HasSubstr(" for TRQ requests on lo:" +
                                              std::string(lcfg_.user[0].port) + "; 0 requests pending\n"));
        }
        EXPECT_THAT(cap.text(), HasSubstr(" for TRQ requests on " + dir.file("u.sock") +
                                          ":; 0 requests pending\n"));
    }

    std::vector<Fd> clients(n);
    for (size_t i = 0; i < n; ++i) {
        ASSERT_GE((clients[i].fd = connect_to(lcfg_.user[i])), 0);
        ASSERT_TRUE(wait_for(clients[i].fd, POLLOUT));
        ASSERT_EQ(write(clients[i].fd, "hello\n", 6), 6);
    }
    static size_t want;
    want = n;
    g_until = [] { return g_n.freed == int(want) ? 1 : 0; };
    run_loop(WAIT_MS);
    EXPECT_EQ(g_n.freed, int(n));
    for (size_t i = 0; i < n; ++i) {
        char buf[8] = {};
        ASSERT_TRUE(wait_for(clients[i].fd, POLLIN));
        EXPECT_EQ(read(clients[i].fd, buf, sizeof buf), 3);
        EXPECT_STREQ(buf, "ok\n");
        EXPECT_TRUE(closed_by_peer(clients[i].fd));
    }
    // The low-water mark applies to IP connections only: a request kept
    // open shows it.
    Fd c(connect_to(lcfg_.user[0]));
    ASSERT_TRUE(wait_for(c.fd, POLLOUT));
    g_until = [] { return g_n.made == int(want) + 1 ? 1 : 0; };
    run_loop(WAIT_MS);
    const std::vector<test_rq *> rqs = requests_of(g_ctx.user[0]);
    ASSERT_EQ(rqs.size(), 1u);
    EXPECT_EQ(rqs[0]->lowmark, v6 ? 3 : 1);
}

TEST_F(rui, DescriptorExhaustionPausesTheListenerWithoutLosingIt)
{
    TempDir dir;
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    lcfg_.user[0] = unix_listener(dir.file("x.sock"));
    const int pid = start_child([&] {
        init_loop();
        CHILD_CHECK(rui_ctx_init(&lcfg_, &g_ctx) == 0 && rui_ctx_start(&g_ctx) == 0);
        LogCapture cap;
        // Every descriptor the process may have is taken.
        rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        rl.rlim_cur = 64;
        CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &rl) == 0);
        std::vector<int> fill;
        for (int fd; (fd = dup(go[0])) >= 0;) fill.push_back(fd);
        CHILD_CHECK(errno == EMFILE);
        char c = 'R';
        CHILD_CHECK(write(ready[1], &c, 1) == 1);
        CHILD_CHECK(read(go[0], &c, 1) == 1);

        g_until = nullptr;
        run_loop(1000);
        CHILD_CHECK(g_accept_calls >= 2);
        CHILD_CHECK(g_accept_calls < 20);  // a spinning listener makes thousands
        CHILD_CHECK(dlep_count(g_ctx.user[0].requests) == 0);
        const std::string log = cap.text();
        CHILD_CHECK(count_of(log, "rui_accept(unix): accept() ERROR(24): Too many open files, "
                                  "listener paused for 250 ms\n") == 1);

        for (int fd : fill) close(fd);
        g_until = [] { return dlep_count(g_ctx.user[0].requests) == 5 ? 1 : 0; };
        run_loop(WAIT_MS);
        CHILD_CHECK(dlep_count(g_ctx.user[0].requests) == 5);
        rui_ctx_destroy(&g_ctx);
        rqs_destroy();
        return 0;
    });
    ASSERT_GT(pid, 0);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    std::vector<Fd> clients(5);
    for (Fd &cl : clients) ASSERT_GE((cl.fd = connect_to(lcfg_.user[0])), 0);
    ASSERT_EQ(write(go[1], "G", 1), 1);
    EXPECT_EQ(finish_child(pid, 20000), 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

TEST_F(rui, UdpListenerIsDrainedAndGroupsWithoutHandlersAreSkipped)
{
    init_loop();
    lcfg_.user[0] = lo_listener(AF_INET, "udp");
    lcfg_.user[0].proto = 17;
    lcfg_.admin[0] = lo_listener(AF_INET, "adm");
    {
        LogCapture cap;
        ASSERT_EQ(rui_ctx_init(&lcfg_, &g_ctx), 0);
        EXPECT_EQ(cap.text(),
                  "(WRN)  rui_setup_listeners: no request handler for admin listeners, 1 skipped\n");
    }
    EXPECT_EQ(g_ctx.admin[0].tag.num, 0u);
    ASSERT_EQ(rui_ctx_start(&g_ctx), 0);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 2u);  // the UDP socket and its timer
    EXPECT_FALSE(lcfg_.admin[0].is_ctx_owned);

    rui_socket_ctx &ls = g_ctx.user[0];
    Fd tx(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_storage to = lcfg_.user[0].ifc->ss;
    reinterpret_cast<sockaddr_in *>(&to)->sin_port = htons(uint16_t(atoi(lcfg_.user[0].port)));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(sendto(tx.fd, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof(sockaddr_in)), 1);
    ASSERT_TRUE(wait_for(ls.sockfd, POLLIN));
    LogCapture cap;
    EXPECT_EQ(rui_accept(&ls, 128, 0, nullptr), 0);
    EXPECT_EQ(cap.text(), "(WRN)  rui_accept(udp): 3 datagram(s) dropped, UDP listeners take no requests\n");
    EXPECT_FALSE(wait_for(ls.sockfd, POLLIN, 0));
    EXPECT_EQ(dlep_count(ls.requests), 0u);
}

TEST_F(rui, RefusedRequestsCloseTheirConnection)
{
    init_loop();
    lcfg_.user[0] = lo_listener(AF_INET, "r");
    ASSERT_EQ(rui_ctx_init(&lcfg_, &g_ctx), 0);
    ASSERT_EQ(rui_ctx_start(&g_ctx), 0);
    Fd a(connect_to(lcfg_.user[0])), b(connect_to(lcfg_.user[0]));
    ASSERT_TRUE(wait_for(a.fd, POLLOUT) && wait_for(b.fd, POLLOUT));
    g_n.refused = 1;
    LogCapture cap;
    EXPECT_EQ(rui_accept(&g_ctx.user[0], 128, 0, nullptr), 0);
    EXPECT_EQ(dlep_count(g_ctx.user[0].requests), 1u);
    EXPECT_THAT(cap.text(), HasSubstr("Error rc=-1 processing connection [127.0.0.1:"));
    EXPECT_TRUE(closed_by_peer(a.fd));
    EXPECT_FALSE(wait_for(b.fd, POLLIN, 100));

    // With the quit flag set the pass takes nothing.
    Fd c(connect_to(lcfg_.user[0]));
    ASSERT_TRUE(wait_for(c.fd, POLLOUT));
    g_quit = 1;
    EXPECT_EQ(rui_accept(&g_ctx.user[0], 128, 0, nullptr), 0);
    g_quit = 0;
    EXPECT_EQ(dlep_count(g_ctx.user[0].requests), 1u);
    EXPECT_EQ(rui_accept(&g_ctx.user[0], 0, 0, nullptr), 0);
    EXPECT_EQ(dlep_count(g_ctx.user[0].requests), 1u);
}

TEST(rui_numbers, TrackingNumbersAndListenLimits)
{
    struct {
        uint64_t counter, max;
        const char *tag;
        uint64_t after;
    } const cases[] = {
        {0, 10000, "T0001", 1},     {9998, 10000, "T9999", 9999},
        {9999, 10000, "T10000", 10000}, {10000, 10000, "T0001", 1},
        {99998, 100000, "u99999", 99999},
    };
    for (const auto &c : cases) {
        uint64_t counter = c.counter;
        n64_tag tag;
        memset(&tag, 'z', sizeof tag);
        rui_mk_trknum(&counter, &tag, c.tag[0], c.max);
        EXPECT_STREQ(tag.sym8, c.tag);
        EXPECT_EQ(counter, c.after);
        EXPECT_EQ(tag.sym8[7], '\0');
    }
    rui_socket_ctx ls{};
    EXPECT_TRUE(rui_should_listen(&ls, 4));
    ls.requests = dlep_create(nullptr);
    test_rq r[3] = {};
    for (test_rq &x : r) dlep_append(ls.requests, &x);
    EXPECT_FALSE(rui_should_listen(&ls, 4));  // 3 is not below 3/4 of 4
    EXPECT_TRUE(rui_should_listen(&ls, 6));
    EXPECT_FALSE(rui_should_listen(&ls, 3));
    dlep_purge(ls.requests, nullptr);
    dlep_destroy(ls.requests, nullptr);

    const rui_socket_cb cb{};
    EXPECT_DEATH(rui_set_cb(RUI_MAX, &cb), "ASSERT at:");
}

}  // namespace
