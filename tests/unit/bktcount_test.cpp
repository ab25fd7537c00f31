#include "bktcount.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "rqs.h"
#include "support.h"

namespace {

// Drives the loop clock by hand: t0 + ms.
struct LoopClock {
    struct timespec base = {5000, 900000000};  // a nanosecond carry on the way
    void at_ms(long ms)
    {
        struct timespec t = base;
        t.tv_sec += ms / 1000;
        t.tv_nsec += (ms % 1000) * 1000000L;
        if (t.tv_nsec >= 1000000000L) {
            t.tv_sec += 1;
            t.tv_nsec -= 1000000000L;
        }
        rqs_test_set_now(&t);
    }
};

struct Counter {
    bcounter bc{};
    Counter(size_t n, long ms) { EXPECT_EQ(bcounter_init(&bc, n, ms), 0); }
    ~Counter() { bcounter_discard(&bc); }
    size_t touched() const
    {
        size_t n = 0;
        for (size_t i = 0; i < bc.bcount; ++i) n += bc.bkt[i].touched;
        return n;
    }
};

}  // namespace

TEST(bktcount, first_addition_counts_in_bucket_zero)
{
    LoopClock clk;
    Counter c(10, 100);
    clk.at_ms(0);
    bcounter_home(&c.bc);
    bcounter_add(&c.bc, 1000);
    EXPECT_EQ(c.bc.idx, 0u);
    EXPECT_EQ(c.touched(), 1u);
    double vps = -1, hps = -1;
    EXPECT_EQ(bcounter_persec(&c.bc, &vps, &hps), 0);
    EXPECT_DOUBLE_EQ(vps, 10000.0);  // 1000 bytes over one 100 ms bucket
    EXPECT_DOUBLE_EQ(hps, 10.0);
}

TEST(bktcount, idle_spans_count_as_measured_time)
{
    LoopClock clk;
    Counter c(10, 100);
    clk.at_ms(0);
    bcounter_home(&c.bc);
    bcounter_add(&c.bc, 500);
    clk.at_ms(350);  // three new buckets, zeroed and touched
    bcounter_home(&c.bc);
    EXPECT_EQ(c.bc.idx, 3u);
    EXPECT_EQ(c.touched(), 4u);
    bcounter_add(&c.bc, 300);
    double vps = 0;
    bcounter_persec(&c.bc, &vps, nullptr);
    EXPECT_DOUBLE_EQ(vps, 800.0 / 0.4);
    // The end of a bucket still belongs to it.
    clk.at_ms(400);
    bcounter_home(&c.bc);
    EXPECT_EQ(c.bc.idx, 3u);
}

TEST(bktcount, ring_wraps_and_overwrites_old_buckets)
{
    LoopClock clk;
    Counter c(4, 100);
    clk.at_ms(0);
    bcounter_home(&c.bc);
    for (long t = 0; t < 1000; t += 100) {
        clk.at_ms(t + 50);  // inside the span of bucket t / 100
        bcounter_home(&c.bc);
        bcounter_add(&c.bc, 10);
    }
    EXPECT_EQ(c.bc.idx, 9u % 4);
    double vps = 0;
    bcounter_persec(&c.bc, &vps, nullptr);
    EXPECT_DOUBLE_EQ(vps, 40.0 / 0.4);  // only the last four spans remain
}

TEST(bktcount, long_pause_resets)
{
    LoopClock clk;
    Counter c(10, 100);
    clk.at_ms(0);
    bcounter_home(&c.bc);  // bucket 0 ends at 100 ms
    bcounter_add(&c.bc, 1);
    clk.at_ms(100 + 900);  // exactly nine spans past the end: no reset
    bcounter_home(&c.bc);
    EXPECT_EQ(c.bc.idx, 9u);
    EXPECT_EQ(c.touched(), 10u);

    clk.at_ms(1000 + 901);  // more than nine spans past the end
    bcounter_home(&c.bc);
    EXPECT_EQ(c.bc.idx, 0u);
    // The silence is measured time with nothing in it.
    EXPECT_EQ(c.touched(), 10u);
    double vps = -1, hps = -1;
    bcounter_persec(&c.bc, &vps, &hps);
    EXPECT_EQ(vps, 0.0);
    EXPECT_EQ(hps, 0.0);
}

// Bursts with silences longer than the window between them: each reading
// spreads the last burst over the window, never over the time since it.
TEST(bktcount, a_burst_after_a_long_silence_reads_over_the_whole_window)
{
    struct burst_case {
        long silence_ms;  // from the first burst to the second
        long read_ms;     // after the second burst
        double vps;
    };
    // 10 buckets of 100 ms; 65800 bytes at once.  A read inside the present
    // bucket counts nine whole spans and what has passed of it.
    const burst_case cases[] = {
        {1200, 0, 65800.0 / 0.9},    {1200, 50, 65800.0 / 0.95}, {1200, 100, 65800.0 / 1.0},
        {1200, 200, 65800.0 / 1.0},  {1200, 999, 65800.0 / 0.999}, {1200, 1000, 65800.0 / 1.0},
        {1200, 1001, 0.0},           {60000, 200, 65800.0 / 1.0},
        {900, 200, 65800.0 / 1.0},  // within the ring: the first burst left it
    };
    for (const burst_case &b : cases) {
        SCOPED_TRACE(testing::Message() << b.silence_ms << "/" << b.read_ms);
        LoopClock clk;
        Counter c(10, 100);
        clk.at_ms(0);
        bcounter_home(&c.bc);
        bcounter_add(&c.bc, 65800);
        clk.at_ms(b.silence_ms);
        bcounter_home(&c.bc);
        bcounter_add(&c.bc, 65800);
        clk.at_ms(b.silence_ms + b.read_ms);
        double vps = -1;
        bcounter_persec_now(&c.bc, &vps, nullptr);
        EXPECT_NEAR(vps, b.vps, 1e-6);
        EXPECT_LE(vps, 65800.0 / 0.9 + 1e-6);
    }
}

// A read as of a later time gives what moving home and reading would, and
// leaves the counter where it was.
TEST(bktcount, rate_now_counts_the_time_since_the_last_move)
{
    struct read_case {
        const char *name;
        long read_ms;   // the loop's time of the read
        double vps;     // expected, bytes per second
    };
    // 10 buckets of 100 ms; 400 bytes added at 0, 300 at 350 ms (bucket 3,
    // which ends at 400 ms).  The present bucket counts the part of its
    // span that has passed, so a steady flow reads right at any moment.
    const read_case cases[] = {
        {"within the present bucket", 390, 700.0 / 0.39},
        {"at its end", 400, 700.0 / 0.4},
        {"one span later", 401, 700.0 / 0.401},
        {"half the window silent", 850, 700.0 / 0.85},
        {"bucket 0 overwritten", 1050, 300.0 / 0.95},
        {"nine spans past the end", 1300, 300.0 / 1.0},
        {"silent for the whole window", 1301, 0.0},
        {"long after", 60000, 0.0},
    };
    for (const read_case &rc : cases) {
        SCOPED_TRACE(rc.name);
        LoopClock clk;
        Counter moved(10, 100), kept(10, 100);
        for (Counter *c : {&moved, &kept}) {
            clk.at_ms(0);
            bcounter_home(&c->bc);
            bcounter_add(&c->bc, 400);
            clk.at_ms(350);
            bcounter_home(&c->bc);
            bcounter_add(&c->bc, 300);
        }
        const size_t idx = kept.bc.idx;
        const struct timespec end = kept.bc.end_tm;
        clk.at_ms(rc.read_ms);
        double now_vps = -1, now_hps = -1, vps = -1, hps = -1;
        EXPECT_EQ(bcounter_persec_now(&kept.bc, &now_vps, &now_hps), 0);
        bcounter_home(&moved.bc);
        bcounter_persec_now(&moved.bc, &vps, &hps);  // a move changes nothing
        EXPECT_NEAR(now_vps, rc.vps, 1e-6);
        EXPECT_DOUBLE_EQ(now_vps, vps);
        EXPECT_DOUBLE_EQ(now_hps, hps);
        EXPECT_EQ(kept.bc.idx, idx);
        EXPECT_EQ(kept.bc.end_tm.tv_sec, end.tv_sec);
        EXPECT_EQ(kept.bc.end_tm.tv_nsec, end.tv_nsec);
        EXPECT_EQ(kept.touched(), 4u);
    }
}

TEST(bktcount, a_cleared_or_unused_counter_reads_zero)
{
    LoopClock clk;
    Counter c(10, 100);
    clk.at_ms(0);
    double vps = -1, hps = -1;
    bcounter_persec_now(&c.bc, &vps, &hps);  // never moved
    EXPECT_EQ(vps + hps, 0.0);
    bcounter_home(&c.bc);
    bcounter_add(&c.bc, 1000);
    bcounter_persec_now(&c.bc, &vps, &hps);
    EXPECT_DOUBLE_EQ(vps, 10000.0);
    EXPECT_DOUBLE_EQ(hps, 10.0);
    bcounter_clear(&c.bc);
    EXPECT_EQ(c.touched(), 0u);
    bcounter_persec_now(&c.bc, &vps, nullptr);
    EXPECT_EQ(vps, 0.0);
    // The next move starts afresh at the present time.
    clk.at_ms(5000);
    bcounter_home(&c.bc);
    bcounter_add(&c.bc, 10);
    EXPECT_EQ(c.bc.idx, 0u);
    bcounter_persec_now(&c.bc, &vps, nullptr);
    EXPECT_DOUBLE_EQ(vps, 100.0);
}

TEST(bktcount, dump_text)
{
    Counter c(2, 250);
    c.bc.bkt[1].hits = 3;
    c.bc.bkt[1].vol = 99;
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    bcounter_dump(&c.bc, fp, "T%d ", 7);
    fclose(fp);
    char expect[256];
    snprintf(expect, sizeof(expect),
             "T7 bc(%p): 2b/250 ms (500 ms), idx=0, end_tm=0.000000000: 0:[h:0, v:0] "
             "1:[h:3, v:99] \n",
             static_cast<void *>(&c.bc));
    EXPECT_EQ(std::string(buf, len), expect);
    free(buf);
}

TEST(bktcountDeathTest, bad_set_up_is_an_invariant)
{
    bcounter bc{};
    EXPECT_DEATH(bcounter_init(&bc, 1, 100), "ASSERT at:");
    EXPECT_DEATH(bcounter_init(&bc, 10, 0), "bnum > 1 && ms > 0");
}
