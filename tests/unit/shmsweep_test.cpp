// Shared memory of dead daemons: which names are the daemon's kinds and
// which pids are live (the sweep itself runs in the daemon's integration
// test, on a private /dev/shm).
#include "shmsweep.h"

#include <unistd.h>

#include <gtest/gtest.h>

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

}  // namespace
