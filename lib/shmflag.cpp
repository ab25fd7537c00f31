#include "shmflag.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "shmhold.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// Where the slot list begins, and how much of the object it covers.
constexpr size_t LIST_OFFSET = offsetof(shmf_storage, el);
constexpr size_t REC_OFFSET = offsetof(shmf_storage, rec0);
static_assert(REC_OFFSET == LIST_OFFSET + EMBLST_HDR_SIZE);

unsigned g_lock_wait_ms = SHMF_LOCK_WAIT_MS;

// What this process checked of a store when it mapped it.  The header
// lives in shared memory, where any process may rewrite it: lengths and
// offsets are taken from here only.
struct store_layout {
    shmf_storage *addr;  // the handle; null for a free entry
    size_t len;          // bytes mapped
    uint64_t cap;        // usable slots
};

std::array<store_layout, SHMF_MAX_OPEN> g_stores;

store_layout *layout_of(const shmf_storage *fh) noexcept
{
    for (store_layout &l : g_stores)
        if (l.addr == fh) return &l;
    return nullptr;
}

// Keeps the layout of a store just mapped; false when every entry is taken.
bool remember_layout(shmf_storage *fh, size_t len, uint64_t cap) noexcept
{
    store_layout *l = layout_of(nullptr);
    if (!l) return false;
    *l = store_layout{fh, len, cap};
    return true;
}

shmf_rec *records(shmf_t fh) noexcept
{
    return reinterpret_cast<shmf_rec *>(reinterpret_cast<char *>(fh) + REC_OFFSET);
}

// The taken map as creation lays it out behind cap records.
char *taken_map(shmf_t fh, const store_layout &l) noexcept
{
    return reinterpret_cast<char *>(records(fh) + l.cap);
}

n128_tag make_key(const char *key) noexcept
{
    n128_tag k{};
    memcpy(k.sym16, key, strlen(key));  // the caller checked it fits with its NUL
    return k;
}

// The key rule of every access: shorter than a key field.
bool key_fits(const char *func, const char *key) noexcept
{
    size_t len = strlen(key);
    if (len < SHMF_STRSZ) return true;
    log_err("%s: [%s] key length is too long (%zu: >= %zu)\n", func, key, len, SHMF_STRSZ);
    return false;
}

bool tag_ok(const char *func, shmf_t fh) noexcept
{
    if (fh->tag.num == SHMF_TAG) return true;
    log_err("%s: BAD signature [%.3s] at (%p) (buflen=%zu)\n", func, fh->tag.sym4,
            static_cast<void *>(fh), size_t(fh->buflen));
    return false;
}

// The layout of a handle this process mapped, or null (logged).
const store_layout *known_store(const char *func, const shmf_storage *fh) noexcept
{
    const store_layout *l = layout_of(fh);
    if (!l) log_err("%s: (%p) is not a store mapped by this process\n", func, (const void *)fh);
    return l;
}

// The slot of key among the taken slots 0 to last, or -1.  last is read
// once and bounded by the checked slot count.
ssize_t find_key(shmf_t fh, const store_layout &l, const n128_tag &key) noexcept
{
    const char *map = taken_map(fh, l);
    const shmf_rec *rec = records(fh);
    const uint64_t last = std::min<uint64_t>(fh->el.last, l.cap - 1);
    for (uint64_t i = 0; i <= last; ++i) {
        if (!map[i]) continue;
        const n128_tag &name = rec[i].name;
        if (name.num[0] == key.num[0] && name.num[1] == key.num[1]) return ssize_t(i);
    }
    return -1;
}

// Why a header cannot be that of a store of size bytes, or null.  Creation
// lays the slot list over everything past offset 88 with 32-byte slots;
// anything else is a foreign or damaged object that must not be indexed.
const char *header_fault(const shmf_storage *stg, size_t size) noexcept
{
    if (stg->buflen != size) return "buflen differs from the object's size";
    if (stg->strsz != SHMF_STRSZ) return "value size is not 16";
    if ((size - REC_OFFSET) % sizeof(shmf_rec) != 0) return "size is not that of a store";
    const emblst &el = stg->el;
    const uint64_t cap = (size - REC_OFFSET) / (sizeof(shmf_rec) + 1);
    if (cap == 0) return "no room for a record";
    if (el.max_count != cap) return "slot count does not match the size";
    if (el.taken_offt != EMBLST_HDR_SIZE + sizeof(shmf_rec) * cap)
        return "taken map offset does not match the slot count";
    if (el.count > cap) return "count above the slot count";
    if (el.last >= cap) return "last slot out of range";
    if (el.avail < -1 || el.avail >= int64_t(cap)) return "free slot out of range";
    return nullptr;
}

// What a change found of the slot list: the counters and the lowest free
// slot, recounted from the taken map.
struct slot_census {
    uint64_t taken = 0;
    int64_t lowest_free = -1;
};

// Why the shared header or slot list disagrees with the layout checked at
// open or with its taken map, or null.  Run under the write lock before the
// list is changed: such a disagreement comes from whatever wrote the shared
// object, and nothing is changed on its word.
const char *slots_fault(shmf_t fh, const store_layout &l, slot_census &c) noexcept
{
    const emblst &el = fh->el;
    if (fh->buflen != l.len) return "buflen differs from the mapped size";
    if (el.max_count != l.cap) return "slot count differs from the mapped one";
    if (el.taken_offt != EMBLST_HDR_SIZE + sizeof(shmf_rec) * l.cap)
        return "taken map offset differs from the mapped one";
    if (el.last >= l.cap) return "last slot out of range";
    const char *map = taken_map(fh, l);
    const shmf_rec *rec = records(fh);
    uint64_t highest = 0;
    for (uint64_t i = 0; i < l.cap; ++i) {
        if (!map[i]) {
            if (c.lowest_free < 0) c.lowest_free = int64_t(i);
            continue;
        }
        ++c.taken;
        highest = i;
        if (rec[i].name.sym16[SHMF_STRSZ - 1] || rec[i].str[SHMF_STRSZ - 1])
            return "unterminated record";
    }
    if (c.taken != el.count) return "count differs from the taken map";
    if (c.taken && highest > el.last) return "slot above last taken";
    if (el.avail != c.lowest_free) return "free slot is not the lowest";
    return nullptr;
}

bool slots_sane(const char *func, shmf_t fh, const store_layout &l, slot_census &c) noexcept
{
    const char *why = slots_fault(fh, l, c);
    if (!why) return true;
    log_err("%s: inconsistent slot list: %s (count=%zu last=%zu avail=%zd)\n", func, why,
            size_t(fh->el.count), size_t(fh->el.last), ssize_t(fh->el.avail));
    return false;
}

// Takes the lowest free slot of a list slots_sane has just counted: its
// index, or -1 when every slot is taken.  The same bookkeeping as the slot
// list's own, bounded by the checked slot count.
ssize_t take_slot(shmf_t fh, const store_layout &l, const slot_census &c) noexcept
{
    if (c.lowest_free < 0) return -1;
    const uint64_t i = uint64_t(c.lowest_free);
    char *map = taken_map(fh, l);
    map[i] = 1;
    emblst &el = fh->el;
    el.count = c.taken + 1;
    if (i > el.last) el.last = i;
    const void *next = i + 1 < l.cap ? memchr(map + i + 1, 0, l.cap - i - 1) : nullptr;
    el.avail = next ? static_cast<const char *>(next) - map : -1;
    return ssize_t(i);
}

// Frees a taken slot of a list slots_sane has just counted.
void free_slot(shmf_t fh, const store_layout &l, const slot_census &c, size_t j) noexcept
{
    taken_map(fh, l)[j] = 0;
    emblst &el = fh->el;
    el.count = c.taken - 1;
    if (el.avail < 0 || int64_t(j) < el.avail) el.avail = int64_t(j);
}

int lock_init(pthread_rwlock_t *lk) noexcept
{
    pthread_rwlockattr_t attr;
    int rc = pthread_rwlockattr_init(&attr);
    if (rc != 0) {
        log_err("%s: pthread_rwlockattr_init ERROR(%d): %s\n", "shmf_lock_init", rc,
                strerror(rc));
        return rc;
    }
    rc = pthread_rwlockattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    if (rc != 0) {
        log_err("%s: pthread_rwlockattr_setpshared ERROR(%d): %s\n", "shmf_lock_init", rc,
                strerror(rc));
    } else {
        rc = pthread_rwlock_init(lk, &attr);
        if (rc != 0)
            log_err("%s: pthread_rwlock_init (SHARED) ERROR(%d): %s\n", "shmf_lock_init", rc,
                    strerror(rc));
    }
    pthread_rwlockattr_destroy(&attr);
    return rc;
}

// The object's name: "/name" as given, any other as "/shmf-<name>.<pid>".
int mk_shmf_path(const char *name, char (&buf)[SHMF_PATH_MAX]) noexcept
{
    if (name[0] == '/') {
        size_t len = strlen(name);
        if (len >= SHMF_PATH_MAX) {
            log_err("%s: path is too long (must be <%zu)\n", "shmf_create", SHMF_PATH_MAX);
            return -1;
        }
        memcpy(buf, name, len + 1);
        return 0;
    }
    int n = snprintf(buf, sizeof(buf), "/shmf-%s.%ld", name, long(getpid()));
    if (n < 0 || size_t(n) >= sizeof(buf)) {
        log_err("%s: buffer overflow: %d>=%zu [%s]\n", "mk_shmf_path", n, sizeof(buf), name);
        return -1;
    }
    return 0;
}

// Unmaps, and with a path removes, the object; destroy_lock only once the
// lock was initialised.  Only the length checked when the store was mapped
// is unmapped, whatever its header says now.
int shmf_xclose(shmf_t fh, const char *path, bool destroy_lock) noexcept
{
    if (!fh) return 0;
    store_layout *l = layout_of(fh);
    if (!l || fh->buflen != l->len) {
        log_err("%s: possible data corruption stg=[%p]: len=%zu\n", "shmf_xclose",
                static_cast<void *>(fh), size_t(fh->buflen));
        if (!l) {
            errno = EINVAL;
            return -1;
        }
    }
    const size_t len = l->len;
    if (path && destroy_lock) {
        int rc = pthread_rwlock_destroy(&fh->rwlk);
        if (rc != 0)
            log_err("%s: pthread_rwlock_destroy ERROR(%d): %s\n", "shmf_xclose", rc,
                    strerror(rc));
    }
    if (munmap(fh, len) != 0) {
        int err = errno;
        log_err("%s: munmap(%p, %zu) ERROR(%d): %s\n", "shmf_xclose", static_cast<void *>(fh),
                len, err, strerror(err));
        errno = err;
        return -1;
    }
    *l = store_layout{};
    if (path && shm_unlink(path) != 0) {
        int err = errno;
        log_err("%s: shm_unlink('%s') ERROR(%d): %s\n", "shmf_xclose", path, err, strerror(err));
        errno = err;
        return -1;
    }
    log_dbg("%s: [%s] (%p) OK\n", "shmf_xclose", path ? path : "-", static_cast<void *>(fh));
    return 0;
}

// Looks key up under the read lock and copies its value to out.  0; or
// ENAMETOOLONG, EINVAL (a mapping that is no store), the lock's error
// number, or ENOENT (absent).
int read_value(const char *func, shmf_t fh, const char *key, char (&out)[SHMF_STRSZ]) noexcept
{
    if (!key_fits(func, key)) return ENAMETOOLONG;
    const store_layout *l = known_store(func, fh);
    if (!l || !tag_ok(func, fh)) return EINVAL;
    const n128_tag k = make_key(key);
    int rc = shmf_lock(&fh->rwlk, true);
    if (rc != 0) return rc;
    const ssize_t j = find_key(fh, *l, k);
    if (j >= 0) {
        memcpy(out, records(fh)[j].str, SHMF_STRSZ - 1);
        out[SHMF_STRSZ - 1] = '\0';  // another process may have left it unterminated
    }
    shmf_unlock(&fh->rwlk);
    return j >= 0 ? 0 : ENOENT;
}

}  // namespace

// --- locking -------------------------------------------------------------------

void shmf_set_lock_wait(unsigned ms) noexcept { g_lock_wait_ms = ms ? ms : SHMF_LOCK_WAIT_MS; }

unsigned shmf_lock_wait() noexcept { return g_lock_wait_ms; }

int shmf_lock(pthread_rwlock_t *lk, bool to_read) noexcept
{
    lfx_assert(lk);
    // An uncontended lock is taken at once, without reading the clock: the
    // relay reads its flags on every event.
    if ((to_read ? pthread_rwlock_tryrdlock(lk) : pthread_rwlock_trywrlock(lk)) == 0) return 0;
    // On the monotonic clock, so that a step of the wall clock neither
    // stretches nor cuts the wait.
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += g_lock_wait_ms / 1000;
    until.tv_nsec += long(g_lock_wait_ms % 1000) * 1000000;
    if (until.tv_nsec >= 1000000000) {
        until.tv_nsec -= 1000000000;
        ++until.tv_sec;
    }
    int rc = to_read ? pthread_rwlock_clockrdlock(lk, CLOCK_MONOTONIC, &until)
                     : pthread_rwlock_clockwrlock(lk, CLOCK_MONOTONIC, &until);
    if (rc != 0)
        log_err("%s: pthread_rwlock_rdlock ERROR(%d): %s\n", "shmf_lock", rc, strerror(rc));
    return rc;
}

int shmf_unlock(pthread_rwlock_t *lk) noexcept
{
    lfx_assert(lk);
    int rc = pthread_rwlock_unlock(lk);
    if (rc != 0)
        log_err("%s: pthread_rwlock_unlock ERROR(%d): %s\n", "shmf_unlock", rc, strerror(rc));
    return rc;
}

// --- the store ---------------------------------------------------------------

namespace {

// Removes a store of this name left by a process that died (with the same
// pid, perhaps in another pid namespace), but never one a live process
// holds: creation then fails on the name.
void remove_left_store(const char *path) noexcept
{
    const int dfd = open(SHM_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return;
    const int err = shm_remove_unheld(dfd, path + 1, geteuid(), nullptr);
    close(dfd);
    if (err == EBUSY)
        log_err("%s: [%s] is held by a live process, not replaced\n", "shmf_create", path);
}

}  // namespace

shmf_t shmf_create(const char *name, size_t max_count, uint32_t flags) noexcept
{
    lfx_assert(name);
    lfx_assert(max_count <= (SIZE_MAX - REC_OFFSET) / sizeof(shmf_rec));
    const size_t len = shmf_buflen(max_count);
    log_dbg("%s: BEGIN [%s] count=%zu f=%04x len=%zu\n", "shmf_create", name, max_count, flags,
            len);
    lfx_assert(len % 8 == 0);

    char path[SHMF_PATH_MAX];
    if (mk_shmf_path(name, path) != 0) return nullptr;
    remove_left_store(path);
    int fd = shm_open(path, O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) {
        int err = errno;
        log_err("%s: shm_open(%s) ERROR(%d): %s\n", "shmf_create", path, err, strerror(err));
        errno = err;
        return nullptr;
    }
    if (const int err = shm_hold(fd, path); err != 0) {
        // Removed by a sweep before the lock: the name is no longer ours.
        log_err("%s: [%s] cannot be held, ERROR(%d): %s\n", "shmf_create", path, err,
                strerror(err));
        W_close("shmf_create", fd);
        return nullptr;
    }
    if (W_ftruncate("shmf_create", fd, off_t(len)) != 0) {
        W_close("shmf_create", fd);
        shm_unlink(path);
        return nullptr;
    }
    // The pages are reserved now: a shared-memory file system without room
    // must fail the creation, not the first write into the mapping (SIGBUS).
    if (const int err = posix_fallocate(fd, 0, off_t(len)); err != 0) {
        log_err("%s: posix_fallocate(%s, %zu) ERROR(%d): %s\n", "shmf_create", path, len, err,
                strerror(err));
        W_close("shmf_create", fd);
        shm_unlink(path);
        return nullptr;
    }
    void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
    if (p == MAP_FAILED) {
        int err = errno;
        log_err("%s: mmap() for %ld bytes failed, ERROR(%d): %s\n", "shmf_create", long(len), err,
                strerror(err));
        W_close("shmf_create", fd);
        shm_unlink(path);
        return nullptr;
    }
    W_close("shmf_create", fd);  // the mapping keeps the object and its lock

    auto *stg = static_cast<shmf_t>(p);
    if (!remember_layout(stg, len, shmf_slots(max_count))) {
        log_err("%s: [%s] cannot be kept: %zu stores are mapped already\n", "shmf_create", path,
                SHMF_MAX_OPEN);
        munmap(p, len);
        shm_unlink(path);
        return nullptr;
    }
    stg->tag.num = SHMF_TAG;
    stg->buflen = len;
    stg->strsz = SHMF_STRSZ;
    stg->flags = flags;
    if (!emblst_create(&stg->el, len - LIST_OFFSET, sizeof(shmf_rec))) {
        log_err("%s: emblst_create(%p, %zu, %zu) ERROR\n", "shmf_create",
                static_cast<void *>(&stg->el), len - LIST_OFFSET, sizeof(shmf_rec));
        shmf_xclose(stg, path, false);
        return nullptr;
    }
    if (lock_init(&stg->rwlk) != 0) {
        shmf_xclose(stg, path, false);
        return nullptr;
    }
    log_info("%s: (%p):%zu [%s] vlen=%zu count=%zu f=%04x\n", "shmf_create", p, len, path,
             size_t(stg->strsz), size_t(stg->el.max_count), flags);
    return stg;
}

shmf_t shmf_open(const char *path) noexcept { return shmf_open_owned(path, uid_t(-1)); }

shmf_t shmf_open_owned(const char *path, uid_t owner) noexcept
{
    if (!path || path[0] != '/' || strnlen(path, SHMF_OPEN_PATH_MAX) >= SHMF_OPEN_PATH_MAX) {
        log_err("%s: invalid path=%s\n", "shmf_open", path ? path : "(null)");
        return nullptr;
    }
    int fd = shm_open(path, O_RDWR, 0);
    if (fd < 0) {
        int err = errno;
        log_err("%s: shm_open(%s) ERROR(%d): %s\n", "shmf_open", path, err, strerror(err));
        return nullptr;
    }
    // Held while mapped, so that no starting daemon's sweep removes the
    // store under this process; the lock goes with the mapping, so a
    // short-lived user such as the flag tool never makes a dead daemon's
    // store look held for longer than it runs.
    if (const int err = shm_hold(fd, path); err != 0) {
        log_err("%s: [%s] cannot be held (being removed?), ERROR(%d): %s\n", "shmf_open", path,
                err, strerror(err));
        W_close("shmf_open", fd);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        log_err("%s: fstat(%d,..) [%s] ERROR(%d): %s\n", "shmf_open", fd, path, err,
                strerror(err));
        W_close("shmf_open", fd);
        return nullptr;
    }
    // Anyone may make an object under any free name: a store of another
    // user than the expected one is not the store looked for.
    if (owner != uid_t(-1) && st.st_uid != owner) {
        log_err("%s: [%s] belongs to uid %lu, not to uid %lu\n", "shmf_open", path,
                (unsigned long)st.st_uid, (unsigned long)owner);
        W_close("shmf_open", fd);
        errno = EPERM;
        return nullptr;
    }
    // The header is read before anything else is known about the object.
    const size_t size = size_t(st.st_size);
    if (size < sizeof(shmf_storage)) {
        log_err("%s: [%s] is too short for a store (%zu < %zu bytes)\n", "shmf_open", path, size,
                sizeof(shmf_storage));
        W_close("shmf_open", fd);
        return nullptr;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        int err = errno;
        log_err("%s: mmap() for %ld bytes failed, ERROR(%d): %s\n", "shmf_open", long(size), err,
                strerror(err));
        W_close("shmf_open", fd);
        return nullptr;
    }
    W_close("shmf_open", fd);  // the mapping keeps the object and its lock

    auto *stg = static_cast<shmf_t>(p);
    if (stg->tag.num != SHMF_TAG) {
        log_err("%s: BAD signature [%.3s] at [%s] (buflen=%zu)\n", "shmf_open", stg->tag.sym4,
                path, size_t(stg->buflen));
        munmap(p, size);
        return nullptr;
    }
    if (const char *why = header_fault(stg, size)) {
        log_err("%s: [%s] is not a valid store: %s (buflen=%zu size=%zu)\n", "shmf_open", path,
                why, size_t(stg->buflen), size);
        munmap(p, size);
        return nullptr;
    }
    if (!remember_layout(stg, size, stg->el.max_count)) {
        log_err("%s: [%s] cannot be kept: %zu stores are mapped already\n", "shmf_open", path,
                SHMF_MAX_OPEN);
        munmap(p, size);
        return nullptr;
    }
    log_dbg("%s: [%s] (%p) buflen=%zu vlen=%zu flags=%04x N=%zu\n", "shmf_open", path, p,
            size_t(stg->buflen), size_t(stg->strsz), stg->flags,
            (size_t(stg->buflen) - REC_OFFSET) / sizeof(shmf_rec));
    return stg;
}

const char *shmf_get(shmf_t fh, const char *key) noexcept
{
    lfx_assert(fh && key);
    // A copy, so that the text cannot change under the caller when another
    // process sets the key; valid until the next call.
    static char value[SHMF_STRSZ];
    if (int rc = read_value("shmf_get", fh, key, value); rc != 0) {
        errno = rc;
        return nullptr;
    }
    return value;
}

int shmf_get_value(shmf_t fh, const char *key, char *buf, size_t buflen) noexcept
{
    lfx_assert(fh && key && buf && buflen >= SHMF_STRSZ);
    char value[SHMF_STRSZ];
    switch (int rc = read_value("shmf_get_value", fh, key, value)) {
    case 0: memcpy(buf, value, sizeof(value)); return 0;
    case ENOENT: return ESRCH;
    case ENAMETOOLONG:
    case EINVAL: return -1;
    default: return rc;
    }
}

int shmf_set(shmf_t fh, const char *key, const char *val) noexcept
{
    lfx_assert(fh && key && val);
    if (!key_fits("shmf_set", key)) return -1;
    const store_layout *l = known_store("shmf_set", fh);
    if (!l || !tag_ok("shmf_set", fh)) return -1;
    const size_t vlen = strlen(val);
    if (vlen >= SHMF_STRSZ) {
        log_err("%s: [%s] value length is too long (%zu >= %zu)\n", "shmf_set", key, vlen,
                SHMF_STRSZ);
        return -1;
    }
    // The whole field is written in one copy: a reader holding an earlier
    // result sees the old text or the new one padded.
    char field[SHMF_STRSZ] = {};
    memcpy(field, val, vlen);
    const n128_tag k = make_key(key);

    int rc = shmf_lock(&fh->rwlk, false);
    if (rc != 0) return rc;
    ssize_t j = find_key(fh, *l, k);
    if (j < 0) {
        slot_census c;
        if (!slots_sane("shmf_set", fh, *l, c) || (j = take_slot(fh, *l, c)) < 0) {
            shmf_unlock(&fh->rwlk);
            return -1;
        }
        records(fh)[j].name = k;
        log_dbg("%s: adding %s/%s (j=%zd)\n", "shmf_set", key, val, j);
    }
    memcpy(records(fh)[j].str, field, sizeof(field));
    shmf_unlock(&fh->rwlk);
    return 0;
}

int shmf_del(shmf_t fh, const char *key) noexcept
{
    lfx_assert(fh && key);
    if (!key_fits("shmf_del", key)) return -1;
    const store_layout *l = known_store("shmf_del", fh);
    if (!l || !tag_ok("shmf_del", fh)) return -1;
    const n128_tag k = make_key(key);

    int rc = shmf_lock(&fh->rwlk, false);
    if (rc != 0) return rc;
    const ssize_t j = find_key(fh, *l, k);
    slot_census c;
    if (j < 0) {
        rc = ESRCH;
    } else if (!slots_sane("shmf_del", fh, *l, c)) {
        rc = -1;
    } else {
        char old[SHMF_STRSZ];
        memcpy(old, records(fh)[j].str, sizeof(old));  // terminated: slots_sane checked
        log_dbg("%s: %s/%s (j=%zd)\n", "shmf_del", key, old, j);
        free_slot(fh, *l, c, size_t(j));
    }
    shmf_unlock(&fh->rwlk);
    return rc;
}

int shmf_close(shmf_t fh) noexcept { return shmf_xclose(fh, nullptr, false); }

int shmf_destroy(shmf_t fh, const char *path) noexcept { return shmf_xclose(fh, path, true); }
