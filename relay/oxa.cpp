// oxa: the IGMP agent.  It captures the IGMP membership reports and leaves
// that hosts send on one interface and tells the relay daemon, one UDP
// datagram each, which in-scope groups were joined ("JOIN UDP://<group>\n")
// and left ("LEAVE UDP://<group>\n"), or prints the same lines.
#include <cstdio>

#include "app.globals.h"
#include "log.h"
#include "oxa_app.h"
#include "oxa_ctx.h"
#include "oxa_detach.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

DEFINE_APP_GLOBALS;

int main(int argc, char **argv)
{
    using namespace oxa;
    reserve_std_fds();
    g_progname = get_base(argv[0]);
    if (argc < 2) usage();

    glog_init(g_progname);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    log_default(&g_log, stderr);
    g_mod_ll[LM_DEFAULT] = DEBUG_level;

    int rc = app_getcfg(argc, argv);
    if (rc == 0) rc = app_setup();
    if (rc == 0) {
        send_start_status(OXA_OK);
        g_mod_ll[LM_DEFAULT] = g_cfg.log_level;
        rc = app_run();
    }
    if (rc < 0) rc = OXA_FAILED;
    send_start_status(rc);
    say_quit_signal();
    log_info("%s is exiting with rc=%d\n", g_progname, rc);
    app_shutdown();
    return rc;
}
