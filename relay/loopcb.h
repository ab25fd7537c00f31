#pragma once
// The daemon's side of the event loop: the callback table it hands to the
// loop once, the wait time, the read, write and error dispatch by the tag
// at the start of each registered context ("OPX" task operations and the
// agent socket, "Rsc" listeners, "URQ" client requests, "RSV" finished
// name look-ups), the idle work,
// the post-processing after every turn (queued suspensions and removals,
// queued requests, the status report) and the revival of suspended tasks.
#include <ctime>

#include "rqs.h"

// The table of the daemon's callbacks; the loop keeps running with no
// descriptor registered.
extern const rqs_config g_tavel_rqs;

// Writes the wait before the next turn: the smallest held time-out of the
// registry, shortened to the gap to the next delay; any pending delay
// bounds the wait, and a due one makes it 0; the log's upkeep bounds it
// to a second, a forced report refresh to its due time.  No limit
// (tv_sec -1) when none of them holds anything.
void upd_tmout(struct timespec *tmout) noexcept;
// The log's turn: SIGHUP reopens the log file, SIGUSR1 is only logged (by
// the loop), and the upkeep of log_upkeep runs when due.
void tend_log() noexcept;
// The log's turn, idle sweeps of tasks and requests, then the due
// revivals.  0.
int do_idle_tasks() noexcept;
// Dispatch by tag; the handler's result.  An unknown tag is a broken
// invariant (ERR, backtrace, abort).
int on_read(int fd, int flags, void *udata, void *aux) noexcept;
int on_write(int fd, int flags, void *udata, void *aux) noexcept;
int on_error(int fd, int flags, void *udata, void *aux) noexcept;
// Queued task work, queued requests, then the report when due.  0.
int on_pp() noexcept;
// Ms until a forced refresh of the status report is due (0: due now), -1
// without a forced refresh.
long report_due_ms() noexcept;
// Rewrites the status report when it is due (only in the post-processing
// that follows the idle callback).  A failed write leaves the report out
// of date, and the next due time tries again.
void dump_reports() noexcept;
// Delay expiry of a suspended task (udata: the task record): revives it.
// 0; on failure the error, and the task is queued as after any failure:
// suspended again while its retries last, else removed.
int revive_task(void *udata, void *aux) noexcept;
