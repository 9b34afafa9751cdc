// KFuse: statements of element operators ending in a sum, in one pass.
#include "KFuse.h"

#include <cmath>
#include <cstring>

#include "KArg.h"
#include "KAssoc.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KOpsLoops.h"
#include "KParser.h"
#include "KParserImpl.h"
#include "KQuick.h"
#include "KSeq.h"
#include "KString.h"
#include "KSum.h"

static const char* const kUnit = "Interpreter/KFuse";

namespace {

constexpr int kBlock = 2048;  // elements per pass step (stack buffers)

inline bool IsLetterC(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool IsDigitC(char c) { return c >= '0' && c <= '9'; }
inline bool IsBlankC(char c) { return c == ' ' || c == '\t'; }
inline bool IsOpChar(char c) { return c != 0 && std::strchr("`,+-<>?~!|=@#%&*^\\/", c) != nullptr; }

// A word of the statement: [b, e) between blanks, ";" or the end.
struct Reader {
  const char* text;
  size_t n, cutAt;
  char cut;
  char At(size_t i) const { return i >= n ? 0 : (i == cutAt ? cut : text[i]); }
  // Skips blanks; false at a line break (the line count would move).
  bool Skip(size_t& i) const {
    while (IsBlankC(At(i))) ++i;
    return At(i) != '\r' && At(i) != '\n';
  }
  size_t WordEnd(size_t i) const {
    while (i < n && At(i) != 0 && !IsBlankC(At(i)) && At(i) != ';' && At(i) != '\r' && At(i) != '\n') ++i;
    return i;
  }
  std::string Word(size_t b, size_t e) const {
    std::string w;
    for (size_t i = b; i < e; ++i) w.push_back(At(i));
    return w;
  }
};

// A name (letters, then letters, digits and "_") or a plain number
// ("_" sign, digits, one "." with digits, an exponent of digits).
bool IsName(const std::string& w) {
  if (w.empty() || !IsLetterC(w[0])) return false;
  for (char c : w)
    if (!IsLetterC(c) && !IsDigitC(c) && c != '_') return false;
  return true;
}
bool IsNumber(const std::string& w) {
  size_t i = 0;
  if (i < w.size() && w[i] == '_') ++i;
  size_t d = i;
  while (i < w.size() && IsDigitC(w[i])) ++i;
  if (i == d) return false;
  if (i < w.size() && w[i] == '.') {
    size_t f = ++i;
    while (i < w.size() && IsDigitC(w[i])) ++i;
    if (i == f) return false;
  }
  if (i < w.size() && (w[i] == 'e' || w[i] == 'E')) {
    size_t x = ++i;
    while (i < w.size() && IsDigitC(w[i])) ++i;
    if (i == x) return false;
  }
  return i == w.size();
}

bool MakeTerm(const std::string& w, size_t at, KFuse::Term& t) {
  t.at = at;
  t.text = w;
  if (IsName(w)) {
    t.name = true;
    return true;
  }
  if (!IsNumber(w)) return false;
  // The literal is read here once; making it takes no value ID.
  const int32_t id = KB::fLastID;
  KB* v = KParserImpl::NumberLiteral(w.data(), static_cast<int>(w.size()));
  KB::fLastID = id;
  KNum* num = static_cast<KNum*>(v);
  bool ok = v->typen() == KT::tNum && v->Count() == 1 && (num->IsInt() || num->IsFlt());
  if (ok) {
    t.isInt = num->IsInt();
    if (t.isInt) t.i = num->IntPtr()[0];
    else t.f = num->FltPtr()[0];
  }
  KB::DoneWith(v);
  return ok;
}

// An operand resolved for one run.
struct Opd {
  const KFuse::Term* term = nullptr;
  KB* value = nullptr;  // a named value (not referenced: the namespace holds it)
  KNS* ns = nullptr;
  int slot = -1, level = 0;
  bool isInt = true, vec = false;
  int32_t i = 0;
  double f = 0;
  const int32_t* pi = nullptr;
  const double* pf = nullptr;
};

// Where a name is in the chain, innermost first, read without the parse
// state's key (which may be made new): false when the search is not sure
// or the chain holds something else.
bool Locate(KPParser& ps, const std::string& name, Opd& o) {
  KSeq* chain = ps.chain;
  const int n = chain ? chain->Count() : 0;
  KB** slots = n ? chain->Slots() : nullptr;
  for (int i = n - 1; i >= 0; --i) {
    KB* e = slots[i];
    if (e->typen() != KT::tNS && e->typen() != KT::tCV) return false;
    bool sure = false;
    const int slot = static_cast<KNS*>(e)->IndexOfPlain(name.data(), static_cast<int>(name.size()), sure);
    if (!sure) return false;
    if (slot >= 0) {
      o.ns = static_cast<KNS*>(e);
      o.slot = slot;
      o.level = n - 1 - i;
      o.value = o.ns->AssocPtr(slot)->ValPtr();
      return o.value != nullptr;
    }
  }
  return false;
}

// Whether the token loop's lookup of this token would use its memo's place
// (and so not touch the parse state's key): the place still holds.
// The memo's entries are found by the scan position each token was read
// from (the end of the one before, blanks not yet skipped): the walk goes
// from `from`, where the token loop starts reading, to the token at `at`.
bool CachedPlace(KPParser& ps, size_t from, size_t at, const std::string& name) {
  if (!ps.memo) return false;
  const KTokMemo::Entry* c = nullptr;
  for (size_t pos = from; pos < ps.memo->at.size();) {
    const KTokMemo::Entry* e = ps.memo->Find(pos);
    if (!e || e->start < 0 || static_cast<size_t>(e->start) > at || static_cast<size_t>(e->resume) <= pos) break;
    if (static_cast<size_t>(e->start) == at) {
      c = e;
      break;
    }
    pos = static_cast<size_t>(e->resume);
  }
  if (!c || !c->ns) return false;
  KSeq* chain = ps.chain;
  const int n = chain ? chain->Count() : 0;
  if (c->chainCount != n) return false;
  KB** slots = chain->Slots();
  const int i = c->chainIdx;
  if (slots[i] != c->ns || c->slot >= c->ns->Count()) return false;
  KString* k = c->ns->AssocPtr(c->slot)->KeyPtr();
  if (!k || k->typen() != KT::tString || k->Len() != static_cast<int>(name.size()) ||
      std::memcmp(k->Str(), name.data(), name.size()) != 0)
    return false;
  for (int j = i + 1; j < n; ++j) {
    KB* e = slots[j];
    if (e->typen() != KT::tNS && e->typen() != KT::tCV) return false;
    bool sure = false;
    if (static_cast<KNS*>(e)->IndexOfPlain(name.data(), static_cast<int>(name.size()), sure) >= 0 || !sure)
      return false;
  }
  return true;
}

// ---------------------------------------------------------------- the pass
// One block of the chain's elements, Int while every operand so far was Int.
struct Block {
  bool isF = false;
  int32_t ci[kBlock];
  double cf[kBlock];
};

inline double ToF(int32_t v) { return v == KT::iNil ? KT::fNil : static_cast<double>(v); }

// The elements [base, base + len) of an operand into `ti` or `tf`.
void Fill(const Opd& o, int64_t base, int len, int32_t* ti, double* tf, bool asF, int32_t rangeStart, int rangeDir) {
  (void)rangeStart;
  (void)rangeDir;
  if (asF) {
    if (!o.vec) {
      const double v = o.isInt ? ToF(o.i) : o.f;
      for (int k = 0; k < len; ++k) tf[k] = v;
    } else if (o.isInt) {
      for (int k = 0; k < len; ++k) tf[k] = ToF(o.pi[base + k]);
    } else {
      std::memcpy(tf, o.pf + base, sizeof(double) * static_cast<size_t>(len));
    }
  } else {
    if (!o.vec) {
      for (int k = 0; k < len; ++k) ti[k] = o.i;
    } else {
      std::memcpy(ti, o.pi + base, sizeof(int32_t) * static_cast<size_t>(len));
    }
  }
}

template <class T, class F>
KLOOP_CLONES void Apply(T* __restrict c, const T* __restrict b, int n, F f) {
  constexpr T nil = KLoop::NilOf<T>::v;
  for (int i = 0; i < n; ++i) {
    const T x = c[i], y = b[i];
    const T r = f(x, y);
    c[i] = ((x == nil) | (y == nil)) ? nil : r;
  }
}

template <class T>
void ApplyOp(char kind, T* c, const T* b, int n) {
  if (kind == '+') Apply(c, b, n, KLoop::tplPlus());
  else if (kind == '-') Apply(c, b, n, KLoop::tplMinus());
  else Apply(c, b, n, KLoop::tplTimes());
}

}  // namespace

namespace {

// The characters a group's inside may hold: names, plain numbers, blanks
// and the three operators (so no group, quote, block, "$" or line break).
bool GroupChar(char c) {
  return IsLetterC(c) || IsDigitC(c) || IsBlankC(c) || c == '_' || c == '.' || c == '+' || c == '-' || c == '*';
}

// The group whose "(" stands at `b`: its inside as a first term and at
// least one step; `i` moves past its ")". False for anything else.
bool ReadGroup(const Reader& r, size_t b, size_t& i, KFuse::Group& g) {
  size_t close = b + 1;
  while (close < r.n && r.At(close) != ')') {
    if (!GroupChar(r.At(close))) return false;
    ++close;
  }
  if (close >= r.n) return false;
  const char after = r.At(close + 1);
  if (!(after == 0 || after == ';' || IsBlankC(after))) return false;
  const Reader in{r.text, close, r.cutAt, r.cut};
  size_t j = b + 1;
  auto word = [&](std::string& w, size_t& at) {
    in.Skip(j);
    at = j;
    j = in.WordEnd(j);
    w = in.Word(at, j);
    return !w.empty();
  };
  std::string w;
  size_t at = 0;
  if (!word(w, at) || !MakeTerm(w, at, g.first)) return false;
  for (;;) {
    if (!word(w, at)) break;
    KFuse::Step s;
    if (w != "+" && w != "-" && w != "*") return false;
    s.kind = w[0];
    s.op = KOps::OpIdxGet(w.c_str());
    if (s.op < 0 || !word(w, at) || !MakeTerm(w, at, s.t)) return false;
    g.steps.push_back(s);
  }
  if (g.steps.empty()) return false;
  g.open = b;
  g.len = close + 1 - b;
  i = close + 1;
  return true;
}

}  // namespace

std::shared_ptr<KFuse::Form> KFuse::Compile(const char* text, size_t n, size_t at, char cut, size_t cutAt) {
  Reader r{text, n, cutAt, cut};
  auto form = std::make_shared<Form>();
  size_t i = at;
  auto word = [&](std::string& w, size_t& b) {
    if (!r.Skip(i)) return false;
    b = i;
    i = r.WordEnd(i);
    w = r.Word(b, i);
    return !w.empty();
  };
  // An operand: a name, a literal or a group.
  auto operand = [&](Term& t) {
    if (!r.Skip(i)) return false;
    if (r.At(i) == '(') {
      Group g;
      if (!ReadGroup(r, i, i, g)) return false;
      t.at = g.open;
      t.group = static_cast<int>(form->groups.size());
      form->groups.push_back(std::move(g));
      return true;
    }
    std::string w;
    size_t b = 0;
    return word(w, b) && MakeTerm(w, b, t);
  };
  std::string w;
  size_t b = 0;
  if (!operand(form->first)) return nullptr;
  for (;;) {
    if (!word(w, b)) return nullptr;
    if (w == "\\+" || w == "/+") {
      form->redOp = KOps::OpIdxGet(w.c_str());
      if (w == "/+") {
        if (!word(w, b) || w != "->") return nullptr;
        form->lastOp = KOps::OpIdxGet("->");
      }
      form->end = i;
      break;
    }
    Step s;
    if (w == "+" || w == "-" || w == "*") s.kind = w[0];
    else if (w == ".." && form->steps.empty() && form->first.group < 0) s.kind = '.';
    else return nullptr;
    s.op = KOps::OpIdxGet(w.c_str());
    if (s.op < 0 || !operand(s.t) || (s.kind == '.' && s.t.group >= 0)) return nullptr;
    form->steps.push_back(s);
  }
  if (form->redOp < 0 || (form->lastOp < 0 && form->redOp != KOps::OpIdxGet("\\+"))) return nullptr;
  // What follows: the end of the statement or an operator, which applies
  // the sum first, as the token loop would.
  size_t j = i;
  if (!r.Skip(j)) return nullptr;
  const char c = r.At(j);
  if (c == 0 || c == ';') return form;
  if (!IsOpChar(c)) return nullptr;
  const size_t e = r.WordEnd(j);
  std::string next = r.Word(j, e);
  if (KOps::OpIdxGet(next.c_str()) < 0) return nullptr;
  return form;
}

bool KFuse::AtStatement(KPParser& ps, bool& first) {
  if (ps.curTT != KT::ttSeparator && ps.curTT != KT::ttUnknown) return false;
  if (!KQuick::enabled || ps.Parsing() || ps.Tracing()) return false;
  if (!ps.L.Is(KT::tNV) || ps.pendOp != -1 ||
      ps.newOp != -1 || ps.member != 0 || ps.savedState.active || ps.resumed || ps.displayCount != 0 || !ps.code ||
      !ps.scan)
    return false;
  const size_t at = static_cast<size_t>(ps.scan - ps.code);
  const size_t n = static_cast<size_t>(ps.codeEnd - ps.code);
  // The statement must start with a letter, digit, "_" or "(" (a quick
  // test before any form is looked for).
  {
    const char* p = ps.scan;
    while (p < ps.codeEnd && IsBlankC(p == ps.tokenEnd ? ps.saved : *p)) ++p;
    const char c = p == ps.tokenEnd ? ps.saved : (p < ps.codeEnd ? *p : 0);
    if (!IsLetterC(c) && !IsDigitC(c) && c != '_' && c != '(') return false;
  }
  std::shared_ptr<Form> form;
  const size_t cutAt = ps.tokenEnd ? static_cast<size_t>(ps.tokenEnd - ps.code) : n + 1;
  if (ps.memo && ps.memo->text.size() == n) {
    if (!ps.memo->fuse) ps.memo->fuse = std::make_shared<KFuse>();
    auto& forms = ps.memo->fuse->forms;
    auto it = forms.find(at);
    if (it == forms.end())
      it = forms.emplace(at, Compile(ps.memo->text.data(), n, at, 0, n + 1)).first;
    form = it->second;
  } else {
    form = Compile(ps.code, n, at, ps.saved, cutAt);
  }
  if (!form) return false;

  // The operands, resolved and checked; nothing is changed yet. A group
  // operand is Int when all its operands are, a vector when one is.
  const size_t steps = form->steps.size();
  if (!form->groups.empty() && ps.depth + 1 > KT::DepthLimit) return false;
  for (const Group& g : form->groups)  // the groups' texts are read from the buffer: no cut inside
    if (ps.tokenEnd && ps.tokenEnd > ps.code + g.open && ps.tokenEnd < ps.code + g.open + g.len) return false;
  std::vector<Opd> ops(steps + 1);
  std::vector<std::vector<Opd>> gops(form->groups.size());
  int64_t len = -1;
  const bool range = steps > 0 && form->steps[0].kind == '.';
  auto resolve = [&](const Term* t, Opd& o) {
    o.term = t;
    if (t->name) {
      if (!Locate(ps, t->text, o)) return false;
      KB* v = o.value;
      if (v->typen() != KT::tNum || v->mark || !v->descriptor || v->descriptor->rec) return false;
      KNum* num = static_cast<KNum*>(v);
      const int c = v->Count();
      if (!(num->IsInt() || num->IsFlt()) || c < 1 || !v->descriptor->data) return false;
      o.isInt = num->IsInt();
      if (c == 1) {
        if (o.isInt) o.i = num->IntPtr()[0];
        else o.f = num->FltPtr()[0];
      } else {
        o.vec = true;
        if (o.isInt) o.pi = num->IntPtr();
        else o.pf = num->FltPtr();
        if (len >= 0 && len != c) return false;
        len = c;
      }
    } else {
      o.isInt = t->isInt;
      o.i = t->i;
      o.f = t->f;
    }
    return true;
  };
  for (size_t k = 0; k <= steps; ++k) {
    const Term* t = k == 0 ? &form->first : &form->steps[k - 1].t;
    if (t->group < 0) {
      if (!resolve(t, ops[k])) return false;
      continue;
    }
    const Group& g = form->groups[static_cast<size_t>(t->group)];
    std::vector<Opd>& in = gops[static_cast<size_t>(t->group)];
    in.resize(g.steps.size() + 1);
    ops[k].term = t;
    for (size_t q = 0; q < in.size(); ++q) {
      if (!resolve(q == 0 ? &g.first : &g.steps[q - 1].t, in[q])) return false;
      ops[k].isInt = ops[k].isInt && in[q].isInt;
      ops[k].vec = ops[k].vec || in[q].vec;
    }
  }
  int32_t rangeA = 0, rangeB = 0;
  if (range) {
    // Two Int scalars, neither nil; the range is the chain's first vector.
    if (ops[0].vec || ops[1].vec || !ops[0].isInt || !ops[1].isInt || len >= 0) return false;
    rangeA = ops[0].i;
    rangeB = ops[1].i;
    if (rangeA == KT::iNil || rangeB == KT::iNil) return false;
    len = (rangeB >= rangeA ? int64_t{rangeB} - rangeA : int64_t{rangeA} - rangeB) + 1;
    if (len > 0x7FFFFFF0) return false;
  }
  if (len < minCount || len < 2) return false;

  // The token loop's own calls, on two-element stand-ins for the vectors:
  // they take the value IDs, make the result value and set its level.
  std::vector<KB*> stand;
  const int32_t id0 = KB::fLastID;
  auto makeStand = [&](Opd& o, bool rangeEnd) -> KB* {
    if (!o.term->name) return nullptr;
    KNum* s;
    if (rangeEnd) {
      s = new KNum(rangeB >= rangeA ? rangeA + 1 : rangeA - 1);
    } else if (o.vec) {
      if (o.isInt) {
        int32_t* d = static_cast<int32_t*>(KB::AllocData(KB::StorageBytes(KT::aInt, 2), false));
        d[0] = o.pi[0];
        d[1] = o.pi[1];
        s = new KNum(d, KT::aInt, 2, 2);
      } else {
        double* d = static_cast<double*>(KB::AllocData(KB::StorageBytes(KT::aFloat, 2), false));
        d[0] = o.pf[0];
        d[1] = o.pf[1];
        s = new KNum(d, KT::aFloat, 2, 2);
      }
    } else {
      s = o.isInt ? new KNum(o.i) : new KNum(o.f);
    }
    s->descriptor->SID = o.value->ID;  // bound, as a named value is
    s->level = o.level;
    s->Reference(true);  // the namespace's hold
    stand.push_back(s);
    return s;
  };
  std::vector<KB*> outerStand(steps + 1, nullptr);
  std::vector<std::vector<KB*>> groupStand(gops.size());
  for (size_t k = 0; k <= steps; ++k) outerStand[k] = ops[k].term->group < 0 ? makeStand(ops[k], range && k == 1) : nullptr;
  for (size_t g = 0; g < gops.size(); ++g)
    for (Opd& o : gops[g]) groupStand[g].push_back(makeStand(o, false));
  KB::fLastID = id0;
  KA& L = ps.L;
  KA& R = ps.R;
  auto release = [&stand]() {
    for (KB*& s : stand)
      if (s) {
        s->DeReference(true);
        KB::DoneWith(s);
        s = nullptr;
      }
  };
  // One operand into p.R as the token loop puts it there: the lookup (the
  // key when the token loop would search, the stamp), or the literal.
  // `at0` is where p's text starts in the statement's text.
  auto operandIn = [&](KPParser& p, Opd& o, KB* s, size_t from, size_t at0, bool rangeEnd) {
    KA& r = p.R;
    if (o.term->name) {
      if (!CachedPlace(p, from, o.term->at - at0, o.term->text)) p.Key(o.term->text.c_str());
      o.value->descriptor->SID = o.value->ID;
      o.value->level = o.level;
      r = s;
    } else if (rangeEnd) {
      r.Owns(new KNum(rangeB >= rangeA ? rangeA + 1 : rangeA - 1));
    } else {
      r.Owns(KParserImpl::NumberLiteral(o.term->text.data(), static_cast<int>(o.term->text.size())));
    }
  };
  // A group as the token loop runs it: R emptied, a child parse state over
  // the inside, its start, its steps, and its result handed to R.
  auto groupIn = [&](int gi) {
    const Group& g = form->groups[static_cast<size_t>(gi)];
    std::vector<Opd>& in = gops[static_cast<size_t>(gi)];
    R.Clear();
    KChild child(&ps);
    KPParser& c = *child;
    c.CmdSetMemo(ps.code + g.open, g.len, true, nullptr);
    c.block = ps.block;
    if (!c.L.Is(KT::tNV)) c.L.Clear();
    std::swap(c.L.value, R.value);
    if (!c.R.Is(KT::tNV)) c.R.Clear();
    c.curTT = c.prevTT = c.L.Is(KT::tNV) ? KT::ttUnknown : KT::ttSeqValue;
    c.curCT = KT::ctNone;
    c.newOp = c.pendOp = -1;
    c.curVT = c.prevVT = c.L.Type();
    c.displayCount = 0;
    c.savedState.active = false;
    if (!c.savedState.L.Is(KT::tNV)) c.savedState.L.Clear();
    c.member = c.colon = 0;
    for (size_t q = 0; q < in.size(); ++q) {
      operandIn(c, in[q], groupStand[static_cast<size_t>(gi)][q], 0, g.open + 1, false);
      if (q == 0) c.L = c.R;
      else KParser::Dyadic(&c, c.L, c.R, g.steps[q - 1].op);
    }
    // The end of the child's run.
    std::swap(R.value, c.L.value);
    if (!c.L.Is(KT::tNV)) c.L.Clear();
    if (!c.R.Is(KT::tNV)) c.R.Clear();
    if (!c.U.Is(KT::tNV)) c.U.Clear();
    if (!c.argNS.Is(KT::tNV)) c.argNS.Clear();
  };
  const Opd* lastName = nullptr;
  try {
    for (size_t k = 0; k <= steps; ++k) {
      Opd& o = ops[k];
      if (o.term->group >= 0) {
        groupIn(o.term->group);
      } else {
        operandIn(ps, o, outerStand[k], at, 0, range && k == 1);
        if (o.term->name) lastName = &o;
      }
      if (k == 0) L = R;
      else KParser::Dyadic(&ps, L, R, form->steps[k - 1].op);
    }
    KParser::Monadic(&ps, L, form->redOp);
    if (form->lastOp >= 0) KParser::Monadic(&ps, L, form->lastOp);
  } catch (...) {
    release();
    throw;
  }
  release();
  if (!L.Is(KT::tNum) || L.Cnt() != 1 || !L.value->descriptor->data)
    KTHROW(KT::eSystem, "Fused statement");

  // The pass itself.
  Block blk, gblk;
  int32_t ti[kBlock];
  double tf[kBlock];
  double sum = 0;
  int32_t accI = 0;
  double accF = 0;
  bool sumF = false;  // the running sum's alignment (Int until a Float is met)
  const bool scan = form->lastOp >= 0;
  // One operand applied to the block `b` (promoted to Float when the
  // operand is the first Float of its chain).
  auto applyTo = [&](Block& b, const Opd& o, char kind, int64_t base, int m) {
    if (!b.isF && !o.isInt) {
      for (int q = 0; q < m; ++q) b.cf[q] = ToF(b.ci[q]);
      b.isF = true;
    }
    if (o.vec && b.isF && !o.isInt) {  // the operand's own elements, not a copy
      ApplyOp(kind, b.cf, o.pf + base, m);
    } else if (o.vec && !b.isF) {
      ApplyOp(kind, b.ci, o.pi + base, m);
    } else {
      Fill(o, base, m, ti, tf, b.isF, 0, 0);
      if (b.isF) ApplyOp(kind, b.cf, tf, m);
      else ApplyOp(kind, b.ci, ti, m);
    }
  };
  // A group's elements [base, base + m) into `b`.
  auto groupOf = [&](Block& b, int gi, int64_t base, int m) {
    const Group& g = form->groups[static_cast<size_t>(gi)];
    const std::vector<Opd>& in = gops[static_cast<size_t>(gi)];
    b.isF = !in[0].isInt;
    Fill(in[0], base, m, b.ci, b.cf, b.isF, 0, 0);
    for (size_t q = 1; q < in.size(); ++q) applyTo(b, in[q], g.steps[q - 1].kind, base, m);
  };
  for (int64_t base = 0; base < len; base += kBlock) {
    const int m = static_cast<int>(len - base < kBlock ? len - base : kBlock);
    blk.isF = false;
    size_t k = 0;
    if (range) {
      if (rangeB >= rangeA) {
        const int32_t s0 = static_cast<int32_t>(rangeA + base);
        for (int q = 0; q < m; ++q) blk.ci[q] = s0 + q;
      } else {
        const int32_t s0 = static_cast<int32_t>(rangeA - base);
        for (int q = 0; q < m; ++q) blk.ci[q] = s0 - q;
      }
      k = 2;
    } else if (ops[0].term->group >= 0) {
      groupOf(blk, ops[0].term->group, base, m);
      k = 1;
    } else {
      blk.isF = !ops[0].isInt;
      Fill(ops[0], base, m, blk.ci, blk.cf, blk.isF, 0, 0);
      k = 1;
    }
    for (; k <= steps; ++k) {
      const Opd& o = ops[k];
      const char kind = form->steps[k - 1].kind;
      if (o.term->group < 0) {
        applyTo(blk, o, kind, base, m);
        continue;
      }
      // The group's value, then the operator over both (Int meeting Float
      // is promoted on either side).
      groupOf(gblk, o.term->group, base, m);
      if (!blk.isF && gblk.isF) {
        for (int q = 0; q < m; ++q) blk.cf[q] = ToF(blk.ci[q]);
        blk.isF = true;
      }
      if (blk.isF && !gblk.isF) {
        for (int q = 0; q < m; ++q) gblk.cf[q] = ToF(gblk.ci[q]);
        gblk.isF = true;
      }
      if (blk.isF) ApplyOp(kind, blk.cf, gblk.cf, m);
      else ApplyOp(kind, blk.ci, gblk.ci, m);
    }
    sumF = blk.isF;
    if (!scan) {
      sum = blk.isF ? KSum::SumFltFrom(sum, blk.cf, m) : KSum::SumIntFrom(sum, blk.ci, m);
    } else if (!blk.isF) {
      if (base == 0) accI = m > 0 ? KSum::ReducePlusIntFrom(blk.ci[0], blk.ci + 1, m - 1) : 0;
      else accI = KSum::ReducePlusIntFrom(accI, blk.ci, m);
    } else {
      constexpr double nil = KT::fNil;
      int q = 0;
      if (base == 0) accF = blk.cf[q++];
      for (; q < m; ++q) {
        const double e = blk.cf[q];
        accF = (e == nil) ? accF : ((accF == nil) ? e : accF + e);
      }
    }
  }
  // The value the stand-ins made takes the pass's element.
  KNum* res = static_cast<KNum*>(L.value);
  if (!scan) {
    if (!res->IsFlt()) KTHROW(KT::eSystem, "Fused statement");
    res->FltPtr()[0] = sum;
  } else if (sumF) {
    if (!res->IsFlt()) KTHROW(KT::eSystem, "Fused statement");
    res->FltPtr()[0] = accF;
  } else {
    if (!res->IsInt()) KTHROW(KT::eSystem, "Fused statement");
    res->IntPtr()[0] = accI;
  }

  // The parse state as the token loop leaves it after the sum.
  if (lastName) {
    ps.foundNS = ps.readNS = lastName->ns;
    ps.foundSlot = ps.readSlot = lastName->slot;
    ps.foundLevel = lastName->level;
  }
  if (ps.tokenEnd && ps.tokenEnd >= ps.scan) {  // the cut stands inside the taken text: restore it
    *ps.tokenEnd = ps.saved;
    ps.tokenEnd = nullptr;
  }
  ps.scan = ps.prevStart = ps.code + form->end;
  ps.token = nullptr;
  ps.tokenLen = 0;
  ps.tokIndex = -1;
  ps.curTT = KT::ttSeqValue;
  ps.curVT = KT::tNum;
  ps.newOp = ps.pendOp = -1;
  first = false;
  ++ran;
  return true;
}
