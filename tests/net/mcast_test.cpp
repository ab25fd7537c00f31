// Multicast and source-specific multicast, each case in a private network
// namespace made by the test, so nothing is sent outside it.
//
// One host (enter_private_netns), IPv4 on lo:
//
//   lo   127.0.0.1, 127.0.0.2         224.0.0.0/4 routed via lo
//
// IPv6 routes through lo become reject routes, so the IPv6 cases add a veth
// pair to the same namespace and use one end, whose multicast the kernel
// loops back to local members:
//
//   v6a  fd00:6::a, ::b, ::1, fe80::a   <-- veth -->   v6b  (up, unused)
//
// Two hosts (VethPair), for choosing the interface by name or address:
//
//   ns A (writer)                    ns B (reader)
//   va  10.71.0.1/24  <-- veth -->   vb  10.71.0.2/24     (no multicast routes)
//
// Each case runs in a forked child that reports through its exit status.
#include "netops.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "log.h"
#include "netns.h"
#include "support.h"

namespace {

constexpr int WAIT_MS = 5000;

struct IfcOwner {
    ifc_info *p = nullptr;
    ~IfcOwner() { free(p); }
};

// Receives one datagram within ms; its text, or "" when none came.
std::string recv_text(int fd, sockaddr_storage *from = nullptr, int ms = WAIT_MS)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buf[256];
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&ss), &len);
    if (n <= 0) return "";
    if (from) *from = ss;
    return std::string(buf, size_t(n));
}

bool send_text(int fd, const socket_spec &s, const std::string &text)
{
    return sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr *>(&s.addr_ss), s.addr_len) == ssize_t(text.size());
}

std::string read_proc(const char *path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// True when /proc/net/igmp lists the IPv4 group on the device.
bool igmp_has(const std::string &dev, const char *group)
{
    in_addr a{};
    inet_pton(AF_INET, group, &a);
    char hex[16];
    snprintf(hex, sizeof hex, "%08X", a.s_addr);  // the kernel prints the raw word
    std::istringstream in(read_proc("/proc/net/igmp"));
    std::string line, cur;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] != '\t') {
            std::istringstream f(line);
            std::string idx;
            f >> idx >> cur;
            continue;
        }
        if (cur == dev && line.find(hex) != std::string::npos) return true;
    }
    return false;
}

// The 32 hex digits /proc prints for an IPv6 address.
std::string hex6(const char *addr)
{
    in6_addr a{};
    inet_pton(AF_INET6, addr, &a);
    std::string out;
    char b[3];
    for (uint8_t x : a.s6_addr) {
        snprintf(b, sizeof b, "%02x", x);
        out += b;
    }
    return out;
}

// True when a line of the /proc file holds every one of the words.
bool proc_line_has(const char *path, std::initializer_list<std::string> words)
{
    std::istringstream in(read_proc(path));
    std::string line;
    while (std::getline(in, line)) {
        bool all = true;
        for (const auto &w : words) all = all && line.find(w) != std::string::npos;
        if (all) return true;
    }
    return false;
}

// /proc/net/mcfilter prints group and source as host-order hex.
std::string hex4(const char *addr)
{
    in_addr a{};
    inet_pton(AF_INET, addr, &a);
    char b[16];
    snprintf(b, sizeof b, "0x%08x", ntohl(a.s_addr));
    return b;
}

int in_opt_ifaddr(int fd)
{
    in_addr a{};
    socklen_t len = sizeof a;
    if (getsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &a, &len) != 0) return -1;
    return int(ntohl(a.s_addr) & 0x7fffffff);
}

socket_spec reader(int af = AF_UNSPEC)
{
    socket_spec s{};
    s.family = af;
    s.socktype = SOCK_DGRAM;
    s.non_blocking = 1;
    return s;
}

socket_spec writer(int af = AF_UNSPEC)
{
    socket_spec s = reader(af);
    s.writer = 1;
    return s;
}

// A plain UDP socket bound to a local source address, for sending as one
// of two hosts.
int bound_sender(int af, const char *src)
{
    int fd = socket(af, SOCK_DGRAM, 0);
    sockaddr_storage ss{};
    socklen_t len;
    if (af == AF_INET) {
        auto *in = reinterpret_cast<sockaddr_in *>(&ss);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, src, &in->sin_addr);
        len = sizeof *in;
        const int ttl = 1;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, src, &in6->sin6_addr);
        len = sizeof *in6;
        const int hops = 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
        const int ifx = int(if_nametoindex("v6a"));
        setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifx, sizeof ifx);
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// --- any-source, IPv4 ---------------------------------------------------------------------

// Reader and TTL-1 writer on one group, joined on lo by name; the
// membership shows in /proc/net/igmp until the reader leaves.  With legacy
// set, the per-family requests do the same.
int asm_ipv4_case(bool legacy, const char *ifc_tag)
{
    set_legacy_mcast_api(legacy);
    const char *group = "239.1.2.3";
    const unsigned lo = if_nametoindex("lo");

    socket_spec rs = reader();
    IfcOwner rifi;
    Fd r(open_socket(group, "5500", nullptr, &rs, ifc_tag, &rifi.p));
    CHILD_CHECK(r.fd >= 0);
    CHILD_CHECK(rs.multicast);
    CHILD_CHECK(rs.family == AF_INET);
    CHILD_CHECK(!rs.is_ssm);
    CHILD_CHECK(rifi.p != nullptr);
    CHILD_CHECK(rifi.p->idx == lo);
    CHILD_CHECK(strcmp(rifi.p->name, "lo") == 0);
    CHILD_CHECK(igmp_has("lo", group));

    socket_spec ws = writer();
    IfcOwner wifi;
    Fd w(open_socket(group, "5500", nullptr, &ws, ifc_tag, &wifi.p));
    CHILD_CHECK(w.fd >= 0);
    CHILD_CHECK(ws.multicast && ws.writer);
    CHILD_CHECK(set_mcast_ttl(AF_INET, w.fd, 1) == 0);
    CHILD_CHECK(in_opt_ifaddr(w.fd) == 0x7f000001);  // output through lo's address

    CHILD_CHECK(send_text(w.fd, ws, "hello group"));
    sockaddr_storage from{};
    CHILD_CHECK(recv_text(r.fd, &from) == "hello group");
    CHILD_CHECK(from.ss_family == AF_INET);

    const auto *grp = reinterpret_cast<const sockaddr *>(&rs.addr_ss);
    CHILD_CHECK(mcast_leave(r.fd, grp, rifi.p) == 0);
    CHILD_CHECK(!igmp_has("lo", group));
    // Leaving twice is refused by the system, and said so.
    LogCapture cap;
    CHILD_CHECK(mcast_leave(r.fd, grp, rifi.p) == -1);
    CHILD_CHECK(cap.text().find("mcast_leave: MCAST_LEAVE fd=" + std::to_string(r.fd) + ": ") !=
                std::string::npos);
    return 0;
}

TEST(mcast, ipv4_reader_receives_from_ttl1_writer)
{
    EXPECT_CHILD_OK(in_netns([] { return asm_ipv4_case(false, "lo"); }));
}

TEST(mcast, ipv4_interface_named_by_address)
{
    EXPECT_CHILD_OK(in_netns([] { return asm_ipv4_case(false, "127.0.0.1"); }));
}

TEST(mcast, ipv4_per_family_requests)
{
    EXPECT_CHILD_OK(in_netns([] { return asm_ipv4_case(true, "lo"); }));
}

TEST(mcast, any_interface_and_unknown_interface_fails)
{
    EXPECT_CHILD_OK(in_netns([] {
        // No tag: a record of any interface, the system picks lo by route.
        socket_spec rs = reader();
        IfcOwner ifi;
        Fd r(open_socket("239.1.2.4", "5501", nullptr, &rs, "any", &ifi.p));
        CHILD_CHECK(r.fd >= 0);
        CHILD_CHECK(ifi.p && ifi.p->idx == 0 && ifi.p->name[0] == '\0');
        CHILD_CHECK(igmp_has("lo", "239.1.2.4"));

        // A tag that names nothing (a mistyped interface) fails the open of
        // readers and writers alike: nothing joins on the default one.
        LogCapture cap;
        for (socket_spec us : {reader(), writer()}) {
            IfcOwner uifi;
            uifi.p = reinterpret_cast<ifc_info *>(&us);  // must be replaced by null
            errno = 0;
            CHILD_CHECK(open_socket("239.1.2.5", "5502", nullptr, &us, "nosuch0", &uifi.p) == -1);
            CHILD_CHECK(errno == ENODEV);
            CHILD_CHECK(uifi.p == nullptr);
        }
        CHILD_CHECK(cap.text().find("[nosuch0] is not a valid IPv4 interface address.\n") !=
                    std::string::npos);
        CHILD_CHECK(cap.text().find("open_socket: no multicast interface [nosuch0] for IPv4\n") !=
                    std::string::npos);
        CHILD_CHECK(!igmp_has("lo", "239.1.2.5"));
        return 0;
    }));
}

TEST(mcast, ipv4_writer_with_interface_named_by_ipv6_address)
{
    EXPECT_CHILD_OK(in_netns([] {
        if (!have_ipv6_loopback()) return CHILD_SKIP;
        // The record holds ::1; the IPv4 output address comes from lo.
        socket_spec ws = writer();
        Fd w(open_socket("239.1.2.6", "5503", nullptr, &ws, "::1", nullptr));
        CHILD_CHECK(w.fd >= 0);
        CHILD_CHECK(in_opt_ifaddr(w.fd) == 0x7f000001);

        // An interface with no IPv4 address at all cannot be an IPv4 output.
        CHILD_CHECK(run_quiet("ip link add vx type veth peer name vy"));
        CHILD_CHECK(run_quiet("ip -6 addr add fd00:5::1/64 dev vx nodad"));
        LogCapture cap;
        socket_spec xs = writer();
        CHILD_CHECK(open_socket("239.1.2.6", "5503", nullptr, &xs, "fd00:5::1", nullptr) == -1);
        CHILD_CHECK(cap.text().find("setup_mcast_writer: interface [vx] has no IPv4 address "
                                    "for multicast output\n") != std::string::npos);
        return 0;
    }));
}

TEST(mcast, interface_without_ipv4_address)
{
    EXPECT_CHILD_OK(in_netns([] {
        CHILD_CHECK(run_quiet("ip link add vx type veth peer name vy"));
        LogCapture cap;
        CHILD_CHECK(get_ifc_info(AF_INET, "vx") == nullptr);
        CHILD_CHECK(cap.text().find("ifc_addr_lookup: failed to look up address for ifc=vx\n") !=
                    std::string::npos);
        // By name with an address: index, name and address.
        IfcOwner lo;
        lo.p = get_ifc_info(AF_INET, "lo");
        CHILD_CHECK(lo.p && lo.p->idx == if_nametoindex("lo"));
        return 0;
    }));
}

// --- source-specific, IPv4 ----------------------------------------------------------------------

int ssm_ipv4_case(bool legacy)
{
    set_legacy_mcast_api(legacy);
    CHILD_CHECK(run_quiet("ip addr add 127.0.0.2/8 dev lo"));
    const char *group = "232.1.1.1";

    socket_spec rs = reader();
    IfcOwner ifi;
    Fd r(open_socket(group, "5600", "127.0.0.1", &rs, "lo", &ifi.p));
    CHILD_CHECK(r.fd >= 0);
    CHILD_CHECK(rs.is_ssm);
    CHILD_CHECK(rs.src_ss.ss_family == AF_INET);
    const auto *src = reinterpret_cast<const sockaddr_in *>(&rs.src_ss);
    CHILD_CHECK(ntohs(src->sin_port) == 111);
    CHILD_CHECK(ntohl(src->sin_addr.s_addr) == 0x7f000001);
    CHILD_CHECK(proc_line_has("/proc/net/mcfilter", {"lo", hex4(group), hex4("127.0.0.1")}));

    // The other source sends first: had it passed, it would be read first.
    Fd s2(bound_sender(AF_INET, "127.0.0.2"));
    Fd s1(bound_sender(AF_INET, "127.0.0.1"));
    CHILD_CHECK(s1.fd >= 0 && s2.fd >= 0);
    socket_spec dst{};
    dst.addr_ss = rs.addr_ss;
    dst.addr_len = rs.addr_len;
    CHILD_CHECK(send_text(s2.fd, dst, "from .2"));
    CHILD_CHECK(send_text(s1.fd, dst, "from .1"));
    sockaddr_storage from{};
    CHILD_CHECK(recv_text(r.fd, &from) == "from .1");
    CHILD_CHECK(ntohl(reinterpret_cast<const sockaddr_in *>(&from)->sin_addr.s_addr) ==
                0x7f000001);
    for (std::string more; !(more = recv_text(r.fd, nullptr, 100)).empty();)
        CHILD_CHECK(more == "from .1");

    const auto *grp = reinterpret_cast<const sockaddr *>(&rs.addr_ss);
    CHILD_CHECK(ssm_leave(r.fd, reinterpret_cast<const sockaddr *>(&rs.src_ss), grp, ifi.p) == 0);
    CHILD_CHECK(!proc_line_has("/proc/net/mcfilter", {"lo", hex4(group), hex4("127.0.0.1")}));
    CHILD_CHECK(!igmp_has("lo", group));
    return 0;
}

TEST(mcast, ssm_join_filters_by_source)
{
    EXPECT_CHILD_OK(in_netns([] { return ssm_ipv4_case(false); }));
}

TEST(mcast, ssm_per_family_requests)
{
    EXPECT_CHILD_OK(in_netns([] { return ssm_ipv4_case(true); }));
}

TEST(mcast, ssm_source_with_its_own_port)
{
    EXPECT_CHILD_OK(in_netns([] {
        socket_spec rs = reader(AF_INET);
        Fd r(open_socket("232.1.1.2", "5601", "127.0.0.1:4000", &rs, nullptr, nullptr));
        CHILD_CHECK(r.fd >= 0);
        CHILD_CHECK(ntohs(reinterpret_cast<const sockaddr_in *>(&rs.src_ss)->sin_port) == 4000);
        CHILD_CHECK(proc_line_has("/proc/net/mcfilter", {hex4("232.1.1.2"), hex4("127.0.0.1")}));
        return 0;
    }));
}

TEST(mcast, ssm_source_of_another_family_is_never_joined)
{
    EXPECT_CHILD_OK(in_netns([] {
        if (!have_ipv6_loopback()) return CHILD_SKIP;
        // The sspec's family is open, so only the join can see the mismatch.
        socket_spec rs = reader();
        LogCapture cap;
        CHILD_CHECK(open_socket("232.1.1.3", "5602", "fd00:6::a", &rs, nullptr, nullptr) == -1);
        CHILD_CHECK(cap.text().find("ssm_join: SSM_JOIN source/group family mismatch: 10/2\n") !=
                    std::string::npos);
        CHILD_CHECK(!igmp_has("lo", "232.1.1.3"));
        return 0;
    }));
}

// --- IPv6 -----------------------------------------------------------------------------------

// Waits (bounded) until the interface reports its carrier: a veth end
// comes up asynchronously once both ends are set up, and IPv6 multicast
// memberships made before that may be dropped when it does.
bool wait_oper_up(const char *ifc)
{
    int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifc);
    bool running = false;
    for (int i = 0; i < 200 && !running; ++i) {
        running = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_RUNNING);
        if (!running) poll(nullptr, 0, 10);
    }
    close(fd);
    return running;
}

// In the child: the veth end v6a with two unique-local addresses and a
// link-local one (no duplicate detection, so all are usable at once).
bool make_v6_ifc()
{
    return have_ipv6_loopback() && run_quiet("ip link add v6a type veth peer name v6b") &&
           run_quiet("ip -6 addr add fd00:6::a/64 dev v6a nodad") &&
           run_quiet("ip -6 addr add fd00:6::b/64 dev v6a nodad") &&
           run_quiet("ip -6 addr add fd00:6::1/64 dev v6a nodad") &&
           run_quiet("ip -6 addr add fe80::a/64 dev v6a nodad") &&
           run_quiet("ip link set v6a up") && run_quiet("ip link set v6b up") &&
           wait_oper_up("v6a");
}

// Reader joined on v6a (by the tag given) and writer sending through v6a.
int asm_ipv6_case(const char *group, const char *rtag)
{
    if (!make_v6_ifc()) return CHILD_SKIP;
    socket_spec rs = reader();
    IfcOwner ifi;
    Fd r(open_socket(group, "5700", nullptr, &rs, rtag, &ifi.p));
    CHILD_CHECK(r.fd >= 0);
    CHILD_CHECK(rs.family == AF_INET6 && rs.multicast);
    CHILD_CHECK(ifi.p && strcmp(ifi.p->name, "v6a") == 0);
    CHILD_CHECK(proc_line_has("/proc/net/igmp6", {"v6a", hex6(group)}));

    socket_spec ws = writer();
    Fd w(open_socket(group, "5700", nullptr, &ws, "v6a", nullptr));
    CHILD_CHECK(w.fd >= 0);
    int ifx = 0;
    socklen_t len = sizeof ifx;
    CHILD_CHECK(getsockopt(w.fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifx, &len) == 0);
    CHILD_CHECK(unsigned(ifx) == if_nametoindex("v6a"));
    CHILD_CHECK(set_mcast_ttl(AF_INET6, w.fd, 1) == 0);
    CHILD_CHECK(send_text(w.fd, ws, "v6 hello"));
    CHILD_CHECK(recv_text(r.fd) == "v6 hello");

    const auto *grp = reinterpret_cast<const sockaddr *>(&rs.addr_ss);
    CHILD_CHECK(mcast_leave(r.fd, grp, ifi.p) == 0);
    CHILD_CHECK(!proc_line_has("/proc/net/igmp6", {"v6a", hex6(group)}));

    // The per-family request joins by index as well.
    set_legacy_mcast_api(1);
    CHILD_CHECK(mcast_join(r.fd, grp, ifi.p) == 0);
    CHILD_CHECK(proc_line_has("/proc/net/igmp6", {"v6a", hex6(group)}));
    return 0;
}

TEST(mcast, ipv6_reader_and_writer)
{
    EXPECT_CHILD_OK(in_netns([] { return asm_ipv6_case("ff15::1234", "v6a"); }));
}

TEST(mcast, ipv6_link_local_group_takes_the_interface_scope)
{
    EXPECT_CHILD_OK(in_netns([] {
        // Named by its link-local address, the interface lends its scope
        // id to a link-local group, which cannot be bound without one.
        LogCapture cap;
        const int rc = asm_ipv6_case("ff12::1234", "fe80::a%v6a");
        CHILD_CHECK(cap.text().find("updated IPv6 address scope ID to " +
                                    std::to_string(if_nametoindex("v6a")) + "\n") !=
                    std::string::npos);
        return rc;
    }));
}

TEST(mcast, ipv6_link_local_group_needs_an_interface)
{
    EXPECT_CHILD_OK(in_netns([] {
        if (!make_v6_ifc()) return CHILD_SKIP;
        LogCapture cap;
        socket_spec rs = reader();
        CHILD_CHECK(open_socket("ff12::1234", "5700", nullptr, &rs, nullptr, nullptr) == -1);
        CHILD_CHECK(cap.text().find("setup_mcast_reader: network interface must be specified to "
                                    "use link/local-scope multicast\n") != std::string::npos);
        return 0;
    }));
}

TEST(mcast, ipv6_ssm_filters_by_source)
{
    EXPECT_CHILD_OK(in_netns([] {
        if (!make_v6_ifc()) return CHILD_SKIP;
        const char *group = "ff35::8000:1";
        socket_spec rs = reader();
        IfcOwner ifi;
        // No digits at the end, so ":111" is appended.
        Fd r(open_socket(group, "5701", "fd00:6::a", &rs, "v6a", &ifi.p));
        CHILD_CHECK(r.fd >= 0);
        CHILD_CHECK(rs.is_ssm && rs.src_ss.ss_family == AF_INET6);
        CHILD_CHECK(ntohs(reinterpret_cast<const sockaddr_in6 *>(&rs.src_ss)->sin6_port) == 111);
        CHILD_CHECK(proc_line_has("/proc/net/mcfilter6", {"v6a", hex6(group), hex6("fd00:6::a")}));

        Fd sb(bound_sender(AF_INET6, "fd00:6::b"));
        Fd sa(bound_sender(AF_INET6, "fd00:6::a"));
        CHILD_CHECK(sa.fd >= 0 && sb.fd >= 0);
        socket_spec dst{};
        dst.addr_ss = rs.addr_ss;
        dst.addr_len = rs.addr_len;
        CHILD_CHECK(send_text(sb.fd, dst, "from b"));
        CHILD_CHECK(send_text(sa.fd, dst, "from a"));
        CHILD_CHECK(recv_text(r.fd) == "from a");
        for (std::string more; !(more = recv_text(r.fd, nullptr, 100)).empty();)
            CHILD_CHECK(more == "from a");

        const auto *src = reinterpret_cast<const sockaddr *>(&rs.src_ss);
        const auto *grp = reinterpret_cast<const sockaddr *>(&rs.addr_ss);
        CHILD_CHECK(ssm_leave(r.fd, src, grp, ifi.p) == 0);
        CHILD_CHECK(!proc_line_has("/proc/net/mcfilter6", {hex6(group), hex6("fd00:6::a")}));

        // A source in brackets is whole whatever its last group, with a
        // port or without; bare, its last group is no port.
        for (const char *spelt : {"[fd00:6::1]", "[fd00:6::1]:0", "[fd00:6::1]:4000",
                                  "fd00:6::1", "[fd00:6:0:0:0:0:0:1]", "fd00:6:0:0:0:0:0:1"}) {
            socket_spec s1 = reader();
            Fd r1(open_socket(group, "5702", spelt, &s1, "v6a", nullptr));
            CHILD_CHECK(r1.fd >= 0);
            CHILD_CHECK(s1.is_ssm && s1.src_ss.ss_family == AF_INET6);
            CHILD_CHECK(proc_line_has("/proc/net/mcfilter6", {"v6a", hex6(group), hex6("fd00:6::1")}));
        }

        // The per-family request has no IPv6 form.
        set_legacy_mcast_api(1);
        LogCapture cap;
        errno = 0;
        CHILD_CHECK(ssm_join(r.fd, src, grp, ifi.p) == -22);
        CHILD_CHECK(errno == EINVAL);
        CHILD_CHECK(cap.text().find("ssm_join: (ssm_proto_op) IPv6-specific SSM not supported\n") !=
                    std::string::npos);
        CHILD_CHECK(cap.text().find("ssm_join: (ssm_proto_op) SSM_JOIN ifc=v6a/") !=
                    std::string::npos);
        return 0;
    }));
}

// --- two hosts: choosing the interface ------------------------------------------------------

// Reader in B on the group, joined on the interface named by b_tag; writer
// in A choosing its output by a_tag.  Neither host has a multicast route,
// so only the chosen interfaces carry the group.
void two_host_case(const char *b_tag, const char *a_tag)
{
    VethPair vp;
    if (!vp.ok()) GTEST_SKIP() << "cannot make network namespaces";
    const char *group = "239.7.7.7";

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    Fd ready_r(ready[0]), ready_w(ready[1]);

    // The reader says it has joined through the pipe, then waits for the
    // datagram while the writer does its part.
    const std::string bname = vp.b(), aname = vp.a();
    const int rpid = start_child([&] {
        CHILD_CHECK(enter_netns(bname));
        socket_spec rs = reader();
        IfcOwner ifi;
        Fd r(open_socket(group, "5800", nullptr, &rs, b_tag, &ifi.p));
        CHILD_CHECK(r.fd >= 0);
        CHILD_CHECK(ifi.p && strcmp(ifi.p->name, "vb") == 0);
        CHILD_CHECK(igmp_has("vb", group));
        CHILD_CHECK(write(ready_w.fd, "r", 1) == 1);
        sockaddr_storage from{};
        CHILD_CHECK(recv_text(r.fd, &from) == "over veth");
        char text[64];
        CHILD_CHECK(saddr_str(reinterpret_cast<const sockaddr *>(&from), sizeof from, text,
                              sizeof text) != nullptr);
        CHILD_CHECK(strncmp(text, "10.71.0.1:", 10) == 0);
        return 0;
    });
    ASSERT_GE(rpid, 0);

    pollfd p{ready_r.fd, POLLIN, 0};
    const bool reader_ready = poll(&p, 1, WAIT_MS) == 1;
    int wrc = -1;
    if (reader_ready) {
        wrc = run_in_child([&] {
            CHILD_CHECK(enter_netns(aname));
            // Without an interface there is no way to the group.
            socket_spec ds = writer();
            Fd d(open_socket(group, "5800", nullptr, &ds, nullptr, nullptr));
            CHILD_CHECK(d.fd >= 0);
            CHILD_CHECK(!send_text(d.fd, ds, "x"));
            CHILD_CHECK(errno == ENETUNREACH);

            socket_spec ws = writer();
            IfcOwner ifi;
            Fd w(open_socket(group, "5800", nullptr, &ws, a_tag, &ifi.p));
            CHILD_CHECK(w.fd >= 0);
            CHILD_CHECK(ifi.p && strcmp(ifi.p->name, "va") == 0);
            CHILD_CHECK(set_mcast_ttl(AF_INET, w.fd, 1) == 0);
            for (int i = 0; i < 3; ++i) CHILD_CHECK(send_text(w.fd, ws, "over veth"));
            return 0;
        });
    }
    const int rrc = finish_child(rpid, 2 * WAIT_MS);
    EXPECT_TRUE(reader_ready);
    EXPECT_EQ(wrc, 0);
    EXPECT_EQ(rrc, 0);
}

TEST(mcast_veth, interfaces_chosen_by_name)
{
    two_host_case("vb", "va");
}

TEST(mcast_veth, interfaces_chosen_by_address)
{
    two_host_case("10.71.0.2", "10.71.0.1");
}

}  // namespace
