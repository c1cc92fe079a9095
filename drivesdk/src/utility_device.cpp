// Class-interface methods of the device file: the medium's information, the
// jobs that only open and close the device, the argument checks of the
// methods that do nothing, and the plain functions over them.
#include "device_control.h"
#include "conversions.h"
#include "scsi_device.h"
#include "sdk_frame.h"

#include <algorithm>
#include <cstring>

namespace kelutil {

using PxoUtilityLib::convertExceptions;
using PxoUtilityLib::throwUtility;

namespace {

[[noreturn]] void bad(const char* function, const char* text = "Invalid argument") {
  throwUtility(KELSDK_ERR_INVALID_PARAMETER, text, __FILE__, __LINE__, function);
}

// Open, body, close: the device file of one method.
template <class Body>
bool withOpenFile(const std::u16string& path, Body&& body) {
  KelFile file(path);
  file.Open();
  const bool answer = body(file);
  file.Close();
  return answer;
}

}  // namespace

void DeviceControl::GetInformation(KelFile& file, BasicInfo& info) {
  const std::uint8_t cdb[12] = {0x00};
  std::uint32_t none = 0;
  std::uint8_t sense[3] = {};
  if (!file.device() || file.device()->passThrough(cdb, sizeof cdb, nullptr, &none, sense, nullptr, true) != 0)
    throwUtility(KELSDK_ERR_NO_DISC, "media is not ingested", __FILE__, __LINE__, "kelutil::DeviceControl::GetInformation");
  std::memset(info.Block, 0, sizeof info.Block);
  std::fill(std::begin(info.First), std::end(info.First), 0u);
  info.Generation = 0;
  std::fill(std::begin(info.Second), std::end(info.Second), 0u);
  info.MediumType = 0;
  info.Byte59 = 0;
  info.Enumeration = 0;
  info.Byte1 = 0;
  info.Byte2 = 0;
  std::fill(std::begin(info.Values), std::end(info.Values), 0ull);
}

bool KelUtility::GetInformation(const std::u16string& path, BasicInfo& info) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::GetInformation", [&] {
    withOpenFile(path, [&](KelFile& file) {
      DeviceControl::GetInformation(file, info);
      return true;
    });
    if (info.LegacyFlag == 1) {
      makeMPID_Legacy(info);
      makeUMPID_Legacy(info);
    } else {
      makeUMPID_Formal(info);
    }
    return true;
  });
}

bool KelUtility::GetFileRecordingInfo(const std::u16string& path, std::vector<FILE_RECORDING_INFO>& entries) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::GetFileRecordingInfo", [&] {
    entries.clear();
    KelFile file(path);
    file.Open();
    file.GetSize();  // the device file has no file handle: "not opened"
    return true;
  });
}

bool KelUtility::ChangeNewDisc(const std::u16string& path) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::ChangeNewDisc",
                           [&] { return withOpenFile(path, [](KelFile&) { return true; }); });
}

bool KelUtility::DoCMWriteProtect(const std::u16string& path, bool, bool) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::DoCMWriteProtect",
                           [&] { return withOpenFile(path, [](KelFile&) { return false; }); });
}

bool KelUtility::CheckMediaExist(const std::u16string& path, bool&) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::CheckMediaExist",
                           [&] { return withOpenFile(path, [](KelFile&) { return false; }); });
}

bool KelUtility::SetMediaInjectable(const std::u16string&, bool) { return true; }

bool KelUtility::GetFileCount(const std::u16string& path, std::uint32_t& files, std::uint32_t& directories) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::GetFileCount", [&] {
    return withOpenFile(path, [&](KelFile&) {
      files = 0;
      directories = 0;
      return true;
    });
  });
}

bool KelUtility::GetDeviceProperty(const std::u16string& path, std::string& product, std::string& serial,
                                   std::string& revision) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::GetDeviceProperty", [&] {
    KelFile file(path);
    if (!DeviceControl::openForMediumJob(file)) return false;
    product.clear();
    serial.clear();
    revision.clear();
    DeviceControl::closeQuietly(file);
    return false;
  });
}

bool KelUtility::EnumAttribute(const std::u16string&, std::vector<std::uint16_t>&) { return false; }

bool KelUtility::ReadAttribute(const std::u16string&, std::uint16_t, std::uint8_t&, std::uint32_t&, void* data,
                               std::uint32_t size) {
  if (!data || size == 0) bad("kelutil::KelUtility::ReadAttribute");
  return false;
}

bool KelUtility::SetFileControlOption(void* handle, int) {
  if (!handle) bad("kelutil::KelUtility::SetFileControlOption");
  return false;
}

bool KelUtility::SetFileControlOptionEx(void* handle, std::uint32_t) {
  if (!handle) bad("kelutil::KelUtility::SetFileControlOptionEx");
  return false;
}

bool KelUtility::FlushVolumeBuffers(const std::u16string& path) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::FlushVolumeBuffers",
                           [&] { return withOpenFile(path, [](KelFile&) { return true; }); });
}

bool KelUtility::GetCurrentLoadedDiscIndex(const std::u16string& path, std::uint8_t* index) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::GetCurrentLoadedDiscIndex", [&] {
    KelFile file(path);
    file.ReadOpen();
    if (index) *index = 0;
    file.Close();
    return true;
  });
}

bool KelUtility::GetHashInfo(const std::u16string&, HASH_INFO* info, std::uint64_t size) {
  if (!info || size < 6) bad("kelutil::KelUtility::GetHashInfo");
  return false;
}

bool KelUtility::AddHashInfo(const std::u16string&, HASH_INFO* info, std::uint64_t) {
  if (!info || info->HashKind != 3 || info->HashLength != 16) bad("kelutil::KelUtility::AddHashInfo");
  return false;
}

bool KelUtility::RemoveHashInfo(const std::u16string&) { return false; }

bool KelUtility::SetDefaultRawMountFlag(std::uint32_t flag) {
  if (flag > 1) bad("kelutil::KelUtility::SetDefaultRawMountFlag");
  return false;
}

bool KelUtility::GetDefaultRawMountFlag(int* flag) {
  if (!flag) bad("kelutil::KelUtility::GetDefaultRawMountFlag", "Invalide argument");
  return false;
}

bool KelUtility::SetRawMountFlag(const std::u16string&, std::uint32_t flag) {
  if (flag > 1) bad("kelutil::KelUtility::SetRawMountFlag");
  return false;
}

bool KelUtility::GetRawMountFlag(const std::u16string&, int* flag) {
  if (!flag) bad("kelutil::KelUtility::GetRawMountFlag");
  return false;
}

bool KelUtility::GetFileAllocationInfo(const std::u16string& path, FILE_ALLOCATION_INFO_VECTOR*, std::uint64_t& size) {
  constexpr const char* kName = "kelutil::KelUtility::GetFileAllocationInfo";
  return convertExceptions(__FILE__, __LINE__, kName, [&] {
    if (size < 20) bad(kName);
    KelFile file(path);
    file.Open();
    file.GetSize();  // "not opened"
    return true;
  });
}

bool KelUtility::OpenFileWithAllocationInfo(const std::u16string&, FILE_ALLOCATION_INFO_VECTOR* vector,
                                            std::uint64_t size, void*&) {
  if (!vector || size == 0) bad("kelutil::KelUtility::OpenFileWithAllocationInfo");
  return false;
}

bool KelUtility::GetSoftwareWriteProtect(const std::u16string& path, std::uint8_t&) {
  return convertExceptions(__FILE__, __LINE__, "kelutil::KelUtility::GetSoftwareWriteProtect",
                           [&] { return withOpenFile(path, [](KelFile&) { return false; }); });
}

bool KelUtility::ProtectVolumeFromChange(const std::u16string& path, void** output) {
  if (!PxoUtilityLib::isDrivePath(path)) bad("kelutil::KelUtility::ProtectVolumeFromChange");
  if (output) *output = nullptr;
  return false;
}

bool KelUtility::makeOpaque(const std::u16string&, FILE_ALLOCATION_INFO_VECTOR*, std::uint64_t&) { return false; }
bool KelUtility::IsBlankDirectory() { return false; }
bool KelUtility::UnProtectVolumeFromChange() { return false; }

}  // namespace kelutil

namespace {

using PxoUtilityLib::boolResult;
using PxoUtilityLib::runPlain;
using kelutil::KelUtility;
constexpr std::uint64_t kBad = KELSDK_ERR_INVALID_PARAMETER;

}  // namespace

namespace PxoUtilityLib {

// The recording information as the plain function hands it on: the count
// of all entries, then whole 12-byte entries while they fit.
void packRecordingInfo(const std::vector<kelutil::FILE_RECORDING_INFO>& entries, void* buffer, std::uint64_t size) {
  if (size < 4) return;
  auto* out = static_cast<std::uint8_t*>(buffer);
  const auto count = static_cast<std::uint32_t>(entries.size());
  std::memcpy(out, &count, 4);
  std::uint64_t at = 4;
  for (const auto& e : entries) {
    if (size - at < 12) break;
    std::memcpy(out + at, &e.Count, 4);
    std::memcpy(out + at + 4, &e.Size, 8);
    at += 12;
  }
}

}  // namespace PxoUtilityLib

extern "C" {

std::uint64_t KelDriveSDK_GetInformation(const char16_t* path, KelDriveSDK_BasicInfo* info) {
  if (!path || !info) return kBad;
  return runPlain([&] {
    kelutil::BasicInfo record;
    const bool ok = KelUtility::GetInformation(path, record);
    PxoUtilityLib::convertBasicInfo(record, info);
    return boolResult(ok);
  });
}

std::uint64_t KelDriveSDK_CheckMediaExist(const char16_t* path, int* present) {
  if (!path || !present) return kBad;
  return runPlain([&] {
    bool loaded = false;
    const bool ok = KelUtility::CheckMediaExist(path, loaded);
    if (ok) *present = loaded ? 1 : 0;
    return boolResult(ok);
  });
}

std::uint64_t KelDriveSDK_GetFileCount(const char16_t* path, std::uint32_t* files, std::uint32_t* directories) {
  if (!path || !files || !directories) return kBad;
  return runPlain([&] { return boolResult(KelUtility::GetFileCount(path, *files, *directories)); });
}

std::uint64_t KelDriveSDK_EnumAttribute(const char16_t* path, void* buffer, std::uint64_t size) {
  if (!path || !buffer || size < 6) return kBad;
  return runPlain([&] {
    std::vector<std::uint16_t> ids;
    if (!KelUtility::EnumAttribute(path, ids)) return KELSDK_ERR_INTERNAL;
    auto* out = static_cast<std::uint8_t*>(buffer);
    const auto count = static_cast<std::uint32_t>(ids.size());
    std::memcpy(out, &count, 4);
    const std::uint64_t fit = std::min<std::uint64_t>(ids.size(), (size - 4) / 2);
    std::memcpy(out + 4, ids.data(), static_cast<std::size_t>(fit) * 2);
    return KELSDK_SUCCESS;
  });
}

std::uint64_t KelDriveSDK_ReadAttribute(const char16_t* path, std::uint16_t id, std::uint8_t* format,
                                        std::uint32_t* length, void* data, std::uint32_t dataSize) {
  if (!path || !format || !length || !data || dataSize == 0) return kBad;
  return runPlain([&] { return boolResult(KelUtility::ReadAttribute(path, id, *format, *length, data, dataSize)); });
}

std::uint64_t KelDriveSDK_GetFileRecordingInfo(const char16_t* path, void* buffer, std::uint64_t size) {
  if (!path || !buffer || size == 0) return kBad;
  return runPlain([&] {
    std::vector<kelutil::FILE_RECORDING_INFO> entries;
    if (!KelUtility::GetFileRecordingInfo(path, entries)) return KELSDK_ERR_INTERNAL;
    PxoUtilityLib::packRecordingInfo(entries, buffer, size);
    return KELSDK_SUCCESS;
  });
}

std::uint64_t KelDriveSDK_AllocateNewDisc(const char16_t* path) {
  if (!path) return kBad;
  return runPlain([&] { return boolResult(KelUtility::ChangeNewDisc(path)); });
}

std::uint64_t KelDriveSDK_SetFileControlOption(void* handle, int option) {
  if (!handle || option > 1) return kBad;
  return runPlain([&] { return boolResult(KelUtility::SetFileControlOption(handle, option == 1 ? 1 : 0)); });
}

std::uint64_t KelDriveSDK_SetFileControlOptionEx(void* handle, std::uint32_t options) {
  if (!handle) return kBad;
  return runPlain([&] {
    return boolResult(KelUtility::SetFileControlOptionEx(handle, PxoUtilityLib::reduceFileControlOptions(options)));
  });
}

std::uint64_t KelDriveSDK_GetSoftwareWriteProtect(const char16_t* path, int* protect) {
  if (!path) return kBad;
  return runPlain([&] {
    std::uint8_t value = 0;
    const bool ok = KelUtility::GetSoftwareWriteProtect(path, value);
    if (ok && protect) *protect = value;
    return boolResult(ok);
  });
}

std::uint64_t KelDriveSDK_SetSoftwareWriteProtect(const char16_t* path, int protect) {
  if (!path || (protect != 0 && protect != 1)) return kBad;
  return runPlain([&] { return boolResult(KelUtility::DoCMWriteProtect(path, protect == 1, false)); });
}

std::uint64_t KelDriveSDK_FlushVolumeBuffers(const char16_t* path) {
  if (!path) return kBad;
  return runPlain([&] { return boolResult(KelUtility::FlushVolumeBuffers(path)); });
}

std::uint64_t KelDriveSDK_GetCurrentLoadedDiscIndex(const char16_t* path, std::uint8_t* index) {
  if (!path) return kBad;
  return runPlain([&] { return boolResult(KelUtility::GetCurrentLoadedDiscIndex(path, index)); });
}

std::uint64_t KelDriveSDK_GetHashInfo(const char16_t* path, KelDriveSDK_HashInfo* info, std::uint64_t size) {
  if (!path) return kBad;
  return runPlain(
      [&] { return boolResult(KelUtility::GetHashInfo(path, reinterpret_cast<kelutil::HASH_INFO*>(info), size)); });
}

std::uint64_t KelDriveSDK_AddHashInfo(const char16_t* path, KelDriveSDK_HashInfo* info, std::uint64_t size) {
  if (!path) return kBad;
  return runPlain(
      [&] { return boolResult(KelUtility::AddHashInfo(path, reinterpret_cast<kelutil::HASH_INFO*>(info), size)); });
}

std::uint64_t KelDriveSDK_RemoveHashInfo(const char16_t* path) {
  if (!path) return kBad;
  return runPlain([&] { return boolResult(KelUtility::RemoveHashInfo(path)); });
}

std::uint64_t KelDriveSDK_SetDefaultRawMountFlag(int flag) {
  return runPlain([&] { return boolResult(KelUtility::SetDefaultRawMountFlag(static_cast<std::uint32_t>(flag))); });
}

std::uint64_t KelDriveSDK_GetDefaultRawMountFlag(int* flag) {
  return runPlain([&] { return boolResult(KelUtility::GetDefaultRawMountFlag(flag)); });
}

std::uint64_t KelDriveSDK_SetRawMountFlag(const char16_t* path, int flag) {
  if (!path) return kBad;
  return runPlain([&] { return boolResult(KelUtility::SetRawMountFlag(path, static_cast<std::uint32_t>(flag))); });
}

std::uint64_t KelDriveSDK_GetRawMountFlag(const char16_t* path, int* flag) {
  if (!path) return kBad;
  return runPlain([&] { return boolResult(KelUtility::GetRawMountFlag(path, flag)); });
}

std::uint64_t KelDriveSDK_GetFileAllocationInfo(const char16_t* path, KelDriveSDK_FileAllocationInfoVector* vector,
                                                std::uint64_t size) {
  if (!path || !vector || size == 0) return kBad;
  return runPlain([&] {
    return boolResult(KelUtility::GetFileAllocationInfo(
        path, reinterpret_cast<kelutil::FILE_ALLOCATION_INFO_VECTOR*>(vector), size));
  });
}

std::uint64_t KelDriveSDK_OpenFileWithAllocationInfo(const char16_t*, KelDriveSDK_FileAllocationInfoVector* vector,
                                                     std::uint64_t size, void**) {
  if (!vector || size == 0) return kBad;
  return KELSDK_ERR_INTERNAL;
}

std::uint64_t KelDriveSDK_ReadFile(void* handle, std::int64_t, std::uint32_t length, void* buffer, std::uint32_t* done) {
  if (!handle || length == 0 || !buffer || !done) return kBad;
  return boolResult(KelUtility::ReadFile());
}

std::uint64_t KelDriveSDK_CloseFile(void* handle) {
  if (!handle) return kBad;
  return boolResult(KelUtility::CloseFile());
}

}  // extern "C"
