#pragma once
// Chained hash tables with a fixed bucket count, keyed by text (skht) or by a
// long integer (nkht).  Each key maps to one data pointer the table does not
// own.  Every bucket's chain is kept in ascending key order, so a search
// stops at the first record not smaller than the key.  Tables never grow:
// the caller states the expected capacity once.
//
// Expected outcomes are errno values, never logged: 16 (EBUSY) key present,
// 3 (ESRCH) key absent, 12 (ENOMEM), 22 (EINVAL) table without buckets,
// 75 (EOVERFLOW) capacity too large, 7 (E2BIG) text key too long.  A null
// handle, null key or zero capacity is a broken invariant (assert, abort).
#include <sys/types.h>

#include <cstddef>
#include <cstdio>

constexpr size_t GKH_MAX_CAPACITY = 5000000;  // largest capacity accepted
constexpr size_t GKH_SKEY_MAX = 254;          // longest text key, in characters

enum gkh_ktype : int {
    ekt_STR = 0,
    ekt_NUM = 1,
};

using skht_t = unsigned long;  // a text-keyed table: its record's address; 0: none
using nkht_t = long;           // a number-keyed table: its record's address; 0: none

// A hash function; numeric tables pass the key value itself as `key`.
using khash_t = u_long (*)(const void *key, u_long hseed);
// Frees one data pointer when a table is destroyed.
using gkfree_t = void (*)(void *data);
// The visitor of an iteration: key is the stored text, or the key value.
using gkiter_t = void (*)(const void *key, void *data, void *aux);

struct hrec;  // a record: next, data, key

// The table record a handle points to.
struct ht_tag {
    gkh_ktype ktype;
    hrec **r;      // rlen chain heads
    size_t rlen;   // bucket count, a power of two
    u_long hseed;  // drawn at random (getrandom) for each table
    size_t count;  // records held
    khash_t icalc; // null: the key value is the hash (numeric tables)
};

// --- creation and destruction ------------------------------------------------

// Builds a text table for about `capacity` keys hashed by hfunc (null:
// plHash) and adds the len keys of klst with null data.  Keys come from
// clients, so a table on plHash or elfHash, neither of which a seed can
// make unpredictable, places its keys by SipHash-2-4 under a random key of
// its own; another hfunc is called with the table's random hseed.  0 and *ph set;
// 75 above GKH_MAX_CAPACITY, 12, or the failure of an initial key (16
// repeated, 7 too long) with *ph left 0.
int skht_create(skht_t *ph, size_t capacity, khash_t hfunc, const char **klst,
                size_t len) noexcept;
// The same for a numeric table; a null hfunc makes the key value the hash,
// and a table on tw_shift scrambles the key xor its random hseed.
int nkht_create(nkht_t *ph, size_t capacity, khash_t hfunc) noexcept;

// Calls free_data(data) for every record when given (buckets in index order,
// chains in key order), then frees the records and the table.
void skht_destroy(skht_t h, gkfree_t free_data) noexcept;
void nkht_destroy(nkht_t h, gkfree_t free_data) noexcept;

// --- records -------------------------------------------------------------------

// Adds the key with data *pdat (null when pdat is null).  0; 16 when the key
// is present (its data stored in *pdat when pdat is given); 7 for a text key
// of more than GKH_SKEY_MAX characters; 22 for the key 0 of a numeric table
// (logged) or a table without buckets; 12.  A failed add changes nothing.
int skht_add(skht_t h, const char *skey, void **pdat) noexcept;
int nkht_add(nkht_t h, long nkey, void **pdat) noexcept;

// 0 with the key's data in *pdat (when given); 3 when absent (a text key too
// long to be stored is absent); 22 for a table without buckets.
int skht_get(skht_t h, const char *skey, void **pdat) noexcept;
int nkht_get(nkht_t h, long nkey, void **pdat) noexcept;

// Unlinks the key's record and returns its data, not freed, in *pdat (when
// given): 0; 3 when absent; 22 for a table without buckets.
int skht_rm(skht_t h, const char *skey, void **pdat) noexcept;
int nkht_rm(nkht_t h, long nkey, void **pdat) noexcept;

// Calls f(key, data, farg) for every record, buckets in index order and each
// chain in ascending key order; f must not add or remove.  The call count.
size_t skht_iter(skht_t h, gkiter_t f, void *farg) noexcept;
size_t nkht_iter(nkht_t h, gkiter_t f, void *farg) noexcept;

size_t skht_count(skht_t h) noexcept;
size_t nkht_count(nkht_t h) noexcept;

// Diagnostic dump to out: records, non-empty buckets, longest chain, and
// with verbose each non-empty bucket's record count and greatest key.
void skht_print(skht_t h, FILE *out, int verbose) noexcept;
void nkht_print(nkht_t h, FILE *out, int verbose) noexcept;

// --- hash functions ---------------------------------------------------------------

// h = hseed; h = h * 101 + c for each byte c taken as a signed character.
u_long plHash(const void *key, u_long hseed) noexcept;
// A 64-bit integer mix of the key value itself; hseed is ignored.
u_long tw_shift(const void *key, u_long hseed) noexcept;
// The ELF hash of the text in 64-bit arithmetic; hseed is ignored.
u_long elfHash(const void *key, u_long hseed) noexcept;
