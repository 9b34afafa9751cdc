// Completion: candidate lists for Tab in tarqsh.
#include "Completion.h"

#include <algorithm>
#include <set>

#include "KOps.h"
#include "TarqHost.h"

namespace Completion {

const char* const kWordBreaks = " \t\n;(){}[]'\"+-*/\\<>=~!|&^%,`@?$";

namespace {

const char* const kCommands[] = {"ns", "clear", "ops", "trace", "parse", "verbose", "comments",
                                 "load", "help", "quit"};

// Control words a user types (the long forms).
const char* const kControlWords[] = {":BREAK", ":CASE", ":CATCH", ":CONTINUE", ":DEFAULT", ":DO",
                                     ":ELSE", ":ELSEIF", ":FOR", ":IF", ":RETURN", ":SELECT",
                                     ":THROW", ":TRY", ":UNTIL", ":WHILE"};

bool StartsWith(const std::string& s, const std::string& prefix, bool anyCase) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = s[i], b = prefix[i];
    if (anyCase) {
      a = static_cast<char>(std::tolower(static_cast<unsigned char>(a)));
      b = static_cast<char>(std::tolower(static_cast<unsigned char>(b)));
    }
    if (a != b) return false;
  }
  return true;
}

// Field names, from the field listings the value kinds give for an unknown field.
std::vector<std::string> FieldNames(TarqHost& host) {
  static std::vector<std::string> names;
  if (!names.empty()) return names;
  std::set<std::string> all, lower;  // one spelling per field (":typeC" and ":typec" are one)
  for (const std::string& listing : host.FieldListings()) {
    size_t a = 0;
    while ((a = listing.find(':', a)) != std::string::npos) {
      size_t b = listing.find_first_of(", ", a);
      if (b == std::string::npos) b = listing.size();
      std::string f = listing.substr(a, b - a), key = f;
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (b > a + 1 && lower.insert(key).second) all.insert(key == f ? f : key);
      a = b;
    }
  }
  names.assign(all.begin(), all.end());
  return names;
}

}  // namespace

std::vector<std::string> Candidates(TarqHost& host, const std::string& line, size_t start,
                                    const std::string& word) {
  std::set<std::string> out;
  size_t colon = word.find(':');
  if (colon != std::string::npos && colon > 0) {  // "v:ty": the field part after the name
    for (const std::string& c : Candidates(host, line, start + colon, word.substr(colon)))
      out.insert(word.substr(0, colon) + c);
    return std::vector<std::string>(out.begin(), out.end());
  }
  bool command = start <= 1 && !line.empty() && line[0] == ')';
  if (command) {
    // The word may or may not hold the ")" (line editors differ in their word breaks).
    bool withParen = !word.empty() && word[0] == ')';
    std::string stem = withParen ? word.substr(1) : word;
    for (const char* c : kCommands)
      if (StartsWith(c, stem, false)) out.insert((withParen ? ")" : "") + std::string(c));
  } else if (!word.empty() && word[0] == '#') {
    KOps ops;
    for (int i = 0; i < KOps::nOps; ++i) {
      std::string s = KOps::fOpsTbl[i].symbol;
      if (s.size() > 1 && s[0] == '#' && std::isalpha(static_cast<unsigned char>(s[1])) &&
          StartsWith(s, word, true))
        out.insert(s);
    }
  } else if (!word.empty() && word[0] == ':') {
    for (const char* c : kControlWords)
      if (StartsWith(c, word, true)) out.insert(c);
    for (const std::string& f : FieldNames(host))
      if (StartsWith(f, word, true)) out.insert(f);
  } else {
    for (const std::string& n : host.Names())
      if (StartsWith(n, word, false)) out.insert(n);
  }
  return std::vector<std::string>(out.begin(), out.end());
}

}  // namespace Completion
