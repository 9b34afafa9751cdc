// KOpsStream: what the stream and segmentation families share: which value
// an argument streams through (a string itself, a file its loaded buffer),
// and the regular-expression hooks. Only KOpsStream.cpp and KOpsSegment.cpp
// include it.
#pragma once
#include "KArg.h"

class KString;
class KSeq;

namespace KStreams {

// The string whose text and position an argument stands for: a string
// itself, a file its buffer (whose position is the file's); null otherwise.
KString* TextOf(KA& a);
// The same, raising 7 "Type" when the argument is no stream.
KString* TextArg(KA& a);
// True for a regular-expression object.
bool IsGrep(KA& a);
// 1-based positions in the language from 0-based stream indices.
KA& Position(KA& result, int index0);

}  // namespace KStreams
