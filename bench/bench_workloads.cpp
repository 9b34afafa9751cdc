// Whole-process workloads: each Tarq text runs as one `tarqsh -e` process,
// beside a plain C++ program doing the same work. Compare the pairs
// (W1/tarq against W1/baseline ...) for the interpreter's ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {
struct Workload {
  const char* name;
  const char* text;
};

const Workload kWorkloads[] = {
    {"W1", "1 .. 10000000 \\+"},
    {"W2", "1 .. 10000000 => a; a * 2 + a \\+"},
    {"W3", "1 .. 10000000 /+ ->"},
    {"W4", "1000000 %% 1000000 ? >>> <-"},
    {"W5", "0 => i; :WHILE (i < 1000000) {i + 1 => i}; i"},
    {"W7", ""},
    {"W8", "'inc' #OP {l__ + 1}; 0 => i; :WHILE (i < 100000) {i inc => i}; i"},
    {"M1", "1 .. 10000000 *> 5000000 \\+"},
    {"W9", "1 .. 1000000 => x; 0 => s; :FOR (x) {s + x => s}; s"},
    {"W10", "'p' #PGM {n + 1 => n}; 0 => i; :WHILE (i < 100000) {p; i + 1 => i}; p:ns"},
};

// Runs a program with stdout discarded; false when it fails.
bool RunQuiet(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_Tarq(benchmark::State& state, const Workload* w) {
  for (auto _ : state)
    if (!RunQuiet({TARQSH_PATH, "-e", w->text})) state.SkipWithError("tarqsh failed");
}

void BM_Baseline(benchmark::State& state, const Workload* w) {
  for (auto _ : state)
    if (!RunQuiet({BASELINE_PATH, w->name})) state.SkipWithError("baseline failed");
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
  for (const auto& w : kWorkloads) {
    benchmark::RegisterBenchmark((std::string(w.name) + "/tarq").c_str(), BM_Tarq, &w)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark((std::string(w.name) + "/baseline").c_str(), BM_Baseline, &w)
        ->Unit(benchmark::kMillisecond)->UseRealTime();
  }
  return 0;
}
const int kRegistered = Register();
}  // namespace
