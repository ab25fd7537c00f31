// Flag readings kept for a few turns of the event loop.
#include "turnflag.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include "iflag.h"
#include "rqs.h"

namespace {

int g_reads = 0;
bool g_value = false;
bool counted_read() noexcept
{
    ++g_reads;
    return g_value;
}

void set_clock(time_t sec, long nsec)
{
    const timespec t = {sec, nsec};
    rqs_test_set_now(&t);
}

}  // namespace

TEST(turnflag, read_again_once_the_loop_clock_moved_on_by_10_ms_or_back)
{
    turn_flag f(counted_read);
    g_reads = 0, g_value = true;
    set_clock(100, 0);
    // The first reading happens whatever the clock.
    EXPECT_TRUE(f.on());
    EXPECT_TRUE(f.on());
    EXPECT_EQ(g_reads, 1);
    // A change counts once the clock is 10 ms on, not before.
    g_value = false;
    set_clock(100, 9999999);
    EXPECT_TRUE(f.on());
    set_clock(100, 10000000);
    EXPECT_FALSE(f.on());
    EXPECT_FALSE(f.on());
    EXPECT_EQ(g_reads, 2);
    // Across a second boundary: 0.995 s + 10 ms.
    set_clock(100, 995000000);
    EXPECT_FALSE(f.on());
    g_value = true;
    set_clock(101, 4999999);
    EXPECT_FALSE(f.on());
    set_clock(101, 5000000);
    EXPECT_TRUE(f.on());
    EXPECT_EQ(g_reads, 4);
    // A clock set back (tests, simulations) reads at once.
    g_value = false;
    set_clock(50, 0);
    EXPECT_FALSE(f.on());
    EXPECT_EQ(g_reads, 5);
    rqs_test_set_now(nullptr);
}

TEST(turnflag, follows_the_environment)
{
    turn_flag f([]() noexcept { return iflag("TAVEL_TEST_TURNFLAG"); });
    unsetenv("TAVEL_TEST_TURNFLAG");
    time_t sec = 200;
    set_clock(sec, 0);
    EXPECT_FALSE(f.on());
    for (const char *v : {"yes", "TRUE", "1", "no", "0"}) {
        setenv("TAVEL_TEST_TURNFLAG", v, 1);
        const bool want = strcmp(v, "no") != 0 && strcmp(v, "0") != 0;
        set_clock(++sec, 0);
        EXPECT_EQ(f.on(), want) << v;
        unsetenv("TAVEL_TEST_TURNFLAG");
        EXPECT_EQ(f.on(), want) << v;  // kept within the 10 ms
    }
    rqs_test_set_now(nullptr);
}
