#include "dstream.h"

#include <bitstream/mpeg/ts.h>

#include <cstring>

#include "log.h"
#include "rtp.h"

LOG_MODULE(LM_STREAM);

namespace {

constexpr uint8_t PES_VIDEO_ID = 0xE0;
constexpr uint8_t SEQ_HEADER_CODE = 0xB3;
constexpr uint8_t PICTURE_CODE = 0x00;
constexpr size_t START_CODE_LEN = 4;  // 00 00 01 and the id
// A PCR needs the flags byte and the six PCR bytes inside the adaptation
// field; a shorter field would hand payload bytes out as a clock.
constexpr uint8_t AF_MIN_LEN_PCR = 7;
constexpr uint8_t AF_MIN_LEN_IFRAME = 5;
// Bytes from a picture start code to the end of its coding type.
constexpr size_t PICTURE_HDR_BYTES = 7;

// A stream type as printable text ("RAW", "TS", ...).
struct sty_text {
    char s[5];
};

sty_text sty_name(uint32_t stype) noexcept
{
    sty_text t{};
    memcpy(t.s, &stype, sizeof(stype));
    return t;
}

bool has_af_and_payload(const uint8_t *pkt) noexcept
{
    return ((pkt[3] >> 4) & 3) == 3;
}

// Walks the whole packets of step bytes within len, numbered from 1, until
// every item asked for is found.
void search_packets(const uint8_t *buf, size_t len, size_t step, bool want_pat, bool want_pcr,
                    bool want_iframe, sseg_ctx *sseg) noexcept
{
    const unsigned long total = len / step;
    uint32_t n = 0;
    for (size_t off = 0; len - off >= TS_PKT_BYTES && n < UINT32_MAX; ++n) {
        const uint8_t *pkt = buf + off;
        if (want_iframe && has_iframe(pkt)) {
            sseg->iframe_idx = n + 1;
            want_iframe = false;
            log_dbg("%s: i-Frame at pkt[%u]/%lu buf=%p, len=%lu\n", "probe_segment", n, total,
                    static_cast<const void *>(buf), len);
        }
        if (want_pat && ts_has_pat(pkt)) {
            sseg->pat_idx = n + 1;
            want_pat = false;
            log_dbg("%s: PAT at pkt[%u]/%lu buf=%p, len=%lu\n", "probe_segment", n, total,
                    static_cast<const void *>(buf), len);
        }
        if (want_pcr && ts_has_pcr(pkt)) {
            sseg->pcr_idx = n + 1;
            sseg->pcr = tsaf_get_pcr(pkt);
            want_pcr = false;
            log_dbg("%s: PCR=%lu at pkt[%u]/%lu buf=%p, len=%lu\n", "probe_segment", sseg->pcr,
                    n, total, static_cast<const void *>(buf), len);
        }
        if (!want_pat && !want_pcr && !want_iframe) break;
        if (step > len - off) break;
        off += step;
    }
}

}  // namespace

uint32_t probe_segment(const void *buf, size_t buflen, uint32_t stype_id, ssize_t *plen,
                       size_t *pcount, sseg_ctx *sseg) noexcept
{
    ssize_t pkt_len = plen ? *plen : 0;
    log_dbg("%s: START buffer len=%lu, pkt_len=%ld\n", __func__, buflen, long(pkt_len));
    uint32_t stype = stype_id;
    size_t count = pcount ? *pcount : 0;
    // A negative length is no length: probe as for 0.
    if (stype_id == 0 || pkt_len <= 0) {
        pkt_len = ts_probe(buf, buflen, true);
        log_dbg("%s: pkt_len after TS probe is %ld\n", __func__, long(pkt_len));
        if (pkt_len < 2) {
            stype = STY_RAW;
            pkt_len = ssize_t(buflen);
            count = 1;
        } else {
            stype = STY_MPEGTS;
            count = buflen / size_t(pkt_len);
        }
        if (plen) *plen = pkt_len;
        if (pcount) *pcount = count;
        if (stype_id != 0 && stype != stype_id && stype != STY_MPEGTS)
            log_warn("%s: stream type switch: [%s]->[%s]\n", __func__, sty_name(stype_id).s,
                     sty_name(stype).s);
    }
    log_dbg("%s: %s len=%lu, count=%lu\n", __func__, sty_name(stype).s, size_t(pkt_len), count);

    if (sseg && (sseg->pat_idx || sseg->pcr_idx || sseg->iframe_idx)) {
        const bool want_pat = sseg->pat_idx, want_pcr = sseg->pcr_idx,
                   want_iframe = sseg->iframe_idx;
        sseg->pat_idx = sseg->pcr_idx = sseg->iframe_idx = 0;
        if (stype == STY_MPEGTS)
            search_packets(static_cast<const uint8_t *>(buf), buflen, size_t(pkt_len), want_pat,
                           want_pcr, want_iframe, sseg);
        else
            log_warn("%s: no processing for [%s] stream supported\n", __func__,
                     sty_name(stype).s);
    }
    return stype;
}

int xtract_ts_payload(void *buf, size_t inlen, size_t *outlen, uint32_t *stype,
                      uint32_t hints) noexcept
{
    auto *p = static_cast<uint8_t *>(buf);
    uint32_t type = STY_RTP;
    if (inlen > 0 && p[0] == MPEG_TS_SYNC) {
        type = STY_MPEGTS;
    } else if ((hints & XF_NO_RTP) || inlen == 0 || !is_rtp_pkt(p, inlen)) {
        type = STY_RAW;
    } else {
        // is_rtp_pkt admits only a plain 12-byte header.
        const size_t room = inlen - RTP_HDR_SIZE;
        const ssize_t padding = rtp_footer_len(p, inlen);
        if (size_t(padding) > room) {
            log_err("%s: invalid RTP footer length: %ld\n", __func__, long(padding));
            return -1;
        }
        const size_t payload = room - size_t(padding);
        if (payload < TS_MIN_PKTSIZE) {
            log_err("%s: not enough payload (for TS) inside RTP packet: %ld bytes\n", __func__,
                    long(payload));
            return -1;
        }
        lfx_assert(outlen != nullptr);
        memmove(p, p + RTP_HDR_SIZE, payload);
        *outlen = payload;
    }
    if (stype) *stype = type;
    return 0;
}

bool ts_has_pat(const uint8_t *pkt) noexcept
{
    // The pointer field (byte 4) is taken as 0: the table starts at byte 5.
    return ts_get_unitstart(pkt) && ts_get_pid(pkt) == 0 && pkt[5] == 0 &&
           (pkt[6] & 0xfc) == 0xb0 && (pkt[10] & 1);
}

bool ts_has_pcr(const uint8_t *pkt) noexcept
{
    return ts_has_adaptation(pkt) && ts_get_adaptation(pkt) >= AF_MIN_LEN_PCR &&
           tsaf_has_pcr(pkt);
}

bool ts_has_iframe(const uint8_t *pkt) noexcept
{
    return has_af_and_payload(pkt) && ts_get_adaptation(pkt) >= AF_MIN_LEN_IFRAME &&
           tsaf_has_randomaccess(pkt) && tsaf_has_pcr(pkt);
}

const uint8_t *ts_get_payload(const uint8_t *pkt) noexcept
{
    if (!ts_has_payload(pkt)) return nullptr;
    const size_t off = ts_has_adaptation(pkt) ? 5 + size_t(ts_get_adaptation(pkt)) : 4;
    // The adaptation length is a byte of the stream: up to 255.
    if (off >= TS_PKT_BYTES) return nullptr;
    return pkt + off;
}

bool ts_has_video_iframe(const uint8_t *pkt) noexcept
{
    if (!ts_has_iframe(pkt) || !ts_get_unitstart(pkt)) return false;
    const uint8_t *payload = ts_get_payload(pkt);
    return payload && is_pes_video(payload, size_t(pkt + TS_PKT_BYTES - payload));
}

bool has_iframe(const uint8_t *pkt) noexcept
{
    return ts_has_video_iframe(pkt) || pes_mpeg2_pic(pkt) == 'I';
}

int pes_mpeg2_pic(const uint8_t *pkt) noexcept
{
    const uint8_t *payload = ts_get_payload(pkt);
    if (!payload || !ts_get_unitstart(pkt)) return -1;
    const uint8_t *end = pkt + TS_PKT_BYTES;
    if (!is_pes_video(payload, size_t(end - payload))) return -1;
    if (pes_find_stream_id(payload, end, SEQ_HEADER_CODE) < 0) return -1;
    const ssize_t pos = pes_find_stream_id(payload, end, PICTURE_CODE);
    if (pos < 0 || size_t(end - payload) - size_t(pos) < PICTURE_HDR_BYTES) return -1;
    switch ((payload[pos + 5] >> 3) & 7) {
    case 1:
        return 'I';
    case 2:
        return 'P';
    case 3:
        return 'B';
    case 4:
        return 'D';
    default:
        return 'x';
    }
}

bool is_pes_video(const uint8_t *buf, size_t len) noexcept
{
    return buf && len >= START_CODE_LEN && buf[0] == 0 && buf[1] == 0 && buf[2] == 1 &&
           buf[3] == PES_VIDEO_ID;
}

ssize_t pes_find_stream_id(const uint8_t *buf, const uint8_t *eod, uint8_t id) noexcept
{
    if (!buf || !eod || eod <= buf) return -1;
    const size_t len = size_t(eod - buf);
    if (len <= START_CODE_LEN) return -1;
    // Positions before eod - 4: the code may end at eod - 2 at the latest.
    const uint8_t code[START_CODE_LEN] = {0, 0, 1, id};
    const void *hit = memmem(buf, len - 1, code, sizeof(code));
    return hit ? static_cast<const uint8_t *>(hit) - buf : -1;
}
