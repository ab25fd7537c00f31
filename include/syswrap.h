#pragma once
// Logging wrappers of system calls.
//
// W_<call>(caller, <the call's arguments>) makes the call and returns
// exactly its result.  The descriptors that W_open, W_socket, W_accept and
// W_pipe make are close-on-exec, so none leaks into a child the process
// starts (a pipe log's shell); the log lines show the caller's arguments.  A failure is logged at ERR (log module 2) as
// "<caller>: <call>(<arguments>) ERROR(<errno>): <strerror>", and errno is
// the call's errno again on return.  The wrappers never handle a failure:
// the caller decides.
//
// The four _f wrappers take a trailing flags word, the caller's guilty mark:
// non-zero logs every failure, 0 keeps the expected ones of no_fault() out
// of the log.
//
// The wrappers sit on the per-datagram path, so each is an inline call plus
// one comparison; the logging lives out of line and runs only on failure.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

// The mode W_open passes to open() when the caller gives 0.
constexpr mode_t SYSW_DEFAULT_MODE = 0644;

// True when err is EAGAIN.
constexpr bool is_eagain(int err) noexcept { return err == EAGAIN; }

// True when an I/O failure with err is expected and not worth a log line:
// never when guilty is non-zero; else for EAGAIN, EINTR, EPIPE, ECONNRESET.
constexpr bool no_fault(int err, int guilty) noexcept
{
    return !guilty && (err == EAGAIN || err == EINTR || err == EPIPE || err == ECONNRESET);
}

// --- files and memory ----------------------------------------------------------

// close(); 0, or non-zero (logged).  Success is logged at DEBUG.
inline int W_close(const char *caller, int fd) noexcept;
// calloc(); the block, or null (logged, errno ENOMEM).
[[nodiscard]] inline void *W_calloc(const char *caller, size_t nmemb, size_t size) noexcept;
// realloc(); the block, or null (logged; ptr is then still the caller's).
[[nodiscard]] inline void *W_realloc(const char *caller, void *ptr, size_t size) noexcept;
// lseek(); the new offset, or -1 (logged).
[[nodiscard]] inline off_t W_lseek(const char *caller, int fd, off_t offset, int whence) noexcept;
// unlink(); 0, or -1 (logged).
inline int W_unlink(const char *caller, const char *path) noexcept;
// ftruncate(); 0, or -1 (logged).
[[nodiscard]] inline int W_ftruncate(const char *caller, int fd, off_t length) noexcept;
// open(); the descriptor, or -1 (logged).  A mode of 0 opens with
// SYSW_DEFAULT_MODE; the log line shows the mode as given.
[[nodiscard]] inline int W_open(const char *caller, const char *path, int flags,
                                mode_t mode) noexcept;

// --- descriptor I/O (flags: the guilty mark, see no_fault) -----------------------

// write(); the count written, or -1 (logged unless no_fault).
[[nodiscard]] inline ssize_t W_write_f(const char *caller, int fd, const void *buf, size_t count,
                                       int flags) noexcept;
// read(); the count read (0 at end of file), or -1 (logged unless no_fault).
[[nodiscard]] inline ssize_t W_read_f(const char *caller, int fd, void *buf, size_t count,
                                      int flags) noexcept;
// pread(); the count read, or -1 (logged unless no_fault).
[[nodiscard]] inline ssize_t W_pread_f(const char *caller, int fd, void *buf, size_t count,
                                       off_t offset, int flags) noexcept;
// sendfile() from in_fd at *offset (required, advanced by the call) to
// out_fd; the count sent, or -1 (logged unless no_fault).
[[nodiscard, gnu::nonnull(4)]] inline ssize_t W_sendfile_f(const char *caller, int out_fd,
                                                         int in_fd, off_t *offset, size_t count,
                                                         int flags) noexcept;

// --- sockets -------------------------------------------------------------------------

// socket(); the descriptor, or -1 (logged).  Success is logged at DEBUG.
[[nodiscard]] inline int W_socket(const char *caller, int domain, int type, int protocol) noexcept;
// getsockopt(); 0, or -1 (logged).
[[nodiscard]] inline int W_getsockopt(const char *caller, int fd, int level, int optname,
                                      void *optval, socklen_t *optlen) noexcept;
// setsockopt(); 0, or -1 (logged).  Not nodiscard: many options are best
// effort, and the failure is in the log already.
inline int W_setsockopt(const char *caller, int fd, int level, int optname, const void *optval,
                        socklen_t optlen) noexcept;
// bind(); 0, or -1 (logged).
[[nodiscard]] inline int W_bind(const char *caller, int fd, const sockaddr *addr,
                                socklen_t addrlen) noexcept;
// listen(); 0, or -1 (logged).
[[nodiscard]] inline int W_listen(const char *caller, int fd, int backlog) noexcept;
// shutdown(); 0, or -1 (logged).
inline int W_shutdown(const char *caller, int fd, int how) noexcept;
// connect(); 0, or -1 (logged).  EINPROGRESS of a non-blocking socket is
// logged at INFO, not as a failure.
[[nodiscard]] inline int W_connect(const char *caller, int fd, const sockaddr *addr,
                                   socklen_t addrlen) noexcept;
// accept(); the new descriptor, or -1 (logged unless EAGAIN).
[[nodiscard]] inline int W_accept(const char *caller, int fd, sockaddr *addr,
                                  socklen_t *addrlen) noexcept;
// sendto(); the count sent (0 for an empty datagram), or -1: logged at ERR,
// or at DEBUG for EAGAIN/EWOULDBLOCK.
[[nodiscard]] inline ssize_t W_sendto(const char *caller, int fd, const void *buf, size_t len,
                                      int flags, const sockaddr *dest,
                                      socklen_t addrlen) noexcept;
// recvfrom(); the count received (0 for an empty datagram or a closed
// stream), or -1: logged at ERR, or at DEBUG for EAGAIN/EWOULDBLOCK.
[[nodiscard]] inline ssize_t W_recvfrom(const char *caller, int fd, void *buf, size_t len,
                                        int flags, sockaddr *src, socklen_t *addrlen) noexcept;
// getaddrinfo(); 0, or the look-up's EAI_* code (logged with gai_strerror).
[[nodiscard]] inline int W_getaddrinfo(const char *caller, const char *node, const char *service,
                                       const addrinfo *hints, addrinfo **res) noexcept;

// --- waiting ---------------------------------------------------------------------------

// select(); the count of ready descriptors, 0, or -1 (logged; EINTR only
// when module 2's level, or its section's threshold, is above 1).
[[nodiscard]] inline int W_select(const char *caller, int nfds, fd_set *readfds, fd_set *writefds,
                                  fd_set *exceptfds, timeval *timeout) noexcept;
// poll(); the count of ready descriptors, or -1 (logged).  0, the time-out,
// is logged at DEBUG.
[[nodiscard]] inline int W_poll(const char *caller, pollfd *fds, nfds_t nfds, int timeout) noexcept;

// --- processes -------------------------------------------------------------------------------

// dup2(); newfd, or -1 (logged).
[[nodiscard]] inline int W_dup2(const char *caller, int oldfd, int newfd) noexcept;
// pipe(); 0, or -1 (logged with the two slots as they stand).
[[nodiscard]] inline int W_pipe(const char *caller, int pipefd[2]) noexcept;
// fork(); the child's pid (0 in the child), or -1 (logged).
[[nodiscard]] inline pid_t W_fork(const char *caller) noexcept;
// kill(); 0, or -1 (logged).
inline int W_kill(const char *caller, pid_t pid, int sig) noexcept;

// --- definitions ---------------------------------------------------------------------------
//
// Each wrapper tests its result inline and hands a failure to a cold
// reporter of lib/syswrap.cpp, which keeps errno and writes the line under
// module 2's gate.  The reporters are no interface of their own.

namespace syswrap_detail {

[[gnu::cold]] void close_failed(const char *caller, int fd) noexcept;
void close_done(const char *caller, int fd) noexcept;
[[gnu::cold]] void calloc_failed(const char *caller, size_t nmemb, size_t size) noexcept;
[[gnu::cold]] void realloc_failed(const char *caller, void *ptr, size_t size) noexcept;
[[gnu::cold]] void lseek_failed(const char *caller, int fd, off_t offset, int whence) noexcept;
[[gnu::cold]] void unlink_failed(const char *caller, const char *path) noexcept;
[[gnu::cold]] void ftruncate_failed(const char *caller, int fd, off_t length) noexcept;
[[gnu::cold]] void open_failed(const char *caller, const char *path, int flags,
                               mode_t mode) noexcept;
[[gnu::cold]] void connect_failed(const char *caller, int fd, const sockaddr *addr,
                                  socklen_t addrlen) noexcept;
[[gnu::cold]] void write_failed(const char *caller, int fd, const void *buf,
                                size_t count) noexcept;
[[gnu::cold]] void read_failed(const char *caller, int fd, const void *buf, size_t count) noexcept;
[[gnu::cold]] void pread_failed(const char *caller, int fd, const void *buf, size_t count,
                                off_t offset) noexcept;
[[gnu::cold]] void sendfile_failed(const char *caller, int out_fd, int in_fd, off_t offset,
                                   size_t count) noexcept;
[[gnu::cold]] void socket_failed(const char *caller, int domain, int type, int protocol) noexcept;
void socket_done(const char *caller, int fd, int domain, int type, int protocol) noexcept;
[[gnu::cold]] void getsockopt_failed(const char *caller, int fd, int level, int optname,
                                     const void *optval, const socklen_t *optlen) noexcept;
[[gnu::cold]] void setsockopt_failed(const char *caller, int fd, int level, int optname,
                                     const void *optval, socklen_t optlen) noexcept;
[[gnu::cold]] void bind_failed(const char *caller, int fd, const sockaddr *addr,
                               socklen_t addrlen) noexcept;
[[gnu::cold]] void listen_failed(const char *caller, int fd, int backlog) noexcept;
[[gnu::cold]] void shutdown_failed(const char *caller, int fd, int how) noexcept;
[[gnu::cold]] void getaddrinfo_failed(const char *caller, const char *node, const char *service,
                                      const addrinfo *hints, addrinfo **res, int rc) noexcept;
[[gnu::cold]] void select_failed(const char *caller, int nfds, const fd_set *readfds,
                                 const fd_set *writefds, const fd_set *exceptfds,
                                 const timeval *timeout) noexcept;
[[gnu::cold]] void accept_failed(const char *caller, int fd, const sockaddr *addr,
                                 const socklen_t *addrlen) noexcept;
[[gnu::cold]] void poll_failed(const char *caller, const pollfd *fds, nfds_t nfds,
                               int timeout) noexcept;
[[gnu::cold]] void poll_timed_out(const char *caller, int timeout) noexcept;
[[gnu::cold]] void dup2_failed(const char *caller, int oldfd, int newfd) noexcept;
[[gnu::cold]] void pipe_failed(const char *caller, const int pipefd[2]) noexcept;
[[gnu::cold]] void fork_failed(const char *caller) noexcept;
[[gnu::cold]] void kill_failed(const char *caller, pid_t pid, int sig) noexcept;
[[gnu::cold]] void sendto_failed(const char *caller, int fd, const void *buf, size_t len,
                                 int flags) noexcept;
[[gnu::cold]] void recvfrom_failed(const char *caller, int fd, const void *buf, size_t len,
                                   int flags) noexcept;

}  // namespace syswrap_detail

inline int W_close(const char *caller, int fd) noexcept
{
    int rc = close(fd);
    if (rc != 0) [[unlikely]]
        syswrap_detail::close_failed(caller, fd);
    else
        syswrap_detail::close_done(caller, fd);
    return rc;
}

inline void *W_calloc(const char *caller, size_t nmemb, size_t size) noexcept
{
    void *p = calloc(nmemb, size);
    if (!p) [[unlikely]]
        syswrap_detail::calloc_failed(caller, nmemb, size);
    return p;
}

inline void *W_realloc(const char *caller, void *ptr, size_t size) noexcept
{
    void *p = realloc(ptr, size);
    if (!p) [[unlikely]]
        syswrap_detail::realloc_failed(caller, ptr, size);
    return p;
}

inline off_t W_lseek(const char *caller, int fd, off_t offset, int whence) noexcept
{
    off_t rc = lseek(fd, offset, whence);
    if (rc == -1) [[unlikely]]
        syswrap_detail::lseek_failed(caller, fd, offset, whence);
    return rc;
}

inline int W_unlink(const char *caller, const char *path) noexcept
{
    int rc = unlink(path);
    if (rc == -1) [[unlikely]]
        syswrap_detail::unlink_failed(caller, path);
    return rc;
}

inline int W_ftruncate(const char *caller, int fd, off_t length) noexcept
{
    int rc = ftruncate(fd, length);
    if (rc == -1) [[unlikely]]
        syswrap_detail::ftruncate_failed(caller, fd, length);
    return rc;
}

inline int W_open(const char *caller, const char *path, int flags, mode_t mode) noexcept
{
    int fd = open(path, flags | O_CLOEXEC, mode ? mode : SYSW_DEFAULT_MODE);
    if (fd == -1) [[unlikely]]
        syswrap_detail::open_failed(caller, path, flags, mode);
    return fd;
}

inline ssize_t W_write_f(const char *caller, int fd, const void *buf, size_t count,
                         int flags) noexcept
{
    ssize_t n = write(fd, buf, count);
    if (n == -1 && !no_fault(errno, flags)) [[unlikely]]
        syswrap_detail::write_failed(caller, fd, buf, count);
    return n;
}

inline ssize_t W_read_f(const char *caller, int fd, void *buf, size_t count, int flags) noexcept
{
    ssize_t n = read(fd, buf, count);
    if (n == -1 && !no_fault(errno, flags)) [[unlikely]]
        syswrap_detail::read_failed(caller, fd, buf, count);
    return n;
}

inline ssize_t W_pread_f(const char *caller, int fd, void *buf, size_t count, off_t offset,
                         int flags) noexcept
{
    ssize_t n = pread(fd, buf, count, offset);
    if (n == -1 && !no_fault(errno, flags)) [[unlikely]]
        syswrap_detail::pread_failed(caller, fd, buf, count, offset);
    return n;
}

inline ssize_t W_sendfile_f(const char *caller, int out_fd, int in_fd, off_t *offset,
                            size_t count, int flags) noexcept
{
    ssize_t n = sendfile(out_fd, in_fd, offset, count);
    if (n == -1 && !no_fault(errno, flags)) [[unlikely]]
        syswrap_detail::sendfile_failed(caller, out_fd, in_fd, *offset, count);
    return n;
}

inline int W_socket(const char *caller, int domain, int type, int protocol) noexcept
{
    int fd = socket(domain, type | SOCK_CLOEXEC, protocol);
    if (fd == -1) [[unlikely]]
        syswrap_detail::socket_failed(caller, domain, type, protocol);
    else
        syswrap_detail::socket_done(caller, fd, domain, type, protocol);
    return fd;
}

inline int W_getsockopt(const char *caller, int fd, int level, int optname, void *optval,
                        socklen_t *optlen) noexcept
{
    int rc = getsockopt(fd, level, optname, optval, optlen);
    if (rc == -1) [[unlikely]]
        syswrap_detail::getsockopt_failed(caller, fd, level, optname, optval, optlen);
    return rc;
}

inline int W_setsockopt(const char *caller, int fd, int level, int optname, const void *optval,
                        socklen_t optlen) noexcept
{
    int rc = setsockopt(fd, level, optname, optval, optlen);
    if (rc == -1) [[unlikely]]
        syswrap_detail::setsockopt_failed(caller, fd, level, optname, optval, optlen);
    return rc;
}

inline int W_bind(const char *caller, int fd, const sockaddr *addr, socklen_t addrlen) noexcept
{
    int rc = bind(fd, addr, addrlen);
    if (rc == -1) [[unlikely]]
        syswrap_detail::bind_failed(caller, fd, addr, addrlen);
    return rc;
}

inline int W_listen(const char *caller, int fd, int backlog) noexcept
{
    int rc = listen(fd, backlog);
    if (rc == -1) [[unlikely]]
        syswrap_detail::listen_failed(caller, fd, backlog);
    return rc;
}

inline int W_shutdown(const char *caller, int fd, int how) noexcept
{
    int rc = shutdown(fd, how);
    if (rc != 0) [[unlikely]]
        syswrap_detail::shutdown_failed(caller, fd, how);
    return rc;
}

inline int W_connect(const char *caller, int fd, const sockaddr *addr, socklen_t addrlen) noexcept
{
    int rc = connect(fd, addr, addrlen);
    if (rc != 0) [[unlikely]]
        syswrap_detail::connect_failed(caller, fd, addr, addrlen);
    return rc;
}

inline int W_accept(const char *caller, int fd, sockaddr *addr, socklen_t *addrlen) noexcept
{
    int rc = accept4(fd, addr, addrlen, SOCK_CLOEXEC);
    if (rc == -1 && !is_eagain(errno)) [[unlikely]]
        syswrap_detail::accept_failed(caller, fd, addr, addrlen);
    return rc;
}

inline ssize_t W_sendto(const char *caller, int fd, const void *buf, size_t len, int flags,
                        const sockaddr *dest, socklen_t addrlen) noexcept
{
    ssize_t n = sendto(fd, buf, len, flags, dest, addrlen);
    if (n == -1) [[unlikely]]
        syswrap_detail::sendto_failed(caller, fd, buf, len, flags);
    return n;
}

inline ssize_t W_recvfrom(const char *caller, int fd, void *buf, size_t len, int flags,
                          sockaddr *src, socklen_t *addrlen) noexcept
{
    ssize_t n = recvfrom(fd, buf, len, flags, src, addrlen);
    if (n == -1) [[unlikely]]
        syswrap_detail::recvfrom_failed(caller, fd, buf, len, flags);
    return n;
}

inline int W_getaddrinfo(const char *caller, const char *node, const char *service,
                         const addrinfo *hints, addrinfo **res) noexcept
{
    int rc = getaddrinfo(node, service, hints, res);
    if (rc != 0) [[unlikely]]
        syswrap_detail::getaddrinfo_failed(caller, node, service, hints, res, rc);
    return rc;
}

inline int W_select(const char *caller, int nfds, fd_set *readfds, fd_set *writefds,
                    fd_set *exceptfds, timeval *timeout) noexcept
{
    int rc = select(nfds, readfds, writefds, exceptfds, timeout);
    if (rc == -1) [[unlikely]]
        syswrap_detail::select_failed(caller, nfds, readfds, writefds, exceptfds, timeout);
    return rc;
}

inline int W_poll(const char *caller, pollfd *fds, nfds_t nfds, int timeout) noexcept
{
    int rc = poll(fds, nfds, timeout);
    if (rc == -1) [[unlikely]]
        syswrap_detail::poll_failed(caller, fds, nfds, timeout);
    else if (rc == 0)
        syswrap_detail::poll_timed_out(caller, timeout);
    return rc;
}

inline int W_dup2(const char *caller, int oldfd, int newfd) noexcept
{
    int rc = dup2(oldfd, newfd);
    if (rc == -1) [[unlikely]]
        syswrap_detail::dup2_failed(caller, oldfd, newfd);
    return rc;
}

inline int W_pipe(const char *caller, int pipefd[2]) noexcept
{
    int rc = pipe2(pipefd, O_CLOEXEC);
    if (rc == -1) [[unlikely]]
        syswrap_detail::pipe_failed(caller, pipefd);
    return rc;
}

inline pid_t W_fork(const char *caller) noexcept
{
    pid_t pid = fork();
    if (pid == -1) [[unlikely]]
        syswrap_detail::fork_failed(caller);
    return pid;
}

inline int W_kill(const char *caller, pid_t pid, int sig) noexcept
{
    int rc = kill(pid, sig);
    if (rc != 0) [[unlikely]]
        syswrap_detail::kill_failed(caller, pid, sig);
    return rc;
}
