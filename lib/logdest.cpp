// The destinations a log opens itself: a file, or a pipe into a shell
// command.  Lines are written with one write(2) each and never wait: a
// file or a command that does not take a line loses it, the loss is
// counted, and "<n> lines dropped" is written with the next line that gets
// through.
// The upkeep, called about once a second by the program's loop, reopens a
// file that was moved, deleted or replaced (or whose reopen failed), and
// reaps and restarts a pipe's command that ended.
#include "log.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstring>

#include "app.globals.h"
#include "log_impl.h"

LOG_MODULE(LM_DEFAULT);

extern char **environ;

namespace {

constexpr mode_t LOG_FILE_MODE = 0644;
// Period of the upkeep, which is also the least gap between two starts of
// a pipe's command.
constexpr long UPKEEP_MS = 1000;
// At close, a pipe's command gets this long to end after its input closed,
// as long again after SIGTERM, and CMD_KILL_MS after SIGKILL.
constexpr long CMD_EXIT_MS = 1000;
constexpr long CMD_KILL_MS = 500;
constexpr long REAP_POLL_MS = 10;
// Rotated names tried within one second: "<name>.<secs>", then ".1" on.
constexpr int UNIQUE_NAMES = 1000;
// Room for a "<n> lines dropped" line: prefix, time, pid, tags and count.
constexpr size_t NOTICE_MAX = 256;
// The longest message of the log about itself (log_note).
constexpr size_t NOTE_MAX = 512;
// What log_fp's stream hands on in one write.  With a line end and a count
// in front it stays below PIPE_BUF, the most a pipe with room is sure to
// take without waiting.
constexpr size_t STREAM_PIECE = 2048;
static_assert(1 + NOTICE_MAX + STREAM_PIECE <= PIPE_BUF);

bool is_std_stream(FILE *fp) { return fp == stdout || fp == stderr; }

struct timespec mono_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now;
}

// Milliseconds from then to now; "never" (a zero time) is long ago.
long ms_since(const struct timespec &then, const struct timespec &now)
{
    if (then.tv_sec == 0 && then.tv_nsec == 0) return LONG_MAX;
    return (now.tv_sec - then.tv_sec) * 1000 + (now.tv_nsec - then.tv_nsec) / 1000000;
}

// open_log_fd's results for a path that names something other than a
// regular file, and for a regular file that is not the daemon's own.
constexpr int NOT_REGULAR = -2;
constexpr int NOT_OWN = -3;

bool is_null_device(const struct stat &st)
{
    return S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

// Appends to path, creating it with the log's own mode (less the daemon's
// umask, which leaves nobody else write).  Never through a symbolic
// link (the file may be reopened while the daemon runs, long after an
// operator looked at the path); close-on-exec, so that no child inherits it.
// Only a regular file is taken (or the null device, a log thrown away), and
// the open never waits: a FIFO planted at the path would block an open for
// writing until someone reads it, and another device is not opened at all.
// The file must be the process's own, as the pid file must: owned by the
// effective user and with one link.  Another user's file (an empty one
// left in a directory everybody may write) is that user's to rewrite, and
// a second link (planted after a rotation) would have the daemon append
// to whatever file it names.  The descriptor; -1 with errno, NOT_REGULAR,
// or NOT_OWN (what was found in *found).
int open_log_fd(const char *path, struct stat *found)
{
    auto fits = [](const struct stat &st) { return S_ISREG(st.st_mode) || is_null_device(st); };
    struct stat &st = *found;
    if (lstat(path, &st) == 0 && !fits(st) && !S_ISLNK(st.st_mode)) return NOT_REGULAR;
    // What was swapped in after the look is caught by fstat.
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY |
                                  O_NONBLOCK,
                        LOG_FILE_MODE);
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0 || !fits(st)) {
        close(fd);
        return NOT_REGULAR;
    }
    if (!is_null_device(st) && (st.st_uid != geteuid() || st.st_nlink != 1)) {
        close(fd);
        return NOT_OWN;
    }
    return fd;
}

// Says on stderr that fn could not reopen the log's path (open_log_fd gave
// rc, errno err, what it found in st) and that the upkeep retries.
void note_reopen_failed(const char *fn, const log_ctx *log, int rc, int err,
                        const struct stat &st)
{
    if (rc == NOT_REGULAR)
        log_note("%s: cannot reopen [%s], not a regular file - retrying\n", fn, log->name);
    else if (rc == NOT_OWN)
        log_note("%s: cannot reopen [%s], not a file of its own (uid %lu, %lu links) - "
                 "retrying\n",
                 fn, log->name, (unsigned long)st.st_uid, (unsigned long)st.st_nlink);
    else
        log_note("%s: cannot reopen [%s], ERROR(%d): %s - retrying\n", fn, log->name, err,
                 strerror(err));
}

// Makes fd the log's file, closing the one before: its identity is kept
// for the upkeep and the byte count starts from its size.
void adopt_file(log_ctx *log, int fd)
{
    log_dest &d = log->dest;
    if (d.fd >= 0 && d.fd != fd) close(d.fd);
    d.fd = fd;
    d.dev = 0;
    d.ino = 0;
    // A line the old file tore stays torn there; the count goes on.
    d.out.mid_line = d.out.torn = false;
    log->total_out = 0;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        d.dev = st.st_dev;
        d.ino = st.st_ino;
        log->total_out = size_t(st.st_size);
    } else {
        log_err("%s: fstat(%s) ERROR(%d): %s\n", "do_open", log->name, errno, strerror(errno));
    }
}

// Starts "/bin/sh -c command" reading a new pipe, whose write end becomes
// the log's, non-blocking.  Both ends are close-on-exec, so no other child
// (a later command included) holds the pipe open; the command gets its own
// process group (a terminal's ^C reaches the daemon, which then closes the
// log itself) and SIGPIPE back at its default.  0, or -1 with errno.
int start_command(log_ctx *log, const char *command)
{
    log_dest &d = log->dest;
    d.last_spawn = mono_now();
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t at;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&at);
    // dup2 onto 0 clears close-on-exec, also when the read end is 0 itself.
    posix_spawn_file_actions_adddup2(&fa, p[0], STDIN_FILENO);
    sigset_t dflt, none;
    sigemptyset(&dflt);
    sigaddset(&dflt, SIGPIPE);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&at, &dflt);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setpgroup(&at, 0);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK |
                                      POSIX_SPAWN_SETPGROUP);
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/bin/sh", &fa, &at, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    close(p[0]);
    if (rc != 0 || fcntl(p[1], F_SETFL, O_NONBLOCK) != 0) {
        const int err = rc ? rc : errno;
        close(p[1]);
        errno = err;
        return -1;
    }
    d.fd = p[1];
    d.cmd_pid = pid;
    d.out.mid_line = d.out.torn = false;
    return 0;
}

// Reaps pid within ms; true when it ended (or is no child of ours).
bool reap_within(pid_t pid, long ms)
{
    const struct timespec start = mono_now();
    for (;;) {
        int status;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return true;
        if (ms_since(start, mono_now()) >= ms) return false;
        struct timespec nap = {0, REAP_POLL_MS * 1000000};
        nanosleep(&nap, nullptr);
    }
}

void signal_command(pid_t pid, int sig)
{
    if (kill(-pid, sig) != 0) kill(pid, sig);
}

// Closes the pipe and waits, within bounds, for the command to end: it
// gets its end of input, then SIGTERM, then SIGKILL.
void stop_command(log_ctx *log, bool report)
{
    log_dest &d = log->dest;
    if (d.fd >= 0) close(d.fd);
    d.fd = -1;
    const pid_t pid = d.cmd_pid;
    d.cmd_pid = 0;
    if (pid <= 0 || reap_within(pid, CMD_EXIT_MS)) return;
    signal_command(pid, SIGTERM);
    if (reap_within(pid, CMD_EXIT_MS)) return;
    signal_command(pid, SIGKILL);
    if (!reap_within(pid, CMD_KILL_MS) && report)
        log_note("%s: log command [%s] (pid %ld) does not end\n", "log_close", log->name,
                long(pid));
}

// The stream that log_fp hands out for a file or a pipe: what is printed on
// it takes the same path as the lines, counted and never waiting.
ssize_t stream_write(void *cookie, const char *buf, size_t size)
{
    auto *log = static_cast<log_ctx *>(cookie);
    const int err = errno;
    // In pieces that a pipe takes whole when it has room at all.
    for (size_t at = 0; at < size;) {
        const size_t n = std::min(size - at, STREAM_PIECE);
        size_t lines = 0;
        for (size_t i = at; i < at + n; ++i) lines += buf[i] == '\n';
        dest_put(log, buf + at, n, lines ? lines : 1);
        at += n;
    }
    dest_rotate_due(log);
    errno = err;
    // All of it, also what was dropped: the loss is counted here, and a
    // short count would only put the stream into its error state.
    return ssize_t(size);
}

FILE *open_stream(log_ctx *log, cookie_write_function_t *write_fn = stream_write)
{
    const cookie_io_functions_t fns = {nullptr, write_fn, nullptr, nullptr};
    FILE *fp = fopencookie(log, "w", fns);
    if (fp) setvbuf(fp, nullptr, _IONBF, 0);
    return fp;
}

// The stream of log_mirror_stream over a mirror the log writes itself.
ssize_t mirror_stream_write(void *cookie, const char *buf, size_t size);

// Writes the parts in one call (on a pipe, up to PIPE_BUF bytes go in
// whole or not at all); counts what was written and returns it, -1 when
// nothing was.  A pipe whose reader is gone is closed at once, so that the
// lines until the upkeep restarts the command cost no system call.
ssize_t write_parts(log_ctx *log, const struct iovec *iov, int cnt)
{
    log_dest &d = log->dest;
    if (d.fd < 0) return -1;
    ssize_t n;
    int tries = 0;
    do n = writev(d.fd, iov, cnt);
    while (n < 0 && errno == EINTR && ++tries < 3);
    if (n > 0) log->total_out += size_t(n);
    if (n < 0 && errno == EPIPE) {
        close(d.fd);
        d.fd = -1;
    }
    return n;
}

void way_release(std_way *way)
{
    if (way->has_own) close(way->own_fd);
    *way = std_way{};
}

// The ways that writing standard error needs apart from those of a log:
// the messages of the log about itself and log_stderr's lines (descriptor
// 2), and log_copy_to's descriptor.
std_way g_err_way;
std_way g_copy_way;

// A non-blocking description of fd's pipe or device that leaves the flags
// of fd's own description (which others may share) alone; -1 when none can
// be had (no /proc, or a FIFO or a terminal the process may no longer open
// after a switch to another user).
int open_own(int fd)
{
    char path[40];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    return open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

bool way_is_for(const std_way &w, const struct stat &st)
{
    return w.dev == st.st_dev && w.ino == st.st_ino;
}

// A copy of the description of its own that another way holds for the
// same file: a FIFO or a terminal opened while the process could still
// open it serves every descriptor of it, and a copy needs no permission.
// -1 when no way holds one.
int copy_of_kept(const std_way *mine, const struct stat &st)
{
    const std_way *kept[] = {&g_err_way, &g_copy_way, &g_log.dest.way, &g_log.mirror.way};
    for (const std_way *w : kept)
        if (w != mine && w->has_own && way_is_for(*w, st))
            return fcntl(w->own_fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    return -1;
}

// The way's own description of fd's present file (st), opened (or copied
// from another way) when fd names another file than the one the way holds
// one for.  The file that cannot be opened is remembered, so that it is
// not tried again until fd names another one; a shortage of descriptors
// or memory is tried again.  -1 when there is none.
int way_fd(std_way *way, int fd, const struct stat &st)
{
    if (way_is_for(*way, st) && (way->has_own || way->refused))
        return way->has_own ? way->own_fd : -1;
    way_release(way);
    int own = copy_of_kept(way, st);
    if (own < 0) own = open_own(fd);
    if (own >= 0) {
        *way = {true, own, st.st_dev, st.st_ino, false};
        return own;
    }
    if (errno != EMFILE && errno != ENFILE && errno != ENOMEM && errno != EINTR)
        *way = {false, -1, st.st_dev, st.st_ino, true};
    return -1;
}

// Writes the parts in one call to a pipe, device or socket the log does
// not own, never waiting and never touching the flags of its file
// description, which the process that started the program (or another
// writer of the same pipe) may share: a socket is sent MSG_DONTWAIT, a
// pipe is written with RWF_NOWAIT (a pipe with room takes up to PIPE_BUF
// bytes whole, and the parts are never more), and a regular file that the
// descriptor came to name meanwhile is written as it is.  Where the kernel
// does not know RWF_NOWAIT for the file (a FIFO, a terminal), the write
// goes through a non-blocking description of the log's own, kept in way.
// Where none can be had, nothing is written: a write on the shared
// description could wait.  What was written, -1 when nothing was.
ssize_t write_std(int fd, std_kind kind, const struct iovec *iov, int cnt, std_way *way)
{
    if (kind == STD_SOCKET) {
        struct msghdr m = {};
        m.msg_iov = const_cast<struct iovec *>(iov);
        m.msg_iovlen = size_t(cnt);
        const ssize_t n = sendmsg(fd, &m, MSG_DONTWAIT | MSG_NOSIGNAL);
        // The descriptor may since have been pointed elsewhere.
        if (n >= 0 || errno != ENOTSOCK) return n;
    }
    const ssize_t n = pwritev2(fd, iov, cnt, -1, RWF_NOWAIT);
    if (n >= 0) return n;
    const int err = errno;
    // The descriptor may since have been pointed at a regular file, which
    // takes the line without waiting for anybody (and whose position a
    // description of the log's own would not share).
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) return writev(fd, iov, cnt);
    if (err != EOPNOTSUPP && err != EINVAL && err != ENOSYS) {
        errno = err;
        return -1;
    }
    const int own = way_fd(way, fd, st);
    if (own < 0) {
        errno = EAGAIN;
        return -1;
    }
    return writev(own, iov, cnt);
}

// Opens the way's description of fd's file now, when fd is a FIFO or a
// device (a pipe that the kernel writes without waiting needs none, but
// cannot be told from a FIFO here).
void way_keep(std_way *way, int fd)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return;
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) (void)way_fd(way, fd, st);
}

// Writes, in one call of put, the line end owed to a line that a short
// write tore, the "<n> lines dropped" line of the lines counted in o, and
// text (len may be 0), so that the count always starts a line of its own.
// The count is cleared once it was written whole; the text's nlines are
// counted as dropped unless all of it was written.
template <class Put>
void put_counted(const log_ctx *log, out_state &o, const char *text, size_t len, size_t nlines,
                 Put &&put)
{
    static char line_end[] = "\n";
    char notice[NOTICE_MAX];
    const size_t head = o.lost ? log_build_line(log, WARN_level, notice, sizeof(notice),
                                                "%zu lines dropped\n", o.lost)
                               : 0;
    const size_t mend = o.torn ? 1 : 0;
    struct iovec iov[3];
    int cnt = 0;
    if (mend) iov[cnt++] = {line_end, 1};
    if (head) iov[cnt++] = {notice, head};
    if (len) iov[cnt++] = {const_cast<char *>(text), len};
    if (cnt == 0) return;
    const ssize_t n = put(iov, cnt);
    const size_t done = n > 0 ? size_t(n) : 0;
    if (done > 0) {
        size_t at = done;
        for (int i = 0; i < cnt; at -= iov[i++].iov_len) {
            if (at <= iov[i].iov_len) {
                o.mid_line = static_cast<const char *>(iov[i].iov_base)[at - 1] != '\n';
                break;
            }
        }
    }
    if (head && done >= mend + head) o.lost = 0;
    if (done == mend + head + len) {
        o.torn = false;
        return;
    }
    o.torn = o.mid_line;
    if (len) o.lost += nlines;
}

// Writes the count of dropped lines alone (the upkeep, in a quiet spell).
void write_notice(log_ctx *log)
{
    put_counted(log, log->dest.out, nullptr, 0, 0,
                [log](const struct iovec *iov, int cnt) { return write_parts(log, iov, cnt); });
}

// Reopens the file at the log's path.  The old descriptor stays in use
// until the new one is open, so a failed reopen loses nothing: it is
// noted once on stderr and retried by the upkeep.  0 or -1.
int reopen_file(log_ctx *log, const char *why)
{
    log_dest &d = log->dest;
    struct stat found;
    const int fd = open_log_fd(log->name, &found);
    if (fd < 0) {
        const int err = errno;
        if (!d.reopen_due) note_reopen_failed("log_reopen", log, fd, err, found);
        d.reopen_due = true;
        errno = err;
        return -1;
    }
    adopt_file(log, fd);
    d.reopen_due = false;
    log_write(log, NORM_level, "%s: [%s] reopened (%s)\n", "log_reopen", log->name, why);
    return 0;
}

// A file that is missing at its path, or whose path now names another
// file, is reopened; so is one whose last reopen failed.
void check_file(log_ctx *log)
{
    log_dest &d = log->dest;
    if (d.reopen_due) {
        reopen_file(log, "retried");
        return;
    }
    struct stat st;
    if (lstat(log->name, &st) != 0) {
        if (errno == ENOENT) reopen_file(log, "moved or deleted");
        return;
    }
    if (st.st_dev != d.dev || st.st_ino != d.ino) reopen_file(log, "replaced");
}

// Reaps a command that ended and starts it again, at most once a second.
void check_command(log_ctx *log, const struct timespec &now)
{
    log_dest &d = log->dest;
    if (d.cmd_pid > 0) {
        int status = 0;
        const pid_t r = waitpid(d.cmd_pid, &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR)) return;
        log_note("%s: log command [%s] ended (status 0x%x), restarting\n", "log_upkeep",
                log->name, unsigned(status));
        d.cmd_pid = 0;
        if (d.fd >= 0) close(d.fd);
        d.fd = -1;
    }
    if (ms_since(d.last_spawn, now) < UPKEEP_MS) return;
    if (start_command(log, log->name) != 0)
        log_note("%s: uid/gig=%ld/%ld %s(%s) ERROR(%d): %s\n", "log_upkeep",
                (long)geteuid(), (long)getegid(), "popen", log->name, errno, strerror(errno));
}

// rename() that never replaces an existing target.  Filesystems without
// RENAME_NOREPLACE get link()+unlink(), which refuses an existing target too.
int rename_noreplace(const char *from, const char *to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(from, to) != 0) return -1;
    if (unlink(from) != 0) {
        int err = errno;
        unlink(to);
        errno = err;
        return -1;
    }
    return 0;
}

// Moves path to "<path>.<secs>", or to "<path>.<secs>.<n>" with n from 1:
// every rotation gets a name of its own, later than the one before in the
// same second (so names sort by age), and no file is ever replaced.  The
// name goes to out (ROTATED_NAME_MAX bytes).  0; E2BIG when the name does
// not fit (its length in *need); -1 with errno of the failed rename.
int rename_unique(rotation_ctx *r, const char *path, time_t secs, char *out, int *need)
{
    const int first = secs == r->last_secs ? r->last_seq + 1 : 0;
    for (int i = first; i < first + UNIQUE_NAMES; ++i) {
        const int n = i == 0 ? snprintf(out, ROTATED_NAME_MAX, "%s.%lu", path, (unsigned long)secs)
                             : snprintf(out, ROTATED_NAME_MAX, "%s.%lu.%d", path,
                                        (unsigned long)secs, i);
        if (n < 0 || size_t(n) >= ROTATED_NAME_MAX) {
            *need = n;
            return E2BIG;
        }
        if (rename_noreplace(path, out) == 0) {
            r->last_secs = secs;
            r->last_seq = i;
            return 0;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

// Remembers a new rotated file in the cyclic keep list and deletes the one
// whose slot it takes.
void handle_rotation(log_ctx *log, time_t tm, const char *rotated)
{
    rotation_ctx &r = log->rota;
    if (r.next_idx >= ssize_t(r.max_idx)) r.next_idx = 0;
    const ssize_t idx = r.next_idx++;
    log_norm("[%s]: previous log rotated to [%s] tm=%ld, idx=%ld\n", g_logmod.app_tag, rotated,
             (long)tm, (long)idx);
    char *kept = r.kept[idx];
    if (kept[0]) {
        if (unlink(kept) != 0)
            log_err("%s: unlink(%s) ERROR(%d) : %s\n", "handle_rotation", kept, errno,
                    strerror(errno));
        else
            log_dbg("%s: replaced %s with %s\n", "handle_rotation", kept, rotated);
    }
    snprintf(kept, ROTATED_NAME_MAX, "%s", rotated);
}

int rotate_file(log_ctx *log)
{
    log_dest &d = log->dest;
    const time_t now = time(nullptr);
    char rotated[ROTATED_NAME_MAX];
    int need = 0;
    const int rc = rename_unique(&log->rota, log->name, now, rotated, &need);
    if (rc == E2BIG) {
        log_note("%s: log log->name is too long (%d bytes), max=%lu\n", "log_rotate", need,
                (unsigned long)(ROTATED_NAME_MAX - 1));
        return -1;
    }
    if (rc != 0) {
        // Writing goes on in the present file.
        char why[LOG_ERRMSG_MAX];
        snprintf(why, sizeof(why), "%s: failed to rename [%s] to [%s], ERROR(%d): %s",
                 "log_rotate", log->name, rotated, errno, strerror(errno));
        log_note("%s - rotation is to be stopped\n", why);
        log->total_out = 0;
        log_err("%s: %s - rotation cancelled this time\n", "log_rotate", why);
        return 0;
    }
    // The open descriptor now writes the rotated file; the path is opened
    // anew, and until that works the lines go on into the rotated file.
    int result = 0;
    struct stat found;
    const int fd = open_log_fd(log->name, &found);
    if (fd >= 0) {
        adopt_file(log, fd);
    } else {
        note_reopen_failed("log_rotate", log, fd, errno, found);
        d.reopen_due = true;
        log->total_out = 0;
        result = -1;
    }
    if (log->rota.max_idx) handle_rotation(log, now, rotated);
    return result;
}

}  // namespace

// --- opening and closing --------------------------------------------------------------------

int move_aside(const char *path) noexcept
{
    struct stat st;
    // lstat: a link is left where it is, whatever it points at, for the
    // open to refuse.
    if (lstat(path, &st) != 0) {
        if (errno != ENOENT) log_note("stat(%s) ERROR(%d): %s\n", path, errno, strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0) return 0;
    char moved[LOG_PATHNAME_MAX - 1];
    int n = snprintf(moved, sizeof(moved), "%s.%lu", path, (unsigned long)st.st_mtime);
    if (n < 0 || size_t(n) >= sizeof(moved)) return E2BIG;
    if (rename_noreplace(path, moved) != 0) {
        log_note("Cannot rename(%s, %s): ERROR(%d): %s\n", path, moved, errno,
                strerror(errno));
        return -1;
    }
    return 0;
}

int dest_open(log_ctx *log, const char *path) noexcept
{
    lfx_assert(g_logmod.is_ready);
    if (log->dest.std_fp) fclose(log->dest.std_fp);
    way_release(&log->dest.way);
    log->dest = log_dest{};
    log->dest.fd = -1;
    log->total_out = 0;
    if (!path || !*path) {
        dest_set_std(log, stderr);
        log->name[0] = '\0';
        return 0;
    }
    if (strlen(path) >= LOG_PATHNAME_MAX) {
        log_note("Log pathname/command is too long, %ld bytes allowed\n",
                (long)LOG_PATHNAME_MAX);
        return -1;
    }
    int fd = -1;
    struct stat found;
    const int rc =
        log->is_pipe ? start_command(log, path) : (fd = open_log_fd(path, &found)) < 0 ? fd : 0;
    if (rc == NOT_REGULAR) {
        log_note("%s: [%s] is not a regular file\n", "do_open", path);
        errno = EINVAL;
        return -1;
    }
    if (rc == NOT_OWN) {
        log_note("%s: [%s] is not a regular file of its own (uid %lu, %lu links)\n", "do_open",
                 path, (unsigned long)found.st_uid, (unsigned long)found.st_nlink);
        errno = EPERM;
        return -1;
    }
    FILE *fp = rc == 0 ? open_stream(log) : nullptr;
    if (!fp) {
        const int err = errno;
        log_note("%s: uid/gig=%ld/%ld %s(%s) ERROR(%d): %s\n", "do_open",
                (long)geteuid(), (long)getegid(), log->is_pipe ? "popen" : "fopen", path, err,
                strerror(err));
        if (fd >= 0) close(fd);
        if (log->is_pipe) stop_command(log, false);
        errno = err;
        return -1;
    }
    snprintf(log->name, sizeof(log->name), "%s", path);
    log->fp = fp;
    log->is_owned = 1;
    if (!log->is_pipe) adopt_file(log, fd);
    return 0;
}

void dest_close(log_ctx *log, bool report) noexcept
{
    if (log->dest.std_fp) fclose(log->dest.std_fp);
    log->dest.std_fp = nullptr;
    way_release(&log->dest.way);
    if (log->is_owned) {
        // The stream first: it may hold a line for the descriptor.
        fclose(log->fp);
        log->fp = nullptr;
        log->is_owned = 0;
        if (log->is_pipe) {
            stop_command(log, report);
        } else if (log->dest.fd >= 0) {
            if (close(log->dest.fd) != 0 && report)
                log_note("%s: %s error(%d) for the application log: %s\n", "log_close",
                        "fclose", errno, strerror(errno));
            log->dest.fd = -1;
        }
        return;
    }
    if (log->fp && !is_std_stream(log->fp)) {
        if (fclose(log->fp) != 0 && report)
            log_note("%s: %s error(%d) for the application log: %s\n", "log_close",
                    "fclose", errno, strerror(errno));
    }
    log->fp = nullptr;
}

// --- writing ------------------------------------------------------------------------------

void dest_put(log_ctx *log, const char *text, size_t len, size_t nlines) noexcept
{
    log_dest &d = log->dest;
    // The count goes with the next line that gets through, in the same
    // write: a destination with room for the short count but not for the
    // line would otherwise take a count after each line it drops.
    if (log->is_owned) {
        put_counted(log, d.out, text, len, nlines, [log](const struct iovec *iov, int cnt) {
            return write_parts(log, iov, cnt);
        });
        return;
    }
    if (!log->fp) return;
    if (d.kind == STD_PLAIN) {
        fwrite(text, 1, len, log->fp);
        log->total_out += len;
        return;
    }
    const int fd = fileno(log->fp);
    put_counted(log, d.out, text, len, nlines, [log, fd](const struct iovec *iov, int cnt) {
        const ssize_t n = write_std(fd, log->dest.kind, iov, cnt, &log->dest.way);
        if (n > 0) log->total_out += size_t(n);
        return n;
    });
}

namespace {

void put_mirror(log_ctx *log, const char *text, size_t len, size_t nlines)
{
    FILE *fp = log->mirror_fp;
    log_mirror_out &m = log->mirror;
    if (m.kind == STD_PLAIN) {
        fwrite(text, 1, len, fp);
        return;
    }
    const int fd = fileno(fp);
    put_counted(log, m.out, text, len, nlines, [&m, fd](const struct iovec *iov, int cnt) {
        return write_std(fd, m.kind, iov, cnt, &m.way);
    });
}

ssize_t mirror_stream_write(void *cookie, const char *buf, size_t size)
{
    auto *log = static_cast<log_ctx *>(cookie);
    const int err = errno;
    for (size_t at = 0; at < size && log->mirror_fp;) {
        const size_t n = std::min(size - at, STREAM_PIECE);
        const size_t lines = size_t(std::count(buf + at, buf + at + n, '\n'));
        put_mirror(log, buf + at, n, lines ? lines : 1);
        at += n;
    }
    errno = err;
    return ssize_t(size);
}

}  // namespace

void dest_put_mirror(log_ctx *log, const char *text, size_t len) noexcept
{
    put_mirror(log, text, len, 1);
}

FILE *log_mirror_stream(log_ctx *log) noexcept
{
    FILE *fp = log->mirror_fp;
    if (!fp || fp == log->fp || fileno(fp) == log_fd(log)) return nullptr;
    log_mirror_out &m = log->mirror;
    if (m.kind == STD_PLAIN) return fp;
    if (!m.std_fp) m.std_fp = open_stream(log, mirror_stream_write);
    return m.std_fp;
}

namespace {

std_kind fd_kind(int fd)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return STD_PLAIN;
    // A terminal may be stopped (^S) as a pipe may be full.
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) return STD_PIPE;
    if (S_ISSOCK(st.st_mode)) return STD_SOCKET;
    return STD_PLAIN;
}

}  // namespace

std_kind dest_kind(FILE *stream) noexcept { return fd_kind(stream ? fileno(stream) : -1); }

ssize_t log_copy_to(int fd, const char *text, size_t len) noexcept
{
    const std_kind kind = fd_kind(fd);
    ssize_t n;
    int tries = 0;
    if (kind == STD_PLAIN) {
        do n = write(fd, text, len);
        while (n < 0 && errno == EINTR && ++tries < 3);
        return n;
    }
    struct iovec iov = {const_cast<char *>(text), std::min<size_t>(len, PIPE_BUF)};
    return write_std(fd, kind, &iov, 1, &g_copy_way);
}

void log_copy_hold(int fd) noexcept
{
    const int err = errno;
    way_release(&g_copy_way);
    way_keep(&g_copy_way, fd);
    errno = err;
}

void dest_drop_mirror(log_ctx *log) noexcept
{
    if (log->mirror.std_fp) fclose(log->mirror.std_fp);
    way_release(&log->mirror.way);
    log->mirror = {};
}

namespace {

// Formats a message into text (size bytes, cut there with a line end) and
// writes it to stderr, never waiting: what stderr does not take at once is
// dropped and counted, and the count goes out with the next message taken.
[[gnu::format(printf, 3, 0)]] void put_stderr(char *text, size_t size, const char *fmt,
                                              va_list ap)
{
    // A note about a line the count's own line could not be built for
    // would come back here.
    static bool busy;
    static out_state out;
    if (busy) return;
    const int err = errno;
    busy = true;
    const int n = vsnprintf(text, size, fmt, ap);
    if (n > 0) {
        const size_t len = std::min(size_t(n), size - 1);
        if (size_t(n) >= size) text[len - 1] = '\n';
        const std_kind kind = fd_kind(STDERR_FILENO);
        if (kind == STD_PLAIN) {
            (void)!write(STDERR_FILENO, text, len);
        } else {
            put_counted(&g_log, out, text, len, 1, [kind](const struct iovec *iov, int cnt) {
                return write_std(STDERR_FILENO, kind, iov, cnt, &g_err_way);
            });
        }
    }
    busy = false;
    errno = err;
}

}  // namespace

void log_note(const char *fmt, ...) noexcept
{
    char text[NOTE_MAX];
    va_list ap;
    va_start(ap, fmt);
    put_stderr(text, sizeof(text), fmt, ap);
    va_end(ap);
}

void log_stderr(const char *fmt, ...) noexcept
{
    char text[STREAM_PIECE];
    va_list ap;
    va_start(ap, fmt);
    put_stderr(text, sizeof(text), fmt, ap);
    va_end(ap);
}

void log_keep_std(log_ctx *log) noexcept
{
    const int err = errno;
    way_keep(&g_err_way, STDERR_FILENO);
    if (!log->is_owned && log->fp && log->dest.kind != STD_PLAIN)
        way_keep(&log->dest.way, fileno(log->fp));
    if (log->mirror_fp && log->mirror.kind != STD_PLAIN)
        way_keep(&log->mirror.way, fileno(log->mirror_fp));
    errno = err;
}

void dest_set_std(log_ctx *log, FILE *stream) noexcept
{
    log_dest &d = log->dest;
    if (d.std_fp) fclose(d.std_fp);
    d.std_fp = nullptr;
    way_release(&d.way);
    d.out = {};
    log->fp = stream;
    d.kind = dest_kind(stream);
    if (d.kind != STD_PLAIN) d.std_fp = open_stream(log);
}

void dest_rotate_due(log_ctx *log) noexcept
{
    if (g_sigctx || log->dest.in_rotation) return;
    if (log->rota.max_total && log->total_out >= log->rota.max_total && log->fp &&
        !is_std_stream(log->fp))
        log_rotate(log);
}

int log_fd(const log_ctx *log) noexcept
{
    if (log->is_owned) return log->dest.fd;
    return log->fp ? fileno(log->fp) : -1;
}

// --- rotation, reopening, upkeep ----------------------------------------------------------

int log_rotate(log_ctx *log) noexcept
{
    if (!log->name[0]) {
        log_note("%s: nothing to rotate.\n", "log_rotate");
        return 0;
    }
    if (is_std_stream(log->fp)) {
        log_note("%s: stdout and stderr cannot be rotated.\n", "log_rotate");
        return -1;
    }
    if (log->is_pipe || log->name[0] == '|') {
        log_note("%s: not supported for pipe-based streams.\n", "log_rotate");
        return -1;
    }
    if (!log->is_owned) {
        log_note("%s: nothing to rotate.\n", "log_rotate");
        return 0;
    }
    log->dest.in_rotation = true;
    const int rc = rotate_file(log);
    log->dest.in_rotation = false;
    return rc;
}

int log_reopen(log_ctx *log) noexcept
{
    if (!log->is_owned) return 0;
    const int err = errno;
    int rc = 0;
    if (log->is_pipe)
        check_command(log, mono_now());
    else
        rc = reopen_file(log, "requested");
    errno = err;
    return rc;
}

void log_upkeep(log_ctx *log) noexcept
{
    log_dest &d = log->dest;
    const struct timespec now = mono_now();
    if (ms_since(d.last_check, now) < UPKEEP_MS) return;
    d.last_check = now;
    const int err = errno;
    if (log->use_syslog) syslog_upkeep();
    if (log->is_owned) {
        if (log->is_pipe)
            check_command(log, now);
        else
            check_file(log);
        if (d.out.lost || d.out.torn) write_notice(log);
    }
    errno = err;
}

long log_upkeep_ms(const log_ctx *log) noexcept
{
    if (!log->is_owned && !log->use_syslog) return -1;
    const long gone = ms_since(log->dest.last_check, mono_now());
    return gone >= UPKEEP_MS ? 0 : UPKEEP_MS - gone;
}
