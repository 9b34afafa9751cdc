// Kerror: the two exception classes. KError carries a code and a message
// ("%s:%s[%d]" of text, source unit and line when a location is given);
// KPErr is a value that also carries the script position block.
#pragma once
#include <string>

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
  char saved = 0;             // character the terminator overwrote
  char* tokenEnd = nullptr;   // where the terminator stands
  char* lineStart = nullptr;  // after the last CR or LF skipped
  char* countStart = nullptr; // where line counting starts
  char* scan = nullptr;       // scan position
  int depth = 0;
};

class KPErr : public KB {
 public:
  KT::KET code = KT::eNULL;
  int32_t copied = 0;
  std::string extra1, extra2;

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
};
