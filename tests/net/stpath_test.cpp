// The stream path on real sockets in a private namespace:
//
//   HTTP server (test) 127.0.0.1:81xx --TCP--> [relay task, byte ring] --> 127.0.0.1:71xx
//
// The server answers the task's GET with a transport stream of 188- or
// 204-byte packets, junk before the first sync byte, the head and the body
// in separate writes or together, a first piece too short to probe; the
// destination gets whole-packet datagrams of the right size, aligned and
// not, with sendmmsg and without, byte for byte the stream.  A server that
// stops, answers 404 or sends text uses up the task's revivals; a
// destination that blocks gets every byte once, partial batches included.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "relay_harness.h"
#include "stpath.h"
#include "support.h"

namespace {

struct stream_case {
    size_t plen;
    char dalign;
    bool mmsg;
    size_t junk;      // bytes before the first sync byte
    size_t first;     // body bytes written with the head (in the same write)
    size_t second;    // then one piece of this many bytes (too short to probe)
    int pieces;       // then the rest in this many pieces
    int pause_ms;
};

constexpr stream_case kCases[] = {
    {188, 'a', true, 50, 0, 100, 3, 20},   {188, 'a', false, 50, 0, 100, 3, 20},
    {188, 'x', true, 0, 300, 0, 2, 20},    {188, 'x', false, 0, 300, 0, 2, 20},
    {204, 'a', true, 77, 150, 60, 4, 20},  {204, 'a', false, 77, 150, 60, 4, 20},
    {204, 'x', true, 13, 0, 0, 60, 25},    {204, 'x', false, 13, 0, 0, 60, 25},
};

// The relayed bytes of one case, or empty when a check failed.
std::string run_case(const stream_case &c, int n)
{
    const int port = 8100 + n, dport = 7100 + n;
    const size_t dlen = 1316 / c.plen * c.plen;
    // Aligned output sends a datagram only once more than 1315 bytes of
    // whole packets wait: the stream's last datagram of 204-byte packets
    // waits for data that never comes.
    const size_t per = 1316 / c.plen, npkts = per * 150;
    const bool held = c.dalign == 'a' && per * c.plen < 1316;
    const std::string all = rh::ts_packets(c.plen, held ? npkts + per : npkts, uint32_t(n / 2) * 1000);
    const std::string ts = all.substr(0, npkts * c.plen);
    const std::string body = std::string(c.junk, 'j') + all;
    rh::http_script sc;
    sc.pieces.push_back(rh::OK_HEAD + body.substr(0, c.first));
    size_t off = c.first;
    if (c.second) sc.pieces.push_back(body.substr(off, c.second)), off += c.second;
    const size_t step = (body.size() - off + size_t(c.pieces) - 1) / size_t(c.pieces);
    for (; off < body.size(); off += step) sc.pieces.push_back(body.substr(off, step));
    sc.pause_ms = c.pause_ms;

    LogCapture log;
    // The slowest case trickles for over a second: reads and writes keep a
    // task with an idle time-out of 500 ms alive.
    rh::relay_env env([&] {
        g_cfg.use_mmsg = c.mmsg;
        g_cfg.task_tmout_ms = 500;
    });
    CK(env.ok);
    rh::http_server srv(port, {sc});
    rh::collector out("127.0.0.1", dport);
    const task_options opt{0, c.dalign, 1316};
    const std::string src = "http://127.0.0.1:" + std::to_string(port) + "/live/stream.ts";
    const std::string dst = "udp://127.0.0.1:" + std::to_string(dport);
    CK(add_task(-1, src.c_str(), dst.c_str(), nullptr, nullptr, &opt) == 0);
    rtask *t = rh::find_task(src.c_str(), dst.c_str());
    CK(t != nullptr);
    if (!t) return {};
    CK(t->format == RTA_HTTP && t->state.num == ST_HSW);
    CK(rh::run_until([&] { return out.bytes == ts.size(); }, 10000));
    rh::run_for(30);

    const auto got = out.take();
    for (const auto &d : got) {
        CK(d.size() % c.plen == 0 && d.size() <= dlen && uint8_t(d[0]) == 0x47);
        if (c.dalign == 'a') CK(d.size() == dlen);
    }
    const auto heads = srv.heads();
    CK(heads.size() == 1 && heads[0].rfind("GET /live/stream.ts HTTP/1.0\r\n", 0) == 0);
    CK(t->state.num == ST_RLY && t->hshk_fd == -1 && t->infd >= 0);
    CK(t->pks.max_opktlen == ssize_t(dlen));
    CK(t->total_in == body.size() && t->total_out == ts.size());
    CK(mmr_pld_size(t->stg.stream) == all.size() - ts.size());
    const std::string text = log.text();
    CK(text.find("TS pkt_len=" + std::to_string(c.plen)) != std::string::npos);
    // A tail that shows a packet length is cut at the sync byte; a shorter
    // one goes whole into the ring, which finds the start later.
    if (c.first > c.junk + c.plen)
        CK(text.find("TS/pkt_len=" + std::to_string(c.plen) + " at offset=" +
                     std::to_string(c.junk)) != std::string::npos);
    else if (c.junk)
        CK(text.find("UNALIGNED data: TS starts at byte " + std::to_string(c.junk)) !=
           std::string::npos);
    CK(text.find("timed out") == std::string::npos);
    CK(text.find("SUSPENDED") == std::string::npos);
    CK(drop_task(t, -1) == 0);
    CK(rh::run_until([&] { return srv.peer_closed == 1; }, 2000));
    CK(task_count() == 0);
    if (rh::g_failures) fprintf(stderr, "%s\n", log.text().substr(0, 6000).c_str());
    return out.joined() == ts ? out.joined() : std::string();
}

}  // namespace

TEST(stpath, ts_over_http_arrives_as_whole_packet_datagrams)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            std::string relayed[std::size(kCases)];
            for (size_t i = 0; i < std::size(kCases); ++i) {
                relayed[i] = run_case(kCases[i], int(i));
                CK(!relayed[i].empty());
                if (rh::g_failures) {
                    fprintf(stderr, "case %zu failed\n", i);
                    break;
                }
            }
            // With and without sendmmsg the same bytes go out.
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
            CK(env.ok);
            const std::string ts = rh::ts_packets(188, 700);
            std::string text_body = "<html><body>";
            while (text_body.size() < 2000) text_body += "No stream here, try later. ";
            rh::http_script stops{{rh::OK_HEAD, ts, ""}, 200, true};
            rh::http_script not_found{{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"}, 0,
                                      true};
            rh::http_script text{{std::string("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n") +
                                  text_body}};
            rh::http_server srv(8200, {stops, not_found, text});
            rh::collector out("127.0.0.1", 7200);
            const task_options opt{0, 'x', 1316};
            CK(add_task(-1, "http://127.0.0.1:8200/ch1", "udp://127.0.0.1:7200", nullptr, nullptr,
                        &opt) == 0);
            rtask *t = rh::find_task("http://127.0.0.1:8200/ch1", "udp://127.0.0.1:7200");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            struct seen {
                int retry;
                int err;
                std::string errstr;
            };
            std::vector<seen> suspensions;
            bool was_sus = false;
            rh::g_on_turn = [&] {
                if (task_count() == 0) return;
                const bool sus = t->state.num == ST_SUS;
                if (sus && !was_sus)
                    suspensions.push_back({t->retry_count, t->err, t->errstr ? t->errstr : ""});
                was_sus = sus;
            };
            CK(rh::run_until([&] { return task_count() == 0; }, 8000));
            rh::g_on_turn = nullptr;

            CK(out.joined() == ts);
            CK(srv.connections == 3);
            CK(suspensions.size() == 2);
            if (suspensions.size() == 2) {
                CK(suspensions[0].retry == 1 && suspensions[0].err == ECONNABORTED &&
                   suspensions[0].errstr == "connection lost");
                CK(suspensions[1].retry == 2);
            }
            const std::string lg = log.text();
            CK(lg.find("ZERO-READ (n=0)") != std::string::npos);
            CK(rh::count_of(lg, "will be suspended") == 2);
            CK(lg.find("suspended for 0.0500 sec") != std::string::npos);
            CK(lg.find("got HTTP 404") != std::string::npos);
            CK(lg.find("on_task_read: ERROR(13)") != std::string::npos);
            CK(lg.find("suspended for 1.0000 sec") != std::string::npos);
            CK(lg.find("No TS datagram") != std::string::npos);
            CK(lg.find("will be removed") != std::string::npos);
            CK(lg.find("Task [H0001]: ENDED") != std::string::npos);
            return rh::verdict();
        },
        30000));
}

TEST(stpath, blocked_destination_gets_every_byte_once)
{
    // Both senders stop short when the far end of a datagram pair is not
    // read: they report what went out, and only that is consumed.
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            rh::relay_env env;
            CK(env.ok);
            int sp[2];
            CK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sp) == 0);
            const int small = 4096;
            setsockopt(sp[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            const std::string dgram(1316, 'd');
            iovec iov[6];
            for (auto &v : iov) v = {const_cast<char *>(dgram.data()), dgram.size()};
            for (const bool mmsg : {true, false}) {
                g_cfg.use_mmsg = mmsg;
                size_t total = 0;
                const ssize_t n = Send_multi(sp[0], iov, 6, nullptr, 0, &total);
                CK(n >= 1 && n < 6 && total == size_t(n) * 1316);
                total = 99;
                CK(Send_multi(sp[0], iov, 6, nullptr, 0, &total) == -1 && errno == EAGAIN);
                CK(total == 0);
                CK(Send_iov(sp[0], iov, 1, nullptr, 0, &total) == -1 && errno == EAGAIN);
                char buf[2000];
                while (recv(sp[1], buf, sizeof buf, MSG_DONTWAIT) > 0) {
                }
            }
            close(sp[0]);
            close(sp[1]);
            return rh::verdict();
        },
        10000));

    for (const bool mmsg : {true, false}) {
        EXPECT_CHILD_OK(rh::in_netns_for(
            [mmsg] {
                LogCapture log;
                rh::relay_env env([&] { g_cfg.use_mmsg = mmsg; g_cfg.max_pkts = 16; });
                CK(env.ok);
                const std::string ts = rh::ts_packets(188, 7 * 300);
                rh::http_server srv(8300, {rh::http_script{{rh::OK_HEAD, ts}}});
                const task_options opt{0, 'a', 1316};
                CK(add_task(-1, "http://127.0.0.1:8300/", "udp://127.0.0.1:7300", nullptr, nullptr,
                            &opt) == 0);
                rtask *t = rh::find_task("http://127.0.0.1:8300/", "udp://127.0.0.1:7300");
                CK(t != nullptr);
                if (!t) return rh::verdict();
                int sp[2];
                CK(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sp) == 0);
                const int small = 4096;
                setsockopt(sp[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
                close(t->outfd);
                t->outfd = sp[0];
                t->out_uc.sspec.addr_len = 0;  // the pair is connected

                // The far end is read in short bursts with pauses, so that
                // the pair keeps filling up under the task.
                std::mutex mu;
                std::string got;
                std::atomic<size_t> nbytes{0};
                {
                    std::jthread rd([&](std::stop_token st) {
                        char buf[2000];
                        while (!st.stop_requested()) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(3));
                            for (int k = 0; k < 3; ++k) {
                                const ssize_t n = recv(sp[1], buf, sizeof buf, MSG_DONTWAIT);
                                if (n <= 0) break;
                                std::lock_guard<std::mutex> g(mu);
                                got.append(buf, size_t(n));
                                nbytes += size_t(n);
                            }
                        }
                    });
                    CK(rh::run_until([&] { return nbytes == ts.size(); }, 20000));
                }
                CK(got == ts);
                CK(t->state.num == ST_RLY && t->total_out == ts.size());
                // Nothing more comes: a read event that finds nothing is
                // no lost connection.
                CK(on_task_read(-1, 0, &t->reader, nullptr) == 0);
                CK(!t->is_quitting && !t->must_suspend && g_app.pprm_tasks.len == 0);
                CK(t->errstr == nullptr && t->reader.is_active);
                const std::string lg = log.text();
                CK(lg.find("cannot connect") == std::string::npos);
                CK(lg.find("ZERO-READ") == std::string::npos);
                CK(lg.find("SUSPENDED") == std::string::npos);
                close(sp[1]);
                return rh::verdict();
            },
            30000));
    }
}
