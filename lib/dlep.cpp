#include "dlep.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

namespace {

dlep_list *list_of(dlep_t lh)
{
    auto *l = reinterpret_cast<dlep_list *>(static_cast<uintptr_t>(lh));
    lfx_assert(l);
    return l;
}

dlep_hdr *elem_of(void *d)
{
    lfx_assert(d);
    return static_cast<dlep_hdr *>(d);
}

// Swaps two neighbours: a, nearer the head, and b == a->prev.
void move_elem(dlep_list *l, dlep_hdr *a, dlep_hdr *b)
{
    lfx_assert(a->prev == b && b->next == a);
    dlep_hdr *outer_head = a->next;  // toward the head
    dlep_hdr *outer_tail = b->prev;  // toward the tail

    b->next = outer_head;
    b->prev = a;
    a->next = b;
    a->prev = outer_tail;

    if (outer_head)
        outer_head->prev = b;
    else
        l->head = b;
    if (outer_tail)
        outer_tail->next = a;
    else
        l->tail = a;
}

void remove_elem(dlep_list *l, dlep_hdr *e)
{
    if (e->prev) {
        e->prev->next = e->next;
        if (e->next) {
            e->next->prev = e->prev;
        } else {
            lfx_assert(l->head == e);
            l->head = e->prev;
        }
    } else {
        lfx_assert(l->tail == e);
        if (l->head == e) {
            lfx_assert(l->count == 1);
            l->head = l->tail = nullptr;
        } else {
            lfx_assert(e->next);
            l->tail = e->next;
            e->next->prev = nullptr;
        }
    }
    --l->count;
    e->prev = e->next = nullptr;
}

// Walks from the tail toward the head, taking each element's neighbour
// before handing the element to release (which may free it), then empties
// the list.
template <class Release>
void purge_with(dlep_list *l, Release release)
{
    dlep_hdr *p = l->tail;
    for (size_t i = 0; p; ++i) {
        lfx_assert(i < l->count);
        dlep_hdr *next = p->next;
        release(p);
        p = next;
    }
    l->head = l->tail = nullptr;
    l->count = 0;
}

}  // namespace

dlep_t dlep_create(int *err) noexcept
{
    auto *l = static_cast<dlep_list *>(calloc(1, sizeof(dlep_list)));
    if (!l) {
        if (err) *err = ENOMEM;
        return 0;
    }
    return static_cast<dlep_t>(reinterpret_cast<uintptr_t>(l));
}

size_t dlep_count(dlep_t lh) noexcept { return list_of(lh)->count; }

void *dlep_head(dlep_t lh) noexcept { return list_of(lh)->head; }

void *dlep_tail(dlep_t lh) noexcept { return list_of(lh)->tail; }

void *dlep_append(dlep_t lh, void *d) noexcept
{
    dlep_list *l = list_of(lh);
    dlep_hdr *e = elem_of(d);
    lfx_assert((l->head == nullptr) == (l->tail == nullptr));
    e->next = nullptr;
    e->prev = l->head;
    if (l->head)
        l->head->next = e;
    else
        l->tail = e;
    l->head = e;
    ++l->count;
    return d;
}

void *dlep_sadd(dlep_t lh, void *d, short asc, fecmp_t ecmp) noexcept
{
    dlep_append(lh, d);
    return dlep_repos(lh, d, asc, ecmp);
}

void *dlep_repos(dlep_t lh, void *d, short asc, fecmp_t ecmp) noexcept
{
    dlep_list *l = list_of(lh);
    dlep_hdr *e = elem_of(d);
    lfx_assert(asc == 0 || asc == 1);
    lfx_assert(ecmp);
    // "Belongs nearer the tail" is greater when ascending, smaller when not.
    const int toward_tail = asc ? 1 : -1;
    size_t i;
    for (i = 0; i <= l->count; ++i) {
        if (e->prev && ecmp(e, e->prev) == toward_tail)
            move_elem(l, e, e->prev);
        else if (e->next && ecmp(e, e->next) == -toward_tail)
            move_elem(l, e->next, e);
        else
            break;
    }
    lfx_assert(i <= l->count);
    return d;
}

void *dlep_rm(dlep_t lh, void *d) noexcept
{
    dlep_list *l = list_of(lh);
    remove_elem(l, elem_of(d));
    return d;
}

void *dlep_rmtail(dlep_t lh) noexcept
{
    dlep_list *l = list_of(lh);
    dlep_hdr *e = l->tail;
    if (e) remove_elem(l, e);
    return e;
}

void *dlep_rmhead(dlep_t lh) noexcept
{
    dlep_list *l = list_of(lh);
    dlep_hdr *e = l->head;
    if (e) remove_elem(l, e);
    return e;
}

void dlep_destroy(dlep_t lh, efree_t efree) noexcept
{
    dlep_purge(lh, efree);
    free(list_of(lh));
}

void dlep_purge(dlep_t lh, efree_t efree) noexcept
{
    purge_with(list_of(lh), [efree](dlep_hdr *e) {
        if (efree)
            efree(e);
        else
            e->prev = e->next = nullptr;
    });
}

void dlep_purge1(dlep_t lh, efree1_t efree1, void *aux) noexcept
{
    purge_with(list_of(lh), [efree1, aux](dlep_hdr *e) {
        if (efree1)
            efree1(e, aux);
        else
            e->prev = e->next = nullptr;
    });
}

int dlep_sverify(dlep_t lh, int asc, fecmp_t ecmp) noexcept
{
    dlep_list *l = list_of(lh);
    lfx_assert(asc == -1 || asc == 0 || asc == 1);
    lfx_assert(ecmp);
    if (l->count < 2) return 0;
    // Compared with its head-side neighbour, an element may only be greater
    // or equal (ascending) or smaller or equal (descending).
    const int allowed = asc ? 1 : -1;
    const dlep_hdr *before = l->head;
    for (const dlep_hdr *p = before->prev; p; before = p, p = p->prev) {
        int c = ecmp(p, before);
        if (c != 0 && c != allowed) return -1;
    }
    return 0;
}

void dlep_print(FILE *out, dlep_t lh, printd_t fpdat) noexcept
{
    dlep_list *l = list_of(lh);
    const dlep_hdr *p = l->head;
    size_t i = 0;
    for (; p && i < l->count; p = p->prev, ++i) {
        if (fpdat) {
            fputc('{', out);
            fpdat(out, p);
            fputc('}', out);
        }
        fputc(' ', out);
    }
    fputc('\n', out);
    lfx_assert(!p && (i == l->count));
}

void dlep_debug_print(FILE *out, dlep_t lh, printd_t fpdat) noexcept
{
    dlep_list *l = list_of(lh);
    fprintf(out, "dlep_list:%p count=%ld head=%p tail=%p ", static_cast<void *>(l),
            long(l->count), static_cast<void *>(l->head), static_cast<void *>(l->tail));
    const dlep_hdr *p = l->head;
    size_t i = 0;
    for (; p && i < l->count; p = p->prev, ++i) {
        fprintf(out, "#%ld[%p]: {prev=%p next=%p ", long(i + 1), static_cast<const void *>(p),
                static_cast<void *>(p->prev), static_cast<void *>(p->next));
        if (fpdat) {
            fputs("data=", out);
            fpdat(out, p);
            fputc('}', out);
        }
        fputs("; ", out);
    }
    fputc('\n', out);
    if (p || i != l->count) {
        fprintf(out, "%s: ERROR: p=%p, i=%ld, l->count=%ld\n", "dlep_debug_print",
                static_cast<const void *>(p), long(i), long(l->count));
        fflush(out);
        lfx_assert(!p && (i == l->count));
    }
}
