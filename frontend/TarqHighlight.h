// TarqHighlight: syntax colouring of Tarq text in the code panes, from the
// library's token reader (KLex), so the colours follow exactly what a run
// reads: numbers ("_" is the minus sign), quoted strings (which may run over
// several lines), "#" named operators, punctuation operators, control words
// (":IF", "::", ":?" ...), field names, "$" directives and comments ("$$" to
// the end of the line, "$*" ... "*$" over any number of lines).
#pragma once
#include <QSyntaxHighlighter>
#include <QTextCharFormat>

#include <cstdint>
#include <vector>

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
  // Reads the whole document again.
  void Read();

  QTextCharFormat fFormats[kKinds];
  QString fText;                  // the text fKinds was read from
  std::vector<int8_t> fKinds;     // the colour kind of every character (-1: none)
  std::vector<int32_t> fStarted;  // tokens started before each character
};
