// The process-wide state of dvt/dvs and the DBG_RD1 switches.
#include <cstring>
#include <cstdlib>

#include "dvt.h"
#include "log.h"

appcfg g_cfg;
alignas(64) char g_buf[DVT_BUFSIZE];
timespec g_dly;
sockaddr_storage g_addr_ss;
socklen_t g_addr_len;
sockaddr_storage g_mif_ss;
unsigned g_mif_idx;
int g_src_fd = -1;
const char *g_app_name = "dvt";
const char *g_prog = "dvt";
http_rest g_http_rest;

bool is_verbose() noexcept { return g_mod_ll[LM_DEFAULT] >= DEBUG_level; }

void read_dbg_rd1(const char *value) noexcept
{
    g_cfg.log_read_tm = strchr(value, 'R') != nullptr;
    g_cfg.use_udp_recv = strchr(value, 'U') != nullptr;
    g_cfg.time_syscall = strchr(value, 's') != nullptr;
    g_cfg.use_mmsg = strchr(value, 'm') != nullptr;
    // The threshold is the text before the first ':' or ','.
    const size_t len = strcspn(value, ":,");
    if (len >= 1 && len <= 15) {
        char num[16];
        memcpy(num, value, len);
        num[len] = '\0';
        g_cfg.max_iospan_delta = strtol(num, nullptr, 10);
    }
}
