// The stream path on real sockets in a private namespace:
//
//   HTTP server (test) 127.0.0.1:81xx --TCP--> [relay task, byte ring] --> 127.0.0.1:71xx
//                                                                      \-> 239.3.3.3:7500 (lo),
//                                                   [ff15::3:3]:7500 (mc6 fd00:6::a <-veth-> mc6p)
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>

#include "mmr.h"
#include "relay_harness.h"
#include "support.h"

namespace {

struct stream_case {
    size_t plen;
    char dalign;
    bool mmsg;
    size_t junk;   // bytes before the first sync byte
    size_t first;  // body bytes written with the head
    size_t second; // then one chunk this short (too short to probe)
    int chunks;    // then the rest in this many chunks
    int pause_ms;
};

// Pairs differ only in sendmmsg; the last pair trickles for 1.5 s.
constexpr stream_case kCases[] = {
    {188, 'a', true, 50, 0, 100, 3, 20},  {188, 'a', false, 50, 0, 100, 3, 20},
    {188, 'x', true, 0, 300, 0, 2, 20},   {188, 'x', false, 0, 300, 0, 2, 20},
    {204, 'a', true, 77, 150, 60, 4, 20}, {204, 'a', false, 77, 150, 60, 4, 20},
    {204, 'x', true, 13, 0, 0, 60, 25},   {204, 'x', false, 13, 0, 0, 60, 25},
};

// The bytes case n relayed.
std::string run_case(const stream_case &c, int n)
{
    const int port = 8100 + n, dport = 7100 + n;
    const size_t per = 1316 / c.plen, dlen = per * c.plen, npkts = per * 150;
    // A packet leaves once the byte after it has come: the last one served
    // waits for more.  Aligned output cuts a datagram as soon as its
    // packets are whole, also where they fill less than 1316 bytes.
    const std::string all = rh::ts_packets(c.plen, npkts + 1, uint32_t(n / 2));
    const std::string ts = all.substr(0, npkts * c.plen);
    const std::string body = std::string(c.junk, 'j') + all;
    rh::http_script sc{{rh::OK_HEAD + body.substr(0, c.first)}, c.pause_ms};
    size_t off = c.first;
    if (c.second) sc.chunks.push_back(body.substr(off, c.second)), off += c.second;
    const size_t step = (body.size() - off) / size_t(c.chunks) + 1;
    for (; off < body.size(); off += step)
        sc.chunks.push_back(body.substr(off, step));

    LogCapture log;
    // Reads and writes keep a task with an idle time-out of 500 ms alive.
    rh::relay_env env([&] { g_cfg.use_mmsg = c.mmsg, g_cfg.task_tmout_ms = 500; });
    rh::http_server srv(port, {sc});
    rh::collector out("127.0.0.1", dport);
    const task_options opt{0, c.dalign, 1316};
    const std::string src = "http://127.0.0.1:" + std::to_string(port) + "/live/stream.ts";
    rtask *t = rh::mk_task(src, "udp://127.0.0.1:" + std::to_string(dport), nullptr, &opt);
    CK(env.ok && t && t->format == RTA_HTTP && t->state.num == ST_HSW);
    if (!t) return {};
    CK(rh::run_until([&] { return out.bytes == ts.size(); }, 10000));
    rh::run_for(30);
    for (const auto &d : out.take())
        CK(d.size() % c.plen == 0 && d.size() <= dlen && uint8_t(d[0]) == 0x47 &&
           (c.dalign != 'a' || d.size() == dlen));
    const auto heads = srv.heads();
    CK(heads.size() == 1 && heads[0].rfind("GET /live/stream.ts HTTP/1.0\r\n", 0) == 0);
    CK(t->state.num == ST_RLY && t->hshk_fd == -1 && t->pks.max_opktlen == ssize_t(dlen));
    CK(t->total_in == body.size() && t->total_out == ts.size());
    CK(mmr_pld_size(t->stg.stream) == all.size() - ts.size());
    const std::string text = log.text();
    // A tail that shows the packet length is cut at its sync byte; a shorter
    // one goes whole into the ring, which finds the start later.
    if (c.first > c.junk + c.plen)
        CK(text.find("TS/pkt_len=" + std::to_string(c.plen) + " at offset=" +
                     std::to_string(c.junk)) != std::string::npos);
    else if (c.junk)
        CK(text.find("TS starts at byte " + std::to_string(c.junk)) != std::string::npos);
    CK(text.find("timed out") == std::string::npos && text.find("SUSPENDED") == std::string::npos);
    CK(drop_task(t, -1) == 0);
    CK(rh::run_until([&] { return srv.peer_closed == 1 && task_count() == 0; }, 2000));
    return out.joined() == ts ? ts : std::string();
}

}  // namespace

TEST(stpath, ts_over_http_arrives_as_whole_packet_datagrams)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            std::string relayed[std::size(kCases)];
            for (size_t i = 0; i < std::size(kCases) && !rh::g_failures; ++i) {
                relayed[i] = run_case(kCases[i], int(i));
                CK(!relayed[i].empty());
                if (rh::g_failures) fprintf(stderr, "case %zu failed\n", i);
            }
            for (size_t i = 0; i + 1 < std::size(kCases); i += 2) CK(relayed[i] == relayed[i + 1]);
            return rh::verdict();
        },
        60000));
}

TEST(stpath, stopped_server_404_and_text_body_use_up_the_revivals)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            const std::string ts = rh::ts_packets(188, 700);
            std::string html = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>";
            while (html.size() < 2000) html += "No stream here. ";
            rh::http_server srv(8200, {{{rh::OK_HEAD, ts, ""}, 200, true},
                                       {{"HTTP/1.0 404 Not Found\r\n\r\n"}, 0, true},
                                       {{html}}});
            rh::collector out("127.0.0.1", 7200);
            const task_options opt{0, 'x', 1316};
            rtask *t =
                rh::mk_task("http://127.0.0.1:8200/ch1", "udp://127.0.0.1:7200", nullptr, &opt);
            CK(env.ok && t);
            if (!t) return rh::verdict();
            std::vector<std::pair<int, std::string>> suspensions;  // retry count, error
            rh::g_on_turn = [&] {
                if (task_count() && t->state.num == ST_SUS &&
                    suspensions.size() < size_t(t->retry_count))
                    suspensions.emplace_back(t->retry_count, t->errstr ? t->errstr : "");
            };
            CK(rh::run_until([&] { return task_count() == 0; }, 8000));
            CK(out.joined() == ts && srv.connections == 3);
            CK(suspensions.size() == 2);
            if (suspensions.size() == 2)
                CK(suspensions[0] == std::make_pair(1, std::string("connection lost")) &&
                   suspensions[1].first == 2);
            const std::string lg = log.text();
            for (const char *line : {"ZERO-READ (n=0)", "suspended for 0.0500 sec", "got HTTP 404",
                                     "on_task_read: ERROR(13)", "suspended for 1.0000 sec",
                                     "No TS datagram", "Task [H0001]: ENDED"})
                CK(lg.find(line) != std::string::npos);
            return rh::verdict();
        },
        30000));
}

TEST(stpath, blocked_destination_gets_every_byte_once)
{
    // The far end of a datagram pair is read in short bursts: sends block
    // and stop part-way through batches, and exactly what went out is
    // consumed, with sendmmsg and without.
    for (const bool mmsg : {true, false}) {
        EXPECT_CHILD_OK(rh::in_netns_for(
            [mmsg] {
                LogCapture log;
                rh::relay_env env([&] { g_cfg.use_mmsg = mmsg, g_cfg.max_pkts = 16; });
                const std::string ts = rh::ts_packets(188, 7 * 300);
                // The packet after the stream waits for what would follow it.
                const std::string next = rh::ts_packets(188, 1, 7 * 300);
                rh::http_server srv(8300, {rh::http_script{{rh::OK_HEAD, ts + next}}});
                const task_options opt{0, 'a', 1316};
                rtask *t =
                    rh::mk_task("http://127.0.0.1:8300/", "udp://127.0.0.1:7300", nullptr, &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                rh::collector out(nullptr, 0, rh::pair_dest(t));
                bool held = false;
                // Held every other three turns: a batch of 16 covers at
                // most 16 of the 300 datagrams, so holds always happen.
                int turn = 0;
                rh::g_on_turn = [&] { out.hold = (++turn / 3) % 2, held |= out.hold; };
                CK(rh::run_until([&] { return out.bytes == ts.size(); }, 20000));
                rh::g_on_turn = nullptr;
                rh::run_for(20);
                CK(held && out.joined() == ts && t->total_out == ts.size());
                // Runs of datagrams are cut by UDP only: a datagram pair gets
                // each datagram on its own.
                for (const auto &d : out.take()) CK(d.size() == 1316);
                // Nothing more comes: a wake-up that finds nothing to read is
                // no lost connection.
                CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
                CK(!t->is_quitting && !t->must_suspend && g_app.pprm_tasks.len == 0);
                CK(t->state.num == ST_RLY && !t->errstr && t->reader.is_active);
                for (const char *line : {"cannot connect", "ZERO-READ", "SUSPENDED"})
                    CK(log.text().find(line) == std::string::npos);
                return rh::verdict();
            },
            30000));
    }
}

// A destination slower than its origin fills the ring again and again: the
// reader's pause is logged once a second at most, with its count.
TEST(stpath, a_full_ring_is_logged_once_a_second_with_a_count)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([&] { g_cfg.max_pkts = 16; });
            const std::string ts = rh::ts_packets(188, 7 * 2000);
            const std::string next = rh::ts_packets(188, 1, 7 * 2000);
            rh::http_server srv(8310, {rh::http_script{{rh::OK_HEAD, ts + next}}});
            const task_options opt{0, 'a', 1316};
            rtask *t = rh::mk_task("http://127.0.0.1:8310/", "udp://127.0.0.1:7310", nullptr, &opt);
            CK(env.ok && t);
            if (!t) return rh::verdict();
            rh::collector out(nullptr, 0, rh::pair_dest(t));
            // Held for 300 ms, long enough to fill the ring, then taken a
            // datagram at a time, more slowly than the origin sends.
            const auto start = std::chrono::steady_clock::now();
            out.hold = true;
            rh::g_on_turn = [&] {
                if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300))
                    out.hold = false;
            };
            CK(rh::run_until([&] { return out.bytes == ts.size(); }, 20000));
            rh::g_on_turn = nullptr;
            const long secs = long(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
            CK(out.joined() == ts);
            const size_t lines = rh::count_of(log.text(), "no space to read into");
            CK(lines >= 1 && lines <= size_t(secs) + 1);
            CK(log.text().find("reading suspended (1 time(s) since the last line)") !=
               std::string::npos);
            return rh::verdict();
        },
        30000));
}

TEST(stpath, runs_go_out_as_whole_datagrams_also_where_the_path_mtu_refuses_them)
{
    // With loopback's MTU below a datagram plus headers the kernel refuses a
    // run of segments; the task sends datagram by datagram (fragmented on
    // the way, whole at the receiver), over IPv4 and IPv6.
    for (const int mtu : {65536, 1300}) {
        EXPECT_CHILD_OK(rh::in_netns_for(
            [mtu] {
                CK(run_quiet("ip link set lo mtu " + std::to_string(mtu)));
                rh::relay_env env([] { g_cfg.max_pkts = 64; });
                const bool v6 = have_ipv6_loopback();
                const std::string ts = rh::ts_packets(188, 7 * 500);
                const std::string next = rh::ts_packets(188, 1, 7 * 500);
                rh::http_server srv(8400, {rh::http_script{{rh::OK_HEAD, ts + next}}});
                rh::collector out(v6 ? "::1" : "127.0.0.1", 7400);
                const task_options opt{0, 'a', 1316};
                rtask *t = rh::mk_task("http://127.0.0.1:8400/",
                                       v6 ? "udp://[::1]:7400" : "udp://127.0.0.1:7400", nullptr,
                                       &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                CK(rh::run_until([&] { return out.bytes == ts.size(); }, 10000));
                rh::run_for(20);
                const auto got = out.take();
                CK(got.size() == 500 && out.joined() == ts);
                for (const auto &d : got) CK(d.size() == 1316);
                CK(t->errctx.gso_refused == (mtu < 1400) && t->state.num == ST_RLY);
                return rh::verdict();
            },
            30000));
    }
}

TEST(stpath, ts_over_http_reaches_multicast_groups_with_the_task_ttl)
{
    // The stream task's destination is a group: IPv4 through lo, IPv6
    // through a veth end of its own; a receiver joined to the group gets
    // every packet once, in order, with the task's TTL or hop limit.
    struct mc_case {
        const char *group;
        int ttl;
        bool mmsg;
    };
    for (const mc_case c : {mc_case{"239.3.3.3", 4, true}, mc_case{"ff15::3:3", 6, true},
                            mc_case{"ff15::3:4", 2, false}}) {
        SCOPED_TRACE(c.group);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [c] {
                const bool v6 = strchr(c.group, ':') != nullptr;
                if (v6 && !add_ipv6_mcast_ifc("mc6")) return CHILD_SKIP;
                const char *ifc = v6 ? "mc6" : "lo";
                LogCapture log;
                rh::relay_env env([&] {
                    g_cfg.use_mmsg = c.mmsg, g_cfg.max_pkts = 64;
                    // IPv6 groups go out through the configured interface.
                    if (v6) snprintf(g_cfg.mifc_out, sizeof g_cfg.mifc_out, "%s", ifc);
                });
                const std::string ts = rh::ts_packets(188, 7 * 400);
                const std::string next = rh::ts_packets(188, 1, 7 * 400);
                rh::http_server srv(8500, {rh::http_script{{rh::OK_HEAD, ts + next}}});
                rh::collector out(nullptr, 0, mcast_group_rx(c.group, 7500, ifc));
                Fd probe(mcast_group_rx(c.group, 7500, ifc));
                const task_options opt{c.ttl, 'a', 1316};
                const std::string grp = v6 ? "[" + std::string(c.group) + "]" : c.group;
                rtask *t = rh::mk_task("http://127.0.0.1:8500/mc", "udp://" + grp + ":7500",
                                       nullptr, &opt);
                CK(env.ok && t && out.fd >= 0 && probe.fd >= 0);
                if (!t) return rh::verdict();
                int ttl = -1;
                socklen_t len = sizeof ttl;
                CK((v6 ? getsockopt(t->outfd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, &len)
                       : getsockopt(t->outfd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len)) == 0);
                CK(ttl == c.ttl);
                CK(log.text().find(std::string(v6 ? "IPv6" : "IP") + " mcast fd=" +
                                   std::to_string(t->outfd) + ", op=" +
                                   (v6 ? "MULTICAST_HOPS(" : "MULTICAST_TTL(") +
                                   std::to_string(c.ttl) + "): OK") != std::string::npos);
                CK(rh::run_until([&] { return out.bytes == ts.size(); }, 10000));
                rh::run_for(20);
                const auto got = out.take();
                CK(got.size() == 400 && out.joined() == ts);
                for (const auto &d : got) CK(d.size() == 1316);
                std::string first;
                CK(recv_with_ttl(probe.fd, &first, 1000) == c.ttl && first == ts.substr(0, 1316));
                CK(t->state.num == ST_RLY && t->total_out == ts.size() && !t->errstr);
                return rh::verdict();
            },
            30000));
    }
}

TEST(stpath, no_buffer_space_keeps_the_data_until_the_route_takes_it)
{
    // A queue discipline on lo that takes nothing: with IP_RECVERR on the
    // destination socket the kernel reports ENOBUFS for every send.  The
    // stream stays in the ring and goes out once the queue is gone, every
    // byte once and in order, with sendmmsg (runs) and without.
    for (const bool mmsg : {true, false}) {
        SCOPED_TRACE(mmsg);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [mmsg] {
                LogCapture log;
                rh::relay_env env([&] { g_cfg.use_mmsg = mmsg, g_cfg.max_pkts = 16; });
                const std::string ts = rh::ts_packets(188, 7 * 300);
                const std::string next = rh::ts_packets(188, 1, 7 * 300);
                const size_t head = 7 * 188 * 10;
                // The first datagrams come at once, the rest 400 ms later.
                const std::string first = rh::OK_HEAD + ts.substr(0, head + 1);
                rh::http_server srv(8600,
                                    {rh::http_script{{first, ts.substr(head + 1) + next}, 400}});
                rh::collector out("127.0.0.1", 7600);
                const task_options opt{0, 'a', 1316};
                rtask *t =
                    rh::mk_task("http://127.0.0.1:8600/", "udp://127.0.0.1:7600", nullptr, &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                CK(rh::run_until([&] { return out.bytes == head; }, 5000));
                // The rest reaches the task's socket while the loop waits.
                int queued = 0;
                const size_t rest = ts.size() + next.size() - head - 1;
                for (int i = 0; i < 300 && size_t(queued) < rest; ++i) {
                    poll(nullptr, 0, 10);
                    ioctl(t->infd, FIONREAD, &queued);
                }
                CK(size_t(queued) == rest);
                const int on = 1;
                CK(setsockopt(t->outfd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) == 0);
                CK(run_quiet("tc qdisc add dev lo root pfifo limit 0"));
                const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                setsockopt(probe, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
                const sockaddr_storage to = rh::mk_addr("127.0.0.1", 7699);
                errno = 0;
                CK(sendto(probe, "x", 1, 0, reinterpret_cast<const sockaddr *>(&to),
                          rh::addr_len(to)) < 0 && errno == ENOBUFS);
                close(probe);
                rh::run_for(300);
                CK(out.bytes == head && t->total_out == head);
                CK(t->total_in > head && mmr_pld_size(t->stg.stream) > 0);
                CK(t->state.num == ST_RLY && !t->errstr && !t->must_suspend && !t->is_quitting);
                CK(t->writer.is_active && g_app.pprm_tasks.len == 0);

                CK(run_quiet("tc qdisc del dev lo root"));
                CK(rh::run_until([&] { return out.bytes == ts.size(); }, 10000));
                rh::run_for(20);
                CK(out.joined() == ts && t->total_out == ts.size() && t->retry_count == 0);
                for (const char *line : {"mismatch", "ERROR(105)", "SUSPENDED", "cannot connect"})
                    CK(log.text().find(line) == std::string::npos);
                return rh::verdict();
            },
            30000));
    }
}

namespace {

// The number rh::ts_packets gives a packet.
uint32_t ts_number(const char *p)
{
    return uint32_t(uint8_t(p[1]) & 0x1f) << 16 | uint32_t(uint8_t(p[2])) << 8 | uint8_t(p[3]);
}

std::string junk_with(size_t n, std::initializer_list<size_t> syncs)
{
    std::string j(n, '\x5a');
    for (size_t i = 0; i < n; ++i) j[i] = char(0x50 + i % 16);
    for (size_t at : syncs) j[at] = 0x47;
    return j;
}

}  // namespace

TEST(stpath, junk_in_the_served_stream_never_leaves_in_a_datagram)
{
    // The origin serves numbered packets with junk holding sync bytes: before
    // the first packet, between two packets, and inside packet 950.  Every
    // datagram is made of whole served packets, in order; a break costs at
    // most the packet in front of it.
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { g_cfg.max_pkts = 16; });
            const auto pk = [](uint32_t a, uint32_t b) { return rh::ts_packets(188, b - a, a); };
            const std::string p950 = pk(950, 951);
            const rh::http_script sc{
                {rh::OK_HEAD + junk_with(30, {4, 17}) + pk(0, 300),
                 pk(300, 600) + junk_with(40, {10}) + pk(600, 900),
                 pk(900, 950) + p950.substr(0, 60) + junk_with(30, {5}) + p950.substr(60) +
                     pk(951, 1200),
                 pk(1200, 1500)},
                30};
            size_t body = 0;
            for (const auto &c : sc.chunks) body += c.size();
            body -= strlen(rh::OK_HEAD);
            rh::http_server srv(8700, {sc});
            rh::collector out("127.0.0.1", 7700);
            const task_options opt{0, 'x', 1316};
            rtask *t = rh::mk_task("http://127.0.0.1:8700/", "udp://127.0.0.1:7700", nullptr, &opt);
            CK(env.ok && t);
            if (!t) return rh::verdict();
            CK(rh::run_until([&] { return mmr_pld_size(t->stg.stream) == 188 && out.count > 0 &&
                                          t->total_in == body; },
                             10000));
            rh::run_for(50);
            std::vector<uint32_t> got;
            for (const auto &d : out.take()) {
                CK(d.size() % 188 == 0 && d.size() <= 1316);
                for (size_t at = 0; at + 188 <= d.size(); at += 188) {
                    const uint32_t n = ts_number(&d[at]);
                    CK(n < 1500 && d.compare(at, 188, pk(n, n + 1)) == 0);
                    CK(got.empty() || n > got.back());
                    got.push_back(n);
                }
            }
            std::vector<uint32_t> lost;
            for (uint32_t i = 0, k = 0; i < 1500; ++i)
                if (k < got.size() && got[k] == i)
                    ++k;
                else
                    lost.push_back(i);
            // 599 may have been cut by the junk behind it, 950 was cut; the
            // last waits for what would follow it.
            CK(lost == (std::vector<uint32_t>{599, 950, 1499}));
            CK(t->state.num == ST_RLY && task_count() == 1 && srv.connections == 1);
            CK(log.text().find("not a TS stream") == std::string::npos);
            return rh::verdict();
        },
        30000));
}

TEST(stpath, refused_destination_drops_datagrams_and_keeps_the_one_source_connection)
{
    // The origin streams for 4 s.  While the route refuses the destination
    // every datagram is dropped and counted, the task keeps relaying from
    // its one connection, and the error is logged at most once a second
    // with the drops since the last line; once the address appears the
    // datagrams pass, and the drops not yet reported get their line.
    for (const rh::refusal &c : rh::kRefusals) {
        SCOPED_TRACE(c.why);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [&c] {
                LogCapture log;
                rh::relay_env env([] { g_cfg.max_pkts = 16; });
                if (c.setup) CK(run_quiet(c.setup));
                rh::http_script sc{{rh::OK_HEAD}, 50};
                for (uint32_t i = 0; i < 80; ++i)
                    sc.chunks.push_back(rh::ts_packets(188, 7 * 10, i * 70));
                rh::http_server srv(8800, {sc});
                const task_options opt{0, 'a', 1316};
                const std::string dst = "udp://" + std::string(c.host) + ":7800";
                rtask *t = rh::mk_task("http://127.0.0.1:8800/", dst, nullptr, &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                rh::run_for(2500);
                CK(srv.connections == 1 && task_count() == 1 && t->state.num == ST_RLY);
                CK(!t->errstr && t->retry_count == 0 && t->total_out == 0);
                const uint64_t dropped = t->errctx.n_out_dropped;
                CK(dropped >= 200 && dropped * 1316 <= t->total_in);
                std::string text = log.text();
                const std::string line =
                    "stream_write: [PRI] sendto(fd" + std::to_string(t->outfd) + ",...) ERROR(" +
                    std::to_string(c.err) + "): ";
                const size_t lines = rh::count_of(text, line);
                if (c.err == ENETUNREACH)
                    CK(lines == 1 && rh::count_of(text, "network is down") == 1);
                else
                    CK(lines >= 2 && lines <= 4);
                CK(rh::count_of(text, "sendto(") == lines && rh::dropped_in_lines(text) <= dropped);
                for (const char *no : {"cannot connect", "SUSPENDED", "mismatch", "sendmmsg()"})
                    CK(text.find(no) == std::string::npos);

                if (!c.recover) return rh::verdict();

                // The address appears: the rest of the stream passes.
                CK(run_quiet(c.recover));
                rh::collector out(c.host, 7800);
                CK(rh::run_until([&] { return out.count >= 20; }, 3000));
                CK(rh::run_until([&] { return rh::count_of(log.text(), "sends pass again") == 1; },
                                 2000));
                for (const auto &d : out.take()) CK(d.size() == 1316 && d[0] == 0x47);
                text = log.text();
                CK(rh::dropped_in_lines(text) == t->errctx.n_out_dropped);
                CK(rh::count_of(text, "network is up") == (c.err == ENETUNREACH ? 1u : 0u));
                CK(srv.connections == 1 && t->state.num == ST_RLY && t->total_out > 0);
                return rh::verdict();
            },
            30000));
    }
}

TEST(stpath, an_origin_that_keeps_ending_uses_up_the_revivals_unless_it_stays_up)
{
    // A revival earns the revivals back only once the task has sent output
    // and stayed online for src_avail_tmout_ms (1 s): an origin that serves
    // a few bytes, or a whole file at once, and closes is fetched
    // max_retries (3) times and the task removed; one that streams for
    // longer before each close keeps its task.
    struct ending {
        const char *why;
        rh::http_script script;
        bool removed;
    };
    const std::string file = rh::ts_packets(188, 7 * 300);
    rh::http_script live{{rh::OK_HEAD}, 100, true};
    for (uint32_t i = 0; i < 13; ++i) live.chunks.push_back(rh::ts_packets(188, 7 * 4, i * 28));
    const ending cases[] = {
        {"a few bytes", {{rh::OK_HEAD, rh::ts_packets(188, 1).substr(0, 100)}, 100, true}, true},
        {"a few bytes, reset",
         {{rh::OK_HEAD, rh::ts_packets(188, 1).substr(0, 100)}, 100, false, true}, true},
        {"a file", {{rh::OK_HEAD + file}, 0, true}, true},
        {"1.3 s of stream", live, false},
    };
    for (const ending &c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_CHILD_OK(rh::in_netns_for(
            [&c] {
                LogCapture log;
                rh::relay_env env;
                rh::http_server srv(8900, {c.script});
                rh::collector out("127.0.0.1", 7900);
                const task_options opt{0, 'x', 1316};
                rtask *t =
                    rh::mk_task("http://127.0.0.1:8900/f.ts", "udp://127.0.0.1:7900", nullptr, &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                if (c.removed) {
                    CK(rh::run_until([&] { return task_count() == 0; }, 5000));
                    rh::run_for(200);
                    CK(srv.connections == 3);
                    CK(rh::count_of(log.text(), "SUSPENDED") == 2 &&
                       rh::count_of(log.text(), "]: ENDED") == 1);
                } else {
                    CK(rh::run_until([&] { return srv.connections == 4; }, 8000));
                    CK(task_count() == 1 && rh::count_of(log.text(), "SUSPENDED") == 3);
                    CK(t->retry_count == 1 && out.count > 0);
                }
                return rh::verdict();
            },
            30000));
    }
}

TEST(stpath, whole_packets_leave_at_once_whatever_the_batch)
{
    // The origin writes npkts whole packets and 100 bytes of the next in
    // one write, then stalls.  Every packet whose next byte has come leaves
    // within a second, however max_pkts cuts the batches; aligned output
    // sends each datagram as soon as its packets are whole.
    struct whole_case {
        char dalign;
        size_t opkt;
        int max_pkts;
        size_t npkts, sent;  // packets served whole; packets that leave
    };
    const whole_case cases[] = {
        {'x', 1316, 1, 8, 8},   {'x', 1316, 4, 29, 29}, {'x', 5000, 1, 27, 27},
        {'x', 1316, 4, 30, 30}, {'a', 1500, 1, 7, 7},   {'a', 1500, 4, 7, 7},
        {'a', 1500, 1, 15, 14}, {'a', 5000, 1, 26, 26}, {'a', 1316, 2, 20, 14},
    };
    int n = 0;
    for (const whole_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.dalign << c.opkt << "/" << c.max_pkts << "/"
                                        << c.npkts);
        const int port = 8950 + n, dport = 7950 + n;
        ++n;
        EXPECT_CHILD_OK(rh::in_netns_for(
            [&] {
                rh::relay_env env([&] { g_cfg.max_pkts = c.max_pkts; });
                const std::string all = rh::ts_packets(188, c.npkts + 1);
                const std::string ts = all.substr(0, c.npkts * 188);
                // The head alone first, so that the body comes in one read.
                const std::string body = ts + all.substr(ts.size(), 100);
                rh::http_server srv(port, {rh::http_script{{rh::OK_HEAD, body}, 100}});
                rh::collector out("127.0.0.1", dport);
                const task_options opt{0, c.dalign, c.opkt};
                rtask *t = rh::mk_task("http://127.0.0.1:" + std::to_string(port) + "/",
                                       "udp://127.0.0.1:" + std::to_string(dport), nullptr, &opt);
                CK(env.ok && t);
                if (!t) return rh::verdict();
                CK(rh::run_until([&] { return t->total_in == ts.size() + 100; }, 5000));
                CK(rh::run_until([&] { return out.bytes == c.sent * 188; }, 1000));
                rh::run_for(50);
                CK(out.joined() == ts.substr(0, c.sent * 188));
                const size_t dlen = c.opkt / 188 * 188;
                for (const auto &d : out.take())
                    CK(d.size() <= dlen && (c.dalign != 'a' || d.size() == dlen));
                CK(t->state.num == ST_RLY && !t->errstr);
                return rh::verdict();
            },
            20000));
    }
}
