// The two wrappers through which the user-data writer reaches the engine:
// RUVOFile for one file of the mounted volume, RUVOVolume for volume-wide
// control requests. Both go through the operation table of the running
// request interface; without one every request fails with 19 (no device).
// Methods answer a success flag and keep the failure in m_dwErrorCode: the
// file wrapper as a Win32 code (also set as the thread's last error), the
// volume wrapper as the engine's errno-style value.
#pragma once

#include "kel/mdcfs.h"
#include "kel/util_sync.h"

#include <cstdint>
#include <string>
#include <vector>

namespace AnnulusFileIO {

class RUVOFile {
 public:
  // Append status values.
  static constexpr std::uint32_t FILE_APPEND_INITIAL = 1;
  static constexpr std::uint32_t FILE_APPEND_WROTE = 2;
  static constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};

  RUVOFile();
  virtual ~RUVOFile();
  RUVOFile(const RUVOFile&) = delete;
  RUVOFile& operator=(const RUVOFile&) = delete;

  // Opens or creates the file. disposition as in the Win32 call: 1 create
  // new, 2 create always (an existing file keeps its data), 3 open existing,
  // 4 open always, 5 truncate existing. Bit 1 of flags_and_attributes
  // (read-only) gives a created or opened-always file the mode 256.
  bool createFile(const std::u16string& path, std::uint32_t desired_access,
                  std::uint32_t share_mode, void* security_attributes, std::uint32_t disposition,
                  std::uint32_t flags_and_attributes, void* template_file);
  // Lowers the open count; the handle is closed when it reaches 0.
  bool close();

  bool setupParity(const std::u16string& parity_name);
  bool customizeFileSetting();
  bool addFileAllocation(const MDCFS_SPACE_ENTRY& entry);
  bool addFileAllocationAll(const std::vector<MDCFS_SPACE_ENTRY>& entries);
  // Appends the file's extents, in the engine's order, to entries.
  bool getFileAllocationAll(std::vector<MDCFS_SPACE_ENTRY>& entries);
  bool reallocateFileRange(std::uint32_t first_block, const MDCFS_SPACE_ENTRY& place);
  bool deleteFileAllocation(std::int32_t block_offset);
  // Writes count bytes at the position and advances it; the whole count or
  // nothing counts as success.
  bool writeFile(const void* buffer, std::uint64_t count);
  // Reads up to count bytes at the position; a short read is success.
  bool readFile(void* buffer, std::uint64_t count, std::uint64_t& done);
  // Sets the file's size to the position.
  bool setEndOfFile();
  // Times in seconds since 1970; 0 leaves a time as it is.
  bool setFileTime(std::uint64_t creation, std::uint64_t access, std::uint64_t modification);
  // By handle while open, else by path.
  bool getUniqueId(std::uint64_t& id);
  // All ones on failure.
  std::uint64_t getFileSize();
  // The path of the file that this "$" proxy of the volume stands for, as
  // the host names it (MDCFSCTL_GET_REAL_PXOFILENAME); false when the
  // engine gives none.
  bool getRealPath(std::string& path);

  std::uint64_t getPosition() const { return m_position; }
  void setPosition(std::uint64_t position) { m_position = position; }
  void* getHandle() const { return m_handle; }
  bool isOpen() const { return m_handle != nullptr; }
  const std::u16string& getName() const { return m_name; }
  const std::u16string& getPath() const { return m_path; }

  std::uint32_t m_dwErrorCode = 0;
  std::uint8_t InhibitSpanningDiscWrite = 0;
  std::uint8_t REFRAIN_FS_FLUSH_AT_CLOSE = 0;
  std::uint8_t FORCE_FS_FLUSH_AT_CLOSE = 0;
  std::uint32_t m_appendStatus = 0;
  std::uint8_t m_setupPending = 1;

 private:
  // Maps an engine result and keeps a non-zero code (and the last error
  // unless keep_last_error is false); true when the result is 0.
  bool record(int engine_result, int line, bool set_last_error = true);
  void setFilePath(const std::u16string& path);
  void closeHandle();
  bool fail(std::uint32_t code);
  bool createMissing(const std::string& path8, const std::u16string& path);
  bool applyReadOnly(std::uint32_t flags_and_attributes, const std::string& path8);
  bool sendAllocation(const MDCFS_SPACE_ENTRY* entries, std::uint32_t count);
  bool queryInfo(const char16_t* method, const char16_t* by_handle, const char16_t* by_path,
                 std::uint64_t& id, std::uint64_t& size);

  void* m_handle = nullptr;
  std::uint64_t m_position = kNoPosition;
  Util::CriticalSection m_lock;
  std::int32_t m_openCount = 0;
  std::u16string m_name;
  std::u16string m_path;
};

class RUVOVolume {
 public:
  static constexpr std::uintptr_t kInvalidHandle = ~std::uintptr_t{0};

  RUVOVolume(std::uintptr_t handle = kInvalidHandle, bool owns_handle = true);
  ~RUVOVolume();
  RUVOVolume(const RUVOVolume&) = delete;
  RUVOVolume& operator=(const RUVOVolume&) = delete;

  void setHandle(std::uintptr_t handle) { m_handle = handle; }
  std::uintptr_t getHandle() const { return m_handle; }

  bool syncDriveCache();
  bool getDefectReportCounter(std::uint32_t& counter);
  bool enterExclusiveMode();
  bool exitExclusiveMode();
  // Sent only while the volume counts as R media; otherwise true at once.
  bool markVolumeDirty(std::uint8_t flush_policy);
  bool reserveWriteRange(const MDCFS_SPACE_ENTRY& range);
  bool verifyRange(const MDCFS_SPACE_ENTRY& range);
  bool getVolumeTrackInformation(MDCFS_VOLUME_TRACK_INFORMATION& info);
  bool getVolumeTrackWriteResourceInformation(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION& info);
  bool createNewTrack();
  bool getVolumeMountInformation(MDCFS_MOUNT_INFORMATION& info);
  // The medium block at which the drive reported the last write error, asked
  // with the first block of a written range.
  bool getPerformance(std::uint32_t first_block, std::uint32_t& error_block);

  std::uint32_t m_dwErrorCode = 0;

 private:
  // One request through Fsctl; a failure is kept and traced with the text.
  bool send(unsigned code, void* record, const char16_t* method, const char16_t* error_format,
            int line);

  std::uintptr_t m_handle;
  std::uint8_t m_ownsHandle;
};

// Control codes of the wrappers.
constexpr unsigned kFsctlSetupParity = 0x80087047;
constexpr unsigned kFsctlCustomizeFileSetting = 0x800C7080;
constexpr unsigned kFsctlAddFileAllocation = 0x800C7083;
constexpr unsigned kFsctlGetFileAllocation = 0xC10C7082;
constexpr unsigned kFsctlReallocateFileRange = 0x80107085;
constexpr unsigned kFsctlDeleteFileAllocation = 0x8004706F;
constexpr unsigned kFsctlSyncDriveCache = 0x20007030;
constexpr unsigned kFsctlGetDefectReportCounter = 0x40047040;
constexpr unsigned kFsctlEnterExclusiveIoMode = 0x20007042;
constexpr unsigned kFsctlExitExclusiveIoMode = 0x20007043;
constexpr unsigned kFsctlMarkVolumeDirty = 0x8004700E;
constexpr unsigned kFsctlReserveWriteRange = 0x800C7033;
constexpr unsigned kFsctlVerifyRange = 0x800C7032;
constexpr unsigned kFsctlGetVolumeTrackInformation = 0xC0107016;
constexpr unsigned kFsctlGetTrackWriteResourceInformation = 0xC0107041;
constexpr unsigned kFsctlCreateNewTrack = 0x20007044;
constexpr unsigned kFsctlGetPerformance = 0xC004706A;
constexpr unsigned kFsctlGetRealFileName = 0xC00C7045;

// An area as the engine's signed record holds it.
inline MDCFS_SPACE_ENTRY MakeSpaceEntry(std::uint32_t zone, std::uint32_t offset,
                                        std::uint32_t blocks) {
  return {static_cast<std::int32_t>(zone), static_cast<std::int32_t>(offset),
          static_cast<std::int32_t>(blocks)};
}
inline std::uint32_t ZoneOf(const MDCFS_SPACE_ENTRY& e) { return static_cast<std::uint32_t>(e.ZoneId); }
inline std::uint32_t OffsetOf(const MDCFS_SPACE_ENTRY& e) {
  return static_cast<std::uint32_t>(e.BlockOffset);
}
inline std::uint32_t BlocksOf(const MDCFS_SPACE_ENTRY& e) {
  return static_cast<std::uint32_t>(e.NumberOfBlocks);
}

}  // namespace AnnulusFileIO
