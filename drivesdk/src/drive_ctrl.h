// The library's handle on one drive and the volume mounted from it: SCSI
// commands through the SCSI device, file-system controls through the host's
// control callback, and device controls on the volume, which VolumeControl
// carries to the engine.
#pragma once

#include "data_array.h"
#include "file_list.h"
#include "scsi_device.h"

#include "kel/mdcfs.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace PxoUtilityLib {

// Device-control codes the library sends on a volume handle.
constexpr std::uint32_t kCtlCreateNewTrack = 0x20007044;
constexpr std::uint32_t kCtlVolumeControl = 0x20007055;
constexpr std::uint32_t kCtlReadAttribute = 0xC00C7034;
constexpr std::uint32_t kCtlWriteAttribute = 0x800C7035;
constexpr std::uint32_t kCtlBacktrack = 0x4008704D;  // sent to the engine as it is
// The engine's codes they become.
constexpr std::uint32_t kFsctlReadAttribute = 0xC2007034;  // MDCFSCTL_READ_ATTRIBUTE
constexpr std::uint32_t kFsctlMountInformation = 0x40107014;
constexpr std::uint32_t kFsctlExitPrivilegedMode = 0x20007001;

// Answer of the read-attribute device control: bytes 0-1 the identifier,
// byte 2 the format, u32 length at 4, the value from byte 8.
constexpr std::uint32_t kAttributeAnswerSize = 552;
constexpr std::uint32_t kAttributeAnswerData = 8;

#pragma pack(push, 1)
// The engine's record of its attribute requests (read and write share it).
struct EngineAttributeData {
  std::uint16_t Id;
  std::uint8_t Format;
  std::uint8_t Reserved3;
  std::uint32_t Length;
  std::uint8_t Reserved8[260];
  std::uint64_t Value;  // address of the value buffer
};
#pragma pack(pop)
static_assert(sizeof(EngineAttributeData) == 276 && offsetof(EngineAttributeData, Value) == 268,
              "the engine's attribute record");

// Device controls of a volume handle, answered by the engine through the
// host's control callback. control() gives a Win32 error: 1359 without a
// callback, 1 for a code the engine has no counterpart of, else the engine's
// result mapped to Win32.
class VolumeControl {
 public:
  virtual ~VolumeControl() = default;
  virtual DWORD control(std::uint32_t code, const void* input, std::uint32_t inputLength, void* output,
                        std::uint32_t outputCapacity, std::uint32_t* returned);

 private:
  DWORD readAttribute(const void* input, std::uint32_t inputLength, void* output, std::uint32_t capacity,
                      std::uint32_t* returned);
  DWORD writeAttribute(const void* input, std::uint32_t inputLength);
};

// Calls the control; an ERROR_RETRY answer is sent again at once, 10 calls
// in all. True on success; else false with the Win32 error as last error.
bool wrapperDeviceIoControl(VolumeControl& volume, std::uint32_t code, const void* input, std::uint32_t inputLength,
                            void* output, std::uint32_t outputCapacity, std::uint32_t* returned);

// Results of the drive commands.
constexpr std::uint32_t kErrOpen = 0x210002;
constexpr std::uint32_t kErrTransportMinus1 = 0x210008;
constexpr std::uint32_t kErrShortAnswer = 0x210009;
constexpr std::uint32_t kErrOtherAttribute = 0x21000A;
constexpr std::uint32_t kErrNotLoaded = 0x220005;
constexpr std::uint32_t kErrNotOpened = 0xFF0001;
constexpr std::uint32_t kErrNoDevice = 0xFF0002;

// The device path of "X:" (or "X:\...") from the drive-letter table; any
// other path as it is (file_operation.cpp).
std::u16string devicePathOf(const std::u16string& path);

class DriveCtrl {
 public:
  DriveCtrl(const std::u16string& path, bool refreshAtEnd);
  ~DriveCtrl();
  DriveCtrl(const DriveCtrl&) = delete;
  DriveCtrl& operator=(const DriveCtrl&) = delete;

  void openCheck() const;
  void nullCheck() const;
  std::uint32_t openReadOnly();
  std::uint32_t reopen();
  void closeHandle();
  bool isOpen() const { return m_open; }
  // Binds the volume handle's device controls to another carrier (the
  // engine's by default, bound by openReadOnly and reopen).
  void bindVolumeControl(VolumeControl& volume) { m_volume = &volume; }
  // The end actions the destructor runs with the constructor's refresh flag.
  void lastProcess(bool refresh) noexcept;

  std::uint32_t getMountInformation(MDCFS_MOUNT_INFORMATION& info);
  std::uint32_t doExitPrivilegedMode();
  std::uint32_t dismountVolume();
  std::uint32_t getProductID(std::string& product);
  std::uint32_t getDiscStatus(int& status);
  std::uint32_t checkUninitialized(bool& uninitialized);
  std::uint32_t getN(std::uint32_t& n);
  std::uint32_t readTrackInformation(std::uint32_t& nextWritable, std::uint32_t& freeBlocks);
  std::uint32_t readBuffer(std::uint32_t lsn, std::uint32_t sectors, DataArray& out, std::uint32_t& offset);
  std::uint32_t readSector(std::uint32_t lsn, std::uint32_t sectors, DataArray& out);
  std::uint32_t writeSector(std::uint32_t lsn, std::uint32_t sectors, const DataArray& data);
  std::uint32_t reserveWrite(std::uint32_t lsn, std::uint32_t sectors);
  std::uint32_t doSynchronizeCache();
  std::uint32_t LogicalOverWrite(std::uint32_t lsn, std::uint32_t sectors, const DataArray& data);
  std::uint32_t setReallocationControlModePage(std::uint32_t n);
  std::uint32_t loadCheck(std::uint8_t slot, bool& loaded);
  std::uint32_t loadSlotAndCheck(std::uint8_t slot, std::uint8_t& slots);
  std::uint32_t discFinalize();
  std::uint32_t getLastWrittenDisc(std::uint8_t& slot);
  // MECHANISM STATUS: the slot in the drive and whether a disc is loaded.
  std::uint32_t currentSlot(std::uint8_t& slot, bool& loaded);
  // READ FORMAT CAPACITIES: the descriptor type of the current capacity
  // (1 unformatted, 2 formatted, 3 no medium).
  std::uint32_t readFormatCapacityType(std::uint8_t& type);
  // TEST UNIT READY: true when it comes back without sense, past the unit
  // attentions a drive reports once and a disc becoming ready.
  bool testUnitReady();
  // READ DISC INFORMATION type 2: remaining POW map entries and updates.
  std::uint32_t getPowInformation(std::uint32_t& mapEntries, std::uint32_t& updates);
  // Vendor D5h: the OPC resource count.
  std::uint32_t getOpcResourceCount(std::uint32_t& count);
  // A device control of the volume handle that answers a record.
  bool volumeControl(std::uint32_t code, void* output, std::uint32_t capacity, std::uint32_t* returned);
  std::uint32_t createNewTrack();
  std::uint32_t sendVolumeControl();
  std::uint32_t readAttribute(std::uint16_t id, std::uint8_t& kind, std::vector<std::uint8_t>& data);
  std::uint32_t writeAttribute(std::uint16_t id, std::uint16_t value, std::uint32_t length, const void* data);
  bool getVolumeLabel(std::u16string& label);
  bool setVolumeLabel(const std::u16string& name);

  // Volume device controls of the duplication (file_list.cpp).
  std::uint32_t makeFileList(const std::u16string& directory, FileList& list);
  bool getVolumeIdentity(std::uint8_t (&record)[kVolumeIdentitySize]);
  bool getDiscUsageInformation(DiscUsageInformation& info);
  bool getFileCount(std::uint32_t& files, std::uint32_t& directories);
  bool flushVolumeBuffers();
  bool commitNewTrack();

  // Sectors per RUB: 128 on medium type F2h, else 32.
  std::uint32_t rubSectors() const { return m_mediumType == 0xF2 ? 128 : 32; }
  std::uint8_t mediumType() const { return m_mediumType; }
  void setMediumType(std::uint8_t type) { m_mediumType = type; }
  SptiCtrlDevice* device() const { return m_device.get(); }

  // Flags of the end actions.
  bool privileged = false;
  bool released = false;
  bool locked = false;
  bool dismountAtEnd = false;
  bool suppressPrivilegedExit = false;
  bool suppressDismount = false;
  bool suppressRelease = false;
  bool suppressLock = false;
  bool keepOpen = false;
  bool volumeControlSent() const { return m_volumeControl; }

 private:
  int scsi(const std::uint8_t* cdb, void* data, std::uint32_t* length, bool dataIn);
  void dropCache();
  void resetFlags();
  VolumeControl& volume();
  std::uint32_t readRub(std::uint32_t rubLsn, std::uint8_t* into, std::uint32_t* received);
  std::uint32_t writeRub(std::uint32_t rubLsn, const std::uint8_t* from);
  std::uint32_t attemptOverWrite(std::uint32_t lsn, std::uint32_t sectors, const DataArray& data);
  bool volumeRecord(std::uint32_t code, void* output, std::uint32_t size);

  std::unique_ptr<SptiCtrlDevice> m_device;
  bool m_open = false;
  VolumeControl m_engineVolume;
  VolumeControl* m_volume = nullptr;
  std::u16string m_path;
  bool m_refreshAtEnd = false;
  DataArray m_cache;
  std::uint32_t m_cacheLsn = 0;
  bool m_cacheValid = false;
  std::uint8_t m_mediumType = 0;
  std::string m_product;
  bool m_volumeControl = false;
};

// One value of a registry request.
struct RegistryValue {
  const char* name;
  DWORD type;
  void* data;
  DWORD size;
  std::uint8_t found = 0;
  std::uint8_t missing = 0;
};

// The user settings' key (32-bit view of HKEY_LOCAL_MACHINE).
extern const char* const kSettingsKey;
bool setRegistory(const char* subKey, std::vector<RegistryValue>& values);
bool getRegistory(std::vector<RegistryValue>& values);

}  // namespace PxoUtilityLib
