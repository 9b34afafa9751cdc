// KComplete: candidate lists for completion (see KComplete.h).
#include "KComplete.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>

#include "KNS.h"
#include "KOps.h"
#include "KSession.h"
#include "KString.h"

namespace KComplete {

const char* const kWordBreaks = " \t\r\n;(){}[]'\"+-*/\\<>=~!|&^%,`@?$";

const char* const kControlWords[] = {":BREAK", ":CASE", ":CATCH", ":CONTINUE", ":DEFAULT", ":DO",
                                     ":ELSE", ":ELSEIF", ":FOR", ":IF", ":RETURN", ":SELECT",
                                     ":THROW", ":TRY", ":UNTIL", ":WHILE"};
const int kControlWordCount = static_cast<int>(sizeof kControlWords / sizeof kControlWords[0]);

namespace {

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

// Every field of every kind of value, from the listings the value kinds give
// for an unknown field.
const std::vector<std::string>& FieldNames() {
  static const std::vector<std::string> names = NamesInListings(KSession::FieldListings());
  return names;
}

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The fields of the value written just before a ":" (the text before it):
// a name of the namespace (its value is asked, nothing runs), a quoted
// string, a number or a "#" operator. Sets `known` when such a value
// stands there, and `valueBefore` when anything does (then control words
// make no sense).
std::vector<std::string> FieldsOfValueBefore(const KSession& session, const std::string& before, bool& known,
                                             bool& valueBefore) {
  known = valueBefore = false;
  size_t end = before.find_last_not_of(" \t");
  if (end == std::string::npos) return {};
  char last = before[end];
  if (std::string(";{([").find(last) != std::string::npos) return {};
  valueBefore = true;
  std::string listing;
  if (last == '\'' || last == '"') {
    listing = KSession::FieldListingOfSample("'a'");
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
        if (upper == m) listing = KSession::FieldListingOfSample("#" + upper);
    } else if (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '_') {
      listing = KSession::FieldListingOfSample(word.find('.') != std::string::npos ? "1.5" : "1");
    } else if (word.find('.') == std::string::npos) {
      listing = session.FieldListingOfName(word);
    }
  }
  if (listing.empty()) return {};
  known = true;
  return NamesInListings({listing});
}

// The namespace a dotted path of names ("a.b") holds, from the session's
// root; null when a step is not a namespace.
KNS* NamespaceAt(const KSession& session, const std::string& path) {
  KB* at = session.Root();
  size_t a = 0;
  while (a <= path.size()) {
    size_t b = path.find('.', a);
    if (b == std::string::npos) b = path.size();
    const std::string name = path.substr(a, b - a);
    if (name.empty() || !at || at->typen() != KT::tNS) return nullptr;
    at = static_cast<KNS*>(at)->ValPtr(name.c_str());
    a = b + 1;
  }
  return at && at->typen() == KT::tNS ? static_cast<KNS*>(at) : nullptr;
}

}  // namespace

std::vector<std::string> NamesInListings(const std::vector<std::string>& listings) {
  std::set<std::string> all, lower;
  for (const std::string& listing : listings) {
    size_t a = 0;
    while ((a = listing.find(':', a)) != std::string::npos) {
      size_t b = listing.find_first_of(", \r\n", a);
      if (b == std::string::npos) b = listing.size();
      std::string f = listing.substr(a, b - a), key = f;
      for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (b > a + 1 && lower.insert(key).second) all.insert(key == f ? f : key);
      a = b;
    }
  }
  return std::vector<std::string>(all.begin(), all.end());
}

size_t WordStart(const std::string& line, size_t pos) {
  if (pos > line.size()) pos = line.size();
  size_t start = pos;
  while (start > 0 && !std::strchr(kWordBreaks, line[start - 1])) --start;
  // "#" and ":" begin the word they stand before.
  return start;
}

std::vector<std::string> Candidates(const KSession& session, const std::string& before, const std::string& word) {
  std::set<std::string> out;
  size_t colon = word.find(':');
  if (colon != std::string::npos && colon > 0) {  // "v:ty": the field part after the name
    for (const std::string& c : Candidates(session, before + word.substr(0, colon), word.substr(colon)))
      out.insert(word.substr(0, colon) + c);
    return std::vector<std::string>(out.begin(), out.end());
  }
  if (!word.empty() && word[0] == '#') {
    KOps::TblInit();
    for (int i = 0; i < KOps::nOps; ++i) {
      std::string s = KOps::fOpsTbl[i].symbol;
      if (s.size() > 1 && s[0] == '#' && std::isalpha(static_cast<unsigned char>(s[1])) &&
          StartsWith(s, word, true))
        out.insert(s);
    }
  } else if (!word.empty() && word[0] == ':') {
    bool known = false, valueBefore = false;
    std::vector<std::string> fields = FieldsOfValueBefore(session, before, known, valueBefore);
    if (!valueBefore)
      for (const char* c : kControlWords)
        if (StartsWith(c, word, true)) out.insert(c);
    for (const std::string& f : known ? fields : FieldNames())
      if (StartsWith(f, word, true)) out.insert(f);
  } else if (size_t dot = word.rfind('.'); dot != std::string::npos && dot > 0 && IsNameChar(word[0]) &&
                                           !std::isdigit(static_cast<unsigned char>(word[0]))) {
    // "a.b": the members of the namespace "a" holds.
    const std::string path = word.substr(0, dot), stem = word.substr(dot + 1);
    if (KNS* ns = NamespaceAt(session, path)) {
      for (int i = 0; i < ns->Count(); ++i) {
        if (KString* key = ns->KeyPtr(i)) {
          const std::string name = KB::TextOf(key);
          if (StartsWith(name, stem, false)) out.insert(path + "." + name);
        }
      }
    }
  } else {
    for (const std::string& n : session.Names())
      if (StartsWith(n, word, false)) out.insert(n);
  }
  return std::vector<std::string>(out.begin(), out.end());
}

}  // namespace KComplete
