// Task life cycle with real sockets on loopback: creation, suspension,
// revival through the delay queue, removal; ids, keys, limits, client
// counts and the end-of-turn queue.
#include "registry.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>

#include "app.globals.h"
#include "cfg.h"
#include "dchain.h"
#include "delay.h"
#include "hshk.h"
#include "loopcb.h"
#include "netns.h"
#include "rqs.h"
#include "support.h"
#include "tasklife.h"
#include "timeop.h"
#include "tmout.h"

namespace {

constexpr size_t CAPACITY = 8;
constexpr char DST[] = "udp://127.0.0.1:9";

int no_event(int, int, void *, void *) { return 0; }

// The contexts the loop hands to the read callback; the loop ends after a
// few turns or at the first event.
op_ctx *g_seen = nullptr;
int g_turns = 0;
int on_read(int, int, void *udata, void *)
{
    g_seen = static_cast<op_ctx *>(udata);
    g_quit = 1;
    return 0;
}
void short_wait(timespec *t) { *t = timespec{0, 200000000}; }
int count_turns() { return ++g_turns >= 5 ? 1 : 0; }

bool fd_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

int local_port(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof(ss);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return -1;
    return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
}

int rcvbuf(int fd)
{
    int v = 0;
    socklen_t len = sizeof(v);
    return getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &v, &len) == 0 ? v : -1;
}

// A socket bound to the loopback address of af on an ephemeral port.
int bound_socket(int af, int type)
{
    sockaddr_storage ss{};
    ss.ss_family = sa_family_t(af);
    if (af == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_addr = in6addr_loopback;
    else
        reinterpret_cast<sockaddr_in *>(&ss)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = socket(af, type | SOCK_CLOEXEC, 0);
    const socklen_t len = af == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) return -1;
    if (type == SOCK_STREAM) listen(fd, 4);
    return fd;
}

// Fires the delay queue with the daemon's revival callback until t is no
// longer suspended or a revival failed (at most 3 s).
bool wait_revival(rtask *t)
{
    for (int i = 0; i < 300 && t->state.num == ST_SUS && g_app.pprm_tasks.len == 0; ++i) {
        if (dly_expire(revive_task, nullptr) == 0) poll(nullptr, 0, 10);
    }
    return t->state.num != ST_SUS;
}

std::string tid(const rtask *t) { return t->tid.sym8; }

size_t count_text(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class Tasks : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_cfg = tavel_cfg{};
        g_cfg.max_tasks = int(CAPACITY);
        g_cfg.max_pkts = 4;
        g_cfg.max_retries = 3;
        g_cfg.retry_period_sec = 1;
        g_cfg.task_tmout_ms = 5000;
        g_cfg.sdown_tmout_ms = 600;
        g_cfg.tcpbuf_mb = 1;
        g_cfg.max_outpkt_len = 5000;
        g_quit = 0;
        init_timeout_registry();
        ASSERT_EQ(dly_init(), 0);
        rqs_config rc{};
        rc.cb.read = on_read;
        rc.cb.write = rc.cb.error = no_event;
        rc.cb.update_tmout = short_wait;
        rc.cb.on_idle = count_turns;
        ASSERT_EQ(rqs_init(&rc), 0);
        g_app = tavel_ctx{};
        g_app.oxafd = -1;
        ASSERT_EQ(xvlst_mmap_fixed(&g_app.curr_tasks, CAPACITY, TASK_BLKSZ), 0);
        ASSERT_EQ(xvlst_mmap_fixed(&g_app.pprm_tasks, CAPACITY, PPRM_BLKSZ), 0);
        ASSERT_EQ(skht_create(&g_app.task_ht, CAPACITY, nullptr, nullptr, 0), 0);
        base_fds = rqs_fd_count(GET_POLLFDS);
    }
    void TearDown() override
    {
        pprm_task_cleanup();
        rm_all_tasks();
        EXPECT_EQ(rqs_fd_count(GET_POLLFDS), base_fds);
        EXPECT_EQ(get_timeout(IDLE_TASK_TMOUT), 0);
        skht_destroy(g_app.task_ht, nullptr);
        if (g_app.route_ht) rrt_free(g_app.route_ht);
        xvlst_reset(&g_app.curr_tasks);
        xvlst_reset(&g_app.pprm_tasks);
        dly_destroy();
        rqs_destroy();
        g_quit = 0;
    }

    // Runs the event loop until an event or a few quiet turns.
    op_ctx *run_loop()
    {
        g_seen = nullptr;
        g_turns = 0;
        g_quit = 0;
        rqs_event_loop();
        g_quit = 0;
        return g_seen;
    }

    rtask *make(const char *src, const char *dst = DST, const char *alt = nullptr,
                const char *cid = nullptr, const task_options *opt = nullptr, int csock = -1)
    {
        if (add_task(csock, src, dst, alt, cid, opt) != 0) return nullptr;
        return cid ? lookup_task(cid, nullptr, nullptr) : lookup_task(src, dst, alt);
    }

    size_t polled() const { return rqs_fd_count(GET_POLLFDS) - base_fds; }

    size_t base_fds = 0;
};

}  // namespace

TEST_F(Tasks, datagram_task_lives_suspends_revives_and_ends)
{
    for (int af : {AF_INET, AF_INET6}) {
        if (af == AF_INET6 && !have_ipv6_loopback()) continue;
        SCOPED_TRACE(af);
        const bool v6 = af == AF_INET6;
        Fd rx(bound_socket(af, SOCK_DGRAM));
        const std::string dst = (v6 ? "udp://[::1]:" : "udp://127.0.0.1:") +
                                std::to_string(local_port(rx.fd));
        const char *src = v6 ? "udp://[::1]:0" : "udp://127.0.0.1:0";
        g_cfg.so.rcvbuf_size = 4096;
        const int small_buf = 2 * 4096;  // the kernel doubles what it is given
        LogCapture log;

        rtask *t = make(src, dst.c_str());
        ASSERT_TRUE(t);
        const std::string id = tid(t);
        EXPECT_EQ(id[0], 'U');
        EXPECT_EQ(t->state.num, ST_RLY);
        EXPECT_TRUE(t->reader.is_active);
        EXPECT_EQ(polled(), 1u);
        EXPECT_EQ(rcvbuf(t->infd), small_buf);
        EXPECT_EQ(get_timeout(IDLE_TASK_TMOUT), 500);  // swept ten times per time-out
        // The source receives only the groups it joins itself.
        const auto mc_all = [&](int level, int opt) {
            int v = -1;
            socklen_t len = sizeof(v);
            return getsockopt(t->infd, level, opt, &v, &len) == 0 ? v : -1;
        };
        EXPECT_EQ(mc_all(IPPROTO_IP, IP_MULTICAST_ALL), 0);
        EXPECT_EQ(v6 ? mc_all(IPPROTO_IPV6, 29 /* IPV6_MULTICAST_ALL */) : 0, 0);

        // The destination sends from one port for the task's whole life.
        const int out = t->outfd;
        sockaddr_storage rx_addr{};
        socklen_t rx_len = sizeof(rx_addr);
        ASSERT_EQ(getsockname(rx.fd, reinterpret_cast<sockaddr *>(&rx_addr), &rx_len), 0);
        ASSERT_EQ(sendto(out, "x", 1, 0, reinterpret_cast<sockaddr *>(&rx_addr), rx_len), 1);
        const int out_port = local_port(out);
        ASSERT_GT(out_port, 0);

        ASSERT_EQ(pprmsusp(t, "read error", 5), 0);
        EXPECT_EQ(lookup_task(src, dst.c_str(), nullptr), t);
        const int in = t->infd, in_port = local_port(in);
        pprm_task_cleanup();
        EXPECT_EQ(t->state.num, ST_SUS);
        // The unicast source keeps its socket and port, unwatched.
        EXPECT_EQ(t->infd, in);
        EXPECT_EQ(local_port(in), in_port);
        EXPECT_FALSE(t->reader.is_active);
        // Filtered: what comes while suspended is never queued.
        EXPECT_TRUE(t->in_stale.filtered);
        sockaddr_storage in_addr{};
        socklen_t in_len = sizeof(in_addr);
        ASSERT_EQ(getsockname(in, reinterpret_cast<sockaddr *>(&in_addr), &in_len), 0);
        ASSERT_EQ(sendto(rx.fd, "s", 1, 0, reinterpret_cast<sockaddr *>(&in_addr), in_len), 1);
        char b;
        EXPECT_EQ(recv(in, &b, 1, MSG_DONTWAIT | MSG_PEEK), -1);
        EXPECT_EQ(rta_reopen_fds(t), 0);
        EXPECT_EQ(g_app.reopen_fds, 0u);
        EXPECT_EQ(t->outfd, out);
        EXPECT_TRUE(fd_open(out));
        EXPECT_EQ(local_port(out), out_port);
        EXPECT_EQ(polled(), 0u);
        EXPECT_EQ(dly_count(), 1u);
        EXPECT_STREQ(t->errstr, "read error");

        // Revival from the delay's own expiry (which frees that delay).
        ASSERT_TRUE(wait_revival(t));
        EXPECT_EQ(t->state.num, ST_RLY);
        EXPECT_EQ(t->infd, in);
        EXPECT_EQ(t->outfd, out);
        EXPECT_EQ(local_port(out), out_port);
        EXPECT_EQ(t->delay, nullptr);
        EXPECT_EQ(rcvbuf(t->infd), small_buf);
        EXPECT_EQ(polled(), 1u);
        // Empty, it is relayed again at once.
        EXPECT_FALSE(t->in_stale.filtered);

        // The last client leaves: out of the registry at once, freed after the turn.
        EXPECT_EQ(drop_task(t, 1), 0);
        EXPECT_TRUE(t->is_quitting);
        EXPECT_EQ(lookup_task(src, dst.c_str(), nullptr), nullptr);
        EXPECT_EQ(errno, ESRCH);
        pprm_task_cleanup();
        EXPECT_EQ(task_count(), 0u);
        EXPECT_FALSE(fd_open(out));
        EXPECT_EQ(get_timeout(IDLE_TASK_TMOUT), 0);
        EXPECT_NE(log.text().find("Task [" + id + "]: ENDED"), std::string::npos);
        g_cfg.so.rcvbuf_size = 0;
    }
}

// A kept source that held exactly one drain step's worth at its revival is
// empty after that step, and relayed again, though no read event comes.
TEST_F(Tasks, a_source_drained_in_one_full_step_is_relayed_again)
{
    Fd rx(bound_socket(AF_INET, SOCK_DGRAM));
    const std::string dst = "udp://127.0.0.1:" + std::to_string(local_port(rx.fd));
    rtask *t = make("udp://127.0.0.1:0", dst.c_str());
    ASSERT_TRUE(t);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(uint16_t(local_port(t->infd)));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (size_t i = 0; i < STALE_DRAIN_BATCH; ++i)
        ASSERT_EQ(sendto(rx.fd, "s", 1, 0, reinterpret_cast<sockaddr *>(&in), sizeof(in)), 1);
    ASSERT_EQ(pprmsusp(t, "read error", 5), 0);
    pprm_task_cleanup();
    ASSERT_TRUE(t->in_stale.filtered);
    ASSERT_TRUE(wait_revival(t));
    EXPECT_FALSE(t->in_stale.filtered);
    EXPECT_EQ(t->in_stale.n_read, 0u);
}

TEST_F(Tasks, ids_client_ids_alternates_and_limits)
{
    LogCapture log;
    g_app.last_task_id = 9998;
    rtask *a = make("udp://127.0.0.1:0", "udp://127.0.0.1:9");
    rtask *b = make("udp://127.0.0.1:0", "udp://127.0.0.1:10");
    rtask *c = make("udp://127.0.0.1:0", "udp://127.0.0.1:11", nullptr, "client-7");
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(tid(a), "U9999");
    EXPECT_EQ(tid(b), "U10000");
    EXPECT_EQ(tid(c), "U0001");
    EXPECT_STREQ(rta_label(c), "client-7");
    EXPECT_EQ(lookup_task("udp://127.0.0.1:0", "udp://127.0.0.1:11", nullptr), nullptr);

    // An alternate source: its own socket, storage and registration, both
    // opened with the source-down time-out; after revival only the
    // alternate keeps it.
    const char *alt = "udp://127.0.0.1:0";
    rtask *d = make("udp://127.0.0.1:0", "udp://127.0.0.1:12", alt);
    ASSERT_TRUE(d);
    EXPECT_STREQ(d->hkey, "udp://127.0.0.1:0+udp://127.0.0.1:0|udp://127.0.0.1:12");
    EXPECT_TRUE(d->altin.reader.is_active);
    EXPECT_EQ(d->in_uc.timeout_ms, 600);
    EXPECT_EQ(d->altin.uc.timeout_ms, 600);
    rta_susp_task(d, 0);
    // Both unicast sources keep their ports while suspended.
    EXPECT_TRUE(has_altinput(d));
    EXPECT_FALSE(d->altin.reader.is_active);
    EXPECT_EQ(polled(), 3u);  // a, b and c only
    ASSERT_EQ(rta_revive_task(d, ""), 0);
    EXPECT_EQ(d->in_uc.timeout_ms, 5000);
    EXPECT_EQ(d->altin.uc.timeout_ms, 600);
    EXPECT_TRUE(d->altin.reader.is_active);
    EXPECT_EQ(polled(), 5u);

    // The list is full: one more request fails and its client socket is closed.
    g_cfg.max_tasks = 4;
    int sp[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp), 0);
    Fd peer(sp[1]);
    EXPECT_EQ(add_task(sp[0], "udp://127.0.0.1:0", "udp://127.0.0.1:13", nullptr, nullptr, nullptr),
              -1);
    EXPECT_FALSE(fd_open(sp[0]));
    EXPECT_NE(log.text().find("limit on tasks exceeded [4]"), std::string::npos);

    // A key that does not fit takes no slot.
    g_cfg.max_tasks = int(CAPACITY);
    const std::string longsrc = "udp://127.0.0.1:0/" + std::string(110, 'x');
    EXPECT_EQ(add_task(-1, longsrc.c_str(), DST, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(task_count(), 4u);
    rtask *e = make("udp://127.0.0.1:0", "udp://127.0.0.1:14");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->idx, 4);
}

TEST_F(Tasks, refused_sources_and_destinations_create_nothing)
{
    LogCapture log;
    struct row {
        const char *src, *dst, *alt;
        int rc;
    };
    task_options big{0, 0, 6000};
    const row rows[] = {
        {"file:///etc/hosts", DST, nullptr, EINVAL},
        {"tcp://127.0.0.1:9", DST, nullptr, EINVAL},
        {"http://127.0.0.1:9/x", DST, "udp://127.0.0.1:0", EINVAL},
        {"udp://127.0.0.1:0", DST, "file:///etc/hosts", EINVAL},
        {"udp://127.0.0.1:0", "http://127.0.0.1:9/", nullptr, -1},
        {"udp://127.0.0.1:0", "file:///tmp/x", nullptr, -1},
        {"UDP://239.9.9.9", OXA_DEST, nullptr, EINVAL},  // agent task without a route
    };
    for (const row &w : rows) {
        SCOPED_TRACE(w.src);
        EXPECT_EQ(add_task(-1, w.src, w.dst, w.alt, nullptr, nullptr), w.rc);
    }
    EXPECT_EQ(add_task(-1, "udp://127.0.0.1:0", DST, nullptr, nullptr, &big), EINVAL);
    EXPECT_EQ(task_count(), 0u);
    EXPECT_EQ(polled(), 0u);
    EXPECT_NE(log.text().find("destination URL must be UDP-based"), std::string::npos);
    EXPECT_NE(log.text().find("no remote route for OXA source [UDP://239.9.9.9]"),
              std::string::npos);
}

TEST_F(Tasks, client_counts_and_removal_in_the_same_turn)
{
    LogCapture log;
    rtask *t = make("udp://127.0.0.1:0");
    ASSERT_TRUE(t);
    t->rcount = 3;  // two more clients joined
    EXPECT_EQ(drop_task(t, 1), EAGAIN);
    EXPECT_EQ(t->rcount, 2);
    EXPECT_TRUE(t->is_hashed);
    EXPECT_EQ(drop_task(t, -1), 0);
    EXPECT_NE(log.text().find("1 client(s) still on this task"), std::string::npos);
    EXPECT_FALSE(t->is_hashed);
    pprm_task_cleanup();
    EXPECT_EQ(task_count(), 0u);

    // Two failures in one turn queue the task once and count once; the
    // later decision counts.
    t = make("udp://127.0.0.1:0");
    ASSERT_TRUE(t);
    EXPECT_EQ(pprmsusp(t, "read error", 5), 0);
    EXPECT_EQ(pprmsusp(t, "HUP", -1), 0);
    EXPECT_EQ(g_app.pprm_tasks.len, 1u);
    EXPECT_EQ(t->retry_count, 1);
    EXPECT_TRUE(t->must_suspend);
    EXPECT_NE(log.text().find("is already listed, skipping"), std::string::npos);

    // Queued for suspension, then dropped by its last client: out of the
    // registry at once, so a later request of the turn makes a new task.
    EXPECT_EQ(drop_task(t, 1), 0);
    EXPECT_TRUE(t->is_quitting);
    EXPECT_EQ(lookup_task("udp://127.0.0.1:0", DST, nullptr), nullptr);
    rtask *n = make("udp://127.0.0.1:0");
    ASSERT_TRUE(n);
    EXPECT_NE(n, t);
    pprm_task_cleanup();
    EXPECT_EQ(task_count(), 1u);
    EXPECT_EQ(dly_count(), 0u);  // removed, not suspended
    EXPECT_EQ(lookup_task("udp://127.0.0.1:0", DST, nullptr), n);
}

TEST_F(Tasks, retries_and_suspension_periods)
{
    LogCapture log;
    rtask *t = make("udp://127.0.0.1:0");
    ASSERT_TRUE(t);
    const std::string id = tid(t);
    // max_retries 3: two suspensions (50 ms, then retry_period_sec), then removal.
    pprmsusp(t, "read error", 5);
    pprm_task_cleanup();
    EXPECT_NE(log.text().find("[" + id + "] suspended for 0.0500 sec"), std::string::npos);
    ASSERT_EQ(rta_revive_task(t, ""), 0);
    pprmsusp(t, "read error", 5);
    pprm_task_cleanup();
    EXPECT_NE(log.text().find("[" + id + "] suspended for 1.0000 sec"), std::string::npos);
    ASSERT_EQ(rta_revive_task(t, ""), 0);
    pprmsusp(t, "read error", 5);
    EXPECT_FALSE(t->must_suspend);
    pprm_task_cleanup();
    EXPECT_EQ(task_count(), 0u);

    // Unlimited retries of oversize datagrams: the period is the retry
    // period times the count, capped, never overflowed.
    g_cfg.max_retries = -1;
    g_cfg.retry_period_sec = 86400;
    t = make("udp://127.0.0.1:0");
    ASSERT_TRUE(t);
    t->retry_count = INT_MAX - 1;
    pprmsusp(t, "Datagrams too large for TVL_PKTLEN=5000", E2BIG);
    EXPECT_TRUE(t->must_suspend);
    pprm_task_cleanup();
    EXPECT_NE(log.text().find("suspended for 86400.0000 sec"), std::string::npos);
    EXPECT_TRUE(ck_revive_task(t));
    EXPECT_EQ(t->retry_count, INT_MAX);
}

TEST_F(Tasks, a_task_failing_twice_in_a_turn_counts_one_failure)
{
    // The primary and the alternate failing together, a read and the write
    // that follows it, an error and the hang-up after it: with max_retries
    // 3 the task is still suspended twice and removed at the third turn.
    enum report { SUSP, HUP };
    const std::pair<report, report> turns[] = {{SUSP, SUSP}, {SUSP, HUP}, {HUP, SUSP}};
    for (const auto &pair : turns) {
        LogCapture log;
        rtask *t = make("udp://127.0.0.1:0");
        ASSERT_TRUE(t);
        for (int turn = 1; turn <= 3; ++turn) {
            SCOPED_TRACE(turn);
            for (const report r : {pair.first, pair.second}) {
                if (r == SUSP)
                    pprmsusp(t, "read error", 5);
                else
                    err_task_socket(t, t->infd, IN_DIRECTION, RQS_SOCKHUP);
            }
            EXPECT_EQ(t->retry_count, turn);
            EXPECT_EQ(t->must_suspend, turn < 3);
            EXPECT_EQ(g_app.pprm_tasks.len, 1u);
            pprm_task_cleanup();
            if (turn < 3) {
                ASSERT_TRUE(wait_revival(t));
            }
        }
        EXPECT_EQ(task_count(), 0u);
        EXPECT_EQ(count_text(log.text(), "SUSPENDED"), 2u);
    }
}

TEST_F(Tasks, keepalive_link_is_watched_across_suspension_and_revival)
{
    int sp[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp), 0);
    Fd peer(sp[1]);
    rtask *t = make("udp://127.0.0.1:0", DST, nullptr, nullptr, nullptr, sp[0]);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->kafd, sp[0]);
    EXPECT_TRUE(t->kar.is_active);
    EXPECT_EQ(polled(), 2u);

    pprmsusp(t, "read error", 5);
    pprm_task_cleanup();
    ASSERT_EQ(t->state.num, ST_SUS);
    EXPECT_EQ(t->kafd, sp[0]);
    EXPECT_TRUE(fd_open(sp[0]));
    EXPECT_TRUE(t->kar.is_active);
    EXPECT_EQ(polled(), 1u);
    // The client's byte reaches the task's keep-alive record while suspended.
    ASSERT_EQ(write(peer.fd, "x", 1), 1);
    op_ctx *ev = run_loop();
    ASSERT_EQ(ev, &t->kar);
    EXPECT_EQ(rta_check_tags(ev), 0);

    ASSERT_TRUE(wait_revival(t));
    EXPECT_TRUE(t->kar.is_active);
    EXPECT_EQ(polled(), 2u);
    EXPECT_EQ(run_loop(), &t->kar);

    // Removal unregisters and closes the link.
    drop_task(t, -1);
    pprm_task_cleanup();
    EXPECT_FALSE(fd_open(sp[0]));
    EXPECT_EQ(polled(), 0u);
}

TEST_F(Tasks, chained_and_http_tasks)
{
    LogCapture log;
    Fd remote(bound_socket(AF_INET, SOCK_STREAM));
    const std::string rmt = "127.0.0.1:" + std::to_string(local_port(remote.fd));
    ASSERT_EQ(skht_create(&g_app.route_ht, 16, nullptr, nullptr, 0), 0);
    // Keys as the route list makes them: an agent route's key is its
    // group without the port.
    const struct {
        const char *key, *src, *rmt_src;
    } routes[] = {{"239.1.1.1:5000", "239.1.1.1:5000", "239.7.7.7:5000"},
                  {"127.0.0.1", "127.0.0.1:9", "239.7.7.8:5000"}};
    for (const auto &rt : routes) {
        redir_route *r = mk_rrt(rt.src, rmt.c_str(), rt.rmt_src, "127.0.0.1:0");
        ASSERT_TRUE(r);
        void *data = r;
        ASSERT_EQ(skht_add(g_app.route_ht, rt.key, &data), 0);
    }
    // A routed source: the chained task reads the route's receive address
    // and first sends the remote daemon its keep-alive request.
    rtask *d = make("udp://239.1.1.1:5000");
    ASSERT_TRUE(d);
    EXPECT_EQ(tid(d)[0], 'D');
    EXPECT_STREQ(d->in_url, "UDP://127.0.0.1:0");
    EXPECT_EQ(d->state.num, ST_HSW);
    EXPECT_TRUE(d->hsw.is_active);
    EXPECT_NE(log.text().find("Task [" + tid(d) + "] goes to handshake"), std::string::npos);
    EXPECT_EQ(add_task(-1, "udp://239.1.1.1:5000", "udp://127.0.0.1:10", "udp://127.0.0.1:0",
                       nullptr, nullptr),
              EINVAL);
    rta_susp_task(d, 0);
    EXPECT_EQ(d->hshk_fd, -1);
    EXPECT_GE(d->infd, 0);
    EXPECT_EQ(rta_reopen_fds(d), 1);  // the handshake connection
    ASSERT_EQ(rta_revive_task(d, ""), 0);
    EXPECT_EQ(d->state.num, ST_HSW);
    EXPECT_GE(d->hshk_fd, 0);

    // An agent task with a route: keyed by its group and "#OXA", sending
    // to the route's own source.
    rtask *o = make("UDP://127.0.0.1", OXA_DEST);
    ASSERT_TRUE(o);
    EXPECT_STREQ(o->out_url, "UDP://127.0.0.1:9");
    EXPECT_STREQ(o->hkey, "udp://127.0.0.1|#OXA");

    // HTTP sources: a ring of tcp_buffer_mb, the handshake on a duplicate
    // of the source connection; alignment by option or configuration.
    Fd server(bound_socket(AF_INET, SOCK_STREAM));
    const std::string http = "http://127.0.0.1:" + std::to_string(local_port(server.fd)) + "/s";
    g_cfg.dgram_aligned = true;
    task_options nalign{0, 'x', 0}, maxout{0, 'a', 1316};
    rtask *h1 = make(http.c_str(), "udp://127.0.0.1:20", nullptr, nullptr, &nalign);
    rtask *h2 = make(http.c_str(), "udp://127.0.0.1:21");
    rtask *h3 = make(http.c_str(), "udp://127.0.0.1:22", nullptr, nullptr, &maxout);
    ASSERT_TRUE(h1 && h2 && h3);
    EXPECT_EQ(tid(h1)[0], 'H');
    EXPECT_EQ(mmr_buflen(h1->stg.stream), size_t(1) << 20);
    EXPECT_EQ(mmr_get_flags(h1->stg.stream), 0u);
    EXPECT_EQ(mmr_get_flags(h2->stg.stream), uint64_t(MMR_ODGRAM_ALIGN));
    EXPECT_EQ(mmr_max_tspkt_len(h2->stg.stream), 5000u);
    EXPECT_EQ(mmr_max_tspkt_len(h3->stg.stream), 1316u);
    EXPECT_NE(h1->hshk_fd, h1->infd);
    rta_susp_task(h1, 0);
    EXPECT_EQ(h1->hshk_fd, -1);
    EXPECT_EQ(h1->infd, -1);
    EXPECT_EQ(rta_reopen_fds(h1), 2);  // the connection and its duplicate
    ASSERT_EQ(rta_revive_task(h1, ""), 0);
    EXPECT_EQ(h1->state.num, ST_HSW);
    EXPECT_GE(h1->hshk_fd, 0);
    EXPECT_NE(h1->hshk_fd, h1->infd);
}

TEST_F(Tasks, idle_sweep_times_out_silent_tasks)
{
    LogCapture log;
    g_cfg.task_tmout_ms = 100;
    rtask *t = make("udp://127.0.0.1:0");
    ASSERT_TRUE(t);
    const timespec io = t->tm.last_io_tm;
    auto at = [&](long ms) {
        timespec n{io.tv_sec + ms / 1000, io.tv_nsec + ms % 1000 * 1000000};
        if (n.tv_nsec >= 1000000000L) n.tv_sec += 1, n.tv_nsec -= 1000000000L;
        rqs_test_set_now(&n);
    };
    at(50);
    EXPECT_EQ(time_out_tasks(), 0);  // due (never swept), but the task is not silent yet
    EXPECT_EQ(g_app.pprm_tasks.len, 0u);
    EXPECT_EQ(get_timeout(IDLE_TASK_TMOUT), 10);  // the loop wakes for each sweep
    at(55);
    EXPECT_FALSE(is_iocheck_time());  // swept less than a tenth of 100 ms ago
    // Swept again a tenth of the time-out later: the silent task goes within
    // that tenth of its time-out, not a whole time-out after it.
    at(101);
    EXPECT_EQ(time_out_tasks(), 0);
    EXPECT_TRUE(is_iocheck_time());  // the same pass keeps its answer
    EXPECT_EQ(time_out_requests(), 0);
    EXPECT_EQ(g_app.pprm_tasks.len, 1u);
    EXPECT_STREQ(t->errstr, "time-out");
    EXPECT_EQ(t->err, ETIMEDOUT);
    EXPECT_NE(log.text().find("[rly] timed out after 101 ms"), std::string::npos);
    pprm_task_cleanup();
    // The loop waits for the pass that is due, not a whole period from a
    // wake-up that came for something else; each pass is due a period
    // after the one before was due, however late the loop came to it.
    at(108);
    timespec wait{};
    upd_tmout(&wait);
    EXPECT_LE(tms2ms(&wait), 3);
    EXPECT_FALSE(is_iocheck_time());
    at(112);
    EXPECT_TRUE(is_iocheck_time());  // due at 111
    at(122);
    EXPECT_TRUE(is_iocheck_time());  // due after 121, not after 122
    // A suspended task is not swept again.
    at(9000);
    time_out_tasks();
    EXPECT_EQ(g_app.pprm_tasks.len, 0u);

    // The report's time-out slot follows its freshness.
    g_app.trep.in_sync = true;
    unsync_trep();
    EXPECT_EQ(get_timeout(TSKL_TMOUT), TSKL_MS);
    unsync_trep();
    sync_trep();
    EXPECT_EQ(get_timeout(TSKL_TMOUT), 0);
    EXPECT_TRUE(g_app.trep.in_sync);

    // Without an idle time-out the gate opens on every pass and no task,
    // however silent, is swept out.
    g_cfg.task_tmout_ms = -1;
    rtask *quiet = make("udp://127.0.0.1:0", "udp://127.0.0.1:12");
    ASSERT_TRUE(quiet);
    EXPECT_EQ(quiet->tmout, 0);
    for (const long ms : {20000L, 20001L, 90000L}) {
        at(ms);
        EXPECT_TRUE(is_iocheck_time());
        EXPECT_EQ(time_out_tasks(), 0);
        EXPECT_EQ(g_app.pprm_tasks.len, 0u);
    }
    EXPECT_FALSE(quiet->errstr);
    rqs_update_clock();
}

// A multicast source joins its group on creation and revival and leaves it
// on suspension and removal; a revival that cannot join is retried while
// the task's retries last.  Inside a private namespace:
//
//   lo 127.0.0.1, 224.0.0.0/4 routed through lo
namespace {
bool joined(const char *hexgroup)
{
    std::ifstream f("/proc/net/igmp");
    std::string line;
    while (std::getline(f, line))
        if (line.find(hexgroup) != std::string::npos) return true;
    return false;
}
}  // namespace

TEST_F(Tasks, multicast_source_leaves_its_group_while_suspended)
{
    EXPECT_CHILD_OK(in_netns([] {
        constexpr char grp[] = "030201EF";  // 239.1.2.3 as /proc/net/igmp shows it
        CHILD_CHECK(!joined(grp));
        CHILD_CHECK(add_task(-1, "udp://239.1.2.3:5555", DST, nullptr, nullptr, nullptr) == 0);
        rtask *t = lookup_task("udp://239.1.2.3:5555", DST, nullptr);
        CHILD_CHECK(t && t->in_uc.sspec.multicast);
        CHILD_CHECK(joined(grp));
        pprmsusp(t, "read error", 5);
        pprm_task_cleanup();
        CHILD_CHECK(t->state.num == ST_SUS && !joined(grp));
        CHILD_CHECK(t->infd == -1 && g_app.reopen_fds == 1);

        // A revival that cannot join (no multicast route) is one more
        // failure: the task is suspended again, not removed.
        CHILD_CHECK(run_quiet("ip route del 224.0.0.0/4 dev lo"));
        CHILD_CHECK(!wait_revival(t));
        CHILD_CHECK(g_app.pprm_tasks.len == 1 && t->must_suspend && t->retry_count == 2);
        CHILD_CHECK(g_app.reopen_fds == 0);
        pprm_task_cleanup();
        CHILD_CHECK(task_count() == 1 && t->state.num == ST_SUS && t->infd == -1);
        CHILD_CHECK(g_app.reopen_fds == 1 && dly_count() == 1);
        CHILD_CHECK(t->errstr && strcmp(t->errstr, "revival failed") == 0);
        CHILD_CHECK(run_quiet("ip route add 224.0.0.0/4 dev lo src 127.0.0.1"));
        CHILD_CHECK(wait_revival(t) && joined(grp) && g_app.reopen_fds == 0);

        // With its retries used up, a failed revival removes the task.
        g_cfg.max_retries = 4;
        pprmsusp(t, "read error", 5);
        pprm_task_cleanup();
        CHILD_CHECK(t->state.num == ST_SUS && t->retry_count == 3);
        CHILD_CHECK(run_quiet("ip route del 224.0.0.0/4 dev lo"));
        CHILD_CHECK(!wait_revival(t) && !t->must_suspend);
        pprm_task_cleanup();
        CHILD_CHECK(task_count() == 0 && g_app.reopen_fds == 0);
        CHILD_CHECK(run_quiet("ip route add 224.0.0.0/4 dev lo src 127.0.0.1"));
        CHILD_CHECK(add_task(-1, "udp://239.1.2.3:5555", DST, nullptr, nullptr, nullptr) == 0);
        t = lookup_task("udp://239.1.2.3:5555", DST, nullptr);
        CHILD_CHECK(t && joined(grp));
        drop_task(t, 1);
        pprm_task_cleanup();
        CHILD_CHECK(!joined(grp));
        return 0;
    }));
}
