// TarqHighlight: syntax colouring of Tarq text in the code panes. It follows
// the tokenizer's rules closely enough for colouring: numbers ("_" is the
// minus sign), quoted strings (which may run over several lines), "#" named
// operators, punctuation operators, control words (":IF", "::", ":?" ...),
// field names, "$" directives and comments ("$$" to the end of the line,
// "$*" ... "*$" over any number of lines).
#pragma once
#include <QSyntaxHighlighter>
#include <QTextCharFormat>

class TarqHighlighter : public QSyntaxHighlighter {
  Q_OBJECT

 public:
  // Kinds of coloured text; also the index into the format table.
  enum Kind { kNumber, kString, kNamedOp, kOperator, kControl, kField, kDirective, kComment, kKinds };

  explicit TarqHighlighter(QTextDocument* doc);

  const QTextCharFormat& Format(Kind k) const { return fFormats[k]; }
  // Length of the control word at the start of `text` (case ignored, the
  // first word of the control-word table that is a prefix wins); 0 for a
  // bare colon or when `text` does not start with ":".
  static int ControlWordLength(const QString& text, int pos);

 protected:
  void highlightBlock(const QString& text) override;

 private:
  // Block states carried from one line to the next.
  enum State { sNormal = 0, sComment = 1, sQuote1 = 2, sQuote2 = 3 };

  QTextCharFormat fFormats[kKinds];
};
