#pragma once
// Start-up and shutdown of the relay daemon: the command line (read in two
// passes around loading the configuration file), the open-file limit, the
// process set-up (delay queue, quit signals, detaching, the event loop, the
// listeners and the agent socket, the user switch, pid file, log, shared
// memory left by dead daemons, flag store), the runtime context g_app, the
// agent socket's registration, the route list, and the tear-down in a
// fixed order.  Every tear-down step accepts a part that was never set
// up, so shutdown runs after any outcome of start-up.
#include <cstddef>

// The application identifier: log identity, identity strings, flag store.
inline constexpr char g_app_name[] = "tvl";
// Entries of the flag store.
constexpr size_t TVL_IFLAG_CAPACITY = 128;
// Descriptors a task may need, and those the daemon needs besides.
constexpr long FDS_PER_TASK = 4;
constexpr long FDS_RESERVE = 50;
// Longest path taken from the command line (characters).
constexpr size_t MAX_CMDLINE_PATH = 127;
// How long a background start waits for the daemon's start-up, ms.
constexpr int STARTUP_WAIT_MS = 30000;

// Both command-line passes and the file load into g_cfg.  0, or the
// process exits: 1 for a bad option, value or file, after -h, -? or -V;
// 2 without -C.
int setup_config(int argc, char **argv) noexcept;
// Prints the usage text on stderr and exits with rc.
[[noreturn]] void usage(int rc) noexcept;

// Raises the soft open-file limit to FDS_PER_TASK x max_tasks +
// FDS_RESERVE when it is lower.  0, or -1 when it cannot be read or raised.
int adjust_fd_limit() noexcept;
// Identity, delay queue, quit signals; unless in the foreground a
// background start; then, in both modes, the event loop, listeners and
// agent socket (a second instance stops here), the user switch, the pid
// file (required in the background, else when named), the log, syslog (in
// the background); then log pid, core limit, CPU pinning, the removal of
// shared memory of dead daemons and the flag store.  Nothing of a running
// instance is touched before the listeners and the pid file are held.  0
// or the failing step's result.
int app_setup() noexcept;
// A background start: the starting process waits (at most STARTUP_WAIT_MS)
// for the daemon to report and exits with the daemon's start-up status.
// report_startup(rc) sends that status once (the first call counts); it
// does nothing in the foreground.
void report_startup(int rc) noexcept;

// Builds the rest of g_app: task lists, task table, first status report.
// 0 or the failure (-1).
int app_ctx_setup() noexcept;
// Tears g_app down, unlinks the report and the pid file this process
// wrote, removes the flag store and resets g_cfg.
void app_ctx_destroy() noexcept;
// True when both a route list and the agent's address are configured.
bool is_oxa_enabled() noexcept;
// Opens the agent socket when enabled.  0 or -1.
int oxa_setup() noexcept;
// Registers the agent socket in the event loop.  0 or the loop's error.
int oxa_listen() noexcept;
// Registers the agent socket (the event loop and the listeners were
// started by app_setup).  0 or the loop's error.
int app_start() noexcept;
// Loads the route list into g_app.route_ht.  0 or the loader's failure.
int load_rrt(const char *path) noexcept;
// Queued task work, all tasks, the context, the event loop, the delays.
void app_shutdown() noexcept;
