// The evaluator's cost per token, and symbol lookup in a large namespace.
#include <benchmark/benchmark.h>

#include <string>

#include "KArg.h"
#include "KNS.h"
#include "KNum.h"
#include "KParser.h"
#include "KSeq.h"
#include "KString.h"

namespace {
// A host's namespace chain with one root namespace.
struct Host {
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  Host() { chain->Append(root, true); }
  ~Host() {
    root->Clear();
    KB::DoneWith(chain);
  }
  void Run(const std::string& text) {
    KParser p(chain, "root");
    p.fCmdSet(text);
    KA result;
    KT::KTT last;
    p.Exec(result, last, nullptr);
  }
};

// "1 + 2; 3 * 4; ..." : four tokens per statement with its separator.
std::string SmallStatements(int tokens) {
  std::string s;
  for (int i = 0; i < tokens / 4; ++i) s += (i % 2) ? "3 * 4;" : "1 + 2;";
  return s;
}

void BM_EvalTokens(benchmark::State& state) {
  const int tokens = static_cast<int>(state.range(0));
  std::string text = SmallStatements(tokens);
  Host host;
  for (auto _ : state) host.Run(text);
  state.SetItemsProcessed(state.iterations() * tokens);
}
BENCHMARK(BM_EvalTokens)->Arg(100000)->Unit(benchmark::kMillisecond);

// Names name0 .. name9999 in the root namespace.
void FillNames(KNS* ns, int n) {
  for (int i = 0; i < n; ++i) {
    KB* v = KMakeInt(i);
    ns->Put(("name" + std::to_string(i)).c_str(), v, KT::ntSymbol);
    KB::DoneWith(v);
  }
}

void BM_NamespaceLookup(benchmark::State& state) {
  KNS* ns = new KNS();
  FillNames(ns, static_cast<int>(state.range(0)));
  KString probe("name7777");
  for (auto _ : state) benchmark::DoNotOptimize(ns->IndexOf(&probe));
  KB::DoneWith(ns);
}
BENCHMARK(BM_NamespaceLookup)->Arg(10000);

// Scripted lookups: each statement reads one of 10,000 names.
void BM_EvalSymbolLookup(benchmark::State& state) {
  Host host;
  FillNames(host.root, 10000);
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "name" + std::to_string((i * 7919) % 10000) + ";";
  for (auto _ : state) host.Run(text);
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_EvalSymbolLookup)->Unit(benchmark::kMicrosecond);
}  // namespace

// A line of data: n numbers (or quotes, or both alternating) side by side in
// one strand. Joining each to the strand must cost constant time.
std::string StrandLine(int n, int kind) {
  std::string s;
  s.reserve(static_cast<size_t>(n) * 9);
  for (int i = 0; i < n; ++i) {
    bool quote = kind == 1 || (kind == 2 && i % 2);
    if (quote) {
      s += "'a" + std::to_string(i) + "' ";
    } else {
      s += std::to_string(i) + " ";
    }
  }
  return s;
}

void BM_StrandLine(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string text = StrandLine(n, static_cast<int>(state.range(1)));
  Host host;
  for (auto _ : state) host.Run(text);
  state.SetItemsProcessed(state.iterations() * n);
}
// Kinds: 0 numbers, 1 quotes, 2 mixed.
BENCHMARK(BM_StrandLine)->Args({1000000, 0})->Args({1000000, 1})->Args({1000000, 2})
    ->Unit(benchmark::kMillisecond);
