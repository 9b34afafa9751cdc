// KOpsSegment: cutting strings into pieces ("\", "\\", "\|", "\|~", "\~")
// and removing blanks or characters ("~~", "~~|", "~<", "~>").
//
// Pieces keep their delimiters unless the form is an "eat" form ("\|~",
// "\~"), which drops them. A cut by positions or by a searched string makes
// the marked character (the occurrence's first) begin the next piece; a cut
// by a set of delimiter characters leaves each delimiter at the end of its
// piece. Files are cut through their buffer, like strings.
#include <string>
#include <vector>

#include "KBit.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsStream.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

using KStreams::TextArg;
using KStreams::TextOf;

namespace {

bool IsText(KA& a) { return a.Is(KT::tString) || a.Is(KT::tField); }

KA& Pieces(KA& a, KSeq* s) {
  a.Owns(s);
  return a;
}

// Marks at the first character of each occurrence of the right (a string
// or a regular-expression object).
std::vector<bool> OccurrenceMarks(KString* s, KA& r) {
  std::vector<bool> marks(static_cast<size_t>(s->Len()), false);
  for (auto m : s->MatchSpans(r.value)) marks[static_cast<size_t>(m.first)] = true;
  return marks;
}

// Marks from a bit mask or from 1-based positions.
std::vector<bool> IndexMarks(KString* s, KA& r) {
  const int n = s->Len();
  std::vector<bool> marks(static_cast<size_t>(n), false);
  if (r.Is(KT::tBit)) {
    KBit* b = r.As<KBit>();
    for (int i = 0; i < n && i < b->Count(); ++i) marks[static_cast<size_t>(i)] = b->BitGet(i);
    return marks;
  }
  KNum idx(r.value);
  if (idx.IsFlt()) idx.CoerceTo(KT::aInt);
  for (int k = 0; k < idx.Count(); ++k) {
    int p = idx.IntPtr()[k];
    if (p >= 1 && p <= n) marks[static_cast<size_t>(p - 1)] = true;
  }
  return marks;
}

bool IsIndex(KA& r) { return r.Is(KT::tBit) || r.Is(KT::tNum); }

// The left of the searching cuts: a string or a file's buffer.
KString* CutSource(KA& l) {
  KString* s = TextOf(l);
  if (!s) KTHROW(KT::eValue, "L Type");
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Cutting.

KA& KOps::op5C(KA& a) { return Pieces(a, TextArg(a)->Segment(nullptr, true)); }

KA& KOps::op5C(KA& l, KA& r) {
  KString* s = CutSource(l);
  if (IsIndex(r)) return Pieces(l, s->SegmentAt(IndexMarks(s, r), KString::cutBefore));
  if (!IsText(r) && !KStreams::IsGrep(r)) KTHROW(KT::eNotSupp, "Type");
  return Pieces(l, s->SegmentAt(OccurrenceMarks(s, r), KString::cutBefore));
}

KA& KOps::op5C5C(KA& l, KA& r) {
  KString* s = CutSource(l);
  if (IsIndex(r)) KTHROW(KT::eValue, "Idx type");
  if (!IsText(r) && !KStreams::IsGrep(r)) KTHROW(KT::eValue, "Need String RT");
  return Pieces(l, s->SegmentAt(OccurrenceMarks(s, r), KString::cutBefore));
}

KA& KOps::op5C26(KA&, KA&) { KTHROW(KT::eNotImpl, "Segment on All/GREP"); }

// Delimiter sets: every character of the right ends a piece.
KA& KOps::op5C7C(KA& l, KA& r) {
  if (!IsText(r)) KTHROW(KT::eNotSupp, "Type");
  return Pieces(l, TextArg(l)->Segment(r.value, true));
}

KA& KOps::op5C7C7E(KA& l, KA& r) {
  if (!IsText(r)) KTHROW(KT::eNotSupp, "Type");
  return Pieces(l, TextArg(l)->Segment(r.value, false));
}

KA& KOps::op5C7E(KA& a) { return Pieces(a, TextArg(a)->Segment(nullptr, false)); }

KA& KOps::op5C7E(KA& l, KA& r) {
  KString* s = TextArg(l);
  if (IsIndex(r)) return Pieces(l, s->SegmentAt(IndexMarks(s, r), KString::cutDrop));
  if (!IsText(r)) KTHROW(KT::eNotSupp, "Type");
  return Pieces(l, s->Segment(r.value, false));
}

// ---------------------------------------------------------------------------
// Removing characters. Nil passes "~~" and "~~|" unchanged; these forms take
// strings only (a file is no string here: 7 "Type").

namespace {

KString* StringArg(KA& a) {
  if (!a.Is(KT::tString)) KTHROW(KT::eNotSupp, "Type");
  return a.As<KString>();
}

KA& Edited(KA& a, KString* s) {
  a.Owns(s);
  return a;
}

KString* BlankSet() { return new KString(" "); }

}  // namespace

KA& KOps::op7E7E(KA& a) {
  if (a.Is(KT::tNil)) return a;
  KA blank;
  blank.Owns(BlankSet());
  return Edited(a, StringArg(a)->DEE(blank.value));
}

KA& KOps::op7E7E7C(KA& l, KA& r) {
  if (l.Is(KT::tNil)) return l;
  return Edited(l, StringArg(l)->DEE(r.value));
}

KA& KOps::op7E7E26(KA&) { KTHROW(KT::eNotImpl, "Without Extraneous Words"); }
KA& KOps::op7E7E26(KA&, KA&) { KTHROW(KT::eNotImpl, "Without Extraneous All/GREP"); }

// Monadic "~<" is monadic "~|" (a string without its leading blanks).
KA& KOps::op7E3C(KA& a) { return op7E7C(a); }

KA& KOps::op7E3C(KA& l, KA& r) { return Edited(l, StringArg(l)->DLE(r.value)); }

KA& KOps::op7E3E(KA& a) {
  KA blank;
  blank.Owns(BlankSet());
  return Edited(a, StringArg(a)->DTE(blank.value));
}

KA& KOps::op7E3E(KA& l, KA& r) { return Edited(l, StringArg(l)->DTE(r.value)); }
