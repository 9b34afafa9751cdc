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
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>

#include "KArg.h"
#include "KB.h"
#include "KNS.h"
#include "KParser.h"
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
  void AppendLine(const std::string& line) override { bytes += line.size(); }
};

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
  } catch (KPErr& e) {
    printed = e.AsString(false).size();
  } catch (KError& e) {
    KPErr wrapped("DoIt:", e.code, p.PParser(), e.message);
    printed = wrapped.AsString(false).size();
  }
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

void __wrap__ZN5KPlat7MemFreeEPv(void* p) {
  if (p) gLive -= malloc_usable_size(p);
  std::free(p);
}

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
