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
