// What the writer thread does with one buffer, the drive-cache sync that
// confirms written buffers, and the recovery that rewrites from the first
// failing one.
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "LumoQVE/UserDataFileIO.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"

#include <algorithm>

namespace AnnulusFileIO {

using namespace AnnulusFileIOErrors;
using Controller = UserDataFileIOImpl::UserDataWriteController;

namespace {

using AnnulusFileIO::trace;

Controller& as(const std::shared_ptr<WriterBase::WriteControllerBase>& c) {
  return static_cast<Controller&>(*c);
}

std::uint64_t rangeEnd(const MDCFS_SPACE_ENTRY& r) {
  return std::uint64_t{OffsetOf(r)} + BlocksOf(r);
}

}  // namespace

std::uint32_t UserDataFileIOImpl::checkMarkVolumeDirty() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::checkMarkVolumeDirty";
  if (m_volumeMarked) return 0;
  if (!m_volume->markVolumeDirty(0)) {
    trace(2, kMethod, __LINE__, u"ERROR : delayed MDCFSCTL_MARK_VOLUME_DIRTY");
    return QVE_RESULT_ERROR_MARK_VOLUME_DIRTY;
  }
  m_volumeMarked = true;
  trace(1, kMethod, __LINE__, u"delayed MARK_VOLUME_DIRTY success.");
  return 0;
}

std::uint32_t UserDataFileIOImpl::writeImpl(UserDataThreadMsgWrite& m) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::writeImpl";
  const std::uint64_t size = m.m_data->used();
  const bool when_close = m.m_isWhenClose;
  m.m_data->m_isWhenClose = false;
  trace(1, kMethod, __LINE__, u"dataSize=%u isWhenClose=%hs", size, when_close ? "true" : "false");
  if (size == 0) {
    giveBack(m.m_data);
    return 0;
  }
  if (const std::uint32_t r = checkMarkVolumeDirty()) return r;
  if (m.m_parityError) {
    trace(2, kMethod, __LINE__, u"waitParity error");
    return QVE_RESULT_ERROR_PARITY;
  }
  LumoQVE::WriterRingBuffer* ring = nullptr;
  m_ringLock.lock();
  ring = m_ring;
  m_ringLock.unlock();
  auto controller = std::make_shared<Controller>(*this, std::move(m.m_data), ring, m.m_vecParity,
                                                 m.m_vecBodySize);
  m.m_data.reset();
  std::uint32_t counter = 0;
  std::uint32_t r = 0;
  if (m_volume->getDefectReportCounter(counter)) {
    m_usbManager->setLastDefectCounter(counter);
  } else {
    r = QVE_RESULT_ERROR_DEFECT_COUNTER;
    setLastManagerError(r, __FILE__, __LINE__);
  }
  trace(1, kMethod, __LINE__, u"[####]updateDefectReportCounter() resut=%d", r);
  if (r) return r;
  if ((r = confirmAtRingCap(ring))) return r;
  r = writeAndCheck(std::move(controller));
  if (m_exclusiveMode) {
    m_volume->exitExclusiveMode();
    m_exclusiveMode = false;
  }
  if (r) return r;
  if (when_close) resetParity();
  return 0;
}

std::uint32_t UserDataFileIOImpl::fatal(std::uint32_t code, const char16_t* text, int line) {
  clearQueues();
  m_ringLock.lock();
  if (m_ring) m_ring->giveBack(nullptr);
  m_ringLock.unlock();
  trace(2, u"AnnulusFileIO::UserDataFileIOImpl::writeAndCheck", line, text);
  const std::uint32_t e = lastError();
  return e ? e : code ? code : QVE_RESULT_ERROR_WRITE;
}

// The controller written last is moved by identity: a recovery inside its
// write step may have put other controllers in front of it.
bool UserDataFileIOImpl::moveToEnd(const std::shared_ptr<WriteControllerBase>& controller) {
  auto it = std::find(m_writeControllers.begin(), m_writeControllers.end(), controller);
  if (it == m_writeControllers.end()) return false;
  m_writeControllers.erase(it);
  m_writeControllerEnd.push_back(controller);
  return true;
}

std::uint32_t UserDataFileIOImpl::writeAndCheck(std::shared_ptr<UserDataWriteController> controller) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::writeAndCheck";
  if (!RuvoCtrlVolume::getNewWrite()) {
    if (!controller) return 0;
    m_notSyncBufferSize = controller->getWriteSize();
    trace(1, kMethod, __LINE__, u"Old Write notSyncBufferSize=%llu", m_notSyncBufferSize);
    USBManager::markTrackInfoStale();
    m_writeSucceeded = true;
    if (!controller->writeProcImpl(true)) {
      const std::uint32_t e = lastError();
      return e ? e : QVE_RESULT_ERROR_SYNC_CACHE;
    }
    m_currentWriteController = std::move(controller);
    if (runDataCheck()) return 0;
    const std::uint32_t e = lastError();
    return e ? e : QVE_RESULT_ERROR_WRITE;
  }
  trace(1, kMethod, __LINE__, u"[####] pWriteCtrl=%p", static_cast<const void*>(controller.get()));
  if (controller) m_writeControllers.push_back(controller);
  while (!m_writeControllers.empty()) {
    std::shared_ptr<WriteControllerBase> front = m_writeControllers.front();
    Controller& c = as(front);
    trace(1, kMethod, __LINE__, u"m_writeControllerWait(1) size=%u m_writeControllerEnd(1) size=%u",
          m_writeControllers.size(), m_writeControllerEnd.size());
    m_writeSucceeded = true;
    c.m_requeued = false;
    const bool ok = c.writeProcImpl(true);
    if (ok) {
      moveToEnd(front);
    } else if (c.m_requeued) {
      // A sync before a new track failed inside the allocation and put the
      // unconfirmed controllers back in front: this one is written after them.
      c.userBufferSizeRollbackProc();
    } else if (m_writeSucceeded) {
      return fatal(0, u"writeAndCheck writeProc() error", __LINE__);
    } else {
      trace(1, kMethod, __LINE__, u"writeProc() error Write Recovery Route");
      if (c.m_reWriteCondition) c.userBufferSizeRollbackProc();
      moveToEnd(front);
      if (const std::uint32_t r = runWriteErrorRecovery()) {
        setLastManagerError(r, __FILE__, __LINE__);
        return fatal(r, u"runWriteErrorRecovery() error", __LINE__);
      }
    }
    if (m_exclusiveMode) {
      m_volume->exitExclusiveMode();
      m_exclusiveMode = false;
    }
    trace(1, kMethod, __LINE__, u"m_writeControllerWait(2) size=%u m_writeControllerEnd(2) size=%u",
          m_writeControllers.size(), m_writeControllerEnd.size());
  }
  return 0;
}

std::uint32_t UserDataFileIOImpl::runWriteErrorRecovery() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::runWriteErrorRecovery";
  trace(2, kMethod, __LINE__, u"start");
  if (const std::uint32_t r = commonWriteErrorRecovery()) {
    trace(2, kMethod, __LINE__, u"runWriteErrorRecovery commonWriteErrorRecovery() error");
    return r;
  }
  USBManager::trackInfoLock().lock();
  USBManager::markTrackInfoStale();
  const std::uint32_t r = m_usbManager->updateVolumeTrackInfomation();
  USBManager::trackInfoLock().unlock();
  if (r) {
    trace(2, kMethod, __LINE__, u"runWriteErrorRecovery updateVolumeTrackInfomation() error");
    return r;
  }
  if (const std::uint32_t e = updateDiskFreeSpaceInfo()) {
    trace(2, kMethod, __LINE__, u"runWriteErrorRecovery updateDiskFreeSpaceInfo() error");
    return e;
  }
  trace(2, kMethod, __LINE__, u"end");
  return 0;
}

std::uint32_t UserDataFileIOImpl::commonWriteErrorRecovery() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::commonWriteErrorRecovery";
  trace(2, kMethod, __LINE__, u"start");
  if (const std::uint32_t r = setRecoveryDataOnWaitQue()) {
    trace(2, kMethod, __LINE__, u"commonWriteErrorRecovery setRecoveryDataOnWaitQue() error result=[0x%08x]", r);
    return r;
  }
  if (m_writeControllers.empty()) {
    trace(2, kMethod, __LINE__, u"m_writeControllerWait empty error");
    return QVE_RESULT_ERROR_PARITY;
  }
  Controller& front = as(m_writeControllers.front());
  ++front.m_retry;
  if (const std::uint32_t r = doSyncCache())
    trace(2, kMethod, __LINE__, u"commonWriteErrorRecovery doSyncCache() error result=[0x%08x]", r);
  trace(2, kMethod, __LINE__, u"new write retry : [%u / %u]", front.m_retry, front.retryCount());
  if (front.m_retry > front.retryCount()) {
    trace(2, kMethod, __LINE__, u"commonWriteErrorRecovery retry max over error");
    return QVE_RESULT_ERROR_RETRY_OVER;
  }
  if (m_exclusiveMode) {
    m_volume->exitExclusiveMode();
    m_exclusiveMode = false;
  }
  if (!deleteFileAllocation()) {
    trace(2, kMethod, __LINE__, u"commonWriteErrorRecovery deleteFileAllocation() error");
    return QVE_RESULT_ERROR_DELETE_FAILED_RANGE;
  }
  resetWriteControllers();
  trace(2, kMethod, __LINE__, u"end");
  return 0;
}

std::uint32_t UserDataFileIOImpl::setRecoveryDataOnWaitQue() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::setRecoveryDataOnWaitQue";
  trace(2, kMethod, __LINE__, u"start");
  if (m_writeControllerEnd.empty()) {
    trace(2, kMethod, __LINE__, u"m_writeControllerEnd empty error");
    return QVE_RESULT_ERROR_PARITY;
  }
  const MDCFS_SPACE_ENTRY first = as(m_writeControllerEnd.front()).m_reserved;
  const MDCFS_SPACE_ENTRY last = as(m_writeControllerEnd.back()).m_reserved;
  std::uint32_t out = 0;
  const bool got = m_volume->getPerformance(OffsetOf(first), out);
  trace(2, kMethod, __LINE__, u"MDCFSCTL_GET_PERFORMANCE bret=[%d] in=[0x%08X] out=[0x%08X]", got,
        OffsetOf(first), out);
  if (!got) {
    trace(2, kMethod, __LINE__, u"getPerformance() error");
    return QVE_RESULT_ERROR_WRITE_ERROR_POSITION;
  }
  // A loss from before the first unconfirmed range reaches buffers already
  // released as written (or blocks that are not this file's): they cannot be
  // written again, so the file fails rather than read back different.
  if (OffsetOf(first) > out) {
    trace(2, kMethod, __LINE__, u"write error before the unconfirmed data: out=[0x%08X]", out);
    return QVE_RESULT_ERROR_SYNC_CACHE;
  }
  // An error block at or past the end of the last range cannot be placed:
  // everything unconfirmed is written again.
  const bool all_bad = rangeEnd(last) <= out;
  std::shared_ptr<WriteControllerBase> hand;
  int que_pos = 0;
  for (; !m_writeControllerEnd.empty(); ++que_pos) {
    std::shared_ptr<WriteControllerBase> c = m_writeControllerEnd.front();
    m_writeControllerEnd.pop_front();
    if (all_bad || rangeEnd(as(c).m_reserved) > out) {
      hand = std::move(c);
      break;
    }
    completeWriteController(c);
    trace(1, kMethod, __LINE__, u"m_writeControllerEnd pop que_pos=[%d]", que_pos);
  }
  if (!hand) {
    trace(2, kMethod, __LINE__, u"end");
    return 0;
  }
  while (!m_writeControllerEnd.empty()) {
    std::shared_ptr<WriteControllerBase> c = m_writeControllerEnd.back();
    m_writeControllerEnd.pop_back();
    m_writeControllers.push_front(c);
    if (!prepareRewrite(as(c), false)) {
      trace(2, kMethod, __LINE__, u"writeAndCheck rewrite() error");
      return QVE_RESULT_ERROR_REWRITE_PREPARE;
    }
  }
  m_writeControllers.push_front(hand);
  m_fileAllocatedSize = static_cast<std::int64_t>(as(hand).m_bodyOldFilePointerBlock) * kBlockBytes;
  if (!prepareRewrite(as(hand), true)) {
    trace(2, kMethod, __LINE__, u"writeAndCheck rewrite() error");
    return QVE_RESULT_ERROR_REWRITE_PREPARE;
  }
  trace(2, kMethod, __LINE__, u"m_writeControllerEnd Discovery write error data que_pos=[%d]", que_pos);
  trace(2, kMethod, __LINE__, u"end");
  return 0;
}

bool UserDataFileIOImpl::prepareRewrite(UserDataWriteController& c, bool is_error_controller) {
  c.rewindBuffers();
  if (is_error_controller && !reReadFreeSpace()) return false;
  c.m_entries.clear();
  c.m_reWriteCondition = 0;
  if (!c.m_vecParity.empty() && c.m_parityPosition >= 0) {
    if (!m_pParityFile || !m_pParityFile->isOpen()) {
      setLastManagerError(QVE_RESULT_ERROR_SETFILEPOINTER, __FILE__, __LINE__);
      return false;
    }
    m_pParityFile->setPosition(static_cast<std::uint64_t>(c.m_parityPosition));
  }
  return true;
}

bool UserDataFileIOImpl::deleteFileAllocation() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::deleteFileAllocation";
  trace(1, kMethod, __LINE__, u"start");
  if (m_writeControllers.empty()) return true;
  Controller& c = as(m_writeControllers.front());
  // A controller that never reached the disc owns no blocks to cut.
  if (!c.m_written) return true;
  trace(2, kMethod, __LINE__, u"deleteFileAllocation() body start_block=[0x%08x]", c.m_bodyOldFilePointerBlock);
  if (!m_pFile || !m_pFile->deleteFileAllocation(static_cast<std::int32_t>(c.m_bodyOldFilePointerBlock))) {
    trace(2, kMethod, __LINE__, u"deleteFileAllocation() error body start_block=[0x%08x]",
          c.m_bodyOldFilePointerBlock);
    return false;
  }
  trimAllocation(static_cast<std::int64_t>(c.m_bodyOldFilePointerBlock) * kBlockBytes);
  // The parity is cut from the first waiting controller that wrote some, not
  // only from the front one: a later one's parity written again would else
  // land on its old blocks while its new ones stay unwritten.
  const Controller* p = firstWrittenParity();
  if (p) {
    trace(2, kMethod, __LINE__, u"deleteFileAllocation() parity start_block=[0x%08x]",
          p->m_parityOldFilePointerBlock);
    if (!m_pParityFile ||
        !m_pParityFile->deleteFileAllocation(static_cast<std::int32_t>(p->m_parityOldFilePointerBlock))) {
      trace(2, kMethod, __LINE__, u"deleteFileAllocation() error parity start_block=[0x%08x]",
            p->m_parityOldFilePointerBlock);
      return false;
    }
  }
  trace(1, kMethod, __LINE__, u"end");
  return true;
}

const Controller* UserDataFileIOImpl::firstWrittenParity() {
  for (const auto& w : m_writeControllers) {
    const Controller& c = as(w);
    if (c.m_written && !c.m_parityRanges.empty()) return &c;
  }
  return nullptr;
}

void UserDataFileIOImpl::trimAllocation(std::int64_t bytes) {
  std::int64_t at = 0;
  std::vector<MDCFS_SPACE_ENTRY> kept;
  for (const MDCFS_SPACE_ENTRY& e : m_allocation) {
    if (at >= bytes) break;
    MDCFS_SPACE_ENTRY k = e;
    const std::int64_t room = (bytes - at + kBlockBytes - 1) / kBlockBytes;
    if (BlocksOf(k) > room) k.NumberOfBlocks = static_cast<std::int32_t>(room);
    kept.push_back(k);
    at += std::int64_t{BlocksOf(k)} * kBlockBytes;
  }
  m_allocation = std::move(kept);
}

void UserDataFileIOImpl::signalRing() {
  m_ringLock.lock();
  if (m_ring) m_ring->giveBack(nullptr);
  m_ringLock.unlock();
}

std::uint32_t UserDataFileIOImpl::doSyncCache() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::doSyncCache";
  if (!m_volume->syncDriveCache()) {
    trace(2, kMethod, __LINE__, u"syncDriveCache() error");
    return QVE_RESULT_ERROR_SYNC_CACHE;
  }
  m_cacheDirty = false;
  while (!m_writeControllerEnd.empty()) {
    std::shared_ptr<WriteControllerBase> c = m_writeControllerEnd.front();
    m_writeControllerEnd.pop_front();
    completeWriteController(c);
  }
  if (RuvoCtrlVolume::getNewWrite()) signalRing();
  trace(1, kMethod, __LINE__, u"m_writeControllerEnd all pop");
  return 0;
}

std::uint32_t UserDataFileIOImpl::syncWriteData() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::syncWriteData";
  if (!RuvoCtrlVolume::getNewWrite() || m_writeControllerEnd.empty()) return 0;
  trace(1, kMethod, __LINE__, u"syncWriteData start");
  for (;;) {
    trace(1, kMethod, __LINE__, u"SyncCache start m_writeControllerWait size=%u m_writeControllerEnd size=%u",
          m_writeControllers.size(), m_writeControllerEnd.size());
    if (doSyncCache() == 0) {
      trace(1, kMethod, __LINE__, u"syncWriteData end");
      return 0;
    }
    if (const std::uint32_t r = runWriteErrorRecovery()) {
      setLastManagerError(r, __FILE__, __LINE__);
      clearQueues();
      signalRing();
      trace(2, kMethod, __LINE__, u"runWriteErrorRecovery() error");
      return r;
    }
    if (!m_writeControllers.empty()) {
      if (const std::uint32_t r = writeAndCheck(nullptr)) {
        trace(2, kMethod, __LINE__, u"writeAndCheck() error");
        return r;
      }
    }
  }
}

std::uint32_t UserDataFileIOImpl::confirmAtRingCap(const LumoQVE::WriterRingBuffer* ring) {
  if (!RuvoCtrlVolume::getNewWrite() || !ring) return 0;
  const std::size_t spare = ring->count() > 2 ? static_cast<std::size_t>(ring->count() - 2) : 1;
  const std::uint32_t window = RuvoCtrlVolume::getRSVNum();
  // A window the ring can hold releases its oldest buffer itself.
  if (window != 0 && window <= spare) return 0;
  if (m_writeControllerEnd.size() < spare) return 0;
  trace(1, u"AnnulusFileIO::UserDataFileIOImpl::confirmAtRingCap", __LINE__,
        u"%u unconfirmed buffers fill the ring: drive-cache sync", static_cast<unsigned>(m_writeControllerEnd.size()));
  return syncWriteData();
}

std::uint32_t UserDataFileIOImpl::flush(const std::shared_ptr<BufferUserData>& data,
                                        LumoQVE::WriterRingBuffer* ring) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::flush";
  const std::uint64_t size = data ? data->used() : 0;
  trace(1, kMethod, __LINE__, u"flush() data.size=%u", size);
  if (size > 0) {
    trace(1, kMethod, __LINE__, u"write %u", size);
    if (const std::uint32_t r = write(data, ring)) return r;
  }
  trace(1, kMethod, __LINE__, u"writeSynchronize");
  if (const std::uint32_t r = writeSynchronize()) return r;
  if (runDataCheck()) return 0;
  const std::uint32_t e = lastError();
  return e ? e : QVE_RESULT_ERROR_WRITE;
}

}  // namespace AnnulusFileIO
