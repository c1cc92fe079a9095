// The plain functions over the class interface as one table: argument
// checks (outputs untouched), the methods that do nothing, and the answers
// of the device-file methods on the simulated drive.
#include "sdk_support.h"

#include "conversions.h"

#include <cstring>

namespace sdktest {
namespace {

constexpr std::uint64_t kBad = KELSDK_ERR_INVALID_PARAMETER;
constexpr std::uint64_t kFail = KELSDK_ERR_INTERNAL;

std::string lastFunction() {
  std::uint64_t code = 0, line = 0;
  const char *file = nullptr, *function = nullptr;
  KelDriveSDK_GetLastErrorMessageDetail(&code, &file, &function, &line);
  return function ? function : "";
}

class SdkPlainTable : public SdkSimTest {};

TEST_F(SdkPlainTable, ChecksStubsAndDeviceFileAnswers) {
  start();
  const std::u16string p = path();
  const char16_t* path = p.c_str();
  int value = 77;
  std::uint32_t files = 7, dirs = 7;
  std::uint8_t index = 9, format = 0;
  std::uint32_t length = 0;
  std::uint8_t data[16] = {};
  void* handle = data;
  KelDriveSDK_HashInfo hash{};
  KelDriveSDK_FileAllocationInfoVector vector{};
  const struct {
    const char* name;
    std::function<std::uint64_t()> call;
    std::uint64_t result;
  } rows[] = {
      {"media exist: no output", [&] { return KelDriveSDK_CheckMediaExist(path, nullptr); }, kBad},
      {"media exist", [&] { return KelDriveSDK_CheckMediaExist(path, &value); }, kFail},
      {"file count: no output", [&] { return KelDriveSDK_GetFileCount(path, &files, nullptr); }, kBad},
      {"enum attribute: short", [&] { return KelDriveSDK_EnumAttribute(path, data, 5); }, kBad},
      {"enum attribute", [&] { return KelDriveSDK_EnumAttribute(path, data, 6); }, kFail},
      {"read attribute: no data", [&] { return KelDriveSDK_ReadAttribute(path, 1, &format, &length, nullptr, 4); }, kBad},
      {"read attribute: size 0", [&] { return KelDriveSDK_ReadAttribute(path, 1, &format, &length, data, 0); }, kBad},
      {"read attribute", [&] { return KelDriveSDK_ReadAttribute(path, 1, &format, &length, data, 4); }, kFail},
      {"recording info: size 0", [&] { return KelDriveSDK_GetFileRecordingInfo(path, data, 0); }, kBad},
      {"recording info", [&] { return KelDriveSDK_GetFileRecordingInfo(path, data, 16); }, kFail},
      {"allocate new disc", [&] { return KelDriveSDK_AllocateNewDisc(path); }, 0},
      {"file control: null handle", [&] { return KelDriveSDK_SetFileControlOption(nullptr, 0); }, kBad},
      {"file control: option 2", [&] { return KelDriveSDK_SetFileControlOption(handle, 2); }, kBad},
      {"file control", [&] { return KelDriveSDK_SetFileControlOption(handle, -1); }, kFail},
      {"file control ex: null", [&] { return KelDriveSDK_SetFileControlOptionEx(nullptr, 1); }, kBad},
      {"file control ex", [&] { return KelDriveSDK_SetFileControlOptionEx(handle, 0x1F); }, kFail},
      {"software protect get", [&] { return KelDriveSDK_GetSoftwareWriteProtect(path, &value); }, kFail},
      {"software protect set 2", [&] { return KelDriveSDK_SetSoftwareWriteProtect(path, 2); }, kBad},
      {"software protect set", [&] { return KelDriveSDK_SetSoftwareWriteProtect(path, 1); }, kFail},
      {"flush", [&] { return KelDriveSDK_FlushVolumeBuffers(path); }, 0},
      {"loaded disc index: no such file", [&] { return KelDriveSDK_GetCurrentLoadedDiscIndex(path, &index); },
       KELSDK_ERR_CREATE_FILE},
      {"hash get: no info", [&] { return KelDriveSDK_GetHashInfo(path, nullptr, 8); }, kBad},
      {"hash get: short", [&] { return KelDriveSDK_GetHashInfo(path, &hash, 5); }, kBad},
      {"hash get", [&] { return KelDriveSDK_GetHashInfo(path, &hash, 8); }, kFail},
      {"hash add: kind", [&] { return KelDriveSDK_AddHashInfo(path, &hash, 8); }, kBad},
      {"hash remove", [&] { return KelDriveSDK_RemoveHashInfo(path); }, kFail},
      {"hash remove: no path", [&] { return KelDriveSDK_RemoveHashInfo(nullptr); }, kBad},
      {"default raw set 2", [&] { return KelDriveSDK_SetDefaultRawMountFlag(2); }, kBad},
      {"default raw set", [&] { return KelDriveSDK_SetDefaultRawMountFlag(1); }, kFail},
      {"default raw get: null", [&] { return KelDriveSDK_GetDefaultRawMountFlag(nullptr); }, kBad},
      {"raw set -1", [&] { return KelDriveSDK_SetRawMountFlag(path, -1); }, kBad},
      {"raw get", [&] { return KelDriveSDK_GetRawMountFlag(path, &value); }, kFail},
      {"allocation info: size 0", [&] { return KelDriveSDK_GetFileAllocationInfo(path, &vector, 0); }, kBad},
      {"allocation info: size 19", [&] { return KelDriveSDK_GetFileAllocationInfo(path, &vector, 19); }, kBad},
      {"allocation info", [&] { return KelDriveSDK_GetFileAllocationInfo(path, &vector, 32); }, kFail},
      {"open with allocation: null", [&] { return KelDriveSDK_OpenFileWithAllocationInfo(path, nullptr, 8, &handle); }, kBad},
      {"open with allocation", [&] { return KelDriveSDK_OpenFileWithAllocationInfo(path, &vector, 8, &handle); }, kFail},
      {"read file: length 0", [&] { return KelDriveSDK_ReadFile(handle, 0, 0, data, &length); }, kBad},
      {"read file", [&] { return KelDriveSDK_ReadFile(handle, 0, 1, data, &length); }, kFail},
      {"close file: null", [&] { return KelDriveSDK_CloseFile(nullptr); }, kBad},
      {"close file", [&] { return KelDriveSDK_CloseFile(handle); }, kFail},
  };
  for (const auto& row : rows) EXPECT_EQ(row.call(), row.result) << row.name;
  EXPECT_EQ(value, 77);  // never set by a failing call
  EXPECT_EQ(index, 9);
  ASSERT_EQ(KelDriveSDK_GetFileCount(path, &files, &dirs), 0u);
  EXPECT_EQ(files + dirs, 0u);
  // The hash kind 3 with a 16-byte hash passes the check and does nothing.
  hash.HashKind = 3;
  hash.HashLength = 16;
  EXPECT_EQ(KelDriveSDK_AddHashInfo(path, &hash, 8), kFail);
  // The file-control reduction reaches the method: 0x1F passes 0x0A.
  EXPECT_EQ(PxoUtilityLib::reduceFileControlOptions(0x1F), 0x0Au);
  // A path that is not a device: the open fails with "invalid argument".
  EXPECT_EQ(KelDriveSDK_FlushVolumeBuffers(u"E:"), kFail);
  EXPECT_EQ(lastFunction(), "kelutil::KelFile::Open");
}

TEST_F(SdkPlainTable, InformationNeedsADisc) {
  start();
  KelDriveSDK_BasicInfo info{};
  std::memset(static_cast<void*>(&info), 0x5A, sizeof info);
  ASSERT_EQ(KelDriveSDK_GetInformation(path().c_str(), &info), 0u);
  EXPECT_EQ(info.MediumType, 0);  // measured fields reset
  EXPECT_EQ(info.First[0], 0u);
  EXPECT_EQ(KelDriveSDK_GetInformation(path().c_str(), nullptr), kBad);
  sim_->drive().unload();
  EXPECT_EQ(KelDriveSDK_GetInformation(path().c_str(), &info), KELSDK_ERR_NO_DISC);
  EXPECT_EQ(lastFunction(), "kelutil::DeviceControl::GetInformation");
}

TEST(SdkRecordingInfo, PackingOfTheEntries) {
  std::vector<kelutil::FILE_RECORDING_INFO> entries(3);
  for (std::uint32_t i = 0; i < 3; ++i) {
    entries[i].Count = i + 1;
    entries[i].Size = 0x100000000ull * (i + 1);
  }
  std::uint8_t out[40];
  std::memset(out, 0xEE, sizeof out);
  PxoUtilityLib::packRecordingInfo(entries, out, 3);
  EXPECT_EQ(out[0], 0xEE);  // below 4 bytes: nothing
  PxoUtilityLib::packRecordingInfo(entries, out, 16);
  std::uint32_t count, first;
  std::uint64_t size;
  std::memcpy(&count, out, 4);
  std::memcpy(&first, out + 4, 4);
  std::memcpy(&size, out + 8, 8);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(size, 0x100000000ull);
  EXPECT_EQ(out[16], 0xEE);  // a second entry does not fit
  PxoUtilityLib::packRecordingInfo(entries, out, 39);  // two whole entries
  std::memcpy(&first, out + 16, 4);
  EXPECT_EQ(first, 2u);
  EXPECT_EQ(out[28], 0xEE);
}

}  // namespace
}  // namespace sdktest
