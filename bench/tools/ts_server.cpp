// ts_server: a small HTTP server of the relay benchmark that answers any GET
// with an endless MPEG transport stream: 188-byte packets whose payload
// carries a stamp (stream = connection number, sequence = packet number),
// so that a receiver of the relayed datagrams can check order and loss.
// Each connection gets its stream flat out or paced at a packet rate, as a
// plain body or (--chunked) in chunked transfer coding, one chunk per batch
// of packets made; after
// --duration the streams pause with the connections kept open until the
// server quits (SIGTERM, SIGINT), so that what is in flight can drain.
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "app.globals.h"
#include "benchkit.h"

using namespace benchkit;

namespace {

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr,
            "Usage: %s --listen ADDR:PORT [--pps N] [--duration SEC] [--max-clients N]\n"
            "          [--sndbuf BYTES] [--out FILE] [--cpu N] [--chunked]\n"
            "Answers each GET with a transport stream of stamped 188-byte packets, flat\n"
            "out (--pps 0, the default) or at --pps packets per second per connection,\n"
            "for --duration seconds (default: until it quits) from the connection's\n"
            "answer on; --chunked sends the body in chunks.  Prints listen=ADDR:PORT\n"
            "once bound, and its totals (to --out when given; chunk framing not\n"
            "counted) when it quits.\n",
            argv0);
    exit(1);
}

constexpr size_t HEAD_MAX = 2048;
constexpr size_t CHUNK_PKTS = 256;
constexpr uint64_t TICK_NS = 200000;  // paced writes: every 0.2 ms
constexpr std::string_view ANSWER =
    "HTTP/1.0 200 OK\r\nContent-Type: video/MP2T\r\nServer: ts_server\r\n\r\n";
constexpr std::string_view CHUNKED_ANSWER =
    "HTTP/1.1 200 OK\r\nContent-Type: video/MP2T\r\nServer: ts_server\r\n"
    "Transfer-Encoding: chunked\r\n\r\n";
// Room of a chunk's size line and the CR LF after its data.
constexpr size_t CHUNK_FRAMING = 16;

struct client {
    int fd = -1;
    uint32_t stream = 0;
    bool streaming = false;
    uint64_t seq = 0;        // next packet to make
    uint64_t start_ns = 0;   // when the answer went out
    size_t hlen = 0;
    char head[HEAD_MAX];
    size_t answer_left = 0;  // bytes of the answer head not written yet
    // Bytes made but not yet written: buf[pos .. len).
    size_t pos = 0, len = 0;
    uint8_t buf[CHUNKED_ANSWER.size() + CHUNK_FRAMING + CHUNK_PKTS * TS_LEN];
};

struct server {
    int lfd = -1, ep = -1, tfd = -1;
    long pps = 0;
    uint64_t stop_after_ns = 0;  // 0: no end
    long max_clients = 1024;
    bool chunked = false;
    uint64_t framing_bytes = 0;  // chunk framing made, counted out of written_bytes
    uint32_t next_stream = 0;
    uint64_t written_bytes = 0;  // stream bytes written, the answers not included
    std::vector<std::unique_ptr<client>> clients;
    // Clients dropped during a turn are freed after it: a later event of
    // the same turn may still point at them.
    std::vector<std::unique_ptr<client>> dropped;
};

void drop_client(server &s, client *c)
{
    epoll_ctl(s.ep, EPOLL_CTL_DEL, c->fd, nullptr);
    close(c->fd);
    c->fd = -1;
    for (auto &p : s.clients)
        if (p.get() == c) {
            s.dropped.push_back(std::move(p));
            p = std::move(s.clients.back());
            s.clients.pop_back();
            break;
        }
}

// Writes what is pending; false when the connection failed.
bool flush_pending(server &s, client *c)
{
    while (c->pos < c->len) {
        const ssize_t n = send(c->fd, c->buf + c->pos, c->len - c->pos, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        c->pos += size_t(n);
        const size_t head = size_t(n) < c->answer_left ? size_t(n) : c->answer_left;
        c->answer_left -= head;
        s.written_bytes += size_t(n) - head;
    }
    c->pos = c->len = 0;
    return true;
}

// Makes up to npkts packets into the empty buffer, as one chunk when the
// body is chunked.
void make_packets(server &s, client *c, uint64_t npkts)
{
    if (npkts > CHUNK_PKTS) npkts = CHUNK_PKTS;
    const size_t start = c->len;
    if (s.chunked)
        c->len += size_t(snprintf(reinterpret_cast<char *>(c->buf + c->len), CHUNK_FRAMING - 2,
                                  "%zx\r\n", size_t(npkts) * TS_LEN));
    for (uint64_t i = 0; i < npkts; ++i) fill_ts_packet(c->buf + c->len + i * TS_LEN, c->stream, c->seq++);
    c->len += size_t(npkts) * TS_LEN;
    if (s.chunked) {
        memcpy(c->buf + c->len, "\r\n", 2);
        c->len += 2;
        s.framing_bytes += c->len - start - size_t(npkts) * TS_LEN;
    }
}

// Sends packets until the socket is full (flat out) or until what is due
// now has gone (paced).  false when the connection failed.
bool pump(server &s, client *c, uint64_t now)
{
    for (int round = 0; round < 64; ++round) {
        if (!flush_pending(s, c)) return false;
        if (c->pos < c->len) return true;  // socket full
        if (s.stop_after_ns && now - c->start_ns >= s.stop_after_ns) {
            // Paused for good: a flat-out stream stops watching for room,
            // which a level-triggered watch would report without end.
            if (s.pps == 0) {
                epoll_event ev{};
                ev.events = EPOLLIN;
                ev.data.ptr = c;
                epoll_ctl(s.ep, EPOLL_CTL_MOD, c->fd, &ev);
            }
            return true;
        }
        uint64_t want = CHUNK_PKTS;
        if (s.pps > 0) {
            const auto due = uint64_t(double(now - c->start_ns) * double(s.pps) / 1e9) + 1;
            if (due <= c->seq) return true;
            want = due - c->seq;
        }
        make_packets(s, c, want);
    }
    return true;
}

void start_stream(server &s, client *c, uint64_t now)
{
    c->streaming = true;
    c->start_ns = now;
    const std::string_view answer = s.chunked ? CHUNKED_ANSWER : ANSWER;
    memcpy(c->buf, answer.data(), answer.size());
    c->pos = 0;
    c->len = answer.size();
    c->answer_left = answer.size();
    epoll_event ev{};
    ev.events = s.pps > 0 ? EPOLLIN : EPOLLIN | EPOLLOUT;
    ev.data.ptr = c;
    epoll_ctl(s.ep, EPOLL_CTL_MOD, c->fd, &ev);
}

// Reads the request head; false when the client is to be dropped.
bool read_head(server &s, client *c, uint64_t now)
{
    const ssize_t n = recv(c->fd, c->head + c->hlen, HEAD_MAX - 1 - c->hlen, 0);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;
    c->hlen += size_t(n);
    c->head[c->hlen] = '\0';
    const std::string_view head(c->head, c->hlen);
    if (head.find("\r\n\r\n") == head.npos && head.find("\n\n") == head.npos)
        return c->hlen < HEAD_MAX - 1;
    if (head.substr(0, 4) != "GET ") {
        static constexpr std::string_view BAD = "HTTP/1.0 400 Bad Request\r\n\r\n";
        (void)!send(c->fd, BAD.data(), BAD.size(), MSG_NOSIGNAL);
        return false;
    }
    start_stream(s, c, now);
    return pump(s, c, now);
}

void accept_clients(server &s)
{
    for (;;) {
        const int fd = accept4(s.lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (long(s.clients.size()) >= s.max_clients) {
            close(fd);
            continue;
        }
        auto c = std::make_unique<client>();
        c->fd = fd;
        c->stream = s.next_stream++;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = c.get();
        if (epoll_ctl(s.ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        s.clients.push_back(std::move(c));
    }
}

void on_client(server &s, client *c, uint32_t events, uint64_t now)
{
    bool ok = !(events & (EPOLLERR | EPOLLHUP));
    if (ok && !c->streaming && (events & EPOLLIN)) {
        ok = read_head(s, c, now);
    } else if (ok && (events & EPOLLIN)) {
        // A streaming client says nothing more; its end shows as end of data.
        char sink[512];
        const ssize_t n = recv(c->fd, sink, sizeof(sink), 0);
        ok = n > 0 || (n < 0 && errno == EAGAIN);
    }
    if (ok && c->streaming && (events & EPOLLOUT)) ok = pump(s, c, now);
    if (!ok) drop_client(s, c);
}

}  // namespace

int main(int argc, char **argv)
{
    static const option opts[] = {
        {"listen", required_argument, nullptr, 'l'},      {"pps", required_argument, nullptr, 'p'},
        {"duration", required_argument, nullptr, 't'},    {"max-clients", required_argument, nullptr, 'm'},
        {"sndbuf", required_argument, nullptr, 's'},      {"out", required_argument, nullptr, 'o'},
        {"cpu", required_argument, nullptr, 'c'},         {"help", no_argument, nullptr, 'h'},
        {"chunked", no_argument, nullptr, 'k'},
        {nullptr, 0, nullptr, 0}};
    server s;
    const char *listen_text = nullptr, *out_path = nullptr;
    long sndbuf = 0, cpu = -1;
    double duration = 0;
    for (int o; (o = getopt_long(argc, argv, "h", opts, nullptr)) != -1;) {
        bool ok = true;
        switch (o) {
        case 'l': listen_text = optarg; break;
        case 'p': ok = arg_long("--pps", optarg, 0, 100000000, &s.pps); break;
        case 't': ok = arg_double("--duration", optarg, 0, 86400, &duration); break;
        case 'm': ok = arg_long("--max-clients", optarg, 1, 100000, &s.max_clients); break;
        case 's': ok = arg_long("--sndbuf", optarg, 0, 1L << 30, &sndbuf); break;
        case 'o': out_path = optarg; break;
        case 'c': ok = arg_long("--cpu", optarg, -1, 1023, &cpu); break;
        case 'k': s.chunked = true; break;
        default: usage(argv[0]);
        }
        if (!ok) return 1;
    }
    if (!listen_text || optind != argc) usage(argv[0]);
    s.stop_after_ns = uint64_t(duration * 1e9);
    endpoint lep;
    if (parse_endpoint(listen_text, &lep) != 0) return 1;
    if (pin_cpu(int(cpu)) != 0) return 1;
    catch_quit_signals();

    s.lfd = socket(lep.ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s.lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (sndbuf > 0) set_buffers(s.lfd, 0, sndbuf);  // accepted sockets inherit it
    socklen_t llen = sizeof(lep.ss);
    if (s.lfd < 0 || bind(s.lfd, reinterpret_cast<sockaddr *>(&lep.ss), lep.len) != 0 ||
        listen(s.lfd, 1024) != 0 || getsockname(s.lfd, reinterpret_cast<sockaddr *>(&lep.ss), &llen) != 0) {
        fprintf(stderr, "cannot listen on %s: %s\n", listen_text, strerror(errno));
        return 1;
    }
    s.ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;  // the listener
    if (s.ep < 0 || epoll_ctl(s.ep, EPOLL_CTL_ADD, s.lfd, &ev) != 0) return 1;
    if (s.pps > 0) {
        s.tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        const itimerspec its = {{0, long(TICK_NS)}, {0, long(TICK_NS)}};
        ev.data.ptr = &s.tfd;
        if (s.tfd < 0 || timerfd_settime(s.tfd, 0, &its, nullptr) != 0 ||
            epoll_ctl(s.ep, EPOLL_CTL_ADD, s.tfd, &ev) != 0)
            return 1;
    }
    char text[80];
    lep.len = llen;
    printf("listen=%s\n", endpoint_str(lep, text, sizeof(text)));
    fflush(stdout);

    std::vector<epoll_event> ready(256);
    while (!g_quit) {
        const int n = epoll_wait(s.ep, ready.data(), int(ready.size()), 100);
        const uint64_t now = now_ns();
        for (int i = 0; i < n; ++i) {
            void *p = ready[size_t(i)].data.ptr;
            if (!p) {
                accept_clients(s);
            } else if (p == &s.tfd) {
                uint64_t ticks;
                (void)!read(s.tfd, &ticks, sizeof(ticks));
                for (size_t k = 0; k < s.clients.size();) {
                    client *c = s.clients[k].get();
                    if (c->streaming && !pump(s, c, now)) {
                        drop_client(s, c);  // the last client moved into slot k
                        continue;
                    }
                    ++k;
                }
            } else {
                auto *c = static_cast<client *>(p);
                if (c->fd >= 0) on_client(s, c, ready[size_t(i)].events, now);
            }
        }
        s.dropped.clear();
    }

    uint64_t pending = 0;
    for (const auto &c : s.clients) pending += c->len - c->pos;
    // Framing still pending is within one chunk's framing per client.
    const uint64_t bytes = s.written_bytes > s.framing_bytes ? s.written_bytes - s.framing_bytes : 0;
    FILE *out = out_path ? fopen(out_path, "we") : stdout;
    if (!out) out = stdout;
    fprintf(out, "clients=%u packets=%" PRIu64 " bytes=%" PRIu64 " pending=%" PRIu64 "\n", s.next_stream,
            bytes / TS_LEN, bytes, pending);
    if (out != stdout) fclose(out);
    for (auto &c : s.clients) close(c->fd);
    close(s.lfd);
    close(s.ep);
    if (s.tfd >= 0) close(s.tfd);
    return 0;
}
