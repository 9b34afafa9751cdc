// TarqMain: the main window (see TarqMain.h).
#include "TarqMain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTextBlock>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <type_traits>

#include "KPlatform.h"
#include "TarqHelp.h"
#include "Tcf.h"
#include "TarqHighlight.h"

namespace {

// What each control does, under its hint in the tooltip (the captions and
// hints are short; this says what happens).
const char* WhatItDoes(const char* name) {
  static const std::pair<const char*, const char*> kWhat[] = {
      {"sbnParse", "Runs the input line (Return in the line does too)."},
      {"sbnCP", "Opens a command pane: one more code pane on the same names and output."},
      {"bnStop", "Stops the script that is running."},
      {"bnAllClear", "Clears the output pane, the code pane and the input line (asks first when the code is not saved)."},
      {"bnParseClr", "Clears the input line."},
      {"sbnGo", "Runs the code pane (Ctrl+Enter does too)."},
      {"ckAutoClr", "Clears the output pane before each run."},
      {"sbnScriptLoad", "Loads the script named in the list from the TARQScripts folder into the code pane."},
      {"sbnScriptOpen", "Chooses a script file to load into the code pane."},
      {"sbnScriptSave",
       "Saves the code pane as the script named in the list, in the TARQScripts folder (the previous version "
       "is kept as NAME.~tf)."},
      {"sbnScriptSaveAs", "Chooses a file to save the code pane in."},
      {"cbxScriptHistory", "The name of the script Ld loads and Sv saves; the list shows the TARQScripts folder."},
      {"sbnScriptFnt", "Chooses the code pane's font."},
      {"sbnScriptClear", "Clears the code pane (asks first when it is not saved)."},
      {"sbnPrintScript", "Prints the code pane."},
      {"sbnFntOut", "Chooses the output pane's font."},
      {"sbnClear", "Clears the output pane."},
      {"sbnOutPrint", "Prints the output pane."},
      {"ckParsing", "Writes a line for every token the interpreter reads."},
      {"ckTrace", "Writes a line for every value the interpreter works out."},
      {"ckVerbose", "Shows results with their type and shape."},
      {"ckComments", "Writes the script's comments to the output as they pass."},
      {"bnNSC", "Clears every name of the namespace (asks first)."},
      {"bnNS", "Lists the names of the namespace with their values."},
      {"bnOps", "Lists the operators and opens the operator help."},
      {"reScript", "The script. Ctrl+Enter runs it; F1 shows the help of the operator under the cursor."},
      {"reOut", "What scripts print, their results and their errors."},
  };
  for (const auto& [n, what] : kWhat)
    if (std::string(n) == name) return what;
  return nullptr;
}

// Builds a control, names it after its role and gives it its hint, with
// what it does on the line under it.
template <class W>
W* Make(QWidget* parent, const char* name, const QString& caption, const char* hint) {
  W* w = new W(parent);
  w->setObjectName(QLatin1String(name));
  if constexpr (requires { w->setText(caption); }) {
    if (!caption.isEmpty()) w->setText(caption);
  }
  QString tip = hint ? QLatin1String(hint) : QString();
  if (const char* what = WhatItDoes(name)) tip += (tip.isEmpty() ? QString() : QStringLiteral("\n")) + QLatin1String(what);
  if (!tip.isEmpty()) w->setToolTip(tip);
  if constexpr (std::is_same_v<W, QPushButton>) {
    // Short captions make small buttons.
    w->setMaximumWidth(w->fontMetrics().horizontalAdvance(caption) + 28);
  }
  return w;
}

QToolButton* MakeTool(QWidget* parent, const char* name, QStyle::StandardPixmap icon, const char* hint) {
  auto* b = Make<QToolButton>(parent, name, QString(), hint);
  b->setIcon(parent->style()->standardIcon(icon));
  b->setAutoRaise(true);
  return b;
}

// System path of a path in the language's form ("\" separated), in the
// system's 8-bit encoding.
std::string SysPath(const QString& path) { return KPlat::ToSystemPath(QFile::encodeName(path).toStdString()); }

}  // namespace

void TarqScriptBox::showPopup() {
  emit dropDown();
  QComboBox::showPopup();
}

// ------------------------------------------------------------------ window

TfmTarq::TfmTarq(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("fmTarq"));
  confirm = [this](const QString& question) {
    return QMessageBox::question(this, windowTitle(), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  chooseFile = [this](bool save, const QString& folder) {
    const QString filter = QStringLiteral("Tarq scripts (*.tof);;All files (*)");
    return save ? QFileDialog::getSaveFileName(this, QStringLiteral("Save Script As"), folder, filter)
                : QFileDialog::getOpenFileName(this, QStringLiteral("Open Script"), folder, filter);
  };
  BuildControls();
  fSession = new TarqSession(reOut, this);
  connect(fSession, &TarqSession::busyChanged, this, &TfmTarq::OnBusy);
  setWindowTitle(QString::asprintf("TARQ Interpreter: Ver %u.%u.%u.%u", unsigned(TARQ_VERSION_MAJOR),
                                   unsigned(TARQ_VERSION_MINOR), unsigned(TARQ_VERSION_PATCH),
                                   unsigned(TARQ_VERSION_TWEAK)));
  ReadSettings();
}

TfmTarq::~TfmTarq() {
  // Panes run through the session: they go before it does.
  qDeleteAll(CommandPanes());
  delete fSession;
  fSession = nullptr;
}

QList<TfmTcf*> TfmTarq::CommandPanes() const {
  return findChildren<TfmTcf*>(QString(), Qt::FindDirectChildrenOnly);
}

void TfmTarq::BuildControls() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(3);
  const QFont fixed = TarqFixedFont();

  // Input line row.
  pnl1 = new QWidget(central);
  pnl1->setObjectName(QStringLiteral("pnl1"));
  auto* row1 = new QHBoxLayout(pnl1);
  row1->setContentsMargins(0, 0, 0, 0);
  sbnParse = MakeTool(pnl1, "sbnParse", QStyle::SP_MediaPlay, "Go TARQ");
  sbnCP = MakeTool(pnl1, "sbnCP", QStyle::SP_FileDialogDetailedView, "Command Pane");
  edIn = Make<QLineEdit>(pnl1, "edIn", QStringLiteral("'Hello World'"), nullptr);
  edIn->setFont(fixed);
  bnStop = Make<QPushButton>(pnl1, "bnStop", QStringLiteral("&Stop"), "Stop execution");
  bnAllClear = Make<QPushButton>(pnl1, "bnAllClear", QStringLiteral("AC"), "All Clear");
  bnParseClr = Make<QPushButton>(pnl1, "bnParseClr", QStringLiteral("Clr"), "All Clear");
  row1->addWidget(sbnParse);
  row1->addWidget(sbnCP);
  row1->addWidget(edIn, 1);
  row1->addWidget(bnStop);
  row1->addWidget(bnAllClear);
  row1->addWidget(bnParseClr);
  layout->addWidget(pnl1);

  // Script row and code pane.
  auto* codeBox = new QWidget(central);
  auto* codeLayout = new QVBoxLayout(codeBox);
  codeLayout->setContentsMargins(0, 0, 0, 0);
  codeLayout->setSpacing(3);
  auto* row2 = new QHBoxLayout();
  sbnGo = MakeTool(codeBox, "sbnGo", QStyle::SP_MediaPlay, "Go TARQ");
  ckAutoClr = Make<QCheckBox>(codeBox, "ckAutoClr", QStringLiteral("Auto Clr"), nullptr);
  ckAutoClr->setChecked(true);
  sbnScriptLoad = Make<QPushButton>(codeBox, "sbnScriptLoad", QStringLiteral("Ld"), "Load Script");
  sbnScriptOpen = MakeTool(codeBox, "sbnScriptOpen", QStyle::SP_DialogOpenButton, "Open Script...");
  sbnScriptSave = Make<QPushButton>(codeBox, "sbnScriptSave", QStringLiteral("Sv"), "Save Scrpt");
  sbnScriptSaveAs = MakeTool(codeBox, "sbnScriptSaveAs", QStyle::SP_DialogSaveButton, "Save Script As...");
  cbxScriptHistory = new TarqScriptBox(codeBox);
  cbxScriptHistory->setObjectName(QStringLiteral("cbxScriptHistory"));
  cbxScriptHistory->setToolTip(QStringLiteral("Script line to parse\n") +
                               QLatin1String(WhatItDoes("cbxScriptHistory")));
  cbxScriptHistory->setEditable(true);
  cbxScriptHistory->setInsertPolicy(QComboBox::NoInsert);
  cbxScriptHistory->addItem(QStringLiteral("Test Script"));
  cbxScriptHistory->setMaxVisibleItems(15);
  cbxScriptHistory->setMinimumContentsLength(16);
  sbnScriptFnt = Make<QPushButton>(codeBox, "sbnScriptFnt", QStringLiteral("Fnt"), "Script Code Font");
  sbnScriptClear = Make<QPushButton>(codeBox, "sbnScriptClear", QStringLiteral("Clr"), "Clear Code Pane");
  sbnPrintScript = Make<QPushButton>(codeBox, "sbnPrintScript", QStringLiteral("Prt"), "Print Code Pane");
  sbnPrintScript->setEnabled(false);
  for (QWidget* w : {static_cast<QWidget*>(sbnGo), static_cast<QWidget*>(ckAutoClr),
                     static_cast<QWidget*>(sbnScriptLoad), static_cast<QWidget*>(sbnScriptOpen),
                     static_cast<QWidget*>(sbnScriptSave), static_cast<QWidget*>(sbnScriptSaveAs),
                     static_cast<QWidget*>(cbxScriptHistory), static_cast<QWidget*>(sbnScriptFnt),
                     static_cast<QWidget*>(sbnScriptClear), static_cast<QWidget*>(sbnPrintScript)}) {
    row2->addWidget(w);
  }
  row2->addStretch(1);
  codeLayout->addLayout(row2);
  reScript = Make<TarqCodeEdit>(codeBox, "reScript", QString(), "Code Pane");
  reScript->setFont(fixed);
  reScript->setTabChangesFocus(false);
  reScript->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reScript->setLineWrapMode(QPlainTextEdit::NoWrap);
  reScript->setCenterOnScroll(false);
  new TarqHighlighter(reScript->document());
  codeLayout->addWidget(reScript, 1);

  // Output row and output pane.
  auto* outBox = new QWidget(central);
  auto* outLayout = new QVBoxLayout(outBox);
  outLayout->setContentsMargins(0, 0, 0, 0);
  outLayout->setSpacing(3);
  auto* row3 = new QHBoxLayout();
  sbnFntOut = Make<QPushButton>(outBox, "sbnFntOut", QStringLiteral("Fnt"), "Change font");
  sbnClear = Make<QPushButton>(outBox, "sbnClear", QStringLiteral("Clr"), "Clear Output Pane");
  sbnOutPrint = Make<QPushButton>(outBox, "sbnOutPrint", QStringLiteral("Prt"), "Print Output Pane");
  sbnOutPrint->setEnabled(false);
  ckParsing = Make<QCheckBox>(outBox, "ckParsing", QStringLiteral("Parsing"), "Show Parsing");
  ckTrace = Make<QCheckBox>(outBox, "ckTrace", QStringLiteral("Trace"), "Trace parsing values");
  ckVerbose = Make<QCheckBox>(outBox, "ckVerbose", QStringLiteral("Verbose"), "Show result detail");
  ckComments = Make<QCheckBox>(outBox, "ckComments", QStringLiteral("Comments"), "Show Comments in Output");
  bnNSC = Make<QPushButton>(outBox, "bnNSC", QStringLiteral("NSC"), "Clear Namespace");
  bnNS = Make<QPushButton>(outBox, "bnNS", QStringLiteral("NS"), "Show Namespace");
  bnOps = Make<QPushButton>(outBox, "bnOps", QStringLiteral("Ops"), "Show Operators");
  for (QWidget* w : {static_cast<QWidget*>(sbnFntOut), static_cast<QWidget*>(sbnClear),
                     static_cast<QWidget*>(sbnOutPrint), static_cast<QWidget*>(ckParsing),
                     static_cast<QWidget*>(ckTrace), static_cast<QWidget*>(ckVerbose),
                     static_cast<QWidget*>(ckComments), static_cast<QWidget*>(bnNSC),
                     static_cast<QWidget*>(bnNS), static_cast<QWidget*>(bnOps)}) {
    row3->addWidget(w);
  }
  row3->addStretch(1);
  outLayout->addLayout(row3);
  reOut = Make<QPlainTextEdit>(outBox, "reOut", QString(), "Output Pane");
  reOut->setFont(fixed);
  reOut->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reOut->setLineWrapMode(QPlainTextEdit::NoWrap);
  reOut->setUndoRedoEnabled(false);
  outLayout->addWidget(reOut, 1);

  auto* split = new QSplitter(Qt::Vertical, central);
  split->setObjectName(QStringLiteral("splitter"));
  split->addWidget(codeBox);
  split->addWidget(outBox);
  split->setChildrenCollapsible(false);
  split->setStretchFactor(0, 2);
  split->setStretchFactor(1, 2);
  layout->addWidget(split, 1);
  setCentralWidget(central);

  sbrMain = new QStatusBar(this);
  sbrMain->setObjectName(QStringLiteral("sbrMain"));
  setStatusBar(sbrMain);
  pbRunning = new QProgressBar(sbrMain);
  pbRunning->setObjectName(QStringLiteral("pbRunning"));
  pbRunning->setToolTip(QStringLiteral("Running"));
  pbRunning->setRange(0, 0);  // busy: an indicator, not a measure
  pbRunning->setTextVisible(false);
  pbRunning->setMaximumWidth(160);
  pbRunning->setVisible(false);
  sbrMain->addPermanentWidget(pbRunning);
  bnStop->setEnabled(false);

  // Edit actions work on the edit / paste target, wherever the focus is.
  acCut = new QAction(QStringLiteral("Cut"), this);
  acCut->setObjectName(QStringLiteral("acCut"));
  acCpy = new QAction(QStringLiteral("Copy"), this);
  acCpy->setObjectName(QStringLiteral("acCpy"));
  acPst = new QAction(QStringLiteral("Paste"), this);
  acPst->setObjectName(QStringLiteral("acPst"));
  acGo = new QAction(QStringLiteral("Go TARQ"), this);
  acGo->setObjectName(QStringLiteral("acGo"));
  acCut->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
  acCpy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
  acPst->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
  acGo->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
  for (QAction* a : {acCut, acCpy, acPst}) {
    a->setToolTip(a->text());
    a->setProperty("category", QStringLiteral("Edit"));
    addAction(a);
  }
  addAction(acGo);
  connect(acCut, &QAction::triggered, this, &TfmTarq::EditCut);
  connect(acCpy, &QAction::triggered, this, &TfmTarq::EditCopy);
  connect(acPst, &QAction::triggered, this, &TfmTarq::EditPaste);
  connect(acGo, &QAction::triggered, this, &TfmTarq::RunCode);

  // Entering a text control makes it the edit and paste target; its own
  // Cut/Copy/Paste keys go through the edit actions.
  for (QWidget* w : {static_cast<QWidget*>(edIn), static_cast<QWidget*>(reScript),
                     static_cast<QWidget*>(reOut)}) {
    w->installEventFilter(this);
  }

  connect(sbnParse, &QToolButton::clicked, this, &TfmTarq::RunInput);
  connect(edIn, &QLineEdit::returnPressed, this, &TfmTarq::RunInput);
  connect(sbnCP, &QToolButton::clicked, this, &TfmTarq::OpenCommandPane);
  connect(bnStop, &QPushButton::clicked, this, &TfmTarq::Stop);
  connect(bnAllClear, &QPushButton::clicked, this, &TfmTarq::AllClear);
  connect(bnParseClr, &QPushButton::clicked, edIn, &QLineEdit::clear);
  connect(sbnGo, &QToolButton::clicked, this, &TfmTarq::RunCode);
  connect(sbnScriptLoad, &QPushButton::clicked, this, &TfmTarq::LoadScript);
  connect(sbnScriptOpen, &QToolButton::clicked, this, &TfmTarq::OpenScript);
  connect(sbnScriptSave, &QPushButton::clicked, this, &TfmTarq::SaveScript);
  connect(sbnScriptSaveAs, &QToolButton::clicked, this, &TfmTarq::SaveScriptAs);
  connect(cbxScriptHistory, &TarqScriptBox::dropDown, this, &TfmTarq::RefreshScriptList);
  connect(sbnScriptFnt, &QPushButton::clicked, this, &TfmTarq::ChooseCodeFont);
  connect(sbnScriptClear, &QPushButton::clicked, this, &TfmTarq::ClearCode);
  connect(sbnFntOut, &QPushButton::clicked, this, &TfmTarq::ChooseOutputFont);
  connect(sbnClear, &QPushButton::clicked, reOut, &QPlainTextEdit::clear);
  connect(bnNSC, &QPushButton::clicked, this, &TfmTarq::ClearNamespace);
  connect(bnNS, &QPushButton::clicked, this, &TfmTarq::ShowNamespace);
  connect(bnOps, &QPushButton::clicked, this, &TfmTarq::ShowOperators);
}

// ------------------------------------------------------------------ runs

void TfmTarq::Run(const QString& text) {
  if (fSession->Busy()) return;
  fTrace = ckTrace->isChecked();
  fParse = ckParsing->isChecked();
  fVerbose = ckVerbose->isChecked();
  fComments = ckComments->isChecked();
  TarqRunSpec spec;
  spec.trace = &fTrace;
  spec.parse = &fParse;
  spec.verbose = &fVerbose;
  spec.comments = &fComments;
  spec.stop = &fStop;
  spec.clearFirst = ckAutoClr->isChecked();
  spec.resultLine = true;
  spec.wrapName = "DoIt:";
  fSession->Run(text, spec);
}

void TfmTarq::RunInput() { Run(edIn->text()); }

void TfmTarq::RunCode() {
  const QString code = reScript->toPlainText();
  reScript->MarkErrorLine(0);
  Run(code);
  const QString error = fSession->LastError();
  if (!error.isEmpty()) reScript->MarkErrorLine(TarqErrorLine(code, error));
}

void TfmTarq::Stop() { fStop = true; }

void TfmTarq::OnBusy(bool busy) {
  // No second run while one is in progress, and nothing that changes the
  // namespace under it.
  for (QWidget* w : {static_cast<QWidget*>(sbnParse), static_cast<QWidget*>(sbnGo),
                     static_cast<QWidget*>(bnNSC), static_cast<QWidget*>(bnNS),
                     static_cast<QWidget*>(bnOps)}) {
    w->setEnabled(!busy);
  }
  acGo->setEnabled(!busy);
  bnStop->setEnabled(busy);
  pbRunning->setVisible(busy);
  if (!busy && fCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
}

void TfmTarq::AllClear() {
  if (!ConfirmDiscardCode()) return;
  reOut->clear();
  reScript->clear();
  reScript->document()->setModified(false);
  edIn->clear();
}

void TfmTarq::ClearCode() {
  if (!ConfirmDiscardCode()) return;
  reScript->clear();
  reScript->document()->setModified(false);
}

bool TfmTarq::CodeUnsaved() const {
  return reScript->document()->isModified() && !reScript->document()->isEmpty();
}

bool TfmTarq::ConfirmDiscardCode() {
  if (!CodeUnsaved()) return true;
  return confirm(QStringLiteral("The code pane has changes that are not saved. Discard them?"));
}

void TfmTarq::SetLoadedCode(const QString& text) {
  reScript->setPlainText(text);
  reScript->document()->setModified(false);
}

TfmTcf* TfmTarq::OpenCommandPane() {
  auto* pane = new TfmTcf(fSession, this);
  pane->show();
  return pane;
}

// ------------------------------------------------------------------ namespace

void TfmTarq::ShowNamespace() { fSession->ShowNamespace(ckVerbose->isChecked()); }

void TfmTarq::ClearNamespace() {
  if (fSession->HasNames() && !confirm(QStringLiteral("Clear every name in the namespace?"))) return;
  fSession->ClearNamespace();
}

TarqOpsPanel* TfmTarq::EnsureOpsPanel() {
  if (!fOps) {
    fOps = new TarqOpsPanel(this);
    fOps->setWindowFlags(Qt::Tool);
  }
  fOps->show();
  fOps->raise();
  return fOps;
}

void TfmTarq::ShowOperators() {
  fSession->ShowOperators();
  EnsureOpsPanel();
}

bool TfmTarq::ShowHelpAtCursor(QWidget* from) {
  QString line;
  int column = 0;
  if (auto* edit = qobject_cast<QPlainTextEdit*>(from)) {
    const QTextCursor c = edit->textCursor();
    line = c.block().text();
    column = c.positionInBlock();
  } else if (auto* input = qobject_cast<QLineEdit*>(from)) {
    line = input->text();
    column = input->cursorPosition();
  }
  // One character per character inside (Windows-1252), so the column holds.
  const std::string text = TarqSession::ToTarq(line);
  std::string topic = TarqHelp::TopicAt(text, size_t(column));
  if (topic.empty() && column > 0) topic = TarqHelp::TopicAt(text, size_t(column - 1));  // just after it
  if (topic.empty()) {
    sbrMain->showMessage(QStringLiteral("No operator, control word or directive at the cursor"), 4000);
    return false;
  }
  TarqOpsPanel* panel = EnsureOpsPanel();
  const QString symbol = TarqSession::FromTarq(topic);
  if (TarqHelp::FindKeyword(topic) >= 0 || !panel->ShowOperator(symbol))
    panel->reHelp->setPlainText(TarqSession::FromTarq(TarqHelp::HelpFor(topic)));
  return true;
}

// ------------------------------------------------------------------ scripts

QString TfmTarq::ScriptPath(const QString& name) {
  return QStringLiteral("%1\\%2.tof").arg(QLatin1String(kScriptFolder), name);
}

QString TfmTarq::ScriptFolder() { return QDir::current().absoluteFilePath(QLatin1String(kScriptFolder)); }

// The file is read before anything is discarded: a name that is no file
// leaves the code pane as it was.
void TfmTarq::LoadScript() {
  const QString name = cbxScriptHistory->currentText();
  std::string bytes;
  if (!KPlat::ReadFile(SysPath(ScriptPath(name)), bytes)) {
    fSession->Append(QStringLiteral("Invalid file"));
    return;
  }
  if (!ConfirmDiscardCode()) return;
  SetLoadedCode(TarqSession::FromFileBytes(bytes));
  fSession->Append(QStringLiteral("File Loaded:"));
  fSession->Append(name);
}

void TfmTarq::OpenScript() {
  const QString folder = QDir(ScriptFolder()).exists() ? ScriptFolder() : QDir::currentPath();
  const QString path = chooseFile(false, folder);
  if (path.isEmpty()) return;
  std::string bytes;
  if (!KPlat::ReadFile(QFile::encodeName(path).toStdString(), bytes)) {
    fSession->Append(QStringLiteral("Invalid file"));
    return;
  }
  if (!ConfirmDiscardCode()) return;
  SetLoadedCode(TarqSession::FromFileBytes(bytes));
  const QFileInfo info(path);
  // A script of the script folder becomes the name Ld and Sv use.
  if (info.suffix() == QStringLiteral("tof") && info.absolutePath() == ScriptFolder())
    cbxScriptHistory->setEditText(info.completeBaseName());
  fSession->Append(QStringLiteral("File Loaded:"));
  fSession->Append(path);
}

void TfmTarq::SaveScriptAs() {
  if (!QDir(ScriptFolder()).exists()) QDir::current().mkdir(QLatin1String(kScriptFolder));
  const QString path = chooseFile(true, ScriptFolder());
  if (path.isEmpty()) return;
  const QByteArray utf8 = reScript->toPlainText().toUtf8();
  if (!KPlat::WriteFile(QFile::encodeName(path).toStdString(), std::string(utf8.constData(), size_t(utf8.size())))) {
    fSession->Append(QStringLiteral("File not Saved:"));
    fSession->Append(path);
    return;
  }
  reScript->document()->setModified(false);
  fSession->Append(QStringLiteral("File Saved:"));
  fSession->Append(path);
}

void TfmTarq::SaveScript() {
  const QString name = cbxScriptHistory->currentText();
  const QString path = ScriptPath(name);
  const std::string sysPath = SysPath(path);
  if (!KPlat::FileExists(kScriptFolder)) KPlat::MakeDir(kScriptFolder);
  if (KPlat::FileExists(sysPath)) {
    // The previous version stays in the current directory as "<name>.~tf".
    const QString backup = QFileInfo(QFile::decodeName(sysPath.c_str())).completeBaseName() + QStringLiteral(".~tf");
    KPlat::RenameFile(sysPath, SysPath(backup));
  }
  const QByteArray utf8 = reScript->toPlainText().toUtf8();
  if (!KPlat::WriteFile(sysPath, std::string(utf8.constData(), size_t(utf8.size())))) {
    // Never report a failed save as saved.
    fSession->Append(QStringLiteral("File not Saved:"));
    fSession->Append(path);
    return;
  }
  reScript->document()->setModified(false);
  fSession->Append(QStringLiteral("File Saved:"));
  fSession->Append(path);
}

void TfmTarq::RefreshScriptList() {
  QStringList names;
  if (!fSession->ScriptNames(names)) return;
  const QString current = cbxScriptHistory->currentText();
  cbxScriptHistory->clear();
  cbxScriptHistory->addItems(names);
  cbxScriptHistory->setEditText(current);
}

// ------------------------------------------------------------------ fonts

void TfmTarq::ChooseCodeFont() {
  bool ok = false;
  QFont f = QFontDialog::getFont(&ok, reScript->font(), this, QStringLiteral("Script Code Font"));
  if (ok) reScript->setFont(f);
}

void TfmTarq::ChooseOutputFont() {
  bool ok = false;
  QFont f = QFontDialog::getFont(&ok, reOut->font(), this, QStringLiteral("Change font"));
  if (ok) reOut->setFont(f);
}

void TfmTarq::ReadSettings() {
  QSettings s;
  if (s.contains(QStringLiteral("main/geometry"))) {
    restoreGeometry(s.value(QStringLiteral("main/geometry")).toByteArray());
  } else {
    resize(820, 640);
  }
  for (auto [key, pane] : {std::pair<const char*, QPlainTextEdit*>{"main/codeFont", reScript},
                           std::pair<const char*, QPlainTextEdit*>{"main/outFont", reOut}}) {
    QFont f;
    const QString text = s.value(QLatin1String(key)).toString();
    if (!text.isEmpty() && f.fromString(text)) pane->setFont(f);
  }
}

void TfmTarq::WriteSettings() {
  QSettings s;
  s.setValue(QStringLiteral("main/geometry"), saveGeometry());
  s.setValue(QStringLiteral("main/codeFont"), reScript->font().toString());
  s.setValue(QStringLiteral("main/outFont"), reOut->font().toString());
}

void TfmTarq::closeEvent(QCloseEvent* event) {
  if (fSession->Busy()) {
    // The run holds pointers into this window: stop it and close after it.
    fStop = true;
    for (TfmTcf* pane : CommandPanes()) pane->Stop();
    fCloseWanted = true;
    event->ignore();
    return;
  }
  fCloseWanted = false;
  if (!ConfirmDiscardCode()) {
    event->ignore();
    return;
  }
  WriteSettings();
  for (TfmTcf* pane : CommandPanes()) pane->close();
  event->accept();
}

// ------------------------------------------------------------------ editing

bool TfmTarq::eventFilter(QObject* watched, QEvent* event) {
  auto* w = qobject_cast<QWidget*>(watched);
  if (event->type() == QEvent::FocusIn) {
    fEditTarget = w;
    fPasteTarget = w;
  } else if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->matches(QKeySequence::Copy)) {
      acCpy->trigger();
      return true;
    }
    if (key->matches(QKeySequence::Cut)) {
      acCut->trigger();
      return true;
    }
    if (key->matches(QKeySequence::Paste)) {
      acPst->trigger();
      return true;
    }
    if (key->key() == Qt::Key_F1 && (watched == reScript || watched == edIn)) {
      ShowHelpAtCursor(w);
      return true;
    }
    if (watched == reScript && (key->modifiers() & Qt::ControlModifier) &&
        (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
      RunCode();
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void TfmTarq::EditCut() {
  if (!fEditTarget) {
    QApplication::beep();
    return;
  }
  if (auto* line = qobject_cast<QLineEdit*>(fEditTarget.data())) {
    line->cut();
  } else if (auto* text = qobject_cast<QPlainTextEdit*>(fEditTarget.data())) {
    text->cut();
  }
}

void TfmTarq::EditCopy() {
  if (!fEditTarget) {
    QApplication::beep();
    return;
  }
  if (auto* line = qobject_cast<QLineEdit*>(fEditTarget.data())) {
    if (!line->hasSelectedText()) line->selectAll();
    line->copy();
  } else if (auto* text = qobject_cast<QPlainTextEdit*>(fEditTarget.data())) {
    if (!text->textCursor().hasSelection()) text->selectAll();
    text->copy();
  }
}

void TfmTarq::EditPaste() {
  if (!fPasteTarget) return;
  if (auto* line = qobject_cast<QLineEdit*>(fPasteTarget.data())) {
    line->paste();
  } else if (auto* text = qobject_cast<QPlainTextEdit*>(fPasteTarget.data())) {
    text->paste();
  }
}
