#pragma once
// Agent messages in the daemon: "JOIN UDP://<group>" creates the task of a
// multicast group (chained through the group's redirection route), "LEAVE
// UDP://<group>" removes it.  The agent socket's reader hands each message,
// its line end removed, to oxa_process_task; the agent gets no answer.

// Handles one message.  0; 16 (EBUSY) when a JOIN finds the task there
// already; 3 (ESRCH) when a LEAVE finds none; 22 (EINVAL) for a malformed
// message (and for a group without a route); -1 when the look-up fails;
// otherwise task creation's or dropping's result.
int oxa_process_task(const char *msg) noexcept;
