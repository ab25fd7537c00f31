#include "shmflag.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"
#include "netns.h"
#include "support.h"

namespace {

constexpr size_t N = 128;
constexpr size_t LEN = 4232;
constexpr size_t MAP = 4104;

std::string name_prefix() { return "tst-shmf." + std::to_string(getpid()) + "."; }

std::string unique_path()
{
    static int n = 0;
    return "/" + name_prefix() + std::to_string(n++);
}

// Objects of this process still in /dev/shm.
std::vector<std::string> leftovers()
{
    std::vector<std::string> names;
    const std::string pfx = name_prefix();
    if (DIR *d = opendir("/dev/shm")) {
        while (dirent *e = readdir(d))
            if (strncmp(e->d_name, pfx.c_str(), pfx.size()) == 0) names.emplace_back(e->d_name);
        closedir(d);
    }
    return names;
}

bool shm_exists(const std::string &path)
{
    struct stat st;
    return stat(("/dev/shm" + path).c_str(), &st) == 0;
}

// A store created for the test, destroyed at its end.
struct Store {
    std::string path = unique_path();
    shmf_t fh;
    explicit Store(size_t n = N, uint32_t flags = 0) : fh(shmf_create(path.c_str(), n, flags)) {}
    ~Store()
    {
        if (fh) shmf_destroy(fh, path.c_str());
        shm_unlink(path.c_str());
    }
    const unsigned char *raw() const { return reinterpret_cast<const unsigned char *>(fh); }
    unsigned char *wraw() { return reinterpret_cast<unsigned char *>(fh); }
    uint64_t u64(size_t off) const
    {
        uint64_t v;
        memcpy(&v, raw() + off, 8);
        return v;
    }
    uint32_t u32(size_t off) const
    {
        uint32_t v;
        memcpy(&v, raw() + off, 4);
        return v;
    }
    void put64(size_t off, uint64_t v) { memcpy(wraw() + off, &v, 8); }
    std::string bytes(size_t off, size_t n) const
    {
        return std::string(reinterpret_cast<const char *>(raw()) + off, n);
    }
};

std::string padded(const std::string &s)
{
    std::string p = s;
    p.resize(16, '\0');
    return p;
}

bool all_zero(const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

// Waits for a child to end (at most ms milliseconds); its wait status, or
// -1 after killing it.
int wait_child(pid_t pid, int ms)
{
    int pfd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pfd >= 0) {
        pollfd p{pfd, POLLIN, 0};
        int n = poll(&p, 1, ms);
        close(pfd);
        if (n != 1) kill(pid, SIGKILL);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

class LogLevel {
public:
    explicit LogLevel(int level) : saved_(g_mod_ll[LM_DEFAULT]) { g_mod_ll[LM_DEFAULT] = level; }
    ~LogLevel() { g_mod_ll[LM_DEFAULT] = saved_; }

private:
    int saved_;
};

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

}  // namespace

// Every test leaves no shared-memory object behind.
class shmflag : public ::testing::Test {
protected:
    void TearDown() override
    {
        EXPECT_TRUE(leftovers().empty()) << leftovers().front();
        shmf_set_lock_wait(0);
    }
};

TEST_F(shmflag, fresh_store_has_the_shared_layout)
{
    Store s(N, 0x1234);
    ASSERT_NE(s.fh, nullptr);
    EXPECT_EQ(s.bytes(0, 4), std::string("SmF\0", 4));
    EXPECT_EQ(s.u32(4), 0u);
    EXPECT_EQ(s.u64(8), LEN);
    EXPECT_EQ(s.u64(16), 16u);
    EXPECT_EQ(s.u32(24), 0x1234u);
    EXPECT_EQ(s.u32(28), 0u);
    EXPECT_EQ(s.u64(88), 0u);     // count
    EXPECT_EQ(s.u64(96), 124u);   // max_count
    EXPECT_EQ(s.u64(104), 0u);    // last
    EXPECT_EQ(s.u64(112), 0u);    // avail
    EXPECT_EQ(s.u32(120), 2u);    // the list lives in a caller's buffer
    EXPECT_EQ(s.u32(124), 0u);
    EXPECT_EQ(s.u64(128), 4016u); // taken map at 88 + 4016 = 4104
    EXPECT_TRUE(all_zero(s.raw() + 136, LEN - 136));

    int fd = shm_open(s.path.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    close(fd);
    EXPECT_EQ(size_t(st.st_size), LEN);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(shmflag, set_and_delete_change_exactly_the_documented_bytes)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    LogLevel dbg(DEBUG_level);
    LogCapture cap;
    ASSERT_EQ(shmf_set(s.fh, "alpha", "on"), 0);
    ASSERT_EQ(shmf_set(s.fh, "beta", "xyzxyz"), 0);
    ASSERT_EQ(shmf_set(s.fh, "beta", "q"), 0);
    EXPECT_NE(cap.text().find("shmf_set: adding alpha/on (j=0)\n"), std::string::npos);
    EXPECT_NE(cap.text().find("shmf_set: adding beta/xyzxyz (j=1)\n"), std::string::npos);
    EXPECT_EQ(count_of(cap.text(), "adding beta"), 1u);

    EXPECT_EQ(s.bytes(136, 32), padded("alpha") + padded("on"));
    EXPECT_EQ(s.bytes(168, 32), padded("beta") + padded("q"));
    EXPECT_EQ(s.raw()[MAP], 1);
    EXPECT_EQ(s.raw()[MAP + 1], 1);
    EXPECT_TRUE(all_zero(s.raw() + 200, MAP - 200));
    EXPECT_TRUE(all_zero(s.raw() + MAP + 2, LEN - MAP - 2));
    EXPECT_EQ(s.u64(88), 2u);
    EXPECT_EQ(s.u64(104), 1u);
    EXPECT_EQ(s.u64(112), 2u);

    ASSERT_EQ(shmf_del(s.fh, "alpha"), 0);
    EXPECT_NE(cap.text().find("shmf_del: alpha/on (j=0)\n"), std::string::npos);
    EXPECT_EQ(s.raw()[MAP], 0);
    EXPECT_EQ(s.raw()[MAP + 1], 1);
    EXPECT_EQ(s.u64(88), 1u);
    EXPECT_EQ(s.u64(104), 1u);  // last is never lowered
    EXPECT_EQ(s.u64(112), 0u);
    // A freed slot keeps its bytes until reused.
    EXPECT_EQ(s.bytes(136, 32), padded("alpha") + padded("on"));
    EXPECT_EQ(shmf_get(s.fh, "alpha"), nullptr);
}

TEST_F(shmflag, holds_124_records_and_refuses_the_125th_silently)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    for (int i = 0; i < 124; ++i)
        ASSERT_EQ(shmf_set(s.fh, ("k" + std::to_string(i)).c_str(), "v"), 0) << i;
    EXPECT_EQ(s.u64(88), 124u);
    EXPECT_EQ(int64_t(s.u64(112)), -1);
    LogCapture cap;
    EXPECT_EQ(shmf_set(s.fh, "k124", "v"), -1);
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(shmf_get(s.fh, "k124"), nullptr);
    // A full store still changes existing keys.
    EXPECT_EQ(shmf_set(s.fh, "k123", "w"), 0);
    EXPECT_STREQ(shmf_get(s.fh, "k123"), "w");
    EXPECT_TRUE(all_zero(s.raw() + MAP + 124, LEN - MAP - 124));
}

TEST_F(shmflag, keys_and_values_of_15_fit_16_are_refused)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    const std::string k15(15, 'k'), k16(16, 'k'), v15(15, 'v'), v16(16, 'v');
    EXPECT_EQ(shmf_set(s.fh, k15.c_str(), v15.c_str()), 0);
    EXPECT_EQ(shmf_get(s.fh, k15.c_str()), std::string(v15));
    EXPECT_EQ(s.bytes(136, 32), padded(k15) + padded(v15));

    struct {
        std::function<bool()> call;
        std::string line;
        int err;
    } cases[] = {
        {[&] { return shmf_set(s.fh, k16.c_str(), "v") == -1; },
         "shmf_set: [" + k16 + "] key length is too long (16: >= 16)\n", 0},
        {[&] { return shmf_set(s.fh, "key", v16.c_str()) == -1; },
         "shmf_set: [key] value length is too long (16 >= 16)\n", 0},
        {[&] { return shmf_set(s.fh, k15.c_str(), v16.c_str()) == -1; },
         "shmf_set: [" + k15 + "] value length is too long (16 >= 16)\n", 0},
        {[&] { return shmf_get(s.fh, k16.c_str()) == nullptr; },
         "shmf_get: [" + k16 + "] key length is too long (16: >= 16)\n", ENAMETOOLONG},
        {[&] { return shmf_del(s.fh, k16.c_str()) == -1; },
         "shmf_del: [" + k16 + "] key length is too long (16: >= 16)\n", 0},
    };
    LogCapture cap;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        cap.clear();
        errno = 0;
        EXPECT_TRUE(c.call());
        if (c.err) {
            EXPECT_EQ(errno, c.err);
        }
        EXPECT_NE(cap.text().find(c.line), std::string::npos) << cap.text();
    }
    EXPECT_EQ(s.u64(88), 1u);
    EXPECT_STREQ(shmf_get(s.fh, k15.c_str()), v15.c_str());
}

TEST_F(shmflag, setting_an_existing_key_changes_it_in_place)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    ASSERT_EQ(shmf_set(s.fh, "a", "1"), 0);
    ASSERT_EQ(shmf_set(s.fh, "b", "long value"), 0);
    const char *before = shmf_get(s.fh, "b");
    ASSERT_NE(before, nullptr);
    const char *mapped = reinterpret_cast<const char *>(s.fh);
    EXPECT_TRUE(before < mapped || before >= mapped + LEN);  // a copy, not the shared field
    char copy[SHMF_STRSZ];
    EXPECT_EQ(shmf_get_value(s.fh, "b", copy, sizeof(copy)), 0);
    ASSERT_EQ(shmf_set(s.fh, "b", "no"), 0);
    EXPECT_STREQ(copy, "long value");  // taken under the lock, kept by the caller
    EXPECT_STREQ(shmf_get(s.fh, "b"), "no");
    EXPECT_EQ(shmf_get_value(s.fh, "zz", copy, sizeof(copy)), ESRCH);
    EXPECT_EQ(s.u64(88), 2u);
    EXPECT_EQ(shmf_set(s.fh, "b", ""), 0);
    EXPECT_STREQ(shmf_get(s.fh, "b"), "");
    EXPECT_EQ(s.bytes(168 + 16, 16), std::string(16, '\0'));
}

TEST_F(shmflag, deleting_an_absent_key_gives_3)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    EXPECT_EQ(shmf_del(s.fh, "nothing"), 3);
    ASSERT_EQ(shmf_set(s.fh, "x", "1"), 0);
    EXPECT_EQ(shmf_del(s.fh, "x"), 0);
    EXPECT_EQ(shmf_del(s.fh, "x"), 3);
    errno = 0;
    EXPECT_EQ(shmf_get(s.fh, "x"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(s.u64(88), 0u);
}

TEST_F(shmflag, a_readded_key_takes_the_lowest_free_slot)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    for (const char *k : {"a", "b", "c", "d"}) ASSERT_EQ(shmf_set(s.fh, k, k), 0);
    ASSERT_EQ(shmf_del(s.fh, "c"), 0);
    ASSERT_EQ(shmf_del(s.fh, "a"), 0);
    ASSERT_EQ(shmf_set(s.fh, "c", "again"), 0);
    EXPECT_EQ(s.bytes(136, 32), padded("c") + padded("again"));
    ASSERT_EQ(shmf_set(s.fh, "e", "5"), 0);
    EXPECT_EQ(s.bytes(136 + 64, 32), padded("e") + padded("5"));
    ASSERT_EQ(shmf_set(s.fh, "f", "6"), 0);
    EXPECT_EQ(s.bytes(136 + 128, 32), padded("f") + padded("6"));
    EXPECT_EQ(s.u64(88), 5u);
}

TEST_F(shmflag, two_processes_see_each_others_changes)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child maps the store on its own, as the flag tool does.
        shmf_t fh = shmf_open(s.path.c_str());
        char c;
        if (!fh || read(go[0], &c, 1) != 1) _exit(10);
        const char *v = shmf_get(fh, "parent");
        if (!v || strcmp(v, "hello") != 0) _exit(11);
        if (shmf_set(fh, "child", "there") != 0 || shmf_set(fh, "parent", "seen") != 0) _exit(12);
        if (write(done[1], "x", 1) != 1) _exit(13);
        if (read(go[0], &c, 1) != 1) _exit(14);
        v = shmf_get(fh, "late");
        _exit(v && strcmp(v, "1") == 0 && shmf_close(fh) == 0 ? 0 : 15);
    }
    close(go[0]);
    close(done[1]);
    ASSERT_EQ(shmf_set(s.fh, "parent", "hello"), 0);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    pollfd p{done[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_STREQ(shmf_get(s.fh, "child"), "there");
    EXPECT_STREQ(shmf_get(s.fh, "parent"), "seen");
    ASSERT_EQ(shmf_set(s.fh, "late", "1"), 0);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = wait_child(pid, 10000);
    close(go[1]);
    close(done[0]);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Each case damages a fresh store through its object, as a foreign writer
// would, and shmf_open must refuse it without touching memory outside the
// mapping.
TEST_F(shmflag, open_refuses_foreign_and_damaged_objects)
{
    auto put64 = [](int fd, off_t off, uint64_t v) {
        ASSERT_EQ(pwrite(fd, &v, 8, off), 8);
    };
    struct Case {
        const char *what;
        std::function<void(int)> damage;
        const char *line;
    } cases[] = {
        {"wrong tag", [](int fd) { ASSERT_EQ(pwrite(fd, "XyZ", 4, 0), 4); },
         "shmf_open: BAD signature [XyZ] at ["},
        {"empty object", [](int fd) { ASSERT_EQ(ftruncate(fd, 0), 0); },
         "is too short for a store (0 < 144 bytes)"},
        {"short object", [](int fd) { ASSERT_EQ(ftruncate(fd, 100), 0); },
         "is too short for a store (100 < 144 bytes)"},
        {"object cut below buflen", [](int fd) { ASSERT_EQ(ftruncate(fd, 1000), 0); },
         "buflen differs from the object's size (buflen=4232 size=1000)"},
        {"object grown past buflen", [](int fd) { ASSERT_EQ(ftruncate(fd, 8192), 0); },
         "buflen differs from the object's size (buflen=4232 size=8192)"},
        {"buflen too large", [&](int fd) { put64(fd, 8, 1u << 30); }, "buflen differs"},
        {"buflen too small", [&](int fd) { put64(fd, 8, 200); }, "buflen differs"},
        {"size not a store's",
         [&](int fd) {
             ASSERT_EQ(ftruncate(fd, LEN + 8), 0);
             put64(fd, 8, LEN + 8);
         },
         "size is not that of a store"},
        {"value size", [&](int fd) { put64(fd, 16, 8); }, "value size is not 16"},
        {"max_count", [&](int fd) { put64(fd, 96, 125); }, "slot count does not match the size"},
        {"taken_offt", [&](int fd) { put64(fd, 128, 4017); }, "taken map offset does not match"},
        {"taken_offt far", [&](int fd) { put64(fd, 128, 1ull << 40); },
         "taken map offset does not match"},
        {"count", [&](int fd) { put64(fd, 88, 125); }, "count above the slot count"},
        {"last", [&](int fd) { put64(fd, 104, 124); }, "last slot out of range"},
        {"avail high", [&](int fd) { put64(fd, 112, 124); }, "free slot out of range"},
        {"avail negative", [&](int fd) { put64(fd, 112, uint64_t(-2)); }, "free slot out of range"},
    };
    LogCapture cap;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = unique_path();
        shmf_t fh = shmf_create(path.c_str(), N, 0);
        ASSERT_NE(fh, nullptr);
        ASSERT_EQ(shmf_close(fh), 0);
        int fd = shm_open(path.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        c.damage(fd);
        close(fd);
        cap.clear();
        EXPECT_EQ(shmf_open(path.c_str()), nullptr);
        EXPECT_NE(cap.text().find(c.line), std::string::npos) << cap.text();
        EXPECT_NE(cap.text().find("ERR"), std::string::npos);
        shm_unlink(path.c_str());
    }

    // An object that was never a store at all.
    const std::string path = unique_path();
    int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    std::string junk(LEN, 'j');
    ASSERT_EQ(write(fd, junk.data(), junk.size()), ssize_t(junk.size()));
    close(fd);
    cap.clear();
    EXPECT_EQ(shmf_open(path.c_str()), nullptr);
    EXPECT_NE(cap.text().find("shmf_open: BAD signature [jjj] at [" + path + "] (buflen=" +
                              std::to_string(0x6a6a6a6a6a6a6a6aull) + ")\n"),
              std::string::npos)
        << cap.text();
    shm_unlink(path.c_str());

    // A well-formed store of another user than the one looked for.
    if (geteuid() != 0) return;  // only root gives an object away
    const std::string theirs = unique_path();
    shmf_t fh = shmf_create(theirs.c_str(), N, 0);
    ASSERT_NE(fh, nullptr);
    ASSERT_EQ(shmf_close(fh), 0);
    ASSERT_EQ(chown(("/dev/shm" + theirs).c_str(), 65534, 65534), 0);
    cap.clear();
    errno = 0;
    EXPECT_EQ(shmf_open_owned(theirs.c_str(), geteuid()), nullptr);
    EXPECT_EQ(errno, EPERM);
    EXPECT_NE(cap.text().find("(ERR)  shmf_open: [" + theirs + "] belongs to uid 65534, not to uid " +
                              std::to_string(geteuid()) + "\n"),
              std::string::npos)
        << cap.text();
    for (const uid_t owner : {uid_t(65534), uid_t(-1)}) {
        fh = shmf_open_owned(theirs.c_str(), owner);
        EXPECT_NE(fh, nullptr);
        EXPECT_EQ(shmf_close(fh), 0);
    }
    shm_unlink(theirs.c_str());
}

TEST_F(shmflag, open_refuses_bad_paths)
{
    const std::string missing = unique_path();
    const std::string longpath = "/" + std::string(255, 'p');
    struct {
        std::string path;
        std::string line;
    } cases[] = {
        {"no-slash", "shmf_open: invalid path=no-slash\n"},
        {"", "shmf_open: invalid path=\n"},
        {longpath, "shmf_open: invalid path=" + longpath + "\n"},
        {missing, "shmf_open: shm_open(" + missing + ") ERROR(2): No such file or directory\n"},
    };
    LogCapture cap;
    for (const auto &c : cases) {
        cap.clear();
        EXPECT_EQ(shmf_open(c.path.c_str()), nullptr);
        EXPECT_NE(cap.text().find(c.line), std::string::npos) << cap.text();
    }
}

TEST_F(shmflag, opened_store_logs_its_header_and_closes_without_removal)
{
    Store s(N, 0x2a);
    ASSERT_NE(s.fh, nullptr);
    ASSERT_EQ(shmf_set(s.fh, "k", "v"), 0);
    LogLevel dbg(DEBUG_level);
    LogCapture cap;
    shmf_t fh = shmf_open(s.path.c_str());
    ASSERT_NE(fh, nullptr);
    EXPECT_NE(cap.text().find("shmf_open: [" + s.path + "] ("), std::string::npos);
    EXPECT_NE(cap.text().find(") buflen=4232 vlen=16 flags=002a N=128\n"), std::string::npos);
    EXPECT_STREQ(shmf_get(fh, "k"), "v");
    EXPECT_EQ(shmf_close(fh), 0);
    EXPECT_NE(cap.text().find("shmf_xclose: [-] ("), std::string::npos);
    EXPECT_TRUE(shm_exists(s.path));
    EXPECT_EQ(shmf_close(nullptr), 0);
    EXPECT_EQ(shmf_destroy(nullptr, s.path.c_str()), 0);
    EXPECT_TRUE(shm_exists(s.path));

    ASSERT_EQ(shmf_destroy(s.fh, s.path.c_str()), 0);
    s.fh = nullptr;
    EXPECT_NE(cap.text().find("shmf_xclose: [" + s.path + "] ("), std::string::npos);
    EXPECT_FALSE(shm_exists(s.path));
    cap.clear();
    EXPECT_EQ(shmf_open(s.path.c_str()), nullptr);
}

TEST_F(shmflag, close_refuses_an_implausible_length_without_unmapping)
{
    alignas(8) shmf_storage fake{};
    fake.buflen = 144;
    LogCapture cap;
    EXPECT_EQ(shmf_close(&fake), -1);
    EXPECT_EQ(shmf_destroy(&fake, "/never-made"), -1);
    EXPECT_EQ(count_of(cap.text(), "shmf_xclose: possible data corruption stg=["), 2u);
    EXPECT_NE(cap.text().find("]: len=144\n"), std::string::npos);
}

TEST_F(shmflag, operations_refuse_a_mapping_without_the_tag)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    ASSERT_EQ(shmf_set(s.fh, "k", "v"), 0);
    memcpy(s.wraw(), "BAD", 4);
    LogCapture cap;
    errno = 0;
    EXPECT_EQ(shmf_get(s.fh, "k"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(shmf_set(s.fh, "k", "w"), -1);
    EXPECT_EQ(shmf_del(s.fh, "k"), -1);
    for (const char *f : {"shmf_get", "shmf_set", "shmf_del"})
        EXPECT_NE(cap.text().find(std::string(f) + ": BAD signature [BAD] at (0x"),
                  std::string::npos)
            << f;
    EXPECT_NE(cap.text().find(") (buflen=4232)\n"), std::string::npos);
    memcpy(s.wraw(), "SmF", 4);
    EXPECT_STREQ(shmf_get(s.fh, "k"), "v");
}

// A slot list whose counters disagree with its taken map is refused by
// changes instead of tripping the slot list's invariants.
TEST_F(shmflag, changes_refuse_an_inconsistent_slot_list)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    ASSERT_EQ(shmf_set(s.fh, "a", "1"), 0);
    LogCapture cap;

    s.wraw()[MAP + 5] = 1;  // taken behind the count's back
    EXPECT_EQ(shmf_set(s.fh, "new", "x"), -1);
    EXPECT_NE(cap.text().find("shmf_set: inconsistent slot list: count differs from the taken map "
                              "(count=1 last=0 avail=1)\n"),
              std::string::npos)
        << cap.text();
    EXPECT_EQ(shmf_set(s.fh, "a", "2"), 0);  // in place: the list is not touched
    s.wraw()[MAP + 5] = 0;

    s.put64(88, 0);  // count says empty, map says one
    cap.clear();
    EXPECT_EQ(shmf_del(s.fh, "a"), -1);
    EXPECT_NE(cap.text().find("shmf_del: inconsistent slot list:"), std::string::npos);
    s.put64(88, 1);

    s.put64(112, 3);  // slots 1 and 2 are free
    cap.clear();
    EXPECT_EQ(shmf_set(s.fh, "b", "x"), -1);
    EXPECT_NE(cap.text().find("free slot is not the lowest"), std::string::npos);
    s.put64(112, 1);

    s.wraw()[136 + 15] = 'z';  // a key without its NUL
    cap.clear();
    EXPECT_EQ(shmf_set(s.fh, "b", "x"), -1);
    EXPECT_NE(cap.text().find("unterminated record"), std::string::npos);
    s.wraw()[136 + 15] = 0;

    EXPECT_EQ(shmf_set(s.fh, "b", "x"), 0);
    EXPECT_EQ(shmf_del(s.fh, "a"), 0);
}

TEST_F(shmflag, bounded_wait_fails_on_a_lock_left_by_a_dead_process)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    ASSERT_EQ(shmf_set(s.fh, "k", "v"), 0);

    // A bound changes nothing while the lock is free.
    shmf_set_lock_wait(200);
    EXPECT_EQ(shmf_lock_wait(), 200u);
    EXPECT_STREQ(shmf_get(s.fh, "k"), "v");
    EXPECT_EQ(shmf_set(s.fh, "k", "w"), 0);

    struct {
        bool write;
        bool reads_pass;
    } holders[] = {{true, false}, {false, true}};
    LogCapture cap;
    for (const auto &h : holders) {
        SCOPED_TRACE(h.write ? "dead writer" : "dead reader");
        Store t;
        ASSERT_NE(t.fh, nullptr);
        ASSERT_EQ(shmf_set(t.fh, "k", "v"), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int rc = h.write ? pthread_rwlock_wrlock(&t.fh->rwlk)
                             : pthread_rwlock_rdlock(&t.fh->rwlk);
            _exit(rc);
        }
        int status = wait_child(pid, 10000);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

        cap.clear();
        auto t0 = std::chrono::steady_clock::now();
        errno = 0;
        const char *v = shmf_get(t.fh, "k");
        if (h.reads_pass) {
            EXPECT_STREQ(v, "v");
        } else {
            EXPECT_EQ(v, nullptr);
            EXPECT_EQ(errno, ETIMEDOUT);
        }
        EXPECT_EQ(shmf_set(t.fh, "k", "x"), ETIMEDOUT);
        EXPECT_EQ(shmf_del(t.fh, "k"), ETIMEDOUT);
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t0)
                      .count();
        int waits = h.reads_pass ? 2 : 3;
        EXPECT_GE(ms, waits * 190);
        EXPECT_LT(ms, 5000);
        EXPECT_EQ(count_of(cap.text(), "shmf_lock: pthread_rwlock_rdlock ERROR(110): "
                                       "Connection timed out\n"),
                  size_t(waits));
        EXPECT_EQ(t.bytes(136 + 16, 2), std::string("v\0", 2));  // nothing changed
        EXPECT_EQ(t.u64(88), 1u);
    }
}

namespace {

// In a child: opens the store at path, has a grandchild rewrite the
// header's lengths, then uses the store.  0 when nothing was trusted.
int use_store_with_rewritten_header(const std::string &path)
{
    shmf_t fh = shmf_open(path.c_str());
    if (!fh) return 10;
    // The page right behind the store's mapping belongs to something else
    // of this process (a page of its own when nothing is there yet).
    char *behind = reinterpret_cast<char *>(fh) + 8192;
    mmap(behind, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (msync(behind, 4096, MS_ASYNC) != 0) return 11;
    pid_t writer = fork();
    if (writer == 0) {
        int fd = shm_open(path.c_str(), O_RDWR, 0);
        void *p = mmap(nullptr, LEN, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) _exit(1);
        const uint64_t huge = uint64_t(1) << 32;
        for (size_t off : {8, 96, 104, 128})  // buflen, max_count, last, taken_offt
            memcpy(static_cast<char *>(p) + off, &huge, 8);
        _exit(0);
    }
    if (wait_child(writer, 10000) != 0) return 12;
    const char *v = shmf_get(fh, "k");
    if (!v || strcmp(v, "v") != 0) return 13;
    if (shmf_get(fh, "absent") != nullptr) return 14;
    if (shmf_set(fh, "new", "x") != -1 || shmf_del(fh, "k") != -1) return 15;
    if (shmf_close(fh) != 0) return 16;
    return msync(behind, 4096, MS_ASYNC) == 0 ? 0 : 17;  // still mapped
}

}  // namespace

// Another process rewrites the header of a store this one has open: the
// layout checked at open still bounds every access, changes are refused,
// and closing unmaps exactly the store's mapping.
TEST_F(shmflag, a_header_rewritten_by_another_process_is_not_trusted)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    ASSERT_EQ(shmf_set(s.fh, "k", "v"), 0);
    pid_t pid = fork();
    if (pid == 0) _exit(use_store_with_rewritten_header(s.path));
    int rc = wait_child(pid, 10000);
    ASSERT_TRUE(WIFEXITED(rc)) << rc;
    EXPECT_EQ(WEXITSTATUS(rc), 0);
}

// A lock left by a dead process fails every wait in bounded time, also
// for a process that never set a bound.
TEST_F(shmflag, the_default_lock_wait_is_bounded)
{
    Store s;
    ASSERT_NE(s.fh, nullptr);
    ASSERT_EQ(shmf_set(s.fh, "k", "v"), 0);
    pid_t holder = fork();
    if (holder == 0) _exit(pthread_rwlock_wrlock(&s.fh->rwlk));
    ASSERT_EQ(wait_child(holder, 10000), 0);
    pid_t reader = fork();
    if (reader == 0) {
        errno = 0;
        const bool timed_out = !shmf_get(s.fh, "k") && errno == ETIMEDOUT;
        _exit(timed_out && shmf_set(s.fh, "k", "w") == ETIMEDOUT ? 0 : 1);
    }
    int rc = wait_child(reader, 10000);
    ASSERT_TRUE(WIFEXITED(rc)) << rc;
    EXPECT_EQ(WEXITSTATUS(rc), 0);
}

TEST_F(shmflag, names_are_made_from_the_given_name_and_pid)
{
    LogCapture cap;
    shmf_t fh = shmf_create("plain", 4, 0);
    ASSERT_NE(fh, nullptr);
    const std::string made = "/shmf-plain." + std::to_string(getpid());
    EXPECT_TRUE(shm_exists(made));
    EXPECT_EQ(shmf_destroy(fh, made.c_str()), 0);
    EXPECT_FALSE(shm_exists(made));

    const std::string p247 = "/" + name_prefix() + std::string(246 - name_prefix().size(), 'n');
    ASSERT_EQ(p247.size(), 247u);
    fh = shmf_create(p247.c_str(), 4, 0);
    ASSERT_NE(fh, nullptr);
    EXPECT_EQ(shmf_destroy(fh, p247.c_str()), 0);

    cap.clear();
    EXPECT_EQ(shmf_create((p247 + "n").c_str(), 4, 0), nullptr);
    EXPECT_NE(cap.text().find("shmf_create: path is too long (must be <248)\n"),
              std::string::npos);

    const std::string plain(240, 'q');
    const int n = int(("/shmf-" + plain + "." + std::to_string(getpid())).size());
    cap.clear();
    EXPECT_EQ(shmf_create(plain.c_str(), 4, 0), nullptr);
    EXPECT_NE(cap.text().find("mk_shmf_path: buffer overflow: " + std::to_string(n) +
                              ">=248 [" + plain + "]\n"),
              std::string::npos)
        << cap.text();
}

TEST_F(shmflag, create_replaces_a_leftover_and_logs_its_shape)
{
    const std::string path = unique_path();
    int fd = shm_open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "leftover", 8), 8);
    close(fd);

    LogLevel dbg(DEBUG_level);
    LogCapture cap;
    shmf_t fh = shmf_create(path.c_str(), N, 7);
    ASSERT_NE(fh, nullptr);
    EXPECT_EQ(fh->buflen, LEN);
    EXPECT_NE(cap.text().find("shmf_create: BEGIN [" + path + "] count=128 f=0007 len=4232\n"),
              std::string::npos);
    EXPECT_NE(cap.text().find("):4232 [" + path + "] vlen=16 count=124 f=0007\n"),
              std::string::npos)
        << cap.text();
    EXPECT_EQ(shmf_destroy(fh, path.c_str()), 0);

    // A capacity with no room for a single record makes no store.
    cap.clear();
    EXPECT_EQ(shmf_create(path.c_str(), 1, 0), nullptr);
    EXPECT_NE(cap.text().find("shmf_create: emblst_create("), std::string::npos);
    EXPECT_FALSE(shm_exists(path));
}

// A full shared-memory file system fails the creation with a message; the
// store is never mapped without its pages (a write would end the process
// with SIGBUS).  The daemon then runs without a store.  The child mounts
// a one-page tmpfs in a private mount namespace.
TEST_F(shmflag, full_shm_fails_creation_cleanly)
{
    const int rc = run_in_child([] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=4k") != 0)
            return CHILD_SKIP;
        const std::string path = unique_path();
        LogCapture cap;
        CHILD_CHECK(shmf_create(path.c_str(), N, 0) == nullptr);
        CHILD_CHECK(cap.text().find("shmf_create: posix_fallocate(" + path + ", 4232) ERROR(28)") !=
                    std::string::npos);
        CHILD_CHECK(!shm_exists(path));
        // A store that fits is written to its last byte.
        shmf_t fh = shmf_create(path.c_str(), 8, 0);
        CHILD_CHECK(fh != nullptr);
        CHILD_CHECK(shmf_set(fh, "k", "v") == 0);
        CHILD_CHECK(shmf_destroy(fh, path.c_str()) == 0);
        return 0;
    });
    if (rc == CHILD_SKIP) GTEST_SKIP() << "no private mount namespace";
    EXPECT_EQ(rc, 0);
}
