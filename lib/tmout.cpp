#include "tmout.h"

#include "log.h"

LOG_MODULE(LM_DEFAULT);

// Statically in the state init_timeout_registry() gives, so a read before
// the program's start-up clears it still says "nothing held".
tmout_registry g_tmreg = {{}, MIN_TIMER_VAL};

void reg_init_timeout(tmout_registry *r) noexcept
{
    for (tmo_rec &t : r->rec) t = tmo_rec{0, 0};
    r->min = MIN_TIMER_VAL;
}

void reg_set_timeout(tmout_registry *r, int index, long val) noexcept
{
    lfx_assert(index >= 0 && index < MAX_TMOUTS);
    lfx_assert(val >= MIN_TIMER_VAL);

    tmo_rec &t = r->rec[index];
    // A later holder with another period leaves the slot as the first set it.
    if (++t.nlocks == 1) {
        t.value = val;
        if (r->min < 0 || val < r->min) r->min = val;
    }
    log_dbg("%s: timeout[%d] lk=%lu val=%ld, min_val=%ld\n", "reg_set_timeout", index,
            (unsigned long)t.nlocks, t.value, r->min);
}

void reg_rm_timeout(tmout_registry *r, int index) noexcept
{
    lfx_assert(index >= 0 && index < MAX_TMOUTS);
    tmo_rec &t = r->rec[index];
    lfx_assert(t.nlocks > 0);

    if (--t.nlocks > 0) {
        log_dbg("%s: timeout[%d] lk=%lu\n", "reg_rm_timeout", index, (unsigned long)t.nlocks);
        return;
    }

    long removed = t.value;
    t.value = 0;
    // Only a slot that could have been the minimum forces a rescan.
    if (r->min == 0 || r->min >= removed) {
        r->min = MIN_TIMER_VAL;
        bool found = false;
        for (long i = 0; i < MAX_TMOUTS; ++i) {
            const tmo_rec &c = r->rec[i];
            if (c.nlocks == 0) continue;
            if (!found || c.value < r->min) {
                found = true;
                r->min = c.value;
                log_dbg("%s: picked rec[%ld] val=%ld, lk=%lu\n", "reg_rm_timeout", i, c.value,
                        (unsigned long)c.nlocks);
            }
        }
    }
    log_dbg("%s: removed timeout[%d]: val=%ld, min_val=%ld\n", "reg_rm_timeout", index, removed,
            r->min);
}

long reg_get_timeout(const tmout_registry *r, int index) noexcept
{
    lfx_assert(index >= 0 && index < MAX_TMOUTS);
    return r->rec[index].value;
}

long reg_min_timeout(const tmout_registry *r) noexcept { return r->min; }

void init_timeout_registry() noexcept { reg_init_timeout(&g_tmreg); }
void set_timeout(int index, long val) noexcept { reg_set_timeout(&g_tmreg, index, val); }
void rm_timeout(int index) noexcept { reg_rm_timeout(&g_tmreg, index); }
long get_timeout(int index) noexcept { return reg_get_timeout(&g_tmreg, index); }
long get_min_timeout() noexcept { return reg_min_timeout(&g_tmreg); }
