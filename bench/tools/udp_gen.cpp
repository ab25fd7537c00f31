// udp_gen: test-traffic generator of the relay benchmark.  Sends
// sequence-stamped datagrams of one size to a destination (or round-robin
// to a range of destination ports, one stream each), flat out or paced at
// a rate, for a duration or a count, with sendmmsg.  Prints its totals on
// stdout at the end.
#include <getopt.h>
#include <sys/prctl.h>
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

using namespace benchkit;

namespace {

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr,
            "Usage: %s --dst ADDR:PORT [--size BYTES] [--rate PPS] [--duration SEC]\n"
            "          [--count N] [--streams N] [--stream-base N] [--batch 1..64]\n"
            "          [--sndbuf BYTES] [--cpu N]\n"
            "Sends datagrams of --size bytes (16..65507, default 1316), each starting\n"
            "with a stamp (stream, sequence), flat out (--rate 0, the default) or at\n"
            "--rate datagrams per second in all, until --duration seconds (default 1)\n"
            "have passed or --count datagrams are sent.  With --streams N the datagrams\n"
            "go round-robin to N ports from the destination's port on, stream numbers\n"
            "from --stream-base on.  Prints sent=, bytes=, elapsed_ns= at the end.\n",
            argv0);
    exit(1);
}

// Paced sending sleeps when the next datagram is due further ahead than
// this, and spins (on its own CPU) when it is due sooner.
constexpr uint64_t SPIN_NS = 100000;

}  // namespace

int main(int argc, char **argv)
{
    static const option opts[] = {
        {"dst", required_argument, nullptr, 'd'},        {"size", required_argument, nullptr, 'z'},
        {"rate", required_argument, nullptr, 'r'},       {"duration", required_argument, nullptr, 't'},
        {"count", required_argument, nullptr, 'n'},      {"streams", required_argument, nullptr, 'm'},
        {"stream-base", required_argument, nullptr, 'B'}, {"batch", required_argument, nullptr, 'b'},
        {"sndbuf", required_argument, nullptr, 's'},     {"cpu", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},             {nullptr, 0, nullptr, 0}};
    const char *dst_text = nullptr;
    long size = 1316, streams = 1, stream_base = 0, batch = BATCH, sndbuf = 0, cpu = -1, count = 0;
    double rate = 0, duration = 1;
    for (int o; (o = getopt_long(argc, argv, "h", opts, nullptr)) != -1;) {
        bool ok = true;
        switch (o) {
        case 'd': dst_text = optarg; break;
        case 'z': ok = arg_long("--size", optarg, long(STAMP_LEN), 65507, &size); break;
        case 'r': ok = arg_double("--rate", optarg, 0, 1e8, &rate); break;
        case 't': ok = arg_double("--duration", optarg, 0.001, 86400, &duration); break;
        case 'n': ok = arg_long("--count", optarg, 0, 1L << 50, &count); break;
        case 'm': ok = arg_long("--streams", optarg, 1, 60000, &streams); break;
        case 'B': ok = arg_long("--stream-base", optarg, 0, 1L << 30, &stream_base); break;
        case 'b': ok = arg_long("--batch", optarg, 1, BATCH, &batch); break;
        case 's': ok = arg_long("--sndbuf", optarg, 0, 1L << 30, &sndbuf); break;
        case 'c': ok = arg_long("--cpu", optarg, -1, 1023, &cpu); break;
        default: usage(argv[0]);
        }
        if (!ok) return 1;
    }
    if (!dst_text || optind != argc) usage(argv[0]);
    endpoint dst;
    if (parse_endpoint(dst_text, &dst) != 0) return 1;
    if (endpoint_port(dst) + unsigned(streams) - 1 > 65535) {
        fprintf(stderr, "the port range passes 65535\n");
        return 1;
    }
    if (pin_cpu(int(cpu)) != 0) return 1;
    catch_quit_signals();
    prctl(PR_SET_TIMERSLACK, 1UL);  // paced sleeps end on time
    const int fd = open_udp(&dst, false, 0, sndbuf, false);
    if (fd < 0) return 1;

    const auto n = unsigned(batch);
    const auto nstreams = unsigned(streams);
    std::vector<endpoint> dests(nstreams);
    for (unsigned i = 0; i < nstreams; ++i) dests[i] = endpoint_plus(dst, i);
    std::vector<uint64_t> seq(nstreams, 0);
    // The filler is a fixed pattern so that a receiver can compare bytes.
    std::vector<uint8_t> store(size_t(n) * size_t(size));
    for (size_t i = 0; i < store.size(); ++i) store[i] = uint8_t(i % size_t(size) * 7 + 1);
    std::vector<iovec> iov(n);
    std::vector<mmsghdr> msgs(n);
    for (unsigned i = 0; i < n; ++i) {
        iov[i] = {store.data() + size_t(i) * size_t(size), size_t(size)};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }

    const uint64_t start = now_ns();
    const uint64_t stop = start + uint64_t(duration * 1e9);
    const auto limit = uint64_t(count);
    uint64_t sent = 0, errors = 0;
    unsigned next_stream = 0;
    while (!g_quit) {
        const uint64_t now = now_ns();
        if (now >= stop || (limit && sent >= limit)) break;
        uint64_t want = n;
        if (rate > 0) {
            const auto due = uint64_t(double(now - start) * rate / 1e9) + 1;
            if (due <= sent) {
                const auto next_at = start + uint64_t(double(sent) * 1e9 / rate);
                if (next_at > now + SPIN_NS) sleep_until_ns(next_at < stop ? next_at : stop);
                continue;
            }
            want = due - sent < n ? due - sent : n;
        }
        if (limit && limit - sent < want) want = limit - sent;
        for (unsigned i = 0; i < want; ++i) {
            const unsigned s = next_stream;
            next_stream = next_stream + 1 == nstreams ? 0 : next_stream + 1;
            put_stamp(static_cast<uint8_t *>(iov[i].iov_base), uint32_t(stream_base) + s, seq[s]++);
            msgs[i].msg_hdr.msg_name = &dests[s].ss;
            msgs[i].msg_hdr.msg_namelen = dests[s].len;
        }
        for (unsigned done = 0; done < want;) {
            const int r = sendmmsg(fd, msgs.data() + done, unsigned(want - done), 0);
            if (r > 0) {
                done += unsigned(r);
                continue;
            }
            if (r < 0 && errno == EINTR && !g_quit) continue;
            // A refused datagram keeps its sequence number used: the
            // receiver sees it as lost, which it is.
            errors += want - done;
            break;
        }
        sent += want;
    }
    const uint64_t elapsed = now_ns() - start;
    printf("sent=%" PRIu64 " bytes=%" PRIu64 " errors=%" PRIu64 " elapsed_ns=%" PRIu64 " streams=%u\n",
           sent - errors, (sent - errors) * uint64_t(size), errors, elapsed, nstreams);
    close(fd);
    return 0;
}
