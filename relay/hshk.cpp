// Handshakes with stream servers and remote daemons, keep-alive links, and
// the handshake reply buffer of a task.
#include "hshk.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "chunkin.h"
#include "iflag.h"
#include "log.h"
#include "mpegts.h"
#include "netops.h"
#include "registry.h"
#include "rqs.h"
#include "syswrap.h"
#include "webops.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// Closes the handshake connection after dropping its registrations, so
// that no event of the turn meets a closed or reused descriptor: a chained
// task's through its endpoint record, an HTTP task's duplicate plainly.
void close_hshk(rtask *t)
{
    rta_drop_hsr(t);
    rta_drop_hsw(t);
    if (t->format == RTA_DCH)
        usock_close(t->hshk_fd, &t->hshk_uc);
    else
        W_close("close_hshk", t->hshk_fd);
    t->hshk_fd = -1;
}

}  // namespace

int err_task_socket(rtask *task, int sockfd, const char *direction, int err) noexcept
{
    static constexpr const char *fn = "err_task_socket";
    log_dbg("%s: %s [%s] (%p)\n", fn, direction, rta_label(task), static_cast<void *>(task));
    if (err & RQS_SOCKERR) {
        const int e = socket_error(sockfd);
        if (e != 0)
            log_err("%s: %s [%s] socket ERROR(%d): %s\n", fn, direction, rta_label(task), e,
                    strerror(e));
    }
    if (err & RQS_SOCKHUP)
        log_norm("%s: %s [%s] HANG-UP/DISCONNECT\n", fn, direction, rta_label(task));

    const bool is_link = strcmp(direction, KA_DIRECTION) == 0;
    if (is_link && (err & (RQS_SOCKERR | RQS_SOCKHUP))) {
        // A reset or a hang-up ends the link as its close does: the task
        // goes, whatever its client count; a suspension would revive it
        // without the link and relay for ever.
        task->rcount = 0;
        task->must_suspend = false;
    } else if (err & RQS_SOCKHUP) {
        task->must_suspend = strcmp(direction, IN_DIRECTION) == 0 && ck_revive_task(task);
    } else {
        return 0;
    }
    log_warn("%s: [%s] (%p) will be %s\n", fn, rta_label(task), static_cast<void *>(task),
             task->must_suspend ? "suspended" : "removed");
    pprm_task(task);
    return 0;
}

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

int send_handshake(rtask *task) noexcept
{
    static constexpr const char *fn = "send_handshake";
    log_dbg("%s: BEGIN\n", fn);
    lfx_assert(task->state.num == ST_HSW && task->hshk_fd > 0 && task->hshk_url);
    log_info("%s: hshk:fd%d connected (infd=fd%d), HTTP-GET %s\n", fn, task->hshk_fd, task->infd,
             task->hshk_url);
    const uint32_t flags = task->format == RTA_HTTP ? uint32_t(RQFLAG_HTTP10_GET) : 0u;
    int rc = usock_http_get(task->hshk_fd, task->hshk_url, flags);
    if (rc == 0) rc = rta_drop_hsw(task);
    if (rc == 0) {
        // A reply buffer left by an earlier attempt is released first.
        purge_http_resp_buf(&task->resp_buf);
        rc = init_resp_buf(&task->resp_buf, HSHK_RESP_LEN);
    }
    if (rc == 0) rc = rta_ensure_hsr(task);
    if (rc == 0) rta_set_state(task, ST_HSR);
    if (rc != 0) {
        log_err("%s: END - failed rc=%d\n", fn, rc);
        return rc;
    }
    log_dbg("%s: END\n", fn);
    return 0;
}

int copy_http_tail(rtask *task) noexcept
{
    static constexpr const char *fn = "copy_http_tail";
    const http_resp_ctx &ctx = task->resp_buf.ctx;
    ssize_t tail_len = ctx.total - ctx.tail;
    lfx_assert(tail_len >= 0);
    char *tail = task->resp_buf.buf + ctx.tail;
    if (task->is_chunked && tail_len > 0) {
        size_t pld = size_t(tail_len);
        // Framing already malformed in the bytes that came with the head
        // fails the handshake.
        chunkin_decode(task, reinterpret_cast<uint8_t *>(tail), &pld);
        if (chunk_failed(&task->chunk)) {
            rta_set_error(task, "connection lost", ECONNABORTED);
            return -1;
        }
        tail_len = ssize_t(pld);
    }
    if (tail_len == 0) {
        log_dbg("%s: no tail, skip\n", fn);
        return 0;
    }
    mm_point pt{};
    uint8_t *dst = mmr_iget(task->stg.stream, &pt);
    const size_t avail = dst ? pt.len : 0;
    if (avail < size_t(tail_len)) {
        log_err("%s: SKIPPING: not enough space for tail=%ld avail=%lu bytes\n", fn, long(tail_len),
                static_cast<unsigned long>(avail));
        return E2BIG;
    }
    size_t pkt_len = 0;
    const ssize_t off = ts_find_head(tail, size_t(tail_len), &pkt_len);
    size_t skip = 0;
    if (off >= 0) {
        lfx_assert(off < tail_len);
        skip = size_t(off);
        log_info("%s: TS/pkt_len=%zu at offset=%zd\n", fn, pkt_len, off);
    }
    // Without a packet head the tail may simply be too short to show one:
    // it goes into the ring whole, which decides as more data comes and
    // refuses only data that cannot be a transport stream.
    pt.len = size_t(tail_len) - skip;
    memcpy(dst, tail + skip, pt.len);
    const int rc = mmr_iput(task->stg.stream, &pt);
    if (rc == -14) {
        log_err("%s: No TS datagram (buflen=%zd); non-TS stream?\n", fn, tail_len);
        return EINVAL;
    }
    if (rc != 0) return rc;
    // The tail is stream input like any later read.
    task->total_in += uint64_t(tail_len);
    task->local_in += uint64_t(tail_len);
    log_dbg("%s: %ld bytes copied\n", fn, long(pt.len));
    return 0;
}

int recv_handshake(rtask *task) noexcept
{
    static constexpr const char *fn = "recv_handshake";
    lfx_assert(task->state.num == ST_HSR);
    int rc = usock_http_get_response(task->hshk_fd, &task->resp_buf);
    if (rc == EAGAIN) {
        log_info("%s: incomplete HTTP response, need more data\n", fn);
        return 0;
    }
    if (rc != 0) return rc;

    const http_resp_ctx &ctx = task->resp_buf.ctx;
    const ssize_t head_len = ctx.tail >= 1 ? ctx.tail - 1 : ctx.total;
    lfx_assert(head_len > 0);
    task->content_length = extract_num_hdr("Content-Length:", task->resp_buf.buf, size_t(head_len));
    task->in_ended = false;
    if (task->in_mode == SM_STREAM) chunkin_start(task, task->resp_buf.buf, size_t(head_len));
    if (task->content_length > 0)
        log_info("%s: Content-Length: %ld\n", fn, long(task->content_length));

    if ((rc = rta_drop_hsr(task)) != 0) return rc;
    if (task->in_mode == SM_STREAM && (rc = copy_http_tail(task)) != 0) return rc;
    log_info("%s: handshake with [%s] has completed\n", fn, task->hshk_url);
    if (task->format == RTA_DCH) {
        set_keepalive(task->hshk_fd, 1);
        task->is_dchained = true;
    }
    purge_http_resp_buf(&task->resp_buf);
    if ((rc = rta_ensure_reads(task)) != 0) return rc;
    rta_set_state(task, ST_RLY);
    char optbuf[64];
    log_norm("Task [%s] is relaying data: IN/OUT=fd%d/fd%d (%s)\n", rta_label(task), task->infd,
             task->outfd, rta_optstr(&task->opt, optbuf, sizeof(optbuf)));
    rta_drop_hsw(task);

    if (task->format == RTA_DCH) {
        // The remote daemon relays only while this connection is open: it
        // stays for the whole relay phase, watched as a keep-alive link.
        return rta_ensure_hsr(task);
    }
    if (task->hshk_fd >= 0) close_hshk(task);
    // Whole datagrams that came with the reply head go out without waiting
    // for the next read.
    if (task->in_mode == SM_STREAM && mmr_pld_size(task->stg.stream) > 0)
        return rta_ensure_writes(task);
    return 0;
}

int read_keepalive(rtask *task, int sockfd, int err) noexcept
{
    static constexpr const char *fn = "read_keepalive";
    static char buf[KA_BUF_LEN];
    log_dbg("%s: fd%d [%s] (%p)\n", fn, sockfd, rta_label(task), static_cast<void *>(task));
    if (err) return err_task_socket(task, sockfd, KA_DIRECTION, err);
    if (task->is_quitting) return 0;

    log_warn("%s: reading data from fd%d\n", fn, sockfd);
    const ssize_t n = recv(sockfd, buf, KA_BUF_LEN - 1, MSG_DONTWAIT);
    if (n == 0) {
        log_info("%s: EOD on fd%d\n", fn, sockfd);
    } else if (n > 0) {
        log_err("%s: unexpectedly read %ld bytes from ka-fd%d\n", fn, long(n), sockfd);
    } else {
        const int e = errno;
        // Nothing to read after all: the link is still there.
        if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) return 0;
        // A reset ends the link as surely as its close.
        log_err("%s: recv(fd%d) ERROR(%d): %s\n", fn, sockfd, e, strerror(e));
    }
    log_warn("%s: [%s] (%p) with %d client(s) will be removed\n", fn, rta_label(task),
             static_cast<void *>(task), task->rcount);
    task->rcount = 0;
    task->must_suspend = false;
    pprm_task(task);
    return 0;
}

void ck_detach_hshk(rtask *task) noexcept
{
    if (task->hshk_fd <= 0 || task->local_in < HSHK_DETACH_BYTES) return;
    if (task->format == RTA_DCH) return;
    if (iflag("TRK_HSHK"))
        log_norm("%s: %zu bytes in, ready to detach handshake fd%d\n", "ck_detach_hshk",
                 size_t(task->local_in), task->hshk_fd);
    close_hshk(task);
}
