#pragma once
// The event handlers of the relay engine, reached through the daemon's
// dispatch by the tag "OPX" (task operations and the agent socket) or
// "Rsc" (listeners).  Each takes (descriptor, error bits, context,
// auxiliary data) and returns its result to the event loop.
#include "rtask.h"

// Task handlers: 0 after handling a task (failures become queued
// suspensions or removals); -1 when the context is not a task's.
int on_task_read(int fd, int events, void *udata, void *aux) noexcept;
int on_task_write(int fd, int events, void *udata, void *aux) noexcept;
int on_task_error(int fd, int events, void *udata, void *aux) noexcept;
// The agent socket: up to 8 messages a wake-up.  0, the pending socket
// error, or -1 after a receive error.
int on_oxa_read(int fd, int events, void *udata, void *aux) noexcept;
// A readable listener: accepts.  1 when the process is quitting, else 0.
int on_srv_read(int fd, int events, void *udata, void *aux) noexcept;
// Logs an error or hang-up on sockfd of task (direction "inbound" or
// "outbound"); a hang-up queues the task's suspension or removal.  0.
int err_task_socket(rtask *task, int sockfd, const char *direction, int err) noexcept;
