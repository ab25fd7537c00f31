#include "support.h"

#include <gtest/gtest.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app.globals.h"
#include "log.h"

DEFINE_APP_GLOBALS;

namespace {

// Every test program logs to stderr with the application tag "tst", as a
// program would right after start-up.
class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        glog_init("tst");
        log_default(&g_log, stderr);
    }
};

[[maybe_unused]] auto *g_env = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

}  // namespace

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tavel-test.XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

LogCapture::LogCapture(bool with_time) : fp_(tmpfile())
{
    if (!fp_) abort();
    log_timefmt(&g_log, with_time ? f_REALTIME_TIMER : f_NO_TIME);
    log_default(&g_log, fp_);
}

LogCapture::~LogCapture()
{
    log_default(&g_log, stderr);
    log_timefmt(&g_log, f_REALTIME_TIMER);
    fclose(fp_);
}

std::string LogCapture::text() const
{
    fflush(fp_);
    std::string out;
    char buf[4096];
    rewind(fp_);
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp_)) > 0) out.append(buf, n);
    fseek(fp_, 0, SEEK_END);
    return out;
}

void LogCapture::clear()
{
    fflush(fp_);
    if (ftruncate(fileno(fp_), 0) != 0) abort();
    rewind(fp_);
}

StderrCapture::StderrCapture() : saved_fd_(dup(2)), fp_(tmpfile())
{
    if (saved_fd_ < 0 || !fp_) abort();
    fflush(stderr);
    dup2(fileno(fp_), 2);
}

StderrCapture::~StderrCapture()
{
    fflush(stderr);
    dup2(saved_fd_, 2);
    close(saved_fd_);
    fclose(fp_);
}

std::string StderrCapture::text() const
{
    fflush(stderr);
    std::string out;
    char buf[4096];
    ssize_t n;
    off_t off = 0;
    while ((n = pread(fileno(fp_), buf, sizeof(buf), off)) > 0) {
        out.append(buf, size_t(n));
        off += n;
    }
    return out;
}

void Fd::reset()
{
    if (fd >= 0) close(fd);
    fd = -1;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string chunked_body(const std::string &payload, const std::vector<size_t> &sizes, bool end,
                         const std::string &ext, const std::string &trailer,
                         std::vector<size_t> *lines)
{
    std::string wire;
    char hex[32];
    for (size_t at = 0, k = 0; at < payload.size() && !sizes.empty(); ++k) {
        const size_t n = std::min(sizes[k % sizes.size()], payload.size() - at);
        if (lines) lines->push_back(wire.size());
        snprintf(hex, sizeof hex, "%zx", n);
        wire += hex + ext + "\r\n" + payload.substr(at, n) + "\r\n";
        at += n;
    }
    if (!end) return wire;
    if (lines) lines->push_back(wire.size());
    return wire + "0" + ext + "\r\n" + trailer + "\r\n";
}

std::vector<std::string> cut_at(const std::string &s, const std::vector<size_t> &offsets)
{
    std::vector<std::string> pieces;
    size_t from = 0;
    for (size_t to : offsets) {
        if (to <= from || to >= s.size()) continue;
        pieces.push_back(s.substr(from, to - from));
        from = to;
    }
    pieces.push_back(s.substr(from));
    return pieces;
}

long rx_queue_mem(int fd)
{
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof(info);
    if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0) return -1;
    return long(info[SK_MEMINFO_RMEM_ALLOC]);
}

int listen_loopback(int port, int backlog)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool wait_rx_queue_above(int fd, long than, int ms)
{
    for (int waited = 0;; ++waited) {
        if (rx_queue_mem(fd) > than) return true;
        if (waited >= ms) return false;
        poll(nullptr, 0, 1);
    }
}
