// The agent run as a program: command line and exit codes, start-up in the
// foreground and in the background, and the capture end to end:
//
//   ns A (host)                          ns B (agent)
//   va  10.72.0.1/24  <--- veth --->     vb  10.72.0.2/24
//   IGMPv2 joins and leaves, frames      oxa -i vb, reporting to a UDP
//   crafted and sent with AF_PACKET      receiver on 127.0.0.1 or stdout
#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "support.h"

namespace {

// A generous bound for a message to come: real hosts delay their reports
// at random.
constexpr int MSG_WAIT_MS = 20000;
constexpr int WAIT_MS = 10000;
// A report reaches the daemon within a few milliseconds; this bound leaves
// room for a loaded machine and still refuses a capture that holds packets
// for its 5 s read time-out.
constexpr long REPORT_DELAY_MS = 500;
// Groups the agent holds at most.
constexpr int GROUP_BOUND = 4096;

const char *const BUILD_DIR = getenv("TAVEL_BUILD_DIR");
const std::string OXA = std::string(BUILD_DIR ? BUILD_DIR : ".") + "/relay/oxa";
const std::string READY = "app_run: waiting for packets";

// Starts oxa with args (inside netns when given), stdout and stderr into
// the files out and err.  Its pid; finish_child waits for it.
int spawn(const std::vector<std::string> &args, const std::string &out, const std::string &err,
          const std::string &netns = "")
{
    return start_child([&] {
        std::vector<char *> argv{const_cast<char *>(OXA.c_str())};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if ((!netns.empty() && !enter_netns(netns)) || dup2(o, 1) < 0 || dup2(e, 2) < 0) return 126;
        execv(OXA.c_str(), argv.data());
        return 127;
    });
}

// Polls cond every 20 ms for at most ms.
bool poll_until(const std::function<bool()> &cond, int ms)
{
    for (int waited = 0; !cond(); waited += 20)
        if (waited >= ms || poll(nullptr, 0, 20) < 0) return false;
    return true;
}

// The values of a line ("Uid", "Gid") of /proc/<pid>/status.
std::string status_line(pid_t pid, const std::string &key)
{
    const std::string text = read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = text.find("\n" + key + ":\t");
    if (at == std::string::npos) return "";
    const size_t from = at + key.size() + 3;
    return text.substr(from, text.find('\n', from) - from);
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

bool has(const std::string &text, const std::string &what) { return count_of(text, what) > 0; }

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A socket made inside the namespace: it stays there whoever uses it.
int socket_in(const std::string &ns, int domain, int type)
{
    int fd = -1;
    std::thread([&] {
        if (enter_netns(ns)) fd = socket(domain, type | SOCK_CLOEXEC, 0);
    }).join();
    return fd;
}

std::string recv_within(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    char buf[256];
    const ssize_t n = poll(&p, 1, ms) == 1 ? recv(fd, buf, sizeof buf, 0) : 0;
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

// The next n datagrams, sorted: hosts report a new group after a random delay.
std::string recv_set(int fd, size_t n)
{
    std::vector<std::string> got;
    for (size_t i = 0; i < n; ++i) got.push_back(recv_within(fd, MSG_WAIT_MS));
    std::sort(got.begin(), got.end());
    std::string s;
    for (const auto &g : got) s += g;
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

// An Ethernet frame with an IPv4 header of ihl words (20 bytes written at
// least) and an IGMP message with its checksum, cut to len bytes when len
// is given; ver_proto is the IP version times 16 plus a protocol number
// below 16.
std::vector<uint8_t> frame(uint8_t type, const char *group, unsigned ihl = 6, size_t len = 0,
                           uint16_t ethertype = 0x0800, uint8_t ver_proto = 0x42)
{
    in_addr g{};
    inet_aton(group, &g);
    const size_t iplen = std::max<size_t>(ihl * 4, 20);
    std::vector<uint8_t> f(14 + iplen + 8, 0);
    const uint8_t mac[12] = {0x01, 0x00, 0x5e, 0x01, 0x01, 0x01, 0x02, 0, 0, 0, 0, 1};
    memcpy(f.data(), mac, 12);
    f[12] = uint8_t(ethertype >> 8);
    f[13] = uint8_t(ethertype);
    f[14] = uint8_t((ver_proto >> 4) << 4 | (ihl & 15));
    f[14 + 3] = uint8_t(iplen + 8);  // total length
    f[14 + 9] = ver_proto & 15;
    memcpy(&f[14 + 16], &g, 4);
    uint8_t *igmp = &f[14 + iplen];
    igmp[0] = type;
    memcpy(igmp + 4, &g, 4);
    uint32_t sum = 0;
    for (int i = 0; i < 8; i += 2) sum += uint32_t(igmp[i] << 8 | igmp[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    sum = ~sum & 0xffff;
    igmp[2] = uint8_t(sum >> 8);
    igmp[3] = uint8_t(sum);
    if (len) f.resize(len);
    return f;
}

std::vector<uint8_t> bad_csum(std::vector<uint8_t> f)
{
    f[14 + (f[14] & 15) * 4 + 3] ^= 0x40;
    return f;
}

// The frame with an 802.1Q tag (VLAN 100) after its addresses.
std::vector<uint8_t> tagged(std::vector<uint8_t> f)
{
    const uint8_t tag[4] = {0x81, 0x00, 0x00, 100};
    f.insert(f.begin() + 12, tag, tag + 4);
    return f;
}

// A UDP socket on 127.0.0.1 in ns standing for the daemon; its port in *port.
int daemon_socket(const std::string &ns, int *port)
{
    const int fd = socket_in(ns, AF_INET, SOCK_DGRAM);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t alen = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &alen) != 0)
        return -1;
    *port = ntohs(a.sin_port);
    return fd;
}

int ifindex(int fd, const char *ifc)
{
    ifreq ifr{};
    strcpy(ifr.ifr_name, ifc);
    return ioctl(fd, SIOCGIFINDEX, &ifr) == 0 ? ifr.ifr_ifindex : -1;
}

bool inject(int pfd, int ifindex, const std::vector<uint8_t> &f)
{
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = ifindex;
    ll.sll_halen = 6;
    memcpy(ll.sll_addr, f.data(), 6);
    return sendto(pfd, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&ll), sizeof ll) ==
           ssize_t(f.size());
}

TEST(oxa_cli, options_usage_and_exit_codes)
{
    const std::string usage =
        "Usage: oxa OPTIONS\nOptions:\n"
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
    const struct {
        std::vector<std::string> args;
        int code;
        std::string err;
    } cases[] = {
        // clang-format off
        {{}, 1, "(Tavel IGMP agent) 0.1-112.2 (prep-0.2-master) regular 1973fb84; built on 2022-08-24\n" + usage},
        {{"-?"}, 1, usage},
        {{"-x", "-i", "lo"}, 1, usage},
        {{"-i"}, 1, usage},
        {{"-T"}, 1, "app_getcfg: interface must be specified\n"},
        {{"-i", "nosuch0"}, 2, "Invalid interface name: nosuch0\n"},
        {{"-i", "lo", "-g", "10.0.0.1"}, 2, "Non-multicast address: 10.0.0.1 (0x100000a)\n"},
        {{"-i", "lo", "-G", "300.1.1.1"}, 2, "Invalid address: 300.1.1.1\n"},
        {{"-i", "lo", "-g", "239.0.0.9", "-G", "239.0.0.1"}, 1, "app_getcfg: BAD g/G: min (0xef000009) > max (0xef000001) for group addresses\n"},
        // An unknown log level is a usage error: nothing is captured.
        {{"-i", "lo", "-L", "bogus", "-g", "10.0.0.1"}, 1, "Invalid log level: bogus\n"},
        {{"-T", "-i", "lo", "-L", "bogus"}, 1, "Invalid log level: bogus\n"},
        {{"-T", "-i", "lo", "-L", ""}, 1, usage},
        // Values too long for their fields are refused, never cut.
        {{"-i", std::string(16, 'i')}, 2, "Value of -i is too long: 16 characters, at most 15"},
        {{"-i", "lo", "-u", std::string(32, 'u')}, 2, "-u is too long: 32 characters, at most 31"},
        {{"-i", "lo", "-p", std::string(128, 'p')}, 2, "-p is too long: 128 characters, at most 127"},
        {{"-i", "lo", "-R", std::string(121, 'r')}, 2, "-R is too long: 121 characters, at most 120"},
        // clang-format on
    };
    TempDir dir;
    for (const auto &c : cases) {
        const pid_t pid = spawn(c.args, dir.file("out"), dir.file("err"));
        EXPECT_EQ(finish_child(pid, WAIT_MS), c.code) << c.err;
        EXPECT_TRUE(has(read_file(dir.file("err")), c.err)) << c.err << read_file(dir.file("err"));
        EXPECT_EQ(read_file(dir.file("out")), "") << c.err;
    }
}

class OxaNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!vp.ok()) GTEST_SKIP() << "cannot make network namespaces";
        ASSERT_TRUE(run_quiet("ip netns exec " + vp.a() +
                              " sysctl -qw net.ipv4.conf.va.force_igmp_version=2"));
    }
    // Runs the agent in ns B to its end; its output in out and err.
    int run(const std::vector<std::string> &args)
    {
        return finish_child(spawn(args, out, err, vp.b()), WAIT_MS);
    }
    VethPair vp{72};
    TempDir dir;
    const std::string out = dir.file("out"), err = dir.file("err"), log = dir.file("log");
};

TEST_F(OxaNetns, start_up_failures_give_their_exit_codes)
{
    const std::string list = dir.file("groups"), pid = dir.file("pid"), none = dir.file("none");
    const std::vector<std::string> fg = {"-T", "-i", "vb", "-L", "debug", "-l", log};
    const std::vector<std::string> bg = {"-i", "vb", "-L", "debug", "-l", log, "-F", list};
    const struct {
        std::string list_text;
        std::vector<std::string> more;  // options after fg, or all of them
        std::string message;            // on stderr or in the log
    } cases[] = {
        {"239.1.1.1\n\n", {"-F", list}, "[" + list + "] error parsing entry at line 2: \n"},
        {"# groups\n", {"-F", list}, "error parsing entry at line 1: # groups"},
        {"10.0.0.1\n", {"-F", list}, "]:1 non-multicast address: (0x100000a) 10.0.0.1"},
        {"239.1.1.1\n0xef010101\n", {"-F", list}, "duplicate at line 2: (16) 0xef010101"},
        // A line past 62 characters is refused whole, not read as two entries.
        {"239.1.1.1" + std::string(53, ' ') + "239.1.1.2\n", {"-F", list}, "line 1 is longer"},
        {"", {"-F", none}, "load_group_list: failed to open [" + none + "]"},
        {"", {"-R", "127.0.0.1:99999"}, "reporter_setup: failed to open [udp://127.0.0.1:99999]"},
        // In the background the starter waits for the daemon's start-up,
        // and the reason reaches it whatever the log.
        {"", {"-i", "vb", "-l", log, "-p", pid, "-F", none}, "load_group_list: failed to open"},
        {"", {"-i", "vb", "-l", log, "-p", pid, "-u", "nosuch0"}, "user nosuch0 not found"},
        {"", {"-i", "vb", "-l", log, "-p", pid, "-R", "127.0.0.1:99999"},
         "reporter_setup: failed to open [udp://127.0.0.1:99999]"},
        // No log to write to: the reason reaches the starter.
        {"", {"-i", "vb", "-l", none + "/log", "-p", pid},
         "fopen(" + none + "/log) ERROR(2): No such file or directory\n"},
    };
    for (const auto &c : cases) {
        unlink(log.c_str());
        write_file(list, c.list_text);
        std::vector<std::string> args = c.more;
        if (args[0] != "-i") args.insert(args.begin(), fg.begin(), fg.end());
        EXPECT_EQ(run(args), 2) << c.message;
        const std::string text = read_file(err) + (file_exists(log) ? read_file(log) : "");
        EXPECT_TRUE(has(text, c.message)) << c.message << "\n" << text;
        if (args[0] == "-i") {
            EXPECT_TRUE(has(read_file(err), c.message)) << read_file(err);
            EXPECT_TRUE(has(read_file(err), "start-up in the background failed with exit status "
                                            "2, see the lines above\n"));
        }
        EXPECT_FALSE(file_exists(pid));
    }

    // Without a pid file there is no background start: a usage error.
    EXPECT_EQ(run({"-i", "vb", "-L", "debug", "-l", log, "-F", list}), 1);
    EXPECT_TRUE(has(read_file(err), "app_getcfg: a pid file (-p) is required to run in the "
                                    "background\n"));
    EXPECT_TRUE(has(read_file(err), "Usage: oxa OPTIONS\n"));
    EXPECT_FALSE(file_exists(log));

    const std::string nb = "ip -n " + vp.b() + " ";
    if (run_quiet(nb + "tuntap add mode tun dev otun0") &&
        run_quiet(nb + "addr add 10.73.0.1/24 dev otun0") && run_quiet(nb + "link set otun0 up")) {
        EXPECT_EQ(run({"-T", "-i", "otun0"}), 2);
        EXPECT_TRUE(has(read_file(err), "otun0 is not an Ethernet interface (link type RAW)"));
    }
}

TEST_F(OxaNetns, joins_and_leaves_reported_end_to_end)
{
    int port = 0;
    Fd rx(daemon_socket(vp.b(), &port));
    ASSERT_GE(rx.fd, 0);
    Fd host(socket_in(vp.a(), AF_INET, SOCK_DGRAM));
    Fd raw(socket_in(vp.a(), AF_PACKET, SOCK_RAW));
    const int va = ifindex(raw.fd, "va");
    ASSERT_GT(va, 0);

    // Agent 1 reports over UDP: 239.1.1.1-239.1.1.9 and the listed
    // 239.2.2.2.  Agent 2 prints: only the listed 239.3.3.3.
    write_file(dir.file("list1"), "239.2.2.2\n");
    write_file(dir.file("list2"), "239.3.3.3\n");
    const std::string err2 = dir.file("err2"), out2 = dir.file("out2");
    const pid_t a1 =
        spawn({"-T", "-i", "vb", "-R", "127.0.0.1:" + std::to_string(port), "-g",
               "239.1.1.1", "-G", "239.1.1.9", "-F", dir.file("list1"), "-L", "debug", "-l", log},
              out, err, vp.b());
    // Agent 2 logs to the standard error, its log's mirror too; in the
    // foreground too it reads the captured frames as the user it is given.
    const passwd *pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    const std::string user_id = pw ? std::to_string(pw->pw_uid) : "";
    std::vector<std::string> args2 = {"-T", "-i", "vb", "-F", dir.file("list2"), "-L", "debug",
                                      "-l", ""};
    if (pw) {
        // The group list is read as that user.
        args2.insert(args2.end(), {"-u", "nobody"});
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(chmod(dir.file("list2").c_str(), 0644), 0);
    }
    const pid_t a2 = spawn(args2, out2, err2, vp.b());
    ASSERT_TRUE(poll_until(
        [&] { return has(read_file(err), READY) && has(read_file(err2), READY); }, WAIT_MS));
    if (pw) {
        EXPECT_EQ(status_line(a2, "Uid"), user_id + "\t" + user_id + "\t" + user_id + "\t" + user_id);
        EXPECT_TRUE(has(read_file(err2), "Running as user [nobody]\n"));
        EXPECT_TRUE(has(read_file(err2), "is running as UID=" + user_id + ","));
    }

    // Crafted frames, in order.  Malformed ones that pass the capture
    // filter, and ones it drops, report nothing and crash nothing.
    // clang-format off
    const std::vector<uint8_t> frames[] = {
        frame(0x16, "239.1.1.1", 6, 30), frame(0x16, "239.1.1.1", 4),
        frame(0x16, "239.1.1.1", 15, 50), frame(0x16, "239.1.1.1", 6, 45),
        frame(0x16, "239.1.1.1", 6, 0, 0x0800, 0x62), frame(0x16, "239.1.1.1", 6, 0, 0x86dd),
        frame(0x16, "239.1.1.1", 6, 0, 0x0800, 0x4f),
        frame(0x16, "239.1.1.1"), frame(0x16, "239.1.1.1", 5), frame(0x12, "239.1.1.2", 5),
        frame(0x22, "239.1.1.3"), frame(0x11, "239.1.1.3"), frame(0x17, "239.1.1.1"),
        frame(0x17, "239.1.1.1"), frame(0x17, "239.1.1.8"), frame(0x16, "239.2.2.9"),
        frame(0x17, "239.2.2.9")};
    // clang-format on
    for (const auto &f : frames) EXPECT_TRUE(inject(raw.fd, va, f));
    EXPECT_EQ(recv_within(rx.fd, MSG_WAIT_MS), "JOIN UDP://239.1.1.1\n");
    EXPECT_EQ(recv_within(rx.fd, MSG_WAIT_MS), "JOIN UDP://239.1.1.2\n");
    EXPECT_EQ(recv_within(rx.fd, MSG_WAIT_MS), "LEAVE UDP://239.1.1.1\n");

    // Real IGMPv2 hosts.
    const char *groups[] = {"239.3.3.3", "239.1.1.5", "239.1.1.10", "239.2.2.2"};
    for (const char *g : groups) ASSERT_TRUE(membership(host.fd, g, vp.addr_a(), true)) << g;
    EXPECT_EQ(recv_set(rx.fd, 2), "JOIN UDP://239.1.1.5\nJOIN UDP://239.2.2.2\n");
    for (const char *g : groups) ASSERT_TRUE(membership(host.fd, g, vp.addr_a(), false)) << g;
    EXPECT_EQ(recv_set(rx.fd, 2), "LEAVE UDP://239.1.1.5\nLEAVE UDP://239.2.2.2\n");
    // The next message is the next in-scope join: nothing else came between.
    ASSERT_TRUE(membership(host.fd, "239.1.1.9", vp.addr_a(), true));
    EXPECT_EQ(recv_within(rx.fd, MSG_WAIT_MS), "JOIN UDP://239.1.1.9\n");
    EXPECT_TRUE(
        poll_until([&] { return has(read_file(out2), "LEAVE UDP://239.3.3.3\n"); }, MSG_WAIT_MS));

    kill(a1, SIGTERM);
    kill(a2, SIGTERM);
    EXPECT_EQ(finish_child(a1, WAIT_MS), 0);
    EXPECT_EQ(finish_child(a2, WAIT_MS), 0);
    EXPECT_EQ(recv_within(rx.fd, 0), "");  // no LEAVE for the groups still joined
    EXPECT_EQ(read_file(out), "");
    EXPECT_EQ(read_file(out2), "JOIN UDP://239.3.3.3\nLEAVE UDP://239.3.3.3\n");
    EXPECT_TRUE(has(read_file(err), "\nSIG(15)\n"));
    const std::string l1 = read_file(log);
    for (const char *line :
         {"(ERR)  on_pcap_pkt: packet is too small: 30 bytes\n",
          "on_pcap_pkt: bad IPv4 header length 16 for 42 bytes",
          "on_pcap_pkt: bad IPv4 header length 60 for 50 bytes",
          "on_pcap_pkt: bad IPv4 header length 24 for 45 bytes",
          "(ERR)  on_pcap_pkt: non-IPv4: 6\n", "on_pcap_pkt: address out of scope: 239.1.1.10\n",
          "relay_msg: 21 bytes sent: JOIN UDP://239.1.1.5\n", "v2-report/16 239.1.1.5\n",
          "02:00:00:00:00:01 -> 01:00:5e:01:01:01 [0800]\n", "oxa is exiting with rc=0\n"})
        EXPECT_TRUE(has(l1, line)) << line;
    const std::string e2 = read_file(err2);
    EXPECT_TRUE(has(e2, "relay_msg: 21 bytes output: JOIN UDP://239.3.3.3\n"));
    // Frames are dumped once on a stream that is both the log and its mirror.
    const std::string dump = "02:00:00:00:00:01 -> 01:00:5e:01:01:01 [0800]\n";
    EXPECT_EQ(count_of(e2, dump), count_of(l1, dump));
    EXPECT_EQ(count_of(e2, "/16 239.3.3.3\n") + count_of(e2, "/17 239.3.3.3\n"),
              count_of(e2, "addr=[239.3.3.3]\n"));
}

// With no scope option every group is in scope: only what is a group and
// carries a sound checksum is reported, each message timed from its frame.
TEST_F(OxaNetns, real_groups_reach_the_daemon_within_milliseconds)
{
    int port = 0;
    Fd rx(daemon_socket(vp.b(), &port));
    Fd raw(socket_in(vp.a(), AF_PACKET, SOCK_RAW));
    const int va = ifindex(raw.fd, "va");
    const pid_t pid = spawn({"-T", "-i", "vb", "-R", "127.0.0.1:" + std::to_string(port), "-L",
                             "debug", "-l", log},
                            out, err, vp.b());
    ASSERT_TRUE(rx.fd >= 0 && va > 0 &&
                poll_until([&] { return has(read_file(err), READY); }, WAIT_MS));

    const struct {
        std::vector<uint8_t> f;
        const char *msg;  // null: dropped
    } steps[] = {
        {frame(0x16, "239.10.0.1"), "JOIN UDP://239.10.0.1\n"},
        {frame(0x16, "10.0.0.7"), nullptr},
        {frame(0x16, "255.255.255.255"), nullptr},
        {frame(0x16, "224.0.0.251"), nullptr},
        {bad_csum(frame(0x16, "239.10.0.2")), nullptr},
        {frame(0x12, "239.10.0.2", 5), "JOIN UDP://239.10.0.2\n"},
        {bad_csum(frame(0x17, "239.10.0.1")), nullptr},
        {frame(0x17, "224.0.0.251"), nullptr},
        // Hosts of a VLAN are served by an agent on the VLAN's interface.
        {tagged(frame(0x16, "239.10.0.3")), nullptr},
        {tagged(frame(0x17, "239.10.0.1")), nullptr},
        {frame(0x16, "239.255.255.255"), "JOIN UDP://239.255.255.255\n"},
        {frame(0x17, "239.10.0.1"), "LEAVE UDP://239.10.0.1\n"},
        {frame(0x16, "224.0.1.1"), "JOIN UDP://224.0.1.1\n"},
        {frame(0x17, "239.10.0.2"), "LEAVE UDP://239.10.0.2\n"},
    };
    for (const auto &s : steps) {
        const long sent = now_ms();
        ASSERT_TRUE(inject(raw.fd, va, s.f));
        if (!s.msg) continue;
        EXPECT_EQ(recv_within(rx.fd, MSG_WAIT_MS), s.msg);
        EXPECT_LT(now_ms() - sent, REPORT_DELAY_MS) << s.msg;
    }

    // The quit signal is seen at once, not at the end of a read time-out.
    const long quit = now_ms();
    kill(pid, SIGTERM);
    EXPECT_EQ(finish_child(pid, WAIT_MS), 0);
    EXPECT_LT(now_ms() - quit, 5000);
    EXPECT_EQ(recv_within(rx.fd, 0), "");
    const std::string l = read_file(log);
    for (const char *line : {
             "(DBG)  on_pcap_pkt: 10.0.0.7 is not a multicast group - v2-report dropped (1 so",
             "255.255.255.255 is not a multicast group - v2-report dropped (2 so far)\n",
             "on_pcap_pkt: 224.0.0.251 is a link-local group - v2-report dropped (3 so far)\n",
             "on_pcap_pkt: bad IGMP checksum in a v2-report for 239.10.0.2 - dropped (1 so far)\n",
             "on_pcap_pkt: bad IGMP checksum in a leave for 239.10.0.1 - dropped (2 so far)\n",
             "on_pcap_pkt: 224.0.0.251 is a link-local group - leave dropped (4 so far)\n",
             "(DBG)  on_pcap_pkt: VLAN-tagged frame, type=8100 - dropped (1 so far)\n",
             "on_pcap_pkt: VLAN-tagged frame, type=8100 - dropped (2 so far)\n",
             "app_run: dropped 2 IGMP messages with a bad checksum and 4 for addresses that are "
             "no reportable group, 2 VLAN-tagged frames; refused 0 new groups at the bound of "
             "4096\n"})
        EXPECT_TRUE(has(l, line)) << line;
    EXPECT_FALSE(has(l, "(ERR)")) << l;
}

// A report for a new group beyond the bound is refused, with one warning
// for a burst, until a leave makes room.
TEST_F(OxaNetns, group_table_is_bounded)
{
    Fd raw(socket_in(vp.a(), AF_PACKET, SOCK_RAW));
    const int va = ifindex(raw.fd, "va");
    const pid_t pid = spawn({"-T", "-i", "vb", "-L", "debug", "-l", log}, out, err, vp.b());
    ASSERT_TRUE(va > 0 && poll_until([&] { return has(read_file(err), READY); }, WAIT_MS));
    auto send = [&](uint8_t type, int i) {
        const std::string g = "239.20." + std::to_string(i / 256) + "." + std::to_string(i % 256);
        return inject(raw.fd, va, frame(type, g.c_str()));
    };
    // Batches small enough for the capture's buffer, each one reported
    // before the next is sent.
    for (int i = 0; i < GROUP_BOUND + 128; i += 64) {
        for (int j = i; j < i + 64; ++j) ASSERT_TRUE(send(0x16, j));
        const size_t want = size_t(std::min(i + 64, GROUP_BOUND));
        ASSERT_TRUE(poll_until([&] { return count_of(read_file(out), "JOIN ") >= want; }, WAIT_MS));
    }
    // A repeated report gives nothing; a leave makes room for one new group.
    for (const auto &[type, i] :
         {std::pair{0x16, 1}, {0x17, 0}, {0x16, 5000}, {0x16, 5001}, {0x17, 4}})
        ASSERT_TRUE(send(uint8_t(type), i));
    ASSERT_TRUE(
        poll_until([&] { return has(read_file(out), "LEAVE UDP://239.20.0.4\n"); }, WAIT_MS));
    kill(pid, SIGTERM);
    EXPECT_EQ(finish_child(pid, WAIT_MS), 0);
    const std::string o = read_file(out), l = read_file(log);
    EXPECT_EQ(count_of(o, "JOIN "), size_t(GROUP_BOUND + 1));
    EXPECT_TRUE(has(o, "JOIN UDP://239.20.15.255\nLEAVE UDP://239.20.0.0\n"
                       "JOIN UDP://239.20.19.136\nLEAVE UDP://239.20.0.4\n"));
    EXPECT_EQ(count_of(l, "(WRN)"), 1u);
    EXPECT_TRUE(has(l, "(WRN)  on_pcap_pkt: group table full (4096 groups): report for "
                       "239.20.16.0 refused, 1 refused since the last warning\n"));
    EXPECT_TRUE(has(l, "refused 129 new groups at the bound of 4096\n"));
}

TEST_F(OxaNetns, started_without_standard_descriptors_it_keeps_them_on_dev_null)
{
    const char *argv[] = {OXA.c_str(), "-T", "-i", "vb", "-L", "debug", "-l", log.c_str(), nullptr};
    const pid_t pid = start_child([&] {
        if (!enter_netns(vp.b())) return 126;
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) close(fd);
        execv(OXA.c_str(), const_cast<char **>(argv));
        return 127;
    });
    // Its capture socket, log file and report stream take none of them.
    ASSERT_TRUE(poll_until([&] { return has(read_file(log), READY); }, WAIT_MS));
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        char target[256] = {};
        EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << link;
        EXPECT_STREQ(target, "/dev/null") << link;
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(finish_child(pid, WAIT_MS), 0);
    EXPECT_TRUE(has(read_file(log), "oxa is exiting with rc=0\n"));
}

// Standard error a pipe that is full before the agent starts (a
// supervisor's pipe that stalled before a restart), with a log file and
// without one ("logging to /dev/null" is said there): the agent reports
// joins, mirrors its debug log, and ends on SIGTERM (whose line is said
// there too), never waiting on the pipe.
TEST_F(OxaNetns, full_standard_error_never_holds_it)
{
    Fd host(socket_in(vp.a(), AF_INET, SOCK_DGRAM));
    for (const bool with_log : {true, false}) {
        SCOPED_TRACE(with_log);
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        Fd rd(p[0]), wr(p[1]);
        // Filled through the test's own description, so that the agent's
        // stays blocking.
        const int fill = open(("/proc/self/fd/" + std::to_string(p[1])).c_str(),
                              O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fill, 0);
        const std::string page(4096, 'f');
        while (write(fill, page.data(), page.size()) > 0) {
        }
        EXPECT_EQ(errno, EAGAIN);
        close(fill);
        std::vector<std::string> args = {"-T", "-i", "vb", "-L", "debug"};
        if (with_log) args.insert(args.end(), {"-l", log});
        const pid_t pid = start_child([&] {
            std::vector<char *> argv{const_cast<char *>(OXA.c_str())};
            for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (!enter_netns(vp.b()) || dup2(o, 1) < 0 || dup2(wr.fd, 2) < 0) return 126;
            execv(OXA.c_str(), argv.data());
            return 127;
        });
        // Joined again until reported: nothing tells when the capture is on.
        const std::string group = with_log ? "239.6.6.1" : "239.6.6.2";
        bool reported = false;
        for (const long t0 = now_ms(); !reported && now_ms() - t0 < MSG_WAIT_MS;) {
            ASSERT_TRUE(membership(host.fd, group.c_str(), vp.addr_a(), true));
            reported = poll_until([&] { return has(read_file(out), "JOIN UDP://" + group); }, 500);
            ASSERT_TRUE(membership(host.fd, group.c_str(), vp.addr_a(), false));
        }
        EXPECT_TRUE(reported);
        kill(pid, SIGTERM);
        EXPECT_EQ(finish_child(pid, WAIT_MS), 0);
        EXPECT_TRUE(!with_log || has(read_file(log), "oxa is exiting with rc=0\n"));
    }
}

TEST_F(OxaNetns, daemon_owns_its_pid_file_and_keeps_output_out_of_it)
{
    // Detached processes come back to this one, which reaps the daemon.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Fd host(socket_in(vp.a(), AF_INET, SOCK_DGRAM));
    const std::string pidf = dir.file("oxa.pid");
    // Started under umask 000, the agent runs with 022 all the same, in the
    // background and in the foreground.
    struct mask_guard {
        mode_t old = umask(0);
        ~mask_guard() { umask(old); }
    } mask;
    const std::string umask_022 = "\nUmask:\t0022\n";
    ASSERT_EQ(run({"-i", "vb", "-p", pidf, "-l", log}), 0) << read_file(err);
    const pid_t daemon = pid_t(atol(read_file(pidf).c_str()));
    ASSERT_GT(daemon, 0);
    const std::string pid_text = std::to_string(daemon);
    EXPECT_TRUE(has(read_file("/proc/" + pid_text + "/status"), umask_022));

    // Messages on the standard output go to /dev/null, not into the pid file.
    ASSERT_TRUE(membership(host.fd, "239.5.5.5", vp.addr_a(), true));
    EXPECT_TRUE(poll_until([&] { return has(read_file(log), "output: JOIN UDP://239.5.5.5"); },
                           MSG_WAIT_MS));
    EXPECT_EQ(read_file(pidf), pid_text);

    // A second daemon on the same pid file and log stops at the pid file's
    // lock before it opens the log, which would move the running agent's
    // aside: that log keeps its name and inode, and the running agent goes
    // on writing it.  Why goes to the
    // second's starter.
    struct stat before{};
    ASSERT_EQ(stat(log.c_str(), &before), 0);
    EXPECT_EQ(run({"-i", "vb", "-p", pidf, "-l", log}), 2);
    EXPECT_TRUE(has(read_file(err), "is locked (another instance of daemon must be running)"));
    struct stat after{};
    ASSERT_EQ(stat(log.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(file_exists(log + "." + std::to_string(before.st_mtime)));
    ASSERT_TRUE(membership(host.fd, "239.5.5.6", vp.addr_a(), true));
    EXPECT_TRUE(poll_until([&] { return has(read_file(log), "output: JOIN UDP://239.5.5.6"); },
                           MSG_WAIT_MS));
    // A foreground run naming the same pid file leaves it alone.
    const pid_t fg = spawn({"-T", "-i", "vb", "-p", pidf, "-L", "debug"}, out, err, vp.b());
    EXPECT_TRUE(poll_until([&] { return has(read_file(err), READY); }, WAIT_MS));
    EXPECT_TRUE(has(read_file("/proc/" + std::to_string(fg) + "/status"), umask_022));
    kill(fg, SIGTERM);
    EXPECT_EQ(finish_child(fg, WAIT_MS), 0);
    EXPECT_EQ(read_file(pidf), pid_text);

    // The daemon removes its own file when it stops.
    kill(daemon, SIGTERM);
    EXPECT_EQ(finish_child(daemon, WAIT_MS), 0);
    EXPECT_FALSE(file_exists(pidf));
}

}  // namespace
