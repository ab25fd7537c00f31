#include "iflag.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/random.h>
#include <unistd.h>

#include "log.h"
#include "timeop.h"

LOG_MODULE(LM_DEFAULT);

shmf_t g_iflag_shmf = nullptr;
char g_iflag_path[IFLAG_PATH_MAX];

namespace {

// Names tried after the first one is taken.
constexpr int IFLAG_NAME_TRIES = 8;

// The number in a store's name when "/<app>.<pid>.iflag" is taken: random,
// 1..999999999.
unsigned iflag_name_number() noexcept
{
    uint32_t v = 0;
    if (getrandom(&v, sizeof(v), GRND_NONBLOCK) != ssize_t(sizeof(v))) {
        // Without entropy yet (early boot): the clock's nanoseconds.
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        v = uint32_t(ts.tv_nsec) ^ uint32_t(ts.tv_sec) * 2654435761u;
    }
    return 1 + v % 999999999u;
}

// After a lock wait of the store failed, flags are read from the
// environment alone for a while: a lock left held by a dead process would
// otherwise cost every reading a full wait.
constexpr long STORE_RETRY_USEC = 10 * 1000 * 1000;
struct timespec g_store_retry_at;  // zero while the store is in use

bool store_resting() noexcept
{
    if (!g_store_retry_at.tv_sec) return false;
    struct timespec now;
    set_now(&now);
    if (now.tv_sec < g_store_retry_at.tv_sec ||
        (now.tv_sec == g_store_retry_at.tv_sec && now.tv_nsec < g_store_retry_at.tv_nsec))
        return true;
    g_store_retry_at = timespec{};
    return false;
}

// A positive result of a store call is the lock's error number.
void note_store_result(int rc) noexcept
{
    if (rc <= 0 || rc == ESRCH) return;
    struct timespec pause;
    usec2timespec(STORE_RETRY_USEC, &pause);
    set_now_plus(&g_store_retry_at, &pause);
}

// The value that counts for tag: the store's when it holds the key (copied
// into stored under the store's lock); else the environment's, copied into
// the store for the flag tool to see.
const char *apply_iflag_shmf(const char *tag, const char *env, char *stored) noexcept
{
    if (store_resting()) return env;
    int rc = shmf_get_value(g_iflag_shmf, tag, stored, SHMF_STRSZ);
    if (rc == 0) return stored;
    note_store_result(rc);
    if (rc != ESRCH || !env) return env;
    rc = shmf_set(g_iflag_shmf, tag, env);
    if (rc != 0) {
        note_store_result(rc);
        log_err("%s: unable to set [%s]->[%s] pair\n", "apply_iflag_shmf", tag, env);
    } else {
        log_dbg("%s: ADDED [%s]->[%s] to %s\n", "apply_iflag_shmf", tag, env, g_iflag_path);
    }
    return env;
}

}  // namespace

int setup_iflag_storage(const char *appname, size_t capacity) noexcept
{
    static constexpr const char *fn = "setup_iflag_storage";
    lfx_assert(appname);
    if (g_iflag_shmf) {
        log_err("%s: already setup at (%p) [%s]\n", fn, static_cast<void *>(g_iflag_shmf),
                g_iflag_path);
        return -1;
    }
    char first[IFLAG_PATH_MAX];
    int n = snprintf(first, sizeof(first), "/%s.%lu.iflag", appname, (unsigned long)getpid());
    if (n < 0 || size_t(n) >= sizeof(first)) {
        log_err("%s: path is too long [%s]\n", fn, first);
        return -1;
    }
    char path[IFLAG_PATH_MAX];
    memcpy(path, first, size_t(n) + 1);
    errno = 0;
    shmf_t fh = shmf_create(path, capacity, 0);
    // The name is taken by an object this daemon did not make: the store of
    // a live daemon with the same pid in another pid namespace sharing
    // /dev/shm, or anybody's file.  It is left alone, and the store goes
    // under a name nobody can guess in advance.
    for (int i = 0; !fh && errno == EEXIST && i < IFLAG_NAME_TRIES; ++i) {
        n = snprintf(path, sizeof(path), "/%s.%lu.%u.iflag", appname, (unsigned long)getpid(),
                     iflag_name_number());
        if (n < 0 || size_t(n) >= sizeof(path)) break;
        errno = 0;
        fh = shmf_create(path, capacity, 0);
    }
    if (!fh) {
        log_err("%s: failed to create [%s]\n", fn, path);
        return 0;
    }
    log_info("%s: [%s] (%p) created\n", fn, path, static_cast<void *>(fh));
    // The name an operator (or kfu) needs, whichever name it is.
    if (strcmp(path, first) != 0)
        log_norm("%s: [%s] is taken by another process's object; this daemon's flag store is "
                 "[%s]\n",
                 fn, first, path);
    else
        log_norm("%s: this daemon's flag store is [%s]\n", fn, path);
    g_iflag_shmf = fh;
    memcpy(g_iflag_path, path, size_t(n) + 1);
    return 0;
}

void destroy_iflag_storage() noexcept
{
    if (!g_iflag_shmf) return;
    if (shmf_destroy(g_iflag_shmf, g_iflag_path) != 0) {
        log_err("%s: failed to destroy (%p) [%s]\n", "destroy_iflag_storage",
                static_cast<void *>(g_iflag_shmf), g_iflag_path);
        return;
    }
    log_info("%s: SUCCESS (%p) [%s]\n", "destroy_iflag_storage", static_cast<void *>(g_iflag_shmf),
             g_iflag_path);
    g_iflag_shmf = nullptr;
    g_iflag_path[0] = '\0';
    g_store_retry_at = timespec{};
}

bool iflag(const char *tag) noexcept
{
    lfx_assert(tag);
    const char *val = getenv(tag);
    char stored[SHMF_STRSZ];
    if (g_iflag_shmf) val = apply_iflag_shmf(tag, val, stored);
    return val && (!strcasecmp(val, "yes") || !strcasecmp(val, "true") || !strcmp(val, "1"));
}
