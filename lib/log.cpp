#include "log.h"

#include <execinfo.h>
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

constexpr size_t KEEP_DEFAULT = 16;

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

// A line being built in a caller's buffer, of which size - 1 bytes are
// usable.
struct line_buf {
    char *buf;
    size_t usable;
    size_t pos = 0;
};

// Appends "<piece> " and one more space to the line being built.
// False (and a note on stderr) when that does not fit.
[[gnu::format(printf, 3, 4)]] bool put_piece(line_buf *lb, const char *what, const char *fmt,
                                             ...)
{
    size_t room = lb->usable - lb->pos;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(lb->buf + lb->pos, room, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) + 1 >= room) {
        log_note("%s: %s buffer error (n=%d)\n", "log_write", what, n);
        return false;
    }
    lb->pos += size_t(n);
    lb->buf[lb->pos++] = ' ';
    lb->buf[lb->pos] = '\0';
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
        log_note("%s: %s\n", "localtime_r", strerror(errno));
        return zone;
    }
    if (strftime(zone, 15, " %Z", &lt) == 0) {
        log_note("%s: %s\n", "strftime", strerror(errno));
        strcpy(zone, "#ERR#");
    }
    return zone;
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
    if (log->is_owned) dest_close(log, false);
    dest_set_std(log, stream);
    if (log == &g_log && !log->llst.sec_ll_set)
        for (int &t : g_sec_ll) t = SECTION_level;
}

int log_open(log_ctx *log, const char *path) noexcept
{
    dest_close(log, false);
    log->is_pipe = 0;
    if (path && *path && !log->append_old) move_aside(path);
    return dest_open(log, path);
}

int log_popen(log_ctx *log, const char *command) noexcept
{
    dest_close(log, false);
    log->is_pipe = 1;
    return dest_open(log, command);
}

void log_close(log_ctx *log) noexcept
{
    log_caught_signals();
    if (log->fp && !is_std_stream(log->fp)) dest_close(log, true);
    if (log->use_syslog) syslog_close();
}

void log_mirror(log_ctx *log, FILE *stream) noexcept
{
    dest_drop_mirror(log);
    log->mirror_fp = stream;
    log->mirror.kind = dest_kind(stream);
    if (stream) setvbuf(stream, nullptr, _IOLBF, 0);
}

FILE *log_mirror_fp(log_ctx *log) noexcept { return log->mirror_fp; }
FILE *log_fp(log_ctx *log) noexcept { return log->dest.std_fp ? log->dest.std_fp : log->fp; }
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

namespace {

// Builds one line in buf: the pieces its flags ask for, then the message.
// Its length, and where the message starts in *msg_pos; 0 when the line
// cannot be built (it is dropped, never cut).
[[gnu::format(printf, 6, 0)]] size_t build_line(const log_ctx *log, int level, char *buf,
                                                size_t size, size_t *msg_pos, const char *fmt,
                                                va_list ap)
{
    line_buf lb{buf, size - 1};
    buf[0] = '\0';
    if (log->pfx[0] && !put_piece(&lb, "pfx", "%s ", log->pfx)) return 0;

    if (!(log->time_format & f_NO_TIME)) {
        clockid_t clk;
        switch (log->time_format & f_TIMER_ID) {
        case f_REALTIME_TIMER: clk = CLOCK_REALTIME; break;
        case f_MONOTONIC_TIMER: clk = CLOCK_MONOTONIC; break;
        default:
            log_note("%s: unsupported timer value: %u\n", "flags2clock",
                    log->time_format & f_TIMER_ID);
            return 0;
        }
        struct timespec now;
        if (clock_gettime(clk, &now) != 0) {
            log_note("%s: %s\n", "clock_gettime", strerror(errno));
            return 0;
        }
        // The time stamp is followed by one space, the pid by two.
        int n = mk_timestr(&now, log->time_format, buf + lb.pos, lb.usable - lb.pos);
        if (n < 0 || lb.pos + size_t(n) + 1 >= lb.usable) {
            log_note("%s: %s buffer error (n=%d)\n", "log_write", "time", n);
            return 0;
        }
        lb.pos += size_t(n);
        buf[lb.pos++] = ' ';
        buf[lb.pos] = '\0';
        if (log->pid > 0 && !put_piece(&lb, "pid", "%lu ", (unsigned long)log->pid)) return 0;
    }

    if (const char *tag = level_tag(level); tag && !put_piece(&lb, "level", "%s ", tag)) return 0;

    if (log->group.num) {
        // clang-format off
        lfx_assert(0 == log->group.sym8[sizeof(log->group.sym8)-1]);
        // clang-format on
        if (!put_piece(&lb, "group", "%s ", log->group.sym8)) return 0;
    }

    *msg_pos = lb.pos;
    const size_t room = lb.usable - lb.pos;
    const int n = vsnprintf(buf + lb.pos, room, fmt, ap);
    if (n <= 0 || size_t(n) >= room) {
        log_note("%s: %s\n", "fprintf/vfprintf", strerror(errno));
        return 0;
    }
    return lb.pos + size_t(n);
}

}  // namespace

size_t log_build_line(const log_ctx *log, int level, char *buf, size_t size, const char *fmt,
                      ...) noexcept
{
    va_list ap;
    va_start(ap, fmt);
    size_t msg_pos = 0;
    const size_t len = build_line(log, level, buf, size, &msg_pos, fmt, ap);
    va_end(ap);
    return len;
}

void log_write(log_ctx *log, int level, const char *fmt, ...) noexcept
{
    if (!log->fp) return;
    // Lines of signals caught since the last line come first, in order.
    log_caught_signals();
    const int saved_errno = errno;
    size_t msg_pos = 0;
    va_list ap;
    va_start(ap, fmt);
    const size_t len = build_line(log, level, g_outbuf, sizeof(g_outbuf), &msg_pos, fmt, ap);
    va_end(ap);
    if (len == 0) {
        errno = saved_errno;
        return;
    }

    dest_put(log, g_outbuf, len, 1);
    if (log->mirror_fp && log->mirror_fp != log->fp && fileno(log->mirror_fp) != log_fd(log))
        dest_put_mirror(log, g_outbuf, len);

    if (!g_sigctx) {
        // The syslog copy is the message alone.
        if (level < 0 && log->use_syslog) syslog_put(syslog_priority(level), g_outbuf + msg_pos);
        if (log->hook_cb && level <= INFO_level) log->hook_cb(log->hook_udata, g_outbuf);
        dest_rotate_due(log);
    }
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
        log_note("%s: %s\n", "backtrace", strerror(errno));
        return -1;
    }
    char **symbols = backtrace_symbols(frames, nframes);
    if (!symbols) {
        log_note("%s: %s\n", "backtrace_symbols", strerror(errno));
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
        log_note("%s: %s\n", "gmtime_r/localtime_r", strerror(errno));
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
        log_note("%s: timestamp buffer needs %d bytes, only %ld provided\n", "mk_timestr",
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
