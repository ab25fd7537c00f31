#pragma once
// The delay queue: process-wide one-shot or recurring delays ordered by
// expiry on the monotonic clock.  dly_expire fires the due ones; a fired
// one-shot delay moves to a trash list until its owner releases it with
// dly_rm, so a handle stays valid until then, also inside its own callback.
// A recurring delay is re-armed in place, keeping its handle, until dly_rm.
#include <cstdint>
#include <ctime>

constexpr int32_t DLY_SIG = 0x05060506;   // a live delay
constexpr int32_t DEAD_DLY = 0x11223344;  // a freed delay

enum dly_flags : uint32_t {
    DLY_RECUR = 1,  // re-arm after firing
};

struct dly_ctx;
using dly_t = dly_ctx *;  // a delay handle, owned by the queue

// Fires for a due delay with its user data; non-zero counts as an error.
using dly_expiry_t = int (*)(void *udata, void *aux);

// Creates the queue; 0 or the list layer's error.  A second call without
// dly_destroy is a broken invariant.
int dly_init() noexcept;
// Frees every delay, pending or fired, and the queue.
void dly_destroy() noexcept;
// Schedules a delay of usec µs from now; the handle, or null with errno
// ENOMEM.
dly_t dly_add_usec(long usec, void *udata, uint32_t flags) noexcept;
// Unlinks a pending or fired delay and frees it; 0, or 3 (ESRCH) for a
// handle that is no delay.  Freeing a delay twice is a broken invariant.
int dly_rm(dly_t dly) noexcept;
// Sets the expiry to *t, or to now when t is null; the queue is not re-sorted.
void dly_set_expiry(dly_t dly, const struct timespec *t) noexcept;
// 0 with the earliest expiry in *t when it lies in the future; -1 when the
// queue is empty or the earliest delay is due; -2 for a broken queue.
int dly_next_time(struct timespec *t) noexcept;
// Milliseconds (microseconds) from now to the earliest expiry, or the
// non-zero result of dly_next_time.
long dly_next_ms() noexcept;
long dly_next_usec() noexcept;
// Number of pending delays.
size_t dly_count() noexcept;
// Fires the delays that are due or due within the next millisecond, at
// most as many as were pending at the call; the number fired.
int dly_expire(dly_expiry_t expire, void *aux) noexcept;
