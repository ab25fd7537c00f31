// Response heads from a server, read step by step: the input's first byte
// chooses how the rest is cut into pieces, its second the buffer size; the
// pieces go through a pipe one at a time, and the head reader is called
// after each, as the daemon calls it on each readable event.  The same
// pieces then go through the handshake reader.  Besides the sanitizers,
// the target checks the progress counters and results against their
// contracts.  Logging runs at DEBUG into /dev/null.
#include "fuzz_target.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "webops.h"
#include "wopen.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

void quiet_debug_log()
{
    static FILE *null_fp = fopen("/dev/null", "w");
    if (null_fp) log_default(&g_log, null_fp);
    g_mod_ll[LM_DEFAULT] = null_fp ? DEBUG_level : MIN_level;
}

// Piece lengths (1 to 64) drawn from a small linear generator.
std::vector<size_t> cut(size_t total, uint8_t draw)
{
    std::vector<size_t> pieces;
    uint32_t state = draw * 2654435761u + 1;
    while (total) {
        state = state * 1103515245u + 12345u;
        size_t n = 1 + (state >> 16) % 64;
        if (n > total) n = total;
        pieces.push_back(n);
        total -= n;
    }
    return pieces;
}

void check_ctx(const http_resp_ctx &ctx, size_t size, int rc)
{
    check(ctx.total >= 0 && size_t(ctx.total) <= size - 1);
    check(ctx.tail >= 0 && ctx.tail <= ctx.total);
    check(memchr(ctx.content_type, '\0', sizeof ctx.content_type) != nullptr);
    if (ctx.location) check(strlen(ctx.location) >= 1 && strlen(ctx.location) <= 2047);
    if (rc == 0) check(ctx.tail > 0);
}

// Feeds the pieces through a pipe; read(ctx) is called after each one and
// once more at end of stream.  The last result.
template <typename Read>
int feed(const uint8_t *data, const std::vector<size_t> &pieces, Read read)
{
    int p[2];
    if (pipe(p) != 0) return -2;
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    int rc = 11;
    size_t at = 0;
    for (size_t n : pieces) {
        if (write(p[1], data + at, n) != ssize_t(n)) break;
        at += n;
        rc = read(p[0]);
        if (rc != 11) break;
    }
    close(p[1]);
    if (rc == 11) rc = read(p[0]);
    close(p[0]);
    return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quiet_debug_log();
    if (size < 2) return 0;
    const std::vector<size_t> pieces = cut(size - 2, data[0]);
    const size_t bufsize = data[1] & 1 ? 1024 : 16 + data[1] % 200;
    const uint8_t *stream = data + 2;

    // recv_http_response on its own.
    {
        std::vector<char> buf(bufsize);
        http_resp_ctx ctx{};
        const int rc = feed(stream, pieces, [&](int fd) {
            const int r = recv_http_response(fd, buf.data(), buf.size(), &ctx);
            check(r == 0 || r == 11 || r == -1);
            check_ctx(ctx, buf.size(), r);
            return r;
        });
        if (rc == 0) {
            check(ctx.code != 0 || ctx.tail > 0);
            extract_num_hdr("Content-Length:", buf.data(), size_t(ctx.tail) - 1);
        }
        reset_resp_ctx(&ctx);
    }

    // The handshake reader over the same pieces.
    {
        std::vector<char> buf(bufsize);
        http_resp_buf rb{buf.data(), buf.size(), {}};
        feed(stream, pieces, [&](int fd) {
            const int r = usock_http_get_response(fd, &rb);
            check(r == 0 || r == 11 || r == 13 || r == 7 || r == -1);
            check_ctx(rb.ctx, buf.size(), r);
            if (r == 0) check(rb.ctx.code >= 200 && rb.ctx.code <= 299);
            return r;
        });
        reset_resp_ctx(&rb.ctx);
    }

    // The header parser on the whole stream as one terminated text.
    const std::string text(reinterpret_cast<const char *>(stream), size - 2);
    http_resp_ctx ctx{};
    const int rc = parse_resp_headers(text.c_str(), &ctx);
    check(rc == 0 || rc == -1);
    check(rc != 0 || ctx.content_length >= 0);
    reset_resp_ctx(&ctx);
    return 0;
}
