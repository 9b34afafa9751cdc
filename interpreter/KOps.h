// KOps: the operator library. One static table holds every operator of the
// language (symbol, the niladic, monadic and dyadic implementations and
// their description texts); the tokenizer and the evaluator find operators
// through the lookups here, and every implementation is a static member.
//
// The table, the member declarations and the listing all come from the one
// declaration list in KOpsList.h. Implementations live in family files:
// KOps.cpp (table, lookup, listing), KOpsCore.cpp (what the evaluator needs),
// KOpsStruct.cpp (structural operators, grade and search), KOpsSelect.cpp
// (marks, rotation and shift, transpose, uniqueness queries), KOpsArith.cpp
// (arithmetic, comparison, maths, checksums), KOpsReduce.cpp (reductions,
// scans, moving windows), KOpsLogic.cpp (bit logic and set forms),
// KOpsBlock.cpp (program and operator definition), KOpsStream.cpp and
// KOpsSegment.cpp (streams, cutting and cleaning), KOpsImage.cpp (images,
// number bases, formats, collation), and the constructors of the object
// kinds (KOpsFile.cpp, KOpsDict.cpp, KOpsRecGrep.cpp, KOpsSysObj.cpp).
#pragma once
#include <cstdint>

#include "KArg.h"
#include "KB.h"
#include "Ktypes.h"

class KOps {
 public:
  using FnN = KA& (*)(KA& result);
  using FnM = KA& (*)(KA& arg);
  using FnD = KA& (*)(KA& left, KA& right);

  // One operator. Symbols and texts are static read-only strings; a form
  // that does not exist holds the placeholder opErrN/opErrM/opErrD, never
  // null. `id` is 100 + the declaration position and survives the one-time
  // reordering; the record's position after TblInit is the operator index.
  struct KOpRec {
    int32_t id;
    const char* symbol;
    FnN fnN;
    const char* txtN;
    FnM fnM;
    const char* txtM;
    FnD fnD;
    const char* txtD;
  };

  static constexpr int nOps = 214;
  static KOpRec fOpsTbl[nOps];

  enum TOpSortBy : int { sortByOp = 0 };

  // Special indices the evaluator treats itself (-1 until TblInit ran).
  static int iExec, iArgs, iAssign, iIdxAssign, iCatAssign, iAtEach, iEach,
      iPgm, iOpUD, iExists, iExistsDeep, iRef, iIsRef, iSys;
  static bool first;  // true until TblInit ran

  KOps();
  ~KOps();

  // Table and lookup. TblInit sorts the table once (longest symbol first,
  // then case-insensitive ascending) and looks up the special indices.
  static void TblInit();
  static void TblSort(int* order, TOpSortBy by);
  static bool byOpGT(void* table, int i, int j, bool);
  static const char* OpToken(const char* text);
  static int OpIdxGet(const char* symbol);
  static const char* OpNameGet(int index);
  static FnN FnNGet(int index);
  static FnM FnMGet(int index);
  static FnD FnDGet(int index);

  // Placeholders of missing forms: do nothing, return the first argument.
  // The evaluator recognises them by identity.
  static KA& opErrN(KA& r);
  static KA& opErrM(KA& a);
  static KA& opErrD(KA& a, KA& b);

  // The nils of the element types (the pointer only selects the type).
  static int32_t Nil(int32_t*) { return KT::iNil; }
  static double Nil(double*) { return KT::fNil; }
  static unsigned char Nil(unsigned char*) { return KT::cNil; }

  // The listing "#OPS" under the name hosts use.
  static KA& opOps(KA& r) { return opOPS_N(r); }

  // Shared algorithms of the structural family.
  // Grade: Int vector of 1-based positions ordering the value up or down
  // (ties keep their positions); fewer than 2 elements of any type give
  // empty or 1; otherwise Num, Clock, Bit, Seq, String, else 7 "type".
  static void Grade(KA& value, bool up);
  // Total order over values: type code first, then by type.
  static int Compare(KB* a, KB* b);
  // 1-based position of the first element of `left` (a Seq or FL) equal to
  // `right`, 0 if none.
  static int IndexOf(KB* left, KB* right, bool sorted);
  static void IndexOf(KA& left, KA& right, bool sorted);
  static void IndicesOf(KA& left, KA& right, bool sorted);
  static void Without(KA& left, KA& right, bool);

  // Helpers of the arithmetic family (KOpsArith.cpp).
  enum TOpBool : int {
    boolAnd = 1, boolClear = 2, boolEQ = 3, boolNand = 4, boolNor = 5,
    boolNot = 6, boolOr = 7, boolSet = 8, boolXor = 9
  };
  enum TOpCirc : int {
    circCos = 1, circACos = 2, circHCos = 3, circSin = 4, circASin = 5,
    circHSin = 6, circATan = 7, circTan = 8, circHTan = 9
  };
  static KA& opOpBool(TOpBool code, KA& left, KA& right);
  // opOpBool with a fixed code: every bit cleared, equal bits, exclusive or.
  static KA& opClear(KA& left, KA& right) { return opOpBool(boolClear, left, right); }
  static KA& opBitEQ(KA& left, KA& right) { return opOpBool(boolEQ, left, right); }
  static KA& opXor(KA& left, KA& right) { return opOpBool(boolXor, left, right); }
  static KA& opOpCirc(TOpCirc code, KA& arg);
  static KA& opLogN(KA& left, KA& right);

  // Every form's implementation, declared from the operator list: op +
  // hexadecimal codes of the symbol (or the "#" name), overloaded by arity,
  // `_N` for a niladic form. hasNiladic 2 marks a niladic slot that holds
  // the monadic function, so no niladic function is declared for it.
#define KOPS_DECL_N0(name)
#define KOPS_DECL_N1(name) static KA& name##_N(KA& r);
#define KOPS_DECL_N2(name)
#define KOPS_DECL_M0(name)
#define KOPS_DECL_M1(name) static KA& name(KA& a);
#define KOPS_DECL_D0(name)
#define KOPS_DECL_D1(name) static KA& name(KA& a, KA& b);
#define KOP(id, sym, name, n, tn, m, tm, d, td) \
  KOPS_DECL_N##n(name) KOPS_DECL_M##m(name) KOPS_DECL_D##d(name)
#include "KOpsList.h"
#undef KOP
#undef KOPS_DECL_N0
#undef KOPS_DECL_N1
#undef KOPS_DECL_N2
#undef KOPS_DECL_M0
#undef KOPS_DECL_M1
#undef KOPS_DECL_D0
#undef KOPS_DECL_D1
};
