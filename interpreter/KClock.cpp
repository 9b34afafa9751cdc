// KClock: date-time arrays: calendar encoding and decoding, the text form,
// the stopwatch fields, construction from parts, conformance and addition.
#include "KClock.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <vector>

#include "KArg.h"
#include "KPlatform.h"
#include "KSeq.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KClock";

namespace {

namespace chr = std::chrono;

constexpr int64_t kMsPerDay = 86400000;
// Day counts of 0001-01-01 and of the day after 9999-12-31.
constexpr double kFirstDay = -693593.0;
constexpr double kEndDay = 2958466.0;

chr::sys_days epoch() { return chr::sys_days(chr::year(1899) / chr::December / 30); }

bool isNumeric(const KB* v) {
  return v && (v->typen() == KT::tNum || v->typen() == KT::tClock) &&
         (v->alignmentn() == KT::aInt || v->alignmentn() == KT::aFloat);
}

// The elements of a numeric value as day counts (I nils become F nils).
std::vector<double> daysOf(const KB* v) {
  std::vector<double> out(static_cast<size_t>(v->Count()));
  const KB::KBD* d = v->descriptor;
  for (int i = 0; i < v->Count(); ++i) {
    if (d->align == KT::aFloat) {
      out[i] = static_cast<const double*>(d->data)[i];
    } else {
      int32_t x = static_cast<const int32_t*>(d->data)[i];
      out[i] = x == KT::iNil ? KT::fNil : x;
    }
  }
  return out;
}

// Installs day counts as the elements of a clock's descriptor.
void setDays(KB* c, const std::vector<double>& days) {
  int n = static_cast<int>(days.size());
  void* data = n ? KB::AllocData(KB::StorageBytes(KT::aFloat, n), false) : nullptr;
  if (n) std::memcpy(data, days.data(), static_cast<size_t>(n) * sizeof(double));
  c->descriptor->Set(data, KT::tClock, KT::aFloat, n, n);
}

int clampInt(int64_t v, int lo, int hi) { return static_cast<int>(v < lo ? lo : v > hi ? hi : v); }

}  // namespace

// ------------------------------------------------------------ calendar

double KClock::DaysFromFileTime(uint64_t ticks) {
  return static_cast<double>(ticks) / 864000000000.0 - 109205.0;
}

double KClock::DaysFromUnix(int64_t seconds, int32_t nanoseconds) {
  return 25569.0 + (static_cast<double>(seconds) + nanoseconds / 1e9) / 86400.0;
}

double KClock::Encode(const KSystemTime& st) {
  if (st.year < 1 || st.year > 9999) KTHROW(KT::eSystem, "Invalid date");
  chr::year_month_day ymd{chr::year(st.year), chr::month(static_cast<unsigned>(st.month)),
                          chr::day(static_cast<unsigned>(st.day))};
  if (st.month < 1 || st.day < 1 || !ymd.ok()) KTHROW(KT::eSystem, "Invalid date");
  if (st.hour < 0 || st.hour > 23 || st.minute < 0 || st.minute > 59 || st.second < 0 || st.second > 59 ||
      st.millisecond < 0 || st.millisecond > 999)
    KTHROW(KT::eSystem, "Invalid date");
  int64_t day = (chr::sys_days(ymd) - epoch()).count();
  int64_t ms = ((st.hour * 60LL + st.minute) * 60 + st.second) * 1000 + st.millisecond;
  return static_cast<double>(day) + static_cast<double>(ms) / kMsPerDay;
}

KSystemTime KClock::Decode(double days) {
  if (!(days >= kFirstDay && days < kEndDay)) KTHROW(KT::eSystem, "Invalid date");
  int64_t ms = std::llround(days * kMsPerDay);
  int64_t day = ms / kMsPerDay, rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --day;
  }
  chr::sys_days sd = epoch() + chr::days(day);
  chr::year_month_day ymd{sd};
  KSystemTime st;
  st.year = static_cast<int>(ymd.year());
  if (st.year < 1 || st.year > 9999) KTHROW(KT::eSystem, "Invalid date");
  st.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  st.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  st.dayOfWeek = static_cast<int>(chr::weekday(sd).c_encoding());
  st.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  st.second = static_cast<int>(rest % 60);
  rest /= 60;
  st.minute = static_cast<int>(rest % 60);
  st.hour = static_cast<int>(rest / 60);
  return st;
}

std::string KClock::FormatDays(double days) {
  if (days == KT::fNil) return "Nil";
  // The range is checked on the instant rounded to the millisecond, the
  // precision Decode works at (a count just below the end rounds past it).
  if (!(days >= kFirstDay && days < kEndDay) || std::llround(days * kMsPerDay) >= kEndDay * kMsPerDay)
    return "Invalid";
  KSystemTime st = Decode(days);
  return Fmt("%04d/%02d/%02d %02d:%02d:%02d.%03d", st.year, st.month, st.day, st.hour, st.minute, st.second,
             st.millisecond);
}

// ------------------------------------------------------------ construction

KClock::KClock() : KNum(KT::tClock, KT::aFloat, 1) { FltPtr()[0] = KPlat::NowLocalDays(); }

KClock::KClock(double days) : KNum(KT::tClock, KT::aFloat, 1) { FltPtr()[0] = days; }

KClock::KClock(const KFileTime& ft) : KNum(KT::tClock, KT::aFloat, 1) {
  FltPtr()[0] = DaysFromFileTime(ft.ticks);
}

KClock::KClock(void* days, int count, int capacity) : KNum(KT::tClock, days, KT::aFloat, count, capacity) {}

KClock::KClock(KClock& other) : KNum(KT::tClock, KT::aFloat, 0) {
  setDays(this, daysOf(&other));
  exact = other.exact;
}

KClock::KClock(KB* other) : KNum(KT::tClock, KT::aFloat, 0) {
  if (isNumeric(other)) setDays(this, daysOf(other));
  else setDays(this, {KPlat::NowLocalDays()});
}

KClock& KClock::operator=(double days) {
  Fix();
  setDays(this, {days});
  return *this;
}

KClock& KClock::operator=(const KFileTime& ft) { return *this = DaysFromFileTime(ft.ticks); }

KClock& KClock::operator=(const KSystemTime& st) { return *this = Encode(st); }

bool KClock::operator==(KClock& other) {
  if (Count() != other.Count()) return false;
  for (int i = 0; i < Count(); ++i)
    if (FltPtr()[i] != other.FltPtr()[i]) return false;
  return true;
}

// ------------------------------------------------------------ operations

double KClock::Days(int i) const {
  return i >= 0 && i < Count() && alignmentn() == KT::aFloat ? FltPtr()[i] : KT::fNil;
}

KClock& KClock::FromKNum(KNum* parts) {
  if (!isNumeric(parts) || parts->Count() == 0) return *this;
  if (parts->alignmentn() == KT::aFloat) {
    Fix();
    setDays(this, {parts->FltPtr()[0]});
    return *this;
  }
  double base = Days(0);
  if (base == KT::fNil || !(base >= kFirstDay && base < kEndDay)) base = KPlat::NowLocalDays();
  KSystemTime st = Decode(base);
  int* fields[7] = {&st.year, &st.month, &st.day, &st.hour, &st.minute, &st.second, &st.millisecond};
  static const int lo[7] = {1, 1, 1, 0, 0, 0, 0};
  static const int hi[7] = {9999, 12, 31, 23, 59, 59, 999};
  int n = parts->Count() < 7 ? parts->Count() : 7;
  for (int k = 0; k < n; ++k) {
    int32_t v = parts->IntPtr()[k];
    if (k < 3 && v == 0) continue;  // a zero date part keeps the current one (a nil clamps)
    *fields[k] = clampInt(v, lo[k], hi[k]);
  }
  double d = Encode(st);
  Fix();
  setDays(this, {d});
  return *this;
}

void KClock::Conform(KA& right) {
  KB* r = right.value;
  if (r->Count() == 0 || r->typen() == KT::tNV) {
    right.Clear();
    return;
  }
  if (!isNumeric(r)) KTHROW(KT::eValue, "RT Type");
  std::vector<double> rd = daysOf(r);
  size_t n = static_cast<size_t>(Count());
  if (rd.size() < n) rd.insert(rd.begin(), n - rd.size(), KT::fNil);
  if (rd.size() > n) {  // this clock grows at the front
    std::vector<double> mine = daysOf(this);
    mine.insert(mine.begin(), rd.size() - n, KT::fNil);
    Fix();
    setDays(this, mine);
  }
  KClock* c = new KClock(static_cast<void*>(nullptr), 0, 0);
  setDays(c, rd);
  right.Owns(c);
}

void KClock::Plus(KA& right) {
  Conform(right);
  KB* r = right.value;
  if (r->Count() == 0) return;
  Fix();
  const double* add = static_cast<const double*>(r->descriptor->data);
  double* d = FltPtr();
  for (int i = 0; i < Count(); ++i)
    d[i] = d[i] == KT::fNil || add[i] == KT::fNil ? KT::fNil : d[i] + add[i];
}

KNum* KClock::AsNum() {
  std::vector<double> d = daysOf(this);
  int n = static_cast<int>(d.size());
  void* data = AllocData(StorageBytes(KT::aFloat, n), false);
  if (n) std::memcpy(data, d.data(), static_cast<size_t>(n) * sizeof(double));
  return new KNum(data, KT::aFloat, n, n);
}

KSeq* KClock::AsSeq() {
  KSeq* s = new KSeq();
  try {
    for (int i = 0; i < Count(); ++i) {
      double d = Days(i);
      int32_t* p = static_cast<int32_t*>(AllocData(StorageBytes(KT::aInt, 8), false));
      KNum* fields = new KNum(p, KT::aInt, 8, 8);
      s->Append(fields, true);
      if (d == KT::fNil) {
        for (int k = 0; k < 8; ++k) p[k] = KT::iNil;
        continue;
      }
      KSystemTime st = Decode(d);
      int32_t v[8] = {st.year, st.month, st.day, st.hour, st.minute, st.second, st.millisecond, st.dayOfWeek + 1};
      std::memcpy(p, v, sizeof v);
    }
  } catch (...) {
    KB::DoneWith(s);
    throw;
  }
  return s;
}

double KClock::Split() {
  double first = Days(0);
  if (Count() == 0) return 0.0;
  if (first == KT::fNil) return KT::fNil;
  return (KPlat::NowLocalDays() - first) * 86400.0;
}

double KClock::Lap() {
  double first = Days(0);
  if (Count() == 0) return 0.0;
  double now = KPlat::NowLocalDays();
  // The stopwatch restarts for every holder of this clock.
  FltPtr()[0] = now;
  return first == KT::fNil ? KT::fNil : (now - first) * 86400.0;
}

// ------------------------------------------------------------ KB slots

const std::string& KClock::AsString(bool verbose) {
  std::string out = verbose ? VerbosePrefix() : std::string();
  for (int i = 0; i < Count(); ++i) {
    if (i) out += "\r\n";
    out += FormatDays(Days(i));
  }
  text.swap(out);
  return text;
}

std::string KClock::Dump() { return AsString(false); }

void KClock::Clear() { KTHROW(KT::eNotImpl, "Clear"); }

KB* KClock::Clone() { return new KClock(*this); }

KB* KClock::FieldGet(KB* name) {
  if (FieldIs(name, ":lap")) return KMakeFloat(Lap());
  if (FieldIs(name, ":split")) return KMakeFloat(Split());
  if (FieldIs(name, ":num")) return AsNum();
  if (FieldIs(name, ":seq")) return AsSeq();
  if (FieldIs(name, ":size")) return KMakeSize(static_cast<int64_t>(Count()) * KT::TypeAlignToElemSz(KT::aFloat));
  return StdFieldOr(name, ":, :lap, :num, :size, :split, :string, :stringv, :typen, :typec");
}

void KClock::FieldSet(KB*, KB*) { KTHROW(KT::eNotImpl, "FieldSet"); }

bool KClock::EQ(KB* other) {
  if (!other || other->typen() != KT::tClock || other->Count() != Count()) return false;
  std::vector<double> a = daysOf(this), b = daysOf(other);
  return a == b;
}

bool KClock::GT(KB* other, int i, int j, bool descending) {
  if (other && other->typen() != typen()) return typen() > other->typen();
  if (isNumeric(other)) {
    std::vector<double> a = daysOf(this), b = daysOf(other);
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t k = 0; k < n; ++k)
      if (a[k] != b[k]) return a[k] > b[k];
    if (a.size() != b.size()) return a.size() > b.size();
  }
  return descending ? j < i : i < j;
}

KClock* KClock::IndexedBy(int i) { return new KClock(Days(i)); }

KClock* KClock::IndexedBy(KB* index) {
  if (!isNumeric(index) || index->alignmentn() != KT::aInt) KTHROW(KT::eNotSupp, "I Type");
  std::vector<double> out(static_cast<size_t>(index->Count()));
  const int32_t* p = static_cast<const int32_t*>(index->descriptor->data);
  for (int k = 0; k < index->Count(); ++k) {
    int64_t pos = p[k];
    out[k] = pos >= 1 && pos <= Count() ? Days(static_cast<int>(pos - 1)) : 0.0;
  }
  KClock* c = new KClock(static_cast<void*>(nullptr), 0, 0);
  setDays(c, out);
  return c;
}

void KClock::IdxAssign(KB* value, KB* index) {
  if (!isNumeric(value) || value->Count() == 0) KTHROW(KT::eValue, "Need Numeric");
  if (!index || index->Count() == 0) KTHROW(KT::eNotImpl, "Null I");
  if (index->Count() != value->Count()) KTHROW(KT::eValue, "Conformity");
  if (value->alignmentn() != KT::aFloat) KTHROW(KT::eNotImpl, "Int V");
  if (!isNumeric(index) || index->alignmentn() != KT::aInt) KTHROW(KT::eNotImpl, "I Type");
  std::vector<double> v = daysOf(value);  // read before Fix: value may share this clock
  std::vector<int32_t> idx(static_cast<const int32_t*>(index->descriptor->data),
                           static_cast<const int32_t*>(index->descriptor->data) + index->Count());
  Fix();
  for (size_t k = 0; k < idx.size(); ++k)
    if (idx[k] >= 1 && idx[k] <= Count()) FltPtr()[idx[k] - 1] = v[k];
}

KClock* KClock::Take(int n, bool fromFront, bool padWithEdge) {
  KNum* t = KNum::Take(n, fromFront, padWithEdge);
  KClock* c = new KClock(static_cast<void*>(nullptr), 0, 0);
  try {
    setDays(c, daysOf(t));
  } catch (...) {
    KB::DoneWith(t);
    KB::DoneWith(c);
    throw;
  }
  KB::DoneWith(t);
  return c;
}

std::string KClock::SO() {
  std::string s = KNum::SO();
  if (!s.empty()) s[0] = static_cast<char>(KT::tClock);
  return s;
}

KB* KClock::SI(const char* image) {
  KClock* c = new KClock(static_cast<void*>(nullptr), 0, 0);
  try {
    c->SIRead(image);
    c->descriptor->type = KT::tClock;
    if (c->alignmentn() != KT::aFloat) setDays(c, daysOf(c));
  } catch (...) {
    KB::DoneWith(c);
    throw;
  }
  return c;
}
