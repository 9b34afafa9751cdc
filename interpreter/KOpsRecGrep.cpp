// KOpsRecGrep: the record-set and regular-expression constructors ("#RS",
// "#GREP") and the containment marks ("*^&", "*^|", "^&", "^|", "^\&").
#include "KBit.h"
#include "KGREP.h"
#include "KOps.h"
#include "KRS.h"
#include "KSeq.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

// ------------------------------------------------------------ regular expressions

KA& KOps::opGREP_N(KA& r) {
  r.Owns(new KGREP());
  return r;
}

KA& KOps::opGREP(KA& a) {
  a.Owns(new KGREP(a.value));
  return a;
}
