// The relay benchmark's programs run as they are on loopback: the reference
// forwarders must relay every datagram byte for byte and in order, the
// sink must count what the generator sent and tell gaps, late datagrams and
// duplicates apart, and the TS server must stream stamped packets, as a
// plain or a chunked body.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "benchkit.h"
#include "chunked.h"
#include "netns.h"
#include "support.h"

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

std::string tool_path(const std::string &name)
{
    const char *dir = getenv("TAVEL_BUILD_DIR");
    return dir ? std::string(dir) + "/bench/tools/" + name : name;
}

// One of the tools, started with its stdout on a pipe.
class tool_run {
public:
    tool_run(const std::string &name, const std::vector<std::string> &args)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        const std::string prog = tool_path(name);
        std::vector<char *> argv{const_cast<char *>(prog.c_str())};
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        close(fds[1]);
        out_fd_ = fds[0];
    }
    ~tool_run()
    {
        if (pid_ > 0) stop();
        if (out_fd_ >= 0) close(out_fd_);
    }
    tool_run(const tool_run &) = delete;
    tool_run &operator=(const tool_run &) = delete;

    bool started() const { return pid_ > 0; }
    // Stops (SIGSTOP) or resumes (SIGCONT) the program.
    bool signal(int sig) const { return pid_ > 0 && kill(pid_, sig) == 0; }

    // The first output line that starts with prefix, waiting at most ms.
    std::string wait_line(const std::string &prefix, int ms = 5000)
    {
        const auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (size_t pos; (pos = out_.find('\n')) != std::string::npos;) {
                std::string line = out_.substr(0, pos);
                out_.erase(0, pos + 1);
                lines_.push_back(line);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            if (left.count() <= 0 || !read_some(int(left.count()))) return {};
        }
    }

    // SIGTERM, then the exit status (-1 when it had to be killed).
    int stop(int ms = 5000)
    {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        return wait_exit(ms);
    }

    // Waits for the program to end by itself; -1 after ms (it is killed).
    int wait_exit(int ms = 10000)
    {
        const auto deadline = clock_type::now() + std::chrono::milliseconds(ms);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (clock_type::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
            read_some(20);
        }
        pid_ = -1;
        while (read_some(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    bool read_some(int ms)
    {
        pollfd p = {out_fd_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return false;
        char buf[4096];
        const ssize_t n = read(out_fd_, buf, sizeof(buf));
        if (n <= 0) return false;
        out_.append(buf, size_t(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    std::string out_;
    std::vector<std::string> lines_;
};

// key=value words of a line.
std::map<std::string, long long> fields(const std::string &line)
{
    std::map<std::string, long long> m;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find(' ', pos);
        if (end == std::string::npos) end = line.size();
        const std::string word = line.substr(pos, end - pos);
        const size_t eq = word.find('=');
        if (eq != std::string::npos) m[word.substr(0, eq)] = atoll(word.c_str() + eq + 1);
        pos = end + 1;
    }
    return m;
}

// A bound datagram socket of the test, with its "address:port".
struct udp_end {
    Fd fd;
    sockaddr_storage ss{};
    socklen_t len = 0;
    std::string text;
};

bool open_end(udp_end *e, int af)
{
    e->fd.fd = socket(af, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (e->fd.fd < 0) return false;
    const int big = 4 << 20;
    setsockopt(e->fd.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    if (af == AF_INET) {
        auto *sin = reinterpret_cast<sockaddr_in *>(&e->ss);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        e->len = sizeof(*sin);
    } else {
        auto *sin6 = reinterpret_cast<sockaddr_in6 *>(&e->ss);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_addr = in6addr_loopback;
        e->len = sizeof(*sin6);
    }
    if (bind(e->fd.fd, reinterpret_cast<sockaddr *>(&e->ss), e->len) != 0) return false;
    e->len = sizeof(e->ss);
    getsockname(e->fd.fd, reinterpret_cast<sockaddr *>(&e->ss), &e->len);
    benchkit::endpoint ep{e->ss, e->len};
    char buf[80];
    e->text = benchkit::endpoint_str(ep, buf, sizeof(buf));
    return true;
}

// The address of a "listen=ADDR:PORT" line.
bool endpoint_of(const std::string &line, benchkit::endpoint *ep)
{
    return line.rfind("listen=", 0) == 0 && benchkit::parse_endpoint(line.c_str() + 7, ep) == 0;
}

// Receives one datagram, waiting at most ms; empty on time-out.
std::vector<uint8_t> recv_one(int fd, int ms = 3000)
{
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return {};
    std::vector<uint8_t> buf(benchkit::MAX_DGRAM);
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? size_t(n) : 0);
    return buf;
}

void send_to(int fd, const benchkit::endpoint &ep, const std::vector<uint8_t> &d)
{
    ASSERT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&ep.ss), ep.len),
              ssize_t(d.size()));
}

std::vector<uint8_t> random_bytes(std::mt19937 &rng, size_t n)
{
    std::vector<uint8_t> d(n);
    for (auto &b : d) b = uint8_t(rng());
    return d;
}

struct forwarder {
    const char *prog;
    std::vector<std::string> extra;
};

// n bound datagram sockets on consecutive loopback ports (the port of the
// first one free to choose); false when no such range came up in 50 tries.
bool open_port_range(std::deque<udp_end> *ends, int af, size_t n)
{
    std::mt19937 rng{uint32_t(getpid())};
    for (int attempt = 0; attempt < 50; ++attempt) {
        const auto base = uint16_t(20000 + rng() % 40000);
        ends->clear();
        ends->resize(n);
        bool ok = true;
        for (size_t i = 0; i < n && ok; ++i) {
            udp_end &e = (*ends)[i];
            e.fd.fd = socket(af, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const int big = 4 << 20;
            setsockopt(e.fd.fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
            const std::string text = (af == AF_INET ? "127.0.0.1:" : "[::1]:") + std::to_string(base + i);
            benchkit::endpoint ep;
            ok = e.fd.fd >= 0 && benchkit::parse_endpoint(text.c_str(), &ep) == 0 &&
                 bind(e.fd.fd, reinterpret_cast<sockaddr *>(&ep.ss), ep.len) == 0;
            e.ss = ep.ss, e.len = ep.len, e.text = text;
        }
        if (ok) return true;
    }
    return false;
}

}  // namespace

// Each forwarder relays datagrams of every size, from 1 byte to the largest
// UDP payload, unchanged and in order, one at a time and in a burst, over
// IPv4 and IPv6; its counts at the end agree.
TEST(bench_tools, forwarders_relay_identical_datagrams_in_order)
{
    const forwarder fwds[] = {{"fwd_naive", {}}, {"fwd_naive", {"--epoll"}}, {"fwd_batch", {}},
                              {"fwd_batch", {"--batch", "5"}}};
    const size_t sizes[] = {1, 16, 188, 1316, 4000, 9000, 65507};
    std::mt19937 rng(17);
    for (const int af : {AF_INET, AF_INET6}) {
        if (af == AF_INET6 && !have_ipv6_loopback()) continue;
        for (const auto &f : fwds) {
            SCOPED_TRACE(std::string(f.prog) + (f.extra.empty() ? "" : " " + f.extra[0]) +
                         (af == AF_INET ? " IPv4" : " IPv6"));
            udp_end dst, src;
            ASSERT_TRUE(open_end(&dst, af));
            ASSERT_TRUE(open_end(&src, af));
            std::vector<std::string> args{"--listen", af == AF_INET ? "127.0.0.1:0" : "[::1]:0", "--dst",
                                          dst.text, "--rcvbuf", "4194304"};
            args.insert(args.end(), f.extra.begin(), f.extra.end());
            tool_run fwd(f.prog, args);
            ASSERT_TRUE(fwd.started());
            benchkit::endpoint lep;
            ASSERT_TRUE(endpoint_of(fwd.wait_line("listen="), &lep));

            for (const size_t n : sizes) {
                const auto d = random_bytes(rng, n);
                send_to(src.fd.fd, lep, d);
                EXPECT_EQ(recv_one(dst.fd.fd), d) << n << " bytes";
            }
            // A burst: the batched forwarder takes many per call.
            std::vector<std::vector<uint8_t>> burst;
            for (int i = 0; i < 300; ++i) {
                auto d = random_bytes(rng, 20 + size_t(i) * 13);
                memcpy(d.data(), &i, sizeof(i));
                burst.push_back(d);
            }
            for (const auto &d : burst) send_to(src.fd.fd, lep, d);
            for (size_t i = 0; i < burst.size(); ++i) {
                const auto got = recv_one(dst.fd.fd);
                ASSERT_EQ(got, burst[i]) << "datagram " << i << " of the burst";
            }
            const int rc = fwd.stop();
            EXPECT_EQ(rc, 0);
            const auto counts = fields(fwd.wait_line("in="));
            const auto want = (long long)(std::size(sizes) + burst.size());
            EXPECT_EQ(counts.at("in"), want);
            EXPECT_EQ(counts.at("out"), want);
            EXPECT_EQ(counts.at("send_errors"), 0);
            EXPECT_EQ(counts.at("drops"), 0);
        }
    }
}

// The generator's stamped datagrams, paced, arrive at the sink complete;
// the sink reads what is queued before it quits.
TEST(bench_tools, generator_and_sink_agree)
{
    for (const char *addr : {"127.0.0.1:0", "[::1]:0"}) {
        if (addr[0] == '[' && !have_ipv6_loopback()) continue;
        SCOPED_TRACE(addr);
        tool_run sink("udp_sink", {"--listen", addr, "--streams", "4", "--rcvbuf", "4194304"});
        benchkit::endpoint sep;
        ASSERT_TRUE(endpoint_of(sink.wait_line("listen="), &sep));
        char text[80];
        tool_run gen("udp_gen", {"--dst", benchkit::endpoint_str(sep, text, sizeof(text)), "--size", "200",
                                 "--rate", "50000", "--count", "5000", "--duration", "20", "--stream-base", "2"});
        ASSERT_EQ(gen.wait_exit(), 0);
        const auto g = fields(gen.wait_line("sent="));
        EXPECT_EQ(g.at("sent"), 5000);
        EXPECT_EQ(g.at("bytes"), 5000 * 200);
        // Paced at 50000/s: 5000 take about 0.1 s, not an instant.
        EXPECT_GT(g.at("elapsed_ns"), 80000000);
        EXPECT_EQ(sink.stop(), 0);
        const auto s = fields(sink.wait_line("datagrams="));
        EXPECT_EQ(s.at("datagrams"), 5000);
        EXPECT_EQ(s.at("bytes"), 5000 * 200);
        EXPECT_EQ(s.at("unique"), 5000);
        EXPECT_EQ(s.at("lost"), 0);
        EXPECT_EQ(s.at("duplicates"), 0);
        EXPECT_EQ(s.at("foreign"), 0);
        EXPECT_EQ(s.at("streams"), 1);
        EXPECT_EQ(s.at("drops"), 0);
    }
}

// Datagrams sent out of order, twice, or without a stamp are told apart,
// per datagram and per transport packet.
TEST(bench_tools, sink_counts_gaps_reordering_and_duplicates)
{
    udp_end src;
    ASSERT_TRUE(open_end(&src, AF_INET));
    auto stamped = [](uint32_t stream, uint64_t seq) {
        std::vector<uint8_t> d(100, 0xaa);
        benchkit::put_stamp(d.data(), stream, seq);
        return d;
    };
    {
        tool_run sink("udp_sink", {"--listen", "127.0.0.1:0", "--streams", "2"});
        benchkit::endpoint sep;
        ASSERT_TRUE(endpoint_of(sink.wait_line("listen="), &sep));
        for (const auto &[stream, seq] : std::vector<std::pair<uint32_t, uint64_t>>{
                 {0, 0}, {0, 1}, {0, 3}, {0, 2}, {0, 2}, {0, 5}, {1, 0}, {1, 1}, {5, 0}})
            send_to(src.fd.fd, sep, stamped(stream, seq));
        send_to(src.fd.fd, sep, std::vector<uint8_t>(50, 0));  // no stamp
        EXPECT_EQ(sink.stop(), 0);
        const auto s = fields(sink.wait_line("datagrams="));
        EXPECT_EQ(s.at("datagrams"), 10);
        EXPECT_EQ(s.at("units"), 8);
        EXPECT_EQ(s.at("unique"), 7);
        EXPECT_EQ(s.at("lost"), 1);
        EXPECT_EQ(s.at("gaps"), 2);
        EXPECT_EQ(s.at("reordered"), 1);
        EXPECT_EQ(s.at("duplicates"), 1);
        EXPECT_EQ(s.at("foreign"), 2);  // stream 5 and the unstamped one
        EXPECT_EQ(s.at("streams"), 2);
    }
    {
        // 188-byte units: packets 0, 1, 2 in one datagram, then 4 and a
        // packet whose sync byte is wrong, then 3.
        tool_run sink("udp_sink", {"--listen", "127.0.0.1:0", "--unit", "188"});
        benchkit::endpoint sep;
        ASSERT_TRUE(endpoint_of(sink.wait_line("listen="), &sep));
        auto packets = [](std::vector<uint64_t> seqs) {
            std::vector<uint8_t> d(seqs.size() * benchkit::TS_LEN);
            for (size_t i = 0; i < seqs.size(); ++i) benchkit::fill_ts_packet(&d[i * benchkit::TS_LEN], 0, seqs[i]);
            return d;
        };
        send_to(src.fd.fd, sep, packets({0, 1, 2}));
        auto d = packets({4, 9});
        d[benchkit::TS_LEN] = 0x48;
        send_to(src.fd.fd, sep, d);
        send_to(src.fd.fd, sep, packets({3}));
        EXPECT_EQ(sink.stop(), 0);
        const auto s = fields(sink.wait_line("datagrams="));
        EXPECT_EQ(s.at("datagrams"), 3);
        EXPECT_EQ(s.at("units"), 5);
        EXPECT_EQ(s.at("unique"), 5);
        EXPECT_EQ(s.at("lost"), 0);
        EXPECT_EQ(s.at("gaps"), 1);
        EXPECT_EQ(s.at("reordered"), 1);
        EXPECT_EQ(s.at("foreign"), 1);
    }
}

// The TS server answers a GET with 200 and an endless stream of stamped
// packets, one stream number per connection; it refuses other methods.
TEST(bench_tools, ts_server_streams_stamped_packets)
{
    tool_run srv("ts_server", {"--listen", "127.0.0.1:0"});
    benchkit::endpoint ep;
    ASSERT_TRUE(endpoint_of(srv.wait_line("listen="), &ep));

    auto connect_to = [&](Fd *fd) {
        fd->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        return fd->fd >= 0 && connect(fd->fd, reinterpret_cast<sockaddr *>(&ep.ss), ep.len) == 0;
    };
    // Reads exactly n bytes, waiting at most 3 s in all.
    auto read_n = [](int fd, size_t n) {
        std::string got;
        const auto deadline = clock_type::now() + std::chrono::seconds(3);
        while (got.size() < n && clock_type::now() < deadline) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            char buf[4096];
            const ssize_t r = read(fd, buf, std::min(sizeof(buf), n - got.size()));
            if (r <= 0) break;
            got.append(buf, size_t(r));
        }
        return got;
    };

    for (uint32_t conn = 0; conn < 2; ++conn) {
        SCOPED_TRACE(conn);
        Fd c;
        ASSERT_TRUE(connect_to(&c));
        const std::string rq = "GET /s.ts HTTP/1.0\r\nHost: x\r\n\r\n";
        ASSERT_EQ(write(c.fd, rq.data(), rq.size()), ssize_t(rq.size()));
        const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: video/MP2T\r\nServer: ts_server\r\n\r\n";
        ASSERT_EQ(read_n(c.fd, head.size()), head);
        const std::string body = read_n(c.fd, 500 * benchkit::TS_LEN);
        ASSERT_EQ(body.size(), 500 * benchkit::TS_LEN);
        for (uint64_t i = 0; i < 500; ++i) {
            const auto *p = reinterpret_cast<const uint8_t *>(body.data()) + i * benchkit::TS_LEN;
            uint32_t stream = 99;
            uint64_t seq = 0;
            ASSERT_EQ(p[0], benchkit::TS_SYNC) << "packet " << i;
            ASSERT_TRUE(benchkit::get_stamp(p + benchkit::TS_HEAD_LEN, benchkit::STAMP_LEN, &stream, &seq));
            ASSERT_EQ(stream, conn);
            ASSERT_EQ(seq, i);
        }
    }
    Fd bad;
    ASSERT_TRUE(connect_to(&bad));
    const std::string post = "POST / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(bad.fd, post.data(), post.size()), ssize_t(post.size()));
    EXPECT_EQ(read_n(bad.fd, 12), "HTTP/1.0 400");
    EXPECT_EQ(srv.stop(), 0);
    const auto s = fields(srv.wait_line("clients="));
    EXPECT_EQ(s.at("clients"), 3);
    EXPECT_GE(s.at("packets"), 1000);
}

namespace {

// Connects *c to the TS server srv and sends it a GET.
void ask_for_stream(tool_run &srv, Fd *c)
{
    benchkit::endpoint ep;
    ASSERT_TRUE(endpoint_of(srv.wait_line("listen="), &ep));
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(c->fd, reinterpret_cast<sockaddr *>(&ep.ss), ep.len), 0);
    const std::string rq = "GET / HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(c->fd, rq.data(), rq.size()), ssize_t(rq.size()));
}

}  // namespace

// A paced TS stream keeps its rate and stops after its duration, keeping
// the connection open.
TEST(bench_tools, ts_server_paces_and_pauses)
{
    tool_run srv("ts_server", {"--listen", "127.0.0.1:0", "--pps", "5000", "--duration", "0.4"});
    Fd c;
    ASSERT_NO_FATAL_FAILURE(ask_for_stream(srv, &c));
    size_t total = 0;
    bool closed = false;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(1200);
    while (clock_type::now() < deadline) {
        pollfd p = {c.fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) continue;
        char buf[65536];
        const ssize_t r = read(c.fd, buf, sizeof(buf));
        if (r <= 0) {
            closed = true;
            break;
        }
        total += size_t(r);
    }
    EXPECT_FALSE(closed);
    // 0.4 s at 5000/s: 2000 packets and never more, whatever the machine's
    // speed; a server starved near the end may make a few less.
    const size_t head = strlen("HTTP/1.0 200 OK\r\nContent-Type: video/MP2T\r\nServer: ts_server\r\n\r\n");
    ASSERT_GT(total, head);
    const size_t packets = (total - head) / benchkit::TS_LEN;
    EXPECT_GE(packets, 1800u);
    EXPECT_LE(packets, 2001u);
    EXPECT_EQ(srv.stop(), 0);
}

// The many-socket forwarder: relay i takes what arrives on its own port to
// the destination port + i, every datagram whole and in order, over IPv4
// and IPv6; with --gso, runs of equal-sized datagrams (a run's last one may
// be shorter) leave as segmented sends and arrive as the same datagrams.
// Datagrams that wait while the forwarder is stopped come in batches.
TEST(bench_tools, many_socket_forwarder_relays_each_port_to_its_own_destination)
{
    constexpr size_t N = 4;
    std::mt19937 rng(29);
    for (const int af : {AF_INET, AF_INET6}) {
        if (af == AF_INET6 && !have_ipv6_loopback()) continue;
        for (const bool gso : {false, true}) {
            SCOPED_TRACE(std::string(af == AF_INET ? "IPv4" : "IPv6") + (gso ? " --gso" : ""));
            std::deque<udp_end> dst;
            ASSERT_TRUE(open_port_range(&dst, af, N));
            udp_end src;
            ASSERT_TRUE(open_end(&src, af));
            std::vector<std::string> args{"--listen", af == AF_INET ? "127.0.0.1:0" : "[::1]:0", "--dst",
                                          dst[0].text, "--ports", std::to_string(N), "--rcvbuf", "4194304"};
            if (gso) args.push_back("--gso");
            tool_run fwd("fwd_many", args);
            ASSERT_TRUE(fwd.started());
            std::vector<benchkit::endpoint> lep(N);
            for (auto &ep : lep) ASSERT_TRUE(endpoint_of(fwd.wait_line("listen="), &ep));

            // One at a time, each relay in turn, from 1 byte to the largest.
            const size_t sizes[] = {1, 188, 1316, 4000, 65507};
            for (const size_t n : sizes) {
                for (size_t r = 0; r < N; ++r) {
                    const auto d = random_bytes(rng, n);
                    send_to(src.fd.fd, lep[r], d);
                    EXPECT_EQ(recv_one(dst[r].fd.fd), d) << n << " bytes to relay " << r;
                }
            }
            // Bursts that wait for the stopped forwarder: runs of equal
            // sizes, some closed by a shorter datagram, some by a longer
            // one, runs longer than a segmented send holds, and a relay
            // that gets nothing.
            ASSERT_TRUE(fwd.signal(SIGSTOP));
            std::vector<std::vector<std::vector<uint8_t>>> want(N);
            auto burst = [&](size_t r, size_t len, size_t count) {
                for (size_t i = 0; i < count; ++i) {
                    auto d = random_bytes(rng, len);
                    send_to(src.fd.fd, lep[r], d);
                    want[r].push_back(d);
                }
            };
            burst(0, 1316, 7), burst(0, 500, 1), burst(0, 1316, 3), burst(0, 2000, 2);
            burst(1, 9000, 10), burst(1, 188, 40);
            burst(2, 1316, 60);
            ASSERT_TRUE(fwd.signal(SIGCONT));
            for (size_t r = 0; r < N; ++r)
                for (size_t i = 0; i < want[r].size(); ++i)
                    ASSERT_EQ(recv_one(dst[r].fd.fd), want[r][i]) << "relay " << r << " datagram " << i;
            EXPECT_TRUE(recv_one(dst[3].fd.fd, 50).empty());

            EXPECT_EQ(fwd.stop(), 0);
            const auto c = fields(fwd.wait_line("in="));
            const long long total = (long long)(std::size(sizes) * N + 7 + 1 + 3 + 2 + 10 + 40 + 60);
            EXPECT_EQ(c.at("in"), total);
            EXPECT_EQ(c.at("out"), total);
            EXPECT_EQ(c.at("send_errors"), 0);
            EXPECT_EQ(c.at("drops"), 0);
            EXPECT_EQ(c.at("gso_refused"), 0);
            // A wake-up per datagram sent alone, fewer for the bursts.
            EXPECT_LT(c.at("recv_calls"), total);
            EXPECT_EQ(c.at("send_calls"), c.at("recv_calls"));
            // Segmented sends: relay 0's 13 datagrams go as 3 runs (7 and
            // the shorter one, 3, 2), relay 1's 50 as 3 (7 of 9000 bytes
            // fill a send; 3 and a 188-byte one; 39), relay 2's 60 as 2
            // (49 of 1316 bytes fill a send).
            if (gso)
                EXPECT_EQ(c.at("runs"), (long long)(std::size(sizes) * N + 3 + 3 + 2));
            else
                EXPECT_EQ(c.at("runs"), 0);
        }
    }
}

// With --chunked the TS server answers HTTP/1.1 with a chunked body whose
// payload is the same stamped stream, and counts packets without framing.
TEST(bench_tools, ts_server_chunks_its_stream)
{
    tool_run srv("ts_server", {"--listen", "127.0.0.1:0", "--pps", "5000", "--duration", "0.2",
                               "--chunked"});
    Fd c;
    ASSERT_NO_FATAL_FAILURE(ask_for_stream(srv, &c));
    std::string wire;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(800);
    while (clock_type::now() < deadline) {
        pollfd p = {c.fd, POLLIN, 0};
        char buf[65536];
        const ssize_t r = poll(&p, 1, 50) == 1 ? read(c.fd, buf, sizeof(buf)) : 0;
        if (r > 0) wire.append(buf, size_t(r));
    }
    EXPECT_EQ(srv.stop(), 0);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/MP2T\r\nServer: ts_server\r\n"
                             "Transfer-Encoding: chunked\r\n\r\n";
    ASSERT_EQ(wire.substr(0, head.size()), head);
    chunk_dec d;
    chunk_init(&d);
    size_t n = 0;
    std::string body = wire.substr(head.size());
    ASSERT_EQ(chunk_decode(&d, reinterpret_cast<uint8_t *>(body.data()), body.size(), &n),
              CHUNK_MORE);
    ASSERT_EQ(n % benchkit::TS_LEN, 0u);
    for (uint64_t i = 0; i < n / benchkit::TS_LEN; ++i) {
        const auto *p = reinterpret_cast<const uint8_t *>(body.data()) + i * benchkit::TS_LEN;
        uint32_t stream = 99;
        uint64_t seq = 0;
        ASSERT_TRUE(benchkit::get_stamp(p + benchkit::TS_HEAD_LEN, benchkit::STAMP_LEN, &stream, &seq));
        ASSERT_EQ(seq, i);
    }
    const auto s = fields(srv.wait_line("clients="));
    EXPECT_EQ(uint64_t(s.at("packets")), n / benchkit::TS_LEN);
    EXPECT_GE(n / benchkit::TS_LEN, 900u);
}
