// KOpsStream: the stream operators. Reading forward and backward ("->>",
// "<<-" and their "&" pattern and "|" character-set forms), moving the
// position ("@->", "@<-", "@->>", "@<<-" ...), reporting positions without
// moving ("`->>", "`<<-", "`<-", "`->" ...), questions about the stream
// ("?@->", "?@<-", "?><", "?`@", "?`@<<-") and the searches ("`&", "``&",
// "``&<>", "*&", "#&").
//
// The operators only choose the object and the method: strings answer with
// their own stream methods, files through their buffer (KStreams::TextOf).
// Positions a script sees are 1-based: a 0-based stream index i is shown as
// i + 1, so the position before the first character is 0, and a search that
// finds nothing forward answers the length + 1, backward 0.
#include "KOpsStream.h"

#include <algorithm>
#include <utility>
#include <cstring>
#include <vector>

#include "KBit.h"
#include "KFCtxt.h"
#include "KFile.h"
#include "KGREP.h"
#include "KNum.h"
#include "KOps.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

// ---------------------------------------------------------------------------
// Shared helpers.

KString* KStreams::TextOf(KA& a) {
  if (a.Is(KT::tString)) return a.As<KString>();
  if (a.Is(KT::tFile)) return a.As<KFile>()->Buf();
  return nullptr;
}

KString* KStreams::TextArg(KA& a) {
  if (KString* s = TextOf(a)) return s;
  KTHROW(KT::eNotSupp, "Type");
}

bool KStreams::IsGrep(KA& a) { return a.Is(KT::tGREP); }

KA& KStreams::Position(KA& result, int index0) {
  result.Owns(new KNum(static_cast<int32_t>(static_cast<int64_t>(index0) + 1)));
  return result;
}

using KStreams::Position;
using KStreams::TextArg;
using KStreams::TextOf;

namespace {

bool IsSeqType(KA& a) { return a.Is(KT::tSeq) || a.Is(KT::tSeqEa); }

// True when two handles hold the same data (the same value, or values that
// share a descriptor): an in-place append must then work from a copy.
bool SameData(KA& a, KA& b) { return a.value->descriptor == b.value->descriptor; }

// True when the sequence `v` holds, at any depth, a value with the data `d`.
bool Holds(KB* v, KB::KBD* d, int depth) {
  if (!v || (v->typen() != KT::tSeq && v->typen() != KT::tSeqEa)) return false;
  if (depth > KT::DepthLimit) KTHROW(KT::eSystem, "too deep");
  KSeq* s = static_cast<KSeq*>(v);
  for (int i = 0; i < s->Count(); ++i) {
    KB* e = s->Slots()[i];
    if (e && (e->descriptor == d || Holds(e, d, depth + 1))) return true;
  }
  return false;
}

// A new Int vector holding the given values.
KNum* IntVector(const std::vector<int32_t>& v) {
  const int n = static_cast<int>(v.size());
  void* data = KB::AllocData(KB::StorageBytes(KT::aInt, n), false);
  if (n) std::memcpy(data, v.data(), v.size() * sizeof(int32_t));
  return new KNum(data, KT::aInt, n, n);
}

KA& Bit(KA& result, bool b) {
  result.Owns(new KBit(b));
  return result;
}

// The count a line form reads: 1 without a count, else the right's first
// element (a number, or a number written in a string).
int LineCount(KA& r) {
  if (r.Is(KT::tNum) || r.Is(KT::tClock)) return r.As<KNum>()->AsInt();
  if (r.Is(KT::tBit)) return r.As<KBit>()->BitGet(0) ? 1 : 0;
  if (r.Is(KT::tString)) {
    KNum n(r.As<KString>()->Str(), r.As<KString>()->Len());
    return n.AsInt();
  }
  KTHROW(KT::eNotSupp, "Type");
}

// A stream read: the string handed to the result.
KA& Read(KA& a, KString* piece) {
  a.Owns(piece);
  return a;
}

// The pattern of an "All" form: a string, or a regular-expression object
// (the string's searches take both).
KB* AllPattern(KA& r) { return r.value; }

KA& Context(KA& a, KFCtxt* c) {
  a.Owns(c);
  return a;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading forward and backward.

KA& KOps::op2D3E3E(KA& a) {
  if (a.Is(KT::tFCtxt)) return Context(a, a.As<KFCtxt>()->TakeFull(1, false));
  return Read(a, TextArg(a)->NextLN());
}

// Dyadic "->>": decided first by the destination (the right), then by the
// source (the left); the order of the steps is the rule.
KA& KOps::op2D3E3E(KA& l, KA& r) {
  if (r.Is(KT::tFCtxt)) {
    l.Owns(new KNum(static_cast<int32_t>(r.As<KFCtxt>()->Copy(l.value))));
    return l;
  }
  if (r.Is(KT::tFile)) {
    // The count written plus 1: 0 when the write failed.
    int written = r.As<KFile>()->NextWr(l.value);
    return Position(l, written);
  }
  if (KStreams::IsGrep(r)) {
    if (!l.Is(KT::tString)) {
      l.Owns(new KNil());
      return l;
    }
    KString* s = l.As<KString>();
    l.Owns(r.As<KGREP>()->Exec(s->Str(), s->Len(), -1));
    return l;
  }
  if (r.Is(KT::tNum) && l.Is(KT::tNum)) {
    // A number appended to itself appends a copy of what it was.
    KA copy;
    if (SameData(l, r)) copy.Owns(l.value->Clone());
    r.As<KNum>()->Append(SameData(l, r) ? copy.value : l.value);
    l = r;
    return l;
  }
  // `level` counts the scopes between the sequence's binding and the
  // innermost one: sequences of the two nearest scopes take the value.
  if (IsSeqType(r) && r.value->level < 2) {
    // A sequence appended to itself gets a copy; one that holds the
    // destination somewhere inside would make a cycle and is refused.
    if (!SameData(l, r) && Holds(l.value, r.value->descriptor, 0)) KTHROW(KT::eValue, "Cycle");
    KB* v = SameData(l, r) ? l.value->Clone() : l.value;
    r.As<KSeq>()->Append(v, v != l.value);
    l = r;
    return l;
  }
  if (r.Is(KT::tString)) {
    if (!l.Is(KT::tString) && !l.Is(KT::tField)) KTHROW(KT::eNotImpl, "L-Type");
    r.As<KString>()->NextWr(l.value);
    return l;
  }
  if (l.Is(KT::tFCtxt)) {
    if (!r.Is(KT::tNum)) KTHROW(KT::eValue, "Need Num Rt");
    return Context(l, l.As<KFCtxt>()->TakeFull(r.As<KNum>()->AsInt(), false));
  }
  return Read(l, TextArg(l)->Next(r.value));
}

KA& KOps::op2D3E3E26(KA& l, KA& r) { return Read(l, TextArg(l)->NextAll(AllPattern(r))); }
KA& KOps::op2D3E3E7C(KA& l, KA& r) { return Read(l, TextArg(l)->NextAny(r.value)); }

KA& KOps::op3C3C2D(KA& a) {
  if (a.Is(KT::tFCtxt)) return Context(a, a.As<KFCtxt>()->TakeFull(1, true));
  return Read(a, TextArg(a)->PrevLN());
}

KA& KOps::op3C3C2D(KA& l, KA& r) {
  if (l.Is(KT::tFCtxt)) {
    if (!r.Is(KT::tNum)) KTHROW(KT::eValue, "Need Num Rt");
    return Context(l, l.As<KFCtxt>()->TakeFull(r.As<KNum>()->AsInt(), true));
  }
  return Read(l, TextArg(l)->Prev(r.value));
}

KA& KOps::op3C3C2D26(KA& l, KA& r) { return Read(l, TextArg(l)->PrevAll(AllPattern(r))); }
KA& KOps::op3C3C2D7C(KA& l, KA& r) { return Read(l, TextArg(l)->PrevAny(r.value)); }

// ---------------------------------------------------------------------------
// Moving the position: each answers the position before the move.

KA& KOps::op402D3E(KA& a) { return Position(a, TextArg(a)->ToEOS()); }
KA& KOps::op402D3E(KA& l, KA& r) { return Position(l, TextArg(l)->ToPos(r.value, false)); }
KA& KOps::op403C2D(KA& a) { return Position(a, TextArg(a)->ToBOS()); }
KA& KOps::op403C2D(KA& l, KA& r) { return Position(l, TextArg(l)->ToPos(r.value, true)); }
KA& KOps::op402D3E3E(KA& a) { return Position(a, TextArg(a)->ToNextLN()); }
KA& KOps::op402D3E3E(KA& l, KA& r) { return Position(l, TextArg(l)->ToNextPos(r.value)); }
KA& KOps::op402D3E3E26(KA& l, KA& r) { return Position(l, TextArg(l)->ToNextAll(AllPattern(r))); }
KA& KOps::op402D3E3E7C(KA& l, KA& r) { return Position(l, TextArg(l)->ToNextAny(r.value)); }
KA& KOps::op403C3C2D(KA& a) { return Position(a, TextArg(a)->ToPrevLN()); }
KA& KOps::op403C3C2D(KA& l, KA& r) { return Position(l, TextArg(l)->ToPrevPos(r.value)); }
KA& KOps::op403C3C2D26(KA& l, KA& r) { return Position(l, TextArg(l)->ToPrevAll(AllPattern(r))); }
KA& KOps::op403C3C2D7C(KA& l, KA& r) { return Position(l, TextArg(l)->ToPrevAny(r.value)); }

// ---------------------------------------------------------------------------
// Positions without moving. `from` is the 0-based index the search starts
// at: the current position, the beginning (0) or the end (the length).

namespace {

enum class From { current, start, end };

int FromIndex(KString* s, From f) {
  switch (f) {
    case From::start: return 0;
    case From::end: return s->Len();
    default: return std::max(s->Pos(), 0);
  }
}

// Forward searches clamp "nothing found" (and a match running past the
// end) to the length, shown as length + 1.
KA& NextLineIdx(KA& a, int n, From f) {
  KString* s = TextArg(a);
  int breaks;
  return Position(a, std::min(s->IdxNextLN(n, FromIndex(s, f), breaks), s->Len()));
}
KA& PrevLineIdx(KA& a, int n, From f) {
  KString* s = TextArg(a);
  int breaks;
  return Position(a, s->IdxPrevLN(n, FromIndex(s, f), breaks));
}
KA& NextAllIdx(KA& l, KA& r, From f) {
  KString* s = TextArg(l);
  int length;
  return Position(l, std::min(s->IdxNextAll(AllPattern(r), FromIndex(s, f), length), s->Len()));
}
KA& PrevAllIdx(KA& l, KA& r, From f) {
  KString* s = TextArg(l);
  int length;
  return Position(l, s->IdxPrevAll(AllPattern(r), FromIndex(s, f), length));
}
KA& NextAnyIdx(KA& l, KA& r, From f) {
  KString* s = TextArg(l);
  return Position(l, s->IdxNextAny(r.value, FromIndex(s, f)));
}
// The character before `from` is the first one a backward search looks at.
KA& PrevAnyIdx(KA& l, KA& r, From f) {
  KString* s = TextArg(l);
  return Position(l, s->IdxPrevAny(r.value, FromIndex(s, f) - 1));
}

}  // namespace

KA& KOps::op602D3E3E(KA& a) { return NextLineIdx(a, 1, From::current); }
KA& KOps::op602D3E3E(KA& l, KA& r) { return NextLineIdx(l, LineCount(r), From::current); }
KA& KOps::op602D3E3E26(KA& l, KA& r) { return NextAllIdx(l, r, From::current); }
KA& KOps::op602D3E3E7C(KA& l, KA& r) { return NextAnyIdx(l, r, From::current); }
KA& KOps::op603C3C2D(KA& a) { return PrevLineIdx(a, 1, From::current); }
KA& KOps::op603C3C2D(KA& l, KA& r) { return PrevLineIdx(l, LineCount(r), From::current); }
KA& KOps::op603C3C2D26(KA& l, KA& r) { return PrevAllIdx(l, r, From::current); }
KA& KOps::op603C3C2D7C(KA& l, KA& r) { return PrevAnyIdx(l, r, From::current); }
KA& KOps::op603C2D(KA& a) { return NextLineIdx(a, 1, From::start); }
KA& KOps::op603C2D(KA& l, KA& r) { return NextLineIdx(l, LineCount(r), From::start); }
KA& KOps::op603C2D26(KA& l, KA& r) { return NextAllIdx(l, r, From::start); }
KA& KOps::op603C2D7C(KA& l, KA& r) { return NextAnyIdx(l, r, From::start); }
KA& KOps::op602D3E(KA& a) { return PrevLineIdx(a, 1, From::end); }
KA& KOps::op602D3E(KA& l, KA& r) { return PrevLineIdx(l, LineCount(r), From::end); }
KA& KOps::op602D3E26(KA& l, KA& r) { return PrevAllIdx(l, r, From::end); }
KA& KOps::op602D3E7C(KA& l, KA& r) { return PrevAnyIdx(l, r, From::end); }

// ---------------------------------------------------------------------------
// Questions about the stream.

KA& KOps::op3F402D3E(KA& a) { return Bit(a, TextArg(a)->AtEOS()); }
KA& KOps::op3F403C2D(KA& a) { return Bit(a, TextArg(a)->AtBOS()); }
KA& KOps::op3F3E3C(KA& a) {
  char d = TextArg(a)->AtDir();
  a.Owns(new KString(&d, 1));
  return a;
}
KA& KOps::op3F6040(KA& a) { return Position(a, TextArg(a)->Pos()); }
KA& KOps::op3F60403C3C2D(KA& a) { return Position(a, TextArg(a)->PPos()); }

// ---------------------------------------------------------------------------
// Searches.

namespace {

// The right's occurrences in the left's text: first and last index
// (0-based) of each; only the first with `firstOnly`.
std::vector<std::pair<int, int>> Matches(KString* s, KA& r, bool firstOnly) {
  if (!KStreams::IsGrep(r) && !r.Is(KT::tString) && !r.Is(KT::tField)) KTHROW(KT::eNotSupp, "Type");
  return s->MatchSpans(r.value, firstOnly);
}

// Equality of two graded neighbours of a value, by the order the grade used.
bool SameNeighbour(KB* v, int i, int j) {
  switch (v->typen()) {
    case KT::tSeq:
    case KT::tSeqEa: {
      KSeq* s = static_cast<KSeq*>(v);
      return KOps::Compare(s->Slots()[i], s->Slots()[j]) == 0;
    }
    case KT::tString: {
      const int* w = v->exact ? KT::CSExact : KT::CSTARQ;
      const char* t = static_cast<KString*>(v)->Str();
      return w[static_cast<unsigned char>(t[i])] == w[static_cast<unsigned char>(t[j])];
    }
    default: {
      KNum* n = static_cast<KNum*>(v);
      if (n->IsFlt()) return n->FltPtr()[i] == n->FltPtr()[j];
      return n->IntPtr()[i] == n->IntPtr()[j];
    }
  }
}

// The values a number can equal: a number's elements, a bit vector's bits
// as 0 and 1, and of a sequence the elements that are one number or bit
// (only a single value can equal an element); none for any other value.
void AddNumericKeys(KB* v, std::vector<double>& keys, bool singleOnly) {
  if (singleOnly && v->Count() != 1) return;
  if (v->typen() == KT::tNum) {
    KNum* y = static_cast<KNum*>(v);
    for (int k = 0; k < y->Count(); ++k) keys.push_back(y->IsFlt() ? y->FltPtr()[k] : y->IntPtr()[k]);
  } else if (v->typen() == KT::tBit) {
    KBit* y = static_cast<KBit*>(v);
    for (int k = 0; k < y->Count(); ++k) keys.push_back(y->BitGet(k) ? 1.0 : 0.0);
  }
}

std::vector<double> NumericKeys(KA& r) {
  std::vector<double> keys;
  if (IsSeqType(r)) {
    KSeq* s = r.As<KSeq>();
    for (int k = 0; k < s->Count(); ++k) AddNumericKeys(s->Slots()[k], keys, true);
  } else {
    AddNumericKeys(r.value, keys, false);
  }
  return keys;
}

}  // namespace

// With a regular expression the match pairs of KGREP::IndexOf; otherwise
// the first marked position as "`" reads bits: the length + 1 when there
// is no match, as the forward stream searches answer.
KA& KOps::op6026(KA& l, KA& r) {
  if (KStreams::IsGrep(r)) {
    l.Owns(r.As<KGREP>()->IndexOf(TextArg(l)));
    return l;
  }
  KString* s = TextArg(l);
  auto at = Matches(s, r, true);
  return Position(l, at.empty() ? s->Len() : at[0].first);
}

// With a regular expression the match pairs of KGREP::IndicesOf.
KA& KOps::op606026(KA& l, KA& r) {
  if (KStreams::IsGrep(r)) {
    l.Owns(r.As<KGREP>()->IndicesOf(TextArg(l)));
    return l;
  }
  std::vector<int32_t> at;
  for (auto m : Matches(TextArg(l), r, false)) at.push_back(m.first + 1);
  l.Owns(IntVector(at));
  return l;
}

// Positions of the distinct values: graded up, one position for each run
// of equal neighbours, in the grade's order.
KA& KOps::op606026(KA& a) {
  if (!a.Is(KT::tNum) && !IsSeqType(a) && !a.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type");
  KA v(a);
  KA g(a);
  Grade(g, true);
  std::vector<int32_t> out;
  if (g.Is(KT::tNum) && g.Cnt() > 0) {
    KNum* gn = g.As<KNum>();
    const int32_t* p = gn->IntPtr();
    for (int k = 0; k < gn->Count(); ++k)
      if (k == 0 || !SameNeighbour(v.value, p[k - 1] - 1, p[k] - 1)) out.push_back(p[k]);
  }
  a.Owns(IntVector(out));
  return a;
}

// One pair per match: its first position and the position just after it
// (1-based), the pairs a regular expression gives (KGREP::IndicesOf).
KA& KOps::op6060263C3E(KA& l, KA& r) {
  KString* s = TextOf(l);
  if (!s) KTHROW(KT::eValue, "L Type");
  if (r.Is(KT::tNum) || r.Is(KT::tBit)) KTHROW(KT::eValue, "Idx type");
  if (!KStreams::IsGrep(r) && !r.Is(KT::tString) && !r.Is(KT::tField)) KTHROW(KT::eValue, "Need String RT");
  if (KStreams::IsGrep(r)) {
    l.Owns(r.As<KGREP>()->IndicesOf(s));
    return l;
  }
  KA hold;
  KSeq* out = new KSeq();
  hold.Owns(out);
  for (auto [first, last] : Matches(s, r, false)) out->Append(IntVector({first + 1, last + 2}), true);
  l = hold;
  return l;
}

KA& KOps::op2A26(KA& a) {
  KString* s = TextArg(a);
  KA beg, end;
  beg.Owns(s->MarkWordsBeg());
  end.Owns(s->MarkWordsEnd());
  KBit* b = beg.As<KBit>();
  KBit* e = end.As<KBit>();
  for (int i = 0; i < b->Count(); ++i)
    if (e->BitGet(i)) b->BitSet(i, true);
  a = beg;
  return a;
}

// Marks: a string's match starts; for numbers and sequences the elements
// equal to any element of the right.
KA& KOps::op2A26(KA& l, KA& r) {
  if (KString* s = TextOf(l)) {
    KA marks;
    marks.Owns(new KBit(s->Len(), false));
    for (auto m : Matches(s, r, false)) marks.As<KBit>()->BitSet(m.first, true);
    l = marks;
    return l;
  }
  if (!l.Is(KT::tNum) && !IsSeqType(l)) KTHROW(KT::eNotSupp, "Type");
  KB* v = l.value;
  const int n = v->Count();
  KA out;
  out.Owns(new KBit(n, false));
  KBit* b = out.As<KBit>();
  if (l.Is(KT::tNum)) {
    // Only numbers (and bits, as 0 and 1) can equal a number: any other
    // right marks nothing.
    KNum* x = l.As<KNum>();
    std::vector<double> keys = NumericKeys(r);
    auto at = [](KNum* num, int i) { return num->IsFlt() ? num->FltPtr()[i] : num->IntPtr()[i]; };
    for (int i = 0; i < n; ++i)
      for (double key : keys)
        if (at(x, i) == key) {
          b->BitSet(i, true);
          break;
        }
  } else {
    KSeq* s = l.As<KSeq>();
    std::vector<KB*> keys;
    if (IsSeqType(r)) {
      for (int k = 0; k < r.Cnt(); ++k) keys.push_back(r.As<KSeq>()->Slots()[k]);
    } else {
      keys.push_back(r.value);
    }
    for (int i = 0; i < n; ++i)
      for (KB* key : keys)
        if (Compare(s->Slots()[i], key) == 0) {
          b->BitSet(i, true);
          break;
        }
  }
  l = out;
  return l;
}

KA& KOps::op2326(KA&, KA&) { KTHROW(KT::eNotImpl, "Count All/GREP"); }
