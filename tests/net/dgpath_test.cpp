// The datagram path on real sockets in a private namespace:
//
//   sender --> 239.1.1.1:5000, 127.0.0.1:50xx --> [relay task] --> 127.0.0.1:60xx, [::1]:6001
//                                                              \-> 239.2.2.x:6400 (lo),
//                                   [ff15::2:2]:6400 (mc6 fd00:6::a <-veth-> mc6p, IPv6 off)
//   refused destinations: 10.99.0.1 (no route), 10.97.0.1 (prohibit), 10.98.0.1 (blackhole),
//   10.96.0.255 (broadcast of 10.96.0.1/24 on lo)
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <memory>

#include "dgpath.h"
#include "relay_harness.h"
#include "supervise.h"
#include "support.h"
#include "turnflag.h"

namespace {

long cpu_ms()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

size_t len_of(uint32_t i) { return i == 1 ? 5000 : 1 + (size_t(i) * 997) % 5000; }

// Sends n datagrams of len(i) bytes, at most `ahead` ahead of what out has.
std::jthread paced_sender(const char *host, int port, uint32_t n, rh::collector &out,
                          size_t (*len)(uint32_t) = len_of, uint32_t ahead = 64)
{
    return std::jthread([=, &out](std::stop_token st) {
        rh::udp_tx tx(host, port);
        for (uint32_t i = 0; i < n && !st.stop_requested(); ++i) {
            while (i > out.count + ahead && !st.stop_requested())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            tx.send(rh::mk_dgram(len(i), i));
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
            // Nothing to relay: the loop sleeps.  (The collectors, which wake
            // every few milliseconds, are stopped first: only the loop counts.)
            out4.stop(), out6->stop();
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
            // Back online: whole datagrams flow and the count starts over;
            // the revival is earned back once the task has relayed without
            // a gap for src_avail_tmout_ms.
            tx.send(rh::mk_dgram(300, 10));
            CK(rh::run_until([&] { return out.count == 11; }, 3000));
            CK(out.take().back() == rh::mk_dgram(300, 10));
            CK(t->pks.ntrunc == 0 && t->retry_count == 1 && !t->errstr && is_online(t));
            for (uint32_t k = 11; k < 25 && t->retry_count == 1; ++k) {
                tx.send(rh::mk_dgram(300, k));
                rh::run_for(100);
            }
            CK(t->retry_count == 0 && out.count >= 21);
            return rh::verdict();
        },
        30000));
}

TEST(dgpath, refused_destinations_drop_and_count_datagrams_and_leave_the_loop_idle)
{
    for (const rh::refusal &c : rh::kRefusals) {
        SCOPED_TRACE(c.why);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [&c] {
                LogCapture log;
                rh::relay_env env;
                if (c.setup) CK(run_quiet(c.setup));
                const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                const sockaddr_storage to = rh::mk_addr(c.host, 6030);
                errno = 0;
                CK(sendto(probe, "x", 1, 0, reinterpret_cast<const sockaddr *>(&to),
                          rh::addr_len(to)) < 0 && errno == c.err);
                close(probe);
                rtask *u = rh::mk_task("udp://127.0.0.1:5030",
                                       "udp://" + std::string(c.host) + ":6030");
                CK(env.ok && u);
                if (!u) return rh::verdict();
                std::atomic<uint32_t> sent{0};
                long cpu = 0;
                {
                    // Pairs of equal datagrams: runs are tried as well.
                    std::jthread tx([&](std::stop_token st) {
                        rh::udp_tx s("127.0.0.1", 5030);
                        for (; !st.stop_requested() && sent < 200; ++sent) {
                            s.send(rh::mk_dgram(1200, sent));
                            if (sent % 2)
                                std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
                CK(u->reader.is_active && u->state.num == ST_RLY && !u->errstr);
                const std::string text = log.text();
                const std::string line = "ERROR(" + std::to_string(c.err) + "): ";
                // The first error is logged at once, then at most once a
                // second with the drops since the line before (200
                // datagrams over 2 s); network-down errors fall silent
                // after the sixth in a row.
                const size_t lines = rh::count_of(text, "sendto(fd");
                if (c.err == ENETUNREACH) {
                    CK(lines == 1);
                    CK(rh::count_of(text, "network is down") == 1);
                } else {
                    CK(lines >= 2 && lines <= 4 && rh::count_of(text, line) == lines);
                    CK(text.find("network is down") == std::string::npos &&
                       u->errctx.n_out_netdown == 0);
                }
                CK(rh::dropped_in_lines(text) <= 200);
                if (!c.recover) return rh::verdict();

                // The address appears: datagrams pass again, the network is
                // up, and the drops not reported yet get their line.
                rh::run_for(1000);
                CK(run_quiet(c.recover));
                rh::collector out(c.host, 6030);
                rh::udp_tx("127.0.0.1", 5030).send(rh::mk_dgram(700, 300));
                CK(rh::run_until([&] { return out.count == 1; }, 3000));
                CK(out.take() == std::vector<std::string>{rh::mk_dgram(700, 300)});
                CK(u->errctx.n_out_netdown == 0 && u->errctx.n_out_dropped == 200);
                CK(rh::count_of(log.text(), "network is up") == (c.err == ENETUNREACH ? 1u : 0u));
                CK(rh::count_of(log.text(), "sends pass again") == 1 &&
                   rh::dropped_in_lines(log.text()) == 200);
                return rh::verdict();
            },
            30000));
    }
}

TEST(dgpath, no_buffer_space_keeps_the_datagrams_until_the_route_takes_them)
{
    // A queue discipline on lo that takes nothing: with IP_RECVERR on the
    // destination socket every send fails with ENOBUFS.  The datagrams
    // stay stored (the full storage holds the reader back) and go out once
    // the queue is gone, every one once and in order, with runs and
    // without.
    for (const bool mmsg : {true, false}) {
        SCOPED_TRACE(mmsg);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [mmsg] {
                LogCapture log;
                rh::relay_env env([mmsg] { g_cfg.use_mmsg = mmsg, g_cfg.max_pkts = 16; });
                rh::collector out("127.0.0.1", 6360);
                rtask *t = rh::mk_task("udp://127.0.0.1:5360", "udp://127.0.0.1:6360");
                CK(env.ok && t);
                if (!t) return rh::verdict();
                const int on = 1;
                CK(setsockopt(t->outfd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0);
                // The datagrams reach the task's socket before lo stops.
                std::vector<std::string> want;
                rh::udp_tx tx("127.0.0.1", 5360);
                for (uint32_t i = 0; i < 100; ++i) {
                    want.push_back(rh::mk_dgram(i % 10 ? 1316 : 188, i));
                    CK(tx.send(want.back()));
                }
                CK(run_quiet("tc qdisc add dev lo root pfifo limit 0"));
                rh::run_for(300);
                CK(out.count == 0 && t->total_out == 0 && t->errctx.n_out_dropped == 0);
                CK(rta_no_space(t->stg.dgram) && !t->reader.is_active && t->writer.is_active);
                CK(t->state.num == ST_RLY && !t->errstr);
                CK(log.text().find("ERROR(105)") != std::string::npos);

                CK(run_quiet("tc qdisc del dev lo root"));
                CK(rh::run_until([&] { return out.count == want.size(); }, 5000));
                rh::run_for(20);
                CK(out.take() == want);
                CK(t->total_out == t->total_in && t->errctx.n_out_dropped == 0);
                return rh::verdict();
            },
            30000));
    }
}

TEST(dgpath, multicast_destinations_get_whole_datagrams_in_order_with_the_task_ttl)
{
    // IPv4 groups leave through lo, IPv6 groups through a veth end of their
    // own.  The task's TTL option is the socket's TTL (IPv4) or hop limit
    // (IPv6) and the one the datagrams carry; without it IPv4 keeps 1.
    struct mc_case {
        const char *group;
        int ttl;
    };
    for (const mc_case c : {mc_case{"239.2.2.2", 3}, mc_case{"ff15::2:2", 9},
                            mc_case{"239.2.2.3", 0}}) {
        SCOPED_TRACE(c.group);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [c] {
                const bool v6 = strchr(c.group, ':') != nullptr;
                if (v6 && !add_ipv6_mcast_ifc("mc6")) return CHILD_SKIP;
                const char *ifc = v6 ? "mc6" : "lo";
                LogCapture log;
                // IPv6 groups go out through the configured interface.
                rh::relay_env env([&] {
                    if (v6) snprintf(g_cfg.mifc_out, sizeof g_cfg.mifc_out, "%s", ifc);
                });
                rh::collector out(nullptr, 0, mcast_group_rx(c.group, 6400, ifc));
                Fd probe(mcast_group_rx(c.group, 6400, ifc));
                const task_options opt{c.ttl, 0, 0};
                const std::string grp = v6 ? "[" + std::string(c.group) + "]" : c.group;
                rtask *t = rh::mk_task("udp://127.0.0.1:5400", "udp://" + grp + ":6400", nullptr,
                                       &opt);
                CK(env.ok && t && out.fd >= 0 && probe.fd >= 0);
                if (!t) return rh::verdict();
                CK(t->out_uc.sspec.multicast &&
                   t->out_uc.sspec.family == (v6 ? AF_INET6 : AF_INET));
                const int want = c.ttl > 0 ? c.ttl : 1;
                int ttl = -1;
                socklen_t len = sizeof ttl;
                CK((v6 ? getsockopt(t->outfd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, &len)
                       : getsockopt(t->outfd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len)) == 0);
                CK(ttl == want);
                if (c.ttl)
                    CK(log.text().find(std::string(v6 ? "IPv6" : "IP") + " mcast fd=" +
                                       std::to_string(t->outfd) + ", op=" +
                                       (v6 ? "MULTICAST_HOPS(" : "MULTICAST_TTL(") +
                                       std::to_string(c.ttl) + "): OK") != std::string::npos);
                constexpr uint32_t N = 600;
                {
                    auto s = paced_sender("127.0.0.1", 5400, N, out);
                    CK(rh::run_until([&] { return out.count == N; }, 20000));
                }
                rh::run_for(30);
                CK(all_in_order(out, N));
                std::string first;
                CK(recv_with_ttl(probe.fd, &first, 1000) == want);
                CK(first == rh::mk_dgram(len_of(0), 0));
                CK(t->errctx.n_out_dropped == 0 && t->total_out == t->total_in &&
                   t->state.num == ST_RLY);
                return rh::verdict();
            },
            30000));
    }
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
            // The active source's datagram goes out with its read: no
            // writer is armed for it.
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(!t->writer.is_active && rta_no_pending_data(t->stg.dgram) && t->total_out == 900);
            // A standby read that finds nothing arms no writer either.
            CK(on_task_read(-1, 0, &t->altin.reader, nullptr) == 0);
            CK(!t->writer.is_active);
            // The standby fills up and is still read, keeping its newest;
            // its reads never send, they arm the writer that empties it.
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
            CK(t->writer.is_active && t->total_out == 900);
            // Writes empty the standby's storage max_pkts at a time; the
            // writer goes with the last.
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

namespace {

// The stored datagrams of ds, oldest first.
std::vector<std::string> stored(pkt_storage *ds)
{
    std::vector<std::string> v;
    const ssize_t busy = rr_slots_busy(&ds->rr);
    for (ssize_t i = 0, s = rr_next_busy(&ds->rr); i < busy; ++i, s = (s + 1) % ssize_t(ds->count))
        v.emplace_back(reinterpret_cast<const char *>(ds->pkt[s].data), ds->pkt[s].len);
    return v;
}

// Datagram i of a test stream: every 13th is empty and 9 are larger than
// the task's 1500-byte buffer; neither kind is relayed.
size_t gappy_len(uint32_t i)
{
    if (i % 211 == 7 && i < 211 * 9) return 2000;
    if (i % 13 == 5) return 0;
    return 1 + (size_t(i) * 389) % 1500;
}
bool is_kept(uint32_t i) { return gappy_len(i) > 0 && gappy_len(i) <= 1500; }

}  // namespace

TEST(dgpath, each_event_moves_at_most_max_pkts_and_closes_gaps_in_a_batch)
{
    // 1 (a call per datagram), 5, 64 (one full call) and 100 (two calls an
    // event).  A burst waits in the socket before the first read, with
    // datagrams not to keep (empty, oversize) inside the first batch.
    for (const int m : {1, 5, 64, 100}) {
        EXPECT_CHILD_OK(rh::in_netns_for(
            [m] {
                rh::relay_env env([m] { g_cfg.max_pkts = m; });
                rh::collector out("127.0.0.1", 6300);
                const task_options opt{0, 0, 1500};
                rtask *t = rh::mk_task("udp://127.0.0.1:5300", "udp://127.0.0.1:6300",
                                       nullptr, &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                const uint32_t n = uint32_t(3 * m + 9);
                rh::udp_tx tx("127.0.0.1", 5300);
                std::vector<std::string> want;
                for (uint32_t i = 0; i < n; ++i) {
                    const std::string d = rh::mk_dgram(gappy_len(i), i);
                    tx.send(d);
                    if (is_kept(i)) want.push_back(d);
                }
                // Kept datagrams among the first `to` sent and their bytes.
                auto kept_to = [](uint32_t to, size_t *bytes) {
                    size_t k = 0;
                    for (uint32_t i = 0; i < to; ++i)
                        if (is_kept(i)) ++k, *bytes += gappy_len(i);
                    return k;
                };
                // The first event takes exactly m datagrams off the socket
                // and, as nothing waits before them, sends them at once.  The
                // task is stamped as made now: sending the burst may take a
                // busy machine longer than the gap that reads as a source
                // down and back (which would clear the packet counts).
                rqs_update_clock();
                reset_task_timestamps(t);
                CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
                size_t bytes1 = 0;
                const size_t kept1 = kept_to(uint32_t(m), &bytes1);
                CK(t->total_in == bytes1 && t->total_out == bytes1);
                CK(rta_no_pending_data(t->stg.dgram) && !t->writer.is_active);
                CK(t->pks.ntrunc == (m > 7 ? 1 : 0));
                // (Waited for outside the loop, which would read the rest.)
                for (int w = 0; w < 5000 && out.count < kept1; ++w)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                CK(out.count == kept1);
                // While the writer is armed (as after a send that met
                // EAGAIN), reads only store: two events take 2m more, the
                // gaps of the batches closed, after nothing older.
                CK(rta_ensure_writes(t) == 0);
                CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
                CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
                size_t bytes3 = 0;
                const size_t kept3 = kept_to(uint32_t(3 * m), &bytes3);
                const auto held = stored(t->stg.dgram);
                CK(held.size() == kept3 - kept1 &&
                   std::equal(held.begin(), held.end(), want.begin() + ssize_t(kept1)));
                CK(t->total_in == bytes3 && t->total_out == bytes1);
                // A write event sends at most m, oldest first.
                CK(t->writer.is_active && on_task_write(-1, 0, &t->writer, nullptr) == 0);
                CK(rr_slots_busy(&t->stg.dgram->rr) ==
                   ssize_t(held.size() - std::min(held.size(), size_t(m))));
                CK(rh::run_until([&] { return out.count == want.size(); }, 5000));
                CK(out.take() == want);
                CK(!t->writer.is_active && t->total_out == t->total_in);
                return rh::verdict();
            },
            30000));
    }
}

TEST(dgpath, blocked_destination_and_gaps_keep_every_datagram_once_in_order)
{
    // The far end of a datagram pair is read in bursts: sendmmsg stops
    // part-way through batches, and what did not go out goes with the next.
    for (const int m : {1, 64}) {
        EXPECT_CHILD_OK(rh::in_netns_for(
            [m] {
                LogCapture log;
                rh::relay_env env([m] { g_cfg.max_pkts = m; });
                const task_options opt{0, 0, 1500};
                rtask *t = rh::mk_task("udp://127.0.0.1:5310", "udp://127.0.0.1:6310",
                                       nullptr, &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                rh::collector out(nullptr, 0, rh::pair_dest(t));
                // Past the ninth oversize datagram (1695), with room for
                // many hold cycles; on a busy machine a cycle's turns take
                // several times their 10 ms, hence the 45 s bound.
                constexpr uint32_t N = 2000;
                std::vector<std::string> want;
                size_t sum = 0;
                for (uint32_t i = 0; i < N; ++i) {
                    if (!is_kept(i)) continue;
                    want.push_back(rh::mk_dgram(gappy_len(i), i));
                    sum += gappy_len(i);
                }
                int turn = 0;
                bool held = false;
                rh::g_on_turn = [&] { out.hold = (++turn / 4) % 2, held |= out.hold; };
                {
                    auto tx = paced_sender("127.0.0.1", 5310, N, out, gappy_len, 400);
                    CK(rh::run_until([&] { return out.count >= want.size(); }, 45000));
                }
                rh::g_on_turn = nullptr;
                out.hold = false;
                rh::run_for(30);
                CK(held && out.take() == want);
                CK(t->total_in == sum && t->total_out == sum);
                CK(t->state.num == ST_RLY && !t->writer.is_active && t->reader.is_active);
                const std::string text = log.text();
                CK(rh::count_of(text, "datagram TRUNCATED to 1500 bytes") == 9);
                // A busy machine can leave MAX_RGAP_MS between two reads:
                // the source then counts as back online, which clears the
                // packet statistics, so they cover what came after that.
                const size_t back = text.rfind("BACK ONLINE");
                const std::string since = back == std::string::npos ? text : text.substr(back);
                const ssize_t cut = ssize_t(rh::count_of(since, "datagram TRUNCATED to 1500 bytes"));
                CK(t->pks.ntrunc == cut);
                CK(cut > 0 ? t->pks.max_ipktlen == 2000 : t->pks.max_ipktlen <= 1500);
                CK(back == std::string::npos ? t->pks.max_opktlen == 1500
                                             : t->pks.max_opktlen <= 1500);
                return rh::verdict();
            },
            55000));
    }
}

TEST(dgpath, full_standby_batches_keep_their_newest_datagrams_whole)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            rh::relay_env env([] { g_cfg.max_pkts = 64; });
            const task_options opt{0, 0, 1500};
            rtask *t = rh::mk_task("udp://127.0.0.1:5320", "udp://127.0.0.1:6320",
                                   "udp://127.0.0.1:5321", &opt);
            CK(env.ok && t);
            if (!t) return rh::verdict();
            CK(t->altin.dgram->count == 256);
            rh::udp_tx alt("127.0.0.1", 5321);
            std::vector<std::string> kept;
            uint32_t seq = 0;
            auto burst = [&](uint32_t n, std::initializer_list<size_t> lens) {
                for (size_t len : lens) alt.send(rh::mk_dgram(len, seq++, 'A'));
                for (uint32_t i = 0; i < n; ++i) {
                    const std::string d = rh::mk_dgram(100 + seq % 1300, seq, 'A');
                    ++seq;
                    alt.send(d);
                    kept.push_back(d);
                }
                // Every datagram is off the socket after ceil(n / 64) reads.
                for (uint32_t r = 0; r < (n + lens.size() + 63) / 64; ++r)
                    CK(on_task_read(-1, 0, &t->altin.reader, nullptr) == 0);
            };
            burst(300, {});
            auto s = stored(t->altin.dgram);
            // The read that finds the socket empty still gives up the oldest.
            CK(s.size() == 255 && std::equal(s.begin(), s.end(), kept.end() - 255));
            // A full standby batch with datagrams not to keep up front: the
            // storage holds a run of the newest ones, whole and in order (the
            // old ones that such a batch wrote over go as well).
            burst(62, {2000, 0});
            s = stored(t->altin.dgram);
            CK(s.size() >= 253 && std::equal(s.begin(), s.end(), kept.end() - ssize_t(s.size())));
            burst(100, {0, 0, 2000});
            s = stored(t->altin.dgram);
            CK(s.size() >= 252 && std::equal(s.begin(), s.end(), kept.end() - ssize_t(s.size())));
            CK(t->pks.ntrunc == 2 && !t->altin.is_active && t->state.num == ST_RLY);
            return rh::verdict();
        },
        30000));
}

TEST(dgpath, runs_of_equal_datagrams_arrive_whole_also_where_the_route_refuses_runs)
{
    // Bursts of mixed sizes (runs of 1316 bytes closed by a shorter one,
    // pairs of 4000 bytes, lone ones) and of one size, cut into runs of at
    // most 64 datagrams and 65507 bytes: 49 x 1316, 16 x 4000, 60 x 188.
    // Loopback's MTU of 1300 refuses runs: the task then sends one by one
    // (fragmented, whole at the receiver).  Datagram tasks send runs with
    // use_mmsg and without (the default): the refusal shows they tried.
    struct tcase {
        int mtu;
        bool mmsg;
    };
    for (const tcase c : {tcase{65536, true}, tcase{1300, true}, tcase{65536, false}, tcase{1300, false}}) {
        SCOPED_TRACE(testing::Message() << "mtu " << c.mtu << (c.mmsg ? " use_mmsg" : ""));
        const int mtu = c.mtu;
        EXPECT_CHILD_OK(rh::in_netns_for(
            [mtu, c] {
                CK(run_quiet("ip link set lo mtu " + std::to_string(mtu)));
                rh::relay_env env([c] { g_cfg.max_pkts = 64, g_cfg.use_mmsg = c.mmsg; });
                const bool v6 = have_ipv6_loopback();
                rh::collector out(v6 ? "::1" : "127.0.0.1", 6330);
                rtask *t = rh::mk_task("udp://127.0.0.1:5330",
                                       v6 ? "udp://[::1]:6330" : "udp://127.0.0.1:6330");
                CK(env.ok && t);
                if (!t) return rh::verdict();
                constexpr size_t kLens[] = {1316, 1316, 1316, 1316, 700, 4000, 4000, 188,
                                            1316, 1316, 188,  188,  188, 5000, 1316};
                rh::udp_tx tx("127.0.0.1", 5330);
                std::vector<std::string> want;
                for (uint32_t burst = 0; burst < 40; ++burst) {
                    for (uint32_t i = 0; i < 60; ++i) {
                        const uint32_t seq = burst * 60 + i;
                        const size_t one[] = {kLens[seq % std::size(kLens)], 1316, 188, 4000};
                        want.push_back(rh::mk_dgram(one[burst % 4], seq));
                        tx.send(want.back());
                    }
                    CK(rh::run_until([&] { return out.count == want.size(); }, 5000));
                }
                rh::run_for(20);
                CK(out.take() == want);
                CK(t->errctx.gso_refused == (mtu < 1400) && t->errctx.n_out_dropped == 0);
                CK(t->total_out == t->total_in && t->pks.max_opktlen == 5000);
                return rh::verdict();
            },
            60000));
    }
}

TEST(dgpath, steady_stream_goes_out_with_its_reads_and_never_arms_the_writer)
{
    // A destination that always takes the datagrams: each read event sends
    // what it read at once (write-through), in order, and the writer is
    // never registered, at the default max_pkts and at 64.  Such datagrams
    // pass through the loop's receive area and leave the task's slots
    // untouched (never paged in); traced ones go through the slots, whose
    // numbers the trace lines give.
    struct tcase {
        int max_pkts;
        bool track;
    };
    for (const tcase c : {tcase{DFLT_MAX_PKTS, false}, tcase{64, false}, tcase{64, true}}) {
        SCOPED_TRACE(testing::Message() << c.max_pkts << (c.track ? " traced" : ""));
        EXPECT_CHILD_OK(rh::in_netns_for(
            [c] {
                LogCapture log;
                rh::relay_env env([c] { g_cfg.max_pkts = c.max_pkts, g_cfg.must_track_io = c.track; });
                rh::collector out("127.0.0.1", 6340);
                rtask *t = rh::mk_task("udp://127.0.0.1:5340", "udp://127.0.0.1:6340");
                CK(env.ok && t);
                if (!t) return rh::verdict();
                constexpr uint32_t N = 3000;
                int turns = 0, armed = 0;
                rh::g_on_turn = [&] { ++turns, armed += t->writer.is_active; };
                {
                    auto tx = paced_sender("127.0.0.1", 5340, N, out, len_of, 256);
                    CK(rh::run_until([&] { return out.count == N; }, 30000));
                }
                rh::g_on_turn = nullptr;
                CK(all_in_order(out, N));
                CK(turns > 0 && armed == 0);
                CK(t->total_out == t->total_in && rta_no_pending_data(t->stg.dgram));
                const pkt_storage *ds = t->stg.dgram;
                size_t written = 0;
                for (size_t i = 0; i < ds->count; ++i)
                    written += std::count_if(ds->pkt[i].data, ds->pkt[i].data + PKT_LEN,
                                             [](uint8_t b) { return b != 0; });
                CK(c.track ? written > 0 : written == 0);
                CK((rh::count_of(log.text(), "#TRK-IN/PRI pkt[0]") > 0) == c.track);
                return rh::verdict();
            },
            60000));
    }
}

TEST(dgpath, a_short_batch_ends_the_read_and_later_datagrams_come_with_the_next_event)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { g_cfg.max_pkts = 64; });
            rh::collector out("127.0.0.1", 6350);
            rtask *t = rh::mk_task("udp://127.0.0.1:5350", "udp://127.0.0.1:6350");
            CK(env.ok && t);
            if (!t) return rh::verdict();
            rh::udp_tx tx("127.0.0.1", 5350);
            uint32_t seq = 0;
            uint64_t bytes = 0;
            auto send = [&](uint32_t n) {
                for (uint32_t i = 0; i < n; ++i, ++seq) {
                    tx.send(rh::mk_dgram(len_of(seq), seq));
                    bytes += len_of(seq);
                }
            };
            const auto eagain_lines = [&] { return rh::count_of(log.text(), "ERROR(11)"); };
            // Two datagrams, fewer than asked for: stored and sent, and the
            // read ends there.
            send(2);
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(t->total_in == bytes && t->total_out == bytes && t->reader.is_active);
            // What comes later is offered again to the level-triggered
            // reader and read by the next event.
            send(3);
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(t->total_in == bytes && t->total_out == bytes);
            // With "TVL_ERR_EAGAIN" on (read again 10 ms on), the receive
            // that finds the queue empty is made and logged, once an event.
            const auto later = [] {
                std::this_thread::sleep_for(std::chrono::milliseconds(FLAG_REREAD_MS + 1));
                rqs_update_clock();
            };
            setenv("TVL_ERR_EAGAIN", "1", 1);
            later();
            send(1);
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(eagain_lines() == 1 && t->total_out == bytes);
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(eagain_lines() == 2);
            unsetenv("TVL_ERR_EAGAIN");
            later();
            send(2);
            CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
            CK(eagain_lines() == 2 && t->total_out == bytes);
            // The loop takes the rest; every datagram once, in order.
            send(40);
            CK(rh::run_until([&] { return out.count == seq; }, 5000));
            rh::run_for(20);
            CK(all_in_order(out, seq));
            CK(t->total_in == bytes && t->total_out == bytes && !t->writer.is_active);
            return rh::verdict();
        },
        30000));
}
