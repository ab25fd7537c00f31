#include "registry.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app.globals.h"
#include "cfg.h"
#include "dchain.h"
#include "log.h"
#include "rqs.h"
#include "syswrap.h"
#include "tasklife.h"
#include "timeop.h"
#include "tmout.h"
#include "txtesc.h"

LOG_MODULE(LM_DEFAULT);

tavel_ctx g_app;

namespace {

// Whether this module holds the slot TSKL_TMOUT, so that it is released
// exactly once.
bool g_tskl_held = false;

const char *nz(const char *s) { return s ? s : ""; }

rtask *&pprm_at(void *data, size_t i) { return *static_cast<rtask **>(xv_blk(data, i, PPRM_BLKSZ)); }

void *idx_data(ssize_t idx) { return reinterpret_cast<void *>(intptr_t(idx)); }

// A key as the task table holds it: a letter for its kind, then the text.
// A client id may spell anything, "src|dst" included; with the letter it
// still never meets the key of a task made without one.
struct table_key {
    char s[1 + MAX_RTASK_HKEY];
    table_key(bool is_cid, const char *key) noexcept
    {
        s[0] = is_cid ? 'c' : 'u';
        snprintf(s + 1, sizeof(s) - 1, "%s", key);
    }
};

int cleanup_one(void *data, size_t i)
{
    rtask *t = pprm_at(data, i);
    if (t->must_suspend) {
        susp_task(t);
        t->must_suspend = false;
    } else {
        rm_task(t);
    }
    return 0;
}

int remove_one(void *, size_t i)
{
    rm_task(task_at(i));
    return 0;
}

void close_csock(int fd)
{
    if (fd >= 0) W_close("add_task", fd);
}

}  // namespace

rtask *task_at(size_t idx) noexcept
{
    return static_cast<rtask *>(xv_blk(g_app.curr_tasks.data, idx, TASK_BLKSZ));
}

size_t task_count() noexcept { return g_app.curr_tasks.len; }

bool is_oxa_task(const char *dst) noexcept { return dst && strcmp(dst, OXA_DEST) == 0; }

// --- the status report's freshness --------------------------------------------------------

void unsync_trep() noexcept
{
    if (!g_app.trep.in_sync) return;
    g_app.trep.in_sync = false;
    if (!g_tskl_held) {
        set_timeout(TSKL_TMOUT, TSKL_MS);
        g_tskl_held = true;
    }
}

void sync_trep() noexcept
{
    if (g_app.trep.in_sync) return;
    if (g_tskl_held) {
        rm_timeout(TSKL_TMOUT);
        g_tskl_held = false;
    }
    g_app.trep.in_sync = true;
    set_now(&g_app.trep.update_tm);
}

// --- creation and look-up --------------------------------------------------------------------

rtask *register_task(const char *src, const char *dst, const char *alt, const char *cid,
                     n64_tag id) noexcept
{
    static constexpr const char *fn = "register_task";
    const ssize_t slot = xvlst_add(&g_app.curr_tasks, TASK_BLKSZ, 1);
    if (slot < 0) {
        log_err("%s: failed to add [%s] to task list\n", fn, cid ? cid : id.sym8);
        return nullptr;
    }
    rtask *t = task_at(size_t(slot));
    *t = rtask{};
    t->idx = slot;
    t->rcount = 1;
    t->tid = id;
    t->has_cid = cid != nullptr;
    const int krc = cid ? rta_mk_key(t->hkey, sizeof(t->hkey), cid, nullptr, nullptr)
                        : rta_mk_key(t->hkey, sizeof(t->hkey), src, dst, alt);
    int rc = -1;
    if (krc == 0) {
        void *data = idx_data(slot);
        rc = skht_add(g_app.task_ht, table_key(t->has_cid, t->hkey).s, &data);
        if (rc != 0)
            log_err("%s: ERROR(%d) hashing [%s] data=%p\n", fn, rc, esc_str(t->hkey).c_str(),
                    idx_data(slot));
    }
    if (rc != 0) {
        xvlst_del(&g_app.curr_tasks, size_t(slot), nullptr);
        return nullptr;
    }
    t->is_hashed = true;
    log_dbg("%s: hashed task[idx=%ld] as [%s] %s\n", fn, long(slot), esc_str(t->hkey).c_str(),
            t->has_cid ? "(cid)" : "");
    unsync_trep();
    return t;
}

long idle_sweep_ms() noexcept
{
    const long ms = long(g_cfg.task_tmout_ms) / IDLE_SWEEP_PARTS;
    return ms < IDLE_SWEEP_MIN_MS ? IDLE_SWEEP_MIN_MS : ms;
}

void set_task_tmout(rtask *t) noexcept
{
    if (g_cfg.task_tmout_ms <= 0) return;
    // The loop wakes at least once per sweep period while a task holds it.
    set_timeout(IDLE_TASK_TMOUT, idle_sweep_ms());
    t->tmout = g_cfg.task_tmout_ms;
    log_dbg("%s: task timeout set to %d\n", "set_task_tmout", t->tmout);
}

int add_task(int csock, const char *src, const char *dst, const char *alt, const char *cid,
             const task_options *opt) noexcept
{
    static constexpr const char *fn = "add_task";
    lfx_assert(src && dst);
    const bool is_oxa = is_oxa_task(dst);
    log_dbg("%s: csock=fd%d src=[%s], dst=[%s] alt=[%s]\n", fn, csock, src, dst, nz(alt));
    if (g_app.curr_tasks.len >= size_t(g_cfg.max_tasks)) {
        log_err("%s: limit on tasks exceeded [%lu]\n", fn, (unsigned long)g_cfg.max_tasks);
        close_csock(csock);
        return -1;
    }
    const redir_route *route = nullptr;
    if (g_app.route_ht) {
        const char *sep = strstr(src, "://");
        route = rrt_get(g_app.route_ht, sep ? sep + 3 : src);
        if (route) log_info("%s: source [%s] is to be re-directed via remote route\n", fn, src);
    }
    // Once the loop runs it never resolves: a routed task made without a
    // look-up of its own (an agent's JOIN) needs its route's names to have
    // resolved at start-up.
    if (route && route->unresolved && g_app.is_ready && !(opt && opt->addrs)) {
        log_err("%s: route of [%s] names a host that did not resolve at start-up\n", fn, src);
        close_csock(csock);
        return EINVAL;
    }
    if (is_oxa && !route) {
        log_err("%s: no remote route for OXA source [%s]\n", fn, src);
        close_csock(csock);
        return EINVAL;
    }

    n64_tag id{};
    rui_mk_trknum(&g_app.last_task_id, &id, 'T', 10000);
    rtask *t = register_task(src, dst, alt, cid, id);
    if (!t) {
        close_csock(csock);
        return -1;
    }
    char oxa_dst[128];
    if (is_oxa) {
        snprintf(oxa_dst, sizeof(oxa_dst), "UDP://%s", route->src);
        dst = oxa_dst;
        log_dbg("%s: OXA task: dest=[%s]\n", fn, dst);
    }
    if (opt) t->opt = *opt;
    // A routed task made without a look-up of its own opens the addresses
    // its route's names had at start-up.
    task_addrs route_addrs{};
    if (route && !t->opt.addrs) {
        snprintf(route_addrs.in, sizeof route_addrs.in, "%s", route->rcv_num);
        snprintf(route_addrs.in_ssm, sizeof route_addrs.in_ssm, "%s", route->rcv_ssm_num);
        snprintf(route_addrs.hshk, sizeof route_addrs.hshk, "%s", route->rmt_num);
        t->opt.addrs = &route_addrs;
    }

    int rc = rta_mk_task(t, src, dst, alt, id, route);
    if (rc == 0) {
        t->kafd = csock;
        csock = -1;
        if (t->kafd >= 0) rc = rta_ensure_keepalive(t);
        if (rc == 0) set_task_tmout(t);
    }
    close_csock(csock);
    if (rc != 0) {
        rm_task(t);
        return rc;
    }
    log_dbg("%s: added [%s] as task[%ld]\n", fn, rta_label(t), long(t->idx));
    if (t->state.num == ST_RLY) {
        char optbuf[64];
        log_norm("Task [%s] is relaying data (%s)\n", rta_label(t),
                 rta_optstr(&t->opt, optbuf, sizeof(optbuf)));
    } else {
        log_norm("Task [%s] goes to handshake\n", rta_label(t));
    }
    return 0;
}

int get_hashed_task_idx(bool is_cid, const char *key, ssize_t *idx) noexcept
{
    if (!g_app.task_ht) return EINVAL;
    void *data = nullptr;
    const int rc = skht_get(g_app.task_ht, table_key(is_cid, key).s, &data);
    if (rc == 0) *idx = ssize_t(reinterpret_cast<intptr_t>(data));
    return rc;
}

rtask *lookup_task(const char *src, const char *dst, const char *alt) noexcept
{
    static constexpr const char *fn = "lookup_task";
    errno = 0;
    char key[MAX_RTASK_HKEY];
    if (rta_mk_key(key, sizeof(key), src, dst, alt) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    ssize_t idx = -1;
    // A key of the source alone is a client id's.
    const int rc = get_hashed_task_idx(dst == nullptr, key, &idx);
    if (rc == ESRCH) {
        log_dbg("%s: no task matches key=[%s]\n", fn, key);
        errno = ESRCH;
        return nullptr;
    }
    if (rc != 0) {
        log_err("%s: ERROR(%d) looking up key=[%s]\n", fn, rc, key);
        errno = EINVAL;
        return nullptr;
    }
    log_dbg("%s: idx=%ld matched key=[%s]\n", fn, long(idx), key);
    lfx_assert(idx >= 0 && size_t(idx) < g_app.curr_tasks.max_len);
    rtask *t = task_at(size_t(idx));
    log_dbg("%s: got task [%s] (%p)\n", fn, rta_label(t), static_cast<void *>(t));
    return t;
}

// --- queuing ------------------------------------------------------------------------------

int drop_task(rtask *task, int mode) noexcept
{
    static constexpr const char *fn = "drop_task";
    lfx_assert(mode != 0);
    log_dbg("%s: (mode=%d) [%s] rcount=%d\n", fn, mode, rta_label(task), task->rcount);
    if (task->rcount > 0) --task->rcount;
    if (mode == -1) {
        if (task->rcount > 0) {
            log_warn("%s: %d client(s) still on this task [%s]\n", fn, task->rcount,
                     rta_label(task));
            task->rcount = 0;
        }
    } else if (task->rcount > 0) {
        log_info("%s: [%s] still has %d client(s), task remains\n", fn, rta_label(task),
                 task->rcount);
        return EAGAIN;
    }
    log_info("%s: dropping [%s]\n", fn, rta_label(task));
    task->must_suspend = false;
    return pprm_task(task);
}

int pprm_task(rtask *task) noexcept
{
    static constexpr const char *fn = "pprm_task";
    size_t pos = 0;
    if (xvlst_find(&g_app.pprm_tasks, task, is_ptr_match, &pos) != 0) {
        log_warn("%s: task [%s] (%p) is already listed, skipping\n", fn, rta_label(task),
                 static_cast<void *>(task));
        // The decision has become removal: no later request of this turn
        // may find the task and join it.
        if (!task->must_suspend && !task->is_quitting) {
            task->is_quitting = true;
            expunge_task(task);
        }
        return 0;
    }
    const ssize_t slot = xvlst_add(&g_app.pprm_tasks, PPRM_BLKSZ, 1);
    if (slot < 0) {
        log_err("%s: FAILED on [%s] (%p)\n", fn, rta_label(task), static_cast<void *>(task));
        return -1;
    }
    pprm_at(g_app.pprm_tasks.data, size_t(slot)) = task;
    task->is_quitting = !task->must_suspend;
    if (task->is_quitting) expunge_task(task);
    log_dbg("%s: [%s] (%p) idx=%ld (%s) OK\n", fn, rta_label(task), static_cast<void *>(task),
            long(task->idx), task->must_suspend ? "SUSP" : "QUIT");
    return 0;
}

bool ck_revive_task(rtask *t) noexcept
{
    if (g_quit || t->is_quitting) return false;
    // A task already queued in this turn, and not for removal, was queued
    // by a failure, which was counted then: the primary and the alternate
    // failing together, or a read and the write that followed it, are one
    // failure of the task.
    size_t pos = 0;
    const bool counted = xvlst_find(&g_app.pprm_tasks, t, is_ptr_match, &pos) != 0;
    if (!counted && t->retry_count < INT_MAX) ++t->retry_count;
    if (g_cfg.max_retries >= 0 && t->retry_count >= g_cfg.max_retries) return false;
    log_dbg("%s: [%s] can revive %d/%d\n", "ck_revive_task", rta_label(t), t->retry_count,
            g_cfg.max_retries);
    return true;
}

int pprmsusp(rtask *task, const char *errmsg, int err) noexcept
{
    task->must_suspend = ck_revive_task(task);
    log_info("%s: [%s] (%p) will be %s [%s]\n", "pprmsusp", rta_label(task),
             static_cast<void *>(task), task->must_suspend ? "suspended" : "removed",
             errmsg ? errmsg : "-");
    if (task->must_suspend && errmsg) rta_set_error(task, errmsg, err);
    return pprm_task(task);
}

void pprm_task_free(void *data, size_t i) noexcept { pprm_at(data, i) = nullptr; }

void pprm_task_cleanup() noexcept
{
    if (g_app.pprm_tasks.len == 0) return;
    log_dbg("%s: %ld pprm tasks\n", "pprm_task_cleanup", long(g_app.pprm_tasks.len));
    xvlst_each(&g_app.pprm_tasks, cleanup_one, nullptr);
    xvlst_purge_all(&g_app.pprm_tasks, pprm_task_free);
}

// --- suspension and removal -------------------------------------------------------------

void susp_task(rtask *t) noexcept
{
    // retry_period_sec x retry_count grows without bound when retries are
    // unlimited: computed in 64 bits and capped.
    int64_t period = t->retry_count < 2 ? 0 : g_cfg.retry_period_sec;
    if (t->err == E2BIG) period = int64_t(g_cfg.retry_period_sec) * t->retry_count;
    if (period < 0) period = 0;
    if (period > RTA_MAX_SUSP_SEC) period = RTA_MAX_SUSP_SEC;
    rta_susp_task(t, int(period));
    forget_reopen_fds(t);
    t->reopen_fds = rta_reopen_fds(t);
    g_app.reopen_fds += size_t(t->reopen_fds);
    unsync_trep();
    log_norm("Task [%s]: SUSPENDED\n", rta_label(t));
}

void forget_reopen_fds(rtask *t) noexcept
{
    const size_t n = size_t(t->reopen_fds);
    lfx_assert(t->reopen_fds >= 0 && g_app.reopen_fds >= n);
    g_app.reopen_fds -= n;
    t->reopen_fds = 0;
}

void rm_task(rtask *t) noexcept
{
    forget_reopen_fds(t);
    if (t->tmout > 0) {
        rm_timeout(IDLE_TASK_TMOUT);
        t->tmout = 0;
    }
    char label[ESC_TEXT_ROOM];
    snprintf(label, sizeof(label), "%s", rta_label(t));
    if (g_app.on_task_end) g_app.on_task_end(t);
    detach_task(t);
    unsync_trep();
    log_norm("Task [%s]: ENDED\n", label);
}

void detach_task(rtask *t) noexcept
{
    static constexpr const char *fn = "detach_task";
    const int64_t idx = t->idx;
    if (idx < 0 || xvlst_del(&g_app.curr_tasks, size_t(idx), task_rec_free) != 0) {
        log_panic("%s(%p): FAILED [%s] idx=%ld\n", fn, static_cast<void *>(t), rta_label(t),
                  long(idx));
        lfx_abort();
    }
    log_dbg("%s: removed task[%ld] (%p)\n", fn, long(idx), static_cast<void *>(t));
}

void expunge_task(rtask *t) noexcept
{
    if (t->is_hashed) unhash_task(t);
}

ssize_t unhash_task(rtask *t) noexcept
{
    static constexpr const char *fn = "unhash_task";
    if (!t->is_hashed) {
        log_dbg("%s: [%s] not hashed\n", fn, rta_label(t));
        return -1;
    }
    void *data = nullptr;
    const int rc = skht_rm(g_app.task_ht, table_key(t->has_cid, t->hkey).s, &data);
    const long hidx = rc == 0 ? long(reinterpret_cast<intptr_t>(data)) : -1;
    if (hidx != long(t->idx)) {
        log_panic("%s: [%s] wrong/invalid index: task/hash=%ld/%ld\n", fn, rta_label(t),
                  long(t->idx), hidx);
        lfx_abort();
    }
    t->is_hashed = false;
    log_dbg("%s: OK for [%s] (%p) idx=%ld\n", fn, rta_label(t), static_cast<void *>(t), hidx);
    return hidx;
}

void task_rec_free(void *data, size_t i) noexcept
{
    auto *t = static_cast<rtask *>(xv_blk(data, i, TASK_BLKSZ));
    expunge_task(t);
    rta_free_task(t);
}

void rm_all_tasks() noexcept
{
    static constexpr const char *fn = "rm_all_tasks";
    const size_t n = g_app.curr_tasks.len;
    if (n)
        log_dbg("%s: %ld tasks to purge:\n", fn, long(n));
    else
        log_dbg("%s: no tasks to purge.\n", fn);
    // Nothing queued may outlive the records it points at.
    xvlst_purge_all(&g_app.pprm_tasks, pprm_task_free);
    xvlst_each(&g_app.curr_tasks, remove_one, nullptr);
}

// --- idle sweeps ------------------------------------------------------------------------

bool is_iocheck_time() noexcept
{
    // Decided once per idle pass, that is once per value of the loop's
    // clock, so that both sweeps of a pass see the same answer.
    static struct timespec decided_at = {-1, -1};
    static bool due = false;
    const struct timespec now = rqs_now();
    if (now.tv_sec == decided_at.tv_sec && now.tv_nsec == decided_at.tv_nsec) return due;
    decided_at = now;
    if (g_cfg.task_tmout_ms <= 0) {
        due = true;
    } else {
        // Swept a few times per time-out, so that a task is suspended at
        // most one sweep period after its time-out, not up to a whole
        // time-out later.
        struct timespec period;
        ms2timespec(idle_sweep_ms(), &period);
        due = timed_out(&g_app.last_io_check, &period);
    }
    if (!due || g_cfg.task_tmout_ms <= 0) {
        if (due) rqs_set_now(&g_app.last_io_check);
        return due;
    }
    // The next pass is due a period after this one was due, not after the
    // wake-up that found it, so that a late wake-up does not push the
    // passes after it back; a pass missed by more than a period is not
    // made up: the next one is a period from now.  Stamped with the loop's
    // clock, the one the decision reads.
    struct timespec &last = g_app.last_io_check;
    struct timespec period;
    ms2timespec(idle_sweep_ms(), &period);
    struct timespec was_due = {last.tv_sec + period.tv_sec, last.tv_nsec + period.tv_nsec};
    if (was_due.tv_nsec >= 1000000000L) was_due.tv_sec += 1, was_due.tv_nsec -= 1000000000L;
    if ((last.tv_sec == 0 && last.tv_nsec == 0) || timed_out(&was_due, &period))
        rqs_set_now(&last);
    else
        last = was_due;
    return true;
}

long idle_sweep_due_ms() noexcept
{
    if (g_cfg.task_tmout_ms <= 0 || get_timeout(IDLE_TASK_TMOUT) == 0) return -1;
    const struct timespec &last = g_app.last_io_check;
    if (last.tv_sec == 0 && last.tv_nsec == 0) return 0;
    // The whole ms elapsed, cut: the wait never ends before the pass is due.
    const long left = idle_sweep_ms() - diff_ms(rqs_now_ref(), &last);
    return left < 0 ? 0 : left;
}

int io_tmout_check(void *data, size_t i) noexcept
{
    auto *t = static_cast<rtask *>(xv_blk(data, i, TASK_BLKSZ));
    if (t->state.num == ST_SUS || t->tmout <= 0) return 0;
    struct timespec tmo;
    ms2timespec(t->tmout, &tmo);
    if (!timed_out(&t->tm.last_io_tm, &tmo)) return 0;
    char st[5] = {};
    memcpy(st, t->state.sym4, 4);
    log_warn("[%s] (%p) [%s] timed out after %ld ms\n", rta_label(t), static_cast<void *>(t), st,
             diff_ms(rqs_now_ref(), &t->tm.last_io_tm));
    pprmsusp(t, "time-out", ETIMEDOUT);
    return 0;
}

int time_out_tasks() noexcept
{
    if (!is_iocheck_time()) return 0;
    // Only a task holding the idle time-out can time out.  With none held
    // (idle_task_timeout -1, where the gate opens on every turn of the
    // loop) the sweep would visit every task to find nothing.
    if (get_timeout(IDLE_TASK_TMOUT) == 0) return 0;
    xvlst_each(&g_app.curr_tasks, io_tmout_check, nullptr);
    return 0;
}

long urq_tmout_ms() noexcept
{
    return g_cfg.rui.user_request_tmout > 0 ? g_cfg.rui.user_request_tmout : 5000;
}

long urq_sweep_ms() noexcept
{
    const long ms = urq_tmout_ms() / 8;
    return ms < URQ_SWEEP_MIN_MS ? URQ_SWEEP_MIN_MS : ms > URQ_SWEEP_MAX_MS ? URQ_SWEEP_MAX_MS : ms;
}

int time_out_requests() noexcept
{
    // Apart from the idle pass of tasks, whose period is a task matter;
    // requests hold URQ_TMOUT with this period, so the loop wakes for it.
    struct timespec period;
    ms2timespec(urq_sweep_ms(), &period);
    if (!timed_out(&g_app.last_urq_sweep, &period)) return 0;
    rqs_set_now(&g_app.last_urq_sweep);
    rui_tmout_all(&g_app.rui, size_t(urq_tmout_ms()));
    return 0;
}

void pprm_requests() noexcept { rui_pprm_all(&g_app.rui); }
