#include "chunked.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

// Bytes that hold everything framing is made of: digits, CR, LF, ';', NUL.
std::string awkward_payload(size_t n)
{
    static const char k_bytes[] = "0\r\n;aF \t\x00\xff\x47";
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = k_bytes[(i * 7 + i / 13) % (sizeof k_bytes - 1)];
    return s;
}

struct outcome {
    std::string payload;
    int result = CHUNK_MORE;
    uint64_t at = 0;
    bool moved_ok = true;  // a failure left its offending byte unmoved where it said, and
                           // an ended or failed decoder took nothing more
};

// Feeds wire to a fresh decoder in pieces cut at the given offsets, each
// piece a heap copy of its own (so the sanitizers see any stray access);
// after the end or a failure, one more call must repeat the result.
outcome feed(const std::string &wire, const std::vector<size_t> &cuts)
{
    outcome o;
    chunk_dec d;
    chunk_init(&d);
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(wire.size());
    for (size_t to : ends) {
        std::vector<uint8_t> piece(wire.begin() + long(from), wire.begin() + long(to));
        const uint64_t before = d.at;
        size_t pld = 99999;
        o.result = chunk_decode(&d, piece.data(), piece.size(), &pld);
        if (pld > piece.size()) return o.moved_ok = false, o;
        o.payload.append(reinterpret_cast<const char *>(piece.data()), pld);
        if (o.result < 0) {
            const size_t off = size_t(d.at - before);
            o.moved_ok = off < piece.size() && char(piece[off]) == wire[from + off];
        }
        from = to;
        if (o.result != CHUNK_MORE) break;
    }
    o.at = d.at;
    if (o.result == CHUNK_MORE) return o;
    // An ended or failed body takes nothing more.
    uint8_t more[4] = {'1', '\r', '\n', 'x'};
    size_t pld = 99;
    if (chunk_decode(&d, more, sizeof more, &pld) != o.result || pld != 0 || d.at != o.at)
        o.moved_ok = false;
    return o;
}

// Every way of feeding wire that the cases check: whole, cut once at every
// offset, cut twice at every pair of offsets near the framing (short
// bodies), and byte by byte.  fn gets a name and the outcome.
template <class F>
void every_cut(const std::string &wire, F fn)
{
    fn("whole", feed(wire, {}));
    for (size_t k = 1; k < wire.size(); ++k) fn("cut at " + std::to_string(k), feed(wire, {k}));
    if (wire.size() <= 64)
        for (size_t a = 1; a < wire.size(); ++a)
            for (size_t b = a + 1; b < wire.size(); ++b)
                fn("cut at " + std::to_string(a) + "," + std::to_string(b), feed(wire, {a, b}));
    std::vector<size_t> bytes;
    for (size_t k = 1; k < wire.size(); ++k) bytes.push_back(k);
    fn("byte by byte", feed(wire, bytes));
}

struct good_case {
    const char *name;
    std::string wire;
    std::string payload;
    int result;
    size_t taken;  // body bytes taken (the end of the body for CHUNK_END)
};

std::vector<good_case> good_cases()
{
    const std::string p = awkward_payload(4000);
    const std::string ts = awkward_payload(188 * 12);
    std::vector<good_case> v = {
        {"one chunk", "5\r\nhello\r\n0\r\n\r\n", "hello", CHUNK_END, 15},
        {"the last chunk alone", "0\r\n\r\n", "", CHUNK_END, 5},
        {"hex digits in both cases", "A\r\n0123456789\r\nb\r\nabcdefghijk\r\n0\r\n\r\n",
         "0123456789abcdefghijk", CHUNK_END, 0},
        {"leading zeros", "00000000000000000000005\r\nhello\r\n000\r\n\r\n", "hello", CHUNK_END,
         0},
        {"largest size", "FFFFFFFFFFFFFFFF\r\nab", "ab", CHUNK_MORE, 0},
        {"extensions", "5;name=value\r\nhello\r\n3 ; a=\"q;x\\\"\" ;b\r\nabc\r\n0;last\r\n\r\n",
         "helloabc", CHUNK_END, 0},
        {"blanks before an extension", "2\t \t;x=\x80\xff\r\nab\r\n0 ;z\r\n\r\n", "ab", CHUNK_END,
         0},
        {"blanks alone after the size", "2 \r\nab\r\n0\t\r\n\r\n", "ab", CHUNK_END, 0},
        {"trailers", "3\r\nabc\r\n0\r\nExpires: never\r\nX-Sum:\t1 2\r\n\r\n", "abc", CHUNK_END,
         0},
        {"bytes after the end stay", "1\r\nx\r\n0\r\n\r\nHTTP/1.1 200", "x", CHUNK_END, 11},
        {"an open body", "3\r\nabc\r\n4\r\nde", "abcde", CHUNK_MORE, 0},
        {"an open size line", "3\r\nabc\r\n1f;ext", "abc", CHUNK_MORE, 0},
        {"payload that looks like framing", chunked_body("\r\n0\r\n\r\n", {7}), "\r\n0\r\n\r\n",
         CHUNK_END, 0},
        {"size line of the longest length",
         "1;" + std::string(CHUNK_LINE_MAX - 2, 'e') + "\r\nx\r\n0\r\n\r\n", "x", CHUNK_END, 0},
        {"trailer section of the longest length",
         "0\r\nX: " + std::string(CHUNK_TRAILER_MAX - 7, 'v') + "\r\n\r\n", "", CHUNK_END, 0},
        {"one big chunk", chunked_body(p, {4000}), p, CHUNK_END, 0},
        {"packets in awkward chunks", chunked_body(ts, {1, 187, 189, 375, 1, 2, 700, 801}), ts,
         CHUNK_END, 0},
        {"one-byte chunks with extensions and trailer",
         chunked_body(p.substr(0, 40), {1}, true, ";n=v", "T: x\r\n"),
         p.substr(0, 40), CHUNK_END, 0},
    };
    for (auto &c : v)
        if (c.taken == 0) c.taken = c.wire.size();
    return v;
}

TEST(chunked, well_formed_bodies_give_their_payload_however_they_are_cut)
{
    for (const auto &c : good_cases()) {
        every_cut(c.wire, [&](const std::string &how, const outcome &o) {
            SCOPED_TRACE(std::string(c.name) + ", " + how);
            EXPECT_EQ(o.result, c.result);
            EXPECT_EQ(o.payload, c.payload);
            EXPECT_TRUE(o.moved_ok);
            if (c.result == CHUNK_END) {
                EXPECT_EQ(o.at, c.taken);
            }
        });
    }
}

struct bad_case {
    const char *name;
    std::string wire;
    int result;
    size_t at;            // offset of the offending byte
    std::string payload;  // what came before it
};

std::vector<bad_case> bad_cases()
{
    return {
        {"no digit", "g\r\nx", CHUNK_EHEX, 0, ""},
        {"empty size line", "\r\n", CHUNK_EHEX, 0, ""},
        {"a sign", "-1\r\n", CHUNK_EHEX, 0, ""},
        {"blank first", " 1\r\n", CHUNK_EHEX, 0, ""},
        {"0x prefix", "0x10\r\n", CHUNK_EHEX, 1, ""},
        {"stray byte after the digits", "1g\r\n", CHUNK_EHEX, 1, ""},
        {"digit after blanks", "1 2\r\n", CHUNK_EHEX, 2, ""},
        {"bad second size", "2\r\nab\r\nz\r\n", CHUNK_EHEX, 7, "ab"},
        {"seventeen digits", "10000000000000000\r\n", CHUNK_ESIZE, 16, ""},
        {"size past 64 bits", "FFFFFFFFFFFFFFFF0\r\n", CHUNK_ESIZE, 16, ""},
        {"over-long extension", "1;" + std::string(2000, 'e') + "\r\n", CHUNK_ELINE,
         CHUNK_LINE_MAX, ""},
        {"over-long zeros", std::string(CHUNK_LINE_MAX + 5, '0'), CHUNK_ELINE, CHUNK_LINE_MAX, ""},
        {"over-long trailer section", "0\r\nX: " + std::string(CHUNK_TRAILER_MAX, 'v'),
         CHUNK_ELINE, 3 + CHUNK_TRAILER_MAX, ""},
        {"many trailer lines", "0\r\n" + [] {
             std::string s;
             while (s.size() < CHUNK_TRAILER_MAX) s += "A: b\r\n";
             return s + "\r\n";
         }(),
         CHUNK_ELINE, 3 + CHUNK_TRAILER_MAX, ""},
        {"LF alone after the size", "1\nx\r\n", CHUNK_ECRLF, 1, ""},
        {"CR without LF after the size", "1\rx", CHUNK_ECRLF, 2, ""},
        {"LF in an extension", "1;a\nb", CHUNK_ECRLF, 3, ""},
        {"data without CR LF", "3\r\nabcX\r\n", CHUNK_ECRLF, 6, "abc"},
        {"data with LF alone", "3\r\nabc\n0\r\n\r\n", CHUNK_ECRLF, 6, "abc"},
        {"data with CR alone", "3\r\nabc\r0\r\n\r\n", CHUNK_ECRLF, 7, "abc"},
        {"longer chunk than its size", "2\r\nabc\r\n", CHUNK_ECRLF, 5, "ab"},
        {"trailer line with LF alone", "0\r\nX: a\n\r\n", CHUNK_ECRLF, 7, ""},
        {"empty line with CR alone", "0\r\n\rX", CHUNK_ECRLF, 4, ""},
        {"empty line with LF alone", "0\r\n\n", CHUNK_ECRLF, 3, ""},
        {"control byte in an extension", "1;a\x01" "b\r\nx\r\n", CHUNK_ECTL, 3, ""},
        {"NUL in an extension", std::string("1;a\0b\r\n", 7), CHUNK_ECTL, 3, ""},
        {"DEL in a trailer", "0\r\nX: \x7f\r\n\r\n", CHUNK_ECTL, 6, ""},
        {"control byte first in a trailer", "0\r\n\x1b[2J\r\n\r\n", CHUNK_ECTL, 3, ""},
    };
}

TEST(chunked, malformed_framing_fails_at_its_first_bad_byte_however_it_is_cut)
{
    for (const auto &c : bad_cases()) {
        every_cut(c.wire, [&](const std::string &how, const outcome &o) {
            SCOPED_TRACE(std::string(c.name) + ", " + how);
            EXPECT_EQ(o.result, c.result);
            EXPECT_EQ(o.at, c.at);
            EXPECT_EQ(o.payload, c.payload);
            EXPECT_TRUE(o.moved_ok);
        });
    }
}

TEST(chunked, payload_without_framing_before_it_stays_in_place)
{
    // A read that starts inside a chunk's payload is the payload: nothing
    // moves until framing comes; the payload after a size line moves down
    // over the framing only.
    chunk_dec d;
    chunk_init(&d);
    std::string first = "10\r\n0123";
    size_t pld = 0;
    ASSERT_EQ(chunk_decode(&d, reinterpret_cast<uint8_t *>(first.data()), first.size(), &pld),
              CHUNK_MORE);
    EXPECT_EQ(first.substr(0, pld), "0123");
    EXPECT_EQ(first.substr(pld), "0123");  // the old bytes behind the payload
    std::string second = "456789abcdef\r\n2\r\nxy";
    const std::string same = second;
    ASSERT_EQ(chunk_decode(&d, reinterpret_cast<uint8_t *>(second.data()), 12, &pld), CHUNK_MORE);
    EXPECT_EQ(pld, 12u);
    EXPECT_EQ(second, same);
    ASSERT_EQ(chunk_decode(&d, reinterpret_cast<uint8_t *>(second.data()) + 12, second.size() - 12,
                           &pld),
              CHUNK_MORE);
    EXPECT_EQ(second.substr(12, pld), "xy");
    EXPECT_EQ(d.at, first.size() + second.size());
}

TEST(chunked, failure_names)
{
    const std::pair<int, const char *> names[] = {
        {CHUNK_EHEX, "bad chunk size"},       {CHUNK_ESIZE, "chunk size overflow"},
        {CHUNK_ELINE, "framing line too long"}, {CHUNK_ECRLF, "missing CR LF"},
        {CHUNK_ECTL, "control byte in framing"}, {CHUNK_MORE, "?"},
        {CHUNK_END, "?"},                     {-6, "?"},
    };
    for (const auto &[rc, text] : names) EXPECT_STREQ(chunk_strerror(rc), text) << rc;
}

TEST(chunked, answer_heads_that_frame_the_body_in_chunks)
{
    const std::string st = "HTTP/1.1 200 OK\r\n";
    const struct {
        std::string head;
        bool chunked;
    } cases[] = {
        {st + "Transfer-Encoding: chunked", true},
        {st + "Server: x\r\ntransfer-encoding: CHUNKED\r\nContent-Type: video/mp2t", true},
        {st + "Transfer-Encoding:chunked", true},
        {st + "Transfer-Encoding: \t chunked \t", true},
        {st + "Transfer-Encoding: gzip, chunked", true},
        {st + "Transfer-Encoding: chunked , ,", true},
        {st + "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked", true},
        {st + "Transfer-Encoding: chunked\r\nTransfer-Encoding: ", true},
        {st + "Content-Length: 5\r\nTransfer-Encoding: chunked", true},
        {"HTTP/1.0 200 OK\nTransfer-Encoding: chunked\n", true},
        {st + "Transfer-Encoding: chunked, gzip", false},
        {st + "Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip", false},
        {st + "Transfer-Encoding: identity", false},
        {st + "Transfer-Encoding: chunkedx", false},
        {st + "Transfer-Encoding : chunked", false},
        {st + "X-Transfer-Encoding: chunked", false},
        {st + "Content-Type: text/chunked", false},
        {st + "Content-Length: 100", false},
        {"HTTP/1.1 200 Transfer-Encoding: chunked", false},
        {"", false},
        {st + std::string("X: 1\0Transfer-Encoding: chunked", 31), false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(chunk_in_head(c.head.c_str(), c.head.size()), c.chunked) << c.head;
    // Only the first len bytes count.
    const std::string h = st + "Transfer-Encoding: chunked";
    EXPECT_FALSE(chunk_in_head(h.c_str(), h.size() - 1));
    EXPECT_FALSE(chunk_in_head(h.c_str(), st.size()));
}

}  // namespace
