// Slot-list churn: a 10k-slot list filled to a given percentage, then
// random deletes each followed by an add (which takes the lowest free slot).
#include "xvdat.h"

#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

constexpr size_t SLOTS = 10000;
constexpr size_t BLKSZ = 256;  // about a task record
constexpr size_t GROWBLK = 1000;

uint64_t next_rand(uint64_t &s)
{
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
}

void churn(benchmark::State &state, bool mapped)
{
    const size_t fill = SLOTS * size_t(state.range(0)) / 100;
    xvlst l{};
    if (mapped && xvlst_mmap_fixed(&l, SLOTS, BLKSZ) != 0) {
        state.SkipWithError("xvlst_mmap_fixed failed");
        return;
    }
    if (!mapped && xvlst_reserve(&l, SLOTS, BLKSZ, GROWBLK) != 0) {
        state.SkipWithError("xvlst_reserve failed");
        return;
    }
    // Fill every slot, then free a random part so the free slots are
    // scattered rather than all at the top.
    std::vector<size_t> held;
    for (size_t i = 0; i < SLOTS; ++i) held.push_back(size_t(xvlst_add(&l, BLKSZ, GROWBLK)));
    uint64_t rng = 0x9e3779b97f4a7c15u;
    while (held.size() > fill) {
        size_t k = next_rand(rng) % held.size();
        xvlst_del(&l, held[k], nullptr);
        held[k] = held.back();
        held.pop_back();
    }

    for (auto _ : state) {
        size_t k = next_rand(rng) % held.size();
        xvlst_del(&l, held[k], nullptr);
        ssize_t i = xvlst_add(&l, BLKSZ, GROWBLK);
        benchmark::DoNotOptimize(i);
        held[k] = size_t(i);
    }
    state.SetItemsProcessed(state.iterations());
    if (l.len != fill || l.max_len != SLOTS) state.SkipWithError("list size changed");
    xvlst_reset(&l);
}

void BM_xvlst_churn_heap(benchmark::State &state) { churn(state, false); }
void BM_xvlst_churn_mmap(benchmark::State &state) { churn(state, true); }

}  // namespace

// Argument: percentage of the 10k slots taken.
BENCHMARK(BM_xvlst_churn_heap)->Arg(50)->Arg(90)->Arg(100);
BENCHMARK(BM_xvlst_churn_mmap)->Arg(50)->Arg(90)->Arg(100);
