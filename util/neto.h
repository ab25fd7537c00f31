#pragma once
// The diagnostic utility's own socket operations: the library's socket and
// address functions under capitalised names, reporting to the console
// (stderr, or stdout for address dumps) with fprintf and perror instead of
// the log, and calling the system directly.
//
// The lower-case helpers the utility shares with the library (saddr_equal,
// saddr_len, cpy_sockaddr, cpy_anyaddr, af_level) are the library's own
// (netaddr.h); in this program the log they report to is stderr.
#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdio>

#include "netops.h"

// The utility's membership switch: clear at start, set by -k.
extern net_options g_opt;

// Per-family membership options (on) or the protocol-independent ones (off).
void Set_legacy_mcast_api(int on) noexcept;

// "UNSPEC", "IPv4", "IPv6" or "#??#".
inline const char *Af_name(int af) noexcept { return af_name(af); }
// "0.0.0.0", "::" or "#error#".
inline const char *Anyaddr_str(int af) noexcept { return anyaddr_str(af); }
// True only for an IPv6 multicast address of interface- or link-local scope.
inline bool Is_ipv6_mc_local(const sockaddr *sa) noexcept { return is_ipv6_mc_local(sa); }

// Prints an address-info entry, and "<msg> <family> <host>:<port>", to a
// stream; a getnameinfo failure prints its reason instead.
void Dump_ai(FILE *out, const addrinfo *ai) noexcept;
void Dump_sa_info(FILE *fp, const char *msg, const sockaddr *sa, socklen_t addrlen) noexcept;

// Sets (1) or clears (0) O_NONBLOCK.  0, or -1 (perror).
int Set_nblock(int fd, int nblock) noexcept;
// IPV6_V6ONLY on or off; failures and the dual-stack warning on stderr.
void Set_ipv6only(int fd, int on) noexcept;
// 16 for IPv4, 28 for IPv6; else a message and (socklen_t)-1.
socklen_t Saddr_size(const sockaddr *sa) noexcept;
// 1 for a multicast IPv4/IPv6 address, 0 for another; -1 (message) for
// another family.
int Is_multicast(const sockaddr *sa) noexcept;

// Index of the interface named ifc, or of the interface holding the numeric
// address ifc (then also stored in *ss when ss is given); 0 when none.
unsigned Ifaddr_index(const char *ifc, sockaddr_storage *ss) noexcept;
// The first address of family on interface ifc into sa (room len).  0; the
// errno value when the interface list cannot be read; -1 when none.
int Ifc_addr_lookup(int family, const char *ifc, sockaddr *sa, socklen_t len) noexcept;

// Multicast TTL (IPv4) or hops (IPv6); one line on stderr either way.  0 or
// the errno value.
int Set_mcast_ttl(int af, int fd, int ttl) noexcept;
// SO_REUSEADDR, SO_REUSEPORT (both must succeed) and bind to ai's address.
// 0, or the errno value of the failed step (reported on stderr).
int Reuse_and_bind(int sock, const addrinfo *ai) noexcept;
// IPv6 multicast output interface.  0; -1 for index 0; the errno value.
int Set_ipv6_sock_ifc(int sock, unsigned index) noexcept;
// Joins (join != 0) or leaves group grp on the interface given by name,
// index and address (any may be absent; ifc empty when its family is
// AF_UNSPEC).  0, the request's -1 (reported), or an interface look-up's
// failure value.
int Mcast_group_op(const char *caller, const char *ifc_name, unsigned ifc_idx,
                   const sockaddr *grp, const sockaddr_storage *ifc, int join, int sock) noexcept;
// Gives an IPv6 group address without a scope id the scope id of the
// interface address *ifc_ss (looked up by ifc_name when it is empty).
void Sync_ipv6addr_scope_id(sockaddr *sa, const char *ifc_name, sockaddr_storage *ifc_ss) noexcept;

// SO_SNDBUF / SO_RCVBUF of length bytes.  0, or -1 (perror; EINVAL for a
// length over INT_MAX).
int Set_socket_sbuf(int fd, size_t length) noexcept;
int Set_socket_rbuf(int fd, size_t length) noexcept;
// The sizes the system reports, or -1 (perror).
int Get_socket_sbuf(int fd) noexcept;
int Get_socket_rbuf(int fd) noexcept;
