// KBit: the boolean vector (type 3 "Bit"), the result of comparisons and
// markings, the mask of selections and the operand of the logical operators.
//
// Storage contract:
//  - descriptor->data holds the packed bits directly (alignment B); count is
//    the number of bits, capacity the number of bits the buffer can hold
//    (allocated bytes x 8).
//  - Bit i lives in byte i / 8 under the mask 0x80 >> (i % 8): the first bit
//    is the most significant bit of the first byte. Bits past count inside
//    the last byte are kept zero.
//  - BitGet/BitSet ignore positions outside 0..count-1.
//  - Methods that return a KBit* (or KNum*, KB*) return a new value owned by
//    the caller; the source is not changed unless a method says "in place".
#pragma once
#include <string>

#include "KB.h"

class KNum;

class KBit : public KB {
 public:
  static const unsigned char bitIdx[8];    // 80 40 20 10 08 04 02 01
  static const unsigned char bitLMask[8];  // 80 C0 E0 F0 F8 FC FE FF
  static const unsigned char bitRMask[8];  // FF 7F 3F 1F 0F 07 03 01

  KBit();                       // empty
  explicit KBit(bool value);    // one bit
  KBit(int n, bool value);      // n bits, all value
  // Adopts packed bytes allocated with KB::AllocData; capacity in bits
  // (0 or less: the smallest whole number of bytes for `bits`).
  KBit(char* bytes, int bits, int capacity);
  // One bit per character: set unless the character is " ", ".", "0", "_".
  explicit KBit(const char* text);
  KBit(const char* text, int length);
  // A bit vector shares its descriptor; a numeric array gives a bit per
  // element (set where not 0, nils included); a string or field its text
  // reading; anything else an empty vector.
  explicit KBit(KB* other);
  KBit& operator=(const char* text);
  KBit& operator=(bool value);
  using KB::operator=;

  // ---- bit access
  unsigned char* Bytes() const { return static_cast<unsigned char*>(descriptor->data); }
  int Capacity() const { return descriptor->capacity; }
  bool BitGet(int i) const;
  bool BitSet(int i, bool value);  // returns the previous bit
  void SetAll(bool value);         // in place
  void Append(bool value);         // in place, grows by 10 percent

  // ---- queries
  bool All();           // true for an empty vector
  bool Any();
  int Sum();            // number of set bits
  int NSet() { return Sum(); }
  int ToIndex();        // 1-based first set bit, count + 1 when none
  KNum* ToIndices(int& n);  // "I" array of the 1-based set positions
  KNum* ToNum();        // "I" array of 0 and 1
  int Compare(KB* other);
  bool EQ(KB* other) override;
  bool GT(KB* other, int i, int j, bool descending) override;

  // ---- logic (left extension: the shorter operand is right-aligned and
  // extended on the left with its own first bit)
  static KBit* BitOp(KB* left, KB* right, const char* op);
  KBit* And(KB* right);
  KBit* Or(KB* right);
  KBit* Nand(KB* right);
  KBit* Nor(KB* right);
  KBit* Xor(KB* right);
  KBit* Not();

  // ---- marks (same length as this)
  KBit* MarkOn();
  KBit* MarkOff();
  KBit* MarkOnOff();
  KBit* FirstOn();
  KBit* LastOff();
  KBit* Span();
  KBit* MarkEqual(KBit* other);  // longer length; beyond the shorter: 0
  KBit* MarkSpanStart();         // 6 "Span Start"
  KBit* MarkSpanEnd();           // 6 "Span End"

  // ---- selection and structure
  KB* Expand(KB* mask) override;  // bit mask or numeric repeat counts
  KBit* IndexedBy(KB* index);
  void IdxAssign(KB* value, KB* index);  // in place
  virtual KBit* Take(int n, bool fromFront, bool padWithEdge);
  KBit* Rotate(int n);
  KBit* Shift(int n);
  KBit* Reshape(int n);
  KBit* Flip();
  KBit* Catenate(KBit* other);
  KB* Range(int from, int to) override;
  void Drop(int n);               // 6 "Bit Drop"
  KB* Convert(KB* code);          // packed bytes read as little-endian numbers

  // ---- running and moving windows. The window is the first element of a
  // number (floats truncated; a bit vector gives its length); a window below
  // 1 counts as 1; anything else raises 15 "Need Numeric". Windows that reach
  // before position 0 are partial.
  KBit* MovAll(KB* window = nullptr);  // no window: running AND
  KBit* MovAny(KB* window = nullptr);  // no window: running OR
  KBit* Fire();                        // rising edges
  KBit* Fire(KB* pattern);             // copies the pattern at each trigger
  KBit* Monostable(KB* widths);        // pulses of the given widths

  // ---- text forms
  const std::string& AsString(bool verbose) override;
  std::string AsHex();
  std::string Dump() override;
  KB* FieldGet(KB* name) override;

  // ---- lifecycle
  KB* Clone() override;   // a private copy of the bits
  int size() override;    // bytes holding the bits

  // ---- images: 4-byte bit count, then the packed bytes
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);

 private:
  void build(int n, bool value);
  void buildText(const char* text, int length);
  void trimTail();  // zero the bits past count in the last byte
};
