// Plain functions over the class interface: argument checks, the call, the
// conversion of the record, and a code for false or an exception.
#include "conversions.h"
#include "sdk_frame.h"

#include <algorithm>
#include <cstring>

namespace PxoUtilityLib {

namespace {

// Copies text into a field of `size` bytes: cut to size - 1 and terminated.
void putTerminated(char* field, std::size_t size, const std::string& text) {
  const std::size_t n = std::min(text.size(), size - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

// Copies a string into a field without terminator, cut to the field.
void putUnterminated(char* field, std::size_t size, const std::string& text) {
  std::memcpy(field, text.data(), std::min(text.size(), size));
}
// The variant data the plain record carries: variant 0 seven values,
// variant 1 pairs (four, five by the longer form) and one value, variant 2
// thirteen values (sixteen by the longer form).
std::size_t variantValues(std::uint8_t variant, bool longer) {
  switch (variant) {
    case 0: return 7;
    case 1: return (longer ? 5 : 4) * 2 + 1;
    case 2: return longer ? 16 : 13;
    default: return 0;
  }
}

}  // namespace

void convertBasicInfo(const kelutil::BasicInfo& in, KelDriveSDK_BasicInfo* out) {
  std::memcpy(out->Block, in.Block, sizeof out->Block);
  std::memcpy(out->First, in.First, sizeof out->First);
  out->Generation = in.Generation;
  std::memcpy(out->Second, in.Second, sizeof out->Second);
  out->MediumType = in.MediumType;
  putUnterminated(out->VendorId, sizeof out->VendorId, in.VendorId);
  putUnterminated(out->Mpid, sizeof out->Mpid, in.Mpid);
  putUnterminated(out->ProductName, sizeof out->ProductName, in.ProductName);
  putUnterminated(out->Umpid, sizeof out->Umpid, in.Umpid);
  if (in.Enumeration <= 1) out->Enumeration = in.Enumeration;
  out->Byte168 = in.Byte1;
  out->Byte169 = in.Byte2;
  std::memcpy(out->Values, in.Values, sizeof out->Values);
}

void convertDeviceInfo(const kelutil::DeviceInfo& in, KelDriveSDK_DeviceInfo* out, bool longer) {
  putTerminated(out->ProductId, sizeof out->ProductId, in.ProductId);
  putTerminated(out->SerialNumber, sizeof out->SerialNumber, in.SerialNumber);
  putTerminated(out->Revision, sizeof out->Revision, in.Revision);
  out->Variant = in.Variant;
  out->Word40 = in.Word;
  out->Byte42 = in.Byte;
  std::uint32_t data[16] = {};
  std::copy_n(in.VariantData, variantValues(in.Variant, longer), data);
  std::memcpy(out->VariantData, data, sizeof data);
  out->Byte107 = in.TrailByte;
  out->Word108 = in.TrailWord;
}

std::uint32_t reduceFileControlOptions(std::uint32_t options) {
  std::uint32_t kept = options & 0x02;
  for (std::uint32_t bit : {0x08u, 0x04u, 0x10u})
    if (options & bit) return kept | bit;
  return kept;
}

}  // namespace PxoUtilityLib

namespace {

using namespace PxoUtilityLib;

constexpr std::uint32_t kDeviceInfoSize = sizeof(KelDriveSDK_DeviceInfo);

std::uint64_t deviceInformation(const char16_t* path, KelDriveSDK_DeviceInfo* info, bool longer,
                                std::uint32_t size) {
  kelutil::DeviceInfo record;
  const bool ok = longer ? kelutil::KelUtility::GetDeviceInformationEx(path, record, size)
                         : kelutil::KelUtility::GetDeviceInformation(path, record);
  convertDeviceInfo(record, info, longer);
  return ok ? KELSDK_SUCCESS : KELSDK_ERR_UNSUPPORTED_DEVICE;
}

}  // namespace

extern "C" {

std::uint64_t KelDriveSDK_GetSupportedMediaInfo(const char16_t* path, KelDriveSDK_SupportedMediaInfo* info,
                                                std::uint64_t size) {
  if (!path || !info || size < 4) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] {
    auto* record = reinterpret_cast<kelutil::SupportedMediaInfo*>(info);
    return kelutil::KelUtility::GetSupportedMediaInformation(path, record, size) ? KELSDK_SUCCESS
                                                                                : KELSDK_ERR_UNSUPPORTED_DEVICE;
  });
}

std::uint64_t KelDriveSDK_GetDeviceInformation(const char16_t* path, KelDriveSDK_DeviceInfo* info) {
  if (!path || !info) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] { return deviceInformation(path, info, false, kDeviceInfoSize); });
}

std::uint64_t KelDriveSDK_GetDeviceInformationEx(const char16_t* path, KelDriveSDK_DeviceInfo* info,
                                                 std::uint32_t size) {
  if (!path || !info || size < kDeviceInfoSize) return KELSDK_ERR_INVALID_PARAMETER;
  return runPlain([&] { return deviceInformation(path, info, true, size); });
}

}  // extern "C"
