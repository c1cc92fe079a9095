#include "kelhost/log.h"

#include "support_fake_log.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakelog::reset();
    LogSetProgramName("");
  }
  void TearDown() override { LogSetProgramName(""); }
};

TEST_F(LoggerTest, HeaderMatchesByteForByte) {
  LogSetProgramName("DRIVE-X");
  EXPECT_TRUE(LogPrint(KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE, "int Mount(uint32_t)", 123, 0xABCDu,
                       "mount failed %d\n", 5));
  const auto lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_FALSE(lines[0].wide);
  EXPECT_EQ(lines[0].text, "[DRIVE-X] FUSE{ERR_} TID[0000abcd] ****[int Mount(uint32_t):123] mount failed 5\n");
}

TEST_F(LoggerTest, NamesOfLevelsModulesAndMarkers) {
  struct Case {
    unsigned level;
    int module;
    int marker;
    const char* expected;
  } cases[] = {
      {0, 0, 0, "[] FS__{EMGN} TID[00000001] ++++[f:1] "},
      {1, 1, 1, "[] DRV_{ALET} TID[00000001] ----[f:1] "},
      {2, 2, 2, "[] CORE{CRIT} TID[00000001] ++--[f:1] "},
      {4, 3, 4, "[] PROT{WARN} TID[00000001]     [f:1] "},
      {5, 4, 3, "[] USER{NOTI} TID[00000001] ****[f:1] "},
      {6, 5, 3, "[] WRIT{INFO} TID[00000001] ****[f:1] "},
      {7, 6, 3, "[] SDKC{DEBG} TID[00000001] ****[f:1] "},
      {7, 7, 3, "[] LIBW{DEBG} TID[00000001] ****[f:1] "},
      {7, 8, 3, "[] LOGG{DEBG} TID[00000001] ****[f:1] "},
      {7, 9, 3, "[] CONF{DEBG} TID[00000001] ****[f:1] "},
      {7, 10, 3, "[] KELC{DEBG} TID[00000001] ****[f:1] "},
      {7, 12, 3, "[] _MNT{DEBG} TID[00000001] ****[f:1] "},
      {7, 13, 3, "[] RMNT{DEBG} TID[00000001] ****[f:1] "},
      {7, 14, 5, "[] ????{DEBG} TID[00000001] ????[f:1] "},
      {7, -1, -1, "[] ????{DEBG} TID[00000001] ????[f:1] "},
  };
  for (const Case& c : cases) {
    fakelog::reset();
    LogTrace(c.level, c.module, c.marker, "f", 1, 1);
    const auto lines = fakelog::lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, c.expected);
    EXPECT_EQ(lines[0].level, static_cast<int>(c.level));
  }
}

TEST_F(LoggerTest, LevelAboveSevenPrintsDebgButPassesLevelOn) {
  fakelog::reset(100);
  EXPECT_TRUE(LogPrint(9, KEL_MOD_CORE, KEL_MARK_NOTE, "f", 2, 1, "x"));
  const auto lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 9);
  EXPECT_EQ(fakelog::checked().back(), 9);
  EXPECT_NE(lines[0].text.find("CORE{DEBG}"), std::string::npos);
}

TEST_F(LoggerTest, NullFunctionAndWideThreadValue) {
  LogPrint(KEL_LOG_INFO, KEL_MOD_DRV, KEL_MARK_ENTER, nullptr, 77, 0x1234567890ABCDEFull, "m");
  const auto lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "[] DRV_{INFO} TID[90abcdef] ++++[No Set(NULL):77] m");
}

TEST_F(LoggerTest, RefusedLevelIsSilentAndUnformatted) {
  fakelog::reset(6);
  EXPECT_FALSE(LogPrint(KEL_LOG_DEBG, KEL_MOD_FS, KEL_MARK_NOTE, "f", 1, 1, "%s", "dropped"));
  EXPECT_FALSE(LogPrintW(KEL_LOG_INFO, KEL_MOD_FS, KEL_MARK_NOTE, "f", 1, 1, u"x"));
  LogTrace(KEL_LOG_INFO, KEL_MOD_FS, KEL_MARK_ENTER, "f", 1, 1);
  EXPECT_TRUE(fakelog::lines().empty());
  EXPECT_EQ(fakelog::checked(), (std::vector<int>{7, 6, 6}));
  EXPECT_TRUE(LogPrint(KEL_LOG_NOTI, KEL_MOD_FS, KEL_MARK_NOTE, "f", 1, 1, "kept"));
  EXPECT_EQ(fakelog::lines().size(), 1u);
}

TEST_F(LoggerTest, LongMessageIsCutToTheLine) {
  const std::string big(3000, 'x');
  LogPrint(KEL_LOG_ERR, KEL_MOD_FS, KEL_MARK_NOTE, "f", 1, 1, "%s", big.c_str());
  auto lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.size(), 1023u);
  EXPECT_EQ(lines[0].text.substr(0, 34), "[] FS__{ERR_} TID[00000001] ****[f");

  // A header that alone exceeds the line is cut too.
  fakelog::reset();
  LogPrint(KEL_LOG_ERR, KEL_MOD_FS, KEL_MARK_NOTE, big.c_str(), 1, 1, "tail");
  lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text.size(), 1023u);
  EXPECT_EQ(lines[0].text.find("tail"), std::string::npos);

  fakelog::reset();
  LogPrintW(KEL_LOG_ERR, KEL_MOD_FS, KEL_MARK_NOTE, "f", 1, 1, u"%hs", big.c_str());
  lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].wtext.size(), 1023u);
}

TEST_F(LoggerTest, ProgramNameIsReplaced) {
  LogSetProgramName("FIRST");
  LogSetProgramName("UNKNOWN");
  LogTrace(KEL_LOG_INFO, KEL_MOD_DRV, KEL_MARK_EXIT, "g", 5, 1);
  ASSERT_EQ(fakelog::lines().size(), 1u);
  EXPECT_EQ(fakelog::lines()[0].text.rfind("[UNKNOWN] DRV_{INFO}", 0), 0u);
}

TEST_F(LoggerTest, WideLineFormatsWideAndNarrowArguments) {
  EXPECT_TRUE(LogPrintW(KEL_LOG_WARN, KEL_MOD_LIBW, KEL_MARK_NOTE, "w", 9, 2,
                        u"%s|%hs|%S|%d|%5u|%-3x|%llu|%c|%%|%.2s", u"\u00e9t\u00e9", "caf\xc3\xa9", "n", -4, 7u,
                        0xAu, 18446744073709551615ull, u'Z', u"abc"));
  const auto lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].wide);
  EXPECT_EQ(lines[0].wtext,
            u"[] LIBW{WARN} TID[00000002] ****[w:9] \u00e9t\u00e9|caf\u00e9|n|-4|    7|a  |18446744073709551615|Z|%|ab");
}

// The directives the line above does not use: widths and precisions from the
// arguments (a negative width aligns left), every length modifier, floating
// point, %C's and %c's sizes, %n (skipped) and an unknown one (kept).
TEST_F(LoggerTest, WideLineFormatsEveryDirectiveKind) {
  EXPECT_TRUE(LogPrintW(KEL_LOG_WARN, KEL_MOD_LIBW, KEL_MARK_NOTE, "w", 9, 2,
                        u"%*d|%-*d|%*d|%.*s|%I64d|%I32u|%Iu|%zu|%hhd|%hu|%ld|%jd|%td|%.1f|%Lg|%C|%hC|%lc|%n|%q", 4, 7,
                        3, 8, -3, 5, 2, u"wxyz", -5ll, 6u, std::size_t{10}, std::size_t{9}, 300, 70000, -6l,
                        std::intmax_t{-1}, std::ptrdiff_t{3}, 2.5, 1.5L, u'W', 'n', u'Q', static_cast<void*>(nullptr)));
  const auto lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].wtext,
            u"[] LIBW{WARN} TID[00000002] ****[w:9]    7|8  |5  |wx|-5|6|10|9|44|4464|-6|-1|3|2.5|1.5|W|n|Q||%q");
}

TEST_F(LoggerTest, LogMessageMapsLevelsAndSources) {
  struct Case {
    unsigned level;
    int source;
    const char* header;
  } cases[] = {
      {2, 1, "LOGG{INFO}"}, {3, 2, "SDKC{WARN}"}, {4, 4, "LIBW{ERR_}"},
      {1, 3, "KELC{DEBG}"}, {5, 0, "KELC{DEBG}"}, {0, 8, "KELC{DEBG}"},
  };
  for (const Case& c : cases) {
    fakelog::reset();
    EXPECT_EQ(LogMessage(c.level, c.source, "src.cpp fn", 42, u"hello"), 0);
    const auto lines = fakelog::lines();
    ASSERT_EQ(lines.size(), 1u) << c.header;
    EXPECT_TRUE(lines[0].wide);
    EXPECT_NE(lines[0].text.find(c.header), std::string::npos) << lines[0].text;
    EXPECT_NE(lines[0].text.find("] ****[src.cpp fn:42] hello"), std::string::npos) << lines[0].text;
  }
}

TEST_F(LoggerTest, LogMessagePrintsPercentSignsLiterally) {
  EXPECT_EQ(LogMessage(4, 1, "f", 1, u"100%s done %d%n"), 0);
  const auto lines = fakelog::lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].text.find("] 100%s done %d%n"), std::string::npos) << lines[0].text;
}

TEST(DebugTraceTable, InitialColumns) {
  mdcudfsr_debug_level_init();
  const unsigned on[] = {0, 4, 7, 9, 11, 12, 17, 18, 19, 20, 21};
  for (unsigned c = 0; c < 25; ++c) {
    bool is_on = false;
    for (unsigned k : on) is_on = is_on || k == c;
    EXPECT_EQ(mdcudfsr_debug_level_get(0, c), 0xFFFF) << c;
    EXPECT_EQ(mdcudfsr_debug_level_get(1, c), is_on ? 1 : -1) << c;
    EXPECT_EQ(mdcudfsr_debug_level_get(2, c), is_on ? 1 : -1) << c;
    EXPECT_EQ(mdcudfsr_debug_level_get(3, c), 1) << c;
  }
  EXPECT_TRUE(mdcudfsr_debug_level_check(3, 1, 24));
  EXPECT_FALSE(mdcudfsr_debug_level_check(3, 2, 24));
  EXPECT_TRUE(mdcudfsr_debug_level_check(0, 0, 20));
  EXPECT_FALSE(mdcudfsr_debug_level_check(4, -100, 0));
  EXPECT_FALSE(mdcudfsr_debug_level_check(0, -100, 25));
}

TEST(DebugTraceTable, SetterRulesAndFreeze) {
  mdcudfsr_debug_level_init();
  mdcudfsr_debug_level_set(0);
  for (unsigned c = 0; c < 25; ++c) {
    EXPECT_EQ(mdcudfsr_debug_level_get(0, c), 0);
    EXPECT_EQ(mdcudfsr_debug_level_get(1, c), 0);
    EXPECT_EQ(mdcudfsr_debug_level_get(2, c), -1);
    EXPECT_EQ(mdcudfsr_debug_level_get(3, c), -1);
  }
  for (int level = 0; level < 4; ++level) EXPECT_FALSE(mdcudfsr_debug_level_check(3, level, 19));
  EXPECT_TRUE(mdcudfsr_debug_level_check(0, 0, 20));

  mdcudfsr_debug_level_set(-1);
  for (unsigned k = 0; k < 4; ++k) EXPECT_EQ(mdcudfsr_debug_level_get(k, 7), -1);

  mdcudfsr_debug_level_freeze(true);
  mdcudfsr_debug_level_set(5);
  EXPECT_EQ(mdcudfsr_debug_level_get(0, 7), -1);
  // Module start unfreezes.
  mdcudfsr_debug_level_init();
  mdcudfsr_debug_level_set(5);
  EXPECT_EQ(mdcudfsr_debug_level_get(0, 7), 5);
  mdcudfsr_debug_level_init();
}

}  // namespace
