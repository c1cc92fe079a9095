// The files of the low-level writer: binding and block allocation, reading
// back what is written, end of file, close and the cut after a failure.
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"

#include <algorithm>
#include <cstring>

namespace AnnulusFileIO {

using namespace AnnulusFileIOErrors;
using Controller = UserDataFileIOImpl::UserDataWriteController;

namespace {

using AnnulusFileIO::trace;

constexpr std::uint64_t kAllOnes = ~std::uint64_t{0};

std::uint32_t blocks(std::uint64_t bytes) { return WriterBase::blocksOfBytes(bytes); }

// The margins of the free-space manager are zero while a write inside a
// parity stripe takes its blocks, and back afterwards on every path.
class MarginReseter {
 public:
  MarginReseter(USBManager& manager, bool at_stripe_start) : m_manager(manager), m_active(!at_stripe_start) {
    static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::allocate_file";
    if (!m_active) return;
    trace(1, kMethod, __LINE__, u"set disc margin block zero.");
    m_manager.setFreeSpaceInfo({8608, 15, 0, 0});
    if (RuvoCtrlVolume::getDiscSpanThld() != 0) {
      trace(1, kMethod, __LINE__, u"set tDiscSpanThld zero.");
      m_manager.setDiscMarginBlocksFromDiscSpanThld(0);
    }
  }
  ~MarginReseter() {
    static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::allocate_file";
    if (!m_active) return;
    trace(1, kMethod, __LINE__, u"restore disc margin block.");
    const bool r = RuvoCtrlVolume::isRMedia();
    m_manager.setFreeSpaceInfo({8608, 15, r ? RuvoCtrlVolume::getDiscFullMarginBlocks() : 0u,
                                r ? RuvoCtrlVolume::getDiscFullMarginBlocksForLastDisc() : 0u});
    if (RuvoCtrlVolume::getDiscSpanThld() != 0) {
      trace(1, kMethod, __LINE__, u"restore tDiscSpanThld.");
      m_manager.setDiscMarginBlocksFromDiscSpanThld(RuvoCtrlVolume::getDiscSpanThld());
    }
  }
  MarginReseter(const MarginReseter&) = delete;
  MarginReseter& operator=(const MarginReseter&) = delete;

 private:
  USBManager& m_manager;
  bool m_active;
};

}  // namespace

// ---------------------------------------------------------------- binding

std::uint32_t UserDataFileIOImpl::setFile(std::shared_ptr<RUVOFile> body, std::shared_ptr<RUVOFile> parity) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::setFile";
  m_pFile = std::move(body);
  m_pParityFile = std::move(parity);
  if (const std::uint32_t r = filesizeSetup()) return r;
  m_reserveWriteRange = m_mode != 2;
  std::uint64_t id = 0;
  if (!m_pFile || !m_pFile->getUniqueId(id)) {
    trace(2, kMethod, __LINE__, u"ERROR : ::GetInfo() GetLastError()=0x%08X\n",
          m_pFile ? m_pFile->m_dwErrorCode : 6u);
    return QVE_RESULT_ERROR_FILE_INFORMATION;
  }
  m_fileUniqueID = static_cast<std::int64_t>(id);
  trace(1, kMethod, __LINE__, u"m_fileUniqueID=%lld", m_fileUniqueID);
  if (!m_firstFile) m_volumeMarked = true;
  return 0;
}

void UserDataFileIOImpl::resetFiles(std::shared_ptr<RUVOFile> body, std::shared_ptr<RUVOFile> parity) {
  m_pFile = std::move(body);
  m_pParityFile = std::move(parity);
  m_firstFile = false;
  m_volumeMarked = true;
  m_currentFilePointer = 0;
  m_errorLock.lock();
  m_lastError = RecordedError{};
  m_errorLock.unlock();
}

std::uint32_t UserDataFileIOImpl::filesizeSetup() {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::filesizeSetup";
  m_allocation.clear();
  const std::uint64_t size = m_pFile ? m_pFile->getFileSize() : kAllOnes;
  if (size > static_cast<std::uint64_t>(INT64_MAX)) return QVE_RESULT_ERROR_GET_FILE_SIZE;
  m_fileAllocatedSize = m_virtualFileSize = m_committedWriteSize = static_cast<std::int64_t>(size);
  trace(1, kMethod, __LINE__, u"m_committedWriteSize=%lld", m_committedWriteSize);
  m_committedWriteSizeParity = 0;
  if (m_pParityFile) {
    const std::uint64_t p = m_pParityFile->getFileSize();
    if (p > static_cast<std::uint64_t>(INT64_MAX)) return QVE_RESULT_ERROR_GET_FILE_SIZE;
    m_committedWriteSizeParity = static_cast<std::int64_t>(p);
    trace(2, kMethod, __LINE__, u"m_committedWriteSizeParity=%lld", m_committedWriteSizeParity);
  }
  return size == 0 ? 0 : updateFileAllocateInformation();
}

std::uint32_t UserDataFileIOImpl::updateFileAllocateInformation() {
  m_allocation.clear();
  if (!m_pFile || !m_pFile->getFileAllocationAll(m_allocation)) {
    trace(2, u"AnnulusFileIO::UserDataFileIOImpl::updateFileAllocateInformation", __LINE__,
          u"ERROR : getFileAllocationAll() error\n");
    return QVE_RESULT_ERROR_1D;
  }
  std::int64_t total = 0;
  for (const auto& e : m_allocation) total += std::int64_t{BlocksOf(e)} * kBlockBytes;
  m_fileAllocatedSize = total;
  return 0;
}

std::uint32_t UserDataFileIOImpl::getBlockFromBytes(std::uint64_t bytes, MDCFS_SPACE_ENTRY& area,
                                                    std::uint32_t allocated_blocks, WriterBase*) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::getBlockFromBytes";
  if (m_pFile && m_pFile->InhibitSpanningDiscWrite && m_usbManager) {
    std::uint64_t free = 0;
    if (const std::uint32_t r = m_usbManager->getCurruentFreeBlockBytes(free)) {
      trace(2, kMethod, __LINE__, u"getCurruentFreeBlockBytes error 0x%08X", r);
      setLastManagerError(r, __FILE__, __LINE__);
      return r;
    }
    if (free == 0) {
      trace(2, kMethod, __LINE__, u"InhibitSpanningDiscWrite. current disc free space is ZERO");
      return QVE_RESULT_ERROR_NO_FREE_BLOCKS;
    }
  }
  return WriterBase::getBlockFromBytes(bytes, area, allocated_blocks, this);
}

std::uint32_t UserDataFileIOImpl::allocate_file(AllocationRequest& req, int mode, bool at_stripe_start) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::allocate_file";
  const std::uint32_t body_blocks = blocks(req.bodyBytes);
  std::uint32_t parity_blocks = 0;
  for (const auto& p : req.parity) parity_blocks += blocks(p->used());
  if (req.parity.empty()) parity_blocks = blocks(req.parityBytes);
  const std::uint64_t allocsize = (std::uint64_t{body_blocks} + parity_blocks) * kBlockBytes;
  trace(1, kMethod, __LINE__, u"fileAllocatedSize=%lld m_currentFilePointer=%lld allocatesize=%lld",
        m_fileAllocatedSize, m_currentFilePointer, allocsize);
  if (!m_usbManager) return QVE_RESULT_ERROR_INVALID_ARGUMENT;
  MarginReseter margins(*m_usbManager, at_stripe_start);
  MDCFS_SPACE_ENTRY run = MakeSpaceEntry(0xFFFFFFFFu, static_cast<std::uint32_t>(m_fileAllocatedSize / kBlockBytes), 0);
  if (mode != kAllocDummy && allocsize > 0) {
    if (!at_stripe_start) {
      std::uint64_t free = 0;
      if (const std::uint32_t r = m_usbManager->getCurruentFreeBlockBytes(free)) {
        trace(2, kMethod, __LINE__, u"getCurruentFreeBlockBytes error 0x%08X", r);
        setLastManagerError(r, __FILE__, __LINE__);
        return r;
      }
      if (free < allocsize) {
        trace(2, kMethod, __LINE__, u"There is not enough free space. freeBytes=%lld allocatesize=%lld", free,
              allocsize);
        return QVE_RESULT_ERROR_NO_FREE_BLOCKS;
      }
    }
    if (const std::uint32_t r = getBlockFromBytes(allocsize, run, m_cacheDirty ? 1u : 0u, this)) return r;
    if (BlocksOf(run) < allocsize / kBlockBytes) return QVE_RESULT_ERROR_NO_FREE_BLOCKS;
  }
  // Body pieces and parity buffers in file order from one run of blocks.
  std::uint32_t at = OffsetOf(run);
  std::uint32_t body_left = body_blocks;
  std::uint32_t parity_at = mode == kAllocDummy ? static_cast<std::uint32_t>(m_committedWriteSizeParity / kBlockBytes) : 0;
  auto take = [&](std::vector<MDCFS_SPACE_ENTRY>& out, std::uint32_t n, bool parity) {
    if (n == 0) return;
    const std::uint32_t offset = mode == kAllocDummy ? (parity ? parity_at : at) : at;
    out.push_back(MakeSpaceEntry(ZoneOf(run), offset, n));
    if (mode == kAllocDummy && parity) parity_at += n;
    else at += n;
  };
  const std::size_t pieces = req.bodySizes.size();
  for (std::size_t k = 0; k < std::max<std::size_t>(pieces, 1); ++k) {
    const bool last = k + 1 >= pieces;
    const std::uint32_t n = last ? body_left : std::min(body_left, blocks(req.bodySizes[k]));
    take(req.bodyRanges, n, false);
    body_left -= n;
    if (k < req.parity.size()) take(req.parityRanges, blocks(req.parity[k]->used()), true);
  }
  for (std::size_t k = std::max<std::size_t>(pieces, 1); k < req.parity.size(); ++k)
    take(req.parityRanges, blocks(req.parity[k]->used()), true);
  if (req.parity.empty()) take(req.parityRanges, parity_blocks, true);
  if (mode != kAllocUnregistered) {
    for (const auto& e : req.bodyRanges)
      if (!m_pFile || !m_pFile->addFileAllocation(e)) return QVE_RESULT_ERROR_ADD_FILE_ALLOCATION;
    for (const auto& e : req.parityRanges)
      if (!m_pParityFile || !m_pParityFile->addFileAllocation(e)) return QVE_RESULT_ERROR_ADD_FILE_ALLOCATION;
    m_allocation.insert(m_allocation.end(), req.bodyRanges.begin(), req.bodyRanges.end());
    m_fileAllocatedSize += std::int64_t{body_blocks} * kBlockBytes;
  }
  return 0;
}

std::uint32_t UserDataFileIOImpl::reallocate_file(RUVOFile& file, std::int64_t position,
                                                  const std::vector<MDCFS_SPACE_ENTRY>& ranges) {
  std::uint32_t block = static_cast<std::uint32_t>(position / kBlockBytes);
  for (const auto& r : ranges) {
    if (!file.reallocateFileRange(block, r)) {
      trace(2, u"AnnulusFileIO::UserDataFileIOImpl::reallocate_file", __LINE__,
            u"ERROR : reallocateFileRange() error\n");
      return QVE_RESULT_ERROR_2A;
    }
    block += BlocksOf(r);
  }
  return 0;
}

void UserDataFileIOImpl::getAllocatedArea(std::int64_t start, std::int64_t size,
                                          std::vector<MDCFS_SPACE_ENTRY>& out) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::getAllocatedArea";
  trace(1, kMethod, __LINE__, u"start_pointer=%lld, size=%lld, fileAllocatedSize=%lld", start, size,
        m_fileAllocatedSize);
  if (start < 0 || size <= 0) return;
  std::int64_t at = 0;
  std::int64_t want = (size + kBlockBytes - 1) / kBlockBytes;
  for (const auto& e : m_allocation) {
    const std::int64_t n = BlocksOf(e);
    const std::int64_t end = at + n * kBlockBytes;
    if (end > start && want > 0) {
      const std::int64_t skip = start > at ? (start - at) / kBlockBytes : 0;
      const std::int64_t take = std::min(n - skip, want);
      out.push_back(MakeSpaceEntry(ZoneOf(e), OffsetOf(e) + static_cast<std::uint32_t>(skip),
                                   static_cast<std::uint32_t>(take)));
      trace(1, kMethod, __LINE__, u"zone=%d, startBlock=0x%X, numBlocks=0x%X", ZoneOf(e),
            OffsetOf(out.back()), BlocksOf(out.back()));
      want -= take;
    }
    at = end;
  }
}

// ---------------------------------------------------------------- reading

std::uint32_t UserDataFileIOImpl::read(void* buffer, std::uint32_t bytes, std::uint32_t& bytes_read) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::read";
  bytes_read = 0;
  trace(1, kMethod, __LINE__, u"start bytesToRead_=[%u] currentFilePointer=[%lld]", bytes, m_currentFilePointer);
  if (const std::uint32_t r = writeSynchronize()) return r;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint64_t got = 0;
  std::uint32_t result = 0;
  if (RuvoCtrlVolume::getNewWrite()) {
    std::uint64_t disc = bytes, from_buffer = 0;
    if (!m_writeControllerEnd.empty()) {
      const std::int64_t start =
          std::int64_t{static_cast<Controller&>(*m_writeControllerEnd.front()).m_bodyOldFilePointerBlock} * kBlockBytes;
      trace(1, kMethod, __LINE__, u"m_currentFilePointer=[%lld], witerBuffer_start_pointer=[%lld]",
            m_currentFilePointer, start);
      if (m_currentFilePointer >= start) {
        disc = 0;
        from_buffer = bytes;
      } else if (m_currentFilePointer + bytes > start) {
        disc = static_cast<std::uint64_t>(start - m_currentFilePointer);
        from_buffer = bytes - disc;
      }
    }
    trace(1, kMethod, __LINE__, u"new write checkReadType() readType=[%d] bytesToRead_Disc=[%u] bytesToRead_WriteBuffer=[%u]",
          disc == 0 ? TYPE_BUFFER_ONLY : from_buffer ? TYPE_DISC_AND_BUFFER : TYPE_DISC_ONLY, disc, from_buffer);
    if (disc) result = readFromDisc(out, disc, got);
    if (result) {
      trace(2, kMethod, __LINE__, u"readFromDisc() error result=[0x%08x]", result);
      return result;
    }
    if (from_buffer) readFromWriteBuffer(out + got, from_buffer, got);
  } else {
    trace(1, kMethod, __LINE__, u"old write ");
    result = readFromDisc(out, bytes, got);
    if (result) trace(2, kMethod, __LINE__, u"readFromDisc() error result=[0x%08x]", result);
  }
  // Bytes of the file that have no blocks yet read as zeros.
  if (got < bytes && m_currentFilePointer >= m_fileAllocatedSize && m_currentFilePointer < m_virtualFileSize) {
    const std::uint64_t z = std::min<std::uint64_t>(bytes - got, m_virtualFileSize - m_currentFilePointer);
    std::memset(out + got, 0, z);
    m_currentFilePointer += static_cast<std::int64_t>(z);
    got += z;
  }
  bytes_read = static_cast<std::uint32_t>(got);
  trace(1, kMethod, __LINE__, u"end bytesToRead_=[%u] bytesRead_=[%u]", bytes, bytes_read);
  return result;
}

std::uint32_t UserDataFileIOImpl::readFromDisc(std::uint8_t* out, std::uint64_t n, std::uint64_t& got) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::readFromDisc";
  trace(1, kMethod, __LINE__, u"bytesToRead_=%u virtualFileSize=%lld currentFilePointer=%lld fileAllocatedSize=%lld",
        n, m_virtualFileSize, m_currentFilePointer, m_fileAllocatedSize);
  if (m_currentFilePointer >= m_virtualFileSize) {
    trace(1, kMethod, __LINE__, u"m_currentFilePointer=%lld >= m_virtualFileSize=%lld", m_currentFilePointer,
          m_virtualFileSize);
    return 0;
  }
  if (!m_pFile || !m_pFile->isOpen()) return QVE_RESULT_ERROR_SETFILEPOINTER;
  const std::uint64_t rub = rubBytes();
  const std::uint64_t cur = static_cast<std::uint64_t>(m_currentFilePointer);
  std::uint64_t pos = cur / rub * rub;
  const std::uint64_t to = (cur + n + rub - 1) / rub * rub;
  std::uint64_t cap = static_cast<std::uint64_t>(std::max<std::int64_t>(m_pWriteBuffer->capacity(), 0)) / rub * rub;
  if (cap == 0) {
    m_pWriteBuffer->resize(rub);
    cap = rub;
  }
  m_pFile->setPosition(pos);
  std::uint64_t skip = cur - pos;
  std::uint64_t want = n;
  while (pos < to && want > 0 && m_currentFilePointer < m_virtualFileSize) {
    const std::uint64_t len = std::min(cap, to - pos);
    std::uint64_t done = 0;
    if (!m_pFile->readFile(m_pWriteBuffer->data(), len, done)) return QVE_RESULT_ERROR_READ;
    const std::uint64_t avail = done > skip ? done - skip : 0;
    const std::uint64_t c = std::min({avail, want, static_cast<std::uint64_t>(m_virtualFileSize - m_currentFilePointer)});
    std::memcpy(out + got, m_pWriteBuffer->data() + skip, c);
    got += c;
    want -= c;
    m_currentFilePointer += static_cast<std::int64_t>(c);
    skip = skip > done ? skip - done : 0;
    pos += len;
    if (done < len) break;
  }
  return 0;
}

void UserDataFileIOImpl::readFromWriteBuffer(std::uint8_t* out, std::uint64_t n, std::uint64_t& got) {
  static constexpr const char16_t* kMethod = u"AnnulusFileIO::UserDataFileIOImpl::readFromWriteBuffer";
  trace(1, kMethod, __LINE__, u"start bytesToRead_=[%u] bytesRead_=[%u]", n, got);
  std::uint64_t copied = 0;
  for (const auto& base : m_writeControllerEnd) {
    if (copied >= n) break;
    Controller& c = static_cast<Controller&>(*base);
    const std::int64_t start = std::int64_t{c.m_bodyOldFilePointerBlock} * kBlockBytes;
    const std::int64_t end = std::min<std::int64_t>(c.m_endPosition, m_virtualFileSize);
    if (m_currentFilePointer < start || m_currentFilePointer >= end) continue;
    const std::uint64_t k = std::min<std::uint64_t>(n - copied, end - m_currentFilePointer);
    std::memcpy(out + copied, c.m_BodyInfo.m_pData->data() + (m_currentFilePointer - start), k);
    copied += k;
    m_currentFilePointer += static_cast<std::int64_t>(k);
  }
  got += copied;
  trace(1, kMethod, __LINE__, u"end bytesToRead_=[%u] byteBuffReadSize=[%lld] bytesRead_=[%u]", n, copied, got);
}

}  // namespace AnnulusFileIO
