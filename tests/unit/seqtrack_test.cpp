// Sequence accounting of the benchmark sink: gaps, late units, duplicates
// and the window that tells them apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "benchkit.h"
#include "seqtrack.h"

namespace {

struct seq_case {
    const char *name;
    uint32_t window;
    std::vector<std::pair<uint32_t, uint64_t>> units;  // (stream, seq) in arrival order
    seq_totals want;
};

seq_totals totals(uint64_t units, uint64_t unique, uint64_t lost, uint64_t gaps, uint64_t reordered,
                  uint64_t dups, uint64_t stale, uint64_t foreign, uint64_t streams)
{
    seq_totals t;
    t.units = units, t.unique = unique, t.lost = lost, t.gaps = gaps, t.reordered = reordered;
    t.duplicates = dups, t.stale = stale, t.foreign = foreign, t.streams = streams;
    return t;
}

std::vector<std::pair<uint32_t, uint64_t>> run_of(uint32_t stream, uint64_t from, uint64_t to)
{
    std::vector<std::pair<uint32_t, uint64_t>> v;
    for (uint64_t s = from; s < to; ++s) v.emplace_back(stream, s);
    return v;
}

template <typename... Parts>
std::vector<std::pair<uint32_t, uint64_t>> cat(Parts... parts)
{
    std::vector<std::pair<uint32_t, uint64_t>> v;
    (v.insert(v.end(), parts.begin(), parts.end()), ...);
    return v;
}

}  // namespace

TEST(seqtrack, counts_gaps_late_units_and_duplicates)
{
    using P = std::vector<std::pair<uint32_t, uint64_t>>;
    const seq_case cases[] = {
        {"in order", 64, run_of(0, 0, 10), totals(10, 10, 0, 0, 0, 0, 0, 0, 1)},
        // The stream starts at 0: a first unit of 3 means three were lost.
        {"late start", 64, P{{0, 3}, {0, 4}}, totals(2, 2, 3, 1, 0, 0, 0, 0, 1)},
        {"hole filled", 64, P{{0, 0}, {0, 1}, {0, 4}, {0, 2}, {0, 3}}, totals(5, 5, 0, 1, 2, 0, 0, 0, 1)},
        {"duplicates", 64, P{{0, 0}, {0, 1}, {0, 1}, {0, 2}, {0, 0}}, totals(5, 3, 0, 0, 0, 2, 0, 0, 1)},
        {"late unit twice", 64, P{{0, 0}, {0, 2}, {0, 1}, {0, 1}}, totals(4, 3, 0, 1, 1, 1, 0, 0, 1)},
        {"two holes", 64, P{{0, 0}, {0, 1}, {0, 3}, {0, 2}, {0, 2}, {0, 5}}, totals(6, 5, 1, 2, 1, 1, 0, 0, 1)},
        // next expected 101: 1 lies 100 behind, past the 64-unit window.
        {"stale", 64, P{{0, 0}, {0, 100}, {0, 1}}, totals(3, 2, 99, 1, 0, 0, 1, 0, 1)},
        // A window's distance back is still told apart; one more is not.
        {"window edge", 64, P{{0, 0}, {0, 64}, {0, 1}, {0, 0}}, totals(4, 3, 62, 1, 1, 0, 1, 0, 1)},
        // A jump of a whole window forgets everything before it.
        {"jump past window", 64, P{{0, 0}, {0, 1000}, {0, 999}, {0, 1000}}, totals(4, 3, 998, 1, 1, 1, 0, 0, 1)},
        // Slots are reused: seq 64 takes the slot of 0, which must not make
        // it look seen when it comes late.
        {"reused slot", 64, cat(run_of(0, 0, 64), P{{0, 65}, {0, 64}, {0, 64}}),
         totals(67, 66, 0, 1, 1, 1, 0, 0, 1)},
        {"reused slots many times", 64, cat(run_of(0, 0, 1000), P{{0, 1002}, {0, 1000}, {0, 1001}, {0, 936}}),
         totals(1004, 1003, 0, 1, 2, 0, 1, 0, 1)},
        {"streams apart", 64, P{{0, 0}, {1, 0}, {1, 1}, {0, 1}, {2, 1}, {1, 1}},
         totals(6, 5, 1, 1, 0, 1, 0, 0, 3)},
        {"unknown stream", 64, P{{0, 0}, {4, 0}, {100, 7}}, totals(1, 1, 0, 0, 0, 0, 0, 2, 1)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        seq_tracker trk;
        ASSERT_EQ(trk.init(4, c.window), 0);
        for (const auto &[stream, seq] : c.units) trk.note(stream, seq);
        const seq_totals &t = trk.totals();
        EXPECT_EQ(t.units, c.want.units);
        EXPECT_EQ(t.unique, c.want.unique);
        EXPECT_EQ(t.lost, c.want.lost);
        EXPECT_EQ(t.gaps, c.want.gaps);
        EXPECT_EQ(t.reordered, c.want.reordered);
        EXPECT_EQ(t.duplicates, c.want.duplicates);
        EXPECT_EQ(t.stale, c.want.stale);
        EXPECT_EQ(t.foreign, c.want.foreign);
        EXPECT_EQ(t.streams, c.want.streams);
    }
}

TEST(seqtrack, init_refuses_bad_sizes_and_resets)
{
    seq_tracker trk;
    EXPECT_EQ(trk.init(0, 64), -1);
    EXPECT_EQ(trk.init(1, 32), -1);
    EXPECT_EQ(trk.init(1, 100), -1);
    EXPECT_EQ(trk.init(1, 1u << 25), -1);
    EXPECT_EQ(trk.init((1u << 20) + 1, 64), -1);
    ASSERT_EQ(trk.init(2, 64), 0);
    trk.note(0, 5);
    trk.note_foreign();
    EXPECT_EQ(trk.next_expected(0), 6u);
    EXPECT_EQ(trk.next_expected(9), 0u);
    ASSERT_EQ(trk.init(2, 128), 0);
    EXPECT_EQ(trk.totals().units, 0u);
    EXPECT_EQ(trk.totals().foreign, 0u);
    EXPECT_EQ(trk.next_expected(0), 0u);
}

TEST(seqtrack, stamps_and_ts_packets_round_trip)
{
    uint8_t buf[benchkit::TS_LEN];
    uint32_t stream = 0;
    uint64_t seq = 0;
    benchkit::put_stamp(buf, 7, 0x123456789abcull);
    ASSERT_TRUE(benchkit::get_stamp(buf, benchkit::STAMP_LEN, &stream, &seq));
    EXPECT_EQ(stream, 7u);
    EXPECT_EQ(seq, 0x123456789abcull);
    EXPECT_FALSE(benchkit::get_stamp(buf, benchkit::STAMP_LEN - 1, &stream, &seq));
    buf[0] ^= 1;
    EXPECT_FALSE(benchkit::get_stamp(buf, benchkit::STAMP_LEN, &stream, &seq));

    benchkit::fill_ts_packet(buf, 3, 18);
    EXPECT_EQ(buf[0], 0x47);
    EXPECT_EQ(((buf[1] & 0x1f) << 8) | buf[2], 0x100);
    EXPECT_EQ(buf[3], 0x10 | 2);  // payload only, continuity counter 18 mod 16
    ASSERT_TRUE(benchkit::get_stamp(buf + benchkit::TS_HEAD_LEN, benchkit::TS_LEN - benchkit::TS_HEAD_LEN,
                                    &stream, &seq));
    EXPECT_EQ(stream, 3u);
    EXPECT_EQ(seq, 18u);
    EXPECT_EQ(buf[benchkit::TS_LEN - 1], 0xff);
}
