// UDF timestamps and seconds since 1970, both ways.
#include "kelvfs/mdcudfsr_mount.h"
#include "kelvfs/mdcudfsr_time.h"
#include "udf/udf_records.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

timestamp ts(std::uint16_t type_tz, int y, int mo, int d, int h, int mi, int s, int cs = 0, int hu = 0, int us = 0) {
  return timestamp{type_tz,
                   static_cast<std::uint16_t>(y),
                   static_cast<std::uint8_t>(mo),
                   static_cast<std::uint8_t>(d),
                   static_cast<std::uint8_t>(h),
                   static_cast<std::uint8_t>(mi),
                   static_cast<std::uint8_t>(s),
                   static_cast<std::uint8_t>(cs),
                   static_cast<std::uint8_t>(hu),
                   static_cast<std::uint8_t>(us)};
}

std::int64_t to_seconds(const timestamp& t) {
  struct timespec out {};
  mdcudfsr_udftime2timespec(&t, &out);
  return out.tv_sec;
}

TEST(UdfTime, TimestampsToSeconds) {
  struct Case {
    const char* what;
    timestamp t;
    std::int64_t seconds;
  } cases[] = {
      {"2000-03-01 type 0", ts(0x0000, 2000, 3, 1, 0, 0, 0), 951868800},
      {"type 1, +540 min", ts(0x1000 | 540, 2000, 3, 1, 0, 0, 0), 951836400},
      {"type 1, no time zone", ts(0x1000 | 0x801, 2000, 3, 1, 0, 0, 0), 951868800},
      {"type 1, -60 min", ts(0x1000 | (0x1000 - 60), 2000, 3, 1, 0, 0, 0), 951872400},
      {"year 1969", ts(0, 1969, 12, 31, 23, 59, 59), 0},
      {"1970 epoch", ts(0, 1970, 1, 1, 0, 0, 0), 0},
      {"leap day 2024", ts(0, 2024, 2, 29, 12, 0, 0), 1709208000},
      {"2040-01-01", ts(0, 2040, 1, 1, 0, 0, 0), 2208988800},
      {"2100 not leap", ts(0, 2100, 3, 1, 0, 0, 0), 4107542400},
      {"last second of 9999", ts(0, 9999, 12, 31, 23, 59, 59), 253402300799},
      {"year 10000", ts(0, 10000, 1, 1, 0, 0, 0), 0},
      {"year -5480 (0xEA98), not 60056", ts(0, 0xEA98, 1, 1, 0, 0, 0), 0},
      {"year -1", ts(0, 0xFFFF, 12, 31, 23, 59, 59), 0},
      {"year 0", ts(0, 0, 1, 1, 0, 0, 0), 0},
      {"year 1", ts(0, 1, 1, 1, 0, 0, 0), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.seconds, to_seconds(c.t)) << c.what;
}

TEST(UdfTime, SubSecondFieldsBothWays) {
  struct timespec out {};
  const timestamp t = ts(0, 1969, 1, 1, 0, 0, 0, 99, 99, 99);
  mdcudfsr_udftime2timespec(&t, &out);
  EXPECT_EQ(0, out.tv_sec);
  EXPECT_EQ(999999000L, out.tv_nsec);
  timestamp back{};
  struct timespec in { 5, 999999000L };
  mdcudfsr_timespec2udftime(nullptr, &in, &back, 0);
  EXPECT_EQ(99, back.centisec);
  EXPECT_EQ(99, back.hund_usec);
  EXPECT_EQ(99, back.usec);
}

// A timestamp as text, every field of it, for comparisons that show them.
std::string text(const timestamp& t) {
  char b[64];
  std::snprintf(b, sizeof b, "%04X %d-%02d-%02d %02d:%02d:%02d %02d/%02d/%02d", t.type_tz, t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.centisec, t.hund_usec, t.usec);
  return b;
}

TEST(UdfTime, SecondsToTimestamps) {
  mdcudfsr_mount mnt;
  mnt.time_zone_offset = 540;
  constexpr std::int64_t kLast = 253402300799;  // 9999-12-31 23:59:59
  struct Case {
    const char* what;
    std::int64_t seconds;
    long nanoseconds;
    int type;
    timestamp expect;
  } cases[] = {
      {"type 0", 951868800, 0, 0, ts(0, 2000, 3, 1, 0, 0, 0)},
      {"type 1 +540", 951868800, 0, 1, ts(0x121C, 2000, 3, 1, 9, 0, 0)},
      {"the epoch", 0, 0, 0, ts(0, 1970, 1, 1, 0, 0, 0)},
      {"the epoch and a microsecond", 0, 1000, 0, ts(0, 1970, 1, 1, 0, 0, 0, 0, 0, 1)},
      {"negative", -1, 0, 0, ts(0, 1970, 1, 1, 0, 0, 0)},
      {"the least seconds", INT64_MIN, 0, 1, ts(0x121C, 1970, 1, 1, 9, 0, 0)},
      {"2040-01-01", 2208988800, 0, 0, ts(0, 2040, 1, 1, 0, 0, 0)},
      {"2038 boundary + 1", 2147483648, 0, 0, ts(0, 2038, 1, 19, 3, 14, 8)},
      {"leap day", 1709208000, 0, 0, ts(0, 2024, 2, 29, 12, 0, 0)},
      {"last day of a leap year", 1735603199, 0, 0, ts(0, 2024, 12, 30, 23, 59, 59)},
      {"last second of 9999", kLast, 0, 0, ts(0, 9999, 12, 31, 23, 59, 59)},
      {"10000-01-01", kLast + 1, 0, 0, ts(0, 9999, 12, 31, 23, 59, 59, 99, 99, 99)},
      {"the largest host time", 1833029933770, 0, 0, ts(0, 9999, 12, 31, 23, 59, 59, 99, 99, 99)},
      {"the most seconds", INT64_MAX, 0, 0, ts(0, 9999, 12, 31, 23, 59, 59, 99, 99, 99)},
      {"9999 made later by the time zone", kLast, 0, 1, ts(0x121C, 9999, 12, 31, 23, 59, 59, 99, 99, 99)},
      {"the most seconds, type 1", INT64_MAX, 0, 1, ts(0x121C, 9999, 12, 31, 23, 59, 59, 99, 99, 99)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    struct timespec in { c.seconds, c.nanoseconds };
    timestamp out{};
    mdcudfsr_timespec2udftime(&mnt, &in, &out, c.type);
    EXPECT_EQ(text(c.expect), text(out));
  }
}

TEST(UdfTime, RoundTripAcrossCenturies) {
  for (std::int64_t s : {0LL, 86399LL, 951868800LL, 2208988800LL, 4102444800LL, 253402300799LL}) {
    struct timespec in { s, 0 };
    timestamp t{};
    mdcudfsr_timespec2udftime(nullptr, &in, &t, 0);
    EXPECT_EQ(s, to_seconds(t)) << s;
  }
}

// What is written reads back as written, and a time beyond 9999 reads back
// as the last microsecond of 9999.
TEST(UdfTime, TimesBeyondTheLastYearReadBackAsItsLastMicrosecond) {
  for (std::int64_t s : {std::int64_t{253402300800}, std::int64_t{1833029933770}, std::int64_t{INT64_MAX}}) {
    struct timespec in { s, 0 }, back {};
    timestamp t{};
    mdcudfsr_timespec2udftime(nullptr, &in, &t, 0);
    mdcudfsr_udftime2timespec(&t, &back);
    EXPECT_EQ(253402300799, back.tv_sec) << s;
    EXPECT_EQ(999999000L, back.tv_nsec) << s;
  }
}

}  // namespace
