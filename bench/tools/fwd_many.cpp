// fwd_many: the many-socket forwarder a benchmark compares relays of many
// tasks with.  N relays on one thread: relay i receives on the listen port
// + i and sends to the destination port + i from a socket of its own.  One
// level-triggered epoll set holds every receiving socket; per ready socket
// one recvmmsg of up to 64 datagrams and one sendmmsg of what it got.
// With --gso, runs of equal-sized datagrams go out as one segmented UDP
// send each (UDP_SEGMENT), which the kernel cuts back into the same
// datagrams.  Nothing is printed while it forwards; the counts come on
// stdout when it quits (SIGTERM, SIGINT).
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app.globals.h"
#include "benchkit.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

using namespace benchkit;

namespace {

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr,
            "Usage: %s --listen ADDR:PORT --dst ADDR:PORT [--ports N] [--gso]\n"
            "          [--rcvbuf BYTES] [--sndbuf BYTES] [--batch 1..64] [--cpu N]\n"
            "Runs N relays (default 1) on one thread: relay i forwards what it receives\n"
            "on the listen port + i to the destination port + i (a listen port of 0\n"
            "gives each relay a port of the system's choice), up to --batch (64) per\n"
            "recvmmsg and one sendmmsg per wake-up.  --gso sends runs of equal-sized\n"
            "datagrams as segmented sends.  Prints listen=ADDR:PORT for each relay once\n"
            "bound, and the counts when it quits.\n",
            argv0);
    exit(1);
}

// The most one segmented send carries: segments, and payload bytes.
constexpr size_t RUN_MAX = 64;
constexpr size_t RUN_MAX_BYTES = 65507;

struct relay {
    int in;
    int out;
    endpoint dst;
    bool gso_off;  // the route refused a segmented send: datagram by datagram
};

struct counts {
    uint64_t in = 0, out = 0, bytes = 0, send_errors = 0, wakeups = 0, recv_calls = 0;
    uint64_t send_calls = 0, runs = 0, gso_refused = 0;
};

// The headers of one batch: received into, sent from as they are, or sent
// as runs (one header per run, its iovecs the run's datagrams).
class batch_io {
public:
    explicit batch_io(unsigned n) : n_(n), store_(size_t(n) * MAX_DGRAM), iov_(n), rx_(n), tx_(n), ctl_(n)
    {
        for (unsigned i = 0; i < n; ++i) {
            iov_[i] = {store_.data() + size_t(i) * MAX_DGRAM, MAX_DGRAM};
            rx_[i].msg_hdr.msg_iov = &iov_[i];
            rx_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // One wake-up of relay r.
    void serve(relay &r, bool gso, counts &c)
    {
        for (unsigned i = 0; i < n_; ++i) iov_[i].iov_len = MAX_DGRAM;
        const int got = recvmmsg(r.in, rx_.data(), n_, MSG_DONTWAIT, nullptr);
        if (got <= 0) return;
        ++c.recv_calls;
        c.in += unsigned(got);
        for (int i = 0; i < got; ++i) iov_[i].iov_len = rx_[i].msg_len;
        if (gso && !r.gso_off && send_runs(r, size_t(got), c)) return;
        send_plain(r, 0, size_t(got), c);
    }

private:
    void count_sent(size_t from, size_t to, counts &c)
    {
        c.out += to - from;
        for (size_t i = from; i < to; ++i) c.bytes += iov_[i].iov_len;
    }

    // Datagrams [from, to) one message each; what the call leaves is
    // dropped and counted as failed.
    void send_plain(relay &r, size_t from, size_t to, counts &c)
    {
        if (from >= to) return;
        for (size_t i = from; i < to; ++i) {
            msghdr &h = tx_[i - from].msg_hdr;
            h = msghdr{};
            h.msg_name = &r.dst.ss;
            h.msg_namelen = r.dst.len;
            h.msg_iov = &iov_[i];
            h.msg_iovlen = 1;
        }
        ++c.send_calls;
        const int sent = sendmmsg(r.out, tx_.data(), unsigned(to - from), 0);
        const size_t ok = sent > 0 ? size_t(sent) : 0;
        count_sent(from, from + ok, c);
        c.send_errors += to - from - ok;
    }

    // Groups the got datagrams into runs (equal sizes; a run's last may be
    // shorter and closes it) and sends them with one call.  False when the
    // route refuses segmented sends: nothing went, the caller sends the
    // datagrams one by one, and so does this relay from now on.
    bool send_runs(relay &r, size_t got, counts &c)
    {
        size_t nrun = 0;
        std::vector<size_t> &first = first_;
        first.clear();
        for (size_t i = 0; i < got;) {
            const size_t seg = iov_[i].iov_len;
            const size_t cap = seg ? std::min(RUN_MAX, RUN_MAX_BYTES / seg) : 1;
            size_t j = i + 1;
            while (j < got && j - i < cap && iov_[j].iov_len > 0 && iov_[j].iov_len <= seg) {
                if (iov_[j++].iov_len < seg) break;
            }
            msghdr &h = tx_[nrun].msg_hdr;
            h = msghdr{};
            h.msg_name = &r.dst.ss;
            h.msg_namelen = r.dst.len;
            h.msg_iov = &iov_[i];
            h.msg_iovlen = j - i;
            if (j - i > 1) {
                h.msg_control = ctl_[nrun].buf;
                h.msg_controllen = sizeof(ctl_[nrun].buf);
                cmsghdr *cm = CMSG_FIRSTHDR(&h);
                cm->cmsg_level = SOL_UDP;
                cm->cmsg_type = UDP_SEGMENT;
                cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const auto size = uint16_t(seg);
                memcpy(CMSG_DATA(cm), &size, sizeof(size));
            }
            first.push_back(i);
            ++nrun;
            i = j;
        }
        first.push_back(got);
        ++c.send_calls;
        const int sent = sendmmsg(r.out, tx_.data(), unsigned(nrun), 0);
        if (sent < 0 && nrun < got && (errno == EINVAL || errno == EIO || errno == EMSGSIZE ||
                                        errno == ENOPROTOOPT || errno == EOPNOTSUPP)) {
            r.gso_off = true;
            ++c.gso_refused;
            return false;
        }
        const size_t ok = sent > 0 ? first[size_t(sent)] : 0;
        c.runs += sent > 0 ? size_t(sent) : 0;
        count_sent(0, ok, c);
        c.send_errors += got - ok;
        return true;
    }

    struct ctl_buf {
        alignas(cmsghdr) char buf[CMSG_SPACE(sizeof(uint16_t))];
    };
    unsigned n_;
    std::vector<uint8_t> store_;
    std::vector<iovec> iov_;
    std::vector<mmsghdr> rx_, tx_;
    std::vector<ctl_buf> ctl_;
    std::vector<size_t> first_;
};

}  // namespace

int main(int argc, char **argv)
{
    static const option opts[] = {
        {"listen", required_argument, nullptr, 'l'}, {"dst", required_argument, nullptr, 'd'},
        {"ports", required_argument, nullptr, 'n'},  {"gso", no_argument, nullptr, 'g'},
        {"rcvbuf", required_argument, nullptr, 'r'}, {"sndbuf", required_argument, nullptr, 's'},
        {"batch", required_argument, nullptr, 'b'},  {"cpu", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    const char *listen_text = nullptr, *dst_text = nullptr;
    long rcvbuf = 0, sndbuf = 0, cpu = -1, batch = BATCH, ports = 1;
    bool gso = false;
    for (int o; (o = getopt_long(argc, argv, "h", opts, nullptr)) != -1;) {
        bool ok = true;
        switch (o) {
        case 'l': listen_text = optarg; break;
        case 'd': dst_text = optarg; break;
        case 'n': ok = arg_long("--ports", optarg, 1, 60000, &ports); break;
        case 'g': gso = true; break;
        case 'r': ok = arg_long("--rcvbuf", optarg, 0, 1L << 30, &rcvbuf); break;
        case 's': ok = arg_long("--sndbuf", optarg, 0, 1L << 30, &sndbuf); break;
        case 'b': ok = arg_long("--batch", optarg, 1, BATCH, &batch); break;
        case 'c': ok = arg_long("--cpu", optarg, -1, 1023, &cpu); break;
        default: usage(argv[0]);
        }
        if (!ok) return 1;
    }
    if (!listen_text || !dst_text || optind != argc) usage(argv[0]);

    endpoint lep, dep;
    if (parse_endpoint(listen_text, &lep) != 0 || parse_endpoint(dst_text, &dep) != 0) return 1;
    const auto n = unsigned(ports);
    if (endpoint_port(dep) + n - 1 > 65535 || (endpoint_port(lep) && endpoint_port(lep) + n - 1 > 65535)) {
        fprintf(stderr, "the port range passes 65535\n");
        return 1;
    }
    if (pin_cpu(int(cpu)) != 0) return 1;
    catch_quit_signals();
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        fprintf(stderr, "epoll_create1: %s\n", strerror(errno));
        return 1;
    }
    std::vector<relay> relays(n);
    char text[80];
    for (unsigned i = 0; i < n; ++i) {
        endpoint l = endpoint_port(lep) ? endpoint_plus(lep, i) : lep;
        relay &r = relays[i];
        r = relay{-1, -1, endpoint_plus(dep, i), false};
        r.in = open_udp(&l, true, rcvbuf, 0, true);
        r.out = open_udp(&r.dst, false, 0, sndbuf, false);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = i;
        if (r.in < 0 || r.out < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, r.in, &ev) != 0) {
            fprintf(stderr, "set-up of relay %u failed: %s\n", i, strerror(errno));
            return 1;
        }
        printf("listen=%s\n", endpoint_str(l, text, sizeof(text)));
    }
    fflush(stdout);

    batch_io io{unsigned(batch)};
    counts c;
    std::vector<epoll_event> evs(std::min(n, 1024u));
    while (!g_quit) {
        const int got = epoll_wait(ep, evs.data(), int(evs.size()), 100);
        if (got <= 0) continue;
        ++c.wakeups;
        for (int k = 0; k < got && !g_quit; ++k) io.serve(relays[evs[size_t(k)].data.u32], gso, c);
    }
    const auto drops = proc_udp_drops_table();
    long total_drops = 0;
    for (const relay &r : relays) total_drops += std::max(0L, udp_drops_of(drops, r.in));
    printf("in=%" PRIu64 " out=%" PRIu64 " bytes=%" PRIu64 " send_errors=%" PRIu64 " wakeups=%" PRIu64
           " recv_calls=%" PRIu64 " send_calls=%" PRIu64 " runs=%" PRIu64 " gso_refused=%" PRIu64
           " drops=%ld\n",
           c.in, c.out, c.bytes, c.send_errors, c.wakeups, c.recv_calls, c.send_calls, c.runs, c.gso_refused,
           total_drops);
    for (const relay &r : relays) {
        close(r.in);
        close(r.out);
    }
    close(ep);
    return 0;
}
