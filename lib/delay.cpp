#include "delay.h"

#include <cerrno>
#include <cstdlib>

#include "dlep.h"
#include "log.h"
#include "syswrap.h"
#include "timeop.h"

LOG_MODULE(LM_DEFAULT);

// The list header's type field holds the magic.
struct dly_ctx {
    dlep_hdr hdr;
    struct timespec expiry;  // monotonic
    long usec;               // length, kept for re-arming
    void *udata;
    uint32_t flags;
    bool expired;  // fired, lies in the trash
};

namespace {

struct dly_module {
    dlep_t delays;  // pending, sorted by expiry, the earliest at the head
    dlep_t trash;   // fired, in firing order
    // Freed records are kept for reuse instead of going back to malloc, so
    // that a handle freed twice still points at readable memory marked
    // DEAD_DLY and the double free is caught without touching freed memory.
    // The oldest freed record is reused first, which keeps a stale handle
    // detectable for as long as possible.
    dlep_t freed;
};

dly_module g_mod;

int32_t &magic(dly_ctx *d) { return d->hdr.type_id; }

int cmp_dly(const void *a, const void *b)
{
    const struct timespec &x = static_cast<const dly_ctx *>(a)->expiry;
    const struct timespec &y = static_cast<const dly_ctx *>(b)->expiry;
    if (x.tv_sec != y.tv_sec) return x.tv_sec < y.tv_sec ? -1 : 1;
    if (x.tv_nsec != y.tv_nsec) return x.tv_nsec < y.tv_nsec ? -1 : 1;
    return 0;
}

bool after(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

[[noreturn]] void double_free(dly_ctx *d)
{
    log_panic("%s: Double-freeing [%p] delay\n", "dly_free", static_cast<void *>(d));
    lfx_abort();
}

// Marks a delay dead and keeps its record for reuse.
void free_dly(dly_ctx *d)
{
    if (magic(d) == DEAD_DLY) double_free(d);
    log_dbg("%s: removing %s delay [%p]\n", "dly_free", d->expired ? "expired" : "active",
            static_cast<void *>(d));
    magic(d) = DEAD_DLY;
    dlep_append(g_mod.freed, d);
}

dly_ctx *alloc_dly()
{
    if (auto *d = static_cast<dly_ctx *>(dlep_rmtail(g_mod.freed))) {
        *d = dly_ctx{};
        return d;
    }
    return static_cast<dly_ctx *>(W_calloc("dly_add_usec", 1, sizeof(dly_ctx)));
}

void destroy_live(void *e)
{
    auto *d = static_cast<dly_ctx *>(e);
    log_dbg("%s: removing %s delay [%p]\n", "dly_free", d->expired ? "expired" : "active", e);
    magic(d) = DEAD_DLY;
    free(e);
}

// Sets the expiry usec from now and inserts the delay in its sorted place.
void rearm(dly_ctx *d)
{
    struct timespec offset;
    usec2timespec(d->usec < 0 ? 0 : d->usec, &offset);
    set_now_plus(&d->expiry, &offset);
    dlep_sadd(g_mod.delays, d, 1, cmp_dly);
}

// Frees every record of a list for good (at destruction).
void release(dlep_t *lh, efree_t efree)
{
    if (!*lh) return;
    dlep_destroy(*lh, efree);
    *lh = 0;
}

}  // namespace

int dly_init() noexcept
{
    lfx_assert(!g_mod.delays && !g_mod.trash);
    int err = 0;
    if (!(g_mod.delays = dlep_create(&err))) return err;
    if (!(g_mod.trash = dlep_create(&err)) || !(g_mod.freed = dlep_create(&err))) {
        release(&g_mod.delays, free);
        release(&g_mod.trash, free);
        return err;
    }
    return 0;
}

void dly_destroy() noexcept
{
    release(&g_mod.delays, destroy_live);
    release(&g_mod.trash, destroy_live);
    release(&g_mod.freed, free);
}

dly_t dly_add_usec(long usec, void *udata, uint32_t flags) noexcept
{
    dly_ctx *d = alloc_dly();
    if (!d) {
        errno = ENOMEM;
        return nullptr;
    }
    magic(d) = DLY_SIG;
    d->udata = udata;
    d->usec = usec;
    d->flags = flags;
    rearm(d);
    log_dbg("%s: ADDED [%p] for %ld usec, flags=0x%x expires at %lu.%lu\n", __func__,
            static_cast<void *>(d), usec, flags, (unsigned long)d->expiry.tv_sec,
            (unsigned long)d->expiry.tv_nsec);
    return d;
}

int dly_rm(dly_t d) noexcept
{
    if (!d) return ESRCH;
    if (magic(d) == DEAD_DLY) double_free(d);
    if (magic(d) != DLY_SIG) {
        log_err("%s: [%p] is not a delay\n", __func__, static_cast<void *>(d));
        return ESRCH;
    }
    dlep_rm(d->expired ? g_mod.trash : g_mod.delays, d);
    free_dly(d);
    return 0;
}

void dly_set_expiry(dly_t d, const struct timespec *t) noexcept
{
    lfx_assert(d && magic(d) == DLY_SIG);
    if (t)
        d->expiry = *t;
    else
        set_now(&d->expiry);
}

int dly_next_time(struct timespec *t) noexcept
{
    if (dlep_count(g_mod.delays) == 0) return -1;
    auto *d = static_cast<dly_ctx *>(dlep_head(g_mod.delays));
    if (!d) return -2;
    struct timespec now;
    set_now(&now);
    if (!after(d->expiry, now)) {
        log_info("%s: timer(%p) already expired\n", __func__, static_cast<void *>(d));
        return -1;
    }
    *t = d->expiry;
    return 0;
}

long dly_next_ms() noexcept
{
    struct timespec t;
    if (int rc = dly_next_time(&t); rc != 0) return rc;
    return diff_ms(&t, nullptr);
}

long dly_next_usec() noexcept
{
    struct timespec t;
    if (int rc = dly_next_time(&t); rc != 0) return rc;
    return diff_usec(&t, nullptr);
}

size_t dly_count() noexcept { return g_mod.delays ? dlep_count(g_mod.delays) : 0; }

int dly_expire(dly_expiry_t expire, void *aux) noexcept
{
    struct timespec now;
    set_now(&now);
    size_t pending = dlep_count(g_mod.delays);
    int fired = 0, errors = 0;
    // The callback may add delays and remove any delay, its own included:
    // nothing of d is read once it has been called.
    for (size_t n = 0; n < pending; ++n) {
        auto *d = static_cast<dly_ctx *>(dlep_head(g_mod.delays));
        if (!d) break;
        long delta = diff_usec(&now, &d->expiry);
        log_dbg("%s: [%p] d/now = %ld.%08ld / %ld.%08ld, delta=%ld usec\n", __func__,
                static_cast<void *>(d), (long)d->expiry.tv_sec, d->expiry.tv_nsec,
                (long)now.tv_sec, now.tv_nsec, delta);
        lfx_assert(magic(d) == DLY_SIG);
        if (delta > 1000 && after(d->expiry, now)) {
            log_dbg("%s: delta=%ld usec, exit loop\n", __func__, delta);
            break;
        }
        dlep_rm(g_mod.delays, d);
        if (d->flags & DLY_RECUR) {
            // Re-armed in place from the present moment: the owner's handle
            // stays valid, so dly_rm stops it, and no record is made.
            rearm(d);
        } else {
            dlep_append(g_mod.trash, d);
            d->expired = true;
            log_dbg("%s: [%p] moved to trash\n", __func__, static_cast<void *>(d));
        }
        if (expire && expire(d->udata, aux) != 0) ++errors;
        ++fired;
    }
    if (errors) log_err("%s: %d errors expiring timers\n", __func__, errors);
    return fired;
}
