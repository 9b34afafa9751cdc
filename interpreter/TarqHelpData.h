// TarqHelpData: what the help knows only by running the interpreter, computed
// once when the library is built (by tarq_helpdata, tools/helpdata.cpp, in
// child processes, so no form or example can disturb or crash it) and
// compiled into the library: each operator's form states and the result of
// every worked example. Texts are Windows-1252 with "\n" line ends.
#pragma once

namespace TarqHelp::Data {

// One operator's forms, niladic, monadic, dyadic: 'a' absent, 'b' built,
// 'p' not built yet (raises 6 with its own symbol).
struct OpState {
  const char* symbol;
  char forms[4];
};
extern const OpState kOpStates[];
extern const int kOpStateCount;

// Parallel to TarqHelp::kExamples.
extern const char* const kExampleResults[];
extern const int kExampleResultCount;
// Parallel to TarqLang::kControlWords and kDirectives; null without an example.
extern const char* const kControlWordResults[];
extern const int kControlWordResultCount;
extern const char* const kDirectiveResults[];
extern const int kDirectiveResultCount;

}  // namespace TarqHelp::Data
