// KArg: the argument handle KA. A handle always holds exactly one value
// (never null: an empty handle holds a fresh KNV) and owns one reference to
// it. Operators receive handles, replace what they hold with their result
// (Owns for new values) and return the first handle. The handle also holds
// the rules that bring two operands together: coercion, conformance,
// catenation, take, comparison and images.
#pragma once
#include <string>

#include "KB.h"

class KA : public KB {
 public:
  KB* value;  // never null

  KA();
  explicit KA(KB* v);
  KA(KA& o);
  explicit KA(KA* o);
  explicit KA(const char* text);
  explicit KA(const std::string& text);
  explicit KA(int v);
  explicit KA(double v);
  ~KA() override;

  KA& operator=(KB* v);
  KA& operator=(KB& v) override;
  KA& operator=(KA& o);
  KA& operator=(int v);
  KA& operator=(double v);
  KA& operator=(char c);
  KA& operator=(const char* s);
  KA& operator=(const std::string& s);
  KA& operator=(bool b);
  KA& AssignPtr(void* p);  // a value if p designates one, else a new KNil
  bool operator==(KA& o);

  // Ownership.
  void ReferenceTo(KB* v) override;
  void ReferenceTo(KB& v) override { ReferenceTo(&v); }
  void Owns(KB* v);  // hold a newly built value, taking over its reference
  void Clear() override;
  void DeReference(bool flag) override;
  KB* Clone() override;
  void Fix() override;
  void Reference(bool flag) override;

  KT::KTO Type() const { return value->typen(); }
  KT::KAL Align() const { return value->alignmentn(); }
  int Cnt() const { return value->Count(); }
  bool Is(KT::KTO t) const { return value->typen() == t; }
  template <class T> T* As() const { return static_cast<T*>(value); }

  static void Reveal(KA& a);
  static void Assign(KA& value, KA& target);
  static bool IsSelf(KA& a, KA& b);

  // Symbol access.
  static void ValPtr(KA& result, KA& name, KA& scope);
  static void Put(KA& value, KA& name, KA& target, KT::KNT kind);
  static void Ref(KA& a);
  static void Ref_N(KA& a);

  // Type and alignment conversion.
  void CoerceTo(KT::KTO t, KT::KAL a);
  static void CoerceNil(KA& a, KA& b);
  static void ConformNum(KA& a);
  static void ConformNum(KA& a, KA& b);
  static void BitConform(KA& a);
  static void BitConform(KA& a, KA& b);
  static void ConformLen(KA& a, KA& b);
  static void Convert(KA& a, KA& b);
  bool IsHomogeneous();
  static void Homogenize(KA& a, bool deep);

  // Structure.
  static void Enclose(KA& a);
  static void StrandEm(KA& a, KA& b);
  static void Ravel(KA& a);
  static void Disclose(KA& a, bool deep);
  static void Disclose(KA& a, KA& depth);
  static void ExposeSep(KA& seq, KA& seps, int i);
  static void Catenate(KA& a, KA& b);
  static void Take(KA& a, int n, bool front, bool fillEdge);
  static void Take(KA& a, KA& count, bool front, bool fillEdge);
  static void Reshape(KA& a, int n);
  static void BitToIdx(KA& a);
  int CountNotNil();
  static void IndexedBy(KA& value, KA& index);
  static void IdxAssign(KA& value, KA& index, KA& newValue);
  static void MarkEqual(KA& a, KA& b);
  static void IntersectRed(KA& a);
  static void Intersect(KA& a, KA& b);
  static void Grade(KA& a, bool descending);

  // Comparison.
  static int Compare(KB* a, KB* b);
  int Compare(KB* o) { return Compare(value, o); }
  static bool EQ(KB* a, KB* b);
  bool EQ(KB* o) override { return EQ(value, o); }
  static bool GT(KB* a, KB* b);
  bool GT(KB* o, int i, int j, bool descending) override;
  static bool IsSame(KA& a, KA& b, bool exact);

  // Text.
  const std::string& AsString(bool verbose) override;
  std::string Dump() override;
  static std::string AddCR(const std::string& s);

  // Images.
  std::string SO() override;
  int SOSz() override;
  static void SO(KA& a);                   // hold a string of the image
  // Builds a value from an image whose frame the caller has checked.
  static void SI(KA& a, const char* image);
  // Builds a value from a buffer that must hold exactly one image.
  static void SI(KA& a, const char* buf, int len);
  static void SI(KA& a);                   // read the image from a string
  // Image readers by type byte: `read` gets an image whose total size lies
  // inside its buffer. Registers a type as written (SO/SOSz) and read.
  using ImageReader = KB* (*)(const char* image);
  static bool ImageKindAdd(int type, ImageReader read, bool writes = true);
};
