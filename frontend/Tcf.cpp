// Tcf: the command pane (see Tcf.h).
#include "Tcf.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "TarqHighlight.h"
#include "TarqWidgets.h"
#include "TarqSession.h"

TfmTcf::TfmTcf(TarqSession* session, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowStaysOnTopHint), fSession(session) {
  setObjectName(QStringLiteral("fmTcf"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("TARQ Command"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(3, 3, 3, 3);
  layout->setSpacing(3);
  pnlTop = new QWidget(this);
  pnlTop->setObjectName(QStringLiteral("pnlTop"));
  auto* top = new QHBoxLayout(pnlTop);
  top->setContentsMargins(0, 0, 0, 0);
  sbnGoTARQ = new QToolButton(pnlTop);
  sbnGoTARQ->setObjectName(QStringLiteral("sbnGoTARQ"));
  sbnGoTARQ->setToolTip(QStringLiteral("go TARQ"));
  sbnGoTARQ->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
  sbnGoTARQ->setAutoRaise(true);
  ckAutoClr = new QCheckBox(QStringLiteral("Auto Clear"), pnlTop);
  ckAutoClr->setObjectName(QStringLiteral("ckAutoClr"));
  ckAutoClr->setToolTip(QStringLiteral("Auto Clear"));
  ckAutoClr->setChecked(false);
  bnStop = new QPushButton(QStringLiteral("&Stop"), pnlTop);
  bnStop->setObjectName(QStringLiteral("bnStop"));
  bnClr = new QPushButton(QStringLiteral("&Clr"), pnlTop);
  bnClr->setObjectName(QStringLiteral("bnClr"));
  bnClr->setToolTip(QStringLiteral("Clear"));
  top->addWidget(sbnGoTARQ);
  top->addWidget(ckAutoClr);
  top->addStretch(1);
  top->addWidget(bnStop);
  top->addWidget(bnClr);
  layout->addWidget(pnlTop);

  reScript = new QPlainTextEdit(this);
  reScript->setObjectName(QStringLiteral("reScript"));
  reScript->setToolTip(QStringLiteral("Code Pane"));
  reScript->setFont(TarqFixedFont());
  reScript->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  reScript->setTabChangesFocus(false);
  reScript->setLineWrapMode(QPlainTextEdit::NoWrap);
  reScript->installEventFilter(this);
  new TarqHighlighter(reScript->document());
  layout->addWidget(reScript, 1);
  resize(420, 220);

  connect(sbnGoTARQ, &QToolButton::clicked, this, &TfmTcf::Run);
  connect(bnStop, &QPushButton::clicked, this, &TfmTcf::Stop);
  connect(bnClr, &QPushButton::clicked, this, &TfmTcf::Clear);
  connect(fSession, &TarqSession::busyChanged, this, [this](bool busy) {
    sbnGoTARQ->setEnabled(!busy);
    bnStop->setEnabled(busy);  // there is something to stop only while a run is going
    if (!busy && fCloseWanted) QTimer::singleShot(0, this, &QWidget::close);
  });
  sbnGoTARQ->setEnabled(!fSession->Busy());
  bnStop->setEnabled(fSession->Busy());
}

void TfmTcf::Run() {
  if (fSession->Busy()) return;
  TarqRunSpec spec;
  spec.stop = &fStop;  // the pane's own flag; no display switches
  spec.clearFirst = ckAutoClr->isChecked();
  spec.resultLine = false;
  spec.name = "root";
  spec.wrapName = "root";
  spec.unknownText = "Unknown Error";
  fRunning = true;
  fSession->Run(reScript->toPlainText(), spec);
  fRunning = false;
}

void TfmTcf::Stop() { fStop = true; }

void TfmTcf::Clear() { reScript->clear(); }

void TfmTcf::closeEvent(QCloseEvent* event) {
  if (fRunning) {
    // The run reads this pane's stop flag: stop it and close after it.
    fStop = true;
    fCloseWanted = true;
    event->ignore();
    return;
  }
  event->accept();
}

bool TfmTcf::eventFilter(QObject* watched, QEvent* event) {
  if (watched == reScript && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if ((key->modifiers() & Qt::ControlModifier) &&
        (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
      Run();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}
