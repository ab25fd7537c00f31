#include "xvdat.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "log.h"

namespace {

constexpr size_t BLK = 16;
constexpr size_t GROW = 4;

enum class Kind { heap, bound, mapped };

// A slot list of a given kind; a heap list starts empty and grows by GROW,
// the fixed ones have capacity cap.
struct List {
    xvlst l{};
    std::vector<char> buf;
    List(Kind k, size_t cap, size_t blksz = BLK)
    {
        if (k == Kind::bound) {
            buf.resize(cap * (blksz + 1));
            EXPECT_EQ(xvlst_bind(&l, buf.data(), buf.size(), blksz), 0);
            EXPECT_EQ(l.max_len, cap);
        } else if (k == Kind::mapped) {
            EXPECT_EQ(xvlst_mmap_fixed(&l, cap, blksz), 0);
        }
    }
    ~List() { xvlst_reset(&l); }
    ssize_t add() { return xvlst_add(&l, BLK, GROW); }
    int del(size_t i) { return xvlst_del(&l, i, nullptr); }
};

class SlotList : public ::testing::TestWithParam<Kind> {};

TEST_P(SlotList, reuses_the_lowest_free_slot)
{
    List s(GetParam(), 8);
    EXPECT_EQ(s.add(), 0);
    EXPECT_EQ(s.add(), 1);
    EXPECT_EQ(s.add(), 2);
    EXPECT_EQ(s.del(1), 0);
    EXPECT_EQ(s.add(), 1);
    EXPECT_EQ(s.del(0), 0);
    EXPECT_EQ(s.del(2), 0);
    EXPECT_EQ(s.add(), 0);
    EXPECT_EQ(s.add(), 2);
    EXPECT_EQ(s.add(), 3);
    EXPECT_EQ(s.l.len, 4u);
    EXPECT_EQ(s.l.last, 3u);
    // A gap far below last is found by the map scan.
    for (int i = 4; i < 8; ++i) EXPECT_EQ(s.add(), i);
    EXPECT_EQ(s.del(5), 0);
    EXPECT_EQ(s.del(1), 0);
    EXPECT_EQ(s.add(), 1);
    EXPECT_EQ(s.l.avail, 5);
    EXPECT_EQ(s.add(), 5);
}

TEST_P(SlotList, bad_deletes_give_erange_and_ealready)
{
    List s(GetParam(), 8);
    // Nothing taken yet: slot 0 is free, or beyond a heap list's storage.
    EXPECT_EQ(s.del(0), GetParam() == Kind::heap ? 34 : 114);
    s.add();
    s.add();
    EXPECT_EQ(s.del(2), 34);
    EXPECT_EQ(s.del(size_t(-1)), 34);
    EXPECT_EQ(s.del(1), 0);
    EXPECT_EQ(s.del(1), 114);
    EXPECT_EQ(s.l.len, 1u);
    EXPECT_EQ(s.l.last, 1u);  // deleting never lowers last
}

TEST_P(SlotList, walks_visit_taken_slots_up_to_last)
{
    List s(GetParam(), 8);
    for (int i = 0; i < 8; ++i) s.add();
    for (size_t i : {1, 4, 5, 6}) s.del(i);
    s.del(7);  // last stays 7: the walk still reaches it
    for (size_t i = 0; i < 8; ++i) *static_cast<size_t *>(xv_blk(s.l.data, i, BLK)) = i;

    static std::vector<size_t> seen;
    seen.clear();
    auto note = [](void *data, size_t i) {
        seen.push_back(*static_cast<size_t *>(xv_blk(data, i, BLK)));
        return int(i + 10);
    };
    EXPECT_EQ(xvlst_each(&s.l, note, nullptr), 13);  // every slot, last result
    EXPECT_EQ(seen, (std::vector<size_t>{0, 2, 3}));

    seen.clear();
    size_t pos = 99;
    EXPECT_EQ(xvlst_each(&s.l, note, &pos), 10);  // stops at the first
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(seen.size(), 1u);

    // A slot freed by the callback before the walk reaches it is skipped.
    auto free_3 = [](void *, size_t i, void *aux) {
        seen.push_back(i);
        if (i == 0) xvlst_del(static_cast<xvlst *>(aux), 3, nullptr);
        return 0;
    };
    seen.clear();
    EXPECT_EQ(xvlst_each_aux(&s.l, &s.l, free_3, &pos), 0);
    EXPECT_EQ(seen, (std::vector<size_t>{0, 2}));

    // find stops at the first match even without pos.
    size_t want = 2;
    auto is = [](void *data, size_t i, void *w) {
        seen.push_back(i);
        return int(*static_cast<size_t *>(xv_blk(data, i, BLK)) == *static_cast<size_t *>(w));
    };
    seen.clear();
    EXPECT_EQ(xvlst_find(&s.l, &want, is, nullptr), 1);
    EXPECT_EQ(seen, (std::vector<size_t>{0, 2}));
}

TEST_P(SlotList, rmif_and_purge_all)
{
    List s(GetParam(), 8);
    for (int i = 0; i < 6; ++i) s.add();
    auto is_even = [](void *, size_t i, void *) { return int(i % 2 == 0); };
    size_t pos = 0;
    EXPECT_EQ(xvlst_rmif(&s.l, nullptr, is_even, &pos), 3);
    EXPECT_EQ(s.l.len, 3u);
    EXPECT_EQ(s.add(), 0);

    // Entries at 0 and 5: two cleanups, then the next add takes slot 0.
    for (size_t i : {1, 3}) s.del(i);
    static std::vector<size_t> cleaned;
    cleaned.clear();
    xvlst_purge_all(&s.l, [](void *, size_t i) { cleaned.push_back(i); });
    EXPECT_EQ(cleaned, (std::vector<size_t>{0, 5}));
    EXPECT_EQ(s.l.len, 0u);
    EXPECT_EQ(s.l.last, 0u);
    size_t cap = s.l.max_len;
    EXPECT_EQ(s.add(), 0);
    EXPECT_EQ(s.add(), 1);
    EXPECT_EQ(s.l.max_len, cap);
}

INSTANTIATE_TEST_SUITE_P(xvdat, SlotList,
                         ::testing::Values(Kind::heap, Kind::bound, Kind::mapped),
                         [](const ::testing::TestParamInfo<Kind> &p) {
                             return p.param == Kind::heap    ? "heap"
                                    : p.param == Kind::bound ? "bound"
                                                             : "mapped";
                         });

TEST(xvdat, full_fixed_list_refuses_to_grow)
{
    for (Kind k : {Kind::bound, Kind::mapped}) {
        List s(k, 2);
        EXPECT_EQ(s.add(), 0);
        EXPECT_EQ(s.add(), 1);
        EXPECT_EQ(s.l.avail, -1);
        EXPECT_EQ(s.add(), ERR_XV_FIXED);
        EXPECT_EQ(xvlst_reserve(&s.l, 3, BLK, GROW), ERR_XV_FIXED);
        EXPECT_EQ(xvlst_reserve(&s.l, 2, BLK, GROW), 0);
        EXPECT_EQ(s.l.len, 2u);
        EXPECT_EQ(s.del(1), 0);
        EXPECT_EQ(s.add(), 1);
    }
}

TEST(xvdat, mapped_list_slots_never_move)
{
    constexpr size_t N = 5000, B = 104;
    xvlst l{};
    ASSERT_EQ(xvlst_mmap_fixed(&l, N, B), 0);
    EXPECT_EQ(l.meta.num, long(B));
    EXPECT_EQ(l.taken, static_cast<char *>(l.data) + N * B);
    void *const base = l.data;
    auto stamp = [&](size_t i) { return static_cast<size_t *>(xv_blk(base, i, B)); };
    for (size_t i = 0; i < N; ++i) {
        ASSERT_EQ(xvlst_add(&l, B, 1), ssize_t(i));
        *stamp(i) = i;
    }
    EXPECT_EQ(xvlst_add(&l, B, 1), ERR_XV_FIXED);
    for (size_t i = 0; i < N; i += 3) ASSERT_EQ(xvlst_del(&l, i, nullptr), 0);
    for (size_t i = 0; i < N; i += 3) {
        ASSERT_EQ(xvlst_add(&l, B, 1), ssize_t(i));
        *stamp(i) = i;
    }
    EXPECT_EQ(l.data, base);
    EXPECT_EQ(l.len, N);
    for (size_t i = 0; i < N; ++i) ASSERT_EQ(*stamp(i), i);

    long page = sysconf(_SC_PAGESIZE);
    xvlst_reset(&l);
    EXPECT_EQ(l.data, nullptr);
    EXPECT_EQ(l.max_len, 0u);
    EXPECT_EQ(l.flags, 0u);
    errno = 0;
    EXPECT_EQ(msync(base, size_t(page), MS_ASYNC), -1);  // unmapped
    EXPECT_EQ(errno, ENOMEM);
}

TEST(xvdat, heap_growth_steps)
{
    xvec v{};
    ASSERT_EQ(xvec_reserve(&v, 21, 8, 10), 0);
    EXPECT_EQ(v.max_len, 30u);
    std::vector<char> zero(30 * 8, 0);
    EXPECT_EQ(memcmp(v.data, zero.data(), zero.size()), 0);
    memset(v.data, 0x5a, 30 * 8);
    EXPECT_EQ(xvec_reserve(&v, 25, 8, 10), 0);
    EXPECT_EQ(v.max_len, 30u);
    ASSERT_EQ(xvec_reserve(&v, 31, 8, 10), 0);
    EXPECT_EQ(v.max_len, 40u);
    EXPECT_EQ(static_cast<unsigned char *>(v.data)[30 * 8 - 1], 0x5a);
    EXPECT_EQ(memcmp(static_cast<char *>(v.data) + 30 * 8, zero.data(), 10 * 8), 0);
    xvec_reset(&v);
    EXPECT_EQ(v.data, nullptr);
    EXPECT_EQ(v.max_len, 0u);

    for (size_t i = 0; i < 9; ++i) {
        ASSERT_EQ(xvec_add(&v, 8, 4), ssize_t(i));
        EXPECT_EQ(v.max_len, (i / 4 + 1) * 4) << i;
    }
    ASSERT_EQ(xvec_expand(&v, 5, 8, 4), 0);  // room for 14: 16
    EXPECT_EQ(v.max_len, 16u);
    xvec_reset(&v);

    // A slot list grows only when every slot is taken.
    List s(Kind::heap, 0);
    for (int i = 0; i < 4; ++i) s.add();
    EXPECT_EQ(s.l.max_len, 4u);
    EXPECT_EQ(s.l.avail, -1);
    s.del(2);
    EXPECT_EQ(s.add(), 2);
    EXPECT_EQ(s.l.max_len, 4u);
    memset(s.l.data, 0x5a, 4 * BLK);
    EXPECT_EQ(s.add(), 4);
    EXPECT_EQ(s.l.max_len, 8u);
    EXPECT_EQ(static_cast<unsigned char *>(s.l.data)[4 * BLK - 1], 0x5a);
    EXPECT_EQ(memcmp(static_cast<char *>(s.l.data) + 4 * BLK, zero.data(), 4 * BLK), 0);
    for (int i = 5; i < 8; ++i) EXPECT_EQ(s.l.taken[i], 0);
    // A full list reserved further: the first new slot is free.
    for (int i = 5; i < 8; ++i) s.add();
    ASSERT_EQ(xvlst_reserve(&s.l, 10, BLK, GROW), 0);
    EXPECT_EQ(s.l.max_len, 12u);
    EXPECT_EQ(s.l.avail, 8);
    EXPECT_EQ(s.add(), 8);
}

TEST(xvdat, caller_buffers_never_grow)
{
    alignas(8) char buf[100];
    memset(buf, 0x11, sizeof(buf));
    xvec v{};
    EXPECT_EQ(xvec_bind(&v, buf, 7, 8), -1);
    ASSERT_EQ(xvec_bind(&v, buf, sizeof(buf), 8), 0);
    EXPECT_EQ(v.max_len, 12u);
    EXPECT_EQ(v.flags, unsigned(XV_FIXED_SIZE));
    EXPECT_EQ(buf[99], 0);
    EXPECT_EQ(xvec_expand(&v, 1, 8, 4), ERR_XV_FIXED);
    EXPECT_EQ(xvec_reserve(&v, 5, 8, 4), 0);
    EXPECT_EQ(xvec_reserve(&v, 13, 8, 4), ERR_XV_FIXED);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(xvec_add(&v, 8, 4), i);
    EXPECT_EQ(xvec_add(&v, 8, 4), -1);
    xvec_reset(&v);
    EXPECT_EQ(v.data, buf);
    EXPECT_EQ(v.max_len, 12u);
    EXPECT_EQ(v.len, 0u);

    xvlst l{};
    EXPECT_EQ(xvlst_bind(&l, buf, 9, 9), -1);
    ASSERT_EQ(xvlst_bind(&l, buf, 10, 9), 0);
    EXPECT_EQ(l.max_len, 1u);
    ASSERT_EQ(xvlst_bind(&l, buf, sizeof(buf), 9), 0);
    EXPECT_EQ(l.max_len, 10u);
    EXPECT_EQ(l.taken, buf + 90);
    xvlst_reset(&l);
    EXPECT_EQ(l.data, nullptr);
}

TEST(xvdat, vector_walks)
{
    xvec v{};
    for (int i = 0; i < 5; ++i) {
        ssize_t j = xvec_add(&v, 4, 4);
        ASSERT_EQ(j, i);
        static_cast<int *>(v.data)[j] = i;
    }
    auto below = [](void *data, size_t i, void *lim) {
        return int(static_cast<int *>(data)[i] >= *static_cast<int *>(lim));
    };
    int lim = 2;
    size_t pos = 99;
    EXPECT_EQ(xvec_each_aux(&v, below, &lim, nullptr), 1);
    lim = 5;
    EXPECT_EQ(xvec_find(&v, &lim, below, &pos), 0);
    EXPECT_EQ(pos, 99u);
    lim = 3;
    EXPECT_EQ(xvec_find(&v, &lim, below, &pos), 1);
    EXPECT_EQ(pos, 3u);
    auto odd = [](void *data, size_t i) { return static_cast<int *>(data)[i] % 2; };
    EXPECT_EQ(xvec_each(&v, odd, nullptr), 0);  // the last block's result
    EXPECT_EQ(xvec_each(&v, odd, &pos), 1);
    EXPECT_EQ(pos, 1u);
    xvec_reset(&v);
    EXPECT_EQ(xvec_each(&v, odd, &pos), 0);
    xvec_reset(nullptr);
    xvlst_reset(nullptr);
}

TEST(xvdat, allocation_failures)
{
    xvec v{};
    ASSERT_EQ(xvec_reserve(&v, 10, 8, 10), 0);
    void *old = v.data;
    EXPECT_EQ(xvec_reserve(&v, SIZE_MAX / 4, 8, 10), -1);  // size overflows
    EXPECT_EQ(v.data, old);
    EXPECT_EQ(v.max_len, 10u);
    EXPECT_DEATH(
        {
            log_default(&g_log, stderr);
            xvdat_flags = XV_ABORT_ENOMEM;
            xvec_reserve(&v, SIZE_MAX / 4, 8, 10);
        },
        "Aborting at:");
    xvec_reset(&v);

    xvlst l{};
    EXPECT_EQ(xvlst_mmap_fixed(&l, SIZE_MAX / 2, 4), 12);
    EXPECT_EQ(xvlst_mmap_fixed(&l, size_t(1) << 50, 1024), 12);
    EXPECT_EQ(l.data, nullptr);
}

TEST(xvdat, broken_invariants_assert)
{
    log_default(&g_log, stderr);
    xvec v{};
    EXPECT_DEATH(xvec_reserve(&v, 1, 8, 0), "ASSERT at:");
    EXPECT_DEATH(xvec_expand(&v, 0, 8, 4), "ASSERT at:");
    alignas(8) char buf[128];
    EXPECT_DEATH(emblst_create(buf + 4, 100, 1), "ASSERT at:");
    List s(Kind::bound, 4);
    s.l.avail = 4;  // inconsistent: beyond capacity
    EXPECT_DEATH(s.add(), "ASSERT at:");
    s.l.avail = 0;
    s.l.taken[0] = 1;  // taken with len 0
    EXPECT_DEATH(s.del(0), "ASSERT at:");
}

// --- embedded slot list ---------------------------------------------------------

TEST(xvdat, emblst_sizes)
{
    struct Case {
        size_t len, blksz, cap;
    };
    // The flag store's list: 4144 bytes of 32-byte records gives 124 slots.
    constexpr Case cases[] = {{48, 1, 0},  {49, 1, 0},  {50, 1, 1},    {51, 1, 1},
                              {52, 1, 2},  {80, 32, 0}, {81, 32, 1},   {4144, 32, 124},
                              {0, 8, 0},   {100, 200, 0}};
    for (const Case &c : cases) {
        std::vector<uint64_t> mem(c.len / 8 + 2, ~uint64_t(0));
        emblst *el = emblst_create(mem.data(), c.len, c.blksz);
        if (c.cap == 0) {
            EXPECT_EQ(el, nullptr) << c.len << "/" << c.blksz;
            continue;
        }
        ASSERT_EQ(static_cast<void *>(el), mem.data()) << c.len << "/" << c.blksz;
        EXPECT_EQ(el->max_count, c.cap);
        EXPECT_EQ(el->taken_offt, 48 + c.blksz * c.cap);
        EXPECT_EQ(el->count, 0u);
        EXPECT_EQ(el->avail, 0);
        EXPECT_TRUE(el->flags & XV_FIXED_SIZE);
        const char *p = reinterpret_cast<const char *>(mem.data());
        for (size_t i = 48; i < el->taken_offt + c.cap; ++i) ASSERT_EQ(p[i], 0) << i;
        EXPECT_EQ(p[el->taken_offt + c.cap], char(0xff));  // nothing written beyond
    }
}

TEST(xvdat, emblst_slots_and_copy)
{
    alignas(8) char buf[48 + 3 * 9];
    emblst *el = emblst_create(buf, sizeof(buf), 8);
    ASSERT_NE(el, nullptr);
    ASSERT_EQ(el->max_count, 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(emblst_add(el), i);
    EXPECT_EQ(emblst_add(el), -1);
    EXPECT_EQ(emblst_del(el, 3, nullptr), 34);
    static void *cleaned_data;
    static size_t cleaned_i;
    auto cleanup = [](void *data, size_t i) { cleaned_data = data, cleaned_i = i; };
    EXPECT_EQ(emblst_del(el, 1, cleanup), 0);
    EXPECT_EQ(cleaned_data, emblst_data(el));
    EXPECT_EQ(cleaned_i, 1u);
    EXPECT_EQ(emblst_del(el, 1, nullptr), 114);
    EXPECT_EQ(el->count, 2u);
    auto count = [](void *, size_t i, void *n) { return ++*static_cast<int *>(n), int(i); };
    int n = 0;
    EXPECT_EQ(emblst_each_aux(el, &n, count, nullptr), 2);
    EXPECT_EQ(n, 2);

    alignas(8) char dst[sizeof(buf)];
    errno = 0;
    EXPECT_EQ(emblst_copy(el, dst, sizeof(dst) - 1), nullptr);
    EXPECT_EQ(errno, EINVAL);
    emblst *cp = emblst_copy(el, dst, sizeof(dst));
    ASSERT_EQ(static_cast<void *>(cp), dst);
    EXPECT_EQ(memcmp(dst, buf, sizeof(buf)), 0);
    EXPECT_EQ(emblst_add(cp), 1);  // the copy is a list of its own
    EXPECT_EQ(el->count, 2u);
    EXPECT_EQ(emblst_add(el), 1);
}

// A POSIX shared-memory object, unlinked and closed at the end.
struct ShmObject {
    std::string name = "/xvdat_test." + std::to_string(getpid());
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ~ShmObject()
    {
        if (fd >= 0) {
            close(fd);
            shm_unlink(name.c_str());
        }
    }
};

// The child's status, or -1 when it did not end within timeout_ms (then
// it is killed).
int wait_child(pid_t pid, int timeout_ms)
{
    int status = 0;
    for (int waited = 0; waited < timeout_ms; ++waited) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        poll(nullptr, 0, 1);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

struct Rec {
    char name[32];
};

Rec *rec(emblst *el, size_t i)
{
    return static_cast<Rec *>(xv_blk(emblst_data(el), i, sizeof(Rec)));
}

// What the child does through its own mapping of the object: the codes
// tell the parent which check failed.
int child_work(int fd, size_t size, void *parent_map)
{
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return 10;
    if (map == parent_map) return 11;
    auto *el = static_cast<emblst *>(map);
    if (el->count != 1 || strcmp(rec(el, 0)->name, "parent") != 0) return 12;
    if (emblst_add(el) != 1) return 13;
    strcpy(rec(el, 1)->name, "child 1");
    if (emblst_add(el) != 2) return 14;
    strcpy(rec(el, 2)->name, "child 2");
    auto wipe = [](void *data, size_t i) { memset(xv_blk(data, i, sizeof(Rec)), 0, sizeof(Rec)); };
    if (emblst_del(el, 0, wipe) != 0) return 15;
    // The inherited mapping, at another address, sees the same list.
    auto *pel = static_cast<emblst *>(parent_map);
    if (pel->count != 2 || strcmp(rec(pel, 2)->name, "child 2") != 0) return 16;
    return munmap(map, size) == 0 ? 0 : 17;
}

TEST(xvdat, emblst_shared_between_processes)
{
    constexpr size_t SIZE = 4096;
    ShmObject shm;
    ASSERT_GE(shm.fd, 0) << strerror(errno);
    ASSERT_EQ(ftruncate(shm.fd, SIZE), 0);
    void *map = mmap(nullptr, SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, shm.fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    emblst *el = emblst_create(map, SIZE, sizeof(Rec));
    ASSERT_NE(el, nullptr);
    ASSERT_EQ(emblst_add(el), 0);
    strcpy(rec(el, 0)->name, "parent");

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(child_work(shm.fd, SIZE, map));
    int status = wait_child(pid, 10000);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);

    EXPECT_EQ(el->count, 2u);
    EXPECT_EQ(el->last, 2u);
    EXPECT_EQ(el->avail, 0);
    EXPECT_EQ(rec(el, 0)->name[0], 0);
    EXPECT_STREQ(rec(el, 1)->name, "child 1");
    EXPECT_STREQ(rec(el, 2)->name, "child 2");
    EXPECT_EQ(emblst_add(el), 0);
    EXPECT_EQ(emblst_add(el), 3);
    munmap(map, SIZE);
}

}  // namespace
