#include "timeop.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "rqs.h"
#include "support.h"

namespace {

constexpr long NS = 1000000000L;

timespec ts(time_t sec, long nsec)
{
    return timespec{sec, nsec};
}

bool same(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool not_after(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

void set_loop_now(time_t sec, long nsec)
{
    const timespec t = ts(sec, nsec);
    rqs_test_set_now(&t);
}

}  // namespace

TEST(timeop, timed_out_equal_is_not_late_one_ns_is)
{
    const timespec last = ts(90, 200), tmout = ts(10, 300);
    set_loop_now(100, 500);
    EXPECT_FALSE(timed_out(&last, &tmout));
    set_loop_now(100, 501);
    EXPECT_TRUE(timed_out(&last, &tmout));
    set_loop_now(99, NS - 1);
    EXPECT_FALSE(timed_out(&last, &tmout));
}

TEST(timeop, timed_out_carries_nanoseconds)
{
    // 99.6 s + 0.9 s = 100.5 s, not 99 s and 1.5e9 ns.
    const timespec last = ts(99, 600000000), tmout = ts(0, 900000000);
    set_loop_now(100, 500000000);
    EXPECT_FALSE(timed_out(&last, &tmout));
    set_loop_now(100, 500000001);
    EXPECT_TRUE(timed_out(&last, &tmout));
    // A sum of exactly one second carries too.
    const timespec last2 = ts(5, 400000000), tmout2 = ts(0, 600000000);
    set_loop_now(6, 0);
    EXPECT_FALSE(timed_out(&last2, &tmout2));
}

TEST(timeop, timed_out_ext_clock_choice_and_overflow)
{
    const timespec last = ts(10, 0), tmout = ts(5, 0);
    const timespec late = ts(16, 0), early = ts(14, 0);
    set_loop_now(0, 0);
    EXPECT_TRUE(timed_out_ext(&last, &tmout, &late));
    EXPECT_FALSE(timed_out_ext(&last, &tmout, nullptr));  // the loop's time
    set_loop_now(20, 0);
    EXPECT_TRUE(timed_out_ext(&last, &tmout, nullptr));
    EXPECT_FALSE(timed_out_ext(&last, &tmout, &early));
    // A time-out beyond the time_t range never expires (and does not overflow).
    const timespec huge = ts(LONG_MAX, NS - 1), far = ts(LONG_MAX, NS - 1);
    EXPECT_FALSE(timed_out_ext(&last, &huge, &far));
}

TEST(timeop, timed_out_real_reads_the_real_clock)
{
    timespec now;
    set_real_now(&now);
    set_loop_now(0, 0);  // must not be consulted
    const timespec past = ts(now.tv_sec - 10, now.tv_nsec), sec = ts(1, 0);
    const timespec hour = ts(3600, 0);
    EXPECT_TRUE(timed_out_real(&past, &sec));
    EXPECT_FALSE(timed_out_real(&now, &hour));
}

TEST(timeop, calc_timespan_borrows)
{
    const timespec from = ts(5, 900000000), till = ts(7, 100000000);
    timespec span;
    calc_timespan(&from, &till, &span);
    EXPECT_TRUE(same(span, ts(1, 200000000)));
    calc_timespan(&from, &from, &span);
    EXPECT_TRUE(same(span, ts(0, 0)));
}

TEST(timeop, tspan_time_mode)
{
    tspan last{TSPAN_TIME, {}}, tmout{TSPAN_TIME, {}};
    const timespec t = ts(10, 0), d = ts(2, 0), at = ts(12, 0), after = ts(12, 1);
    set_tspan(&last, &t, 77);
    set_tspan(&tmout, &d, 77);
    EXPECT_TRUE(same(last.val.tms, t));
    EXPECT_FALSE(tspan_timed_out(&last, &tmout, &at, 0));
    EXPECT_TRUE(tspan_timed_out(&last, &tmout, &after, 0));
}

TEST(timeop, tspan_tick_mode)
{
    tspan last{TSPAN_TICKS, {}}, tmout{TSPAN_TICKS, {}};
    set_tspan(&tmout, nullptr, 10);
    set_tspan(&last, nullptr, 100);
    EXPECT_EQ(last.val.ticks, 100u);
    EXPECT_FALSE(tspan_timed_out(&last, &tmout, nullptr, 100));
    EXPECT_FALSE(tspan_timed_out(&last, &tmout, nullptr, 109));
    EXPECT_TRUE(tspan_timed_out(&last, &tmout, nullptr, 110));

    // Wrapped counter: it runs ...0xfffffffe, 0xffffffff, 1, 2, ... (no 0).
    set_tspan(&last, nullptr, 0xfffffffeu);
    set_tspan(&tmout, nullptr, 5);
    EXPECT_FALSE(tspan_timed_out(&last, &tmout, nullptr, 3));  // 4 ticks passed
    EXPECT_TRUE(tspan_timed_out(&last, &tmout, nullptr, 4));   // 5 ticks passed

    // A stored count of 0 (never stamped) is always timed out.
    set_tspan(&last, nullptr, 0);
    set_tspan(&tmout, nullptr, 0xffffffffu);
    EXPECT_TRUE(tspan_timed_out(&last, &tmout, nullptr, 0));
    EXPECT_TRUE(tspan_timed_out(&last, &tmout, nullptr, 1));
}

TEST(timeop, tspan_broken_invariants_die)
{
    tspan t{TSPAN_TIME, {}}, k{TSPAN_TICKS, {}}, none{TSPAN_NONE, {}};
    EXPECT_DEATH(tspan_timed_out(&t, &k, nullptr, 1), "ASSERT at:");
    EXPECT_DEATH(tspan_timed_out(&none, &none, nullptr, 1), "ASSERT at:");
    EXPECT_DEATH(set_tspan(&none, nullptr, 1), "ASSERT at:");
}

TEST(timeop, get_endofday_utime_in_local_and_utc_time)
{
    const time_t now = time(nullptr);
    const time_t eod = get_endofday_utime(now);
    tm a, b;
    ASSERT_NE(localtime_r(&now, &a), nullptr);
    ASSERT_NE(localtime_r(&eod, &b), nullptr);
    EXPECT_EQ(b.tm_year, a.tm_year);
    EXPECT_EQ(b.tm_yday, a.tm_yday);
    EXPECT_EQ(b.tm_hour * 3600 + b.tm_min * 60 + b.tm_sec, 86399);

    const char *old = getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(get_endofday_utime(86400L * 19000 + 12345), 86400L * 19000 + 86399);
    EXPECT_EQ(get_endofday_utime(86400L * 19000), 86400L * 19000 + 86399);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(timeop, get_endofday_utime_reports_a_date_out_of_range)
{
    LogCapture cap;
    EXPECT_EQ(get_endofday_utime(LONG_MAX), -1);
    EXPECT_NE(cap.text().find("get_endofday_utime: localtime_r() FAILED\n"), std::string::npos);
}

TEST(timeop, mk_timespan_formats_and_fits)
{
    struct {
        long secs;
        size_t buflen;
        int rc;
        const char *text;
    } const cases[] = {
        {0, 64, 0, "00h:00m:00s"},
        {3661, 64, 0, "01h:01m:01s"},
        {86399, 64, 0, "23h:59m:59s"},
        {90061, 64, 0, "01d 01h:01m:01s"},
        {86400L * 123 + 59, 64, 0, "123d 00h:00m:59s"},
        {3661, 12, 0, "01h:01m:01s"},   // 11 characters and the NUL
        {3661, 11, -1, nullptr},
        {90061, 4, -1, nullptr},        // "01d " needs 5 bytes
        {90061, 15, -1, nullptr},       // the day fits, the rest does not
        {90061, 16, 0, "01d 01h:01m:01s"},
        {0, 0, -1, nullptr},
    };
    for (const auto &c : cases) {
        char buf[64] = "";
        EXPECT_EQ(mk_timespan(c.secs, buf, c.buflen), c.rc) << c.secs << "/" << c.buflen;
        if (c.text) {
            EXPECT_STREQ(buf, c.text);
        }
    }
}

TEST(timeop, ms_and_usec_to_timespec)
{
    timespec t = ts(7, 7);
    ms2timespec(1500, &t);
    EXPECT_TRUE(same(t, ts(1, 500000000)));
    ms2timespec(999, &t);
    EXPECT_TRUE(same(t, ts(0, 999000000)));
    ms2timespec(0, &t);
    EXPECT_TRUE(same(t, ts(0, 0)));
    ms2timespec(-5, &t);
    EXPECT_TRUE(same(t, ts(-1, 0)));
    usec2timespec(2000001, &t);
    EXPECT_TRUE(same(t, ts(2, 1000)));
    usec2timespec(0, &t);
    EXPECT_TRUE(same(t, ts(0, 0)));
    usec2timespec(-1, &t);
    EXPECT_TRUE(same(t, ts(-1, 0)));

    const timespec none = ts(-1, 0), v = ts(3, 456789012);
    EXPECT_EQ(tms2ms(&none), -1);
    EXPECT_EQ(tms2usc(&none), -1);
    EXPECT_EQ(tms2ms(&v), 3456);
    EXPECT_EQ(tms2usc(&v), 3456789);
}

TEST(timeop, differences_are_absolute)
{
    const timespec a = ts(10, 100000000), b = ts(8, 900000000);
    timespec d;
    tspec_diff(&a, &b, &d);
    EXPECT_TRUE(same(d, ts(1, 200000000)));
    tspec_diff(&b, &a, &d);
    EXPECT_TRUE(same(d, ts(1, 200000000)));
    EXPECT_EQ(diff_ms(&a, &b), 1200);
    EXPECT_EQ(diff_ms(&b, &a), 1200);
    EXPECT_EQ(diff_usec(&b, &a), 1200000);

    // A missing operand is the monotonic now.
    timespec now;
    set_now(&now);
    const timespec ago = ts(now.tv_sec - 5, now.tv_nsec);
    const long ms = diff_ms(&ago, nullptr);
    EXPECT_GE(ms, 5000);
    EXPECT_LT(ms, 65000);
    EXPECT_GE(diff_usec(nullptr, &ago), 5000000);
}

TEST(timeop, set_now_plus_carries)
{
    const timespec off = ts(2, NS - 1);
    timespec before, t, after;
    set_now(&before);
    set_now_plus(&t, &off);
    set_now(&after);
    auto plus_off = [](timespec a) {
        a.tv_sec += 2;
        a.tv_nsec += NS - 1;
        if (a.tv_nsec >= NS) {
            a.tv_sec += 1;
            a.tv_nsec -= NS;
        }
        return a;
    };
    EXPECT_LT(t.tv_nsec, NS);
    EXPECT_TRUE(not_after(plus_off(before), t));
    EXPECT_TRUE(not_after(t, plus_off(after)));
}

TEST(timeop, unreadable_clock_is_fatal)
{
    timespec t;
    EXPECT_DEATH(set_clk_now(&t, clockid_t(1000)), "clock_gettime");
}
