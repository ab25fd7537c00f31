// The traffic tool run as a program: option errors, TCP, UDP, RTP, HTTP and
// file transfers on loopback, and multicast inside a private network
// namespace.  Peers are either a second dvt/dvs or sockets of the test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "netns.h"
#include "support.h"

extern char **environ;

namespace {

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A bounded pause: the programs under test run on their own clocks.
void pause_ms(int ms) { (void)poll(nullptr, 0, ms); }

std::string util_path(const char *name)
{
    const char *dir = getenv("TAVEL_BUILD_DIR");
    return dir ? std::string(dir) + "/util/" + name : std::string();
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// The byte count of the last "total sent to" / "total received from" line.
long total_of(const std::string &text, const std::string &what)
{
    const size_t p = text.rfind(what);
    if (p == std::string::npos) return -1;
    const size_t c = text.find(": ", p);
    return c == std::string::npos ? -1 : atol(text.c_str() + c + 2);
}

// One run of a program, its output in files; killed on destruction if it
// still runs.  Usable in forked children: it reports by results only.
class Proc {
public:
    Proc(const std::string &prog, const std::vector<std::string> &args,
         const std::vector<std::string> &env = {})
    {
        std::vector<std::string> argv_s{prog};
        argv_s.insert(argv_s.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : argv_s) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env_s;
        for (char **e = environ; *e; ++e)
            if (strncmp(*e, "DBG_RD1=", 8) && strncmp(*e, "TRK_RTP1=", 9) &&
                strncmp(*e, "DVT_NO_SENDFILE=", 16))
                env_s.emplace_back(*e);
        env_s.insert(env_s.end(), env.begin(), env.end());
        std::vector<char *> envp;
        for (auto &e : env_s) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, out_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&fa, 2, err_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        // Only the standard descriptors: the program's own then start at 3.
        posix_spawn_file_actions_addclosefrom_np(&fa, 3);
        if (posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Proc()
    {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;

    bool started() const { return pid_ > 0; }
    std::string out() const { return read_file(out_path()); }
    std::string err() const { return read_file(err_path()); }

    // Waits until the output (stdout, or stderr) holds text.
    bool wait_for(const std::string &text, int ms, bool in_err = false, size_t times = 1) const
    {
        for (const long end = now_ms() + ms;; pause_ms(10)) {
            if (count_of(in_err ? err() : out(), text) >= times) return true;
            if (now_ms() >= end) return false;
        }
    }

    // The exit status once it ended (at most ms from now); -1 when it did not
    // exit by itself (it is then killed) or was ended by a signal.
    int finish(int ms = 8000)
    {
        if (pid_ <= 0) return -1;
        if (!done_) {
            const int pidfd = int(syscall(SYS_pidfd_open, pid_, 0));
            for (const long end = now_ms() + ms;;) {
                if (waitpid(pid_, &status_, WNOHANG) == pid_) break;
                const long left = end - now_ms();
                if (left <= 0) {
                    kill(pid_, SIGKILL);
                    waitpid(pid_, &status_, 0);
                    status_ = -1;
                    break;
                }
                pollfd p{pidfd, POLLIN, 0};
                (void)poll(&p, pidfd >= 0 ? 1 : 0, int(left < 10 || pidfd < 0 ? 10 : left));
            }
            if (pidfd >= 0) close(pidfd);
            done_ = true;
        }
        return status_ != -1 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    int stop(int ms = 8000)
    {
        if (pid_ > 0 && !done_) kill(pid_, SIGTERM);
        return finish(ms);
    }
    int term_signal() const
    {
        return done_ && status_ != -1 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
    }

private:
    std::string out_path() const { return dir_.file("out"); }
    std::string err_path() const { return dir_.file("err"); }

    TempDir dir_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool done_ = false;
};

// --- test peers --------------------------------------------------------------------

sockaddr_storage sock_addr(const std::string &addr, int port, socklen_t *len)
{
    sockaddr_storage ss{};
    if (addr.find(':') != std::string::npos) {
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        a6->sin6_family = AF_INET6;
        a6->sin6_port = htons(uint16_t(port));
        inet_pton(AF_INET6, addr.c_str(), &a6->sin6_addr);
        *len = sizeof(sockaddr_in6);
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&ss);
        a4->sin_family = AF_INET;
        a4->sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, addr.c_str(), &a4->sin_addr);
        *len = sizeof(sockaddr_in);
    }
    return ss;
}

// A socket of type bound to addr:port (port 0: the system's pick, stored
// back in *port).
int bound_socket(int type, const std::string &addr, int *port)
{
    socklen_t len;
    sockaddr_storage ss = sock_addr(addr, *port, &len);
    const int fd = socket(ss.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0 ||
        (type == SOCK_STREAM && listen(fd, 8) != 0)) {
        close(fd);
        return -1;
    }
    *port = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port
                                           : reinterpret_cast<sockaddr_in *>(&ss)->sin_port);
    return fd;
}

bool port_free(int port)
{
    for (const char *addr : {"127.0.0.1", "::1"}) {
        if (addr[0] == ':' && !have_ipv6_loopback()) continue;
        for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
            int q = port;
            Fd s(bound_socket(type, addr, &q));
            if (s.fd < 0) return false;
        }
    }
    return true;
}

// A port that is free for TCP and UDP on the loopback addresses (and
// port + 1 too when asked).
int free_port(bool two = false)
{
    for (int tries = 0; tries < 50; ++tries) {
        int port = 0;
        Fd(bound_socket(SOCK_STREAM, "127.0.0.1", &port));
        if (port > 0 && port < 65000 && port_free(port) && (!two || port_free(port + 1)))
            return port;
    }
    return -1;
}

// The membership line of the API the options select.
std::string api_text(const std::vector<std::string> &args)
{
    const bool legacy = std::find(args.begin(), args.end(), "-k") != args.end();
    return std::string("mcast_join: using ") + (legacy ? "protocol-specific" : "GENERIC") +
           " mulitcast API\n";
}

int tcp_connect(const std::string &addr, int port)
{
    socklen_t len;
    sockaddr_storage ss = sock_addr(addr, port, &len);
    const int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&ss), len) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

int accept_within(int lsn, int ms)
{
    pollfd p{lsn, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return -1;
    return accept4(lsn, nullptr, nullptr, SOCK_CLOEXEC);
}

// Reads until want bytes came, the text `until` was seen, the peer closed
// or ms passed; *eof tells whether the peer closed.
std::string read_some(int fd, size_t want, int ms, const std::string &until = "", bool *eof = nullptr)
{
    std::string got;
    if (eof) *eof = false;
    for (const long end = now_ms() + ms; got.size() < want;) {
        if (!until.empty() && has(got, until)) break;
        const long left = end - now_ms();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) != 1) break;
        char buf[65536];
        const ssize_t n = recv(fd, buf, std::min(sizeof(buf), want - got.size()), 0);
        if (n <= 0) {
            if (eof) *eof = true;
            break;
        }
        got.append(buf, size_t(n));
    }
    return got;
}

bool send_all(int fd, const std::string &data)
{
    return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
}

// A datagram received within ms, empty when none came.
std::string recv_dgram(int fd, int ms, sockaddr_storage *from = nullptr)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return {};
    char buf[65536];
    socklen_t len = sizeof(sockaddr_storage);
    const ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(from), from ? &len : nullptr);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

uint16_t seq_of(const std::string &m) { return uint16_t((uint8_t(m[2]) << 8) | uint8_t(m[3])); }

std::string rtp_msg(uint16_t seq, uint32_t ssrc, size_t len = 100)
{
    std::string m(len, 'A');
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
        if (!getenv("TAVEL_BUILD_DIR")) GTEST_SKIP() << "TAVEL_BUILD_DIR is not set";
        dvt_ = util_path("dvt");
        dvs_ = util_path("dvs");
    }
    std::string dvt_, dvs_;
};

}  // namespace

TEST_F(dvt, option_errors_end_with_their_message_and_status)
{
    TempDir dir;
    write_file(dir.file("empty"), "");
    struct bad_case {
        std::vector<std::string> args;
        int code;
        std::string message;
        bool usage;
    };
    const std::vector<bad_case> cases = {
        {{"-a", "127.0.0.1"}, 1, "port must be specified\n", true},
        {{"-p", "0"}, 1, "dvt: invalid port value: 0\n", true},
        {{"-p", "65536"}, 1, "dvt: invalid port value: 65536\n", true},
        {{"-p", "65537"}, 1, "dvt: invalid port value: 65537\n", true},
        {{"-p", "80x"}, 1, "dvt: invalid port value: 80x\n", true},
        {{"-6", "-p", "65535"}, 1, "dvt: invalid port value: 65535\n", true},
        {{"-p", "5000", "-n", "0"}, 1, "dvt: invalid message size value: 0\n", true},
        {{"-p", "5000", "-n", "8388609"}, 1, "dvt: message size is too big, max=8388608\n", true},
        {{"-p", "5000", "-i", "0"}, 1, "dvt: invalid timeout value: 0\n", true},
        {{"-p", "5000", "-d", "-1"}, 1, "dvt: invalid delay (ms) value: -1\n", true},
        {{"-p", "5000", "-S", "0"}, 1, "dvt: invalid send-buffer size: 0\n", true},
        {{"-p", "5000", "-R", "abc"}, 1, "dvt: invalid receive-buffer size: abc\n", true},
        {{"-p", "5000", "-m", "nosuch0"}, 1, "Invalid interface name/address: nosuch0\n", true},
        {{"-p", "5000", "-s", dir.file("none")}, 1, "cannot open source file", true},
        {{"-p", "5000", "-s", dir.file("empty")}, 1, "must be a non-empty regular file", true},
        {{"-p", "5000", "-s", dir.path()}, 1, "must be a non-empty regular file", true},
        {{"-p", "5000", "-1", "7", "-n", "12"}, 1, "too small for RTP", true},
        {{"-p", "5000", "-1", "xyz"}, 255, "dvt: invalid SEQ number: xyz\n", false},
        {{"-p", "5000", "-1", "5:0x1G"}, 255, "dvt: invalid SSID number: 0x1G\n", false},
        {{"-p", "5000", "-1", "70000:1"}, 255, "dvt: invalid SEQ number: 70000\n", false},
        {{"-p", "5000", "-2", "0"}, 255, "dvt: invalid gap randN=[0]\n", false},
        {{"-p", "5000", "-2", "4:-1"}, 255, "dvt: invalid gap length=[-1]\n", false},
        {{"-p", "5000", "-2", "4:x"}, 255, "dvt: invalid gap length=[x]\n", false},
        {{"-u", "-h", "-p", "5000"}, 1,
         "Invalid mode combination: UDP cannot be combined with HTTP\n", false},
    };
    const std::string usage_line = "Usage: " + dvt_ + " [options] -a addr -p port\n";
    for (const bad_case &c : cases) {
        Proc p(dvt_, c.args);
        EXPECT_EQ(p.finish(), c.code) << c.message;
        const std::string err = p.err();
        EXPECT_TRUE(has(err, c.message)) << err;
        EXPECT_EQ(has(err, usage_line), c.usage) << c.message;
        EXPECT_FALSE(has(err, "CLIENT mode")) << "no role runs after " << c.message;
    }

    Proc bare(dvt_, {});
    EXPECT_EQ(bare.finish(), 1);
    const std::string err = bare.err();
    EXPECT_TRUE(has(err, "Usage: dvt [options] -a addr -p port\n"));
    EXPECT_TRUE(has(err, "\t-2 N:G         = skip up to G RTP packets randomly; yes = R % N\n"));
    EXPECT_TRUE(has(err, "\t-v             = verbose output\n"));
}

TEST_F(dvt, other_names_parse_options_and_run_no_role)
{
    TempDir dir;
    const std::string zef = dir.file("ZEF");
    ASSERT_EQ(symlink(dvt_.c_str(), zef.c_str()), 0);
    Proc p(zef, {"-H", "-Z", "-w", "-p", "5000"}, {"DBG_RD1=500:Rm"});
    EXPECT_EQ(p.finish(), 0);
    EXPECT_TRUE(has(p.err(), "ZEF: invalid option: Z\n"));
    EXPECT_TRUE(has(p.err(), "ZEF: R:1,U:0,s:0,m:1,max_iospan_delta=500\n"));
    EXPECT_FALSE(has(p.err(), "mode="));
    EXPECT_TRUE(has(p.out(), "ZEF: exiting with rc=0\n"));
}

TEST_F(dvt, duration_limit_ends_the_program_by_its_alarm)
{
    const int port = free_port();
    Proc p(dvs_, {"-D", "1", "-a", "127.0.0.1", "-p", std::to_string(port)});
    EXPECT_EQ(p.finish(5000), -1);
    EXPECT_EQ(p.term_signal(), SIGALRM);
    EXPECT_TRUE(has(p.err(), "Will quit after 1 seconds\n"));
}

TEST_F(dvt, tcp_byte_counts_match_on_both_sides)
{
    for (const std::string addr : {"127.0.0.1", "::1"}) {
        if (addr == "::1" && !have_ipv6_loopback()) continue;
        SCOPED_TRACE(addr);
        const std::string port = std::to_string(free_port());
        Proc srv(dvs_, {"-a", addr, "-p", port, "-n", "65536"});
        ASSERT_TRUE(srv.wait_for("waiting for input", 5000, true));
        // Two clients in turn: the server serves one peer after the other.
        for (int round = 0; round < 2; ++round) {
            Proc cli(dvt_, {"-w", "-a", addr, "-p", port, "-n", "1400"});
            ASSERT_TRUE(cli.wait_for("WRITE [+MEM+] to fd=3, msg_size=1400 delay=0 ms\n", 5000));
            pause_ms(300);
            EXPECT_EQ(cli.stop(), 0);
            ASSERT_TRUE(srv.wait_for("is exiting with rc=0", 5000, true, size_t(round + 1)));
            const long sent = total_of(cli.out(), "total sent to fd=3");
            EXPECT_GT(sent, 100000);
            EXPECT_EQ(total_of(srv.out(), "total received from"), sent);
            EXPECT_TRUE(has(cli.out(), "dvt: exiting with rc=0\n"));
        }
        EXPECT_EQ(srv.stop(), 0);
        EXPECT_TRUE(has(srv.out(), "dvs: exiting with rc=0\n"));
        EXPECT_TRUE(has(srv.err(), "SIG(15) "));
    }
}

TEST_F(dvt, refused_and_dropped_connections_exit_with_2)
{
    const std::string port = std::to_string(free_port());
    Proc refused(dvt_, {"-a", "127.0.0.1", "-p", port});
    EXPECT_EQ(refused.finish(), 2);
    EXPECT_TRUE(has(refused.err(), "mk_sock: connect: Connection refused (111)\n"));
    EXPECT_TRUE(has(refused.out(), "dvt: exiting with rc=2\n"));

    Proc srv(dvs_, {"-a", "127.0.0.1", "-p", port});
    ASSERT_TRUE(srv.wait_for("waiting for input", 5000, true));
    Proc dropped(dvt_, {"-x", "-w", "-a", "127.0.0.1", "-p", port});
    EXPECT_EQ(dropped.finish(), 2);
    EXPECT_TRUE(has(dropped.err(), "mk_sock: CONNECT [3]\n"));
    EXPECT_FALSE(has(dropped.out(), "WRITE"));
    // The server's reader saw the peer go at once: nothing moved, and the
    // rate of a zero-length run is 0, not a division by zero.
    ASSERT_TRUE(srv.wait_for("total received from", 5000));
    const std::string out = srv.out();
    EXPECT_TRUE(has(out, "connected from IPv4 127.0.0.1:"));
    EXPECT_TRUE(has(out, "\nI/O: 0.000000 Kb within 0.000000 sec; 0.000000 Kb/sec\n")) << out;
    EXPECT_EQ(srv.stop(), 0);
}

TEST_F(dvt, server_listens_on_both_families)
{
    const bool v6 = have_ipv6_loopback();
    const int port = free_port(true);
    // -6 without -a: IPv4 on the port, IPv6 on the port + 1.
    Proc srv(dvs_, {"-6", "-p", std::to_string(port)});
    ASSERT_TRUE(srv.wait_for("waiting for input", 5000, true));
    Fd c4(tcp_connect("127.0.0.1", port));
    ASSERT_GE(c4.fd, 0);
    ASSERT_TRUE(send_all(c4.fd, "0123456789"));
    c4.reset();
    ASSERT_TRUE(srv.wait_for("10 bytes\n", 5000));
    EXPECT_TRUE(has(srv.out(), "connected from IPv4 127.0.0.1:"));
    if (v6) {
        Fd c6(tcp_connect("::1", port + 1));
        ASSERT_GE(c6.fd, 0);
        ASSERT_TRUE(send_all(c6.fd, "0123456789ab"));
        c6.reset();
        ASSERT_TRUE(srv.wait_for("12 bytes\n", 5000));
        EXPECT_TRUE(has(srv.out(), "connected from IPv6 ::1:"));
    }
    EXPECT_EQ(srv.stop(), 0);

    if (!v6) return;
    // Neither: one IPv6 listener on the wildcard, which takes IPv4 too.
    Proc dual(dvs_, {"-p", std::to_string(port)});
    ASSERT_TRUE(dual.wait_for("waiting for input", 5000, true));
    Fd c(tcp_connect("127.0.0.1", port));
    ASSERT_GE(c.fd, 0);
    c.reset();
    ASSERT_TRUE(dual.wait_for("total received from", 5000));
    EXPECT_TRUE(has(dual.out(), "connected from IPv6 ::ffff:127.0.0.1:"));
    EXPECT_EQ(dual.stop(), 0);
}

TEST_F(dvt, file_source_is_sent_again_from_its_start)
{
    TempDir dir;
    std::string data(3000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char('a' + i % 23);
    const std::string src = dir.file("src.ts");
    write_file(src, data);

    // sendfile, then the buffered copy through the transfer buffer.
    for (const bool no_sendfile : {false, true}) {
        SCOPED_TRACE(no_sendfile ? "buffered" : "sendfile");
        int port = 0;
        Fd lsn(bound_socket(SOCK_STREAM, "127.0.0.1", &port));
        std::vector<std::string> env;
        if (no_sendfile) env.push_back("DVT_NO_SENDFILE=1");
        Proc cli(dvt_, {"-w", "-a", "127.0.0.1", "-p", std::to_string(port), "-s", src, "-n", "1400", "-d", "1"},
                 env);
        Fd c(accept_within(lsn.fd, 5000));
        ASSERT_GE(c.fd, 0);
        EXPECT_EQ(read_some(c.fd, 9000, 5000), data + data + data);
        EXPECT_EQ(cli.stop(), 0);
        const std::string out = cli.out(), err = cli.err();
        EXPECT_TRUE(has(out, (no_sendfile ? "WRITE [(T)" : "SENDFILE [(T)") + src + "] to fd=4"));
        EXPECT_TRUE(has(out, "EOF(at 3000) "));
        EXPECT_TRUE(has(err, "ROLLOVER "));
        EXPECT_EQ(has(err, "dvt: sendfile(2) transfer explicitly disabled\n"), no_sendfile);
    }

    // A datagram per chunk; the file's end gives a short one.
    int port = 0;
    Fd rx(bound_socket(SOCK_DGRAM, "127.0.0.1", &port));
    Proc cli(dvt_, {"-u", "-w", "-a", "127.0.0.1", "-p", std::to_string(port), "-s", src, "-n", "1400", "-d", "1"});
    std::vector<size_t> sizes;
    std::string got;
    for (int i = 0; i < 4; ++i) {
        const std::string d = recv_dgram(rx.fd, 5000);
        sizes.push_back(d.size());
        got += d;
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{1400, 1400, 200, 1400}));
    EXPECT_EQ(got, data + data.substr(0, 1400));
    EXPECT_EQ(cli.stop(), 0);
}

TEST_F(dvt, udp_byte_counts_match_and_the_server_replies_to_the_sender)
{
    const std::string port = std::to_string(free_port());
    Proc srv(dvs_, {"-u", "-a", "127.0.0.1", "-p", port, "-i", "1"});
    ASSERT_TRUE(srv.wait_for("waiting for input", 5000, true));
    Proc cli(dvt_, {"-u", "-w", "-a", "127.0.0.1", "-p", port, "-n", "1316", "-d", "1"});
    ASSERT_TRUE(cli.wait_for("WRITE [+MEM+]", 5000));
    pause_ms(400);
    EXPECT_EQ(cli.stop(), 0);
    // The server's exchange ends after a second without data.
    ASSERT_TRUE(srv.wait_for("bytes\n", 5000));
    const long sent = total_of(cli.out(), "total sent to fd=3");
    EXPECT_GT(sent, 1316 * 20);
    EXPECT_EQ(total_of(srv.out(), "total received from"), sent);
    EXPECT_TRUE(has(srv.out(), "TIME-OUT [after 1 sec]"));
    EXPECT_EQ(srv.stop(), 0);

    // A writing server sends to whoever woke it.
    const std::string port2 = std::to_string(free_port());
    Proc wsrv(dvs_, {"-u", "-w", "-a", "127.0.0.1", "-p", port2, "-n", "200", "-d", "5"});
    ASSERT_TRUE(wsrv.wait_for("waiting for input", 5000, true));
    int my_port = 0;
    Fd me(bound_socket(SOCK_DGRAM, "127.0.0.1", &my_port));
    socklen_t len;
    const sockaddr_storage to = sock_addr("127.0.0.1", atoi(port2.c_str()), &len);
    ASSERT_EQ(sendto(me.fd, "hi", 2, 0, reinterpret_cast<const sockaddr *>(&to), len), 2);
    for (int i = 0; i < 3; ++i) {
        sockaddr_storage from{};
        const std::string d = recv_dgram(me.fd, 3000, &from);
        EXPECT_EQ(d, std::string(200, 'A'));
        EXPECT_EQ(ntohs(reinterpret_cast<sockaddr_in *>(&from)->sin_port), atoi(port2.c_str()));
    }
    EXPECT_EQ(wsrv.stop(), 0);
    EXPECT_TRUE(has(wsrv.out(), "sending to IPv4 127.0.0.1:" + std::to_string(my_port)));
}

TEST_F(dvt, rtp_writer_frames_messages_and_simulated_loss_shows_as_gaps)
{
    int port = 0;
    Fd rx(bound_socket(SOCK_DGRAM, "127.0.0.1", &port));
    const std::string p = std::to_string(port);
    {
        Proc cli(dvt_, {"-u", "-w", "-a", "127.0.0.1", "-p", p, "-n", "200", "-d", "1", "-1", "65530:0xA1B2C3D4"});
        uint32_t last_ts = 0;
        for (int i = 0; i < 12; ++i) {
            const std::string m = recv_dgram(rx.fd, 3000);
            ASSERT_EQ(m.size(), 200u);
            EXPECT_EQ(uint8_t(m[0]), 0x80);
            EXPECT_EQ(uint8_t(m[1]), 0x00);
            EXPECT_EQ(seq_of(m), uint16_t(65530 + i)) << "sequence numbers wrap at 65536";
            const uint32_t ts = ntohl(*reinterpret_cast<const uint32_t *>(m.data() + 4));
            EXPECT_GE(ts, last_ts);
            last_ts = ts;
            EXPECT_EQ(m.substr(8, 4), "\xA1\xB2\xC3\xD4");
            EXPECT_EQ(m.substr(12), std::string(188, 'A'));
        }
        EXPECT_GT(last_ts, 0u) << "a 90 kHz clock from the first message";
        EXPECT_EQ(cli.stop(), 0);
    }
    while (!recv_dgram(rx.fd, 100).empty()) {}

    {   // Skipped messages use up their sequence numbers.
        Proc cli(dvt_, {"-u", "-w", "-a", "127.0.0.1", "-p", p, "-n", "100", "-d", "1", "-1", "7", "-2", "3:2", "-0", "5"});
        uint16_t prev = 0;
        int gaps = 0;
        for (int i = 0; i < 120; ++i) {
            const std::string m = recv_dgram(rx.fd, 3000);
            ASSERT_EQ(m.size(), 100u);
            EXPECT_EQ(m.substr(8, 4), "\x21\x46\x45\x5A") << "the default SSRC";
            const uint16_t s = seq_of(m);
            if (i > 0) {
                const int d = uint16_t(s - prev) - 1;
                EXPECT_GE(d, 0);
                EXPECT_LT(d, 40);
                gaps += d > 0;
            } else {
                EXPECT_GE(s, 7);
            }
            prev = s;
        }
        EXPECT_GT(gaps, 5);
        EXPECT_EQ(cli.stop(), 0);
    }
    while (!recv_dgram(rx.fd, 100).empty()) {}

    {   // Every message skipped: nothing sent, and the marks say so.
        Proc cli(dvt_, {"-v", "-u", "-w", "-a", "127.0.0.1", "-p", p, "-n", "100", "-d", "1", "-1", "1", "-2", "1:1"});
        EXPECT_TRUE(recv_dgram(rx.fd, 400).empty());
        EXPECT_EQ(cli.stop(), 0);
        EXPECT_TRUE(has(cli.out(), "~1~1~1"));
        EXPECT_TRUE(has(cli.out(), "total sent to fd=3: 0 bytes\n"));
    }

    {   // 0:0 is no framing at all.
        Proc cli(dvt_, {"-u", "-w", "-a", "127.0.0.1", "-p", p, "-n", "100", "-d", "1", "-1", "0:0"});
        EXPECT_EQ(recv_dgram(rx.fd, 3000), std::string(100, 'A'));
        EXPECT_EQ(cli.stop(), 0);
    }
}

TEST_F(dvt, rtp_reader_reports_gaps_foreign_messages_and_source_changes)
{
    const int port = free_port();
    Proc rd(dvt_, {"-v", "-u", "-a", "127.0.0.1", "-p", std::to_string(port), "-1", "1", "-i", "1"},
            {"TRK_RTP1=yes"});
    ASSERT_TRUE(rd.wait_for("reading [UDP/RTP] from fd=3, msg_size=1400 delay=0 ms\n", 5000));
    int my_port = 0;
    Fd tx(bound_socket(SOCK_DGRAM, "127.0.0.1", &my_port));
    socklen_t len;
    const sockaddr_storage to = sock_addr("127.0.0.1", port, &len);
    const std::vector<std::string> msgs = {
        rtp_msg(65534, 0xC0FFEE01), rtp_msg(65535, 0xC0FFEE01), rtp_msg(0, 0xC0FFEE01),
        rtp_msg(1, 0xC0FFEE01),     rtp_msg(10, 0xC0FFEE01),    rtp_msg(13, 0xC0FFEE01),
        rtp_msg(13, 0xC0FFEE01),    rtp_msg(14, 0xBEEF0002),    std::string(100, 'x')};
    for (const std::string &m : msgs) {
        ASSERT_EQ(sendto(tx.fd, m.data(), m.size(), 0, reinterpret_cast<const sockaddr *>(&to), len),
                  ssize_t(m.size()));
        pause_ms(5);
    }
    EXPECT_EQ(rd.finish(5000), 0);
    const std::string out = rd.out(), err = rd.err();
    EXPECT_TRUE(has(out, "RTP [100]:rrrrr{8}r{2}r{-1}S?")) << out;
    EXPECT_TRUE(has(out, "total received from fd=3: 900 bytes\n"));
    EXPECT_TRUE(has(err, " |L:100 seq=13/10 gap=2 ssrc=0xc0ffee01| "));
    EXPECT_TRUE(has(err, " |L:100 seq=0/65535 gap=0 ssrc=0xc0ffee01| "));
    EXPECT_EQ(count_of(err, "#"), 1u) << "a unicast reader ends at its first time-out";
}

TEST_F(dvt, http_server_answers_get_and_head_and_refuses_other_text)
{
    const int port = free_port();
    Proc srv(dvs_, {"-h", "-w", "-a", "127.0.0.1", "-p", std::to_string(port), "-n", "500", "-d", "2", "-i", "1"});
    ASSERT_TRUE(srv.wait_for("waiting for input", 5000, true));
    bool eof = false;

    Fd junk(tcp_connect("127.0.0.1", port));
    ASSERT_TRUE(send_all(junk.fd, "hello there\r\n"));
    EXPECT_EQ(read_some(junk.fd, 1, 3000, "", &eof), "");
    EXPECT_TRUE(eof) << "no answer to text that is not HTTP";
    junk.reset();

    // The head arrives in two parts; the answer waits for all of it.
    Fd get(tcp_connect("127.0.0.1", port));
    ASSERT_TRUE(send_all(get.fd, "GET /ch1 HTTP/1.1\r\n"));
    EXPECT_EQ(read_some(get.fd, 1, 300), "");
    ASSERT_TRUE(send_all(get.fd, "Host: x\r\n\r\n"));
    const std::string body = read_some(get.fd, HTTP_200.size() + 2000, 5000);
    EXPECT_EQ(body.substr(0, HTTP_200.size()), HTTP_200);
    EXPECT_EQ(body.substr(HTTP_200.size()), std::string(2000, 'A'));
    get.reset();

    Fd head(tcp_connect("127.0.0.1", port));
    ASSERT_TRUE(send_all(head.fd, "HEAD /ch1 HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(read_some(head.fd, 100000, 3000, "", &eof), HTTP_200);
    EXPECT_TRUE(eof) << "a HEAD answer is the head alone";
    head.reset();

    // A peer that says nothing is dropped after -i seconds.
    Fd mute(tcp_connect("127.0.0.1", port));
    const long t0 = now_ms();
    EXPECT_EQ(read_some(mute.fd, 1, 4000, "", &eof), "");
    EXPECT_TRUE(eof);
    EXPECT_LT(now_ms() - t0, 3000);
    mute.reset();

    // The server's status is its last exchange's: the mute peer's.
    EXPECT_EQ(srv.stop(), 2);
    const std::string err = srv.err();
    EXPECT_TRUE(has(err, "not an HTTP request, quitting.\n"));
    EXPECT_TRUE(has(err, "timed out waiting to read from fd="));
    EXPECT_TRUE(has(srv.out(), "Skipping I/O in HEAD mode\n"));

    // Data that came with the request's head is the transfer's first data.
    const int port2 = free_port();
    Proc rsrv(dvs_, {"-h", "-a", "127.0.0.1", "-p", std::to_string(port2)});
    ASSERT_TRUE(rsrv.wait_for("waiting for input", 5000, true));
    Fd up(tcp_connect("127.0.0.1", port2));
    ASSERT_TRUE(send_all(up.fd, "POST /up HTTP/1.1\r\n\r\n" + std::string(3000, 'z')));
    EXPECT_EQ(read_some(up.fd, HTTP_200.size(), 3000), HTTP_200);
    up.reset();
    ASSERT_TRUE(rsrv.wait_for("bytes\n", 5000));
    EXPECT_EQ(total_of(rsrv.out(), "total received from"), 3000);
    EXPECT_EQ(rsrv.stop(), 0);
}

TEST_F(dvt, http_client_sends_its_request_and_reads_past_a_long_head)
{
    int port = 0;
    Fd lsn(bound_socket(SOCK_STREAM, "127.0.0.1", &port));
    const std::string p = std::to_string(port);
    {
        // Without -a the client connects to the loopback address, and the
        // Host header names the address it reached.
        Proc cli(dvt_, {"-h", "-p", p, "-U", "live/ch1"});
        Fd c(accept_within(lsn.fd, 5000));
        ASSERT_GE(c.fd, 0);
        const std::string rq = read_some(c.fd, 4096, 3000, "\r\n\r\n");
        EXPECT_EQ(rq, "GET /live/ch1 HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                          "\r\nConnection: close\r\nUser-Agent: DVT (Tavel proxy client/server "
                          "utility)\r\nAccept: text/html,video/*, application/*\r\nAccept-Language: "
                          "en-US,en,ru\r\nAccept-Charset: ISO-8859-1,UTF-8\r\nCache-Control: "
                          "no-cache\r\n\r\n");
        // Any status goes; head lines past 255 bytes are not data.
        std::string answer = "HTTP/1.1 404 Not Found\r\n";
        for (int i = 0; i < 10; ++i) answer += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
        answer += "\r\n" + std::string(5000, 'd');
        ASSERT_TRUE(send_all(c.fd, answer));
        c.reset();
        EXPECT_EQ(cli.finish(), 0);
        EXPECT_TRUE(has(cli.out(), "total received from fd=3: 5000 bytes\n")) << cli.out();
    }
    {
        // A server that never answers: -i bounds the wait.
        Proc cli(dvt_, {"-h", "-a", "127.0.0.1", "-p", p, "-i", "1"});
        Fd c(accept_within(lsn.fd, 5000));
        ASSERT_GE(c.fd, 0);
        EXPECT_EQ(cli.finish(5000), 2);
        EXPECT_TRUE(has(cli.err(), "get_http_response: timed out waiting to read from fd=3\n"));
    }
    {
        Proc cli(dvt_, {"-h", "-a", "127.0.0.1", "-p", p});
        Fd c(accept_within(lsn.fd, 5000));
        ASSERT_GE(c.fd, 0);
        (void)read_some(c.fd, 4096, 3000, "\r\n\r\n");
        ASSERT_TRUE(send_all(c.fd, "SPDY/9 whatever\r\n\r\n"));
        EXPECT_EQ(cli.finish(), 2);
        EXPECT_TRUE(has(cli.err(), "parsed 0 < 4 elements (expected to be parsed)\n"));
    }
}

// Multicast on lo in a namespace of the test's own:
//
//   writer dvt -u -w --> 239.1.2.3:5500 via lo --> reader dvt -u (joined)
TEST_F(dvt, multicast_byte_counts_match)
{
    const std::vector<std::vector<std::string>> variants = {
        {}, {"-k"}, {"-m", "lo"}, {"-k", "-m", "127.0.0.1"}};
    for (const auto &extra : variants) {
        EXPECT_CHILD_OK(in_netns([&] {
            std::vector<std::string> rargs = {"-u", "-a", "239.1.2.3", "-p", "5500", "-i", "3"};
            rargs.insert(rargs.end(), extra.begin(), extra.end());
            Proc rd(dvt_, rargs);
            CHILD_CHECK(rd.wait_for("reading [UDP/any] from fd=3", 5000));
            CHILD_CHECK(has(rd.out(), "multicast addr: IPv4 239.1.2.3:5500\n"));
            Proc wr(dvt_, {"-u", "-w", "-a", "239.1.2.3", "-p", "5500", "-n", "1000", "-d", "1", "-m", "127.0.0.1"});
            CHILD_CHECK(wr.wait_for("WRITE [+MEM+]", 5000));
            pause_ms(400);
            CHILD_CHECK(wr.stop() == 0);
            CHILD_CHECK(has(wr.err(), "Mulitcast interface has been set to 127.0.0.1\n"));
            pause_ms(200);
            CHILD_CHECK(rd.stop() == 0);
            const long sent = total_of(wr.out(), "total sent to fd=3");
            const long got = total_of(rd.out(), "total received from fd=3");
            if (sent < 20000 || got != sent) {
                fprintf(stderr, "sent %ld, received %ld\n", sent, got);
                return 1;
            }
            CHILD_CHECK(has(rd.err(), api_text(extra)));
            return 0;
        }));
    }
}

TEST_F(dvt, silent_group_is_joined_again_three_times)
{
    EXPECT_CHILD_OK(in_netns([&] {
        Proc rd(dvt_, {"-u", "-a", "239.1.2.4", "-p", "5501", "-i", "1"});
        const int rc = rd.finish(10000);
        const std::string err = rd.err();
        CHILD_CHECK(rc == 0);
        CHILD_CHECK(count_of(err, "#") == 4);
        CHILD_CHECK(count_of(err, "re-connected as fd") == 3);
        CHILD_CHECK(count_of(err, "closed fd") == 3);
        return 0;
    }));
}
