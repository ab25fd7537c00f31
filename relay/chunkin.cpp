#include "chunkin.h"

#include <sys/socket.h>

#include <cerrno>

#include "log.h"
#include "mmr.h"
#include "syswrap.h"
#include "txtesc.h"

LOG_MODULE(LM_DEFAULT);

bool chunkin_start(rtask *t, const char *head, size_t head_len) noexcept
{
    t->is_chunked = chunk_in_head(head, head_len);
    if (!t->is_chunked) return false;
    chunk_init(&t->chunk);
    t->content_length = -1;
    log_info("%s: [%s] chunked answer body, decoded on input\n", "chunkin_start", rta_label(t));
    return true;
}

void chunkin_decode(rtask *t, uint8_t *buf, size_t *len) noexcept
{
    static constexpr const char *fn = "chunkin_decode";
    const uint64_t at = t->chunk.at;
    const size_t got = *len;
    const int rc = chunk_decode(&t->chunk, buf, got, len);
    if (rc == CHUNK_MORE) return;
    const size_t off = size_t(t->chunk.at - at);
    if (rc == CHUNK_END) {
        log_info("%s: [%s] last chunk at body byte %llu (%zu bytes after it ignored)\n", fn,
                 rta_label(t), static_cast<unsigned long long>(t->chunk.at), got - off);
        // Nothing more is read.  A read event still comes (end of file)
        // even where the server keeps the connection: it ends the source
        // where this end came with the answer head.
        W_shutdown(fn, t->infd, SHUT_RD);
        return;
    }
    char excerpt[4 * CHUNKIN_EXCERPT + 8];
    const size_t n = got - off < CHUNKIN_EXCERPT ? got - off : CHUNKIN_EXCERPT;
    log_err("%s: [%s] malformed chunked body (%s) at byte %llu: [%s]\n", fn, rta_label(t),
            chunk_strerror(rc), static_cast<unsigned long long>(t->chunk.at),
            esc_text(reinterpret_cast<const char *>(buf + off), n, excerpt, sizeof excerpt));
    // The payload this read brought before the fault is kept (*len), like
    // the bytes a broken connection delivered before it broke; the source
    // ends once that payload has gone out.
    W_shutdown(fn, t->infd, SHUT_RD);
}

int chunkin_end(rtask *t) noexcept
{
    if (chunk_ended(&t->chunk))
        log_norm("%s: [%s] chunked body complete after %llu bytes: source closed\n",
                 "chunkin_end", rta_label(t), static_cast<unsigned long long>(t->chunk.at));
    rta_set_error(t, "connection lost", ECONNABORTED);
    return -1;
}
