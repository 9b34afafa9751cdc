// TarqHost: runs Tarq texts for the command-line host.
#include "TarqHost.h"

#include <cerrno>
#include <new>

#include "KParser.h"
#include "KPlatform.h"
#include "KRB.h"
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

TarqHost::TarqHost() = default;

TarqHost::~TarqHost() = default;

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

bool TarqHost::Run(const std::string& text) {
  StdoutSink sink;
  session.SetSink(&sink);
  KRunOutcome outcome = session.Run(text);
  session.SetSink(nullptr);
  if (outcome.ok) return true;
  std::fflush(stdout);
  const KRunError& e = outcome.error;
  if (e.outOfMemory) {
    ReportOutOfMemory();
  } else if (e.unknown) {
    std::fputs("Unknown Error\n", stderr);
  } else {
    try {
      PrintError(e.text);
    } catch (std::bad_alloc&) {
      ReportOutOfMemory();
    }
  }
  return false;
}

bool TarqHost::SetDictSync(const std::string& mode) {
  if (mode != "full" && mode != "none") return false;
  KRB::SetDurable(mode == "full");
  return true;
}

std::string TarqHost::NamespaceText() { return session.NamespaceText(); }

void TarqHost::ClearNamespace() { session.ClearNamespace(); }

void TarqHost::PrintOperators() {
  for (const std::string& line : KSession::Operators()) PrintLine(stdout, line);
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
  for (const std::string& name : session.Names()) names.push_back(KPlat::Cp1252ToUtf8(name));
  return names;
}

std::vector<std::string> TarqHost::FieldListings() { return KSession::FieldListings(); }

std::string TarqHost::FieldListingOfName(const std::string& name) { return session.FieldListingOfName(name); }

std::string TarqHost::FieldListingOfSample(const std::string& sample) {
  return KSession::FieldListingOfSample(sample);
}
