// TarqText: UTF-8 script text to Windows-1252, with the lexical context
// (quote, comment, code) of every character that cannot be held.
#include "TarqText.h"

#include <cctype>
#include <vector>

#include "KPlatform.h"
#include "Kerror.h"

namespace TarqText {

const char* const kReplacedWarning =
    "warning: characters that Windows-1252 cannot hold became \"?\" inside quotes or comments";

const char* const kFenceNote =
    "(On Linux: scripts may write in a folder named tarq/user, such as ~/tarq/user/, or on a removable device.)";

std::string FenceNote(const std::string& errorText) {
  static const std::string kRefusal = "Must be removable or contain \"\\tarq\\user\\\"";
  return errorText.find(kRefusal) != std::string::npos ? kFenceNote : std::string();
}

namespace {

// Where the scanner stands, as far as the meaning of "?" goes.
enum class Ctx { code, quote, lineComment, blockComment };

// Follows the tokenizer's rules for quotes ('...' or "...", no escapes),
// "$$" line comments and "$*" ... "*$" comments ("$**" is a directive).
class ContextTracker {
 public:
  // Context of the character at text[i]; call once per character, in order.
  Ctx Step(const std::string& text, size_t i) {
    char c = text[i];
    Ctx here = ctx_;
    switch (ctx_) {
      case Ctx::code:
        if (c == '\'' || c == '"') {
          quote_ = c;
          ctx_ = here = Ctx::quote;
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == '$') {
          ctx_ = here = Ctx::lineComment;
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == '*' &&
                   !(i + 2 < text.size() && text[i + 2] == '*' && !(i + 3 < text.size() && text[i + 3] == '*'))) {
          ctx_ = here = Ctx::blockComment;
          skip_ = 1;
        }
        break;
      case Ctx::quote:
        if (c == quote_) ctx_ = Ctx::code;
        break;
      case Ctx::lineComment:
        if (c == '\n' || c == '\r') ctx_ = Ctx::code;
        break;
      case Ctx::blockComment:
        if (skip_ > 0) {
          --skip_;
        } else if (c == '$' && i > 0 && text[i - 1] == '*') {
          ctx_ = Ctx::code;
        }
        break;
    }
    return here;
  }

  Ctx Inside() const { return ctx_; }

 private:
  Ctx ctx_ = Ctx::code;
  char quote_ = 0;
  int skip_ = 0;
};

size_t Utf8Length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

std::string InvalidCharacterError(std::string text, size_t at) {
  KPosState ps;
  ps.code = text.data();
  ps.tokenEnd = text.data() + at + 1;
  ps.saved = *ps.tokenEnd;
  ps.scan = ps.tokenEnd;
  ps.countStart = text.data();
  ps.lineStart = text.data();
  KPErr e("", KT::eSyntax, &ps, "Invalid character");
  return e.AsString(false);
}

}  // namespace

Decoded FromUtf8(const std::string& utf8) {
  Decoded d;
  std::vector<size_t> unheld;  // positions in d.text of characters that became "?"
  for (size_t i = 0; i < utf8.size();) {
    size_t n = Utf8Length(static_cast<unsigned char>(utf8[i]));
    if (i + n > utf8.size()) n = utf8.size() - i;
    std::string one = n == 1 ? utf8.substr(i, 1) : KPlat::Utf8ToCp1252(utf8.substr(i, n));
    bool lost = (one == "?" && n > 1) || one.size() != 1 || (n == 1 && static_cast<unsigned char>(utf8[i]) >= 0x80);
    if (lost) unheld.push_back(d.text.size());
    d.text.push_back(lost ? '?' : one[0]);
    i += n;
  }
  ContextTracker ctx;
  size_t next = 0;
  for (size_t i = 0; i < d.text.size() && next < unheld.size(); ++i) {
    Ctx where = ctx.Step(d.text, i);
    if (i != unheld[next]) continue;
    ++next;
    if (where != Ctx::code) {
      d.replaced = true;
    } else if (!d.invalid) {
      d.invalid = true;
      d.error = InvalidCharacterError(d.text, i);
    }
  }
  return d;
}

bool IsOpen(const std::string& text) {
  ContextTracker ctx;
  int depth = 0;
  Ctx last = Ctx::code;
  for (size_t i = 0; i < text.size(); ++i) {
    last = ctx.Step(text, i);
    if (last != Ctx::code) continue;
    char c = text[i];
    if (c == '(' || c == '[' || c == '{') ++depth;
    if ((c == ')' || c == ']' || c == '}') && depth > 0) --depth;
  }
  return depth > 0 || ctx.Inside() == Ctx::quote || ctx.Inside() == Ctx::blockComment;
}

bool HasUnopenedClose(const std::string& text) {
  ContextTracker ctx;
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (ctx.Step(text, i) != Ctx::code) continue;
    char c = text[i];
    if (c == '(' || c == '[' || c == '{') ++depth;
    if (c == ')' || c == ']' || c == '}') {
      if (depth == 0) return true;
      --depth;
    }
  }
  return false;
}

namespace {

// The top-level pieces of a text that decide whether a control structure
// still waits for a part: control words, the three kinds of group, and
// anything else.
struct Piece {
  enum Kind { control, paren, index, block, other } kind;
  std::string word;  // a control word, upper-cased
};

std::vector<Piece> TopLevelPieces(const std::string& text) {
  std::vector<Piece> out;
  ContextTracker ctx;
  int depth = 0;
  Ctx before = Ctx::code;
  for (size_t i = 0; i < text.size(); ++i) {
    Ctx where = ctx.Step(text, i);
    char c = text[i];
    bool opensQuote = where == Ctx::quote && before == Ctx::code;
    before = ctx.Inside();
    if (where != Ctx::code) {
      if (opensQuote && depth == 0) out.push_back({Piece::other, ""});
      continue;
    }
    if (c == '(' || c == '[' || c == '{') {
      if (depth++ == 0) out.push_back({c == '(' ? Piece::paren : c == '[' ? Piece::index : Piece::block, ""});
      continue;
    }
    if (c == ')' || c == ']' || c == '}') {
      if (depth > 0) --depth;
      continue;
    }
    if (depth > 0 || c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == ':') {
      // A control word: a colon and the letters or symbol characters after
      // it; ":name" of a field counts as something else.
      size_t j = i + 1;
      while (j < text.size() && std::string(" \t\r\n()[]{}'\";").find(text[j]) == std::string::npos) ++j;
      std::string word = text.substr(i, j - i);
      for (char& w : word) w = static_cast<char>(std::toupper(static_cast<unsigned char>(w)));
      static const char* const kWords[] = {":IF", ":ELSEIF", ":ELSE", ":FOR", ":WHILE", ":SELECT", ":DO",
                                           ":CASE", ":DEFAULT", "::?", "::", ":?", ":@&", ":??", ":^",
                                           ":+", ":|", ":*"};
      bool isControl = false;
      for (const char* k : kWords) isControl = isControl || word == k;
      out.push_back({isControl ? Piece::control : Piece::other, isControl ? word : ""});
      i = j - 1;
      continue;
    }
    out.push_back({Piece::other, ""});
  }
  return out;
}

// Control words followed by a test in parentheses, then a block.
bool TakesTest(const std::string& w) {
  return w == ":IF" || w == ":ELSEIF" || w == ":FOR" || w == ":WHILE" || w == ":SELECT" || w == ":CASE" ||
         w == "::?" || w == ":?" || w == ":@&" || w == ":??" || w == ":^" || w == ":|";
}

}  // namespace

bool NeedsBody(const std::string& text) {
  std::vector<Piece> p = TopLevelPieces(text);
  size_t n = p.size();
  if (n == 0) return false;
  if (p[n - 1].kind == Piece::control) {
    // ":WHILE" after ":DO {...}" is optional; alone it still waits for a test.
    return true;
  }
  // The control word and the parts after it, up to the end.
  size_t k = n;
  while (k > 0 && (p[k - 1].kind == Piece::paren || p[k - 1].kind == Piece::index)) --k;
  if (k == 0 || k == n || p[k - 1].kind != Piece::control) return false;
  const std::string& w = p[k - 1].word;
  if (!TakesTest(w)) return false;
  size_t parts = n - k;
  // ":DO {...} :WHILE (test)" is complete: its While takes no block.
  if ((w == ":WHILE" || w == ":??") && k >= 3 && p[k - 2].kind == Piece::block && p[k - 3].kind == Piece::control &&
      (p[k - 3].word == ":DO" || p[k - 3].word == ":+"))
    return false;
  bool selectForm = w == ":SELECT" || w == ":^";
  if (p[k].kind != Piece::paren) return false;
  if (parts == 1) return true;
  return selectForm && parts == 2 && p[k + 1].kind == Piece::index;
}

Decoded FromScriptBytes(const std::string& bytes) {
  static const std::string kBom = "\xEF\xBB\xBF";
  std::string body = bytes.compare(0, kBom.size(), kBom) == 0 ? bytes.substr(kBom.size()) : bytes;
  if (KPlat::IsValidUtf8(body)) return FromUtf8(body);
  Decoded d;
  d.text = body;
  return d;
}

}  // namespace TarqText
