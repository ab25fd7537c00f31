#include "rring.h"

#include "log.h"

LOG_MODULE(LM_DEFAULT);

ssize_t rr_slots_busy(const rring *rr) noexcept
{
    lfx_assert(rr->count > 0);
    if (rr->head < 0 && rr->tail < 0) return 0;
    ssize_t busy = rr->head - rr->tail + 1;
    if (busy <= 0) busy += ssize_t(rr->count);
    lfx_assert(busy >= 0);
    return busy;
}

ssize_t rr_slots_avail(const rring *rr) noexcept
{
    ssize_t busy = rr_slots_busy(rr);
    lfx_assert(ssize_t(rr->count) >= busy);
    return ssize_t(rr->count) - busy;
}

ssize_t rr_next_avail(const rring *rr) noexcept
{
    if (rr->head < 0) {
        lfx_assert(rr->tail < 0);
        return 0;
    }
    if (rr_slots_avail(rr) == 0) return -1;
    return (size_t(rr->head) + 1 >= rr->count) ? 0 : rr->head + 1;
}

ssize_t rr_push(rring *rr) noexcept
{
    ssize_t slot = rr_next_avail(rr);
    if (slot < 0) return -1;
    if (rr->head < 0) rr->tail = slot;
    rr->head = slot;
    return slot;
}

ssize_t rr_pop(rring *rr) noexcept
{
    if (rr->tail < 0) {
        log_err("%s: nothing to pop, empty ring\n", __func__);
        return -1;
    }
    ssize_t slot = rr->tail;
    if (rr->tail == rr->head)
        rr->head = rr->tail = -1;
    else
        rr->tail = (size_t(rr->tail) + 1 >= rr->count) ? 0 : rr->tail + 1;
    return slot;
}

ssize_t rr_next_busy(const rring *rr) noexcept { return rr->tail; }
