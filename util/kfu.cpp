// kfu: reads, sets or deletes one entry of a flag store, normally the one
// of a running daemon, so that its application flags can be switched while
// it runs.  It never creates or removes a store.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "app.globals.h"
#include "libmeta.h"
#include "log.h"
#include "meta.h"
#include "shmflag.h"

LOG_MODULE(LM_DEFAULT);

DEFINE_APP_GLOBALS;

namespace {

constexpr char APP_ID[] = "kfu";

// A lock left held by a process that died is never released: the tool
// gives up after this long instead of hanging.
constexpr unsigned LOCK_WAIT_MS = 3000;

enum kfu_exit : int {
    KFU_OK = 0,
    KFU_USAGE = 1,
    KFU_FAILED = 2,
};

[[noreturn]] void usage(const char *argv0)
{
    fprintf(stderr, "%s\n", get_app_info(APP_ID, nullptr));
    fprintf(stderr, "Usage: %s [-d] path key [value]\n", argv0);
    dump_build_info(stderr);
    exit(KFU_USAGE);
}

// Keys have 1 to 15 characters, values at most 15: anything else could
// never be stored or found, so it is a usage error, not an absent key.
void check_text(const char *argv0, const char *what, const char *text, size_t min)
{
    size_t len = strlen(text);
    if (len >= min && len < SHMF_STRSZ) return;
    fprintf(stderr, "Invalid %s [%s]: %zu characters, must be %zu to %zu\n", what, text, len,
            min, SHMF_STRSZ - 1);
    usage(argv0);
}

// The pid in a daemon's store name "/<app>.<pid>.iflag" or
// "/<app>.<pid>.<n>.iflag"; 0 for any other name.
long pid_in_name(const char *path)
{
    const char *dot = strchr(path, '.');
    if (!dot || dot[1] < '1' || dot[1] > '9') return 0;
    char *end = nullptr;
    errno = 0;
    const long pid = strtol(dot + 1, &end, 10);
    if (errno != 0 || pid <= 0 || pid > INT_MAX || *end != '.') return 0;
    return pid;
}

// The effective uid of process pid, from /proc; -1 when it cannot be read
// (no such process in this pid namespace).
uid_t uid_of_process(long pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%ld/status", pid);
    FILE *f = fopen(path, "re");
    if (!f) return uid_t(-1);
    unsigned long real = 0, eff = 0;
    bool found = false;
    for (char line[256]; !found && fgets(line, sizeof(line), f);)
        found = sscanf(line, "Uid: %lu %lu", &real, &eff) == 2;
    fclose(f);
    return found ? uid_t(eff) : uid_t(-1);
}

// Whose store the tool accepts: its own user's; for root, the user of the
// running daemon the name's pid is (a daemon switches user before it makes
// its store), else root's.  Any user may make an object under a daemon's
// store name, and that object is not the daemon's store.
uid_t store_owner(const char *path)
{
    if (geteuid() != 0) return geteuid();
    const long pid = pid_in_name(path);
    const uid_t uid = pid ? uid_of_process(pid) : uid_t(-1);
    return uid != uid_t(-1) ? uid : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *sysw = getenv("SYSW_DEBUG");
    const bool sysw_debug = sysw && strcmp(sysw, "1") == 0;
    if (argc < 2) usage(argv[0]);

    glog_init(APP_ID);
    log_default(&g_log, stderr);
    g_mod_ll[LM_DEFAULT] = DEBUG_level;

    int level = INFO_level;
    // An invalid -L is a usage error unless a later -L names a level.
    bool bad_level = false;
    bool del = false;
    int opt;
    while ((opt = getopt(argc, argv, "h?dL:")) != -1) {
        switch (opt) {
        case 'd':
            del = true;
            break;
        case 'L':
            bad_level = match_log_level(optarg, &level) != 0;
            if (bad_level) fprintf(stderr, "Invalid log level: %s\n", optarg);
            break;
        default:  // -h, -? and whatever getopt did not recognise
            usage(argv[0]);
        }
    }
    if (bad_level) usage(argv[0]);
    g_mod_ll[LM_DEFAULT] = level;
    if (sysw_debug) g_mod_ll[LM_SYSWRAP] = DEBUG_level;

    if (argc - optind < 2) {
        fprintf(stderr, "Missing a mandatory parameter\n");
        usage(argv[0]);
    }
    const char *path = argv[optind];
    const char *key = argv[optind + 1];
    const char *value = argc - optind > 2 ? argv[optind + 2] : nullptr;
    check_text(argv[0], "key", key, 1);
    if (!del && value) check_text(argv[0], "value", value, 0);

    shmf_set_lock_wait(LOCK_WAIT_MS);
    shmf_t fh = shmf_open_owned(path, store_owner(path));
    if (!fh) {
        fprintf(stderr, "Failed to open iflag storage at [%s]\n", path);
        return KFU_FAILED;
    }

    errno = 0;
    const char *cur = shmf_get(fh, key);
    if (!cur && errno != ENOENT) {
        if (errno == ETIMEDOUT)
            fprintf(stderr,
                    "Gave up after %u ms waiting for the lock of [%s]: a process may have died "
                    "holding it\n",
                    LOCK_WAIT_MS, path);
        else
            fprintf(stderr, "Failed to read [%s] at [%s]\n", key, path);
        shmf_close(fh);
        return KFU_FAILED;
    }
    // A value field holds at most 15 characters and its NUL.
    printf("%.*s\n", int(SHMF_STRSZ - 1), cur ? cur : "<none>");
    fflush(stdout);

    int result = 0;
    if (del) {
        result = shmf_del(fh, key);
        if (result == 0)
            fprintf(stderr, "[%s] removed from [%s]\n", key, path);
        else
            fprintf(stderr, "Failed to remove [%s] key at [%s]\n", key, path);
    } else if (value) {
        result = shmf_set(fh, key, value);
        if (result == 0)
            fprintf(stderr, "set [%s] to [%s] at [%s]\n", key, value, path);
        else
            fprintf(stderr, "Failed to set [%s] to [%s] at [%s]\n", key, value, path);
    }
    shmf_close(fh);
    return result != 0 ? KFU_FAILED : KFU_OK;
}
