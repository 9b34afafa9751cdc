// KOpsRecGrep: the record-set and regular-expression constructors ("#RS",
// "#GREP") and the containment marks ("*^&", "*^|", "^&", "^|", "^\&").
#include <vector>

#include "KBit.h"
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
// per element, anything else a one-value record.
void AddRecords(KRS* rs, KB* v) {
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
