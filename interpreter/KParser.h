// KParser: the interpreter entry. A host builds one KParser per run over a
// namespace chain, hands it switch pointers, an output sink and the script
// text, and calls Exec, which folds the text token by token, left to right,
// into one value. KPParser is the parse state behind it: the code buffer cut
// in place by the tokenizer, the two evaluation registers L and R, the token
// and operator bookkeeping and the switch pointers. Child parsers (groups,
// index brackets, blocks, programs) share the switches, the sink and the
// chain of their parent and count one more nesting level.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KArg.h"
#include "KB.h"
#include "Kerror.h"
#include "Ktypes.h"

class KSeq;
class KNS;
class KString;
class KBlock;
class KParser;
class KQuick;
class KFuse;

// The host's output sink: the interpreter appends whole lines (Windows-1252,
// may contain CR LF). A line may also come in pieces (Write, then EndLine);
// a sink that does not stream collects them and appends the line whole.
struct KOutSink {
  virtual ~KOutSink() = default;
  virtual void AppendLine(const std::string& line) = 0;
  virtual void Write(const char* piece, size_t n) { pending_.append(piece, n); }
  virtual void EndLine();
  // The text form of a value as one line, exactly as KA::AsString gives
  // it: a string's characters are written in pieces, so printing a long
  // string builds no copy of it.
  void AppendValue(KB* v, bool verbose);

 private:
  std::string pending_;
};

// The tokens of one text, recorded as the tokenizer first reads them, so a
// text that runs again (a loop body, a test, an operator's code) is not
// scanned again. An entry keeps exactly what the scan left in the parse
// state (offsets into the text, kind, operator index, selector flags), so a
// replayed token is indistinguishable from a scanned one: same cuts, same
// positions for errors and carets. Tokens with side effects on the switches
// and scans that fail are never recorded. The memo belongs to the text (its
// content is the key), so a changed text simply has another memo.
struct KTokMemo {
  struct Entry {
    int32_t start = -1;   // token start, -1 for none (end of text)
    int32_t end = 0;      // where the terminator goes
    int32_t resume = 0;   // next scan position
    int32_t line = -1;    // line start after the blanks skipped, -1 unchanged
    KT::KTT kind = KT::ttUnknown;
    KT::KCT ct = KT::ctNone;
    int32_t op = -1;
    uint8_t member = 0, colon = 0;
    // Symbols: where the name was found last (chain length, chain position,
    // namespace, slot). A hint only: every use checks it against the chain.
    int32_t chainCount = -1, chainIdx = -1, slot = -1;
    KNS* ns = nullptr;
  };
  std::string text;
  std::vector<int32_t> at;  // text offset -> entry index, -1 not yet read
  std::vector<Entry> entries;

  // The direct form of the text (KQuick), compiled on first use: state 0
  // not yet tried, 1 compiled, -1 the text has none.
  std::shared_ptr<KQuick> quick;
  int8_t quickState = 0;
  // The fused statement forms of the text (KFuse), made on first use.
  std::shared_ptr<KFuse> fuse;

  explicit KTokMemo(const char* t, size_t n) : text(t, n), at(n + 1, -1) {}
  const Entry* Find(size_t offset) const {
    int32_t i = at[offset];
    return i < 0 ? nullptr : &entries[static_cast<size_t>(i)];
  }
  // The memo of a text, shared by every run of that text; null for texts
  // too long to keep.
  static std::shared_ptr<KTokMemo> For(const char* t, size_t n);
};

// The parse state. One per KParser, never shared.
//
// Scanner invariants: `code` is an owned, zero-terminated buffer of
// `codeEnd - code` characters. After a token is read the character that
// followed it was saved in `saved` and a zero written at `tokenEnd`, so
// `token` is a zero-terminated string inside the buffer; the next scan puts
// the saved character back first. `scan` is where the next token starts,
// `prevStart` where the current token started (put-back returns there).
//
// Register invariants: L and R always hold a value (NoValue when empty).
// pendOp / newOp are operator-table indices, -1 for none, -2 for the
// user-defined operator held in U.
class KPParser : public KPosState {
 public:
  // Switch pointers: every one starts at KT::swDummy (reads as off).
  bool* swComments = &KT::swDummy;
  bool* swParse = &KT::swDummy;
  bool* swStop = &KT::swDummy;
  bool* swTrace = &KT::swDummy;
  bool* swVerbose = &KT::swDummy;

  // Scanner state (the rest is in KPosState).
  // `codeEnd`, the buffer's terminating zero, is in KPosState.
  char* prevStart = nullptr;  // start of the current token
  // `token`, the current token text (null at the end), is in KPosState.
  int tokenLen = 0;

  KSeq* chain = nullptr;      // referenced; the last element is the current namespace
  KOutSink* out = nullptr;
  KPParser* parent = nullptr;

  // The memo entry of the current token (-1 when it was not recorded).
  int tokIndex = -1;
  // Where the last symbol lookup of this token found its name (for the
  // assignment that may follow at once); null when not found.
  KNS* foundNS = nullptr;
  int foundSlot = -1, foundLevel = -1;
  // Where the last symbol read by this parser was found, kept across tokens
  // so that "@" after it can name that very entry; it may be stale, and is
  // used only while its namespace is in the chain and the entry still holds
  // the value in hand.
  KNS* readNS = nullptr;
  int readSlot = -1;

  KA L, R;
  KA U;       // the user-defined operator for newOp/pendOp == -2
  KA argNS;   // the argument namespace of a block run ("#ARGS")
  KA nameKey; // a string reused as the key of symbol lookups
  int opIndex = -1;  // operator index of the current Operator token

  KT::KTO curVT = KT::tNV, prevVT = KT::tNV;
  KT::KTT prevTT = KT::ttUnknown, curTT = KT::ttUnknown;
  KT::KCT curCT = KT::ctNone;
  int displayCount = 0;
  int newOp = -1, pendOp = -1;

  // Saved state around index brackets and member chains: a copy of L, the
  // previous kind and both operator indices; saved at most once.
  struct Saved {
    KA L;
    KT::KTT prevTT = KT::ttUnknown;
    int newOp = -1, pendOp = -1;
    bool active = false;
  } savedState;

  bool resumed = false;    // set by ResumeAt until the run starts
  bool resumeMid = false;  // ... inside a statement, with resumeL in hand
  KA resumeL;
  uint8_t member = 0;  // 0 none, 1 "." or ":" follows, 2 "[" follows
  uint8_t colon = 0;   // 1 when the selector is ":"
  KBlock* block = nullptr;  // the block being run (null for a host run)

  // The last child this state made, kept for the next nested evaluation
  // (KChild); owned; null while it is lent out. `codeCap` is how many bytes
  // the code buffer holds, so a new text of that size reuses it.
  KPParser* spare = nullptr;
  size_t codeCap = 0;

  // The token memo of the current text (none for a host's top-level text,
  // which runs once); dropped for the rest of a run once the buffer is
  // changed (PutBackChar).
  std::shared_ptr<KTokMemo> memo;

  KPParser(KSeq* chain);
  explicit KPParser(KPParser* parent);
  ~KPParser();
  // Makes a kept child equal to a new child of `parent` again.
  void Renew(KPParser* parent);
  // Lets go of everything a finished (or failed) run left in the registers.
  void Release();
  KPParser(const KPParser&) = delete;
  KPParser& operator=(const KPParser&) = delete;

  // Text. The second form replays tokens through the text's memo; `keep`,
  // when given, caches the memo for the caller (a block's record).
  void CmdSet(const char* text, size_t n, bool stripEnds);
  void CmdSetMemo(const char* text, size_t n, bool stripEnds, std::shared_ptr<KTokMemo>* keep);
  // Evaluates the whole text (KParser::Exec runs this).
  KT::KBR Run(KA& result, KT::KTT& lastKind, KBlock* block);

  // Tokenizer: reads the next token, returns its kind (also in curTT).
  KT::KTT NextToken(bool skipDirectives);
  // Scans one token from the text (NextToken without the memo).
  KT::KTT ScanOne();
  // The next call returns the current token again.
  void PutBack();
  // Pushes one character back in front of the scan position.
  void PutBackChar(char c);
  // Makes the next run start at a statement boundary inside the text (the
  // scan position and line start there), as if a ";" had just been read.
  // With `carried`, the run resumes inside a statement (before its "=>")
  // with that value in hand.
  void ResumeAt(size_t scanAt, size_t lineAt, KB* carried);
  // The text after the current token up to the end (for look-ahead).
  const char* Rest() const { return scan; }
  // Whether the next token is a separator, read from the text without
  // scanning (so no error can be raised early).
  bool NextIsSeparator() const;

  // Switch reads (through KT::SwRead, so the dummy never sticks).
  bool Tracing() const { return KT::SwRead(swTrace); }
  bool Parsing() const { return KT::SwRead(swParse); }
  bool Verbose() const { return KT::SwRead(swVerbose); }
  bool Comments() const { return KT::SwRead(swComments); }

  // Output lines: "L%d:Parse:%s%s" / "L%d:Trace:%s%s".
  void Emit(const std::string& line);
  // The switch tests stand inline: these run for most tokens, and the
  // switches are almost always off.
  void ParseLine(const char* label, const char* text) {
    if (Parsing() && out) ParseLineOn(label, text);
  }
  void ParseVal(const char* label, KB* v);   // parse switch, value present
  void TraceVal(const char* label, KB* v) {  // trace switch, value present
    if (Tracing() && out) TraceValOn(label, v);
  }
  void ParseLineOn(const char* label, const char* text);
  void TraceValOn(const char* label, KB* v);

  // Current namespace (last element of the chain).
  KNS* CurNS() const;
  // A string holding `name`, for namespace searches and stores; valid until
  // the next call (the parse state reuses it).
  KString* Key(const char* name);
};

// One child parse state for one nested evaluation (a group, an index, a
// block, a program, a user operator). The parent keeps the child it made
// last and hands it out again, renewed, when it is not in use, so a loop
// does not build and tear down a parse state for every test and body. A
// kept child holds no values between uses (Release).
class KChild {
 public:
  explicit KChild(KPParser* parent);
  ~KChild();
  KChild(const KChild&) = delete;
  KChild& operator=(const KChild&) = delete;
  KPParser* operator->() const { return ps_; }
  KPParser& operator*() const { return *ps_; }

 private:
  KPParser* parent_;
  KPParser* ps_;
};

class KParser : public KB {  // type 20 "Parser"
 public:
  KParser(KSeq* chain, const std::string& name);      // root parser over a namespace chain (referenced)
  KParser(KParser* parent, const std::string& name);  // child
  KParser(KPParser* parent, const std::string& name); // child of a parse state
  ~KParser() override;
  KParser(const KParser&) = delete;
  KParser& operator=(const KParser&) = delete;

  void fCmdSet(const std::string& text);  // the script text
  void CmdSet(const char* text, bool stripEnds);
  void CmdSet(KString* text, bool stripEnds);
  void CmdSet(KA& text, bool stripEnds);
  KT::KBR Exec(KA& result, KT::KTT& lastKind, KBlock* block);  // host passes block = nullptr

  void fpCommentsSwSet(bool* sw);
  void fpParseSwSet(bool* sw);
  void fpStopSwSet(bool* sw);
  void fpTraceSwSet(bool* sw);
  void fpVerboseSwSet(bool* sw);
  bool* fpStopSwGet();
  bool* fpVerboseSwGet();
  void fpOutSet(KOutSink* sink);  // may be null

  KT::KTT NextToken(bool skipDirectives);
  KSeq* NSChain();
  KPParser* PParser();
  KT::KTT xTT();
  KT::KCT xCT();

  // True when the text is non-empty and every character is a digit or blank.
  static bool IsInt(const char* text);
  // The decimal value of a text of digits (0 when a character is neither).
  static int AsInt(const char* text);

  // Reference protocol: the base's (ReferenceTo of itself is ignored).

  // Evaluator services for control structures and blocks.
  // Applies an operator index (or -2 with the user-defined operator in U).
  static void Dyadic(KPParser* ps, KA& l, KA& r, int op);
  static void Monadic(KPParser* ps, KA& l, int op);
  static void Niladic(KPParser* ps, KA& l, int op);

 private:
  KPParser* pp;
};
