// Completion: candidate lists for Tab in tarqsh.
#include "Completion.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "KOps.h"
#include "TarqHost.h"

namespace Completion {

const char* const kWordBreaks = " \t\n;(){}[]'\"+-*/\\<>=~!|&^%,`@?$";

namespace {

const char* const kCommands[] = {"ns", "clear", "ops", "trace", "parse", "verbose", "comments",
                                 "load", "help", "apropos", "quit"};

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

// The field names in field listings (":, :lap, :num ..."), one spelling per
// field (":typeC" and ":typec" are one).
std::vector<std::string> NamesInListings(const std::vector<std::string>& listings) {
  std::set<std::string> all, lower;
  for (const std::string& listing : listings) {
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
  return std::vector<std::string>(all.begin(), all.end());
}

// Every field of every kind of value, from the listings the value kinds give
// for an unknown field.
std::vector<std::string> FieldNames(TarqHost& host) {
  static std::vector<std::string> names;
  if (names.empty()) names = NamesInListings(host.FieldListings());
  return names;
}

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The fields of the value written just before a ":" (the text before it):
// a name of the namespace (its value is asked, nothing runs), a quoted
// string, a number or a "#" operator. Sets `known` when such a value
// stands there, and `valueBefore` when anything does (then control words
// make no sense).
std::vector<std::string> FieldsOfValueBefore(TarqHost& host, const std::string& before, bool& known,
                                             bool& valueBefore) {
  known = valueBefore = false;
  size_t end = before.find_last_not_of(" \t");
  if (end == std::string::npos) return {};
  char last = before[end];
  if (std::string(";{([").find(last) != std::string::npos) return {};
  valueBefore = true;
  std::string listing;
  if (last == '\'' || last == '"') {
    listing = TarqHost::FieldListingOfSample("'a'");
  } else if (IsNameChar(last)) {
    size_t start = end;
    while (start > 0 && (IsNameChar(before[start - 1]) || before[start - 1] == '.')) --start;
    std::string word = before.substr(start, end - start + 1);
    char lead = start > 0 ? before[start - 1] : ' ';
    if (lead == ':') return {};  // a field chain: what it gives is not known without running it
    if (lead == '#') {
      // Only constructors that touch nothing outside the value they make.
      static const char* const kMakers[] = {"SYS", "NS", "DICT", "SET", "BAG", "IDX", "SEQ", "CLOCK",
                                            "FC", "FILE", "RS", "TRUE", "FALSE", "NIL", "PI"};
      std::string upper = word;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      for (const char* m : kMakers)
        if (upper == m) listing = TarqHost::FieldListingOfSample("#" + upper);
    } else if (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '_') {
      listing = TarqHost::FieldListingOfSample(word.find('.') != std::string::npos ? "1.5" : "1");
    } else if (word.find('.') == std::string::npos) {
      listing = host.FieldListingOfName(TarqHost::FromUtf8(word));
    }
  }
  if (listing.empty()) return {};
  known = true;
  return NamesInListings({TarqHost::ToTerminal(listing)});
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
    bool known = false, valueBefore = false;
    std::vector<std::string> fields = FieldsOfValueBefore(host, line.substr(0, std::min(start, line.size())),
                                                          known, valueBefore);
    if (!valueBefore)
      for (const char* c : kControlWords)
        if (StartsWith(c, word, true)) out.insert(c);
    for (const std::string& f : known ? fields : FieldNames(host))
      if (StartsWith(f, word, true)) out.insert(f);
  } else {
    for (const std::string& n : host.Names())
      if (StartsWith(n, word, false)) out.insert(n);
  }
  return std::vector<std::string>(out.begin(), out.end());
}

}  // namespace Completion
