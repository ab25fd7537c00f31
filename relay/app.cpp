#include "app.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cfg.h"
#include "dchain.h"
#include "delay.h"
#include "iflag.h"
#include "log.h"
#include "loopcb.h"
#include "meta.h"
#include "netops.h"
#include "registry.h"
#include "resolve.h"
#include "report.h"
#include "rq.h"
#include "rqs.h"
#include "shmsweep.h"
#include "syswrap.h"
#include "tasklife.h"
#include "timeop.h"
#include "tmout.h"
#include "util.h"
#include "wopen.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// The write end of the pipe to the waiting starter of a background start.
int g_startup_fd = -1;
// This process wrote the pid file (and so removes it at shutdown).
bool g_pidfile_written = false;
// The log is open: from here on a start-up failure's reason is in it, not
// on the starter's standard error.
bool g_log_opened = false;
// This process holds its listeners (and its pid file, when one is named):
// the report path is its own.  A second instance stops at the taken ports
// or at the pid file's lock, before it touches the running one's log,
// report, pid file or flag store.
bool g_started = false;

void *new_urq(int fd, rui_socket_ctx *srv, void *aux) { return urq_new(fd, srv, aux); }

rui_socket_cb g_urq_cb = {{}, new_urq, urq_rm, urq_time_out, urq_refuse};

// The starter's side of a background start: waits for the status byte and
// leaves with it.  Never returns.
[[noreturn]] void await_startup(int rfd)
{
    int rc = 1;
    pollfd pfd = {rfd, POLLIN, 0};
    int n;
    do {
        n = poll(&pfd, 1, STARTUP_WAIT_MS);
    } while (n < 0 && errno == EINTR);
    // The status, and whether the log was open by then (where the reason is).
    unsigned char status[2] = {0, 1};
    if (n == 0) {
        log_stderr("%s: start-up did not finish within %d s, see the log\n", g_app_name,
                   STARTUP_WAIT_MS / 1000);
    } else if (n > 0 && read(rfd, status, sizeof(status)) >= 1) {
        rc = status[0];
        if (rc != 0)
            log_stderr("%s: start-up FAILED (rc=%d), %s\n", g_app_name, rc,
                       status[1] ? "see the log" : "see the lines above");
    } else {
        log_stderr("%s: the daemon ended during start-up, see the log\n", g_app_name);
    }
    _exit(rc);
}

// Splits the process before detaching: the parent waits for the daemon's
// start-up status, the child goes on.  0 in the child, -1 on failure.
int start_background()
{
    static constexpr const char *fn = "app_setup";
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        log_err("%s: pipe ERROR(%d): %s\n", fn, errno, strerror(errno));
        return -1;
    }
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        log_err("%s: fork ERROR(%d): %s\n", fn, errno, strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid > 0) {
        close(fds[1]);
        // The child leaves at once inside daemonize; its grandchild is the
        // daemon, which holds the other end.
        waitpid(pid, nullptr, 0);
        await_startup(fds[0]);
    }
    close(fds[0]);
    g_startup_fd = fds[1];
    return 0;
}

int detach(char *cwd, size_t cwd_size)
{
    if (!g_cfg.log.path[0]) {
        log_err("Logfile must be specified to run as daemon\n");
        return 1;
    }
    if (!getcwd(cwd, cwd_size)) {
        log_err("getcwd ERROR(%d) : %s\n", errno, strerror(errno));
        return -1;
    }
    if (start_background() != 0) return -1;
    if (const int rc = daemonize(); rc != 0) {
        log_stderr("Failed to make the process a daemon, quitting.\n");
        return rc;
    }
    return 0;
}

// Takes what makes this process the one instance of its configuration:
// the event loop, the listeners and the agent socket, bound while the
// process may still bind privileged ports.  A second instance fails here
// (the ports are taken and nobody shares them) and has touched nothing.
int claim_listeners()
{
    if (const int rc = rqs_init(&g_tavel_rqs); rc != 0) return rc;
    g_urq_cb.tag.num = URQ_TAG;
    rui_set_cb(RUI_USER, &g_urq_cb);
    g_app.on_task_end = [](const rtask *t) { urq_close_links(t); };
    if (const int rc = rui_ctx_init(&g_cfg.rui, &g_app.rui); rc != 0) return rc;
    if (const int rc = rui_ctx_start(&g_app.rui); rc != 0) return rc;
    return oxa_setup();
}

// The configured user, in the foreground as in the background, once the
// listeners are bound and before any file is made, so that the log, the
// pid file, the report and the flag store belong to that user.  A switch
// that cannot be made stops start-up.  In the background a non-root
// process then returns to the directory it was started in.
int switch_user(const char *cwd)
{
    static constexpr const char *fn = "app_setup";
    const char *user = g_cfg.rt.user;
    // The new user may not open root's FIFO or terminal that stderr names.
    if (user[0]) log_keep_std(&g_log);
    if (user[0] && run_as_user(user) != 0) {
        const int err = errno;
        if (err)
            log_err("%s: cannot run as user [%s]: ERROR(%d): %s\n", fn, user, err, strerror(err));
        else
            log_err("%s: cannot run as user [%s]\n", fn, user);
        return -1;
    }
    if (!g_cfg.rt.non_daemon && geteuid() != 0 && goto_runtime_dir(cwd) != 0) return -1;
    return 0;
}

// The pid file and its lock: required in the background, taken in the
// foreground too when one is named, so that a service manager's run owns
// it as well.
int claim_pidfile()
{
    if (g_cfg.rt.non_daemon && !g_cfg.rt.pidfile[0]) return 0;
    if (create_pidfile_extra(g_cfg.rt.pidfile, getpid(), nullptr, 0) != 0) return -1;
    g_pidfile_written = true;
    return 0;
}

int open_log()
{
    const char *path = g_cfg.log.path;
    if (!path[0]) return 0;
    // In the background descriptor 2 is /dev/null, and the log writes to a
    // copy of the starter's standard error until here: 2 points at that
    // copy while a log file opens, so that why it cannot be opened reaches
    // the starter.  (Not for a log command, which would keep it.)
    const int starter = g_startup_fd >= 0 && path[0] != '|' ? log_fd(&g_log) : -1;
    int null_fd = -1;
    if (starter > STDERR_FILENO) {
        null_fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (null_fd >= 0 && dup2(starter, STDERR_FILENO) < 0) {
            close(null_fd);
            null_fd = -1;
        }
        // What stderr is written through without waiting goes with it: the
        // copy's, opened before a switch to another user.
        if (null_fd >= 0) log_keep_std(&g_log);
    }
    const int rc = path[0] == '|' ? log_popen(&g_log, path + 1) : log_open(&g_log, path);
    if (rc != 0) log_stderr("%s: cannot open log [%s]\n", g_app_name, path);
    if (null_fd >= 0) {
        (void)dup2(null_fd, STDERR_FILENO);
        close(null_fd);
        log_keep_std(&g_log);
    }
    g_log_opened = rc == 0;
    return rc;
}

int setup_steps()
{
    static constexpr const char *fn = "app_setup";
    // Nobody else may write what the daemon, or a command it starts (the
    // log command), makes, in the foreground as in the background: the
    // starter's umask is not the daemon's.
    umask(022);
    usock_set_apptag(get_app_tag(g_app_name));
    if (const int rc = dly_init(); rc != 0) return rc;
    if (const int rc = handle_quit_signals(on_sigquit); rc != 0) return rc;
    if (handle_sig(SIGHUP, on_sighup) != 0 || handle_sig(SIGUSR1, on_sigusr1) != 0) return -1;

    char cwd[256] = {};
    if (!g_cfg.rt.non_daemon)
        if (const int rc = detach(cwd, sizeof(cwd)); rc != 0) return rc;
    // Nothing that a running instance owns (log, report, pid file, flag
    // store) is touched before this process holds its listeners and its
    // pid file: until then it writes to stderr alone.
    if (const int rc = claim_listeners(); rc != 0) return rc;
    if (const int rc = switch_user(cwd); rc != 0) return rc;
    // In the background descriptor 2 already points at /dev/null, so no
    // file opened later takes its number.
    if (const int rc = claim_pidfile(); rc != 0) return rc;
    g_started = true;
    if (const int rc = open_log(); rc != 0) return rc;
    if (!g_cfg.rt.non_daemon && g_cfg.log.enable_syslog) glog_enable_syslog(g_app_name);
    log_set_pid(&g_log, getpid());
    if (g_cfg.rt.enforce_core_dumps) set_unlimited_core(nullptr);
    if (!getcwd(cwd, sizeof(cwd))) {
        log_err("getcwd ERROR(%d) : %s\n", errno, strerror(errno));
        return -1;
    }
    log_info("Runtime pid=%ld uid/gid = %ld/%ld running in [%s]\n", long(getpid()),
             long(geteuid()), long(getegid()), cwd);
    if (g_cfg.rt.cpunum >= 0) {
        if (pin2cpu(g_cfg.rt.cpunum) != 0) {
            log_err("Failed to pin this %s(pid=%ld) to CPU%d\n", g_app_name, long(getpid()),
                    g_cfg.rt.cpunum);
            return -1;
        }
        log_info("%s(pid=%ld) processor affinity set to CPU%d\n", g_app_name, long(getpid()),
                 g_cfg.rt.cpunum);
    }
    sweep_dead_shm(SHM_DIR, g_app_name, geteuid(), nullptr);
    setup_iflag_storage(g_app_name, TVL_IFLAG_CAPACITY);
    (void)fn;
    return 0;
}

}  // namespace

// --- process --------------------------------------------------------------------------

int adjust_fd_limit() noexcept
{
    static constexpr const char *fn = "adjust_fd_limit";
    const long need = FDS_PER_TASK * g_cfg.max_tasks + FDS_RESERVE;
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) {
        log_err("%s: getrlimit(RLIMIT_NOFILE, ..) ERROR(%d): %s\n", fn, errno, strerror(errno));
        return -1;
    }
    const long cur = rl.rlim_cur == RLIM_INFINITY ? -1 : long(rl.rlim_cur);
    const long max = rl.rlim_max == RLIM_INFINITY ? -1 : long(rl.rlim_max);
    log_dbg("%s: RLIMIT_NOFILE: curr/max=%ld/%ld\n", fn, cur, max);
    if (rl.rlim_cur == RLIM_INFINITY || rlim_t(need) < rl.rlim_cur) {
        log_dbg("%s: within soft limit %d < %ld, no change required\n", fn, int(need), cur);
        return 0;
    }
    if (rlim_t(need) > rl.rlim_cur)
        log_warn("%s: RLIMIT_NOFILE %ld < %d: not enough for tavel.max_tasks=%d\n", fn, cur,
                 int(need), g_cfg.max_tasks);
    const bool below_hard = rl.rlim_max == RLIM_INFINITY || rlim_t(need) < rl.rlim_max;
    if (geteuid() != 0 && !below_hard) {
        log_err("%s: non-privileged (uid:%ld) process cannot elevate RLIMIT_NOFILE to %d "
                "(beyond max=%ld)\n",
                fn, long(geteuid()), int(need), max);
        return -1;
    }
    struct rlimit nl;
    nl.rlim_cur = rlim_t(need);
    nl.rlim_max = below_hard ? rl.rlim_max : rlim_t(need + 1);
    log_dbg("%s: elevating RLIMIT_NOFILE to %ld/%ld\n", fn, long(nl.rlim_cur),
            nl.rlim_max == RLIM_INFINITY ? -1L : long(nl.rlim_max));
    if (setrlimit(RLIMIT_NOFILE, &nl) != 0) {
        log_err("%s: setrlimit(RLIMIT_NOFILE, {%ld,%ld}) ERROR(%d): %s\n", fn, long(nl.rlim_cur),
                nl.rlim_max == RLIM_INFINITY ? -1L : long(nl.rlim_max), errno, strerror(errno));
        return -1;
    }
    log_warn("%s: RLIMIT_NOFILE elevated to %ld/%ld\n", fn, long(nl.rlim_cur),
             nl.rlim_max == RLIM_INFINITY ? -1L : long(nl.rlim_max));
    return 0;
}

int app_setup() noexcept
{
    static constexpr const char *fn = "app_setup";
    const int rc = setup_steps();
    if (rc != 0)
        log_err("%s: FAILED (rc=%d)\n", fn, rc);
    else
        log_dbg("%s: OK\n", fn);
    return rc;
}

void report_startup(int rc) noexcept
{
    if (g_startup_fd < 0) return;
    if (rc < 0) rc = -rc;
    const unsigned char status[2] = {rc > 255 ? (unsigned char)255 : static_cast<unsigned char>(rc),
                                     g_log_opened};
    if (write(g_startup_fd, status, sizeof(status)) != ssize_t(sizeof(status)))
        log_warn("%s: cannot report start-up status %d: %s\n", "report_startup", rc,
                 strerror(errno));
    close(g_startup_fd);
    g_startup_fd = -1;
}

// --- runtime context ----------------------------------------------------------------------

bool is_oxa_enabled() noexcept { return g_cfg.rrt_file[0] && g_cfg.oxa.aport[0]; }

int oxa_setup() noexcept
{
    static constexpr const char *fn = "oxa_setup";
    g_app.oxafd = -1;
    if (g_cfg.oxa.aport[0] && !g_cfg.rrt_file[0])
        log_warn("OXA listener [%s] disabled, no routes\n", g_cfg.oxa.aport);
    if (!is_oxa_enabled()) return 0;
    const int fd = open_udp_listener(&g_cfg.oxa.saddr, nullptr);
    if (fd < 0) {
        log_err("%s: failed to open OXA UDP listener [%s]\n", fn, g_cfg.oxa.aport);
        return -1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    g_app.oxafd = fd;
    return 0;
}

int oxa_listen() noexcept
{
    static constexpr const char *fn = "oxa_listen";
    if (!is_oxa_enabled()) return 0;
    op_ctx &o = g_app.oxa_opx;
    o = op_ctx{};
    o.tag.num = OPX_TAG;
    o.op = OP_OXA;
    o.data = reinterpret_cast<void *>(intptr_t(g_app.oxafd));
    o.is_active = false;
    if (const int rc = rqs_add_reader(g_app.oxafd, &o); rc != 0) {
        log_err("%s: failed to add OXA-reader fd%d\n", fn, g_app.oxafd);
        return rc;
    }
    o.is_active = true;
    log_info("STARTED listener fd%d for OXA requests [%s]\n", g_app.oxafd, g_cfg.oxa.aport);
    return 0;
}

int app_ctx_setup() noexcept
{
    static constexpr const char *fn = "app_ctx_setup";
    const size_t cap = size_t(g_cfg.max_tasks);
    if (const int rc = xvlst_mmap_fixed(&g_app.curr_tasks, cap, TASK_BLKSZ); rc != 0) {
        log_err("%s: ERROR(%d) allocating task list: %s\n", fn, rc, strerror(errno));
        lfx_abort();
    }
    if (const int rc = xvlst_mmap_fixed(&g_app.pprm_tasks, cap, PPRM_BLKSZ); rc != 0) {
        log_err("%s: ERROR(%d) allocating pprm-task list: %s\n", fn, rc, strerror(errno));
        lfx_abort();
    }
    if (const int rc = skht_create(&g_app.task_ht, cap, plHash, nullptr, 0); rc != 0) {
        log_err("%s: ERROR(%d) creating task h-table\n", fn, rc);
        return -1;
    }
    g_app.last_task_id = 0;
    set_now(&g_app.last_io_check);

    if (g_cfg.trep_file[0]) {
        g_app.trep.fpath = g_cfg.trep_file;
        if (report_tasks_json(g_app.trep.fpath, &g_app.curr_tasks) != 0) {
            log_err("%s: task reporting setup failed\n", fn);
            // Nothing of this process is at the report path to unlink.
            g_app.trep.fpath = nullptr;
            return -1;
        }
        set_now(&g_app.trep.update_tm);
        g_app.trep.in_sync = true;
        if (g_cfg.force_refresh_sec > 0)
            set_timeout(REFRESH_TMOUT, long(g_cfg.force_refresh_sec) * 1000L);
    }
    g_app.is_ready = true;
    return 0;
}

void app_ctx_destroy() noexcept
{
    static constexpr const char *fn = "app_ctx_destroy";
    rui_ctx_destroy(&g_app.rui);
    if (g_app.route_ht) rrt_free(g_app.route_ht);
    g_app.route_ht = 0;
    if (g_app.oxafd > 0) {
        W_close(fn, g_app.oxafd);
        log_info("OXA listener fd%d destroyed\n", g_app.oxafd);
        g_app.oxafd = -1;
    }
    if (g_app.task_ht) skht_destroy(g_app.task_ht, nullptr);
    g_app.task_ht = 0;
    xvlst_reset(&g_app.curr_tasks);
    xvlst_reset(&g_app.pprm_tasks);
    if (g_app.trep.fpath && g_started) W_unlink(fn, g_app.trep.fpath);
    g_app.trep.fpath = nullptr;
    g_started = false;
    if (g_pidfile_written) {
        W_unlink(fn, g_cfg.rt.pidfile);
        g_pidfile_written = false;
    }
    destroy_iflag_storage();
    g_app.is_ready = false;
    reset_app_config(&g_cfg);
}

int app_start() noexcept { return oxa_listen(); }

namespace {

// Looks the names of a route's remote daemon and receive address up, once,
// at start-up: an agent's JOIN makes its task on the loop, which never
// waits for a resolver.  A name that does not resolve is noted (WARN).
void resolve_route(const void *, void *data, void *)
{
    auto *r = static_cast<redir_route *>(data);
    rsv_job job{};
    char *rcv = rrt_ingress_url(r);
    char *rmt = rrt_remote_url(r);
    if (rcv && rmt) {
        rsv_add_url(&job, rcv, true, 0, 2);
        rsv_add_url(&job, rmt, false, 1, 2);
        for (size_t i = 0; i < job.count; ++i) {
            rsv_name &n = job.names[i];
            rsv_resolve_name(&n);
            if (n.err != 0) {
                log_warn("%s: route [%s]: name [%s] does not resolve: %s\n", "load_rrt", r->src,
                         n.name, n.err == EAI_FAMILY ? "no usable address" : gai_strerror(n.err));
                r->unresolved = true;
                continue;
            }
            char *num = n.slot == 0 ? r->rcv_num : n.slot == 1 ? r->rmt_num : r->rcv_ssm_num;
            snprintf(num, RRT_NUM_SIZE, "%s", n.num);
        }
    }
    free(rcv);
    free(rmt);
}

}  // namespace

int load_rrt(const char *path) noexcept
{
    static constexpr const char *fn = "load_rrt";
    const int rc = rrt_file_load(path, &g_app.route_ht);
    if (rc != 0) {
        log_err("%s: failed to load redirection routes from [%s]\n", fn, path);
        return rc;
    }
    skht_iter(g_app.route_ht, resolve_route, nullptr);
    log_info("%lu redirection routes loaded from [%s]\n",
             (unsigned long)skht_count(g_app.route_ht), path);
    return 0;
}

void app_shutdown() noexcept
{
    log_dbg("%s: begins\n", "app_shutdown");
    pprm_task_cleanup();
    rm_all_tasks();
    app_ctx_destroy();
    rqs_destroy();
    dly_destroy();
    log_norm("%s shut down\n", g_app_name);
}
