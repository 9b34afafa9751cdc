// TarqSession: the desktop program's side of the interpreter boundary. Its
// library session (KSession) keeps the root namespace and the namespace
// chain for the life of the main window and runs each text; this class
// prints results and errors into the output pane. Both the main window and the command panes
// run through it, so there is one place that converts text (widgets are
// Unicode, the interpreter Windows-1252), one run guard and one stop hook.
#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <string>

#include "KParser.h"
#include "KSession.h"
#include "TarqText.h"

class QPlainTextEdit;
class KSeq;

// The output pane as the interpreter's sink: every line is converted to
// UTF-8 and its CR LF (or lone CR / LF) line ends become line breaks.
// The pane is a list of lines: appending an empty line to an empty pane
// leaves a line the document cannot tell from no line, so the sink remembers
// it until the pane changes from elsewhere (a clear, an edit).
class TarqPaneSink : public KOutSink {
 public:
  explicit TarqPaneSink(QPlainTextEdit* pane);
  void AppendLine(const std::string& line) override;
  void Append(const QString& line);

 private:
  QPlainTextEdit* fPane;
  bool fAppending = false;
  bool fEmptyLine = false;  // the empty pane holds one empty line of ours
};

// One run's settings. Switch pointers left null are not handed to the
// interpreter (it then reads them as off). `clearFirst` clears the output
// pane once the interpreter is built. `resultLine` prints "Result:"
// before the result; `name` is the interpreter's name for the run;
// `wrapName` names the KPErr that wraps a plain KError;
// `unknownText` is printed for any other exception.
struct TarqRunSpec {
  bool* trace = nullptr;
  bool* parse = nullptr;
  bool* verbose = nullptr;
  bool* comments = nullptr;
  bool* stop = nullptr;
  bool clearFirst = false;
  bool resultLine = true;
  const char* name = "root";
  const char* wrapName = "DoIt:";
  const char* unknownText = "Unknown Error";
};

class TarqSession : public QObject {
  Q_OBJECT

 public:
  // `out` is the output pane (the sink of every run); it must outlive the session.
  explicit TarqSession(QPlainTextEdit* out, QObject* parent = nullptr);
  // Clears the root namespace and lets go of the chain.
  ~TarqSession() override;

  KSeq* Chain() const { return fChain; }
  // True while a run is in progress (runs are never nested).
  bool Busy() const { return fBusy; }

  // Runs `text` and prints the result or the error. Returns false without
  // doing anything when another run is in progress.
  bool Run(const QString& text, const TarqRunSpec& spec);
  // The next three do nothing while a run is in progress.
  // Appends the root namespace's text form.
  void ShowNamespace(bool verbose);
  // Removes every name from the root namespace.
  void ClearNamespace();
  // True when the root namespace holds any name.
  bool HasNames() const;
  // Appends the operator listing, one operator per line.
  void ShowOperators();
  // Runs the fixed script-file listing; on success fills `names` with one
  // name per line and returns true, otherwise prints the error.
  bool ScriptNames(QStringList& names);

  // The text of the last run's error (empty after a run without one).
  QString LastError() const { return fLastError; }
  // Clears the output pane.
  void ClearOutput();
  // Appends a line (Unicode) to the output pane.
  void Append(const QString& line);
  // Appends interpreter text (Windows-1252, CR LF line ends).
  void AppendTarq(const std::string& text);

  // Widget text -> interpreter text (line breaks become CR LF).
  static std::string ToTarq(const QString& text);
  // Interpreter text -> widget text (CR LF, CR and LF become "\n").
  static QString FromTarq(const std::string& text);
  // Script-file bytes -> widget text: UTF-8 when valid, else Windows-1252.
  // A leading UTF-8 byte-order mark is dropped.
  static QString FromFileBytes(const std::string& bytes);

 signals:
  void busyChanged(bool busy);

 private:
  void SetBusy(bool busy);
  // Runs `text` over `chain` as `spec` says; prints errors with
  // `wrapName` / `unknownText`. Fills `result` with the non-verbose text
  // form when `result` is given, else prints the result as a Run does.
  bool Exec(KSeq* chain, const std::string& text, const TarqRunSpec& spec, std::string* result);
  // Runs `text` in the session as `spec` says and prints what it gives.
  bool RunInSession(const std::string& text, const TarqRunSpec& spec);
  static void BreatheHook(void* ctx);
  // The session's breath: the window's events, then the stop button's request.
  static void SessionBreathe(void* ctx);
  // Widget text -> interpreter text, with the boundary checks of TarqText.
  static TarqText::Decoded Decode(const QString& text);
  void ReportError(const std::string& text);
  // Error 10 "Out of memory", as far as memory allows.
  void ReportOutOfMemory();

  QPlainTextEdit* fOut;
  TarqPaneSink fSink;
  KSession fSession;
  KSeq* fChain = nullptr;  // the session's
  bool fBusy = false;
  QString fLastError;
  std::string fWarning;  // printed once the pane is cleared (characters became "?")
};
