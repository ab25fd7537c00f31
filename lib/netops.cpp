#include "netops.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app.globals.h"
#include "log.h"
#include "owners.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

// The request records the membership options take, as the kernel reads them.
static_assert(sizeof(group_req) == 136);
static_assert(sizeof(group_source_req) == 264);
static_assert(sizeof(ip_mreq) == 8);
static_assert(sizeof(ip_mreq_source) == 12);
static_assert(sizeof(ipv6_mreq) == 20);
static_assert(sizeof(sockaddr_un) == 110);
static_assert(sizeof(sockaddr_un::sun_path) == DOMAIN_PATH_MAX + 1);

namespace {

net_options s_netopt = {0};

const char *or_none(const char *s, const char *none) noexcept { return s ? s : none; }

// A port text strtol reads whole, as a number in 0..65535; -1 otherwise.
long port_number(const char *text) noexcept
{
    if (!text || !*text) return -1;
    errno_guard keep;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 0 || v > 65535) return -1;
    return v;
}

// Length of an IPv4 or IPv6 address record, 0 for another family.
socklen_t inet_len(int af) noexcept
{
    return af == AF_INET ? sizeof(sockaddr_in) : af == AF_INET6 ? sizeof(sockaddr_in6) : 0;
}

const sockaddr_in *sin_of(const sockaddr *sa) noexcept
{
    return reinterpret_cast<const sockaddr_in *>(sa);
}

const sockaddr_in6 *sin6_of(const sockaddr *sa) noexcept
{
    return reinterpret_cast<const sockaddr_in6 *>(sa);
}

// Numeric text of an IPv4/IPv6 address for log lines; "?" otherwise.
const char *addr_text(const sockaddr *sa, char *buf, size_t len) noexcept
{
    const socklen_t n = inet_len(sa->sa_family);
    if (n == 0) return "?";
    const char *s = saddr_str(sa, n, buf, len);
    return s ? s : "?";
}

// The IPv4 interface address of a per-family request: the record's, the
// any-address for no interface, or the named interface's first one.  0 or
// the look-up's failure value.
int ipv4_ifc_addr(const char *ifc_name, const sockaddr *ifc, in_addr *out) noexcept
{
    if (ifc && ifc->sa_family == AF_INET) {
        *out = sin_of(ifc)->sin_addr;
        return 0;
    }
    if (!ifc_name || is_anyaddr(ifc_name)) {
        out->s_addr = htonl(INADDR_ANY);
        return 0;
    }
    sockaddr_storage ss{};
    int rc = ifc_addr_lookup(AF_INET, ifc_name, reinterpret_cast<sockaddr *>(&ss), sizeof(ss));
    if (rc != 0) return rc;
    *out = reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr;
    return 0;
}

// Opens a non-blocking socket of type/proto bound to ss, listening when
// asked: the common part of the TCP and UDP listener openers.
int open_bound(const char *fn, sockaddr_storage *ss, const char *port, int type, int proto,
               bool do_listen) noexcept
{
    lfx_assert(ss);
    if (port) {
        const long pv = port_number(port);
        if (pv < 1) {
            log_err("%s: invalid port number: %s\n", fn, port);
            errno = EINVAL;
            return -1;
        }
        if (ss->ss_family == AF_INET)
            reinterpret_cast<sockaddr_in *>(ss)->sin_port = htons(uint16_t(pv));
        else if (ss->ss_family == AF_INET6)
            reinterpret_cast<sockaddr_in6 *>(ss)->sin6_port = htons(uint16_t(pv));
    }
    if (ss->ss_family != AF_INET && ss->ss_family != AF_INET6) {
        log_err("%s: invalid network family: %d\n", fn, int(ss->ss_family));
        errno = EAFNOSUPPORT;
        return -1;
    }

    int fd = W_socket(fn, ss->ss_family, type, proto);
    if (fd < 0) return -1;
    const auto *sa = reinterpret_cast<const sockaddr *>(ss);
    // A TCP listener may rebind past TIME_WAIT; a datagram socket binds
    // alone, or a second instance would share its port.
    int rc = reuse_and_bind(fd, sa, saddr_len(sa),
                            type == SOCK_STREAM ? BIND_REUSEADDR : BIND_EXCLUSIVE);
    if (rc != 0) {
        errno_guard keep;
        keep.err = rc;
        W_close(fn, fd);
        return -1;
    }
    if (set_nblock(fd, 1) != 0 || (do_listen && W_listen(fn, fd, LISTEN_BACKLOG) != 0)) {
        errno_guard keep;
        W_close(fn, fd);
        return -1;
    }
    return fd;
}

// Refuses a Unix-domain path that sun_path cannot hold whole (or an empty
// one); true when the path fits.
bool domain_path_ok(const char *fn, const char *path) noexcept
{
    const size_t n = strlen(path);
    if (n == 0) {
        log_err("%s: empty socket path\n", fn);
        errno = EINVAL;
        return false;
    }
    if (n > DOMAIN_PATH_MAX) {
        log_err("%s: socket path of %zu characters is too long (at most %zu): [%s]\n", fn, n,
                DOMAIN_PATH_MAX, path);
        errno = E2BIG;
        return false;
    }
    return true;
}

sockaddr_un domain_addr(const char *path) noexcept
{
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    memcpy(un.sun_path, path, strlen(path));  // checked by domain_path_ok
    return un;
}

// True when a process accepts connections on the socket at path: a
// connection is made, or waits in a full backlog.  A socket nobody listens
// on refuses (ECONNREFUSED).
bool domain_path_listened(const char *path) noexcept
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_un un = domain_addr(path);
    const bool taken = connect(fd, reinterpret_cast<const sockaddr *>(&un), sizeof(un)) == 0 ||
                       errno == EAGAIN || errno == EINPROGRESS;
    close(fd);
    return taken;
}

}  // namespace

// --- opening ---------------------------------------------------------------------

int setup_client(int sockfd, const addrinfo *ai, socket_spec *sspec) noexcept
{
    static constexpr const char *fn = "setup_client";
    lfx_assert(ai && sspec);
    if (ai->ai_socktype == SOCK_DGRAM) {
        // A writer sends to addr_ss; only a reader takes the address, and
        // alone: two readers of one unicast address would each get some
        // senders' datagrams and not others'.
        return sspec->writer ? 0
                             : reuse_and_bind(sockfd, ai->ai_addr, ai->ai_addrlen,
                                              BIND_EXCLUSIVE);
    }
    const bool nb = sspec->non_blocking;
    if (ai->ai_socktype == SOCK_STREAM && nb)
        log_dbg("%s: non-blocking CONNECT on fd%d\n", fn, sockfd);
    bool async = false;
    if (W_connect(fn, sockfd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return -1;
        async = true;
        sspec->async_connect = 1;
    }
    log_info("%s: %s CONNECT [fd%d]\n", fn, async ? "ASYNC" : "IMMEDIATE", sockfd);
    return 0;
}

int setup_listener(int sockfd, const addrinfo *ai, const socket_spec *sspec) noexcept
{
    static constexpr const char *fn = "setup_listener";
    lfx_assert(ai && sspec);
    if (ai->ai_family == AF_INET6 && is_unspecified(ai->ai_addr) == 1) set_ipv6only(sockfd, 0);
    int rc = reuse_and_bind(sockfd, ai->ai_addr, ai->ai_addrlen,
                            ai->ai_socktype == SOCK_STREAM ? BIND_REUSEADDR : BIND_EXCLUSIVE);
    if (rc != 0) return rc;
    if (ai->ai_socktype == SOCK_STREAM) {
        if (!sspec->defer_listen && W_listen(fn, sockfd, LISTEN_BACKLOG) != 0) return errno;
    } else if (ai->ai_socktype != SOCK_DGRAM) {
        if (W_connect(fn, sockfd, ai->ai_addr, ai->ai_addrlen) != 0) return errno;
    }
    return 0;
}

int setup_mcast_writer(int sockfd, const addrinfo *airp, ifc_info *mifc) noexcept
{
    static constexpr const char *fn = "setup_mcast_writer";
    lfx_assert(airp);
    const bool named = mifc && !is_anyaddr(mifc->name);
    log_dbg("%s: fd=%d, ifc=[%s]:%p\n", fn, sockfd, named ? mifc->name : "<any>", (void *)mifc);
    if (!named) return 0;

    if (airp->ai_family == AF_INET6) return set_ipv6_sock_ifc(sockfd, mifc->idx);

    // IP_MULTICAST_IF takes the interface's IPv4 address; a record made
    // from an IPv6 address has none of its own, so the name finds one.
    in_addr ia{};
    if (mifc->ss.ss_family == AF_INET &&
        reinterpret_cast<const sockaddr_in *>(&mifc->ss)->sin_addr.s_addr != htonl(INADDR_ANY)) {
        ia = reinterpret_cast<const sockaddr_in *>(&mifc->ss)->sin_addr;
    } else {
        sockaddr_storage ss{};
        if (ifc_addr_lookup(AF_INET, mifc->name, reinterpret_cast<sockaddr *>(&ss),
                            sizeof(ss)) != 0) {
            log_err("%s: interface [%s] has no IPv4 address for multicast output\n", fn,
                    mifc->name);
            errno = EADDRNOTAVAIL;
            return -1;
        }
        ia = reinterpret_cast<const sockaddr_in *>(&ss)->sin_addr;
    }
    return W_setsockopt(fn, sockfd, IPPROTO_IP, IP_MULTICAST_IF, &ia, sizeof(ia));
}

int setup_mcast_reader(int sockfd, addrinfo *airp, ifc_info *mifc,
                       const sockaddr_storage *msrc) noexcept
{
    static constexpr const char *fn = "setup_mcast_reader";
    lfx_assert(airp);
    const bool named = mifc && !is_anyaddr(mifc->name);
    log_dbg("%s: fd=%d, ifc=[%s]:%p\n", fn, sockfd, named ? mifc->name : "<any>", (void *)mifc);

    sockaddr *grp = airp->ai_addr;
    if (is_ipv6_mc_local(grp)) {
        if (!named)
            log_err("%s: network interface must be specified to use link/local-scope "
                    "multicast\n",
                    fn);
        else
            sync_ipv6addr_scope_id(grp, mifc->name, &mifc->ss);
    }
    // Every reader of a group gets every datagram: the address is shared.
    int rc = reuse_and_bind(sockfd, grp, airp->ai_addrlen, BIND_SHARED);
    if (rc != 0) return rc;
    return msrc ? ssm_join(sockfd, reinterpret_cast<const sockaddr *>(msrc), grp, mifc)
                : mcast_join(sockfd, grp, mifc);
}

int open_socket(const char *addr, const char *port, const char *auth, socket_spec *sspec,
                const char *ifc_tag, ifc_info **ifi) noexcept
{
    static constexpr const char *fn = "open_socket";
    lfx_assert(sspec);
    if (ifi) *ifi = nullptr;  // a record is handed over only with a socket
    // A multicast listener is no role of this library.
    lfx_assert(!(sspec->multicast && sspec->passive));

    const bool dgram = sspec->socktype == SOCK_DGRAM;
    const bool stream = sspec->socktype == SOCK_STREAM;
    log_dbg("%s: %s %s [%s (%d)] socket for [%s:%s], ifc=%s\n", fn, dgram ? "UDP" : "TCP",
            sspec->passive ? "LISTENER" : "CLIENT", af_name(sspec->family), sspec->family,
            or_none(addr, "all"), or_none(port, ""), or_none(ifc_tag, "none"));
    sspec->async_connect = 0;

    if (stream || dgram) {
        lfx_assert(port);
        // The resolver keeps only the low 16 bits of a larger number, and
        // atoi alone lets "80abc" or "-1" through.
        if (!*port || (atoi(port) == 0 && strcmp(port, "0") != 0) || port_number(port) < 0) {
            log_err("%s: empty or invalid port [%s]\n", fn, port);
            errno = EINVAL;
            return -1;
        }
    }
    if (addr && is_decimal(addr)) {
        log_err("%s: cannot accept plain number [%s] as IP address\n", fn, addr);
        errno = EINVAL;
        return -1;
    }

    // An empty source is no source (a URL without an authority part).
    sspec->is_ssm = auth && *auth && dgram;
    if (sspec->is_ssm) {
        log_dbg("%s: SSM source: %s\n", fn, auth);
        char src_text[SSM_SRC_TEXT_MAX + 1];
        const size_t alen = strlen(auth);
        const bool has_port = ends_with_port(auth);
        // A bare IPv6 address gets brackets before the port is put on.
        const bool bare6 = !has_port && auth[0] != '[' && strchr(auth, ':');
        const size_t need =
            has_port ? alen : alen + (bare6 ? 2 : 0) + 1 + strlen(SSM_DEFAULT_PORT);
        const size_t max = has_port ? SSM_SRC_TEXT_MAX : SSM_SRC_PORTED_MAX;
        if (need > max) {
            log_err("%s: SSM source of %zu characters is too long (at most %zu): [%s]\n", fn,
                    need, max, auth);
            errno = E2BIG;
            return -1;
        }
        if (has_port)
            memcpy(src_text, auth, alen + 1);
        else
            snprintf(src_text, sizeof(src_text), bare6 ? "[%s]:%s" : "%s:%s", auth,
                     SSM_DEFAULT_PORT);

        int rc = mk_sockaddr(src_text, SOCK_DGRAM, 0, &sspec->src_ss, &sspec->src_len);
        if (rc != 0) {
            errno_guard keep;
            if (rc > 0) keep.err = rc;
            log_err("%s: invalid SSM source: %s\n", fn, src_text);
            return -1;
        }
        if (sspec->family != AF_UNSPEC && sspec->src_ss.ss_family != sspec->family) {
            log_err("%s: SMM src/addr family mismatch: %u/%u\n", fn,
                    unsigned(sspec->src_ss.ss_family), unsigned(sspec->family));
            errno = EINVAL;
            return -1;
        }
    }

    const char *text = addr ? addr : anyaddr_str(sspec->family == AF_UNSPEC ? AF_INET : sspec->family);
    addrinfo hints{};
    hints.ai_family = sspec->family;
    hints.ai_socktype = sspec->socktype;
    hints.ai_protocol = 0;
    hints.ai_flags = sspec->passive ? AI_PASSIVE : 0;
    ai_list res;
    if (W_getaddrinfo(fn, text, port, &hints, &res.head) != 0) return -1;

    int fd = -1;
    int last_err = 0;
    for (addrinfo *ai = res.head; ai; ai = ai->ai_next) {
        log_dbg("af=%s (%d), proto = %d\n", af_name(ai->ai_family), ai->ai_family,
                ai->ai_protocol);
        int s = W_socket(fn, ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s < 0) {
            last_err = errno;
            continue;
        }
        sspec->family = ai->ai_family;
        if (is_multicast(ai->ai_addr) == 1) sspec->multicast = 1;

        if (sspec->non_blocking && set_nblock(s, 1) != 0) {
            errno_guard keep;
            log_err("%s: failed to make fd=%d non-blocking ERROR(%d): %s\n", fn, s, keep.err,
                    strerror(keep.err));
            W_close(fn, s);
            return -1;
        }

        ifc_info *rec = nullptr;
        int rc;
        if (sspec->multicast && sspec->passive) {
            // The address came from the caller's text, so this is input.
            char at[80];
            log_err("%s: cannot listen on multicast address %s\n", fn,
                    addr_text(ai->ai_addr, at, sizeof(at)));
            errno = EINVAL;
            rc = -1;
        } else if (sspec->multicast) {
            const bool any = is_anyaddr(ifc_tag);
            rec = any ? any_ifc_info(sspec->family) : get_ifc_info(sspec->family, ifc_tag);
            if (!rec) {
                // A mistyped interface must not fall back to the default
                // one: the stream would be read or sent on the wrong network.
                if (!any)
                    log_err("%s: no multicast interface [%s] for %s\n", fn, ifc_tag,
                            af_name(sspec->family));
                errno = any ? ENOMEM : ENODEV;
                rc = -1;
            } else {
                rc = sspec->writer ? setup_mcast_writer(s, ai, rec)
                                   : setup_mcast_reader(s, ai, rec,
                                                        sspec->is_ssm ? &sspec->src_ss : nullptr);
            }
        } else {
            rc = sspec->passive ? setup_listener(s, ai, sspec) : setup_client(s, ai, sspec);
        }

        if (rc == 0) {
            lfx_assert(ai->ai_addrlen <= sizeof(sspec->addr_ss));
            memcpy(&sspec->addr_ss, ai->ai_addr, ai->ai_addrlen);
            sspec->addr_len = ai->ai_addrlen;
            if (ifi)
                *ifi = rec;
            else
                free(rec);
            if (LL_ON(DEBUG_level))
                if (FILE *fp = log_fp(&g_log)) dump_ai(fp, ai);
            fd = s;
            break;
        }
        last_err = rc > 0 ? rc : errno;
        W_close(fn, s);
        free(rec);
    }

    if (fd < 0) {
        if (last_err) errno = last_err;
        return -1;
    }
    log_dbg("%s: %s %s socket fd=[%d]\n", fn, sspec->passive ? "SERVER" : "CLIENT",
            sspec->multicast ? "multicast" : "unicast", fd);
    return fd;
}

int open_listener(sockaddr_storage *ss, const char *port, int defer_listen) noexcept
{
    static constexpr const char *fn = "open_listener";
    if (!port) {
        log_err("%s: invalid port number: %s\n", fn, "(null)");
        errno = EINVAL;
        return -1;
    }
    return open_bound(fn, ss, port, SOCK_STREAM, IPPROTO_TCP, !defer_listen);
}

int open_udp_listener(sockaddr_storage *ss, const char *port) noexcept
{
    return open_bound("open_udp_listener", ss, port, SOCK_DGRAM, IPPROTO_UDP, false);
}

int open_anyaddr_listener(int af, const char *port, int defer_listen) noexcept
{
    socket_spec sspec{};
    sspec.passive = 1;
    sspec.non_blocking = 1;
    sspec.defer_listen = defer_listen ? 1 : 0;
    sspec.family = af;
    sspec.socktype = SOCK_STREAM;
    return open_socket(nullptr, port, nullptr, &sspec, nullptr, nullptr);
}

int open_domain_listener(const char *path) noexcept
{
    static constexpr const char *fn = "open_domain_listener";
    lfx_assert(path);
    if (!domain_path_ok(fn, path)) {
        errno_guard keep;
        log_err("%s: failed for path=[%s]\n", fn, path);
        return -1;
    }

    int fd = W_socket(fn, AF_UNIX, SOCK_STREAM, 0);
    bool ok = fd >= 0 && set_nblock(fd, 1) == 0;

    // Only a socket left by an earlier run is removed: a configured path
    // that names any other file is a mistake, not something to delete, and
    // a socket that takes connections belongs to a running process.
    if (ok) {
        struct stat st{};
        const bool found = lstat(path, &st) == 0;
        if (found && !S_ISSOCK(st.st_mode)) {
            log_err("%s: [%s] exists and is not a socket\n", fn, path);
            errno = EEXIST;
            ok = false;
        } else if (found && domain_path_listened(path)) {
            log_err("%s: [%s] is in use by a listening process\n", fn, path);
            errno = EADDRINUSE;
            ok = false;
        } else if (unlink(path) != 0 && errno != ENOENT) {
            errno_guard keep;
            log_err("%s: unlink ERROR(%d): %s\n", fn, keep.err, strerror(keep.err));
            ok = false;
        }
    }
    if (ok) {
        const sockaddr_un un = domain_addr(path);
        ok = W_bind(fn, fd, reinterpret_cast<const sockaddr *>(&un), sizeof(un)) == 0 &&
             W_listen(fn, fd, LISTEN_BACKLOG) == 0;
    }
    if (!ok) {
        errno_guard keep;
        if (fd >= 0) W_close(fn, fd);
        log_err("%s: failed for path=[%s]\n", fn, path);
        return -1;
    }
    log_dbg("%s: fd=%d is listening on [%s]\n", fn, fd, path);
    return fd;
}

int open_domain_client(const char *path, long max_attempts, long pause_msec) noexcept
{
    static constexpr const char *fn = "open_domain_client";
    lfx_assert(path);
    if (!domain_path_ok(fn, path)) return -1;

    int fd = W_socket(fn, AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    const sockaddr_un un = domain_addr(path);

    long made = 0;
    bool connected = false;
    while (made < max_attempts && !g_quit) {
        ++made;
        log_dbg("%s: attempt %ld out of %ld to connect to [%s]\n", fn, made, max_attempts, path);
        if (W_connect(fn, fd, reinterpret_cast<const sockaddr *>(&un), sizeof(un)) == 0) {
            connected = true;
            break;
        }
        if (pause_msec > 0 && made < max_attempts) {
            timespec ts{pause_msec / 1000, (pause_msec % 1000) * 1000000L};
            if (nanosleep(&ts, nullptr) != 0) break;  // a signal: stop trying
        }
    }
    if (connected) {
        log_info("%s: fd=%d connected to [%s]\n", fn, fd, path);
        return fd;
    }
    errno_guard keep;
    W_close(fn, fd);
    if (!g_quit)
        log_err("%s: failed to connect to [%s] after %ld attempt(s)\n", fn, path, made);
    return -1;
}

// --- multicast membership ----------------------------------------------------------------

void set_legacy_mcast_api(int on) noexcept { s_netopt.use_legacy_mcast_api = on ? 1 : 0; }

int mcast_group_op(const char *caller, const char *ifc_name, unsigned ifc_idx,
                   const sockaddr *grp, const sockaddr *ifc, int join, int sock) noexcept
{
    lfx_assert(caller && grp);
    const bool legacy = s_netopt.use_legacy_mcast_api;
    const char *opname = join ? "MCAST_JOIN" : "MCAST_LEAVE";
    log_dbg("%s: ifc-name=%s, idx=%u ifc=%p\n", caller, or_none(ifc_name, "<none>"), ifc_idx,
            (const void *)ifc);
    char gtext[80];
    log_info("%s: using %s mulitcast API to %s group %s\n", caller,
             legacy ? "protocol-specific" : "GENERIC", opname, addr_text(grp, gtext, sizeof(gtext)));

    const int af = grp->sa_family;
    if (af != AF_INET && af != AF_INET6) {
        log_err("%s: unsupported family %d\n", caller, af);
        errno = EAFNOSUPPORT;
        return -1;
    }

    int rc;
    if (!legacy) {
        group_req gr{};
        gr.gr_interface = ifc_idx;
        memcpy(&gr.gr_group, grp, inet_len(af));
        rc = setsockopt(sock, af_level(af), join ? MCAST_JOIN_GROUP : MCAST_LEAVE_GROUP, &gr,
                        sizeof(gr));
    } else if (af == AF_INET) {
        ip_mreq mr{};
        mr.imr_multiaddr = sin_of(grp)->sin_addr;
        if (int lrc = ipv4_ifc_addr(ifc_name, ifc, &mr.imr_interface); lrc != 0) return lrc;
        rc = setsockopt(sock, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &mr,
                        sizeof(mr));
    } else {
        ipv6_mreq mr{};
        mr.ipv6mr_multiaddr = sin6_of(grp)->sin6_addr;
        mr.ipv6mr_interface = ifc_idx;
        rc = setsockopt(sock, IPPROTO_IPV6, join ? IPV6_ADD_MEMBERSHIP : IPV6_DROP_MEMBERSHIP,
                        &mr, sizeof(mr));
    }
    if (rc != 0) {
        errno_guard keep;
        log_err("%s: %s fd=%d: %s\n", caller, opname, sock, strerror(keep.err));
        return -1;
    }
    return 0;
}

int mcast_join(int sockfd, const sockaddr *grs, const ifc_info *mifc) noexcept
{
    return mcast_group_op("mcast_join", mifc ? mifc->name : nullptr, mifc ? mifc->idx : 0, grs,
                          mifc ? reinterpret_cast<const sockaddr *>(&mifc->ss) : nullptr, 1,
                          sockfd);
}

int mcast_leave(int sockfd, const sockaddr *grs, const ifc_info *mifc) noexcept
{
    return mcast_group_op("mcast_leave", mifc ? mifc->name : nullptr, mifc ? mifc->idx : 0, grs,
                          mifc ? reinterpret_cast<const sockaddr *>(&mifc->ss) : nullptr, 0,
                          sockfd);
}

int ssm_generic_op(unsigned ifc_idx, const sockaddr *grp, const sockaddr *src, int is_join,
                   int sockfd) noexcept
{
    lfx_assert(grp && src);
    const int af = grp->sa_family;
    lfx_assert(inet_len(af) != 0 && src->sa_family == af);
    group_source_req gsr{};
    gsr.gsr_interface = ifc_idx;
    memcpy(&gsr.gsr_group, grp, inet_len(af));
    memcpy(&gsr.gsr_source, src, inet_len(af));
    return setsockopt(sockfd, af_level(af),
                      is_join ? MCAST_JOIN_SOURCE_GROUP : MCAST_LEAVE_SOURCE_GROUP, &gsr,
                      sizeof(gsr));
}

int ssm_proto_op(const char *caller, const char *ifc_name, const sockaddr *grp,
                 const sockaddr *src, const sockaddr *ifc, int is_join, int sockfd) noexcept
{
    lfx_assert(caller && grp && src);
    if (grp->sa_family == AF_INET6) {
        log_err("%s: (%s) IPv6-specific SSM not supported\n", caller, "ssm_proto_op");
        errno = EINVAL;
        return -EINVAL;
    }
    lfx_assert(grp->sa_family == AF_INET && src->sa_family == AF_INET);
    ip_mreq_source mr{};
    mr.imr_multiaddr = sin_of(grp)->sin_addr;
    mr.imr_sourceaddr = sin_of(src)->sin_addr;
    if (int lrc = ipv4_ifc_addr(ifc_name, ifc, &mr.imr_interface); lrc != 0) return lrc;
    return setsockopt(sockfd, IPPROTO_IP,
                      is_join ? IP_ADD_SOURCE_MEMBERSHIP : IP_DROP_SOURCE_MEMBERSHIP, &mr,
                      sizeof(mr));
}

int ssm_group_op(const char *caller, const char *ifc_name, unsigned ifc_idx, const sockaddr *grp,
                 const sockaddr *src, const sockaddr *ifc, int is_join, int sockfd) noexcept
{
    lfx_assert(caller && grp && src);
    const char *opname = is_join ? "SSM_JOIN" : "SSM_LEAVE";
    const int af = grp->sa_family;
    if (af != AF_INET && af != AF_INET6) {
        log_err("%s: unsupported family %d\n", caller, af);
        errno = EAFNOSUPPORT;
        return -1;
    }
    // A source of the other family names no host that could send to the
    // group: the request is never made.
    if (src->sa_family != af) {
        log_err("%s: %s source/group family mismatch: %d/%d\n", caller, opname,
                int(src->sa_family), af);
        errno = EINVAL;
        return -1;
    }
    const bool legacy = s_netopt.use_legacy_mcast_api;
    int rc = legacy ? ssm_proto_op(caller, ifc_name, grp, src, ifc, is_join, sockfd)
                    : ssm_generic_op(ifc_idx, grp, src, is_join, sockfd);
    if (rc != 0) {
        errno_guard keep;
        log_err("%s: (%s) %s ifc=%s/%u fd%d: %s\n", caller,
                legacy ? "ssm_proto_op" : "ssm_generic_op", opname, or_none(ifc_name, "<none>"),
                ifc_idx, sockfd, strerror(keep.err));
    }
    return rc;
}

int ssm_join(int sockfd, const sockaddr *src, const sockaddr *grs, const ifc_info *mifc) noexcept
{
    return ssm_group_op("ssm_join", mifc ? mifc->name : nullptr, mifc ? mifc->idx : 0, grs, src,
                        mifc ? reinterpret_cast<const sockaddr *>(&mifc->ss) : nullptr, 1, sockfd);
}

int ssm_leave(int sockfd, const sockaddr *src, const sockaddr *grs, const ifc_info *mifc) noexcept
{
    return ssm_group_op("ssm_leave", mifc ? mifc->name : nullptr, mifc ? mifc->idx : 0, grs, src,
                        mifc ? reinterpret_cast<const sockaddr *>(&mifc->ss) : nullptr, 0, sockfd);
}

void sync_ipv6addr_scope_id(sockaddr *sa, const char *ifc_name, sockaddr_storage *ifc_ss) noexcept
{
    static constexpr const char *fn = "sync_ipv6addr_scope_id";
    lfx_assert(sa && ifc_ss);
    if (sa->sa_family != AF_INET6) return;
    auto *grp = reinterpret_cast<sockaddr_in6 *>(sa);
    if (grp->sin6_scope_id == 0) {
        if (ifc_ss->ss_family == AF_UNSPEC) {
            if (!ifc_name || !*ifc_name) {
                log_err("%s: cannot set scope id, interface or link-specific address must be "
                        "selected\n",
                        fn);
                return;
            }
            (void)ifc_addr_lookup(AF_INET6, ifc_name, reinterpret_cast<sockaddr *>(ifc_ss),
                                  sizeof(*ifc_ss));
        }
        if (ifc_ss->ss_family == AF_INET6) {
            const uint32_t scope = reinterpret_cast<const sockaddr_in6 *>(ifc_ss)->sin6_scope_id;
            if (scope != 0) {
                grp->sin6_scope_id = scope;
                log_err("updated IPv6 address scope ID to %ld\n", long(scope));
                return;
            }
        }
    }
    log_err("IPv6 address scope ID %ld left unchanged\n", long(grp->sin6_scope_id));
}
