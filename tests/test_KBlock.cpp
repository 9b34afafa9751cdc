// Tests for KBlock: images and copies of code values, the operations blocks
// refuse, bracketedBy, the control records, and what scripts cannot show
// from one run: the namespace chain after errors, the depth error, and the
// stop request inside loops and user operators. Script behaviour is in the
// golden files tests/golden/control.tq and tests/golden/blocks.tq.
#include <gtest/gtest.h>

#include <string>

#include "KBlock.h"
#include "KNS.h"
#include "KNum.h"
#include "KParser.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"
#include "TestHost.h"

namespace {

using Host = TestHost;

bool HasPrefix(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

std::string Text(KB* v) { return v ? KB::TextOf(v) : std::string("(null)"); }

int Kind(KB* rec) {
  EXPECT_TRUE(rec && KSeq::IsSeq(rec));
  KB* k = (*static_cast<KSeq*>(rec))[0];
  EXPECT_TRUE(k && k->typen() == KT::tNum);
  return static_cast<KNum*>(k)->AsInt();
}

KB* At(KB* rec, int i) { return (*static_cast<KSeq*>(rec))[i]; }

// Parses the control structure at the start of `text` into a record.
KSeq* Record(const std::string& text) {
  KParser p(static_cast<KSeq*>(nullptr), "t");
  p.fCmdSet(text);
  return KBlock::CtlParse(p.PParser());
}

// The code and message of the error CtlParse raises for `text`.
std::string ParseError(const std::string& text) {
  try {
    KSeq* r = Record(text);
    KB::DoneWith(r);
  } catch (KError& e) {
    return std::to_string(e.code) + " " + e.message.substr(0, e.message.find(":Interpreter"));
  }
  return "(no error)";
}

// Sets the host's stop flag once the interpreter has breathed `after` times.
struct StopAfter {
  bool* flag;
  int left;
  static void Hook(void* ctx) {
    auto* s = static_cast<StopAfter*>(ctx);
    if (s->left > 0 && --s->left == 0) *s->flag = true;
  }
  StopAfter(bool* f, int after) : flag(f), left(after) { KB::SetBreatheHook(&Hook, this); }
  ~StopAfter() { KB::SetBreatheHook(nullptr, nullptr); }
  StopAfter(const StopAfter&) = delete;
  StopAfter& operator=(const StopAfter&) = delete;
};

}  // namespace

// ------------------------------------------------------------ values

TEST(KBlockImage, ProgramRoundTrip) {
  KPgm p;
  p.CodeSet("{1 + n => n}", false);
  KString* ex = new KString("x");
  p.EXSet(ex);
  KB::DoneWith(ex);
  KA v;
  v.Owns(new KNum(static_cast<int32_t>(5)));
  p.NSGet()->Put("n", v.value, KT::ntSymbol);

  std::string img = p.SO();
  ASSERT_EQ(static_cast<int>(img.size()), p.SOSz());
  EXPECT_EQ(img.size(), 4u + 12u + 1u + 24u);
  EXPECT_EQ(static_cast<unsigned char>(img[0]), KT::tPgm);
  EXPECT_EQ(img.substr(1, 3), std::string(3, '\0'));
  EXPECT_EQ(KB::GetI32(img.data() + 4), 41);
  EXPECT_EQ(KB::GetI32(img.data() + 8), 5);
  EXPECT_EQ(KB::GetI32(img.data() + 12), 13);
  EXPECT_EQ(KB::GetI32(img.data() + 16), 2);
  EXPECT_EQ(img.substr(20), std::string("Pgm:\0{1 + n => n}\0x\0\0", 21));

  KA back;
  back.Owns(KBlock::SI(img.data()));
  ASSERT_EQ(back.Type(), KT::tPgm);
  KBlock* b = back.As<KBlock>();
  EXPECT_EQ(Text(b->TypeGet()), "Pgm:");
  EXPECT_EQ(Text(b->Code()), "{1 + n => n}");
  EXPECT_EQ(Text(b->EXGet()), "x");
  EXPECT_EQ(b->NSGet()->Count(), 0);  // the namespace is not part of the image
  EXPECT_EQ(b->SO(), img);
}

TEST(KBlockImage, OperatorAndBlockImagesAndBadType) {
  KOpUD op;
  op.CodeSet("{l__}", false);
  KA back;
  back.Owns(KBlock::SI(op.SO().data()));
  EXPECT_EQ(back.Type(), KT::tOpUD);
  EXPECT_EQ(Text(back.As<KBlock>()->Code()), "{l__}");

  KBlock blk("anon:");
  std::string img = blk.SO();
  EXPECT_EQ(img.size(), 5u + 24u);
  back.Owns(KBlock::SI(img.data()));
  EXPECT_EQ(back.Type(), KT::tBlock);
  EXPECT_EQ(Text(back.As<KBlock>()->TypeGet()), "anon:");

  img[0] = static_cast<char>(KT::tNum);
  try {
    KBlock::SI(img.data());
    FAIL() << "no error";
  } catch (KError& e) {
    EXPECT_EQ(e.code, KT::eValue);
    EXPECT_TRUE(HasPrefix(e.message, "Not Block")) << e.message;
  }
}

TEST(KBlockValue, CopiesShareCodeButNotTheNamespace) {
  KA hold;
  KBlock* b = new KBlock("anon:");
  hold.Owns(b);
  b->CodeSet("{a}", false);
  KA v;
  v.Owns(new KNum(static_cast<int32_t>(1)));
  b->NSGet()->Put("a", v.value, KT::ntSymbol);

  KA c;
  c.Owns(b->Clone());
  KBlock* cb = c.As<KBlock>();
  EXPECT_EQ(cb->Code(), b->Code());  // the same string object
  EXPECT_NE(cb->NSGet(), b->NSGet());
  EXPECT_EQ(cb->NSGet()->Count(), 0);
  EXPECT_EQ(cb->FirstGet(), 1);

  KOpUD op(b);
  EXPECT_EQ(Text(op.TypeGet()), "Op:");
  EXPECT_EQ(op.Code(), b->Code());
  KA pc;
  pc.Owns(KPgm(b).Clone());
  EXPECT_EQ(pc.Type(), KT::tPgm);

  b->CodeSet("{xyz}", true);  // strip drops the outer characters
  EXPECT_EQ(Text(b->Code()), "xyz");
  EXPECT_EQ(Text(cb->Code()), "{a}");  // the copy keeps the old text
}

TEST(KBlockValue, RefusedOperationsRaiseNotImplemented) {
  KBlock b("anon:");
  KNum one(static_cast<int32_t>(1));
  auto expect6 = [](const char* what, auto fn) {
    try {
      fn();
      ADD_FAILURE() << what << ": no error";
    } catch (KError& e) {
      EXPECT_EQ(e.code, KT::eNotImpl) << what;
      EXPECT_TRUE(HasPrefix(e.message, std::string(what) + ":")) << e.message;
    }
  };
  expect6("Clear", [&] { b.Clear(); });
  expect6("Dump", [&] { b.Dump(); });
  expect6("Catenate", [&] { b.Catenate(&one); });
  expect6("IndexedBy", [&] { b.IndexedBy(&one); });
  expect6("IdxAssign", [&] { b.IdxAssign(&one, &one); });
  expect6("operator[]", [&] { b[0]; });
  expect6("operator=", [&] { static_cast<KB&>(b) = one; });
  try {
    b.NSSet(static_cast<KB*>(&one));
    ADD_FAILURE() << "NSSet: no error";
  } catch (KError& e) {
    EXPECT_EQ(e.code, KT::eSystem);
    EXPECT_TRUE(HasPrefix(e.message, "Not NS")) << e.message;
  }
}

TEST(KBlockValue, BracketedBy) {
  int start = -1, len = -1;
  const char* text = "  {a {b} '}' \"{\" $$ } note\n $* } *$ c} tail";
  ASSERT_TRUE(KBlock::bracketedBy(text, "{}", start, len));
  EXPECT_EQ(start, 3);
  EXPECT_EQ(std::string(text + start, static_cast<size_t>(len)), "a {b} '}' \"{\" $$ } note\n $* } *$ c");
  EXPECT_FALSE(KBlock::bracketedBy("x{}", "{}", start, len));
  EXPECT_FALSE(KBlock::bracketedBy("{a {b}", "{}", start, len));
  EXPECT_TRUE(KBlock::bracketedBy("(1)", "()", start, len));
  EXPECT_EQ(len, 1);
}

// ------------------------------------------------------------ control records

TEST(KBlockControl, RecordsOfIfSelectAndDo) {
  KA r;
  r.Owns(Record(":IF (a) {b} :ELSEIF (c) {d} :ELSE {e}; rest"));
  ASSERT_EQ(Kind(r.value), KT::ctIf);
  ASSERT_EQ(r.Cnt(), 4);
  EXPECT_EQ(Kind(At(r.value, 1)), KT::ctIf);
  EXPECT_EQ(Text(At(At(r.value, 1), 1)), "(a)");
  EXPECT_EQ(Text(At(At(r.value, 1), 2)), "{b}");
  EXPECT_EQ(Kind(At(r.value, 2)), KT::ctElseIf);
  EXPECT_EQ(Kind(At(r.value, 3)), KT::ctElse);
  EXPECT_EQ(Text(At(At(r.value, 3), 1)), "(#true)");
  EXPECT_EQ(Text(At(At(r.value, 3), 2)), "{e}");

  r.Owns(Record(":^ (x) [:all] { :| (1) {a} :BREAK :* {d} } tail"));
  ASSERT_EQ(Kind(r.value), KT::ctSelect);
  EXPECT_EQ(Text(At(r.value, 1)), "(x)");
  EXPECT_EQ(Text(At(r.value, 2)), "[:all]");
  KB* clauses = At(r.value, 3);
  ASSERT_EQ(clauses->Count(), 3);
  EXPECT_EQ(Kind(At(clauses, 0)), KT::ctCase);
  EXPECT_EQ(Text(At(At(clauses, 0), 2)), "{a}");
  EXPECT_EQ(Kind(At(clauses, 1)), KT::ctBreak);  // a clause that never matches
  EXPECT_EQ(At(clauses, 1)->Count(), 1);
  EXPECT_EQ(Kind(At(clauses, 2)), KT::ctDefault);
  EXPECT_EQ(Text(At(At(clauses, 2), 1)), "{d}");

  r.Owns(Record(":SELECT (x) { :CASE (1) {a} other :CASE (2) {b} }"));
  EXPECT_EQ(Text(At(r.value, 2)), "[]");
  EXPECT_EQ(At(r.value, 3)->Count(), 1);  // the first non-control token ends the list

  r.Owns(Record(":DO {b}; x"));
  ASSERT_EQ(Kind(r.value), KT::ctDo);
  KB* pair = At(r.value, 1);
  ASSERT_EQ(pair->Count(), 2);
  EXPECT_EQ(Kind(At(pair, 0)), KT::ctDo);
  EXPECT_EQ(Text(At(At(pair, 0), 1)), "{b}");
  EXPECT_EQ(Kind(At(pair, 1)), KT::ctWhile);
  EXPECT_EQ(Text(At(At(pair, 1), 1)), "(#true)");
  r.Owns(Record(":+ {b} $$ note\n :?? (t)"));
  EXPECT_EQ(Text(At(At(At(r.value, 1), 1), 1)), "(t)");

  r.Owns(Record(":@& (x) {y}"));
  EXPECT_EQ(Kind(r.value), KT::ctFor);
  EXPECT_EQ(Text(At(r.value, 1)), "(x)");
  EXPECT_EQ(Text(At(r.value, 2)), "{y}");
}

TEST(KBlockControl, ParserErrors) {
  EXPECT_EQ(ParseError("x"), "9 Invalid control");
  EXPECT_EQ(ParseError(":IF x {1}"), "9 need (test)");
  EXPECT_EQ(ParseError(":IF (x)"), "9 need {}");
  EXPECT_EQ(ParseError(":IF (x) {1} ::? {2}"), "9 need (test)");
  EXPECT_EQ(ParseError(":IF (x) {1} :: (2)"), "9 need {}");
  EXPECT_EQ(ParseError(":WHILE {1}"), "9 need ()");
  EXPECT_EQ(ParseError(":FOR (x) 1"), "9 need {}");
  EXPECT_EQ(ParseError(":SELECT (x) { :* {1} :| (1) {2} }"), "9 have default");
  EXPECT_EQ(ParseError(":DO {1} :WHILE {2}"), "9 need ()");
  EXPECT_EQ(ParseError(":try {1}"), "9 :try");
  EXPECT_EQ(ParseError(":!! x"), "9 :!!");
  EXPECT_EQ(ParseError(":DEFAULT {1}"), "9 :DEFAULT");
}

// ------------------------------------------------------------ runs

TEST(KBlockRun, ChainIsRestoredWhenErrorsLeaveBlocks) {
  Host h;
  const char* failing[] = {
      "'f' #PGM {f}; f",                        // depth error deep inside programs
      "'bad' #OP {l__ +-1}; 1 bad",             // error inside a user operator
      "{:WHILE (1) {{1 +-2}}}",                 // error in a loop body inside blocks
      "1 + {1 +-2}",                            // error in a block run on a pushed namespace
      "'p' #PGM {:FOR (1 2) {q}}; 'q' #OP {1 +-1}; p",
  };
  for (const char* text : failing) {
    std::string r = h.Run(text);
    EXPECT_TRUE(HasPrefix(r, "error ")) << text << " -> " << r;
    EXPECT_EQ(h.chain->Count(), 1) << text;
    EXPECT_EQ(h.chain->Last(), h.root) << text;
  }
  // Later assignments land in the root namespace and are seen by later runs.
  EXPECT_EQ(h.Run("5 => z; z"), "5");
  EXPECT_NE(h.root->ValPtr("z"), nullptr);
  EXPECT_EQ(h.Run("z + 1"), "6");
}

TEST(KBlockRun, DepthErrorHasAnEmptyMessage) {
  Host h;
  std::string r = h.Run("'f' #PGM {f}; f");
  EXPECT_TRUE(HasPrefix(r, "error 2: ")) << r;
  EXPECT_NE(r.find("\r\nDepth Limit error\r\n:Interpreter/KBlock["), std::string::npos) << r;
  r = h.Run("'r' #OP {l__ r}; 1 r");
  EXPECT_TRUE(HasPrefix(r, "error 2: ")) << r;
  EXPECT_EQ(h.chain->Count(), 1);
  EXPECT_EQ(h.Run("'f' #PGM {:IF (n < 30) {n + 1 => n; f} :ELSE {n}}; 0 => n; f"), "30");
}

TEST(KBlockRun, StopInsideEveryLoopAndUserOperator) {
  Host h;
  const char* endless[] = {
      ":WHILE (1) {1}",
      "0 => i; :WHILE (1) {i + 1 => i}",
      ":DO {}",
      ":DO {1} :WHILE (1)",
      ":FOR (1 2 3) {:WHILE (1) {}}",
      "'spin' #OP {:WHILE (1) {l__}}; 1 spin",
      "'spin2' #OP {:DO {l__ + r__}}; 1 spin2 2",
      "'p' #PGM {:WHILE (1) {{}}}; p",
      // Endless loops the parser fuzzer produced (each pass skips or
      // misspells the way out).
      "0 => i; 0 => n; :DO {i + 1 => i; :IF (i = 2) {:CONTINUE}; n + 1 => n} :WHILE (i > 0); i n",
      "0 => i; :WHILE (i < 6) {i + 1 >= i; :IF (i = 2) {:CONTK}; i * 10}",
      "0 => i; :DO {i + 1 => i; :IF (i = 5) {:=REAK}}; i",
      "{0 => k; :DO {k + q => k; :IF (k = 2) {:RETURN}; k * 10}; 99}",
      // Bodies that run directly, calling programs and operators.
      "'p' #PGM {k + 1 => k}; 0 => k; :WHILE (1) {p}",
      "'inc' #OP {l__ + 1}; 0 => i; :WHILE (1 = 1) {i inc => i}",
      "0 => s; :FOR (1 .. 100000000) {s + 1 => s}",
  };
  for (const char* text : endless) {
    {
      StopAfter s(&h.stop, 2000);
      std::string r = h.Run(text);
      EXPECT_TRUE(HasPrefix(r, "error 14: ")) << text << " -> " << r;
      EXPECT_TRUE(r.find("User Interrupt\r\nStop") != std::string::npos) << r;
    }
    EXPECT_FALSE(h.stop) << text;
    EXPECT_EQ(h.chain->Count(), 1) << text;
  }
  EXPECT_EQ(h.Run("1 + 1"), "2");
}

TEST(KBlockRun, KeptChildStatesHoldNoValues) {
  // Children are kept for reuse between nested runs; they must not keep
  // references to the values they evaluated (reference counts show in the
  // verbose text forms).
  Host h;
  EXPECT_EQ(h.Run("1 2 3 => v; 'same' => s"), "same");
  KB* v = h.root->ValPtr("v");
  ASSERT_NE(v, nullptr);
  int refs = v->descriptor->refs;
  KParser p(h.chain, "root");
  p.fCmdSet("{v}; (v); {{v} {s}}; :FOR (v) {v}; :WHILE (0) {v}; :IF (v) {v}; 'id' #OP {l__}; 1 id; 7");
  KA result;
  KT::KTT last = KT::ttUnknown;
  p.Exec(result, last, nullptr);
  EXPECT_EQ(result.AsString(false), "7");
  EXPECT_EQ(v->descriptor->refs, refs);
  // The same parser runs again with its kept children.
  p.fCmdSet("{v + 1}");
  KA again;
  p.Exec(again, last, nullptr);
  EXPECT_EQ(again.AsString(false), "2 3 4");
  EXPECT_EQ(v->descriptor->refs, refs);
}
