// The agent's reporter delivering to a real UDP receiver on 127.0.0.1.
#include "oxa_report.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "oxa_ctx.h"
#include "support.h"

namespace {

std::string next_datagram(int fd)
{
    char buf[256];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

TEST(oxa_report, datagrams_also_from_descriptor_zero)
{
    Fd rx(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(rx.fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(rx.fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    snprintf(oxa::g_cfg.report_url, sizeof oxa::g_cfg.report_url, "udp://127.0.0.1:%u",
             unsigned(ntohs(a.sin_port)));
    ASSERT_EQ(oxa::reporter_setup(), 0);

    // Loopback delivers within the send: no waiting.
    oxa::relay_msg("JOIN UDP://%s\n", "239.1.1.1");
    EXPECT_EQ(next_datagram(rx.fd), "JOIN UDP://239.1.1.1\n");

    // A process started with stdin closed may get descriptor 0 for its
    // socket: it is a socket like any other.
    const int saved_stdin = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(oxa::g_ctx.rep.sockfd, STDIN_FILENO), STDIN_FILENO);
    close(oxa::g_ctx.rep.sockfd);
    oxa::g_ctx.rep.sockfd = STDIN_FILENO;
    oxa::relay_msg("LEAVE UDP://%s\n", "239.1.1.1");
    oxa::g_ctx.rep.sockfd = dup(STDIN_FILENO);
    dup2(saved_stdin, STDIN_FILENO);
    close(saved_stdin);
    EXPECT_EQ(next_datagram(rx.fd), "LEAVE UDP://239.1.1.1\n");
    oxa::reporter_close();
}

}  // namespace
