// One written buffer: widened to whole recording units, given blocks,
// written with its parity beside it, and written again after an error.
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace AnnulusFileIO {

using namespace AnnulusFileIOErrors;
using Controller = UserDataFileIOImpl::UserDataWriteController;

namespace {

using AnnulusFileIO::trace;

constexpr const char16_t* kWrite = u"AnnulusFileIO::UserDataFileIOImpl::UserDataWriteController::writeProcImpl";
constexpr const char16_t* kAdjust =
    u"AnnulusFileIO::UserDataFileIOImpl::UserDataWriteController::rubAdjustAndAllocate";

std::uint32_t blocksOf(const std::vector<MDCFS_SPACE_ENTRY>& ranges) {
  std::uint32_t n = 0;
  for (const auto& r : ranges) n += BlocksOf(r);
  return n;
}

}  // namespace

Controller::UserDataWriteController(UserDataFileIOImpl& owner, std::shared_ptr<BufferUserData> data,
                                    LumoQVE::WriterRingBuffer*,
                                    std::vector<std::shared_ptr<BufferUserData>> parity,
                                    std::vector<std::uint64_t> body_sizes)
    : WriteControllerBase(owner),
      m_vecBodySize(std::move(body_sizes)),
      m_vecParity(std::move(parity)),
      m_pParent(owner),
      m_ringBuffer(data) {
  m_BodyInfo.m_pData = std::move(data);
}

Controller::~UserDataWriteController() {
  trace(1, u"AnnulusFileIO::UserDataFileIOImpl::UserDataWriteController::clearnup", __LINE__,
        u"m_pUserData reset size=%u", m_BodyInfo.m_pData ? m_BodyInfo.m_pData->used() : 0);
  m_BodyInfo.m_pData.reset();
  m_pParent.giveBack(m_ringBuffer);
}

std::uint64_t Controller::getWriteSize() { return m_BodyInfo.m_pData ? m_BodyInfo.m_pData->used() : 0; }

std::uint64_t Controller::parityBytes() const {
  std::uint64_t n = 0;
  for (const auto& p : m_vecParity) n += p->used();
  return n;
}

std::uint32_t Controller::retryCount() {
  return RuvoCtrlVolume::isRMedia() ? RuvoCtrlVolume::getMaxWriteRetryR() : 3;
}

bool Controller::checkDefect(bool& defect) {
  std::vector<MDCFS_SPACE_ENTRY> areas = m_BodyInfo.m_ranges;
  if (areas.empty() && m_reserved.ZoneId != -1) areas.push_back(m_reserved);
  areas.insert(areas.end(), m_parityRanges.begin(), m_parityRanges.end());
  return m_owner.chkDefect(areas, defect, m_reWriteCondition);
}

void Controller::userBufferSizeRollbackProc() {
  if (!RuvoCtrlVolume::getNewWrite() || m_widened || m_BodyInfo.m_saveDataSize == 0) return;
  trace(1, kWrite, __LINE__, u"[####]m_BodyInfo.m_saveDataSize=%lu", m_BodyInfo.m_saveDataSize);
  trace(1, kWrite, __LINE__, u"[####]m_BodyInfo.m_savePreReadSize=%lu", m_BodyInfo.m_savePreReadSize);
  m_BodyInfo.m_pData->setUsed(m_BodyInfo.m_saveDataSize);
  m_BodyInfo.m_pData->setPreReadSize(m_BodyInfo.m_savePreReadSize);
}

bool Controller::rewindBuffers() {
  if (RuvoCtrlVolume::getNewWrite())
    m_pParent.m_currentFilePointer = m_savedCurrentFilePointer;
  else
    m_pParent.m_currentFilePointer -= static_cast<std::int64_t>(m_sizeDelta);
  userBufferSizeRollbackProc();
  return true;
}

void Controller::writeCompleteProccess() {
  UserDataFileIOImpl& o = m_pParent;
  o.m_committedWriteSize = m_endPosition;
  trace(1, u"AnnulusFileIO::UserDataFileIOImpl::UserDataWriteController::writeCompleteProccess",
        __LINE__, u"committedWriteSize=%lld", o.m_committedWriteSize);
  if (!m_vecParity.empty() && m_parityPosition >= 0)
    o.m_committedWriteSizeParity = m_parityPosition + static_cast<std::int64_t>(parityBytes());
  if (o.m_pFile && o.m_pFile->m_appendStatus == RUVOFile::FILE_APPEND_INITIAL) {
    o.m_pFile->m_appendStatus = RUVOFile::FILE_APPEND_WROTE;
    trace(1, u"AnnulusFileIO::UserDataFileIOImpl::UserDataWriteController::writeCompleteProccess",
          __LINE__, u"update append status, from FILE_APPEND_INITIAL to FILE_APPEND_WROTE");
  }
}

std::vector<std::uint64_t> Controller::bufferPieces() {
  return bufferPiecesFor(m_writeStartPosition, m_BodyInfo.m_pData->used());
}

bool Controller::checkSpanInhibit() {
  UserDataFileIOImpl& o = m_pParent;
  if (!o.m_pFile || !o.m_pFile->InhibitSpanningDiscWrite) return true;
  trace(1, kWrite, __LINE__,
        u"this file has InhibitSpanningDiscWrite attribute. check of current disc free space...");
  std::uint64_t free = 0;
  if (const std::uint32_t r = o.m_usbManager->getCurruentFreeBlockBytes(free)) {
    trace(2, kWrite, __LINE__, u"getCurruentFreeBlockBytes error 0x%08X", r);
    o.setLastManagerError(r, __FILE__, __LINE__);
    return false;
  }
  if (free == 0) {
    trace(2, kWrite, __LINE__, u"current disc free space is ZERO");
    o.setLastManagerError(QVE_RESULT_ERROR_NO_FREE_BLOCKS, __FILE__, __LINE__);
    return false;
  }
  const std::uint64_t size = m_BodyInfo.m_pData->used();
  if (size <= free) return true;
  if (RuvoCtrlVolume::getGenerateParity() && o.m_pParityFile) {
    trace(2, kWrite, __LINE__, u"parity writing. current disc not enough space(write_size=%lld, remain_size=%lld)",
          size, free);
    o.setLastManagerError(QVE_RESULT_ERROR_NO_FREE_BLOCKS, __FILE__, __LINE__);
    return false;
  }
  trace(2, kWrite, __LINE__, u"current disc free space(%lld) is less than write_size(%lld)", free, size);
  // The part that fits is written; the sticky error stops every later buffer.
  m_BodyInfo.m_pData->setUsed(free);
  m_vecBodySize.assign(1, free);
  o.setLastManagerError(QVE_RESULT_ERROR_NO_FREE_BLOCKS, __FILE__, __LINE__);
  return true;
}

bool Controller::reallocateForRewrite() {
  UserDataFileIOImpl& o = m_pParent;
  UserDataFileIOImpl::AllocationRequest req;
  req.bodySizes = bufferPieces();
  req.parity = m_vecParity;
  req.bodyBytes = m_BodyInfo.m_pData->used();
  req.parityBytes = parityBytes();
  std::uint32_t r = o.allocate_file(req, UserDataFileIOImpl::kAllocUnregistered, false);
  if (!r) r = o.reallocate_file(*o.m_pFile, static_cast<std::int64_t>(m_writeStartPosition), req.bodyRanges);
  if (!r) r = o.updateFileAllocateInformation();
  if (!r && !req.parityRanges.empty() && o.m_pParityFile)
    r = o.reallocate_file(*o.m_pParityFile, m_parityPosition, req.parityRanges);
  if (r) {
    o.setLastManagerError(r, __FILE__, __LINE__);
    return false;
  }
  m_BodyInfo.m_ranges = std::move(req.bodyRanges);
  m_parityRanges = std::move(req.parityRanges);
  return true;
}

bool Controller::writeProcImpl(bool) {
  UserDataFileIOImpl& o = m_pParent;
  const bool new_write = RuvoCtrlVolume::getNewWrite();
  m_entries.clear();
  trace(1, kWrite, __LINE__, u"m_isAlreadyWrite=%d", m_isAlreadyWrite);
  if (m_isAlreadyWrite) {
    m_BodyInfo.m_ranges.clear();
    m_parityRanges.clear();
    if (!reallocateForRewrite()) return false;
  } else {
    m_BodyInfo.m_ranges.clear();
    m_parityRanges.clear();
    if (!checkSpanInhibit()) return false;
    if (!m_widened) {
      m_origSize = m_BodyInfo.m_pData->used();
      m_origPreRead = std::min(m_BodyInfo.m_pData->preReadSize(), m_origSize);
      m_sizeDelta = m_origSize - m_origPreRead;
      if (new_write && m_BodyInfo.m_saveDataSize == 0) {
        m_BodyInfo.m_saveDataSize = m_origSize;
        m_BodyInfo.m_savePreReadSize = m_origPreRead;
      }
    }
    if (const std::uint32_t r = rubAdjustAndAllocate()) {
      if (r == QVE_RESULT_ERROR_SYNC_CACHE && new_write) {
        m_requeued = true;
        return false;
      }
      o.setLastManagerError(r, __FILE__, __LINE__);
      return false;
    }
  }
  // The body file is positioned at the recording unit the data starts in.
  if (!o.m_pFile || !o.m_pFile->isOpen()) {
    o.setLastManagerError(QVE_RESULT_ERROR_SETFILEPOINTER, __FILE__, __LINE__);
    return false;
  }
  const std::uint64_t rub = UserDataFileIOImpl::rubBytes();
  const std::uint64_t position = m_bufferStart / rub * rub;
  o.m_pFile->setPosition(position);
  m_writeStartPosition = position;
  m_savedCurrentFilePointer = o.m_currentFilePointer;
  m_bodyOldFilePointerBlock = static_cast<std::uint32_t>(position / kBlockBytes);
  m_written = true;
  if (o.m_obase && !o.m_obase->updateWriteVerifyMode()) {
    trace(2, kWrite, __LINE__, u"Error updateWriteVerifyMode()");
    o.setLastManagerError(QVE_RESULT_ERROR_WRITE, __FILE__, __LINE__);
    return false;
  }
  if (!o.m_volume->enterExclusiveMode()) {
    o.setLastManagerError(QVE_RESULT_ERROR_30, __FILE__, __LINE__);
    return false;
  }
  o.m_exclusiveMode = true;
  if (!reserveRange(new_write)) return false;
  o.m_cacheDirty = true;
  if (!writeBodyAndParity()) return false;
  if (new_write && m_reWriteCondition) {
    trace(2, kWrite, __LINE__, u"ERROR: writeFile() m_currentFilePointer=[%lld] size=[%lld]",
          o.m_currentFilePointer, m_BodyInfo.m_pData->used());
    o.m_writeSucceeded = false;
    return false;
  }
  m_endPosition = static_cast<std::int64_t>(m_bufferStart + m_origSize);
  o.m_lastWrittenEnd = m_endPosition;
  o.m_currentFilePointer += static_cast<std::int64_t>(m_sizeDelta);
  o.m_virtualFileSize = std::max(o.m_virtualFileSize, o.m_currentFilePointer);
  return true;
}

bool Controller::reserveRange(bool new_write) {
  UserDataFileIOImpl& o = m_pParent;
  std::vector<MDCFS_SPACE_ENTRY> body = m_BodyInfo.m_ranges;
  if (body.empty()) o.getAllocatedArea(static_cast<std::int64_t>(m_writeStartPosition),
                                       static_cast<std::int64_t>(m_BodyInfo.m_pData->used()), body);
  if (body.empty()) return true;
  m_reserved = MakeSpaceEntry(ZoneOf(body.front()), OffsetOf(body.front()),
                              blocksOf(body) + blocksOf(m_parityRanges));
  if (o.m_pParityFile)
    m_parityOldFilePointerBlock =
        static_cast<std::uint32_t>((o.m_pParityFile->getPosition() + kBlockBytes - 1) / kBlockBytes);
  trace(1, kWrite, __LINE__, u"m_bodyOldFilePointerBlock=[%ld], m_parityOldFilePointerBlock=[%ld]",
        m_bodyOldFilePointerBlock, m_parityOldFilePointerBlock);
  if (!o.m_reserveWriteRange) return true;
  trace(1, kWrite, __LINE__,
        u"MDCFSCTL_RESERVE_WRITE_RANGE zoneId=[%u], blockOffset=[0x%08X(LBN)] (0x%08X(LSN)) numberOfBlocks=0x%08X",
        ZoneOf(m_reserved), OffsetOf(m_reserved), OffsetOf(m_reserved), BlocksOf(m_reserved));
  if (!o.m_volume->reserveWriteRange(m_reserved)) {
    m_reWriteCondition = 3;
    if (new_write) {
      trace(2, kWrite, __LINE__, u"ERROR: u2ReserveWriteRange() m_currentFilePointer=[%lld]",
            o.m_currentFilePointer);
      o.m_writeSucceeded = false;
      return false;
    }
    return true;
  }
  if (!new_write) return true;
  trace(1, kWrite, __LINE__, u"m_writeControllerEnd size=%u", o.m_writeControllerEnd.size());
  if (RuvoCtrlVolume::getRSVNum() != 0 && o.m_writeControllerEnd.size() >= RuvoCtrlVolume::getRSVNum()) {
    std::shared_ptr<WriteControllerBase> c = o.m_writeControllerEnd.front();
    o.m_writeControllerEnd.pop_front();
    o.completeWriteController(c);
    trace(1, kWrite, __LINE__, u"m_writeControllerEnd pop");
  }
  return true;
}

bool Controller::writeBodyAndParity() {
  UserDataFileIOImpl& o = m_pParent;
  BufferUserData& data = *m_BodyInfo.m_pData;
  const std::vector<std::uint64_t> pieces = bufferPieces();
  std::uint64_t offset = 0;
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    std::uint64_t size = pieces[k];
    if (!writeFile(*o.m_pFile, data, offset, size)) {
      trace(2, kWrite, __LINE__, u"ERROR: writeFile() m_currentFilePointer=[%lld], size[%lld]",
            o.m_currentFilePointer, pieces[k]);
      return false;
    }
    offset += pieces[k];
    if (k >= m_vecParity.size() || !o.m_pParityFile) continue;
    if (k == 0) {
      if (!o.m_pParityFile->isOpen()) {
        o.setLastManagerError(QVE_RESULT_ERROR_SETFILEPOINTER, __FILE__, __LINE__);
        return false;
      }
      if (m_isAlreadyWrite && m_parityPosition >= 0)
        o.m_pParityFile->setPosition(static_cast<std::uint64_t>(m_parityPosition));
      m_parityPosition = static_cast<std::int64_t>(o.m_pParityFile->getPosition());
    }
    std::uint64_t psize = m_vecParity[k]->used();
    if (!writeFile(*o.m_pParityFile, *m_vecParity[k], 0, psize)) return false;
  }
  return true;
}

std::uint32_t Controller::rubAdjustAndAllocate() {
  UserDataFileIOImpl& o = m_pParent;
  const std::uint64_t rub = UserDataFileIOImpl::rubBytes();
  // The buffer holds the file from the current position less its pre-read head.
  const std::uint64_t cur = static_cast<std::uint64_t>(o.m_currentFilePointer);
  m_bufferStart = cur - std::min(cur, m_origPreRead);
  const std::uint64_t start = m_bufferStart / rub * rub;
  const std::uint64_t data_end = m_bufferStart + m_origSize;
  const std::uint64_t end = (data_end + rub - 1) / rub * rub;
  const bool start_aligned = start == m_bufferStart;
  const bool end_aligned = end == data_end;
  const std::uint64_t area = end - start;
  m_writeStartPosition = start;
  trace(1, kAdjust, __LINE__,
        u"[####]currentFilePointer=%lld, dataSize=%u, write_start_point=%lld, write_end_point=%lld, write_area_size=%u",
        cur, m_origSize, start, end, area);
  const std::uint64_t allocated = static_cast<std::uint64_t>(o.m_fileAllocatedSize);
  const bool initial = o.m_pFile && o.m_pFile->m_appendStatus == RUVOFile::FILE_APPEND_INITIAL;
  if (RuvoCtrlVolume::isRMedia() && start != allocated && !initial) {
    trace(2, kAdjust, __LINE__,
          u"Not sequential write (R Media-UserData) write_start_poin=%lld,fileAllocatedSize=%lld ", start,
          allocated);
    return QVE_RESULT_ERROR_NOT_SEQUENTIAL;
  }
  UserDataFileIOImpl::AllocationRequest req;
  req.parity = m_vecParity;
  req.parityBytes = parityBytes();
  if (initial && start != allocated) {
    if (start > allocated) {
      trace(2, kAdjust, __LINE__,
            u"write start position is over the end-of-file. (append write) write_start_poin=%lld,fileAllocatedSize=%lld ",
            start, allocated);
      return QVE_RESULT_ERROR_NOT_SEQUENTIAL;
    }
    if (end > allocated) {
      UserDataFileIOImpl::AllocationRequest dummy;
      dummy.bodyBytes = end - allocated;
      trace(1, kAdjust, __LINE__, u"dummy allocation(append write). dummy_size=%u", dummy.bodyBytes);
      if (std::uint32_t r = o.allocate_file(dummy, UserDataFileIOImpl::kAllocDummy, true)) return r;
    }
    req.bodyBytes = area;
    if (std::uint32_t r = o.allocate_file(req, UserDataFileIOImpl::kAllocUnregistered, false)) return r;
    trace(1, kAdjust, __LINE__, u"REALLOCATE_FILE_RANGE(append write). start_point=%lld, size=%u", start, area);
    if (std::uint32_t r = o.reallocate_file(*o.m_pFile, static_cast<std::int64_t>(start), req.bodyRanges))
      return r;
    if (std::uint32_t r = o.updateFileAllocateInformation()) return r;
  } else {
    trace(1, kAdjust, __LINE__, u"file allocated size(append write) = %lld", allocated);
    req.bodyBytes = end > allocated ? end - allocated : 0;
    // Blocks of the pieces past what the file already owns.
    std::uint64_t skip = allocated > start ? allocated - start : 0;
    for (std::uint64_t p : bufferPiecesFor(start, area)) {
      const std::uint64_t cut = std::min(skip, p);
      skip -= cut;
      req.bodySizes.push_back(p - cut);
    }
    if (!RuvoCtrlVolume::getGenerateParity() || !o.m_pParityFile) {
      req.parity.clear();
      req.parityBytes = 0;
    }
    const std::int64_t stripe = kel::WriterParityConstants().DataSymbolsBytes;
    const bool at_stripe_start = stripe > 0 && static_cast<std::int64_t>(cur) % stripe == 0;
    if (req.bodyBytes || req.parityBytes)
      if (std::uint32_t r = o.allocate_file(req, UserDataFileIOImpl::kAllocNormal, at_stripe_start)) return r;
  }
  m_BodyInfo.m_ranges = std::move(req.bodyRanges);
  m_parityRanges = std::move(req.parityRanges);
  if (start_aligned && end_aligned) return 0;
  return readFileExistingArea(area, start, start_aligned, end, end_aligned);
}

std::vector<std::uint64_t> Controller::bufferPiecesFor(std::uint64_t start, std::uint64_t area) {
  // As bufferPieces, for the widened buffer not built yet.
  std::vector<std::uint64_t> pieces;
  std::uint64_t at = 0;
  const std::uint64_t head = m_bufferStart - start;
  for (std::size_t k = 0; k + 1 < m_vecBodySize.size() && k < m_vecParity.size(); ++k) {
    const std::uint64_t end = std::min(area, (k == 0 ? head : 0) + at + m_vecBodySize[k]);
    pieces.push_back(end - at);
    at = end;
  }
  pieces.push_back(area - at);
  return pieces;
}

std::uint32_t Controller::readFileExistingArea(std::uint64_t area, std::uint64_t start, bool start_aligned,
                                               std::uint64_t end, bool end_aligned) {
  static constexpr const char16_t* kMethod =
      u"AnnulusFileIO::UserDataFileIOImpl::UserDataWriteController::readFileExistingArea";
  UserDataFileIOImpl& o = m_pParent;
  const std::uint64_t rub = UserDataFileIOImpl::rubBytes();
  auto widened = std::make_shared<BufferUserData>();
  try {
    widened->resize(area);
  } catch (const std::exception& e) {
    trace(2, kMethod, __LINE__, u"exception what=%hs", e.what());
    return QVE_RESULT_ERROR_PARITY;
  }
  trace(1, kMethod, __LINE__, u"buffer new size = %u", area);
  std::memset(widened->data(), 0, area);
  if (!o.m_pFile || !o.m_pFile->isOpen()) return QVE_RESULT_ERROR_SETFILEPOINTER;
  const std::uint64_t size = o.m_pFile->getFileSize();
  const std::uint64_t file_size = size == ~std::uint64_t{0} ? 0 : size;
  auto readRub = [&](std::uint64_t at, std::uint8_t* to) {
    std::uint64_t got = 0;
    o.m_pFile->setPosition(at);
    return o.m_pFile->readFile(to, rub, got);
  };
  if (!start_aligned && start < file_size && !readRub(start, widened->data()))
    return QVE_RESULT_ERROR_READ;
  const std::uint64_t tail = end - rub;
  if (!end_aligned && (start_aligned || start != tail) && tail < file_size &&
      !readRub(tail, widened->data() + area - rub))
    return QVE_RESULT_ERROR_READ;
  // The data goes where it lies in the file, also when nothing was read.
  std::memcpy(widened->data() + (m_bufferStart - start), m_BodyInfo.m_pData->data(), m_origSize);
  widened->setUsed(area);
  widened->setBusy(true);
  m_BodyInfo.m_pData = widened;
  m_widened = true;
  m_pParent.giveBack(m_ringBuffer);
  return 0;
}

}  // namespace AnnulusFileIO
