// KRS: field names, field lists and record sets.
#include "KRS.h"

#include <algorithm>

#include "KArg.h"
#include "KBit.h"
#include "KNum.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KRS";

// ------------------------------------------------------------ KField

KField::KField() : KString(KT::tField) {}

KField::KField(const std::string& name) : KString(KT::tField) {
  SetText(name.data(), static_cast<int>(name.size()), static_cast<int>(name.size()));
}

KField::KField(KB* o) : KString(KT::tField) {
  std::string name = TextOf(o);
  SetText(name.data(), static_cast<int>(name.size()), static_cast<int>(name.size()));
}

const std::string& KField::AsString(bool verbose) {
  std::string shown = KString::AsString(false);
  text = verbose ? VerbosePrefix() : std::string();
  text += ".";
  text += shown;
  return text;
}

KB* KField::Clone() { return KString::Clone(); }

// ------------------------------------------------------------ KFList

KFList::KFList() : KSeq(KT::tFL) {}

KFList::KFList(KB* fields) : KSeq(KT::tFL) { Append(fields, false); }

void KFList::Append(KB* value, bool adopt) {
  if (value && value->typen() == KT::tField) {
    KSeq::Append(value, adopt);
    return;
  }
  if (value && value->typen() == KT::tFL) {
    KSeq* list = static_cast<KSeq*>(value);
    int n = list->Count();
    if (n) addSlots(n);
    for (int i = 0; i < n; ++i) KSeq::Append((*list)[i], false);
    if (adopt) DoneWith(value);
    return;
  }
  KTHROW(KT::eValue, "Type");
}

KNum* KFList::IndexOf(KB* key) {
  auto position = [this](KB* name) {
    std::string s = TextOf(name);
    for (int i = 0; i < Count(); ++i) {
      std::string f = TextOf((*this)[i]);
      if (CollateCmp(f.data(), static_cast<int>(f.size()), s.data(), static_cast<int>(s.size()), KT::CSTARQ) == 0)
        return i + 1;
    }
    return 0;
  };
  if (key && (key->typen() == KT::tField || key->typen() == KT::tString)) return new KNum(static_cast<int32_t>(position(key)));
  if (key && key->typen() == KT::tFL) {
    KSeq* list = static_cast<KSeq*>(key);
    KNum* r = new KNum(KT::aInt, list->Count());
    for (int i = 0; i < list->Count(); ++i) r->IntPtr()[i] = position((*list)[i]);
    return r;
  }
  KTHROW(KT::eValue, "Type");
}

KB* KFList::Clone() {
  KFList* c = new KFList();
  c->Append(this, false);
  c->exact = exact;
  return c;
}

KB* KFList::SI(const char* image) {
  KFList* l = new KFList();
  try {
    l->SIBody(image);
  } catch (...) {
    DoneWith(l);
    throw;
  }
  return l;
}

// ------------------------------------------------------------ KRS

namespace {
bool IsSeqV(const KB* v) { return v && (v->typen() == KT::tSeq || v->typen() == KT::tSeqEa); }

// True when every element of the sequence has the type (false when empty).
bool AllOfType(KSeq* s, KT::KTO t) {
  if (s->Count() == 0) return false;
  for (int i = 0; i < s->Count(); ++i)
    if ((*s)[i]->typen() != t) return false;
  return true;
}

bool AllSeqs(KSeq* s) {
  if (s->Count() == 0) return false;
  for (int i = 0; i < s->Count(); ++i)
    if (!IsSeqV((*s)[i])) return false;
  return true;
}

// The 1-based positions a numeric value holds (floats truncated, nils and
// values beyond the Int range give 0).
void PositionsOf(KNum* n, std::vector<int64_t>& out) {
  for (int k = 0; k < n->Count(); ++k) {
    if (n->IsInt()) {
      int32_t v = n->IntPtr()[k];
      out.push_back(v == KT::iNil ? 0 : v);
    } else {
      double d = n->FltPtr()[k];
      out.push_back(d == KT::fNil || !(d > -2147483648.0 && d < 2147483648.0) ? 0 : static_cast<int64_t>(d));
    }
  }
}


// What an index selects: records (0-based positions, possibly outside the
// records) or columns (0-based field positions of every record).
struct Selection {
  bool columns = false;
  std::vector<int64_t> at;
};
}  // namespace

KRS::KRec::KRec() : fields(new KFList()), recs(new KSeq()) {}

KRS::KRec::~KRec() {
  KB::DoneWith(fields);
  KB::DoneWith(recs);
}

KRS::KRec* KRS::KRec::Clone() const {
  KRec* r = new KRec();
  r->fields->Append(fields, false);
  r->recs->addSlots(recs->Count());
  for (int i = 0; i < recs->Count(); ++i) r->recs->Append(new KSeq(static_cast<KSeq*>((*recs)[i])), true);
  return r;
}

void KRS::KRec::Held(std::vector<KB*>& out) const {
  out.push_back(fields);
  out.push_back(recs);
}

KRS::KRS() : KB(KT::tRS) {
  descriptor->align = KT::aPtr;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aPtr);
  descriptor->count = descriptor->capacity = 1;
  descriptor->rec = new KRec();
}

// ---- fields

void KRS::FieldAdd(KField* field) {
  KFList* one = new KFList();
  Building<KFList> hold(one);
  one->Append(field, false);
  FListAdd(one);
}

void KRS::FListAdd(KFList* fields) {
  if (!fields) return;
  int n = fields->Count();
  for (int i = 0; i < n; ++i) {
    KB* f = (*fields)[i];
    KNum* here = FldsPtr()->IndexOf(f);
    bool present = here->IntPtr()[0] != 0;
    KB::DoneWith(here);
    for (int j = 0; j < i && !present; ++j) present = static_cast<KString*>((*fields)[j])->CompareSys(f) == 0;
    if (present) KTHROW(KT::eValue, "Dup field");
  }
  if (n == 0) return;
  FldsPtr()->Append(fields, false);
  for (int r = 0; r < RecCount(); ++r) {
    KSeq* rec = OwnRecord(r);
    rec->addSlots(n);
    for (int i = 0; i < n; ++i) rec->Append(new KNV(), true);
  }
}

bool KRS::FieldExists(KField* field) { return FieldIdx(field) != 0; }

int KRS::FieldIdx(KField* field) {
  if (!field) return 0;
  KNum* at = FldsPtr()->IndexOf(field);
  int p = at->IntPtr()[0];
  KB::DoneWith(at);
  return p;
}

KNum* KRS::FieldIdx(KB* fields) {
  if (fields && (fields->typen() == KT::tField || fields->typen() == KT::tFL)) return FldsPtr()->IndexOf(fields);
  if (!IsSeqV(fields)) KTHROW(KT::eNotSupp, "Type");
  KSeq* s = static_cast<KSeq*>(fields);
  KNum* r = new KNum(KT::aInt, s->Count());
  Building<KNum> hold(r);
  for (int i = 0; i < s->Count(); ++i) {
    if ((*s)[i]->typen() != KT::tField) KTHROW(KT::eValue, "Not a field");
    r->IntPtr()[i] = FieldIdx(static_cast<KField*>((*s)[i]));
  }
  return hold.Release();
}

KFList* KRS::FieldNames(KNum* positions) {
  Building<KFList> r(new KFList());
  if (!positions) return r.Release();
  std::vector<int64_t> at;
  PositionsOf(positions, at);
  for (int64_t p : at)
    if (p >= 1 && p <= FieldCount()) r->Append((*FldsPtr())[static_cast<int>(p - 1)], false);
  return r.Release();
}

KFList* KRS::Fields() { return static_cast<KFList*>(FldsPtr()->Clone()); }

// ---- records

KSeq* KRS::BlankRecord() {
  Building<KSeq> r(new KSeq());
  r->addSlots(FieldCount());
  for (int i = 0; i < FieldCount(); ++i) r->Append(new KNV(), true);
  return r.Release();
}

KSeq* KRS::OwnRecord(int i) {
  KSeq* rec = static_cast<KSeq*>((*RecsPtr())[i]);
  if (rec->descriptor->refs <= 1) return rec;
  KSeq* copy = new KSeq(rec);
  RecsPtr()->Replace(i, copy, true);
  return copy;
}

KSeq* KRS::Conformed(KB* row, int width) {
  Building<KSeq> r(new KSeq());
  r->addSlots(width);
  KSeq* s = IsSeqV(row) ? static_cast<KSeq*>(row) : nullptr;
  for (int i = 0; i < width; ++i) {
    if (!s)
      r->Append(row, false);
    else if (i < s->Count())
      r->Append((*s)[i], false);
    else
      r->Append(new KNV(), true);
  }
  return r.Release();
}

void KRS::AppendRec() { RecsPtr()->Append(BlankRecord(), true); }

void KRS::AppendRec(KB* values) {
  if (values && values->typen() == KT::tRS) KTHROW(KT::eNotImpl, "Append KRS");
  if (!IsSeqV(values)) KTHROW(KT::eNotSupp, "Type");
  if (values->typen() == KT::tSeq && values->Count() == FieldCount()) {
    RecsPtr()->Append(values, false);
    return;
  }
  RecsPtr()->Append(Conformed(values, FieldCount()), true);
}

KSeq* KRS::Record(int i) {
  if (i < 0 || i >= RecCount()) return BlankRecord();
  KB* r = (*RecsPtr())[i];
  r->Reference(true);
  return static_cast<KSeq*>(r);
}

void KRS::RecsAppend(KB* records, bool adopt) {
  Building<KB> own(adopt ? records : nullptr);
  if (!records) return;
  if (records->typen() == KT::tRS) {
    KRS* o = static_cast<KRS*>(records);
    if (o == this) {
      KRS* copy = static_cast<KRS*>(Clone());
      Building<KRS> hold(copy);
      RecsAppend(copy, false);
      return;
    }
    // Values travel by field name; fields the other set lacks stay empty.
    std::vector<int> from;
    for (int f = 0; f < FieldCount(); ++f) from.push_back(o->FieldIdx(static_cast<KField*>((*FldsPtr())[f])) - 1);
    for (int r = 0; r < o->RecCount(); ++r) {
      KSeq* src = static_cast<KSeq*>((*o->RecsPtr())[r]);
      KSeq* rec = BlankRecord();
      RecsPtr()->Append(rec, true);
      for (int f = 0; f < FieldCount(); ++f)
        if (from[f] >= 0) rec->Replace(f, (*src)[from[f]], false);
    }
    return;
  }
  if (IsSeqV(records) && AllSeqs(static_cast<KSeq*>(records))) {
    KSeq* s = static_cast<KSeq*>(records);
    for (int i = 0; i < s->Count(); ++i) AppendRec((*s)[i]);
    return;
  }
  AppendRec(records);
}

// ---- selection and assignment

namespace {
// Classifies an index; bad kinds raise through the given messages.
Selection Classify(KRS* rs, KB* index, KT::KET seqCode, const char* seqMsg, KT::KET code, const char* msg) {
  Selection sel;
  auto records = [&](KNum* n) {
    size_t from = sel.at.size();
    PositionsOf(n, sel.at);
    for (size_t k = from; k < sel.at.size(); ++k) sel.at[k] -= 1;
  };
  KT::KTO t = index ? index->typen() : KT::tNV;
  if (t == KT::tNum) {
    records(static_cast<KNum*>(index));
  } else if (t == KT::tBit) {
    KBit* b = static_cast<KBit*>(index);
    for (int i = 0; i < b->Count(); ++i)
      if (b->BitGet(i)) sel.at.push_back(i);
  } else if (t == KT::tFL || ((t == KT::tSeq || t == KT::tSeqEa) && AllOfType(static_cast<KSeq*>(index), KT::tField))) {
    sel.columns = true;
    KSeq* s = static_cast<KSeq*>(index);
    for (int i = 0; i < s->Count(); ++i) {
      int p = rs->FieldIdx(static_cast<KField*>((*s)[i]));
      if (p == 0) KTHROW(KT::eValue, "Not a field");
      sel.at.push_back(p - 1);
    }
  } else if ((t == KT::tSeq || t == KT::tSeqEa) && AllOfType(static_cast<KSeq*>(index), KT::tNum)) {
    KSeq* s = static_cast<KSeq*>(index);
    for (int i = 0; i < s->Count(); ++i) records(static_cast<KNum*>((*s)[i]));
  } else if ((t == KT::tSeq || t == KT::tSeqEa) && AllSeqs(static_cast<KSeq*>(index))) {
    KTHROW(seqCode, seqMsg);
  } else if ((t == KT::tSeq || t == KT::tSeqEa) && index->Count() == 0) {
    // selects nothing
  } else if (t == KT::tField) {
    KTHROW(KT::eNotImpl, "Field");
  } else {
    KTHROW(code, msg);
  }
  return sel;
}
}  // namespace

KB* KRS::IndexedBy(KB* index) {
  Selection sel = Classify(this, index, KT::eNotSupp, "Seq type", KT::eNotSupp, "Type");
  Building<KSeq> r(new KSeq());
  if (!sel.columns) {
    r->addSlots(static_cast<int>(sel.at.size()));
    for (int64_t p : sel.at) r->Append(Record(p < 0 || p >= RecCount() ? -1 : static_cast<int>(p)), true);
    return r.Release();
  }
  r->addSlots(RecCount());
  for (int i = 0; i < RecCount(); ++i) {
    KSeq* rec = static_cast<KSeq*>((*RecsPtr())[i]);
    KSeq* row = new KSeq();
    r->Append(row, true);
    row->addSlots(static_cast<int>(sel.at.size()));
    for (int64_t f : sel.at) row->Append((*rec)[static_cast<int>(f)], false);
  }
  return r.Release();
}

namespace {
// An assignment needs an index: an absent or empty one is refused.
void RequireIndex(KB* index) {
  if (!index || index->typen() == KT::tNV) KTHROW(KT::eValue, "No index");
}
}  // namespace

KSeq* KRS::MakeConform(KB* value, KB* index) {
  RequireIndex(index);
  Selection sel = Classify(this, index, KT::eNotSupp, "Index type", KT::eNotSupp, "Index type");
  int targets = sel.columns ? RecCount() : static_cast<int>(sel.at.size());
  int width = sel.columns ? static_cast<int>(sel.at.size()) : FieldCount();
  Building<KSeq> rows(new KSeq());
  rows->addSlots(targets);
  KSeq* s = IsSeqV(value) ? static_cast<KSeq*>(value) : nullptr;
  if (s && AllSeqs(s)) {
    if (s->Count() != targets && s->Count() != 1) KTHROW(KT::eValue, "Conformity");
    for (int t = 0; t < targets; ++t) rows->Append(Conformed((*s)[s->Count() == 1 ? 0 : t], width), true);
    return rows.Release();
  }
  for (int t = 0; t < targets; ++t) rows->Append(Conformed(value, width), true);
  return rows.Release();
}

void KRS::IdxAssign(KB* value, KB* index) {
  RequireIndex(index);
  Selection sel = Classify(this, index, KT::eNotSupp, "Index", KT::eNotSupp, "Index");
  KSeq* rows = MakeConform(value, index);
  Building<KSeq> hold(rows);
  if (!sel.columns) {
    for (size_t t = 0; t < sel.at.size(); ++t) {
      int64_t p = sel.at[t];
      if (p < 0 || p >= RecCount()) continue;  // never inserts
      RecsPtr()->Replace(static_cast<int>(p), (*rows)[static_cast<int>(t)], false);
    }
    return;
  }
  for (int r = 0; r < RecCount(); ++r) {
    KSeq* row = static_cast<KSeq*>((*rows)[r]);
    KSeq* rec = OwnRecord(r);
    for (size_t f = 0; f < sel.at.size(); ++f) rec->Replace(static_cast<int>(sel.at[f]), (*row)[static_cast<int>(f)], false);
  }
}

KRS* KRS::Without(KB* right) {
  std::vector<KB*> drop;
  if (right && right->typen() == KT::tRS) {
    KSeq* o = static_cast<KRS*>(right)->RecsPtr();
    for (int i = 0; i < o->Count(); ++i) drop.push_back((*o)[i]);
  } else if (IsSeqV(right) && AllSeqs(static_cast<KSeq*>(right))) {
    KSeq* o = static_cast<KSeq*>(right);
    for (int i = 0; i < o->Count(); ++i) drop.push_back((*o)[i]);
  } else if (right && right->typen() != KT::tNV) {
    drop.push_back(right);
  }
  Building<KRS> r(new KRS());
  r->FListAdd(FldsPtr());
  for (int i = 0; i < RecCount(); ++i) {
    KB* rec = (*RecsPtr())[i];
    bool gone = std::any_of(drop.begin(), drop.end(), [rec](KB* d) { return KA::EQ(rec, d); });
    if (!gone) r->RecsPtr()->Append(rec, false);
  }
  return r.Release();
}

void KRS::Replace(KB* value, int i, int j) {
  if (i < 0 || i >= RecCount() || j < 0 || j >= FieldCount()) return;
  OwnRecord(i)->Replace(j, value, false);
}

void KRS::Replace(KB* value, KNum* records, KFList* fields) {
  if (!records || !fields) return;
  std::vector<int64_t> at;
  PositionsOf(records, at);
  for (int64_t p : at)
    for (int f = 0; f < fields->Count(); ++f) {
      int j = FieldIdx(static_cast<KField*>((*fields)[f]));
      if (j && p >= 1 && p <= RecCount()) Replace(value, static_cast<int>(p - 1), j - 1);
    }
}

// ---- KB operations

const std::string& KRS::AsString(bool verbose) {
  std::string s = verbose ? VerbosePrefix() + "\r\n" : std::string();
  s += "Fields:[";
  for (int f = 0; f < FieldCount(); ++f) s += (*FldsPtr())[f]->AsString(false);
  s += "]\r\nRecords:{";
  if (!verbose) {
    s += Fmt("[%d]records}", RecCount());
  } else {
    NestGuard guard;  // a record may hold this set again
    for (int r = 0; r < RecCount(); ++r) {
      s += Fmt("\r\n[%d]", r + 1);
      KSeq* rec = static_cast<KSeq*>((*RecsPtr())[r]);
      for (int f = 0; f < FieldCount() && f < rec->Count(); ++f) {
        KB* v = (*rec)[f];
        if (v->typen() == KT::tNV) continue;
        std::string name = (*FldsPtr())[f]->AsString(false);
        s += Fmt("\r\n[%s]", name.c_str());
        s += v->AsString(true);
      }
    }
    s += "\r\n}";
  }
  text = std::move(s);
  return text;
}

std::string KRS::AsSimpleString() { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KRS::AsSimpleString(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KRS::AsSimpleString(int, int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KRS::Clear() { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KRS::Dump() { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KRS::Find(KField*, KB*) { KTHROW(KT::eNotImpl, "Find"); }
void KRS::Catenate(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB& KRS::operator=(KB&) { KTHROW(KT::eNotImpl, "operator=(KB&)"); }

KB* KRS::Clone() {
  KRS* r = new KRS();
  delete r->descriptor->rec;
  r->descriptor->rec = Rec()->Clone();
  r->exact = exact;
  return r;
}

bool KRS::EQ(KB* o) {
  if (!o || o->typen() != KT::tRS) return false;
  KRS* r = static_cast<KRS*>(o);
  return r == this || (KA::EQ(FldsPtr(), r->FldsPtr()) && KA::EQ(RecsPtr(), r->RecsPtr()));
}

// Record sets order by their record count, equal counts by position.
bool KRS::GT(KB* o, int i, int j, bool descending) {
  if (!o) return true;
  if (o->typen() != KT::tRS) return typen() > o->typen();
  int d = RecCount() - static_cast<KRS*>(o)->RecCount();
  if (d) return descending ? d < 0 : d > 0;
  return descending ? j < i : i < j;
}

KB* KRS::FieldGet(KB* name) {
  if (FieldIs(name, ":fields")) return Fields();
  if (FieldIs(name, ":rec")) {
    KNum zero(static_cast<int32_t>(0));
    return IndexedBy(&zero);
  }
  if (FieldIs(name, ":recs")) {
    Building<KSeq> r(new KSeq());
    r->addSlots(RecCount());
    for (int i = 0; i < RecCount(); ++i) r->Append(new KSeq(static_cast<KSeq*>((*RecsPtr())[i])), true);
    return r.Release();
  }
  return StdFieldOr(name, ":, :fields, :rec, :recs, :string, :stringv, :typen, :typec");
}
