// Completion: what Tab offers in tarqsh. The word before the cursor decides
// the kind: ")" at the start of the line completes a command, "#" an
// operator name, ":" a field name or control word (the fields of the value
// before it when that value is known without running anything: a name, a
// literal, a "#" operator), anything else a name from the namespace chain.
#pragma once
#include <string>
#include <vector>

class TarqHost;

namespace Completion {

// Characters that end a word (operators, separators, brackets, quotes).
extern const char* const kWordBreaks;

// Candidates for `word` (UTF-8), which starts at `start` in `line`; sorted,
// without duplicates.
std::vector<std::string> Candidates(TarqHost& host, const std::string& line, size_t start,
                                    const std::string& word);

}  // namespace Completion
