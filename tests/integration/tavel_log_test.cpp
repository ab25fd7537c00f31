// tavel run as operators run it: a log command that stops reading or ends,
// standard error and a syslog reader that never read, a FIFO put at the
// log's path, a log that rotates at a high rate, a
// log file moved away by a rotation tool (with and without SIGHUP), the
// SIGUSR1 that operators send, and the memory given back after a peak of
// tasks.  Every run lives in a private network namespace of its own.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "netns.h"
#include "support.h"
#include "tavel_harness.h"

using namespace tvh;

namespace {

constexpr int PORT = 18791;

int in_ns(const std::function<int()> &body, int ms = 120000)
{
    return run_in_child(
        [&] {
            if (!enter_private_netns()) return CHILD_SKIP;
            return body();
        },
        ms);
}

using clk = std::chrono::steady_clock;
long ms_since(clk::time_point t0)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t0).count());
}

std::string path(int src, int dst, const std::string &tail = "")
{
    return "/src/127.0.0.1:" + std::to_string(src) + "/dst/127.0.0.1:" + std::to_string(dst) +
           tail;
}

// Pids of the children of parent whose command line is exactly argv.
std::vector<pid_t> children_running(pid_t parent, const std::vector<std::string> &argv)
{
    std::string want;
    for (const auto &a : argv) want += a + '\0';
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    if (!d) return out;
    while (dirent *e = readdir(d)) {
        const pid_t pid = pid_t(atoi(e->d_name));
        if (pid <= 0) continue;
        const std::string dir = "/proc/" + std::string(e->d_name);
        // "pid (comm) state ppid ..."
        const std::string stat = slurp(dir + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos || atoi(stat.c_str() + paren + 4) != parent) continue;
        if (slurp(dir + "/cmdline") == want) out.push_back(pid);
    }
    closedir(d);
    return out;
}

// Resident memory of pid in KiB (VmRSS), -1 when unknown.
long rss_kib(pid_t pid)
{
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

// Creates a task and removes it again with requests; true when every
// answer was 200.
bool churn(int src, int dst)
{
    return get(PORT, path(src, dst)) == answer(200) &&
           get(PORT, path(src, dst, "/kill")) == answer(200);
}

// Datagrams relayed from 127.0.0.1:src to rx, one at a time.
int relay_count(int src, int rx, int n)
{
    int got = 0;
    for (int i = 0; i < n; ++i) {
        udp_send("127.0.0.1", src, "dgram " + std::to_string(i));
        got += udp_recv(rx, 1000) == "dgram " + std::to_string(i);
    }
    return got;
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
    return n;
}

}  // namespace

// A log command that never reads: requests keep being answered, a static
// relay keeps relaying, and SIGTERM ends the daemon within its bound,
// the command with it.
TEST(tavel_log, LogCommandThatNeverReadsNeverStopsTheRelay)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tasks"), "udp://127.0.0.1:5311 udp://127.0.0.1:6311 feed\n");
        // The feed never idles out, however long the requests take on a
        // busy machine.
        write_file(d.file("tavel.conf"),
                   config(PORT, "idle_task_timeout = -1; task_list = \"" + d.file("tasks") + "\";",
                          "file = \"|exec sleep 100123\"; level = \"debug\";"));
        const int rx = udp_bind(6311);
        CHILD_CHECK(rx >= 0);
        Daemon t(d.path());
        CHILD_CHECK(t.start({"-T", "-q", "-C", d.file("tavel.conf")}));
        CHILD_CHECK(eventually([&] { return get(PORT, "/x") != "#connect failed"; }, 5000));
        // Some 2 KiB of debug lines a request: the pipe (64 KiB) is full
        // after a few dozen.
        for (int i = 0; i < 300; ++i) CHILD_CHECK(churn(20000 + i, 6400));
        CHILD_CHECK(relay_count(5311, rx, 200) == 200);
        const std::vector<pid_t> cmd = children_running(t.pid(), {"sleep", "100123"});
        CHILD_CHECK(cmd.size() == 1);
        const auto t0 = clk::now();
        CHILD_CHECK(t.stop() == 0);
        CHILD_CHECK(ms_since(t0) < 5000);
        CHILD_CHECK(kill(cmd[0], 0) != 0);  // ended and reaped

        close(rx);
        return 0;
    }));
}

// Standard error a pipe that is never read (as with "tavel -T -L debug
// 2>&1 >/dev/null | sleep 30"), as the log and as the mirror of a log
// file, and one that is full before the daemon starts (a supervisor's pipe
// that stalled before a restart: the configuration dump must not wait on
// it either); a pipe that another process writes too (a supervisor's log
// pipe) and whose reader drains it for a while, then stops, also as the
// mirror of a daemon that runs as another user than the FIFO's owner, who
// may not open it; and an unread stream
// socket (a stalled journal) as the mirror of a log command that ends every
// 0.2 s, so that the log says on stderr again and again that it restarts
// it.  Requests keep being answered, each within 3 s, and SIGTERM ends the
// daemon.
TEST(tavel_log, StandardErrorThatIsNeverReadNeverStopsTheRelay)
{
    enum err_kind { FIFO_LOG, FIFO_MIRROR, FULL_FIFO_MIRROR, SHARED_PIPE, SHARED_AS_USER,
                    SOCKET_COMMAND };
    const passwd *pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    for (const err_kind k : {FIFO_LOG, FIFO_MIRROR, FULL_FIFO_MIRROR, SHARED_PIPE, SHARED_AS_USER,
                             SOCKET_COMMAND}) {
        SCOPED_TRACE(int(k));
        if (k == SHARED_AS_USER && !pw) continue;  // only root switches users
        EXPECT_CHILD_OK(in_ns([k, pw] {
            TempDir d;
            const std::string conf = d.file("tavel.conf"), err = d.file("err");
            // A directory of the user's for its log.
            const std::string run = d.file("run");
            if (k == SHARED_AS_USER) {
                CHILD_CHECK(mkdir(run.c_str(), 0755) == 0);
                CHILD_CHECK(chown(run.c_str(), pw->pw_uid, pw->pw_gid) == 0);
                CHILD_CHECK(chmod(d.path().c_str(), 0755) == 0);
            }
            const std::string log = k == FIFO_MIRROR || k == FULL_FIFO_MIRROR
                                        ? "file = \"" + d.file("tavel.log") + "\";"
                                    : k == SHARED_AS_USER ? "file = \"" + run + "/tavel.log\";"
                                    : k == SOCKET_COMMAND ? "file = \"|sleep 0.2\";"
                                                          : "";
            write_file(conf, config(PORT, "", log,
                                    k == SHARED_AS_USER ? "run_as_user = \"nobody\";" : ""));
            int held = -1, sv[2] = {-1, -1};
            pid_t other = -1;
            std::string to_err = "2>\"$2\"";
            if (k == SOCKET_COMMAND) {
                // Inherited by the daemon as its standard error, never read.
                CHILD_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
                to_err = "2>&" + std::to_string(sv[1]);
            } else {
                // Root's, which another user may read but not open to write.
                CHILD_CHECK(mkfifo(err.c_str(), 0600) == 0 && chmod(err.c_str(), 0644) == 0);
                held = open(err.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
                CHILD_CHECK(held >= 0);
            }
            if (k == FULL_FIFO_MIRROR) {
                const std::string page(4096, 'f');
                while (write(held, page.data(), page.size()) > 0) {
                }
                CHILD_CHECK(errno == EAGAIN);
            }
            if (k == SHARED_PIPE || k == SHARED_AS_USER) {
                // The other writer writes a page whenever the pipe has room
                // for one.
                other = start_child([&] {
                    const int fd = open(err.c_str(), O_WRONLY | O_CLOEXEC);
                    const std::string chunk(4096, 'o');
                    for (;;)
                        if (write(fd, chunk.data(), chunk.size()) < 0 && errno != EINTR) return 0;
                });
                CHILD_CHECK(other > 0);
            }
            Daemon t(d.path());
            // Not quiet: with a log of its own the daemon mirrors it to stderr.
            CHILD_CHECK(t.start({"-c", "exec \"$0\" -T -L debug -C \"$1\" " + to_err + " >/dev/null",
                                 tavel_path(), conf, err},
                                "/bin/sh"));
            if (sv[1] >= 0) close(sv[1]);
            CHILD_CHECK(eventually([&] { return get(PORT, "/x") != "#connect failed"; }, 5000));
            auto answered_in_time = [](int src) {
                const auto t0 = clk::now();
                return churn(src, 6400) && ms_since(t0) < 3000;
            };
            if (k == SHARED_PIPE || k == SHARED_AS_USER) {
                // Rounds of a reader that takes a page every millisecond
                // while requests come, and then stops while they still
                // come (so that the daemon is writing when the pipe
                // stays full).
                for (int round = 0; round < 4; ++round) {
                    std::atomic<bool> reading{true}, asking{true};
                    std::atomic<int> asked{0};
                    std::thread reader([&] {
                        char page[4096];
                        while (reading) {
                            (void)!read(held, page, sizeof(page));
                            usleep(1000);
                        }
                    });
                    std::thread asker([&] {
                        for (int i = 0; asking; ++i, ++asked)
                            (void)churn(30000 + round * 1000 + i % 900, 6400);
                    });
                    (void)eventually([&] { return asked >= 60; }, 20000);
                    reading = false;
                    reader.join();
                    (void)eventually([&] { return asked >= 80; }, 10000);
                    asking = false;
                    asker.join();
                    for (int i = 0; i < 5; ++i)
                        CHILD_CHECK(answered_in_time(27000 + round * 100 + i));
                }
            } else {
                for (int i = 0; i < 300; ++i) CHILD_CHECK(churn(26000 + i, 6400));
            }
            if (k == SOCKET_COMMAND) {
                // The command ends and is restarted a few times meanwhile.
                const auto t0 = clk::now();
                for (int i = 0; ms_since(t0) < 3500; ++i) CHILD_CHECK(answered_in_time(28000 + i));
            }
            const auto t0 = clk::now();
            CHILD_CHECK(t.stop() == 0);
            CHILD_CHECK(ms_since(t0) < 5000);
            if (other > 0) {
                kill(other, SIGKILL);
                finish_child(other, 5000);
            }
            if (held >= 0) close(held);
            if (sv[0] >= 0) close(sv[0]);
            return 0;
        }));
    }
}

// Syslog copies go to a reader bound at /dev/log that never reads (in a
// private mount namespace, over a /dev of its own): every request is
// answered, and SIGTERM ends the daemon.  The daemon runs in the
// background, the only mode in which it copies to syslog.
TEST(tavel_log, SyslogReaderThatNeverReadsNeverStopsTheRelay)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root runs in the background";
    EXPECT_CHILD_OK(in_ns([] {
        if (unshare(CLONE_NEWNS) != 0) return CHILD_SKIP;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return CHILD_SKIP;
        if (mount("tmpfs", "/dev", "tmpfs", 0, "size=1m") != 0) return CHILD_SKIP;
        CHILD_CHECK(mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) == 0);
        CHILD_CHECK(mkdir("/dev/shm", 01777) == 0);
        const int s = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        strcpy(sun.sun_path, "/dev/log");
        CHILD_CHECK(s >= 0 && bind(s, (sockaddr *)&sun, sizeof(sun)) == 0);

        TempDir d;
        const std::string pidf = d.file("tavel.pid");
        write_file(d.file("tavel.conf"),
                   config(PORT, "",
                          "file = \"" + d.file("tavel.log") + "\"; enable_syslog = true;",
                          "pidfile = \"" + pidf + "\";"));
        std::string out;
        CHILD_CHECK(run_tavel({"-C", d.file("tavel.conf")}, &out) == 0);
        const pid_t pid = pid_t(atol(slurp(pidf).c_str()));
        CHILD_CHECK(pid > 0);
        // Each refused kill is an error line, and so a syslog copy.
        for (int i = 0; i < 200; ++i)
            CHILD_CHECK(get(PORT, path(22000 + i, 6400, "/kill")) == answer(404));
        CHILD_CHECK(get(PORT, path(22999, 6400)) == answer(200));
        char buf[4096];
        const ssize_t n = recv(s, buf, sizeof(buf), MSG_DONTWAIT);
        CHILD_CHECK(n > 0);
        CHILD_CHECK(std::string(buf, size_t(n)).find(" tvl[" + std::to_string(pid) + "]: ") !=
                    std::string::npos);
        CHILD_CHECK(kill(pid, SIGTERM) == 0);
        CHILD_CHECK(eventually([&] { return kill(pid, 0) != 0; }, 5000));
        CHILD_CHECK(!file_exists(pidf));
        CHILD_CHECK(slurp(d.file("tavel.log")).find("no such task: src=[udp://127.0.0.1:22199]") !=
                    std::string::npos);
        close(s);
        return 0;
    }));
}

// At a high log rate (debug lines of requests, and the I/O trace lines of
// a relay) with max_size_mb 1 and max_files 3: every rotation gets a name
// of its own, no file grows much past 1 MiB, and 3 rotated files are kept.
TEST(tavel_log, RotationKeepsItsBoundAtAHighRate)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string log = d.file("tavel.log");
        write_file(d.file("tasks"), "udp://127.0.0.1:5321 udp://127.0.0.1:6321 feed\n");
        write_file(d.file("tavel.conf"),
                   config(PORT,
                          "task_list = \"" + d.file("tasks") +
                              "\";\ndebug: { track_io = true; };",
                          "file = \"" + log + "\"; level = \"debug\"; max_size_mb = 1; "
                                              "max_files = 3;"));
        const int rx = udp_bind(6321);
        CHILD_CHECK(rx >= 0);
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        std::set<std::string> names;
        const std::regex rotated("previous log rotated to \\[([^\\]]+)\\]");
        size_t seen = 0;
        const std::string payload(1000, 'p');
        CHILD_CHECK(eventually(
            [&] {
                for (int i = 0; i < 20; ++i) churn(23000 + i, 6400);
                for (int i = 0; i < 200; ++i) udp_send("127.0.0.1", 5321, payload);
                while (!udp_recv(rx, 0).empty()) {
                }
                // The lines that came since the last look (the output is long).
                const std::string o = t.output();
                const size_t from = o.rfind('\n', seen) == std::string::npos ? 0 : o.rfind('\n', seen);
                for (std::sregex_iterator m(o.begin() + long(from), o.end(), rotated), e; m != e;
                     ++m)
                    names.insert((*m)[1]);
                seen = o.size();
                return names.size() >= 7;
            },
            90000));
        CHILD_CHECK(t.stop() == 0);
        // The mirror shows each rotation once, each under its own name.
        CHILD_CHECK(count_of(t.output(), "previous log rotated to [") == names.size());
        int kept = 0;
        for (const auto &n : names) {
            struct stat st;
            if (stat(n.c_str(), &st) != 0) continue;
            ++kept;
            CHILD_CHECK(st.st_size >= (1 << 20) && st.st_size < (1 << 20) + 4096);
        }
        CHILD_CHECK(kept == 3);
        CHILD_CHECK(count_of(slurp(*names.rbegin()), "#TRK-") > 0);
        close(rx);
        return 0;
    }));
}

// A rotation tool moves the log away and sends SIGHUP: the daemon opens
// the path anew.  Moved away without SIGHUP, or deleted, the daemon notices
// within about a second.  SIGUSR1 is logged and changes nothing.
TEST(tavel_log, MovedLogIsReopenedAndSignalsAreCaught)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string log = d.file("tavel.log");
        write_file(d.file("tavel.conf"),
                   config(PORT, "", "file = \"" + log + "\"; level = \"info\";"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        CHILD_CHECK(rename(log.c_str(), (log + ".1").c_str()) == 0);
        CHILD_CHECK(kill(t.pid(), SIGHUP) == 0);
        CHILD_CHECK(eventually([&] { return slurp(log).find("reopened (requested)") !=
                                            std::string::npos; },
                               3000));
        // The signal's line went to the file in use when it came.
        CHILD_CHECK(slurp(log + ".1").find("SIGHUP(1)") != std::string::npos);
        CHILD_CHECK(churn(24000, 6400));
        CHILD_CHECK(slurp(log).find("127.0.0.1:24000") != std::string::npos);
        CHILD_CHECK(slurp(log + ".1").find("127.0.0.1:24000") == std::string::npos);
        CHILD_CHECK(slurp(log + ".1").find("STARTING. PID=") != std::string::npos);

        // Moved away, then deleted, with no signal.
        CHILD_CHECK(rename(log.c_str(), (log + ".2").c_str()) == 0);
        CHILD_CHECK(eventually([&] { return slurp(log).find("reopened (moved or deleted)") !=
                                            std::string::npos; },
                               3000));
        CHILD_CHECK(unlink(log.c_str()) == 0);
        CHILD_CHECK(eventually([&] { return file_exists(log); }, 3000));
        CHILD_CHECK(churn(24001, 6400));
        CHILD_CHECK(eventually(
            [&] { return slurp(log).find("127.0.0.1:24001") != std::string::npos; }, 3000));

        // A FIFO put at the path, and SIGHUP: it is never opened (an open
        // for writing would wait for a reader), requests are answered at
        // once, the lines go on into the file in use, and the path is
        // opened again once it names a regular file.
        CHILD_CHECK(rename(log.c_str(), (log + ".3").c_str()) == 0);
        CHILD_CHECK(mkfifo(log.c_str(), 0600) == 0);
        CHILD_CHECK(kill(t.pid(), SIGHUP) == 0);
        CHILD_CHECK(t.wait_for("log_reopen: cannot reopen [" + log +
                                   "], not a regular file - retrying\n",
                               3000));
        for (int i = 0; i < 3; ++i) {
            const auto t0 = clk::now();
            CHILD_CHECK(churn(24010 + i, 6400));
            CHILD_CHECK(ms_since(t0) < 2000);
        }
        CHILD_CHECK(slurp(log + ".3").find("127.0.0.1:24012") != std::string::npos);
        CHILD_CHECK(unlink(log.c_str()) == 0);
        CHILD_CHECK(eventually(
            [&] { return slurp(log).find("reopened (retried)") != std::string::npos; }, 3000));

        // A second link to a root-only file planted at the path after a
        // rotation, then SIGHUP: that file is never written, the lines go
        // on into the file in use, and the path is opened again once it
        // names a file of the daemon's own.
        const std::string victim = d.file("victim");
        write_file(victim, "root only\n");
        CHILD_CHECK(chmod(victim.c_str(), 0600) == 0);
        CHILD_CHECK(rename(log.c_str(), (log + ".4").c_str()) == 0);
        CHILD_CHECK(link(victim.c_str(), log.c_str()) == 0);
        CHILD_CHECK(kill(t.pid(), SIGHUP) == 0);
        CHILD_CHECK(t.wait_for("log_reopen: cannot reopen [" + log + "], not a file of its own", 3000));
        CHILD_CHECK(churn(24030, 6400));
        CHILD_CHECK(slurp(log + ".4").find("127.0.0.1:24030") != std::string::npos);
        CHILD_CHECK(slurp(victim) == "root only\n");
        CHILD_CHECK(unlink(log.c_str()) == 0);
        CHILD_CHECK(eventually(
            [&] { return slurp(log).find("reopened (retried)") != std::string::npos; }, 3000));
        CHILD_CHECK(slurp(victim) == "root only\n");

        CHILD_CHECK(kill(t.pid(), SIGUSR1) == 0);
        CHILD_CHECK(eventually(
            [&] { return slurp(log).find("SIGUSR1(10)") != std::string::npos; }, 3000));
        CHILD_CHECK(churn(24002, 6400));
        CHILD_CHECK(t.stop() == 0);
        CHILD_CHECK(slurp(log).find("EXIT(0)") != std::string::npos);
        return 0;
    }));
}

// 500 tasks of max_pkts 64 (256 datagram slots each) are created and
// removed, twice: resident memory comes back near its idle level.
TEST(tavel_log, MemoryGoesBackAfterAPeakOfTasks)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"),
                   "tavel: {\n  max_tasks = 600;\n  max_pkts = 64;\n"
                   // The tasks carry nothing: none may time out, however
                   // long a busy machine takes to make and remove 500.
                   "  idle_task_timeout = -1;\n"
                   "  log: { level = \"norm\"; };\n  runtime: { };\n"
                   "  listener: { user: { ifc = \"lo\"; default_af = \"inet\"; port = \"" +
                       std::to_string(PORT) + "\"; }; max_to_accept = 64; };\n};\n");
        long slack = 64 * 1024;  // KiB over the idle level once the tasks are gone
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer's allocator keeps freed blocks in a quarantine and
        // gives memory back only now and then: make it behave like malloc.
        // The shadow of the unmapped storage (an eighth of it) stays.
        slack = 160 * 1024;
        const char *asan = getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS",
               (std::string(asan ? asan : "") +
                ":quarantine_size_mb=0:allocator_release_to_os_interval_ms=100")
                   .c_str(),
               1);
#endif
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const long idle = rss_kib(t.pid());
        CHILD_CHECK(idle > 0);
        long peak[2] = {}, after[2] = {};
        for (int round = 0; round < 2; ++round) {
            for (int i = 0; i < 500; ++i)
                CHILD_CHECK(get(PORT, path(25000 + i, 6400)) == answer(200));
            peak[round] = rss_kib(t.pid());
            for (int i = 0; i < 500; ++i)
                CHILD_CHECK(get(PORT, path(25000 + i, 6400, "/kill")) == answer(200));
            CHILD_CHECK(eventually([&] { return rss_kib(t.pid()) < idle + slack; }, 5000));
            after[round] = rss_kib(t.pid());
        }
        fprintf(stderr, "resident KiB: idle %ld, 500 tasks %ld, removed %ld, 500 tasks %ld, "
                        "removed %ld\n",
                idle, peak[0], after[0], peak[1], after[1]);
        // The tasks' storage was in use (each slot's header is written).
        CHILD_CHECK(peak[0] > idle + 200 * 1024);
        CHILD_CHECK(t.stop() == 0);
        return 0;
    }));
}
