// KOpsFile: the constructors of file contexts ("#FC") and files ("#FILE"),
// the deep existence test ("***") and opening and closing a file ("%<",
// "%>" monadic).
#include "KFCtxt.h"
#include "KFile.h"
#include "KBit.h"
#include "KOps.h"
#include "KString.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

namespace {
bool IsText(KA& a) { return a.Is(KT::tString) || a.Is(KT::tField); }

KFile* FileArg(KA& a) {
  if (!a.Is(KT::tFile)) KTHROW(KT::eNotSupp, "Type");
  return a.As<KFile>();
}
}  // namespace

// "#FC" niladic: the current working directory.
KA& KOps::opFC_N(KA& r) {
  r.Owns(KFCtxt::WorkingDir());
  return r;
}

// "#FC" monadic: a context from a string, a context or a file's context.
KA& KOps::opFC(KA& a) {
  a.Owns(new KFCtxt(a));
  return a;
}

// "#FC" dyadic: the left context (or a string naming one) with the right
// appended.
KA& KOps::opFC(KA& l, KA& r) {
  if (!l.Is(KT::tFCtxt) && !IsText(l)) KTHROW(KT::eValue, "Type");
  l.Owns(new KFCtxt(l, r));
  return l;
}

// "#FILE" niladic: a file without a name.
KA& KOps::opFILE_N(KA& r) {
  r.Owns(new KFile());
  return r;
}

// "#FILE" monadic: a file for a path (or a closed copy of a file).
KA& KOps::opFILE(KA& a) {
  if (a.Is(KT::tFile)) a.Owns(new KFile(a.As<KFile>()));
  else if (IsText(a)) a.Owns(new KFile(a.As<KString>()));
  else KTHROW(KT::eNotSupp, "File Name");
  return a;
}

// "#FILE" dyadic: the file named by the left in the context on the right.
KA& KOps::opFILE(KA& l, KA& r) {
  if (!IsText(l)) KTHROW(KT::eNotSupp, "File Name");
  KB* made;
  if (r.Is(KT::tFCtxt)) {
    made = new KFile(l.As<KString>(), r.As<KFCtxt>());
  } else if (IsText(r)) {
    KFCtxt fc(r);
    made = new KFile(l.As<KString>(), &fc);
  } else {
    KTHROW(KT::eNotSupp, "RT not String or FC");
  }
  l.Owns(made);
  return l;
}

// "***" monadic: a file exists; the empty value 0; else at least one element.
KA& KOps::op2A2A2A(KA& a) {
  bool b;
  switch (a.Type()) {
    case KT::tFile: b = a.As<KFile>()->Exists(); break;
    case KT::tNV: b = false; break;
    default: b = a.Cnt() > 0; break;
  }
  a.Owns(new KBit(b));
  return a;
}

// "%<" monadic: opens a file for reading; a bit: success.
KA& KOps::op253C(KA& a) {
  bool ok = FileArg(a)->Open('R');
  a.Owns(new KBit(ok));
  return a;
}

// "%>" monadic: closes a file; a bit: success.
KA& KOps::op253E(KA& a) {
  bool ok = FileArg(a)->Close();
  a.Owns(new KBit(ok));
  return a;
}
