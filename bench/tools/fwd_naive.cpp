// fwd_naive: the plain UDP forwarder a benchmark compares relays with: one
// recv and one sendto per datagram, from a listen address to a destination.
// It blocks in recv by default, or waits in epoll with --epoll.  Nothing is
// printed while it forwards; the counts come on stdout when it quits
// (SIGTERM, SIGINT).
#include <getopt.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.globals.h"
#include "benchkit.h"

using namespace benchkit;

namespace {

struct counts {
    uint64_t in = 0, out = 0, bytes = 0, send_errors = 0;
};

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr,
            "Usage: %s --listen ADDR:PORT --dst ADDR:PORT [--rcvbuf BYTES] [--sndbuf BYTES]\n"
            "          [--epoll] [--cpu N]\n"
            "Forwards each datagram received on the listen address to the destination\n"
            "with one recv and one sendto.  Prints listen=ADDR:PORT once bound, and the\n"
            "counts when it quits.\n",
            argv0);
    exit(1);
}

void forward_one(int in, int out, const endpoint &dst, uint8_t *buf, counts *c)
{
    const ssize_t n = recv(in, buf, MAX_DGRAM, 0);
    if (n < 0) return;
    ++c->in;
    if (sendto(out, buf, size_t(n), 0, reinterpret_cast<const sockaddr *>(&dst.ss), dst.len) == n) {
        ++c->out;
        c->bytes += uint64_t(n);
    } else {
        ++c->send_errors;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    static const option opts[] = {
        {"listen", required_argument, nullptr, 'l'}, {"dst", required_argument, nullptr, 'd'},
        {"rcvbuf", required_argument, nullptr, 'r'}, {"sndbuf", required_argument, nullptr, 's'},
        {"epoll", no_argument, nullptr, 'e'},        {"cpu", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    const char *listen_text = nullptr, *dst_text = nullptr;
    long rcvbuf = 0, sndbuf = 0, cpu = -1;
    bool use_epoll = false;
    for (int o; (o = getopt_long(argc, argv, "h", opts, nullptr)) != -1;) {
        switch (o) {
        case 'l': listen_text = optarg; break;
        case 'd': dst_text = optarg; break;
        case 'r': if (!arg_long("--rcvbuf", optarg, 0, 1L << 30, &rcvbuf)) return 1; break;
        case 's': if (!arg_long("--sndbuf", optarg, 0, 1L << 30, &sndbuf)) return 1; break;
        case 'e': use_epoll = true; break;
        case 'c': if (!arg_long("--cpu", optarg, -1, 1023, &cpu)) return 1; break;
        default: usage(argv[0]);
        }
    }
    if (!listen_text || !dst_text || optind != argc) usage(argv[0]);

    endpoint lep, dst;
    if (parse_endpoint(listen_text, &lep) != 0 || parse_endpoint(dst_text, &dst) != 0) return 1;
    if (pin_cpu(int(cpu)) != 0) return 1;
    catch_quit_signals();
    const int in = open_udp(&lep, true, rcvbuf, 0, use_epoll);
    const int out = open_udp(&dst, false, 0, sndbuf, false);
    if (in < 0 || out < 0) return 1;
    // A blocked recv returns now and then so that a quit signal that came
    // just before it is not missed.
    const timeval tick = {0, 100000};
    setsockopt(in, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));

    static uint8_t buf[MAX_DGRAM];
    char text[80];
    printf("listen=%s\n", endpoint_str(lep, text, sizeof(text)));
    fflush(stdout);

    counts c;
    if (!use_epoll) {
        while (!g_quit) forward_one(in, out, dst, buf, &c);
    } else {
        const int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, in, &ev) != 0) {
            fprintf(stderr, "epoll: %s\n", strerror(errno));
            return 1;
        }
        while (!g_quit) {
            epoll_event got;
            if (epoll_wait(ep, &got, 1, 100) != 1) continue;
            // Until the queue is empty: recv fails with EAGAIN then.
            for (uint64_t before = ~c.in; before != c.in && !g_quit;) {
                before = c.in;
                forward_one(in, out, dst, buf, &c);
            }
        }
        close(ep);
    }
    printf("in=%" PRIu64 " out=%" PRIu64 " bytes=%" PRIu64 " send_errors=%" PRIu64 " drops=%ld\n",
           c.in, c.out, c.bytes, c.send_errors, proc_udp_drops(in));
    close(in);
    close(out);
    return 0;
}
