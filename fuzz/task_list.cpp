// The static task list over arbitrary file contents: every line through
// the line parser, and the whole file through the loader, whose first
// parsed task is refused by a registry of no room, so no socket is opened.
#include "fuzz_target.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cfg.h"
#include "log.h"
#include "registry.h"
#include "tasklist.h"

namespace {

void check(bool ok)
{
    if (!ok) __builtin_trap();
}

bool inside(const char *p, const char *buf, size_t size)
{
    return p >= buf && p < buf + size && memchr(p, '\0', size_t(buf + size - p));
}

bool setup()
{
    g_cfg.max_tasks = 0;
    return xvlst_mmap_fixed(&g_app.curr_tasks, 1, TASK_BLKSZ) == 0 &&
           skht_create(&g_app.task_ht, 1, plHash, nullptr, 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool ready = setup();
    if (!ready) return 0;
    g_mod_ll[LM_DEFAULT] = MIN_level;

    const std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t pos = 0; pos <= text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > TL_MAX_LINE || line.find('\0') != std::string::npos) continue;
        line.resize(TL_MAX_LINE + 1);
        task_line tl;
        if (parse_task_line(line.data(), &tl) != 0) continue;
        check(inside(tl.src, line.data(), line.size()) && inside(tl.dst, line.data(), line.size()));
        check(!tl.alt || inside(tl.alt, line.data(), line.size()));
        check(!tl.cid || (inside(tl.cid, line.data(), line.size()) && *tl.cid));
        check(tl.opt.ttl >= 0);
        check(tl.opt.max_outpkt == 0 ||
              (tl.opt.max_outpkt >= TL_MIN_OPKT && tl.opt.max_outpkt <= TL_MAX_OPKT));
    }

    const int fd = memfd_create("tasks", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (size && write(fd, data, size) != ssize_t(size)) {
        close(fd);
        return 0;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    check(load_tasks(path) == 0 || task_count() == 0);
    check(task_count() == 0);
    close(fd);
    return 0;
}
