#include "mpegts.h"

#include <cstring>

#include "log.h"

LOG_MODULE(LM_STREAM);

namespace {

// After a failed candidate at an offset beyond this one, the head search
// tries no further candidate: a stream shows its first sync byte within the
// longest packet, so a buffer whose early sync bytes all fail is no stream.
constexpr size_t LAST_RETRY_OFF = 206;

// Header bytes of a packet that carries a PCR: byte 3 holds the adaptation
// field control, byte 4 the field's length, byte 5 its flags, bytes 6..11
// the PCR (33-bit base, 6 reserved bits, 9-bit extension).
constexpr uint8_t AF_PRESENT = 0x20;
constexpr uint8_t AF_PCR_FLAG = 0x10;
// The flags byte and the six PCR bytes: a shorter field cannot hold a PCR,
// and bytes 6..11 would then be payload.
constexpr uint8_t AF_MIN_LEN_PCR = 7;

bool ts_has_pcr(const uint8_t *pkt) noexcept
{
    return (pkt[3] & AF_PRESENT) && pkt[4] >= AF_MIN_LEN_PCR && (pkt[5] & AF_PCR_FLAG);
}

uint64_t pcr_base(const uint8_t *pkt) noexcept
{
    return (uint64_t(pkt[6]) << 25) | (uint64_t(pkt[7]) << 17) | (uint64_t(pkt[8]) << 9) |
           (uint64_t(pkt[9]) << 1) | (uint64_t(pkt[10]) >> 7);
}

// A packet length outside the recognised range would let the walk read
// past a short packet (or, at 0, never advance).
void check_pcr_args(const void *buf, size_t len, size_t pkt_len, const uint64_t *pcr) noexcept
{
    lfx_assert(buf != nullptr);
    lfx_assert(pcr != nullptr);
    lfx_assert(pkt_len >= TS_MIN_PKTSIZE && pkt_len <= TS_MAX_PKTSIZE);
    lfx_assert(len >= pkt_len);
}

}  // namespace

ssize_t ts_probe(const void *buf, size_t len, bool full_pkts) noexcept
{
    lfx_assert(buf != nullptr || len == 0);
    if (len == 0) return -1;
    const auto *p = static_cast<const uint8_t *>(buf);
    if (p[0] != MPEG_TS_SYNC) return -22;

    size_t size = 0;
    bool fits = false;
    for (size_t s : TS_PKT_SIZES) {
        size = s;
        // A larger size cannot be ruled out yet: too short to decide.
        if (len < s) return -1;
        if (len == s) {
            fits = true;
            break;
        }
        if (full_pkts && len % s != 0) continue;
        fits = true;
        for (size_t k = s; k < len; k += s)
            if (p[k] != MPEG_TS_SYNC) {
                fits = false;
                break;
            }
        if (fits) break;
    }
    log_dbg("%s: %s pkt_size[%ld]/%s for buf=%p, len=%ld\n", __func__, fits ? "in-sync" : "NO-SYNC",
            long(size), full_pkts ? "F" : "-", buf, long(len));
    return fits ? ssize_t(size) : -3;
}

ssize_t ts_find_head(const void *buf, size_t len, size_t *pkt_len) noexcept
{
    lfx_assert(pkt_len != nullptr);
    lfx_assert(buf != nullptr || len == 0);
    const auto *p = static_cast<const uint8_t *>(buf);
    // Each candidate is searched for from the one before it to the end of
    // the buffer; the loop ends at the latest after LAST_RETRY_OFF + 2
    // probes.
    for (size_t from = 0; from < len;) {
        const void *hit = memchr(p + from, MPEG_TS_SYNC, len - from);
        if (!hit) break;
        size_t k = size_t(static_cast<const uint8_t *>(hit) - p);
        ssize_t n = ts_probe(p + k, len - k, false);
        if (n > 0) {
            *pkt_len = size_t(n);
            return ssize_t(k);
        }
        if (k > LAST_RETRY_OFF) break;
        from = k + 1;
    }
    return -1;
}

int find_first_pcr(const void *buf, size_t len, size_t pkt_len, uint64_t *pcr) noexcept
{
    check_pcr_args(buf, len, pkt_len, pcr);
    const auto *p = static_cast<const uint8_t *>(buf);
    for (size_t off = 0; len - off >= pkt_len; off += pkt_len)
        if (ts_has_pcr(p + off)) {
            *pcr = pcr_base(p + off);
            return 0;
        }
    return -1;
}

int find_last_pcr(const void *buf, size_t len, size_t pkt_len, uint64_t *pcr) noexcept
{
    check_pcr_args(buf, len, pkt_len, pcr);
    const auto *p = static_cast<const uint8_t *>(buf);
    // The packets lie at multiples of pkt_len, as for find_first_pcr; a
    // partial packet at the end is not one.
    for (size_t off = len / pkt_len * pkt_len; off > 0;) {
        off -= pkt_len;
        if (ts_has_pcr(p + off)) {
            *pcr = pcr_base(p + off);
            return 0;
        }
    }
    return -1;
}

uint64_t ts_pcr_delta(uint64_t first, uint64_t last) noexcept
{
    // All arithmetic is modulo 2^64: when the base wrapped between the two
    // readings, last - first + 2^33 is the small forward distance.
    uint64_t wrapped = last - first + P2_33;
    if (wrapped <= MAX_PCR_GAP) return wrapped;
    uint64_t diff = last - first;
    if (first == 0) return diff;
    if (last < first) {
        log_warn("%s: PCR last=%lu < first=%lu diff=%lu\n", __func__, last, first, diff);
        return 0;
    }
    if (diff <= MAX_PCR_GAP) return diff;
    log_warn("%s: PCR gap=%lu exceeds max=%u; last=%lu, first=%lu\n", __func__, diff, MAX_PCR_GAP,
             last, first);
    return 0;
}
