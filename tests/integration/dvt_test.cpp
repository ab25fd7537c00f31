// The traffic tool run as a program: option errors, TCP, UDP, RTP, HTTP and
// file transfers on loopback, and multicast inside a private network
// namespace.  Peers are a second dvt/dvs or sockets of the test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "netns.h"
#include "support.h"

extern char **environ;

namespace {

using strings = std::vector<std::string>;

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A bounded pause: the programs under test run on their own clocks.
void pause_ms(int ms) { (void)poll(nullptr, 0, ms); }

// The bound of a wait for what must come (a line, a datagram, an exit): a
// machine busy with other work may start a program or deliver a datagram
// seconds late, and a wait that succeeds returns at once anyway.
constexpr int WAIT_MS = 20000;

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

bool has(const std::string &text, const std::string &what) { return count_of(text, what) > 0; }

// The byte count of the last line that starts with what.
long total_of(const std::string &text, const std::string &what)
{
    const size_t p = text.rfind(what);
    const size_t c = p == std::string::npos ? p : text.find(": ", p);
    return c == std::string::npos ? -1 : atol(text.c_str() + c + 2);
}

// One run of a program with its output in files; killed on destruction
// while it still runs.  Reports by results only, so forked children can
// use it too.
class Proc {
public:
    Proc(const std::string &prog, const strings &args, const strings &env = {})
    {
        strings av{prog}, ev(env);
        av.insert(av.end(), args.begin(), args.end());
        for (char **e = environ; *e; ++e)
            if (strncmp(*e, "DBG_RD1=", 8) && strncmp(*e, "TRK_RTP1=", 9) &&
                strncmp(*e, "DVT_NO_SENDFILE=", 16))
                ev.emplace_back(*e);
        std::vector<char *> argv, envp;
        for (auto &a : av) argv.push_back(a.data());
        for (auto &e : ev) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, dir_.file("out").c_str(), O_WRONLY | O_CREAT, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, dir_.file("err").c_str(), O_WRONLY | O_CREAT, 0644);
        // Only the standard descriptors: the program's own then start at 3.
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);
        if (posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Proc() { (void)finish(0); }
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;

    std::string out() const { return read_file(dir_.file("out")); }
    std::string err() const { return read_file(dir_.file("err")); }

    // Waits until stdout (or stderr) holds text `times` times.
    bool wait_for(const std::string &text, int ms, bool in_err = false, size_t times = 1) const
    {
        for (const long end = now_ms() + ms;; pause_ms(10)) {
            if (count_of(in_err ? err() : out(), text) >= times) return true;
            if (now_ms() >= end) return false;
        }
    }
    // The exit status once it ended, at most ms from now; -1 when it was
    // ended by a signal, or did not end in time (it is then killed).
    int finish(int ms = WAIT_MS)
    {
        for (const long end = now_ms() + ms; pid_ > 0; pause_ms(5)) {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                pid_ = 0;
            } else if (now_ms() >= end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = 0;
                status_ = -1;
            }
        }
        return status_ != -1 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    int stop()
    {
        if (pid_ > 0) kill(pid_, SIGTERM);
        return finish();
    }
    int term_signal() const { return status_ != -1 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// --- test peers --------------------------------------------------------------------

sockaddr_storage sock_addr(const std::string &addr, int port, socklen_t *len)
{
    sockaddr_storage ss{};
    auto *a4 = reinterpret_cast<sockaddr_in *>(&ss);
    auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
    const bool v6 = addr.find(':') != std::string::npos;
    ss.ss_family = v6 ? AF_INET6 : AF_INET;
    (v6 ? a6->sin6_port : a4->sin_port) = htons(uint16_t(port));
    inet_pton(ss.ss_family, addr.c_str(), v6 ? static_cast<void *>(&a6->sin6_addr) : &a4->sin_addr);
    *len = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return ss;
}

// A socket of type bound to addr:*port (0: the system's pick, stored back);
// a stream socket listens.
int bound_socket(int type, const std::string &addr, int *port)
{
    socklen_t len;
    sockaddr_storage ss = sock_addr(addr, *port, &len);
    Fd s(socket(ss.ss_family, type | SOCK_CLOEXEC, 0));
    auto *sa = reinterpret_cast<sockaddr *>(&ss);
    if (s.fd < 0 || bind(s.fd, sa, len) != 0 || getsockname(s.fd, sa, &len) != 0 ||
        (type == SOCK_STREAM && listen(s.fd, 8) != 0))
        return -1;
    *port = ntohs(reinterpret_cast<sockaddr_in *>(&ss)->sin_port);  // same place in both
    const int fd = s.fd;
    s.fd = -1;
    return fd;
}

// A port free for TCP and UDP on both loopback addresses (port + 1 too
// when asked).
int free_port(bool two = false)
{
    auto is_free = [](int port) {
        for (const char *addr : {"127.0.0.1", "::1"})
            for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
                if (addr[0] == ':' && !have_ipv6_loopback()) continue;
                int q = port;
                Fd s(bound_socket(type, addr, &q));
                if (s.fd < 0) return false;
            }
        return true;
    };
    for (int tries = 0; tries < 50; ++tries) {
        int port = 0;
        Fd(bound_socket(SOCK_STREAM, "127.0.0.1", &port));
        if (port > 0 && port < 65000 && is_free(port) && (!two || is_free(port + 1))) return port;
    }
    return -1;
}

int tcp_connect(const std::string &addr, int port)
{
    socklen_t len;
    sockaddr_storage ss = sock_addr(addr, port, &len);
    Fd s(socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.fd < 0 || connect(s.fd, reinterpret_cast<sockaddr *>(&ss), len) != 0) return -1;
    const int fd = s.fd;
    s.fd = -1;
    return fd;
}

int accept_within(int lsn, int ms)
{
    pollfd p{lsn, POLLIN, 0};
    return poll(&p, 1, ms) == 1 ? accept4(lsn, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

// Reads until want bytes came, `until` was seen, the peer closed (*eof)
// or ms passed.
std::string read_some(int fd, size_t want, int ms, const std::string &until = "", bool *eof = nullptr)
{
    std::string got;
    bool closed = false;
    for (const long end = now_ms() + ms; got.size() < want && (until.empty() || !has(got, until));) {
        pollfd p{fd, POLLIN, 0};
        const long left = end - now_ms();
        if (left <= 0 || poll(&p, 1, int(left)) != 1) break;
        char buf[65536];
        const ssize_t n = recv(fd, buf, std::min(sizeof(buf), want - got.size()), 0);
        if ((closed = n <= 0)) break;
        got.append(buf, size_t(n));
    }
    if (eof) *eof = closed;
    return got;
}

bool send_all(int fd, const std::string &data)
{
    return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}

bool send_to(int fd, const std::string &data, int port)
{
    socklen_t len;
    const sockaddr_storage to = sock_addr("127.0.0.1", port, &len);
    return sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr *>(&to), len) ==
           ssize_t(data.size());
}

// A datagram received within ms (empty when none came), and its source port.
std::string recv_dgram(int fd, int ms, int *from_port = nullptr)
{
    pollfd p{fd, POLLIN, 0};
    sockaddr_in from{};
    socklen_t len = sizeof(from);
    char buf[65536];
    const ssize_t n = poll(&p, 1, ms) == 1 ? recvfrom(fd, buf, sizeof(buf), 0,
                                                       reinterpret_cast<sockaddr *>(&from), &len)
                                           : -1;
    if (from_port) *from_port = ntohs(from.sin_port);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

uint16_t seq_of(const std::string &m) { return uint16_t((uint8_t(m[2]) << 8) | uint8_t(m[3])); }

std::string rtp_msg(uint16_t seq, uint32_t ssrc)
{
    std::string m(100, 'A');
    m[0] = char(0x80);
    m[1] = 0;
    m[2] = char(seq >> 8);
    m[3] = char(seq);
    for (int i = 0; i < 4; ++i) m[8 + i] = char(ssrc >> (24 - 8 * i));
    return m;
}

const std::string HTTP_200 =
    "HTTP/1.1 200 OK\r\nServer: DVT (Tavel proxy client/server utility)\r\n"
    "Content-Type:application/octet-stream\r\n\r\n";

class dvt : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *dir = getenv("TAVEL_BUILD_DIR");
        if (!dir) GTEST_SKIP() << "TAVEL_BUILD_DIR is not set";
        dvt_ = std::string(dir) + "/util/dvt";
        dvs_ = std::string(dir) + "/util/dvs";
    }
    // A server on 127.0.0.1 and a free port, waiting for its first peer.
    std::string serve(std::unique_ptr<Proc> &srv, strings args)
    {
        const std::string port = std::to_string(free_port());
        args.insert(args.end(), {"-a", "127.0.0.1", "-p", port});
        srv = std::make_unique<Proc>(dvs_, args);
        EXPECT_TRUE(srv->wait_for("waiting for input", WAIT_MS, true));
        return port;
    }
    std::string dvt_, dvs_;
};

}  // namespace

TEST_F(dvt, option_errors_end_with_their_message_and_status)
{
    TempDir dir;
    write_file(dir.file("empty"), "");
    // Rows that would send to rx if they ran: nothing must arrive.
    int rx_port = 0;
    Fd rx(bound_socket(SOCK_DGRAM, "127.0.0.1", &rx_port));
    ASSERT_GE(rx.fd, 0);
    const strings send = {"-w", "-u", "-a", "127.0.0.1", "-p", std::to_string(rx_port)};
    auto sending = [&](const strings &more) {
        strings args = send;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct bad_case {
        strings args;
        int code;
        std::string message;
    };
    const std::vector<bad_case> cases = {
        {{"-a", "127.0.0.1"}, 1, "port must be specified\n"},
        {{"-p", "0"}, 1, "dvt: invalid port value: 0\n"},
        {{"-p", "65537"}, 1, "dvt: invalid port value: 65537\n"},
        {{"-p", "80x"}, 1, "dvt: invalid port value: 80x\n"},
        {{"-6", "-p", "65535"}, 1, "dvt: invalid port value: 65535\n"},
        {{"-p", "5000", "-n", "0"}, 1, "dvt: invalid message size value: 0\n"},
        {{"-p", "5000", "-n", "8388609"}, 1, "dvt: message size is too big, max=8388608\n"},
        {{"-p", "5000", "-i", "0"}, 1, "dvt: invalid timeout value: 0\n"},
        {{"-p", "5000", "-d", "-1"}, 1, "dvt: invalid delay (ms) value: -1\n"},
        {{"-p", "5000", "-S", "0"}, 1, "dvt: invalid send-buffer size: 0\n"},
        {{"-p", "5000", "-R", "abc"}, 1, "dvt: invalid receive-buffer size: abc\n"},
        // Buffer sizes are set as an int: larger values are refused, not cut.
        {{"-p", "5000", "-S", "2147483648"}, 1, "dvt: invalid send-buffer size: 2147483648\n"},
        {{"-p", "5000", "-R", "4294967296"}, 1, "dvt: invalid receive-buffer size: 4294967296\n"},
        {{"-p", "5000", "-m", "nosuch0"}, 1, "Invalid interface name/address: nosuch0\n"},
        // Interface texts are numeric: a wrong name never waits for a resolver.
        {{"-p", "5000", "-m", "localhost"}, 1, "Invalid interface name/address: localhost\n"},
        {{"-p", "5000", "-s", dir.file("none")}, 1, "cannot open source file"},
        {{"-p", "5000", "-s", dir.file("empty")}, 1, "must be a non-empty regular file"},
        {{"-p", "5000", "-s", dir.path()}, 1, "must be a non-empty regular file"},
        {{"-p", "5000", "-1", "7:1", "-n", "12"}, 1, "too small for RTP"},
        {{"-p", "5000", "-1", "xyz:1"}, 255, "dvt: invalid SEQ number: xyz\n"},
        {{"-p", "5000", "-1", "xyz"}, 255, "dvt: invalid SEQ number: xyz\n"},
        {{"-p", "5000", "-1", "65536"}, 255, "dvt: invalid SEQ number: 65536\n"},
        {{"-p", "5000", "-1", ":5"}, 255, "dvt: invalid SEQ number: \n"},
        {{"-p", "5000", "-1", "5:0x1G"}, 255, "dvt: invalid SSID number: 0x1G\n"},
        {{"-p", "5000", "-1", "5: ab"}, 255, "dvt: invalid SSID number:  ab\n"},
        // Numbers are decimal, 0x hexadecimal or 0 octal: bare hex digits
        // are no number.
        {{"-p", "5000", "-1", "5:ab"}, 255, "dvt: invalid SSID number: ab\n"},
        {{"-p", "5000", "-1", "5:09"}, 255, "dvt: invalid SSID number: 09\n"},
        {{"-p", "5000", "-1", "5:"}, 255, "dvt: invalid SSID number: \n"},
        {{"-p", "5000", "-1", "5:-1"}, 255, "dvt: invalid SSID number: -1\n"},
        {{"-p", "5000", "-1", "5:0x100000000"}, 255, "dvt: invalid SSID number: 0x100000000\n"},
        {{"-p", "5000", "-2", "0:1"}, 255, "dvt: invalid gap randN=[0]\n"},
        {{"-p", "5000", "-2", "0"}, 255, "dvt: invalid gap randN=[0]\n"},
        {{"-p", "5000", "-2", "5:"}, 255, "dvt: invalid gap length=[]\n"},
        {{"-p", "5000", "-2", "4:-1"}, 255, "dvt: invalid gap length=[-1]\n"},
        {{"-p", "5000", "-2", "4:x"}, 255, "dvt: invalid gap length=[x]\n"},
        {sending({"-2", "3:0"}), 255, "dvt: invalid gap length=[0]\n"},
        {{"-u", "-h", "-p", "5000"}, 1, "Invalid mode combination: UDP cannot be combined with HTTP\n"},
        // Unknown options, a missing argument and a run time that is not
        // a whole number of seconds are usage errors: nothing runs.
        {sending({"-Z"}), 1, "dvt: invalid option: Z\n"},
        {sending({"-Z", "-n", "100"}), 1, "dvt: invalid option: Z\n"},
        {sending({"-n"}), 1, "dvt: option requires an argument: n\n"},
        {sending({"-1"}), 1, "dvt: option requires an argument: 1\n"},
        {sending({"-D", "1s"}), 1, "dvt: invalid run time (sec): 1s\n"},
        {sending({"-D", "0"}), 1, "dvt: invalid run time (sec): 0\n"},
        {sending({"-D", "-3"}), 1, "dvt: invalid run time (sec): -3\n"},
    };
    const std::string usage_line = "Usage: " + dvt_ + " [options] -a addr -p port\n";
    for (const bad_case &c : cases) {
        Proc p(dvt_, c.args);
        EXPECT_EQ(p.finish(), c.code) << c.message;
        const std::string err = p.err();
        EXPECT_TRUE(has(err, c.message)) << err;
        // Usage follows the option errors, not a bad -1/-2 or the mode mix.
        EXPECT_EQ(has(err, usage_line), c.code == 1 && c.args[0] != "-u") << c.message;
        EXPECT_FALSE(has(err, "mode=0x")) << "no role runs after " << c.message;
    }
    EXPECT_TRUE(recv_dgram(rx.fd, 100).empty()) << "nothing is sent after a usage error";
    Proc bare(dvt_, {});
    EXPECT_EQ(bare.finish(), 1);
    EXPECT_TRUE(has(bare.err(), "Usage: dvt [options] -a addr -p port\n"));
    EXPECT_TRUE(has(bare.err(), "\t-1 N[:ssrc]    = send RTP packets with N=start-seq, SSRC=ssrc "
                                "(default 0x2146455A); numbers decimal, 0x.. hex or 0.. octal\n"));
    EXPECT_TRUE(has(bare.err(), "\t-2 N[:G]       = skip bursts of 1 to G (default 1) RTP packets; "
                                "one packet in N starts one, also right after another: -2 1:1 "
                                "skips every packet\n"));

    // Under another name the options are read and no role runs.
    const std::string zef = dir.file("ZEF");
    ASSERT_EQ(symlink(dvt_.c_str(), zef.c_str()), 0);
    Proc z(zef, {"-H", "-w", "-p", "5000"}, {"DBG_RD1=500:Rm"});
    EXPECT_EQ(z.finish(), 0);
    EXPECT_FALSE(has(z.err(), "mode=0x"));
    EXPECT_TRUE(has(z.err(), "ZEF: R:1,U:0,s:0,m:1,max_iospan_delta=500\n"));
    EXPECT_TRUE(has(z.out(), "ZEF: exiting with rc=0\n"));

    // -D: the alarm ends the program, without statistics (on a busy
    // machine it may come before the server says it waits for input).
    Proc alarmed(dvs_, {"-D", "1", "-a", "127.0.0.1", "-p", std::to_string(free_port())});
    EXPECT_EQ(alarmed.finish(), -1);
    EXPECT_EQ(alarmed.term_signal(), SIGALRM);
    EXPECT_TRUE(has(alarmed.err(), "Will quit after 1 seconds\n"));
    EXPECT_FALSE(has(alarmed.out(), "total received"));
}

TEST_F(dvt, tcp_byte_counts_match_and_failed_connections_exit_with_2)
{
    for (const std::string addr : {"127.0.0.1", "::1"}) {
        if (addr == "::1" && !have_ipv6_loopback()) continue;
        SCOPED_TRACE(addr);
        const std::string port = std::to_string(free_port());
        Proc srv(dvs_, {"-a", addr, "-p", port, "-n", "65536"});
        ASSERT_TRUE(srv.wait_for("waiting for input", WAIT_MS, true));
        // Two clients in turn: the server serves one peer after the other.
        for (size_t round = 1; round <= 2; ++round) {
            Proc cli(dvt_, {"-w", "-a", addr, "-p", port});
            ASSERT_TRUE(cli.wait_for("WRITE [+MEM+] to fd=3, msg_size=1400 delay=0 ms\n", WAIT_MS));
            pause_ms(300);
            EXPECT_EQ(cli.stop(), 0);
            ASSERT_TRUE(srv.wait_for("is exiting with rc=0", WAIT_MS, true, round));
            EXPECT_GT(total_of(cli.out(), "total sent to fd=3"), 100000);
            EXPECT_EQ(total_of(srv.out(), "total received from"), total_of(cli.out(), "total sent"));
        }
        EXPECT_EQ(srv.stop(), 0);
        EXPECT_TRUE(has(srv.err(), "SIG(15) "));
        EXPECT_TRUE(has(srv.out(), "dvs: exiting with rc=0\n"));
    }

    const std::string free = std::to_string(free_port());
    Proc refused(dvt_, {"-a", "127.0.0.1", "-p", free});
    EXPECT_EQ(refused.finish(), 2);
    EXPECT_TRUE(has(refused.err(), "mk_sock: connect: Connection refused (111)\n"));
    EXPECT_TRUE(has(refused.out(), "dvt: exiting with rc=2\n"));

    std::unique_ptr<Proc> srv;
    const std::string port = serve(srv, {});
    Proc dropped(dvt_, {"-x", "-w", "-a", "127.0.0.1", "-p", port});
    EXPECT_EQ(dropped.finish(), 2);
    EXPECT_TRUE(has(dropped.err(), "mk_sock: CONNECT [3]\n"));
    // The server's reader saw its peer go at once: a run of no length has
    // the rate 0, not a division by zero.
    ASSERT_TRUE(srv->wait_for("total received from", WAIT_MS));
    EXPECT_TRUE(has(srv->out(), "connected from IPv4 127.0.0.1:"));
    EXPECT_TRUE(has(srv->out(), "\nI/O: 0.000000 Kb within 0.000000 sec; 0.000000 Kb/sec\n"));
}

TEST_F(dvt, server_listens_on_both_families)
{
    const int port = free_port(true);
    // -6 without -a: IPv4 on the port, IPv6 on the port + 1.
    Proc srv(dvs_, {"-6", "-p", std::to_string(port)});
    ASSERT_TRUE(srv.wait_for("waiting for input", WAIT_MS, true));
    Fd c4(tcp_connect("127.0.0.1", port));
    ASSERT_TRUE(send_all(c4.fd, "0123456789"));
    c4.reset();
    ASSERT_TRUE(srv.wait_for("10 bytes\n", WAIT_MS));
    EXPECT_TRUE(has(srv.out(), "connected from IPv4 127.0.0.1:"));
    if (!have_ipv6_loopback()) return;
    Fd c6(tcp_connect("::1", port + 1));
    ASSERT_TRUE(send_all(c6.fd, "0123456789ab"));
    c6.reset();
    ASSERT_TRUE(srv.wait_for("12 bytes\n", WAIT_MS));
    EXPECT_TRUE(has(srv.out(), "connected from IPv6 ::1:"));
    EXPECT_EQ(srv.stop(), 0);
}

TEST_F(dvt, file_source_is_sent_again_from_its_start)
{
    TempDir dir;
    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char('a' + i % 23);
    const std::string src = dir.file("src.ts");
    write_file(src, data);
    // By sendfile, then copied through the transfer buffer.
    for (const bool no_sendfile : {false, true}) {
        SCOPED_TRACE(no_sendfile);
        int port = 0;
        Fd lsn(bound_socket(SOCK_STREAM, "127.0.0.1", &port));
        Proc cli(dvt_, {"-w", "-a", "127.0.0.1", "-p", std::to_string(port), "-s", src, "-d", "1"},
                 {no_sendfile ? "DVT_NO_SENDFILE=1" : "DVT_NO_SENDFILE=0"});
        Fd c(accept_within(lsn.fd, WAIT_MS));
        EXPECT_EQ(read_some(c.fd, 9000, WAIT_MS), data + data + data);
        EXPECT_EQ(cli.stop(), 0);
        EXPECT_TRUE(has(cli.out(), (no_sendfile ? "WRITE [(T)" : "SENDFILE [(T)") + src + "] to fd=4"));
        EXPECT_TRUE(has(cli.out(), "EOF(at 3000) "));
        EXPECT_TRUE(has(cli.err(), "ROLLOVER "));
        EXPECT_EQ(has(cli.err(), "dvt: sendfile(2) transfer explicitly disabled\n"), no_sendfile);
    }
    // A datagram a chunk; the file's end gives a short one.
    int port = 0;
    Fd rx(bound_socket(SOCK_DGRAM, "127.0.0.1", &port));
    Proc cli(dvt_, {"-u", "-w", "-a", "127.0.0.1", "-p", std::to_string(port), "-s", src, "-d", "1"});
    std::string got;
    for (size_t want : {1400, 1400, 200, 1400}) {
        const std::string d = recv_dgram(rx.fd, WAIT_MS);
        EXPECT_EQ(d.size(), want);
        got += d;
    }
    EXPECT_EQ(got, data + data.substr(0, 1400));
    EXPECT_EQ(cli.stop(), 0);
}

TEST_F(dvt, udp_byte_counts_match_and_the_server_replies_to_the_sender)
{
    std::unique_ptr<Proc> srv;
    const std::string port = serve(srv, {"-u", "-i", "1"});
    Proc cli(dvt_, {"-u", "-w", "-a", "127.0.0.1", "-p", port, "-n", "1316", "-d", "1"});
    ASSERT_TRUE(cli.wait_for("WRITE [+MEM+]", WAIT_MS));
    pause_ms(400);
    EXPECT_EQ(cli.stop(), 0);
    // The server's exchange ends after a second without data.
    ASSERT_TRUE(srv->wait_for("bytes\n", WAIT_MS));
    EXPECT_GT(total_of(cli.out(), "total sent to fd=3"), 1316 * 20);
    EXPECT_EQ(total_of(srv->out(), "total received from"), total_of(cli.out(), "total sent"));
    EXPECT_TRUE(has(srv->out(), "TIME-OUT [after 1 sec]"));

    // A writing server sends to whoever woke it.
    const std::string wport = serve(srv, {"-u", "-w", "-n", "200", "-d", "5"});
    int my_port = 0, from = 0;
    Fd me(bound_socket(SOCK_DGRAM, "127.0.0.1", &my_port));
    ASSERT_TRUE(send_to(me.fd, "hi", atoi(wport.c_str())));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(recv_dgram(me.fd, WAIT_MS, &from), std::string(200, 'A'));
        EXPECT_EQ(from, atoi(wport.c_str()));
    }
    EXPECT_EQ(srv->stop(), 0);
    EXPECT_TRUE(has(srv->out(), "sending to IPv4 127.0.0.1:" + std::to_string(my_port)));
}

TEST_F(dvt, rtp_writer_frames_messages_and_simulated_loss_shows_as_gaps)
{
    int port = 0;
    Fd rx(bound_socket(SOCK_DGRAM, "127.0.0.1", &port));
    const strings to = {"-u", "-w", "-a", "127.0.0.1", "-p", std::to_string(port), "-n", "200", "-d", "1"};
    auto run = [&](const strings &more) {
        strings args = to;
        args.insert(args.end(), more.begin(), more.end());
        return std::make_unique<Proc>(dvt_, args);
    };
    auto drain = [&] { while (!recv_dgram(rx.fd, 100).empty()) {} };

    // The numbers read as strtol reads them with base 0: 0x hexadecimal,
    // decimal (0xA1B2C3D4 is 2712847316).
    for (const char *arg : {"0xFFFA:2712847316", "65530:0xa1B2c3D4"}) {
        auto cli = run({"-1", arg});
        for (int i = 0; i < 12; ++i) {
            const std::string m = recv_dgram(rx.fd, WAIT_MS);
            ASSERT_EQ(m.size(), 200u) << arg;
            EXPECT_EQ(m.substr(0, 2), std::string("\x80\x00", 2));
            EXPECT_EQ(seq_of(m), uint16_t(65530 + i)) << "sequence numbers wrap at 65536";
            EXPECT_EQ(m.substr(8), "\xA1\xB2\xC3\xD4" + std::string(188, 'A'));
        }
        EXPECT_EQ(cli->stop(), 0);
        drain();
    }

    // Without ":ssrc" the SSRC is 0x2146455A ("ZEF!" in memory order).
    // Skipped messages use up their sequence numbers.
    auto cli = run({"-1", "7", "-2", "3:2", "-0", "5"});
    int gaps = 0;
    for (uint16_t i = 0, prev = 6; i < 120; ++i) {
        const std::string m = recv_dgram(rx.fd, WAIT_MS);
        ASSERT_EQ(m.substr(8, 4), "\x21\x46\x45\x5A") << "the default SSRC";
        const int d = uint16_t(seq_of(m) - prev) - 1;
        EXPECT_TRUE(d >= 0 && d < 40) << d;
        gaps += d > 0;
        prev = seq_of(m);
    }
    EXPECT_GT(gaps, 5);
    EXPECT_EQ(cli->stop(), 0);
    drain();

    // -2 N without ":G" skips bursts of one; bursts may follow one
    // another.
    cli = run({"-1", "1", "-2", "2", "-0", "9"});
    gaps = 0;
    int longest = 0;
    for (uint16_t i = 0, prev = 0; i < 60; ++i) {
        const std::string m = recv_dgram(rx.fd, WAIT_MS);
        ASSERT_EQ(m.size(), 200u);
        const int d = uint16_t(seq_of(m) - prev) - 1;
        EXPECT_TRUE(d >= 0 && d < 40) << d;
        gaps += d > 0;
        longest = std::max(longest, d);
        prev = seq_of(m);
    }
    EXPECT_GT(gaps, 5);
    EXPECT_GE(longest, 2) << "bursts of one in a row";
    EXPECT_EQ(cli->stop(), 0);
    drain();

    // A burst starts at every message: nothing is sent, and the marks say
    // so.
    cli = run({"-v", "-1", "1", "-2", "1:1"});
    EXPECT_TRUE(cli->wait_for("~1~1~1", WAIT_MS)) << cli->out();
    EXPECT_TRUE(recv_dgram(rx.fd, 100).empty());
    EXPECT_EQ(cli->stop(), 0);
    EXPECT_TRUE(has(cli->out(), "total sent to fd=3: 0 bytes\n")) << cli->out();
}

TEST_F(dvt, rtp_reader_reports_gaps_foreign_messages_and_source_changes)
{
    const int port = free_port();
    Proc rd(dvt_, {"-v", "-u", "-a", "127.0.0.1", "-p", std::to_string(port), "-1", "1", "-i", "1"},
            {"TRK_RTP1=yes"});
    ASSERT_TRUE(rd.wait_for("reading [UDP/RTP] from fd=3, msg_size=1400 delay=0 ms\n", WAIT_MS));
    int my_port = 0;
    Fd tx(bound_socket(SOCK_DGRAM, "127.0.0.1", &my_port));
    // 65535 to 0 is no gap; 0 counts as no previous number; a repeat is -1.
    for (const std::string &m : {rtp_msg(65534, 0xC0FFEE01), rtp_msg(65535, 0xC0FFEE01),
                                 rtp_msg(0, 0xC0FFEE01), rtp_msg(1, 0xC0FFEE01),
                                 rtp_msg(10, 0xC0FFEE01), rtp_msg(13, 0xC0FFEE01),
                                 rtp_msg(13, 0xC0FFEE01), rtp_msg(14, 0xBEEF0002),
                                 std::string(100, 'x')}) {
        ASSERT_TRUE(send_to(tx.fd, m, port));
        pause_ms(5);
    }
    EXPECT_EQ(rd.finish(), 0);
    EXPECT_TRUE(has(rd.out(), "RTP [100]:rrrrr{8}r{2}r{-1}S?")) << rd.out();
    EXPECT_TRUE(has(rd.out(), "total received from fd=3: 900 bytes\n"));
    EXPECT_TRUE(has(rd.err(), " |L:100 seq=13/10 gap=2 ssrc=0xc0ffee01| "));
    EXPECT_EQ(count_of(rd.err(), "#"), 1u) << "a unicast reader ends at its first time-out";
}

TEST_F(dvt, http_server_answers_get_and_head_and_refuses_other_text)
{
    std::unique_ptr<Proc> srv;
    const int port = atoi(serve(srv, {"-h", "-w", "-n", "500", "-d", "2", "-i", "1"}).c_str());
    bool eof = false;
    Fd junk(tcp_connect("127.0.0.1", port));
    ASSERT_TRUE(send_all(junk.fd, "hello there\r\n"));
    EXPECT_EQ(read_some(junk.fd, 1, WAIT_MS, "", &eof), "");
    EXPECT_TRUE(eof) << "no answer to text that is not HTTP";

    // The head comes in two parts; the answer waits for all of it.
    Fd get(tcp_connect("127.0.0.1", port));
    ASSERT_TRUE(send_all(get.fd, "GET /ch1 HTTP/1.1\r\n"));
    EXPECT_EQ(read_some(get.fd, 1, 300), "");
    ASSERT_TRUE(send_all(get.fd, "Host: x\r\n\r\n"));
    EXPECT_EQ(read_some(get.fd, HTTP_200.size() + 2000, WAIT_MS), HTTP_200 + std::string(2000, 'A'));
    get.reset();

    Fd head(tcp_connect("127.0.0.1", port));
    ASSERT_TRUE(send_all(head.fd, "HEAD /ch1 HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(read_some(head.fd, 100000, WAIT_MS, "", &eof), HTTP_200);
    EXPECT_TRUE(eof) << "a HEAD answer is the head alone";

    // A peer that says nothing is dropped after -i seconds.
    Fd mute(tcp_connect("127.0.0.1", port));
    const long t0 = now_ms();
    EXPECT_EQ(read_some(mute.fd, 1, WAIT_MS, "", &eof), "");
    EXPECT_TRUE(eof);
    EXPECT_GE(now_ms() - t0, 900);
    // The server's status is its last exchange's: the mute peer's.
    EXPECT_EQ(srv->stop(), 2);
    EXPECT_TRUE(has(srv->err(), "not an HTTP request, quitting.\n"));
    EXPECT_TRUE(has(srv->err(), "timed out waiting to read from fd="));
    EXPECT_TRUE(has(srv->out(), "Skipping I/O in HEAD mode\n"));

    // Data that came with the request's head is the transfer's first data.
    const int rport = atoi(serve(srv, {"-h"}).c_str());
    Fd up(tcp_connect("127.0.0.1", rport));
    ASSERT_TRUE(send_all(up.fd, "POST /up HTTP/1.1\r\n\r\n" + std::string(3000, 'z')));
    EXPECT_EQ(read_some(up.fd, HTTP_200.size(), WAIT_MS), HTTP_200);
    up.reset();
    ASSERT_TRUE(srv->wait_for("bytes\n", WAIT_MS));
    EXPECT_EQ(total_of(srv->out(), "total received from"), 3000);
}

TEST_F(dvt, http_client_sends_its_request_and_reads_past_a_long_head)
{
    int port = 0;
    Fd lsn(bound_socket(SOCK_STREAM, "127.0.0.1", &port));
    const std::string p = std::to_string(port);
    // Without -a the client connects to the loopback address, and the Host
    // header names the address it reached.
    Proc cli(dvt_, {"-h", "-p", p, "-U", "live/ch1"});
    Fd c(accept_within(lsn.fd, WAIT_MS));
    EXPECT_EQ(read_some(c.fd, 4096, WAIT_MS, "\r\n\r\n"),
              "GET /live/ch1 HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                  "\r\nConnection: close\r\nUser-Agent: DVT (Tavel proxy client/server utility)\r\n"
                  "Accept: text/html,video/*, application/*\r\nAccept-Language: en-US,en,ru\r\n"
                  "Accept-Charset: ISO-8859-1,UTF-8\r\nCache-Control: no-cache\r\n\r\n");
    // A 2xx status goes; head lines past 255 bytes are not data.
    std::string answer = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 8; ++i) answer += "X-Filler: " + std::string(40, 'f') + "\r\n";
    ASSERT_TRUE(send_all(c.fd, answer + "\r\n" + std::string(5000, 'd')));
    c.reset();
    EXPECT_EQ(cli.finish(), 0);
    EXPECT_TRUE(has(cli.out(), "total received from fd=3: 5000 bytes\n")) << cli.out();

    // The status line is read on its own: its reason may be empty, and
    // a head longer than the client reads is refused, never counted as
    // data.  Any status but 2xx is said with its code and text, and fails.
    const struct {
        std::string head;
        int code;
        std::string said;  // on stderr
    } answers[] = {
        {"HTTP/1.1 200\r\n\r\n", 0, ""},
        {"HTTP/1.0 200\r\n\r\n", 0, ""},
        {"HTTP/1.1 200 \r\nServer: x\r\n\r\n", 0, ""},
        {"HTTP/1.1 200 OK\r\nX: " + std::string(5000, 'f') + "\r\n\r\n", 2,
         "get_http_response: answer head longer than 4095 bytes\n"},
        {"HTTP/1.1 200 OK\r\n", 2, "get_http_response: answer head cut short after 17 bytes\n"},
        {"HTTP/1.1 2000 OK\r\n\r\n", 2, "get_http_response: malformed status line: HTTP/1.1 2000 OK\n"},
        {"HTTP/1.1 404 Not Found\r\n\r\n", 2, "get_http_response: server answered 404 Not Found\n"},
        {"HTTP/1.1 404\r\nContent-Length: 0\r\n\r\n", 2, "get_http_response: server answered 404\n"},
        {"HTTP/1.1 302 Found\r\n\r\n", 2, "get_http_response: server answered 302 Found\n"},
        // The peer's bytes escaped.
        {"HTTP/1.1 503 Busy\x1b[2J\r\n\r\n", 2, "get_http_response: server answered 503 Busy\\x1b[2J\n"},
    };
    for (const auto &a : answers) {
        Proc cl(dvt_, {"-h", "-p", p});
        Fd n(accept_within(lsn.fd, 5000));
        read_some(n.fd, 4096, 3000, "\r\n\r\n");
        ASSERT_TRUE(send_all(n.fd, a.head + (a.code ? "" : "0123456789")));
        n.reset();
        EXPECT_EQ(cl.finish(), a.code) << a.head.substr(0, 40);
        EXPECT_TRUE(has(cl.err(), a.said)) << cl.err();
        EXPECT_EQ(total_of(cl.out(), "total received"), a.code ? -1 : 10) << cl.out();
    }

    // A server that never answers: -i bounds the wait.
    Proc mute(dvt_, {"-h", "-a", "127.0.0.1", "-p", p, "-i", "1"});
    Fd m(accept_within(lsn.fd, WAIT_MS));
    EXPECT_EQ(mute.finish(), 2);
    EXPECT_TRUE(has(mute.err(), "get_http_response: timed out waiting to read from fd=3\n"));
}

// Multicast on lo in a namespace of the test's own:
//
//   writer dvt -u -w --> 239.1.2.3:5500 via lo --> reader dvt -u (joined)
TEST_F(dvt, multicast_byte_counts_match)
{
    for (const strings &extra : {strings{"-m", "lo"}, strings{"-k", "-m", "127.0.0.1"}}) {
        EXPECT_CHILD_OK(in_netns([&] {
            strings rargs = {"-u", "-a", "239.1.2.3", "-p", "5500", "-i", "3"};
            rargs.insert(rargs.end(), extra.begin(), extra.end());
            Proc rd(dvt_, rargs);
            CHILD_CHECK(rd.wait_for("reading [UDP/any] from fd=3", WAIT_MS));
            CHILD_CHECK(has(rd.out(), "multicast addr: IPv4 239.1.2.3:5500\n"));
            Proc wr(dvt_, {"-u", "-w", "-a", "239.1.2.3", "-p", "5500", "-n", "1000", "-d", "1",
                           "-m", "127.0.0.1"});
            CHILD_CHECK(wr.wait_for("WRITE [+MEM+]", WAIT_MS));
            pause_ms(400);
            CHILD_CHECK(wr.stop() == 0);
            CHILD_CHECK(has(wr.err(), "Mulitcast interface has been set to 127.0.0.1\n"));
            pause_ms(200);
            CHILD_CHECK(rd.stop() == 0);
            const long sent = total_of(wr.out(), "total sent to fd=3");
            CHILD_CHECK(sent > 20000 && total_of(rd.out(), "total received from fd=3") == sent);
            const bool legacy = extra[0] == "-k";
            CHILD_CHECK(has(rd.err(), std::string("mcast_join: using ") +
                                          (legacy ? "protocol-specific" : "GENERIC") +
                                          " mulitcast API\n"));
            return 0;
        }));
    }
}

TEST_F(dvt, silent_group_is_joined_again_three_times)
{
    EXPECT_CHILD_OK(in_netns([&] {
        Proc rd(dvt_, {"-u", "-a", "239.1.2.4", "-p", "5501", "-i", "1"});
        CHILD_CHECK(rd.finish() == 0);
        const std::string err = rd.err();
        CHILD_CHECK(count_of(err, "#") == 4);
        CHILD_CHECK(count_of(err, "re-connected as fd") == 3);
        return 0;
    }));
}
