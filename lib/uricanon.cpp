#include "uricanon.h"

#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <cctype>
#include <cstring>
#include <string_view>

namespace {

using sv = std::string_view;
constexpr size_t NPOS = sv::npos;

constexpr size_t PORT_DIGITS_MAX = 16;

// Appends s to buf at *pos; false when it does not fit.
bool put(char *buf, size_t size, size_t *pos, sv s, bool lower = false) noexcept
{
    if (s.size() >= size - *pos) return false;
    for (char c : s)
        buf[(*pos)++] = lower ? char(tolower(static_cast<unsigned char>(c))) : c;
    buf[*pos] = '\0';
    return true;
}

// A host (or SSM source) as the resolver takes it: a numeric address in
// its numeric form (no name service asked), a name in lower case.
bool put_host(char *buf, size_t size, size_t *pos, sv host) noexcept
{
    const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (bracketed) host = host.substr(1, host.size() - 2);
    if (host.empty() || host.size() >= NI_MAXHOST) return false;
    char text[NI_MAXHOST];
    memcpy(text, host.data(), host.size());
    text[host.size()] = '\0';

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *ai = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &ai) == 0 && ai) {
        char num[NI_MAXHOST];
        const bool ok = getnameinfo(ai->ai_addr, ai->ai_addrlen, num, sizeof num, nullptr, 0,
                                    NI_NUMERICHOST) == 0;
        const bool v6 = ai->ai_family == AF_INET6;
        freeaddrinfo(ai);
        if (!ok) return false;
        return v6 ? put(buf, size, pos, "[") && put(buf, size, pos, num) &&
                        put(buf, size, pos, "]")
                  : put(buf, size, pos, num);
    }
    if (bracketed) return false;
    for (char c : host)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
            return false;
    return put(buf, size, pos, host, true);
}

// The port as a number without leading zeros; "" stays "".
bool put_port(char *buf, size_t size, size_t *pos, sv port) noexcept
{
    if (port.empty()) return true;
    if (port.size() > PORT_DIGITS_MAX) return false;
    unsigned long v = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > 65535) return false;
    char num[8];
    size_t n = 0;
    do {
        num[n++] = char('0' + v % 10);
        v /= 10;
    } while (v);
    char out[8];
    for (size_t i = 0; i < n; ++i) out[i] = num[n - 1 - i];
    return put(buf, size, pos, ":") && put(buf, size, pos, sv(out, n));
}

bool iequal(sv a, sv b) noexcept
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The source of a source-specific membership: its address, without the
// port it may carry (the membership takes only the address).
bool put_source(char *buf, size_t size, size_t *pos, sv src) noexcept
{
    size_t colon = NPOS;
    if (!src.empty() && src[0] == '[') {
        const size_t close = src.find(']');
        if (close == NPOS) return false;
        if (close + 1 < src.size()) colon = close + 1;
        if (colon != NPOS && src[colon] != ':') return false;
    } else if (src.find(':') == src.rfind(':')) {
        colon = src.find(':');  // one colon: an address and a port
    }
    if (colon != NPOS) {
        const sv port = src.substr(colon + 1);
        char ignored[8];
        size_t n = 0;
        if (port.empty() || !put_port(ignored, sizeof ignored, &n, port)) return false;
        src = src.substr(0, colon);
    }
    return put_host(buf, size, pos, src);
}

int canon(sv s, char *buf, size_t size) noexcept
{
    size_t pos = 0;
    buf[0] = '\0';
    // Blanks ahead of the text, and blanks or slashes ahead of the address,
    // are passed over when the endpoint is opened.
    const size_t lead = s.find_first_not_of(" \t");
    s.remove_prefix(lead == NPOS ? s.size() : lead);
    const size_t sep = s.find("://");
    sv scheme = "udp";
    if (sep != NPOS) {
        scheme = s.substr(0, sep);
        if (scheme.size() < 2) return -1;
        for (char c : scheme)
            if (!isalpha(static_cast<unsigned char>(c))) return -1;
        s.remove_prefix(sep + 3);
    }
    // "rtp" opens the same datagram socket as "udp", and the relay sends
    // what arrives either way: one endpoint.
    if (iequal(scheme, "rtp")) scheme = "udp";
    if (!put(buf, size, &pos, scheme, true) || !put(buf, size, &pos, "://")) return -1;
    const bool http = iequal(scheme, "http");

    // The source of a source-specific membership stands before an '@';
    // an empty one is none.
    const size_t at = s.find('@');
    if (at != NPOS && at < s.find_first_of("/?")) {
        if (at > 0 &&
            (!put_source(buf, size, &pos, s.substr(0, at)) || !put(buf, size, &pos, "@")))
            return -1;
        s.remove_prefix(at + 1);
    }
    const size_t addr = s.find_first_not_of(" \t/");
    s.remove_prefix(addr == NPOS ? s.size() : addr);
    size_t hend;
    if (!s.empty() && s[0] == '[') {
        hend = s.find(']');
        if (hend == NPOS) return -1;
        ++hend;
    } else {
        hend = s.find_first_of(":/?");
        if (hend == NPOS) hend = s.size();
    }
    if (!put_host(buf, size, &pos, s.substr(0, hend))) return -1;
    s.remove_prefix(hend);
    sv port;
    if (!s.empty() && s[0] == ':') {
        const size_t pend = s.find_first_of("/?", 1);
        port = s.substr(1, pend == NPOS ? NPOS : pend - 1);
        s.remove_prefix(pend == NPOS ? s.size() : pend);
        if (port.empty()) return -1;
    }
    if (!put_port(buf, size, &pos, port.empty() && http ? sv("80") : port)) return -1;
    if (http && (s.empty() || s[0] != '/') && !put(buf, size, &pos, "/")) return -1;
    return put(buf, size, &pos, s) ? 0 : -1;
}

}  // namespace

int uri_canon(const char *url, char *buf, size_t size) noexcept
{
    if (!buf || size == 0) return -1;
    if (!url || canon(url, buf, size) != 0) {
        buf[0] = '\0';
        return -1;
    }
    return 0;
}

bool uri_same_endpoint(const char *a, const char *b) noexcept
{
    if (!a || !b) return false;
    char ca[URI_CANON_MAX], cb[URI_CANON_MAX];
    if (uri_canon(a, ca, sizeof ca) != 0 || uri_canon(b, cb, sizeof cb) != 0)
        return strcasecmp(a, b) == 0;
    return strcmp(ca, cb) == 0;
}
