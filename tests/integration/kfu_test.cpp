// The flag tool driven as a program against a store made the way the daemon
// makes its own: setup_iflag_storage("tvl", 128) in this process.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "iflag.h"
#include "libmeta.h"
#include "meta.h"
#include "support.h"
#include "tavel_harness.h"

extern char **environ;

namespace {

constexpr int RUN_LIMIT_MS = 20000;

struct KfuRun {
    int code = -1;  // exit status, or -1 when it did not exit normally
    std::string out, err;
    long ms = 0;
};

std::string kfu_path()
{
    const char *dir = getenv("TAVEL_BUILD_DIR");
    return dir ? std::string(dir) + "/util/kfu" : std::string();
}

// Runs kfu with args (and extra environment entries), collecting its
// output until it exits or the time limit passes.
KfuRun run_kfu(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    KfuRun r;
    const std::string prog = kfu_path();
    std::vector<char *> argv{const_cast<char *>(prog.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envs;
    for (char **e = environ; *e; ++e)
        if (strncmp(*e, "SYSW_DEBUG=", 11) != 0) envs.emplace_back(*e);
    for (const auto &e : env) envs.push_back(e);
    std::vector<char *> envp;
    for (auto &e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    pid_t pid;
    auto t0 = std::chrono::steady_clock::now();
    int rc = posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(out[0]);
        close(err[0]);
        return r;
    }
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *dst[2] = {&r.out, &r.err};
    int open_fds = 2;
    auto deadline = t0 + std::chrono::milliseconds(RUN_LIMIT_MS);
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || poll(fds, 2, int(left)) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                dst[i]->append(buf, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - t0)
                    .count());
    if (WIFEXITED(status)) r.code = WEXITSTATUS(status);
    return r;
}

bool has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

std::string build_info()
{
    FILE *fp = tmpfile();
    dump_build_info(fp);
    std::string s(size_t(ftell(fp)), '\0');
    rewind(fp);
    size_t n = fread(s.data(), 1, s.size(), fp);
    s.resize(n);
    fclose(fp);
    return s;
}

std::string usage_text()
{
    return std::string(get_app_info("kfu", nullptr)) + "\nUsage: " + kfu_path() +
           " [-d] path key [value]\n" + build_info();
}

std::string pid_prefix() { return "tvl." + std::to_string(getpid()) + "."; }

// The objects in /dev/shm whose names start with this process's prefix.
std::vector<std::string> own_prefixed()
{
    std::vector<std::string> names;
    if (DIR *d = opendir("/dev/shm")) {
        const std::string pfx = pid_prefix();
        while (dirent *e = readdir(d))
            if (strncmp(e->d_name, pfx.c_str(), pfx.size()) == 0) names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

}  // namespace

// Each test runs against a fresh daemon-style store, removed at its end
// together with any other object the test made.
class kfu : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!getenv("TAVEL_BUILD_DIR")) GTEST_SKIP() << "TAVEL_BUILD_DIR is not set";
        struct stat st;
        ASSERT_EQ(stat(kfu_path().c_str(), &st), 0) << kfu_path();
        before = own_prefixed();
        LogCapture cap;
        ASSERT_EQ(setup_iflag_storage("tvl", 128), 0);
        ASSERT_NE(g_iflag_shmf, nullptr);
        // Another user's object may hold "tvl.<pid>.iflag": the store is
        // the one the log line names.
        path = g_iflag_path;
        ASSERT_EQ(tvh::flag_store(cap.text()), "/dev/shm" + path);
    }
    void TearDown() override
    {
        destroy_iflag_storage();
        for (const auto &p : extra) shm_unlink(p.c_str());
        EXPECT_EQ(g_iflag_shmf, nullptr);
        // Nothing the test made is left; what others own stays theirs.
        EXPECT_EQ(own_prefixed(), before);
    }
    // An object for the test, removed at its end.
    std::string other(const char *what)
    {
        extra.push_back("/" + pid_prefix() + what);
        return extra.back();
    }
    const char *stored(const char *key) { return shmf_get(g_iflag_shmf, key); }

    std::string path;
    std::vector<std::string> extra;
    std::vector<std::string> before;  // prefixed objects that were there at the start
};

TEST_F(kfu, reads_sets_and_deletes_a_key)
{
    KfuRun r = run_kfu({path, "TRK_VPS"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "<none>\n");

    r = run_kfu({path, "TRK_VPS", "yes"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "<none>\n");
    EXPECT_TRUE(has(r.err, "set [TRK_VPS] to [yes] at [" + path + "]\n")) << r.err;
    EXPECT_STREQ(stored("TRK_VPS"), "yes");
    EXPECT_TRUE(iflag("TRK_VPS"));

    r = run_kfu({path, "TRK_VPS"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "yes\n");
    EXPECT_EQ(r.err, "");

    r = run_kfu({"-d", path, "TRK_VPS", "ignored"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "yes\n");
    EXPECT_TRUE(has(r.err, "[TRK_VPS] removed from [" + path + "]\n")) << r.err;
    EXPECT_FALSE(has(r.err, "set ["));
    EXPECT_EQ(stored("TRK_VPS"), nullptr);
    EXPECT_EQ(g_iflag_shmf->el.count, 0u);
}

TEST_F(kfu, switches_a_flag_the_daemon_took_from_its_environment)
{
    setenv("TRK_HSHK", "TRUE", 1);
    EXPECT_TRUE(iflag("TRK_HSHK"));
    KfuRun r = run_kfu({path, "TRK_HSHK", "no"});
    unsetenv("TRK_HSHK");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "TRUE\n");
    EXPECT_FALSE(iflag("TRK_HSHK"));

    // Values of 15 characters are the longest stored.
    r = run_kfu({path, "TRK_HSHK", "123456789012345"});
    EXPECT_EQ(r.code, 0);
    EXPECT_STREQ(stored("TRK_HSHK"), "123456789012345");
    r = run_kfu({path, "TRK_HSHK", ""});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "123456789012345\n");
    EXPECT_STREQ(stored("TRK_HSHK"), "");
}

TEST_F(kfu, deleting_an_absent_key_fails_with_2)
{
    KfuRun r = run_kfu({"-d", path, "TRK_RTP1"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "<none>\n");
    EXPECT_TRUE(has(r.err, "Failed to remove [TRK_RTP1] key at [" + path + "]\n")) << r.err;
}

TEST_F(kfu, a_full_store_fails_a_new_key_with_2)
{
    for (int i = 0; i < 124; ++i)
        ASSERT_EQ(shmf_set(g_iflag_shmf, ("K" + std::to_string(i)).c_str(), "1"), 0);
    KfuRun r = run_kfu({path, "ONE_MORE", "1"});
    EXPECT_EQ(r.code, 2);
    EXPECT_TRUE(has(r.err, "Failed to set [ONE_MORE] to [1] at [" + path + "]\n")) << r.err;
    EXPECT_EQ(stored("ONE_MORE"), nullptr);
}

TEST_F(kfu, usage_errors_exit_1_with_the_usage_text)
{
    const std::string usage = usage_text();
    const struct {
        std::vector<std::string> args;
        std::string before;  // what precedes the usage text
    } cases[] = {
        {{}, ""},
        {{"-h"}, ""},
        {{"-?"}, ""},
        {{"-h", path, "K"}, ""},
        {{path}, "Missing a mandatory parameter\n"},
        {{"-d", path}, "Missing a mandatory parameter\n"},
        {{"-L", "info"}, "Missing a mandatory parameter\n"},
    };
    for (const auto &c : cases) {
        std::string what;
        for (const auto &a : c.args) what += a + " ";
        SCOPED_TRACE(what);
        KfuRun r = run_kfu(c.args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.before + usage);
    }
    KfuRun r = run_kfu({"-x", path, "K"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has(r.err, "invalid option -- 'x'\n" + usage)) << r.err;
}

// A key or value that could never be stored is a usage error, not an
// absent key.
TEST_F(kfu, unstorable_keys_and_values_are_refused_up_front)
{
    ASSERT_EQ(shmf_set(g_iflag_shmf, "K", "old"), 0);
    const std::string k16(16, 'k'), v16(16, 'v');
    const struct {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{path, k16}, "Invalid key [" + k16 + "]: 16 characters, must be 1 to 15\n"},
        {{path, k16, "x"}, "Invalid key [" + k16 + "]: 16 characters, must be 1 to 15\n"},
        {{"-d", path, k16}, "Invalid key [" + k16 + "]: 16 characters, must be 1 to 15\n"},
        {{path, ""}, "Invalid key []: 0 characters, must be 1 to 15\n"},
        {{path, "", "x"}, "Invalid key []: 0 characters, must be 1 to 15\n"},
        {{path, "K", v16}, "Invalid value [" + v16 + "]: 16 characters, must be 0 to 15\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        KfuRun r = run_kfu(c.args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.line + usage_text());
    }
    EXPECT_STREQ(stored("K"), "old");
    EXPECT_EQ(g_iflag_shmf->el.count, 1u);

    // With -d the value is ignored, whatever its length.
    KfuRun r = run_kfu({"-d", path, "K", v16});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "old\n");
    EXPECT_EQ(stored("K"), nullptr);
}

TEST_F(kfu, a_store_that_cannot_be_opened_fails_with_2)
{
    const std::string missing = other("none");
    const struct {
        std::string path;
        std::string log;
    } cases[] = {
        {missing, "shmf_open: shm_open(" + missing + ") ERROR(2): No such file or directory\n"},
        {"tvl.1.iflag", "shmf_open: invalid path=tvl.1.iflag\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        KfuRun r = run_kfu({c.path, "TRK_VPS", "1"});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(has(r.err, c.log)) << r.err;
        EXPECT_TRUE(has(r.err, "Failed to open iflag storage at [" + c.path + "]\n")) << r.err;
        EXPECT_LT(r.err.find(c.log), r.err.find("Failed to open"));
    }
}

TEST_F(kfu, a_foreign_or_damaged_object_fails_with_2)
{
    const struct {
        const char *name;
        size_t size;
        off_t at;
        std::string bytes;
        const char *log;
    } cases[] = {
        {"short", 64, -1, "", "is too short for a store (64 < 144 bytes)"},
        {"tag", 0, 0, std::string("NOT", 4), "BAD signature [NOT] at ["},
        {"buflen", 0, 8, std::string("\x00\x00\x01\x00\x00\x00\x00\x00", 8), "buflen differs"},
        {"count", 0, 88, std::string("\xff\x00\x00\x00\x00\x00\x00\x00", 8),
         "count above the slot count"},
        // A well-formed store that another user planted under a name of
        // this (root) process: not its store.
        {"planted", 0, -1, "", "belongs to uid 65534, not to uid 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.at < 0 && !c.size && geteuid() != 0) continue;  // only root gives a store away
        const std::string bad = other(c.name);
        if (c.size) {
            int fd = shm_open(bad.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(ftruncate(fd, off_t(c.size)), 0);
            close(fd);
        } else {
            shmf_t fh = shmf_create(bad.c_str(), 128, 0);
            ASSERT_NE(fh, nullptr);
            ASSERT_EQ(shmf_close(fh), 0);
            int fd = shm_open(bad.c_str(), O_RDWR, 0);
            ASSERT_GE(fd, 0);
            if (c.at < 0)
                ASSERT_EQ(fchown(fd, 65534, 65534), 0);
            else
                ASSERT_EQ(pwrite(fd, c.bytes.data(), c.bytes.size(), c.at),
                          ssize_t(c.bytes.size()));
            close(fd);
        }
        KfuRun r = run_kfu({bad, "TRK_VPS", "1"});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(has(r.err, c.log)) << r.err;
        EXPECT_TRUE(has(r.err, "Failed to open iflag storage at [" + bad + "]\n")) << r.err;
    }
}

// A daemon that switched to another user made its store as that user: run
// as root, the tool takes the store of the running process whose pid the
// name gives as that process's user's.
TEST_F(kfu, root_finds_the_store_of_a_daemon_running_as_another_user)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root switches users";
    int ready[2], go[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    fflush(nullptr);
    const pid_t daemon = fork();
    ASSERT_GE(daemon, 0);
    if (daemon == 0) {
        close(ready[0]);
        close(go[1]);
        g_iflag_shmf = nullptr;  // the parent's, not this process's
        g_iflag_path[0] = '\0';
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
        LogCapture cap;
        if (setup_iflag_storage("tvl", 128) != 0 || !g_iflag_shmf) _exit(2);
        // The name its log gives, as an operator reads it there.
        const std::string said = tvh::flag_store(cap.text()) + "\n";
        if (write(ready[1], said.data(), said.size()) != ssize_t(said.size())) _exit(3);
        char c;
        struct pollfd p{go[0], POLLIN, 0};
        (void)poll(&p, 1, RUN_LIMIT_MS);
        (void)!read(go[0], &c, 1);
        const char *v = shmf_get(g_iflag_shmf, "TRK_VPS");
        const bool set = v && strcmp(v, "yes") == 0;
        destroy_iflag_storage();
        _exit(set ? 0 : 4);
    }
    close(ready[1]);
    close(go[0]);
    struct pollfd p{ready[0], POLLIN, 0};
    char said[256] = {};  // "/dev/shm/tvl...\n", one write
    ASSERT_EQ(poll(&p, 1, RUN_LIMIT_MS), 1);
    ASSERT_GT(read(ready[0], said, sizeof(said) - 1), 8);
    const std::string theirs(said + 8, strcspn(said + 8, "\n"));
    KfuRun r = run_kfu({theirs, "TRK_VPS", "yes"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(has(r.err, "set [TRK_VPS] to [yes] at [" + theirs + "]\n")) << r.err;
    ASSERT_EQ(write(go[1], "g", 1), 1);
    close(go[1]);
    close(ready[0]);
    int status = -1;
    ASSERT_EQ(waitpid(daemon, &status, 0), daemon);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(kfu, log_level_option_and_its_failure)
{
    ASSERT_EQ(shmf_set(g_iflag_shmf, "K", "v"), 0);
    // An invalid level is a usage error: nothing is read, set or deleted.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-L", "bogus", path, "K"}, {"-L", "bogus", path, "K", "w"},
          {"-d", "-L", "bogus", path, "K"}, {"-L", "debug", "-L", "bogus", path, "K", "w"}}) {
        KfuRun r = run_kfu(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Invalid log level: bogus\n" + usage_text());
        EXPECT_STREQ(stored("K"), "v");
    }

    // A later valid level clears it.
    KfuRun r = run_kfu({"-L", "bogus", "-L", "debug", path, "K", "w"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(has(r.err, "shmf_open: [" + path + "] (0x")) << r.err;
    EXPECT_TRUE(has(r.err, ") buflen=4232 vlen=16 flags=0000 N=128\n")) << r.err;
    EXPECT_STREQ(stored("K"), "w");

    // The default level keeps the store's debug lines out.
    r = run_kfu({path, "K"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(kfu, sysw_debug_turns_on_the_wrappers_debug_lines)
{
    KfuRun r = run_kfu({path, "K"}, {"SYSW_DEBUG=1"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(has(r.err, "shmf_open: CLOSED(fd")) << r.err;
    r = run_kfu({path, "K"}, {"SYSW_DEBUG=yes"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
}

// A process that died holding the store's lock must not make the tool
// hang: it gives up after its bounded wait.
TEST_F(kfu, a_lock_left_by_a_dead_process_fails_with_2_instead_of_hanging)
{
    ASSERT_EQ(shmf_set(g_iflag_shmf, "K", "v"), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(pthread_rwlock_wrlock(&g_iflag_shmf->rwlk));
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    KfuRun r = run_kfu({path, "K", "w"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(has(r.err, "shmf_lock: pthread_rwlock_rdlock ERROR(110): Connection timed out\n"))
        << r.err;
    EXPECT_TRUE(has(r.err, "Gave up after 3000 ms waiting for the lock of [" + path +
                               "]: a process may have died holding it\n"))
        << r.err;
    EXPECT_GE(r.ms, 2900);
    EXPECT_LT(r.ms, 15000);
}
