// TarqHelp: operator help, form probing and the generated reference.
#include "TarqHelp.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <cctype>
#include <map>
#include <regex>

#include "KArg.h"
#include "KNS.h"
#include "KOps.h"
#include "KParser.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "Kerror.h"

namespace TarqHelp {
namespace {

std::map<int, OpStatus>& Cache() {
  static std::map<int, OpStatus> cache;
  return cache;
}

void EnsureTable() { KOps ops; }

// A throw-away namespace chain for one probe or example.
class ScratchChain {
 public:
  ScratchChain() : chain_(new KSeq()) { chain_->Append(new KNS(), true); }
  ~ScratchChain() {
    KB::ReleaseReachable((*chain_)[0]);
    KB::DoneWith(chain_);
  }
  ScratchChain(const ScratchChain&) = delete;
  ScratchChain& operator=(const ScratchChain&) = delete;
  KSeq* get() const { return chain_; }

 private:
  KSeq* chain_;
};

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

// The run's error without its position block and without the source
// location the library appends (":Interpreter/KOps[15]").
std::string ErrorSummary(const std::string& text) {
  std::vector<std::string> lines;
  size_t a = 0;
  while (a <= text.size()) {
    size_t b = text.find_first_of("\r\n", a);
    if (b == std::string::npos) b = text.size();
    lines.push_back(text.substr(a, b - a));
    a = b + 1;
    if (b < text.size() && b + 1 < text.size() && text[b] == '\r' && text[b + 1] == '\n') ++a;
  }
  static const std::regex location(":[A-Za-z/]+\\[[0-9]+\\]$");
  std::string raw = lines.empty() ? std::string() : lines.back();
  std::string detail = std::regex_replace(raw, location, "");
  std::string name = lines.size() >= 2 ? lines[lines.size() - 2] : std::string();
  // Error 6 raised by the operator table with an operator's own symbol.
  if (name == KT::TypeErrorToName(KT::eNotImpl) && detail != raw && FindOperator(detail) >= 0)
    return "(not built yet)";
  return "Error: " + name + ": " + detail;
}

struct CollectSink : KOutSink {
  std::string text;
  void AppendLine(const std::string& line) override { text += line + "\n"; }
};

std::string WithLf(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      out += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string Indent(const std::string& text, const std::string& first, const std::string& rest) {
  std::string out = first;
  for (char c : text) {
    out += c;
    if (c == '\n') out += rest;
  }
  return out;
}

std::string Pad(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

std::string FormLine(const char* valence, Form f, const char* text) {
  if (f == Form::absent) return std::string();
  std::string desc = *text ? text : "(no description)";
  return "  " + Pad(valence, 9) + Pad(desc, 36) + (f == Form::built ? "built" : "not built yet") + "\n";
}

// A Markdown code span that holds any symbol (backquotes included).
std::string CodeSpan(const std::string& s) {
  if (s.find('`') == std::string::npos) return "`" + s + "`";
  return "`` " + s + " ``";
}

}  // namespace

int FindOperator(const std::string& name) {
  EnsureTable();
  if (name.empty()) return -1;
  int i = KOps::OpIdxGet(name.c_str());
  if (i < 0 && name[0] != '#') i = KOps::OpIdxGet(("#" + name).c_str());
  return i;
}

std::vector<int> OperatorsInOrder() {
  EnsureTable();
  std::vector<int> order(KOps::nOps);
  for (int i = 0; i < KOps::nOps; ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [](int a, int b) { return KOps::fOpsTbl[a].id < KOps::fOpsTbl[b].id; });
  return order;
}

const char* Symbol(int index) { return KOps::OpNameGet(index); }

const char* ExampleOf(const char* symbol) {
  for (int i = 0; i < kExampleCount; ++i)
    if (std::string(kExamples[i].symbol) == symbol) return kExamples[i].text;
  return nullptr;
}

void Probe(const std::vector<int>& indices) {
  EnsureTable();
  std::vector<int> todo;
  for (int i : indices)
    if (!Cache().count(i)) todo.push_back(i);
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

OpStatus Status(int index) {
  Probe({index});
  return Cache()[index];
}

bool AnyPending(int index) {
  OpStatus s = Status(index);
  return s.niladic == Form::pending || s.monadic == Form::pending || s.dyadic == Form::pending;
}

namespace {

// Runs the text in this process.
std::string RunExampleHere(const std::string& text) {
  ScratchChain scratch;
  CollectSink sink;
  std::string out;
  {
    KParser p(scratch.get(), "help");
    p.fpOutSet(&sink);
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      out = sink.text + WithLf(result.AsString(false));
    } catch (KPErr& e) {
      out = sink.text + ErrorSummary(e.AsString(false));
    } catch (KError& e) {
      out = sink.text + ErrorSummary(KT::TypeErrorToName(e.code) + std::string("\n") + e.message);
    }
  }
  return out;
}

}  // namespace

std::string RunExample(const std::string& text) {
  ChildOutput out = InChild([&](int fd) { WriteAll(fd, RunExampleHere(text)); });
  return out.finished ? out.bytes : "Error: the example did not finish";
}

std::string OperatorHelp(int index) {
  const KOps::KOpRec& r = KOps::fOpsTbl[index];
  OpStatus s = Status(index);
  std::string out = std::string("Operator ") + r.symbol + "\n";
  out += FormLine("niladic", s.niladic, r.txtN);
  out += FormLine("monadic", s.monadic, r.txtM);
  out += FormLine("dyadic", s.dyadic, r.txtD);
  if (const char* ex = ExampleOf(r.symbol)) {
    out += std::string("Example: ") + ex + "\n";
    out += Indent(RunExample(ex), "Result:  ", "         ");
  } else {
    out += "No example yet.";
  }
  return out;
}

std::string OperatorTexts(int index) {
  const KOps::KOpRec& r = KOps::fOpsTbl[index];
  return std::string(r.txtN) + "\n" + r.txtM + "\n" + r.txtD;
}

std::string Topics() {
  return "Help topics:\n"
         "  )help commands    the ) commands of tarqsh\n"
         "  )help operators   every operator symbol\n"
         "  )help OP          one operator: its forms, which are built, and an example\n"
         "                    (for instance  )help +   )help #COS   )help COS)\n"
         "Tab completes names, #operators, fields after \":\" and ) commands.";
}

std::string OperatorNames() {
  std::string out = "Operators (type )help OP for one of them):";
  int n = 0;
  for (int i : OperatorsInOrder()) {
    out += (n++ % 12 == 0) ? "\n  " : " ";
    out += Symbol(i);
  }
  return out;
}

std::string Reference() {
  std::vector<int> order = OperatorsInOrder();
  Probe(order);
  std::string out =
      "# Tarq operator reference\n\n"
      "Generated from the operator table by `tarqsh --reference` (build target `operators_doc`); do not edit by\n"
      "hand. Each section is what `)help OP` prints in `tarqsh` and the Ops list shows in the desktop program:\n"
      "every form of the operator with its description, whether it is built yet, and a worked example with the\n"
      "result it gives (computed by running it).\n";
  for (int i : order) {
    out += "\n## " + CodeSpan(Symbol(i)) + "\n\n```text\n" + KPlat::Cp1252ToUtf8(OperatorHelp(i)) + "\n```\n";
  }
  return out;
}

}  // namespace TarqHelp
