#pragma once
// The agent's life: command line, start-up, the capture loop, the quit
// signals and shutdown.

namespace oxa {

// Prints the usage text on stderr and exits with status 1.
[[noreturn]] void usage() noexcept;

// Reads the command line into g_cfg.  0; -1 for a bad value (an unknown
// interface, an address that is not multicast, a value too long for its
// field), said on stderr; the usage or an inverted group range exit with
// status 1.
int app_getcfg(int argc, char **argv) noexcept;

// Capture, group table, detaching (unless g_cfg.non_daemon), log, pid
// file, group list and reporter, in that order.  0, -1, or the positive
// error of a failed step; a failure runs app_shutdown.
int app_setup() noexcept;

// Dispatches captured packets until a quit signal (0) or a capture error
// (-1).
int app_run() noexcept;

// Runs after every return of the capture: a DEBUG line at most every 5 s.
void on_idle() noexcept;

// The quit-signal handler: sets g_quit, remembers the signal for
// say_quit_signal and breaks the capture loop.  Async-signal-safe.
void handle_qsig(int signo) noexcept;
// Says "\nSIG(<n>)\n" on stderr, without waiting, once for a quit signal
// that came.
void say_quit_signal() noexcept;

// Releases the capture, the group table and the reporter, and removes the
// pid file when this process created it; repeating it does no harm.
void app_shutdown() noexcept;

// Points any closed descriptor 0, 1 or 2 at /dev/null, so that sockets and
// files never take them.
void reserve_std_fds() noexcept;

}  // namespace oxa
