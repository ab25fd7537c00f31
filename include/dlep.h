#pragma once
// An intrusive doubly linked list: each element begins with a dlep_hdr, so
// linking and unlinking never allocate.  A list can be kept sorted by a
// comparator through insertion by bubbling.
//
// Orientation: `next` points toward the head, `prev` toward the tail.
// Appending puts an element at the head, so in an unsorted list the tail is
// the oldest element.  Elements belong to the caller; the list only links
// them.  Every inconsistency (null handle or element, broken links, a count
// that does not match a walk) is a broken invariant: assertion and abort.
#include <cstddef>
#include <cstdint>
#include <cstdio>

using dlep_t = long;  // a list: its record's address; 0: none

// The header every element begins with.
struct dlep_hdr {
    int32_t type_id;  // the owner's tag; the list never touches it
    dlep_hdr *prev;   // toward the tail
    dlep_hdr *next;   // toward the head
};

// The list record a handle points to.
struct dlep_list {
    dlep_hdr *head;
    dlep_hdr *tail;
    size_t count;
};

// Orders two elements: -1, 0 or 1; any other value counts as neither
// smaller nor greater.
using fecmp_t = int (*)(const void *a, const void *b);
using efree_t = void (*)(void *elem);
using efree1_t = void (*)(void *elem, void *aux);
using printd_t = void (*)(FILE *out, const void *elem);

// A new empty list, or 0 with *err = 12 (ENOMEM) when err is given.
dlep_t dlep_create(int *err) noexcept;

size_t dlep_count(dlep_t lh) noexcept;
// The element at that end, or null when the list is empty.
void *dlep_head(dlep_t lh) noexcept;
void *dlep_tail(dlep_t lh) noexcept;

// Links d at the head; returns d.
void *dlep_append(dlep_t lh, void *d) noexcept;
// Appends d and moves it to its sorted place; returns d.  asc 1: the
// smallest element at the head; asc 0: the greatest.  Among equal elements
// the newest is nearest the head.
void *dlep_sadd(dlep_t lh, void *d, short asc, fecmp_t ecmp) noexcept;
// Moves d, already in the list, to its sorted place; returns d.  asc must
// be 0 or 1 and ecmp given.
void *dlep_repos(dlep_t lh, void *d, short asc, fecmp_t ecmp) noexcept;

// Unlinks d, which must be in this list (not checked), and clears its
// links; returns d.
void *dlep_rm(dlep_t lh, void *d) noexcept;
// Unlinks and returns the element at that end, or null when empty.
void *dlep_rmtail(dlep_t lh) noexcept;
void *dlep_rmhead(dlep_t lh) noexcept;

// Calls efree (when given) for every element from the tail toward the head,
// empties the list and frees it.  efree may free the element.
void dlep_destroy(dlep_t lh, efree_t efree) noexcept;
// The same, keeping the now empty list.
void dlep_purge(dlep_t lh, efree_t efree) noexcept;
void dlep_purge1(dlep_t lh, efree1_t efree1, void *aux) noexcept;

// 0 when the list is in the order dlep_sadd with asc (1, 0, or -1 read as 1)
// produces, -1 otherwise; 0 for fewer than two elements.
int dlep_sverify(dlep_t lh, int asc, fecmp_t ecmp) noexcept;

// One "{data} " per element (just " " without fpdat) from the head, then a
// newline.
void dlep_print(FILE *out, dlep_t lh, printd_t fpdat) noexcept;
// The list record and every element with its links, from the head.
void dlep_debug_print(FILE *out, dlep_t lh, printd_t fpdat) noexcept;
