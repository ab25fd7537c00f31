// fwd_batch: the batched UDP forwarder a benchmark compares relays with:
// epoll, then recvmmsg and sendmmsg of up to 64 datagrams per call, from a
// listen address to a destination, until the receive queue is empty.
// Nothing is printed while it forwards; the counts come on stdout when it
// quits (SIGTERM, SIGINT).
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

using namespace benchkit;

namespace {

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr,
            "Usage: %s --listen ADDR:PORT --dst ADDR:PORT [--rcvbuf BYTES] [--sndbuf BYTES]\n"
            "          [--batch 1..64] [--cpu N]\n"
            "Forwards the datagrams received on the listen address to the destination,\n"
            "up to --batch (64) per recvmmsg and sendmmsg.  Prints listen=ADDR:PORT once\n"
            "bound, and the counts when it quits.\n",
            argv0);
    exit(1);
}

}  // namespace

int main(int argc, char **argv)
{
    static const option opts[] = {
        {"listen", required_argument, nullptr, 'l'}, {"dst", required_argument, nullptr, 'd'},
        {"rcvbuf", required_argument, nullptr, 'r'}, {"sndbuf", required_argument, nullptr, 's'},
        {"batch", required_argument, nullptr, 'b'},  {"cpu", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    const char *listen_text = nullptr, *dst_text = nullptr;
    long rcvbuf = 0, sndbuf = 0, cpu = -1, batch = BATCH;
    for (int o; (o = getopt_long(argc, argv, "h", opts, nullptr)) != -1;) {
        switch (o) {
        case 'l': listen_text = optarg; break;
        case 'd': dst_text = optarg; break;
        case 'r': if (!arg_long("--rcvbuf", optarg, 0, 1L << 30, &rcvbuf)) return 1; break;
        case 's': if (!arg_long("--sndbuf", optarg, 0, 1L << 30, &sndbuf)) return 1; break;
        case 'b': if (!arg_long("--batch", optarg, 1, BATCH, &batch)) return 1; break;
        case 'c': if (!arg_long("--cpu", optarg, -1, 1023, &cpu)) return 1; break;
        default: usage(argv[0]);
        }
    }
    if (!listen_text || !dst_text || optind != argc) usage(argv[0]);

    endpoint lep, dst;
    if (parse_endpoint(listen_text, &lep) != 0 || parse_endpoint(dst_text, &dst) != 0) return 1;
    if (pin_cpu(int(cpu)) != 0) return 1;
    catch_quit_signals();
    const int in = open_udp(&lep, true, rcvbuf, 0, true);
    const int out = open_udp(&dst, false, 0, sndbuf, false);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (in < 0 || out < 0 || ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, in, &ev) != 0) {
        fprintf(stderr, "set-up failed: %s\n", strerror(errno));
        return 1;
    }

    // One buffer per slot, set up once: the receive headers are reused as
    // the send headers, with the datagram's length as the only change.
    const auto n = unsigned(batch);
    std::vector<uint8_t> store(size_t(n) * MAX_DGRAM);
    std::vector<iovec> rx_iov(n), tx_iov(n);
    std::vector<mmsghdr> rx(n), tx(n);
    for (unsigned i = 0; i < n; ++i) {
        rx_iov[i] = {store.data() + size_t(i) * MAX_DGRAM, MAX_DGRAM};
        tx_iov[i] = rx_iov[i];
        rx[i].msg_hdr.msg_iov = &rx_iov[i];
        rx[i].msg_hdr.msg_iovlen = 1;
        tx[i].msg_hdr.msg_iov = &tx_iov[i];
        tx[i].msg_hdr.msg_iovlen = 1;
        tx[i].msg_hdr.msg_name = &dst.ss;
        tx[i].msg_hdr.msg_namelen = dst.len;
    }

    char text[80];
    printf("listen=%s\n", endpoint_str(lep, text, sizeof(text)));
    fflush(stdout);

    uint64_t nin = 0, nout = 0, bytes = 0, send_errors = 0, wakeups = 0, calls = 0;
    while (!g_quit) {
        epoll_event got;
        if (epoll_wait(ep, &got, 1, 100) != 1) continue;
        ++wakeups;
        while (!g_quit) {
            const int got_n = recvmmsg(in, rx.data(), n, MSG_DONTWAIT, nullptr);
            if (got_n <= 0) break;  // EAGAIN: queue empty
            ++calls;
            nin += unsigned(got_n);
            for (int i = 0; i < got_n; ++i) tx_iov[i].iov_len = rx[i].msg_len;
            for (int sent = 0; sent < got_n;) {
                const int r = sendmmsg(out, tx.data() + sent, unsigned(got_n - sent), 0);
                if (r <= 0) {
                    if (r < 0 && errno == EINTR && !g_quit) continue;
                    // The rest of the batch is dropped, counted as failed.
                    send_errors += unsigned(got_n - sent);
                    break;
                }
                for (int i = sent; i < sent + r; ++i) bytes += tx_iov[i].iov_len;
                sent += r;
                nout += unsigned(r);
            }
        }
    }
    printf("in=%" PRIu64 " out=%" PRIu64 " bytes=%" PRIu64 " send_errors=%" PRIu64
           " wakeups=%" PRIu64 " recv_calls=%" PRIu64 " drops=%ld\n",
           nin, nout, bytes, send_errors, wakeups, calls, proc_udp_drops(in));
    close(ep);
    close(in);
    close(out);
    return 0;
}
