#include "log.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app.globals.h"
#include "log_impl.h"
#include "netns.h"
#include "support.h"

LOG_MODULE(LM_DEFAULT);

namespace {

// Time stamps in these tests are read in UTC, whatever the machine's zone.
[[maybe_unused]] const int g_utc = (setenv("TZ", "UTC", 1), tzset(), 0);

// A private log record writing to a file, closed at the end.
struct FileLog {
    log_ctx lg{};
    explicit FileLog(const std::string &path, uint32_t timefmt = f_NO_TIME)
    {
        lg.time_format = timefmt;
        EXPECT_EQ(log_open(&lg, path.c_str()), 0);
    }
    ~FileLog() { log_close(&lg); }
};

// Raises module 0 to the given level for one scope.
struct ModuleLevel {
    int saved;
    explicit ModuleLevel(int level) : saved(g_mod_ll[LM_DEFAULT]) { g_mod_ll[LM_DEFAULT] = level; }
    ~ModuleLevel() { g_mod_ll[LM_DEFAULT] = saved; }
};

uint64_t tag64(const char *text)
{
    n64_tag t{};
    memcpy(t.sym8, text, strnlen(text, sizeof(t.sym8)));
    return t.num;
}

// Waits (bounded) until the wall clock's second changes, so that a
// following rotation gets a name of its own.
void wait_next_second()
{
    time_t start = time(nullptr);
    for (int i = 0; i < 300 && time(nullptr) == start; ++i) usleep(5000);
}

std::vector<std::string> rotated_files(const TempDir &dir, const std::string &base)
{
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::directory_iterator(dir.path())) {
        std::string name = e.path().filename();
        if (name.rfind(base + ".", 0) == 0) out.push_back(name);
    }
    return out;
}

}  // namespace

// --- line format ---------------------------------------------------------------------------

TEST(log, level_tags_and_spacing)
{
    struct {
        int level;
        const char *line;
    } cases[] = {
        {PANIC_level, "(PNC)  m\n"}, {ERR_level, "(ERR)  m\n"},  {CRIT_level, "(CRI)  m\n"},
        {WARN_level, "(WRN)  m\n"},  {NORM_level, "(NRM)  m\n"}, {INFO_level, "(INF)  m\n"},
        {DEBUG_level, "(DBG)  m\n"}, {SECTION_level, "(SCT)  m\n"}, {5, "( ? )  m\n"},
        {-126, "( ? )  m\n"},        {MIN_level, "m\n"},
    };
    for (const auto &c : cases) {
        LogCapture cap;
        log_write(&g_log, c.level, "m\n");
        EXPECT_EQ(cap.text(), c.line) << "level " << c.level;
    }
}

TEST(log, prefix_pid_and_group)
{
    TempDir dir;
    FileLog f(dir.file("a.log"), f_NO_TIME);
    log_set_pfx(&f.lg, "PFX");
    log_set_pid(&f.lg, 4711);  // not printed without a time stamp
    log_set_group(&f.lg, tag64("T0042"));
    log_write(&f.lg, INFO_level, "one %d\n", 1);
    log_set_group(&f.lg, tag64("abcdefg"));  // exactly 7 characters
    log_set_pfx(&f.lg, nullptr);
    log_write(&f.lg, ERR_level, "two\n");
    EXPECT_EQ(read_file(dir.file("a.log")), "PFX  (INF)  T0042  one 1\n(ERR)  abcdefg  two\n");
}

TEST(log, time_and_pid_pieces)
{
    TempDir dir;
    FileLog f(dir.file("t.log"), f_REALTIME_TIMER);
    log_set_pid(&f.lg, 4711);
    log_set_group(&f.lg, tag64("T0042"));
    log_write(&f.lg, INFO_level, "msg\n");
    log_set_pid(&f.lg, 0);
    log_set_group(&f.lg, 0);
    log_timefmt(&f.lg, f_REALTIME_TIMER | f_FMT_SECONDS);
    log_write(&f.lg, WARN_level, "w\n");
    log_timefmt(&f.lg, f_RAW_TIME);
    log_write(&f.lg, NORM_level, "r\n");
    const std::regex expected(
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} UTC 4711  \\(INF\\)  T0042  msg\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC \\(WRN\\)  w\n"
        "\\d+\\.\\d{6} \\(NRM\\)  r\n");
    std::string text = read_file(dir.file("t.log"));
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST(log, unsupported_clock_drops_the_line)
{
    for (uint32_t clock_id : {2u, 3u}) {
        StderrCapture err;
        LogCapture cap(true);
        log_timefmt(&g_log, clock_id);
        log_write(&g_log, ERR_level, "x\n");
        EXPECT_EQ(cap.text(), "");
        EXPECT_EQ(err.text(),
                  "flags2clock: unsupported timer value: " + std::to_string(clock_id) + "\n");
    }
}

TEST(log, line_of_2046_characters_is_the_limit)
{
    LogCapture cap;  // "(ERR)  " is 7 characters
    std::string body(2046 - 7 - 1, 'x');
    log_write(&g_log, ERR_level, "%s\n", body.c_str());
    EXPECT_EQ(cap.text().size(), 2046u);
    cap.clear();
    StderrCapture err;
    body.push_back('y');
    log_write(&g_log, ERR_level, "%s\n", body.c_str());
    EXPECT_EQ(cap.text(), "");
    EXPECT_NE(err.text().find("fprintf/vfprintf"), std::string::npos);
}

TEST(log, empty_message_is_dropped)
{
    LogCapture cap;
    log_write(&g_log, ERR_level, "%s", "");
    EXPECT_EQ(cap.text(), "");
}

TEST(log, errno_survives_writing)
{
    LogCapture cap;
    errno = EPIPE;
    log_write(&g_log, ERR_level, "x %s\n", strerror(ENOENT));
    EXPECT_EQ(errno, EPIPE);
}

// --- gate, mirror, hook ----------------------------------------------------------------------

TEST(log, gated_message_evaluates_no_argument)
{
    LogCapture cap;
    int evaluated = 0;
    auto arg = [&] { return ++evaluated; };
    log_info("%d\n", arg());  // module 0 is at NORM
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(cap.text(), "");
    {
        ModuleLevel ml(INFO_level);
        log_info("%d\n", arg());
    }
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(cap.text(), "(INF)  1\n");
}

TEST(log, section_threshold_decides_when_a_section_is_set)
{
    LogCapture cap;
    loglevel_ctx saved = g_llctx;
    g_llctx.sec = 5;
    int saved_thr = g_sec_ll[5];
    g_sec_ll[5] = 1;
    log_dbg("by section\n");  // module level 0 < threshold 1: off
    g_sec_ll[5] = 0;
    log_dbg("by section\n");  // 0 >= 0: on whatever the level
    g_sec_ll[5] = saved_thr;
    g_llctx = saved;
    EXPECT_EQ(cap.text(), "(DBG)  by section\n");
}

TEST(log, mirror_gets_a_copy_unless_same_descriptor)
{
    TempDir dir;
    FileLog f(dir.file("m.log"));
    FILE *mirror = fopen(dir.file("mirror").c_str(), "w");
    ASSERT_NE(mirror, nullptr);
    log_mirror(&f.lg, mirror);
    EXPECT_EQ(log_mirror_fp(&f.lg), mirror);
    log_write(&f.lg, NORM_level, "both\n");
    fflush(mirror);
    EXPECT_EQ(read_file(dir.file("mirror")), "(NRM)  both\n");
    log_mirror(&f.lg, log_fp(&f.lg));  // same descriptor: no second copy
    log_write(&f.lg, NORM_level, "once\n");
    EXPECT_EQ(read_file(dir.file("m.log")), "(NRM)  both\n(NRM)  once\n");
    log_mirror(&f.lg, nullptr);
    fclose(mirror);
}

TEST(log, hook_sees_info_and_more_severe)
{
    TempDir dir;
    FileLog f(dir.file("h.log"));
    std::vector<std::string> seen;
    log_set_hook(&f.lg, &seen, [](void *u, const char *line) {
        static_cast<std::vector<std::string> *>(u)->push_back(line);
    });
    log_write(&f.lg, DEBUG_level, "d\n");
    log_write(&f.lg, INFO_level, "i\n");
    log_write(&f.lg, PANIC_level, "p\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"(INF)  i\n", "(PNC)  p\n"}));
}

// Syslog copies are checked against a datagram socket bound at /dev/log in
// a private mount namespace, so nothing reaches the machine's syslog.
TEST(log, syslog_gets_only_levels_below_zero)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0) _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
        if (mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0) _exit(77);
        int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un sun{};
        sun.sun_family = AF_UNIX;
        strcpy(sun.sun_path, "/dev/log");
        if (s < 0 || bind(s, (sockaddr *)&sun, sizeof(sun)) != 0) _exit(78);
        FILE *sink = tmpfile();
        log_default(&g_log, sink);
        glog_enable_syslog("tst");
        log_write(&g_log, WARN_level, "to syslog %d\n", 1);
        log_write(&g_log, NORM_level, "not to syslog\n");
        log_write(&g_log, CRIT_level, "crit\n");
        g_sigctx = 1;
        log_write(&g_log, ERR_level, "inside a handler\n");
        g_sigctx = 0;
        std::vector<std::string> got;
        char buf[512];
        ssize_t n;
        while ((n = recv(s, buf, sizeof(buf), 0)) > 0) got.emplace_back(buf, size_t(n));
        glog_disable_syslog();
        // <LOCAL0|WARNING> = <132>, <LOCAL0|CRIT> = <130>
        if (got.size() != 2) _exit(10 + int(got.size()));
        if (got[0].rfind("<132>", 0) != 0 || got[0].find("tst[") == std::string::npos ||
            got[0].find("to syslog 1") == std::string::npos)
            _exit(20);
        if (got[1].rfind("<130>", 0) != 0 || got[1].find("crit") == std::string::npos) _exit(21);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- levels ------------------------------------------------------------------------------------

TEST(log, level_names)
{
    struct {
        const char *text;
        int level;
    } ok[] = {{"err", -3},  {"ERROR", -3}, {"crit", -2},   {"CrIt", -2},   {"critical", -2},
              {"warn", -1}, {"Warning", -1}, {"norm", 0},  {"normal", 0},  {"info", 1},
              {"debug", 2}, {"DBG", 2},    {"section", 64}, {"sect", 64}};
    for (const auto &c : ok) {
        int level = 99;
        EXPECT_EQ(match_log_level(c.text, &level), 0) << c.text;
        EXPECT_EQ(level, c.level) << c.text;
    }
    for (const char *bad : {"panic", "PANIC", "", "inf", "errors"}) {
        int level = 99;
        EXPECT_EQ(match_log_level(bad, &level), -1) << bad;
        EXPECT_EQ(level, 99);
    }
    EXPECT_STREQ(log_level_str(-2), "ctitical");
    EXPECT_STREQ(log_level_str(-4), "panic");
    EXPECT_STREQ(log_level_str(64), "section");
    EXPECT_STREQ(log_level_str(3), "??");
    EXPECT_STREQ(log_level_str(MIN_level), "??");
}

TEST(log, level_from_environment)
{
    unsetenv("TAVEL_TEST_LL");
    EXPECT_EQ(read_level_env("TAVEL_TEST_LL", 2), 2);
    setenv("TAVEL_TEST_LL", "0", 1);
    EXPECT_EQ(read_level_env("TAVEL_TEST_LL", 2), 0);
    setenv("TAVEL_TEST_LL", "-3", 1);
    EXPECT_EQ(read_level_env("TAVEL_TEST_LL", 2), -3);
    setenv("TAVEL_TEST_LL", "debug", 1);
    EXPECT_EQ(read_level_env("TAVEL_TEST_LL", 2), 2);
    unsetenv("TAVEL_TEST_LL");
}

TEST(log, set_modules_and_sections)
{
    log_ctx lg{};
    int mods[LL_MAX_MODULES], secs[LL_MAX_SECTIONS];
    memcpy(mods, g_mod_ll, sizeof(mods));
    memcpy(secs, g_sec_ll, sizeof(secs));
    log_set_modules(&lg, DEBUG_level);
    log_set_sections(&lg, 3);
    EXPECT_EQ(g_mod_ll[0], DEBUG_level);
    EXPECT_EQ(g_mod_ll[LL_MAX_MODULES - 1], DEBUG_level);
    EXPECT_EQ(g_sec_ll[LL_MAX_SECTIONS - 1], 3);
    EXPECT_TRUE(lg.llst.mod_ll_set);
    EXPECT_TRUE(lg.llst.sec_ll_set);
    memcpy(g_mod_ll, mods, sizeof(mods));
    memcpy(g_sec_ll, secs, sizeof(secs));
}

// --- opening, moving aside, closing -------------------------------------------------------------

TEST(log, path_limit_is_127_characters)
{
    TempDir dir;
    std::string base = dir.path() + "/";
    std::string ok = base + std::string(127 - base.size(), 'p');
    std::string too_long = ok + "q";
    log_ctx lg{};
    EXPECT_EQ(log_open(&lg, ok.c_str()), 0);
    log_close(&lg);
    StderrCapture err;
    EXPECT_EQ(log_open(&lg, too_long.c_str()), -1);
    EXPECT_EQ(err.text(), "Log pathname/command is too long, 128 bytes allowed\n");
    EXPECT_FALSE(file_exists(too_long));
}

TEST(log, open_moves_old_file_aside_by_its_mtime)
{
    TempDir dir;
    std::string path = dir.file("d.log");
    write_file(path, "old\n");
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    {
        FileLog f(path);
        log_write(&f.lg, NORM_level, "new\n");
    }
    EXPECT_EQ(read_file(path + ".1000000000"), "old\n");
    EXPECT_EQ(read_file(path), "(NRM)  new\n");
}

TEST(log, open_never_replaces_an_earlier_moved_file)
{
    TempDir dir;
    std::string path = dir.file("d.log");
    write_file(path + ".1000000000", "moved before\n");
    write_file(path, "current\n");
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    {
        StderrCapture err;
        FileLog f(path);
        log_write(&f.lg, NORM_level, "appended\n");
        EXPECT_NE(err.text().find("Cannot rename("), std::string::npos);
    }
    EXPECT_EQ(read_file(path + ".1000000000"), "moved before\n");
    EXPECT_EQ(read_file(path), "current\n(NRM)  appended\n");
}

TEST(log, append_old_and_empty_files_stay)
{
    TempDir dir;
    std::string path = dir.file("a.log");
    write_file(path, "kept\n");
    log_ctx lg{};
    log_append_old(&lg);
    ASSERT_EQ(log_open(&lg, path.c_str()), 0);
    lg.time_format = f_NO_TIME;
    log_write(&lg, NORM_level, "more\n");
    log_close(&lg);
    EXPECT_EQ(read_file(path), "kept\n(NRM)  more\n");
    EXPECT_TRUE(rotated_files(dir, "a.log").empty());
}

// A log path planted as a link to another file, empty or not, is never
// written through, with or without append_old: the open fails, the target
// keeps what it held and nothing is moved aside.  A FIFO is refused at
// once (an open for writing would wait for a reader).
TEST(log, open_refuses_a_symbolic_link)
{
    const int rc = run_in_child(
        [] {
            for (const char *held : {"", "held\n", static_cast<const char *>(nullptr)}) {
                TempDir dir;
                const std::string victim = dir.file("victim"), path = dir.file("l.log");
                if (held) {
                    write_file(victim, held);
                    CHILD_CHECK(symlink(victim.c_str(), path.c_str()) == 0);
                } else {
                    CHILD_CHECK(mkfifo(path.c_str(), 0600) == 0);
                }
                const std::string says =
                    held ? "fopen(" + path + ") ERROR(" + std::to_string(ELOOP) + ")"
                         : "do_open: [" + path + "] is not a regular file\n";
                for (bool append : {false, true}) {
                    log_ctx lg{};
                    if (append) log_append_old(&lg);
                    std::string said;
                    {
                        StderrCapture err;
                        const int opened = log_open(&lg, path.c_str());
                        said = err.text();
                        CHILD_CHECK(opened == -1);
                    }
                    CHILD_CHECK(said.find(says) != std::string::npos);
                    log_write(&lg, ERR_level, "lost\n");
                    log_close(&lg);
                    CHILD_CHECK(!held || read_file(victim) == held);
                    CHILD_CHECK(rotated_files(dir, "l.log").empty());
                }
            }
            return 0;
        },
        10000);
    EXPECT_EQ(rc, 0);
}

TEST(log, close_drops_later_lines_and_keeps_std_streams)
{
    TempDir dir;
    std::string path = dir.file("c.log");
    log_ctx lg{};
    lg.time_format = f_NO_TIME;
    ASSERT_EQ(log_open(&lg, path.c_str()), 0);
    log_close(&lg);
    EXPECT_EQ(log_fp(&lg), nullptr);
    log_write(&lg, ERR_level, "lost\n");
    EXPECT_EQ(read_file(path), "");
    log_default(&lg, stderr);
    log_close(&lg);
    // (log_fp is a stream of the log's own when stderr is a pipe.)
    EXPECT_EQ(log_fd(&lg), STDERR_FILENO);
    EXPECT_NE(log_fp(&lg), nullptr);
}

TEST(log, total_out_starts_from_the_file_size)
{
    TempDir dir;
    std::string path = dir.file("s.log");
    write_file(path, std::string(50, 'z'));
    log_ctx lg{};
    log_append_old(&lg);
    ASSERT_EQ(log_open(&lg, path.c_str()), 0);
    EXPECT_EQ(lg.total_out, 50u);
    log_close(&lg);
}

// --- rotation -------------------------------------------------------------------------------------

TEST(log, rotation_keeps_the_newest_files)
{
    TempDir dir;
    std::string path = dir.file("r.log");
    LogCapture notes;
    FileLog f(path);
    log_set_rota(&f.lg, 20, 3);
    EXPECT_EQ(log_rota_maxsize(&f.lg), 20u);
    EXPECT_EQ(log_rota_maxfiles(&f.lg), 3u);
    std::vector<std::string> names;
    for (int i = 0; i < 4; ++i) {
        wait_next_second();
        time_t now = time(nullptr);
        log_write(&f.lg, NORM_level, "line number %d long enough\n", i);  // passes 20 bytes
        names.push_back(path + "." + std::to_string(now));
        ASSERT_TRUE(file_exists(names.back())) << names.back();
    }
    // The fourth rotation reused the first slot and deleted its file.
    EXPECT_FALSE(file_exists(names[0]));
    for (int i = 1; i < 4; ++i)
        EXPECT_EQ(read_file(names[size_t(i)]),
                  "(NRM)  line number " + std::to_string(i) + " long enough\n");
    EXPECT_EQ(read_file(path), "");
    std::string text = notes.text();
    EXPECT_NE(text.find("(NRM)  [tst]: previous log rotated to [" + names[3] + "]"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(", idx=0\n"), std::string::npos);
}

TEST(log, keep_count_defaults)
{
    log_ctx lg{};
    for (size_t given : {0ul, 128ul, 500ul}) {
        log_set_rota(&lg, 1, given);
        EXPECT_EQ(log_rota_maxfiles(&lg), 16u);
    }
    log_set_rota(&lg, 1, 127);
    EXPECT_EQ(log_rota_maxfiles(&lg), 127u);
}

// A second rotation within the same second takes the next name instead of
// the first rotated file's; every rotation has a name of its own, later
// ones sorting after earlier ones, and the keep list deletes the oldest by
// its full name.  What is printed on the log's stream (the I/O trace
// lines) counts towards the threshold.  A rename that fails otherwise
// (the file is gone) cancels the rotation.
TEST(log, rotation_within_one_second_takes_the_next_name)
{
    TempDir dir;
    std::string path = dir.file("s.log");
    LogCapture notes;
    FileLog f(path);
    log_set_rota(&f.lg, 0, 4);
    wait_next_second();
    time_t now = time(nullptr);
    log_write(&f.lg, NORM_level, "first\n");
    ASSERT_EQ(log_rotate(&f.lg), 0);
    log_write(&f.lg, NORM_level, "second\n");
    std::string rotated = path + "." + std::to_string(now);
    if (time(nullptr) != now) GTEST_SKIP() << "the second changed between the two rotations";
    EXPECT_EQ(log_rotate(&f.lg), 0);
    log_write(&f.lg, NORM_level, "third\n");
    EXPECT_EQ(read_file(rotated), "(NRM)  first\n");
    EXPECT_EQ(read_file(rotated + ".1"), "(NRM)  second\n");
    EXPECT_EQ(read_file(path), "(NRM)  third\n");
    EXPECT_EQ(f.lg.total_out, std::string("(NRM)  third\n").size());
    EXPECT_STREQ(f.lg.rota.kept[1], (rotated + ".1").c_str());

    log_set_rota(&f.lg, 30, 3);
    std::vector<std::string> names;
    for (int i = 0; i < 5; ++i) {
        fprintf(log_fp(&f.lg), "#TRK-IN/U pkt[%d] long enough to rotate\n", i);
        ASSERT_EQ(f.lg.total_out, 0u) << i;  // rotated right after it
        names.emplace_back(f.lg.rota.kept[(i + 2) % 3]);
    }
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(read_file(names[size_t(i)]),
                  i < 2 ? "" : "#TRK-IN/U pkt[" + std::to_string(i) + "] long enough to rotate\n");

    ASSERT_EQ(unlink(path.c_str()), 0);
    StderrCapture err;
    EXPECT_EQ(log_rotate(&f.lg), 0);
    EXPECT_EQ(f.lg.total_out, 0u);
    EXPECT_NE(err.text().find(" - rotation is to be stopped\n"), std::string::npos);
    const std::regex cancelled("\\(ERR\\)  log_rotate: log_rotate: failed to rename \\[" + path +
                               "\\] to \\[" + path + "\\.[0-9.]+\\], ERROR\\(2\\): No such file or "
                               "directory - rotation cancelled this time\n");
    EXPECT_TRUE(std::regex_search(notes.text(), cancelled)) << notes.text();
}

TEST(log, streams_and_pipes_refuse_rotation)
{
    log_ctx lg{};
    {
        StderrCapture err;
        EXPECT_EQ(log_rotate(&lg), 0);
        EXPECT_EQ(err.text(), "log_rotate: nothing to rotate.\n");
    }
    TempDir dir;
    std::string out = dir.file("pipe.out");
    std::string cmd = "cat > " + out;
    ASSERT_EQ(log_popen(&lg, cmd.c_str()), 0);
    lg.time_format = f_NO_TIME;
    log_set_rota(&lg, 5, 2);
    {
        StderrCapture err;
        log_write(&lg, NORM_level, "through the pipe\n");
        log_write(&lg, NORM_level, "again\n");
        EXPECT_EQ(err.text(), "log_rotate: not supported for pipe-based streams.\n"
                              "log_rotate: not supported for pipe-based streams.\n");
    }
    EXPECT_NE(log_fp(&lg), nullptr);
    log_close(&lg);
    EXPECT_EQ(read_file(out), "(NRM)  through the pipe\n(NRM)  again\n");
    // A standard stream with a name cannot be rotated either.
    log_ctx named{};
    ASSERT_EQ(log_open(&named, dir.file("n.log").c_str()), 0);
    log_close(&named);
    log_default(&named, stdout);
    StderrCapture err;
    EXPECT_EQ(log_rotate(&named), -1);
    EXPECT_EQ(err.text(), "log_rotate: stdout and stderr cannot be rotated.\n");
}

// --- time stamps --------------------------------------------------------------------------------

TEST(log, time_stamp_texts)
{
    char buf[64];
    struct timespec t = {86400 + 3600 + 61, 123456789};
    EXPECT_EQ(mk_timestr(&t, 0, buf, sizeof(buf)), 30);
    EXPECT_STREQ(buf, "1970-01-02 01:01:01.123456 UTC");
    EXPECT_EQ(mk_timestr(&t, f_FMT_SECONDS | f_GMT_TIME, buf, sizeof(buf)), 23);
    EXPECT_STREQ(buf, "1970-01-02 01:01:01 UTC");
    EXPECT_EQ(mk_timestr(&t, f_RAW_TIME, buf, sizeof(buf)), 12);
    EXPECT_STREQ(buf, "90061.123456");
    EXPECT_EQ(mk_timestr(&t, f_RAW_TIME, buf, 12), -1);
    StderrCapture err;
    EXPECT_EQ(mk_timestr(&t, 0, buf, 30), -1);
    EXPECT_EQ(err.text(), "mk_timestr: timestamp buffer needs 31 bytes, only 30 provided\n");
}

TEST(log, time_stamps_read_back)
{
    char buf[64];
    struct timespec t = {1700000000, 654321000};
    for (uint32_t flags : {0u, uint32_t(f_FMT_SECONDS), uint32_t(f_RAW_TIME)}) {
        ASSERT_GT(mk_timestr(&t, flags, buf, sizeof(buf)), 0);
        struct timespec back = {};
        int fields = scan_log_time(buf, &back, flags);
        EXPECT_EQ(fields, flags == f_FMT_SECONDS ? 6 : flags == f_RAW_TIME ? 2 : 7) << buf;
        EXPECT_EQ(back.tv_sec, t.tv_sec);
        EXPECT_EQ(back.tv_nsec, flags == f_FMT_SECONDS ? 0 : t.tv_nsec);
    }
    struct timespec back = {};
    EXPECT_EQ(scan_log_time("2023-11-14 22:13", &back, f_FMT_SECONDS), -1);
    EXPECT_EQ(scan_log_time("garbage", &back, f_RAW_TIME), -1);
}

// --- backtraces and invariants ---------------------------------------------------------------------

TEST(log, backtrace_text)
{
    char buf[4096];
    ASSERT_EQ(btrace_to_buf(buf, sizeof(buf)), 0);
    EXPECT_EQ(std::string(buf).rfind("#0: ", 0), 0u);
    EXPECT_NE(std::string(buf).find("\n#1: "), std::string::npos);
    char small[20];
    memset(small, 'x', sizeof(small));
    ASSERT_EQ(btrace_to_buf(small, sizeof(small)), 0);
    EXPECT_EQ(strlen(small), sizeof(small) - 1);

    ASSERT_EQ(snprintf_btrace(buf, sizeof(buf), "where %d:\n", 7), 0);
    EXPECT_EQ(std::string(buf).rfind("where 7:\n#0: ", 0), 0u);
    EXPECT_EQ(snprintf_btrace(buf, 5, "too long for it"), -1);
    EXPECT_EQ(snprintf_btrace(buf, sizeof(buf), "%s", ""), -1);
}

TEST(logDeathTest, assertion_logs_backtrace_and_aborts)
{
    EXPECT_DEATH(lfx_assert(1 + 1 == 3), "ASSERT at:\n#0: .*==\n(.|\n)*1 \\+ 1 == 3");
    EXPECT_DEATH(lfx_abort(), "Aborting at:\n#0: ");
}

TEST(logDeathTest, group_tag_without_terminator_is_an_invariant)
{
    EXPECT_DEATH(
        {
            log_set_group(&g_log, tag64("12345678"));
            log_write(&g_log, ERR_level, "x\n");
        },
        "ASSERT at:(.|\n)*0 == log->group.sym8\\[sizeof\\(log->group.sym8\\)-1\\]");
}
