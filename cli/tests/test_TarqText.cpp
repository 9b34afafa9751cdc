// Script text at the host boundary: byte-order marks, characters
// Windows-1252 cannot hold, and open groups for continuation lines.
#include "TarqText.h"

#include <gtest/gtest.h>

using TarqText::FromScriptBytes;
using TarqText::FromUtf8;
using TarqText::IsOpen;

TEST(TarqText, ByteOrderMarkIsDroppedOnlyAtTheStart) {
  EXPECT_EQ(FromScriptBytes("\xEF\xBB\xBF" "5").text, "5");
  EXPECT_EQ(FromScriptBytes("\xEF\xBB\xBF").text, "");
  // Not at the start: U+FEFF cannot be held, and outside quotes it is an error.
  auto d = FromScriptBytes("5\xEF\xBB\xBF");
  EXPECT_TRUE(d.invalid);
}

TEST(TarqText, HeldCharactersConvertAndWindows1252BytesPassThrough) {
  auto d = FromScriptBytes("'caf\xC3\xA9 \xE2\x82\xAC'");  // café €, UTF-8
  EXPECT_FALSE(d.invalid);
  EXPECT_FALSE(d.replaced);
  EXPECT_EQ(d.text, "'caf\xE9 \x80'");
  auto raw = FromScriptBytes("'caf\xE9'");  // not UTF-8: already Windows-1252
  EXPECT_EQ(raw.text, "'caf\xE9'");
  EXPECT_FALSE(raw.invalid);
}

TEST(TarqText, UnheldCharacterInCodeIsPositionedSyntaxError) {
  auto d = FromUtf8("1 + 2;\n3 + \xE2\x9C\x93 4");  // a check mark on line 2, column 5
  ASSERT_TRUE(d.invalid);
  EXPECT_NE(d.error.find("[0^2:5]"), std::string::npos) << d.error;
  EXPECT_NE(d.error.find("\r\n3 + ? 4\r\n    ^\r\n"), std::string::npos) << d.error;
  EXPECT_NE(d.error.find("Syntax error\r\nInvalid character"), std::string::npos);
  // The first one counts.
  auto two = FromUtf8("\xE2\x9C\x93 \xE2\x9C\x93");
  EXPECT_NE(two.error.find("[0^1:1]"), std::string::npos) << two.error;
}

TEST(TarqText, UnheldCharacterInQuotesOrCommentsBecomesQuestionMark) {
  for (const char* s : {"'\xE2\x9C\x93'", "\"a\xE2\x9C\x93\"", "1 $$ \xE2\x9C\x93", "1 $* \xE2\x9C\x93 *$ 2",
                        "'$$' $$ \xE2\x9C\x93"}) {
    auto d = FromUtf8(s);
    EXPECT_FALSE(d.invalid) << s;
    EXPECT_TRUE(d.replaced) << s;
  }
  EXPECT_EQ(FromUtf8("'\xE2\x9C\x93'").text, "'?'");
  // The comment ends at the line end and the quote at its own closing quote.
  EXPECT_TRUE(FromUtf8("1 $$ x\n\xE2\x9C\x93").invalid);
  EXPECT_TRUE(FromUtf8("'a' \xE2\x9C\x93").invalid);
  EXPECT_TRUE(FromUtf8("\"it's\" \xE2\x9C\x93").invalid);
  // "$**" is the verbose directive, not a comment.
  EXPECT_TRUE(FromUtf8("$** \xE2\x9C\x93").invalid);
  // A plain "?" is the random operator, nothing to report.
  auto q = FromUtf8("5 ?");
  EXPECT_FALSE(q.invalid || q.replaced);
}

TEST(TarqText, BrokenUtf8InTypedTextIsNotHeld) {
  auto d = FromUtf8("1 \xC3");
  EXPECT_TRUE(d.invalid);
}

TEST(TarqText, OpenGroupsQuotesAndComments) {
  EXPECT_FALSE(IsOpen("1 + 2"));
  EXPECT_TRUE(IsOpen("(1 + "));
  EXPECT_TRUE(IsOpen("{:IF (x) {"));
  EXPECT_TRUE(IsOpen("v["));
  EXPECT_TRUE(IsOpen("'abc"));
  EXPECT_TRUE(IsOpen("$* note"));
  EXPECT_FALSE(IsOpen("'(' , ')' $$ ("));
  EXPECT_FALSE(IsOpen("{1}\n"));
  EXPECT_FALSE(IsOpen(")"));  // a stray closer is the interpreter's error to report
}

// A control structure that still waits for its block continues on the next
// line as an open group does; a complete one (or a field) does not.
TEST(TarqText, ControlStructureWaitingForAPartNeedsABody) {
  using TarqText::NeedsBody;
  for (const char* waiting : {":WHILE (c)", ":while (i < 3)", ":IF (x)", ":IF (x) {1} :ELSE", ":IF (x) {1} ::",
                              ":IF (x) {1} :ELSEIF (y)", ":FOR (a)", ":SELECT (x)", ":SELECT (x) [:all]",
                              ":DO", "1 => n; :WHILE (n < 5)", ":?? (c)"})
    EXPECT_TRUE(NeedsBody(waiting)) << waiting;
  for (const char* complete : {"", "1 + 2", ":WHILE (c) {1}", ":IF (x) {1} :ELSE {2}", "x :typec",
                               "(:IF (x))", "':WHILE (c)'", ":DO {1} :WHILE (c)", ":BREAK", ":WHILE (c) {1}; 2",
                               "$$ :WHILE (c)", ":SELECT (x) [:all] {:CASE (1) {2}}", ":FOR (a) 5"})
    EXPECT_FALSE(NeedsBody(complete)) << complete;
}
