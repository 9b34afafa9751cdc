// KSysObj: the values that stand for things outside the interpreter which
// this build does not reach: sockets (KSock, type 28 "Socket"), network
// addresses (KSNMP, type 27), top-level windows (KWin, type 32) and system
// operators (KSysOp, type 30; "#IX" makes kind 4, "#EX" kind 3). They open
// no connection and touch no window; each keeps the text it was given and
// answers the common operations, text forms and field protocol. One unit
// holds all four because they differ only in type code, label and kind.
#pragma once
#include <string>

#include "KB.h"

class KSysObj : public KB {
 public:
  // The record: the argument text handed at construction and the kind.
  struct KRec : KB::KRec {
    std::string arg;
    int kind = 0;
    KRec* Clone() const override { return new KRec(*this); }
  };

  const std::string& Arg() const { return rec()->arg; }
  int Kind() const { return rec()->kind; }

  // Plain form "<label>:<arg>" (a system operator shows its kind as
  // "SysOp[k]"); verbose: the common prefix, a blank, the plain form.
  std::string AsSimpleString() override { return Plain(); }
  std::string AsSimpleString(int) override { return Plain(); }
  std::string AsSimpleString(int, int) override { return Plain(); }
  const std::string& AsString(bool verbose) override;
  void Clear() override { rec()->arg.clear(); }
  KB* Clone() override;
  std::string Dump() override { return Plain(); }
  bool EQ(KB* o) override;
  bool EQV(KB* o) override { return EQ(o); }
  KB* FieldGet(KB* name) override;
  // Orders by type code, then by the argument text, then by kind.
  bool GT(KB* o, int i, int j, bool descending) override;
  int size() override { return 0; }

 protected:
  KSysObj(KT::KTO type, const char* label, const std::string& arg, int kind);

 private:
  const char* label_;
  std::string Plain() const;
  KRec* rec() const { return static_cast<KRec*>(descriptor->rec); }
};

class KSock : public KSysObj {
 public:
  explicit KSock(const std::string& arg = "") : KSysObj(KT::tSock, "Socket", arg, KT::ftSock) {}
};

class KSNMP : public KSysObj {
 public:
  explicit KSNMP(const std::string& arg = "") : KSysObj(KT::tSNMP, "SNMP", arg, KT::ftSNMP) {}
};

class KWin : public KSysObj {
 public:
  explicit KWin(const std::string& arg = "") : KSysObj(KT::tWin, "Win", arg, KT::ftWin) {}
};

class KSysOp : public KSysObj {
 public:
  static constexpr int kindInterrupt = 4;  // "#IX"
  static constexpr int kindError = 3;      // "#EX"
  KSysOp(int kind, const std::string& arg) : KSysObj(KT::tSysOp, "SysOp", arg, kind) {}
};
