// KNum: the numeric array value (type 17 "Num"). A vector of 32-bit signed
// integers (alignment I) or 64-bit doubles (alignment F); each kind has a
// missing element ("Nil"): KT::iNil for I, KT::fNil for F. Nils are ordinary
// element values for code that does not test for them.
//
// Storage contract:
//  - elements live in descriptor->data (KB::AllocData, KB::StorageBytes),
//    `count` in use out of `capacity`; elemSize is 4 (I) or 8 (F).
//  - dimensions live in a KNum::KRec owned by the descriptor (copied with it).
//  - methods marked "in place" change the descriptor as it is, so every
//    holder sees the change (callers Fix() first when it must stay private);
//    all other methods build new arrays and never change their operands.
//  - integer arithmetic that may overflow wraps (done in unsigned).
//
// KClock derives from KNum with type code 5 and alignment F; constructors
// taking a KT::KTO exist for it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "KB.h"
#include "Ktypes.h"

class KNum : public KB {
 public:
  // Class-specific record: the dimensions (extents) of the array.
  struct KRec : public KB::KRec {
    std::vector<int32_t> dims;
    KRec* Clone() const override { return new KRec(*this); }
  };

  // Character tables built once by init(): dig marks "0123456789", numElem
  // the characters that may appear in a number field ("0123456789Ee_+.,;").
  static bool first;
  static unsigned char dig[256];
  static unsigned char numElem[256];
  static void init();

  // ---------------------------------------------------------- construction
  KNum();                                      // empty, alignment I
  explicit KNum(KB* other);                    // copy of a KNum, else empty I
  KNum(void* data, KT::KAL a, int count, int capacity);  // adopts data
  KNum(const char* text, int length);          // parses; length < 0: to the zero
  KNum(KT::KAL a, int n);                      // n nils (I, F) or zero bits (B)
  // Out of line: inlined into a reduction they cost its loop a register.
  [[gnu::noinline]] explicit KNum(int32_t v);
  [[gnu::noinline]] explicit KNum(double v);
  // For derived types (KClock): same as above with another type code.
  KNum(KT::KTO type, void* data, KT::KAL a, int count, int capacity);
  KNum(KT::KTO type, KT::KAL a, int n);
  ~KNum() override;

  KNum& operator=(KB& o) override;  // shares a KNum's or KString's descriptor
  KNum& operator=(const char* text);
  KNum& operator=(int32_t v);
  KNum& operator=(double v);

  // ---------------------------------------------------------- accessors
  int32_t* IntPtr() const { return static_cast<int32_t*>(descriptor->data); }
  double* FltPtr() const { return static_cast<double*>(descriptor->data); }
  void* VoidPtr() const { return descriptor->data; }
  void* NPtrGet() const { return descriptor->data; }
  // Installs a buffer (ownership passes); capacity 0 means capacity = count.
  void NPtrSet(void* data, KT::KAL a);
  void NPtrSet(void* data, KT::KAL a, int count, int capacity);
  KRec* rec();  // the record, created on first use
  int CountNotNil() const;
  int32_t AsInt() const;  // first element (0 when empty), floats truncated
  double AsFloat() const; // first element (0 when empty)
  bool IsInt() const { return descriptor->align == KT::aInt; }
  bool IsFlt() const { return descriptor->align == KT::aFloat; }
  int size() override;  // count x element size in bytes (clamped)
  int64_t SizeBytes() override;
  KNum* Size();         // one element: SizeBytes(), Float beyond the Int range
  static KNum* OfSize(int64_t bytes);  // an Int, or a Float beyond the Int range

  // ---------------------------------------------------------- number text
  // Reads one number field. On entry `length` is the number of characters
  // available (negative: up to the terminating zero); on return it is the
  // number consumed. alignment: aInt, aFloat, or aNone for an invalid field.
  static void nextNumField(int& length, const char* text, int& ival, double& dval, KT::KAL& alignment);

  // ---------------------------------------------------------- text forms
  std::string AsSimpleString() override;
  std::string AsSimpleString(int i) override;
  std::string AsSimpleString(int from, int to) override;
  const std::string& AsString(bool verbose) override;
  const std::string& AsString(int from, int to, bool verbose);
  std::string AsHex();
  std::string AsHex(int i);
  std::string AsHex(int from, int to);
  std::string Dump() override;
  // Each element formatted by FmtElem with the format's elements taken to
  // the data's length; returns a new string value (empty for a non-numeric
  // format).
  KB* Format(KB* spec);
  static std::string FmtElem(double value, double spec, bool specIsInteger);

  // ---------------------------------------------------------- base slots
  void Clear() override;
  KB* Clone() override;
  void DeReference(bool flag) override;
  bool EQ(KB* o) override;
  KB* Expand(KB* mask) override;  // new array, mask's length
  KB* FieldGet(KB* name) override;
  bool GT(KB* o, int i, int j, bool descending) override;
  KB* Range(int from, int to) override;  // 0-based inclusive, clamped
  void Reference(bool flag) override;
  void ReferenceTo(KB* o) override;
  void ReferenceTo(KB& o) override { ReferenceTo(&o); }
  std::string SO() override;
  int SOSz() override;
  static KB* SI(const char* image);
  // Loads an image body into this array (type byte not checked).
  void SIRead(const char* image);

  // ---------------------------------------------------------- alignment
  void CoerceTo(KT::KAL a);       // in place, I <-> F
  KB* CoerceTo(KT::KTO t);        // Bit: new KBit; Num: clone
  static void ConformAlign(KB* l, KB* r);  // both to F when either is F
  KB* Convert(KB* code);          // binary packing; nullptr for an unknown code

  // ---------------------------------------------------------- indexing
  KB* IndexedBy(KB* index);       // 1-based positions, bits or a bit text
  KNum* IndexedBy(int i);         // 0-based single element
  KNum* operator[](int i) { return IndexedBy(i); }
  void IdxAssign(KB* value, KB* index);  // in place, never inserts
  static KNum* BitToIdx(KB* bits);       // 1-based positions of set bits

  // ---------------------------------------------------------- structure
  KNum* Take(int n, bool fromFront, bool padWithEdge);
  void Drop(int n);               // in place
  KNum* Rotate(int n);
  KNum* Shift(int n);
  KNum* Flip();
  KNum* Reshape(int n);
  KNum* Catenate(KNum* o);
  void Append(KB* o);             // in place
  KNum* Union(KNum* o);           // raises 6 "Num Union"
  KNum* Fill();
  KNum* Fill(KB* pattern);
  KNum* Absolute();
  KNum* Smaller(KB* o);
  KNum* Larger(KB* o);
  KNum* RoundUp(KB* unit = nullptr);
  KNum* RoundDn(KB* unit = nullptr);
  KNum* RoundNear(KB* unit = nullptr);
  KNum* RoundHalf();              // nearest integer, halves away from zero
  KB* ToTF();                     // bits: element != 0

  // ---------------------------------------------------------- comparison
  int Compare(KB* o);
  bool IsSame(KB* o);
  KB* MarkEqual(KB* o);           // one bit
  static bool GTQSInt(void* data, int i, int j, bool flag);
  static bool GTQSFlt(void* data, int i, int j, bool flag);
  bool IsAscending();
  KNum* IndexOf(KB* keys);
  KNum* IndicesOf(KB* key, int& n);
  KNum* IndicesOfGraded(KB* key, int& n);  // raises 6
  KB* MarkAny(KB* set);
  KB* MarkAll(KB* pattern);
  KB* MarkElem(KB* o, KT::KMC how);  // a one-element o is compared with every element
  KB* Contains(KB* o);
  KNum* Unique();
  KNum* QueryUnique();
  KNum* QueryNotUnique();
  KNum* Without(KB* o);
  KNum* Intersect(KNum* o);

  // ---------------------------------------------------------- analysis
  // start/end/value/index numeric (end may be null: piecewise linear); one F
  // value per index point. With end points, closed makes both ends of an
  // interval belong to it; otherwise it is [start, end), or (start, end]
  // with openAtStart.
  static KNum* Interpolate(KB* start, KB* end, KB* value, KB* index, bool closed, bool openAtStart);
  // cells + 1 F totals; weights may be null (1.0 each); equalGoesAbove puts
  // a datum equal to a boundary above it. The last flag is not used.
  static KNum* Histogram(KB* cells, KB* data, KB* weights, bool equalGoesAbove, bool unused);

  // ---------------------------------------------------------- reductions
  // Reductions give a one-element F array; a width argument raises 6 "width".
  KNum* RedPlus(KB* width = nullptr);
  KNum* RedMinus(KB* width = nullptr);
  KNum* RedTimes(KB* width = nullptr);
  // Running sum / product in place (nil positions repeat the running value,
  // leading nils stay); alignment kept.
  void ScanPlus();
  void ScanTimes();
  // Moving windows ending at each position; window = first element of a
  // numeric value (else 15 "Type"); a window below 1 counts as 1.
  KNum* MovSum(KB* window);
  KNum* MovDiff(KB* window);
  KNum* MovProd(KB* window);
  KNum* MovLargest(KB* window);
  KNum* MovSmallest(KB* window);
  KNum* MovAvg(KB* window);  // F result; nils leave the divisor

 private:
  void Init0(KT::KTO type);
  // Adopts one element `d` of alignment `a` into the fresh descriptor.
  void AdoptOne(void* d, KT::KAL a);
  void Parse(const char* text, int length);
};
