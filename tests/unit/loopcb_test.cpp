// The daemon's loop callbacks: the wait time from time-outs and delays,
// and the dispatch that refuses a context it does not know.
#include "loopcb.h"

#include <gtest/gtest.h>

#include <cstring>

#include "delay.h"
#include "log.h"
#include "tmout.h"

namespace {

long wait_ms()
{
    struct timespec ts;
    upd_tmout(&ts);
    return tms2ms(&ts);
}

int nothing(void *, void *) { return 0; }

class loopcb : public ::testing::Test {
protected:
    void SetUp() override
    {
        init_timeout_registry();
        ASSERT_EQ(dly_init(), 0);
    }
    void TearDown() override
    {
        dly_destroy();
        init_timeout_registry();
    }
};

TEST_F(loopcb, WaitTime)
{
    EXPECT_EQ(wait_ms(), -1);  // nothing held: no limit

    set_timeout(1, 5000);
    EXPECT_EQ(wait_ms(), 5000);
    dly_t d = dly_add_usec(200000, nullptr, 0);
    ASSERT_NE(d, nullptr);
    const long w = wait_ms();
    EXPECT_GT(w, 100);
    EXPECT_LE(w, 200);

    // A delay due now, or within a millisecond, makes the wait 0.
    dly_set_expiry(d, nullptr);
    EXPECT_EQ(wait_ms(), 0);
    rm_timeout(1);
    EXPECT_EQ(wait_ms(), 0);
    EXPECT_EQ(dly_expire(nothing, nullptr), 1);
    dly_rm(d);
    EXPECT_EQ(wait_ms(), -1);

    // A delay alone bounds the wait.
    d = dly_add_usec(1500000, nullptr, 0);
    EXPECT_GT(wait_ms(), 1000);
    EXPECT_LE(wait_ms(), 1500);
    dly_rm(d);
}

TEST(loopcbDeathTest, UnknownContextTagStopsTheProcess)
{
    char junk[16] = "XYZ\1garbage";
    EXPECT_DEATH(on_read(3, 0, junk, nullptr), "unknown data type: \\[XYZ\\] \\(0x15a5958\\), data corruption detected");
    EXPECT_DEATH(on_write(3, 0, junk, nullptr), "unknown data type");
    EXPECT_DEATH(on_error(3, 0, junk, nullptr), "unknown data type");
    EXPECT_DEATH(revive_task(junk, nullptr), "ASSERT at:");
}

}  // namespace
