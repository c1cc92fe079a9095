// Out-of-line members of the exported records and of the exception of the
// class interface (part of the library's binary interface).
#include "KelDriveSDK/KelDriveSDK.h"

#include <cstring>
#include <utility>

// The fixed-layout records hold no pointers: a field-by-field copy is a copy
// of their bytes.
#define KEL_DRIVESDK_RECORD_ASSIGN(T)                                            \
  T& T::operator=(const T& other) {                                              \
    if (this != &other) std::memmove(static_cast<void*>(this), &other, sizeof(T)); \
    return *this;                                                                \
  }                                                                              \
  T& T::operator=(T&& other) { return *this = static_cast<const T&>(other); }

KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_DiscUsageInfo)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_BasicInfo)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_DeviceInfo)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_FileNumAndSize)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_FileRecordingInfo)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_FileRecordingInfoVector)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_FileAllocationInfo)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_FileAllocationInfoVector)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_HashInfo)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_DriveId)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_DriveIdVector)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_AttributeIdVector)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_SupportedMediaDescriptor)
KEL_DRIVESDK_RECORD_ASSIGN(KelDriveSDK_SupportedMediaInfo)

namespace kelutil {

KEL_DRIVESDK_RECORD_ASSIGN(DiscUsageInfo)
KEL_DRIVESDK_RECORD_ASSIGN(FILE_RECORDING_INFO)
KEL_DRIVESDK_RECORD_ASSIGN(FILE_ALLOCATION_INFO)
KEL_DRIVESDK_RECORD_ASSIGN(FILE_ALLOCATION_INFO_VECTOR)
KEL_DRIVESDK_RECORD_ASSIGN(HASH_INFO)
KEL_DRIVESDK_RECORD_ASSIGN(SupportedMediaDescriptor)
KEL_DRIVESDK_RECORD_ASSIGN(SupportedMediaInfo)
KEL_DRIVESDK_RECORD_ASSIGN(DuplicateVolumeResult)

// The default constructor sets the strings empty and no other field.
BasicInfo::BasicInfo() {}
BasicInfo::BasicInfo(const BasicInfo& other) { *this = other; }
BasicInfo::BasicInfo(BasicInfo&& other) noexcept { *this = std::move(other); }
BasicInfo::~BasicInfo() = default;

BasicInfo& BasicInfo::operator=(const BasicInfo& other) {
  if (this == &other) return *this;
  std::memcpy(Block, other.Block, sizeof Block);
  std::memcpy(First, other.First, sizeof First);
  Generation = other.Generation;
  std::memcpy(Second, other.Second, sizeof Second);
  MediumType = other.MediumType;
  Byte59 = other.Byte59;
  LegacyFlag = other.LegacyFlag;
  VendorValid = other.VendorValid;
  GenerationDigit = other.GenerationDigit;
  VendorId = other.VendorId;
  Mpid = other.Mpid;
  ProductName = other.ProductName;
  Umpid = other.Umpid;
  Enumeration = other.Enumeration;
  Byte1 = other.Byte1;
  Byte2 = other.Byte2;
  std::memcpy(Values, other.Values, sizeof Values);
  Capacity = other.Capacity;
  CartridgeKind = other.CartridgeKind;
  return *this;
}

BasicInfo& BasicInfo::operator=(BasicInfo&& other) noexcept {
  if (this == &other) return *this;
  std::string vendor = std::move(other.VendorId), mpid = std::move(other.Mpid);
  std::string product = std::move(other.ProductName), umpid = std::move(other.Umpid);
  other.VendorId.clear();
  other.Mpid.clear();
  other.ProductName.clear();
  other.Umpid.clear();
  *this = static_cast<const BasicInfo&>(other);
  VendorId = std::move(vendor);
  Mpid = std::move(mpid);
  ProductName = std::move(product);
  Umpid = std::move(umpid);
  return *this;
}

DeviceInfo::DeviceInfo() : Variant(0), Word(0), Byte(0), VariantData{}, TrailByte(0), TrailWord(0) {}
DeviceInfo::DeviceInfo(const DeviceInfo& other) { *this = other; }
DeviceInfo::DeviceInfo(DeviceInfo&& other) noexcept { *this = std::move(other); }
DeviceInfo::~DeviceInfo() = default;

DeviceInfo& DeviceInfo::operator=(const DeviceInfo& other) {
  if (this == &other) return *this;
  ProductId = other.ProductId;
  SerialNumber = other.SerialNumber;
  Revision = other.Revision;
  Variant = other.Variant;
  Word = other.Word;
  Byte = other.Byte;
  std::memcpy(VariantData, other.VariantData, sizeof VariantData);
  TrailByte = other.TrailByte;
  TrailWord = other.TrailWord;
  return *this;
}

DeviceInfo& DeviceInfo::operator=(DeviceInfo&& other) noexcept {
  if (this == &other) return *this;
  std::string product = std::move(other.ProductId), serial = std::move(other.SerialNumber);
  std::string revision = std::move(other.Revision);
  other.ProductId.clear();
  other.SerialNumber.clear();
  other.Revision.clear();
  *this = static_cast<const DeviceInfo&>(other);
  ProductId = std::move(product);
  SerialNumber = std::move(serial);
  Revision = std::move(revision);
  return *this;
}

KelUtilityException::KelUtilityException(std::uint64_t code, const std::string& message, const std::string& file,
                                         int line, const std::string& function)
    : std::domain_error(message), m_code(code), m_file(file), m_line(line), m_function(function) {}
KelUtilityException::KelUtilityException(const KelUtilityException& other) = default;
KelUtilityException& KelUtilityException::operator=(const KelUtilityException& other) = default;
KelUtilityException::~KelUtilityException() = default;
const char* KelUtilityException::what() const noexcept { return std::domain_error::what(); }
std::uint64_t KelUtilityException::code() const { return m_code; }
const char* KelUtilityException::file() const { return m_file.c_str(); }
int KelUtilityException::line() const { return m_line; }
const char* KelUtilityException::function() const { return m_function.c_str(); }

KelUtility& KelUtility::operator=(KelUtility&&) { return *this; }

}  // namespace kelutil
