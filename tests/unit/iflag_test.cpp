#include "iflag.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log.h"
#include "support.h"

namespace {

std::string store_path() { return "/tst." + std::to_string(getpid()) + ".iflag"; }

bool shm_exists(const std::string &path)
{
    struct stat st;
    return stat(("/dev/shm" + path).c_str(), &st) == 0;
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

constexpr const char *VARS[] = {"TST_IF_ON", "TST_IF_NONE", "TST_IF_LONG", "TST_IF_ENV"};

}  // namespace

// Each test starts without a store and with none of its variables set, and
// leaves no store behind.
class iflag_store : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = g_mod_ll[LM_DEFAULT];
        for (const char *v : VARS) unsetenv(v);
    }
    void TearDown() override
    {
        destroy_iflag_storage();
        g_mod_ll[LM_DEFAULT] = saved_;
        for (const char *v : VARS) unsetenv(v);
        EXPECT_EQ(g_iflag_shmf, nullptr);
        EXPECT_FALSE(shm_exists(store_path()));
    }
    static size_t stored_count() { return size_t(g_iflag_shmf->el.count); }

private:
    int saved_ = 0;
};

TEST_F(iflag_store, environment_value_is_copied_into_the_store_on_first_reading)
{
    g_mod_ll[LM_DEFAULT] = DEBUG_level;
    LogCapture cap;
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    ASSERT_NE(g_iflag_shmf, nullptr);
    EXPECT_EQ(std::string(g_iflag_path), store_path());
    EXPECT_NE(cap.text().find("setup_iflag_storage: [" + store_path() + "] (0x"),
              std::string::npos);
    EXPECT_NE(cap.text().find(") created\n"), std::string::npos);
    // The name is logged whichever name the store got.
    EXPECT_NE(cap.text().find("(NRM)  setup_iflag_storage: this daemon's flag store is [" +
                              store_path() + "]\n"),
              std::string::npos)
        << cap.text();

    setenv("TST_IF_ON", "TRUE", 1);
    EXPECT_TRUE(iflag("TST_IF_ON"));
    EXPECT_STREQ(shmf_get(g_iflag_shmf, "TST_IF_ON"), "TRUE");
    EXPECT_NE(cap.text().find("apply_iflag_shmf: ADDED [TST_IF_ON]->[TRUE] to " + store_path() +
                              "\n"),
              std::string::npos);
    EXPECT_TRUE(iflag("TST_IF_ON"));
    EXPECT_EQ(count_of(cap.text(), "ADDED"), 1u);
    EXPECT_EQ(stored_count(), 1u);
}

TEST_F(iflag_store, stored_value_overrides_the_environment)
{
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    ASSERT_NE(g_iflag_shmf, nullptr);
    setenv("TST_IF_ON", "TRUE", 1);
    EXPECT_TRUE(iflag("TST_IF_ON"));
    ASSERT_EQ(shmf_set(g_iflag_shmf, "TST_IF_ON", "no"), 0);
    EXPECT_FALSE(iflag("TST_IF_ON"));
    EXPECT_STREQ(getenv("TST_IF_ON"), "TRUE");
    ASSERT_EQ(shmf_set(g_iflag_shmf, "TST_IF_ON", "1"), 0);
    unsetenv("TST_IF_ON");
    EXPECT_TRUE(iflag("TST_IF_ON"));
    // Deleted from the store and absent from the environment: off.
    ASSERT_EQ(shmf_del(g_iflag_shmf, "TST_IF_ON"), 0);
    EXPECT_FALSE(iflag("TST_IF_ON"));
}

TEST_F(iflag_store, only_yes_true_and_1_in_any_case_are_on)
{
    const struct {
        const char *value;
        bool on;
    } cases[] = {
        {"yes", true}, {"YES", true},  {"yEs", true},   {"true", true},  {"True", true},
        {"1", true},   {"no", false},  {"0", false},    {"", false},     {"yes ", false},
        {"11", false}, {"truee", false}, {"on", false}, {" 1", false},   {"y", false},
    };
    for (bool with_store : {false, true}) {
        if (with_store) {
            ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
        }
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.value) + (with_store ? " (store)" : " (env)"));
            setenv("TST_IF_ENV", c.value, 1);
            EXPECT_EQ(iflag("TST_IF_ENV"), c.on);
            if (with_store) {
                EXPECT_STREQ(shmf_get(g_iflag_shmf, "TST_IF_ENV"), c.value);
                // Read again from the store alone.
                unsetenv("TST_IF_ENV");
                EXPECT_EQ(iflag("TST_IF_ENV"), c.on);
                ASSERT_EQ(shmf_del(g_iflag_shmf, "TST_IF_ENV"), 0);
            }
        }
    }
}

TEST_F(iflag_store, flag_in_neither_place_is_off_and_stays_absent)
{
    EXPECT_FALSE(iflag("TST_IF_NONE"));
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    LogCapture cap;
    EXPECT_FALSE(iflag("TST_IF_NONE"));
    EXPECT_FALSE(iflag("TST_IF_NONE"));
    EXPECT_EQ(shmf_get(g_iflag_shmf, "TST_IF_NONE"), nullptr);
    EXPECT_EQ(stored_count(), 0u);
    EXPECT_EQ(cap.text(), "");
}

TEST_F(iflag_store, an_unstorable_value_is_logged_on_each_reading)
{
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    setenv("TST_IF_LONG", "yesyesyesyesyesy", 1);  // 16 characters
    LogCapture cap;
    EXPECT_FALSE(iflag("TST_IF_LONG"));
    EXPECT_FALSE(iflag("TST_IF_LONG"));
    EXPECT_EQ(count_of(cap.text(),
                       "apply_iflag_shmf: unable to set [TST_IF_LONG]->[yesyesyesyesyesy] pair\n"),
              2u);
    EXPECT_EQ(count_of(cap.text(), "shmf_set: [TST_IF_LONG] value length is too long (16 >= 16)\n"),
              2u);
    EXPECT_EQ(stored_count(), 0u);
}

// A store whose lock a dead process left held costs one bounded wait; the
// readings after it use the environment without waiting again.
TEST_F(iflag_store, a_dead_lock_holder_costs_one_bounded_wait)
{
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    ASSERT_NE(g_iflag_shmf, nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(pthread_rwlock_wrlock(&g_iflag_shmf->rwlk));
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(status, 0);
    setenv("TST_IF_ON", "yes", 1);
    shmf_set_lock_wait(100);
    LogCapture cap;
    using clock = std::chrono::steady_clock;
    auto t0 = clock::now();
    EXPECT_TRUE(iflag("TST_IF_ON"));
    auto t1 = clock::now();
    EXPECT_TRUE(iflag("TST_IF_ON"));
    EXPECT_FALSE(iflag("TST_IF_NONE"));
    auto t2 = clock::now();
    shmf_set_lock_wait(0);
    EXPECT_GE(t1 - t0, std::chrono::milliseconds(90));
    EXPECT_LT(t1 - t0, std::chrono::seconds(2));
    EXPECT_LT(t2 - t1, std::chrono::milliseconds(50));
    EXPECT_EQ(count_of(cap.text(), "ERROR(110)"), 1u) << cap.text();
}

TEST_F(iflag_store, without_a_store_the_environment_alone_counts)
{
    setenv("TST_IF_ENV", "Yes", 1);
    EXPECT_TRUE(iflag("TST_IF_ENV"));
    // A name that no store could be made under: setup still succeeds.
    const std::string app(240, 'a');
    LogCapture cap;
    EXPECT_EQ(setup_iflag_storage(app.c_str(), 128), 0);
    EXPECT_EQ(g_iflag_shmf, nullptr);
    EXPECT_STREQ(g_iflag_path, "");
    const std::string path = "/" + app + "." + std::to_string(getpid()) + ".iflag";
    EXPECT_NE(cap.text().find("shmf_create: path is too long (must be <248)\n"),
              std::string::npos);
    EXPECT_NE(cap.text().find("setup_iflag_storage: failed to create [" + path + "]\n"),
              std::string::npos)
        << cap.text();
    EXPECT_TRUE(iflag("TST_IF_ENV"));
}

// The store's name taken by an object this process did not make: a live
// process's store (another daemon with the same pid in another pid
// namespace holds it) or another user's file.  The object is left as it
// is, and the process gets a store of its own under another name, which a
// NORM line gives.
TEST_F(iflag_store, a_taken_name_gives_a_store_of_another_name)
{
    const bool root = geteuid() == 0;
    for (const bool held : {true, false}) {
        if (!held && !root) continue;  // only root gives a file away
        SCOPED_TRACE(held ? "held" : "another user's");
        const std::string planted = "/dev/shm" + store_path();
        const int fd = open(planted.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "planted", 7), 7);
        if (held)
            ASSERT_EQ(flock(fd, LOCK_SH), 0);
        else
            ASSERT_EQ(fchown(fd, 65534, 65534), 0);

        g_mod_ll[LM_DEFAULT] = INFO_level;
        LogCapture cap;
        ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
        ASSERT_NE(g_iflag_shmf, nullptr);
        const std::string got = g_iflag_path;
        const std::string pfx = "/tst." + std::to_string(getpid()) + ".";
        unsigned long n = 0;
        char tail[16] = "";
        EXPECT_EQ(got.compare(0, pfx.size(), pfx), 0) << got;
        EXPECT_EQ(sscanf(got.c_str() + pfx.size(), "%lu%15s", &n, tail), 2) << got;
        EXPECT_STREQ(tail, ".iflag");
        EXPECT_TRUE(n >= 1 && n <= 999999999ul) << got;
        EXPECT_NE(cap.text().find("(NRM)  setup_iflag_storage: [" + store_path() +
                                  "] is taken by another process's object; this daemon's "
                                  "flag store is [" + got + "]\n"),
                  std::string::npos)
            << cap.text();
        // A store like any other, and the planted object is untouched.
        EXPECT_TRUE(shm_exists(got));
        ASSERT_EQ(shmf_set(g_iflag_shmf, "TST_IF_ON", "yes"), 0);
        EXPECT_TRUE(iflag("TST_IF_ON"));
        char buf[16] = "";
        EXPECT_EQ(pread(fd, buf, sizeof(buf), 0), 7);
        EXPECT_STREQ(buf, "planted");
        destroy_iflag_storage();
        EXPECT_FALSE(shm_exists(got));
        close(fd);
        unlink(planted.c_str());
    }
}

TEST_F(iflag_store, setup_refuses_a_second_store_and_an_overlong_name)
{
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    shmf_t first = g_iflag_shmf;
    LogCapture cap;
    EXPECT_EQ(setup_iflag_storage("tst", 128), -1);
    EXPECT_EQ(g_iflag_shmf, first);
    EXPECT_NE(cap.text().find("setup_iflag_storage: already setup at (0x"), std::string::npos);
    EXPECT_NE(cap.text().find(") [" + store_path() + "]\n"), std::string::npos);
    destroy_iflag_storage();

    cap.clear();
    const std::string app(250, 'b');
    EXPECT_EQ(setup_iflag_storage(app.c_str(), 128), -1);
    EXPECT_EQ(g_iflag_shmf, nullptr);
    EXPECT_NE(cap.text().find("setup_iflag_storage: path is too long [/bbbb"), std::string::npos);
}

TEST_F(iflag_store, destroy_removes_the_object_and_clears_the_handle)
{
    destroy_iflag_storage();  // nothing to do
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    EXPECT_TRUE(shm_exists(store_path()));
    g_mod_ll[LM_DEFAULT] = INFO_level;
    LogCapture cap;
    destroy_iflag_storage();
    EXPECT_FALSE(shm_exists(store_path()));
    EXPECT_EQ(g_iflag_shmf, nullptr);
    EXPECT_STREQ(g_iflag_path, "");
    EXPECT_NE(cap.text().find("destroy_iflag_storage: SUCCESS (0x"), std::string::npos);
    EXPECT_NE(cap.text().find(") [" + store_path() + "]\n"), std::string::npos);
    // A new store can be made after.
    ASSERT_EQ(setup_iflag_storage("tst", 128), 0);
    EXPECT_NE(g_iflag_shmf, nullptr);
}
