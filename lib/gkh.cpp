#include "gkh.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

// The part every record begins with, so that the chain code is common to
// both key types.
struct hrec {
    hrec *next;
    void *data;
};

namespace {

// A table as hcreate makes it: the record a handle points to and the key
// of its keyed hash.
struct ht_keyed : ht_tag {
    uint64_t key[2];
};

constexpr uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

// SipHash-2-4 of len bytes under a 128-bit key: a keyed hash, so that
// whoever chooses the keys cannot choose their buckets without the key.
uint64_t siphash24(const void *data, size_t len, const uint64_t k[2])
{
    uint64_t v0 = 0x736f6d6570736575ULL ^ k[0];
    uint64_t v1 = 0x646f72616e646f6dULL ^ k[1];
    uint64_t v2 = 0x6c7967656e657261ULL ^ k[0];
    uint64_t v3 = 0x7465646279746573ULL ^ k[1];
    auto round = [&] {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    const auto *p = static_cast<const unsigned char *>(data);
    const unsigned char *end = p + (len & ~size_t(7));
    for (; p != end; p += 8) {
        uint64_t m;
        memcpy(&m, p, 8);  // little-endian, as the algorithm reads its words
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
    uint64_t b = uint64_t(len) << 56;
    for (size_t i = len & 7; i > 0; --i) b |= uint64_t(p[i - 1]) << (8 * (i - 1));
    v3 ^= b;
    round();
    round();
    v0 ^= b;
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

uint64_t splitmix64(uint64_t &x)
{
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// A fresh random key for a table.  Without entropy yet (early boot), a mix
// of the clock, the table's address and a counter: unpredictable enough
// from outside the process, and still different for every table.
void draw_key(uint64_t key[2], const void *table)
{
    if (getrandom(key, 2 * sizeof(uint64_t), GRND_NONBLOCK) == ssize_t(2 * sizeof(uint64_t)))
        return;
    static uint64_t counter;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t x = uint64_t(now.tv_sec) * 1000000000ULL + uint64_t(now.tv_nsec);
    x ^= reinterpret_cast<uintptr_t>(table) ^ (++counter << 32) ^ uint64_t(getpid());
    key[0] = splitmix64(x);
    key[1] = splitmix64(x);
}

struct s_hrec : hrec {
    char s_key[GKH_SKEY_MAX + 1];
};

struct l_hrec : hrec {
    long l_key;
};

// What differs between the key types, resolved at compile time so that the
// chain walk compares keys inline rather than through a function pointer.
struct str_keys {
    using key_type = const char *;
    static constexpr gkh_ktype ktype = ekt_STR;

    static int kcmp(const hrec *r, const char *key)
    {
        return strcmp(static_cast<const s_hrec *>(r)->s_key, key);
    }
    // The caller has checked that the key fits.
    static hrec *mkhrec(const char *key)
    {
        size_t len = strlen(key);
        auto *r = static_cast<s_hrec *>(malloc(sizeof(s_hrec)));
        if (!r) return nullptr;
        r->next = nullptr;
        r->data = nullptr;
        memcpy(r->s_key, key, len + 1);
        return r;
    }
    static const void *getkey(const hrec *r) { return static_cast<const s_hrec *>(r)->s_key; }
    // plHash and elfHash cannot be seeded (plHash's seed cancels out between
    // keys of one length), so a table built on them hashes with its key.
    static u_long hash(const ht_tag *t, const char *key)
    {
        if (t->icalc == plHash || t->icalc == elfHash)
            return siphash24(key, strlen(key), static_cast<const ht_keyed *>(t)->key);
        return t->icalc(key, t->hseed);
    }
    static void print_slot(FILE *out, size_t idx, size_t n, const hrec *last)
    {
        fprintf(out, "%ld:(%ld:%s);", long(idx), long(n),
                static_cast<const s_hrec *>(last)->s_key);
    }
};

struct num_keys {
    using key_type = long;
    static constexpr gkh_ktype ktype = ekt_NUM;

    static int kcmp(const hrec *r, long key)
    {
        long k = static_cast<const l_hrec *>(r)->l_key;
        return k < key ? -1 : k > key;
    }
    static hrec *mkhrec(long key)
    {
        auto *r = static_cast<l_hrec *>(malloc(sizeof(l_hrec)));
        if (!r) return nullptr;
        r->next = nullptr;
        r->data = nullptr;
        r->l_key = key;
        return r;
    }
    static const void *as_ptr(long key)
    {
        return reinterpret_cast<const void *>(static_cast<uintptr_t>(key));
    }
    static const void *getkey(const hrec *r) { return as_ptr(static_cast<const l_hrec *>(r)->l_key); }
    // tw_shift ignores its seed: the seed is mixed into the key it scrambles.
    static u_long hash(const ht_tag *t, long key)
    {
        if (t->icalc == tw_shift) return tw_shift(as_ptr(long(u_long(key) ^ t->hseed)), 0);
        return t->icalc ? t->icalc(as_ptr(key), t->hseed) : static_cast<u_long>(key);
    }
    static void print_slot(FILE *out, size_t idx, size_t n, const hrec *last)
    {
        fprintf(out, "%ld:(%ld:%ld);", long(idx), long(n), static_cast<const l_hrec *>(last)->l_key);
    }
};

template <class K>
ht_tag *table_of(uintptr_t h)
{
    auto *t = reinterpret_cast<ht_tag *>(h);
    lfx_assert(t);
    lfx_assert(t->ktype == K::ktype);
    return t;
}

int hcreate(ht_tag **pt, size_t capacity, gkh_ktype ktype, khash_t hfunc)
{
    if (capacity > GKH_MAX_CAPACITY) return EOVERFLOW;
    size_t rlen = std::bit_floor(capacity * 3 / 2);
    if (rlen == 0) rlen = 1;

    auto *t = static_cast<ht_keyed *>(malloc(sizeof(ht_keyed)));
    if (!t) return ENOMEM;
    t->r = static_cast<hrec **>(calloc(rlen, sizeof(hrec *)));
    if (!t->r) {
        free(t);
        return ENOMEM;
    }
    t->ktype = ktype;
    t->rlen = rlen;
    draw_key(t->key, t);
    t->hseed = static_cast<u_long>(t->key[0]);
    t->count = 0;
    t->icalc = hfunc;
    *pt = t;
    return 0;
}

void hdestroy(ht_tag *t, gkfree_t free_data)
{
    for (size_t i = 0; i < t->rlen; ++i) {
        hrec *p = t->r[i];
        while (p) {
            hrec *next = p->next;
            if (free_data) free_data(p->data);
            free(p);
            p = next;
        }
    }
    free(t->r);
    free(t);
}

// Points *plink at the link to the first record of the key's chain that is
// not smaller than the key (or at the chain's null end); true when that
// record holds the key.
template <class K>
bool rfind(ht_tag *t, typename K::key_type key, hrec ***plink)
{
    hrec **link = &t->r[K::hash(t, key) & (t->rlen - 1)];
    int c = 1;
    for (; *link; link = &(*link)->next) {
        c = K::kcmp(*link, key);
        if (c >= 0) break;
    }
    *plink = link;
    return *link && c == 0;
}

template <class K>
int hadd(ht_tag *t, typename K::key_type key, void **pdat)
{
    if (!t->r || !t->rlen) return EINVAL;
    hrec **link;
    if (rfind<K>(t, key, &link)) {
        if (pdat) *pdat = (*link)->data;
        return EBUSY;
    }
    hrec *r = K::mkhrec(key);
    if (!r) return ENOMEM;
    r->data = pdat ? *pdat : nullptr;
    r->next = *link;
    *link = r;
    ++t->count;
    return 0;
}

template <class K>
int hget(ht_tag *t, typename K::key_type key, void **pdat)
{
    if (!t->r || !t->rlen) return EINVAL;
    hrec **link;
    if (!rfind<K>(t, key, &link)) return ESRCH;
    if (pdat) *pdat = (*link)->data;
    return 0;
}

template <class K>
int hrm(ht_tag *t, typename K::key_type key, void **pdat)
{
    if (!t->r || !t->rlen) return EINVAL;
    hrec **link;
    if (!rfind<K>(t, key, &link)) return ESRCH;
    hrec *r = *link;
    *link = r->next;
    --t->count;
    if (pdat) *pdat = r->data;
    free(r);
    return 0;
}

template <class K>
size_t hiter(const ht_tag *t, gkiter_t f, void *farg)
{
    size_t calls = 0;
    for (size_t i = 0; i < t->rlen; ++i)
        for (const hrec *p = t->r[i]; p; p = p->next) {
            f(K::getkey(p), p->data, farg);
            ++calls;
        }
    return calls;
}

struct slot_stat {
    size_t n;
    const hrec *last;
};

template <class K>
void dump(const ht_tag *t, FILE *out, int verbose)
{
    auto *st = static_cast<slot_stat *>(calloc(t->rlen, sizeof(slot_stat)));
    if (!st) {
        fprintf(out, "%s: out of memory\n", "dump");
        return;
    }
    size_t used = 0, longest = 0;
    for (size_t i = 0; i < t->rlen; ++i) {
        for (const hrec *p = t->r[i]; p; p = p->next) {
            ++st[i].n;
            st[i].last = p;
        }
        if (st[i].n) ++used;
        if (st[i].n > longest) longest = st[i].n;
    }
    fprintf(out, "Hash [%p;seed=%ld] contains: \n\t%ld records; slots: %ld/%ld\n",
            static_cast<const void *>(t), long(t->hseed), long(t->count), long(used),
            long(t->rlen));
    fprintf(out, "Max chain length: %ld\n", long(longest));
    if (verbose) {
        fprintf(out, "\nHash slots (total=%ld):\n", long(used));
        for (size_t i = 0; i < t->rlen; ++i)
            if (st[i].n) K::print_slot(out, i, st[i].n, st[i].last);
        fputc('\n', out);
    }
    free(st);
}

// A text key longer than a record holds; reads at most one byte past the
// limit, however long the text.
bool skey_too_long(const char *key) { return strnlen(key, GKH_SKEY_MAX + 1) > GKH_SKEY_MAX; }

}  // namespace

int skht_create(skht_t *ph, size_t capacity, khash_t hfunc, const char **klst,
                size_t len) noexcept
{
    lfx_assert(ph);
    lfx_assert(capacity);
    lfx_assert((klst == nullptr) == (len == 0));
    *ph = 0;
    ht_tag *t;
    int rc = hcreate(&t, capacity, ekt_STR, hfunc ? hfunc : plHash);
    if (rc) return rc;
    for (size_t i = 0; i < len; ++i) {
        lfx_assert(klst[i]);
        rc = skey_too_long(klst[i]) ? E2BIG : hadd<str_keys>(t, klst[i], nullptr);
        if (rc) {
            hdestroy(t, nullptr);
            return rc;
        }
    }
    *ph = reinterpret_cast<skht_t>(t);
    return 0;
}

int nkht_create(nkht_t *ph, size_t capacity, khash_t hfunc) noexcept
{
    lfx_assert(ph);
    lfx_assert(capacity);
    *ph = 0;
    ht_tag *t;
    int rc = hcreate(&t, capacity, ekt_NUM, hfunc);
    if (rc) return rc;
    *ph = reinterpret_cast<nkht_t>(t);
    return 0;
}

void skht_destroy(skht_t h, gkfree_t free_data) noexcept
{
    hdestroy(table_of<str_keys>(h), free_data);
}

void nkht_destroy(nkht_t h, gkfree_t free_data) noexcept
{
    hdestroy(table_of<num_keys>(uintptr_t(h)), free_data);
}

int skht_add(skht_t h, const char *skey, void **pdat) noexcept
{
    ht_tag *t = table_of<str_keys>(h);
    lfx_assert(skey);
    // A longer key would be stored cut and could never be found again.
    if (skey_too_long(skey)) return E2BIG;
    return hadd<str_keys>(t, skey, pdat);
}

int nkht_add(nkht_t h, long nkey, void **pdat) noexcept
{
    ht_tag *t = table_of<num_keys>(uintptr_t(h));
    // Keys may come from the network: a 0 is refused, not fatal.
    if (nkey == 0) {
        log_err("nkht_add: key 0 refused [table %p]\n", static_cast<void *>(t));
        return EINVAL;
    }
    return hadd<num_keys>(t, nkey, pdat);
}

int skht_get(skht_t h, const char *skey, void **pdat) noexcept
{
    ht_tag *t = table_of<str_keys>(h);
    lfx_assert(skey);
    if (skey_too_long(skey)) return ESRCH;
    return hget<str_keys>(t, skey, pdat);
}

int nkht_get(nkht_t h, long nkey, void **pdat) noexcept
{
    return hget<num_keys>(table_of<num_keys>(uintptr_t(h)), nkey, pdat);
}

int skht_rm(skht_t h, const char *skey, void **pdat) noexcept
{
    ht_tag *t = table_of<str_keys>(h);
    lfx_assert(skey);
    if (skey_too_long(skey)) return ESRCH;
    return hrm<str_keys>(t, skey, pdat);
}

int nkht_rm(nkht_t h, long nkey, void **pdat) noexcept
{
    return hrm<num_keys>(table_of<num_keys>(uintptr_t(h)), nkey, pdat);
}

size_t skht_iter(skht_t h, gkiter_t f, void *farg) noexcept
{
    const ht_tag *t = table_of<str_keys>(h);
    lfx_assert(f);
    return hiter<str_keys>(t, f, farg);
}

size_t nkht_iter(nkht_t h, gkiter_t f, void *farg) noexcept
{
    const ht_tag *t = table_of<num_keys>(uintptr_t(h));
    lfx_assert(f);
    return hiter<num_keys>(t, f, farg);
}

size_t skht_count(skht_t h) noexcept { return table_of<str_keys>(h)->count; }

size_t nkht_count(nkht_t h) noexcept { return table_of<num_keys>(uintptr_t(h))->count; }

void skht_print(skht_t h, FILE *out, int verbose) noexcept
{
    dump<str_keys>(table_of<str_keys>(h), out, verbose);
}

void nkht_print(nkht_t h, FILE *out, int verbose) noexcept
{
    dump<num_keys>(table_of<num_keys>(uintptr_t(h)), out, verbose);
}

// Bytes are taken as signed characters: a byte above 0x7F counts negative.
// Four bytes at a time, h * 101^4 + (c0 * 101^3 + c1 * 101^2 + c2 * 101 + c3),
// which is the same sum modulo 2^64 with a quarter of the serial
// multiply-add chain: task keys are forty characters or more.
u_long plHash(const void *key, u_long hseed) noexcept
{
    constexpr u_long m1 = 101, m2 = m1 * m1, m3 = m2 * m1, m4 = m3 * m1;
    const char *p = static_cast<const char *>(key);
    const auto c = [](char ch) {
        return static_cast<u_long>(static_cast<long>(static_cast<signed char>(ch)));
    };
    size_t len = strlen(p);
    u_long h = hseed;
    for (; len >= 4; len -= 4, p += 4)
        h = h * m4 + (c(p[0]) * m3 + c(p[1]) * m2 + c(p[2]) * m1 + c(p[3]));
    for (; len; --len, ++p) h = h * m1 + c(*p);
    return h;
}

u_long tw_shift(const void *key, u_long) noexcept
{
    u_long k = reinterpret_cast<uintptr_t>(key);
    k = ~k + (k << 21);
    k ^= k >> 24;
    k = k + (k << 3) + (k << 8);
    k ^= k >> 14;
    k = k + (k << 2) + (k << 4);
    k ^= k >> 28;
    k = k + (k << 31);
    return k;
}

u_long elfHash(const void *key, u_long) noexcept
{
    u_long h = 0;
    for (const char *p = static_cast<const char *>(key); *p; ++p) {
        h = (h << 4) + static_cast<u_long>(static_cast<long>(static_cast<signed char>(*p)));
        u_long g = h & 0xF0000000UL;
        if (g) h ^= g >> 24;
        h &= ~g;
    }
    return h;
}
