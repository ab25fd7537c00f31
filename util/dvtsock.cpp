// The roles of dvt/dvs: making the sockets, the server loop and its
// exchanges with one peer at a time, and the client.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.globals.h"
#include "dvt.h"
#include "dvtxfer.h"
#include "log.h"
#include "neto.h"
#include "owners.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr int SERVER_BACKLOG = 256;
// Pause between connecting and closing under -x.
constexpr long DISCONNECT_NSEC = 2000000;

// The quit handler: only async-signal-safe calls, so the mark is formatted
// by hand and written with write(2).
void on_quit_signal(int signo)
{
    const int saved = errno;
    g_quit = 1;
    char text[24] = "SIG(";
    size_t len = 4;
    char digits[12];
    size_t nd = 0;
    unsigned v = unsigned(signo);
    do {
        digits[nd++] = char('0' + v % 10);
        v /= 10;
    } while (v && nd < sizeof(digits));
    while (nd) text[len++] = digits[--nd];
    text[len++] = ')';
    text[len++] = ' ';
    ssize_t rc = write(STDERR_FILENO, text, len);
    (void)rc;
    errno = saved;
}

bool no_fault_err(int err) noexcept { return err == EINTR || err == EPIPE || err == ECONNRESET; }

void report(const char *fn, const char *what, int err) noexcept
{
    fprintf(stderr, "%s: %s: %s (%d)\n", fn, what, strerror(err), err);
}

// The socket buffer sizes the system reports.
void print_bufsizes(int fd) noexcept
{
    static constexpr const char *fn = "print_bufsizes";
    log_info("%s: SEND socket buffer = %ld bytes\n", fn, long(Get_socket_sbuf(fd)));
    log_info("%s: RCV socket buffer = %ld bytes\n", fn, long(Get_socket_rbuf(fd)));
}

// -S and -R on a new socket; a failure skips the rest.
void set_new_sock_bufs(int fd) noexcept
{
    if (g_cfg.sendbuf_len && Set_socket_sbuf(fd, g_cfg.sendbuf_len) != 0) return;
    if (g_cfg.rcvbuf_len && Set_socket_rbuf(fd, g_cfg.rcvbuf_len) != 0) return;
    print_bufsizes(fd);
}

// -S and -R on the socket of an exchange.
void set_xchg_bufs(int fd) noexcept
{
    static constexpr const char *fn = "set_xchg_bufs";
    if (g_cfg.sendbuf_len && Set_socket_sbuf(fd, g_cfg.sendbuf_len) == 0)
        log_info("%s: SEND socket buffer set to %lu bytes\n", fn, (unsigned long)g_cfg.sendbuf_len);
    if (g_cfg.rcvbuf_len && Set_socket_rbuf(fd, g_cfg.rcvbuf_len) == 0)
        log_info("%s: RCV socket buffer set to %lu bytes\n", fn, (unsigned long)g_cfg.rcvbuf_len);
}

// -i as the receive and send time-out of the blocking HTTP exchange, so a
// silent peer cannot hold it for ever; seconds 0 clears them.
void set_xchg_timeouts(int fd, long seconds) noexcept
{
    timeval tv{};
    tv.tv_sec = seconds > 0 ? seconds : 0;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0)
        perror("setsockopt SO_RCVTIMEO/SO_SNDTIMEO");
}

int server_step(int fd, const addrinfo *ai) noexcept
{
    set_new_sock_bufs(fd);
    if (const int rc = Reuse_and_bind(fd, ai); rc != 0) return rc;
    if (ai->ai_socktype == SOCK_STREAM && listen(fd, SERVER_BACKLOG) != 0) {
        const int err = errno;
        report("mk_sock", "listen", err);
        return err;
    }
    return 0;
}

// The client step; *fd becomes -1 when the step closed it itself (-x).
int client_step(int *fd, addrinfo *ai) noexcept
{
    static constexpr const char *fn = "mk_sock";
    set_new_sock_bufs(*fd);
    const bool writer = g_cfg.mode & M_WRITER;
    if (g_cfg.addr_is_multicast) {
        fprintf(stderr, "%s: MULTICAST\n", fn);
        if (!writer) {
            if (Is_ipv6_mc_local(ai->ai_addr))
                Sync_ipv6addr_scope_id(ai->ai_addr, g_cfg.mc_ifc, &g_mif_ss);
            if (const int rc = Reuse_and_bind(*fd, ai); rc != 0) return rc;
        } else if (g_cfg.mc_ifc && g_mif_ss.ss_family == AF_INET) {
            const in_addr ia = reinterpret_cast<const sockaddr_in *>(&g_mif_ss)->sin_addr;
            const bool ok = setsockopt(*fd, IPPROTO_IP, IP_MULTICAST_IF, &ia, sizeof(ia)) == 0;
            fprintf(stderr, "Mulitcast interface %s set to %s\n", ok ? "has been" : "FAILED to ",
                    g_cfg.mc_ifc);
        }
    } else {
        fprintf(stderr, "%s: UNICAST\n", fn);
        if (!writer && ai->ai_socktype == SOCK_DGRAM)
            if (const int rc = Reuse_and_bind(*fd, ai); rc != 0) return rc;
    }
    if (ai->ai_socktype != SOCK_STREAM) return 0;
    if (connect(*fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        const int err = errno;
        report(fn, "connect", err);
        return err;
    }
    fprintf(stderr, "%s: CONNECT [%d]\n", fn, *fd);
    if (g_cfg.disconnect) {
        const timespec pause{0, DISCONNECT_NSEC};
        nanosleep(&pause, nullptr);
        close(*fd);
        *fd = -1;
        return ECONNRESET;
    }
    return 0;
}

void close_fd(int &fd) noexcept
{
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

int setup_signals() noexcept
{
    struct sigaction sa{};
    sa.sa_handler = on_quit_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking call ends with EINTR
    for (int sig : {SIGTERM, SIGQUIT, SIGINT}) {
        if (sigaction(sig, &sa, nullptr) != 0) {
            perror("sigaction (quit)");
            return -1;
        }
    }
    struct sigaction ign{};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    if (sigaction(SIGPIPE, &ign, nullptr) != 0) {
        perror("sigaction (PIPE)");
        return -1;
    }
    return 0;
}

int mk_sock(int is_server, int socktype, int family, const char *address, const char *port) noexcept
{
    static constexpr const char *fn = "mk_sock";
    fprintf(stderr, "%s: setting up %s %s [%s (%d)] socket for [%s:%s]\n", fn,
            socktype == SOCK_DGRAM ? "UDP" : "TCP", is_server ? "LISTENER" : "CLIENT",
            Af_name(family), family, address ? address : "all", port);

    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = socktype;
    if (is_server) hints.ai_flags = AI_PASSIVE;
    ai_list res;
    if (const int rc = getaddrinfo(address, port, &hints, &res.head); rc != 0) {
        fprintf(stderr, "%s: getaddrinfo, err=%d (%s)\n", fn, rc, gai_strerror(rc));
        return -1;
    }

    int fd = -1;
    for (addrinfo *ai = res.head; ai; ai = ai->ai_next) {
        fprintf(stderr, "af=%s (%d), proto = %d\n", Af_name(ai->ai_family), ai->ai_family,
                ai->ai_protocol);
        int s = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (s < 0) {
            report(fn, "socket", errno);
            continue;
        }
        g_cfg.addr_family = ai->ai_socktype;
        g_cfg.addr_is_multicast = Is_multicast(ai->ai_addr) == 1;
        const int step = is_server ? server_step(s, ai) : client_step(&s, ai);
        if (step != 0) {
            close_fd(s);
            continue;
        }
        if (Set_nblock(s, 1) != 0) {
            report(fn, "set_nblock", errno);
            close_fd(s);
            break;
        }
        if (g_cfg.addr_is_multicast && ai->ai_socktype != SOCK_DGRAM) {
            fprintf(stderr, "%s: UDP must be selected with multicast address [%s]\n", fn,
                    address ? address : "all");
            close_fd(s);
            break;
        }
        memcpy(&g_addr_ss, ai->ai_addr, ai->ai_addrlen);
        g_addr_len = ai->ai_addrlen;
        Dump_ai(stderr, ai);
        fd = s;
        break;
    }
    if (fd < 0) return -1;
    fprintf(stderr, "%s: %s socket fd=[%d]\n", fn, is_server ? "server" : "client", fd);
    return fd;
}

int mcast_join(int sock) noexcept
{
    return Mcast_group_op("mcast_join", g_cfg.mc_ifc, g_mif_idx,
                          reinterpret_cast<const sockaddr *>(&g_addr_ss), &g_mif_ss, 1, sock);
}

int mcast_leave(int sock) noexcept
{
    return Mcast_group_op("mcast_leave", g_cfg.mc_ifc, g_mif_idx,
                          reinterpret_cast<const sockaddr *>(&g_addr_ss), &g_mif_ss, 0, sock);
}

int tcp_session(int listener, long timeout, long size) noexcept
{
    static constexpr const char *fn = "tcp_session";
    sockaddr_storage peer{};
    socklen_t plen = sizeof(peer);
    int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &plen, SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        switch (err) {
        case EINTR:
            return 0;
        // The peer went away between readiness and accept, or readiness was
        // spurious: nothing to serve, so back to waiting (a retry at once
        // would spin while the condition lasts).
        case EAGAIN:
        case ENONET:
        case EPROTO:
        case ENOPROTOOPT:
        case ENETDOWN:
        case ENETUNREACH:
        case ECONNABORTED:
        case EHOSTDOWN:
        case EHOSTUNREACH:
            fprintf(stderr, "%s: errno=%d: %s\n", fn, err, strerror(err));
            return 0;
        default:
            report(fn, "accept", err);
            return err;
        }
    }
    Dump_sa_info(stdout, "connected from", reinterpret_cast<const sockaddr *>(&peer), plen);

    int rc = 0;
    if (is_http_mode()) {
        log_info("%s: expecting HTTP request:\n", fn);
        rc = Set_nblock(fd, 0);
        if (rc == 0) {
            if (timeout > 0) set_xchg_timeouts(fd, timeout);
            rc = inbound_http_request(fd);
            if (timeout > 0) set_xchg_timeouts(fd, 0);
        }
        if (rc != 0) {
            close(fd);
            fprintf(stderr, "%s is exiting with rc=%d, quit=%ld\n", fn, rc, long(g_quit));
            return rc;
        }
    }
    if (Set_nblock(fd, 1) != 0) rc = errno;
    if (rc == 0) {
        set_xchg_bufs(fd);
        rc = (g_cfg.mode & M_WRITER) ? sock_writer(fd, timeout, size)
                                     : sock_reader(&fd, timeout, size);
        print_bufsizes(fd);
    }
    close(fd);
    if (no_fault_err(rc)) rc = 0;
    fprintf(stderr, "%s is exiting with rc=%d, quit=%ld\n", fn, rc, long(g_quit));
    return rc;
}

int udp_session(int sock, long timeout, long size) noexcept
{
    static constexpr const char *fn = "udp_session";
    fprintf(stderr, "%s: mode=%ld, fd=%d, tmout=%ldsec msg_size=%ld\n", fn, long(g_cfg.mode), sock,
            timeout, size);
    int rc = 0;
    if (g_cfg.mode & M_WRITER) {
        // The datagram that woke the server names the peer to send to; it
        // carries nothing else.
        sockaddr_storage src{};
        socklen_t slen = sizeof(src);
        const ssize_t n = recvfrom(sock, nullptr, 0, MSG_DONTWAIT | MSG_TRUNC,
                                   reinterpret_cast<sockaddr *>(&src), &slen);
        if (n < 0) {
            const int err = errno;
            if (err != EAGAIN && err != EINTR) {
                report(fn, "recvfrom", err);
                rc = err;
            }
        } else {
            memcpy(&g_addr_ss, &src, slen);
            g_addr_len = slen;
            Dump_sa_info(stdout, "sending to", reinterpret_cast<const sockaddr *>(&src), slen);
            rc = sock_writer(sock, timeout, size);
        }
    } else {
        int fd = sock;
        rc = sock_reader(&fd, timeout, size);
    }
    fprintf(stderr, "%s is exiting with rc=%d, quit=%lu\n", fn, rc, (unsigned long)g_quit);
    return rc;
}

int run_dvtsrv(const char *address, const char *port, long timeout, long size) noexcept
{
    static constexpr const char *fn = "run_dvtsrv";
    fprintf(stderr, "%s: SERVER mode=0x%lx, tmout=%ld sec\n", fn, (unsigned long)g_cfg.mode,
            timeout);
    if (setup_signals() != 0) return -1;

    const int st = (g_cfg.mode & M_UDP) ? SOCK_DGRAM : SOCK_STREAM;
    // In the order a ready listener is taken: single, IPv4, IPv6.
    std::array<int, 3> lsn{-1, -1, -1};
    bool ok;
    if (address) {
        lsn[0] = mk_sock(SERVER_SOCK, st, AF_UNSPEC, address, port);
        ok = lsn[0] >= 0;
    } else if (g_cfg.plus1_ipv6_port) {
        // The IPv6 listener's port: the port + 1, at most 5 digits.
        char *end = nullptr;
        const long p = strtol(port, &end, 10);
        char port1[24] = "";
        ok = end != port && *end == '\0' && p >= 0 && p < 99999;
        if (ok) snprintf(port1, sizeof(port1), "%ld", p + 1);
        if (ok) lsn[1] = mk_sock(SERVER_SOCK, st, AF_INET, nullptr, port);
        if (lsn[1] >= 0) lsn[2] = mk_sock(SERVER_SOCK, st, AF_INET6, nullptr, port1);
        ok = ok && lsn[1] >= 0 && lsn[2] >= 0;
    } else {
        lsn[0] = mk_sock(SERVER_SOCK, st, AF_INET6, nullptr, port);
        ok = lsn[0] >= 0;
    }
    if (ok && g_cfg.addr_is_multicast) {
        fprintf(stderr, "%s: multicast address is NOT applicable in server mode\n", fn);
        ok = false;
    }
    if (!ok) {
        for (int &fd : lsn) close_fd(fd);
        return -1;
    }

    int rc = 0;
    while (!g_quit) {
        fprintf(stderr, "%s: waiting for input ...\n", fn);
        std::array<pollfd, 3> pfd{};
        for (size_t i = 0; i < lsn.size(); ++i) pfd[i] = {lsn[i], POLLIN, 0};
        if (poll(pfd.data(), pfd.size(), -1) < 0) {
            if (errno == EINTR) continue;
            perror("select");
            break;
        }
        int ready = -1;
        for (const pollfd &p : pfd)
            if (p.fd >= 0 && p.revents) {
                ready = p.fd;
                break;
            }
        if (ready < 0) {
            fprintf(stderr, "%s: no suitable socket selected\n", fn);
            continue;
        }
        rc = st == SOCK_DGRAM ? udp_session(ready, timeout, size)
                              : tcp_session(ready, timeout, size);
    }
    for (int &fd : lsn) close_fd(fd);
    return rc;
}

int run_dvtli(const char *address, const char *port, long timeout, long size) noexcept
{
    static constexpr const char *fn = "run_dvtli";
    fprintf(stderr, "%s: CLIENT mode=0x%lx, tmout=%ld sec\n", fn, (unsigned long)g_cfg.mode,
            timeout);
    if (setup_signals() != 0) return -1;
    const int st = (g_cfg.mode & M_UDP) ? SOCK_DGRAM : SOCK_STREAM;
    int fd = mk_sock(CLIENT_SOCK, st, AF_UNSPEC, address, port);
    if (fd < 0) return -1;

    int rc = 0;
    if (is_http_mode()) {
        rc = Set_nblock(fd, 0);
        if (rc == 0) {
            if (timeout > 0) set_xchg_timeouts(fd, timeout);
            rc = fwd_http_request(fd, address, port, g_cfg.uri_path);
            if (rc == 0) rc = get_http_response(fd);
            if (timeout > 0) set_xchg_timeouts(fd, 0);
        }
        if (rc == 0) rc = Set_nblock(fd, 1);
        if (rc != 0) {
            close(fd);
            return rc;
        }
    }
    set_xchg_bufs(fd);

    if (g_cfg.mode & M_WRITER) {
        rc = sock_writer(fd, timeout, size);
    } else if (g_cfg.addr_is_multicast) {
        printf("multicast ifc: %s (%u)\n", g_cfg.mc_ifc ? g_cfg.mc_ifc : "any", g_mif_idx);
        Dump_sa_info(stdout, "multicast addr:", reinterpret_cast<const sockaddr *>(&g_addr_ss),
                     g_addr_len);
        rc = mcast_join(fd);
        if (rc == 0) {
            rc = sock_reader(&fd, timeout, size);
            (void)mcast_leave(fd);
        }
    } else {
        rc = sock_reader(&fd, timeout, size);
    }
    if (no_fault_err(rc)) rc = 0;
    print_bufsizes(fd);
    close(fd);
    return rc;
}
