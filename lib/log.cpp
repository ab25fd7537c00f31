#include "log.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "app.globals.h"
#include "log_impl.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

int g_mod_ll[LL_MAX_MODULES];
int g_sec_ll[LL_MAX_SECTIONS];

log_ctx g_log;
log_ctx g_access_log;
log_ctx g_stats_log;
log_module_ctx g_logmod;

namespace {

// Every line is built here; 2047 bytes are usable, so a line holds at most
// 2046 characters and its terminating NUL.
char g_outbuf[2048];
constexpr size_t OUTBUF_USABLE = sizeof(g_outbuf) - 1;

constexpr size_t ROTATED_NAME_MAX = 160;  // "<name>.<seconds>", NUL included
constexpr size_t KEEP_DEFAULT = 16;
constexpr mode_t LOG_FILE_MODE = 0644;

struct level_info {
    int level;
    const char *tag;
    const char *name;
    int syslog_prio;
};

constexpr std::array<level_info, 8> k_levels{{
    {PANIC_level, "(PNC)", "panic", LOG_ALERT},
    {ERR_level, "(ERR)", "error", LOG_ERR},
    {CRIT_level, "(CRI)", "ctitical", LOG_CRIT},
    {WARN_level, "(WRN)", "warning", LOG_WARNING},
    {NORM_level, "(NRM)", "normal", LOG_DEBUG},
    {INFO_level, "(INF)", "info", LOG_DEBUG},
    {DEBUG_level, "(DBG)", "debug", LOG_DEBUG},
    {SECTION_level, "(SCT)", "section", LOG_DEBUG},
}};

const level_info *find_level(int level)
{
    for (const auto &li : k_levels)
        if (li.level == level) return &li;
    return nullptr;
}

// The line tag of a level; levels below -126 have none.
const char *level_tag(int level)
{
    if (level < MIN_level + 1) return nullptr;
    const level_info *li = find_level(level);
    return li ? li->tag : "( ? )";
}

int syslog_priority(int level)
{
    const level_info *li = find_level(level);
    return li ? li->syslog_prio : LOG_DEBUG;
}

bool is_std_stream(FILE *fp) { return fp == stdout || fp == stderr; }

// Appends "<piece> " and one more space to the line being built.
// False (and a note on stderr) when that does not fit.
[[gnu::format(printf, 3, 4)]] bool put_piece(size_t *pos, const char *what, const char *fmt,
                                             ...)
{
    size_t room = OUTBUF_USABLE - *pos;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(g_outbuf + *pos, room, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) + 1 >= room) {
        fprintf(stderr, "%s: %s buffer error (n=%d)\n", "log_write", what, n);
        return false;
    }
    *pos += size_t(n);
    g_outbuf[(*pos)++] = ' ';
    g_outbuf[*pos] = '\0';
    return true;
}

// The zone text " %Z" of the present moment, remade when the hour of the
// time being formatted changes.
const char *get_timezone(int hour)
{
    static char zone[16];
    static int zone_hour = -1;
    if (hour == zone_hour) return zone;
    zone_hour = hour;
    time_t now = time(nullptr);
    struct tm lt;
    if (!localtime_r(&now, &lt)) {
        perror("localtime_r");
        return zone;
    }
    if (strftime(zone, 15, " %Z", &lt) == 0) {
        perror("strftime");
        strcpy(zone, "#ERR#");
    }
    return zone;
}

// rename() that never replaces an existing target.  Filesystems without
// RENAME_NOREPLACE get link()+unlink(), which refuses an existing target too.
int rename_noreplace(const char *from, const char *to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(from, to) != 0) return -1;
    if (unlink(from) != 0) {
        int err = errno;
        unlink(to);
        errno = err;
        return -1;
    }
    return 0;
}

// Moves a non-empty regular file to "<path>.<mtime>" unless that name is
// taken; a file that stays is appended to by the caller.  0, E2BIG or -1.
int move_aside(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno != ENOENT) fprintf(stderr, "stat(%s) ERROR(%d): %s\n", path, errno, strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_size == 0) return 0;
    char moved[LOG_PATHNAME_MAX - 1];
    int n = snprintf(moved, sizeof(moved), "%s.%lu", path, (unsigned long)st.st_mtime);
    if (n < 0 || size_t(n) >= sizeof(moved)) return E2BIG;
    if (rename_noreplace(path, moved) != 0) {
        fprintf(stderr, "Cannot rename(%s, %s): ERROR(%d): %s\n", path, moved, errno,
                strerror(errno));
        return -1;
    }
    return 0;
}

// fopen(path, "a+") with the file's own mode: a daemon runs with umask 0,
// which would leave a new log world-writable; close-on-exec, so that a
// pipe log's shell does not inherit it; never through a symbolic link
// (ELOOP), which someone who may write the log's directory could plant.
FILE *open_log_file(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, LOG_FILE_MODE);
    if (fd < 0) return nullptr;
    FILE *fp = fdopen(fd, "a+");
    if (!fp) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return fp;
}

int do_open(log_ctx *log, const char *path)
{
    lfx_assert(g_logmod.is_ready);
    if (!path || !*path) {
        log->fp = stderr;
        log->name[0] = '\0';
        log->total_out = 0;
        return 0;
    }
    if (strlen(path) >= LOG_PATHNAME_MAX) {
        fprintf(stderr, "Log pathname/command is too long, %ld bytes allowed\n",
                (long)LOG_PATHNAME_MAX);
        return -1;
    }
    FILE *fp = log->is_pipe ? popen(path, "w") : open_log_file(path);
    if (!fp) {
        fprintf(stderr, "%s: uid/gig=%ld/%ld %s(%s) ERROR(%d): %s\n", "do_open",
                (long)geteuid(), (long)getegid(), log->is_pipe ? "popen" : "fopen", path, errno,
                strerror(errno));
        return -1;
    }
    setvbuf(fp, nullptr, log->is_pipe ? _IOLBF : _IONBF, 0);
    log->fp = fp;
    if (log->name != path) snprintf(log->name, sizeof(log->name), "%s", path);
    log->total_out = 0;
    if (!log->is_pipe) {
        struct stat st;
        if (fstat(fileno(fp), &st) == 0)
            log->total_out = size_t(st.st_size);
        else
            log_err("%s: fstat(%s) ERROR(%d): %s\n", "do_open", log->name, errno, strerror(errno));
    }
    return 0;
}

// A stream that is replaced by a new open is closed first, so reopening a
// log never leaks the old one.
void drop_stream(log_ctx *log)
{
    if (log->fp && !is_std_stream(log->fp)) {
        if (log->is_pipe)
            pclose(log->fp);
        else
            fclose(log->fp);
    }
    log->fp = nullptr;
}

// Remembers a new rotated file in the cyclic keep table and deletes the one
// whose slot it takes.
void handle_rotation(log_ctx *log, time_t tm, const char *rotated)
{
    rotation_ctx &r = log->rota;
    if (r.next_idx >= ssize_t(r.max_idx)) r.next_idx = 0;
    ssize_t idx = r.next_idx++;
    log_norm("[%s]: previous log rotated to [%s] tm=%ld, idx=%ld\n", g_logmod.app_tag, rotated,
             (long)tm, (long)idx);
    if (r.tm[idx]) {
        char old[ROTATED_NAME_MAX];
        int n = snprintf(old, sizeof(old), "%s.%lu", log->name, (unsigned long)r.tm[idx]);
        if (n < 0 || size_t(n) >= sizeof(old)) {
            fprintf(stderr, "%s: log log->name is too long (%d bytes), max=%lu\n",
                    "handle_rotation", n, (unsigned long)(ROTATED_NAME_MAX - 1));
            return;
        }
        if (unlink(old) != 0)
            log_err("%s: unlink(%s) ERROR(%d) : %s\n", "handle_rotation", old, errno,
                    strerror(errno));
        else
            log_dbg("%s: replaced %s with %s.%lu\n", "handle_rotation", old, log->name,
                    (unsigned long)tm);
    }
    r.tm[idx] = tm;
}

bool s_asserting;  // a failed assertion is being reported

void report_backtrace(const char *title, bool log_it)
{
    if (s_asserting) return;
    s_asserting = true;
    // The report itself must not trip over a broken group tag.
    g_log.group.sym8[sizeof(g_log.group.sym8) - 1] = '\0';
    char bt[512] = {};
    if (btrace_to_buf(bt, sizeof(bt) - 1) == 0 && log_it)
        log_write(&g_log, PANIC_level, "%s at:\n%s==\n", title, bt);
    if (g_log.fp) fflush(g_log.fp);
}

}  // namespace

void lfx_assert_fail(const char *expr, const char *file, unsigned line, const char *func,
                     bool log_it) noexcept
{
    report_backtrace("ASSERT", log_it);
    __assert_fail(expr, file, line, func);
}

void lfx_abort_bt(bool log_it) noexcept
{
    report_backtrace("Aborting", log_it);
    abort();
}

void glog_init(const char *app_tag) noexcept
{
    lfx_assert(app_tag);
    snprintf(g_logmod.app_tag, sizeof(g_logmod.app_tag), "%s", app_tag);
    g_logmod.is_ready = true;
}

void log_default(log_ctx *log, FILE *stream) noexcept
{
    log->fp = stream;
    if (log == &g_log && !log->llst.sec_ll_set)
        for (int &t : g_sec_ll) t = SECTION_level;
}

int log_open(log_ctx *log, const char *path) noexcept
{
    drop_stream(log);
    log->is_pipe = 0;
    if (path && *path && !log->append_old) move_aside(path);
    return do_open(log, path);
}

int log_popen(log_ctx *log, const char *command) noexcept
{
    drop_stream(log);
    log->is_pipe = 1;
    return do_open(log, command);
}

void log_close(log_ctx *log) noexcept
{
    log_caught_signals();
    if (log->fp && !is_std_stream(log->fp)) {
        const char *call = log->is_pipe ? "pclose" : "fclose";
        int rc = log->is_pipe ? pclose(log->fp) : fclose(log->fp);
        if (rc == -1 && !(log->is_pipe && errno == ECHILD))
            fprintf(stderr, "%s: %s error(%d) for the application log: %s\n", "log_close", call,
                    errno, strerror(errno));
        log->fp = nullptr;
    }
    if (log->use_syslog) closelog();
}

void log_mirror(log_ctx *log, FILE *stream) noexcept
{
    log->mirror_fp = stream;
    if (stream) setvbuf(stream, nullptr, _IOLBF, 0);
}

FILE *log_mirror_fp(log_ctx *log) noexcept { return log->mirror_fp; }
FILE *log_fp(log_ctx *log) noexcept { return log->fp; }
void log_timefmt(log_ctx *log, uint32_t flags) noexcept { log->time_format = flags; }
void log_set_pid(log_ctx *log, pid_t pid) noexcept { log->pid = pid; }
pid_t log_get_pid(log_ctx *log) noexcept { return log->pid; }
void log_set_group(log_ctx *log, uint64_t group) noexcept { log->group.num = group; }
uint64_t log_get_group(log_ctx *log) noexcept { return log->group.num; }

void log_set_pfx(log_ctx *log, const char *pfx) noexcept
{
    snprintf(log->pfx, sizeof(log->pfx), "%s", pfx ? pfx : "");
}

void log_set_rota(log_ctx *log, size_t max_total, size_t max_files) noexcept
{
    log->rota.max_total = max_total;
    log->rota.max_idx = (max_files == 0 || max_files >= MAX_CYCLIC_ROTATIONS) ? KEEP_DEFAULT
                                                                              : max_files;
}

size_t log_rota_maxsize(log_ctx *log) noexcept { return log->rota.max_total; }
size_t log_rota_maxfiles(log_ctx *log) noexcept { return log->rota.max_idx; }
void log_append_old(log_ctx *log) noexcept { log->append_old = true; }

void log_set_hook(log_ctx *log, void *udata, loghook_cb_t hook) noexcept
{
    log->hook_udata = udata;
    log->hook_cb = hook;
}

void log_set_modules(log_ctx *log, int level) noexcept
{
    for (int &l : g_mod_ll) l = level;
    log->llst.mod_ll_set = 1;
}

void log_set_sections(log_ctx *log, int level) noexcept
{
    for (int &t : g_sec_ll) t = level;
    log->llst.sec_ll_set = 1;
}

void glog_enable_syslog(const char *app_name) noexcept
{
    openlog(app_name, LOG_PID | LOG_CONS, LOG_LOCAL0);
    g_log.use_syslog = 1;
}

void glog_disable_syslog() noexcept
{
    closelog();
    g_log.use_syslog = 0;
}

int log_rotate(log_ctx *log) noexcept
{
    if (!log->name[0]) {
        fprintf(stderr, "%s: nothing to rotate.\n", "log_rotate");
        return 0;
    }
    if (is_std_stream(log->fp)) {
        fprintf(stderr, "%s: stdout and stderr cannot be rotated.\n", "log_rotate");
        return -1;
    }
    if (log->is_pipe || log->name[0] == '|') {
        fprintf(stderr, "%s: not supported for pipe-based streams.\n", "log_rotate");
        return -1;
    }
    time_t now = time(nullptr);
    char rotated[ROTATED_NAME_MAX];
    int n = snprintf(rotated, sizeof(rotated), "%s.%lu", log->name, (unsigned long)now);
    if (n < 0 || size_t(n) >= sizeof(rotated)) {
        fprintf(stderr, "%s: log log->name is too long (%d bytes), max=%lu\n", "log_rotate", n,
                (unsigned long)(ROTATED_NAME_MAX - 1));
        return -1;
    }
    if (log->fp && fclose(log->fp) != 0) {
        fprintf(stderr, "%s: failed to close [%s], ERROR(%d): %s\n", "log_rotate", log->name,
                errno, strerror(errno));
        // The closed stream is gone either way; go on in a fresh one.
        log->fp = nullptr;
        do_open(log, log->name);
        return -1;
    }
    log->fp = nullptr;

    // An existing target (a second rotation within the same second, or a
    // file moved aside at opening) is never replaced: the rotation is
    // cancelled and the current file goes on.
    char why[LOG_ERRMSG_MAX] = "";
    bool cancelled = false;
    if (rename_noreplace(log->name, rotated) != 0) {
        snprintf(why, sizeof(why), "%s: failed to rename [%s] to [%s], ERROR(%d): %s",
                 "log_rotate", log->name, rotated, errno, strerror(errno));
        fprintf(stderr, "%s - rotation is to be stopped\n", why);
        cancelled = true;
    }
    if (do_open(log, log->name) != 0) return -1;
    if (cancelled) {
        log->total_out = 0;
        log_err("%s: %s - rotation cancelled this time\n", "log_rotate", why);
    } else if (log->rota.max_idx) {
        handle_rotation(log, now, rotated);
    }
    return 0;
}

int match_log_level(const char *name, int *level) noexcept
{
    struct alias {
        const char *name;
        int level;
    };
    static constexpr alias aliases[] = {
        {"err", ERR_level},      {"error", ERR_level},   {"crit", CRIT_level},
        {"critical", CRIT_level}, {"warn", WARN_level},   {"warning", WARN_level},
        {"norm", NORM_level},    {"normal", NORM_level}, {"info", INFO_level},
        {"debug", DEBUG_level},  {"dbg", DEBUG_level},   {"section", SECTION_level},
        {"sect", SECTION_level},
    };
    if (!name) return -1;
    for (const alias &a : aliases) {
        if (strcasecmp(name, a.name) == 0) {
            *level = a.level;
            return 0;
        }
    }
    return -1;
}

const char *log_level_str(int level) noexcept
{
    const level_info *li = find_level(level);
    return li ? li->name : "??";
}

int read_level_env(const char *var, int dflt) noexcept
{
    const char *v = getenv(var);
    if (!v) return dflt;
    int level = atoi(v);
    if (level == 0 && strcmp(v, "0") != 0) return dflt;
    return level;
}

void log_write(log_ctx *log, int level, const char *fmt, ...) noexcept
{
    if (!log->fp) return;
    // Lines of signals caught since the last line come first, in order.
    log_caught_signals();
    int saved_errno = errno;
    size_t pos = 0;
    g_outbuf[0] = '\0';

    if (log->pfx[0] && !put_piece(&pos, "pfx", "%s ", log->pfx)) goto out;

    if (!(log->time_format & f_NO_TIME)) {
        clockid_t clk;
        switch (log->time_format & f_TIMER_ID) {
        case f_REALTIME_TIMER: clk = CLOCK_REALTIME; break;
        case f_MONOTONIC_TIMER: clk = CLOCK_MONOTONIC; break;
        default:
            fprintf(stderr, "%s: unsupported timer value: %u\n", "flags2clock",
                    log->time_format & f_TIMER_ID);
            goto out;
        }
        struct timespec now;
        if (clock_gettime(clk, &now) != 0) {
            perror("clock_gettime");
            goto out;
        }
        // The time stamp is followed by one space, the pid by two.
        int n = mk_timestr(&now, log->time_format, g_outbuf + pos, OUTBUF_USABLE - pos);
        if (n < 0 || pos + size_t(n) + 1 >= OUTBUF_USABLE) {
            fprintf(stderr, "%s: %s buffer error (n=%d)\n", "log_write", "time", n);
            goto out;
        }
        pos += size_t(n);
        g_outbuf[pos++] = ' ';
        g_outbuf[pos] = '\0';
        if (log->pid > 0 && !put_piece(&pos, "pid", "%lu ", (unsigned long)log->pid)) goto out;
    }

    if (const char *tag = level_tag(level); tag && !put_piece(&pos, "level", "%s ", tag))
        goto out;

    if (log->group.num) {
        // clang-format off
        lfx_assert(0 == log->group.sym8[sizeof(log->group.sym8)-1]);
        // clang-format on
        if (!put_piece(&pos, "group", "%s ", log->group.sym8)) goto out;
    }

    {
        size_t room = OUTBUF_USABLE - pos;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(g_outbuf + pos, room, fmt, ap);
        va_end(ap);
        if (n <= 0 || size_t(n) >= room) {
            perror("fprintf/vfprintf");
            goto out;
        }
        pos += size_t(n);
    }

    fputs(g_outbuf, log->fp);
    log->total_out += pos;
    if (log->mirror_fp && fileno(log->mirror_fp) != fileno(log->fp))
        fputs(g_outbuf, log->mirror_fp);

    if (!g_sigctx) {
        if (level < 0 && log->use_syslog) {
            va_list ap;
            va_start(ap, fmt);
            vsyslog(LOG_LOCAL0 | syslog_priority(level), fmt, ap);
            va_end(ap);
        }
        if (log->hook_cb && level <= INFO_level) log->hook_cb(log->hook_udata, g_outbuf);
        if (log->rota.max_total && log->total_out >= log->rota.max_total &&
            !is_std_stream(log->fp))
            log_rotate(log);
    }
out:
    errno = saved_errno;
}

int btrace_to_buf(char *buf, size_t size) noexcept
{
    if (!buf || size == 0) return -1;
    buf[0] = '\0';
    void *frames[16];
    errno = 0;
    int nframes = backtrace(frames, 16);
    if (nframes <= 0 && errno) {
        perror("backtrace");
        return -1;
    }
    char **symbols = backtrace_symbols(frames, nframes);
    if (!symbols) {
        perror("backtrace_symbols");
        return -1;
    }
    size_t pos = 0;
    for (int i = 0; i < nframes && pos + 1 < size; ++i) {
        int n = snprintf(buf + pos, size - pos, "#%d: %s\n", i, symbols[i]);
        if (n < 0) break;
        pos = std::min(pos + size_t(n), size - 1);
    }
    free(symbols);
    return 0;
}

int snprintf_btrace(char *buf, size_t size, const char *fmt, ...) noexcept
{
    size_t used = 0;
    if (fmt) {
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf, size, fmt, ap);
        va_end(ap);
        if (n <= 0 || size_t(n) >= size) return -1;
        used = size_t(n);
    }
    return btrace_to_buf(buf + used, size - used);
}

int mk_timestr(const struct timespec *tm, uint32_t flags, char *buf, size_t size) noexcept
{
    if (flags & f_RAW_TIME) {
        int n = snprintf(buf, size, "%ld.%06ld", (long)tm->tv_sec, tm->tv_nsec / 1000);
        return (n < 0 || size_t(n) >= size) ? -1 : n;
    }
    // A signal handler that logs while the main flow is converting would
    // clobber the static zone text: refuse the re-entry.
    static volatile sig_atomic_t busy;
    if (busy) return -35;
    busy = 1;
    struct tm bt;
    time_t secs = tm->tv_sec;
    if (!((flags & f_GMT_TIME) ? gmtime_r(&secs, &bt) : localtime_r(&secs, &bt))) {
        perror("gmtime_r/localtime_r");
        busy = 0;
        return -1;
    }
    const char *zone = get_timezone(bt.tm_hour);
    int n;
    if (flags & f_FMT_SECONDS)
        n = snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d%s", bt.tm_year + 1900,
                     bt.tm_mon + 1, bt.tm_mday, bt.tm_hour, bt.tm_min, bt.tm_sec, zone);
    else
        n = snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d.%06ld%s", bt.tm_year + 1900,
                     bt.tm_mon + 1, bt.tm_mday, bt.tm_hour, bt.tm_min, bt.tm_sec,
                     tm->tv_nsec / 1000, zone);
    busy = 0;
    if (n < 0 || size_t(n) >= size) {
        fprintf(stderr, "%s: timestamp buffer needs %d bytes, only %ld provided\n", "mk_timestr",
                n + 1, (long)size);
        return -1;
    }
    return n;
}

int scan_log_time(const char *text, struct timespec *tm, uint32_t flags) noexcept
{
    if (flags & f_RAW_TIME) {
        long sec = 0, usec = 0;
        if (sscanf(text, "%ld.%06ld ", &sec, &usec) != 2) return -1;
        tm->tv_sec = sec;
        tm->tv_nsec = usec * 1000;
        return 2;
    }
    struct tm bt = {};
    long usec = 0;
    int want, got;
    if (flags & f_FMT_SECONDS) {
        want = 6;
        got = sscanf(text, "%04d-%02d-%02d %02d:%02d:%02d ", &bt.tm_year, &bt.tm_mon,
                     &bt.tm_mday, &bt.tm_hour, &bt.tm_min, &bt.tm_sec);
    } else {
        want = 7;
        got = sscanf(text, "%04d-%02d-%02d %02d:%02d:%02d.%06ld ", &bt.tm_year, &bt.tm_mon,
                     &bt.tm_mday, &bt.tm_hour, &bt.tm_min, &bt.tm_sec, &usec);
    }
    if (got < want) return -1;
    bt.tm_year -= 1900;
    bt.tm_mon -= 1;
    bt.tm_isdst = -1;
    time_t secs = mktime(&bt);
    if (secs == (time_t)-1) {
        log_err("%s: cannot make time from [%s]\n", "scan_log_time", text);
        return -1;
    }
    tm->tv_sec = secs;
    tm->tv_nsec = usec * 1000;
    return want;
}
