// tarqsh: the command-line host of the Tarq interpreter. Runs a text given
// with -e, a script file, a script read from standard input, or an
// interactive session with line editing on a terminal. Exit status: 0 when
// the script ran without an error, 1 after an error or a failed write to
// standard output, 2 for a usage error or an unreadable script, 130 when
// Ctrl-C stopped a script.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "KB.h"
#include "KCheck.h"
#include "KPlatform.h"
#include "KQuick.h"
#include "Repl.h"
#include "TarqHelp.h"
#include "TarqHost.h"

namespace {

const char* const kUsage =
    "usage: tarqsh [-t] [-p] [-v] [-c] [-e TEXT | FILE | -]\n"
    "       tarqsh --check FILE...\n"
    "       tarqsh --ops | --reference | --help | --version\n"
    "  -e TEXT      run TEXT\n"
    "  FILE         run the script in FILE ('-' reads standard input)\n"
    "  (nothing)    interactive session on a terminal, else read standard input\n"
    "  -t -p -v -c  start with trace, parse, verbose or comments on\n"
    "  --check      check the shape of each FILE without running it: prints\n"
    "               file:line:col: error|warning: text; exit 1 on errors\n"
    "  --ops        list the operators\n"
    "  --reference  print the operator reference (Markdown)\n"
    "  --no-direct  run every block through the token loop (for comparing)\n"
    "  --sync-dicts full|none\n"
    "               full: every change to a dictionary file reaches the disk\n"
    "               before the statement returns (survives a power cut);\n"
    "               none (default, or TARQ_DICT_SYNC): survives the process\n"
    "               being killed, not a power cut\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "tarqsh: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

bool ReadAll(std::FILE* f, std::string& out) {
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return !std::ferror(f);
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Ctrl-C in batch mode: the first one asks the running script to stop (it
// ends with the "Stopped" error); a second one, while the first is still
// unseen, ends the process as usual.
volatile std::sig_atomic_t gPending = 0;
volatile std::sig_atomic_t gInterrupted = 0;

void OnBatchSigInt(int sig) {
  if (gPending) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    return;
  }
  gPending = 1;
  gInterrupted = 1;
}

void CheckBatchInterrupt(void* ctx) {
  if (gPending) {
    gPending = 0;
    *static_cast<bool*>(ctx) = true;
  }
}

void InstallBatchInterrupt(TarqHost& host) {
  struct sigaction sa = {};
  sa.sa_handler = OnBatchSigInt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  KB::SetBreatheHook(CheckBatchInterrupt, &host.stop);
}

// A closed standard output: keep descriptor 1 taken (so no file opened later
// receives the output) by something every write to fails on.
void GuardClosedStdout() {
  if (fcntl(STDOUT_FILENO, F_GETFD) < 0) {
    int fd = open("/dev/null", O_RDONLY);
    if (fd >= 0 && fd != STDOUT_FILENO) {
      dup2(fd, STDOUT_FILENO);
      close(fd);
    }
  }
}

// The status to exit with once everything is printed.
int Finish(int status) {
  if (int err = TarqHost::StdoutError()) {
    std::fprintf(stderr, "tarqsh: write error: %s\n", std::strerror(err));
    return 1;
  }
  if (gInterrupted) return 130;
  return status;
}

enum class Source { typed, file, piped };

int RunBatch(TarqHost& host, const std::string& bytes, Source source) {
  InstallBatchInterrupt(host);
  bool ok = source == Source::typed  ? host.RunTyped(bytes)
            : source == Source::file ? host.RunScript(bytes)
                                     : RunPiped(host, bytes);
  KB::SetBreatheHook(nullptr, nullptr);
  return Finish(ok ? 0 : 1);
}

// --check: every file's diagnostics, without running anything. Exit 0 when
// no file has an error, 1 when one has, 2 when a file cannot be read.
int CheckFiles(int argc, char** argv, int first) {
  int status = 0;
  if (first >= argc) return Usage("--check needs a file");
  for (int i = first; i < argc; ++i) {
    std::string name = argv[i];
    std::string bytes;
    if (name == "-") {
      if (!ReadAll(stdin, bytes)) {
        std::fputs("tarqsh: cannot read standard input\n", stderr);
        status = 2;
        continue;
      }
    } else if (IsDirectory(name) || !KPlat::ReadFile(name, bytes)) {
      std::fprintf(stderr, "tarqsh: cannot read %s\n", name.c_str());
      status = 2;
      continue;
    }
    // A byte-order mark is no part of the text (a run drops it too).
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    KCheck::Report r = KCheck::Check(bytes);
    std::string lines = KCheck::Format(name == "-" ? "<stdin>" : name, bytes, r);
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    if (r.HasErrors() && status == 0) status = 1;
  }
  return Finish(status);
}

int Main(int argc, char** argv) {
  GuardClosedStdout();
  if (const char* sync = std::getenv("TARQ_DICT_SYNC"); sync && !TarqHost::SetDictSync(sync))
    std::fputs("tarqsh: TARQ_DICT_SYNC takes full or none; none is used\n", stderr);
  TarqHost host;
  std::string text;
  bool haveText = false, haveFile = false, wantOps = false, wantReference = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--check") return CheckFiles(argc, argv, i + 1);
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return Finish(0);
    } else if (a == "--version") {
      std::printf("tarqsh %s\n", TARQ_VERSION);
      return Finish(0);
    } else if (a == "--ops") {
      wantOps = true;
    } else if (a == "--reference") {
      wantReference = true;
    } else if (a == "-t") {
      host.trace = true;
    } else if (a == "-p") {
      host.parse = true;
    } else if (a == "-v") {
      host.verbose = true;
    } else if (a == "-c") {
      host.comments = true;
    } else if (a == "--no-direct") {
      KQuick::enabled = false;
    } else if (a == "--sync-dicts") {
      if (i + 1 >= argc || !TarqHost::SetDictSync(argv[i + 1])) return Usage("--sync-dicts takes full or none");
      ++i;
    } else if (a == "-e") {
      if (i + 1 >= argc) return Usage("-e needs a text");
      if (haveText || haveFile) return Usage("only one script may be given");
      text = argv[++i];
      haveText = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage(("unknown option " + a).c_str());
    } else {
      if (haveText || haveFile) return Usage("only one script may be given");
      file = a;
      haveFile = true;
    }
  }
  if (wantReference) {
    std::string md = TarqHelp::Reference();
    std::fwrite(md.data(), 1, md.size(), stdout);
    if (!haveText && !haveFile && !wantOps) return Finish(0);
  }
  if (wantOps) {
    host.PrintOperators();
    if (!haveText && !haveFile) return Finish(0);
  }
  if (haveText) return RunBatch(host, text, Source::typed);
  std::string bytes;
  if (haveFile && file != "-") {
    if (IsDirectory(file) || !KPlat::ReadFile(file, bytes)) {
      std::fprintf(stderr, "tarqsh: cannot read %s\n", file.c_str());
      return 2;
    }
    return RunBatch(host, bytes, Source::file);
  }
  if (!haveFile && isatty(STDIN_FILENO)) return Finish(RunInteractive(host));
  if (!ReadAll(stdin, bytes)) {
    std::fputs("tarqsh: cannot read standard input\n", stderr);
    return 2;
  }
  return RunBatch(host, bytes, Source::piped);
}

}  // namespace

// Memory that runs out outside a run (reading the script, the listings) ends
// the program with error 10 rather than an abort.
int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("tarqsh: System error:Out of memory\n", stderr);
  }
  return 1;
}
