#include "fdio.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <random>
#include <string>
#include <thread>

#include "app.globals.h"
#include "log.h"
#include "support.h"

namespace {

// --- fixtures ------------------------------------------------------------------------

// [0] reads, [1] writes.
struct Pair {
    Fd r, w;
};

void set_nonblock(int fd)
{
    int fl = fcntl(fd, F_GETFL);
    ASSERT_EQ(fcntl(fd, F_SETFL, fl | O_NONBLOCK), 0);
}

void make_pipe(Pair &p, bool nonblock = false)
{
    int f[2];
    ASSERT_EQ(pipe(f), 0);
    p.r.fd = f[0];
    p.w.fd = f[1];
    if (nonblock) {
        set_nonblock(f[0]);
        set_nonblock(f[1]);
    }
}

void make_socketpair(Pair &p, int type = SOCK_STREAM, bool nonblock = false)
{
    int f[2];
    ASSERT_EQ(socketpair(AF_UNIX, type, 0, f), 0);
    p.r.fd = f[0];
    p.w.fd = f[1];
    if (nonblock) {
        set_nonblock(f[0]);
        set_nonblock(f[1]);
    }
}

// Fills a non-blocking pipe or socket until it would block.
void fill(int fd)
{
    static char junk[65536];
    for (int i = 0; i < 10000; ++i)
        if (write(fd, junk, sizeof(junk)) < 0) break;
    for (int i = 0; i < 100000; ++i)
        if (write(fd, junk, 1) < 0) break;
}

// Sets the descriptor I/O module's log level for a scope.
class FdioLevel {
public:
    explicit FdioLevel(int level) : saved_(g_mod_ll[LM_FDIO]) { g_mod_ll[LM_FDIO] = level; }
    ~FdioLevel() { g_mod_ll[LM_FDIO] = saved_; }
    FdioLevel(const FdioLevel &) = delete;
    FdioLevel &operator=(const FdioLevel &) = delete;

private:
    int saved_;
};

// A process-wide transfer buffer of the given size for the test's life.
class TrfBuf {
public:
    explicit TrfBuf(ssize_t size) { EXPECT_EQ(set_trf_bufsize(size), 0); }
    ~TrfBuf() { fdio_destroy(); }
    TrfBuf(const TrfBuf &) = delete;
    TrfBuf &operator=(const TrfBuf &) = delete;
};

std::string random_bytes(size_t n, unsigned salt)
{
    std::mt19937 gen(salt);
    std::string s(n, '\0');
    for (auto &c : s) c = char(gen());
    return s;
}

// Everything readable from fd until end of stream, within a deadline.
std::string drain(int fd, int deadline_ms = 20000)
{
    std::string out;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadline_ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

int count_open_fds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

// --- signals -----------------------------------------------------------------------
//
// SIGALRM without SA_RESTART, so a blocking call it lands in fails with
// EINTR.  The handler may unblock the call by writing to (or reading from)
// a pipe, which is async-signal-safe.

volatile sig_atomic_t g_alarms = 0;
volatile int g_alarm_write_fd = -1;
volatile int g_alarm_read_fd = -1;

void on_alarm(int)
{
    g_alarms = g_alarms + 1;
    if (g_alarm_write_fd >= 0) {
        char c = 'x';
        [[maybe_unused]] ssize_t n = write(g_alarm_write_fd, &c, 1);
    }
    if (g_alarm_read_fd >= 0) {
        static char sink[4096];
        [[maybe_unused]] ssize_t n = read(g_alarm_read_fd, sink, sizeof(sink));
    }
}

class AlarmInterrupt {
public:
    AlarmInterrupt(int write_fd, int read_fd)
    {
        g_alarms = 0;
        g_alarm_write_fd = write_fd;
        g_alarm_read_fd = read_fd;
        struct sigaction sa = {};
        sa.sa_handler = on_alarm;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART
        sigaction(SIGALRM, &sa, &old_);
        // Fires once after 100 ms, when the call has long been blocking;
        // then every 500 ms, so a lost race still ends the wait.
        itimerval it = {{0, 500000}, {0, 100000}};
        setitimer(ITIMER_REAL, &it, nullptr);
    }
    ~AlarmInterrupt()
    {
        itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &old_, nullptr);
        g_alarm_write_fd = -1;
        g_alarm_read_fd = -1;
    }
    AlarmInterrupt(const AlarmInterrupt &) = delete;
    AlarmInterrupt &operator=(const AlarmInterrupt &) = delete;

private:
    struct sigaction old_;
};

class IgnoreSigpipe {
public:
    IgnoreSigpipe() { old_ = signal(SIGPIPE, SIG_IGN); }
    ~IgnoreSigpipe() { signal(SIGPIPE, old_); }
    IgnoreSigpipe(const IgnoreSigpipe &) = delete;
    IgnoreSigpipe &operator=(const IgnoreSigpipe &) = delete;

private:
    sighandler_t old_;
};

// --- single calls ------------------------------------------------------------------

TEST(fdio, ReadOfZeroBytesMakesNoCall)
{
    char c;
    errno = 0;
    EXPECT_EQ(nread(-1, &c, 0, FDIO_VERBOSE), 0);
    EXPECT_EQ(npread(-1, &c, 0, 0, FDIO_VERBOSE), 0);
    EXPECT_EQ(errno, 0);
}

TEST(fdio, InterruptedReadIsRepeated)
{
    Pair p;
    make_pipe(p);
    LogCapture log;
    AlarmInterrupt alarm(p.w.fd, -1);
    char buf[16];
    // Blocks until the handler writes; the read it interrupts fails with
    // EINTR first (logged: the call is marked guilty) and is made again.
    EXPECT_EQ(nread(p.r.fd, buf, sizeof(buf), FDIO_VERBOSE), 1);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_GE(g_alarms, 1);
    EXPECT_NE(log.text().find("nread: read("), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("ERROR(4)"), std::string::npos) << log.text();
}

TEST(fdio, InterruptedWriteIsRepeated)
{
    Pair p;
    make_pipe(p, true);
    fill(p.w.fd);
    int fl = fcntl(p.w.fd, F_GETFL);
    ASSERT_EQ(fcntl(p.w.fd, F_SETFL, fl & ~O_NONBLOCK), 0);
    LogCapture log;
    AlarmInterrupt alarm(-1, p.r.fd);  // the handler makes room
    EXPECT_EQ(nwrite(p.w.fd, "y", 1, FDIO_VERBOSE), 1);
    EXPECT_GE(g_alarms, 1);
    EXPECT_NE(log.text().find("ERROR(4)"), std::string::npos) << log.text();
}

TEST(fdio, InterruptionEndsTheReadOnceQuitting)
{
    Pair p;
    make_pipe(p);
    AlarmInterrupt alarm(-1, -1);  // nothing ever comes
    g_quit = 1;
    char buf[4];
    errno = 0;
    ssize_t n = nread(p.r.fd, buf, sizeof(buf), 0);
    int err = errno;
    g_quit = 0;
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, EINTR);
}

TEST(fdio, WouldBlockFailsAtOnceAndIsLoggedOnlyWhenVerbose)
{
    for (bool sock : {false, true}) {
        Pair p;
        if (sock)
            make_socketpair(p, SOCK_STREAM, true);
        else
            make_pipe(p, true);
        char buf[8];
        {
            LogCapture log;
            errno = 0;
            EXPECT_EQ(nread(p.r.fd, buf, sizeof(buf), 0), -1);
            EXPECT_EQ(errno, EAGAIN);
            EXPECT_EQ(log.text(), "");
            EXPECT_EQ(nread(p.r.fd, buf, sizeof(buf), FDIO_VERBOSE), -1);
            EXPECT_EQ(errno, EAGAIN);
            EXPECT_NE(log.text().find("nread: read("), std::string::npos);
        }
        fill(p.w.fd);
        {
            LogCapture log;
            EXPECT_EQ(nwrite(p.w.fd, "z", 1, 0), -1);
            EXPECT_EQ(errno, EAGAIN);
            EXPECT_EQ(log.text(), "");
            EXPECT_EQ(nwrite(p.w.fd, "z", 1, FDIO_VERBOSE), -1);
            EXPECT_NE(log.text().find("nwrite: write("), std::string::npos);
        }
    }
}

TEST(fdio, PreadReadsAtTheOffsetAndPassesOnlyTheVerboseBit)
{
    TempDir dir;
    write_file(dir.file("f"), "0123456789");
    Fd fd(open_src_file(dir.file("f").c_str()));
    ASSERT_GE(fd.fd, 0);
    char buf[4];
    EXPECT_EQ(npread(fd.fd, buf, 3, 7, 0), 3);
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(npread(fd.fd, buf, 3, 10, 0), 0);

    Pair p;
    make_pipe(p, true);
    LogCapture log;
    // Job flags other than FDIO_VERBOSE do not make an expected error loud.
    EXPECT_EQ(npread(p.r.fd, buf, 3, 0, FDIO_SENDFILE | FDIO_TRF_RWEQ), -1);
    EXPECT_EQ(errno, ESPIPE);  // not an expected one: logged
    EXPECT_NE(log.text().find("npread: pread("), std::string::npos);
}

TEST(fdio, SendfileNeedsAnOffset)
{
    EXPECT_DEATH(nsendfile(1, 0, nullptr, 10, 0, 0), "ASSERT at:");
}

// --- copy jobs -----------------------------------------------------------------------

TEST(fdio, SendfileMovesChunksUntilTheEnd)
{
    TempDir dir;
    std::string data = random_bytes(3000, 1);
    write_file(dir.file("src"), data);
    Fd src(open_src_file(dir.file("src").c_str()));
    Pair s;
    make_socketpair(s);
    off_t off = 0;
    uint32_t flags = FDIO_SENDFILE;
    transfer_spec *job = new_transfer_spec(src.fd, s.w.fd, &off, &flags, nullptr, 0);
    ASSERT_NE(job, nullptr);
    // No transfer buffer: a sendfile job does not use one.
    for (ssize_t want : {1400, 1400, 200, 0}) {
        ssize_t moved = -7;
        EXPECT_EQ(transfer(job, 1400, &moved), 0);
        EXPECT_EQ(moved, want);
        EXPECT_EQ(bool(flags & FDIO_EOF), want == 0);
    }
    EXPECT_EQ(off, 3000);
    EXPECT_EQ(flags & 0xFFFF, uint32_t(FDIO_SENDFILE));  // the caller's bits stay
    s.w.reset();
    EXPECT_EQ(drain(s.r.fd), data);
    free(job);
}

TEST(fdio, BufferedChunkIsAtMostTheBuffer)
{
    TempDir dir;
    std::string data = random_bytes(3 * 1024 * 1024, 2);
    write_file(dir.file("src"), data);
    Fd src(open_src_file(dir.file("src").c_str()));
    Fd dst(open_dst_file(dir.file("dst").c_str(), 0));
    ASSERT_EQ(fdio_init(-1), 0);
    EXPECT_EQ(get_trf_bufsize(), DEFAULT_TRF_BUFSIZE);
    off_t off = 0;
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(src.fd, dst.fd, &off, &flags, nullptr, 0);
    ssize_t moved = 0;
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    EXPECT_EQ(moved, 2097152);
    EXPECT_EQ(transfer(job, 5 * 1024 * 1024, &moved), 0);
    EXPECT_EQ(moved, ssize_t(data.size()) - 2097152);
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    EXPECT_EQ(moved, 0);
    EXPECT_TRUE(flags & FDIO_EOF);
    EXPECT_EQ(off, off_t(data.size()));
    EXPECT_EQ(read_file(dir.file("dst")), data);
    free(job);
    fdio_destroy();
}

// Moves a multi-megabyte file whole to each kind of destination, by
// sendfile where check_can_sendfile allows it (and the job asks for it),
// else through the transfer buffer.
TEST(fdio, WholeFileArrivesByteIdenticalByEitherPath)
{
    enum Dest { SOCKET, PIPE, FILE_ };
    struct Case {
        Dest dest;
        bool want_sendfile;  // the job's switch
        bool by_sendfile;    // what the job then does
    };
    TempDir dir;
    const std::string data = random_bytes(5 * 1024 * 1024 + 123, 3);
    write_file(dir.file("src"), data);

    for (Case c : {Case{SOCKET, true, true}, Case{SOCKET, false, false},
                   Case{PIPE, true, false}, Case{FILE_, true, false}}) {
        SCOPED_TRACE(int(c.dest) * 10 + c.want_sendfile);
        Fd src(open_src_file(dir.file("src").c_str()));
        Pair pr;
        Fd dst;
        std::string dst_path = dir.file("dst" + std::to_string(int(c.dest)) +
                                        std::to_string(c.want_sendfile));
        if (c.dest == SOCKET) make_socketpair(pr);
        if (c.dest == PIPE) make_pipe(pr);
        if (c.dest == FILE_) dst.fd = open_dst_file(dst_path.c_str(), 0);
        int out = c.dest == FILE_ ? dst.fd : pr.w.fd;
        ASSERT_GE(out, 0);

        struct stat ss, ds;
        ASSERT_EQ(fstat(src.fd, &ss), 0);
        ASSERT_EQ(fstat(out, &ds), 0);
        int socktype = 0;
        socklen_t len = sizeof(socktype);
        if (S_ISSOCK(ds.st_mode)) getsockopt(out, SOL_SOCKET, SO_TYPE, &socktype, &len);
        uint32_t flags = 0;
        if (c.want_sendfile) check_can_sendfile(ss.st_mode, ds.st_mode, socktype, &flags);
        EXPECT_EQ(bool(use_sendfile(flags)), c.by_sendfile);
        // The buffered path needs the buffer; the sendfile path must not.
        if (!c.by_sendfile) {
            ASSERT_EQ(set_trf_bufsize(ssize_t(MIN_TRF_BUFSIZE) * 4), 0);
        }

        std::string got;
        std::thread reader;
        if (c.dest != FILE_) reader = std::thread([&] { got = drain(pr.r.fd); });

        off_t off = 0;
        transfer_spec *job = new_transfer_spec(src.fd, out, &off, &flags, nullptr, 0);
        int rounds = 0;
        for (; rounds < 10000 && !(flags & FDIO_EOF); ++rounds) {
            ssize_t moved = 0;
            ASSERT_EQ(transfer(job, 1024 * 1024, &moved), 0);
        }
        EXPECT_LT(rounds, 10000);
        EXPECT_EQ(off, off_t(data.size()));
        free(job);

        if (c.dest != FILE_) {
            pr.w.reset();
            reader.join();
        } else {
            got = read_file(dst_path);
        }
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data);
        fdio_destroy();
    }
}

TEST(fdio, SendfileWithCountZeroMovesAChunkNotNothing)
{
    TempDir dir;
    std::string data = random_bytes(5000, 4);
    write_file(dir.file("src"), data);
    Fd src(open_src_file(dir.file("src").c_str()));
    Fd dst(open_dst_file(dir.file("dst").c_str(), 0));
    off_t off = 0;
    uint32_t flags = FDIO_SENDFILE;
    transfer_spec *job = new_transfer_spec(src.fd, dst.fd, &off, &flags, nullptr, 0);
    ssize_t moved = 0;
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    EXPECT_EQ(moved, 5000);
    EXPECT_FALSE(flags & FDIO_EOF);
    EXPECT_EQ(read_file(dir.file("dst")), data);
    free(job);
}

TEST(fdio, ShortWriteAdvancesByTheBytesWrittenAndIsReportedOnRequest)
{
    TempDir dir;
    std::string data = random_bytes(200000, 5);
    write_file(dir.file("src"), data);
    Fd src(open_src_file(dir.file("src").c_str()));
    Pair p;
    make_pipe(p, true);
    ASSERT_GT(fcntl(p.w.fd, F_SETPIPE_SZ, 4096), 0);
    long cap = fcntl(p.w.fd, F_GETPIPE_SZ);
    TrfBuf tb(65536);
    off_t off = 0;
    uint32_t flags = FDIO_TRF_RWEQ;
    transfer_spec *job = new_transfer_spec(src.fd, p.w.fd, &off, &flags, nullptr, 0);
    LogCapture log;
    ssize_t moved = 0;
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    EXPECT_EQ(moved, cap);
    EXPECT_EQ(off, cap);  // what was not written is read again next time
    EXPECT_NE(log.text().find("transfer: fd in/out=[" + std::to_string(src.fd) + "/" +
                              std::to_string(p.w.fd) + "] mismatch: read/write=[65536/" +
                              std::to_string(cap) + "]\n"),
              std::string::npos)
        << log.text();
    free(job);
}

TEST(fdio, EmptyNonBlockingSourceGivesEagain)
{
    Pair in, out;
    make_pipe(in, true);
    make_pipe(out, true);
    TrfBuf tb(65536);
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(in.r.fd, out.w.fd, nullptr, &flags, nullptr, 0);
    {
        LogCapture log;
        ssize_t moved = 5;
        EXPECT_EQ(transfer(job, 100, &moved), -1);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(moved, 0);
        EXPECT_TRUE(flags & FDIO_ERR_READ);
        EXPECT_FALSE(flags & FDIO_EOF);
        EXPECT_EQ(log.text(), "");
    }
    {
        // Reported, with the same result: logging does not change it.
        flags = FDIO_VERBOSE;
        LogCapture log;
        EXPECT_EQ(transfer(job, 100, nullptr), -1);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_NE(log.text().find("read ERROR(11)"), std::string::npos) << log.text();
    }
    // A stream source: bytes pass through, then its end.
    flags = 0;
    ASSERT_EQ(write(in.w.fd, "hello", 5), 5);
    in.w.reset();
    ssize_t moved = 0;
    EXPECT_EQ(transfer(job, 100, &moved), 0);
    EXPECT_EQ(moved, 5);
    EXPECT_EQ(transfer(job, 100, &moved), 0);
    EXPECT_EQ(moved, 0);
    EXPECT_TRUE(flags & FDIO_EOF);
    char buf[8];
    EXPECT_EQ(read(out.r.fd, buf, sizeof(buf)), 5);
    free(job);
}

TEST(fdio, BrokenStreamIsQuietUnlessVerboseAndFailsEitherWay)
{
    IgnoreSigpipe ign;
    TempDir dir;
    write_file(dir.file("src"), std::string(1000, 'q'));
    Fd src(open_src_file(dir.file("src").c_str()));
    Pair s;
    make_socketpair(s);
    s.r.reset();
    TrfBuf tb(65536);
    off_t off = 0;
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(src.fd, s.w.fd, &off, &flags, nullptr, 0);
    {
        LogCapture log;
        EXPECT_EQ(transfer(job, 0, nullptr), -1);
        EXPECT_EQ(errno, EPIPE);
        EXPECT_TRUE(flags & FDIO_ERR_WRITE);
        EXPECT_EQ(log.text(), "");
        EXPECT_EQ(off, 0);
    }
    {
        flags = FDIO_VERBOSE;
        LogCapture log;
        EXPECT_EQ(transfer(job, 0, nullptr), -1);  // reported, not forgiven
        EXPECT_EQ(errno, EPIPE);
        EXPECT_NE(log.text().find("transfer (" + std::to_string(src.fd) + "->" +
                                  std::to_string(s.w.fd) + ", 0 bytes) write ERROR(32): "),
                  std::string::npos)
            << log.text();
    }
    free(job);
}

// A destination that pushes back is no end of the source: sendfile into a
// full non-blocking socket gives EAGAIN, verbose or not, without FDIO_EOF
// and without moving the offset.
TEST(fdio, SendfileIntoAFullSocketIsNoEndOfFile)
{
    TempDir dir;
    write_file(dir.file("src"), std::string(100000, 's'));
    Fd src(open_src_file(dir.file("src").c_str()));
    Pair s;
    make_socketpair(s, SOCK_STREAM, true);
    fill(s.w.fd);
    off_t off = 0;
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(src.fd, s.w.fd, &off, &flags, nullptr, 0);
    for (uint32_t verbose : {0u, uint32_t(FDIO_VERBOSE)}) {
        SCOPED_TRACE(verbose);
        flags = FDIO_SENDFILE | verbose;
        LogCapture log;
        ssize_t moved = 5;
        EXPECT_EQ(transfer(job, 1400, &moved), -1);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(moved, 0);
        EXPECT_FALSE(flags & FDIO_EOF);
        EXPECT_EQ(off, 0);
    }
    free(job);
}

int drop_x(char *data, ssize_t len, ssize_t *count)
{
    ssize_t n = 0;
    for (ssize_t i = 0; i < len; ++i)
        if (data[i] != 'X') data[n++] = data[i];
    *count = n;
    return 0;
}

// With a filter, the source offset moves by the bytes read, not by the
// fewer bytes the filter kept and wrote.
TEST(fdio, FilteredTransferAdvancesTheOffsetByTheBytesConsumed)
{
    TempDir dir;
    write_file(dir.file("src"), "aXbcdefgh");
    Fd src(open_src_file(dir.file("src").c_str()));
    Pair p;
    make_pipe(p);
    TrfBuf tb(65536);
    off_t off = 0;
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(src.fd, p.w.fd, &off, &flags, nullptr, 0);
    job->inproc = drop_x;
    ssize_t moved = 0;
    for (int i = 0; i < 10 && !(flags & FDIO_EOF); ++i) ASSERT_EQ(transfer(job, 4, &moved), 0);
    EXPECT_TRUE(flags & FDIO_EOF);
    EXPECT_EQ(off, 9);
    p.w.reset();
    EXPECT_EQ(drain(p.r.fd), "abcdefgh");
    free(job);
}

TEST(fdio, DatagramJobSendsEachChunkAndReportsRefusal)
{
    // A connected UDP socket towards a loopback port nobody listens on.
    Fd probe(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe.fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    socklen_t sl = sizeof(sa);
    ASSERT_EQ(getsockname(probe.fd, reinterpret_cast<sockaddr *>(&sa), &sl), 0);

    // First to a live receiver through aux.
    Fd tx(socket(AF_INET, SOCK_DGRAM, 0));
    Pair in;
    make_pipe(in);
    TrfBuf tb(65536);
    uint32_t flags = FDIO_SENDTO;
    transfer_spec *job = new_transfer_spec(in.r.fd, tx.fd, nullptr, &flags, &sa, sizeof(sa));
    ASSERT_EQ(write(in.w.fd, "datagram", 8), 8);
    ssize_t moved = 0;
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    EXPECT_EQ(moved, 8);
    char buf[16];
    pollfd pf = {probe.fd, POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 2000), 1);
    EXPECT_EQ(recv(probe.fd, buf, sizeof(buf), 0), 8);
    free(job);

    // Then to the port once it is closed.
    probe.reset();
    ASSERT_EQ(connect(tx.fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    job = new_transfer_spec(in.r.fd, tx.fd, nullptr, &flags, nullptr, 0);
    ASSERT_EQ(write(in.w.fd, "one", 3), 3);
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    pollfd pe = {tx.fd, 0, 0};
    ASSERT_EQ(poll(&pe, 1, 2000), 1);  // the port-unreachable reply came
    ASSERT_TRUE(pe.revents & POLLERR);
    ASSERT_EQ(write(in.w.fd, "two", 3), 3);
    LogCapture log;
    EXPECT_EQ(transfer(job, 0, &moved), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(moved, 0);
    EXPECT_NE(log.text().find("write ERROR(111)"), std::string::npos) << log.text();
    free(job);
}

// --- memory jobs -----------------------------------------------------------------------

TEST(fdio, MemoryToDescriptorStopsAtTheAreaEnd)
{
    std::string area = random_bytes(10000, 6);
    Pair p;
    make_pipe(p);
    off_t off = 0;
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(-1, p.w.fd, &off, &flags, nullptr, 0);
    job->mmem = area.data();
    job->mmlen = area.size();
    job->mmem_out = 1;
    LogCapture log;
    for (ssize_t want : {4000, 4000, 2000, 0}) {
        ssize_t moved = -1;
        EXPECT_EQ(transfer(job, 4000, &moved), 0);
        EXPECT_EQ(moved, want);
    }
    EXPECT_TRUE(flags & FDIO_EOF);
    EXPECT_EQ(off, 10000);
    EXPECT_NE(log.text().find("mm_out: attempt to reach over the end of buffer: buf="),
              std::string::npos);
    EXPECT_NE(log.text().find("len=10000, offset=8000, count=4000 - new_count=2000\n"),
              std::string::npos)
        << log.text();
    p.w.reset();
    EXPECT_EQ(drain(p.r.fd), area);
    free(job);
}

TEST(fdio, MemoryOffsetOutsideTheAreaMovesNothing)
{
    char area[64] = {};
    Pair p;
    make_pipe(p, true);
    uint32_t flags = 0;
    for (off_t bad : {off_t(-8), off_t(65), off_t(1) << 40}) {
        off_t off = bad;
        transfer_spec *job = new_transfer_spec(p.r.fd, p.w.fd, &off, &flags, nullptr, 0);
        job->mmem = area;
        job->mmlen = sizeof(area);
        for (unsigned out : {0u, 1u}) {
            job->mmem_out = out;
            ssize_t moved = -1;
            EXPECT_EQ(transfer(job, 16, &moved), 0);
            EXPECT_EQ(moved, 0);
            EXPECT_EQ(off, bad);
        }
        free(job);
    }
    char c;
    EXPECT_EQ(read(p.r.fd, &c, 1), -1);  // nothing was written
}

int upper_and_drop_last(char *data, ssize_t len, ssize_t *count)
{
    for (ssize_t i = 0; i < len; ++i) data[i] = char(toupper(data[i]));
    *count = len - 1;
    return 0;
}

int claims_too_much(char *, ssize_t len, ssize_t *count)
{
    *count = len + 100;
    return 0;
}

TEST(fdio, DescriptorToMemoryRunsTheFilter)
{
    Pair p;
    make_pipe(p);
    char area[8] = {};
    off_t off = 0;
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(p.r.fd, -1, &off, &flags, nullptr, 0);
    job->mmem = area;
    job->mmlen = sizeof(area);
    job->inproc = upper_and_drop_last;
    ASSERT_EQ(write(p.w.fd, "abcdefghijkl", 12), 12);
    ssize_t moved = 0;
    // No transfer buffer: count 0 is the rest of the area.
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    EXPECT_EQ(moved, 7);
    EXPECT_EQ(off, 7);
    EXPECT_EQ(std::string(area, 8), "ABCDEFGH");
    EXPECT_EQ(transfer(job, 0, &moved), 0);  // one byte left in the area
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(off, 7);

    // A filter may not claim more bytes than it was given.
    job->inproc = claims_too_much;
    off = 0;
    LogCapture log;
    EXPECT_EQ(transfer(job, 4, &moved), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(moved, 0);
    EXPECT_EQ(off, 0);
    free(job);
}

// --- the transfer buffer ----------------------------------------------------------------

TEST(fdio, TransferBufferRules)
{
    LogCapture log;
    FdioLevel lvl(DEBUG_level);
    EXPECT_EQ(get_trf_bufsize(), 0u);
    EXPECT_EQ(fdio_init(0), 0);
    EXPECT_EQ(fdio_init(-5), 0);
    EXPECT_EQ(get_trf_bufsize(), 0u);

    EXPECT_EQ(set_trf_bufsize(65535), -1);
    EXPECT_NE(log.text().find("set_trf_bufsize: transfer buffer size cannot be less than 65536 "
                              "bytes.\n"),
              std::string::npos);
    EXPECT_EQ(set_trf_bufsize(-1), -1);
    EXPECT_EQ(get_trf_bufsize(), 0u);

    EXPECT_EQ(set_trf_bufsize(65536), 0);
    EXPECT_NE(log.text().find("set_trf_bufsize: FDIO internal buffer size = 65536 bytes.\n"),
              std::string::npos);
    EXPECT_EQ(set_trf_bufsize(65536), 0);
    EXPECT_NE(log.text().find("set_trf_bufsize: transfer buffer size remains 65536 bytes.\n"),
              std::string::npos);
    EXPECT_EQ(fdio_init(-1), 0);  // set up a second time: resized
    EXPECT_EQ(get_trf_bufsize(), DEFAULT_TRF_BUFSIZE);
    EXPECT_EQ(fdio_init(100000), 0);
    EXPECT_EQ(get_trf_bufsize(), 100000u);
    EXPECT_EQ(set_trf_bufsize(1000), -1);  // a failed resize keeps the buffer
    EXPECT_EQ(get_trf_bufsize(), 100000u);

    // The resized buffer bounds the chunk.
    Pair in, out;
    make_pipe(in, true);
    make_socketpair(out);
    int sz = 1 << 20;
    setsockopt(out.w.fd, SOL_SOCKET, SO_SNDBUF, &sz, sizeof(sz));
    std::string big(300000, 'b');
    fcntl(in.w.fd, F_SETPIPE_SZ, 1 << 20);
    ASSERT_EQ(write(in.w.fd, big.data(), big.size()), ssize_t(big.size()));
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(in.r.fd, out.w.fd, nullptr, &flags, nullptr, 0);
    ssize_t moved = 0;
    EXPECT_EQ(transfer(job, 0, &moved), 0);
    EXPECT_EQ(moved, 100000);
    free(job);

    fdio_destroy();
    EXPECT_EQ(get_trf_bufsize(), 0u);
    fdio_destroy();  // nothing left to free
}

TEST(fdio, BufferedTransferBeforeSetUpIsABrokenInvariant)
{
    Pair p;
    make_pipe(p);
    uint32_t flags = 0;
    transfer_spec *job = new_transfer_spec(p.r.fd, p.w.fd, nullptr, &flags, nullptr, 0);
    EXPECT_DEATH(transfer(job, 10, nullptr), "ASSERT at:");
    free(job);
}

TEST(fdio, NewSpecAnnouncesSendfile)
{
    LogCapture log;
    FdioLevel lvl(INFO_level);
    off_t off = 0;
    uint32_t flags = FDIO_SENDFILE;
    transfer_spec *job = new_transfer_spec(3, 4, &off, &flags, nullptr, 0);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->mmem, nullptr);
    EXPECT_EQ(job->inproc, nullptr);
    EXPECT_EQ(job->offset, &off);
    char expect[128];
    snprintf(expect, sizeof(expect), "new_transfer_spec(%p): SENDFILE on for fd4<-fd3\n",
             static_cast<void *>(job));
    EXPECT_NE(log.text().find(expect), std::string::npos) << log.text();
    free(job);
}

TEST(fdio, SendfileApplicability)
{
    struct Case {
        mode_t src, dst;
        int socktype;
        int rc;
    };
    for (Case c : {Case{S_IFREG, S_IFSOCK, SOCK_STREAM, 0}, Case{S_IFIFO, S_IFSOCK, SOCK_STREAM, 1},
                   Case{S_IFREG, S_IFREG, SOCK_STREAM, 2}, Case{S_IFREG, S_IFIFO, 0, 2},
                   Case{S_IFREG, S_IFSOCK, SOCK_DGRAM, 3}}) {
        uint32_t flags = FDIO_VERBOSE;
        EXPECT_EQ(check_can_sendfile(c.src | 0644, c.dst | 0644, c.socktype, &flags), c.rc);
        EXPECT_EQ(flags, c.rc == 0 ? uint32_t(FDIO_VERBOSE | FDIO_SENDFILE)
                                   : uint32_t(FDIO_VERBOSE));
        EXPECT_EQ(use_sendfile(flags), c.rc == 0 ? uint32_t(FDIO_SENDFILE) : 0u);
    }
}

// --- files ----------------------------------------------------------------------------

TEST(fdio, DestinationFilesAreCreatedExclusively)
{
    TempDir dir;
    std::string path = dir.file("out");
    Fd a(open_dst_file(path.c_str(), 0));
    ASSERT_GE(a.fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(a.fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~[] { mode_t m = umask(0); umask(m); return m; }());
    LogCapture log;
    EXPECT_EQ(open_dst_file(path.c_str(), 0), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(open_src_file(dir.file("none").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    Fd b(open_dst_file(dir.file("gone").c_str(), FDIO_UNLINK_DST));
    ASSERT_GE(b.fd, 0);
    EXPECT_FALSE(file_exists(dir.file("gone")));
    EXPECT_EQ(write(b.fd, "x", 1), 1);
}

// --- descriptor passing ------------------------------------------------------------------

TEST(fdio, DescriptorPassesOverAUnixSocket)
{
    Pair s, p;
    make_socketpair(s);
    make_pipe(p);
    EXPECT_EQ(send_fd(s.w.fd, "m", 1, p.w.fd), 1);
    char buf[8];
    int fd = -7;
    EXPECT_EQ(recv_fd(s.r.fd, buf, sizeof(buf), &fd, 0), 1);
    EXPECT_EQ(buf[0], 'm');
    ASSERT_GE(fd, 0);
    EXPECT_NE(fd, p.w.fd);
    Fd got(fd);
    EXPECT_EQ(write(got.fd, "via", 3), 3);
    char in[4] = {};
    EXPECT_EQ(read(p.r.fd, in, 3), 3);
    EXPECT_STREQ(in, "via");
}

TEST(fdio, MessageWithoutDescriptorGivesNone)
{
    Pair s;
    make_socketpair(s);
    char buf[8];
    int fd = 5;
    ASSERT_EQ(write(s.w.fd, "a", 1), 1);
    {
        LogCapture log;
        EXPECT_EQ(recv_fd(s.r.fd, buf, sizeof(buf), &fd, 0), 1);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(log.text(), "");
    }
    ASSERT_EQ(write(s.w.fd, "b", 1), 1);
    LogCapture log;
    EXPECT_EQ(recv_fd(s.r.fd, buf, sizeof(buf), &fd, FDIO_VERBOSE), 1);
    EXPECT_EQ(fd, -1);
    EXPECT_NE(log.text().find("recv_fd: invalid control message structure: cmsg=(nil), clen=0\n"),
              std::string::npos)
        << log.text();
}

TEST(fdio, RejectedDescriptorsAreClosed)
{
    Pair s, p;
    make_socketpair(s);
    make_pipe(p);
    // Two descriptors in one message: not the form expected.
    alignas(cmsghdr) char ctl[CMSG_SPACE(2 * sizeof(int))] = {};
    char c = 'z';
    iovec iov = {&c, 1};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctl;
    msg.msg_controllen = sizeof(ctl);
    cmsghdr *cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(2 * sizeof(int));
    int two[2] = {p.r.fd, p.w.fd};
    memcpy(CMSG_DATA(cm), two, sizeof(two));
    ASSERT_EQ(sendmsg(s.w.fd, &msg, 0), 1);

    LogCapture log;
    int before = count_open_fds();
    char buf[4];
    int fd = 0;
    EXPECT_EQ(recv_fd(s.r.fd, buf, sizeof(buf), &fd, FDIO_VERBOSE), 1);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(count_open_fds(), before);
    EXPECT_NE(log.text().find("clen=24\n"), std::string::npos) << log.text();
}

TEST(fdio, ReceiveFailuresAreReported)
{
    Pair s;
    make_socketpair(s, SOCK_STREAM, true);
    char buf[4];
    int fd = 0;
    {
        LogCapture log;
        EXPECT_EQ(recv_fd(s.r.fd, buf, sizeof(buf), &fd, 0), -1);
        EXPECT_EQ(errno, EAGAIN);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(log.text(), "");
        EXPECT_EQ(recv_fd(s.r.fd, buf, sizeof(buf), &fd, FDIO_VERBOSE), -1);
        EXPECT_NE(log.text().find("recv_fd: recvmsg(" + std::to_string(s.r.fd) + ", "),
                  std::string::npos);
    }
    s.w.reset();
    LogCapture log;
    EXPECT_EQ(recv_fd(s.r.fd, buf, sizeof(buf), &fd, 0), 0);
    EXPECT_EQ(fd, -1);
    EXPECT_NE(log.text().find("ERROR(0): connection has been closed by peer\n"),
              std::string::npos)
        << log.text();

    Pair p;
    make_pipe(p);
    LogCapture log2;
    EXPECT_EQ(send_fd(p.w.fd, "x", 1, p.r.fd), -1);
    EXPECT_EQ(errno, ENOTSOCK);
    EXPECT_NE(log2.text().find("send_fd: sendmsg(" + std::to_string(p.w.fd) + ", "),
              std::string::npos);
}

// --- readiness -------------------------------------------------------------------------------

TEST(fdio, ReadinessOfPipes)
{
    Pair p;
    make_pipe(p, true);
    EXPECT_EQ(wait_to_read(p.r.fd, 20), 1);
    EXPECT_EQ(test_read_fd(p.r.fd, 20), 1);
    EXPECT_EQ(wait_to_write(p.w.fd, 20), 0);
    EXPECT_EQ(poll_on_socket(p.w.fd, POLLOUT, 20), POLLOUT);

    ASSERT_EQ(write(p.w.fd, "abc", 3), 3);
    EXPECT_EQ(wait_to_read(p.r.fd, 1000), 0);
    EXPECT_EQ(poll_on_socket(p.r.fd, POLLIN, 1000) & POLLIN, POLLIN);
    {
        LogCapture log;
        FdioLevel lvl(DEBUG_level);
        EXPECT_EQ(test_read_fd(p.r.fd, 1000), 0);
        EXPECT_NE(log.text().find("test_read_fd: fd=" + std::to_string(p.r.fd) +
                                  " is readable [3 bytes]\n"),
                  std::string::npos);
    }
    EXPECT_EQ(wait_to_read(p.r.fd, 20), 1);  // the test consumed them

    fill(p.w.fd);
    EXPECT_EQ(wait_to_write(p.w.fd, 20), 1);

    // The reader's end gone: a write would fail.
    p.r.reset();
    EXPECT_EQ(wait_to_write(p.w.fd, 1000), -1);
}

TEST(fdio, ReadinessAtEndAndOnBadDescriptors)
{
    Pair p;
    make_pipe(p);
    p.w.reset();
    EXPECT_EQ(wait_to_read(p.r.fd, 1000), 0);  // a read would not block
    LogCapture log;
    EXPECT_EQ(test_read_fd(p.r.fd, 1000), -1);
    EXPECT_NE(log.text().find("test_read_fd: cannot read from fd=" + std::to_string(p.r.fd) +
                              ", nrd=0\n"),
              std::string::npos);

    int bad = dup(p.r.fd);
    close(bad);
    EXPECT_EQ(wait_to_read(bad, 20), -1);
    EXPECT_EQ(wait_to_write(bad, 20), -1);
}

}  // namespace
