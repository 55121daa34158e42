#include "SelectionPolicy.hpp"

#include <benchmark/benchmark.h>

#include <numeric>
#include <vector>

namespace {

// The rule runs on every discovery report; it must stay linear and allocation-free whatever the list length.
void BM_DecideKeepAtEnd(benchmark::State& state) {
    std::vector<kestrova::WindowID> ids(static_cast<std::size_t>(state.range(0)));
    std::iota(ids.begin(), ids.end(), 1u);
    const kestrova::WindowID last = ids.back();
    for (auto _ : state) benchmark::DoNotOptimize(kestrova::SelectionPolicy::decide(last, ids));
}
BENCHMARK(BM_DecideKeepAtEnd)->Arg(1)->Arg(16)->Arg(256);

void BM_DecideChooseManually(benchmark::State& state) {
    std::vector<kestrova::WindowID> ids(static_cast<std::size_t>(state.range(0)));
    std::iota(ids.begin(), ids.end(), 1u);
    for (auto _ : state) benchmark::DoNotOptimize(kestrova::SelectionPolicy::decide(0u, ids));
}
BENCHMARK(BM_DecideChooseManually)->Arg(2)->Arg(256);

}  // namespace
