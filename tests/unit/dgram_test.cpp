#include "dgram.h"

#include <bitstream/mpeg/ts.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "dstream.h"
#include "log.h"
#include "rqs.h"
#include "support.h"
#include "timeop.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using bytes = std::vector<uint8_t>;

bytes ts_dgram(size_t pkt_len, size_t npkts, size_t pat_at = 0)
{
    bytes b(pkt_len * npkts);
    for (size_t i = 0; i < npkts; ++i) {
        uint8_t *p = &b[i * pkt_len];
        ts_init(p);
        ts_set_pid(p, 0x100);
        ts_set_payload(p);
        for (size_t k = 4; k < pkt_len; ++k) p[k] = uint8_t(0x30 + k % 16);
    }
    if (pat_at) {
        uint8_t *p = &b[(pat_at - 1) * pkt_len];
        ts_set_pid(p, 0);
        ts_set_unitstart(p);
        p[4] = p[5] = 0;
        p[6] = 0xb0;
        p[10] = 0xc1;
    }
    return b;
}

bytes raw_dgram(size_t len)
{
    return bytes(len, 0x5a);
}

timespec ts_of(long sec, long ms)
{
    return timespec{sec, ms * 1000000L};
}

void set_loop_time(const timespec &t)
{
    rqs_test_set_now(&t);
}

// A recording: datagrams laid one after another in one buffer, filed into
// the index as they are appended.
struct recording {
    dgram_idx *di;
    bytes rec;

    explicit recording(unsigned long tmout_ms = 5000) : di(mk_dgram_idx(4, tmout_ms))
    {
        rec.reserve(1 << 20);
    }
    ~recording() { free_dgram_idx(di); }
    recording(const recording &) = delete;
    recording &operator=(const recording &) = delete;

    ssize_t add(const bytes &d)
    {
        const off_t at = off_t(rec.size());
        rec.insert(rec.end(), d.begin(), d.end());
        return dgram_add(di, d.size(), rec.data(), at);
    }
    const dgram_seq &seq(size_t i) const
    {
        return static_cast<const dgram_seq *>(di->seq.data)[i];
    }
    dgram_seq &mseq(size_t i) { return static_cast<dgram_seq *>(di->seq.data)[i]; }
};

TEST(dgram, slot_width_follows_the_time_out)
{
    struct {
        unsigned long tmout_ms, tslot_ms;
    } cases[] = {{100, 10},     {500, 10},     {999, 10},       {1000, 100},
                 {5000, 100},   {9999, 100},   {10000, 1000},   {60000, 1000},
                 {100000, 1000}, {100001, 2000}, {150000, 2000}, {1000000, 10000}};
    for (const auto &c : cases) {
        dgram_idx *di = mk_dgram_idx(16, c.tmout_ms);
        ASSERT_NE(di, nullptr);
        EXPECT_EQ(di->tslot_ms, c.tslot_ms) << c.tmout_ms;
        EXPECT_EQ(tms2ms(&di->seq_tmout), long(c.tmout_ms));
        EXPECT_GE(di->seq.max_len, 16u);
        EXPECT_EQ(di->stype.num, 0u);
        // One time-out never spans more than the slots there are.
        EXPECT_LE(c.tmout_ms / c.tslot_ms, MAX_TSLOTS);
        free_dgram_idx(di);
    }
    EXPECT_DEATH(mk_dgram_idx(0, 500), "ASSERT at:");
    EXPECT_DEATH(mk_dgram_idx(1, 99), "ASSERT at:");
}

// A recording whose packet size changes, with PATs here and there: the
// sequences, their PAT offsets and the look-ups over them.
TEST(dgram, sequences_follow_packet_size_and_pats)
{
    set_loop_time(ts_of(1000, 0));
    recording r;
    LogCapture cap;
    const bytes junk = raw_dgram(1316);
    const ssize_t expect[] = {0, 0, 0, 1, 1, 2, 2, 2, 3};
    const ssize_t got[] = {
        r.add(ts_dgram(188, 7, 3)), r.add(ts_dgram(188, 7)),  r.add(ts_dgram(188, 7, 5)),
        r.add(ts_dgram(204, 6)),    r.add(ts_dgram(204, 6, 1)), r.add(junk),
        r.add(junk),
        // Once raw, a stream stays raw: a TS datagram of the same length
        // is one more raw packet.
        r.add(ts_dgram(188, 7)), r.add(ts_dgram(188, 1)),
    };
    for (size_t i = 0; i < std::size(expect); ++i) EXPECT_EQ(got[i], expect[i]) << i;
    ASSERT_EQ(r.di->seq.len, 4u);
    EXPECT_EQ(r.di->stype.num, STY_RAW);

    struct {
        size_t pkt_size, count;
        off_t offset;
        uint32_t first_pat, last_pat;
        off_t first_off, last_off;
    } seqs[] = {
        {188, 21, 0, 3, 19, 2 * 188, 18 * 188},
        {204, 12, 21 * 188, 7, 7, 21 * 188 + 6 * 204, 21 * 188 + 6 * 204},
        {1316, 3, 21 * 188 + 12 * 204, 0, 0, 21 * 188 + 12 * 204, 21 * 188 + 12 * 204 + 2 * 1316},
        {188, 1, 21 * 188 + 12 * 204 + 3 * 1316, 0, 0, 21 * 188 + 12 * 204 + 3 * 1316,
         21 * 188 + 12 * 204 + 3 * 1316},
    };
    for (size_t i = 0; i < std::size(seqs); ++i) {
        const dgram_seq &s = r.seq(i);
        EXPECT_EQ(s.pkt_size, seqs[i].pkt_size) << i;
        EXPECT_EQ(s.count, seqs[i].count) << i;
        EXPECT_EQ(s.offset, seqs[i].offset) << i;
        EXPECT_EQ(s.first_pat, seqs[i].first_pat) << i;
        EXPECT_EQ(s.last_pat, seqs[i].last_pat) << i;
        EXPECT_EQ(first_dseq_offset(r.di, ssize_t(i)), seqs[i].first_off) << i;
        EXPECT_EQ(last_dseq_offset(r.di, ssize_t(i)), seqs[i].last_off) << i;
    }
    EXPECT_EQ(first_dseq_offset(r.di, -5), 2 * 188);
    EXPECT_EQ(last_dseq_offset(r.di, 4), -1);

    // The end offset of a sequence belongs to it (and starts the next).
    const off_t end0 = 21 * 188;
    EXPECT_EQ(dgram_find_seq(r.di, 0, end0), 0);
    EXPECT_EQ(dgram_find_seq(r.di, 1, end0), 1);
    EXPECT_EQ(dgram_find_seq(r.di, -3, end0 + 1), 1);
    EXPECT_EQ(dgram_find_seq(r.di, 2, end0 + 1), -1);
    EXPECT_EQ(dgram_find_seq(r.di, 0, off_t(r.rec.size()) + 1), -1);
    EXPECT_EQ(dgram_find_seq(r.di, 9, 0), -1);

    const std::string log = cap.text();
    EXPECT_THAT(log, HasSubstr("probe_segment: stream type switch: [TS]->[RAW]\n"));
    EXPECT_THAT(log, HasSubstr("dgram_add: seq[2] is only 3 elements long seq.pkt_size=1316, "
                               "d.pkt_size=188, seg_len=188 \n"));
    EXPECT_THAT(log, Not(HasSubstr("seq[0] is only")));
}

TEST(dgram, time_out_closes_a_sequence_of_unchanged_size)
{
    set_loop_time(ts_of(2000, 0));
    recording r(1000);
    const int saved = g_mod_ll[LM_STREAM];
    g_mod_ll[LM_STREAM] = INFO_level;
    LogCapture cap;
    EXPECT_EQ(r.add(raw_dgram(1316)), 0);
    // Exactly one time-out later is not yet a time-out.
    set_loop_time(ts_of(2001, 0));
    EXPECT_EQ(r.add(raw_dgram(1316)), 0);
    EXPECT_EQ(r.seq(0).count, 2u);
    set_loop_time(ts_of(2001, 1));
    EXPECT_EQ(r.add(raw_dgram(1316)), 1);
    EXPECT_EQ(r.seq(0).count, 2u);
    EXPECT_EQ(tms2ms(&r.seq(0).last_io), tms2ms(&r.seq(1).first_io));
    EXPECT_EQ(r.seq(1).offset, 2 * 1316);
    g_mod_ll[LM_STREAM] = saved;
    const std::string log = cap.text();
    EXPECT_THAT(log, HasSubstr("dgram_add: DI("));
    EXPECT_THAT(log, HasSubstr(") SEQ[0] timeout after 1001 ms\n"));
    EXPECT_THAT(log, Not(HasSubstr("elements long")));
}

TEST(dgram, ts_packets_are_counted_only_when_in_sync)
{
    set_loop_time(ts_of(3000, 0));
    recording r;
    LogCapture cap;
    EXPECT_EQ(r.add(ts_dgram(188, 7)), 0);
    bytes broken = ts_dgram(188, 7);
    broken[3 * 188] = 0x11;
    // Not seven packets of 188 bytes: raw data from here on.
    EXPECT_EQ(r.add(broken), 1);
    EXPECT_EQ(r.seq(0).count, 7u);
    EXPECT_EQ(r.seq(1).pkt_size, 1316u);
    EXPECT_EQ(r.seq(1).count, 1u);
    EXPECT_EQ(r.di->stype.num, STY_RAW);

    recording t;
    EXPECT_EQ(t.add(ts_dgram(204, 3)), 0);
    // A length that is no whole number of packets is probed again.
    bytes cut = ts_dgram(204, 3);
    cut.resize(500);
    EXPECT_EQ(t.add(cut), 1);
    EXPECT_EQ(t.seq(1).pkt_size, 500u);
    recording u;
    EXPECT_EQ(u.add(ts_dgram(204, 3)), 0);
    EXPECT_EQ(u.add(ts_dgram(188, 7, 2)), 1);
    EXPECT_EQ(u.di->stype.num, STY_MPEGTS);
    EXPECT_EQ(u.seq(1).pkt_size, 188u);
    EXPECT_EQ(u.seq(1).count, 7u);
    EXPECT_EQ(u.seq(1).first_pat, 2u);
    EXPECT_EQ(u.add(ts_dgram(188, 2)), 1);
    EXPECT_EQ(u.seq(1).count, 9u);
}

TEST(dgram, refuses_datagrams_that_do_not_continue_the_record)
{
    set_loop_time(ts_of(4000, 0));
    recording r;
    LogCapture cap;
    const bytes d = raw_dgram(1316);
    EXPECT_EQ(r.add(d), 0);
    r.rec.insert(r.rec.end(), 4096, 0x5a);
    for (off_t at : {off_t(1316 + 10), off_t(1316 - 188), off_t(0)})
        EXPECT_EQ(dgram_add(r.di, d.size(), r.rec.data(), at), -1) << at;
    EXPECT_EQ(dgram_add(r.di, 0, r.rec.data(), 1316), -1);
    EXPECT_EQ(dgram_add(r.di, d.size(), r.rec.data(), -1), -1);
    EXPECT_EQ(dgram_add(r.di, 16, r.rec.data(), std::numeric_limits<off_t>::max() - 8), -1);
    EXPECT_EQ(r.di->seq.len, 1u);
    EXPECT_EQ(r.seq(0).count, 1u);
    EXPECT_EQ(dgram_add(r.di, d.size(), r.rec.data(), 1316), 0);
    EXPECT_EQ(r.seq(0).count, 2u);
    EXPECT_THAT(cap.text(), HasSubstr(") SEQ[0] offset=1326 does not continue the sequence "
                                      "ending at 1316\n"));
}

TEST(dgram, datagrams_fill_time_slots_up_to_the_last)
{
    timespec now;
    set_now(&now);
    // The first datagram came 250 ms ago by the loop's clock; the slot of
    // a later one is measured on the clock itself (100 ms slots).
    timespec base;
    const timespec lag = ts_of(0, 250);
    calc_timespan(&lag, &now, &base);
    set_loop_time(base);
    recording r(5000);
    EXPECT_EQ(r.add(ts_dgram(188, 7)), 0);
    rqs_update_clock();
    EXPECT_EQ(r.add(ts_dgram(188, 3)), 0);
    EXPECT_EQ(r.seq(0).tslot_count[0], 7u);
    EXPECT_EQ(r.seq(0).tslot_count[2], 3u);
    EXPECT_EQ(r.seq(0).max_tslot, 2u);

    // The loop's time of the turn can lag the clock: a datagram that is
    // not timed out by the loop's time may lie far past the last slot.
    set_now(&now);
    const timespec long_lag = ts_of(20, 0);
    calc_timespan(&long_lag, &now, &base);
    set_loop_time(base);
    recording s(1000);
    EXPECT_EQ(s.add(ts_dgram(188, 7)), 0);
    timespec at_tmout = base;
    at_tmout.tv_sec += 1;
    set_loop_time(at_tmout);
    EXPECT_EQ(s.add(ts_dgram(188, 5)), 0);
    const dgram_seq &q = s.seq(0);
    EXPECT_EQ(q.tslot_count[MAX_TSLOTS - 1], 5u);
    EXPECT_EQ(q.max_tslot, MAX_TSLOTS - 1);
    EXPECT_EQ(q.first_pat, 0u);
    EXPECT_EQ(q.count, 12u);
    rqs_update_clock();
}

TEST(dgram, receive_time_estimates)
{
    set_loop_time(ts_of(100, 0));
    recording r;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(r.add(ts_dgram(188, 7)), 0);
    ASSERT_EQ(r.add(raw_dgram(1316)), 1);
    // Slots set by hand: 7 packets in the first 100 ms, none in the next,
    // 14 in the third.
    dgram_seq &s = r.mseq(0);
    std::fill(std::begin(s.tslot_count), std::end(s.tslot_count), 0u);
    s.tslot_count[0] = 7;
    s.tslot_count[2] = 14;
    s.max_tslot = 2;
    s.first_io = ts_of(100, 0);
    s.last_io = ts_of(100, 290);
    set_loop_time(ts_of(555, 0));

    struct {
        ssize_t dseq;
        off_t offset;
        long expect_ms;  // from first_io; -1: no time
    } cases[] = {
        {0, 0, 0},
        {0, 3 * 188, 42},
        {-1, 3 * 188 + 100, 42},
        {0, 7 * 188, 100},
        {0, 10 * 188, 221},
        {0, 20 * 188, 290},
        {0, off_t(r.rec.size()) + 5, -1},
        {1, 3 * 188, -1},
        {7, 3 * 188, -1},
    };
    LogCapture cap;
    for (const auto &c : cases) {
        const timespec t = dgram_calc_time(r.di, c.dseq, c.offset);
        if (c.expect_ms < 0) {
            EXPECT_EQ(t.tv_sec, -1) << c.dseq << "/" << c.offset;
            continue;
        }
        EXPECT_EQ(tms2ms(&t) - 100000, c.expect_ms) << c.dseq << "/" << c.offset;
    }
    // Packet 0 gives first_io to the nanosecond; the end offset of a
    // sequence gives the loop's time now.
    s.first_io.tv_nsec = 123;
    EXPECT_EQ(dgram_calc_time(r.di, 0, 0).tv_nsec, 123);
    EXPECT_EQ(dgram_calc_time(r.di, 0, 21 * 188).tv_sec, 555);
    EXPECT_EQ(dgram_calc_time(r.di, 1, off_t(r.rec.size())).tv_sec, 555);
    EXPECT_THAT(cap.text(), HasSubstr("no sequence holds offset="));
}

TEST(dgram, record_limit_and_reset)
{
    set_loop_time(ts_of(5000, 0));
    recording r(100000);
    const int saved = g_mod_ll[LM_STREAM];
    g_mod_ll[LM_STREAM] = ERR_level;
    LogCapture cap;
    r.rec.reserve(20000 * 101);
    // Alternating sizes: every datagram begins a sequence.
    for (size_t i = 0; i <= DGRAM_MAX_SEQ; ++i)
        ASSERT_EQ(r.add(raw_dgram(100 + i % 2)), ssize_t(i));
    EXPECT_EQ(r.add(raw_dgram(100 + (DGRAM_MAX_SEQ + 1) % 2)), -1);
    EXPECT_EQ(r.di->seq.len, DGRAM_MAX_SEQ + 1);
    EXPECT_THAT(cap.text(), HasSubstr(") record limit=10000 exceeded, won't add\n"));
    g_mod_ll[LM_STREAM] = saved;

    dgram_reset(r.di);
    EXPECT_EQ(r.di->seq.len, 0u);
    EXPECT_EQ(first_dseq_offset(r.di, 0), -1);
    r.rec.clear();
    EXPECT_EQ(r.add(ts_dgram(188, 2, 2)), 0);
    EXPECT_EQ(r.di->stype.num, STY_MPEGTS);
    EXPECT_EQ(first_dseq_offset(r.di, 0), 188);

    // An index without sequence storage answers 0.
    dgram_idx empty{};
    EXPECT_EQ(first_dseq_offset(&empty, 0), 0);
    EXPECT_EQ(last_dseq_offset(&empty, 3), 0);
}

TEST(dgram, free_reports_the_sequences)
{
    set_loop_time(ts_of(6000, 0));
    const int saved = g_mod_ll[LM_STREAM];
    g_mod_ll[LM_STREAM] = DEBUG_level;
    LogCapture cap;
    {
        recording r;
        r.add(raw_dgram(10));
        r.add(raw_dgram(11));
    }
    g_mod_ll[LM_STREAM] = saved;
    const std::string log = cap.text();
    EXPECT_THAT(log, HasSubstr("mk_dgram_idx: DI("));
    EXPECT_THAT(log, HasSubstr(") tmout_ms=5000, tslot_ms=100\n"));
    EXPECT_THAT(log, HasSubstr(") added SEQ[1]: pkt size/count=11/1, dgram[0]: offset=10, "
                               "PAT=0/0\n"));
    EXPECT_THAT(log, HasSubstr("): 2 dgram sequences\n"));
    free_dgram_idx(nullptr);
}

}  // namespace
