// Repl: the interactive session. One root namespace lives for the whole
// session; each complete input runs as one text. Lines are read with
// libedit: history kept across sessions (XDG state directory, size-limited),
// Tab completion, and continuation lines while a bracket, brace,
// parenthesis, quote or comment is open. Ctrl-C while a script runs raises
// the stop request (the run ends with "Stopped"); at the prompt it discards
// the input. Commands beginning with ")" do what the desktop buttons do.
#include "Repl.h"

#include <editline/readline.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include "Completion.h"
#include "KB.h"
#include "KPlatform.h"
#include "Kerror.h"
#include "TarqHelp.h"
#include "TarqHost.h"
#include "TarqText.h"

namespace {

constexpr int kHistoryLimit = 1000;

volatile std::sig_atomic_t gInterrupt = 0;
TarqHost* gHost = nullptr;  // for the completion callback

void OnSigInt(int) { gInterrupt = 1; }

// libedit's key reader. It waits for input with SIGINT unblocked only inside
// ppoll, so a Ctrl-C that lands anywhere while a line is being read (even
// before the wait begins) ends the read instead of being lost; and it decodes
// UTF-8, handing libedit whole characters. Returns EOF at end of input or when
// interrupted.
int ReadKey(std::FILE* in) {
  int fd = fileno(in);
  std::mbstate_t state{};
  sigset_t intOnly, outside;
  sigemptyset(&intOnly);
  sigaddset(&intOnly, SIGINT);
  for (;;) {
    pthread_sigmask(SIG_BLOCK, &intOnly, &outside);
    int ready = 0;
    if (!gInterrupt) {
      sigset_t waiting = outside;
      sigdelset(&waiting, SIGINT);
      pollfd p = {fd, POLLIN, 0};
      ready = ppoll(&p, 1, nullptr, &waiting);
    }
    pthread_sigmask(SIG_SETMASK, &outside, nullptr);
    if (gInterrupt) return EOF;
    if (ready < 0 && errno != EINTR) return EOF;
    if (ready <= 0) continue;
    char byte;
    ssize_t n = read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return EOF;
    wchar_t wc;
    size_t used = std::mbrtowc(&wc, &byte, 1, &state);
    if (used == static_cast<size_t>(-2)) continue;  // inside a multibyte character
    if (used == static_cast<size_t>(-1)) {          // not valid in the encoding
      state = std::mbstate_t{};
      return 0xFFFD;
    }
    return static_cast<int>(wc);
  }
}

// Lines cross the terminal as UTF-8 whatever the environment's locale says:
// libedit encodes and decodes with the character-type locale.
void UseUtf8Terminal() {
  if (!std::setlocale(LC_CTYPE, "") || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
    std::setlocale(LC_CTYPE, "C.UTF-8");
}

// Breathe hook: turns a pending Ctrl-C into the run's stop request.
void CheckInterrupt(void* ctx) {
  if (gInterrupt) {
    gInterrupt = 0;
    *static_cast<bool*>(ctx) = true;
  }
}

const char* const kCommandHelp =
    "Type a Tarq expression and press Enter; an open bracket or quote continues on the next line\n"
    "(an empty line abandons it). Tab completes. Commands:\n"
    "  )ns            show the namespace\n"
    "  )clear         clear the namespace\n"
    "  )ops           list the operators\n"
    "  )trace )parse )verbose )comments   toggle a switch\n"
    "  )load FILE     run a script file\n"
    "  )help [TOPIC]  help topics; )help OP describes an operator, )help :FOR a control word\n"
    "  )apropos WORD  operators and words whose descriptions mention WORD\n"
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

void Help(const std::string& topic) {
  if (topic.empty()) {
    TarqHost::PrintLine(stdout, TarqHelp::Topics());
  } else if (topic == "commands") {
    std::fputs(kCommandHelp, stdout);
  } else if (topic == "operators") {
    TarqHost::PrintLine(stdout, TarqHelp::OperatorNames());
  } else if (topic == "legend") {
    TarqHost::PrintLine(stdout, TarqHelp::Legend());
  } else if (topic == "control") {
    TarqHost::PrintLine(stdout, TarqHelp::ControlWords());
  } else if (topic == "directives") {
    TarqHost::PrintLine(stdout, TarqHelp::Directives());
  } else if (int k = TarqHelp::FindKeyword(TarqHost::FromUtf8(topic)); k >= 0) {
    TarqHost::PrintLine(stdout, TarqHelp::KeywordHelp(k));
  } else {
    int i = TarqHelp::FindOperator(TarqHost::FromUtf8(topic));
    if (i < 0) {
      std::printf("No operator or topic \"%s\"; )help lists the topics, )apropos WORD searches\n", topic.c_str());
    } else {
      TarqHost::PrintLine(stdout, TarqHelp::OperatorHelp(i));
    }
  }
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
      host.RunScript(bytes);
    }
  } else if (cmd == "help" || cmd.empty()) {
    Help(arg);
  } else if (cmd == "apropos") {
    TarqHost::PrintLine(stdout, TarqHelp::Apropos(TarqHost::FromUtf8(arg)));
  } else {
    std::printf("Unknown command )%s; )help lists the commands\n", cmd.c_str());
  }
  std::fflush(stdout);
  return true;
}

// What a newcomer types to leave or to get help, answered with the way to
// do it (unless the word is a name of the session).
const char* Hint(TarqHost& host, const std::string& input) {
  if (input != "quit" && input != "exit" && input != "help") return nullptr;
  for (const std::string& n : host.Names())
    if (n == input) return nullptr;
  if (input == "help")
    return "Type )help for the help topics, )help OP for an operator (as in )help +), "
           ")help commands for the ) commands.";
  return "Use )quit or Ctrl-D (end of input) to leave tarqsh.";
}

// The history file: $XDG_STATE_HOME/tarq/history, else ~/.local/state/tarq/history.
std::string HistoryPath() {
  std::string dir;
  if (const char* s = std::getenv("XDG_STATE_HOME"); s && *s == '/') {
    dir = s;
  } else if (const char* h = std::getenv("HOME"); h && *h) {
    dir = std::string(h) + "/.local/state";
  } else {
    return std::string();
  }
  // Create the directories on the way (mode 0700, as state directories are).
  for (size_t i = 1; i <= dir.size(); ++i)
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0700);
  dir += "/tarq";
  mkdir(dir.c_str(), 0700);
  return dir + "/history";
}

// libedit completion: candidates for the word before the cursor.
char* NextCandidate(const char* text, int state) {
  static std::vector<std::string> found;
  static size_t next = 0;
  if (state == 0) {
    next = 0;
    found.clear();
    // No exception may cross the line editor: without memory there are no
    // candidates.
    try {
      std::string line = rl_line_buffer ? rl_line_buffer : "";
      size_t start = static_cast<size_t>(rl_point) >= std::strlen(text) ? rl_point - std::strlen(text) : 0;
      if (gHost) found = Completion::Candidates(*gHost, line, start, text);
    } catch (...) {
      found.clear();
    }
  }
  if (next >= found.size()) return nullptr;
  return strdup(found[next++].c_str());
}

char** Complete(const char* text, int, int) {
  rl_attempted_completion_over = 1;  // no file-name completion
  return rl_completion_matches(text, NextCandidate);
}

// True while `text` leaves a group, quote or "$*" comment open.
bool IsOpen(const std::string& text) {
  std::string cp = TarqHost::FromUtf8(text);
  return TarqText::IsOpen(cp) || TarqText::NeedsBody(cp);
}

// Reads one complete input: the first line and its continuation lines.
// False at end of input. A Ctrl-C left over from a run is forgotten before
// the first line; one typed after that abandons the input.
bool ReadInput(std::string& input) {
  input.clear();
  gInterrupt = 0;
  for (;;) {
    char* raw = readline(input.empty() ? "tarq> " : "....> ");
    if (!raw) {
      if (gInterrupt) {  // Ctrl-C: abandon what was typed
        std::putchar('\n');
        gInterrupt = 0;
        input.clear();
        continue;
      }
      std::putchar('\n');
      return false;
    }
    std::string line(raw);
    std::free(raw);
    if (gInterrupt) {
      std::putchar('\n');
      gInterrupt = 0;
      input.clear();
      continue;
    }
    if (!input.empty() && Trim(line).empty()) {  // an empty line abandons
      std::puts("(input abandoned)");
      input.clear();
      continue;
    }
    input += input.empty() ? line : "\n" + line;
    if (input[0] == ')' || !IsOpen(input)) return true;
  }
}

}  // namespace

bool RunPiped(TarqHost& host, const std::string& bytes) {
  // Lines are gathered into script pieces; a line that begins with ")" where
  // no group of the piece is open is a command. A text without commands
  // runs as one script, as a file does.
  std::string piece;
  auto runPiece = [&]() {
    bool ok = Trim(piece).empty() || host.RunScript(piece);
    piece.clear();
    return ok;
  };
  size_t a = 0;
  while (a < bytes.size()) {
    size_t b = bytes.find('\n', a);
    size_t next = b == std::string::npos ? bytes.size() : b + 1;
    std::string line = bytes.substr(a, next - a);
    a = next;
    std::string bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.pop_back();
    bool command = !bare.empty() && bare[0] == ')' &&
                   (Trim(piece).empty() || !TarqText::IsOpen(TarqHost::ScriptText(piece)));
    if (!command) {
      piece += line;
      continue;
    }
    if (!runPiece()) return false;
    if (!Command(host, bare)) return true;
  }
  return runPiece();
}

int RunInteractive(TarqHost& host) {
  struct sigaction sa = {};
  sa.sa_handler = OnSigInt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  KB::SetBreatheHook(CheckInterrupt, &host.stop);
  gHost = &host;
  UseUtf8Terminal();
  rl_getc_function = ReadKey;
  rl_readline_name = "tarqsh";
  rl_completer_word_break_characters = const_cast<char*>(Completion::kWordBreaks);
  rl_attempted_completion_function = Complete;
  std::string history = HistoryPath();
  stifle_history(kHistoryLimit);
  if (!history.empty()) read_history(history.c_str());
  std::printf("tarqsh %s; )help lists the commands\n", TARQ_VERSION);
  std::string input;
  while (ReadInput(input)) {
    if (Trim(input).empty()) continue;
    add_history(input.c_str());
    if (!history.empty()) write_history(history.c_str());
    // A command or run that runs out of memory is reported as error 10 and
    // the session goes on.
    try {
      if (input[0] == ')') {
        if (!Command(host, input)) break;
        continue;
      }
      if (const char* hint = Hint(host, Trim(input))) {
        std::puts(hint);
        std::fflush(stdout);
        continue;
      }
      host.RunTyped(input);
    } catch (std::bad_alloc&) {
      std::fflush(stdout);
      std::fputs("System error:Out of memory\n", stderr);
    } catch (KError& e) {  // a listing's walk refused (too deep, too large)
      std::fflush(stdout);
      TarqHost::PrintLine(stderr, e.AsString());
    }
  }
  KB::SetBreatheHook(nullptr, nullptr);
  gHost = nullptr;
  return 0;
}
