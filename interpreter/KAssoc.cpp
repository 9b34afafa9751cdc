// KAssoc: associations (name -> value), their text forms, fields and images.
#include "KAssoc.h"

#include <utility>

#include "KNS.h"
#include "KNum.h"
#include "KRB.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KAssoc";

// ------------------------------------------------------------ record

KAssoc::KRec::~KRec() {
  KB::DoneWith(key);
  KB::DoneWith(val);
}

KAssoc::KRec* KAssoc::KRec::Clone() const {
  KRec* r = new KRec();
  r->key = key;
  r->val = val;
  if (key) key->Reference(true);
  if (val) val->Reference(true);
  return r;
}

// ------------------------------------------------------------ construction

KAssoc::KAssoc(KString* key, KB* val) : KB(KT::tAssoc) {
  KB* k = key;
  bool newKey = !k;
  if (newKey) k = new KString();
  bool newVal = !val;
  if (newVal) val = new KNV();
  KRec* r = new KRec();
  r->key = k;
  r->val = val;
  if (!newKey) k->Reference(true);
  if (!newVal) val->Reference(true);
  descriptor->align = KT::aPtr;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aPtr);
  descriptor->count = descriptor->capacity = 1;
  descriptor->rec = r;
}

KAssoc::KAssoc(const KRB& tree, uint32_t node) : KB(KT::tAssoc) {
  KRec* r = new KRec();
  descriptor->align = KT::aPtr;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aPtr);
  descriptor->count = descriptor->capacity = 1;
  descriptor->rec = r;
  r->val = tree.Val(node);
  KB* key = tree.Key(node);
  if (key->typen() == KT::tString || key->typen() == KT::tField) {
    r->key = key;
  } else {
    try {
      r->key = new KString(key->AsString(false));
    } catch (...) {
      KB::DoneWith(key);
      throw;
    }
    KB::DoneWith(key);
  }
}

KAssoc::KAssoc(KAssoc& o) : KB(&o) {}
KAssoc::KAssoc(KAssoc* o) : KB(o) {}

// ------------------------------------------------------------ access

KString* KAssoc::KeyPtr() const { return static_cast<KString*>(rec()->key); }
KB* KAssoc::KeyKB() const { return rec()->key; }
KB* KAssoc::ValPtr() const { return rec()->val; }

bool KAssoc::IsAnon() const {
  std::string k = KB::TextOf(rec()->key);
  return !k.empty() && k[0] == '_';
}

void KAssoc::KeySet(KString* key) {
  ++KSeq::fScopeEpoch;  // the entry is found under another name now
  KB* k = key;
  if (!k || k == rec()->key) return;
  k->Reference(true);
  KB* old = rec()->key;
  rec()->key = k;
  KB::DoneWith(old);
}

KB* KAssoc::Val() {
  rec()->val->Reference(true);
  return rec()->val;
}

// Storing a value: the same value does nothing; a reference replaces a
// stored reference; otherwise a reference is followed to the value its
// association finally holds, so a variable receives values, not references.
// A stored reference is replaced by a plain value (not written through).
void KAssoc::ValSet(KB* v) {
  KB* cur = rec()->val;
  if (!v) {
    rec()->val = new KNV();
    KB::DoneWith(cur);
    return;
  }
  if (v == cur) return;
  if (v->typen() == KT::tRef && !(cur && cur->typen() == KT::tRef)) {
    v = static_cast<KRef*>(v)->ValPtr(true);
    if (v == cur) return;
  }
  v->Reference(true);
  rec()->val = v;
  KB::DoneWith(cur);
}

void KAssoc::ValSwap(KAssoc* other) { std::swap(rec()->val, other->rec()->val); }

KB* KAssoc::Both() {
  KSeq* s = new KSeq();
  s->Append(rec()->key, false);
  s->Append(rec()->val, false);
  return s;
}

KB* KAssoc::Size() { return KMakeInt(descriptor->count * descriptor->elemSize + 28); }

// [key, "Type[A:count#bytes]refs"] (for a reference value the referenced
// value's plain text follows after a blank).
KB* KAssoc::Precis() {
  KB* v = rec()->val;
  int n = v->Count();
  int64_t bytes = v->alignmentn() == KT::aBit ? KB::LenBitsInChars(n) : static_cast<int64_t>(n) * KT::TypeAlignToElemSz(v->alignmentn());
  std::string s = Fmt("%s[%s:%d#%lld]%d", v->typec(), v->alignmentc(), n, static_cast<long long>(bytes), v->descriptor->refs);
  if (v->typen() == KT::tRef) {
    KB* t = static_cast<KRef*>(v)->ValPtr(true);
    s += " ";
    s += t->AsString(false);
  }
  KSeq* r = new KSeq();
  r->Append(rec()->key, false);
  r->Append(KMakeString(s), true);
  return r;
}

// ------------------------------------------------------------ base slots

const std::string& KAssoc::AsString(bool verbose) {
  KB* v = rec()->val;
  std::string key = KB::TextOf(rec()->key);
  if (!verbose) {
    text = Fmt("%s:%s[%d]", key.c_str(), v->typec(), v->Count());
  } else {
    std::string prefix = VerbosePrefix();
    std::string vt = KSeq::IsSeq(v) ? prefix : v->AsString(true);
    text = prefix + Fmt("%s:%s", key.c_str(), vt.c_str());
  }
  return text;
}

KB* KAssoc::Clone() { return new KAssoc(KeyPtr(), rec()->val); }

void KAssoc::Fix() { KB::Fix(); }

void KAssoc::ReferenceTo(KB* o) {
  if (!o || o->typen() != KT::tAssoc) KTHROW(KT::eValue, "Type");
  KB::ReferenceTo(o);
}

KB* KAssoc::FieldGet(KB* name) {
  if (FieldIs(name, ":both")) return Both();
  if (FieldIs(name, ":key")) {
    rec()->key->Reference(true);
    return rec()->key;
  }
  if (FieldIs(name, ":val")) return Val();
  if (FieldIs(name, ":size")) return Size();
  return StdFieldOr(name, ":, :both, :key, :size, :string, :stringv, :typen, :typec, :val");
}

// ------------------------------------------------------------ images
// Header (type 2, total), the key's string image, the value's image. Values
// of types CV, NS, Num and String are accepted.

static bool AssocValTypeOK(int t) {
  return t == KT::tCV || t == KT::tNS || t == KT::tNum || t == KT::tString;
}

int KAssoc::SOSz() {
  KB* v = rec()->val;
  int t = v->typen();
  int vs;
  if (t == KT::tRef)
    vs = v->size();
  else if (AssocValTypeOK(t))
    vs = v->SOSz();
  else
    KTHROW(KT::eNotImpl, "Assoc type");
  return ImageSize(static_cast<int64_t>(8) + rec()->key->SOSz() + vs);
}

std::string KAssoc::SO() {
  KB* v = rec()->val;
  if (v->typen() == KT::tRef) KTHROW(KT::eNotImpl, "Assoc Val SO");
  if (!AssocValTypeOK(v->typen())) KTHROW(KT::eNotImpl, "Assoc type");
  std::string k = rec()->key->SO();
  std::string b = v->SO();
  std::string s = ImageHeader(KT::tAssoc, ImageSize(static_cast<int64_t>(8 + k.size() + b.size())));
  s += k;
  s += b;
  return s;
}

KB* KAssoc::SI(const char* image) {
  int total = GetI32(image + 4);
  if (static_cast<unsigned char>(image[0]) != KT::tAssoc) KTHROW(KT::eNotImpl, "SI Type");
  if (total < 24) KTHROW(KT::eValue, "Not SI");
  const char* p = image + 8;
  int kt = static_cast<unsigned char>(p[0]);
  int ks = GetI32(p + 4);
  if (ks < 8 || ks > total - 16) KTHROW(KT::eValue, "Not SI");
  if (kt != KT::tString && kt != KT::tField) KTHROW(KT::eNotImpl, "SI Type");
  const char* q = p + ks;
  int vt = static_cast<unsigned char>(q[0]);
  int vs = GetI32(q + 4);
  if (vs < 8 || vs != total - 8 - ks) KTHROW(KT::eValue, "Not SI");
  if (!AssocValTypeOK(vt)) KTHROW(KT::eNotImpl, "SI Type");
  KB* key = KString::SI(p);
  KB* val = nullptr;
  try {
    switch (vt) {
      case KT::tCV: val = KCV::SI(q); break;
      case KT::tNS: val = KNS::SI(q); break;
      case KT::tNum: val = KNum::SI(q); break;
      default: val = KString::SI(q); break;
    }
  } catch (...) {
    KB::DoneWith(key);
    throw;
  }
  KAssoc* a = new KAssoc(static_cast<KString*>(key), val);
  KB::DoneWith(key);
  KB::DoneWith(val);
  return a;
}
