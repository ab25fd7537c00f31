#pragma once
// The flag store: a small table of short text pairs in one POSIX
// shared-memory object that several processes map whole and change in
// place under a process-shared read/write lock inside the object.
//
// The daemon creates its store at start-up and destroys it at shutdown; the
// flag tool opens it, reads or changes one entry and closes it.  The byte
// layout below is shared by every process that maps a store: all numbers
// little-endian, N the capacity asked for at creation, C = floor(32N / 33)
// the usable slots.
//
//   0    tag "SmF\0"        8    buflen = 32N + 136     16  strsz = 16
//   24   creator's flags    32   rwlk (56 bytes)        88  el: emblst header
//   136  C records of 32 bytes (16-byte key, 16-byte value), slot i at 136 + 32i
//   88 + el.taken_offt      C bytes of taken map (1 taken, 0 free), then zeros
#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <sys/types.h>
#include <type_traits>

#include "lfxtypes.h"
#include "xvdat.h"

// "SmF" and a NUL, read as a little-endian word.
constexpr uint32_t SHMF_TAG = mk_tag32("SmF");
// Size of a key or value field; texts hold at most 15 characters.
constexpr size_t SHMF_STRSZ = 16;
// Names beginning with "/" must be shorter than this; others are made into
// "/shmf-<name>.<pid>", which must fit in it.
constexpr size_t SHMF_PATH_MAX = 248;
// Paths given to shmf_open must be shorter than this.
constexpr size_t SHMF_OPEN_PATH_MAX = 256;
// Result of a key search that found its key.
constexpr int RC_FOUND = 170;
// The default bound of a lock wait, in milliseconds.
constexpr unsigned SHMF_LOCK_WAIT_MS = 500;
// Stores one process may have mapped at a time.
constexpr size_t SHMF_MAX_OPEN = 16;

// A 16-byte key, compared as two machine words.
union n128_tag {
    char sym16[16];
    uint64_t num[2];
};

// One record: the key (NUL-padded) and its value (NUL-terminated and padded).
struct shmf_rec {
    n128_tag name;
    char str[SHMF_STRSZ];
};

// The store's header.  rec0 is the first 8 bytes of record 0: the records
// continue past the end of this struct up to the taken map.
struct shmf_storage {
    n32_tag tag;
    uint32_t pad0;
    uint64_t buflen;
    uint64_t strsz;
    uint32_t flags;
    uint32_t pad1;
    pthread_rwlock_t rwlk;
    emblst el;
    char rec0[8];
};

// The x86-64 Linux layout every process mapping a store relies on.
static_assert(sizeof(n128_tag) == 16);
static_assert(sizeof(shmf_rec) == 32);
static_assert(sizeof(pthread_rwlock_t) == 56);
static_assert(sizeof(shmf_storage) == 144);
static_assert(offsetof(shmf_storage, tag) == 0);
static_assert(offsetof(shmf_storage, buflen) == 8);
static_assert(offsetof(shmf_storage, strsz) == 16);
static_assert(offsetof(shmf_storage, flags) == 24);
static_assert(offsetof(shmf_storage, rwlk) == 32);
static_assert(offsetof(shmf_storage, el) == 88);
static_assert(offsetof(shmf_storage, el) + offsetof(emblst, max_count) == 96);
static_assert(offsetof(shmf_storage, el) + offsetof(emblst, last) == 104);
static_assert(offsetof(shmf_storage, el) + offsetof(emblst, avail) == 112);
static_assert(offsetof(shmf_storage, el) + offsetof(emblst, flags) == 120);
static_assert(offsetof(shmf_storage, el) + offsetof(emblst, taken_offt) == 128);
static_assert(offsetof(shmf_storage, rec0) == 136);
static_assert(std::is_trivially_copyable_v<n128_tag> && std::is_trivially_copyable_v<shmf_rec>);
static_assert(std::is_standard_layout_v<shmf_storage> &&
              std::is_trivially_copyable_v<shmf_storage>);

// Size of a store of capacity n, its usable slots, and where its taken map
// begins (from the start of the object).
constexpr size_t shmf_buflen(size_t n) noexcept { return 32 * n + 136; }
constexpr size_t shmf_slots(size_t n) noexcept { return 32 * n / 33; }
constexpr size_t shmf_map_offset(size_t n) noexcept { return 88 + 48 + 32 * shmf_slots(n); }
static_assert(shmf_buflen(128) == 4232);
static_assert(shmf_slots(128) == 124);
static_assert(shmf_map_offset(128) == 4104);

// A handle: the address at which the store is mapped.
using shmf_t = shmf_storage *;

// --- the store ---------------------------------------------------------------

// A new, empty store of max_count * 32 + 136 bytes named from name, mode
// 0600, with the creator's flags word.  An object of that name that is a
// left-over of this user (held by no process) is removed first; any other
// (a live process's store, another user's object) is never replaced nor
// used.  The handle, or null (logged) when the name is too long or the
// object cannot be created (errno EEXIST when the name is taken), sized,
// mapped or initialised.
shmf_t shmf_create(const char *name, size_t max_count, uint32_t flags) noexcept;
// Maps an existing store; path begins with "/".  The handle, or null
// (logged) when the object cannot be opened or mapped, or is not a
// well-formed store: too short, wrong tag, or a header that does not match
// the object's size and the slot list that creation lays out.
//
// The layout checked when a store is created or opened (its size, slot
// count and taken map) is kept in this process, at most SHMF_MAX_OPEN stores
// at a time, and every access is bounded by it: the header is shared memory
// that another process may rewrite.
shmf_t shmf_open(const char *path) noexcept;
// As shmf_open, but only a store that belongs to user owner (uid_t(-1):
// any); another user's object is refused (logged, errno EPERM) before
// anything of it is read.
shmf_t shmf_open_owned(const char *path, uid_t owner) noexcept;
// The value of key, copied under the read lock into a buffer of this
// process that the next call reuses; null with errno ENOENT when absent,
// ENAMETOOLONG for a key of 16 characters or more, EINVAL for a handle
// without the tag or not mapped here, or the lock's error number when the
// read lock cannot be taken (all but ENOENT logged).
const char *shmf_get(shmf_t fh, const char *key) noexcept;
// Copies the value of key, taken under the read lock, into buf (buflen at
// least SHMF_STRSZ).  0; 3 (ESRCH) when absent; -1 for a bad key or handle
// (logged); or the lock's error number.
int shmf_get_value(shmf_t fh, const char *key, char *buf, size_t buflen) noexcept;
// Sets key to val, adding the key in the lowest free slot when absent: 0;
// -1 for a key or value of 16 characters or more, a bad handle, a full store
// (not logged) or a slot list or header that disagrees with the checked
// layout (logged; nothing is changed); or the lock's error number.
int shmf_set(shmf_t fh, const char *key, const char *val) noexcept;
// Removes key: 0; 3 (ESRCH) when absent; -1 for a bad key or handle or an
// inconsistent slot list or header; or the lock's error number.
int shmf_del(shmf_t fh, const char *key) noexcept;
// Unmaps the length checked when the store was mapped; a null handle is
// fine.  0, or -1 (logged, errno of the failing call) for a handle this
// process did not map or a failed munmap.  A header whose buflen changed
// since is logged as possible corruption and the store still unmapped.
int shmf_close(shmf_t fh) noexcept;
// As shmf_close, after destroying the lock, then removes the object named
// path.  0, or -1 (logged) when unmapping or removing fails.
int shmf_destroy(shmf_t fh, const char *path) noexcept;

// --- locking -------------------------------------------------------------------

// How long shmf_lock waits, for this process: at most ms milliseconds, after
// which it fails with ETIMEDOUT (a lock left held by a process that died is
// never released); 0 restores the default, SHMF_LOCK_WAIT_MS.
void shmf_set_lock_wait(unsigned ms) noexcept;
unsigned shmf_lock_wait() noexcept;
// Takes the read (to_read) or the write lock: 0, or the pthread error
// number (logged).
int shmf_lock(pthread_rwlock_t *lk, bool to_read) noexcept;
// Releases it: 0, or the pthread error number (logged).
int shmf_unlock(pthread_rwlock_t *lk) noexcept;
