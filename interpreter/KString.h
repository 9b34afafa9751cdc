// KString: the character string value (type 29, Windows-1252 bytes) and its
// stream behaviour. A string is also a stream: it carries a read position so
// scripts read it piecewise forward and backward and write into it.
//
// Storage contract:
//  - The text lives in descriptor->data (alignment C): count = length,
//    capacity = allocated length, and the buffer always holds capacity + 1
//    bytes so a terminating zero follows the text. An empty string may have
//    no buffer at all (Str() then gives "").
//  - The stream state (KString::KRec) lives in descriptor->rec, so every
//    holder of the descriptor sees the same position, and Fix copies it.
//    The record is created on first use when a descriptor has none.
//  - Positions are 0-based inside the class: pos is the index of the next
//    character to read forward, -1 before the first character. After every
//    move the state is normalised (SizeSeekPos).
//  - The buffer may be shared with sequences of pieces cut from the text
//    (KB::TextBlock): every writer goes through Buf() or Reserve(), which
//    give the descriptor a buffer of its own first.
//  - Methods documented as "new" return a value with one holder that the
//    caller owns; "in place" methods change the shared text (Fix first when
//    the change must not be seen by other holders).
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "KB.h"

class KNum;
class KSeq;
class KBit;

class KString : public KB {
 public:
  // Stream state shared through the descriptor.
  struct KRec : KB::KRec {
    char dir = 'X';      // 'X' none, 'R' last move forward, 'L' backward
    int32_t pos = -1;    // next character to read forward; -1 before start
    int32_t ppos = -1;   // position before the last move
    uint8_t atEnd = 0;
    uint8_t atBeg = 1;
    KB::KRec* Clone() const override { return new KRec(*this); }
  };

  // What MarkString marks for each occurrence.
  enum KMatchType : uint8_t { mtFirst = 1, mtLast = 2, mtBoth = 3, mtAll = 4 };

  // Base64 alphabet, its reverse table (value + 1, 0 outside the alphabet,
  // built on first use) and the growth factor of Append.
  static const char b64[65];
  static unsigned char r64[256];
  static bool firstB64;
  static constexpr double expFact = 1.1;

  // Construction: every constructor leaves the position before the start.
  KString();
  KString(KString& o);                          // copy of the text
  explicit KString(KB* o);                      // copy of a string's text
  explicit KString(const std::string& s);
  explicit KString(const char* text, int length = -1);
  // length < 0: up to the terminating zero; capacity at least length.
  // copy false adopts `text`, which must come from KB::AllocData with at
  // least capacity + 1 bytes.
  KString(char* text, int length, int capacity, bool copy);
  KString(char c, int n, int capacity = 0);     // n copies of c
  explicit KString(int v);                      // decimal text
  explicit KString(double v);                   // "%g" text

  // Accessors.
  const char* Str() const;
  std::string Value() const;
  int Len() const { return descriptor->count; }
  int Pos();
  int PPos();
  int fPos() { return Pos(); }
  bool AtBOS();
  bool fB() { return AtBOS(); }
  bool AtEOS();
  bool fE() { return AtEOS(); }
  char AtDir();
  int fPosSet(int p);   // clamps to -1..length; returns the old position
  int fPosIncr(int d);  // relative, no clamping; returns the old position
  bool IsBits() const;  // every character "0" or "1"
  std::string Properties();
  KNum* Size();         // new one-element I array holding the length

  // KB operations.
  std::string AsSimpleString() override;
  std::string AsSimpleString(int) override;       // raises 6
  std::string AsSimpleString(int, int) override;  // raises 6
  const std::string& AsString(bool verbose) override;
  void Clear() override;
  KB* Clone() override;
  std::string Dump() override;
  bool EQ(KB* o) override;
  KB* FieldGet(KB* name) override;
  bool GT(KB* o, int i, int j, bool descending) override;
  KB* Range(int from, int to) override;
  int size() override { return Len(); }
  std::string SO() override;
  int SOSz() override { return Len() + 13; }
  // Rebuilds a KString (type 29) or KField (type 9) from an image.
  static KB* SI(const char* image);

  // Comparison. Collated (live or, with sys, default table) unless the
  // exact flag is set.
  int Compare(KB* o, bool sys = false);
  int CompareTARQ(KB* o, bool sys);
  int CompareSys(KB* o) { return Compare(o, true); }  // case-insensitive names
  bool Is(KB* o) { return o && Compare(o) == 0; }
  bool IsSame(KB* o);
  // Sort comparators over the characters of the KString passed as ctx:
  // true when character i sorts after character j; ties by position.
  static bool GTQSTARQ(void* ctx, int i, int j, bool flag);
  static bool GTQSTARQDefault(void* ctx, int i, int j, bool flag);
  static bool GTQSExact(void* ctx, int i, int j, bool flag);
  static bool GTQSExactDefault(void* ctx, int i, int j, bool flag);

  // Stream reads: new strings; empty at the respective end. A count may be
  // any numeric value (its first element) or a string holding a number.
  virtual KString* Next(KB* n);
  virtual KString* Next(int n);
  virtual KString* Prev(KB* n);
  virtual KString* Prev(int n);
  virtual KString* NextLN();
  virtual KString* PrevLN();
  virtual KString* NextAll(KB* pattern);
  virtual KString* PrevAll(KB* pattern);
  virtual KString* NextAny(KB* set);
  virtual KString* PrevAny(KB* set);

  // Moves without reading; each returns the old position (0-based).
  virtual int ToNextLN();
  virtual int ToPrevLN();
  virtual int ToNextAll(KB* pattern);
  virtual int ToPrevAll(KB* pattern);
  virtual int ToNextAny(KB* set);
  virtual int ToPrevAny(KB* set);
  virtual int ToNextPos(KB* n);
  virtual int ToNextPos(int n);
  virtual int ToPrevPos(KB* n);
  virtual int ToPrevPos(int n);
  // p 1-based; a position past the end extends the text with zero bytes,
  // up to kMaxSeekLen characters (beyond: 15 "Too long").
  static constexpr int kMaxSeekLen = 1 << 26;
  virtual int ToPos(int p, bool fromStart);
  virtual int ToPos(KB* p, bool fromStart);
  virtual int ToBOS();
  virtual int ToEOS();

  // Searches without moving; 0-based indices.
  // The All searches take a string pattern or a regular-expression object.
  // IdxNextAll: first occurrence at or after `from`; length = characters
  // the match spans; no match: Len() (length 0); a partial match running
  // past the end: Len() + 1 (length 0).
  virtual int IdxNextAll(KB* pattern, int from, int& length);
  // IdxPrevAll: start of the last occurrence that ends at or before `from`
  // (from = index after the last character considered); -1 when none.
  virtual int IdxPrevAll(KB* pattern, int from, int& length);
  virtual int IdxNextAny(KB* set, int from);  // Len() when none
  virtual int IdxPrevAny(KB* set, int from);  // last at or before from; -1
  // n-th line end at or after from; breaks = its characters (1 or 2, 0
  // when there is none and the result is Len()).
  virtual int IdxNextLN(int n, int from, int& breaks);
  // n-th line end before from (its first character); -1 when none.
  virtual int IdxPrevLN(int n, int from, int& breaks);

  // Writing: copies n bytes to 0-based position at (zero-filling any gap)
  // and leaves the position after them. NextWr writes a string value at the
  // current position and returns the new position.
  void write(const char* data, int at, int n);
  int NextWr(KB* value);

  // Words and marks (new values; bit vectors have the text's length).
  KSeq* AllWords();
  KBit* MarkWordsBeg();
  KBit* MarkWordsEnd();
  KBit* MarkSpan(KB* s);
  KBit* MarkChar(KB* set, bool any);
  // firstOnly stops after the first occurrence.
  KBit* MarkString(KB* pattern, KMatchType how, bool firstOnly = false);
  // The occurrences MarkString marks: first and last index (0-based) of
  // each; the pattern may also be a regular-expression object (KGREP).
  std::vector<std::pair<int, int>> MatchSpans(KB* pattern, bool firstOnly = false);
  KBit* MarkSpanPairs(KB* pairs, bool inner);
  KBit* MarkElem(KB* o, KT::KMC how);
  KBit* ToTF();
  // Pieces (keep is the opposite of the operators' "eat"):
  //  - no `by` (null, empty value or Nil): lines cut at CR, LF, CR LF or
  //    LF CR; keep leaves each line its line end;
  //  - a string: a set of delimiter characters, each ending a piece; keep
  //    leaves the delimiter at the end of its piece;
  //  - a bit mask, or numbers giving the 1-based marked positions: without
  //    keep a marked character is the last of its piece, with keep it begins
  //    the next piece.
  // A last piece is added when not empty.
  KSeq* Segment(KB* by, bool keep);
  // Pieces cut at marked characters (marks[i] for character i): a marked
  // character begins the next piece (cutBefore), ends its own (cutAfter),
  // or is dropped (cutDrop, where two marks in a row leave an empty piece).
  enum KCut : uint8_t { cutBefore, cutAfter, cutDrop };
  KSeq* SegmentAt(const std::vector<bool>& marks, KCut how);
  // The cuts return their pieces deferred: spans of this text's buffer,
  // which they pin, made into strings (with the IDs reserved for them when
  // cut) only when a slot is first used.
  class PieceCut;

  // Editing (new strings unless "in place").
  KString* DLE(KB* set);
  KString* DTE(KB* set);
  KString* DEE(KB* set);
  void XLate(KB* from, KB* to);  // in place
  KString* ToLower();
  KString* ToUpper();
  void Append(KB* o);            // in place, grows by expFact
  void Append(const char* p, int n);
  KString* Catenate(KB* o);
  void CatenateSelf(KB* o);        // in place: this + o
  void CatenateSelfRevArg(KB* o);  // in place: o + this
  KString* operator+(KString& o);
  KString& operator+=(KString& o);

  // Structure: characters as KNum works on elements, KT::cNil as nil.
  KString* Take(int n, bool fromFront, bool padWithEdge);
  KString* Rotate(int n);
  KString* Shift(int n);
  KString* Reshape(int n);
  KString* Flip();
  KString* Unique();
  KString* QueryUnique();
  KString* QueryNotUnique();
  KString* Intersect(KB* o);
  KString* Union(KB* o);  // raises 6 "String union"
  KString* Without(KB* o);
  KB* Contains(KB* o);    // a bit mask, or a sequence of masks
  KNum* IndexOf(KB* chars);
  KB* IndexedBy(KB* index);
  void IdxAssign(KB* value, KB* index);  // in place

  // Conversions.
  KB* Convert(KB* code);
  KB* CoerceTo(KT::KTO t);
  KNum* AsNum();
  KSeq* AsCSV();
  std::string AsHex(int width);
  KString* B64();
  KString* R64();
  KString* Format(KB* width);
  void ToFile(const char* name);

  // Text helpers shared with derived classes and other units.
  static std::string B64Encode(const char* p, size_t n);
  static std::string B64Decode(const char* p, size_t n);

 protected:
  explicit KString(KT::KTO type);  // empty text of the given type code
  KRec& R();                       // the stream record (made on demand)
  void SizeSeekPos();              // normalises the stream state
  void SetText(const char* p, int n, int capacity);
  void Reserve(int capacity);      // in place, keeps the text
  // Writable text (may be null when empty): the buffer is made the
  // descriptor's own first (Own), so no piece cut from it sees the write.
  char* Buf();
  // Copy on write: a buffer still pinned by pieces cut from it is replaced
  // by a copy; one nothing else pins any more is taken back as it is.
  void Own();
  KString* MakeLike(const char* p, int n);  // a new string (type 29)
  KString* ReadSpan(int from, int to);
  void BeginForward();
  bool BeginBackward();
};

// A string value built from text (the factory KB uses).
KB* KMakeString(const std::string& s);
