// The event handlers on the ends of connections, on real sockets in a
// private namespace: the handshake connection of a chained task failing
// before it relays, and the ways a client's link ends, both the link a
// task was created with and the link of a client that joined the task
// through the listener.
//
//   remote daemon (test) 127.0.0.1:870x <--TCP handshake-- [chained task]
//   client --TCP--> listener :8800 --joins--> [task 127.0.0.1:58xx -> 127.0.0.1:78xx]
#include <gtest/gtest.h>
#include <netinet/in.h>

#include "dchain.h"
#include "dlep.h"
#include "loopcb.h"
#include "relay_harness.h"
#include "rq.h"
#include "rui.h"
#include "support.h"

namespace {

void reset_close(int fd)
{
    const linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

// Waits at most 2 s until fd reports a pending error (a reset arrived).
bool error_pending(int fd)
{
    pollfd p{fd, 0, 0};
    for (int i = 0; i < 200; ++i) {
        if (poll(&p, 1, 10) == 1 && (p.revents & POLLERR)) return true;
    }
    return false;
}

int listening(int port)
{
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_storage ss = rh::mk_addr("127.0.0.1", port);
    bind(l, reinterpret_cast<const sockaddr *>(&ss), rh::addr_len(ss));
    listen(l, 4);
    return l;
}

// Accepts one connection within 2 s and reads its request head; the
// connection or -1.
int accept_head(int l, std::string *head)
{
    pollfd p{l, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return -1;
    const int c = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    char buf[1024];
    pollfd q{c, POLLIN, 0};
    while (head->find("\r\n\r\n") == std::string::npos && poll(&q, 1, 2000) == 1) {
        const ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        head->append(buf, size_t(n));
    }
    return c;
}

constexpr char KA_OK[] = "HTTP/1.1 200 OK\r\nServer: tvl\r\n\r\n";

// The label of the n-th task without a client id.
std::string uid(int n)
{
    char b[16];
    snprintf(b, sizeof b, "U%04d", n);
    return b;
}

}  // namespace

TEST(handlers, handshake_connection_failing_before_relaying_is_the_inbound_side)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            TempDir dir;
            rh::relay_env env([] { g_cfg.max_retries = 3; });
            write_file(dir.file("routes"), "239.9.9.9:5000 127.0.0.1:8700 - 127.0.0.1:5700\n"
                                           "239.9.9.8:5000 127.0.0.1:8701 - 127.0.0.1:5701\n");
            CK(env.ok && rrt_file_load(dir.file("routes").c_str(), &g_app.route_ht) == 0);
            const int l = listening(8700);
            rtask *t = rh::mk_task("udp://239.9.9.9:5000", "udp://127.0.0.1:7700");
            CK(t && t->format == RTA_DCH && t->state.num == ST_HSW);
            if (!t) return rh::verdict();

            // The request has gone out; the remote daemon resets the
            // connection before answering.  An error-only event names the
            // handshake descriptor: its error is read and the task is
            // suspended as a failing source (the destination has no error).
            CK(rh::run_until([&] { return t->state.num == ST_HSR; }, 3000));
            std::string head;
            const int c = accept_head(l, &head);
            CK(c >= 0 &&
               head.rfind("GET /src/239.9.9.9:5000/dst/127.0.0.1:5700/keep-alive", 0) == 0);
            reset_close(c);
            CK(error_pending(t->hshk_fd));
            CK(on_task_error(-1, RQS_SOCKERR | RQS_SOCKHUP, &t->hsr, nullptr) == 0);
            CK(t->must_suspend && !t->is_quitting && t->retry_count == 1);
            std::string text = log.text();
            CK(text.find("err_task_socket: inbound [D0001] socket ERROR(104): Connection reset by "
                         "peer") != std::string::npos);
            CK(text.find("err_task_socket: inbound [D0001] HANG-UP/DISCONNECT") !=
               std::string::npos);
            CK(text.find(") will be suspended") != std::string::npos);
            // The end of the turn carries it out (the reset's read event
            // never comes: the descriptor is gone).
            pprm_task_cleanup();
            CK(t->state.num == ST_SUS && t->retry_count == 1);
            CK(t->hshk_fd == -1 && !t->hsr.is_active);

            // Revived, it connects again.  An error bit alone queues
            // nothing; a hang-up while the request waits to go out
            // suspends again, and once the revivals are used up removes.
            CK(rh::run_until([&] { return t->state.num == ST_HSW; }, 2500));
            CK(t->hsw.is_active && t->hshk_fd >= 0);
            CK(on_task_error(-1, RQS_SOCKERR, &t->hsw, nullptr) == 0);
            CK(!t->must_suspend && !t->is_quitting && g_app.pprm_tasks.len == 0);
            CK(on_task_error(-1, RQS_SOCKHUP, &t->hsw, nullptr) == 0);
            CK(t->must_suspend && t->retry_count == 2);
            pprm_task_cleanup();
            CK(t->state.num == ST_SUS && t->hshk_fd == -1);
            CK(rh::run_until([&] { return t->state.num == ST_HSW; }, 4000));
            CK(on_task_error(-1, RQS_SOCKHUP, &t->hsw, nullptr) == 0);
            CK(!t->must_suspend && t->is_quitting);
            CK(rh::run_until([&] { return task_count() == 0; }, 1000));
            text = log.text();
            CK(rh::count_of(text, "err_task_socket: inbound [D0001] HANG-UP/DISCONNECT") == 3);
            CK(text.find("outbound [D0001]") == std::string::npos);
            CK(text.find("Task [D0001]: ENDED") != std::string::npos);
            close(l);

            // Through the loop: a reset during the handshake is a read event
            // with error bits on the handshake descriptor: suspended, then
            // revived, the second connection is answered and the task relays.
            rh::http_server remote(8701, {{{}, 0, false, true}, {{KA_OK}}});
            rtask *u = rh::mk_task("udp://239.9.9.8:5000", "udp://127.0.0.1:7701");
            CK(u != nullptr);
            if (!u) return rh::verdict();
            std::string why;
            rh::g_on_turn = [&] {
                if (task_count() && u->state.num == ST_SUS && why.empty())
                    why = u->errstr ? u->errstr : "-";
            };
            CK(rh::run_until([&] { return u->state.num == ST_RLY; }, 4000));
            rh::g_on_turn = nullptr;
            CK(why == "HUP" && remote.connections == 2 && u->hsr.is_active);
            CK(log.text().find("on_task_read: [D0002] ERR/HUP") != std::string::npos);
            rrt_free(g_app.route_ht);
            return rh::verdict();
        },
        30000));
}

namespace {

// The daemon's own dispatch (tasks, listeners, requests) and post-
// processing, with short waits and the harness's end condition.
const rqs_config k_daemon_loop = {
    {[](timespec *t) {
         upd_tmout(t);
         if (t->tv_sec != 0 || t->tv_nsec > 10000000) ms2timespec(10, t);
     },
     [] {
         do_idle_tasks();
         return (rh::g_until && rh::g_until()) || rh::now_ms() >= rh::g_deadline_ms ? 1 : 0;
     },
     on_read, on_write, on_error,
     [] {
         on_pp();
         if (rh::g_on_turn) rh::g_on_turn();
         return 0;
     },
     nullptr, nullptr, nullptr},
    0};

void *new_rq(int fd, rui_socket_ctx *srv, void *aux) { return urq_new(fd, srv, aux); }

// A client's request on the listener at :8800; its connection (the answer
// read) or -1.
int request(const std::string &path, std::string *answer)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_storage ss = rh::mk_addr("127.0.0.1", 8800);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&ss), rh::addr_len(ss)) != 0) return -1;
    const std::string rq = "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n";
    send(fd, rq.data(), rq.size(), MSG_NOSIGNAL);
    char buf[512];
    rh::run_until(
        [&] {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 0) != 1) return false;
            const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) answer->append(buf, size_t(n));
            return n <= 0 || answer->find("\r\n\r\n") != std::string::npos;
        },
        3000);
    return fd;
}

// The link to t, or null.
tvl_urq *link_of(const rtask *t)
{
    for (auto *d = static_cast<dlep_hdr *>(dlep_tail(g_app.rui.user[0].links)); d; d = d->next) {
        auto *rq = reinterpret_cast<tvl_urq *>(d);
        if (rq->state.num == ST_LNK && rq->lnk_idx == t->idx) return rq;
    }
    return nullptr;
}

// True when the peer of fd has closed within 2 s.
bool closed_soon(int fd)
{
    return rh::run_until(
        [&] {
            pollfd p{fd, POLLIN, 0};
            char b;
            return poll(&p, 1, 0) == 1 && recv(fd, &b, 1, MSG_DONTWAIT) <= 0;
        },
        2000);
}

enum link_end { END_EOF, END_BYTE, END_RESET, END_RESET_READ, END_HUP, END_ERR };

struct link_case {
    const char *name;
    link_end how;
};

// Ways a link ends: through the loop (close, byte, reset), a read event
// that meets the reset only in its recv, and events without readiness
// (hang-up; error after a reset).
constexpr link_case kLinkEnds[] = {
    {"eof", END_EOF},           {"byte", END_BYTE}, {"reset", END_RESET},
    {"reset read", END_RESET_READ}, {"hang-up", END_HUP},  {"error", END_ERR},
};

}  // namespace

TEST(handlers, every_way_a_client_link_ends_removes_its_task_or_its_client)
{
    EXPECT_CHILD_OK(rh::in_netns_for(
        [] {
            LogCapture log;
            rh::relay_env env([] { g_cfg.rui.max_accept = 16; });
            rqs_destroy();
            CK(env.ok && rqs_init(&k_daemon_loop) == 0);
            rui_socket_cb cb{{.num = URQ_TAG}, new_rq, urq_rm, urq_time_out, urq_refuse};
            rui_set_cb(RUI_USER, &cb);
            g_app.on_task_end = [](const rtask *t) { urq_close_links(t); };
            listener_cfg lst[MAX_LISTENERS]{};
            lst[0].is_valid = true, lst[0].index = 1, lst[0].proto = CFG_PROTO_TCP;
            lst[0].pref_af = AF_INET;
            snprintf(lst[0].alias, sizeof lst[0].alias, "users");
            snprintf(lst[0].port, sizeof lst[0].port, "8800");
            CK(rui_setup_listeners(RUI_USER, lst, g_app.rui.user) == 0 &&
               rui_enable_listeners(g_app.rui.user) == 0);

            int k = 0;
            for (const link_case &c : kLinkEnds) {
                ++k;
                const std::string src = "udp://127.0.0.1:" + std::to_string(5800 + k);
                const std::string dst = "udp://127.0.0.1:" + std::to_string(7800 + k);
                rh::collector out("127.0.0.1", 7800 + k);
                const size_t lines0 = log.text().size();

                // The task's own link (as a keep-alive request creates it):
                // whichever way it ends, the task goes with all its clients.
                const int lk = listening(8900 + k);
                const int own = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_storage la = rh::mk_addr("127.0.0.1", 8900 + k);
                connect(own, reinterpret_cast<const sockaddr *>(&la), rh::addr_len(la));
                const int kafd = accept4(lk, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                close(lk);
                const std::string osrc = "udp://127.0.0.1:" + std::to_string(5900 + k);
                rtask *o = rh::mk_task(osrc, dst, nullptr, nullptr, kafd);
                CK(o && o->kafd == kafd && o->kar.is_active);
                if (o) o->rcount = 2;

                // A task without a link, joined by a keep-alive client.
                rtask *t = rh::mk_task(src, dst);
                std::string answer;
                const int joined =
                    request("/src/127.0.0.1:" + std::to_string(5800 + k) + "/dst/127.0.0.1:" +
                                std::to_string(7800 + k) + "/keep-alive",
                            &answer);
                CK(t && joined >= 0 && answer.rfind("HTTP/1.1 200", 0) == 0);
                tvl_urq *rq = t ? link_of(t) : nullptr;
                CK(rq && t->rcount == 2 && t->kafd == -1);
                if (!t || !rq || !o) {
                    fprintf(stderr, "case %s: no tasks or link\n", c.name);
                    return rh::verdict();
                }

                switch (c.how) {
                case END_EOF:
                    close(own), close(joined);
                    break;
                case END_BYTE:
                    CK(send(own, "!", 1, 0) == 1 && send(joined, "!", 1, 0) == 1);
                    break;
                case END_RESET:
                    reset_close(own), reset_close(joined);
                    break;
                case END_RESET_READ:
                    // The read event came before the reset; recv meets it.
                    reset_close(own), reset_close(joined);
                    CK(error_pending(kafd) && error_pending(rq->sockfd));
                    CK(on_task_read(-1, 0, &o->kar, nullptr) == 0);
                    CK(on_urq_read(-1, 0, rq, nullptr) == 0);
                    CK(o->is_quitting && o->rcount == 0 && rq->pprm_idx > 0 && t->rcount == 1);
                    break;
                case END_HUP:
                    CK(on_task_error(-1, RQS_SOCKHUP, &o->kar, nullptr) == 0);
                    CK(on_urq_error(-1, RQS_SOCKHUP, rq, nullptr) == 0);
                    CK(o->is_quitting && o->rcount == 0 && rq->pprm_idx > 0 && t->rcount == 1);
                    break;
                case END_ERR:
                    reset_close(own), reset_close(joined);
                    CK(error_pending(kafd) && error_pending(rq->sockfd));
                    CK(on_task_error(-1, RQS_SOCKERR, &o->kar, nullptr) == 0);
                    CK(on_urq_error(-1, RQS_SOCKERR, rq, nullptr) == 0);
                    CK(o->is_quitting && o->rcount == 0 && rq->pprm_idx > 0 && t->rcount == 1);
                    break;
                }
                CK(rh::run_until([&] { return !link_of(t) && !lookup_task(osrc.c_str(),
                                                                        dst.c_str(), nullptr); },
                                 2000));
                rh::run_for(20);
                // The joined client left; its task and first client stay.
                CK(t->rcount == 1 && t->state.num == ST_RLY && !t->is_quitting &&
                   g_app.pprm_tasks.len == 0 && task_count() == 1);
                CK(dlep_count(g_app.rui.user[0].requests) == 0);
                if (c.how == END_BYTE || c.how == END_HUP)
                    CK(closed_soon(joined) && closed_soon(own));
                rh::udp_tx("127.0.0.1", 5800 + k).send(rh::mk_dgram(300, uint32_t(k)));
                CK(rh::run_until([&] { return out.count == 1; }, 2000));

                const std::string text = log.text().substr(lines0);
                const auto has = [&](const std::string &line) {
                    return text.find(line) != std::string::npos;
                };
                const std::string own_id = uid(2 * k - 1), why =
                    c.how == END_HUP || c.how == END_ERR ? "error or hang-up"
                                                         : "data or end of stream";
                CK(has("link to [" + uid(2 * k) + "] ended (" + why + "), its client leaves"));
                CK(has("still has 1 client(s), task remains") &&
                   has("Task [" + own_id + "]: ENDED"));
                // The read branch names the client count it removes with.
                CK(has("with 2 client(s) will be removed") ==
                   (c.how == END_EOF || c.how == END_BYTE || c.how == END_RESET_READ));
                if (c.how == END_RESET_READ)
                    CK(has("read_keepalive: recv(fd" + std::to_string(kafd) +
                           ") ERROR(104): Connection reset by peer"));
                if (c.how == END_HUP)
                    CK(has("keep-alive [" + own_id + "] HANG-UP/DISCONNECT") &&
                       has(") HANG-UP/DISCONNECT"));
                if (c.how == END_ERR)
                    CK(has("keep-alive [" + own_id +
                           "] socket ERROR(104): Connection reset by peer") &&
                       rh::count_of(text, "socket ERROR(104): Connection reset by peer") == 2);
                CK(!has("SUSPENDED"));
                if (rh::g_failures) {
                    fprintf(stderr, "case %s failed\n", c.name);
                    break;
                }
                if (c.how == END_BYTE || c.how == END_HUP) close(own), close(joined);
                CK(drop_task(t, -1) == 0);
                CK(rh::run_until([&] { return task_count() == 0; }, 1000));
            }
            drop_listener(&g_app.rui.user[0]);
            return rh::verdict();
        },
        60000));
}
