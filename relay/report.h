#pragma once
// The JSON status report: every task with its state and traffic counters,
// for monitoring.  The file is always replaced whole: written to a new
// temporary file "tvr<pid>.<seconds>.<6 random characters>" in the
// report's directory, created exclusively (never through a planted link),
// then renamed over the report path, so a reader never sees half a report.
// Text values are JSON-escaped: client ids and URLs come from clients.
#include <cstddef>
#include <cstdio>

#include "xvdat.h"

// Longest temporary path (characters).
constexpr size_t TREP_MAX_TMPPATH = 127;
// The report's mode (less the umask).
constexpr unsigned TREP_FILE_MODE = 0644;
// The stream buffer of one write: few system calls, no allocation.
constexpr size_t TREP_BUFSZ = 262144;

// Writes the report of the tasks of task_list (rtask slots) to path; both
// are required (assert).  0 when the report is in place; 34 (ERANGE) when
// the temporary path is empty or too long; -1 when the temporary file
// cannot be created, or a write, the close or the rename fails (the
// temporary file is then removed and the previous report stays).
int report_tasks_json(const char *path, xvlst *task_list) noexcept;
// The opening lines: brace, report time, pid, task count and, with tasks,
// the start of the task list.
void dump_header_json(FILE *fp, size_t count) noexcept;
// The closing lines: the end of the task list (with tasks) and the brace.
void dump_footer_json(FILE *fp, size_t count) noexcept;

// Where dump_task_json writes and how many tasks it has written.
struct trep_walk {
    FILE *fp;
    size_t count;
};
// Slot callback of the task-list walk (aux: a trep_walk): writes the
// task's line and counts it.  0.
int dump_task_json(void *data, size_t index, void *aux) noexcept;
