// KSession: what a host keeps between runs and how it runs a text. A session
// owns a namespace chain with one root namespace, the five switches and the
// output sink the interpreter prints to; each Run builds a fresh interpreter
// over the chain, so names live on across runs and across errors. A run
// returns the result (printed to the sink as its last line, and kept when the
// host asks) or a structured error: code, code name, detail, the source unit
// that raised it, the token's range in the text that was run and one entry
// per nesting level. Texts are Windows-1252; hosts convert at their boundary.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "KB.h"
#include "Kerror.h"
#include "Ktypes.h"

class KSeq;
class KNS;
struct KOutSink;

// An error as a host shows it and as a tool reads it.
struct KRunError {
  KT::KET code = KT::eNULL;
  std::string codeName;  // "Value error"
  std::string detail;    // the message without its source unit ("Type")
  std::string unit;      // the source unit that raised it ("Interpreter/KOps"), empty when none is named
  int unitLine = 0;      // its line there, 0 when none is named
  // The token's characters [start, end) in the text that was run: the
  // innermost level whose text is part of it. -1 when unknown.
  std::ptrdiff_t start = -1, end = -1;
  std::vector<KErrLevel> trail;  // outermost level first
  std::string text;              // as hosts print it (position block, code name, detail; CR LF)
  // Memory ran out while the error was being put together: nothing above
  // is filled in; the host prints kOutOfMemoryText without allocating.
  bool outOfMemory = false;
  bool unknown = false;  // a failure that is no interpreter error: text is "Unknown Error"
};

struct KRunOutcome {
  bool ok = false;
  KRunError error;  // when !ok
};

class KSession {
 public:
  KSession();
  ~KSession();
  KSession(const KSession&) = delete;
  KSession& operator=(const KSession&) = delete;

  // The switches every run reads and the text itself may turn on and off.
  // `stop` is the stop request: set it (from a breathe hook or a signal
  // handler's flag) and the run ends with 14 "Stopped"; each run clears it
  // when it starts.
  bool trace = false, parse = false, verbose = false, comments = false;
  bool stop = false;

  // Where runs print (null: printing is an error, as in the interpreter).
  // The sink must outlive every run that uses it.
  void SetSink(KOutSink* sink) { sink_ = sink; }
  KOutSink* Sink() const { return sink_; }
  // A breathe hook installed for the length of each run (the hosts' way to
  // process events or notice an interrupt); null for none.
  void SetBreathe(KB::BreatheHook hook, void* ctx) {
    breathe_ = hook;
    breatheCtx_ = ctx;
  }
  // The result's text form goes to the sink as the last line of a run,
  // after `resultHeader` when that is not empty.
  bool echoResult = true;
  std::string resultHeader;
  // The result stays in hand until the next run (Result()).
  bool keepResult = false;

  // Runs one Windows-1252 text. Never throws.
  KRunOutcome Run(const std::string& text);
  // True while a run is in progress (a run from inside a run is refused).
  bool Busy() const { return busy_; }
  // The last run's result when kept (null otherwise or after an error).
  KB* Result() const { return result_; }
  // Lets go of the kept result.
  void ClearResult() { Forget(); }

  KSeq* Chain() const { return chain_; }
  KNS* Root() const { return root_; }
  // Names in the root namespace, in their order (Windows-1252).
  std::vector<std::string> Names() const;
  // The root namespace's text form (verbose when the switch is on).
  std::string NamespaceText();
  void ClearNamespace();

  // The field listing of the value a root name holds, read from the value
  // itself (nothing runs); empty when there is none.
  std::string FieldListingOfName(const std::string& name) const;
  // The field listing of the value a literal text gives ("'a'", "1.5", "#SYS").
  static std::string FieldListingOfSample(const std::string& sample);
  // The field listings of the value kinds a user meets.
  static std::vector<std::string> FieldListings();
  // One line per operator ("#OPS").
  static std::vector<std::string> Operators();

  // Splits an error message "detail:unit[line]" (a KError's located form).
  static void SplitMessage(const std::string& message, std::string& detail, std::string& unit, int& line);

  static const char* const kOutOfMemoryText;  // "System error:Out of memory"
  static const char* const kUnknownText;      // "Unknown Error"

 private:
  void FillError(KRunError& out, const KPErr& e);
  void Forget();
  KSeq* chain_;
  KNS* root_;
  KOutSink* sink_ = nullptr;
  KB::BreatheHook breathe_ = nullptr;
  void* breatheCtx_ = nullptr;
  KB* result_ = nullptr;
  bool busy_ = false;
};
