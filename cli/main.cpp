// tarqsh: the command-line host of the Tarq interpreter. Runs a text given
// with -e, a script file, a script read from standard input, or an
// interactive session with line editing on a terminal.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "KPlatform.h"
#include "Repl.h"
#include "TarqHost.h"

namespace {

const char* const kUsage =
    "usage: tarqsh [-t] [-p] [-v] [-c] [-e TEXT | FILE | -]\n"
    "       tarqsh --ops | --help | --version\n"
    "  -e TEXT    run TEXT\n"
    "  FILE       run the script in FILE ('-' reads standard input)\n"
    "  (nothing)  interactive session on a terminal, else read standard input\n"
    "  -t -p -v -c  start with trace, parse, verbose or comments on\n"
    "  --ops      list the operators\n";

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

}  // namespace

int main(int argc, char** argv) {
  TarqHost host;
  std::string text;
  bool haveText = false, haveFile = false, wantOps = false;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("tarqsh %s\n", TARQ_VERSION);
      return 0;
    } else if (a == "--ops") {
      wantOps = true;
    } else if (a == "-t") {
      host.trace = true;
    } else if (a == "-p") {
      host.parse = true;
    } else if (a == "-v") {
      host.verbose = true;
    } else if (a == "-c") {
      host.comments = true;
    } else if (a == "-e") {
      if (i + 1 >= argc) return Usage("-e needs a text");
      if (haveText || haveFile) return Usage("only one script may be given");
      text = TarqHost::FromUtf8(argv[++i]);
      haveText = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage(("unknown option " + a).c_str());
    } else {
      if (haveText || haveFile) return Usage("only one script may be given");
      file = a;
      haveFile = true;
    }
  }
  if (wantOps) {
    host.PrintOperators();
    if (!haveText && !haveFile) return 0;
  }
  if (haveFile) {
    std::string bytes;
    if (file == "-") {
      if (!ReadAll(stdin, bytes)) return Usage("cannot read standard input");
    } else if (!KPlat::ReadFile(file, bytes)) {
      std::fprintf(stderr, "tarqsh: cannot read %s\n", file.c_str());
      return 2;
    }
    text = TarqHost::ScriptText(bytes);
    haveText = true;
  }
  if (haveText) return host.Run(text) ? 0 : 1;
  if (isatty(STDIN_FILENO)) return RunInteractive(host);
  std::string bytes;
  if (!ReadAll(stdin, bytes)) return Usage("cannot read standard input");
  return host.Run(TarqHost::ScriptText(bytes)) ? 0 : 1;
}
