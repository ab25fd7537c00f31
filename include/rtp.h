#pragma once
// RTP headers: their length, the length of their padding, and whether a
// datagram is an RTP packet that carries MPEG transport stream right after
// a plain 12-byte header.
//
// Every function reads only the len bytes it is given, whatever they hold:
// the datagrams come from the network.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

constexpr size_t RTP_HDR_SIZE = 12;    // fixed part of every header
constexpr unsigned RTP_V2 = 2;         // the only version recognised
constexpr size_t CSRC_SIZE = 4;        // one contributing-source entry
constexpr size_t XTLEN_OFFSET = 14;    // extension length without CSRC entries
constexpr size_t XTSIZE = 4;           // the extension's own header, and its unit
// Payload types: MPEG audio and video (each followed by a 4-byte
// MPEG-specific header) and MPEG transport stream.
constexpr unsigned P_MPGA = 14;
constexpr unsigned P_MPGV = 32;
constexpr unsigned P_MPGTS = 33;

// Length of the header of the RTP packet at pkt (len bytes): 12, plus 4 a
// CSRC entry, plus 4 for MPEG audio and video, plus the extension (its
// 4-byte header and its length in 4-byte words, read behind the CSRC
// entries).  -12, with an ERR line, when len is below 12, too short to
// read the extension's length, or shorter than the header it announces.
ssize_t rtp_header_len(const void *pkt, size_t len) noexcept;

// Length of the padding at the end of the RTP packet at pkt (len bytes):
// its last byte when the padding bit is set, else 0 (also for len 0).
ssize_t rtp_footer_len(const void *pkt, size_t len) noexcept;

// True when the len bytes at pkt are an RTP version-2 packet of payload
// type 33 whose 12-byte header (no CSRC entry, no extension) is followed
// by a sync byte.  Anything else is false, with a WARN or ERR line saying
// why.
bool is_rtp_pkt(const void *pkt, size_t len) noexcept;
