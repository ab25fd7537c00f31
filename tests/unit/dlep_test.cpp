#include "dlep.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct item {
    dlep_hdr h;
    int key;
};

int cmp_items(const void *a, const void *b)
{
    int x = static_cast<const item *>(a)->key, y = static_cast<const item *>(b)->key;
    return x < y ? -1 : x > y;
}

// From the head toward the tail.
std::vector<const item *> walk(dlep_t l)
{
    std::vector<const item *> v;
    for (auto *p = static_cast<const dlep_hdr *>(dlep_head(l)); p; p = p->prev)
        v.push_back(reinterpret_cast<const item *>(p));
    return v;
}

std::vector<int> keys(dlep_t l)
{
    std::vector<int> v;
    for (const item *p : walk(l)) v.push_back(p->key);
    return v;
}

// The links agree in both directions and with head, tail and count.
void expect_consistent(dlep_t l)
{
    std::vector<const item *> fwd = walk(l);
    EXPECT_EQ(fwd.size(), dlep_count(l));
    std::vector<const item *> back;
    for (auto *p = static_cast<const dlep_hdr *>(dlep_tail(l)); p; p = p->next)
        back.insert(back.begin(), reinterpret_cast<const item *>(p));
    EXPECT_EQ(fwd, back);
}

std::string printed(void (*print)(FILE *, dlep_t, printd_t), dlep_t l, printd_t fp)
{
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    print(out, l, fp);
    fclose(out);
    std::string s(buf, len);
    free(buf);
    return s;
}

void print_key(FILE *out, const void *e) { fprintf(out, "%d", static_cast<const item *>(e)->key); }

std::vector<int> g_freed;
void free_item(void *e)
{
    g_freed.push_back(static_cast<item *>(e)->key);
    delete static_cast<item *>(e);
}

void free_item_aux(void *e, void *aux)
{
    ++*static_cast<int *>(aux);
    delete static_cast<item *>(e);
}

}  // namespace

TEST(dlep, append_puts_newest_at_head)
{
    dlep_t l = dlep_create(nullptr);
    ASSERT_NE(l, 0);
    EXPECT_EQ(dlep_count(l), 0u);
    EXPECT_EQ(dlep_head(l), nullptr);
    EXPECT_EQ(dlep_tail(l), nullptr);
    item a{{}, 1}, b{{}, 2}, c{{}, 3};
    EXPECT_EQ(dlep_append(l, &a), &a);
    EXPECT_EQ(dlep_head(l), &a);
    EXPECT_EQ(dlep_tail(l), &a);
    dlep_append(l, &b);
    dlep_append(l, &c);
    EXPECT_EQ(dlep_head(l), &c);
    EXPECT_EQ(dlep_tail(l), &a);
    EXPECT_EQ(dlep_count(l), 3u);
    EXPECT_EQ(c.h.next, nullptr);
    EXPECT_EQ(a.h.prev, nullptr);
    EXPECT_EQ(keys(l), (std::vector<int>{3, 2, 1}));
    expect_consistent(l);

    EXPECT_EQ(dlep_rmtail(l), &a);
    EXPECT_EQ(dlep_rmtail(l), &b);
    EXPECT_EQ(dlep_rmtail(l), &c);
    EXPECT_EQ(dlep_rmtail(l), nullptr);
    EXPECT_EQ(dlep_count(l), 0u);

    for (item *p : {&a, &b, &c}) dlep_append(l, p);
    EXPECT_EQ(dlep_rmhead(l), &c);
    EXPECT_EQ(dlep_rmhead(l), &b);
    EXPECT_EQ(dlep_rmhead(l), &a);
    EXPECT_EQ(dlep_rmhead(l), nullptr);
    dlep_destroy(l, nullptr);
}

TEST(dlep, remove_at_each_position)
{
    struct {
        int victim;  // index into the items, appended 0..3 (3 is the head)
        std::vector<int> left;
    } cases[] = {
        {3, {2, 1, 0}},  // head
        {2, {3, 1, 0}},  // next to the head
        {1, {3, 2, 0}},  // middle
        {0, {3, 2, 1}},  // tail
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.victim);
        item it[4];
        dlep_t l = dlep_create(nullptr);
        for (int i = 0; i < 4; ++i) {
            it[i].key = i;
            dlep_append(l, &it[i]);
        }
        EXPECT_EQ(dlep_rm(l, &it[c.victim]), &it[c.victim]);
        EXPECT_EQ(it[c.victim].h.prev, nullptr);
        EXPECT_EQ(it[c.victim].h.next, nullptr);
        EXPECT_EQ(keys(l), c.left);
        EXPECT_EQ(static_cast<item *>(dlep_head(l))->key, c.left.front());
        EXPECT_EQ(static_cast<item *>(dlep_tail(l))->key, c.left.back());
        expect_consistent(l);
        dlep_destroy(l, nullptr);
    }
}

TEST(dlep, removing_only_element_empties_list)
{
    dlep_t l = dlep_create(nullptr);
    item a{};
    dlep_append(l, &a);
    dlep_rm(l, &a);
    EXPECT_EQ(dlep_count(l), 0u);
    EXPECT_EQ(dlep_head(l), nullptr);
    EXPECT_EQ(dlep_tail(l), nullptr);
    // Usable again afterwards.
    dlep_append(l, &a);
    EXPECT_EQ(dlep_head(l), &a);
    dlep_destroy(l, nullptr);
}

TEST(dlep, sorted_insert_ascending_puts_newest_equal_first)
{
    dlep_t l = dlep_create(nullptr);
    item i5{{}, 5}, i3{{}, 3}, i4{{}, 4}, i4b{{}, 4};
    for (item *p : {&i5, &i3, &i4}) EXPECT_EQ(dlep_sadd(l, p, 1, cmp_items), p);
    EXPECT_EQ(keys(l), (std::vector<int>{3, 4, 5}));
    dlep_sadd(l, &i4b, 1, cmp_items);
    EXPECT_EQ(walk(l), (std::vector<const item *>{&i3, &i4b, &i4, &i5}));
    EXPECT_EQ(dlep_head(l), &i3);
    EXPECT_EQ(dlep_tail(l), &i5);
    expect_consistent(l);
    EXPECT_EQ(dlep_sverify(l, 1, cmp_items), 0);
    EXPECT_EQ(dlep_sverify(l, -1, cmp_items), 0);
    EXPECT_EQ(dlep_sverify(l, 0, cmp_items), -1);
    dlep_destroy(l, nullptr);
}

TEST(dlep, sorted_insert_descending)
{
    dlep_t l = dlep_create(nullptr);
    item i5{{}, 5}, i3{{}, 3}, i4{{}, 4}, i4b{{}, 4}, i9{{}, 9}, i1{{}, 1};
    for (item *p : {&i5, &i3, &i4, &i4b, &i9, &i1}) dlep_sadd(l, p, 0, cmp_items);
    EXPECT_EQ(walk(l), (std::vector<const item *>{&i9, &i5, &i4b, &i4, &i3, &i1}));
    expect_consistent(l);
    EXPECT_EQ(dlep_sverify(l, 0, cmp_items), 0);
    EXPECT_EQ(dlep_sverify(l, 1, cmp_items), -1);
    dlep_destroy(l, nullptr);
}

TEST(dlep, sorted_insert_many_keys)
{
    for (short asc : {short(1), short(0)}) {
        SCOPED_TRACE(asc);
        std::vector<item> it(200);
        dlep_t l = dlep_create(nullptr);
        unsigned rng = 12345;
        for (auto &e : it) {
            rng = rng * 1103515245 + 12345;
            e.key = int(rng >> 16) % 37;  // plenty of equal keys
            dlep_sadd(l, &e, asc, cmp_items);
        }
        EXPECT_EQ(dlep_count(l), 200u);
        expect_consistent(l);
        EXPECT_EQ(dlep_sverify(l, asc, cmp_items), 0);
        std::vector<int> k = keys(l);
        for (size_t i = 1; i < k.size(); ++i)
            EXPECT_TRUE(asc ? k[i - 1] <= k[i] : k[i - 1] >= k[i]) << i;
        dlep_destroy(l, nullptr);
    }
}

TEST(dlep, repos_moves_changed_element)
{
    dlep_t l = dlep_create(nullptr);
    item it[5];
    for (int i = 0; i < 5; ++i) {
        it[i].key = i * 10;
        dlep_sadd(l, &it[i], 1, cmp_items);
    }
    it[0].key = 35;  // head moves inward
    EXPECT_EQ(dlep_repos(l, &it[0], 1, cmp_items), &it[0]);
    EXPECT_EQ(keys(l), (std::vector<int>{10, 20, 30, 35, 40}));
    it[4].key = 5;  // tail moves to the head
    dlep_repos(l, &it[4], 1, cmp_items);
    EXPECT_EQ(keys(l), (std::vector<int>{5, 10, 20, 30, 35}));
    EXPECT_EQ(dlep_head(l), &it[4]);
    EXPECT_EQ(dlep_tail(l), &it[0]);
    expect_consistent(l);
    dlep_destroy(l, nullptr);
}

TEST(dlep, sverify_short_lists_and_disorder)
{
    dlep_t l = dlep_create(nullptr);
    for (int asc : {-1, 0, 1}) EXPECT_EQ(dlep_sverify(l, asc, cmp_items), 0);
    item a{{}, 7}, b{{}, 1}, c{{}, 9};
    dlep_append(l, &a);
    for (int asc : {-1, 0, 1}) EXPECT_EQ(dlep_sverify(l, asc, cmp_items), 0);
    dlep_append(l, &b);
    dlep_append(l, &c);  // from the head: 9, 1, 7
    for (int asc : {-1, 0, 1}) EXPECT_EQ(dlep_sverify(l, asc, cmp_items), -1);
    dlep_destroy(l, nullptr);
}

TEST(dlep, destroy_frees_each_element_once_oldest_first)
{
    g_freed.clear();
    dlep_t l = dlep_create(nullptr);
    for (int k = 1; k <= 4; ++k) dlep_append(l, new item{{}, k});
    dlep_destroy(l, free_item);
    EXPECT_EQ(g_freed, (std::vector<int>{1, 2, 3, 4}));
}

TEST(dlep, purge_keeps_list)
{
    dlep_t l = dlep_create(nullptr);
    for (int k = 1; k <= 3; ++k) dlep_append(l, new item{{}, k});
    int calls = 0;
    dlep_purge1(l, free_item_aux, &calls);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(dlep_count(l), 0u);
    EXPECT_EQ(dlep_head(l), nullptr);
    EXPECT_EQ(dlep_tail(l), nullptr);

    g_freed.clear();
    for (int k = 1; k <= 2; ++k) dlep_append(l, new item{{}, k});
    dlep_purge(l, free_item);
    EXPECT_EQ(g_freed, (std::vector<int>{1, 2}));
    EXPECT_EQ(dlep_count(l), 0u);

    // Without a callback the elements are only unlinked.
    item a{{}, 1}, b{{}, 2};
    dlep_append(l, &a);
    dlep_append(l, &b);
    dlep_purge(l, nullptr);
    EXPECT_EQ(dlep_count(l), 0u);
    EXPECT_EQ(a.h.next, nullptr);
    EXPECT_EQ(b.h.prev, nullptr);
    dlep_destroy(l, nullptr);
}

TEST(dlep, print_formats)
{
    dlep_t l = dlep_create(nullptr);
    EXPECT_EQ(printed(dlep_print, l, print_key), "\n");
    item a{{}, 1}, b{{}, 2};
    dlep_append(l, &a);
    dlep_append(l, &b);
    EXPECT_EQ(printed(dlep_print, l, print_key), "{2} {1} \n");
    EXPECT_EQ(printed(dlep_print, l, nullptr), "  \n");

    char want[512];
    auto *lr = reinterpret_cast<dlep_list *>(l);
    snprintf(want, sizeof(want),
             "dlep_list:%p count=2 head=%p tail=%p "
             "#1[%p]: {prev=%p next=%p data=2}; "
             "#2[%p]: {prev=%p next=%p data=1}; \n",
             static_cast<void *>(lr), static_cast<void *>(&b), static_cast<void *>(&a),
             static_cast<void *>(&b), static_cast<void *>(&a), static_cast<void *>(nullptr),
             static_cast<void *>(&a), static_cast<void *>(nullptr), static_cast<void *>(&b));
    EXPECT_EQ(printed(dlep_debug_print, l, print_key), want);
    dlep_destroy(l, nullptr);
}

namespace {

// Always says "move away from where you are": no position satisfies it.
int restless(const void *a, const void *b)
{
    return static_cast<const dlep_hdr *>(a)->prev == b ? 1 : -1;
}

}  // namespace

TEST(dlepDeathTest, broken_invariants_abort)
{
    item a{{}, 1}, b{{}, 2}, stray{{}, 3};
    EXPECT_DEATH(dlep_count(0), "ASSERT at:");
    EXPECT_DEATH(dlep_append(0, &a), "ASSERT at:");
    dlep_t l = dlep_create(nullptr);
    EXPECT_DEATH(dlep_append(l, nullptr), "ASSERT at:");
    EXPECT_DEATH(dlep_rm(l, &stray), "ASSERT at:");  // not linked, not the tail
    dlep_append(l, &a);
    dlep_append(l, &b);
    EXPECT_DEATH(dlep_rm(l, &stray), "ASSERT at:");
    EXPECT_DEATH(dlep_repos(l, &a, 2, cmp_items), "ASSERT at:");
    EXPECT_DEATH(dlep_repos(l, &a, 1, nullptr), "ASSERT at:");
    EXPECT_DEATH(dlep_repos(l, &a, 1, restless), "ASSERT at:");

    auto *lr = reinterpret_cast<dlep_list *>(l);
    lr->count = 3;  // a walk now ends early
    EXPECT_DEATH(dlep_print(stdout, l, nullptr), "ASSERT at:");
    EXPECT_DEATH(dlep_debug_print(stderr, l, nullptr),
                 "dlep_debug_print: ERROR: p=.*, i=2, l->count=3");
    lr->count = 1;  // the walk passes the count
    EXPECT_DEATH(dlep_print(stdout, l, nullptr), "ASSERT at:");
    lr->count = 2;
    dlep_destroy(l, nullptr);
}
