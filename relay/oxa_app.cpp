#include "oxa_app.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app.globals.h"
#include "gkh.h"
#include "libmeta.h"
#include "log.h"
#include "meta.h"
#include "netaddr.h"
#include "oxa_capture.h"
#include "oxa_ctx.h"
#include "oxa_detach.h"
#include "oxa_report.h"
#include "oxa_scope.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

namespace oxa {

namespace {

app_ctx initial_ctx()
{
    app_ctx c{};
    c.rep.sockfd = -1;
    return c;
}

}  // namespace

app_cfg g_cfg{};
app_ctx g_ctx = initial_ctx();
namespace {

// The quit signal that came, for say_quit_signal; 0 when none.
volatile sig_atomic_t g_qsig = 0;

}  // namespace
const char *g_progname = APP_ID;

namespace {

constexpr char OPTSTRING[] = "?Ti:R:g:G:F:l:L:u:p:";
constexpr char DEFAULT_LOGFILE[] = "/dev/null";
constexpr char REPORT_SCHEME[] = "udp://";
constexpr size_t CWD_SIZE = 256;

struct opt_help {
    const char *opt;
    const char *help;
};

constexpr std::array<opt_help, 11> OPTION_GUIDE = {{
    {"-?", "output this option guide"},
    {"-i {ifc}", "network interface to listen on"},
    {"-R {address:port}", "address:port of tvl to report to"},
    {"-g {min-group}", "minimal m-cast address to relay"},
    {"-G {max-group}", "maximum m-cast address to relay"},
    {"-F {path}", "path to group-list file"},
    {"-l {path}", "log file"},
    {"-L {level}", "log level: crit|err|norm|warn|info|debug"},
    {"-p {path}", "pid file"},
    {"-u {username}", "run as user"},
    {"-T", "run as a non-daemon application"},
}};

// Copies the value of option opt into a fixed field; a value that does not
// fit is refused, never cut.
bool set_field(char *field, size_t max_len, const char *prefix, const char *value, char opt)
{
    const size_t plen = strlen(prefix), vlen = strlen(value);
    if (plen + vlen > max_len) {
        fprintf(stderr, "Value of -%c is too long: %zu characters, at most %zu: %s\n", opt, vlen,
                max_len - plen, value);
        return false;
    }
    memcpy(field, prefix, plen);
    memcpy(field + plen, value, vlen + 1);
    return true;
}

template <size_t N>
bool set_field(char (&field)[N], const char *value, char opt)
{
    return set_field(field, N - 1, "", value, opt);
}

// A group bound of -g or -G, in host order.  0 or -1 (said on stderr).
int parse_group(const char *text, uint32_t *bound)
{
    in_addr addr{};
    if (inet_aton(text, &addr) == 0) {
        fprintf(stderr, "Invalid address: %s\n", text);
        return -1;
    }
    if (!is_mcast_group(ntohl(addr.s_addr))) {
        fprintf(stderr, "Non-multicast address: %s (0x%04x)\n", text, addr.s_addr);
        return -1;
    }
    *bound = ntohl(addr.s_addr);
    return 0;
}

// One option of the command line.  0 or -1.
int take_option(int opt, const char *arg)
{
    switch (opt) {
    case 'T':
        g_cfg.non_daemon = true;
        return 0;
    case 'i': {
        if (!set_field(g_cfg.mifc, arg, 'i')) return -1;
        sockaddr_storage ss{};
        if (ifc_addr_lookup(AF_INET, arg, reinterpret_cast<sockaddr *>(&ss), sizeof ss) != 0) {
            fprintf(stderr, "Invalid interface name: %s\n", arg);
            return -1;
        }
        return 0;
    }
    case 'R':
        if (strcmp(arg, "-") == 0) {
            g_cfg.report_url[0] = '\0';
            return 0;
        }
        return set_field(g_cfg.report_url, REPORT_URL_MAX, REPORT_SCHEME, arg, 'R') ? 0 : -1;
    case 'g':
        return parse_group(arg, &g_cfg.min_group);
    case 'G':
        return parse_group(arg, &g_cfg.max_group);
    case 'F':
        g_cfg.grp_list_file = arg;
        return 0;
    case 'l':
        g_cfg.logfile = arg;
        return 0;
    case 'L':
        // A level the agent does not know is a usage error, as it is for
        // the daemon: running on at another level than asked is worse.
        if (match_log_level(arg, &g_cfg.log_level) != 0) {
            fprintf(stderr, "Invalid log level: %s\n", arg);
            usage();
        }
        return 0;
    case 'p':
        return set_field(g_cfg.pidfile, arg, 'p') ? 0 : -1;
    case 'u':
        return set_field(g_cfg.rt_user, arg, 'u') ? 0 : -1;
    default:  // -?, an unknown option, a missing argument
        usage();
    }
}

// Switches to the configured user, if any; a switch that cannot be made
// stops start-up.  0 or -1.
int switch_user()
{
    const char *user = g_cfg.rt_user;
    if (!user[0]) return 0;
    // The new user may not open root's FIFO or terminal that stderr, or the
    // log's copy of the starter's, names.
    log_keep_std(&g_log);
    if (run_as_user(user) == 0) return 0;
    const int err = errno;
    if (err)
        log_err("%s: cannot run as user [%s]: ERROR(%d): %s\n", "app_setup", user, err,
                strerror(err));
    else
        log_err("%s: cannot run as user [%s]\n", "app_setup", user);
    return -1;
}

// Step 3 of the start-up: into the background, under the configured user.
int detach()
{
    char saved[CWD_SIZE];
    if (!getcwd(saved, sizeof saved)) {
        const int err = errno;
        log_err("getcwd ERROR(%d) : %s\n", err, strerror(err));
        return -1;
    }
    // The log still writes to the starter's standard error here, through a
    // copy that detaching leaves it, so the failure reaches the starter.
    if (detach_with_status() != 0) {
        log_err("Failed to make the process a daemon, quitting.\n");
        return -1;
    }
    if (switch_user() != 0) return -1;
    if (geteuid() != 0) (void)goto_runtime_dir(saved);
    return 0;
}

// Opens the log file.  0 or -1.  In the background the log writes to a
// copy of the starter's standard error until here, and descriptor 2 is
// /dev/null: 2 points at that copy while the file is opened, so a file that
// cannot be opened, and the rest of the failed start-up, are said to the
// starter.
int open_log()
{
    const int starter = g_cfg.non_daemon ? -1 : log_fd(&g_log);
    int null_fd = -1;
    if (starter > STDERR_FILENO) {
        null_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (null_fd >= 0) {
            (void)dup2(starter, STDERR_FILENO);
            // What the copy is written through without waiting goes with
            // it: opened before a switch to another user.
            log_keep_std(&g_log);
        }
    }
    // Kept past the open, which closes the log's stream to the starter.
    const int to_starter = starter >= 0 ? fcntl(starter, F_DUPFD_CLOEXEC, 3) : -1;
    const int rc = log_open(&g_log, g_cfg.logfile);
    if (rc == 0) tell_starter_errors(to_starter);
    if (to_starter >= 0) close(to_starter);
    if (null_fd >= 0) {
        if (rc == 0) (void)dup2(null_fd, STDERR_FILENO);
        close(null_fd);
        log_keep_std(&g_log);
    }
    if (rc != 0) log_default(&g_log, stderr);
    return rc;
}

// The start-up steps in order; the first failure ends them.
int setup_steps()
{
    static constexpr const char *fn = "app_setup";
    // The same umask in the foreground as in the background: nobody else
    // may write the log or the pid file.
    umask(022);
    if (pcap_setup(g_cfg.mifc) != 0) return -1;

    int rc = nkht_create(&g_ctx.wgrp_ht, GROUP_HT_SIZE, tw_shift);
    if (rc != 0) {
        log_err("%s: failed to create channel hastable\n", fn);
        return rc;
    }
    if (!g_cfg.non_daemon && (rc = detach()) != 0) return rc;
    // In the foreground too (under a service manager): the capture is open,
    // and no captured frame is read before the switch.
    if (g_cfg.non_daemon && switch_user() != 0) return -1;

    // The instance lock comes before the log: opening it moves an existing
    // file aside, which would take the running agent's log from it.  A
    // refused start says why on the starter's standard error.  Descriptor
    // 2 stays on /dev/null where detaching put it: closed, it would be
    // taken by the pid file or a socket.
    if (!g_cfg.non_daemon) {
        if (create_pidfile_extra(g_cfg.pidfile, getpid(), nullptr, 0) != 0) return -1;
        g_ctx.pidfile_owner = getpid();
    }
    if (open_log() != 0) return -1;
    g_mod_ll[LM_DEFAULT] = g_cfg.log_level;
    if (g_cfg.log_level > INFO_level) log_mirror(&g_log, stderr);
    log_set_pid(&g_log, getpid());

    if (g_cfg.rt_user[0]) log_info("Running as user [%s]\n", g_cfg.rt_user);
    if (!g_cfg.non_daemon) glog_enable_syslog(g_progname);
    if (g_cfg.grp_list_file && (rc = load_group_list(g_cfg.grp_list_file)) != 0) return rc;
    return reporter_setup();
}

}  // namespace

void usage() noexcept
{
    fprintf(stderr, "%s\n", get_app_info(g_progname, nullptr));
    fprintf(stderr, "Usage: %s OPTIONS\n", g_progname);
    fputs("Options:\n", stderr);
    for (const opt_help &o : OPTION_GUIDE) fprintf(stderr, "  %-21s= %s\n", o.opt, o.help);
    fputc('\n', stderr);
    dump_build_info(stderr);
    fprintf(stderr, "%s reports the IGMP joins and leaves seen on one interface to tavel\n",
            g_progname);
    fputc('\n', stderr);
    exit(OXA_USAGE);
}

int app_getcfg(int argc, char **argv) noexcept
{
    static constexpr const char *fn = "app_getcfg";
    g_cfg.log_level = INFO_level;
    int opt;
    while ((opt = getopt(argc, argv, OPTSTRING)) != -1)
        if (take_option(opt, optarg) != 0) return -1;

    if (geteuid() != 0) {
        g_cfg.non_daemon = true;
        log_mirror(&g_log, stderr);
    }
    if (g_cfg.log_level > DEBUG_level) g_cfg.log_level = DEBUG_level;
    if (!g_cfg.mifc[0]) {
        fprintf(stderr, "%s: interface must be specified\n", fn);
        usage();
    }
    if (g_cfg.min_group && g_cfg.max_group && g_cfg.max_group < g_cfg.min_group) {
        fprintf(stderr, "%s: BAD g/G: min (0x%08x) > max (0x%08x) for group addresses\n", fn,
                g_cfg.min_group, g_cfg.max_group);
        exit(OXA_USAGE);
    }
    if (!g_cfg.non_daemon && !g_cfg.pidfile[0]) {
        fprintf(stderr, "%s: a pid file (-p) is required to run in the background\n", fn);
        usage();
    }
    if (!g_cfg.logfile) {
        g_cfg.logfile = DEFAULT_LOGFILE;
        log_stderr("%s: logging to %s\n", fn, g_cfg.logfile);
    }
    return 0;
}

int app_setup() noexcept
{
    const int rc = setup_steps();
    if (rc != 0) app_shutdown();
    return rc;
}

int app_run() noexcept
{
    static constexpr const char *fn = "app_run";
    log_info("%s is running as UID=%ld, pid=%d\n", g_progname, long(geteuid()), int(getpid()));
    int rc = 0;
    while (!g_quit) {
        log_dbg("%s: waiting for packets\n", fn);
        const int n = pcap_dispatch(g_ctx.handle, -1, on_pcap_pkt, nullptr);
        if (n == PCAP_ERROR_BREAK && g_quit) break;
        if (n == PCAP_ERROR) {
            log_err("%s: pcap_dispatch() ERROR: %s\n", fn, pcap_geterr(g_ctx.handle));
            rc = -1;
            break;
        }
        log_dbg("%s: %d packets\n", fn, n);
        on_idle();
    }
    say_quit_signal();
    log_info("%s: dropped %lu IGMP messages with a bad checksum and %lu for addresses that are "
             "no reportable group, %lu VLAN-tagged frames; refused %lu new groups at the bound "
             "of %zu\n",
             fn, g_ctx.drops.bad_csum, g_ctx.drops.no_group, g_ctx.drops.vlan,
             g_ctx.refused.total, WGRP_MAX);
    log_info("%s: ended with rc=%d\n", fn, rc);
    return rc;
}

void on_idle() noexcept
{
    static time_t last = 0;
    const time_t now = time(nullptr);
    if ((now - last) * 1000 > 4999) {
        log_dbg("%s: doing nothing\n", "on_idle");
        last = now;
    }
}

void handle_qsig(int signo) noexcept
{
    // Only a flag and the capture library's break, which only sets a flag
    // and wakes its wait.  The line for the signal is said by the main
    // flow: a write to stderr here could wait on a full pipe for ever.
    g_qsig = signo;
    g_quit = 1;
    if (pcap_t *handle = g_ctx.handle) pcap_breakloop(handle);
}

void say_quit_signal() noexcept
{
    const int signo = g_qsig;
    if (!signo) return;
    g_qsig = 0;
    log_stderr("\nSIG(%d)\n", signo);
}

void app_shutdown() noexcept
{
    static constexpr const char *fn = "app_shutdown";
    pcap_teardown();
    if (g_ctx.wgrp_ht) nkht_destroy(g_ctx.wgrp_ht, nullptr);
    g_ctx.wgrp_ht = 0;
    reporter_close();
    // Only the process that created and locked the pid file removes it: a
    // foreground run or a refused second instance leaves the running
    // daemon's file alone.
    if (g_cfg.pidfile[0] && g_ctx.pidfile_owner == getpid()) {
        if (unlink(g_cfg.pidfile) != 0) {
            const int err = errno;
            log_err("%s: unlink(%s) ERROR(%d): %s\n", fn, g_cfg.pidfile, err, strerror(err));
        }
        g_ctx.pidfile_owner = 0;
    }
}

void reserve_std_fds() noexcept
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself.
        const int nul = open("/dev/null", O_RDWR);
        if (nul >= 0 && nul != fd) {
            (void)dup2(nul, fd);
            close(nul);
        }
    }
}

}  // namespace oxa
