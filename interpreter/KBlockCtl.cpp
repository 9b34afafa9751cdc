// KBlockCtl: the control structures (If, For, While, Select, Do). A parser
// reads the control word and the parenthesised and braced parts after it
// into a control record, a nested KSeq of numbers and texts; an executor
// runs the record, evaluating every test and body as a block (KBlock::Run)
// in a child parser with the block's namespace on the chain. The flow
// statements (":BREAK", ":CONTINUE", ":RETURN n") are the evaluator's; their
// flow records reach the executor as the result of a body run.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "KAssoc.h"
#include "KBit.h"
#include "KBlock.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KParser.h"
#include "KQuick.h"
#include "KQuickLoop.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KBlock";

namespace {

// The test text of an Else clause and of a Do without a While.
const char* const kTrue = "(#true)";

// ------------------------------------------------------------ records
//
// Control record: a KSeq whose first element is a KNum holding the control
// kind. Test and body texts are KStrings of the whole token text, outer
// parentheses or braces included (Run strips them):
//   If      (13, (13, test, body), (9, test, body) ..., (8, "(#true)", body))
//   For     (10, iterator, body)
//   While   (20, test, body)
//   Select  (16, selector, mode list, (clause ...)); clause (2, test, body),
//           (5, body), or (kind) for another control word (never matches)
//   Do      (6, ((6, body), (20, test)))

KSeq* NewRec(int kind) {
  KSeq* s = new KSeq();
  s->Append(new KNum(static_cast<int32_t>(kind)), true);
  return s;
}

void AddText(KSeq* rec, const char* text, int len) { rec->Append(new KString(text, len), true); }

void AddToken(KSeq* rec, KPParser* ps) { AddText(rec, ps->token, ps->tokenLen); }

// Adopts `part` into `rec`; `part` is released if the append fails.
void AddPart(KSeq* rec, KSeq* part) {
  try {
    rec->Append(part, true);
  } catch (...) {
    KB::DoneWith(part);
    throw;
  }
}

int KindOf(KB* rec) {
  if (!KSeq::IsSeq(rec) || rec->Count() < 1) KTHROW(KT::eValue, "Control type");
  KB* k = (*static_cast<KSeq*>(rec))[0];
  if (!k || k->typen() != KT::tNum || k->Count() < 1) KTHROW(KT::eValue, "Control type");
  return static_cast<KNum*>(k)->AsInt();
}

KB* Part(KSeq* rec, int i) {
  KB* v = (*rec)[i];
  if (!v) KTHROW(KT::eValue, "Control type");
  return v;
}

// The next token, comment tokens skipped (a comment may stand between the
// parts of a structure).
KT::KTT NextPart(KPParser* ps) {
  KT::KTT k;
  do {
    k = ps->NextToken(false);
  } while (k == KT::ttComment);
  return k;
}

void Need(KPParser* ps, KT::KTT kind, const char* message) {
  if (NextPart(ps) != kind) KTHROW(KT::eSyntax, message);
}

// If: (test) {body}, then ElseIf clauses, then at most one Else.
void ParseIf(KPParser* ps, KSeq* rec) {
  KSeq* clause = NewRec(KT::ctIf);
  AddPart(rec, clause);
  Need(ps, KT::ttParen, "need (test)");
  AddToken(clause, ps);
  Need(ps, KT::ttBlock, "need {}");
  AddToken(clause, ps);
  for (;;) {
    KT::KTT k = NextPart(ps);
    if (k == KT::ttControl && ps->curCT == KT::ctElseIf) {
      clause = NewRec(KT::ctElseIf);
      AddPart(rec, clause);
      Need(ps, KT::ttParen, "need (test)");
      AddToken(clause, ps);
      Need(ps, KT::ttBlock, "need {}");
      AddToken(clause, ps);
    } else if (k == KT::ttControl && ps->curCT == KT::ctElse) {
      clause = NewRec(KT::ctElse);
      AddPart(rec, clause);
      AddText(clause, kTrue, static_cast<int>(std::strlen(kTrue)));
      Need(ps, KT::ttBlock, "need {}");
      AddToken(clause, ps);
      return;
    } else {
      ps->PutBack();
      return;
    }
  }
}

// For and While: (text) {body}.
void ParseLoop(KPParser* ps, KSeq* rec) {
  Need(ps, KT::ttParen, "need ()");
  AddToken(rec, ps);
  Need(ps, KT::ttBlock, "need {}");
  AddToken(rec, ps);
}

// Select: (selector) [modes] { clauses }. The clauses are read from the
// block's inside by a child parse state; the first token that is not a
// control word ends the list.
void ParseSelect(KPParser* ps, KSeq* rec) {
  Need(ps, KT::ttParen, "need ()");
  AddToken(rec, ps);
  if (NextPart(ps) == KT::ttIndex) {
    AddToken(rec, ps);
  } else {
    ps->PutBack();
    AddText(rec, "[]", 2);
  }
  Need(ps, KT::ttBlock, "need {}");
  KSeq* clauses = new KSeq();
  AddPart(rec, clauses);
  KPParser inner(ps);
  inner.CmdSet(ps->token, static_cast<size_t>(ps->tokenLen), true);
  bool haveDefault = false;
  while (NextPart(&inner) == KT::ttControl) {
    KT::KCT ct = inner.curCT;
    KSeq* clause = NewRec(ct);
    AddPart(clauses, clause);
    if (ct == KT::ctCase) {
      if (haveDefault) KTHROW(KT::eSyntax, "have default");
      Need(&inner, KT::ttParen, "need ()");
      AddToken(clause, &inner);
      Need(&inner, KT::ttBlock, "need {}");
      AddToken(clause, &inner);
    } else if (ct == KT::ctDefault) {
      haveDefault = true;
      Need(&inner, KT::ttBlock, "need {}");
      AddToken(clause, &inner);
    }
  }
}

// Do: {body}, optionally followed by a While test.
void ParseDo(KPParser* ps, KSeq* rec) {
  KSeq* pair = new KSeq();
  AddPart(rec, pair);
  KSeq* body = NewRec(KT::ctDo);
  AddPart(pair, body);
  KSeq* test = NewRec(KT::ctWhile);
  AddPart(pair, test);
  Need(ps, KT::ttBlock, "need {}");
  AddToken(body, ps);
  KT::KTT k = NextPart(ps);
  if (k == KT::ttControl && ps->curCT == KT::ctWhile) {
    Need(ps, KT::ttParen, "need ()");
    AddToken(test, ps);
  } else {
    ps->PutBack();
    AddText(test, kTrue, static_cast<int>(std::strlen(kTrue)));
  }
}

// ------------------------------------------------------------ executor helpers

// Lets the host breathe once per pass, then answers a stop request.
void Poll(KPParser* ps) {
  KB::Breathe();
  if (KT::SwRead(ps->swStop)) {
    *ps->swStop = false;
    KTHROW(KT::eInterrupt, "Stop");
  }
}

// Truth of a test value: no elements is false; a Bit its first bit; a Num
// its first element non-zero; a Seq true; a String a first character other
// than the terminating zero. Other types raise 15 "???".
bool Truth(KB* v) {
  if (v->Count() < 1) return false;
  switch (v->typen()) {
    case KT::tBit:
      return static_cast<KBit*>(v)->BitGet(0);
    case KT::tNum: {
      const void* d = v->descriptor->data;
      switch (v->alignmentn()) {
        case KT::aInt: return static_cast<const int32_t*>(d)[0] != 0;
        case KT::aFloat: return static_cast<const double*>(d)[0] != 0.0;
        case KT::aBit: return (static_cast<const unsigned char*>(d)[0] & 0x80) != 0;
        default: KTHROW(KT::eValue, "???");
      }
    }
    case KT::tSeq:
      return true;
    case KT::tString:
      return static_cast<KString*>(v)->Str()[0] != 0;
    default:
      KTHROW(KT::eValue, "???");
  }
}

const char* TextPtr(KB* v) { return v->typen() == KT::tString ? static_cast<KString*>(v)->Str() : ""; }

// A parse line naming a record's text (the text is only looked at when the
// parse lines are on: loops pass here twice a pass).
inline void ParseText(KPParser* ps, const char* label, KB* text) {
  if (ps->Parsing()) ps->ParseLine(label, TextPtr(text));
}

// A block of the given role over a record's text; the handle owns it.
KBlock* MakeBlock(KA& hold, const char* type, KB* text) {
  KBlock* b = new KBlock(type);
  hold.Owns(b);
  if (text->typen() != KT::tString) KTHROW(KT::eValue, "Control type");
  b->CodeSet(static_cast<KString*>(text), false);
  return b;
}

// Runs a block with no argument; `out` receives its value. (A value left in
// `out` from the last pass must go first: a namespace would be taken for an
// argument.)
KT::KBR RunPart(KPParser* ps, KBlock* b, KA& out, bool valueUnused = false) {
  if (!out.Is(KT::tNV)) out.Clear();
  return b->Run(ps, out, valueUnused);
}

// Runs a record text once as a block of the given role.
KT::KBR RunText(KPParser* ps, const char* type, KB* text, KA& out) {
  KA hold;
  KBlock* b = MakeBlock(hold, type, text);
  return RunPart(ps, b, out);
}

// A loop's parts run directly (compiled, KQuickLoop) unless the depth is at
// its limit: the depth error comes from the usual path.
bool DirectLoop(KPParser* ps) { return KQuick::enabled && ps->depth + 1 <= KT::DepthLimit; }

// The test of a pass: 1 or 0, or 2 with `named` the value to judge.
int RunTest(KPParser* ps, KBlock* test, bool direct, KA& t, KB*& named) {
  KQuick* q = test->Quick(ps);
  int truth = q ? (direct ? q->Truth(ps, named, test->NSGet()) : test->Test(ps, named)) : -1;
  if (truth >= 0) return truth;
  RunPart(ps, test, t);
  named = t.value;
  return 2;
}

// The body of a pass whose value nobody collects.
KT::KBR RunBody(KPParser* ps, KBlock* body, bool direct, KA& out) {
  KQuick* q = direct ? body->Quick(ps) : nullptr;
  if (!q) return RunPart(ps, body, out, true);
  if (!out.Is(KT::tNV)) out.Clear();
  return body->RunDirect(ps, q, out, false);
}

void Append(KA& seq, KA& v) {
  static_cast<KSeq*>(seq.value)->Append(v.value, false);
}

// The ordering comparison of Select: both values disclosed; different types
// by type code; strings and fields as strings (exact or collated), numbers
// by KNum::Compare, sequences element by element then by length; NoValue
// equals NoValue; any other type raises 7 with its type name.
int Order(KB* a0, KB* b0, bool exact, int level) {
  if (level > KT::DepthLimit) KTHROW(KT::eDepth, "");
  KA a(a0), b(b0);
  KA::Disclose(a, false);
  KA::Disclose(b, false);
  KT::KTO ta = a.Type(), tb = b.Type();
  if (ta != tb) return static_cast<int>(ta) - static_cast<int>(tb);
  switch (ta) {
    case KT::tField:
    case KT::tString: {
      KString* s = static_cast<KString*>(a.value);
      if ((s->exact != 0) == exact) return s->Compare(b.value);
      KA copy;
      copy.Owns(s->Clone());
      copy.value->exact = exact ? 1 : 0;
      return static_cast<KString*>(copy.value)->Compare(b.value);
    }
    case KT::tNum:
      return static_cast<KNum*>(a.value)->Compare(b.value);
    case KT::tNV:
      return 0;
    case KT::tSeq: {
      KSeq* x = static_cast<KSeq*>(a.value);
      KSeq* y = static_cast<KSeq*>(b.value);
      int n = std::min(x->Count(), y->Count());
      for (int i = 0; i < n; ++i) {
        int c = Order((*x)[i], (*y)[i], exact, level + 1);
        if (c) return c;
      }
      return x->Count() - y->Count();
    }
    default:
      KTHROW(KT::eNotSupp, a.value->typec());
  }
}

// Select modes from the evaluated mode list.
struct Modes {
  bool exact = false;
  bool equality = true;
  bool firstOnly = true;
};

void ReadModes(KA& m, Modes& modes) {
  if (m.Cnt() < 1) return;
  KA list(m.value);
  if (list.Is(KT::tField)) list.Owns(new KFList(list.value));
  if (!list.Is(KT::tFL)) return;
  KSeq* names = static_cast<KSeq*>(list.value);
  for (int i = 0; i < names->Count(); ++i) {
    KB* f = (*names)[i];
    if (!f) continue;
    std::string n = KB::TextOf(f);
    auto is = [&](const char* word) {
      return KB::CollateCmp(n.data(), static_cast<int>(n.size()), word, static_cast<int>(std::strlen(word)),
                            KT::CSTARQDefault) == 0;
    };
    if (is("exact")) {
      modes.exact = true;
    } else if (is("tarq")) {
      modes.exact = false;
    } else if (is("is")) {
      modes.equality = true;
    } else if (is("contains")) {
      modes.equality = false;
    } else if (is("first")) {
      modes.firstOnly = true;
    } else if (is("all")) {
      modes.firstOnly = false;
    }
  }
}

// Whether a Case test value matches the selector.
bool Matches(KA& s, KA& c, const Modes& modes) {
  if (modes.equality) return Order(s.value, c.value, modes.exact, 0) == 0;
  KA l;
  l.Owns(s.value->Clone());
  l.value->exact = modes.exact ? 1 : 0;
  KA r(c.value);
  KOps::FnD f = KOps::FnDGet(KOps::OpIdxGet("^&"));
  if (!f || f == &KOps::opErrD) KTHROW(KT::eNotSupp, "Dyadic");
  f(l, r);
  return l.Is(KT::tBit) && l.Cnt() > 0 && static_cast<KBit*>(l.value)->BitGet(0);
}

// ------------------------------------------------------------ structures

KT::KBR ExecIf(KPParser* ps, KSeq* rec, KA& value) {
  ps->ParseLine(":if", "");
  for (int i = 1; i < rec->Count(); ++i) {
    KB* c = Part(rec, i);
    KindOf(c);
    KSeq* clause = static_cast<KSeq*>(c);
    KB* test = Part(clause, 1);
    KB* body = Part(clause, 2);
    ParseText(ps, "Test:", test);
    KA t;
    RunText(ps, ":if:test:", test, t);
    if (!Truth(t.value)) continue;
    ParseText(ps, "Blk:", body);
    KT::KBR flow = RunText(ps, "if:exec", body, value);
    ps->curCT = KT::ctNone;
    return flow;
  }
  value.Owns(new KNil());
  return KT::KBR();
}

// Whether a loop text could make its loop's value seen although a ";"
// follows: a return carries the collected values out of the block, and a
// directive may switch on a trace that prints them.
bool Observable(KB* text) {
  std::string t = KB::TextOf(text);
  for (char& c : t) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return t.find('$') != std::string::npos || t.find("RETURN") != std::string::npos ||
         t.find(":<-") != std::string::npos;
}

// Element i (1-based) of a number vector as indexing gives it, or null
// for any other value (the general path indexes and discloses).
KB* NumberAt(KB* v, int i) {
  const KB::KBD* d = v->descriptor;
  if (!KQuick::enabled || d->type != KT::tNum || d->rec || i > d->count || !d->data) return nullptr;
  if (d->align == KT::aInt) return new KNum(static_cast<const int32_t*>(d->data)[i - 1]);
  if (d->align == KT::aFloat) return new KNum(static_cast<const double*>(d->data)[i - 1]);
  return nullptr;
}

// Binds element i of `v` under `name` in the body's namespace. `slot`
// remembers the entry the name went to, so the next pass stores straight
// into it while it is still spelt the same way.
void Bind(KNS* own, KString* name, KB* v, int i, int* slot) {
  Building<KB> e(NumberAt(v, i));
  if (!e.v) {
    KA x(v);
    KA idx;
    idx.Owns(new KNum(static_cast<int32_t>(i)));
    KA::IndexedBy(x, idx);
    KA::Disclose(x, false);
    e.v = x.value;
    e.v->Reference(true);
  }
  int at = -1;
  if (slot && *slot >= 0 && *slot < own->Count()) {
    KString* k = own->AssocPtr(*slot)->KeyPtr();
    if (k && k->typen() == KT::tString && name->typen() == KT::tString && k->Len() == name->Len() &&
        std::memcmp(k->Str(), name->Str(), static_cast<size_t>(name->Len())) == 0)
      at = *slot;
  }
  if (at >= 0) {
    // What Put does for an entry spelt the same way.
    KAssoc* a = own->AssocPtr(at);
    e.v->descriptor->SID = e.v->ID;
    a->ValSet(e.v);
    KB* stored = a->ValPtr();
    stored->descriptor->SID = stored->ID;
    return;
  }
  KAssoc* put = own->Put(name, e.v, KT::ntAny);
  if (!put) KTHROW(KT::eValue, "Invalid name");
  if (slot) {
    for (int k = 0; k < own->Count(); ++k)
      if (own->AssocPtr(k) == put) *slot = k;
  }
}

// Where a loop variable's entry was found spelt as its name, and the
// namespace epoch then: while no namespace changed it is still there.
struct VarPlace {
  KAssoc* a = nullptr;
  uint64_t epoch = ~uint64_t(0);
};

// Element i of a number vector written over the loop variable's value in
// `own`, when that value is a one-element number of the same kind that only
// its entry holds: what binding a new value would leave, without making
// one. False when it cannot (the caller binds).
bool BindInPlace(KNS* own, KString* name, KB* v, int i, int slot, VarPlace& place) {
  const KB::KBD* src = v->descriptor;
  if (src->type != KT::tNum || src->rec || i > src->count || !src->data || slot < 0 || slot >= own->Count())
    return false;
  KAssoc* a = own->AssocPtr(slot);
  if (place.a != a || place.epoch != KSeq::fScopeEpoch) {
    KString* k = a->KeyPtr();
    if (!k || k->typen() != KT::tString || name->typen() != KT::tString || k->Len() != name->Len() ||
        std::memcmp(k->Str(), name->Str(), static_cast<size_t>(name->Len())) != 0)
      return false;
    place.a = a;
    place.epoch = KSeq::fScopeEpoch;
  }
  KB* cur = a->ValPtr();
  KB::KBD* d = cur->descriptor;
  if (d->type != KT::tNum || d->align != src->align || d->count != 1 || d->capacity != 1 || !d->data || d->rec ||
      d->extra != 0 || d->refs != 1 || cur->holds != 1 || cur->mark || cur->exact || cur->direction)
    return false;
  if (src->align == KT::aInt) {
    *static_cast<int32_t*>(d->data) = static_cast<const int32_t*>(src->data)[i - 1];
  } else if (src->align == KT::aFloat) {
    *static_cast<double*>(d->data) = static_cast<const double*>(src->data)[i - 1];
  } else {
    return false;
  }
  cur->level = 0;
  d->SID = cur->ID;
  return true;
}

// For over a namespace (its entries bound together, element i of each) or
// over a value (bound under the name that holds it in the current
// namespace, else under "__<id>").
KT::KBR ExecFor(KPParser* ps, KSeq* rec, KA& value, bool valueUnused) {
  KB* itrText = Part(rec, 1);
  KB* bodyText = Part(rec, 2);
  bool collect = !valueUnused || Observable(bodyText);
  const bool direct = DirectLoop(ps);
  ps->ParseLine(":for", "");
  ParseText(ps, "Itr:", itrText);
  KA x;
  RunText(ps, "for:itr", itrText, x);
  KA res;
  res.Owns(new KSeq());
  if (x.Is(KT::tNil)) {
    value = res;
    return KT::KBR();
  }
  if (!collect) res.Clear();
  KA itns;
  int count = 0;
  if (x.Is(KT::tNS)) {
    itns = x;
  } else {
    KNS* fresh = new KNS();
    itns.Owns(fresh);
    KAssoc* holder = ps->CurNS()->GetByID(x.value->ID);
    std::string name;
    if (holder) {
      name = KB::TextOf(holder->KeyKB());
      count = x.Cnt();
    } else {
      name = KB::Fmt("__%d", x.value->ID);
    }
    // The generated name is no symbol; kind 2 accepts any non-empty name.
    if (!fresh->Put(name.c_str(), x.value, KT::ntAny)) KTHROW(KT::eValue, "Invalid name");
  }
  KNS* names = static_cast<KNS*>(itns.value);
  for (int j = 0; j < names->Count(); ++j) {
    KB* v = names->ValPtr(j);
    if (v) count = std::max(count, v->Count());
  }
  KA hold;
  KBlock* body = MakeBlock(hold, ":for:", bodyText);
  KNS* own = body->NSGet();
  KT::KBR flow;
  std::vector<int> slots(static_cast<size_t>(names->Count()), -1);  // where each name went in `own`
  std::vector<VarPlace> places(slots.size());
  KA out;
  std::unique_ptr<KQuickLoop> compiled = direct ? KQuickLoop::Make(ps, nullptr, body) : nullptr;
  bool pureBody = false;  // the body runs directly and calls nothing (its text is the loop's own)
  for (int i = 1; i <= count; ++i) {
    // Raw passes over one vector, once a pass has bound the variable in
    // place; the last pass binds a new value the usual way.
    bool polled = false;
    if (compiled && pureBody && !collect && names->Count() == 1 && places[0].a && i < count) {
      size_t k = 0;
      KB* src = names->ValPtr(0);
      const int r = src ? compiled->ForPasses(ps, &Poll, places[0].a, src, i, count - 1, k) : -1;
      if (r == 3) {
        // The pass goes on from statement k the usual way.
        flow = compiled->Rest(ps, out, k);
        flow.Decrement();
        if (flow.kind == 3) {
          value = res;
          return flow;
        }
        bool stop = flow.kind == 1;
        flow = KT::KBR();
        if (stop) break;
        continue;
      }
      polled = r == 2;
    }
    if (!polled) Poll(ps);
    body->CTSet(KT::ctNone);
    body->TTSet(KT::ttUnknown);
    // A body that runs directly and calls nothing cannot see a loop
    // variable's value between passes: it takes the next element in place
    // (the last pass binds a new value, which has the newest ID as the
    // token loop's would).
    if (i == 1) {
      KQuick* q = direct ? body->Quick(ps) : nullptr;
      pureBody = q && q->Pure();
    }
    const bool inPlace = pureBody && i < count && !ps->Tracing() && !ps->Parsing();
    for (int j = 0; j < names->Count(); ++j) {
      KAssoc* a = names->AssocPtr(j);
      KB* v = a ? a->ValPtr() : nullptr;
      if (!v || v->typen() == KT::tNil) break;
      int* slot = j < static_cast<int>(slots.size()) ? &slots[static_cast<size_t>(j)] : nullptr;
      if (inPlace && slot && BindInPlace(own, a->KeyPtr(), v, i, *slot, places[static_cast<size_t>(j)])) continue;
      Bind(own, a->KeyPtr(), v, i, slot);
    }
    ParseText(ps, "Blk:", bodyText);
    flow = compiled ? compiled->Body(ps, out, collect) : collect ? RunPart(ps, body, out) : RunBody(ps, body, direct, out);
    flow.Decrement();
    if (collect && !out.Is(KT::tNV)) Append(res, out);
    if (flow.kind == 3) {
      value = res;
      return flow;
    }
    bool stop = flow.kind == 1;
    flow = KT::KBR();
    if (stop) break;
  }
  value = res;
  return flow;
}

// The loop of While and Do: the test before (While) or after (Do) each
// pass. Every body value is collected (unless the value is unused). A break ends the loop, a continue
// ends the pass, a return ends the loop and travels on unchanged (so a
// ":RETURN" leaves the loop and the block around it).
KT::KBR Loop(KPParser* ps, KB* testText, KB* bodyText, const char* bodyType, bool testFirst, KA& value,
             bool valueUnused) {
  bool collect = !valueUnused || Observable(testText) || Observable(bodyText);
  const bool direct = DirectLoop(ps);
  KA holdT, holdB;
  KBlock* test = MakeBlock(holdT, "test:", testText);
  KBlock* body = MakeBlock(holdB, bodyType, bodyText);
  KA res;
  if (collect) res.Owns(new KSeq());
  std::unique_ptr<KQuickLoop> compiled = direct ? KQuickLoop::Make(ps, test, body) : nullptr;
  KA t, out;
  // Passes that compile run in the compiled form's own loop; a pass it
  // gives back goes on here (the host has breathed for it).
  const bool passes = compiled && testFirst && !collect;
  for (bool first = true;; first = false) {
    if (passes) {
      KT::KBR flow;
      const int r = compiled->Passes(ps, &Poll, out, flow);
      if (r == 0) break;
      if (r == 1) {
        value = res;
        return flow;
      }
    } else {
      Poll(ps);
    }
    if (compiled) compiled->Polled();
    if (testFirst || !first) {
      ParseText(ps, "Test:", testText);
      KB* named = nullptr;
      int truth = compiled ? compiled->Test(ps) : -1;
      if (truth < 0) truth = RunTest(ps, test, direct, t, named);
      if (truth == 2 ? !Truth(named) : truth == 0) break;
    }
    ParseText(ps, "Blk:", bodyText);
    KT::KBR flow =
        compiled ? compiled->Body(ps, out, collect) : collect ? RunPart(ps, body, out) : RunBody(ps, body, direct, out);
    if (collect) Append(res, out);
    if (flow.kind == 1) break;
    if (flow.kind == 3) {
      value = res;
      return flow;
    }
  }
  value = res;
  return KT::KBR();
}

KT::KBR ExecSelect(KPParser* ps, KSeq* rec, KA& value) {
  KB* selText = Part(rec, 1);
  KB* modeText = Part(rec, 2);
  KB* list = Part(rec, 3);
  if (!KSeq::IsSeq(list)) KTHROW(KT::eValue, "Control type");
  KSeq* clauses = static_cast<KSeq*>(list);
  ps->ParseLine(":Select", "");
  ParseText(ps, "Selector:", selText);
  KA s;
  RunText(ps, "selector:", selText, s);
  ParseText(ps, "Modelist:", modeText);
  KA m;
  RunText(ps, "select:ml:", modeText, m);
  Modes modes;
  ReadModes(m, modes);
  KA res;
  res.Owns(new KSeq());
  // Flow records from clause bodies do not steer the selection: every clause
  // is tried as the modes say. The first record a body produced still
  // reaches the enclosing loop or block once the selection is done.
  KT::KBR flow;
  for (int i = 0; i < clauses->Count(); ++i) {
    KB* c = Part(clauses, i);
    int kind = KindOf(c);
    KSeq* clause = static_cast<KSeq*>(c);
    KB* body = nullptr;
    if (kind == KT::ctCase) {
      KB* test = Part(clause, 1);
      ParseText(ps, "Case:", test);
      KA cv;
      RunText(ps, "case:", test, cv);
      if (!Matches(s, cv, modes)) continue;
      body = Part(clause, 2);
    } else if (kind == KT::ctDefault) {
      body = Part(clause, 1);
      ParseText(ps, "Default:", body);
    } else {
      continue;
    }
    KA out;
    KT::KBR bodyFlow = RunText(ps, kind == KT::ctCase ? "case:" : "default:", body, out);
    if (flow.IsZero()) flow = bodyFlow;
    if (out.Is(KT::tNV)) out.Owns(new KNum(static_cast<int32_t>(i + 1)));
    Append(res, out);
    if (modes.firstOnly) break;
  }
  value = res;
  return flow;
}

}  // namespace

// ------------------------------------------------------------ entry points

KSeq* KBlock::CtlParse(KPParser* ps) {
  if (ps->NextToken(true) != KT::ttControl) KTHROW(KT::eSyntax, "Invalid control");
  KT::KCT ct = ps->curCT;
  KA hold;
  switch (ct) {
    case KT::ctIf: {
      KSeq* rec = NewRec(KT::ctIf);
      hold.Owns(rec);
      ParseIf(ps, rec);
      break;
    }
    case KT::ctFor:
    case KT::ctWhile: {
      KSeq* rec = NewRec(ct);
      hold.Owns(rec);
      ParseLoop(ps, rec);
      break;
    }
    case KT::ctSelect: {
      KSeq* rec = NewRec(KT::ctSelect);
      hold.Owns(rec);
      ParseSelect(ps, rec);
      break;
    }
    case KT::ctDo: {
      KSeq* rec = NewRec(KT::ctDo);
      hold.Owns(rec);
      ParseDo(ps, rec);
      break;
    }
    case KT::ctNone:
      KTHROW(KT::eSyntax, "Invalid control");
    default:
      // Words that cannot start a statement (":CASE", ":ELSE", ":TRY" ...).
      KTHROW(KT::eSyntax, std::string(ps->token ? ps->token : "", static_cast<size_t>(ps->tokenLen)));
  }
  KSeq* rec = static_cast<KSeq*>(hold.value);
  rec->Reference(true);
  return rec;
}

KT::KBR KBlock::CtlExec(KPParser* ps, KSeq* rec, KA& value, bool valueUnused) {
  switch (KindOf(rec)) {
    case KT::ctIf:
      return ExecIf(ps, rec, value);
    case KT::ctFor:
      return ExecFor(ps, rec, value, valueUnused);
    case KT::ctWhile:
      ps->ParseLine(":while", "");
      return Loop(ps, Part(rec, 1), Part(rec, 2), "while:", true, value, valueUnused);
    case KT::ctSelect:
      return ExecSelect(ps, rec, value);
    case KT::ctDo: {
      KB* pair = Part(rec, 1);
      if (!KSeq::IsSeq(pair) || pair->Count() < 2) KTHROW(KT::eValue, "Control type");
      KB* body = Part(static_cast<KSeq*>(pair), 0);
      KB* test = Part(static_cast<KSeq*>(pair), 1);
      if (KindOf(body) != KT::ctDo || KindOf(test) != KT::ctWhile) KTHROW(KT::eValue, "Control type");
      ps->ParseLine(":do", "");
      return Loop(ps, Part(static_cast<KSeq*>(test), 1), Part(static_cast<KSeq*>(body), 1), "do:", false,
                  value, valueUnused);
    }
    default:
      KTHROW(KT::eNotSupp, "");
  }
}

KT::KBR KBlock::RunControl(KPParser* ps, KA& value) {
  KA rec;
  rec.Owns(CtlParse(ps));
  // The parser may have looked at (and put back) a following control word;
  // its kind must not stop the caller's token loop.
  ps->curCT = KT::ctNone;
  // A structure followed by ";" leaves a value nobody sees, unless a trace,
  // parse listing or pending display prints it.
  bool unused = ps->NextIsSeparator() && ps->pendOp < 0 && !ps->Tracing() && !ps->Parsing() &&
                ps->displayCount == 0;
  return CtlExec(ps, static_cast<KSeq*>(rec.value), value, unused);
}
