#include "netaddr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "log.h"
#include "owners.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr std::array<std::string_view, 5> k_inet_words = {"inet4", "inet", "ipv4", "af_inet",
                                                          "pf_inet"};
constexpr std::array<std::string_view, 4> k_inet6_words = {"inet6", "ipv6", "af_inet6",
                                                           "pf_inet6"};
constexpr std::array<std::string_view, 5> k_unspec_words = {"", "any", "unspec", "anyaddr",
                                                             "all"};

template <size_t N>
bool word_in(const char *word, const std::array<std::string_view, N> &words) noexcept
{
    const std::string_view w(word);
    for (std::string_view c : words)
        if (c.size() == w.size() && strncasecmp(c.data(), word, c.size()) == 0) return true;
    return false;
}

// Opens and closes a socket of the entry's kind: whether the host can use
// the family (an IPv6 result on a host without IPv6 fails here).
bool can_open(const char *caller, const addrinfo *ai) noexcept
{
    int fd = W_socket(caller, ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (fd < 0) return false;
    W_close(caller, fd);
    return true;
}

// The address of sa as IPv4 when it is an IPv4-mapped IPv6 address (a
// socket bound to one receives what is sent to the IPv4 address), else
// sa unchanged; port and the other fields are kept.
sockaddr_storage unmapped(const sockaddr *sa) noexcept
{
    sockaddr_storage out{};
    if (sa->sa_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
            auto *in = reinterpret_cast<sockaddr_in *>(&out);
            in->sin_family = AF_INET;
            in->sin_port = in6->sin6_port;
            memcpy(&in->sin_addr, in6->sin6_addr.s6_addr + 12, 4);
            return out;
        }
        memcpy(&out, sa, sizeof(sockaddr_in6));
    } else if (sa->sa_family == AF_INET) {
        memcpy(&out, sa, sizeof(sockaddr_in));
    }
    return out;
}

uint16_t port_of(const sockaddr *sa) noexcept
{
    if (sa->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in *>(sa)->sin_port);
    if (sa->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_port);
    return 0;
}

bool is_loopback(const sockaddr *sa) noexcept
{
    if (sa->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr) >> 24) == 127;
    if (sa->sa_family == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr);
    return false;
}

// Converts a numeric datagram host and port (an empty host is the IPv4
// wildcard, as a socket opened without an address is bound) without
// logging and without asking a resolver: a name gives false.
bool resolve_dgram(const char *host, const char *port, ai_list *res) noexcept
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    return getaddrinfo(host && *host ? host : "0.0.0.0", port, &hints, &res->head) == 0;
}

}  // namespace

// --- families ------------------------------------------------------------------

const char *af_name(int af) noexcept
{
    switch (af) {
    case AF_UNSPEC: return "UNSPEC";
    case AF_INET: return "IPv4";
    case AF_INET6: return "IPv6";
    default: return "#??#";
    }
}

int name2af(const char *name) noexcept
{
    if (!name) name = "";
    if (word_in(name, k_inet_words)) return AF_INET;
    if (word_in(name, k_inet6_words)) return AF_INET6;
    if (word_in(name, k_unspec_words)) return AF_UNSPEC;
    log_err("%s: unsupported address family [%s] in configuration.", "name2af", name);
    return -1;
}

const char *anyaddr_str(int af) noexcept
{
    switch (af) {
    case AF_INET: return "0.0.0.0";
    case AF_INET6: return "::";
    default: return "#error#";
    }
}

int af_level(int af) noexcept
{
    switch (af) {
    case AF_INET: return IPPROTO_IP;
    case AF_INET6: return IPPROTO_IPV6;
    default: return -1;
    }
}

bool is_anyaddr(const char *addr_str) noexcept
{
    return !addr_str || !*addr_str || strcasecmp(addr_str, "any") == 0 ||
           strcasecmp(addr_str, "all") == 0;
}

// --- text tests ------------------------------------------------------------------

bool is_decimal(const char *str) noexcept
{
    if (!str || !*str) return false;
    errno_guard keep;
    char *end = nullptr;
    (void)strtol(str, &end, 10);
    return end != str && *end == '\0';
}

bool ends_with_port(const char *addr) noexcept
{
    if (!addr) return false;
    const char *colon = strrchr(addr, ':');
    if (!colon || colon[1] == '\0') return false;
    // An IPv6 address takes a port only after its closing bracket; bare,
    // its last group is part of the address, digits or not.
    if (addr[0] == '[') {
        if (colon == addr || colon[-1] != ']') return false;
    } else if (strchr(addr, ':') != colon) {
        return false;
    }
    for (const char *p = colon + 1; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

// --- address tests -----------------------------------------------------------------

int is_multicast(const sockaddr *sa) noexcept
{
    lfx_assert(sa);
    switch (sa->sa_family) {
    case AF_INET: {
        const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        return (ntohl(in->sin_addr.s_addr) & 0xf0000000u) == 0xe0000000u;
    }
    case AF_INET6: {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        return in6->sin6_addr.s6_addr[0] == 0xff;
    }
    default:
        log_err("%s: unrecognized family: %d\n", "is_multicast", int(sa->sa_family));
        return -1;
    }
}

int is_unspecified(const sockaddr *sa) noexcept
{
    lfx_assert(sa);
    switch (sa->sa_family) {
    case AF_INET:
        return reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr == INADDR_ANY;
    case AF_INET6: {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
        for (uint8_t b : in6->sin6_addr.s6_addr)
            if (b) return 0;
        return 1;
    }
    default:
        log_err("%s: unrecognized family: %d\n", "is_unspecified", int(sa->sa_family));
        return -1;
    }
}

bool is_ipv6_mc_local(const sockaddr *sa) noexcept
{
    lfx_assert(sa);
    if (sa->sa_family != AF_INET6) return false;
    const uint8_t *a = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr.s6_addr;
    const unsigned scope = a[1] & 0x0f;
    return a[0] == 0xff && (scope == 1 || scope == 2);
}

bool saddr_equal(const sockaddr *a, const sockaddr *b) noexcept
{
    lfx_assert(a && b);
    lfx_assert(a->sa_family == b->sa_family);
    switch (a->sa_family) {
    case AF_INET:
        return memcmp(&reinterpret_cast<const sockaddr_in *>(a)->sin_addr,
                      &reinterpret_cast<const sockaddr_in *>(b)->sin_addr, 4) == 0;
    case AF_INET6:
        return memcmp(&reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr,
                      &reinterpret_cast<const sockaddr_in6 *>(b)->sin6_addr, 16) == 0;
    default:
        log_err("%s: unrecognized family: %d\n", "saddr_equal", int(a->sa_family));
        lfx_assert(!"saddr_equal: unrecognized family");
        return false;
    }
}

socklen_t saddr_len(const sockaddr *sa) noexcept
{
    lfx_assert(sa);
    switch (sa->sa_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default:
        log_err("%s: unrecognized socket family: %d\n", "saddr_len", int(sa->sa_family));
        return socklen_t(-1);
    }
}

socklen_t saddr_size(const sockaddr *sa) noexcept
{
    lfx_assert(sa);
    switch (sa->sa_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default:
        log_err("%s: unrecognized socket family: %d\n", "saddr_size", int(sa->sa_family));
        return socklen_t(-1);
    }
}

// --- copies --------------------------------------------------------------------------

void cpy_sockaddr(const sockaddr *src, sockaddr *dst, socklen_t len) noexcept
{
    lfx_assert(src && dst);
    const socklen_t n = saddr_len(src);
    lfx_assert(len >= n);
    memcpy(dst, src, n);
}

void cpy_anyaddr(int family, sockaddr_storage *ss) noexcept
{
    lfx_assert(ss);
    switch (family) {
    case AF_INET: {
        auto *in = reinterpret_cast<sockaddr_in *>(ss);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_ANY);
        break;
    }
    case AF_INET6: {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_any;
        break;
    }
    default:
        log_err("%s: unsupported family %d\n", "cpy_anyaddr", family);
        lfx_abort();
    }
}

// --- text forms ----------------------------------------------------------------------

char *saddr_str(const sockaddr *sa, socklen_t salen, char *buf, size_t len) noexcept
{
    lfx_assert(sa && buf && len > 0);
    const int af = sa->sa_family;
    if (af == AF_UNIX) {
        // A local address is shown by its path with an empty service.  The
        // path is taken directly: glibc would give "localhost" and the path
        // as service, and the path need not be terminated when it fills
        // sun_path.
        const auto *un = reinterpret_cast<const sockaddr_un *>(sa);
        const size_t off = offsetof(sockaddr_un, sun_path);
        size_t room = salen > off ? salen - off : 0;
        if (room > sizeof(un->sun_path)) room = sizeof(un->sun_path);
        const int n = int(strnlen(un->sun_path, room));
        snprintf(buf, len, "DOMAIN %.*s:%s", n, un->sun_path, "");
        return buf;
    }
    if (af != AF_INET && af != AF_INET6) return nullptr;
    lfx_assert(salen >= saddr_len(sa));

    char host[SADDR_HOST_SIZE] = "";
    char serv[SADDR_SERV_SIZE] = "";
    int rc = getnameinfo(sa, salen, host, sizeof(host), serv, sizeof(serv),
                         NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        log_err("%s: getnameinfo error (%d): %s\n", "saddr_str", rc, gai_strerror(rc));
        return nullptr;
    }
    snprintf(buf, len, af == AF_INET ? "%s:%s" : "[%s]:%s", host, serv);
    return buf;
}

char *get_peer_ipaddr(int sockfd, char *buf, size_t buflen) noexcept
{
    sockaddr_storage ss{};
    socklen_t sslen = sizeof(ss);
    if (getpeername(sockfd, reinterpret_cast<sockaddr *>(&ss), &sslen) != 0) {
        errno_guard keep;
        log_err("%s: getpeername(fd%d,...) ERROR(%d): %s\n", "get_peer_ipaddr", sockfd,
                keep.err, strerror(keep.err));
        return nullptr;
    }
    return saddr_str(reinterpret_cast<const sockaddr *>(&ss), sslen, buf, buflen);
}

void dump_ai(FILE *out, const addrinfo *ai) noexcept
{
    lfx_assert(out && ai);
    fprintf(out, "PF_INET = %d, PF_INET6 = %d, SOCK_STREAM = %d, SOCK_DGRAM = %d\n", PF_INET,
            PF_INET6, SOCK_STREAM, SOCK_DGRAM);
    fprintf(out, "ai_flags    =\t0x%02x\n", unsigned(ai->ai_flags));
    fprintf(out, "ai_family   =\t%d\n", ai->ai_family);
    fprintf(out, "ai_socktype =\t%d\n", ai->ai_socktype);
    fprintf(out, "ai_protocol =\t%d\n", ai->ai_protocol);
    fprintf(out, "ai_addrlen  =\t%ld\n", long(ai->ai_addrlen));

    char host[SADDR_HOST_SIZE] = "";
    char serv[SADDR_SERV_SIZE] = "";
    int rc = ai->ai_addr ? getnameinfo(ai->ai_addr, ai->ai_addrlen, host, sizeof(host), serv,
                                       sizeof(serv), NI_NUMERICHOST | NI_NUMERICSERV)
                         : EAI_FAMILY;
    if (rc == 0)
        fprintf(out, "ai_addr     =\t%s:%s\n", host, serv);
    else
        fprintf(out, "%s: getnameinfo error (%d): %s\n", "dump_ai", rc, gai_strerror(rc));
    fprintf(out, "ai_canonname=\t%s\n", ai->ai_canonname ? ai->ai_canonname : "NULL");
}

void dump_sa_info(FILE *fp, const char *msg, const sockaddr *sa, socklen_t addrlen) noexcept
{
    lfx_assert(fp && sa);
    char host[SADDR_HOST_SIZE] = "";
    char serv[SADDR_SERV_SIZE] = "";
    int rc = getnameinfo(sa, addrlen, host, sizeof(host), serv, sizeof(serv),
                         NI_NUMERICHOST | NI_NUMERICSERV);
    if (rc != 0) {
        fprintf(fp, "%s: getnameinfo error (%d): %s\n", "dump_sa_info", rc, gai_strerror(rc));
        return;
    }
    fprintf(fp, "%s %s %s:%s\n", msg ? msg : "", af_name(sa->sa_family), host, serv);
}

// --- resolution ------------------------------------------------------------------------

int mk_sockaddr(const char *addr_port, int stype, int proto, sockaddr_storage *ss,
                socklen_t *slen) noexcept
{
    static constexpr const char *fn = "mk_sockaddr";
    lfx_assert(addr_port && ss && slen);
    lfx_assert(stype == SOCK_STREAM || stype == SOCK_DGRAM);
    log_dbg("%s: %s(%d) address for [%s]\n", fn, stype == SOCK_DGRAM ? "DGRAM" : "STREAM", proto,
            addr_port);

    // A cut text would name another address: refuse it whole.
    const size_t text_len = strlen(addr_port);
    if (text_len > MK_SADDR_TEXT_MAX) {
        log_err("%s: address/port text of %zu characters is too long (at most %zu): [%.40s...]\n",
                fn, text_len, MK_SADDR_TEXT_MAX, addr_port);
        errno = E2BIG;
        return E2BIG;
    }

    char work[MK_SADDR_TEXT_MAX + 1];
    memcpy(work, addr_port, text_len + 1);

    // "[address]:port" holds an IPv6 address, whose colons are its own.
    char *close = work[0] == '[' ? strchr(work, ']') : nullptr;
    char *colon = work[0] == '[' ? (close && close[1] == ':' ? close + 1 : nullptr)
                                 : strrchr(work, ':');
    if (!colon || (close && close == work + 1)) {
        log_err("%s: invalid address/port: %s\n", fn, addr_port);
        return EINVAL;
    }
    *colon = '\0';
    const char *addr = work;
    const char *port = colon + 1;
    if (close) {
        *close = '\0';
        ++addr;
    }

    // The shortest address taken is seven characters ("1.2.3.4"); shorter
    // text and plain numbers are mistakes, not addresses.  An address in
    // brackets is IPv6, which may be as short as "::".
    if (is_decimal(addr) || (!close && strlen(addr) < 7)) {
        log_err("%s: cannot accept plain number [%s] as IP address\n", fn, addr);
        return EINVAL;
    }
    if (!is_decimal(port)) {
        log_err("%s: port must be plain decimal number [%s]\n", fn, port);
        return EINVAL;
    }
    // The resolver keeps only the low 16 bits of a larger number.
    {
        errno_guard keep;
        errno = 0;
        const long pv = strtol(port, nullptr, 10);
        if (errno != 0 || pv < 0 || pv > 65535) {
            log_err("%s: port out of range 0..65535 [%s]\n", fn, port);
            return EINVAL;
        }
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = stype;
    hints.ai_protocol = proto;
    ai_list res;
    if (W_getaddrinfo(fn, addr, port, &hints, &res.head) != 0) return -1;

    for (const addrinfo *ai = res.head; ai; ai = ai->ai_next) {
        const bool ok = can_open(fn, ai);
        log_dbg("%s: %s af=%s (%d), proto = %d\n", fn, ok ? "OK" : "BAD", af_name(ai->ai_family),
                ai->ai_family, ai->ai_protocol);
        if (!ok) continue;
        lfx_assert(ai->ai_addrlen <= sizeof(*ss));
        memcpy(ss, ai->ai_addr, ai->ai_addrlen);
        *slen = ai->ai_addrlen;
        return 0;
    }
    log_err("%s: failed for [%s]\n", fn, addr_port);
    return -1;
}

// --- interfaces ------------------------------------------------------------------------

unsigned ifaddr_index(const char *ifc, sockaddr_storage *ss) noexcept
{
    static constexpr const char *fn = "ifaddr_index";
    lfx_assert(ifc);

    // if_nametoindex refuses names of IFNAMSIZ characters or more itself.
    if (unsigned idx = if_nametoindex(ifc); idx != 0) return idx;

    sockaddr_storage local{};
    sockaddr_storage *dst = ss ? ss : &local;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    ai_list res;
    if (W_getaddrinfo(fn, ifc, nullptr, &hints, &res.head) != 0) return 0;

    bool found = false;
    for (const addrinfo *ai = res.head; ai; ai = ai->ai_next) {
        log_dbg("af=%s (%d), proto = %d\n", af_name(ai->ai_family), ai->ai_family,
                ai->ai_protocol);
        if (!can_open(fn, ai)) continue;
        lfx_assert(ai->ai_addrlen <= sizeof(*dst));
        memcpy(dst, ai->ai_addr, ai->ai_addrlen);
        found = true;
        break;
    }
    if (!found) return 0;

    ifa_list ifl;
    if (getifaddrs(&ifl.head) != 0) {
        errno_guard keep;
        log_err("%s: getifaddrs [%s] (family=%d): %s\n", fn, ifc, 0, strerror(keep.err));
        return 0;
    }
    const auto *want = reinterpret_cast<const sockaddr *>(dst);
    for (const ifaddrs *e = ifl.head; e; e = e->ifa_next) {
        if (!e->ifa_addr || e->ifa_addr->sa_family != want->sa_family) continue;
        if (!saddr_equal(e->ifa_addr, want)) continue;
        const unsigned idx = if_nametoindex(e->ifa_name);
        log_dbg("%s: %s matched to interface [%s], idx=%u\n", fn, ifc, e->ifa_name, idx);
        return idx;
    }
    return 0;
}

int ifc_addr_lookup(int family, const char *ifc, sockaddr *sa, socklen_t len) noexcept
{
    static constexpr const char *fn = "ifc_addr_lookup";
    lfx_assert(ifc && sa);

    if (strlen(ifc) >= IFC_NAME_SIZE) {
        log_err("%s: interface name too long [%s] (at most %zu characters)\n", fn, ifc,
                IFC_NAME_SIZE - 1);
        errno = E2BIG;
        return E2BIG;
    }

    ifa_list ifl;
    if (getifaddrs(&ifl.head) != 0) {
        errno_guard keep;
        log_err("%s: getifaddrs [%s] (family=%d): %s\n", fn, ifc, family, strerror(keep.err));
        return keep.err;
    }

    const sockaddr *fallback = nullptr;
    for (const ifaddrs *e = ifl.head; e; e = e->ifa_next) {
        if (!e->ifa_addr || e->ifa_addr->sa_family != family) continue;
        if (strncmp(e->ifa_name, ifc, IFC_NAME_SIZE) != 0) continue;
        if (family == AF_INET6 && is_ipv6_mc_local(e->ifa_addr)) {
            if (!fallback) fallback = e->ifa_addr;
            continue;
        }
        cpy_sockaddr(e->ifa_addr, sa, len);
        return 0;
    }
    if (fallback) {
        cpy_sockaddr(fallback, sa, len);
        return 0;
    }
    log_err("%s: failed to look up address for ifc=%s\n", fn, ifc);
    return -1;
}

ifc_info *get_ifc_info(int af, const char *tag) noexcept
{
    static constexpr const char *fn = "get_ifc_info";
    lfx_assert(tag);
    auto *ifi = static_cast<ifc_info *>(W_calloc(fn, 1, sizeof(ifc_info)));
    if (!ifi) return nullptr;

    ifi->idx = ifaddr_index(tag, &ifi->ss);
    if (ifi->idx == 0) {
        log_err("[%s] is not a valid %s interface address.\n", tag, af_name(af));
        free(ifi);
        return nullptr;
    }
    if (!if_indextoname(ifi->idx, ifi->name)) {
        errno_guard keep;
        log_err("%s: if_indextoname(%d, buf): %s\n", fn, int(ifi->idx), strerror(keep.err));
        free(ifi);
        return nullptr;
    }
    // Named by an address: that address stays, whatever af is.
    if (ifi->ss.ss_family == AF_UNSPEC &&
        ifc_addr_lookup(af, ifi->name, reinterpret_cast<sockaddr *>(&ifi->ss),
                        sizeof(ifi->ss)) != 0) {
        errno_guard keep;
        free(ifi);
        return nullptr;
    }
    return ifi;
}

ifc_info *any_ifc_info(int af) noexcept
{
    auto *ifi = static_cast<ifc_info *>(W_calloc("any_ifc_info", 1, sizeof(ifc_info)));
    if (!ifi) return nullptr;
    if (af == AF_INET || af == AF_INET6) cpy_anyaddr(af, &ifi->ss);
    return ifi;
}

// --- datagram reach --------------------------------------------------------------------

bool saddr_is_local(const sockaddr *sa) noexcept
{
    lfx_assert(sa);
    const sockaddr_storage a = unmapped(sa);
    const auto *p = reinterpret_cast<const sockaddr *>(&a);
    if (p->sa_family != AF_INET && p->sa_family != AF_INET6) return false;
    if (is_unspecified(p) == 1 || is_loopback(p)) return true;
    if (is_multicast(p) == 1) return false;
    // An address the host holds is one a socket can bind to: a probe on a
    // port the system picks, closed at once.
    sockaddr_storage probe = a;
    if (probe.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&probe)->sin_port = 0;
    else
        reinterpret_cast<sockaddr_in6 *>(&probe)->sin6_port = 0;
    // The bind is a question, not a failure: it is not logged.
    const int fd = W_socket("saddr_is_local", probe.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = bind(fd, reinterpret_cast<const sockaddr *>(&probe), saddr_len(p)) == 0;
    W_close("saddr_is_local", fd);
    return ok;
}

bool saddr_reaches(const sockaddr *to, const sockaddr *bound) noexcept
{
    lfx_assert(to && bound);
    const sockaddr_storage t = unmapped(to), b = unmapped(bound);
    const auto *tp = reinterpret_cast<const sockaddr *>(&t);
    const auto *bp = reinterpret_cast<const sockaddr *>(&b);
    if ((tp->sa_family != AF_INET && tp->sa_family != AF_INET6) ||
        (bp->sa_family != AF_INET && bp->sa_family != AF_INET6))
        return false;
    if (port_of(tp) != port_of(bp)) return false;
    if (is_unspecified(bp) == 1) {
        // An IPv6 wildcard socket receives IPv4 too (IPV6_V6ONLY is off
        // unless the host says otherwise); an IPv4 one only IPv4.
        if (bp->sa_family == AF_INET && tp->sa_family != AF_INET) return false;
        return is_multicast(tp) != 1 && saddr_is_local(tp);
    }
    if (tp->sa_family != bp->sa_family) return false;
    if (saddr_equal(tp, bp)) return true;
    // Sent to the wildcard, a datagram is delivered over loopback.
    return is_unspecified(tp) == 1 && is_loopback(bp);
}

bool hostport_reaches(const char *to_host, const char *to_port, const char *bound_host,
                      const char *bound_port) noexcept
{
    lfx_assert(to_port && bound_port);
    ai_list to, bound;
    if (!resolve_dgram(to_host, to_port, &to) || !resolve_dgram(bound_host, bound_port, &bound))
        return false;
    for (const addrinfo *t = to.head; t; t = t->ai_next)
        for (const addrinfo *b = bound.head; b; b = b->ai_next)
            if (saddr_reaches(t->ai_addr, b->ai_addr)) return true;
    return false;
}
