#include "rqs.h"

// The loop state; one process-wide instance.
struct rqs_context {
    struct timespec itime;  // the loop's clock: CLOCK_MONOTONIC after each wait
};

static rqs_context g_rqs;

const struct timespec *rqs_now_ref() noexcept
{
    return &g_rqs.itime;
}

struct timespec rqs_now() noexcept
{
    return g_rqs.itime;
}

void rqs_update_clock() noexcept
{
    set_now(&g_rqs.itime);
}

void rqs_test_set_now(const struct timespec *tms) noexcept
{
    g_rqs.itime = tms ? *tms : timespec{0, 0};
}
