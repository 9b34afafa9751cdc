// Tests for Tcf: command panes opened from a real main window on the
// offscreen platform (how they look, their own stop flag, their code area).
// Running against the shared namespace is covered with the main window.
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <memory>

#include "Tcf.h"
#include "TarqWidgets.h"
#include "TarqMain.h"

namespace {

QStringList Lines(QPlainTextEdit* pane) {
  const QString t = pane->toPlainText();
  return t.isEmpty() ? QStringList() : t.split(QChar('\n'));
}

// Many short statements; 0 ms timers fire at the run's first breath.
QString LongScript() {
  QString s;
  s.reserve(2200000);
  for (int line = 0; line < 3000; ++line) {
    for (int i = 0; i < 100; ++i) s += QStringLiteral("1 + 2; ");
    s += QChar('\n');
  }
  return s;
}

}  // namespace

class TestTcf : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("TarqTest"));
    QCoreApplication::setApplicationName(QStringLiteral("tarq-pane-tests"));
  }
  void init() {
    fWin = std::make_unique<TfmTarq>();
    fWin->show();
    QVERIFY(QTest::qWaitForWindowExposed(fWin.get()));
    fPane = fWin->OpenCommandPane();
    QVERIFY(QTest::qWaitForWindowExposed(fPane));
  }
  void cleanup() { fWin.reset(); }

  void lookAndControls();
  void runPrintsOneLineAndErrors();
  void clearEmptiesCodeArea();
  void ownStopFlag();
  void closeDuringRunWaits();
  void runButtonsFollowAnyRun();
  void closedPaneIsFreed();

 private:
  std::unique_ptr<TfmTarq> fWin;
  TfmTcf* fPane = nullptr;
};

void TestTcf::lookAndControls() {
  QCOMPARE(fPane->windowTitle(), QStringLiteral("TARQ Command"));
  QVERIFY(fPane->windowFlags() & Qt::WindowStaysOnTopHint);
  QVERIFY(fPane->isWindow());
  QCOMPARE(fPane->sbnGoTARQ->toolTip(), QStringLiteral("go TARQ"));
  QCOMPARE(fPane->ckAutoClr->text(), QStringLiteral("Auto Clear"));
  QCOMPARE(fPane->ckAutoClr->toolTip(), QStringLiteral("Auto Clear"));
  QVERIFY(!fPane->ckAutoClr->isChecked());
  QCOMPARE(fPane->bnStop->text(), QStringLiteral("&Stop"));
  QCOMPARE(fPane->bnClr->text(), QStringLiteral("&Clr"));
  QCOMPARE(fPane->bnClr->toolTip(), QStringLiteral("Clear"));
  QCOMPARE(fPane->reScript->toolTip(), QStringLiteral("Code Pane"));
  QCOMPARE(fPane->reScript->font().family(), TarqFixedFont().family());
  QVERIFY(!fPane->reScript->tabChangesFocus());
  // The code area sits below the top panel.
  QVERIFY(fPane->reScript->y() > fPane->pnlTop->y());
}

void TestTcf::runPrintsOneLineAndErrors() {
  fWin->reOut->setPlainText(QStringLiteral("earlier"));
  fPane->reScript->setPlainText(QStringLiteral("2 + 3"));
  fPane->sbnGoTARQ->click();
  QCOMPARE(Lines(fWin->reOut), (QStringList{"earlier", "5"}));
  fPane->reScript->setPlainText(QStringLiteral("(1"));
  fPane->sbnGoTARQ->click();
  QVERIFY(Lines(fWin->reOut).contains(QStringLiteral("No Close error")));
  // Ctrl+Enter runs the pane's code.
  fWin->reOut->clear();
  fPane->reScript->setPlainText(QStringLiteral("4 * 4"));
  QTest::keyClick(fPane->reScript, Qt::Key_Enter, Qt::ControlModifier);
  QCOMPARE(Lines(fWin->reOut), (QStringList{"16"}));
}

void TestTcf::clearEmptiesCodeArea() {
  fPane->reScript->setPlainText(QStringLiteral("1 2 3"));
  fWin->reOut->setPlainText(QStringLiteral("kept"));
  fPane->bnClr->click();
  QVERIFY(fPane->reScript->toPlainText().isEmpty());
  QCOMPARE(fWin->reOut->toPlainText(), QStringLiteral("kept"));
}

void TestTcf::ownStopFlag() {
  // The main window's Stop leaves a pane's run alone; the pane's stops it.
  bool mainStopIgnored = false;
  QTimer::singleShot(0, fPane, [&] {
    fWin->bnStop->click();
    // At the next breath the run is still going; then the pane stops it.
    QTimer::singleShot(0, fPane, [&] {
      mainStopIgnored = fWin->Session()->Busy();
      fPane->bnStop->click();
    });
  });
  fPane->reScript->setPlainText(LongScript());
  fPane->sbnGoTARQ->click();
  QVERIFY(mainStopIgnored);
  QVERIFY(Lines(fWin->reOut).contains(QStringLiteral("User Interrupt")));
  // A fresh run starts with the flag cleared.
  fPane->reScript->setPlainText(QStringLiteral("1"));
  fWin->reOut->clear();
  fPane->sbnGoTARQ->click();
  QCOMPARE(Lines(fWin->reOut), (QStringList{"1"}));
}

void TestTcf::closeDuringRunWaits() {
  QPointer<TfmTcf> pane = fPane;
  QTimer::singleShot(0, fPane, [&] { fPane->close(); });
  fPane->reScript->setPlainText(LongScript());
  fPane->sbnGoTARQ->click();
  QVERIFY(pane);  // still alive when its run returns
  QVERIFY(Lines(fWin->reOut).contains(QStringLiteral("User Interrupt")));
  QTRY_VERIFY(!pane);  // then closed and freed
}

void TestTcf::runButtonsFollowAnyRun() {
  TfmTcf* other = fWin->OpenCommandPane();
  bool paneDisabled = false, otherDisabled = false;
  QTimer::singleShot(0, fWin.get(), [&] {
    paneDisabled = !fPane->sbnGoTARQ->isEnabled();
    otherDisabled = !other->sbnGoTARQ->isEnabled();
    fWin->bnStop->click();
  });
  fWin->reScript->setPlainText(LongScript());
  fWin->sbnGo->click();
  QVERIFY(paneDisabled);
  QVERIFY(otherDisabled);
  QVERIFY(fPane->sbnGoTARQ->isEnabled() && other->sbnGoTARQ->isEnabled());
}

void TestTcf::closedPaneIsFreed() {
  QPointer<TfmTcf> pane = fPane;
  fPane->close();
  QTRY_VERIFY(!pane);
  QVERIFY(fWin->CommandPanes().isEmpty());
}

QTEST_MAIN(TestTcf)
#include "test_Tcf.moc"
