#pragma once
// Application flags: run-time switches read by name.  A flag is on when its
// value is "yes", "true" or "1" in any case.  The value comes from the
// environment variable of the same name or, in a process that has one, from
// its flag store, which the flag tool can read and change while the process
// runs.  The first reading of a flag set in the environment copies it into
// the store; from then on the store's value counts.  One thread only.
#include <cstddef>

#include "shmflag.h"

// Room for the store's name, NUL included.
constexpr size_t IFLAG_PATH_MAX = 256;

extern shmf_t g_iflag_shmf;               // the process's store, null when none
extern char g_iflag_path[IFLAG_PATH_MAX];  // its name, empty when none

// Creates the process's store "/<appname>.<pid>.iflag" with the given
// capacity.  When that name is taken by an object the process did not make
// (a live process's store, another user's object), which is left alone,
// the store is "/<appname>.<pid>.<n>.iflag" with a random n.  A NORM line
// names the store either way ("... flag store is [<name>]").  -1 (logged) when a store already exists or the name does
// not fit in 255 characters; else 0, also when the store could not be
// created (logged): the process then reads its flags from the environment
// alone.
int setup_iflag_storage(const char *appname, size_t capacity) noexcept;
// Destroys the process's store and clears g_iflag_shmf and g_iflag_path;
// nothing without a store.  A failure is logged and the handle kept.
void destroy_iflag_storage() noexcept;
// Whether flag tag is on: the store's value when it holds the key, else the
// environment's, which is then added to the store (a failure is logged on
// each reading).  Absent or any other value is off.  After the store's lock
// could not be had in its bounded wait, the environment alone counts for
// the next 10 seconds.
bool iflag(const char *tag) noexcept;
