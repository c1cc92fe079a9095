// Volume control for the user-data writer: the process-wide write settings,
// the privileged mode in which the writer works, and volume queries. Every
// volume request goes to the engine as a file-system control code through
// the Fsctl slot of the running request interface; its result is the
// engine's errno-style integer (0 success).
#pragma once

#include "kel/fsops.h"
#include "kel/mdcfs.h"
#include "kel/util_sync.h"
#include "platform/sync.h"
#include "platform/win32.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>


// Laid out by the engine's control table; passed through here unchanged.
struct MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER;

namespace kel {
// Control codes sent by the volume-control classes.
constexpr unsigned kFsctlPrivilegePrepare = 0x20007007;
constexpr unsigned kFsctlEnterPrivileged = 0x20007000;
constexpr unsigned kFsctlExitPrivileged = 0x20007001;
constexpr unsigned kFsctlGetVolumeMountInformation = 0x40107014;
constexpr unsigned kFsctlGetWritePolicyInformation = 0x40207051;
constexpr unsigned kFsctlReserveFileCreation = 0x80087009;
constexpr unsigned kFsctlGetLastFileIndex = 0x40087057;
constexpr unsigned kFsctlGetStatfsSizeInfo = 0x40207063;
constexpr unsigned kFsctlSetWriteVerifyMode = 0x8004705E;
constexpr unsigned kFsctlResetWriteVerifyMode = 0x2000705F;
constexpr unsigned kFsctlRebuildFileAllocation = 0x80247061;

// Result of a volume request made while no request interface runs.
constexpr int kNoInterfaceResult = 19;

// Results of the volume-control classes.
constexpr std::uint32_t kVolEnterFailed = 0x88000011;
constexpr std::uint32_t kVolMountInfoFailed = 0x88000012;
constexpr std::uint32_t kVolWriteProtected = 0x88000013;
constexpr std::uint32_t kVolQueryFailed = 0x8800001C;
constexpr std::uint32_t kObaseMediumUnknown = 0x86000001;
constexpr std::uint32_t kObaseReserveRefused = 0x86000014;

// The writer's process-wide parity constants. Built in: 2064 total and 2048
// data symbols, 32 blocks per symbol; the request interface's initialisation
// replaces them for medium type F2h (ApplyF2hParityConstants).
struct ParityConstants {
  std::int64_t TotalSymbols;
  std::int64_t DataSymbols;
  std::int64_t ParitySymbols;
  std::int64_t ParitySymbolsBytes;
  std::int64_t DataSymbolsBytes;
  std::int64_t BlocksPerSymbol;
};
ParityConstants& WriterParityConstants();
// Derives the F2h constants from the write-cluster statics of RuvoCtrlVolume.
void ApplyF2hParityConstants();
}  // namespace kel

class RuvoCtrlVolume {
 public:
  struct MountInfo {
    std::uint8_t writeProtected;
    std::uint8_t rMedium;
    std::uint8_t volumeStatus;
    std::uint8_t volumeType;
  };

  explicit RuvoCtrlVolume(const std::u16string& volume_path);
  RuvoCtrlVolume(const RuvoCtrlVolume&) = default;
  RuvoCtrlVolume& operator=(const RuvoCtrlVolume&) = default;
  ~RuvoCtrlVolume();

  const std::u16string& getVolumePath() const { return m_volumePath; }
  bool isPrivileged() const { return m_privileged != 0; }

  std::uint32_t getVolumeMountInformation(MDCFS_MOUNT_INFORMATION& info);
  std::uint32_t getVolumeMountInformation(MountInfo& info);
  std::uint32_t getWritePolicyInformation(MDCFS_WRITE_POLICY_INFORMATION& info);
  // Reads the write policy into the statics once per process. A policy
  // whose buffer count (ceiling of window / reserve, + 2) does not fit in 32
  // bits is refused: 0x8800001C with last error 13, settings unchanged.
  std::uint32_t setWritePolictInformation();
  // Empty when the mount information cannot be read (the medium then counts
  // as unknown); otherwise records and returns the R-medium flag.
  std::optional<bool> checkRMedia();
  std::uint32_t enterPrivilegedMode(bool check) { return enterPrivilegedModeImpl(check); }
  std::uint32_t enterPrivilegedModeImpl(bool check);
  std::uint32_t exitPrivilegedMode();
  bool reserveFileCreartion(int files, int directories);
  std::uint32_t getLastFileIndex(long long& index);
  static std::uint32_t getDiskFreeSpace(const std::u16string& path, unsigned long long& total,
                                        unsigned long long& free, bool flag);
  std::uint32_t setWriteVerifyMode(unsigned mode);
  std::uint32_t resetWriteVerifyMode();
  std::uint32_t rebuildFileAllocation(MDCFS_REBUILDING_SPACE_ENTRIES_BUFFER& buffer,
                                      unsigned long long count);
  std::uint32_t getMediaEvent(bool& event);
  std::uint32_t fileSystemNameCheck() { return 0; }
  HANDLE getVolumeHandle() { return nullptr; }
  void closeVolumeHandle() {}
  // Reads the write policy (once) and the medium; true when it is known.
  bool openVolumeHandle();

  // Static settings.
  static std::uint32_t getMaxWriteRetryR() { return m_maxWriteRetryR; }
  static void setMaxWriteRetryR(std::uint32_t v) { m_maxWriteRetryR = v; }
  static bool isSerializedNRTFilesModified() { return m_isSerializedNRTFilesModified; }
  static void setSerializedNRTFilesModified(bool v) { m_isSerializedNRTFilesModified = v; }
  static bool getVerifyOnWrite() { return m_verifyOnWrite; }
  static void setVerifyOnWrite(bool v) { m_verifyOnWrite = v; }
  static bool getGenerateParity() { return m_generateParity; }
  static void setGenerateParity(bool v) { m_generateParity = v; }
  static std::uint32_t getDiscSpanThld() { return m_discSpanThld; }
  static void setDiscSpanThld(std::uint32_t v) { m_discSpanThld = v; }
  static const std::u16string& getCacheFolderPath() { return m_cacheFolderPath; }
  static void setCacheFolderPath(const std::u16string& v) { m_cacheFolderPath = v; }
  static bool isDiscSpanInhibit() { return m_isDiscSpanInhibit; }
  static void setDiscSpanInhibit(bool v) { m_isDiscSpanInhibit = v; }
  static std::uint8_t getDfltFsFlshPlcy() { return m_dfltFsFlshPlcy; }
  static void setDfltFsFlshPlcy(std::uint8_t v) { m_dfltFsFlshPlcy = v; }
  static std::uint32_t getPckdWrtMaxFNum() { return m_pckdWrtMaxFNum; }
  static void setPckdWrtMaxFNum(std::uint32_t v) { m_pckdWrtMaxFNum = v; }
  static std::uint32_t getPckdWrtEndSects() { return m_pckdWrtEndSects; }
  static void setPckdWrtEndSects(std::uint32_t v) { m_pckdWrtEndSects = v; }
  static unsigned getDisableLocalCache() { return m_disableLocalCache ? 1u : 0u; }
  static void setDisableLocalCache(bool v) { m_disableLocalCache = v; }
  static std::uint32_t getWriteBufferMb() { return m_writeBufferMb; }
  static void setWriteBufferMb(std::uint32_t v) { m_writeBufferMb = v; }
  static bool getPackedWriteMode() { return m_packedWriteMode; }
  static void setPackedWriteMode(bool v) { m_packedWriteMode = v; }
  static bool isNewAllocatedVolume() { return m_isNewAllocatedVolume; }
  static void setNewAllocatedVolume(bool v) { m_isNewAllocatedVolume = v; }
  static std::uint32_t getWriteClusterBlocks() { return m_writeClusterBlocks; }
  static std::uint32_t getParityInClusterBlocks() { return m_parityInClusterBlocks; }
  static std::uint32_t getDiscFullMarginBlocks() { return m_discFullMarginBlocks; }
  static std::uint32_t getDiscFullMarginBlocksForLastDisc() {
    return m_discFullMarginBlocksForLastDisc;
  }
  static std::uint32_t getOptimalReadWriteBlocks() { return m_optimalReadWriteBlocks; }
  static std::uint32_t getReserveWriteBlocks() { return m_reserveWriteBlocks; }
  static bool getNewWrite() { return m_bNewWrite; }
  static std::uint32_t getRSVNum() { return m_RSVNum; }
  static std::uint32_t getBufferNum() { return m_bufferNum; }
  static std::uint8_t getMediumType() { return m_mediumType; }
  static bool isGEN3Media() { return m_mediumType == 0xF2; }
  static bool isRMedia();
  static void initDiskFreeSpace() { m_mediaCapacity = 0; m_freeSpace = 0; }

  // Settings that the writer thread reads while the request thread may set
  // them (a later open re-reads the policy and the medium) are atomics.
  static std::uint32_t m_maxWriteRetryR;
  static bool m_isSerializedNRTFilesModified;
  static bool m_verifyOnWrite;
  static std::atomic<bool> m_generateParity;
  static std::uint32_t m_discSpanThld;
  static std::u16string m_cacheFolderPath;
  static bool m_isDiscSpanInhibit;
  static std::uint8_t m_dfltFsFlshPlcy;
  static std::uint32_t m_pckdWrtMaxFNum;
  static std::uint32_t m_pckdWrtEndSects;
  static bool m_disableLocalCache;
  static std::uint32_t m_writeBufferMb;
  static bool m_packedWriteMode;
  static std::atomic<bool> m_isNewAllocatedVolume;
  static std::uint32_t m_writeClusterBlocks;
  static std::uint32_t m_parityInClusterBlocks;
  static std::uint32_t m_discFullMarginBlocks;
  static std::uint32_t m_discFullMarginBlocksForLastDisc;
  static std::atomic<std::uint32_t> m_optimalReadWriteBlocks;
  static std::atomic<std::uint32_t> m_reserveWriteBlocks;
  static std::uint32_t m_errorReportingWindowBlocks;
  static std::atomic<bool> m_bNewWrite;
  static std::atomic<std::uint32_t> m_RSVNum;
  static std::atomic<std::uint32_t> m_bufferNum;
  static std::atomic<std::uint8_t> m_mediumType;
  static std::atomic<std::uint64_t> m_mediaCapacity;
  static std::atomic<std::uint64_t> m_freeSpace;

  // Returns the process to its load-time state: statics at their initial
  // values and the write policy not read yet (tests).
  static void resetForTesting();
  // Sets the R-medium setting that the mount information otherwise records
  // (tests of the paths of other media).
  static void setRMediaForTesting(bool r_media);

 private:
  std::u16string m_volumePath;
  std::uint8_t m_privileged = 0;
};

class OBase {
 public:
  enum WriteMode : std::uint32_t { WriteModeNew = 0, WriteModeExisting = 3 };
  enum VerifyMode : std::uint32_t { VerifyNone = 0xFFFFFFFFu };

  OBase(const std::u16string& volume_path, WriteMode mode);
  virtual ~OBase();

  std::uint32_t good() const { return m_status; }
  WriteMode getWriteMode() const { return m_writeMode; }
  RuvoCtrlVolume& getRuvoCtrlVolume() { return m_volume; }
  const std::u16string& getProavRootPath() const { return m_rootPath; }
  bool openVolumeHandle() { return m_volume.openVolumeHandle(); }
  std::uint32_t enterPrivilegedMode() { return m_volume.enterPrivilegedMode(true); }
  std::uint32_t exitPrivilegedMode() { return m_volume.exitPrivilegedMode(); }
  std::uint32_t reserveFileCreartion();
  void setWriteVerifyMode(std::uint32_t mode);
  bool updateWriteVerifyMode();
  bool fileSystemNameCheck() { return true; }
  HANDLE getVolumeHandle() { return nullptr; }
  void closeVolumeHandle() {}

 private:
  RuvoCtrlVolume m_volume;
  Util::CriticalSection m_lock;
  std::uint32_t m_status = 0;
  std::u16string m_rootPath;
  WriteMode m_writeMode;
  std::uint32_t m_verifyMode = VerifyNone;
  bool m_verifyModeChanged = false;
};

// Path functions of the writer's file classes. Both answer a Win32 code
// (0 success) mapped from the engine's result, which is also logged.
// quorvel_stat turns "\" into "/" and cuts a leading "/$/" down to "/";
// it asks the engine for no extents, as the record has no room for them
// (the extent count argument is not used).
DWORD quorvel_stat(const char* path, unsigned max_extents, PKELFS_OBJECT_INFO info);
DWORD quorvel_open(const char* path, int mode, void** handle);
