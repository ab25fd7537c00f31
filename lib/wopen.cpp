#include "wopen.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.globals.h"
#include "fdio.h"
#include "log.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

char g_apptag[USOCK_APPTAG_SIZE] = "#ERR#";
usock_flags g_usock_flags = {false};

namespace {

using clock_type = std::chrono::steady_clock;

constexpr char HTTP_DEFAULT_PORT[] = "80";

// Releases a failed open: with the descriptor once one exists.
int fail_open(int fd, usock_ctx *uc) noexcept
{
    usock_close(fd, uc);
    return -1;
}

long ms_since(clock_type::time_point start) noexcept
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start)
                    .count());
}

// Waits for the connect of a socket opened non-blocking on behalf of a
// blocking endpoint (at most timeout_ms, else USOCK_HTTP_WAIT_MS), then
// makes the socket blocking.  0, or -1 (logged).
int finish_connect(int fd, const char *url, usock_ctx *uc) noexcept
{
    static constexpr const char *fn = "usock_open";
    uc->sspec.non_blocking = 0;
    if (uc->sspec.async_connect) {
        const int limit = uc->timeout_ms > 0 ? uc->timeout_ms : USOCK_HTTP_WAIT_MS;
        const clock_type::time_point start = clock_type::now();
        pollfd p{fd, POLLOUT, 0};
        int n;
        long left = limit;
        while ((n = poll(&p, 1, int(left))) < 0 && errno == EINTR && !g_quit) {
            left = limit - ms_since(start);
            if (left <= 0) {
                n = 0;
                break;
            }
        }
        if (n == 0) {
            log_err("%s: connect to [%s] did not complete within %d ms\n", fn, url, limit);
            errno = ETIMEDOUT;
            return -1;
        }
        if (n < 0) {
            const int err = errno;
            log_err("%s: poll(fd%d) ERROR(%d): %s\n", fn, fd, err, strerror(err));
            errno = err;
            return -1;
        }
        if (const int err = socket_error(fd); err != 0) {  // logged there
            errno = err;
            return -1;
        }
        uc->sspec.async_connect = 0;
    }
    return set_nblock(fd, 0);
}

// The numeric host of ss into num (USOCK_HOST_NUM_SIZE); left empty when
// it has none.
void numeric_host(const sockaddr_storage *ss, socklen_t len, char *num) noexcept
{
    if (len == 0 || getnameinfo(reinterpret_cast<const sockaddr *>(ss), len, num,
                                USOCK_HOST_NUM_SIZE, nullptr, 0, NI_NUMERICHOST) != 0)
        num[0] = '\0';
}

// The source-specific source text auth ("host" or "host:port") with its
// host replaced by the numeric num, into out (room len).
const char *ssm_text(const char *auth, const char *num, char *out, size_t len) noexcept
{
    const char *colon = ends_with_port(auth) ? strrchr(auth, ':') : nullptr;
    const bool v6 = strchr(num, ':') != nullptr;
    if (!colon)
        snprintf(out, len, "%s", num);
    else
        snprintf(out, len, v6 ? "[%s]%s" : "%s%s", num, colon);
    return out;
}

}  // namespace

void usock_set_apptag(const char *apptag) noexcept
{
    lfx_assert(apptag);
    snprintf(g_apptag, sizeof(g_apptag), "%s", apptag);
}

int usock_open(const char *url, usock_ctx *uc) noexcept
{
    static constexpr const char *fn = "usock_open";
    lfx_assert(uc);
    char scheme[URI_SCHEME_MAX], auth[URI_AUTH_MAX], path[URI_PATH_MAX], query[URI_QUERY_MAX];
    const int kind = uri_extract(url, scheme, auth, path, query);
    uc->url_kind = kind;
    // uri_extract empties every piece of a URL it cannot parse; an unknown
    // scheme keeps its pieces and is refused below.
    if (kind == URI_BAD && !scheme[0]) return -1;

    lfx_assert(!uc->url_path);
    uc->url_path = strdup(path);
    lfx_assert(uc->url_path);
    uc->non_pollable = false;

    if (kind == URI_FILE) {
        const int fd = W_open(fn, uc->url_path, O_RDONLY, 0);
        if (fd < 0) return fail_open(-1, uc);
        uc->non_pollable = true;
        log_dbg("%s: fd%d FILE [%s]\n", fn, fd, uc->url_path);
        return fd;
    }
    if (kind != URI_TCP && kind != URI_UDP && kind != URI_RTP && kind != URI_HTTP) {
        log_err("%s: unsupported type of URI [%s]\n", fn, url);
        return fail_open(-1, uc);
    }

    char host[SADDR_HOST_SIZE], port[SADDR_SERV_SIZE];
    if (!uri_path_addrport(uc->url_path, URI_PATH_MAX, host, sizeof(host), port, sizeof(port)) ||
        !host[0]) {
        log_err("%s: no host in URI [%s]\n", fn, url);
        return fail_open(-1, uc);
    }
    if (kind == URI_HTTP && !port[0]) {
        memcpy(port, HTTP_DEFAULT_PORT, sizeof(HTTP_DEFAULT_PORT));
        log_dbg("%s: assuming HTTP port %s for [%s]\n", fn, port, url);
    }

    const bool stream = kind == URI_TCP || kind == URI_HTTP;
    uc->sspec = socket_spec{};
    uc->sspec.writer = !uc->inbound;
    uc->sspec.non_blocking = uc->non_blocking;
    uc->sspec.socktype = stream ? SOCK_STREAM : SOCK_DGRAM;
    if (stream) {
        uc->buf = static_cast<char *>(W_calloc(fn, 1, USOCK_BUF_SIZE));
        if (!uc->buf) return fail_open(-1, uc);
        uc->bufcap = USOCK_BUF_SIZE;
        uc->buflen = 0;
    }
    const char *src = nullptr;
    if (!stream && uc->inbound && auth[0]) {
        src = auth;
        log_dbg("%s: SSM source=[%s]\n", fn, src);
    }

    // A blocking stream connects without blocking and waits for the
    // connection in poll() for a bounded time: a blocking connect to a host
    // that drops the SYNs would wait through every retry.
    const bool bounded_connect = stream && !uc->non_blocking;
    if (bounded_connect) uc->sspec.non_blocking = 1;
    char ssm[USOCK_HOST_NUM_SIZE + SADDR_SERV_SIZE + 3];
    if (src && uc->ssm_num[0]) src = ssm_text(src, uc->ssm_num, ssm, sizeof ssm);
    const int fd = open_socket(uc->host_num[0] ? uc->host_num : host, port, src, &uc->sspec,
                               uc->ifc_tag, &uc->mifc);
    if (fd < 0) return fail_open(-1, uc);
    if (!uc->host_num[0])
        numeric_host(&uc->sspec.addr_ss, uc->sspec.addr_len, uc->host_num);
    if (uc->sspec.is_ssm && !uc->ssm_num[0])
        numeric_host(&uc->sspec.src_ss, uc->sspec.src_len, uc->ssm_num);
    if (bounded_connect && finish_connect(fd, url, uc) != 0) return fail_open(fd, uc);
    if (!uc->non_blocking && uc->timeout_ms > 0) {
        const int rc = uc->inbound ? set_rcv_timeout(fd, uc->timeout_ms)
                                   : set_send_timeout(fd, uc->timeout_ms);
        if (rc != 0) return fail_open(fd, uc);
    }
    if (kind == URI_HTTP && !uc->skip_http) {
        if (fwd_http_rq(fd, url, g_apptag, uc->http_flags) != 0) return fail_open(fd, uc);
        if (get_http_response(fd, uc->buf, uc->bufcap, &uc->buflen) != 0)
            return fail_open(fd, uc);
    }
    return fd;
}

void usock_close(int fd, usock_ctx *uc) noexcept
{
    if (uc) {
        if (fd >= 0 && uc->sspec.multicast && !uc->sspec.writer)
            mcast_leave(fd, reinterpret_cast<const sockaddr *>(&uc->sspec.addr_ss), uc->mifc);
        free(uc->url_path);
        free(uc->mifc);
        free(uc->buf);
        uc->url_path = nullptr;
        uc->mifc = nullptr;
        uc->buf = nullptr;
        uc->bufcap = 0;
        uc->buflen = 0;
    }
    if (fd >= 0) W_close("usock_close", fd);
}

int fwd_http_rq(int sockfd, const char *uri, const char *apptag, uint32_t flags) noexcept
{
    if (g_usock_flags.use_http10_get) flags |= RQFLAG_HTTP10_GET;
    return send_http_get_target("fwd_http_rq", sockfd, uri, apptag, flags, USOCK_TARGET_MAX);
}

int get_http_response(int sockfd, char *tail, size_t tail_cap, size_t *tail_size) noexcept
{
    static constexpr const char *fn = "get_http_response";
    lfx_assert(tail_size && (tail || tail_cap == 0));
    *tail_size = 0;
    log_dbg("%s: reading HTTP response from fd=%d\n", fn, sockfd);
    const clock_type::time_point start = clock_type::now();
    const int nb = is_non_blocking(sockfd);
    if (nb < 0) return -1;
    // A blocking socket waits through poll() for the rest of the limit, so
    // that a server that stops in the middle of its head cannot hold the
    // open for longer (a blocking read could wait for ever).
    if (!nb && set_nblock(sockfd, 1) != 0) return -1;

    char buf[USOCK_RESP_SIZE];
    http_resp_ctx ctx{};
    int rc;
    for (;;) {
        rc = recv_http_response(sockfd, buf, sizeof(buf), &ctx);
        if (rc != 11) break;
        log_dbg("%s: expecting more data from fd%d\n", fn, sockfd);
        if (nb) break;
        const long left = USOCK_HTTP_WAIT_MS - ms_since(start);
        if (left <= 0) {
            log_err("%s: no complete HTTP response from fd%d within %d ms\n", fn, sockfd,
                    USOCK_HTTP_WAIT_MS);
            rc = -1;
            break;
        }
        if (poll_on_socket(sockfd, POLLIN, int(left)) < 0) {
            rc = -1;
            break;
        }
    }
    if (!nb && set_nblock(sockfd, 0) != 0) rc = -1;

    if (rc == 0 && ctx.code != HTTP_OK_CODE) {
        log_err("%s: expected HTTP %d, got HTTP %d\n", fn, HTTP_OK_CODE, ctx.code);
        rc = -1;
    }
    if (rc == 0 && ctx.total > ctx.tail) {
        const size_t n = size_t(ctx.total - ctx.tail);
        if (n > tail_cap) {
            log_err("%s: tail for fd%d is too big: %ld bytes, skipping\n", fn, sockfd, long(n));
        } else {
            memcpy(tail, buf + ctx.tail, n);
            *tail_size = n;
            log_dbg("%s: response for fd%d has a tail of %lu bytes\n", fn, sockfd,
                    static_cast<unsigned long>(n));
        }
    }
    reset_resp_ctx(&ctx);
    return rc;
}

int usock_http_get(int sockfd, const char *uri, uint32_t flags) noexcept
{
    return fwd_http_rq(sockfd, uri, g_apptag, flags);
}

int usock_http_get_response(int sockfd, http_resp_buf *resp) noexcept
{
    static constexpr const char *fn = "usock_http_get_response";
    lfx_assert(resp && resp->buf && resp->len > 0);
    log_dbg("%s: reading HTTP response from fd=%d\n", fn, sockfd);
    http_resp_ctx &ctx = resp->ctx;
    // The last byte of the buffer is kept for the terminator: a head that
    // has filled the rest without its end can never be complete.
    auto full = [&] { return ctx.tail <= 0 && (ctx.total < 0 || size_t(ctx.total) + 1 >= resp->len); };
    if (full()) {
        log_err("%s: buffer is full, size=%ld\n", fn, long(resp->len));
        return E2BIG;
    }

    const int rc = recv_http_response(sockfd, resp->buf, resp->len, &ctx);
    if (rc == 0) {
        if (ctx.code < HTTP_OK_CODE || ctx.code > HTTP_OK_END) {
            log_warn("%s: expected HTTP %d-%d, got HTTP %d\n", fn, HTTP_OK_CODE, HTTP_OK_END,
                     ctx.code);
            return EACCES;
        }
        if (ctx.total - ctx.tail > 0)
            log_dbg("%s: got HTTP tail of %ld bytes from fd%d\n", fn, long(ctx.total - ctx.tail),
                    sockfd);
        return 0;
    }
    if (rc == EAGAIN) {
        log_dbg("%s: [%ld bytes] in, expecting more data from fd%d\n", fn, long(ctx.total), sockfd);
        return EAGAIN;
    }
    if (full()) {
        log_err("%s: buffer is full, size=%ld\n", fn, long(resp->len));
        return E2BIG;
    }
    log_err("%s: err=%d getting HTTP response from fd%d\n", fn, rc, sockfd);
    return rc;
}

int usock_http_get_body(int sockfd, http_body_buf *bb) noexcept
{
    static constexpr const char *fn = "usock_http_get_body";
    lfx_assert(bb);
    while (bb->data_len < bb->buf_size) {
        errno = 0;
        const ssize_t n = nread(sockfd, bb->data + bb->data_len, bb->buf_size - bb->data_len, 0);
        const int err = errno;
        if (n > 0) bb->data_len += size_t(n);
        log_dbg("%s: read(fd%d..) %ld bytes, %ld left to read\n", fn, sockfd, long(n),
                long(bb->buf_size - bb->data_len));
        if (n <= 0) return err == EAGAIN ? EAGAIN : err ? err : -1;
    }
    log_dbg("%s: complete at %lu bytes\n", fn, static_cast<unsigned long>(bb->data_len));
    return 0;
}
