// TarqExample: running a worked example of the help in this process, on a
// namespace of its own, and the text the help shows for it: what it printed
// and its result, or the error's name and detail. Shared by the help and the
// build-time generator of its data.
#pragma once
#include <string>

#include "KSeq.h"

namespace TarqExample {

// A throw-away namespace chain for one probe or example.
class ScratchChain {
 public:
  ScratchChain();
  ~ScratchChain();
  ScratchChain(const ScratchChain&) = delete;
  ScratchChain& operator=(const ScratchChain&) = delete;
  KSeq* get() const { return chain_; }

 private:
  KSeq* chain_;
};

// True when the detail of a "not implemented" error names an operator with a
// form that is not built yet (the example then shows "(not built yet)").
using PendingFn = bool (*)(const std::string& detail);

// The example's output and result (a sequence in its verbose form), or its
// error without position block and source location; line ends as "\n".
std::string Run(const std::string& text, PendingFn pending);

}  // namespace TarqExample
