// Delay queue costs with many pending delays: scheduling a delay (a sorted
// insert), removing it, and firing due delays.
#include <benchmark/benchmark.h>

#include <vector>

#include "delay.h"

namespace {

// Schedules one delay later than all pending ones (the common case: every
// suspended task waits the same retry period) and removes it again.
void BM_dly_add_rm_latest(benchmark::State &state)
{
    dly_init();
    std::vector<dly_t> pending;
    for (long i = 0; i < state.range(0); ++i) pending.push_back(dly_add_usec(60000000, nullptr, 0));
    for (auto _ : state) {
        dly_t d = dly_add_usec(120000000, nullptr, 0);
        benchmark::DoNotOptimize(d);
        dly_rm(d);
    }
    dly_destroy();
}
BENCHMARK(BM_dly_add_rm_latest)->Arg(10)->Arg(1000)->Arg(10000);

// Schedules one delay earlier than all pending ones (a short retry).
void BM_dly_add_rm_earliest(benchmark::State &state)
{
    dly_init();
    for (long i = 0; i < state.range(0); ++i) dly_add_usec(60000000, nullptr, 0);
    for (auto _ : state) {
        dly_t d = dly_add_usec(1000, nullptr, 0);
        dly_rm(d);
    }
    dly_destroy();
}
BENCHMARK(BM_dly_add_rm_earliest)->Arg(10)->Arg(10000);

// Fires one due delay per call with state.range(0) others pending, and
// releases the fired one as its owner would.
void BM_dly_expire_one(benchmark::State &state)
{
    dly_init();
    for (long i = 0; i < state.range(0); ++i) dly_add_usec(60000000, nullptr, 0);
    for (auto _ : state) {
        state.PauseTiming();
        dly_t d = dly_add_usec(0, nullptr, 0);
        state.ResumeTiming();
        benchmark::DoNotOptimize(dly_expire(nullptr, nullptr));
        dly_rm(d);
    }
    dly_destroy();
}
BENCHMARK(BM_dly_expire_one)->Arg(10)->Arg(10000);

}  // namespace
