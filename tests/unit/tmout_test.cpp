#include "tmout.h"

#include <gtest/gtest.h>

#include "log.h"
#include "support.h"

namespace {

// Each test starts from a cleared process-wide registry.
class tmout : public ::testing::Test {
protected:
    void SetUp() override { init_timeout_registry(); }
};

TEST_F(tmout, EmptyRegistryHasNoMinimum)
{
    EXPECT_EQ(get_min_timeout(), -9999);
    for (int i = 0; i < MAX_TMOUTS; ++i) EXPECT_EQ(get_timeout(i), 0) << i;
}

TEST_F(tmout, SlotStaysUntilLastHolderLeaves)
{
    for (int i = 0; i < 3; ++i) set_timeout(1, 3000);
    rm_timeout(1);
    rm_timeout(1);
    EXPECT_EQ(get_min_timeout(), 3000);
    EXPECT_EQ(get_timeout(1), 3000);
    rm_timeout(1);
    EXPECT_EQ(get_min_timeout(), -9999);
    EXPECT_EQ(get_timeout(1), 0);
}

TEST_F(tmout, ReleasingTheMinimumPicksTheNextSmallest)
{
    set_timeout(0, 5000);
    set_timeout(1, 3000);
    EXPECT_EQ(get_min_timeout(), 3000);
    rm_timeout(1);
    EXPECT_EQ(get_min_timeout(), 5000);
}

TEST_F(tmout, ReleasingALargerSlotKeepsTheMinimum)
{
    set_timeout(3, 60000);
    set_timeout(2, 1000);
    set_timeout(0, 7000);
    rm_timeout(3);
    EXPECT_EQ(get_min_timeout(), 1000);
    rm_timeout(2);
    EXPECT_EQ(get_min_timeout(), 7000);
}

TEST_F(tmout, LaterHolderDoesNotChangeThePeriod)
{
    set_timeout(2, 1000);
    set_timeout(2, 500);
    EXPECT_EQ(get_timeout(2), 1000);
    EXPECT_EQ(get_min_timeout(), 1000);
    rm_timeout(2);
    EXPECT_EQ(get_timeout(2), 1000);
    rm_timeout(2);
    EXPECT_EQ(get_min_timeout(), -9999);
}

TEST_F(tmout, FreedSlotTakesANewPeriod)
{
    set_timeout(2, 1000);
    rm_timeout(2);
    set_timeout(2, 250);
    EXPECT_EQ(get_timeout(2), 250);
    EXPECT_EQ(get_min_timeout(), 250);
}

TEST_F(tmout, HighestSlotAndLowestValueAreAccepted)
{
    set_timeout(31, 4000);
    EXPECT_EQ(get_min_timeout(), 4000);
    set_timeout(30, -9999);
    EXPECT_EQ(get_timeout(30), -9999);
    rm_timeout(30);
    EXPECT_EQ(get_min_timeout(), 4000);
}

TEST_F(tmout, ExplicitRegistryIsIndependent)
{
    tmout_registry r;
    reg_init_timeout(&r);
    EXPECT_EQ(reg_min_timeout(&r), -9999);
    reg_set_timeout(&r, 4, 200);
    set_timeout(4, 900);
    EXPECT_EQ(reg_get_timeout(&r, 4), 200);
    EXPECT_EQ(reg_min_timeout(&r), 200);
    EXPECT_EQ(get_timeout(4), 900);
    EXPECT_EQ(get_min_timeout(), 900);
    reg_rm_timeout(&r, 4);
    EXPECT_EQ(reg_min_timeout(&r), -9999);
    EXPECT_EQ(get_min_timeout(), 900);
}

TEST_F(tmout, InitClearsHeldSlots)
{
    set_timeout(5, 100);
    set_timeout(5, 100);
    init_timeout_registry();
    EXPECT_EQ(get_min_timeout(), -9999);
    EXPECT_EQ(get_timeout(5), 0);
    EXPECT_EQ(g_tmreg.rec[5].nlocks, 0u);
}

TEST_F(tmout, DebugLinesTraceHoldersAndRescans)
{
    int saved = g_mod_ll[LM_DEFAULT];
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    std::string text;
    {
        LogCapture cap;
        set_timeout(0, 5000);
        set_timeout(1, 3000);
        set_timeout(1, 3000);
        rm_timeout(1);
        rm_timeout(1);
        text = cap.text();
    }
    g_mod_ll[LM_DEFAULT] = saved;
    EXPECT_EQ(text,
              "(DBG)  reg_set_timeout: timeout[0] lk=1 val=5000, min_val=5000\n"
              "(DBG)  reg_set_timeout: timeout[1] lk=1 val=3000, min_val=3000\n"
              "(DBG)  reg_set_timeout: timeout[1] lk=2 val=3000, min_val=3000\n"
              "(DBG)  reg_rm_timeout: timeout[1] lk=1\n"
              "(DBG)  reg_rm_timeout: picked rec[0] val=5000, lk=1\n"
              "(DBG)  reg_rm_timeout: removed timeout[1]: val=3000, min_val=5000\n");
}

using tmoutDeathTest = tmout;

TEST_F(tmoutDeathTest, IndexOutOfRangeAsserts)
{
    EXPECT_DEATH(set_timeout(32, 1000), "ASSERT at:");
    EXPECT_DEATH(set_timeout(-1, 1000), "ASSERT at:");
    EXPECT_DEATH(rm_timeout(32), "ASSERT at:");
    EXPECT_DEATH(rm_timeout(-1), "ASSERT at:");
}

TEST_F(tmoutDeathTest, ReleaseOfFreeSlotAsserts)
{
    EXPECT_DEATH(rm_timeout(0), "ASSERT at:");
    set_timeout(0, 10);
    rm_timeout(0);
    EXPECT_DEATH(rm_timeout(0), "ASSERT at:");
}

TEST_F(tmoutDeathTest, ValueBelowMinimumAsserts)
{
    EXPECT_DEATH(set_timeout(0, -10000), "ASSERT at:");
}

}  // namespace
