// Sockets on loopback with real descriptors: listeners and clients on port
// 0 with the port read back, datagram readers and writers, the options the
// library sets, and Unix-domain listeners.  Only 127.0.0.1 and ::1 are
// used, except the unanswered connect, which runs in a private namespace.
#include "netops.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app.globals.h"
#include "log.h"
#include "netns.h"
#include "support.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr int WAIT_MS = 5000;

bool wait_for(int fd, short events, int ms = WAIT_MS)
{
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & events);
}

sockaddr_storage local_addr(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss;
}

unsigned port_of(const sockaddr_storage &ss)
{
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in *>(&ss)->sin_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_port);
}

std::string text_of(const sockaddr_storage &ss)
{
    char buf[128];
    const char *s = saddr_str(reinterpret_cast<const sockaddr *>(&ss),
                              ss.ss_family == AF_INET ? 16 : 28, buf, sizeof buf);
    return s ? s : "?";
}

int int_opt(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    if (getsockopt(fd, level, name, &v, &len) != 0) return -100;
    return v;
}

socket_spec spec_of(int socktype, int af = AF_UNSPEC)
{
    socket_spec s{};
    s.socktype = socktype;
    s.family = af;
    return s;
}

// A port no socket holds right now (bound once by the kernel's choice).
std::string free_port(int af, const char *host)
{
    Fd s(socket(af, SOCK_STREAM, 0));
    sockaddr_storage ss{};
    socklen_t len;
    if (af == AF_INET) {
        auto *in = reinterpret_cast<sockaddr_in *>(&ss);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, host, &in->sin_addr);
        len = sizeof *in;
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, host, &in6->sin6_addr);
        len = sizeof *in6;
    }
    if (bind(s.fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) return "0";
    return std::to_string(port_of(local_addr(s.fd)));
}

struct Loopback {
    int af;
    const char *host;
};

[[maybe_unused]] void PrintTo(const Loopback &l, std::ostream *os) { *os << l.host; }

class sockets : public ::testing::TestWithParam<Loopback> {
protected:
    void SetUp() override
    {
        if (GetParam().af == AF_INET6 && !have_ipv6_loopback()) GTEST_SKIP() << "no ::1";
    }
};

INSTANTIATE_TEST_SUITE_P(loopback, sockets,
                         ::testing::Values(Loopback{AF_INET, "127.0.0.1"},
                                           Loopback{AF_INET6, "::1"}),
                         [](const auto &p) { return p.param.af == AF_INET ? "v4" : "v6"; });

// --- TCP ----------------------------------------------------------------------------------

TEST_P(sockets, tcp_listener_and_client)
{
    const auto [af, host] = GetParam();
    socket_spec ls = spec_of(SOCK_STREAM);
    ls.passive = 1;
    ls.non_blocking = 1;
    Fd lfd(open_socket(host, "0", nullptr, &ls, nullptr, nullptr));
    ASSERT_GE(lfd.fd, 0);
    EXPECT_EQ(ls.family, af);
    EXPECT_FALSE(ls.multicast);
    EXPECT_NE(is_non_blocking(lfd.fd), 0);
    EXPECT_EQ(int_opt(lfd.fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
    EXPECT_EQ(int_opt(lfd.fd, SOL_SOCKET, SO_REUSEADDR), 1);
    const std::string port = std::to_string(port_of(local_addr(lfd.fd)));
    ASSERT_NE(port, "0");

    socket_spec cs = spec_of(SOCK_STREAM);
    ifc_info *ifi = reinterpret_cast<ifc_info *>(&cs);  // must come back null
    Fd cfd(open_socket(host, port.c_str(), nullptr, &cs, nullptr, &ifi));
    ASSERT_GE(cfd.fd, 0);
    EXPECT_EQ(ifi, nullptr);
    EXPECT_FALSE(cs.async_connect);
    EXPECT_EQ(is_non_blocking(cfd.fd), 0);
    EXPECT_EQ(cs.addr_len, af == AF_INET ? 16u : 28u);
    EXPECT_EQ(port_of(cs.addr_ss), port_of(local_addr(lfd.fd)));

    ASSERT_TRUE(wait_for(lfd.fd, POLLIN));
    Fd afd(accept(lfd.fd, nullptr, nullptr));
    ASSERT_GE(afd.fd, 0);
    ASSERT_EQ(send(cfd.fd, "ping", 4, MSG_NOSIGNAL), 4);
    ASSERT_TRUE(wait_for(afd.fd, POLLIN));
    char buf[8] = {};
    EXPECT_EQ(recv(afd.fd, buf, sizeof buf, 0), 4);
    EXPECT_STREQ(buf, "ping");

    char peer[64];
    ASSERT_NE(get_peer_ipaddr(afd.fd, peer, sizeof peer), nullptr);
    EXPECT_EQ(std::string(peer), text_of(local_addr(cfd.fd)));
}

TEST_P(sockets, non_blocking_connect_completes_or_is_in_progress)
{
    const auto [af, host] = GetParam();
    socket_spec ls = spec_of(SOCK_STREAM);
    ls.passive = 1;
    Fd lfd(open_socket(host, "0", nullptr, &ls, nullptr, nullptr));
    ASSERT_GE(lfd.fd, 0);
    const std::string port = std::to_string(port_of(local_addr(lfd.fd)));

    socket_spec cs = spec_of(SOCK_STREAM, af);
    cs.non_blocking = 1;
    Fd cfd(open_socket(host, port.c_str(), nullptr, &cs, nullptr, nullptr));
    ASSERT_GE(cfd.fd, 0);
    EXPECT_NE(is_non_blocking(cfd.fd), 0);
    // Loopback may finish the handshake at once or a moment later; either
    // way the socket turns writable with no pending error.
    ASSERT_TRUE(wait_for(cfd.fd, POLLOUT));
    EXPECT_EQ(socket_error(cfd.fd), 0);
    ASSERT_TRUE(wait_for(lfd.fd, POLLIN));
    Fd afd(accept(lfd.fd, nullptr, nullptr));
    EXPECT_GE(afd.fd, 0);
}

TEST_P(sockets, refused_connect_is_reported)
{
    const auto [af, host] = GetParam();
    const std::string port = free_port(af, host);
    socket_spec cs = spec_of(SOCK_STREAM);
    cs.non_blocking = 1;
    LogCapture cap;
    Fd cfd(open_socket(host, port.c_str(), nullptr, &cs, nullptr, nullptr));
    if (cfd.fd < 0) {
        EXPECT_EQ(errno, ECONNREFUSED);  // refused before connect returned
        return;
    }
    ASSERT_TRUE(cs.async_connect);
    ASSERT_TRUE(wait_for(cfd.fd, POLLOUT));
    errno = 0;
    EXPECT_EQ(socket_error(cfd.fd), ECONNREFUSED);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_THAT(cap.text(),
                HasSubstr("socket_error(fd" + std::to_string(cfd.fd) + ") ERROR(111): "));
}

TEST(sockets_tcp, unanswered_connect_is_asynchronous)
{
    // A veth pair inside a private namespace: the peer address is never
    // resolved, so the handshake cannot complete.
    const int rc = run_in_child([] {
        if (unshare(CLONE_NEWNET) != 0) return CHILD_SKIP;
        if (!run_quiet("ip link set lo up") ||
            !run_quiet("ip link add va type veth peer name vb") ||
            !run_quiet("ip addr add 10.77.0.1/24 dev va") || !run_quiet("ip link set va up") ||
            !run_quiet("ip link set vb up"))
            return CHILD_SKIP;
        socket_spec cs = spec_of(SOCK_STREAM);
        cs.non_blocking = 1;
        Fd fd(open_socket("10.77.0.2", "80", nullptr, &cs, nullptr, nullptr));
        CHILD_CHECK(fd.fd >= 0);
        CHILD_CHECK(cs.async_connect);
        CHILD_CHECK(!wait_for(fd.fd, POLLOUT, 200));
        CHILD_CHECK(socket_error(fd.fd) == 0);
        return 0;
    });
    if (rc == CHILD_SKIP) GTEST_SKIP() << "cannot make a network namespace";
    EXPECT_EQ(rc, 0);
}

TEST(sockets_tcp, anyaddr_listeners)
{
    // AF_UNSPEC listens on 0.0.0.0.
    Fd v4(open_anyaddr_listener(AF_UNSPEC, "0", 0));
    ASSERT_GE(v4.fd, 0);
    sockaddr_storage ss = local_addr(v4.fd);
    EXPECT_EQ(ss.ss_family, AF_INET);
    EXPECT_EQ(is_unspecified(reinterpret_cast<const sockaddr *>(&ss)), 1);
    EXPECT_NE(is_non_blocking(v4.fd), 0);
    EXPECT_EQ(int_opt(v4.fd, SOL_SOCKET, SO_ACCEPTCONN), 1);

    if (!have_ipv6_loopback()) GTEST_SKIP() << "no IPv6";
    // "::" accepts IPv4 clients too.
    LogCapture cap;
    Fd v6(open_anyaddr_listener(AF_INET6, "0", 0));
    ASSERT_GE(v6.fd, 0);
    EXPECT_THAT(cap.text(), Not(HasSubstr("will not accept IPv4")));
    ss = local_addr(v6.fd);
    EXPECT_EQ(ss.ss_family, AF_INET6);
    EXPECT_EQ(int_opt(v6.fd, IPPROTO_IPV6, IPV6_V6ONLY), 0);
    const std::string port = std::to_string(port_of(ss));
    socket_spec cs = spec_of(SOCK_STREAM);
    Fd c(open_socket("127.0.0.1", port.c_str(), nullptr, &cs, nullptr, nullptr));
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(wait_for(v6.fd, POLLIN));
    Fd a(accept(v6.fd, nullptr, nullptr));
    ASSERT_GE(a.fd, 0);
    char peer[64];
    ASSERT_NE(get_peer_ipaddr(a.fd, peer, sizeof peer), nullptr);
    EXPECT_THAT(std::string(peer), HasSubstr("[::ffff:127.0.0.1]:"));
}

TEST(sockets_tcp, deferred_listen)
{
    Fd l(open_anyaddr_listener(AF_INET, "0", 1));
    ASSERT_GE(l.fd, 0);
    EXPECT_EQ(int_opt(l.fd, SOL_SOCKET, SO_ACCEPTCONN), 0);
    const std::string port = std::to_string(port_of(local_addr(l.fd)));
    socket_spec cs = spec_of(SOCK_STREAM);
    EXPECT_EQ(open_socket("127.0.0.1", port.c_str(), nullptr, &cs, nullptr, nullptr), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    ASSERT_EQ(listen(l.fd, 8), 0);
    Fd c(open_socket("127.0.0.1", port.c_str(), nullptr, &cs, nullptr, nullptr));
    EXPECT_GE(c.fd, 0);
}

TEST_P(sockets, open_listener_sets_the_port)
{
    const auto [af, host] = GetParam();
    const std::string port = free_port(af, host);
    sockaddr_storage ss{};
    socklen_t len = 0;
    ASSERT_EQ(mk_sockaddr(af == AF_INET ? "127.0.0.1:0" : "0:0:0:0:0:0:0:1:0", SOCK_STREAM, 0,
                          &ss, &len),
              0);
    Fd l(open_listener(&ss, port.c_str(), 0));
    ASSERT_GE(l.fd, 0);
    EXPECT_EQ(std::to_string(port_of(ss)), port);  // the caller's record took the port
    EXPECT_EQ(std::to_string(port_of(local_addr(l.fd))), port);
    EXPECT_NE(is_non_blocking(l.fd), 0);
    EXPECT_EQ(int_opt(l.fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
    // A listener is one process's: a second one fails.
    sockaddr_storage again = ss;
    EXPECT_EQ(open_listener(&again, port.c_str(), 0), -1);

    sockaddr_storage ds = ss;
    Fd d(open_listener(&ds, free_port(af, host).c_str(), 1));
    ASSERT_GE(d.fd, 0);
    EXPECT_EQ(int_opt(d.fd, SOL_SOCKET, SO_ACCEPTCONN), 0);
}

// --- UDP ----------------------------------------------------------------------------------

TEST_P(sockets, udp_reader_and_writer)
{
    const auto [af, host] = GetParam();
    socket_spec rs = spec_of(SOCK_DGRAM);
    rs.non_blocking = 1;
    Fd r(open_socket(host, "0", nullptr, &rs, nullptr, nullptr));
    ASSERT_GE(r.fd, 0);
    EXPECT_EQ(rs.family, af);
    EXPECT_FALSE(rs.multicast);
    // A unicast reader binds alone: a second reader of its address fails.
    EXPECT_EQ(int_opt(r.fd, SOL_SOCKET, SO_REUSEADDR), 0);
    const std::string port = std::to_string(port_of(local_addr(r.fd)));
    ASSERT_NE(port, "0");
    socket_spec again = spec_of(SOCK_DGRAM);
    EXPECT_EQ(open_socket(host, port.c_str(), nullptr, &again, nullptr, nullptr), -1);

    socket_spec ws = spec_of(SOCK_DGRAM);
    ws.writer = 1;
    Fd w(open_socket(host, port.c_str(), nullptr, &ws, nullptr, nullptr));
    ASSERT_GE(w.fd, 0);
    EXPECT_EQ(port_of(local_addr(w.fd)), 0u);  // a writer is not bound
    EXPECT_EQ(std::to_string(port_of(ws.addr_ss)), port);
    ASSERT_EQ(sendto(w.fd, "dgram", 5, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&ws.addr_ss),
                     ws.addr_len),
              5);
    ASSERT_TRUE(wait_for(r.fd, POLLIN));
    char buf[16] = {};
    EXPECT_EQ(recv(r.fd, buf, sizeof buf, 0), 5);
    EXPECT_STREQ(buf, "dgram");
}

TEST_P(sockets, udp_listener_keeps_or_replaces_the_port)
{
    const auto [af, host] = GetParam();
    sockaddr_storage ss{};
    socklen_t len = 0;
    ASSERT_EQ(mk_sockaddr(af == AF_INET ? "127.0.0.1:0" : "0:0:0:0:0:0:0:1:0", SOCK_DGRAM, 0, &ss,
                          &len),
              0);
    Fd u(open_udp_listener(&ss, nullptr));
    ASSERT_GE(u.fd, 0);
    EXPECT_NE(port_of(local_addr(u.fd)), 0u);
    EXPECT_NE(is_non_blocking(u.fd), 0);
    sockaddr_storage same = local_addr(u.fd);  // the address is this socket's alone
    EXPECT_EQ(open_udp_listener(&same, nullptr), -1);

    const std::string port = free_port(af, host);
    Fd p(open_udp_listener(&ss, port.c_str()));
    ASSERT_GE(p.fd, 0);
    EXPECT_EQ(std::to_string(port_of(local_addr(p.fd))), port);
}

TEST_P(sockets, debug_lines_describe_the_socket)
{
    const auto [af, host] = GetParam();
    const int saved = g_mod_ll[LM_DEFAULT];
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    LogCapture cap;
    socket_spec rs = spec_of(SOCK_DGRAM);
    Fd r(open_socket(host, "0", nullptr, &rs, nullptr, nullptr));
    g_mod_ll[LM_DEFAULT] = saved;
    ASSERT_GE(r.fd, 0);
    const std::string t = cap.text();
    const std::string fam = af == AF_INET ? "IPv4" : "IPv6";
    EXPECT_THAT(t, HasSubstr("open_socket: UDP CLIENT [UNSPEC (0)] socket for [" +
                             std::string(host) + ":0], ifc=none\n"));
    EXPECT_THAT(t, HasSubstr("af=" + fam + " (" + std::to_string(af) + "), proto = 17\n"));
    // The address text in the bind line is cut to 31 characters.
    EXPECT_THAT(t, HasSubstr("reuse_and_bind: fd=" + std::to_string(r.fd) + " " +
                             (af == AF_INET ? "127.0.0.1:0" : "[::1]:0") + " OK\n"));
    EXPECT_THAT(t, HasSubstr("reuse_and_bind " + fam + " " + host + ":0\n"));
    EXPECT_THAT(t, HasSubstr("ai_family   =\t" + std::to_string(af) + "\n"));
    EXPECT_THAT(t, HasSubstr("open_socket: CLIENT unicast socket fd=[" + std::to_string(r.fd) +
                             "]\n"));
}

// --- options ------------------------------------------------------------------------------

TEST(sockets_opts, buffers_and_timeouts)
{
    Fd s(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_EQ(set_socket_rcvbuf(s.fd, 65536), 0);
    EXPECT_GE(int_opt(s.fd, SOL_SOCKET, SO_RCVBUF), 65536);
    ASSERT_EQ(set_socket_sendbuf(s.fd, 32768), 0);
    EXPECT_GE(int_opt(s.fd, SOL_SOCKET, SO_SNDBUF), 32768);
    EXPECT_LT(int_opt(s.fd, SOL_SOCKET, SO_SNDBUF), 65536 * 2);

    // Half seconds, which every kernel tick rate represents exactly.
    ASSERT_EQ(set_rcv_timeout(s.fd, 1500), 0);
    ASSERT_EQ(set_send_timeout(s.fd, 3500), 0);
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 1);
    EXPECT_EQ(tv.tv_usec, 500000);
    ASSERT_EQ(getsockopt(s.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 3);
    EXPECT_EQ(tv.tv_usec, 500000);
}

TEST(sockets_opts, blocking_mode)
{
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(is_non_blocking(s.fd), 0);
    EXPECT_EQ(set_nblock(s.fd, 1), 0);
    EXPECT_NE(is_non_blocking(s.fd), 0);
    EXPECT_EQ(set_nblock(s.fd, 1), 0);  // already so
    EXPECT_EQ(set_nblock(s.fd, 0), 0);
    EXPECT_EQ(is_non_blocking(s.fd), 0);

    LogCapture cap;
    EXPECT_EQ(set_nblock(-1, 1), -1);
    EXPECT_EQ(is_non_blocking(-1), -1);
    EXPECT_EQ(get_socket_flags(-1), -1);
    EXPECT_THAT(cap.text(), HasSubstr("get_socket_flags: fcntl(-1, F_GETFL, 0) ERROR(9): "));
}

TEST(sockets_opts, tcp_flags_and_keepalive)
{
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(set_keepalive(s.fd, 1), 0);
    EXPECT_EQ(int_opt(s.fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(set_keepalive(s.fd, 0), 0);
    EXPECT_EQ(int_opt(s.fd, SOL_SOCKET, SO_KEEPALIVE), 0);

    const int saved = g_mod_ll[LM_DEFAULT];
    g_mod_ll[LM_DEFAULT] = INFO_level;
    LogCapture cap;
    EXPECT_EQ(set_tcp_nodelay(s.fd, 1), 0);
    EXPECT_EQ(int_opt(s.fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(set_tcp_cork(s.fd, 1), 0);
    EXPECT_EQ(int_opt(s.fd, IPPROTO_TCP, TCP_CORK), 1);
    EXPECT_EQ(set_tcp_cork(s.fd, 0), 0);
    g_mod_ll[LM_DEFAULT] = saved;
    const std::string fd = std::to_string(s.fd);
    EXPECT_THAT(cap.text(), HasSubstr("TCP_NODELAY turned ON for [fd=" + fd + "]\n"));
    EXPECT_THAT(cap.text(), HasSubstr("TCP_CORK turned OFF for [fd=" + fd + "]\n"));

    cap.clear();
    EXPECT_EQ(set_keepalive(-1, 1), -1);
    EXPECT_THAT(cap.text(),
                HasSubstr("set_keepalive: setsockopt(fd-1, SOL_SOCKET, SO_KEEPALIVE, 1,..) "
                          "ERROR(9): "));
}

TEST(sockets_opts, multicast_ttl_and_hops)
{
    Fd s4(socket(AF_INET, SOCK_DGRAM, 0));
    EXPECT_EQ(set_mcast_ttl(AF_INET, s4.fd, 1), 0);
    EXPECT_EQ(int_opt(s4.fd, IPPROTO_IP, IP_MULTICAST_TTL), 1);
    EXPECT_EQ(set_mcast_ttl(AF_INET, s4.fd, 32), 0);
    EXPECT_EQ(int_opt(s4.fd, IPPROTO_IP, IP_MULTICAST_TTL), 32);
    LogCapture cap;
    EXPECT_EQ(set_mcast_ttl(AF_INET, s4.fd, 300), EINVAL);
    EXPECT_THAT(cap.text(), HasSubstr("set_mcast_ttl: IP mcast fd=" + std::to_string(s4.fd) +
                                      ", op=MULTICAST_TTL(300): "));

    if (!have_ipv6_loopback()) GTEST_SKIP() << "no IPv6";
    Fd s6(socket(AF_INET6, SOCK_DGRAM, 0));
    EXPECT_EQ(set_mcast_ttl(AF_INET6, s6.fd, 5), 0);
    EXPECT_EQ(int_opt(s6.fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS), 5);
    const unsigned lo = if_nametoindex("lo");
    EXPECT_EQ(set_ipv6_sock_ifc(s6.fd, lo), 0);
    EXPECT_EQ(int_opt(s6.fd, IPPROTO_IPV6, IPV6_MULTICAST_IF), int(lo));
    EXPECT_EQ(set_ipv6_sock_ifc(s4.fd, lo), ENOPROTOOPT);
}

TEST(sockets_optsDeathTest, ttl_of_another_family_asserts)
{
    EXPECT_DEATH(set_mcast_ttl(AF_UNIX, 0, 1), "ASSERT at:");
}

TEST(sockets_opts, ipv6only_switch)
{
    if (!have_ipv6_loopback()) GTEST_SKIP() << "no IPv6";
    Fd s(socket(AF_INET6, SOCK_STREAM, 0));
    const int saved = g_mod_ll[LM_DEFAULT];
    g_mod_ll[LM_DEFAULT] = INFO_level;
    LogCapture cap;
    set_ipv6only(s.fd, 1);
    EXPECT_EQ(int_opt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY), 1);
    set_ipv6only(s.fd, 1);
    set_ipv6only(s.fd, 0);
    EXPECT_EQ(int_opt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY), 0);
    g_mod_ll[LM_DEFAULT] = saved;
    const std::string t = cap.text();
    EXPECT_THAT(t, HasSubstr("set_ipv6only: IPV6_V6ONLY for fd=" + std::to_string(s.fd) +
                             " is already ON\n"));
    EXPECT_THAT(t, Not(HasSubstr("will not accept IPv4")));

    // On a socket that has no such option, off cannot be had.
    Fd v4(socket(AF_INET, SOCK_STREAM, 0));
    StderrCapture err;
    cap.clear();
    set_ipv6only(v4.fd, 0);
    EXPECT_THAT(err.text(), HasSubstr("getsockopt IPV6_V6ONLY: "));
    EXPECT_THAT(cap.text(), HasSubstr("set_ipv6only: server will not accept IPv4 requests\n"));
}

// Each way of sharing: the options set, and whether a second socket made
// the same way binds the first one's address beside it.  A datagram socket
// with SO_REUSEADDR alone shares its port on Linux, so only the exclusive
// form keeps a unicast reader or the agent socket to one process.
TEST(sockets_opts, reuse_and_bind_shares_only_as_asked)
{
    const struct {
        int type;
        bind_share share;
        int reuseaddr, reuseport;
        int second;  // result of the second bind
    } cases[] = {
        {SOCK_DGRAM, BIND_EXCLUSIVE, 0, 0, EADDRINUSE},
        {SOCK_STREAM, BIND_EXCLUSIVE, 0, 0, EADDRINUSE},
        {SOCK_STREAM, BIND_REUSEADDR, 1, 0, EADDRINUSE},  // listening: not shared
        {SOCK_DGRAM, BIND_REUSEADDR, 1, 0, 0},            // why datagram sockets bind alone
        {SOCK_DGRAM, BIND_SHARED, 1, 1, 0},
        {SOCK_STREAM, BIND_SHARED, 1, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.share));
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Fd a(socket(AF_INET, c.type | SOCK_CLOEXEC, 0));
        ASSERT_EQ(reuse_and_bind(a.fd, reinterpret_cast<sockaddr *>(&in), sizeof in, c.share), 0);
        if (c.type == SOCK_STREAM) {
            ASSERT_EQ(listen(a.fd, 1), 0);
        }
        EXPECT_EQ(int_opt(a.fd, SOL_SOCKET, SO_REUSEADDR), c.reuseaddr);
        EXPECT_EQ(int_opt(a.fd, SOL_SOCKET, SO_REUSEPORT), c.reuseport);
        in.sin_port = htons(uint16_t(port_of(local_addr(a.fd))));
        Fd b(socket(AF_INET, c.type | SOCK_CLOEXEC, 0));
        EXPECT_EQ(reuse_and_bind(b.fd, reinterpret_cast<sockaddr *>(&in), sizeof in, c.share),
                  c.second);
        // Binding a bound socket again fails with its errno as the result.
        EXPECT_EQ(reuse_and_bind(a.fd, reinterpret_cast<sockaddr *>(&in), sizeof in, c.share),
                  EINVAL);
        EXPECT_EQ(reuse_and_bind(-1, reinterpret_cast<sockaddr *>(&in), sizeof in, c.share),
                  EBADF);
    }
}

// --- Unix domain --------------------------------------------------------------------------

TEST(sockets_unix, listener_replaces_a_stale_socket_and_accepts)
{
    TempDir dir;
    const std::string path = dir.file("ctl.sock");
    {
        // A socket file left behind by an earlier run.
        Fd old(socket(AF_UNIX, SOCK_STREAM, 0));
        sockaddr_un un{};
        un.sun_family = AF_UNIX;
        strcpy(un.sun_path, path.c_str());
        ASSERT_EQ(bind(old.fd, reinterpret_cast<sockaddr *>(&un), sizeof un), 0);
    }
    ASSERT_TRUE(file_exists(path));
    Fd l(open_domain_listener(path.c_str()));
    ASSERT_GE(l.fd, 0);
    EXPECT_NE(is_non_blocking(l.fd), 0);
    EXPECT_EQ(int_opt(l.fd, SOL_SOCKET, SO_ACCEPTCONN), 1);

    Fd c(open_domain_client(path.c_str(), 3, 10));
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(wait_for(l.fd, POLLIN));
    Fd a(accept(l.fd, nullptr, nullptr));
    ASSERT_GE(a.fd, 0);
    ASSERT_EQ(send(c.fd, "x", 1, MSG_NOSIGNAL), 1);
    char ch = 0;
    ASSERT_TRUE(wait_for(a.fd, POLLIN));
    EXPECT_EQ(recv(a.fd, &ch, 1, 0), 1);
    char text[160];
    EXPECT_EQ(std::string(get_peer_ipaddr(c.fd, text, sizeof text)), "DOMAIN " + path + ":");

    // A socket someone listens on is not stale: a second listener on the
    // path is refused and the first keeps taking connections.
    LogCapture cap;
    EXPECT_EQ(open_domain_listener(path.c_str()), -1);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_THAT(cap.text(), HasSubstr("open_domain_listener: [" + path +
                                      "] is in use by a listening process\n"));
    // The probe's connection waits in the backlog: take it, then a new one.
    ASSERT_TRUE(wait_for(l.fd, POLLIN));
    Fd probe(accept(l.fd, nullptr, nullptr));
    Fd c2(open_domain_client(path.c_str(), 1, 0));
    ASSERT_GE(c2.fd, 0);
    ASSERT_TRUE(wait_for(l.fd, POLLIN));
    Fd a2(accept(l.fd, nullptr, nullptr));
    EXPECT_GE(a2.fd, 0);
}

TEST(sockets_unix, longest_path_is_used_whole)
{
    TempDir dir;
    std::string path = dir.path() + "/";
    path += std::string(107 - path.size(), 'p');
    ASSERT_EQ(path.size(), 107u);
    Fd l(open_domain_listener(path.c_str()));
    ASSERT_GE(l.fd, 0);
    EXPECT_TRUE(file_exists(path));
    Fd c(open_domain_client(path.c_str(), 1, 0));
    EXPECT_GE(c.fd, 0);
}

TEST(sockets_unix, listener_leaves_other_files_alone)
{
    TempDir dir;
    const std::string path = dir.file("precious");
    write_file(path, "data");
    LogCapture cap;
    EXPECT_EQ(open_domain_listener(path.c_str()), -1);
    EXPECT_EQ(read_file(path), "data");
    EXPECT_THAT(cap.text(), HasSubstr("open_domain_listener: [" + path +
                                      "] exists and is not a socket\n"));
    EXPECT_THAT(cap.text(), HasSubstr("open_domain_listener: failed for path=[" + path + "]\n"));
}

TEST(sockets_unix, client_gives_up_after_its_attempts)
{
    TempDir dir;
    const std::string path = dir.file("none.sock");
    LogCapture cap;
    EXPECT_EQ(open_domain_client(path.c_str(), 3, 1), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_THAT(cap.text(), HasSubstr("open_domain_client: failed to connect to [" + path +
                                      "] after 3 attempt(s)\n"));

    // A quit request stops the attempts without the failure line.
    cap.clear();
    g_quit = 1;
    EXPECT_EQ(open_domain_client(path.c_str(), 3, 1), -1);
    g_quit = 0;
    EXPECT_THAT(cap.text(), Not(HasSubstr("failed to connect")));
}

}  // namespace
