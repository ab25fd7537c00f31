// Agent messages as the daemon reads them (at most 127 bytes, line end
// cut) against an empty registry without routes: every message is refused
// or finds nothing, with a result from the documented set, and no task is
// ever made.
#include "fuzz_target.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cfg.h"
#include "log.h"
#include "oxamsg.h"
#include "registry.h"
#include "strops.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

bool setup()
{
    g_cfg.max_tasks = 4;
    return xvlst_mmap_fixed(&g_app.curr_tasks, 4, TASK_BLKSZ) == 0 &&
           xvlst_mmap_fixed(&g_app.pprm_tasks, 4, PPRM_BLKSZ) == 0 &&
           skht_create(&g_app.task_ht, 4, plHash, nullptr, 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *null_fp = fopen("/dev/null", "w");
    static const bool ready = setup();
    if (!ready) return 0;
    if (null_fp) log_default(&g_log, null_fp);
    g_mod_ll[LM_DEFAULT] = null_fp ? DEBUG_level : MIN_level;

    char buf[128];
    const size_t n = size < sizeof(buf) - 1 ? size : sizeof(buf) - 1;
    if (n) memcpy(buf, data, n);
    buf[n] = '\0';
    chomp(buf);
    const int rc = oxa_process_task(buf);
    check(rc == EINVAL || rc == ESRCH || rc == -1);
    if (strncmp(buf, "JOIN ", 5) == 0) check(rc != ESRCH);
    check(task_count() == 0 && g_app.pprm_tasks.len == 0);
    return 0;
}
