#include "dstream.h"

#include <bitstream/mpeg/ts.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log.h"
#include "rtp.h"
#include "support.h"

using ::testing::HasSubstr;

namespace {

using bytes = std::vector<uint8_t>;

// npkts packets of pkt_len bytes on PID 0x100, payload only, whose bytes
// after the header never hold a sync byte.
bytes ts_stream(size_t pkt_len, size_t npkts)
{
    bytes b(pkt_len * npkts);
    for (size_t i = 0; i < npkts; ++i) {
        uint8_t *p = &b[i * pkt_len];
        ts_init(p);
        ts_set_pid(p, 0x100);
        ts_set_payload(p);
        ts_set_cc(p, uint8_t(i));
        for (size_t k = 4; k < pkt_len; ++k) p[k] = uint8_t(0x30 + k % 16);
    }
    return b;
}

void put_pat(uint8_t *p)
{
    ts_set_pid(p, 0);
    ts_set_unitstart(p);
    p[4] = 0;     // pointer field
    p[5] = 0;     // table id
    p[6] = 0xb0;  // section syntax, length high bits 0
    p[7] = 13;
    p[10] = 0xc1;  // version 0, current
}

void put_pcr(uint8_t *p, uint64_t base)
{
    ts_set_adaptation(p, 7);
    tsaf_set_pcr(p, base);
}

// A video PES start in the payload after an adaptation field with the
// random-access and PCR flags.
void put_video_iframe(uint8_t *p)
{
    ts_set_unitstart(p);
    ts_set_payload(p);
    put_pcr(p, 1234);
    tsaf_set_randomaccess(p);
    uint8_t *pl = p + 5 + 7;
    const uint8_t pes[] = {0, 0, 1, 0xE0};
    memcpy(pl, pes, sizeof(pes));
}

// A packet starting a video PES whose payload holds a sequence header and
// a picture header of coding type ctype.
bytes mpeg2_picture_pkt(unsigned ctype, size_t pic_at = 40)
{
    bytes b = ts_stream(188, 1);
    uint8_t *p = b.data();
    ts_set_unitstart(p);
    uint8_t *pl = p + 4;
    const uint8_t pes[] = {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0};
    memcpy(pl, pes, sizeof(pes));
    const uint8_t seq[] = {0, 0, 1, 0xB3};
    memcpy(pl + 20, seq, sizeof(seq));
    const uint8_t pic[] = {0, 0, 1, 0x00, 0x12, uint8_t(ctype << 3 | 0x04), 0xff};
    memcpy(pl + pic_at, pic, std::min(sizeof(pic), size_t(184 - pic_at)));
    return b;
}

std::unique_ptr<uint8_t[]> exact(const bytes &b, size_t n)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
    std::copy(b.begin(), b.begin() + ssize_t(std::min(n, b.size())), p.get());
    return p;
}

bytes rtp_wrap(const bytes &payload, uint8_t b0 = 0x80)
{
    bytes b = {b0, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

TEST(dstream, probe_tells_ts_from_raw_and_counts_packets)
{
    bytes trunc = ts_stream(188, 7);
    trunc.resize(1306);
    bytes broken = ts_stream(188, 7);
    broken[3 * 188] = 0x48;
    struct {
        const char *name;
        bytes buf;
        uint32_t type;
        ssize_t plen;
        size_t count;
    } cases[] = {
        {"188", ts_stream(188, 7), STY_MPEGTS, 188, 7},
        {"192", ts_stream(192, 5), STY_MPEGTS, 192, 5},
        {"204", ts_stream(204, 6), STY_MPEGTS, 204, 6},
        {"208", ts_stream(208, 3), STY_MPEGTS, 208, 3},
        {"one packet", ts_stream(188, 1), STY_MPEGTS, 188, 1},
        {"raw", bytes(1316, 0x55), STY_RAW, 1316, 1},
        {"truncated ts", trunc, STY_RAW, 1306, 1},
        {"lost sync", broken, STY_RAW, 1316, 1},
        {"short", bytes{0x47, 1, 2}, STY_RAW, 3, 1},
        {"rtp carrying ts", rtp_wrap(ts_stream(188, 7)), STY_RAW, 1328, 1},
        {"empty", bytes{}, STY_RAW, 0, 1},
    };
    for (const auto &c : cases) {
        auto p = exact(c.buf, c.buf.size());
        ssize_t plen = 0;
        size_t count = 99;
        EXPECT_EQ(probe_segment(p.get(), c.buf.size(), 0, &plen, &count, nullptr), c.type)
            << c.name;
        EXPECT_EQ(plen, c.plen) << c.name;
        EXPECT_EQ(count, c.count) << c.name;
        // Null outputs are allowed.
        EXPECT_EQ(probe_segment(p.get(), c.buf.size(), 0, nullptr, nullptr, nullptr), c.type);
    }
}

TEST(dstream, probe_with_type_and_length_counts_nothing_and_switches_are_logged)
{
    const bytes raw(1316, 0x55);
    auto p = exact(raw, raw.size());
    LogCapture cap;
    ssize_t plen = 188;
    size_t count = 42;
    EXPECT_EQ(probe_segment(p.get(), raw.size(), STY_MPEGTS, &plen, &count, nullptr), STY_MPEGTS);
    EXPECT_EQ(plen, 188);
    EXPECT_EQ(count, 42u);
    EXPECT_EQ(cap.text(), "");

    plen = 0;
    EXPECT_EQ(probe_segment(p.get(), raw.size(), STY_MPEGTS, &plen, &count, nullptr), STY_RAW);
    EXPECT_THAT(cap.text(), HasSubstr("probe_segment: stream type switch: [TS]->[RAW]\n"));
    cap.clear();

    // Becoming TS is no switch worth a line.
    const bytes ts = ts_stream(188, 2);
    auto q = exact(ts, ts.size());
    plen = 0;
    EXPECT_EQ(probe_segment(q.get(), ts.size(), STY_RAW, &plen, &count, nullptr), STY_MPEGTS);
    EXPECT_EQ(cap.text(), "");
}

TEST(dstream, searches_find_the_first_pat_pcr_and_iframe)
{
    for (size_t pkt_len : {188, 192, 204, 208}) {
        bytes b = ts_stream(pkt_len, 6);
        put_pat(&b[1 * pkt_len]);
        put_pcr(&b[2 * pkt_len], 0x1abcdef01ull);
        put_video_iframe(&b[3 * pkt_len]);
        put_pat(&b[5 * pkt_len]);
        auto p = exact(b, b.size());

        sseg_ctx s{1, 0, 7, 1};
        EXPECT_EQ(probe_segment(p.get(), b.size(), 0, nullptr, nullptr, &s), STY_MPEGTS);
        EXPECT_EQ(s.pat_idx, 2u) << pkt_len;
        EXPECT_EQ(s.iframe_idx, 4u) << pkt_len;
        EXPECT_EQ(s.pcr_idx, 0u) << pkt_len;
        EXPECT_EQ(s.pcr, 7u) << pkt_len;

        // The I-frame packet carries a PCR too, after the first one.
        s = sseg_ctx{0, 1, 0, 0};
        ssize_t plen = ssize_t(pkt_len);
        EXPECT_EQ(probe_segment(p.get(), b.size(), STY_MPEGTS, &plen, nullptr, &s), STY_MPEGTS);
        EXPECT_EQ(s.pcr_idx, 3u);
        EXPECT_EQ(s.pcr, 0x1abcdef01ull);
        EXPECT_EQ(s.pat_idx, 0u);
    }
}

TEST(dstream, searches_stay_on_whole_packets_and_skip_raw_data)
{
    // A PAT that starts 188 bytes before the end but is cut short is not
    // read: only whole packets inside the buffer are walked.
    bytes b = ts_stream(188, 2);
    put_pat(&b[188]);
    b.resize(300);
    auto p = exact(b, b.size());
    sseg_ctx s{1, 1, 0, 1};
    ssize_t plen = 188;
    EXPECT_EQ(probe_segment(p.get(), b.size(), STY_MPEGTS, &plen, nullptr, &s), STY_MPEGTS);
    EXPECT_EQ(s.pat_idx, 0u);
    // A caller's packet length longer than the buffer walks the first
    // packet only.
    plen = 4096;
    s = sseg_ctx{1, 1, 0, 1};
    probe_segment(p.get(), b.size(), STY_MPEGTS, &plen, nullptr, &s);
    EXPECT_EQ(s.pat_idx, 0u);

    const bytes raw(500, 0x47);
    auto r = exact(raw, raw.size());
    LogCapture cap;
    s = sseg_ctx{1, 0, 0, 0};
    plen = 0;
    EXPECT_EQ(probe_segment(r.get(), 499, 0, &plen, nullptr, &s), STY_RAW);
    EXPECT_EQ(s.pat_idx, 0u);
    EXPECT_THAT(cap.text(), HasSubstr("probe_segment: no processing for [RAW] stream supported\n"));
}

TEST(dstream, packet_tests)
{
    auto pkt = [] { return ts_stream(188, 1); };
    bytes pat = pkt();
    put_pat(pat.data());
    bytes pat_pid1 = pat;
    ts_set_pid(pat_pid1.data(), 1);
    bytes pat_next = pat;
    pat_next[10] = 0xc0;
    bytes pcr = pkt();
    put_pcr(pcr.data(), 99);
    // A PCR flag in a field too short to hold the clock.
    bytes pcr_short = pkt();
    ts_set_adaptation(pcr_short.data(), 1);
    pcr_short[5] = 0x10;
    bytes ifr = pkt();
    put_video_iframe(ifr.data());
    bytes ifr_audio = ifr;
    ifr_audio[12 + 3] = 0xC0;
    bytes ifr_no_ra = ifr;
    ifr_no_ra[5] &= uint8_t(~0x40);

    struct {
        const char *name;
        const bytes &b;
        bool pat, pcr, iframe, video_iframe;
    } cases[] = {
        {"pat", pat, true, false, false, false},
        {"pat on pid 1", pat_pid1, false, false, false, false},
        {"pat not current", pat_next, false, false, false, false},
        {"pcr", pcr, false, true, false, false},
        {"pcr flag in 1-byte field", pcr_short, false, false, false, false},
        {"video i-frame", ifr, false, true, true, true},
        {"audio i-frame", ifr_audio, false, true, true, false},
        {"no random access", ifr_no_ra, false, true, false, false},
    };
    for (const auto &c : cases) {
        auto p = exact(c.b, 188);
        EXPECT_EQ(ts_has_pat(p.get()), c.pat) << c.name;
        EXPECT_EQ(ts_has_pcr(p.get()), c.pcr) << c.name;
        EXPECT_EQ(ts_has_iframe(p.get()), c.iframe) << c.name;
        EXPECT_EQ(ts_has_video_iframe(p.get()), c.video_iframe) << c.name;
        EXPECT_EQ(has_iframe(p.get()), c.video_iframe) << c.name;
    }
}

TEST(dstream, payload_lies_inside_the_packet)
{
    struct {
        int af_len;  // -1: no adaptation field
        bool payload_flag;
        ssize_t at;  // -1: none
    } cases[] = {
        {-1, true, 4}, {-1, false, -1}, {0, true, 5},   {7, true, 12},
        {182, true, 187}, {183, true, -1}, {255, true, -1}, {7, false, -1},
    };
    for (const auto &c : cases) {
        bytes b = ts_stream(188, 1);
        b[3] = c.payload_flag ? 0x10 : 0x00;
        if (c.af_len >= 0) {
            b[3] |= 0x20;
            b[4] = uint8_t(c.af_len);
        }
        auto p = exact(b, 188);
        const uint8_t *pl = ts_get_payload(p.get());
        EXPECT_EQ(pl ? pl - p.get() : -1, c.at) << c.af_len << "/" << c.payload_flag;
    }
}

TEST(dstream, mpeg2_picture_types)
{
    struct {
        unsigned ctype;
        int expect;
    } cases[] = {{1, 'I'}, {2, 'P'}, {3, 'B'}, {4, 'D'}, {0, 'x'}, {7, 'x'}};
    for (const auto &c : cases) {
        const bytes b = mpeg2_picture_pkt(c.ctype);
        auto p = exact(b, 188);
        EXPECT_EQ(pes_mpeg2_pic(p.get()), c.expect) << c.ctype;
        EXPECT_EQ(has_iframe(p.get()), c.expect == 'I') << c.ctype;
    }

    // The picture header must end inside the packet: a start code whose
    // coding type would lie past the end is not read.
    auto end_case = [](size_t at) {
        const bytes b = mpeg2_picture_pkt(1, at);
        auto p = exact(b, 188);
        return pes_mpeg2_pic(p.get());
    };
    EXPECT_EQ(end_case(184 - 7), 'I');
    EXPECT_EQ(end_case(184 - 6), -1);
    EXPECT_EQ(end_case(184 - 4), -1);

    bytes no_seq = mpeg2_picture_pkt(1);
    no_seq[4 + 20 + 3] = 0xB2;
    bytes not_video = mpeg2_picture_pkt(1);
    not_video[4 + 3] = 0xC0;
    bytes no_start = mpeg2_picture_pkt(1);
    no_start[1] &= uint8_t(~0x40);
    for (const bytes *b : {&no_seq, &not_video, &no_start}) {
        auto p = exact(*b, 188);
        EXPECT_EQ(pes_mpeg2_pic(p.get()), -1);
    }
}

TEST(dstream, pes_start_codes)
{
    const uint8_t buf[] = {9, 0, 0, 1, 0xE0, 7, 0, 0, 1, 0xB3, 5};
    const uint8_t *end = buf + sizeof(buf);
    EXPECT_EQ(pes_find_stream_id(buf, end, 0xE0), 1);
    // Position 6 is before end - 4 (7): found; with one byte less it is not.
    EXPECT_EQ(pes_find_stream_id(buf, end, 0xB3), 6);
    EXPECT_EQ(pes_find_stream_id(buf, end - 1, 0xB3), -1);
    EXPECT_EQ(pes_find_stream_id(buf, end, 0xBA), -1);
    EXPECT_EQ(pes_find_stream_id(buf + 1, buf + 5, 0xE0), -1);
    EXPECT_EQ(pes_find_stream_id(buf, buf, 0xE0), -1);

    EXPECT_TRUE(is_pes_video(buf + 1, 4));
    EXPECT_FALSE(is_pes_video(buf + 1, 3));
    EXPECT_FALSE(is_pes_video(buf + 6, 4));
}

TEST(dstream, xtract_strips_plain_rtp_headers)
{
    bytes padded = rtp_wrap(ts_stream(188, 7), 0xa0);
    padded.insert(padded.end(), {0, 0, 0, 4});
    bytes bad_pad = rtp_wrap(ts_stream(188, 1), 0xa0);
    bad_pad.back() = 200;
    bytes csrc = {0x81, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9, 1, 2, 3, 4};
    const bytes ts1 = ts_stream(188, 1);
    csrc.insert(csrc.end(), ts1.begin(), ts1.end());
    struct {
        const char *name;
        bytes buf;
        uint32_t hints;
        int rc;
        uint32_t type;
        size_t outlen;  // 0: untouched
        const char *log;
    } cases[] = {
        {"ts", ts_stream(188, 7), 0, 0, STY_MPEGTS, 0, ""},
        {"raw", bytes(1316, 0x12), 0, 0, STY_RAW, 0, "wrong RTP version"},
        {"empty", bytes{}, 0, 0, STY_RAW, 0, ""},
        {"rtp 7 packets", rtp_wrap(ts_stream(188, 7)), 0, 0, STY_RTP, 1316, ""},
        {"rtp 1 packet", rtp_wrap(ts_stream(188, 1)), 0, 0, STY_RTP, 188, ""},
        {"rtp short payload", rtp_wrap(bytes(100, 0x47)), 0, -1, 0, 0,
         "not enough payload (for TS) inside RTP packet: 100 bytes"},
        {"rtp padding", padded, 0, 0, STY_RTP, 1316, ""},
        {"rtp padding too long", bad_pad, 0, -1, 0, 0, "invalid RTP footer length: 200"},
        {"rtp with csrc", csrc, 0, 0, STY_RAW, 0, "invalid RTP header length: 16"},
        {"rtp header only", rtp_wrap(bytes{}), 0, 0, STY_RAW, 0, "too short"},
        {"no rtp hint", rtp_wrap(ts_stream(188, 1)), XF_NO_RTP, 0, STY_RAW, 0, ""},
    };
    for (const auto &c : cases) {
        auto p = exact(c.buf, c.buf.size());
        size_t outlen = 0;
        uint32_t type = 0;
        LogCapture cap;
        EXPECT_EQ(xtract_ts_payload(p.get(), c.buf.size(), &outlen, &type, c.hints), c.rc)
            << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(outlen, c.outlen) << c.name;
        if (*c.log)
            EXPECT_THAT(cap.text(), HasSubstr(c.log)) << c.name;
        else
            EXPECT_EQ(cap.text(), "") << c.name;
        if (c.type == STY_RTP) {
            EXPECT_EQ(0, memcmp(p.get(), c.buf.data() + RTP_HDR_SIZE, c.outlen)) << c.name;
        } else if (c.buf.size()) {
            EXPECT_EQ(0, memcmp(p.get(), c.buf.data(), c.buf.size())) << c.name;
        }
    }
}

}  // namespace
