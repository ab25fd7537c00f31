// The agent run as a program: its command line and exit codes, its
// start-up in the foreground and in the background, and the capture end to
// end between two network namespaces:
//
//   ns A (host)                          ns B (agent)
//   va  10.72.0.1/24  <--- veth --->     vb  10.72.0.2/24
//   IGMPv2 joins and leaves,             oxa -i vb, reporting to a UDP
//   crafted frames (AF_PACKET)           receiver on 127.0.0.1 or stdout
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "igmp_frames.h"
#include "netns.h"
#include "program.h"
#include "support.h"

namespace {

// The capture hands packets over in blocks, at the latest after its 5 s
// read time-out; every wait for a message allows for several of them.
constexpr int MSG_WAIT_MS = 20000;
constexpr int READY_WAIT_MS = 10000;
constexpr int EXIT_WAIT_MS = 10000;

std::string oxa_path()
{
    const char *dir = getenv("TAVEL_BUILD_DIR");
    return dir ? std::string(dir) + "/relay/oxa" : std::string("oxa");
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// A socket made inside the named namespace: it stays there, whatever
// namespace the calls on it come from.
int socket_in_netns(const std::string &ns, int domain, int type, int proto)
{
    int fd = -1;
    std::thread t([&] {
        if (enter_netns(ns)) fd = socket(domain, type | SOCK_CLOEXEC, proto);
    });
    t.join();
    return fd;
}

// A UDP receiver on 127.0.0.1 of the namespace; its port in *port.
int udp_receiver(const std::string &ns, unsigned *port)
{
    const int fd = socket_in_netns(ns, AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// The next datagram within ms, or "".
std::string recv_within(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buf[256];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// The next n datagrams, each within MSG_WAIT_MS, sorted and joined by "|".
std::string recv_set(int fd, size_t n)
{
    std::vector<std::string> got;
    for (size_t i = 0; i < n; ++i) got.push_back(recv_within(fd, MSG_WAIT_MS));
    std::sort(got.begin(), got.end());
    std::string s;
    for (const auto &g : got) s += g + "|";
    return s;
}

bool membership(int fd, const char *group, const std::string &ifaddr, bool join)
{
    ip_mreq m{};
    inet_aton(group, &m.imr_multiaddr);
    inet_aton(ifaddr.c_str(), &m.imr_interface);
    return setsockopt(fd, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &m,
                      sizeof m) == 0;
}

// Sends one whole Ethernet frame out of the interface with index ifindex.
bool inject(int pfd, int ifindex, const std::vector<uint8_t> &frame)
{
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = ifindex;
    ll.sll_halen = 6;
    memcpy(ll.sll_addr, frame.data(), 6);
    return sendto(pfd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&ll),
                  sizeof ll) == ssize_t(frame.size());
}

int ifindex_of(int fd, const char *name)
{
    ifreq r{};
    strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    return ioctl(fd, SIOCGIFINDEX, &r) == 0 ? r.ifr_ifindex : -1;
}

bool force_igmpv2(const std::string &ns, const char *ifc)
{
    return run_quiet("ip netns exec " + ns + " sysctl -qw net.ipv4.conf." + ifc +
                     ".force_igmp_version=2");
}

std::string text_of(const std::vector<std::string> &args)
{
    std::string s;
    for (const auto &a : args) s += a + " ";
    return s;
}

// --- command line ------------------------------------------------------------------

TEST(oxa_cli, options_usage_and_exit_codes)
{
    const std::string usage = "Usage: oxa OPTIONS\nOptions:\n";
    const std::string guide =
        "  -?                   = output this option guide\n"
        "  -i {ifc}             = network interface to listen on\n"
        "  -R {address:port}    = address:port of tvl to report to\n"
        "  -g {min-group}       = minimal m-cast address to relay\n"
        "  -G {max-group}       = maximum m-cast address to relay\n"
        "  -F {path}            = path to group-list file\n"
        "  -l {path}            = log file\n"
        "  -L {level}           = log level: crit|err|norm|warn|info|debug\n"
        "  -p {path}            = pid file\n"
        "  -u {username}        = run as user\n"
        "  -T                   = run as a non-daemon application\n\n----\n";
    const std::string ifc16(16, 'i'), user32(32, 'u'), pid128(128, 'p'), url121(121, 'r');
    struct cli_case {
        std::vector<std::string> args;
        int code;
        std::vector<std::string> err;  // texts expected on stderr
    };
    const std::vector<cli_case> cases = {
        {{}, 1, {"oxa (Tavel IGMP agent) 0.1-112.2", usage + guide}},
        {{"-?"}, 1, {usage + guide}},
        {{"-x", "-i", "lo"}, 1, {usage}},
        {{"-i"}, 1, {usage}},
        {{"-T"}, 1, {"app_getcfg: interface must be specified\n", usage}},
        {{"-i", "nosuch0"}, 2, {"Invalid interface name: nosuch0\n", "is exiting with rc=2"}},
        {{"-i", "lo", "-g", "10.0.0.1"}, 2, {"Non-multicast address: 10.0.0.1 (0x100000a)\n"}},
        {{"-i", "lo", "-G", "300.1.1.1"}, 2, {"Invalid address: 300.1.1.1\n"}},
        {{"-i", "lo", "-g", "239.0.0.9", "-G", "239.0.0.1"},
         1,
         {"app_getcfg: BAD g/G: min (0xef000009) > max (0xef000001) for group addresses\n"}},
        {{"-i", ifc16}, 2, {"Value of -i is too long: 16 characters, at most 15"}},
        {{"-i", "lo", "-u", user32}, 2, {"Value of -u is too long: 32 characters, at most 31"}},
        {{"-i", "lo", "-p", pid128}, 2, {"Value of -p is too long: 128 characters, at most 127"}},
        {{"-i", "lo", "-R", url121}, 2, {"Value of -R is too long: 121 characters, at most 120"}},
        {{"-i", "lo", "-L", "bogus", "-g", "10.0.0.1"},
         2,
         {"Invalid log level: bogus\n", "Non-multicast address"}},
    };
    for (const auto &c : cases) {
        std::string out, err;
        EXPECT_EQ(run_program(oxa_path(), c.args, &out, &err), c.code) << text_of(c.args);
        for (const auto &e : c.err) EXPECT_TRUE(has(err, e)) << text_of(c.args) << "\n" << err;
        EXPECT_EQ(out, "") << text_of(c.args);
    }
}

// --- start-up in a namespace ----------------------------------------------------------

class OxaNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!vp.ok()) GTEST_SKIP() << "cannot make network namespaces";
    }
    VethPair vp{72};
    TempDir dir;
};

TEST_F(OxaNetns, start_up_failures_give_their_exit_codes)
{
    const std::string list = dir.file("groups"), log = dir.file("log"), pid = dir.file("pid");
    struct fail_case {
        std::string list_text;  // written to the list file when not empty
        std::vector<std::string> args;
        std::string message;  // on stderr or in the log
    };
    const std::vector<std::string> fg = {"-T", "-i", "vb", "-L", "debug", "-l", log};
    const std::vector<std::string> bg = {"-i", "vb", "-L", "debug", "-l", log};
    auto with = [](std::vector<std::string> base, const std::vector<std::string> &more) {
        base.insert(base.end(), more.begin(), more.end());
        return base;
    };
    const std::vector<fail_case> cases = {
        {"239.1.1.1\n\n", with(fg, {"-F", list}), "error parsing entry at line 2"},
        {"# groups\n", with(fg, {"-F", list}), "error parsing entry at line 1: # groups"},
        {"10.0.0.1\n", with(fg, {"-F", list}), "non-multicast address: (0x100000a) 10.0.0.1"},
        {"239.1.1.1\n239.1.1.1\n", with(fg, {"-F", list}), "duplicate at line 2"},
        {std::string(63, '7') + "\n", with(fg, {"-F", list}), "longer than 62 characters"},
        {"", with(fg, {"-F", dir.file("none")}), "load_group_list: failed to open"},
        {"", with(fg, {"-R", "127.0.0.1:99999"}), "failed to open [udp://127.0.0.1:99999]"},
        // In the background the starter waits for the daemon's start-up.
        {"", bg, "create_pidfile_extra: no path specified"},
        {"", with(bg, {"-p", pid, "-F", dir.file("none")}), "load_group_list: failed to open"},
        {"", with(bg, {"-p", pid, "-u", "nosuchuser0"}), "user nosuchuser0 not found"},
    };
    for (const auto &c : cases) {
        unlink(log.c_str());
        unlink(list.c_str());
        if (!c.list_text.empty()) write_file(list, c.list_text);
        std::string out, err;
        EXPECT_EQ(run_program(oxa_path(), c.args, &out, &err, vp.b()), 2) << text_of(c.args);
        const std::string all = err + (file_exists(log) ? read_file(log) : "");
        EXPECT_TRUE(has(all, c.message)) << text_of(c.args) << "\n" << all;
        if (c.args[0] != "-T") {
            EXPECT_TRUE(has(err, "start-up in the background failed with exit status 2"))
                << text_of(c.args) << "\n" << err;
        }
        EXPECT_FALSE(file_exists(pid)) << text_of(c.args);
    }
    // An empty list is a list: the agent starts.
    write_file(list, "");
    Program p;
    ASSERT_TRUE(p.start(oxa_path(), with(fg, {"-F", list, "-g", "239.0.0.1"}), vp.b()));
    EXPECT_TRUE(p.wait_err("app_run: waiting for packets", READY_WAIT_MS)) << p.err();
    EXPECT_TRUE(has(read_file(log), "load_group_list: 0 enties added"));
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(EXIT_WAIT_MS), 0);
}

TEST_F(OxaNetns, quit_signals_end_the_run_with_zero)
{
    for (int sig : {SIGTERM, SIGINT, SIGQUIT}) {
        Program p;
        ASSERT_TRUE(p.start(oxa_path(), {"-T", "-i", "vb", "-L", "debug"}, vp.b()));
        ASSERT_TRUE(p.wait_err("app_run: waiting for packets", READY_WAIT_MS)) << p.err();
        p.signal(sig);
        EXPECT_EQ(p.wait_exit(EXIT_WAIT_MS), 0) << sig;
        EXPECT_TRUE(has(p.err(), "\nSIG(" + std::to_string(sig) + ")\n")) << p.err();
        EXPECT_TRUE(has(p.err(), "app_run: ended with rc=0")) << p.err();
        EXPECT_TRUE(has(p.err(), "oxa is exiting with rc=0")) << p.err();
        EXPECT_EQ(p.out(), "");
    }
}

TEST_F(OxaNetns, non_ethernet_interface_is_refused)
{
    const std::string nb = "ip -n " + vp.b() + " ";
    if (!run_quiet(nb + "tuntap add mode tun dev otun0") ||
        !run_quiet(nb + "addr add 10.73.0.1/24 dev otun0") || !run_quiet(nb + "link set otun0 up"))
        GTEST_SKIP() << "cannot make a tun interface";
    std::string out, err;
    EXPECT_EQ(run_program(oxa_path(), {"-T", "-i", "otun0", "-L", "debug"}, &out, &err, vp.b()), 2);
    EXPECT_TRUE(has(err, "pcap_setup: otun0 is not an Ethernet interface (link type RAW)"))
        << err;
}

// --- the capture end to end ---------------------------------------------------------------

TEST_F(OxaNetns, joins_and_leaves_reported_end_to_end)
{
    ASSERT_TRUE(force_igmpv2(vp.a(), "va"));
    unsigned port = 0;
    Fd rx(udp_receiver(vp.b(), &port));
    ASSERT_GE(rx.fd, 0);
    Fd host(socket_in_netns(vp.a(), AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(host.fd, 0);
    Fd raw(socket_in_netns(vp.a(), AF_PACKET, SOCK_RAW, 0));
    ASSERT_GE(raw.fd, 0);
    const int va = ifindex_of(raw.fd, "va");
    ASSERT_GT(va, 0);

    // Agent 1 reports over UDP: 239.1.1.1-239.1.1.9 and the listed
    // 239.2.2.2.  Agent 2 prints: only the listed 239.3.3.3.
    const std::string list1 = dir.file("list1"), list2 = dir.file("list2");
    const std::string log1 = dir.file("log1"), log2 = dir.file("log2");
    write_file(list1, "239.2.2.2\n");
    write_file(list2, "239.3.3.3\n");
    Program a1, a2;
    ASSERT_TRUE(a1.start(oxa_path(),
                         {"-T", "-i", "vb", "-R", "127.0.0.1:" + std::to_string(port), "-g",
                          "239.1.1.1", "-G", "239.1.1.9", "-F", list1, "-L", "debug", "-l", log1},
                         vp.b()));
    ASSERT_TRUE(a2.start(oxa_path(), {"-T", "-i", "vb", "-F", list2, "-l", log2, "-L", "debug"},
                         vp.b()));
    ASSERT_TRUE(a1.wait_err("app_run: waiting for packets", READY_WAIT_MS)) << a1.err();
    ASSERT_TRUE(a2.wait_err("app_run: waiting for packets", READY_WAIT_MS)) << a2.err();

    // Frames that pass the capture filter but are malformed, and frames it
    // filters out; none may crash or report anything.
    igmp_frame_spec ihl4, ihl15, v6, ipv6_type, udp;
    ihl4.ihl = 4;
    ihl15.ihl = 15;
    v6.ip_version = 6;
    ipv6_type.ethertype = 0x86dd;
    udp.ip_proto = 17;
    std::vector<uint8_t> tiny = make_igmp_frame(igmp_frame_spec{});
    tiny.resize(30);
    std::vector<uint8_t> cut = make_igmp_frame(ihl15);
    cut.resize(50);
    for (const auto &f : {tiny, make_igmp_frame(ihl4), cut, make_igmp_frame(v6),
                          make_igmp_frame(ipv6_type), make_igmp_frame(udp)})
        EXPECT_TRUE(inject(raw.fd, va, f)) << strerror(errno);

    const std::string ifaddr = vp.addr_a();
    const char *groups[] = {"239.3.3.3", "239.1.1.5", "239.1.1.10", "239.2.2.2"};
    for (const char *g : groups) ASSERT_TRUE(membership(host.fd, g, ifaddr, true)) << g;
    // A host reports a new group after a random delay: any order.
    EXPECT_EQ(recv_set(rx.fd, 2), "JOIN UDP://239.1.1.5\n|JOIN UDP://239.2.2.2\n|");
    EXPECT_TRUE(a2.wait_out("JOIN UDP://239.3.3.3\n", MSG_WAIT_MS)) << a2.out();

    for (const char *g : groups) ASSERT_TRUE(membership(host.fd, g, ifaddr, false)) << g;
    EXPECT_EQ(recv_set(rx.fd, 2), "LEAVE UDP://239.1.1.5\n|LEAVE UDP://239.2.2.2\n|");
    EXPECT_TRUE(a2.wait_out("LEAVE UDP://239.3.3.3\n", MSG_WAIT_MS)) << a2.out();

    // The next message is the next in-scope join: nothing else came between.
    ASSERT_TRUE(membership(host.fd, "239.1.1.1", ifaddr, true));
    EXPECT_EQ(recv_within(rx.fd, MSG_WAIT_MS), "JOIN UDP://239.1.1.1\n");

    a1.signal(SIGTERM);
    a2.signal(SIGTERM);
    EXPECT_EQ(a1.wait_exit(EXIT_WAIT_MS), 0) << a1.err();
    EXPECT_EQ(a2.wait_exit(EXIT_WAIT_MS), 0) << a2.err();
    // Stopping sends no LEAVE for the groups still joined.
    EXPECT_EQ(recv_within(rx.fd, 0), "");
    EXPECT_EQ(a1.out(), "");
    EXPECT_EQ(a2.out(), "JOIN UDP://239.3.3.3\nLEAVE UDP://239.3.3.3\n");

    const std::string l1 = read_file(log1);
    EXPECT_TRUE(has(l1, "on_pcap_pkt: packet is too small: 30 bytes")) << l1;
    EXPECT_TRUE(has(l1, "on_pcap_pkt: bad IPv4 header length 16 for 42 bytes")) << l1;
    EXPECT_TRUE(has(l1, "on_pcap_pkt: bad IPv4 header length 60 for 50 bytes")) << l1;
    EXPECT_TRUE(has(l1, "on_pcap_pkt: non-IPv4: 6")) << l1;
    EXPECT_TRUE(has(l1, "on_pcap_pkt: address out of scope: 239.1.1.10")) << l1;
    EXPECT_TRUE(has(l1, "relay_msg: 21 bytes sent: JOIN UDP://239.1.1.5")) << l1;
    EXPECT_TRUE(has(l1, "v2-report/16 239.1.1.5")) << l1;
    EXPECT_TRUE(has(read_file(log2), "relay_msg: 21 bytes output: JOIN UDP://239.3.3.3"));
}

// --- in the background -------------------------------------------------------------------

// Reads the pid from the pid file; 0 when there is none.
pid_t pid_in(const std::string &path)
{
    if (!file_exists(path)) return 0;
    return pid_t(atol(read_file(path).c_str()));
}

bool wait_until(const std::function<bool()> &cond, int ms)
{
    Program idle;  // nothing started: pumping only waits
    return idle.wait_for(cond, ms);
}

// The exit status of a detached descendant (this process being their
// subreaper) within ms; -1 when it did not end normally in time.
int reap_within(pid_t pid, int ms)
{
    int status = 0;
    const bool ended = wait_until(
        [&] {
            const pid_t r = waitpid(pid, &status, WNOHANG);
            return r == pid || (r < 0 && errno != EINTR);
        },
        ms);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Stops the daemon found in the pid file when the test leaves it running.
struct DaemonGuard {
    pid_t pid = 0;
    ~DaemonGuard()
    {
        if (pid <= 0) return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

TEST_F(OxaNetns, daemon_owns_its_pid_file_and_keeps_output_out_of_it)
{
    // Detached processes come back to this one, which reaps the daemon.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    ASSERT_TRUE(force_igmpv2(vp.a(), "va"));
    Fd host(socket_in_netns(vp.a(), AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(host.fd, 0);
    const std::string pidf = dir.file("oxa.pid"), log = dir.file("log");

    // In the background, messages on the standard output go to /dev/null.
    std::string out, err;
    ASSERT_EQ(run_program(oxa_path(), {"-i", "vb", "-p", pidf, "-l", log}, &out, &err, vp.b()), 0)
        << err;
    DaemonGuard daemon;
    daemon.pid = pid_in(pidf);
    ASSERT_GT(daemon.pid, 0);
    EXPECT_EQ(kill(daemon.pid, 0), 0);
    EXPECT_EQ(read_file(pidf), std::to_string(daemon.pid));

    ASSERT_TRUE(membership(host.fd, "239.5.5.5", vp.addr_a(), true));
    EXPECT_TRUE(wait_until(
        [&] { return has(read_file(log), "bytes output: JOIN UDP://239.5.5.5"); }, MSG_WAIT_MS))
        << read_file(log);
    EXPECT_EQ(read_file(pidf), std::to_string(daemon.pid));

    // A second daemon is refused and leaves the file alone.
    const std::string log2 = dir.file("log2");
    EXPECT_EQ(run_program(oxa_path(), {"-i", "vb", "-p", pidf, "-l", log2}, &out, &err, vp.b()), 2);
    EXPECT_TRUE(has(read_file(log2), "is locked (another instance of daemon must be running)"));
    EXPECT_EQ(read_file(pidf), std::to_string(daemon.pid));

    // So does a run in the foreground naming the same file.
    Program fg;
    ASSERT_TRUE(fg.start(oxa_path(), {"-T", "-i", "vb", "-p", pidf, "-L", "debug"}, vp.b()));
    ASSERT_TRUE(fg.wait_err("app_run: waiting for packets", READY_WAIT_MS)) << fg.err();
    fg.signal(SIGTERM);
    EXPECT_EQ(fg.wait_exit(EXIT_WAIT_MS), 0);
    EXPECT_EQ(read_file(pidf), std::to_string(daemon.pid));

    // The daemon removes its own file when it stops.
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(reap_within(std::exchange(daemon.pid, 0), EXIT_WAIT_MS), 0);
    EXPECT_FALSE(file_exists(pidf));
    EXPECT_TRUE(has(read_file(log), "oxa is exiting with rc=0")) << read_file(log);
}

}  // namespace
