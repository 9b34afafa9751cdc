// The command-line host's run: whatever leaves the interpreter is reported
// and the session goes on.
#include "TarqHost.h"

#include "KRB.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "KB.h"

namespace {
// A host hook that fails with an exception that is not an interpreter error.
void FailingBreathe(void*) { throw std::runtime_error("host hook failed"); }

struct HookScope {
  HookScope() { KB::SetBreatheHook(FailingBreathe, nullptr); }
  ~HookScope() { KB::SetBreatheHook(nullptr, nullptr); }
};
}  // namespace

TEST(TarqHost, ForeignExceptionIsReportedAndTheSessionGoesOn) {
  TarqHost host;
  testing::internal::CaptureStderr();
  bool ok = true;
  {
    HookScope hook;
    ok = host.Run("1 + 2");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_EQ(err, "Unknown Error\n");
  testing::internal::CaptureStdout();
  EXPECT_TRUE(host.Run("3 + 4"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "7\n");
}

// A line written in pieces reaches the terminal exactly as the whole line
// does, wherever the pieces are cut (a CR ending one piece, its LF the next).
// The dictionary sync switch takes its two names and nothing else.
TEST(TarqHost, DictSyncTakesFullOrNone) {
  EXPECT_TRUE(TarqHost::SetDictSync("full"));
  EXPECT_TRUE(KRB::Durable());
  EXPECT_FALSE(TarqHost::SetDictSync("always"));
  EXPECT_TRUE(KRB::Durable());
  EXPECT_TRUE(TarqHost::SetDictSync("none"));
  EXPECT_FALSE(KRB::Durable());
}

TEST(TarqHost, LineInPiecesConvertsAsTheWholeLine) {
  const std::string line = "a\r\nb\rc\n\rd\r\r\ne\x80\xE9\r";
  testing::internal::CaptureStdout();
  TarqHost::PrintLine(stdout, line);
  const std::string whole = testing::internal::GetCapturedStdout();
  EXPECT_EQ(whole, TarqHost::ToTerminal(line) + "\n");
  for (size_t a = 0; a <= line.size(); ++a) {
    for (size_t b = a; b <= line.size(); ++b) {
      testing::internal::CaptureStdout();
      TarqHost::LineWriter w(stdout);
      w.Write(line.data(), a);
      w.Write(line.data() + a, b - a);
      w.Write(line.data() + b, line.size() - b);
      w.End();
      ASSERT_EQ(testing::internal::GetCapturedStdout(), whole) << a << " " << b;
    }
  }
}

// ------------------------------------------------------------ memory limits
// Each case runs in a child process whose address space may grow only a
// little beyond what it has mapped (RLIMIT_AS), with standard error in a
// file; the child must end by returning, never by an abort. The sanitizer
// runtime reserves far more address space than any such limit allows.
#if defined(__SANITIZE_ADDRESS__)
#define TARQ_NO_ADDRESS_LIMIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARQ_NO_ADDRESS_LIMIT 1
#endif
#endif

#ifndef TARQ_NO_ADDRESS_LIMIT
namespace {

// Maps a megabyte of stack: the stack grows into the address space too, and
// the cases below leave none for it.
__attribute__((noinline)) void GrowStack() {
  volatile char deep[1 << 20];
  for (size_t i = 0; i < sizeof deep; i += 4096) deep[i] = 0;
}

// Lets the address space grow by `room` bytes beyond what is mapped now.
void LimitAddressSpace(size_t room) {
  GrowStack();
  size_t pages = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%zu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  rlim_t limit = pages * static_cast<size_t>(sysconf(_SC_PAGESIZE)) + room;
  struct rlimit rl = {limit, limit};
  setrlimit(RLIMIT_AS, &rl);
}

struct ChildResult {
  int status = 0;        // as waitpid gives it
  std::string err;       // what the child wrote to standard error
  size_t outBytes = 0;   // bytes the child wrote to standard output
  std::string outHead;   // the first of them
  std::string outTail;   // the last of them
};

// Runs `body` in a child (its return value is the exit status); standard
// output is read here as it comes, only counted and its ends kept.
ChildResult InChild(const std::function<int()>& body) {
  ChildResult r;
  char errPath[] = "/tmp/tarqhost_errXXXXXX";
  int errFd = mkstemp(errPath);
  int out[2];
  if (errFd < 0 || pipe(out) != 0) {
    ADD_FAILURE() << "no temporary file or pipe";
    return r;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    dup2(out[1], STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    int code = body();
    std::fflush(stdout);
    _exit(code);
  }
  close(out[1]);
  char buf[1 << 16];
  ssize_t n;
  while ((n = read(out[0], buf, sizeof buf)) > 0) {
    const size_t got = static_cast<size_t>(n);
    if (r.outHead.size() < 64) r.outHead.append(buf, std::min(got, 64 - r.outHead.size()));
    r.outTail.append(buf + (got > 64 ? got - 64 : 0), std::min<size_t>(got, 64));
    if (r.outTail.size() > 64) r.outTail.erase(0, r.outTail.size() - 64);
    r.outBytes += got;
  }
  close(out[0]);
  waitpid(pid, &r.status, 0);
  std::ifstream in(errPath);
  std::stringstream ss;
  ss << in.rdbuf();
  r.err = ss.str();
  close(errFd);
  unlink(errPath);
  return r;
}

bool ExitedWith(const ChildResult& r, int code) { return WIFEXITED(r.status) && WEXITSTATUS(r.status) == code; }

// Fills the root namespace with many small values until "Out of memory".
const char* const kFill = "#SEQ => q; :WHILE (1) { q , ('xyz' %% 20) => q }";

// Takes every byte of memory still to be had (blocks chained through their
// first word), so that what follows must work with none.
struct Ballast {
  void* head = nullptr;
  void Take() {
    for (size_t size : {size_t{1} << 16, size_t{4096}, size_t{256}, size_t{32}, sizeof(void*)}) {
      while (void* p = std::malloc(size)) {
        *static_cast<void**>(p) = head;
        head = p;
      }
    }
  }
  void Drop() {
    while (head) {
      void* next = *static_cast<void**>(head);
      std::free(head);
      head = next;
    }
  }
};

}  // namespace

TEST(TarqHostMemory, ClearingAndEndingAfterOutOfMemoryNeedNoMemory) {
  ChildResult r = InChild([] {
    {
      TarqHost host;
      LimitAddressSpace(size_t{96} << 20);
      if (host.Run(kFill)) return 3;
      Ballast ballast;
      ballast.Take();
      host.ClearNamespace();
      ballast.Drop();
      if (!host.Run("1 + 1")) return 4;  // the session goes on
      if (host.Run(kFill)) return 5;
      ballast.Take();
    }  // the host ends with its namespace full and no memory left
    return 0;
  });
  EXPECT_TRUE(ExitedWith(r, 0)) << "status " << r.status << "\n" << r.err;
  EXPECT_NE(r.err.find("Out of memory"), std::string::npos) << r.err;
  EXPECT_EQ(r.outHead, "2\n");
}

TEST(TarqHostMemory, ScriptLargerThanTheMemoryLeftIsOutOfMemory) {
  ChildResult r = InChild([] {
    TarqHost host;
    std::string script = "1 + 2 $$ " + std::string(size_t{192} << 20, 'x');
    LimitAddressSpace(size_t{64} << 20);
    if (host.RunScript(script)) return 3;
    std::string().swap(script);
    return host.RunScript("3 + 4") ? 0 : 4;
  });
  EXPECT_TRUE(ExitedWith(r, 0)) << "status " << r.status << "\n" << r.err;
  EXPECT_NE(r.err.find("System error"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Out of memory"), std::string::npos) << r.err;
  EXPECT_EQ(r.outHead, "7\n");
}

// Printing writes the text form in pieces: a 128 MB string prints with room
// for little more than itself, byte for byte.
TEST(TarqHostMemory, LongStringPrintsWithoutCopies) {
  constexpr size_t kLen = size_t{128} << 20;
  ChildResult r = InChild([] {
    TarqHost host;
    LimitAddressSpace(size_t{384} << 20);
    std::string text = "'ab' %% " + std::to_string(kLen);
    return host.Run(text) ? 0 : 3;
  });
  EXPECT_TRUE(ExitedWith(r, 0)) << "status " << r.status << "\n" << r.err;
  EXPECT_EQ(r.outBytes, kLen + 1);
  std::string ab;
  for (int i = 0; i < 32; ++i) ab += "ab";
  EXPECT_EQ(r.outHead, ab);
  EXPECT_EQ(r.outTail, ab.substr(1) + "\n");
}
#endif  // TARQ_NO_ADDRESS_LIMIT
