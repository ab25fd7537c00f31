// The datagram path on real sockets in a private namespace:
//
//   sender --> 239.1.1.1:5000, 127.0.0.1:50xx --> [relay task] --> 127.0.0.1:60xx, [::1]:6001
#include <gtest/gtest.h>
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

size_t len_of(uint32_t i) { return i == 1 ? 5000 : 1 + (size_t(i) * 997) % 5000; }

// Sends n datagrams of len_of(i) bytes, at most 64 ahead of what out has.
std::jthread paced_sender(const char *host, int port, uint32_t n, rh::collector &out)
{
    return std::jthread([=, &out](std::stop_token st) {
        rh::udp_tx tx(host, port);
        for (uint32_t i = 0; i < n && !st.stop_requested(); ++i) {
            while (i > out.count + 64 && !st.stop_requested())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            tx.send(rh::mk_dgram(len_of(i), i));
        }
    });
}

bool all_in_order(rh::collector &out, uint32_t n)
{
    const auto got = out.take();
    bool ok = got.size() == n;
    for (uint32_t i = 0; ok && i < n; ++i) ok = got[i] == rh::mk_dgram(len_of(i), i);
    return ok;
}

}  // namespace

TEST(dgpath, datagrams_of_1_to_5000_bytes_relay_whole_and_in_order)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { snprintf(g_cfg.trep_file, sizeof g_cfg.trep_file, "/r"); });
            const bool v6 = have_ipv6_loopback();
            rh::collector out4("127.0.0.1", 6000);
            auto out6 = std::make_unique<rh::collector>(v6 ? "::1" : "127.0.0.1", 6001);
            rtask *t = rh::mk_task("udp://239.1.1.1:5000", "udp://127.0.0.1:6000");
            CK(env.ok && t);
            if (v6) CK(rh::mk_task("udp://127.0.0.1:5001", "udp://[::1]:6001"));
            constexpr uint32_t N = 1500;
            {
                auto s4 = paced_sender("239.1.1.1", 5000, N, out4);
                auto s6 = v6 ? paced_sender("127.0.0.1", 5001, N, *out6) : std::jthread();
                CK(rh::run_until([&] { return out4.count == N && (!v6 || out6->count == N); },
                                 30000));
            }
            CK(all_in_order(out4, N) && (!v6 || all_in_order(*out6, N)));
            if (!t) return rh::verdict();
            uint64_t sum = 0;
            for (uint32_t i = 0; i < N; ++i) sum += len_of(i);
            rh::run_for(50);
            CK(t->total_in == sum && t->total_out == sum && t->local_in == sum);
            CK(t->pks.max_ipktlen == 5000 && t->pks.max_opktlen == 5000 && t->pks.ntrunc == 0);
            CK(t->reader.is_active && !t->writer.is_active && is_online(t));
            CK(t->iavg.vps > 0 && t->oavg.vps > 0);
            // Nothing to relay: the loop sleeps.
            const long c0 = cpu_ms();
            rh::run_for(1000);
            CK(cpu_ms() - c0 < 100);
            CK(log.text().find("TRUNCATED") == std::string::npos);
            return rh::verdict();
        },
        60000));
}

TEST(dgpath, oversize_datagrams_are_dropped_and_counted_the_tenth_fails_the_task)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            rh::collector out("127.0.0.1", 6010);
            const task_options opt{0, 0, 1500};
            rtask *t = rh::mk_task("udp://127.0.0.1:5010", "udp://127.0.0.1:6010", nullptr, &opt);
            CK(env.ok && t);
            if (!t) return rh::verdict();
            rh::udp_tx tx("127.0.0.1", 5010);
            for (uint32_t k = 0; k < 9; ++k)
                tx.send(rh::mk_dgram(100, k)), tx.send(rh::mk_dgram(2000, 100 + k));
            tx.send(rh::mk_dgram(1500, 9));
            CK(rh::run_until([&] { return out.count == 10; }, 5000));
            auto got = out.take();
            for (uint32_t k = 0; k < got.size(); ++k)
                CK(got[k] == rh::mk_dgram(k == 9 ? 1500 : 100, k));
            CK(got.size() == 10 && t->pks.ntrunc == 9 && t->state.num == ST_RLY);
            CK(rh::count_of(log.text(), "datagram TRUNCATED to 1500 bytes (full size=2000)") == 9);

            // The tenth: E2BIG, suspended for retry_period_sec x retry_count.
            tx.send(rh::mk_dgram(2000, 200));
            CK(rh::run_until([&] { return t->state.num == ST_SUS; }, 3000));
            CK(t->err == E2BIG && t->errstr &&
               strcmp(t->errstr, "Datagrams too large for TVL_PKTLEN=5000") == 0);
            CK(log.text().find("DATAGRAM TOO LARGE for the current buffer size=1500; use special "
                               "build with TVL_PKTLEN > 1500.This task will terminate.") !=
               std::string::npos);
            CK(log.text().find("[10/10]") != std::string::npos);
            CK(log.text().find("suspended for 1.0000 sec") != std::string::npos);
            CK(rh::run_until([&] { return t->state.num == ST_RLY; }, 3000));
            // Back online: whole datagrams flow and the count starts over.
            tx.send(rh::mk_dgram(300, 10));
            CK(rh::run_until([&] { return out.count == 11; }, 3000));
            CK(out.take().back() == rh::mk_dgram(300, 10));
            CK(t->pks.ntrunc == 0 && t->retry_count == 0 && !t->errstr);
            return rh::verdict();
        },
        30000));
}

TEST(dgpath, unreachable_destination_drops_datagrams_and_leaves_the_loop_idle)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            rtask *u = rh::mk_task("udp://127.0.0.1:5030", "udp://10.99.0.1:6030");
            CK(env.ok && u);
            if (!u) return rh::verdict();
            std::atomic<uint32_t> sent{0};
            long cpu = 0;
            {
                std::jthread tx([&](std::stop_token st) {
                    rh::udp_tx s("127.0.0.1", 5030);
                    for (; !st.stop_requested() && sent < 200; ++sent) {
                        s.send(rh::mk_dgram(1200, sent));
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
            CK(rh::count_of(log.text(), "sendto(fd") == 6);
            CK(rh::count_of(log.text(), "network is down") == 1);

            // The address appears: datagrams pass again, the network is up.
            CK(run_quiet("ip addr add 10.99.0.1/32 dev lo"));
            rh::collector out("10.99.0.1", 6030);
            rh::udp_tx("127.0.0.1", 5030).send(rh::mk_dgram(700, 300));
            CK(rh::run_until([&] { return out.count == 1; }, 3000));
            CK(u->errctx.n_out_netdown == 0 && rh::count_of(log.text(), "network is up") == 1);
            return rh::verdict();
        },
        30000));
}

TEST(dgpath, standby_is_always_read_and_writer_serves_either_storage)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            rh::relay_env env;
            rh::collector out("127.0.0.1", 6100);
            rtask *t = rh::mk_task("udp://127.0.0.1:5100", "udp://127.0.0.1:6100",
                                   "udp://127.0.0.1:5101");
            CK(env.ok && t);
            if (!t) return rh::verdict();
            CK(t->stg.dgram->count == 16 && t->altin.dgram->count == 16);
            rh::udp_tx pri("127.0.0.1", 5100), alt("127.0.0.1", 5101);
            pri.send(rh::mk_dgram(900, 0));
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(t->writer.is_active);
            // A standby read that finds nothing keeps the primary's writer.
            CK(on_task_read(-1, 0, &t->altin.reader, nullptr) == 0);
            CK(t->writer.is_active);
            // The standby fills up and is still read, keeping its newest.
            for (uint32_t i = 0; i < 40; ++i) alt.send(rh::mk_dgram(500, i, 'A'));
            for (int k = 0; k < 11; ++k) {
                CK(on_task_read(-1, 0, &t->altin.reader, nullptr) == 0);
                CK(t->altin.reader.is_active);
                if (k == 9) {
                    const data_pkt *p = rta_get_tail(t->altin.dgram);
                    CK(rta_no_space(t->altin.dgram) &&
                       rh::seq_of({reinterpret_cast<const char *>(p->data), p->len}) == 24);
                }
            }
            // Writes send the primary's datagram and empty the standby's
            // storage max_pkts at a time; the writer goes with the last.
            int writes = 0;
            for (; t->writer.is_active && writes < 10; ++writes)
                CK(on_task_write(-1, 0, &t->writer, nullptr) == 0);
            CK(writes == 4 && rta_no_pending_data(t->altin.dgram));
            CK(t->reader.is_active && t->altin.reader.is_active && !t->altin.is_active);
            CK(rh::run_until([&] { return out.count == 1; }, 2000));
            CK(out.take().front() == rh::mk_dgram(900, 0));
            return rh::verdict();
        },
        30000));
}
