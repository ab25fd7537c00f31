#pragma once
// An index over a recorded stream of datagrams.  Consecutive datagrams of
// one packet size form a sequence; each sequence counts its packets in time
// slots from its first datagram, so that the receive time of any datagram
// of the record can be estimated, and remembers where its first and last
// programme association table (PAT) lie.
//
// The datagrams and offsets given are input: a datagram that does not fit
// the index (empty, not continuing the record) is refused, never filed
// out of place.  Running out of memory for a new sequence aborts.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <type_traits>

#include "lfxtypes.h"
#include "xvdat.h"

constexpr size_t MAX_TSLOTS = 100;      // time slots of a sequence
constexpr size_t DGRAM_INCR = 8;        // sequences the vector grows by
constexpr size_t DGRAM_MAX_SEQ = 10000; // highest sequence index
constexpr size_t DGRAM_SHORT_SEQ = 7;   // a sequence this short is worth a warning

// One run of datagrams of one packet size.
struct dgram_seq {
    size_t pkt_size;
    struct timespec first_io;  // loop time of the first datagram
    struct timespec last_io;   // loop time of the latest datagram
    off_t offset;              // record offset of the first packet
    size_t count;              // packets
    uint32_t tslot_count[MAX_TSLOTS];  // packets received in each slot from first_io
    size_t max_tslot;          // highest slot used
    uint32_t first_pat;        // 1-based packet number of a PAT, 0 for none
    uint32_t last_pat;
};

struct dgram_idx {
    n32_tag stype;              // STY_RAW or STY_MPEGTS once known, 0 before
    xvec seq;                   // dgram_seq records
    struct timespec seq_tmout;  // how long one sequence may last
    unsigned long tslot_ms;     // width of a time slot
};

static_assert(std::is_trivially_copyable_v<dgram_seq>);

// A new index with room for rec_count sequences; a sequence lasts at most
// tmout_ms (non-zero rec_count and tmout_ms >= 100: assertion).  Slots are
// 10 ms below 1 s, 100 ms below 10 s, else whole seconds so that one
// time-out spans at most 100 slots.  Null when the room cannot be had.
dgram_idx *mk_dgram_idx(size_t rec_count, unsigned long tmout_ms) noexcept;
// Releases the index and its sequences; null is ignored.
void free_dgram_idx(dgram_idx *di) noexcept;
// Forgets every sequence (the room stays).
void dgram_reset(dgram_idx *di) noexcept;

// Files the datagram of seg_len bytes at buf + offset, whose record offset
// is offset: it joins the last sequence when its packet size is the same
// and the sequence has not timed out, else a new sequence begins.  Every
// datagram after the first must start where the last sequence ends.  The
// index of its sequence; -1 for an empty datagram, an offset that does not
// continue the record (WARN), or a full index (ERR, at most
// DGRAM_MAX_SEQ + 1 sequences).
ssize_t dgram_add(dgram_idx *di, size_t seg_len, const void *buf, off_t offset) noexcept;

// From sequence dseq (0 when negative) upward, the first sequence that
// holds offset (its end offset included); -1 when none.
ssize_t dgram_find_seq(const dgram_idx *di, ssize_t dseq, off_t offset) noexcept;

// Estimated loop time at which the datagram at offset was received.  A
// dseq below 1 is looked up with dgram_find_seq.  An offset at or past the
// sequence's end gives the loop's time now; the first and last packets
// their recorded times; others are spread over the time slots.  {-1, 0}
// (no time) when no sequence holds offset, dseq is past the last one or
// offset lies before it.
struct timespec dgram_calc_time(const dgram_idx *di, ssize_t dseq, off_t offset) noexcept;

// Record offset of the first (last) PAT packet of sequence dseq (0 when
// negative), or of its first (last) packet when it has none.  0 when the
// index has no sequence storage; -1 for dseq past the last sequence.
off_t first_dseq_offset(const dgram_idx *di, ssize_t dseq) noexcept;
off_t last_dseq_offset(const dgram_idx *di, ssize_t dseq) noexcept;
