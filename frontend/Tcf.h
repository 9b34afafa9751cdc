// Tcf: the command pane (form TfmTcf), a small window that stays on top and
// runs its own code against the main window's root namespace, printing into
// the main window's output pane. Any number may be open; each has its own
// stop flag and its own "Auto Clear" switch, and no display switches.
#pragma once
#include <QWidget>

class QCheckBox;
class QPlainTextEdit;
class QPushButton;
class QToolButton;
class TarqSession;

class TfmTcf : public QWidget {
  Q_OBJECT

 public:
  // `session` holds the namespace chain and the output pane; it must outlive
  // the pane (the main window closes its panes before its session goes).
  TfmTcf(TarqSession* session, QWidget* parent);

  QWidget* pnlTop;
  QToolButton* sbnGoTARQ;
  QCheckBox* ckAutoClr;
  QPushButton* bnStop;
  QPushButton* bnClr;
  QPlainTextEdit* reScript;

  bool StopFlag() const { return fStop; }

 public slots:
  void Run();   // sbnGoTARQ: run the code area
  void Stop();  // bnStop: set this pane's stop flag
  void Clear(); // bnClr: clear the code area

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  TarqSession* fSession;
  bool fStop = false;
  bool fRunning = false;      // this pane's run is in progress
  bool fCloseWanted = false;  // closing waits for the run to stop
};
