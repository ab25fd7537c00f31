#pragma once
// Clocks, time spans and time-out tests.  Time-outs compare with the event
// loop's cached monotonic time (rqs_now_ref) unless the caller says otherwise.
//
// Every timespec built here has its nanoseconds in 0..999,999,999, and the
// functions expect their operands to be normalised the same way.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

// Time-stamp flags, used in a log's time format and by mk_timestr.
enum time_flags : uint32_t {
    f_REALTIME_TIMER = 0,
    f_MONOTONIC_TIMER = 1,
    f_TIMER_ID = 3,  // mask of the clock selector; 2 and 3 are unsupported
    f_FMT_SECONDS = 16,
    f_NO_TIME = 256,
    f_GMT_TIME = 512,
    f_RAW_TIME = 1024,
    f_BAD_TIME = 0x40000000,
};

// How a tspan keeps its value.
enum tspan_mode : int {
    TSPAN_NONE = 0,
    TSPAN_TIME = 1,   // val.tms
    TSPAN_TICKS = 2,  // val.ticks
};

// A time span kept either as a time or as a tick count.
struct tspan {
    int mode;  // tspan_mode
    union {
        struct timespec tms;
        uint32_t ticks;
    } val;
};

inline constexpr long TMS_NSEC_PER_SEC = 1000000000L;

// The event loop's clock of the current turn (defined with the loop, rqs.h).
const struct timespec *rqs_now_ref() noexcept;

// --- clocks -------------------------------------------------------------------

// Reads clock clk_id into *tms; a clock that cannot be read is fatal
// (perror "clock_gettime", abort()).
void set_clk_now(struct timespec *tms, clockid_t clk_id) noexcept;
// set_clk_now on CLOCK_REALTIME.
void set_real_now(struct timespec *tms) noexcept;
// *span = *till - *from, borrowing a second when the nanoseconds go negative.
void calc_timespan(const struct timespec *from, const struct timespec *till,
                   struct timespec *span) noexcept;

// --- time-outs ----------------------------------------------------------------

// True when *last_tm + *tmout lies strictly before the event loop's "now";
// equal times are not a time-out.  A sum beyond the time_t range never times out.
bool timed_out(const struct timespec *last_tm, const struct timespec *tmout) noexcept;
// The same against *clknow, or against the event loop's time when clknow is null.
bool timed_out_ext(const struct timespec *last_tm, const struct timespec *tmout,
                   const struct timespec *clknow) noexcept;
// The same against the real-time clock read at the call.
bool timed_out_real(const struct timespec *last_tm, const struct timespec *tmout) noexcept;

// Stores *tm (TSPAN_TIME) or ticks (TSPAN_TICKS) by spn's mode; any other
// mode, or a null tm in TSPAN_TIME mode, is a broken invariant.
void set_tspan(struct tspan *spn, const struct timespec *tm, uint32_t ticks) noexcept;
// Both spans must share their mode (assertion).  TSPAN_TIME: timed_out_ext
// against now.  TSPAN_TICKS: a stored count of 0 is always timed out, else the
// ticks passed since the stored count (a wrapped counter skips 0) reach the
// time-out; the sum stored + time-out is taken modulo 2^32.
bool tspan_timed_out(const struct tspan *last, const struct tspan *tmout,
                     const struct timespec *now, uint32_t ticks_now) noexcept;

// --- calendar and text ---------------------------------------------------------

// Seconds since the epoch of 23:59:59 local time on the day of tstamp;
// -1 when the date cannot be broken down (logged) or mktime fails.
time_t get_endofday_utime(time_t tstamp) noexcept;
// Writes "DDd " when total_sec holds at least one day, then "HHh:MMm:SSs".
// 0, or -1 when a piece does not fit whole (NUL included) into what is left.
int mk_timespan(long total_sec, char *buf, size_t buflen) noexcept;

// --- inline helpers --------------------------------------------------------------
// Small enough to be copied into every caller: the event loop's callbacks and
// the delay queue use them on every turn.

// Reads CLOCK_MONOTONIC; a clock failure is fatal (perror, abort()).
inline void set_now(struct timespec *t) noexcept
{
    if (clock_gettime(CLOCK_MONOTONIC, t) != 0) {
        perror("clock_gettime");
        abort();
    }
}

// *t = the monotonic now + *offset, nanoseconds carried.
inline void set_now_plus(struct timespec *t, const struct timespec *offset) noexcept
{
    set_now(t);
    t->tv_sec += offset->tv_sec;
    t->tv_nsec += offset->tv_nsec;
    if (t->tv_nsec >= TMS_NSEC_PER_SEC) {
        t->tv_sec += 1;
        t->tv_nsec -= TMS_NSEC_PER_SEC;
    }
}

// Milliseconds (truncated) of a time; -1 for a time with tv_sec -1 (none).
inline long tms2ms(const struct timespec *t) noexcept
{
    if (t->tv_sec == -1) return -1;
    return long(t->tv_sec) * 1000L + t->tv_nsec / 1000000L;
}

// Microseconds (truncated) of a time; -1 for a time with tv_sec -1 (none).
inline long tms2usc(const struct timespec *t) noexcept
{
    if (t->tv_sec == -1) return -1;
    return long(t->tv_sec) * 1000000L + t->tv_nsec / 1000L;
}

// A positive count of ms as a time, 0 as zero, a negative count as
// {-1, 0} (none).
inline void ms2timespec(long ms, struct timespec *t) noexcept
{
    if (ms < 0) {
        t->tv_sec = -1;
        t->tv_nsec = 0;
        return;
    }
    t->tv_sec = ms / 1000L;
    t->tv_nsec = (ms % 1000L) * 1000000L;
}

// The same for a count of µs.
inline void usec2timespec(long usec, struct timespec *t) noexcept
{
    if (usec < 0) {
        t->tv_sec = -1;
        t->tv_nsec = 0;
        return;
    }
    t->tv_sec = usec / 1000000L;
    t->tv_nsec = (usec % 1000000L) * 1000L;
}

inline void cpy_timespec(struct timespec *dst, const struct timespec *src) noexcept
{
    *dst = *src;
}

// *delta = |*a - *b|; a null operand stands for the monotonic now.
inline void tspec_diff(const struct timespec *a, const struct timespec *b,
                       struct timespec *delta) noexcept
{
    struct timespec now;
    if (!a || !b) {
        set_now(&now);
        if (!a) a = &now;
        if (!b) b = &now;
    }
    if (a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec)) {
        const struct timespec *tmp = a;
        a = b;
        b = tmp;
    }
    delta->tv_sec = a->tv_sec - b->tv_sec;
    delta->tv_nsec = a->tv_nsec - b->tv_nsec;
    if (delta->tv_nsec < 0) {
        delta->tv_sec -= 1;
        delta->tv_nsec += TMS_NSEC_PER_SEC;
    }
}

// |*a - *b| in ms (truncated); a null operand stands for the monotonic now.
inline long diff_ms(const struct timespec *a, const struct timespec *b) noexcept
{
    struct timespec d;
    tspec_diff(a, b, &d);
    return tms2ms(&d);
}

// |*a - *b| in µs (truncated); a null operand stands for the monotonic now.
inline long diff_usec(const struct timespec *a, const struct timespec *b) noexcept
{
    struct timespec d;
    tspec_diff(a, b, &d);
    return tms2usc(&d);
}

// *t = the event loop's time of the current turn.
inline void rqs_set_now(struct timespec *t) noexcept
{
    *t = *rqs_now_ref();
}
