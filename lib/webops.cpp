#include "webops.h"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "app.globals.h"
#include "fdio.h"
#include "log.h"
#include "netaddr.h"
#include "syswrap.h"
#include "txtesc.h"

LOG_MODULE(LM_DEFAULT);

http_response g_resp_ok = {200, nullptr, -1, "OK", nullptr, nullptr, nullptr, nullptr};
http_response g_resp_bad = {400, nullptr, 0, "Bad request", nullptr, nullptr, nullptr, nullptr};
http_response g_resp_denied = {403, nullptr, 0, "Forbidden", nullptr, "close", nullptr, nullptr};
http_response g_resp_nfound = {404, nullptr, 0, "Not Found", nullptr, "close", nullptr, nullptr};
http_response g_resp_timeout = {408,     nullptr, 0,       "Request Timeout",
                                nullptr, "close", nullptr, nullptr};
http_response g_resp_tmoved = {302,     nullptr, 0,       "Moved Temporarily",
                               nullptr, "close", nullptr, nullptr};
http_response g_resp_err = {500, nullptr, 0, "Service error", nullptr, "close", nullptr, nullptr};
http_response *g_resp = nullptr;

namespace {

using sv = std::string_view;
constexpr size_t NPOS = sv::npos;

constexpr size_t RESP_BUF_SIZE = 4096;
constexpr size_t HOST_BUF_SIZE = 128;
constexpr size_t RQ_BUF_SIZE = 2048;
constexpr size_t GET_TARGET_SIZE = 639;
constexpr size_t HDR_LINE_MAX = 126;     // longest optional header line of an answer
constexpr size_t HOST_KEEP = 62;         // characters of Host kept
constexpr size_t UAG_KEEP = 126;         // characters of User-Agent kept
constexpr size_t CTYPE_KEEP = MAX_HTTP_CTYPE - 1;
constexpr size_t CLEN_MAX = 15;          // characters of a Content-Length value
constexpr size_t NUM_HDR_MAX = 31;       // characters of a numeric header read
constexpr size_t LOG_EXCERPT = 80;       // characters of hostile text shown in a log line

bool is_blank(char c) noexcept
{
    return c == ' ' || c == '\t';
}

bool is_wspace(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool is_cntrl(char c) noexcept
{
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

bool is_digit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

bool iequals(sv a, sv b) noexcept
{
    return a.size() == b.size() && (a.empty() || strncasecmp(a.data(), b.data(), a.size()) == 0);
}

bool istarts(sv text, sv pfx) noexcept
{
    return text.size() >= pfx.size() && iequals(text.substr(0, pfx.size()), pfx);
}

// A view of at most len bytes of text that ends at its first NUL.
sv bounded(const char *text, size_t len) noexcept
{
    return text ? sv(text, strnlen(text, len)) : sv();
}

// At most max bytes of s (up to an embedded NUL) for log lines, escaped
// (esc_text): network text is never handed to printf unbounded, nor with
// a line end or a control character in it.
std::string excerpt(sv s, size_t max = LOG_EXCERPT)
{
    s = s.substr(0, max);
    s = s.substr(0, s.find('\0'));
    std::string out(4 * s.size() + 8, '\0');
    esc_text(s.data(), s.size(), out.data(), out.size());
    out.resize(strlen(out.c_str()));
    return out;
}

// Copies s into buf (room size) and terminates it; s must fit.
void put(char *buf, size_t size, sv s) noexcept
{
    lfx_assert(s.size() < size);
    if (!s.empty()) memcpy(buf, s.data(), s.size());
    buf[s.size()] = '\0';
}

// The header whose line starts with name (any case): its value, which
// follows the name, one optional extra ':' and at least one white-space
// character (blanks skipped, never a line end), and runs to its CR or LF.
// Only the first line that starts with name counts.
const char *find_header(sv name, sv text, size_t *vlen) noexcept
{
    *vlen = 0;
    if (name.empty()) return nullptr;
    size_t pos = 0;
    for (;;) {
        if (istarts(text.substr(pos), name)) break;
        const size_t nl = text.find('\n', pos);
        if (nl == NPOS) return nullptr;
        pos = nl + 1;
    }
    size_t p = pos + name.size();
    if (p < text.size() && text[p] == ':') ++p;
    if (p >= text.size() || !is_wspace(text[p])) return nullptr;
    while (p < text.size() && is_blank(text[p])) ++p;
    const size_t v = p;
    while (p < text.size() && !is_cntrl(text[p])) ++p;
    if (p >= text.size() || (text[p] != '\r' && text[p] != '\n')) return nullptr;
    *vlen = p - v;
    return text.data() + v;
}

// What parse_head found besides the header record.
struct head_parts {
    sv url;
};

int parse_head(sv text, http_header *hdr, char *url, size_t url_size, head_parts *parts) noexcept
{
    static constexpr const char *fn = "parse_http_header";
    lfx_assert(hdr);
    *hdr = http_header{};
    if (url && url_size) url[0] = '\0';

    size_t m = text.find_first_of(" \t");
    if (m == NPOS) m = text.size();
    if (m < 3 || m > 7) {
        log_err("%s: failed to get HTTP method from %7s\n", fn, excerpt(text, 7).c_str());
        return -1;
    }
    const sv method = text.substr(0, m);
    if (iequals(method, "GET")) {
        hdr->type = RQTYPE_GET;
    } else if (iequals(method, "HEAD")) {
        hdr->type = RQTYPE_HEAD;
    } else {
        log_err("HTTP [%s] is NOT supported\n", excerpt(method).c_str());
        return 22;
    }

    size_t pos = m;
    while (pos < text.size() && is_blank(text[pos])) ++pos;
    const size_t ustart = pos;
    while (pos < text.size() && !is_wspace(text[pos]) && text[pos] != '\0') ++pos;
    const sv u = text.substr(ustart, pos - ustart);
    if (parts) parts->url = u;
    if (url && url_size > u.size()) {
        put(url, url_size, u);
        log_dbg("%s: full URL=[%s]\n", fn, excerpt(u, u.size()).c_str());
    }
    if (const int rc = uri_parse_len(u.data(), u.size(), &hdr->uri); rc != 0) {
        log_err("%s: failed to parse URL\n", fn);
        return rc;
    }

    while (pos < text.size() && is_blank(text[pos])) ++pos;
    const sv ver = text.substr(pos);
    constexpr size_t vlen = sizeof(HTTP_VER_PFX) - 1;
    if (!ver.empty() &&
        !(ver.size() > vlen && ver.substr(0, vlen) == HTTP_VER_PFX && is_digit(ver[vlen]))) {
        const sv got = ver.substr(0, ver.find_first_of("\r\n"));
        log_err("%s: expected [%s] to follow the URI path, got [%s]\n", fn, HTTP_VER_PFX,
                excerpt(got).c_str());
        return -1;
    }

    // The header lines: after the request line, up to the end of the head.
    const size_t nl = text.find('\n', pos);
    sv hv = nl == NPOS ? sv() : text.substr(nl + 1);
    hv = hv.substr(0, hv.find('\0'));
    if (hv.empty() || hv[0] == '\n' || hv.starts_with("\r\n")) {
        log_warn("%s: no header sections found\n", fn);
        return 0;
    }
    if (const size_t end = head_eod(hv.data(), hv.size())) hv = hv.substr(0, end);

    size_t len;
    if (const char *v = find_header("Host:", hv, &len)) {
        if (len < MAX_HOST_LEN)
            put(hdr->host, sizeof(hdr->host), sv(v, len < HOST_KEEP ? len : HOST_KEEP));
        else
            log_err("%s: Host length is too long: %lu\n", fn, static_cast<unsigned long>(len));
    }
    if (const char *v = find_header("User-Agent:", hv, &len)) {
        if (len > MAX_UAG_LEN - 1)
            log_warn("%s: User-Agent length is too long: %lu\n", fn,
                     static_cast<unsigned long>(len));
        put(hdr->user_agent, sizeof(hdr->user_agent), sv(v, len < UAG_KEEP ? len : UAG_KEEP));
        uri_encode(hdr->user_agent, MAX_UAG_LEN - 1);
    }
    return 0;
}

// Writes all of len bytes, as far as the descriptor takes them: MSG_NOSIGNAL
// on sockets (a peer that has gone must not raise SIGPIPE), a plain write
// on anything else.  The count written, or -1 when nothing was.
ssize_t write_all(const char *caller, int fd, const char *data, size_t len) noexcept
{
    size_t done = 0;
    bool sock = true;
    while (done < len) {
        ssize_t n;
        if (sock) {
            n = send(fd, data + done, len - done, MSG_NOSIGNAL);
            if (n == -1 && errno == ENOTSOCK) {
                sock = false;
                continue;
            }
            if (n == -1 && errno == EINTR && !g_quit) continue;
            if (n == -1 && !no_fault(errno, 0))
                log_err("%s: send(fd=%d, %zu bytes) ERROR(%d): %s\n", caller, fd, len - done,
                        errno, strerror(errno));
        } else {
            n = nwrite(fd, data + done, len - done, 0);
        }
        if (n <= 0) break;
        done += size_t(n);
    }
    return done ? ssize_t(done) : -1;
}

// sscanf("HTTP/%1d.%1d %d %63c") over one status line, without reading
// past it: the count of items converted.
int scan_status(sv line, int *major, int *minor, int *code, char reason[64]) noexcept
{
    size_t p = 0;
    auto skip_ws = [&] {
        while (p < line.size() && is_wspace(line[p])) ++p;
    };
    auto one_digit = [&](int *out) {
        skip_ws();
        if (p >= line.size() || !is_digit(line[p])) return false;
        *out = line[p++] - '0';
        return true;
    };
    if (!line.starts_with("HTTP/")) return 0;
    p = 5;
    if (!one_digit(major)) return 0;
    if (p >= line.size() || line[p] != '.') return 1;
    ++p;
    if (!one_digit(minor)) return 1;
    skip_ws();
    bool neg = false;
    if (p < line.size() && (line[p] == '-' || line[p] == '+')) neg = line[p++] == '-';
    if (p >= line.size() || !is_digit(line[p])) return 2;
    long v = 0;
    while (p < line.size() && is_digit(line[p])) {
        v = v * 10 + (line[p++] - '0');
        if (v > INT_MAX) return 2;
    }
    *code = int(neg ? -v : v);
    skip_ws();
    if (p >= line.size()) return 3;
    const sv r = line.substr(p, 63);
    memcpy(reason, r.data(), r.size());
    reason[r.size()] = '\0';
    return 4;
}

// An HTTP source's URL made fit to stand in a request line: every blank,
// control byte and byte beyond ASCII becomes "%HH", so that the line keeps
// its three parts.  Other URLs are left as they are (the request parser
// refuses raw bytes in them).  0, or E2BIG (text unchanged) when the
// result does not fit in size - 1 characters.
int encode_target_bytes(char *text, size_t size) noexcept
{
    if (!istarts(text, "http://")) return 0;
    const size_t n = strlen(text);
    size_t need = n;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c >= 0x7f) need += 2;
    }
    if (need == n) return 0;
    if (need >= size) return E2BIG;
    static constexpr char HEX[] = "0123456789ABCDEF";
    text[need] = '\0';
    for (size_t r = n, w = need; r-- > 0;) {
        const auto c = static_cast<unsigned char>(text[r]);
        if (c <= 0x20 || c >= 0x7f) {
            text[--w] = HEX[c & 0xf];
            text[--w] = HEX[c >> 4];
            text[--w] = '%';
        } else {
            text[--w] = char(c);
        }
    }
    return 0;
}

}  // namespace

// --- reading and parsing request heads ------------------------------------------

size_t head_eod(const char *buf, size_t len) noexcept
{
    if (!buf) return 0;
    for (size_t p = 0; p < len; ++p) {
        const void *hit = memchr(buf + p, '\n', len - p);
        if (!hit) return 0;
        p = size_t(static_cast<const char *>(hit) - buf);
        if (p + 1 < len && buf[p + 1] == '\n') return p + 2;
        if (p >= 1 && buf[p - 1] == '\r' && p + 2 < len && buf[p + 1] == '\r' &&
            buf[p + 2] == '\n')
            return p + 3;
    }
    return 0;
}

ssize_t read_http(int fd, char *buf, size_t buflen, size_t offset, ssize_t *tail) noexcept
{
    lfx_assert(buf);
    const size_t room = offset < buflen ? buflen - offset : 0;
    const ssize_t n = nread(fd, buf + offset, room, 0);
    if (n > 0) {
        const size_t end = head_eod(buf, offset + size_t(n));
        if (end) {
            if (tail) *tail = ssize_t(end);
            log_dbg("%s: HTTP EOD marker found at pos=%ld\n", __func__, long(end));
        } else {
            // A head in pieces is a client's choice: one line per read at
            // a level above DEBUG would let a client trickle the log full.
            log_dbg("%s: fd=%d, no HTTP EOD marker found, %ld bytes read.\n", __func__, fd,
                    long(n));
        }
    }
    return n;
}

int parse_http_header(const char *text, size_t len, http_header *hdr, char *url,
                      size_t url_size) noexcept
{
    return parse_head(text ? sv(text, len) : sv(), hdr, url, url_size, nullptr);
}

const char *find_http_header(const char *name, const char *text, size_t *len) noexcept
{
    size_t n = 0;
    const char *v = name && text ? find_header(name, text, &n) : nullptr;
    if (len) *len = n;
    return v;
}

int web_parse_urq(const char *http, size_t hlen, char *src, char *dst, size_t ulen,
                  http_header *hdr) noexcept
{
    static constexpr const char *fn = "web_parse_urq";
    lfx_assert(src && dst && ulen > 0);
    src[0] = dst[0] = '\0';

    http_header h;
    head_parts parts;
    if (const int rc = parse_head(http ? sv(http, hlen) : sv(), &h, nullptr, 0, &parts); rc != 0)
        return rc;
    if (hdr) *hdr = h;
    const std::string url = excerpt(parts.url, parts.url.size());  // escaped

    if (!h.uri.path) {
        log_err("%s: no path in URL [%s]\n", fn, url.c_str());
        return -1;
    }
    if (h.uri.q_len > MAX_URQ_QUERY) {
        log_err("%s: URI query length (%lu bytes) is beyond the limit: %lu\n", fn,
                static_cast<unsigned long>(h.uri.q_len),
                static_cast<unsigned long>(MAX_URQ_QUERY + 1));
        return -7;
    }
    const std::string query = h.uri.query ? std::string(h.uri.query, h.uri.q_len) : std::string();
    const std::string path(h.uri.path, h.uri.p_len);
    log_dbg("%s: URI path=[%s], query=[%s]\n", fn, excerpt(path, path.size()).c_str(),
            excerpt(query, query.size()).c_str());

    if (strcasecmp(path.c_str(), HTTP_FAVICON_RQ) == 0) {
        log_dbg("%s: favicon request received.\n", fn);
        return RC_FAVICON;
    }
    if (is_ping_request(path.c_str())) {
        log_info("Handling user-side PING request\n");
        return RC_PING;
    }

    if (const int rc = uri_extract_endpts(path.c_str(), src, ulen, dst, ulen); rc != 0) {
        log_err("%s: error(%d) parsing request data [%s]\n", fn, rc,
                excerpt(path, path.size()).c_str());
        return -1;
    }
    // A source written with its scheme ("http://h/a%20b") is taken as
    // written: its path and query reach the origin as the client wrote
    // them.  One written percent-encoded as a whole is decoded once.
    // Decoding keeps every byte, so texts that differ stay apart; an
    // escaped NUL would end the text early and is refused.
    // A malformed escape is refused in either: in a source kept as written
    // too, where its origin or resolver would make something else of it.
    const bool src_raw = strstr(src, "://") != nullptr;
    if ((src_raw ? !uri_escapes_ok(src) : !uri_decode_exact(src, ulen)) ||
        !uri_decode_exact(dst, ulen)) {
        log_err("%s: error URI-decoding\n", fn);
        src[0] = dst[0] = '\0';
        return -1;
    }
    if (encode_target_bytes(src, ulen) != 0) {
        log_err("%s: source too long once encoded, max=%ld bytes, discarding request\n", fn,
                long(ulen) - 1);
        src[0] = dst[0] = '\0';
        return 7;
    }
    log_dbg("%s: URI=[%s] - src=[%s], dst=[%s]\n", fn, url.c_str(), esc_str(src).c_str(),
            esc_str(dst).c_str());
    return 0;
}

bool slash_match(const char *path, const char *word) noexcept
{
    if (!path || !word) return false;
    sv p(path);
    if (!p.empty() && p[0] == '/') p.remove_prefix(1);
    const sv w(word);
    if (!istarts(p, w)) return false;
    const sv rest = p.substr(w.size());
    return rest.empty() || rest == "/";
}

bool is_ping_request(const char *path) noexcept
{
    return slash_match(path, "ping");
}

bool is_blank_null(const char *text) noexcept
{
    return !text || !*text || *text == '\t' || *text == '\r' || *text == '\n' || *text == ' ';
}

// --- answers ---------------------------------------------------------------------

int mk_http_response(const http_response *r, char *buf, size_t size) noexcept
{
    lfx_assert(r && r->code && r->reason && r->server);
    lfx_assert(buf);
    int n = snprintf(buf, size, "HTTP/1.1 %d %s\r\nServer: %s\r\n", r->code, r->reason, r->server);
    if (n < 0 || size_t(n) >= size) return -1;
    size_t pos = size_t(n);

    // Each optional line is rendered apart: too long, it is left out; not
    // fitting the rest of the buffer, it fails the answer.
    char line[HDR_LINE_MAX + 2];
    auto add = [&](int len) {
        if (len < 0) return false;
        if (size_t(len) > HDR_LINE_MAX) return true;
        if (pos + size_t(len) >= size) return false;
        memcpy(buf + pos, line, size_t(len) + 1);
        pos += size_t(len);
        return true;
    };
    if (r->content_type && *r->content_type &&
        !add(snprintf(line, sizeof(line), "Content-Type: %s\r\n", r->content_type)))
        return -1;
    if (r->content_length >= 0 &&
        !add(snprintf(line, sizeof(line), "Content-Length: %lu\r\n",
                      static_cast<unsigned long>(r->content_length))))
        return -1;
    if (r->connection && *r->connection &&
        !add(snprintf(line, sizeof(line), "Connection: %s\r\n", r->connection)))
        return -1;
    if (r->location && *r->location &&
        !add(snprintf(line, sizeof(line), "Location: %s\r\n", r->location)))
        return -1;

    if (r->code == HTTP_OK_CODE && r->ok_suffix && *r->ok_suffix) {
        n = snprintf(buf + pos, size - pos, "%s\r\n", r->ok_suffix);
        if (n < 0 || size_t(n) >= size - pos) return -1;
        pos += size_t(n);
    }
    if (size - pos < 3) return -1;
    memcpy(buf + pos, "\r\n", 3);
    return int(pos + 2);
}

int send_http_response(int fd, const http_response *r) noexcept
{
    static constexpr const char *fn = "send_http_response";
    static char text[RESP_BUF_SIZE];
    const int len = mk_http_response(r, text, sizeof(text));
    if (len < 0) {
        log_err("%s: error compiling HTTP response for fd=%d\n", fn, fd);
        return -1;
    }
    const ssize_t sent = write_all(fn, fd, text, size_t(len));
    if (sent <= 0) {
        log_err("%s: error sending HTTP response to fd=%d\n", fn, fd);
        return -1;
    }
    if (sent < len) {
        log_warn("%s: only %ld out of %ld bytes sent to fd=%d\n", fn, long(sent), long(len), fd);
        return 0;
    }
    log_dbg("%s: sent HTTP response (%ld bytes) to fd=%d:\n%s\n", fn, long(sent), fd, text);
    return 0;
}

http_response *match_http_response(int code) noexcept
{
    http_response *const table[] = {&g_resp_ok,      &g_resp_tmoved,  &g_resp_bad, &g_resp_denied,
                                    &g_resp_nfound, &g_resp_timeout, &g_resp_err};
    for (http_response *r : table)
        if (r->code == code) return r;
    return nullptr;
}

// --- outgoing requests -----------------------------------------------------------

int send_http_request(int fd, const http_request *r) noexcept
{
    static constexpr const char *fn = "send_http_request";
    static char host[HOST_BUF_SIZE];
    static char text[RQ_BUF_SIZE];
    lfx_assert(r);
    if (r->type != RQTYPE_GET) {
        log_err("%s: only GET requests are currently supported.\n", fn);
        return -1;
    }
    const char *addr = r->host_addr && *r->host_addr ? r->host_addr : LOCALHOST_ADDR;
    int n = is_blank_null(r->host_port)
                ? snprintf(host, sizeof(host), "%s", addr)
                : snprintf(host, sizeof(host), "%s:%s", addr, r->host_port);
    if (n < 0 || size_t(n) > sizeof(host) - 2) {
        log_err("%s: host buffer is too small, %d bytes needed\n", fn, n + 1);
        return -1;
    }

    const char *target = r->request ? r->request : "";
    n = snprintf(text, sizeof(text),
                 "GET %s%s HTTP/%s\r\nHost: %s\r\nConnection: %s\r\nUser-Agent: %s\r\nAccept: "
                 "text/html,video/*, application/*\r\nAccept-Language: en-US,en,ru\r\n"
                 "Accept-Charset: ISO-8859-1,UTF-8\r\nCache-Control: no-cache\r\n\r\n",
                 target[0] == '/' ? "" : "/", target,
                 (r->flags & RQFLAG_HTTP10_GET) ? "1.0" : "1.1", host,
                 (r->flags & RQFLAG_KEEPALIVE) ? "keep-alive" : "close",
                 r->server ? r->server : "");
    if (n < 0 || size_t(n) > sizeof(text) - 2) {
        log_err("%s: buffer is too small, %d bytes required.\n", fn, n + 1);
        return -1;
    }

    const ssize_t sent = write_all(fn, fd, text, size_t(n));
    if (sent <= 0) {
        log_err("%s: error sending HTTP request to fd=%d\n", fn, fd);
        return -1;
    }
    if (sent < n) {
        log_warn("%s: only %ld out of %d bytes sent to fd=%d\n", fn, long(sent), n, fd);
        return -1;
    }
    log_dbg("%s: sent %ld bytes to fd=%d:\n%s", fn, long(sent), fd, text);
    return 0;
}

int send_http_get_target(const char *fn, int fd, const char *url, const char *agent,
                         uint32_t flags, size_t max_target) noexcept
{
    char scheme[URI_SCHEME_MAX], path[URI_PATH_MAX], query[URI_QUERY_MAX];
    // Any scheme will do: a kind this library does not open is no reason
    // not to ask for the resource.
    if (uri_extract(url, scheme, nullptr, path, query) == URI_BAD && !scheme[0]) return -1;

    char addr[SADDR_HOST_SIZE], port[SADDR_SERV_SIZE];
    const char *rest = uri_path_addrport(path, sizeof(path), addr, sizeof(addr), port,
                                         sizeof(port));
    if (!rest) {
        log_err("%s: URI has no path tail: %s\n", fn, url);
        return -1;
    }
    if (flags & RQFLAG_HTTP10_GET) log_dbg("%s: Using HTTP/1.0 request\n", fn);
    // The target is sent whole or not at all: a cut one names another
    // resource than the caller's.
    char target[GET_TARGET_SIZE];
    lfx_assert(max_target < sizeof(target));
    const char *rq = rest;
    if (query[0]) {
        const int n = snprintf(target, sizeof(target), "%s?%s", rest, query);
        if (n < 0 || size_t(n) > max_target) {
            log_err("%s: GET query is too long [%d bytes], max=%ld bytes.\n", fn, n,
                    long(max_target));
            return -1;
        }
        rq = target;
    }
    // A blank or control byte would split the request line or end it.
    for (const char *c = rq; *c; ++c) {
        const auto u = static_cast<unsigned char>(*c);
        if (u > 0x20 && u < 0x7f) continue;
        log_err("%s: GET target holds byte 0x%02x, nothing sent\n", fn, unsigned(u));
        return -1;
    }
    http_request r{};
    r.type = RQTYPE_GET;
    r.flags = flags;
    r.request = rq;
    r.server = agent;
    r.host_addr = addr;
    r.host_port = port;
    return send_http_request(fd, &r);
}

int send_http_get(int fd, const char *url, const char *agent, bool use_http10) noexcept
{
    return send_http_get_target("send_http_get", fd, url, agent,
                                use_http10 ? uint32_t(RQFLAG_HTTP10_GET) : 0u, GET_TARGET_SIZE - 1);
}

// --- response heads --------------------------------------------------------------

int recv_http_response(int fd, char *buf, size_t size, http_resp_ctx *resp) noexcept
{
    static constexpr const char *fn = "recv_http_response";
    lfx_assert(buf && size > 0);
    lfx_assert(resp);
    // A head read whole before is not read again.
    if (resp->tail > 0) return resp->code ? 0 : -1;

    const size_t cap = size - 1;
    while (resp->total >= 0 && size_t(resp->total) < cap) {
        const ssize_t n = read_http(fd, buf, cap, size_t(resp->total), &resp->tail);
        if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == ECONNABORTED))) {
            log_err("%s: client [fd=%d] connection broken\n", fn, fd);
            return -1;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                log_dbg("%s: expecting more data from fd=%d\n", fn, fd);
                return 11;
            }
            return -1;
        }
        resp->total += n;
        if (resp->tail > 0) break;
    }
    if (resp->tail <= 0) {
        log_warn("%s: buffer already full, yet no HTTP EOD\n", fn);
        return -1;
    }

    buf[resp->tail - 1] = '\0';
    const size_t line_len = strcspn(buf, "\r\n");
    int major = 0, minor = 0, code = 0;
    char reason[64] = "";
    const int items = scan_status(sv(buf, line_len), &major, &minor, &code, reason);
    if (items < 4) {
        log_err("%s: parsed %d < 4 elements (expected to be parsed)\n", fn, items);
        return -1;
    }
    resp->code = code;
    log_dbg("%s: fd=%d received: HTTP/%d.%d %d [%s]\n", fn, fd, major, minor, code, reason);
    if (code != 301 && code != 302) return 0;

    const char *eol = buf + line_len;
    const char *hdrs = eol;
    if (*hdrs == '\r') ++hdrs;
    if (*hdrs == '\n') ++hdrs;
    parse_resp_headers(hdrs, resp);
    if (*eol != '\r') {
        log_err("%s: cannot find LF at the end of response, broken? -- %s\n", fn, buf);
        return -1;
    }
    if (eol[1] != '\n')
        log_warn("%s: got 0x%02x in place of CR(0x%02x)\n", fn,
                 unsigned(static_cast<unsigned char>(eol[1])), unsigned('\n'));
    return 0;
}

int parse_resp_headers(const char *text, http_resp_ctx *ctx) noexcept
{
    static constexpr const char *fn = "parse_resp_headers";
    lfx_assert(ctx);
    const sv t = text ? sv(text) : sv();

    size_t len;
    if (const char *v = find_header("Location:", t, &len)) {
        if (len > MAX_HTTP_LOCATION) {
            log_warn("%s: location size=%zu is over the limit (%u)\n", fn, len,
                     unsigned(MAX_HTTP_LOCATION + 1));
            return -1;
        }
        lfx_assert(!ctx->location);
        if (len) {
            ctx->location = strndup(v, len);
            if (!ctx->location) {
                log_err("%s: no memory for location of %zu bytes\n", fn, len);
                return -1;
            }
            log_dbg("%s: got location=[%s]\n", fn, ctx->location);
        } else {
            log_warn("%s: re-direction with empty location!\n", fn);
        }
    }

    ctx->content_type[0] = '\0';
    if (const char *v = find_header("Content-Type:", t, &len)) {
        if (len > CTYPE_KEEP) {
            log_warn("%s: Content-Type length=%zu, too big, max=%zu\n", fn, len, CTYPE_KEEP);
            len = CTYPE_KEEP;
        }
        put(ctx->content_type, sizeof(ctx->content_type), sv(v, len));
    }

    char num[CLEN_MAX + 1] = "";
    const char *v = find_header("Content-Length:", t, &len);
    if (v && len > CLEN_MAX) {
        log_err("%s: Content-Length length=%zu, too big, max=%zu\n", fn, len, CLEN_MAX);
        ctx->content_length = -1;
        return -1;
    }
    if (v) put(num, sizeof(num), sv(v, len));
    const long value = strtol(num, nullptr, 10);
    if (value < 0 || (value == 0 && strcmp(num, "0") != 0)) {
        log_err("%s: invalid Content-Length value: %s\n", fn, num);
        ctx->content_length = -1;
        return -1;
    }
    ctx->content_length = value;
    return 0;
}

long extract_num_hdr(const char *name, const char *text, size_t len) noexcept
{
    if (!name) return -1;
    size_t vlen;
    const char *v = find_header(name, bounded(text, len), &vlen);
    if (!v || vlen == 0) return -1;
    if (vlen > NUM_HDR_MAX) {
        log_warn("%s: header [%s] value length is too big: %lu bytes\n", __func__, name,
                 static_cast<unsigned long>(vlen));
        vlen = NUM_HDR_MAX;
    }
    char num[NUM_HDR_MAX + 1];
    put(num, sizeof(num), sv(v, vlen));
    return strtol(num, nullptr, 10);
}

void reset_resp_ctx(http_resp_ctx *ctx) noexcept
{
    if (!ctx) return;
    log_dbg("%s: resetting %p [%s]\n", __func__, static_cast<void *>(ctx),
            ctx->location ? ctx->location : "-");
    free(ctx->location);
    *ctx = http_resp_ctx{};
}

// --- HTML escaping ---------------------------------------------------------------

const char *get_web_seq(char c) noexcept
{
    if (c == '\0') return nullptr;
    const char *hit = strchr(web_ESC, c);
    return hit ? web_SEQ[size_t(hit - web_ESC)] : nullptr;
}

int web_escape(const char *src, char *dst, size_t dstlen) noexcept
{
    if (!src) return 0;
    int count = 0;
    size_t need = 0;
    for (const char *p = src; *p; ++p) {
        const char *seq = get_web_seq(*p);
        if (seq) ++count;
        need += seq ? strlen(seq) : 1;
    }
    if (count == 0 || !dst) return count;
    if (need >= dstlen) {
        if (dstlen) dst[0] = '\0';
        return -ERANGE;
    }
    char *w = dst;
    for (const char *p = src; *p; ++p) {
        if (const char *seq = get_web_seq(*p)) {
            const size_t n = strlen(seq);
            memcpy(w, seq, n);
            w += n;
        } else {
            *w++ = *p;
        }
    }
    *w = '\0';
    return count;
}

// --- helpers no program calls ----------------------------------------------------

int mk_full_url(const http_header *hdr, char *buf, size_t size) noexcept
{
    lfx_assert(hdr && buf && size);
    buf[0] = '\0';
    if (!hdr->host[0] || !hdr->uri.path) return EINVAL;
    const int plen = hdr->uri.p_len > size_t(INT_MAX) ? INT_MAX : int(hdr->uri.p_len);
    const int n = snprintf(buf, size, "%s/%.*s", hdr->host, plen, hdr->uri.path);
    if (n < 0 || size_t(n) >= size) {
        buf[0] = '\0';
        return E2BIG;
    }
    return 0;
}

int extract_http_request_path_query(const char *text, size_t len, char *path, size_t plen,
                                    char *query, size_t qlen) noexcept
{
    static constexpr const char *fn = "extract_http_request_path_query";
    lfx_assert(path && plen && query && qlen);
    path[0] = query[0] = '\0';
    const sv t = text ? sv(text, len) : sv();
    http_header h;
    if (const int rc = parse_head(t, &h, nullptr, 0, nullptr); rc != 0) return rc;
    if (!h.uri.path) {
        log_err("%s: no URI path found in [%s]\n", fn, excerpt(t).c_str());
        return -1;
    }
    const sv p(h.uri.path, h.uri.p_len);
    if (p.size() >= plen) {
        log_err("%s: path is too long [%ld chars, allowed: %ld]: %80s...\n", fn, long(p.size()),
                long(plen) - 1, excerpt(p).c_str());
        return -1;
    }
    const sv q = h.uri.query ? sv(h.uri.query, h.uri.q_len) : sv();
    if (q.size() >= qlen) {
        log_err("%s: query is too long [%ld chars, allowed: %ld]: %80s...\n", fn, long(q.size()),
                long(qlen) - 1, excerpt(q).c_str());
        return -1;
    }
    put(path, plen, p);
    put(query, qlen, q);
    return 0;
}

int mk_hls_item_url(const char *m3u_url, const char *path, char *buf, size_t size) noexcept
{
    static constexpr const char *fn = "mk_hls_item_url";
    static constexpr sv HTTP_PFX = "http://";
    lfx_assert(m3u_url && path && buf && size);
    buf[0] = '\0';
    const sv p(path);
    if (p.starts_with(HTTP_PFX)) {
        if (p.size() >= size) return E2BIG;
        put(buf, size, p);
        return 0;
    }
    const sv m(m3u_url);
    if (!m.starts_with(HTTP_PFX)) {
        log_err("%s: non-http M3U url: %s\n", fn, m3u_url);
        return EINVAL;
    }
    const size_t pfx = m.rfind('/') + 1;
    if (pfx < HTTP_PFX.size() + 1 || pfx + p.size() >= size) {
        log_err("%s: pfx-len=%ld bad m3u URL: %s\n", fn, long(pfx), m3u_url);
        return EINVAL;
    }
    memcpy(buf, m.data(), pfx);
    put(buf + pfx, size - pfx, p);
    return 0;
}
