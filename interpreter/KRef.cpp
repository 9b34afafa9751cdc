// KRef: references to associations, their text forms and fields.
#include "KRef.h"

#include "KAssoc.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KRef";

KRef::KRec::~KRec() { KB::DoneWith(assoc); }
void KRef::KRec::Held(std::vector<KB*>& out) const { out.push_back(assoc); }

KRef::KRec* KRef::KRec::Clone() const {
  KRec* r = new KRec();
  r->assoc = assoc;
  if (assoc) assoc->Reference(true);
  return r;
}

void KRef::Init(KAssoc* a) {
  descriptor->align = KT::aPtr;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aPtr);
  descriptor->count = descriptor->capacity = 1;
  KRec* r = new KRec();
  r->assoc = a;
  descriptor->rec = r;
}

KRef::KRef(KB* v) : KB(KT::tRef) {
  KString* key = new KString(Fmt("__%d", ID));
  KAssoc* a = nullptr;
  try {
    a = new KAssoc(key, v);
  } catch (...) {
    KB::DoneWith(key);
    throw;
  }
  KB::DoneWith(key);
  Init(a);
}

KRef::KRef(KString* name, KB* v) : KB(KT::tRef) { Init(new KAssoc(name, v)); }

KRef::KRef(KAssoc* a) : KB(KT::tRef) {
  if (!a) KTHROW(KT::eValue, "Type");
  a->Reference(true);
  Init(a);
}

KRef::KRef(KRef* o) : KB(KT::tRef) {
  KAssoc* a = o->rec()->assoc;
  a->Reference(true);
  Init(a);
}

KAssoc* KRef::AssocPtr(bool follow) const {
  KAssoc* a = rec()->assoc;
  if (!follow) return a;
  for (int step = 0; step < KT::DepthLimit; ++step) {
    KB* v = a->ValPtr();
    if (v->typen() != KT::tRef) break;
    a = static_cast<KRef*>(v)->rec()->assoc;
  }
  return a;
}

void KRef::AssocSet(KRef* o) {
  if (!o) return;
  KAssoc* a = o->rec()->assoc;
  if (a == rec()->assoc) return;
  a->Reference(true);
  KAssoc* old = rec()->assoc;
  rec()->assoc = a;
  KB::DoneWith(old);
}

KString* KRef::KeyPtr(bool follow) const { return AssocPtr(follow)->KeyPtr(); }
void KRef::KeySet(KString* key) { rec()->assoc->KeySet(key); }
KB* KRef::ValPtr(bool follow) const { return AssocPtr(follow)->ValPtr(); }

KB* KRef::Val(bool follow) {
  KB* v = ValPtr(follow);
  v->Reference(true);
  return v;
}

void KRef::ValSet(KB* v) { rec()->assoc->ValSet(v); }

void KRef::Put(KB*) { KTHROW(KT::eValue, "Put"); }

// Name part: the key, or "[Type]" for an anonymous association ("_...").
// The verbose form shows the value the reference finally leads to; a cycle
// of references shows the plain form of the last one instead of recursing.
const std::string& KRef::AsString(bool verbose) {
  KAssoc* a = rec()->assoc;
  KB* fin = ValPtr(true);
  std::string name = a->IsAnon() ? Fmt("[%s]", fin->typec()) : KB::TextOf(a->KeyKB());
  if (!verbose) {
    text = Fmt("%s@", name.c_str());
  } else {
    NestGuard guard;  // a sequence holding this reference leads back here
    std::string vt;
    if (fin->typen() == KT::tRef)
      vt = fin == this ? std::string("@") : fin->AsString(false);
    else
      vt = fin->AsString(true);
    std::string s = VerbosePrefix() + Fmt("%s@:%s", name.c_str(), vt.c_str());
    text = s;
  }
  return text;
}

KB* KRef::Clone() { return new KRef(this); }

// The field query of the designated value. A designated value that is itself
// a reference is followed; a cycle answers with this reference's own fields.
KB* KRef::FieldGet(KB* name) {
  KB* v = rec()->assoc->ValPtr();
  if (v->typen() == KT::tRef) v = ValPtr(true);
  if (v->typen() == KT::tRef) return StdFieldOr(name, ":, :string, :stringv, :typen, :typec");
  return v->FieldGet(name);
}

std::string KRef::SO() { KTHROW(KT::eNotImpl, "Ref SO"); }
int KRef::SOSz() { KTHROW(KT::eNotImpl, "Ref SOSz"); }
KB* KRef::SI(const char*) { KTHROW(KT::eNotImpl, "Ref SI"); }
