#pragma once
// Detaching into the background with the start-up result handed back: the
// process that started the agent stays until the daemon has finished its
// start-up (or failed it) and exits with the daemon's start-up status, so a
// bad pid file, group list, report address or log file gives its exit code
// to whoever started the agent.

namespace oxa {

// How long the starting process waits for the daemon's status.
constexpr int START_STATUS_WAIT_MS = 30000;

// Detaches (daemonize) while the calling process waits for the status that
// the daemon sends with send_start_status, then exits with it: 2 when the
// daemon ends or stays silent for START_STATUS_WAIT_MS without sending one.
// 0 in the daemon; -1 (logged) when detaching failed, in whichever process
// it failed (a daemon whose detaching failed still reports its status).
int detach_with_status() noexcept;

// From here until the status is sent, the log's error lines are copied to
// the starter's standard error through a copy of descriptor fd (the stream
// the log wrote to before its file opened): the file may be one the caller
// does not look at, or /dev/null.  Nothing in a process that did not detach.
void tell_starter_errors(int fd) noexcept;

// Sends exit_code (0: running) to the waiting starter, once, and ends the
// copying of error lines; does nothing in a process that did not detach or
// has sent its status already.
void send_start_status(int exit_code) noexcept;

}  // namespace oxa
