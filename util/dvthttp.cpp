// The HTTP exchange of dvt/dvs: the client's request and its check of the
// answer, the server's check of the request and its answer.  Heads are read
// whole (up to a bound); bytes that came with a head are kept as the first
// data of the transfer.
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "dvt.h"
#include "fdio.h"
#include "log.h"
#include "txtesc.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// Offset just past the blank line that ends a head in buf, or 0.
size_t head_end(const char *buf, size_t len) noexcept
{
    const void *crlf = memmem(buf, len, "\r\n\r\n", 4);
    const void *lf = memmem(buf, len, "\n\n", 2);
    size_t end = 0;
    if (crlf) end = size_t(static_cast<const char *>(crlf) - buf) + 4;
    if (lf) {
        const size_t e = size_t(static_cast<const char *>(lf) - buf) + 2;
        if (!end || e < end) end = e;
    }
    return end;
}

// Reads a head into buf (room bytes, plus one for the NUL written after
// them) until its blank line, the room is full, or the peer stops.  A
// complete first line without "HTTP/" ends the reading at once: such a peer
// is refused on it, so it is not waited for.  The bytes read (*head_len of
// them the head), or the failed read's 0 / -1 when nothing came.
ssize_t read_head(int sock, char *buf, size_t room, size_t *head_len) noexcept
{
    size_t got = 0;
    buf[0] = '\0';
    while (got < room) {
        errno = 0;
        const ssize_t n = nread(sock, buf + got, room - got, 0);
        if (n <= 0) {
            if (got == 0) return n;
            break;
        }
        got += size_t(n);
        buf[got] = '\0';
        if (const size_t end = head_end(buf, got)) {
            *head_len = end;
            return ssize_t(got);
        }
        const void *nl = memchr(buf, '\n', got);
        if (nl && !memmem(buf, size_t(static_cast<const char *>(nl) - buf), "HTTP/", 5)) break;
    }
    *head_len = got;
    return ssize_t(got);
}

// An answer's status line, without its line end.
struct status_line {
    int major, minor, status;
    std::string_view reason;  // may be empty
};

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Reads "HTTP/d.d ddd", then nothing or a blank and a reason phrase,
// which may be empty.  false for anything else.
bool parse_status_line(std::string_view line, status_line *sl) noexcept
{
    constexpr std::string_view proto = "HTTP/";
    constexpr size_t code_at = proto.size() + 4, code_end = code_at + 3;
    if (line.size() < code_end || line.substr(0, proto.size()) != proto) return false;
    const std::string_view v = line.substr(proto.size(), 4);
    if (!is_digit(v[0]) || v[1] != '.' || !is_digit(v[2]) || v[3] != ' ') return false;
    int status = 0;
    for (size_t i = code_at; i < code_end; ++i) {
        if (!is_digit(line[i])) return false;
        status = status * 10 + (line[i] - '0');
    }
    if (line.size() > code_end && line[code_end] != ' ') return false;
    *sl = {v[0] - '0', v[2] - '0', status,
           line.size() > code_end ? line.substr(code_end + 1) : std::string_view()};
    return true;
}

// Keeps the bytes after a head for the reader.
void keep_rest(const char *data, size_t len) noexcept
{
    g_http_rest.len = std::min(len, sizeof(g_http_rest.buf));
    if (g_http_rest.len) memcpy(g_http_rest.buf, data, g_http_rest.len);
}

// Reports a read that gave nothing; -1.
int read_failed(const char *fn, int sock, ssize_t n) noexcept
{
    if (n == 0 || errno == ECONNRESET)
        log_err("%s: client [fd=%d] connection broken\n", fn, sock);
    else if (errno == EAGAIN)
        log_err("%s: timed out waiting to read from fd=%d\n", fn, sock);
    return -1;
}

// "host:port" of the connected address ("[host]:port" for IPv6, so that the
// port stays apart), or of the -a text when there is none.  -1 when the
// text does not fit.
int host_text(const char *fn, const char *address, const char *port, char *buf, size_t size) noexcept
{
    char host[NI_MAXHOST] = "";
    const auto *sa = reinterpret_cast<const sockaddr *>(&g_addr_ss);
    const bool have_peer = g_addr_len > 0 &&
                           getnameinfo(sa, g_addr_len, host, sizeof(host), nullptr, 0,
                                       NI_NUMERICHOST) == 0;
    const bool v6 = have_peer && sa->sa_family == AF_INET6;
    const char *name = have_peer ? host : address ? address : "";
    const int need = port ? snprintf(buf, size, v6 ? "[%s]:%s" : "%s:%s", name, port)
                          : snprintf(buf, size, v6 ? "[%s]" : "%s", name);
    if (need < 0 || size_t(need) >= size) {
        fprintf(stderr, "%s: host buffer is too small, %d bytes needed\n", fn, need + 1);
        return -1;
    }
    return 0;
}

}  // namespace

int fwd_http_request(int sock, const char *address, const char *port, const char *uri) noexcept
{
    static constexpr const char *fn = "fwd_http_request";
    char host[128];
    if (host_text(fn, address, port, host, sizeof(host)) != 0) return -1;

    char rq[512];
    const int len = snprintf(rq, sizeof(rq),
                             "%s /%s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\nUser-Agent: "
                             "%s\r\nAccept: text/html,video/*, application/*\r\nAccept-Language: "
                             "en-US,en,ru\r\nAccept-Charset: ISO-8859-1,UTF-8\r\nCache-Control: "
                             "no-cache\r\n\r\n",
                             (g_cfg.mode & M_HEAD) ? "HEAD" : "GET", uri ? uri : "", host,
                             DVT_SERVER);
    if (len < 0 || size_t(len) >= sizeof(rq)) {
        fprintf(stderr, "%s: buffer is too small, %d bytes required.\n", fn, len + 1);
        return -1;
    }
    const ssize_t n = nwrite(sock, rq, size_t(len), 0);
    if (n == len) {
        log_dbg("%s: sent %ld bytes to fd=%d:\n%s\n", fn, long(n), sock, rq);
        return 0;
    }
    if (n > 0)
        log_warn("%s: only %ld out of %d bytes sent to fd=%d\n", fn, long(n), len, sock);
    else
        log_err("%s: error sending HTTP response to fd=%d\n", fn, sock);
    return -1;
}

int get_http_response(int sock) noexcept
{
    static constexpr const char *fn = "get_http_response";
    char head[HTTP_RSP_HEAD_MAX + 1];
    size_t hlen = 0;
    const ssize_t n = read_head(sock, head, HTTP_RSP_HEAD_MAX, &hlen);
    if (n <= 0) return read_failed(fn, sock, n);
    log_dbg("%s: read %ld bytes:\n%s\n", fn, long(n), esc_str(head, hlen).c_str());
    const std::string_view got(head, size_t(n));
    const size_t nl = got.find('\n');
    std::string_view line = got.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    status_line sl{};
    if (nl != got.npos && !parse_status_line(line, &sl)) {
        log_err("%s: malformed status line: %s\n", fn, esc_str(line.data(), line.size()).c_str());
        return -1;
    }
    // The rest of a head that did not end within the buffer is no test
    // data: only a whole head leads to the transfer.
    if (head_end(head, size_t(n)) == 0) {
        if (size_t(n) >= HTTP_RSP_HEAD_MAX)
            log_err("%s: answer head longer than %zu bytes\n", fn, HTTP_RSP_HEAD_MAX);
        else
            log_err("%s: answer head cut short after %zu bytes\n", fn, size_t(n));
        return -1;
    }
    const esc_str reason(sl.reason.data(), sl.reason.size());
    log_dbg("Status: HTTP/%d.%d %d %s\n", sl.major, sl.minor, sl.status, reason.c_str());
    // Only a success leads to the transfer: the body of an error answer
    // is no test data, and counting it would report a failure as success.
    if (sl.status < 200 || sl.status > 299) {
        log_err("%s: server answered %d%s%s\n", fn, sl.status, sl.reason.empty() ? "" : " ",
                reason.c_str());
        return -1;
    }
    keep_rest(head + hlen, size_t(n) - hlen);
    return 0;
}

int inbound_http_request(int sock) noexcept
{
    static constexpr const char *fn = "inbound_http_request";
    char head[HTTP_RQ_HEAD_MAX + 1];
    size_t hlen = 0;
    const ssize_t n = read_head(sock, head, HTTP_RQ_HEAD_MAX, &hlen);
    if (n <= 0) return read_failed(fn, sock, n);
    keep_rest(head + hlen, size_t(n) - hlen);
    head[hlen] = '\0';
    log_dbg("%s: read %ld bytes:\n%s\n", fn, long(n), head);

    if (!memmem(head, hlen, "HTTP/", 5)) {
        log_err("%s: not an HTTP request, quitting.\n", fn);
        g_http_rest.len = 0;
        return -1;
    }
    g_cfg.mode &= ~uint32_t(M_HEAD);
    if (strncmp(head, "HEAD ", 5) == 0) {
        g_cfg.mode |= M_HEAD;
        log_dbg("%s HTTP HEAD request\n", fn);
    }
    return fwd_http_response(sock, 200, "OK");
}

int fwd_http_response(int sock, int code, const char *reason) noexcept
{
    static constexpr const char *fn = "fwd_http_response";
    char rsp[1024];
    const int len = snprintf(rsp, sizeof(rsp), "HTTP/1.1 %d %s\r\nServer: %s\r\n%s\r\n\r\n", code,
                             reason, DVT_SERVER, DVT_CONTENT_TYPE);
    if (len < 0 || size_t(len) >= sizeof(rsp)) {
        fprintf(stderr, "%s: buffer is too small, %d bytes required.\n", fn, len + 1);
        return -1;
    }
    const ssize_t n = nwrite(sock, rsp, size_t(len), 0);
    if (n <= 0) {
        log_err("%s: error sending HTTP response to fd=%d\n", fn, sock);
        return -1;
    }
    if (n < len)
        log_warn("%s: only %ld out of %ld bytes sent to fd=%d\n", fn, long(n), long(len), sock);
    log_dbg("HTTP response sent:\n%s\n", rsp);
    return 0;
}
