// TarqHost: tarqsh's side of the library session (KSession, which keeps the
// namespace chain and the five switches between runs): the sink lines and
// the result printed to standard output as they come, errors to standard
// error. Text crosses the boundary here: UTF-8 in, Windows-1252 inside,
// UTF-8 with LF line ends out.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "KSession.h"

namespace TarqText { struct Decoded; }

class TarqHost {
 public:
  TarqHost();
  ~TarqHost();
  TarqHost(const TarqHost&) = delete;
  TarqHost& operator=(const TarqHost&) = delete;

  KSession session;
  bool& trace = session.trace;
  bool& parse = session.parse;
  bool& verbose = session.verbose;
  bool& comments = session.comments;
  bool& stop = session.stop;

  // Runs one Windows-1252 text; true when it ended without an error.
  bool Run(const std::string& text);
  // Runs script bytes (file or standard input) or a typed UTF-8 line: a
  // character Windows-1252 cannot hold is a syntax error outside quotes and
  // comments, "?" inside them with one warning on standard error.
  bool RunScript(const std::string& bytes);
  bool RunTyped(const std::string& utf8);

  // Names in the root namespace (UTF-8), for completion.
  std::vector<std::string> Names();
  // The field listings of the value kinds (what an unknown field gives).
  std::vector<std::string> FieldListings();
  // The field listing of the value a root name holds (Windows-1252 name),
  // read from the value itself (nothing runs); empty when there is none.
  std::string FieldListingOfName(const std::string& name);
  // The field listing of the value a literal text gives ("'a'", "1.5", "#SYS").
  static std::string FieldListingOfSample(const std::string& sample);

  // The root namespace's text form (verbose when the switch is on).
  std::string NamespaceText();
  void ClearNamespace();
  // One line per operator ("#OPS").
  void PrintOperators();

  // Boundary conversions.
  static std::string FromUtf8(const std::string& s);        // UTF-8 -> CP-1252
  static std::string ScriptText(const std::string& bytes);  // file bytes -> CP-1252
  static std::string ToTerminal(const std::string& s);      // CP-1252 -> UTF-8, LF ends
  // Writes one line and flushes it, so a pipe sees output as it is printed.
  static void PrintLine(std::FILE* f, const std::string& cp1252Line);
  // The sync policy of file-bound dictionaries by name: "full" (every change
  // synced before its statement returns) or "none"; false for another name.
  static bool SetDictSync(const std::string& mode);
  // One line written in pieces, converted as ToTerminal converts a whole
  // line, so a long text form is never copied whole.
  class LineWriter {
   public:
    explicit LineWriter(std::FILE* f) : f_(f) {}
    void Write(const char* cp1252, size_t n);
    void End();  // the line end, then a flush

   private:
    void Put(const std::string& bytes);
    void Failed();
    std::FILE* f_;
    bool afterCR_ = false;
  };
  // errno of the first failed write to standard output, 0 when none failed.
  static int StdoutError();

 private:
  bool RunDecoded(const TarqText::Decoded& d);
};
