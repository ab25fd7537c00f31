// Stand-ins of the relay engine's event handlers until the engine's own
// land: listeners accept, agent messages are read, task descriptors are
// only taken out of the event loop.
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "app.globals.h"
#include "cfg.h"
#include "handlers.h"
#include "log.h"
#include "oxamsg.h"
#include "registry.h"
#include "rtask.h"
#include "rui.h"
#include "strops.h"

LOG_MODULE(LM_DEFAULT);

int on_task_read(int, int, void *udata, void *) noexcept
{
    auto *o = static_cast<op_ctx *>(udata);
    auto *t = static_cast<rtask *>(o->data);
    if (o->op == OP_READ) rta_drop_reader(t);
    else if (o->op == OP_ARD) rta_drop_altrd(t);
    else if (o->op == OP_KAR) { rta_drop_keepalive(t); pprm_task(t); }
    else if (o->op == OP_HSR) rta_drop_hsr(t);
    return 0;
}

int on_task_write(int, int, void *udata, void *) noexcept
{
    auto *o = static_cast<op_ctx *>(udata);
    auto *t = static_cast<rtask *>(o->data);
    if (o->op == OP_WRITE) rta_drop_writer(t);
    else rta_drop_hsw(t);
    return 0;
}

int on_task_error(int fd, int events, void *udata, void *) noexcept
{
    auto *o = static_cast<op_ctx *>(udata);
    return err_task_socket(static_cast<rtask *>(o->data), fd, "outbound", events);
}

int err_task_socket(rtask *task, int, const char *, int err) noexcept
{
    if (err & 2) pprm_task(task);
    return 0;
}

int on_oxa_read(int fd, int, void *, void *) noexcept
{
    char buf[128];
    for (int i = 0; i < 8; ++i) {
        const ssize_t n = recv(fd, buf, sizeof(buf) - 1, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN ? 0 : -1;
        buf[n] = '\0';
        oxa_process_task(chomp(buf));
    }
    return 0;
}

int on_srv_read(int, int events, void *udata, void *) noexcept
{
    auto *ls = static_cast<rui_socket_ctx *>(udata);
    if (events) log_err("%s: [%s] ERR/HUP\n", "on_srv_read", ls->lc ? ls->lc->alias : "");
    else rui_accept(ls, g_cfg.rui.max_accept, 0, nullptr);
    return g_quit ? 1 : 0;
}
