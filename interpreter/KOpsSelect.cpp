// KOpsSelect: marks (element comparisons giving bit vectors), rotation and
// shift, transpose and columns, depth, uniqueness queries, filters, counts
// of segments, any-character search, histogram and interpolation.
//
// Operand contract: a value another holder sees never changes; results are
// new values handed to the left (or only) handle. Each form dispatches on
// the left's type and raises its listed error for any other type before it
// changes anything.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "KBit.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsLoops.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {
bool IsSeqType(KT::KTO t) { return t == KT::tSeq || t == KT::tSeqEa; }
bool IsNumType(KA& a) { return a.Is(KT::tNum) && (a.Align() == KT::aInt || a.Align() == KT::aFloat); }

KA& Own(KA& a, KB* v) {
  a.Owns(v);
  return a;
}

// A new Int vector holding the given values.
KNum* IntVector(const std::vector<int32_t>& v) {
  const int n = static_cast<int>(v.size());
  KNum* r = new KNum(KT::aInt, n);
  std::copy(v.begin(), v.end(), r->IntPtr());
  return r;
}

// The count a rotation or shift uses: the first element of a number (or a
// bit) as an Int; anything else raises 15 "Numeric Right only".
int64_t CountArg(KA& r) {
  if (r.Is(KT::tNum)) return r.As<KNum>()->AsInt();
  if (r.Is(KT::tBit)) return r.As<KBit>()->BitGet(0) ? 1 : 0;
  KTHROW(KT::eValue, "Numeric Right only");
}

// The count of the forms whose right is coerced to Int: numbers and bits as
// above; a string is read as a number; other types raise the coercion's
// error.
int64_t CoercedCountArg(KA& r) {
  if (!r.Is(KT::tNum) && !r.Is(KT::tBit)) r.CoerceTo(KT::tNum, KT::aInt);
  return CountArg(r);
}

// Rotates toward higher positions for positive n; the count is reduced
// modulo the length first, so every Int count (its negation included) is
// defined.
KA& RotateBy(KA& a, int64_t n) {
  const int c = a.Cnt();
  const int k = c == 0 ? 0 : static_cast<int>(n % c);
  switch (a.Type()) {
    case KT::tBit: return Own(a, a.As<KBit>()->Rotate(k));
    case KT::tNum:
      if (KNum* r = a.As<KNum>()->Rotate(k)) a.Owns(r);
      return a;
    case KT::tSeq:
    case KT::tSeqEa: return Own(a, a.As<KSeq>()->Rotate(k));
    case KT::tString: return Own(a, a.As<KString>()->Rotate(k));
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

// Shifts toward higher positions for positive n, filling with 0 bits, nils
// or the character nil; counts beyond the length clear everything.
KA& ShiftBy(KA& a, int64_t n) {
  const int c = a.Cnt();
  const int k = static_cast<int>(std::clamp<int64_t>(n, -int64_t{c}, int64_t{c}));
  switch (a.Type()) {
    case KT::tBit: return Own(a, a.As<KBit>()->Shift(k));
    case KT::tNum:
      if (KNum* r = a.As<KNum>()->Shift(k)) a.Owns(r);
      return a;
    case KT::tString: return Own(a, a.As<KString>()->Shift(k));
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

// ------------------------------------------------------------------ marks
// Element-wise marks: both sides conformed in length first, except that a
// one-element number against a number is compared with every element in
// place (the same result without building the extended copy).
bool IsIF(KA& a) { return a.Align() == KT::aInt || a.Align() == KT::aFloat; }

KA& MarkElem(KA& l, KA& r, KT::KMC how) {
  // A one-element left against a longer number: the right compared with it
  // under the mirrored mark (what the stretched left gives), and the ID the
  // stretched copy would have had taken all the same.
  if (l.Is(KT::tNum) && r.Is(KT::tNum) && l.Cnt() == 1 && r.Cnt() >= 2 && IsIF(l) && IsIF(r)) {
    KT::KMC mirror = how;
    switch (how) {
      case KT::mcLT: mirror = KT::mcGT; break;
      case KT::mcGT: mirror = KT::mcLT; break;
      case KT::mcLE: mirror = KT::mcGE; break;
      case KT::mcGE: mirror = KT::mcLE; break;
      default: break;
    }
    ++KB::fLastID;
    return Own(l, r.As<KNum>()->MarkElem(l.value, mirror));
  }
  if (!(l.Is(KT::tNum) && r.Is(KT::tNum) && r.Cnt() == 1 && l.Cnt() >= 1)) KA::ConformLen(l, r);
  switch (l.Type()) {
    case KT::tNum: return Own(l, l.As<KNum>()->MarkElem(r.value, how));
    case KT::tString: return Own(l, l.As<KString>()->MarkElem(r.value, how));
    default: break;
  }
  if (how != KT::mcEQ) KTHROW(KT::eNotSupp, "Type");
  if (l.Is(KT::tBit) && r.Is(KT::tBit)) return Own(l, l.As<KBit>()->MarkEqual(r.As<KBit>()));
  KA::MarkEqual(l, r);
  return l;
}

// "*<=" and "*>=": the comparison loop over numbers conformed in length and
// alignment (two nils compare, one nil gives 0). "*>=" refuses operands whose
// alignments the conforming could not bring together (a number against a
// string's bits) with 15 "Alignment".
template <class P>
KA& MarkCompare(KA& l, KA& r, P p, bool sameAlignment = false) {
  KLoop::Stretch s;
  if (!KLoop::StretchOne(l, r, s)) {
    KA::ConformLen(l, r);
    KA::ConformNum(l, r);
  }
  if (!s.on && sameAlignment && l.Align() != r.Align()) KTHROW(KT::eValue, "Alignment");
  KLoop::CompareNumS(l, r, s, p);
  return l;
}

// Monadic bit marks; where `readText` is set a string is read as bits by
// its true/false reading (mark on only), else only bits are taken.
KA& MarkBits(KA& a, KBit* (KBit::*mark)(), bool readText = false) {
  if (readText && a.Is(KT::tString)) a.Owns(a.As<KString>()->ToTF());
  if (!a.Is(KT::tBit)) KTHROW(KT::eNotSupp, "Type");
  return Own(a, (a.As<KBit>()->*mark)());
}

// Bit i set where element i of the sequence equals some element of the
// right (a right that is not a sequence counts as one element).
// The comparison may raise (a value nested too deep): the result is held
// by a handle until it is complete, so nothing leaks.
KA& MarkAnyElem(KA& l, KA& r) {
  KSeq* s = l.As<KSeq>();
  if (!IsSeqType(r.Type())) KA::Enclose(r);
  KSeq* set = r.As<KSeq>();
  KA hold;
  hold.Owns(new KBit(s->Count(), false));
  KBit* out = hold.As<KBit>();
  for (int i = 0; i < s->Count(); ++i)
    for (int j = 0; j < set->Count(); ++j)
      if (KA::EQ(s->Slots()[i], set->Slots()[j])) {
        out->BitSet(i, true);
        break;
      }
  l = hold;
  return l;
}

// ------------------------------------------------------------------ transpose
KT::KTO RowKind(KSeq* rows) {
  KT::KTO kind = KT::tNV;
  for (int i = 0; i < rows->Count(); ++i) {
    KT::KTO t = rows->Slots()[i]->typen();
    if (t == KT::tSeqEa) t = KT::tSeq;
    if (t != KT::tNum && t != KT::tSeq && t != KT::tString) KTHROW(KT::eNotSupp, "Type");
    if (i > 0 && t != kind) KTHROW(KT::eNotSupp, "Type");
    kind = t;
  }
  return kind;
}

int Widest(KSeq* rows) {
  int w = 0;
  for (int i = 0; i < rows->Count(); ++i) w = std::max(w, rows->Slots()[i]->Count());
  return w;
}

KB* NumColumn(KSeq* rows, int j, bool flt) {
  const int n = rows->Count();
  KNum* col = new KNum(flt ? KT::aFloat : KT::aInt, n);  // n nils
  for (int i = 0; i < n; ++i) {
    KNum* row = static_cast<KNum*>(rows->Slots()[i]);
    if (j >= row->Count()) continue;
    if (!flt) col->IntPtr()[i] = row->IntPtr()[j];
    else if (row->IsFlt()) col->FltPtr()[i] = row->FltPtr()[j];
    else if (row->IntPtr()[j] != KT::iNil) col->FltPtr()[i] = row->IntPtr()[j];
  }
  return col;
}

KB* SeqColumn(KSeq* rows, int j) {
  KSeq* col = new KSeq();
  col->addSlots(rows->Count());
  for (int i = 0; i < rows->Count(); ++i) {
    KSeq* row = static_cast<KSeq*>(rows->Slots()[i]);
    if (j < row->Count()) col->AppendRef(row->Slots()[j]);
    else col->AppendOwned(new KNil());
  }
  return col;
}

KB* StringColumn(KSeq* rows, int j) {
  std::string col(static_cast<size_t>(rows->Count()), static_cast<char>(KT::cNil));
  for (int i = 0; i < rows->Count(); ++i) {
    KString* row = static_cast<KString*>(rows->Slots()[i]);
    if (j < row->Len()) col[static_cast<size_t>(i)] = row->Str()[j];
  }
  return new KString(col);
}

// ------------------------------------------------------------------ uniqueness
// Whether the value sorted up has a run of equal elements. Strings sort
// and compare exactly, as the unique step does.
bool HasDuplicates(KA& a) {
  if (a.Cnt() < 2) return false;
  KA sorted(a);
  if (a.Is(KT::tString)) {
    sorted.Owns(new KString(a.value));
    sorted.value->exact = 1;
  }
  KOps::op3E3E3E(sorted);
  KA runs;
  switch (a.Type()) {
    case KT::tNum: runs.Owns(sorted.As<KNum>()->QueryNotUnique()); break;
    case KT::tSeq:
    case KT::tSeqEa: runs.Owns(sorted.As<KSeq>()->QueryNotUnique()); break;
    default: runs.Owns(sorted.As<KString>()->QueryNotUnique()); break;
  }
  return runs.Cnt() > 0;
}

KA& UniqueQuery(KA& a, bool wantUnique) {
  if (!a.Is(KT::tNum) && !IsSeqType(a.Type()) && !a.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type");
  if (a.Is(KT::tNum) && a.Cnt() > 0 && !IsNumType(a)) KTHROW(KT::eNotSupp, "Type");
  const bool dup = HasDuplicates(a);
  return Own(a, new KBit(wantUnique ? !dup : dup));
}

// ------------------------------------------------------------------ columns
// A value spread into one row per element, as a plain sequence.
void Rows(KA& a) {
  if (IsSeqType(a.Type())) return;
  KOps::op4026(a);
  if (a.Is(KT::tSeqEa)) a.value->descriptor->type = KT::tSeq;
}

// ------------------------------------------------------------------ histogram
// The data, weights and optional cells of a histogram's left operand.
struct HistArgs {
  KB* data = nullptr;
  KB* weights = nullptr;
  KB* cells = nullptr;
};

HistArgs HistLeft(KA& l) {
  HistArgs h;
  if (l.Is(KT::tNum)) {
    if (!IsNumType(l)) KTHROW(KT::eValue, "LT Not Numeric");
    h.data = l.value;
    return h;
  }
  if (!IsSeqType(l.Type())) KTHROW(KT::eValue, "LT:num or seq");
  KSeq* s = l.As<KSeq>();
  if (s->Count() < 2) KTHROW(KT::eValue, "LT seq:index value");
  auto numeric = [](KB* v) {
    return v->typen() == KT::tNum && (v->alignmentn() == KT::aInt || v->alignmentn() == KT::aFloat);
  };
  h.weights = s->Slots()[0];
  h.data = s->Slots()[1];
  if (!numeric(h.weights)) KTHROW(KT::eValue, "value not numeric");
  if (!numeric(h.data)) KTHROW(KT::eValue, "index not numeric");
  if (s->Count() >= 3) {
    h.cells = s->Slots()[2];
    if (!numeric(h.cells)) KTHROW(KT::eValue, "cell not numeric");
  }
  return h;
}
}  // namespace

// ---------------------------------------------------------------------------
// Representation and transpose.

// "%%%" dyadic: the left's packed bytes read as the elements the right's
// code selects.
KA& KOps::op252525(KA& l, KA& r) {
  KA::Convert(l, r);
  return l;
}

// "%\%" monadic: the rows (the elements of a sequence, or the value as one
// row) become columns, short rows filled with nils.
KA& KOps::op255C25(KA& a) {
  if (!IsSeqType(a.Type())) KA::Enclose(a);
  KSeq* rows = a.As<KSeq>();
  const KT::KTO kind = RowKind(rows);
  const int width = Widest(rows);
  bool flt = false;
  if (kind == KT::tNum)
    for (int i = 0; i < rows->Count(); ++i) flt = flt || rows->Slots()[i]->alignmentn() == KT::aFloat;
  if (kind == KT::tNum)
    for (int i = 0; i < rows->Count(); ++i)
      if (rows->Slots()[i]->Count() > 0 && !static_cast<KNum*>(rows->Slots()[i])->IsInt() &&
          !static_cast<KNum*>(rows->Slots()[i])->IsFlt())
        KTHROW(KT::eNotSupp, "Type");
  KSeq* out = new KSeq();
  KA hold;
  hold.Owns(out);
  out->addSlots(width);
  for (int j = 0; j < width; ++j) {
    if (kind == KT::tNum) out->AppendOwned(NumColumn(rows, j, flt));
    else if (kind == KT::tSeq) out->AppendOwned(SeqColumn(rows, j));
    else out->AppendOwned(StringColumn(rows, j));
  }
  a = hold;
  return a;
}

KA& KOps::op255C25(KA&, KA&) { KTHROW(KT::eNotImpl, "%\\%"); }

// ---------------------------------------------------------------------------
// Filter, columns and counts.

// "&&" dyadic: the left's elements found in the right, in order, without
// the unique step. Sequences go to KA::Intersect, which does not filter
// sequences (6 "Type").
KA& KOps::op2626(KA& l, KA& r) {
  switch (l.Type()) {
    case KT::tNum: {
      if (!r.Is(KT::tNum)) KTHROW(KT::eValue, "Rt Type");
      if (KNum* v = l.As<KNum>()->Intersect(r.As<KNum>())) l.Owns(v);
      return l;
    }
    case KT::tSeq:
    case KT::tSeqEa:
      KA::Intersect(l, r);
      return l;
    case KT::tString:
      if (r.Is(KT::tString) && l.As<KString>()->IsBits() && r.As<KString>()->IsBits()) return op26(l, r);
      if (r.Is(KT::tGREP)) KTHROW(KT::eNotSupp, "GREP");
      return Own(l, l.As<KString>()->Intersect(r.value));
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

// ",|" monadic: one row per element.
KA& KOps::op2C7C(KA& a) {
  switch (a.Type()) {
    case KT::tSeq:
    case KT::tSeqEa: {
      KSeq* s = a.As<KSeq>();
      KSeq* out = new KSeq();
      KA hold;
      hold.Owns(out);
      out->addSlots(s->Count());
      for (int i = 0; i < s->Count(); ++i) out->AppendOwned(new KSeq(s->Slots()[i], false));
      a = hold;
      return a;
    }
    case KT::tNum:
    case KT::tString:
    case KT::tFile:
    case KT::tFCtxt:
      Rows(a);
      return a;
    default:
      KTHROW(KT::eNotSupp, "Type");
  }
}

// ",|" dyadic: the lengths conformed as the operands stand (a number
// against a sequence is enclosed, a short number is extended at the front),
// then row i of the result is left row i catenated with right row i (a
// value that is not a sequence gives one row per element).
KA& KOps::op2C7C(KA& l, KA& r) {
  KA::ConformLen(l, r);
  Rows(l);
  Rows(r);
  KSeq* a = l.As<KSeq>();
  KSeq* b = r.As<KSeq>();
  KSeq* out = new KSeq();
  KA hold;
  hold.Owns(out);
  const int n = std::min(a->Count(), b->Count());
  out->addSlots(n);
  for (int i = 0; i < n; ++i) {
    KA x(a->Slots()[i]), y(b->Slots()[i]);
    KA::Catenate(x, y);
    out->AppendRef(x.value);
  }
  l = hold;
  return l;
}

// "/#" monadic: segment lengths of a bit vector (each set bit closes a
// segment; trailing bits after the last set bit form a last one), or the
// lengths of a sequence's elements.
KA& KOps::op2F23(KA& a) {
  if (IsSeqType(a.Type())) {
    KSeq* s = a.As<KSeq>();
    std::vector<int32_t> lens;
    lens.reserve(static_cast<size_t>(s->Count()));
    for (int i = 0; i < s->Count(); ++i) lens.push_back(s->Slots()[i]->Count());
    return Own(a, IntVector(lens));
  }
  if (!a.Is(KT::tBit)) KTHROW(KT::eNotSupp, "Type");
  KBit* b = a.As<KBit>();
  const int n = b->Count();
  std::vector<int32_t> lens;
  int start = 0;
  for (int i = 0; i < n; ++i)
    if (b->BitGet(i)) {
      lens.push_back(i + 1 - start);
      start = i + 1;
    }
  if (lens.empty()) {
    a = n;
    return a;
  }
  if (start < n) lens.push_back(n - start);
  return Own(a, IntVector(lens));
}

// ---------------------------------------------------------------------------
// Marks.

KA& KOps::op2A3C(KA& a) { return MarkBits(a, &KBit::MarkOn, true); }
KA& KOps::op2A3E(KA& a) { return MarkBits(a, &KBit::MarkOff); }
KA& KOps::op2A3C3E(KA& a) { return MarkBits(a, &KBit::MarkOnOff); }

// "*<>" dyadic: the characters inside each pair of delimiters the right
// lists, delimiters included.
KA& KOps::op2A3C3E(KA& l, KA& r) {
  if (!l.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type");
  return Own(l, l.As<KString>()->MarkSpanPairs(r.value, false));
}

KA& KOps::op2A3C(KA& l, KA& r) { return MarkElem(l, r, KT::mcLT); }
KA& KOps::op2A3E(KA& l, KA& r) { return MarkElem(l, r, KT::mcGT); }
KA& KOps::op2A3D(KA& l, KA& r) { return MarkElem(l, r, KT::mcEQ); }
KA& KOps::op2A3C3D(KA& l, KA& r) { return MarkCompare(l, r, KLoop::tplLE{}); }
KA& KOps::op2A3E3D(KA& l, KA& r) { return MarkCompare(l, r, KLoop::tplGE{}, true); }

// "*~=" dyadic: "*=" negated.
KA& KOps::op2A7E3D(KA& l, KA& r) {
  MarkElem(l, r, KT::mcEQ);
  return op7E(l);
}

// "*|" dyadic: the elements (characters) equal to any of the right's. The
// right is a set, so its length is not conformed to the left's.
KA& KOps::op2A7C(KA& l, KA& r) {
  switch (l.Type()) {
    case KT::tNum: return Own(l, l.As<KNum>()->MarkAny(r.value));
    case KT::tString: return Own(l, l.As<KString>()->MarkChar(r.value, false));
    case KT::tSeq:
    case KT::tSeqEa: return MarkAnyElem(l, r);
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

// ---------------------------------------------------------------------------
// Nesting.

KA& KOps::op3C2A2A(KA& a) {
  KA::Disclose(a, true);
  return a;
}

KA& KOps::op3C2A2A(KA& l, KA& r) {
  KA::Disclose(l, r);
  return l;
}

// ">**" dyadic: enclosed or disclosed a level at a time until the depth is
// the right's; a disclose that no longer lowers the depth ends the walk.
KA& KOps::op3E2A2A(KA& l, KA& r) {
  if (!r.Is(KT::tNum)) KTHROW(KT::eValue, "Rt. Need Num");
  const int64_t want = CountArg(r);
  if (want > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
  for (int step = 0; step <= KT::DepthLimit + 2; ++step) {
    const int depth = KSeq::Depth(l.value);
    if (depth == want) break;
    if (depth < want) {
      KA::Enclose(l);
      continue;
    }
    KA::Disclose(l, true);
    if (KSeq::Depth(l.value) >= depth) break;
  }
  return l;
}

// ---------------------------------------------------------------------------
// Rotation and shift.

KA& KOps::op3E253E(KA& a) { return RotateBy(a, 1); }
KA& KOps::op3E253E(KA& l, KA& r) { return RotateBy(l, CoercedCountArg(r)); }
KA& KOps::op3C253C(KA& a) { return RotateBy(a, -1); }
KA& KOps::op3C253C(KA& l, KA& r) { return RotateBy(l, -CountArg(r)); }
KA& KOps::op3E2D3E(KA& a) { return ShiftBy(a, 1); }
KA& KOps::op3E2D3E(KA& l, KA& r) { return ShiftBy(l, CoercedCountArg(r)); }
KA& KOps::op3C2D3C(KA& a) { return ShiftBy(a, -1); }
KA& KOps::op3C2D3C(KA& l, KA& r) { return ShiftBy(l, -CoercedCountArg(r)); }

// ---------------------------------------------------------------------------
// Uniqueness queries: one bit.

KA& KOps::op3F26(KA& a) { return UniqueQuery(a, true); }
KA& KOps::op3F7E26(KA& a) { return UniqueQuery(a, false); }

// ---------------------------------------------------------------------------
// Any-character search in strings.

// "`|" dyadic: the 1-based position of the first character that is one of
// the right's, 0 if none.
KA& KOps::op607C(KA& l, KA& r) {
  if (!l.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type");
  KA marks;
  marks.Owns(l.As<KString>()->MarkChar(r.value, false));
  const int pos = marks.As<KBit>()->ToIndex();
  l = pos > marks.Cnt() ? 0 : pos;
  return l;
}

// "``|" dyadic: every such position.
KA& KOps::op60607C(KA& l, KA& r) {
  if (!l.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type");
  KA marks;
  marks.Owns(l.As<KString>()->MarkChar(r.value, false));
  int n = 0;
  return Own(l, marks.As<KBit>()->ToIndices(n));
}

// ---------------------------------------------------------------------------
// Histogram and interpolation.

// "#<>" dyadic: totals per bin. The left is the data (each counting 1), or
// a sequence of weights, data and optionally the cells; the right gives the
// cells (bin boundaries) unless the sequence does.
KA& KOps::op233C3E(KA& l, KA& r) {
  HistArgs h = HistLeft(l);
  if (!h.cells) {
    if (!IsNumType(r)) KTHROW(KT::eValue, "RT Not Numeric");
    h.cells = r.value;
  }
  return Own(l, KNum::Histogram(h.cells, h.data, h.weights, false, false));
}

// "#@`" dyadic: the left is a sequence of start, end and value vectors; one
// Float value per point of the right.
KA& KOps::op234060(KA& l, KA& r) {
  if (!IsSeqType(l.Type()) || l.Cnt() < 3) KTHROW(KT::eValue, "LT:Seq:s e v");
  if (!r.Is(KT::tNum)) KTHROW(KT::eValue, "RT-Num:");
  KSeq* s = l.As<KSeq>();
  return Own(l, KNum::Interpolate(s->Slots()[0], s->Slots()[1], s->Slots()[2], r.value, false, false));
}
