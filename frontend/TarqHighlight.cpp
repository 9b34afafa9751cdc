// TarqHighlight: syntax colouring of Tarq text (see TarqHighlight.h).
#include "TarqHighlight.h"

#include <QColor>
#include <QFont>
#include <QTextDocument>

#include <algorithm>
#include <string>

#include "KLex.h"

namespace {

// The control words in the tokenizer's search order (longer words before
// their prefixes); a bare ":" is not a control word.
const char* const kControlWords[] = {
    "::?", "::", ":BREAK", ":CASE", ":CATCH", ":CONTINUE", ":DEFAULT", ":DO",
    ":ELSEIF", ":ELSE", ":FOR", ":IF", ":RETURN", ":SELECT", ":THROW", ":TRY",
    ":UNTIL", ":WHILE", ":|", ":~", ":->", ":*", ":+", ":??", ":?", ":@&",
    ":<-", ":^", ":!!", ":!", ":-"};

QChar At(const QString& t, int i) { return i < t.size() ? t[i] : QChar(0); }

// The colour a token gets; -1 for names, brackets and separators.
int KindOf(const KLex::Token& t) {
  switch (t.kind) {
    case KLex::Kind::Number: return TarqHighlighter::kNumber;
    case KLex::Kind::Quote:
    case KLex::Kind::Bulk: return TarqHighlighter::kString;
    case KLex::Kind::Operator:
      return KLex::OperatorSymbol(t.op)[0] == '#' ? TarqHighlighter::kNamedOp : TarqHighlighter::kOperator;
    case KLex::Kind::Control: return TarqHighlighter::kControl;
    case KLex::Kind::Field: return TarqHighlighter::kField;
    case KLex::Kind::Directive:
    case KLex::Kind::Display: return TarqHighlighter::kDirective;
    case KLex::Kind::Comment: return TarqHighlighter::kComment;
    default: return -1;
  }
}

}  // namespace

TarqHighlighter::TarqHighlighter(QTextDocument* doc) : QSyntaxHighlighter(doc) {
  fFormats[kNumber].setForeground(QColor(0x8b, 0x00, 0x8b));
  fFormats[kString].setForeground(QColor(0x00, 0x70, 0x00));
  fFormats[kNamedOp].setForeground(QColor(0x00, 0x30, 0xc0));
  fFormats[kNamedOp].setFontWeight(QFont::Bold);
  fFormats[kOperator].setForeground(QColor(0x00, 0x30, 0xc0));
  fFormats[kControl].setForeground(QColor(0xa0, 0x10, 0x10));
  fFormats[kControl].setFontWeight(QFont::Bold);
  fFormats[kField].setForeground(QColor(0x00, 0x80, 0x80));
  fFormats[kDirective].setForeground(QColor(0xb0, 0x60, 0x00));
  fFormats[kComment].setForeground(QColor(0x80, 0x80, 0x80));
  fFormats[kComment].setFontItalic(true);
}

int TarqHighlighter::ControlWordLength(const QString& text, int pos) {
  if (At(text, pos) != ':') return 0;
  for (const char* word : kControlWords) {
    int len = int(qstrlen(word));
    if (QStringView(text).mid(pos, len).compare(QLatin1String(word), Qt::CaseInsensitive) == 0) {
      return len;
    }
  }
  return 0;
}

// One character of the document is one byte of the text read: characters
// beyond Latin-1 stand in as "?" (they colour as a run would read them only
// inside quotes and comments, where any character is text).
void TarqHighlighter::Read() {
  fText = document()->toPlainText();
  std::string text(size_t(fText.size()), '?');
  for (qsizetype i = 0; i < fText.size(); ++i)
    if (fText[i].unicode() < 256) text[size_t(i)] = char(fText[i].unicode());
  KLex::Result r = KLex::Read(text);
  fKinds.assign(text.size() + 1, -1);
  fStarted.assign(text.size() + 1, 0);
  for (const KLex::Token& t : r.tokens) {
    int kind = KindOf(t);
    if (kind >= 0)
      for (uint32_t i = t.start; i < t.end && i < text.size(); ++i) fKinds[i] = int8_t(kind);
    if (t.start < text.size()) ++fStarted[t.start + 1];
  }
  for (size_t i = 1; i < fStarted.size(); ++i) fStarted[i] += fStarted[i - 1];
}

void TarqHighlighter::highlightBlock(const QString& text) {
  const int pos = currentBlock().position(), n = int(text.size());
  // The line being coloured was changed, or lies elsewhere than when the
  // document was last read, or the document's length changed: read again.
  if (fKinds.empty() || fText.size() != document()->characterCount() - 1 || QStringView(fText).mid(pos, n) != text)
    Read();
  for (int i = 0; i < n && size_t(pos + i) < fKinds.size();) {
    int kind = fKinds[size_t(pos + i)], start = i;
    while (i < n && size_t(pos + i) < fKinds.size() && fKinds[size_t(pos + i)] == kind) ++i;
    if (kind >= 0) setFormat(start, i - start, fFormats[kind]);
  }
  // The state is how many tokens started before the line's end and what
  // colours its line break: when an edit above changes either, the lines
  // below are coloured again.
  size_t end = std::min(fKinds.size() - 1, size_t(pos + n));
  setCurrentBlockState(int((fStarted[end] * 16 + (fKinds[end] + 1)) & 0x3FFFFFFF));
}
