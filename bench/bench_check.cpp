// The checker over a 2,000-line text (the diagnostics an editor asks for on
// every change must stay well under 20 ms), and with the language server the
// whole answer to an edit: the document re-read, checked, and its
// diagnostics turned into a protocol message.
#include <benchmark/benchmark.h>

#include <string>

#include "KCheck.h"
#ifdef TARQ_BENCH_LSP
#include "LspServer.h"
#endif

namespace {

// 2,000 lines of the shapes a real text has: definitions, programs and
// operators, control structures, nested groups, comments, and a few lines
// with errors and warnings so the diagnostics are not empty.
std::string TwoThousandLines() {
  const char* const lines[] = {
      "$$ totals by group",
      "'inc' #OP {l__ + 1};",
      "'scale' #PGM {#ARGS; factor * values};",
      "1 2 3 4 5 => values; 10 => factor;",
      ":FOR (values) {values inc => last; :IF (last > 3) {last $} :ELSE {0}};",
      "0 => i; :WHILE (i < 10) {i + 1 => i; (i * 2) , (i - 1) => pair};",
      ":SELECT (i) {:CASE (1) {'one'} :CASE (2) {'two'} :DEFAULT {'many'}};",
      "{1 2 => a; 'text' => b; []} => ns; ns:names $;",
      "(values) % (values #) => mean; mean #COS => c;",
      ":IF {1}",
  };
  std::string text;
  for (int i = 0; i < 2000; ++i) {
    text += lines[i % 10];
    text += '\n';
  }
  return text;
}

void BM_Check2000Lines(benchmark::State& state) {
  std::string text = TwoThousandLines();
  size_t diagnostics = 0;
  for (auto _ : state) {
    KCheck::Report r = KCheck::Check(text);
    diagnostics = r.diagnostics.size();
    benchmark::DoNotOptimize(r);
  }
  state.counters["diagnostics"] = static_cast<double>(diagnostics);
  state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_Check2000Lines)->Unit(benchmark::kMillisecond);

#ifdef TARQ_BENCH_LSP
void BM_LspDiagnostics2000Lines(benchmark::State& state) {
  std::string text = TwoThousandLines();
  TarqLsp::Server server;
  TarqLsp::json open = {{"jsonrpc", "2.0"},
                        {"method", "textDocument/didOpen"},
                        {"params", {{"textDocument", {{"uri", "file:///b.tq"}, {"languageId", "tarq"},
                                                      {"version", 1}, {"text", text}}}}}};
  int version = 1;
  for (auto _ : state) {
    // One keystroke in the middle of the text, answered with its diagnostics.
    TarqLsp::json change = {
        {"jsonrpc", "2.0"},
        {"method", "textDocument/didChange"},
        {"params",
         {{"textDocument", {{"uri", "file:///b.tq"}, {"version", ++version}}},
          {"contentChanges",
           {{{"range", {{"start", {{"line", 1000}, {"character", 0}}}, {"end", {{"line", 1000}, {"character", 0}}}}},
             {"text", version % 2 ? " " : ""}}}}}}};
    if (version == 2) server.Handle(open);
    std::vector<TarqLsp::json> out = server.Handle(change);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_LspDiagnostics2000Lines)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
