#include "rtp.h"

#include <bitstream/ietf/rtp.h>

#include "log.h"
#include "mpegts.h"

LOG_MODULE(LM_RTP);

namespace {

// The bytes is_rtp_pkt reads: the header and the first payload byte.
constexpr size_t RTP_TS_MIN_LEN = RTP_HDR_SIZE + 1;
// Bytes past the extension's length field that a packet with an extension
// must hold before the field is read.
constexpr size_t XT_MIN_TAIL = 4;

unsigned rtp_version(const uint8_t *p) noexcept
{
    return p[0] >> 6;
}

}  // namespace

ssize_t rtp_header_len(const void *pkt, size_t len) noexcept
{
    const auto *p = static_cast<const uint8_t *>(pkt);
    if (!p || len < RTP_HDR_SIZE) {
        log_err("%s: insufficient length (%lu) for RTP header\n", __func__, len);
        return -ssize_t(RTP_HDR_SIZE);
    }
    const size_t csrc_len = CSRC_SIZE * rtp_get_cc(p);
    size_t hlen = RTP_HDR_SIZE + csrc_len;
    const unsigned ptype = rtp_get_type(p);
    if (ptype == P_MPGA || ptype == P_MPGV) hlen += 4;
    if (rtp_check_extension(p)) {
        // The extension follows the CSRC entries; its length field is the
        // second half of its 4-byte header.
        if (len < XTLEN_OFFSET + csrc_len + XT_MIN_TAIL) {
            log_err("%s: insufficient length (%lu) for extended header\n", __func__, len);
            return -ssize_t(RTP_HDR_SIZE);
        }
        const uint8_t *xt = p + RTP_HDR_SIZE + csrc_len;
        hlen += (size_t(rtpx_get_length(xt)) + 1) * XTSIZE;
    }
    if (hlen > len) {
        log_err("%s: header of %lu bytes exceeds packet length %lu\n", __func__, hlen, len);
        return -ssize_t(RTP_HDR_SIZE);
    }
    return ssize_t(hlen);
}

ssize_t rtp_footer_len(const void *pkt, size_t len) noexcept
{
    const auto *p = static_cast<const uint8_t *>(pkt);
    if (!p || len == 0 || !rtp_check_padding(p)) return 0;
    return p[len - 1];
}

bool is_rtp_pkt(const void *pkt, size_t len) noexcept
{
    const auto *p = static_cast<const uint8_t *>(pkt);
    if (!p || len < RTP_TS_MIN_LEN) {
        log_warn("%s: %lu bytes are too short for TS inside RTP\n", __func__, len);
        return false;
    }
    if (rtp_version(p) != RTP_V2) {
        log_warn("%s: wrong RTP version: expected 0x%x, got 0x%x\n", __func__, RTP_V2,
                 rtp_version(p));
        return false;
    }
    const unsigned ptype = rtp_get_type(p);
    if (ptype != P_MPGA && ptype != P_MPGV && ptype != P_MPGTS) {
        log_warn("%s: wrong payload type: 0x%x\n", __func__, ptype);
        return false;
    }
    const ssize_t hlen = rtp_header_len(p, len);
    if (hlen != ssize_t(RTP_HDR_SIZE)) {
        log_err("%s: invalid RTP header length: %ld\n", __func__, long(hlen));
        return false;
    }
    if (p[RTP_HDR_SIZE] != MPEG_TS_SYNC) {
        log_warn("%s: non-TS content inside (allegedly) RTP container (0x%02x)\n", __func__,
                 p[0]);
        return false;
    }
    return true;
}
