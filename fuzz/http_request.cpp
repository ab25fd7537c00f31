// Request heads over arbitrary bytes: the end-of-head search, the head
// parser, the header finder and the control-request path grammar.  Besides
// the sanitizers, the target checks what every result promises: results
// from the documented set, pieces inside the text, texts terminated inside
// their buffers.  Logging runs at DEBUG into /dev/null, so every log line's
// arguments are built too.
#include "fuzz_target.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log.h"
#include "webops.h"

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

void check_header(const char *text, size_t len, const http_header &h)
{
    check(h.type == RQTYPE_GET || h.type == RQTYPE_HEAD);
    check_piece(text, len, h.uri.scheme, h.uri.s_len);
    check_piece(text, len, h.uri.authority, h.uri.a_len);
    check_piece(text, len, h.uri.path, h.uri.p_len);
    check_piece(text, len, h.uri.query, h.uri.q_len);
    check(strnlen(h.host, sizeof(h.host)) <= 62);
    check(strnlen(h.user_agent, sizeof(h.user_agent)) <= 126);
}

void quiet_debug_log()
{
    static FILE *null_fp = fopen("/dev/null", "w");
    if (null_fp) log_default(&g_log, null_fp);
    g_mod_ll[LM_DEFAULT] = null_fp ? DEBUG_level : MIN_level;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quiet_debug_log();
    // The input in a block of exactly its size.
    char *text = static_cast<char *>(malloc(size ? size : 1));
    if (!text) return 0;
    if (size) memcpy(text, data, size);

    const size_t end = head_eod(text, size);
    check(end <= size);
    if (end) {
        check(text[end - 1] == '\n');
        check(text[end - 2] == '\n' || (end >= 4 && memcmp(text + end - 4, "\r\n\r\n", 4) == 0) ||
              (end >= 3 && memcmp(text + end - 3, "\r\n\n", 3) == 0));
    }

    http_header h;
    char url[64];
    int rc = parse_http_header(text, size, &h, url, sizeof url);
    check(rc == 0 || rc == 22 || rc == -1);
    check(terminated(url, sizeof url));
    if (rc == 0) check_header(text, size, h);

    // The control request with the daemon's sizes, then small ones.
    for (size_t ulen : {size_t(256), size_t(9)}) {
        char src[256], dst[256];
        rc = web_parse_urq(text, size, src, dst, ulen, &h);
        check(rc == 0 || rc == RC_FAVICON || rc == RC_PING || rc == 7 || rc == -7 || rc == -1 ||
              rc == 22);
        check(terminated(src, ulen) && terminated(dst, ulen));
        if (rc == 0 || rc == RC_PING || rc == RC_FAVICON) check_header(text, size, h);
        if (rc == RC_PING) check(!src[0] && !dst[0]);
    }

    // As the daemon reads it: at most 1023 bytes in a zeroed 1024-byte
    // buffer, parsed over its whole length.
    char hbuf[1024] = {};
    memcpy(hbuf, text, size < sizeof(hbuf) - 1 ? size : sizeof(hbuf) - 1);
    char src[256], dst[256];
    rc = web_parse_urq(hbuf, sizeof hbuf, src, dst, sizeof src, nullptr);
    check(terminated(src, sizeof src) && terminated(dst, sizeof dst));

    // The header finder and the numeric reader on the terminated text.
    const std::string str(text, size);
    size_t vlen = 1;
    const char *v = find_http_header("Host:", str.c_str(), &vlen);
    check(v ? v >= str.c_str() && v + vlen <= str.c_str() + strlen(str.c_str()) : vlen == 0);
    extract_num_hdr("Content-Length:", text, size);

    char path[32], query[32];
    rc = extract_http_request_path_query(text, size, path, sizeof path, query, sizeof query);
    check(terminated(path, sizeof path) && terminated(query, sizeof query));
    free(text);
    return 0;
}
