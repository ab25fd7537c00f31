#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app.globals.h"
#include "log.h"
#include "rqs.h"
#include "support.h"
#include "util.h"

namespace {

// What the callbacks saw, for the test to check afterwards.
struct Seen {
    struct Call {
        char kind;  // 'r', 'w', 'e'
        int fd;
        int flags;
        void *udata;
        int stage;
    };
    std::vector<Call> calls;
    int post = 0, idle = 0, timeouts = 0, updates = 0;
    std::vector<int> post_stages, update_stages;
    int fail_events = 0;      // callbacks return -1 while positive
    int stop_after_idle = 1;  // on_idle ends the loop on this call
    long tmout_ms = -1;
};

Seen *g_seen;

int stage() { return int(reinterpret_cast<intptr_t>(rqs_ctx(GET_LOOP_STAGE, nullptr))); }

int record(char kind, int fd, int flags, void *udata)
{
    g_seen->calls.push_back({kind, fd, flags, udata, stage()});
    if (g_seen->fail_events > 0) {
        --g_seen->fail_events;
        return -1;
    }
    return 0;
}

int on_read(int fd, int flags, void *udata, void *) { return record('r', fd, flags, udata); }
int on_write(int fd, int flags, void *udata, void *) { return record('w', fd, flags, udata); }
int on_error(int fd, int flags, void *udata, void *) { return record('e', fd, flags, udata); }

void update_tmout(struct timespec *t)
{
    ++g_seen->updates;
    g_seen->update_stages.push_back(stage());
    ms2timespec(g_seen->tmout_ms, t);
}

int post_process()
{
    ++g_seen->post;
    g_seen->post_stages.push_back(stage());
    return 0;
}

int on_idle() { return ++g_seen->idle >= g_seen->stop_after_idle ? 99 : 0; }
int time_out() { return ++g_seen->timeouts, 0; }

rqs_config full_config()
{
    rqs_config cfg{};
    cfg.cb.update_tmout = update_tmout;
    cfg.cb.on_idle = on_idle;
    cfg.cb.read = on_read;
    cfg.cb.write = on_write;
    cfg.cb.error = on_error;
    cfg.cb.post_process = post_process;
    cfg.cb.time_out = time_out;
    return cfg;
}

class Loop : public ::testing::Test {
protected:
    Seen seen;
    void SetUp() override
    {
        g_seen = &seen;
        g_quit = 0;
        rqs_config cfg = full_config();
        ASSERT_EQ(rqs_init(&cfg), 0);
    }
    void TearDown() override
    {
        rqs_destroy();
        for (int fd : fds) close(fd);
        g_quit = 0;
    }
    std::vector<int> fds;
    std::pair<int, int> pipe_pair()
    {
        int p[2];
        EXPECT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0);
        fds.push_back(p[0]);
        fds.push_back(p[1]);
        return {p[0], p[1]};
    }
    std::pair<int, int> socket_pair()
    {
        int s[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s), 0);
        fds.push_back(s[0]);
        fds.push_back(s[1]);
        return {s[0], s[1]};
    }
};

}  // namespace

TEST_F(Loop, dispatches_readable_writable_and_hangup)
{
    auto [r, w] = pipe_pair();
    int ctx_r = 0, ctx_w = 0;
    ASSERT_EQ(rqs_add_reader(r, &ctx_r), 0);
    ASSERT_EQ(rqs_add_writer(w, &ctx_w), 0);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 2u);
    ASSERT_EQ(rqs_event_loop(), 99);  // one turn: the pipe is writable, not readable
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].kind, 'w');
    EXPECT_EQ(seen.calls[0].udata, &ctx_w);
    EXPECT_EQ(seen.calls[0].flags, 0);
    EXPECT_EQ(seen.calls[0].stage, ELOOP_EV);

    // Data plus hang-up of the writer: read, with RQS_SOCKHUP.
    ASSERT_EQ(rqs_rm_fd(w, false, true), 0);
    ASSERT_EQ(write(w, "x", 1), 1);
    close(w);
    fds.pop_back();
    seen.calls.clear();
    seen.idle = 0;
    ASSERT_EQ(rqs_event_loop(), 99);
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].kind, 'r');
    EXPECT_EQ(seen.calls[0].flags, RQS_SOCKHUP);
    EXPECT_EQ(seen.calls[0].udata, &ctx_r);
}

TEST_F(Loop, descriptor_without_context_comes_back_as_itself)
{
    auto [r, w] = pipe_pair();
    ASSERT_EQ(rqs_add_reader(r, nullptr), 0);
    ASSERT_EQ(write(w, "x", 1), 1);
    ASSERT_EQ(rqs_event_loop(), 99);
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].fd, r);
    EXPECT_EQ(reinterpret_cast<intptr_t>(seen.calls[0].udata), r);
}

TEST_F(Loop, mod_switches_interest)
{
    auto [a, b] = socket_pair();
    ASSERT_EQ(rqs_add_reader(a, &a), 0);
    ASSERT_EQ(rqs_mod(a, &a, RQS_WRITE), 0);
    ASSERT_EQ(rqs_event_loop(), 99);
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].kind, 'w');

    // Readable and writable: read only.
    ASSERT_EQ(write(b, "x", 1), 1);
    ASSERT_EQ(rqs_mod(a, &a, RQS_READ | RQS_WRITE), 0);
    seen.calls.clear();
    seen.idle = 0;
    ASSERT_EQ(rqs_event_loop(), 99);
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].kind, 'r');

    // Neither direction: only the peer's hang-up is reported, to error.
    ASSERT_EQ(rqs_mod(a, &a, 0), 0);
    close(b);
    fds.pop_back();
    seen.calls.clear();
    seen.idle = 0;
    ASSERT_EQ(rqs_event_loop(), 99);
    ASSERT_EQ(seen.calls.size(), 1u);
    EXPECT_EQ(seen.calls[0].kind, 'e');
    EXPECT_EQ(seen.calls[0].flags & RQS_SOCKHUP, RQS_SOCKHUP);
    EXPECT_EQ(rqs_mod_reader(a, &a), 0);
}

TEST_F(Loop, failed_callbacks_end_the_loop_after_the_turn)
{
    auto [r1, w1] = pipe_pair();
    auto [r2, w2] = pipe_pair();
    (void)r1;
    (void)r2;
    ASSERT_EQ(rqs_add_writer(w1, &w1), 0);
    ASSERT_EQ(rqs_add_writer(w2, &w2), 0);
    seen.fail_events = 2;
    EXPECT_EQ(rqs_event_loop(), 2);
    EXPECT_EQ(seen.calls.size(), 2u);  // both events dispatched
    EXPECT_EQ(seen.post, 1);           // the first post_process ran
    EXPECT_EQ(seen.idle, 0);           // on_idle did not
}

TEST_F(Loop, stages_of_a_turn)
{
    auto [r, w] = pipe_pair();
    (void)r;
    ASSERT_EQ(rqs_add_writer(w, &w), 0);
    seen.stop_after_idle = 2;
    EXPECT_EQ(rqs_event_loop(), 99);
    // update_tmout once before the loop and once per turn, always at START.
    EXPECT_EQ(seen.update_stages, (std::vector<int>{ELOOP_START, ELOOP_START, ELOOP_START}));
    EXPECT_EQ(seen.post_stages, (std::vector<int>{ELOOP_POSTEV, ELOOP_ENDPP, ELOOP_POSTEV}));
    EXPECT_EQ(seen.timeouts, 2);
}

TEST_F(Loop, wait_is_bounded_by_update_tmout)
{
    auto [r, w] = pipe_pair();
    (void)w;
    ASSERT_EQ(rqs_add_reader(r, &r), 0);  // never readable
    seen.tmout_ms = 60;
    seen.stop_after_idle = 2;
    auto start = std::chrono::steady_clock::now();
    struct timespec before = rqs_now();
    EXPECT_EQ(rqs_event_loop(), 99);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(110));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    EXPECT_TRUE(seen.calls.empty());
    EXPECT_EQ(seen.timeouts, 2);
    // The loop's clock moved with the waits.
    EXPECT_GE(diff_ms(rqs_now_ref(), &before), 110);
}

namespace {
struct timespec g_wait;
std::chrono::steady_clock::time_point g_stop_at;
void fixed_wait(struct timespec *t) { *t = g_wait; }
int count_turns_until_stop()
{
    ++g_seen->idle;
    return std::chrono::steady_clock::now() >= g_stop_at ? 99 : 0;
}
}  // namespace

// A wait under a millisecond is not a busy loop, and one of years neither
// wraps nor becomes one: each case runs about 50 ms, ended by a readable
// pipe.
TEST_F(Loop, short_and_huge_waits_do_not_spin)
{
    struct {
        time_t sec;
        long nsec;
        int max_turns;
    } cases[] = {{0, 500000, 200}, {0, 1, 200}, {536870912, 0, 3}, {LONG_MAX / 1000 + 1, 0, 3}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sec);
        rqs_destroy();
        rqs_config cfg = full_config();
        cfg.cb.update_tmout = fixed_wait;
        cfg.cb.on_idle = count_turns_until_stop;
        ASSERT_EQ(rqs_init(&cfg), 0);
        auto [r, w] = pipe_pair();
        ASSERT_EQ(rqs_add_reader(r, &r), 0);
        g_wait = timespec{c.sec, c.nsec};
        seen = Seen{};
        g_stop_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        std::thread waker([w = w] {
            std::this_thread::sleep_until(g_stop_at);
            [[maybe_unused]] ssize_t n = write(w, "x", 1);
        });
        EXPECT_EQ(rqs_event_loop(), 99);
        waker.join();
        EXPECT_LE(seen.idle, c.max_turns);
    }
}

TEST_F(Loop, quit_on_zero_fds_without_waiting)
{
    rqs_destroy();
    rqs_config cfg = full_config();
    cfg.quit_on_zero_fds = 1;
    ASSERT_EQ(rqs_init(&cfg), 0);
    LogCapture cap;
    EXPECT_EQ(rqs_event_loop(), 0);
    EXPECT_EQ(seen.timeouts, 0);
    EXPECT_EQ(seen.updates, 1);  // only the one before the first turn
    EXPECT_EQ(cap.text(), "(CRI)  rqs_event_loop: no fd's, no activity, quitting now.\n");
}

TEST_F(Loop, turn_without_descriptors_sleeps_until_its_time_out)
{
    seen.tmout_ms = 20;
    seen.stop_after_idle = 3;
    EXPECT_EQ(rqs_event_loop(), 99);
    EXPECT_EQ(seen.timeouts, 3);
}

namespace {
void set_quit(int) { g_quit = 1; }
}  // namespace

// A quit signal interrupts the unlimited wait; the loop returns 0.
TEST_F(Loop, quit_signal_during_the_wait)
{
    struct sigaction sa{}, old{};
    sa.sa_handler = set_quit;  // no SA_RESTART: the wait fails with EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old), 0);
    auto [r, w] = pipe_pair();
    (void)w;
    ASSERT_EQ(rqs_add_reader(r, &r), 0);
    pthread_t self = pthread_self();
    std::thread killer([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(self, SIGUSR2);
    });
    EXPECT_EQ(rqs_event_loop(), 0);
    killer.join();
    sigaction(SIGUSR2, &old, nullptr);
    EXPECT_EQ(g_quit, 1);
    EXPECT_EQ(seen.timeouts, 0);
}

// A quit signal caught after the loop looked at g_quit but before it waits
// (here: raised by update_tmout, the last step before the wait) ends the
// unlimited wait at once: the handler wakes the loop.  Without the wake the
// wait would last until the back-stop below.
TEST_F(Loop, quit_signal_just_before_the_wait)
{
    const int quits[] = {SIGTERM, SIGINT, SIGQUIT};
    struct sigaction old_quit[3]{}, old_usr2{};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sigaction(quits[i], nullptr, &old_quit[i]), 0);
    ASSERT_EQ(handle_quit_signals(on_sigquit), 0);
    struct sigaction sa{};
    sa.sa_handler = set_quit;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &sa, &old_usr2), 0);
    rqs_destroy();
    rqs_config cfg = full_config();
    cfg.cb.update_tmout = [](struct timespec *t) {
        ms2timespec(-1, t);
        if (++g_seen->updates == 2) raise(SIGTERM);
    };
    ASSERT_EQ(rqs_init(&cfg), 0);
    seen.stop_after_idle = 100;
    auto [r, w] = pipe_pair();
    (void)w;
    ASSERT_EQ(rqs_add_reader(r, &r), 0);  // never readable
    std::atomic<bool> done{false};
    pthread_t self = pthread_self();
    std::thread backstop([&] {
        for (int i = 0; i < 300 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!done) pthread_kill(self, SIGUSR2);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rqs_event_loop(), 0);
    const auto took = std::chrono::steady_clock::now() - t0;
    done = true;
    backstop.join();
    for (int i = 0; i < 3; ++i) sigaction(quits[i], &old_quit[i], nullptr);
    sigaction(SIGUSR2, &old_usr2, nullptr);
    log_caught_signals();
    g_goodbye = 0;
    EXPECT_EQ(g_quit, 1);
    EXPECT_EQ(seen.updates, 2);
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST_F(Loop, event_array_warning_needs_more_than_15_full_slots)
{
    struct Case {
        int registered, ready;
        bool warns;
    } cases[] = {{20, 16, false}, {20, 20, true}, {10, 10, false}};
    for (const Case &c : cases) {
        rqs_destroy();
        rqs_config cfg = full_config();
        ASSERT_EQ(rqs_init(&cfg), 0);
        for (int i = 0; i < c.registered; ++i) {
            auto [r, w] = pipe_pair();
            ASSERT_EQ(rqs_add_reader(r, nullptr), 0);
            if (i < c.ready) {
                ASSERT_EQ(write(w, "x", 1), 1);
            }
        }
        LogCapture cap;
        seen = Seen{};
        EXPECT_EQ(rqs_event_loop(), 99);
        EXPECT_EQ(seen.calls.size(), size_t(c.ready));
        EXPECT_EQ(cap.text().find("all event slots populated") != std::string::npos, c.warns)
            << c.registered << "/" << c.ready;
        for (int fd : fds) close(fd);
        fds.clear();
    }
}

TEST_F(Loop, rm_fd_and_counts)
{
    auto [r, w] = pipe_pair();
    ASSERT_EQ(rqs_add_reader(r, nullptr), 0);
    ASSERT_EQ(rqs_add_writer(w, nullptr), 0);
    EXPECT_EQ(rqs_fd_count(GET_TOTALFDS), 2u);
    EXPECT_EQ(rqs_rm_fd(r, true, false), 0);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 1u);
    LogCapture cap;
    EXPECT_EQ(rqs_rm_fd(r, true, false), -1);
    EXPECT_NE(cap.text().find("EPOLL_CTL_DEL"), std::string::npos);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 1u);
    EXPECT_EQ(rqs_ctx(7, nullptr), nullptr);
}

// --- descriptors removed inside a turn ---------------------------------------------------

namespace {

// Two connections whose callbacks each close and free the other.
struct Conn {
    int fd;
    Conn *partner;
};
int g_conn_reads = 0;
Conn *g_survivor = nullptr;

int close_partner(int, int, void *udata, void *)
{
    auto *c = static_cast<Conn *>(udata);
    const int fd = c->fd;  // reading a freed context trips ASan
    if (++g_conn_reads > 1 || fd < 0) return 0;
    g_survivor = c;
    Conn *p = c->partner;
    rqs_rm_fd(p->fd, true, false);
    close(p->fd);
    delete p;
    c->partner = nullptr;
    return 0;
}

// Descriptors registered without a context: the callback removes the other
// one and at once gives its number to a new, readable descriptor.
int g_pair[2] = {-1, -1};
std::vector<int> g_fd_reads;

int replace_other(int fd, int, void *, void *)
{
    g_fd_reads.push_back(fd);
    if (g_fd_reads.size() > 1) return 0;
    const int other = fd == g_pair[0] ? g_pair[1] : g_pair[0];
    rqs_rm_fd(other, true, false);
    int p[2];
    if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0 || write(p[1], "n", 1) != 1) return -1;
    dup3(p[0], other, O_CLOEXEC);  // closes the old descriptor of that number
    close(p[0]);
    close(p[1]);
    return rqs_add_reader(other, nullptr);
}

}  // namespace

// Events of the turn not dispatched yet die with their descriptor's
// removal: no callback meets a freed context or a reused descriptor number.
TEST_F(Loop, removal_inside_a_turn_drops_the_descriptors_pending_events)
{
    rqs_destroy();
    rqs_config cfg = full_config();
    cfg.cb.read = close_partner;
    ASSERT_EQ(rqs_init(&cfg), 0);
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, b), 0);
    fds.push_back(a[1]);
    fds.push_back(b[1]);
    auto *ca = new Conn{a[0], nullptr};
    auto *cb = new Conn{b[0], ca};
    ca->partner = cb;
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "x", 1), 1);
    ASSERT_EQ(rqs_add_reader(a[0], ca), 0);
    ASSERT_EQ(rqs_add_reader(b[0], cb), 0);
    g_conn_reads = 0;
    g_survivor = nullptr;
    EXPECT_EQ(rqs_event_loop(), 99);
    EXPECT_EQ(g_conn_reads, 1);
    ASSERT_NE(g_survivor, nullptr);
    close(g_survivor->fd);
    delete g_survivor;

    rqs_destroy();
    cfg.cb.read = replace_other;
    ASSERT_EQ(rqs_init(&cfg), 0);
    auto [r1, w1] = pipe_pair();
    auto [r2, w2] = pipe_pair();
    ASSERT_EQ(write(w1, "x", 1), 1);
    ASSERT_EQ(write(w2, "x", 1), 1);
    ASSERT_EQ(rqs_add_reader(r1, nullptr), 0);
    ASSERT_EQ(rqs_add_reader(r2, nullptr), 0);
    g_pair[0] = r1;
    g_pair[1] = r2;
    g_fd_reads.clear();
    seen.idle = 0;
    EXPECT_EQ(rqs_event_loop(), 99);
    EXPECT_EQ(g_fd_reads.size(), 1u);  // the other's event went with it
}

namespace {

// Contexts of two readable descriptors: the first callback of the turn
// gives the other descriptor a new context (or the same one again) with
// rqs_mod and retires the old one, whose owner could free it then.
struct Ctx {
    int fd;
    Ctx *partner;
    bool retired;
};
std::vector<std::unique_ptr<Ctx>> g_ctxs;
bool g_swap_for_new = true;
int g_swaps = 0;
struct ReadSeen {
    Ctx *ctx;
    int turn;
};
std::vector<ReadSeen> g_ctx_reads;

int swap_partner_ctx(int, int, void *udata, void *)
{
    auto *c = static_cast<Ctx *>(udata);
    g_ctx_reads.push_back({c, g_seen->idle + 1});
    if (c->retired) return 0;  // the failure the test looks for
    char b;
    [[maybe_unused]] ssize_t n = read(c->fd, &b, 1);
    if (g_swaps++ > 0) return 0;
    Ctx *p = c->partner;
    Ctx *next = p;
    if (g_swap_for_new) {
        g_ctxs.push_back(std::make_unique<Ctx>(Ctx{p->fd, nullptr, false}));
        next = g_ctxs.back().get();
        p->retired = true;
    }
    return rqs_mod(p->fd, next, RQS_READ);
}

}  // namespace

// A context replaced by rqs_mod gets none of the turn's pending events
// (they would reach a context its owner may have freed); the descriptor's
// next events reach the new context.  The same context given again keeps
// the pending event.
TEST_F(Loop, context_replaced_inside_a_turn_gets_no_pending_events)
{
    rqs_config cfg = full_config();
    cfg.cb.read = swap_partner_ctx;
    for (const bool for_new : {true, false}) {
        SCOPED_TRACE(for_new ? "new context" : "same context");
        rqs_destroy();
        ASSERT_EQ(rqs_init(&cfg), 0);
        auto [a, wa] = socket_pair();
        auto [b, wb] = socket_pair();
        g_ctxs.clear();
        g_ctxs.push_back(std::make_unique<Ctx>(Ctx{a, nullptr, false}));
        g_ctxs.push_back(std::make_unique<Ctx>(Ctx{b, nullptr, false}));
        Ctx *ca = g_ctxs[0].get(), *cb = g_ctxs[1].get();
        ca->partner = cb;
        cb->partner = ca;
        ASSERT_EQ(write(wa, "x", 1), 1);
        ASSERT_EQ(write(wb, "x", 1), 1);
        ASSERT_EQ(rqs_add_reader(a, ca), 0);
        ASSERT_EQ(rqs_add_reader(b, cb), 0);
        g_swap_for_new = for_new;
        g_swaps = 0;
        g_ctx_reads.clear();
        seen = Seen{};
        seen.stop_after_idle = 2;
        seen.tmout_ms = 20;
        EXPECT_EQ(rqs_event_loop(), 99);
        for (const ReadSeen &r : g_ctx_reads) EXPECT_FALSE(r.ctx->retired) << "turn " << r.turn;
        // Turn 1: the first descriptor, and with the same context also the
        // other; turn 2: with a new context, the other one through it.
        ASSERT_EQ(g_ctx_reads.size(), 2u);
        EXPECT_EQ(g_ctx_reads[0].turn, 1);
        EXPECT_EQ(g_ctx_reads[1].turn, for_new ? 2 : 1);
        Ctx *second = g_ctx_reads[1].ctx;
        EXPECT_EQ(second->fd, g_ctx_reads[0].ctx->partner->fd);
        if (for_new)
            EXPECT_EQ(second, g_ctxs.back().get());
        else
            EXPECT_EQ(second, g_ctx_reads[0].ctx->partner);
    }
    g_ctxs.clear();
}

// --- no-poll entries ----------------------------------------------------------------------

namespace {
ssize_t g_np_index = -1;
int g_np_served = 0;
int np_read(int fd, int flags, void *udata, void *)
{
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(udata, &g_np_index);
    EXPECT_GE(fd, 0);
    if (++g_np_served == 3) rqs_pprm_nopoll(g_np_index);  // removed from inside
    return 0;
}
}  // namespace

TEST_F(Loop, nopoll_entries_are_served_every_turn_without_waiting)
{
    rqs_destroy();
    rqs_config cfg = full_config();
    cfg.cb.read = np_read;
    ASSERT_EQ(rqs_init(&cfg), 0);
    auto [r, w] = pipe_pair();
    (void)w;
    g_np_served = 0;
    ASSERT_EQ(rqs_add_nopoll_reader(r, &g_np_index, &g_np_index), 0);
    EXPECT_EQ(g_np_index, 0);
    EXPECT_EQ(rqs_fd_count(GET_NOPOLLFDS), 1u);
    seen.stop_after_idle = 3;
    seen.tmout_ms = 10000;  // would hang if a turn with the entry waited
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rqs_event_loop(), 99);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(g_np_served, 3);  // removed at the purge after the third turn
    EXPECT_EQ(g_np_index, -1);
    EXPECT_EQ(rqs_fd_count(GET_NOPOLLFDS), 0u);
}

// --- file watches ----------------------------------------------------------------------------

namespace {
struct WatchSeen {
    int wd = -1, flags = 0, calls = 0;
    void *udata = nullptr;
} g_watch;
int on_modified(int wd, int flags, void *udata, void *)
{
    g_watch.wd = wd;
    g_watch.flags |= flags;
    g_watch.udata = udata;
    ++g_watch.calls;
    return 0;
}
int stop_on_delete()
{
    ++g_seen->idle;
    return (g_watch.flags & RQS_FDELETED) || g_seen->idle > 50 ? 99 : 0;
}
}  // namespace

TEST_F(Loop, deleted_file_reaches_on_file_modified)
{
    rqs_destroy();
    rqs_config cfg = full_config();
    cfg.cb.on_file_modified = on_modified;
    cfg.cb.on_idle = stop_on_delete;
    ASSERT_EQ(rqs_init(&cfg), 0);
    TempDir dir;
    std::string path = dir.file("watched");
    write_file(path, "x");
    int ctx = 0;
    g_watch = WatchSeen{};
    int wd = rqs_add_file_watch(&ctx, path.c_str());
    ASSERT_GE(wd, 0);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 1u);  // the inotify descriptor
    ASSERT_EQ(unlink(path.c_str()), 0);
    seen.tmout_ms = 50;
    EXPECT_EQ(rqs_event_loop(), 99);
    EXPECT_EQ(g_watch.wd, wd);
    EXPECT_EQ(g_watch.udata, &ctx);
    EXPECT_EQ(g_watch.flags & (RQS_RMV | RQS_FDELETED), RQS_RMV | RQS_FDELETED);
    // The kernel dropped the watch with the file: removal reports it.
    LogCapture cap;
    EXPECT_EQ(rqs_rm_file_watch(wd), -1);
    EXPECT_EQ(rqs_add_file_watch(&ctx, dir.file("missing").c_str()), -1);
}

TEST_F(Loop, watches_share_one_inotify_registration)
{
    TempDir dir;
    write_file(dir.file("a"), "a");
    write_file(dir.file("b"), "b");
    int wa = rqs_add_file_watch(nullptr, dir.file("a").c_str());
    int wb = rqs_add_file_watch(nullptr, dir.file("b").c_str());
    ASSERT_GE(wa, 0);
    ASSERT_GE(wb, 0);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 1u);
    EXPECT_EQ(rqs_rm_file_watch(wa), 0);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 1u);
    EXPECT_EQ(rqs_rm_file_watch(wb), 0);
    EXPECT_EQ(rqs_fd_count(GET_POLLFDS), 0u);
}

namespace {
std::set<int> g_modified;
int on_modified_collect(int wd, int, void *, void *) { return g_modified.insert(wd), 0; }
int stop_when_300_seen() { return g_modified.size() >= 300 || ++g_seen->idle > 100 ? 99 : 0; }
}  // namespace

// More changes than one read buffer holds are all delivered, and the loop
// goes on.
TEST_F(Loop, many_modified_files_are_all_reported)
{
    rqs_destroy();
    rqs_config cfg = full_config();
    cfg.cb.on_file_modified = on_modified_collect;
    cfg.cb.on_idle = stop_when_300_seen;
    ASSERT_EQ(rqs_init(&cfg), 0);
    TempDir dir;
    std::vector<std::string> paths;
    for (int i = 0; i < 300; ++i) {
        paths.push_back(dir.file("f" + std::to_string(i)));
        write_file(paths.back(), "x");
        ASSERT_GE(rqs_add_file_watch(nullptr, paths.back().c_str()), 0);
    }
    for (const std::string &p : paths) write_file(p, "changed");
    g_modified.clear();
    seen.tmout_ms = 50;
    EXPECT_EQ(rqs_event_loop(), 99);
    EXPECT_EQ(g_modified.size(), 300u);
}

TEST(LoopDeathTest, running_before_init_is_an_invariant)
{
    EXPECT_DEATH(rqs_event_loop(), "ASSERT at:");
    EXPECT_DEATH(rqs_init(nullptr), "ASSERT at:");
}
