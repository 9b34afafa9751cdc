// TarqMain: the main window of the desktop program (form TfmTarq). An input
// line and a code pane to run, an output pane that is also the interpreter's
// output sink, the display switches, script load/save, namespace and
// operator listings, and the command panes. The root namespace lives as long
// as the window (in its TarqSession), so symbols survive from run to run.
#pragma once
#include <QComboBox>
#include <QMainWindow>
#include <QPointer>
#include <functional>

#include "TarqSession.h"
#include "TarqWidgets.h"

class QAbstractButton;
class QAction;
class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QToolButton;
class TfmTcf;

// The script box: an editable combo box whose list is refreshed each time it
// drops down (through the dropDown signal, before the list opens).
class TarqScriptBox : public QComboBox {
  Q_OBJECT

 public:
  explicit TarqScriptBox(QWidget* parent = nullptr) : QComboBox(parent) {}
  void showPopup() override;

 signals:
  void dropDown();
};

class TfmTarq : public QMainWindow {
  Q_OBJECT

 public:
  explicit TfmTarq(QWidget* parent = nullptr);
  ~TfmTarq() override;

  TarqSession* Session() { return fSession; }
  // The command panes that are open.
  QList<TfmTcf*> CommandPanes() const;

  // Controls, top to bottom (the object names are the control names).
  QWidget* pnl1;
  QToolButton* sbnParse;
  QToolButton* sbnCP;
  QLineEdit* edIn;
  QPushButton* bnStop;
  QPushButton* bnAllClear;
  QPushButton* bnParseClr;
  QToolButton* sbnGo;
  QCheckBox* ckAutoClr;
  QPushButton* sbnScriptLoad;
  QToolButton* sbnScriptOpen;    // beside "Ld": a file chosen in a dialog
  QPushButton* sbnScriptSave;
  QToolButton* sbnScriptSaveAs;  // beside "Sv": a file chosen in a dialog
  TarqScriptBox* cbxScriptHistory;
  QPushButton* sbnScriptFnt;
  QPushButton* sbnScriptClear;
  QPushButton* sbnPrintScript;
  TarqCodeEdit* reScript;  // with line numbers; marks the line of an error
  QPushButton* sbnFntOut;
  QPushButton* sbnClear;
  QPushButton* sbnOutPrint;
  QCheckBox* ckParsing;
  QCheckBox* ckTrace;
  QCheckBox* ckVerbose;
  QCheckBox* ckComments;
  QPushButton* bnNSC;
  QPushButton* bnNS;
  QPushButton* bnOps;
  QPlainTextEdit* reOut;
  QStatusBar* sbrMain;
  // Shown (busy, no text) while a run is in progress; Stop is enabled only then.
  QProgressBar* pbRunning;
  // The searchable operator list, opened by "Ops" beside the listing it prints.
  TarqOpsPanel* OpsPanel() const { return fOps; }

  // Edit actions (category "Edit") and the run shortcut (Ctrl+Enter).
  QAction* acCut;
  QAction* acCpy;
  QAction* acPst;
  QAction* acGo;

  // The text control that last received focus among the input line, the
  // code pane and the output pane; null until one of them is entered.
  QWidget* EditTarget() const { return fEditTarget; }
  QWidget* PasteTarget() const { return fPasteTarget; }

  // Where scripts are kept, relative to the current directory.
  static constexpr const char* kScriptFolder = "TARQScripts";

  // Asks whether to go on with something that discards work (a yes/no
  // question); true to go on. A message box unless replaced (the tests do).
  std::function<bool(const QString& question)> confirm;
  // Chooses a file to open (save false) or to save to, starting in `folder`;
  // empty when cancelled. A file dialog unless replaced.
  std::function<QString(bool save, const QString& folder)> chooseFile;

  // True when the code pane holds edits that are not saved.
  bool CodeUnsaved() const;
  // F1: the help of the operator, control word or directive at the cursor of
  // the code pane or the input line, in the operator help panel. False (and
  // a word in the status bar) when nothing there has help.
  bool ShowHelpAtCursor(QWidget* from);

 public slots:
  void RunInput();   // sbnParse: run the input line
  void RunCode();    // sbnGo: run the code pane
  void Stop();       // bnStop: set the stop flag
  void AllClear();   // bnAllClear: clear output pane, code pane and input line
  TfmTcf* OpenCommandPane();  // sbnCP
  void LoadScript();           // sbnScriptLoad
  void OpenScript();           // sbnScriptOpen
  void SaveScript();           // sbnScriptSave
  void SaveScriptAs();         // sbnScriptSaveAs
  void ClearCode();            // sbnScriptClear
  void RefreshScriptList();    // cbxScriptHistory dropping down
  void ShowNamespace();        // bnNS
  void ClearNamespace();       // bnNSC
  void ShowOperators();        // bnOps
  void ChooseCodeFont();       // sbnScriptFnt
  void ChooseOutputFont();     // sbnFntOut
  void EditCut();
  void EditCopy();
  void EditPaste();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  // Asks before the code pane's unsaved edits are discarded; true to go on.
  bool ConfirmDiscardCode();
  // Puts loaded text in the code pane (then nothing in it is unsaved).
  void SetLoadedCode(const QString& text);
  // The script folder as an absolute path of the system.
  static QString ScriptFolder();
  TarqOpsPanel* EnsureOpsPanel();
  void Run(const QString& text);
  void OnBusy(bool busy);
  void ReadSettings();
  void WriteSettings();
  // The script's path "TARQScripts\<name>.tof" in the language's form (the
  // form the output pane shows; SysPath gives the system's form).
  static QString ScriptPath(const QString& name);

  TarqSession* fSession = nullptr;
  bool fStop = false;
  // Display switches handed to the interpreter; copied from the check boxes
  // at the start of each run (a "$" directive may change them during it).
  bool fTrace = false, fParse = false, fVerbose = false, fComments = false;
  QPointer<QWidget> fEditTarget;
  QPointer<QWidget> fPasteTarget;
  bool fCloseWanted = false;  // closing waits for the run to stop
  QPointer<TarqOpsPanel> fOps;
};
