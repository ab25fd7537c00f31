#include "syswrap.h"

#include <cstring>

#include "log.h"

LOG_MODULE(LM_SYSWRAP);

namespace {

// Takes errno on construction and puts it back on destruction, so that the
// caller of a wrapper sees the call's errno whatever the logging did to it.
struct errno_keeper {
    const int err = errno;
    errno_keeper() = default;
    errno_keeper(const errno_keeper &) = delete;
    errno_keeper &operator=(const errno_keeper &) = delete;
    ~errno_keeper() { errno = err; }
};

// glibc prints a null %s as "(null)"; this makes that explicit instead of
// relying on it.
const char *or_null(const char *s) noexcept { return s ? s : "(null)"; }

// The level this file's lines are gated by: its section's threshold while a
// section is current, else module 2's level.
int current_level() noexcept
{
    return g_llctx.sec >= 0 ? g_sec_ll[g_llctx.sec] : g_mod_ll[g_llctx.mod];
}

// EAGAIN and EWOULDBLOCK (the same value on Linux, named apart by POSIX).
bool would_block(int err) noexcept { return err == EAGAIN || err == EWOULDBLOCK; }

}  // namespace

namespace syswrap_detail {

void close_failed(const char *caller, int fd) noexcept
{
    errno_keeper e;
    log_err("%s: close(fd%d) ERROR(%d): %s\n", caller, fd, e.err, strerror(e.err));
}

void close_done(const char *caller, int fd) noexcept
{
    errno_keeper e;
    log_dbg("%s: CLOSED(fd%d)\n", caller, fd);
}

void calloc_failed(const char *caller, size_t nmemb, size_t size) noexcept
{
    errno_keeper e;
    log_err("%s: calloc(%ld, %ld) ERROR(%d): %s\n", caller, long(nmemb), long(size), e.err,
            strerror(e.err));
}

void realloc_failed(const char *caller, void *ptr, size_t size) noexcept
{
    errno_keeper e;
    log_err("%s: realloc(%p, %ld) ERROR(%d): %s\n", caller, ptr, long(size), e.err,
            strerror(e.err));
}

void lseek_failed(const char *caller, int fd, off_t offset, int whence) noexcept
{
    errno_keeper e;
    log_err("%s: lseek(%d, %ld, %d) ERROR(%d): %s\n", caller, fd, long(offset), whence, e.err,
            strerror(e.err));
}

void unlink_failed(const char *caller, const char *path) noexcept
{
    errno_keeper e;
    log_err("%s: unlink(%s) ERROR(%d): %s\n", caller, or_null(path), e.err, strerror(e.err));
}

void ftruncate_failed(const char *caller, int fd, off_t length) noexcept
{
    errno_keeper e;
    log_err("%s: ftruncate(%d, %ld) ERROR(%d): %s\n", caller, fd, long(length), e.err,
            strerror(e.err));
}

void open_failed(const char *caller, const char *path, int flags, mode_t mode) noexcept
{
    errno_keeper e;
    log_err("%s: open('%s', %d, 0x%lx) ERROR(%d): %s\n", caller, or_null(path), flags,
            (unsigned long)mode, e.err, strerror(e.err));
}

void connect_failed(const char *caller, int fd, const sockaddr *addr, socklen_t addrlen) noexcept
{
    errno_keeper e;
    // A non-blocking connect that has started is no failure; the name is
    // the wrapper's own, as the line reports progress, not a caller's fault.
    if (e.err == EINPROGRESS) {
        log_info("%s: non-blocking connect in progress for fd%d\n", "W_connect", fd);
        return;
    }
    log_err("%s: connect(%d, %p, %ld) ERROR(%d): %s\n", caller, fd, (const void *)addr,
            long(addrlen), e.err, strerror(e.err));
}

void write_failed(const char *caller, int fd, const void *buf, size_t count) noexcept
{
    errno_keeper e;
    log_err("%s: write(%d, %p, %ld) ERROR(%d): %s\n", caller, fd, buf, long(count), e.err,
            strerror(e.err));
}

void read_failed(const char *caller, int fd, const void *buf, size_t count) noexcept
{
    errno_keeper e;
    log_err("%s: read(%d, %p, %ld) ERROR(%d): %s\n", caller, fd, buf, long(count), e.err,
            strerror(e.err));
}

void pread_failed(const char *caller, int fd, const void *buf, size_t count, off_t offset) noexcept
{
    errno_keeper e;
    log_err("%s: pread(%d, %p, %ld, %ld) ERROR(%d): %s\n", caller, fd, buf, long(count),
            long(offset), e.err, strerror(e.err));
}

void sendfile_failed(const char *caller, int out_fd, int in_fd, off_t offset, size_t count) noexcept
{
    errno_keeper e;
    log_err("%s: LNX sendfile(%d<-%d, %ld, %ld) ERROR(%d): %s\n", caller, out_fd, in_fd,
            long(offset), long(count), e.err, strerror(e.err));
}

void socket_failed(const char *caller, int domain, int type, int protocol) noexcept
{
    errno_keeper e;
    log_err("%s: socket(%d, %d, %d) ERROR(%d): %s\n", caller, domain, type, protocol, e.err,
            strerror(e.err));
}

void socket_done(const char *caller, int fd, int domain, int type, int protocol) noexcept
{
    errno_keeper e;
    log_dbg("%s opened socket fd=%d (%d, %d, %d)\n", caller, fd, domain, type, protocol);
}

void getsockopt_failed(const char *caller, int fd, int level, int optname, const void *optval,
                       const socklen_t *optlen) noexcept
{
    errno_keeper e;
    log_err("%s: getsockopt(%d, %d, %d, %p, %ld) ERROR(%d): %s\n", caller, fd, level, optname,
            optval, optlen ? long(*optlen) : 0L, e.err, strerror(e.err));
}

void setsockopt_failed(const char *caller, int fd, int level, int optname, const void *optval,
                       socklen_t optlen) noexcept
{
    errno_keeper e;
    log_err("%s: setsockopt(%d, %d, %d, %p, %ld) ERROR(%d): %s\n", caller, fd, level, optname,
            optval, long(optlen), e.err, strerror(e.err));
}

void bind_failed(const char *caller, int fd, const sockaddr *addr, socklen_t addrlen) noexcept
{
    errno_keeper e;
    log_err("%s: bind(%d, %p, %ld): ERROR(%d): %s\n", caller, fd, (const void *)addr,
            long(addrlen), e.err, strerror(e.err));
}

void listen_failed(const char *caller, int fd, int backlog) noexcept
{
    errno_keeper e;
    log_err("%s: listen(%d, %d) ERROR(%d): %s\n", caller, fd, backlog, e.err, strerror(e.err));
}

void shutdown_failed(const char *caller, int fd, int how) noexcept
{
    errno_keeper e;
    log_err("%s: shutdown(%d, %d) ERROR(%d): %s\n", caller, fd, how, e.err, strerror(e.err));
}

void getaddrinfo_failed(const char *caller, const char *node, const char *service,
                        const addrinfo *hints, addrinfo **res, int rc) noexcept
{
    errno_keeper e;
    log_err("%s: getaddrinfo(%s, %s, %p, %p): ERROR(%d:%d): %s\n", caller, or_null(node),
            or_null(service), (const void *)hints, (const void *)res, rc, e.err,
            gai_strerror(rc));
}

void select_failed(const char *caller, int nfds, const fd_set *readfds, const fd_set *writefds,
                   const fd_set *exceptfds, const timeval *timeout) noexcept
{
    errno_keeper e;
    // A signal ends every select of a daemon; only a debugging log wants it.
    if (e.err == EINTR && current_level() <= 1) return;
    log_err("%s: select(%d, %p, %p, %p, %p) ERROR(%d): %s\n", caller, nfds,
            (const void *)readfds, (const void *)writefds, (const void *)exceptfds,
            (const void *)timeout, e.err, strerror(e.err));
}

void accept_failed(const char *caller, int fd, const sockaddr *addr,
                   const socklen_t *addrlen) noexcept
{
    errno_keeper e;
    log_err("%s: accept(%d, %p, %ld) ERROR(%d): %s\n", caller, fd, (const void *)addr,
            addrlen ? long(*addrlen) : 0L, e.err, strerror(e.err));
}

void poll_failed(const char *caller, const pollfd *fds, nfds_t nfds, int timeout) noexcept
{
    errno_keeper e;
    log_err("%s: poll(%p, %ld, %d) ERROR(%d): %s\n", caller, (const void *)fds, long(nfds),
            timeout, e.err, strerror(e.err));
}

void poll_timed_out(const char *caller, int timeout) noexcept
{
    errno_keeper e;
    // A time-out is a result the caller asked for, not a warning.
    log_dbg("%s: poll() has timed out after %d ms\n", caller, timeout);
}

void dup2_failed(const char *caller, int oldfd, int newfd) noexcept
{
    errno_keeper e;
    log_err("%s: dup2(%d, %d) ERROR(%d): %s\n", caller, oldfd, newfd, e.err, strerror(e.err));
}

void pipe_failed(const char *caller, const int pipefd[2]) noexcept
{
    errno_keeper e;
    log_err("%s: pipe([%d,%d]) ERROR(%d): %s\n", caller, pipefd[0], pipefd[1], e.err,
            strerror(e.err));
}

void fork_failed(const char *caller) noexcept
{
    errno_keeper e;
    log_err("%s: fork() ERROR(%d): %s\n", caller, e.err, strerror(e.err));
}

void kill_failed(const char *caller, pid_t pid, int sig) noexcept
{
    errno_keeper e;
    log_err("%s: kill(%ld, %d) ERROR(%d): %s\n", caller, long(pid), sig, e.err, strerror(e.err));
}

// A descriptor that would block is the datagram path's ordinary state:
// such a line is for DEBUG only, never an error line per datagram.
void sendto_failed(const char *caller, int fd, const void *buf, size_t len, int flags) noexcept
{
    errno_keeper e;
    if (would_block(e.err))
        log_dbg("%s: sendto(%d, %p, %lu, %d, ...) ERROR(%d): %s\n", caller, fd, buf,
                (unsigned long)len, flags, e.err, strerror(e.err));
    else
        log_err("%s: sendto(%d, %p, %lu, %d, ...) ERROR(%d): %s\n", caller, fd, buf,
                (unsigned long)len, flags, e.err, strerror(e.err));
}

void recvfrom_failed(const char *caller, int fd, const void *buf, size_t len, int flags) noexcept
{
    errno_keeper e;
    if (would_block(e.err))
        log_dbg("%s: recvfrom(%d, %p, %lu, %d, ...) ERROR(%d): %s\n", caller, fd, buf,
                (unsigned long)len, flags, e.err, strerror(e.err));
    else
        log_err("%s: recvfrom(%d, %p, %lu, %d, ...) ERROR(%d): %s\n", caller, fd, buf,
                (unsigned long)len, flags, e.err, strerror(e.err));
}

}  // namespace syswrap_detail
