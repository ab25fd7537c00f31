#include "bktcount.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "log.h"
#include "rqs.h"
#include "syswrap.h"
#include "timeop.h"

LOG_MODULE(LM_DEFAULT);

namespace {

bool is_unset(const struct timespec &t) { return t.tv_sec == 0 && t.tv_nsec == 0; }

bool not_after(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

void add_span(struct timespec *t, const struct timespec &span)
{
    t->tv_sec += span.tv_sec;
    t->tv_nsec += span.tv_nsec;
    if (t->tv_nsec >= TMS_NSEC_PER_SEC) {
        t->tv_sec += 1;
        t->tv_nsec -= TMS_NSEC_PER_SEC;
    }
}

// Clears every bucket (touched flags too) and starts bucket 0 at now.
void reset_to(bcounter *bc, const struct timespec &now)
{
    memset(static_cast<void *>(bc->bkt), 0, bc->bcount * sizeof(bucket));
    bc->end_tm = now;
    add_span(&bc->end_tm, bc->tspan);
    bc->idx = 0;
}

// Rates over the touched buckets once the next `entered` buckets after the
// present one have been entered empty (fewer than bcount of them).
void rates_after(const bcounter *bc, size_t entered, double *vps, double *hps)
{
    size_t vol = 0, hits = 0, touched = 0;
    for (size_t i = 0; i < bc->bcount; ++i) {
        const bucket &b = bc->bkt[i];
        const size_t ahead = (i + bc->bcount - bc->idx) % bc->bcount;
        if (ahead >= 1 && ahead <= entered) {
            ++touched;
            continue;
        }
        if (!b.touched) continue;
        vol += b.vol;
        hits += b.hits;
        ++touched;
    }
    long ms = long(touched) * tms2ms(&bc->tspan);
    double secs = double(ms) / 1000.0;
    if (vps) *vps = ms ? double(vol) / secs : 0.0;
    if (hps) *hps = ms ? double(hits) / secs : 0.0;
}

}  // namespace

int bcounter_init(bcounter *bc, size_t bnum, long ms) noexcept
{
    // clang-format off
    lfx_assert(bc && NULL == bc->bkt && bnum > 1 && ms > 0);
    // clang-format on
    *bc = bcounter{};
    bc->bkt = static_cast<bucket *>(W_calloc(__func__, bnum, sizeof(bucket)));
    if (!bc->bkt) return -1;
    bc->bcount = bnum;
    ms2timespec(ms, &bc->tspan);
    return 0;
}

void bcounter_discard(bcounter *bc) noexcept
{
    free(bc->bkt);
    *bc = bcounter{};
}

int bcounter_home(bcounter *bc) noexcept
{
    const struct timespec &now = *rqs_now_ref();
    if (is_unset(bc->end_tm)) {
        reset_to(bc, now);
        return 0;
    }
    // Each span passed without additions still counts as measured time.
    for (size_t i = 0; i < bc->bcount; ++i) {
        if (not_after(now, bc->end_tm)) return 0;
        add_span(&bc->end_tm, bc->tspan);
        bc->idx = (bc->idx + 1) % bc->bcount;
        bc->bkt[bc->idx] = bucket{0, 0, 1};
    }
    // Idle for longer than the whole ring: every bucket is a span without
    // additions, measured and empty, and the present one starts at now.  A
    // burst after the silence is then spread over the whole window, as a
    // flow that had kept the counter moving would be.
    reset_to(bc, now);
    for (size_t i = 0; i < bc->bcount; ++i) bc->bkt[i].touched = 1;
    return 0;
}

int bcounter_persec(const bcounter *bc, double *vps, double *hps) noexcept
{
    rates_after(bc, 0, vps, hps);
    return 0;
}

int bcounter_persec_now(const bcounter *bc, double *vps, double *hps) noexcept
{
    if (vps) *vps = 0.0;
    if (hps) *hps = 0.0;
    if (is_unset(bc->end_tm)) return 0;
    // Count the buckets a move home would enter, as bcounter_home does.
    const struct timespec &now = *rqs_now_ref();
    struct timespec end = bc->end_tm;
    size_t entered = 0;
    while (entered < bc->bcount && !not_after(now, end)) {
        add_span(&end, bc->tspan);
        ++entered;
    }
    if (entered == bc->bcount) return 0;

    // The present bucket (the last entered, or idx) counts only the part of
    // its span that has passed: counting it whole would read a steady flow
    // low by up to one bucket in bcount.  The window is at least one span,
    // so that a read right after the first addition does not divide by
    // almost nothing.
    const size_t present = (bc->idx + entered) % bc->bcount;
    size_t vol = 0, hits = 0, whole = 0;
    for (size_t i = 0; i < bc->bcount; ++i) {
        if (i == present) continue;
        const size_t ahead = (i + bc->bcount - bc->idx) % bc->bcount;
        if (ahead >= 1 && ahead <= entered) {  // entered empty
            ++whole;
            continue;
        }
        const bucket &b = bc->bkt[i];
        if (!b.touched) continue;
        vol += b.vol;
        hits += b.hits;
        ++whole;
    }
    if (entered == 0) {
        vol += bc->bkt[present].vol;
        hits += bc->bkt[present].hits;
    }
    const double span = double(bc->tspan.tv_sec) + double(bc->tspan.tv_nsec) / 1e9;
    const double left = double(end.tv_sec - now.tv_sec) + double(end.tv_nsec - now.tv_nsec) / 1e9;
    const double secs = std::max(double(whole) * span + (span - left), span);
    if (vps) *vps = double(vol) / secs;
    if (hps) *hps = double(hits) / secs;
    return 0;
}

void bcounter_clear(bcounter *bc) noexcept
{
    memset(static_cast<void *>(bc->bkt), 0, bc->bcount * sizeof(bucket));
    bc->end_tm = timespec{};
    bc->idx = 0;
}

void bcounter_dump(const bcounter *bc, FILE *fp, const char *fmt, ...) noexcept
{
    lfx_assert(bc && fp);
    if (fmt && *fmt) {
        va_list ap;
        va_start(ap, fmt);
        vfprintf(fp, fmt, ap);
        va_end(ap);
    }
    long span_ms = tms2ms(&bc->tspan);
    fprintf(fp, "bc(%p): %lub/%lu ms (%lu ms), idx=%lu, end_tm=%ld.%09ld: ",
            static_cast<const void *>(bc), (unsigned long)bc->bcount, (unsigned long)span_ms,
            (unsigned long)(long(bc->bcount) * span_ms), (unsigned long)bc->idx,
            (long)bc->end_tm.tv_sec, bc->end_tm.tv_nsec);
    for (size_t i = 0; i < bc->bcount; ++i)
        fprintf(fp, "%lu:[h:%lu, v:%lu] ", (unsigned long)i, (unsigned long)bc->bkt[i].hits,
                (unsigned long)bc->bkt[i].vol);
    fputc('\n', fp);
}
