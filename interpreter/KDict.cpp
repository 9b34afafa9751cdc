// KDict: the dictionary classes: construction in memory and over a file
// (with the write fence), text forms, fields, lookup, storing and removal.
#include "KDict.h"

#include "KArg.h"
#include "KAssoc.h"
#include "KClock.h"
#include "KFCtxt.h"
#include "KFile.h"
#include "KNum.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KDict";

namespace {

// The four kinds and their switches.
struct Kind {
  KT::KTO type;
  bool uniqueKeys, uniqueAssoc;
};
constexpr Kind kKinds[] = {
    {KT::tDict, true, true},
    {KT::tSet, true, true},
    {KT::tIdx, false, true},
    {KT::tBag, false, false},
};

const Kind& KindOf(int type) {
  for (const Kind& k : kKinds)
    if (k.type == type) return k;
  return kKinds[0];
}

// Kinds of value a key may be: one key each.
bool IsKeyKind(KB* v) {
  switch (v->typen()) {
    case KT::tString: case KT::tNum: case KT::tClock: case KT::tFile: case KT::tFCtxt:
    case KT::tSeq: case KT::tSeqEa: case KT::tFL:
      return true;
    default:
      return false;
  }
}

bool IsValueKind(KB* v) {
  switch (v->typen()) {
    case KT::tString: case KT::tNum: case KT::tClock: case KT::tSeq: case KT::tSeqEa:
      return true;
    default:
      return false;
  }
}

// Element i of a numeric array or clock as a value of its own.
KB* Element(KB* v, int i) {
  if (v->typen() == KT::tClock) return static_cast<KClock*>(v)->IndexedBy(i);
  return static_cast<KNum*>(v)->IndexedBy(i);
}

// The elements of a value as separate values, into `out`: a numeric array
// or clock gives one value per element, a sequence its elements.
void Split(KB* v, KSeq* out) {
  if (v->typen() == KT::tNum || v->typen() == KT::tClock) {
    if (v->Count() == 1) {
      out->AppendRef(v);
      return;
    }
    for (int i = 0; i < v->Count(); ++i) out->AppendOwned(Element(v, i));
    return;
  }
  KSeq* s = static_cast<KSeq*>(v);
  for (int i = 0; i < s->Count(); ++i) out->AppendRef((*s)[i]);
}

// The keys an index names: a string, file or file context is one key; a
// numeric array or clock one key per element; a sequence one per element.
// A kind that cannot name keys raises (code, msg).
void KeysOf(KB* index, KSeq* keys, KT::KET code, const char* msg) {
  switch (index->typen()) {
    case KT::tString: case KT::tFile: case KT::tFCtxt:
      keys->AppendRef(index);
      return;
    case KT::tNum: case KT::tClock: case KT::tSeq: case KT::tSeqEa: case KT::tFL:
      Split(index, keys);
      for (int i = 0; i < keys->Count(); ++i)
        if (!IsKeyKind((*keys)[i])) KTHROW(code, msg);
      return;
    default:
      KTHROW(code, msg);
  }
}

// Int arrays of several elements: their elements pair without building values.
bool IsIntArray(KB* v) { return v->typen() == KT::tNum && v->alignmentn() == KT::aInt && v->Count() > 1; }

KSeq* NewSeq(KA& hold) {
  KSeq* s = new KSeq();
  hold.Owns(s);
  return s;
}

}  // namespace

// ------------------------------------------------------------ record

KDict::KRec* KDict::KRec::Clone() const {
  KRec* r = new KRec();
  r->tree = tree;
  return r;
}

void KDict::KRec::Held(std::vector<KB*>& out) const {
  if (tree) tree->Held(out);
}

// ------------------------------------------------------------ construction

KDict::KDict() : KDict(KT::tDict, nullptr) {}
KDict::KDict(const std::string& path) : KDict(KT::tDict, &path) {}

KDict::KDict(KT::KTO type, const std::string* path) : KB(type) {
  const Kind& k = KindOf(type);
  KRec* r = new KRec();
  descriptor->align = KT::aPtr;
  descriptor->elemSize = KT::TypeAlignToElemSz(KT::aPtr);
  descriptor->count = descriptor->capacity = 1;
  descriptor->rec = r;
  if (!path) {
    r->tree = std::make_shared<KRB>(k.uniqueKeys, k.uniqueAssoc);
    r->tree->kind = type;
    return;
  }
  // Outside the write fence the file is only read: creating it or any
  // change raises the fence's reason.
  std::string sysPath = KPlat::SysPathOf(*path);
  KPlat::Place place;
  KPlat::Fence verdict = KPlat::Locate(sysPath, place, true);
  if (verdict == KPlat::Fence::kAdmitted) {
    // As for a file opened for writing, the directories on the way are made.
    if (!KPlat::MakeMissing(place))
      KTHROW(KT::eValue, Fmt("Can''t create (%s)", KFile(*path).FC()->FPath().c_str()).c_str());
    r->tree = KRB::OpenAt(std::move(place), sysPath, KPlat::kFenceReason, k.uniqueKeys, k.uniqueAssoc);
  } else {
    r->tree = KRB::Open(sysPath, false, KPlat::kFenceReason, k.uniqueKeys, k.uniqueAssoc);
  }
  if (r->tree->kind == 0) r->tree->kind = type;
  if (r->tree->kind != type) {
    r->tree.reset();
    KTHROW(KT::eSystem, "File bound as another kind");
  }
}

KDict* KDict::Make(KT::KTO type, const std::string* path) {
  switch (type) {
    case KT::tSet: return path ? new KSet(*path) : new KSet();
    case KT::tIdx: return path ? new KIdx(*path) : new KIdx();
    case KT::tBag: return path ? new KBag(*path) : new KBag();
    default: return path ? new KDict(*path) : new KDict();
  }
}

bool KDict::IsDictType(int type) {
  return type == KT::tDict || type == KT::tSet || type == KT::tIdx || type == KT::tBag;
}

KRB& KDict::Tree() const {
  KRec* r = static_cast<KRec*>(descriptor->rec);
  if (!r || !r->tree) KTHROW(KT::eValue, "Need KRB");
  return *r->tree;
}

// ------------------------------------------------------------ text and fields

const std::string& KDict::AsString(bool verbose) {
  text.clear();
  if (!verbose) return text;
  KRB& t = Tree();
  text = VerbosePrefix() + (t.UniqueKeys() ? "Unique Keys;" : "Duplicate Keys;") +
         (t.UniqueAssoc() ? "Unique Assoc;" : "Duplicate Assocs;");
  return text;
}

KB* KDict::Clone() {
  KDict* c = Make(typen(), nullptr);
  KA hold(c);
  KB::DoneWith(c);
  KRB& from = Tree();
  if (from.Bound()) {
    // A bound dictionary's content is its file's: a copy is one more
    // binding of that file, so a change made through it is kept there.
    static_cast<KRec*>(c->descriptor->rec)->tree = static_cast<KRec*>(descriptor->rec)->tree;
    c->Reference(true);
    return c;
  }
  KRB& to = c->Tree();
  if (IsSet()) {
    to.CopySet(from);
    c->Reference(true);
    return c;
  }
  for (uint32_t n = from.First(); n; n = from.Next(n)) {
    const KRB::Node& x = from.At(n);
    if (x.flags & KRB::fRev) continue;
    to.Store(x.KeyItem(), x.ValItem());
  }
  c->Reference(true);
  return c;
}

std::string KDict::Dump() { KTHROW(KT::eNotImpl, "Dump"); }

int KDict::Size() {
  KRB& t = Tree();
  return t.Entries() - t.RevEntries();
}

KB* KDict::Keys() {
  KA hold;
  KSeq* s = NewSeq(hold);
  KRB& t = Tree();
  for (uint32_t n = t.First(); n; n = t.Next(n))
    if (!(t.At(n).flags & KRB::fRev)) s->AppendOwned(t.Key(n));
  s->Reference(true);
  return s;
}

KB* KDict::Seq() {
  KA hold;
  KSeq* s = NewSeq(hold);
  KRB& t = Tree();
  for (uint32_t n = t.First(); n; n = t.Next(n)) {
    const KRB::Node& x = t.At(n);
    if (x.flags & KRB::fRev) continue;
    s->AppendOwned(new KAssoc(t, n));
  }
  s->Reference(true);
  return s;
}

KB* KDict::DumpListing() {
  KA hold;
  KSeq* s = NewSeq(hold);
  KRB& t = Tree();
  std::vector<uint32_t> order;
  t.WalkOrder(order);
  for (uint32_t n : order) s->AppendOwned(new KString(t.NodeText(n)));
  s->Reference(true);
  return s;
}

// The tree from the head: an internal node is [text, left, right], an
// entry its text; the head is [text, root] ([text] when empty).
KB* KDict::TreeListing() {
  KRB& t = Tree();
  struct Build {
    KRB& t;
    KB* Node(uint32_t n, int depth) {
      if (depth > 200) KTHROW(KT::eUnknown, "???");
      KString* text = new KString(t.NodeText(n));
      if (!(t.At(n).flags & KRB::fInt)) return text;
      KSeq* s = new KSeq();
      s->AppendOwned(text);
      KA hold(s);
      KB::DoneWith(s);
      if (n == t.Head()) {
        if (t.Root()) s->AppendOwned(Node(t.Root(), depth + 1));
      } else {
        s->AppendOwned(Node(t.At(n).link[KRB::lLeft], depth + 1));
        s->AppendOwned(Node(t.At(n).link[KRB::lRight], depth + 1));
      }
      s->Reference(true);
      return s;
    }
  };
  return Build{t}.Node(t.Head(), 0);
}

KB* KDict::FieldGet(KB* name) {
  if (KB* r = StdField(name)) return r;
  if (FieldIs(name, "dump")) return DumpListing();
  if (FieldIs(name, "file")) {
    KRB& t = Tree();
    if (!t.Bound()) return new KNV();
    return new KFile(KPlat::FromSystemPath(KPlat::LangNameOf(t.Path())));
  }
  if (FieldIs(name, "keys")) return Keys();
  if (FieldIs(name, "precis")) {
    KSeq* s = new KSeq();
    s->AppendOwned(new KString("not implemented"));
    return s;
  }
  if (FieldIs(name, "seq")) return Seq();
  if (FieldIs(name, "tree")) return TreeListing();
  return new KString(":, :dump, :file, :keys, :precis, :seq, :string, :stringv, :tree, :typen, :typec");
}

// ------------------------------------------------------------ indexing

KB* KDict::IndexedBy(KB* index) {
  if (index->typen() == KT::tNV) KTHROW(KT::eNotSupp, "empty idx");
  KA hold;
  KSeq* out = NewSeq(hold);
  KRB& t = Tree();
  std::vector<uint32_t> found;
  auto lookup = [&](const KRB::Item& key) {
    found.clear();
    t.Find(key, found);
    // A set answers a number it gave a key with that key.
    if (found.empty() && IsSet()) t.FindRev(key, found);
    if (found.empty()) out->AppendOwned(new KNV());
    for (uint32_t n : found) out->AppendOwned(t.Val(n));
  };
  if (IsIntArray(index)) {
    const int32_t* k = static_cast<KNum*>(index)->IntPtr();
    for (int i = 0; i < index->Count(); ++i) lookup(KRB::IntItem(k[i]));
  } else {
    KA keysHold;
    KSeq* keys = NewSeq(keysHold);
    KeysOf(index, keys, KT::eNotImpl, "Type");
    for (int i = 0; i < keys->Count(); ++i) lookup(KRB::ItemOf((*keys)[i]));
  }
  out->Reference(true);
  return out;
}

void KDict::StorePair(KB* key, KB* value) {
  if (IsSet())
    Tree().SetAdd(key);
  else
    Tree().Store(key, value);
}

// The stores of one assignment are one unit in a bound file (one journal,
// one round of syncs); those made before an error stay, as in memory.
void KDict::IdxAssign(KB* value, KB* index) {
  KA keep(this);
  KRB::Batch batch(Tree());
  Assign(value, index);
  batch.Done();
}

// Keys and values pair element by element; one key takes the whole value.
// The elided index takes a sequence of [key, value] pairs.
void KDict::Assign(KB* value, KB* index) {
  if (index->typen() == KT::tNV) {
    if (value->typen() != KT::tSeq && value->typen() != KT::tSeqEa)
      KTHROW(KT::eValue, "value must be seq of pairs");
    KSeq* s = static_cast<KSeq*>(value);
    bool pairs = true;
    for (int i = 0; pairs && i < s->Count(); ++i) {
      KB* e = (*s)[i];
      pairs = (e->typen() == KT::tSeq || e->typen() == KT::tSeqEa) && e->Count() == 2;
    }
    if (!pairs) KTHROW(KT::eValue, "value must be seq of pairs");
    for (int i = 0; i < s->Count(); ++i)
      if (!IsKeyKind((*static_cast<KSeq*>((*s)[i]))[0])) KTHROW(KT::eValue, "Key");
    for (int i = 0; i < s->Count(); ++i) {
      KSeq* pair = static_cast<KSeq*>((*s)[i]);
      StorePair((*pair)[0], (*pair)[1]);
    }
    return;
  }
  if (!IsSet() && IsIntArray(index) && IsIntArray(value) && index->Count() == value->Count()) {
    const int32_t* k = static_cast<KNum*>(index)->IntPtr();
    const int32_t* v = static_cast<KNum*>(value)->IntPtr();
    KRB& t = Tree();
    t.Reserve(index->Count());
    for (int i = 0; i < index->Count(); ++i) t.Store(KRB::IntItem(k[i]), KRB::IntItem(v[i]));
    return;
  }
  KA keysHold;
  KSeq* keys = NewSeq(keysHold);
  KeysOf(index, keys, KT::eValue, "Key");
  if (IsSet()) {
    for (int i = 0; i < keys->Count(); ++i) Tree().SetAdd((*keys)[i]);
    return;
  }
  if (!IsValueKind(value)) KTHROW(KT::eNotImpl, "Type");
  KA valsHold;
  KSeq* vals = NewSeq(valsHold);
  if (keys->Count() == 1)
    vals->AppendRef(value);
  else if (value->typen() != KT::tString)
    Split(value, vals);
  if (vals->Count() != keys->Count()) KTHROW(KT::eValue, "Conformity");
  for (int i = 0; i < keys->Count(); ++i) StorePair((*keys)[i], (*vals)[i]);
}

void KDict::Without(KB* index) {
  KA keep(this);
  if (index->typen() == KT::tNV) return;
  KA keysHold;
  KSeq* keys = NewSeq(keysHold);
  KeysOf(index, keys, KT::eNotImpl, "Type");
  KRB::Batch batch(Tree());
  for (int i = 0; i < keys->Count(); ++i) Tree().Remove((*keys)[i]);
  batch.Done();
}
