// Ktypes: the enumerations that classify values, tokens, errors and control
// words, the flow record, the missing-value sentinels and the character and
// collation tables (Windows-1252). Everything here is process-wide and built
// once by KT::Init before the first value is made.
#pragma once
#include <cstdint>
#include <string>

namespace KT {

// Object type codes (one byte). Names come from TypeObjToName.
enum KTO : uint8_t {
  tUnset = 0, tArg = 1, tAssoc = 2, tBit = 3, tBlock = 4, tClock = 5, tCV = 6,
  tDict = 7, tFCtxt = 8, tField = 9, tFile = 10, tEachMark = 11, tFL = 12,
  tUnused13 = 13, tGREP = 14, tNil = 15, tNS = 16, tNum = 17, tNV = 18,
  tOpUD = 19, tParser = 20, tPgm = 21, tRB = 22, tRef = 23, tRS = 24,
  tSeqEa = 25, tSeq = 26, tSNMP = 27, tSock = 28, tString = 29, tSysOp = 30,
  tSys = 31, tWin = 32, tIdx = 33, tSet = 34, tBag = 35
};

// Element alignments (one byte): how a value's elements are stored.
enum KAL : uint8_t {
  aNone = 0, aBit = 1, aChar = 2, aInt = 3, aFloat = 4, aKB = 5, aPtr = 6
};

// Error codes (one byte). Names come from TypeErrorToName.
enum KET : uint8_t {
  eNULL = 0, eConformity = 1, eDepth = 2, eIndex = 3, eNoClose = 4,
  eNoOpen = 5, eNotImpl = 6, eNotSupp = 7, eReadOnly = 8, eSyntax = 9,
  eSystem = 10, eTarget = 11, eUnsupp12 = 12, eUnknown = 13,
  eInterrupt = 14, eValue = 15
};

// Token kinds (one byte). Only some have printed names.
enum KTT : uint8_t {
  ttUnknown = 0, ttBlock = 2, ttBulk = 3, ttComment = 4, ttCommentsOn = 5,
  ttCommentsOff = 6, ttControl = 7, ttMember = 8, ttIgnoreD = 9,
  ttIgnoreD2 = 10, ttRecalc = 11, ttDisplay = 12, ttFlowDone = 13,
  ttFieldName = 14, ttFList = 15, ttIndex = 16, ttNumber = 17,
  ttOperator = 19, ttParen = 20, ttParseOff = 21, ttParseOn = 22,
  ttDefined = 23, ttQuote = 24, ttRefDone = 25, ttSeqValue = 26,
  ttSeparator = 27, ttIgnoreS = 28, ttSymbol = 29, ttTraceOff = 30,
  ttTraceOn = 31, ttVerboseOff = 32, ttVerboseOn = 33
};

// Control kinds (one byte) of the control-word table.
enum KCT : uint8_t {
  ctNone = 0, ctBreak = 1, ctCase = 2, ctCatch = 3, ctContinue = 4,
  ctDefault = 5, ctDo = 6, ctElse = 8, ctElseIf = 9, ctFor = 10, ctIf = 13,
  ctMember = 14, ctReturn = 15, ctSelect = 16, ctThrow = 17, ctTry = 18,
  ctUntil = 19, ctWhile = 20
};

// How a name is put into a namespace: 1 a symbol name, 2 any non-empty name.
enum KNT : uint8_t { ntNone = 0, ntSymbol = 1, ntAny = 2 };

// Element-wise comparison codes used by the marking methods.
enum KMC : uint8_t {
  mcNone = 0, mcLT = 1, mcLE = 2, mcEQ = 3, mcGE = 4, mcGT = 5, mcNE = 6
};

// System operator kinds (objects that stand for the outside world).
enum KFT : uint8_t { ftNone = 0, ftSock = 1, ftSNMP = 2, ftWin = 3, ftSysOp = 4 };

// Missing-value sentinels.
inline constexpr int32_t iNil = 2147483647;
inline constexpr double fNil = 1.7976931348623157e+308;
inline constexpr unsigned char cNil = 0x7F;

inline constexpr int DepthLimit = 100;

// A switch that always reads as off. Every read through SwRead resets it,
// so writes through a switch pointer that was never set are lost.
extern bool swDummy;
inline bool SwRead(bool* sw) {
  if (sw == &swDummy) swDummy = false;
  return *sw;
}

// Flow record: what a run, a loop or a block returns.
// kind 0 normal, 1 break, 2 continue, 3 return; count = block levels a
// return still has to leave.
struct KBR {
  uint8_t kind = 0;
  int32_t count = 0;
  bool IsZero() const { return kind == 0; }
  void Decrement() {
    if (kind != 3) return;
    if (count > 0) --count;
    if (count == 0) kind = 0;
  }
};

// Character tables, 256 entries each, indexed by an unsigned byte.
extern unsigned char UC[256];           // to upper case
extern unsigned char LC[256];           // to lower case
extern unsigned char AlphaNormTbl[256]; // letter of the alphabet list or 0
extern unsigned char AlphaTARQTbl[256]; // its fold, or 0
extern int CSTARQ[256];                 // collation weight (case/accents folded)
extern int CSTARQDefault[256];
extern int CSExact[256];                // exact collation position
extern int CSExactDefault[256];
// Changes whenever CSTARQ or CSExact is set, so that anything kept in
// collated order (sorted indexes, trees) can tell its order is stale.
extern unsigned CollationEpoch;

void Init();  // builds the tables; safe to call more than once

inline unsigned char AlphaNorm(unsigned char c) { return AlphaNormTbl[c]; }
inline unsigned char AlphaTARQ(unsigned char c) { return AlphaTARQTbl[c]; }

const char* TypeObjToName(int code);
const char* TypeAlignToName(int code);
int TypeAlignToElemSz(int code);
const char* TypeErrorToName(int code);
const char* TypeTokToName(int code);

}  // namespace KT
