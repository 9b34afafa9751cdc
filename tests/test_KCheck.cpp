// Tests for KLex (tokens read without running) and KCheck (the shape of a
// text): every error with its code, text and exact byte range, recovery
// after errors, every warning, and that checking runs nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

#include "KCheck.h"
#include "KLex.h"
#include "KOps.h"
#include "TestHost.h"

namespace {

using KCheck::Severity;

struct Diag {
  char sev;  // 'E' or 'W'
  std::string text;
  uint32_t start, end;
  bool operator==(const Diag& o) const {
    return sev == o.sev && text == o.text && start == o.start && end == o.end;
  }
};

std::ostream& operator<<(std::ostream& os, const Diag& d) {
  return os << d.sev << " [" << d.start << "," << d.end << ") " << d.text;
}

std::vector<Diag> Diags(const std::string& text, bool warnings = true) {
  KCheck::Options o;
  o.warnings = warnings;
  KCheck::Report r = KCheck::Check(text, o);
  std::vector<Diag> out;
  for (const auto& d : r.diagnostics)
    out.push_back({d.severity == Severity::Error ? 'E' : 'W', d.Message(), d.start, d.end});
  return out;
}

std::vector<Diag> Errors(const std::string& text) { return Diags(text, false); }

std::string Kinds(const std::string& text) {
  std::string s;
  for (const KLex::Token& t : KLex::Read(text).tokens) {
    if (!s.empty()) s += ' ';
    s += KLex::KindName(t.kind);
    s += ':' + text.substr(t.start, t.end - t.start) + '@' + std::to_string(t.depth);
  }
  return s;
}

TEST(KLex, GroupsAreExpandedWithAbsoluteRanges) {
  EXPECT_EQ(Kinds("1 + (2 * [x]) {:a}"),
            "Number:1@0 Operator:+@0 Open:(@0 Number:2@1 Operator:*@1 Open:[@1 Symbol:x@2 Close:]@1 Close:)@0 "
            "Open:{@0 Field::a@1 Close:}@0");
  KLex::Result r = KLex::Read("(a)");
  ASSERT_EQ(r.tokens.size(), 3u);
  EXPECT_EQ(r.tokens[0].partner, 2);
  EXPECT_EQ(r.tokens[2].partner, 0);
  EXPECT_EQ(r.tokens[0].groupEnd, 3u);
  EXPECT_TRUE(r.errors.empty());
}

TEST(KLex, KindsOperatorsAndDirectives) {
  EXPECT_EQ(Kinds("'a b' $$ note\n:IF #cos ;$P $ $R|$rtext|"),
            "Quote:'a b'@0 Comment:$$ note@0 Control::IF@0 Operator:#cos@0 Separator:;@0 Directive:$P@0 "
            "Display:$@0 Bulk:$R|$rtext|@0");
  KLex::Result r = KLex::Read("x =>[1] y");
  ASSERT_EQ(r.tokens.size(), 6u);
  // "=>[" gives its bracket back, as a run does.
  EXPECT_EQ(r.tokens[1].op, KOps::iIdxAssign);
  EXPECT_EQ(r.tokens[1].end, 4u);
  EXPECT_EQ(r.tokens[2].kind, KLex::Kind::Open);
  EXPECT_EQ(std::string(KLex::OperatorSymbol(r.tokens[1].op)), "=>[");
  EXPECT_EQ(KLex::OperatorIndex("#cos"), KLex::OperatorIndex("#COS"));
  EXPECT_EQ(KLex::OperatorIndex("#NOSUCH"), -1);
}

TEST(KLex, WritesNoSwitch) {
  bool before = KT::swDummy;
  KLex::Result r = KLex::Read("$** 1 $ 2");
  EXPECT_EQ(r.tokens[0].kind, KLex::Kind::Display);
  EXPECT_EQ(KT::swDummy, before);
}

TEST(KCheck, TokenizerErrorsWithRecovery) {
  // Every error of the text in one pass: an unclosed group, a close without
  // an open, spacing, an unclosed quote (its line), an unclosed comment.
  std::string text = "(1 + 2; 3 +- 4)\n) 'abc\n5 $* x";
  EXPECT_EQ(Errors(text), (std::vector<Diag>{{'E', "Syntax error: Spacing", 10, 11},
                                             {'E', "No Open error: )", 16, 17},
                                             {'E', "No Close error: '", 18, 22},
                                             {'E', "No Close error: *$", 25, 27}}));
  EXPECT_EQ(Errors("(1 2"), (std::vector<Diag>{{'E', "No Close error: )", 0, 1}}));
  EXPECT_EQ(Errors("$r"), (std::vector<Diag>{{'E', "Syntax error: No $R", 0, 2}}));
  EXPECT_EQ(Errors("1 \xC3\xA9 2"), (std::vector<Diag>{{'E', "Syntax error: Invalid character", 2, 4}}));
  EXPECT_EQ(Errors("'\xC3\xA9'"), std::vector<Diag>{});
  EXPECT_EQ(Errors(":1"), (std::vector<Diag>{{'E', "Syntax error: Invalid member", 0, 1}}));
}

TEST(KCheck, ControlStructureErrors) {
  EXPECT_EQ(Errors(":IF {1}"), (std::vector<Diag>{{'E', "Syntax error: need (test)", 4, 7}}));
  EXPECT_EQ(Errors(":WHILE (1)"), (std::vector<Diag>{{'E', "Syntax error: need {}", 0, 10}}));
  EXPECT_EQ(Errors(":FOR (x) 1"), (std::vector<Diag>{{'E', "Syntax error: need {}", 9, 10}}));
  EXPECT_EQ(Errors(":ELSE {1}"), (std::vector<Diag>{{'E', "Syntax error: :ELSE", 0, 5}}));
  EXPECT_EQ(Errors(":: {1}; :TRY {2}"),
            (std::vector<Diag>{{'E', "Syntax error: ::", 0, 2}, {'E', "Syntax error: :TRY", 8, 12}}));
  EXPECT_EQ(Errors(":IF (1) {2} :ELSEIF {3} :ELSE 4"),
            (std::vector<Diag>{{'E', "Syntax error: need (test)", 20, 23}}));
  EXPECT_EQ(Errors(":IF (1) {2} :ELSE 3"), (std::vector<Diag>{{'E', "Syntax error: need {}", 18, 19}}));
  EXPECT_EQ(Errors(":DO {1} :WHILE 3; :DO 4"),
            (std::vector<Diag>{{'E', "Syntax error: need ()", 15, 16}, {'E', "Syntax error: need {}", 22, 23}}));
  EXPECT_EQ(Errors(":SELECT {1}"), (std::vector<Diag>{{'E', "Syntax error: need ()", 8, 11}}));
  EXPECT_EQ(Errors(":SELECT (1) {:CASE (1) {2} :DEFAULT {3} :CASE (2) {4}}"),
            (std::vector<Diag>{{'E', "Syntax error: have default", 40, 45}}));
  EXPECT_EQ(Errors(":SELECT (1) [2] {:CASE {3}}"), (std::vector<Diag>{{'E', "Syntax error: need ()", 23, 26}}));
  // Structures inside groups and bodies are checked too; sound ones pass.
  EXPECT_EQ(Errors("{(:IF 1)}"), (std::vector<Diag>{{'E', "Syntax error: need (test)", 6, 7}}));
  EXPECT_EQ(Errors(":IF (1) {2} :ELSEIF (3) {4} :ELSE {5}; :FOR (x) {x} $$ c\n:SELECT (1) {:| (1) {2} :* {3}}"),
            std::vector<Diag>{});
}

TEST(KCheck, AssignmentAndNiladicErrors) {
  EXPECT_EQ(Errors("1 => 2"), (std::vector<Diag>{{'E', "Value error: Invalid symbol", 5, 6}}));
  EXPECT_EQ(Errors("1 => (x)"), (std::vector<Diag>{{'E', "Value error: Invalid symbol", 5, 8}}));
  EXPECT_EQ(Errors("1 => 'x'"), (std::vector<Diag>{{'E', "Syntax error: =>to symbol only", 5, 8}}));
  EXPECT_EQ(Errors("1 => {2}"), (std::vector<Diag>{{'E', "Syntax error: =>[]to symbol only", 5, 8}}));
  EXPECT_EQ(Errors("1 => ; 2"), (std::vector<Diag>{{'E', "Target error: Type", 2, 4}}));
  EXPECT_EQ(Errors("1 => +"), (std::vector<Diag>{{'E', "Not Supported: Niladic", 5, 6}}));
  EXPECT_EQ(Errors("- 3; 1; + 2"),
            (std::vector<Diag>{{'E', "Not Supported: Niladic", 0, 1}, {'E', "Not Supported: Niladic", 8, 9}}));
  // An operator left alone after a value, where it has no monadic form.
  EXPECT_EQ(Errors("1 ,=>; 1 #NIL + 2"),
            (std::vector<Diag>{{'E', "Not Supported: Monadic", 2, 5}, {'E', "Not Supported: Monadic", 9, 13}}));
  EXPECT_EQ(Errors("x =>[1]; [1] 2"),
            (std::vector<Diag>{{'E', "Not Supported: Type", 2, 4}, {'E', "Not Supported: Type", 9, 12}}));
  EXPECT_EQ(Errors(":f x; :g =>"),
            (std::vector<Diag>{{'E', "Syntax error: ?? operator", 3, 4}, {'E', "Target error: Type", 9, 11}}));
  // Nothing after a flow word runs (in its own text: the block's here).
  EXPECT_EQ(Errors("{:BREAK #NIL ,=>; [1] 2}; 1 ,=>"), (std::vector<Diag>{{'E', "Not Supported: Monadic", 28, 31}}));
  // Targets a run accepts: names, fields, member chains, a reference in hand.
  EXPECT_EQ(Errors("1 => x; 2 => :f; 3 => x.y; @ => r; 1 2 r=>; #NIL => z; #ARGS"), std::vector<Diag>{});
}

TEST(KCheck, ErrorsMatchWhatARunRaises) {
  // The checker's code and text for a text are those of the run's error.
  TestHost host;
  for (const char* text : {":IF {1}", "1 => 2", ":ELSE {1}", "1 +- 2", "(1 2", "1 => 'x'", ":DO 3", "- 3", "1 ,=>",
                           ":f x", "[1] 2", "1 =>[1]"}) {
    std::vector<Diag> d = Errors(text);
    ASSERT_FALSE(d.empty()) << text;
    std::string ran = host.Run(text);
    std::string detail = d[0].text.substr(d[0].text.find(": ") + 2);
    EXPECT_NE(ran.find(detail), std::string::npos) << text << " ran as " << ran;
  }
}

TEST(KCheck, Warnings) {
  EXPECT_EQ(Diags("3 #NOSUCHOP"),
            (std::vector<Diag>{{'W', "\"#NOSUCHOP\" names no operator: it reads as \"#\" followed by \"NOSUCHOP\"", 2,
                                11}}));
  EXPECT_EQ(Diags("1 #cosx").size(), 1u);
  EXPECT_EQ(Diags("1 #cos; 2 # 3"), std::vector<Diag>{});
  EXPECT_EQ(Diags("y + 1; 1 => x; x; __ l__"),
            (std::vector<Diag>{{'W', "\"y\" is read but nothing assigns it (it reads as an empty value)", 0, 1}}));
  // Names are found without regard to case; the session's names count.
  std::unordered_set<std::string> known{"SESSIONNAME"};
  KCheck::Options o;
  o.known = &known;
  EXPECT_TRUE(KCheck::Check("1 => X; x; SessionName", o).diagnostics.empty());
  std::string joined = "1 + 1\n2 + 2";
  EXPECT_EQ(Diags(joined), (std::vector<Diag>{{'W',
                                               "the line break does not end the statement: this value joins the one "
                                               "before it into one strand (end the statement with \";\")",
                                               6, 7}}));
  EXPECT_EQ(Diags("1 + 1;\n2 + 2\n;'f' #PGM {1}; f\n3"), std::vector<Diag>{});
  EXPECT_EQ(Diags("1 2 3 + 10 20 30"),
            (std::vector<Diag>{{'W',
                                "only 10 is the right operand of \"+\": 20 30 join its result (write (10 20 30) for "
                                "them all)",
                                8, 16}}));
  EXPECT_EQ(Diags("1 2 3 + (10 20 30); 1 + 2 - 3"), std::vector<Diag>{}) ;
  EXPECT_EQ(Diags(":SELECT (1) {:CASE (1) {2} 3 4}"),
            (std::vector<Diag>{
                {'W', "the clauses of :SELECT end here: the rest of its braces is never run", 27, 30}}));
}

TEST(KCheck, DefinitionsAndReads) {
  KCheck::Report r = KCheck::Check("'f' #PGM {l__}; \"g\" #OP {1}; 5 => n; n f");
  ASSERT_EQ(r.definitions.size(), 3u);
  EXPECT_EQ(r.definitions[0].name, "f");
  EXPECT_EQ(r.definitions[0].kind, KCheck::DefKind::Program);
  EXPECT_EQ(r.definitions[0].start, 1u);
  EXPECT_EQ(r.definitions[1].kind, KCheck::DefKind::Operator);
  EXPECT_EQ(r.definitions[2].key, "N");
  EXPECT_EQ(r.definitions[2].start, 34u);
  ASSERT_EQ(r.reads.size(), 3u);  // l__, n, f
  EXPECT_EQ(r.reads[1].start, 37u);
}

TEST(KCheck, LineColumnAndFormat) {
  uint32_t line = 0, col = 0;
  KCheck::LineColumn("a\r\n\xC3\xA9x", 5, line, col);
  EXPECT_EQ(line, 2u);
  EXPECT_EQ(col, 2u);
  std::string text = "1;\n:IF {1}";
  EXPECT_EQ(KCheck::Format("f.tq", text, KCheck::Check(text)), "f.tq:2:5: error: Syntax error: need (test)\n");
}

TEST(KCheck, NeverRunsTheText) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("kcheck_" + std::to_string(::getpid())) / "tarq" / "user";
  fs::create_directories(dir);
  fs::path made = dir / "made.txt";
  std::string text = "'" + made.string() + "' #FILE => f; 'abc' ,=> f; f %> $; 'p' #PGM {1}; p";
  KCheck::Report r = KCheck::Check(text);
  EXPECT_FALSE(r.HasErrors());
  EXPECT_FALSE(fs::exists(made));
  // The same text, run, makes the file: the test would see a checker that ran it.
  TestHost host;
  host.Run(text);
  EXPECT_TRUE(fs::exists(made));
  fs::remove_all(dir.parent_path().parent_path());
}

TEST(KCheck, HostileTextsEndQuickly) {
  // Deep nesting costs no stack; many errors stop at the limit.
  std::string deep(3000, '(');
  deep += "1 2";
  deep += std::string(3000, ')');
  KCheck::Report d = KCheck::Check(deep);
  EXPECT_FALSE(d.HasErrors());
  // Groups beyond the depth limit stay whole.
  EXPECT_EQ(d.lex.tokens.size(), 2 * KLex::kMaxDepth + 2);
  EXPECT_EQ(d.lex.tokens[KLex::kMaxDepth].groupEnd, 3003u + 3000u - KLex::kMaxDepth);
  std::string opens(5000, '(');
  KCheck::Report r = KCheck::Check(opens);
  EXPECT_EQ(r.lex.errors.size(), KLex::kMaxErrors);
  EXPECT_TRUE(r.lex.truncated);
  std::string zeros("1 \0 2", 5);
  EXPECT_TRUE(KCheck::Check(zeros).HasErrors());
}

}  // namespace
