// Text-keyed hash table with keys shaped like the daemon's task keys
// ("source|destination"), at the sizes of a busy task index.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gkh.h"

namespace {

// Distinct keys sharing their scheme and most of their address text, as task
// keys do.  Another `port` gives same-shaped keys that miss.
std::vector<std::string> task_keys(size_t n, int port)
{
    std::vector<std::string> v;
    v.reserve(n);
    char buf[128];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof(buf), "udp://239.%zu.%zu.%zu:5000|udp://10.0.%zu.%zu:%d", i >> 16 & 255,
                 i >> 8 & 255, i & 255, i >> 8 & 255, (i & 255) + 1, port);
        v.emplace_back(buf);
    }
    return v;
}

void BM_skht_add(benchmark::State &state)
{
    const size_t n = size_t(state.range(0));
    const std::vector<std::string> keys = task_keys(n, 6000);
    for (auto _ : state) {
        state.PauseTiming();
        skht_t h;
        if (skht_create(&h, n, nullptr, nullptr, 0) != 0) {
            state.SkipWithError("create");
            return;
        }
        state.ResumeTiming();
        for (const auto &k : keys) benchmark::DoNotOptimize(skht_add(h, k.c_str(), nullptr));
        state.PauseTiming();
        skht_destroy(h, nullptr);
        state.ResumeTiming();
    }
    state.counters["ns_per_op"] = benchmark::Counter(
        double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void get_bench(benchmark::State &state, int lookup_port)
{
    const size_t n = size_t(state.range(0));
    const std::vector<std::string> keys = task_keys(n, 6000);
    const std::vector<std::string> probes = task_keys(n, lookup_port);
    skht_t h;
    if (skht_create(&h, n, nullptr, nullptr, 0) != 0) {
        state.SkipWithError("create");
        return;
    }
    for (const auto &k : keys) skht_add(h, k.c_str(), nullptr);
    size_t i = 0;
    for (auto _ : state) {
        void *d;
        benchmark::DoNotOptimize(skht_get(h, probes[i].c_str(), &d));
        if (++i == n) i = 0;
    }
    skht_destroy(h, nullptr);
}

void BM_skht_get_hit(benchmark::State &state) { get_bench(state, 6000); }
void BM_skht_get_miss(benchmark::State &state) { get_bench(state, 6001); }

void BM_plHash(benchmark::State &state)
{
    const std::vector<std::string> keys = task_keys(1024, 6000);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(plHash(keys[i].c_str(), 1765000000));
        i = (i + 1) & 1023;
    }
}

}  // namespace

BENCHMARK(BM_plHash);
BENCHMARK(BM_skht_add)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_skht_get_hit)->Arg(10000)->Arg(100000);
BENCHMARK(BM_skht_get_miss)->Arg(10000)->Arg(100000);
