// The wide trace formatter, conversion by conversion, and its sink.
#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/kel_trace.h"
#include "kel/volctrl.h"
#include "support/loop_harness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>
#include <functional>
#include <string>

using looptest::engine;

namespace {

struct Case {
  const char* what;
  std::function<std::u16string()> format;
  std::u16string expected;
};

}  // namespace

TEST(KelTraceFormat, EveryConversion) {
  const std::u16string wide = u"w\u00e9";
  const std::string narrow = "n\xc3\xa9";  // UTF-8 "né"
  const Case cases[] = {
      {"%d negative", [] { return kel::FormatTraceOf(u"[%d]", -42); }, u"[-42]"},
      {"%i", [] { return kel::FormatTraceOf(u"%i", 7); }, u"7"},
      {"%5d", [] { return kel::FormatTraceOf(u"[%5d]", -3); }, u"[   -3]"},
      {"%05d", [] { return kel::FormatTraceOf(u"[%05d]", -3); }, u"[-0003]"},
      {"%-4d", [] { return kel::FormatTraceOf(u"[%-4d]", 5); }, u"[5   ]"},
      {"%d of unsigned keeps the value", [] { return kel::FormatTraceOf(u"%d", 0xFFFFFFFFu); },
       u"4294967295"},
      {"%u", [] { return kel::FormatTraceOf(u"%u", 4000000000u); }, u"4000000000"},
      {"%u of -1 at 32 bits", [] { return kel::FormatTraceOf(u"%u", -1); }, u"4294967295"},
      {"%x", [] { return kel::FormatTraceOf(u"%x", 0xBEEFu); }, u"beef"},
      {"%X", [] { return kel::FormatTraceOf(u"%X", 0xBEEFu); }, u"BEEF"},
      {"%08X", [] { return kel::FormatTraceOf(u"%08X", 0x82000023u); }, u"82000023"},
      {"%08X short", [] { return kel::FormatTraceOf(u"%08X", 0x1Cu); }, u"0000001C"},
      {"%08x of a negative int", [] { return kel::FormatTraceOf(u"%08x", -2); }, u"fffffffe"},
      {"%02X", [] { return kel::FormatTraceOf(u"%02X", std::uint8_t{5}); }, u"05"},
      {"%02X of a byte 0x81", [] { return kel::FormatTraceOf(u"%02X", std::uint8_t{0x81}); }, u"81"},
      {"%o", [] { return kel::FormatTraceOf(u"0%o", 438); }, u"0666"},
      {"%ld", [] { return kel::FormatTraceOf(u"%ld", -5); }, u"-5"},
      {"%lu", [] { return kel::FormatTraceOf(u"%lu", 12u); }, u"12"},
      {"%lu of a 64-bit value prints whole",
       [] { return kel::FormatTraceOf(u"%lu", std::uint64_t{0x123456789}); }, u"4886718345"},
      {"%lld", [] { return kel::FormatTraceOf(u"%lld", std::int64_t{-9000000000}); }, u"-9000000000"},
      {"%lld of INT64_MIN", [] { return kel::FormatTraceOf(u"%lld", INT64_MIN); },
       u"-9223372036854775808"},
      {"%llu", [] { return kel::FormatTraceOf(u"%llu", UINT64_MAX); }, u"18446744073709551615"},
      {"%llX", [] { return kel::FormatTraceOf(u"%llX", std::uint64_t{0xABCDEF0123}); }, u"ABCDEF0123"},
      {"%08llX", [] { return kel::FormatTraceOf(u"%08llX", std::uint64_t{0x2000000}); }, u"02000000"},
      {"%08llX wider than 8", [] { return kel::FormatTraceOf(u"%08llX", std::uint64_t{0x123456789}); },
       u"123456789"},
      {"%p", [] { return kel::FormatTraceOf(u"%p", reinterpret_cast<const void*>(0x1A2B)); },
       u"0000000000001A2B"},
      {"%s wide", [&] { return kel::FormatTraceOf(u"<%s>", wide); }, u"<w\u00e9>"},
      {"%ls wide", [&] { return kel::FormatTraceOf(u"<%ls>", wide.c_str()); }, u"<w\u00e9>"},
      {"%hs narrow UTF-8", [&] { return kel::FormatTraceOf(u"<%hs>", narrow); }, u"<n\u00e9>"},
      {"%hs of a literal", [] { return kel::FormatTraceOf(u"<%hs>", "abc"); }, u"<abc>"},
      {"%ul is %u then l", [] { return kel::FormatTraceOf(u"error=[%ul]", 5u); }, u"error=[5l]"},
      {"%%", [] { return kel::FormatTraceOf(u"100%% of %d", 3); }, u"100% of 3"},
      {"several in order",
       [] { return kel::FormatTraceOf(u"zoneId=%u, blockOffset=0x%08X n=%d", 2u, 0x40u, 7); },
       u"zoneId=2, blockOffset=0x00000040 n=7"},
      {"missing argument", [] { return kel::FormatTraceOf(u"a=%d b=%d", 1); }, u"a=1 b=<missing>"},
      {"narrow text under %s", [] { return kel::FormatTraceOf(u"%s", "abc"); }, u"<bad>"},
      {"wide text under %hs", [&] { return kel::FormatTraceOf(u"%hs", wide); }, u"<bad>"},
      {"text under %d", [] { return kel::FormatTraceOf(u"%d", "abc"); }, u"<bad>"},
      {"integer under %p", [] { return kel::FormatTraceOf(u"%p", 5); }, u"<bad>"},
      {"unknown conversion copied", [] { return kel::FormatTraceOf(u"%y%d", 1); }, u"%y1"},
      {"lone percent at the end", [] { return kel::FormatTraceOf(u"50%"); }, u"50%"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.format(), c.expected) << c.what;
}

TEST(KelTraceSink, GoesToSlotZeroOnlyWhileAnInterfaceRuns) {
  looptest::LoopHarness h;
  CKelInterface itf;
  ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
  engine().reset();
  KelTrace(0, 2, 0, __FILE__, u"AnnulusFileIO::RUVOFile::close", 77, u"nothing %d", 1);
  EXPECT_TRUE(engine().log_texts.empty());

  kel::SetCurrentInterface(&itf);
  KelTrace(0, 3, 0, __FILE__, u"AnnulusFileIO::AdjestBinaryBuffer::setSize", 12, u"alloc %llu 0x%08llX",
           std::uint64_t{4096}, std::uint64_t{4096});
  kel::SetCurrentInterface(nullptr);
  ASSERT_EQ(engine().log_texts.size(), 1u);
  EXPECT_EQ(engine().log_texts[0], u"alloc 4096 0x00001000");
  EXPECT_EQ(engine().log_functions[0], "AnnulusFileIO::AdjestBinaryBuffer::setSize");
  EXPECT_EQ(engine().log_levels[0], 3u);
}

TEST(KelTraceSink, VolumeControlLinesKeepTheirText) {
  looptest::LoopHarness h;
  CKelInterface itf;
  ASSERT_EQ(itf.Initialise(&looptest::fakeOperations()), S_OK);
  kel::SetCurrentInterface(&itf);
  RuvoCtrlVolume::resetForTesting();
  engine().reset();
  MDCFS_MOUNT_INFORMATION m{};
  m.MountStatus = 1;
  m.AccessMode = 0x2A;
  m.MediumType = 0xE1;
  m.VolumeStatus = 0x81;
  std::vector<std::uint8_t> raw(sizeof m);
  std::memcpy(raw.data(), &m, sizeof m);
  engine().fsctl_out[0x40107014] = raw;
  RuvoCtrlVolume v(u"");
  EXPECT_EQ(v.checkRMedia(), std::optional<bool>(true));
  engine().fsctl_results[0x40207063] = 5;
  unsigned long long total = 0, free = 0;
  EXPECT_EQ(RuvoCtrlVolume::getDiskFreeSpace(u"", total, free, false), 0x8800001Cu);
  kel::SetCurrentInterface(nullptr);
  const std::vector<std::u16string> expected = {
      u"invalid volume !! MountStatus=0x00000001 WriteProtectReasonFlags=0x00000000 "
      u"AccessMode=0x0000002A MediumType=0xE1 VolumeStatus=0x81 ",
      u"Media type = R Media",
      u"MDCFSCTL_GET_STATFS_SIZEINFO errono=0x00000005",
  };
  EXPECT_EQ(engine().log_texts, expected);
  EXPECT_EQ(engine().log_functions[1], "RuvoCtrlVolume::checkRMedia");
  EXPECT_EQ(engine().log_levels[1], 2u);
  RuvoCtrlVolume::resetForTesting();
}
