// KComplete: completion for every host. The word before the cursor decides
// the kind: "#" an operator name, ":" a field name or control word (the
// fields of the value before it when that value is known without running
// anything: a name, a literal, a "#" operator), "a.b" a member of the
// namespace a name holds, anything else a name of the session. Texts are
// Windows-1252; hosts convert, and complete their own commands themselves.
#pragma once
#include <string>
#include <vector>

class KSession;

namespace KComplete {

// Characters that end a word (operators, separators, brackets, quotes).
extern const char* const kWordBreaks;

// The control words a user types (the long forms).
extern const char* const kControlWords[];
extern const int kControlWordCount;

// Candidates for `word`, written after `before` on its line; sorted,
// without duplicates.
std::vector<std::string> Candidates(const KSession& session, const std::string& before, const std::string& word);

// The field names in field listings (":, :lap, :num ..."), one spelling per
// field (":typeC" and ":typec" are one).
std::vector<std::string> NamesInListings(const std::vector<std::string>& listings);

// Where the word that ends at `pos` of `line` starts (after the last word
// break before it; a "." joins names into one word).
size_t WordStart(const std::string& line, size_t pos);

}  // namespace KComplete
