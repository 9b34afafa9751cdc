// KParserImpl: what the evaluator's units share. KParser.cpp holds the
// token loop and the statement-level steps, KParserTerms.cpp the handlers of
// the tokens that make up an expression (numbers, quotes, groups, blocks,
// operators, names, members and field names). Only KTokenizer.cpp,
// KParser.cpp and KParserTerms.cpp include it.
#pragma once
#include <initializer_list>

#include "KParser.h"

class KSeq;

namespace KParserImpl {

// The kind a value leaves behind when it arrives in L (18 stands for an
// empty value, 25 for a reference).
constexpr KT::KTT kKindNoValue = static_cast<KT::KTT>(18);

inline bool IsDecDigit(char c) { return c >= '0' && c <= '9'; }
inline bool IsNV(KA& a) { return a.value->typen() == KT::tNV; }
inline bool IsBlockLike(KT::KTO t) { return t == KT::tBlock || t == KT::tPgm || t == KT::tOpUD; }

// Makes a value private to the handle before it is changed in place.
inline void FixInPlace(KA& a) {
  if (a.value->Shared()) a.value->Fix();
}

// ------------------------------------------------------------ KParser.cpp

// A new sequence holding the given values (each referenced).
KSeq* MakeSeq(std::initializer_list<KB*> items);
// Element i of the sequence in `a`; raises 7 "Not Seq" for anything else.
KB* SeqAt(KA& a, int i);
// Replaces a reference by the value it designates, without copying.
void Deref(KA& a);
// The operator's name in parse lines (-2: a user-defined operator).
const char* OpName(int op);

// Stores a value under a symbol name through the chain (the current
// namespace or the one enclosing it when that already has the name).
void StoreName(KPParser& ps, const char* name, KA& v);

// Sets L, the previous kind and the operators aside while a member chain or
// an index is read, and brings them back. One state is kept: SaveState does
// nothing while one is set aside, RestoreState nothing when none is.
void SaveState(KPParser& ps);
void RestoreState(KPParser& ps);

// Runs text in a child parse state; `io` is the incoming and resulting value.
KT::KBR RunChild(KPParser& ps, const char* text, size_t n, bool strip, KA& io);
// "#X": runs the text form of L in a child; L receives the result.
void ExecText(KPParser& ps, KA& l);

// ------------------------------------------------------------ KParserTerms.cpp

// Builds a reference value through the "@" operator: to the entry just read
// when it holds the value, else from (chain, value) as the operator decides.
void RefOfValue(KPParser& ps, KA& l);
// Stores L's pieces for "=>[": L = (value, index, target).
void IdxAssignFromL(KPParser& ps, KA& target);

// A numeric literal as the token loop makes it (a new value, one reference):
// at most nine decimal digits directly as a one-element Int, anything else
// through KNum's parser. Fused statements make their literals with it too.
KB* NumberLiteral(const char* t, int n);

// The token handlers: each folds the current token into L (R holds the
// token's value), with prevTT and pendOp telling what stood before it.
void OnNumber(KPParser& ps);
void OnQuote(KPParser& ps, KT::KTT kind);
void OnParen(KPParser& ps);
void OnIndex(KPParser& ps);
KT::KBR OnBlock(KPParser& ps);
void OnOperator(KPParser& ps);
void OnFieldName(KPParser& ps);
// `val` is what the symbol names (null when nothing does), found `level`
// namespaces out.
KT::KBR OnSymbol(KPParser& ps, KB* val, int level);

}  // namespace KParserImpl
