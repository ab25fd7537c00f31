#include "uri.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

namespace {

using sv = std::string_view;
constexpr size_t NPOS = sv::npos;

// Unsafe characters for encoding; the last one is a space.
constexpr sv UNSAFE_CHARS = ";/?:@&=+$,* ";
constexpr sv ALIAS_CHARS = "$~^";

// The query table: 128 buckets (gkh makes bit_floor(capacity * 3 / 2)).
constexpr size_t QUERY_HT_CAPACITY = 128;
static_assert(QUERY_HT_CAPACITY * 3 / 2 >= 128 && QUERY_HT_CAPACITY * 3 / 2 < 256);

// Fills a fixed text field with the concatenation of parts.  0; E2BIG, with
// the field empty, when the parts and a terminator do not fit (a null field
// or size 0 fits nothing).  Every fixed buffer of this module is written
// through here.
int fill(char *buf, size_t size, std::initializer_list<sv> parts) noexcept
{
    size_t total = 0;
    for (sv p : parts) total += p.size();
    if (!buf || size == 0) return E2BIG;
    if (total >= size) {
        buf[0] = '\0';
        return E2BIG;
    }
    char *w = buf;
    for (sv p : parts) {
        if (p.empty()) continue;  // an empty view may have no data pointer
        memcpy(w, p.data(), p.size());
        w += p.size();
    }
    *w = '\0';
    return 0;
}

void clear(char *buf, size_t size) noexcept
{
    if (buf && size) buf[0] = '\0';
}

sv view(const char *p, size_t len) noexcept
{
    return p ? sv(p, len) : sv();
}

bool iequals(sv a, sv b) noexcept
{
    return a.size() == b.size() && (a.empty() || strncasecmp(a.data(), b.data(), a.size()) == 0);
}

bool printable(unsigned char c) noexcept
{
    return c >= 0x20 && c < 0x7f;
}

int hexval(char c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int parse(sv s, uri_layout *layout) noexcept
{
    uri_layout lay{};
    const size_t lead = s.find_first_not_of(" \t");
    s.remove_prefix(lead == NPOS ? s.size() : lead);

    if (!s.empty() && s[0] == '/') {
        s.remove_prefix(1);
    } else {
        const size_t colon = s.find(':');
        if (colon != NPOS && colon >= 2 && s.substr(colon, 3) == "://") {
            lay.scheme = s.data();
            lay.s_len = colon;
            s.remove_prefix(colon + 3);
            if (s.empty()) return -1;
            const size_t at = s.find('@');
            if (at != NPOS) {
                if (at > 0) {
                    lay.authority = s.data();
                    lay.a_len = at;
                }
                s.remove_prefix(at + 1);
                if (s.empty()) return -1;
            }
        }
    }

    sv path = s, query;
    if (!s.empty() && s.back() != '/') {
        const size_t q = s.rfind('?');
        if (q != NPOS) {
            path = s.substr(0, q);
            query = s.substr(q + 1);
        }
    }
    if (!path.empty()) {
        lay.path = path.data();
        lay.p_len = path.size();
    }
    if (!query.empty()) {
        lay.query = query.data();
        lay.q_len = query.size();
    }
    if (layout) *layout = lay;
    return 0;
}

// The segment at the start of rest (see uri_xseg), taken off rest; empty
// when there is none.  Never empty otherwise, so every walk advances.
sv next_seg(sv &rest) noexcept
{
    const size_t start = !rest.empty() && rest[0] == '/' ? 1 : 0;
    if (start >= rest.size()) return {};
    const size_t slash = rest.find('/', start);
    const size_t n = slash == NPOS ? rest.size() : slash + 1;
    const sv seg = rest.substr(0, n);
    rest.remove_prefix(n);
    return seg;
}

// A segment without one leading and one trailing '/'.
sv seg_inner(sv seg) noexcept
{
    if (!seg.empty() && seg.front() == '/') seg.remove_prefix(1);
    if (!seg.empty() && seg.back() == '/') seg.remove_suffix(1);
    return seg;
}

int seg_cpy(sv seg, char *buf, size_t size) noexcept
{
    const sv inner = seg_inner(seg);
    if (inner.empty()) {
        clear(buf, size);
        return E2BIG;
    }
    return fill(buf, size, {inner});
}

// "src/S/dst/D": rest is what follows the first "src" segment.
int split_src_dst(sv rest, char *src, size_t slen, char *dst, size_t dlen) noexcept
{
    const sv body = rest;
    size_t depth = 1;
    for (sv seg = next_seg(rest); !seg.empty(); seg = next_seg(rest)) {
        if (xseg_scmp(seg.data(), seg.size(), "src")) {
            ++depth;
        } else if (xseg_scmp(seg.data(), seg.size(), "dst") && --depth == 0) {
            sv s = body.substr(0, size_t(seg.data() - body.data()));
            if (!s.empty() && s.back() == '/') s.remove_suffix(1);
            if (fill(src, slen, {s}) || fill(dst, dlen, {rest})) {
                clear(src, slen);
                clear(dst, dlen);
                return -1;
            }
            return 0;
        }
    }
    return depth > size_t(INT_MAX) ? INT_MAX : int(depth);
}

int endpts(sv path, char *src, size_t slen, char *dst, size_t dlen) noexcept
{
    if (path.find('/') == NPOS) {
        if (path.empty() || ALIAS_CHARS.find(path[0]) == NPOS) return ESRCH;
        return fill(src, slen, {path});
    }

    sv rest = path;
    const sv first = next_seg(rest);
    const sv word = seg_inner(first);
    if (!word.empty() && ALIAS_CHARS.find(word[0]) != NPOS) return seg_cpy(first, src, slen);

    if (iequals(word, "udp") || iequals(word, "rtp")) {
        if (fill(src, slen, {word})) return -EINVAL;
        const sv seg = next_seg(rest);
        if (seg.empty()) {
            clear(src, slen);
            return EINVAL;
        }
        // What follows the address segment is ignored.
        const sv addr = seg_inner(seg);
        if (addr.empty() || fill(src, slen, {word, "://", addr})) {
            clear(src, slen);
            return E2BIG;
        }
        return 0;
    }
    if (iequals(word, "src")) return split_src_dst(rest, src, slen, dst, dlen);
    return -1;
}

// Percent-decoding within the first size bytes of text; *len (when given)
// gets the length of the decoded bytes, which may hold a decoded NUL.
char *decode(char *text, size_t size, int flags, size_t *len = nullptr) noexcept
{
    if (len) *len = 0;
    if (!text || size == 0) return nullptr;
    size_t r = 0, w = 0;
    while (r < size && text[r] != '\0') {
        const char c = text[r];
        if (c == '+') {
            text[w++] = ' ';
            ++r;
            continue;
        }
        if (c != '%') {
            text[w++] = c;
            ++r;
            continue;
        }
        // The escape's two characters must lie inside the buffer.
        if (r + 2 >= size) return nullptr;
        // A malformed escape, or one cut short, is refused: skipped, its
        // neighbours would join into another id, address or port.
        if (text[r + 1] == '\0' || text[r + 2] == '\0') return nullptr;
        const int hi = hexval(text[r + 1]), lo = hexval(text[r + 2]);
        if (hi < 0 || lo < 0) return nullptr;
        r += 3;
        auto b = static_cast<unsigned char>(hi * 16 + lo);
        if ((flags & NO_UNPRINTABLE) && !printable(b)) b = '?';
        text[w++] = static_cast<char>(b);
    }
    if (w >= size) w = size - 1;
    text[w] = '\0';
    if (len) *len = w;
    return text;
}

}  // namespace

// --- URLs --------------------------------------------------------------------------

int uri_parse(const char *text, uri_layout *layout) noexcept
{
    return parse(text ? sv(text) : sv(), layout);
}

int uri_parse_len(const char *text, size_t len, uri_layout *layout) noexcept
{
    return parse(text ? sv(text, strnlen(text, len)) : sv(), layout);
}

char *cpyseg(const char *seg, size_t len, char *buf, size_t size) noexcept
{
    clear(buf, size);
    if (!seg || len == 0) return nullptr;
    return fill(buf, size, {sv(seg, len)}) ? nullptr : buf;
}

char *uri_get_scheme(const uri_layout *layout, char *buf, size_t size) noexcept
{
    return cpyseg(layout ? layout->scheme : nullptr, layout ? layout->s_len : 0, buf, size);
}

char *uri_get_authority(const uri_layout *layout, char *buf, size_t size) noexcept
{
    return cpyseg(layout ? layout->authority : nullptr, layout ? layout->a_len : 0, buf, size);
}

char *uri_get_path(const uri_layout *layout, char *buf, size_t size) noexcept
{
    return cpyseg(layout ? layout->path : nullptr, layout ? layout->p_len : 0, buf, size);
}

char *uri_get_query(const uri_layout *layout, char *buf, size_t size) noexcept
{
    return cpyseg(layout ? layout->query : nullptr, layout ? layout->q_len : 0, buf, size);
}

int uri_scheme_kind(const char *scheme) noexcept
{
    if (!scheme) return URI_BAD;
    for (size_t i = 0; i < URI_KIND_STR.size(); ++i)
        if (strcasecmp(scheme, URI_KIND_STR[i]) == 0) return int(i);
    return URI_BAD;
}

int uri_extract(const char *url, char *scheme, char *authority, char *path,
                char *query) noexcept
{
    char sbuf[URI_SCHEME_MAX];
    char *sch = scheme ? scheme : sbuf;
    clear(sch, URI_SCHEME_MAX);
    clear(authority, URI_AUTH_MAX);
    clear(path, URI_PATH_MAX);
    clear(query, URI_QUERY_MAX);

    uri_layout lay;
    if (!url || uri_parse(url, &lay) != 0) {
        log_err("%s: uri_parse ERROR\n", __func__);
    } else if (!uri_get_scheme(&lay, sch, URI_SCHEME_MAX)) {
        log_err("%s: uri_get_scheme ERROR\n", __func__);
    } else if (authority && lay.authority &&
               !uri_get_authority(&lay, authority, URI_AUTH_MAX)) {
        log_err("%s: uri_get_authority ERROR\n", __func__);
    } else if (path && !uri_get_path(&lay, path, URI_PATH_MAX)) {
        log_err("%s: uri_get_path ERROR\n", __func__);
    } else if (query && lay.query && !uri_get_query(&lay, query, URI_QUERY_MAX)) {
        log_err("%s: uri_get_query ERROR\n", __func__);
    } else {
        return uri_scheme_kind(sch);
    }
    log_err("%s: error parsing URI: [%s]\n", __func__, url ? url : "");
    clear(sch, URI_SCHEME_MAX);
    clear(authority, URI_AUTH_MAX);
    clear(path, URI_PATH_MAX);
    clear(query, URI_QUERY_MAX);
    return -1;
}

const char *uri_path_addrport(const char *path, size_t len, char *addr, size_t asize,
                              char *port, size_t psize) noexcept
{
    clear(addr, asize);
    clear(port, psize);
    const sv s = path ? sv(path, strnlen(path, len)) : sv();

    size_t end = NPOS;
    sv a, p;
    const size_t i = s.find_first_not_of(" \t/");
    if (i != NPOS) {
        if (s[i] == '[') {
            const size_t close = s.find_first_of("]?/", i + 1);
            if (close != NPOS && s[close] == ']') {
                a = s.substr(i + 1, close - i - 1);
                end = close + 1;
            }
        } else {
            end = s.find_first_of(":?/", i);
            if (end == NPOS) end = s.size();
            a = s.substr(i, end - i);
        }
    }
    if (end != NPOS && end < s.size() && s[end] == ':') {
        size_t pend = s.find_first_of("?/", end + 1);
        if (pend == NPOS) pend = s.size();
        p = s.substr(end + 1, pend - end - 1);
        end = pend;
    }
    if (end != NPOS && (a.empty() || !addr || fill(addr, asize, {a}) == 0) &&
        (p.empty() || !port || fill(port, psize, {p}) == 0))
        return path + end;

    clear(addr, asize);
    clear(port, psize);
    log_err("%s: ERROR parsing path=[%.*s]\n", __func__,
            int(s.size() > size_t(INT_MAX) ? INT_MAX : s.size()), s.data() ? s.data() : "");
    return nullptr;
}

// --- the control-request path ------------------------------------------------------

bool uri_is_alias(const char *text) noexcept
{
    return text && text[0] != '\0' && ALIAS_CHARS.find(text[0]) != NPOS;
}

const char *uri_xseg(const char *text, size_t *seglen) noexcept
{
    if (seglen) *seglen = 0;
    if (!text) return nullptr;
    sv rest(text);
    const sv seg = next_seg(rest);
    if (seg.empty()) return nullptr;
    if (seglen) *seglen = seg.size();
    return text + seg.size();
}

bool xseg_scmp(const char *seg, size_t len, const char *word) noexcept
{
    return word && iequals(seg_inner(view(seg, len)), word);
}

int xseg_cpy(const char *seg, size_t len, char *buf, size_t size) noexcept
{
    return seg_cpy(view(seg, len), buf, size);
}

int uri_extract_endpts(const char *path, char *src, size_t slen, char *dst,
                       size_t dlen) noexcept
{
    clear(src, slen);
    clear(dst, dlen);
    return endpts(path ? sv(path) : sv(), src, slen, dst, dlen);
}

// --- percent-encoding ------------------------------------------------------------

char *uri_decode(char *text, size_t size) noexcept
{
    return decode(text, size, NO_UNPRINTABLE);
}

char *uri_decode_exact(char *text, size_t size) noexcept
{
    size_t len = 0;
    if (!decode(text, size, 0, &len)) {
        if (text && size) text[0] = '\0';
        return nullptr;
    }
    if (strlen(text) != len) {
        text[0] = '\0';
        return nullptr;
    }
    return text;
}

bool uri_escapes_ok(const char *text) noexcept
{
    if (!text) return true;
    for (sv s(text); !s.empty();) {
        const size_t pct = s.find('%');
        if (pct == NPOS) break;
        if (s.size() < pct + 3 || hexval(s[pct + 1]) < 0 || hexval(s[pct + 2]) < 0)
            return false;
        s.remove_prefix(pct + 3);
    }
    return true;
}

char *uri_encode(char *text, size_t size) noexcept
{
    if (!text || size == 0) return nullptr;
    const size_t cap = size - 1;
    const size_t n = strnlen(text, cap);
    auto *copy = static_cast<char *>(malloc(n + 1));
    if (!copy) return nullptr;
    memcpy(copy, text, n);

    static constexpr char HEX[] = "0123456789ABCDEF";
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(copy[i]);
        if (printable(c) && UNSAFE_CHARS.find(char(c)) == NPOS) {
            if (w + 1 > cap) break;
            text[w++] = char(c);
        } else {
            if (w + 3 > cap) break;
            text[w++] = '%';
            text[w++] = HEX[c >> 4];
            text[w++] = HEX[c & 0xf];
        }
    }
    text[w] = '\0';
    free(copy);
    return text;
}

int uri_query_parse(const char *query, skht_t *ht) noexcept
{
    if (!ht) return -1;
    *ht = 0;
    if (!query || query[0] == '\0') return 0;

    skht_t h;
    if (skht_create(&h, QUERY_HT_CAPACITY, plHash, nullptr, 0) != 0) return ENOMEM;

    sv q(query);
    long count = 0;
    int rc = 0;
    while (rc == 0 && !q.empty()) {
        if (size_t(++count) > URI_QUERY_PARAMS_MAX) {
            log_err("%s: too many query parameters: [%ld]\n", __func__, count);
            rc = -1;
            break;
        }
        const size_t eq = q.find('=');
        if (eq == NPOS || eq == 0 || eq > URI_QUERY_NAME_MAX) {
            rc = -1;
            break;
        }
        // Decoding within the name's own buffer cannot lengthen it.
        char name[URI_QUERY_NAME_MAX + 1];
        fill(name, sizeof name, {q.substr(0, eq)});
        q.remove_prefix(eq + 1);
        if (!uri_decode_exact(name, sizeof name)) {
            rc = -1;
            break;
        }

        const size_t amp = q.find('&');
        const sv value = q.substr(0, amp);
        q.remove_prefix(amp == NPOS ? q.size() : amp + 1);
        if (value.size() > URI_QUERY_VALUE_MAX) {
            log_err("%s: argument for query parameter [%s] is too long [%ld]\n", __func__, name,
                    long(value.size()));
            rc = -1;
            break;
        }

        // Decoded within the whole buffer, so a value of the full length is
        // kept whole rather than losing its last character.
        char *v = nullptr;
        if (!value.empty()) {
            v = static_cast<char *>(malloc(URI_QUERY_VALUE_MAX + 1));
            if (!v) {
                rc = ENOMEM;
                break;
            }
            fill(v, URI_QUERY_VALUE_MAX + 1, {value});
            if (!uri_decode_exact(v, URI_QUERY_VALUE_MAX + 1)) {
                free(v);
                rc = -1;
                break;
            }
        }

        void *data = v;  // on EBUSY skht_add overwrites it with the old value
        const int arc = skht_add(h, name, &data);
        if (arc == 0) continue;
        free(v);
        if (arc == EBUSY) {
            log_err("%s: duplicate query parameter [%s]\n", __func__, name);
            rc = EBUSY;
        } else {
            rc = arc == ENOMEM ? ENOMEM : -1;
        }
    }

    if (rc != 0 || skht_count(h) == 0) {
        skht_destroy(h, free);
        return rc;
    }
    *ht = h;
    return 0;
}

const char *uri_ensure_schema(const char *prefix, const char *text, char *buf,
                              size_t size) noexcept
{
    if (!prefix || !text) {
        errno = EINVAL;
        return nullptr;
    }
    if (strncasecmp(text, prefix, strlen(prefix)) == 0) return text;
    if (fill(buf, size, {prefix, text})) {
        errno = E2BIG;
        return nullptr;
    }
    return buf;
}

void uri_split_alias(const char *text, char *alias, size_t size, const char **query) noexcept
{
    if (query) *query = nullptr;
    clear(alias, size);
    if (!text) return;
    const sv s(text);
    const size_t q = s.find('?');
    if (q != NPOS && query) *query = text + q + 1;
    // A cut name would name another alias: refuse rather than cut.
    if (fill(alias, size, {s.substr(0, q)})) errno = E2BIG;
}
