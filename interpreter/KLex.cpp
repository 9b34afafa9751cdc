// KLex: tokens of a text read without running it (see KLex.h). The reader
// drives the tokenizer of a private parse state over a copy of the text.
// A group token is not kept whole: its Open token is given, the scan moves
// inside it with the end of the text set to the group's closing bracket,
// and when the inside is read the Close token is given and the scan goes on
// after the group. Runs read a group's inside in a child parser over exactly
// that text, so the tokens inside are the ones a run would read.
#include "KLex.h"

#include <cstring>

#include "KOps.h"
#include "KParser.h"
#include "Kerror.h"

namespace KLex {

namespace {

inline bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

Kind KindOf(KT::KTT tt) {
  switch (tt) {
    case KT::ttNumber: return Kind::Number;
    case KT::ttQuote: return Kind::Quote;
    case KT::ttBulk: return Kind::Bulk;
    case KT::ttSymbol: return Kind::Symbol;
    case KT::ttFieldName: return Kind::Field;
    case KT::ttOperator: return Kind::Operator;
    case KT::ttSeparator: return Kind::Separator;
    case KT::ttControl: return Kind::Control;
    case KT::ttComment: return Kind::Comment;
    case KT::ttDisplay: return Kind::Display;
    case KT::ttParen: case KT::ttIndex: case KT::ttBlock: return Kind::Open;
    case KT::ttUnknown: return Kind::Unknown;
    default: return Kind::Directive;
  }
}

// The detail of a positioned error: the text after its last line break.
std::string DetailOf(const KPErr& e) {
  size_t at = e.text.rfind("\r\n");
  return at == std::string::npos ? e.text : e.text.substr(at + 2);
}

// A group being read: where the text really ends outside it, and the index
// of its Open token.
struct Frame {
  char* outerEnd;
  size_t open;
};

class Reader {
 public:
  explicit Reader(std::string_view text) : ps_(static_cast<KSeq*>(nullptr)) {
    // Switches a text could write go to a flag nobody reads.
    ps_.swVerbose = &verbose_;
    ps_.swComments = ps_.swParse = ps_.swStop = ps_.swTrace = &verbose_;
    ps_.CmdSet(text.data(), text.size(), false);
  }

  Result Run() {
    char* base = ps_.code;
    for (;;) {
      // Blanks first, so the token's start is known whatever the kind (the
      // last cut's terminator put back before looking).
      Restore();
      char* p = ps_.scan;
      while (p < ps_.codeEnd && IsBlank(*p)) ++p;
      if (p >= ps_.codeEnd) {
        if (frames_.empty()) break;
        CloseFrame();
        continue;
      }
      if (out_.errors.size() >= kMaxErrors) {
        out_.truncated = true;
        break;
      }
      // Positioned errors count lines from here: only the current line.
      ps_.countStart = ps_.lineStart = p;
      KT::KTT tt;
      try {
        tt = ps_.NextToken(false);
      } catch (KPErr& e) {
        Recover(e, p);
        continue;
      }
      Token t;
      t.kind = KindOf(tt);
      t.tt = tt;
      t.ct = ps_.curCT;
      t.op = tt == KT::ttOperator ? ps_.opIndex : -1;
      t.start = Off(p);
      t.end = Off(tt == KT::ttBulk ? ps_.scan : ps_.tokenEnd);
      t.depth = static_cast<uint32_t>(frames_.size());
      if (t.kind == Kind::Comment) {
        while (t.end > t.start && (base[t.end - 1] == '\n' || base[t.end - 1] == '\r')) --t.end;
      }
      if (t.kind == Kind::Operator && t.op == KOps::iIdxAssign && ps_.scan > p) {
        // "=>[" gives its "[" back: a run reads the index group next.
        --t.end;
        Restore();
        ps_.scan = base + t.end;
      }
      if (t.kind == Kind::Open) {
        char* groupEnd = ps_.tokenEnd;
        Restore();
        t.groupEnd = Off(groupEnd);
        t.end = t.start + 1;
        if (frames_.size() >= kMaxDepth) {
          // Deeper than any run goes: the group stays whole (reading every
          // level again would cost the depth times the text).
          t.partner = static_cast<int32_t>(out_.tokens.size() + 1);
          out_.tokens.push_back(t);
          Token c = t;
          c.kind = Kind::Close;
          c.start = t.groupEnd - 1;
          c.end = t.groupEnd;
          c.partner = t.partner - 1;
          c.groupEnd = 0;
          out_.tokens.push_back(c);
          ps_.scan = groupEnd;
          continue;
        }
        frames_.push_back({ps_.codeEnd, out_.tokens.size()});
        out_.tokens.push_back(t);
        ps_.codeEnd = groupEnd - 1;
        ps_.scan = p + 1;
        continue;
      }
      out_.tokens.push_back(t);
    }
    Restore();
    return std::move(out_);
  }

 private:
  uint32_t Off(const char* q) const { return static_cast<uint32_t>(q - ps_.code); }

  // Puts back the character the last cut overwrote.
  void Restore() {
    if (ps_.tokenEnd) *ps_.tokenEnd = ps_.saved;
    ps_.tokenEnd = nullptr;
  }

  void CloseFrame() {
    Restore();
    Frame f = frames_.back();
    frames_.pop_back();
    char* close = ps_.codeEnd;
    ps_.codeEnd = f.outerEnd;
    Token& open = out_.tokens[f.open];
    Token t;
    t.kind = Kind::Close;
    t.tt = open.tt;
    t.start = Off(close);
    t.end = t.start + 1;
    t.depth = static_cast<uint32_t>(frames_.size());
    t.partner = static_cast<int32_t>(f.open);
    open.partner = static_cast<int32_t>(out_.tokens.size());
    out_.tokens.push_back(t);
    ps_.scan = close + 1;
  }

  // Records the error the tokenizer raised for the token at p and moves the
  // scan to where reading can sensibly go on.
  void Recover(const KPErr& e, char* p) {
    Restore();
    char* end = ps_.codeEnd;
    Error err;
    err.code = e.code;
    err.text = DetailOf(e);
    err.start = Off(p);
    // By default the error covers the token the tokenizer cut for it and
    // reading resumes after it (a close without an open, "Spacing" after the
    // operator it matched, "$r", an invalid character or member).
    char* errEnd = ps_.token == p && ps_.tokenLen > 0 ? p + ps_.tokenLen : p + 1;
    char* resume = errEnd;
    char c = *p;
    char c1 = p + 1 < end ? p[1] : 0;
    if (c == '(' || c == '[' || c == '{') {
      // An unclosed group: the rest is read as if the bracket were absent.
      errEnd = resume = p + 1;
    } else if (c == '\'' || c == '"') {
      // An unclosed quote: the rest of its line is the quote.
      char* q = p + 1;
      while (q < end && *q != '\n' && *q != '\r') ++q;
      errEnd = resume = q;
    } else if (c == '$') {
      errEnd = p + 2 <= end ? p + 2 : end;
      // An unclosed "$*" comment or "$R" text takes the rest of the text.
      resume = c1 == 'r' ? errEnd : end;
    } else if (static_cast<unsigned char>(c) >= 0xC0) {
      // One UTF-8 character: its continuation bytes belong to it.
      errEnd = p + 1;
      while (errEnd < end && (static_cast<unsigned char>(*errEnd) & 0xC0) == 0x80) ++errEnd;
      resume = errEnd;
    }
    if (errEnd > end) errEnd = end;
    if (resume > end) resume = end;
    err.end = Off(errEnd);
    out_.errors.push_back(std::move(err));
    ps_.scan = resume;
  }

  bool verbose_ = false;
  KPParser ps_;
  std::vector<Frame> frames_;
  Result out_;
};

}  // namespace

Result Read(std::string_view text) {
  // Offsets are 32 bits, as the tokenizer's token lengths are.
  if (text.size() >= 0x7FFFFFFFu) {
    Result r;
    r.errors.push_back({KT::eValue, "Text too long", 0, 0});
    r.truncated = true;
    return r;
  }
  Reader r(text);
  return r.Run();
}

const char* KindName(Kind k) {
  switch (k) {
    case Kind::Number: return "Number";
    case Kind::Quote: return "Quote";
    case Kind::Bulk: return "Bulk";
    case Kind::Symbol: return "Symbol";
    case Kind::Field: return "Field";
    case Kind::Operator: return "Operator";
    case Kind::Separator: return "Separator";
    case Kind::Control: return "Control";
    case Kind::Comment: return "Comment";
    case Kind::Directive: return "Directive";
    case Kind::Display: return "Display";
    case Kind::Open: return "Open";
    case Kind::Close: return "Close";
    case Kind::Unknown: return "Unknown";
  }
  return "Unknown";
}

const char* OperatorSymbol(int op) {
  if (KOps::first) KOps::TblInit();
  if (op < 0 || op >= KOps::nOps) return "";
  return KOps::fOpsTbl[op].symbol;
}

int OperatorIndex(std::string_view symbol) {
  if (KOps::first) KOps::TblInit();
  for (int i = 0; i < KOps::nOps; ++i) {
    const char* s = KOps::fOpsTbl[i].symbol;
    if (std::strlen(s) != symbol.size()) continue;
    size_t k = 0;
    for (; k < symbol.size(); ++k) {
      char a = s[k], b = symbol[k];
      if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
      if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 'a' + 'A');
      if (a != b) break;
    }
    if (k == symbol.size()) return i;
  }
  return -1;
}

const char* ControlName(KT::KCT ct) {
  switch (ct) {
    case KT::ctBreak: return ":BREAK";
    case KT::ctCase: return ":CASE";
    case KT::ctCatch: return ":CATCH";
    case KT::ctContinue: return ":CONTINUE";
    case KT::ctDefault: return ":DEFAULT";
    case KT::ctDo: return ":DO";
    case KT::ctElse: return ":ELSE";
    case KT::ctElseIf: return ":ELSEIF";
    case KT::ctFor: return ":FOR";
    case KT::ctIf: return ":IF";
    case KT::ctReturn: return ":RETURN";
    case KT::ctSelect: return ":SELECT";
    case KT::ctThrow: return ":THROW";
    case KT::ctTry: return ":TRY";
    case KT::ctUntil: return ":UNTIL";
    case KT::ctWhile: return ":WHILE";
    default: return ":";
  }
}

const char* ErrorName(KT::KET code) { return KT::TypeErrorToName(code); }

}  // namespace KLex
