// Tests for TarqWidgets and the main-window features built on them: the
// fixed font, line numbers and the error-line mark, the running indicator
// and Stop, text the interpreter cannot hold, and the operator list.
#include <QFontDatabase>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <memory>

#include "TarqHelp.h"
#include "TarqMain.h"
#include "Tcf.h"
#include "TarqWidgets.h"

namespace {

QStringList Lines(QPlainTextEdit* pane) {
  const QString t = pane->toPlainText();
  return t.isEmpty() ? QStringList() : t.split(QChar('\n'));
}

bool AnyFixedFamilyInstalled() {
  for (const QString& family : QFontDatabase::families())
    if (QFontDatabase::isFixedPitch(family)) return true;
  return false;
}

}  // namespace

class TestTarqWidgets : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();
  void fixedFontIsFixedPitchWhereverPossible();
  void errorLineFromErrorTexts();
  void lineNumbersAndMark();
  void errorMarksLineAndMovesCursor();
  void errorInsideBlockMarksItsLine();
  void runningIndicatorAndStop();
  void unheldCharacters();
  void loadedScriptLosesByteOrderMark();
  void operatorListSearchAndHelp();

 private:
  void RunCode(const QString& code) {
    fWin->reScript->setPlainText(code);
    fWin->sbnGo->click();
  }
  std::unique_ptr<QTemporaryDir> fDir;
  std::unique_ptr<TfmTarq> fWin;
};

void TestTarqWidgets::init() {
  fDir = std::make_unique<QTemporaryDir>();
  QDir::setCurrent(fDir->path());
  fWin = std::make_unique<TfmTarq>();
  fWin->show();
}

void TestTarqWidgets::cleanup() {
  fWin.reset();
  fDir.reset();
}

void TestTarqWidgets::fixedFontIsFixedPitchWhereverPossible() {
  const QFont f = TarqFixedFont();
  const QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  if (QFontInfo(system).fixedPitch()) {
    QCOMPARE(f.family(), system.family());  // Qt's own answer when it holds
  } else if (AnyFixedFamilyInstalled()) {
    QVERIFY(QFontInfo(f).fixedPitch());  // else some fixed-pitch family installed
  } else {
    QVERIFY(f.fixedPitch());  // else at least asked for as fixed-pitch
  }
  QCOMPARE(fWin->reOut->font().family(), f.family());
  QCOMPARE(fWin->edIn->font().family(), f.family());
}

void TestTarqWidgets::errorLineFromErrorTexts() {
  const QString code = QStringLiteral("1 + 1;\n:IF (1) {\n  2 + 'x'\n}\n3");
  QCOMPARE(TarqErrorLine(code, QStringLiteral("[0^3:5]\n2 + 'x'\n    ^\nValue error\nType")), 3);
  // Inside a block the position counts from the block: the shown line decides.
  QCOMPARE(TarqErrorLine(code, QStringLiteral("[1^2:7]\n 2 + 'x'\n      ^\nValue error\nType")), 3);
  QCOMPARE(TarqErrorLine(code, QStringLiteral("[0^9:1]\nx\n^\nSyntax error\nx")), 0);  // past the end
  QCOMPARE(TarqErrorLine(code, QStringLiteral("no position here")), 0);
  QCOMPARE(TarqErrorLine(code, QStringLiteral("[1^1:1]\n\n^\nUser Interrupt\nStopped")), 0);
}

void TestTarqWidgets::lineNumbersAndMark() {
  TarqCodeEdit* ed = fWin->reScript;
  ed->setPlainText(QStringLiteral("1"));
  const int narrow = ed->LineNumberWidth();
  QStringList many;
  for (int i = 0; i < 1200; ++i) many << QStringLiteral("1");
  ed->setPlainText(many.join('\n'));
  QVERIFY(ed->LineNumberWidth() > narrow);  // four digits need more room than two
  QWidget* numbers = ed->findChild<QWidget*>(QStringLiteral("lineNumbers"));
  QVERIFY(numbers && numbers->isVisible());
  QCOMPARE(numbers->width(), ed->LineNumberWidth());
  ed->MarkErrorLine(700);
  QCOMPARE(ed->MarkedLine(), 700);
  QCOMPARE(ed->textCursor().blockNumber(), 699);
  QCOMPARE(ed->extraSelections().size(), 1);
  // Typing takes the mark away; a line past the end marks nothing.
  ed->insertPlainText(QStringLiteral("x"));
  QCOMPARE(ed->MarkedLine(), 0);
  QVERIFY(ed->extraSelections().isEmpty());
  ed->MarkErrorLine(5000);
  QCOMPARE(ed->MarkedLine(), 0);
}

void TestTarqWidgets::errorMarksLineAndMovesCursor() {
  RunCode(QStringLiteral("1 + 1;\n2 + 2;\n3 + 'x';\n4"));
  QVERIFY(fWin->Session()->LastError().contains(QStringLiteral("[0^3:")));
  QCOMPARE(fWin->reScript->MarkedLine(), 3);
  QCOMPARE(fWin->reScript->textCursor().blockNumber(), 2);
  // A run without error clears the mark.
  RunCode(QStringLiteral("1"));
  QCOMPARE(fWin->reScript->MarkedLine(), 0);
  QVERIFY(fWin->Session()->LastError().isEmpty());
}

void TestTarqWidgets::errorInsideBlockMarksItsLine() {
  RunCode(QStringLiteral("0 => i;\n:WHILE (i < 3) {\n  i + 1 => i;\n  i + 'x'\n}"));
  QCOMPARE(fWin->reScript->MarkedLine(), 4);
}

void TestTarqWidgets::runningIndicatorAndStop() {
  QVERIFY(!fWin->bnStop->isEnabled());
  QVERIFY(!fWin->pbRunning->isVisible());
  bool stopEnabled = false, indicatorShown = false;
  QTimer::singleShot(0, fWin.get(), [&] {
    stopEnabled = fWin->bnStop->isEnabled();
    indicatorShown = fWin->pbRunning->isVisible();
    fWin->bnStop->click();
  });
  RunCode(QStringLiteral("0 => i; :WHILE (1) {i + 1 => i}"));
  QVERIFY(stopEnabled);
  // A command pane's Stop follows runs the same way.
  TfmTcf* pane = fWin->OpenCommandPane();
  QVERIFY(!pane->bnStop->isEnabled());
  bool paneStopEnabled = false;
  QTimer::singleShot(0, pane, [&] {
    paneStopEnabled = pane->bnStop->isEnabled();
    pane->bnStop->click();
  });
  pane->reScript->setPlainText(QStringLiteral("0 => i; :WHILE (1) {i + 1 => i}"));
  pane->sbnGoTARQ->click();
  QVERIFY(paneStopEnabled);
  QVERIFY(!pane->bnStop->isEnabled());
  QVERIFY(indicatorShown);
  QVERIFY(Lines(fWin->reOut).contains(QStringLiteral("User Interrupt")));
  QVERIFY(!fWin->bnStop->isEnabled());
  QVERIFY(!fWin->pbRunning->isVisible());
}

void TestTarqWidgets::unheldCharacters() {
  // In code: an "Invalid character" syntax error at its line; nothing runs.
  RunCode(QStringLiteral("5 => before;\n1 + \u2713 2"));
  QStringList out = Lines(fWin->reOut);
  QVERIFY2(out.contains(QStringLiteral("Invalid character")), qPrintable(out.join('|')));
  QVERIFY(out.first().contains(QStringLiteral("^2:5]")));
  QVERIFY(!out.contains(QStringLiteral("Result:")));
  QCOMPARE(fWin->reScript->MarkedLine(), 2);
  RunCode(QStringLiteral("before #"));
  QCOMPARE(Lines(fWin->reOut), (QStringList{"Result:", "0"}));
  // In quotes and comments: "?" with one warning, and the run goes on.
  RunCode(QStringLiteral("'a\u2713b' $$ \u2713"));
  out = Lines(fWin->reOut);
  QCOMPARE(out.size(), 3);
  QVERIFY(out[0].contains(QStringLiteral("warning")));
  QCOMPARE(out.mid(1), (QStringList{"Result:", "a?b"}));
}

void TestTarqWidgets::loadedScriptLosesByteOrderMark() {
  QCOMPARE(TarqSession::FromFileBytes("\xEF\xBB\xBF" "5"), QStringLiteral("5"));
  QCOMPARE(TarqSession::FromFileBytes("5"), QStringLiteral("5"));
}

void TestTarqWidgets::operatorListSearchAndHelp() {
  fWin->bnOps->click();
  TarqOpsPanel* ops = fWin->OpsPanel();
  QVERIFY(ops && ops->isVisible());
  QCOMPARE(Lines(fWin->reOut).size(), 214);  // the listing is printed as before
  QCOMPARE(ops->lsOps->count(), 214);
  // Search by description text and by symbol, in any case.
  ops->edSearch->setText(QStringLiteral("cosine"));
  QStringList shown;
  for (int row = 0; row < ops->lsOps->count(); ++row)
    if (!ops->lsOps->item(row)->isHidden()) shown << ops->lsOps->item(row)->data(Qt::UserRole).toString();
  QVERIFY(shown.contains(QStringLiteral("#COS")));
  QVERIFY(shown.contains(QStringLiteral("#HCOS")));
  QVERIFY(!shown.contains(QStringLiteral("+")));
  ops->edSearch->setText(QStringLiteral("#cos"));
  QVERIFY(!ops->lsOps->currentItem()->isHidden());
  // The help shown is the text ")help" prints.
  QVERIFY(ops->ShowOperator(QStringLiteral("#COS")));
  const int cos = TarqHelp::FindOperator("#COS");
  QCOMPARE(ops->reHelp->toPlainText(), QString::fromStdString(TarqHelp::OperatorHelp(cos)));
  QVERIFY(!ops->ShowOperator(QStringLiteral("nosuch")));
  // Operators with forms not built yet say so, in the list and in the help.
  for (int row = 0; row < ops->lsOps->count(); ++row) {
    QListWidgetItem* item = ops->lsOps->item(row);
    const int index = item->data(Qt::UserRole + 1).toInt();
    QCOMPARE(item->text().contains(QStringLiteral("not all built")), TarqHelp::AnyPending(index));
  }
  // Pressing Ops again reuses the one list.
  fWin->bnOps->click();
  QCOMPARE(fWin->OpsPanel(), ops);
}

QTEST_MAIN(TestTarqWidgets)
#include "test_TarqWidgets.moc"
