// KOps: the operator table, its one-time sort, the lookups used by the
// tokenizer and the evaluator, the placeholders of missing forms and the
// listing "#OPS".
#include "KOps.h"

#include <cstring>
#include <vector>

#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

// ---------------------------------------------------------------------------
// The table, built from the declaration list. A missing form gets its
// placeholder; hasNiladic 2 puts the monadic function in the niladic slot.
#define KOPS_FN_N0(name) &KOps::opErrN
#define KOPS_FN_N1(name) &KOps::name##_N
#define KOPS_FN_N2(name) static_cast<KOps::FnN>(&KOps::name)
#define KOPS_FN_M0(name) &KOps::opErrM
#define KOPS_FN_M1(name) static_cast<KOps::FnM>(&KOps::name)
#define KOPS_FN_D0(name) &KOps::opErrD
#define KOPS_FN_D1(name) static_cast<KOps::FnD>(&KOps::name)

KOps::KOpRec KOps::fOpsTbl[KOps::nOps] = {
#define KOP(id, sym, name, n, tn, m, tm, d, td) \
  {id, sym, KOPS_FN_N##n(name), tn, KOPS_FN_M##m(name), tm, KOPS_FN_D##d(name), td},
#include "KOpsList.h"
#undef KOP
};

namespace {
// The list itself must hold exactly nOps operators with consecutive ids.
constexpr int kListIds[] = {
#define KOP(id, ...) id,
#include "KOpsList.h"
#undef KOP
};
static_assert(sizeof(kListIds) / sizeof(kListIds[0]) == KOps::nOps, "operator count");
constexpr bool IdsConsecutive() {
  for (int i = 0; i < KOps::nOps; ++i)
    if (kListIds[i] != 100 + i) return false;
  return true;
}
static_assert(IdsConsecutive(), "operator ids must run 100..313 in list order");

// Case-insensitive comparison of operator symbols (letters only occur in
// "#" names; everything else compares by code).
inline unsigned char Fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + 32) : u;
}
int SymCmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int d = Fold(*a) - Fold(*b);
    if (d != 0 || *a == 0) return d;
  }
}
}  // namespace

int KOps::iExec = -1, KOps::iArgs = -1, KOps::iAssign = -1, KOps::iIdxAssign = -1,
    KOps::iCatAssign = -1, KOps::iAtEach = -1, KOps::iEach = -1, KOps::iPgm = -1,
    KOps::iOpUD = -1, KOps::iExists = -1, KOps::iExistsDeep = -1, KOps::iRef = -1,
    KOps::iIsRef = -1, KOps::iSys = -1;
bool KOps::first = true;

KOps::KOps() { TblInit(); }
KOps::~KOps() {}

// ---------------------------------------------------------------------------
// One-time initialisation: number the records in declaration order, sort a
// permutation, rewrite the table in sorted order, look up the specials.
void KOps::TblInit() {
  if (!first) return;
  first = false;
  std::vector<int> order(nOps);
  for (int i = 0; i < nOps; ++i) {
    order[i] = i;
    fOpsTbl[i].id = 100 + i;
  }
  TblSort(order.data(), sortByOp);
  std::vector<KOpRec> copy(fOpsTbl, fOpsTbl + nOps);
  for (int i = 0; i < nOps; ++i) fOpsTbl[i] = copy[order[i]];

  iExec = OpIdxGet("#X");
  iArgs = OpIdxGet("#ARGS");
  iAssign = OpIdxGet("=>");
  iIdxAssign = OpIdxGet("=>[");
  iCatAssign = OpIdxGet(",=>");
  iAtEach = OpIdxGet("@&");
  iEach = OpIdxGet("#EA");
  iPgm = OpIdxGet("#PGM");
  iOpUD = OpIdxGet("#OP");
  iExists = OpIdxGet("*");
  iExistsDeep = OpIdxGet("***");
  iRef = OpIdxGet("@");
  iIsRef = OpIdxGet("?@");
  iSys = OpIdxGet("#SYS");
}

// byOpGT answers "record i sorts after record j"; KB::QS in its descending
// mode with such a predicate leaves the permutation in ascending order.
void KOps::TblSort(int* order, TOpSortBy by) {
  if (by != sortByOp) KTHROW(KT::eNotSupp, "Sort type");
  KB::QS(fOpsTbl, order, 0, nOps - 1, &KOps::byOpGT, true);
}

// Longer symbols first; equal lengths ascending, letter case ignored.
bool KOps::byOpGT(void* table, int i, int j, bool) {
  const KOpRec* t = static_cast<const KOpRec*>(table);
  size_t li = std::strlen(t[i].symbol), lj = std::strlen(t[j].symbol);
  if (li != lj) return li < lj;
  return SymCmp(t[i].symbol, t[j].symbol) > 0;
}

// ---------------------------------------------------------------------------
// Lookups. The table is sorted longest first, so the first symbol that
// begins the text is the longest operator there.
const char* KOps::OpToken(const char* text) {
  if (!text) return nullptr;
  if (first) TblInit();
  for (int i = 0; i < nOps; ++i) {
    const char* s = fOpsTbl[i].symbol;
    const char* t = text;
    while (*s && Fold(*s) == Fold(*t)) ++s, ++t;
    if (*s == 0) return fOpsTbl[i].symbol;
  }
  return nullptr;
}

// Binary search under the table order: a key longer than the symbol at mid
// lies before it, a shorter one after it, equal lengths by comparison.
int KOps::OpIdxGet(const char* key) {
  if (!key) return -1;
  if (first) TblInit();
  const int keyLen = static_cast<int>(std::strlen(key));
  int lo = 0, hi = nOps - 1, mid = hi / 2, prev;
  do {
    int d = static_cast<int>(std::strlen(fOpsTbl[mid].symbol)) - keyLen;
    if (d == 0) d = SymCmp(key, fOpsTbl[mid].symbol);
    if (d == 0) return mid;
    prev = mid;
    if (d < 0) {
      hi = mid;
      mid = (mid + lo) / 2;
    } else {
      lo = mid;
      mid = (hi + mid) / 2;
    }
  } while (mid != prev);
  return SymCmp(key, fOpsTbl[hi].symbol) == 0 ? hi : -1;
}

const char* KOps::OpNameGet(int index) {
  if (index < 0 || index >= nOps) return "Unknown operator";
  return fOpsTbl[index].symbol;
}

KOps::FnN KOps::FnNGet(int index) {
  return (index < 0 || index >= nOps) ? nullptr : fOpsTbl[index].fnN;
}
KOps::FnM KOps::FnMGet(int index) {
  return (index < 0 || index >= nOps) ? nullptr : fOpsTbl[index].fnM;
}
KOps::FnD KOps::FnDGet(int index) {
  return (index < 0 || index >= nOps) ? nullptr : fOpsTbl[index].fnD;
}

// Three distinct bodies are not needed: the functions differ by identity.
KA& KOps::opErrN(KA& r) { return r; }
KA& KOps::opErrM(KA& a) { return a; }
KA& KOps::opErrD(KA& a, KA&) { return a; }

// ---------------------------------------------------------------------------
// "#OPS": one line per operator, sorted up under exact collation.
KA& KOps::opOPS_N(KA& r) {
  if (first) TblInit();
  KSeq* list = new KSeq();
  r.Owns(list);
  list->addSlots(nOps);
  for (const KOpRec& op : fOpsTbl) {
    list->AppendOwned(new KString(
        KB::Fmt("Op:%s; [N]%s; [M]%s; [D]%s", op.symbol, op.txtN, op.txtM, op.txtD)));
  }
  op403D3D(r);  // "@==": exact collation
  return op3E3E3E(r);  // ">>>": sort up
}
