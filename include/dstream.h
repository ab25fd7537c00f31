#pragma once
// Probing received data: MPEG transport stream ("TS") or anything else
// ("RAW"), how many packets of which length, where the first programme
// association table (PAT), programme clock reference (PCR) and I-frame
// lie; and stripping the RTP header of a datagram that carries TS.
//
// Reads stay within the lengths given: the packet tests below read the 188
// bytes of one transport packet, and the callers here hand them only whole
// packets inside their buffers.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "lfxtypes.h"
#include "mpegts.h"

// Stream types: 4-byte tags compared as words; 0 is none.
constexpr uint32_t STY_RAW = mk_tag32("RAW");
constexpr uint32_t STY_MPEGTS = mk_tag32("TS\0");
constexpr uint32_t STY_RTP = mk_tag32("RTP");

// xtract_ts_payload hints.
enum xtract_hint : uint32_t {
    XF_NO_RTP = 1,  // never take the datagram for RTP
};

// The bytes of a transport packet the packet tests read.
constexpr size_t TS_PKT_BYTES = TS_MIN_PKTSIZE;

// Searches of probe_segment: a non-zero index on entry asks for the item;
// on return each index is the 1-based number of the first packet holding
// it, or 0.  pcr is the 33-bit base of the PCR found, untouched when none.
struct sseg_ctx {
    uint32_t pat_idx;
    uint32_t pcr_idx;
    uint64_t pcr;
    uint32_t iframe_idx;
};

// Classifies buflen bytes at buf.  Without a type (stype_id 0) or a packet
// length (*plen 0, or plen null) the buffer is probed: whole TS packets
// give STY_MPEGTS with *plen the packet length and *pcount the packets,
// anything else STY_RAW with *plen buflen and *pcount 1 (a switch away from
// a named type is a WARN line).  With both, nothing is probed and
// *pcount is left alone.  plen, pcount and sseg may be null.  For TS the
// asked searches walk the whole packets of *plen bytes; for other types
// they find nothing (WARN).  The type found (stype_id when not probed).
uint32_t probe_segment(const void *buf, size_t buflen, uint32_t stype_id, ssize_t *plen,
                       size_t *pcount, sseg_ctx *sseg) noexcept;

// Takes the TS out of the inlen bytes at buf:
//   - a first byte 0x47: TS, left as it is;
//   - XF_NO_RTP in hints, or no TS-carrying RTP packet (is_rtp_pkt), an
//     empty buffer included: RAW, left as it is;
//   - RTP: the payload (less the padding) moves to the start of buf and
//     *outlen (required then) is its length; type RTP.
// The type goes to *stype when given.  0, or -1 (ERR) for RTP padding
// longer than the payload or a payload shorter than one TS packet.
int xtract_ts_payload(void *buf, size_t inlen, size_t *outlen, uint32_t *stype,
                      uint32_t hints) noexcept;

// --- tests on one transport packet (188 bytes at pkt) -----------------------------

// Payload unit start, PID 0, table id 0 (pointer field taken as 0), the
// section syntax bits 0xb0 and current-next set.
bool ts_has_pat(const uint8_t *pkt) noexcept;
// An adaptation field long enough to hold a PCR, with the PCR flag.
bool ts_has_pcr(const uint8_t *pkt) noexcept;
// Adaptation field and payload, adaptation length above 4, random access
// and PCR flags.
bool ts_has_iframe(const uint8_t *pkt) noexcept;
// The payload: after the adaptation field when there is one, else at byte
// 4; null without the payload flag or when the adaptation field fills the
// packet (or claims more).
const uint8_t *ts_get_payload(const uint8_t *pkt) noexcept;
// ts_has_iframe, payload unit start and a video PES at the payload start.
bool ts_has_video_iframe(const uint8_t *pkt) noexcept;
// ts_has_video_iframe, or an MPEG-2 picture of type 'I' (pes_mpeg2_pic).
bool has_iframe(const uint8_t *pkt) noexcept;
// The MPEG-2 picture type of a packet that starts a video PES with a
// sequence header: 'I', 'P', 'B', 'D' or 'x' (another coding type); -1
// when there is none to read inside the packet.
int pes_mpeg2_pic(const uint8_t *pkt) noexcept;

// --- PES ------------------------------------------------------------------------------

// True when the len bytes at buf start 00 00 01 E0 (a video PES).
bool is_pes_video(const uint8_t *buf, size_t len) noexcept;
// Position of the first 00 00 01 id in buf, searching the positions
// before eod - 4; -1 when none.
ssize_t pes_find_stream_id(const uint8_t *buf, const uint8_t *eod, uint8_t id) noexcept;
