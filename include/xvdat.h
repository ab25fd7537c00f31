#pragma once
// Containers of fixed-size blocks addressed by index.
//
//   xvec    a growable array of blocks (heap), or one bound to a caller's
//           buffer that never grows;
//   xvlst   a slot list: blocks plus a taken map, slots reused lowest-first,
//           an entry's index stable for its life; on the heap, in a caller's
//           buffer, or in one fixed anonymous mapping whose slots never move;
//   emblst  a slot list laid inside a caller's buffer using offsets only, so
//           it stays valid in shared memory mapped at any address.
//
// The block size is never stored in an xvec or xvlst: every call that
// allocates or indexes takes it, and the caller gives the same size every
// time.  Blocks belong to the caller: a container releases what an entry
// owns only through the cleanup callback it is given.  Null containers, null
// callbacks, zero sizes and inconsistent counters are broken invariants.
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <type_traits>

// Container flags.
enum xv_flag : uint32_t {
    XV_ABORT_ENOMEM = 1,  // in xvdat_flags: abort instead of returning -1
    XV_FIXED_SIZE = 2,    // storage is a caller's buffer or a mapping: never grows
    XV_MMAP = 4,          // storage is xvlst_mmap_fixed's mapping, unmapped on reset
};

// Result of any attempt to grow a fixed-size container.
constexpr int ERR_XV_FIXED = -11;

// Process-wide: XV_ABORT_ENOMEM makes allocation failures abort.
extern uint32_t xvdat_flags;

union wordata {
    long num;
    void *ptr;
    char str[8];
};

// A zeroed xvec is a valid empty heap vector.
struct xvec {
    void *data;      // the blocks
    size_t len;      // blocks in use: always the first len
    size_t max_len;  // capacity in blocks
    uint32_t flags;
};

// A zeroed xvlst is a valid empty heap list (lowest free slot 0).
struct xvlst {
    void *data;      // the blocks
    size_t len;      // taken slots
    size_t max_len;  // capacity in slots
    uint32_t flags;
    char *taken;     // one byte per slot, 1 = taken
    size_t last;     // highest slot taken since creation or purge; never lowered by a delete
    ssize_t avail;   // lowest free slot, -1 when every slot is taken
    wordata meta;    // a mapped list's block size (num)
};

// An embedded slot list at the start of an 8-byte aligned buffer.  Block i
// lies at offset 48 + i * blksz, the taken map at taken_offt.  No pointers:
// any process that maps the buffer can use it, so the layout is fixed.
struct emblst {
    uint64_t count;       // taken slots
    uint64_t max_count;   // capacity in blocks
    uint64_t last;        // highest slot ever taken (never lowered by a delete)
    int64_t avail;        // lowest free slot, -1 when full
    uint32_t flags;       // XV_FIXED_SIZE
    uint32_t pad;
    uint64_t taken_offt;  // offset of the taken map from the start of the list
};

static_assert(sizeof(wordata) == 8);
static_assert(std::is_trivially_copyable_v<xvec> && std::is_standard_layout_v<xvec>);
static_assert(std::is_trivially_copyable_v<xvlst> && std::is_standard_layout_v<xvlst>);
static_assert(std::is_trivially_copyable_v<emblst> && std::is_standard_layout_v<emblst>);
static_assert(sizeof(emblst) == 48);
static_assert(offsetof(emblst, count) == 0);
static_assert(offsetof(emblst, max_count) == 8);
static_assert(offsetof(emblst, last) == 16);
static_assert(offsetof(emblst, avail) == 24);
static_assert(offsetof(emblst, flags) == 32);
static_assert(offsetof(emblst, taken_offt) == 40);

constexpr size_t EMBLST_HDR_SIZE = sizeof(emblst);

// Callbacks get the container's block area and a slot index; the block is
// at data + i * blksz.
using xv_each_cb = int (*)(void *data, size_t i);
using xv_aux_cb = int (*)(void *data, size_t i, void *aux);
using xv_cleanup_cb = void (*)(void *data, size_t i);

// Block i of a container, without checks.
inline void *xv_blk(void *data, size_t i, size_t blksz) noexcept
{
    return static_cast<char *>(data) + i * blksz;
}
inline void *emblst_data(emblst *el) noexcept
{
    return reinterpret_cast<char *>(el) + EMBLST_HDR_SIZE;
}

// --- block vector -------------------------------------------------------------

// Uses buf (buflen bytes, zeroed here) as fixed storage: capacity
// buflen / blksz, length 0, XV_FIXED_SIZE.  0, or -1 when no block fits.
int xvec_bind(xvec *v, void *buf, size_t buflen, size_t blksz) noexcept;
// Capacity for new_max blocks: 0 when new_max is below the capacity;
// ERR_XV_FIXED for a fixed vector; a heap vector grows to the next multiple
// of growblk, new blocks zeroed (0), or -1 with the old storage kept.
int xvec_reserve(xvec *v, size_t new_max, size_t blksz, size_t growblk) noexcept;
// Reserves len + plus blocks: as xvec_reserve; ERR_XV_FIXED for a fixed vector.
int xvec_expand(xvec *v, size_t plus, size_t blksz, size_t growblk) noexcept;
// Appends a block: its index, or -1 when a fixed vector is at capacity or a
// heap vector cannot grow.
ssize_t xvec_add(xvec *v, size_t blksz, size_t growblk) noexcept;
// Length 0; a heap vector's storage is freed, a fixed one keeps its buffer.
// A null vector is ignored.
void xvec_reset(xvec *v) noexcept;
// Call f for blocks 0 to len - 1.  With pos, stop at the first non-zero
// result and store its index in *pos.  Result: that of the last call, 0
// when none was made.
int xvec_each(xvec *v, xv_each_cb f, size_t *pos) noexcept;
int xvec_each_aux(xvec *v, xv_aux_cb f, void *aux, size_t *pos) noexcept;
int xvec_find(xvec *v, void *what, xv_aux_cb f, size_t *pos) noexcept;

// --- slot list ----------------------------------------------------------------------

// Uses buf for c blocks and their taken map (right after the blocks), c the
// largest count with c * (blksz + 1) <= buflen; buffer zeroed, XV_FIXED_SIZE.
// 0, or -1 when c is 0.
int xvlst_bind(xvlst *l, void *buf, size_t buflen, size_t blksz) noexcept;
// One private anonymous mapping (MAP_NORESERVE) of count * (blksz + 1) bytes:
// blocks, then the taken map; slots never move.  0, or 12 (ENOMEM, errno
// set) when it cannot be mapped.
int xvlst_mmap_fixed(xvlst *l, size_t count, size_t blksz) noexcept;
// Capacity for new_max slots: 0 when already there; ERR_XV_FIXED for a
// fixed list; else blocks and map grow to the next multiple of growblk (0),
// or -1 with the previous capacity and map kept.
int xvlst_reserve(xvlst *l, size_t new_max, size_t blksz, size_t growblk) noexcept;
// Reserves len + plus slots, as xvlst_reserve.
int xvlst_expand(xvlst *l, size_t plus, size_t blksz, size_t growblk) noexcept;
// Takes the lowest free slot, growing a heap list when every slot is taken:
// its index, ERR_XV_FIXED when a fixed list is full, or -1.
ssize_t xvlst_add(xvlst *l, size_t blksz, size_t growblk) noexcept;
// Frees a slot, calling cleanup(data, index) when given: 0, 34 (ERANGE) for
// an index above the highest slot used, 114 (EALREADY) for a free slot.
int xvlst_del(xvlst *l, size_t index, xv_cleanup_cb cleanup) noexcept;
// Call f for each taken slot from 0 to last (as it was at the start).  With
// pos, stop at the first non-zero result and store its index.  Result: that
// of the last call, 0 when none was made or the list has no storage.
int xvlst_each(xvlst *l, xv_each_cb f, size_t *pos) noexcept;
int xvlst_each_aux(xvlst *l, void *aux, xv_aux_cb f, size_t *pos) noexcept;
// Stops at the first non-zero f(data, i, what), stores i in *pos when given
// and returns that result; 0 when none.
int xvlst_find(xvlst *l, void *what, xv_aux_cb f, size_t *pos) noexcept;
// Deletes (without cleanup) each taken slot where is_match is non-zero: the
// number deleted, or -1 with the failing index in *pos (when given).
ssize_t xvlst_rmif(xvlst *l, void *udata, xv_aux_cb is_match, size_t *pos) noexcept;
// Unless the list is empty: cleanup for each taken slot (when given), then
// every slot free, last 0; the capacity is kept.
void xvlst_purge_all(xvlst *l, xv_cleanup_cb cleanup) noexcept;
// Frees heap storage, unmaps a mapped list (aborts when that fails), keeps a
// bound buffer; then every field is zeroed.  A null list is ignored.
void xvlst_reset(xvlst *l) noexcept;

// --- embedded slot list ---------------------------------------------------------

// Lays a list over buf (8-byte aligned): capacity the largest c >= 1 with
// 48 + c * (blksz + 1) <= len.  buf, or null when len <= 48 or no block fits.
emblst *emblst_create(void *buf, size_t len, size_t blksz) noexcept;
// Takes the lowest free slot: its index, or -1 when full.
ssize_t emblst_add(emblst *el) noexcept;
// Frees a slot as xvlst_del: 0, 34 (ERANGE) or 114 (EALREADY).
int emblst_del(emblst *el, size_t index, xv_cleanup_cb cleanup) noexcept;
// Walk the taken slots 0 to last, as xvlst_each and xvlst_each_aux.
int emblst_each(emblst *el, xv_each_cb f, size_t *pos) noexcept;
int emblst_each_aux(emblst *el, void *aux, xv_aux_cb f, size_t *pos) noexcept;
// Copies header, blocks and map (taken_offt + max_count bytes) to dst:
// dst, or null with errno EINVAL when dstlen is smaller.
emblst *emblst_copy(const emblst *se, void *dst, size_t dstlen) noexcept;
