// The daemon's command line: pass 1 finds the configuration path and the
// options that end the process at once; the file is loaded; pass 2 applies
// the overrides.
#include <getopt.h>
#include <sched.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.h"
#include "cfg.h"
#include "libmeta.h"
#include "log.h"
#include "meta.h"
#include "rtask.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr char SHORT_OPTS[] = "h?C:VqTl:L:p:t:r:M:P:";
// --verbose has no short form: the parser takes it, pass 2 refuses it.
constexpr int VERBOSE_OPT = 'v';

const struct option LONG_OPTS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"options", no_argument, nullptr, 'h'},
    {"config", required_argument, nullptr, 'C'},
    {"version", no_argument, nullptr, 'V'},
    {"quiet", no_argument, nullptr, 'q'},
    {"term", no_argument, nullptr, 'T'},
    {"logfile", required_argument, nullptr, 'l'},
    {"level", required_argument, nullptr, 'L'},
    {"pidfile", required_argument, nullptr, 'p'},
    {"tasks", required_argument, nullptr, 't'},
    {"routes", required_argument, nullptr, 'r'},
    {"maxpkts", required_argument, nullptr, 'M'},
    {"cpu", required_argument, nullptr, 'P'},
    {"verbose", no_argument, nullptr, VERBOSE_OPT},
    {nullptr, 0, nullptr, 0},
};

constexpr char OPTION_GUIDE[] =
    "Options:\n"
    "  -h|?|--help                = output this option guide\n"
    "  -C|--config  {path}        = configuration file\n"
    "  -l|--logfile {path}        = log file\n"
    "  -L|--level {level}         = log level: crit|err|norm|warn|info|debug\n"
    "  -p|--pidfile {path}        = pid file\n"
    "  -T|--term                  = run as a non-daemon application\n"
    "  -t|--tasks {path}          = task list\n"
    "  -r|--routes {path}         = redirection-route list\n"
    "  -V|--version               = output application's version\n"
    "  -q|--quiet                 = send no output to terminal\n"
    "  -P|--cpu {0..N}            = run on CPUx only\n"
    "  -M|--maxpkts {1..64}       = max # of packets per I/O event\n";


// Copies a path option of at most MAX_CMDLINE_PATH characters into field
// (CFG_PATH_LEN bytes); a longer one is refused with what's message.
bool take_path(const char *arg, char *field, const char *what)
{
    const size_t n = strlen(arg);
    if (n > MAX_CMDLINE_PATH) {
        log_err("%s path is too long (%ld bytes), max=%ld bytes.\n", what, long(n),
                long(MAX_CMDLINE_PATH + 1));
        return false;
    }
    memcpy(field, arg, n + 1);
    return true;
}

// A whole text read as a decimal number within [lo, hi]: no blanks, no
// trailing characters.
bool whole_int(const char *arg, long lo, long hi, int *out)
{
    if (!arg || !(isdigit(static_cast<unsigned char>(arg[0])) || arg[0] == '-')) return false;
    errno = 0;
    char *end = nullptr;
    const long v = strtol(arg, &end, 10);
    if (errno != 0 || end == arg || *end != '\0' || v < lo || v > hi) return false;
    *out = int(v);
    return true;
}

// One override of pass 2; false on a refused value.
bool apply_option(int c, const char *arg)
{
    switch (c) {
    case 'q': g_cfg.rt.quiet = true; return true;
    case 'T': g_cfg.rt.non_daemon = true; return true;
    case 'l': return take_path(arg, g_cfg.log.path, "Log");
    case 'p': return take_path(arg, g_cfg.rt.pidfile, "Pidfile");
    case 't': return take_path(arg, g_cfg.task_file, "Task list");
    case 'r': return take_path(arg, g_cfg.rrt_file, "Route list");
    case 'L':
        if (match_log_level(arg, &g_cfg.log.level) != 0) {
            log_err("Invalid log level: %s\n", arg);
            return false;
        }
        return true;
    case 'M': {
        int n = 0;
        if (!whole_int(arg, MIN_MAXPKTS, MAX_MAXPKTS, &n)) {
            log_err("Invalid maxpkts value (1-64): %s\n", arg);
            return false;
        }
        g_cfg.max_pkts = n;
        return true;
    }
    case 'P': {
        // -1: no pinning; a CPU the affinity mask cannot hold is refused
        // here rather than at start-up.
        int n = 0;
        if (!whole_int(arg, -1, CPU_SETSIZE - 1, &n)) {
            log_err("Invalid CPU #: %s\n", arg);
            return false;
        }
        g_cfg.rt.cpunum = n;
        return true;
    }
    case 'C':
    case 'h':
    case 'V': return true;
    default: log_err("Unknown option: %c\n", c); return false;
    }
}

}  // namespace

void usage(int rc) noexcept
{
    fprintf(stderr, "%s\n", get_app_info(g_app_name, nullptr));
    fprintf(stderr, "Usage: %s OPTIONS\n", g_app_name);
    fputs(OPTION_GUIDE, stderr);
    fputs("\n\n== Constants:\n", stderr);
    fprintf(stderr, "  TVL_PKTLEN = %d\n", int(PKT_LEN));
    fputs("==\n\n", stderr);
    dump_build_info(stderr);
    fprintf(stderr, "%s is a part of the Tavel stream relay system.\n\n", g_app_name);
    fflush(stderr);
    exit(rc);
}

int setup_config(int argc, char **argv) noexcept
{
    static constexpr const char *fn = "setup_config";
    init_app_config(&g_cfg);
    log_default(&g_log, stderr);
    n64_tag group{};
    memcpy(group.sym8, "TVL", 3);
    log_set_group(&g_log, group.num);

    const char *config = nullptr;
    reset_getopt_state();
    int c;
    while ((c = getopt_long(argc, argv, SHORT_OPTS, LONG_OPTS, nullptr)) != -1) {
        switch (c) {
        case 'C': config = optarg; break;
        case 'h': usage(1);
        case '?': usage(1);
        case 'V':
            fprintf(stderr, "%s\n", get_app_info(g_app_name, nullptr));
            exit(0);
        case 'q': g_cfg.rt.quiet = true; break;
        default: break;
        }
    }
    if (!config) {
        fputs("Config path must be specified\n", stderr);
        usage(2);
    }
    if (g_cfg.rt.quiet) {
        if (const int rc = redirect_output("/dev/null"); rc != 0)
            log_err("%s: error rc=%d redirecting output: %s\n", fn, rc, strerror(errno));
    }

    reset_getopt_state();
    if (load_app_config(config, &g_cfg, false) != 0) exit(1);
    log_timefmt(&g_log, uint32_t(g_cfg.log.timefmt));
    if (geteuid() != 0) g_cfg.rt.non_daemon = true;

    bool ok = true;
    opterr = 0;
    while (ok && (c = getopt_long(argc, argv, SHORT_OPTS, LONG_OPTS, nullptr)) != -1)
        ok = apply_option(c, optarg);
    log_set_rota(&g_log, size_t(g_cfg.log.max_size_mb) << 20, size_t(g_cfg.log.max_files));
    if (!ok) {
        reset_app_config(&g_cfg);
        exit(1);
    }
    return 0;
}
