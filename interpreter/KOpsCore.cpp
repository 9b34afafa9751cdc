// KOpsCore: the operators the evaluator treats itself or relies on:
// assignment and append, references, each and at-each, the value flags
// (collation, direction, argument switch, scope), the constant and
// constructor niladics, namespaces, the system object and the text forms.
#include <string>

#include "KBit.h"
#include "KNS.h"
#include "KFile.h"
#include "KNum.h"
#include "KOps.h"
#include "KParser.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {
bool IsSeqType(KT::KTO t) { return t == KT::tSeq || t == KT::tSeqEa; }

// A value that is about to be retyped or flagged in place must not be seen
// changed through another holder: give the handle a private sequence copy.
void PrivateSeq(KA& a) {
  if (a.value->descriptor->refs == 1) return;
  KSeq* copy = new KSeq(a.As<KSeq>());
  copy->descriptor->type = a.value->descriptor->type;
  a.Owns(copy);
}

// Sets `exact` on the value and, for a sequence, on each element.
KA& SetExact(KA& a, uint8_t exact) {
  a.value->exact = exact;
  if (IsSeqType(a.Type())) {
    KSeq* s = a.As<KSeq>();
    for (int i = 0; i < s->Count(); ++i) s->Slots()[i]->exact = exact;
  }
  return a;
}
}  // namespace

// ---------------------------------------------------------------------------
// Assignment family. The evaluator handles "=>" and "=>[" itself; these are
// the forms a direct call reaches.

// "#ARGS" niladic: the evaluator loads the arguments; the form itself
// leaves its argument as it is.
KA& KOps::opARGS_N(KA& r) { return r; }

// "=>" dyadic: store the left through the reference the right holds.
KA& KOps::op3D3E(KA& value, KA& target) {
  KA::Assign(value, target);
  return value;
}

// "=>" monadic: there is nothing to assign to.
KA& KOps::op3D3E(KA&) { KTHROW(KT::eNotImpl, "Do not implement"); }

// "=>[" dyadic: only the evaluator performs indexed assignment.
KA& KOps::op3D3E5B(KA&, KA&) { KTHROW(KT::eNotImpl, "=>["); }

// ",=>" dyadic: append the left to the right (the target) in place; the
// target is the result. A target found two or more scopes out may not be
// changed.
KA& KOps::op2C3D3E(KA& value, KA& target) {
  if (target.value->level > 1) KTHROW(KT::eTarget, "Out of scope");
  switch (target.Type()) {
    case KT::tNil:
      KTHROW(KT::eNotSupp, ",=>(#nil)");
    case KT::tFile:
      target.As<KFile>()->Append(value.value);
      break;
    case KT::tNum:
      target.As<KNum>()->Append(value.value);
      break;
    case KT::tSeq:
      target.As<KSeq>()->AppendEach(value.value, false);
      break;
    case KT::tString:
      target.As<KString>()->Append(value.value);
      break;
    default:
      KTHROW(KT::eNotSupp, "Target");
  }
  value = target;
  return value;
}

// ---------------------------------------------------------------------------
// References.

// "@" niladic: a reference built from the (scope chain, value) pair.
KA& KOps::op40_N(KA& r) {
  KA::Ref_N(r);
  return r;
}

// "@" monadic: a reference to the value.
KA& KOps::op40(KA& a) {
  KA::Ref(a);
  return a;
}

// "?@" monadic: one bit, whether the value is a reference.
KA& KOps::op3F40(KA& a) {
  a = a.Is(KT::tRef);
  return a;
}

// "^@" monadic: the value a reference designates; other values unchanged.
KA& KOps::op5E40(KA& a) {
  if (a.Is(KT::tRef)) {
    KB* v = a.As<KRef>()->ValPtr(false);
    if (v) a.ReferenceTo(v);
    else a.Clear();
  }
  return a;
}

// ---------------------------------------------------------------------------
// Each and at-each.

// "@&" monadic: an each-sequence (SeqEa) that the evaluator applies
// operators to element by element: bits, numbers and characters become one
// scalar element each; a sequence is retyped (a shared one is copied
// first, so the named value keeps its type); a field list becomes type 11;
// any other value the single element.
KA& KOps::op4026(KA& a) {
  const int n = a.Cnt();
  switch (a.Type()) {
    case KT::tSeq:
      PrivateSeq(a);
      a.value->descriptor->type = KT::tSeqEa;
      return a;
    case KT::tSeqEa:
      return a;
    case KT::tFL:
      PrivateSeq(a);
      a.value->descriptor->type = KT::tEachMark;
      return a;
    default:
      break;
  }
  KSeq* s = new KSeq(KT::tSeqEa);
  KA hold;
  hold.Owns(s);
  switch (a.Type()) {
    case KT::tBit: {
      KBit* b = a.As<KBit>();
      s->addSlots(n);
      for (int i = 0; i < n; ++i) s->AppendOwned(new KBit(b->BitGet(i)));
      break;
    }
    case KT::tNum: {
      KNum* v = a.As<KNum>();
      s->addSlots(n);
      if (v->IsFlt())
        for (int i = 0; i < n; ++i) s->AppendOwned(new KNum(v->FltPtr()[i]));
      else if (v->IsInt())
        for (int i = 0; i < n; ++i) s->AppendOwned(new KNum(v->IntPtr()[i]));
      break;
    }
    case KT::tString: {
      const char* p = a.As<KString>()->Str();
      s->addSlots(n);
      for (int i = 0; i < n; ++i) s->AppendOwned(new KString(p + i, 1));
      break;
    }
    default:
      s->AppendRef(a.value);
      break;
  }
  a = hold;
  return a;
}

// "@&" dyadic: for each element of the left sequence, the sequence of its
// values for each field of the right field list.
KA& KOps::op4026(KA& left, KA& right) {
  if (!IsSeqType(left.Type())) KTHROW(KT::eNotSupp, "L Type");
  if (!right.Is(KT::tFL)) KTHROW(KT::eNotSupp, "R Type");
  KSeq* rows = left.As<KSeq>();
  KSeq* fields = right.As<KSeq>();
  KSeq* out = new KSeq();
  KA hold;
  hold.Owns(out);
  out->addSlots(rows->Count());
  for (int i = 0; i < rows->Count(); ++i) {
    KSeq* row = new KSeq();
    out->AppendOwned(row);
    row->addSlots(fields->Count());
    for (int j = 0; j < fields->Count(); ++j) row->AppendOwned(rows->Slots()[i]->FieldGet(fields->Slots()[j]));
  }
  left = hold;
  return left;
}

KA& KOps::op40262D(KA&) { KTHROW(KT::eNotImpl, "At Each Row"); }
KA& KOps::op40267C(KA&) { KTHROW(KT::eNotImpl, "At Each Field"); }

namespace {
// One step of "#EA": L each R, with R a program text or a list of them.
void EachStep(KParser* parser, KA& L, KB* R, KA& result) {
  const KT::KTO rt = R->typen();
  if (rt == KT::tSeq || rt == KT::tSeqEa || rt == KT::tFL) {
    KSeq* progs = static_cast<KSeq*>(R);
    KSeq* out = new KSeq();
    result.Owns(out);
    out->addSlots(progs->Count());
    for (int i = 0; i < progs->Count(); ++i) {
      KA one;
      EachStep(parser, L, progs->Slots()[i], one);
      out->AppendRef(one.value);
    }
    return;
  }
  if (rt != KT::tString && rt != KT::tField) {
    result.Owns(new KNil());
    return;
  }
  KA text(R);
  KParser child(parser, "each");
  KT::KTT kind = KT::ttUnknown;
  auto run = [&](KB* arg, KA& into) {
    into = arg;
    child.CmdSet(text, false);
    child.Exec(into, kind, nullptr);
  };
  KA l(L);
  for (int guard = 0; l.Is(KT::tRef); ++guard) {
    if (guard >= KT::DepthLimit) KTHROW(KT::eValue, "Ref");
    KB* v = l.As<KRef>()->ValPtr(false);
    if (v) l.ReferenceTo(v);
    else l.Clear();
  }
  switch (l.Type()) {
    case KT::tNum: {
      KNum* v = l.As<KNum>();
      KSeq* out = new KSeq();
      result.Owns(out);
      out->addSlots(v->Count());
      for (int i = 0; i < v->Count(); ++i) {
        KB* e = v->IsFlt() ? static_cast<KB*>(new KNum(v->FltPtr()[i])) : new KNum(v->IntPtr()[i]);
        KA arg;
        arg.Owns(e);
        KA r;
        run(arg.value, r);
        out->AppendRef(r.value);
      }
      return;
    }
    case KT::tSeq:
    case KT::tSeqEa: {
      KSeq* v = l.As<KSeq>();
      KSeq* out = new KSeq();
      result.Owns(out);
      out->addSlots(v->Count());
      for (int i = 0; i < v->Count(); ++i) {
        KA r;
        run(v->Slots()[i], r);
        out->AppendRef(r.value);
      }
      return;
    }
    case KT::tString:
      run(l.value, result);
      return;
    case KT::tNV:
      result = l;
      return;
    default:
      KTHROW(KT::eNotSupp, "Left Argument");
  }
}
}  // namespace

// "#EA" dyadic: runs the right (program text) once per element of the user's
// left operand. The evaluator passes the left as (parser, operand).
KA& KOps::opEA(KA& left, KA& right) {
  if (!IsSeqType(left.Type())) KTHROW(KT::eValue, "Left Argument");
  KSeq* pair = left.As<KSeq>();
  KB* p = (*pair)[0];
  if (!p || p->typen() != KT::tParser) KTHROW(KT::eSystem, "Pointer");
  KParser* parser = static_cast<KParser*>(p);
  bool* stop = parser->fpStopSwGet();
  if (stop && KT::SwRead(stop)) {
    *stop = false;
    KTHROW(KT::eInterrupt, "Stop");
  }
  KA L;
  if (KB* operand = (*pair)[1]) L = operand;
  KA result;
  EachStep(parser, L, right.value, result);
  left = result;
  return left;
}

// ---------------------------------------------------------------------------
// Constants and constructors.

KA& KOps::opNIL_N(KA& r) {
  r.Owns(new KNil());
  return r;
}
KA& KOps::opSEQ_N(KA& r) {
  r.Owns(new KSeq());
  return r;
}
KA& KOps::opTRUE_N(KA& r) {
  r = true;
  return r;
}
KA& KOps::opFALSE_N(KA& r) {
  r = false;
  return r;
}

// "#SYS" niladic: the system object over the scope chain the handle holds
// (a namespace counts as a chain of one; anything else an empty chain).
KA& KOps::opSYS_N(KA& r) {
  if (r.Is(KT::tSeq)) {
    r.Owns(new KSys(r.value));
    return r;
  }
  KSeq* chain = new KSeq();
  KA hold;
  hold.Owns(chain);
  if (r.Is(KT::tNS)) chain->AppendRef(r.value);
  r.Owns(new KSys(chain));
  return r;
}

// "#NS" niladic: a new namespace.
KA& KOps::opNS_N(KA& r) {
  r.Owns(new KNS());
  return r;
}

// "#NS" monadic: a namespace holding the names a string or a sequence of
// strings gives, each bound to the empty value; a namespace stays itself.
KA& KOps::opNS(KA& a) {
  switch (a.Type()) {
    case KT::tNS:
      return a;
    case KT::tString:
    case KT::tField: {
      KNS* ns = new KNS();
      KA hold;
      hold.Owns(ns);
      KA empty;
      ns->Put(a.value, empty.value, KT::ntSymbol);
      a = hold;
      return a;
    }
    case KT::tSeq:
    case KT::tSeqEa:
    case KT::tFL: {
      KSeq* names = a.As<KSeq>();
      KNS* ns = new KNS();
      KA hold;
      hold.Owns(ns);
      for (int i = 0; i < names->Count(); ++i) {
        KA empty;  // a name that is not a string: 15 "Need string" from the namespace
        ns->Put(names->Slots()[i], empty.value, KT::ntSymbol);
      }
      a = hold;
      return a;
    }
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

KA& KOps::opNS(KA&, KA&) { KTHROW(KT::eNotSupp, "Dyadic NS"); }

// ---------------------------------------------------------------------------
// Text forms.

// "%*" monadic (also its niladic slot): the plain text form as a string.
KA& KOps::op252A(KA& a) {
  a.Owns(new KString(a.value->AsString(false)));
  return a;
}

// "%*" dyadic: format the left by the numeric right.
KA& KOps::op252A(KA& left, KA& right) {
  switch (right.Type()) {
    case KT::tSeq:
    case KT::tSeqEa:
      KTHROW(KT::eNotImpl, "RT Sequence");
    case KT::tString:
      KTHROW(KT::eNotImpl, "RT String");
    case KT::tNum:
      break;
    case KT::tBit:
      KA::ConformNum(right);
      break;
    default:
      KTHROW(KT::eNotSupp, "RT Type");
  }
  if (!right.Is(KT::tNum)) KTHROW(KT::eValue, "RT not numeric");
  switch (left.Type()) {
    case KT::tNum:
      left.Owns(left.As<KNum>()->Format(right.value));
      break;
    case KT::tString:
      left.Owns(left.As<KString>()->Format(right.value));
      break;
    case KT::tSeq:
    case KT::tSeqEa: {
      KB::NestGuard guard;  // nested sequences recurse
      KSeq* s = left.As<KSeq>();
      KA specs;
      specs.Owns(right.As<KNum>()->Take(s->Count(), true, true));
      KNum* sp = specs.As<KNum>();
      KSeq* out = new KSeq();
      KA hold;
      hold.Owns(out);
      out->addSlots(s->Count());
      for (int i = 0; i < s->Count(); ++i) {
        KA e(s->Slots()[i]);
        KA f;
        f.Owns(sp->IndexedBy(i));
        op252A(e, f);
        out->AppendRef(e.value);
      }
      left = hold;
      break;
    }
    case KT::tNil: {
      KA empty;
      empty.Owns(new KString());
      left.Owns(empty.As<KString>()->Format(right.value));
      break;
    }
    default: {
      KA text;
      text.Owns(new KString(left.value->AsString(false)));
      left.Owns(text.As<KString>()->Format(right.value));
      break;
    }
  }
  return left;
}

// "%**" monadic (also its niladic slot): the verbose text form; Nil gives
// an empty string.
KA& KOps::op252A2A(KA& a) {
  if (a.Is(KT::tNil)) a.Owns(new KString());
  else a.Owns(new KString(a.value->AsString(true)));
  return a;
}

// ---------------------------------------------------------------------------
// Value flags: collation ("@=" Tarq, "@==" exact), direction, argument
// switch, scope level. The niladic forms act on what the handle holds.

KA& KOps::op403D_N(KA& r) { return SetExact(r, 0); }
KA& KOps::op403D(KA& a) { return SetExact(a, 0); }
KA& KOps::op403D3D_N(KA& r) { return SetExact(r, 1); }
KA& KOps::op403D3D(KA& a) { return SetExact(a, 1); }

KA& KOps::op403C(KA& a) {
  a.value->direction = 0;
  return a;
}
KA& KOps::op403E(KA& a) {
  a.value->direction = 1;
  return a;
}
KA& KOps::op403E3C(KA& a) {
  a.value->mark = 1;
  return a;
}

// "*" monadic (also its niladic slot): the scope level where the value was
// found, -1 for no value.
KA& KOps::op2A(KA& a) {
  const int level = a.Is(KT::tNV) ? -1 : a.value->level;
  a = level;
  return a;
}
