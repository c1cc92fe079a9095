// End of file, close, and the cut back to the confirmed sizes after a
// failed close.
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"

#include <cstring>

namespace AnnulusFileIO {

using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

std::int64_t sizeOf(RUVOFile& f) {
  const std::uint64_t s = f.getFileSize();
  return s > static_cast<std::uint64_t>(INT64_MAX) ? -1 : static_cast<std::int64_t>(s);
}

}  // namespace

std::uint32_t UserDataFileIOImpl::setEndOfFile(bool use_allocated_size, std::int64_t size) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::setEndOfFile";
  trace(1, kMethod, __LINE__, u"m_currentFilePointer=%lld m_fileAllocatedSize=%lld", m_currentFilePointer,
        m_fileAllocatedSize);
  if (const std::uint32_t r = writeSynchronize()) return r;
  const std::int64_t position = m_currentFilePointer;
  const std::uint32_t synced = syncWriteData();
  m_currentFilePointer = position;
  if (synced) return synced;
  if (const std::uint32_t r = checkMarkVolumeDirty()) return r;
  if (position > m_fileAllocatedSize) {
    const std::int64_t request = position - (use_allocated_size ? m_fileAllocatedSize : size);
    std::uint64_t free = 0;
    if (m_pFile && m_pFile->InhibitSpanningDiscWrite) {
      if (const std::uint32_t r = m_usbManager->getCurruentFreeBlockBytes(free)) {
        trace(2, kMethod, __LINE__, u"getCurruentFreeBlockBytes error 0x%08X", r);
        setLastManagerError(r, __FILE__, __LINE__);
        return r;
      }
      trace(1, kMethod, __LINE__, u"InhibitSpanningDiscWrite file, freeBytes=%lld", free);
    } else {
      unsigned long long capacity = 0, volume_free = 0;
      if (RuvoCtrlVolume::getDiskFreeSpace(m_volumeRootPath, capacity, volume_free, false) != 0)
        return QVE_RESULT_ERROR_VOLUME_QUERY;
      free = volume_free;
      trace(1, kMethod, __LINE__, u"normal file, freeBytes=%lld", free);
    }
    if (request > 0 && free < static_cast<std::uint64_t>(request)) {
      trace(2, kMethod, __LINE__, u"Disc Full: requestSize=%lld, remainingSize=%lld", request, free);
      return QVE_RESULT_ERROR_DISC_FULL;
    }
  } else if (position < m_fileAllocatedSize) {
    if (m_shortEndDone) {
      trace(2, kMethod, __LINE__, u"already short range SetEndOfFile");
      setLastManagerError(QVE_RESULT_ERROR_INVALID_ARGUMENT, __FILE__, __LINE__);
      return QVE_RESULT_ERROR_NOT_SEQUENTIAL;
    }
    m_shortEndDone = true;
    if (m_pParityFile && position < m_virtualFileSize) {
      const auto& p = kel::WriterParityConstants();
      const std::int64_t rub = static_cast<std::int64_t>(rubBytes());
      const std::int64_t expected = position / rub * rub / p.DataSymbolsBytes * p.ParitySymbolsBytes;
      const std::int64_t now = sizeOf(*m_pParityFile);
      trace(1, kMethod, __LINE__,
            u"SetEndOfFile() at Real Recording Area(m_currentFilePointer=%lld, m_virtualFileSize(%lld), size_prity_now(%lld)",
            position, m_virtualFileSize, now);
      if (now >= 1 && now != expected) {
        trace(1, kMethod, __LINE__, u"SetEndOfFile() truncate parity file.");
        m_pParityFile->setPosition(static_cast<std::uint64_t>(expected));
        USBManager::markTrackInfoStale();
        if (!m_pParityFile->setEndOfFile()) return QVE_RESULT_ERROR_SETENDOFFILE;
        m_committedWriteSizeParity = expected;
      }
      resetParity();
    }
    if (const std::uint32_t r = zeroFilledSetEndOfFile(position)) return r;
    m_committedWriteSize = position;
  }
  m_virtualFileSize = position;
  return 0;
}

std::uint32_t UserDataFileIOImpl::zeroFilledSetEndOfFile(std::int64_t position) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::zeroFilledSetEndOfFile";
  trace(1, kMethod, __LINE__, u"m_currentFilePointer=%lld m_fileAllocatedSize=%lld", position, m_fileAllocatedSize);
  const std::int64_t rub = static_cast<std::int64_t>(rubBytes());
  const std::int64_t end = (position + rub - 1) / rub * rub;
  if (!m_pFile || !m_pFile->isOpen()) return QVE_RESULT_ERROR_REWRITE_PREPARE;
  std::vector<MDCFS_SPACE_ENTRY> beyond;
  if (end < m_fileAllocatedSize) {
    if (position != 0) getAllocatedArea(end, m_fileAllocatedSize - end, beyond);
    m_pFile->setPosition(static_cast<std::uint64_t>(end));
    USBManager::markTrackInfoStale();
    if (!m_pFile->setEndOfFile()) return QVE_RESULT_ERROR_SETENDOFFILE;
  }
  if (position % rub != 0 && end <= m_fileAllocatedSize) {
    if (const std::uint32_t r = zeroLastRub(position, end)) return r;
  }
  if (position == 0 || beyond.empty()) return updateFileAllocateInformation();
  // The blocks past the new end stay the file's own.
  for (const auto& e : beyond) {
    trace(1, kMethod, __LINE__, u"addFileAllocation zoneId=%d,BlockOffset=0x%X,NumberOfBlocks=0x%x", ZoneOf(e),
          OffsetOf(e), BlocksOf(e));
    if (!m_pFile->addFileAllocation(e)) return QVE_RESULT_ERROR_ADD_FILE_ALLOCATION;
  }
  m_pFile->setPosition(static_cast<std::uint64_t>(m_fileAllocatedSize));
  USBManager::markTrackInfoStale();
  if (!m_pFile->setEndOfFile()) return QVE_RESULT_ERROR_SETENDOFFILE;
  trace(1, kMethod, __LINE__, u"getFileSize()=%lld, m_fileAllocatedSize=%lld", sizeOf(*m_pFile), m_fileAllocatedSize);
  return 0;
}

// The recording unit the new end falls in keeps its bytes before the end
// and zeros after it.
std::uint32_t UserDataFileIOImpl::zeroLastRub(std::int64_t position, std::int64_t end) {
  const std::uint64_t rub = rubBytes();
  const std::int64_t from = end - static_cast<std::int64_t>(rub);
  if (static_cast<std::uint64_t>(m_pWriteBuffer->capacity()) < rub) m_pWriteBuffer->resize(rub);
  std::uint8_t* b = m_pWriteBuffer->data();
  std::memset(b, 0, rub);
  std::uint64_t got = 0;
  m_pFile->setPosition(static_cast<std::uint64_t>(from));
  if (!m_pFile->readFile(b, rub, got)) return QVE_RESULT_ERROR_READ;
  std::memset(b + (position - from), 0, rub - static_cast<std::uint64_t>(position - from));
  if (RuvoCtrlVolume::isRMedia()) {
    // Written blocks of a write-once disc cannot be written again.
    AllocationRequest req;
    req.bodyBytes = rub;
    if (std::uint32_t r = allocate_file(req, kAllocUnregistered, false)) return r;
    if (std::uint32_t r = reallocate_file(*m_pFile, from, req.bodyRanges)) return r;
    if (std::uint32_t r = updateFileAllocateInformation()) return r;
    if (!req.bodyRanges.empty() && m_reserveWriteRange && !m_volume->reserveWriteRange(req.bodyRanges.front()))
      return QVE_RESULT_ERROR_WRITE;
  }
  m_pFile->setPosition(static_cast<std::uint64_t>(from));
  USBManager::markTrackInfoStale();
  if (!m_pFile->writeFile(b, rub)) return QVE_RESULT_ERROR_WRITE;
  return 0;
}

std::uint32_t UserDataFileIOImpl::setEndOfFileReal() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::setEndOfFileReal";
  if (m_currentFilePointer > m_fileAllocatedSize) {
    AllocationRequest req;
    req.bodyBytes = static_cast<std::uint64_t>(m_currentFilePointer - m_fileAllocatedSize);
    if (std::uint32_t r = allocate_file(req, RuvoCtrlVolume::isRMedia() ? kAllocDummy : kAllocNormal, false))
      return r;
  }
  const std::int64_t old_size = sizeOf(*m_pFile);
  if (old_size < 0) return QVE_RESULT_ERROR_GET_FILE_SIZE;
  USBManager::markTrackInfoStale();
  if (!m_pFile->setEndOfFile()) return QVE_RESULT_ERROR_SETENDOFFILE;
  const std::int64_t new_size = sizeOf(*m_pFile);
  if (new_size < 0) return QVE_RESULT_ERROR_GET_FILE_SIZE;
  m_virtualFileSize = new_size;
  trace(1, kMethod, __LINE__, u"newSize=%lld, oldSize=%lld", new_size, old_size);
  if (new_size < old_size) {
    if (std::uint32_t r = filesizeSetup()) return r;
    const std::uint64_t p = m_pFile->getPosition();
    if (p == RUVOFile::kNoPosition) return QVE_RESULT_ERROR_21;
    m_currentFilePointer = static_cast<std::int64_t>(p);
  }
  return 0;
}

std::uint32_t UserDataFileIOImpl::writeLeftoverParity() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::closeImpl";
  if (!m_pParityFile || !m_parity.m_hasData) return 0;
  const std::uint32_t size = m_parity.partialParityBytes();
  if (size == 0) return 0;
  trace(2, kMethod, __LINE__, u"leftover parity data exist. size=0x%08X", size);
  auto parity = std::make_shared<BufferUserData>(m_parity.m_parity, size);
  resetParity();
  AllocationRequest req;
  req.parity.push_back(parity);
  req.parityBytes = size;
  std::uint32_t r = allocate_file(req, kAllocNormal, false);
  if (!r && !req.parityRanges.empty() && m_reserveWriteRange && !m_volume->reserveWriteRange(req.parityRanges.front()))
    r = QVE_RESULT_ERROR_WRITE;
  if (!r && (!m_pParityFile->isOpen() || !m_pParityFile->writeFile(parity->data(), size))) r = QVE_RESULT_ERROR_WRITE;
  if (r) trace(2, kMethod, __LINE__, u"ERROR : parity writeFile");
  else m_committedWriteSizeParity = static_cast<std::int64_t>(m_pParityFile->getPosition());
  return r ? QVE_RESULT_ERROR_WRITE : 0;
}

std::uint32_t UserDataFileIOImpl::closeImpl() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::closeImpl";
  trace(1, kMethod, __LINE__, u"closeImpl()");
  if (const std::uint32_t r = writeSynchronize()) return r;
  if (const std::uint32_t e = lastError()) {
    trace(2, kMethod, __LINE__, u"already error exist 0x%08X", e);
    return e;
  }
  if (!m_pFile) return QVE_RESULT_ERROR_REWRITE_PREPARE;
  if (const std::uint32_t r = writeLeftoverParity()) return r;
  if (const std::uint32_t r = syncWriteData()) {
    trace(2, kMethod, __LINE__, u"ERROR : syncWriteData() result=[0x%08x]", r);
    return r;
  }
  if (m_virtualFileSize != sizeOf(*m_pFile)) {
    m_pFile->close();
    if (m_pParityFile) m_pParityFile->close();
    const std::u16string path = m_pFile->getPath();
    if (!m_pFile->createFile(path, 0x40000000, 0, nullptr, 3, 0x80, nullptr) || !m_pFile->customizeFileSetting())
      return QVE_RESULT_ERROR_OPEN_ERROR;
    if (!m_pFile->isOpen()) return QVE_RESULT_ERROR_REWRITE_PREPARE;
    m_pFile->setPosition(static_cast<std::uint64_t>(m_virtualFileSize));
    m_currentFilePointer = m_virtualFileSize;
    if (const std::uint32_t r = setEndOfFileReal()) return r;
  }
  return markVolumeDirtyAtClose();
}

std::uint32_t UserDataFileIOImpl::markVolumeDirtyAtClose() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::markVolumeDirtyAtClose";
  if (!m_firstFile) return 0;
  const std::int64_t size = sizeOf(*m_pFile);
  std::uint8_t policy;
  if (size == 0) {
    policy = 0;
    trace(1, kMethod, __LINE__, u"MarkVolumeDirty at Close. file size is ZERO(fsFlushPolicy=POSTPONE)");
  } else if (m_pFile->m_appendStatus == RUVOFile::FILE_APPEND_INITIAL) {
    policy = 0;
    trace(1, kMethod, __LINE__,
          u"MarkVolumeDirty at Close. this is appending write file. but did not write(fsFlushPolicy=POSTPONE)");
  } else if (m_pFile->FORCE_FS_FLUSH_AT_CLOSE) {
    policy = 1;
    trace(1, kMethod, __LINE__, u"MarkVolumeDirty at Close. FORCE_FS_FLUSH_AT_CLOSE ON. (fsFlushPolicy=PARTIAL)");
  } else if (m_pFile->REFRAIN_FS_FLUSH_AT_CLOSE) {
    policy = 0;
    trace(1, kMethod, __LINE__, u"MarkVolumeDirty at Close. REFRAIN_FS_FLUSH_AT_CLOSE ON. (fsFlushPolicy=POSTPONE)");
  } else {
    policy = RuvoCtrlVolume::getDfltFsFlshPlcy();
    trace(1, kMethod, __LINE__, u"MarkVolumeDirty at Close. use from registry setting. fsFlushPolicy=%d", policy);
  }
  if (!m_volume->markVolumeDirty(policy)) {
    trace(2, kMethod, __LINE__, u"ERROR : delayed MDCFSCTL_MARK_VOLUME_DIRTY");
    return QVE_RESULT_ERROR_MARK_VOLUME_DIRTY;
  }
  m_closeMarkValue = static_cast<std::uint64_t>(size < 0 ? 0 : size);
  m_closeFlushPolicyOne = policy == 1;
  return 0;
}

std::uint32_t UserDataFileIOImpl::truncateOnWriteError() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::truncateOnWriteError";
  const std::uint32_t r = closeImpl();
  if (r == 0) return 0;
  if (m_pFile) {
    trace(2, kMethod, __LINE__, u"truncate to %lld byte", m_committedWriteSize);
    truncateFile(*m_pFile, m_committedWriteSize);
  }
  if (m_pParityFile) {
    trace(2, kMethod, __LINE__, u"parity file truncate to %lld byte", m_committedWriteSizeParity);
    truncateFile(*m_pParityFile, m_committedWriteSizeParity);
  }
  return r;
}

void UserDataFileIOImpl::truncateFile(RUVOFile& file, std::int64_t size) {
  if (!file.isOpen() && !file.createFile(file.getPath(), 0x40000000, 0, nullptr, 3, 0x80, nullptr)) return;
  const std::int64_t now = sizeOf(file);
  if (now > size) {
    file.setPosition(static_cast<std::uint64_t>(size));
    file.setEndOfFile();
    return;
  }
  trace(1, u"AnnulusFileIO::UserDataFileIOImpl::truncateFile", __LINE__,
        u"truncate file is no action. file size is less equal truncate_size.(%lld <= %lld)", now, size);
}

}  // namespace AnnulusFileIO
