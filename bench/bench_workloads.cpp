// Whole-process workloads: each Tarq text runs as one `tarqsh -e` process,
// beside a plain C++ program doing the same work. Compare the pairs
// (W1/tarq against W1/baseline ...) for the interpreter's ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchProcess.h"

namespace {
struct Workload {
  const char* name;
  const char* text;
  const char* arg = nullptr;  // a further argument of the baseline
};

const Workload kWorkloads[] = {
    {"W1", "1 .. 10000000 \\+"},
    {"W2", "1 .. 10000000 => a; a * 2 + a \\+"},
    {"W3", "1 .. 10000000 /+ ->"},
    {"W4", "1000000 %% 1000000 ? >>> <-"},
    {"W5", "0 => i; :WHILE (i < 10000000) {i + 1 => i}; i"},
    {"W7", ""},
    {"W8", "'inc' #OP {l__ + 1}; 0 => i; :WHILE (i < 10000000) {i inc => i}; i"},
    {"M1", "1 .. 10000000 *> 5000000 \\+"},
    {"W9", "1 .. 10000000 => x; 0 => s; :FOR (x) {s + x => s}; s"},
    {"W10", "'p' #PGM {n + 1 => n}; 0 => i; :WHILE (i < 1000000) {p; i + 1 => i}; p:ns"},
    {"W11", "0.5 => x; 0 => i; :WHILE (i < 10000000) {x * 1.0000001 => x; i + 1 => i}; x"},
};

// W6: a generated 10 MB text (lines of 3 to 14 words separated by blanks,
// LF line ends) read as a file, cut into lines and counted, cut into words
// and counted. The file is made once in the temporary directory.
const std::string& W6File() {
  static const std::string path = (std::filesystem::temp_directory_path() / "tarq_w6.txt").string();
  static const char* const kWords[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta",
                                       "theta", "iota", "kappa", "lambda", "mu", "nu", "xi",
                                       "omicron", "pi", "rho", "sigma", "tau", "upsilon"};
  constexpr long kSize = 10000000;
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) >= static_cast<uintmax_t>(kSize) && !ec) return path;
  std::string text;
  uint32_t seed = 6;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  while (static_cast<long>(text.size()) < kSize) {
    int words = 3 + static_cast<int>(next(12));
    for (int w = 0; w < words; ++w) {
      if (w) text += ' ';
      text += kWords[next(20)];
    }
    text += '\n';
  }
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  return path;
}

const std::string& W6Text() {
  static const std::string text =
      "'" + W6File() + "' #FILE => f; (f \\~ #) $; f \\|~ (' ' , (10 #ASC)) #";
  return text;
}

void BM_Tarq(benchmark::State& state, const Workload* w) {
  for (auto _ : state)
    if (!RunQuiet({TARQSH_PATH, "-e", w->text})) state.SkipWithError("tarqsh failed");
}

void BM_Baseline(benchmark::State& state, const Workload* w) {
  std::vector<std::string> args = {BASELINE_PATH, w->name};
  if (w->arg) args.push_back(w->arg);
  for (auto _ : state)
    if (!RunQuiet(args)) state.SkipWithError("baseline failed");
}

// F1: a 10 MB file loaded into a file object's buffer (appending nothing
// loads it) and its size read, against one read() of the whole file.
const char* const kF1Dir = "/tmp/tarq_bench_f1/tarq/user";
const std::string kF1File = std::string(kF1Dir) + "/F1.dat";

bool MakeF1File() {
  std::filesystem::create_directories(kF1Dir);
  std::ofstream out(kF1File, std::ios::binary | std::ios::trunc);
  std::string line = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ+-*/=.,;:!?()[]{}<>@#$%^&|~\r\n";
  for (size_t done = 0; done < 10u * 1024 * 1024; done += line.size()) out << line;
  return static_cast<bool>(out);
}

void BM_F1Tarq(benchmark::State& state) {
  std::string text = "'" + kF1File + "' #FILE => f; '' ,=> f; f:size";
  if (!MakeF1File()) state.SkipWithError("cannot make the file");
  for (auto _ : state)
    if (!RunQuiet({TARQSH_PATH, "-e", text})) state.SkipWithError("tarqsh failed");
}

void BM_F1Baseline(benchmark::State& state) {
  if (!MakeF1File()) state.SkipWithError("cannot make the file");
  for (auto _ : state)
    if (!RunQuiet({BASELINE_PATH, "F1", kF1File})) state.SkipWithError("baseline failed");
}

int Register() {
  benchmark::RegisterBenchmark("F1/tarq", BM_F1Tarq)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("F1/baseline", BM_F1Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();
  static const Workload w6 = {"W6", W6Text().c_str(), W6File().c_str()};
  std::vector<const Workload*> all;
  for (const auto& w : kWorkloads) all.push_back(&w);
  all.push_back(&w6);
  for (const Workload* p : all) {
    const Workload& w = *p;
    benchmark::RegisterBenchmark((std::string(w.name) + "/tarq").c_str(), BM_Tarq, &w)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark((std::string(w.name) + "/baseline").c_str(), BM_Baseline, &w)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  return 0;
}
const int kRegistered = Register();
}  // namespace
