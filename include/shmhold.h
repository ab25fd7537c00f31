#pragma once
// Whether a POSIX shared-memory object is in use, told by a lock rather
// than by a pid: pids say nothing across pid namespaces that share
// /dev/shm, and a pid may be reused.
//
// Every process that maps one of the daemon's objects holds a shared flock
// on it for as long as the mapping lasts: the lock belongs to the open file
// description, which the mapping keeps after the descriptor is closed, and
// it goes when the process unmaps the object or dies, however it dies.  An
// object whose exclusive lock can be had is therefore held by nobody and
// may be removed.
#include <sys/stat.h>
#include <sys/types.h>

// Where the system keeps POSIX shared-memory objects.
inline constexpr char SHM_DIR[] = "/dev/shm";

// Takes the shared lock on fd, just opened on the object name ("/x"), and
// checks that name still names it (a sweep may have removed it between the
// open and the lock).  0, or the error number: EWOULDBLOCK while a sweep
// holds it, ENOENT or ESTALE when the name is gone or names another object.
int shm_hold(int fd, const char *name) noexcept;

// Removes the object name (no slash) from the directory dfd when it is a
// regular file of owner that no process holds.  The open never follows a
// link nor blocks.  0 when removed (*st, when given, gets its status);
// else the error number: EBUSY while held, EPERM for another user's object
// or another file type, or that of the failing call (ENOENT when absent).
int shm_remove_unheld(int dfd, const char *name, uid_t owner, struct stat *st) noexcept;
