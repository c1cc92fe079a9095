// UDF timestamps (ECMA-167 1/7.3) and seconds since 1970, and the volume
// clocks. Seconds are kept in 64 bits, so times after 2038 convert both ways;
// a timestamp's year is an Int16 from 1 to 9999, so later times are written
// as the last microsecond of 9999, and a year before 1970 or after 9999 reads
// as second 0.
#include "kelvfs/mdcudfsr_time.h"

#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_records.h"

#include <algorithm>

namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int32_t kNoTimeZone = -2047;
// The last second a timestamp may hold: 9999-12-31 23:59:59, and the last
// microsecond of it in nanoseconds.
constexpr std::int64_t kLastSecond = 253402300799LL;
constexpr long kLastNanoseconds = 999999000L;
constexpr std::int64_t kFirstYear = 1970, kLastYear = 9999;

bool leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

const std::uint8_t kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                        {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

// Days from 1970-01-01 to the first day of a year (year >= 1970).
std::int64_t days_before_year(std::int64_t y) {
  const auto count = [](std::int64_t n) { return n * 365 + n / 4 - n / 100 + n / 400; };
  return count(y - 1) - count(1969);
}

std::int32_t sign_extend_12(std::uint16_t field) {
  std::int32_t v = field & 0xFFF;
  return (v & 0x800) ? v - 0x1000 : v;
}

// Seconds and nanoseconds within what a timestamp holds: before 1970 is
// 1970-01-01 00:00:00, after 9999 is the last microsecond of 9999.
struct Moment {
  std::int64_t seconds;
  long nanoseconds;
};
Moment within_years(std::int64_t seconds, long nanoseconds) {
  if (seconds > kLastSecond) return {kLastSecond, kLastNanoseconds};
  return {std::max<std::int64_t>(seconds, 0), std::clamp<long>(nanoseconds, 0, 999999999L)};
}

}  // namespace

void mdcudfsr_udftime2timespec(const timestamp* ts, struct timespec* out) {
  if (!ts || !out) return;
  out->tv_nsec = static_cast<long>(ts->centisec) * 10000000L + ts->hund_usec * 100000L + ts->usec * 1000L;
  // The year is signed on the medium: 0xEA98 is the year -5480, not 60056.
  const std::int64_t year = static_cast<std::int16_t>(ts->year);
  if (year < kFirstYear || year > kLastYear) {
    out->tv_sec = 0;
    return;
  }
  std::int64_t secs = ts->minute * 60LL + ts->second + ts->hour * 3600LL + (ts->day - 1LL) * kDay;
  // Months outside 1-12 count no whole months before them.
  const int before = (ts->month >= 1 && ts->month <= 12) ? ts->month - 1 : 0;
  for (int m = 0; m < before; ++m) secs += kMonthDays[leap(year) ? 1 : 0][m] * kDay;
  secs += days_before_year(year) * kDay;
  const std::int32_t offset = sign_extend_12(ts->type_tz);
  if ((ts->type_tz & 0x1000) && offset != kNoTimeZone) secs -= offset * 60LL;
  out->tv_sec = secs;
}

void mdcudfsr_timespec2udftime(mdcudfsr_mount* mnt, const struct timespec* ts, timestamp* out, int type) {
  if (!ts || !out) return;
  Moment at = within_years(ts->tv_sec, ts->tv_nsec);
  out->type_tz = 0;
  if (type == 1) {
    const std::int32_t offset = mnt ? mnt->time_zone_offset : 0;
    out->type_tz = static_cast<std::uint16_t>((offset & 0xFFF) | 0x1000);
    at = within_years(at.seconds + offset * 60LL, at.nanoseconds);
  }
  const std::int64_t secs = at.seconds;
  std::int64_t days = secs / kDay;
  const std::int64_t in_day = secs % kDay;
  std::int64_t year = 1970 + days / 366;  // never past the year sought
  days -= days_before_year(year);
  while (days >= (leap(year) ? 366 : 365)) {
    days -= leap(year) ? 366 : 365;
    ++year;
  }
  int month = 0;
  while (days >= kMonthDays[leap(year) ? 1 : 0][month]) days -= kMonthDays[leap(year) ? 1 : 0][month++];
  out->year = static_cast<std::uint16_t>(year);
  out->month = static_cast<std::uint8_t>(month + 1);
  out->day = static_cast<std::uint8_t>(days + 1);
  out->hour = static_cast<std::uint8_t>(in_day / 3600);
  out->minute = static_cast<std::uint8_t>(in_day % 3600 / 60);
  out->second = static_cast<std::uint8_t>(in_day % 60);
  const long ns = at.nanoseconds;
  out->centisec = static_cast<std::uint8_t>(ns / 10000000L);
  out->hund_usec = static_cast<std::uint8_t>(ns / 100000L % 100);
  out->usec = static_cast<std::uint8_t>(ns / 1000L % 100);
}

void mdcudfsr_timespec2udftime_local(mdcudfsr_mount* mnt, const struct timespec* ts, timestamp* out) {
  mdcudfsr_timespec2udftime(mnt, ts, out, 1);
}

namespace {
std::uint64_t now_us() {
  struct timespec ts {};
  nanotime(&ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000);
}
}  // namespace

void mdcudfsr_update_vol_last_modification_time(mdcudfsr_mount* mnt) {
  if (mnt) mnt->last_modification_time = now_us();
}

void mdcudfsr_update_vol_last_partial_flush_time(mdcudfsr_mount* mnt) {
  if (mnt) mnt->last_partial_flush_time = now_us();
}
