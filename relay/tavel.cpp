// tavel, the relay daemon: start-up, the event loop, shutdown.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app.globals.h"
#include "app.h"
#include "cfg.h"
#include "log.h"
#include "meta.h"
#include "registry.h"
#include "rqs.h"
#include "tasklist.h"
#include "tmout.h"

LOG_MODULE(LM_DEFAULT);

DEFINE_APP_GLOBALS;

namespace {

// Loads the static task list, then the route list, when configured: a
// missing file only warns, a bad one stops start-up.
int load_lists()
{
    if (g_cfg.task_file[0]) {
        if (access(g_cfg.task_file, F_OK) == 0) {
            if (const int rc = load_tasks(g_cfg.task_file); rc != 0) return rc;
        } else {
            log_warn("Tasklist file [%s] missing, no static tasks.\n", g_cfg.task_file);
        }
    }
    if (g_cfg.rrt_file[0]) {
        if (access(g_cfg.rrt_file, F_OK) == 0) {
            if (const int rc = load_rrt(g_cfg.rrt_file); rc != 0) return rc;
        } else {
            log_warn("Route file [%s] missing, no redirection routes.\n", g_cfg.rrt_file);
        }
    }
    return 0;
}

// The configuration dump on stderr, a line at a time the way the log
// writes stderr: a line stderr does not take at once is dropped, never
// waited for.
void dump_to_stderr()
{
    char *text = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&text, &len);
    if (!fp) return;
    dump_app_config(fp, &g_cfg);
    fclose(fp);
    for (size_t at = 0; at < len;) {
        const char *end = static_cast<const char *>(memchr(text + at, '\n', len - at));
        const size_t n = end ? size_t(end - text) + 1 - at : len - at;
        log_stderr("%.*s", int(n), text + at);
        at += n;
    }
    free(text);
}

int run()
{
    if (int rc = adjust_fd_limit(); rc != 0) return rc;
    if (int rc = app_setup(); rc != 0) return rc;
    dump_app_config(log_fp(&g_log), &g_cfg);
    if (!g_cfg.rt.quiet && g_cfg.rt.non_daemon && g_cfg.log.path[0]) {
        log_mirror(&g_log, stderr);
        dump_to_stderr();
    }
    if (int rc = app_ctx_setup(); rc != 0) return rc;
    if (int rc = app_start(); rc != 0) return rc;
    log_norm("%s STARTING. PID=%ld\n", get_app_info(g_app_name, nullptr), long(getpid()));
    if (int rc = load_lists(); rc != 0) return rc;

    report_startup(0);
    int rc = rqs_event_loop();
    if (g_quit) {
        log_norm("%s has been asked to quit.\n", g_app_name);
        rc = 0;
    }
    return rc;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *sysw_debug = getenv("SYSW_DEBUG");
    if (argc < 2) usage(1);
    glog_init(g_app_name);
    init_timeout_registry();
    log_default(&g_log, stderr);
    g_mod_ll[LM_DEFAULT] = INFO_level;

    setup_config(argc, argv);
    g_mod_ll[LM_DEFAULT] = g_cfg.log.level;
    if (sysw_debug && strcmp(sysw_debug, "1") == 0) g_mod_ll[LM_SYSWRAP] = DEBUG_level;

    int rc = run();
    app_shutdown();
    if (rc < 0) rc = -rc;
    // An exit status keeps 8 bits: a larger failure must not read as 0.
    if (rc > 255) rc = 255;
    log_norm("%s EXIT(%d). PID=%ld\n", get_app_info(g_app_name, nullptr), rc, long(getpid()));
    report_startup(rc);
    log_close(&g_log);
    return rc;
}
