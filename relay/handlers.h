#pragma once
// The event handlers of the relay engine.  The daemon's read, write and
// error callbacks hand every "OPX" context here: a task's operation
// contexts go to on_task_read, on_task_write and on_task_error, the agent
// socket's (OP_OXA) reads to on_oxa_read; listener sockets ("Rsc") go to
// on_srv_read.  The task handlers pick the step by the context's
// operation, stamp the I/O times and turn every failure into a queued
// suspension or removal; they never free a task, and an event for a
// registration dropped earlier in the same turn is ignored.
//
// All handlers take (descriptor, error bits RQS_SOCKERR/RQS_SOCKHUP,
// context, auxiliary data).  The descriptor argument is not used: the
// context names the descriptor.

// Directions of err_task_socket.
inline constexpr char IN_DIRECTION[] = "inbound";
inline constexpr char OUT_DIRECTION[] = "outbound";
inline constexpr char KA_DIRECTION[] = "keep-alive";

// Agent messages read per wake-up, and the room of one (one byte less is
// read).
constexpr unsigned long MAX_OXA_MSGS = 8;
constexpr unsigned long OXA_MSG_BUFLEN = 128;

struct rtask;

// A readable task descriptor: handshake reply, primary or alternate source,
// keep-alive link.  0 (a context that is not a task's aborts).
int on_task_read(int fd, int flags, void *ctx, void *aux) noexcept;
// A writable task descriptor: handshake request, destination.  0.
int on_task_write(int fd, int flags, void *ctx, void *aux) noexcept;
// A task descriptor that reports only error or hang-up bits.  0.
int on_task_error(int fd, int flags, void *ctx, void *aux) noexcept;
// Logs the error bits err of sockfd.  On a keep-alive link any error bit
// queues the task's removal; elsewhere a hang-up queues a suspension
// (inbound, while revivals remain) or a removal.  0.
int err_task_socket(rtask *task, int sockfd, const char *direction, int err) noexcept;
// The agent socket is readable: up to MAX_OXA_MSGS messages, each cut to
// OXA_MSG_BUFLEN - 1 bytes and its line end, go to oxa_process_task.  0;
// the pending socket error; -1 after a receive error.
int on_oxa_read(int fd, int flags, void *ctx, void *aux) noexcept;
// A listener is readable: accepts up to max_to_accept connections.  1 when
// the process is quitting, else 0.
int on_srv_read(int fd, int flags, void *ctx, void *aux) noexcept;
