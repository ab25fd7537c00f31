// Endpoint records opened from datagram URLs on loopback, and a
// source-specific reader inside a private network namespace:
//
//   child's own namespace:  lo  127.0.0.1    224.0.0.0/4 routed via lo
#include "fdrec.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "log.h"
#include "netns.h"
#include "support.h"
#include "uri.h"

using std::string;

namespace {

unsigned port_of(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

// Sends text through writer w and reads it back on fd, waiting at most 5 s.
bool passes(const fdrec *w, int fd, const string &text)
{
    const auto *to = reinterpret_cast<const sockaddr *>(&w->sspec->addr_ss);
    if (sendto(w->fd, text.data(), text.size(), 0, to, w->sspec->addr_len) < 0) return false;
    pollfd p{fd, POLLIN, 0};
    char buf[64];
    return poll(&p, 1, 5000) == 1 && recv(fd, buf, sizeof buf, 0) == ssize_t(text.size()) &&
           string(buf, text.size()) == text;
}

TEST(fdrec_net, datagram_reader_and_writer_by_url)
{
    int kind = -1;
    fdrec *r = open_uri_src("udp://127.0.0.1:0", nullptr, &kind);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(kind, URI_UDP);
    EXPECT_TRUE(S_ISSOCK(r->mode) && !r->sspec->writer && r->mifc == nullptr);
    EXPECT_NE(string(get_fdrec_tag(r)).find(").SOCK(" + std::to_string(r->fd) + ")"), string::npos);
    const string port = std::to_string(port_of(r->fd));
    fdrec *w = open_uri_dst(("udp://127.0.0.1:" + port).c_str(), nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->sspec->writer);
    EXPECT_TRUE(passes(w, r->fd, "datagram"));
    free_fdrec(w);
    free_fdrec(r);
}

TEST(fdrec_net, source_specific_reader_by_url)
{
    EXPECT_CHILD_OK(in_netns([] {
        g_mod_ll[LM_DEFAULT] = DEBUG_level;
        LogCapture log;
        fdrec *r = open_uri_src("udp://127.0.0.1@232.1.2.3:5700", "lo", nullptr);
        CHILD_CHECK(r && r->sspec->is_ssm && r->sspec->multicast && r->mifc);
        CHILD_CHECK(log.text().find("open_uri: SSM source=[127.0.0.1]\n") != string::npos);
        fdrec *w = open_uri_dst("udp://127.0.0.1@232.1.2.3:5700", "lo", nullptr);
        CHILD_CHECK(w && !w->sspec->is_ssm);  // a writer ignores the source
        CHILD_CHECK(passes(w, r->fd, "ssm"));
        free_fdrec(w);
        free_fdrec(r);
        return 0;
    }));
}

}  // namespace
