#include "util.h"

#include <gtest/gtest.h>
#include <getopt.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <vector>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "app.globals.h"
#include "log.h"
#include "netops.h"
#include "support.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr int WAIT_MS = 10000;

// Waits for a child at most WAIT_MS; a child still running then is killed.
// Its wait status, or -1.
int wait_child(pid_t pid)
{
    for (int waited = 0; waited < WAIT_MS; waited += 5) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        struct timespec ts = {0, 5000000};
        nanosleep(&ts, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Runs body in a forked child, which exits with body's result; the child's
// exit code, or -1 when it died or hung.
template <class F>
int in_child(F body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(body());
    int status = wait_child(pid);
    return (status >= 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

// Everything readable from fd until end of file, waiting at most WAIT_MS.
std::string read_until_eof(int fd)
{
    std::string out;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = WAIT_MS - ((now.tv_sec - start.tv_sec) * 1000 +
                               (now.tv_nsec - start.tv_nsec) / 1000000);
        if (left <= 0) break;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, int(left)) <= 0) break;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

// "key=value" lines into a map.
std::map<std::string, std::string> parse_report(const std::string &text)
{
    std::map<std::string, std::string> kv;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) kv[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return kv;
}

std::string fd_target(int fd)
{
    char link[64], target[PATH_MAX] = {};
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof(target) - 1);
    return n > 0 ? std::string(target, size_t(n)) : "closed";
}

class LevelScope {
public:
    explicit LevelScope(int level) : saved_(g_mod_ll[LM_DEFAULT]) { g_mod_ll[LM_DEFAULT] = level; }
    ~LevelScope() { g_mod_ll[LM_DEFAULT] = saved_; }
    LevelScope(const LevelScope &) = delete;
    LevelScope &operator=(const LevelScope &) = delete;

private:
    int saved_;
};

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe()
    {
        if (pipe(fd) != 0) abort();
    }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    void close_end(int i)
    {
        close(fd[i]);
        fd[i] = -1;
    }
};

n32_tag tag32(const char (&s)[5])
{
    n32_tag t;
    memcpy(t.sym4, s, 4);
    return t;
}

n64_tag tag64(const char (&s)[9])
{
    n64_tag t;
    memcpy(t.sym8, s, 8);
    return t;
}

}  // namespace

// --- detaching --------------------------------------------------------------------

// The starter exits 0; the daemon has its own session, sits in "/", has
// /dev/null on 0-2, keeps logging to the old stderr until it opens a log
// file, and that file never takes a standard descriptor.
TEST(util, daemonize_detaches_onto_dev_null)
{
    TempDir td;
    const std::string errpath = td.file("stderr.txt"), logpath = td.file("daemon.log");
    Pipe rep;
    fflush(nullptr);
    pid_t starter = fork();
    ASSERT_GE(starter, 0);
    if (starter == 0) {
        close(rep.fd[0]);
        int efd = open(errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (efd < 0 || dup2(efd, 2) < 0) _exit(10);
        close(efd);
        log_default(&g_log, stderr);
        log_timefmt(&g_log, f_NO_TIME);
        if (daemonize() != 0) _exit(11);
        char cwd[PATH_MAX] = {};
        if (!getcwd(cwd, sizeof(cwd))) cwd[0] = '?';
        mode_t mask = umask(022);
        log_norm("detached\n");
        std::string out = "sid=" + std::to_string(getsid(0)) + "\ncwd=" + cwd +
                          "\numask=" + std::to_string(mask) + "\n";
        for (int fd = 0; fd <= 2; ++fd)
            out += "fd" + std::to_string(fd) + "=" + fd_target(fd) + "\n";
        // What the daemon does next: open its log, close 2, log.
        int rc = log_open(&g_log, logpath.c_str());
        out += "log_open=" + std::to_string(rc) + "\n";
        out += "logfd=" + std::to_string(log_fd(&g_log)) + "\n";
        close(2);
        log_norm("in the log file\n");
        if (write(rep.fd[1], out.data(), out.size()) < 0) _exit(12);
        _exit(0);
    }
    rep.close_end(1);
    int status = wait_child(starter);
    ASSERT_TRUE(status >= 0 && WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    auto kv = parse_report(read_until_eof(rep.fd[0]));
    ASSERT_FALSE(kv.empty());
    EXPECT_NE(kv["sid"], std::to_string(getsid(0)));
    EXPECT_EQ(kv["cwd"], "/");
    EXPECT_EQ(kv["umask"], std::to_string(022));  // nobody else writes what it makes
    EXPECT_EQ(kv["fd0"], "/dev/null");
    EXPECT_EQ(kv["fd1"], "/dev/null");
    EXPECT_EQ(kv["fd2"], "/dev/null");
    EXPECT_EQ(kv["log_open"], "0");
    EXPECT_GE(std::stoi(kv["logfd"]), 3);
    EXPECT_EQ(read_file(errpath), "(NRM)  detached\n");
    EXPECT_EQ(read_file(logpath), "(NRM)  in the log file\n");
}

// --- the pid file ---------------------------------------------------------------------

TEST(util, pidfile_second_instance_is_refused)
{
    for (int flags : {0, int(CPFX_HUSH)}) {
        TempDir td;
        const std::string path = td.file("tvl.pid");
        const std::string expected =
            flags ? std::string("(ERR)  Another instance is already running\n")
                  : "(ERR)  create_pidfile_extra: file [" + path +
                        "] is locked (another instance of daemon must be running)\n"
                        "(ERR)  create_pidfile_extra: failed to create pidfile [" +
                        path + "] with pid=" + std::to_string(getpid()) + ".\n";
        Pipe ready, go;
        fflush(nullptr);
        pid_t first = fork();
        ASSERT_GE(first, 0);
        if (first == 0) {
            ino_t ino = 0;
            int rc = create_pidfile_extra(path.c_str(), getpid(), &ino, 0);
            std::string msg = std::to_string(rc) + " " + std::to_string(ino);
            if (write(ready.fd[1], msg.data(), msg.size()) < 0) _exit(1);
            close(ready.fd[1]);
            close(go.fd[1]);
            read_until_eof(go.fd[0]);  // held until the parent is done
            _exit(0);
        }
        ready.close_end(1);
        go.close_end(0);
        std::string msg = read_until_eof(ready.fd[0]);
        ASSERT_EQ(msg.substr(0, 2), "0 ") << msg;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(msg.substr(2), std::to_string(st.st_ino));

        LogCapture cap;
        ino_t ino = 0;
        EXPECT_EQ(create_pidfile_extra(path.c_str(), getpid(), &ino, flags), -1);
        EXPECT_EQ(cap.text(), expected);
        EXPECT_EQ(read_file(path), std::to_string(first));
        EXPECT_EQ(ino, 0u);
        go.close_end(1);
        int status = wait_child(first);
        EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

// After a daemon was killed its pid file stays, readable by everyone; a
// reader's lock on it (here of another user, when the test runs as root)
// keeps no restart from running, while a second instance is still refused.
TEST(util, pidfile_read_lock_of_a_reader_keeps_no_instance_out)
{
    TempDir td;
    const std::string path = td.file("tvl.pid");
    write_file(path, "4242");  // the killed daemon's
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(chmod(td.path().c_str(), 0755), 0);
    write_file(path + ".lock", "");  // left by the killed daemon too
    ASSERT_EQ(chmod((path + ".lock").c_str(), 0600), 0);
    Pipe ready, go;
    fflush(nullptr);
    const pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        // Opened before the switch: the test's directory may lie where
        // that user cannot go.
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (geteuid() == 0 && setuid(65534) != 0) _exit(1);
        std::string msg = "locked";
        struct flock fl = {};
        fl.l_type = F_RDLCK;
        fl.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0) msg = "no lock";
        if (write(ready.fd[1], msg.data(), msg.size()) < 0) _exit(1);
        close(ready.fd[1]);
        close(go.fd[1]);
        read_until_eof(go.fd[0]);  // held until the parent is done
        // Not root, it cannot open the instance lock's file at all.
        const int lk = open((path + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
        _exit(geteuid() != 0 && lk >= 0 ? 2 : 0);
    }
    ready.close_end(1);
    go.close_end(0);
    ASSERT_EQ(read_until_eof(ready.fd[0]), "locked");

    const int rc = in_child([&] {
        LevelScope lvl(INFO_level);
        LogCapture cap;
        ino_t ino = 0;
        if (create_pidfile_extra(path.c_str(), getpid(), &ino, 0) != 0) return 10;
        if (read_file(path) != std::to_string(getpid())) return 11;
        if (cap.text().find("is read-locked by pid " + std::to_string(reader)) ==
            std::string::npos)
            return 12;
        // A second instance is refused, and the file keeps the first's pid.
        const std::string mine = std::to_string(getpid());
        const int second = in_child([&] {
            LogCapture cap2;
            if (create_pidfile_extra(path.c_str(), getpid(), nullptr, 0) != -1) return 20;
            if (cap2.text().find("is locked (another instance of daemon must be running)") ==
                std::string::npos)
                return 21;
            return read_file(path) == mine ? 0 : 22;
        });
        return second == 0 ? 0 : 100 + second;
    });
    EXPECT_EQ(rc, 0);
    go.close_end(1);
    const int status = wait_child(reader);
    EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(util, pidfile_holds_digits_only)
{
    TempDir td;
    const std::string path = td.file("run.pid");
    write_file(path, "9999999999\n");  // an older, longer content is replaced
    LevelScope lvl(INFO_level);
    LogCapture cap;
    ino_t ino = 0;
    ASSERT_EQ(create_pidfile_extra(path.c_str(), 4711, &ino, 0), 0);
    EXPECT_EQ(read_file(path), "4711");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(ino, st.st_ino);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~mask);
    EXPECT_EQ(cap.text(), "(INF)  Created pidfile [" + path + "] with pid=4711.\n");

    cap.clear();
    EXPECT_EQ(create_pidfile_extra(td.file("quiet.pid").c_str(), 12, nullptr, CPFX_HUSH), 0);
    EXPECT_EQ(read_file(td.file("quiet.pid")), "12");
    EXPECT_EQ(cap.text(), "");

    EXPECT_EQ(create_pidfile_extra("", 12, nullptr, 0), -1);
    EXPECT_EQ(cap.text(), "(ERR)  create_pidfile_extra: no path specified\n");
    cap.clear();
    // An open failure is the wrapper's line only.
    EXPECT_EQ(create_pidfile_extra(td.file("no/such/dir.pid").c_str(), 12, nullptr, 0), -1);
    EXPECT_EQ(cap.text().find("failed to create pidfile"), std::string::npos);
}

// A pid-file path planted in a directory others may write: a link to a
// root-only file, a second name of it, a FIFO, a directory, another user's
// file.  Each is
// refused with a line naming the path, and the victim keeps its content.
TEST(util, pidfile_refuses_links_and_special_files)
{
    TempDir td;
    const std::string victim = td.file("victim");
    write_file(victim, "secret\n");
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    const std::string sym = td.file("sym.pid"), hard = td.file("hard.pid");
    const std::string fifo = td.file("fifo.pid"), dir = td.file("dir.pid");
    ASSERT_EQ(symlink(victim.c_str(), sym.c_str()), 0);
    ASSERT_EQ(link(victim.c_str(), hard.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // open succeeds
    ASSERT_GE(reader, 0);
    const std::string theirs = td.file("theirs.pid");
    write_file(theirs, "secret\n");
    const uid_t other = geteuid() == 0 ? 65534 : 0;
    ASSERT_EQ(chmod(theirs.c_str(), 0666), 0);
    const bool given = chown(theirs.c_str(), other, gid_t(-1)) == 0;  // needs root
    const struct {
        std::string path;
        int err;
        std::string line;
    } cases[] = {
        {given ? theirs : sym, given ? EPERM : ELOOP,
         given ? "create_pidfile_extra: [" + theirs + "] belongs to another user (uid 65534)\n"
               : "is a symbolic link"},
        {sym, ELOOP, "create_pidfile_extra: [" + sym + "] is a symbolic link\n"},
        {hard, EPERM, "create_pidfile_extra: [" + hard + "] is not a regular file of its own "
                      "(FILE, 2 links)\n"},
        {fifo, EPERM, "create_pidfile_extra: [" + fifo + "] is not a regular file of its own "
                      "(FIFO, 1 links)\n"},
        {dir, EISDIR, "open('" + dir},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture cap;
        errno = 0;
        EXPECT_EQ(create_pidfile_extra(c.path.c_str(), 4711, nullptr, 0), -1);
        EXPECT_EQ(errno, c.err);
        EXPECT_NE(cap.text().find(c.line), std::string::npos) << cap.text();
        EXPECT_EQ(read_file(victim), "secret\n");
        EXPECT_EQ(read_file(theirs), "secret\n");
    }
    close(reader);
    struct stat st;
    ASSERT_EQ(lstat(sym.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// Exclusive temporary files: each call makes a new file under six random
// characters, write-only, close-on-exec, with the mode less the umask.
TEST(util, create_tmp_file_is_new_and_unguessable)
{
    TempDir td;
    const mode_t old = umask(022);
    std::vector<std::string> names;
    for (int i = 0; i < 50; ++i) {
        std::string tmpl = td.file("t.XXXXXX");
        const int fd = create_tmp_file(tmpl.data(), 0666);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(tmpl.compare(0, tmpl.size() - 6, td.file("t.")), 0);
        EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        struct stat st;
        ASSERT_EQ(fstat(fd, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        close(fd);
        names.push_back(tmpl);
    }
    umask(old);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
    for (std::string t : {td.file("no-xs"), td.file("XXXXX"), td.file("none/t.XXXXXX")}) {
        errno = 0;
        EXPECT_EQ(create_tmp_file(t.data(), 0644), -1) << t;
        EXPECT_EQ(errno, t.find("none") == std::string::npos ? EINVAL : ENOENT) << t;
    }
}

TEST(util, pidfile_invariants_assert)
{
    EXPECT_DEATH(create_pidfile_extra(nullptr, 1, nullptr, 0), "ASSERT at:");
    EXPECT_DEATH(create_pidfile_extra("/tmp/x.pid", 0, nullptr, 0), "ASSERT at:");
}

TEST(util, mensure_checks_the_pidfile_inode)
{
    TempDir td;
    const std::string path = td.file("m.pid");
    ino_t ino = 0;
    time_t last = time(nullptr);
    EXPECT_EQ(mensure(path.c_str(), &ino, &last), 0);  // too soon: nothing done
    EXPECT_FALSE(file_exists(path));

    last = 0;
    ASSERT_EQ(mensure(path.c_str(), &ino, &last), 0);
    EXPECT_GE(last + 1, time(nullptr));
    EXPECT_EQ(read_file(path), std::to_string(getpid()));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(ino, st.st_ino);
    last = 0;
    EXPECT_EQ(mensure(path.c_str(), &ino, &last), 0);

    // Another file under the name: keep the old one linked so the inode
    // cannot be reused.
    ASSERT_EQ(rename(path.c_str(), td.file("old").c_str()), 0);
    write_file(path, "1");
    struct stat st2;
    ASSERT_EQ(stat(path.c_str(), &st2), 0);
    LogCapture cap;
    last = 0;
    EXPECT_EQ(mensure(path.c_str(), &ino, &last), -1);
    EXPECT_EQ(cap.text(), "(ERR)  instance verification failed: " + std::to_string(st.st_ino) +
                              "/" + std::to_string(st2.st_ino) + "\n");
    cap.clear();
    unlink(path.c_str());
    last = 0;
    EXPECT_EQ(mensure(path.c_str(), &ino, &last), ENOENT);
    EXPECT_EQ(cap.text(), "(ERR)  instance check ERROR(2): No such file or directory\n");
}

TEST(util, mk_pidfile_name_forms)
{
    TempDir td;
    const std::string d = td.path();
    struct Case {
        const char *strid;
        long numid;
        std::string want;
    };
    const Case cases[] = {
        {"main", -1, d + "/tvl-main.pid"},
        {"main", 7, d + "/tvl-main7.pid"},
        {nullptr, 7, d + "/tvl-7.pid"},
        {"", 0, d + "/tvl-0.pid"},
    };
    for (const Case &c : cases) {
        char buf[256];
        const char *got = mk_pidfile_name(d.c_str(), "tvl", c.strid, c.numid, buf, sizeof(buf));
        ASSERT_EQ(got, buf);
        EXPECT_EQ(std::string(got), c.want);
    }
    LogCapture cap;
    const std::string want = d + "/tvl-main.pid";
    std::string buf(want.size() + 1, 'x');
    EXPECT_NE(mk_pidfile_name(d.c_str(), "tvl", "main", -1, buf.data(), want.size() + 1),
              nullptr);
    EXPECT_EQ(mk_pidfile_name(d.c_str(), "tvl", "main", -1, buf.data(), want.size()), nullptr);
    EXPECT_EQ(cap.text(), "(ERR)  mk_pidfile_name: " + std::to_string(want.size() + 1) +
                              " bytes needed for filename, only " + std::to_string(want.size()) +
                              " available.\n");
    cap.clear();
    EXPECT_EQ(mk_pidfile_name("/no/such/dir", "tvl", "x", -1, buf.data(), buf.size()), nullptr);
    EXPECT_EQ(cap.text(),
              "(ERR)  mk_pidfile_name: directory [/no/such/dir] is not writable: ERROR(2): No "
              "such file or directory\n");
}

// --- user and directory -------------------------------------------------------------

namespace {

// A non-root account whose home directory exists and may be entered by
// anyone; false when there is none.
bool find_plain_user(passwd *out, std::string *home)
{
    setpwent();
    bool found = false;
    while (const passwd *pw = getpwent()) {
        struct stat st;
        if (pw->pw_uid == 0 || strcmp(pw->pw_dir, "/") == 0) continue;
        if (stat(pw->pw_dir, &st) != 0 || !S_ISDIR(st.st_mode) || !(st.st_mode & S_IXOTH))
            continue;
        *out = *pw;
        *home = pw->pw_dir;
        found = true;
        break;
    }
    endpwent();
    return found;
}

}  // namespace

TEST(util, goto_runtime_dir_falls_back_home_on_eacces)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    passwd pw;
    std::string home;
    if (!find_plain_user(&pw, &home)) GTEST_SKIP() << "no user with an enterable home";
    char real_home[PATH_MAX];
    ASSERT_NE(realpath(home.c_str(), real_home), nullptr);
    TempDir td;  // mode 0700, owned by root
    int rc = in_child([&] {
        if (run_as_user_id(pw.pw_uid, pw.pw_gid) != 0) return 10;
        if (chdir(td.path().c_str()) == 0 || errno != EACCES) return 11;
        if (goto_runtime_dir(td.path().c_str()) != 0) return 12;
        char cwd[PATH_MAX];
        if (!getcwd(cwd, sizeof(cwd)) || strcmp(cwd, real_home) != 0) return 13;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(util, goto_runtime_dir_other_failures)
{
    LogCapture cap;
    EXPECT_EQ(goto_runtime_dir("/no/such/dir"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(cap.text(), "(ERR)  chdir(/no/such/dir) ERROR(2): No such file or directory\n");
    TempDir td;
    int rc = in_child([&] {
        if (goto_runtime_dir(td.path().c_str()) != 0) return 10;
        char cwd[PATH_MAX], want[PATH_MAX];
        if (!getcwd(cwd, sizeof(cwd)) || !realpath(td.path().c_str(), want)) return 11;
        if (strcmp(cwd, want) != 0) return 12;
        // No saved directory: home.
        if (goto_runtime_dir(nullptr) != 0) return 13;
        const passwd *pw = getpwuid(geteuid());
        if (!pw || !getcwd(cwd, sizeof(cwd)) || !realpath(pw->pw_dir, want)) return 14;
        return strcmp(cwd, want) == 0 ? 0 : 15;
    });
    EXPECT_EQ(rc, 0);
}

TEST(util, run_as_user_unknown)
{
    LogCapture cap;
    EXPECT_EQ(run_as_user("no-such-user-tvl"), -1);
    EXPECT_EQ(cap.text(), "(ERR)  run_as_user: getpwnam: user no-such-user-tvl not found\n");
}

// Root's supplementary groups do not stay with the daemon's user.
TEST(util, run_as_user_drops_supplementary_groups)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    const passwd *pw = getpwnam("nobody");
    if (!pw) GTEST_SKIP() << "no user nobody";
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    int rc = in_child([&] {
        const gid_t root_groups[] = {0, 4, 27};
        if (setgroups(3, root_groups) != 0) return 10;
        if (run_as_user("nobody") != 0) return 11;
        if (getuid() != uid || getgid() != gid) return 12;
        gid_t now[64];
        int n = getgroups(64, now);
        if (n < 0) return 13;
        for (int i = 0; i < n; ++i)
            if (now[i] != gid) return 14;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// --- limits, CPU, priority -----------------------------------------------------------------

TEST(util, set_unlimited_core)
{
    if (geteuid() != 0) GTEST_SKIP() << "raising the hard core limit needs root";
    int rc = in_child([] {
        const struct rlimit none = {0, RLIM_INFINITY};
        if (setrlimit(RLIMIT_CORE, &none) != 0) return 10;
        if (prctl(PR_SET_DUMPABLE, 0) != 0) return 11;
        LevelScope lvl(DEBUG_level);
        LogCapture cap;
        struct rlimit old = {7, 7};
        if (set_unlimited_core(&old) != 0) return 12;
        if (old.rlim_cur != 0 || old.rlim_max != RLIM_INFINITY) return 13;
        struct rlimit now;
        if (getrlimit(RLIMIT_CORE, &now) != 0 || now.rlim_cur != RLIM_INFINITY ||
            now.rlim_max != RLIM_INFINITY)
            return 14;
        if (prctl(PR_GET_DUMPABLE) != 1) return 15;
        if (cap.text() !=
            "(INF)  set_unlimited_core: process is currently NOT core-dumpable; will enforce\n"
            "(DBG)  set_unlimited_core: current=0/-1\n"
            "(DBG)  set_unlimited_core: OK\n")
            return 16;
        cap.clear();
        if (set_unlimited_core(nullptr) != 0) return 17;
        if (cap.text() != "(DBG)  set_unlimited_core: already set\n") return 18;
        // A user without the right to raise the hard limit.
        const struct rlimit low = {0, 0};
        if (setrlimit(RLIMIT_CORE, &low) != 0 || run_as_user_id(65534, 65534) != 0) return 19;
        cap.clear();
        if (set_unlimited_core(nullptr) == 0) return 20;
        if (cap.text().find("(ERR)  set_unlimited_core: setrlimit ERROR(1): ") ==
            std::string::npos)
            return 21;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(util, pin2cpu)
{
    EXPECT_EQ(pin2cpu(-1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(pin2cpu(1024), -1);
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    if (!CPU_ISSET(0, &allowed)) GTEST_SKIP() << "CPU 0 is not available here";
    int rc = in_child([] {
        if (pin2cpu(0) != 0) return 10;
        cpu_set_t now;
        if (sched_getaffinity(0, sizeof(now), &now) != 0) return 11;
        return (CPU_COUNT(&now) == 1 && CPU_ISSET(0, &now)) ? 0 : 12;
    });
    EXPECT_EQ(rc, 0);
}

TEST(util, limits_and_nice)
{
    // The soft value may never pass the hard one.
    struct rlimit files;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_max != RLIM_INFINITY) {
        LogCapture cap;
        EXPECT_EQ(set_limit(RLIMIT_NOFILE, files.rlim_max + 1, "files"), -1);
        EXPECT_EQ(cap.text(), "(ERR)  set_limit: setrlimit(" + std::to_string(RLIMIT_NOFILE) +
                                  ", " + std::to_string(files.rlim_max + 1) +
                                  ") ERROR(22): Invalid argument\n");
    }
    int rc = in_child([] {
        errno = 0;
        int before = getpriority(PRIO_PROCESS, 0);
        if (before >= 19) return 0;
        if (set_nice(1) != 0 || getpriority(PRIO_PROCESS, 0) != before + 1) return 10;
        LevelScope lvl(INFO_level);
        LogCapture cap;
        struct rlimit as;
        const rlim_t big = rlim_t(1) << 46, bigger = rlim_t(1) << 47;
        if (set_vmem_limit(bigger) != 0) return 11;
        if (getrlimit(RLIMIT_AS, &as) != 0 || as.rlim_cur != bigger) return 12;
        if (set_mem_limits(0, big) != 0) return 13;  // vmem alone
        if (getrlimit(RLIMIT_AS, &as) != 0 || as.rlim_cur != big) return 14;
        if (set_mem_limits(bigger, big) != 0) return 15;  // rss wins
        if (getrlimit(RLIMIT_AS, &as) != 0 || as.rlim_cur != bigger) return 16;
        if (set_mem_limits(0, 0) != 0) return 17;
        const std::string res = std::to_string(RLIMIT_AS);
        if (cap.text() != "(INF)  set_limit(vmem/" + res + "): " + std::to_string(bigger) +
                              " bytes\n(INF)  set_limit(vmem/" + res + "): " +
                              std::to_string(big) + " bytes\n(INF)  set_limit(rss/" + res +
                              "): " + std::to_string(bigger) + " bytes\n")
            return 18;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

// --- output redirection ----------------------------------------------------------------

TEST(util, redirect_output_missing_path_touches_nothing)
{
    struct stat out_before, err_before, out_after, err_after;
    ASSERT_EQ(fstat(1, &out_before), 0);
    ASSERT_EQ(fstat(2, &err_before), 0);
    LogCapture cap;
    EXPECT_EQ(redirect_output("/no/such/file"), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(fstat(1, &out_after), 0);
    ASSERT_EQ(fstat(2, &err_after), 0);
    EXPECT_EQ(out_before.st_ino, out_after.st_ino);
    EXPECT_EQ(out_before.st_dev, out_after.st_dev);
    EXPECT_EQ(err_before.st_ino, err_after.st_ino);
    EXPECT_EQ(err_before.st_dev, err_after.st_dev);
}

TEST(util, redirect_output_sends_1_and_2_to_the_file)
{
    TempDir td;
    const std::string path = td.file("out.txt");
    write_file(path, "");
    int rc = in_child([&] {
        if (redirect_output(path.c_str()) != 0) return 10;
        if (write(1, "one ", 4) != 4 || write(2, "two", 3) != 3) return 11;
        // Nothing but 0-2 refers to the file: the opened descriptor is gone.
        for (int fd = 3; fd < 64; ++fd)
            if (fd_target(fd) == path) return 12;
        return 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(path), "one two");
}

// --- signals ------------------------------------------------------------------------------

namespace {

// Restores the dispositions of a few signals at the end of a scope.
class SigSave {
public:
    SigSave()
    {
        for (size_t i = 0; i < sigs_.size(); ++i) sigaction(sigs_[i], nullptr, &saved_[i]);
    }
    ~SigSave()
    {
        for (size_t i = 0; i < sigs_.size(); ++i) sigaction(sigs_[i], &saved_[i], nullptr);
        g_quit = 0;
        g_goodbye = 0;
        g_hup = 0;
        g_usr1 = 0;
        g_sigctx = 0;
    }
    SigSave(const SigSave &) = delete;
    SigSave &operator=(const SigSave &) = delete;

private:
    std::array<int, 6> sigs_{SIGTERM, SIGQUIT, SIGINT, SIGHUP, SIGUSR1, SIGPIPE};
    std::array<struct sigaction, 6> saved_{};
};

}  // namespace

TEST(util, quit_signals_set_the_flags)
{
    SigSave save;
    ASSERT_EQ(handle_quit_signals(on_sigquit), 0);
    struct Case {
        int sig;
        int goodbye;
    };
    for (Case c : {Case{SIGQUIT, 0}, Case{SIGTERM, 1}, Case{SIGINT, 1}}) {
        SCOPED_TRACE(c.sig);
        struct sigaction sa;
        ASSERT_EQ(sigaction(c.sig, nullptr, &sa), 0);
        EXPECT_EQ(sa.sa_handler, on_sigquit);
        EXPECT_EQ(sa.sa_flags & SA_RESTART, 0);  // blocking calls end with EINTR
        g_quit = 0;
        g_goodbye = 0;
        LogCapture cap;
        errno = EDOM;
        ASSERT_EQ(raise(c.sig), 0);
        EXPECT_EQ(errno, EDOM);
        EXPECT_EQ(g_quit, 1);
        EXPECT_EQ(g_goodbye, c.goodbye);
        EXPECT_EQ(g_sigctx, 0);
        EXPECT_EQ(cap.text(), "");  // the handler writes nothing itself
        log_caught_signals();
        EXPECT_EQ(cap.text(), "(NRM)  QUIT-SIG(" + std::to_string(c.sig) + ")\n");
    }
}

// A client that closes its connection before the answer is written must
// not end the process.
TEST(util, quit_signal_set_up_ignores_sigpipe)
{
    int rc = in_child([] {
        if (handle_quit_signals(on_sigquit) != 0) return 10;
        int s[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, s) != 0) return 11;
        close(s[1]);
        if (write(s[0], "answer", 6) != -1 || errno != EPIPE) return 12;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}

TEST(util, hup_and_usr1_handlers)
{
    SigSave save;
    ASSERT_EQ(handle_sig(SIGHUP, on_sighup), 0);
    ASSERT_EQ(handle_sig(SIGUSR1, on_sigusr1), 0);
    LogCapture cap;
    errno = ERANGE;
    ASSERT_EQ(raise(SIGHUP), 0);
    ASSERT_EQ(raise(SIGUSR1), 0);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(g_hup, 1);
    EXPECT_EQ(g_usr1, 1);
    EXPECT_EQ(g_quit, 0);
    EXPECT_EQ(g_sigctx, 0);
    EXPECT_EQ(cap.text(), "");
    log_caught_signals();
    EXPECT_EQ(cap.text(), "(NRM)  SIGHUP(" + std::to_string(SIGHUP) + ") \n(NRM)  SIGUSR1(" +
                              std::to_string(SIGUSR1) + ") \n");
    cap.clear();
    EXPECT_EQ(handle_sig(SIGKILL, on_sighup), -1);
    EXPECT_EQ(cap.text(), "(ERR)  handle_sig: sigaction (signo=9) ERROR(22): Invalid argument\n");
}

// A handler that logged would take the time-zone lock that localtime_r
// and mktime hold in the main flow: a storm of signals against them must
// end, with the handlers' lines written later from normal flow.
TEST(util, signal_storm_against_time_conversion_ends)
{
    int rc = in_child([] {
        if (handle_quit_signals(on_sigquit) != 0 || handle_sig(SIGHUP, on_sighup) != 0 ||
            handle_sig(SIGUSR1, on_sigusr1) != 0)
            return 10;
        LogCapture cap(true);
        std::atomic<bool> done{false};
        const pthread_t target = pthread_self();
        std::thread storm([&] {
            while (!done) {
                pthread_kill(target, SIGHUP);
                pthread_kill(target, SIGUSR1);
            }
        });
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        for (time_t t = time(nullptr); std::chrono::steady_clock::now() < end; ++t) {
            struct tm bt;
            localtime_r(&t, &bt);
            mktime(&bt);
        }
        done = true;
        storm.join();
        if (!cap.text().empty()) return 11;  // nothing was written from a handler
        raise(SIGTERM);
        log_caught_signals();
        const std::string text = cap.text();
        for (const std::string &line :
             {"(NRM)  SIGHUP(" + std::to_string(SIGHUP) + ") \n",
              "(NRM)  SIGUSR1(" + std::to_string(SIGUSR1) + ") \n",
              "(NRM)  QUIT-SIG(" + std::to_string(SIGTERM) + ")\n"})
            if (text.find(line) == std::string::npos) return 12;
        log_caught_signals();
        return cap.text() == text ? 0 : 13;  // each arrival is written once
    });
    EXPECT_EQ(rc, 0);
}

TEST(util, ignore_sigpipe_survives_a_gone_reader)
{
    int rc = in_child([] {
        if (ignore_sigpipe() != 0) return 10;
        int p[2];
        if (pipe(p) != 0) return 11;
        close(p[0]);
        if (write(p[1], "x", 1) != -1 || errno != EPIPE) return 12;
        return 0;
    });
    EXPECT_EQ(rc, 0);  // a SIGPIPE death would give -1
}

// A daemon's files are created with their own modes whatever the umask
// (daemonize sets 0), and none of its descriptors reaches a child that a
// pipe log starts.
TEST(util, daemon_files_are_not_world_writable_and_not_inherited)
{
    TempDir dir;
    int rc = in_child([&] {
        umask(0);
        const std::string log_path = dir.file("tavel.log");
        const std::string pid_path = dir.file("tavel.pid");
        if (log_open(&g_log, log_path.c_str()) != 0) return 10;
        if (create_pidfile_extra(pid_path.c_str(), getpid(), nullptr, CPFX_HUSH) != 0) return 11;
        for (const std::string &path : {log_path, pid_path}) {
            struct stat st;
            if (stat(path.c_str(), &st) != 0 || (st.st_mode & 07777) != 0644) return 12;
        }
        // The instance lock's file is the daemon user's alone.
        const std::string lock_path = pid_path + ".lock";
        struct stat lst;
        if (stat(lock_path.c_str(), &lst) != 0 || (lst.st_mode & 07777) != 0600) return 20;
        std::vector<int> own{fileno(log_fp(&g_log))};
        for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            const auto target = std::filesystem::read_symlink(e.path(), ec);
            if (target == pid_path || target == lock_path)
                own.push_back(atoi(e.path().filename().c_str()));
        }
        const int lsn = open_anyaddr_listener(AF_INET, "0", 0);
        sockaddr_storage any{};
        any.ss_family = AF_INET;
        const int udp = open_udp_listener(&any, nullptr);
        if (lsn < 0 || udp < 0) return 13;
        sockaddr_in self{};
        socklen_t len = sizeof(self);
        getsockname(lsn, reinterpret_cast<sockaddr *>(&self), &len);
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int cli = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(cli, reinterpret_cast<sockaddr *>(&self), len) != 0) return 14;
        pollfd p{lsn, POLLIN, 0};
        if (poll(&p, 1, WAIT_MS) != 1) return 15;
        const int acc = W_accept("test", lsn, nullptr, nullptr);
        if (acc < 0) return 16;
        own.insert(own.end(), {lsn, udp, acc});
        if (own.size() != 6) return 17;

        std::string cmd;
        for (int fd : own)
            cmd += "[ -e /proc/$$/fd/" + std::to_string(fd) + " ] && echo " + std::to_string(fd) + ";";
        FILE *child = popen(cmd.c_str(), "r");
        if (!child) return 18;
        char seen[256] = "";
        size_t n = fread(seen, 1, sizeof(seen) - 1, child);
        pclose(child);
        log_close(&g_log);
        return n == 0 ? 0 : 19;  // the child saw none of them
    });
    EXPECT_EQ(rc, 0);
}

TEST(util, reset_getopt_state_rescans)
{
    const option longopts[] = {{"alpha", no_argument, nullptr, 'a'},
                               {"beta", required_argument, nullptr, 'b'},
                               {nullptr, 0, nullptr, 0}};
    char a0[] = "prog", a1[] = "-a", a2[] = "--beta", a3[] = "x";
    char *argv[] = {a0, a1, a2, a3, nullptr};
    auto scan = [&] {
        std::string seen;
        int opt;
        while ((opt = getopt_long(4, argv, "ab:", longopts, nullptr)) != -1) {
            seen += char(opt);
            if (optarg) seen += optarg;
        }
        return seen;
    };
    reset_getopt_state();
    EXPECT_EQ(scan(), "abx");
    EXPECT_EQ(scan(), "");  // exhausted without a reset
    reset_getopt_state();
    EXPECT_EQ(scan(), "abx");
}

// --- file and text functions ----------------------------------------------------------------

TEST(util, text_helpers)
{
    for (auto [path, base] : {std::pair{"a/b/c.ts", "c.ts"}, {"c", "c"}, {"/x", "x"},
                              {"dir/", ""}, {"", ""}})
        EXPECT_STREQ(get_base(path), base) << path;

    for (auto [text, last] : {std::pair{"abc/", '/'}, {"x", 'x'}, {"", '\0'}})
        EXPECT_EQ(lastchar(text), last) << text;

    struct CpyCase {
        const char *text, *delims;
        size_t size;
        const char *want;
    };
    for (const CpyCase &c : {CpyCase{"key=value", "=", 64, "key"},
                             {"abc", ",;", 64, "abc"},
                             {"a;b,c", ",;", 64, "a"},
                             {"abcdef", "=", 4, "abc"},
                             {"abc=d", "=", 4, "abc"},
                             {"=x", "=", 8, ""},
                             {"abc", "=", 1, ""}}) {
        char buf[64];
        memset(buf, 'z', sizeof(buf));
        EXPECT_EQ(cpy_till(c.text, c.delims, buf, c.size), buf);
        EXPECT_STREQ(buf, c.want) << c.text << " size " << c.size;
    }

    const char *const kinds[] = {"udp", "rtp", "http", nullptr};
    for (auto [name, idx] : {std::pair{"udp", 0}, {"RTP", 1}, {"Http", 2}, {"tcp", -1},
                             {"ud", -1}, {"udpx", -1}})
        EXPECT_EQ(tag_index(name, kinds), idx) << name;

    for (auto [mode, text] : {std::pair{mode_t(S_IFREG | 0644), "FILE"}, {S_IFIFO, "FIFO"},
                              {S_IFCHR, "CHR"}, {S_IFDIR | 0755, "DIR"}, {S_IFBLK, "BLK"},
                              {S_IFLNK, "LINK"}, {S_IFSOCK, "SOCK"}, {mode_t(0), "{???}"}})
        EXPECT_STREQ(fmode_str(mode), text);
}

TEST(util, replace_dir_limits)
{
    struct Case {
        const char *path, *dir;
        size_t size;
        const char *want;  // null: refused
    };
    for (const Case &c : {Case{"a/b/f.txt", "/new", 64, "/new/f.txt"},
                          {"f.txt", "/new", 64, "/new/f.txt"},
                          {"a/f", "", 64, "f"},
                          {"a/f", nullptr, 64, "f"},
                          {"x/abc", "/d", 7, "/d/abc"},
                          {"x/abc", "/d", 6, nullptr},
                          {"abc", "", 3, nullptr}}) {
        char buf[64];
        LogCapture cap;
        const char *got = replace_dir(c.path, c.dir, buf, c.size);
        if (c.want) {
            ASSERT_EQ(got, buf);
            EXPECT_STREQ(got, c.want);
            EXPECT_EQ(cap.text(), "");
        } else {
            EXPECT_EQ(got, nullptr);
            size_t need = (c.dir && *c.dir ? strlen(c.dir) + 1 : 0) + strlen(get_base(c.path)) + 1;
            EXPECT_EQ(cap.text(), "(ERR)  replace_dir: " + std::to_string(need) +
                                      " characters required, " + std::to_string(c.size) +
                                      " afforded\n");
        }
    }
}

TEST(util, tag_validity)
{
    for (auto [text, ok] : {std::pair{"URQ", true}, {"abc", true}, {"AB1", false},
                            {"AB", false}, {"ABCD", false}, {"1BC", false}, {"A C", false}}) {
        char raw[5] = {};
        memcpy(raw, text, strlen(text));
        EXPECT_EQ(is_valid_tag32(tag32(raw)), ok) << text;
    }
    struct Case {
        const char raw[9];
        bool ok;
    };
    const Case cases[] = {
        {"T0042\0\0", true},  {"AB\0\0\0\0\0", true}, {"ABCDEFG", true},  {"A1B2C3D", true},
        {"A\0\0\0\0\0\0", false}, {"1ABC\0\0\0", false}, {"AB-C\0\0\0", false},
        {"\0\0\0\0\0\0\0", false}, {"_AB\0\0\0\0", false},
    };
    for (const Case &c : cases) EXPECT_EQ(is_valid_tag64(tag64(c.raw)), c.ok) << c.raw;
    // Eight characters leave no room for the NUL.
    n64_tag full;
    memcpy(full.sym8, "ABCDEFGH", 8);
    EXPECT_FALSE(is_valid_tag64(full));
}

TEST(util, mk_fpath_dirs)
{
    TempDir td;
    EXPECT_EQ(mk_fpath_dirs(td.file("a/b/c/file.log").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(td.file("a/b/c").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(file_exists(td.file("a/b/c/file.log")));
    EXPECT_EQ(mk_fpath_dirs(td.file("a/b/c/file.log").c_str()), 0);  // all there already
    EXPECT_EQ(mk_fpath_dirs(td.file("a//d/f").c_str()), 0);
    EXPECT_EQ(mk_fpath_dirs("plain-name"), 0);
    EXPECT_EQ(mk_fpath_dirs("/top-level-file"), 0);

    write_file(td.file("plain"), "x");
    LogCapture cap;
    EXPECT_EQ(mk_fpath_dirs(td.file("plain/sub/f").c_str()), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(cap.text(), "(ERR)  mk_fpath_dirs: mkdir(" + td.file("plain") +
                              ") ERROR(20): Not a directory\n");
}

TEST(util, fopen_any_searches_in_order)
{
    TempDir td;
    mkdir(td.file("d1").c_str(), 0755);
    mkdir(td.file("d2").c_str(), 0755);
    write_file(td.file("d2/tvl.cfg"), "cfg");
    const std::string d1 = td.file("d1"), d2 = td.file("d2/");
    const char *dirs[] = {d1.c_str(), d2.c_str(), nullptr, td.path().c_str()};
    char path[PATH_MAX];

    FILE *fp = fopen_any("tvl.cfg", "r", 4, dirs, path, sizeof(path));
    ASSERT_NE(fp, nullptr);
    fclose(fp);
    EXPECT_EQ(std::string(path), td.file("d2/tvl.cfg"));  // no doubled slash

    EXPECT_EQ(fopen_any("tvl.cfg", "r", 1, dirs, path, sizeof(path)), nullptr);
    EXPECT_STREQ(path, "");
    // The search stops at a null entry.
    write_file(td.file("only-top"), "x");
    EXPECT_EQ(fopen_any("only-top", "r", 4, dirs, path, sizeof(path)), nullptr);
    EXPECT_STREQ(path, "");

    // A name that does not fit whole is never tried cut short.
    size_t fits = d1.size() + 1 + strlen("tvl.cfg");
    errno = 0;
    EXPECT_EQ(fopen_any("tvl.cfg", "r", 4, dirs, path, fits), nullptr);
    EXPECT_EQ(errno, E2BIG);
}

TEST(util, pick_first_file)
{
    TempDir td;
    write_file(td.file("b"), "");
    write_file(td.file("c"), "");
    const std::string a = td.file("a"), b = td.file("b"), c = td.file("c");
    const char *paths[] = {a.c_str(), nullptr, b.c_str(), c.c_str()};
    EXPECT_EQ(pick_first_file(paths, 4), paths[2]);
    EXPECT_EQ(pick_first_file(paths, 2), nullptr);
}

TEST(util, read_file_buf)
{
    TempDir td;
    const std::string path = td.file("data");
    write_file(path, "0123456789");
    char buf[16];
    EXPECT_EQ(read_file_buf(path.c_str(), buf, 10), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    LogCapture cap;
    EXPECT_EQ(read_file_buf(path.c_str(), buf, 9), -7);
    EXPECT_EQ(cap.text(),
              "(ERR)  read_file_buf: file size (10 bytes) is too big for buffer (9 bytes)\n");
    EXPECT_EQ(read_file_buf(td.file("none").c_str(), buf, sizeof(buf)), -1);
    write_file(path, "");
    EXPECT_EQ(read_file_buf(path.c_str(), buf, sizeof(buf)), 0);

    // Sysfs files claim a page but hold a few bytes.
    const char *sys = "/sys/devices/system/cpu/online";
    struct stat st;
    if (stat(sys, &st) != 0 || st.st_size != 4096) GTEST_SKIP() << "no sysfs file to under-read";
    std::string big(8192, '\0');
    cap.clear();
    EXPECT_EQ(read_file_buf(sys, big.data(), big.size()), -1);
    EXPECT_NE(cap.text().find(std::string("read_file_buf: [") + sys + "] under-read: "),
              std::string::npos);
    EXPECT_NE(cap.text().find("/4096\n"), std::string::npos);
}

TEST(util, touch_write_file)
{
    TempDir td;
    const std::string path = td.file("t");
    write_file(path, "0123456789");
    const struct timespec old[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    EXPECT_EQ(touch_write_file(path.c_str()), 0);
    EXPECT_EQ(read_file(path), "0123456789");
    EXPECT_GT(get_file_mtime(path.c_str(), false), 1000);

    write_file(path, "1234567");
    EXPECT_EQ(touch_write_file(path.c_str()), -7);
    LogCapture cap;
    EXPECT_EQ(touch_write_file(td.file("none").c_str()), ENOENT);
}

TEST(util, file_times)
{
    TempDir td;
    const std::string path = td.file("f");
    write_file(path, "x");
    const struct timespec t[2] = {{2000, 0}, {2000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);
    EXPECT_EQ(get_file_mtime(path.c_str(), false), 2000);
    time_t seen = 1500;
    EXPECT_TRUE(chk_file_updated(path.c_str(), &seen));
    EXPECT_EQ(seen, 2000);
    EXPECT_FALSE(chk_file_updated(path.c_str(), &seen));

    const std::string gone = td.file("gone");
    LogCapture cap;
    EXPECT_EQ(get_file_mtime(gone.c_str(), true), -1);
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(get_file_mtime(gone.c_str(), false), -1);
    EXPECT_EQ(cap.text(), "(ERR)  get_file_mtime: FAILED to retrieve mtime for [" + gone +
                              "]: No such file or directory\n");
    EXPECT_FALSE(chk_file_updated(gone.c_str(), &seen));
    EXPECT_EQ(seen, -1);
}

TEST(util, get_stat_mode)
{
    Pipe p;
    mode_t mode = 0;
    get_stat_mode(p.fd[0], &mode);
    EXPECT_TRUE(S_ISFIFO(mode));
    EXPECT_DEATH(get_stat_mode(-1, &mode), "get_stat_mode: FAILED to retrieve mode for fd=-1");
}

TEST(util, close_pipe)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(close_pipe(fds), 0);
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
    const int none[2] = {-1, -1};
    EXPECT_EQ(close_pipe(none), 0);
    LogCapture cap;  // the wrapper's line
    EXPECT_NE(close_pipe(fds), 0);
}

namespace {

// A UDP socket bound to a loopback address on a port the kernel picks;
// the port, or -1 when the family is unavailable.
int udp_loopback(int family, int *fd)
{
    *fd = socket(family, SOCK_DGRAM, 0);
    if (*fd < 0) return -1;
    sockaddr_storage ss = {};
    socklen_t len;
    if (family == AF_INET) {
        auto *in = reinterpret_cast<sockaddr_in *>(&ss);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*in);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        len = sizeof(*in6);
    }
    if (bind(*fd, reinterpret_cast<sockaddr *>(&ss), len) != 0 ||
        getsockname(*fd, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return -1;
    return ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in *>(&ss)->sin_port
                                   : reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_port);
}

}  // namespace

TEST(util, file_to_dest_sends_one_datagram)
{
    TempDir td;
    const std::string path = td.file("msg");
    const std::string body(FILE_TO_DEST_MAX, 'm');
    write_file(path, body);
    for (auto [family, addr] : {std::pair{AF_INET, "127.0.0.1"}, {AF_INET6, "::1"}}) {
        SCOPED_TRACE(addr);
        int fd = -1;
        int port = udp_loopback(family, &fd);
        if (port < 0) {
            if (fd >= 0) close(fd);
            continue;  // no IPv6 here
        }
        EXPECT_EQ(file_to_dest(addr, port, path.c_str()), 0);
        struct pollfd pfd = {fd, POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, WAIT_MS), 1);
        char buf[2048];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        EXPECT_EQ(std::string(buf, size_t(std::max<ssize_t>(n, 0))), body);
        close(fd);
    }
    LogCapture cap;
    write_file(td.file("big"), std::string(FILE_TO_DEST_MAX + 1, 'b'));
    EXPECT_EQ(file_to_dest("127.0.0.1", 9, td.file("big").c_str()), -1);
    EXPECT_EQ(file_to_dest("localhost", 9, path.c_str()), -1);  // numeric only
    EXPECT_EQ(file_to_dest("127.0.0.1", 70000, path.c_str()), -1);
    EXPECT_EQ(file_to_dest("127.0.0.1", 9, td.file("none").c_str()), -1);
}

TEST(util, setup_xtr_zstat_locks_once)
{
    const unsigned num = unsigned(getpid());
    char name[64];
    int fd = setup_xtr_zstat("tvltest", num, name, sizeof(name));
    ASSERT_GE(fd, 0);
    struct Unlink {
        const char *n;
        ~Unlink() { shm_unlink(n); }
    } cleanup{name};
    EXPECT_EQ(std::string(name), "/tvltest" + std::to_string(num) + ".lfxlock");
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Another process finds the lock held and gives up without a word.
    TempDir td;
    const std::string logpath = td.file("child.log");
    int rc = in_child([&] {
        if (log_open(&g_log, logpath.c_str()) != 0) return 10;
        log_timefmt(&g_log, f_NO_TIME);
        char other[64];
        return setup_xtr_zstat("tvltest", num, other, sizeof(other)) == -1 ? 0 : 11;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(logpath), "");
    close(fd);

    LogCapture cap;
    char tiny[8];
    EXPECT_EQ(setup_xtr_zstat("tvltest", 12345, tiny, sizeof(tiny)), -1);
    EXPECT_EQ(cap.text(),
              "(ERR)  setup_xtr_zstat: bad shm path (too long?) - [/tvltes], 21 bytes\n");
}
