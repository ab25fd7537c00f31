// Shared memory of dead daemons: which names are the daemon's kinds, and a
// sweep of a directory that removes exactly the objects of dead processes
// owned by the daemon's user.
#include "shmsweep.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log.h"
#include "support.h"

using ::testing::HasSubstr;

namespace {

// No process ever has a pid above the kernel's largest pid_max (2^22).
constexpr long DEAD = 4194304 + 4711;

TEST(shmsweep, object_names)
{
    const struct {
        const char *name;
        pid_t pid;
    } cases[] = {
        {"mmr.4711.1", 4711},
        {"mmr.4711.123", 4711},
        {"tvl.4711.iflag", 4711},
        {"mmr.2147483647.2147483647", 2147483647},
        {"mmr.2147483648.1", 0},  // beyond any pid
        {"mmr.4711.2147483648", 0},
        {"mmr.4711", 0},
        {"mmr.4711.", 0},
        {"mmr.4711.1x", 0},
        {"mmr.4711.0", 0},
        {"mmr.04711.1", 0},
        {"mmr.0.1", 0},
        {"mmr.-1.1", 0},
        {"mmr.+1.1", 0},
        {"mmr..1", 0},
        {"mmr.4711.1.2", 0},
        {"xmmr.4711.1", 0},
        {"tvl.4711.iflagx", 0},
        {"tvl.4711.iflag.1", 0},
        {"tvl.4711", 0},
        {"tvl..iflag", 0},
        {"tvl.0.iflag", 0},
        {"oxa.4711.iflag", 0},  // another application's store
        {"shmf-tvl.4711", 0},
        {"", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(shm_object_pid(c.name, "tvl"), c.pid) << c.name;
    EXPECT_EQ(shm_object_pid("abc.12.iflag", "abc"), 12);
    EXPECT_EQ(shm_object_pid("tvl.12.iflag", ""), 0);
    EXPECT_EQ(shm_object_pid("mmr.12.3", ""), 12);
}

TEST(shmsweep, liveness)
{
    EXPECT_TRUE(pid_is_live(getpid()));
    EXPECT_TRUE(pid_is_live(1));
    EXPECT_FALSE(pid_is_live(pid_t(DEAD)));
}

// A directory of planted objects: the dead process's ring and store of the
// daemon's user go, everything else stays (a live process's objects, other
// names, another user's object, a link, a directory).
TEST(shmsweep, removes_only_objects_of_dead_processes)
{
    TempDir td;
    const std::string dead = std::to_string(DEAD), dead2 = std::to_string(DEAD + 1);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pause();
        _exit(0);
    }
    const std::string live = std::to_string(child), self = std::to_string(getpid());
    const std::string data(8192, 'm');
    const std::vector<std::string> gone = {"mmr." + dead + ".1", "mmr." + dead + ".22",
                                           "tvl." + dead + ".iflag", "mmr." + dead2 + ".3"};
    const std::vector<std::string> kept_files = {
        "mmr." + live + ".1",  "tvl." + live + ".iflag", "mmr." + self + ".1",
        "mmr." + dead + ".x",  "mmr." + dead,            "tvl." + dead + ".iflagx",
        "oxa." + dead + ".iflag", "mmr.0" + dead + ".1", "other"};
    uint64_t expect_bytes = 0;
    for (const auto &n : gone) {
        write_file(td.file(n), data);
        struct stat st;
        ASSERT_EQ(stat(td.file(n).c_str(), &st), 0);
        expect_bytes += uint64_t(st.st_blocks) * 512u;
    }
    for (const auto &n : kept_files) write_file(td.file(n), data);
    // Another user's object of a dead pid, a link and a directory named
    // like the daemon's objects.
    const std::string foreign = "mmr." + dead + ".7";
    write_file(td.file(foreign), data);
    ASSERT_EQ(chown(td.file(foreign).c_str(), geteuid() + 1, getegid()), 0);
    const std::string lnk = "mmr." + dead + ".8", dir = "tvl." + dead2 + ".iflag";
    ASSERT_EQ(symlink(td.file("other").c_str(), td.file(lnk).c_str()), 0);
    ASSERT_EQ(mkdir(td.file(dir).c_str(), 0700), 0);

    LogCapture cap;
    uint64_t bytes = 0;
    EXPECT_EQ(sweep_dead_shm(td.path().c_str(), "tvl", geteuid(), &bytes), gone.size());
    EXPECT_EQ(bytes, expect_bytes);
    EXPECT_GT(bytes, 0u);
    for (const auto &n : gone) EXPECT_FALSE(file_exists(td.file(n))) << n;
    for (const auto &n : kept_files) EXPECT_EQ(read_file(td.file(n)), data) << n;
    EXPECT_TRUE(file_exists(td.file(foreign)));
    struct stat st;
    EXPECT_EQ(lstat(td.file(lnk).c_str(), &st), 0);
    EXPECT_EQ(lstat(td.file(dir).c_str(), &st), 0);
    EXPECT_THAT(cap.text(), HasSubstr("(NRM)  sweep_dead_shm: removed 4 shared-memory objects of "
                                      "dead processes from [" +
                                      td.path() + "], " + std::to_string(expect_bytes) +
                                      " bytes freed\n"));

    // Nothing left to remove: no line; a directory that cannot be read
    // only warns.
    cap.clear();
    EXPECT_EQ(sweep_dead_shm(td.path().c_str(), "tvl", geteuid(), &bytes), 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(sweep_dead_shm(td.file("none").c_str(), "tvl", geteuid(), &bytes), 0u);
    EXPECT_THAT(cap.text(), HasSubstr("(WRN)  sweep_dead_shm: cannot read [" + td.file("none")));

    rmdir(td.file(dir).c_str());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
