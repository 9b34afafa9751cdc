// fuzz_parser: libFuzzer entry that runs arbitrary bytes as a Tarq text the
// way a host does (a fresh root namespace in a namespace chain, a KParser
// per run, switches, an output sink, Exec, the result's text form), twice in
// the same namespace so the second run meets whatever the first one stored.
// Errors must leave as KPErr or KError; anything else (a crash, a leak, a
// sanitizer report, an escaping exception) is a finding.
//
// Input format: the bytes are the script text. A first byte in 0x10..0x1F
// is not text but selects the switches (bit 0 trace, 1 parse, 2 verbose,
// 3 comments; tarqsh -t -p -v -c reproduce them).
//
// Endless loops end with "Stopped": the Breathe hook, called once per token
// and loop pass, raises the stop flag after kTokenBudget calls and keeps it
// raised. The budget lets a short loop build a value nested tens of
// thousands of levels deep (a few breaths per pass, and the second run goes
// on from where the first stopped), deep enough to overflow the stack of
// any recursive walk without a nesting guard; an endless loop still ends
// within about a second.
//
// Reference cycles: containers are shared by reference, so a script can make
// one hold itself ("N=>N.x" twice). At the end the harness lets go of the
// root namespace as hosts do (KB::ReleaseReachable), which frees the cycles
// still reachable from it and then those a script made unreachable; any
// value still alive after that is a leak.
//
// Direct runs: with TARQ_FUZZ_DIFF=1 in the environment each input also runs
// with direct runs switched off (KQuick::enabled), in a namespace of its
// own, and the transcripts (output lines, results and errors, with the
// "__<id>" names of anonymous values blanked, since direct runs make fewer
// values) must be equal unless the token budget stopped either or the token
// loop ran out of memory.
//
// Element buffers: the linker routes KPlat::MemAlloc / MemRealloc / MemFree
// here (--wrap). Each buffer is one exact-size heap block, so the sanitizers
// see every read or write outside it and every buffer left behind (the
// platform allocator's headers and mapped blocks would hide both). A buffer
// beyond kBufferLimit, or one that would take the live total beyond
// kLiveLimit, fails as the platform does when memory runs out, so a script
// asking for gigabytes ends with "Out of memory" and every input stays
// small enough to run in a moment.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>

#include "KArg.h"
#include "KB.h"
#include "KNS.h"
#include "KParser.h"
#include "KQuick.h"
#include "KSeq.h"
#include "Kerror.h"
#include "Ktypes.h"

namespace {

constexpr long kTokenBudget = 150000;
constexpr size_t kBufferLimit = size_t(16) << 20;
constexpr size_t kLiveLimit = size_t(96) << 20;
size_t gLive = 0;  // bytes in live element buffers

struct CountingSink : KOutSink {
  size_t bytes = 0;
  std::string* transcript = nullptr;  // the differential mode keeps the lines
  void AppendLine(const std::string& line) override {
    bytes += line.size();
    if (transcript) *transcript += line + "\n";
  }
};
std::string* gTranscript = nullptr;

long gBreaths = 0;

void Breathe(void* ctx) {
  if (++gBreaths > kTokenBudget) *static_cast<bool*>(ctx) = true;
}

struct Switches {
  bool trace = false, parse = false, verbose = false, comments = false, stop = false;
};

// One run as a host makes it; returns the size of what it printed.
size_t Run(KSeq* chain, Switches& sw, const std::string& text) {
  CountingSink sink;
  sink.transcript = gTranscript;
  gBreaths = 0;
  sw.stop = false;
  KB::SetBreatheHook(Breathe, &sw.stop);
  KParser p(chain, "root");
  p.fpTraceSwSet(&sw.trace);
  p.fpParseSwSet(&sw.parse);
  p.fpVerboseSwSet(&sw.verbose);
  p.fpCommentsSwSet(&sw.comments);
  p.fpStopSwSet(&sw.stop);
  p.fpOutSet(&sink);
  p.fCmdSet(text);
  size_t printed = 0;
  try {
    KA result;
    KT::KTT last = KT::ttUnknown;
    p.Exec(result, last, nullptr);
    bool* v = p.fpVerboseSwGet();
    printed = result.AsString(v && *v).size();
    if (gTranscript) *gTranscript += "= " + result.AsString(v && *v) + "\n";
  } catch (KPErr& e) {
    printed = e.AsString(false).size();
    if (gTranscript) *gTranscript += "! " + e.AsString(false) + "\n";
  } catch (KError& e) {
    KPErr wrapped("DoIt:", e.code, p.PParser(), e.message);
    printed = wrapped.AsString(false).size();
    if (gTranscript) *gTranscript += "! " + wrapped.AsString(false) + "\n";
  }
  if (gTranscript && gBreaths > kTokenBudget) *gTranscript += "(budget)\n";
  KB::SetBreatheHook(nullptr, nullptr);
  return printed + sink.bytes;
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

double __real__ZN5KPlat12NowLocalDaysEv();
bool gClockStill = false;  // the differential mode reads one fixed time

double __wrap__ZN5KPlat12NowLocalDaysEv() { return gClockStill ? 46000.5 : __real__ZN5KPlat12NowLocalDaysEv(); }

void __wrap__ZN5KPlat7MemFreeEPv(void* p) {
  if (p) gLive -= malloc_usable_size(p);
  std::free(p);
}

}  // extern "C"

namespace {

// Both runs of a text in a fresh root namespace, as a transcript.
std::string Transcript(const std::string& text, Switches sw) {
  // Every transcript starts the random numbers from the same seed.
  {
    KSeq* c = new KSeq();
    c->Append(new KNS(), true);
    Switches quiet;
    Run(c, quiet, "1 => ?");
    KB::ReleaseReachable((*c)[0]);
    KB::DoneWith(c);
  }
  std::string t;
  gTranscript = &t;
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  chain->Append(root, true);
  Run(chain, sw, text);
  Run(chain, sw, text);
  t += root->AsString(true);
  KB::ReleaseReachable(root);
  KB::DoneWith(chain);
  gTranscript = nullptr;
  // Anonymous values are named after their IDs, which direct runs use fewer of.
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    out += t[i];
    if (t[i] == '_' && i + 1 < t.size() && t[i + 1] == '_') {
      out += '_';
      ++i;
      while (i + 1 < t.size() && t[i + 1] >= '0' && t[i + 1] <= '9') ++i;
    }
  }
  return out;
}

// A text whose transcript changes from run to run (the system's random
// bytes; the clock stands still) is not compared: the token loop runs it before and after the direct run,
// and only two equal token-loop transcripts count (a clock read in the
// direct run lies between theirs).
void CompareDirectRuns(const std::string& text, const Switches& sw) {
  KQuick::enabled = false;
  std::string tokens = Transcript(text, sw);
  KQuick::enabled = true;
  std::string direct = Transcript(text, sw);
  KQuick::enabled = false;
  std::string again = Transcript(text, sw);
  KQuick::enabled = true;
  if (tokens != again || tokens.find("(budget)") != std::string::npos) return;
  // A fused statement needs no memory for its range and temporaries, so
  // under this harness's memory limit it may succeed where the token loop
  // runs out (as it would not with the memory a host has).
  if (tokens.find("Out of memory") != std::string::npos) return;
  if (direct == tokens || direct.find("(budget)") != std::string::npos) return;
  // The transcripts may hold any byte: written whole, to standard error and
  // (since a fork-mode job's log goes with it) to TARQ_FUZZ_DIFF_LOG.
  if (const char* log = std::getenv("TARQ_FUZZ_DIFF_LOG")) {
    if (std::FILE* f = std::fopen(log, "ab")) {
      std::fputs("==== input\n", f);
      std::fwrite(text.data(), 1, text.size(), f);
      std::fputs("\n--- direct\n", f);
      std::fwrite(direct.data(), 1, direct.size(), f);
      std::fputs("--- token loop\n", f);
      std::fwrite(tokens.data(), 1, tokens.size(), f);
      std::fclose(f);
    }
  }
  std::fputs("direct runs differ from the token loop\n--- direct\n", stderr);
  std::fwrite(direct.data(), 1, direct.size(), stderr);
  std::fputs("--- token loop\n", stderr);
  std::fwrite(tokens.data(), 1, tokens.size(), stderr);
  std::abort();
}

}  // namespace

extern "C" {

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Switches sw;
  if (size > 0 && data[0] >= 0x10 && data[0] <= 0x1F) {
    unsigned bits = data[0] - 0x10u;
    sw.trace = bits & 1;
    sw.parse = bits & 2;
    sw.verbose = bits & 4;
    sw.comments = bits & 8;
    ++data;
    --size;
  }
  std::string text(reinterpret_cast<const char*>(data), size);
  static const bool diff = std::getenv("TARQ_FUZZ_DIFF") && std::string(std::getenv("TARQ_FUZZ_DIFF")) == "1";
  if (diff) {
    gClockStill = true;
    CompareDirectRuns(text, sw);
    return 0;
  }
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  chain->Append(root, true);
  size_t printed = Run(chain, sw, text);
  printed += Run(chain, sw, text);
  printed += root->AsString(false).size() + root->AsString(true).size();
  KB::ReleaseReachable(root);  // as hosts drop their root namespace
  KB::DoneWith(chain);
  return printed == size_t(-1) ? -1 : 0;  // keeps the text forms from being optimised away
}

}  // extern "C"
