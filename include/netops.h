#pragma once
// Opening sockets of six roles (TCP client and listener, UDP reader and
// writer, multicast reader and writer), the listener openers, and multicast
// membership (any-source and source-specific).  Callers include this
// header; it brings addresses and interfaces (netaddr.h) and socket options
// (sockopt.h).
//
// Descriptors returned belong to the caller.  Failures are logged at ERR by
// the function (its name first) or by the system-call wrapper, and errno
// keeps the cause.  Nothing here writes to a socket, so nothing here can
// raise SIGPIPE; senders use MSG_NOSIGNAL or ignore the signal.
#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <type_traits>

#include "netaddr.h"
#include "sockopt.h"

constexpr int LISTEN_BACKLOG = 4096;
// Source port appended to a source-specific source given without one; it
// plays no part in the join.
constexpr const char *SSM_DEFAULT_PORT = "111";
// Longest source text taken as given ("address:port"), and longest text
// with SSM_DEFAULT_PORT appended; longer sources are refused.
constexpr size_t SSM_SRC_TEXT_MAX = 79;
constexpr size_t SSM_SRC_PORTED_MAX = 78;
// Longest Unix-domain socket path (sun_path less its terminating zero).
constexpr size_t DOMAIN_PATH_MAX = 107;

// The role flags: the bit-fields of socket_spec's first word, as masks.
enum socket_role_bit : unsigned {
    SOCK_ROLE_WRITER = 0x01u,
    SOCK_ROLE_PASSIVE = 0x02u,
    SOCK_ROLE_MULTICAST = 0x04u,
    SOCK_ROLE_NON_BLOCKING = 0x08u,
    SOCK_ROLE_ASYNC_CONNECT = 0x10u,
    SOCK_ROLE_DEFER_LISTEN = 0x20u,
};

// What the caller asks of a socket (role flags, family, socktype) and what
// open_socket found (the rest).
struct socket_spec {
    unsigned writer : 1;         // sends: multicast or UDP writer
    unsigned passive : 1;        // a listener: AI_PASSIVE, bind, listen (TCP)
    unsigned multicast : 1;      // forced by the caller, or set for a multicast address
    unsigned non_blocking : 1;   // non-blocking before set-up
    unsigned async_connect : 1;  // set: a non-blocking TCP connect is in progress
    unsigned defer_listen : 1;   // a TCP listener is bound; listen is the caller's
    int family;                  // AF_UNSPEC, AF_INET or AF_INET6; set to the one used
    int socktype;                // SOCK_STREAM or SOCK_DGRAM
    sockaddr_storage addr_ss;    // the address opened on (a writer's destination)
    socklen_t addr_len;
    bool is_ssm;                 // a source-specific source was given
    sockaddr_storage src_ss;     // that source
    socklen_t src_len;
};

static_assert(std::is_trivially_copyable_v<socket_spec>);

// The module's process-wide options.
struct net_options {
    unsigned use_legacy_mcast_api : 1;  // per-family membership options when set
};

// --- opening ---------------------------------------------------------------------

// Opens a socket for addr (null: the any-address of sspec->family) and port
// (required for stream and datagram sockets: digits, 0..65535) in the role
// of sspec, which it completes; auth is a source-specific source ("addr" or
// "addr:port") for a datagram reader, or null; ifc_tag names the multicast
// interface (null/""/any/all: the system's).  Every resolved address is
// tried in turn.  The descriptor (*ifi gets the multicast interface record,
// null for unicast, when ifi is given; null after a failure), or -1 (errno
// E2BIG for an over-long source, EINVAL for refused text, ENODEV for a
// multicast socket whose interface tag names no interface of the family:
// it never falls back to the default interface).
int open_socket(const char *addr, const char *port, const char *auth, socket_spec *sspec,
                const char *ifc_tag, ifc_info **ifi) noexcept;

// Set-up steps of open_socket for one resolved address ai on sockfd; 0 or
// non-zero (the failure).  The client step binds a UDP reader alone (a
// second reader of the address fails with EADDRINUSE), leaves a UDP writer
// unbound, connects a TCP client (EINPROGRESS sets async_connect).
int setup_client(int sockfd, const addrinfo *ai, socket_spec *sspec) noexcept;
// Binds (with IPv4 accepted on "::"; a TCP listener with SO_REUSEADDR, a
// datagram one alone), and listens unless defer_listen (TCP).
int setup_listener(int sockfd, const addrinfo *ai, const socket_spec *sspec) noexcept;
// Selects the output interface of mifc (unless null or an any-name); 0 or
// non-zero.
int setup_mcast_writer(int sockfd, const addrinfo *airp, ifc_info *mifc) noexcept;
// Binds to the group airp, shared with other readers of the group, and
// joins it on mifc (source-specific when msrc is given); 0, the errno value
// of a failed bind, or the join's result.
int setup_mcast_reader(int sockfd, addrinfo *airp, ifc_info *mifc,
                       const sockaddr_storage *msrc) noexcept;

// Non-blocking TCP listener on ss with port (1..65535, stored into ss);
// listen(LISTEN_BACKLOG) unless defer_listen.  The descriptor or -1 (also
// when another socket listens on the address).
int open_listener(sockaddr_storage *ss, const char *port, int defer_listen) noexcept;
// Non-blocking UDP socket bound to ss, alone; a non-null port (1..65535)
// replaces the address's port.  The descriptor or -1 (also when another
// socket holds the address).
int open_udp_listener(sockaddr_storage *ss, const char *port) noexcept;
// Non-blocking TCP listener on the any-address of af ("0.0.0.0" for
// AF_UNSPEC; "::" accepts IPv4 too).  The descriptor or -1.
int open_anyaddr_listener(int af, const char *port, int defer_listen) noexcept;
// Non-blocking Unix-domain stream listener on path (a socket left there
// that nobody listens on is removed).  The descriptor, or -1 (errno E2BIG
// for a path over 107 characters, EADDRINUSE when a process listens on the
// path, EEXIST when it names a file that is not a socket).
int open_domain_listener(const char *path) noexcept;
// Unix-domain stream client, trying up to max_attempts times with
// pause_msec between tries while g_quit is clear.  The descriptor, or -1
// (errno E2BIG for a path over 107 characters).
int open_domain_client(const char *path, long max_attempts, long pause_msec) noexcept;

// --- multicast membership ----------------------------------------------------------------

// Per-family (on) or protocol-independent (off, the default) membership
// options for every later request.
void set_legacy_mcast_api(int on) noexcept;
// Any-source join/leave of group grs on the interface of mifc (null: the
// system's choice).  0, or -1 (ERR, errno kept) or an interface look-up's
// failure value.
int mcast_join(int sockfd, const sockaddr *grs, const ifc_info *mifc) noexcept;
int mcast_leave(int sockfd, const sockaddr *grs, const ifc_info *mifc) noexcept;
// Source-specific join/leave of source src and group grs.  0; -1 (ERR) for
// a refused request or a source of another family than the group (errno
// EINVAL); -22 (errno EINVAL) for the per-family IPv6 request.
int ssm_join(int sockfd, const sockaddr *src, const sockaddr *grs, const ifc_info *mifc) noexcept;
int ssm_leave(int sockfd, const sockaddr *src, const sockaddr *grs, const ifc_info *mifc) noexcept;

// The operations behind the four calls above: the interface is given by
// name, index and address (any may be absent).
int mcast_group_op(const char *caller, const char *ifc_name, unsigned ifc_idx,
                   const sockaddr *grp, const sockaddr *ifc, int join, int sock) noexcept;
int ssm_group_op(const char *caller, const char *ifc_name, unsigned ifc_idx, const sockaddr *grp,
                 const sockaddr *src, const sockaddr *ifc, int is_join, int sockfd) noexcept;
// Protocol-independent source request: 0, or -1 (errno set).
int ssm_generic_op(unsigned ifc_idx, const sockaddr *grp, const sockaddr *src, int is_join,
                   int sockfd) noexcept;
// Per-family source request (IPv4 only): 0, -1 (errno set), an interface
// look-up's failure value, or -22 for IPv6 (errno EINVAL).
int ssm_proto_op(const char *caller, const char *ifc_name, const sockaddr *grp,
                 const sockaddr *src, const sockaddr *ifc, int is_join, int sockfd) noexcept;

// Gives an IPv6 group address sa without a scope id the scope id of the
// interface address ifc_ss (looked up by ifc_name when ifc_ss is empty).
void sync_ipv6addr_scope_id(sockaddr *sa, const char *ifc_name, sockaddr_storage *ifc_ss) noexcept;
