#pragma once
// Source supervision: the time stamps every read and write leaves on a
// source, and what follows from them: whether a task that was down is back
// online (its revival count and error are then cleared), whether a
// datagram task switches from its primary source to the alternate or
// back, and the input and output rate meters of the status report.
#include <cstddef>

#include "rtask.h"

// A source with no read for this long counts as down, ms.
constexpr long MAX_RGAP_MS = 510;
// Floor of the hand-back thresholds, ms.
constexpr long MIN_FLIP_MS = 50;

// Ms since tm's last read (since the clock's origin when never read).
long src_rdown_ms(const src_timers *tm) noexcept;
// While the source reads with gaps under MAX_RGAP_MS: ms from the start of
// its up period to its last read; else -1.
long src_readable_ms(const src_timers *tm) noexcept;
// After each stored datagram of a source ("PRI" or "ALT" as tag): a gap of
// MAX_RGAP_MS or more restarts its up period and marks when it went down.
void set_recovery_rtime(const char *tag, const char *tid, src_timers *tm) noexcept;
// Stamps a read (a write) on tm: last read (write) and last I/O = now, and
// the up period starts now when it had not started.
void set_read_tm(rtask *task, src_timers *tm) noexcept;
void set_write_tm(rtask *task, src_timers *tm) noexcept;
// After a read of len bytes: a task that was down comes back online once
// it has read min_read_online bytes (its error cleared); a task never
// online goes online.  Then the handshake detach check.
void ck_online_flip(rtask *task, size_t len) noexcept;
// Back online since its last suspension or gap (no down time pending) and
// no error text.
bool is_online(const rtask *task) noexcept;
// After output was sent: a revived task earns its revivals back (its
// revival count returns to 0) once it is online and has been for
// src_avail_tmout_ms, so that a task that fails again and again, however
// briefly it comes back between, is removed after max_retries.
void ck_retry_reset(rtask *task) noexcept;
// Switches to the alternate source, on an online task, when the primary
// has been silent for src_down_tmout_ms and the alternate readable for
// src_avail_tmout_ms.
void ck_p2a_flip(rtask *task) noexcept;
// Switches back to the primary when it has been up for half the
// availability time while the alternate has been silent for a third of
// the down time, or up for the whole availability time.
void ck_a2p_flip(rtask *task) noexcept;
// val, but at least dflt_val.
long calc_min_ms(long val, long dflt_val) noexcept;
// Feeds val bytes to a rate meter and refreshes its rate once per update
// period.  Nothing without a report path.
void add_kpsm(const char *tid, kps_metric *k, size_t val) noexcept;
