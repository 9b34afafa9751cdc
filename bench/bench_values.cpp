#include <benchmark/benchmark.h>

// ------------------------------------------------------------ KString
#include <string>

#include "KString.h"

// Base64 encode and decode of 1 MB and 10 MB strings: both must stay linear.
static void BM_KString_Base64Encode(benchmark::State& state) {
  std::string text(static_cast<size_t>(state.range(0)), '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 131 + 7);
  KString s(text);
  for (auto _ : state) {
    KString* e = s.B64();
    benchmark::DoNotOptimize(e->Str());
    KB::DoneWith(e);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_KString_Base64Encode)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

static void BM_KString_Base64Decode(benchmark::State& state) {
  std::string text(static_cast<size_t>(state.range(0)), '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 131 + 7);
  KString s(text);
  KString* e = s.B64();
  for (auto _ : state) {
    KString* d = e->R64();
    benchmark::DoNotOptimize(d->Str());
    KB::DoneWith(d);
  }
  KB::DoneWith(e);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_KString_Base64Decode)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------ KNum
#include "KNum.h"

// A literal of n integers (or floats) as a script would write it.
static std::string KNumLiteral(int64_t n, bool floats) {
  std::string s;
  s.reserve(static_cast<size_t>(n) * 9);
  for (int64_t i = 0; i < n; ++i) {
    if (i % 7 == 3) s += '_';
    s += std::to_string((i * 7919) % 1000003);
    if (floats) s += ".25";
    s += ' ';
  }
  return s;
}

// Parsing and printing a literal must be linear in its length.
static void BM_KNumParseInt(benchmark::State& state) {
  const std::string lit = KNumLiteral(state.range(0), false);
  for (auto _ : state) {
    KNum* a = new KNum(lit.data(), static_cast<int>(lit.size()));
    benchmark::DoNotOptimize(a->IntPtr());
    KB::DoneWith(a);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_KNumParseInt)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

static void BM_KNumParseFloat(benchmark::State& state) {
  const std::string lit = KNumLiteral(state.range(0), true);
  for (auto _ : state) {
    KNum* a = new KNum(lit.data(), static_cast<int>(lit.size()));
    benchmark::DoNotOptimize(a->FltPtr());
    KB::DoneWith(a);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_KNumParseFloat)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// The display form stops after 1000 characters; the simple form writes all.
static void BM_KNumPrintDisplay(benchmark::State& state) {
  const std::string lit = KNumLiteral(state.range(0), false);
  KNum a(lit.data(), static_cast<int>(lit.size()));
  for (auto _ : state) benchmark::DoNotOptimize(a.AsString(false).size());
}
BENCHMARK(BM_KNumPrintDisplay)->Arg(1000000)->Unit(benchmark::kMicrosecond);

static void BM_KNumPrintAllInt(benchmark::State& state) {
  const std::string lit = KNumLiteral(state.range(0), false);
  KNum a(lit.data(), static_cast<int>(lit.size()));
  for (auto _ : state) benchmark::DoNotOptimize(a.AsSimpleString().size());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_KNumPrintAllInt)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

static void BM_KNumPrintAllFloat(benchmark::State& state) {
  const std::string lit = KNumLiteral(state.range(0), true);
  KNum a(lit.data(), static_cast<int>(lit.size()));
  for (auto _ : state) benchmark::DoNotOptimize(a.AsSimpleString().size());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_KNumPrintAllFloat)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Moving windows: the sum is one pass; the largest uses a monotonic queue.
static void BM_KNumMovSum(benchmark::State& state) {
  const std::string lit = KNumLiteral(1000000, true);
  KNum a(lit.data(), static_cast<int>(lit.size()));
  KNum w(static_cast<int32_t>(state.range(0)));
  for (auto _ : state) KB::DoneWith(a.MovSum(&w));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000000);
}
BENCHMARK(BM_KNumMovSum)->Arg(100)->Unit(benchmark::kMillisecond);

static void BM_KNumMovLargest(benchmark::State& state) {
  const std::string lit = KNumLiteral(1000000, false);
  KNum a(lit.data(), static_cast<int>(lit.size()));
  KNum w(static_cast<int32_t>(state.range(0)));
  for (auto _ : state) KB::DoneWith(a.MovLargest(&w));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 1000000);
}
BENCHMARK(BM_KNumMovLargest)->Arg(10)->Arg(1000)->Unit(benchmark::kMillisecond);
