// KNum: numeric arrays (stubs being filled in).
#include "KNum.h"

#include "Kerror.h"

static const char* const kUnit = "Interpreter/KNum";

bool KNum::first = true;
unsigned char KNum::dig[256];
unsigned char KNum::numElem[256];
void KNum::init() {}
KB* KMakeInt(int32_t v) { return new KNum(v); }
KB* KMakeFloat(double v) { return new KNum(v); }
KNum::KNum() : KB(KT::tNum) {}
KNum::KNum(KB*) : KB(KT::tNum) {}
KNum::KNum(void*, KT::KAL, int, int) : KB(KT::tNum) {}
KNum::KNum(const char*, int) : KB(KT::tNum) {}
KNum::KNum(KT::KAL, int) : KB(KT::tNum) {}
KNum::KNum(int32_t) : KB(KT::tNum) {}
KNum::KNum(double) : KB(KT::tNum) {}
KNum::KNum(KT::KTO t, void*, KT::KAL, int, int) : KB(t) {}
KNum::KNum(KT::KTO t, KT::KAL, int) : KB(t) {}
KNum::~KNum() {}
KNum& KNum::operator=(KB&) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum& KNum::operator=(const char*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum& KNum::operator=(int32_t) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum& KNum::operator=(double) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::NPtrSet(void*,  KT::KAL) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::NPtrSet(void*,  KT::KAL,  int,  int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum::KRec* KNum::rec() { KTHROW(KT::eNotImpl, "Not Implemented"); }
int KNum::CountNotNil() const { KTHROW(KT::eNotImpl, "Not Implemented"); }
int32_t KNum::AsInt() const { KTHROW(KT::eNotImpl, "Not Implemented"); }
double KNum::AsFloat() const { KTHROW(KT::eNotImpl, "Not Implemented"); }
int KNum::size() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Size() { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::nextNumField(int&,  const char*,  int&,  double&,  KT::KAL&) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::AsSimpleString() { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::AsSimpleString(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::AsSimpleString(int,  int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
const std::string& KNum::AsString(bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
const std::string& KNum::AsString(int,  int,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::AsHex() { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::AsHex(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::AsHex(int,  int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::Dump() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::Format(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::FmtElem(double,  double,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::Clear() { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::DeReference(bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
bool KNum::EQ(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::Expand(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::FieldGet(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
bool KNum::GT(KB*,  int,  int,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::Range(int,  int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::Reference(bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::ReferenceTo(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
std::string KNum::SO() { KTHROW(KT::eNotImpl, "Not Implemented"); }
int KNum::SOSz() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::SI(const char*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::SIRead(const char*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::CoerceTo(KT::KAL) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::CoerceTo(KT::KTO) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::ConformAlign(KB*,  KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::Convert(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::IndexedBy(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::IndexedBy(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::IdxAssign(KB*,  KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::BitToIdx(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Take(int,  bool,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::Drop(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Rotate(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Shift(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Flip() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Reshape(int) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Catenate(KNum*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::Append(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Union(KNum*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Fill() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Fill(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Absolute() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Smaller(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Larger(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::RoundUp(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::RoundDn(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::RoundNear(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::RoundHalf() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::ToTF() { KTHROW(KT::eNotImpl, "Not Implemented"); }
int KNum::Compare(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
bool KNum::IsSame(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::MarkEqual(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
bool KNum::GTQSInt(void*,  int,  int,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
bool KNum::GTQSFlt(void*,  int,  int,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
bool KNum::IsAscending() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::IndexOf(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::IndicesOf(KB*,  int&) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::IndicesOfGraded(KB*,  int&) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::MarkAny(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::MarkAll(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::MarkElem(KB*,  KT::KMC) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KB* KNum::Contains(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Unique() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::QueryUnique() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::QueryNotUnique() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Without(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Intersect(KNum*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Interpolate(KB*,  KB*,  KB*,  KB*,  bool,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::Histogram(KB*,  KB*,  KB*,  bool,  bool) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::RedPlus(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::RedMinus(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::RedTimes(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::ScanPlus() { KTHROW(KT::eNotImpl, "Not Implemented"); }
void KNum::ScanTimes() { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::MovSum(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::MovDiff(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::MovProd(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::MovLargest(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::MovSmallest(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }
KNum* KNum::MovAvg(KB*) { KTHROW(KT::eNotImpl, "Not Implemented"); }


