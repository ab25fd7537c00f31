#include "xvdat.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

#include "log.h"

LOG_MODULE(LM_DEFAULT);

static_assert(ERANGE == 34 && EALREADY == 114 && ENOMEM == 12);

uint32_t xvdat_flags = 0;

namespace {

// An allocation failed (or its size overflowed): -1 with errno ENOMEM, or
// the end of the process when XV_ABORT_ENOMEM is set.
int alloc_failed() noexcept
{
    if (xvdat_flags & XV_ABORT_ENOMEM) lfx_abort();
    errno = ENOMEM;
    return -1;
}

// The capacity a heap container grows to for new_max blocks: the next
// multiple of growblk.  False when that or its byte size overflows.
bool grown_size(size_t new_max, size_t blksz, size_t growblk, size_t *n, size_t *bytes) noexcept
{
    size_t steps = new_max / growblk + (new_max % growblk != 0);
    return !__builtin_mul_overflow(steps, growblk, n) &&
           !__builtin_mul_overflow(*n, blksz, bytes);
}

// Reallocates *data from old_n to n blocks, zeroing the new ones.  On
// failure the old storage is kept.
int realloc_zeroed(void **data, size_t old_n, size_t n, size_t blksz) noexcept
{
    if (n == old_n) return 0;
    void *p = realloc(*data, n * blksz);
    if (!p) return alloc_failed();
    if (n > old_n) memset(static_cast<char *>(p) + old_n * blksz, 0, (n - old_n) * blksz);
    *data = p;
    return 0;
}

// Largest c with c * (blksz + 1) <= room: blocks plus one map byte each.
size_t slots_fitting(size_t room, size_t blksz) noexcept
{
    return blksz >= room ? 0 : room / (blksz + 1);
}

// The slot rules shared by xvlst and emblst, over a taken map of cap bytes.
// U and S are the list's unsigned and signed counter types.

// Takes the slot at avail and finds the next lowest free one: the index
// taken, or -1 when there is no free slot.
template <class U, class S>
ssize_t take_slot(char *map, U cap, U &last, S &avail) noexcept
{
    if (avail < 0) return -1;
    const U i = U(avail);
    lfx_assert(i < cap && !map[i]);
    map[i] = 1;
    if (i > last) last = i;

    const U next = i + 1;
    if (next >= cap) {
        avail = -1;
    } else if (i == last) {
        // Nothing above last was ever taken since creation or purge.
        lfx_assert(!map[next]);
        avail = S(next);
    } else if (!map[next]) {
        avail = S(next);
    } else {
        // glibc's memchr compares a vector of map bytes at a time.
        const void *p = memchr(map + next, 0, cap - next);
        avail = p ? S(static_cast<const char *>(p) - map) : S(-1);
    }
    return ssize_t(i);
}

// Checks and clears a slot; the caller runs cleanup and fixes its count.
template <class U>
int free_slot(char *map, U cap, U last, size_t index) noexcept
{
    if (index > last || index >= cap) return ERANGE;
    if (!map[index]) return EALREADY;
    map[index] = 0;
    return 0;
}

template <class S>
void lower_avail(S &avail, size_t index) noexcept
{
    if (avail < 0 || index < size_t(avail)) avail = S(index);
}

// Walks the taken slots 0 to the list's last at the start.  The storage is
// looked up again before each slot: a callback may free slots, grow a heap
// list or reset it.  With stop (or pos), the walk ends at the first
// non-zero result, whose index goes to *pos.
template <class Storage, class Call>
int walk_slots(size_t end, Storage storage, Call call, size_t *pos, bool stop) noexcept
{
    int rc = 0;
    for (size_t i = 0; i <= end; ++i) {
        void *data;
        const char *map;
        size_t cap;
        if (!storage(&data, &map, &cap) || i >= cap) break;
        if (!map[i]) continue;
        rc = call(data, i);
        if (rc && (stop || pos)) {
            if (pos) *pos = i;
            break;
        }
    }
    return rc;
}

auto xvlst_storage(xvlst *l) noexcept
{
    return [l](void **data, const char **map, size_t *cap) {
        *data = l->data;
        *map = l->taken;
        *cap = l->max_len;
        return l->data && l->taken;
    };
}

char *emblst_map(emblst *el) noexcept
{
    return reinterpret_cast<char *>(el) + el->taken_offt;
}

auto emblst_storage(emblst *el) noexcept
{
    return [el](void **data, const char **map, size_t *cap) {
        *data = emblst_data(el);
        *map = emblst_map(el);
        *cap = el->max_count;
        return true;
    };
}

template <class Call>
int xvec_walk(xvec *v, Call call, size_t *pos) noexcept
{
    int rc = 0;
    for (size_t i = 0; i < v->len; ++i) {
        rc = call(v->data, i);
        if (rc && pos) {
            *pos = i;
            break;
        }
    }
    return rc;
}

}  // namespace

// --- block vector -------------------------------------------------------------

int xvec_bind(xvec *v, void *buf, size_t buflen, size_t blksz) noexcept
{
    lfx_assert(v && buf && blksz);
    size_t cap = buflen / blksz;
    if (cap == 0) return -1;
    memset(buf, 0, buflen);
    v->data = buf;
    v->len = 0;
    v->max_len = cap;
    v->flags = XV_FIXED_SIZE;
    return 0;
}

int xvec_reserve(xvec *v, size_t new_max, size_t blksz, size_t growblk) noexcept
{
    lfx_assert(v && blksz && growblk);
    if (new_max < v->max_len) return 0;
    if (v->flags & XV_FIXED_SIZE) return ERR_XV_FIXED;
    size_t n, bytes;
    if (!grown_size(new_max, blksz, growblk, &n, &bytes)) return alloc_failed();
    if (realloc_zeroed(&v->data, v->max_len, n, blksz) != 0) return -1;
    v->max_len = n;
    return 0;
}

int xvec_expand(xvec *v, size_t plus, size_t blksz, size_t growblk) noexcept
{
    lfx_assert(v && plus && blksz && growblk);
    if (v->flags & XV_FIXED_SIZE) return ERR_XV_FIXED;
    if (__builtin_add_overflow(v->len, plus, &plus)) return alloc_failed();
    return xvec_reserve(v, plus, blksz, growblk);
}

ssize_t xvec_add(xvec *v, size_t blksz, size_t growblk) noexcept
{
    lfx_assert(v && blksz && growblk);
    if (v->len >= v->max_len) {
        if (v->flags & XV_FIXED_SIZE) return -1;
        if (xvec_expand(v, 1, blksz, growblk) != 0) return -1;
    }
    return ssize_t(v->len++);
}

void xvec_reset(xvec *v) noexcept
{
    if (!v) return;
    if (!(v->flags & XV_FIXED_SIZE)) {
        free(v->data);
        v->data = nullptr;
        v->max_len = 0;
    }
    v->len = 0;
}

int xvec_each(xvec *v, xv_each_cb f, size_t *pos) noexcept
{
    lfx_assert(v && f);
    return xvec_walk(v, [f](void *data, size_t i) { return f(data, i); }, pos);
}

int xvec_each_aux(xvec *v, xv_aux_cb f, void *aux, size_t *pos) noexcept
{
    lfx_assert(v && f);
    return xvec_walk(v, [f, aux](void *data, size_t i) { return f(data, i, aux); }, pos);
}

int xvec_find(xvec *v, void *what, xv_aux_cb f, size_t *pos) noexcept
{
    lfx_assert(v && f);
    return xvec_walk(v, [f, what](void *data, size_t i) { return f(data, i, what); }, pos);
}

// --- slot list ----------------------------------------------------------------------

int xvlst_bind(xvlst *l, void *buf, size_t buflen, size_t blksz) noexcept
{
    lfx_assert(l && buf && blksz);
    size_t cap = slots_fitting(buflen, blksz);
    if (cap == 0) return -1;
    memset(buf, 0, buflen);
    *l = xvlst{};
    l->data = buf;
    l->max_len = cap;
    l->flags = XV_FIXED_SIZE;
    l->taken = static_cast<char *>(buf) + cap * blksz;
    return 0;
}

int xvlst_mmap_fixed(xvlst *l, size_t count, size_t blksz) noexcept
{
    lfx_assert(l && count && blksz);
    size_t bytes;
    if (blksz == SIZE_MAX || __builtin_mul_overflow(count, blksz + 1, &bytes)) {
        errno = ENOMEM;
        return ENOMEM;
    }
    // Fresh anonymous pages read as zeros; touching them here would commit
    // the memory that MAP_NORESERVE leaves uncommitted.
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return ENOMEM;
    *l = xvlst{};
    l->data = p;
    l->max_len = count;
    l->flags = XV_FIXED_SIZE | XV_MMAP;
    l->taken = static_cast<char *>(p) + count * blksz;
    l->meta.num = long(blksz);
    return 0;
}

int xvlst_reserve(xvlst *l, size_t new_max, size_t blksz, size_t growblk) noexcept
{
    lfx_assert(l && blksz && growblk);
    if (l->max_len >= new_max) return 0;
    if (l->flags & XV_FIXED_SIZE) return ERR_XV_FIXED;
    size_t n, bytes;
    if (!grown_size(new_max, blksz, growblk, &n, &bytes)) return alloc_failed();
    // Blocks first: if the map then cannot grow, the larger block area is
    // harmless and the capacity stays as it was.
    if (realloc_zeroed(&l->data, l->max_len, n, blksz) != 0) return -1;
    void *map = l->taken;
    if (realloc_zeroed(&map, l->max_len, n, 1) != 0) return -1;
    l->taken = static_cast<char *>(map);
    if (l->avail < 0) l->avail = ssize_t(l->max_len);
    l->max_len = n;
    return 0;
}

int xvlst_expand(xvlst *l, size_t plus, size_t blksz, size_t growblk) noexcept
{
    lfx_assert(l && plus && blksz && growblk);
    if (__builtin_add_overflow(l->len, plus, &plus)) return alloc_failed();
    return xvlst_reserve(l, plus, blksz, growblk);
}

ssize_t xvlst_add(xvlst *l, size_t blksz, size_t growblk) noexcept
{
    lfx_assert(l);
    if (l->max_len) lfx_assert(l->avail < ssize_t(l->max_len));
    int rc = xvlst_expand(l, 1, blksz, growblk);
    if (rc != 0) return rc;
    ssize_t i = take_slot(l->taken, l->max_len, l->last, l->avail);
    if (i >= 0) ++l->len;
    return i;
}

int xvlst_del(xvlst *l, size_t index, xv_cleanup_cb cleanup) noexcept
{
    lfx_assert(l);
    int rc = free_slot(l->taken, l->max_len, l->last, index);
    if (rc != 0) return rc;
    if (cleanup) cleanup(l->data, index);
    lower_avail(l->avail, index);
    lfx_assert(l->len > 0);
    --l->len;
    return 0;
}

int xvlst_each(xvlst *l, xv_each_cb f, size_t *pos) noexcept
{
    lfx_assert(l && f);
    return walk_slots(
        l->last, xvlst_storage(l), [f](void *data, size_t i) { return f(data, i); }, pos, false);
}

int xvlst_each_aux(xvlst *l, void *aux, xv_aux_cb f, size_t *pos) noexcept
{
    lfx_assert(l && f);
    return walk_slots(
        l->last, xvlst_storage(l), [f, aux](void *data, size_t i) { return f(data, i, aux); },
        pos, false);
}

int xvlst_find(xvlst *l, void *what, xv_aux_cb f, size_t *pos) noexcept
{
    lfx_assert(l && f);
    return walk_slots(
        l->last, xvlst_storage(l), [f, what](void *data, size_t i) { return f(data, i, what); },
        pos, true);
}

ssize_t xvlst_rmif(xvlst *l, void *udata, xv_aux_cb is_match, size_t *pos) noexcept
{
    lfx_assert(l && is_match);
    ssize_t n = 0;
    bool failed = false;
    walk_slots(
        l->last, xvlst_storage(l),
        [&](void *data, size_t i) {
            if (!is_match(data, i, udata)) return 0;
            if (xvlst_del(l, i, nullptr) != 0) {
                if (pos) *pos = i;
                failed = true;
                return 1;
            }
            ++n;
            return 0;
        },
        nullptr, true);
    return failed ? -1 : n;
}

void xvlst_purge_all(xvlst *l, xv_cleanup_cb cleanup) noexcept
{
    lfx_assert(l);
    if (l->len == 0 || !l->taken) return;
    // Nothing above last is taken: clearing up to there leaves the pages of
    // a mapped list's unused slots untouched.
    const size_t end = l->last < l->max_len ? l->last + 1 : l->max_len;
    if (cleanup)
        for (size_t i = 0; i < end; ++i)
            if (l->taken[i]) cleanup(l->data, i);
    memset(l->taken, 0, end);
    l->last = 0;
    l->len = 0;
    l->avail = 0;
}

void xvlst_reset(xvlst *l) noexcept
{
    if (!l) return;
    if (l->flags & XV_MMAP) {
        lfx_assert(l->meta.num != 0);
        if (munmap(l->data, l->max_len * (size_t(l->meta.num) + 1)) != 0) lfx_abort();
    } else if (!(l->flags & XV_FIXED_SIZE)) {
        free(l->data);
        free(l->taken);
    }
    *l = xvlst{};
}

// --- embedded slot list ---------------------------------------------------------

emblst *emblst_create(void *buf, size_t len, size_t blksz) noexcept
{
    lfx_assert(buf && blksz);
    lfx_assert(reinterpret_cast<uintptr_t>(buf) % 8 == 0);
    if (len <= EMBLST_HDR_SIZE) return nullptr;
    size_t cap = slots_fitting(len - EMBLST_HDR_SIZE, blksz);
    if (cap == 0) return nullptr;
    auto *el = static_cast<emblst *>(buf);
    el->count = 0;
    el->max_count = cap;
    el->last = 0;
    el->avail = 0;
    el->flags |= XV_FIXED_SIZE;
    el->pad = 0;
    el->taken_offt = EMBLST_HDR_SIZE + blksz * cap;
    memset(emblst_data(el), 0, cap * (blksz + 1));
    return el;
}

ssize_t emblst_add(emblst *el) noexcept
{
    lfx_assert(el);
    if (el->max_count) lfx_assert(el->avail < int64_t(el->max_count));
    if (el->count >= el->max_count) return -1;
    ssize_t i = take_slot(emblst_map(el), el->max_count, el->last, el->avail);
    if (i >= 0) ++el->count;
    return i;
}

int emblst_del(emblst *el, size_t index, xv_cleanup_cb cleanup) noexcept
{
    lfx_assert(el);
    int rc = free_slot(emblst_map(el), el->max_count, el->last, index);
    if (rc != 0) return rc;
    if (cleanup) cleanup(emblst_data(el), index);
    lower_avail(el->avail, index);
    lfx_assert(el->count > 0);
    --el->count;
    return 0;
}

int emblst_each(emblst *el, xv_each_cb f, size_t *pos) noexcept
{
    lfx_assert(el && f);
    return walk_slots(
        el->last, emblst_storage(el), [f](void *data, size_t i) { return f(data, i); }, pos,
        false);
}

int emblst_each_aux(emblst *el, void *aux, xv_aux_cb f, size_t *pos) noexcept
{
    lfx_assert(el && f);
    return walk_slots(
        el->last, emblst_storage(el), [f, aux](void *data, size_t i) { return f(data, i, aux); },
        pos, false);
}

emblst *emblst_copy(const emblst *se, void *dst, size_t dstlen) noexcept
{
    lfx_assert(se && dst);
    size_t n = se->taken_offt + se->max_count;
    if (dstlen < n) {
        errno = EINVAL;
        return nullptr;
    }
    memcpy(dst, se, n);
    return static_cast<emblst *>(dst);
}
