// Tests for TarqHighlight: which kind of colouring each piece of Tarq text
// gets, including comments and strings that run over several lines.
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QtTest>

#include <QTextCursor>

#include "TarqHighlight.h"

namespace {

// The colouring kind at a (line, column), or -1 for plain text.
int KindAt(const QTextDocument& doc, const TarqHighlighter& h, int line, int col) {
  const QTextBlock block = doc.findBlockByNumber(line);
  for (const QTextLayout::FormatRange& r : block.layout()->formats()) {
    if (col >= r.start && col < r.start + r.length) {
      for (int k = 0; k < TarqHighlighter::kKinds; ++k) {
        if (r.format == h.Format(TarqHighlighter::Kind(k))) return k;
      }
      return -2;
    }
  }
  return -1;
}

}  // namespace

class TestTarqHighlight : public QObject {
  Q_OBJECT

 private slots:
  void tokensOnOneLine();
  void controlWordsAndFields();
  void multiLineCommentsAndStrings();
  void directivesAndDisplay();
  void editsAboveRecolourBelow();

 private:
  // Highlights `text` and checks each (line, column, kind) triple.
  struct Expect { int line, col, kind; };
  void Check(const QString& text, std::initializer_list<Expect> expects) {
    QTextDocument doc;
    TarqHighlighter h(&doc);
    doc.setPlainText(text);
    h.rehighlight();
    for (const Expect& e : expects) {
      QVERIFY2(KindAt(doc, h, e.line, e.col) == e.kind,
               qPrintable(QStringLiteral("line %1 col %2: got %3 want %4 in %5")
                              .arg(e.line).arg(e.col).arg(KindAt(doc, h, e.line, e.col)).arg(e.kind)
                              .arg(text)));
    }
  }
};

using K = TarqHighlighter;

void TestTarqHighlight::tokensOnOneLine() {
  //      0123456789012345678901234567890
  Check("_3.5e_2 + x1 #COS 'a;b' 1..5",
        {{0, 0, K::kNumber}, {0, 6, K::kNumber}, {0, 8, K::kOperator}, {0, 10, -1}, {0, 11, -1},
         {0, 13, K::kNamedOp}, {0, 16, K::kNamedOp}, {0, 18, K::kString}, {0, 21, K::kString},
         {0, 23, -1}, {0, 24, K::kNumber}, {0, 25, K::kOperator}, {0, 26, K::kOperator},
         {0, 27, K::kNumber}});
  // ".5" is a number, "x.y" a field selector, "\"q'x\"" one string.
  Check(".5 x.y \"q'x\"", {{0, 0, K::kNumber}, {0, 1, K::kNumber}, {0, 3, -1},
                         {0, 4, K::kField}, {0, 5, K::kField}, {0, 7, K::kString}, {0, 11, K::kString}});
}

void TestTarqHighlight::controlWordsAndFields() {
  QCOMPARE(K::ControlWordLength(QStringLiteral(":IFFY"), 0), 3);
  QCOMPARE(K::ControlWordLength(QStringLiteral("x :elseif"), 2), 7);
  QCOMPARE(K::ControlWordLength(QStringLiteral("::? a"), 0), 3);
  QCOMPARE(K::ControlWordLength(QStringLiteral(":?? 1"), 0), 3);
  QCOMPARE(K::ControlWordLength(QStringLiteral(":-> 1"), 0), 3);
  QCOMPARE(K::ControlWordLength(QStringLiteral(":Size"), 0), 0);
  QCOMPARE(K::ControlWordLength(QStringLiteral("abc"), 0), 0);
  //      0123456789012345678
  Check(":IF x :Size ::y :?",
        {{0, 0, K::kControl}, {0, 2, K::kControl}, {0, 4, -1}, {0, 6, K::kField}, {0, 10, K::kField},
         {0, 12, K::kControl}, {0, 13, K::kControl}, {0, 14, -1}, {0, 16, K::kControl}});
  // ":IFFY" is ":IF" followed by the symbol FY.
  Check(":IFFY", {{0, 2, K::kControl}, {0, 3, -1}});
}

void TestTarqHighlight::multiLineCommentsAndStrings() {
  Check("1 $* one\ntwo *$ 2\n'open\nstill' 3 $$ rest 'x'\n4",
        {{0, 0, K::kNumber}, {0, 2, K::kComment}, {0, 7, K::kComment}, {1, 0, K::kComment},
         {1, 5, K::kComment}, {1, 7, K::kNumber}, {2, 0, K::kString}, {2, 4, K::kString},
         {3, 0, K::kString}, {3, 5, K::kString}, {3, 7, K::kNumber}, {3, 9, K::kComment},
         {3, 18, K::kComment}, {4, 0, K::kNumber}});
}

// An edit above recolours the lines below it: a quote opened on the first
// line turns the next lines into text until the quote closes.
void TestTarqHighlight::editsAboveRecolourBelow() {
  QTextDocument doc;
  TarqHighlighter h(&doc);
  doc.setPlainText(QStringLiteral("1\n2\n3' 4"));
  h.rehighlight();
  QCOMPARE(KindAt(doc, h, 1, 0), int(K::kNumber));
  QTextCursor c(&doc);
  c.movePosition(QTextCursor::Start);
  c.insertText(QStringLiteral("'"));
  h.rehighlightBlock(doc.firstBlock());  // as the edited line is coloured again
  QCOMPARE(KindAt(doc, h, 1, 0), int(K::kString));
  QCOMPARE(KindAt(doc, h, 2, 0), int(K::kString));
  QCOMPARE(KindAt(doc, h, 2, 3), int(K::kNumber));
  c.deletePreviousChar();
  h.rehighlightBlock(doc.firstBlock());
  QCOMPARE(KindAt(doc, h, 1, 0), int(K::kNumber));
}

void TestTarqHighlight::directivesAndDisplay() {
  //      0123456789012
  Check("$T 1 $** 2 $",
        {{0, 0, K::kDirective}, {0, 1, K::kDirective}, {0, 3, K::kNumber}, {0, 5, K::kDirective},
         {0, 7, K::kDirective}, {0, 9, K::kNumber}, {0, 11, K::kDirective}});
}

QTEST_MAIN(TestTarqHighlight)
#include "test_TarqHighlight.moc"
