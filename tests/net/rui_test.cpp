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
#include <sys/un.h>
#include <unistd.h>

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

struct test_rq {
    rui_rq_header h;
    int seq;       // creation order
    bool expired;  // what time_out answers
    int lowmark, nodelay;  // options found at creation
};

struct counters {
    int made = 0, freed = 0, refuse = 0;
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
    if (g_n.refuse > 0 && g_n.refuse--) return nullptr;
    auto *r = static_cast<test_rq *>(calloc(1, sizeof(test_rq)));
    *r = {{{.num = TRQ_TAG}, nullptr, nullptr, srv, fd, {}, false, false}, g_n.made++, false,
          sockopt_int(fd, SOL_SOCKET, SO_RCVLOWAT), sockopt_int(fd, IPPROTO_TCP, TCP_NODELAY)};
    return r;
}

void t_rm(void *rq)
{
    if (static_cast<test_rq *>(rq)->h.fd >= 0) close(static_cast<test_rq *>(rq)->h.fd);
    free(rq);
    ++g_n.freed;
}

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

const rui_socket_cb k_cb = {{.num = TRQ_TAG}, t_new, t_rm, t_tmout, nullptr};

// The test's event loop: listeners accept, requests queue themselves; the
// post-turn step sweeps.
rui_ctx g_ctx;
int g_accept_calls = 0;
int (*g_until)() = nullptr;  // ends the loop when non-zero
timespec g_deadline;

int on_read(int, int, void *udata, void *)
{
    if (static_cast<n32_tag *>(udata)->num == RSC_TAG) {
        ++g_accept_calls;
        return rui_accept(static_cast<rui_socket_ctx *>(udata), 128, 0, nullptr);
    }
    t_queue(static_cast<test_rq *>(udata));
    return 0;
}
int on_other(int, int, void *, void *) { return 0; }
void upd_tmout(timespec *t) { ms2timespec(20, t); }
int post()
{
    rui_pprm_all(&g_ctx);
    timespec now;
    set_now(&now);
    return now.tv_sec > g_deadline.tv_sec || (g_until && g_until());
}

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
    cfg.cb = {upd_tmout, nullptr, on_read, on_other, on_other, post, nullptr, nullptr, nullptr};
    ASSERT_EQ(rqs_init(&cfg), 0);
}

// A TCP listener on lo of af at a port free right now, or on a Unix path.
listener_cfg mk_listener(int af, const char *alias, const std::string &path = "")
{
    listener_cfg lc{};
    lc.is_valid = true;
    lc.index = 1;
    lc.proto = 6;
    snprintf(lc.alias, sizeof lc.alias, "%s", alias);
    if (!path.empty()) {
        snprintf(lc.domain_path, sizeof lc.domain_path, "%s", path.c_str());
        return lc;
    }
    lc.pref_af = af;
    lc.ifc = get_ifc_info(af, "lo");
    sockaddr_storage ss = lc.ifc->ss;
    socklen_t len = saddr_len(reinterpret_cast<sockaddr *>(&ss));
    const int fd = socket(af, SOCK_STREAM, 0);
    bind(fd, reinterpret_cast<sockaddr *>(&ss), len);
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    close(fd);
    snprintf(lc.port, sizeof lc.port, "%u", ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port));
    return lc;
}

// A non-blocking client of a listener (sin_port and sin6_port share their place).
int connect_to(const listener_cfg &lc)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof(sockaddr_un);
    if (lc.domain_path[0]) {
        ss.ss_family = AF_UNIX;
        snprintf(reinterpret_cast<sockaddr_un *>(&ss)->sun_path, 108, "%s", lc.domain_path);
    } else {
        ss = lc.ifc->ss;
        len = saddr_len(reinterpret_cast<sockaddr *>(&ss));
        reinterpret_cast<sockaddr_in *>(&ss)->sin_port = htons(uint16_t(atoi(lc.port)));
    }
    const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
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
        g_accept_calls = 0;
        rui_set_cb(RUI_USER, &k_cb);
    }
    void TearDown() override
    {
        rui_ctx_destroy(&g_ctx);
        drop_rui_config(&cfg_);
        rqs_destroy();
        const rui_socket_cb none{};
        rui_set_cb(RUI_USER, &none);
        g_mod_ll[LM_DEFAULT] = NORM_level;
    }

    rui_cfg cfg_{};
};

TEST_F(rui, AcceptPassesSweepsAndGroups)
{
    init_loop();
    cfg_.user[0] = mk_listener(AF_INET, "lo4");
    cfg_.user[0].lowmark = 64;
    cfg_.user[1] = mk_listener(AF_INET, "udp");
    cfg_.user[1].proto = 17;
    cfg_.admin[0] = mk_listener(AF_INET, "adm");
    const bool v6 = have_ipv6_loopback();
    if (v6) {
        cfg_.user[2] = mk_listener(AF_INET6, "lo6");
        cfg_.user[2].lowmark = 3;
    }
    LogCapture cap;
    ASSERT_EQ(rui_ctx_init(&cfg_, &g_ctx), 0);
    EXPECT_THAT(cap.text(), HasSubstr("rui_setup_listeners: no request handler for admin listeners, 1 skipped\n"));
    g_mod_ll[LM_DEFAULT] = INFO_level;
    ASSERT_EQ(rui_ctx_start(&g_ctx), 0);
    EXPECT_THAT(cap.text(), HasSubstr(" for TRQ requests on lo:" + std::string(cfg_.user[0].port) +
                                      "; 0 requests pending\n"));
    // Each listener has its timer; admin is never opened.
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), v6 ? 6u : 4u);
    rui_socket_ctx &ls = g_ctx.user[0];
    EXPECT_TRUE(cfg_.user[0].is_ctx_owned && !cfg_.admin[0].is_ctx_owned);
    EXPECT_TRUE(fcntl(ls.sockfd, F_GETFD) & FD_CLOEXEC);

    std::vector<Fd> clients(21);
    for (Fd &c : clients) ASSERT_GE((c.fd = connect_to(cfg_.user[0])), 0);
    for (Fd &c : clients) ASSERT_TRUE(wait_for(c.fd, POLLOUT));

    // The first connection is refused by its callback and closed.
    g_n.refuse = 1;
    rui_fds_free();  // counted here, then kept by hand
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    cap.clear();
    for (size_t want : {8u, 16u, 20u}) {
        EXPECT_EQ(rui_accept(&ls, 8, RUI_TCP_NODELAY, nullptr), 0);
        EXPECT_EQ(dlep_count(ls.requests), want);
    }
    std::string log = cap.text();
    EXPECT_EQ(count_of(log, "rui_accept(lo4): CANNOT ACCEPT ALL (accepted=8), max=8\n"), 2u);
    EXPECT_EQ(count_of(log, "rui_accept(lo4): end of accept queue reached\n"), 1u);
    EXPECT_EQ(count_of(log, "Error rc=-1 processing connection [127.0.0.1:"), 1u);
    EXPECT_THAT(log, HasSubstr("Accepted lo4 request [fd="));
    EXPECT_TRUE(closed_by_peer(clients[0].fd));

    const std::vector<test_rq *> rqs = requests_of(ls);
    ASSERT_EQ(rqs.size(), 20u);
    for (size_t i = 0; i < rqs.size(); ++i) {
        const int fd = rqs[i]->h.fd;
        EXPECT_EQ(rqs[i]->seq, int(i));  // oldest at the tail
        EXPECT_TRUE(FD_ISSET(fd, &ls.accset));
        EXPECT_TRUE((fcntl(fd, F_GETFL) & O_NONBLOCK) && (fcntl(fd, F_GETFD) & FD_CLOEXEC));
        EXPECT_EQ(rqs[i]->nodelay, 1);
        EXPECT_EQ(rqs[i]->lowmark, 64);
    }

    // The time-out sweep walks oldest first and only queues.
    for (int i : {3, 7, 12}) rqs[size_t(i)]->expired = true;
    cap.clear();
    rui_tmout_all(&g_ctx, 5000);
    EXPECT_THAT(cap.text(), HasSubstr("rui_tmout_all: 3 [lo4] requests timed out\n"));
    ASSERT_EQ(g_n.tmout_order.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(g_n.tmout_order[size_t(i)], i);
    EXPECT_EQ(ls.pprm.len, 3u);

    // A request removed at once also leaves the removal queue.
    const int fd7 = rqs[7]->h.fd;
    EXPECT_EQ(rui_rm_request(rqs[7]), 0);
    EXPECT_EQ(ls.pprm.len, 2u);
    EXPECT_FALSE(FD_ISSET(fd7, &ls.accset));
    rui_pprm_all(&g_ctx);
    EXPECT_EQ(g_n.freed, 3);
    EXPECT_EQ(ls.pprm.len, 0u);
    EXPECT_EQ(dlep_count(ls.requests), 17u);
    // The budget kept through accepts and closes is the count; a descriptor
    // opened behind its back is seen at the next count only.
    const size_t kept = rui_fds_free_est();
    EXPECT_EQ(kept, rui_fds_free());
    {
        Fd extra(dup(ls.sockfd));
        EXPECT_EQ(rui_fds_free_est(), kept);
        EXPECT_EQ(rui_fds_free(), kept - 1);
    }
    for (int i : {4, 8, 13}) EXPECT_TRUE(closed_by_peer(clients[size_t(i)].fd)) << i;
    EXPECT_FALSE(wait_for(clients[5].fd, POLLIN, 0));

    // IPv6: the low-water mark reaches accepted connections.
    if (v6) {
        Fd c6(connect_to(cfg_.user[2]));
        ASSERT_TRUE(wait_for(c6.fd, POLLOUT));
        EXPECT_EQ(rui_accept(&g_ctx.user[2], 8, 0, nullptr), 0);
        ASSERT_EQ(dlep_count(g_ctx.user[2].requests), 1u);
        EXPECT_EQ(requests_of(g_ctx.user[2])[0]->lowmark, 3);
        EXPECT_EQ(requests_of(g_ctx.user[2])[0]->nodelay, 0);
    }

    // Nothing is taken with the quit flag set or a maximum of 0.
    Fd late(connect_to(cfg_.user[0]));
    ASSERT_TRUE(wait_for(late.fd, POLLOUT));
    g_quit = 1;
    EXPECT_EQ(rui_accept(&ls, 8, 0, nullptr), 0);
    g_quit = 0;
    EXPECT_EQ(rui_accept(&ls, 0, 0, nullptr), 0);
    EXPECT_EQ(dlep_count(ls.requests), 17u);

    // A UDP listener takes no requests: its datagrams are dropped.
    rui_socket_ctx &udp = g_ctx.user[1];
    Fd tx(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_storage to = cfg_.user[1].ifc->ss;
    reinterpret_cast<sockaddr_in *>(&to)->sin_port = htons(uint16_t(atoi(cfg_.user[1].port)));
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(sendto(tx.fd, "x", 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof(sockaddr_in)), 1);
    ASSERT_TRUE(wait_for(udp.sockfd, POLLIN));
    cap.clear();
    EXPECT_EQ(rui_accept(&udp, 128, 0, nullptr), 0);
    EXPECT_THAT(cap.text(), HasSubstr("rui_accept(udp): 3 datagram(s) dropped, UDP listeners take no requests\n"));
    EXPECT_FALSE(wait_for(udp.sockfd, POLLIN, 0));

    // A link leaves the request list and wakes on its first byte whatever
    // the listener's lowmark; a link is not made twice.
    test_rq *const lnk = rqs[5];
    ASSERT_EQ(rui_make_link(lnk), 0);
    EXPECT_TRUE(lnk->h.is_link);
    EXPECT_EQ(sockopt_int(lnk->h.fd, SOL_SOCKET, SO_RCVLOWAT), 1);
    EXPECT_EQ(sockopt_int(rqs[6]->h.fd, SOL_SOCKET, SO_RCVLOWAT), 64);
    EXPECT_EQ(rui_make_link(lnk), -1);
    EXPECT_EQ(dlep_count(ls.requests), 16u);
    EXPECT_EQ(dlep_count(ls.links), 1u);

    // Stopping keeps the requests; destroying frees them and the entries.
    cap.clear();
    rui_stop_listener(&ls);
    EXPECT_THAT(cap.text(), HasSubstr("TRQ listener fd"));
    EXPECT_THAT(cap.text(), HasSubstr(" wll be closed (16 requsts queued)\n"));
    EXPECT_TRUE(ls.sockfd == -1 && ls.deferred);
    EXPECT_EQ(dlep_count(ls.requests), 16u);
    rui_ctx_destroy(&g_ctx);
    EXPECT_EQ(g_n.freed, v6 ? 21 : 20);
    EXPECT_TRUE(!cfg_.user[0].is_valid && !cfg_.user[0].ifc && ls.tag.num == 0);
    EXPECT_TRUE(closed_by_peer(clients[1].fd));
}

// A full request list makes room for a new connection by closing the
// oldest one without a complete head (one log line per pass, with the
// count); only when every open request has its head in is the connection
// refused, through the group's refuse callback.
TEST_F(rui, QueueLimitRefusesOneConnectionAndHighDescriptorsAreServed)
{
    TempDir dir;
    cfg_.user[0] = mk_listener(0, "q", dir.file("q.sock"));
    EXPECT_CHILD_OK(run_in_child([&] {
        rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_max < 2200) return CHILD_SKIP;
        rl.rlim_cur = 2200;
        CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &rl) == 0);
        rui_socket_cb cb = k_cb;
        cb.refuse = [](int fd) { (void)!write(fd, "busy", 4); };
        rui_set_cb(RUI_USER, &cb);
        init_loop();
        CHILD_CHECK(rui_ctx_init(&cfg_, &g_ctx) == 0 && rui_ctx_start(&g_ctx) == 0);
        rui_socket_ctx &ls = g_ctx.user[0];
        // Accepted in batches, so that no backlog limit gets in the way.
        std::vector<pollfd> clients;
        const auto connect_more = [&](size_t n) {
            for (size_t i = 0; i < n; ++i) clients.push_back({connect_to(cfg_.user[0]), POLLIN, 0});
            return clients.back().fd >= 0;
        };
        LogCapture cap;
        for (size_t i = 0; i <= MAX_RUI_QUEUED; ++i) {
            CHILD_CHECK(connect_more(1));
            if (i % 50 == 49 || i == MAX_RUI_QUEUED) CHILD_CHECK(rui_accept(&ls, 2000, 0, nullptr) == 0);
        }
        CHILD_CHECK(dlep_count(ls.requests) == MAX_RUI_QUEUED);
        std::string log = cap.text();
        CHILD_CHECK(count_of(log, "rui_accept(q): 1 connection(s) without a complete head closed "
                                  "to make room, 1000 requests open\n") == 1);
        CHILD_CHECK(log.find("Too many user requests") == std::string::npos);
        CHILD_CHECK(log.find("rui_add_request: FD_SETSIZE overflow (fd") != std::string::npos);
        // Exactly the oldest client was closed; the others wait for answers.
        CHILD_CHECK(poll(clients.data(), clients.size(), 1000) == 1);
        CHILD_CHECK(closed_by_peer(clients[0].fd));
        size_t high = 0;
        for (test_rq *r : requests_of(ls)) {
            high += r->h.fd >= FD_SETSIZE;
            CHILD_CHECK(r->h.fd >= FD_SETSIZE || FD_ISSET(r->h.fd, &ls.accset));
        }
        CHILD_CHECK(high > 0);

        // The oldest two have their heads in: the next three idle ones go,
        // in one line.
        for (size_t i : {0u, 1u}) requests_of(ls)[i]->h.head_done = true;
        CHILD_CHECK(connect_more(3));
        cap.clear();
        CHILD_CHECK(rui_accept(&ls, 2000, 0, nullptr) == 0);
        log = cap.text();
        CHILD_CHECK(count_of(log, "rui_accept(q): 3 connection(s) without a complete head closed "
                                  "to make room, 1000 requests open\n") == 1);
        CHILD_CHECK(count_of(log, "without a complete head") == 1);
        for (size_t i : {3u, 4u, 5u}) CHILD_CHECK(closed_by_peer(clients[i].fd));
        for (size_t i : {1u, 2u, 6u}) CHILD_CHECK(!wait_for(clients[i].fd, POLLIN, 0));
        CHILD_CHECK(requests_of(ls)[0]->seq == 1 && requests_of(ls)[2]->seq == 6);

        // With every head in, the new connection is refused and told so.
        for (test_rq *r : requests_of(ls)) r->h.head_done = true;
        CHILD_CHECK(connect_more(1));
        cap.clear();
        CHILD_CHECK(rui_accept(&ls, 2000, 0, nullptr) == 0);
        log = cap.text();
        CHILD_CHECK(count_of(log, "rui_add_request: Too many user requests (1000) queued\n") == 1);
        CHILD_CHECK(count_of(log, "Error rc=16 processing connection [") == 1);
        char said[8] = {};
        CHILD_CHECK(wait_for(clients.back().fd, POLLIN) && read(clients.back().fd, said, 8) == 4);
        CHILD_CHECK(std::string(said) == "busy" && closed_by_peer(clients.back().fd));
        CHILD_CHECK(dlep_count(ls.requests) == MAX_RUI_QUEUED);

        rui_ctx_destroy(&g_ctx);
        CHILD_CHECK(g_n.made == int(MAX_RUI_QUEUED) + 4 && g_n.freed == g_n.made);
        for (const pollfd &c : clients) close(c.fd);
        return 0;
    }));
}

TEST_F(rui, DescriptorExhaustionPausesTheListenerWithoutLosingIt)
{
    TempDir dir;
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    cfg_.user[0] = mk_listener(0, "unix", dir.file("x.sock"));
    cfg_.user[0].lowmark = 3;
    const int pid = start_child([&] {
        init_loop();
        CHILD_CHECK(rui_ctx_init(&cfg_, &g_ctx) == 0 && rui_ctx_start(&g_ctx) == 0);
        LogCapture cap;
        // Every descriptor the process may have is taken.
        rlimit rl;
        getrlimit(RLIMIT_NOFILE, &rl);
        rl.rlim_cur = 64;
        CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &rl) == 0);
        std::vector<int> fill;
        for (int fd; (fd = dup(go[0])) >= 0;) fill.push_back(fd);
        CHILD_CHECK(errno == EMFILE && rui_fds_free() == 0);
        // The count is of descriptors in use, whatever their numbers.
        close(fill.front());
        CHILD_CHECK(rui_fds_free() == 1 && rui_fd_room(1) && !rui_fd_room(2));
        CHILD_CHECK((fill.front() = dup(go[0])) >= 0);
        char c = 'R';
        CHILD_CHECK(write(ready[1], &c, 1) == 1 && read(go[0], &c, 1) == 1);

        run_loop(1000);
        CHILD_CHECK(g_accept_calls >= 2);
        CHILD_CHECK(g_accept_calls < 20);  // a spinning listener makes thousands
        CHILD_CHECK(dlep_count(g_ctx.user[0].requests) == 0);
        CHILD_CHECK(count_of(cap.text(), "rui_accept(unix): accept() ERROR(24): Too many open files, "
                                         "listener paused for 250 ms\n") == 1);

        for (int fd : fill) close(fd);
        g_until = [] { return int(dlep_count(g_ctx.user[0].requests) == 5); };
        run_loop(WAIT_MS);
        CHILD_CHECK(dlep_count(g_ctx.user[0].requests) == 5);
        CHILD_CHECK(requests_of(g_ctx.user[0])[0]->lowmark == 1);  // IP connections only
        return 0;
    });
    ASSERT_GT(pid, 0);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    std::vector<Fd> clients(5);
    for (Fd &cl : clients) ASSERT_GE((cl.fd = connect_to(cfg_.user[0])), 0);
    ASSERT_EQ(write(go[1], "G", 1), 1);
    EXPECT_EQ(finish_child(pid, 20000), 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

TEST(rui_numbers, TrackingNumbersWrapAndGroupsAreChecked)
{
    struct {
        uint64_t counter, max;
        const char *tag;
    } const cases[] = {{0, 10000, "T0001"},      {9998, 10000, "T9999"}, {9999, 10000, "T10000"},
                       {10000, 10000, "T0001"}, {99998, 100000, "u99999"}};
    for (const auto &c : cases) {
        uint64_t counter = c.counter;
        n64_tag tag;
        memset(&tag, 'z', sizeof tag);
        rui_mk_trknum(&counter, &tag, c.tag[0], c.max);
        EXPECT_EQ(std::string(tag.sym8, 8), std::string(c.tag) + std::string(7 - strlen(c.tag), '\0') + '\0');
        EXPECT_EQ(counter, strtoull(c.tag + 1, nullptr, 10));
    }
    const rui_socket_cb cb{};
    EXPECT_DEATH(rui_set_cb(RUI_MAX, &cb), "ASSERT at:");
}

}  // namespace
