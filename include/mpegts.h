#pragma once
// MPEG-2 transport-stream packet recognition: whether a buffer starts with a
// run of packets and of which length, where the first packet of a stream
// begins, and the program clock references (PCR) the packets carry.
//
// Every function reads only the len bytes it is given, whatever they hold,
// allocates nothing and ends after a bounded amount of work.  A null buffer
// with a non-zero length, a null result pointer or a packet length outside
// TS_MIN_PKTSIZE..TS_MAX_PKTSIZE is a broken invariant (assert, abort).
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint8_t MPEG_TS_SYNC = 0x47;  // first byte of every packet (71)
constexpr size_t TS_MIN_PKTSIZE = 188;
constexpr size_t TS_MAX_PKTSIZE = 208;
constexpr uint64_t PCR_ONE_SEC = 90000;  // PCR base ticks per second
constexpr unsigned MAX_PCR_GAP = 45000;  // half a second of ticks
constexpr uint64_t P2_33 = uint64_t(1) << 33;  // the PCR base wraps here

// The packet lengths recognised, in the order they are tried.
constexpr std::array<size_t, 4> TS_PKT_SIZES = {188, 192, 204, 208};

// The packet length of a buffer that starts with a sync byte: the first
// size with a sync byte at every multiple of it below len (and, with
// full_pkts, len a multiple of it); a buffer of exactly one packet's length
// is taken as that packet.  -22 when byte 0 is no sync byte, -1 when len is
// too short to decide (0 included), -3 when no size fits.
ssize_t ts_probe(const void *buf, size_t len, bool full_pkts) noexcept;

// Finds where a stream of packets starts: the offset k of the first sync
// byte for which ts_probe(buf + k, len - k, false) gives a length, stored in
// *pkt_len.  Candidates past offset 206 are not searched beyond the first
// one.  -1 (and *pkt_len untouched) when no candidate gives a length.
ssize_t ts_find_head(const void *buf, size_t len, size_t *pkt_len) noexcept;

// The 33-bit PCR base (90 kHz; the 27 MHz extension is dropped) of the
// first, or the last, of the whole packets of pkt_len bytes from offset 0
// that carries one: 0 and *pcr set, or -1 when none does.  Requires len >=
// pkt_len (broken invariant otherwise).
int find_first_pcr(const void *buf, size_t len, size_t pkt_len, uint64_t *pcr) noexcept;
int find_last_pcr(const void *buf, size_t len, size_t pkt_len, uint64_t *pcr) noexcept;

// Ticks from the PCR base `first` to the later base `last`, counting a wrap
// at 2^33; first == 0 means no earlier reading and gives `last`.  0, with a
// WARN line, when last lies before first or more than MAX_PCR_GAP after it.
uint64_t ts_pcr_delta(uint64_t first, uint64_t last) noexcept;
