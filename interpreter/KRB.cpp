// KRB: the leaf-oriented red-black tree of dictionaries (insertion,
// removal, rebalancing, ordered search), its node texts and invariant
// check, and its binding to a dictionary file (layout in KRB.h).
#include "KRB.h"


#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unordered_set>

#include "KArg.h"
#include "KNum.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KRB";

using namespace KRBLayout;

namespace {
int Other(int side) { return side == KRB::lLeft ? KRB::lRight : KRB::lLeft; }

uint32_t Word(const char* p) { return static_cast<uint32_t>(KB::GetI32(p)); }
void PutWord(std::string& s, uint32_t v) { KB::PutI32(s, static_cast<int32_t>(v)); }

// Trees bound to files, by the file's device and inode: a second binding of
// one file in this process shares the first one's tree.
std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<KRB>>& Bindings() {
  // Never destroyed: trees may outlive static destruction.
  static auto* bindings = new std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<KRB>>();
  return *bindings;
}

[[noreturn]] void Damaged(const char* why) { KTHROW(KT::eSystem, std::string("Damaged dictionary file: ") + why); }

// The system's error text with its number, as every system error gives it.
[[noreturn]] void SystemFailure() { throw KError(kUnit, __LINE__); }

// The largest file position the 32-bit slot links can address.
constexpr uint64_t kMaxFile = 0x7FFFFFF0u;

// The highest number a set gives a key: the next one is Nil.
constexpr int32_t kLastNumber = KT::iNil - 1;

bool gDurable = false;

constexpr char kJournalMagic[8] = {'T', 'q', 'D', 'J', 'r', 'n', 'l', '1'};

void Put64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
uint64_t Get64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

// FNV-1a, 64 bits: catches a journal torn by a killed write.
uint64_t Checksum(const char* p, size_t n, uint64_t h = 0xCBF29CE484222325ull) {
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 0x100000001B3ull;
  }
  return h;
}
}  // namespace

// ------------------------------------------------------------ journal

std::string KRBJournal::Encode(const Image& j) {
  std::string out(kJournalMagic, sizeof kJournalMagic);
  Put64(out, j.device);
  Put64(out, j.inode);
  Put64(out, j.oldSize);
  uint64_t body = 0;
  for (const auto& r : j.records) body += 8 + r.second.size();
  Put64(out, body);
  out.reserve(kHeader + body);
  std::string records;
  records.reserve(body);
  for (const auto& [pos, bytes] : j.records) {
    PutWord(records, pos);
    PutWord(records, static_cast<uint32_t>(bytes.size()));
    records += bytes;
  }
  uint64_t sum = Checksum(out.data(), out.size());
  Put64(out, Checksum(records.data(), records.size(), sum));
  out += records;
  return out;
}

bool KRBJournal::Decode(const std::string& bytes, Image& out) {
  out = Image();
  if (bytes.size() < kHeader || std::memcmp(bytes.data(), kJournalMagic, sizeof kJournalMagic) != 0) return false;
  const char* p = bytes.data();
  uint64_t body = Get64(p + 32);
  if (body > bytes.size() - kHeader) return false;
  if (Checksum(p + kHeader, body, Checksum(p, 40)) != Get64(p + 40)) return false;
  out.device = Get64(p + 8);
  out.inode = Get64(p + 16);
  out.oldSize = Get64(p + 24);
  for (uint64_t at = 0; at < body;) {
    if (body - at < 8) return false;
    uint32_t pos = Word(p + kHeader + at), len = Word(p + kHeader + at + 4);
    at += 8;
    if (len > body - at) return false;
    out.records.emplace_back(pos, std::string(p + kHeader + at, len));
    at += len;
  }
  return true;
}

bool KRBJournal::Apply(const Image& j, std::string& bytes) {
  if (bytes.size() < j.oldSize) return false;
  for (const auto& [pos, old] : j.records)
    if (pos > j.oldSize || old.size() > j.oldSize - pos) return false;
  bytes.resize(static_cast<size_t>(j.oldSize));
  for (const auto& [pos, old] : j.records) bytes.replace(pos, old.size(), old);
  return true;
}

void KRB::SetDurable(bool on) { gDurable = on; }
bool KRB::Durable() { return gDurable; }

// ------------------------------------------------------------ life

KRB::KRB(bool uniqueKeys, bool uniqueAssoc) {
  nodes_.resize(2);
  nodes_[kHead].flags = fHead | fRoot | fInt;
  uniqueKeys_ = uniqueKeys;
  uniqueAssoc_ = uniqueAssoc || uniqueKeys;
}

KRB::~KRB() {
  for (Node& n : nodes_) {
    KB::DoneWith(n.key);
    KB::DoneWith(n.val);
    n.key = n.val = nullptr;
  }
  if (fd_.Valid()) {
    if (writable_) KPlat::FdSync(fd_);
    // A journal left whole by a failed commit stays for the next binding
    // to roll back; otherwise it goes (before the lock is released).
    if (journal_.Valid() && broken_.empty()) DropJournal();
    OwnJournals().erase(journalId_);
    auto it = Bindings().find(identity_);
    if (it != Bindings().end() && it->second.expired()) Bindings().erase(it);
  }
}

void KRB::SetUniqueKeys(bool on) {
  uniqueKeys_ = on;
  if (on) uniqueAssoc_ = true;
}

void KRB::SetUniqueAssoc(bool on) {
  uniqueAssoc_ = on;
  if (on) uniqueKeys_ = false;
}

// Only values that can hold others (elements or a record) matter to a walk
// over what is reachable; numbers and texts are left out.
void KRB::Held(std::vector<KB*>& out) const {
  auto holder = [](KB* v) { return v && (v->descriptor->align == KT::aKB || v->descriptor->rec); };
  for (const Node& n : nodes_) {
    if (holder(n.key)) out.push_back(n.key);
    if (holder(n.val)) out.push_back(n.val);
  }
}

// ------------------------------------------------------------ order

KRB::Item KRB::ItemOf(KB* v) {
  if (v && v->typen() == KT::tNum && v->Count() == 1 && v->alignmentn() == KT::aInt)
    return IntItem(static_cast<KNum*>(v)->IntPtr()[0]);
  return Item{v, false, 0};
}

KB* KRB::MakeValue(const Item& it) {
  if (it.isInt) return KMakeInt(it.i);
  if (!it.obj) return new KNV();
  it.obj->Reference(true);
  return it.obj;
}

// KA::Compare, without building values for two inline Ints.
int KRB::CmpItems(const Item& a, const Item& b) {
  if (a.isInt && b.isInt) return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
  KA x, y;
  x.Owns(MakeValue(a));
  y.Owns(MakeValue(b));
  return KA::Compare(x.value, y.value);
}

int KRB::Cmp(const Probe& p, uint32_t n, bool withVal) const {
  const Node& x = nodes_[n];
  bool xRev = (x.flags & fRev) != 0;
  if (p.rev != xRev) return p.rev ? 1 : -1;
  int c = CmpItems(p.key, x.KeyItem());
  if (c || !withVal || !p.hasVal) return c;
  return CmpItems(p.val, x.ValItem());
}

uint32_t KRB::Bound(const Probe& p, bool withVal, bool lower) const {
  uint32_t x = Root();
  if (!x) return 0;
  while (nodes_[x].flags & fInt) {
    const Node& in = nodes_[x];
    int c = (p.key.isInt && in.keyIsInt && !p.rev) ? (p.key.i < in.keyInt ? -1 : (p.key.i > in.keyInt ? 1 : 0)) : 2;
    if (c == 2 || (c == 0 && withVal)) c = Cmp(p, in.link[lLX], withVal);
    x = nodes_[x].link[(lower ? c <= 0 : c < 0) ? lLeft : lRight];
  }
  int c = Cmp(p, x, withVal);
  return (lower ? c <= 0 : c < 0) ? x : nodes_[x].link[lNext];
}

void KRB::Find(const Item& key, std::vector<uint32_t>& out) const {
  Probe p{key, Item(), false, false};
  for (uint32_t u = Bound(p, false, true); u && Cmp(p, u, false) == 0; u = Next(u)) out.push_back(u);
}

void KRB::FindRev(const Item& number, std::vector<uint32_t>& out) const {
  Probe p{number, Item(), false, true};
  for (uint32_t u = Bound(p, false, true); u && Cmp(p, u, false) == 0; u = Next(u)) out.push_back(u);
}

// ------------------------------------------------------------ nodes

uint32_t KRB::NewNode() {
  uint32_t n;
  if (!freeNodes_.empty()) {
    n = freeNodes_.back();
    freeNodes_.pop_back();
    nodes_[n] = Node();
    if (n < disk_.size()) disk_[n] = Disk();
  } else {
    n = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
  }
  if (Bound()) {
    uint32_t cap = 0;
    uint32_t slot = Alloc(kNodeBody, cap);
    D(n).slot = slot;
    D(n).cap = cap;
    bySlot_[slot] = n;
    Touch(n);
  }
  return n;
}

void KRB::FreeNode(uint32_t n) {
  Node& x = nodes_[n];
  if (Bound()) {
    Disk f = D(n);
    if (f.keySlot) Release(f.keySlot, f.keyCap);
    if (f.valSlot) Release(f.valSlot, f.valCap);
    bySlot_.erase(f.slot);
    Release(f.slot, f.cap);
    D(n) = Disk();
  }
  KB::DoneWith(x.key);
  KB::DoneWith(x.val);
  nodes_[n] = Node();
  freeNodes_.push_back(n);
}

void KRB::Touch(uint32_t n) {
  if (!n || !Bound() || D(n).dirty) return;
  D(n).dirty = true;
  dirty_.push_back(n);
}

KRB::Disk& KRB::D(uint32_t n) {
  if (disk_.size() <= n) disk_.resize(nodes_.size() > n ? nodes_.size() : n + 1);
  return disk_[n];
}

const KRB::Disk& KRB::DiskOf(uint32_t n) const {
  static const Disk none;
  return n < disk_.size() ? disk_[n] : none;
}

void KRB::SetLX(uint32_t n, uint32_t leaf) {
  Node& x = nodes_[n];
  x.link[lLX] = leaf;
  const Node& l = nodes_[leaf];
  x.keyIsInt = l.keyIsInt && !(l.flags & fRev);
  x.keyInt = l.keyInt;
  Touch(n);
}

void KRB::SetChild(uint32_t parent, int side, uint32_t child) {
  nodes_[parent].link[side] = child;
  Touch(parent);
  if (!child) return;
  Node& c = nodes_[child];
  c.link[lParent] = parent;
  c.flags = static_cast<uint8_t>(side == lLeft ? (c.flags | fLeft) : (c.flags & ~fLeft));
  Touch(child);
}

void KRB::Paint(uint32_t n, bool red) {
  if (!n || Red(n) == red) return;
  nodes_[n].flags ^= fRed;
  Touch(n);
}

void KRB::Rotate(uint32_t x, int side) {
  int other = Other(side);
  uint32_t y = nodes_[x].link[other];
  if (!y || !(nodes_[y].flags & fInt)) KTHROW(KT::eUnknown, "This should not exist");
  uint32_t parent = nodes_[x].link[lParent];
  int xSide = SideOf(x);
  SetChild(x, other, nodes_[y].link[side]);
  SetChild(parent, xSide, y);
  SetChild(y, side, x);
}

// Takes a reference on the key and value objects (inline Ints need none).
void KRB::SetItems(uint32_t n, const Item& key, const Item& val) {
  Node& x = nodes_[n];
  x.keyIsInt = key.isInt;
  x.keyInt = key.i;
  x.key = key.isInt ? nullptr : key.obj;
  if (x.key) x.key->Reference(true);
  x.valIsInt = val.isInt;
  x.valInt = val.i;
  x.val = val.isInt ? nullptr : val.obj;
  if (x.val) x.val->Reference(true);
}

// ------------------------------------------------------------ insertion

// A new entry before or after the entry `at` (at 0: the tree is empty).
// The entry's leaf takes at's place under a new red internal node.
void KRB::InsertLeaf(uint32_t at, bool before, const Item& key, const Item& val, bool rev) {
  uint32_t keySlot = 0, keyCap = 0, valSlot = 0, valCap = 0;
  if (Bound()) {
    // Both images first: a value without an image changes nothing.
    std::string keyImage = ImageOf(key), valImage = ImageOf(val);
    keySlot = WriteData(keyImage, keyCap);
    valSlot = WriteData(valImage, valCap);
  }
  uint32_t leaf = NewNode();
  SetItems(leaf, key, val);
  nodes_[leaf].flags = rev ? fRev : 0;
  if (Bound()) {
    Disk& f = D(leaf);
    f.keySlot = keySlot;
    f.keyCap = keyCap;
    f.valSlot = valSlot;
    f.valCap = valCap;
  }
  ++entries_;
  if (rev) ++revEntries_;
  if (!at) {
    SetChild(kHead, lLeft, leaf);
    nodes_[kHead].link[lLX] = nodes_[kHead].link[lRX] = leaf;
    Touch(kHead);
    return;
  }
  uint32_t in = NewNode();
  nodes_[in].flags = fInt | fRed;
  uint32_t up = nodes_[at].link[lParent];
  SetChild(up, SideOf(at), in);
  if (before) {
    SetChild(in, lLeft, leaf);
    SetChild(in, lRight, at);
    uint32_t prev = nodes_[at].link[lPrev];
    nodes_[leaf].link[lPrev] = prev;
    nodes_[leaf].link[lNext] = at;
    nodes_[at].link[lPrev] = leaf;
    if (prev) {
      nodes_[prev].link[lNext] = leaf;
      Touch(prev);
    } else {
      nodes_[kHead].link[lLX] = leaf;
    }
    for (uint32_t a = up; a != kHead; a = nodes_[a].link[lParent])
      if (nodes_[a].link[lRX] == at) {
        nodes_[a].link[lRX] = leaf;
        Touch(a);
        break;
      }
  } else {
    SetChild(in, lLeft, at);
    SetChild(in, lRight, leaf);
    uint32_t next = nodes_[at].link[lNext];
    nodes_[leaf].link[lNext] = next;
    nodes_[leaf].link[lPrev] = at;
    nodes_[at].link[lNext] = leaf;
    if (next) {
      nodes_[next].link[lPrev] = leaf;
      Touch(next);
    } else {
      nodes_[kHead].link[lRX] = leaf;
    }
    for (uint32_t a = up; a != kHead; a = nodes_[a].link[lParent])
      if (nodes_[a].link[lLX] == at) {
        SetLX(a, leaf);
        break;
      }
  }
  SetLX(in, nodes_[in].link[lLeft]);
  nodes_[in].link[lRX] = nodes_[in].link[lRight];
  Touch(kHead);
  InsertFixup(in);
}

void KRB::InsertFixup(uint32_t x) {
  for (;;) {
    uint32_t p = nodes_[x].link[lParent];
    if (p == kHead || !Red(p)) break;
    uint32_t g = nodes_[p].link[lParent];
    int ps = SideOf(p);
    uint32_t u = nodes_[g].link[Other(ps)];
    if (Red(u)) {
      Paint(p, false);
      Paint(u, false);
      Paint(g, true);
      x = g;
      continue;
    }
    if (SideOf(x) != ps) {
      Rotate(p, ps);
      p = x;
    }
    Paint(p, false);
    Paint(g, true);
    Rotate(g, Other(ps));
    break;
  }
  Paint(Root(), false);
}

void KRB::InsertOrdered(const Item& key, const Item& val, bool rev) {
  Probe p{key, val, true, rev};
  bool withVal = uniqueAssoc_ && !uniqueKeys_;
  uint32_t u = Bound(p, withVal, false);
  if (u)
    InsertLeaf(u, true, key, val, rev);
  else
    InsertLeaf(nodes_[kHead].link[lRX], false, key, val, rev);
}

// Commits on the way out of a changing operation, also when it fails
// half-way, so the file always holds what the tree holds.
class KRBCommit {
 public:
  explicit KRBCommit(KRB& t) : t_(t) {}
  ~KRBCommit() {
    try {
      t_.Commit();
    } catch (...) {
    }
  }
  KRBCommit(const KRBCommit&) = delete;
  KRBCommit& operator=(const KRBCommit&) = delete;
  void Done() { t_.Commit(); }

 private:
  KRB& t_;
};

void KRB::Store(const Item& key, const Item& val) {
  RequireWritable();
  KRBCommit commit(*this);
  Probe p{key, val, true, false};
  if (uniqueKeys_) {
    uint32_t u = Bound(p, false, true);
    if (u && Cmp(p, u, false) == 0) {
      ReplaceValue(u, val);
    } else {
      InsertOrdered(key, val, false);
    }
  } else if (uniqueAssoc_) {
    uint32_t u = Bound(p, true, true);
    if (!(u && Cmp(p, u, true) == 0)) InsertOrdered(key, val, false);
  } else {
    InsertOrdered(key, val, false);
  }
  commit.Done();
}

void KRB::ReplaceValue(uint32_t n, const Item& val) {
  const Node& x = nodes_[n];
  if (x.valIsInt ? (val.isInt && val.i == x.valInt) : (!val.isInt && val.obj == x.val)) return;
  if (Bound()) {
    std::string bytes = ImageOf(val);
    Disk f = D(n);
    if (bytes.size() <= f.valCap) {
      WriteSlot(f.valSlot, kTagData, f.valCap, bytes);
    } else {
      uint32_t cap = 0;
      uint32_t slot = WriteData(bytes, cap);
      Release(f.valSlot, f.valCap);
      D(n).valSlot = slot;
      D(n).valCap = cap;
      Touch(n);
    }
  }
  Node& y = nodes_[n];
  KB* old = y.val;
  y.valIsInt = val.isInt;
  y.valInt = val.i;
  y.val = val.isInt ? nullptr : val.obj;
  if (y.val) y.val->Reference(true);
  KB::DoneWith(old);
}

bool KRB::SetAdd(const Item& key) {
  RequireWritable();
  Probe p{key, Item(), false, false};
  uint32_t u = Bound(p, false, true);
  if (u && Cmp(p, u, false) == 0) return false;
  if (counter_ >= kLastNumber) KTHROW(KT::eValue, "Set numbers exhausted");
  KRBCommit commit(*this);
  Item number = IntItem(counter_ + 1);
  InsertOrdered(key, number, false);
  ++counter_;
  headerDirty_ = true;
  InsertOrdered(number, key, true);
  commit.Done();
  return true;
}

void KRB::CopySet(const KRB& from) {
  RequireWritable();
  KRBCommit commit(*this);
  for (uint32_t n = from.First(); n; n = from.Next(n)) {
    const Node& x = from.At(n);
    if (x.flags & fRev) continue;
    InsertOrdered(x.KeyItem(), x.ValItem(), false);
    InsertOrdered(x.ValItem(), x.KeyItem(), true);
  }
  counter_ = from.counter_;
  headerDirty_ = true;
  commit.Done();
}

// ------------------------------------------------------------ removal

int KRB::Remove(const Item& key) {
  RequireWritable();
  std::vector<uint32_t> found;
  Find(key, found);
  if (found.empty()) return 0;
  KRBCommit commit(*this);
  for (uint32_t n : found) {
    if (revEntries_ > 0) {
      Probe r{nodes_[n].ValItem(), nodes_[n].KeyItem(), true, true};
      uint32_t u = Bound(r, false, true);
      if (u && Cmp(r, u, true) == 0) RemoveLeaf(u);
    }
    RemoveLeaf(n);
  }
  commit.Done();
  return static_cast<int>(found.size());
}

// Removes an entry: its parent (an internal node) gives its place to the
// entry's sibling; the gap on the entry's other side takes over the
// parent's extreme leaf.
void KRB::RemoveLeaf(uint32_t n) {
  if (n == kHead) KTHROW(KT::eUnknown, "Deleting Head");
  if (nodes_[n].flags & fInt) KTHROW(KT::eUnknown, "Deleting Internal");
  bool rev = (nodes_[n].flags & fRev) != 0;
  uint32_t prev = nodes_[n].link[lPrev], next = nodes_[n].link[lNext];
  if (prev) {
    nodes_[prev].link[lNext] = next;
    Touch(prev);
  } else {
    nodes_[kHead].link[lLX] = next;
  }
  if (next) {
    nodes_[next].link[lPrev] = prev;
    Touch(next);
  } else {
    nodes_[kHead].link[lRX] = prev;
  }
  Touch(kHead);
  --entries_;
  if (rev) --revEntries_;
  if (n == Root()) {
    nodes_[kHead].link[lLeft] = 0;
    FreeNode(n);
    return;
  }
  uint32_t p = nodes_[n].link[lParent];
  int side = SideOf(n);
  uint32_t s = nodes_[p].link[Other(side)];
  int edge = side == lLeft ? lRX : lLX;
  for (uint32_t a = nodes_[p].link[lParent]; a != kHead; a = nodes_[a].link[lParent])
    if (nodes_[a].link[edge] == n) {
      if (edge == lLX)
        SetLX(a, nodes_[p].link[lLX]);
      else
        nodes_[a].link[edge] = nodes_[p].link[edge];
      Touch(a);
      break;
    }
  bool fix = !Red(p);
  SetChild(nodes_[p].link[lParent], SideOf(p), s);
  FreeNode(p);
  FreeNode(n);
  if (fix) {
    if (Red(s))
      Paint(s, false);
    else
      RemoveFixup(s);
  }
}

void KRB::RemoveFixup(uint32_t x) {
  while (x != Root() && !Red(x)) {
    uint32_t p = nodes_[x].link[lParent];
    int s = SideOf(x), o = Other(s);
    uint32_t w = nodes_[p].link[o];
    if (Red(w)) {
      Paint(w, false);
      Paint(p, true);
      Rotate(p, s);
      w = nodes_[p].link[o];
    }
    if (!w || !(nodes_[w].flags & fInt)) KTHROW(KT::eUnknown, "This should not exist");
    if (!Red(nodes_[w].link[lLeft]) && !Red(nodes_[w].link[lRight])) {
      Paint(w, true);
      x = p;
      continue;
    }
    if (!Red(nodes_[w].link[o])) {
      Paint(nodes_[w].link[s], false);
      Paint(w, true);
      Rotate(w, o);
      w = nodes_[p].link[o];
    }
    Paint(w, Red(p));
    Paint(p, false);
    Paint(nodes_[w].link[o], false);
    Rotate(p, s);
    x = Root();
  }
  Paint(x, false);
}

// ------------------------------------------------------------ texts

std::string KRB::NodeText(uint32_t n) const {
  const Node& x = nodes_[n];
  bool fileNumbers = Bound() || mirrorOnly_;
  auto num = [&](uint32_t i) -> int {
    if (!i || i >= nodes_.size()) return 0;
    return static_cast<int>(fileNumbers ? DiskOf(i).slot : i);
  };
  std::string status = KB::Fmt("%d:", num(n));
  if (x.flags & fRoot) status += "Root";
  if (x.flags & fHead) status += "Head";
  status += (x.flags & fRed) ? "Red" : "Black";
  status += (x.flags & fInt) ? "Int" : "Ext";
  status += (x.flags & fLeft) ? "Left" : "Right";
  if (x.flags & fInt)
    return KB::Fmt("%d :S[%s]P(%d),L(%d),R(%d),LX(%d),RX(%d)", num(n), status.c_str(), num(x.link[lParent]),
                   num(x.link[lLeft]), num(x.link[lRight]), num(x.link[lLX]), num(x.link[lRX]));
  int k = fileNumbers ? static_cast<int>(DiskOf(n).keySlot) : (x.key ? x.key->ID : 0);
  int v = fileNumbers ? static_cast<int>(DiskOf(n).valSlot) : (x.val ? x.val->ID : 0);
  return KB::Fmt("%d :S[%s]P(%d),F(%d),R(%d),K(%d),V(%d)", num(n), status.c_str(), num(x.link[lParent]),
                 num(x.link[lNext]), num(x.link[lPrev]), k, v);
}

void KRB::WalkOrder(std::vector<uint32_t>& out) const {
  out.push_back(kHead);
  std::vector<uint32_t> stack;
  if (Root()) stack.push_back(Root());
  while (!stack.empty()) {
    uint32_t n = stack.back();
    stack.pop_back();
    out.push_back(n);
    if (nodes_[n].flags & fInt) {
      stack.push_back(nodes_[n].link[lRight]);
      stack.push_back(nodes_[n].link[lLeft]);
    }
  }
}

// ------------------------------------------------------------ invariants

std::string KRB::Check() const {
  const Node& head = nodes_[kHead];
  if (!(head.flags & fHead) || head.link[lParent]) return "head";
  uint32_t root = head.link[lLeft];
  std::vector<uint32_t> order;
  if (root) {
    if (root >= nodes_.size() || nodes_[root].link[lParent] != kHead || !(nodes_[root].flags & fLeft))
      return "root link";
    if (Red(root)) return "red root";
    // Depth-first with an explicit stack; `bh` collects black heights.
    struct Frame {
      uint32_t n;
      int stage;
      int leftBH;
      size_t rightStart;
    };
    std::vector<Frame> stack{{root, 0, 0, 0}};
    std::vector<int> bh;
    size_t visited = 0;
    while (!stack.empty()) {
      Frame& f = stack.back();
      const Node& x = nodes_[f.n];
      if (f.stage == 0) {
        if (++visited > nodes_.size() || stack.size() > 128) return "cycle or depth";
        if (x.flags & fHead) return "head inside";
        if (!(x.flags & fInt)) {
          if (x.flags & fRed) return "red leaf";
          if ((!x.key && !x.keyIsInt) || (!x.val && !x.valIsInt)) return "leaf without entry";
          order.push_back(f.n);
          bh.push_back(1);
          stack.pop_back();
          continue;
        }
        for (int side : {lLeft, lRight}) {
          uint32_t c = x.link[side];
          if (!c || c >= nodes_.size() || nodes_[c].link[lParent] != f.n ||
              ((nodes_[c].flags & fLeft) != 0) != (side == lLeft))
            return "child link";
          if (Red(f.n) && Red(c)) return "red red";
        }
        f.stage = 1;
        stack.push_back({x.link[lLeft], 0, 0, 0});
      } else if (f.stage == 1) {
        if (x.link[lLX] != order.back()) return "LX";
        const Node& lx = nodes_[order.back()];
        bool intKey = lx.keyIsInt && !(lx.flags & fRev);
        if (x.keyIsInt != intKey || (intKey && x.keyInt != lx.keyInt)) return "LX key";
        f.leftBH = bh.back();
        bh.pop_back();
        f.rightStart = order.size();
        f.stage = 2;
        stack.push_back({x.link[lRight], 0, 0, 0});
      } else {
        if (x.link[lRX] != order[f.rightStart]) return "RX";
        int right = bh.back();
        bh.pop_back();
        if (right != f.leftBH) return "black height";
        bh.push_back(right + (Red(f.n) ? 0 : 1));
        stack.pop_back();
      }
    }
  }
  uint32_t first = order.empty() ? 0 : order.front(), last = order.empty() ? 0 : order.back();
  if (head.link[lLX] != first || head.link[lRX] != last) return "head extremes";
  int rev = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const Node& x = nodes_[order[i]];
    if (x.link[lPrev] != (i ? order[i - 1] : 0) || x.link[lNext] != (i + 1 < order.size() ? order[i + 1] : 0))
      return "entry chain";
    if (x.flags & fRev) ++rev;
    if (i && Cmp(Probe{nodes_[order[i - 1]].KeyItem(), Item(), false, (nodes_[order[i - 1]].flags & fRev) != 0},
                 order[i], false) > 0)
      return "order";
  }
  if (static_cast<int>(order.size()) != entries_ || rev != revEntries_) return "entry count";
  int expect = order.empty() ? 1 : static_cast<int>(2 * order.size());
  if (Nodes() != expect) return "node count";
  return std::string();
}

// ------------------------------------------------------------ file: slots

void KRB::RequireWritable() const {
  if (Bound() && !writable_) KTHROW(KT::eValue, refusal_);
  if (!broken_.empty()) KTHROW(KT::eSystem, broken_);
}

// First fit along the free list from the sentinel: forward for ordinary
// requests, backward for node slots; else a new slot at the end.
uint32_t KRB::Alloc(uint32_t bytes, uint32_t& cap) {
  bool backward = bytes == kNodeBody;
  const FreeSlot& s = free_.at(sentinel_);
  for (uint32_t cur = backward ? s.prev : s.next; cur != sentinel_;) {
    FreeSlot f = free_.at(cur);
    if (f.cap >= bytes) {
      free_.at(f.prev).next = f.next;
      free_.at(f.next).prev = f.prev;
      free_.erase(cur);
      WriteFree(f.prev);
      if (f.next != f.prev) WriteFree(f.next);
      cap = f.cap;
      return cur;
    }
    cur = backward ? f.prev : f.next;
  }
  if (fileEnd_ + kSlotHeader + bytes > kMaxFile) KTHROW(KT::eSystem, "Dictionary file full");
  uint32_t pos = static_cast<uint32_t>(fileEnd_);
  fileEnd_ += kSlotHeader + bytes;
  cap = bytes;
  return pos;
}

// A slot given back joins the free list beside the sentinel: node-sized
// slots at the back (where node requests look first), others at the front
// (where ordinary requests look first), so the two kinds rarely mix.
void KRB::Release(uint32_t slot, uint32_t cap) {
  if (!slot || cap < kSentinelBody) return;  // too small to hold the links
  bool back = cap == kNodeBody;
  uint32_t prev = back ? free_.at(sentinel_).prev : sentinel_;
  uint32_t next = back ? sentinel_ : free_.at(sentinel_).next;
  free_[slot] = FreeSlot{cap, next, prev};
  free_.at(prev).next = slot;
  free_.at(next).prev = slot;
  WriteFree(slot);
  WriteFree(prev);
  if (next != prev) WriteFree(next);
}

void KRB::WriteSlot(uint32_t pos, uint32_t tag, uint32_t cap, const std::string& body) {
  std::string s;
  s.reserve(kSlotHeader + cap);
  PutWord(s, tag);
  PutWord(s, pos);
  PutWord(s, static_cast<uint32_t>(body.size()));
  PutWord(s, cap);
  s += body;
  s.resize(kSlotHeader + cap, '\0');
  pending_[pos] = std::move(s);
}

void KRB::WriteFree(uint32_t pos) {
  const FreeSlot& f = free_.at(pos);
  std::string body;
  PutWord(body, f.next);
  PutWord(body, f.prev);
  WriteSlot(pos, kTagFree, f.cap, body);
}

std::string KRB::ImageOf(const Item& v) {
  KA value;
  value.Owns(MakeValue(v));
  std::string image = value.SO();
  if (image.size() > kMaxFile) KTHROW(KT::eSystem, "Dictionary file full");
  return image;
}

uint32_t KRB::WriteData(const std::string& image, uint32_t& cap) {
  uint32_t pos = Alloc(static_cast<uint32_t>(image.size()), cap);
  WriteSlot(pos, kTagData, cap, image);
  return pos;
}

void KRB::WriteNode(uint32_t n) {
  const Node& x = nodes_[n];
  const Disk& f = DiskOf(n);
  std::string body;
  PutWord(body, f.slot);
  PutWord(body, x.flags);
  auto slotOf = [&](uint32_t i) { return i ? DiskOf(i).slot : 0u; };
  PutWord(body, slotOf(x.link[lParent]));
  PutWord(body, slotOf(x.link[lLeft]));
  PutWord(body, slotOf(x.link[lRight]));
  if (x.flags & fInt) {
    PutWord(body, slotOf(x.link[lLX]));
    PutWord(body, slotOf(x.link[lRX]));
  } else {
    PutWord(body, f.keySlot);
    PutWord(body, f.valSlot);
  }
  WriteSlot(f.slot, kTagNode, f.cap, body);
}

void KRB::WriteHeader() {
  std::string body;
  PutWord(body, DiskOf(kHead).slot);
  PutWord(body, sentinel_);
  PutWord(body, static_cast<uint32_t>(counter_));
  body.resize(kHeaderBody, '\0');
  WriteSlot(0, kTagHeader, kHeaderBody, body);
  headerDirty_ = false;
}

void KRB::Commit() {
  std::vector<uint32_t> dirty;
  dirty.swap(dirty_);
  for (uint32_t n : dirty) D(n).dirty = false;
  if (!Bound() || !broken_.empty()) return;
  for (uint32_t n : dirty)
    if (DiskOf(n).slot) WriteNode(n);
  if (headerDirty_) WriteHeader();
  if (batch_ == 0) Flush();
}

KRB::Batch::~Batch() {
  if (done_) return;
  --t_.batch_;
  try {
    t_.Commit();
  } catch (...) {
  }
}

void KRB::Batch::Done() {
  if (done_) return;
  done_ = true;
  --t_.batch_;
  t_.Commit();
}

// The journal is made at the first commit and kept open while the file is
// bound (a journal made and removed at every commit costs more than the
// commit itself on some file systems); between commits it is invalid (its
// magic cleared). Durable, its name is synced when it is made.
bool KRB::OpenJournal() {
  if (journal_.Valid()) return true;
  // Writing never follows a link or goes through a second hard link.
  journal_ = KPlat::FdOpenAt(place_.dir, place_.name + KRBJournal::kSuffix, true, true);
  if (!journal_.Valid()) return false;
  if (KPlat::FdIdentity(journal_, journalId_.first, journalId_.second)) OwnJournals().insert(journalId_);
  return !gDurable || KPlat::FdSyncDir(place_.dir);
}

std::set<std::pair<uint64_t, uint64_t>>& KRB::OwnJournals() {
  static std::set<std::pair<uint64_t, uint64_t>> journals;
  return journals;
}

bool KRB::IsOwnJournal(uint64_t device, uint64_t inode) {
  return !OwnJournals().empty() && OwnJournals().count({device, inode}) != 0;
}

bool KRB::InvalidateJournal() {
  static const char zeros[sizeof kJournalMagic] = {};
  return KPlat::FdWriteAt(journal_, zeros, sizeof zeros, 0) && (!gDurable || KPlat::FdSync(journal_));
}

bool KRB::DropJournal() {
  journal_ = KPlat::Fd();
  OwnJournals().erase(journalId_);
  if (!KPlat::UnlinkAt(place_.dir, place_.name + KRBJournal::kSuffix)) return false;
  return !gDurable || KPlat::FdSyncDir(place_.dir);
}

// Applies the pending slots as one unit: the old bytes of those that
// overwrite the file as it was at the last commit go to the journal, the
// journal is made valid, the file is written, the journal is invalidated.
// Slots whose bytes do not change are dropped.
void KRB::Flush() {
  KRBJournal::Image j;
  j.device = identity_.first;
  j.inode = identity_.second;
  j.oldSize = committedEnd_;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->first >= committedEnd_) break;
    std::string old(it->second.size(), '\0');
    if (!KPlat::FdReadAt(fd_, old.data(), old.size(), it->first)) FailWrite(nullptr);
    if (old == it->second) {
      it = pending_.erase(it);
      continue;
    }
    j.records.emplace_back(it->first, std::move(old));
    ++it;
  }
  if (pending_.empty() && fileEnd_ == committedEnd_) return;
  std::string image = KRBJournal::Encode(j);
  if (!OpenJournal() || !KPlat::FdWriteAt(journal_, image.data(), image.size(), 0) ||
      (gDurable && !KPlat::FdSync(journal_)))
    FailWrite(nullptr);
  // Neighbouring slots go out in one write.
  std::string run;
  uint64_t runAt = 0;
  for (auto it = pending_.begin();; ++it) {
    bool end = it == pending_.end();
    if (!run.empty() && (end || it->first != runAt + run.size())) {
      if (!KPlat::FdWriteAt(fd_, run.data(), run.size(), static_cast<int64_t>(runAt))) FailWrite(&j);
      run.clear();
    }
    if (end) break;
    if (run.empty()) runAt = it->first;
    run += it->second;
  }
  if (gDurable && !KPlat::FdSync(fd_)) FailWrite(&j);
  if (!InvalidateJournal()) FailWrite(nullptr);
  pending_.clear();
  committedEnd_ = fileEnd_;
}

// A commit that failed leaves the tree ahead of its file: the tree refuses
// further changes. When the file was being written it is rolled back to
// the last commit at once if possible; otherwise the journal, whole or
// torn, is left for the next binding to judge. Raises the system's error.
void KRB::FailWrite(const KRBJournal::Image* undo) {
  int err = KPlat::LastErrno();
  pending_.clear();
  broken_ = "Dictionary file not written: bind it again";
  if (undo) {
    bool back = true;
    for (const auto& [pos, old] : undo->records) back = back && KPlat::FdWriteAt(fd_, old.data(), old.size(), pos);
    if (back && KPlat::FdTruncate(fd_, undo->oldSize) && (!gDurable || KPlat::FdSync(fd_))) InvalidateJournal();
  }
  errno = err;
  SystemFailure();
}

void KRB::InitFile() {
  WriteSlot(0, kTagHeader, kHeaderBody, std::string());
  fileEnd_ = kSlotHeader + kHeaderBody;
  sentinel_ = static_cast<uint32_t>(fileEnd_);
  fileEnd_ += kSlotHeader + kSentinelBody;
  free_[sentinel_] = FreeSlot{kSentinelBody, sentinel_, sentinel_};
  WriteFree(sentinel_);
  uint32_t cap = 0;
  D(kHead).slot = Alloc(kNodeBody, cap);
  D(kHead).cap = cap;
  bySlot_[D(kHead).slot] = kHead;
  Touch(kHead);
  headerDirty_ = true;
  Commit();
}

// ------------------------------------------------------------ file: reading

// Builds the tree from the whole file. Every slot must lie inside the file
// and the slots must tile it; every link must name a slot of the right kind
// reached once; the tree found must pass Check.
void KRB::Load(const std::string& bytes) {
  const uint64_t size = bytes.size();
  const char* base = bytes.data();
  if (size < kSlotHeader + kHeaderBody || size > kMaxFile) KTHROW(KT::eSystem, "Not a dictionary file");
  if (Word(base) != kTagHeader || Word(base + 4) != 0 || Word(base + 8) != kHeaderBody ||
      Word(base + 12) != kHeaderBody)
    KTHROW(KT::eSystem, "Not a dictionary file");
  struct Slot {
    uint32_t tag, used, cap;
  };
  std::unordered_map<uint32_t, Slot> slots;
  for (uint64_t pos = 0; pos < size;) {
    if (size - pos < kSlotHeader) Damaged("truncated slot");
    const char* h = base + pos;
    Slot s{Word(h), Word(h + 8), Word(h + 12)};
    if (Word(h + 4) != pos) Damaged("slot position");
    if (s.tag != kTagHeader && s.tag != kTagNode && s.tag != kTagData && s.tag != kTagFree) Damaged("slot tag");
    if (s.cap > size - pos - kSlotHeader || s.used > s.cap) Damaged("slot size");
    slots[static_cast<uint32_t>(pos)] = s;
    pos += kSlotHeader + s.cap;
  }
  auto body = [&](uint32_t pos) { return base + pos + kSlotHeader; };
  const uint32_t headSlot = Word(body(0)), sentinel = Word(body(0) + 4);
  counter_ = static_cast<int32_t>(Word(body(0) + 8));
  if (counter_ < 0 || counter_ > kLastNumber) Damaged("set counter");

  // Free list: a cycle through the sentinel, links agreeing both ways.
  auto sIt = slots.find(sentinel);
  if (sentinel == 0 || sIt == slots.end() || sIt->second.tag != kTagFree || sIt->second.used != kSentinelBody)
    Damaged("free list sentinel");
  sentinel_ = sentinel;
  for (uint32_t cur = sentinel;;) {
    auto it = slots.find(cur);
    if (it == slots.end() || it->second.tag != kTagFree || it->second.cap < kSentinelBody) Damaged("free slot");
    if (free_.count(cur) || free_.size() > slots.size()) Damaged("free list cycle");
    free_[cur] = FreeSlot{it->second.cap, Word(body(cur)), Word(body(cur) + 4)};
    cur = free_[cur].next;
    if (cur == sentinel) break;
  }
  for (const auto& [pos, f] : free_) {
    auto nx = free_.find(f.next);
    if (nx == free_.end() || nx->second.prev != pos) Damaged("free list links");
  }

  // Nodes, from the head down; each node slot and data slot is used once.
  std::unordered_set<uint32_t> dataUsed;
  auto nodeSlot = [&](uint32_t pos) {
    auto it = slots.find(pos);
    if (pos == 0 || it == slots.end() || it->second.tag != kTagNode) KTHROW(KT::eSystem, "Not Node Slot");
    if (it->second.used != kNodeBody) Damaged("node size");
    return it->second.cap;
  };
  auto dataSlot = [&](uint32_t pos) -> KB* {
    auto it = slots.find(pos);
    if (pos == 0 || it == slots.end() || it->second.tag != kTagData) KTHROW(KT::eSystem, "Not Data Slot");
    if (!dataUsed.insert(pos).second) Damaged("data slot shared");
    const uint32_t used = it->second.used;
    const char* image = body(pos);
    if (used < 8 || static_cast<uint32_t>(KB::GetI32(image + 4)) > used || KB::GetI32(image + 4) < 8)
      Damaged("value image");
    KA v;
    KA::SI(v, image);
    v.value->Reference(true);
    return v.value;
  };
  struct Pending {
    uint32_t slot, parent;
    int side;
  };
  std::vector<uint32_t> rawLinks;  // per node: the five link words as read
  std::vector<Pending> todo{{headSlot, 0, 0}};
  nodes_.clear();
  nodes_.resize(1);
  rawLinks.resize(5, 0);
  while (!todo.empty()) {
    Pending p = todo.back();
    todo.pop_back();
    uint32_t cap = nodeSlot(p.slot);
    if (bySlot_.count(p.slot)) Damaged("node reached twice");
    const char* b = body(p.slot);
    uint32_t flagsWord = Word(b + 4);
    if (Word(b) != p.slot || (flagsWord & ~0x3Fu)) Damaged("node header");
    uint32_t n = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
    bySlot_[p.slot] = n;
    Node& x = nodes_[n];
    D(n).slot = p.slot;
    D(n).cap = cap;
    x.flags = static_cast<uint8_t>(flagsWord);
    for (int i = 0; i < 5; ++i) rawLinks.push_back(Word(b + 8 + 4 * i));
    bool isHead = n == kHead;
    if (isHead != ((x.flags & fHead) != 0) || (isHead && !(x.flags & fInt))) Damaged("head flag");
    if (Word(b + 8) != p.parent) Damaged("parent link");
    if (!(x.flags & fInt)) {
      Disk& f = D(n);
      f.keySlot = Word(b + 20);
      f.valSlot = Word(b + 24);
      f.keyCap = slots.count(f.keySlot) ? slots[f.keySlot].cap : 0;
      f.valCap = slots.count(f.valSlot) ? slots[f.valSlot].cap : 0;
      KA key, val;
      key.Owns(dataSlot(f.keySlot));
      val.Owns(dataSlot(D(n).valSlot));
      SetItems(n, ItemOf(key.value), ItemOf(val.value));
      ++entries_;
      if (nodes_[n].flags & fRev) ++revEntries_;
      continue;
    }
    if (isHead) {
      if (Word(b + 12)) todo.push_back({Word(b + 12), p.slot, lLeft});
      if (Word(b + 16)) Damaged("head link");
    } else {
      if (nodes_.size() > slots.size() + 1) Damaged("node count");
      todo.push_back({Word(b + 16), p.slot, lRight});
      todo.push_back({Word(b + 12), p.slot, lLeft});
    }
  }
  // Links as node numbers; extreme and chain links must name entries.
  auto toNode = [&](uint32_t slot, bool entry) -> uint32_t {
    if (!slot) return 0;
    auto it = bySlot_.find(slot);
    if (it == bySlot_.end()) KTHROW(KT::eSystem, "Not Node");
    if (entry && (nodes_[it->second].flags & fInt)) Damaged("link to an internal node");
    return it->second;
  };
  for (uint32_t n = 1; n < nodes_.size(); ++n) {
    Node& x = nodes_[n];
    const uint32_t* raw = &rawLinks[5 * n];
    x.link[lParent] = toNode(raw[0], false);
    bool internal = (x.flags & fInt) != 0;
    x.link[lLeft] = toNode(raw[1], !internal);
    x.link[lRight] = toNode(raw[2], !internal);
    if (internal) {
      x.link[lLX] = toNode(raw[3], true);
      x.link[lRX] = toNode(raw[4], true);
    }
  }
  for (uint32_t n = 1; n < nodes_.size(); ++n)
    if ((nodes_[n].flags & fInt) && nodes_[n].link[lLX]) SetLX(n, nodes_[n].link[lLX]);
  std::string why = Check();
  if (!why.empty()) Damaged(why.c_str());
  // Every number a set gave is within its counter.
  for (uint32_t n = First(); n; n = Next(n))
    if ((nodes_[n].flags & fRev) && nodes_[n].keyIsInt && nodes_[n].keyInt > counter_) Damaged("set counter");
  fileEnd_ = committedEnd_ = size;
}

std::unique_ptr<KRB> KRB::FromBytes(const std::string& bytes, bool uniqueKeys, bool uniqueAssoc) {
  auto t = std::make_unique<KRB>(uniqueKeys, uniqueAssoc);
  t->mirrorOnly_ = true;
  t->Load(bytes);
  return t;
}

std::shared_ptr<KRB> KRB::Open(const std::string& sysPath, bool writable, const std::string& refusal,
                               bool uniqueKeys, bool uniqueAssoc) {
  if (writable) {
    // The caller has judged the path: only the place is wanted here.
    KPlat::Place place;
    if (KPlat::Locate(sysPath, place, true) == KPlat::Fence::kFailed) SystemFailure();
    return OpenAt(std::move(place), sysPath, refusal, uniqueKeys, uniqueAssoc);
  }
  return Bind(KPlat::FdOpen(sysPath, false, false), nullptr, sysPath, refusal, uniqueKeys, uniqueAssoc);
}

std::shared_ptr<KRB> KRB::OpenAt(KPlat::Place&& place, const std::string& sysPath, const std::string& refusal,
                                 bool uniqueKeys, bool uniqueAssoc) {
  if (!place.missing.empty() || place.name.empty()) {
    errno = place.name.empty() ? EISDIR : ENOENT;
    SystemFailure();
  }
  KPlat::Fd fd = KPlat::FdOpenAt(place.dir, place.name, true, true);
  return Bind(std::move(fd), &place, sysPath, refusal, uniqueKeys, uniqueAssoc);
}

// The journal beside a file of `fileSize` bytes being bound: its header
// and records (the header alone when the records cannot belong to such a
// file; empty when there is no journal). A journal that cannot be opened
// for any reason but its absence refuses the binding: it might be the only
// way back to a sound file.
std::string KRB::ReadJournal(KPlat::Place* place, const std::string& sysPath, uint64_t fileSize) {
  KPlat::Fd fd = place ? KPlat::FdOpenAt(place->dir, place->name + KRBJournal::kSuffix, false, false)
                       : KPlat::FdOpen(sysPath + KRBJournal::kSuffix, false, false);
  if (!fd.Valid()) {
    if (KPlat::LastErrno() == ENOENT) return std::string();
    SystemFailure();
  }
  int64_t size = KPlat::FdSize(fd);
  if (size < 0) SystemFailure();
  std::string bytes(static_cast<size_t>(std::min<int64_t>(size, KRBJournal::kHeader)), '\0');
  if (!KPlat::FdReadAt(fd, bytes.data(), bytes.size(), 0)) SystemFailure();
  // The records hold old bytes of distinct slots of the file (at least 24
  // bytes each, 8 more for the record's own header).
  if (bytes.size() == KRBJournal::kHeader) {
    uint64_t body = Get64(bytes.data() + 32);
    if (body <= 2 * fileSize && body <= static_cast<uint64_t>(size) - KRBJournal::kHeader) {
      bytes.resize(KRBJournal::kHeader + body);
      if (!KPlat::FdReadAt(fd, bytes.data() + KRBJournal::kHeader, body, KRBJournal::kHeader)) SystemFailure();
    }
  }
  return bytes;
}

std::shared_ptr<KRB> KRB::Bind(KPlat::Fd fd, KPlat::Place* place, const std::string& sysPath,
                               const std::string& refusal, bool uniqueKeys, bool uniqueAssoc) {
  bool writable = place != nullptr;
  if (!fd.Valid()) {
    if (!writable && KPlat::LastErrno() == ENOENT) KTHROW(KT::eValue, refusal);
    SystemFailure();
  }
  std::pair<uint64_t, uint64_t> id;
  if (!KPlat::FdIdentity(fd, id.first, id.second)) SystemFailure();
  auto found = Bindings().find(id);
  if (found != Bindings().end())
    if (std::shared_ptr<KRB> shared = found->second.lock()) return shared;
  if (!KPlat::FdLock(fd, writable)) {
    if (errno == EWOULDBLOCK) KTHROW(KT::eSystem, "Dictionary file in use by another process");
    SystemFailure();
  }
  int64_t size = KPlat::FdSize(fd);
  if (size < 0) SystemFailure();
  if (static_cast<uint64_t>(size) > kMaxFile) KTHROW(KT::eSystem, "Not a dictionary file");
  std::string bytes(static_cast<size_t>(size), '\0');
  if (!KPlat::FdReadAt(fd, bytes.data(), bytes.size(), 0)) SystemFailure();
  // A whole journal naming this file means an operation was cut short: the
  // file is read as the journal restores it (and, when writable, restored
  // once the result has passed the checks).
  std::string journalBytes = ReadJournal(place, sysPath, bytes.size());
  KRBJournal::Image j;
  bool hot = KRBJournal::Decode(journalBytes, j) && j.device == id.first && j.inode == id.second &&
             KRBJournal::Apply(j, bytes);
  auto t = std::make_shared<KRB>(uniqueKeys, uniqueAssoc);
  if (bytes.empty()) {
    if (!writable) KTHROW(KT::eValue, refusal);
  } else {
    t->Load(bytes);
  }
  t->fd_ = std::move(fd);
  t->writable_ = writable;
  t->identity_ = id;
  if (writable) {
    t->place_ = std::move(*place);
    if (hot) {
      for (const auto& [pos, old] : j.records)
        if (!KPlat::FdWriteAt(t->fd_, old.data(), old.size(), pos)) SystemFailure();
      if (!KPlat::FdTruncate(t->fd_, j.oldSize) || (gDurable && !KPlat::FdSync(t->fd_))) SystemFailure();
    }
    // A journal rolled back, torn, or left by another file is spent.
    if (!journalBytes.empty() && !t->DropJournal()) SystemFailure();
    if (bytes.empty()) t->InitFile();
  }
  t->refusal_ = refusal;
  // Absolute, so that the bound file stays named when the working directory changes.
  t->path_ = KPlat::NormalPath(sysPath);
  Bindings()[id] = t;
  return t;
}
