// TarqWidgets: fixed font, code pane with line numbers, operator list.
#include "TarqWidgets.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QRegularExpression>
#include <QSplitter>
#include <QTextBlock>
#include <QVBoxLayout>

#include "KPlatform.h"
#include "TarqHelp.h"

QFont TarqFixedFont() {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  if (QFontInfo(f).fixedPitch()) return f;
  for (const QString& family : QFontDatabase::families()) {
    if (!QFontDatabase::isFixedPitch(family)) continue;
    QFont candidate(family, f.pointSize() > 0 ? f.pointSize() : 10);
    if (QFontInfo(candidate).fixedPitch()) return candidate;
  }
  f.setStyleHint(QFont::Monospace, QFont::PreferMatch);
  f.setFixedPitch(true);
  return f;
}

int TarqErrorLine(const QString& code, const QString& errorText) {
  static const QRegularExpression position(QStringLiteral("^[^\\n]*\\[(\\d+)\\^(\\d+):(\\d+)\\]"));
  QRegularExpressionMatch m = position.match(errorText);
  if (!m.hasMatch()) return 0;
  const QStringList lines = code.split(QLatin1Char('\n'));
  if (m.captured(1).toInt() == 0) {
    int line = m.captured(2).toInt();
    return line >= 1 && line <= lines.size() ? line : 0;
  }
  // Inside a block: find the line the error shows.
  const QStringList shown = errorText.split(QLatin1Char('\n'));
  if (shown.size() < 2) return 0;
  const QString wanted = shown[1].trimmed();
  if (wanted.isEmpty()) return 0;
  for (int i = 0; i < lines.size(); ++i)
    if (lines[i].contains(wanted)) return i + 1;
  return 0;
}

// ------------------------------------------------------------------ code pane

namespace {

class LineNumberArea : public QWidget {
 public:
  explicit LineNumberArea(TarqCodeEdit* editor) : QWidget(editor), fEditor(editor) {
    setObjectName(QStringLiteral("lineNumbers"));
  }
  QSize sizeHint() const override { return QSize(fEditor->LineNumberWidth(), 0); }

 protected:
  void paintEvent(QPaintEvent* event) override { fEditor->PaintLineNumbers(event); }

 private:
  TarqCodeEdit* fEditor;
};

}  // namespace

TarqCodeEdit::TarqCodeEdit(QWidget* parent) : QPlainTextEdit(parent), fNumbers(new LineNumberArea(this)) {
  connect(this, &QPlainTextEdit::blockCountChanged, this, [this] { UpdateMargin(); });
  connect(this, &QPlainTextEdit::updateRequest, this, &TarqCodeEdit::UpdateArea);
  // Editing the code takes the mark away: it no longer names the error's line.
  connect(document(), &QTextDocument::contentsChange, this, [this](int, int removed, int added) {
    if ((removed || added) && fMarked) MarkErrorLine(0);
  });
  UpdateMargin();
}

int TarqCodeEdit::LineNumberWidth() const {
  int digits = 1;
  for (int n = qMax(1, blockCount()); n >= 10; n /= 10) ++digits;
  return 8 + fontMetrics().horizontalAdvance(QLatin1Char('9')) * qMax(2, digits);
}

void TarqCodeEdit::UpdateMargin() { setViewportMargins(LineNumberWidth(), 0, 0, 0); }

void TarqCodeEdit::UpdateArea(const QRect& rect, int dy) {
  if (dy) {
    fNumbers->scroll(0, dy);
  } else {
    fNumbers->update(0, rect.y(), fNumbers->width(), rect.height());
  }
  if (rect.contains(viewport()->rect())) UpdateMargin();
}

void TarqCodeEdit::resizeEvent(QResizeEvent* event) {
  QPlainTextEdit::resizeEvent(event);
  QRect r = contentsRect();
  fNumbers->setGeometry(QRect(r.left(), r.top(), LineNumberWidth(), r.height()));
}

void TarqCodeEdit::PaintLineNumbers(QPaintEvent* event) {
  QPainter painter(fNumbers);
  painter.fillRect(event->rect(), palette().color(QPalette::AlternateBase));
  QTextBlock block = firstVisibleBlock();
  int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
  int bottom = top + qRound(blockBoundingRect(block).height());
  while (block.isValid() && top <= event->rect().bottom()) {
    if (block.isVisible() && bottom >= event->rect().top()) {
      int line = block.blockNumber() + 1;
      painter.setPen(line == fMarked ? QColor(Qt::red) : palette().color(QPalette::PlaceholderText));
      painter.drawText(0, top, fNumbers->width() - 4, fontMetrics().height(), Qt::AlignRight,
                       QString::number(line));
    }
    block = block.next();
    top = bottom;
    bottom = top + qRound(blockBoundingRect(block).height());
  }
}

void TarqCodeEdit::MarkErrorLine(int line) {
  QList<QTextEdit::ExtraSelection> marks;
  fMarked = 0;
  QTextBlock block = line > 0 ? document()->findBlockByNumber(line - 1) : QTextBlock();
  if (block.isValid()) {
    fMarked = line;
    QTextEdit::ExtraSelection mark;
    mark.format.setBackground(QColor(255, 220, 220));
    mark.format.setProperty(QTextFormat::FullWidthSelection, true);
    mark.cursor = QTextCursor(block);
    marks.append(mark);
    QTextCursor c(block);
    setTextCursor(c);
    ensureCursorVisible();
  }
  setExtraSelections(marks);
  fNumbers->update();
}

// ------------------------------------------------------------------ operators

TarqOpsPanel::TarqOpsPanel(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("fmOps"));
  setWindowTitle(QStringLiteral("TARQ Operators"));
  auto* layout = new QVBoxLayout(this);
  edSearch = new QLineEdit(this);
  edSearch->setObjectName(QStringLiteral("edSearch"));
  edSearch->setPlaceholderText(QStringLiteral("Search operators (symbol or description)"));
  edSearch->setClearButtonEnabled(true);
  auto* split = new QSplitter(Qt::Horizontal, this);
  lsOps = new QListWidget(split);
  lsOps->setObjectName(QStringLiteral("lsOps"));
  lsOps->setFont(TarqFixedFont());
  reHelp = new QPlainTextEdit(split);
  reHelp->setObjectName(QStringLiteral("reHelp"));
  reHelp->setReadOnly(true);
  reHelp->setLineWrapMode(QPlainTextEdit::NoWrap);
  reHelp->setFont(TarqFixedFont());
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 3);
  layout->addWidget(edSearch);
  layout->addWidget(split, 1);
  resize(760, 420);
  Fill();
  connect(edSearch, &QLineEdit::textChanged, this, &TarqOpsPanel::Filter);
  connect(lsOps, &QListWidget::currentRowChanged, this, [this] { ShowCurrent(); });
  if (lsOps->count() > 0) lsOps->setCurrentRow(0);
}

void TarqOpsPanel::Fill() {
  std::vector<int> order = TarqHelp::OperatorsInOrder();
  TarqHelp::Probe(order);
  for (int i : order) {
    const QString symbol = QString::fromStdString(KPlat::Cp1252ToUtf8(TarqHelp::Symbol(i)));
    const bool pending = TarqHelp::AnyPending(i);
    auto* item = new QListWidgetItem(pending ? symbol + QStringLiteral("   (not all built)") : symbol, lsOps);
    item->setData(Qt::UserRole, symbol);
    item->setData(Qt::UserRole + 1, i);
    if (pending) item->setForeground(palette().color(QPalette::PlaceholderText));
  }
}

void TarqOpsPanel::Filter(const QString& text) {
  const QString needle = text.trimmed();
  int firstShown = -1;
  for (int row = 0; row < lsOps->count(); ++row) {
    QListWidgetItem* item = lsOps->item(row);
    const int index = item->data(Qt::UserRole + 1).toInt();
    bool match = needle.isEmpty() || item->data(Qt::UserRole).toString().contains(needle, Qt::CaseInsensitive);
    if (!match) {
      const QString texts = QString::fromStdString(KPlat::Cp1252ToUtf8(TarqHelp::OperatorTexts(index)));
      match = texts.contains(needle, Qt::CaseInsensitive);
    }
    item->setHidden(!match);
    if (match && firstShown < 0) firstShown = row;
  }
  if (lsOps->currentItem() == nullptr || lsOps->currentItem()->isHidden()) {
    if (firstShown >= 0) lsOps->setCurrentRow(firstShown);
  }
}

bool TarqOpsPanel::ShowOperator(const QString& symbol) {
  for (int row = 0; row < lsOps->count(); ++row) {
    if (lsOps->item(row)->data(Qt::UserRole).toString().compare(symbol, Qt::CaseInsensitive) == 0) {
      lsOps->item(row)->setHidden(false);
      lsOps->setCurrentRow(row);
      ShowCurrent();
      return true;
    }
  }
  return false;
}

void TarqOpsPanel::ShowCurrent() {
  QListWidgetItem* item = lsOps->currentItem();
  if (!item) {
    reHelp->clear();
    return;
  }
  const int index = item->data(Qt::UserRole + 1).toInt();
  reHelp->setPlainText(QString::fromStdString(KPlat::Cp1252ToUtf8(TarqHelp::OperatorHelp(index))));
}
