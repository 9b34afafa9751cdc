// KOpsLogic: the logical operators "&", "|", "~&" and "~|", and the unique
// step ("&" monadic) that intersection and union end with.
//
// One rule runs through the family: a bit vector on the left combines bit
// by bit; two strings made only of "0" and "1" are read as bit vectors
// first; any other left value takes the operator's set meaning:
//   "&"  intersection, then unique     "|"  union (catenation, then unique)
//   "~&" without every occurrence      "~|" without any of the characters
//        of the right string                (numbers: without the values)
// "&" and "|" on bits extend the shorter operand on the left with its own
// first bit (KBit::And, KBit::Or); "~&" and "~|" conform lengths the way
// every element operator does (KOps::opOpBool). Regular-expression objects
// are refused with 7 "GREP" until the library has them.
//
// Operand contract: a value another holder sees never changes; results are
// new values handed to the left handle. The collation flag `exact` of a
// value may be switched for the length of one comparison or sort and is
// always put back, also when an error leaves early.
#include "KBit.h"
#include "KNum.h"
#include "KOps.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {

bool IsSeqType(KA& a) { return a.Is(KT::tSeq) || a.Is(KT::tSeqEa); }

// Sets a value's collation flag and restores the old one on leaving.
class ExactAs {
 public:
  ExactAs(KB* v, uint8_t exact) : v_(v), old_(v->exact) { v->exact = exact; }
  ~ExactAs() { v_->exact = old_; }
  ExactAs(const ExactAs&) = delete;
  ExactAs& operator=(const ExactAs&) = delete;

 private:
  KB* v_;
  uint8_t old_;
};

// A string made only of the characters "0" and "1".
bool IsBitText(KA& a) { return a.Is(KT::tString) && a.As<KString>()->IsBits(); }

// Two strings of bit characters become bit vectors; true when they did.
bool BitTextsToBits(KA& l, KA& r) {
  if (!IsBitText(l) || !IsBitText(r)) return false;
  l.CoerceTo(KT::tBit, KT::aBit);
  r.CoerceTo(KT::tBit, KT::aBit);
  return true;
}

// Regular-expression arguments are not supported yet.
void RefuseGrep(KA& r) {
  if (r.Is(KT::tGREP)) KTHROW(KT::eNotSupp, "GREP");
}

// A numeric method's result; null (a value without I or F elements) keeps
// the handle's value.
void OwnsNum(KA& a, KNum* v) {
  if (v) a.Owns(v);
}

// The left sequence's elements that equal some element of the right (a
// non-sequence right counts as one element), in the left's order; elements
// compare under the left sequence's collation flag.
void SeqIntersect(KA& l, KA& r) {
  if (!IsSeqType(r)) KA::Enclose(r);
  KSeq* a = l.As<KSeq>();
  KSeq* b = r.As<KSeq>();
  KA hold;
  KSeq* out = new KSeq();
  hold.Owns(out);
  out->exact = a->exact;
  for (int i = 0; i < a->Count(); ++i) {
    KB* x = a->Slots()[i];
    ExactAs as(x, a->exact);
    for (int j = 0; j < b->Count(); ++j) {
      if (KA::EQ(x, b->Slots()[j])) {
        out->AppendRef(x);
        break;
      }
    }
  }
  l = hold;
}

}  // namespace

// "&" monadic "Unique": the distinct elements in ascending order. Strings
// sort and collapse under exact collation so that only identical
// characters merge; the result keeps the value's collation flag.
KA& KOps::op26(KA& a) {
  if (a.Cnt() < 2) return a;
  const uint8_t exact = a.value->exact;
  switch (a.Type()) {
    case KT::tNum:
      op3E3E3E(a);
      OwnsNum(a, a.As<KNum>()->Unique());
      break;
    case KT::tSeq:
    case KT::tSeqEa:
      op3E3E3E(a);
      a.Owns(a.As<KSeq>()->Unique());
      break;
    case KT::tString: {
      KA original(a);
      {
        ExactAs as(original.value, 1);
        op3E3E3E(a);
      }
      a.Owns(a.As<KString>()->Unique());
      break;
    }
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
  a.value->exact = exact;
  return a;
}

// "&" dyadic: and of bits; intersection of numbers, sequences and strings.
KA& KOps::op26(KA& l, KA& r) {
  BitTextsToBits(l, r);
  switch (l.Type()) {
    case KT::tBit:
      l.Owns(l.As<KBit>()->And(r.value));
      return l;
    case KT::tNum:
      if (!r.Is(KT::tNum)) {
        l.Owns(new KNil());
        return l;
      }
      OwnsNum(l, l.As<KNum>()->Intersect(r.As<KNum>()));
      return op26(l);
    case KT::tSeq:
    case KT::tSeqEa:
      SeqIntersect(l, r);
      return op26(l);
    case KT::tString:
      RefuseGrep(r);
      l.Owns(l.As<KString>()->Intersect(r.value));
      return op26(l);
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

// "|" dyadic: or of bits; union (both sides' elements, unique) of numbers,
// sequences and strings.
KA& KOps::op7C(KA& l, KA& r) {
  BitTextsToBits(l, r);
  switch (l.Type()) {
    case KT::tBit:
      l.Owns(l.As<KBit>()->Or(r.value));
      return l;
    case KT::tNum:
      if (!r.Is(KT::tNum)) KTHROW(KT::eNotSupp, "Type");
      break;
    case KT::tSeq:
    case KT::tSeqEa:
      if (!IsSeqType(r)) KA::Enclose(r);
      break;
    case KT::tString:
      RefuseGrep(r);
      break;
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
  KA::Catenate(l, r);
  return op26(l);
}

// "~&" dyadic: nand of bits (numbers read as bits); a string without every occurrence of the
// right string (found as the "All" searches find it, under the string's
// collation flag).
KA& KOps::op7E26(KA& l, KA& r) {
  BitTextsToBits(l, r);
  switch (l.Type()) {
    case KT::tBit:
    case KT::tNum:  // numbers are read as bits (non-zero set)
      return opOpBool(boolNand, l, r);
    case KT::tString: {
      RefuseGrep(r);
      KA found, keep;
      found.Owns(l.As<KString>()->MarkString(r.value, KString::mtAll));
      keep.Owns(found.As<KBit>()->Not());
      l.Owns(l.As<KString>()->IndexedBy(keep.value));
      return l;
    }
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

// "~|" monadic: bits complemented (nor with no bit set); a string without
// its leading blanks; numbers without their zeros.
KA& KOps::op7E7C(KA& a) {
  KA right;
  if (a.Is(KT::tBit)) right.Owns(new KBit(a.Cnt(), false));
  else if (a.Is(KT::tNum)) right = 0;
  else right = " ";
  return op7E7C(a, right);
}

// "~|" dyadic: nor of bits; a string without the leading characters found
// in the right (the same cut as "~<"); numbers without any of the right's
// values.
KA& KOps::op7E7C(KA& l, KA& r) {
  BitTextsToBits(l, r);
  switch (l.Type()) {
    case KT::tBit:
      return opOpBool(boolNor, l, r);
    case KT::tString:
      l.Owns(l.As<KString>()->DLE(r.value));
      return l;
    case KT::tNum:
      OwnsNum(l, l.As<KNum>()->Without(r.value));
      return l;
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}
