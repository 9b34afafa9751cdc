// Regular-expression workload as whole processes: one `tarqsh -e` run that
// builds a 10 MB text and finds every match of a word through "#GREP" and
// "``&", beside a C++ program using PCRE2 (with JIT) directly.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BenchProcess.h"

namespace {
const char* const kText = "('lorem ipsum dolor sit amet ' %% 10000000) ``& ('dolor' #GREP) #";

void BM_GrepTarq(benchmark::State& state) {
  for (auto _ : state)
    if (!RunQuiet({TARQSH_PATH, "-e", kText})) state.SkipWithError("tarqsh failed");
}

void BM_GrepBaseline(benchmark::State& state) {
  for (auto _ : state)
    if (!RunQuiet({GREP_BASELINE_PATH})) state.SkipWithError("baseline failed");
}
}  // namespace

BENCHMARK(BM_GrepTarq)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GrepBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();
