#pragma once
// Time-out registry: numbered slots, each held by one or more owners with a
// period in milliseconds.  The event loop's wait-time callback asks for the
// smallest period held, so every holder is woken at least that often.
//
// A slot counts its holders and stays until the last one lets go; only the
// first holder sets the period.  An index out of range, a value below
// MIN_TIMER_VAL or the release of a free slot is a broken invariant: the
// process logs "ASSERT at:" with a backtrace and aborts.
#include <cstddef>
#include <type_traits>

constexpr int MAX_TMOUTS = 32;
constexpr long MIN_TIMER_VAL = -9999;  // `min` while no slot is held

struct tmo_rec {
    long value;     // ms; the period while held, 0 when free
    size_t nlocks;  // number of holders
};

struct tmout_registry {
    tmo_rec rec[MAX_TMOUTS];
    long min;  // smallest value among held slots, MIN_TIMER_VAL when none
};

static_assert(std::is_trivially_copyable_v<tmout_registry>);

// The process-wide registry used by the plain functions.
extern tmout_registry g_tmreg;

// Frees all slots; min becomes MIN_TIMER_VAL.
void reg_init_timeout(tmout_registry *r) noexcept;
// Adds one holder to slot index (0..31) with period val ms (>= -9999).
// The first holder sets the slot's value and may lower min.
void reg_set_timeout(tmout_registry *r, int index, long val) noexcept;
// Removes one holder from a held slot index (0..31).  When the last holder
// leaves, the slot is freed and min recomputed from the slots still held.
void reg_rm_timeout(tmout_registry *r, int index) noexcept;
// The slot's value: its period while held, 0 when free.
long reg_get_timeout(const tmout_registry *r, int index) noexcept;
// The smallest period held, MIN_TIMER_VAL when no slot is held.
long reg_min_timeout(const tmout_registry *r) noexcept;

// The same on g_tmreg.
void init_timeout_registry() noexcept;
void set_timeout(int index, long val) noexcept;
void rm_timeout(int index) noexcept;
long get_timeout(int index) noexcept;
long get_min_timeout() noexcept;
