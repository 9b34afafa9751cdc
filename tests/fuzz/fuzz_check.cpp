// fuzz_check: libFuzzer entry for the checker (KCheck over KLex). Every input
// is checked; the checker must not crash, leak, hang or report ranges
// outside the text, and its diagnostics must be in text order.
//
// With TARQ_FUZZ_CHECK_DIFF=1 the text is also run, as fuzz_parser runs it
// (a fresh root namespace, a token budget that stops endless loops), and a
// text the checker passed without an error must not raise a shape error: an
// unbalanced group, quote or comment, operator spacing, an invalid
// character or member, a control structure without its parts or a word that
// starts none. Texts that could build code at run time (quotes, "$R" texts,
// "#X", "#EA") are not compared: their strings may hold any shape.
// TARQ_FUZZ_DIFF_LOG=FILE keeps every difference.
//
// Element buffers: as in fuzz_parser, the linker routes the platform's
// allocator here (--wrap), with the same limits, so a run that asks for
// gigabytes ends with "Out of memory" instead of taking the fuzzer down.
#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KArg.h"
#include "KB.h"
#include "KCheck.h"
#include "KNS.h"
#include "KParser.h"
#include "KSeq.h"
#include "Kerror.h"

namespace {

constexpr long kTokenBudget = 150000;
constexpr size_t kBufferLimit = size_t(16) << 20;
constexpr size_t kLiveLimit = size_t(96) << 20;
size_t gLive = 0;  // bytes in live element buffers
long gBreaths = 0;

void Breathe(void* ctx) {
  if (++gBreaths > kTokenBudget) *static_cast<bool*>(ctx) = true;
}

// The run's error as "code|detail" (the detail without its source unit),
// or "" when the run ended without one.
std::string RunError(const std::string& text) {
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  chain->Append(root, true);
  bool stop = false;
  gBreaths = 0;
  KB::SetBreatheHook(Breathe, &stop);
  std::string out;
  {
    KParser p(chain, "root");
    p.fpStopSwSet(&stop);
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
    } catch (KPErr& e) {
      std::string t = e.AsString(false);
      size_t at = t.rfind("\r\n");
      std::string detail = at == std::string::npos ? t : t.substr(at + 2);
      size_t unit = detail.find(":Interpreter/");
      if (unit != std::string::npos) detail.resize(unit);
      out = std::to_string(e.code) + "|" + detail;
    } catch (KError& e) {
      out = std::to_string(e.code) + "|" + e.message;
    }
  }
  KB::SetBreatheHook(nullptr, nullptr);
  KB::ReleaseReachable(root);
  KB::DoneWith(chain);
  return out;
}

bool IsShapeError(const std::string& e) {
  size_t bar = e.find('|');
  if (bar == std::string::npos) return false;
  int code = std::atoi(e.c_str());
  std::string detail = e.substr(bar + 1);
  if (code == KT::eNoClose || code == KT::eNoOpen) return true;
  if (code != KT::eSyntax) return false;
  for (const char* d : {"Spacing", "Invalid character", "Invalid member", "need (test)", "need {}", "need ()",
                        "have default", "need $r", "No $R"})
    if (detail == d) return true;
  return !detail.empty() && detail[0] == ':';
}

bool MayBuildCode(const std::string& text) {
  if (text.find_first_of("'\"") != std::string::npos) return true;
  for (const char* s : {"$R", "#X", "#x", "#EA", "#ea", "#Ea", "#eA"})
    if (text.find(s) != std::string::npos) return true;
  return false;
}

}  // namespace

extern "C" {

void* __wrap__ZN5KPlat8MemAllocEmb(size_t bytes, bool zero) {
  if (bytes > kBufferLimit || gLive + bytes > kLiveLimit) return nullptr;
  void* p = zero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (p) gLive += malloc_usable_size(p);
  return p;
}

void* __wrap__ZN5KPlat10MemReallocEPvmmb(void* p, size_t oldBytes, size_t newBytes, bool zeroTail) {
  size_t had = p ? malloc_usable_size(p) : 0;
  if (newBytes > kBufferLimit || gLive - had + newBytes > kLiveLimit) return nullptr;
  void* q = std::realloc(p, newBytes ? newBytes : 1);
  if (!q) return nullptr;
  gLive = gLive - had + malloc_usable_size(q);
  if (zeroTail && newBytes > oldBytes) std::memset(static_cast<char*>(q) + oldBytes, 0, newBytes - oldBytes);
  return q;
}

void __wrap__ZN5KPlat7MemFreeEPv(void* p) {
  if (p) gLive -= malloc_usable_size(p);
  std::free(p);
}

}  // extern "C"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  KCheck::Report r = KCheck::Check(text);
  uint32_t last = 0;
  for (const KCheck::Diagnostic& d : r.diagnostics) {
    if (d.start > d.end || d.end > text.size() || d.start < last) {
      std::fprintf(stderr, "diagnostic range [%u,%u) out of order or outside the text (%zu bytes)\n", d.start, d.end,
                   text.size());
      std::abort();
    }
    last = d.start;
  }
  for (const KLex::Token& t : r.lex.tokens) {
    if (t.start > t.end || t.end > text.size()) std::abort();
  }
  static const bool diff =
      std::getenv("TARQ_FUZZ_CHECK_DIFF") && std::string(std::getenv("TARQ_FUZZ_CHECK_DIFF")) == "1";
  if (!diff || r.HasErrors() || MayBuildCode(text)) return 0;
  std::string e = RunError(text);
  if (!IsShapeError(e)) return 0;
  if (const char* log = std::getenv("TARQ_FUZZ_DIFF_LOG")) {
    if (std::FILE* f = std::fopen(log, "ab")) {
      std::fputs("==== input\n", f);
      std::fwrite(text.data(), 1, text.size(), f);
      std::fprintf(f, "\n--- run: %s\n", e.c_str());
      std::fclose(f);
    }
  }
  std::fprintf(stderr, "the checker passed a text whose run raises a shape error: %s\n", e.c_str());
  std::abort();
}
