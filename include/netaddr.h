#pragma once
// Socket addresses and network interfaces: text forms of addresses, family
// names, "address:port" resolution, interface look-up by name or address,
// and small address tests.
//
// Free functions without state.  A null argument where one is required, a
// length that cannot hold an address, or two addresses of different
// families given to saddr_equal is a broken invariant (lfx_assert); text
// from configuration or the network is refused with an ERR line instead.
// Include netops.h, which includes this header.
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

// Room of an interface name, terminating zero included (IFNAMSIZ).
constexpr size_t IFC_NAME_SIZE = 16;
// Longest "address:port" text mk_sockaddr resolves; longer text is refused.
constexpr size_t MK_SADDR_TEXT_MAX = 127;
// Rooms of the numeric host and service texts of saddr_str.
constexpr size_t SADDR_HOST_SIZE = 1025;
constexpr size_t SADDR_SERV_SIZE = 32;

// One network interface.  Made zero-filled on the heap by get_ifc_info or
// any_ifc_info; the receiver owns it and releases it with free().
struct ifc_info {
    uint32_t idx;               // interface index; 0 means any interface
    char name[IFC_NAME_SIZE];   // at most 15 characters; empty for any
    sockaddr_storage ss;        // one address of the interface, or the any-address
};

static_assert(std::is_trivially_copyable_v<ifc_info>);
static_assert(sizeof(sockaddr_storage) == 128);

// --- families ------------------------------------------------------------------

// "UNSPEC" (0), "IPv4", "IPv6", or "#??#" for any other family.
const char *af_name(int af) noexcept;
// Family of a configuration word (any case): inet4/inet/ipv4/af_inet/pf_inet
// give AF_INET, inet6/ipv6/af_inet6/pf_inet6 AF_INET6, ""/any/unspec/anyaddr/
// all (and null) AF_UNSPEC; another word logs ERR and gives -1.
int name2af(const char *name) noexcept;
// "0.0.0.0" for AF_INET, "::" for AF_INET6, "#error#" otherwise.
const char *anyaddr_str(int af) noexcept;
// IPPROTO_IP for AF_INET, IPPROTO_IPV6 for AF_INET6, -1 otherwise.
int af_level(int af) noexcept;
// True for a null or empty text, "any" or "all" (any case).
bool is_anyaddr(const char *addr_str) noexcept;

// --- text tests ------------------------------------------------------------------

// True when str is not empty and a base-10 strtol consumes all of it
// (leading blanks and a sign accepted).
bool is_decimal(const char *str) noexcept;
// True when str ends in a port: a ':' followed to its end by one or more
// digits, after "]" for a text in brackets; a text with more than one ':'
// outside brackets is a bare IPv6 address and has none.
bool ends_with_port(const char *addr) noexcept;

// --- address tests -----------------------------------------------------------------

// 1 for 224.0.0.0/4 or ff00::/8, 0 for another IPv4/IPv6 address; another
// family logs ERR and gives -1.
int is_multicast(const sockaddr *sa) noexcept;
// 1 for 0.0.0.0 or ::, 0 for another IPv4/IPv6 address; another family
// logs ERR and gives -1.
int is_unspecified(const sockaddr *sa) noexcept;
// True only for an IPv6 multicast address of interface-local (1) or
// link-local (2) scope.
bool is_ipv6_mc_local(const sockaddr *sa) noexcept;
// True when the address bytes are equal (ports, flow label and scope are
// not compared).  Different families, or a family other than IPv4/IPv6,
// assert.
bool saddr_equal(const sockaddr *a, const sockaddr *b) noexcept;
// 16 for AF_INET, 28 for AF_INET6; otherwise ERR and (socklen_t)-1.
socklen_t saddr_len(const sockaddr *sa) noexcept;
// The same as saddr_len, reporting under its own name.
socklen_t saddr_size(const sockaddr *sa) noexcept;

// --- copies --------------------------------------------------------------------------

// Copies saddr_len(src) bytes to dst, whose room len must hold them (assert).
void cpy_sockaddr(const sockaddr *src, sockaddr *dst, socklen_t len) noexcept;
// Sets the family of ss and its address to 0.0.0.0 or ::, leaving the port
// and the other bytes; another family aborts the process.
void cpy_anyaddr(int family, sockaddr_storage *ss) noexcept;

// --- text forms ----------------------------------------------------------------------

// Numeric text of an address into buf (at most len - 1 characters, always
// terminated): "host:port" for IPv4, "[host]:port" for IPv6, "DOMAIN path:"
// for a local socket.  buf, or null for another family (no message) or a
// getnameinfo failure (ERR).
char *saddr_str(const sockaddr *sa, socklen_t salen, char *buf, size_t len) noexcept;
// saddr_str of the socket's peer; null after a failed getpeername (ERR,
// errno kept).
char *get_peer_ipaddr(int sockfd, char *buf, size_t buflen) noexcept;
// Debugging prints of one address-info entry and of an address to a stream.
void dump_ai(FILE *out, const addrinfo *ai) noexcept;
void dump_sa_info(FILE *fp, const char *msg, const sockaddr *sa, socklen_t addrlen) noexcept;

// --- resolution ------------------------------------------------------------------------

// Resolves "address:port" (split at the last ':'; "[address]:port" for
// IPv6, the brackets not part of the address) for a socket
// of stype (SOCK_STREAM or SOCK_DGRAM, assert) and proto into *ss/*slen,
// taking the first result whose family the host can open.  0; 22 (EINVAL)
// for text refused (no ':', a plain-number or too short address part, a
// port that is not a decimal number in 0..65535); 7 (E2BIG, errno E2BIG)
// for a text over 127 characters; -1 when the name cannot be resolved.
int mk_sockaddr(const char *addr_port, int stype, int proto, sockaddr_storage *ss,
                socklen_t *slen) noexcept;

// --- datagram reach ------------------------------------------------------------------

// True when sa (IPv4-mapped IPv6 taken as IPv4) is an address of this
// host: the wildcard, a loopback address, or one a socket can be bound to
// (a probe bind on port 0, not logged).  False for multicast and other
// families.
bool saddr_is_local(const sockaddr *sa) noexcept;
// True when a datagram sent to `to` is received by a UDP socket bound to
// `bound`: equal ports and equal addresses (IPv4-mapped IPv6 taken as
// IPv4), or a wildcard `bound` and a local `to` (an IPv6 wildcard also for
// IPv4), or the wildcard `to` and a loopback `bound`.
bool saddr_reaches(const sockaddr *to, const sockaddr *bound) noexcept;
// saddr_reaches for any pair of the addresses of the datagram endpoints
// to_host:to_port and bound_host:bound_port (an empty host is 0.0.0.0;
// hosts and ports numeric: no resolver is asked).  False when either is
// not numeric (a name) or not an address (nothing logged).
bool hostport_reaches(const char *to_host, const char *to_port, const char *bound_host,
                      const char *bound_port) noexcept;

// --- interfaces ------------------------------------------------------------------------

// Index of the interface named ifc, or of the interface that holds the
// numeric address ifc (also stored in *ss unless ss is null); 0 when none.
unsigned ifaddr_index(const char *ifc, sockaddr_storage *ss) noexcept;
// Copies the first address of family on the interface named ifc into sa
// (room len).  0; the errno value when the interface list cannot be read;
// E2BIG for a name over 15 characters; -1 when there is no such address.
int ifc_addr_lookup(int family, const char *ifc, sockaddr *sa, socklen_t len) noexcept;
// A new record of the interface named by tag (a name or one of its
// addresses) with an address of af (or the address given); null on failure.
ifc_info *get_ifc_info(int af, const char *tag) noexcept;
// A new record meaning any interface: index 0, empty name, the any-address
// of af (AF_INET/AF_INET6; another af leaves ss zeroed); null without memory.
ifc_info *any_ifc_info(int af) noexcept;
