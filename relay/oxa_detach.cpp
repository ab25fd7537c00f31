#include "oxa_detach.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log.h"
#include "oxa_ctx.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

namespace oxa {

namespace {

int g_status_fd = -1;   // the daemon's end of the status pipe
int g_starter_err = -1;  // the starter's standard error, for error lines

// A log line of an error level (its tag), for the starter as well.  The
// starter's standard error may be a pipe nobody reads: the line is dropped
// then, never waited on.
void copy_error_line(void *, const char *line)
{
    if (g_starter_err >= 0 &&
        (strstr(line, "(ERR)") || strstr(line, "(CRI)") || strstr(line, "(PNC)")))
        (void)log_copy_to(g_starter_err, line, strlen(line));
}

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// In the starting process: the status byte from fd, or 2.
int await_start_status(int fd)
{
    const long deadline = now_ms() + START_STATUS_WAIT_MS;
    for (;;) {
        const long left = deadline - now_ms();
        if (left <= 0) {
            log_stderr("%s: no start-up status from the background process after %d ms\n",
                       g_progname, START_STATUS_WAIT_MS);
            return OXA_FAILED;
        }
        pollfd p{fd, POLLIN, 0};
        const int n = poll(&p, 1, int(left));
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        uint8_t status = 0;
        const ssize_t r = read(fd, &status, 1);
        if (r == 1) {
            if (status != OXA_OK)
                log_stderr("%s: start-up in the background failed with exit status %d, see "
                           "the lines above\n",
                           g_progname, int(status));
            return status;
        }
        if (r == 0) break;
        if (errno != EINTR && errno != EAGAIN) break;
    }
    log_stderr("%s: the background process ended during its start-up\n", g_progname);
    return OXA_FAILED;
}

// Moves fd above the standard descriptors, which detaching points at
// /dev/null.  The descriptor, or -1.
int above_std_fds(int fd)
{
    if (fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fd);
    return moved;
}

}  // namespace

int detach_with_status() noexcept
{
    static constexpr const char *fn = "detach_with_status";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        const int err = errno;
        log_err("%s: pipe2 ERROR(%d): %s\n", fn, err, strerror(err));
        return -1;
    }
    fds[0] = above_std_fds(fds[0]);
    fds[1] = above_std_fds(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
        const int err = errno;
        log_err("%s: fcntl(F_DUPFD) ERROR(%d): %s\n", fn, err, strerror(err));
        if (fds[0] >= 0) close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
        return -1;
    }
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        const int err = errno;
        log_err("%s: fork ERROR(%d): %s\n", fn, err, strerror(err));
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid > 0) {
        // The starter owns nothing of the daemon's: no shutdown, no exit
        // handlers, only the status.
        close(fds[1]);
        _exit(await_start_status(fds[0]));
    }
    close(fds[0]);
    g_status_fd = fds[1];
    return daemonize();
}

void tell_starter_errors(int fd) noexcept
{
    if (g_status_fd < 0 || fd < 0) return;
    g_starter_err = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (g_starter_err < 0) return;
    // A FIFO or a terminal is written through a description of its own,
    // copied from the one the log kept before a switch to another user.
    log_copy_hold(g_starter_err);
    log_set_hook(&g_log, nullptr, copy_error_line);
}

void send_start_status(int exit_code) noexcept
{
    if (g_starter_err >= 0) {
        log_set_hook(&g_log, nullptr, nullptr);
        log_copy_hold(-1);
        close(g_starter_err);
        g_starter_err = -1;
    }
    if (g_status_fd < 0) return;
    const uint8_t status = uint8_t(exit_code);
    ssize_t n;
    do {
        n = write(g_status_fd, &status, 1);
    } while (n < 0 && errno == EINTR);
    close(g_status_fd);
    g_status_fd = -1;
}

}  // namespace oxa
