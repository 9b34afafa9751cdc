// KOpsBlock: the operators that turn code into programs and user-defined
// operators ("#PGM", "#OP") when they are applied to values. The form
// `'name' #PGM {code}`, where a braced text follows the operator, is the
// evaluator's own; these are the monadic form (a block, program, operator
// or string of code becomes a new KPgm / KOpUD, not stored) and the dyadic
// form ((namespace, name) on the left, a block value on the right: the new
// program or operator is stored under the name in that namespace).
#include <string>

#include "KBlock.h"
#include "KNS.h"
#include "KOps.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {

bool IsCode(KT::KTO t) { return t == KT::tBlock || t == KT::tPgm || t == KT::tOpUD; }

// A new program (pgm) or operator with the code of a block value or string.
KBlock* MakeCode(KB* src, bool pgm) {
  KBlock* b = pgm ? static_cast<KBlock*>(new KPgm()) : static_cast<KBlock*>(new KOpUD());
  KA hold;
  hold.Owns(b);
  if (IsCode(src->typen())) {
    KBlock* from = static_cast<KBlock*>(src);
    b->CodeSet(from->Code(), false);
    b->EXSet(from->EXGet());
  } else if (src->typen() == KT::tString) {
    b->CodeSet(static_cast<KString*>(src), false);
  } else {
    KTHROW(KT::eValue, "need String");
  }
  b->Reference(true);
  return b;
}

KA& Define(KA& a, bool pgm) {
  a.Owns(MakeCode(a.value, pgm));
  return a;
}

// (namespace, name) #PGM block: stores the new program under the name.
KA& DefineIn(KA& l, KA& r, bool pgm) {
  if (!KSeq::IsSeq(l.value)) KTHROW(KT::eValue, "Not Seq");
  KSeq* pair = l.As<KSeq>();
  KA ns(pair->Count() > 0 ? (*pair)[0] : nullptr);
  if (ns.Is(KT::tRef)) KA::Reveal(ns);
  if (!ns.Is(KT::tNS)) KTHROW(KT::eValue, "left need sqNS");
  KB* name = pair->Count() > 1 ? (*pair)[1] : nullptr;
  if (!name || (name->typen() != KT::tString && name->typen() != KT::tField)) KTHROW(KT::eValue, "left need string");
  if (!IsCode(r.Type())) KTHROW(KT::eValue, "right need {...}");
  KA def;
  def.Owns(MakeCode(r.value, pgm));
  if (!ns.As<KNS>()->Put(KB::TextOf(name).c_str(), def.value, KT::ntSymbol))
    KTHROW(KT::eValue, pgm ? "#pgm name" : "#Op Name");
  l = def;
  return l;
}

}  // namespace

KA& KOps::opPGM(KA& a) { return Define(a, true); }
KA& KOps::opPGM(KA& l, KA& r) { return DefineIn(l, r, true); }
KA& KOps::opOP(KA& a) { return Define(a, false); }
KA& KOps::opOP(KA& l, KA& r) { return DefineIn(l, r, false); }
