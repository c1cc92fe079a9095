// The ghost file writer: a file of a packed session. Its data and parity go
// into the proxy file; at close it gets a placeholder allocation of its size
// until the division gives it the proxy's blocks.
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>

namespace LumoQVE {

using AnnulusFileIO::BufferUserData;
using AnnulusFileIO::RUVOFile;
using AnnulusFileIO::UserDataFileIOImpl;
using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

std::uint64_t rub() { return UserDataFileIOImpl::rubBytes(); }
std::uint64_t paddedSize(std::uint64_t n) { return ProxyWriter::paddedBytes(n); }

}  // namespace

GhostFileWriter::GhostFileWriter(UserDataFileIO* owner, std::uint32_t total_symbols, std::uint32_t data_symbols,
                                 std::uint32_t symbol_bytes)
    : FileWriterBase(owner, 3),
      m_parity_calculator(std::make_unique<Util::CalcParity>(total_symbols, data_symbols, symbol_bytes)) {}

GhostFileWriter::~GhostFileWriter() = default;

std::uint32_t GhostFileWriter::initialize(const std::shared_ptr<UserDataFileIOImpl>& impl) {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::initialize";
  trace(1, kMethod, __LINE__, u"ghost file initialie start...");
  PackedSession* session = PackedSession::current();
  bool opened = false;
  m_proxy = session ? session->openOrJoin(&opened) : nullptr;
  if (!m_proxy) return QVE_RESULT_ERROR_NO_CREATEFILE;
  if (opened) {
    if (const std::uint32_t r = m_proxy->setUserDataFileIOImpl(m_root, impl, m_obase)) {
      // A session that could not start is no session.
      session->discard(m_proxy);
      m_proxy.reset();
      return r;
    }
  }
  if (const std::uint32_t r = m_ring->sizeBuffers(kBufferBytes)) return r;
  std::uint64_t id = 0;
  if (!m_file || !m_file->getUniqueId(id) || static_cast<std::int64_t>(id) < 0) return QVE_RESULT_ERROR_FILE_INFORMATION;
  m_bodyFileIndex = static_cast<std::int64_t>(id);
  if (m_parityFile) {
    if (!m_parityFile->getUniqueId(id) || static_cast<std::int64_t>(id) < 0) return QVE_RESULT_ERROR_FILE_INFORMATION;
    m_parityFileIndex = static_cast<std::int64_t>(id);
  }
  // Where the file is: no request moves a file while its session is open.
  std::string host_path;
  if (!m_file->getRealPath(host_path)) host_path.clear();
  if (const std::uint32_t r = m_proxy->start(m_file->getPath(), m_parityFile ? m_parityFile->getPath() : u"",
                                             m_bodyFileIndex, m_parityFileIndex, host_path))
    return r;
  m_ghost = m_proxy->currentGhost();
  trace(1, kMethod, __LINE__, u"ghost file initialie success.");
  return 0;
}

// The parity of a complete stripe, and at the file's end that of its last,
// partial stripe (its bytes rounded up to whole symbols), appended to out;
// the bytes count in the parity total. Answers the bytes appended.
std::size_t GhostFileWriter::takeParity(bool last, std::vector<std::uint8_t>& out) {
  Util::CalcParity& c = *m_parity_calculator;
  const std::size_t before = out.size();
  if (c.m_stripeComplete) {
    out.insert(out.end(), c.m_parity, c.m_parity + c.m_parityBytes);
    c.swapBuffers();
    c.m_stripeComplete = 0;
    c.m_taken = 1;
  }
  if (last && c.m_stripePosition > 0) out.insert(out.end(), c.m_parity, c.m_parity + c.partialParityBytes());
  if (last) c.reset();
  const std::size_t n = out.size() - before;
  if (n > 0)
    trace(1, u"LumoQVE::GhostFileWriter::flushBuffer", __LINE__, u"parity data exist! : paritySymbolSize=0x%08X",
          static_cast<std::uint32_t>(n));
  m_parityFileTotalBytes += static_cast<std::int64_t>(n);
  return n;
}

std::uint32_t GhostFileWriter::flushBuffer(const std::shared_ptr<BufferUserData>& buffer) {
  if (m_ring->peekCurrent() == buffer) m_ring->clearCurrent();
  const std::uint64_t size = buffer->used();
  m_bodyFileTotalBytes += static_cast<std::int64_t>(size);
  // The parity taken from the calculator on its way into the proxy; kept
  // for the next file so that its room is not asked of the allocator again.
  static thread_local std::vector<std::uint8_t> gathered;
  gathered.clear();
  if (m_parityFile) {
    Util::CalcParity& c = *m_parity_calculator;
    std::uint64_t at = 0;
    // One addition crosses at most one stripe end: feed stripe by stripe.
    while (at < size) {
      const std::uint64_t n = std::min<std::uint64_t>(size - at, c.m_stripeBytes - c.m_stripePosition);
      std::size_t divided = 0;
      c.addDataSymbol(buffer->data() + at, n, divided);
      at += n;
      const bool last = buffer->m_isWhenClose && at == size;
      if (c.m_stripeComplete || last) takeParity(last, gathered);
    }
  }
  return m_proxy->write(buffer, gathered.data(), gathered.size());
}

std::uint32_t GhostFileWriter::write(const void* data, std::uint32_t length, std::uint32_t* written) {
  const std::uint32_t r = FileWriterBase::write(data, length, written);
  if (r) return r;
  // A full buffer goes to the proxy at once, so that the file's last
  // buffer is a partial one or none.
  std::shared_ptr<BufferUserData> b = m_ring->peekCurrent();
  if (b && b->used() >= static_cast<std::uint64_t>(b->capacity())) return flushBuffer(b);
  return 0;
}

std::uint32_t GhostFileWriter::flush(bool when_close) {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::flush";
  trace(1, kMethod, __LINE__, u"ghost file flush start...");
  if (!m_proxy) return QVE_RESULT_ERROR_NO_CREATEFILE;
  std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
  if (!b) {
    trace(2, kMethod, __LINE__, u"riingBuffer empty");
    return QVE_RESULT_ERROR_NO_BUFFER;
  }
  m_ring->clearCurrent();
  if (b->used() > 0) {
    if (when_close) b->m_isWhenClose = true;
    trace(1, kMethod, __LINE__, u"BufferUserData::m_isWhenClose=%hs", b->m_isWhenClose ? "true" : "false");
    return flushBuffer(b);
  }
  trace(1, kMethod, __LINE__, u"this buffer is clean.");
  if (m_parityFile && when_close) {
    std::vector<std::uint8_t> parity;
    if (takeParity(true, parity) > 0) return m_proxy->writeParity(parity.data(), parity.size());
  }
  return 0;
}

std::uint32_t GhostFileWriter::dummyAllocationSetup(RUVOFile& file, std::int64_t bytes) {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::dummyAllocationSetup";
  trace(1, kMethod, __LINE__, u"dummy allocation and SetEndOf start...");
  const std::uint64_t unit = rub() / 2048;
  const std::uint64_t blocks = ((static_cast<std::uint64_t>(bytes) + 2047) / 2048 + unit - 1) / unit * unit;
  if (blocks > 0x7FFFFFFF) return QVE_RESULT_ERROR_PARAMETERS;
  trace(1, kMethod, __LINE__, u"[####]addFileAllocation(m_zoneId=%d, m_numBlocks=%d, size=%d", -1,
        static_cast<int>(blocks), static_cast<int>(bytes));
  if (!file.addFileAllocation(AnnulusFileIO::MakeSpaceEntry(0xFFFFFFFFu, 0, static_cast<std::uint32_t>(blocks)))) {
    trace(2, kMethod, __LINE__, u"AnnulusFileIOErrors::QVE_RESULT_ERROR_ADD_FILE_ALLOCATION");
    return QVE_RESULT_ERROR_ADD_FILE_ALLOCATION;
  }
  auto setEnd = [&](std::uint64_t at) -> std::uint32_t {
    if (!file.isOpen()) {
      trace(2, kMethod, __LINE__, u"AnnulusFileIOErrors::QVE_RESULT_ERROR_SETFILEPOINTER");
      return QVE_RESULT_ERROR_SETFILEPOINTER;
    }
    file.setPosition(at);
    if (!file.setEndOfFile()) {
      trace(2, kMethod, __LINE__, u"AnnulusFileIOErrors::QVE_RESULT_ERROR_SETENDOFFILE");
      return QVE_RESULT_ERROR_SETENDOFFILE;
    }
    return 0;
  };
  if (const std::uint32_t r = setEnd(blocks * 2048)) return r;
  file.close();
  if (!file.createFile(file.getPath(), 0x40000000, 0, nullptr, 3, 0x80, nullptr)) {
    trace(2, kMethod, __LINE__,
          u"file->createFile() error GetLastError()=0x%08X, return(AnnulusFileIOErrors::QVE_RESULT_ERROR_OPEN_ERROR=0x%08x)",
          static_cast<std::uint32_t>(GetLastError()), QVE_RESULT_ERROR_OPEN_ERROR);
    return QVE_RESULT_ERROR_OPEN_ERROR;
  }
  if (const std::uint32_t r = setEnd(static_cast<std::uint64_t>(bytes))) return r;
  trace(1, kMethod, __LINE__, u"dummy allocation and SetEndOf success.");
  return 0;
}

std::uint32_t GhostFileWriter::close(bool) {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::close";
  if (!m_proxy || !m_file) return QVE_RESULT_ERROR_NO_CREATEFILE;
  // Data still in the ring belongs to the file: it goes to the proxy first.
  if (m_proxy->lastError() == 0)
    if (const std::uint32_t r = flush(true)) return r;
  bool alloc_error = false;
  struct Stream {
    RUVOFile* file;
    std::int64_t bytes;
    std::uint32_t bit;
  };
  const Stream streams[] = {{m_file.get(), m_bodyFileTotalBytes, 1}, {m_parityFile.get(), m_parityFileTotalBytes, 2}};
  for (const Stream& s : streams) {
    if (!s.file) continue;
    const std::uint32_t r = dummyAllocationSetup(*s.file, s.bytes);
    trace(1, kMethod, __LINE__, u"[####]dummyAllocationSetup(m_pParityFile, m_parityFileTotalBytes=%d): result=0x%08x",
          static_cast<int>(s.bytes), r);
    if (r == QVE_RESULT_ERROR_ADD_FILE_ALLOCATION) {
      if (auto g = m_proxy->currentGhost()) {
        g->m_addFileAllocError = 1;
        g->m_addFileAllocErrorIsBody |= s.bit;
      }
      alloc_error = true;
    } else if (r != 0) {
      return r;
    }
    s.file->close();
  }
  m_sizeAtClose = m_bodyFileTotalBytes;
  trace(1, kMethod, __LINE__, u"ghost file stop! to proxy stop...");
  const std::uint32_t stopped = m_proxy->stop();
  return alloc_error ? QVE_RESULT_ERROR_ADD_FILE_ALLOCATION : stopped;
}

std::uint32_t GhostFileWriter::read(void* buffer, std::uint32_t length, std::uint32_t* out) {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::read";
  const std::int64_t vp = m_owner->m_virtualFilePointer, vs = m_owner->m_virtualFileSize;
  std::uint32_t n = 0;
  if (vp < vs) {
    n = static_cast<std::uint32_t>(std::min<std::int64_t>(length, vs - vp));
    std::memset(buffer, 0, n);
    m_owner->m_virtualFilePointer += n;
    trace(1, kMethod, __LINE__, u"bytesReadBuff_=%u, virtualFilePointer=%lld", n, m_owner->m_virtualFilePointer);
  } else {
    trace(1, kMethod, __LINE__, u"virtualFilePointer=%lld >= virtualFileSize=%lld", vp, vs);
  }
  if (out) *out = n;
  return 0;
}

// The file's stream end is what the ghost writer has taken so far; the new
// end is the virtual file pointer.
std::uint32_t GhostFileWriter::setEndOfFile() {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::setEndOfFile";
  if (!m_proxy) return QVE_RESULT_ERROR_NO_CREATEFILE;
  const std::int64_t end = m_owner->m_virtualFilePointer;
  const std::int64_t old = sequentialWritingPointer;
  if (end == old) {
    m_owner->m_virtualFileSize = end;
    return 0;
  }
  if (end < old) {
    std::int64_t rest = end, deleted_body = 0, deleted_parity = 0;
    if (const std::uint32_t r = m_proxy->setEndOfFile(rest, deleted_body, deleted_parity)) {
      trace(2, kMethod, __LINE__, u"Error setEndOfFile");
      return r;
    }
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"tempbuffer empty");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    b->setUsed(std::min<std::uint64_t>(b->used(), static_cast<std::uint64_t>(rest)));
    m_bodyFileTotalBytes -= deleted_body;
    m_parityFileTotalBytes -= deleted_parity;
    sequentialWritingPointer = end;
    m_owner->m_virtualFileSize = end;
    return 0;
  }
  // The proxy holds the file's bytes up to its body total; the rest, in the
  // ring and the growth, is what it still has to take.
  if (const std::uint32_t r = m_proxy->checkVolumeCapacity(end - std::min(m_bodyFileTotalBytes, end))) {
    trace(2, kMethod, __LINE__, u"Error checkVolumeCapacity");
    return r;
  }
  if (const std::uint32_t r = upperFileSize(end - old)) {
    trace(2, kMethod, __LINE__, u"Error increaseFileSize");
    return r;
  }
  m_owner->m_virtualFileSize = end;
  return 0;
}

std::uint32_t GhostFileWriter::upperFileSize(std::int64_t bytes) {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::upperFileSize";
  while (bytes > 0) {
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"riingBuffer empty");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    const std::uint64_t room = static_cast<std::uint64_t>(b->capacity()) - b->used();
    const std::uint64_t n = std::min<std::uint64_t>(room, static_cast<std::uint64_t>(bytes));
    std::memset(b->data() + b->used(), 0, n);
    b->setUsed(b->used() + n);
    bytes -= static_cast<std::int64_t>(n);
    sequentialWritingPointer += static_cast<std::int64_t>(n);
    if (b->used() >= static_cast<std::uint64_t>(b->capacity()))
      if (const std::uint32_t r = flushBuffer(b)) return r;
  }
  return 0;
}

std::uint32_t GhostFileWriter::setFileTime(std::uint64_t creation, std::uint64_t access, std::uint64_t modification) {
  if (!m_file) return QVE_RESULT_ERROR_NO_CREATEFILE;
  return m_file->setFileTime(creation, access, modification) ? 0 : QVE_RESULT_ERROR_SET_FILE_TIME;
}

std::uint32_t GhostFileWriter::setFileInformation(const void* information) {
  static constexpr const char16_t* kMethod = u"LumoQVE::GhostFileWriter::setFileInformation";
  if (!information) return QVE_RESULT_ERROR_INVALID_ARGUMENT;
  FileInformation info;
  std::memcpy(&info, information, sizeof info);
  if (info.flags & 1) {
    if (m_proxy && (info.attributes & 0x40000000)) m_proxy->fsFlushPolicy = kFlushPostpone;
    else if (m_proxy && (info.attributes & 0x80000000)) m_proxy->fsFlushPolicy = kFlushPartial;
    if (m_obase && (info.attributes & 0x00100000)) m_obase->setWriteVerifyMode(1);
    else if (m_obase && (info.attributes & 0x00200000)) m_obase->setWriteVerifyMode(0);
  }
  if ((info.flags & 0x70) == 0) return 0;
  if (!m_file) return QVE_RESULT_ERROR_NO_CREATEFILE;
  const std::uint64_t c = (info.flags & 0x10) ? info.creation : 0;
  const std::uint64_t a = (info.flags & 0x20) ? info.access : 0;
  const std::uint64_t m = (info.flags & 0x40) ? info.modification : 0;
  if (!m_file->setFileTime(c, a, m)) return QVE_RESULT_ERROR_SET_FILE_TIME;
  trace(1, kMethod, __LINE__, u"creationTime=%lld, lastAccessTime=%lld, lastWriteTime=%lld", c, a, m);
  return 0;
}

// Each piece went into the proxy padded to whole recording units (the
// proxy writer's writeOne): the next file starts behind the padding, and
// the division gives each piece its padded blocks.
std::uint32_t GhostFileWriter::getCacheBlocks(std::uint32_t& blocks) {
  if (!m_ghost || !m_proxy) return QVE_RESULT_ERROR_NO_CREATEFILE;
  std::uint64_t bytes = 0;
  {
    std::lock_guard<Util::CriticalSection> lk(m_proxy->m_account.lock);
    for (const auto& c : m_ghost->chunks)
      bytes += paddedSize(static_cast<std::uint64_t>(c.first)) + paddedSize(static_cast<std::uint64_t>(c.second));
  }
  const std::uint64_t n = bytes / 2048;
  blocks = n > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
  return 0;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> GhostFileWriter::dataPieces() {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
  if (!m_ghost || !m_proxy) return out;
  std::lock_guard<Util::CriticalSection> lk(m_proxy->m_account.lock);
  std::uint64_t at = 0;
  for (const auto& c : m_ghost->chunks) {
    const auto body = static_cast<std::uint64_t>(c.first), parity = static_cast<std::uint64_t>(c.second);
    if (body > 0) out.emplace_back(at / 2048, (body + 2047) / 2048);
    at += paddedSize(body) + paddedSize(parity);
  }
  return out;
}

}  // namespace LumoQVE
