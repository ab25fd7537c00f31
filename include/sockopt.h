#pragma once
// Socket options: blocking mode, buffer sizes, time-outs, keep-alive, TCP
// flags, multicast TTL and output interface, IPv6-only, reuse-and-bind, and
// the pending socket error.  Each takes the descriptor first; failures are
// logged at ERR by the function or by the system-call wrapper.  Include
// netops.h, which includes this header.
#include <sys/socket.h>

#include <cstdint>

// Sets (1) or clears (0) O_NONBLOCK; 0, or -1 when the flags cannot be read
// or set.
int set_nblock(int sockfd, int nblock) noexcept;
// The descriptor's status flags, or -1 (ERR).
int get_socket_flags(int sockfd) noexcept;
// Non-zero when O_NONBLOCK is set, 0 when clear, -1 when unreadable.
int is_non_blocking(int sockfd) noexcept;
// SO_SNDBUF/SO_RCVBUF (option) of length bytes (as a 64-bit value): 0, or
// -1 (logged; also for a length over INT_MAX, errno EINVAL).
int set_socket_buflen(int sockfd, int option, uint64_t length) noexcept;
int set_socket_sendbuf(int sockfd, uint64_t length) noexcept;
int set_socket_rcvbuf(int sockfd, uint64_t length) noexcept;
// SO_RCVTIMEO/SO_SNDTIMEO (optname) of ms milliseconds: 0, or -1 (logged).
int set_socket_timeout(int sockfd, int optname, long ms) noexcept;
int set_rcv_timeout(int sockfd, long ms) noexcept;
int set_send_timeout(int sockfd, long ms) noexcept;
// SO_KEEPALIVE: 0, or -1 (ERR).
int set_keepalive(int sockfd, int optval) noexcept;
// TCP_NODELAY/TCP_CORK: 0, or -1 (logged).
int set_tcp_nodelay(int sockfd, int is_on) noexcept;
int set_tcp_cork(int sockfd, int is_on) noexcept;
// Multicast TTL (IPv4) or hop limit (IPv6): 0 or the errno value; another
// family asserts.
int set_mcast_ttl(int family, int fd, int ttl) noexcept;
// IPv6 multicast output interface: 0; -1 for index 0; the errno value.
int set_ipv6_sock_ifc(int sock, unsigned index) noexcept;
// IPV6_V6ONLY on (1) or off (0); failures are logged, nothing returned.
void set_ipv6only(int fd, int on) noexcept;
// How a bound address is shared with other sockets.  A listener and a
// unicast datagram reader belong to one process: a second instance fails
// at its bind instead of taking half of the first one's traffic.
enum bind_share : int {
    // No reuse option: any second bind of the address fails (datagram
    // sockets, where SO_REUSEADDR alone lets two sockets share a port).
    BIND_EXCLUSIVE = 0,
    // SO_REUSEADDR: a TCP listener binds again past connections in
    // TIME_WAIT, while the kernel still refuses a second listener.
    BIND_REUSEADDR = 1,
    // SO_REUSEADDR and SO_REUSEPORT (best effort): multicast readers of
    // one group, which all get every datagram.
    BIND_SHARED = 2,
};
// Sets the options that share asks for, then binds: 0 or the errno value.
int reuse_and_bind(int sock, const sockaddr *addr, socklen_t addrlen, bind_share share) noexcept;
// Whether a datagram socket receives the multicast groups other sockets
// of the host joined on its port (on: the kernel's default) or only those
// it joined itself (off).  An IPv6 socket gets both the IPv6 option and
// the IPv4 one (it may receive IPv4 as well).  0, or -1 (logged).
int set_mcast_all(int sockfd, int family, int on) noexcept;
// Attaches a socket filter that drops every datagram before it is queued
// (what the queue holds already stays), or detaches the socket's filter:
// 0, or -1 (logged).
int attach_drop_filter(int sockfd) noexcept;
int detach_filter(int sockfd) noexcept;
// The count of datagrams the kernel dropped for the socket (full buffer,
// filter) into *drops: 0, or -1 (errno of the failed read; not logged).
int socket_drops(int sockfd, uint32_t *drops) noexcept;
// The pending socket error (also left in errno, ERR when non-zero), the
// errno value of a failed read, or 0.
int socket_error(int sockfd) noexcept;

