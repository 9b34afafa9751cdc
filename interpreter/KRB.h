// KRB: the red-black tree under dictionaries, sets, indexes and bags, held
// in memory or bound to a file.
//
// Shape. A leaf-oriented red-black tree: external nodes carry the entries
// (key, value) and are always black; internal nodes only route and always
// have two children. Every internal node stands for the gap between two
// neighbouring entries: its LX link is the last entry of its left subtree,
// its RX link the first entry of its right subtree (rotations keep the
// in-order sequence, so they never change these links). External nodes are
// chained in order: F the next entry, R the previous one. The head node
// (flags Head and Root marker) holds the root in its left link and the
// first and last entries in its LX and RX links.
//
// Order. Entries order by the key under KA::Compare; the reverse entries of
// a set (flag Rev) order after all others. With unique associations equal
// keys order further by value; otherwise equal keys keep insertion order.
//
// Memory. Nodes live in a vector and link by index (0 is no node). A key or
// value that is a one-element Int array is kept inline as its number (and
// built again as a value when asked for); any other key or value is held
// by one reference of its external node.
//
// File. A bound tree mirrors its file: every node also records its node
// slot, every entry the data slots of its key and value image. The file is
// read and checked whole when it is opened; after that every change is
// written through. A public changing operation collects the slots it
// writes (nodes, data, free-list links, the header with the set counter)
// and ends with Commit, which applies them as one unit through a rollback
// journal beside the file ("<name>-journal", layout in KRBJournal): the old
// bytes of every slot about to be overwritten and the old file size are
// written to the journal with a checksum, then the file is changed, then
// the journal is invalidated. The journal stays beside the file while it
// is bound and goes when it is unbound. Binding a file whose journal is
// whole and names it rolls the file back first (a read-only binding does
// so in memory only), so a process killed at any point leaves the file as
// it was before or after the operation that was running. Durable() adds
// syncs so that a power cut does the same (KRB::SetDurable).
//
// Lock. A bound file holds an advisory lock while bound (exclusive for a
// writable binding, shared for a read-only one); a binding that cannot get
// it at once is refused, so two processes never change one file unaware
// of each other. Within a process the same file gives the same tree.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "KB.h"
#include "KPlatform.h"

// The dictionary file: a heap of slots addressed by their byte offset. Each
// slot is a 16-byte header of four 32-bit little-endian words (tag, the
// slot's own position, body bytes in use, body capacity) followed by a body
// of exactly `capacity` bytes. Slots follow each other without gaps from
// offset 0 to the end of the file.
//  - Header slot at 0, body 408 bytes: word 0 the head node slot, word 1 the
//    free-list sentinel slot, word 2 the set counter; the rest zero.
//  - Node slot, body 28 bytes: node number (= its slot position), flags
//    (low byte), then the parent, left/next, right/previous links, then
//    LX and RX (internal) or the key and value data slots (external).
//  - Data slot: one serialised value image.
//  - Free slot: word 0 next free slot, word 1 previous (a circular list
//    through the sentinel, a free slot with an 8-byte body).
namespace KRBLayout {
constexpr uint32_t kTagHeader = 0x06794DC4u;
constexpr uint32_t kTagNode = 0xCB7CDAB6u;
constexpr uint32_t kTagData = 0xD6597C93u;
constexpr uint32_t kTagFree = 0x303E9A3Bu;
constexpr uint32_t kSlotHeader = 16;
constexpr uint32_t kHeaderBody = 408;
constexpr uint32_t kNodeBody = 28;
constexpr uint32_t kSentinelBody = 8;
}  // namespace KRBLayout

// The rollback journal of a bound file: a 48-byte header (the magic
// "TqDJrnl1", then five 64-bit little-endian words: the file's device and
// inode, its size before the operation, the length of the records, a
// checksum over the first 40 header bytes and the records), then the
// records: a 32-bit position, a 32-bit length and that many old bytes of
// the file. Bytes after the records are ignored (a journal is reused while
// its file is bound, and is invalid between commits: its magic cleared).
// It is applied only when it is whole (checksum), names the file (device
// and inode) and fits it (the file is at least as long as the old size and
// every record lies within it); any other journal was never completed, so
// the file was not touched, and it is removed.
namespace KRBJournal {
constexpr char kSuffix[] = "-journal";
constexpr size_t kHeader = 48;
struct Image {
  uint64_t device = 0, inode = 0, oldSize = 0;
  std::vector<std::pair<uint32_t, std::string>> records;  // position, old bytes
};
std::string Encode(const Image& j);
// False unless bytes begin with a whole journal whose checksum agrees.
bool Decode(const std::string& bytes, Image& out);
// Rolls file bytes back by a decoded journal; false (bytes unchanged)
// when the journal does not fit them.
bool Apply(const Image& j, std::string& bytes);
}  // namespace KRBJournal

class KRB {
 public:
  enum Flag : uint8_t { fRed = 0x01, fInt = 0x02, fLeft = 0x04, fRoot = 0x08, fHead = 0x10, fRev = 0x20 };
  enum Link { lParent = 0, lLeft = 1, lRight = 2, lLX = 3, lRX = 4 };
  static constexpr int lNext = lLeft;  // external nodes: F
  static constexpr int lPrev = lRight; // external nodes: R

  // A key or value: an inline Int, or a value (one reference when held).
  struct Item {
    KB* obj = nullptr;
    bool isInt = false;
    int32_t i = 0;
  };
  static Item ItemOf(KB* v);  // no reference taken
  static Item IntItem(int32_t i) { return Item{nullptr, true, i}; }
  static KB* MakeValue(const Item& it);  // a new reference
  static int CmpItems(const Item& a, const Item& b);

  struct Node {
    uint32_t link[5] = {0, 0, 0, 0, 0};
    uint8_t flags = 0;
    // An internal node mirrors its LX entry's key when that is an inline
    // Int of an ordinary entry (fast routing).
    bool keyIsInt = false;
    bool valIsInt = false;
    int32_t keyInt = 0;
    int32_t valInt = 0;
    KB* key = nullptr;  // null when the key is inline (or the node internal)
    KB* val = nullptr;
    Item KeyItem() const { return Item{key, keyIsInt, keyInt}; }
    Item ValItem() const { return Item{val, valIsInt, valInt}; }
  };
  // Where a node lives in the bound file (a vector beside the nodes).
  struct Disk {
    uint32_t slot = 0, cap = 0;  // node slot
    uint32_t keySlot = 0, keyCap = 0, valSlot = 0, valCap = 0;
    bool dirty = false;
  };

  KRB(bool uniqueKeys, bool uniqueAssoc);
  ~KRB();
  KRB(const KRB&) = delete;
  KRB& operator=(const KRB&) = delete;

  // Binds a tree to the file at sysPath (language path langPath for
  // messages). A file already bound in this process gives the same tree.
  // An empty or missing file is initialised; any other file is read whole
  // and checked, and refused with a KError when it is not a sound
  // dictionary file (nothing is written then). `writable` false (outside
  // the write fence) opens for reading only; changes then raise `refusal`.
  // A file another process holds bound (see Lock above) is refused.
  static std::shared_ptr<KRB> Open(const std::string& sysPath, bool writable, const std::string& refusal,
                                   bool uniqueKeys, bool uniqueAssoc);
  // Binds for writing at a place the caller located (and the fence
  // admitted): the file is opened relative to the place's directory, which
  // the tree keeps for the files it writes beside it.
  static std::shared_ptr<KRB> OpenAt(KPlat::Place&& place, const std::string& sysPath,
                                     const std::string& refusal, bool uniqueKeys, bool uniqueAssoc);
  // The sync policy of every bound tree in the process. Off (the default):
  // a change is whole in the file once its operation returns, and the file
  // survives the process being killed at any point, but a power cut or
  // system crash may lose recent changes or leave the file damaged. On: the
  // journal is synced before the file is overwritten, the file before the
  // journal is invalidated and the invalidation before the operation
  // returns, so a change that returned survives a power cut too (three
  // syncs per change).
  static void SetDurable(bool on);
  // True for the journal of a tree bound in this process (by the device and
  // inode of a directory entry): listings leave it out, as a script sees a
  // folder the same whether or not a dictionary in it is bound.
  static bool IsOwnJournal(uint64_t device, uint64_t inode);
  static bool Durable();
  // Makes the changes of its lifetime one unit in the file (one journal,
  // one round of syncs): for operations made of many stores, removals or
  // set additions. Done() commits and raises a failure; the destructor
  // commits whatever Done() did not. Batches nest; only the outermost one
  // commits. A killed process leaves the file as before the batch or after
  // it.
  class Batch {
   public:
    explicit Batch(KRB& t) : t_(t) { ++t_.batch_; }
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    void Done();

   private:
    KRB& t_;
    bool done_ = false;
  };
  // Builds a tree from the bytes of a dictionary file without binding it
  // (the checks of Open; for tests and fuzzing).
  static std::unique_ptr<KRB> FromBytes(const std::string& bytes, bool uniqueKeys, bool uniqueAssoc);

  // The two switches: unique keys on sets unique associations on; unique
  // associations on sets unique keys off.
  void SetUniqueKeys(bool on);
  void SetUniqueAssoc(bool on);
  bool UniqueKeys() const { return uniqueKeys_; }
  bool UniqueAssoc() const { return uniqueAssoc_; }

  // Entries (external nodes), reverse entries included, and all nodes.
  int Entries() const { return entries_; }
  int Nodes() const { return static_cast<int>(nodes_.size()) - 1 - static_cast<int>(freeNodes_.size()); }
  int RevEntries() const { return revEntries_; }
  bool Bound() const { return fd_.Valid(); }
  const std::string& Path() const { return path_; }

  // Stores a pair under the switches: unique keys replace the value of an
  // equal key; unique associations skip an equal pair; else always added.
  void Store(KB* key, KB* val) { Store(ItemOf(key), ItemOf(val)); }
  void Store(const Item& key, const Item& val);
  // Room for `entries` more entries without moving the nodes again.
  void Reserve(int entries) { nodes_.reserve(nodes_.size() + 2 * static_cast<size_t>(entries)); }
  // Set semantics: adds a key not yet present with the next counter value
  // and the reverse entry (number, key). False when already present; a
  // KError when every number below Nil has been given.
  bool SetAdd(KB* key) { return SetAdd(ItemOf(key)); }
  bool SetAdd(const Item& key);
  // Copies a set's entries with the numbers they carry, and its counter,
  // into this empty tree (a copy numbers its keys as the original does).
  void CopySet(const KRB& from);
  // Removes every entry with the key (and, for set entries, their reverse
  // entries). Returns the number removed.
  int Remove(KB* key) { return Remove(ItemOf(key)); }
  int Remove(const Item& key);
  // The entries with the key, in order (no reverse entries).
  void Find(KB* key, std::vector<uint32_t>& out) const { Find(ItemOf(key), out); }
  void Find(const Item& key, std::vector<uint32_t>& out) const;
  // A set's reverse entries (number, key) under the given number.
  void FindRev(const Item& number, std::vector<uint32_t>& out) const;

  // Ordered walk over the entries: First() then Next(n); 0 at the end.
  uint32_t First() const { return nodes_[kHead].link[lLX]; }
  uint32_t Next(uint32_t n) const { return nodes_[n].link[lNext]; }
  const Node& At(uint32_t n) const { return nodes_[n]; }
  // An entry's key and value as values (new references).
  KB* Key(uint32_t n) const { return MakeValue(nodes_[n].KeyItem()); }
  KB* Val(uint32_t n) const { return MakeValue(nodes_[n].ValItem()); }
  const Disk& DiskOf(uint32_t n) const;
  int32_t Counter() const { return counter_; }
  // The type code of the dictionary class the tree was made for.
  int kind = 0;

  // Node text and structure listings.
  std::string NodeText(uint32_t n) const;
  void WalkOrder(std::vector<uint32_t>& out) const;  // head, then pre-order
  uint32_t Head() const { return kHead; }
  uint32_t Root() const { return nodes_[kHead].link[lLeft]; }

  // Every invariant: links, parents, sides, flags, red-black balance, the
  // entry chain, LX/RX, order and counts. Empty string when sound.
  std::string Check() const;

  // The keys and values that can hold other values (for walks that break
  // reference cycles).
  void Held(std::vector<KB*>& out) const;

 private:
  static constexpr uint32_t kHead = 1;

  // Probe: a key (and value) being looked for, with the fast Int path.
  struct Probe {
    Item key, val;
    bool hasVal;
    bool rev;
  };
  int Cmp(const Probe& p, uint32_t n, bool withVal) const;
  // The first entry not below the probe (lower) or above it (!lower).
  uint32_t Bound(const Probe& p, bool withVal, bool lower) const;

  uint32_t NewNode();
  void FreeNode(uint32_t n);
  void SetChild(uint32_t parent, int side, uint32_t child);
  int SideOf(uint32_t n) const { return (nodes_[n].flags & fLeft) ? lLeft : lRight; }
  bool Red(uint32_t n) const { return n && (nodes_[n].flags & fRed); }
  void Paint(uint32_t n, bool red);
  void Rotate(uint32_t x, int side);  // side lLeft: left rotation
  void InsertLeaf(uint32_t at, bool before, const Item& key, const Item& val, bool rev);
  void InsertFixup(uint32_t x);
  void RemoveLeaf(uint32_t n);
  void RemoveFixup(uint32_t x);
  void Touch(uint32_t n);
  void SetLX(uint32_t n, uint32_t leaf);
  Disk& D(uint32_t n);
  void SetItems(uint32_t n, const Item& key, const Item& val);
  void ReplaceValue(uint32_t n, const Item& val);
  void InsertOrdered(const Item& key, const Item& val, bool rev);

  // File binding.
  void RequireWritable() const;
  uint32_t Alloc(uint32_t bytes, uint32_t& cap);
  void Release(uint32_t slot, uint32_t cap);
  void WriteSlot(uint32_t pos, uint32_t tag, uint32_t cap, const std::string& body);
  void WriteFree(uint32_t pos);
  static std::string ImageOf(const Item& v);
  uint32_t WriteData(const std::string& image, uint32_t& cap);
  void WriteNode(uint32_t n);
  void WriteHeader();
  void Commit();
  void Flush();
  [[noreturn]] void FailWrite(const KRBJournal::Image* undo);
  bool OpenJournal();
  bool InvalidateJournal();
  bool DropJournal();
  void InitFile();
  void Load(const std::string& bytes);
  friend class KRBCommit;

  struct FreeSlot {
    uint32_t cap, next, prev;
  };

  std::vector<Node> nodes_;
  std::vector<Disk> disk_;
  std::vector<uint32_t> freeNodes_;
  std::vector<uint32_t> dirty_;
  int entries_ = 0;
  int revEntries_ = 0;
  int32_t counter_ = 0;
  bool uniqueKeys_ = true;
  bool uniqueAssoc_ = true;
  // Bound trees.
  static std::shared_ptr<KRB> Bind(KPlat::Fd fd, KPlat::Place* place, const std::string& sysPath,
                                   const std::string& refusal, bool uniqueKeys, bool uniqueAssoc);
  static std::string ReadJournal(KPlat::Place* place, const std::string& sysPath, uint64_t fileSize);
  KPlat::Fd fd_;
  KPlat::Place place_;  // where a writable file lies (its directory held open)
  bool writable_ = false;
  bool mirrorOnly_ = false;  // built by FromBytes: file fields kept, nothing written
  std::string refusal_;
  std::string path_;
  uint64_t fileEnd_ = 0;
  uint32_t sentinel_ = 0;
  bool headerDirty_ = false;
  // Slots written since the last commit (whole slots by position), and the
  // file's size at the last commit.
  std::map<uint32_t, std::string> pending_;
  uint64_t committedEnd_ = 0;
  static std::set<std::pair<uint64_t, uint64_t>>& OwnJournals();
  KPlat::Fd journal_;      // made at the first commit, kept while bound
  std::pair<uint64_t, uint64_t> journalId_{0, 0};  // its device and inode
  std::string broken_;     // set when a commit failed: changes are refused
  int batch_ = 0;          // open batches: commits wait for the outermost
  std::unordered_map<uint32_t, FreeSlot> free_;
  std::unordered_map<uint32_t, uint32_t> bySlot_;  // node slot -> node
  std::pair<uint64_t, uint64_t> identity_{0, 0};
};
