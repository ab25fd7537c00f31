#include "shmsweep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "shmhold.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// A positive decimal number without sign or leading zero, at most INT_MAX,
// ending at *end.  The number, or 0.
long read_number(const char *p, const char **end)
{
    if (*p < '1' || *p > '9') return 0;
    long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX) return 0;
    }
    *end = p;
    return v;
}

// The number after prefix at the start of name, with what follows it in
// *rest; 0 when name does not start so.
long after_prefix(const char *name, const char *prefix, const char **rest)
{
    const size_t n = strlen(prefix);
    if (strncmp(name, prefix, n) != 0) return 0;
    return read_number(name + n, rest);
}

}  // namespace

pid_t shm_object_pid(const char *name, const char *app) noexcept
{
    const char *rest = nullptr;
    if (const long pid = after_prefix(name, "mmr.", &rest); pid != 0 && *rest == '.') {
        const char *end = nullptr;
        if (read_number(rest + 1, &end) != 0 && *end == '\0') return pid_t(pid);
        return 0;
    }
    char prefix[64];
    if (!app || !*app || size_t(snprintf(prefix, sizeof(prefix), "%s.", app)) >= sizeof(prefix))
        return 0;
    const long pid = after_prefix(name, prefix, &rest);
    if (pid == 0) return 0;
    if (strcmp(rest, ".iflag") == 0) return pid_t(pid);
    // "<app>.<pid>.<n>.iflag": the store made when the first name was taken.
    const char *end = nullptr;
    if (*rest == '.' && read_number(rest + 1, &end) != 0 && strcmp(end, ".iflag") == 0)
        return pid_t(pid);
    return 0;
}

size_t sweep_dead_shm(const char *dir, const char *app, uid_t owner, uint64_t *bytes) noexcept
{
    static constexpr const char *fn = "sweep_dead_shm";
    size_t count = 0;
    uint64_t freed = 0;
    const int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR *d = dfd < 0 ? nullptr : fdopendir(dfd);
    if (!d) {
        log_warn("%s: cannot read [%s]: %s\n", fn, dir, strerror(errno));
        if (dfd >= 0) close(dfd);
        if (bytes) *bytes = 0;
        return 0;
    }
    while (const dirent *e = readdir(d)) {
        const pid_t pid = shm_object_pid(e->d_name, app);
        if (pid == 0) continue;
        // Names come from a directory everyone may write: only a regular
        // file of the daemon's own user is one of its objects, and only one
        // that no process holds is left over (a live daemon, here or in
        // another pid namespace sharing the directory, holds its own).
        struct stat st;
        if (const int err = shm_remove_unheld(dfd, e->d_name, owner, &st); err != 0) {
            if (err != EBUSY && err != EPERM && err != EACCES && err != ENOENT && err != ELOOP)
                log_err("%s: cannot remove [%s/%s]: ERROR(%d): %s\n", fn, dir, e->d_name, err,
                        strerror(err));
            continue;
        }
        log_dbg("%s: removed [%s/%s] of pid %ld, %llu bytes\n", fn, dir, e->d_name, long(pid),
                (unsigned long long)st.st_blocks * 512u);
        ++count;
        freed += uint64_t(st.st_blocks) * 512u;
    }
    closedir(d);
    if (count)
        log_norm("%s: removed %zu shared-memory objects of dead processes from [%s], %llu bytes "
                 "freed\n",
                 fn, count, dir, (unsigned long long)freed);
    if (bytes) *bytes = freed;
    return count;
}
