// KOpsDict: the dictionary constructors "#DICT", "#SET", "#BAG", "#IDX".
// Niladic: a new empty one in memory. Monadic: one bound to the file the
// string or file names (the empty value gives the niladic form).
#include <string>

#include "KDict.h"
#include "KFile.h"
#include "KOps.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {
KA& MakeDict(KA& a, KT::KTO type) {
  if (a.Is(KT::tNV)) {
    a.Owns(KDict::Make(type, nullptr));
    return a;
  }
  std::string path;
  if (a.Is(KT::tString))
    path.assign(a.As<KString>()->Str(), a.As<KString>()->Len());
  else if (a.Is(KT::tFile))
    path = a.As<KFile>()->FPath();
  else
    KTHROW(KT::eValue, "need file or string");
  a.Owns(KDict::Make(type, &path));
  return a;
}
}  // namespace

KA& KOps::opDICT_N(KA& r) { return MakeDict(r, KT::tDict); }
KA& KOps::opDICT(KA& a) { return MakeDict(a, KT::tDict); }
KA& KOps::opSET_N(KA& r) { return MakeDict(r, KT::tSet); }
KA& KOps::opSET(KA& a) { return MakeDict(a, KT::tSet); }
KA& KOps::opBAG_N(KA& r) { return MakeDict(r, KT::tBag); }
KA& KOps::opBAG(KA& a) { return MakeDict(a, KT::tBag); }
KA& KOps::opIDX_N(KA& r) { return MakeDict(r, KT::tIdx); }
KA& KOps::opIDX(KA& a) { return MakeDict(a, KT::tIdx); }
