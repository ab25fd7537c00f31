// The syslog copy of the log's severe lines, sent by the log itself rather
// than by the C library, whose syslog() waits on a blocking socket: a
// syslog daemon that stops reading would freeze the program.  Here a line
// is sent on a non-blocking datagram socket connected to /dev/log; what
// the socket does not take at once is dropped and counted, and
// "<n> lines dropped" is sent once sending works again.  A socket whose
// reader went away is connected anew, at most once a second.  The text is
// the one the C library sends: "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MSG".
#include "log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "log_impl.h"

namespace {

constexpr char DEV_LOG[] = "/dev/log";
constexpr long RECONNECT_MS = 1000;
// The longest log line and the head in front of it.
constexpr size_t SYSLOG_DGRAM_MAX = 2048 + 160;

struct syslog_sender {
    int fd = -1;
    bool enabled = false;
    char ident[64] = "";
    size_t lost = 0;                   // lines not sent since the last one sent
    struct timespec last_connect = {};  // monotonic, last attempt
};

syslog_sender g_sender;

long ms_since(const struct timespec &then, const struct timespec &now)
{
    if (then.tv_sec == 0 && then.tv_nsec == 0) return RECONNECT_MS;
    return (now.tv_sec - then.tv_sec) * 1000 + (now.tv_nsec - then.tv_nsec) / 1000000;
}

void disconnect()
{
    if (g_sender.fd >= 0) close(g_sender.fd);
    g_sender.fd = -1;
}

// A connected socket, or false when there is none and the last attempt
// was less than a second ago (or this one failed).
bool connected()
{
    if (g_sender.fd >= 0) return true;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (ms_since(g_sender.last_connect, now) < RECONNECT_MS) return false;
    g_sender.last_connect = now;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, DEV_LOG, sizeof(DEV_LOG));
    if (connect(fd, reinterpret_cast<const sockaddr *>(&sun), sizeof(sun)) != 0) {
        close(fd);
        return false;
    }
    g_sender.fd = fd;
    return true;
}

// The head "<PRI>Mmm dd hh:mm:ss IDENT[PID]: " in the C locale; its length.
size_t put_head(char *buf, size_t size, int priority)
{
    static constexpr std::array<const char *, 12> months{
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    const int n = snprintf(buf, size, "<%d>%s %2d %02d:%02d:%02d %s[%ld]: ", LOG_LOCAL0 | priority,
                           months[size_t(tm.tm_mon) % months.size()], tm.tm_mday, tm.tm_hour,
                           tm.tm_min, tm.tm_sec, g_sender.ident, long(getpid()));
    return n < 0 ? 0 : std::min(size_t(n), size - 1);
}

enum send_result : int { SENT = 0, FULL = 1, GONE = 2 };

send_result send_once(const char *dgram, size_t len)
{
    if (send(g_sender.fd, dgram, len, MSG_DONTWAIT | MSG_NOSIGNAL) == ssize_t(len)) return SENT;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR ||
        errno == EMSGSIZE)
        return FULL;
    return GONE;
}

// Sends one message; a reader that went away is connected anew once.
bool send_msg(int priority, const char *msg)
{
    if (!connected()) return false;
    char dgram[SYSLOG_DGRAM_MAX];
    size_t len = put_head(dgram, sizeof(dgram), priority);
    size_t mlen = strlen(msg);
    if (mlen && msg[mlen - 1] == '\n') --mlen;
    mlen = std::min(mlen, sizeof(dgram) - len);
    memcpy(dgram + len, msg, mlen);
    len += mlen;
    send_result r = send_once(dgram, len);
    if (r == GONE) {
        disconnect();
        if (connected()) r = send_once(dgram, len);
        if (r == GONE) disconnect();
    }
    return r == SENT;
}

// Sends the count of lines lost so far; false when that fails too.
bool send_lost()
{
    if (!g_sender.lost) return true;
    char note[64];
    snprintf(note, sizeof(note), "%zu lines dropped", g_sender.lost);
    if (!send_msg(LOG_WARNING, note)) return false;
    g_sender.lost = 0;
    return true;
}

}  // namespace

void syslog_put(int priority, const char *msg) noexcept
{
    if (!g_sender.enabled) return;
    const int err = errno;
    if (!send_lost() || !send_msg(priority, msg)) ++g_sender.lost;
    errno = err;
}

void syslog_upkeep() noexcept
{
    if (!g_sender.enabled) return;
    const int err = errno;
    send_lost();
    errno = err;
}

void syslog_close() noexcept { disconnect(); }

void glog_enable_syslog(const char *app_name) noexcept
{
    snprintf(g_sender.ident, sizeof(g_sender.ident), "%s", app_name ? app_name : "");
    g_sender.enabled = true;
    g_sender.lost = 0;
    g_sender.last_connect = {};
    disconnect();
    connected();
    g_log.use_syslog = 1;
}

void glog_disable_syslog() noexcept
{
    disconnect();
    g_sender.enabled = false;
    g_log.use_syslog = 0;
}
