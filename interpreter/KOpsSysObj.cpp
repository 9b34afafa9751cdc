// KOpsSysObj: the constructors of the system objects ("#SOCK", "#SNMP",
// "#WIN", "#IX", "#EX"). Niladic forms make an object with no argument;
// monadic forms hand it a string argument (nothing counts as no argument;
// any other type raises 7 "Type").
#include <string>

#include "KOps.h"
#include "KString.h"
#include "KSysObj.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {
std::string ArgText(KA& a) {
  if (a.Is(KT::tNV)) return std::string();
  if (a.Is(KT::tString) || a.Is(KT::tField)) return a.As<KString>()->Value();
  KTHROW(KT::eNotSupp, "Type");
}
}  // namespace

KA& KOps::opSOCK_N(KA& r) {
  r.Owns(new KSock());
  return r;
}
KA& KOps::opSOCK(KA& a) {
  a.Owns(new KSock(ArgText(a)));
  return a;
}

KA& KOps::opSNMP_N(KA& r) {
  r.Owns(new KSNMP());
  return r;
}
KA& KOps::opSNMP(KA& a) {
  a.Owns(new KSNMP(ArgText(a)));
  return a;
}

KA& KOps::opWIN_N(KA& r) {
  r.Owns(new KWin());
  return r;
}
KA& KOps::opWIN(KA& a) {
  a.Owns(new KWin(ArgText(a)));
  return a;
}

KA& KOps::opIX_N(KA& r) {
  r.Owns(new KSysOp(KSysOp::kindInterrupt, ""));
  return r;
}
KA& KOps::opIX(KA& a) {
  a.Owns(new KSysOp(KSysOp::kindInterrupt, ArgText(a)));
  return a;
}

KA& KOps::opEX_N(KA& r) {
  r.Owns(new KSysOp(KSysOp::kindError, ""));
  return r;
}
KA& KOps::opEX(KA& a) {
  a.Owns(new KSysOp(KSysOp::kindError, ArgText(a)));
  return a;
}
