#include "netops.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"
#include "support.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

// An IPv4 or IPv6 address (with port) parsed from numeric text.
sockaddr_storage sa_of(const char *host, unsigned port = 0)
{
    sockaddr_storage ss{};
    auto *in = reinterpret_cast<sockaddr_in *>(&ss);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    if (inet_pton(AF_INET, host, &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(uint16_t(port));
    } else if (inet_pton(AF_INET6, host, &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(uint16_t(port));
    } else {
        ADD_FAILURE() << "bad test address " << host;
    }
    return ss;
}

const sockaddr *sa(const sockaddr_storage &ss) { return reinterpret_cast<const sockaddr *>(&ss); }

unsigned port_of(const sockaddr_storage &ss)
{
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in *>(&ss)->sin_port)
                                   : ntohs(reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_port);
}

std::string host_of(const sockaddr_storage &ss)
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (ss.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr, buf, sizeof buf);
    else
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&ss)->sin6_addr, buf,
                  sizeof buf);
    return buf;
}

// What a stream read by the dump functions holds.
struct MemStream {
    char *data = nullptr;
    size_t size = 0;
    FILE *fp = open_memstream(&data, &size);
    ~MemStream()
    {
        if (fp) fclose(fp);
        free(data);
    }
    std::string text()
    {
        fflush(fp);
        return std::string(data, size);
    }
};

// --- families ----------------------------------------------------------------------

TEST(netaddr, family_names_and_levels)
{
    EXPECT_STREQ(af_name(AF_UNSPEC), "UNSPEC");
    EXPECT_STREQ(af_name(AF_INET), "IPv4");
    EXPECT_STREQ(af_name(AF_INET6), "IPv6");
    EXPECT_STREQ(af_name(AF_UNIX), "#??#");
    EXPECT_STREQ(anyaddr_str(AF_INET), "0.0.0.0");
    EXPECT_STREQ(anyaddr_str(AF_INET6), "::");
    EXPECT_STREQ(anyaddr_str(AF_UNSPEC), "#error#");
    EXPECT_EQ(af_level(AF_INET), 0);
    EXPECT_EQ(af_level(AF_INET6), 41);
    EXPECT_EQ(af_level(AF_UNIX), -1);
}

TEST(netaddr, name2af_words)
{
    const struct {
        const char *word;
        int af;
    } cases[] = {
        {"inet4", AF_INET},    {"INET", AF_INET},      {"ipv4", AF_INET},  {"Af_Inet", AF_INET},
        {"pf_inet", AF_INET},  {"inet6", AF_INET6},    {"IPv6", AF_INET6}, {"af_inet6", AF_INET6},
        {"PF_INET6", AF_INET6}, {"", AF_UNSPEC},       {"any", AF_UNSPEC}, {"unspec", AF_UNSPEC},
        {"anyaddr", AF_UNSPEC}, {"ALL", AF_UNSPEC},    {"all", AF_UNSPEC},
    };
    LogCapture cap;
    for (const auto &c : cases) EXPECT_EQ(name2af(c.word), c.af) << c.word;
    EXPECT_EQ(cap.text(), "");
    // Near misses must not pass as a family.
    for (const char *w : {"ipx", "inet66", "ipv", "anyy"}) EXPECT_EQ(name2af(w), -1) << w;
    EXPECT_THAT(cap.text(),
                HasSubstr("name2af: unsupported address family [ipx] in configuration."));
}

TEST(netaddr, text_tests)
{
    const struct {
        const char *text;
        bool anyaddr, decimal, port;
    } cases[] = {
        {nullptr, true, false, false},       {"", true, false, false},
        {"ANY", true, false, false},         {"All", true, false, false},
        {"eth0", false, false, false},       {"123", false, true, false},
        {" -12", false, true, false},        {"+7", false, true, false},
        {"12 ", false, false, false},        {"0x10", false, false, false},
        {"10.1.2.3:5000", false, false, true}, {"a:b:12", false, false, false},
        // IPv6: a port only after the closing bracket; bare, the last
        // group is the address's own, digits or not.
        {"[fd00:92::1]", false, false, false}, {"[fd00:92::1]:0", false, false, true},
        {"fd00:92::1", false, false, false},   {"2001:db8::5:1234", false, false, false},
        {"[::1]:", false, false, false},       {"[::1]1:2", false, false, false},
        {"10.1.2.3:", false, false, false},  {"10.1.2.3:50a", false, false, false},
        {"host:-1", false, false, false},    {"1234", false, true, false},
    };
    for (const auto &c : cases) {
        const char *t = c.text ? c.text : "(null)";
        EXPECT_EQ(is_anyaddr(c.text), c.anyaddr) << t;
        EXPECT_EQ(is_decimal(c.text), c.decimal) << t;
        EXPECT_EQ(ends_with_port(c.text), c.port) << t;
    }
}

// --- address tests -------------------------------------------------------------------

TEST(netaddr, address_classes)
{
    const struct {
        const char *addr;
        int mcast, unspec;
        bool mc_local;
    } cases[] = {
        {"224.0.0.0", 1, 0, false},   {"239.255.255.255", 1, 0, false},
        {"240.0.0.0", 0, 0, false},   {"223.255.255.255", 0, 0, false},
        {"0.0.0.0", 0, 1, false},     {"127.0.0.1", 0, 0, false},
        {"ff02::1", 1, 0, true},      {"ff01::1", 1, 0, true},
        {"ff05::1", 1, 0, false},     {"ff12::1", 1, 0, true},
        {"fe80::1", 0, 0, false},     {"::", 0, 1, false},
        {"::1", 0, 0, false},
    };
    for (const auto &c : cases) {
        const sockaddr_storage ss = sa_of(c.addr);
        EXPECT_EQ(is_multicast(sa(ss)), c.mcast) << c.addr;
        EXPECT_EQ(is_unspecified(sa(ss)), c.unspec) << c.addr;
        EXPECT_EQ(is_ipv6_mc_local(sa(ss)), c.mc_local) << c.addr;
    }
}

TEST(netaddr, unknown_family_is_reported)
{
    sockaddr_storage ss{};
    ss.ss_family = AF_UNIX;
    LogCapture cap;
    EXPECT_EQ(is_multicast(sa(ss)), -1);
    EXPECT_EQ(is_unspecified(sa(ss)), -1);
    EXPECT_FALSE(is_ipv6_mc_local(sa(ss)));
    EXPECT_EQ(saddr_len(sa(ss)), socklen_t(-1));
    EXPECT_EQ(saddr_size(sa(ss)), socklen_t(-1));
    const std::string t = cap.text();
    EXPECT_THAT(t, HasSubstr("is_multicast: unrecognized family: 1\n"));
    EXPECT_THAT(t, HasSubstr("is_unspecified: unrecognized family: 1\n"));
    EXPECT_THAT(t, HasSubstr("saddr_len: unrecognized socket family: 1\n"));
    EXPECT_THAT(t, HasSubstr("saddr_size: unrecognized socket family: 1\n"));
}

TEST(netaddr, lengths_and_equality)
{
    EXPECT_EQ(saddr_len(sa(sa_of("10.0.0.1"))), 16u);
    EXPECT_EQ(saddr_len(sa(sa_of("::1"))), 28u);
    EXPECT_EQ(saddr_size(sa(sa_of("::1"))), 28u);
    // Ports and scope do not make two addresses different.
    EXPECT_TRUE(saddr_equal(sa(sa_of("10.0.0.1", 80)), sa(sa_of("10.0.0.1", 90))));
    EXPECT_FALSE(saddr_equal(sa(sa_of("10.0.0.1")), sa(sa_of("10.0.0.2"))));
    sockaddr_storage a = sa_of("fe80::1", 1), b = sa_of("fe80::1", 2);
    reinterpret_cast<sockaddr_in6 *>(&b)->sin6_scope_id = 7;
    EXPECT_TRUE(saddr_equal(sa(a), sa(b)));
    EXPECT_FALSE(saddr_equal(sa(a), sa(sa_of("fe80::2"))));
}

TEST(netaddr, datagram_reach)
{
    // Whether a socket bound to `bound` receives what is sent to `to`.
    const struct {
        const char *to;
        int to_port;
        const char *bound;
        int bound_port;
        bool reaches;
    } cases[] = {
        {"127.0.0.1", 5000, "127.0.0.1", 5000, true},
        {"127.0.0.1", 5000, "127.0.0.1", 5001, false},
        {"127.0.0.2", 5000, "127.0.0.1", 5000, false},
        // The wildcard receives on every local address of its family; the
        // IPv6 one on IPv4 ones too.
        {"127.0.0.1", 5000, "0.0.0.0", 5000, true},
        {"127.0.0.9", 5000, "0.0.0.0", 5000, true},
        {"0.0.0.0", 5000, "0.0.0.0", 5000, true},
        {"::1", 5000, "::", 5000, true},
        {"127.0.0.1", 5000, "::", 5000, true},
        {"::1", 5000, "0.0.0.0", 5000, false},
        {"192.0.2.1", 5000, "0.0.0.0", 5000, false},  // not an address of this host
        {"239.1.1.1", 5000, "0.0.0.0", 5000, false},
        // Mapped IPv4 is IPv4, either side.
        {"::ffff:127.0.0.1", 5000, "127.0.0.1", 5000, true},
        {"127.0.0.1", 5000, "::ffff:127.0.0.1", 5000, true},
        {"::ffff:127.0.0.1", 5000, "0.0.0.0", 5000, true},
        // The wildcard as destination is delivered over loopback.
        {"0.0.0.0", 5000, "127.0.0.1", 5000, true},
        {"::", 5000, "::1", 5000, true},
        // A group is received by a socket bound to it.
        {"239.1.1.1", 5000, "239.1.1.1", 5000, true},
        {"239.1.1.2", 5000, "239.1.1.1", 5000, false},
        {"ff3e::9:2", 5000, "ff3e::9:2", 5000, true},
    };
    for (const auto &c : cases) {
        const sockaddr_storage to = sa_of(c.to, uint16_t(c.to_port));
        const sockaddr_storage bound = sa_of(c.bound, uint16_t(c.bound_port));
        EXPECT_EQ(saddr_reaches(sa(to), sa(bound)), c.reaches) << c.to << " -> " << c.bound;
    }
    for (const char *local : {"0.0.0.0", "127.0.0.1", "127.3.2.1", "::", "::ffff:127.0.0.1"})
        EXPECT_TRUE(saddr_is_local(sa(sa_of(local)))) << local;
    for (const char *other : {"192.0.2.1", "239.1.1.1", "2001:db8::1"})
        EXPECT_FALSE(saddr_is_local(sa(sa_of(other)))) << other;

    // By text: an empty host as the wildcard; a name is never resolved
    // here (the caller looks names up off the event loop).
    EXPECT_FALSE(hostport_reaches("localhost", "5000", "127.0.0.1", "5000"));
    EXPECT_FALSE(hostport_reaches("127.0.0.1", "5000", "localhost", "05000"));
    EXPECT_TRUE(hostport_reaches("127.0.0.1", "5000", "127.0.0.1", "05000"));
    EXPECT_TRUE(hostport_reaches("127.0.0.1", "5000", "", "5000"));
    EXPECT_FALSE(hostport_reaches("localhost", "5000", "127.0.0.1", "5001"));
    EXPECT_FALSE(hostport_reaches("127.0.0.1", "x", "0.0.0.0", "5000"));
}

TEST(netaddrDeathTest, mixed_families_assert)
{
    const sockaddr_storage a = sa_of("10.0.0.1"), b = sa_of("::1");
    EXPECT_DEATH(saddr_equal(sa(a), sa(b)), "ASSERT at:");
    sockaddr_storage u{};
    u.ss_family = AF_UNIX;
    EXPECT_DEATH(saddr_equal(sa(u), sa(u)), "ASSERT at:");
}

TEST(netaddr, copies)
{
    sockaddr_storage src = sa_of("2001:db8::7", 4000), dst;
    memset(&dst, 0xab, sizeof dst);
    cpy_sockaddr(sa(src), reinterpret_cast<sockaddr *>(&dst), sizeof dst);
    EXPECT_EQ(memcmp(&src, &dst, sizeof(sockaddr_in6)), 0);
    EXPECT_EQ(reinterpret_cast<const unsigned char *>(&dst)[sizeof(sockaddr_in6)], 0xab);

    // The any-address keeps the port.
    sockaddr_storage ss = sa_of("10.9.8.7", 5000);
    cpy_anyaddr(AF_INET, &ss);
    EXPECT_EQ(host_of(ss), "0.0.0.0");
    EXPECT_EQ(port_of(ss), 5000u);
    ss = sa_of("2001:db8::1", 6000);
    cpy_anyaddr(AF_INET6, &ss);
    EXPECT_EQ(host_of(ss), "::");
    EXPECT_EQ(port_of(ss), 6000u);
}

TEST(netaddrDeathTest, copy_invariants)
{
    const sockaddr_storage src = sa_of("::1");
    sockaddr_in small{};
    EXPECT_DEATH(cpy_sockaddr(sa(src), reinterpret_cast<sockaddr *>(&small), sizeof small),
                 "ASSERT at:");
    sockaddr_storage ss{};
    EXPECT_DEATH(cpy_anyaddr(AF_UNIX, &ss), "Aborting at:");
}

// --- text forms --------------------------------------------------------------------------

TEST(netaddr, saddr_str_forms)
{
    char buf[128];
    const sockaddr_storage v4 = sa_of("192.0.2.1", 80), v6 = sa_of("::1", 80);
    EXPECT_STREQ(saddr_str(sa(v4), 16, buf, sizeof buf), "192.0.2.1:80");
    EXPECT_STREQ(saddr_str(sa(v6), 28, buf, sizeof buf), "[::1]:80");

    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    strcpy(un.sun_path, "/tmp/s");
    EXPECT_STREQ(saddr_str(reinterpret_cast<const sockaddr *>(&un), sizeof un, buf, sizeof buf),
                 "DOMAIN /tmp/s:");
    // A path that fills sun_path has no terminator of its own.
    memset(un.sun_path, 'p', sizeof un.sun_path);
    const std::string full = "DOMAIN " + std::string(sizeof un.sun_path, 'p') + ":";
    char big[256];
    EXPECT_EQ(saddr_str(reinterpret_cast<const sockaddr *>(&un), sizeof un, big, sizeof big),
              full);

    // A small buffer gets a cut, terminated text.
    char small[8];
    memset(small, 'x', sizeof small);
    EXPECT_STREQ(saddr_str(sa(v4), 16, small, sizeof small), "192.0.2");

    LogCapture cap;
    sockaddr_storage other{};
    other.ss_family = AF_APPLETALK;
    EXPECT_EQ(saddr_str(sa(other), sizeof other, buf, sizeof buf), nullptr);
    EXPECT_EQ(cap.text(), "");
}

TEST(netaddr, peer_address_text)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    char buf[64];
    EXPECT_STREQ(get_peer_ipaddr(sv[0], buf, sizeof buf), "DOMAIN :");
    close(sv[0]);
    close(sv[1]);

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    LogCapture cap;
    errno = 0;
    EXPECT_EQ(get_peer_ipaddr(p[0], buf, sizeof buf), nullptr);
    EXPECT_EQ(errno, ENOTSOCK);
    EXPECT_THAT(cap.text(), HasSubstr("get_peer_ipaddr: getpeername(fd" + std::to_string(p[0]) +
                                      ",...) ERROR(88): "));
    close(p[0]);
    close(p[1]);
}

TEST(netaddr, dump_formats)
{
    const sockaddr_storage ss = sa_of("192.0.2.9", 53);
    addrinfo ai{};
    ai.ai_flags = AI_PASSIVE;
    ai.ai_family = AF_INET;
    ai.ai_socktype = SOCK_DGRAM;
    ai.ai_protocol = 17;
    ai.ai_addrlen = 16;
    ai.ai_addr = const_cast<sockaddr *>(sa(ss));
    MemStream m;
    dump_ai(m.fp, &ai);
    EXPECT_EQ(m.text(),
              "PF_INET = 2, PF_INET6 = 10, SOCK_STREAM = 1, SOCK_DGRAM = 2\n"
              "ai_flags    =\t0x01\n"
              "ai_family   =\t2\n"
              "ai_socktype =\t2\n"
              "ai_protocol =\t17\n"
              "ai_addrlen  =\t16\n"
              "ai_addr     =\t192.0.2.9:53\n"
              "ai_canonname=\tNULL\n");

    MemStream d;
    dump_sa_info(d.fp, "here", sa(sa_of("2001:db8::1", 7)), 28);
    dump_sa_info(d.fp, nullptr, sa(ss), 16);
    dump_sa_info(d.fp, "bad", sa(ss), 3);  // too short for getnameinfo
    EXPECT_THAT(d.text(), HasSubstr("here IPv6 2001:db8::1:7\n IPv4 192.0.2.9:53\n"
                                    "dump_sa_info: getnameinfo error (-6): "));
}

// --- resolution ------------------------------------------------------------------------------

TEST(netaddr, mk_sockaddr_accepts)
{
    const struct {
        const char *text;
        int af;
        const char *host;
        unsigned port;
    } cases[] = {
        {"10.1.2.3:5000", AF_INET, "10.1.2.3", 5000},
        {"2001:db8::5:1234", AF_INET6, "2001:db8::5", 1234},
        {"239.255.0.1:0", AF_INET, "239.255.0.1", 0},
        {"10.1.2.3:65535", AF_INET, "10.1.2.3", 65535},
        // In brackets an IPv6 address is whole, however short or ended.
        {"[fd00:92::1]:111", AF_INET6, "fd00:92::1", 111},
        {"[::1]:0", AF_INET6, "::1", 0},
        {"[fd00:92:0:0:0:0:0:1]:5", AF_INET6, "fd00:92::1", 5},
        {"[::ffff:127.0.0.1]:7", AF_INET6, "::ffff:127.0.0.1", 7},
    };
    for (const auto &c : cases) {
        sockaddr_storage ss{};
        socklen_t len = 0;
        ASSERT_EQ(mk_sockaddr(c.text, SOCK_DGRAM, 0, &ss, &len), 0) << c.text;
        EXPECT_EQ(ss.ss_family, c.af) << c.text;
        EXPECT_EQ(len, c.af == AF_INET ? 16u : 28u) << c.text;
        EXPECT_EQ(host_of(ss), c.host) << c.text;
        EXPECT_EQ(port_of(ss), c.port) << c.text;
    }
}

TEST(netaddr, mk_sockaddr_refusals)
{
    const struct {
        const char *text;
        int rc;
        const char *msg;
    } cases[] = {
        {"10.1.2.3", 22, "mk_sockaddr: invalid address/port: 10.1.2.3\n"},
        {"12345:80", 22, "mk_sockaddr: cannot accept plain number [12345] as IP address\n"},
        {"::1:80", 22, "mk_sockaddr: cannot accept plain number [::1] as IP address\n"},
        {":80", 22, "mk_sockaddr: cannot accept plain number [] as IP address\n"},
        {"1.2.3:80", 22, "mk_sockaddr: cannot accept plain number [1.2.3] as IP address\n"},
        {"localhost:http", 22, "mk_sockaddr: port must be plain decimal number [http]\n"},
        {"10.1.2.3:", 22, "mk_sockaddr: port must be plain decimal number []\n"},
        {"10.1.2.3:80x", 22, "mk_sockaddr: port must be plain decimal number [80x]\n"},
        // The resolver would take 70000 as 4464: another port than asked.
        {"10.1.2.3:70000", 22, "mk_sockaddr: port out of range 0..65535 [70000]\n"},
        {"10.1.2.3:-1", 22, "mk_sockaddr: port out of range 0..65535 [-1]\n"},
        {"10.1.2.3:99999999999999999999", 22, "port out of range 0..65535 [9999"},
        {"[2001:db8::1]", 22, "mk_sockaddr: invalid address/port: [2001:db8::1]\n"},
        {"[2001:db8::1]x:80", 22, "mk_sockaddr: invalid address/port: [2001:db8::1]x:80\n"},
        {"[2001:db8::1:80", 22, "mk_sockaddr: invalid address/port: [2001:db8::1:80\n"},
        {"[]:80", 22, "mk_sockaddr: invalid address/port: []:80\n"},
        {"[1234]:80", 22, "mk_sockaddr: cannot accept plain number [1234] as IP address\n"},
        {"[::1]:x", 22, "mk_sockaddr: port must be plain decimal number [x]\n"},
    };
    for (const auto &c : cases) {
        sockaddr_storage ss{};
        socklen_t len = 0;
        LogCapture cap;
        EXPECT_EQ(mk_sockaddr(c.text, SOCK_STREAM, 0, &ss, &len), c.rc) << c.text;
        EXPECT_THAT(cap.text(), HasSubstr(c.msg)) << c.text;
        EXPECT_EQ(ss.ss_family, AF_UNSPEC) << c.text;
    }
}

TEST(netaddr, mk_sockaddr_refuses_overlong_text)
{
    // 127 characters resolve (zeros pad the port), 128 are refused whole:
    // a cut text would name another address.
    const std::string head = "10.1.2.3:";
    std::string text = head + std::string(127 - head.size() - 4, '0') + "5000";
    ASSERT_EQ(text.size(), 127u);
    sockaddr_storage ss{};
    socklen_t len = 0;
    ASSERT_EQ(mk_sockaddr(text.c_str(), SOCK_DGRAM, 0, &ss, &len), 0);
    EXPECT_EQ(port_of(ss), 5000u);

    for (size_t n : {128u, 200u}) {
        text = head + std::string(n - head.size() - 4, '0') + "5000";
        ss = sockaddr_storage{};
        LogCapture cap;
        errno = 0;
        EXPECT_EQ(mk_sockaddr(text.c_str(), SOCK_DGRAM, 0, &ss, &len), E2BIG) << n;
        EXPECT_EQ(errno, E2BIG);
        EXPECT_EQ(ss.ss_family, AF_UNSPEC);
        EXPECT_THAT(cap.text(), HasSubstr("mk_sockaddr: address/port text of " +
                                          std::to_string(n) +
                                          " characters is too long (at most 127)"));
    }
}

TEST(netaddrDeathTest, mk_sockaddr_socket_type)
{
    sockaddr_storage ss{};
    socklen_t len = 0;
    EXPECT_DEATH(mk_sockaddr("10.1.2.3:80", SOCK_RAW, 0, &ss, &len), "ASSERT at:");
}

// --- interfaces ----------------------------------------------------------------------------

TEST(netaddr, loopback_interface_by_name_and_address)
{
    const unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u);

    sockaddr_storage ss{};
    EXPECT_EQ(ifaddr_index("lo", &ss), lo);
    EXPECT_EQ(ss.ss_family, AF_UNSPEC);  // a name leaves ss alone
    EXPECT_EQ(ifaddr_index("127.0.0.1", &ss), lo);
    EXPECT_EQ(host_of(ss), "127.0.0.1");
    EXPECT_EQ(ifaddr_index("127.0.0.1", nullptr), lo);

    for (const char *tag : {"lo", "127.0.0.1"}) {
        ifc_info *ifi = get_ifc_info(AF_INET, tag);
        ASSERT_NE(ifi, nullptr) << tag;
        EXPECT_EQ(ifi->idx, lo);
        EXPECT_STREQ(ifi->name, "lo");
        EXPECT_EQ(host_of(ifi->ss), "127.0.0.1");
        free(ifi);
    }

    sockaddr_in sin{};
    EXPECT_EQ(ifc_addr_lookup(AF_INET, "lo", reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    EXPECT_EQ(ntohl(sin.sin_addr.s_addr), 0x7f000001u);
}

TEST(netaddr, unknown_interfaces_are_refused)
{
    LogCapture cap;
    // 198.51.100.0/24 is a documentation range no interface here holds.
    EXPECT_EQ(get_ifc_info(AF_INET, "198.51.100.77"), nullptr);
    EXPECT_THAT(cap.text(), HasSubstr("[198.51.100.77] is not a valid IPv4 interface address.\n"));
    EXPECT_EQ(ifaddr_index("no-such-ifc", nullptr), 0u);

    // Names longer than 15 characters cannot be interface names; never cut.
    const char *longname = "lo0123456789abcdef";
    cap.clear();
    EXPECT_EQ(get_ifc_info(AF_INET, longname), nullptr);
    EXPECT_THAT(cap.text(), HasSubstr("is not a valid IPv4 interface address.\n"));
    sockaddr_storage ss{};
    cap.clear();
    errno = 0;
    EXPECT_EQ(ifc_addr_lookup(AF_INET, longname, reinterpret_cast<sockaddr *>(&ss), sizeof ss),
              E2BIG);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_THAT(cap.text(), HasSubstr("ifc_addr_lookup: interface name too long [" +
                                      std::string(longname) + "] (at most 15 characters)\n"));

    cap.clear();
    EXPECT_EQ(ifc_addr_lookup(AF_INET, "no-such-ifc", reinterpret_cast<sockaddr *>(&ss),
                              sizeof ss),
              -1);
    EXPECT_THAT(cap.text(), HasSubstr("ifc_addr_lookup: failed to look up address for "
                                      "ifc=no-such-ifc\n"));
}

TEST(netaddr, any_interface_record)
{
    for (int af : {AF_INET, AF_INET6}) {
        ifc_info *ifi = any_ifc_info(af);
        ASSERT_NE(ifi, nullptr);
        EXPECT_EQ(ifi->idx, 0u);
        EXPECT_STREQ(ifi->name, "");
        EXPECT_EQ(ifi->ss.ss_family, af);
        EXPECT_EQ(is_unspecified(sa(ifi->ss)), 1);
        free(ifi);
    }
}

// --- socket_spec and the refusals of open_socket -------------------------------------------

TEST(netops, role_flags_are_the_first_word_in_order)
{
    const struct {
        void (*set)(socket_spec &);
        unsigned bit;
    } cases[] = {
        {[](socket_spec &s) { s.writer = 1; }, SOCK_ROLE_WRITER},
        {[](socket_spec &s) { s.passive = 1; }, SOCK_ROLE_PASSIVE},
        {[](socket_spec &s) { s.multicast = 1; }, SOCK_ROLE_MULTICAST},
        {[](socket_spec &s) { s.non_blocking = 1; }, SOCK_ROLE_NON_BLOCKING},
        {[](socket_spec &s) { s.async_connect = 1; }, SOCK_ROLE_ASYNC_CONNECT},
        {[](socket_spec &s) { s.defer_listen = 1; }, SOCK_ROLE_DEFER_LISTEN},
    };
    for (const auto &c : cases) {
        socket_spec s{};
        c.set(s);
        unsigned word = 0;
        memcpy(&word, &s, sizeof word);
        EXPECT_EQ(word, c.bit);
    }
    EXPECT_EQ(offsetof(socket_spec, family), sizeof(unsigned));
}

socket_spec dgram_reader(int af = AF_UNSPEC)
{
    socket_spec s{};
    s.family = af;
    s.socktype = SOCK_DGRAM;
    return s;
}

TEST(netops, open_socket_port_refusals)
{
    for (const char *port : {"", "http", "00", "70000", "-1", "80abc", "65536"}) {
        socket_spec s = dgram_reader();
        LogCapture cap;
        errno = 0;
        EXPECT_EQ(open_socket("127.0.0.1", port, nullptr, &s, nullptr, nullptr), -1) << port;
        EXPECT_EQ(errno, EINVAL) << port;
        EXPECT_THAT(cap.text(), HasSubstr("open_socket: empty or invalid port [" +
                                          std::string(port) + "]\n"));
    }
}

TEST(netops, open_socket_plain_number_address)
{
    socket_spec s = dgram_reader();
    LogCapture cap;
    EXPECT_EQ(open_socket("3232235777", "5000", nullptr, &s, nullptr, nullptr), -1);
    EXPECT_THAT(cap.text(),
                HasSubstr("open_socket: cannot accept plain number [3232235777] as IP address\n"));
}

TEST(netops, open_socket_ssm_source_refusals)
{
    const struct {
        int af;
        const char *src;
        const char *msg;
    } cases[] = {
        // An IPv6 source is resolved whatever it ends with, bracketed or
        // bare, with a port or not: only its family keeps it from an IPv4
        // group.
        {AF_INET, "2001:db8::1", "open_socket: SMM src/addr family mismatch: 10/2\n"},
        {AF_INET, "[2001:db8::1]", "open_socket: SMM src/addr family mismatch: 10/2\n"},
        {AF_INET, "[2001:db8::1]:0", "open_socket: SMM src/addr family mismatch: 10/2\n"},
        {AF_INET, "[2001:db8::5:1234]:9", "open_socket: SMM src/addr family mismatch: 10/2\n"},
        {AF_UNSPEC, "[2001:db8::1", "open_socket: invalid SSM source: [2001:db8::1:111\n"},
        {AF_UNSPEC, "[]", "open_socket: invalid SSM source: []:111\n"},
        {AF_INET6, "10.0.0.1", "open_socket: SMM src/addr family mismatch: 2/10\n"},
        {AF_INET, "2001:db8::a", "open_socket: SMM src/addr family mismatch: 10/2\n"},
        {AF_UNSPEC, "1234", "open_socket: invalid SSM source: 1234:111\n"},
    };
    for (const auto &c : cases) {
        socket_spec s = dgram_reader(c.af);
        LogCapture cap;
        EXPECT_EQ(open_socket("239.1.1.1", "5000", c.src, &s, nullptr, nullptr), -1) << c.src;
        EXPECT_THAT(cap.text(), HasSubstr(c.msg)) << c.src;
        EXPECT_TRUE(s.is_ssm);
    }
}

TEST(netops, open_socket_ssm_source_lengths)
{
    // Sources with their port up to 79 characters and without one up to
    // 74 (78 with ":111") are taken; longer ones are refused, never cut.
    // The texts taken are numeric, so nothing is looked up by name.
    const std::string v4 = "10.0.0.1";
    const struct {
        std::string src;
        bool refused;
    } cases[] = {
        {v4 + ":" + std::string(79 - v4.size() - 5, '0') + "4000", false},
        {v4 + ":" + std::string(80 - v4.size() - 5, '0') + "4000", true},
        {std::string(73, '0') + "1", false},  // taken, then refused as a plain number
        {std::string(74, '0') + "1", true},
    };
    for (const auto &c : cases) {
        socket_spec s = dgram_reader(AF_INET6);
        LogCapture cap;
        errno = 0;
        EXPECT_EQ(open_socket("ff15::1", "5000", c.src.c_str(), &s, nullptr, nullptr), -1);
        if (c.refused) {
            EXPECT_EQ(errno, E2BIG) << c.src;
            EXPECT_THAT(cap.text(), HasSubstr("open_socket: SSM source of ")) << c.src;
        } else {
            EXPECT_THAT(cap.text(), Not(HasSubstr("too long"))) << c.src;
        }
    }
}

TEST(netops, listener_port_refusals)
{
    for (const char *port : {"70000", "0", "", "80abc", "-80"}) {
        sockaddr_storage ss = sa_of("127.0.0.1");
        LogCapture cap;
        EXPECT_EQ(open_listener(&ss, port, 0), -1) << port;
        EXPECT_EQ(open_udp_listener(&ss, port), -1) << port;
        const std::string t = cap.text();
        EXPECT_THAT(t, HasSubstr("open_listener: invalid port number: " + std::string(port) +
                                 "\n"));
        EXPECT_THAT(t, HasSubstr("open_udp_listener: invalid port number: " +
                                 std::string(port) + "\n"));
    }
    sockaddr_storage ss{};
    ss.ss_family = AF_UNIX;
    LogCapture cap;
    EXPECT_EQ(open_listener(&ss, "80", 0), -1);
    EXPECT_THAT(cap.text(), HasSubstr("open_listener: invalid network family: 1\n"));
}

TEST(netops, domain_paths_too_long_are_refused)
{
    TempDir dir;
    std::string path = dir.path() + "/";
    path += std::string(108 - path.size(), 's');  // 108 characters: one too many
    LogCapture cap;
    errno = 0;
    EXPECT_EQ(open_domain_listener(path.c_str()), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_THAT(cap.text(),
                HasSubstr("open_domain_listener: socket path of 108 characters is too long "
                          "(at most 107)"));
    EXPECT_THAT(cap.text(), HasSubstr("open_domain_listener: failed for path=[" + path + "]\n"));
    // Nothing was made under the cut name either.
    EXPECT_FALSE(file_exists(path.substr(0, 107)));

    cap.clear();
    errno = 0;
    EXPECT_EQ(open_domain_client(path.c_str(), 1, 0), -1);
    EXPECT_EQ(errno, E2BIG);
    EXPECT_THAT(cap.text(), HasSubstr("open_domain_client: socket path of 108 characters"));
}

TEST(netops, buffer_length_beyond_int_is_refused)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    LogCapture cap;
    errno = 0;
    EXPECT_EQ(set_socket_rcvbuf(fd, (uint64_t(1) << 32) + 65536), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_THAT(cap.text(), HasSubstr("set_socket_buflen: buffer length 4295032832 for fd="));
    close(fd);
}

TEST(netops, ipv6_output_interface_needs_an_index)
{
    LogCapture cap;
    EXPECT_EQ(set_ipv6_sock_ifc(0, 0), -1);
    EXPECT_THAT(cap.text(), HasSubstr("set_ipv6_sock_ifc: network interface must be specified\n"));
}

// --- membership requests that never reach the system -------------------------------------------

TEST(netops, ipv6_group_scope_from_the_interface)
{
    sockaddr_storage grp = sa_of("ff02::1234", 5000);
    sockaddr_storage ifc = sa_of("fe80::1");
    reinterpret_cast<sockaddr_in6 *>(&ifc)->sin6_scope_id = 5;
    LogCapture cap;
    sync_ipv6addr_scope_id(reinterpret_cast<sockaddr *>(&grp), "eth9", &ifc);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&grp)->sin6_scope_id, 5u);
    EXPECT_THAT(cap.text(), HasSubstr("updated IPv6 address scope ID to 5\n"));

    // A scope id the group has already stays.
    cap.clear();
    reinterpret_cast<sockaddr_in6 *>(&ifc)->sin6_scope_id = 9;
    sync_ipv6addr_scope_id(reinterpret_cast<sockaddr *>(&grp), "eth9", &ifc);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&grp)->sin6_scope_id, 5u);
    EXPECT_THAT(cap.text(), HasSubstr("IPv6 address scope ID 5 left unchanged\n"));

    // Neither an interface address nor a name: nothing to take it from.
    cap.clear();
    grp = sa_of("ff02::1234");
    sockaddr_storage none{};
    sync_ipv6addr_scope_id(reinterpret_cast<sockaddr *>(&grp), nullptr, &none);
    EXPECT_EQ(reinterpret_cast<sockaddr_in6 *>(&grp)->sin6_scope_id, 0u);
    EXPECT_THAT(cap.text(), HasSubstr("sync_ipv6addr_scope_id: cannot set scope id, interface or "
                                      "link-specific address must be selected\n"));

    // An interface address without a scope id leaves the group as it is.
    cap.clear();
    sockaddr_storage global = sa_of("2001:db8::1");
    sync_ipv6addr_scope_id(reinterpret_cast<sockaddr *>(&grp), "eth9", &global);
    EXPECT_THAT(cap.text(), HasSubstr("IPv6 address scope ID 0 left unchanged\n"));

    // IPv4 groups have no scope.
    cap.clear();
    sockaddr_storage v4 = sa_of("239.1.1.1");
    sync_ipv6addr_scope_id(reinterpret_cast<sockaddr *>(&v4), "eth9", &ifc);
    EXPECT_EQ(cap.text(), "");
}

TEST(netops, membership_requests_refuse_bad_families)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_storage unix_grp{};
    unix_grp.ss_family = AF_UNIX;
    const sockaddr_storage v4 = sa_of("232.1.1.1"), v6 = sa_of("2001:db8::1");
    for (int legacy : {0, 1}) {
        set_legacy_mcast_api(legacy);
        LogCapture cap;
        EXPECT_EQ(mcast_join(fd, sa(unix_grp), nullptr), -1);
        EXPECT_THAT(cap.text(), HasSubstr("mcast_join: unsupported family 1\n"));
        cap.clear();
        errno = 0;
        EXPECT_EQ(ssm_join(fd, sa(v6), sa(v4), nullptr), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_THAT(cap.text(), HasSubstr("ssm_join: SSM_JOIN source/group family mismatch: "
                                          "10/2\n"));
    }
    set_legacy_mcast_api(0);
    close(fd);
}

}  // namespace
