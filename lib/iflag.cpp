#include "iflag.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "log.h"
#include "timeop.h"

LOG_MODULE(LM_DEFAULT);

shmf_t g_iflag_shmf = nullptr;
char g_iflag_path[IFLAG_PATH_MAX];

namespace {

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
    lfx_assert(appname);
    if (g_iflag_shmf) {
        log_err("%s: already setup at (%p) [%s]\n", "setup_iflag_storage",
                static_cast<void *>(g_iflag_shmf), g_iflag_path);
        return -1;
    }
    char path[IFLAG_PATH_MAX];
    int n = snprintf(path, sizeof(path), "/%s.%lu.iflag", appname, (unsigned long)getpid());
    if (n < 0 || size_t(n) >= sizeof(path)) {
        log_err("%s: path is too long [%s]\n", "setup_iflag_storage", path);
        return -1;
    }
    shmf_t fh = shmf_create(path, capacity, 0);
    if (!fh) {
        log_err("%s: failed to create [%s]\n", "setup_iflag_storage", path);
        return 0;
    }
    log_info("%s: [%s] (%p) created\n", "setup_iflag_storage", path, static_cast<void *>(fh));
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
