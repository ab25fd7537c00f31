#include "handlers.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "app.globals.h"
#include "cfg.h"
#include "dgpath.h"
#include "hshk.h"
#include "log.h"
#include "netops.h"
#include "oxamsg.h"
#include "registry.h"
#include "rqs.h"
#include "rui.h"
#include "stpath.h"
#include "strops.h"
#include "supervise.h"
#include "tasklife.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// The error code a write-side failure is recorded with.
constexpr int CONNECT_ERR = ECONNREFUSED;

// Sets the log group to a task's id for one handler and restores it.
class log_group_scope {
public:
    explicit log_group_scope(uint64_t group) : saved_(log_get_group(&g_log))
    {
        log_set_group(&g_log, group);
    }
    ~log_group_scope() { log_set_group(&g_log, saved_); }
    log_group_scope(const log_group_scope &) = delete;
    log_group_scope &operator=(const log_group_scope &) = delete;

private:
    uint64_t saved_;
};

struct state_text {
    char s[5] = {};
    explicit state_text(const rtask *t) { memcpy(s, t->state.sym4, 4); }
};

[[noreturn]] void bad_mode(const char *fn, const rtask *t)
{
    log_panic("%s: [%s] unsupported input mode: %d\n", fn, rta_label(t), t->in_mode);
    lfx_abort();
}

[[noreturn]] void bad_opcode(const char *fn, const rtask *t, int op)
{
    log_panic("%s: [%s] unsupported opcode: %d\n", fn, rta_label(t), op);
    lfx_abort();
}

// The task of a checked context.
rtask *task_of(void *ctx)
{
    rta_check_tags(ctx);
    return static_cast<rtask *>(static_cast<op_ctx *>(ctx)->data);
}

// The common opening of the task handlers: true when the event is to be
// handled.  A registration dropped earlier in the turn can still have an
// event waiting in it; its descriptor may be closed or given to another
// role by now, so the event is ignored.
bool should_handle(const char *fn, const op_ctx *ox, const rtask *t, bool is_write)
{
    if (g_cfg.must_track_io) log_dbg("%s: state=[%s] op=%d\n", fn, state_text(t).s, ox->op);
    if (g_quit || t->is_quitting) {
        if (is_write)
            log_norm("%s: no action, quitting\n", fn);
        else
            log_info("%s: no action, quitting\n", fn);
        return false;
    }
    if (!ox->is_active) {
        log_dbg("%s: [%s] op=%d no longer registered, event skipped\n", fn, rta_label(t), ox->op);
        return false;
    }
    return true;
}

void closing_lines(const char *fn, const rtask *t, int rc)
{
    if (g_quit)
        log_norm("%s: quitting with the app\n", fn);
    else if (t->is_quitting)
        log_info("%s: [%s] (%p) is about to end\n", fn, rta_label(t),
                 static_cast<const void *>(t));
    if (g_cfg.must_track_io) log_dbg("%s: END (%d)\n", fn, rc);
}

// What follows a write step: its Content-Length line, and the task's
// write time, or its suspension when the step failed.  fn names the write
// handler in the lines, also for a write step run right after a read.
void after_write(const char *fn, rtask *t, int rc, size_t nsent)
{
    if (rc == 0 && t->content_length > 0 && t->total_out >= uint64_t(t->content_length))
        log_info("%s: Content-Length SENT cl/out=%lu/%lu\n", fn,
                 static_cast<unsigned long>(t->content_length),
                 static_cast<unsigned long>(t->total_out));
    if (rc != 0 && t->in_ended && t->errstr) {
        // The ended source's last bytes have gone: it ends as it would
        // have at its end, with the error the read step would have set.
        pprmsusp(t, nullptr, rc);
    } else if (rc != 0) {
        log_err("%s: failed\n", fn);
        pprmsusp(t, "cannot connect", CONNECT_ERR);
    } else if (nsent > 0) {
        set_write_tm(t, &t->tm);
        ck_retry_reset(t);
    }
}

// The relay phase of a chained task keeps its handshake connection as a
// keep-alive link.
bool is_link_role(const op_ctx *ox, const rtask *t)
{
    return ox->op == OP_KAR || (ox->op == OP_HSR && t->state.num == ST_RLY);
}

}  // namespace

int on_task_read(int, int flags, void *ctx, void *) noexcept
{
    static constexpr const char *fn = "on_task_read";
    rtask *t = task_of(ctx);
    const op_ctx *ox = static_cast<const op_ctx *>(ctx);
    log_group_scope group(t->tid.num);
    if (!should_handle(fn, ox, t, false)) return 0;

    int rc = 0;
    size_t nread = 0;
    bool zero_is_read = false;  // a step without a byte count that succeeded
    bool write_now = false;     // the datagrams read go out at once
    const char *text = "read error";
    src_timers *target = &t->tm;
    if (is_link_role(ox, t)) {
        const int lfd = ox->op == OP_KAR ? t->kafd : t->hshk_fd;
        lfx_assert(lfd >= 0);
        rc = read_keepalive(t, lfd, flags);
        zero_is_read = true;
    } else if (flags && ox->op == OP_READ && t->in_mode == SM_STREAM) {
        // An HTTP source that reset or hung up may still hold bytes, and
        // its ring surely does: the read takes what is queued, and its
        // failed or zero read ends the source, so that the ring is sent
        // before the task fails.  The event comes on every turn until
        // then; the read's end is logged once, by the read.
        log_dbg("%s: [%s] ERR/HUP\n", fn, rta_label(t));
        lfx_assert(t->state.num == ST_RLY);
        rc = stream_read(t, &nread, true);
    } else if (flags) {
        log_err("%s: [%s] ERR/HUP\n", fn, rta_label(t));
        text = "HUP";
        rc = -1;
    } else {
        switch (ox->op) {
        case OP_HSR:
            if (t->state.num == ST_HSR) rc = recv_handshake(t);
            zero_is_read = true;
            break;
        case OP_READ:
            lfx_assert(t->state.num == ST_RLY);
            if (t->in_mode == SM_DGRAM && rta_drain_stale(t, false, &rc))
                break;
            if (t->in_mode == SM_DGRAM)
                rc = pkt_read(t, RD_PRIMARY, &nread, &write_now);
            else if (t->in_mode == SM_STREAM)
                rc = stream_read(t, &nread);
            else
                bad_mode(fn, t);
            break;
        case OP_ARD:
            lfx_assert(t->state.num == ST_RLY && t->in_mode == SM_DGRAM);
            target = &t->altin.tm;
            if (!rta_drain_stale(t, true, &rc)) rc = pkt_read(t, RD_ALTERNATE, &nread, &write_now);
            break;
        default:
            bad_opcode(fn, t, ox->op);
        }
    }

    if (rc == 0 && t->content_length > 0 && t->total_in >= uint64_t(t->content_length))
        log_info("%s: Content-Length READ cl/out=%lu/%lu\n", fn,
                 static_cast<unsigned long>(t->content_length),
                 static_cast<unsigned long>(t->total_in));
    if (rc == 0 && (nread > 0 || zero_is_read)) set_read_tm(t, target);
    if (rc != 0) {
        log_err("%s: ERROR(%d)\n", fn, rc);
        pprmsusp(t, t->errstr ? nullptr : text, rc);
        rc = 0;
    } else if (write_now) {
        // The write step a write event would run next turn, run now: the
        // datagrams leave while still in the cache, and the writer is
        // neither armed nor waited for unless the destination holds them.
        // The byte count is read after the step has set it.
        size_t nsent = 0;
        const int wrc = pkt_write(t, &nsent);
        after_write("on_task_write", t, wrc, nsent);
    }
    closing_lines(fn, t, rc);
    return 0;
}

int on_task_write(int, int flags, void *ctx, void *) noexcept
{
    static constexpr const char *fn = "on_task_write";
    rtask *t = task_of(ctx);
    const op_ctx *ox = static_cast<const op_ctx *>(ctx);
    log_group_scope group(t->tid.num);
    if (!should_handle(fn, ox, t, true)) return 0;

    int rc = 0;
    size_t nsent = 0;
    if (flags) {
        log_err("%s: [%s] ERR/HUP\n", fn, rta_label(t));
        rc = -1;
    } else {
        switch (ox->op) {
        case OP_HSW:
            lfx_assert(t->state.num == ST_HSW);
            rc = send_handshake(t);
            break;
        case OP_WRITE:
            lfx_assert(t->state.num == ST_RLY);
            if (t->in_mode == SM_DGRAM)
                rc = pkt_write(t, &nsent);
            else if (t->in_mode == SM_STREAM)
                rc = stream_write(t, &nsent);
            else
                bad_mode(fn, t);
            break;
        default:
            bad_opcode(fn, t, ox->op);
        }
    }

    after_write(fn, t, rc, nsent);
    closing_lines(fn, t, 0);
    return 0;
}

int on_task_error(int, int flags, void *ctx, void *) noexcept
{
    static constexpr const char *fn = "on_task_error";
    rtask *t = task_of(ctx);
    const op_ctx *ox = static_cast<const op_ctx *>(ctx);
    log_group_scope group(t->tid.num);
    if (!should_handle(fn, ox, t, false)) return 0;

    // The descriptor and direction of the registration itself: sources and
    // the handshake before relaying are inbound, keep-alive links are
    // links, the destination is outbound.
    int fd = t->outfd;
    const char *direction = OUT_DIRECTION;
    switch (ox->op) {
    case OP_READ: fd = t->infd, direction = IN_DIRECTION; break;
    case OP_ARD: fd = t->altin.sockfd, direction = IN_DIRECTION; break;
    case OP_HSR:
    case OP_HSW:
        fd = t->hshk_fd;
        direction = is_link_role(ox, t) ? KA_DIRECTION : IN_DIRECTION;
        break;
    case OP_KAR: fd = t->kafd, direction = KA_DIRECTION; break;
    case OP_WRITE: break;
    default: bad_opcode(fn, t, ox->op);
    }
    const int rc = err_task_socket(t, fd, direction, flags);
    if (g_cfg.must_track_io) log_dbg("%s: END (%d)\n", fn, rc);
    return 0;
}

int on_oxa_read(int, int flags, void *ctx, void *) noexcept
{
    static constexpr const char *fn = "on_oxa_read";
    const auto *ox = static_cast<const op_ctx *>(ctx);
    lfx_assert(ox && ox->tag.num == OPX_TAG && ox->op == OP_OXA);
    const int fd = int(reinterpret_cast<intptr_t>(ox->data));
    lfx_assert(fd == g_app.oxafd);
    if (flags & RQS_SOCKERR) {
        const int e = socket_error(fd);
        if (e != 0) {
            log_err("%s: OXA socket ERROR(%d): %s\n", fn, e, strerror(e));
            return e;
        }
    }
    char buf[OXA_MSG_BUFLEN];
    unsigned long count = 0;
    int rc = 0;
    while (count < MAX_OXA_MSGS) {
        const ssize_t n = recv(fd, buf, sizeof(buf) - 1, MSG_DONTWAIT);
        if (n < 0) {
            const int e = errno;
            // Interrupted: the level-triggered socket is offered again.
            if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
                log_dbg("%s: EOD\n", fn);
                break;
            }
            log_err("%s: recv(fd%d,..) ERROR(%d): %s\n", fn, fd, e, strerror(e));
            log_warn("%s: failed to read OXA message over UDP fd%d (was it too large?)\n", fn, fd);
            rc = -1;
            break;
        }
        buf[n] = '\0';
        chomp(buf);
        (void)oxa_process_task(buf);
        ++count;
    }
    log_dbg("%s: read %lu OXA messages\n", fn, count);
    if (count == MAX_OXA_MSGS)
        log_warn("%s: hit the limit of MAX=%lu messages at a time, something wrong?\n", fn,
                 MAX_OXA_MSGS);
    return rc;
}

int on_srv_read(int, int flags, void *ctx, void *) noexcept
{
    static constexpr const char *fn = "on_srv_read";
    auto *ls = static_cast<rui_socket_ctx *>(ctx);
    lfx_assert(ls && ls->tag.num == RSC_TAG);
    const char *alias = ls->lc ? ls->lc->alias : "";
    if (flags) {
        log_err("%s: [%s] ERR/HUP\n", fn, alias);
    } else if (rui_accept(ls, g_cfg.rui.max_accept, 0, nullptr) != 0) {
        log_err("%s: error accepting requests on [%s]\n", fn, alias);
    }
    if (g_quit) {
        log_norm("%s: quitting with the app\n", fn);
        return 1;
    }
    return 0;
}
