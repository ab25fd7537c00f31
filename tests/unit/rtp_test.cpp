#include "rtp.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "support.h"

using ::testing::HasSubstr;

namespace {

using bytes = std::vector<uint8_t>;

struct rtp_shape {
    unsigned version = 2;
    unsigned ptype = 33;
    unsigned csrcs = 0;
    int ext_words = -1;  // -1: no extension
    size_t payload = 188;
    uint8_t first = 0x47;  // first payload byte
};

// An RTP packet: header, CSRC entries of 0xff bytes (so that an extension
// length read from the wrong place is huge), extension, payload.
bytes rtp_packet(const rtp_shape &s)
{
    bytes b(RTP_HDR_SIZE, 0);
    b[0] = uint8_t(s.version << 6 | (s.ext_words >= 0 ? 0x10 : 0) | s.csrcs);
    b[1] = uint8_t(s.ptype);
    b.insert(b.end(), CSRC_SIZE * s.csrcs, 0xff);
    if (s.ext_words >= 0) {
        b.insert(b.end(), {0xbe, 0xde, uint8_t(s.ext_words >> 8), uint8_t(s.ext_words)});
        b.insert(b.end(), XTSIZE * size_t(s.ext_words), 0x11);
    }
    if (s.payload) {
        b.push_back(s.first);
        b.insert(b.end(), s.payload - 1, 0x22);
    }
    return b;
}

// A heap copy of exactly n bytes, so that the sanitizer build catches a
// read past the length given.
std::unique_ptr<uint8_t[]> exact(const bytes &b, size_t n)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
    std::copy(b.begin(), b.begin() + ssize_t(std::min(n, b.size())), p.get());
    return p;
}

TEST(rtp, header_len_counts_csrcs_mpeg_header_and_extension)
{
    struct {
        const char *name;
        rtp_shape shape;
        size_t len;  // 0: the whole packet
        ssize_t expect;
        const char *log;
    } cases[] = {
        {"plain", {}, 0, 12, ""},
        {"two csrcs", {.csrcs = 2}, 0, 20, ""},
        {"mpeg video", {.ptype = 32}, 0, 16, ""},
        {"mpeg audio", {.ptype = 14}, 0, 16, ""},
        {"extension", {.ext_words = 1}, 0, 20, ""},
        {"empty extension", {.ext_words = 0}, 0, 16, ""},
        // The extension lies behind the CSRC entries; read at byte 14 its
        // length would be 0xffff words.
        {"csrcs and extension", {.csrcs = 2, .ext_words = 3}, 0, 36, ""},
        {"fifteen csrcs and extension", {.csrcs = 15, .ext_words = 2}, 0, 84, ""},
        {"too short", {}, 11, -12, "insufficient length (11) for RTP header"},
        {"empty", {}, 0xffff, -12, "insufficient length (0) for RTP header"},
        {"extension cut", {.csrcs = 2, .ext_words = 3, .payload = 0}, 25, -12,
         "insufficient length (25) for extended header"},
        {"extension past the end", {.ext_words = 100, .payload = 0}, 40, -12,
         "header of 416 bytes exceeds packet length 40"},
    };
    for (const auto &c : cases) {
        const bytes pkt = rtp_packet(c.shape);
        const size_t len = c.len == 0xffff ? 0 : c.len ? c.len : pkt.size();
        auto p = exact(pkt, len);
        LogCapture cap;
        EXPECT_EQ(rtp_header_len(p.get(), len), c.expect) << c.name;
        if (*c.log)
            EXPECT_THAT(cap.text(), HasSubstr(c.log)) << c.name;
        else
            EXPECT_EQ(cap.text(), "") << c.name;
    }
}

TEST(rtp, footer_len_is_the_last_byte_with_the_padding_bit)
{
    bytes pkt = rtp_packet({});
    pkt.back() = 4;
    auto p = exact(pkt, pkt.size());
    EXPECT_EQ(rtp_footer_len(p.get(), pkt.size()), 0);
    p[0] |= 0x20;
    EXPECT_EQ(rtp_footer_len(p.get(), pkt.size()), 4);
    EXPECT_EQ(rtp_footer_len(p.get(), 0), 0);
    EXPECT_EQ(rtp_footer_len(nullptr, 0), 0);
}

TEST(rtp, only_plain_ts_packets_are_recognised)
{
    struct {
        const char *name;
        rtp_shape shape;
        size_t len;  // 0: the whole packet
        bool expect;
        const char *log;
    } cases[] = {
        {"ts after 12 bytes", {}, 0, true, ""},
        {"shortest", {}, 13, true, ""},
        {"header only", {}, 12, false, "12 bytes are too short for TS inside RTP"},
        {"version 1", {.version = 1}, 0, false, "wrong RTP version: expected 0x2, got 0x1"},
        {"dynamic type", {.ptype = 96}, 0, false, "wrong payload type: 0x60"},
        {"mpeg video", {.ptype = 32}, 0, false, "invalid RTP header length: 16"},
        {"csrcs", {.csrcs = 1}, 0, false, "invalid RTP header length: 16"},
        {"extension", {.ext_words = 2}, 0, false, "invalid RTP header length: 24"},
        {"not ts", {.first = 0x00}, 0, false,
         "non-TS content inside (allegedly) RTP container (0x80)"},
    };
    for (const auto &c : cases) {
        const bytes pkt = rtp_packet(c.shape);
        const size_t len = c.len ? c.len : pkt.size();
        auto p = exact(pkt, len);
        LogCapture cap;
        EXPECT_EQ(is_rtp_pkt(p.get(), len), c.expect) << c.name;
        if (*c.log)
            EXPECT_THAT(cap.text(), HasSubstr(c.log)) << c.name;
        else
            EXPECT_EQ(cap.text(), "") << c.name;
    }
    EXPECT_FALSE(is_rtp_pkt(nullptr, 0));
}

}  // namespace
