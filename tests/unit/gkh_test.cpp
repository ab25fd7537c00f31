#include "gkh.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "log.h"
#include "support.h"

namespace {

const ht_tag *rec_of(unsigned long h) { return reinterpret_cast<const ht_tag *>(h); }

u_long zero_hash(const void *, u_long) { return 0; }

// Collects what an iteration visits.
struct text_visits {
    std::vector<std::string> keys;
    std::vector<void *> data;
};

void collect_text(const void *key, void *data, void *aux)
{
    auto *v = static_cast<text_visits *>(aux);
    v->keys.emplace_back(static_cast<const char *>(key));
    v->data.push_back(data);
}

void collect_num(const void *key, void *, void *aux)
{
    static_cast<std::vector<long> *>(aux)->push_back(
        static_cast<long>(reinterpret_cast<uintptr_t>(key)));
}

int g_freed_null;
void count_free(void *data)
{
    if (data)
        ++*static_cast<int *>(data);
    else
        ++g_freed_null;
}

std::string dump_of(void (*print)(unsigned long, FILE *, int), unsigned long h, int verbose)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    print(h, fp, verbose);
    fclose(fp);
    std::string s(buf, len);
    free(buf);
    return s;
}

void skht_print_u(unsigned long h, FILE *fp, int v) { skht_print(h, fp, v); }
void nkht_print_u(unsigned long h, FILE *fp, int v) { nkht_print(long(h), fp, v); }

}  // namespace

TEST(gkh, bucket_count_follows_capacity)
{
    struct {
        size_t capacity;
        size_t rlen;
    } cases[] = {{1, 1}, {2, 2}, {3, 4}, {100, 128}, {128, 128}, {1024, 1024}, {5000000, 4194304}};
    for (auto c : cases) {
        SCOPED_TRACE(c.capacity);
        skht_t s = 0, t = 0;
        ASSERT_EQ(skht_create(&s, c.capacity, nullptr, nullptr, 0), 0);
        ASSERT_EQ(skht_create(&t, c.capacity, nullptr, nullptr, 0), 0);
        EXPECT_EQ(rec_of(s)->rlen, c.rlen);
        EXPECT_EQ(rec_of(s)->ktype, ekt_STR);
        EXPECT_EQ(rec_of(s)->icalc, plHash);
        EXPECT_NE(rec_of(s)->hseed, rec_of(t)->hseed);  // drawn at random per table
        skht_destroy(s, nullptr);
        skht_destroy(t, nullptr);

        nkht_t n = 0;
        ASSERT_EQ(nkht_create(&n, c.capacity, nullptr), 0);
        EXPECT_EQ(rec_of(n)->rlen, c.rlen);
        EXPECT_EQ(rec_of(n)->ktype, ekt_NUM);
        EXPECT_EQ(rec_of(n)->icalc, nullptr);
        nkht_destroy(n, nullptr);
    }
}

TEST(gkh, capacity_above_limit_is_refused)
{
    skht_t s = 99;
    EXPECT_EQ(skht_create(&s, 5000001, nullptr, nullptr, 0), EOVERFLOW);
    EXPECT_EQ(s, 0u);
    nkht_t n = 99;
    EXPECT_EQ(nkht_create(&n, 5000001, tw_shift), EOVERFLOW);
    EXPECT_EQ(n, 0);
}

TEST(gkh, duplicate_key_keeps_first_data)
{
    int a = 0, b = 0;
    skht_t s;
    ASSERT_EQ(skht_create(&s, 16, nullptr, nullptr, 0), 0);
    void *d = &a;
    ASSERT_EQ(skht_add(s, "udp://239.1.1.1:5000", &d), 0);
    d = &b;
    EXPECT_EQ(skht_add(s, "udp://239.1.1.1:5000", &d), EBUSY);
    EXPECT_EQ(d, &a);
    EXPECT_EQ(skht_add(s, "udp://239.1.1.1:5000", nullptr), EBUSY);
    EXPECT_EQ(skht_count(s), 1u);
    d = nullptr;
    EXPECT_EQ(skht_get(s, "udp://239.1.1.1:5000", &d), 0);
    EXPECT_EQ(d, &a);
    skht_destroy(s, nullptr);

    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 16, tw_shift), 0);
    d = &a;
    ASSERT_EQ(nkht_add(n, -7, &d), 0);
    d = &b;
    EXPECT_EQ(nkht_add(n, -7, &d), EBUSY);
    EXPECT_EQ(d, &a);
    EXPECT_EQ(nkht_count(n), 1u);
    nkht_destroy(n, nullptr);
}

TEST(gkh, add_without_pdat_stores_null)
{
    skht_t s;
    ASSERT_EQ(skht_create(&s, 4, nullptr, nullptr, 0), 0);
    ASSERT_EQ(skht_add(s, "k", nullptr), 0);
    int x;
    void *d = &x;
    EXPECT_EQ(skht_get(s, "k", &d), 0);
    EXPECT_EQ(d, nullptr);
    EXPECT_EQ(skht_get(s, "k", nullptr), 0);
    skht_destroy(s, nullptr);
}

TEST(gkh, one_bucket_keeps_chain_sorted)
{
    skht_t s;
    ASSERT_EQ(skht_create(&s, 1, nullptr, nullptr, 0), 0);
    int v[5];
    const char *keys[] = {"m", "c", "x", "a", "ca"};
    for (int i = 0; i < 5; ++i) {
        void *d = &v[i];
        ASSERT_EQ(skht_add(s, keys[i], &d), 0);
    }
    text_visits tv;
    EXPECT_EQ(skht_iter(s, collect_text, &tv), 5u);
    EXPECT_EQ(tv.keys, (std::vector<std::string>{"a", "c", "ca", "m", "x"}));
    EXPECT_EQ(tv.data, (std::vector<void *>{&v[3], &v[1], &v[4], &v[0], &v[2]}));

    // Removing at the head, inside and at the end of the chain.
    for (const char *k : {"a", "ca", "x"}) EXPECT_EQ(skht_rm(s, k, nullptr), 0) << k;
    tv = {};
    EXPECT_EQ(skht_iter(s, collect_text, &tv), 2u);
    EXPECT_EQ(tv.keys, (std::vector<std::string>{"c", "m"}));
    for (const char *k : {"a", "b", "ca", "d", "z"}) EXPECT_EQ(skht_get(s, k, nullptr), ESRCH) << k;
    skht_destroy(s, nullptr);
}

TEST(gkh, numeric_keys_compare_signed)
{
    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 1, nullptr), 0);
    const long big = 1L << 40;
    for (long k : {1L, big, -5L}) ASSERT_EQ(nkht_add(n, k, nullptr), 0);
    std::vector<long> seen;
    EXPECT_EQ(nkht_iter(n, collect_num, &seen), 3u);
    EXPECT_EQ(seen, (std::vector<long>{-5, 1, big}));
    for (long k : {1L, big, -5L}) EXPECT_EQ(nkht_get(n, k, nullptr), 0) << k;
    EXPECT_EQ(nkht_get(n, 2, nullptr), ESRCH);
    nkht_destroy(n, nullptr);
}

TEST(gkh, iteration_visits_buckets_in_index_order)
{
    // Two buckets and no hash function: even keys in bucket 0, odd in 1.
    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 2, nullptr), 0);
    for (long k : {5L, 2L, 6L, 1L, 4L, 3L}) ASSERT_EQ(nkht_add(n, k, nullptr), 0);
    std::vector<long> seen;
    EXPECT_EQ(nkht_iter(n, collect_num, &seen), 6u);
    EXPECT_EQ(seen, (std::vector<long>{2, 4, 6, 1, 3, 5}));
    nkht_destroy(n, nullptr);
}

TEST(gkh, given_hash_function_is_used)
{
    skht_t s;
    ASSERT_EQ(skht_create(&s, 1024, zero_hash, nullptr, 0), 0);
    EXPECT_EQ(rec_of(s)->icalc, zero_hash);
    for (const char *k : {"b", "a", "c"}) ASSERT_EQ(skht_add(s, k, nullptr), 0);
    // Everything lands in bucket 0, in key order.
    std::string out = dump_of(skht_print_u, s, 1);
    EXPECT_NE(out.find("slots: 1/1024\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n0:(3:c);\n"), std::string::npos) << out;
    skht_destroy(s, nullptr);
}

TEST(gkh, remove_returns_data_once)
{
    int a;
    skht_t s;
    ASSERT_EQ(skht_create(&s, 8, nullptr, nullptr, 0), 0);
    void *d = &a;
    ASSERT_EQ(skht_add(s, "key", &d), 0);
    d = nullptr;
    EXPECT_EQ(skht_rm(s, "key", &d), 0);
    EXPECT_EQ(d, &a);
    EXPECT_EQ(skht_count(s), 0u);
    EXPECT_EQ(skht_rm(s, "key", &d), ESRCH);
    EXPECT_EQ(skht_get(s, "key", &d), ESRCH);
    // The key can be added again.
    EXPECT_EQ(skht_add(s, "key", nullptr), 0);
    skht_destroy(s, nullptr);

    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 8, tw_shift), 0);
    d = &a;
    ASSERT_EQ(nkht_add(n, 42, &d), 0);
    d = nullptr;
    EXPECT_EQ(nkht_rm(n, 42, &d), 0);
    EXPECT_EQ(d, &a);
    EXPECT_EQ(nkht_rm(n, 42, nullptr), ESRCH);
    nkht_destroy(n, nullptr);
}

TEST(gkh, destroy_frees_each_remaining_data_once)
{
    int freed[6] = {};
    g_freed_null = 0;
    const char *init[] = {"i1", "i2"};
    skht_t s;
    ASSERT_EQ(skht_create(&s, 4, nullptr, init, 2), 0);
    for (int i = 0; i < 6; ++i) {
        void *d = &freed[i];
        ASSERT_EQ(skht_add(s, std::to_string(i).c_str(), &d), 0);
    }
    void *d = nullptr;
    ASSERT_EQ(skht_rm(s, "3", &d), 0);
    EXPECT_EQ(freed[3], 0);  // removal hands the data back, unfreed
    skht_destroy(s, count_free);
    EXPECT_EQ(freed[3], 0);
    for (int i : {0, 1, 2, 4, 5}) EXPECT_EQ(freed[i], 1) << i;
    EXPECT_EQ(g_freed_null, 2);  // the initial keys' null data

    int nfreed[3] = {};
    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 1, nullptr), 0);
    for (int i = 0; i < 3; ++i) {
        void *p = &nfreed[i];
        ASSERT_EQ(nkht_add(n, i + 1, &p), 0);
    }
    ASSERT_EQ(nkht_rm(n, 2, nullptr), 0);
    nkht_destroy(n, count_free);
    EXPECT_EQ(nfreed[0], 1);
    EXPECT_EQ(nfreed[1], 0);
    EXPECT_EQ(nfreed[2], 1);
}

TEST(gkh, create_with_initial_keys)
{
    const char *keys[] = {"x", "y", "z"};
    skht_t s = 0;
    ASSERT_EQ(skht_create(&s, 8, nullptr, keys, 3), 0);
    EXPECT_EQ(skht_count(s), 3u);
    int v;
    void *d = &v;
    EXPECT_EQ(skht_get(s, "y", &d), 0);
    EXPECT_EQ(d, nullptr);
    skht_destroy(s, nullptr);

    const char *dup[] = {"a", "b", "a"};
    s = 77;
    EXPECT_EQ(skht_create(&s, 8, nullptr, dup, 3), EBUSY);
    EXPECT_EQ(s, 0u);
}

TEST(gkh, key_zero_is_refused_with_a_log_line)
{
    LogCapture log;
    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 8, tw_shift), 0);
    int v;
    void *d = &v;
    EXPECT_EQ(nkht_add(n, 0, &d), EINVAL);
    EXPECT_EQ(nkht_count(n), 0u);
    EXPECT_NE(log.text().find("(ERR)"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("nkht_add: key 0 refused"), std::string::npos) << log.text();
    EXPECT_EQ(nkht_get(n, 0, nullptr), ESRCH);
    EXPECT_EQ(nkht_rm(n, 0, nullptr), ESRCH);
    EXPECT_EQ(nkht_add(n, 1, nullptr), 0);  // the table goes on working
    nkht_destroy(n, nullptr);
}

TEST(gkh, text_keys_longer_than_254_are_refused)
{
    skht_t s;
    ASSERT_EQ(skht_create(&s, 8, nullptr, nullptr, 0), 0);
    const std::string k254(254, 'k');
    const std::string k255(255, 'k');
    const std::string k300 = k254 + std::string(46, 'x');

    EXPECT_EQ(skht_add(s, k254.c_str(), nullptr), 0);
    EXPECT_EQ(skht_get(s, k254.c_str(), nullptr), 0);
    text_visits tv;
    skht_iter(s, collect_text, &tv);
    ASSERT_EQ(tv.keys.size(), 1u);
    EXPECT_EQ(tv.keys[0], k254);

    for (const std::string *k : {&k255, &k300}) {
        SCOPED_TRACE(k->size());
        EXPECT_EQ(skht_add(s, k->c_str(), nullptr), E2BIG);
        EXPECT_EQ(skht_add(s, k->c_str(), nullptr), E2BIG);
        EXPECT_EQ(skht_get(s, k->c_str(), nullptr), ESRCH);
        EXPECT_EQ(skht_rm(s, k->c_str(), nullptr), ESRCH);
    }
    EXPECT_EQ(skht_count(s), 1u);  // the 254-character prefix is untouched
    EXPECT_EQ(skht_get(s, k254.c_str(), nullptr), 0);
    skht_destroy(s, nullptr);

    const char *init[] = {"ok", k300.c_str()};
    s = 5;
    EXPECT_EQ(skht_create(&s, 8, nullptr, init, 2), E2BIG);
    EXPECT_EQ(s, 0u);
}

// Keys of one length whose plHash values differ by a multiple of the
// bucket count share a bucket whatever the seed, and clients choose task
// and request keys: the table's own hash must spread them.
TEST(gkh, equal_length_colliding_keys_spread_over_buckets)
{
    std::vector<std::string> keys;
    for (int c0 = 1; c0 < 128 && keys.size() < 100; ++c0) {
        const int c1 = (7 - c0 * 101) & 127;  // c0 * 101 + c1 == 7 (mod 128)
        if (c1) keys.push_back({char(c0), char(c1)});
    }
    ASSERT_EQ(keys.size(), 100u);
    for (const std::string &k : keys) ASSERT_EQ(plHash(k.c_str(), 0) & 127, 7u) << k;
    for (int round = 0; round < 3; ++round) {
        skht_t s;
        ASSERT_EQ(skht_create(&s, 100, nullptr, nullptr, 0), 0);  // 128 buckets
        for (const std::string &k : keys) ASSERT_EQ(skht_add(s, k.c_str(), nullptr), 0);
        const std::string dump = dump_of(skht_print_u, s, 0);
        long longest = -1;
        ASSERT_EQ(sscanf(dump.c_str() + dump.find("Max chain length:"), "Max chain length: %ld",
                         &longest),
                  1);
        EXPECT_LE(longest, 12) << dump;
        for (const std::string &k : keys) EXPECT_EQ(skht_get(s, k.c_str(), nullptr), 0);
        skht_destroy(s, nullptr);
    }
}

TEST(gkh, table_without_buckets_gives_einval)
{
    ht_tag st{ekt_STR, nullptr, 0, 0, 0, plHash};
    auto s = reinterpret_cast<skht_t>(&st);
    EXPECT_EQ(skht_add(s, "a", nullptr), EINVAL);
    EXPECT_EQ(skht_get(s, "a", nullptr), EINVAL);
    EXPECT_EQ(skht_rm(s, "a", nullptr), EINVAL);
    ht_tag nt{ekt_NUM, nullptr, 0, 0, 0, nullptr};
    auto n = reinterpret_cast<nkht_t>(&nt);
    EXPECT_EQ(nkht_add(n, 1, nullptr), EINVAL);
    EXPECT_EQ(nkht_get(n, 1, nullptr), EINVAL);
    EXPECT_EQ(nkht_rm(n, 1, nullptr), EINVAL);
}

TEST(gkh, plhash_values)
{
    struct {
        const char *text;
        u_long hseed;
        u_long hash;
    } cases[] = {
        {"", 7, 7},
        {"ab", 0, 97 * 101 + 98},
        {"abc", 5, 6150999},  // ((5*101 + 97)*101 + 98)*101 + 99
        {"\xE9", 0, 18446744073709551593UL},  // -23 modulo 2^64
        {"a\xE9", 0, 9774},                   // 97*101 - 23
        {"abcdefghijkl", 1700000000, 9771760702200679926UL},  // wraps
        {"udp://239.1.1.1:5000|udp://10.0.0.2:6000", 1765000000, 2678998350066308309UL},
        {"\xE9\xE9\xE9\xE9\xE9x", 3, 2940410817308UL},
    };
    for (auto c : cases) EXPECT_EQ(plHash(c.text, c.hseed), c.hash) << c.text;
}

TEST(gkh, tw_shift_values)
{
    struct {
        long key;
        u_long hash;
    } cases[] = {
        {0, 0x77cfa1eef01bca90UL},
        {1, 0x5bca7c69b794f8ceUL},
        {1L << 40, 0x9364fec267021515UL},
        {-5, 0x82baccb885f22013UL},
    };
    for (auto c : cases) {
        const void *k = reinterpret_cast<const void *>(static_cast<uintptr_t>(c.key));
        EXPECT_EQ(tw_shift(k, 0), c.hash) << c.key;
        EXPECT_EQ(tw_shift(k, 12345), c.hash) << c.key;  // hseed ignored
    }
}

TEST(gkh, elfhash_values)
{
    EXPECT_EQ(elfHash("a", 9), 0x61u);
    EXPECT_EQ(elfHash("abc", 0), 0x6783u);  // (0x61 << 8) + (0x62 << 4) + 0x63
    EXPECT_EQ(elfHash("abcdefghij", 0), 0xabaa66aUL);
    EXPECT_EQ(elfHash("\xE9", 0), 0xffffffff0fffff19UL);  // bits 28-31 folded and cleared
}

TEST(gkh, hashed_numeric_table_finds_every_key)
{
    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 1024, tw_shift), 0);
    for (long k = -500; k <= 500; ++k) {
        if (k == 0) continue;
        ASSERT_EQ(nkht_add(n, k * 7919, nullptr), 0);
    }
    EXPECT_EQ(nkht_count(n), 1000u);
    for (long k = -500; k <= 500; ++k) {
        if (k == 0) continue;
        EXPECT_EQ(nkht_get(n, k * 7919, nullptr), 0) << k;
    }
    EXPECT_EQ(nkht_get(n, 1, nullptr), ESRCH);
    nkht_destroy(n, nullptr);
}

TEST(gkh, print_dump)
{
    nkht_t n;
    ASSERT_EQ(nkht_create(&n, 2, nullptr), 0);
    for (long k : {1L, 3L, 2L}) ASSERT_EQ(nkht_add(n, k, nullptr), 0);
    char head[128];
    snprintf(head, sizeof(head), "Hash [%p;seed=%ld] contains: \n\t3 records; slots: 2/2\n",
             reinterpret_cast<void *>(n), long(rec_of(n)->hseed));
    std::string brief = std::string(head) + "Max chain length: 2\n";
    EXPECT_EQ(dump_of(nkht_print_u, n, 0), brief);
    EXPECT_EQ(dump_of(nkht_print_u, n, 1), brief + "\nHash slots (total=2):\n0:(1:2);1:(2:3);\n");
    nkht_destroy(n, nullptr);
}

TEST(gkhDeathTest, broken_invariants_abort)
{
    skht_t s = 0;
    nkht_t n = 0;
    EXPECT_DEATH(skht_create(nullptr, 8, nullptr, nullptr, 0), "ASSERT at:");
    EXPECT_DEATH(skht_create(&s, 0, nullptr, nullptr, 0), "ASSERT at:");
    const char *keys[] = {"a"};
    EXPECT_DEATH(skht_create(&s, 8, nullptr, keys, 0), "ASSERT at:");
    EXPECT_DEATH(nkht_create(&n, 0, nullptr), "ASSERT at:");
    EXPECT_DEATH(skht_add(0, "a", nullptr), "ASSERT at:");
    EXPECT_DEATH(nkht_get(0, 1, nullptr), "ASSERT at:");
    EXPECT_DEATH(skht_destroy(0, nullptr), "ASSERT at:");
    ASSERT_EQ(skht_create(&s, 8, nullptr, nullptr, 0), 0);
    EXPECT_DEATH(skht_add(s, nullptr, nullptr), "ASSERT at:");
    EXPECT_DEATH(skht_get(s, nullptr, nullptr), "ASSERT at:");
    skht_destroy(s, nullptr);
}
