#include "delay.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <poll.h>

#include <vector>

#include "log.h"
#include "support.h"

namespace {

class DelayQueue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(dly_init(), 0); }
    void TearDown() override { dly_destroy(); }
};

void sleep_ms(int ms) { poll(nullptr, 0, ms); }

struct Fired {
    std::vector<long> order;
    static int record(void *udata, void *aux)
    {
        static_cast<Fired *>(aux)->order.push_back(reinterpret_cast<long>(udata));
        return 0;
    }
};

void *tag(long n) { return reinterpret_cast<void *>(n); }

}  // namespace

TEST_F(DelayQueue, empty_queue)
{
    EXPECT_EQ(dly_count(), 0u);
    EXPECT_EQ(dly_next_ms(), -1);
    struct timespec t;
    EXPECT_EQ(dly_next_time(&t), -1);
    EXPECT_EQ(dly_expire(Fired::record, nullptr), 0);
}

// Added out of order, delays fire in the order they are due.  They lie
// 100 ms apart, so that only a stall of the test longer than that between
// two additions (a busy machine) could change which is due first.
TEST_F(DelayQueue, fires_in_expiry_order)
{
    Fired f;
    dly_add_usec(300000, tag(3), 0);
    dly_add_usec(100000, tag(1), 0);
    dly_add_usec(200000, tag(2), 0);
    dly_add_usec(5000000, tag(9), 0);
    EXPECT_EQ(dly_count(), 4u);
    EXPECT_LE(dly_next_ms(), 100);  // -1: due already, after a stall
    for (int waited = 0; f.order.size() < 3 && waited < 4000; waited += 5) {
        sleep_ms(5);
        dly_expire(Fired::record, &f);
    }
    EXPECT_EQ(f.order, (std::vector<long>{1, 2, 3}));
    EXPECT_EQ(dly_count(), 1u);
    long usec = dly_next_usec();
    EXPECT_GT(usec, 600000);
    EXPECT_LE(usec, 4710000);  // 3 fired at 300 ms, or up to 1 ms before
}

// A delay fires when it is due or due within the next millisecond.
TEST_F(DelayQueue, one_millisecond_of_slack)
{
    Fired f;
    dly_add_usec(800, tag(1), 0);
    EXPECT_EQ(dly_expire(Fired::record, &f), 1);
    dly_add_usec(500000, tag(2), 0);
    EXPECT_EQ(dly_expire(Fired::record, &f), 0);
    EXPECT_EQ(f.order, (std::vector<long>{1}));
}

TEST_F(DelayQueue, recurring_delay_fires_once_per_call_and_rearms)
{
    Fired f;
    // A period of 200 ms: the checks allow the test a stall of 100 ms.
    dly_t first = dly_add_usec(200000, tag(7), DLY_RECUR);
    sleep_ms(210);
    EXPECT_EQ(dly_expire(Fired::record, &f), 1);
    EXPECT_EQ(dly_count(), 1u);  // the re-armed copy
    long usec = dly_next_usec();
    EXPECT_GT(usec, 100000);
    EXPECT_LE(usec, 200000);
    sleep_ms(210);
    EXPECT_EQ(dly_expire(Fired::record, &f), 1);
    EXPECT_EQ(f.order, (std::vector<long>{7, 7}));
    EXPECT_EQ(dly_rm(first), 0);  // re-armed in place: the handle stays the owner's
    EXPECT_EQ(dly_count(), 0u);
}

// A recurring delay is one record for its whole life: firing it often costs
// no memory, and removing it by its handle stops it.
TEST_F(DelayQueue, recurring_delay_is_rearmed_in_place_and_stops_when_removed)
{
    int fired = 0;
    auto count = [](void *udata, void *) -> int { return ++*static_cast<int *>(udata), 0; };
    dly_t d = dly_add_usec(0, &fired, DLY_RECUR);
    ASSERT_NE(d, nullptr);
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 100000; ++i) ASSERT_EQ(dly_expire(count, nullptr), 1);
    EXPECT_LT(mallinfo2().uordblks, before + 65536);
    EXPECT_EQ(fired, 100000);
    EXPECT_EQ(dly_count(), 1u);
    EXPECT_EQ(dly_rm(d), 0);
    EXPECT_EQ(dly_count(), 0u);
    EXPECT_EQ(dly_expire(count, nullptr), 0);
    EXPECT_EQ(fired, 100000);
}

TEST_F(DelayQueue, removing_pending_and_fired_delays)
{
    Fired f;
    dly_t pending = dly_add_usec(0, tag(1), 0);
    dly_t fired = dly_add_usec(0, tag(2), 0);
    EXPECT_EQ(dly_rm(pending), 0);
    EXPECT_EQ(dly_count(), 1u);
    EXPECT_EQ(dly_expire(Fired::record, &f), 1);
    EXPECT_EQ(f.order, (std::vector<long>{2}));
    EXPECT_EQ(dly_rm(fired), 0);
    EXPECT_EQ(dly_rm(nullptr), 3);
}

// The relay revives a task from the callback, and the revived task removes
// its own delay: the queue must not touch it afterwards.  It may also drop
// other tasks, whose delays are pending.
TEST_F(DelayQueue, callback_removes_its_own_and_other_delays)
{
    struct Ctx {
        dly_t self[3];
        dly_t victim;
        int calls = 0;
    } ctx;
    auto cb = [](void *udata, void *aux) -> int {
        auto *c = static_cast<Ctx *>(aux);
        long i = reinterpret_cast<long>(udata);
        ++c->calls;
        EXPECT_EQ(dly_rm(c->self[i]), 0);
        if (c->victim) {
            EXPECT_EQ(dly_rm(c->victim), 0);
            c->victim = nullptr;
        }
        return 0;
    };
    for (long i = 0; i < 3; ++i) ctx.self[i] = dly_add_usec(100 * i, tag(i), 0);
    ctx.victim = dly_add_usec(400, tag(99), 0);  // due, but removed before it fires
    sleep_ms(2);
    EXPECT_EQ(dly_expire(cb, &ctx), 3);
    EXPECT_EQ(ctx.calls, 3);
    EXPECT_EQ(dly_count(), 0u);
}

TEST_F(DelayQueue, callback_may_schedule_more)
{
    auto cb = [](void *, void *aux) -> int {
        dly_add_usec(0, nullptr, 0);  // due at once, but waits for the next call
        ++*static_cast<int *>(aux);
        return 0;
    };
    int calls = 0;
    dly_add_usec(0, nullptr, 0);
    dly_add_usec(0, nullptr, 0);
    EXPECT_EQ(dly_expire(cb, &calls), 2);
    EXPECT_EQ(dly_count(), 2u);
}

TEST_F(DelayQueue, failing_callbacks_are_counted_and_logged)
{
    LogCapture cap;
    dly_add_usec(0, nullptr, 0);
    dly_add_usec(0, nullptr, 0);
    EXPECT_EQ(dly_expire([](void *, void *) { return 1; }, nullptr), 2);
    EXPECT_EQ(cap.text(), "(ERR)  dly_expire: 2 errors expiring timers\n");
}

TEST_F(DelayQueue, next_time_of_a_due_delay)
{
    LogCapture cap;
    int saved = g_mod_ll[LM_DEFAULT];
    g_mod_ll[LM_DEFAULT] = INFO_level;
    dly_t d = dly_add_usec(0, nullptr, 0);
    sleep_ms(1);
    struct timespec t;
    EXPECT_EQ(dly_next_time(&t), -1);
    g_mod_ll[LM_DEFAULT] = saved;
    char expect[80];
    snprintf(expect, sizeof(expect), "(INF)  dly_next_time: timer(%p) already expired\n",
             static_cast<void *>(d));
    EXPECT_EQ(cap.text(), expect);
}

TEST_F(DelayQueue, set_expiry_moves_a_delay_in_time)
{
    Fired f;
    dly_t d = dly_add_usec(60000000, tag(5), 0);
    dly_set_expiry(d, nullptr);  // now
    EXPECT_EQ(dly_expire(Fired::record, &f), 1);
    EXPECT_EQ(f.order, (std::vector<long>{5}));
}

TEST_F(DelayQueue, freed_records_are_reused_oldest_first)
{
    dly_t a = dly_add_usec(1000000, nullptr, 0);
    dly_t b = dly_add_usec(1000000, nullptr, 0);
    EXPECT_EQ(dly_rm(a), 0);
    EXPECT_EQ(dly_rm(b), 0);
    EXPECT_EQ(dly_add_usec(1000000, nullptr, 0), a);
    EXPECT_EQ(dly_add_usec(1000000, nullptr, 0), b);
}

using DelayQueueDeathTest = DelayQueue;

TEST_F(DelayQueueDeathTest, double_free_aborts)
{
    dly_t d = dly_add_usec(1000, nullptr, 0);
    ASSERT_EQ(dly_rm(d), 0);
    EXPECT_DEATH(dly_rm(d), "Double-freeing \\[0x[0-9a-f]+\\] delay\n(.|\n)*Aborting at:");
}

TEST_F(DelayQueueDeathTest, second_init_is_an_invariant)
{
    EXPECT_DEATH(dly_init(), "ASSERT at:");
}
