#pragma once
// The byte ring of an HTTP-source task: one anonymous shared-memory object
// (memfd) mapped twice, back to back, with a guard page after the mirror, so that
// every region of the ring, also one that wraps past its end, is one
// contiguous stretch of memory.  Input is read straight into the free
// region; output is handed out as iovec entries of whole transport packets
// cut into datagrams, without copying.  The object is private to the
// process (it has no name in /dev/shm that another process could open,
// take or block) and used by the event-loop thread only.
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// The default largest output datagram (7 x 188 bytes).
constexpr size_t MIN_PKT_SIZE = 1316;
// Bounds of mmr_set_tspkt_len.
constexpr size_t MIN_TS_LEN = 188;
constexpr size_t MAX_TSPKT_LEN = 5000;
// A transport-packet length lies below this; the sync search of the output
// side looks at most at MAX_TS_LEN + 1 bytes.
constexpr size_t MAX_TS_LEN = 214;
constexpr uint8_t TS_SYNC = 0x47;
// Room of the object's name, "/mmr.<pid>.<n>": a label in the log and in
// /proc/<pid>/maps, not a path.
constexpr size_t SNAME_LEN = 128;
// Smallest ring capacity.
constexpr size_t MMR_MIN_BUFSZ = 1024;

// Flags of mmr_set_flags.
enum mmr_flag : uint64_t {
    MMR_ODGRAM_ALIGN = 1,  // hand out full-size datagrams only
};

// A region of the ring: offset from the start of the buffer and length.
struct mm_point {
    ssize_t pos;
    size_t len;
};

struct mm_stats {
    size_t max_dgram_len;  // the largest output datagram produced so far
};

struct mm_ring;
using mmr_t = mm_ring *;

// Makes a ring of bufsz bytes (at least 1024, a multiple of the page size;
// a null ring or another size is a broken invariant).  The object's space
// is reserved at once.  0 and *ring set; 12 (ENOMEM) when the record, the
// object's memory or a mapping cannot be had; the error number of
// memfd_create (EMFILE, ENFILE) or of the reservation (ENOSPC) when those
// fail; -1 when it cannot be sized.  Never 22 (EINVAL): callers keep that
// for bad requests.  Nothing is left on failure.
int mmr_create(mmr_t *ring, size_t bufsz) noexcept;
// Unmaps and frees the ring (the object goes with it); a null ring is
// ignored.
void mmr_destroy(mmr_t ring) noexcept;
// Empties the ring and un-anchors it: the next commit looks for the packet
// length again, and input may come again.
void mmr_reset(mmr_t ring) noexcept;
// No byte follows what the ring holds now: its newest packet may go out
// once whole, and aligned output sends the full-size datagrams left.
void mmr_end_input(mmr_t ring) noexcept;

// The free region for input (*pt set), or null when the ring is full.
uint8_t *mmr_iget(mmr_t ring, mm_point *pt) noexcept;
// Commits pt->len bytes written into the region mmr_iget gave.  0; -14 when
// the data held since creation or reset is definitely not a transport
// stream.  While too few bytes have come to tell, the bytes are kept and
// the ring stays un-anchored (0).
int mmr_iput(mmr_t ring, const mm_point *pt) noexcept;
// Fills at most *count (at least 1) entries with output datagrams of whole
// packets.  A packet goes out only when the byte after it is a sync byte,
// or when the input has ended right after it; after a break, bytes are
// skipped up to a sync byte that the next two boundaries confirm (those
// that came, at least one, once the input has ended), so junk is never
// sent and a break of fewer than 215 bytes costs at most the packet in
// front of it, however the bytes arrive.  With MMR_ODGRAM_ALIGN only
// full-size datagrams go, each as soon as its packets are whole.  0 with
// *count the number filled; 11 (EAGAIN) when nothing is to be sent now;
// -14 when the payload is not a transport stream.
int mmr_oget(mmr_t ring, struct iovec *iov, size_t *count) noexcept;
// Whether mmr_oget may hand out a datagram now, without moving anything:
// false only when the payload starts in step with the stream and too few
// whole packets wait for a datagram (none, or fewer than a full one when
// aligned).
bool mmr_oready(mmr_t ring) noexcept;
// Consumes the bytes of the first count entries (those sent); the payload
// bytes left.
ssize_t mmr_oput(mmr_t ring, const struct iovec *iov, size_t count) noexcept;

void mmr_set_flags(mmr_t ring, uint64_t flags) noexcept;
uint64_t mmr_get_flags(mmr_t ring) noexcept;
// Sets the largest output datagram: 0 for 188..5000, else -1 (ERR).
int mmr_set_tspkt_len(mmr_t ring, size_t len) noexcept;
mm_stats mmr_get_stats(mmr_t ring) noexcept;

// Read-only views for the status report and for tests.
size_t mmr_buflen(mmr_t ring) noexcept;       // capacity in bytes
size_t mmr_pld_size(mmr_t ring) noexcept;     // payload bytes waiting
size_t mmr_ts_len(mmr_t ring) noexcept;       // packet length, 0 until found
const char *mmr_name(mmr_t ring) noexcept;    // the object's label
size_t mmr_max_tspkt_len(mmr_t ring) noexcept;
