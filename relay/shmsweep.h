#pragma once
// Shared memory left behind by a daemon that died without its clean-up
// (killed, out of memory, crashed): its flag store "<app>.<pid>.iflag" (or
// "<app>.<pid>.<n>.iflag" when that name was taken), and the byte rings
// "mmr.<pid>.<n>" that older versions kept there (rings are anonymous
// now).  A starting daemon removes those that no
// process holds (see shmhold.h), once it holds its pid file and its
// listeners, so nothing of a running daemon is touched, whatever pid
// namespace it runs in.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "shmhold.h"

// The pid in name when name is one of the daemon's kinds of objects (a ring
// "mmr.<pid>.<n>" or app's flag store "<app>.<pid>.iflag" or
// "<app>.<pid>.<n>.iflag", numbers in plain decimal, 1..INT_MAX), else 0.
pid_t shm_object_pid(const char *name, const char *app) noexcept;

// Removes from dir every regular file owned by owner whose name is one of
// the daemon's kinds and that no process holds; links, directories,
// other names and other users' objects stay.  Logs one line with the count
// and the bytes freed when anything was removed.  The count; *bytes (when
// given) gets the bytes freed.
size_t sweep_dead_shm(const char *dir, const char *app, uid_t owner, uint64_t *bytes) noexcept;
