#pragma once
// Ring index: the first-in, first-out order of the occupied slots of a
// caller's fixed slot array.  It stores no data: push takes the next free
// slot index, pop releases the oldest one (read it from tail first).
#include <sys/types.h>

struct rring {
    ssize_t head;  // slot pushed last, -1 when empty
    ssize_t tail;  // oldest occupied slot, -1 when empty
    size_t count;  // number of slots, at least 1
};

// An empty ring of count slots.
inline void rring_setup(rring *rr, size_t count) noexcept
{
    rr->head = rr->tail = -1;
    rr->count = count;
}

// Occupied slots.
ssize_t rr_slots_busy(const rring *rr) noexcept;
// Free slots.
ssize_t rr_slots_avail(const rring *rr) noexcept;
// The slot the next push will take, -1 when the ring is full.
ssize_t rr_next_avail(const rring *rr) noexcept;
// Occupies the next free slot and returns it; -1 (ring unchanged) when full.
ssize_t rr_push(rring *rr) noexcept;
// Releases the oldest slot and returns it; -1 with an ERR line when empty.
ssize_t rr_pop(rring *rr) noexcept;
// The oldest occupied slot (tail), -1 when empty.
ssize_t rr_next_busy(const rring *rr) noexcept;
