// Event-loop dispatch cost: N registered UDP sockets on loopback, with one
// of them or all of them readable each turn (one descriptor a socket, so
// 10000 fit the usual descriptor limit).  Level-triggered descriptors stay
// readable while their byte is left unread, so every turn dispatches the
// same events and the figures are the loop's own cost (the wait included).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "rqs.h"

namespace {

long g_dispatched;
long g_turns_left;

int on_read(int, int, void *, void *) { return ++g_dispatched, 0; }
int on_other(int, int, void *, void *) { return 0; }
int on_idle() { return --g_turns_left > 0 ? 0 : 1; }
void no_wait(struct timespec *t) { t->tv_sec = 0, t->tv_nsec = 0; }

void raise_nofile()
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    // Root may raise the hard limit too; 10000 pairs need 20000 and some.
    struct rlimit want = {65536, 65536};
    if (setrlimit(RLIMIT_NOFILE, &want) != 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

void run(benchmark::State &state, bool all_active)
{
    raise_nofile();
    const long n = state.range(0);
    rqs_config cfg{};
    cfg.cb.read = on_read;
    cfg.cb.write = on_other;
    cfg.cb.error = on_other;
    cfg.cb.on_idle = on_idle;
    cfg.cb.update_tmout = no_wait;
    rqs_init(&cfg);
    std::vector<int> fds;
    std::vector<int> ctx(size_t(n), 0);
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    fds.push_back(sender);
    for (long i = 0; i < n; ++i) {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sin);
        if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&sin), len) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr *>(&sin), &len) != 0) {
            state.SkipWithError("socket failed (descriptor limit?)");
            break;
        }
        fds.push_back(s);
        rqs_add_reader(s, &ctx[size_t(i)]);
        if (all_active || i == n / 2)
            sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr *>(&sin), len);
    }
    constexpr long turns = 100;
    g_dispatched = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        g_turns_left = turns;
        rqs_event_loop();
    }
    double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count());
    state.counters["events/s"] =
        benchmark::Counter(double(g_dispatched), benchmark::Counter::kIsRate);
    state.counters["ns/event"] = g_dispatched ? ns / double(g_dispatched) : 0.0;
    rqs_destroy();
    for (int fd : fds) close(fd);
}

void BM_loop_one_active(benchmark::State &state) { run(state, false); }
void BM_loop_all_active(benchmark::State &state) { run(state, true); }

BENCHMARK(BM_loop_one_active)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_loop_all_active)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
