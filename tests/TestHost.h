// A host for unit tests: one root namespace in a chain, kept across runs,
// and a stop flag, as the command-line host keeps them.
#pragma once
#include <string>

#include "KArg.h"
#include "KB.h"
#include "KNS.h"
#include "KParser.h"
#include "KSeq.h"
#include "Kerror.h"

struct TestHost {
  KSeq* chain = new KSeq();
  KNS* root = new KNS();
  bool stop = false;
  TestHost() { chain->Append(root, true); }
  ~TestHost() {
    root->Clear();
    KB::DoneWith(chain);
  }
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // The result's text form (verbose when asked), or "error <code>: <text>".
  std::string Run(const std::string& text, bool verbose = false) {
    KParser p(chain, "root");
    p.fpStopSwSet(&stop);
    p.fCmdSet(text);
    try {
      KA result;
      KT::KTT last = KT::ttUnknown;
      p.Exec(result, last, nullptr);
      return result.AsString(verbose);
    } catch (KPErr& e) {
      return "error " + std::to_string(e.code) + ": " + e.AsString(false);
    } catch (KError& e) {
      return "error " + std::to_string(e.code) + ": " + e.message;
    }
  }
};
