// The datagram path on real sockets in a private namespace:
//
//   sender --> 239.1.1.1:5000 / 127.0.0.1:50xx --> [relay task] --> 127.0.0.1:60xx, [::1]:6001
//
// Whole datagrams of 1 to 5000 bytes in order; oversize datagrams dropped
// and counted until the tenth fails the task; a destination that would
// block keeps its datagrams, an unreachable one drops them and leaves the
// loop idle; the standby source is always read and the writer stays while
// either storage holds data.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <time.h>

#include <memory>

#include "dgpath.h"
#include "relay_harness.h"
#include "supervise.h"
#include "support.h"

namespace {

long cpu_ms()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

size_t len_of(uint32_t i)
{
    if (i == 0) return 1;
    if (i == 1) return 5000;
    return 1 + (size_t(i) * 997) % 5000;
}

// Sends n datagrams of len_of(i) bytes, keeping at most 64 ahead of what
// out has received, so that no socket buffer overflows.
std::jthread paced_sender(const char *host, int port, uint32_t n, rh::collector &out)
{
    return std::jthread([host, port, n, &out](std::stop_token st) {
        rh::udp_tx tx(host, port);
        for (uint32_t i = 0; i < n && !st.stop_requested(); ++i) {
            while (i > out.count.load() + 64 && !st.stop_requested())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            tx.send(rh::mk_dgram(len_of(i), i));
        }
    });
}

bool all_in_order(rh::collector &out, uint32_t n)
{
    const auto got = out.take();
    if (got.size() != n) return false;
    for (uint32_t i = 0; i < n; ++i)
        if (got[i] != rh::mk_dgram(len_of(i), i)) return false;
    return true;
}

bool wait_readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 2000) == 1;
}

}  // namespace

TEST(dgpath, datagrams_of_1_to_5000_bytes_relay_whole_and_in_order)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { snprintf(g_cfg.trep_file, sizeof g_cfg.trep_file, "%s", "/x"); });
            CK(env.ok);
            const bool v6 = have_ipv6_loopback();
            rh::collector out4("127.0.0.1", 6000);
            std::unique_ptr<rh::collector> out6;
            CK(add_task(-1, "udp://239.1.1.1:5000", "udp://127.0.0.1:6000", nullptr, nullptr,
                        nullptr) == 0);
            if (v6) {
                out6 = std::make_unique<rh::collector>("::1", 6001);
                CK(add_task(-1, "udp://127.0.0.1:5001", "udp://[::1]:6001", nullptr, nullptr,
                            nullptr) == 0);
            }
            constexpr uint32_t N = 1500;
            {
                auto s4 = paced_sender("239.1.1.1", 5000, N, out4);
                auto s6 = v6 ? paced_sender("127.0.0.1", 5001, N, *out6) : std::jthread();
                CK(rh::run_until(
                    [&] { return out4.count == N && (!v6 || out6->count == N); }, 30000));
            }
            CK(all_in_order(out4, N));
            if (v6) CK(all_in_order(*out6, N));

            uint64_t sum = 0;
            for (uint32_t i = 0; i < N; ++i) sum += len_of(i);
            rtask *t = rh::find_task("udp://239.1.1.1:5000", "udp://127.0.0.1:6000");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            rh::run_for(50);
            CK(t->total_in == sum && t->total_out == sum && t->local_in == sum);
            CK(t->pks.max_ipktlen == 5000 && t->pks.max_opktlen == 5000 && t->pks.ntrunc == 0);
            CK(t->state.num == ST_RLY && t->reader.is_active && !t->writer.is_active);
            CK(t->iavg.vps > 0 && t->oavg.vps > 0);
            CK(is_online(t));

            // Nothing to relay: the loop sleeps.
            const long c0 = cpu_ms();
            rh::run_for(1000);
            CK(cpu_ms() - c0 < 100);
            const std::string text = log.text();
            CK(text.find("TRUNCATED") == std::string::npos);
            CK(text.find("ERROR") == std::string::npos);
            return rh::verdict();
        },
        60000));
}

TEST(dgpath, oversize_datagrams_are_dropped_and_the_tenth_fails_the_task)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            CK(env.ok);
            rh::collector out("127.0.0.1", 6010);
            const task_options opt{0, 0, 1500};
            CK(add_task(-1, "udp://127.0.0.1:5010", "udp://127.0.0.1:6010", nullptr, nullptr,
                        &opt) == 0);
            rtask *t = rh::find_task("udp://127.0.0.1:5010", "udp://127.0.0.1:6010");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            rh::udp_tx tx("127.0.0.1", 5010);
            // Nine oversize datagrams between whole ones: each is dropped
            // and counted, never relayed cut to the buffer's size.
            for (uint32_t k = 0; k < 9; ++k) {
                tx.send(rh::mk_dgram(100, k));
                tx.send(rh::mk_dgram(2000, 100 + k));
            }
            tx.send(rh::mk_dgram(1500, 9));
            CK(rh::run_until([&] { return out.count == 10; }, 5000));
            auto got = out.take();
            CK(got.size() == 10);
            for (uint32_t k = 0; k < got.size(); ++k)
                CK(got[k] == rh::mk_dgram(k == 9 ? 1500 : 100, k));
            CK(t->pks.ntrunc == 9 && t->state.num == ST_RLY);
            std::string text = log.text();
            CK(rh::count_of(text, "datagram TRUNCATED to 1500 bytes (full size=2000)") == 9);
            CK(text.find("[9/10]") != std::string::npos);
            CK(text.find("likely TRUNCATED") == std::string::npos);

            // The tenth fails the task with E2BIG; the suspension is
            // stretched to retry_period_sec x retry_count.
            tx.send(rh::mk_dgram(2000, 200));
            bool seen_sus = false;
            int err_at_sus = 0;
            std::string errstr_at_sus;
            rh::g_on_turn = [&] {
                if (!seen_sus && t->state.num == ST_SUS) {
                    seen_sus = true;
                    err_at_sus = t->err;
                    errstr_at_sus = t->errstr ? t->errstr : "";
                }
            };
            const long t0 = rh::now_ms();
            CK(rh::run_until([&] { return seen_sus; }, 3000));
            CK(err_at_sus == E2BIG);
            CK(errstr_at_sus == "Datagrams too large for TVL_PKTLEN=5000");
            text = log.text();
            CK(text.find("DATAGRAM TOO LARGE for the current buffer size=1500; use special build "
                         "with TVL_PKTLEN > 1500.This task will terminate.") != std::string::npos);
            CK(text.find("[10/10]") != std::string::npos);
            CK(text.find("suspended for 1.0000 sec") != std::string::npos);
            CK(rh::run_until([&] { return t->state.num == ST_RLY; }, 3000));
            CK(rh::now_ms() - t0 >= 900);

            // Revived: whole datagrams flow again and the count starts over
            // once the task is back online.
            tx.send(rh::mk_dgram(300, 10));
            CK(rh::run_until([&] { return out.count == 11; }, 3000));
            got = out.take();
            CK(got.size() == 11 && got.back() == rh::mk_dgram(300, 10));
            CK(t->pks.ntrunc == 0 && t->retry_count == 0 && t->errstr == nullptr);
            CK(log.text().find("BACK ONLINE") != std::string::npos);
            return rh::verdict();
        },
        30000));
}

TEST(dgpath, blocked_destination_keeps_datagrams_unreachable_one_drops_them_idle)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            CK(env.ok);

            // A destination that would block: a datagram socket pair whose
            // far end is not read.  Every datagram waits and none is lost.
            CK(add_task(-1, "udp://127.0.0.1:5020", "udp://127.0.0.1:6020", nullptr, nullptr,
                        nullptr) == 0);
            rtask *t = rh::find_task("udp://127.0.0.1:5020", "udp://127.0.0.1:6020");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            int sp[2];
            CK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sp) == 0);
            const int small = 4096;
            setsockopt(sp[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            CK(!t->writer.is_active);
            close(t->outfd);
            t->outfd = sp[0];
            t->out_uc.sspec.addr_len = 0;  // the pair is connected
            {
                rh::udp_tx tx("127.0.0.1", 5020);
                for (uint32_t i = 0; i < 30; ++i) tx.send(rh::mk_dgram(1000, i));
            }
            const long c0 = cpu_ms();
            rh::run_for(300);
            CK(cpu_ms() - c0 < 100);
            CK(t->errctx.n_out_dropped == 0 && t->writer.is_active);
            CK(t->state.num == ST_RLY);
            std::mutex mu;
            std::vector<std::string> drained;
            std::atomic<size_t> ndrained{0};
            {
                std::jthread drain([&](std::stop_token st) {
                    char buf[2000];
                    while (!st.stop_requested() && ndrained < 30) {
                        pollfd p{sp[1], POLLIN, 0};
                        if (poll(&p, 1, 20) != 1) continue;
                        const ssize_t n = recv(sp[1], buf, sizeof buf, 0);
                        if (n <= 0) continue;
                        std::lock_guard<std::mutex> g(mu);
                        drained.emplace_back(buf, size_t(n));
                        ++ndrained;
                    }
                });
                CK(rh::run_until([&] { return ndrained == 30; }, 5000));
            }
            CK(drained.size() == 30 && t->total_out == 30000);
            for (uint32_t i = 0; i < drained.size(); ++i) CK(drained[i] == rh::mk_dgram(1000, i));
            close(sp[1]);

            // An unreachable destination refuses every datagram: each is
            // dropped and counted, the log stays quiet after six lines, and
            // the loop sleeps between arrivals instead of spinning on an
            // always-writable socket.
            CK(add_task(-1, "udp://127.0.0.1:5030", "udp://10.99.0.1:6030", nullptr, nullptr,
                        nullptr) == 0);
            rtask *u = rh::find_task("udp://127.0.0.1:5030", "udp://10.99.0.1:6030");
            CK(u != nullptr);
            if (!u) return rh::verdict();
            std::atomic<uint32_t> sent{0};
            long cpu = 0;
            {
                std::jthread tx([&](std::stop_token st) {
                    rh::udp_tx s("127.0.0.1", 5030);
                    while (!st.stop_requested() && sent < 200) {
                        s.send(rh::mk_dgram(1200, sent));
                        ++sent;
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    }
                });
                rh::run_for(300);
                const long c1 = cpu_ms();
                rh::run_for(1000);
                cpu = cpu_ms() - c1;
                rh::run_until([&] { return sent == 200; }, 3000);
            }
            rh::run_for(100);
            CK(cpu < 150);
            CK(u->errctx.n_out_dropped == 200 && u->total_out == 0 && !u->writer.is_active);
            CK(u->reader.is_active && u->state.num == ST_RLY);
            std::string text = log.text();
            CK(rh::count_of(text, "sendto(fd") == 6);
            CK(rh::count_of(text, "network is down") == 1);

            // The route appears: datagrams pass again and the network is up.
            CK(run_quiet("ip addr add 10.99.0.1/32 dev lo"));
            rh::collector out("10.99.0.1", 6030);
            {
                rh::udp_tx s("127.0.0.1", 5030);
                for (uint32_t i = 0; i < 5; ++i) s.send(rh::mk_dgram(700, 300 + i));
            }
            CK(rh::run_until([&] { return out.count == 5; }, 3000));
            auto got = out.take();
            for (uint32_t i = 0; i < got.size(); ++i) CK(got[i] == rh::mk_dgram(700, 300 + i));
            CK(u->errctx.n_out_netdown == 0);
            CK(rh::count_of(log.text(), "network is up") == 1);
            return rh::verdict();
        },
        30000));
}

TEST(dgpath, standby_is_always_read_and_writer_serves_either_storage)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            CK(env.ok);
            rh::collector out("127.0.0.1", 6100);
            CK(add_task(-1, "udp://127.0.0.1:5100", "udp://127.0.0.1:6100",
                        "udp://127.0.0.1:5101", nullptr, nullptr) == 0);
            rtask *t = rh::find_task("udp://127.0.0.1:5100", "udp://127.0.0.1:6100",
                                     "udp://127.0.0.1:5101");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            CK(t->stg.dgram->count == 16 && t->altin.dgram->count == 16);
            rh::udp_tx pri("127.0.0.1", 5100), alt("127.0.0.1", 5101);

            pri.send(rh::mk_dgram(900, 0));
            CK(wait_readable(t->infd));
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(t->writer.is_active && !rta_no_pending_data(t->stg.dgram));
            // A standby read that finds nothing must not take the writer
            // from the primary's datagram.
            CK(on_task_read(-1, 0, &t->altin.reader, nullptr) == 0);
            CK(t->writer.is_active);

            // The standby fills its storage and keeps being read, holding
            // its newest datagrams.
            for (uint32_t i = 0; i < 40; ++i) alt.send(rh::mk_dgram(500, i, 'A'));
            CK(wait_readable(t->altin.sockfd));
            for (int k = 0; k < 10; ++k) {
                CK(on_task_read(-1, 0, &t->altin.reader, nullptr) == 0);
                CK(t->altin.reader.is_active);
            }
            CK(rta_no_space(t->altin.dgram));
            const data_pkt *oldest = rta_get_tail(t->altin.dgram);
            CK(oldest && rh::seq_of(std::string(reinterpret_cast<const char *>(oldest->data),
                                                oldest->len)) == 24);
            CK(on_task_read(-1, 0, &t->altin.reader, nullptr) == 0);
            CK(t->altin.reader.is_active);
            CK(!t->altin.is_active);

            // Writes send the primary's datagram and empty the standby's
            // storage, max_pkts at a time; the writer goes with the last.
            int writes = 0;
            while (t->writer.is_active && writes < 10) {
                CK(on_task_write(-1, 0, &t->writer, nullptr) == 0);
                ++writes;
            }
            CK(writes == 4);
            CK(rta_no_pending_data(t->stg.dgram) && rta_no_pending_data(t->altin.dgram));
            CK(t->reader.is_active && t->altin.reader.is_active);
            CK(rh::run_until([&] { return out.count == 1; }, 2000));
            CK(out.take().front() == rh::mk_dgram(900, 0));
            CK(t->total_out == 900 && t->total_in == 900 + 40 * 500);
            return rh::verdict();
        },
        30000));
}
