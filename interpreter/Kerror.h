// Kerror: the two exception classes. KError carries a code and a message
// ("%s:%s[%d]" of text, source unit and line when a location is given);
// KPErr is a value that also carries the script position block.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "KB.h"
#include "Ktypes.h"

class KError {
 public:
  std::string message;
  KT::KET code = KT::eNULL;

  KError(KT::KET c, const std::string& text) : message(text), code(c) {}
  KError(KT::KET c, const std::string& text, const char* file, int line) : code(c) {
    MsgSet(text, file, line);
  }
  // System errors (code 10): "System:" + the operating system's last error,
  // or "System:" + the given text.
  KError(const char* file, int line);
  KError(const std::string& text, const char* file, int line);
  virtual ~KError() = default;

  void MsgSet(const std::string& text, const char* file, int line);
  // "%s:%s": the code's name and the message.
  std::string AsString() const;
  // "Err(%d):%s" for the calling thread's errno.
  static std::string LastError();
};

// Raises a KError located in the calling source unit; every .cpp defines
// its unit name as `kUnit` ("Interpreter/KNum" ...).
#define KTHROW(code, msg) throw KError((code), (msg), kUnit, __LINE__)

// The parts of a parse state a positioned error reads. The scanner cuts the
// code buffer in place: at tokenEnd it wrote a terminator over `saved`.
struct KPosState {
  std::string name;
  char* code = nullptr;       // start of the code buffer
  char* codeEnd = nullptr;    // the buffer's terminating zero
  char saved = 0;             // character the terminator overwrote
  char* tokenEnd = nullptr;   // where the terminator stands
  char* lineStart = nullptr;  // after the last CR or LF skipped
  char* countStart = nullptr; // where line counting starts
  char* scan = nullptr;       // scan position
  char* token = nullptr;      // start of the current token (null when none)
  int depth = 0;
  // The parse state this one runs inside (null at the top), and where this
  // state's text starts in the text the host ran: -1 when the text is not
  // part of it (a block's stored code, executed text).
  KPosState* outer = nullptr;
  std::ptrdiff_t base = -1;
};

// One nesting level of an error, as its position block reads: depth, line
// (from 1) and column at the token's end within that level's own text, and
// the token's range [start, end) in the host's text (-1 when that level's
// text is not part of it).
struct KErrLevel {
  int depth = 0, line = 1, column = 1;
  std::ptrdiff_t start = -1, end = -1;
};

class KPErr : public KB {
 public:
  KT::KET code = KT::eNULL;
  int32_t copied = 0;
  std::string extra1, extra2;
  // Where the error stands in the host's text: the range [start, end) of
  // the token of the innermost level whose text is part of it (the call of
  // a block defined elsewhere, say); -1 when no level is.
  std::ptrdiff_t start = -1, end = -1;
  std::vector<KErrLevel> trail;  // outermost level first
  std::string detail;            // the text under the code's name

  // Text: position block, CR LF, the code's name, CR LF, detail.
  KPErr(const std::string& name, KT::KET c, KPosState* ps, const std::string& detail);
  KPErr(const KPErr& o);
  const std::string& AsString(bool) override { return text; }
  // Puts a new position block and CR LF before the existing text.
  void Prepend(KPosState* ps);

  // "%s[%d^%d:%d]" name, depth, line + 1, column; the line; a caret line.
  static std::string makeMsg(KPosState* ps);
  // Counts line breaks (CR LF or LF CR once) between begin and end, and the
  // column of end after the nearest line break before it (or begin).
  static void line(const char* begin, const char* end, int& lineNo, int& column);
  // The level a parse state stands at (reads the state, changes nothing).
  // `base` is where the state's text starts in the host's text (-1: not in it).
  static KErrLevel LevelOf(const KPosState* ps, std::ptrdiff_t base);

 private:
  void Locate(const KPosState* ps);
  // Where a state's text, not known to be part of the host's text (stored
  // code), stands in its outer state's text: found there exactly once.
  static std::ptrdiff_t Find(const KPosState* inner, const KPosState* outer, std::ptrdiff_t outerBase);
};
