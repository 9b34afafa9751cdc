// TarqWidgets: the desktop program's own widgets and helpers: the fixed-pitch
// font, the code pane with line numbers and an error-line mark, the searchable
// operator list, and the mapping from an error text to a line of the code.
#pragma once
#include <QFont>
#include <QPlainTextEdit>
#include <QWidget>

class QLineEdit;
class QListWidget;

// The system's fixed font as Qt reports it, checked to be fixed-pitch; when it
// is not, the first fixed-pitch family installed (the size kept); when there
// is none, the system font with a monospace style hint.
QFont TarqFixedFont();

// The 1-based line of `code` an interpreter error text points at, or 0. A
// position block of the outermost text ("[0^L:C]") names the line; inside a
// block the position counts from the block, so the line shown in the error
// is looked up in the code instead.
int TarqErrorLine(const QString& code, const QString& errorText);

// A code pane with line numbers in a margin and one marked line.
class TarqCodeEdit : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TarqCodeEdit(QWidget* parent = nullptr);

  // Marks `line` (1-based) and puts the cursor at its start; 0 clears the mark.
  void MarkErrorLine(int line);
  int MarkedLine() const { return fMarked; }
  int LineNumberWidth() const;
  void PaintLineNumbers(QPaintEvent* event);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void UpdateMargin();
  void UpdateArea(const QRect& rect, int dy);

  QWidget* fNumbers;
  int fMarked = 0;
};

// The operator list: a search box, the operators whose symbol or form texts
// match, and the help text of the chosen one (what ")help OP" prints in
// tarqsh). Operators with forms not built yet are marked in the list.
class TarqOpsPanel : public QWidget {
  Q_OBJECT

 public:
  explicit TarqOpsPanel(QWidget* parent = nullptr);

  QLineEdit* edSearch;
  QListWidget* lsOps;
  QPlainTextEdit* reHelp;

  // Shows the help of the operator written `symbol`; false when there is none.
  bool ShowOperator(const QString& symbol);

 public slots:
  void Filter(const QString& text);

 private:
  void Fill();
  void ShowCurrent();
};
