#include "timeop.h"

#include <cstdio>
#include <cstdlib>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// *sum = *a + *b with the nanoseconds carried; false when the seconds leave
// the time_t range.
bool tms_add(const struct timespec *a, const struct timespec *b, struct timespec *sum) noexcept
{
    time_t sec;
    if (__builtin_add_overflow(a->tv_sec, b->tv_sec, &sec)) return false;
    long nsec = a->tv_nsec + b->tv_nsec;
    if (nsec >= TMS_NSEC_PER_SEC) {
        if (__builtin_add_overflow(sec, time_t(1), &sec)) return false;
        nsec -= TMS_NSEC_PER_SEC;
    }
    sum->tv_sec = sec;
    sum->tv_nsec = nsec;
    return true;
}

bool tms_before(const struct timespec *a, const struct timespec *b) noexcept
{
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

}  // namespace

void set_clk_now(struct timespec *tms, clockid_t clk_id) noexcept
{
    if (clock_gettime(clk_id, tms) != 0) {
        perror("clock_gettime");
        abort();
    }
}

void set_real_now(struct timespec *tms) noexcept
{
    set_clk_now(tms, CLOCK_REALTIME);
}

void calc_timespan(const struct timespec *from, const struct timespec *till,
                   struct timespec *span) noexcept
{
    span->tv_sec = till->tv_sec - from->tv_sec;
    span->tv_nsec = till->tv_nsec - from->tv_nsec;
    if (span->tv_nsec < 0) {
        span->tv_sec -= 1;
        span->tv_nsec += TMS_NSEC_PER_SEC;
    }
}

bool timed_out_ext(const struct timespec *last_tm, const struct timespec *tmout,
                   const struct timespec *clknow) noexcept
{
    struct timespec end;
    if (!tms_add(last_tm, tmout, &end)) return false;
    return tms_before(&end, clknow ? clknow : rqs_now_ref());
}

bool timed_out(const struct timespec *last_tm, const struct timespec *tmout) noexcept
{
    return timed_out_ext(last_tm, tmout, rqs_now_ref());
}

bool timed_out_real(const struct timespec *last_tm, const struct timespec *tmout) noexcept
{
    struct timespec now;
    set_real_now(&now);
    return timed_out_ext(last_tm, tmout, &now);
}

void set_tspan(struct tspan *spn, const struct timespec *tm, uint32_t ticks) noexcept
{
    switch (spn->mode) {
    case TSPAN_TIME:
        lfx_assert(tm);
        spn->val.tms = *tm;
        return;
    case TSPAN_TICKS:
        spn->val.ticks = ticks;
        return;
    default:
        lfx_assert(spn->mode == TSPAN_TIME || spn->mode == TSPAN_TICKS);
    }
}

bool tspan_timed_out(const struct tspan *last, const struct tspan *tmout,
                     const struct timespec *now, uint32_t ticks_now) noexcept
{
    lfx_assert(tmout->mode == last->mode);
    switch (last->mode) {
    case TSPAN_TIME:
        return timed_out_ext(&last->val.tms, &tmout->val.tms, now);
    case TSPAN_TICKS: {
        const uint32_t stored = last->val.ticks;
        if (stored == 0) return true;
        if (ticks_now >= stored) return ticks_now >= uint32_t(stored + tmout->val.ticks);
        // The counter wrapped; it runs on from 1, never through 0.
        return uint32_t(ticks_now - stored - 1) >= tmout->val.ticks;
    }
    default:
        lfx_assert(last->mode == TSPAN_TIME || last->mode == TSPAN_TICKS);
    }
    return false;
}

time_t get_endofday_utime(time_t tstamp) noexcept
{
    struct tm tmv;
    if (!localtime_r(&tstamp, &tmv)) {
        log_err("%s: localtime_r() FAILED\n", "get_endofday_utime");
        return -1;
    }
    tmv.tm_hour = 23;
    tmv.tm_min = 59;
    tmv.tm_sec = 59;
    // The day's end may lie on the other side of a daylight-saving change
    // than tstamp; let mktime work out which offset applies there.
    tmv.tm_isdst = -1;
    return mktime(&tmv);
}

int mk_timespan(long total_sec, char *buf, size_t buflen) noexcept
{
    constexpr long DAY = 86400;
    size_t used = 0;
    const long days = total_sec / DAY;
    const long rest = total_sec % DAY;
    if (days > 0) {
        int n = snprintf(buf, buflen, "%02ldd ", days);
        if (n < 0 || size_t(n) >= buflen) return -1;
        used = size_t(n);
    }
    int n = snprintf(buf + used, buflen - used, "%02ldh:%02ldm:%02lds", rest / 3600,
                     rest % 3600 / 60, rest % 60);
    if (n < 0 || size_t(n) >= buflen - used) return -1;
    return 0;
}
