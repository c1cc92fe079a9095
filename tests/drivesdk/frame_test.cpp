// Result messages, exception conversion, last-error detail, option reduction
// and the log of the library.
#include "sdk_support.h"

#include "conversions.h"
#include "sdk_frame.h"

#include <cstring>
#include <new>

namespace sdktest {
namespace {

using PxoUtilityLib::PxoUtilityLibException;
using kelutil::KelUtilityException;

std::string message(std::uint64_t code, std::uint32_t size = 128) {
  std::string buffer(size, '\x7f');
  KelDriveSDK_GetErrorMessage(code, buffer.data(), size);
  return buffer.c_str();
}

TEST(SdkFrame, MessagesByCodeAndCategory) {
  const struct {
    std::uint64_t code;
    const char* text;
  } rows[] = {
      {0, "Function complete."},
      {0x00130123, "Function failed volume control."},
      {0x13, "Function failed volume control."},
      {0x8100000000000005ull, "Function failed invalid parameter."},
      {0x8100000000000006ull, "Function failed. Target device is not supported."},
      {0x8100000000000009ull, "Unknown code."},
      {0x8100000000000003ull, "Unknown code."},
      {0x00440000, "Unknown code."},
      {0x00230001, "Function failed. Access failed due to invalid UDF format."},
      {0x0A00FFFF, "Function failed registry access."},
      {0x8200000000000002ull, "Function failed create file."},
      // Bits 32-63 are dropped once a category is present.
      {0x8100000000130000ull, "Function failed volume control."},
  };
  for (const auto& row : rows) EXPECT_EQ(message(row.code), row.text) << std::hex << row.code;
}

TEST(SdkFrame, MessageIsCutToTheBufferWithATerminator) {
  char buffer[12];
  std::memset(buffer, 'x', sizeof buffer);
  KelDriveSDK_GetErrorMessage(0, buffer, 10);
  EXPECT_STREQ(buffer, "Function ");
  EXPECT_EQ(buffer[10], 'x');
  // No buffer or no room: nothing is written.
  KelDriveSDK_GetErrorMessage(0, nullptr, 10);
  std::memset(buffer, 'x', sizeof buffer);
  KelDriveSDK_GetErrorMessage(0, buffer, 0);
  EXPECT_EQ(buffer[0], 'x');
}

TEST(SdkFrame, VersionOfBothInterfaces) {
  EXPECT_EQ(std::u16string(KelDriveSDK_GetVersion()), u"5.0.0.2");
  EXPECT_EQ(kelutil::KelUtility::GetVersion(), "5.0.0.2");
}

KelUtilityException convertedFrom(const std::function<void()>& thrower) {
  try {
    PxoUtilityLib::convertExceptions("C:\\work\\KelUtility.cpp", 321, "kelutil::KelUtility::Method", [&] {
      thrower();
      return 0;
    });
  } catch (const KelUtilityException& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was thrown";
  return KelUtilityException(0, "", "", 0, "");
}

TEST(SdkFrame, ExceptionConversion) {
  auto locked = convertedFrom([] { throw PxoUtilityLibException(0x130100, u"drive_ctrl.cpp", 77, u"DriveCtrl::x"); });
  EXPECT_EQ(locked.code(), 0x8100000000000008ull);
  EXPECT_STREQ(locked.what(), "PxoUtilityLibException");
  EXPECT_STREQ(locked.file(), "KelUtility.cpp");
  EXPECT_EQ(locked.line(), 321);
  EXPECT_STREQ(locked.function(), "kelutil::KelUtility::Method");

  auto drive = convertedFrom(
      [] { throw PxoUtilityLibException(0x220005, u"C:\\src\\drive_ctrl.cpp", 77, u"DriveCtrl::loadSlotAndCheck"); });
  EXPECT_EQ(drive.code(), 0x220005u);
  EXPECT_STREQ(drive.what(), "PxoUtilityLibException");
  EXPECT_STREQ(drive.file(), "drive_ctrl.cpp");
  EXPECT_EQ(drive.line(), 77);
  EXPECT_STREQ(drive.function(), "DriveCtrl::loadSlotAndCheck");

  auto passed = convertedFrom([] { throw KelUtilityException(0x8100000000000002ull, "media is not ingested", "a.cpp", 5, "f"); });
  EXPECT_EQ(passed.code(), 0x8100000000000002ull);
  EXPECT_STREQ(passed.what(), "media is not ingested");
  EXPECT_STREQ(passed.file(), "a.cpp");

  auto other = convertedFrom([] { throw std::bad_alloc(); });
  EXPECT_EQ(other.code(), 0x8100000000000013ull);
  EXPECT_STREQ(other.what(), "");
  EXPECT_STREQ(other.file(), "KelUtility.cpp");
  EXPECT_EQ(other.line(), 321);
}

TEST(SdkFrame, LastErrorDetailSurvivesSuccessAndForeignExceptions) {
  const std::uint64_t failed = PxoUtilityLib::runPlain([]() -> std::uint64_t {
    throw KelUtilityException(0x00220005, "PxoUtilityLibException", "drive_ctrl.cpp", 412, "DriveCtrl::load");
  });
  EXPECT_EQ(failed, 0x00220005u);
  EXPECT_EQ(PxoUtilityLib::runPlain([] { return std::uint64_t{0}; }), 0u);
  EXPECT_EQ(PxoUtilityLib::runPlain([]() -> std::uint64_t { throw std::runtime_error("x"); }), 0x8100000000000013ull);

  std::uint64_t code = 0, line = 0;
  const char* file = nullptr;
  const char* function = nullptr;
  KelDriveSDK_GetLastErrorMessageDetail(&code, &file, &function, &line);
  EXPECT_EQ(code, 0x00220005u);
  EXPECT_STREQ(file, "drive_ctrl.cpp");
  EXPECT_STREQ(function, "DriveCtrl::load");
  EXPECT_EQ(line, 412u);
  // Null outputs are passed over.
  KelDriveSDK_GetLastErrorMessageDetail(nullptr, nullptr, nullptr, &line);
  EXPECT_EQ(line, 412u);
}

TEST(SdkFrame, FileControlOptionReduction) {
  const std::pair<std::uint32_t, std::uint32_t> rows[] = {
      {0x1F, 0x0A}, {0x14, 0x04}, {0x21, 0}, {0x10, 0x10}, {0x12, 0x12}, {0x0C, 0x08}, {0x01, 0}, {0xFFFFFFFF, 0x0A}};
  for (auto [in, out] : rows) EXPECT_EQ(PxoUtilityLib::reduceFileControlOptions(in), out) << std::hex << in;
}

TEST(SdkFrame, LogGoesToTheCallbackCutAt1024WideCharacters) {
  host().install(1, 3, true, false);
  KELSDK_LOG(PxoUtilityLib::kLogError, "silent %d", 1);  // no log callback: nothing happens

  host().install(1, 3);
  const std::string longText(1500, 'a');
  PxoUtilityLib::sdkLog(3, 2, "C:\\src\\file.cpp", "DriveCtrl::x", 99, "%s\xC3\xA9", longText.c_str());
  PxoUtilityLib::sdkLog(1, 2, "file.cpp", "f", 1, "GetLastError=%u path=%s", 5u, "/dev/sd1a2b");
  ASSERT_EQ(host().logs.size(), 2u);
  const LogLine& cut = host().logs[0];
  EXPECT_EQ(cut.level, 3);
  EXPECT_EQ(cut.type, 2);
  EXPECT_EQ(cut.function, "DriveCtrl::x");
  EXPECT_EQ(cut.line, 99);
  EXPECT_EQ(cut.text, std::u16string(1023, u'a'));
  EXPECT_EQ(host().logs[1].text, u"GetLastError=5 path=/dev/sd1a2b");
  clearCallbacks();
}

TEST(SdkFrame, NonAsciiLogTextArrivesAsUtf16) {
  host().install();
  PxoUtilityLib::sdkLog(1, 2, "f.cpp", "f", 1, "%s", "caf\xC3\xA9 \xF0\x9F\x98\x80");
  ASSERT_EQ(host().logs.size(), 1u);
  EXPECT_EQ(host().logs[0].text, u"caf\u00e9 \U0001F600");
  EXPECT_EQ(narrowText(u"caf\u00e9 \U0001F600"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
  clearCallbacks();
}

}  // namespace
}  // namespace sdktest
