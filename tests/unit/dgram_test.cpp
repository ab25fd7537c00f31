// The datagram index over synthetic recordings: datagrams laid one after
// another in a buffer and filed as they are appended, with the event
// loop's clock set by the test.
#include "dgram.h"

#include <bitstream/mpeg/ts.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "dstream.h"
#include "log.h"
#include "rqs.h"
#include "support.h"
#include "timeop.h"

using ::testing::HasSubstr;

namespace {

using bytes = std::vector<uint8_t>;

// n packets of len bytes, a PAT at packet pat (1-based; 0: none).
bytes ts(size_t len, size_t n, size_t pat = 0)
{
    bytes b(len * n, 0x33);
    for (size_t i = 0; i < len * n; i += len) ts_init(&b[i]);
    if (pat) {
        uint8_t *p = &b[(pat - 1) * len];
        ts_set_unitstart(p);
        p[4] = p[5] = 0;
        p[6] = 0xb0;
        p[10] = 0xc1;
    }
    return b;
}

// The loop's clock, in ms before the monotonic clock's present.
void loop_time(long ms_ago)
{
    timespec now, t, lag;
    set_now(&now);
    ms2timespec(ms_ago, &lag);
    calc_timespan(&lag, &now, &t);
    rqs_test_set_now(&t);
}

struct recording {
    dgram_idx *di;
    bytes rec;
    explicit recording(unsigned long tmout_ms = 5000, size_t count = 4)
        : di(mk_dgram_idx(count, tmout_ms))
    {
    }
    ~recording() { free_dgram_idx(di); }
    ssize_t add(const bytes &d)
    {
        rec.insert(rec.end(), d.begin(), d.end());
        return dgram_add(di, d.size(), rec.data(), off_t(rec.size() - d.size()));
    }
    dgram_seq &seq(size_t i) { return static_cast<dgram_seq *>(di->seq.data)[i]; }
};

TEST(dgram, slot_width_follows_the_time_out)
{
    const unsigned long cases[][2] = {{100, 10},      {999, 10},      {1000, 100},
                                      {9999, 100},    {10000, 1000},  {60000, 1000},
                                      {100000, 1000}, {100001, 2000}, {150000, 2000}};
    for (const auto &c : cases) {
        recording r(c[0]);
        EXPECT_EQ(r.di->tslot_ms, c[1]) << c[0];
        EXPECT_EQ(tms2ms(&r.di->seq_tmout), long(c[0]));
    }
    EXPECT_DEATH(mk_dgram_idx(1, 99), "ASSERT at:");
}

TEST(dgram, a_recording_splits_into_sequences_of_one_packet_size)
{
    recording r;
    LogCapture cap;
    bytes unsynced = ts(188, 7);
    unsynced[3 * 188] = 0x11;
    const ssize_t got[] = {
        r.add(ts(188, 7, 3)), r.add(ts(188, 7)), r.add(ts(188, 7, 5)),  // PATs at 3 and 19
        r.add(ts(204, 6)),    r.add(ts(204, 6, 1)),                    // PAT at 7
        r.add(unsynced),  // no longer TS: one raw packet of 1316 bytes
        r.add(ts(188, 7)), r.add(ts(188, 1)),
    };
    EXPECT_THAT(got, ::testing::ElementsAre(0, 0, 0, 1, 1, 2, 2, 3));
    EXPECT_EQ(r.di->stype.num, STY_RAW);
    const long s1 = 21 * 188, s2 = s1 + 12 * 204, s3 = s2 + 2 * 1316;
    // Packet size, count, offset, first and last PAT (or packet) offsets.
    const long seqs[][5] = {{188, 21, 0, 2 * 188, 18 * 188}, {204, 12, s1, s1 + 1224, s1 + 1224},
                            {1316, 2, s2, s2, s2 + 1316},    {188, 1, s3, s3, s3}};
    for (size_t i = 0; i < 4; ++i) {
        const long got_seq[5] = {long(r.seq(i).pkt_size), long(r.seq(i).count), r.seq(i).offset,
                                 first_dseq_offset(r.di, ssize_t(i)),
                                 last_dseq_offset(r.di, ssize_t(i))};
        EXPECT_THAT(got_seq, ::testing::ElementsAreArray(seqs[i])) << i;
    }
    EXPECT_EQ(last_dseq_offset(r.di, 4), -1);
    EXPECT_THAT(cap.text(), HasSubstr("dgram_add: seq[2] is only 2 elements long "
                                      "seq.pkt_size=1316, d.pkt_size=188, seg_len=188 \n"));

    // The end offset of a sequence belongs to it, and starts the next.
    EXPECT_EQ(dgram_find_seq(r.di, -1, s1), 0);
    EXPECT_EQ(dgram_find_seq(r.di, 1, s1), 1);
    EXPECT_EQ(dgram_find_seq(r.di, 2, s1 + 1), -1);

    // Offsets that do not continue the record, and empty datagrams, are
    // refused and change nothing.
    for (off_t at : {off_t(s3 + 198), off_t(s3), off_t(-1)})
        EXPECT_EQ(dgram_add(r.di, 188, r.rec.data(), at), -1) << at;
    EXPECT_EQ(dgram_add(r.di, 0, r.rec.data(), s3 + 188), -1);
    EXPECT_TRUE(r.di->seq.len == 4 && r.seq(3).count == 1);
    EXPECT_THAT(cap.text(), HasSubstr(") SEQ[3] offset=" + std::to_string(s3 + 198) +
                                      " does not continue the sequence ending at " +
                                      std::to_string(s3 + 188) + "\n"));
}

TEST(dgram, time_outs_slots_and_receive_time_estimates)
{
    loop_time(20000);
    recording r(1000);
    EXPECT_EQ(r.add(ts(188, 7)), 0);
    timespec t = r.seq(0).first_io;
    t.tv_sec += 1;  // exactly one time-out later: not yet
    rqs_test_set_now(&t);
    EXPECT_EQ(r.add(ts(188, 7)), 0);
    t.tv_sec += 1;
    rqs_test_set_now(&t);
    EXPECT_EQ(r.add(ts(188, 7)), 1);

    // The loop's time lags the clock by far more than the time-out: the
    // datagram counts in the last slot.
    EXPECT_EQ(r.seq(0).tslot_count[MAX_TSLOTS - 1], 7u);
    EXPECT_TRUE(r.seq(0).max_tslot == MAX_TSLOTS - 1 && r.seq(0).count == 14);

    // By the clock: the first datagram 250 ms ago, 100 ms slots.
    loop_time(250);
    recording c(5000);
    EXPECT_EQ(c.add(ts(188, 7)), 0);
    rqs_update_clock();
    EXPECT_EQ(c.add(ts(188, 14)), 0);
    EXPECT_TRUE(c.seq(0).tslot_count[2] == 14 && c.seq(0).max_tslot == 2);

    dgram_seq &s = c.seq(0);
    s.first_io = timespec{100, 123};
    s.last_io = timespec{100, 290000000L};
    t = timespec{555, 0};
    rqs_test_set_now(&t);
    const long cases[][3] = {
        // dseq, packet, ms after first_io (-1: no time)
        {0, 0, 0},   {-1, 3, 42}, {0, 7, 100}, {0, 10, 221}, {0, 20, 290},
        {0, 21, 455000},  // the end offset: the loop's time now
        {0, 22, -1},      // held by no sequence
        {1, 3, -1},       // past the last sequence
    };
    for (const auto &q : cases) {
        const timespec tm = dgram_calc_time(c.di, q[0], q[1] * 188);
        EXPECT_EQ(q[2] < 0 ? tm.tv_sec : tms2ms(&tm) - 100000, q[2]) << q[1];
    }
    EXPECT_EQ(dgram_calc_time(c.di, 0, 100).tv_nsec, 123);

    // Slot counters stop at their largest value instead of wrapping round.
    loop_time(250);
    recording d(5000);
    EXPECT_EQ(d.add(ts(188, 7)), 0);
    rqs_update_clock();
    for (uint32_t &n : d.seq(0).tslot_count) n = UINT32_MAX - 3;
    for (int i = 0; i < 2; ++i) EXPECT_EQ(d.add(ts(188, 7)), 0);
    EXPECT_EQ(d.seq(0).tslot_count[d.seq(0).max_tslot], UINT32_MAX);
    rqs_update_clock();
}

TEST(dgram, record_limit_and_reset)
{
    // Room for every sequence from the start: grown 8 at a time, the index
    // is copied some 1250 times on the way, which the sanitizer build (its
    // realloc always copies) makes take a minute on a busy machine.
    recording r(100000, DGRAM_MAX_SEQ + 1);
    const int saved = g_mod_ll[LM_STREAM];
    g_mod_ll[LM_STREAM] = ERR_level;
    LogCapture cap;
    // Alternating sizes: every datagram begins a sequence.
    for (size_t i = 0; i <= DGRAM_MAX_SEQ; ++i) ASSERT_EQ(r.add(bytes(100 + i % 2)), ssize_t(i));
    EXPECT_EQ(r.add(bytes(101)), -1);
    g_mod_ll[LM_STREAM] = saved;
    EXPECT_THAT(cap.text(), HasSubstr(") record limit=10000 exceeded, won't add\n"));

    dgram_reset(r.di);
    r.rec.clear();
    EXPECT_EQ(r.add(ts(188, 2, 2)), 0);
    EXPECT_TRUE(r.di->stype.num == STY_MPEGTS && first_dseq_offset(r.di, 0) == 188);
}

}  // namespace
