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

KPErr::KPErr(const std::string&, KT::KET c, KPosState* ps, const std::string& detail)
    : KB(), code(c) {
  text = makeMsg(ps) + "\r\n" + KT::TypeErrorToName(c) + "\r\n" + detail;
}

KPErr::KPErr(const KPErr& o) : KB(), code(o.code), copied(o.copied), extra1(o.extra1), extra2(o.extra2) {
  text = o.text;
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
