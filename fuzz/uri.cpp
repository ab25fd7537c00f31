// URL parsing, the control-request path grammar, percent-decoding and
// -encoding and query parsing over arbitrary bytes.  Besides the sanitizers,
// the target checks what every result promises: pieces inside the text,
// results terminated inside their buffers, nothing longer than its input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_target.h"
#include "log.h"
#include "uri.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

bool terminated(const char *buf, size_t size)
{
    return memchr(buf, '\0', size) != nullptr;
}

void check_piece(const char *text, size_t len, const char *p, size_t n)
{
    check(p ? n > 0 && p >= text && p + n <= text + len : n == 0);
}

// A parsed query parameter: a name of at most 31 characters and a value
// of at most 32 once decoded (an empty value is null).
void check_param(const void *key, void *value, void *)
{
    check(strnlen(static_cast<const char *>(key), URI_QUERY_NAME_MAX + 1) <= URI_QUERY_NAME_MAX);
    if (value)
        check(strnlen(static_cast<const char *>(value), URI_QUERY_VALUE_MAX + 1) <=
              URI_QUERY_VALUE_MAX);
}

void parse_and_split(const char *text, size_t len)
{
    uri_layout lay;
    if (uri_parse(text, &lay) == 0) {
        check_piece(text, len, lay.scheme, lay.s_len);
        check_piece(text, len, lay.authority, lay.a_len);
        check_piece(text, len, lay.path, lay.p_len);
        check_piece(text, len, lay.query, lay.q_len);
        char small[5];
        uri_get_path(&lay, small, sizeof small);
        check(terminated(small, sizeof small));
        if (lay.path) {
            char addr[16], port[6];
            const char *rest =
                uri_path_addrport(lay.path, lay.p_len, addr, sizeof addr, port, sizeof port);
            check(!rest || (rest >= lay.path && rest <= lay.path + lay.p_len));
            check(terminated(addr, sizeof addr) && terminated(port, sizeof port));
        }
    }
    uri_parse_len(text, len / 2, nullptr);

    char scheme[URI_SCHEME_MAX], auth[URI_AUTH_MAX], path[URI_PATH_MAX], query[URI_QUERY_MAX];
    const int kind = uri_extract(text, scheme, auth, path, query);
    check(kind >= URI_BAD && kind <= URI_HTTP);
    check(terminated(scheme, sizeof scheme) && terminated(auth, sizeof auth) &&
          terminated(path, sizeof path) && terminated(query, sizeof query));

    // The control path with the request's buffer sizes, then small ones.
    for (size_t n : {size_t(256), size_t(7)}) {
        char src[256], dst[256];
        const int rc = uri_extract_endpts(text, src, n, dst, n);
        check(terminated(src, n) && terminated(dst, n));
        if (rc == 0) {
            check(strlen(src) < len + 4 && strlen(dst) < len + 1);
            uri_decode(src, n);
            uri_decode(dst, n);
        }
    }

    skht_t ht;
    const int rc = uri_query_parse(text, &ht);
    check(rc == 0 || rc == -1 || rc == 12 || rc == 16);
    check(rc == 0 || ht == 0);
    if (ht) {
        check(skht_count(ht) >= 1 && skht_count(ht) <= URI_QUERY_PARAMS_MAX);
        skht_iter(ht, check_param, nullptr);
        skht_destroy(ht, free);
    }

    char alias[8];
    const char *q;
    uri_split_alias(text, alias, sizeof alias, &q);
    check(terminated(alias, sizeof alias) && (!q || (q > text && q <= text + len)));
    char pfx[32];
    const char *s = uri_ensure_schema("UDP://", text, pfx, sizeof pfx);
    check(!s || s == text || s == pfx);
}

void decode_and_encode(const std::string &text)
{
    // Decoding in buffers that end exactly at their stated size, so that
    // ASan sees any read or write past it.
    for (size_t size : {text.size() + 1, text.size() / 2 + 1, size_t(3)}) {
        char *buf = static_cast<char *>(malloc(size));
        if (!buf) return;
        const size_t n = std::min(size, text.size() + 1);
        memcpy(buf, text.c_str(), n);
        if (const char *r = uri_decode(buf, size))
            check(strlen(r) < size && strlen(r) <= text.size());
        free(buf);
    }
    for (size_t size : {text.size() * 3 + 1, text.size() + 1, size_t(4)}) {
        char *buf = static_cast<char *>(malloc(size));
        if (!buf) return;
        const size_t n = std::min(size - 1, text.size());
        memcpy(buf, text.data(), n);
        buf[n] = '\0';
        if (const char *r = uri_encode(buf, size)) check(strlen(r) < size);
        free(buf);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Refusals are logged at ERR; keep the run quiet.
    g_mod_ll[LM_DEFAULT] = MIN_level;
    const std::string text(reinterpret_cast<const char *>(data), size);
    parse_and_split(text.c_str(), strlen(text.c_str()));
    decode_and_encode(text.c_str());
    return 0;
}
