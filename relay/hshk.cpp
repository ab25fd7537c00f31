// The handshake reply buffer of a task.
#include <cerrno>
#include <cstdlib>

#include "rtask.h"
#include "syswrap.h"

int init_resp_buf(http_resp_buf *buf, size_t len) noexcept
{
    *buf = http_resp_buf{};
    buf->buf = static_cast<char *>(W_calloc("init_resp_buf", 1, len));
    if (!buf->buf) return ENOMEM;
    buf->len = len;
    return 0;
}

void purge_http_resp_buf(http_resp_buf *buf) noexcept
{
    free(buf->buf);
    buf->buf = nullptr;
    buf->len = 0;
    reset_resp_ctx(&buf->ctx);
}
