#include "report.h"

#include <fcntl.h>
#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "log.h"
#include "registry.h"
#include "rtask.h"
#include "syswrap.h"
#include "timeop.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

namespace {

char g_trep_buf[TREP_BUFSZ];

// The template of the temporary path in the report's directory into buf:
// pid and time, then random characters that create_tmp_file fills in.  0 or
// 34.
int mk_tmp_path(const char *path, char *buf, size_t size)
{
    static constexpr const char *fn = "report_tasks_json";
    char dir[PATH_MAX];
    snprintf(dir, sizeof(dir), "%s", path);
    const int n = snprintf(buf, size, "%s/tvr%lu.%lu.XXXXXX", dirname(dir),
                           (unsigned long)getpid(), (unsigned long)time(nullptr));
    if (n <= 0 || size_t(n) > TREP_MAX_TMPPATH) {
        log_err("%s: resulting buffer size is out of limits: %ld\n", fn, long(n));
        return ERANGE;
    }
    return 0;
}

}  // namespace

void dump_header_json(FILE *fp, size_t count) noexcept
{
    struct timespec now;
    set_real_now(&now);
    char tm[128];
    if (mk_timestr(&now, 0, tm, sizeof(tm)) < 0) tm[0] = '\0';
    fprintf(fp, "{\n\"report_time\": \"%s\", \"pid\": %lu, \"task_count\": %lu%s\n", tm,
            (unsigned long)getpid(), (unsigned long)count, count ? "," : "");
    if (count) fputs("\"task_list\": [\n", fp);
}

void dump_footer_json(FILE *fp, size_t count) noexcept
{
    if (count) fputs("]\n", fp);
    fputs("}\n", fp);
}

int dump_task_json(void *data, size_t index, void *aux) noexcept
{
    auto *w = static_cast<trep_walk *>(aux);
    const auto *t = static_cast<const rtask *>(xv_blk(data, index, TASK_BLKSZ));
    rta_json_dump(w->fp, t, w->count);
    ++w->count;
    return 0;
}

int report_tasks_json(const char *path, xvlst *task_list) noexcept
{
    static constexpr const char *fn = "report_tasks_json";
    lfx_assert(path && task_list);
    char tmp[TREP_MAX_TMPPATH + 64];
    if (int rc = mk_tmp_path(path, tmp, sizeof(tmp)); rc != 0) return rc;

    // The report's directory may be one others can write: the temporary
    // file is a new one under a name nobody can guess, never a file or a
    // link planted in advance.
    const int fd = create_tmp_file(tmp, TREP_FILE_MODE);
    FILE *fp = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!fp) {
        const int err = errno;
        log_err("%s: fopen(%s) ERROR(%d): %s\n", fn, path, err, strerror(err));
        if (fd >= 0) {
            close(fd);
            unlink(tmp);
        }
        return -1;
    }
    bool ok = true;
    if (setvbuf(fp, g_trep_buf, _IOFBF, sizeof(g_trep_buf)) != 0) {
        log_err("%s: setvbuf ERROR(%d): %s\n", fn, errno, strerror(errno));
        ok = false;
    }
    if (ok) {
        const size_t count = task_list->len;
        trep_walk w{fp, 0};
        dump_header_json(fp, count);
        if (count) xvlst_each_aux(task_list, &w, dump_task_json, nullptr);
        dump_footer_json(fp, count);
        if (fflush(fp) != 0 || ferror(fp)) {
            log_err("%s: write(%s) ERROR(%d): %s\n", fn, tmp, errno, strerror(errno));
            ok = false;
        }
    }
    if (fclose(fp) != 0 && ok) {
        log_err("%s: close(%s) ERROR(%d): %s\n", fn, tmp, errno, strerror(errno));
        ok = false;
    }
    if (ok && rename(tmp, path) != 0) {
        log_err("%s: rename(%s, %s) ERROR(%d): %s\n", fn, tmp, path, errno, strerror(errno));
        ok = false;
    }
    if (!ok) {
        W_unlink(fn, tmp);
        return -1;
    }
    log_dbg("%s: [%s] refreshed from [%s]\n", fn, path, tmp);
    return 0;
}
