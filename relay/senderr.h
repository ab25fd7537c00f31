#pragma once
// Send errors at a task's destination, on both relay paths.  An error that
// says "not now" (EAGAIN, EWOULDBLOCK, ENOBUFS, EINTR) keeps the datagram
// for the next write event; any other says "never": the datagram is
// dropped and counted (errctx.n_out_dropped) and the task goes on with its
// source, so that a destination that refuses every send costs neither a
// reconnection to the source nor a log line per datagram.
//
// The lines follow the rule for errors that repeat: a send error is logged
// at once when the task's last such line is a second old or more (the
// first one always is), else only counted; each line carries the
// datagrams dropped since the line before.  When sends pass again, the
// drops not reported yet get a line of their own by the same rule.
// Network-down errors (ENETDOWN, ENETUNREACH) keep their own rule
// besides: after MAX_NETDOWN_SHOWN in a row ("network is down") their
// lines stop until a send passes ("network is up").
#include <cstddef>
#include <cstdint>

#include "rtask.h"

// Consecutive network-down send failures that are still logged.
constexpr uint64_t MAX_NETDOWN_SHOWN = 6;
// Least time between two send-error lines of a task, ms.
constexpr long SEND_ERR_LINE_MS = 1000;

// True for the errors after which the same send may pass later.
bool is_transient_send(int err) noexcept;
// Counts a network-down send failure (ENETDOWN, ENETUNREACH) and tells
// whether its log line is to be left out; false for any other error.
bool must_supress_netdown(rtask *task, int err) noexcept;
// A send went through: the network-down count restarts.
void clear_netdown(rtask *task) noexcept;

// A send to the task's destination failed with err; `dropped` datagrams
// (0 for one that waits) are counted as dropped.  fn and tag (the source,
// "PRI" or "ALT") name the step in the line
//   "<fn>: [<tag>] sendto(fd<outfd>,...) ERROR(<err>): <text>; <n> dropped since the last line"
// which is written by the rule above.
void send_err_note(rtask *task, const char *fn, const char *tag, int err,
                   uint64_t dropped) noexcept;
// A send to the task's destination passed: ends a network-down run
// (clear_netdown) and reports drops not logged yet, by the rule above.
// Costs one test while no error is pending.
void send_err_clear(rtask *task, const char *fn, const char *tag) noexcept;
// The same rule for another line that repeats: true when none was written
// yet (*line_tm zero) or the last one is SEND_ERR_LINE_MS old, and then
// *line_tm is stamped with the loop's clock, for the line the caller
// writes now; false otherwise (the caller only counts).
bool repeat_line_due(struct timespec *line_tm) noexcept;
