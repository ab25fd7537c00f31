#include "mmr.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "log.h"
#include "netns.h"
#include "support.h"

namespace {

using bytes = std::vector<uint8_t>;

// npkts packets of pkt_len bytes; only byte 0 of each is a sync byte, and
// every packet's payload differs, so any misplaced byte shows.
bytes ts_stream(size_t pkt_len, size_t npkts, size_t first = 0)
{
    bytes b(pkt_len * npkts);
    for (size_t i = 0; i < npkts; ++i) {
        uint8_t *p = &b[i * pkt_len];
        p[0] = TS_SYNC;
        for (size_t k = 1; k < pkt_len; ++k) p[k] = uint8_t((k * 3 + i + first) % 0x40);
    }
    return b;
}

bytes junk(size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(0x50 + i % 16);
    return b;
}

bytes cat(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes part(const bytes &b, size_t from, size_t to)
{
    return bytes(b.begin() + from, b.begin() + to);
}

size_t page() { return size_t(sysconf(_SC_PAGESIZE)); }

int count_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

// A size of /proc/self/status ("RssShmem", "VmSize"), in KiB; -1 when
// absent.
long status_kb(const char *key)
{
    FILE *f = fopen("/proc/self/status", "re");
    long kb = -1;
    const std::string head = std::string(key) + ":";
    for (char line[256]; f && fgets(line, sizeof line, f);)
        if (strncmp(line, head.c_str(), head.size()) == 0) {
            kb = strtol(line + head.size(), nullptr, 10);
            break;
        }
    if (f) fclose(f);
    return kb;
}

struct Ring {
    mmr_t r = nullptr;
    explicit Ring(size_t sz) { EXPECT_EQ(mmr_create(&r, sz), 0); }
    ~Ring() { mmr_destroy(r); }
};

// Commits data in chunks of at most chunk bytes; the last commit's result.
int feed(mmr_t r, const bytes &data, size_t chunk)
{
    int rc = 0;
    for (size_t at = 0; at < data.size();) {
        mm_point pt{};
        uint8_t *p = mmr_iget(r, &pt);
        if (!p) return -100;
        const size_t n = std::min({chunk, pt.len, data.size() - at});
        memcpy(p, data.data() + at, n);
        pt.len = n;
        if ((rc = mmr_iput(r, &pt)) != 0) return rc;
        at += n;
    }
    return rc;
}

// One output call of batch entries: the datagram lengths, their bytes
// appended to out; consumed.  The call's result in *rc.
std::vector<size_t> take(mmr_t r, size_t batch, bytes *out, int *rc)
{
    std::vector<iovec> iov(batch);
    size_t count = batch;
    *rc = mmr_oget(r, iov.data(), &count);
    std::vector<size_t> lens;
    for (size_t i = 0; i < count; ++i) {
        lens.push_back(iov[i].iov_len);
        const auto *p = static_cast<const uint8_t *>(iov[i].iov_base);
        if (out) out->insert(out->end(), p, p + iov[i].iov_len);
    }
    mmr_oput(r, iov.data(), count);
    return lens;
}

}  // namespace

TEST(mmr, object_layout_names_and_descriptors)
{
    const int fds = count_fds();
    Ring a(4 << 20), b(page());
    ASSERT_TRUE(a.r && b.r);
    // The object's descriptor is closed once mapped.
    EXPECT_EQ(count_fds(), fds);
    // The object is anonymous: nothing in /dev/shm names it, so no other
    // process can open it, take its name first or leave a file there.
    struct stat st{};
    const std::string path = std::string("/dev/shm") + mmr_name(a.r);
    EXPECT_NE(stat(path.c_str(), &st), 0);
    // Rings are numbered one after the other.
    unsigned pid = 0, na = 0, nb = 0;
    ASSERT_EQ(sscanf(mmr_name(a.r), "/mmr.%u.%u", &pid, &na), 2);
    ASSERT_EQ(sscanf(mmr_name(b.r), "/mmr.%u.%u", &pid, &nb), 2);
    EXPECT_EQ(pid, unsigned(getpid()));
    EXPECT_EQ(nb, na + 1);
    // The object holds the ring once, and the guard page; all of it is
    // allocated up front (the process's shared memory grows by it at once).
    const long before = status_kb("RssShmem");
    Ring c(8 << 20);
    ASSERT_TRUE(c.r);
    EXPECT_GE(status_kb("RssShmem") - before, long((8 << 20) + page()) / 1024);
    mmr_destroy(c.r);
    c.r = nullptr;
    mmr_destroy(a.r);
    a.r = nullptr;
    EXPECT_EQ(count_fds(), fds);
}

// The mappings of a ring, from /proc/self/maps: "start-end perms offset".
TEST(mmr, ring_maps_its_object_twice_then_a_guard_that_stops_overruns)
{
    const size_t len = 1 << 20;
    Ring ring(len);
    ASSERT_TRUE(ring.r);
    mm_point pt{};
    uint8_t *buf = mmr_iget(ring.r, &pt);
    ASSERT_TRUE(buf && pt.pos == 0);
    // The mappings of the object, "start-end perms offset", side by side.
    std::string maps;
    FILE *f = fopen("/proc/self/maps", "re");
    for (char line[512]; f && fgets(line, sizeof line, f);) {
        if (!strstr(line, mmr_name(ring.r))) continue;
        maps.append(line, strcspn(line, " ") + 14).push_back('|');
    }
    if (f) fclose(f);
    char want[256];
    const auto a = reinterpret_cast<unsigned long>(buf);
    snprintf(want, sizeof want, "%lx-%lx rw-s 00000000|%lx-%lx rw-s 00000000|%lx-%lx ---s %08zx|",
             a, a + len, a + len, a + 2 * len, a + 2 * len, a + 2 * len + page(), len);
    EXPECT_EQ(maps, want);
    buf[len - 1] = 0x5a;
    EXPECT_EQ(buf[2 * len - 1], 0x5a);
    // The guard page stops the process (under ASan, its report does).
    volatile uint8_t *guard = buf + 2 * len;
    EXPECT_DEATH(*guard = 1, "");
}

TEST(mmr, bad_sizes_are_invariants)
{
    mmr_t r = nullptr;
    EXPECT_DEATH(mmr_create(&r, 1000), "ASSERT at:");
    EXPECT_DEATH(mmr_create(&r, page() + 1), "ASSERT at:");
}

TEST(mmr, data_across_the_end_reads_back_through_the_mirror)
{
    Ring ring(page());
    mmr_t r = ring.r;
    const size_t n = page() / 188;  // packets that fit
    const bytes first = ts_stream(188, n);
    ASSERT_EQ(feed(r, first, 1000), 0);
    int rc;
    bytes out;
    // The newest packet waits for the next one to begin.
    while (mmr_pld_size(r) > 188) take(r, 4, &out, &rc);
    ASSERT_EQ(out, part(first, 0, first.size() - 188));

    // The free region now starts near the end and runs past it.
    mm_point pt{};
    uint8_t *p = mmr_iget(r, &pt);
    ASSERT_TRUE(p);
    EXPECT_EQ(size_t(pt.pos), n * 188);
    EXPECT_EQ(pt.len, page() - 188);
    const bytes second = ts_stream(188, n - 1, 1000);
    memcpy(p, second.data(), second.size());
    pt.len = second.size();
    ASSERT_EQ(mmr_iput(r, &pt), 0);
    const uint8_t *buf = p - pt.pos;
    const size_t wrapped = pt.pos + second.size() - page();
    ASSERT_GT(wrapped, 0u);
    EXPECT_EQ(memcmp(buf, buf + page(), wrapped), 0);
    EXPECT_EQ(memcmp(buf, second.data() + (page() - pt.pos), wrapped), 0);

    // Output hands out contiguous datagrams across the end.
    out.clear();
    mmr_end_input(r);
    while (mmr_pld_size(r) > 0) take(r, 64, &out, &rc);
    EXPECT_EQ(out, cat(part(first, first.size() - 188, first.size()), second));
}

TEST(mmr, finds_each_packet_length_and_cuts_whole_packets)
{
    struct row {
        size_t pkt, junk, chunk, dgram;  // dgram: 1316 cut to whole packets
    };
    const row rows[] = {{188, 0, 4096, 1316}, {192, 5, 100, 1152}, {204, 0, 150, 1224},
                        {208, 17, 33, 1248}};
    for (const row &w : rows) {
        SCOPED_TRACE(w.pkt);
        Ring ring(page() * 4);
        mmr_t r = ring.r;
        const bytes stream = ts_stream(w.pkt, 40);
        ASSERT_EQ(feed(r, cat(junk(w.junk), stream), w.chunk), 0);
        mmr_end_input(r);
        EXPECT_EQ(mmr_ts_len(r), w.pkt);
        bytes out;
        int rc = 0;
        std::vector<size_t> lens;
        while (mmr_pld_size(r) >= w.pkt) {
            auto l = take(r, 2, &out, &rc);
            ASSERT_EQ(rc, 0);
            lens.insert(lens.end(), l.begin(), l.end());
        }
        EXPECT_EQ(out, stream);  // junk skipped, nothing lost or reordered
        EXPECT_EQ(lens.front(), w.dgram);
        for (size_t l : lens) EXPECT_EQ(l % w.pkt, 0u);
        EXPECT_EQ(mmr_get_stats(r).max_dgram_len, w.dgram);
    }
}

TEST(mmr, short_first_reads_wait_for_a_verdict)
{
    // Under one packet, or one stride of the longer formats: undecided.
    for (size_t pkt : {188u, 192u, 204u, 208u}) {
        SCOPED_TRACE(pkt);
        Ring ring(page());
        const bytes s = ts_stream(pkt, 10);
        ASSERT_EQ(feed(ring.r, bytes(s.begin(), s.begin() + 150), 150), 0);
        ASSERT_EQ(feed(ring.r, bytes(s.begin() + 150, s.begin() + pkt), 1000), 0);
        EXPECT_EQ(mmr_ts_len(ring.r), 0u);
        iovec iov[1];
        size_t count = 1;
        EXPECT_EQ(mmr_oget(ring.r, iov, &count), EAGAIN);
        EXPECT_EQ(count, 0u);
        ASSERT_EQ(feed(ring.r, bytes(s.begin() + pkt, s.end()), 1000), 0);
        EXPECT_EQ(mmr_ts_len(ring.r), pkt);
        EXPECT_EQ(mmr_pld_size(ring.r), s.size());
    }
}

TEST(mmr, non_ts_input_is_refused_only_when_certain)
{
    LogCapture log;
    {
        Ring ring(page());
        EXPECT_EQ(feed(ring.r, junk(100), 100), 0);  // may still become a stream
        EXPECT_EQ(feed(ring.r, junk(114), 114), -14);
    }
    {
        // Sync bytes that start no run of packets.
        Ring ring(page());
        bytes b = junk(700);
        b[3] = b[200] = b[401] = TS_SYNC;
        EXPECT_EQ(feed(ring.r, b, 100), -14);
    }
    EXPECT_NE(log.text().find("no TS header"), std::string::npos);

    // After anchoring: 214 bytes without a sync byte wait, however they
    // come, 215 give up.  The newest packet waits for what follows it.
    Ring ring(page());
    int rc;
    ASSERT_EQ(feed(ring.r, ts_stream(188, 2), 1000), 0);
    take(ring.r, 4, nullptr, &rc);
    ASSERT_EQ(mmr_pld_size(ring.r), 188u);
    for (size_t n : {100, 114}) {
        ASSERT_EQ(feed(ring.r, junk(n), n), 0);
        take(ring.r, 4, nullptr, &rc);
        EXPECT_EQ(rc, EAGAIN);
    }
    ASSERT_EQ(feed(ring.r, junk(1), 1), 0);
    take(ring.r, 4, nullptr, &rc);
    EXPECT_EQ(rc, -14);
}

TEST(mmr, aligned_output_and_batch_limits)
{
    struct row {
        uint64_t flags;
        size_t maxlen, batch, npkts;
        std::vector<size_t> want;  // datagram lengths of one call
    };
    const row rows[] = {
        {MMR_ODGRAM_ALIGN, 1316, 4, 6, {}},
        {MMR_ODGRAM_ALIGN, 1316, 4, 7, {1316}},
        {0, 1316, 4, 3, {564}},
        // One entry may carry a whole datagram of D bytes, not 7 packets.
        {0, 5000, 1, 30, {4888}},
        // A batch of one still produces aligned datagrams once enough waits.
        {MMR_ODGRAM_ALIGN, 5000, 1, 27, {4888}},
        // A full datagram goes as soon as its packets are whole.
        {MMR_ODGRAM_ALIGN, 5000, 1, 26, {4888}},
        {MMR_ODGRAM_ALIGN, 5000, 1, 25, {}},
        {MMR_ODGRAM_ALIGN, 5000, 2, 52, {4888, 4888}},
        {MMR_ODGRAM_ALIGN, 1500, 1, 8, {1316}},
        {MMR_ODGRAM_ALIGN, 1500, 1, 7, {1316}},
        {MMR_ODGRAM_ALIGN, 1500, 1, 6, {}},
        {MMR_ODGRAM_ALIGN, 1500, 3, 14, {1316, 1316}},
        {MMR_ODGRAM_ALIGN, 1500, 3, 13, {1316}},
        {MMR_ODGRAM_ALIGN, 1316, 64, 7 * 64 + 6, std::vector<size_t>(64, 1316)},
        {0, 1500, 3, 14, {1316, 1316}},
    };
    for (const row &w : rows) {
        SCOPED_TRACE(testing::Message() << w.flags << "/" << w.maxlen << "/" << w.batch << "/"
                                        << w.npkts);
        Ring ring(page() * 32);
        mmr_set_flags(ring.r, w.flags);
        EXPECT_EQ(mmr_get_flags(ring.r), w.flags);
        ASSERT_EQ(mmr_set_tspkt_len(ring.r, w.maxlen), 0);
        // The next packet's sync byte: the packets before it are whole.
        ASSERT_EQ(feed(ring.r, cat(ts_stream(188, w.npkts), {TS_SYNC}), 1 << 20), 0);
        EXPECT_EQ(mmr_oready(ring.r), !w.want.empty());
        int rc;
        EXPECT_EQ(take(ring.r, w.batch, nullptr, &rc), w.want);
        EXPECT_EQ(rc, w.want.empty() ? EAGAIN : 0);
    }
    Ring ring(page());
    EXPECT_EQ(mmr_set_tspkt_len(ring.r, 188), 0);
    EXPECT_EQ(mmr_set_tspkt_len(ring.r, 5000), 0);
    EXPECT_EQ(mmr_set_tspkt_len(ring.r, 187), -1);
    EXPECT_EQ(mmr_set_tspkt_len(ring.r, 5001), -1);
}

// Whether a datagram may go now, asked without moving anything: what is
// left after a batch decides whether the writer waits for more input.
TEST(mmr, ready_tells_whether_a_datagram_may_go_now)
{
    struct row {
        const char *why;
        uint64_t flags;
        bytes data;
        bool ended, ready;
    };
    const bytes one = ts_stream(188, 1), seven = ts_stream(188, 7);
    const row rows[] = {
        {"a packet and the next sync byte", 0, cat(one, {TS_SYNC}), false, true},
        {"a packet and the start of the next", 0, cat(one, part(one, 0, 100)), false, true},
        {"one packet, more may follow", 0, one, false, false},
        {"one packet, input ended", 0, one, true, true},
        {"a packet cut short", 0, part(one, 0, 100), false, false},
        {"a break behind the packet", 0, cat(one, junk(100)), false, true},
        {"in front of the stream", 0, cat(junk(5), cat(one, one)), false, true},
        {"aligned, six and the next", MMR_ODGRAM_ALIGN, ts_stream(188, 7), false, false},
        {"aligned, seven and the next", MMR_ODGRAM_ALIGN, cat(seven, {TS_SYNC}), false, true},
        {"aligned, seven, input ended", MMR_ODGRAM_ALIGN, seven, true, true},
        {"aligned, six, input ended", MMR_ODGRAM_ALIGN, ts_stream(188, 6), true, false},
    };
    for (const row &w : rows) {
        SCOPED_TRACE(w.why);
        Ring ring(page());
        mmr_set_flags(ring.r, w.flags);
        EXPECT_FALSE(mmr_oready(ring.r));  // nothing anchored
        // Anchored on a stream of three packets, emptied, then w.data.
        ASSERT_EQ(feed(ring.r, ts_stream(188, 3), 10000), 0);
        iovec all{nullptr, 3 * 188};
        mmr_oput(ring.r, &all, 1);
        EXPECT_FALSE(mmr_oready(ring.r));
        mm_point pt{};
        uint8_t *p = mmr_iget(ring.r, &pt);
        ASSERT_TRUE(p && pt.len >= w.data.size());
        memcpy(p, w.data.data(), w.data.size());
        pt.len = w.data.size();
        ASSERT_EQ(mmr_iput(ring.r, &pt), 0);
        if (w.ended) mmr_end_input(ring.r);
        EXPECT_EQ(mmr_oready(ring.r), w.ready);
        const size_t before = mmr_pld_size(ring.r);
        int rc;
        const auto lens = take(ring.r, 1, nullptr, &rc);
        // Ready unless the payload is out of step with the stream, where
        // the output call decides: never ready with nothing to send.
        if (!w.ready) {
            EXPECT_TRUE(lens.empty());
        }
        if (w.ready && w.data[0] == TS_SYNC && mmr_pld_size(ring.r) == before)
            ADD_FAILURE() << "ready, yet nothing went";
    }
}

TEST(mmr, lost_sync_sends_what_came_before_and_resynchronises)
{
    // The packet in front of the break may have been cut by the junk: it
    // stays behind with the junk.
    LogCapture log;
    Ring ring(page() * 2);
    const bytes tail = ts_stream(188, 8, 50);
    bytes b = cat(cat(ts_stream(188, 3), junk(40)), tail);
    ASSERT_EQ(feed(ring.r, b, 5000), 0);
    mmr_end_input(ring.r);
    bytes out;
    int rc;
    EXPECT_EQ(take(ring.r, 4, &out, &rc), std::vector<size_t>{376});
    EXPECT_EQ(take(ring.r, 4, &out, &rc), (std::vector<size_t>{1316, 188}));
    EXPECT_EQ(out, cat(ts_stream(188, 2), tail));
    EXPECT_NE(log.text().find("shifting 228 bytes to TS-sync"), std::string::npos);

    // Aligned output that holds packets before a break jumps over them and
    // goes on after the break in the same call.
    Ring al(page() * 2);
    mmr_set_flags(al.r, MMR_ODGRAM_ALIGN);
    ASSERT_EQ(feed(al.r, cat(cat(ts_stream(188, 3), junk(40)), tail), 5000), 0);
    mmr_end_input(al.r);
    out.clear();
    EXPECT_EQ(take(al.r, 4, &out, &rc), std::vector<size_t>{1316});
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, bytes(tail.begin(), tail.begin() + 1316));
    EXPECT_NE(log.text().find("LOST-SYNC-JUMP over 2 TS packets"), std::string::npos);
}

namespace {

// Packet i of a numbered stream: its number in bytes 1 and 2 (below 0x40,
// so never a sync byte) and a payload with a sync byte at an offset that
// moves from packet to packet, as 0x47 turns up inside real payloads.
bytes numbered(size_t i)
{
    bytes b(188);
    b[0] = TS_SYNC, b[1] = uint8_t(i >> 6 & 0x3f), b[2] = uint8_t(i & 0x3f);
    for (size_t k = 3; k < 188; ++k) b[k] = uint8_t((k * 5 + i) % 0x40);
    b[10 + i * 37 % 170] = TS_SYNC;
    return b;
}

bytes packets(size_t from, size_t to)
{
    bytes b;
    for (size_t i = from; i < to; ++i) b = cat(b, numbered(i));
    return b;
}

// n junk bytes, sync bytes at the given offsets.
bytes junk_with(size_t n, std::initializer_list<size_t> syncs)
{
    bytes b = junk(n);
    for (size_t at : syncs) b[at] = TS_SYNC;
    return b;
}

// n groups of per packets, the last of each cut to keep bytes and followed
// by gap.
bytes groups(size_t n, size_t per, size_t keep, const bytes &gap)
{
    bytes b;
    for (size_t g = 0; g < n; ++g)
        b = cat(cat(cat(b, packets(g * per, g * per + per - 1)),
                    part(numbered(g * per + per - 1), 0, keep)),
                gap);
    return b;
}

// Packets g x per + k of n groups, for each k.
std::vector<size_t> in_groups(size_t n, size_t per, std::initializer_list<size_t> ks)
{
    std::vector<size_t> v;
    for (size_t g = 0; g < n; ++g)
        for (size_t k : ks) v.push_back(g * per + k);
    return v;
}

struct break_case {
    const char *why;
    std::vector<bytes> reads;  // each committed, then everything ready taken
    size_t served;             // packets 0 .. served - 1 were in the reads
    std::vector<size_t> lost;  // those never sent
    uint64_t flags;
    size_t piece = 0;          // reads committed in pieces this long, each then taken
};

}  // namespace

TEST(mmr, junk_is_never_sent_and_costs_at_most_the_packet_in_front_of_it)
{
    const bytes p50 = numbered(50);
    const break_case cases[] = {
        {"junk holding a sync byte between packets, one read",
         {cat(cat(packets(0, 200), junk_with(40, {10})), packets(200, 400))}, 400, {199}, 0},
        // The newest packet waits for the byte after it.
        {"the same, the junk in a read of its own",
         {packets(0, 200), cat(junk_with(40, {10}), packets(200, 400))}, 400, {199}, 0},
        {"junk at the stream's start", {cat(junk_with(30, {4, 17}), packets(0, 100))}, 100, {}, 0},
        {"junk inside a packet",
         {cat(cat(cat(packets(0, 50), part(p50, 0, 60)), junk_with(30, {5})),
              cat(part(p50, 60, 188), packets(51, 100)))},
         100, {50}, 0},
        {"a packet cut short", {cat(cat(packets(0, 50), part(p50, 0, 100)), packets(51, 100))}, 100,
         {50}, 0},
        // The junk's sync byte holds the boundary: the packet in front goes.
        {"junk starting with a sync byte on a boundary",
         {cat(cat(packets(0, 50), junk_with(50, {0})), packets(50, 100))}, 100, {}, 0},
        {"junk whose sync bytes pair a packet apart",
         {cat(cat(packets(0, 50), junk_with(200, {3, 191})), packets(50, 100))}, 100, {49}, 0},
        {"long junk over several reads",
         {cat(packets(0, 50), junk_with(300, {0, 99, 198})), junk_with(300, {97, 196}),
          cat(junk_with(100, {50}), packets(50, 100))},
         100, {}, 0},
        {"a candidate that waits for its boundaries",
         {packets(0, 50), cat(junk(20), packets(50, 51)), packets(51, 100)}, 100, {49}, 0},
        // The search keeps its place while it waits for bytes.
        {"short junk in pieces", {groups(20, 13, 188, junk(190))}, 260,
         in_groups(20, 13, {12}), 0, 250},
        {"short junk in pieces, aligned", {groups(20, 13, 188, junk(214))}, 260,
         in_groups(20, 13, {7, 8, 9, 10, 11, 12}), MMR_ODGRAM_ALIGN, 250},
        {"packets cut short, in pieces", {groups(6, 50, 100, {})}, 300, in_groups(6, 50, {49}),
         0, 188},
        {"the last packet cut short", {cat(packets(0, 10), part(numbered(10), 0, 100))}, 10, {},
         0, 188},
        // At the end, a candidate after a break needs a boundary of its own.
        {"a packet after junk at the end", {cat(cat(packets(0, 10), junk(20)), packets(10, 11))},
         11, {9, 10}, 0},
        {"junk after a break that starts with a sync byte, at the end",
         {cat(cat(packets(0, 10), junk(50)), junk_with(188, {0}))}, 10, {9}, 0},
        {"two packets after junk at the end",
         {cat(cat(packets(0, 10), junk(20)), packets(10, 12))}, 12, {9}, 0},
        // Aligned output also jumps over the packets it held before a break.
        {"aligned output", {cat(cat(packets(0, 30), junk_with(40, {10})), packets(30, 100))}, 100,
         {28, 29}, MMR_ODGRAM_ALIGN},
    };
    for (const break_case &c : cases) {
        SCOPED_TRACE(c.why);
        Ring ring(page() * 32);
        mmr_set_flags(ring.r, c.flags);
        bytes out;
        for (const bytes &b : c.reads) {
            const size_t piece = c.piece ? c.piece : b.size();
            for (size_t at = 0; at < b.size(); at += piece) {
                ASSERT_EQ(feed(ring.r, part(b, at, std::min(b.size(), at + piece)), piece), 0);
                int rc = 0;
                while (rc == 0) take(ring.r, 8, &out, &rc);
                ASSERT_NE(rc, -14) << "at byte " << at;
            }
        }
        mmr_end_input(ring.r);
        for (int rc = 0; rc == 0;) take(ring.r, 8, &out, &rc);
        // Every packet sent is a whole served one, in order, once.
        ASSERT_EQ(out.size() % 188, 0u);
        std::vector<size_t> got;
        for (size_t at = 0; at < out.size(); at += 188) {
            const size_t n = size_t(out[at + 1]) << 6 | out[at + 2];
            ASSERT_EQ(part(out, at, at + 188), numbered(n)) << "at byte " << at;
            ASSERT_TRUE(got.empty() || n > got.back());
            got.push_back(n);
        }
        std::vector<size_t> lost;
        for (size_t i = 0, k = 0; i < c.served; ++i)
            if (k < got.size() && got[k] == i)
                ++k;
            else
                lost.push_back(i);
        EXPECT_EQ(lost, c.lost);
    }

    // The payload starts at the packet the head probe found.
    Ring ring(page());
    ASSERT_EQ(feed(ring.r, cat(junk_with(30, {4, 17}), packets(0, 10)), 4096), 0);
    EXPECT_EQ(mmr_pld_size(ring.r), 10 * 188u);
}

TEST(mmr, junk_that_never_shows_a_stream_is_given_up_on)
{
    // Sync bytes too often for the stretch rule, never a packet apart.
    LogCapture log;
    Ring ring(page() * 32);
    ASSERT_EQ(feed(ring.r, packets(0, 10), 4096), 0);
    bytes out;
    int rc = 0;
    while (rc == 0) take(ring.r, 8, &out, &rc);
    bytes j = junk(70000);
    for (size_t i = 0; i < j.size(); i += 150) j[i] = TS_SYNC;
    int last = 0;
    for (size_t at = 0; at < j.size() && last != -14; at += 4096) {
        ASSERT_EQ(feed(ring.r, part(j, at, std::min(j.size(), at + 4096)), 4096), 0);
        take(ring.r, 8, &out, &last);
    }
    EXPECT_EQ(last, -14);
    EXPECT_EQ(out, packets(0, 10));
    EXPECT_NE(log.text().find("not a TS stream, giving up"), std::string::npos);
}

TEST(mmr, reset_empties_and_finds_the_length_again)
{
    Ring ring(page());
    ASSERT_EQ(feed(ring.r, ts_stream(188, 5), 1000), 0);
    mmr_reset(ring.r);
    EXPECT_EQ(mmr_pld_size(ring.r), 0u);
    ASSERT_EQ(feed(ring.r, ts_stream(204, 5), 1000), 0);
    EXPECT_EQ(mmr_ts_len(ring.r), 204u);
}

// A full /dev/shm, or any file planted there, is no concern of a ring; a
// ring that cannot be had for want of descriptors or memory fails with that
// cause (never EINVAL, which callers answer as a bad request) and leaves
// nothing.  The test mounts a small /dev/shm in a private mount namespace
// of a child, and lowers the child's own limits.
TEST(mmr, want_of_room_fails_creation_with_its_cause)
{
    const int rc = run_in_child([] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=64k") != 0)
            return CHILD_SKIP;
        // The names a ring of this process was once given, planted.
        for (int n = 1; n <= 3; ++n)
            write_file("/dev/shm/mmr." + std::to_string(getpid()) + "." + std::to_string(n), "");
        const int fds = count_fds();
        mmr_t r = nullptr;
        CHILD_CHECK(mmr_create(&r, 1 << 20) == 0);
        mm_point pt{};
        uint8_t *p = mmr_iget(r, &pt);
        CHILD_CHECK(p && pt.len == 1 << 20);
        memset(p, 0x11, pt.len);  // usable to its last byte
        mmr_destroy(r);
        r = nullptr;
        CHILD_CHECK(count_fds() == fds);
        DIR *d = opendir("/dev/shm");
        int names = 0;
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ++names;
        closedir(d);
        CHILD_CHECK(names == 3);

        // No descriptor left for the object.
        struct rlimit lim{};
        CHILD_CHECK(getrlimit(RLIMIT_NOFILE, &lim) == 0);
        int lowest_free = 0;  // a new descriptor takes the lowest free number
        while (fcntl(lowest_free, F_GETFD) != -1) ++lowest_free;
        const struct rlimit few = {rlim_t(lowest_free), lim.rlim_max};
        CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &few) == 0);
        CHILD_CHECK(mmr_create(&r, 1 << 20) == EMFILE);
        CHILD_CHECK(r == nullptr);
        CHILD_CHECK(setrlimit(RLIMIT_NOFILE, &lim) == 0);
#if !defined(__SANITIZE_ADDRESS__)
        // No address space for the mappings (the sanitizer's own mappings
        // would not survive this limit).
        const long vm = status_kb("VmSize");
        CHILD_CHECK(vm > 0);
        const rlim_t room = rlim_t(vm + 4096) * 1024;
        const struct rlimit as = {room, room};
        CHILD_CHECK(setrlimit(RLIMIT_AS, &as) == 0);
        CHILD_CHECK(mmr_create(&r, 16 << 20) == ENOMEM);
        CHILD_CHECK(r == nullptr);
        CHILD_CHECK(count_fds() == fds);
#endif
        return 0;
    });
    if (rc == CHILD_SKIP) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(rc, 0);
}
