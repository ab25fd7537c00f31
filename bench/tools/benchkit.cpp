#include "benchkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "app.globals.h"

namespace benchkit {

void put_stamp(uint8_t *p, uint32_t stream, uint64_t seq) noexcept
{
    const uint32_t magic = STAMP_MAGIC;
    memcpy(p, &magic, 4);
    memcpy(p + 4, &stream, 4);
    memcpy(p + 8, &seq, 8);
}

bool get_stamp(const uint8_t *p, size_t len, uint32_t *stream, uint64_t *seq) noexcept
{
    if (len < STAMP_LEN) return false;
    uint32_t magic;
    memcpy(&magic, p, 4);
    if (magic != STAMP_MAGIC) return false;
    memcpy(stream, p + 4, 4);
    memcpy(seq, p + 8, 8);
    return true;
}

void fill_ts_packet(uint8_t *pkt, uint32_t stream, uint64_t seq) noexcept
{
    pkt[0] = TS_SYNC;
    pkt[1] = uint8_t(TS_PID >> 8);
    pkt[2] = uint8_t(TS_PID & 0xff);
    pkt[3] = uint8_t(0x10 | (seq & 0x0f));  // payload only
    put_stamp(pkt + TS_HEAD_LEN, stream, seq);
    memset(pkt + TS_HEAD_LEN + STAMP_LEN, 0xff, TS_LEN - TS_HEAD_LEN - STAMP_LEN);
}

int parse_endpoint(const char *text, endpoint *ep) noexcept
{
    char host[128];
    const char *colon = strrchr(text, ':');
    if (!colon || colon == text || size_t(colon - text) >= sizeof(host)) {
        fprintf(stderr, "bad address [%s]: want address:port\n", text);
        return -1;
    }
    size_t hlen = size_t(colon - text);
    const char *h = text;
    if (h[0] == '[' && h[hlen - 1] == ']') ++h, hlen -= 2;
    memcpy(host, h, hlen);
    host[hlen] = '\0';
    long port;
    if (!arg_long("port", colon + 1, 0, 65535, &port)) return -1;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *res = nullptr;
    const int rc = getaddrinfo(host, nullptr, &hints, &res);
    if (rc != 0 || !res) {
        fprintf(stderr, "bad address [%s]: %s\n", text, gai_strerror(rc));
        return -1;
    }
    memset(ep, 0, sizeof(*ep));
    memcpy(&ep->ss, res->ai_addr, res->ai_addrlen);
    ep->len = res->ai_addrlen;
    freeaddrinfo(res);
    if (ep->ss.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&ep->ss)->sin_port = htons(uint16_t(port));
    else
        reinterpret_cast<sockaddr_in6 *>(&ep->ss)->sin6_port = htons(uint16_t(port));
    return 0;
}

unsigned endpoint_port(const endpoint &ep) noexcept
{
    if (ep.ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in *>(&ep.ss)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6 *>(&ep.ss)->sin6_port);
}

endpoint endpoint_plus(const endpoint &ep, unsigned add) noexcept
{
    endpoint out = ep;
    const auto port = uint16_t(endpoint_port(ep) + add);
    if (out.ss.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&out.ss)->sin_port = htons(port);
    else
        reinterpret_cast<sockaddr_in6 *>(&out.ss)->sin6_port = htons(port);
    return out;
}

const char *endpoint_str(const endpoint &ep, char *buf, size_t size) noexcept
{
    char host[INET6_ADDRSTRLEN] = "?";
    const void *a = ep.ss.ss_family == AF_INET
                        ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in *>(&ep.ss)->sin_addr)
                        : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 *>(&ep.ss)->sin6_addr);
    inet_ntop(ep.ss.ss_family, a, host, sizeof(host));
    snprintf(buf, size, ep.ss.ss_family == AF_INET6 ? "[%s]:%u" : "%s:%u", host, endpoint_port(ep));
    return buf;
}

namespace {

int set_one_buffer(int fd, int opt, int force_opt, long size) noexcept
{
    if (size <= 0) return 0;
    const int v = size > 0x3fffffff ? 0x3fffffff : int(size);
    // Root may go past the system's cap; others get what the cap allows.
    if (setsockopt(fd, SOL_SOCKET, force_opt, &v, sizeof(v)) == 0) return 0;
    if (setsockopt(fd, SOL_SOCKET, opt, &v, sizeof(v)) == 0) return 0;
    fprintf(stderr, "setsockopt(buffer %ld): %s\n", size, strerror(errno));
    return -1;
}

}  // namespace

int set_buffers(int fd, long rcvbuf, long sndbuf) noexcept
{
    if (set_one_buffer(fd, SO_RCVBUF, SO_RCVBUFFORCE, rcvbuf) != 0) return -1;
    return set_one_buffer(fd, SO_SNDBUF, SO_SNDBUFFORCE, sndbuf);
}

int open_udp(endpoint *ep, bool bind_it, long rcvbuf, long sndbuf, bool nonblock) noexcept
{
    const int fd = socket(ep->ss.ss_family, SOCK_DGRAM | SOCK_CLOEXEC | (nonblock ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) {
        fprintf(stderr, "socket: %s\n", strerror(errno));
        return -1;
    }
    if (set_buffers(fd, rcvbuf, sndbuf) != 0) {
        close(fd);
        return -1;
    }
    if (bind_it) {
        char text[80];
        if (bind(fd, reinterpret_cast<const sockaddr *>(&ep->ss), ep->len) != 0) {
            fprintf(stderr, "bind %s: %s\n", endpoint_str(*ep, text, sizeof(text)), strerror(errno));
            close(fd);
            return -1;
        }
        socklen_t len = sizeof(ep->ss);
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&ep->ss), &len) != 0) {
            fprintf(stderr, "getsockname: %s\n", strerror(errno));
            close(fd);
            return -1;
        }
        ep->len = len;
    }
    return fd;
}

int pin_cpu(int cpu) noexcept
{
    if (cpu < 0) return 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof(set), &set) != 0) {
        fprintf(stderr, "cannot pin to CPU %d: %s\n", cpu, strerror(errno));
        return -1;
    }
    return 0;
}

namespace {

void on_quit(int) { g_quit = 1; }

}  // namespace

void catch_quit_signals() noexcept
{
    struct sigaction sa {};
    sa.sa_handler = on_quit;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked receive returns EINTR
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

uint64_t now_ns() noexcept
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void sleep_until_ns(uint64_t t_ns) noexcept
{
    timespec ts;
    ts.tv_sec = time_t(t_ns / 1000000000ull);
    ts.tv_nsec = long(t_ns % 1000000000ull);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

bool arg_long(const char *opt, const char *text, long lo, long hi, long *out) noexcept
{
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "bad %s [%s]: want a number in %ld..%ld\n", opt, text, lo, hi);
        return false;
    }
    *out = v;
    return true;
}

bool arg_double(const char *opt, const char *text, double lo, double hi, double *out) noexcept
{
    char *end = nullptr;
    errno = 0;
    const double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(v >= lo && v <= hi)) {
        fprintf(stderr, "bad %s [%s]: want a number in %g..%g\n", opt, text, lo, hi);
        return false;
    }
    *out = v;
    return true;
}

std::unordered_map<uint64_t, long> proc_udp_drops_table()
{
    std::unordered_map<uint64_t, long> table;
    for (const char *path : {"/proc/net/udp", "/proc/net/udp6"}) {
        FILE *fp = fopen(path, "re");
        if (!fp) continue;
        char line[512];
        if (!fgets(line, sizeof(line), fp)) line[0] = '\0';  // the column heads
        while (fgets(line, sizeof(line), fp)) {
            // sl local rem st tx:rx tr:when retr uid timeout inode ref ptr drops
            char *save = nullptr;
            char *f[13];
            int n = 0;
            for (char *t = strtok_r(line, " \n", &save); t && n < 13;
                 t = strtok_r(nullptr, " \n", &save))
                f[n++] = t;
            if (n == 13) table[strtoull(f[9], nullptr, 10)] = strtol(f[12], nullptr, 10);
        }
        fclose(fp);
    }
    return table;
}

long udp_drops_of(const std::unordered_map<uint64_t, long> &table, int fd) noexcept
{
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    const auto it = table.find(uint64_t(st.st_ino));
    return it == table.end() ? -1 : it->second;
}

long proc_udp_drops(int fd) noexcept { return udp_drops_of(proc_udp_drops_table(), fd); }

}  // namespace benchkit
