#include "neto.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "owners.h"

net_options g_opt;

namespace {

const sockaddr_in *sin_of(const sockaddr *sa) noexcept
{
    return reinterpret_cast<const sockaddr_in *>(sa);
}

const sockaddr_in6 *sin6_of(const sockaddr *sa) noexcept
{
    return reinterpret_cast<const sockaddr_in6 *>(sa);
}

// Opens and closes a socket of the entry's kind: whether the host can use
// its family at all.
bool can_open(const addrinfo *ai) noexcept
{
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return false;
    close(fd);
    return true;
}

int set_sock_int(int fd, int option, size_t length) noexcept
{
    // The system takes an int: a larger value would arrive cut.
    if (length > size_t(INT_MAX)) {
        errno = EINVAL;
        perror("setsockopt SOL_SOCKET");
        return -1;
    }
    const int value = int(length);
    if (setsockopt(fd, SOL_SOCKET, option, &value, sizeof(value)) != 0) {
        perror("setsockopt SOL_SOCKET");
        return -1;
    }
    return 0;
}

int get_sock_int(int fd, int option) noexcept
{
    int value = 0;
    socklen_t len = sizeof(value);
    if (getsockopt(fd, SOL_SOCKET, option, &value, &len) != 0) {
        perror("getsockopt SOL_SOCKET");
        return -1;
    }
    return value;
}

// The IPv4 interface address of a per-family membership request: the one
// given, the named interface's first, or the any-address.  0 or the
// look-up's failure.
int ipv4_ifc_addr(const char *ifc_name, const sockaddr_storage *ifc, in_addr *out) noexcept
{
    if (ifc && ifc->ss_family == AF_INET) {
        *out = reinterpret_cast<const sockaddr_in *>(ifc)->sin_addr;
        return 0;
    }
    if (!ifc_name || !*ifc_name) {
        out->s_addr = htonl(INADDR_ANY);
        return 0;
    }
    sockaddr_storage ss{};
    const int rc = Ifc_addr_lookup(AF_INET, ifc_name, reinterpret_cast<sockaddr *>(&ss), sizeof(ss));
    if (rc != 0) return rc;
    *out = reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr;
    return 0;
}

}  // namespace

void Set_legacy_mcast_api(int on) noexcept { g_opt.use_legacy_mcast_api = on ? 1 : 0; }

void Dump_ai(FILE *out, const addrinfo *ai) noexcept
{
    fprintf(out, "PF_INET = %d, PF_INET6 = %d, SOCK_STREAM = %d, SOCK_DGRAM = %d\n", PF_INET,
            PF_INET6, SOCK_STREAM, SOCK_DGRAM);
    fprintf(out, "ai_flags    =\t0x%02x\n", unsigned(ai->ai_flags));
    fprintf(out, "ai_family   =\t%d\n", ai->ai_family);
    fprintf(out, "ai_socktype =\t%d\n", ai->ai_socktype);
    fprintf(out, "ai_protocol =\t%d\n", ai->ai_protocol);
    fprintf(out, "ai_addrlen  =\t%ld\n", long(ai->ai_addrlen));
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    const int rc = ai->ai_addr ? getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof(host), serv,
                                             sizeof(serv), NI_NUMERICHOST | NI_NUMERICSERV)
                               : EAI_FAMILY;
    if (rc == 0)
        fprintf(out, "ai_addr     =\t%s:%s\n", host, serv);
    else
        fprintf(out, "%s: getnameinfo error (%d): %s\n", "Dump_ai", rc, gai_strerror(rc));
    fprintf(out, "ai_canonname=\t%s\n", ai->ai_canonname ? ai->ai_canonname : "NULL");
}

void Dump_sa_info(FILE *fp, const char *msg, const sockaddr *sa, socklen_t addrlen) noexcept
{
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    const int rc = getnameinfo(sa, addrlen, host, sizeof(host), serv, sizeof(serv),
                               NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        fprintf(fp, "%s: getnameinfo error (%d): %s\n", "Dump_sa_info", rc, gai_strerror(rc));
        return;
    }
    fprintf(fp, "%s %s %s:%s\n", msg ? msg : "", Af_name(sa->sa_family), host, serv);
}

int Set_nblock(int fd, int nblock) noexcept
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        perror("fcntl F_GETFL");
        return -1;
    }
    const int want = nblock ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (fcntl(fd, F_SETFL, want) == -1) {
        perror("fcntl F_SETFL");
        return -1;
    }
    return 0;
}

void Set_ipv6only(int fd, int on) noexcept
{
    const int want = on ? 1 : 0;
    int cur = 0;
    socklen_t len = sizeof(cur);
    bool stays_on = false;
    if (getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &cur, &len) != 0) {
        perror("getsockopt IPV6_V6ONLY");
        stays_on = true;
    } else if ((cur != 0) == (want != 0)) {
        fprintf(stderr, "%s: IPV6_V6ONLY for fd=%d is already %s\n", "Set_ipv6only", fd,
                want ? "ON" : "OFF");
    } else if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &want, sizeof(want)) != 0) {
        perror("setsockopt IPV6_V6ONLY");
        stays_on = cur != 0;
    }
    if (!want && stays_on) fprintf(stderr, "WARNING: server will not accept IPv4 requests!\n");
}

socklen_t Saddr_size(const sockaddr *sa) noexcept
{
    switch (sa->sa_family) {
    case AF_INET:
        return sizeof(sockaddr_in);
    case AF_INET6:
        return sizeof(sockaddr_in6);
    default:
        fprintf(stderr, "%s: unrecognized socket family: %d\n", "Saddr_size", sa->sa_family);
        return socklen_t(-1);
    }
}

int Is_multicast(const sockaddr *sa) noexcept
{
    switch (sa->sa_family) {
    case AF_INET:
        return IN_MULTICAST(ntohl(sin_of(sa)->sin_addr.s_addr)) ? 1 : 0;
    case AF_INET6:
        return sin6_of(sa)->sin6_addr.s6_addr[0] == 0xff ? 1 : 0;
    default:
        fprintf(stderr, "%s: unrecognized family: %d\n", "Is_multicast", sa->sa_family);
        return -1;
    }
}

unsigned Ifaddr_index(const char *ifc, sockaddr_storage *ss) noexcept
{
    static constexpr const char *fn = "Ifaddr_index";
    if (const unsigned idx = if_nametoindex(ifc); idx != 0) return idx;

    sockaddr_storage local{};
    sockaddr_storage *dst = ss ? ss : &local;

    // Numeric addresses only: a mistyped interface name must not turn into
    // a name-service query that may hang for seconds.
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    ai_list res;
    if (const int rc = getaddrinfo(ifc, nullptr, &hints, &res.head); rc != 0) {
        fprintf(stderr, "%s: getaddrinfo, err=%d (%s)\n", fn, rc, gai_strerror(rc));
        return 0;
    }
    bool found = false;
    for (const addrinfo *ai = res.head; ai; ai = ai->ai_next) {
        fprintf(stderr, "af=%s (%d), proto = %d\n", Af_name(ai->ai_family), ai->ai_family,
                ai->ai_protocol);
        if (!can_open(ai) || ai->ai_addrlen > sizeof(*dst)) continue;
        memcpy(dst, ai->ai_addr, ai->ai_addrlen);
        found = true;
        break;
    }
    if (!found) return 0;

    ifa_list ifl;
    if (getifaddrs(&ifl.head) != 0) {
        fprintf(stderr, "%s: getifaddrs [%s] (family=%d): %s\n", fn, ifc, 0, strerror(errno));
        return 0;
    }
    const auto *want = reinterpret_cast<const sockaddr *>(dst);
    for (const ifaddrs *e = ifl.head; e; e = e->ifa_next) {
        if (!e->ifa_addr || e->ifa_addr->sa_family != want->sa_family) continue;
        if (!saddr_equal(e->ifa_addr, want)) continue;
        const unsigned idx = if_nametoindex(e->ifa_name);
        printf("%s: %s matched to interface [%s], idx=%u\n", fn, ifc, e->ifa_name, idx);
        return idx;
    }
    return 0;
}

int Ifc_addr_lookup(int family, const char *ifc, sockaddr *sa, socklen_t len) noexcept
{
    static constexpr const char *fn = "Ifc_addr_lookup";
    ifa_list ifl;
    if (getifaddrs(&ifl.head) != 0) {
        const int err = errno;
        fprintf(stderr, "%s: getifaddrs [%s] (family=%d): %s\n", fn, ifc, family, strerror(err));
        return err;
    }
    for (const ifaddrs *e = ifl.head; e; e = e->ifa_next) {
        if (!e->ifa_addr || e->ifa_addr->sa_family != family) continue;
        if (strncmp(e->ifa_name, ifc, IF_NAMESIZE) != 0) continue;
        const socklen_t need = Saddr_size(e->ifa_addr);
        if (need > len) continue;
        memcpy(sa, e->ifa_addr, need);
        return 0;
    }
    fprintf(stderr, "%s: failed to look up address for ifc=%s\n", fn, ifc);
    return -1;
}

int Set_mcast_ttl(int af, int fd, int ttl) noexcept
{
    const bool v4 = af == AF_INET;
    const int rc = v4 ? setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl))
                      : setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &ttl, sizeof(ttl));
    const int err = rc != 0 ? errno : 0;
    fprintf(stderr, "%s: %s mcast fd=%d, op=%s: %s\n", "Set_mcast_ttl", v4 ? "IP" : "IPv6", fd,
            v4 ? "MULTICAST_TTL" : "MULTICAST_HOPS", err ? strerror(err) : "OK");
    return err;
}

int Reuse_and_bind(int sock, const addrinfo *ai) noexcept
{
    static constexpr const char *fn = "Reuse_and_bind";
    const int on = 1;
    const char *step = nullptr;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0)
        step = "setsockopt SO_REUSEADDR";
    else if (setsockopt(sock, SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0)
        step = "setsockopt SO_REUSEPORT";
    else if (bind(sock, ai->ai_addr, ai->ai_addrlen) != 0)
        step = "bind";
    if (step) {
        const int err = errno;
        fprintf(stderr, "%s: %s: %s (%d)\n", fn, step, strerror(err), err);
        return err;
    }
    printf("%s: fd=%d\n", fn, sock);
    Dump_sa_info(stdout, fn, ai->ai_addr, ai->ai_addrlen);
    return 0;
}

int Set_ipv6_sock_ifc(int sock, unsigned index) noexcept
{
    static constexpr const char *fn = "Set_ipv6_sock_ifc";
    if (index == 0) {
        fprintf(stderr, "%s: network interface must be specified\n", fn);
        return -1;
    }
    const int value = int(index);
    if (setsockopt(sock, IPPROTO_IPV6, IPV6_MULTICAST_IF, &value, sizeof(value)) != 0) {
        const int err = errno;
        fprintf(stderr, "%s: setsockopt IPV6_MULTICAST_IF failed (%d): %s\n", fn, err,
                strerror(err));
        return err;
    }
    return 0;
}

int Mcast_group_op(const char *caller, const char *ifc_name, unsigned ifc_idx,
                   const sockaddr *grp, const sockaddr_storage *ifc, int join, int sock) noexcept
{
    const bool legacy = g_opt.use_legacy_mcast_api;
    const char *opname = join ? "MCAST_JOIN" : "MCAST_LEAVE";
    const int af = grp->sa_family;
    Dump_sa_info(stdout, opname, grp, af == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    fprintf(stderr, "%s: using %s mulitcast API\n", caller,
            legacy ? "protocol-specific" : "GENERIC");
    if (af != AF_INET && af != AF_INET6) {
        fprintf(stderr, "%s: unsupported family %d\n", caller, af);
        errno = EAFNOSUPPORT;
        return -1;
    }

    int rc;
    if (!legacy) {
        group_req gr{};
        gr.gr_interface = ifc_idx;
        memcpy(&gr.gr_group, grp, af == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        rc = setsockopt(sock, af_level(af), join ? MCAST_JOIN_GROUP : MCAST_LEAVE_GROUP, &gr,
                        sizeof(gr));
    } else if (af == AF_INET) {
        ip_mreq mr{};
        mr.imr_multiaddr = sin_of(grp)->sin_addr;
        if (const int lrc = ipv4_ifc_addr(ifc_name, ifc, &mr.imr_interface); lrc != 0) return lrc;
        rc = setsockopt(sock, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &mr,
                        sizeof(mr));
    } else {
        ipv6_mreq mr{};
        mr.ipv6mr_multiaddr = sin6_of(grp)->sin6_addr;
        mr.ipv6mr_interface = ifc_idx;
        rc = setsockopt(sock, IPPROTO_IPV6, join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP, &mr,
                        sizeof(mr));
    }
    if (rc != 0) {
        const int err = errno;
        fprintf(stderr, "%s: %s fd=%d: %s\n", caller, opname, sock, strerror(err));
        errno = err;
        return -1;
    }
    return 0;
}

void Sync_ipv6addr_scope_id(sockaddr *sa, const char *ifc_name, sockaddr_storage *ifc_ss) noexcept
{
    if (sa->sa_family != AF_INET6) return;
    auto *grp = reinterpret_cast<sockaddr_in6 *>(sa);
    if (grp->sin6_scope_id == 0) {
        if (ifc_ss->ss_family == AF_UNSPEC) {
            if (!ifc_name || !*ifc_name) {
                fprintf(stderr,
                        "%s: cannot set scope id, interface or link-specific address must be "
                        "selected\n",
                        "Sync_ipv6addr_scope_id");
                return;
            }
            (void)Ifc_addr_lookup(AF_INET6, ifc_name, reinterpret_cast<sockaddr *>(ifc_ss),
                                  sizeof(*ifc_ss));
        }
        if (ifc_ss->ss_family == AF_INET6) {
            const uint32_t scope = reinterpret_cast<const sockaddr_in6 *>(ifc_ss)->sin6_scope_id;
            if (scope != 0) {
                grp->sin6_scope_id = scope;
                fprintf(stderr, "updated IPv6 address scope ID to %ld\n", long(scope));
                return;
            }
        }
    }
    fprintf(stderr, "IPv6 address scope ID %ld left unchanged\n", long(grp->sin6_scope_id));
}

int Set_socket_sbuf(int fd, size_t length) noexcept { return set_sock_int(fd, SO_SNDBUF, length); }

int Set_socket_rbuf(int fd, size_t length) noexcept { return set_sock_int(fd, SO_RCVBUF, length); }

int Get_socket_sbuf(int fd) noexcept { return get_sock_int(fd, SO_SNDBUF); }

int Get_socket_rbuf(int fd) noexcept { return get_sock_int(fd, SO_RCVBUF); }
