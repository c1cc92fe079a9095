// Base of the low-level user-data writer: the free-space manager, the volume
// wrapper, the write controllers, and the check that follows every write
// (drive-cache sync, range verification, defect counter) with the rewrite
// loop that a defect starts.
#pragma once

#include "AnnulusFileIO/Buffers.h"
#include "AnnulusFileIO/RUVO.h"
#include "AnnulusFileIO/USBManager.h"
#include "kel/util_sync.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace AnnulusFileIO {

// Bytes taken by a file writer and the part of them known to be on the disc
// (the proxy writer's packed bytes or the real writer's written bytes).
struct WriterByteAccount {
  Util::CriticalSection lock;
  std::uint64_t taken = 0;
  std::uint64_t committed = 0;
};

class WriterBase {
 public:
  class WriteControllerBase;
  using ControllerQueue = std::deque<std::shared_ptr<WriteControllerBase>>;

  static constexpr std::uint32_t kBlockBytes = 2048;

  WriterBase();
  virtual ~WriterBase();
  WriterBase(const WriterBase&) = delete;
  WriterBase& operator=(const WriterBase&) = delete;

  // Blocks for bytes (rounded up) from the free-space manager.
  virtual std::uint32_t getBlockFromBytes(std::uint64_t bytes, MDCFS_SPACE_ENTRY& area,
                                          std::uint32_t allocated_blocks, WriterBase* writer);
  // Forwards to the error receiver when one is set.
  virtual void setLastManagerError(std::uint32_t code, const char* file, int line);
  virtual bool isVerifyOnWrite() { return false; }
  virtual std::uint64_t pendingBytes(const ControllerQueue& queue);

  // The derived writer's synchronisation of its written data and its
  // recovery of a failed write (used before a new track is opened).
  virtual std::uint32_t doSyncCache() = 0;
  virtual std::uint32_t commonWriteErrorRecovery() = 0;

  bool runDataCheck();
  void resetWriteControllers();
  void completeWriteController(std::shared_ptr<WriteControllerBase>& controller);
  bool reReadFreeSpace();
  // 0 or 0x8800001C.
  std::uint32_t updateDiskFreeSpaceInfo();
  // The check of a written controller with its rewrite loop.
  bool beforeDataCheckProcess(WriteControllerBase& controller);
  // Sync, verification and defect counter over areas; false when the
  // counter cannot be read.
  bool chkDefect(const std::vector<MDCFS_SPACE_ENTRY>& areas, bool& defect,
                 std::uint32_t rewrite_condition);

  static std::uint32_t blocksOfBytes(std::uint64_t bytes);

  std::shared_ptr<USBManager> m_usbManager;
  std::shared_ptr<RUVOVolume> m_volume;
  WriterBase* m_errorReceiver = nullptr;
  bool m_retryOver = false;
  std::u16string m_volumePath;
  std::uint64_t m_notSyncBufferSize = 0;
  std::shared_ptr<WriteControllerBase> m_currentWriteController;
  ControllerQueue m_writeControllerEnd;
  ControllerQueue m_writeControllers;
  std::uint32_t m_writerStatus = 1;
  bool m_exclusiveMode = false;
  // The proxy writer's or the current real writer's byte counts, when one
  // is current (set by the derived writer).
  WriterByteAccount* m_proxyAccount = nullptr;
  WriterByteAccount* m_realWriterAccount = nullptr;
};

// One write of a buffer to the disc, with the areas it wrote so that they
// can be verified and written again.
class WriterBase::WriteControllerBase {
 public:
  struct WriteEntry {
    std::shared_ptr<BufferUserData> buffer;
    MDCFS_SPACE_ENTRY area;
    std::uint64_t position;  // the buffer's write position before the write
  };

  explicit WriteControllerBase(WriterBase& owner);
  virtual ~WriteControllerBase();
  WriteControllerBase(const WriteControllerBase&) = delete;
  WriteControllerBase& operator=(const WriteControllerBase&) = delete;

  virtual std::uint64_t getWriteSize() = 0;
  virtual bool checkDefect(bool& defect);
  virtual void prepareCheck() = 0;
  virtual bool writeProcImpl(bool first) = 0;
  virtual bool rewindBuffers();
  virtual bool canRetry() { return true; }
  virtual void writeCompleteProccess() {}
  // Writes size bytes of buffer from offset at the file's position, in
  // chunks of the optimal transfer size; size becomes the bytes written.
  virtual bool writeAll(RUVOFile& file, BufferUserData& buffer, std::uint64_t offset,
                        std::uint64_t& size);
  virtual std::uint32_t retryCount();
  virtual bool addFileAllocation(RUVOFile& file, const MDCFS_SPACE_ENTRY& area);

  // writeAll unless a rewrite is already due; on R media a failed write
  // makes one due instead of failing.
  bool writeFile(RUVOFile& file, BufferUserData& buffer, std::uint64_t offset, std::uint64_t& size);
  void resetProgress();

  std::uint64_t m_progress[4] = {};
  std::vector<std::uint64_t> m_values;
  std::shared_ptr<void> m_extra;
  WriterBase& m_owner;
  // 0 none; 1 a write failed on R media; 2 the last write wrote nothing.
  std::uint32_t m_reWriteCondition = 0;
  std::uint8_t m_isAlreadyWrite = 0;
  std::vector<WriteEntry> m_entries;
};

}  // namespace AnnulusFileIO
