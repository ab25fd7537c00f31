// tavel run as a program: command line and exit codes, start and quit,
// control requests and their answers byte for byte, keep-alive links,
// head framing, the static task list, the status report, and agent
// messages creating a task chained through a second daemon.  Every run
// that opens sockets lives in a private network namespace of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "json_check.h"
#include "netns.h"
#include "support.h"
#include "tavel_harness.h"

using namespace tvh;

namespace {

#define CHILD_HAS(text, part)                                                               \
    do {                                                                                    \
        const std::string t_ = (text), p_ = (part);                                         \
        if (t_.find(p_) == std::string::npos) {                                             \
            fprintf(stderr, "%s:%d: [%s] not found in:\n%s\n", __FILE__, __LINE__, p_.c_str(), \
                    t_.c_str());                                                            \
            return 1;                                                                       \
        }                                                                                   \
    } while (0)

#define CHILD_STREQ(a, b)                                                                  \
    do {                                                                                   \
        const std::string a_ = (a), b_ = (b);                                              \
        if (a_ != b_) {                                                                    \
            fprintf(stderr, "%s:%d: [%s] != [%s]\n", __FILE__, __LINE__, a_.c_str(),       \
                    b_.c_str());                                                           \
            return 1;                                                                      \
        }                                                                                  \
    } while (0)

// A child in a fresh namespace with a longer time limit than in_netns.
int in_ns(const std::function<int()> &body, int ms = 60000)
{
    return run_in_child(
        [&] {
            if (!enter_private_netns()) return CHILD_SKIP;
            return body();
        },
        ms);
}

constexpr int PORT = 18780;

// Reads an answer head (up to its empty line) from a connection that
// stays open.
std::string read_answer(int fd, int ms = 3000)
{
    std::string out;
    char c;
    for (int waited = 0; waited < ms && out.find("\r\n\r\n") == std::string::npos;) {
        const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 1) {
            out += c;
        } else if (n == 0) {
            break;
        } else {
            sleep_ms(5);
            waited += 5;
        }
    }
    return out;
}

// Opens a connection, sends a GET of path and reads the answer; the
// connection stays open (its descriptor in *fd).
std::string get_keep(const std::string &path, int *fd)
{
    *fd = connect_to(PORT);
    const std::string rq = "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n";
    send(*fd, rq.data(), rq.size(), MSG_NOSIGNAL);
    return read_answer(*fd);
}

std::string path(int src, int dst, const std::string &tail = "")
{
    return "/src/127.0.0.1:" + std::to_string(src) + "/dst/127.0.0.1:" + std::to_string(dst) +
           tail;
}

TEST(tavel, CommandLineAndExitCodes)
{
    TempDir d;
    const std::string conf = d.file("tavel.conf");
    write_file(conf, config(PORT, ""));
    std::string out;

    EXPECT_EQ(run_tavel({}, &out), 1);
    EXPECT_NE(out.find("Usage: tvl OPTIONS\nOptions:\n  -h|?|--help "), std::string::npos) << out;
    EXPECT_NE(out.find("\n\n\n== Constants:\n  TVL_PKTLEN = 5000\n==\n\n"), std::string::npos);
    EXPECT_EQ(run_tavel({"-V"}, &out), 0);
    EXPECT_EQ(out.rfind("tvl (", 0), 0u) << out;
    EXPECT_EQ(out.find("Usage"), std::string::npos);
    EXPECT_EQ(run_tavel({"-?"}, &out), 1);
    EXPECT_NE(out.find("Usage: tvl OPTIONS"), std::string::npos);
    EXPECT_EQ(run_tavel({"-T"}, &out), 2);
    EXPECT_EQ(out.rfind("Config path must be specified\ntvl (", 0), 0u) << out;
    EXPECT_EQ(run_tavel({"-C", conf, "--bogus"}, &out), 1);

    const struct {
        std::vector<std::string> args;
        const char *msg;
    } refused[] = {
        {{"--verbose"}, "Unknown option: v\n"},
        {{"-M", "0"}, "Invalid maxpkts value (1-64): 0\n"},
        {{"-M", "65"}, "Invalid maxpkts value (1-64): 65\n"},
        {{"-P", "abc"}, "Invalid CPU #: abc\n"},
        // Numbers are whole decimal texts within their range: no trailing
        // text, and no value silently taken for another.
        {{"-M", "3junk"}, "Invalid maxpkts value (1-64): 3junk\n"},
        {{"-M", " 3"}, "Invalid maxpkts value (1-64):  3\n"},
        {{"-M", ""}, "Invalid maxpkts value (1-64): \n"},
        {{"--maxpkts=4294967297"}, "Invalid maxpkts value (1-64): 4294967297\n"},
        {{"-P", "2x"}, "Invalid CPU #: 2x\n"},
        {{"-P", "-5"}, "Invalid CPU #: -5\n"},
        {{"-P", "-2"}, "Invalid CPU #: -2\n"},
        {{"--cpu", "4294967296"}, "Invalid CPU #: 4294967296\n"},
        {{"-P", "1024"}, "Invalid CPU #: 1024\n"},
        {{"-L", "loud"}, "Invalid log level: loud\n"},
        {{"-l", std::string(128, 'l')}, "Log path is too long (128 bytes), max=128 bytes.\n"},
        {{"-p", std::string(128, 'p')}, "Pidfile path is too long (128 bytes), max=128 bytes.\n"},
        {{"-t", std::string(128, 't')}, "Task list path is too long (128 bytes)"},
        {{"-r", std::string(128, 'r')}, "Route list path is too long (128 bytes)"},
        // 127 characters pass; the next option is the one refused.
        {{"-l", std::string(127, 'l'), "-p", std::string(127, 'p'), "-M", "0"},
         "Invalid maxpkts value (1-64): 0\n"},
    };
    for (const auto &r : refused) {
        std::vector<std::string> args{"-T", "-C", conf};
        args.insert(args.end(), r.args.begin(), r.args.end());
        EXPECT_EQ(run_tavel(args, &out), 1) << r.msg;
        EXPECT_NE(out.find(r.msg), std::string::npos) << out;
        EXPECT_EQ(out.find("STARTING"), std::string::npos);
    }

    EXPECT_EQ(run_tavel({"-T", "-C", d.file("absent.conf")}, &out), 1);
    EXPECT_NE(out.find("Failed to load ["), std::string::npos) << out;
    write_file(d.file("bad.conf"), "tavel: { log: {}; listener: {}; };\n");
    EXPECT_EQ(run_tavel({"-T", "-C", d.file("bad.conf")}, &out), 1);
    EXPECT_NE(out.find("missing runtime section"), std::string::npos) << out;
    write_file(d.file("zero.conf"), config(PORT, "max_tasks = 0;"));
    EXPECT_EQ(run_tavel({"-T", "-C", d.file("zero.conf")}, &out), 1);

    // A value out of its range, or too wide for libconfig's 32 bits, stops
    // start-up naming the setting and its line.
    const struct {
        const char *keys, *msg;
    } bad_values[] = {
        {"max_pkts = 100000;", "tavel.max_pkts=100000 at line 6 must be 1..64\n"},
        {"multicast_ttl = 300;", "tavel.multicast_ttl=300 at line 6 must be 0..255\n"},
        {"socket_rcvbuf_size = -1;",
         "tavel.socket_rcvbuf_size=-1 at line 6 must be 0..1073741824\n"},
        {"max_retries = 4294967298;",
         "tavel.max_retries=4294967298 at line 6 does not fit in 32 bits\n"},
        {"idle_task_timeout = 4294968296;",
         "tavel.idle_task_timeout=4294968296 at line 6 does not fit in 32 bits\n"},
        {"max_retries = 0x100000005;",
         "tavel.max_retries=0x100000005 at line 6 does not fit in 32 bits\n"},
        {"idle_task_timeout = 0x10000000000000000L;",
         "tavel.idle_task_timeout=0x10000000000000000L at line 6 does not fit in 64 bits\n"},
        {"idle_task_timeout = -2;",
         "load_config: tavel.idle_task_timeout=-2 at line 6 must be -1 or 1..86400000\n"},
        {"tcp_buffer_mb = 0;", "load_config: tavel.tcp_buffer_mb=0 at line 6 must be 1..32\n"},
    };
    for (const auto &b : bad_values) {
        write_file(conf, config(PORT, b.keys));
        EXPECT_EQ(run_tavel({"-T", "-C", conf}, &out), 1) << b.keys;
        EXPECT_NE(out.find(b.msg), std::string::npos) << out;
        EXPECT_EQ(out.find("STARTING"), std::string::npos);
    }

    // However the literal reaches libconfig: as the whole of an included
    // file, after a directive on its line, or through a pipe.  An included
    // file that ends inside a string, a comment or an include name would
    // have libconfig read the rest of it from the text after the directive
    // (a cut value, or a FIFO never checked): refused at once.
    const std::string val = d.file("val.cfg"), inc = d.file("inc.cfg");
    const std::string inc_a = d.file("incA.conf"), inc_b = d.file("incB.conf");
    write_file(val, "0x100000005\n");
    write_file(inc, "max_pkts = 8;\n");
    write_file(inc_a, "note = \"x");
    write_file(inc_b, "@include \"" + d.file("fif"));
    ASSERT_EQ(mkfifo(d.file("fifoB").c_str(), 0600), 0);
    const struct {
        std::string keys, msg;
    } included[] = {
        {"max_retries =\n@include \"" + val + "\"\n;",
         "tavel.max_retries=0x100000005 at line 1 of " + val + " does not fit in 32 bits\n"},
        {"@include \"" + inc + "\" max_retries = 0x100000005;",
         "tavel.max_retries=0x100000005 at line 6 does not fit in 32 bits\n"},
        {"@include \"" + inc_a + "\"\n\"; max_retries = 4294967298; # \"",
         "load_config: included file [" + inc_a + "] at line 6 ends inside a string begun at "
         "line 1 of " + inc_a + "\n"},
        {"@include \"" + inc_b + "\"oB\"",
         "load_config: included file [" + inc_b + "] at line 6 ends inside an include name "
         "begun at line 1 of " + inc_b + "\n"},
    };
    for (const auto &i : included) {
        write_file(conf, config(PORT, i.keys));
        EXPECT_EQ(run_tavel({"-T", "-C", conf}, &out), 1) << i.keys;
        EXPECT_NE(out.find(i.msg), std::string::npos) << out;
        EXPECT_EQ(out.find("STARTING"), std::string::npos);
    }
    // The same files with each construct closed start.
    write_file(inc_a, "note = \"x\";");
    write_file(inc_b, "@include \"" + inc + "\"");
    TempDir run;
    write_file(run.file("tavel.conf"),
               config(PORT, "@include \"" + inc_a + "\"\nidle_task_timeout = 7000; # \"\n" +
                                "@include \"" + inc_b + "\""));
    EXPECT_CHILD_OK(in_ns([&] {
        Daemon t(run.path());
        CHILD_CHECK(t.start_fg());
        CHILD_HAS(t.output(), "\tidle-task-timeout (ms): 7000 \n");
        CHILD_HAS(t.output(), "\tmax-pkts: 8\n");
        return t.stop();
    }));
    write_file(conf, config(PORT, "max_retries = 0x100000005;"));
    Daemon piped(d.path());
    ASSERT_TRUE(piped.start({"-c", "cat '" + conf + "' | '" + tavel_path() + "' -T -C /dev/stdin"},
                            "/bin/sh"));
    EXPECT_EQ(piped.wait_exit(), 1);
    out = piped.output();
    EXPECT_NE(out.find("tavel.max_retries=0x100000005 at line 6 does not fit in 32 bits\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("STARTING"), std::string::npos);
}

TEST(tavel, StartReportFlagStoreAndQuit)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string rep = d.file("rep.json");
        write_file(d.file("tavel.conf"),
                   config(PORT,
                          "report: { path = \"" + rep + "\"; };\ntask_list = \"" +
                              d.file("no-tasks") + "\";\nmax_taks = 64;",
                          "file = \"" + d.file("tavel.log") + "\";") +
                       "report: { force_refresh_sec = 1; };\n");
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const std::string pid = std::to_string(t.pid());
        // A mistyped key, or a group placed after the end of tavel, is
        // named with its line; start-up goes on.
        CHILD_HAS(t.output(), "load_config: unknown setting tavel.max_taks at line 8 ignored\n");
        CHILD_HAS(t.output(), "load_config: unknown setting report at line 10 ignored\n");
        CHILD_HAS(t.output(), " STARTING. PID=" + pid + "\n");
        // The lists are loaded after the STARTING line.
        CHILD_CHECK(t.wait_for("Tasklist file [" + d.file("no-tasks") + "] missing, no static tasks.\n"));
        CHILD_HAS(slurp(d.file("tavel.log")), "STARTING. PID=" + pid);
        const std::string report = slurp(rep);
        CHILD_CHECK(is_valid_json(report));
        CHILD_HAS(report, "\"pid\": " + pid + ", \"task_count\": 0\n}\n");
        // The flag store, found as an operator finds it: by the log line.
        const std::string store = flag_store(slurp(d.file("tavel.log")));
        CHILD_CHECK(store.rfind("/dev/shm/tvl." + pid + ".", 0) == 0);
        CHILD_CHECK(file_exists(store));

        CHILD_CHECK(t.stop() == 0);
        const std::string out = t.output();
        CHILD_HAS(out, "tvl has been asked to quit.\n");
        CHILD_HAS(out, "tvl shut down\n");
        CHILD_HAS(out, " EXIT(0). PID=" + pid + "\n");
        CHILD_CHECK(!file_exists(rep));
        CHILD_CHECK(!file_exists(store));
        return 0;
    }));
}

// With /dev/shm full (a one-page tmpfs, filled, in a private mount
// namespace) the daemon starts without its flag store, makes an
// HTTP-source relay all the same (its byte ring is anonymous memory, not in
// /dev/shm), relays datagrams, and quits with 0.
TEST(tavel, FullShmStartsWithoutFlagStore)
{
    EXPECT_CHILD_OK(in_ns([] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=4k") != 0)
            return CHILD_SKIP;
        const int fill = open("/dev/shm/filler", O_CREAT | O_WRONLY, 0600);
        CHILD_CHECK(fill >= 0 && posix_fallocate(fill, 0, 4096) == 0);
        close(fill);
        // A stream server that takes the connection and says nothing.
        const int srv = listen_loopback(PORT + 5, 4);
        CHILD_CHECK(srv >= 0);

        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, ""));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        CHILD_HAS(t.output(), "shmf_create: posix_fallocate(/tvl." + std::to_string(t.pid()) +
                                  ".iflag, 4232) ERROR(28)");
        // Byte rings are not in /dev/shm: an HTTP relay is made all the same.
        CHILD_STREQ(get(PORT, "/src/http://127.0.0.1:" + std::to_string(PORT + 5) +
                                  "/s/dst/127.0.0.1:6501"),
                    answer(200));
        CHILD_CHECK(t.output().find("mmr_create:") == std::string::npos);
        CHILD_STREQ(get(PORT, path(5502, 6502)), answer(200));
        CHILD_CHECK(t.stop() == 0);
        close(srv);
        return 0;
    }));
}

TEST(tavel, BackgroundStartReportsStartUpStatus)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root runs in the background";
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string pidf = d.file("tavel.pid");
        write_file(d.file("tavel.conf"),
                   config(PORT, "",
                          "file = \"" + d.file("tavel.log") + "\"; enable_syslog = false;",
                          "pidfile = \"" + pidf + "\";"));
        std::string out;
        CHILD_CHECK(run_tavel({"-C", d.file("tavel.conf")}, &out) == 0);
        const pid_t pid = pid_t(atol(slurp(pidf).c_str()));
        CHILD_CHECK(pid > 0 && kill(pid, 0) == 0);
        CHILD_HAS(slurp(d.file("tavel.log")), "STARTING. PID=" + std::to_string(pid));

        // A second instance on the same configuration stops, with a
        // failure, at the taken listener port; one on another port stops at
        // the pid file's lock.  Neither gets as far as opening its log, and
        // the pid file still names the first.
        CHILD_CHECK(run_tavel({"-C", d.file("tavel.conf"), "-l", d.file("second.log")}, &out) > 0);
        CHILD_HAS(out, "failed to start URQ listener");
        CHILD_HAS(out, "start-up FAILED (rc=1), see the lines above\n");
        write_file(d.file("other.conf"),
                   config(PORT + 1, "",
                          "file = \"" + d.file("tavel.log") + "\"; enable_syslog = false;",
                          "pidfile = \"" + pidf + "\";"));
        CHILD_CHECK(run_tavel({"-C", d.file("other.conf"), "-l", d.file("second.log")}, &out) > 0);
        CHILD_HAS(out, "is locked");
        CHILD_HAS(out, ", see the lines above\n");
        CHILD_CHECK(!file_exists(d.file("second.log")));
        CHILD_CHECK(slurp(pidf) == std::to_string(pid));

        CHILD_CHECK(kill(pid, SIGTERM) == 0);
        CHILD_CHECK(eventually([&] { return kill(pid, 0) != 0; }, 10000));
        CHILD_CHECK(!file_exists(pidf));

        // What the log command makes, nobody else may write, also when the
        // daemon was started under umask 000, in the background and in the
        // foreground.
        const mode_t old_mask = umask(0);
        const std::string made = d.file("cmd.log"), made_fg = d.file("cmd-fg.log");
        CHILD_CHECK(run_tavel({"-C", d.file("tavel.conf"), "-l", "|exec cat >> " + made}, &out) ==
                    0);
        struct stat st {};
        CHILD_CHECK(eventually([&] { return stat(made.c_str(), &st) == 0 && st.st_size > 0; },
                               5000));
        CHILD_CHECK((st.st_mode & 022) == 0);
        // The instance lock lives until the process is gone, a moment after
        // its pid file: the foreground start waits for the process.
        const pid_t bg = pid_t(atol(slurp(pidf).c_str()));
        CHILD_CHECK(bg > 0 && kill(bg, SIGTERM) == 0);
        CHILD_CHECK(eventually([&] { return kill(bg, 0) != 0; }, 10000));
        {
            Daemon fg(d.path());
            CHILD_CHECK(fg.start({"-T", "-q", "-C", d.file("tavel.conf"), "-l",
                                  "|exec cat >> " + made_fg}));
            CHILD_CHECK(eventually(
                [&] { return stat(made_fg.c_str(), &st) == 0 && st.st_size > 0; }, 5000));
            CHILD_CHECK((st.st_mode & 022) == 0);
            CHILD_CHECK(fg.stop() == 0);
        }
        umask(old_mask);

        // Start-up failing after the detach: the starter exits with its status.
        write_file(d.file("tasks"), "\n");
        CHILD_CHECK(run_tavel({"-C", d.file("tavel.conf"), "-t", d.file("tasks")}, &out) == 1);
        CHILD_HAS(out, "start-up FAILED (rc=1), see the log\n");
        CHILD_HAS(slurp(d.file("tavel.log")), "missing destination");
        CHILD_CHECK(eventually([&] { return !file_exists(pidf); }, 5000));
        return 0;
    }));
}

TEST(tavel, AnswersAndClientCounting)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, ""));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());

        // Join and drop: the task ends with its last client.
        CHILD_STREQ(get(PORT, path(5001, 6001)), answer(200));
        CHILD_STREQ(get(PORT, path(5001, 6001)), answer(200));
        CHILD_HAS(t.output(), "has 2 clients now");
        CHILD_STREQ(get(PORT, path(5001, 6001, "/drop")), answer(200));
        CHILD_HAS(t.output(), "still has 1 client(s), task remains");
        CHILD_STREQ(get(PORT, path(5001, 6001, "/DROP")), answer(200));
        CHILD_CHECK(t.wait_for("Task [U0001]: ENDED"));
        CHILD_STREQ(get(PORT, path(5001, 6001, "/drop")), answer(404));

        // Kill ends a task whatever its count.
        CHILD_STREQ(get(PORT, path(5002, 6002)), answer(200));
        CHILD_STREQ(get(PORT, path(5002, 6002)), answer(200));
        CHILD_STREQ(get(PORT, path(5002, 6002, "/kill")), answer(200));
        CHILD_STREQ(get(PORT, path(5002, 6002, "/kill")), answer(404));

        // HEAD touches no task.
        CHILD_STREQ(http(PORT, "HEAD " + path(5003, 6003) + " HTTP/1.1\r\n\r\n"), answer(200));
        CHILD_HAS(t.output(), "nothing to do for HEAD request");
        CHILD_STREQ(get(PORT, path(5003, 6003, "/drop")), answer(404));
        CHILD_STREQ(http(PORT, "HEAD /favicon.ico HTTP/1.1\r\n\r\n"), answer(400));

        // Malformed requests.
        for (const char *p : {"/favicon.ico", "/ping", "/src/127.0.0.1:5004/dst/$alias",
                              "/src/127.0.0.1:5004/dst/127.0.0.1:6004?&cid=x",
                              "/src/127.0.0.1:5004/dst/127.0.0.1:6004?=x"})
            CHILD_STREQ(get(PORT, p), answer(400));
        CHILD_STREQ(http(PORT, "POST " + path(5004, 6004) + " HTTP/1.1\r\n\r\n"), answer(400));
        // No destination, a relay to itself however spelt: malformed.  A
        // destination the source's socket receives on is one: the wildcard
        // receives on every local address, a mapped address is its IPv4
        // one, a name is what it resolves to, a group is its own.
        for (const char *p : {"/udp/127.0.0.1:5005", "/src/127.0.0.1:5005/dst/",
                              "/src/127.0.0.1:5005/dst/127.0.0.1:5005",
                              "/src/UDP://127.0.0.1:5005/dst/rtp://127.0.0.1:05005/go",
                              "/src/0.0.0.0:5005/dst/127.0.0.1:5005",
                              "/src/0.0.0.0:5005/dst/127.0.0.9:5005",
                              "/src/0.0.0.0:5005/dst/0.0.0.0:5005",
                              "/src/localhost:5005/dst/127.0.0.1:5005",
                              "/src/127.0.0.1:5005/dst/localhost:5005",
                              "/src/udp://[::ffff:127.0.0.1]:5005/dst/127.0.0.1:5005/go",
                              "/src/127.0.0.1:5005/dst/udp://[::ffff:127.0.0.1]:5005/go",
                              "/src/udp://[::]:5005/dst/udp://[::1]:5005/go",
                              "/src/udp://[::]:5005/dst/127.0.0.1:5005",
                              "/src/udp://10.9.9.9@239.1.1.9:5005/dst/239.1.1.9:5005",
                              "/src/239.1.1.8:5005/dst/127.0.0.1:6005?asrc=0.0.0.0:6005"})
            CHILD_STREQ(get(PORT, p), answer(400));
        // Another port, or an address the source's socket is not bound to,
        // is no loop.
        for (const char *p : {"/src/0.0.0.0:5015/dst/127.0.0.1:6015",
                              "/src/127.0.0.1:5016/dst/127.0.0.2:5016"}) {
            CHILD_STREQ(get(PORT, p), answer(200));
            CHILD_STREQ(get(PORT, std::string(p) + "/kill"), answer(200));
        }

        // Spellings of one source and destination are one relay: each
        // datagram reaches the destination once, and any spelling ends it.
        const int rx = udp_bind(6010);
        CHILD_CHECK(rx >= 0);
        for (const char *p : {"/src/239.1.1.9:5010/dst/127.0.0.1:6010",
                              "/src/UDP://239.1.1.9:5010/dst/127.0.0.1:6010/go",
                              "/src/uDP://239.1.1.9:05010/dst/udp://127.0.0.1:6010/go"})
            CHILD_STREQ(get(PORT, p), answer(200));
        CHILD_HAS(t.output(), "has 3 clients now");
        CHILD_CHECK(udp_send("239.1.1.9", 5010, "once"));
        CHILD_STREQ(udp_recv(rx, 3000), "once");
        CHILD_STREQ(udp_recv(rx, 300), "");
        CHILD_STREQ(get(PORT, "/src/Udp://239.1.1.9:5010/dst/127.0.0.1:6010/kill"), answer(200));
        CHILD_STREQ(get(PORT, "/src/239.1.1.9:5010/dst/127.0.0.1:6010/kill"), answer(404));
        close(rx);

        // A client id names the task; options reach it.
        CHILD_STREQ(get(PORT, path(5006, 6006, "?cid=abc&TTL=5&opkt=A1500")), answer(200));
        CHILD_HAS(t.output(), "Task [abc] is relaying data (ttl=5;opkt=A1500)");
        CHILD_STREQ(get(PORT, path(5007, 6007, "?cid=abc")), answer(200));
        CHILD_HAS(t.output(), "duplicate request matches task [abc], [udp://127.0.0.1:5006]");
        CHILD_STREQ(get(PORT, "/src/x:1/dst/y:2/kill?cid=abc"), answer(200));
        CHILD_CHECK(t.wait_for("Task [abc]: ENDED"));

        // A forged log line in a client id is escaped.
        CHILD_STREQ(get(PORT, path(5008, 6008, "?cid=a%0AFORGED")), answer(200));
        CHILD_CHECK(t.output().find("\nFORGED") == std::string::npos);

        CHILD_CHECK(t.stop() == 0);
        return 0;
    }));
}

// A source-specific IPv6 source however written: in brackets, whatever its
// last group, with a port or none, or bare.  Each spelling names the one
// relay, which takes what the source sends to the group and nothing that
// another sender does.
//
//   private namespace
//   mc6  fd00:6::a, fd00:6::1  <-- veth -->  mc6p (IPv6 off)
//   tavel: [ff3e::9:2]:5020 (joined on mc6 for fd00:6::1) --> 127.0.0.1:6020
TEST(tavel, Ipv6SourceSpecificSources)
{
    EXPECT_CHILD_OK(in_ns([] {
        if (!add_ipv6_mcast_ifc("mc6") ||
            !run_quiet("ip -6 addr add fd00:6::1/64 dev mc6 nodad"))
            return CHILD_SKIP;
        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, "multicast_ifc_in = \"mc6\";"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());

        const int rx = udp_bind(6020);
        CHILD_CHECK(rx >= 0);
        const char *const spellings[] = {"[fd00:6::1]", "fd00:6::1", "[fd00:6:0:0:0:0:0:1]",
                                         "[fd00:6::1]:0", "[fd00:6::1]:4000"};
        for (const char *src : spellings)
            CHILD_STREQ(get(PORT, std::string("/src/udp://") + src +
                                      "@[ff3e::9:2]:5020/dst/127.0.0.1:6020/go"),
                        answer(200));
        CHILD_HAS(t.output(), "has 5 clients now");

        // Senders bound to each address of mc6, sending through it.
        const auto send_from = [](const char *from, const std::string &data) {
            const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (fd < 0) return false;
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            inet_pton(AF_INET6, from, &a.sin6_addr);
            sockaddr_in6 g{};
            g.sin6_family = AF_INET6;
            g.sin6_port = htons(5020);
            inet_pton(AF_INET6, "ff3e::9:2", &g.sin6_addr);
            const int ifx = int(if_nametoindex("mc6"));
            const bool ok =
                bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
                setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &ifx, sizeof ifx) == 0 &&
                sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&g),
                       sizeof g) == ssize_t(data.size());
            close(fd);
            return ok;
        };
        // The membership may take a moment after the answer: resend,
        // bounded, until one arrives.
        std::string got;
        for (int i = 0; i < 50 && got.empty(); ++i) {
            CHILD_CHECK(send_from("fd00:6::a", "other"));
            CHILD_CHECK(send_from("fd00:6::1", "ssm"));
            got = udp_recv(rx, 100);
        }
        CHILD_STREQ(got, "ssm");
        for (std::string more; !(more = udp_recv(rx, 100)).empty();) CHILD_STREQ(more, "ssm");

        CHILD_STREQ(get(PORT, "/src/udp://[fd00:6::1]@[ff3e::9:2]:5020/dst/127.0.0.1:6020/kill"),
                    answer(200));
        CHILD_STREQ(get(PORT, "/src/udp://fd00:6::1@[ff3e::9:2]:5020/dst/127.0.0.1:6020/kill"),
                    answer(404));
        close(rx);
        CHILD_CHECK(t.stop() == 0);
        return 0;
    }));
}

// The lines of text that hold a byte no log line may carry raw: a control
// character other than the line end and the tab (the configuration dump
// indents with tabs), DEL, or a byte above ASCII; each line shown with
// those bytes in hex.
std::string raw_lines(const std::string &text)
{
    std::string bad;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\n') continue;
        const std::string line = text.substr(start, i - start);
        start = i + 1;
        bool raw = false;
        const auto odd = [](unsigned char c) { return (c < 0x20 && c != '\t') || c >= 0x7f; };
        for (unsigned char c : line) raw = raw || odd(c);
        if (!raw) continue;
        for (unsigned char c : line) {
            char hex[8];
            snprintf(hex, sizeof(hex), odd(c) ? "<%02x>" : "%c", c);
            bad += hex;
        }
        bad += "\n";
    }
    return bad;
}

// Control bytes and bytes above ASCII sent raw (not %-encoded) reach the
// log, at every level, only as escapes: in header lines the request is
// served; in the method, the path, the query or the version it is refused.
// (The answers the daemon logs at DEBUG are its own text, with their CRs.)
TEST(tavel, RawClientBytesAreEscapedInTheLog)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, "", "level = \"debug\";"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());

        CHILD_STREQ(http(PORT, "GET " + path(5601, 6601) +
                                   " HTTP/1.1\r\nHost: a\rFORGED\x1b\r\n"
                                   "User-Agent: \x01\xff\t!\r\n\r\n"),
                    answer(200));
        CHILD_CHECK(t.wait_for("is relaying data"));
        for (const std::string &rq : std::vector<std::string>{
                 "G\x1bT / HTTP/1.1\r\n\r\n",
                 "GET /bad\x1b\x7f\xfe/x HTTP/1.1\r\n\r\n",
                 "GET " + path(5602, 6602) + " \x1bHTTP/1.1\r\n\r\n",
                 "GET /src/127.0.0.1:56\x1b" "03/dst/127.0.0.1:6603 HTTP/1.1\r\n\r\n",
                 "GET " + path(5604, 6604) + "\xc3\xa9 HTTP/1.1\r\n\r\n",
                 "GET " + path(5605, 6605) + "?cid=r\x1b[31m\x7f\xc3\xa9 HTTP/1.1\r\n\r\n",
                 // DEL alone, in the source and in the destination.
                 "GET /src/127.0.0.1:56\x7f" "06/dst/127.0.0.1:6606 HTTP/1.1\r\n\r\n",
                 "GET " + path(5607, 6607) + "\x7f HTTP/1.1\r\n\r\n",
             })
            CHILD_STREQ(http(PORT, rq), answer(400));
        CHILD_CHECK(t.stop() == 0);

        std::string out = t.output();
        for (int code : {200, 400})
            for (size_t at; (at = out.find(answer(code))) != std::string::npos;)
                out.erase(at, answer(code).size());
        CHILD_STREQ(raw_lines(out), "");
        CHILD_HAS(out, "HTTP/1.1\\r\\nHost: a\\rFORGED\\x1b\\r\\nUser-Agent: \\x01\\xff\\t!\\r\\n\\r\\n");
        CHILD_HAS(out, "HTTP [G\\x1bT] is NOT supported");
        CHILD_HAS(out, "parsing request data [bad\\x1b\\x7f\\xfe/x]");
        CHILD_HAS(out, "got [\\x1bHTTP/1.1]");
        CHILD_HAS(out, "unprintable byte in request target: src=[127.0.0.1:56\\x1b03]");
        CHILD_HAS(out, "dst=[127.0.0.1:6604\\xc3\\xa9]");
        CHILD_HAS(out, "src=[127.0.0.1:5605], dst=[127.0.0.1:6605], query=[cid=r\\x1b[31m\\x7f\\xc3\\xa9]");
        CHILD_CHECK(out.find("Task [U0002]") == std::string::npos);  // no task of a refused one
        return 0;
    }));
}

// Links under a listener lowmark (64) larger than the byte that ends them.
TEST(tavel, KeepAliveLinks)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        std::string conf = config(PORT, "");
        conf.replace(conf.find("}; max_to_accept"), 0, "lowmark = 64; ");
        write_file(d.file("tavel.conf"), conf);
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());

        // A link: duplicates and drop refused, kill closes the link.
        int ka;
        CHILD_STREQ(get_keep(path(5101, 6101, "/keep-alive"), &ka), answer(200));
        CHILD_STREQ(get(PORT, path(5101, 6101)), answer(403));
        CHILD_STREQ(get(PORT, path(5101, 6101, "/keep-alive")), answer(403));
        CHILD_STREQ(get(PORT, path(5101, 6101, "/drop")), answer(403));
        CHILD_CHECK(!closed_within(ka, 200));
        CHILD_STREQ(get(PORT, path(5101, 6101, "/kill")), answer(200));
        CHILD_CHECK(closed_within(ka, 3000));
        close(ka);

        // The task ends when its link closes, resets or sends a byte.
        int fds[3];
        CHILD_STREQ(get_keep(path(5102, 6102, "/keep-alive"), &fds[0]), answer(200));
        CHILD_STREQ(get_keep(path(5103, 6103, "/keep-alive"), &fds[1]), answer(200));
        CHILD_STREQ(get_keep(path(5104, 6104, "/keep-alive"), &fds[2]), answer(200));
        close(fds[0]);
        reset_close(fds[1]);
        CHILD_CHECK(send(fds[2], "x", 1, MSG_NOSIGNAL) == 1);
        for (int p : {5102, 5103, 5104})
            CHILD_CHECK(eventually(
                [&] { return get(PORT, path(p, p + 1000, "/drop")) == answer(404); }, 3000));
        close(fds[2]);

        // A keep-alive request that joins a task without a link keeps its
        // connection as that client's link: its end drops the client.
        CHILD_STREQ(get(PORT, path(5105, 6105)), answer(200));
        int join;
        CHILD_STREQ(get_keep(path(5105, 6105, "/keep-alive"), &join), answer(200));
        CHILD_HAS(t.output(), "has 2 clients now");
        CHILD_CHECK(!closed_within(join, 300));
        close(join);
        CHILD_CHECK(t.wait_for("link to [U0005] ended"));
        CHILD_STREQ(get(PORT, path(5105, 6105, "/drop")), answer(200));
        CHILD_CHECK(t.wait_for("Task [U0005]: ENDED"));

        // One byte on a joined client's link ends that link at once.
        CHILD_STREQ(get(PORT, path(5107, 6107)), answer(200));
        CHILD_STREQ(get_keep(path(5107, 6107, "/keep-alive"), &join), answer(200));
        CHILD_CHECK(send(join, "x", 1, MSG_NOSIGNAL) == 1);
        CHILD_CHECK(t.wait_for("link to [U0006] ended (data or end of stream)", 3000));
        CHILD_CHECK(closed_within(join, 3000));
        close(join);

        // Killing a task closes the links of the clients that joined it.
        CHILD_STREQ(get(PORT, path(5106, 6106)), answer(200));
        CHILD_STREQ(get_keep(path(5106, 6106, "/keep-alive"), &join), answer(200));
        CHILD_STREQ(get(PORT, path(5106, 6106, "/kill")), answer(200));
        CHILD_CHECK(closed_within(join, 3000));
        close(join);

        CHILD_CHECK(t.stop() == 0);
        return 0;
    }));
}

// Heads are framed and served whatever the listener's lowmark (200 here,
// longer than most of them), and user_request_timeout bounds a request.
TEST(tavel, HeadFraming)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        std::string conf = config(PORT, "idle_task_timeout = 500;");
        conf.replace(conf.find("}; max_to_accept"), 0, "lowmark = 200; ");
        conf.replace(conf.find("max_to_accept"), 0, "user_request_timeout = 1000; ");
        write_file(d.file("tavel.conf"), conf);
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());

        // A head in pieces, and one with bytes after it.
        const std::string rq = "GET " + path(5201, 6201) + " HTTP/1.1\r\nHost: t\r\n\r\n";
        int fd = connect_to(PORT);
        send(fd, rq.data(), 10, MSG_NOSIGNAL);
        sleep_ms(100);
        send(fd, rq.data() + 10, rq.size() - 10, MSG_NOSIGNAL);
        CHILD_STREQ(read_all(fd, 3000), answer(200));
        close(fd);
        CHILD_STREQ(http(PORT, "GET " + path(5202, 6202) + " HTTP/1.1\r\n\r\nEXTRA"), answer(200));
        CHILD_HAS(t.output(), "request has tail data, dismissing it");
        // A keep-alive head with a byte after it in one segment: the byte
        // would end the share at once, so nothing is made.
        fd = connect_to(PORT);
        const std::string ka = "GET " + path(5204, 6204, "/keep-alive") + " HTTP/1.1\r\n\r\nX";
        CHILD_CHECK(send(fd, ka.data(), ka.size(), MSG_NOSIGNAL) == ssize_t(ka.size()));
        CHILD_STREQ(read_all(fd, 1000), answer(400));
        close(fd);
        CHILD_HAS(t.output(), "keep-alive request with 1 bytes after its head, refused");
        CHILD_STREQ(get(PORT, path(5204, 6204, "/drop")), answer(404));

        // Over 1023 bytes without an end of head: refused with 400.
        CHILD_STREQ(http(PORT, "GET /" + std::string(1100, 'a')), answer(400));
        // 200 clients that reset at once.
        std::vector<int> many;
        for (int i = 0; i < 200; ++i) {
            const int c = connect_to(PORT);
            CHILD_CHECK(c >= 0);
            send(c, "GET /src", 8, MSG_NOSIGNAL);
            many.push_back(c);
        }
        for (int c : many) reset_close(c);
        CHILD_STREQ(get(PORT, path(5203, 6203)), answer(200));

        // A silent client is removed by the request sweep, unanswered,
        // within half its time-out more.
        fd = connect_to(PORT);
        send(fd, "GET /src/", 9, MSG_NOSIGNAL);
        CHILD_CHECK(!closed_within(fd, 800));
        CHILD_CHECK(closed_within(fd, 700));
        CHILD_STREQ(read_all(fd, 100), "");
        close(fd);
        CHILD_HAS(t.output(), "TIME-OUT URQ [");

        CHILD_CHECK(t.stop() == 0);
        return 0;
    }));
}

TEST(tavel, StaticTaskListRelaysAndReports)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string rep = d.file("rep.json");
        write_file(d.file("tasks"), "# two tasks\n"
                                    "udp://127.0.0.1:5301 udp://127.0.0.1:6301 news\n"
                                    "udp://127.0.0.1:5302\tudp://127.0.0.1:6302\tTTL=3;CID=two\n");
        write_file(d.file("tavel.conf"),
                   config(PORT, "task_list = \"" + d.file("tasks") + "\";\nreport: { path = \"" +
                                    rep + "\"; };"));
        const int rx = udp_bind(6301);
        CHILD_CHECK(rx >= 0);
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 2; }, 3000));
        std::string report = slurp(rep);
        CHILD_HAS(report, "\"cid\": \"news\"");
        CHILD_HAS(report, "\"cid\": \"two\"");
        CHILD_CHECK(udp_send("127.0.0.1", 5301, "hello"));
        CHILD_STREQ(udp_recv(rx, 3000), "hello");

        // A client id with a quote keeps the report valid JSON; the report
        // follows the task set within about a second.
        CHILD_STREQ(get(PORT, path(5303, 6303, "?cid=q%22uote")), answer(200));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 3; }, 3000));
        report = slurp(rep);
        CHILD_CHECK(is_valid_json(report));
        CHILD_HAS(report, "\"cid\": \"q\\\"uote\"");
        // An unchanged task set is not rewritten.
        sleep_ms(1500);
        CHILD_STREQ(slurp(rep), report);
        CHILD_STREQ(get(PORT, "/src/x:1/dst/y:2/kill?cid=news"), answer(200));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 2; }, 3000));
        CHILD_CHECK(t.stop() == 0);
        close(rx);

        // A bad line stops start-up with its error, also where good lines
        // follow it.
        const struct {
            const char *lines, *error;
        } bad_lists[] = {
            {"udp://127.0.0.1:5301 udp://127.0.0.1:6301\n\n", "missing destination"},
            {"udp://127.0.0.1:5301 http://127.0.0.1:6301/\n"
             "udp://127.0.0.1:5302 udp://127.0.0.1:6302\n",
             "destination URL must be UDP-based"},
        };
        for (const auto &b : bad_lists) {
            write_file(d.file("tasks"), b.lines);
            Daemon bad(d.path());
            CHILD_CHECK(bad.start({"-T", "-C", d.file("tavel.conf")}));
            CHILD_CHECK(bad.wait_exit() == 1);
            CHILD_HAS(bad.output(), b.error);
        }
        return 0;
    }));
}

// A second instance with the first's report path whose listener cannot
// bind (its port is held by a socket without SO_REUSEPORT; the first
// daemon's own port it would share) exits with a failure and leaves the
// running daemon's report file, which the first removes when it quits.
TEST(tavel, SecondInstanceLeavesTheReportFile)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string rep = d.file("rep.json");
        const std::string report = "report: { path = \"" + rep + "\"; };";
        write_file(d.file("tavel.conf"), config(PORT, report));
        Daemon first(d.path());
        CHILD_CHECK(first.start_fg());
        CHILD_CHECK(file_exists(rep));

        const int blocker = listen_loopback(PORT + 1, 1);
        CHILD_CHECK(blocker >= 0);
        TempDir d2;
        write_file(d2.file("tavel.conf"), config(PORT + 1, report));
        Daemon second(d2.path());
        CHILD_CHECK(second.start({"-T", "-C", d2.file("tavel.conf")}));
        const int rc = second.wait_exit();
        close(blocker);
        CHILD_CHECK(rc > 0);
        CHILD_HAS(second.output(), "EXIT(" + std::to_string(rc) + ")");
        CHILD_CHECK(second.output().find("STARTING") == std::string::npos);
        CHILD_CHECK(file_exists(rep));

        // The first still serves, and its report follows it.
        CHILD_STREQ(get(PORT, path(5701, 6701)), answer(200));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 1; }, 3000));
        CHILD_HAS(slurp(rep), "\"pid\": " + std::to_string(first.pid()) + ",");
        CHILD_CHECK(first.stop() == 0);
        CHILD_CHECK(!file_exists(rep));
        return 0;
    }));
}

// Takes what waits on fd, adding for each datagram the real-time ms at
// which the kernel queued it (SO_TIMESTAMPNS).
void take_stamped(int fd, std::vector<double> *at)
{
    char buf[2048], ctl[CMSG_SPACE(sizeof(timespec))];
    for (;;) {
        iovec iov{buf, sizeof(buf)};
        msghdr m{};
        m.msg_iov = &iov, m.msg_iovlen = 1, m.msg_control = ctl, m.msg_controllen = sizeof(ctl);
        if (recvmsg(fd, &m, MSG_DONTWAIT) < 0) return;
        for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec t;
            memcpy(&t, CMSG_DATA(c), sizeof(t));
            at->push_back(double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6);
        }
    }
}

// The report's modification time in ms of the real-time clock, -1 when absent.
double mtime_ms(const std::string &file)
{
    struct stat st;
    if (stat(file.c_str(), &st) != 0) return -1;
    return double(st.st_mtim.tv_sec) * 1e3 + double(st.st_mtim.tv_nsec) / 1e6;
}

double real_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// A forced refresh rewrites the report every force_refresh_sec (+-10 %)
// with nothing else waking the loop, also with an idle time-out set.
TEST(tavel, ForcedReportRefresh)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string rep = d.file("rep.json");
        write_file(d.file("tavel.conf"),
                   config(PORT, "idle_task_timeout = 3000;\nreport: { path = \"" + rep +
                                    "\"; force_refresh_sec = 1; };"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        std::vector<double> writes{mtime_ms(rep)};
        CHILD_CHECK(eventually(
            [&] {
                if (const double m = mtime_ms(rep); m != writes.back()) writes.push_back(m);
                return writes.size() == 5;
            },
            9000));
        for (size_t i = 1; i < writes.size(); ++i)
            CHILD_CHECK(std::abs(writes[i] - writes[i - 1] - 1000) <= 100);
        CHILD_CHECK(is_valid_json(slurp(rep)));
        CHILD_CHECK(t.stop() == 0);
        return 0;
    }));
}

// The report's input figure, -1 when absent.
double report_avgi(const std::string &report)
{
    const size_t p = report.find("\"avgIkps\": ");
    return p == std::string::npos ? -1.0 : atof(report.c_str() + p + 11);
}

// With a forced refresh the report's rates follow the traffic: up while a
// source sends, down to 0 within the meters' window (10 x 100 ms) and a
// refresh once it stops, while the task (without an idle time-out) stays.
TEST(tavel, ReportRatesFallToZeroWhenTheSourceStops)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string rep = d.file("rep.json");
        write_file(d.file("tavel.conf"),
                   config(PORT, "idle_task_timeout = -1;\nreport: { path = \"" + rep +
                                    "\"; force_refresh_sec = 1; };"));
        const int rx = udp_bind(6801);
        CHILD_CHECK(rx >= 0);
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        CHILD_STREQ(get(PORT, path(5801, 6801)), answer(200));
        const std::string pkt(1316, 'G');
        CHILD_CHECK(eventually(
            [&] {
                for (int i = 0; i < 10; ++i) udp_send("127.0.0.1", 5801, pkt);
                return report_avgi(slurp(rep)) > 1.0;
            },
            10000));
        CHILD_CHECK(udp_recv(rx, 1000).size() == pkt.size());
        CHILD_CHECK(eventually([&] { return report_avgi(slurp(rep)) == 0.0; }, 5000));
        const std::string report = slurp(rep);
        CHILD_HAS(report, "\"avgIkps\": 0.00, \"avgOkps\": 0.00");
        CHILD_CHECK(report_tasks(report) == 1);
        CHILD_CHECK(t.stop() == 0);
        close(rx);
        return 0;
    }));
}

double report_avgo(const std::string &report)
{
    const size_t p = report.find("\"avgOkps\": ");
    return p == std::string::npos ? -1.0 : atof(report.c_str() + p + 11);
}

// A steady 500 KiB/s through one relay reads within 5 % of the relayed
// rate over the meters' window in three reports in four, and within 30 %
// in every one (read every 200 ms for 5 s; the rate the relay saw is taken
// from when its datagrams reached the receiver, so that a busy machine that
// delays the relay does not count against it), at the default meters and at a window shorter than the update
// period; once the source stops, the rates fall to 0.  Bursts of 50
// datagrams every 1.2 s, silent for longer than the window in between,
// read at most one burst over the window: the silence counts as measured
// time (the window covers nine spans and the passed part of the tenth).
TEST(tavel, ReportRatesFollowASteadyFlow)
{
    struct flow {
        const char *meters;
        double window;   // ms
        double burst_ms; // 0: steady
    };
    const flow flows[] = {
        {"", 1000.0, 0},
        {"abkt_count = 5; abkt_ms = 50; abkt_upd_ms = 700;", 250.0, 0},
        {"", 1000.0, 1200},
    };
    for (const flow &f : flows) {
        const std::string meters = f.meters;
        const double window = f.window;
        EXPECT_CHILD_OK(in_ns([&] {
            TempDir d;
            const std::string rep = d.file("rep.json");
            write_file(d.file("tavel.conf"),
                       config(PORT, "report: { path = \"" + rep + "\"; force_refresh_sec = 1; " +
                                        meters + " };"));
            const int rx = udp_bind(6811), on = 1, room = 8 << 20;
            CHILD_CHECK(rx >= 0 &&
                        setsockopt(rx, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) == 0 &&
                        setsockopt(rx, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) == 0);
            Daemon t(d.path());
            CHILD_CHECK(t.start_fg());
            CHILD_STREQ(get(PORT, path(5811, 6811)), answer(200));
            // Paced 1316-byte datagrams; sent[i]: when datagram i went out.
            const std::string pkt(1316, 'R');
            const double start = real_ms(), kib = double(pkt.size()) / 1024;
            const double burst = 50 * kib / (0.9 * window) * 1000;  // KiB/s, at most
            std::vector<double> sent, relayed;
            size_t checked = 0, near = 0;  // reports read, within 5 % of the flow
            double highest = 0;
            // From a window and a refresh into the flow on.
            for (double seen = 0, next = start + 2100; real_ms() < start + 7100; sleep_ms(1)) {
                if (f.burst_ms == 0) {
                    while (double(sent.size() + 1) * kib <= (real_ms() - start) / 1000 * 500) {
                        CHILD_CHECK(udp_send("127.0.0.1", 5811, pkt));
                        sent.push_back(real_ms());
                    }
                } else if (real_ms() >= start + double(sent.size() / 50) * f.burst_ms) {
                    for (int i = 0; i < 50; ++i) {
                        CHILD_CHECK(udp_send("127.0.0.1", 5811, pkt));
                        sent.push_back(real_ms());
                    }
                }
                take_stamped(rx, &relayed);
                if (real_ms() < next) continue;
                next += 200;
                const double m = mtime_ms(rep);
                if (m == seen) continue;
                seen = m;
                take_stamped(rx, &relayed);
                const double want =
                    double(std::count_if(relayed.begin(), relayed.end(), [&](double at) {
                        return at > m - window && at <= m;
                    })) * kib / window * 1000;
                const std::string report = slurp(rep);
                const double in = report_avgi(report), out = report_avgo(report);
                ++checked;
                if (f.burst_ms > 0) {
                    if (in > burst * 1.01 || out > burst * 1.01)
                        fprintf(stderr, "bursts of %.1f KiB, report in %.2f out %.2f\n",
                                50 * kib, in, out);
                    CHILD_CHECK(in <= burst * 1.01 && out <= burst * 1.01);
                    highest = std::max(highest, in);
                    continue;
                }
                const double off = std::max(std::abs(in / want - 1), std::abs(out / want - 1));
                if (off > 0.05)
                    fprintf(stderr, "relayed %.1f KiB/s, report in %.2f out %.2f\n", want, in,
                            out);
                // The meters count at the loop's time of a pass and the
                // receiver stamps each datagram when it is sent: a pass the
                // machine stalls shifts the two apart.  So a reading may
                // stray, but never far, and three in four stay within 5 %
                // (a meter off by a bucket in ten would miss most).
                CHILD_CHECK(off <= 0.3);
                near += off <= 0.05;
            }
            CHILD_CHECK(checked >= 4);
            CHILD_CHECK(f.burst_ms > 0 || near * 4 >= checked * 3);
            // A burst in the window reads as one: the meter is not stuck at 0.
            if (f.burst_ms > 0) CHILD_CHECK(highest >= 50 * kib / window * 1000 * 0.95);
            CHILD_CHECK(eventually([&] { return report_avgi(slurp(rep)) == 0.0; }, 3000));
            CHILD_CHECK(t.stop() == 0);
            close(rx);
            return 0;
        }));
    }
}

// A report write that fails leaves the report out of date: once the
// directory is back, the next due time writes it.
TEST(tavel, FailedReportWriteIsRetried)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string dir = d.file("rep"), rep = d.file("rep/r.json");
        CHILD_CHECK(mkdir(dir.c_str(), 0755) == 0);
        write_file(d.file("tavel.conf"), config(PORT, "report: { path = \"" + rep + "\"; };"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        CHILD_CHECK(unlink(rep.c_str()) == 0 && rmdir(dir.c_str()) == 0);
        CHILD_STREQ(get(PORT, path(5501, 6501)), answer(200));
        CHILD_CHECK(t.wait_for("report_tasks_json: fopen(" + rep + ") ERROR(", 3000));
        CHILD_CHECK(mkdir(dir.c_str(), 0755) == 0);
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 1; }, 3000));
        CHILD_CHECK(t.stop() == 0);
        CHILD_CHECK(!file_exists(rep));
        return 0;
    }));
}

// The sample configuration relays as shipped: its static task carries
// 127.0.0.1:5000 to 127.0.0.1:6000, its listener takes requests on 8080,
// its report lists both tasks and is rewritten every second.
TEST(tavel, SampleConfigurationRelays)
{
    // The sample writes /tmp/tavel-sample: a private /tmp keeps a sample
    // that someone runs from its report being removed under it.
    EXPECT_CHILD_OK(in_ns([] {
        if (!private_tmp()) return CHILD_SKIP;
        TempDir d;
        const std::string src = source_dir();
        setenv("TAVEL_BIN", tavel_path().c_str(), 1);
        const int rx = udp_bind(6000);
        CHILD_CHECK(rx >= 0);
        Daemon t(d.path());
        CHILD_CHECK(t.start({}, src + "/scripts/run-sample"));
        CHILD_CHECK(t.wait_for(" STARTING. PID="));
        CHILD_CHECK(eventually(
            [&] {
                udp_send("127.0.0.1", 5000, std::string(1316, 'G'));
                return udp_recv(rx, 100).size() == 1316;
            },
            3000));
        const std::string rq = "GET /src/127.0.0.1:5001/dst/127.0.0.1:6001 HTTP/1.1\r\n\r\n";
        CHILD_STREQ(http(8080, rq), answer(200));
        const std::string rep = "/tmp/tavel-sample/report.json";
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 2; }, 3000));
        CHILD_HAS(slurp(rep), "\"cid\": \"sample\", \"key\": \"sample\", \"online\": \"yes\"");
        // The report is rewritten every second, changed or not.
        const std::string written = slurp(rep);
        CHILD_CHECK(eventually([&] { return slurp(rep) != written; }, 3500));
        CHILD_CHECK(t.stop() == 0);
        close(rx);
        return 0;
    }));
}

//   daemon A (agent socket 127.0.0.1:18790, route for 239.1.1.1)
//      -- keep-alive request --> daemon B (listener 18781)
//   B relays udp 127.0.0.1:5401 to A's receive address 127.0.0.1:7401,
//   A relays that to the group 239.1.1.1:5400 on lo.
TEST(tavel, AgentMessagesChainThroughASecondDaemon)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir da, db;
        const int port_b = PORT + 1;
        write_file(db.file("tavel.conf"),
                   config(port_b, "report: { path = \"" + db.file("rep.json") + "\"; };"));
        write_file(da.file("routes"), "%239.1.1.1:5400 127.0.0.1:" + std::to_string(port_b) +
                                          " 127.0.0.1:5401 127.0.0.1:7401\n");
        write_file(da.file("tavel.conf"),
                   config(PORT, "route_list = \"" + da.file("routes") +
                                    "\";\noxa: { udp-listener = \"127.0.0.1:18790\"; };\n"
                                    "report: { path = \"" + da.file("rep.json") + "\"; };"));
        Daemon b(db.path()), a(da.path());
        CHILD_CHECK(b.start_fg());
        CHILD_CHECK(a.start_fg());
        // The lists are loaded after the STARTING line.
        CHILD_CHECK(a.wait_for("1 redirection routes loaded from ["));
        const int rx = udp_bind(5400, "239.1.1.1");
        CHILD_CHECK(rx >= 0);

        CHILD_CHECK(udp_send("127.0.0.1", 18790, "JOIN UDP://239.1.1.1\n"));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(db.file("rep.json"))) == 1; },
                               5000));
        CHILD_HAS(slurp(db.file("rep.json")), "\"keepAlive\": \"yes\"");
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(da.file("rep.json"))) == 1; },
                               5000));
        // A second JOIN, however spelt, changes nothing; a group without a
        // route is refused.
        CHILD_CHECK(udp_send("127.0.0.1", 18790, "JOIN udp://239.1.1.1"));
        CHILD_CHECK(udp_send("127.0.0.1", 18790, "JOIN UDP://239.9.9.9"));
        CHILD_CHECK(a.wait_for("already exists, OXA request ignored"));
        CHILD_CHECK(a.wait_for("no remote route for OXA source [UDP://239.9.9.9]"));

        CHILD_CHECK(eventually(
            [&] {
                udp_send("127.0.0.1", 5401, "chained");
                return udp_recv(rx, 200) == "chained";
            },
            5000));

        // A client id spelling the agent task's key addresses no task.
        for (const char *cmd : {"drop", "kill"})
            CHILD_STREQ(get(PORT, std::string("/src/x:1/dst/y:2/") + cmd +
                                      "?cid=UDP://239.1.1.1%7C%23OXA"),
                        answer(404));
        CHILD_CHECK(report_tasks(slurp(da.file("rep.json"))) == 1);

        CHILD_CHECK(udp_send("127.0.0.1", 18790, "LEAVE Udp://239.1.1.1"));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(da.file("rep.json"))) == 0; },
                               5000));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(db.file("rep.json"))) == 0; },
                               5000));
        CHILD_CHECK(a.stop() == 0);
        CHILD_CHECK(b.stop() == 0);
        close(rx);
        return 0;
    }));
}

}  // namespace
