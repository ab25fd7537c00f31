#pragma once
// The static task list: a text file of tasks created at start-up, before
// any client connects and before the route list is loaded, exactly as a
// control request would create them but without a keep-alive link.
//
// One task a line of at most TL_MAX_LINE characters (line end excluded):
//   source[|alternate] <sep> destination [<sep> options]
// where each <sep> is one tab or one space.  Lines beginning with '#' are
// comments.  Options without ';' are the client id; with ';' they are
// items OPKT=[letter]size, TTL=n and CID=id (keys in any case).
#include <cstddef>

#include "rtask.h"

constexpr size_t TL_MAX_LINE = 127;
// Bounds of an OPKT size.
constexpr size_t TL_MIN_OPKT = 1500;
constexpr size_t TL_MAX_OPKT = 5000;

// One parsed line; the texts point into the line.
struct task_line {
    const char *src;
    const char *alt;  // null when none
    const char *dst;
    const char *cid;  // null when none
    task_options opt;
};

// Reads the file at path and creates its tasks with add_task.  0 when
// every line made a task; -1 when the file cannot be opened or read, or a
// line is malformed, too long or holds a NUL (the file and line named);
// otherwise add_task's result.  Loading stops at
// the first failure; the tasks of earlier lines remain.
int load_tasks(const char *path) noexcept;
// Splits one line (line end included or not) in place into *tl.  0, or -1
// (ERR) when it has no destination.  Comment lines are the caller's.
int parse_task_line(char *line, task_line *tl) noexcept;
// Parses the options field into *options (zeroed by the caller); returns
// the client id (into text) or null.
char *parse_rest(char *text, task_options *options) noexcept;
// Parses one OPKT value: an optional letter into dalign, a size of
// 1500..5000 into max_outpkt (any other is refused, ERR, and max_outpkt
// kept).
void parse_opkt(const char *text, task_options *options) noexcept;
