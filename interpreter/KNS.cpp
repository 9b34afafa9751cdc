// KNS: namespaces and scope chains, container namespaces (KCV) and the
// system object (KSys).
#include "KNS.h"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "KArg.h"
#include "KAssoc.h"
#include "KFile.h"
#include "KNum.h"
#include "KRS.h"
#include "KRef.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KNS";

namespace {

bool IsNSType(const KB* v) { return v && (v->typen() == KT::tNS || v->typen() == KT::tCV); }
bool IsName(const KB* v) { return v && (v->typen() == KT::tString || v->typen() == KT::tField); }

KNS* ChainNS(KSeq* chain, int i) {
  KB* e = (*chain)[i];
  if (!IsNSType(e)) KTHROW(KT::eSystem, "Corrupted NS Seq");
  return static_cast<KNS*>(e);
}

// Spends one unit of a recursion budget for the length of a nested call.
class BudgetGuard {
 public:
  explicit BudgetGuard(int32_t& budget) : budget_(budget) {
    if (--budget_ < 1) {
      ++budget_;
      KTHROW(KT::eValue, "Recursion Error");
    }
  }
  ~BudgetGuard() { ++budget_; }
  BudgetGuard(const BudgetGuard&) = delete;
  BudgetGuard& operator=(const BudgetGuard&) = delete;

 private:
  int32_t& budget_;
};

// A new string value holding a name (with the caller's reference).
KString* NewName(const char* name) { return new KString(name ? name : ""); }

}  // namespace

// ------------------------------------------------------------ construction

KNS::KNS() : KSeq(KT::tNS) {}
KNS::KNS(KT::KTO type) : KSeq(type) {}

KNS::KNS(KNS* other) : KSeq(KT::tNS) {
  if (!other) return;
  for (int i = 0; i < other->Count(); ++i) Append(other->AssocPtr(i));
}

KNS::KNS(KSeq* other) : KSeq(KT::tNS) {
  if (!other) return;
  for (int i = 0; i < other->Count(); ++i) {
    KB* e = (*other)[i];
    if (e && e->typen() == KT::tAssoc) Append(static_cast<KAssoc*>(e));
  }
}

KNS* KNS::MakeEmpty() const { return new KNS(); }

// ------------------------------------------------------------ names

bool KNS::NameOK(const std::string& name, KT::KNT kind) { return NameOK(name.data(), name.size(), kind); }

bool KNS::NameOK(const char* name, size_t len, KT::KNT kind) {
  if (len == 0) return false;
  if (kind == KT::ntAny) return true;
  if (kind != KT::ntSymbol) return false;
  auto alpha = [](unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto digit = [](unsigned char c) { return c >= '0' && c <= '9'; };
  if (!alpha(static_cast<unsigned char>(name[0]))) return false;
  for (size_t i = 1; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (!alpha(c) && !digit(c) && c != '_') return false;
  }
  return true;
}

// ------------------------------------------------------------ lookup

KAssoc* KNS::AssocPtr(int i) {
  if (i < 0 || i >= Count()) return nullptr;
  return static_cast<KAssoc*>(Slots()[i]);
}

KAssoc* KNS::operator[](int i) { return AssocPtr(i); }

KString* KNS::KeyPtr(int i) {
  KAssoc* a = AssocPtr(i);
  return a ? a->KeyPtr() : nullptr;
}

// ------------------------------------------------------------ name index

namespace {
// Namespaces below this size are searched linearly.
constexpr int kIndexFrom = 24;
}  // namespace

struct KNS::NameIndex {
  std::unordered_map<std::string, int> pos;
  int count = 0;
  const void* data = nullptr;
};

KNS::~KNS() { ++fScopeEpoch; }  // its address may hold another namespace next

// Two names are equal under the collated comparison exactly when their
// weighted characters and the gaps before them are equal: the key lists
// them, the gap as the top bit (weights stay below 128).
std::string KNS::NameKey(const char* text, int len) {
  std::string key;
  key.reserve(static_cast<size_t>(len));
  bool gap = true;
  for (int i = 0; i < len; ++i) {
    int w = KT::CSTARQDefault[static_cast<unsigned char>(text[i])];
    if (w == 0) {
      gap = true;
      continue;
    }
    key += static_cast<char>(w | (gap ? 0x80 : 0));
    gap = false;
  }
  return key;
}

namespace {
std::string KeyOfEntry(KAssoc* a) {
  KString* k = a ? a->KeyPtr() : nullptr;
  return k ? KNS::NameKey(k->Str(), k->Len()) : std::string();
}
}  // namespace

int KNS::IndexedFind(KString* name) {
  std::string key = NameKey(name->Str(), name->Len());
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = index_ && index_->count == Count() && index_->data == descriptor->data;
    if (!fresh) {
      if (!index_) index_ = std::make_unique<NameIndex>();
      index_->pos.clear();
      index_->pos.reserve(static_cast<size_t>(Count()));
      for (int i = 0; i < Count(); ++i) index_->pos.emplace(KeyOfEntry(AssocPtr(i)), i);
      index_->count = Count();
      index_->data = descriptor->data;
    }
    auto it = index_->pos.find(key);
    if (it == index_->pos.end()) return -1;
    int i = it->second;
    if (i < Count() && KeyOfEntry(AssocPtr(i)) == key) return i;
    index_->count = -1;  // stale: rebuild and look again
  }
  return -1;
}

// Keeps an up-to-date index in step with an association appended last.
void KNS::IndexNoteAppend() {
  if (!index_ || index_->count != Count() - 1) return;
  index_->pos.emplace(KeyOfEntry(AssocPtr(Count() - 1)), Count() - 1);
  index_->count = Count();
  index_->data = descriptor->data;
}

// Called before association i is removed and the last one moves into its place.
void KNS::IndexNoteRemove(int i, int last) {
  if (!index_ || index_->count != Count() || index_->data != descriptor->data) return;
  index_->pos.erase(KeyOfEntry(AssocPtr(i)));
  if (i != last) index_->pos[KeyOfEntry(AssocPtr(last))] = i;
  index_->count = Count() - 1;
}

namespace {
// Whether two texts are one name under the collated comparison: the same
// weighted characters with gaps before the same ones (what NameKey lists),
// compared without building the keys.
bool SameName(const char* a, int la, const char* b, int lb) {
  const int* w = KT::CSTARQDefault;
  // Most names differ in their first character: two weighted first
  // characters of different weights decide at once (as the loop would).
  if (la && lb) {
    int wa = w[static_cast<unsigned char>(a[0])], wb = w[static_cast<unsigned char>(b[0])];
    if (wa && wb && wa != wb) return false;
  }
  if (la == lb && std::memcmp(a, b, static_cast<size_t>(la)) == 0) return true;
  int i = 0, j = 0;
  for (;;) {
    bool gapA = i == 0, gapB = j == 0;
    while (i < la && w[static_cast<unsigned char>(a[i])] == 0) {
      gapA = true;
      ++i;
    }
    while (j < lb && w[static_cast<unsigned char>(b[j])] == 0) {
      gapB = true;
      ++j;
    }
    if (i == la || j == lb) return i == la && j == lb;
    if (gapA != gapB || w[static_cast<unsigned char>(a[i])] != w[static_cast<unsigned char>(b[j])]) return false;
    ++i;
    ++j;
  }
}
}  // namespace

int KNS::IndexOf(KString* name) {
  if (!name) return -1;
  if (!name->exact && Count() >= kIndexFrom) return IndexedFind(name);
  const char* text = name->Str();
  int len = name->Len();
  KB** slots = Count() ? Slots() : nullptr;
  for (int i = 0, n = Count(); i < n; ++i) {
    KString* k = static_cast<KAssoc*>(slots[i])->KeyPtr();
    if (!k) continue;
    // Plain keys (all the namespace makes) compare by their name keys; an
    // exact key keeps its own comparison.
    if (!k->exact && k->typen() == KT::tString && name->typen() == KT::tString) {
      if (SameName(k->Str(), k->Len(), text, len)) return i;
    } else if (k->CompareSys(name) == 0) {
      return i;
    }
  }
  return -1;
}

int KNS::IndexOfPlain(const char* text, int len, bool& sure) {
  int n = Count();
  sure = n < kIndexFrom;
  if (!sure) return -1;
  KB** slots = n ? Slots() : nullptr;
  for (int i = 0; i < n; ++i) {
    KString* k = static_cast<KAssoc*>(slots[i])->KeyPtr();
    if (!k) continue;
    if (k->exact || k->typen() != KT::tString) {
      sure = false;
      return -1;
    }
    if (SameName(k->Str(), k->Len(), text, len)) return i;
  }
  return -1;
}

int KNS::IndexOf(KB* name) {
  if (!IsName(name)) return -1;
  return IndexOf(static_cast<KString*>(name));
}

KAssoc* KNS::AssocPtrByName(KString* name) {
  int i = IndexOf(name);
  if (i < 0) return nullptr;
  KAssoc* a = AssocPtr(i);
  KB* v = a->ValPtr();
  v->descriptor->SID = v->ID;
  return a;
}

KAssoc* KNS::AssocPtr(KB* name) {
  if (!IsName(name)) return nullptr;
  return AssocPtrByName(static_cast<KString*>(name));
}

KAssoc* KNS::AssocPtr(const char* name) {
  KString* n = NewName(name);
  KAssoc* a = AssocPtrByName(n);
  KB::DoneWith(n);
  return a;
}

KAssoc* KNS::AssocPtrBySID(int sid) {
  if (sid < 0) return nullptr;
  for (int i = 0; i < Count(); ++i)
    if (AssocPtr(i)->ValPtr()->SID() == sid) return AssocPtr(i);
  return nullptr;
}

KAssoc* KNS::AssocPtrByVal(KB* v) {
  if (!v) return nullptr;
  for (int i = 0; i < Count(); ++i)
    if (AssocPtr(i)->ValPtr()->descriptor == v->descriptor) return AssocPtr(i);
  return nullptr;
}

KAssoc* KNS::GetByID(int id) {
  for (int i = 0; i < Count(); ++i)
    if (AssocPtr(i)->ValPtr()->ID == id) return AssocPtr(i);
  return nullptr;
}

KB* KNS::ValPtr(int i) {
  KAssoc* a = AssocPtr(i);
  return a ? a->ValPtr() : nullptr;
}
KB* KNS::ValPtr(const char* name) {
  KAssoc* a = AssocPtr(name);
  return a ? a->ValPtr() : nullptr;
}
KB* KNS::ValPtr(KString* name) {
  KAssoc* a = AssocPtrByName(name);
  return a ? a->ValPtr() : nullptr;
}
KB* KNS::ValPtr(KB* name) {
  KAssoc* a = AssocPtr(name);
  return a ? a->ValPtr() : nullptr;
}

KSeq* KNS::ValPtrs() { return Disclose(); }

// The first namespace (innermost first) that has the name gives a private
// copy of its value, carrying the stored value's SID.
KB* KNS::ValPtr(KSeq* chain, KString* name, bool innermostOnly) {
  if (!chain) KTHROW(KT::eSystem, "Corrupted NS Seq");
  int last = chain->Count() - 1;
  int stop = innermostOnly ? last : 0;
  for (int i = last; i >= stop && i >= 0; --i) {
    KNS* ns = ChainNS(chain, i);
    KAssoc* a = ns->AssocPtrByName(name);
    if (!a) continue;
    KB* v = a->ValPtr();
    int sid = v->SID();
    KB* copy = v->Clone();
    try {
      copy->Fix();
    } catch (...) {
      KB::DoneWith(copy);
      throw;
    }
    copy->descriptor->SID = sid;
    return copy;
  }
  return new KNil();
}

KB* KNS::ValPtr(KSeq* chain, const char* name, bool innermostOnly) {
  KString* n = NewName(name);
  try {
    KB* r = ValPtr(chain, n, innermostOnly);
    KB::DoneWith(n);
    return r;
  } catch (...) {
    KB::DoneWith(n);
    throw;
  }
}

// ------------------------------------------------------------ storing

// Keys are private strings holding the name's text, so a key never shares
// an object with a value that may change in place; a stored key is kept
// when the new name is spelt the same way.
KAssoc* KNS::Put(KString* name, KB* v, KT::KNT kind) {
  if (!name) return nullptr;
  return PutAt(IndexOf(name), name, v, kind);
}

// Put with the name's position already found (i, -1 when absent).
KAssoc* KNS::PutAt(int i, KString* name, KB* v, KT::KNT kind) {
  // The common case: a new value for an entry spelt exactly the same way.
  if (i >= 0 && v && name->typen() == KT::tString) {
    KAssoc* a = AssocPtr(i);
    KString* k = a->KeyPtr();
    if (k && k->typen() == KT::tString && k->Len() == name->Len() &&
        std::memcmp(k->Str(), name->Str(), static_cast<size_t>(name->Len())) == 0 &&
        NameOK(name->Str(), static_cast<size_t>(name->Len()), kind)) {
      v->descriptor->SID = v->ID;
      a->ValSet(v);
      KB* stored = a->ValPtr();
      stored->descriptor->SID = stored->ID;
      return a;
    }
  }
  std::string text = KB::TextOf(name);
  if (!NameOK(text, kind)) return nullptr;
  KNV* made = nullptr;
  if (!v) v = made = new KNV();
  KString* key = nullptr;
  try {
    v->descriptor->SID = v->ID;
    KAssoc* a;
    if (i < 0) {
      key = new KString(text);
      a = Append(key, v);
    } else {
      a = AssocPtr(i);
      if (KB::TextOf(a->KeyKB()) != text) {
        key = new KString(text);
        a->KeySet(key);
      }
      a->ValSet(v);
      KB* stored = a->ValPtr();
      stored->descriptor->SID = stored->ID;
    }
    KB::DoneWith(key);
    KB::DoneWith(made);
    return a;
  } catch (...) {
    KB::DoneWith(key);
    KB::DoneWith(made);
    throw;
  }
}

KAssoc* KNS::Put(const char* name, KB* v, KT::KNT kind) {
  KString* n = NewName(name);
  try {
    KAssoc* a = Put(n, v, kind);
    KB::DoneWith(n);
    return a;
  } catch (...) {
    KB::DoneWith(n);
    throw;
  }
}

KAssoc* KNS::Put(KB* name, KB* v, KT::KNT kind) {
  if (!IsName(name)) KTHROW(KT::eValue, "Need string");
  return Put(static_cast<KString*>(name), v, kind);
}

KAssoc* KNS::Put(KAssoc* a) {
  if (!a) return nullptr;
  int i = IndexOf(a->KeyPtr());
  if (i < 0) return Append(a);
  Replace(i, a);
  return a;
}

KAssoc* KNS::Append(KString* name, KB* v) {
  KAssoc* a = new KAssoc(name, v);
  KSeq::Append(a, true);
  IndexNoteAppend();
  return a;
}

KAssoc* KNS::Append(KAssoc* a) {
  if (!a) return nullptr;
  KSeq::Append(a, false);
  IndexNoteAppend();
  return a;
}

// Assignment updates a variable of the current or the immediately
// enclosing scope, and otherwise creates a local one.
KAssoc* KNS::Put(KSeq* chain, KString* name, KB* v, KT::KNT kind) {
  if (!chain || chain->Count() < 1) KTHROW(KT::eSystem, "Corrupted NS Seq");
  int last = chain->Count() - 1;
  KNS* inner = ChainNS(chain, last);
  int i = inner->IndexOf(name);
  if (i >= 0) return inner->PutAt(i, name, v, kind);
  if (last >= 1) {
    KNS* parent = ChainNS(chain, last - 1);
    int j = parent->IndexOf(name);
    if (j >= 0) return parent->PutAt(j, name, v, kind);
  }
  return inner->PutAt(-1, name, v, kind);
}

KAssoc* KNS::Put(KSeq* chain, const char* name, KB* v, KT::KNT kind) {
  KString* n = NewName(name);
  try {
    KAssoc* a = Put(chain, n, v, kind);
    KB::DoneWith(n);
    return a;
  } catch (...) {
    KB::DoneWith(n);
    throw;
  }
}

bool KNS::Replace(KString* name, KB* v) {
  KAssoc* a = AssocPtrByName(name);
  if (!a) return false;
  a->ValSet(v);
  KB* stored = a->ValPtr();
  stored->descriptor->SID = stored->ID;
  return true;
}

bool KNS::Replace(const char* name, KB* v) {
  KString* n = NewName(name);
  bool r = Replace(n, v);
  KB::DoneWith(n);
  return r;
}

bool KNS::Replace(KAssoc* a) {
  if (!a) return false;
  int i = IndexOf(a->KeyPtr());
  return i >= 0 && Replace(i, a);
}

bool KNS::Replace(int i, KAssoc* a) {
  if (i < 0 || i >= Count() || !a) return false;
  KB** s = Slots();
  if (s[i] == a) return true;
  if (index_) index_->count = -1;  // the key at i may change
  a->Reference(true);
  KB* old = s[i];
  s[i] = a;
  ++fScopeEpoch;
  KB::DoneWith(old);
  return true;
}

bool KNS::Replace(KNS* other) {
  if (!other || other == this) return false;
  Clear();
  Copy(other);
  return true;
}

// The last association moves into the gap, so the order changes.
bool KNS::Remove(int i) {
  int n = Count();
  if (i < 0 || i >= n) return false;
  IndexNoteRemove(i, n - 1);
  KB** s = Slots();
  KB* old = s[i];
  s[i] = s[n - 1];
  s[n - 1] = nullptr;
  descriptor->count = n - 1;
  ++fScopeEpoch;
  KB::DoneWith(old);
  return true;
}

bool KNS::Remove(const char* name) {
  KString* n = NewName(name);
  int i = IndexOf(n);
  KB::DoneWith(n);
  return Remove(i);
}

bool KNS::Remove(KB* name) {
  if (!IsName(name)) KTHROW(KT::eValue, "Need string");
  return Remove(IndexOf(static_cast<KString*>(name)));
}

// ------------------------------------------------------------ whole namespace

KSeq* KNS::Names() {
  KSeq* s = new KSeq();
  for (int i = 0; i < Count(); ++i) s->Append(AssocPtr(i)->KeyKB(), false);
  return s;
}

KB* KNS::Fields() {
  KFList* fl = new KFList();
  try {
    for (int i = 0; i < Count(); ++i) fl->Append(new KField(AssocPtr(i)->KeyKB()), true);
  } catch (...) {
    KB::DoneWith(fl);
    throw;
  }
  return fl;
}

KB* KNS::Symbols() { KTHROW(KT::eSystem, "Symbols"); }

KSeq* KNS::Disclose() {
  KSeq* s = new KSeq();
  for (int i = 0; i < Count(); ++i) s->Append(AssocPtr(i)->ValPtr(), false);
  return s;
}

// Each of other's entries is stored here under its name (new associations,
// so the two namespaces do not share variables).
void KNS::Copy(KNS* other) {
  if (!other || other == this) return;
  for (int i = 0; i < other->Count(); ++i) {
    KAssoc* a = other->AssocPtr(i);
    Put(a->KeyPtr(), a->ValPtr(), KT::ntAny);
  }
}

void KNS::Clear() { KSeq::Clear(); }

// A copy with its own associations binding the same keys and values.
KB* KNS::Clone() {
  KNS* r = MakeEmpty();
  try {
    for (int i = 0; i < Count(); ++i) r->Append(AssocPtr(i)->KeyPtr(), AssocPtr(i)->ValPtr());
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

int KNS::Compare(KB* other) { return KSeq::Compare(other); }

// Names to leave out: a name (string or field), a field list or sequence of
// names, or another namespace (its names).
KB* KNS::WithoutImpl(KB* names) {
  if (!names) KTHROW(KT::eNotSupp, "Type");
  std::vector<KB*> drop;
  if (IsName(names)) {
    drop.push_back(names);
  } else if (IsNSType(names)) {
    KNS* o = static_cast<KNS*>(names);
    for (int i = 0; i < o->Count(); ++i) drop.push_back(o->AssocPtr(i)->KeyKB());
  } else if (names->typen() == KT::tSeq || names->typen() == KT::tSeqEa || names->typen() == KT::tFL) {
    KSeq* s = static_cast<KSeq*>(names);
    for (int i = 0; i < s->Count(); ++i) {
      KB* e = (*s)[i];
      if (!IsName(e)) KTHROW(KT::eNotSupp, "Type");
      drop.push_back(e);
    }
  } else if (names->typen() != KT::tNV) {
    KTHROW(KT::eNotSupp, "Type");
  }
  KNS* r = MakeEmpty();
  for (int i = 0; i < Count(); ++i) {
    KAssoc* a = AssocPtr(i);
    bool gone = false;
    for (KB* d : drop)
      if (a->KeyPtr()->CompareSys(d) == 0) {
        gone = true;
        break;
      }
    if (!gone) r->Append(a->KeyPtr(), a->ValPtr());
  }
  return r;
}

KB* KNS::Without(KB* names) { return WithoutImpl(names); }

// Storing through an index: a name stores the value under it; a list of
// names pairs with a sequence of values of the same length; the empty index
// with a namespace value makes this namespace a copy of that one.
void KNS::IdxAssign(KB* v, KB* index) {
  if (!index) KTHROW(KT::eNotSupp, "Type");
  KT::KTO it = index->typen();
  if (IsName(index)) {
    Put(static_cast<KString*>(index), v, KT::ntSymbol);
    return;
  }
  if (it == KT::tNV || ((it == KT::tSeq || it == KT::tFL) && index->Count() == 0)) {
    if (!IsNSType(v)) KTHROW(KT::eNotSupp, "Type");
    if (v == this || v->descriptor == descriptor) return;
    KNS* o = static_cast<KNS*>(v);
    // Take the other's entries before clearing, in case they are ours.
    KNS keep(o);
    Clear();
    Copy(&keep);
    return;
  }
  if (it != KT::tSeq && it != KT::tSeqEa && it != KT::tFL) KTHROW(KT::eNotSupp, "Type");
  KSeq* names = static_cast<KSeq*>(index);
  int n = names->Count();
  for (int i = 0; i < n; ++i)
    if (!IsName((*names)[i])) KTHROW(KT::eNotSupp, "Type");
  bool vSeq = v && (v->typen() == KT::tSeq || v->typen() == KT::tSeqEa);
  if (vSeq && v->Count() == n) {
    KSeq* vals = static_cast<KSeq*>(v);
    for (int i = 0; i < n; ++i) Put(static_cast<KString*>((*names)[i]), (*vals)[i], KT::ntSymbol);
    return;
  }
  int m = vSeq ? v->Count() : 1;
  if (n == 1 && !vSeq) {
    Put(static_cast<KString*>((*names)[0]), v, KT::ntSymbol);
    return;
  }
  if (n == 1) KTHROW(KT::eNotImpl, "idx# = 1");
  if (m == 1) KTHROW(KT::eNotImpl, "val# = 1");
  KTHROW(KT::eSyntax, "???");
}

// Selecting names: an empty index gives a copy; a field, field list or
// sequence of fields gives a new namespace of the names present (a name
// beginning with ":" is answered by the field query).
KB* KNS::IndexedBy(KB* index) {
  if (!index) KTHROW(KT::eNotSupp, "Type");
  if (index->Count() == 0 && index->typen() != KT::tField) return Clone();
  std::vector<KB*> fields;
  if (index->typen() == KT::tField) {
    fields.push_back(index);
  } else if (index->typen() == KT::tFL || index->typen() == KT::tSeq || index->typen() == KT::tSeqEa) {
    KSeq* s = static_cast<KSeq*>(index);
    for (int i = 0; i < s->Count(); ++i)
      if ((*s)[i]->typen() == KT::tField) fields.push_back((*s)[i]);
  } else {
    KTHROW(KT::eNotSupp, "Type");
  }
  KNS* r = new KNS();
  try {
    for (KB* f : fields) {
      std::string name = KB::TextOf(f);
      if (!name.empty() && name[0] == ':') {
        KB* ans = FieldGet(f);
        r->Put(static_cast<KString*>(f), ans, KT::ntAny);
        KB::DoneWith(ans);
        continue;
      }
      KAssoc* a = AssocPtrByName(static_cast<KString*>(f));
      if (a) r->Put(static_cast<KString*>(f), a->ValPtr(), KT::ntSymbol);
    }
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

int KNS::size() { return ClampSize(SizeBytes()); }

int64_t KNS::SizeBytes() {
  BudgetGuard guard(recursionBudget);
  int64_t total = 4 * static_cast<int64_t>(Count());
  for (int i = 0; i < Count(); ++i) {
    KAssoc* a = AssocPtr(i);
    total += a->KeyKB()->SizeBytes();
    total += a->ValPtr()->SizeBytes();
  }
  return total;
}

KB* KNS::Size() {
  recursionBudget = defaultRecursionProtect;
  return KMakeSize(SizeBytes());
}

KB* KNS::Sizes() {
  recursionBudget = defaultRecursionProtect;
  int n = Count();
  KNum* r = new KNum(KT::aInt, n);
  try {
    for (int i = 0; i < n; ++i) r->IntPtr()[i] = AssocPtr(i)->ValPtr()->size();
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

// ------------------------------------------------------------ text forms

std::string KNS::RefPart(KB* v) {
  if (!v || v->typen() != KT::tRef) return std::string();
  std::string s = "@";
  KAssoc* a = static_cast<KRef*>(v)->AssocPtr(true);
  if (a->IsAnon()) s += Fmt("[%s]%s", a->ValPtr()->typec(), KB::TextOf(a->KeyKB()).c_str());
  return s;
}

std::string KNS::EntriesText(bool verbose, const char* plainHead) {
  recursionBudget = defaultRecursionProtect;
  std::string s = verbose ? VerbosePrefix() + "\r\n" : std::string(plainHead);
  for (int i = 0; i < Count(); ++i) {
    KAssoc* a = AssocPtr(i);
    KB* v = a->ValPtr();
    std::string key = KB::TextOf(a->KeyKB());
    if (i > 0) s += verbose ? "\r\n" : " ";
    if (verbose)
      s += Fmt("%s:%s%s:%s[%d]", a->VerbosePrefix().c_str(), key.c_str(), RefPart(v).c_str(), v->typec(),
               v->Count());
    else
      s += key + RefPart(v);
  }
  return s;
}

const std::string& KNS::AsString(bool verbose) {
  text = EntriesText(verbose, "NS:");
  return text;
}

std::string KNS::Dump() { return AsString(true); }

KB* KNS::FieldGet(KB* name) {
  if (FieldIs(name, ":clear")) {
    Clear();
    return MakeEmpty();
  }
  if (FieldIs(name, ":fields")) return Fields();
  if (FieldIs(name, ":names")) return Names();
  if (FieldIs(name, ":size")) return Size();
  if (FieldIs(name, ":sizes")) return Sizes();
  if (FieldIs(name, ":values")) return ValPtrs();
  return StdFieldOr(name, ":, :clear, :fields, :names, :size, :sizes, :string, :stringv, :typec, :typen, :values");
}

// ------------------------------------------------------------ images
// The sequence image with the namespace's type byte; its elements are
// association images.

int KNS::SOSz() {
  NestGuard guard;
  int64_t total = 8;
  for (int i = 0; i < Count(); ++i) total += AssocPtr(i)->SOSz();
  return ImageSize(total);
}

std::string KNS::SO() {
  NestGuard guard;
  std::string body;
  for (int i = 0; i < Count(); ++i) body += AssocPtr(i)->SO();
  std::string s = ImageHeader(typen(), ImageSize(static_cast<int64_t>(body.size()) + 8));
  s += body;
  return s;
}

namespace {
// Reads the association images of a namespace image into ns.
void ReadEntries(KNS* ns, const char* image) {
  KB::NestGuard guard;
  int total = KB::GetI32(image + 4);
  if (total < 8) KTHROW(KT::eValue, "Not SI");
  int at = 8;
  while (at < total) {
    if (total - at < 8) KTHROW(KT::eValue, "Not SI");
    const char* p = image + at;
    int sz = KB::GetI32(p + 4);
    if (sz < 8 || sz > total - at) KTHROW(KT::eValue, "Not SI");
    if (static_cast<unsigned char>(p[0]) != KT::tAssoc) KTHROW(KT::eNotImpl, "SI Type");
    KB* a = KAssoc::SI(p);
    ns->KSeq::Append(a, true);
    at += sz;
  }
}
}  // namespace

KB* KNS::SI(const char* image) {
  KNS* ns = new KNS();
  try {
    ReadEntries(ns, image);
  } catch (...) {
    KB::DoneWith(ns);
    throw;
  }
  return ns;
}

// ------------------------------------------------------------ KCV

KCV::KCV() : KNS(KT::tCV) {}
KCV::KCV(KCV* other) : KNS(KT::tCV) {
  if (!other) return;
  for (int i = 0; i < other->Count(); ++i) Append(other->AssocPtr(i));
}
KCV::KCV(KNS* other) : KNS(KT::tCV) {
  if (!other) return;
  for (int i = 0; i < other->Count(); ++i) Append(other->AssocPtr(i));
}

KNS* KCV::MakeEmpty() const { return new KCV(); }

// One element per association: the key, or with deep and a container value
// [key, that container's deep names]. Containers nested in themselves raise
// "Recursion Error".
KSeq* KCV::Names(bool deep) {
  BudgetGuard guard(recursionBudget);
  KSeq* s = new KSeq();
  try {
    for (int i = 0; i < Count(); ++i) {
      KAssoc* a = AssocPtr(i);
      KB* v = a->ValPtr();
      if (deep && v->typen() == KT::tCV) {
        KSeq* pair = new KSeq();
        pair->Append(a->KeyKB(), false);
        s->Append(pair, true);
        pair->Append(static_cast<KCV*>(v)->Names(true), true);
      } else {
        s->Append(a->KeyKB(), false);
      }
    }
  } catch (...) {
    KB::DoneWith(s);
    throw;
  }
  return s;
}

KB* KCV::Without(KB* names) { return WithoutImpl(names); }

const std::string& KCV::AsString(bool verbose) {
  text = EntriesText(verbose, "CV :");
  return text;
}

KB* KCV::Clone() { return KNS::Clone(); }

KB* KCV::FieldGet(KB* name) {
  if (FieldIs(name, ":names")) return Names(false);
  if (FieldIs(name, ":namesdeep")) {
    recursionBudget = defaultRecursionProtect;
    return Names(true);
  }
  return StdFieldOr(name, ":, :names, :namesdeep, :string, :stringv, :typen, :typec");
}

std::string KCV::SO() { return KNS::SO(); }

KB* KCV::SI(const char* image) {
  KCV* ns = new KCV();
  try {
    ReadEntries(ns, image);
  } catch (...) {
    KB::DoneWith(ns);
    throw;
  }
  return ns;
}

// ------------------------------------------------------------ KSys

KSys::KSys(KA& chain) : KSys(chain.value) {}

KSys::KSys(KB* chain) : KB(KT::tSys) {
  chain_ = chain ? chain : new KSeq();
  if (chain) chain_->Reference(true);
}

KSys::~KSys() {
  KB* c = chain_;
  chain_ = nullptr;
  KB::DoneWith(c);
}

KB* KSys::Clone() { return new KSys(chain_); }

namespace {
// The namespaces of a chain, outermost first (a lone namespace is a chain
// of one; other elements are kept as null).
std::vector<KB*> ChainElems(KB* chain) {
  std::vector<KB*> r;
  if (IsNSType(chain)) {
    r.push_back(chain);
  } else if (chain && (chain->typen() == KT::tSeq || chain->typen() == KT::tSeqEa)) {
    KSeq* s = static_cast<KSeq*>(chain);
    for (int i = 0; i < s->Count(); ++i) r.push_back((*s)[i]);
  }
  return r;
}
}  // namespace

// Lists (does not close) the associations whose value is a file with an
// open handle, outermost namespace first.
KSeq* KSys::CloseFiles() {
  KSeq* r = new KSeq();
  for (KB* e : ChainElems(chain_)) {
    if (!IsNSType(e)) continue;
    KNS* ns = static_cast<KNS*>(e);
    for (int i = 0; i < ns->Count(); ++i) {
      KB* v = ns->AssocPtr(i)->ValPtr();
      if (v->typen() == KT::tFile && static_cast<KFile*>(v)->Handle() != 0) r->Append(ns->AssocPtr(i), false);
    }
  }
  return r;
}

KSeq* KSys::NSDump() {
  KSeq* r = new KSeq();
  try {
    std::vector<KB*> elems = ChainElems(chain_);
    int depth = 0;
    for (auto it = elems.rbegin(); it != elems.rend(); ++it, ++depth) {
      KSeq* scope = new KSeq();
      r->Append(scope, true);
      scope->Append(KMakeString(Fmt("Scope(%d)", depth)), true);
      KSeq* list = new KSeq();
      scope->Append(list, true);
      if (!IsNSType(*it)) continue;
      KNS* ns = static_cast<KNS*>(*it);
      for (int i = 0; i < ns->Count(); ++i) list->Append(ns->AssocPtr(i)->Precis(), true);
    }
  } catch (...) {
    KB::DoneWith(r);
    throw;
  }
  return r;
}

KB* KSys::FieldGet(KB* name) {
  if (FieldIs(name, ":closefiles")) return CloseFiles();
  if (FieldIs(name, ":nsdump")) return NSDump();
  return StdFieldOr(name, ":, :closefiles, :nsdump, :string, :stringv, :typen, :typec");
}
