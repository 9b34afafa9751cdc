// TarqHighlight: syntax colouring of Tarq text (see TarqHighlight.h).
#include "TarqHighlight.h"

#include <QColor>
#include <QFont>

namespace {

// The control words in the tokenizer's search order (longer words before
// their prefixes); a bare ":" is not a control word.
const char* const kControlWords[] = {
    "::?", "::", ":BREAK", ":CASE", ":CATCH", ":CONTINUE", ":DEFAULT", ":DO",
    ":ELSEIF", ":ELSE", ":FOR", ":IF", ":RETURN", ":SELECT", ":THROW", ":TRY",
    ":UNTIL", ":WHILE", ":|", ":~", ":->", ":*", ":+", ":??", ":?", ":@&",
    ":<-", ":^", ":!!", ":!", ":-"};

bool IsLetter(QChar c) {
  ushort u = c.unicode();
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}
bool IsDigit(QChar c) {
  ushort u = c.unicode();
  return (u >= '0' && u <= '9') || u == '_';
}
bool IsOpChar(QChar c) {
  return c.unicode() < 128 && QByteArrayView("`,+-<>?~!|=@#%&*^\\/").contains(char(c.unicode()));
}

// The character at i, or a zero past the end.
QChar At(const QString& t, int i) { return i < t.size() ? t[i] : QChar(0); }

// End of a numeric literal that starts at i (digits, underscores, a "."
// not followed by another ".", an exponent "e" followed by a digit, "+"
// or "_").
int NumberEnd(const QString& t, int i) {
  int n = t.size();
  while (i < n) {
    QChar c = t[i];
    if (IsDigit(c)) {
      ++i;
    } else if (c == '.' && At(t, i + 1) != '.') {
      ++i;
    } else if ((c == 'e' || c == 'E') && (IsDigit(At(t, i + 1)) || At(t, i + 1) == '+')) {
      i += 2;
    } else {
      break;
    }
  }
  return i;
}

int WordEnd(const QString& t, int i) {
  while (i < t.size() && (IsLetter(t[i]) || IsDigit(t[i]))) ++i;
  return i;
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

void TarqHighlighter::highlightBlock(const QString& text) {
  const int n = int(text.size());
  int i = 0;
  int state = previousBlockState() < 0 ? sNormal : previousBlockState();

  // Continue a comment or a string from the previous line.
  if (state == sComment) {
    int end = int(text.indexOf(QLatin1String("*$")));
    if (end < 0) {
      setFormat(0, n, fFormats[kComment]);
      setCurrentBlockState(sComment);
      return;
    }
    i = end + 2;
    setFormat(0, i, fFormats[kComment]);
  } else if (state == sQuote1 || state == sQuote2) {
    QChar q = state == sQuote1 ? QChar('\'') : QChar('"');
    int end = int(text.indexOf(q));
    if (end < 0) {
      setFormat(0, n, fFormats[kString]);
      setCurrentBlockState(state);
      return;
    }
    i = end + 1;
    setFormat(0, i, fFormats[kString]);
  }

  state = sNormal;
  while (i < n) {
    QChar c = text[i], c1 = At(text, i + 1);
    int start = i;
    if (c == '$') {
      if (c1 == '$') {  // comment to the end of the line
        setFormat(i, n - i, fFormats[kComment]);
        break;
      }
      if (c1 == '*' && !(At(text, i + 2) == '*' && At(text, i + 3) != '*')) {
        int end = int(text.indexOf(QLatin1String("*$"), i + 2));
        if (end < 0) {
          setFormat(i, n - i, fFormats[kComment]);
          state = sComment;
          break;
        }
        i = end + 2;
        setFormat(start, i - start, fFormats[kComment]);
        continue;
      }
      i += (c1 == '*') ? 3 : (IsLetter(c1) ? 2 : 1);
      setFormat(start, i - start, fFormats[kDirective]);
    } else if (c == '\'' || c == '"') {
      int end = int(text.indexOf(c, i + 1));
      if (end < 0) {
        setFormat(i, n - i, fFormats[kString]);
        state = c == '\'' ? sQuote1 : sQuote2;
        break;
      }
      i = end + 1;
      setFormat(start, i - start, fFormats[kString]);
    } else if (IsDigit(c) || (c == '.' && IsDigit(c1))) {
      i = NumberEnd(text, i + 1);
      setFormat(start, i - start, fFormats[kNumber]);
    } else if (IsLetter(c)) {
      i = WordEnd(text, i);
    } else if (c == ':') {
      int len = ControlWordLength(text, i);
      if (len > 1) {
        i += len;
        setFormat(start, i - start, fFormats[kControl]);
      } else if (IsLetter(c1)) {
        i = WordEnd(text, i + 1);
        setFormat(start, i - start, fFormats[kField]);
      } else {
        ++i;
      }
    } else if (c == '.' && IsLetter(c1)) {
      i = WordEnd(text, i + 1);
      setFormat(start, i - start, fFormats[kField]);
    } else if (c == '#' && IsLetter(c1)) {
      i = WordEnd(text, i + 1);
      setFormat(start, i - start, fFormats[kNamedOp]);
    } else if (IsOpChar(c) || c == '.') {
      while (i < n && (IsOpChar(text[i]) || text[i] == '.')) ++i;
      setFormat(start, i - start, fFormats[kOperator]);
    } else {
      ++i;
    }
  }
  setCurrentBlockState(state);
}
