#include "util.h"

#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <netdb.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <utility>

#include "app.globals.h"
#include "log.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

static_assert(CPU_SETSIZE == 1024);

namespace {

// A descriptor closed through W_close (errno kept) at the end of its scope.
class owned_fd {
public:
    owned_fd(const char *caller, int fd) noexcept : caller_(caller), fd_(fd) {}
    ~owned_fd()
    {
        if (fd_ < 0) return;
        int err = errno;
        W_close(caller_, fd_);
        errno = err;
    }
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    const char *caller_;
    int fd_;
};

bool is_letter(char c) { return isalpha(static_cast<unsigned char>(c)) != 0; }
bool is_alnum(char c) { return isalnum(static_cast<unsigned char>(c)) != 0; }

// Step 5 of detaching.  A log writing to descriptor 0-2 goes to stderr; but
// descriptor 2 is about to become /dev/null, so the log gets its own copy of
// the present stderr above 2.  Start-up failures between detaching and
// opening the log file thus still reach whoever started the daemon, and
// log_open later closes the copy (it is not a standard stream).
void move_log_off_std_fds()
{
    FILE *fp = log_fp(&g_log);
    if (!fp) return;
    int fd = log_fd(&g_log);
    if (fd < 0 || fd > STDERR_FILENO) return;
    fflush(fp);
    FILE *own = nullptr;
    int copy = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (copy >= 0) {
        // "w" leaves the file's flags alone ("a" would set O_APPEND on a
        // description shared with the starting shell).
        own = fdopen(copy, "w");
        if (own)
            setvbuf(own, nullptr, _IONBF, 0);
        else
            close(copy);
    }
    log_default(&g_log, own ? own : stderr);
}

// Points descriptors 0, 1 and 2 at /dev/null.  Left closed, they would be
// taken by the next file or socket opened, and any stray write to stdout or
// stderr would land in a log, the pid file or a client's connection.
int null_std_fds()
{
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        int err = errno;
        log_err("%s: failed at %s, ERROR(%d): %s\n", "daemonize", "open(/dev/null)", err,
                strerror(err));
        return -1;
    }
    for (int target = STDIN_FILENO; target <= STDERR_FILENO; ++target) {
        if (fd == target || dup2(fd, target) >= 0) continue;
        int err = errno;
        log_err("%s: failed at %s, ERROR(%d): %s\n", "daemonize", "dup2", err, strerror(err));
        if (fd > STDERR_FILENO) close(fd);
        errno = err;
        return -1;
    }
    if (fd > STDERR_FILENO) close(fd);
    return 0;
}

// The fcntl write lock on the whole file, without waiting.
int lock_whole_file(int fd)
{
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    return fcntl(fd, F_SETLK, &fl);
}

bool lock_held_elsewhere(int err) { return err == EACCES || err == EAGAIN; }

// fstat, a failure logged in the caller's name.  0 or -1 (errno kept).
int fstat_logged(const char *fn, int fd, struct stat *st)
{
    if (fstat(fd, st) == 0) return 0;
    int err = errno;
    log_err("%s: fstat(fd%d,..) ERROR(%d): %s\n", fn, fd, err, strerror(err));
    errno = err;
    return -1;
}

// A regular file with one link, of this process's user: a hard link would
// let the writer change another file, and another user's file is that
// user's to rewrite (any pid) or to lock (no start).  0 and its inode in
// *ino, or -1 (EPERM after a line naming the path).
int check_own_file(const char *fn, int fd, const char *fpath, ino_t *ino)
{
    struct stat st;
    if (fstat_logged(fn, fd, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        log_err("%s: [%s] is not a regular file of its own (%s, %lu links)\n", fn, fpath,
                fmode_str(st.st_mode), (unsigned long)st.st_nlink);
        errno = EPERM;
        return -1;
    }
    if (st.st_uid != geteuid()) {
        log_err("%s: [%s] belongs to another user (uid %lu)\n", fn, fpath,
                (unsigned long)st.st_uid);
        errno = EPERM;
        return -1;
    }
    *ino = st.st_ino;
    return 0;
}

// Logs a failed instance lock of the pid file fpath: another instance, or
// the fcntl error err.  errno is err on return.
void say_lock_failed(const char *fn, const char *fpath, int err, int flags)
{
    if (lock_held_elsewhere(err)) {
        if (flags & CPFX_HUSH)
            log_err("Another instance is already running\n");
        else
            log_err("%s: file [%s] is locked (another instance of daemon must be running)\n", fn,
                    fpath);
    } else {
        log_err("fcntl write-lock ERROR(%d): %s\n", err, strerror(err));
    }
    errno = err;
}

// The instance lock of the pid file fpath: a write lock on the companion
// file "<fpath>.lock", mode 0600, which only the daemon's user can open: a
// lock on the pid file itself, which everyone may read, conflicts with any
// reader's lock, so any user could keep the daemon from starting.  Opened
// and checked like the pid file.  The descriptor, which carries the lock
// until it is closed; -1 (logged).
int take_instance_lock(const char *fn, const char *fpath, int flags)
{
    char lpath[PATH_MAX];
    const int n = snprintf(lpath, sizeof(lpath), "%s.lock", fpath);
    if (n < 0 || size_t(n) >= sizeof(lpath)) {
        log_err("%s: path is too long [%s]\n", fn, fpath);
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = W_open(fn, lpath, O_RDWR | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        if (errno == ELOOP) {
            log_err("%s: [%s] is a symbolic link\n", fn, lpath);
            errno = ELOOP;
        }
        return -1;
    }
    owned_fd lock(fn, fd);
    ino_t ino = 0;
    if (check_own_file(fn, fd, lpath, &ino) != 0) return -1;
    // Left readable by others (made so by hand), anyone could hold it.
    struct stat st;
    if (fstat_logged(fn, fd, &st) != 0) return -1;
    if ((st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0) {
        const int err = errno;
        log_err("%s: fchmod(%s, 0600) ERROR(%d): %s\n", fn, lpath, err, strerror(err));
        errno = err;
        return -1;
    }
    if (lock_whole_file(fd) != 0) {
        say_lock_failed(fn, fpath, errno, flags);
        return -1;
    }
    return lock.release();
}

// The pid file's own write lock, for whoever looks for it there.  A read
// lock of anybody who may read the file is no other instance: the file
// goes without the lock then.  A write lock elsewhere is another instance
// (one that locks the pid file alone).  0, or -1 (logged).
int lock_pidfile(const char *fn, int fd, const char *fpath, int flags)
{
    if (lock_whole_file(fd) == 0) return 0;
    int err = errno;
    if (lock_held_elsewhere(err)) {
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fcntl(fd, F_GETLK, &fl) != 0)
            err = errno;
        else if (fl.l_type == F_RDLCK || fl.l_type == F_UNLCK) {
            log_warn("%s: [%s] is read-locked by pid %ld; the instance lock is [%s.lock]\n", fn,
                     fpath, (long)fl.l_pid, fpath);
            return 0;
        }
    }
    say_lock_failed(fn, fpath, err, flags);
    return -1;
}

// Steps 3 to 5 of the pid file on the open descriptor of the file with
// inode ino.  0 or -1.
int fill_pidfile(int fd, const char *fpath, pid_t pid, ino_t ino, ino_t *inode, int flags)
{
    static constexpr const char *fn = "create_pidfile_extra";
    if (lock_pidfile(fn, fd, fpath, flags) != 0) return -1;
    if (W_ftruncate(fn, fd, 0) != 0) return -1;
    char text[24];
    int len = snprintf(text, sizeof(text), "%ld", (long)pid);
    if (W_write_f(fn, fd, text, size_t(len), 1) != len) return -1;
    if (inode) *inode = ino;
    return 0;
}

int install_handler(int signum, sig_handler_t handler)
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    return sigaction(signum, &sa, nullptr);
}

// Reads exactly the file's size into buf.  The length, -7 or -1.
ssize_t read_whole(int fd, const char *path, void *buf, size_t size)
{
    static constexpr const char *fn = "read_file_buf";
    struct stat st;
    if (fstat_logged(fn, fd, &st) != 0) return -1;
    if (st.st_size < 0 || size_t(st.st_size) > size) {
        log_err("%s: file size (%ld bytes) is too big for buffer (%ld bytes)\n", fn,
                (long)st.st_size, (long)size);
        return -7;
    }
    size_t want = size_t(st.st_size), got = 0;
    while (got < want) {
        ssize_t n = W_read_f(fn, fd, static_cast<char *>(buf) + got, want - got, 1);
        if (n < 0) return -1;
        if (n == 0) break;
        got += size_t(n);
    }
    if (got < want) {
        log_err("%s: [%s] under-read: %ld/%ld\n", fn, path, (long)got, (long)want);
        return -1;
    }
    return ssize_t(got);
}

}  // namespace

// --- the daemon's life ----------------------------------------------------------

int daemonize() noexcept
{
    // Buffered output is written once, by the caller, not again by a child.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    // The parents leave at once: their exit handlers belong to the daemon.
    if (pid > 0) _exit(0);

    if (setsid() < 0) {
        int err = errno;
        log_err("%s: failed at %s, ERROR(%d): %s\n", "daemonize", "setsid", err, strerror(err));
        return -1;
    }
    if (chdir("/") != 0) {
        int err = errno;
        log_err("%s: failed at %s, ERROR(%d): %s\n", "daemonize", "chdir", err, strerror(err));
        return -1;
    }
    // Nobody else may write what the daemon, or a command it starts (the
    // log command), makes; files with a mode of their own keep it.
    umask(022);
    move_log_off_std_fds();
    if (null_std_fds() != 0) return -1;

    fflush(nullptr);
    pid = fork();
    if (pid < 0) return -1;
    if (pid > 0) _exit(0);
    return 0;
}

int create_pidfile_extra(const char *fpath, pid_t pid, ino_t *inode, int flags) noexcept
{
    static constexpr const char *fn = "create_pidfile_extra";
    lfx_assert(fpath);
    lfx_assert(pid > 0);
    if (!*fpath) {
        log_err("%s: no path specified\n", fn);
        return -1;
    }
    // The pid file often lives in a directory others may write: a link
    // planted at its name is never followed (ELOOP), a FIFO never blocks
    // the open (O_NONBLOCK), and what opens must be a regular file of one
    // name, not a hard link to someone else's file.
    int fd = W_open(fn, fpath, O_WRONLY | O_CREAT | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        if (errno == ELOOP) {
            log_err("%s: [%s] is a symbolic link\n", fn, fpath);
            errno = ELOOP;
        }
        return -1;
    }
    ino_t ino = 0;
    int lock_fd = -1;
    // Another instance is refused before the pid file is written.
    if (check_own_file(fn, fd, fpath, &ino) != 0 ||
        (lock_fd = take_instance_lock(fn, fpath, flags)) < 0 ||
        fill_pidfile(fd, fpath, pid, ino, inode, flags) != 0) {
        int err = errno;
        // The locks (when taken) go with the descriptors: a failed call
        // leaves nothing held.
        W_close(fn, fd);
        if (lock_fd >= 0) W_close(fn, lock_fd);
        if (!(flags & CPFX_HUSH))
            log_err("%s: failed to create pidfile [%s] with pid=%ld.\n", fn, fpath, (long)pid);
        errno = err;
        return -1;
    }
    if (!(flags & CPFX_HUSH)) log_info("Created pidfile [%s] with pid=%ld.\n", fpath, (long)pid);
    // Both descriptors stay open: they carry the locks until the process
    // ends.
    return 0;
}

int mensure(const char *path, ino_t *inode, time_t *last_time) noexcept
{
    time_t now = time(nullptr);
    if (!(*last_time + 9 < now)) return 0;
    *last_time = now;
    if (*inode == 0) return create_pidfile_extra(path, getpid(), inode, CPFX_HUSH);
    struct stat st;
    if (stat(path, &st) != 0) {
        int err = errno;
        log_err("instance check ERROR(%d): %s\n", err, strerror(err));
        errno = err;
        return err;
    }
    if (st.st_ino != *inode) {
        log_err("instance verification failed: %ld/%ld\n", (long)*inode, (long)st.st_ino);
        return -1;
    }
    return 0;
}

char *mk_pidfile_name(const char *dir, const char *app, const char *strid, long numid, char *buf,
                      size_t buflen) noexcept
{
    static constexpr const char *fn = "mk_pidfile_name";
    if (access(dir, W_OK) != 0) {
        int err = errno;
        log_err("%s: directory [%s] is not writable: ERROR(%d): %s\n", fn, dir, err,
                strerror(err));
        errno = err;
        return nullptr;
    }
    int n;
    if (strid && *strid) {
        if (numid < 0)
            n = snprintf(buf, buflen, "%s/%s-%s.pid", dir, app, strid);
        else
            n = snprintf(buf, buflen, "%s/%s-%s%ld.pid", dir, app, strid, numid);
    } else {
        n = snprintf(buf, buflen, "%s/%s-%ld.pid", dir, app, numid);
    }
    if (n < 0 || size_t(n) >= buflen) {
        log_err("%s: %d bytes needed for filename, only %ld available.\n", fn, n + 1,
                (long)buflen);
        return nullptr;
    }
    return buf;
}

// --- identity and working directory -------------------------------------------------

int run_as_user(const char *user) noexcept
{
    errno = 0;
    const passwd *pw = getpwnam(user);
    if (!pw) {
        int err = errno;
        // getpwnam reports an absent user as no error, or as one of these.
        if (err == 0 || err == ENOENT || err == ESRCH || err == EBADF || err == EPERM)
            log_err("%s: getpwnam: user %s not found\n", "run_as_user", user);
        else
            log_err("%s: getpwnam(%s): %s\n", "run_as_user", user, strerror(err));
        errno = err;
        return -1;
    }
    return run_as_user_id(pw->pw_uid, pw->pw_gid);
}

int run_as_user_id(uid_t uid, gid_t gid) noexcept
{
    // Root's supplementary groups would stay with the new user: only the
    // user's own group is kept.  Without root there is nothing to drop (and
    // setgroups would fail).
    if (geteuid() == 0 && setgroups(1, &gid) != 0) return -1;
    if (setgid(gid) != 0) return -1;
    if (setuid(uid) != 0) return -1;
    return 0;
}

int goto_runtime_dir(const char *saved) noexcept
{
    if (saved) {
        if (chdir(saved) == 0) return 0;
        int err = errno;
        // A directory the new user may not enter fails with EACCES (search
        // permission) as often as with EPERM: both fall back to home.
        if (err != EPERM && err != EACCES) {
            log_err("chdir(%s) ERROR(%d): %s\n", saved, err, strerror(err));
            errno = err;
            return -1;
        }
    }
    uid_t uid = geteuid();
    errno = 0;
    const passwd *pw = getpwuid(uid);
    if (!pw) {
        int err = errno;
        log_err("getpwuid(%ld) ERROR(%d): %s\n", (long)uid, err, strerror(err));
        errno = err;
        return -1;
    }
    if (chdir(pw->pw_dir) != 0) {
        int err = errno;
        log_err("chdir(%s) ERROR(%d): %s\n", pw->pw_dir, err, strerror(err));
        errno = err;
        return -1;
    }
    return 0;
}

// --- limits, CPU, priority ------------------------------------------------------------

int set_unlimited_core(struct rlimit *old) noexcept
{
    static constexpr const char *fn = "set_unlimited_core";
    if (prctl(PR_GET_DUMPABLE) == 0) {
        log_info("%s: process is currently NOT core-dumpable; will enforce\n", fn);
        if (prctl(PR_SET_DUMPABLE, 1) != 0) {
            int err = errno;
            log_err("%s: prctl(PR_SET_DUMPABLE, 1) ERROR(%d): %s\n", fn, err, strerror(err));
            errno = err;
            return -1;
        }
    }
    struct rlimit cur;
    if (getrlimit(RLIMIT_CORE, &cur) != 0) {
        int err = errno;
        log_err("%s: getrlimit ERROR(%d): %s\n", fn, err, strerror(err));
        errno = err;
        return -1;
    }
    if (old) *old = cur;
    if (cur.rlim_cur == RLIM_INFINITY) {
        log_dbg("%s: already set\n", fn);
        return 0;
    }
    log_dbg("%s: current=%ld/%ld\n", fn, (long)cur.rlim_cur, (long)cur.rlim_max);
    const struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    int rc = setrlimit(RLIMIT_CORE, &unlimited);
    if (rc != 0) {
        int err = errno;
        log_err("%s: setrlimit ERROR(%d): %s\n", fn, err, strerror(err));
        errno = err;
        return rc;
    }
    log_dbg("%s: OK\n", fn);
    return 0;
}

int pin2cpu(int cpunum) noexcept
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (cpunum >= 0 && cpunum < CPU_SETSIZE) CPU_SET(cpunum, &set);
    return sched_setaffinity(0, sizeof(set), &set);
}

int set_limit(int lid, rlim_t new_lim, const char *tag) noexcept
{
    static constexpr const char *fn = "set_limit";
    const auto res = static_cast<__rlimit_resource_t>(lid);
    struct rlimit rl;
    if (getrlimit(res, &rl) != 0) {
        int err = errno;
        log_err("%s: getrlimit(%d) ERROR(%d): %s\n", fn, lid, err, strerror(err));
        errno = err;
        return -1;
    }
    rl.rlim_cur = new_lim;
    if (setrlimit(res, &rl) != 0) {
        int err = errno;
        log_err("%s: setrlimit(%d, %lu) ERROR(%d): %s\n", fn, lid, (unsigned long)new_lim, err,
                strerror(err));
        errno = err;
        return -1;
    }
    log_info("%s(%s/%d): %lu bytes\n", fn, tag, lid, (unsigned long)new_lim);
    return 0;
}

int set_vmem_limit(rlim_t new_lim) noexcept { return set_limit(RLIMIT_AS, new_lim, "vmem"); }

int set_rss_limit(rlim_t new_lim) noexcept { return set_limit(RLIMIT_AS, new_lim, "rss"); }

int set_mem_limits(rlim_t rss, rlim_t vmem) noexcept
{
    if (rss) return set_rss_limit(rss);
    if (vmem) return set_vmem_limit(vmem);
    return 0;
}

int set_nice(int niceval) noexcept
{
    // nice() may return -1 as the new value: only errno tells a failure.
    errno = 0;
    if (nice(niceval) == -1 && errno != 0) {
        int err = errno;
        log_err("nice(%d) ERROR(%d): %s\n", niceval, err, strerror(err));
        errno = err;
        return -1;
    }
    log_info("nice value adjusted by %d.\n", niceval);
    return 0;
}

int redirect_output(const char *dst_path) noexcept
{
    static constexpr const char *fn = "redirect_output";
    int fd = W_open(fn, dst_path, O_WRONLY, 0);
    if (fd < 0) return -1;
    fflush(stdout);
    fflush(stderr);
    int rc = 0;
    if (W_dup2(fn, fd, STDOUT_FILENO) < 0)
        rc = -2;
    else if (W_dup2(fn, fd, STDERR_FILENO) < 0)
        rc = -3;
    int err = errno;
    // With 1 or 2 closed beforehand, the file may have opened on one of them.
    if (fd > STDERR_FILENO) W_close(fn, fd);
    errno = err;
    return rc;
}

// --- signals -----------------------------------------------------------------------------

int handle_quit_signals(sig_handler_t handle_quit) noexcept
{
    for (int sig : {SIGTERM, SIGQUIT, SIGINT}) {
        if (install_handler(sig, handle_quit) != 0) {
            int err = errno;
            log_err("%s: sigaction (quit) ERROR(%d): %s\n", "handle_quit_signals", err,
                    strerror(err));
            errno = err;
            return -1;
        }
    }
    // Every program that installs the quit handlers writes to sockets or
    // pipes whose other end may vanish.
    return ignore_sigpipe();
}

namespace {

// The span of a signal handler: g_sigctx set, errno and an outer handler's
// context restored.
class signal_context {
public:
    signal_context() noexcept : err_(errno), outer_(g_sigctx) { g_sigctx = 1; }
    ~signal_context()
    {
        g_sigctx = outer_;
        errno = err_;
    }
    signal_context(const signal_context &) = delete;
    signal_context &operator=(const signal_context &) = delete;

private:
    int err_;
    sig_atomic_t outer_;
};

// Which line a caught signal is owed, kept per signal number until the
// normal flow writes it.  A handler must not log: formatting the time takes
// glibc's time-zone lock, and the main flow may hold it (localtime, mktime,
// syslog) when the signal arrives.
enum caught_line : int {
    CAUGHT_NONE = 0,
    CAUGHT_QUIT = 1,
    CAUGHT_HUP = 2,
    CAUGHT_USR1 = 3,
};

// Lock-free atomics are safe to touch from a handler.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
std::atomic<int> g_caught[NSIG];
std::atomic<bool> g_caught_any;

std::atomic<int> g_wake_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// A write to an eventfd is safe in a handler and never waits (a counter at
// its limit refuses the write, and is then readable anyway).
void note_caught(int signo, caught_line line) noexcept
{
    if (signo > 0 && signo < NSIG) g_caught[signo].store(line, std::memory_order_relaxed);
    g_caught_any.store(true, std::memory_order_release);
    const int fd = g_wake_fd.load(std::memory_order_acquire);
    if (fd >= 0) {
        const uint64_t one = 1;
        (void)!write(fd, &one, sizeof(one));
    }
}

}  // namespace

void on_sigquit(int signo) noexcept
{
    signal_context ctx;
    g_quit = 1;
    if (signo == SIGTERM || signo == SIGINT) g_goodbye = 1;
    note_caught(signo, CAUGHT_QUIT);
}

void set_signal_wake_fd(int fd) noexcept { g_wake_fd.store(fd, std::memory_order_release); }

int handle_sig(int signum, sig_handler_t handler) noexcept
{
    if (install_handler(signum, handler) != 0) {
        int err = errno;
        log_err("%s: sigaction (signo=%d) ERROR(%d): %s\n", "handle_sig", signum, err,
                strerror(err));
        errno = err;
        return -1;
    }
    return 0;
}

int ignore_sigpipe() noexcept
{
    if (install_handler(SIGPIPE, SIG_IGN) != 0) {
        int err = errno;
        log_err("%s: sigaction (SIGPIPE) ERROR(%d): %s\n", "ignore_sigpipe", err, strerror(err));
        errno = err;
        return -1;
    }
    return 0;
}

void on_sighup(int signo) noexcept
{
    signal_context ctx;
    g_hup = 1;
    note_caught(signo, CAUGHT_HUP);
}

void on_sigusr1(int signo) noexcept
{
    signal_context ctx;
    g_usr1 = 1;
    note_caught(signo, CAUGHT_USR1);
}

void log_caught_signals() noexcept
{
    // Never from a handler; and the lines below pass through log_write,
    // which calls here again.
    static bool writing;
    if (g_sigctx || writing || !g_caught_any.load(std::memory_order_acquire)) return;
    writing = true;
    const int err = errno;
    // Cleared before the scan: a signal caught during it is written next time.
    g_caught_any.store(false, std::memory_order_relaxed);
    for (int signo = 1; signo < NSIG; ++signo) {
        switch (g_caught[signo].exchange(CAUGHT_NONE, std::memory_order_acq_rel)) {
        case CAUGHT_QUIT: log_norm("QUIT-SIG(%d)\n", signo); break;
        case CAUGHT_HUP: log_norm("SIGHUP(%d) \n", signo); break;
        case CAUGHT_USR1: log_norm("SIGUSR1(%d) \n", signo); break;
        default: break;
        }
    }
    errno = err;
    writing = false;
}

void reset_getopt_state() noexcept { optind = 0; }

// --- files and text ------------------------------------------------------------------------

const char *get_base(const char *path) noexcept
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

char *replace_dir(const char *path, const char *newdir, char *buf, size_t size) noexcept
{
    const char *base = get_base(path);
    int n = (newdir && *newdir) ? snprintf(buf, size, "%s/%s", newdir, base)
                                : snprintf(buf, size, "%s", base);
    if (n < 0 || size_t(n) >= size) {
        log_err("%s: %d characters required, %ld afforded\n", "replace_dir", n + 1, (long)size);
        return nullptr;
    }
    return buf;
}

void get_stat_mode(int fd, mode_t *mode) noexcept
{
    struct stat st;
    if (fstat(fd, &st) != 0) {
        log_err("%s: FAILED to retrieve mode for fd=%d: %s\n", "get_stat_mode", fd,
                strerror(errno));
        abort();
    }
    *mode = st.st_mode;
}

time_t get_file_mtime(const char *path, bool quiet) noexcept
{
    struct stat st;
    if (stat(path, &st) != 0) {
        int err = errno;
        if (!quiet)
            log_err("%s: FAILED to retrieve mtime for [%s]: %s\n", "get_file_mtime", path,
                    strerror(err));
        errno = err;
        return -1;
    }
    return st.st_mtime;
}

bool chk_file_updated(const char *path, time_t *tm) noexcept
{
    time_t before = *tm;
    *tm = get_file_mtime(path, false);
    return *tm > before;
}

const char *fmode_str(mode_t mode) noexcept
{
    switch (mode & S_IFMT) {
    case S_IFREG: return "FILE";
    case S_IFIFO: return "FIFO";
    case S_IFCHR: return "CHR";
    case S_IFDIR: return "DIR";
    case S_IFBLK: return "BLK";
    case S_IFLNK: return "LINK";
    case S_IFSOCK: return "SOCK";
    default: return "{???}";
    }
}

FILE *fopen_any(const char *name, const char *mode, size_t count, const char *const *dirs,
                char *path, size_t size) noexcept
{
    static constexpr const char *fn = "fopen_any";
    if (size) path[0] = '\0';
    for (size_t i = 0; i < count && dirs[i]; ++i) {
        const char *dir = dirs[i];
        int n = lastchar(dir) == '/' ? snprintf(path, size, "%s%s", dir, name)
                                     : snprintf(path, size, "%s/%s", dir, name);
        if (n < 0 || size_t(n) >= size) {
            if (size) path[0] = '\0';
            errno = E2BIG;
            return nullptr;
        }
        log_dbg("%s: trying to open [%s]\n", fn, path);
        if (FILE *fp = fopen(path, mode)) {
            log_dbg("%s: opened [%s]\n", fn, path);
            return fp;
        }
    }
    if (size) path[0] = '\0';
    return nullptr;
}

char lastchar(const char *text) noexcept
{
    size_t len = strlen(text);
    return len ? text[len - 1] : '\0';
}

const char *pick_first_file(const char *const *paths, size_t count) noexcept
{
    for (size_t i = 0; i < count; ++i)
        if (paths[i] && access(paths[i], F_OK) == 0) return paths[i];
    return nullptr;
}

int tag_index(const char *name, const char *const *list) noexcept
{
    for (int i = 0; list[i]; ++i)
        if (strcasecmp(name, list[i]) == 0) return i;
    return -1;
}

int close_pipe(const int fds[2]) noexcept
{
    int rc = 0;
    for (int i = 0; i < 2; ++i) {
        if (fds[i] < 0) continue;
        int r = W_close("close_pipe", fds[i]);
        if (r != 0 && rc == 0) rc = r;
    }
    return rc;
}

char *cpy_till(const char *text, const char *delims, char *buf, size_t size) noexcept
{
    if (size == 0) return buf;
    size_t n = std::min(strcspn(text, delims), size - 1);
    memcpy(buf, text, n);
    buf[n] = '\0';
    return buf;
}

ssize_t read_file_buf(const char *path, void *buf, size_t size) noexcept
{
    static constexpr const char *fn = "read_file_buf";
    owned_fd fd(fn, W_open(fn, path, O_RDONLY, 0));
    if (fd.get() < 0) return -1;
    return read_whole(fd.get(), path, buf, size);
}

// The writer socket is a plain non-blocking UDP socket on the numeric
// address, so this helper needs nothing of the network library.
int file_to_dest(const char *addr, int port, const char *path) noexcept
{
    static constexpr const char *fn = "file_to_dest";
    char data[FILE_TO_DEST_MAX];
    ssize_t len = read_file_buf(path, data, sizeof(data));
    if (len < 0) return -1;
    if (port <= 0 || port > 65535) {
        log_err("%s: invalid port %d for [%s]\n", fn, port, addr);
        return -1;
    }
    char service[8];
    snprintf(service, sizeof(service), "%d", port);
    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    struct addrinfo *ai = nullptr;
    if (W_getaddrinfo(fn, addr, service, &hints, &ai) != 0) return -1;
    int rc = -1;
    owned_fd fd(fn, W_socket(fn, ai->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() >= 0) {
        ssize_t n = W_sendto(fn, fd.get(), data, size_t(len), 0, ai->ai_addr, ai->ai_addrlen);
        if (n == len) rc = 0;
    }
    freeaddrinfo(ai);
    return rc;
}

int mk_fpath_dirs(const char *fpath) noexcept
{
    static constexpr const char *fn = "mk_fpath_dirs";
    const char *slash = strrchr(fpath, '/');
    if (!slash || slash == fpath) return 0;  // no directory part, or "/"
    char dir[PATH_MAX];
    size_t len = size_t(slash - fpath);
    if (len >= sizeof(dir)) {
        errno = ENAMETOOLONG;
        log_err("%s: mkdir(%s) ERROR(%d): %s\n", fn, fpath, errno, strerror(errno));
        return -1;
    }
    memcpy(dir, fpath, len);
    dir[len] = '\0';
    log_dbg("%s: dirs=%s\n", fn, dir);
    // Each prefix ending before a '/' (and the whole directory part), from
    // the top; the root itself is never made.
    for (char *p = dir + 1;; ++p) {
        if (*p != '/' && *p != '\0') continue;
        char c = *p;
        *p = '\0';
        if (mkdir(dir, 0755) != 0) {
            int err = errno;
            struct stat st;
            // An existing directory is fine; an existing file is not.
            if (err == EEXIST && (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode))) err = ENOTDIR;
            if (err != EEXIST) {
                log_err("%s: mkdir(%s) ERROR(%d): %s\n", fn, dir, err, strerror(err));
                errno = err;
                return -1;
            }
        }
        *p = c;
        if (!c) break;
    }
    return 0;
}

int create_tmp_file(char *tmpl, mode_t mode) noexcept
{
    static constexpr char k_sym[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const size_t len = strlen(tmpl);
    if (len < TMPFILE_XS || strcmp(tmpl + len - TMPFILE_XS, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    char *xs = tmpl + len - TMPFILE_XS;
    for (int attempt = 0; attempt < TMPFILE_ATTEMPTS; ++attempt) {
        unsigned char rnd[TMPFILE_XS];
        if (getrandom(rnd, sizeof(rnd), GRND_NONBLOCK) != ssize_t(sizeof(rnd))) {
            // No entropy yet (early boot): the clock and the pid still make
            // a name nobody can plant all of in advance, and O_EXCL keeps
            // a planted one harmless.
            struct timespec ts;
            clock_gettime(CLOCK_MONOTONIC, &ts);
            uint64_t v = uint64_t(ts.tv_nsec) ^ (uint64_t(ts.tv_sec) << 20) ^
                         (uint64_t(getpid()) << 40) ^ uint64_t(attempt) * 0x9E3779B97F4A7C15u;
            for (unsigned char &c : rnd) {
                c = static_cast<unsigned char>(v);
                v = v * 6364136223846793005u + 1442695040888963407u;
            }
        }
        for (size_t i = 0; i < TMPFILE_XS; ++i) xs[i] = k_sym[rnd[i] % (sizeof(k_sym) - 1)];
        const int fd =
            open(tmpl, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

int setup_xtr_zstat(const char *pfx, unsigned num, char *buf, size_t size) noexcept
{
    static constexpr const char *fn = "setup_xtr_zstat";
    int n = snprintf(buf, size, "/%s%u.lfxlock", pfx, num);
    if (n < 0 || size_t(n) >= size) {
        log_err("%s: bad shm path (too long?) - [%s], %d bytes\n", fn, size ? buf : "", n);
        return -1;
    }
    owned_fd fd(fn, shm_open(buf, O_WRONLY | O_CREAT, 0600));
    if (fd.get() < 0) {
        int err = errno;
        log_err("%s: shm_open(%s) ERROR(%d): %s\n", fn, buf, err, strerror(err));
        errno = err;
        return -1;
    }
    if (lock_whole_file(fd.get()) != 0) {
        int err = errno;
        if (!lock_held_elsewhere(err))
            log_err("fcntl write-lock ERROR(%d): %s\n", err, strerror(err));
        errno = err;
        return -1;
    }
    return fd.release();
}

bool is_valid_tag32(n32_tag tag) noexcept
{
    return is_letter(tag.sym4[0]) && is_letter(tag.sym4[1]) && is_letter(tag.sym4[2]) &&
           tag.sym4[3] == '\0';
}

bool is_valid_tag64(n64_tag tag) noexcept
{
    const char *s = tag.sym8;
    if (!is_letter(s[0]) || !is_alnum(s[1])) return false;
    for (size_t i = 2; i < sizeof(tag.sym8); ++i) {
        if (s[i] == '\0') return true;
        if (!is_alnum(s[i])) return false;
    }
    return false;
}

int touch_write_file(const char *path) noexcept
{
    static constexpr const char *fn = "touch_write_file";
    int raw = W_open(fn, path, O_RDWR, 0);
    if (raw < 0) return errno;
    owned_fd fd(fn, raw);
    char head[8];
    if (W_read_f(fn, fd.get(), head, sizeof(head), 1) != ssize_t(sizeof(head))) return -7;
    if (W_lseek(fn, fd.get(), 0, SEEK_SET) != 0) return -34;
    if (W_write_f(fn, fd.get(), head, sizeof(head), 1) != ssize_t(sizeof(head))) return -22;
    return 0;
}
