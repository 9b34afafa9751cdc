// Repl: the interactive session. One root namespace lives for the whole
// session; each line runs as one text. Ctrl-C while a script runs raises
// the stop request (the run ends with "Stopped"); at the prompt it discards
// the line. Commands beginning with ")" do what the desktop buttons do.
#include "Repl.h"

#include <editline/readline.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KB.h"
#include "KPlatform.h"
#include "TarqHost.h"

namespace {

volatile std::sig_atomic_t gInterrupt = 0;

void OnSigInt(int) { gInterrupt = 1; }

// Breathe hook: turns a pending Ctrl-C into the run's stop request.
void CheckInterrupt(void* ctx) {
  if (gInterrupt) {
    gInterrupt = 0;
    *static_cast<bool*>(ctx) = true;
  }
}

const char* const kHelp =
    "Type a Tarq expression and press Enter. Commands:\n"
    "  )ns            show the namespace\n"
    "  )clear         clear the namespace\n"
    "  )ops           list the operators\n"
    "  )trace )parse )verbose )comments   toggle a switch\n"
    "  )load FILE     run a script file\n"
    "  )help          this text\n"
    "  )quit          leave (also Ctrl-D)\n"
    "Ctrl-C stops a running script.\n";

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

void Toggle(bool& sw, const char* name) {
  sw = !sw;
  std::printf("%s %s\n", name, sw ? "on" : "off");
}

// Runs a ")" command; false to leave the session.
bool Command(TarqHost& host, const std::string& line) {
  std::string cmd = Trim(line.substr(1));
  std::string arg;
  size_t sp = cmd.find_first_of(" \t");
  if (sp != std::string::npos) {
    arg = Trim(cmd.substr(sp));
    cmd = cmd.substr(0, sp);
  }
  if (cmd == "quit" || cmd == "exit" || cmd == "q") return false;
  if (cmd == "ns") {
    TarqHost::PrintLine(stdout, host.NamespaceText());
  } else if (cmd == "clear") {
    host.ClearNamespace();
    std::puts("Namespace cleared");
  } else if (cmd == "ops") {
    host.PrintOperators();
  } else if (cmd == "trace") {
    Toggle(host.trace, "Trace");
  } else if (cmd == "parse") {
    Toggle(host.parse, "Parsing");
  } else if (cmd == "verbose") {
    Toggle(host.verbose, "Verbose");
  } else if (cmd == "comments") {
    Toggle(host.comments, "Comments");
  } else if (cmd == "load") {
    std::string bytes;
    if (arg.empty()) {
      std::puts("usage: )load FILE");
    } else if (!KPlat::ReadFile(arg, bytes)) {
      std::puts("Invalid file");
    } else {
      host.Run(TarqHost::ScriptText(bytes));
    }
  } else if (cmd == "help" || cmd.empty()) {
    std::fputs(kHelp, stdout);
  } else {
    std::printf("Unknown command )%s; )help lists the commands\n", cmd.c_str());
  }
  std::fflush(stdout);
  return true;
}

}  // namespace

int RunInteractive(TarqHost& host) {
  struct sigaction sa = {};
  sa.sa_handler = OnSigInt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  KB::SetBreatheHook(CheckInterrupt, &host.stop);
  std::printf("tarqsh %s; )help lists the commands\n", TARQ_VERSION);
  for (;;) {
    gInterrupt = 0;
    char* raw = readline("tarq> ");
    if (!raw) {
      if (gInterrupt) {  // Ctrl-C at the prompt: discard the line
        std::putchar('\n');
        continue;
      }
      std::putchar('\n');
      break;
    }
    std::string line(raw);
    std::free(raw);
    if (gInterrupt) continue;
    if (Trim(line).empty()) continue;
    add_history(line.c_str());
    if (line[0] == ')') {
      if (!Command(host, line)) break;
      continue;
    }
    host.Run(TarqHost::FromUtf8(line));
  }
  KB::SetBreatheHook(nullptr, nullptr);
  return 0;
}
