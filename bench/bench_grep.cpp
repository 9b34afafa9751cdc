// Regular-expression workload as whole processes: one `tarqsh -e` run that
// builds a 10 MB text and finds every match of a word through "#GREP" and
// "``&", beside a C++ program using PCRE2 (with JIT) directly.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {
const char* const kText = "('lorem ipsum dolor sit amet ' %% 10000000) ``& ('dolor' #GREP) #";

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
