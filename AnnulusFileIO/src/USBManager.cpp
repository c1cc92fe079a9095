#include "AnnulusFileIO/USBManager.h"

#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/WriterBase.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"

namespace AnnulusFileIO {

using namespace AnnulusFileIOErrors;

namespace {

// The track information of the mounted volume, shared by every writer.
struct TrackCache {
  Util::CriticalSection lock;
  bool stale = true;
  MDCFS_VOLUME_TRACK_INFORMATION track{};
  MDCFS_TRACK_WRITE_RESOURCE_INFORMATION resource{};
  std::int64_t discSpanThld = 0;
};

TrackCache& cache() {
  static TrackCache c;
  return c;
}

// Holds the cache lock for a scope.
class CacheGuard {
 public:
  CacheGuard() { cache().lock.lock(INFINITE); }
  ~CacheGuard() { cache().lock.unlock(); }
  CacheGuard(const CacheGuard&) = delete;
  CacheGuard& operator=(const CacheGuard&) = delete;
};

using AnnulusFileIO::trace;

// Blocks from the next writable block to the end of the track; 0 when the
// next writable block lies before the partition (0xFFFFFFFF) or at or past
// the end.
std::uint64_t blocksLeftOnTrack() {
  const MDCFS_VOLUME_TRACK_INFORMATION& t = cache().track;
  if (t.NextWritableBlockOffset == 0xFFFFFFFF || t.NextWritableBlockOffset >= t.NumberOfBlocks)
    return 0;
  return std::uint64_t{t.NumberOfBlocks} - t.NextWritableBlockOffset;
}

bool isLastTrack() {
  const MDCFS_VOLUME_TRACK_INFORMATION& t = cache().track;
  return std::uint64_t{t.TrackId} + 1 >= t.MaxCreatableTrackCount;
}

bool overThreshold() {
  const std::int64_t thld = cache().discSpanThld;
  return thld != 0 && std::int64_t{cache().track.NextWritableBlockOffset} > thld;
}

}  // namespace

USBManager::USBManager(std::shared_ptr<RUVOVolume> volume) : m_volume(std::move(volume)) {}

USBManager::~USBManager() = default;

std::uint32_t USBManager::setFreeSpaceInfo(const FreeSpaceInfo& info) {
  m_info1 = info.a;
  m_info2 = info.b;
  m_discMargin = info.c;
  m_lastDiscMargin = info.d;
  return 0;
}

void USBManager::markTrackInfoStale() {
  CacheGuard g;
  cache().stale = true;
}

Util::CriticalSection& USBManager::trackInfoLock() { return cache().lock; }

std::uint64_t USBManager::marginOfCachedTrack() const {
  return isLastTrack() ? m_lastDiscMargin : m_discMargin;
}

bool USBManager::writeResourceEmpty() {
  const MDCFS_TRACK_WRITE_RESOURCE_INFORMATION& r = cache().resource;
  const bool empty = r.RemainingPowReallocationMapEntries <= 256 ||
                     r.NumberOfRemainingPowUpdates <= 100 || r.OpcResourceCount <= 4;
  if (empty)
    trace(2, u"AnnulusFileIO::USBManager::isWriteResourceEmpty", __LINE__,
          u"empty of write_resource. RemainingPowReallocationMapEntries=%d, "
          u"NumberOfRemainingPowUpdates=%d, OpcResourceCount=%d",
          r.RemainingPowReallocationMapEntries, r.NumberOfRemainingPowUpdates, r.OpcResourceCount);
  return empty;
}

std::uint32_t USBManager::updateVolumeTrackInfomation() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::USBManager::updateVolumeTrackInfomation";
  TrackCache& c = cache();
  if (!c.stale) return 0;
  MDCFS_VOLUME_TRACK_INFORMATION track{};
  if (!m_volume->getVolumeTrackInformation(track)) return QVE_RESULT_ERROR_TRACK_INFORMATION;
  trace(1, kMethod, __LINE__,
        u"MDCFSCTL_GET_VOLUME_TRACK_INFORMATION trackId=%u, nextWritableBlockOffset=%u "
        u"numberOfBlocks=%u \n",
        track.TrackId, track.NextWritableBlockOffset, track.NumberOfBlocks);
  MDCFS_TRACK_WRITE_RESOURCE_INFORMATION resource{};
  if (!m_volume->getVolumeTrackWriteResourceInformation(resource))
    return QVE_RESULT_ERROR_WRITE_RESOURCE;
  trace(1, kMethod, __LINE__,
        u"MDCFSCTL_GET_VOLUME_TRACK_WRITE_RESOURCE_INFORMATION TrackId=%u, OpcResourceCount=0x%08X "
        u"RemainingPowReallocationMapEntries=0x%08X NumberOfRemainingPowUpdates=%08X",
        resource.TrackId, resource.OpcResourceCount, resource.RemainingPowReallocationMapEntries,
        resource.NumberOfRemainingPowUpdates);
  c.track = track;
  c.resource = resource;
  c.stale = false;
  trace(1, kMethod, __LINE__, u"[####]trackId=%u, nextWritableBlockOffset=%u, numberOfBlocks=%u",
        track.TrackId, track.NextWritableBlockOffset, track.NumberOfBlocks);
  return 0;
}

USBManagerR::USBManagerR(std::shared_ptr<RUVOVolume> volume) : USBManager(std::move(volume)) {
  CacheGuard g;
  cache().discSpanThld = 0;
  cache().stale = true;
}

USBManagerR::~USBManagerR() = default;

void USBManagerR::setDiscMarginBlocksFromDiscSpanThld(std::uint32_t blocks) {
  CacheGuard g;
  cache().discSpanThld = blocks;
  trace(1, u"AnnulusFileIO::USBManagerR::setDiscMarginBlocksFromDiscSpanThld", __LINE__,
        u"DEBUG : m_discSpanThld=%lld", cache().discSpanThld);
}

std::uint32_t USBManagerR::reservFreeBlock(std::uint32_t blocks, MDCFS_SPACE_ENTRY& area,
                                           std::uint32_t allocated_blocks, WriterBase* writer) {
  CacheGuard g;
  for (;;) {
    bool again = false;
    const std::uint32_t r = reserveRound(blocks, area, allocated_blocks, writer, again);
    if (!again) return r;
  }
}

std::uint32_t USBManagerR::reserveRound(std::uint32_t blocks, MDCFS_SPACE_ENTRY& area,
                                        std::uint32_t allocated_blocks, WriterBase* writer,
                                        bool& again) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::USBManagerR::reservFreeBlock";
  TrackCache& c = cache();
  // A stale cache is never used: it is read again whatever the caller says.
  if (allocated_blocks == 0 || c.stale) {
    trace(1, kMethod, __LINE__, u"updateVolumeTrackInfomation");
    if (std::uint32_t e = updateVolumeTrackInfomation()) return e;
  }
  const std::uint64_t margin = marginOfCachedTrack();
  // The data of a packed session belongs to files already answered as
  // archived, their room taken when they were opened. On the last disc it
  // still goes to the track once the disc's write resources run short: an
  // appended block takes none of them, and the files are not lost. Only the
  // room of the track can refuse it.
  const bool empty = writeResourceEmpty() && !(writer && writer->m_proxyAccount && isLastTrack());
  MDCFS_VOLUME_TRACK_INFORMATION& t = c.track;
  trace(1, kMethod, __LINE__,
        u"[####]nextWritableBlockOffset=%u discMargin=%lld numberOfBlocks=%u allocedBlock=%u",
        t.NextWritableBlockOffset, margin, t.NumberOfBlocks, allocated_blocks);
  const std::uint64_t left = blocksLeftOnTrack();
  const bool full = left == 0 || std::uint64_t{allocated_blocks} + margin > left;
  if (!empty && !full && !overThreshold()) {
    if (left >= blocks) {
      area = MakeSpaceEntry(t.TrackId, t.NextWritableBlockOffset, blocks);
      t.NextWritableBlockOffset += blocks;
      trace(1, kMethod, __LINE__, u"[####]reservFreeBlock() zoneId=%u, startBlock=%u, numBlocks=%u",
            ZoneOf(area), OffsetOf(area), BlocksOf(area));
      return 0;
    }
    trace(2, kMethod, __LINE__,
          u"Volume Free Block is empty. trackId=%u, freeBlocks=%u, request_reserv_block=%u",
          t.TrackId, static_cast<std::uint32_t>(left), blocks);
    return QVE_RESULT_ERROR_DISC_FULL;
  }
  if (!RuvoCtrlVolume::getNewWrite() && isLastTrack()) {
    trace(2, kMethod, __LINE__, u"No free space. current tracid=%08X maxCreatableTrackCount=%d",
          t.TrackId, t.MaxCreatableTrackCount);
    return QVE_RESULT_ERROR_DISC_FULL;
  }
  if (empty)
    trace(2, kMethod, __LINE__, u"CREATE_NEW_TRACK(write resource empty).");
  else if (full)
    trace(2, kMethod, __LINE__,
          u"CREATE_NEW_TRACK(current disc is full). trackId=%u, nextWritableBlockOffset=0x%08X "
          u"numberOfBlocks=0x%08X maxCreatableTrackCount=%08X discMargin=0x%08X",
          t.TrackId, t.NextWritableBlockOffset, t.NumberOfBlocks, t.MaxCreatableTrackCount, margin);
  else if (overThreshold())
    trace(2, kMethod, __LINE__,
          u"CREATE_NEW_TRACK(NWA is over discSpanThld). trackId=%u, nextWritableBlockOffset=0x%08X "
          u"numberOfBlocks=0x%08X maxCreatableTrackCount=%08X discSpanThld=0x%08X",
          t.TrackId, t.NextWritableBlockOffset, t.NumberOfBlocks, t.MaxCreatableTrackCount,
          c.discSpanThld);
  else
    trace(2, kMethod, __LINE__, u"CREATE_NEW_TRACK(inconsistent processing...)");
  std::uint32_t sync_error = 0;
  if (RuvoCtrlVolume::getNewWrite()) {
    if (std::uint32_t e = syncBeforeNewTrack(writer, sync_error)) return e;
    if (isLastTrack()) {
      trace(2, kMethod, __LINE__, u"No free space. current tracid=%08X maxCreatableTrackCount=%d",
            t.TrackId, t.MaxCreatableTrackCount);
      return QVE_RESULT_ERROR_DISC_FULL;
    }
  }
  if (std::uint32_t e = openNextTrack(writer)) return e;
  if (sync_error) {
    trace(2, kMethod, __LINE__, u"doSyncCache() error=[%ul]", sync_error);
    if (writer) writer->m_writerStatus = 0;
    return sync_error;
  }
  again = true;
  return 0;
}

// New-write mode: the writer's data reaches the disc before the track
// changes. A failed sync is recovered; its code is kept in sync_error.
std::uint32_t USBManagerR::syncBeforeNewTrack(WriterBase* writer, std::uint32_t& sync_error) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::USBManagerR::reservFreeBlock";
  if (!writer) {
    trace(2, kMethod, __LINE__, u"pClass is NULL cannot SyncCache");
    return 0;
  }
  trace(2, kMethod, __LINE__, u"===== SyncCache before CREATE_NEW_TRACK");
  const std::uint32_t e = writer->doSyncCache();
  if (e == 0) return 0;
  trace(2, kMethod, __LINE__, u"doSyncCache() error=[%ul]", e);
  static constexpr const char16_t* kRecovery =
      u"AnnulusFileIO::UserDataFileIOImpl::runWriteStraddlingErrorRecovery";
  trace(2, kRecovery, __LINE__, u"start");
  if (const std::uint32_t r = writer->commonWriteErrorRecovery()) {
    trace(2, kRecovery, __LINE__, u"runWriteStraddlingErrorRecovery commonWriteErrorRecovery() error");
    trace(2, kRecovery, __LINE__, u"runWriteStraddlingErrorRecovery() error=[%ul]", r);
    return r;
  }
  sync_error = e;
  return 0;
}

std::uint32_t USBManagerR::openNextTrack(WriterBase* writer) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::USBManagerR::reservFreeBlock";
  const std::uint32_t old_track = cache().track.TrackId;
  if (!volume().createNewTrack()) return QVE_RESULT_ERROR_CREATE_NEW_TRACK;
  trace(1, kMethod, __LINE__, u"MDCFSCTL_CREATE_NEW_TRACK");
  cache().stale = true;
  if (std::uint32_t e = updateVolumeTrackInfomation()) return e;
  // A track that did not change would be asked for again and again.
  if (cache().track.TrackId == old_track) {
    trace(2, kMethod, __LINE__,
          u"ERROR: RUVOVolume::createNewTrack : MDCFSCTL_CREATE_NEW_TRACK error m_dwErrorCode = %08x\n",
          0u);
    return QVE_RESULT_ERROR_CREATE_NEW_TRACK;
  }
  if (writer) {
    if (std::uint32_t e = writer->updateDiskFreeSpaceInfo()) {
      trace(2, kMethod, __LINE__, u"runWriteErrorRecovery updateDiskFreeSpaceInfo() error");
      return e;
    }
  }
  return 0;
}

std::uint32_t USBManagerR::getCurruentFreeBlockBytes(std::uint64_t& bytes) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::USBManagerR::getCurruentFreeBlockBytes";
  CacheGuard g;
  if (std::uint32_t e = updateVolumeTrackInfomation()) return e;
  if (writeResourceEmpty()) {
    bytes = 0;
    return 0;
  }
  if (overThreshold()) {
    trace(2, kMethod, __LINE__, u" NWB(%d) is over discSpanThld(%lld) . current free space zero.",
          cache().track.NextWritableBlockOffset, cache().discSpanThld);
    bytes = 0;
    return 0;
  }
  const std::uint64_t free = blocksLeftOnTrack();
  std::uint64_t need = marginOfCachedTrack();
  MDCFS_MOUNT_INFORMATION mount{};
  if (volume().getVolumeMountInformation(mount)) {
    const bool open = (mount.VolumeStatus & 0x10) != 0;
    trace(1, kMethod, __LINE__, u"VolumeStatus=0x%02X, LVID is %ls", mount.VolumeStatus,
          open ? u"Open" : u"Close");
    if (!open) need += static_cast<std::uint64_t>(kel::WriterParityConstants().BlocksPerSymbol);
  }
  if (free >= need) {
    bytes = (free - need) * WriterBase::kBlockBytes;
  } else {
    trace(1, kMethod, __LINE__, u"result=0");
    bytes = 0;
  }
  return 0;
}

}  // namespace AnnulusFileIO
