// Stream and RTP probes over TS of every packet length, RTP-carried TS
// (CSRCs, extension, padding), raw and truncated buffers, each a heap copy
// of exactly its length so that the sanitizer build catches overreads.
#include "dstream.h"

#include <bitstream/mpeg/ts.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "log.h"
#include "rtp.h"
#include "support.h"

namespace {

using bytes = std::vector<uint8_t>;

std::unique_ptr<uint8_t[]> copy(const bytes &b, size_t n)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[n + 1]);
    std::copy(b.begin(), b.begin() + ssize_t(std::min(n, b.size())), p.get());
    return p;
}

// n packets of len bytes, payload only, no sync byte inside; with marks, a
// PAT at packet 2 and a video I-frame with a PCR at packet 4.
bytes ts(size_t len, size_t n, bool marks = false)
{
    bytes b(len * n, 0x33);
    for (size_t i = 0; i < len * n; i += len) {
        ts_init(&b[i]);
        ts_set_pid(&b[i], 0x100);
        ts_set_payload(&b[i]);
    }
    if (!marks) return b;
    uint8_t *pat = &b[len], *ifr = &b[3 * len];
    ts_init(pat);
    ts_set_unitstart(pat);
    pat[3] = 0x10, pat[4] = pat[5] = 0, pat[6] = 0xb0, pat[10] = 0xc1;
    ts_set_unitstart(ifr);
    ts_set_adaptation(ifr, 7);
    tsaf_set_pcr(ifr, 0x1abcdef01ull);
    tsaf_set_randomaccess(ifr);
    memcpy(ifr + 12, "\0\0\1\xe0", 4);
    return b;
}

// RTP header (b0: version, padding, extension, CSRC count), extra header
// bytes, payload, pad bytes of value pad.
bytes rtp(const bytes &payload, uint8_t b0 = 0x80, uint8_t pt = 33, const bytes &extra = {},
          size_t pad = 0)
{
    bytes b = {b0, pt, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9};
    b.insert(b.end(), extra.begin(), extra.end());
    b.insert(b.end(), payload.begin(), payload.end());
    b.insert(b.end(), pad, uint8_t(pad));
    return b;
}

TEST(dstream, probes_over_ts_rtp_and_raw_buffers)
{
    const bytes one = ts(188, 1), seven = ts(188, 7), ff(8, 0xff), ext = {0xbe, 0xde, 0, 1, 1, 2, 3, 4};
    bytes cut = seven, bad_pad = rtp(one, 0xa0), csrc_ext = ff, ext_cut = rtp({}, 0x90, 33, ext);
    cut.resize(1306);
    bad_pad.back() = 200;  // more padding than payload
    csrc_ext.insert(csrc_ext.end(), {0xbe, 0xde, 0, 3});  // read at byte 14: 0xffff words
    csrc_ext.resize(csrc_ext.size() + 12);
    ext_cut.pop_back();  // one byte short of what the extension announces
    const bytes ext_cut2 = rtp({}, 0x92, 33, csrc_ext);
    const struct {
        bytes buf;
        uint32_t type;  // probe_segment: type, packet length, count, PAT/I-frame/PCR found
        ssize_t plen;
        size_t count;
        uint32_t marks;  // 1: at packets 2, 4 and 4
        ssize_t hlen;    // rtp_header_len (0: not checked) and is_rtp_pkt
        bool is_rtp;
        int xrc;  // xtract_ts_payload: result, type, payload length
        uint32_t xtype;
        size_t xlen;
    } cases[] = {
        {ts(188, 5, true), STY_MPEGTS, 188, 5, 1, 0, false, 0, STY_MPEGTS, 0},
        {ts(192, 5, true), STY_MPEGTS, 192, 5, 1, 0, false, 0, STY_MPEGTS, 0},
        {ts(204, 5, true), STY_MPEGTS, 204, 5, 1, 0, false, 0, STY_MPEGTS, 0},
        {ts(208, 5, true), STY_MPEGTS, 208, 5, 1, 0, false, 0, STY_MPEGTS, 0},
        {cut, STY_RAW, 1306, 1, 0, 0, false, 0, STY_MPEGTS, 0},
        {bytes(1316, 0x55), STY_RAW, 1316, 1, 0, 0, false, 0, STY_RAW, 0},
        {bytes{}, STY_RAW, 0, 1, 0, -12, false, 0, STY_RAW, 0},
        {rtp(seven), STY_RAW, 1328, 1, 0, 12, true, 0, STY_RTP, 1316},
        {rtp(one), STY_RAW, 200, 1, 0, 12, true, 0, STY_RTP, 188},
        {rtp(seven, 0xa0, 33, {}, 4), STY_RAW, 1332, 1, 0, 12, true, 0, STY_RTP, 1316},
        {bad_pad, STY_RAW, 200, 1, 0, 12, true, -1, 0, 0},
        {rtp(bytes(100, 0x47)), STY_RAW, 112, 1, 0, 12, true, -1, 0, 0},
        {rtp({}), STY_RAW, 12, 1, 0, 12, false, 0, STY_RAW, 0},
        {bytes(11, 0x80), STY_RAW, 11, 1, 0, -12, false, 0, STY_RAW, 0},
        {rtp(one, 0x82, 33, ff), STY_RAW, 208, 1, 0, 20, false, 0, STY_RAW, 0},
        {rtp(one, 0x90, 33, ext), STY_RAW, 208, 1, 0, 20, false, 0, STY_RAW, 0},
        {rtp(one, 0x92, 33, csrc_ext), STY_RAW, 224, 1, 0, 36, false, 0, STY_RAW, 0},
        {ext_cut2, STY_RAW, 36, 1, 0, 36, false, 0, STY_RAW, 0},
        {bytes(ext_cut2.begin(), ext_cut2.begin() + 25), STY_RAW, 25, 1, 0, -12, false, 0, STY_RAW, 0},
        {ext_cut, STY_RAW, 19, 1, 0, -12, false, 0, STY_RAW, 0},
        {rtp(one, 0x80, 32), STY_RAW, 200, 1, 0, 16, false, 0, STY_RAW, 0},
        {rtp(one, 0x40), STY_RAW, 200, 1, 0, 12, false, 0, STY_RAW, 0},
        {rtp(one, 0x80, 96), STY_RAW, 200, 1, 0, 12, false, 0, STY_RAW, 0},
    };
    for (const auto &c : cases) {
        const size_t n = c.buf.size();
        auto p = copy(c.buf, n);
        ssize_t plen = 0;
        size_t count = 0, xlen = 0;
        sseg_ctx s{1, 1, 0, 1};
        EXPECT_EQ(probe_segment(p.get(), n, 0, &plen, &count, &s), c.type) << n;
        EXPECT_TRUE(plen == c.plen && count == c.count) << n;
        EXPECT_TRUE(s.pat_idx == 2 * c.marks && s.iframe_idx == 4 * c.marks) << n;
        EXPECT_TRUE(s.pcr_idx == 4 * c.marks && s.pcr == c.marks * 0x1abcdef01ull) << n;
        EXPECT_EQ(c.hlen ? rtp_header_len(p.get(), n) : 0, c.hlen) << n;
        EXPECT_EQ(is_rtp_pkt(p.get(), n), c.is_rtp) << n;
        uint32_t xtype = 0;
        EXPECT_EQ(xtract_ts_payload(p.get(), n, &xlen, &xtype, 0), c.xrc) << n;
        EXPECT_TRUE(xtype == c.xtype && xlen == c.xlen) << n;
        const uint8_t *expect = c.buf.data() + (c.xlen ? RTP_HDR_SIZE : 0);
        EXPECT_TRUE(n == 0 || memcmp(p.get(), expect, c.xlen ? c.xlen : n) == 0) << n;
    }
    bytes plain = rtp(one);
    uint32_t xtype = 0;
    EXPECT_EQ(xtract_ts_payload(plain.data(), plain.size(), nullptr, &xtype, XF_NO_RTP), 0);
    EXPECT_EQ(xtype, STY_RAW);
    // A search not asked for finds nothing; a type switch is logged.
    LogCapture cap;
    sseg_ctx s{1, 0, 7, 0};
    ssize_t plen = 0;
    EXPECT_EQ(probe_segment(cases[0].buf.data(), 5 * 188, STY_RAW, &plen, nullptr, &s), STY_MPEGTS);
    EXPECT_TRUE(s.pat_idx == 2 && s.pcr_idx == 0 && s.pcr == 7);
    plen = 0;
    EXPECT_EQ(probe_segment("raw", 3, STY_MPEGTS, &plen, nullptr, nullptr), STY_RAW);
    EXPECT_THAT(cap.text(), testing::HasSubstr("probe_segment: stream type switch: [TS]->[RAW]\n"));
    // A negative length is no length: the buffer is probed whatever the type.
    for (const uint32_t type : {STY_MPEGTS, STY_RAW}) {
        plen = -1;
        size_t count = 0;
        EXPECT_EQ(probe_segment(cases[0].buf.data(), 5 * 188, type, &plen, &count, nullptr),
                  STY_MPEGTS);
        EXPECT_TRUE(plen == 188 && count == 5) << type;
    }
}

TEST(dstream, packet_tests_stay_inside_the_packet)
{
    // Adaptation length (-1: none), payload flag, payload offset (-1: none).
    const int af[][3] = {{-1, 1, 4}, {-1, 0, -1}, {0, 1, 5}, {7, 1, 12},
                         {182, 1, 187}, {183, 1, -1}, {255, 1, -1}};
    for (const auto &c : af) {
        bytes b = ts(188, 1);
        b[3] = uint8_t((c[1] ? 0x10 : 0) | (c[0] >= 0 ? 0x20 : 0));
        b[4] = uint8_t(c[0]);
        b[5] = 0x10;  // a PCR flag: only a field of 7 bytes or more holds the clock
        auto p = copy(b, 188);
        const uint8_t *pl = ts_get_payload(p.get());
        EXPECT_EQ(pl ? pl - p.get() : -1, c[2]) << c[0];
        EXPECT_EQ(ts_has_pcr(p.get()), c[0] >= 7) << c[0];
    }
    // A video PES with a sequence header and a picture header at `at`.
    auto picture = [](unsigned ctype, size_t at) {
        bytes b = ts(188, 1);
        ts_set_unitstart(&b[0]);
        memcpy(&b[4], "\0\0\1\xe0", 4);
        memcpy(&b[24], "\0\0\1\xb3", 4);
        const uint8_t pic[] = {0, 0, 1, 0, 0x12, uint8_t(ctype << 3 | 4), 0xff};
        memcpy(&b[at], pic, std::min(sizeof(pic), 188 - at));
        return pes_mpeg2_pic(copy(b, 188).get());
    };
    for (unsigned t = 0; t < 8; ++t) EXPECT_EQ(picture(t, 50), "xIPBDxxx"[t]) << t;
    EXPECT_EQ(picture(1, 181), 'I');
    EXPECT_EQ(picture(1, 182), -1);  // its coding type would pass the end
    const uint8_t buf[] = {9, 0, 0, 1, 0xB3, 5};
    EXPECT_EQ(pes_find_stream_id(buf, buf + 6, 0xB3), 1);
    EXPECT_EQ(pes_find_stream_id(buf, buf + 5, 0xB3), -1);  // must start before eod - 4
}

}  // namespace
