// Shared memory of dead daemons: which names are the daemon's kinds and
// when an object is in use (the sweep itself runs in the daemon's integration
// test, on a private /dev/shm).
#include "shmsweep.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support.h"

namespace {

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
        {"tvl.4711.987654321.iflag", 4711},  // the store made when the first name was taken
        {"tvl.4711.1.iflag", 4711},
        {"tvl.4711.0.iflag", 0},
        {"tvl.4711.01.iflag", 0},
        {"tvl.4711.x.iflag", 0},
        {"tvl.4711..iflag", 0},
        {"tvl.4711.1.2.iflag", 0},
        {"tvl.4711.2147483648.iflag", 0},
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

// An object is in use while a process holds its shared lock, also through
// a mapping whose descriptor is closed; once unmapped it may be removed.
TEST(shmsweep, held_objects_stay_until_unmapped)
{
    TempDir td;
    write_file(td.file("mmr.1.1"), std::string(4096, 'r'));
    const int fd = open(td.file("mmr.1.1").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(fd, LOCK_SH), 0);
    void *p = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    const int dfd = open(td.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(shm_remove_unheld(dfd, "mmr.1.1", geteuid(), nullptr), EBUSY);
    munmap(p, 4096);
    EXPECT_EQ(shm_remove_unheld(dfd, "mmr.1.1", geteuid(), nullptr), 0);
    EXPECT_FALSE(file_exists(td.file("mmr.1.1")));
    close(dfd);
}

}  // namespace
