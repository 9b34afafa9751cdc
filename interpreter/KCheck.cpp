// KCheck: the shape of a text, checked without running it (see KCheck.h).
//
// The tokens of KLex are walked level by level: a level is the whole text or
// the inside of one group, and is a list of siblings (a group counts as one
// sibling, its inside is a level of its own). Levels wait in a work list, so
// nesting costs no stack. Every level holds statements, except the inside
// of a selection's braces, which holds its clauses. The control structures
// are read as KBlock::CtlParse reads them: the parts that must follow a word,
// comments skipped between them, the first part of a wrong kind an error.
#include "KCheck.h"

#include <algorithm>
#include <cstring>

#include "KOps.h"

namespace KCheck {

using KLex::Kind;
using KLex::Token;

namespace {

bool HasNiladic(int op) { return op >= 0 && KOps::fOpsTbl[op].fnN != &KOps::opErrN; }
bool HasMonadic(int op) { return op >= 0 && KOps::fOpsTbl[op].fnM != &KOps::opErrM; }
bool HasDyadic(int op) { return op >= 0 && KOps::fOpsTbl[op].fnD != &KOps::opErrD; }

inline bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Names every block or operator run provides: the argument names of
// operators and programs ("__", "l__", "r__") and the generated "__<n>".
bool IsImplicitName(const std::string& key) {
  return key.size() >= 2 && (key.compare(key.size() - 2, 2, "__") == 0 || key.compare(0, 2, "__") == 0);
}

class Checker {
 public:
  Checker(std::string_view text, const Options& o) : text_(text), opt_(o) {
    if (KOps::first) KOps::TblInit();
    rep_.lex = KLex::Read(text);
  }

  Report Run() {
    const auto& t = rep_.lex.tokens;
    for (const KLex::Error& e : rep_.lex.errors) AddError(e.code, e.text, e.start, e.end);
    // Programs and operators the text defines ('name' #PGM {...}), first,
    // as a use may stand before the definition.
    for (size_t i = 0; i + 1 < t.size(); ++i) {
      if (t[i].kind != Kind::Quote) continue;
      size_t j = i + 1;
      while (j < t.size() && t[j].kind == Kind::Comment) ++j;
      if (j < t.size() && t[j].kind == Kind::Operator && (t[j].op == KOps::iPgm || t[j].op == KOps::iOpUD) &&
          t[i].end >= t[i].start + 2)
        callables_.insert(Key(text_.substr(t[i].start + 1, t[i].end - t[i].start - 2)));
    }
    work_.push_back({0, t.size(), false});
    while (!work_.empty()) {
      Level l = work_.back();
      work_.pop_back();
      if (l.clauses) {
        Clauses(l);
      } else {
        Statements(l);
      }
      Collect(l);
    }
    if (opt_.warnings) NameWarnings();
    std::stable_sort(rep_.diagnostics.begin(), rep_.diagnostics.end(),
                     [](const Diagnostic& a, const Diagnostic& b) { return a.start < b.start; });
    std::stable_sort(rep_.definitions.begin(), rep_.definitions.end(),
                     [](const Name& a, const Name& b) { return a.start < b.start; });
    std::stable_sort(rep_.reads.begin(), rep_.reads.end(),
                     [](const Name& a, const Name& b) { return a.start < b.start; });
    return std::move(rep_);
  }

 private:
  struct Level {
    size_t begin, end;  // token indices
    bool clauses;       // the inside of a selection's braces
  };

  // ---------------------------------------------------------------- helpers

  const Token& T(size_t i) const { return rep_.lex.tokens[i]; }

  std::string_view TextOf(const Token& t) const { return text_.substr(t.start, t.end - t.start); }

  void AddError(KT::KET code, std::string text, uint32_t s, uint32_t e) {
    if (quiet_) return;
    Diagnostic d;
    d.severity = Severity::Error;
    d.code = code;
    d.text = std::move(text);
    d.start = s;
    d.end = e;
    rep_.diagnostics.push_back(std::move(d));
  }

  void AddWarning(std::string text, uint32_t s, uint32_t e) {
    if (!opt_.warnings) return;
    Diagnostic d;
    d.severity = Severity::Warning;
    d.text = std::move(text);
    d.start = s;
    d.end = e;
    rep_.diagnostics.push_back(std::move(d));
  }

  // The sibling after token i at its level (a closed group is one sibling).
  size_t After(size_t i) const {
    const Token& t = T(i);
    if (t.kind == Kind::Open && t.partner >= 0) return static_cast<size_t>(t.partner) + 1;
    return i + 1;
  }

  bool IsTransparent(const Token& t) const {
    return t.kind == Kind::Comment || t.kind == Kind::Directive || t.kind == Kind::Display;
  }

  // The next sibling from i on that is not a comment (what the control
  // structures read), or `end`.
  size_t NextPart(size_t i, size_t end) const {
    while (i < end && T(i).kind == Kind::Comment) i = After(i);
    return i;
  }

  // The next sibling from i on that is not a comment or directive (what
  // the evaluator folds), or `end`.
  size_t NextValue(size_t i, size_t end) const {
    while (i < end && IsTransparent(T(i))) i = After(i);
    return i;
  }

  bool IsGroup(size_t i, KT::KTT tt) const { return T(i).kind == Kind::Open && T(i).tt == tt; }

  // Queues the inside of every group of the level.
  void Collect(const Level& l) {
    for (size_t i = l.begin; i < l.end; i = After(i)) {
      const Token& t = T(i);
      if (t.kind != Kind::Open || t.partner < 0) continue;
      if (selectBodies_.count(i)) continue;  // queued as clauses by Statements
      work_.push_back({i + 1, static_cast<size_t>(t.partner), false});
    }
  }

  // ---------------------------------------------------------------- control

  // Requires a group of kind `tt` at the next part after `at`; on success
  // returns its index, else reports `message` there and returns `end`.
  size_t Need(size_t at, size_t end, KT::KTT tt, const char* message, const Token& word) {
    size_t j = NextPart(at, end);
    if (j < end && IsGroup(j, tt)) return j;
    if (j < end) {
      const Token& g = T(j);
      AddError(KT::eSyntax, message, g.start, g.kind == Kind::Open && g.groupEnd ? g.groupEnd : g.end);
    } else {
      // Nothing follows: the error stands at the end of what was read.
      const Token& last = at > 0 && at - 1 < rep_.lex.tokens.size() ? T(at - 1) : word;
      uint32_t e = last.kind == Kind::Open && last.groupEnd ? last.groupEnd : last.end;
      AddError(KT::eSyntax, message, word.start, std::max(e, word.end));
    }
    return end;
  }

  // Reads the structure that starts with the control word at i; returns the
  // sibling after it (after the part that failed, if one did: that part is
  // then read again as a statement).
  size_t Control(size_t i, size_t end) {
    const Token& w = T(i);
    size_t j = i + 1;
    auto need = [&](KT::KTT tt, const char* msg) -> bool {
      size_t g = Need(j, end, tt, msg, w);
      if (g >= end) {
        j = NextPart(j, end);
        return false;
      }
      j = After(g);
      return true;
    };
    switch (w.ct) {
      case KT::ctBreak:
      case KT::ctContinue:
        return j;
      case KT::ctReturn: {
        size_t k = j;
        if (k < end && T(k).kind == Kind::Number) return k + 1;
        return j;
      }
      case KT::ctIf: {
        // After a part that failed, the clauses that follow belong to this
        // structure still: they are passed over, not reported again.
        auto skipTail = [&]() {
          for (size_t k = NextPart(j, end); k < end; k = NextPart(j, end)) {
            const Token& n = T(k);
            bool clause = n.kind == Kind::Control && (n.ct == KT::ctElseIf || n.ct == KT::ctElse);
            bool part = n.kind == Kind::Open && (n.tt == KT::ttParen || n.tt == KT::ttBlock);
            if (!clause && !part) break;
            j = After(k);
          }
          return j;
        };
        if (!need(KT::ttParen, "need (test)") || !need(KT::ttBlock, "need {}")) return skipTail();
        for (;;) {
          size_t k = NextPart(j, end);
          if (k < end && T(k).kind == Kind::Control && T(k).ct == KT::ctElseIf) {
            j = k + 1;
            if (!need(KT::ttParen, "need (test)") || !need(KT::ttBlock, "need {}")) return skipTail();
          } else if (k < end && T(k).kind == Kind::Control && T(k).ct == KT::ctElse) {
            j = k + 1;
            need(KT::ttBlock, "need {}");
            return j;
          } else {
            return j;
          }
        }
      }
      case KT::ctFor:
      case KT::ctWhile:
        if (need(KT::ttParen, "need ()")) need(KT::ttBlock, "need {}");
        return j;
      case KT::ctSelect: {
        if (!need(KT::ttParen, "need ()")) return j;
        size_t k = NextPart(j, end);
        if (k < end && IsGroup(k, KT::ttIndex)) j = After(k);
        size_t body = Need(j, end, KT::ttBlock, "need {}", w);
        if (body >= end) {
          j = NextPart(j, end);
          return j;
        }
        if (T(body).partner >= 0) {
          selectBodies_.insert(body);
          work_.push_back({body + 1, static_cast<size_t>(T(body).partner), true});
        }
        return After(body);
      }
      case KT::ctDo: {
        if (!need(KT::ttBlock, "need {}")) return j;
        size_t k = NextPart(j, end);
        if (k < end && T(k).kind == Kind::Control && T(k).ct == KT::ctWhile) {
          j = k + 1;
          need(KT::ttParen, "need ()");
        }
        return j;
      }
      default:
        // A word that starts no structure (":ELSE", ":CASE", ":TRY" ...).
        AddError(KT::eSyntax, std::string(TextOf(w)), w.start, w.end);
        return j;
    }
  }

  // The clauses of a selection: control words, each with its parts, up to
  // the first token that is not one; what follows is never run.
  void Clauses(const Level& l) {
    bool haveDefault = false;
    size_t i = NextPart(l.begin, l.end);
    while (i < l.end && T(i).kind == Kind::Control) {
      const Token& w = T(i);
      size_t j = i + 1;
      bool ok = true;
      if (w.ct == KT::ctCase) {
        if (haveDefault) AddError(KT::eSyntax, "have default", w.start, w.end);
        size_t g = Need(j, l.end, KT::ttParen, "need ()", w);
        ok = g < l.end;
        if (ok) {
          g = Need(After(g), l.end, KT::ttBlock, "need {}", w);
          ok = g < l.end;
          if (ok) j = After(g);
        }
      } else if (w.ct == KT::ctDefault) {
        haveDefault = true;
        size_t g = Need(j, l.end, KT::ttBlock, "need {}", w);
        ok = g < l.end;
        if (ok) j = After(g);
      }
      if (!ok) return;  // a run stops at the first clause that fails
      i = NextPart(j, l.end);
    }
    if (i < l.end) {
      const Token& last = T(l.end - 1);
      AddWarning("the clauses of :SELECT end here: the rest of its braces is never run", T(i).start,
                 last.end);
    }
  }

  // ---------------------------------------------------------------- statements

  bool EndsValue(const Token& t) const {
    switch (t.kind) {
      case Kind::Number: case Kind::Quote: case Kind::Bulk: return true;
      case Kind::Symbol: return !Callable(t);
      case Kind::Close: return t.tt == KT::ttParen;
      default: return false;
    }
  }
  bool StartsValue(const Token& t) const {
    switch (t.kind) {
      case Kind::Number: case Kind::Quote: case Kind::Bulk: return true;
      case Kind::Symbol: return !Callable(t);
      case Kind::Open: return t.tt == KT::ttParen;
      default: return false;
    }
  }
  bool IsLiteral(const Token& t) const { return t.kind == Kind::Number || t.kind == Kind::Quote; }

  // A name the text defines as a program or operator (it acts on what
  // stands beside it instead of joining a strand).
  bool Callable(const Token& t) const { return callables_.count(Key(TextOf(t))) != 0; }

  bool LineBreakBetween(uint32_t a, uint32_t b) const {
    for (uint32_t k = a; k < b; ++k)
      if (text_[k] == '\n' || text_[k] == '\r') return true;
    return false;
  }

  // `prev` below is the index of the previous sibling folded (comments and
  // directives are not), kNone at the start of the level, kStructure after
  // a control structure (a value no strand rule applies to).
  static constexpr size_t kNone = SIZE_MAX, kStructure = SIZE_MAX - 1;

  bool PrevIs(size_t prev, Kind k) const { return prev < kStructure && T(prev).kind == k; }

  void Statements(const Level& l) {
    size_t prev = kNone;
    bool fieldsOnly = false;  // the statement so far is fields (":a :b")
    for (size_t i = l.begin; i < l.end;) {
      const Token& t = T(i);
      if (IsTransparent(t)) {
        i = After(i);
        continue;
      }
      size_t next = After(i);
      bool atStart = prev == kNone || PrevIs(prev, Kind::Separator);
      switch (t.kind) {
        case Kind::Control:
          next = Control(i, l.end);
          break;
        case Kind::Operator:
          next = Operator(i, l.end, atStart, prev);
          break;
        case Kind::Open:
          // An index with nothing to index ("[]" alone is the namespace).
          if (atStart && t.tt == KT::ttIndex && NextValue(i + 1, l.end) != static_cast<size_t>(t.partner))
            AddError(KT::eNotSupp, "Type", t.start, t.groupEnd ? t.groupEnd : t.end);
          break;
        case Kind::Symbol:
          // A name after fields: a run has no rule to join them.
          if (fieldsOnly && !Callable(t)) AddError(KT::eSyntax, "?? operator", t.start, t.end);
          // A name glued to "#" is reported as a "#word" instead.
          if (!(i > l.begin && T(i - 1).kind == Kind::Operator && T(i - 1).end == t.start &&
                text_[T(i - 1).start] == '#'))
            AddRead(t);
          break;
        default:
          break;
      }
      if (opt_.warnings && prev < kStructure && EndsValue(T(prev)) && StartsValue(t) &&
          LineBreakBetween(T(prev).end, t.start)) {
        uint32_t e = t.kind == Kind::Open && t.groupEnd ? t.groupEnd : t.end;
        AddWarning("the line break does not end the statement: this value joins the one before it into one "
                   "strand (end the statement with \";\")",
                   t.start, e);
      }
      fieldsOnly = t.kind == Kind::Field && (atStart || fieldsOnly);
      if (t.kind == Kind::Control && (t.ct == KT::ctBreak || t.ct == KT::ctContinue || t.ct == KT::ctReturn))
        quiet_ = true;
      if (next <= i) next = i + 1;
      // The last token before `next` (a group's Close, an assignment's
      // target) is the previous sibling for the next one.
      prev = t.kind == Kind::Control ? kStructure : next - 1;
      i = next;
    }
    quiet_ = false;
  }

  void AddRead(const Token& t) {
    Name n;
    n.name = std::string(TextOf(t));
    n.key = Key(n.name);
    n.start = t.start;
    n.end = t.end;
    rep_.reads.push_back(std::move(n));
  }

  void AddDefinition(std::string_view name, uint32_t s, uint32_t e, DefKind k) {
    Name n;
    n.name = std::string(name);
    n.key = Key(name);
    n.start = s;
    n.end = e;
    n.kind = k;
    if (k != DefKind::Assign) callables_.insert(n.key);
    rep_.definitions.push_back(std::move(n));
  }

  size_t Operator(size_t i, size_t end, bool atStart, size_t prev) {
    const Token& t = T(i);
    int op = t.op;
    size_t next = i + 1;
    // A value stands before the operator (a structure's value counts); after
    // "=>" and the definitions an operator is read on its own.
    bool valueBefore = prev != kNone && i != idxTarget_ && !PrevIs(prev, Kind::Separator) &&
                       !(PrevIs(prev, Kind::Operator) &&
                         (T(prev).op == KOps::iAssign || T(prev).op == KOps::iIdxAssign ||
                          T(prev).op == KOps::iPgm || T(prev).op == KOps::iOpUD));
    if (prev >= kStructure) prev = kNone;
    if (atStart && !HasNiladic(op) && op != KOps::iArgs && op != KOps::iRef) {
      AddError(KT::eNotSupp, "Niladic", t.start, t.end);
    }
    // With nothing after it that could be its right operand (the end of the
    // statement, or a token a run resolves it before: a block, an index, a
    // control word, another operator), the operator applies to the value
    // before it alone.
    if (valueBefore && op != KOps::iAssign && op != KOps::iIdxAssign && op != KOps::iPgm && op != KOps::iOpUD &&
        op != KOps::iExec && op != KOps::iEach && op != KOps::iRef && !HasMonadic(op)) {
      size_t n = NextValue(next, end);
      bool alone = n >= end || T(n).kind == Kind::Separator || T(n).kind == Kind::Control ||
                   T(n).kind == Kind::Operator ||
                   (T(n).kind == Kind::Open && (T(n).tt == KT::ttBlock || T(n).tt == KT::ttIndex));
      if (alone) AddError(KT::eNotSupp, "Monadic", t.start, t.end);
    }
    // "=>[i]" needs its target after the index.
    if (op == KOps::iIdxAssign) {
      size_t g = NextValue(next, end);
      if (g < end && IsGroup(g, KT::ttIndex)) {
        // "v =>[:name] ns" gives the namespace a member of that name, which
        // a program reads as a name once "#ARGS" brings it in.
        for (size_t k = g + 1; T(g).partner >= 0 && k < static_cast<size_t>(T(g).partner); ++k)
          if (T(k).kind == Kind::Field && T(k).depth == T(g).depth + 1 && T(k).end > T(k).start + 1)
            AddDefinition(TextOf(T(k)).substr(1), T(k).start + 1, T(k).end, DefKind::Assign);
        size_t n = NextValue(After(g), end);
        if (n >= end || T(n).kind == Kind::Separator) AddError(KT::eNotSupp, "Type", t.start, t.end);
        idxTarget_ = n;  // the target, read as a "=>" target is
      }
    }
    // "#word": an operator named by letters that goes on into a name.
    if (next < end && T(next).start == t.end &&
        (T(next).kind == Kind::Symbol || T(next).kind == Kind::Number)) {
      std::string_view sym = TextOf(t);
      if (!sym.empty() && sym[0] == '#' && IsNameChar(sym.back() == '#' ? 'a' : sym.back())) {
        const Token& w = T(next);
        std::string word = std::string(sym) + std::string(TextOf(w));
        AddWarning("\"" + word + "\" names no operator: it reads as \"" + std::string(sym) + "\" followed by \"" +
                       std::string(TextOf(w)) + "\"",
                   t.start, w.end);
      }
    }
    if (op == KOps::iAssign) return Assignment(i, end, prev);
    if ((op == KOps::iPgm || op == KOps::iOpUD) && prev != SIZE_MAX && T(prev).kind == Kind::Quote) {
      const Token& q = T(prev);
      size_t b = NextValue(next, end);
      if (b < end && IsGroup(b, KT::ttBlock) && q.end >= q.start + 2) {
        AddDefinition(text_.substr(q.start + 1, q.end - q.start - 2), q.start + 1, q.end - 1,
                      op == KOps::iPgm ? DefKind::Program : DefKind::Operator);
      }
    }
    if (opt_.warnings && prev != SIZE_MAX && EndsValue(T(prev)) && HasDyadic(op) && op != KOps::iIdxAssign &&
        op != KOps::iCatAssign && op != KOps::iPgm && op != KOps::iOpUD) {
      StrandAfterDyadic(t, next, end);
    }
    return next;
  }

  // "1 2 3 + 10 20 30": only 10 is the right operand; 20 30 join the result.
  void StrandAfterDyadic(const Token& op, size_t at, size_t end) {
    size_t a = NextValue(at, end);
    if (a >= end || !IsLiteral(T(a))) return;
    size_t b = NextValue(a + 1, end);
    if (b >= end || !IsLiteral(T(b)) || LineBreakBetween(T(a).end, T(b).start)) return;
    size_t last = b;
    int more = 1;
    for (size_t c = NextValue(b + 1, end); c < end && IsLiteral(T(c)) && !LineBreakBetween(T(last).end, T(c).start);
         c = NextValue(c + 1, end)) {
      last = c;
      ++more;
    }
    std::string first(TextOf(T(a)));
    std::string rest(text_.substr(T(b).start, T(last).end - T(b).start));
    std::string all(text_.substr(T(a).start, T(last).end - T(a).start));
    AddWarning("only " + first + " is the right operand of \"" + std::string(TextOf(op)) + "\": " + rest +
                   (more > 1 ? " join" : " joins") + " its result (write (" + all + ") for them all)",
               T(a).start, T(last).end);
  }

  // "=>": the target must be a name (or a field, a member chain, a control
  // structure whose value is assigned ...). Without a target the value read
  // last must be a reference; a literal or a field never is.
  size_t Assignment(size_t i, size_t end, size_t prev) {
    const Token& t = T(i);
    size_t j = NextValue(i + 1, end);
    if (j >= end || T(j).kind == Kind::Separator) {
      if (prev != kNone && (IsLiteral(T(prev)) || T(prev).kind == Kind::Bulk || T(prev).kind == Kind::Field))
        AddError(KT::eTarget, "Type", t.start, t.end);
      return j;
    }
    const Token& g = T(j);
    switch (g.kind) {
      case Kind::Symbol: {
        AddDefinition(TextOf(g), g.start, g.end, DefKind::Assign);
        return After(j);
      }
      case Kind::Number:
        AddError(KT::eValue, "Invalid symbol", g.start, g.end);
        return After(j);
      case Kind::Open:
        if (g.tt == KT::ttParen) {
          AddError(KT::eValue, "Invalid symbol", g.start, g.groupEnd ? g.groupEnd : g.end);
        } else if (g.tt == KT::ttBlock) {
          AddError(KT::eSyntax, "=>[]to symbol only", g.start, g.groupEnd ? g.groupEnd : g.end);
        }
        return j;  // its inside is checked as a level; the group is read on
      case Kind::Quote:
      case Kind::Bulk:
        AddError(KT::eSyntax, "=>to symbol only", g.start, g.end);
        return After(j);
      case Kind::Operator:
        if (g.op == KOps::iRef) {
          // "=> @.name": a member of the current namespace, that is a name.
          if (j + 1 < end && T(j + 1).kind == Kind::Field && T(j + 1).start == g.end && T(j + 1).end > g.end + 1)
            AddDefinition(TextOf(T(j + 1)).substr(1), T(j + 1).start + 1, T(j + 1).end, DefKind::Assign);
        } else if (!HasNiladic(g.op)) {
          AddError(KT::eNotSupp, "Niladic", g.start, g.end);
        }
        return After(j);
      default:
        return j;
    }
  }

  // ---------------------------------------------------------------- names

  void NameWarnings() {
    std::unordered_set<std::string> defined;
    for (const Name& d : rep_.definitions) defined.insert(d.key);
    for (const Name& r : rep_.reads) {
      if (defined.count(r.key) || IsImplicitName(r.key)) continue;
      if (opt_.known && opt_.known->count(r.key)) continue;
      AddWarning("\"" + r.name + "\" is read but nothing assigns it (it reads as an empty value)", r.start, r.end);
    }
  }

  std::string_view text_;
  const Options& opt_;
  Report rep_;
  std::vector<Level> work_;
  std::unordered_set<size_t> selectBodies_;
  std::unordered_set<std::string> callables_;
  // Set after ":BREAK", ":CONTINUE" or ":RETURN" up to the end of the
  // level: a run of the text leaves there, so nothing after it can fail.
  bool quiet_ = false;
  // The token after "=>[i]": its target, not an operand.
  size_t idxTarget_ = SIZE_MAX;
};

}  // namespace

std::string Key(std::string_view name) {
  std::string k(name);
  for (char& c : k)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return k;
}

std::string Diagnostic::Message() const {
  if (severity == Severity::Warning) return text;
  return std::string(KT::TypeErrorToName(code)) + ": " + text;
}

bool Report::HasErrors() const {
  for (const Diagnostic& d : diagnostics)
    if (d.severity == Severity::Error) return true;
  return false;
}

Report Check(std::string_view text, const Options& options) {
  Checker c(text, options);
  return c.Run();
}

void LineColumn(std::string_view text, uint32_t offset, uint32_t& line, uint32_t& column) {
  line = 1;
  column = 1;
  if (offset > text.size()) offset = static_cast<uint32_t>(text.size());
  for (uint32_t k = 0; k < offset; ++k) {
    unsigned char c = static_cast<unsigned char>(text[k]);
    if (c == '\n' || (c == '\r' && !(k + 1 < text.size() && text[k + 1] == '\n'))) {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80 && c != '\r') {
      ++column;
    }
  }
}

std::string Format(std::string_view fileName, std::string_view text, const Report& report) {
  std::string out;
  // One pass over the text for all diagnostics (they are in text order).
  uint32_t line = 1, column = 1, at = 0;
  for (const Diagnostic& d : report.diagnostics) {
    uint32_t target = std::min<uint32_t>(d.start, static_cast<uint32_t>(text.size()));
    if (target < at) {
      line = 1;
      column = 1;
      at = 0;
    }
    for (; at < target; ++at) {
      unsigned char c = static_cast<unsigned char>(text[at]);
      if (c == '\n' || (c == '\r' && !(at + 1 < text.size() && text[at + 1] == '\n'))) {
        ++line;
        column = 1;
      } else if ((c & 0xC0) != 0x80 && c != '\r') {
        ++column;
      }
    }
    out += std::string(fileName) + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " +
           (d.severity == Severity::Error ? "error" : "warning") + ": " + d.Message() + "\n";
  }
  return out;
}

}  // namespace KCheck
