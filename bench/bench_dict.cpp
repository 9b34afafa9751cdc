// Whole-process dictionary workloads: distinct pseudo-random Int keys
// (1..n times an odd constant, wrapping: a permutation of 32-bit values)
// stored in one indexed assignment, then looked up in one index, as one
// `tarqsh -e` process, beside a C++ std::map program doing the same
// (tarq_dict_baseline). D1: 1,000,000 keys in memory. D2: 100,000 keys in a
// file-bound dictionary (a fresh file each run); the counter bytes_per_key
// gives the file's size per key. D3: single stores into a bound
// dictionary in this process (each one a whole change: journal, file,
// journal invalidated), once per sync setting of KRB::SetDurable; the
// counter stores_per_second is the figure to compare.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BenchProcess.h"
#include "KArg.h"
#include "KNum.h"
#include "KRB.h"

namespace {

const char* const kDir = "/tmp/tarq_dict_bench";
const char* const kFile = "/tmp/tarq_dict_bench/tarq/user/d2.tqd";

std::string Script(int n, bool file) {
  std::string keys = "(1 .. " + std::to_string(n) + ") * 1103515245 => k; ";
  std::string make = file ? std::string("'") + kFile + "' #DICT => d; " : "#DICT => d; ";
  return keys + make + "k =>[k] d; d[k] => r; (d #) (r #)";
}

void FreshDir() {
  mkdir(kDir, 0777);
  mkdir((std::string(kDir) + "/tarq").c_str(), 0777);
  mkdir((std::string(kDir) + "/tarq/user").c_str(), 0777);
  std::remove(kFile);
}

void BM_D1_Tarq(benchmark::State& state) {
  std::string text = Script(1000000, false);
  for (auto _ : state)
    if (!RunQuiet({TARQSH_PATH, "-e", text})) state.SkipWithError("tarqsh failed");
}

void BM_D1_Baseline(benchmark::State& state) {
  for (auto _ : state)
    if (!RunQuiet({DICT_BASELINE_PATH, "1000000"})) state.SkipWithError("baseline failed");
}

void BM_D2_Tarq(benchmark::State& state) {
  std::string text = Script(100000, true);
  for (auto _ : state) {
    state.PauseTiming();
    FreshDir();
    state.ResumeTiming();
    if (!RunQuiet({TARQSH_PATH, "-e", text})) state.SkipWithError("tarqsh failed");
  }
  struct stat st;
  if (stat(kFile, &st) == 0) state.counters["bytes_per_key"] = static_cast<double>(st.st_size) / 100000.0;
}

void BM_D2_Baseline(benchmark::State& state) {
  for (auto _ : state)
    if (!RunQuiet({DICT_BASELINE_PATH, "100000"})) state.SkipWithError("baseline failed");
}

// Arguments: durable (0 or 1), stores per iteration.
void BM_D3_Stores(benchmark::State& state) {
  const bool durable = state.range(0) != 0;
  const int n = static_cast<int>(state.range(1));
  const std::string path = std::string(kDir) + "/tarq/user/d3.tqd";
  KRB::SetDurable(durable);
  int64_t stores = 0;
  for (auto _ : state) {
    state.PauseTiming();
    FreshDir();
    std::remove(path.c_str());
    auto t = KRB::Open(path, true, "refused", true, true);
    state.ResumeTiming();
    for (int i = 0; i < n; ++i) {
      KA key, val;
      key.Owns(KMakeInt(static_cast<int32_t>(static_cast<uint32_t>(i + 1) * 1103515245u)));
      val.Owns(KMakeInt(i));
      t->Store(key.value, val.value);
    }
    stores += n;
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
  KRB::SetDurable(false);
  state.counters["stores_per_second"] = benchmark::Counter(static_cast<double>(stores), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_D1_Tarq)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_D1_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_D2_Tarq)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_D2_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_D3_Stores)->Args({0, 20000})->Args({1, 300})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
