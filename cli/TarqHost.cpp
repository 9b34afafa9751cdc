// TarqHost: runs Tarq texts for the command-line host.
#include "TarqHost.h"

#include <cerrno>
#include <new>

#include "KArg.h"
#include "KNS.h"
#include "KOps.h"
#include "KParser.h"
#include "KRB.h"
#include "KRS.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"
#include "TarqText.h"

namespace {

// An error to standard error, with the Linux form of the write fence's rule
// under its refusal.
void PrintError(const std::string& text) {
  TarqHost::PrintLine(stderr, text);
  std::string note = TarqText::FenceNote(text);
  if (!note.empty()) TarqHost::PrintLine(stderr, note);
}

// Prints every line the interpreter appends, as it is appended; a line
// that comes in pieces is converted and written piece by piece.
struct StdoutSink : KOutSink {
  TarqHost::LineWriter writer{stdout};
  void AppendLine(const std::string& line) override { TarqHost::PrintLine(stdout, line); }
  void Write(const char* piece, size_t n) override { writer.Write(piece, n); }
  void EndLine() override { writer.End(); }
};

// The error of a run that ran out of memory where no position is known,
// written without allocating.
void ReportOutOfMemory() {
  std::fflush(stdout);
  std::fputs("System error:Out of memory\n", stderr);
}

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

namespace {
int gStdoutErrno = 0;
}

void TarqHost::PrintLine(std::FILE* f, const std::string& line) {
  LineWriter w(f);
  w.Write(line.data(), line.size());
  w.End();
}

// ToTerminal piece by piece: a CR becomes LF and swallows the LF after it,
// also when that LF starts the next piece.
void TarqHost::LineWriter::Write(const char* piece, size_t n) {
  constexpr size_t kChunk = 1 << 13;
  char lf[kChunk];
  while (n > 0) {
    size_t used = 0, take = 0;
    for (; take < n && used < kChunk; ++take) {
      const char c = piece[take];
      if (c == '\n' && afterCR_) {
        afterCR_ = false;
        continue;
      }
      afterCR_ = c == '\r';
      lf[used++] = afterCR_ ? '\n' : c;
    }
    Put(KPlat::Cp1252ToUtf8(std::string(lf, used)));
    piece += take;
    n -= take;
  }
}

void TarqHost::LineWriter::End() {
  Put("\n");
  afterCR_ = false;
  errno = 0;
  if (std::fflush(f_) != 0) Failed();
}

void TarqHost::LineWriter::Put(const std::string& bytes) {
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), f_) != bytes.size()) Failed();
}

void TarqHost::LineWriter::Failed() {
  if (f_ == stdout && gStdoutErrno == 0) gStdoutErrno = errno ? errno : EIO;
}

int TarqHost::StdoutError() {
  if (gStdoutErrno == 0 && (std::fflush(stdout) != 0 || std::ferror(stdout))) gStdoutErrno = errno ? errno : EIO;
  return gStdoutErrno;
}

// Allocation failures anywhere in a run, including while an error is being
// reported, end the run with error 10.
bool TarqHost::Run(const std::string& text) {
  try {
    return RunText(text);
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();
  } catch (...) {
    std::fflush(stdout);
    std::fputs("Unknown Error\n", stderr);
  }
  return false;
}

bool TarqHost::RunText(const std::string& text) {
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
    sink.AppendValue(result.value, v && *v);
    return true;
  } catch (KPErr& e) {
    std::fflush(stdout);
    PrintError(e.AsString(false));
  } catch (KError& e) {
    std::fflush(stdout);
    KPErr wrapped("DoIt:", e.code, p.PParser(), e.message);
    PrintError(wrapped.AsString(false));
  } catch (std::bad_alloc&) {
    // The result's text form did not fit in memory; what it used is free
    // again, so the error can be reported and the session goes on.
    std::fflush(stdout);
    KPErr wrapped("DoIt:", KT::eSystem, p.PParser(), "Out of memory");
    PrintLine(stderr, wrapped.AsString(false));
  } catch (...) {
    // Anything else (a library or hook failure) is reported as the desktop
    // program reports it, and the session goes on.
    std::fflush(stdout);
    PrintLine(stderr, "Unknown Error");
  }
  return false;
}

bool TarqHost::SetDictSync(const std::string& mode) {
  if (mode != "full" && mode != "none") return false;
  KRB::SetDurable(mode == "full");
  return true;
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

bool TarqHost::RunDecoded(const TarqText::Decoded& d) {
  if (d.invalid) {
    PrintLine(stderr, d.error);
    return false;
  }
  if (d.replaced) std::fprintf(stderr, "tarqsh: %s\n", TarqText::kReplacedWarning);
  return Run(d.text);
}

bool TarqHost::RunScript(const std::string& bytes) {
  try {
    return RunDecoded(TarqText::FromScriptBytes(bytes));
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();  // the text did not fit in the memory left
  }
  return false;
}

bool TarqHost::RunTyped(const std::string& utf8) {
  try {
    return RunDecoded(TarqText::FromUtf8(utf8));
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();
  }
  return false;
}

std::vector<std::string> TarqHost::Names() {
  std::vector<std::string> names;
  for (int i = 0; i < root_->Count(); ++i) {
    if (KString* key = root_->KeyPtr(i)) names.push_back(KPlat::Cp1252ToUtf8(KB::TextOf(key)));
  }
  return names;
}

namespace {
const char* const kUnknownField = "zzzzunknownfield";

// The field listing of the value a sample text gives, on a scratch
// namespace (empty when the sample fails).
std::string ListingOfSample(const std::string& sample) {
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
}  // namespace

std::vector<std::string> TarqHost::FieldListings() {
  // One value of each kind a user meets, asked for a field none of them has.
  static const char* const kSamples[] = {"1", "1.5", "'a'", "(1 2)", "1 = 1", "0 #CLOCK", "#NS", "#SYS",
                                         "'p' #PGM {1}; p", ":x"};
  std::vector<std::string> out;
  for (const char* sample : kSamples) {
    std::string listing = ListingOfSample(sample);
    if (!listing.empty()) out.push_back(listing);
  }
  return out;
}

std::string TarqHost::FieldListingOfName(const std::string& name) {
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

std::string TarqHost::FieldListingOfSample(const std::string& sample) { return ListingOfSample(sample); }
