#include "iflag.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

shmf_t g_iflag_shmf = nullptr;
char g_iflag_path[IFLAG_PATH_MAX];

namespace {

// The value that counts for tag: the store's when it holds the key; else
// the environment's, copied into the store for the flag tool to see.
const char *apply_iflag_shmf(const char *tag, const char *env) noexcept
{
    if (const char *stored = shmf_get(g_iflag_shmf, tag)) return stored;
    if (!env) return nullptr;
    if (shmf_set(g_iflag_shmf, tag, env) != 0)
        log_err("%s: unable to set [%s]->[%s] pair\n", "apply_iflag_shmf", tag, env);
    else
        log_dbg("%s: ADDED [%s]->[%s] to %s\n", "apply_iflag_shmf", tag, env, g_iflag_path);
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
}

bool iflag(const char *tag) noexcept
{
    lfx_assert(tag);
    const char *val = getenv(tag);
    if (g_iflag_shmf) val = apply_iflag_shmf(tag, val);
    return val && (!strcasecmp(val, "yes") || !strcasecmp(val, "true") || !strcmp(val, "1"));
}
