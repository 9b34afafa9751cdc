// KArg: the argument handle KA - ownership of the held value, symbol
// access through namespaces and scope chains, and the rules that bring two
// operands together (coercion, conformance, catenation, take, comparison,
// images). These rules exist here once; operators call them.
#include "KArg.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "KAssoc.h"
#include "KBit.h"
#include "KBlock.h"
#include "KClock.h"
#include "KDict.h"
#include "KFCtxt.h"
#include "KFile.h"
#include "KGREP.h"
#include "KNS.h"
#include "KNum.h"
#include "KRS.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KArg";

namespace {

bool IsSeqT(const KB* v) { return v && (v->typen() == KT::tSeq || v->typen() == KT::tSeqEa); }
bool IsNST(const KB* v) { return v && (v->typen() == KT::tNS || v->typen() == KT::tCV); }
bool IsNameT(const KB* v) { return v && (v->typen() == KT::tString || v->typen() == KT::tField); }
bool IsNumT(const KB* v) {
  return v && v->typen() == KT::tNum && (v->alignmentn() == KT::aInt || v->alignmentn() == KT::aFloat);
}
bool IsNilT(const KB* v) { return v && (v->typen() == KT::tNil || v->typen() == KT::tNV); }

KSeq* AsSeq(KB* v) { return static_cast<KSeq*>(v); }
KNum* AsNum(KB* v) { return static_cast<KNum*>(v); }

// Guards a recursive walk over nested values against cycles.
void DepthCheck(int depth) {
  KB::WalkStep();
  if (depth > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
}

// Sets a value's exact flag for the length of a scope.
class ExactScope {
 public:
  ExactScope(KB* v, uint8_t flag) : v_(v), old_(v->exact) { v_->exact = flag; }
  ~ExactScope() { v_->exact = old_; }
  ExactScope(const ExactScope&) = delete;
  ExactScope& operator=(const ExactScope&) = delete;

 private:
  KB* v_;
  uint8_t old_;
};

// A one-element float value holding the nil of the partner's kind: the float
// nil next to floats, otherwise the integer nil as a float.
KB* NilFloatFor(const KB* partner) {
  bool f = partner && partner->alignmentn() == KT::aFloat;
  return new KNum(f ? KT::fNil : static_cast<double>(KT::iNil));
}

// A private copy of a numeric value in alignment a (I or F).
void NumToAlign(KA& x, KT::KAL a) {
  if (x.Align() == a) return;
  KNum* c = new KNum(x.value);
  try {
    c->CoerceTo(a);
  } catch (...) {
    KB::DoneWith(c);
    throw;
  }
  x.Owns(c);
}

// The bits of a bit vector as integers 0/1.
void BitsToInts(KA& x) { x.Owns(x.As<KBit>()->ToNum()); }

}  // namespace

// ------------------------------------------------------------ construction

KA::KA() : KB(KT::tArg), value(new KNV()) {}
KA::KA(KB* v) : KA() { ReferenceTo(v); }
KA::KA(KA& o) : KA() { ReferenceTo(o.value); }
KA::KA(KA* o) : KA() { ReferenceTo(o ? o->value : nullptr); }
KA::KA(const char* text) : KA() { Owns(KMakeString(text ? text : "")); }
KA::KA(const std::string& text) : KA() { Owns(KMakeString(text)); }
KA::KA(int v) : KA() { Owns(KMakeInt(v)); }
KA::KA(double v) : KA() { Owns(KMakeFloat(v)); }

KA::~KA() {
  KB* v = value;
  value = nullptr;
  KB::DoneWith(v);
}

// ------------------------------------------------------------ ownership

void KA::ReferenceTo(KB* v) {
  if (!v) {
    KB* old = value;
    value = new KNV();
    KB::DoneWith(old);
    return;
  }
  if (v->typen() == KT::tArg && v != this) v = static_cast<KA*>(v)->value;  // handles never nest
  if (v == this || v == value) return;
  v->Reference(true);
  KB* old = value;
  value = v;
  KB::DoneWith(old);
}

void KA::Owns(KB* v) {
  if (!v) {
    ReferenceTo(nullptr);
    return;
  }
  ReferenceTo(v);
  KB::DoneWith(v);
}

void KA::Clear() { ReferenceTo(nullptr); }

void KA::DeReference(bool flag) {
  if (descriptor && descriptor->refs == 1) {
    KB* old = value;
    value = new KNV();
    KB::DoneWith(old);
  }
  if (flag) KB::DeReference(true);
}

KB* KA::Clone() { return new KA(value); }

void KA::Reference(bool flag) { KB::Reference(flag); }

// A value bound to a name is copied before it is changed; the kinds that are
// always changed in place are left alone, and so is an unbound value.
void KA::Fix() {
  switch (Type()) {
    case KT::tNS: case KT::tDict: case KT::tFile: case KT::tRB: case KT::tRef:
    case KT::tIdx: case KT::tSet: case KT::tBag:
      return;
    default:
      break;
  }
  if (value->SID() < 0) return;
  KB* c = value->Clone();
  try {
    c->Fix();
  } catch (...) {
    KB::DoneWith(c);
    throw;
  }
  c->level = value->level;
  Owns(c);
}

// ------------------------------------------------------------ assignment

KA& KA::operator=(KB* v) {
  ReferenceTo(v);
  return *this;
}
KA& KA::operator=(KB& v) {
  ReferenceTo(&v);
  return *this;
}
KA& KA::operator=(KA& o) {
  if (&o != this && o.value->descriptor != value->descriptor) ReferenceTo(o.value);
  return *this;
}
KA& KA::operator=(int v) {
  Owns(KMakeInt(v));
  return *this;
}
KA& KA::operator=(double v) {
  Owns(KMakeFloat(v));
  return *this;
}
KA& KA::operator=(char c) {
  Owns(KMakeString(std::string(1, c)));
  return *this;
}
KA& KA::operator=(const char* s) {
  Owns(KMakeString(s ? s : ""));
  return *this;
}
KA& KA::operator=(const std::string& s) {
  Owns(KMakeString(s));
  return *this;
}
KA& KA::operator=(bool b) {
  Owns(new KBit(b));
  return *this;
}
KA& KA::AssignPtr(void* p) {
  if (KB::IsKB(p))
    ReferenceTo(static_cast<KB*>(p));
  else
    Owns(new KNil());
  return *this;
}
bool KA::operator==(KA& o) { return Compare(value, o.value) == 0; }

void KA::Reveal(KA& a) {
  switch (a.Type()) {
    case KT::tRef: {
      int lvl = a.value->level;
      a.ReferenceTo(a.As<KRef>()->ValPtr(true));
      a.value->level = lvl;
      return;
    }
    case KT::tDict: case KT::tFCtxt: case KT::tFile: case KT::tGREP: case KT::tOpUD:
    case KT::tPgm: case KT::tRB: case KT::tSeqEa: case KT::tSock: case KT::tString:
    case KT::tIdx: case KT::tSet: case KT::tBag:
      return;
    default:
      a.Fix();
  }
}

void KA::Assign(KA& value, KA& target) {
  if (!target.Is(KT::tRef)) KTHROW(KT::eValue, "Invalid symbol");
  if (value.Is(KT::tRef)) KTHROW(KT::eValue, "Ref Left and Right");
  target.As<KRef>()->ValSet(value.value);
}

bool KA::IsSelf(KA& a, KA& b) {
  KB* x = a.Is(KT::tRef) ? a.As<KRef>()->ValPtr(true) : a.value;
  KB* y = b.Is(KT::tRef) ? b.As<KRef>()->ValPtr(true) : b.value;
  if (x->descriptor == y->descriptor) return true;
  return x->descriptor->data && x->descriptor->data == y->descriptor->data;
}

// ------------------------------------------------------------ symbol access

// An undefined name gives the empty value; the result's level is the
// distance from the innermost namespace where the name was found.
void KA::ValPtr(KA& result, KA& name, KA& scope) {
  KA n(name), sc(scope);  // result may be one of the others
  KB* s = sc.value;
  if (IsNST(s)) {
    KB* v = static_cast<KNS*>(s)->ValPtr(n.value);
    result.ReferenceTo(v);
    result.value->level = 0;
    return;
  }
  if (s->typen() == KT::tRef) KTHROW(KT::eValue, "Ref");
  if (!IsSeqT(s)) {
    result.Clear();
    return;
  }
  KSeq* chain = AsSeq(s);
  int last = chain->Count() - 1;
  result.Clear();
  for (int i = last; i >= 0; --i) {
    KB* e = (*chain)[i];
    if (!IsNST(e)) KTHROW(KT::eSystem, "Corrupted NS Seq");
    KB* v = static_cast<KNS*>(e)->ValPtr(n.value);
    result.ReferenceTo(v);
    result.value->level = last - i;
    if (v && v->typen() != KT::tNV) return;  // an empty value searches on outwards
  }
}

void KA::Put(KA& value, KA& name, KA& target, KT::KNT kind) {
  if (value.Is(KT::tSeqEa)) value.value->descriptor->type = KT::tSeq;
  if (!IsNameT(name.value)) KTHROW(KT::eValue, "Need string");
  KB* t = target.value;
  if (IsNST(t)) {
    static_cast<KNS*>(t)->Put(name.value, value.value, kind);
  } else if (IsSeqT(t)) {
    KNS::Put(AsSeq(t), name.As<KString>(), value.value, kind);
  } else {
    KTHROW(KT::eValue, "Type");
  }
}

namespace {
// A value that is a scope chain: a namespace or a non-empty sequence of them.
bool IsChain(KB* v) {
  if (IsNST(v)) return true;
  if (!IsSeqT(v) || v->Count() == 0) return false;
  KSeq* s = AsSeq(v);
  for (int i = 0; i < s->Count(); ++i)
    if (!IsNST((*s)[i])) return false;
  return true;
}
}  // namespace

// The evaluator hands (chain, value) pairs: a reference to the variable of
// the nearest scope that holds this very value, else a named anonymous one.
// A two-element sequence whose first element is not a chain is an ordinary
// value and gets an anonymous reference to itself.
void KA::Ref(KA& a) {
  KB* v = a.value;
  switch (v->typen()) {
    case KT::tAssoc: a.Owns(new KRef(a.As<KAssoc>())); return;
    case KT::tRef: return;
    default: break;
  }
  if (v->typen() == KT::tSeq && v->Count() == 2 && IsChain((*AsSeq(v))[0])) {
    KB* chain = (*AsSeq(v))[0];
    KB* val = (*AsSeq(v))[1];
    if (val->typen() == KT::tRef) {
      a.ReferenceTo(val);
      return;
    }
    if (val->level < 2) {
      std::vector<KNS*> scopes;
      if (IsNST(chain)) {
        scopes.push_back(static_cast<KNS*>(chain));
      } else {
        KSeq* c = AsSeq(chain);
        for (int i = c->Count() - 1; i >= 0; --i) scopes.push_back(static_cast<KNS*>((*c)[i]));
      }
      for (KNS* ns : scopes) {
        if (KAssoc* as = ns->AssocPtrByVal(val)) {
          a.Owns(new KRef(as));
          return;
        }
      }
    }
    KString* key = new KString(KB::Fmt("__%d", val->ID));
    KRef* r = nullptr;
    try {
      if (val->level < 2) {
        r = new KRef(key, val);
      } else {
        KNV* nv = new KNV();
        r = new KRef(key, nv);
        KB::DoneWith(nv);
      }
    } catch (...) {
      KB::DoneWith(key);
      throw;
    }
    KB::DoneWith(key);
    a.Owns(r);
    return;
  }
  a.Owns(new KRef(v));
}

// Namespaces are sequences of associations: a namespace in hand gets an
// anonymous reference to itself (the evaluator's "@" after a namespace).
void KA::Ref_N(KA& a) {
  if (!IsSeqT(a.value) && !IsNST(a.value)) KTHROW(KT::eSystem, "KA::RefN");
  Ref(a);
}

// ------------------------------------------------------------ conversion

// Replaces the held value by one of the target type (and, for numbers,
// alignment). Conversions build new values, so a shared value is never
// changed through the handle.
void KA::CoerceTo(KT::KTO t, KT::KAL a) {
  KB* v = value;
  int n = v->Count();
  switch (v->typen()) {
    case KT::tNum:
      if (t == KT::tBit) {
        if (v->alignmentn() != KT::aInt && v->alignmentn() != KT::aFloat) KTHROW(KT::eSystem, "how here?");
        Owns(AsNum(v)->ToTF());
        return;
      }
      if (t == KT::tNum) {
        if (v->alignmentn() != a) NumToAlign(*this, a);
        return;
      }
      KTHROW(KT::eNotImpl, "From Arg");
    case KT::tBit:
      if (t == KT::tBit) return;
      if (t == KT::tNum && (a == KT::aNone || a == KT::aInt || a == KT::aFloat)) {
        BitsToInts(*this);
        if (a == KT::aFloat) NumToAlign(*this, KT::aFloat);
        return;
      }
      if (t == KT::tNum || t == KT::tString) {
        std::string s(static_cast<size_t>(n), '0');
        KBit* b = As<KBit>();
        for (int i = 0; i < n; ++i)
          if (b->BitGet(i)) s[static_cast<size_t>(i)] = '1';
        Owns(new KString(s));
        return;
      }
      KTHROW(KT::eNotImpl, "To Type");
    case KT::tNil:
    case KT::tNV:
      if (t == KT::tBit) {
        Owns(new KBit(n, false));
        return;
      }
      if (t == KT::tNum) {
        Owns(new KNum(a == KT::aFloat ? KT::aFloat : KT::aInt, n));
        return;
      }
      if (t == KT::tString) {
        Owns(new KString(static_cast<char>(KT::cNil), n));
        return;
      }
      KTHROW(KT::eNotImpl, "To Type");
    case KT::tString: {
      if (t == KT::tString) return;
      KString* s = As<KString>();
      if (t == KT::tBit) {
        Owns(new KBit(s->Str(), s->Len()));
        return;
      }
      if (t == KT::tNum) {
        Owns(new KNum(s->Str(), s->Len()));
        return;
      }
      KTHROW(KT::eNotImpl, "To Type");
    }
    default:
      KTHROW(KT::eNotImpl, "To Type");
  }
}

// A Nil operand takes the shape of its partner (n = the larger count).
void KA::CoerceNil(KA& a, KA& b) {
  bool an = a.Is(KT::tNil), bn = b.Is(KT::tNil);
  int n = std::max(a.Cnt(), b.Cnt());
  if (an && bn) {
    a.Owns(new KString(static_cast<char>(KT::cNil), n));
    b.ReferenceTo(a.value);
    return;
  }
  auto shape = [n](KA& x, KA& partner, const char* err) {
    KB* p = partner.value;
    switch (p->typen()) {
      case KT::tNum:
        if (p->alignmentn() == KT::aInt)
          x.Owns(new KNum(KT::aInt, n));
        else if (p->alignmentn() == KT::aFloat)
          x.Owns(new KNum(KT::aFloat, n));
        return;
      case KT::tSeq: {
        KSeq* s = new KSeq();
        KNil* nil = new KNil();
        for (int i = 0; i < n; ++i) s->Append(nil, false);
        KB::DoneWith(nil);
        x.Owns(s);
        return;
      }
      case KT::tString:
        x.Owns(new KString(static_cast<char>(KT::cNil), n));
        return;
      default:
        KTHROW(KT::eNotImpl, err);
    }
  };
  if (an)
    shape(a, b, "L Type");
  else if (bn)
    shape(b, a, "R Type");
}

void KA::ConformNum(KA& a, KA& b) {
  switch (a.Align()) {
    case KT::aNone: a.Owns(NilFloatFor(b.value)); break;
    case KT::aBit:
      if (b.Align() != KT::aBit) BitsToInts(a);
      break;
    case KT::aChar: a.CoerceTo(KT::tBit, KT::aBit); break;
    case KT::aInt:
      if (b.Align() == KT::aFloat) NumToAlign(a, KT::aFloat);
      break;
    case KT::aFloat:
      if (b.Align() == KT::aInt) NumToAlign(b, KT::aFloat);
      break;
    default: KTHROW(KT::eValue, "Alignment");
  }
  switch (b.Align()) {
    case KT::aNone: b.Owns(NilFloatFor(a.value)); break;
    case KT::aBit:
      if (a.Align() != KT::aBit) BitsToInts(b);
      break;
    case KT::aChar: b.CoerceTo(KT::tBit, KT::aBit); break;
    case KT::aInt:
    case KT::aFloat: break;
    default: KTHROW(KT::eValue, "Alignment");
  }
}

void KA::ConformNum(KA& a) {
  switch (a.Align()) {
    case KT::aBit: BitsToInts(a); return;
    case KT::aInt:
    case KT::aFloat: return;
    default: KTHROW(KT::eValue, "Alignment");
  }
}

void KA::BitConform(KA& a) {
  switch (a.Align()) {
    case KT::aBit: return;
    case KT::aChar:
    case KT::aInt:
    case KT::aFloat: a.CoerceTo(KT::tBit, KT::aBit); return;
    default: KTHROW(KT::eValue, "Alignment");
  }
}

void KA::BitConform(KA& a, KA& b) {
  BitConform(a);
  BitConform(b);
}

// Exactly one sequence: the other side is enclosed. Different counts: the
// shorter side is taken to the longer count with edge filling; numbers and
// clocks (decided by the left operand) keep their elements at the end.
void KA::ConformLen(KA& a, KA& b) {
  bool as = a.Is(KT::tSeq), bs = b.Is(KT::tSeq);
  if (as && !bs) Enclose(b);
  if (bs && !as) Enclose(a);
  int na = a.Cnt(), nb = b.Cnt();
  if (na == nb) return;
  bool front = !(a.Is(KT::tNum) || a.Is(KT::tClock));
  if (na < nb)
    Take(a, nb, front, true);
  else
    Take(b, na, front, true);
}

void KA::Convert(KA& a, KA& b) {
  if (!b.Is(KT::tNum)) return;
  switch (a.Type()) {
    case KT::tBit: a.Owns(a.As<KBit>()->Convert(b.value)); return;
    case KT::tNum: a.Owns(a.As<KNum>()->Convert(b.value)); return;
    case KT::tString: a.Owns(a.As<KString>()->Convert(b.value)); return;
    default: return;
  }
}

namespace {
bool IsHomog(KB* v, int depth) {
  DepthCheck(depth);
  if (v->Count() == 0) return true;
  switch (v->typen()) {
    case KT::tBit: case KT::tNum: case KT::tString: return true;
    case KT::tSeq: case KT::tSeqEa: break;
    default: KTHROW(KT::eNotImpl, "IsHomogeneous");
  }
  KSeq* s = AsSeq(v);
  if (s->Count() < 2) return true;
  int kind = -1;
  for (int i = 0; i < s->Count(); ++i) {
    KB* e = (*s)[i];
    if (IsNilT(e)) continue;
    if (kind < 0)
      kind = e->typen();
    else if (e->typen() != kind)
      return false;
    if (IsSeqT(e) && !IsHomog(e, depth + 1)) return false;
  }
  return true;
}
}  // namespace

bool KA::IsHomogeneous() { return IsHomog(value, 0); }

namespace {
void HomogenizeAt(KA& a, bool deep, int depth) {
  DepthCheck(depth);
  if (!IsSeqT(a.value) || a.Cnt() == 0) return;
  KSeq* s = a.As<KSeq>();
  int n = s->Count();
  int kind = -1;
  for (int i = 0; i < n; ++i) {
    KB* e = (*s)[i];
    if (IsNilT(e)) continue;
    if (kind < 0)
      kind = e->typen();
    else if (e->typen() != kind)
      return;  // mixed kinds stay as they are
  }
  if (kind < 0) return;  // nothing but nils
  switch (kind) {
    case KT::tBit: {
      KBit* r = new KBit(n, false);
      for (int i = 0; i < n; ++i) {
        KB* e = (*s)[i];
        if (e->typen() == KT::tBit && e->Count() > 0) r->BitSet(i, static_cast<KBit*>(e)->BitGet(0));
      }
      a.Owns(r);
      return;
    }
    case KT::tClock:
    case KT::tNum: {
      bool flt = kind == KT::tClock;
      int64_t total = 0;
      for (int i = 0; i < n; ++i) {
        KB* e = (*s)[i];
        if (e->typen() == KT::tNil) {
          total += 1;
        } else if (e->typen() == kind) {
          total += e->Count();
          if (e->alignmentn() == KT::aFloat) flt = true;
        }
      }
      if (total > INT32_MAX) KTHROW(KT::eValue, "Length");
      int cnt = static_cast<int>(total);
      KNum* r = kind == KT::tClock ? static_cast<KNum*>(new KClock(
                                         KB::AllocData(KB::StorageBytes(KT::aFloat, cnt), false), cnt, cnt))
                                   : new KNum(flt ? KT::aFloat : KT::aInt, cnt);
      int k = 0;
      for (int i = 0; i < n; ++i) {
        KB* e = (*s)[i];
        if (e->typen() == KT::tNil) {
          if (flt)
            r->FltPtr()[k++] = KT::fNil;
          else
            r->IntPtr()[k++] = KT::iNil;
          continue;
        }
        if (e->typen() != kind) continue;
        KNum* x = AsNum(e);
        for (int j = 0; j < x->Count(); ++j) {
          if (!flt) {
            r->IntPtr()[k++] = x->IntPtr()[j];
          } else if (x->alignmentn() == KT::aFloat) {
            r->FltPtr()[k++] = x->FltPtr()[j];
          } else {
            int32_t iv = x->IntPtr()[j];
            r->FltPtr()[k++] = iv == KT::iNil ? KT::fNil : static_cast<double>(iv);
          }
        }
      }
      a.Owns(r);
      return;
    }
    case KT::tString: {
      std::string t;
      for (int i = 0; i < n; ++i) t += KB::TextOf((*s)[i]);
      a.Owns(new KString(t));
      return;
    }
    case KT::tSeq:
    case KT::tSeqEa: {
      KSeq* r = new KSeq();
      for (int i = 0; i < n; ++i) {
        KB* e = (*s)[i];
        if (IsSeqT(e))
          r->AppendEach(e, false);
        else
          r->Append(e, false);
      }
      a.Owns(r);
      if (!deep || !r->IsHomogeneous()) HomogenizeAt(a, deep, depth + 1);
      return;
    }
    case KT::tNil:
      return;
    default:
      if (n == 1) {
        a.ReferenceTo((*s)[0]);
        return;
      }
      KTHROW(KT::eNotImpl, "Type");
  }
}
}  // namespace

void KA::Homogenize(KA& a, bool deep) { HomogenizeAt(a, deep, 0); }

// ------------------------------------------------------------ structure

void KA::Enclose(KA& a) { a.Owns(new KSeq(a.value, false)); }

// The left operand becomes a sequence (a private one when others hold it)
// and receives the right value as one more element.
void KA::StrandEm(KA& a, KA& b) {
  KA keep(b);  // b may be a
  if (!IsSeqT(a.value))
    Enclose(a);
  else if (a.value->holds > 1 || a.value->Shared())
    a.Owns(new KSeq(a.As<KSeq>()));
  a.As<KSeq>()->Append(keep.value, false);
}

namespace {
void RavelInto(KSeq* r, KSeq* s, int depth) {
  DepthCheck(depth);
  for (int i = 0; i < s->Count(); ++i) {
    KB* e = (*s)[i];
    if (IsSeqT(e))
      RavelInto(r, AsSeq(e), depth + 1);
    else
      r->Append(e, false);
  }
}
}  // namespace

void KA::Ravel(KA& a) {
  KB* v = a.value;
  KSeq* r = new KSeq();
  try {
    if (v->typen() == KT::tFL) {
      for (int i = 0; i < v->Count(); ++i) r->Append((*AsSeq(v))[i], false);
    } else if (IsSeqT(v)) {
      RavelInto(r, AsSeq(v), 0);
    } else {
      r->Append(v, false);
    }
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  a.Owns(r);
}

void KA::Disclose(KA& a, bool deep) {
  if (IsNST(a.value)) {
    a.Owns(a.As<KNS>()->Disclose());
  } else if (a.Is(KT::tRef)) {
    a.ReferenceTo(a.As<KRef>()->ValPtr(true));
  } else if (IsSeqT(a.value) && a.IsHomogeneous()) {
    Homogenize(a, deep);
  }
}

namespace {
void DiscloseDepth(KA& a, int d, int level) {
  DepthCheck(level);
  if (!IsSeqT(a.value) || KSeq::Depth(a.value) <= d) return;
  KSeq* s = a.As<KSeq>();
  KSeq* r = new KSeq();
  try {
    for (int i = 0; i < s->Count(); ++i) {
      KB* e = (*s)[i];
      if (IsSeqT(e) && KSeq::Depth(e) >= d) {
        KA x(e);
        DiscloseDepth(x, d, level + 1);
        if (IsSeqT(x.value))
          r->AppendEach(x.value, false);
        else
          r->Append(x.value, false);
      } else {
        r->Append(e, false);
      }
    }
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  a.Owns(r);
}
}  // namespace

void KA::Disclose(KA& a, KA& depth) {
  int d = IsNumT(depth.value) ? depth.As<KNum>()->AsInt() : 0;
  DiscloseDepth(a, d, 0);
}

namespace {
void ExposeInto(KSeq* r, KSeq* seq, KSeq* seps, int i, int depth) {
  DepthCheck(depth);
  KB* sep = (i >= 0 && i < seps->Count()) ? (*seps)[i] : nullptr;
  for (int j = 0; j < seq->Count(); ++j) {
    if (j > 0 && sep) r->Append(sep, false);
    KB* e = (*seq)[j];
    if (IsSeqT(e))
      ExposeInto(r, AsSeq(e), seps, i + 1, depth + 1);
    else
      r->Append(e, false);
  }
}
}  // namespace

// The elements of seq with separator i between neighbours; nested sequences
// are spliced in with separator i + 1 (no separator past the list).
void KA::ExposeSep(KA& seq, KA& seps, int i) {
  if (!IsSeqT(seq.value) || !IsSeqT(seps.value)) KTHROW(KT::eSystem, "Need Seq");
  KSeq* r = new KSeq();
  try {
    ExposeInto(r, seq.As<KSeq>(), seps.As<KSeq>(), i, 0);
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  seq.Owns(r);
}

namespace {
bool IsFieldish(const KB* v) { return v && (v->typen() == KT::tField || v->typen() == KT::tFL); }

void AppendFields(KFList* fl, KB* v) {
  if (v->typen() == KT::tField) {
    fl->Append(v, false);
    return;
  }
  KSeq* s = AsSeq(v);
  for (int i = 0; i < s->Count(); ++i) fl->Append((*s)[i], false);
}

KB* Pair(KB* a, KB* b) {
  KSeq* s = new KSeq(a, false);
  s->Append(b, false);
  return s;
}

// A Nil operand next to a number, string or other value (rule of Catenate).
void NilBeside(KA& nil, KA& other) {
  KB* o = other.value;
  if (o->typen() == KT::tNum) {
    if (o->alignmentn() == KT::aFloat)
      nil.Owns(new KNum(KT::fNil));
    else
      nil.Owns(new KNum(static_cast<int32_t>(KT::iNil)));
  } else if (o->typen() == KT::tString) {
    nil.Owns(new KString());
  } else if (!IsSeqT(o)) {
    KNil* n = new KNil();
    nil.Owns(new KSeq(n, true));
  }
}
}  // namespace

void KA::Catenate(KA& a, KA& b) {
  KA r(b);  // b may be the same handle as a
  if (IsFieldish(a.value) && IsFieldish(r.value)) {
    KFList* fl = new KFList();
    try {
      AppendFields(fl, a.value);
      AppendFields(fl, r.value);
    } catch (...) {
      KB::DoneWith(fl);
      throw;
    }
    a.Owns(fl);
    return;
  }
  if (a.Is(KT::tNil) && !r.Is(KT::tNil)) NilBeside(a, r);
  if (r.Is(KT::tNil) && !a.Is(KT::tNil)) NilBeside(r, a);
  if (a.Is(KT::tNil) && r.Is(KT::tNil)) {
    NilBeside(a, r);
    NilBeside(r, a);
  }
  KT::KTO ta = a.Type(), tb = r.Type();
  bool sa = IsSeqT(a.value), sb = IsSeqT(r.value);
  if (ta == tb || (sa && sb)) {
    switch (ta) {
      case KT::tBit: a.Owns(a.As<KBit>()->Catenate(r.As<KBit>())); return;
      case KT::tNum: a.Owns(a.As<KNum>()->Catenate(r.As<KNum>())); return;
      case KT::tSeq:
      case KT::tSeqEa: a.Owns(a.As<KSeq>()->Catenate(r.As<KSeq>())); return;
      case KT::tString: a.Owns(a.As<KString>()->Catenate(r.value)); return;
      case KT::tFCtxt: {
        KFCtxt* c = new KFCtxt(a.As<KFCtxt>());
        KA hold;
        hold.Owns(c);
        c->Catenate(r.value);
        a = hold;
        return;
      }
      case KT::tRef: a.Owns(Pair(a.value, r.value)); return;
      case KT::tNV: a.Clear(); return;
      default: KTHROW(KT::eNotSupp, "Left Type");
    }
  }
  if (sa) {
    KSeq* s = new KSeq(r.value, false);
    KSeq* c = nullptr;
    try {
      c = a.As<KSeq>()->Catenate(s);
    } catch (...) {
      KB::DoneWith(s);
      throw;
    }
    KB::DoneWith(s);
    a.Owns(c);
    return;
  }
  if (sb) {
    KSeq* s = new KSeq(a.value, false);
    KSeq* c = nullptr;
    try {
      c = s->Catenate(r.As<KSeq>());
    } catch (...) {
      KB::DoneWith(s);
      throw;
    }
    KB::DoneWith(s);
    a.Owns(c);
    return;
  }
  a.Owns(Pair(a.value, r.value));
}

void KA::Take(KA& a, int n, bool front, bool fillEdge) {
  switch (a.Type()) {
    case KT::tBit: a.Owns(a.As<KBit>()->Take(n, front, fillEdge)); return;
    case KT::tClock: a.Owns(a.As<KClock>()->Take(n, front, fillEdge)); return;
    case KT::tNum: a.Owns(a.As<KNum>()->Take(n, front, fillEdge)); return;
    case KT::tSeq:
    case KT::tSeqEa: a.Owns(a.As<KSeq>()->Take(n, front, fillEdge)); return;
    case KT::tString: a.Owns(a.As<KString>()->Take(n, front, fillEdge)); return;
    case KT::tFCtxt: a.Owns(a.As<KFCtxt>()->Take(n, front, fillEdge)); return;
    case KT::tFile: a.Owns(a.As<KFile>()->Buf()->Take(n, front, fillEdge)); return;
    case KT::tNil: a.Owns(new KNil(n == KT::iNil ? 1 : (n < 0 ? -n : n))); return;
    case KT::tNV: return;
    case KT::tRS: KTHROW(KT::eNotImpl, "RS");
    default: KTHROW(KT::eNotImpl, "Left Type");
  }
}

void KA::Take(KA& a, KA& count, bool front, bool fillEdge) {
  // A file context as the count copies files into it.
  if (count.Is(KT::tFCtxt) && (a.Is(KT::tFCtxt) || a.Is(KT::tFile) || a.Is(KT::tSeq))) {
    a.Owns(new KNum(static_cast<int32_t>(count.As<KFCtxt>()->Copy(a.value))));
    return;
  }
  if (!IsNumT(count.value)) KTHROW(KT::eValue, "Number of elements");
  Take(a, count.As<KNum>()->AsInt(), front, fillEdge);
}

void KA::Reshape(KA& a, int n) {
  if (!a.Is(KT::tString)) KTHROW(KT::eNotImpl, "Type");
  a.Owns(a.As<KString>()->Reshape(n));
}

void KA::BitToIdx(KA& a) {
  if (a.Is(KT::tBit)) {
    int n = 0;
    a.Owns(a.As<KBit>()->ToIndices(n));
  } else {
    a.Owns(new KNum());
  }
}

int KA::CountNotNil() { return Is(KT::tNum) ? As<KNum>()->CountNotNil() : Cnt(); }

// ------------------------------------------------------------ indexing

namespace {
// Element i (0-based) of a value as a value of its own (caller's reference).
KB* ElementAt(KB* v, int i) {
  switch (v->typen()) {
    case KT::tSeq:
    case KT::tSeqEa: return AsSeq(v)->IndexedBy(i);
    case KT::tNum: return AsNum(v)->IndexedBy(i);
    case KT::tClock: return static_cast<KClock*>(v)->IndexedBy(i);
    case KT::tString:
    case KT::tBit:
      if (i < 0 || i >= v->Count()) return new KNV();
      return v->Range(i, i);
    default:
      v->Reference(true);
      return v;
  }
}

// Selecting named fields: a new namespace binding each field name to the
// value's element at the same position (a namespace: the field's value).
void IndexByFields(KA& value, KSeq* fl) {
  KB* v = value.value;
  if (v->typen() == KT::tNV) return;
  if (v->typen() == KT::tRS) {
    value.Owns(static_cast<KRS*>(v)->IndexedBy(fl));
    return;
  }
  if (IsNST(v)) {
    if (v->exact) {
      value.Owns(static_cast<KNS*>(v)->IndexedBy(fl));
      return;
    }
    KNS* r = new KNS();
    KA keep(r);
    KB::DoneWith(r);
    for (int i = 0; i < fl->Count(); ++i) {
      KB* f = (*fl)[i];
      KB* x = static_cast<KNS*>(v)->ValPtr(f);
      if (x) r->Put(f, x, KT::ntAny);
    }
    value.ReferenceTo(r);
    return;
  }
  int n = fl->Count();
  KA src(v);
  if (v->Count() == 1 && (v->typen() == KT::tBit || v->typen() == KT::tNum || IsSeqT(v) || v->typen() == KT::tString))
    KA::Enclose(src);
  if (src.Cnt() < n) KA::Take(src, n, true, false);
  KNS* r = new KNS();
  KA keep(r);
  KB::DoneWith(r);
  for (int i = 0; i < n; ++i) {
    KB* e = ElementAt(src.value, i);
    try {
      r->Put((*fl)[i], e, KT::ntAny);
    } catch (...) {
      KB::DoneWith(e);
      throw;
    }
    KB::DoneWith(e);
  }
  value.ReferenceTo(r);
}

// The elements of a sequence whose bit is set.
KSeq* SelectByBits(KSeq* s, KBit* bits) {
  KSeq* r = s->typen() == KT::tFL ? new KFList() : new KSeq();
  int n = std::min(s->Count(), bits->Count());
  for (int i = 0; i < n; ++i)
    if (bits->BitGet(i)) r->Append((*s)[i], false);
  return r;
}

// True when the element's text (a file context's path, a file's name)
// contains the string (collated search).
bool TextContains(KB* e, KString* pat) {
  KString t(e->AsString(false));
  int len = 0;
  return t.IdxNextAll(pat, 0, len) < t.Len();
}

// The elements whose text contains the string.
KSeq* SelectByText(KSeq* s, KString* pat) {
  KSeq* r = new KSeq();
  try {
    for (int i = 0; i < s->Count(); ++i) {
      KB* e = (*s)[i];
      if (TextContains(e, pat)) r->Append(e, false);
    }
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

// A string index of a sequence as the bits it selects by: its own bits when
// it consists of bits, else one bit per element whose text contains it.
KBit* SeqMaskOfText(KSeq* s, KString* pat) {
  if (pat->IsBits()) return new KBit(pat->Str(), pat->Len());
  KBit* b = new KBit(s->Count(), false);
  try {
    for (int i = 0; i < s->Count(); ++i)
      if (TextContains((*s)[i], pat)) b->BitSet(i, true);
  } catch (...) {
    KB::DoneWith(b);
    throw;
  }
  return b;
}
}  // namespace

void KA::IndexedBy(KA& value, KA& index) {
  if (KDict::IsDictType(value.Type())) {
    value.Owns(value.As<KDict>()->IndexedBy(index.value));
    return;
  }
  KA idx(index);
  if (idx.Is(KT::tField)) {
    KFList* fl = new KFList();
    fl->Append(idx.value, false);
    idx.Owns(fl);
  }
  if (idx.Is(KT::tFL)) {
    IndexByFields(value, idx.As<KSeq>());
    return;
  }
  KB* v = value.value;
  KB* x = idx.value;
  switch (v->typen()) {
    case KT::tClock: value.Owns(static_cast<KClock*>(v)->IndexedBy(x)); return;
    case KT::tNS:
    case KT::tCV: value.Owns(static_cast<KNS*>(v)->IndexedBy(x)); return;
    case KT::tNum: value.Owns(AsNum(v)->IndexedBy(x)); return;
    case KT::tBit: value.Owns(static_cast<KBit*>(v)->IndexedBy(x)); return;
    case KT::tRS: value.Owns(static_cast<KRS*>(v)->IndexedBy(x)); return;
    case KT::tString:
    case KT::tField: value.Owns(static_cast<KString*>(v)->IndexedBy(x)); return;
    case KT::tFCtxt: value.Owns(static_cast<KFCtxt*>(v)->List(idx, true, true, false)); return;
    case KT::tFile: value.Owns(static_cast<KFile*>(v)->Buf()->IndexedBy(x)); return;
    case KT::tRef: {
      KA t(static_cast<KRef*>(v)->ValPtr(true));
      IndexedBy(t, idx);
      value.ReferenceTo(t.value);
      return;
    }
    case KT::tFL:
    case KT::tSeq:
    case KT::tSeqEa: {
      KSeq* s = AsSeq(v);
      if (x->typen() == KT::tBit) {
        value.Owns(SelectByBits(s, static_cast<KBit*>(x)));
      } else if (x->typen() == KT::tNum) {
        value.Owns(s->IndexedBy(AsNum(x)));
      } else if (x->typen() == KT::tNV) {
        value.Owns(s->Clone());
      } else if (v->typen() != KT::tFL && x->typen() == KT::tString) {
        KString* p = static_cast<KString*>(x);
        if (p->IsBits()) {
          KBit* b = new KBit(p->Str(), p->Len());
          KA hold(b);
          KB::DoneWith(b);
          value.Owns(SelectByBits(s, b));
        } else {
          value.Owns(SelectByText(s, p));
        }
      } else {
        KTHROW(KT::eNotSupp, "Type");
      }
      return;
    }
    case KT::tNV:
    case KT::tNil: return;
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

// Indexed assignment, in place on the held value (the evaluator makes a
// private copy first where a shared value must not change).
void KA::IdxAssign(KA& value, KA& index, KA& newValue) {
  if (value.Is(KT::tGREP)) {
    value.As<KGREP>()->IdxAssign(newValue.value, index.value);
    return;
  }
  if (KDict::IsDictType(value.Type())) {
    value.As<KDict>()->IdxAssign(newValue.value, index.value);
    return;
  }
  KA idx(index);
  if (idx.Is(KT::tField)) {
    KFList* fl = new KFList();
    fl->Append(idx.value, false);
    idx.Owns(fl);
  }
  KB* v = value.value;
  KB* x = idx.value;
  KB* nv = newValue.value;
  switch (v->typen()) {
    case KT::tClock: static_cast<KClock*>(v)->IdxAssign(nv, x); return;
    case KT::tNS:
    case KT::tCV: static_cast<KNS*>(v)->IdxAssign(nv, x); return;
    case KT::tNum: AsNum(v)->IdxAssign(nv, x); return;
    case KT::tBit: static_cast<KBit*>(v)->IdxAssign(nv, x); return;
    case KT::tString: static_cast<KString*>(v)->IdxAssign(nv, x); return;
    case KT::tRS: static_cast<KRS*>(v)->IdxAssign(nv, x); return;
    case KT::tFCtxt: static_cast<KFCtxt*>(v)->IdxAssign(nv, x); return;
    case KT::tRef: {
      KA t(static_cast<KRef*>(v)->ValPtr(true));
      IdxAssign(t, idx, newValue);
      return;
    }
    case KT::tFL:
    case KT::tSeq:
    case KT::tSeqEa:
      // A string index selects as it does when indexing (bits or text).
      if (v->typen() != KT::tFL && x->typen() == KT::tString) {
        idx.Owns(SeqMaskOfText(AsSeq(v), static_cast<KString*>(x)));
        x = idx.value;
      }
      if (x->typen() == KT::tBit) {
        int n = 0;
        KNum* pos = static_cast<KBit*>(x)->ToIndices(n);
        KA hold(pos);
        KB::DoneWith(pos);
        AsSeq(v)->IdxAssign(nv, pos);
      } else {
        AsSeq(v)->IdxAssign(nv, x);
      }
      return;
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

// One bit telling whether the two values are equal (numbers: same type,
// alignment and elements; two bit vectors: bit by bit).
void KA::MarkEqual(KA& a, KA& b) {
  KA r(b);
  if (a.Is(KT::tNum)) {
    a.Owns(a.As<KNum>()->MarkEqual(r.value));
  } else if (a.Is(KT::tBit) && r.Is(KT::tBit)) {
    a.Owns(a.As<KBit>()->MarkEqual(r.As<KBit>()));
  } else {
    a.Owns(new KBit(EQ(a.value, r.value)));
  }
}

// The intersection of all elements of a sequence (numbers or strings).
void KA::IntersectRed(KA& a) {
  if (!IsSeqT(a.value) || a.Cnt() == 0) return;
  KSeq* s = a.As<KSeq>();
  KA acc((*s)[0]);
  for (int i = 1; i < s->Count(); ++i) {
    KB* e = (*s)[i];
    if (acc.Is(KT::tNum) && e->typen() == KT::tNum)
      acc.Owns(acc.As<KNum>()->Intersect(AsNum(e)));
    else if (acc.Is(KT::tString) && e->typen() == KT::tString)
      acc.Owns(acc.As<KString>()->Intersect(e));
    else
      KTHROW(KT::eNotImpl, "Type");
  }
  a.ReferenceTo(acc.value);
}

void KA::Intersect(KA&, KA&) { KTHROW(KT::eNotImpl, "Type"); }
void KA::Grade(KA&, bool) { KTHROW(KT::eSystem, "Grade"); }

// ------------------------------------------------------------ comparison

namespace {
int Sign(intptr_t d) { return d < 0 ? -1 : (d > 0 ? 1 : 0); }

int CompareAt(KB* a, KB* b, int depth) {
  DepthCheck(depth);
  if (a->typen() != b->typen()) return a->typen() - b->typen();
  switch (a->typen()) {
    case KT::tClock:
    case KT::tNum: return AsNum(a)->Compare(b);
    case KT::tField:
    case KT::tString: return static_cast<KString*>(a)->Compare(b);
    case KT::tFCtxt: return static_cast<KFCtxt*>(a)->Compare(b);
    case KT::tFile: return static_cast<KFile*>(a)->Compare(b);
    case KT::tFL:
    case KT::tSeq:
    case KT::tSeqEa: {
      KSeq* x = AsSeq(a);
      KSeq* y = AsSeq(b);
      int n = std::min(x->Count(), y->Count());
      for (int i = 0; i < n; ++i) {
        KB* l = (*x)[i];
        KB* r = (*y)[i];
        ExactScope ex(l, a->exact);
        if (l->typen() != r->typen()) return l->typen() - r->typen();
        if (l->Count() != r->Count()) return l->Count() - r->Count();
        int c = CompareAt(l, r, depth + 1);
        if (c) return c;
      }
      return x->Count() - y->Count();
    }
    case KT::tNV:
      return 0;  // every empty value equals every other (as EQ says), whatever its address
    default:
      if (a->Count() != b->Count()) return a->Count() - b->Count();
      return Sign(KB::CmpDefaultPtr(a, b));
  }
}

bool EQAt(KB* a, KB* b, int depth) {
  DepthCheck(depth);
  if (!a || !b || a->typen() != b->typen()) return false;
  if (a->typen() == KT::tNV) return true;
  if (IsSeqT(a)) {
    if (a->Count() != b->Count()) return false;
    KSeq* x = AsSeq(a);
    KSeq* y = AsSeq(b);
    for (int i = 0; i < x->Count(); ++i) {
      KB* l = (*x)[i];
      ExactScope ex(l, a->exact);
      if (!EQAt(l, (*y)[i], depth + 1)) return false;
    }
    return true;
  }
  return a->EQ(b);
}

bool IsSameAt(KB* a, KB* b, bool exact, int depth) {
  DepthCheck(depth);
  switch (a->typen()) {
    case KT::tNum: return AsNum(a)->IsSame(b);
    case KT::tString: return static_cast<KString*>(a)->IsSame(b);
    case KT::tSeq:
    case KT::tSeqEa: break;
    default: KTHROW(KT::eNotImpl, "Type");
  }
  KA bb(b);
  if (!IsSeqT(b)) KA::Enclose(bb);
  KSeq* x = AsSeq(a);
  KSeq* y = bb.As<KSeq>();
  if (x->Count() != y->Count()) return false;
  for (int i = 0; i < x->Count(); ++i) {
    KB* l = (*x)[i];
    KB* r = (*y)[i];
    switch (l->typen()) {
      case KT::tNum:
        if (!AsNum(l)->IsSame(r)) return false;
        break;
      case KT::tSeq:
      case KT::tSeqEa:
        if (!IsSameAt(l, r, exact, depth + 1)) return false;
        break;
      case KT::tString: {
        ExactScope ex(l, exact ? 1 : 0);
        if (!static_cast<KString*>(l)->IsSame(r)) return false;
        break;
      }
      default: KTHROW(KT::eNotSupp, "Type");
    }
  }
  return true;
}
}  // namespace

int KA::Compare(KB* a, KB* b) { return CompareAt(a, b, 0); }

bool KA::EQ(KB* a, KB* b) { return EQAt(a, b, 0); }

// Sequences order element by element (a prefix is smaller); other values of
// one type use their own ordering.
bool KA::GT(KB* a, KB* b) {
  if (a->typen() != b->typen()) return b->typen() < a->typen();
  if (IsSeqT(a) || a->typen() == KT::tFL) return CompareAt(a, b, 0) > 0;
  return a->GT(b, -1, -1, true);
}

// Sort callback: greater, else less, else the positions decide.
bool KA::GT(KB* o, int i, int j, bool descending) {
  if (GT(value, o)) return true;
  if (GT(o, value)) return false;
  return descending ? j < i : i < j;
}

bool KA::IsSame(KA& a, KA& b, bool exact) { return IsSameAt(a.value, b.value, exact, 0); }

// ------------------------------------------------------------ text

const std::string& KA::AsString(bool verbose) {
  text = AddCR(value->AsString(verbose));
  return text;
}

std::string KA::Dump() { return value->Dump(); }

std::string KA::AddCR(const std::string& s) {
  std::string r;
  r.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size(); ++i) {
    r += s[i];
    if (s[i] == '\r' && (i + 1 >= s.size() || s[i + 1] != '\n')) r += '\n';
  }
  return r;
}

// ------------------------------------------------------------ images
// One table, indexed by the type byte, says which types the handle writes
// (SO, SOSz), which it only sizes, and which reader builds a value from an
// image. A class outside this file plugs in with one line at namespace
// scope in its own unit:
//   static const bool kImage = KA::ImageKindAdd(KT::tFile, &KFile::SI);

namespace {
struct ImageKind {
  KA::ImageReader read = nullptr;  // null: images of this type are not read
  bool writes = false;             // SO and SOSz accepted
  bool sizes = false;              // SOSz accepted
};

std::array<ImageKind, 256>& ImageKinds() {
  static std::array<ImageKind, 256> kinds = [] {
    std::array<ImageKind, 256> k{};
    struct Builtin {
      int type;
      KA::ImageReader read;
    };
    const Builtin builtins[] = {
        {KT::tBit, &KBit::SI},       {KT::tBlock, &KBlock::SI}, {KT::tOpUD, &KBlock::SI},
        {KT::tPgm, &KBlock::SI},     {KT::tClock, &KClock::SI}, {KT::tCV, &KCV::SI},
        {KT::tField, &KString::SI},  {KT::tString, &KString::SI}, {KT::tFL, &KFList::SI},
        {KT::tSeq, &KSeq::SI},       {KT::tNil, &KNil::SI},     {KT::tNS, &KNS::SI},
        {KT::tNum, &KNum::SI},       {KT::tFCtxt, &KFCtxt::SI}, {KT::tFile, &KFile::SI},
        {KT::tAssoc, nullptr},  // written inside namespaces, never read alone
    };
    for (const Builtin& b : builtins) k[static_cast<size_t>(b.type)] = {b.read, true, true};
    k[KT::tDict].sizes = true;  // a dictionary reports its size only
    return k;
  }();
  return kinds;
}

const ImageKind& KindOf(int type) { return ImageKinds()[static_cast<size_t>(type & 0xFF)]; }
}  // namespace

bool KA::ImageKindAdd(int type, ImageReader read, bool writes) {
  if (type <= 0 || type > 255) return false;
  ImageKind& k = ImageKinds()[static_cast<size_t>(type)];
  k.read = read;
  k.writes = k.sizes = writes;
  return true;
}

std::string KA::SO() {
  if (!KindOf(Type()).writes) KTHROW(KT::eNotImpl, "Type");
  return value->SO();
}

int KA::SOSz() {
  if (!KindOf(Type()).sizes) KTHROW(KT::eNotImpl, "Marshaling for type");
  return value->SOSz();
}

// The string covers the whole image.
void KA::SO(KA& a) { a.Owns(new KString(a.SO())); }

// The frame of `image` has been checked by the caller (at least 8 bytes, the
// header's total inside the buffer); each reader checks its own body against
// that total before reading it.
void KA::SI(KA& a, const char* image) {
  if (!image) KTHROW(KT::eNotImpl, "Type");
  ImageReader read = KindOf(static_cast<unsigned char>(image[0])).read;
  if (!read) KTHROW(KT::eNotImpl, "Type");
  a.Owns(read(image));
}

// An image must fill the buffer exactly: at least the 8-byte header, whose
// total equals the length (KB::SIChk).
void KA::SI(KA& a, const char* buf, int len) {
  if (!SIChk(buf, len)) KTHROW(KT::eValue, "Not SI");
  SI(a, buf);
}

void KA::SI(KA& a) {
  if (!a.Is(KT::tString)) KTHROW(KT::eValue, "Not SI");
  KA keep(a);
  KString* s = a.As<KString>();
  SI(a, s->Str(), s->Len());
}
