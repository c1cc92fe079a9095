#include "kel/errors.h"

#include "support/loop_fake_engine.h"

#include <gtest/gtest.h>

#include <set>

using looptest::engine;
using looptest::fakeOperations;

TEST(ErrorsMapping, EngineResultTableAndEverythingElseIs1117) {
  const std::pair<int, DWORD> table[] = {
      {0, 0},      {1, 5},      {2, 2},      {6, 110},   {7, 122},   {11, 554},  {12, 8},
      {13, 21},    {14, 13},    {57, 13},    {84, 13},   {16, 170},  {17, 80},   {19, 20},
      {20, 1359},  {21, 1359},  {22, 87},    {24, 4},    {25, 19},   {30, 19},   {27, 223},
      {28, 112},   {34, 9},     {36, 206},   {38, 1},    {56, 1},    {39, 145},  {61, 259},
      {95, 50},    {105, 1784}, {110, 121},  {112, 1067}, {115, 997}, {123, 4300}, {125, 1223},
  };
  std::set<int> listed;
  for (const auto& [engine_result, win32] : table) {
    EXPECT_EQ(kel::Win32FromEngineResult(engine_result), win32) << engine_result;
    listed.insert(engine_result);
  }
  listed.insert(37);
  for (int r = -300; r <= 300; ++r)
    if (!listed.count(r)) {
      EXPECT_EQ(kel::Win32FromEngineResult(r), 1117u) << r;
    }
}

TEST(ErrorsMapping, Result37TakesTheThreadsLastError) {
  SetLastError(5);
  EXPECT_EQ(kel::Win32FromEngineResult(37), 5u);
  SetLastError(0);
  EXPECT_EQ(kel::Win32FromEngineResult(37), 0u);
}

TEST(ErrorsMapping, ReportLogsNonZeroCodesOnly) {
  engine().reset();
  const FileSystemOperations& ops = fakeOperations();
  EXPECT_EQ(kel::ReportEngineErrorThrough(&ops, 0, "src.cpp", 10), 0u);
  SetLastError(0);
  EXPECT_EQ(kel::ReportEngineErrorThrough(&ops, 37, "src.cpp", 11), 0u);
  EXPECT_TRUE(engine().log_texts.empty());

  EXPECT_EQ(kel::ReportEngineErrorThrough(&ops, 28, "src.cpp", 12), 112u);
  EXPECT_EQ(kel::ReportEngineErrorThrough(&ops, -5, "src.cpp", 13), 1117u);
  ASSERT_EQ(engine().log_texts.size(), 2u);
  EXPECT_EQ(engine().log_texts[0], u"KelInterface_Error=112");
  EXPECT_EQ(engine().log_texts[1], u"KelInterface_Error=1117");
  EXPECT_EQ(engine().log_levels[0], 4u);
  EXPECT_EQ(engine().log_functions[0], "src.cpp");
  // Without a table nothing is logged, but the code is still mapped.
  EXPECT_EQ(kel::ReportEngineErrorThrough(nullptr, 126, "src.cpp", 14), 1117u);
}

TEST(ErrorsMapping, Win32CodeToHresult) {
  EXPECT_EQ(kel::HResultFromWin32Code(112), static_cast<HRESULT>(0x80070070u));
  EXPECT_LT(kel::HResultFromWin32Code(112), 0);
  EXPECT_EQ(kel::HResultFromWin32Code(0x12345), static_cast<HRESULT>(0x80072345u));
  EXPECT_EQ(kel::HResultFromWin32Code(0), 0);
  EXPECT_EQ(kel::HResultFromWin32Code(static_cast<HRESULT>(0x80004005u)),
            static_cast<HRESULT>(0x80004005u));
}

TEST(ErrorsMapping, DriveSdkResults) {
  const std::pair<std::uint64_t, std::uint32_t> table[] = {
      {0, 0},
      {0x8100000000000001ull, 0x8007054F},
      {0x8100000000000002ull, 0x800710D2},
      {0x8100000000000005ull, 0x80070057},
      {0x8100000000000006ull, 0x80070032},
      {0x8100000000000007ull, 0x80070032},
      {0x8200000000000002ull, 0x80070052},
      {0x8200000000000001ull, 0x8007045D},
      {0x8100000000000008ull, 0x8007045D},
      {0x8100000000000011ull, 0x8007045D},
      {0x8100000000000012ull, 0x8007045D},
      {0x8100000000000013ull, 0x8007045D},
      {0x0000000000010001ull, 0x8007045D},
      {1, 0x8007045D},
  };
  for (const auto& [sdk, hr] : table)
    EXPECT_EQ(static_cast<std::uint32_t>(kel::MapDriveSdkResult(sdk)), hr) << std::hex << sdk;
}
