// KOpsRecGrep: the record-set and regular-expression constructors ("#RS",
// "#GREP") and the containment marks ("*^&", "*^|", "^&", "^|", "^\&").
#include <vector>

#include "KBit.h"
#include "KFCtxt.h"
#include "KFile.h"
#include "KGREP.h"
#include "KOps.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

// ------------------------------------------------------------ regular expressions

KA& KOps::opGREP_N(KA& r) {
  r.Owns(new KGREP());
  return r;
}

KA& KOps::opGREP(KA& a) {
  a.Owns(new KGREP(a.value));
  return a;
}

// ------------------------------------------------------------ record sets

namespace {
bool IsSeqT(const KB* v) { return v && (v->typen() == KT::tSeq || v->typen() == KT::tSeqEa); }

// Adds the fields a value names: a field, a field list, a string (made a
// field) or a sequence of those; anything else raises 7 "Type".
void AddFields(KRS* rs, KB* v) {
  switch (v->typen()) {
    case KT::tField: rs->FieldAdd(static_cast<KField*>(v)); return;
    case KT::tFL: rs->FListAdd(static_cast<KFList*>(v)); return;
    case KT::tString: {
      KField* f = new KField(v);
      KA hold(f);
      KB::DoneWith(f);
      rs->FieldAdd(f);
      return;
    }
    default: break;
  }
  if (!IsSeqT(v)) KTHROW(KT::eNotSupp, "Type");
  KFList* fl = new KFList();
  KA hold(fl);
  KB::DoneWith(fl);
  KSeq* s = static_cast<KSeq*>(v);
  for (int i = 0; i < s->Count(); ++i) {
    KB* e = (*s)[i];
    if (e->typen() == KT::tString) {
      KField* f = new KField(e);
      fl->Append(f, true);
    } else if (e->typen() == KT::tField || e->typen() == KT::tFL) {
      fl->Append(e, false);
    } else {
      KTHROW(KT::eNotSupp, "Type");
    }
  }
  rs->FListAdd(fl);
}

// Records from a value: a sequence of sequences gives one record each,
// another sequence is one record, a numeric array one record with a value
// per element, a record set is refused (6 "Append KRS"), anything else a
// one-value record.
void AddRecords(KRS* rs, KB* v) {
  if (v->typen() == KT::tRS) {
    rs->AppendRec(v);
    return;
  }
  if (IsSeqT(v)) {
    rs->RecsAppend(v, false);
    return;
  }
  KA each(v);
  if (v->typen() == KT::tNum) KOps::op4026(each);  // "@&": one scalar per element
  if (IsSeqT(each.value)) {
    rs->AppendRec(each.value);
    return;
  }
  KSeq* rec = new KSeq(v, false);
  KA hold(rec);
  KB::DoneWith(rec);
  rs->AppendRec(rec);
}

// True when the value is a field or field list, or a sequence whose first
// element (at any depth) is one.
bool StartsWithFields(KB* v) {
  for (int depth = 0; IsSeqT(v) && v->Count() > 0 && depth < KT::DepthLimit; ++depth) v = (*static_cast<KSeq*>(v))[0];
  return v->typen() == KT::tField || v->typen() == KT::tFL;
}

// The parts of a strand folded to the left, ((f r1) r2) r3 giving
// f r1 r2 r3: the fields first, then what gives the records.
void Spine(KSeq* s, std::vector<KB*>& parts, int depth) {
  KB* first = (*s)[0];
  if (IsSeqT(first) && first->Count() > 0 && StartsWithFields(first) && depth < KT::DepthLimit)
    Spine(static_cast<KSeq*>(first), parts, depth + 1);
  else
    parts.push_back(first);
  for (int i = 1; i < s->Count(); ++i) parts.push_back((*s)[i]);
}
}  // namespace

KA& KOps::opRS_N(KA& r) {
  r.Owns(new KRS());
  return r;
}

// A record set from its fields, or from a sequence whose first element
// names the fields and whose further elements give the records; a record set
// is copied; the empty value gives an empty set.
KA& KOps::opRS(KA& a) {
  KB* v = a.value;
  if (v->typen() == KT::tRS) {
    a.Owns(v->Clone());
    return a;
  }
  KRS* rs = new KRS();
  KA hold(rs);
  KB::DoneWith(rs);
  if (v->typen() == KT::tNV) {
    a = hold;
    return a;
  }
  if (IsSeqT(v) && StartsWithFields(v)) {
    std::vector<KB*> parts;
    Spine(static_cast<KSeq*>(v), parts, 0);
    AddFields(rs, parts[0]);
    for (size_t i = 1; i < parts.size(); ++i) AddRecords(rs, parts[i]);
  } else {
    AddFields(rs, v);
  }
  a = hold;
  return a;
}

KA& KOps::opRS(KA&, KA&) { KTHROW(KT::eNotImpl, "opRS"); }

// ------------------------------------------------------------ containment marks
// For each element of a sequence (or for a string, or the name of a file
// or file context) one bit: whether its text contains the whole right (the
// collated string search of the stream operators, or a regular-expression
// match) or, for the "any" forms, any one character of the right. The
// single-bit forms are the Any of the mark.

namespace {
enum class Contains { All, Any };
enum class FCText { Name, Path };

// The text an element is searched in.
std::string SubjectText(KB* v, FCText fc) {
  switch (v->typen()) {
    case KT::tString:
    case KT::tField: return KB::TextOf(v);
    case KT::tFile: return static_cast<KFile*>(v)->NameText();
    case KT::tFCtxt: {
      KFCtxt* c = static_cast<KFCtxt*>(v);
      return fc == FCText::Path ? c->Path() : c->FName();
    }
    default: return v->AsString(false);
  }
}

// The search is collated unless the searched value asks for exact
// comparison (its exact flag, as for the stream searches).
bool TextContains(const std::string& text, bool exact, KB* right, Contains how) {
  if (right->typen() == KT::tGREP) {
    KSeq* m = static_cast<KGREP*>(right)->Exec(text.data(), static_cast<int>(text.size()), 1);
    bool found = m->Count() > 0;
    KB::DoneWith(m);
    return found;
  }
  KString t(text);
  t.exact = exact;
  if (how == Contains::Any) {
    KBit* b = t.MarkChar(right, true);
    bool found = b->Any();
    KB::DoneWith(b);
    return found;
  }
  int len = 0;
  return t.IdxNextAll(right, 0, len) < t.Len();
}

// The mark of a left value against the right; 7 "Type" for a left or right
// that cannot take part (a regular expression only searches for all).
KBit* MarkContains(KB* left, KB* right, Contains how, FCText fc) {
  KT::KTO rt = right->typen();
  bool textRight = rt == KT::tString || rt == KT::tField;
  if (!textRight && !(rt == KT::tGREP && how == Contains::All)) KTHROW(KT::eNotSupp, "Type");
  switch (left->typen()) {
    case KT::tSeq:
    case KT::tSeqEa:
    case KT::tFL: {
      KSeq* s = static_cast<KSeq*>(left);
      KBit* b = new KBit(s->Count(), false);
      KA hold(b);
      KB::DoneWith(b);
      for (int i = 0; i < s->Count(); ++i) {
        KB* e = (*s)[i];
        b->BitSet(i, TextContains(SubjectText(e, fc), e->exact || left->exact, right, how));
      }
      b->Reference(true);
      return b;
    }
    case KT::tString:
    case KT::tField:
    case KT::tFile:
    case KT::tFCtxt: return new KBit(TextContains(SubjectText(left, fc), left->exact, right, how));
    default: KTHROW(KT::eNotSupp, "Type");
  }
}

KA& Mark(KA& left, KA& right, Contains how) {
  left.Owns(MarkContains(left.value, right.value, how, FCText::Name));
  return left;
}

KA& AnyOfMark(KA& left, KA& right, Contains how, FCText fc) {
  KBit* b = MarkContains(left.value, right.value, how, fc);
  bool any = b->Any();
  KB::DoneWith(b);
  left.Owns(new KBit(any));
  return left;
}
}  // namespace

KA& KOps::op2A5E26(KA& l, KA& r) { return Mark(l, r, Contains::All); }
KA& KOps::op2A5E7C(KA& l, KA& r) { return Mark(l, r, Contains::Any); }
KA& KOps::op5E26(KA& l, KA& r) { return AnyOfMark(l, r, Contains::All, FCText::Name); }
KA& KOps::op5E7C(KA& l, KA& r) { return AnyOfMark(l, r, Contains::Any, FCText::Name); }

// "^\&": on the paths of file contexts (other elements by their text).
KA& KOps::op5E5C26(KA& l, KA& r) { return AnyOfMark(l, r, Contains::All, FCText::Path); }
