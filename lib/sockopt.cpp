#include "sockopt.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "owners.h"
#include "netaddr.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

// Buffer lengths go to the kernel as 64-bit values of which it reads the
// first int: the low half only on a little-endian host.
static_assert(std::endian::native == std::endian::little);

// Older C library headers lack the IPv6 option; its value is the Linux
// one (since 4.20).
#ifndef IPV6_MULTICAST_ALL
#define IPV6_MULTICAST_ALL 29
#endif

namespace {

}  // namespace

int get_socket_flags(int sockfd) noexcept
{
    int flags = fcntl(sockfd, F_GETFL, 0);
    if (flags == -1) {
        errno_guard keep;
        log_err("%s: fcntl(%d, F_GETFL, %d) ERROR(%d): %s\n", "get_socket_flags", sockfd, 0,
                keep.err, strerror(keep.err));
    }
    return flags;
}

int set_nblock(int sockfd, int nblock) noexcept
{
    static constexpr const char *fn = "set_nblock";
    const int flags = get_socket_flags(sockfd);
    if (flags == -1) return -1;
    const int want = nblock ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (want != flags && fcntl(sockfd, F_SETFL, want) == -1) {
        errno_guard keep;
        log_err("%s: fcntl(%d, F_SETFL, %d) ERROR(%d): %s\n", fn, sockfd, want, keep.err,
                strerror(keep.err));
        return -1;
    }
    log_dbg("%s: fd%d set as %sblocking\n", fn, sockfd, nblock ? "non-" : "");
    return 0;
}

int is_non_blocking(int sockfd) noexcept
{
    const int flags = get_socket_flags(sockfd);
    return flags == -1 ? -1 : (flags & O_NONBLOCK);
}

int set_socket_buflen(int sockfd, int option, uint64_t length) noexcept
{
    static constexpr const char *fn = "set_socket_buflen";
    // The kernel takes an int: a larger value would arrive cut.
    if (length > uint64_t(INT_MAX)) {
        log_err("%s: buffer length %llu for fd=%d is out of range (at most %d)\n", fn,
                (unsigned long long)length, sockfd, INT_MAX);
        errno = EINVAL;
        return -1;
    }
    const uint64_t value = length;
    return W_setsockopt(fn, sockfd, SOL_SOCKET, option, &value, sizeof(value));
}

int set_socket_sendbuf(int sockfd, uint64_t length) noexcept
{
    return set_socket_buflen(sockfd, SO_SNDBUF, length);
}

int set_socket_rcvbuf(int sockfd, uint64_t length) noexcept
{
    return set_socket_buflen(sockfd, SO_RCVBUF, length);
}

int set_socket_timeout(int sockfd, int optname, long ms) noexcept
{
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return W_setsockopt("set_socket_timeout", sockfd, SOL_SOCKET, optname, &tv, sizeof(tv));
}

int set_rcv_timeout(int sockfd, long ms) noexcept
{
    return set_socket_timeout(sockfd, SO_RCVTIMEO, ms);
}

int set_send_timeout(int sockfd, long ms) noexcept
{
    return set_socket_timeout(sockfd, SO_SNDTIMEO, ms);
}

int set_keepalive(int sockfd, int optval) noexcept
{
    static constexpr const char *fn = "set_keepalive";
    if (setsockopt(sockfd, SOL_SOCKET, SO_KEEPALIVE, &optval, sizeof(optval)) != 0) {
        errno_guard keep;
        log_err("%s: setsockopt(fd%d, SOL_SOCKET, SO_KEEPALIVE, %d,..) ERROR(%d): %s\n", fn,
                sockfd, optval, keep.err, strerror(keep.err));
        return -1;
    }
    log_dbg("%s: [%s] for fd%d\n", fn, optval ? "ON" : "OFF", sockfd);
    return 0;
}

int set_tcp_nodelay(int sockfd, int is_on) noexcept
{
    int rc = W_setsockopt("set_tcp_nodelay", sockfd, IPPROTO_TCP, TCP_NODELAY, &is_on,
                          sizeof(is_on));
    if (rc == 0) log_info("TCP_NODELAY turned %s for [fd=%d]\n", is_on ? "ON" : "OFF", sockfd);
    return rc;
}

int set_tcp_cork(int sockfd, int is_on) noexcept
{
    int rc = W_setsockopt("set_tcp_cork", sockfd, IPPROTO_TCP, TCP_CORK, &is_on, sizeof(is_on));
    if (rc == 0) log_info("TCP_CORK turned %s for [fd=%d]\n", is_on ? "ON" : "OFF", sockfd);
    return rc;
}

int set_mcast_ttl(int family, int fd, int ttl) noexcept
{
    static constexpr const char *fn = "set_mcast_ttl";
    lfx_assert(family == AF_INET || family == AF_INET6);
    const bool v4 = family == AF_INET;
    const char *proto = v4 ? "IP" : "IPv6";
    const char *op = v4 ? "MULTICAST_TTL" : "MULTICAST_HOPS";
    int rc = v4 ? setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl))
                : setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof(ttl));
    if (rc != 0) {
        errno_guard keep;
        log_err("%s: %s mcast fd=%d, op=%s(%d): %s\n", fn, proto, fd, op, ttl,
                strerror(keep.err));
        return keep.err;
    }
    log_info("%s: %s mcast fd=%d, op=%s(%d): OK\n", fn, proto, fd, op, ttl);
    return 0;
}

int set_ipv6_sock_ifc(int sock, unsigned index) noexcept
{
    static constexpr const char *fn = "set_ipv6_sock_ifc";
    if (index == 0) {
        log_err("%s: network interface must be specified\n", fn);
        return -1;
    }
    const int value = int(index);
    if (setsockopt(sock, IPPROTO_IPV6, IPV6_MULTICAST_IF, &value, sizeof(value)) != 0) {
        errno_guard keep;
        log_err("%s: setsockopt IPV6_MULTICAST_IF failed (%d): %s\n", fn, keep.err,
                strerror(keep.err));
        return keep.err;
    }
    return 0;
}

void set_ipv6only(int fd, int on) noexcept
{
    static constexpr const char *fn = "set_ipv6only";
    const int want = on ? 1 : 0;
    int cur = 0;
    socklen_t len = sizeof(cur);
    bool stays_on = false;
    if (getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &cur, &len) != 0) {
        errno_guard keep;
        log_stderr("%s: %s\n", "getsockopt IPV6_V6ONLY", strerror(errno));
        stays_on = true;
    } else if ((cur != 0) == (want != 0)) {
        log_info("%s: IPV6_V6ONLY for fd=%d is already %s\n", fn, fd, want ? "ON" : "OFF");
    } else if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &want, sizeof(want)) != 0) {
        errno_guard keep;
        log_err("%s: setsockopt IPV6_V6ONLY: %s\n", fn, strerror(keep.err));
        stays_on = cur != 0;
    }
    if (!want && stays_on) log_warn("%s: server will not accept IPv4 requests\n", fn);
}

int reuse_and_bind(int sock, const sockaddr *addr, socklen_t addrlen, bind_share share) noexcept
{
    static constexpr const char *fn = "reuse_and_bind";
    lfx_assert(addr);
    const int on = 1;
    if (share != BIND_EXCLUSIVE &&
        W_setsockopt(fn, sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        return errno;
    if (share == BIND_SHARED) (void)setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
    if (W_bind(fn, sock, addr, addrlen) != 0) return errno;

    if (LL_ON(DEBUG_level)) {
        char text[32];  // a glance in the log, not an address used
        const char *s = saddr_str(addr, addrlen, text, sizeof(text));
        log_dbg("%s: fd=%d %s OK\n", fn, sock, s ? s : "?");
        if (FILE *fp = log_fp(&g_log)) dump_sa_info(fp, fn, addr, addrlen);
    }
    return 0;
}

int socket_error(int sockfd) noexcept
{
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
        log_err("%s(fd%d) ERROR(%d): %s\n", "socket_error", sockfd, err, strerror(err));
        errno = err;
    }
    return err;
}


int set_mcast_all(int sockfd, int family, int on) noexcept
{
    static constexpr const char *fn = "set_mcast_all";
    const int v = on ? 1 : 0;
    if (family == AF_INET6 &&
        W_setsockopt(fn, sockfd, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &v, sizeof(v)) != 0)
        return -1;
    return W_setsockopt(fn, sockfd, IPPROTO_IP, IP_MULTICAST_ALL, &v, sizeof(v));
}

int attach_drop_filter(int sockfd) noexcept
{
    // One instruction: accept 0 bytes of the packet, that is drop it.
    static sock_filter drop_all[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    const sock_fprog prog{1, drop_all};
    return W_setsockopt("attach_drop_filter", sockfd, SOL_SOCKET, SO_ATTACH_FILTER, &prog,
                        sizeof(prog));
}

int detach_filter(int sockfd) noexcept
{
    const int unused = 0;
    return W_setsockopt("detach_filter", sockfd, SOL_SOCKET, SO_DETACH_FILTER, &unused,
                        sizeof(unused));
}

int socket_drops(int sockfd, uint32_t *drops) noexcept
{
    uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof(mem);
    if (getsockopt(sockfd, SOL_SOCKET, SO_MEMINFO, mem, &len) != 0) return -1;
    if (len < (SK_MEMINFO_DROPS + 1) * sizeof(uint32_t)) {
        errno = EINVAL;
        return -1;
    }
    *drops = mem[SK_MEMINFO_DROPS];
    return 0;
}
