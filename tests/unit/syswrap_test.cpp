#include "syswrap.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

#include "log.h"
#include "support.h"

// Failing allocations must come back as null under ASan too.
extern "C" const char *__asan_default_options();
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {

[[gnu::format(printf, 1, 2)]] std::string strf(const char *fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

// Sets module 2's level for a scope.
class SyswLevel {
public:
    explicit SyswLevel(int level) : saved_(g_mod_ll[LM_SYSWRAP]) { g_mod_ll[LM_SYSWRAP] = level; }
    ~SyswLevel() { g_mod_ll[LM_SYSWRAP] = saved_; }
    SyswLevel(const SyswLevel &) = delete;
    SyswLevel &operator=(const SyswLevel &) = delete;

private:
    int saved_;
};

// A descriptor closed at the end of the scope (without the wrappers, so
// A non-blocking pipe: [0] reads, [1] writes.
struct NbPipe {
    std::array<Fd, 2> end;
    NbPipe()
    {
        int p[2];
        if (pipe2(p, O_NONBLOCK) != 0) abort();
        end[0].fd = p[0];
        end[1].fd = p[1];
    }
    void fill()
    {
        static char junk[65536];
        while (write(end[1].fd, junk, sizeof(junk)) > 0) {}
        while (write(end[1].fd, junk, 1) > 0) {}
    }
};

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
int udp_loopback(sockaddr_in *addr)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    *addr = {};
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(*addr);
    if (fd < 0 || bind(fd, (sockaddr *)addr, len) != 0 ||
        getsockname(fd, (sockaddr *)addr, &len) != 0)
        abort();
    return fd;
}

bool readable_within(int fd, int ms)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// Hides a deliberately bad argument from the compiler, whose checks (and
// those of _FORTIFY_SOURCE) would refuse it at build time.
template <class T>
T opaque(T v)
{
    asm volatile("" : "+r"(v));
    return v;
}

const std::string k_ebadf = "ERROR(9): Bad file descriptor\n";

struct FailCase {
    const char *what;
    long (*call)();
    long result;
    int err;
    std::string line;
};

}  // namespace

TEST(syswrap, predicates)
{
    EXPECT_TRUE(is_eagain(EAGAIN));
    EXPECT_TRUE(is_eagain(EWOULDBLOCK));
    EXPECT_FALSE(is_eagain(EINTR));
    EXPECT_FALSE(is_eagain(0));

    struct {
        int err, guilty;
        bool expected;
    } const cases[] = {
        {EAGAIN, 0, true},      {EINTR, 0, true},      {EPIPE, 0, true},
        {ECONNRESET, 0, true},  {EBADF, 0, false},     {ECONNREFUSED, 0, false},
        {0, 0, false},          {EAGAIN, 1, false},    {EINTR, 1, false},
        {EPIPE, 2, false},      {ECONNRESET, -1, false}, {EBADF, 1, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(no_fault(c.err, c.guilty), c.expected) << c.err << " guilty=" << c.guilty;
}

// Every wrapper's failure: the call's result, errno kept across the
// logging, and the exact line.
TEST(syswrap, failure_lines)
{
    const FailCase cases[] = {
        {"close", [] { return long(W_close("t", -1)); }, -1, EBADF, "t: close(fd-1) " + k_ebadf},
        {"calloc", [] { return long((intptr_t)W_calloc("t", opaque(size_t(1) << 62), 4)); }, 0,
         ENOMEM,
         "t: calloc(4611686018427387904, 4) ERROR(12): Cannot allocate memory\n"},
        {"realloc", [] { return long((intptr_t)W_realloc("t", nullptr, SIZE_MAX / 2)); }, 0,
         ENOMEM, "t: realloc((nil), 9223372036854775807) ERROR(12): Cannot allocate memory\n"},
        {"lseek", [] { return long(W_lseek("t", -1, 7, SEEK_END)); }, -1, EBADF,
         "t: lseek(-1, 7, 2) " + k_ebadf},
        {"unlink", [] { return long(W_unlink("t", "")); }, -1, ENOENT,
         "t: unlink() ERROR(2): No such file or directory\n"},
        {"ftruncate", [] { return long(W_ftruncate("t", -1, 3)); }, -1, EBADF,
         "t: ftruncate(-1, 3) " + k_ebadf},
        // The line shows the mode as given, not the one open() received.
        {"open", [] { return long(W_open("t", "", O_RDWR | O_CREAT, 0)); }, -1, ENOENT,
         "t: open('', 66, 0x0) ERROR(2): No such file or directory\n"},
        {"open mode", [] { return long(W_open("t", "", O_RDONLY, 0600)); }, -1, ENOENT,
         "t: open('', 0, 0x180) ERROR(2): No such file or directory\n"},
        {"connect", [] { return long(W_connect("t", -1, nullptr, 16)); }, -1, EBADF,
         "t: connect(-1, (nil), 16) " + k_ebadf},
        // EBADF is no expected error: logged whatever the flags say.
        {"write", [] { return long(W_write_f("t", -1, opaque<void *>(nullptr), 5, 0)); }, -1, EBADF,
         "t: write(-1, (nil), 5) " + k_ebadf},
        {"read", [] { return long(W_read_f("t", -1, opaque<void *>(nullptr), 5, 0)); }, -1, EBADF,
         "t: read(-1, (nil), 5) " + k_ebadf},
        {"pread", [] { return long(W_pread_f("t", -1, opaque<void *>(nullptr), 5, 8, 0)); }, -1,
         EBADF,
         "t: pread(-1, (nil), 5, 8) " + k_ebadf},
        {"sendfile",
         [] {
             off_t off = 4;
             return long(W_sendfile_f("t", -1, -1, &off, 6, 0));
         },
         -1, EBADF, "t: LNX sendfile(-1<--1, 4, 6) " + k_ebadf},
        {"socket", [] { return long(W_socket("t", -1, SOCK_DGRAM, 0)); }, -1, EAFNOSUPPORT,
         "t: socket(-1, 2, 0) ERROR(97): Address family not supported by protocol\n"},
        {"getsockopt",
         [] {
             socklen_t len = 4;
             return long(W_getsockopt("t", -1, SOL_SOCKET, SO_TYPE, nullptr, &len));
         },
         -1, EBADF, "t: getsockopt(-1, 1, 3, (nil), 4) " + k_ebadf},
        {"getsockopt no length",
         [] { return long(W_getsockopt("t", -1, SOL_SOCKET, SO_TYPE, nullptr, nullptr)); }, -1,
         EBADF, "t: getsockopt(-1, 1, 3, (nil), 0) " + k_ebadf},
        {"setsockopt",
         [] { return long(W_setsockopt("t", -1, SOL_SOCKET, SO_REUSEADDR, nullptr, 4)); }, -1,
         EBADF, "t: setsockopt(-1, 1, 2, (nil), 4) " + k_ebadf},
        {"bind", [] { return long(W_bind("t", -1, nullptr, 16)); }, -1, EBADF,
         "t: bind(-1, (nil), 16): " + k_ebadf},
        {"listen", [] { return long(W_listen("t", -1, 5)); }, -1, EBADF,
         "t: listen(-1, 5) " + k_ebadf},
        {"shutdown", [] { return long(W_shutdown("t", -1, SHUT_RD)); }, -1, EBADF,
         "t: shutdown(-1, 0) " + k_ebadf},
        {"select", [] { return long(W_select("t", -1, nullptr, nullptr, nullptr, nullptr)); }, -1,
         EINVAL, "t: select(-1, (nil), (nil), (nil), (nil)) ERROR(22): Invalid argument\n"},
        {"accept",
         [] {
             socklen_t len = 16;
             return long(W_accept("t", -1, nullptr, &len));
         },
         -1, EBADF, "t: accept(-1, (nil), 16) " + k_ebadf},
        {"accept no length", [] { return long(W_accept("t", -1, nullptr, nullptr)); }, -1, EBADF,
         "t: accept(-1, (nil), 0) " + k_ebadf},
        {"poll", [] { return long(W_poll("t", opaque<pollfd *>(nullptr), 1, 0)); }, -1, EFAULT,
         "t: poll((nil), 1, 0) ERROR(14): Bad address\n"},
        {"dup2", [] { return long(W_dup2("t", -1, 5)); }, -1, EBADF, "t: dup2(-1, 5) " + k_ebadf},
        {"kill", [] { return long(W_kill("t", INT_MAX, 0)); }, -1, ESRCH,
         "t: kill(2147483647, 0) ERROR(3): No such process\n"},
        {"sendto", [] { return long(W_sendto("t", -1, nullptr, 3, MSG_DONTWAIT, nullptr, 0)); },
         -1, EBADF, "t: sendto(-1, (nil), 3, 64, ...) " + k_ebadf},
        {"recvfrom", [] { return long(W_recvfrom("t", -1, nullptr, 3, 0, nullptr, nullptr)); }, -1,
         EBADF, "t: recvfrom(-1, (nil), 3, 0, ...) " + k_ebadf},
    };
    LogCapture cap;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        cap.clear();
        errno = 0;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(cap.text(), "(ERR)  " + c.line);
    }
}

TEST(syswrap, pipe_failure_shows_slots_as_they_stand)
{
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = {0, saved.rlim_max};
    int slots[2] = {-7, -8};
    LogCapture cap;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    int rc = W_pipe("t", slots);
    int err = errno;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, EMFILE);
    EXPECT_EQ(cap.text(), "(ERR)  t: pipe([-7,-8]) ERROR(24): Too many open files\n");
}

// The gate is module 2's, not the including file's, and a gated-off
// failure still hands back the call's result and errno.
TEST(syswrap, failure_follows_module_gate)
{
    struct {
        int sysw_level, default_level;
        bool logged;
    } const cases[] = {
        {NORM_level, NORM_level, true},
        {ERR_level, PANIC_level, true},
        {PANIC_level, DEBUG_level, false},
    };
    int saved_default = g_mod_ll[LM_DEFAULT];
    LogCapture cap;
    for (const auto &c : cases) {
        SyswLevel lvl(c.sysw_level);
        g_mod_ll[LM_DEFAULT] = c.default_level;
        cap.clear();
        errno = 0;
        EXPECT_EQ(W_dup2("t", -1, 5), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(cap.text().empty(), !c.logged) << c.sysw_level;
    }
    g_mod_ll[LM_DEFAULT] = saved_default;
}

// Successful close and socket are logged at DEBUG only.
TEST(syswrap, close_and_socket_success_at_debug)
{
    LogCapture cap;
    for (int level : {NORM_level, INFO_level, DEBUG_level}) {
        SyswLevel lvl(level);
        cap.clear();
        int fd = W_socket("opener", AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(W_close("closer", fd), 0);
        std::string expected = level >= DEBUG_level
                                   ? strf("(DBG)  opener opened socket fd=%d (2, 2, 0)\n"
                                          "(DBG)  closer: CLOSED(fd%d)\n",
                                          fd, fd)
                                   : "";
        EXPECT_EQ(cap.text(), expected) << "level " << level;
    }
}

// A mode of 0 creates the file 0644 less the umask; a given mode is kept.
TEST(syswrap, open_default_mode)
{
    struct {
        mode_t mask, mode, expected;
    } const cases[] = {
        {022, 0, 0644}, {027, 0, 0640}, {0, 0, 0644}, {0, 0600, 0600}, {0, 0666, 0666},
    };
    TempDir dir;
    LogCapture cap;
    int n = 0;
    for (const auto &c : cases) {
        std::string path = dir.file("f" + std::to_string(n++));
        mode_t saved = umask(c.mask);
        int fd = W_open("t", path.c_str(), O_WRONLY | O_CREAT | O_EXCL, c.mode);
        umask(saved);
        ASSERT_GE(fd, 0);
        close(fd);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected) << path;
    }
    EXPECT_EQ(cap.text(), "");
}

// A non-blocking connect in progress is reported at INFO under the
// wrapper's own name, never at ERR.
TEST(syswrap, connect_in_progress_is_info)
{
    Fd lsn{socket(AF_INET, SOCK_STREAM, 0)};
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(lsn.fd, (sockaddr *)&addr, len), 0);
    ASSERT_EQ(getsockname(lsn.fd, (sockaddr *)&addr, &len), 0);
    ASSERT_EQ(listen(lsn.fd, 4), 0);

    LogCapture cap;
    for (int level : {NORM_level, INFO_level}) {
        SyswLevel lvl(level);
        cap.clear();
        Fd s{socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
        ASSERT_GE(s.fd, 0);
        errno = 0;
        int rc = W_connect("t", s.fd, (sockaddr *)&addr, sizeof(addr));
        if (rc == 0) GTEST_SKIP() << "loopback connect completed at once";
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, EINPROGRESS);
        std::string expected =
            level >= INFO_level
                ? strf("(INF)  W_connect: non-blocking connect in progress for fd%d\n", s.fd)
                : "";
        EXPECT_EQ(cap.text(), expected) << "level " << level;
    }
}

// A time-out is an ordinary result of poll: a DEBUG line, no warning.
TEST(syswrap, poll_time_out_is_no_warning)
{
    NbPipe p;
    pollfd pfd = {p.end[0].fd, POLLIN, 0};
    LogCapture cap;
    for (int level : {NORM_level, DEBUG_level}) {
        SyswLevel lvl(level);
        cap.clear();
        EXPECT_EQ(W_poll("t", &pfd, 1, 10), 0);
        EXPECT_EQ(cap.text(),
                  level == DEBUG_level ? "(DBG)  t: poll() has timed out after 10 ms\n" : "");
    }
}

// On the datagram path an empty datagram is a success and a descriptor
// that would block is no error: neither writes a line at ERR (EAGAIN is
// kept for DEBUG).
TEST(syswrap, empty_datagrams_and_eagain_are_not_errors)
{
    sockaddr_in rx_addr, tx_addr;
    Fd rx{udp_loopback(&rx_addr)};
    Fd tx{udp_loopback(&tx_addr)};
    char buf[16];
    LogCapture cap;

    errno = 0;
    EXPECT_EQ(W_sendto("t", tx.fd, buf, 0, 0, (sockaddr *)&rx_addr, sizeof(rx_addr)), 0);
    ASSERT_TRUE(readable_within(rx.fd, 5000));
    EXPECT_EQ(W_recvfrom("t", rx.fd, buf, sizeof(buf), 0, nullptr, nullptr), 0);
    EXPECT_EQ(cap.text(), "");

    int dg[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, dg), 0);
    Fd a{dg[0]}, b{dg[1]};
    while (send(a.fd, buf, sizeof(buf), 0) > 0) {}
    const std::string eagain = "ERROR(11): Resource temporarily unavailable\n";
    for (int level : {NORM_level, DEBUG_level}) {
        SyswLevel lvl(level);
        cap.clear();
        EXPECT_EQ(W_sendto("t", a.fd, buf, 4, 0, nullptr, 0), -1);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(W_recvfrom("t", a.fd, buf, 4, 0, nullptr, nullptr), -1);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(cap.text(),
                  level == DEBUG_level
                      ? strf("(DBG)  t: sendto(%d, %p, 4, 0, ...) ", a.fd, (void *)buf) + eagain +
                            strf("(DBG)  t: recvfrom(%d, %p, 4, 0, ...) ", a.fd, (void *)buf) +
                            eagain
                      : "");
    }
}

// Expected I/O errors stay out of the log only when the caller is not
// guilty; the result and errno are the same either way.
TEST(syswrap, flags_word_hides_expected_errors)
{
    TempDir dir;
    std::string path = dir.file("src");
    write_file(path, "0123456789");
    Fd src{open(path.c_str(), O_RDONLY)};
    ASSERT_GE(src.fd, 0);
    NbPipe empty, full;
    full.fill();
    char buf[8];

    struct Ends {
        int empty_rd, full_wr, src;
        char *buf;
    } const ends = {empty.end[0].fd, full.end[1].fd, src.fd, buf};
    struct Case {
        const char *what;
        ssize_t (*call)(const Ends &e, int flags);
        std::string line;
    };
    const Case cases[] = {
        {"read", [](const Ends &e, int f) { return W_read_f("t", e.empty_rd, e.buf, 8, f); },
         strf("t: read(%d, %p, 8) ", ends.empty_rd, (void *)buf)},
        {"write", [](const Ends &e, int f) { return W_write_f("t", e.full_wr, e.buf, 8, f); },
         strf("t: write(%d, %p, 8) ", ends.full_wr, (void *)buf)},
        {"sendfile",
         [](const Ends &e, int f) {
             off_t off = 2;
             return W_sendfile_f("t", e.full_wr, e.src, &off, 5, f);
         },
         strf("t: LNX sendfile(%d<-%d, 2, 5) ", ends.full_wr, ends.src)},
    };
    const std::string eagain = "ERROR(11): Resource temporarily unavailable\n";
    LogCapture cap;
    for (const auto &c : cases) {
        for (int flags : {0, 1, 2}) {
            SCOPED_TRACE(std::string(c.what) + " flags=" + std::to_string(flags));
            cap.clear();
            errno = 0;
            EXPECT_EQ(c.call(ends, flags), -1);
            EXPECT_EQ(errno, EAGAIN);
            EXPECT_EQ(cap.text(), flags ? "(ERR)  " + c.line + eagain : "");
        }
    }
}

TEST(syswrap, accept_eagain_not_logged)
{
    Fd lsn{socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0)};
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lsn.fd, (sockaddr *)&addr, sizeof(addr)), 0);
    ASSERT_EQ(listen(lsn.fd, 4), 0);
    LogCapture cap;
    errno = 0;
    EXPECT_EQ(W_accept("t", lsn.fd, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(cap.text(), "");
}

// A numeric-only look-up of a name fails inside the library, so the test
// sends nothing to any resolver.
TEST(syswrap, getaddrinfo_failure)
{
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo *res = nullptr;
    LogCapture cap;
    errno = EDOM;
    int rc = W_getaddrinfo("t", "nosuchhost.invalid", nullptr, &hints, &res);
    int err = errno;
    EXPECT_EQ(rc, EAI_NONAME);
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(cap.text(), strf("(ERR)  t: getaddrinfo(nosuchhost.invalid, (null), %p, %p): "
                               "ERROR(%d:%d): Name or service not known\n",
                               (void *)&hints, (void *)&res, EAI_NONAME, err));
}

namespace {
void on_alarm(int) {}
}  // namespace

// select interrupted by a signal is logged only when module 2 is above 1.
TEST(syswrap, select_eintr_needs_debug)
{
    struct sigaction sa = {}, saved_sa;
    sa.sa_handler = on_alarm;
    ASSERT_EQ(sigaction(SIGALRM, &sa, &saved_sa), 0);

    LogCapture cap;
    for (int level : {NORM_level, INFO_level, DEBUG_level}) {
        SyswLevel lvl(level);
        cap.clear();
        itimerval it = {{0, 0}, {0, 20000}};
        ASSERT_EQ(setitimer(ITIMER_REAL, &it, nullptr), 0);
        timeval tv = {5, 0};
        errno = 0;
        int rc = W_select("t", 0, nullptr, nullptr, nullptr, &tv);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(errno, EINTR);
        std::string expected =
            level > 1 ? strf("(ERR)  t: select(0, (nil), (nil), (nil), %p) ERROR(4): Interrupted "
                             "system call\n",
                             (void *)&tv)
                      : "";
        EXPECT_EQ(cap.text(), expected) << "level " << level;
    }
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved_sa, nullptr);
}
