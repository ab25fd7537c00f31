#pragma once
// Bucket counter: a moving rate over a ring of time buckets of fixed span.
// The present bucket receives additions; bcounter_home moves the ring to the
// event loop's present time first.
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <type_traits>

struct bucket {
    size_t hits;           // additions counted
    size_t vol;            // volume added
    unsigned touched : 1;  // the bucket's span counts as measured time
};

struct bcounter {
    size_t bcount;           // number of buckets, at least 2
    bucket *bkt;             // the buckets (heap), owned
    struct timespec tspan;   // span of one bucket
    size_t idx;              // the present bucket
    struct timespec end_tm;  // monotonic end of the present bucket, zero before first use
};

static_assert(std::is_trivially_copyable_v<bcounter>);

// Zeroes *bc and gives it bnum zeroed buckets of ms milliseconds.  bc must
// hold no buckets, bnum > 1 and ms > 0 (broken invariant otherwise).  0, or
// -1 when the buckets cannot be allocated (logged).
int bcounter_init(bcounter *bc, size_t bnum, long ms) noexcept;
// Frees the buckets and zeroes the record.
void bcounter_discard(bcounter *bc) noexcept;
// Moves the counter to the event loop's present time; 0.  Spans passed
// without additions count as measured time with nothing in them, also after
// a silence longer than the whole ring; only the first move (or the first
// after bcounter_clear) starts with no measured time.
int bcounter_home(bcounter *bc) noexcept;
// Volume and hits per second over the touched buckets (0 when none);
// either output may be null.  0.
int bcounter_persec(const bcounter *bc, double *vps, double *hps) noexcept;
// The rates as of the event loop's present time, without moving the
// counter: spans passed since the present bucket's end count as measured
// time with nothing in them, the present bucket counts the part of its span
// that has passed (one span at least in all), and a counter left alone for
// its whole ring (or never moved) reads 0.  Either output may be null.  0.
int bcounter_persec_now(const bcounter *bc, double *vps, double *hps) noexcept;
// Empties every bucket and forgets the present time: the next move home
// starts afresh.
void bcounter_clear(bcounter *bc) noexcept;
// Writes the counter to fp, after fmt when fmt is non-empty.
[[gnu::format(printf, 3, 4)]] void bcounter_dump(const bcounter *bc, FILE *fp, const char *fmt,
                                                 ...) noexcept;

// Adds one hit and val to the present bucket.  It does not read the clock:
// callers move the counter home first when needed.
inline void bcounter_add(bcounter *bc, size_t val) noexcept
{
    bucket &b = bc->bkt[bc->idx];
    ++b.hits;
    b.vol += val;
    b.touched = 1;
}
