// Result codes of the writer and the Win32 errors answered for them.
#include "AnnulusFileIO/ResultCodes.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <thread>

using namespace AnnulusFileIOErrors;

namespace {

// The Win32 error answered for a code recorded on this thread.
std::uint32_t answered(std::uint32_t code, DWORD last_error = 0, std::uint32_t engine = 0) {
  SetLastError(last_error);
  return RecordedError::capture(code, engine).win32;
}

}  // namespace

TEST(ResultCodes, FixedColumn) {
  const struct {
    std::uint32_t code;
    std::uint32_t win32;
  } cases[] = {
      {0x81000005, 112}, {0x82000001, 87},   {0x82000005, 110},  {0x8200000C, 223},
      {0x8200000D, 29},  {0x82000015, 1117}, {0x82000016, 1117}, {0x82000017, 110},
      {0x82000019, 110}, {0x8200001D, 1117}, {0x8200001E, 1117}, {0x8200001F, 1117},
      {0x82000020, 110}, {0x82000021, 1117}, {0x82000022, 120},  {0x82000023, 112},
      {0x8200002A, 1117}, {0x82000033, 1117}, {0x82000034, 1117}, {0x82000035, 1117},
      {0x88000013, 19},  {0x8800001E, 1117}, {0x8B000001, 110},  {0x8B000002, 1359},
      {0x8B000003, 82},  {0x8B000005, 87},   {0x8B000007, 1117}, {0x8B00000A, 1117},
      {0x8B00000B, 1117}, {0x8B00000C, 1117}, {0xFFFFFFFD, 1117},
      // unlisted codes and 0
      {0, 1117},         {0x82000002, 1117}, {0x12345678, 1117}, {0x8B000004, 1117},
  };
  for (const auto& c : cases) {
    // A pending last error or engine result must not leak into fixed codes.
    EXPECT_EQ(answered(c.code, 5, 28), c.win32) << std::hex << c.code;
  }
}

TEST(ResultCodes, LastErrorColumnKeepsTheRaisingThreadsError) {
  const std::uint32_t codes[] = {0x8200001C, 0x82000029, 0x8200002B, 0x86000001,
                                 0x86000014, 0x88000011, 0x88000012, 0x8800001C};
  for (std::uint32_t code : codes) {
    EXPECT_EQ(answered(code, 5), 5u) << std::hex << code;
    EXPECT_EQ(answered(code, 0), 1117u) << std::hex << code;
  }
  // Recorded on a writer thread, read on the request thread whose own last
  // error differs.
  RecordedError kept;
  std::thread writer([&] {
    SetLastError(112);
    kept = RecordedError::capture(0x82000029, 0);
  });
  writer.join();
  SetLastError(0);
  EXPECT_EQ(kept.code, 0x82000029u);
  EXPECT_EQ(kept.win32, 112u);
}

TEST(ResultCodes, ErrorRecordColumnMapsTheEngineResult) {
  const std::uint32_t codes[] = {0x82000026, 0x8200002E, 0x8200002F, 0x82000030, 0x82000032};
  for (std::uint32_t code : codes) {
    EXPECT_EQ(answered(code, 7, 28), 112u) << std::hex << code;
    EXPECT_EQ(answered(code, 7, 5), 1117u) << std::hex << code;  // engine 5 (EIO): not in the table
    EXPECT_EQ(answered(code, 7, 2), 2u) << std::hex << code;
    EXPECT_EQ(answered(code, 7, 22), 87u) << std::hex << code;
    EXPECT_EQ(answered(code, 7, 0), 1117u) << std::hex << code;
  }
}
