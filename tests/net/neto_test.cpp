// The traffic tool's own socket operations on real sockets and interfaces.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "neto.h"
#include "netns.h"
#include "support.h"

namespace {

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

sockaddr_in v4(const char *addr, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    return a;
}

addrinfo ai_of(sockaddr_in &a, int type)
{
    addrinfo ai{};
    ai.ai_family = AF_INET;
    ai.ai_socktype = type;
    ai.ai_addr = reinterpret_cast<sockaddr *>(&a);
    ai.ai_addrlen = sizeof(a);
    return ai;
}

}  // namespace

TEST(neto, interfaces_are_found_by_name_or_by_one_of_their_addresses)
{
    const unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);
    sockaddr_storage ss{};
    EXPECT_EQ(Ifaddr_index("lo", &ss), lo);
    EXPECT_EQ(ss.ss_family, AF_UNSPEC) << "a name leaves the address to look up";
    EXPECT_EQ(Ifaddr_index("127.0.0.1", &ss), lo);
    ASSERT_EQ(ss.ss_family, AF_INET);
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(&ss)->sin_addr.s_addr, htonl(INADDR_LOOPBACK));

    StderrCapture err;
    EXPECT_EQ(Ifaddr_index("192.0.2.99", nullptr), 0u) << "an address no interface holds";
    // Interface texts are numeric: a wrong name never waits for a resolver.
    EXPECT_EQ(Ifaddr_index("localhost", nullptr), 0u);
    EXPECT_TRUE(has(err.text(), "Ifaddr_index: getaddrinfo, err="));

    sockaddr_storage a{};
    EXPECT_EQ(Ifc_addr_lookup(AF_INET, "lo", reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0);
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(&a)->sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(Ifc_addr_lookup(AF_INET, "nosuch0", reinterpret_cast<sockaddr *>(&a), sizeof(a)), -1);
    EXPECT_TRUE(has(err.text(), "Ifc_addr_lookup: failed to look up address for ifc=nosuch0\n"));
}

TEST(neto, bind_failures_name_their_step_and_give_the_error)
{
    Fd taken(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = v4("127.0.0.1", 0);
    socklen_t len = sizeof(a);
    ASSERT_EQ(bind(taken.fd, reinterpret_cast<sockaddr *>(&a), len), 0);
    ASSERT_EQ(getsockname(taken.fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    ASSERT_EQ(listen(taken.fd, 1), 0);

    Fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    addrinfo ai = ai_of(a, SOCK_STREAM);
    StderrCapture err;
    EXPECT_EQ(Reuse_and_bind(s.fd, &ai), EADDRINUSE);
    EXPECT_TRUE(has(err.text(), "Reuse_and_bind: bind: Address already in use (98)\n"));

    EXPECT_EQ(Set_socket_sbuf(s.fd, size_t(INT_MAX) + 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(Set_socket_rbuf(s.fd, 65536), 0);
    EXPECT_GE(Get_socket_rbuf(s.fd), 65536);
    EXPECT_EQ(Get_socket_sbuf(-1), -1);
    EXPECT_EQ(Set_nblock(-1, 1), -1);
    EXPECT_TRUE(has(err.text(), "fcntl F_GETFL: "));
}

TEST(neto, option_setters_report_on_the_console)
{
    Fd u(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    StderrCapture err;
    EXPECT_EQ(Set_mcast_ttl(AF_INET, u.fd, 4), 0);
    EXPECT_TRUE(has(err.text(), "Set_mcast_ttl: IP mcast fd=" + std::to_string(u.fd) +
                                    ", op=MULTICAST_TTL: OK\n"));
    EXPECT_EQ(Set_ipv6_sock_ifc(u.fd, 0), -1);
    sockaddr_in mc = v4("239.1.1.1", 1);
    EXPECT_EQ(Is_multicast(reinterpret_cast<sockaddr *>(&mc)), 1);
    sockaddr un{};
    un.sa_family = AF_UNIX;
    EXPECT_EQ(Is_multicast(&un), -1);
    EXPECT_EQ(Saddr_size(&un), socklen_t(-1));
    EXPECT_TRUE(has(err.text(), "Is_multicast: unrecognized family: 1\n"));
    EXPECT_TRUE(has(err.text(), "Saddr_size: unrecognized socket family: 1\n"));

    if (!have_ipv6_loopback()) return;
    Fd u6(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ASSERT_EQ(setsockopt(u6.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)), 0);
    Set_ipv6only(u6.fd, 1);
    EXPECT_TRUE(has(err.text(), "IPV6_V6ONLY for fd=" + std::to_string(u6.fd) + " is already ON\n"));
    Set_ipv6only(u6.fd, 0);
    EXPECT_FALSE(has(err.text(), "WARNING: server will not accept IPv4 requests!"));

    sockaddr_in6 grp{};
    grp.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "ff02::1", &grp.sin6_addr);
    sockaddr_storage none{};
    Sync_ipv6addr_scope_id(reinterpret_cast<sockaddr *>(&grp), nullptr, &none);
    EXPECT_TRUE(has(err.text(), "cannot set scope id, interface or link-specific address must be selected\n"));
}

// Memberships on lo in a namespace of the test's own, with both APIs; the
// per-family one without an interface joins on the any-address.
TEST(neto, joined_group_delivers_and_leaving_stops_it)
{
    for (const int legacy : {0, 1}) {
        EXPECT_CHILD_OK(in_netns([legacy] {
            Set_legacy_mcast_api(legacy);
            Fd rx(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_in grp = v4("239.7.7.7", 5600);
            addrinfo ai = ai_of(grp, SOCK_DGRAM);
            CHILD_CHECK(Reuse_and_bind(rx.fd, &ai) == 0);
            const sockaddr_storage no_ifc{};
            const auto *g = reinterpret_cast<const sockaddr *>(&grp);
            CHILD_CHECK(Mcast_group_op("t", nullptr, 0, g, &no_ifc, 1, rx.fd) == 0);

            Fd tx(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            CHILD_CHECK(sendto(tx.fd, "m", 1, 0, g, sizeof(grp)) == 1);
            pollfd p{rx.fd, POLLIN, 0};
            CHILD_CHECK(poll(&p, 1, 2000) == 1);
            char c;
            CHILD_CHECK(recv(rx.fd, &c, 1, 0) == 1);

            CHILD_CHECK(Mcast_group_op("t", nullptr, 0, g, &no_ifc, 0, rx.fd) == 0);
            CHILD_CHECK(sendto(tx.fd, "m", 1, 0, g, sizeof(grp)) == 1);
            CHILD_CHECK(poll(&p, 1, 300) == 0);
            // Leaving a group not joined is refused and reported.
            CHILD_CHECK(Mcast_group_op("t", nullptr, 0, g, &no_ifc, 0, rx.fd) == -1);
            return 0;
        }));
    }
}
