#pragma once
// Agent messages in the daemon: one line of the IGMP agent, "JOIN <group>"
// or "LEAVE <group>", creates or removes the group's chained task.

// Handles one message (its line end cut off).  0; 16 (EBUSY) when a JOIN
// finds the task already there; 3 (ESRCH) when a LEAVE finds none; 22
// (EINVAL) for a malformed message; -1 for a failed look-up; otherwise the
// result of creating or dropping the task.
int oxa_process_task(const char *msg) noexcept;
