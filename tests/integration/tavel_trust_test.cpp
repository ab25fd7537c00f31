// What a root daemon trusts, run as the real program in private
// namespaces: paths planted as links in a directory others may write, the
// configured user in the foreground and the background, a second instance
// on the same configuration, a unicast source asked for twice, and shared
// memory left by daemons that died.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json_check.h"
#include "netns.h"
#include "support.h"
#include "tavel_harness.h"

using namespace tvh;

namespace {

constexpr int PORT = 18830;

// True when part is in text; says what is missing on stderr otherwise.
bool has(const std::string &text, const std::string &part)
{
    if (text.find(part) != std::string::npos) return true;
    fprintf(stderr, "[%s] not found in:\n%s\n", part.c_str(), text.c_str());
    return false;
}

// A child in a fresh network namespace with a longer time limit.
int in_ns(const std::function<int()> &body, int ms = 90000)
{
    return run_in_child(
        [&] {
            if (!enter_private_netns()) return CHILD_SKIP;
            return body();
        },
        ms);
}

std::string path(int src, int dst, const std::string &tail = "")
{
    return "/src/127.0.0.1:" + std::to_string(src) + "/dst/127.0.0.1:" + std::to_string(dst) +
           tail;
}

ino_t inode_of(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

bool is_link(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The numbers of a "Uid:", "Gid:" or "Groups:" line of /proc/<pid>/status.
std::vector<long> status_ids(pid_t pid, const std::string &key)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::vector<long> ids;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) != 0) continue;
        std::istringstream ss(line.substr(key.size() + 1));
        for (long v; ss >> v;) ids.push_back(v);
    }
    return ids;
}

// The names in a directory, sorted.
std::vector<std::string> dir_names(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *dp = opendir(dir.c_str())) {
        while (const dirent *e = readdir(dp))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(dp);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A root-only file that must keep its content.
std::string plant_victim(const TempDir &d, const std::string &name, const std::string &text)
{
    const std::string victim = d.file(name);
    write_file(victim, text);
    chmod(victim.c_str(), 0600);
    return victim;
}

// In a directory anyone may write, links planted at every name a daemon
// could open: the temporary report names of the next seconds, the pid file
// and the log.  The report is written around them, and the pid file and
// the log are refused; no victim changes.
TEST(tavel_trust, PlantedLinksAreNeverWritten)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        const std::string pub = d.file("pub");
        CHILD_CHECK(mkdir(pub.c_str(), 0777) == 0 && chmod(pub.c_str(), 01777) == 0);
        const std::string victim = plant_victim(d, "victim", "root only\n");
        const std::string rep = pub + "/rep.json";
        write_file(d.file("tavel.conf"), config(PORT, "report: { path = \"" + rep + "\"; };"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const std::string pid = std::to_string(t.pid());
        const time_t now = time(nullptr);
        for (time_t s = now - 1; s < now + 8; ++s)
            CHILD_CHECK(symlink(victim.c_str(),
                                (pub + "/tvr" + pid + "." + std::to_string(s)).c_str()) == 0);
        CHILD_CHECK(get(PORT, path(5101, 6101)) == answer(200));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 1; }, 5000));
        CHILD_CHECK(!is_link(rep));
        CHILD_CHECK(is_valid_json(slurp(rep)));
        CHILD_CHECK(get(PORT, path(5102, 6102)) == answer(200));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 2; }, 5000));
        CHILD_CHECK(slurp(victim) == "root only\n");
        CHILD_CHECK(t.stop() == 0);

        // The pid file and the log as links, in the background and in the
        // foreground, and the log as a link to a file that is not empty, or
        // as a FIFO: start-up stops at once with a line naming the path,
        // and nothing is moved aside.
        const std::string empty = plant_victim(d, "empty", "");
        const std::string pidf = pub + "/tavel.pid", logf = pub + "/tavel.log";
        const std::string logv = pub + "/full.log", fifo = pub + "/fifo.log";
        CHILD_CHECK(symlink(victim.c_str(), pidf.c_str()) == 0);
        CHILD_CHECK(symlink(empty.c_str(), logf.c_str()) == 0);
        CHILD_CHECK(symlink(victim.c_str(), logv.c_str()) == 0);
        CHILD_CHECK(mkfifo(fifo.c_str(), 0666) == 0);
        const std::vector<std::string> planted = dir_names(pub);
        const std::string own_log = "file = \"" + d.file("own.log") + "\"; enable_syslog = false;";
        const std::string own_pid = "pidfile = \"" + d.file("own.pid") + "\";";
        const struct {
            std::string log, rt, says;
            bool fg;
        } cases[] = {
            {own_log, "pidfile = \"" + pidf + "\";", "[" + pidf + "] is a symbolic link", false},
            {own_log, "pidfile = \"" + pidf + "\";", "[" + pidf + "] is a symbolic link", true},
            // Detached too, the log's failure reaches the starter, and so
            // does where to look.
            {"file = \"" + logf + "\"; enable_syslog = false;", own_pid,
             "fopen(" + logf + ")", false},
            {"file = \"" + logf + "\"; enable_syslog = false;", own_pid,
             "start-up FAILED (rc=1), see the lines above\n", false},
            {"file = \"" + logf + "\";", "", "fopen(" + logf + ")", true},
            {"file = \"" + logv + "\";", "", "fopen(" + logv + ")", true},
            {"file = \"" + fifo + "\";", "", "[" + fifo + "] is not a regular file", true},
        };
        for (const auto &c : cases) {
            write_file(d.file("links.conf"), config(PORT, "", c.log, c.rt));
            std::string out;
            std::vector<std::string> args{"-C", d.file("links.conf")};
            if (c.fg) args.insert(args.begin(), "-T");
            CHILD_CHECK(run_tavel(args, &out) > 0);
            CHILD_CHECK(has(out, c.says));
            CHILD_CHECK(out.find("STARTING") == std::string::npos);
            CHILD_CHECK(slurp(victim) == "root only\n");
            CHILD_CHECK(slurp(empty).empty());
            CHILD_CHECK(is_link(pidf) && is_link(logf) && is_link(logv));
            CHILD_CHECK(dir_names(pub) == planted);
            CHILD_CHECK(!file_exists(d.file("own.pid")));
        }
        return 0;
    }));
}

// run_as_user in the foreground (as a service manager runs the daemon)
// and in the background: the listener on a privileged port is bound
// first, then the process runs as the user with the user's group alone,
// and everything it writes belongs to that user.  A user that cannot be
// had stops start-up.
TEST(tavel_trust, RunsAsTheConfiguredUserInBothModes)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root switches users";
    const passwd *pw = getpwnam("nobody");
    if (!pw) GTEST_SKIP() << "no user nobody";
    const long uid = long(pw->pw_uid), gid = long(pw->pw_gid);
    EXPECT_CHILD_OK(in_ns([&] {
        TempDir d;
        const std::string run = d.file("run");
        CHILD_CHECK(mkdir(run.c_str(), 0755) == 0);
        CHILD_CHECK(chown(run.c_str(), uid_t(uid), gid_t(gid)) == 0);
        CHILD_CHECK(chmod(d.path().c_str(), 0755) == 0);
        const std::string rep = run + "/rep.json", pidf = run + "/tavel.pid";
        const std::string conf = "report: { path = \"" + rep + "\"; };";
        // A privileged port: bound while still root.
        std::string text = config(80, conf, "level = \"info\";", "run_as_user = \"nobody\";");
        write_file(d.file("tavel.conf"), text);
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const std::vector<long> ids{uid, uid, uid, uid}, gids{gid, gid, gid, gid};
        CHILD_CHECK(status_ids(t.pid(), "Uid") == ids);
        CHILD_CHECK(status_ids(t.pid(), "Gid") == gids);
        CHILD_CHECK(status_ids(t.pid(), "Groups") == std::vector<long>{gid});
        const std::string ug = std::to_string(uid) + "/" + std::to_string(gid);
        CHILD_CHECK(has(t.output(), "uid/gid = " + ug));
        CHILD_CHECK(get(80, path(5201, 6201)) == answer(200));
        CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 1; }, 5000));
        struct stat st;
        CHILD_CHECK(stat(rep.c_str(), &st) == 0 && long(st.st_uid) == uid);
        const std::string store = flag_store(t.output());
        CHILD_CHECK(!store.empty() && stat(store.c_str(), &st) == 0 && long(st.st_uid) == uid);
        CHILD_CHECK(t.stop() == 0);
        CHILD_CHECK(!file_exists(rep) && !file_exists(store));

        // The background: the pid file and the log are the user's too.  It
        // returns to the directory it was started in, which the user may
        // enter.
        CHILD_CHECK(chdir(d.path().c_str()) == 0);
        write_file(d.file("bg.conf"),
                   config(80, conf, "file = \"" + run + "/tavel.log\"; enable_syslog = false;",
                          "run_as_user = \"nobody\"; pidfile = \"" + pidf + "\";"));
        std::string out;
        CHILD_CHECK(run_tavel({"-C", d.file("bg.conf")}, &out) == 0);
        const pid_t pid = pid_t(atol(slurp(pidf).c_str()));
        CHILD_CHECK(pid > 0 && status_ids(pid, "Uid") == ids);
        CHILD_CHECK(status_ids(pid, "Groups") == std::vector<long>{gid});
        CHILD_CHECK(stat(pidf.c_str(), &st) == 0 && long(st.st_uid) == uid);
        CHILD_CHECK(stat((run + "/tavel.log").c_str(), &st) == 0 && long(st.st_uid) == uid);
        CHILD_CHECK(get(80, path(5202, 6202)) == answer(200));
        CHILD_CHECK(kill(pid, SIGTERM) == 0);
        CHILD_CHECK(eventually([&] { return kill(pid, 0) != 0; }, 10000));
        CHILD_CHECK(!file_exists(pidf));

        // No such user: start-up stops (the same step runs in the
        // background).
        write_file(d.file("bad.conf"),
                   config(80, "", "level = \"info\";", "run_as_user = \"no-such-user-tvl\";"));
        CHILD_CHECK(run_tavel({"-T", "-C", d.file("bad.conf")}, &out) > 0);
        CHILD_CHECK(has(out, "getpwnam: user no-such-user-tvl not found"));
        CHILD_CHECK(has(out, "cannot run as user [no-such-user-tvl]"));
        CHILD_CHECK(out.find("STARTING") == std::string::npos);
        return 0;
    }));
}

// A second daemon on the running one's configuration, in the foreground
// and in the background, fails at the taken ports before it opens the log
// (which would move the running one's aside), writes the report, or
// touches the pid file or the flag store.  The first runs once with a pid
// file and once without, where the ports alone stop the second.  The first
// keeps every control request and every agent message.
TEST(tavel_trust, SecondInstanceTouchesNothingOfTheFirst)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root runs in the background";
    EXPECT_CHILD_OK(in_ns([] {
        for (const bool with_pidfile : {true, false}) {
            TempDir d;
            const std::string logf = d.file("tavel.log"), rep = d.file("rep.json");
            const std::string pidf = d.file("tavel.pid"), conf = d.file("tavel.conf");
            write_file(d.file("routes"),
                       "%239.1.1.1:5400 127.0.0.1:1 127.0.0.1:5401 127.0.0.1:7401\n");
            // The relay never idles out, so its report stays as it was
            // however long the second's tries take on a busy machine.
            write_file(conf, config(PORT,
                                    "idle_task_timeout = -1;\nreport: { path = \"" + rep +
                                        "\"; };\nroute_list = \"" +
                                        d.file("routes") + "\";\noxa: { udp-listener = "
                                        "\"127.0.0.1:" + std::to_string(PORT + 1) + "\"; };",
                                    "file = \"" + logf + "\"; enable_syslog = false;",
                                    with_pidfile ? "pidfile = \"" + pidf + "\";" : ""));
            Daemon first(d.path());
            CHILD_CHECK(first.start_fg());
            const std::string pid = std::to_string(first.pid());
            const std::string store = flag_store(slurp(logf));
            CHILD_CHECK(!store.empty());
            CHILD_CHECK(get(PORT, path(5301, 6301)) == answer(200));
            CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 1; }, 5000));
            CHILD_CHECK(file_exists(store));
            CHILD_CHECK(!with_pidfile || slurp(pidf) == pid);
            const ino_t log_ino = inode_of(logf), rep_ino = inode_of(rep);
            const std::string report = slurp(rep);
            const std::vector<std::string> before = dir_names(d.path());
            const std::string own_pid = d.file("second.pid");
            const std::vector<std::string> second_args[] = {
                {"-T", "-C", conf},
                {"-C", conf, "-p", with_pidfile ? pidf : own_pid},
                {"-T", "-C", conf, "-l", d.file("second.log")},
                {"-T", "-C", conf, "-p", own_pid},
            };
            for (const auto &args : second_args) {
                std::string out;
                CHILD_CHECK(run_tavel(args, &out) > 0);
                CHILD_CHECK(has(out, "bind("));
                CHILD_CHECK(has(out, "failed to start URQ listener"));
                CHILD_CHECK(out.find("STARTING") == std::string::npos);
                CHILD_CHECK(inode_of(logf) == log_ino && inode_of(rep) == rep_ino);
                CHILD_CHECK(slurp(rep) == report);
                CHILD_CHECK(!with_pidfile || slurp(pidf) == pid);
                CHILD_CHECK(file_exists(store));
                // Nothing was made or moved aside (no second log or pid
                // file, no "tavel.log.<seconds>"): the directory holds what
                // it held.
                CHILD_CHECK(dir_names(d.path()) == before);
            }

            // Every create and its drop reach the first; so does every
            // agent message (the first logs each group it has no route
            // for).
            for (int i = 0; i < 20; ++i) {
                CHILD_CHECK(get(PORT, path(5400 + i, 6400)) == answer(200));
                CHILD_CHECK(get(PORT, path(5400 + i, 6400, "/drop")) == answer(200));
                CHILD_CHECK(
                    udp_send("127.0.0.1", PORT + 1, "JOIN UDP://239.9.9." + std::to_string(i)));
            }
            CHILD_CHECK(eventually(
                [&] {
                    const std::string log = slurp(logf);
                    for (int i = 0; i < 20; ++i)
                        if (log.find("[UDP://239.9.9." + std::to_string(i) + "]") ==
                            std::string::npos)
                            return false;
                    return true;
                },
                5000));
            CHILD_CHECK(has(slurp(logf), "STARTING. PID=" + pid));
            CHILD_CHECK(slurp(rep).find("\"pid\": " + pid + ",") != std::string::npos);
            CHILD_CHECK(first.stop() == 0);
            CHILD_CHECK(!file_exists(rep) && !file_exists(pidf) && !file_exists(store));
        }
        return 0;
    }));
}

// One unicast source address feeds one relay: a second relay from it
// cannot be made, and the first gets every datagram of a sender.  Relays
// from one multicast group share it and each gets every datagram.
TEST(tavel_trust, UnicastSourceFeedsOneRelay)
{
    EXPECT_CHILD_OK(in_ns([] {
        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, "idle_task_timeout = -1;"));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        const int rx1 = udp_bind(6501), rx2 = udp_bind(6502);
        CHILD_CHECK(rx1 >= 0 && rx2 >= 0);
        CHILD_CHECK(get(PORT, path(5501, 6501)) == answer(200));
        CHILD_CHECK(get(PORT, path(5501, 6502)) == answer(400));
        CHILD_CHECK(has(t.output(), "failed to open source [udp://127.0.0.1:5501]"));
        CHILD_CHECK(get(PORT, path(5501, 6502, "?cid=other")) == answer(400));

        const int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(5501);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int got = 0;
        for (int i = 0; i < 1000; ++i) {
            const std::string msg = "n" + std::to_string(i);
            CHILD_CHECK(sendto(tx, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&to),
                               sizeof(to)) == ssize_t(msg.size()));
            // Read as we go, so that no buffer on the way overflows.
            if (i % 50 == 49)
                while (got <= i) {
                    const std::string r = udp_recv(rx1, 3000);
                    CHILD_CHECK(r == "n" + std::to_string(got));
                    ++got;
                }
        }
        CHILD_CHECK(got == 1000);
        CHILD_CHECK(udp_recv(rx2, 300).empty());
        close(tx);

        // A group is shared: both relays get each datagram.
        const int mx1 = udp_bind(6511), mx2 = udp_bind(6512);
        CHILD_CHECK(get(PORT, "/src/239.1.5.1:5510/dst/127.0.0.1:6511") == answer(200));
        CHILD_CHECK(get(PORT, "/src/239.1.5.1:5510/dst/127.0.0.1:6512") == answer(200));
        CHILD_CHECK(eventually(
            [&] {
                udp_send("239.1.5.1", 5510, "group");
                return udp_recv(mx1, 100) == "group" && udp_recv(mx2, 300) == "group";
            },
            5000));
        CHILD_CHECK(t.stop() == 0);
        close(rx1);
        close(rx2);
        close(mx1);
        close(mx2);
        return 0;
    }));
}

// scripts/run-sample writes the sample's report into /tmp/tavel-sample
// only when that directory is its own (in a private /tmp here): one that
// another user made, a link, or one others may write is refused; an
// absent one is made, and kept for the next run.
TEST(tavel_trust, RunSampleKeepsToItsOwnDirectory)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs a private mount namespace";
    EXPECT_CHILD_OK(in_ns([] {
        if (!private_tmp()) return CHILD_SKIP;
        setenv("TAVEL_BIN", tavel_path().c_str(), 1);
        const std::string script = source_dir() + "/scripts/run-sample";
        const std::string dir = "/tmp/tavel-sample", rep = dir + "/report.json";
        // Another user's directory, a link, one others may write, a file.
        for (const char *plant :
             {"mkdir -m 755 $D && chown 65534 $D", "mkdir -p /tmp/x && ln -s /tmp/x $D",
              "mkdir -m 777 $D", "echo x > $D"}) {
            CHILD_CHECK(run_quiet(std::string("D=") + dir + "; " + plant));
            TempDir d;
            Daemon t(d.path());
            CHILD_CHECK(t.start({}, script));
            CHILD_CHECK(t.wait_exit() == 1);
            CHILD_CHECK(has(t.output(), "run-sample: /tmp/tavel-sample is not a directory of this "
                                        "user's own that only it may write; remove it first\n"));
            CHILD_CHECK(!file_exists(rep) && !file_exists("/tmp/x/report.json"));
            CHILD_CHECK(run_quiet("rm -rf " + dir));
        }
        for (int run = 0; run < 2; ++run) {
            TempDir d;
            Daemon t(d.path());
            CHILD_CHECK(t.start({}, script));
            CHILD_CHECK(t.wait_for(" STARTING. PID="));
            CHILD_CHECK(eventually([&] { return report_tasks(slurp(rep)) == 1; }, 5000));
            struct stat st;
            CHILD_CHECK(lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                        st.st_uid == geteuid() && (st.st_mode & 07777) == 0755);
            CHILD_CHECK(t.stop() == 0);
        }
        return 0;
    }));
}

// Rings and flag stores that no process holds are removed at start (in a
// private /dev/shm), whatever their pid; held ones stay, and so do other
// names, another user's object, a link and a directory.  A daemon started
// in another pid namespace sharing the directory leaves a running daemon's
// flag store and ring alone; once that daemon is killed, the next start
// removes them.
TEST(tavel_trust, SharedMemoryOfDeadDaemonsIsRemovedAtStart)
{
    EXPECT_CHILD_OK(in_ns([] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=16m") != 0)
            return CHILD_SKIP;
        // No process ever has a pid above the largest pid_max (2^22).
        const std::string dead = std::to_string(4194304 + 4711 + getpid() % 1000);
        const std::string lv = std::to_string(getpid());
        const std::vector<std::string> gone = {"mmr." + dead + ".1", "mmr." + dead + ".2",
                                               "tvl." + dead + ".iflag", "mmr." + lv + ".2"};
        const std::vector<std::string> held = {"mmr." + dead + ".3", "tvl." + lv + ".iflag"};
        const std::vector<std::string> kept = {"mmr." + dead + ".x", "oxa." + dead + ".iflag",
                                               "mmr." + dead + ".7"};
        long bytes = 0;
        for (const auto &n : gone) {
            write_file("/dev/shm/" + n, std::string(65536, 'r'));
            bytes += 65536;
        }
        for (const auto &n : kept) write_file("/dev/shm/" + n, std::string(4096, 'k'));
        Fd holds[2];
        for (size_t i = 0; i < held.size(); ++i) {
            write_file("/dev/shm/" + held[i], std::string(4096, 'k'));
            holds[i].fd = open(("/dev/shm/" + held[i]).c_str(), O_RDONLY | O_CLOEXEC);
            CHILD_CHECK(flock(holds[i].fd, LOCK_SH) == 0);
        }
        CHILD_CHECK(chown(("/dev/shm/mmr." + dead + ".7").c_str(), 65534, 65534) == 0);
        CHILD_CHECK(symlink("/dev/shm/mmr.1.1", ("/dev/shm/mmr." + dead + ".8").c_str()) == 0);
        CHILD_CHECK(mkdir(("/dev/shm/mmr." + dead + ".9").c_str(), 0700) == 0);

        // A stream server that takes the connection and says nothing, for
        // a relay with a byte ring.
        const int srv = listen_loopback(PORT + 5, 4);
        CHILD_CHECK(srv >= 0);

        TempDir d;
        write_file(d.file("tavel.conf"), config(PORT, ""));
        Daemon t(d.path());
        CHILD_CHECK(t.start_fg());
        for (const auto &n : gone) CHILD_CHECK(!file_exists("/dev/shm/" + n));
        for (const auto &n : held) CHILD_CHECK(file_exists("/dev/shm/" + n));
        for (const auto &n : kept) CHILD_CHECK(slurp("/dev/shm/" + n) == std::string(4096, 'k'));
        CHILD_CHECK(is_link("/dev/shm/mmr." + dead + ".8"));
        CHILD_CHECK(file_exists("/dev/shm/mmr." + dead + ".9"));
        CHILD_CHECK(has(t.output(), "sweep_dead_shm: removed 4 shared-memory objects of dead "
                                    "processes from [/dev/shm], " +
                                        std::to_string(bytes) + " bytes freed\n"));
        const std::string a = std::to_string(t.pid());
        const std::string store = flag_store(t.output()), ring = "/dev/shm/mmr." + a + ".1";
        CHILD_CHECK(!store.empty() && file_exists(store));
        CHILD_CHECK(get(PORT, "/src/http://127.0.0.1:" + std::to_string(PORT + 5) +
                                  "/s/dst/127.0.0.1:6501") == answer(200));
        // Rings are anonymous: nothing of them in /dev/shm.
        CHILD_CHECK(eventually([&] { return has(t.output(), "Task [H"); }, 5000));
        CHILD_CHECK(!file_exists(ring));

        // Another daemon in its own pid namespace, where pid t.pid() may be
        // nobody or somebody else.
        TempDir d2;
        write_file(d2.file("tavel.conf"), config(PORT + 1, ""));
        Daemon other(d2.path());
        CHILD_CHECK(other.start({"--pid", "--fork", tavel_path(), "-T", "-C",
                                 d2.file("tavel.conf")},
                                "/usr/bin/unshare"));
        CHILD_CHECK(other.wait_for(" STARTING. PID="));
        CHILD_CHECK(file_exists(store));
        CHILD_CHECK(other.output().find("sweep_dead_shm: removed") == std::string::npos);

        // Killed, the first daemon leaves its store behind; the next start
        // (in the first pid namespace) removes it.
        kill(t.pid(), SIGKILL);
        CHILD_CHECK(t.wait_exit() != 0);
        CHILD_CHECK(file_exists(store) && !file_exists(ring));
        const std::string kids = "/proc/" + std::to_string(other.pid()) + "/task/" +
                                 std::to_string(other.pid()) + "/children";
        CHILD_CHECK(kill(pid_t(atol(slurp(kids).c_str())), SIGTERM) == 0);
        CHILD_CHECK(other.wait_exit() == 0);
        TempDir d3;
        write_file(d3.file("tavel.conf"), config(PORT, ""));
        Daemon next(d3.path());
        CHILD_CHECK(next.start_fg());
        CHILD_CHECK(!file_exists(store) && !file_exists(ring));
        CHILD_CHECK(has(next.output(), "sweep_dead_shm: removed 1 shared-memory objects"));
        CHILD_CHECK(next.stop() == 0);
        close(srv);
        return 0;
    }));
}

// Two daemons that are each pid 1 of their own pid namespace share one
// /dev/shm (containers), where another user has planted every name the
// first would once have used: "mmr.1.1" to "mmr.1.3" and "tvl.1.iflag".
// Both relay HTTP sources; each has a flag store of its own under a name
// its log gives, which kfu reads and sets; kfu refuses the planted store.
TEST(tavel_trust, DaemonsThatArePidOneKeepTheirRingsAndStores)
{
    if (geteuid() != 0) GTEST_SKIP() << "only root makes pid namespaces here";
    EXPECT_CHILD_OK(in_ns([] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=64m") != 0)
            return CHILD_SKIP;
        for (const char *n : {"mmr.1.1", "mmr.1.2", "mmr.1.3", "tvl.1.iflag"}) {
            const std::string p = std::string("/dev/shm/") + n;
            write_file(p, "");
            CHILD_CHECK(chown(p.c_str(), 65534, 65534) == 0);
        }
        const int srv = listen_loopback(PORT + 5, 16);
        CHILD_CHECK(srv >= 0);
        const std::string kfu = std::string(getenv("TAVEL_BUILD_DIR")) + "/util/kfu";
        auto kfu_run = [&](const std::vector<std::string> &args, std::string *out) {
            return run_tavel(args, out, 10000, kfu);
        };

        TempDir d1, d2;
        Daemon one(d1.path()), two(d2.path());
        std::string stores[2];
        for (int i = 0; i < 2; ++i) {
            const int port = PORT + 10 * i;
            Daemon &t = i ? two : one;
            write_file(t.dir() + "/tavel.conf", config(port, ""));
            CHILD_CHECK(t.start({"--pid", "--fork", tavel_path(), "-T", "-C",
                                 t.dir() + "/tavel.conf"},
                                "/usr/bin/unshare"));
            CHILD_CHECK(t.wait_for(" STARTING. PID=1\n"));
            const std::string said = "is taken by another process's object; this daemon's flag "
                                     "store is [";
            CHILD_CHECK(t.wait_for(said));
            const std::string out = t.output();
            const size_t at = out.find(said) + said.size();
            stores[i] = out.substr(at, out.find(']', at) - at);
            CHILD_CHECK(stores[i].rfind("/tvl.1.", 0) == 0 && stores[i] != "/tvl.1.iflag");
            // Three relays from a stream server, each with its byte ring.
            for (int k = 0; k < 3; ++k)
                CHILD_CHECK(get(port, "/src/http://127.0.0.1:" + std::to_string(PORT + 5) +
                                          "/s/dst/127.0.0.1:" +
                                          std::to_string(6600 + 10 * i + k)) == answer(200));
        }
        CHILD_CHECK(stores[0] != stores[1]);
        for (const auto &st : stores) {
            std::string out;
            CHILD_CHECK(kfu_run({st, "TRK_VPS", "yes"}, &out) == 0);
            CHILD_CHECK(has(out, "set [TRK_VPS] to [yes] at [" + st + "]"));
            CHILD_CHECK(kfu_run({st, "TRK_VPS"}, &out) == 0);
            CHILD_CHECK(has(out, "yes\n"));
        }
        std::string out;
        CHILD_CHECK(kfu_run({"/tvl.1.iflag", "TRK_VPS", "yes"}, &out) == 2);
        CHILD_CHECK(has(out, "[/tvl.1.iflag] belongs to uid 65534, not to uid 0"));
        CHILD_CHECK(slurp("/dev/shm/tvl.1.iflag").empty());

        // Each daemon's unshare is the test's child; the daemon is its child.
        for (Daemon *t : {&one, &two}) {
            const std::string kids = "/proc/" + std::to_string(t->pid()) + "/task/" +
                                     std::to_string(t->pid()) + "/children";
            CHILD_CHECK(kill(pid_t(atol(slurp(kids).c_str())), SIGTERM) == 0);
            CHILD_CHECK(t->wait_exit() == 0);
        }
        for (const auto &st : stores) CHILD_CHECK(!file_exists("/dev/shm" + st));
        close(srv);
        return 0;
    }));
}

}  // namespace
