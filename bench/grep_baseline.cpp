// A plain C++ program that does the work of the regular-expression
// workload: build the same 10 MB text, compile the word pattern with the
// same options and PCRE2's JIT, and collect every match's position pair.
// Built with -O2 and ordinary allocation, to measure the interpreter against.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

int main() {
  const std::string phrase = "lorem ipsum dolor sit amet ";
  std::string text;
  text.reserve(10000000);
  while (text.size() < 10000000) text += phrase;
  text.resize(10000000);
  int err = 0;
  PCRE2_SIZE at = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("dolor"), PCRE2_ZERO_TERMINATED,
                                   PCRE2_CASELESS | PCRE2_MULTILINE | PCRE2_DOTALL | PCRE2_EXTENDED, &err, &at, nullptr);
  if (!code) return 1;
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  pcre2_match_data* md = pcre2_match_data_create(15, nullptr);
  std::vector<std::pair<int, int>> pairs;
  PCRE2_SIZE start = 0;
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
  while (pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), start, 0, md, nullptr) > 0) {
    pairs.emplace_back(static_cast<int>(ov[0]) + 1, static_cast<int>(ov[1]) + 1);
    if (ov[1] == start && ov[0] == ov[1]) break;
    start = ov[1];
  }
  std::printf("%zu\n", pairs.size());
  pcre2_match_data_free(md);
  pcre2_code_free(code);
  return 0;
}
