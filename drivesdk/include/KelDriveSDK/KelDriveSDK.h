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
#include <vector>

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

// Asked by a backtrack before it starts, with the current slot number plus
// one: false stops it (nothing is erased).
class KEL_DRIVESDK_API FormatCallback {
 public:
  virtual ~FormatCallback();
  virtual bool progress(std::uint32_t value) = 0;
};

// Arguments of the duplication methods.
enum DuplicateVolume_CMCopyFlag : std::uint32_t {
  DuplicateVolume_CMCopy = 0,  // carry the cartridge-memory attributes over
  DuplicateVolume_CMNoCopy = 1,
};
enum DuplicateVolume_DriveKind : std::uint32_t {
  DuplicateVolume_KelDrive = 0,   // a mounted archive volume
  DuplicateVolume_Directory = 1,  // a plain directory
};
enum DuplicateVolume_CheckResult : std::uint32_t {
  DuplicateVolume_Enough = 0,
  DuplicateVolume_NotEnoughSpace = 1,
  DuplicateVolume_TooManyEntries = 2,
};
enum DuplicateVolume_WriteErrorPolicy : std::uint32_t {
  DuplicateVolume_StopOnError = 0,
  DuplicateVolume_RetryOnce = 1,  // a failed file is copied once more when there is room
};

// Progress of a duplication in percent of the source's bytes, and its
// cancel query (true stops the run).
class KEL_DRIVESDK_API DuplicateVolumeCallback {
 public:
  virtual ~DuplicateVolumeCallback();
  virtual void progress(std::uint32_t percent) = 0;
  virtual bool cancel();
};

// The class interface: static methods, no state.
class KEL_DRIVESDK_API KelUtility {
 public:
  KelUtility() = default;
  KelUtility& operator=(KelUtility&& other);

  static std::string GetVersion();
  static bool GetDeviceInformation(const std::u16string& path, DeviceInfo& info);
  static bool GetDeviceInformationEx(const std::u16string& path, DeviceInfo& info, std::uint32_t size);
  static bool GetSupportedMediaInformation(const std::u16string& path, SupportedMediaInfo* info, std::uint64_t size);
  // Operational modes 0-3 over the user settings (DefaultVolType,
  // VerifyOnWrite, RecInhibit, DfltFsFlshPlcy).
  static bool GetOperationalMode(int mode, void* buffer, std::uint64_t size);
  static bool SetOperationalMode(int mode, const void* buffer, std::uint64_t size);
  static bool ResetOperationalMode();
  static std::uint16_t CalculateCRC(const std::uint8_t* data, std::uint64_t length);
  // Erases the volume (backtrack false) or takes it back to its initial
  // state (backtrack true, rewritable media); either way it keeps its volume
  // type. target: the slot to go back to; the engine goes back to slot 0
  // only, so any other slot throws 0x8100000000000005 before anything is
  // erased.
  static bool DoAllDelete(const std::u16string& path, bool backtrack, FormatCallback* callback, std::uint8_t target);
  static bool DoFinalize(const std::u16string& path);
  static bool DoEject(const std::u16string& path, bool unused);
  static bool EnterExclusiveAccessMode();
  static bool ExitExclusiveAccessMode();
  static bool WriteAttribute();
  static bool GetDriveLog();
  static bool GetCartridgeType();
  static bool GetDriverLog();
  static bool DoRemount();
  static bool CloseFile();
  static bool ReadFile();
  static bool GetInformation(const std::u16string& path, BasicInfo& info);
  static bool GetFileRecordingInfo(const std::u16string& path, std::vector<FILE_RECORDING_INFO>& entries);
  static bool ChangeNewDisc(const std::u16string& path);
  static bool DoCMWriteProtect(const std::u16string& path, bool protect, bool unused);
  static bool CheckMediaExist(const std::u16string& path, bool& present);
  static bool SetMediaInjectable(const std::u16string& path, bool injectable);
  static bool GetFileCount(const std::u16string& path, std::uint32_t& files, std::uint32_t& directories);
  static bool GetDeviceProperty(const std::u16string& path, std::string& product, std::string& serial,
                                std::string& revision);
  static bool EnumAttribute(const std::u16string& path, std::vector<std::uint16_t>& ids);
  static bool ReadAttribute(const std::u16string& path, std::uint16_t id, std::uint8_t& format, std::uint32_t& length,
                            void* data, std::uint32_t size);
  static bool SetFileControlOption(void* handle, int option);
  static bool SetFileControlOptionEx(void* handle, std::uint32_t options);
  static bool FlushVolumeBuffers(const std::u16string& path);
  static bool GetCurrentLoadedDiscIndex(const std::u16string& path, std::uint8_t* index);
  static bool GetHashInfo(const std::u16string& path, HASH_INFO* info, std::uint64_t size);
  static bool AddHashInfo(const std::u16string& path, HASH_INFO* info, std::uint64_t size);
  static bool RemoveHashInfo(const std::u16string& path);
  static bool SetDefaultRawMountFlag(std::uint32_t flag);
  static bool GetDefaultRawMountFlag(int* flag);
  static bool SetRawMountFlag(const std::u16string& path, std::uint32_t flag);
  static bool GetRawMountFlag(const std::u16string& path, int* flag);
  static bool GetFileAllocationInfo(const std::u16string& path, FILE_ALLOCATION_INFO_VECTOR* vector, std::uint64_t& size);
  static bool OpenFileWithAllocationInfo(const std::u16string& path, FILE_ALLOCATION_INFO_VECTOR* vector,
                                         std::uint64_t size, void*& handle);
  static bool GetSoftwareWriteProtect(const std::u16string& path, std::uint8_t& protect);
  static bool ProtectVolumeFromChange(const std::u16string& path, void** output);
  static bool makeOpaque(const std::u16string& path, FILE_ALLOCATION_INFO_VECTOR* vector, std::uint64_t& size);
  static bool IsBlankDirectory();
  static bool UnProtectVolumeFromChange();
  // Maps a duplication code to an SDK code and throws it (0x600FFFF: none).
  static void throwExceptionDuplicateError(std::uint32_t code, const std::string& text);
  // Duplication of a volume through one drive: open on the source volume
  // ("X:\\" and the folder to copy), retrieve its files to a temporary
  // directory, change the cartridge, write them to the new medium in the
  // same drive, close (which removes the temporary copy). The answers are
  // the drive library's codes; 0x6000305 for a handle that is not open.
  static std::uint32_t OpenDuplicateMedia(const std::u16string& path, DuplicateVolume_CMCopyFlag flag, void*& handle);
  static std::uint32_t CloseDuplicateMedia(void* handle);
  static std::uint32_t CheckFreeSpaceMedia(void* handle, DuplicateVolume_DriveKind kind, const std::u16string& path,
                                           bool overwrite, bool& mediumFlag, DuplicateVolume_CheckResult& result);
  static std::uint32_t RetrieveVolumeforSingle(void* handle, const std::u16string& path,
                                               DuplicateVolume_WriteErrorPolicy policy,
                                               DuplicateVolumeCallback* callback);
  static std::uint32_t DuplicateVolumeforSingle(void* handle, DuplicateVolume_WriteErrorPolicy policy,
                                                bool restrictSpanning, DuplicateVolumeCallback* callback);
  // The eight counts of the handle's last run.
  static void duplicateResultCopy(DuplicateVolumeResult& result, void* handle);

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
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetInformation(const char16_t* path, KelDriveSDK_BasicInfo* info);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_CheckMediaExist(const char16_t* path, int* present);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetFileCount(const char16_t* path, std::uint32_t* files,
                                                        std::uint32_t* directories);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_EnumAttribute(const char16_t* path, void* buffer, std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_ReadAttribute(const char16_t* path, std::uint16_t id, std::uint8_t* format,
                                                         std::uint32_t* length, void* data, std::uint32_t dataSize);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetFileRecordingInfo(const char16_t* path, void* buffer, std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_AllocateNewDisc(const char16_t* path);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_SetFileControlOption(void* handle, int option);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_SetFileControlOptionEx(void* handle, std::uint32_t options);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetSoftwareWriteProtect(const char16_t* path, int* protect);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_SetSoftwareWriteProtect(const char16_t* path, int protect);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_FlushVolumeBuffers(const char16_t* path);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetCurrentLoadedDiscIndex(const char16_t* path, std::uint8_t* index);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetHashInfo(const char16_t* path, KelDriveSDK_HashInfo* info,
                                                       std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_AddHashInfo(const char16_t* path, KelDriveSDK_HashInfo* info,
                                                       std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_RemoveHashInfo(const char16_t* path);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_SetDefaultRawMountFlag(int flag);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetDefaultRawMountFlag(int* flag);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_SetRawMountFlag(const char16_t* path, int flag);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetRawMountFlag(const char16_t* path, int* flag);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetFileAllocationInfo(const char16_t* path,
                                                                 KelDriveSDK_FileAllocationInfoVector* vector,
                                                                 std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_OpenFileWithAllocationInfo(const char16_t* path,
                                                                      KelDriveSDK_FileAllocationInfoVector* vector,
                                                                      std::uint64_t size, void** handle);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_ReadFile(void* handle, std::int64_t offset, std::uint32_t length,
                                                    void* buffer, std::uint32_t* done);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_CloseFile(void* handle);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetOperationalMode(int mode, void* buffer, std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_SetOperationalMode(int mode, const void* buffer, std::uint64_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_ResetOperationalMode();
// backtrack 0 erases the volume, 1 takes it back to its initial state; the
// volume keeps its type. targetSlot must be 0, the slot the engine goes back
// to (anything else: 0x8100000000000005, nothing erased). progress, when
// given, is asked before a backtrack with the current slot plus one and
// stops it by returning 0.
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_DoAllDelete(const char16_t* path, int backtrack, int targetSlot,
                                                       int (*progress)(unsigned value, void* user), void* user);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_DoEject(const char16_t* path);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_EnterExclusiveAccessMode(void* handle);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_ExitExclusiveAccessMode(void* handle);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_WriteAttribute(const char16_t* path, std::uint16_t id, std::uint8_t format,
                                                          const void* data, std::uint32_t size);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetDriveLog(const char16_t* path, const char16_t* output);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetCartridgeType(const char16_t* path, int* type);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetDriverLog(int kind, const char16_t* output);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_DoRemount(const char16_t* path);
KEL_DRIVESDK_API std::uint64_t KelDriveSDK_GetDeviceInformationEx(const char16_t* path, KelDriveSDK_DeviceInfo* info,
                                                                  std::uint32_t size);
}
