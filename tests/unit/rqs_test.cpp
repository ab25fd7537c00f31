#include "rqs.h"

#include <gtest/gtest.h>

namespace {

bool same(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool not_after(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

}  // namespace

// Runs first: nothing has refreshed or set the clock yet.
TEST(rqs, clock_starts_at_zero)
{
    EXPECT_TRUE(same(rqs_now(), timespec{0, 0}));
}

TEST(rqs, loop_clock_is_set_and_refreshed)
{
    const timespec *ref = rqs_now_ref();
    const timespec t42 = {42, 7};
    rqs_test_set_now(&t42);
    EXPECT_EQ(rqs_now_ref(), ref);
    EXPECT_TRUE(same(*ref, t42));
    EXPECT_TRUE(same(rqs_now(), t42));
    timespec copy;
    rqs_set_now(&copy);
    EXPECT_TRUE(same(copy, t42));

    // A refresh reads the monotonic clock.
    timespec before, after;
    set_now(&before);
    rqs_update_clock();
    set_now(&after);
    EXPECT_TRUE(not_after(before, *ref));
    EXPECT_TRUE(not_after(*ref, after));

    rqs_test_set_now(nullptr);
    EXPECT_TRUE(same(rqs_now(), timespec{0, 0}));
}
