// The destinations a log opens itself and its syslog copy: a pipe whose
// command stops reading or ends, a full disk, a file moved, deleted or
// replaced under the log, and a syslog reader that never reads.  Nothing may make a log line wait; what is lost is
// counted and reported once writing works again.
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "log_impl.h"
#include "netns.h"
#include "support.h"
#include "util.h"

LOG_MODULE(LM_DEFAULT);

namespace {

using clk = std::chrono::steady_clock;

// A command that ended leaves a pipe without reader; the programs ignore
// SIGPIPE (handle_quit_signals), and so does this one.
[[maybe_unused]] const bool g_no_sigpipe = (signal(SIGPIPE, SIG_IGN), true);

long ms_since(clk::time_point t0)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(clk::now() - t0).count());
}

void nap_ms(int ms) { usleep(useconds_t(ms) * 1000); }

// Polls cond every 10 ms for at most ms.
template <class F>
bool within(int ms, F cond)
{
    for (auto t0 = clk::now();; nap_ms(10)) {
        if (cond()) return true;
        if (ms_since(t0) > ms) return false;
    }
}

// The upkeep runs at most once a second; the tests call it when they
// want it, as if a second had passed.
void upkeep_now(log_ctx *lg)
{
    lg->dest.last_check = {};
    log_upkeep(lg);
}

size_t count_lines(const std::string &text)
{
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// The number in the "<n> lines dropped" line of text, -1 when none.
long dropped_in(const std::string &text)
{
    std::smatch m;
    static const std::regex re("\\(WRN\\)  ([0-9]+) lines dropped\n");
    return std::regex_search(text, m, re) ? std::stol(m[1]) : -1;
}

const std::string LINE(100, 'x');

struct PipeLog {
    log_ctx lg{};
    explicit PipeLog(const std::string &cmd)
    {
        lg.time_format = f_NO_TIME;
        EXPECT_EQ(log_popen(&lg, cmd.c_str()), 0);
    }
    ~PipeLog() { log_close(&lg); }
};

}  // namespace

// --- pipes ---------------------------------------------------------------------------------

// A command that never reads: 2000 lines of 100 bytes (three times the
// pipe) are written without waiting; the ones the pipe did not take are
// counted.  Once the command reads, the count is written ahead of any
// later line, and the lines that got through plus the count make 2000.
// Closing waits a bounded time for a command that does not end.
TEST(logdest, pipe_that_stops_reading_never_blocks_and_counts_the_loss)
{
    const int rc = run_in_child([] {
        TempDir dir;
        const std::string fifo = dir.file("go"), out = dir.file("out");
        CHILD_CHECK(mkfifo(fifo.c_str(), 0600) == 0);
        PipeLog p("read go < " + fifo + "; exec cat > " + out);
        const auto t0 = clk::now();
        for (int i = 0; i < 2000; ++i) log_write(&p.lg, NORM_level, "%s %d\n", LINE.c_str(), i);
        CHILD_CHECK(ms_since(t0) < 2000);
        CHILD_CHECK(p.lg.dest.out.lost > 0 && p.lg.dest.out.lost < 2000);

        // The command starts reading; the upkeep writes the count.
        const int go = open(fifo.c_str(), O_WRONLY);
        CHILD_CHECK(go >= 0 && write(go, "\n", 1) == 1);
        close(go);
        CHILD_CHECK(within(5000, [&] {
            upkeep_now(&p.lg);
            return dropped_in(read_file(out)) > 0;
        }));
        log_write(&p.lg, NORM_level, "after\n");
        CHILD_CHECK(within(5000, [&] { return read_file(out).find("after") != std::string::npos; }));
        const std::string text = read_file(out);
        const size_t got = count_lines(text) - 2;
        CHILD_CHECK(got + size_t(dropped_in(text)) == 2000);
        CHILD_CHECK(text.size() > 6 && text.substr(text.size() - 13) == "(NRM)  after\n");
        return 0;
    });
    EXPECT_EQ(rc, 0);

    // A command that neither reads nor ends: closing takes about a second,
    // then the command is ended.
    PipeLog p("exec sleep 100007");
    for (int i = 0; i < 1000; ++i) log_write(&p.lg, NORM_level, "%s\n", LINE.c_str());
    const pid_t cmd = p.lg.dest.cmd_pid;
    ASSERT_GT(cmd, 0);
    const auto t0 = clk::now();
    log_close(&p.lg);
    EXPECT_LT(ms_since(t0), 3000);
    EXPECT_GE(ms_since(t0), 900);
    EXPECT_NE(kill(cmd, 0), 0);  // reaped, gone
}

// A command that ends is reaped and started again, no sooner than a
// second after its last start; the new one first gets the count of the
// lines lost meanwhile.
TEST(logdest, command_that_ends_is_reaped_and_restarted_once_a_second)
{
    TempDir dir;
    const std::string out = dir.file("out");
    StderrCapture err;
    PipeLog p("head -n 1 >> " + out);
    log_write(&p.lg, NORM_level, "first\n");
    const pid_t first = p.lg.dest.cmd_pid;
    ASSERT_TRUE(within(5000, [&] { return read_file(out) == "(NRM)  first\n"; }));
    // head has ended: its pipe refuses the next lines (or takes one more).
    ASSERT_TRUE(within(5000, [&] {
        log_write(&p.lg, NORM_level, "lost\n");
        return p.lg.dest.fd < 0;
    }));
    const size_t lost = p.lg.dest.out.lost;
    EXPECT_GT(lost, 0u);

    // Reaped at once; started again only a second after the last start.
    const auto started = clk::now();
    p.lg.dest.last_spawn = {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &p.lg.dest.last_spawn);
    upkeep_now(&p.lg);
    EXPECT_EQ(p.lg.dest.cmd_pid, 0);
    EXPECT_EQ(waitpid(first, nullptr, WNOHANG), -1);  // no zombie left
    EXPECT_EQ(errno, ECHILD);
    ASSERT_TRUE(within(3000, [&] {
        upkeep_now(&p.lg);
        return p.lg.dest.cmd_pid > 0;
    }));
    EXPECT_GE(ms_since(started), 900);
    EXPECT_NE(p.lg.dest.cmd_pid, first);
    log_write(&p.lg, NORM_level, "second\n");
    ASSERT_TRUE(within(5000, [&] { return count_lines(read_file(out)) == 2; }));
    EXPECT_EQ(read_file(out), "(NRM)  first\n(WRN)  " + std::to_string(lost) + " lines dropped\n");
    EXPECT_NE(err.text().find("log_upkeep: log command [head -n 1 >> " + out + "] ended"),
              std::string::npos)
        << err.text();
}

// Neither end of the pipe reaches another child: the command holds only
// its reading end (as descriptor 0), and a child started later holds
// neither.
TEST(logdest, no_pipe_descriptor_leaks_into_a_child)
{
    TempDir dir;
    const std::string fds = dir.file("fds"), later = dir.file("later");
    PipeLog p("ls -l /proc/self/fd > " + fds + "; exec cat > /dev/null");
    struct stat st;
    ASSERT_EQ(fstat(p.lg.dest.fd, &st), 0);
    const std::string pipe = "pipe:[" + std::to_string(st.st_ino) + "]";
    ASSERT_TRUE(within(5000, [&] { return read_file(fds).find(pipe) != std::string::npos; }));
    const std::string own = read_file(fds);
    EXPECT_EQ(own.find(pipe), own.rfind(pipe)) << own;  // one descriptor
    EXPECT_NE(own.find(" 0 -> " + pipe), std::string::npos) << own;
    ASSERT_EQ(system(("ls -l /proc/self/fd > " + later).c_str()), 0);
    EXPECT_EQ(read_file(later).find(pipe), std::string::npos) << read_file(later);
}

// --- files ---------------------------------------------------------------------------------

// On a full disk the lines are lost and counted, and so is nothing in the
// byte count, so no rotation comes of them; once there is room again the
// count comes first, on a line of its own after the line the disk tore.
// (A small file system in a private mount namespace.)
TEST(logdest, full_disk_loses_lines_counted_and_reported)
{
    const int rc = run_in_child([] {
        if (unshare(CLONE_NEWNS) != 0) return CHILD_SKIP;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return CHILD_SKIP;
        TempDir dir;
        if (mount("tmpfs", dir.path().c_str(), "tmpfs", 0, "size=64k") != 0) return CHILD_SKIP;
        const std::string path = dir.file("f.log"), filler = dir.file("filler");
        log_ctx lg{};
        lg.time_format = f_NO_TIME;
        CHILD_CHECK(log_open(&lg, path.c_str()) == 0);
        log_write(&lg, NORM_level, "before\n");
        // The filler takes every free page, and the log file's own last
        // page is filled up behind the log's back.
        const int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
        const int pad = open(path.c_str(), O_WRONLY | O_APPEND);
        CHILD_CHECK(fd >= 0 && pad >= 0);
        const std::string block(4096, 'f');
        for (int i = 0; i < 64 && write(fd, block.data(), block.size()) > 0; ++i) {
        }
        for (int f : {fd, pad})
            for (int i = 0; i < 8192 && write(f, "\n", 1) == 1; ++i) {
            }
        // Room for 5 bytes is left in the file's last page: the first
        // line lost is torn after "(NRM)".
        struct stat st;
        CHILD_CHECK(fstat(pad, &st) == 0 && ftruncate(pad, st.st_size - 5) == 0);
        close(fd);
        close(pad);
        const size_t counted = lg.total_out;
        CHILD_CHECK(counted == strlen("(NRM)  before\n"));
        log_set_rota(&lg, counted + 100, 2);
        for (int i = 0; i < 50; ++i) log_write(&lg, NORM_level, "lost %d\n", i);
        CHILD_CHECK(lg.dest.out.lost == 50);
        CHILD_CHECK(lg.total_out == counted + 5);  // only what was written counts
        CHILD_CHECK(!file_exists(lg.rota.kept[0]) && !lg.rota.kept[0][0]);  // no rotation
        unlink(filler.c_str());
        log_write(&lg, NORM_level, "back\n");
        const std::string text = read_file(path);
        const std::string tail = "\n(NRM)\n(WRN)  50 lines dropped\n(NRM)  back\n";
        CHILD_CHECK(text.rfind("(NRM)  before\n", 0) == 0);
        CHILD_CHECK(text.size() > tail.size() && text.substr(text.size() - tail.size()) == tail);
        CHILD_CHECK(lg.total_out == counted + tail.size() - 1);
        log_close(&lg);
        umount(dir.path().c_str());
        return 0;
    });
    if (rc == CHILD_SKIP) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(rc, 0);
}

// The upkeep notices that the file was moved away, deleted or replaced,
// and opens the path anew; the moved file keeps what was written before.
// A reopen that fails keeps the old file in use and is retried.
TEST(logdest, moved_deleted_or_replaced_file_is_reopened)
{
    enum act { MOVE, DELETE, REPLACE, REQUEST };
    for (const act a : {MOVE, DELETE, REPLACE, REQUEST}) {
        SCOPED_TRACE(int(a));
        TempDir dir;
        const std::string path = dir.file("m.log"), moved = dir.file("moved");
        log_ctx lg{};
        lg.time_format = f_NO_TIME;
        ASSERT_EQ(log_open(&lg, path.c_str()), 0);
        log_write(&lg, NORM_level, "one\n");
        if (a == MOVE || a == REPLACE) {
            ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
        }
        if (a == DELETE) {
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
        if (a == REPLACE) write_file(path, "new\n");
        if (a == REQUEST) {
            ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
            EXPECT_EQ(log_reopen(&lg), 0);
        } else {
            upkeep_now(&lg);
        }
        log_write(&lg, NORM_level, "two\n");
        const char *why[] = {"moved or deleted", "moved or deleted", "replaced", "requested"};
        EXPECT_EQ(read_file(path), std::string(a == REPLACE ? "new\n" : "") +
                                       "(NRM)  log_reopen: [" + path + "] reopened (" + why[a] +
                                       ")\n(NRM)  two\n");
        if (a != DELETE) {
            EXPECT_EQ(read_file(moved), "(NRM)  one\n");
        }
        // Nothing changed: the upkeep leaves the file alone.
        upkeep_now(&lg);
        EXPECT_EQ(count_lines(read_file(path)), a == REPLACE ? 3u : 2u);
        log_close(&lg);
    }

    TempDir dir;
    const std::string sub = dir.file("sub"), path = sub + "/x.log";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    log_ctx lg{};
    lg.time_format = f_NO_TIME;
    ASSERT_EQ(log_open(&lg, path.c_str()), 0);
    ASSERT_EQ(rename(sub.c_str(), dir.file("gone").c_str()), 0);
    {
        StderrCapture err;
        upkeep_now(&lg);
        upkeep_now(&lg);
        EXPECT_EQ(err.text(), "log_reopen: cannot reopen [" + path +
                                  "], ERROR(2): No such file or directory - retrying\n");
    }
    log_write(&lg, NORM_level, "meanwhile\n");
    EXPECT_EQ(read_file(dir.file("gone/x.log")), "(NRM)  meanwhile\n");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    upkeep_now(&lg);
    log_write(&lg, NORM_level, "again\n");
    EXPECT_EQ(read_file(path),
              "(NRM)  log_reopen: [" + path + "] reopened (retried)\n(NRM)  again\n");

    log_close(&lg);
}

// A file at the log's path that is not the process's own, another user's
// (an empty one left in a directory everybody may write) or one with a
// second link (planted at the path after a rotation), is never written:
// opening it fails, and a reopen keeps the file in use.
TEST(logdest, file_of_another_user_or_with_two_links_is_refused)
{
    enum kind { OTHER_USER, TWO_LINKS };
    for (const kind k : {OTHER_USER, TWO_LINKS}) {
        SCOPED_TRACE(int(k));
        if (k == OTHER_USER && geteuid() != 0) continue;
        TempDir dir;
        const std::string path = dir.file("o.log"), victim = dir.file("victim"),
                          moved = dir.file("moved");
        // The file planted at the path: empty, so that nothing moves it aside.
        auto plant = [&] {
            if (k == OTHER_USER) {
                write_file(path, "");
                EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
                EXPECT_EQ(chmod(path.c_str(), 0666), 0);
            } else {
                write_file(victim, "");
                EXPECT_EQ(chmod(victim.c_str(), 0600), 0);
                EXPECT_EQ(link(victim.c_str(), path.c_str()), 0);
            }
        };
        log_ctx lg{};
        lg.time_format = f_NO_TIME;
        plant();
        {
            StderrCapture err;
            EXPECT_EQ(log_open(&lg, path.c_str()), -1);
            EXPECT_EQ(err.text(), "do_open: [" + path + "] is not a regular file of its own (uid " +
                                      (k == OTHER_USER ? "65534, 1" : std::to_string(geteuid()) +
                                                                          ", 2") +
                                      " links)\n");
        }
        log_write(&lg, NORM_level, "dropped\n");
        EXPECT_EQ(read_file(path), "");
        ASSERT_EQ(unlink(path.c_str()), 0);
        if (k == TWO_LINKS) {
            ASSERT_EQ(unlink(victim.c_str()), 0);
        }

        // The same file planted after the log was opened: the reopen keeps
        // the file in use, and so does the upkeep's retry.
        ASSERT_EQ(log_open(&lg, path.c_str()), 0);
        ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
        plant();
        {
            StderrCapture err;
            EXPECT_EQ(log_reopen(&lg), -1);
            upkeep_now(&lg);
            EXPECT_NE(err.text().find("log_reopen: cannot reopen [" + path +
                                      "], not a file of its own"),
                      std::string::npos);
        }
        log_write(&lg, NORM_level, "kept\n");
        EXPECT_EQ(read_file(moved), "(NRM)  kept\n");
        EXPECT_EQ(read_file(path), "");
        log_close(&lg);
    }
}

// A pipe or a socket as the log's own stream (stderr under a service
// manager) or as its mirror, never read: lines, and what is printed on
// log_fp, are dropped and counted without waiting, and the count starts
// the next line that gets through.  The flags of the stream's file
// description stay as they were.
TEST(logdest, std_stream_that_is_never_read_never_blocks)
{
    for (const int c : {0, 1, 2, 3}) {
        const bool sock = c & 1, mirror = c & 2;
        SCOPED_TRACE(c);
        const int rc = run_in_child(
            [&] {
                int fds[2];
                CHILD_CHECK((sock ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds)) == 0);
                FILE *stream = fdopen(fds[1], "w");
                const int flags = fcntl(fds[1], F_GETFL);
                TempDir dir;
                log_ctx lg{};
                lg.time_format = f_NO_TIME;
                if (mirror) CHILD_CHECK(log_open(&lg, dir.file("m.log").c_str()) == 0);
                mirror ? log_mirror(&lg, stream) : log_default(&lg, stream);
                const auto t0 = clk::now();
                for (int i = 0; i < 2000; ++i) {
                    log_write(&lg, NORM_level, "%s %d\n", LINE.c_str(), i);
                    if (!mirror) fprintf(log_fp(&lg), "%s printed\n", LINE.c_str());
                }
                // A line copied to the full stream (as to a starter's
                // standard error) is dropped, not waited on.  (A whole
                // page: a shorter text may still fit the pipe's last page.)
                const std::string copy = "(ERR)  " + std::string(PIPE_BUF - 8, 'c') + "\n";
                CHILD_CHECK(log_copy_to(fds[1], copy.data(), copy.size()) < 0);
                // So are the log's messages about itself when the full
                // stream is stderr (here: a rotation it has nothing for).
                if (!mirror) {
                    const int saved_err = dup(STDERR_FILENO);
                    CHILD_CHECK(saved_err >= 0 && dup2(fds[1], STDERR_FILENO) == STDERR_FILENO);
                    for (int i = 0; i < 200; ++i) CHILD_CHECK(log_rotate(&lg) == 0);
                    CHILD_CHECK(dup2(saved_err, STDERR_FILENO) == STDERR_FILENO);
                    close(saved_err);
                }
                CHILD_CHECK(ms_since(t0) < 2000 && fcntl(fds[1], F_GETFL) == flags);
                const out_state &o = mirror ? lg.mirror.out : lg.dest.out;
                const size_t lost = o.lost;
                CHILD_CHECK(lost > 0 && lost < 4000);
                // Drained, the stream gets the count, then the line (a line
                // a socket took in part is ended first).
                const std::string head = o.torn ? "\n" : "";
                char buf[65536];
                CHILD_CHECK(fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0);
                while (read(fds[0], buf, sizeof(buf)) > 0) {
                }
                log_write(&lg, NORM_level, "after\n");
                const ssize_t n = read(fds[0], buf, sizeof(buf));
                CHILD_CHECK(n > 0 && std::string(buf, size_t(n)) ==
                                         head + "(WRN)  " + std::to_string(lost) +
                                             " lines dropped\n(NRM)  after\n");
                log_close(&lg);
                return 0;
            },
            10000);
        EXPECT_EQ(rc, 0);
    }
}

// A pipe as the log's stream or mirror that another writer shares (a
// supervisor's log pipe) and fills whenever it has room: between a look
// for room and a write the other may take it, so the log asks the kernel
// for a write that does not wait.  Its reader takes a page at a time and
// the log writes a line after each: no line ever waits (a line that waited
// would wait for ever: the reader is this very thread).  So for root's
// FIFO (which the kernel cannot write without waiting on a shared
// description) once the process runs as another user, who may not open
// it: the descriptions kept before the switch take the lines.
TEST(logdest, std_pipe_shared_with_another_writer_never_blocks)
{
    const passwd *pw = geteuid() == 0 ? getpwnam("nobody") : nullptr;
    for (const int c : {0, 1, 2, 3}) {
        const bool mirror = c & 1, as_user = c & 2;
        SCOPED_TRACE(c);
        if (as_user && !pw) continue;  // only root switches users
        TempDir dir;
        const std::string fifo = dir.file("err");
        const int rc = run_in_child(
            [&] {
                int fds[2];
                if (as_user) {
                    CHILD_CHECK(mkfifo(fifo.c_str(), 0644) == 0);
                    fds[0] = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
                    fds[1] = open(fifo.c_str(), O_WRONLY);
                    CHILD_CHECK(fds[0] >= 0 && fds[1] >= 0 && fcntl(fds[0], F_SETFL, 0) == 0);
                } else {
                    CHILD_CHECK(pipe(fds) == 0);
                }
                FILE *stream = fdopen(fds[1], "w");
                const int flags = fcntl(fds[1], F_GETFL);
                // The other writer spins on a non-blocking description of
                // its own, so that it takes any room within a moment.
                const int other =
                    open(("/proc/self/fd/" + std::to_string(fds[1])).c_str(), O_WRONLY | O_NONBLOCK);
                CHILD_CHECK(other >= 0);
                log_ctx lg{};
                lg.time_format = f_NO_TIME;
                if (mirror) CHILD_CHECK(log_open(&lg, dir.file("m.log").c_str()) == 0);
                mirror ? log_mirror(&lg, stream) : log_default(&lg, stream);
                if (as_user) {
                    log_keep_std(&lg);
                    CHILD_CHECK(run_as_user_id(pw->pw_uid, pw->pw_gid) == 0);
                }
                std::atomic<bool> on{true};
                std::thread filler([&] {
                    static char page[PIPE_BUF];
                    while (on) (void)!write(other, page, sizeof(page));
                });
                const auto t0 = clk::now();
                char page[PIPE_BUF];
                for (int i = 0; i < 3000; ++i) {
                    CHILD_CHECK(read(fds[0], page, sizeof(page)) > 0);
                    log_write(&lg, NORM_level, "%s %d\n", LINE.c_str(), i);
                }
                on = false;
                CHILD_CHECK(fcntl(fds[1], F_GETFL) == flags);
                // The filler leaves its last write once the pipe has room.
                CHILD_CHECK(fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0);
                filler.join();
                CHILD_CHECK(ms_since(t0) < 5000);
                // The filler may have won every page, so whether a line got
                // through meanwhile is chance; once it is gone, the next line
                // takes the log's way (as the switched user, the kept one).
                while (read(fds[0], page, sizeof(page)) > 0) {
                }
                log_write(&lg, NORM_level, "after\n");
                std::string back;
                for (ssize_t n; (n = read(fds[0], page, sizeof(page))) > 0;)
                    back.append(page, size_t(n));
                CHILD_CHECK(back.ends_with("(NRM)  after\n"));
                log_close(&lg);
                return 0;
            },
            10000);
        EXPECT_EQ(rc, 0);
    }
}

// --- syslog --------------------------------------------------------------------------------

// A reader bound at /dev/log (in a private mount namespace) that never
// reads: lines are sent without waiting, the ones the socket refuses are
// counted, and the count is sent once the socket takes lines again.  A
// reader that goes away is replaced by connecting anew.
TEST(logdest, syslog_reader_that_never_reads_never_blocks)
{
    const int rc = run_in_child([] {
        if (unshare(CLONE_NEWNS) != 0) return CHILD_SKIP;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return CHILD_SKIP;
        if (mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0) return CHILD_SKIP;
        auto bind_devlog = [] {
            const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            sockaddr_un sun{};
            sun.sun_family = AF_UNIX;
            strcpy(sun.sun_path, "/dev/log");
            unlink(sun.sun_path);
            return s >= 0 && bind(s, (sockaddr *)&sun, sizeof(sun)) == 0 ? s : -1;
        };
        auto drain = [](int s) {
            std::vector<std::string> got;
            char buf[4096];
            ssize_t n;
            while ((n = recv(s, buf, sizeof(buf), 0)) > 0) got.emplace_back(buf, size_t(n));
            return got;
        };
        int s = bind_devlog();
        CHILD_CHECK(s >= 0);
        FILE *sink = tmpfile();
        log_default(&g_log, sink);
        log_timefmt(&g_log, f_NO_TIME);
        glog_enable_syslog("tst");
        const auto t0 = clk::now();
        for (int i = 0; i < 3000; ++i) log_write(&g_log, WARN_level, "to syslog %d\n", i);
        CHILD_CHECK(ms_since(t0) < 2000);
        std::vector<std::string> got = drain(s);
        CHILD_CHECK(!got.empty() && got.size() < 3000);
        static const std::regex head("<132>[A-Z][a-z][a-z] [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                                     "tst\\[[0-9]+\\]: to syslog 0");
        CHILD_CHECK(std::regex_match(got[0], head));
        log_write(&g_log, ERR_level, "after\n");
        std::vector<std::string> next = drain(s);
        CHILD_CHECK(next.size() == 2);
        CHILD_CHECK(next[0].find(": " + std::to_string(3000 - got.size()) + " lines dropped") !=
                    std::string::npos);
        CHILD_CHECK(next[0].rfind("<132>", 0) == 0);
        CHILD_CHECK(next[1].rfind("<131>", 0) == 0 && next[1].find(": after") != std::string::npos);

        // The reader goes away: a line finds none and is counted; another
        // reader binds /dev/log, and a second later (connecting again
        // waits that long) a line reaches it after the count.
        close(s);
        unlink("/dev/log");
        log_write(&g_log, WARN_level, "nobody\n");
        s = bind_devlog();
        CHILD_CHECK(s >= 0);
        nap_ms(1100);
        log_write(&g_log, WARN_level, "new reader\n");
        next = drain(s);
        CHILD_CHECK(next.size() == 2);
        CHILD_CHECK(next[0].find(": 1 lines dropped") != std::string::npos);
        CHILD_CHECK(next[1].find(": new reader") != std::string::npos);
        glog_disable_syslog();
        return 0;
    });
    if (rc == CHILD_SKIP) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(rc, 0);
}
