#pragma once
// The process log: levelled lines to a file, a pipe or a standard stream,
// with a mirror stream, syslog copies, a hook, and rotation by size.
//
// Every source file that logs declares its module once with LOG_MODULE(n)
// and logs through the log_* macros, which test the level before any
// argument is evaluated.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

#include "lfxtypes.h"
#include "timeop.h"

enum log_level : int {
    MIN_level = -127,
    PANIC_level = -4,
    ERR_level = -3,
    CRIT_level = -2,
    WARN_level = -1,
    NORM_level = 0,
    INFO_level = 1,
    DEBUG_level = 2,
    SECTION_level = 64,
};

constexpr int LL_MAX_MODULES = 128;
constexpr int LL_MAX_SECTIONS = 128;
constexpr int LL_STACK_DEPTH = 8;
constexpr int MAX_CYCLIC_ROTATIONS = 128;
constexpr size_t LOG_PATHNAME_MAX = 128;  // name field, NUL included
constexpr size_t LOG_ERRMSG_MAX = 384;
constexpr size_t LOG_PFX_MAX = 64;

// Log modules of the library's sources; everything else is module 0.
enum log_module : int {
    LM_DEFAULT = 0,
    LM_SYSWRAP = 2,
    LM_RTP = 3,
    LM_FDIO = 4,
    LM_STREAM = 7,
};

// A source file's log module and section.
struct loglevel_ctx {
    int mod;
    int sec;     // -1: none
    int sec_sp;  // top of sec_stack, -1 when empty
    int sec_stack[LL_STACK_DEPTH];
};

extern int g_mod_ll[LL_MAX_MODULES];   // level of each module
extern int g_sec_ll[LL_MAX_SECTIONS];  // threshold of each section

struct log_ctx;  // complete only inside the log module
extern log_ctx g_log;  // the application log
extern log_ctx g_access_log;
extern log_ctx g_stats_log;

using loghook_cb_t = void (*)(void *udata, const char *line);

// --- the level gate ---------------------------------------------------------

#define LOG_MODULE(n) \
    [[maybe_unused]] static loglevel_ctx g_llctx = {(n), -1, -1, {0, 0, 0, 0, 0, 0, 0, 0}}

// True when a message of level lvl from this source file is to be written.
#define LL_ON(lvl)                                                   \
    (g_llctx.sec >= 0 ? g_mod_ll[g_llctx.mod] >= g_sec_ll[g_llctx.sec] \
                      : g_mod_ll[g_llctx.mod] >= (lvl))

#define log_at(lvl, ...)                                 \
    do {                                                 \
        if (LL_ON(lvl)) log_write(&g_log, (lvl), __VA_ARGS__); \
    } while (0)

#define log_panic(...) log_at(PANIC_level, __VA_ARGS__)
#define log_err(...) log_at(ERR_level, __VA_ARGS__)
#define log_crit(...) log_at(CRIT_level, __VA_ARGS__)
#define log_warn(...) log_at(WARN_level, __VA_ARGS__)
#define log_norm(...) log_at(NORM_level, __VA_ARGS__)
#define log_info(...) log_at(INFO_level, __VA_ARGS__)
#define log_dbg(...) log_at(DEBUG_level, __VA_ARGS__)

// --- broken invariants --------------------------------------------------------

// Logs "ASSERT at:\n<backtrace>==\n" at PANIC (when the caller's gate lets
// PANIC through), flushes the log and fails like assert(): the report names
// the expression, file, line and function, and the process aborts.
[[noreturn]] void lfx_assert_fail(const char *expr, const char *file, unsigned line,
                                  const char *func, bool log_it) noexcept;
// Logs "Aborting at:\n<backtrace>==\n" the same way, flushes, abort().
[[noreturn]] void lfx_abort_bt(bool log_it) noexcept;

#define lfx_assert(e) \
    ((e) ? (void)0 : lfx_assert_fail(#e, __FILE__, __LINE__, __func__, LL_ON(PANIC_level)))
#define lfx_abort() lfx_abort_bt(LL_ON(PANIC_level))

// --- set-up ---------------------------------------------------------------------

// Copies up to 127 characters of the application tag; must precede any open.
void glog_init(const char *app_tag) noexcept;
// Writes to stream; for g_log also sets every section threshold to
// SECTION_level unless log_set_sections was called before.
void log_default(log_ctx *log, FILE *stream) noexcept;
// A file or pipe is written a line at a time and never waits: a line it
// does not take (a full pipe, a full disk) is dropped and counted, and
// "<n> lines dropped" is written before the next line it takes, always at
// the start of a line.  So is a stream set by log_default or log_mirror
// that is a pipe or a socket (stderr under a service manager).
//
// Opens a regular file for appending, never through a symbolic link and
// never waiting: anything else at the path but the null device (a FIFO,
// another device) is refused,
// and so is it by the reopens and rotations that follow.  Unless
// log_append_old was called, an existing non-empty file is first moved to
// "<path>.<mtime>" when that name is free.  A null path means stderr.
// 0 or -1.
int log_open(log_ctx *log, const char *path) noexcept;
// Starts "/bin/sh -c command" reading a pipe whose write end the log keeps
// non-blocking.  The program must ignore SIGPIPE (handle_quit_signals
// does): the command may end.  0 or -1.
int log_popen(log_ctx *log, const char *command) noexcept;
// Closes a file or pipe (never stdout or stderr); later lines are dropped.
// A pipe's command gets 1 s to end after its input closed, then SIGTERM,
// 1 s more, then SIGKILL.
void log_close(log_ctx *log) noexcept;
// Opens the log's file again at its path (for SIGHUP, after an outside
// rotation), keeping the old one in use until that worked; a pipe's
// command that ended is started again.  0, or -1 when the open failed
// (the upkeep retries it).  errno is kept.
int log_reopen(log_ctx *log) noexcept;
// To be called by the program's loop at least once a second; does its work
// at most once a second: reopens a file that was moved, deleted or replaced
// at its path (or whose reopen failed), reaps a pipe's command that ended
// and starts it again (at most once a second), writes a pending count of
// dropped lines, and does the same for the syslog copy.  errno is kept.
void log_upkeep(log_ctx *log) noexcept;
// Milliseconds until the upkeep of log is due (0: now), for the loop's
// wait; -1 when the log needs none (no file, pipe or syslog copy).
long log_upkeep_ms(const log_ctx *log) noexcept;
// Copies every line to stream as well (line-buffered).
void log_mirror(log_ctx *log, FILE *stream) noexcept;
FILE *log_mirror_fp(log_ctx *log) noexcept;
// The stream to print a copy on for the mirror: what is printed takes the
// way of the mirror's lines (never waiting on a pipe, a FIFO, a terminal
// or a socket; what it does not take at once is dropped and counted).
// None without a mirror, or when the mirror is the log's own descriptor,
// so that a text printed on log_fp too shows once.
FILE *log_mirror_stream(log_ctx *log) noexcept;
// The stream of the log: what is printed on it for a file or pipe, or a
// standard stream that is a pipe or socket, takes the path of the lines
// (counted, never waiting; it then has no descriptor of its own: see
// log_fd); none after log_close.
FILE *log_fp(log_ctx *log) noexcept;
// The descriptor the lines are written to, -1 when none (also while a
// pipe's command is being restarted).
int log_fd(const log_ctx *log) noexcept;
void log_timefmt(log_ctx *log, uint32_t flags) noexcept;
void log_set_pid(log_ctx *log, pid_t pid) noexcept;  // <= 0: none
pid_t log_get_pid(log_ctx *log) noexcept;
void log_set_group(log_ctx *log, uint64_t group) noexcept;  // an n64_tag, 0: none
uint64_t log_get_group(log_ctx *log) noexcept;
// Copies up to 63 characters; null or empty clears the prefix.
void log_set_pfx(log_ctx *log, const char *pfx) noexcept;
// Rotate when the output reaches max_total bytes (0: never), keeping
// max_files rotated files (0 or >= 128 means 16).
void log_set_rota(log_ctx *log, size_t max_total, size_t max_files) noexcept;
size_t log_rota_maxsize(log_ctx *log) noexcept;
size_t log_rota_maxfiles(log_ctx *log) noexcept;
// Moves the file to "<name>.<now>", or "<name>.<now>.<n>" with the least n
// from 1 that is free, and opens the name anew; the keep list holds the
// full names.  A rename that fails cancels the rotation (ERR line, writing
// goes on in the current file).  0, or -1 for a standard stream, a pipe,
// an over-long name or a failed reopen (lines then go on into the rotated
// file until the upkeep reopens the name).
int log_rotate(log_ctx *log) noexcept;
void log_append_old(log_ctx *log) noexcept;
void log_set_hook(log_ctx *log, void *udata, loghook_cb_t hook) noexcept;
// Writes text to fd, a stream no log owns (a starter's standard error), as
// a log writes its standard error: a pipe or a socket only when it takes the
// text at once (at most PIPE_BUF bytes of it), never waiting; what it does
// not take is dropped.  What was written, -1 when nothing was.
// Through a description of its own kept from log_copy_hold(fd) on, where
// a FIFO or a terminal needs one.
ssize_t log_copy_to(int fd, const char *text, size_t len) noexcept;
// Opens now what log_copy_to needs to write fd without waiting (before a
// switch to another user, who may not open fd's FIFO or terminal), and
// keeps it until the next call; -1 releases it.  errno is kept.
void log_copy_hold(int fd) noexcept;
// Opens now, and keeps, the descriptions of its own that writing standard
// error, and log's standard stream and mirror, without waiting need where
// they are FIFOs or terminals: to be called before a switch to another
// user, who may no longer open root's FIFO or terminal.  (A line that
// cannot be written without waiting is dropped and counted.)  errno is
// kept.
void log_keep_std(log_ctx *log) noexcept;
// Writes a message to standard error as the log writes its lines there:
// formatted into a bounded buffer (a message past 2047 bytes is cut there,
// with a line end), never waiting; what standard error does not take at
// once is dropped, and "<n> lines dropped" goes out with the next message
// taken.  For what a program says on standard error once it starts.
// errno is kept.
[[gnu::format(printf, 1, 2)]] void log_stderr(const char *fmt, ...) noexcept;
void log_set_modules(log_ctx *log, int level) noexcept;
void log_set_sections(log_ctx *log, int level) noexcept;
// Copies lines below NORM to syslog under app_name (LOG_LOCAL0, with the
// pid), sent without waiting on /dev/log: what the socket does not take is
// dropped and counted, and "<n> lines dropped" sent once it takes lines
// again.
void glog_enable_syslog(const char *app_name) noexcept;
void glog_disable_syslog() noexcept;

// --- levels -------------------------------------------------------------------------

// Level name (any case) to number; -1 and *level untouched when unknown.
int match_log_level(const char *name, int *level) noexcept;
const char *log_level_str(int level) noexcept;
// The variable's decimal value; dflt when absent or not a number.
int read_level_env(const char *var, int dflt) noexcept;

// --- writing ------------------------------------------------------------------------

// Builds one line (no allocation) and writes it; a line that would pass
// 2046 characters is dropped, never cut.
[[gnu::format(printf, 3, 4)]] void log_write(log_ctx *log, int level, const char *fmt,
                                             ...) noexcept;

// --- backtraces and time stamps ---------------------------------------------------------

// The call stack, one "#<n>: <symbol>\n" line a frame, cut at the buffer's
// end.  0 or -1.
int btrace_to_buf(char *buf, size_t size) noexcept;
// The formatted text followed by the call stack.  0 or -1.
[[gnu::format(printf, 3, 4)]] int snprintf_btrace(char *buf, size_t size, const char *fmt,
                                                  ...) noexcept;
// The time-stamp text of a log line; its length, -1 when it does not fit,
// -35 when called again while a conversion is running (a signal handler).
int mk_timestr(const struct timespec *tm, uint32_t flags, char *buf, size_t size) noexcept;
// Reads a time stamp back; the number of fields read or -1.
int scan_log_time(const char *text, struct timespec *tm, uint32_t flags) noexcept;
