// tarq_helpdata: computes what the help knows only by running the
// interpreter (each operator's form states, every worked example's result)
// and writes it as C++ (TarqHelpData.h) for the library. Forms are probed
// and examples run in child processes, so no form or example can disturb
// the others or crash the build.
// Usage: tarq_helpdata OUTPUT.cpp
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "KArg.h"
#include "KNS.h"
#include "KOps.h"
#include "KParser.h"
#include "KSeq.h"
#include "Kerror.h"
#include "LanguageHelp.h"
#include "TarqExample.h"
#include "TarqHelp.h"

using TarqHelp::Form;
using TarqHelp::OpStatus;

namespace {

std::map<int, OpStatus>& Cache() {
  static std::map<int, OpStatus> cache;
  return cache;
}

using TarqExample::ScratchChain;

int FindOperator(const std::string& name) {
  KOps::TblInit();
  if (name.empty()) return -1;
  int i = KOps::OpIdxGet(name.c_str());
  if (i < 0 && name[0] != '#') i = KOps::OpIdxGet(("#" + name).c_str());
  return i;
}

// A form the notes give a state of its own (not implemented by design, done
// by the evaluator) is not pending whatever the probe found.
bool AnyPending(int index) {
  OpStatus s = Cache()[index];
  const std::string symbol = KOps::fOpsTbl[index].symbol;
  for (auto [valence, form] : {std::pair<char, Form*>{'N', &s.niladic}, {'M', &s.monadic}, {'D', &s.dyadic}}) {
    for (int i = 0; i < TarqLang::kFormNoteCount; ++i) {
      const TarqLang::FormNote& n = TarqLang::kFormNotes[i];
      if (n.valence == valence && symbol == n.symbol && n.state != TarqLang::FormState::asProbed) *form = Form::built;
    }
  }
  return s.niladic == Form::pending || s.monadic == Form::pending || s.dyadic == Form::pending;
}

bool RaisesPendingFor(const KError& e, const char* symbol) {
  std::string prefix = std::string(symbol) + ":";
  return e.code == KT::eNotImpl && e.message.compare(0, prefix.size(), prefix) == 0;
}

// Calls one form on empty arguments; pending when it raises error 6 with
// the operator's own symbol.
template <class Call>
Form ProbeForm(bool present, const char* symbol, Call call) {
  if (!present) return Form::absent;
  try {
    call();
  } catch (KError& e) {
    return RaisesPendingFor(e, symbol) ? Form::pending : Form::built;
  } catch (...) {
  }
  return Form::built;
}

// Runs in the child: one status byte per form, three per operator.
void ProbeInChild(const std::vector<int>& indices, size_t from, int fd) {
  ScratchChain scratch;
  KParser parser(scratch.get(), "help");
  for (size_t k = from; k < indices.size(); ++k) {
    const KOps::KOpRec& r = KOps::fOpsTbl[indices[k]];
    char out[3];
    out[0] = static_cast<char>(ProbeForm(r.fnN != &KOps::opErrN, r.symbol, [&] { KA a; r.fnN(a); }));
    out[1] = static_cast<char>(ProbeForm(r.fnM != &KOps::opErrM, r.symbol, [&] { KA a; r.fnM(a); }));
    out[2] = static_cast<char>(ProbeForm(r.fnD != &KOps::opErrD, r.symbol, [&] { KA a, b; r.fnD(a, b); }));
    if (write(fd, out, 3) != 3) _exit(1);
  }
}

// What a child process sent back, and whether it ended normally.
struct ChildOutput {
  std::string bytes;
  bool finished = false;
};

// Forks a child that runs `work` (which writes to the descriptor it is
// given) with its standard streams on /dev/null and ten seconds to live.
// Whatever the child does, the caller's state (its namespace, random seed,
// collation, open objects) stays untouched, and a crash or hang ends only
// the child.
ChildOutput InChild(const std::function<void(int)>& work) {
  ChildOutput result;
  int fds[2];
  if (pipe(fds) != 0) return result;
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    signal(SIGALRM, SIG_DFL);
    alarm(10);
    work(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  char buf[4096];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) {
      result.bytes.append(buf, static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) _exit(1);
    done += static_cast<size_t>(n);
  }
}

// Probes indices[from..] in a child; returns the status bytes it sent before
// it ended (fewer than asked when a form crashed or hung).
std::string ProbeChild(const std::vector<int>& indices, size_t from) {
  return InChild([&](int fd) { ProbeInChild(indices, from, fd); }).bytes;
}

Form FromByte(char c) {
  return c == 'a' ? Form::absent : c == 'p' ? Form::pending : Form::built;
}

void Probe(const std::vector<int>& todo) {
  size_t from = 0;
  while (from < todo.size()) {
    std::string got = ProbeChild(todo, from);
    size_t whole = got.size() / 3;
    for (size_t k = 0; k < whole; ++k) {
      OpStatus& s = Cache()[todo[from + k]];
      s.niladic = FromByte(got[3 * k]);
      s.monadic = FromByte(got[3 * k + 1]);
      s.dyadic = FromByte(got[3 * k + 2]);
    }
    from += whole;
    if (from < todo.size()) {
      // The child ended inside this operator: a form that crashes or hangs on
      // empty arguments is at least not a pending one.
      const KOps::KOpRec& r = KOps::fOpsTbl[todo[from]];
      OpStatus& s = Cache()[todo[from]];
      s.niladic = r.fnN != &KOps::opErrN ? Form::built : Form::absent;
      s.monadic = r.fnM != &KOps::opErrM ? Form::built : Form::absent;
      s.dyadic = r.fnD != &KOps::opErrD ? Form::built : Form::absent;
      ++from;
    }
  }
}

bool NamesPendingOperator(const std::string& detail) {
  int i = FindOperator(detail);
  return i >= 0 && AnyPending(i);
}

// Runs the text in this process.
std::string RunExampleHere(const std::string& text) { return TarqExample::Run(text, NamesPendingOperator); }


std::string RunExample(const std::string& text) {
  ChildOutput out = InChild([&](int fd) { WriteAll(fd, RunExampleHere(text)); });
  return out.finished ? out.bytes : "Error: the example did not finish";
}

// A C++ string literal of Windows-1252 bytes.
std::string Literal(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || c == '?') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

char Byte(Form f) { return f == Form::absent ? 'a' : f == Form::pending ? 'p' : 'b'; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarq_helpdata OUTPUT.cpp\n");
    return 2;
  }
  KOps::TblInit();
  // Declaration order, as the help lists them.
  std::vector<int> order(KOps::nOps);
  for (int i = 0; i < KOps::nOps; ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [](int a, int b) { return KOps::fOpsTbl[a].id < KOps::fOpsTbl[b].id; });
  Probe(order);
  std::string out =
      "// Generated when the library is built (tools/helpdata.cpp): do not edit.\n"
      "#include \"TarqHelpData.h\"\n\nnamespace TarqHelp::Data {\n\nconst OpState kOpStates[] = {\n";
  for (int i : order) {
    const OpStatus& s = Cache()[i];
    out += "    {" + Literal(KOps::fOpsTbl[i].symbol) + ", {'" + Byte(s.niladic) + "', '" + Byte(s.monadic) + "', '" +
           Byte(s.dyadic) + "', 0}},\n";
  }
  out += "};\nconst int kOpStateCount = " + std::to_string(order.size()) + ";\n\nconst char* const kExampleResults[] = {\n";
  for (int k = 0; k < TarqHelp::kExampleCount; ++k) out += "    " + Literal(RunExample(TarqHelp::kExamples[k].text)) + ",\n";
  out += "};\nconst int kExampleResultCount = " + std::to_string(TarqHelp::kExampleCount) + ";\n";
  auto words = [&](const char* name, const TarqLang::Keyword* list, int n) {
    out += std::string("\nconst char* const ") + name + "[] = {\n";
    for (int k = 0; k < n; ++k) out += "    " + (list[k].example ? Literal(RunExample(list[k].example)) : std::string("nullptr")) + ",\n";
    out += "    nullptr};\nconst int " + std::string(name).insert(0, "").replace(std::string(name).size() - 7, 7, "ResultCount") + " = " + std::to_string(n) + ";\n";
  };
  words("kControlWordResults", TarqLang::kControlWords, TarqLang::kControlWordCount);
  words("kDirectiveResults", TarqLang::kDirectives, TarqLang::kDirectiveCount);
  out += "\n}  // namespace TarqHelp::Data\n";
  std::ofstream f(argv[1], std::ios::binary | std::ios::trunc);
  f << out;
  f.close();
  if (!f) {
    std::fprintf(stderr, "tarq_helpdata: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
