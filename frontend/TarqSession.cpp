// TarqSession: runs Tarq text for the desktop program (see TarqSession.h).
#include "TarqSession.h"

#include <new>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <exception>

#include "KArg.h"
#include "KNS.h"
#include "KOps.h"
#include "KPlatform.h"
#include "TarqText.h"
#include "KSeq.h"
#include "Kerror.h"

namespace {

// Runs never nest, not even across two main windows: the break hook and the
// interpreter's process-wide state belong to one run at a time.
bool gRunning = false;

// How often a long run lets the window process its events (milliseconds).
constexpr qint64 kBreathInterval = 15;

// The fixed text that lists the script files, one name per line. It names
// the folder exactly as the scripts are saved: file names are case-sensitive.
const char* const kScriptListText = "'TARQScripts'#fc :files @&(:name)>>> ,,\\";

// A throw-away namespace chain for the operator listing and the file list.
KSeq* NewChain() {
  KSeq* chain = new KSeq();
  chain->Append(new KNS(), true);
  return chain;
}

}  // namespace

// ------------------------------------------------------------------ sink

TarqPaneSink::TarqPaneSink(QPlainTextEdit* pane) : fPane(pane) {
  QObject::connect(pane->document(), &QTextDocument::contentsChanged, pane, [this] {
    if (!fAppending) fEmptyLine = false;
  });
}

void TarqPaneSink::Append(const QString& line) {
  fAppending = true;
  bool empty = fPane->document()->isEmpty();
  fPane->appendPlainText(empty && fEmptyLine ? QLatin1String("\n") + line : line);
  fEmptyLine = empty && line.isEmpty() && !fEmptyLine;
  fAppending = false;
}

void TarqPaneSink::AppendLine(const std::string& line) { Append(TarqSession::FromTarq(line)); }

// ------------------------------------------------------------------ text

std::string TarqSession::ToTarq(const QString& text) {
  QString t = text;
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QChar('\r'), QChar('\n'));
  t.replace(QChar::ParagraphSeparator, QChar('\n'));
  t.replace(QChar::LineSeparator, QChar('\n'));
  t.replace(QChar('\n'), QLatin1String("\r\n"));
  QByteArray utf8 = t.toUtf8();
  return KPlat::Utf8ToCp1252(std::string(utf8.constData(), size_t(utf8.size())));
}

QString TarqSession::FromTarq(const std::string& text) {
  std::string utf8 = KPlat::Cp1252ToUtf8(text);
  QString t = QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QLatin1String("\n\r"), QLatin1String("\n"));
  t.replace(QChar('\r'), QChar('\n'));
  return t;
}

QString TarqSession::FromFileBytes(const std::string& raw) {
  static const std::string kBom = "\xEF\xBB\xBF";
  const std::string bytes = raw.compare(0, kBom.size(), kBom) == 0 ? raw.substr(kBom.size()) : raw;
  std::string utf8 = KPlat::IsValidUtf8(bytes) ? bytes : KPlat::Cp1252ToUtf8(bytes);
  QString t = QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QChar('\r'), QChar('\n'));
  return t;
}

// ------------------------------------------------------------------ session

TarqSession::TarqSession(QPlainTextEdit* out, QObject* parent)
    : QObject(parent), fOut(out), fSink(out), fChain(fSession.Chain()) {}

// The session releases the root namespace and the chain.
TarqSession::~TarqSession() = default;

void TarqSession::ClearOutput() { fOut->clear(); }

void TarqSession::Append(const QString& line) { fSink.Append(line); }

void TarqSession::AppendTarq(const std::string& text) { fSink.AppendLine(text); }

void TarqSession::SetBusy(bool busy) {
  if (fBusy == busy) return;
  fBusy = busy;
  emit busyChanged(busy);
}

void TarqSession::BreatheHook(void* ctx) {
  auto* timer = static_cast<QElapsedTimer*>(ctx);
  if (timer->elapsed() < kBreathInterval) return;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  timer->restart();
}

namespace {
// What the session's breath needs: the window's clock, the session and the
// stop flag of the run.
struct SessionBreath {
  QElapsedTimer timer;
  KSession* session;
  bool* stop;
};
}  // namespace

void TarqSession::SessionBreathe(void* ctx) {
  auto* b = static_cast<SessionBreath*>(ctx);
  BreatheHook(&b->timer);
  if (b->stop && *b->stop) b->session->stop = true;
}

bool TarqSession::RunInSession(const std::string& text, const TarqRunSpec& spec) {
  if (gRunning) return false;
  struct Guard {
    TarqSession* session;
    explicit Guard(TarqSession* s) : session(s) {
      gRunning = true;
      session->SetBusy(true);
    }
    ~Guard() {
      session->fSession.SetBreathe(nullptr, nullptr);
      session->fSession.SetSink(nullptr);
      gRunning = false;
      session->SetBusy(false);
    }
  } guard(this);

  SessionBreath breath{QElapsedTimer(), &fSession, spec.stop};
  breath.timer.start();
  fSession.SetBreathe(&TarqSession::SessionBreathe, &breath);
  fSession.SetSink(&fSink);
  if (spec.stop) *spec.stop = false;
  fLastError.clear();
  // Switches not handed over read as off, and what the text does to them is
  // not kept; the others come back as the text left them.
  auto in = [](bool* sw) { return sw && *sw; };
  fSession.trace = in(spec.trace);
  fSession.parse = in(spec.parse);
  fSession.verbose = in(spec.verbose);
  fSession.comments = in(spec.comments);
  fSession.echoResult = true;
  try {
    fSession.resultHeader = spec.resultLine ? "Result:" : "";
    if (spec.clearFirst) fOut->clear();
    if (!fWarning.empty()) {
      Append(QString::fromStdString(fWarning));
      fWarning.clear();
    }
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();
    return false;
  }
  KRunOutcome outcome = fSession.Run(text);
  auto out = [](bool* sw, bool value) {
    if (sw) *sw = value;
  };
  out(spec.trace, fSession.trace);
  out(spec.parse, fSession.parse);
  out(spec.verbose, fSession.verbose);
  out(spec.comments, fSession.comments);
  if (outcome.ok) return true;
  const KRunError& e = outcome.error;
  try {
    if (e.unknown) {
      // An exception must not cross the event loop: report it and go on.
      Append(QString::fromLatin1(spec.unknownText));
    } else if (e.outOfMemory) {
      ReportOutOfMemory();
    } else {
      ReportError(e.text);
    }
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();
  }
  return false;
}

bool TarqSession::Exec(KSeq* chain, const std::string& text, const TarqRunSpec& spec,
                       std::string* result) {
  if (gRunning) return false;

  // Run guard: busy state, the break hook and its clock, undone on every exit.
  QElapsedTimer breath;
  struct Guard {
    TarqSession* session;
    Guard(TarqSession* s, QElapsedTimer* t) : session(s) {
      gRunning = true;
      session->SetBusy(true);
      t->start();
      KB::SetBreatheHook(&TarqSession::BreatheHook, t);
    }
    ~Guard() {
      KB::SetBreatheHook(nullptr, nullptr);
      gRunning = false;
      session->SetBusy(false);
    }
  } guard(this, &breath);

  if (spec.stop) *spec.stop = false;
  fLastError.clear();
  try {
    KParser parser(chain, spec.name);
    if (spec.clearFirst) fOut->clear();
    if (!fWarning.empty()) {
      Append(QString::fromStdString(fWarning));
      fWarning.clear();
    }
    if (spec.trace) parser.fpTraceSwSet(spec.trace);
    if (spec.parse) parser.fpParseSwSet(spec.parse);
    if (spec.verbose) parser.fpVerboseSwSet(spec.verbose);
    if (spec.comments) parser.fpCommentsSwSet(spec.comments);
    if (spec.stop) parser.fpStopSwSet(spec.stop);
    if (!result) parser.fpOutSet(&fSink);
    parser.fCmdSet(text);
    try {
      KA value;
      KT::KTT last = KT::ttUnknown;
      parser.Exec(value, last, nullptr);
      // The verbose switch may have been turned on or off by the text itself.
      bool verbose = spec.verbose && KT::SwRead(parser.fpVerboseSwGet());
      if (result) {
        *result = value.AsString(false);
        return true;
      }
      if (spec.resultLine) AppendTarq("Result:");
      fSink.AppendValue(value.value, verbose);
      return true;
    } catch (KPErr& e) {
      ReportError(e.AsString(false));
    } catch (KError& e) {
      KPErr wrapped(spec.wrapName, e.code, parser.PParser(), e.message);
      ReportError(wrapped.AsString(false));
    } catch (std::bad_alloc&) {
      // The result's text form did not fit in memory; the session goes on.
      KPErr wrapped(spec.wrapName, KT::eSystem, parser.PParser(), "Out of memory");
      ReportError(wrapped.AsString(false));
    }
  } catch (KPErr& e) {
    ReportError(e.AsString(false));
  } catch (KError& e) {
    ReportError(e.AsString());
  } catch (std::bad_alloc&) {
    // Out of memory where no position is known (or while reporting).
    ReportOutOfMemory();
  } catch (...) {
    // An exception must not cross the event loop: report it and go on.
    Append(QString::fromLatin1(spec.unknownText));
  }
  return false;
}

void TarqSession::ReportOutOfMemory() {
  try {
    ReportError(KError(KT::eSystem, "Out of memory").AsString());
  } catch (...) {
    // not even the message fits: the run ends without one
  }
}

void TarqSession::ReportError(const std::string& text) {
  fLastError = FromTarq(text);
  AppendTarq(text);
  // The write fence's refusal is the system's text; the rule as it reads on
  // Linux goes under it.
  std::string note = TarqText::FenceNote(text);
  if (!note.empty()) AppendTarq(note);
}

bool TarqSession::Run(const QString& text, const TarqRunSpec& spec) {
  if (gRunning) return false;
  TarqText::Decoded d;
  try {
    d = Decode(text);
  } catch (std::bad_alloc&) {
    // The text does not fit in the memory left in its interpreter form.
    if (spec.clearFirst) fOut->clear();
    ReportOutOfMemory();
    return true;
  }
  if (d.invalid) {
    // Nothing runs: the text has a character the interpreter cannot hold.
    if (spec.clearFirst) fOut->clear();
    ReportError(d.error);
    return true;
  }
  if (d.replaced) fWarning = TarqText::kReplacedWarning;
  RunInSession(d.text, spec);
  return true;
}

TarqText::Decoded TarqSession::Decode(const QString& text) {
  QString t = text;
  t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  t.replace(QChar('\r'), QChar('\n'));
  t.replace(QChar::ParagraphSeparator, QChar('\n'));
  t.replace(QChar::LineSeparator, QChar('\n'));
  t.replace(QChar('\n'), QLatin1String("\r\n"));
  QByteArray utf8 = t.toUtf8();
  return TarqText::FromUtf8(std::string(utf8.constData(), size_t(utf8.size())));
}

void TarqSession::ShowNamespace(bool verbose) {
  if (gRunning) return;
  try {
    if (KB* root = fChain->Last()) AppendTarq(root->AsString(verbose));
  } catch (KError& e) {
    AppendTarq(e.AsString());
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();
  }
}

bool TarqSession::HasNames() const {
  KB* root = fChain ? fChain->Last() : nullptr;
  return root && root->Count() > 0;
}

void TarqSession::ClearNamespace() {
  if (gRunning) return;
  fSession.ClearNamespace();
}

void TarqSession::ShowOperators() {
  if (gRunning) return;
  KSeq* chain = nullptr;
  try {
    chain = NewChain();
    KParser parser(chain, "Ops:");
    KA list(&parser);
    KOps::opOps(list);
    if (list.Is(KT::tSeq) || list.Is(KT::tSeqEa)) {
      KSeq* seq = list.As<KSeq>();
      for (int i = 0; i < seq->Count(); ++i) AppendTarq((*seq)[i]->AsString(false));
    } else {
      AppendTarq(list.AsString(false));
    }
  } catch (KPErr& e) {
    AppendTarq(e.AsString(false));
  } catch (KError& e) {
    AppendTarq(e.AsString());
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();
  }
  KB::DoneWith(chain);
}

bool TarqSession::ScriptNames(QStringList& names) {
  if (gRunning) return false;
  TarqRunSpec spec;
  spec.name = "files:";
  spec.wrapName = "File List:";
  spec.unknownText = "cbxScriptHistoryDropDown:Unknown Error";
  try {
    KSeq* chain = NewChain();
    std::string text;
    bool ok = Exec(chain, kScriptListText, spec, &text);
    KB::DoneWith(chain);
    if (!ok) return false;
    QStringList found;
    for (const QString& line : FromTarq(text).split(QChar('\n'))) {
      if (!line.isEmpty()) found.append(line);
    }
    names.swap(found);
    return true;
  } catch (std::bad_alloc&) {
    ReportOutOfMemory();
  }
  return false;
}
