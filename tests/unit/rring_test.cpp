#include "rring.h"

#include <gtest/gtest.h>

#include "support.h"

TEST(rring, fills_wraps_and_refuses_when_full)
{
    rring rr;
    rring_setup(&rr, 4);
    EXPECT_EQ(rr_slots_busy(&rr), 0);
    EXPECT_EQ(rr_next_avail(&rr), 0);
    for (ssize_t i = 0; i < 4; ++i) EXPECT_EQ(rr_push(&rr), i);
    EXPECT_EQ(rr_slots_busy(&rr), 4);
    EXPECT_EQ(rr_slots_avail(&rr), 0);
    EXPECT_EQ(rr_next_avail(&rr), -1);
    EXPECT_EQ(rr_push(&rr), -1);
    EXPECT_EQ(rr.head, 3);
    EXPECT_EQ(rr.tail, 0);

    EXPECT_EQ(rr_pop(&rr), 0);
    EXPECT_EQ(rr_slots_avail(&rr), 1);
    EXPECT_EQ(rr_push(&rr), 0);  // wraps to the start
    EXPECT_EQ(rr.head, 0);
    EXPECT_EQ(rr.tail, 1);
    EXPECT_EQ(rr_slots_busy(&rr), 4);
    EXPECT_EQ(rr_next_busy(&rr), 1);
}

TEST(rring, fifo_order_over_many_wraps)
{
    rring rr;
    rring_setup(&rr, 5);
    ssize_t expect_pop = 0, pushed = 0;
    for (int round = 0; round < 50; ++round) {
        // Push 3, pop 2: the ring fills, then pops must follow push order.
        for (int i = 0; i < 3 && rr_slots_avail(&rr) > 0; ++i) {
            EXPECT_EQ(rr_push(&rr), pushed % 5);
            ++pushed;
        }
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(rr_pop(&rr), expect_pop % 5);
            ++expect_pop;
        }
        EXPECT_EQ(rr_slots_busy(&rr), pushed - expect_pop);
    }
}

TEST(rring, empties_on_last_pop)
{
    LogCapture cap;
    rring rr;
    rring_setup(&rr, 4);
    rr_push(&rr);
    rr_push(&rr);
    EXPECT_EQ(rr_pop(&rr), 0);
    EXPECT_EQ(rr_pop(&rr), 1);
    EXPECT_EQ(rr.head, -1);
    EXPECT_EQ(rr.tail, -1);
    EXPECT_EQ(rr_pop(&rr), -1);
    EXPECT_EQ(cap.text(), "(ERR)  rr_pop: nothing to pop, empty ring\n");
}

TEST(rring, single_slot)
{
    rring rr;
    rring_setup(&rr, 1);
    EXPECT_EQ(rr_push(&rr), 0);
    EXPECT_EQ(rr_slots_busy(&rr), 1);
    EXPECT_EQ(rr_push(&rr), -1);
    EXPECT_EQ(rr_pop(&rr), 0);
    EXPECT_EQ(rr_slots_busy(&rr), 0);
    EXPECT_EQ(rr_push(&rr), 0);
}

TEST(rringDeathTest, broken_ring_is_an_invariant)
{
    rring rr{-1, 2, 4};
    EXPECT_DEATH(rr_next_avail(&rr), "ASSERT at:(.|\n)*rr->tail < 0");
    rring zero{-1, -1, 0};
    EXPECT_DEATH(rr_slots_busy(&zero), "rr->count > 0");
}
