#include "mpegts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

#include "log.h"
#include "support.h"

namespace {

using bytes = std::vector<uint8_t>;

// npkts packets of pkt_len bytes: sync byte, PID 0x100, payload only with a
// running continuity counter; the rest (payload, and the 4 or 16 trailing
// bytes of the longer formats) never holds a sync byte.
bytes ts_stream(size_t pkt_len, size_t npkts)
{
    bytes b(pkt_len * npkts);
    for (size_t i = 0; i < npkts; ++i) {
        uint8_t *p = &b[i * pkt_len];
        p[0] = MPEG_TS_SYNC;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = uint8_t(0x10 | (i & 0x0f));
        for (size_t k = 4; k < pkt_len; ++k) {
            uint8_t v = uint8_t(k * 7 + i);
            p[k] = v == MPEG_TS_SYNC ? 0x48 : v;
        }
    }
    return b;
}

// Bytes that are not sync bytes, except at the given offsets.
bytes junk(size_t n, std::initializer_list<size_t> syncs = {})
{
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(0x30 + i % 16);
    for (size_t at : syncs) b[at] = MPEG_TS_SYNC;
    return b;
}

bytes cat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The buffers below are passed as heap copies of exactly their length, so
// the sanitizer build catches any read past the end.
struct exact {
    explicit exact(const bytes &b, size_t n) : len(n), p(n ? new uint8_t[n] : nullptr)
    {
        std::copy(b.begin(), b.begin() + ssize_t(n), p.get());
    }
    explicit exact(const bytes &b) : exact(b, b.size()) {}
    size_t len;
    std::unique_ptr<uint8_t[]> p;
};

ssize_t probe(const bytes &b, bool full, size_t n = SIZE_MAX)
{
    exact e(b, n == SIZE_MAX ? b.size() : n);
    return ts_probe(e.p.get(), e.len, full);
}

ssize_t find_head(const bytes &b, size_t *pkt_len)
{
    exact e(b);
    return ts_find_head(e.p.get(), e.len, pkt_len);
}

// Sets a PCR in the adaptation field of the packet at p: the base and
// extension of a 27 MHz clock reading, reserved bits set as sent.
void put_pcr(uint8_t *p, uint64_t base, unsigned ext)
{
    p[3] = uint8_t(0x30 | (p[3] & 0x0f));
    p[4] = 7;
    p[5] = 0x10;
    p[6] = uint8_t(base >> 25);
    p[7] = uint8_t(base >> 17);
    p[8] = uint8_t(base >> 9);
    p[9] = uint8_t(base >> 1);
    p[10] = uint8_t((base & 1) << 7 | 0x7e | (ext >> 8));
    p[11] = uint8_t(ext);
}

void put_pcr27(uint8_t *p, uint64_t t27)
{
    put_pcr(p, t27 / 300 % P2_33, unsigned(t27 % 300));
}

struct ProbeCase {
    size_t pkt_len, npkts, extra;  // extra: bytes of one more packet
    ssize_t expect, expect_full;
};

}  // namespace

TEST(mpegts, probe_recognises_each_packet_size)
{
    const ProbeCase cases[] = {
        {188, 2, 0, 188, 188},   {188, 20, 0, 188, 188},  {192, 3, 0, 192, 192},
        {204, 3, 0, 204, 204},   {208, 3, 0, 208, 208},   {208, 40, 0, 208, 208},
        // One whole packet is taken as it is.
        {188, 1, 0, 188, 188},   {192, 1, 0, 192, 192},   {204, 1, 0, 204, 204},
        {208, 1, 0, 208, 208},
        // Ending inside a packet (just its sync byte, or more): a run of
        // packets, but not of whole ones.
        {188, 1, 112, 188, -3},  {188, 10, 1, 188, -3},   {192, 5, 100, 192, -3},
        {204, 4, 100, 204, -3},  {208, 2, 50, 208, -3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.pkt_len << " x " << c.npkts << " + " << c.extra);
        bytes b = ts_stream(c.pkt_len, c.npkts + (c.extra ? 1 : 0));
        b.resize(c.pkt_len * c.npkts + c.extra);
        EXPECT_EQ(probe(b, false), c.expect);
        EXPECT_EQ(probe(b, true), c.expect_full);
    }
}

TEST(mpegts, probe_refuses_short_broken_and_foreign_buffers)
{
    EXPECT_EQ(ts_probe(nullptr, 0, false), -1);
    EXPECT_EQ(probe({MPEG_TS_SYNC}, false), -1);
    EXPECT_EQ(probe({0x00}, false), -22);
    EXPECT_EQ(probe(cat({0x00}, ts_stream(188, 3)), false), -22);
    EXPECT_EQ(probe(ts_stream(188, 1), false, 100), -1);
    // Just under one packet: too short for any size.
    for (size_t s : TS_PKT_SIZES) EXPECT_EQ(probe(ts_stream(s, 2), false, s - 1), -1) << s;
    // 200 bytes of 204-byte packets: 188 and 192 fail, 204 cannot be told.
    EXPECT_EQ(probe(ts_stream(204, 2), false, 200), -1);
    // Beyond one packet every size fails on a byte that is no sync byte.
    EXPECT_EQ(probe(cat({MPEG_TS_SYNC}, junk(399)), false), -3);
    // One lost sync byte deep in the buffer breaks the run.
    bytes b = ts_stream(188, 8);
    b[188 * 6] = 0x00;
    EXPECT_EQ(probe(b, false), -3);
}

TEST(mpegts, probe_logs_its_decision_at_debug)
{
    LogCapture cap;
    int saved = g_mod_ll[LM_STREAM];
    g_mod_ll[LM_STREAM] = DEBUG_level;
    bytes good = ts_stream(188, 2);
    bytes bad = cat({MPEG_TS_SYNC}, junk(415));
    EXPECT_EQ(ts_probe(good.data(), good.size(), false), 188);
    EXPECT_EQ(ts_probe(bad.data(), bad.size(), true), -3);
    EXPECT_EQ(ts_probe(good.data(), 100, false), -1);  // decided at once, no line
    g_mod_ll[LM_STREAM] = saved;
    char expect[256];
    snprintf(expect, sizeof expect,
             "(DBG)  ts_probe: in-sync pkt_size[188]/- for buf=%p, len=376\n"
             "(DBG)  ts_probe: NO-SYNC pkt_size[208]/F for buf=%p, len=416\n",
             static_cast<void *>(good.data()), static_cast<void *>(bad.data()));
    EXPECT_EQ(cap.text(), expect);
}

TEST(mpegts, find_head_skips_junk_before_the_first_packet)
{
    for (size_t s : TS_PKT_SIZES)
        for (size_t lead : {0, 1, 5, 100, 187, 206, 207, 300}) {
            SCOPED_TRACE(testing::Message() << s << " after " << lead);
            size_t pkt_len = 0;
            EXPECT_EQ(find_head(cat(junk(lead), ts_stream(s, 6)), &pkt_len), ssize_t(lead));
            EXPECT_EQ(pkt_len, s);
            // The same, ending in the middle of a packet.
            bytes b = cat(junk(lead), ts_stream(s, 4));
            b.resize(b.size() - s / 2);
            pkt_len = 0;
            EXPECT_EQ(find_head(b, &pkt_len), ssize_t(lead));
            EXPECT_EQ(pkt_len, s);
        }
}

TEST(mpegts, find_head_passes_sync_bytes_at_wrong_distances)
{
    struct Case {
        bytes buf;
        ssize_t expect;
        size_t pkt_len;
    };
    const Case cases[] = {
        {cat(junk(150, {3, 50, 120, 149}), ts_stream(188, 5)), 150, 188},
        {cat(junk(90, {0, 1, 2, 89}), ts_stream(204, 3)), 90, 204},
        // A failed candidate at 206 still lets the next one be tried...
        {cat(junk(250, {206}), ts_stream(192, 3)), 250, 192},
        // ...one beyond 206 ends the search.
        {cat(junk(250, {207}), ts_stream(192, 3)), -1, 0},
        // A late failed candidate: the next one lies near the end.
        {cat(junk(205, {200}), cat(ts_stream(188, 1), {MPEG_TS_SYNC, 1, 2, 3, 4, 5, 6})), 205,
         188},
        // Candidates past the middle of the buffer, none good.
        {junk(300, {180, 250, 299}), -1, 0},
        {junk(150, {10}), -1, 0},
        {junk(400), -1, 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        size_t pkt_len = 0;
        EXPECT_EQ(find_head(cases[i].buf, &pkt_len), cases[i].expect);
        EXPECT_EQ(pkt_len, cases[i].pkt_len);  // untouched on failure
    }
}

TEST(mpegts, find_head_on_short_buffers)
{
    size_t pkt_len = 77;
    EXPECT_EQ(ts_find_head(nullptr, 0, &pkt_len), -1);
    EXPECT_EQ(find_head({MPEG_TS_SYNC}, &pkt_len), -1);
    EXPECT_EQ(find_head(cat(junk(20), ts_stream(188, 1)), &pkt_len), 20);
    EXPECT_EQ(pkt_len, 188u);
    for (size_t s : TS_PKT_SIZES) {
        bytes b = cat(junk(3), ts_stream(s, 1));
        b.pop_back();
        pkt_len = 77;
        EXPECT_EQ(find_head(b, &pkt_len), -1) << s;
        EXPECT_EQ(pkt_len, 77u);
    }
}

TEST(mpegtsDeathTest, find_head_needs_a_place_for_the_length)
{
    bytes b = ts_stream(188, 2);
    EXPECT_DEATH(ts_find_head(b.data(), b.size(), nullptr), "ASSERT at:");
}

TEST(mpegts, pcr_base_is_read_from_the_adaptation_field)
{
    // Bit patterns that catch a shifted byte, the base's low bit in byte 10
    // and extension or reserved bits leaking into the base.
    const uint64_t bases[] = {0, 1, 2, 0x100, 0x1fffffffe, P2_33 - 1, uint64_t(1) << 32,
                              0x155555555, 0x0aaaaaaaa};
    for (uint64_t base : bases)
        for (unsigned ext : {0u, 1u, 299u, 0x1ffu}) {
            bytes b = ts_stream(188, 3);
            put_pcr(&b[188], base, ext);
            uint64_t pcr = 0;
            EXPECT_EQ(find_first_pcr(b.data(), b.size(), 188, &pcr), 0);
            EXPECT_EQ(pcr, base) << std::hex << base << " ext " << ext;
            pcr = 0;
            EXPECT_EQ(find_last_pcr(b.data(), b.size(), 188, &pcr), 0);
            EXPECT_EQ(pcr, base);
        }
}

TEST(mpegts, pcr_of_first_and_last_carrying_packet)
{
    for (size_t s : TS_PKT_SIZES) {
        SCOPED_TRACE(s);
        bytes b = ts_stream(s, 10);
        put_pcr(&b[2 * s], 200, 0);
        put_pcr(&b[5 * s], 500, 0);
        put_pcr(&b[7 * s], 700, 0);
        uint64_t pcr = 0;
        EXPECT_EQ(find_first_pcr(b.data(), b.size(), s, &pcr), 0);
        EXPECT_EQ(pcr, 200u);
        EXPECT_EQ(find_last_pcr(b.data(), b.size(), s, &pcr), 0);
        EXPECT_EQ(pcr, 700u);

        // Only packet 0 and only the last packet: both ends are examined.
        bytes one = ts_stream(s, 4);
        put_pcr(&one[0], 11, 0);
        EXPECT_EQ(find_last_pcr(one.data(), one.size(), s, &pcr), 0);
        EXPECT_EQ(pcr, 11u);
        one = ts_stream(s, 4);
        put_pcr(&one[3 * s], 33, 0);
        EXPECT_EQ(find_first_pcr(one.data(), one.size(), s, &pcr), 0);
        EXPECT_EQ(pcr, 33u);
    }
}

TEST(mpegts, pcr_search_ignores_a_partial_last_packet)
{
    // Six whole packets and 100 bytes of a seventh; the real PCR sits in
    // packet 3, a PCR-like pattern inside packet 5 at len - 188.
    bytes b = ts_stream(188, 7);
    b.resize(6 * 188 + 100);
    put_pcr(&b[3 * 188], 303, 0);
    put_pcr(&b[b.size() - 188], 999, 0);
    b[b.size() - 188] = MPEG_TS_SYNC;
    exact e(b);
    uint64_t pcr = 0;
    EXPECT_EQ(find_last_pcr(e.p.get(), e.len, 188, &pcr), 0);
    EXPECT_EQ(pcr, 303u);
    // A PCR only in the partial packet is none.
    bytes tail = ts_stream(188, 3);
    tail.resize(2 * 188 + 20);
    put_pcr(&tail[2 * 188], 5, 0);
    exact t(tail);
    pcr = 42;
    EXPECT_EQ(find_first_pcr(t.p.get(), t.len, 188, &pcr), -1);
    EXPECT_EQ(find_last_pcr(t.p.get(), t.len, 188, &pcr), -1);
    EXPECT_EQ(pcr, 42u);
}

TEST(mpegts, packets_without_a_pcr)
{
    struct Case {
        uint8_t b3, b4, b5;
        const char *what;
    };
    const Case cases[] = {
        {0x10, 7, 0x10, "no adaptation field"},
        {0x30, 0, 0x10, "empty adaptation field"},
        {0x30, 6, 0x10, "field too short for a PCR"},
        {0x30, 7, 0xef, "PCR flag clear"},
        {0x20, 183, 0x00, "adaptation only, no flags"},
    };
    for (const auto &c : cases) {
        bytes b = ts_stream(188, 4);
        for (size_t i = 0; i < 4; ++i) {
            put_pcr(&b[i * 188], 1234, 0);
            b[i * 188 + 3] = c.b3;
            b[i * 188 + 4] = c.b4;
            b[i * 188 + 5] = c.b5;
        }
        uint64_t pcr = 7;
        EXPECT_EQ(find_first_pcr(b.data(), b.size(), 188, &pcr), -1) << c.what;
        EXPECT_EQ(find_last_pcr(b.data(), b.size(), 188, &pcr), -1) << c.what;
        EXPECT_EQ(pcr, 7u);
    }
}

TEST(mpegtsDeathTest, pcr_readers_refuse_broken_arguments)
{
    bytes b = ts_stream(188, 2);
    uint64_t pcr;
    EXPECT_DEATH(find_first_pcr(nullptr, 376, 188, &pcr), "ASSERT at:");
    EXPECT_DEATH(find_last_pcr(b.data(), b.size(), 188, nullptr), "ASSERT at:");
    EXPECT_DEATH(find_first_pcr(b.data(), 187, 188, &pcr), "ASSERT at:");
    EXPECT_DEATH(find_last_pcr(b.data(), 100, 188, &pcr), "ASSERT at:");
    // A zero length would never advance, a short one read past its packet.
    EXPECT_DEATH(find_first_pcr(b.data(), b.size(), 0, &pcr), "ASSERT at:");
    EXPECT_DEATH(find_last_pcr(b.data(), b.size(), 10, &pcr), "ASSERT at:");
    EXPECT_DEATH(find_first_pcr(b.data(), b.size(), 376, &pcr), "ASSERT at:");
}

TEST(mpegts, pcr_delta)
{
    struct Case {
        uint64_t first, last, expect;
        const char *log;
    };
    const Case cases[] = {
        {1000, 1001, 1, ""},
        {1000, 46000, 45000, ""},
        {1000, 1000, 0, ""},
        {P2_33 - 100, 50, 150, ""},
        {P2_33 - 1, 0, 1, ""},
        // Half a second across the wrap is as plausible as without it.
        {P2_33 - 45000, 0, 45000, ""},
        {0, 5, 5, ""},
        {0, 12345678, 12345678, ""},
        {1000, 46001, 0,
         "(WRN)  ts_pcr_delta: PCR gap=45001 exceeds max=45000; last=46001, first=1000\n"},
        {5000, 4000, 0,
         "(WRN)  ts_pcr_delta: PCR last=4000 < first=5000 diff=18446744073709550616\n"},
        {P2_33 - 45001, 0, 0,
         "(WRN)  ts_pcr_delta: PCR last=0 < first=8589889591 diff=18446744065119662025\n"},
    };
    for (const auto &c : cases) {
        LogCapture cap;
        EXPECT_EQ(ts_pcr_delta(c.first, c.last), c.expect) << c.first << " -> " << c.last;
        EXPECT_EQ(cap.text(), c.log);
    }
}

TEST(mpegts, pcr_delta_of_a_27mhz_clock_across_the_wrap)
{
    // Readings of a 27 MHz clock a quarter second apart, the base (clock /
    // 300) wrapping at 2^33 between them; the extension does not count.
    const uint64_t quarter = 27000000 / 4;
    for (uint64_t t0 : {(P2_33 - 10) * 300 + 123, (P2_33 - 22500) * 300, P2_33 * 300 - 1,
                        uint64_t(299)}) {
        SCOPED_TRACE(t0);
        bytes b = ts_stream(188, 6);
        put_pcr27(&b[1 * 188], t0);
        put_pcr27(&b[4 * 188], t0 + quarter);
        uint64_t first = 0, last = 0;
        ASSERT_EQ(find_first_pcr(b.data(), b.size(), 188, &first), 0);
        ASSERT_EQ(find_last_pcr(b.data(), b.size(), 188, &last), 0);
        EXPECT_EQ(first, t0 / 300 % P2_33);
        EXPECT_EQ(last, (t0 + quarter) / 300 % P2_33);
        uint64_t expect = (t0 + quarter) / 300 - t0 / 300;
        if (first == 0) expect = last;  // no earlier reading
        EXPECT_EQ(ts_pcr_delta(first, last), expect);
        EXPECT_LE(expect, PCR_ONE_SEC / 4 + 1);
    }
}
