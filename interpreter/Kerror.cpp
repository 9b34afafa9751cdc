// Kerror: error objects and the position block of script errors.
#include "Kerror.h"

#include "KPlatform.h"

static const char* const kUnit = "Interpreter/Kerror";

KError::KError(const char* file, int line) : code(KT::eSystem) {
  MsgSet("System:" + LastError(), file, line);
}

KError::KError(const std::string& text, const char* file, int line) : code(KT::eSystem) {
  MsgSet("System:" + text, file, line);
}

void KError::MsgSet(const std::string& text, const char* file, int line) {
  message = KB::Fmt("%s:%s[%d]", text.c_str(), file ? file : "", line);
}

std::string KError::AsString() const {
  return KB::Fmt("%s:%s", KT::TypeErrorToName(code), message.c_str());
}

std::string KError::LastError() {
  int err = KPlat::LastErrno();
  return KB::Fmt("Err(%d):%s", err, KPlat::ErrorText(err).c_str());
}

KPErr::KPErr(const std::string&, KT::KET c, KPosState* ps, const std::string& what)
    : KB(), code(c), detail(what) {
  text = makeMsg(ps) + "\r\n" + KT::TypeErrorToName(c) + "\r\n" + what;
  Locate(ps);
}

KPErr::KPErr(const KPErr& o)
    : KB(), code(o.code), copied(o.copied), extra1(o.extra1), extra2(o.extra2), start(o.start), end(o.end),
      trail(o.trail), detail(o.detail) {
  text = o.text;
}

void KPErr::Locate(const KPosState* ps) {
  std::vector<const KPosState*> levels;  // innermost first
  for (const KPosState* at = ps; at; at = at->outer) levels.push_back(at);
  std::vector<std::ptrdiff_t> bases(levels.size(), -1);
  for (size_t i = levels.size(); i-- > 0;) {
    bases[i] = levels[i]->base;
    if (bases[i] < 0 && i + 1 < levels.size() && bases[i + 1] >= 0)
      bases[i] = Find(levels[i], levels[i + 1], bases[i + 1]);
  }
  trail.reserve(levels.size());
  for (size_t i = levels.size(); i-- > 0;) trail.push_back(LevelOf(levels[i], bases[i]));
  for (size_t i = trail.size(); i-- > 0;) {
    if (trail[i].start >= 0) {
      start = trail[i].start;
      end = trail[i].end;
      break;
    }
  }
}

std::ptrdiff_t KPErr::Find(const KPosState* inner, const KPosState* outer, std::ptrdiff_t outerBase) {
  if (!inner->code || !inner->codeEnd || !outer->code || !outer->codeEnd) return -1;
  const std::ptrdiff_t n = inner->codeEnd - inner->code;
  const std::ptrdiff_t hay = outer->codeEnd - outer->code;
  // Only errors come here, but a huge text is not searched.
  if (n <= 0 || n > hay || hay > (std::ptrdiff_t(1) << 22)) return -1;
  // Both buffers hold a terminator at their token's end: read through it.
  auto at = [](const KPosState* s, std::ptrdiff_t i) {
    const char* p = s->code + i;
    return p == s->tokenEnd ? s->saved : *p;
  };
  // Found more than once, the copy read last before the outer state's
  // position is the one running (a block just read, a body defined before
  // its call).
  const std::ptrdiff_t readTo = outer->tokenEnd ? outer->tokenEnd - outer->code : hay;
  std::ptrdiff_t found = -1, before = -1;
  int count = 0;
  const char first = at(inner, 0);
  for (std::ptrdiff_t i = 0; i + n <= hay; ++i) {
    if (at(outer, i) != first) continue;
    std::ptrdiff_t k = 1;
    while (k < n && at(outer, i + k) == at(inner, k)) ++k;
    if (k < n) continue;
    ++count;
    found = i;
    if (i + n <= readTo) before = i;
  }
  if (count > 1) found = before;
  return found < 0 ? -1 : outerBase + found;
}

// The same line and column makeMsg prints, read without touching the
// buffer; the token starts at `token`, or (when the token was put back)
// after the blank before its end.
KErrLevel KPErr::LevelOf(const KPosState* ps, std::ptrdiff_t base) {
  KErrLevel lv;
  if (!ps) return lv;
  lv.depth = ps->depth;
  if (!ps->code || !ps->tokenEnd) {
    if (base >= 0) lv.start = lv.end = base;
    return lv;
  }
  const char* end = ps->tokenEnd;
  const char* countFrom = ps->countStart ? ps->countStart : ps->code;
  const char* scan = ps->scan ? ps->scan : end;
  if (scan < end) scan = end;
  if (scan < countFrom) scan = countFrom;
  int lineNo = 0, col = 0;
  line(countFrom, scan, lineNo, col);
  const char* floor = ps->lineStart ? ps->lineStart : ps->code;
  if (floor < ps->code) floor = ps->code;
  const char* start = end > floor ? end - 1 : floor;
  while (start > floor && start[-1] != '\r' && start[-1] != '\n') --start;
  auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
  if (start < end && blank(*start)) ++start;
  lv.line = lineNo + 1;
  lv.column = static_cast<int>(end - start);
  if (base >= 0) {
    const char* t = ps->token;
    if (!t || t < ps->code || t >= end) {
      t = end;
      while (t > ps->code && !blank(t[-1])) --t;
    }
    lv.start = base + (t - ps->code);
    lv.end = base + (end - ps->code);
  }
  return lv;
}

void KPErr::Prepend(KPosState* ps) { text = makeMsg(ps) + "\r\n" + text; }

void KPErr::line(const char* begin, const char* end, int& lineNo, int& column) {
  lineNo = 0;
  for (const char* p = begin; p < end; ++p) {
    if (*p != '\r' && *p != '\n') continue;
    ++lineNo;
    if (p + 1 < end && (p[1] == '\r' || p[1] == '\n') && p[1] != *p) ++p;
  }
  const char* q = end;
  while (q > begin && q[-1] != '\r' && q[-1] != '\n') --q;
  column = static_cast<int>(end - q);
}

// A line longer than the window is shown as a window around the caret, each
// cut end marked with "...", so one error on a generated line of megabytes
// stays readable. `caretAt` is moved with the text.
static void CutAroundCaret(std::string& shown, int& caretAt) {
  constexpr int kWindow = 200;
  constexpr int kBefore = kWindow / 2;
  if (static_cast<int>(shown.size()) <= kWindow) return;
  int from = caretAt > kBefore ? caretAt - kBefore : 0;
  if (from + kWindow > static_cast<int>(shown.size())) from = static_cast<int>(shown.size()) - kWindow;
  bool cutEnd = from + kWindow < static_cast<int>(shown.size());
  std::string window = shown.substr(static_cast<size_t>(from), kWindow);
  caretAt -= from;
  if (from > 0) {
    window = "..." + window;
    caretAt += 3;
  }
  if (cutEnd) window += "...";
  shown = window;
}

std::string KPErr::makeMsg(KPosState* ps) {
  if (!ps || !ps->code || !ps->tokenEnd) {
    return KB::Fmt("%s[%d^%d:%d]\r\n\r\n^", ps ? ps->name.c_str() : "", ps ? ps->depth : 0, 1, 1);
  }
  char* end = ps->tokenEnd;
  char terminator = *end;
  *end = ps->saved;

  int lineNo = 0, col = 0;
  const char* countFrom = ps->countStart ? ps->countStart : ps->code;
  const char* scan = ps->scan ? ps->scan : end;
  // A token put back leaves the scan position before it: count to the
  // token's end, so the line number is that of the line shown.
  if (scan < end) scan = end;
  if (scan < countFrom) scan = countFrom;
  line(countFrom, scan, lineNo, col);

  const char* floor = ps->lineStart ? ps->lineStart : ps->code;
  if (floor < ps->code) floor = ps->code;
  const char* start = end > floor ? end - 1 : floor;
  while (start > floor && start[-1] != '\r' && start[-1] != '\n') --start;
  if (start < end && (*start == ' ' || *start == '\t' || *start == '\r' || *start == '\n')) ++start;
  const char* stop = end > start ? end - 1 : start;
  while (*stop && *stop != '\r' && *stop != '\n') ++stop;

  std::string shown(start, stop > start ? stop : start);
  for (char& ch : shown)
    if (ch == '\t' || ch == '\r' || ch == '\n') ch = ' ';

  int column = static_cast<int>(end - start);
  *end = terminator;
  int caretAt = column > 1 ? column - 1 : 0;
  CutAroundCaret(shown, caretAt);
  std::string caret(static_cast<size_t>(caretAt), ' ');
  caret += '^';
  return KB::Fmt("%s[%d^%d:%d]", ps->name.c_str(), ps->depth, lineNo + 1, column) + "\r\n" + shown + "\r\n" + caret;
}
