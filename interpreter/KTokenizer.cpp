// KTokenizer: the parse state's text and its tokenizer (methods of
// KPParser): the character classes, operator and control-word matching, the
// scan that cuts one token at a time out of the text in place, and the token
// memo (KTokMemo) that records a text's scan once and replays it on every
// later run of the same text. Scanner errors are positioned KPErr values;
// nothing here raises a located KError, so the unit needs no kUnit.
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KOps.h"
#include "KParser.h"
#include "KParserImpl.h"
#include "KSeq.h"

using KT::KTT;
using KParserImpl::IsDecDigit;

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
