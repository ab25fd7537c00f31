// udp_sink: receiver of the relay benchmark.  Counts the datagrams and
// bytes arriving on one or more UDP ports, checks the stamps of the
// generator (or of the TS server's transport packets) for gaps,
// reordering and duplicates, and reads its sockets' drops.  Prints one line
// of totals when it quits (SIGTERM, SIGINT, --duration or --idle-exit).
#include <getopt.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app.globals.h"
#include "benchkit.h"
#include "seqtrack.h"

using namespace benchkit;

namespace {

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr,
            "Usage: %s --listen ADDR:PORT [--ports N] [--streams N] [--unit 0|188]\n"
            "          [--window N] [--rcvbuf BYTES] [--duration SEC] [--idle-exit MS]\n"
            "          [--out FILE] [--cpu N]\n"
            "Receives on --ports consecutive ports (default 1) and counts per stamped\n"
            "stream (streams 0..N-1, default --ports).  --unit 0: each datagram is one\n"
            "unit stamped at its start; --unit 188: each 188-byte transport packet in a\n"
            "datagram is a unit stamped after its header.  Prints listen=ADDR:PORT once\n"
            "bound, and its totals (to --out when given) when it quits.\n",
            argv0);
    exit(1);
}

// SO_RXQ_OVFL hands the socket's drop counter with every datagram.
constexpr size_t CTRL_LEN = CMSG_SPACE(sizeof(uint32_t));

struct sink_stats {
    uint64_t datagrams = 0, bytes = 0, truncated = 0;
    uint64_t first_ns = 0, last_ns = 0;
};

void count_units(seq_tracker &trk, const uint8_t *p, size_t len, long unit)
{
    uint32_t stream;
    uint64_t seq;
    if (unit == 0) {
        if (get_stamp(p, len, &stream, &seq)) trk.note(stream, seq);
        else trk.note_foreign();
        return;
    }
    for (size_t off = 0; off < len; off += TS_LEN) {
        const size_t left = len - off;
        if (left >= TS_LEN && p[off] == TS_SYNC &&
            get_stamp(p + off + TS_HEAD_LEN, TS_LEN - TS_HEAD_LEN, &stream, &seq))
            trk.note(stream, seq);
        else
            trk.note_foreign();
    }
}

// Receives in batches of BATCH and counts.
class receiver {
public:
    receiver(seq_tracker &trk, long unit) : trk_(trk), unit_(unit), store_(size_t(BATCH) * MAX_DGRAM),
                                             ctrl_(BATCH * CTRL_LEN)
    {
        for (unsigned i = 0; i < BATCH; ++i) iov_[i] = {store_.data() + size_t(i) * MAX_DGRAM, MAX_DGRAM};
    }

    // Reads the socket until its queue is empty; *ovfl gets the socket's
    // drop counter as last reported.
    void drain(int fd, uint32_t *ovfl)
    {
        for (;;) {
            for (unsigned i = 0; i < BATCH; ++i) {
                msgs_[i].msg_hdr = msghdr{};
                msgs_[i].msg_hdr.msg_iov = &iov_[i];
                msgs_[i].msg_hdr.msg_iovlen = 1;
                msgs_[i].msg_hdr.msg_control = ctrl_.data() + i * CTRL_LEN;
                msgs_[i].msg_hdr.msg_controllen = CTRL_LEN;
            }
            const int got = recvmmsg(fd, msgs_, BATCH, MSG_DONTWAIT, nullptr);
            if (got <= 0) return;
            const uint64_t t = now_ns();
            if (!st.first_ns) st.first_ns = t;
            st.last_ns = t;
            for (int i = 0; i < got; ++i) {
                msghdr &h = msgs_[i].msg_hdr;
                ++st.datagrams;
                st.bytes += msgs_[i].msg_len;
                if (h.msg_flags & MSG_TRUNC) ++st.truncated;
                count_units(trk_, static_cast<const uint8_t *>(iov_[i].iov_base), msgs_[i].msg_len, unit_);
                for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c))
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                        memcpy(ovfl, CMSG_DATA(c), sizeof(uint32_t));
            }
            if (got < int(BATCH)) return;
        }
    }

    sink_stats st;

private:
    seq_tracker &trk_;
    long unit_;
    std::vector<uint8_t> store_;
    std::vector<uint8_t> ctrl_;
    iovec iov_[BATCH];
    mmsghdr msgs_[BATCH];
};

}  // namespace

int main(int argc, char **argv)
{
    static const option opts[] = {
        {"listen", required_argument, nullptr, 'l'},   {"ports", required_argument, nullptr, 'p'},
        {"streams", required_argument, nullptr, 'm'},  {"unit", required_argument, nullptr, 'u'},
        {"window", required_argument, nullptr, 'w'},   {"rcvbuf", required_argument, nullptr, 'r'},
        {"duration", required_argument, nullptr, 't'}, {"idle-exit", required_argument, nullptr, 'i'},
        {"out", required_argument, nullptr, 'o'},      {"cpu", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0}};
    const char *listen_text = nullptr, *out_path = nullptr;
    long ports = 1, streams = 0, unit = 0, window = 65536, rcvbuf = 0, idle_ms = 0, cpu = -1;
    double duration = 0;
    for (int o; (o = getopt_long(argc, argv, "h", opts, nullptr)) != -1;) {
        bool ok = true;
        switch (o) {
        case 'l': listen_text = optarg; break;
        case 'p': ok = arg_long("--ports", optarg, 1, 10000, &ports); break;
        case 'm': ok = arg_long("--streams", optarg, 1, 1L << 20, &streams); break;
        case 'u': ok = arg_long("--unit", optarg, 0, long(TS_LEN), &unit); break;
        case 'w': ok = arg_long("--window", optarg, 64, 1L << 24, &window); break;
        case 'r': ok = arg_long("--rcvbuf", optarg, 0, 1L << 30, &rcvbuf); break;
        case 't': ok = arg_double("--duration", optarg, 0, 86400, &duration); break;
        case 'i': ok = arg_long("--idle-exit", optarg, 0, 86400000, &idle_ms); break;
        case 'o': out_path = optarg; break;
        case 'c': ok = arg_long("--cpu", optarg, -1, 1023, &cpu); break;
        default: usage(argv[0]);
        }
        if (!ok) return 1;
    }
    if (!listen_text || optind != argc || (unit != 0 && unit != long(TS_LEN))) usage(argv[0]);
    if (streams == 0) streams = ports;
    seq_tracker trk;
    if (trk.init(uint32_t(streams), uint32_t(window)) != 0) {
        fprintf(stderr, "--window must be a power of two\n");
        return 1;
    }
    endpoint lep;
    if (parse_endpoint(listen_text, &lep) != 0) return 1;
    if (ports > 1 && (endpoint_port(lep) == 0 || endpoint_port(lep) + unsigned(ports) - 1 > 65535)) {
        fprintf(stderr, "--ports needs a fixed first port and a range below 65536\n");
        return 1;
    }
    if (pin_cpu(int(cpu)) != 0) return 1;
    catch_quit_signals();

    const int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) return 1;
    std::vector<int> fds;
    std::vector<uint32_t> ovfl(size_t(ports), 0);
    endpoint first = lep;
    for (long i = 0; i < ports; ++i) {
        endpoint e = endpoint_plus(lep, unsigned(i));
        const int fd = open_udp(&e, true, rcvbuf, 0, true);
        if (fd < 0) return 1;
        if (i == 0) first = e;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof(on));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = uint64_t(i);
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) return 1;
        fds.push_back(fd);
    }
    char text[80];
    printf("listen=%s\n", endpoint_str(first, text, sizeof(text)));
    fflush(stdout);

    receiver rx(trk, unit);
    const uint64_t start = now_ns();
    const uint64_t stop = duration > 0 ? start + uint64_t(duration * 1e9) : UINT64_MAX;
    std::vector<epoll_event> ready(256);
    while (!g_quit) {
        const uint64_t now = now_ns();
        if (now >= stop) break;
        if (idle_ms > 0 && rx.st.last_ns && now - rx.st.last_ns >= uint64_t(idle_ms) * 1000000) break;
        const int nev = epoll_wait(ep, ready.data(), int(ready.size()), 50);
        for (int e = 0; e < nev; ++e) {
            const auto idx = size_t(ready[size_t(e)].data.u64);
            rx.drain(fds[idx], &ovfl[idx]);
        }
    }
    // What arrived before the end still counts.
    for (size_t i = 0; i < fds.size(); ++i) rx.drain(fds[i], &ovfl[i]);
    const sink_stats &st = rx.st;

    // The counter seen with the last datagram misses later drops; the
    // kernel's table has them all while the socket is open.
    uint64_t drops = 0;
    const auto table = proc_udp_drops_table();
    for (size_t i = 0; i < fds.size(); ++i) {
        const long d = udp_drops_of(table, fds[i]);
        drops += d > long(ovfl[i]) ? uint64_t(d) : ovfl[i];
        close(fds[i]);
    }
    close(ep);
    const seq_totals &t = trk.totals();
    FILE *out = out_path ? fopen(out_path, "we") : stdout;
    if (!out) {
        fprintf(stderr, "cannot write %s: %s\n", out_path, strerror(errno));
        out = stdout;
    }
    fprintf(out,
            "datagrams=%" PRIu64 " bytes=%" PRIu64 " units=%" PRIu64 " unique=%" PRIu64
            " lost=%" PRIu64 " gaps=%" PRIu64 " reordered=%" PRIu64 " duplicates=%" PRIu64
            " stale=%" PRIu64 " foreign=%" PRIu64 " truncated=%" PRIu64 " drops=%" PRIu64
            " streams=%" PRIu64 " span_ns=%" PRIu64 "\n",
            st.datagrams, st.bytes, t.units, t.unique, t.lost, t.gaps, t.reordered, t.duplicates,
            t.stale, t.foreign, st.truncated, drops, t.streams, st.last_ns - st.first_ns);
    if (out != stdout) fclose(out);
    return 0;
}
