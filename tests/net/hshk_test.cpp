// Handshakes, keep-alive links and the event handlers on real sockets in a
// private namespace:
//
//   remote daemon (test) :840x <--TCP keep-alive request-- [chained task] --> 127.0.0.1:7400
//      \--UDP 5.6 MB--> 127.0.0.1:5400 (receive address) --^
//   clients --TCP--> links of tasks; agent --UDP--> :5700; clients --TCP--> listener :8600
#include <gtest/gtest.h>

#include <memory>

#include "dchain.h"
#include "relay_harness.h"
#include "support.h"

namespace {

// A connected TCP pair on loopback: {client, accepted (non-blocking)}.
std::pair<int, int> tcp_pair(int port)
{
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_storage ss = rh::mk_addr("127.0.0.1", port);
    bind(l, reinterpret_cast<const sockaddr *>(&ss), rh::addr_len(ss));
    listen(l, 1);
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(c, reinterpret_cast<const sockaddr *>(&ss), rh::addr_len(ss));
    const int s = accept4(l, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    close(l);
    return {c, s};
}

void reset_close(int fd)
{
    const linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

constexpr char KA_OK[] = "HTTP/1.1 200 OK\r\nServer: tvl\r\n\r\n";

}  // namespace

TEST(hshk, chained_task_keeps_its_handshake_connection_while_it_relays)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            TempDir dir;
            rh::relay_env env;
            write_file(dir.file("routes"), "239.9.9.9:5000 127.0.0.1:8400 - 127.0.0.1:5400\n"
                                           "239.9.9.8:5000 127.0.0.1:8401 - 127.0.0.1:5401\n"
                                           "239.9.9.7:5000 127.0.0.1:8402 - 127.0.0.1:5402\n");
            CK(env.ok && rrt_file_load(dir.file("routes").c_str(), &g_app.route_ht) == 0);
            auto remote = std::make_unique<rh::http_server>(
                8400, std::vector<rh::http_script>{{{KA_OK}}});
            rh::collector out("127.0.0.1", 7400);
            rtask *t = rh::mk_task("udp://239.9.9.9:5000", "udp://127.0.0.1:7400");
            CK(t && t->format == RTA_DCH && t->state.num == ST_HSW);
            if (!t) return rh::verdict();
            CK(rh::run_until([&] { return t->state.num == ST_RLY; }, 3000));
            int ka = 0;
            socklen_t len = sizeof ka;
            getsockopt(t->hshk_fd, SOL_SOCKET, SO_KEEPALIVE, &ka, &len);
            CK(t->is_dchained && t->hsr.is_active && !t->hsw.is_active && ka == 1);
            CK(remote->heads().size() == 1 &&
               remote->heads()[0].rfind(
                   "GET /src/239.9.9.9:5000/dst/127.0.0.1:5400/keep-alive HTTP/1.1\r\n", 0) == 0);
            const int hfd = t->hshk_fd;

            // The remote daemon relays 5.6 MB to the receive address; the
            // connection stays open and watched all along.
            constexpr uint32_t N = 4000;
            {
                std::jthread tx([&](std::stop_token st) {
                    rh::udp_tx s("127.0.0.1", 5400);
                    for (uint32_t i = 0; i < N && !st.stop_requested(); ++i) {
                        while (i > out.count + 64 && !st.stop_requested())
                            std::this_thread::sleep_for(std::chrono::microseconds(200));
                        s.send(rh::mk_dgram(1400, i, 'R'));
                    }
                });
                CK(rh::run_until([&] { return out.count == N; }, 30000));
            }
            const auto got = out.take();
            bool same = got.size() == N;
            for (uint32_t i = 0; same && i < N; ++i) same = got[i] == rh::mk_dgram(1400, i, 'R');
            CK(same && t->local_in == uint64_t(N) * 1400 && t->local_in > 5 * 1048576);
            CK(t->hshk_fd == hfd && t->hsr.is_active && remote->peer_closed == 0);

            // Its end removes the task whatever the client count; so do a
            // byte or a reset on another chain's connection; none suspends.
            t->rcount = 2;
            remote.reset();
            rh::http_server chatty(8401, {{{KA_OK, "x"}, 300}});
            rh::http_server resets(8402, {{{KA_OK, ""}, 300, false, true}});
            CK(rh::mk_task("udp://239.9.9.8:5000", "udp://127.0.0.1:7401"));
            CK(rh::mk_task("udp://239.9.9.7:5000", "udp://127.0.0.1:7402"));
            CK(rh::run_until([&] { return task_count() == 0; }, 3000));
            const std::string text = log.text();
            for (const char *line : {"EOD on fd", "with 2 client(s) will be removed",
                                     "unexpectedly read 1 bytes from ka-fd",
                                     "keep-alive [D0003] HANG-UP/DISCONNECT", "Task [D0001]: ENDED",
                                     "Task [D0002]: ENDED", "Task [D0003]: ENDED"})
                CK(text.find(line) != std::string::npos);
            CK(text.find("SUSPENDED") == std::string::npos);
            rrt_free(g_app.route_ht);
            return rh::verdict();
        },
        60000));
}

TEST(handlers, keepalive_links_and_error_only_events)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env;
            // Client links end their tasks when closed, on a byte, on a reset.
            int client[3];
            for (int k = 0; k < 3; ++k) {
                const auto [c, s] = tcp_pair(8500 + k);
                client[k] = c;
                rtask *t = rh::mk_task("udp://127.0.0.1:" + std::to_string(5500 + k),
                                       "udp://127.0.0.1:7500", nullptr, nullptr, s);
                CK(t && t->kafd == s && t->kar.is_active);
                if (t) t->rcount = 3;
            }
            rh::run_for(50);
            CK(env.ok && task_count() == 3);
            close(client[0]);
            CK(send(client[1], "!", 1, 0) == 1);
            reset_close(client[2]);
            CK(rh::run_until([&] { return task_count() == 0; }, 3000));
            close(client[1]);
            std::string text = log.text();
            CK(rh::count_of(text, "with 3 client(s) will be removed") == 2);
            CK(text.find("keep-alive [U0003] HANG-UP/DISCONNECT") != std::string::npos);
            CK(text.find("SUSPENDED") == std::string::npos);

            // Error-only events name the registration's own descriptor: a
            // hang-up on the alternate suspends (inbound), on the
            // destination removes.
            rtask *t = rh::mk_task("udp://127.0.0.1:5600", "udp://127.0.0.1:7600",
                                   "udp://127.0.0.1:5601");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            CK(on_task_error(-1, RQS_SOCKHUP, &t->altin.reader, nullptr) == 0);
            CK(t->must_suspend && !t->is_quitting);
            CK(rh::run_until([&] { return t->state.num == ST_SUS; }, 1000));
            CK(rh::run_until([&] { return t->state.num == ST_RLY; }, 1000));
            CK(rta_ensure_writes(t) == 0);
            CK(on_task_error(-1, RQS_SOCKHUP, &t->writer, nullptr) == 0);
            CK(!t->must_suspend && t->is_quitting);
            CK(rh::run_until([&] { return task_count() == 0; }, 1000));
            text = log.text();
            CK(text.find("inbound [U0004] HANG-UP/DISCONNECT") != std::string::npos);
            CK(text.find("outbound [U0004] HANG-UP/DISCONNECT") != std::string::npos);
            return rh::verdict();
        },
        30000));
}

namespace {

int g_offered = 0;
void *refuse_rq(int, rui_socket_ctx *, void *) { return ++g_offered, nullptr; }
void rm_rq(void *) {}
bool tmout_rq(void *, size_t) { return false; }

}  // namespace

TEST(handlers, agent_messages_and_listener_accepts)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { g_cfg.rui.max_accept = 16; });
            // Eleven agent messages at once: 8 in one wake-up with a warning,
            // the rest in the next; line ends cut; a long one cut to 127 bytes.
            g_app.oxafd = rh::udp_bound("127.0.0.1", 5700);
            void *fd_data = reinterpret_cast<void *>(intptr_t(g_app.oxafd));
            g_app.oxa_opx = {{.num = OPX_TAG}, OP_OXA, fd_data, true};
            CK(env.ok && rqs_add_reader(g_app.oxafd, &g_app.oxa_opx) == 0);
            std::vector<std::string> want;
            rh::udp_tx agent("127.0.0.1", 5700);
            for (int k = 0; k < 10; ++k) {
                want.push_back("JOIN UDP://239.1.1." + std::to_string(k));
                agent.send(want.back() + (k % 2 ? "\r\n" : "\n"));
            }
            const std::string longm = "LEAVE UDP://" + std::string(200, 'g') + "\n";
            agent.send(longm);
            want.push_back(longm.substr(0, 127));
            CK(rh::run_until([&] { return rh::g_oxa_lines.size() == 11; }, 2000));
            CK(rh::g_oxa_lines == want);
            CK(rh::count_of(log.text(), "on_oxa_read: hit the limit of MAX=8 messages at a time, "
                                        "something wrong?") == 1);
            rqs_rm_fd(g_app.oxafd, true, false);

            // A listener offers every pending connection; once the process
            // is quitting its handler asks the loop to end.
            rui_socket_cb cb{{.num = mk_tag32("TRQ")}, refuse_rq, rm_rq, tmout_rq, nullptr};
            rui_set_cb(RUI_USER, &cb);
            listener_cfg lst[MAX_LISTENERS]{};
            lst[0].is_valid = true, lst[0].index = 1, lst[0].proto = CFG_PROTO_TCP;
            lst[0].pref_af = AF_INET;
            snprintf(lst[0].alias, sizeof lst[0].alias, "users");
            snprintf(lst[0].port, sizeof lst[0].port, "8600");
            rui_socket_ctx ls[MAX_LISTENERS]{};
            CK(rui_setup_listeners(RUI_USER, lst, ls) == 0 && rui_enable_listeners(ls) == 0);
            const sockaddr_storage ss = rh::mk_addr("127.0.0.1", 8600);
            int c[3];
            for (int &fd : c) {
                fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                CK(connect(fd, reinterpret_cast<const sockaddr *>(&ss), rh::addr_len(ss)) == 0);
            }
            CK(rh::run_until([] { return g_offered == 3; }, 2000));
            g_quit = 1;
            CK(on_srv_read(-1, 0, &ls[0], nullptr) == 1);
            g_quit = 0;
            CK(on_srv_read(-1, RQS_SOCKERR, &ls[0], nullptr) == 0);
            CK(log.text().find("on_srv_read: quitting with the app") != std::string::npos);
            CK(log.text().find("on_srv_read: [users] ERR/HUP") != std::string::npos);
            for (int fd : c) close(fd);
            drop_listener(&ls[0]);
            return rh::verdict();
        },
        30000));
}
