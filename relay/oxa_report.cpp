#include "oxa_report.h"

#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "oxa_ctx.h"
#include "strops.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

namespace oxa {

int reporter_setup() noexcept
{
    static constexpr const char *fn = "reporter_setup";
    reporter_ctx &rep = g_ctx.rep;
    rep = reporter_ctx{};
    rep.sockfd = -1;
    if (!g_cfg.report_url[0]) {
        rep.fp = stdout;
        log_dbg("%s: reporting to STDOUT\n", fn);
        setvbuf(stdout, nullptr, _IOLBF, 0);
        return 0;
    }
    rep.usock.inbound = false;
    rep.usock.non_blocking = true;
    rep.sockfd = usock_open(g_cfg.report_url, &rep.usock);
    if (rep.sockfd < 0) {
        log_err("%s: failed to open [%s]\n", fn, g_cfg.report_url);
        rep.sockfd = -1;
        return -1;
    }
    log_dbg("%s: reporting to %s\n", fn, g_cfg.report_url);
    return 0;
}

void relay_msg(const char *fmt, ...) noexcept
{
    static constexpr const char *fn = "relay_msg";
    log_dbg("%s: BEGIN\n", fn);
    reporter_ctx &rep = g_ctx.rep;
    if (!rep.fp && rep.sockfd < 0) return;

    char msg[OXA_MSG_SIZE];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    if (n < 1 || n >= int(sizeof msg)) {
        log_err("%s: not enough buffer space\n", fn);
        return;
    }

    if (rep.fp) {
        fputs(msg, rep.fp);
        chomp(msg);
        log_norm("%s: %d bytes output: %s\n", fn, n, msg);
    } else {
        const socket_spec &dst = rep.usock.sspec;
        const ssize_t sent = W_sendto(fn, rep.sockfd, msg, size_t(n), MSG_DONTWAIT,
                                      reinterpret_cast<const sockaddr *>(&dst.addr_ss),
                                      dst.addr_len);
        chomp(msg);
        if (sent == n)
            log_norm("%s: %d bytes sent: %s\n", fn, n, msg);
        else
            log_err("%s: failed to relay: %s\n", fn, msg);
    }
    log_dbg("%s: END\n", fn);
}

void reporter_close() noexcept
{
    reporter_ctx &rep = g_ctx.rep;
    if (rep.sockfd >= 0 || rep.usock.url_path) usock_close(rep.sockfd, &rep.usock);
    rep.sockfd = -1;
    if (rep.fp && rep.fp != stdout && rep.fp != stderr) fclose(rep.fp);
    rep.fp = nullptr;
}

}  // namespace oxa
