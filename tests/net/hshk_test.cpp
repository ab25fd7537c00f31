// Handshakes, keep-alive links and the event handlers on real sockets in a
// private namespace:
//
//   remote daemon (test) 127.0.0.1:8400 <--TCP keep-alive request-- [chained task]
//        \--UDP 5.6 MB--> 127.0.0.1:5400 (receive address) --> [chained task] --> 127.0.0.1:7400
//   client (test) --TCP--> kept by a task as its keep-alive link
//   agent (test) --UDP--> 127.0.0.1:5700 (agent socket);  clients --TCP--> listener :8600
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>

#include "dchain.h"
#include "relay_harness.h"
#include "support.h"

namespace {

// A connected TCP pair on loopback: {client, accepted}.
std::pair<int, int> tcp_pair(int port)
{
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
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
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

int sockopt_int(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(fd, level, name, &v, &len);
    return v;
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
            CK(env.ok);
            write_file(dir.file("routes"), "239.9.9.9:5000 127.0.0.1:8400 - 127.0.0.1:5400\n"
                                           "239.9.9.8:5000 127.0.0.1:8401 - 127.0.0.1:5401\n"
                                           "239.9.9.7:5000 127.0.0.1:8402 - 127.0.0.1:5402\n");
            CK(rrt_file_load(dir.file("routes").c_str(), &g_app.route_ht) == 0);

            // The remote daemon answers 200 and relays 5.6 MB to the receive
            // address; the chain holds while its connection stays open.
            auto remote = std::make_unique<rh::http_server>(
                8400, std::vector<rh::http_script>{rh::http_script{{KA_OK}}});
            rh::collector out("127.0.0.1", 7400);
            CK(add_task(-1, "udp://239.9.9.9:5000", "udp://127.0.0.1:7400", nullptr, nullptr,
                        nullptr) == 0);
            rtask *t = rh::find_task("udp://239.9.9.9:5000", "udp://127.0.0.1:7400");
            CK(t != nullptr);
            if (!t) return rh::verdict();
            CK(t->format == RTA_DCH && t->state.num == ST_HSW);
            CK(rh::run_until([&] { return t->state.num == ST_RLY; }, 3000));
            CK(t->is_dchained && t->hshk_fd >= 0 && t->hsr.is_active && !t->hsw.is_active);
            CK(sockopt_int(t->hshk_fd, SOL_SOCKET, SO_KEEPALIVE) == 1);
            const auto heads = remote->heads();
            CK(heads.size() == 1 &&
               heads[0].rfind("GET /src/239.9.9.9:5000/dst/127.0.0.1:5400/keep-alive HTTP/1.1\r\n",
                              0) == 0);
            const int hfd = t->hshk_fd;

            constexpr uint32_t N = 4000;
            {
                std::jthread tx([&](std::stop_token st) {
                    rh::udp_tx s("127.0.0.1", 5400);
                    for (uint32_t i = 0; i < N && !st.stop_requested(); ++i) {
                        while (i > out.count.load() + 64 && !st.stop_requested())
                            std::this_thread::sleep_for(std::chrono::microseconds(200));
                        s.send(rh::mk_dgram(1400, i, 'R'));
                    }
                });
                CK(rh::run_until([&] { return out.count == N; }, 30000));
            }
            const auto got = out.take();
            bool same = got.size() == N;
            for (uint32_t i = 0; same && i < N; ++i) same = got[i] == rh::mk_dgram(1400, i, 'R');
            CK(same);
            CK(t->local_in == uint64_t(N) * 1400 && t->local_in > 5 * 1048576);
            CK(t->hshk_fd == hfd && t->hsr.is_active && remote->peer_closed == 0);

            // The remote daemon ends the relay: its connection closes and
            // the chained task goes, whatever its client count.
            t->rcount = 2;
            remote.reset();
            CK(rh::run_until([&] { return task_count() == 0; }, 3000));
            std::string text = log.text();
            CK(text.find("read_keepalive: EOD on fd" + std::to_string(hfd)) != std::string::npos);
            CK(text.find("with 2 client(s) will be removed") != std::string::npos);
            CK(text.find("Task [D0001]: ENDED") != std::string::npos);

            // A byte, or a reset, on the connection of a relaying chain
            // ends it too; neither suspends it.
            rh::http_server chatty(8401, {rh::http_script{{KA_OK, "x"}, 300}});
            rh::http_server resets(8402, {rh::http_script{{KA_OK, ""}, 300, false, true}});
            CK(add_task(-1, "udp://239.9.9.8:5000", "udp://127.0.0.1:7401", nullptr, nullptr,
                        nullptr) == 0);
            CK(add_task(-1, "udp://239.9.9.7:5000", "udp://127.0.0.1:7402", nullptr, nullptr,
                        nullptr) == 0);
            CK(rh::run_until([&] { return task_count() == 0; }, 3000));
            text = log.text();
            CK(text.find("unexpectedly read 1 bytes from ka-fd") != std::string::npos);
            CK(text.find("keep-alive [D0003] HANG-UP/DISCONNECT") != std::string::npos);
            CK(text.find("Task [D0002]: ENDED") != std::string::npos);
            CK(text.find("Task [D0003]: ENDED") != std::string::npos);
            CK(text.find("SUSPENDED") == std::string::npos);
            rrt_free(g_app.route_ht);
            g_app.route_ht = 0;
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
            CK(env.ok);
            // Each client link ends its task: closed, a byte, a reset.
            enum { CLOSE, BYTE, RESET };
            int client[3];
            for (int k = CLOSE; k <= RESET; ++k) {
                auto [c, s] = tcp_pair(8500 + k);
                client[k] = c;
                const std::string src = "udp://127.0.0.1:" + std::to_string(5500 + k);
                CK(add_task(s, src.c_str(), "udp://127.0.0.1:7500", nullptr, nullptr, nullptr) == 0);
                rtask *t = rh::find_task(src.c_str(), "udp://127.0.0.1:7500");
                CK(t && t->kafd == s && t->kar.is_active);
                if (t) t->rcount = 3;
            }
            rh::run_for(50);
            CK(task_count() == 3);
            close(client[CLOSE]);
            CK(send(client[BYTE], "!", 1, 0) == 1);
            reset_close(client[RESET]);
            CK(rh::run_until([&] { return task_count() == 0; }, 3000));
            close(client[BYTE]);
            std::string text = log.text();
            CK(text.find("read_keepalive: EOD on fd") != std::string::npos);
            CK(text.find("unexpectedly read 1 bytes from ka-fd") != std::string::npos);
            CK(text.find("keep-alive [U0003] HANG-UP/DISCONNECT") != std::string::npos);
            CK(rh::count_of(text, "with 3 client(s) will be removed") == 2);
            CK(text.find("SUSPENDED") == std::string::npos);

            // Error-only events name the registration's own descriptor: a
            // hang-up on the alternate source suspends (inbound), one on the
            // destination removes.
            log.clear();
            CK(add_task(-1, "udp://127.0.0.1:5600", "udp://127.0.0.1:7600",
                        "udp://127.0.0.1:5601", nullptr, nullptr) == 0);
            rtask *t = rh::find_task("udp://127.0.0.1:5600", "udp://127.0.0.1:7600",
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
            CK(text.find("err_task_socket: inbound [U0004]") != std::string::npos);
            CK(text.find("inbound [U0004] HANG-UP/DISCONNECT") != std::string::npos);
            CK(text.find("will be suspended") != std::string::npos);
            CK(text.find("outbound [U0004] HANG-UP/DISCONNECT") != std::string::npos);
            CK(text.find("Task [U0004]: ENDED") != std::string::npos);
            return rh::verdict();
        },
        30000));
}

namespace {

int g_offered = 0;
void *refuse_rq(int, rui_socket_ctx *, void *)
{
    ++g_offered;
    return nullptr;
}
void rm_rq(void *) {}
bool tmout_rq(void *, size_t) { return false; }

}  // namespace

TEST(handlers, agent_messages_and_listener_accepts)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { g_cfg.rui.max_accept = 16; });
            CK(env.ok);

            // Eleven agent messages at once: 8 in one wake-up with a
            // warning, the rest in the next; line ends cut; a long one
            // cut to 127 bytes.
            g_app.oxafd = rh::udp_bound("127.0.0.1", 5700);
            g_app.oxa_opx.tag.num = OPX_TAG;
            g_app.oxa_opx.op = OP_OXA;
            g_app.oxa_opx.data = reinterpret_cast<void *>(intptr_t(g_app.oxafd));
            CK(rqs_add_reader(g_app.oxafd, &g_app.oxa_opx) == 0);
            g_app.oxa_opx.is_active = true;
            std::vector<std::string> want;
            {
                rh::udp_tx agent("127.0.0.1", 5700);
                for (int k = 0; k < 10; ++k) {
                    const std::string m = "JOIN UDP://239.1.1." + std::to_string(k);
                    CK(agent.send(m + (k % 2 ? "\r\n" : "\n")));
                    want.push_back(m);
                }
                const std::string longm = "LEAVE UDP://" + std::string(200, 'g') + "\n";
                CK(agent.send(longm));
                want.push_back(longm.substr(0, 127));
            }
            rh::g_oxa_lines.clear();
            CK(rh::run_until([&] { return rh::g_oxa_lines.size() == 11; }, 2000));
            CK(rh::g_oxa_lines == want);
            CK(rh::count_of(log.text(),
                            "on_oxa_read: hit the limit of MAX=8 messages at a time, something "
                            "wrong?") == 1);
            rqs_rm_fd(g_app.oxafd, true, false);
            close(g_app.oxafd);
            g_app.oxafd = -1;

            // A listener: every pending connection is offered; once the
            // process is quitting the handler asks the loop to end.
            rui_socket_cb cb{{.num = mk_tag32("TRQ")}, refuse_rq, rm_rq, tmout_rq};
            rui_set_cb(RUI_USER, &cb);
            listener_cfg lst[MAX_LISTENERS]{};
            lst[0].is_valid = true;
            lst[0].index = 1;
            lst[0].proto = CFG_PROTO_TCP;
            lst[0].pref_af = AF_INET;
            snprintf(lst[0].alias, sizeof lst[0].alias, "users");
            snprintf(lst[0].port, sizeof lst[0].port, "8600");
            rui_socket_ctx ls[MAX_LISTENERS]{};
            CK(rui_setup_listeners(RUI_USER, lst, ls) == 0);
            CK(rui_enable_listeners(ls) == 0);
            int c[3];
            const sockaddr_storage ss = rh::mk_addr("127.0.0.1", 8600);
            for (int &fd : c) {
                fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                CK(connect(fd, reinterpret_cast<const sockaddr *>(&ss), rh::addr_len(ss)) == 0);
            }
            CK(rh::run_until([] { return g_offered == 3; }, 2000));
            g_quit = 1;
            CK(on_srv_read(-1, 0, &ls[0], nullptr) == 1);
            g_quit = 0;
            CK(on_srv_read(-1, RQS_SOCKERR, &ls[0], nullptr) == 0);
            const std::string text = log.text();
            CK(text.find("on_srv_read: quitting with the app") != std::string::npos);
            CK(text.find("on_srv_read: [users] ERR/HUP") != std::string::npos);
            for (int fd : c) close(fd);
            drop_listener(&ls[0]);
            return rh::verdict();
        },
        30000));
}
