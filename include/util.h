#pragma once
// Process control for daemons: detaching, the pid file and its lock, user
// and directory switches, core dumps, CPU pinning, resource limits, output
// redirection and the quit signals; plus small file and text helpers.
//
// Unless a contract says otherwise, failures are logged at ERR and errno is
// the failing call's on return.
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <sys/types.h>

#include "lfxtypes.h"

// create_pidfile_extra flags.
enum cpfx_flags : int {
    CPFX_HUSH = 1,  // short "already running" line, no closing success/failure line
};

// The largest file file_to_dest sends (one datagram).
constexpr size_t FILE_TO_DEST_MAX = 1400;
// create_tmp_file: the random characters at the end of a template, and the
// names tried before it gives up.
constexpr size_t TMPFILE_XS = 6;
constexpr int TMPFILE_ATTEMPTS = 100;

using sig_handler_t = void (*)(int);

// --- the daemon's life ----------------------------------------------------------

// Detaches into the background: fork (the parent exits 0), setsid, chdir
// "/", umask 022, fork again (the parent exits 0).  Descriptors 0, 1 and 2
// are pointed at /dev/null, so files opened later never take them; a log
// writing to descriptor 0-2 is moved to a private copy of the old stderr,
// which a later log_open replaces.  0 in the final child, -1 on failure
// (a failed first fork leaves the caller in the foreground).
int daemonize() noexcept;

// Creates (or reuses) the pid file at fpath, takes a write lock on it
// without waiting and writes pid in decimal, no line end; the descriptor
// and the lock stay with the process for its whole life.  *inode (when
// given) gets the file's inode.  0, or -1 (a lock held elsewhere included,
// the file then left as it was; a path that is a symbolic link, ELOOP, or
// names anything but a regular file with one link of this process's
// user, EPERM, is refused untouched).  A null path or pid <= 0 asserts.
int create_pidfile_extra(const char *fpath, pid_t pid, ino_t *inode, int flags) noexcept;

// At most every 10 seconds (*last_time + 9 < now): without a remembered
// *inode creates the pid file for this process (CPFX_HUSH) and remembers
// its inode; with one, checks the file still has it.  0; -1 for another
// inode or a failed creation; errno of a failed stat.
int mensure(const char *path, ino_t *inode, time_t *last_time) noexcept;

// "dir/app-strid.pid" (numid < 0), "dir/app-stridNUMID.pid", or without a
// text id (null or empty) "dir/app-NUMID.pid", into buf.  buf, or null when
// dir is not writable or the name does not fit.
char *mk_pidfile_name(const char *dir, const char *app, const char *strid, long numid, char *buf,
                      size_t buflen) noexcept;

// --- identity and working directory -------------------------------------------------

// Switches to the named user (getpwnam, then run_as_user_id).  0 or -1.
int run_as_user(const char *user) noexcept;
// Drops supplementary groups to gid alone (when running as root), then
// setgid(gid) and setuid(uid).  0 or -1 (not logged).
int run_as_user_id(uid_t uid, gid_t gid) noexcept;
// chdir(saved); when saved is null, or the user may not enter it (EPERM,
// EACCES), chdir to the effective user's home directory instead.  0 or -1.
int goto_runtime_dir(const char *saved) noexcept;

// --- limits, CPU, priority ------------------------------------------------------------

// Makes the process dumpable and lifts both core-size limits to unlimited;
// *old (when given) gets the limits found.  0, or non-zero on failure.
int set_unlimited_core(struct rlimit *old) noexcept;
// Pins the process to CPU cpunum (0..1023; any other value gives an empty
// set, which fails).  sched_setaffinity's result: 0 or -1.
int pin2cpu(int cpunum) noexcept;
// Sets the soft limit of resource lid to new_lim, logging tag.  0 or -1.
int set_limit(int lid, rlim_t new_lim, const char *tag) noexcept;
// Both set the address-space limit (RLIMIT_AS); 0 or -1.
int set_vmem_limit(rlim_t new_lim) noexcept;
int set_rss_limit(rlim_t new_lim) noexcept;
// set_rss_limit(rss) when rss != 0, else set_vmem_limit(vmem) when vmem
// != 0, else nothing.  0 or -1.
int set_mem_limits(rlim_t rss, rlim_t vmem) noexcept;
// Adds niceval to the nice value.  0 or -1.
int set_nice(int niceval) noexcept;

// Points descriptors 1 and 2 at the existing file dst_path.  0; -1 when it
// cannot be opened (no descriptor touched); -2 / -3 when duplicating onto
// 1 / 2 fails (errno of the failed dup2).
int redirect_output(const char *dst_path) noexcept;

// --- signals -----------------------------------------------------------------------------

// Installs handle_quit for SIGTERM, SIGQUIT and SIGINT, empty mask, no
// flags (interrupted calls fail with EINTR), and ignores SIGPIPE: a peer or
// a log command that goes away makes writes fail with EPIPE instead of
// ending the process.  0, or -1 at the first failure.
int handle_quit_signals(sig_handler_t handle_quit) noexcept;
// The quit handler: g_quit, g_goodbye too for SIGTERM and SIGINT, inside
// g_sigctx; errno is left as it was.  It writes nothing: its "QUIT-SIG(n)"
// line is written later by log_caught_signals.
void on_sigquit(int signo) noexcept;
// Installs handler for signum like handle_quit_signals.  0 or -1.
int handle_sig(int signum, sig_handler_t handler) noexcept;
// SIGPIPE ignored: writes to a vanished peer fail with EPIPE.  0 or -1.
int ignore_sigpipe() noexcept;
// Set g_hup / g_usr1 inside g_sigctx; errno is left as it was.  Their
// "SIGHUP(n) " and "SIGUSR1(n) " lines wait for log_caught_signals.
void on_sighup(int signo) noexcept;
void on_sigusr1(int signo) noexcept;
// Writes (NORM) the line of each signal the handlers above caught since the
// last call, once per signal number however often it came.  Normal flow
// only (nothing from a handler, g_sigctx set); the event loop calls it after
// every wait, and every log line and log_close call it first, so no caught
// signal goes unreported.  errno is kept.
void log_caught_signals() noexcept;
// The descriptor the handlers above write 8 bytes to after they set their
// flag (an event loop's eventfd, -1 for none), so that a signal that lands
// after the loop looked at the flags but before it waits still ends the
// wait.
void set_signal_wake_fd(int fd) noexcept;
// Makes the next getopt_long scan the command line from its start.
void reset_getopt_state() noexcept;

// --- files and text ------------------------------------------------------------------------

// The part of path behind the last '/' (all of it when there is none).
const char *get_base(const char *path) noexcept;
// "newdir/<base of path>" (just the base when newdir is null or empty) in
// buf; buf, or null when it does not fit.
char *replace_dir(const char *path, const char *newdir, char *buf, size_t size) noexcept;
// *mode = fstat's st_mode of fd; a failed fstat is logged and aborts.
void get_stat_mode(int fd, mode_t *mode) noexcept;
// The modification time of path, or -1 (logged unless quiet).
time_t get_file_mtime(const char *path, bool quiet) noexcept;
// *tm = the current modification time of path (-1 on failure); true when it
// is later than the *tm given.
bool chk_file_updated(const char *path, time_t *tm) noexcept;
// "FILE", "FIFO", "CHR", "DIR", "BLK", "LINK", "SOCK", or "{???}".
const char *fmode_str(mode_t mode) noexcept;
// Opens name in the first of dirs (up to count, or a null entry) where
// fopen succeeds; path gets the full name.  The stream, or null: errno
// E2BIG when a joined name does not fit path, else path empty.
FILE *fopen_any(const char *name, const char *mode, size_t count, const char *const *dirs,
                char *path, size_t size) noexcept;
// The last character of text, '\0' for an empty one.
char lastchar(const char *text) noexcept;
// The first of count paths (null entries skipped) that exists, or null.
const char *pick_first_file(const char *const *paths, size_t count) noexcept;
// Position of name in the null-ended list (case ignored), or -1.
int tag_index(const char *name, const char *const *list) noexcept;
// Closes each non-negative descriptor of fds (W_close).  0, or the first
// failure.
int close_pipe(const int fds[2]) noexcept;
// Copies text up to its first character of delims, cut to size - 1
// characters, NUL-terminated.  buf.
char *cpy_till(const char *text, const char *delims, char *buf, size_t size) noexcept;
// Reads the whole file into buf.  Its length; -7 when it is larger than
// size; -1 for any other failure (a read short of the file's size included).
ssize_t read_file_buf(const char *path, void *buf, size_t size) noexcept;
// Sends the file (at most FILE_TO_DEST_MAX bytes) as one UDP datagram to the
// numeric address addr:port.  0, or -1 unless every byte was sent.
int file_to_dest(const char *addr, int port, const char *path) noexcept;
// Creates every missing directory of fpath's directory part, mode 0755.
// 0, or -1 (errno of the failed mkdir; ENAMETOOLONG for a path too long).
int mk_fpath_dirs(const char *fpath) noexcept;
// Replaces the trailing "XXXXXX" of tmpl with random letters and digits and
// creates that file exclusively (write-only, close-on-exec, never through a
// link: O_CREAT|O_EXCL|O_NOFOLLOW) with mode less the umask, trying another
// name while one is taken, at most TMPFILE_ATTEMPTS times.  The descriptor
// (the name in tmpl), or -1 not logged: EINVAL when tmpl does not end in
// XXXXXX, EEXIST when every name tried was taken, else the open's errno.
int create_tmp_file(char *tmpl, mode_t mode) noexcept;
// Opens (creating, mode 0600) the shared-memory object "/<pfx><num>.lfxlock",
// its name left in buf, and takes a write lock on it.  The descriptor, or
// -1 (silently when another process holds the lock).
int setup_xtr_zstat(const char *pfx, unsigned num, char *buf, size_t size) noexcept;
// Exactly three letters and a NUL.
bool is_valid_tag32(n32_tag tag) noexcept;
// A letter, one or more letters or digits, and a NUL within the 8 bytes.
bool is_valid_tag64(n64_tag tag) noexcept;
// Rewrites the first 8 bytes of path in place, so updating its mtime.
// 0; errno of a failed open; -7 when fewer than 8 bytes could be read; -34
// for a failed seek; -22 for a failed or short write.
int touch_write_file(const char *path) noexcept;
