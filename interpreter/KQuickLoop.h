// KQuickLoop: the compiled form of a loop whose test and body have the
// direct form (KQuick). Every name the texts read or assign is resolved
// once to its association and level, for the scope each text runs in (the
// test's and the body's namespaces as the chain's top, and for a program or
// operator called from the body, its own namespace above the body's); the
// places hold while no namespace changes (KSeq::fScopeEpoch) and are found
// again when one did. A pass then reads and writes the values in place.
//
// What a pass leaves is what the direct form leaves: the same values under
// the same names, stamped with the same SID and level, the same reference
// counts. A program whose text is one plain statement is run in place of
// its call; a monadic user-defined operator applied to a name and assigned
// back to it (`i inc => i`) with a one-statement text is run in place too,
// its operand bound as "l__" and the result in a value of the one the
// operator let go of (it takes a new ID, as a new value would), so the
// operator's namespace reads as the token loop leaves it after every pass.
//
// After a compiled pass, loops of the simplest forms run raw passes (see
// RawPasses): the elements alone are read and written, once per breath.
//
// A statement the compiled form cannot do exactly (a value of another kind,
// a nil meeting a Float, a switch on, a call of anything else) runs the
// rest of the body through KQuick and the token loop, as an uncompiled
// pass would from that statement; nothing of it has happened before.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "KArg.h"
#include "KQuick.h"
#include "Ktypes.h"

class KAssoc;
class KBlock;
class KNS;
class KPParser;
struct KTokMemo;

class KQuickLoop {
 public:
  // The compiled form of a loop over `test` (null: no test) and `body`, or
  // null when the texts have no direct form.
  static std::unique_ptr<KQuickLoop> Make(KPParser* ps, KBlock* test, KBlock* body);

  // Whole passes of a loop that tests first and collects nothing, run while
  // they compile: each lets the host breathe (`poll`), tests, runs the body.
  // 0: the test or a break ended the loop; 1: a return travels on in
  // `flow`; 2: this pass must go on the usual way, its host having breathed
  // and nothing else of it having run.
  using PollFn = void (*)(KPParser*);
  int Passes(KPParser* ps, PollFn poll, KA& out, KT::KBR& flow);

  // Raw passes of a For over one vector of numbers (see RawPasses), from
  // pass `i` up to pass `last`, each taking its element into `var`'s value
  // in place; `i` is the next pass when it returns. 0: passes up to `last`
  // ran; 2: pass `i` goes on the usual way (the host has breathed, nothing
  // else ran); 3: it goes on from body statement `k` (the element is bound,
  // the statements before `k` ran); -1: no raw passes now.
  int ForPasses(KPParser* ps, PollFn poll, KAssoc* var, KB* src, int& i, int last, size_t& k);

  // The rest of a body from statement `k` on, run the usual way (after raw
  // passes gave a pass back there).
  KT::KBR Rest(KPParser* ps, KA& out, size_t k);

  // The truth of the test for this pass, 1 or 0; -1 when the pass must run
  // it as usual (nothing of it ran).
  int Test(KPParser* ps);
  // The host has breathed: what the test found is checked again.
  void Polled() { checked_ = false; }
  // Runs the body for this pass; with `want` `out` receives its value (the
  // loop collects it). The flow record is the one a statement run the
  // usual way may leave.
  KT::KBR Body(KPParser* ps, KA& out, bool want);

 private:
  KQuickLoop() = default;
  struct Place {
    KAssoc* a = nullptr;  // null: a literal
    int level = 0;
    KQuick::Num lit;
  };
  enum Kind : uint8_t { kArith, kCall, kApply, kOther };
  struct Text;
  struct Stmt {
    Kind kind = kOther;
    const KQuick::Stmt* src = nullptr;
    std::vector<Place> terms;  // the first term, then each step's
    KAssoc* target = nullptr;
    int targetLevel = 0;
    // `a op b => a` with an arithmetic op: the common counter statement,
    // run without the general path while `a` holds a private number.
    bool self = false;
    uint8_t op = 0;  // the first step's operation
    // kCall, kApply: the program or operator, as it was when compiled (its
    // text's memo is held, so its address cannot come back for another).
    Place callee;
    KB* calleeValue = nullptr;
    std::shared_ptr<KTokMemo> calleeMemo;
    std::unique_ptr<Text> inner;  // the callee's one statement
    KAssoc* lArg = nullptr;       // kApply: the operator's "l__" entry
  };
  struct Text {
    KBlock* block = nullptr;
    KQuick* q = nullptr;
    std::vector<Stmt> stmts;
  };

  // A number a raw pass reads or writes: a literal, or the element of a
  // value that stays the same object pass after pass.
  struct Cell {
    bool lit = true;
    bool flt = false;
    KQuick::Num value;   // the literal
    void* data = nullptr;
  };
  // Raw passes: the test is one comparison and every body statement is
  // `a op b => a` on a number only its entry holds. The values are then the
  // same objects in every pass and each pass stamps them as the last one
  // did, so passes after a compiled one read and write the elements alone.
  // 0: the test ended the loop; 2: this pass goes on the usual way before
  // its test (the host has breathed); 3: it goes on from body statement
  // `k` (the test was true, the statements before `k` ran); -1: no raw
  // passes now.
  int RawPasses(KPParser* ps, PollFn poll, size_t& k);
  // Raw passes of `i op => i` alone (a one-statement monadic operator): the
  // name's value and the operator's "l__" change places every pass, so the
  // two objects are followed by hand and stamped as a compiled pass stamps
  // them; the result takes a new ID. 0 and 2 as RawPasses; 3: the body
  // runs the usual way this pass (the test was true); -1: no raw passes.
  int RawApplyPasses(KPParser* ps, PollFn poll);
  bool rawApply_ = false;
  bool RawCells(bool withTest);
  // Whether the compiled texts have the raw form (with a test: a While's).
  bool RawShape(bool withTest) const;
  bool rawWhile_ = false, rawFor_ = false;
  int rawWait_ = 0;  // compiled passes before values are looked at again
  std::vector<Cell> rawCells_;  // test's two, then each body statement's target and operand

  // Compiles the texts for the scope as it is now; false when they cannot.
  bool Build(KPParser* ps);
  bool BuildText(KPParser* ps, KBlock* b, KQuick* q, KNS* t1, KNS* t2, Text& out, bool inner);
  bool BuildStmt(KPParser* ps, const KQuick::Stmt& st, KNS* t1, KNS* t2, Stmt& out, bool inner);
  // Whether the places still hold (rebuilt when a namespace changed).
  bool Fresh(KPParser* ps);
  bool Rebuild(KPParser* ps);

  // A statement of numbers: false when it needs the usual run (nothing of
  // it happened but stamps a usual run gives again).
  static bool Arith(const Stmt& s, KQuick::Acc& acc);
  // With `value`, the statement's value goes there (as the direct form
  // gives the text's value when it is wanted).
  static bool RunArith(const Stmt& s, KA* value = nullptr);
  static bool RunSelf(const Stmt& s);
  bool RunCall(const Stmt& s, KA* value = nullptr);
  bool RunApply(const Stmt& s);
  bool Stale();

  KBlock* test_ = nullptr;
  KBlock* body_ = nullptr;
  Text testText_, bodyText_;
  bool built_ = false;
  uint64_t epoch_ = ~uint64_t(0);   // the epoch the places were found in
  std::vector<KB*> chainSlots_;     // and the chain's namespaces then
  uint64_t failed_ = ~uint64_t(0);  // the epoch a build failed in
  bool checked_ = false;  // the test of this pass found the places fresh
  bool bodyDone_ = false;  // the last body ran compiled from end to end
};
