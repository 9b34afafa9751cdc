// KSysObj: sockets, network addresses, windows and system operators as
// inert values (see KSysObj.h).
#include "KSysObj.h"

#include "KNum.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KSysObj";

KSysObj::KSysObj(KT::KTO type, const char* label, const std::string& arg, int kind) : KB(type), label_(label) {
  KRec* r = new KRec();
  r->arg = arg;
  r->kind = kind;
  descriptor->rec = r;
}

std::string KSysObj::Plain() const {
  if (typen() == KT::tSysOp) return Fmt("%s[%d]:%s", label_, Kind(), Arg().c_str());
  return std::string(label_) + ":" + Arg();
}

const std::string& KSysObj::AsString(bool verbose) {
  text = verbose ? VerbosePrefix() + " " + Plain() : Plain();
  return text;
}

KB* KSysObj::Clone() {
  switch (typen()) {
    case KT::tSock: return new KSock(Arg());
    case KT::tSNMP: return new KSNMP(Arg());
    case KT::tWin: return new KWin(Arg());
    case KT::tSysOp: return new KSysOp(Kind(), Arg());
    default: KTHROW(KT::eSystem, "KB::Clone:Don''t Implement");
  }
}

bool KSysObj::EQ(KB* o) {
  if (!o || o->typen() != typen()) return false;
  const KSysObj* s = static_cast<KSysObj*>(o);
  return s->Arg() == Arg() && s->Kind() == Kind();
}

bool KSysObj::GT(KB* o, int i, int j, bool descending) {
  if (o && o != this) {
    if (o->typen() != typen()) return typen() > o->typen();
    const KSysObj* s = static_cast<KSysObj*>(o);
    if (int c = Arg().compare(s->Arg())) return c > 0;
    if (Kind() != s->Kind()) return Kind() > s->Kind();
  }
  return descending ? j < i : i < j;
}

KB* KSysObj::FieldGet(KB* name) {
  if (FieldIs(name, ":arg")) return new KString(Arg());
  if (FieldIs(name, ":kind")) return new KNum(static_cast<int32_t>(Kind()));
  if (FieldIs(name, ":size")) return new KNum(static_cast<int32_t>(0));
  return StdFieldOr(name, ":, :arg, :kind, :size, :string, :stringv, :typec, :typen");
}
