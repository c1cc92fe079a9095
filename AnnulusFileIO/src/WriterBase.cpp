#include "AnnulusFileIO/WriterBase.h"

#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"
#include "platform/win32.h"

#include <algorithm>

namespace AnnulusFileIO {

using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

}  // namespace

WriterBase::WriterBase() : m_volume(std::make_shared<RUVOVolume>()) {}

WriterBase::~WriterBase() {
  trace(1, u"AnnulusFileIO::WriterBase::~WriterBase", __LINE__, u"WriterBase::~WriterBase\n");
  m_writeControllerEnd.clear();
  m_writeControllers.clear();
  m_currentWriteController.reset();
  m_volumePath.clear();
  m_volume.reset();
  m_usbManager.reset();
}

std::uint32_t WriterBase::blocksOfBytes(std::uint64_t bytes) {
  const std::uint64_t blocks = bytes / kBlockBytes + (bytes % kBlockBytes ? 1 : 0);
  return blocks > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(blocks);
}

std::uint32_t WriterBase::getBlockFromBytes(std::uint64_t bytes, MDCFS_SPACE_ENTRY& area,
                                            std::uint32_t allocated_blocks, WriterBase* writer) {
  // More blocks than one area can describe cannot be reserved at once.
  const std::uint64_t blocks = bytes / kBlockBytes + (bytes % kBlockBytes ? 1 : 0);
  std::uint32_t r = blocks > 0x7FFFFFFF ? QVE_RESULT_ERROR_INVALID_ARGUMENT
                    : !m_usbManager      ? QVE_RESULT_ERROR_INVALID_ARGUMENT
                                         : m_usbManager->reservFreeBlock(
                                          static_cast<std::uint32_t>(blocks), area,
                                          allocated_blocks, writer);
  if (r != 0) {
    trace(2, u"AnnulusFileIO::WriterBase::getBlockFromBytes", __LINE__,
          u"ERROR : WriterBase::getBlockFromBytes %08X\n", r);
    if (r != QVE_RESULT_ERROR_SYNC_CACHE) setLastManagerError(r, __FILE__, __LINE__);
  }
  return r;
}

void WriterBase::setLastManagerError(std::uint32_t code, const char* file, int line) {
  if (m_errorReceiver && m_errorReceiver != this)
    m_errorReceiver->setLastManagerError(code, file, line);
}

std::uint64_t WriterBase::pendingBytes(const ControllerQueue& queue) {
  std::uint64_t sum = 0;
  for (const auto& c : queue)
    if (c) sum += c->getWriteSize();
  return sum;
}

bool WriterBase::runDataCheck() {
  if (!m_currentWriteController) return true;
  std::shared_ptr<WriteControllerBase> c = std::move(m_currentWriteController);
  m_currentWriteController.reset();
  return beforeDataCheckProcess(*c);
}

void WriterBase::resetWriteControllers() {
  for (auto& c : m_writeControllers) {
    c->m_entries.clear();
    c->m_reWriteCondition = 0;
    c->resetProgress();
  }
}

void WriterBase::completeWriteController(std::shared_ptr<WriteControllerBase>& controller) {
  if (controller) controller->writeCompleteProccess();
  controller.reset();
}

bool WriterBase::reReadFreeSpace() {
  const std::uint32_t r = m_usbManager ? m_usbManager->reReadUSB() : 0;
  if (r == 0) return true;
  trace(2, u"AnnulusFileIO::WriterBase::reReadFreeSpace", __LINE__, u"ERROR : reReadUSB() error\n");
  setLastManagerError(r, __FILE__, __LINE__);
  return false;
}

std::uint32_t WriterBase::updateDiskFreeSpaceInfo() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::WriterBase::updateDiskFreeSpaceInfo";
  const bool new_write = RuvoCtrlVolume::getNewWrite();
  const std::uint64_t not_synced = new_write ? pendingBytes(m_writeControllers) +
                                                   pendingBytes(m_writeControllerEnd)
                                             : m_notSyncBufferSize;
  trace(1, kMethod, __LINE__, u"notSyncBufferSize=%llu", not_synced);
  WriterByteAccount* account = m_proxyAccount ? m_proxyAccount
                               : new_write    ? m_realWriterAccount
                                              : nullptr;
  if (!account) return 0;
  account->lock.lock(INFINITE);
  account->committed = account->taken > not_synced ? account->taken - not_synced : 0;
  account->lock.unlock();
  unsigned long long capacity = 0, free = 0;
  std::uint32_t r = RuvoCtrlVolume::getDiskFreeSpace(m_volumePath, capacity, free, false);
  if (r == 0) {
    RuvoCtrlVolume::m_mediaCapacity = capacity;
    RuvoCtrlVolume::m_freeSpace = free;
  }
  trace(1, kMethod, __LINE__, u"getDiskFreeSpace() result=[0x%08x] mediaCapacity=[%llu] freeSpace=[%llu]",
        r, capacity, free);
  return r;
}

bool WriterBase::chkDefect(const std::vector<MDCFS_SPACE_ENTRY>& areas, bool& defect,
                           std::uint32_t rewrite_condition) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::WriterBase::chkDefect";
  defect = rewrite_condition != 0;
  const bool synced = m_volume->syncDriveCache();
  if (!synced) defect = true;
  if (synced && !defect && isVerifyOnWrite() && RuvoCtrlVolume::isRMedia()) {
    for (const MDCFS_SPACE_ENTRY& a : areas) {
      if (!m_volume->verifyRange(a)) {
        defect = true;
        break;
      }
    }
  }
  std::uint32_t counter = 0;
  if (!m_volume->getDefectReportCounter(counter)) {
    setLastManagerError(QVE_RESULT_ERROR_DEFECT_COUNTER, __FILE__, __LINE__);
    return false;
  }
  const std::uint32_t last = m_usbManager ? m_usbManager->getLastDefectCounter() : counter;
  if (m_usbManager) m_usbManager->setLastDefectCounter(counter);
  if (defect) {
    trace(1, kMethod, __LINE__, u"INFO : CRCErrorHappen. (defect counter=%d)\n", counter);
    return true;
  }
  if (counter == last) return true;
  if (RuvoCtrlVolume::isRMedia()) defect = true;
  trace(1, kMethod, __LINE__, u"INFO : defect counter up %d\n", counter);
  return true;
}

bool WriterBase::beforeDataCheckProcess(WriteControllerBase& c) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::WriterBase::beforeDataCheckProcess";
  c.prepareCheck();
  std::uint32_t count = 0;
  bool result = false;
  bool defect = false;
  bool checked = !m_retryOver && c.checkDefect(defect);
  while (checked) {
    if (!defect) {
      result = true;
      c.writeCompleteProccess();
      break;
    }
    if (!c.canRetry()) {
      setLastManagerError(QVE_RESULT_ERROR_WRITE, __FILE__, __LINE__);
      break;
    }
    if (count >= c.retryCount()) {
      trace(2, kMethod, __LINE__, u"annulus write retry over(%d)\n", count);
      m_retryOver = true;
      setLastManagerError(QVE_RESULT_ERROR_RETRY_OVER, __FILE__, __LINE__);
      break;
    }
    if (m_exclusiveMode) {
      m_volume->exitExclusiveMode();
      m_exclusiveMode = false;
    }
    ++count;
    c.m_isAlreadyWrite = 1;
    if (!c.rewindBuffers() || !reReadFreeSpace()) break;
    c.m_entries.clear();
    c.m_reWriteCondition = 0;
    trace(2, kMethod, __LINE__, u"annulus write retry : %d\n", count);
    if (!RuvoCtrlVolume::getNewWrite()) USBManager::markTrackInfoStale();
    if (!c.writeProcImpl(false)) break;
    checked = c.checkDefect(defect);
  }
  if (m_retryOver) setLastManagerError(QVE_RESULT_ERROR_RETRY_OVER, __FILE__, __LINE__);
  if (m_exclusiveMode) {
    m_volume->exitExclusiveMode();
    m_exclusiveMode = false;
  }
  trace(1, kMethod, __LINE__, count > 0 ? u"state Defect" : u"state not Defect");
  return result;
}

WriterBase::WriteControllerBase::WriteControllerBase(WriterBase& owner) : m_owner(owner) {}

WriterBase::WriteControllerBase::~WriteControllerBase() = default;

void WriterBase::WriteControllerBase::resetProgress() {
  std::fill(std::begin(m_progress), std::end(m_progress), 0);
}

bool WriterBase::WriteControllerBase::checkDefect(bool& defect) {
  std::vector<MDCFS_SPACE_ENTRY> areas;
  areas.reserve(m_entries.size());
  for (const WriteEntry& e : m_entries) areas.push_back(e.area);
  return m_owner.chkDefect(areas, defect, m_reWriteCondition);
}

bool WriterBase::WriteControllerBase::rewindBuffers() {
  for (const WriteEntry& e : m_entries) {
    if (!RuvoCtrlVolume::isRMedia() || !e.buffer || e.buffer->used() == 0) {
      m_owner.setLastManagerError(QVE_RESULT_ERROR_REWRITE_PREPARE, __FILE__, __LINE__);
      return false;
    }
    e.buffer->setWritePosition(e.position);
  }
  return true;
}

bool WriterBase::WriteControllerBase::writeAll(RUVOFile& file, BufferUserData& buffer,
                                               std::uint64_t offset, std::uint64_t& size) {
  const std::uint64_t chunk = std::uint64_t{RuvoCtrlVolume::getOptimalReadWriteBlocks()} * kBlockBytes;
  const std::int64_t asked = static_cast<std::int64_t>(size);
  size = 0;
  if (chunk == 0 || asked <= 0) return true;
  // Only bytes the buffer holds are written.
  const std::uint64_t used = buffer.used();
  if (offset > used || static_cast<std::uint64_t>(asked) > used - offset) return false;
  std::uint64_t done = 0;
  while (done < static_cast<std::uint64_t>(asked)) {
    const std::uint64_t n = std::min(chunk, static_cast<std::uint64_t>(asked) - done);
    if (!file.writeFile(buffer.data() + offset + done, n)) return false;
    done += n;
  }
  size = done;
  return true;
}

bool WriterBase::WriteControllerBase::writeFile(RUVOFile& file, BufferUserData& buffer,
                                                std::uint64_t offset, std::uint64_t& size) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::WriterBase::WriteControllerBase::writeFile";
  trace(1, kMethod, __LINE__, u"write size=%lld", static_cast<long long>(size));
  if (m_reWriteCondition != 0) {
    trace(2, kMethod, __LINE__,
          u"re-write condition is already true. ignore this writing, and perform the re-writing "
          u"process to continue.");
    return true;
  }
  if (!writeAll(file, buffer, offset, size)) {
    if (!RuvoCtrlVolume::isRMedia()) {
      m_owner.setLastManagerError(QVE_RESULT_ERROR_WRITE, __FILE__, __LINE__);
      return false;
    }
    m_reWriteCondition = 1;
  }
  if (size == 0 && m_reWriteCondition == 0) m_reWriteCondition = 2;
  return true;
}

std::uint32_t WriterBase::WriteControllerBase::retryCount() {
  return RuvoCtrlVolume::isRMedia() ? RuvoCtrlVolume::getMaxWriteRetryR() : 7;
}

bool WriterBase::WriteControllerBase::addFileAllocation(RUVOFile& file, const MDCFS_SPACE_ENTRY& area) {
  if (file.addFileAllocation(area)) return true;
  trace(2, u"AnnulusFileIO::WriterBase::WriteControllerBase::addFileAllocation", __LINE__,
        u"ERROR : QVE_RESULT_ERROR_ADD_FILE_ALLOCATION ErrorCode=%08x\n", file.m_dwErrorCode);
  m_owner.setLastManagerError(QVE_RESULT_ERROR_ADD_FILE_ALLOCATION, __FILE__, __LINE__);
  return false;
}

}  // namespace AnnulusFileIO
