#include "supervise.h"

#include "cfg.h"
#include "hshk.h"
#include "iflag.h"
#include "log.h"
#include "rqs.h"
#include "timeop.h"
#include "turnflag.h"
#include "txtesc.h"

LOG_MODULE(LM_DEFAULT);

namespace {

bool is_set(const struct timespec &t) { return t.tv_sec != 0 || t.tv_nsec != 0; }

struct timespec mono_now()
{
    struct timespec t;
    set_now(&t);
    return t;
}

// Ms from a to b as a real (b later).
double span_ms(const struct timespec &a, const struct timespec &b)
{
    return double(b.tv_sec - a.tv_sec) * 1e3 + double(b.tv_nsec - a.tv_nsec) / 1e6;
}

// The flags of the read-span and write-gap lines, read every 10 ms at most.
turn_flag g_read_span_flag(
    []() noexcept { return iflag("TVL_TRW") || iflag("TVL_RDSPAN") || iflag("TVL_TRKIO"); });
turn_flag g_rw_gap_flag(
    []() noexcept { return iflag("TVL_TRW") || iflag("TVL_RWGAP") || iflag("TVL_TRKIO"); });

}  // namespace

long src_rdown_ms(const src_timers *tm) noexcept
{
    const struct timespec now = mono_now();
    return diff_ms(&now, &tm->last_read_tm);
}

long src_readable_ms(const src_timers *tm) noexcept
{
    if (src_rdown_ms(tm) >= MAX_RGAP_MS) return -1;
    return diff_ms(&tm->last_read_tm, &tm->first_io_tm);
}

void set_recovery_rtime(const char *tag, const char *tid, src_timers *tm) noexcept
{
    static constexpr const char *fn = "set_recovery_rtime";
    const long down = src_rdown_ms(tm);
    if (down < MAX_RGAP_MS) return;
    if (iflag("TVL_TRKIO"))
        log_warn("%s: %s [%s] down:%ld ms\n", fn, tag, tid, down);
    else
        log_dbg("%s: %s [%s] down:%ld ms\n", fn, tag, tid, down);
    const struct timespec now = mono_now();
    tm->last_down_tm = tm->last_read_tm;
    tm->last_write_tm = tm->last_read_tm = tm->last_io_tm = tm->first_io_tm = now;
}

void set_read_tm(rtask *task, src_timers *tm) noexcept
{
    const struct timespec now = mono_now();
    if (is_set(tm->last_read_tm) && g_read_span_flag.on())
        log_norm("READ-SPAN: %.02f ms [%s] (%p)\n", span_ms(tm->last_read_tm, now),
                 task->tid.sym8, static_cast<void *>(task));
    tm->last_read_tm = now;
    tm->last_io_tm = now;
    if (!is_set(tm->first_io_tm)) tm->first_io_tm = now;
}

void set_write_tm(rtask *task, src_timers *tm) noexcept
{
    const struct timespec now = mono_now();
    if (is_set(tm->last_write_tm) && g_rw_gap_flag.on())
        log_norm("RW-GAP: %.04f ms [%s] (%p)\n", span_ms(tm->last_write_tm, now), task->tid.sym8,
                 static_cast<void *>(task));
    tm->last_write_tm = now;
    tm->last_io_tm = now;
    if (!is_set(tm->first_io_tm)) tm->first_io_tm = now;
}

bool is_online(const rtask *task) noexcept
{
    return !task->errstr && !is_set(task->tm.last_down_tm);
}

void ck_retry_reset(rtask *task) noexcept
{
    if (task->retry_count == 0 || !is_online(task)) return;
    if (diff_ms(rqs_now_ref(), &task->tm.first_io_tm) < g_cfg.savail_tmout_ms) return;
    task->retry_count = 0;
    log_dbg("%s: task retry count reset\n", "ck_retry_reset");
}

void ck_online_flip(rtask *task, size_t len) noexcept
{
    static constexpr const char *fn = "ck_online_flip";
    src_timers &tm = task->tm;
    const size_t min_read = g_cfg.min_read_online;
    if (is_set(tm.last_down_tm)) {
        const bool valid = task->local_in >= min_read;
        if (iflag("TRK_REPORTS"))
            log_info("%s: %s len=%zu, read:%zu/%zu %s\n", fn, task->tid.sym8, len,
                     size_t(task->local_in), min_read, valid ? "VALID" : "invalid");
        if (valid) {
            tm.last_down_tm = timespec{0, 0};
            tm.first_io_tm = mono_now();
            log_info("%s: BACK ONLINE: %s [%s], in=%zu/%zu bytes\n", fn, task->tid.sym8,
                     esc_str(task->hkey).c_str(), size_t(task->local_in), min_read);
            // The revivals are earned back later (ck_retry_reset): a source
            // that answers and fails again at once must use them up.
            rta_set_error(task, nullptr, 0);
        }
    } else if (!is_set(tm.first_io_tm)) {
        tm.first_io_tm = mono_now();
        log_info("%s: %s ONLINE: %s\n", fn, task->tid.sym8, esc_str(task->hkey).c_str());
        rta_set_error(task, nullptr, 0);
    }
    ck_detach_hshk(task);
}

long calc_min_ms(long val, long dflt_val) noexcept { return val < dflt_val ? dflt_val : val; }

void ck_p2a_flip(rtask *task) noexcept
{
    static constexpr const char *fn = "ck_p2a_flip";
    if (task->altin.is_active || !is_online(task)) {
        if (g_cfg.must_track_io) log_dbg("%s: [%s] ALT-active or offline\n", fn, rta_label(task));
        return;
    }
    const long alt_up = src_readable_ms(&task->altin.tm);
    const long pri_down = src_rdown_ms(&task->tm);
    if (pri_down >= g_cfg.sdown_tmout_ms && alt_up >= g_cfg.savail_tmout_ms) {
        log_warn("%s: A-FLIP p-src fd%d down for %ld/%d ms, a-src fd%d ready for %ld/%d ms\n", fn,
                 task->infd, pri_down, g_cfg.sdown_tmout_ms, task->altin.sockfd, alt_up,
                 g_cfg.savail_tmout_ms);
        task->altin.is_active = true;
    } else if (g_cfg.must_track_io) {
        log_dbg("%s: [%s] not yet: pri_down=%ld/%d ms, alt_up=%ld/%d ms\n", fn, rta_label(task),
                pri_down, g_cfg.sdown_tmout_ms, alt_up, g_cfg.savail_tmout_ms);
    }
}

void ck_a2p_flip(rtask *task) noexcept
{
    static constexpr const char *fn = "ck_a2p_flip";
    if (!task->altin.is_active || !is_online(task)) {
        log_dbg("%s: [%s] PRI-active or offline\n", fn, rta_label(task));
        return;
    }
    const long pri_up = src_readable_ms(&task->tm);
    const long alt_down = src_rdown_ms(&task->altin.tm);
    const long min_down = calc_min_ms(g_cfg.sdown_tmout_ms / 3, MIN_FLIP_MS);
    const long min_up = calc_min_ms(g_cfg.savail_tmout_ms / 2, MIN_FLIP_MS);
    if (alt_down >= min_down && pri_up >= min_up) {
        log_warn("%s: PM-FLIP p-src fd%d P-up: %ld/%ld A-down %ld/%ld\n", fn, task->infd, pri_up,
                 min_up, alt_down, min_down);
        task->altin.is_active = false;
    } else if (pri_up >= g_cfg.savail_tmout_ms) {
        log_warn("%s: PU-FLIP p-src fd%d up for %ld/%d ms - %s [%s]\n", fn, task->infd, pri_up,
                 g_cfg.savail_tmout_ms, task->tid.sym8, esc_str(task->hkey).c_str());
        task->altin.is_active = false;
    } else if (g_cfg.must_track_io) {
        log_dbg("%s: [%s] not yet: pri_up=%ld~%ld/%d ms, alt_down=%ld~%ld/%d ms\n", fn,
                rta_label(task), pri_up, min_up, g_cfg.savail_tmout_ms, alt_down, min_down,
                g_cfg.sdown_tmout_ms);
    }
}

void add_kpsm(const char *tid, kps_metric *k, size_t val) noexcept
{
    if (!g_cfg.trep_file[0] || !k->bc.bkt) return;
    // The volume goes into the bucket of the loop's present time (a move
    // home is a comparison while the present bucket lasts): the report
    // reads the buckets as time spans.  The update period only paces the
    // figure kept in vps and its trace line.
    if (bcounter_home(&k->bc) != 0) lfx_abort();
    bcounter_add(&k->bc, val);
    static const size_t upd_ms = g_cfg.abkt.upd_ms;
    struct timespec period;
    ms2timespec(long(upd_ms), &period);
    if (is_set(k->last_tm) && !timed_out(&k->last_tm, &period)) return;
    k->last_tm = rqs_now();
    bcounter_persec_now(&k->bc, &k->vps, nullptr);
    if (iflag("TRK_VPS"))
        log_info("%s: [%s] vps=%.02f kps=%.02f\n", "add_kpsm", tid, k->vps, k->vps / 1024);
}
