#include "senderr.h"

#include <cerrno>
#include <cstring>

#include "log.h"
#include "rqs.h"
#include "timeop.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// A line may be written now: none yet, or the last one a second old.  The
// loop's clock of the turn is precise enough and costs no system call.
bool line_due(const task_err &e)
{
    if (e.send_err_tm.tv_sec == 0 && e.send_err_tm.tv_nsec == 0) return true;
    struct timespec period;
    ms2timespec(SEND_ERR_LINE_MS, &period);
    return timed_out(&e.send_err_tm, &period);
}

void line_written(task_err &e)
{
    e.n_drop_unlogged = 0;
    rqs_set_now(&e.send_err_tm);
}

}  // namespace

bool is_transient_send(int err) noexcept
{
    return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == EINTR;
}

bool must_supress_netdown(rtask *task, int err) noexcept
{
    if (err != ENETDOWN && err != ENETUNREACH) return false;
    const uint64_t before = task->errctx.n_out_netdown++;
    if (before == MAX_NETDOWN_SHOWN - 1) log_crit("[%s] network is down\n", rta_label(task));
    return before >= MAX_NETDOWN_SHOWN;
}

void clear_netdown(rtask *task) noexcept
{
    if (task->errctx.n_out_netdown == 0) return;
    task->errctx.n_out_netdown = 0;
    log_crit("[%s] network is up\n", rta_label(task));
}

void send_err_note(rtask *task, const char *fn, const char *tag, int err,
                   uint64_t dropped) noexcept
{
    task_err &e = task->errctx;
    e.n_out_dropped += dropped;
    e.n_drop_unlogged += dropped;
    e.send_err_pending = true;
    if (must_supress_netdown(task, err) || !line_due(e)) return;
    log_err("%s: [%s] sendto(fd%d,...) ERROR(%d): %s; %lu dropped since the last line\n", fn, tag,
            task->outfd, err, strerror(err), static_cast<unsigned long>(e.n_drop_unlogged));
    line_written(e);
}

void send_err_clear(rtask *task, const char *fn, const char *tag) noexcept
{
    task_err &e = task->errctx;
    if (!e.send_err_pending) return;
    clear_netdown(task);
    if (e.n_drop_unlogged > 0) {
        if (!line_due(e)) return;
        log_warn("%s: [%s] fd%d sends pass again; %lu dropped since the last line\n", fn, tag,
                 task->outfd, static_cast<unsigned long>(e.n_drop_unlogged));
        line_written(e);
    }
    e.send_err_pending = false;
}

bool repeat_line_due(struct timespec *line_tm) noexcept
{
    if (line_tm->tv_sec != 0 || line_tm->tv_nsec != 0) {
        struct timespec period;
        ms2timespec(SEND_ERR_LINE_MS, &period);
        if (!timed_out(line_tm, &period)) return false;
    }
    rqs_set_now(line_tm);
    return true;
}
