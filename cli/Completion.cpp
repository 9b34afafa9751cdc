// Completion: candidate lists for Tab in tarqsh: its own ")" commands here,
// everything else from the library's completion (KComplete), with the line
// converted to the interpreter's text and the candidates back to UTF-8.
#include "Completion.h"

#include <algorithm>
#include <set>

#include "KComplete.h"
#include "KPlatform.h"
#include "TarqHost.h"

namespace Completion {

const char* const kWordBreaks = " \t\n;(){}[]'\"+-*/\\<>=~!|&^%,`@?$";

namespace {
const char* const kCommands[] = {"ns", "clear", "ops", "trace", "parse", "verbose", "comments",
                                 "load", "help", "apropos", "quit"};
}  // namespace

std::vector<std::string> Candidates(TarqHost& host, const std::string& line, size_t start,
                                    const std::string& word) {
  std::set<std::string> out;
  bool command = start <= 1 && !line.empty() && line[0] == ')' && word.find(':') == std::string::npos;
  if (command) {
    // The word may or may not hold the ")" (line editors differ in their word breaks).
    bool withParen = !word.empty() && word[0] == ')';
    std::string stem = withParen ? word.substr(1) : word;
    for (const char* c : kCommands)
      if (stem.size() <= std::string(c).size() && std::string(c).compare(0, stem.size(), stem) == 0)
        out.insert((withParen ? ")" : "") + std::string(c));
    return std::vector<std::string>(out.begin(), out.end());
  }
  const std::string before = TarqHost::FromUtf8(line.substr(0, std::min(start, line.size())));
  for (const std::string& c : KComplete::Candidates(host.session, before, TarqHost::FromUtf8(word)))
    out.insert(KPlat::Cp1252ToUtf8(c));
  return std::vector<std::string>(out.begin(), out.end());
}

}  // namespace Completion
