// Endpoint records opened from socket URLs against local peers: UDP on
// loopback (IPv4 and IPv6), TCP and HTTP to a listener on 127.0.0.1, and a
// source-specific reader inside a private network namespace:
//
//   child's own namespace:  lo  127.0.0.1    224.0.0.0/4 routed via lo
//
// Nothing here sends to any address but loopback.
#include "fdrec.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "log.h"
#include "netns.h"
#include "support.h"
#include "uri.h"

using std::string;

namespace {

constexpr int WAIT_MS = 5000;

unsigned port_of(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
}

bool readable(int fd, int ms = WAIT_MS)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & POLLIN);
}

string recv_text(int fd)
{
    if (!readable(fd)) return "";
    char buf[256];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? string(buf, size_t(n)) : "";
}

bool send_via(const fdrec *w, const string &text)
{
    return sendto(w->fd, text.data(), text.size(), 0,
                  reinterpret_cast<const sockaddr *>(&w->sspec->addr_ss),
                  w->sspec->addr_len) == ssize_t(text.size());
}

// A datagram reader and a writer to it, by URL, on one loopback family.
void udp_pair(const string &host)
{
    int kind = -7;
    fdrec *r = open_uri_src(("udp://" + host + ":0").c_str(), nullptr, &kind);
    ASSERT_NE(r, nullptr) << host;
    EXPECT_EQ(kind, URI_UDP);
    EXPECT_TRUE(S_ISSOCK(r->mode));
    EXPECT_FALSE(r->sspec->writer);
    EXPECT_EQ(r->sspec->socktype, SOCK_DGRAM);
    EXPECT_EQ(r->mifc, nullptr);
    char tag[64];
    snprintf(tag, sizeof tag, "r(%p).SOCK(%d)", static_cast<void *>(r), r->fd);
    EXPECT_STREQ(get_fdrec_tag(r), tag);

    const string dst = "udp://" + host + ":" + std::to_string(port_of(r->fd));
    fdrec *w = open_uri_dst(dst.c_str(), nullptr, &kind);
    ASSERT_NE(w, nullptr) << dst;
    EXPECT_TRUE(w->sspec->writer);
    EXPECT_TRUE(send_via(w, "over " + host));
    EXPECT_EQ(recv_text(r->fd), "over " + host);
    free_fdrec(w);
    free_fdrec(r);
}

TEST(fdrec_net, udp_reader_and_writer_by_url)
{
    udp_pair("127.0.0.1");
    if (have_ipv6_loopback()) udp_pair("[::1]");
}

TEST(fdrec_net, tcp_and_http_urls_connect_without_an_exchange)
{
    Fd lst(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lst.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(lst.fd, 4), 0);
    const string port = std::to_string(port_of(lst.fd));

    for (const string &url : {"tcp://127.0.0.1:" + port, "http://127.0.0.1:" + port + "/live"}) {
        int kind = -1;
        fdrec *c = open_uri_dst(url.c_str(), nullptr, &kind);
        ASSERT_NE(c, nullptr) << url;
        EXPECT_EQ(kind, url[0] == 't' ? URI_TCP : URI_HTTP);
        EXPECT_EQ(c->sspec->socktype, SOCK_STREAM);
        ASSERT_TRUE(readable(lst.fd)) << url;
        Fd peer(accept(lst.fd, nullptr, nullptr));
        ASSERT_GE(peer.fd, 0);
        ASSERT_EQ(send(c->fd, "hi", 2, MSG_NOSIGNAL), 2);
        EXPECT_EQ(recv_text(peer.fd), "hi") << url;  // no GET went first
        free_fdrec(c);
    }
}

TEST(fdrec_net, source_specific_reader_by_url)
{
    EXPECT_CHILD_OK(in_netns([] {
        g_mod_ll[LM_DEFAULT] = DEBUG_level;
        LogCapture log;
        fdrec *r = open_uri_src("udp://127.0.0.1@232.1.2.3:5700", "lo", nullptr);
        CHILD_CHECK(r != nullptr);
        CHILD_CHECK(r->sspec->is_ssm && r->sspec->multicast);
        CHILD_CHECK(r->mifc != nullptr && strcmp(r->mifc->name, "lo") == 0);
        CHILD_CHECK(log.text().find("open_uri: SSM source=[127.0.0.1]\n") != string::npos);

        // A writer ignores the source.
        fdrec *w = open_uri_dst("udp://127.0.0.1@232.1.2.3:5700", "lo", nullptr);
        CHILD_CHECK(w != nullptr);
        CHILD_CHECK(!w->sspec->is_ssm && w->sspec->writer);
        const int ttl = 1;
        CHILD_CHECK(setsockopt(w->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0);
        CHILD_CHECK(send_via(w, "ssm"));
        CHILD_CHECK(recv_text(r->fd) == "ssm");
        free_fdrec(w);
        free_fdrec(r);
        g_mod_ll[LM_DEFAULT] = NORM_level;
        CHILD_CHECK(log.text().find("ERROR") == string::npos);
        return 0;
    }));
}

}  // namespace
