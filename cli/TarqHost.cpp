// TarqHost: runs Tarq texts for the command-line host.
#include "TarqHost.h"

#include "KArg.h"
#include "KNS.h"
#include "KOps.h"
#include "KParser.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "Kerror.h"

namespace {

// Prints every line the interpreter appends, as it is appended.
struct StdoutSink : KOutSink {
  void AppendLine(const std::string& line) override { TarqHost::PrintLine(stdout, line); }
};

}  // namespace

TarqHost::TarqHost() : chain_(new KSeq()), root_(new KNS()) {
  chain_->Append(root_, true);
}

TarqHost::~TarqHost() {
  KB::ReleaseReachable(root_);  // frees values that hold each other too
  KB::DoneWith(chain_);
}

std::string TarqHost::FromUtf8(const std::string& s) { return KPlat::Utf8ToCp1252(s); }

std::string TarqHost::ScriptText(const std::string& bytes) {
  return KPlat::IsValidUtf8(bytes) ? KPlat::Utf8ToCp1252(bytes) : bytes;
}

std::string TarqHost::ToTerminal(const std::string& s) {
  std::string lf;
  lf.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      lf += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      lf += s[i];
    }
  }
  return KPlat::Cp1252ToUtf8(lf);
}

void TarqHost::PrintLine(std::FILE* f, const std::string& line) {
  std::string t = ToTerminal(line);
  t += '\n';
  std::fwrite(t.data(), 1, t.size(), f);
  if (f == stderr) std::fflush(f);
}

bool TarqHost::Run(const std::string& text) {
  stop = false;
  StdoutSink sink;
  KParser p(chain_, "root");
  p.fpTraceSwSet(&trace);
  p.fpParseSwSet(&parse);
  p.fpVerboseSwSet(&verbose);
  p.fpCommentsSwSet(&comments);
  p.fpStopSwSet(&stop);
  p.fpOutSet(&sink);
  p.fCmdSet(text);
  try {
    KA result;
    KT::KTT last = KT::ttUnknown;
    p.Exec(result, last, nullptr);
    bool* v = p.fpVerboseSwGet();
    PrintLine(stdout, result.AsString(v && *v));
    std::fflush(stdout);
    return true;
  } catch (KPErr& e) {
    std::fflush(stdout);
    PrintLine(stderr, e.AsString(false));
  } catch (KError& e) {
    std::fflush(stdout);
    KPErr wrapped("DoIt:", e.code, p.PParser(), e.message);
    PrintLine(stderr, wrapped.AsString(false));
  }
  return false;
}

std::string TarqHost::NamespaceText() { return root_->AsString(verbose); }

void TarqHost::ClearNamespace() { KB::ReleaseReachable(root_); }

void TarqHost::PrintOperators() {
  KSeq* chain = new KSeq();
  chain->Append(new KNS(), true);
  {
    KParser p(chain, "Ops:");
    KA list;
    KOps::opOps(list);
    if (KSeq::IsSeq(list.value)) {
      KSeq* s = static_cast<KSeq*>(list.value);
      for (int i = 0; i < s->Count(); ++i) PrintLine(stdout, KB::TextOf((*s)[i]));
    } else {
      PrintLine(stdout, list.AsString(false));
    }
  }
  KB::DoneWith(chain);
  std::fflush(stdout);
}
