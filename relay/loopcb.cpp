#include "loopcb.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "app.globals.h"
#include "cfg.h"
#include "delay.h"
#include "handlers.h"
#include "log.h"
#include "netops.h"
#include "registry.h"
#include "report.h"
#include "resolve.h"
#include "rq.h"
#include "rtask.h"
#include "rui.h"
#include "tasklife.h"
#include "timeop.h"
#include "tmout.h"

LOG_MODULE(LM_DEFAULT);

const rqs_config g_tavel_rqs = {
    {upd_tmout, do_idle_tasks, on_read, on_write, on_error, on_pp, nullptr, nullptr, nullptr},
    0,
};

namespace {

uint32_t tag_of(const void *udata)
{
    lfx_assert(udata);
    uint32_t tag;
    memcpy(&tag, udata, sizeof(tag));
    return tag;
}

[[noreturn]] void corrupt(const char *fn, const void *udata)
{
    const auto *b = static_cast<const unsigned char *>(udata);
    char txt[4];
    for (int i = 0; i < 3; ++i) txt[i] = isprint(b[i]) ? char(b[i]) : '?';
    txt[3] = '\0';
    log_err("%s: unknown data type: [%3s] (0x%04x), data corruption detected\n", fn, txt,
            tag_of(udata));
    lfx_assert(!"known context tag");
    __builtin_unreachable();
}

bool is_oxa_ctx(const void *udata)
{
    return static_cast<const op_ctx *>(udata)->op == OP_OXA;
}

// Error-only events of the agent socket or a listener have no handler:
// the pending error is read (which clears it) and logged, the socket kept.
int log_sock_error(const char *what, int fd, int flags)
{
    const int err = (flags & RQS_SOCKERR) ? socket_error(fd) : 0;
    log_err("%s: %s fd%d reports %s%s (%d)\n", "on_error", what, fd,
            (flags & RQS_SOCKERR) ? "ERR" : "", (flags & RQS_SOCKHUP) ? "HUP" : "", err);
    return 0;
}

}  // namespace

void upd_tmout(struct timespec *tmout) noexcept
{
    long ms = get_min_timeout();
    // The idle sweep when it is due, not a whole period after a wake-up
    // that came for something else.
    const long sweep = idle_sweep_due_ms();
    if (sweep >= 0 && (ms < 0 || ms > sweep)) ms = sweep;
    if (dly_count() > 0) {
        long gap = dly_next_ms();
        // -1: the earliest delay is due already; 0: due within 1 ms.
        if (gap == -1) gap = 0;
        if (gap >= 0 && (ms < 0 || ms > gap)) ms = gap;
    }
    // A log file or pipe is looked after about once a second, also in a
    // loop with nothing else to do.
    const long upkeep = log_upkeep_ms(&g_log);
    if (upkeep >= 0 && (ms < 0 || ms > upkeep)) ms = upkeep;
    // A forced refresh wakes the loop when the report is due, not a whole
    // period after this turn: waking at the period itself would find the
    // report a little short of its age and leave it for another period.
    const long refresh = report_due_ms();
    if (refresh >= 0 && (ms < 0 || ms > refresh)) ms = refresh;
    ms2timespec(ms, tmout);
}

int on_read(int fd, int flags, void *udata, void *aux) noexcept
{
    switch (tag_of(udata)) {
    case OPX_TAG:
        return is_oxa_ctx(udata) ? on_oxa_read(fd, flags, udata, aux)
                                 : on_task_read(fd, flags, udata, aux);
    case RSC_TAG: return on_srv_read(fd, flags, udata, aux);
    case URQ_TAG: return on_urq_read(fd, flags, udata, aux);
    case RSV_TAG: return on_rsv_read(fd, flags, udata, aux);
    default: corrupt("on_read", udata);
    }
}

int on_write(int fd, int flags, void *udata, void *aux) noexcept
{
    switch (tag_of(udata)) {
    case OPX_TAG: return on_task_write(fd, flags, udata, aux);
    case URQ_TAG: return on_urq_write(fd, flags, udata, aux);
    default: corrupt("on_write", udata);
    }
}

int on_error(int fd, int flags, void *udata, void *aux) noexcept
{
    switch (tag_of(udata)) {
    case OPX_TAG:
        return is_oxa_ctx(udata) ? log_sock_error("OXA listener", fd, flags)
                                 : on_task_error(fd, flags, udata, aux);
    case RSC_TAG: return log_sock_error("listener", fd, flags);
    case URQ_TAG: return on_urq_error(fd, flags, udata, aux);
    case RSV_TAG: return log_sock_error("resolver", fd, flags);
    default: corrupt("on_error", udata);
    }
}

int on_pp() noexcept
{
    pprm_task_cleanup();
    pprm_requests();
    dump_reports();
    return 0;
}

long report_due_ms() noexcept
{
    const report_ctx &tr = g_app.trep;
    if (!tr.fpath || g_cfg.force_refresh_sec <= 0) return -1;
    // The loop's time of this turn and the age cut to whole ms: the wait
    // this leaves never ends before the report is due.
    const long left =
        long(g_cfg.force_refresh_sec) * 1000 - diff_ms(rqs_now_ref(), &tr.update_tm);
    return left < 0 ? 0 : left;
}

void dump_reports() noexcept
{
    static constexpr const char *fn = "dump_reports";
    report_ctx &tr = g_app.trep;
    const auto stage = reinterpret_cast<intptr_t>(rqs_ctx(GET_LOOP_STAGE, nullptr));
    if (g_quit || stage != ELOOP_ENDPP || !tr.fpath) return;
    const int refresh = g_cfg.force_refresh_sec;
    if (refresh <= 0 && tr.in_sync) return;

    const long age = diff_ms(rqs_now_ref(), &tr.update_tm);
    const bool due = (refresh == 0 && !tr.in_sync && age > 1000) ||
                     (refresh > 0 && age >= long(refresh) * 1000);
    log_dbg("%s: %s unsync: %ld ms, refresh: %d\n", fn, due ? "YES" : "pass", age,
            refresh * 1000);
    if (!due) return;
    unsync_trep();
    if (report_tasks_json(tr.fpath, &g_app.curr_tasks) == 0) {
        sync_trep();
    } else {
        // Out of date still; the next try comes one period later, not on
        // every turn.
        rqs_set_now(&tr.update_tm);
    }
}

void tend_log() noexcept
{
    if (g_hup) {
        g_hup = 0;
        log_reopen(&g_log);
    }
    // Its line was written when the loop woke up; there is nothing to do.
    g_usr1 = 0;
    log_upkeep(&g_log);
}

int do_idle_tasks() noexcept
{
    tend_log();
    time_out_tasks();
    time_out_requests();
    const size_t n = dly_count();
    if (n == 0) return 0;
    log_dbg("%s: %zu suspended tasks\n", "do_idle_tasks", n);
    dly_expire(revive_task, nullptr);
    return 0;
}

int revive_task(void *udata, void *) noexcept
{
    static constexpr const char *fn = "revive_task";
    auto *t = static_cast<rtask *>(udata);
    lfx_assert(t && t->tag.num == RTA_TAG);
    forget_reopen_fds(t);
    const int rc = rta_revive_task(t, g_cfg.mifc_in);
    if (rc == 0) return 0;
    log_err("%s: failed for [%s]\n", fn, rta_label(t));
    // One more failure of the task, counted like any other: it is
    // suspended again (what the revival opened is closed then) while its
    // retries last, else removed.
    pprmsusp(t, "revival failed", rc);
    return rc;
}
