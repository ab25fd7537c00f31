#pragma once
// The complete log record, private to the log module (and its white-box
// tests): other code only passes &g_log.  The module is three files: the
// lines and the set-up (log.cpp), the destinations a log opens itself with
// rotation and upkeep (logdest.cpp), and the syslog sender (logsys.cpp).
#include <sys/types.h>

#include <cstdio>
#include <ctime>

#include "log.h"

constexpr size_t ROTATED_NAME_MAX = 160;  // a rotated file's name, NUL included

struct ll_status {
    unsigned mod_ll_set : 1;  // all module levels set in one go
    unsigned sec_ll_set : 1;  // all section thresholds set in one go
};

struct rotation_ctx {
    // Full names of the kept rotated files, "" = empty slot.
    char kept[MAX_CYCLIC_ROTATIONS][ROTATED_NAME_MAX];
    time_t last_secs;  // the last rotated name's time and sequence number
    int last_seq;
    ssize_t next_idx;  // next slot to use
    size_t max_idx;    // number of rotated files to keep
    size_t max_total;  // size threshold in bytes, 0 = never
};

// How a stream the log does not own (stderr, a mirror) is written: with
// stdio, or, when it is a pipe, a FIFO, a terminal or a socket that may
// stop reading, by the log itself without ever waiting.
enum std_kind : unsigned char { STD_PLAIN = 0, STD_PIPE = 1, STD_SOCKET = 2 };

// Where the kernel cannot be asked for a write that does not wait on a
// descriptor shared with others (whose file description may block: a FIFO,
// a terminal), the log writes through a non-blocking description of its
// own of the same FIFO or device, opened again through /proc.  It belongs
// to the file the descriptor named when it was opened: the descriptor's
// file is checked before each use, so that a redirection is followed.  A
// switch to another user may forbid opening root's FIFO or terminal, so a
// program opens the ones it needs before it (log_keep_std), and a way
// remembers the file it could not open instead of trying on every line.
struct std_way {
    bool has_own;  // own_fd is open
    int own_fd;
    dev_t dev;     // of the file own_fd was opened for, or refused
    ino_t ino;
    bool refused;  // that file cannot be opened: its lines are dropped
};

// What a way out of the log lost: the lines dropped since the last one
// written, and whether a short write left a line unfinished (the next
// write then ends it first, so that every line, the count's included,
// starts a line of its own).
struct out_state {
    size_t lost;
    bool mid_line;  // the last byte written was not a line end
    bool torn;      // a write stopped there: a line end is owed
};

// A file or a pipe into a command that the log opened itself, or a pipe
// or socket the log writes to without owning it.  Writes never wait: a line
// the destination does not take is dropped and counted, and the count is
// written as a line of its own once writing works again.
struct log_dest {
    int fd;                      // write end; -1 while there is none
    pid_t cmd_pid;               // the pipe's command, 0 when none runs
    dev_t dev;                   // the open file, to notice it was moved
    ino_t ino;
    out_state out;
    struct timespec last_spawn;  // monotonic start of the command
    struct timespec last_check;  // monotonic time of the last upkeep
    bool reopen_due;             // a reopen failed: retried by the upkeep
    bool in_rotation;
    std_kind kind;               // of a stream the log does not own
    std_way way;                 // and its own description, when needed
    FILE *std_fp;                // log_fp's stream over it, when not STD_PLAIN
};

// The mirror stream's way of writing and its losses.
struct log_mirror_out {
    std_kind kind;
    out_state out;
    std_way way;
    FILE *std_fp;  // log_mirror_stream's stream over it, when not STD_PLAIN
};

struct log_ctx {
    char name[LOG_PATHNAME_MAX];  // file path or pipe command; empty for a std stream
    unsigned is_pipe : 1;
    unsigned use_syslog : 1;
    unsigned is_owned : 1;  // a file or pipe of dest; fp is then its stream
    uint32_t time_format;
    FILE *fp;  // the stream lines go to, none: lines are dropped
    FILE *mirror_fp;
    log_mirror_out mirror;
    size_t total_out;  // bytes written since opening, from the file's size then
    ll_status llst;
    rotation_ctx rota;
    pid_t pid;
    n64_tag group;
    bool append_old;
    loghook_cb_t hook_cb;
    void *hook_udata;
    char pfx[LOG_PFX_MAX];
    log_dest dest;
};

struct log_module_ctx {
    bool is_ready;
    char app_tag[128];
};

extern log_module_ctx g_logmod;

// Builds a line of log as log_write would, in buf (size bytes); its length,
// 0 when it cannot be built.
[[gnu::format(printf, 5, 6)]] size_t log_build_line(const log_ctx *log, int level, char *buf,
                                                    size_t size, const char *fmt, ...) noexcept;

// --- destinations (logdest.cpp) ---------------------------------------------------

// Opens the file (log->is_pipe clear) or starts the command (set) and makes
// fp a stream over it; a null or empty path means stderr.  0 or -1.
int dest_open(log_ctx *log, const char *path) noexcept;
// Closes what dest_open opened (a pipe's command is waited for, within a
// bound) or a stream other than stdout and stderr; fp becomes null.
void dest_close(log_ctx *log, bool report) noexcept;
// Writes len bytes holding nlines lines, counting what was written in
// total_out and the lines dropped.  While lines are counted as dropped,
// the "<n> lines dropped" line goes in the same write, ahead of the text:
// both are written or neither.
void dest_put(log_ctx *log, const char *text, size_t len, size_t nlines) noexcept;
// Rotates when the byte count reached the threshold (never in a handler).
void dest_rotate_due(log_ctx *log) noexcept;
// Makes stream the log's, which the log does not own: a pipe or a socket
// is then written without waiting (the lines it does not take at once are
// counted), with a stream for log_fp that takes the same path.  The flags
// of the stream's file description, which the caller may share, stay.
void dest_set_std(log_ctx *log, FILE *stream) noexcept;
// Copies the line to the mirror stream, without waiting when it is a pipe
// or a socket.
void dest_put_mirror(log_ctx *log, const char *text, size_t len) noexcept;
// The kind of stream's descriptor.
std_kind dest_kind(FILE *stream) noexcept;
// Releases the description of its own that the mirror stream may hold.
void dest_drop_mirror(log_ctx *log) noexcept;
// Writes a message of the log about itself (its file, its command, a line
// it cannot build) to stderr as the lines of a log go to a standard
// stream: never waiting, a message stderr does not take at once dropped
// and counted.  A message past 511 bytes is cut there.  errno is kept.
[[gnu::format(printf, 1, 2)]] void log_note(const char *fmt, ...) noexcept;
// Moves a non-empty regular file (not a link to one) to "<path>.<mtime>"
// unless that name is taken; a file that stays is appended to by the caller.  0, E2BIG or -1.
int move_aside(const char *path) noexcept;

// --- syslog sender (logsys.cpp) ---------------------------------------------------

// Sends msg (its line end dropped) at a LOG_LOCAL0 priority; what the
// socket does not take at once is dropped and counted.
void syslog_put(int priority, const char *msg) noexcept;
// Reconnects a lost socket and sends the count of dropped lines.
void syslog_upkeep() noexcept;
// Closes the socket (a later line connects again).
void syslog_close() noexcept;
