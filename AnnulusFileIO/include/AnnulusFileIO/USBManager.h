// The writer's view of the unallocated space of the volume: the current
// track (disc) with its next writable block and size, the drive's remaining
// write resources, and the margins left free at the end of a disc. Hands out
// runs of blocks and opens the next disc when the current one is full.
#pragma once

#include "AnnulusFileIO/RUVO.h"
#include "kel/util_sync.h"

#include <cstdint>
#include <memory>

namespace AnnulusFileIO {

class WriterBase;

class USBManager {
 public:
  // setFreeSpaceInfo: c is the disc margin, d the last-disc margin (blocks).
  struct FreeSpaceInfo {
    std::uint64_t a;
    std::uint64_t b;
    std::uint64_t c;
    std::uint64_t d;
  };

  explicit USBManager(std::shared_ptr<RUVOVolume> volume);
  virtual ~USBManager();
  USBManager(const USBManager&) = delete;
  USBManager& operator=(const USBManager&) = delete;

  virtual std::uint32_t setFreeSpaceInfo(const FreeSpaceInfo& info);
  // Re-reads the free-space information; nothing to do here.
  virtual std::uint32_t reReadUSB() { return 0; }
  // The next blocks of the current disc for a write of blocks, past
  // allocated_blocks already taken; may open the next disc (the writer's
  // data is synchronised first in new-write mode).
  virtual std::uint32_t reservFreeBlock(std::uint32_t blocks, MDCFS_SPACE_ENTRY& area,
                                        std::uint32_t allocated_blocks, WriterBase* writer) = 0;
  // Bytes that may still be written to the current disc.
  virtual std::uint32_t getCurruentFreeBlockBytes(std::uint64_t& bytes) = 0;
  virtual void setDiscMarginBlocksFromDiscSpanThld(std::uint32_t blocks) { (void)blocks; }

  // Reads the track and write-resource information when the cache is stale
  // (the caller holds the cache lock). 0, 0x8200002E or 0x82000032.
  std::uint32_t updateVolumeTrackInfomation();
  // Marks the process-wide track cache stale, under its lock.
  static void markTrackInfoStale();
  // The cache's lock, for callers that mark it stale and refresh it.
  static Util::CriticalSection& trackInfoLock();

  std::uint32_t getLastDefectCounter() const { return m_lastDefectCounter; }
  void setLastDefectCounter(std::uint32_t v) { m_lastDefectCounter = v; }
  std::uint64_t getDiscMargin() const { return m_discMargin; }
  std::uint64_t getLastDiscMargin() const { return m_lastDiscMargin; }

 protected:
  RUVOVolume& volume() { return *m_volume; }
  // Margin of the cached track: the disc margin unless it is the last one.
  std::uint64_t marginOfCachedTrack() const;
  static bool writeResourceEmpty();

 private:
  std::uint32_t m_lastDefectCounter = 0;
  std::uint32_t m_word1 = 1;
  Util::CriticalSection m_lock;
  std::shared_ptr<RUVOVolume> m_volume;
  std::uint64_t m_discMargin = 0;
  std::uint64_t m_lastDiscMargin = 0;
  std::uint64_t m_info1 = 0;
  std::uint64_t m_info2 = 0;
  std::uint32_t m_word2 = 1;
};

class USBManagerR : public USBManager {
 public:
  explicit USBManagerR(std::shared_ptr<RUVOVolume> volume);
  ~USBManagerR() override;

  std::uint32_t reservFreeBlock(std::uint32_t blocks, MDCFS_SPACE_ENTRY& area,
                                std::uint32_t allocated_blocks, WriterBase* writer) override;
  std::uint32_t getCurruentFreeBlockBytes(std::uint64_t& bytes) override;
  void setDiscMarginBlocksFromDiscSpanThld(std::uint32_t blocks) override;

 private:
  // One round of reservFreeBlock; `again` is set when a new track was opened.
  std::uint32_t reserveRound(std::uint32_t blocks, MDCFS_SPACE_ENTRY& area,
                             std::uint32_t allocated_blocks, WriterBase* writer, bool& again);
  std::uint32_t openNextTrack(WriterBase* writer);
  std::uint32_t syncBeforeNewTrack(WriterBase* writer, std::uint32_t& sync_error);
};

}  // namespace AnnulusFileIO
