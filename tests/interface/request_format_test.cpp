#include "kel/request.h"

#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

using kel::kHrInvalidName;
using kel::kHrOverflow;
using kel::kHrTypeMismatch;

TEST(RequestFormat, OpcodeWordsAreExactAndCaseSensitive) {
  EXPECT_EQ(kel::OpcodeFromWord(u"Check"), 1u);
  EXPECT_EQ(kel::OpcodeFromWord(u"UnmountVolume"), 26u);
  EXPECT_EQ(kel::OpcodeFromWord(u"OpenFragmentFileCallback"), 20u);
  EXPECT_EQ(kel::OpcodeFromWord(u"check"), 0u);
  EXPECT_EQ(kel::OpcodeFromWord(u"Check "), 0u);
  EXPECT_EQ(kel::OpcodeFromWord(u""), 0u);
  for (std::uint32_t op = 1; op <= 26; ++op) EXPECT_EQ(kel::OpcodeFromWord(kel::OpcodeWord(op)), op);
  EXPECT_EQ(kel::OpcodeWord(0), nullptr);
  EXPECT_EQ(kel::OpcodeWord(27), nullptr);
}

// The accepted text forms of numbers, pinned.
TEST(RequestFormat, DecimalNumbersAcceptOnlyDigitsWithOptionalSign) {
  struct Case {
    const char16_t* text;
    HRESULT hr;
    std::uint64_t value;
  };
  const Case u32[] = {
      {u"0", S_OK, 0},
      {u"4294967295", S_OK, 4294967295u},
      {u"+17", S_OK, 17},
      {u"007", S_OK, 7},
      {u"4294967296", kHrOverflow, 0},
      {u"-1", kHrOverflow, 0},
      {u"", kHrTypeMismatch, 0},
      {u"+", kHrTypeMismatch, 0},
      {u" 1", kHrTypeMismatch, 0},
      {u"1 ", kHrTypeMismatch, 0},
      {u"1,000", kHrTypeMismatch, 0},
      {u"0x10", kHrTypeMismatch, 0},
      {u"1.0", kHrTypeMismatch, 0},
      {u"1e3", kHrTypeMismatch, 0},
      {u"\uFF11", kHrTypeMismatch, 0},  // full-width digit one
  };
  for (const auto& c : u32) {
    std::uint32_t v = 12345;
    EXPECT_EQ(kel::ParseUInt32(c.text, &v), c.hr) << &c - u32;
    if (c.hr == S_OK) {
      EXPECT_EQ(v, c.value);
    } else {
      EXPECT_EQ(v, 12345u);  // untouched on failure
    }
  }
  std::uint64_t v64 = 0;
  EXPECT_EQ(kel::ParseUInt64(u"18446744073709551615", &v64), S_OK);
  EXPECT_EQ(v64, 18446744073709551615ull);
  EXPECT_EQ(kel::ParseUInt64(u"18446744073709551616", &v64), kHrOverflow);
  EXPECT_EQ(kel::ParseUInt64(u"99999999999999999999999", &v64), kHrOverflow);
  std::int32_t i = 0;
  EXPECT_EQ(kel::ParseInt32(u"-2147483648", &i), S_OK);
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_EQ(kel::ParseInt32(u"2147483647", &i), S_OK);
  EXPECT_EQ(i, INT32_MAX);
  EXPECT_EQ(kel::ParseInt32(u"-5", &i), S_OK);
  EXPECT_EQ(i, -5);
  EXPECT_EQ(kel::ParseInt32(u"2147483648", &i), kHrOverflow);
  EXPECT_EQ(kel::ParseInt32(u"-2147483649", &i), kHrOverflow);
  EXPECT_EQ(kel::ParseInt32(u"--1", &i), kHrTypeMismatch);
}

TEST(RequestFormat, UnescapeNameUndoesOneLevel) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"plain", u"plain"},
      {u"a&amp;b", u"a&b"},
      {u"a&amp;amp;b", u"a&amp;b"},  // a replacement is not unescaped again
      {u"&#9;", u"\t"},
      {u"x&#65;y", u"xAy"},
      {u"&#38;#65;", u"&#65;"},      // the '&' produced is not scanned again
      {u"&lt;&gt;", u"&lt;&gt;"},    // other entities stay
      {u"&#x41;", u"&#x41;"},
      {u"&#65", u"&#65"},            // no ';': not a reference
      {u"&#65abc;", u"&#65abc;"},    // not only digits: left as it is
      {u"&#-5;", u"&#-5;"},
      {u"&#;", u"&#;"},
      {u"&", u"&"},
      {u"&x&amp;", u"&x&"},
      {u"&#55357;&#56832;", u"\U0001F600"},  // a surrogate pair combines
      {u"&#10;&#13;", u"\n\r"},
      {u"&#65533;", u"\uFFFD"},
      {u"\u00E9&#233;", u"\u00E9\u00E9"},
  };
  for (const auto& [in, want] : cases) {
    std::u16string out = u"unchanged";
    EXPECT_EQ(kel::UnescapeName(in, &out), S_OK);
    EXPECT_EQ(out, want);
  }
}

// The responses write a name's controls, noncharacters and unpaired
// surrogates as such references, so they come back as the units they stand
// for; what the converter to UTF-8 then refuses is refused there.
TEST(RequestFormat, UnescapeNameGivesBackUnitsXmlCannotCarry) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"a&#1;", u"a\x01"},
      {u"&#31;&#8;", u"\x1F\b"},
      {u"&#65534;&#65535;", u"\uFFFE\uFFFF"},
      {u"&#55357;x", std::u16string{char16_t(0xD83D), u'x'}},
      {u"&#56832;&#55357;", std::u16string{char16_t(0xDE00), char16_t(0xD83D)}},
  };
  for (const auto& [in, want] : cases) {
    std::u16string out = u"unchanged";
    EXPECT_EQ(kel::UnescapeName(in, &out), S_OK) << platform::utf16_to_utf8(in);
    EXPECT_EQ(out, want) << platform::utf16_to_utf8(in);
  }
}

// A reference to NUL or beyond 16 bits ends the request instead of cutting
// the name short or wrapping.
TEST(RequestFormat, UnescapeNameRefusesNulAndWrappingReferences) {
  const std::u16string bad[] = {u"&#0;", u"a&#00;b", u"&#65536;", u"&#65601;", u"&#99999999999;"};
  for (const auto& in : bad) {
    std::u16string out = u"unchanged";
    EXPECT_EQ(kel::UnescapeName(in, &out), kHrInvalidName) << platform::utf16_to_utf8(in);
    EXPECT_EQ(out, u"unchanged");
  }
  // Not a reference (not only digits), however long the number.
  std::u16string out;
  EXPECT_EQ(kel::UnescapeName(u"&#99999999999x;", &out), S_OK);
  EXPECT_EQ(out, u"&#99999999999x;");
}

// 0 means "no time given" to the engine; every other time the host gives is
// kept, the early ones as the first second after 1970.
TEST(RequestFormat, FileTimesBecomeUnixSecondsAndEarlyTimesTheFirstSecond) {
  constexpr std::uint64_t kEpoch = 116444736000000000ull;  // 1970-01-01 00:00:00
  const struct {
    const char* what;
    std::uint64_t file_time, seconds;
  } cases[] = {
      {"not given", 0, 0},
      {"1601, the first tick", 1, 1},
      {"one second before 1970", kEpoch - 10000000ull, 1},
      {"the epoch", kEpoch, 1},
      {"within the epoch's second", kEpoch + 9999999ull, 1},
      {"the second after the epoch", kEpoch + 10000000ull, 1},
      {"a day after", kEpoch + 10000000ull * 86400, 86400},
      {"the largest file time", ~0ull, ~0ull / 10000000ull - 11644473600ull},
  };
  for (const auto& c : cases) EXPECT_EQ(kel::FileTimeToUnixTime(c.file_time), c.seconds) << c.what;
}
