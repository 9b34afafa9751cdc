// Tests for TarqMain: the main window driven through its real widgets on the
// offscreen platform. Every test runs in a fresh temporary directory (script
// files are relative to the current directory) with a fresh window.
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <memory>

#include "Tcf.h"
#include "TarqMain.h"

namespace {

// The output pane as a list of lines (none when it is empty).
QStringList Lines(QPlainTextEdit* pane) {
  const QString t = pane->toPlainText();
  return t.isEmpty() ? QStringList() : t.split(QChar('\n'));
}

bool AnyLineContains(const QStringList& lines, const QString& text) {
  for (const QString& l : lines) {
    if (l.contains(text)) return true;
  }
  return false;
}

// A script that keeps the interpreter busy for a good while unless it is
// stopped: many short statements. Timers of 0 ms fire at the run's first
// breath, so the tests do not depend on how fast the interpreter is.
QString LongScript() {
  QString s;
  s.reserve(2200000);
  for (int line = 0; line < 3000; ++line) {
    for (int i = 0; i < 100; ++i) s += QStringLiteral("1 + 2; ");
    s += QChar('\n');
  }
  return s;
}

QPoint PosIn(QWidget* w, QWidget* top) { return w->mapTo(top, QPoint(0, 0)); }

}  // namespace

class TestTarqMain : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void controlsCaptionsAndOrder();
  void runInputLineAndCodePane();
  void errorsArePrinted();
  void emptyCodePanePrintsEmptyResult();
  void autoClearOnAndOff();
  void verboseAndTextConversion();
  void namespaceSurvivesRunsAndClears();
  void commandPaneSharesNamespaceAndOutput();
  void operatorListing();
  void saveTwiceKeepsBackupAndLoads();
  void loadMissingScript();
  void scriptListRefresh();
  void stopEndsLongRun();
  void closeDuringRunWaitsForStop();
  void editActionsFollowTargets();
  void ctrlEnterRunsCodePane();
  void settingsAreRemembered();
  void discardingUnsavedCodeAsksFirst();
  void clearingNamesAsksFirst();
  void openAndSaveAsUseDialogsInTheScriptFolder();
  void f1ShowsTheHelpOfWhatIsAtTheCursor();

 private:
  void RunCode(const QString& code) {
    fWin->reScript->setPlainText(code);
    fWin->sbnGo->click();
  }
  QStringList Out() { return Lines(fWin->reOut); }
  // The questions the window asked, answered with fAnswer; the file the
  // dialogs "choose".
  void HookDialogs(TfmTarq* w) {
    w->confirm = [this](const QString& q) {
      fQuestions << q;
      return fAnswer;
    };
    w->chooseFile = [this](bool save, const QString& folder) {
      fDialogs << QStringLiteral("%1 %2").arg(save ? QStringLiteral("save") : QStringLiteral("open"), folder);
      return fChosen;
    };
  }
  // Types into the code pane as a user does (the pane then holds unsaved edits).
  void Type(const QString& text) {
    fWin->reScript->setFocus();
    fWin->reScript->moveCursor(QTextCursor::End);
    QTest::keyClicks(fWin->reScript, text);
  }
  QStringList fQuestions, fDialogs;
  bool fAnswer = true;
  QString fChosen;

  std::unique_ptr<QTemporaryDir> fDir;
  QString fOldDir;
  std::unique_ptr<TfmTarq> fWin;
};

void TestTarqMain::initTestCase() {
  QStandardPaths::setTestModeEnabled(true);
  QCoreApplication::setOrganizationName(QStringLiteral("TarqTest"));
  QCoreApplication::setApplicationName(QStringLiteral("tarq-widget-tests"));
  QSettings().clear();
}

void TestTarqMain::init() {
  fOldDir = QDir::currentPath();
  fDir = std::make_unique<QTemporaryDir>();
  QVERIFY(fDir->isValid());
  QVERIFY(QDir::setCurrent(fDir->path()));
  fWin = std::make_unique<TfmTarq>();
  fQuestions.clear();
  fDialogs.clear();
  fAnswer = true;
  fChosen.clear();
  HookDialogs(fWin.get());
  fWin->show();
  QVERIFY(QTest::qWaitForWindowExposed(fWin.get()));
}

void TestTarqMain::cleanup() {
  fWin.reset();
  QDir::setCurrent(fOldDir);
  fDir.reset();
}

void TestTarqMain::controlsCaptionsAndOrder() {
  TfmTarq& w = *fWin;
  QCOMPARE(w.windowTitle(), QString::asprintf("TARQ Interpreter: Ver %d.%d.%d.%d", TARQ_VERSION_MAJOR,
                                              TARQ_VERSION_MINOR, TARQ_VERSION_PATCH, TARQ_VERSION_TWEAK));
  QCOMPARE(w.edIn->text(), QStringLiteral("'Hello World'"));
  QVERIFY(w.ckAutoClr->isChecked());
  QCOMPARE(w.cbxScriptHistory->count(), 1);
  QCOMPARE(w.cbxScriptHistory->currentText(), QStringLiteral("Test Script"));
  QCOMPARE(w.cbxScriptHistory->maxVisibleItems(), 15);
  QVERIFY(!w.sbnPrintScript->isEnabled());
  QVERIFY(!w.sbnOutPrint->isEnabled());
  for (QCheckBox* ck : {w.ckParsing, w.ckTrace, w.ckVerbose, w.ckComments}) QVERIFY(!ck->isChecked());
  QVERIFY(w.sbrMain->currentMessage().isEmpty());

  // name, caption, hint, in top-to-bottom / left-to-right order.
  struct Ctl { const char* name; const char* caption; const char* hint; };
  const Ctl row1[] = {{"sbnParse", "", "Go TARQ"}, {"sbnCP", "", "Command Pane"},
                      {"edIn", "'Hello World'", ""}, {"bnStop", "&Stop", "Stop execution"},
                      {"bnAllClear", "AC", "All Clear"}, {"bnParseClr", "Clr", "All Clear"}};
  const Ctl row2[] = {{"sbnGo", "", "Go TARQ"}, {"ckAutoClr", "Auto Clr", ""},
                      {"sbnScriptLoad", "Ld", "Load Script"}, {"sbnScriptOpen", "", "Open Script..."},
                      {"sbnScriptSave", "Sv", "Save Scrpt"}, {"sbnScriptSaveAs", "", "Save Script As..."},
                      {"cbxScriptHistory", "", "Script line to parse"},
                      {"sbnScriptFnt", "Fnt", "Script Code Font"},
                      {"sbnScriptClear", "Clr", "Clear Code Pane"},
                      {"sbnPrintScript", "Prt", "Print Code Pane"}};
  const Ctl row3[] = {{"sbnFntOut", "Fnt", "Change font"}, {"sbnClear", "Clr", "Clear Output Pane"},
                      {"sbnOutPrint", "Prt", "Print Output Pane"}, {"ckParsing", "Parsing", "Show Parsing"},
                      {"ckTrace", "Trace", "Trace parsing values"},
                      {"ckVerbose", "Verbose", "Show result detail"},
                      {"ckComments", "Comments", "Show Comments in Output"},
                      {"bnNSC", "NSC", "Clear Namespace"}, {"bnNS", "NS", "Show Namespace"},
                      {"bnOps", "Ops", "Show Operators"}};
  auto checkRow = [&](const Ctl* begin, const Ctl* end) {
    int lastX = -1;
    for (const Ctl* c = begin; c != end; ++c) {
      auto* widget = w.findChild<QWidget*>(QLatin1String(c->name));
      QVERIFY2(widget, c->name);
      // The design's hint first; under it, for every control but the input
      // line, what the control does.
      const QString tip = widget->toolTip();
      if (*c->hint) QVERIFY2(tip.startsWith(QLatin1String(c->hint)), c->name);
      if (widget != w.edIn) {
        QVERIFY2(tip.size() > int(qstrlen(c->hint)) + 10, qPrintable(tip));
        if (*c->hint) QVERIFY2(tip.contains(QChar('\n')), qPrintable(tip));
      }
      if (auto* b = qobject_cast<QAbstractButton*>(widget)) QCOMPARE(b->text(), QLatin1String(c->caption));
      int x = PosIn(widget, &w).x();
      QVERIFY2(x > lastX, c->name);
      lastX = x;
    }
  };
  checkRow(std::begin(row1), std::end(row1));
  checkRow(std::begin(row2), std::end(row2));
  checkRow(std::begin(row3), std::end(row3));
  QVERIFY(w.reScript->toolTip().startsWith(QStringLiteral("Code Pane\n")));
  QVERIFY(w.reScript->toolTip().contains(QStringLiteral("F1")));
  QVERIFY(w.reOut->toolTip().startsWith(QStringLiteral("Output Pane\n")));

  // Rows: input line, script row, code pane, output row, output pane, status bar.
  const int ys[] = {PosIn(w.edIn, &w).y(), PosIn(w.sbnGo, &w).y(), PosIn(w.reScript, &w).y(),
                    PosIn(w.bnOps, &w).y(), PosIn(w.reOut, &w).y(), PosIn(w.sbrMain, &w).y()};
  for (size_t i = 1; i < std::size(ys); ++i) QVERIFY(ys[i] > ys[i - 1]);

  QCOMPARE(w.acCut->shortcut(), QKeySequence(QStringLiteral("Ctrl+X")));
  QCOMPARE(w.acCpy->shortcut(), QKeySequence(QStringLiteral("Ctrl+C")));
  QCOMPARE(w.acPst->shortcut(), QKeySequence(QStringLiteral("Ctrl+V")));
  QCOMPARE(w.acCut->toolTip(), QStringLiteral("Cut"));
  QCOMPARE(w.acCpy->toolTip(), QStringLiteral("Copy"));
  QCOMPARE(w.acPst->toolTip(), QStringLiteral("Paste"));
  // The program's fixed font (checked to be fixed-pitch where any such font is installed).
  QCOMPARE(w.reScript->font().family(), TarqFixedFont().family());
}

void TestTarqMain::runInputLineAndCodePane() {
  fWin->sbnParse->click();
  QCOMPARE(Out(), (QStringList{"Result:", "Hello World"}));
  RunCode(QStringLiteral("3 + 4 * 2"));
  QCOMPARE(Out(), (QStringList{"Result:", "14"}));
  // Return in the input line runs it too.
  fWin->edIn->setText(QStringLiteral("1 2 3"));
  QTest::keyClick(fWin->edIn, Qt::Key_Return);
  QCOMPARE(Out(), (QStringList{"Result:", "1 2 3"}));
}

void TestTarqMain::errorsArePrinted() {
  // A scanner error: position block, caret line, error name.
  RunCode(QStringLiteral("1 + 2;\n3 )"));
  QStringList out = Out();
  QVERIFY(!out.contains(QStringLiteral("Result:")));
  QVERIFY2(out.contains(QStringLiteral("No Open error")), qPrintable(out.join('|')));
  QVERIFY(AnyLineContains(out, QStringLiteral("^")));
  // An evaluation error raised as KError reaches the pane with its name.
  RunCode(QStringLiteral("'abc' => 'x'"));
  out = Out();
  QVERIFY2(out.contains(QStringLiteral("Syntax error")), qPrintable(out.join('|')));
  QVERIFY(AnyLineContains(out, QStringLiteral("=>to symbol only")));
  // The write fence's refusal keeps the system's text; the rule as it reads
  // on Linux follows on the next line.
  RunCode(QStringLiteral("'x.txt' #FILE :create"));
  out = Out();
  int refusal = out.indexOf(QStringLiteral("Must be removable or contain \"\\tarq\\user\\\""));
  QVERIFY2(refusal >= 0, qPrintable(out.join('|')));
  QVERIFY2(AnyLineContains(out.mid(refusal + 1), QStringLiteral("~/tarq/user/")), qPrintable(out.join('|')));
  QVERIFY(!QFile::exists(QStringLiteral("x.txt")));
  // The window goes on working.
  RunCode(QStringLiteral("2 + 2"));
  QCOMPARE(Out(), (QStringList{"Result:", "4"}));
}

void TestTarqMain::emptyCodePanePrintsEmptyResult() {
  RunCode(QString());
  QStringList out = Out();
  QCOMPARE(out.value(0), QStringLiteral("Result:"));
  QCOMPARE(out.size(), 2);
}

void TestTarqMain::autoClearOnAndOff() {
  RunCode(QStringLiteral("1"));
  RunCode(QStringLiteral("2"));
  QCOMPARE(Out(), (QStringList{"Result:", "2"}));
  fWin->ckAutoClr->setChecked(false);
  RunCode(QStringLiteral("3"));
  QCOMPARE(Out(), (QStringList{"Result:", "2", "Result:", "3"}));
  fWin->sbnClear->click();
  QVERIFY(Out().isEmpty());
  fWin->edIn->setText(QStringLiteral("4"));
  fWin->reScript->setPlainText(QStringLiteral("5"));
  fWin->bnAllClear->click();
  QVERIFY(fWin->edIn->text().isEmpty() && fWin->reScript->toPlainText().isEmpty());
}

void TestTarqMain::verboseAndTextConversion() {
  // Windows-1252 inside, Unicode outside: the euro sign is 0x80 inside.
  fWin->edIn->setText(QStringLiteral("'caf\u00e9 \u20ac'"));
  fWin->sbnParse->click();
  QCOMPARE(Out(), (QStringList{"Result:", QStringLiteral("caf\u00e9 \u20ac")}));
  // Display lines and line breaks inside the interpreter's text.
  RunCode(QStringLiteral("'one' $;\n'two'"));
  QCOMPARE(Out(), (QStringList{"one", "Result:", "two"}));
  // The verbose switch gives the verbose text form.
  fWin->ckVerbose->setChecked(true);
  RunCode(QStringLiteral("'abc'"));
  QStringList out = Out();
  QCOMPARE(out.value(0), QStringLiteral("Result:"));
  QVERIFY2(out.value(1).contains(QStringLiteral("[R")), qPrintable(out.join('|')));
}

void TestTarqMain::namespaceSurvivesRunsAndClears() {
  RunCode(QStringLiteral("5 => x"));
  RunCode(QStringLiteral("x + 1"));
  QCOMPARE(Out(), (QStringList{"Result:", "6"}));
  fWin->reOut->clear();
  fWin->bnNS->click();
  QVERIFY2(AnyLineContains(Out(), QStringLiteral("x")), qPrintable(Out().join('|')));
  fWin->bnNSC->click();
  fWin->reOut->clear();
  fWin->bnNS->click();
  QVERIFY(!AnyLineContains(Out(), QStringLiteral("x")));
  RunCode(QStringLiteral("x"));
  QVERIFY(!Out().contains(QStringLiteral("5")));
}

void TestTarqMain::commandPaneSharesNamespaceAndOutput() {
  TfmTcf* pane = fWin->OpenCommandPane();
  TfmTcf* second = fWin->OpenCommandPane();
  QCOMPARE(fWin->CommandPanes().size(), 2);
  QVERIFY(pane != second);

  RunCode(QStringLiteral("7 => z"));
  fWin->reOut->clear();
  pane->reScript->setPlainText(QStringLiteral("z + 1"));
  pane->sbnGoTARQ->click();
  QCOMPARE(Out(), (QStringList{"8"}));  // no "Result:" line from a pane
  // Pane Auto Clear is off at start; on, it clears the main output pane.
  second->reScript->setPlainText(QStringLiteral("9 => y"));
  second->sbnGoTARQ->click();
  QCOMPARE(Out(), (QStringList{"8", "9"}));
  second->ckAutoClr->setChecked(true);
  second->reScript->setPlainText(QStringLiteral("y"));
  second->sbnGoTARQ->click();
  QCOMPARE(Out(), (QStringList{"9"}));
  RunCode(QStringLiteral("y * 2"));
  QCOMPARE(Out(), (QStringList{"Result:", "18"}));

  // Clearing the namespace reaches the panes too.
  fWin->bnNSC->click();
  fWin->reOut->clear();
  pane->sbnGoTARQ->click();
  QVERIFY(!Out().contains(QStringLiteral("8")));
}

void TestTarqMain::operatorListing() {
  fWin->bnOps->click();
  QStringList out = Out();
  QCOMPARE(out.size(), 214);
  QVERIFY(AnyLineContains(out, QStringLiteral("#COS")));
  // The listing does not disturb the root namespace.
  RunCode(QStringLiteral("1 => keep"));
  fWin->bnOps->click();
  RunCode(QStringLiteral("keep"));
  QCOMPARE(Out(), (QStringList{"Result:", "1"}));
}

void TestTarqMain::saveTwiceKeepsBackupAndLoads() {
  fWin->cbxScriptHistory->setEditText(QStringLiteral("Demo"));
  fWin->reScript->setPlainText(QStringLiteral("1 + 2\n'd\u00e9j\u00e0'"));
  fWin->sbnScriptSave->click();
  QCOMPARE(Out().mid(Out().size() - 2), (QStringList{"File Saved:", "TARQScripts\\Demo.tof"}));
  QVERIFY(QFile::exists(QStringLiteral("TARQScripts/Demo.tof")));
  QVERIFY(!QFile::exists(QStringLiteral("Demo.~tf")));

  fWin->reScript->setPlainText(QStringLiteral("3 + 4"));
  fWin->sbnScriptSave->click();
  QFile backup(QStringLiteral("Demo.~tf"));
  QVERIFY(backup.open(QIODevice::ReadOnly));
  QCOMPARE(QString::fromUtf8(backup.readAll()), QStringLiteral("1 + 2\n'd\u00e9j\u00e0'"));

  // Loading replaces the code pane; a file in Windows-1252 loads too.
  fWin->reScript->setPlainText(QStringLiteral("junk"));
  fWin->sbnScriptLoad->click();
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("3 + 4"));
  QCOMPARE(Out().mid(Out().size() - 2), (QStringList{"File Loaded:", "Demo"}));
  QFile legacy(QStringLiteral("TARQScripts/Old.tof"));
  QVERIFY(legacy.open(QIODevice::WriteOnly));
  legacy.write("'na\xefve'\r\n1");
  legacy.close();
  fWin->cbxScriptHistory->setEditText(QStringLiteral("Old"));
  fWin->sbnScriptLoad->click();
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("'na\u00efve'\n1"));
}

void TestTarqMain::loadMissingScript() {
  // The file is opened first: a name that is no file keeps the code pane
  // (nothing is asked: nothing would be discarded).
  Type(QStringLiteral("something"));
  fWin->cbxScriptHistory->setEditText(QStringLiteral("NoSuchScript"));
  fWin->sbnScriptLoad->click();
  QCOMPARE(Out().value(Out().size() - 1), QStringLiteral("Invalid file"));
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("something"));
  QVERIFY(fQuestions.isEmpty());
  QVERIFY(fWin->CodeUnsaved());
  // Likewise a file chosen in the dialog that cannot be read.
  fChosen = QDir::current().absoluteFilePath(QStringLiteral("gone.tof"));
  fWin->sbnScriptOpen->click();
  QCOMPARE(Out().value(Out().size() - 1), QStringLiteral("Invalid file"));
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("something"));
}

void TestTarqMain::scriptListRefresh() {
  fWin->cbxScriptHistory->setEditText(QStringLiteral("Listed"));
  fWin->sbnScriptSave->click();
  fWin->reOut->clear();
  // The list comes from a Tarq text over file contexts: it lists the saved
  // script, and the name typed stays.
  fWin->cbxScriptHistory->setEditText(QStringLiteral("Typed"));
  fWin->RefreshScriptList();
  QCOMPARE(fWin->cbxScriptHistory->currentText(), QStringLiteral("Typed"));
  bool listed = false;
  for (int i = 0; i < fWin->cbxScriptHistory->count(); ++i) {
    listed = listed || fWin->cbxScriptHistory->itemText(i).startsWith(QStringLiteral("Listed"));
  }
  QVERIFY2(listed, qPrintable(Out().join('|')));
  QVERIFY(!Out().contains(QStringLiteral("Result:")));
  QVERIFY(!fWin->Session()->Busy());
}

void TestTarqMain::stopEndsLongRun() {
  bool buttonsDisabled = false, nestedRefused = false;
  QTimer::singleShot(0, fWin.get(), [&] {
    buttonsDisabled = !fWin->sbnGo->isEnabled() && !fWin->sbnParse->isEnabled() && !fWin->bnNSC->isEnabled();
    nestedRefused = !fWin->Session()->Run(QStringLiteral("1"), TarqRunSpec());
    fWin->bnStop->click();
  });
  QElapsedTimer clock;
  clock.start();
  RunCode(LongScript());
  QVERIFY2(clock.elapsed() < 20000, "the run did not stop");
  QStringList out = Out();
  QVERIFY2(out.contains(QStringLiteral("User Interrupt")), qPrintable(out.mid(0, 8).join('|')));
  QVERIFY(AnyLineContains(out, QStringLiteral("Stopped")));
  QVERIFY(!out.contains(QStringLiteral("Result:")));
  QVERIFY(buttonsDisabled);
  QVERIFY(nestedRefused);
  // Usable afterwards, and the stop flag does not leak into the next run.
  QVERIFY(fWin->sbnGo->isEnabled());
  RunCode(QStringLiteral("1 + 1"));
  QCOMPARE(Out(), (QStringList{"Result:", "2"}));
}

void TestTarqMain::closeDuringRunWaitsForStop() {
  QTimer::singleShot(0, fWin.get(), [&] { fWin->close(); });
  RunCode(LongScript());
  QVERIFY(fWin->isVisible());  // the close waited for the run to end
  QVERIFY(Out().contains(QStringLiteral("User Interrupt")));
  QTRY_VERIFY(!fWin->isVisible());
}

void TestTarqMain::editActionsFollowTargets() {
  TfmTarq& w = *fWin;
  QClipboard* clip = QGuiApplication::clipboard();
  clip->setText(QStringLiteral("before"));
  // No target yet: Copy only beeps, Paste does nothing.
  QVERIFY(!w.EditTarget());
  w.acCpy->trigger();
  QCOMPARE(clip->text(), QStringLiteral("before"));

  w.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&w));
  w.reScript->setPlainText(QStringLiteral("abc def"));
  w.reScript->setFocus();
  QTRY_COMPARE(w.EditTarget(), static_cast<QWidget*>(w.reScript));
  QCOMPARE(w.PasteTarget(), static_cast<QWidget*>(w.reScript));
  // Nothing selected: Copy selects everything first (also through Ctrl+C).
  QTest::keyClick(w.reScript, Qt::Key_C, Qt::ControlModifier);
  QCOMPARE(clip->text(), QStringLiteral("abc def"));
  QVERIFY(w.reScript->textCursor().hasSelection());

  // The input line: a selection is copied as it is; Cut removes it.
  w.edIn->setFocus();
  QTRY_COMPARE(w.EditTarget(), static_cast<QWidget*>(w.edIn));
  w.edIn->setText(QStringLiteral("'Hello World'"));
  w.edIn->setSelection(1, 5);
  w.acCpy->trigger();
  QCOMPARE(clip->text(), QStringLiteral("Hello"));
  w.acCut->trigger();
  QCOMPARE(w.edIn->text(), QStringLiteral("' World'"));
  // Paste goes to the paste target even when the focus is on a button.
  w.bnNS->setFocus();
  w.edIn->setCursorPosition(0);
  w.acPst->trigger();
  QCOMPARE(w.edIn->text(), QStringLiteral("Hello' World'"));
}

void TestTarqMain::ctrlEnterRunsCodePane() {
  fWin->reScript->setPlainText(QStringLiteral("6 * 7"));
  QTest::keyClick(fWin->reScript, Qt::Key_Return, Qt::ControlModifier);
  QCOMPARE(Out(), (QStringList{"Result:", "42"}));
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("6 * 7"));  // no line break typed
}

void TestTarqMain::settingsAreRemembered() {
  QFont f = fWin->reScript->font();
  f.setPointSize(f.pointSize() + 3);
  fWin->reScript->setFont(f);
  fWin->resize(700, 555);
  QVERIFY(fWin->close());
  fWin = std::make_unique<TfmTarq>();
  QCOMPARE(fWin->reScript->font().pointSize(), f.pointSize());
  QCOMPARE(fWin->size(), QSize(700, 555));
  QSettings().clear();
}

void TestTarqMain::discardingUnsavedCodeAsksFirst() {
  // Nothing typed: nothing to lose, nothing asked.
  fWin->bnAllClear->click();
  QVERIFY(fQuestions.isEmpty());

  Type(QStringLiteral("1 + 2"));
  fWin->edIn->setText(QStringLiteral("keep"));
  fAnswer = false;  // "No": everything stays
  fWin->bnAllClear->click();
  QCOMPARE(fQuestions.size(), 1);
  QVERIFY(fQuestions[0].contains(QStringLiteral("not saved")));
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("1 + 2"));
  QCOMPARE(fWin->edIn->text(), QStringLiteral("keep"));
  fWin->sbnScriptClear->click();
  QCOMPARE(fQuestions.size(), 2);
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("1 + 2"));
  QVERIFY(!fWin->close());  // closing would lose the edits too
  QCOMPARE(fQuestions.size(), 3);
  QVERIFY(fWin->isVisible());

  // Loading a script that exists asks before it replaces the edits.
  QDir().mkdir(QStringLiteral("TARQScripts"));
  QFile f(QStringLiteral("TARQScripts/Other.tof"));
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("7 * 6");
  f.close();
  fWin->cbxScriptHistory->setEditText(QStringLiteral("Other"));
  fWin->sbnScriptLoad->click();
  QCOMPARE(fQuestions.size(), 4);
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("1 + 2"));
  fAnswer = true;
  fWin->sbnScriptLoad->click();
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("7 * 6"));
  QVERIFY(!fWin->CodeUnsaved());  // as loaded: clearing it asks nothing
  fWin->sbnScriptClear->click();
  QCOMPARE(fQuestions.size(), 5);
  QVERIFY(fWin->reScript->toPlainText().isEmpty());

  // Saving makes the edits safe.
  Type(QStringLiteral("'saved'"));
  fWin->cbxScriptHistory->setEditText(QStringLiteral("Kept"));
  fWin->sbnScriptSave->click();
  QVERIFY(!fWin->CodeUnsaved());
  fWin->bnAllClear->click();
  QCOMPARE(fQuestions.size(), 5);
  QVERIFY(fWin->reScript->toPlainText().isEmpty());
}

void TestTarqMain::clearingNamesAsksFirst() {
  fWin->bnNSC->click();  // no names: nothing asked
  QVERIFY(fQuestions.isEmpty());
  RunCode(QStringLiteral("5 => x"));
  fAnswer = false;
  fWin->bnNSC->click();
  QCOMPARE(fQuestions.size(), 1);
  QVERIFY(fQuestions[0].contains(QStringLiteral("namespace")));
  RunCode(QStringLiteral("x"));
  QCOMPARE(Out(), (QStringList{"Result:", "5"}));
  fAnswer = true;
  fWin->bnNSC->click();
  RunCode(QStringLiteral("x"));
  QVERIFY(!Out().contains(QStringLiteral("5")));
}

void TestTarqMain::openAndSaveAsUseDialogsInTheScriptFolder() {
  const QString folder = QDir::current().absoluteFilePath(QStringLiteral("TARQScripts"));
  // Save As: the dialog starts in the script folder (made when missing).
  Type(QStringLiteral("'anywhere'"));
  fChosen = QDir::current().absoluteFilePath(QStringLiteral("elsewhere.tof"));
  fWin->sbnScriptSaveAs->click();
  QCOMPARE(fDialogs.value(0), QStringLiteral("save ") + folder);
  QCOMPARE(Out().mid(Out().size() - 2), (QStringList{"File Saved:", fChosen}));
  QFile saved(fChosen);
  QVERIFY(saved.open(QIODevice::ReadOnly));
  QCOMPARE(saved.readAll(), QByteArray("'anywhere'"));
  QVERIFY(!fWin->CodeUnsaved());
  // Cancelled dialogs do nothing.
  fChosen.clear();
  fWin->sbnScriptSaveAs->click();
  fWin->sbnScriptOpen->click();
  QCOMPARE(fDialogs.size(), 3);
  QCOMPARE(fDialogs.value(2), QStringLiteral("open ") + folder);
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("'anywhere'"));
  // Open: a script of the folder also becomes the name Ld and Sv use.
  QFile f(folder + QStringLiteral("/Chosen.tof"));
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write("2 ^ 8");
  f.close();
  fChosen = folder + QStringLiteral("/Chosen.tof");
  fWin->sbnScriptOpen->click();
  QCOMPARE(fWin->reScript->toPlainText(), QStringLiteral("2 ^ 8"));
  QCOMPARE(fWin->cbxScriptHistory->currentText(), QStringLiteral("Chosen"));
  QCOMPARE(Out().mid(Out().size() - 2), (QStringList{"File Loaded:", fChosen}));
  QVERIFY(fQuestions.isEmpty());
}

void TestTarqMain::f1ShowsTheHelpOfWhatIsAtTheCursor() {
  fWin->reScript->setPlainText(QStringLiteral("1 2 3 ->> 2; :WHILE (0) {1}; abc"));
  QTextCursor c = fWin->reScript->textCursor();
  c.setPosition(7);  // inside "->>"
  fWin->reScript->setTextCursor(c);
  fWin->reScript->setFocus();
  QTest::keyClick(fWin->reScript, Qt::Key_F1);
  QVERIFY(fWin->OpsPanel());
  QVERIFY(fWin->OpsPanel()->isVisible());
  QVERIFY2(fWin->OpsPanel()->reHelp->toPlainText().startsWith(QStringLiteral("Operator ->>\n")),
           qPrintable(fWin->OpsPanel()->reHelp->toPlainText()));
  c.setPosition(15);  // in ":WHILE"
  fWin->reScript->setTextCursor(c);
  QTest::keyClick(fWin->reScript, Qt::Key_F1);
  QVERIFY(fWin->OpsPanel()->reHelp->toPlainText().startsWith(QStringLiteral("Control word :WHILE")));
  c.setPosition(31);  // in the name "abc": no help, a word in the status bar
  fWin->reScript->setTextCursor(c);
  QVERIFY(!fWin->ShowHelpAtCursor(fWin->reScript));
  QVERIFY(!fWin->sbrMain->currentMessage().isEmpty());
  // The input line too, with the cursor just after the symbol.
  fWin->edIn->setText(QStringLiteral("9 #SIN"));
  fWin->edIn->setCursorPosition(6);
  QVERIFY(fWin->ShowHelpAtCursor(fWin->edIn));
  QVERIFY(fWin->OpsPanel()->reHelp->toPlainText().startsWith(QStringLiteral("Operator #SIN")));
}

QTEST_MAIN(TestTarqMain)
#include "test_TarqMain.moc"
