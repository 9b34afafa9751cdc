// TarqExample: running worked examples (see TarqExample.h).
#include "TarqExample.h"

#include <regex>
#include <vector>

#include "KArg.h"
#include "KNS.h"
#include "KParser.h"
#include "Kerror.h"

namespace TarqExample {

ScratchChain::ScratchChain() : chain_(new KSeq()) { chain_->Append(new KNS(), true); }

ScratchChain::~ScratchChain() {
  KB::ReleaseReachable((*chain_)[0]);
  KB::DoneWith(chain_);
}

namespace {
// The run's error without its position block and without the source
// location the library appends (":Interpreter/KOps[15]").
std::string ErrorSummary(const std::string& text, PendingFn pending) {
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
  // (A form that raises 6 by design with its symbol is not "not built".)
  if (name == KT::TypeErrorToName(KT::eNotImpl) && detail != raw && pending(detail)) return "(not built yet)";
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
}  // namespace

std::string Run(const std::string& text, PendingFn pending) {
  ScratchChain scratch;
  CollectSink sink;
  std::string out;
  {
    KParser p(scratch.get(), "help");
    p.fpOutSet(&sink);
    // Switches of its own, so that the directives in an example ($T, $V)
    // show what they do.
    bool trace = false, parse = false, verbose = false, comments = false, stop = false;
    p.fpTraceSwSet(&trace);
    p.fpParseSwSet(&parse);
    p.fpVerboseSwSet(&verbose);
    p.fpCommentsSwSet(&comments);
    p.fpStopSwSet(&stop);
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      // A sequence's plain text runs its elements together ("1 23 4 5"):
      // its verbose form shows each element on a line of its own.
      bool nested = result.Is(KT::tSeq) || result.Is(KT::tSeqEa);
      out = sink.text + WithLf(result.AsString(nested || verbose));
    } catch (KPErr& e) {
      out = sink.text + ErrorSummary(e.AsString(false), pending);
    } catch (KError& e) {
      out = sink.text + ErrorSummary(KT::TypeErrorToName(e.code) + std::string("\n") + e.message, pending);
    }
  }
  return out;
}

}  // namespace TarqExample
