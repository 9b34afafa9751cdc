// KSession: runs Tarq texts for a host (see KSession.h).
#include "KSession.h"

#include <cctype>
#include <new>

#include "KArg.h"
#include "KNS.h"
#include "KOps.h"
#include "KParser.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"

const char* const KSession::kOutOfMemoryText = "System error:Out of memory";
const char* const KSession::kUnknownText = "Unknown Error";

KSession::KSession() : chain_(new KSeq()), root_(new KNS()) { chain_->Append(root_, true); }

KSession::~KSession() {
  Forget();
  KB::ReleaseReachable(root_);  // frees values that hold each other too
  KB::DoneWith(chain_);
}

void KSession::Forget() {
  if (result_) {
    KB* v = result_;
    result_ = nullptr;
    KB::DoneWith(v);
  }
}

void KSession::SplitMessage(const std::string& message, std::string& detail, std::string& unit, int& line) {
  detail = message;
  unit.clear();
  line = 0;
  // "...:Unit/Name[123]" at the end.
  if (message.empty() || message.back() != ']') return;
  const size_t open = message.rfind('[');
  if (open == std::string::npos || open + 2 > message.size() - 1) return;
  int n = 0;
  for (size_t i = open + 1; i + 1 < message.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(message[i])) || n > 100000000) return;
    n = n * 10 + (message[i] - '0');
  }
  const size_t colon = message.rfind(':', open);
  if (colon == std::string::npos) return;
  const std::string name = message.substr(colon + 1, open - colon - 1);
  if (name.find('/') == std::string::npos || name.find(' ') != std::string::npos) return;
  detail = message.substr(0, colon);
  unit = name;
  line = n;
}

void KSession::FillError(KRunError& out, const KPErr& e) {
  out.code = e.code;
  out.codeName = KT::TypeErrorToName(e.code);
  SplitMessage(e.detail, out.detail, out.unit, out.unitLine);
  out.start = e.start;
  out.end = e.end;
  out.trail = e.trail;
  out.text = e.text;
}

KRunOutcome KSession::Run(const std::string& text) {
  KRunOutcome outcome;
  if (busy_) {
    outcome.error.code = KT::eSystem;
    outcome.error.unknown = true;
    return outcome;
  }
  struct Guard {
    KSession* s;
    explicit Guard(KSession* session) : s(session) {
      s->busy_ = true;
      if (s->breathe_) KB::SetBreatheHook(s->breathe_, s->breatheCtx_);
    }
    ~Guard() {
      if (s->breathe_) KB::SetBreatheHook(nullptr, nullptr);
      s->busy_ = false;
    }
  } guard(this);
  Forget();
  stop = false;
  // Allocation failures anywhere in a run, including while its error is
  // being put together, end the run with error 10.
  try {
    KParser p(chain_, "root");
    p.fpTraceSwSet(&trace);
    p.fpParseSwSet(&parse);
    p.fpVerboseSwSet(&verbose);
    p.fpCommentsSwSet(&comments);
    p.fpStopSwSet(&stop);
    p.fpOutSet(sink_);
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      if (echoResult && sink_) {
        if (!resultHeader.empty()) sink_->AppendLine(resultHeader);
        sink_->AppendValue(result.value, verbose);
      }
      if (keepResult) {
        result_ = result.value;
        result_->Reference(true);
      }
      outcome.ok = true;
      return outcome;
    } catch (KPErr& e) {
      FillError(outcome.error, e);
    } catch (KError& e) {
      FillError(outcome.error, KPErr("DoIt:", e.code, p.PParser(), e.message));
    } catch (std::bad_alloc&) {
      // The result's text form did not fit in memory; what it used is free
      // again, so the error can be reported and the session goes on.
      FillError(outcome.error, KPErr("DoIt:", KT::eSystem, p.PParser(), "Out of memory"));
    } catch (...) {
      // Anything else (a library or hook failure) is reported and the
      // session goes on.
      outcome.error = KRunError();
      outcome.error.unknown = true;
      outcome.error.text = kUnknownText;
    }
  } catch (std::bad_alloc&) {
    outcome.error = KRunError();
    outcome.error.code = KT::eSystem;
    outcome.error.outOfMemory = true;
  } catch (...) {
    outcome.error = KRunError();
    outcome.error.unknown = true;
  }
  Forget();
  return outcome;
}

std::vector<std::string> KSession::Names() const {
  std::vector<std::string> names;
  for (int i = 0; i < root_->Count(); ++i) {
    if (KString* key = root_->KeyPtr(i)) names.push_back(KB::TextOf(key));
  }
  return names;
}

std::string KSession::NamespaceText() { return root_->AsString(verbose); }

void KSession::ClearNamespace() {
  Forget();
  KB::ReleaseReachable(root_);
}

std::vector<std::string> KSession::Operators() {
  std::vector<std::string> lines;
  KSeq* chain = new KSeq();
  chain->Append(new KNS(), true);
  try {
    KParser p(chain, "Ops:");
    KA list;
    KOps::opOps(list);
    if (KSeq::IsSeq(list.value)) {
      KSeq* s = static_cast<KSeq*>(list.value);
      for (int i = 0; i < s->Count(); ++i) lines.push_back(KB::TextOf((*s)[i]));
    } else {
      lines.push_back(list.AsString(false));
    }
  } catch (...) {
    KB::DoneWith(chain);
    throw;
  }
  KB::DoneWith(chain);
  return lines;
}

namespace {
const char* const kUnknownField = "zzzzunknownfield";
}  // namespace

// The field listing of the value a sample text gives, on a scratch
// namespace (empty when the sample fails).
std::string KSession::FieldListingOfSample(const std::string& sample) {
  std::string out;
  KSeq* chain = new KSeq();
  chain->Append(new KNS(), true);
  {
    KParser p(chain, "fields");
    p.fCmdSet("(" + sample + ") :" + kUnknownField);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      out = result.AsString(false);
    } catch (...) {
    }
  }
  KB::ReleaseReachable((*chain)[0]);
  KB::DoneWith(chain);
  return out;
}

std::vector<std::string> KSession::FieldListings() {
  // One value of each kind a user meets, asked for a field none of them has.
  static const char* const kSamples[] = {"1", "1.5", "'a'", "(1 2)", "1 = 1", "0 #CLOCK", "#NS", "#SYS",
                                         "'p' #PGM {1}; p", ":x"};
  std::vector<std::string> out;
  for (const char* sample : kSamples) {
    std::string listing = FieldListingOfSample(sample);
    if (!listing.empty()) out.push_back(listing);
  }
  return out;
}

std::string KSession::FieldListingOfName(const std::string& name) const {
  KB* v = root_->ValPtr(name.c_str());
  if (!v) return std::string();
  try {
    KField f(kUnknownField);
    KA listing;
    listing.Owns(v->FieldGet(&f));  // asks the value itself: a program is not run
    return listing.AsString(false);
  } catch (...) {
    return std::string();
  }
}
