// tavel relaying from HTTP origins that answer with a chunked body, run as
// a program in a private network namespace:
//
//   origin (test thread) 127.0.0.1:188xx --HTTP/1.1 200, Transfer-Encoding: chunked-->
//       tavel (user listener 127.0.0.1:18860) --UDP--> receiver 127.0.0.1:68xx
//
// The origin sends numbered transport packets in chunks of awkward sizes,
// every size line cut across two TCP writes; the receiver compares what
// arrives packet by packet.  A second origin breaks its framing part-way.
#include <netinet/in.h>
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "support.h"
#include "tavel_harness.h"

using namespace tvh;

namespace {

constexpr int PORT = 18860;
constexpr size_t TS = 188;

// npkts packets: sync byte, PID 0x100 with a running continuity counter,
// the packet's number in bytes 4..7, then filler that depends on it.
std::string numbered_packets(uint32_t npkts)
{
    std::string s(TS * npkts, '\0');
    for (uint32_t k = 0; k < npkts; ++k) {
        char *p = &s[k * TS];
        p[0] = 0x47, p[1] = 0x01, p[2] = 0x00, p[3] = char(0x10 | (k & 0x0f));
        for (int b = 0; b < 4; ++b) p[4 + b] = char(k >> (8 * b));
        for (size_t j = 8; j < TS; ++j) p[j] = char((k * 31 + j) % 253);
    }
    return s;
}

// An origin that serves one connection: reads its request head, writes
// each piece as its own TCP write (no coalescing, a pause before each),
// then closes (close_after), resets once its peer has taken every byte
// (reset), or holds the connection until the peer closes it.  Everything it
// does is bounded in time.
class Origin {
public:
    Origin(int port, std::vector<std::string> pieces, bool close_after = false, bool reset = false)
        : pieces_(std::move(pieces)), close_after_(close_after || reset), reset_(reset)
    {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(lfd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && listen(lfd_, 4) == 0;
        th_ = std::thread([this] { serve(); });
    }
    ~Origin()
    {
        th_.join();
        close(lfd_);
    }
    bool ok() const { return ok_; }
    std::string request() const { return done_ ? request_ : ""; }
    bool peer_closed() const { return peer_closed_; }

private:
    void serve()
    {
        pollfd p{lfd_, POLLIN, 0};
        if (!ok_ || poll(&p, 1, 20000) != 1) return;
        const int c = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        const int on = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char buf[2048];
        pollfd q{c, POLLIN, 0};
        while (request_.find("\r\n\r\n") == std::string::npos && poll(&q, 1, 5000) == 1) {
            const ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            request_.append(buf, size_t(n));
        }
        done_ = true;
        for (const std::string &piece : pieces_) {
            sleep_ms(1);
            if (send(c, piece.data(), piece.size(), MSG_NOSIGNAL) != ssize_t(piece.size())) break;
        }
        // Held until tavel closes it (at most 20 s).
        for (int waited = 0; !close_after_ && waited < 20000 && poll(&q, 1, 100) == 0;
             waited += 100) {}
        peer_closed_ = recv(c, buf, sizeof buf, MSG_DONTWAIT) == 0;
        int unacked = 1;
        for (int waited = 0; reset_ && waited < 20000 && ioctl(c, SIOCOUTQ, &unacked) == 0 &&
                             unacked > 0;
             waited += 10)
            sleep_ms(10);
        const linger rst{1, 0};
        if (reset_) setsockopt(c, SOL_SOCKET, SO_LINGER, &rst, sizeof rst);
        close(c);
    }

    int lfd_ = -1;
    bool ok_ = false;
    std::vector<std::string> pieces_;
    bool close_after_, reset_;
    std::string request_;
    std::atomic<bool> done_{false}, peer_closed_{false};
    std::thread th_;
};

const std::string k_head =
    "HTTP/1.1 200 OK\r\nServer: origin\r\nContent-Type: video/MP2T\r\n"
    "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";

// The answer head and body cut into writes: every size line in two, the
// first write the head with the body's first byte.
std::vector<std::string> answer_pieces(const std::string &body, const std::vector<size_t> &lines)
{
    std::vector<size_t> cuts = {1};
    for (size_t at : lines) cuts.push_back(at + 1), cuts.push_back(body.find('\n', at));
    std::sort(cuts.begin(), cuts.end());
    std::vector<std::string> pieces = cut_at(body, cuts);
    pieces[0] = k_head + pieces[0];
    return pieces;
}

// Receives datagrams on fd until want bytes came or ms passed; their bytes.
std::string receive(int fd, size_t want, int ms)
{
    std::string got;
    for (int idle = 0; got.size() < want && idle < ms;) {
        const std::string d = udp_recv(fd, 100);
        if (d.empty()) idle += 100;
        got += d;
    }
    return got;
}

#define CHILD_HAS_NOT(text, part)                                                  \
    do {                                                                           \
        const size_t at_ = (text).find(part);                                      \
        if (at_ != std::string::npos) {                                            \
            fprintf(stderr, "%s:%d: [%s] found in: %s\n", __FILE__, __LINE__, part,  \
                    (text).substr(at_ < 200 ? 0 : at_ - 200, 400).c_str());         \
            return 1;                                                              \
        }                                                                          \
    } while (0)

// The first packet at which got and want differ, or -1 when they agree.
long first_difference(const std::string &got, const std::string &want)
{
    for (size_t k = 0; k * TS < std::max(got.size(), want.size()); ++k)
        if (got.compare(k * TS, TS, want, k * TS, TS) != 0) return long(k);
    return -1;
}

std::string request_path(int origin, int dport)
{
    return "/src/http://127.0.0.1:" + std::to_string(origin) + "/live.ts/dst/127.0.0.1:" +
           std::to_string(dport);
}

}  // namespace

TEST(chunked_origin, stream_arrives_whole_and_malformed_framing_fails_the_source)
{
    EXPECT_CHILD_OK(run_in_child(
        [] {
            if (!enter_private_netns()) return CHILD_SKIP;
            TempDir d;
            // No revival: each source ends with its first failure or end.
            write_file(d.file("tavel.conf"), config(PORT, "max_retries = 1;"));
            Daemon t(d.path());
            CHILD_CHECK(t.start_fg());

            // 1: 700 packets in chunks of awkward sizes, with extensions and
            // a trailer.
            const std::string ts = numbered_packets(700);
            std::vector<size_t> lines;
            const std::string body = chunked_body(ts, {1, 187, 189, 1316, 7, 4096, 2, 375},
                                                  true, ";seq=1", "X-Trailer: end\r\n", &lines);
            const int rx = udp_bind(6861);
            CHILD_CHECK(rx >= 0);
            const int big = 8 << 20;
            setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
            {
                Origin origin(18861, answer_pieces(body, lines));
                CHILD_CHECK(origin.ok());
                CHILD_CHECK(get(PORT, request_path(18861, 6861)) == answer(200));
                const std::string got = receive(rx, ts.size(), 10000);
                const long diff = first_difference(got, ts);
                if (diff >= 0)
                    fprintf(stderr, "packet %ld of %zu differs (%zu bytes came)\n", diff,
                            ts.size() / TS, got.size());
                CHILD_CHECK(diff == -1);
                CHILD_CHECK(origin.request().rfind("GET /live.ts HTTP/1.0\r\n", 0) == 0);
                CHILD_CHECK(t.wait_for("Task [H0001]: ENDED"));
                CHILD_CHECK(eventually([&] { return origin.peer_closed(); }, 10000));
            }
            std::string out = t.output();
            for (const std::string line :
                 {std::string("chunked answer body, decoded on input"),
                  "last chunk at body byte " + std::to_string(body.size()) + " (0 bytes",
                  "chunked body complete after " + std::to_string(body.size()) +
                      " bytes: source closed"})
                CHILD_CHECK(out.find(line) != std::string::npos);
            for (const char *line : {"TS-sync", "LOST-SYNC", "UNALIGNED", "not a TS", "malformed"})
                CHILD_HAS_NOT(out, line);

            // 2: 70 good packets, then a size line that is no number.
            const std::string ts2 = numbered_packets(70);
            std::vector<size_t> lines2;
            const std::string good = chunked_body(ts2, {500, 33}, false, "", "", &lines2);
            std::vector<std::string> pieces = answer_pieces(good, lines2);
            pieces.push_back("-5\r\n" + ts.substr(0, 100));
            const int rx2 = udp_bind(6862);
            CHILD_CHECK(rx2 >= 0);
            {
                Origin origin(18862, pieces);
                CHILD_CHECK(origin.ok());
                CHILD_CHECK(get(PORT, request_path(18862, 6862)) == answer(200));
                CHILD_CHECK(t.wait_for("Task [H0002]: ENDED"));
                CHILD_CHECK(first_difference(receive(rx2, ts2.size(), 3000), ts2) == -1);
                CHILD_CHECK(eventually([&] { return origin.peer_closed(); }, 10000));
            }
            out = t.output();
            const std::string bad = "malformed chunked body (bad chunk size) at byte " +
                                    std::to_string(good.size()) + ": [-5\\r\\nG\\x01";
            CHILD_CHECK(out.find(bad) != std::string::npos);
            CHILD_CHECK(out.find("malformed") == out.rfind("malformed"));
            CHILD_CHECK(t.stop() == 0);
            close(rx);
            close(rx2);
            return 0;
        },
        90000));
}

namespace {

// The daemon's CPU time so far, in clock ticks.
long cpu_ticks(pid_t pid)
{
    const std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t at = st.rfind(')');
    long utime = 0, stime = 0;
    if (at == std::string::npos ||
        sscanf(st.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime,
               &stime) != 2)
        return -1;
    return utime + stime;
}

// The packets of numbered_packets(n) that the datagrams on fd hold, until
// none came for 5 s before the first or 500 ms after one; -1 for a datagram
// that is not whole packets of it in order.
std::vector<long> received_packets(int fd, const std::string &ts)
{
    std::vector<long> got;
    for (std::string d; !(d = udp_recv(fd, got.empty() ? 5000 : 500)).empty();) {
        for (size_t at = 0; at < d.size(); at += TS) {
            uint32_t k = 0;
            memcpy(&k, &d[at + 4 < d.size() ? at + 4 : 0], 4);
            const bool whole = d.size() % TS == 0 && k * TS < ts.size() &&
                               d.compare(at, TS, ts, k * TS, TS) == 0 &&
                               (got.empty() || long(k) > got.back());
            got.push_back(whole ? long(k) : -1);
            if (!whole) return got;
        }
    }
    return got;
}

}  // namespace

TEST(chunked_origin, ended_origins_lose_nothing_and_short_junk_or_cut_packets_never_go_out)
{
    // tavel and the origins in namespace a, the receiver in b behind a
    // 20 Mbit/s lossless path: the ring still holds megabytes when the origin
    // ends.
    EXPECT_CHILD_OK(run_in_child(
        [] {
            VethPair vp{74};
            if (!vp.ok()) return CHILD_SKIP;
            CHILD_CHECK(enter_netns(vp.b()));
            const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET, sa.sin_port = htons(6870);
            inet_pton(AF_INET, vp.addr_b().c_str(), &sa.sin_addr);
            CHILD_CHECK(bind(rx, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0);
            const int big = 16 << 20;
            setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
            CHILD_CHECK(enter_netns(vp.a()));
            CHILD_CHECK(run_quiet("tc qdisc add dev va root tbf rate 20mbit burst 20kb limit 8mb"));
            TempDir d;
            write_file(d.file("tavel.conf"), config(PORT, "max_retries = 1;"));
            Daemon t(d.path());
            CHILD_CHECK(t.start_fg());
            const std::string plain = "HTTP/1.0 200 OK\r\nContent-Type: video/MP2T\r\n\r\n";
            const std::string ts = numbered_packets(20000);
            const std::string chunked = chunked_body(ts, {65536}, true);
            struct origin_case {
                const char *why;
                std::vector<std::string> pieces;
                bool close_after;
                size_t min_pkts;  // whole, in order
                bool reset = false;
            };
            const auto in_pieces = [](std::string head, const std::string &body, size_t len) {
                std::vector<std::string> v{std::move(head)};
                for (size_t at = 0; at < body.size(); at += len) v.push_back(body.substr(at, len));
                return v;
            };
            // 190 junk bytes without a sync byte after every 13th packet; every
            // 50th packet cut to 100 bytes.
            std::string junky, cut;
            for (size_t k = 0; k < 1500; ++k) {
                junky += ts.substr(k * TS, TS) + (k % 13 == 12 ? std::string(190, 'j') : "");
                cut += ts.substr(k * TS, k % 50 == 49 ? 100 : TS);
            }
            const origin_case cases[] = {
                {"last chunk", in_pieces(k_head, chunked, 100000), false, 20000},
                {"close", in_pieces(plain, ts, 100000), true, 20000},
                {"reset", in_pieces(plain, ts, 100000), true, 20000, true},
                {"junk in pieces", in_pieces(plain, junky, 250), true, 1350},
                {"cut packets in pieces", in_pieces(plain, cut, 188), true, 1470},
            };
            int task = 0;
            for (const origin_case &c : cases) {
                const long cpu0 = cpu_ticks(t.pid());
                const int oport = 18870 + task;
                Origin origin(oport, c.pieces, c.close_after, c.reset);
                CHILD_CHECK(origin.ok());
                CHILD_CHECK(get(PORT, "/src/http://127.0.0.1:" + std::to_string(oport) +
                                          "/live.ts/dst/" + vp.addr_b() + ":6870") == answer(200));
                const std::vector<long> got = received_packets(rx, ts);
                char ended[32];
                snprintf(ended, sizeof ended, "Task [H%04d]: ENDED", ++task);
                CHILD_CHECK(t.wait_for(ended));
                fprintf(stderr, "%s: %zu packets\n", c.why, got.size());
                CHILD_CHECK(got.size() >= c.min_pkts && got.back() >= 0);
                // The loop sleeps while the destination drains the ring.
                CHILD_CHECK(cpu_ticks(t.pid()) - cpu0 < sysconf(_SC_CLK_TCK));
            }
            const std::string out = t.output();
            for (const char *line : {"not a TS stream", "resetting"}) CHILD_HAS_NOT(out, line);
            CHILD_CHECK(t.stop() == 0);
            close(rx);
            return 0;
        },
        90000));
}

TEST(chunked_origin, whole_packets_leave_while_the_origin_stalls)
{
    // The origin writes npkts whole packets and 100 bytes of the next in
    // one write, then holds the connection silent.  Every packet whose next
    // byte has come leaves within a second, whatever the batch size (-M 1,
    // and the default, whose batch of 4 x 26 packets leaves one over from
    // 105); with opkt=a1500 the 7 whole packets leave as one datagram.
    struct stall_case {
        const char *query;
        uint32_t npkts;
        size_t dgram;  // the length of every datagram
    };
    const stall_case cases[] = {
        {"", 105, 0}, {"", 27, 0}, {"?opkt=a1500", 7, 7 * TS}, {"?opkt=a1500", 15, 7 * TS}};
    const std::string plain = "HTTP/1.0 200 OK\r\nContent-Type: video/MP2T\r\n\r\n";
    for (const char *batch : {"1", ""}) {
        SCOPED_TRACE(batch);
        EXPECT_CHILD_OK(run_in_child(
            [&] {
                if (!enter_private_netns()) return CHILD_SKIP;
                TempDir d;
                write_file(d.file("tavel.conf"), config(PORT, ""));
                Daemon t(d.path());
                CHILD_CHECK(t.start_fg(*batch ? std::vector<std::string>{"-M", batch}
                                              : std::vector<std::string>{}));
                int n = 0;
                for (const stall_case &c : cases) {
                    const int oport = 18880 + n, dport = 6880 + n;
                    ++n;
                    const std::string all = numbered_packets(c.npkts + 1);
                    const std::string ts = all.substr(0, c.npkts * TS);
                    const int rx = udp_bind(dport);
                    CHILD_CHECK(rx >= 0);
                    Origin origin(oport, {plain, all.substr(0, ts.size() + 100)});
                    CHILD_CHECK(origin.ok());
                    CHILD_CHECK(get(PORT, request_path(oport, dport) + c.query) == answer(200));
                    // What leaves is whole packets in order, each datagram
                    // full-size when aligned; none come after the last whole
                    // one.
                    const size_t want = c.dgram ? ts.size() / c.dgram * c.dgram : ts.size();
                    std::string got;
                    for (std::string dg; got.size() < want && !(dg = udp_recv(rx, 3000)).empty();) {
                        CHILD_CHECK(!c.dgram || dg.size() == c.dgram);
                        got += dg;
                    }
                    if (got.size() != want)
                        fprintf(stderr, "%u packets%s: %zu of %zu bytes came\n", c.npkts, c.query,
                                got.size(), want);
                    CHILD_CHECK(got == ts.substr(0, want));
                    CHILD_CHECK(udp_recv(rx, 200).empty());
                    char drop[32];
                    snprintf(drop, sizeof drop, "Task [H%04d]: ENDED", n);
                    CHILD_CHECK(get(PORT, request_path(oport, dport) + "/drop") == answer(200));
                    CHILD_CHECK(t.wait_for(drop));
                    CHILD_CHECK(eventually([&] { return origin.peer_closed(); }, 10000));
                    close(rx);
                }
                CHILD_CHECK(t.output().find("timed out") == std::string::npos);
                CHILD_CHECK(t.stop() == 0);
                return 0;
            },
            60000));
    }
}
