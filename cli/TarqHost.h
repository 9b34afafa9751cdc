// TarqHost: what tarqsh keeps between runs (one root namespace inside the
// namespace chain, the five switches) and how it runs a text: a fresh
// interpreter per run, its sink lines and the result printed to standard
// output as they come, errors to standard error. Text crosses the boundary
// here: UTF-8 in, Windows-1252 inside, UTF-8 with LF line ends out.
#pragma once
#include <cstdio>
#include <string>

class KSeq;
class KNS;

class TarqHost {
 public:
  TarqHost();
  ~TarqHost();
  TarqHost(const TarqHost&) = delete;
  TarqHost& operator=(const TarqHost&) = delete;

  bool trace = false, parse = false, verbose = false, comments = false;
  bool stop = false;

  // Runs one Windows-1252 text; true when it ended without an error.
  bool Run(const std::string& text);

  // The root namespace's text form (verbose when the switch is on).
  std::string NamespaceText();
  void ClearNamespace();
  // One line per operator ("#OPS").
  void PrintOperators();

  // Boundary conversions.
  static std::string FromUtf8(const std::string& s);        // UTF-8 -> CP-1252
  static std::string ScriptText(const std::string& bytes);  // file bytes -> CP-1252
  static std::string ToTerminal(const std::string& s);      // CP-1252 -> UTF-8, LF ends
  static void PrintLine(std::FILE* f, const std::string& cp1252Line);

 private:
  KSeq* chain_;
  KNS* root_;
};
