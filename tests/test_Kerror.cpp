// Error objects and the position block of script errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "Kerror.h"

namespace {
// A parse state over `text` with the token [tokStart, tokEnd) cut in place.
struct Pos {
  std::string buf;
  KPosState ps;
  Pos(const std::string& text, size_t tokStart, size_t tokEnd, size_t lineStart) : buf(text) {
    buf.push_back('\0');
    ps.code = buf.data();
    ps.countStart = buf.data();
    ps.lineStart = buf.data() + lineStart;
    ps.tokenEnd = buf.data() + tokEnd;
    ps.saved = buf[tokEnd];
    buf[tokEnd] = '\0';
    ps.scan = buf.data() + tokStart;
  }
};
}  // namespace

TEST(KError, MessageFormats) {
  KError plain(KT::eValue, "Alignment");
  EXPECT_EQ(plain.message, "Alignment");
  EXPECT_EQ(plain.AsString(), "Value error:Alignment");
  KError located(KT::eNotSupp, "Type", "Interpreter/KB", 42);
  EXPECT_EQ(located.message, "Type:Interpreter/KB[42]");
  KError sys(std::string("boom"), "Interpreter/KB", 7);
  EXPECT_EQ(sys.code, KT::eSystem);
  EXPECT_EQ(sys.message, "System:boom:Interpreter/KB[7]");
}

TEST(KError, LastErrorUsesErrno) {
  errno = ENOENT;
  std::string t = KError::LastError();
  EXPECT_EQ(t, std::string("Err(2):") + std::strerror(ENOENT));
}

TEST(KPErrLine, CountsCrLfOnceAndLfLfTwice) {
  int line = 0, col = 0;
  const char a[] = "ab\r\ncd\n\nef";
  KPErr::line(a, a + 4, line, col);
  EXPECT_EQ(line, 1);
  EXPECT_EQ(col, 0);
  KPErr::line(a, a + 10, line, col);
  EXPECT_EQ(line, 3);
  EXPECT_EQ(col, 2);
  const char b[] = "x\n\ry";
  KPErr::line(b, b + 4, line, col);
  EXPECT_EQ(line, 1);  // LF CR counts once
}

TEST(KPErrText, ThirdLineFirstColumnShowsLoneCaret) {
  std::string text = "1;\r\n2;\r\nfoo bar";
  size_t at = text.find("foo");
  Pos p(text, at, at + 1, at);
  p.ps.name = "root";
  KPErr e("x", KT::eSyntax, &p.ps, "Spacing");
  EXPECT_EQ(e.AsString(false), "root[0^3:1]\r\nfoo bar\r\n^\r\nSyntax error\r\nSpacing");
  EXPECT_EQ(p.buf[at + 1], '\0');  // the terminator is back in place
}

TEST(KPErrText, TabsShownAsBlanksAndCaretUnderToken) {
  std::string text = "a\tbc + d";
  size_t at = text.find('+');
  Pos p(text, at, at + 1, 0);
  p.ps.depth = 2;
  KPErr e("", KT::eValue, &p.ps, "Type");
  EXPECT_EQ(e.AsString(true), "[2^1:6]\r\na bc + d\r\n     ^\r\nValue error\r\nType");
  e.Prepend(&p.ps);
  EXPECT_EQ(e.text.rfind("[2^1:6]\r\n", 0), 0u);
}

TEST(KPErrText, TokenPutBackCountsLinesToItsEnd) {
  // A block over two lines, put back: the scan position stands before it.
  std::string text = "1 =\n{1\n}";
  size_t start = text.find('{');
  Pos p(text, start, text.size(), text.rfind('\n') + 1);
  p.ps.scan = p.buf.data() + 3;  // the previous token start, on line 1
  KPErr e("", KT::eNotSupp, &p.ps, "Monadic");
  EXPECT_EQ(e.AsString(false), "[0^3:1]\r\n}\r\n^\r\nNot Supported\r\nMonadic");
}
