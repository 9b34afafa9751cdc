// KClock: the date-time value (type 5 "Clock"), a numeric array of instants.
//
// Storage contract: the KNum storage with alignment F, one double per
// instant, only the type code differs. An instant is a count of days since
// 1899-12-30 00:00 (day 2 is 1900-01-01); the fraction is the time of day.
// Decoding is linear: floor(days) is the date and days - floor(days) the
// time, so adding 1/24 always moves an instant one hour later. The nil
// instant is KT::fNil. Calendar dates follow the proleptic Gregorian
// calendar for the years 1 to 9999; other day counts cannot be decoded.
#pragma once
#include <cstdint>
#include <string>

#include "KNum.h"

class KA;
class KSeq;

// A Windows file time: 100-nanosecond intervals since 1601-01-01 (UTC).
struct KFileTime {
  uint64_t ticks = 0;
};

// Calendar fields of one instant (dayOfWeek: 0 = Sunday).
struct KSystemTime {
  int year = 1899, month = 12, dayOfWeek = 6, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

class KClock : public KNum {
 public:
  KClock();                                 // the current local date and time
  explicit KClock(double days);
  explicit KClock(const KFileTime& ft);
  KClock(void* days, int count, int capacity);  // adopts a KB::AllocData buffer
  KClock(KClock& other);                    // copy of the instants
  // A clock or numeric array: a copy of its elements as day counts ("I"
  // converted to "F", nils kept); anything else: the current time.
  explicit KClock(KB* other);
  KClock& operator=(double days);
  KClock& operator=(const KFileTime& ft);
  KClock& operator=(const KSystemTime& st);
  using KNum::operator=;
  bool operator==(KClock& other);
  bool operator!=(KClock& other) { return !(*this == other); }

  // ---- calendar conversion (the one place for it)
  static double DaysFromFileTime(uint64_t ticks);  // ticks / 864e9 - 109205
  static double DaysFromUnix(int64_t seconds, int32_t nanoseconds);  // UTC
  static double Encode(const KSystemTime& st);     // 10 "Invalid date" when impossible
  static KSystemTime Decode(double days);          // 10 "Invalid date" out of range
  static std::string FormatDays(double days);      // "%04d/%02d/%02d %02d:%02d:%02d.%03d" or "Nil"

  // One instant from up to 7 parts (year, month, day, hour, minute, second,
  // millisecond), starting from this clock's first instant; an "F" argument
  // is a day count. In place; returns this.
  KClock& FromKNum(KNum* parts);
  // Brings a right operand to this clock's length before arithmetic.
  void Conform(KA& right);
  // Adds day counts element by element, in place (nil gives nil).
  void Plus(KA& right);

  double Days(int i) const;  // fNil outside the clock
  KNum* AsNum();             // "F" array of the day counts
  KSeq* AsSeq();             // per instant: Y M D h m s ms day-of-week (1 = Sunday)
  double Split();            // seconds from the first instant to now
  double Lap();              // Split, then the first instant becomes now

  // ---- KB / KNum operations
  const std::string& AsString(bool verbose) override;
  std::string Dump() override;
  void Clear() override;  // 6 "Clear"
  KB* Clone() override;
  KB* FieldGet(KB* name) override;
  void FieldSet(KB* name, KB* value);  // 6 "FieldSet"
  bool EQ(KB* other) override;
  bool GT(KB* other, int i, int j, bool descending) override;
  KClock* IndexedBy(int i);   // 0-based; outside: the nil instant
  KClock* IndexedBy(KB* index);  // "I" 1-based positions; outside: day 0
  void IdxAssign(KB* value, KB* index);
  KClock* Take(int n, bool fromFront, bool padWithEdge);
  std::string SO() override;
  static KB* SI(const char* image);
};
