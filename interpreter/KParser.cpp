// KParser: the interpreter entry (switches, output sink, text), the
// tokenizer that cuts the text in place, and the evaluator that folds the
// tokens strictly left to right into one value.
#include "KParser.h"

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KAssoc.h"
#include "KBlock.h"
#include "KFuse.h"
#include "KNS.h"
#include "KNum.h"
#include "KOps.h"
#include "KRS.h"
#include "KRef.h"
#include "KSeq.h"
#include "KString.h"

static const char* const kUnit = "Interpreter/KParser";

using KT::KTT;

namespace {

// ------------------------------------------------------------ character classes

enum CharClass : uint8_t {
  ccOther = 0, ccLetter = 1, ccColon = 4, ccDigit = 5, ccDot = 6, ccBracket = 7,
  ccOp = 8, ccSep = 9, ccDollar = 10, ccBlank = 11
};

uint8_t gClass[256];
bool gClassReady = false;

// Operator symbols by first character, in table order (longest first), so
// the tokenizer tries only the symbols that can match; the match itself is
// KOps::OpToken's rule (letters compared without regard to case). Each entry
// keeps the symbol's length and its text with letters folded to capitals.
struct OpSymbol {
  int op;
  int len;
  std::string folded;
};
std::vector<OpSymbol> gOpsByFirst[256];

inline char FoldCase(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Built once, with the type tables and the operator table, when the first
// parse state is set up.
void BuildClasses() {
  if (gClassReady) return;
  KT::Init();
  KOps::TblInit();
  auto set = [](const char* s, CharClass c) {
    for (; *s; ++s) gClass[static_cast<unsigned char>(*s)] = c;
  };
  set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", ccLetter);
  set(":", ccColon);
  set("0123456789_", ccDigit);
  set(".", ccDot);
  set("()[]{}'\"", ccBracket);
  set("`,+-<>?~!|=@#%&*^\\/", ccOp);
  set(";", ccSep);
  set("$", ccDollar);
  set(" \n\t\r", ccBlank);
  for (int i = 0; i < KOps::nOps; ++i) {
    const char* sym = KOps::fOpsTbl[i].symbol;
    OpSymbol e{i, static_cast<int>(std::strlen(sym)), sym};
    for (char& c : e.folded) c = FoldCase(c);
    gOpsByFirst[static_cast<unsigned char>(sym[0])].push_back(std::move(e));
  }
  gClassReady = true;
}

// The operator index of the longest symbol that begins at p (p < end), or
// -1; `len` receives the symbol's length.
int FindOperator(const char* p, const char* end, int& len) {
  const ptrdiff_t room = end - p;
  for (const OpSymbol& e : gOpsByFirst[static_cast<unsigned char>(*p)]) {
    if (e.len > room) continue;
    int k = 0;
    while (k < e.len && FoldCase(p[k]) == e.folded[static_cast<size_t>(k)]) ++k;
    if (k == e.len) {
      len = e.len;
      return e.op;
    }
  }
  return -1;
}

inline uint8_t Cls(char c) { return gClass[static_cast<unsigned char>(c)]; }
inline bool IsNameChar(char c) { return Cls(c) == ccLetter || Cls(c) == ccDigit; }
inline bool IsDigitOrUnder(char c) { return Cls(c) == ccDigit; }
inline bool IsDecDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsLetter(char c) { return Cls(c) == ccLetter; }

// ------------------------------------------------------------ control words

// Searched in order; the first word that is a case-insensitive prefix of the
// text wins, so every longer word stands before its shorter prefix.
struct ControlWord {
  const char* word;
  int len;
  KT::KCT kind;
};

const ControlWord kControlWords[32] = {
    {"::?", 3, KT::ctElseIf},      {"::", 2, KT::ctElse},        {":BREAK", 6, KT::ctBreak},
    {":CASE", 5, KT::ctCase},      {":CATCH", 6, KT::ctCatch},   {":CONTINUE", 9, KT::ctContinue},
    {":DEFAULT", 8, KT::ctDefault}, {":DO", 3, KT::ctDo},         {":ELSEIF", 7, KT::ctElseIf},
    {":ELSE", 5, KT::ctElse},      {":FOR", 4, KT::ctFor},       {":IF", 3, KT::ctIf},
    {":RETURN", 7, KT::ctReturn},  {":SELECT", 7, KT::ctSelect}, {":THROW", 6, KT::ctThrow},
    {":TRY", 4, KT::ctTry},        {":UNTIL", 6, KT::ctUntil},   {":WHILE", 6, KT::ctWhile},
    {":|", 2, KT::ctCase},         {":~", 2, KT::ctCatch},       {":->", 3, KT::ctContinue},
    {":*", 2, KT::ctDefault},      {":+", 2, KT::ctDo},          {":??", 3, KT::ctWhile},
    {":?", 2, KT::ctIf},           {":@&", 3, KT::ctFor},        {":<-", 3, KT::ctReturn},
    {":^", 2, KT::ctSelect},       {":!!", 3, KT::ctThrow},      {":!", 2, KT::ctBreak},
    {":-", 2, KT::ctUntil},        {":", 1, KT::ctMember},
};

const ControlWord& MatchControl(const char* p, const char* end) {
  for (const ControlWord& w : kControlWords) {
    if (end - p < w.len) continue;
    int i = 0;
    for (; i < w.len; ++i) {
      char c = p[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != w.word[i]) break;
    }
    if (i == w.len) return w;
  }
  return kControlWords[31];
}

// Directive and display tokens: handled, then the kinds before them are
// restored so they do not split an expression.
inline bool IsTransparent(KTT k) {
  switch (k) {
    case KT::ttComment: case KT::ttCommentsOn: case KT::ttCommentsOff: case KT::ttDisplay:
    case KT::ttParseOn: case KT::ttParseOff: case KT::ttTraceOn: case KT::ttTraceOff:
    case KT::ttVerboseOn: case KT::ttVerboseOff: case KT::ttIgnoreD: case KT::ttIgnoreD2:
    case KT::ttIgnoreS:
      return true;
    default:
      return false;
  }
}

// Tokens the tokenizer drops when asked to skip directives.
inline bool IsSkippable(KTT k) {
  switch (k) {
    case KT::ttComment: case KT::ttCommentsOn: case KT::ttCommentsOff: case KT::ttParseOff:
    case KT::ttParseOn: case KT::ttIgnoreS: case KT::ttTraceOff: case KT::ttTraceOn:
      return true;
    default:
      return false;
  }
}

// The kind a value leaves behind when it arrives in L (18 stands for an
// empty value, 25 for a reference).
constexpr KTT kKindNoValue = static_cast<KTT>(18);

}  // namespace

// ============================================================ parse state

KPParser::KPParser(KSeq* c) : chain(c) {
  BuildClasses();
  if (chain) chain->Reference(true);
}

KPParser::KPParser(KPParser* p) : parent(p) {
  BuildClasses();
  outer = p;
  if (!p) return;
  swComments = p->swComments;
  swParse = p->swParse;
  swStop = p->swStop;
  swTrace = p->swTrace;
  swVerbose = p->swVerbose;
  chain = p->chain;
  if (chain) chain->Reference(true);
  out = p->out;
  depth = p->depth + 1;
  block = p->block;
}

KPParser::~KPParser() {
  delete spare;
  if (chain) KB::DoneWith(chain);
  delete[] code;
}

void KPParser::Renew(KPParser* p) {
  swComments = p->swComments;
  swParse = p->swParse;
  swStop = p->swStop;
  swTrace = p->swTrace;
  swVerbose = p->swVerbose;
  if (chain != p->chain) {
    if (p->chain) p->chain->Reference(true);
    if (chain) KB::DoneWith(chain);
    chain = p->chain;
  }
  out = p->out;
  block = p->block;
  depth = p->depth + 1;
}

void KPParser::Release() {
  if (!L.Is(KT::tNV)) L.Clear();
  if (!resumeL.Is(KT::tNV)) resumeL.Clear();
  if (!R.Is(KT::tNV)) R.Clear();
  if (!U.Is(KT::tNV)) U.Clear();
  if (!argNS.Is(KT::tNV)) argNS.Clear();
  if (!savedState.L.Is(KT::tNV)) savedState.L.Clear();
  savedState.active = false;
}

KChild::KChild(KPParser* parent) : parent_(parent) {
  if (parent && parent->spare) {
    ps_ = parent->spare;
    parent->spare = nullptr;
    ps_->Renew(parent);
  } else {
    ps_ = new KPParser(parent);
  }
}

KChild::~KChild() {
  if (parent_ && !parent_->spare) {
    try {
      ps_->Release();
      parent_->spare = ps_;
      return;
    } catch (...) {
      // Could not empty the registers: the state is not kept.
    }
  }
  delete ps_;
}

void KPParser::CmdSet(const char* text, size_t n, bool stripEnds) {
  if (stripEnds) {
    if (n >= 2) {
      ++text;
      n -= 2;
    } else {
      n = 0;
    }
  }
  // A top-level text is the host's text; a child's text is part of it when
  // it is a slice of its parent's buffer (a group, a control structure's
  // block), else it came from elsewhere (stored code, a value's text).
  std::ptrdiff_t at = -1;
  if (!parent) {
    at = 0;
  } else if (parent->base >= 0 && parent->code) {
    const auto t = reinterpret_cast<std::uintptr_t>(text);
    const auto from = reinterpret_cast<std::uintptr_t>(parent->code);
    const auto to = reinterpret_cast<std::uintptr_t>(parent->codeEnd);
    if (t >= from && t <= to && n <= to - t) at = parent->base + static_cast<std::ptrdiff_t>(t - from);
  }
  char* buf = code;
  if (!buf || codeCap < n + 1) {
    buf = new char[n + 1];
    delete[] code;
    codeCap = n + 1;
  }
  if (n) std::memmove(buf, text, n);
  buf[n] = 0;
  code = buf;
  codeEnd = buf + n;
  base = at;
  saved = *buf;
  tokenEnd = lineStart = countStart = scan = prevStart = buf;
  token = nullptr;
  tokenLen = 0;
  member = colon = 0;
  curTT = KT::ttUnknown;
  curCT = KT::ctNone;
  resumed = resumeMid = false;
  memo.reset();
}

void KPParser::CmdSetMemo(const char* text, size_t n, bool stripEnds, std::shared_ptr<KTokMemo>* keep) {
  CmdSet(text, n, stripEnds);
  size_t len = static_cast<size_t>(codeEnd - code);
  if (keep && *keep && (*keep)->text.size() == len && std::memcmp((*keep)->text.data(), code, len) == 0) {
    memo = *keep;
    return;
  }
  memo = KTokMemo::For(code, len);
  if (keep) *keep = memo;
}

// Cuts the token [s, e) out of the buffer and resumes scanning at `resume`.
static inline void Cut(KPParser& ps, char* s, char* e, char* resume) {
  ps.token = s;
  ps.tokenLen = static_cast<int>(e - s);
  ps.tokenEnd = e;
  ps.saved = *e;
  *e = 0;
  ps.scan = resume;
}

// Raises a positioned scanner error with the token [s, e) cut out.
[[noreturn]] static void ScanError(KPParser& ps, char* s, char* e, KT::KET code, const char* detail) {
  Cut(ps, s, e, e);
  throw KPErr(ps.name, code, &ps, detail);
}

// ------------------------------------------------------------ token memo

namespace {
// Texts longer than this are not kept (a host's generated data lines).
constexpr size_t kMemoMaxText = 1u << 16;
// Memos kept by text; the table starts over when it holds more texts or
// more text bytes than this (blocks keep the memos they hold).
constexpr size_t kMemoMaxTexts = 4096;
constexpr size_t kMemoMaxBytes = size_t(1) << 20;

struct MemoTable {
  std::unordered_map<std::string_view, std::shared_ptr<KTokMemo>> byText;
  size_t bytes = 0;
};
MemoTable& Memos() {
  static MemoTable* table = new MemoTable();  // lives to the end of the process
  return *table;
}

// Puts the parse state where the recorded scan left it.
KTT Replay(KPParser& ps, const KTokMemo::Entry& e) {
  char* c = ps.code;
  if (e.line >= 0) ps.lineStart = c + e.line;
  ps.token = e.start >= 0 ? c + e.start : nullptr;
  ps.tokenLen = e.start >= 0 ? e.end - e.start : 0;
  ps.tokenEnd = c + e.end;
  ps.saved = *ps.tokenEnd;
  *ps.tokenEnd = 0;
  ps.scan = c + e.resume;
  ps.opIndex = e.op;
  ps.member = e.member;
  ps.colon = e.colon;
  ps.curCT = e.ct;
  ps.curTT = e.kind;
  return e.kind;
}

// Records the scan that started at text offset `at` (with the line start
// `line` before it). Display tokens change the verbose switch as they are
// read, so they are scanned every time.
void Record(KPParser& ps, size_t at, char* line) {
  if (ps.curTT == KT::ttDisplay) return;
  KTokMemo& m = *ps.memo;
  KTokMemo::Entry e;
  e.start = ps.token ? static_cast<int32_t>(ps.token - ps.code) : -1;
  e.end = static_cast<int32_t>(ps.tokenEnd - ps.code);
  e.resume = static_cast<int32_t>(ps.scan - ps.code);
  e.line = ps.lineStart != line ? static_cast<int32_t>(ps.lineStart - ps.code) : -1;
  e.kind = ps.curTT;
  e.ct = ps.curCT;
  e.op = ps.opIndex;
  e.member = ps.member;
  e.colon = ps.colon;
  m.at[at] = static_cast<int32_t>(m.entries.size());
  m.entries.push_back(e);
  ps.tokIndex = m.at[at];
}
}  // namespace

std::shared_ptr<KTokMemo> KTokMemo::For(const char* t, size_t n) {
  if (n > kMemoMaxText) return nullptr;
  MemoTable& table = Memos();
  auto it = table.byText.find(std::string_view(t, n));
  if (it != table.byText.end()) return it->second;
  if (table.byText.size() >= kMemoMaxTexts || table.bytes + n > kMemoMaxBytes) {
    table.byText.clear();
    table.bytes = 0;
  }
  auto m = std::make_shared<KTokMemo>(t, n);
  table.byText.emplace(std::string_view(m->text), m);
  table.bytes += n;
  return m;
}

KTT KPParser::NextToken(bool skipDirectives) {
  for (;;) {
    if (tokenEnd) *tokenEnd = saved;
    prevStart = scan;
    curTT = KT::ttUnknown;
    curCT = KT::ctNone;
    token = nullptr;
    tokenLen = 0;
    member = colon = 0;
    opIndex = -1;
    tokIndex = -1;
    foundNS = nullptr;
    if (!code || !scan || scan >= codeEnd) return curTT;
    KTT k;
    int32_t at = memo ? memo->at[static_cast<size_t>(scan - code)] : -1;
    if (at >= 0) {
      k = Replay(*this, memo->entries[static_cast<size_t>(at)]);
      tokIndex = at;
    } else {
      size_t at = static_cast<size_t>(scan - code);
      char* line = lineStart;
      k = ScanOne();
      if (memo) Record(*this, at, line);
    }
    if (skipDirectives && IsSkippable(k)) continue;
    return k;
  }
}

KTT KPParser::ScanOne() {
  {
    char* p = scan;
    while (p < codeEnd && Cls(*p) == ccBlank) {
      if (*p == '\r' || *p == '\n') lineStart = p + 1;
      ++p;
    }
    if (p >= codeEnd) {
      scan = codeEnd;
      tokenEnd = codeEnd;
      saved = 0;
      return curTT;
    }
    scan = p;
    char c = p[0];
    char c1 = p + 1 < codeEnd ? p[1] : 0;
    char c2 = p + 2 < codeEnd ? p[2] : 0;
    char c3 = p + 3 < codeEnd ? p[3] : 0;

    // Member and colon flags from the character that ends a name.
    auto nameFlags = [this](char* e) {
      char n = e < codeEnd ? *e : 0;
      if (n == '.' && !(e + 1 < codeEnd && e[1] == '.')) {
        member = 1;
      } else if (n == ':') {
        member = 1;
        colon = 1;
      } else if (n == '[') {
        member = 2;
      }
    };
    auto scanNumber = [this](char* q) {
      while (q < codeEnd) {
        char d = *q;
        if (IsDigitOrUnder(d)) {
          ++q;
        } else if (d == '.' && !(q + 1 < codeEnd && q[1] == '.')) {
          ++q;
        } else if ((d == 'e' || d == 'E') && q + 1 < codeEnd &&
                   (IsDecDigit(q[1]) || q[1] == '+' || q[1] == '_')) {
          q += 2;
        } else {
          break;
        }
      }
      return q;
    };

    bool dotLike = false;
    if (c == ':') {
      const ControlWord& w = MatchControl(p, codeEnd);
      if (w.len > 1) {
        Cut(*this, p, p + w.len, p + w.len);
        curTT = KT::ttControl;
        curCT = w.kind;
        return curTT;
      }
      if (IsDigitOrUnder(c1)) ScanError(*this, p, p + 1, KT::eSyntax, "Invalid member");
      dotLike = true;
    } else if (c == '.') {
      dotLike = true;
    }

    if (dotLike) {
      if (IsDigitOrUnder(c1)) {
        char* e = scanNumber(p + 1);
        Cut(*this, p, e, e);
        curTT = KT::ttNumber;
        return curTT;
      }
      int len = 0;
      int op = FindOperator(p, codeEnd, len);
      if (op >= 0) {
        Cut(*this, p, p + len, p + len);
        opIndex = op;
        curTT = KT::ttOperator;
        return curTT;
      }
      char* e = p + 1;
      while (e < codeEnd && IsNameChar(*e)) ++e;
      nameFlags(e);
      Cut(*this, p + 1, e, e);
      curTT = KT::ttFieldName;
      return curTT;
    }

    switch (Cls(c)) {
      case ccLetter: {
        char* e = p + 1;
        while (e < codeEnd && IsNameChar(*e)) ++e;
        nameFlags(e);
        Cut(*this, p, e, e);
        curTT = KT::ttSymbol;
        return curTT;
      }
      case ccDigit: {
        char* e = scanNumber(p);
        Cut(*this, p, e, e);
        curTT = KT::ttNumber;
        return curTT;
      }
      case ccSep:
        Cut(*this, p, p + 1, p + 1);
        curTT = KT::ttSeparator;
        return curTT;
      case ccBracket: {
        if (c == ')' || c == ']' || c == '}') {
          char detail[2] = {c, 0};
          ScanError(*this, p, p + 1, KT::eNoOpen, detail);
        }
        if (c == '\'' || c == '"') {
          char* q = static_cast<char*>(std::memchr(p + 1, c, static_cast<size_t>(codeEnd - p - 1)));
          if (!q) {
            char detail[2] = {c, 0};
            ScanError(*this, p, codeEnd, KT::eNoClose, detail);
          }
          Cut(*this, p, q + 1, q + 1);
          curTT = KT::ttQuote;
          return curTT;
        }
        char open = c;
        char close = c == '(' ? ')' : c == '[' ? ']' : '}';
        int level = 0;
        char* q = p;
        for (; q < codeEnd; ++q) {
          char d = *q;
          if (d == open) {
            ++level;
          } else if (d == close) {
            if (--level == 0) break;
          } else if (open == '(' && (d == '\'' || d == '"')) {
            char* r = static_cast<char*>(std::memchr(q + 1, d, static_cast<size_t>(codeEnd - q - 1)));
            if (!r) break;
            q = r;
          }
        }
        if (q >= codeEnd || level != 0) {
          char detail[2] = {close, 0};
          ScanError(*this, p, codeEnd, KT::eNoClose, detail);
        }
        char* e = q + 1;
        if (open == '{') {
          char n1 = e < codeEnd ? e[0] : 0;
          char n2 = e + 1 < codeEnd ? e[1] : 0;
          if ((n1 == '.' || n1 == ':') && IsLetter(n2)) {
            member = 1;
            colon = n1 == ':';
          }
        }
        Cut(*this, p, e, e);
        curTT = open == '(' ? KT::ttParen : open == '[' ? KT::ttIndex : KT::ttBlock;
        return curTT;
      }
      case ccDollar: {
        KTT k = KT::ttUnknown;
        switch (c1) {
          case '$': {
            char* e = p + 2;
            while (e < codeEnd && *e != '\n' && *e != '\r') ++e;
            if (e < codeEnd) {
              if (*e == '\r' && e + 1 < codeEnd && e[1] == '\n') ++e;
              ++e;
            }
            Cut(*this, p, e, e);
            k = KT::ttComment;
            break;
          }
          case '*': {
            if (c2 == '*' && c3 != '*') {
              Cut(*this, p, p + 3, p + 3);
              *swVerbose = true;
              k = KT::ttDisplay;
              break;
            }
            char* e = nullptr;
            for (char* q = p + 2; q + 1 < codeEnd; ++q) {
              if (q[0] == '*' && q[1] == '$') {
                e = q + 2;
                break;
              }
            }
            if (!e) ScanError(*this, p, codeEnd, KT::eNoClose, "*$");
            Cut(*this, p, e, e);
            k = KT::ttComment;
            break;
          }
          case 'R': {
            char* d = p + 2;
            char* r = nullptr;
            for (char* q = d; q + 1 < codeEnd; ++q) {
              if (q[0] == '$' && q[1] == 'r') {
                r = q;
                break;
              }
            }
            if (!r) ScanError(*this, p, codeEnd, KT::eSyntax, "need $r");
            size_t dlen = static_cast<size_t>(r - d);
            char* body = r + 2;
            char* found = nullptr;
            if (dlen == 0) {
              found = body;
            } else {
              for (char* q = body; q + dlen <= codeEnd; ++q) {
                if (std::memcmp(q, d, dlen) == 0) {
                  found = q;
                  break;
                }
              }
            }
            if (!found) ScanError(*this, p, codeEnd, KT::eValue, "Delim not found");
            Cut(*this, body, found, found + dlen);
            k = KT::ttBulk;
            break;
          }
          case 'r':
            ScanError(*this, p, p + 2, KT::eSyntax, "No $R");
          case 'C': k = KT::ttCommentsOn; break;
          case 'c': k = KT::ttCommentsOff; break;
          case 'D': k = KT::ttIgnoreD2; break;
          case 'd': k = KT::ttIgnoreD; break;
          case 'P': k = KT::ttParseOn; break;
          case 'p': k = KT::ttParseOff; break;
          case 'S': case 's': k = KT::ttIgnoreS; break;
          case 'T': k = KT::ttTraceOn; break;
          case 't': k = KT::ttTraceOff; break;
          case 'V': k = KT::ttVerboseOn; break;
          case 'v': k = KT::ttVerboseOff; break;
          default:
            Cut(*this, p, p + 1, p + 1);
            *swVerbose = false;
            k = KT::ttDisplay;
            break;
        }
        if (!token) Cut(*this, p, p + 2, p + 2);
        curTT = k;
        return curTT;
      }
      case ccOp: {
        int len = 0;
        int op = FindOperator(p, codeEnd, len);
        if (op < 0) {
          Cut(*this, p, p + 1, p + 1);
          curTT = KT::ttUnknown;
          return curTT;
        }
        char* e = p + len;
        opIndex = op;
        if ((c1 == '.' || c1 == ':') && IsLetter(c2)) member = 1;
        if (e < codeEnd && Cls(*e) == ccOp) ScanError(*this, p, e, KT::eSyntax, "Spacing");
        Cut(*this, p, e, e);
        curTT = KT::ttOperator;
        return curTT;
      }
      default:
        // A character that starts no token. Stopping silently here would run
        // only part of the script and report success, so it is an error.
        ScanError(*this, p, p + 1, KT::eSyntax, "Invalid character");
    }
  }
}

void KPParser::ResumeAt(size_t scanAt, size_t lineAt, KB* carried) {
  scan = prevStart = code + scanAt;
  lineStart = code + lineAt;
  resumed = true;
  resumeMid = carried != nullptr;
  if (carried) resumeL = carried;
}

void KPParser::PutBack() {
  if (tokenEnd) *tokenEnd = saved;
  scan = prevStart;
  token = nullptr;
  tokenLen = 0;
}

void KPParser::PutBackChar(char c) {
  if (!scan || scan <= code) return;
  memo.reset();  // the buffer no longer holds the memo's text
  --scan;
  if (scan == tokenEnd) saved = c;
  *scan = c;
}

bool KPParser::NextIsSeparator() const {
  if (!code || !scan) return false;
  for (const char* p = scan; p < codeEnd; ++p) {
    char c = p == tokenEnd ? saved : *p;  // the cut token's terminator stands in for `saved`
    if (Cls(c) == ccBlank) continue;
    return c == ';';
  }
  return false;
}

void KOutSink::EndLine() {
  std::string line;
  line.swap(pending_);
  AppendLine(line);
}

void KOutSink::AppendValue(KB* v, bool verbose) {
  if (!v || v->typen() != KT::tString || v->alignmentn() != KT::aChar) {
    const std::string& text = KA::AddCR(v ? v->AsString(verbose) : std::string());
    Write(text.data(), text.size());
    EndLine();
    return;
  }
  // KString::AsString shows control characters other than CR and LF as
  // ".", and KA::AsString puts LF after a CR that has none.
  if (verbose) {
    const std::string prefix = v->VerbosePrefix();
    Write(prefix.data(), prefix.size());
  }
  const char* text = static_cast<const KString*>(v)->Str();
  const size_t n = static_cast<size_t>(v->Count());
  constexpr size_t kPiece = 1 << 14;
  char piece[kPiece + 1];
  size_t used = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    piece[used++] = (c < 0x20 && c != '\r' && c != '\n') || c == 0x7F ? '.' : static_cast<char>(c);
    if (c == '\r' && (i + 1 >= n || text[i + 1] != '\n')) piece[used++] = '\n';
    if (used >= kPiece) {
      Write(piece, used);
      used = 0;
    }
  }
  if (used) Write(piece, used);
  EndLine();
}

void KPParser::Emit(const std::string& line) {
  if (out) out->AppendLine(line);
}

void KPParser::ParseLineOn(const char* label, const char* text) {
  Emit(KB::Fmt("L%d:Parse:%s%s", depth, label, text ? text : ""));
}

void KPParser::ParseVal(const char* label, KB* v) {
  if (!Parsing() || !out || !v || v->typen() == KT::tNV) return;
  Emit(KB::Fmt("L%d:Parse:%s%s", depth, label, v->AsString(Verbose()).c_str()));
}

void KPParser::TraceValOn(const char* label, KB* v) {
  if (!v || v->typen() == KT::tNV) return;
  Emit(KB::Fmt("L%d:Trace:%s%s", depth, label, v->AsString(Verbose()).c_str()));
}

// The key string is reused from lookup to lookup: the text is written into
// its own buffer while the capacity suffices (namespaces copy the keys they
// keep, so nothing else holds it).
KString* KPParser::Key(const char* name) {
  int len = static_cast<int>(std::strlen(name));
  KB* kv = nameKey.value;
  if (!nameKey.Is(KT::tString) || kv->Shared() || kv->holds > 1 || kv->descriptor->capacity < len ||
      !kv->descriptor->data) {
    nameKey.Owns(new KString(' ', 0, len > 32 ? len : 32));
    kv = nameKey.value;
  }
  char* buf = static_cast<char*>(kv->descriptor->data);
  std::memcpy(buf, name, static_cast<size_t>(len));
  buf[len] = 0;
  kv->descriptor->count = len;
  return static_cast<KString*>(kv);
}

KNS* KPParser::CurNS() const {
  KB* last = chain ? chain->Last() : nullptr;
  if (!last || (last->typen() != KT::tNS && last->typen() != KT::tCV)) KTHROW(KT::eSystem, "Corrupted NS Seq");
  return static_cast<KNS*>(last);
}

// ============================================================ evaluator

namespace {

using KParserOps = KParser;

inline bool IsType(KA& a, KT::KTO t) { return a.value->typen() == t; }
inline bool IsNV(KA& a) { return a.value->typen() == KT::tNV; }
inline bool IsBlockLike(KT::KTO t) { return t == KT::tBlock || t == KT::tPgm || t == KT::tOpUD; }

// A new sequence holding the given values (each referenced).
KSeq* MakeSeq(std::initializer_list<KB*> items) {
  KSeq* s = new KSeq();
  try {
    for (KB* v : items) s->Append(v, false);
  } catch (...) {
    KB::DoneWith(s);
    throw;
  }
  return s;
}

KB* SeqAt(KA& a, int i) {
  if (!KSeq::IsSeq(a.value)) KTHROW(KT::eValue, "Not Seq");
  KB* v = (*static_cast<KSeq*>(a.value))[i];
  if (!v) KTHROW(KT::eValue, "Not Seq");
  return v;
}

// Makes a value private to the handle before it is changed in place.
void FixInPlace(KA& a) {
  if (a.value->Shared()) a.value->Fix();
}

// Symbol lookup through the chain, innermost first, without copying: the
// stored value itself, or null when no namespace defines the name. No
// reference is taken: the caller takes one (into R or U) before any code
// runs that could rebind the name. `level` receives how many namespaces
// out it was found.
KString* NameKey(KPParser& ps, const char* name) { return ps.Key(name); }

// The cached place of the current symbol token's name, when it still
// holds: the chain is as long as then, the same namespace stands at the
// same position, the slot holds an entry spelt exactly as the name, and no
// namespace inside it has the name. Gives the chain position, or -1.
int CachedPlace(KPParser& ps, const KTokMemo::Entry& c, const char* name, int len) {
  KSeq* chain = ps.chain;
  int n = chain ? chain->Count() : 0;
  if (!c.ns || c.chainCount != n) return -1;
  KB** slots = chain->Slots();
  int i = c.chainIdx;
  if (slots[i] != c.ns) return -1;
  KNS* ns = c.ns;
  if (c.slot >= ns->Count()) return -1;
  KString* k = ns->AssocPtr(c.slot)->KeyPtr();
  if (!k || k->typen() != KT::tString || k->Len() != len || std::memcmp(k->Str(), name, static_cast<size_t>(len)) != 0)
    return -1;
  for (int j = i + 1; j < n; ++j) {
    KB* e = slots[j];
    KT::KTO t = e->typen();
    if (t != KT::tNS && t != KT::tCV) return -1;
    bool sure = false;
    if (static_cast<KNS*>(e)->IndexOfPlain(name, len, sure) >= 0 || !sure) return -1;
  }
  return i;
}

// Symbol lookup through the chain, innermost first, without copying: the
// stored value itself, or null when no namespace defines the name. No
// reference is taken: the caller takes one (into R or U) before any code
// runs that could rebind the name. `level` receives how many namespaces
// out it was found. The token's memo entry remembers where the name was
// found, so the next run of the same text checks that place first.
KB* Lookup(KPParser& ps, const char* name, int& level) {
  KTokMemo::Entry* c =
      ps.memo && ps.tokIndex >= 0 ? &ps.memo->entries[static_cast<size_t>(ps.tokIndex)] : nullptr;
  int len = static_cast<int>(std::strlen(name));
  KSeq* chain = ps.chain;
  int n = chain ? chain->Count() : 0;
  ps.foundNS = nullptr;
  int i = c ? CachedPlace(ps, *c, name, len) : -1;
  KNS* ns = nullptr;
  int slot = -1;
  if (i >= 0) {
    ns = c->ns;
    slot = c->slot;
  } else {
    KString* key = ps.Key(name);
    KB** slots = n ? chain->Slots() : nullptr;
    for (i = n - 1; i >= 0; --i) {
      KB* e = slots[i];
      KT::KTO t = e->typen();
      if (t != KT::tNS && t != KT::tCV) KTHROW(KT::eSystem, "Corrupted NS Seq");
      slot = static_cast<KNS*>(e)->IndexOf(key);
      if (slot >= 0) {
        ns = static_cast<KNS*>(e);
        break;
      }
    }
    if (!ns) {
      level = 0;
      return nullptr;
    }
    if (c) {
      c->chainCount = n;
      c->chainIdx = i;
      c->ns = ns;
      c->slot = slot;
    }
  }
  KB* v = ns->AssocPtr(slot)->ValPtr();
  v->descriptor->SID = v->ID;  // a value found by name is bound
  level = n - 1 - i;
  v->level = level;
  ps.foundNS = ps.readNS = ns;
  ps.foundSlot = ps.readSlot = slot;
  ps.foundLevel = level;
  return v;
}

// Stores a value under a symbol name through the chain (the current
// namespace or the one enclosing it when that already has the name). When
// the lookup of this very token found the name there, spelt the same way,
// the value goes straight into that entry.
void StoreName(KPParser& ps, const char* name, KA& v) {
  if (v.value->typen() == KT::tSeqEa) v.value->descriptor->type = KT::tSeq;
  KSeq* chain = ps.chain;
  if (ps.foundNS && ps.foundLevel <= 1 && chain && chain->Count() > ps.foundLevel &&
      chain->Slots()[chain->Count() - 1 - ps.foundLevel] == ps.foundNS && ps.foundSlot < ps.foundNS->Count()) {
    KAssoc* a = ps.foundNS->AssocPtr(ps.foundSlot);
    KString* k = a->KeyPtr();
    size_t len = std::strlen(name);
    if (k && k->typen() == KT::tString && static_cast<size_t>(k->Len()) == len &&
        std::memcmp(k->Str(), name, len) == 0) {
      v.value->descriptor->SID = v.value->ID;
      a->ValSet(v.value);
      KB* stored = a->ValPtr();
      stored->descriptor->SID = stored->ID;
      return;
    }
  }
  if (!KNS::Put(ps.chain, NameKey(ps, name), v.value, KT::ntSymbol)) KTHROW(KT::eValue, "Invalid name");
}

void SaveState(KPParser& ps) {
  if (ps.savedState.active) return;
  ps.savedState.L = ps.L;
  ps.savedState.prevTT = ps.prevTT;
  ps.savedState.newOp = ps.newOp;
  ps.savedState.pendOp = ps.pendOp;
  ps.savedState.active = true;
  ps.L.Clear();
  ps.prevTT = KT::ttUnknown;
  ps.newOp = ps.pendOp = -1;
}

void RestoreState(KPParser& ps) {
  if (!ps.savedState.active) return;
  ps.L = ps.savedState.L;
  ps.savedState.L.Clear();
  ps.prevTT = ps.savedState.prevTT;
  ps.newOp = ps.savedState.newOp;
  ps.pendOp = ps.savedState.pendOp;
  ps.savedState.active = false;
}

// The display check: a pending "$" prints L once.
void DisplayCheck(KPParser& ps) {
  if (ps.displayCount == 0) return;
  --ps.displayCount;
  if (!ps.out) KTHROW(KT::eNULL, "No Output");
  ps.out->AppendValue(ps.L.value, ps.Verbose());
}

KT::KBR RunExec(KPParser& ps, KA& result, KTT& lastKind, KBlock* blk);

// Runs text in a child parse state; `io` is the incoming and resulting value.
KT::KBR RunChild(KPParser& ps, const char* text, size_t n, bool strip, KA& io) {
  if (ps.depth + 1 > KT::DepthLimit) KTHROW(KT::eDepth, "");
  KChild child(&ps);
  child->CmdSetMemo(text, n, strip, nullptr);
  KTT last = KT::ttUnknown;
  return RunExec(*child, io, last, ps.block);
}

// "#X": runs the text form of L in a child; L receives the result.
void ExecText(KPParser& ps, KA& l) {
  std::string text;
  if (l.Is(KT::tString) || l.Is(KT::tField)) {
    text = KB::TextOf(l.value);
  } else {
    text = l.value->AsString(false);
  }
  l.Clear();
  RunChild(ps, text.data(), text.size(), false, l);
}

// A Nil operand next to a number or clock becomes the numeric nil, next to
// a string an empty string.
void NilNext(KA& nil, KA& other) {
  KT::KTO t = other.Type();
  if (t == KT::tNum || t == KT::tClock) {
    if (nil.value->alignmentn() == KT::aFloat) {
      nil.Owns(new KNum(KT::fNil));
    } else {
      nil.Owns(new KNum(static_cast<int32_t>(KT::iNil)));
    }
  } else if (t == KT::tString) {
    nil.Owns(new KString());
  }
}

// Replaces a reference by the value it designates, without copying.
void Deref(KA& a) {
  if (a.Is(KT::tRef)) {
    KB* t = static_cast<KRef*>(a.value)->ValPtr(true);
    if (t) {
      a = t;
    } else {
      a.Clear();
    }
  }
}

const char* OpName(int op) { return op == -2 ? "UserDefOp" : KOps::OpNameGet(op); }

// The entry the value in hand was just read from, when that entry still holds
// this very value object. After `x => y` both names hold one object, so the
// value alone cannot tell which name the script wrote before "@".
KAssoc* EntryJustRead(KPParser& ps, KB* v) {
  KSeq* chain = ps.chain;
  if (!ps.readNS || !chain) return nullptr;
  KB** slots = chain->Slots();
  bool inChain = false;
  for (int i = 0, n = chain->Count(); i < n && !inChain; ++i) inChain = slots[i] == ps.readNS;
  if (!inChain) return nullptr;
  KAssoc* a = ps.readNS->AssocPtr(ps.readSlot);
  return a && a->ValPtr() == v ? a : nullptr;
}

// Builds a reference value through the "@" operator: to the entry just read
// when it holds the value, else from (chain, value) as the operator decides.
void RefOfValue(KPParser& ps, KA& l) {
  KT::KTO t = l.Type();
  if (t != KT::tRef && t != KT::tAssoc && l.value->level < 2) {
    if (KAssoc* a = EntryJustRead(ps, l.value)) {
      ps.ParseLine("Monadic op:", KOps::OpNameGet(KOps::iRef));
      l.Owns(new KRef(a));
      return;
    }
  }
  KA pair;
  pair.Owns(MakeSeq({ps.chain, l.value}));
  l = pair;
  KParser::Monadic(&ps, l, KOps::iRef);
}

// The comparisons: they read both operands and answer a new one-bit value.
bool ReadsOnly(KOps::FnD f) {
  static const KOps::FnD kComparisons[] = {&KOps::op3C, &KOps::op3C3D, &KOps::op3D,
                                           &KOps::op3E, &KOps::op3E3D, &KOps::op7E3D};
  for (KOps::FnD c : kComparisons)
    if (f == c) return true;
  return false;
}

// Whether a dyadic application only reads its right operand, so a named
// right operand need not be copied first: "+", "-" and "*" of two Int or
// two Float numbers of one length, or with one side a single element (no
// stretching, no conversion touches the right).
bool ReadsRight(int op, KA& l, KA& r) {
  static const int plus = KOps::OpIdxGet("+"), minus = KOps::OpIdxGet("-"), times = KOps::OpIdxGet("*");
  if (op < 0 || (op != plus && op != minus && op != times)) return false;
  if (r.value->SID() < 0 || l.Type() != KT::tNum || r.Type() != KT::tNum) return false;
  const KT::KAL al = l.Align();
  if ((al != KT::aInt && al != KT::aFloat) || r.Align() != al || !r.value->descriptor->data) return false;
  const int nl = l.Cnt(), nr = r.Cnt();
  return nl == nr || nl == 1 || nr == 1;
}

}  // namespace

// ------------------------------------------------------------ application

void KParser::Dyadic(KPParser* ps, KA& l, KA& r, int op) {
  if (l.value->mark) {
    KB* t = l.value;
    l.value = r.value;
    r.value = t;
    r.value->mark = 0;
  }
  if (l.Is(KT::tRef)) KA::Reveal(l);
  if (l.Is(KT::tNil) && !r.Is(KT::tNil)) NilNext(l, r);
  if (r.Is(KT::tNil) && !l.Is(KT::tNil)) NilNext(r, l);
  bool lEach = l.Is(KT::tSeqEa), rEach = r.Is(KT::tSeqEa);
  if (op < 0 && op != -2) KTHROW(KT::eValue, (lEach || rEach) ? "Op" : "Each");
  if (op == -2) {
    ps->ParseLine("Dyadic op:", "UserDefOp");
    if (!lEach) {
      KBlock::ApplyUD(ps, ps->U.value, l, &r, 3);
      return;
    }
  } else {
    ps->ParseLine("Dyadic op:", KOps::OpNameGet(op));
  }
  KOps::FnD f = op >= 0 ? KOps::FnDGet(op) : nullptr;
  if (op >= 0 && (!f || f == &KOps::opErrD)) KTHROW(KT::eNotSupp, "Dyadic");
  // A comparison only reads its operands and answers a new bit, so a named
  // operand need not be copied first (a reference is still resolved).
  bool readOnly = ReadsOnly(f);
  // The ID of a named right operand's copy that is not made (ReadsRight):
  // taken at the copy's turn, and carried afterwards by a one-element value
  // that takes the copy's place in the register.
  int32_t copyId = 0;
  if (op == KOps::iCatAssign) {
    Deref(r);
  } else if (!readOnly || r.Is(KT::tRef)) {
    if (ReadsRight(op, l, r)) copyId = ++KB::fLastID;
    else KA::Reveal(r);
  }
  if (!readOnly || l.Is(KT::tRef)) KA::Reveal(l);
  lEach = l.Is(KT::tSeqEa);
  rEach = r.Is(KT::tSeqEa);
  if (!lEach && !rEach) {
    f(l, r);
    if (copyId) {
      KNum* stand = new KNum(int32_t{0});  // a value, as the copy was (the register is not empty)
      stand->ID = copyId;
      --KB::fLastID;
      r.Owns(stand);
    }
    return;
  }
  KSeq* ls = lEach ? static_cast<KSeq*>(l.value) : nullptr;
  KSeq* rs = rEach ? static_cast<KSeq*>(r.value) : nullptr;
  if (ls && rs && ls->Count() != rs->Count()) KTHROW(KT::eNotSupp, "Length mismatch");
  int n = ls ? ls->Count() : rs->Count();
  KA res;
  res.Owns(new KSeq());
  KSeq* out = static_cast<KSeq*>(res.value);
  for (int i = 0; i < n; ++i) {
    KA a(ls ? (*ls)[i] : l.value);
    KA b(rs ? (*rs)[i] : r.value);
    // Each pair is an application of its own: a Nil beside a number, clock
    // or string is turned into that kind's nil, as for plain operands.
    if (a.Is(KT::tNil) && !b.Is(KT::tNil)) NilNext(a, b);
    if (b.Is(KT::tNil) && !a.Is(KT::tNil)) NilNext(b, a);
    if (op == -2) {
      KBlock::ApplyUD(ps, ps->U.value, a, &b, 3);
    } else {
      f(a, b);
    }
    out->Append(a.value, false);
  }
  l = res;
}

void KParser::Monadic(KPParser* ps, KA& l, int op) {
  if (l.Is(KT::tRef) && op != KOps::iIsRef) KA::Reveal(l);
  if (op < 0 && op != -2) KTHROW(KT::eValue, l.Is(KT::tSeqEa) ? "Op" : "Each");
  bool each = l.Is(KT::tSeqEa);
  if (op == -2) {
    ps->ParseLine("Monadic op:", "UserDef");
    if (!each) {
      KBlock::ApplyUD(ps, ps->U.value, l, nullptr, 2);
      return;
    }
  } else {
    ps->ParseLine("Monadic op:", KOps::OpNameGet(op));
  }
  KOps::FnM f = op >= 0 ? KOps::FnMGet(op) : nullptr;
  if (op >= 0 && (!f || f == &KOps::opErrM)) KTHROW(KT::eNotSupp, "Monadic");
  if (op == KOps::iSys) {
    KA pair;
    pair.Owns(MakeSeq({l.value, ps->chain}));
    l = pair;
    f(l);
    return;
  }
  if (!each || op == KOps::iAtEach) {
    f(l);
    return;
  }
  KSeq* ls = static_cast<KSeq*>(l.value);
  KA res;
  res.Owns(new KSeq());
  KSeq* out = static_cast<KSeq*>(res.value);
  for (int i = 0, n = ls->Count(); i < n; ++i) {
    KA a((*ls)[i]);
    if (op == -2) {
      KBlock::ApplyUD(ps, ps->U.value, a, nullptr, 2);
    } else {
      f(a);
    }
    out->Append(a.value, false);
  }
  l = res;
}

void KParser::Niladic(KPParser* ps, KA& l, int op) {
  ps->ParseLine("Niladic op:", OpName(op));
  if (op == -2) {
    l.Clear();
    KBlock::ApplyUD(ps, ps->U.value, l, nullptr, 1);
    return;
  }
  if (op < 0) KTHROW(KT::eValue, "Each");
  KOps::FnN f = KOps::FnNGet(op);
  if (!f || f == &KOps::opErrN) KTHROW(KT::eNotSupp, "Niladic");
  if (op == KOps::iSys) {
    l.Owns(new KSys(ps->chain));
    return;
  }
  f(l);
}

namespace {

// ------------------------------------------------------------ member chains

// Skips the ".name" selectors after an undefined name.
void SkipMembers(KPParser& ps) {
  KTT keep = ps.curTT;
  while (ps.member == 1) {
    if (ps.NextToken(true) != KT::ttFieldName) {
      ps.PutBack();
      break;
    }
  }
  ps.curTT = keep;
}

// Walks ".name" (and ":name") selectors while the value in `v` is a
// container: blocks answer their fields, containers and namespaces their
// members, references their target. Stops before a selector on any other
// value, which the main loop then reads as a field query.
void WalkMembers(KPParser& ps, KA& v) {
  KTT keep = ps.curTT;
  while (ps.member == 1) {
    KT::KTO t = v.Type();
    if (t == KT::tRef) {
      Deref(v);
      continue;
    }
    if (!IsBlockLike(t) && t != KT::tCV && t != KT::tNS) break;
    bool colonSel = ps.colon != 0;
    if (ps.NextToken(true) != KT::ttFieldName) {
      ps.PutBack();
      break;
    }
    ps.ParseLine("Field:", ps.token);
    if (IsBlockLike(t) || (t == KT::tCV && colonSel)) {
      KField f(ps.token);
      v.Owns(v.value->FieldGet(&f));
    } else {
      KB* m = static_cast<KNS*>(v.value)->ValPtr(ps.token);
      if (m) {
        v = m;
      } else {
        v.Clear();
      }
    }
  }
  ps.curTT = keep;
}

// Reads the selector names that follow (for assignments into containers).
void ReadSelectors(KPParser& ps, std::vector<std::string>& names) {
  KTT keep = ps.curTT;
  while (ps.member == 1) {
    if (ps.NextToken(true) != KT::ttFieldName) {
      ps.PutBack();
      break;
    }
    ps.ParseLine("Field:", ps.token);
    names.emplace_back(ps.token, static_cast<size_t>(ps.tokenLen));
  }
  ps.curTT = keep;
}

// Puts v under name in a namespace or container.
void PutMember(KNS* ns, const std::string& name, KB* v) {
  if (v->typen() == KT::tSeqEa) v->descriptor->type = KT::tSeq;
  if (!ns->Put(name.c_str(), v, KT::ntSymbol)) KTHROW(KT::eValue, "Invalid name");
}

// Walks names[0..n-2] from the container `top`, creating containers for
// missing (or non-container) members, and stores v under the last name.
void StoreThrough(KNS* top, const std::vector<std::string>& names, KB* v) {
  KNS* cur = top;
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    KB* m = cur->ValPtr(names[i].c_str());
    if (m && m->typen() == KT::tRef) m = static_cast<KRef*>(m)->ValPtr(true);
    if (!m || (m->typen() != KT::tCV && m->typen() != KT::tNS)) {
      KCV* fresh = new KCV();
      try {
        PutMember(cur, names[i], fresh);
      } catch (...) {
        KB::DoneWith(fresh);
        throw;
      }
      KB::DoneWith(fresh);
      m = fresh;
    }
    cur = static_cast<KNS*>(m);
  }
  PutMember(cur, names.back(), v);
}

// ------------------------------------------------------------ assignment

// value => name (with an optional selector chain). L holds the value.
void AssignSymbol(KPParser& ps, const char* name, KA& cur, int level) {
  std::string sym(name);
  ps.ParseLine("=>", sym.c_str());
  std::vector<std::string> names;
  bool selector = ps.member == 1;
  if (selector) ReadSelectors(ps, names);
  if (level >= 2) cur.Clear();
  KT::KTO t = cur.Type();
  KA& L = ps.L;
  if (t == KT::tRef && !L.Is(KT::tRef)) {
    KRef* ref = static_cast<KRef*>(cur.value);
    KB* target = ref->ValPtr(true);
    if (names.empty()) {
      if (target && (target->typen() == KT::tNS)) KTHROW(KT::eValue, "Not Field");
      if (L.Is(KT::tSeqEa)) L.value->descriptor->type = KT::tSeq;
      ref->ValSet(L.value);
    } else {
      if (!target) KTHROW(KT::eValue, "Type");
      KT::KTO tt = target->typen();
      if (tt != KT::tNS && tt != KT::tCV) KTHROW(KT::eNotSupp, "Type replacing ref");
      StoreThrough(static_cast<KNS*>(target), names, L.value);
    }
  } else if (!names.empty() && IsBlockLike(t)) {
    // Members of a block cannot be set.
  } else if (!names.empty() && (t == KT::tCV || t == KT::tNS)) {
    // A namespace is entered like a container: its other names stay.
    StoreThrough(static_cast<KNS*>(cur.value), names, L.value);
  } else if (!names.empty()) {
    KA top;
    top.Owns(new KCV());
    StoreThrough(static_cast<KNS*>(top.value), names, L.value);
    StoreName(ps, sym.c_str(), top);
  } else {
    // A name that holds code receives the revealed value; any other name
    // (and a reference assigned to a reference) takes L as it is.
    if (IsBlockLike(t)) KA::Reveal(L);
    StoreName(ps, sym.c_str(), L);
  }
  ps.curTT = KT::ttSeqValue;
  ps.curVT = L.Type();
}

// Stores L's pieces for "=>[": L = (value, index, target).
void IdxAssignFromL(KPParser& ps, KA& target) {
  KA newV(SeqAt(ps.L, 0));
  KA idx(SeqAt(ps.L, 1));
  KA::IdxAssign(target, idx, newV);
  ps.L = newV;
}

// ------------------------------------------------------------ strands

// How a value joins L when values stand side by side after a computed value.
void JoinComputed(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  if (L.value->SID() == -1) {
    if (IsNV(L)) {
      L = R;
    } else if (L.Is(KT::tSeq)) {
      FixInPlace(L);
      static_cast<KSeq*>(L.value)->Append(R.value, false);
    } else {
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
    }
  } else {
    L.Owns(MakeSeq({L.value, R.value}));
  }
}

// ------------------------------------------------------------ token kinds

// A numeric literal. A run of at most nine decimal digits, the common case,
// is built directly: it is the one-element integer array KNum's parser makes
// of it. Anything else goes through that parser.
KB* NumberLiteral(const char* t, int n) {
  if (n >= 1 && n <= 9) {
    int32_t v = 0;
    int i = 0;
    for (; i < n && t[i] >= '0' && t[i] <= '9'; ++i) v = v * 10 + (t[i] - '0');
    if (i == n) return new KNum(v);
  }
  return new KNum(t, n);
}

// A number written beside a number strand that only the parser holds joins
// it in place (the buffer grows geometrically), so a line of n numbers
// costs O(n); the result is the one catenation would make.
bool AppendToStrand(KA& L, KA& R) {
  KB* l = L.value;
  KB* r = R.value;
  if (l->typen() != KT::tNum || r->typen() != KT::tNum || l->SID() != -1 || l->holds != 1 || l->Shared())
    return false;
  KNum* ln = static_cast<KNum*>(l);
  KNum* rn = static_cast<KNum*>(r);
  if (!(ln->IsInt() || ln->IsFlt()) || !(rn->IsInt() || rn->IsFlt())) return false;
  ln->Append(rn);
  return true;
}

void OnNumber(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Num:", ps.token);
  R.Owns(NumberLiteral(ps.token, ps.tokenLen));
  ps.curVT = KT::tNum;
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      ps.ParseVal("R=>L:", R.value);
      L = R;
      return;
    case KT::ttOperator:
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      return;
    case KT::ttParen:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      return;
    default:
      break;
  }
  if (L.value->SID() == -1 || L.Is(KT::tNil)) {
    switch (ps.prevVT) {
      case KT::tBit: case KT::tField: case KT::tFL: case KT::tNil: case KT::tNum:
      case KT::tNV: case KT::tRef: case KT::tString:
        ps.ParseLine("Catenate:", ps.token);
        if (ps.prevTT == KT::ttNumber && AppendToStrand(L, R)) return;
        KA::Catenate(L, R);
        return;
      case KT::tSeq:
        ps.ParseLine("Sequence:", ps.token);
        if (L.Is(KT::tSeq)) {
          FixInPlace(L);
          static_cast<KSeq*>(L.value)->Append(R.value, false);
        } else {
          KA::StrandEm(L, R);
        }
        return;
      default:
        KTHROW(KT::eValue, "Type Error");
    }
  }
  L.Owns(MakeSeq({L.value, R.value}));
}

void OnQuote(KPParser& ps, KTT kind) {
  KA& L = ps.L;
  KA& R = ps.R;
  if (kind == KT::ttQuote) {
    ps.ParseLine("Quote:", ps.token);
    R.Owns(new KString(ps.token + 1, ps.tokenLen >= 2 ? ps.tokenLen - 2 : 0));
  } else {
    ps.ParseLine("Bulk:", ps.token);
    R.Owns(new KString(ps.token, ps.tokenLen));
  }
  ps.curVT = KT::tString;
  if (ps.pendOp == KOps::iAssign || ps.pendOp == KOps::iIdxAssign) KTHROW(KT::eSyntax, "=>to symbol only");
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
      L = R;
      return;
    case KT::ttBlock:
      ps.ParseVal("R->L:", R.value);
      L = R;
      return;
    case KT::ttFieldName:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      ps.curTT = KT::ttSeqValue;
      return;
    case KT::ttOperator:
      if (ps.pendOp == KOps::iEach) {
        KParser* kp = new KParser(&ps, "");
        KA hold;
        hold.Owns(kp);
        kp->CmdSet(R, false);
        L.Owns(MakeSeq({kp, L.value}));
      }
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      return;
    case KT::ttParen:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      return;
    case KT::ttSeparator:
      ps.ParseVal("R=>L:", R.value);
      L = R;
      return;
    default:
      break;
  }
  switch (ps.prevVT) {
    case KT::tRef:
    case KT::tString:
      ps.ParseLine("To Seq:", ps.token);
      L.Owns(MakeSeq({L.value, R.value}));
      ps.curTT = KT::ttSeqValue;
      return;
    case KT::tArg:
    case KT::tNV:
      ps.ParseVal("R=>L:", R.value);
      L = R;
      return;
    case KT::tSeq:
      ps.ParseLine("Seq Catenate:", ps.token);
      if (L.Is(KT::tSeq) && L.value->SID() == -1) {
        FixInPlace(L);
        static_cast<KSeq*>(L.value)->Append(R.value, false);
      } else {
        L.Owns(MakeSeq({L.value, R.value}));
      }
      ps.curVT = KT::tSeq;
      return;
    default:
      ps.ParseLine("StrandEm:", "");
      KA::StrandEm(L, R);
      return;
  }
}

void OnParen(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Paren:", ps.token);
  const char* text = ps.token;
  size_t n = static_cast<size_t>(ps.tokenLen);
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iAtEach) {
    std::string inside(text, n);
    KParser::Monadic(&ps, L, KOps::iAtEach);
    KA res;
    res.Owns(new KSeq());
    KSeq* out = static_cast<KSeq*>(res.value);
    if (KSeq::IsSeq(L.value)) {
      KSeq* s = static_cast<KSeq*>(L.value);
      for (int i = 0, c = s->Count(); i < c; ++i) {
        KA e((*s)[i]);
        RunChild(ps, inside.data(), inside.size(), true, e);
        out->Append(e.value, false);
      }
    } else {
      KA e(L.value);
      RunChild(ps, inside.data(), inside.size(), true, e);
      out->Append(e.value, false);
    }
    L = res;
    ps.curTT = KT::ttSeqValue;
    ps.newOp = -1;
    return;
  }
  R.Clear();
  RunChild(ps, text, n, true, R);
  ps.curTT = KT::ttParen;
  ps.newOp = ps.pendOp;
  ps.curVT = R.Type();
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iIdxAssign) {
    ps.ParseLine("=>[", "");
    if (!L.Is(KT::tSeq)) KTHROW(KT::eValue, "Not Seq");
    IdxAssignFromL(ps, R);
    ps.newOp = -1;
  } else if (ps.pendOp >= 0 && ps.pendOp == KOps::iAssign) {
    KA::Reveal(L);
    KA::Assign(L, R);
    R = L;
    ps.newOp = -1;
  } else if (ps.pendOp == -1) {
    switch (static_cast<int>(ps.prevTT)) {
      case KT::ttUnknown:
      case KT::ttSeparator:
        ps.ParseVal("R=>L:", R.value);
        L = R;
        break;
      case KT::ttParen:
      case KT::ttQuote:
        L.Owns(MakeSeq({L.value, R.value}));
        break;
      default:
        ps.ParseLine("StrandEm:", "");
        if (IsNV(L)) {
          L = R;
        } else {
          KA::StrandEm(L, R);
        }
        break;
    }
  } else {
    KParser::Dyadic(&ps, L, R, ps.pendOp);
    ps.newOp = -1;
  }
}

void OnIndex(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Index", ps.token);
  SaveState(ps);
  R.Clear();
  RunChild(ps, ps.token, static_cast<size_t>(ps.tokenLen), true, R);
  RestoreState(ps);
  if (ps.pendOp >= 0 && (ps.pendOp == KOps::iAssign || ps.pendOp == KOps::iIdxAssign)) {
    L.Owns(MakeSeq({L.value, R.value, ps.CurNS()}));
    ps.curTT = KT::ttOperator;
    ps.newOp = KOps::iIdxAssign;
    return;
  }
  if (ps.pendOp == -1) {
    if (IsNV(L)) {
      KNS* view = new KNS(ps.CurNS());
      view->exact = 1;
      L.Owns(view);
    }
    if (L.Is(KT::tRef) && !R.Is(KT::tField)) WalkMembers(ps, L);
    if (L.Is(KT::tRef) && (R.Is(KT::tField) || R.Is(KT::tFL))) {
      // Names select from the namespace or container a reference designates.
      KA target(L.value);
      Deref(target);
      if (target.Is(KT::tNS) || target.Is(KT::tCV)) L = target;
    }
  } else if (IsNV(L)) {
    L = ps.CurNS();
    KParser::Niladic(&ps, L, ps.pendOp);
  } else {
    KParser::Monadic(&ps, L, ps.pendOp);
  }
  KA::IndexedBy(L, R);
  ps.curTT = KT::ttSeqValue;
}

KT::KBR OnBlock(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  KT::KBR flow;
  ps.ParseLine("Block:", ps.token);
  KA blk;
  blk.Owns(new KBlock("anon:"));
  static_cast<KBlock*>(blk.value)->CodeSet(ps.token, false);
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
      ps.ParseLine("Anon blk:", ps.token);
      if (ps.member) {
        L = blk;
      } else {
        L.Clear();
        flow = static_cast<KBlock*>(blk.value)->Run(&ps, L);
        flow.Decrement();
      }
      ps.curTT = KT::ttSeqValue;
      return flow;
    case KT::ttSeparator:
      // A block that starts a later statement ends any return it meets.
      L.Clear();
      flow = static_cast<KBlock*>(blk.value)->Run(&ps, L);
      if (flow.kind == 3) flow = KT::KBR();
      ps.curTT = KT::ttSeqValue;
      return flow;
    case KT::ttOperator: {
      int op = ps.pendOp;
      if (op >= 0 && (op == KOps::iPgm || op == KOps::iOpUD)) {
        bool pgm = op == KOps::iPgm;
        if (!L.Is(KT::tString)) KTHROW(KT::eValue, "Need String Left");
        ps.ParseLine(pgm ? "Pgm Def:" : "Op Def:", KOps::OpNameGet(op));
        KBlock* def = pgm ? static_cast<KBlock*>(new KPgm()) : static_cast<KBlock*>(new KOpUD());
        R.Owns(def);
        def->CodeSet(ps.token, false);
        std::string name = KB::TextOf(L.value);
        if (!ps.CurNS()->Put(name.c_str(), def, KT::ntSymbol)) KTHROW(KT::eValue, pgm ? "#pgm name" : "#Op Name");
        L = R;
        ps.newOp = -1;
        ps.curTT = KT::ttSeqValue;
        return flow;
      }
      if (op >= 0 && (op == KOps::iAssign || op == KOps::iIdxAssign)) KTHROW(KT::eSyntax, "=>[]to symbol only");
      ps.ParseLine("NS", "");
      KA ns;
      if (L.Is(KT::tNS)) {
        ns = L;
      } else {
        ns.Owns(new KNS());
      }
      ps.chain->Append(ns.value, false);
      R.Clear();
      try {
        static_cast<KBlock*>(blk.value)->Run(&ps, R);
      } catch (...) {
        ps.chain->UnAppend(1);
        throw;
      }
      ps.chain->UnAppend(1);
      if (op == -1) {
        ps.ParseLine("StrandEm:", "");
        KA::StrandEm(L, R);
      } else {
        KParser::Dyadic(&ps, L, R, op);
        ps.newOp = -1;
      }
      ps.curTT = KT::ttSeqValue;
      return flow;
    }
    default:
      break;
  }
  if (L.Is(KT::tNS)) {
    KA arg(L.value);
    flow = static_cast<KBlock*>(blk.value)->Run(&ps, arg);
    L = arg;
  } else {
    KA res;
    flow = static_cast<KBlock*>(blk.value)->Run(&ps, res);
    L.Owns(MakeSeq({L.value, res.value}));
  }
  flow.Decrement();
  ps.curTT = KT::ttSeqValue;
  return flow;
}

void OnOperator(KPParser& ps) {
  KA& L = ps.L;
  ps.ParseLine("Operator:", ps.token);
  if (ps.newOp != -2) ps.newOp = ps.opIndex >= 0 ? ps.opIndex : KOps::OpIdxGet(ps.token);
  int op = ps.newOp;
  if (op >= 0 && op == KOps::iIdxAssign) {
    ps.ParseLine("Putback '[':", "");
    ps.PutBackChar('[');
  }
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      if (op >= 0 && op == KOps::iArgs) {
        ps.ParseLine("#args", "");
        if (ps.argNS.Is(KT::tNS)) ps.CurNS()->Copy(static_cast<KNS*>(ps.argNS.value));
        ps.curTT = KT::ttUnknown;
        ps.newOp = -1;
      } else if (op >= 0 && op == KOps::iRef) {
        L.Owns(new KRef(ps.CurNS()));
        ps.curTT = KT::ttSeqValue;
        ps.newOp = -1;
      } else {
        KParser::Niladic(&ps, L, op);
        ps.newOp = -1;
        ps.curTT = KT::ttSeqValue;
      }
      return;
    case KT::ttBlock:
      if (op >= 0 && (op == KOps::iPgm || op == KOps::iOpUD)) {
        L = ps.R;
        KParser::Monadic(&ps, L, op);
        ps.curTT = KT::ttDefined;
        ps.newOp = -1;
      } else if (IsBlockLike(ps.R.Type())) {
        KBlock::Call(&ps, ps.R.value, L);
      }
      return;
    case KT::ttOperator:
      if (op >= 0 && op == KOps::iRef && ps.member) {
        SaveState(ps);
        L.Owns(new KRef(ps.CurNS()));
        ps.curTT = KT::ttRefDone;
        ps.newOp = -1;
        return;
      }
      if (ps.pendOp >= 0 && ps.pendOp == KOps::iAssign) ps.ParseLine("=> to Niladic Op:", OpName(op));
      if (op >= 0 && op == KOps::iRef) {
        KA src(L.value);
        Deref(src);
        if (!src.Is(KT::tNS)) KTHROW(KT::eValue, L.Is(KT::tRef) ? "LArg not NS" : "LArg Not NS");
        KNS* cur = ps.CurNS();
        if (src.value != cur) {
          KA keep(src.value);
          cur->Replace(static_cast<KNS*>(keep.value));
        }
      } else {
        KParser::Niladic(&ps, L, op);
      }
      ps.newOp = ps.pendOp = -1;
      ps.curTT = L.Is(KT::tRef) ? KT::ttRefDone : KT::ttSeqValue;
      return;
    default:
      break;
  }
  // A value stands before the operator.
  if (ps.pendOp != -1) {
    if (IsNV(L)) {
      L = ps.CurNS();
      KParser::Niladic(&ps, L, ps.pendOp);
    } else if (ps.pendOp == KOps::iRef) {
      KA sid;
      sid.Owns(new KNum(static_cast<int32_t>(L.value->SID())));
      L.Owns(MakeSeq({ps.chain, sid.value}));
      KParser::Monadic(&ps, L, KOps::iRef);
    } else {
      KParser::Monadic(&ps, L, ps.pendOp);
    }
  }
  ps.ParseVal("Rslt:", L.value);
  if (op < 0) return;
  if (op == KOps::iPgm) {
    ps.ParseLine("Def Pgm:", "");
    KT::KTO t = L.Type();
    // A sequence (namespace, name) is the left operand of the dyadic form.
    if (t != KT::tBlock && t != KT::tPgm && t != KT::tString && t != KT::tSeq)
      KTHROW(KT::eValue, "Need String, or block:obj");
  } else if (op == KOps::iOpUD) {
    ps.ParseLine("Def Op:", "");
    KT::KTO t = L.Type();
    if (t != KT::tBlock && t != KT::tOpUD && t != KT::tString && t != KT::tSeq)
      KTHROW(KT::eValue, "Need String or block:obj");
  } else if (op == KOps::iExec) {
    ps.ParseLine("Execute:", "");
    ExecText(ps, L);
    ps.curTT = KT::ttSeqValue;
    ps.newOp = -1;
  }
}

// True when the association's value can be walked into by a further
// selector: a container, a namespace, a reference or code.
bool HoldsMembers(KAssoc* a) {
  if (!a) return false;
  KT::KTO t = a->ValPtr()->typen();
  return t == KT::tCV || t == KT::tNS || t == KT::tRef || IsBlockLike(t);
}

// Member access after a reference or container in hand (kinds 8 and 25):
// walks the selectors, then lets the member join the saved expression.
void OnMemberOfRef(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  ps.ParseLine("Field:", ps.token);
  KA owner(L.value);
  Deref(owner);
  KT::KTO t = owner.Type();
  // Without a saved expression the reference or container in hand is the
  // whole value so far, and its member takes its place.
  bool inHandOnly = !ps.savedState.active;
  bool wantRef = ps.savedState.active &&
                 ((ps.savedState.newOp >= 0 && ps.savedState.newOp == KOps::iAssign) ||
                  (ps.savedState.pendOp >= 0 && ps.savedState.pendOp == KOps::iAssign));
  if (t == KT::tNS || t == KT::tCV) {
    KNS* ns = static_cast<KNS*>(owner.value);
    KAssoc* a = ns->AssocPtr(ps.token);
    if (wantRef && ps.member == 1 && !HoldsMembers(a)) {
      // An assignment walks on through this name: it becomes a container,
      // as for "=> r.a.b" through a reference.
      KA fresh;
      fresh.Owns(new KCV());
      PutMember(ns, std::string(ps.token, static_cast<size_t>(ps.tokenLen)), fresh.value);
      a = ns->AssocPtr(ps.token);
    }
    if (!a && wantRef && ps.member != 1) {
      KA nv;
      a = ns->Put(ps.token, nv.value, KT::ntSymbol);
      if (!a) KTHROW(KT::eValue, "Invalid name");
    }
    if (a && wantRef && ps.member != 1) {
      R.Owns(new KRef(a));
    } else if (a) {
      R = a->ValPtr();
    } else {
      R.Clear();
    }
  } else if (IsBlockLike(t) || (!wantRef && L.Is(KT::tRef))) {
    // A reference to a plain value answers the field query of its target.
    KField f(ps.token);
    R.Owns(owner.value->FieldGet(&f));
  } else {
    KTHROW(KT::eNotSupp, "Type");
  }
  if (ps.member == 1 && (R.Is(KT::tNS) || R.Is(KT::tCV) || R.Is(KT::tRef) || IsBlockLike(R.Type()))) {
    L = R;
    ps.curTT = R.Is(KT::tRef) ? KT::ttRefDone : KT::ttMember;
    return;
  }
  RestoreState(ps);
  ps.curTT = KT::ttSeqValue;
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iAssign) {
    if (!R.Is(KT::tRef)) KTHROW(KT::eTarget, "Type");
    ps.ParseLine("=>", "");
    KA v(L.value);
    static_cast<KRef*>(R.value)->ValSet(v.value);
    ps.newOp = -1;
    return;
  }
  if (R.Is(KT::tRef)) Deref(R);
  if (inHandOnly) {
    L = R;
    return;
  }
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      L = R;
      return;
    case KT::ttOperator:
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      ps.newOp = -1;
      return;
    default:
      JoinComputed(ps);
      return;
  }
}

void OnFieldName(KPParser& ps) {
  KA& L = ps.L;
  KA& R = ps.R;
  if (ps.prevTT == KT::ttMember || ps.prevTT == KT::ttRefDone) {
    OnMemberOfRef(ps);
    return;
  }
  ps.ParseLine("Field:", ps.token);
  R.Owns(new KField(std::string(ps.token, static_cast<size_t>(ps.tokenLen))));
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
    case KT::ttSeparator:
      L = R;
      return;
    case KT::ttFieldName:
      if (L.Is(KT::tField)) {
        KFList* fl = new KFList(L.value);
        L.Owns(fl);
        fl->Append(R.value, false);
        ps.curTT = KT::ttFList;
      } else if (KSeq::IsSeq(L.value)) {
        FixInPlace(L);
        static_cast<KSeq*>(L.value)->Append(R.value, false);
      } else {
        KTHROW(KT::eNotSupp, "Report to TARQ");
      }
      return;
    case KT::ttFList:
      FixInPlace(L);
      static_cast<KSeq*>(L.value)->Append(R.value, false);
      ps.curTT = KT::ttFList;
      return;
    case KT::ttNumber:
    case KT::ttQuote:
    case KT::ttSymbol:
    case kKindNoValue:
      L.Owns(L.value->FieldGet(R.value));
      ps.curTT = KT::ttSeqValue;
      return;
    case KT::ttParen:
    case KT::ttSeqValue: {
      ps.ParseLine("Field query:", ps.token);
      Deref(L);
      if (IsNV(L)) L = ps.CurNS();
      KA ans;
      // A namespace answers with its member of that name; so does a
      // container after ".", while ":" after a container asks the
      // container itself (its listing, its names ...).
      bool colonSel = ps.token > ps.code && ps.token[-1] == ':';
      bool member = false;
      if (L.Is(KT::tNS) || (L.Is(KT::tCV) && !colonSel)) {
        KB* m = static_cast<KNS*>(L.value)->ValPtr(ps.token);
        if (m) {
          ans = m;
          member = true;
        } else {
          ans.Owns(L.value->FieldGet(R.value));
        }
      } else {
        ans.Owns(L.value->FieldGet(R.value));
      }
      // A namespace held by a member is reached through a reference; one a
      // field query made (a program's ":ns") is a value of its own.
      if (member && ans.Is(KT::tNS)) {
        L = ans;
        RefOfValue(ps, L);
        ps.curTT = KT::ttRefDone;
      } else {
        L = ans;
        ps.curTT = KT::ttSeqValue;
      }
      return;
    }
    case KT::ttOperator: {
      int op = ps.pendOp;
      if (op >= 0 && op == KOps::iAssign) {
        L.Owns(MakeSeq({L.value, R.value, ps.CurNS()}));
        ps.newOp = KOps::iIdxAssign;
        ps.curTT = KT::ttOperator;
        return;
      }
      if (op >= 0 && op == KOps::iRef) {
        if (L.Is(KT::tNS)) {
          KB* m = static_cast<KNS*>(L.value)->ValPtr(ps.token);
          if (m) {
            L = m;
          } else {
            L.Clear();
          }
        } else {
          // The reference designates the variable that holds this value, so
          // the field is the target's, as for "(x @) :name".
          RefOfValue(ps, L);
          if (!L.Is(KT::tRef)) KTHROW(KT::eSystem, "KRef");
          L.Owns(L.value->FieldGet(R.value));
        }
        ps.curTT = KT::ttSeqValue;
        return;
      }
      if (op >= 0 && op == KOps::iIdxAssign) {
        if (IsNV(R)) KTHROW(KT::eValue, "Null Right Argument");
        KParser::Dyadic(&ps, L, R, op);
        ps.curTT = KT::ttSeqValue;
        return;
      }
      KT::KTO t = L.Type();
      if (t == KT::tCV || t == KT::tFL || t == KT::tNS) {
        KParser::Dyadic(&ps, L, R, op);
      } else if (t == KT::tNV) {
        KParser::Niladic(&ps, L, op);
      } else {
        KParser::Monadic(&ps, L, op);
        L.Owns(L.value->FieldGet(R.value));
      }
      ps.ParseLine("=>", "");
      ps.newOp = -1;
      ps.curTT = KT::ttSeqValue;
      return;
    }
    default:
      KTHROW(KT::eSyntax, "Unknown op");
  }
}

// The target of ",=>" is changed in place. When others share the value the
// name holds (another name, a sequence element, a caller's operand), the
// name first gets a private copy, so the append is seen through this name
// only, as "=>[" does. Files, namespaces and dictionaries are shared on
// purpose and are left as they are.
void UnshareAppendTarget(KPParser& ps, KA& target) {
  KT::KTO t = target.Type();
  if (t != KT::tNum && t != KT::tSeq && t != KT::tString) return;
  if (target.value->descriptor->refs <= 2 || !ps.foundNS) return;  // the name and this handle
  KAssoc* a = ps.foundNS->AssocPtr(ps.foundSlot);
  if (!a || a->ValPtr() != target.value) return;
  KA copy;
  copy.Owns(target.value->Clone());
  copy.value->Fix();
  copy.value->level = target.value->level;
  copy.value->descriptor->SID = copy.value->ID;  // bound to the name
  a->ValSet(copy.value);
  target = copy;
}

KT::KBR OnSymbol(KPParser& ps, KB* val, int level) {
  KA& L = ps.L;
  KA& R = ps.R;
  KT::KBR flow;
  const char* name = ps.token;
  ps.ParseLine("Symbol:", name);
  if (val) {
    R = val;
    if (ps.pendOp >= 0 && ps.pendOp == KOps::iCatAssign && ps.member == 0) UnshareAppendTarget(ps, R);
  } else {
    R.Clear();
  }
  ps.TraceVal("AR:", R.value);
  bool selector = ps.member != 0;
  bool dotSel = ps.member == 1 && !ps.colon;
  bool assignPending = ps.pendOp >= 0 && ps.pendOp == KOps::iAssign;
  if (assignPending && ps.prevTT == KT::ttOperator) {
    AssignSymbol(ps, name, R, level);
    return flow;
  }
  KT::KTO t = R.Type();
  // Blocks, containers and namespaces resolve ".name" selectors here; on
  // other values the selector is read as a field query.
  if (dotSel && (IsBlockLike(t) || t == KT::tCV || t == KT::tNS)) {
    WalkMembers(ps, R);
    t = R.Type();
    selector = ps.member != 0;
  }
  if (ps.pendOp >= 0 && ps.pendOp == KOps::iIdxAssign) {
    std::string sym(name);
    if (R.value->descriptor->refs > 2) {
      ps.TraceVal("AR", R.value);
      ps.ParseLine("SymbSave:", sym.c_str());
      KB* copy = R.value->Clone();
      R.Owns(copy);
      R.value->Fix();
    }
    IdxAssignFromL(ps, R);
    KA stored(R.value);
    StoreName(ps, sym.c_str(), stored);
    ps.curTT = KT::ttSeqValue;
    return flow;
  }
  switch (t) {
    case KT::tBlock:
    case KT::tPgm:
      if (selector) {
        L = R;
        ps.curTT = KT::ttSeqValue;
        return flow;
      } else {
        bool wasNS = L.Is(KT::tNS);
        KA arg(L.value);
        KA prog(R.value);
        flow = KBlock::Call(&ps, prog.value, arg);
        if (flow.kind == 3) flow = KT::KBR();
        R = arg;
        if (wasNS) {
          L.Clear();
          ps.prevTT = KT::ttUnknown;
        }
      }
      break;
    case KT::tNV:
      SkipMembers(ps);
      break;
    case KT::tRef:
      // A "." or ":" selector walks the reference's members; an index
      // bracket indexes the value in hand like any other.
      if (ps.member == 1) {
        SaveState(ps);
        L = R;
        ps.curTT = KT::ttRefDone;
        return flow;
      }
      break;
    default:
      break;
  }
  switch (static_cast<int>(ps.prevTT)) {
    case KT::ttUnknown:
      L = R;
      break;
    case KT::ttNumber:
    case KT::ttQuote:
    case KT::ttSymbol:
      if (R.Is(KT::tNil) || (L.Type() == R.Type() && R.value->SID() == -1)) {
        ps.ParseLine("StrandEm:", "");
        KA::StrandEm(L, R);
      } else if (L.Is(KT::tSeq) && L.value->SID() == -1) {
        ps.ParseLine("Seq append:", name);
        FixInPlace(L);
        static_cast<KSeq*>(L.value)->Append(R.value, false);
      } else {
        ps.ParseLine("Seq append", "");
        L.Owns(MakeSeq({L.value, R.value}));
      }
      break;
    case kKindNoValue:
      if (L.Is(KT::tSeq)) {
        KA::StrandEm(L, R);
      } else {
        L.Owns(MakeSeq({L.value, R.value}));
      }
      break;
    case KT::ttOperator:
      KParser::Dyadic(&ps, L, R, ps.pendOp);
      ps.newOp = -1;
      break;
    case KT::ttParen:
    case KT::ttRefDone:
    case KT::ttSeqValue:
    case KT::ttMember:
    case KT::ttDefined:
      JoinComputed(ps);
      break;
    case KT::ttSeparator:
      ps.ParseVal("Separator:R=>L:", R.value);
      L = R;
      break;
    default:
      KTHROW(KT::eSyntax, "?? operator");
  }
  ps.curTT = IsNV(L) ? kKindNoValue : L.Is(KT::tRef) ? KT::ttRefDone : KT::ttSeqValue;
  return flow;
}

KT::KBR OnControl(KPParser& ps) {
  KT::KBR flow;
  ps.ParseLine("Ctl:", ps.token);
  switch (ps.curCT) {
    case KT::ctBreak:
      flow.kind = 1;
      return flow;
    case KT::ctContinue:
      flow.kind = 2;
      return flow;
    case KT::ctReturn: {
      KT::KCT ct = ps.curCT;
      flow.kind = 3;
      flow.count = 1;
      KTT k = ps.NextToken(false);
      if (k == KT::ttNumber && KParser::IsInt(ps.token)) {
        flow.count = KParser::AsInt(ps.token);
      } else {
        ps.PutBack();
      }
      ps.curTT = KT::ttControl;
      ps.curCT = ct;
      return flow;
    }
    default: {
      ps.PutBack();
      KA value;
      flow = KBlock::RunControl(&ps, value);
      ps.L = value;
      ps.curTT = KT::ttSeqValue;
      return flow;
    }
  }
}

// End of an expression (end of text, separator, or a forced resolution).
void EndExpression(KPParser& ps, KTT kind) {
  KA& L = ps.L;
  KA& R = ps.R;
  RestoreState(ps);
  KTT prev = ps.prevTT;
  if (prev == KT::ttUnknown) return;
  if (prev == KT::ttBlock) {
    if (L.Is(KT::tSysOp)) {
      L.Clear();
    } else if (IsBlockLike(R.Type())) {
      KA prog(R.value);
      KBlock::Call(&ps, prog.value, L);
    }
  } else if (prev == KT::ttFieldName) {
    if (ps.pendOp >= 0 && (ps.pendOp == KOps::iAssign || ps.pendOp == KOps::iIdxAssign))
      KTHROW(KT::eSyntax, "Report to TARQ");
  } else if (ps.pendOp >= 0 && ps.pendOp == KOps::iIdxAssign) {
    ps.ParseLine("=>[", "");
    KA target(SeqAt(L, 2));
    IdxAssignFromL(ps, target);
  } else if (ps.pendOp != -1) {
    int op = ps.pendOp;
    if (op == KOps::iExec) {
      ps.ParseLine("Execute:", "");
      ExecText(ps, L);
    } else if (op == KOps::iEach) {
      ps.ParseLine("Each:", "");
      ExecText(ps, L);
    } else if (op == KOps::iRef) {
      ps.ParseLine("Ref:", "");
      if (kind == KT::ttRecalc && L.Is(KT::tSeqEa)) KTHROW(KT::eNotSupp, "Use (@)");
      if (L.Is(KT::tNS)) {
        KParser::Niladic(&ps, L, op);
      } else {
        RefOfValue(ps, L);
      }
    } else if (op == KOps::iAssign) {
      ps.ParseLine("=>", "");
      if (!R.Is(KT::tRef)) KTHROW(KT::eTarget, "Type");
      KB* target = static_cast<KRef*>(R.value)->ValPtr(false);
      if (target && target->typen() == KT::tRef) {
        L = R;
        ps.newOp = op;
      } else {
        RestoreState(ps);
        if (!L.Is(KT::tRef)) static_cast<KRef*>(R.value)->ValSet(L.value);
        ps.newOp = -1;
      }
    } else {
      KParser::Monadic(&ps, L, op);
    }
    DisplayCheck(ps);
    if (kind == KT::ttSeparator) {
      ps.ParseVal("Separator:", L.value);
    } else {
      ps.ParseLine("Null:", "");
    }
  }
  DisplayCheck(ps);
}

// The token loop.
KT::KBR RunExec(KPParser& ps, KA& result, KTT& lastKind, KBlock* blk) {
  KA& L = ps.L;
  KT::KBR flow;
  ps.block = blk;
  // The registers start empty; handles are swapped rather than cleared, so
  // no empty value is made for them (the result handle holds NoValue until
  // the end).
  if (!IsNV(L)) L.Clear();
  if (result.Is(KT::tNS)) {
    if (!IsNV(ps.argNS)) ps.argNS.Clear();
    std::swap(ps.argNS.value, result.value);
  }
  if (&result != &L) std::swap(L.value, result.value);
  if (!IsNV(ps.R)) ps.R.Clear();
  ps.curTT = IsNV(L) ? KT::ttUnknown : KT::ttSeqValue;
  if (ps.resumed) {
    // Statements before ran directly: the run starts after their ";", or
    // inside a statement with the value its operator gave.
    if (ps.resumeMid) {
      std::swap(L.value, ps.resumeL.value);
      ps.curTT = KT::ttSeqValue;
    } else {
      ps.curTT = KT::ttSeparator;
    }
    ps.resumed = ps.resumeMid = false;
  }
  ps.prevTT = ps.curTT;
  ps.curCT = KT::ctNone;
  ps.newOp = ps.pendOp = -1;
  ps.curVT = ps.prevVT = L.Type();
  ps.displayCount = 0;
  ps.savedState.active = false;
  if (!IsNV(ps.savedState.L)) ps.savedState.L.Clear();
  ps.member = ps.colon = 0;
  // A host's run starts with the stop switch cleared. A nested run leaves
  // it alone: a request that arrived while the parent was running must
  // still stop it.
  if (!ps.parent) *ps.swStop = false;
  bool first = true;
  KTT beforeTransparent = KT::ttUnknown;
  KTT lastRaw = KT::ttUnknown;
  KB* symVal = nullptr;  // the value a Symbol token names (see Lookup)
  try {
    for (;;) {
      if (ps.curCT == KT::ctBreak || ps.curCT == KT::ctContinue) break;
      KB::Breathe();
      if (!first && KT::SwRead(ps.swStop)) {  // after a token, so the error has a position
        *ps.swStop = false;
        KTHROW(KT::eInterrupt, "Stopped");
      }
      if (KFuse::AtStatement(ps, first)) continue;  // a fused chain and its sum ran
      KTT saveCur = ps.curTT;
      KTT k = ps.NextToken(ps.member != 0);
      bool transparent = IsTransparent(k);
      if (transparent) {
        beforeTransparent = saveCur;
      } else {
        ps.prevTT = saveCur;
        ps.prevVT = ps.curVT;
        ps.pendOp = ps.newOp;
        ps.newOp = -1;
      }
      if (first && k == KT::ttUnknown) {
        L.Clear();
        DisplayCheck(ps);
        result = L;
        lastKind = k;
        return flow;
      }
      first = false;
      if (beforeTransparent != KT::ttOperator) DisplayCheck(ps);

      // Symbol look-ahead: user-defined operators act as operators.
      int level = 0;
      bool looked = false;
      if (k == KT::ttSymbol) {
        symVal = Lookup(ps, ps.token, level);
        looked = true;
        KT::KTO t = symVal ? symVal->typen() : KT::tNV;
        if (ps.member == 0 && (t == KT::tOpUD || t == KT::tPgm)) {
          ps.ParseLine("UserDefPgm", ps.token);
          if (ps.pendOp == -1 || t == KT::tPgm) {
            if (t == KT::tOpUD) {
              ps.R = symVal;
              ps.U = symVal;
              ps.newOp = -2;
              k = ps.curTT = KT::ttOperator;
            }
          } else {
            ps.ParseLine("PutBackToken/DoCalc", ps.token);
            ps.PutBack();
            k = ps.curTT = KT::ttRecalc;
          }
        }
      }
      // Forced resolution: a pending operator with no right operand is
      // applied monadically before this token is read again.
      if ((k == KT::ttBlock || k == KT::ttControl || k == KT::ttIndex || k == KT::ttOperator) &&
          ps.newOp != -2 && ps.pendOp != -1 && ps.pendOp != KOps::iAssign && ps.pendOp != KOps::iIdxAssign &&
          ps.pendOp != KOps::iPgm && ps.pendOp != KOps::iOpUD &&
          (ps.prevTT == KT::ttControl || ps.prevTT == KT::ttFieldName || ps.prevTT == KT::ttOperator)) {
        ps.PutBack();
        k = ps.curTT = KT::ttRecalc;
      }

      switch (k) {
        case KT::ttUnknown:
        case KT::ttSeparator:
        case KT::ttRecalc:
          EndExpression(ps, k);
          if (k == KT::ttRecalc) ps.curTT = KT::ttSeqValue;
          break;
        case KT::ttNumber:
          OnNumber(ps);
          break;
        case KT::ttQuote:
        case KT::ttBulk:
          OnQuote(ps, k);
          break;
        case KT::ttParen:
          OnParen(ps);
          break;
        case KT::ttIndex:
          OnIndex(ps);
          break;
        case KT::ttBlock:
          flow = OnBlock(ps);
          break;
        case KT::ttOperator:
          OnOperator(ps);
          break;
        case KT::ttSymbol:
          if (!looked) symVal = Lookup(ps, ps.token, level);
          flow = OnSymbol(ps, symVal, level);
          symVal = nullptr;
          break;
        case KT::ttFieldName:
          OnFieldName(ps);
          break;
        case KT::ttControl:
          flow = OnControl(ps);
          break;
        case KT::ttComment:
          ps.ParseLine("Comment:", ps.token);
          if (ps.Comments() && ps.out) {
            std::string text(ps.token, static_cast<size_t>(ps.tokenLen));
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            ps.Emit(KB::Fmt("L%d:Comment:%s", ps.depth, text.c_str()));
          }
          break;
        case KT::ttDisplay:
          if (lastRaw != KT::ttDisplay) {
            ++ps.displayCount;
            ps.ParseLine("Display:", ps.token);
          }
          break;
        case KT::ttCommentsOn: *ps.swComments = true; break;
        case KT::ttCommentsOff: *ps.swComments = false; break;
        case KT::ttParseOn: *ps.swParse = true; break;
        case KT::ttParseOff: *ps.swParse = false; break;
        case KT::ttTraceOn: *ps.swTrace = true; break;
        case KT::ttTraceOff: *ps.swTrace = false; break;
        case KT::ttVerboseOn: *ps.swVerbose = true; break;
        case KT::ttVerboseOff: *ps.swVerbose = false; break;
        case KT::ttIgnoreD:
        case KT::ttIgnoreD2:
        case KT::ttIgnoreS:
          break;
        default:
          ps.ParseLine("Unidentifiable", ps.token);
          KTHROW(KT::eSyntax, "Report to TARQ");
      }
      lastRaw = k;
      if (transparent) {
        ps.curTT = saveCur;
      }
      if (!flow.IsZero()) break;
      if (!L.value->descriptor) KTHROW(KT::eValue, "Null");
      if (!IsNV(L)) {
        ps.curVT = L.Type();
        if (k == KT::ttSeparator) {
          DisplayCheck(ps);
          ps.TraceVal("Rslt:", L.value);
          ps.ParseLine("L.Clear:", "");
          L.Clear();
        } else if (k != KT::ttUnknown && k != KT::ttDisplay) {
          ps.TraceVal("AL:", L.value);
        }
      }
      if (k == KT::ttFlowDone) {
        ps.prevTT = KT::ttControl;
        break;
      }
      if (k == KT::ttUnknown) break;
    }
    if (flow.IsZero()) DisplayCheck(ps);
  } catch (KError& e) {
    throw KPErr(ps.name, e.code, &ps, e.message);
  } catch (std::bad_alloc&) {
    // A script that asks for more memory than there is ends with an error,
    // not with the host.
    throw KPErr(ps.name, KT::eSystem, &ps, "Out of memory");
  }
  if (&result != &L) {
    std::swap(result.value, L.value);
    if (!IsNV(L)) L.Clear();
  }
  lastKind = ps.curTT;
  // Nothing of the run stays in the registers: the result is the caller's.
  if (!IsNV(ps.R)) ps.R.Clear();
  if (!IsNV(ps.U)) ps.U.Clear();
  if (!IsNV(ps.argNS)) ps.argNS.Clear();
  return flow;
}

}  // namespace

// ============================================================ KParser

static void InitParserValue(KB* self, KPParser* pp) {
  KB::KBD* d = self->descriptor;
  void* data = KB::AllocData(KB::StorageBytes(KT::aPtr, 1), false);
  *static_cast<KPParser**>(data) = pp;
  d->Set(data, KT::tParser, KT::aPtr, 1, 1);
}

KParser::KParser(KSeq* chain, const std::string&) : KB(KT::tParser), pp(new KPParser(chain)) {
  InitParserValue(this, pp);
}

KParser::KParser(KParser* parent, const std::string&)
    : KB(KT::tParser), pp(new KPParser(parent ? parent->pp : nullptr)) {
  InitParserValue(this, pp);
}

KParser::KParser(KPParser* parent, const std::string&) : KB(KT::tParser), pp(new KPParser(parent)) {
  InitParserValue(this, pp);
}

KParser::~KParser() { delete pp; }

void KParser::fCmdSet(const std::string& text) { pp->CmdSet(text.data(), text.size(), false); }

void KParser::CmdSet(const char* text, bool stripEnds) {
  pp->CmdSet(text ? text : "", text ? std::strlen(text) : 0, stripEnds);
}

void KParser::CmdSet(KString* text, bool stripEnds) {
  if (!text) return;
  pp->CmdSet(text->Str(), static_cast<size_t>(text->Len()), stripEnds);
}

void KParser::CmdSet(KA& text, bool stripEnds) {
  if (!text.Is(KT::tString)) return;
  CmdSet(static_cast<KString*>(text.value), stripEnds);
}

KT::KBR KParser::Exec(KA& result, KT::KTT& lastKind, KBlock* block) {
  KB::StopScope stopScope(pp->swStop);  // long operator loops poll it
  return RunExec(*pp, result, lastKind, block);
}

void KParser::fpCommentsSwSet(bool* sw) { pp->swComments = sw ? sw : &KT::swDummy; }
void KParser::fpParseSwSet(bool* sw) { pp->swParse = sw ? sw : &KT::swDummy; }
void KParser::fpStopSwSet(bool* sw) { pp->swStop = sw ? sw : &KT::swDummy; }
void KParser::fpTraceSwSet(bool* sw) { pp->swTrace = sw ? sw : &KT::swDummy; }
void KParser::fpVerboseSwSet(bool* sw) { pp->swVerbose = sw ? sw : &KT::swDummy; }
bool* KParser::fpStopSwGet() { return pp->swStop; }
bool* KParser::fpVerboseSwGet() { return pp->swVerbose; }
void KParser::fpOutSet(KOutSink* sink) { pp->out = sink; }
KT::KTT KParser::NextToken(bool skipDirectives) { return pp->NextToken(skipDirectives); }
KSeq* KParser::NSChain() { return pp->chain; }
KPParser* KParser::PParser() { return pp; }
KT::KTT KParser::xTT() { return pp->curTT; }
KT::KCT KParser::xCT() { return pp->curCT; }

bool KParser::IsInt(const char* text) {
  if (!text || !*text) return false;
  for (const char* p = text; *p; ++p) {
    char c = *p;
    if (!IsDecDigit(c) && c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  }
  return true;
}

int KParser::AsInt(const char* text) {
  if (!text) return 0;
  uint32_t v = 0;
  for (const char* p = text; *p; ++p) {
    char c = *p;
    if (IsDecDigit(c)) {
      v = v * 10u + static_cast<uint32_t>(c - '0');
    } else if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      return 0;
    }
  }
  return static_cast<int>(v);
}

KT::KBR KPParser::Run(KA& result, KT::KTT& lastKind, KBlock* blk) { return RunExec(*this, result, lastKind, blk); }
