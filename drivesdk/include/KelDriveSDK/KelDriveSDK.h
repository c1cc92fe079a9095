// Exported interface of the drive utility library: result codes, records,
// the exception of the class interface, the class interface and the plain
// functions.
#pragma once

// The host functions of quorvel_api.h are exported too.
#pragma GCC visibility push(default)
#include "KelDriveSDK/quorvel_api.h"
#pragma GCC visibility pop

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// Marks what crosses the library's boundary; everything else is hidden.
#define KEL_DRIVESDK_API __attribute__((visibility("default")))

// Result codes of the plain functions (0 is success).
constexpr std::uint64_t KELSDK_SUCCESS = 0;
constexpr std::uint64_t KELSDK_ERR_INTERNAL = 0x8100000000000001ull;
constexpr std::uint64_t KELSDK_ERR_NO_DISC = 0x8100000000000002ull;
constexpr std::uint64_t KELSDK_ERR_INVALID_PARAMETER = 0x8100000000000005ull;
constexpr std::uint64_t KELSDK_ERR_UNSUPPORTED_DEVICE = 0x8100000000000006ull;
constexpr std::uint64_t KELSDK_ERR_NOT_SUPPORTED = 0x8100000000000007ull;
constexpr std::uint64_t KELSDK_ERR_VOLUME_LOCKED = 0x8100000000000008ull;
constexpr std::uint64_t KELSDK_ERR_DUPLICATE_DRIVE = 0x8100000000000009ull;
constexpr std::uint64_t KELSDK_ERR_DUPLICATE_OTHER = 0x8100000000000010ull;
constexpr std::uint64_t KELSDK_ERR_ALREADY_OPEN = 0x8100000000000011ull;
constexpr std::uint64_t KELSDK_ERR_ALREADY_CLOSED = 0x8100000000000012ull;
constexpr std::uint64_t KELSDK_ERR_SYSTEM = 0x8100000000000013ull;
constexpr std::uint64_t KELSDK_ERR_DEVICE_IO_CONTROL = 0x8200000000000001ull;
constexpr std::uint64_t KELSDK_ERR_CREATE_FILE = 0x8200000000000002ull;

// Copy and move assignment of a record, defined out of line and exported;
// the constructors stay the implicit ones.
#define KEL_DRIVESDK_RECORD(T)                  \
  T() = default;                                \
  T(const T&) = default;                        \
  T(T&&) = default;                             \
  KEL_DRIVESDK_API T& operator=(const T& other); \
  KEL_DRIVESDK_API T& operator=(T&& other)

#pragma pack(push, 1)

struct KelDriveSDK_DiscUsageInfo {
  KEL_DRIVESDK_RECORD(KelDriveSDK_DiscUsageInfo);
  std::uint8_t Value0;
  std::uint8_t Value1;
  std::uint64_t Values[3];
};

struct KelDriveSDK_BasicInfo {
  KEL_DRIVESDK_RECORD(KelDriveSDK_BasicInfo);
  std::uint8_t Block[32];
  std::uint32_t First[3];
  std::uint8_t Generation;
  std::uint32_t Second[3];
  std::uint8_t MediumType;
  char VendorId[8];
  char Mpid[16];
  char ProductName[49];
  char Umpid[33];
  std::int32_t Enumeration;
  std::uint8_t Byte168;
  std::uint8_t Byte169;
  std::uint64_t Values[3];
};

struct KelDriveSDK_DeviceInfo {
  KEL_DRIVESDK_RECORD(KelDriveSDK_DeviceInfo);
  char ProductId[17];
  char SerialNumber[17];
  char Revision[5];
  std::uint8_t Variant;
  std::uint16_t Word40;
  std::uint8_t Byte42;
  std::uint32_t VariantData[16];
  std::uint8_t Byte107;
  std::uint16_t Word108;
};

struct KelDriveSDK_FileNumAndSize {
  KEL_DRIVESDK_RECORD(KelDriveSDK_FileNumAndSize);
  std::uint32_t Count;
  std::uint64_t Size;
};
struct KelDriveSDK_FileRecordingInfo {
  KEL_DRIVESDK_RECORD(KelDriveSDK_FileRecordingInfo);
  std::uint32_t Count;
  std::uint64_t Size;
};
struct KelDriveSDK_FileRecordingInfoVector {
  KEL_DRIVESDK_RECORD(KelDriveSDK_FileRecordingInfoVector);
  std::uint32_t NumberOfEntries;
  KelDriveSDK_FileRecordingInfo Entries[1];
};
struct KelDriveSDK_FileAllocationInfo {
  KEL_DRIVESDK_RECORD(KelDriveSDK_FileAllocationInfo);
  std::uint32_t ZoneId;
  std::uint32_t BlockOffset;
  std::uint32_t NumberOfBlocks;
};
struct KelDriveSDK_FileAllocationInfoVector {
  KEL_DRIVESDK_RECORD(KelDriveSDK_FileAllocationInfoVector);
  std::uint64_t Value0;
  std::uint64_t Value1;
  std::uint32_t NumberOfEntries;
  KelDriveSDK_FileAllocationInfo Entries[1];
};
struct KelDriveSDK_HashInfo {
  KEL_DRIVESDK_RECORD(KelDriveSDK_HashInfo);
  std::uint32_t HashKind;
  std::uint16_t HashLength;
  std::uint8_t Hash[1];
};
struct KelDriveSDK_DriveId {
  KEL_DRIVESDK_RECORD(KelDriveSDK_DriveId);
  char Id[17];
};
struct KelDriveSDK_DriveIdVector {
  KEL_DRIVESDK_RECORD(KelDriveSDK_DriveIdVector);
  std::uint32_t Count;
  KelDriveSDK_DriveId Ids[1];
};
struct KelDriveSDK_AttributeIdVector {
  KEL_DRIVESDK_RECORD(KelDriveSDK_AttributeIdVector);
  std::uint32_t Count;
  std::uint16_t Ids[1];
};
struct KelDriveSDK_SupportedMediaDescriptor {
  KEL_DRIVESDK_RECORD(KelDriveSDK_SupportedMediaDescriptor);
  char VendorId[8];
  char ProductId[16];
  std::uint8_t Flag;
  std::uint8_t Reserved[10];
};
struct KelDriveSDK_SupportedMediaInfo {
  KEL_DRIVESDK_RECORD(KelDriveSDK_SupportedMediaInfo);
  std::uint32_t ByteCount;
  KelDriveSDK_SupportedMediaDescriptor Descriptors[1];
};

namespace kelutil {

struct DiscUsageInfo {
  KEL_DRIVESDK_RECORD(DiscUsageInfo);
  std::uint8_t Value0;
  std::uint8_t Value1;
  std::uint64_t Values[4];
};
struct FILE_RECORDING_INFO {
  KEL_DRIVESDK_RECORD(FILE_RECORDING_INFO);
  std::uint32_t Count;
  std::uint64_t Size;
};
struct FILE_ALLOCATION_INFO {
  KEL_DRIVESDK_RECORD(FILE_ALLOCATION_INFO);
  std::uint32_t ZoneId;
  std::uint32_t BlockOffset;
  std::uint32_t NumberOfBlocks;
};
struct FILE_ALLOCATION_INFO_VECTOR {
  KEL_DRIVESDK_RECORD(FILE_ALLOCATION_INFO_VECTOR);
  std::uint64_t Value0;
  std::uint64_t Value1;
  std::uint32_t NumberOfEntries;
  FILE_ALLOCATION_INFO Entries[1];
};
struct HASH_INFO {
  KEL_DRIVESDK_RECORD(HASH_INFO);
  std::uint32_t HashKind;
  std::uint16_t HashLength;
  std::uint8_t Hash[1];
};
struct SupportedMediaDescriptor {
  KEL_DRIVESDK_RECORD(SupportedMediaDescriptor);
  char VendorId[8];
  char ProductId[16];
  std::uint8_t Flag;
  std::uint8_t Reserved[10];
};
struct SupportedMediaInfo {
  KEL_DRIVESDK_RECORD(SupportedMediaInfo);
  std::uint32_t ByteCount;
  SupportedMediaDescriptor Descriptors[1];
};
struct DuplicateVolumeResult {
  KEL_DRIVESDK_RECORD(DuplicateVolumeResult);
  std::uint32_t Values[8];
};

}  // namespace kelutil

#pragma pack(pop)

static_assert(sizeof(KelDriveSDK_DiscUsageInfo) == 26);
static_assert(sizeof(KelDriveSDK_BasicInfo) == 194);
static_assert(offsetof(KelDriveSDK_BasicInfo, MediumType) == 57 && offsetof(KelDriveSDK_BasicInfo, VendorId) == 58 &&
              offsetof(KelDriveSDK_BasicInfo, Umpid) == 131 && offsetof(KelDriveSDK_BasicInfo, Enumeration) == 164 &&
              offsetof(KelDriveSDK_BasicInfo, Values) == 170);
static_assert(sizeof(KelDriveSDK_DeviceInfo) == 110);
static_assert(offsetof(KelDriveSDK_DeviceInfo, Variant) == 39 && offsetof(KelDriveSDK_DeviceInfo, VariantData) == 43 &&
              offsetof(KelDriveSDK_DeviceInfo, Byte107) == 107);
static_assert(sizeof(KelDriveSDK_FileNumAndSize) == 12 && sizeof(KelDriveSDK_FileRecordingInfo) == 12);
static_assert(sizeof(KelDriveSDK_FileRecordingInfoVector) == 16);
static_assert(sizeof(KelDriveSDK_FileAllocationInfo) == 12);
static_assert(sizeof(KelDriveSDK_FileAllocationInfoVector) == 32 &&
              offsetof(KelDriveSDK_FileAllocationInfoVector, Entries) == 20);
static_assert(sizeof(KelDriveSDK_HashInfo) == 7 && offsetof(KelDriveSDK_HashInfo, Hash) == 6);
static_assert(sizeof(KelDriveSDK_DriveId) == 17 && sizeof(KelDriveSDK_DriveIdVector) == 21);
static_assert(sizeof(KelDriveSDK_AttributeIdVector) == 6);
static_assert(sizeof(KelDriveSDK_SupportedMediaDescriptor) == 35 && sizeof(KelDriveSDK_SupportedMediaInfo) == 39);
static_assert(sizeof(kelutil::DiscUsageInfo) == 34);
static_assert(sizeof(kelutil::FILE_RECORDING_INFO) == 12 && sizeof(kelutil::FILE_ALLOCATION_INFO) == 12);
static_assert(sizeof(kelutil::FILE_ALLOCATION_INFO_VECTOR) == 32);
static_assert(sizeof(kelutil::HASH_INFO) == 7);
static_assert(sizeof(kelutil::SupportedMediaDescriptor) == 35 && sizeof(kelutil::SupportedMediaInfo) == 39);
static_assert(sizeof(kelutil::DuplicateVolumeResult) == 32);

namespace kelutil {

// Basic information of the loaded medium. The strings keep the record from
// being packed; its field order is the binary interface.
struct KEL_DRIVESDK_API BasicInfo {
  BasicInfo();
  BasicInfo(const BasicInfo& other);
  BasicInfo(BasicInfo&& other) noexcept;
  ~BasicInfo();
  BasicInfo& operator=(const BasicInfo& other);
  BasicInfo& operator=(BasicInfo&& other) noexcept;

  std::uint8_t Block[32];
  std::uint32_t First[3];
  std::uint8_t Generation;  // 12 or 11 select the legacy identifier rows
  std::uint32_t Second[3];
  std::uint8_t MediumType;
  std::uint8_t Byte59;
  std::uint8_t LegacyFlag;
  std::uint8_t VendorValid;
  std::uint8_t GenerationDigit;
  std::string VendorId;
  std::string Mpid;
  std::string ProductName;
  std::string Umpid;
  std::uint8_t Enumeration;  // 0 or 1
  std::uint8_t Byte1;
  std::uint8_t Byte2;
  std::uint64_t Values[3];
  std::uint64_t Capacity;       // bytes
  std::uint8_t CartridgeKind;   // 0 rewritable, 1 cleaning, 128 write-once
};

// Identity of a drive.
struct KEL_DRIVESDK_API DeviceInfo {
  DeviceInfo();
  DeviceInfo(const DeviceInfo& other);
  DeviceInfo(DeviceInfo&& other) noexcept;
  ~DeviceInfo();
  DeviceInfo& operator=(const DeviceInfo& other);
  DeviceInfo& operator=(DeviceInfo&& other) noexcept;

  std::string ProductId;
  std::string SerialNumber;
  std::string Revision;
  std::uint8_t Variant;  // 0, 1 or 2
  std::uint16_t Word;
  std::uint8_t Byte;
  std::uint32_t VariantData[16];
  std::uint8_t TrailByte;
  std::uint16_t TrailWord;
};

// The exception of the class interface.
class KEL_DRIVESDK_API KelUtilityException : public std::domain_error {
 public:
  KelUtilityException(std::uint64_t code, const std::string& message, const std::string& file, int line,
                      const std::string& function);
  KelUtilityException(const KelUtilityException& other);
  KelUtilityException& operator=(const KelUtilityException& other);
  ~KelUtilityException() override;
  const char* what() const noexcept override;
  virtual std::uint64_t code() const;
  virtual const char* file() const;
  virtual int line() const;
  virtual const char* function() const;

 private:
  std::uint64_t m_code;
  std::string m_file;
  int m_line;
  std::string m_function;
};

struct KelUtilityTestPeer;

// The class interface: static methods, no state.
class KEL_DRIVESDK_API KelUtility {
 public:
  KelUtility() = default;
  KelUtility& operator=(KelUtility&& other);

  static std::string GetVersion();
  static bool GetDeviceInformation(const std::u16string& path, DeviceInfo& info);
  static bool GetDeviceInformationEx(const std::u16string& path, DeviceInfo& info, std::uint32_t size);
  static bool GetSupportedMediaInformation(const std::u16string& path, SupportedMediaInfo* info, std::uint64_t size);

 private:
  friend struct KelUtilityTestPeer;
  static void makeMPID_Legacy(BasicInfo& info);
  static void makeUMPID_Legacy(BasicInfo& info);
  static void makeUMPID_Formal(BasicInfo& info);
  static std::uint64_t round_to_2sd(std::uint64_t value);
  static bool readDeviceStrings(const std::u16string& path, DeviceInfo& info, const char* function);
};

}  // namespace kelutil

extern "C" {
KEL_DRIVESDK_API const char16_t* KelDriveSDK_GetVersion();
KEL_DRIVESDK_API void KelDriveSDK_GetErrorMessage(std::uint64_t code, char* buffer, std::uint32_t size);
KEL_DRIVESDK_API void KelDriveSDK_GetLastErrorMessageDetail(std::uint64_t* code, const char** file,
                                                            const char** function, std::uint64_t* line);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetSupportedMediaInfo(const char16_t* path,
                                                                 KelDriveSDK_SupportedMediaInfo* info,
                                                                 std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetDeviceInformation(const char16_t* path, KelDriveSDK_DeviceInfo* info);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetDeviceInformationEx(const char16_t* path, KelDriveSDK_DeviceInfo* info,
                                                                  std::uint32_t size);
}
