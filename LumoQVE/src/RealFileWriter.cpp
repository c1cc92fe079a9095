// The writer base (logical positions, copying into the ring) and the real
// file writer, which hands full buffers to the low-level writer.
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "LumoQVE/UserDataFileIO.h"
#include "kel/entry.h"
#include "kel/errors.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"
#include "platform/codepage.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace LumoQVE {

using AnnulusFileIO::BufferUserData;
using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

std::mutex g_currentLock;
std::weak_ptr<RealFileWriter> g_current;

int fsctl(unsigned code) {
  const FileSystemOperations* o = kel::CurrentOperations();
  return o && o->Fsctl ? o->Fsctl(code, nullptr) : kel::kNoInterfaceResult;
}

}  // namespace

// ---------------------------------------------------------------- base

FileWriterBase::FileWriterBase(UserDataFileIO* owner, std::uint32_t ring_size)
    : m_ringSize(ring_size), m_ring(std::make_unique<WriterRingBuffer>(static_cast<int>(ring_size))), m_owner(owner) {}

FileWriterBase::~FileWriterBase() = default;

std::uint32_t FileWriterBase::initialize(const std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl>&) { return 0; }

std::uint32_t FileWriterBase::getFileSize(std::int64_t& size) {
  size = m_owner->m_virtualFileSize;
  trace(1, u"LumoQVE::FileWriterBase::getFileSize", __LINE__, u"size=%lld (real_size=%lld)", size, m_realFileSize);
  return 0;
}

std::uint32_t FileWriterBase::notSupported() {
  SetLastError(120);
  return 0;
}

std::uint32_t FileWriterBase::write(const void* data, std::uint32_t length, std::uint32_t* written) {
  static constexpr const char16_t* kMethod = u"LumoQVE::FileWriterBase::write";
  std::uint32_t dummy = 0;
  std::uint32_t& done = written ? *written : dummy;
  if (m_owner->m_virtualFilePointer != sequentialWritingPointer) {
    trace(2, kMethod, __LINE__, u"non-sequential write detect. virtualFilePointer=%lld writingPointer=%lld",
          m_owner->m_virtualFilePointer, sequentialWritingPointer);
    return QVE_RESULT_ERROR_NOT_SEQUENTIAL;
  }
  if (!m_firstWrite) {
    m_firstWrite = true;
    if (length != 0 && !m_parityFilePath.empty()) {
      trace(1, kMethod, __LINE__, u"truncate of parity file at first write.");
      if (const std::uint32_t r = UserDataFileIO::truncateParityFileIfExist(
              m_parityFilePath, static_cast<std::int64_t>(m_sizeAfterCreate)))
        return r;
    }
  }
  const std::uint32_t r = writeBuffer(data, length, done);
  if (r == 0) {
    m_owner->m_virtualFilePointer += done;
    sequentialWritingPointer += done;
    m_owner->m_virtualFileSize += done;
    trace(1, kMethod, __LINE__,
          u"bytesWritten=%d, virtualFilePointer=%lld,sequentialWritingPointer=%lld, virtualFileSize=%lld", done,
          m_owner->m_virtualFilePointer, sequentialWritingPointer, m_owner->m_virtualFileSize);
  }
  return r;
}

std::uint32_t FileWriterBase::writeBuffer(const void* data, std::uint32_t length, std::uint32_t& written) {
  static constexpr const char16_t* kMethod = u"LumoQVE::FileWriterBase::writeBuffer";
  if (length == 0) {
    written = 0;
    return 0;
  }
  written = 0;
  const auto* src = static_cast<const std::uint8_t*>(data);
  while (written < length) {
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"riingBuffer empty");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    // A full buffer is handed on only when more data needs room: a write
    // of exactly one buffer's room leaves it for flush or the next write.
    if (b->used() >= static_cast<std::uint64_t>(b->capacity())) {
      trace(1, kMethod, __LINE__, u"BufferFull size=%u", b->used());
      if (const std::uint32_t r = flushBuffer(b)) return r;
      continue;
    }
    written += static_cast<std::uint32_t>(b->append(src + written, length - written));
  }
  return 0;
}

std::shared_ptr<RealFileWriter> FileWriterBase::getCurrentRealFileWriter() {
  std::lock_guard<std::mutex> lk(g_currentLock);
  return g_current.lock();
}

// ---------------------------------------------------------------- real writer

RealFileWriter::RealFileWriter(UserDataFileIO* owner, std::uint32_t ring_size) : FileWriterBase(owner, ring_size) {}

RealFileWriter::~RealFileWriter() {
  // Buffers still with the writer come back before the ring goes.
  if (m_impl) {
    m_impl->waitForWriterThreadExit();
    m_impl->detachRing();
  }
  m_impl.reset();
}

std::uint32_t RealFileWriter::initialize(const std::shared_ptr<AnnulusFileIO::UserDataFileIOImpl>& impl) {
  m_impl = impl;
  if (const std::uint32_t r = m_ring->sizeBuffers(maxAnnulusSizeBytes)) return r;
  std::shared_ptr<FileWriterBase> self = weak_from_this().lock();
  if (!self) return QVE_RESULT_ERROR_NO_CREATEFILE;
  std::lock_guard<std::mutex> lk(g_currentLock);
  g_current = std::static_pointer_cast<RealFileWriter>(self);
  return 0;
}

std::uint32_t RealFileWriter::errorCheck() {
  if (!m_impl) return QVE_RESULT_ERROR_NO_CREATEFILE;
  const std::uint32_t e = m_impl->lastError();
  if (e) trace(2, u"LumoQVE::RealFileWriter::errorCheck", __LINE__, u"already error exist. last error=%d", e);
  return e;
}

std::uint32_t RealFileWriter::moveImpl(std::int64_t position) { return m_impl->seek(position); }

void RealFileWriter::countHanded(std::uint64_t size) {
  if (m_sizeAfterCreate != 0 && static_cast<std::uint64_t>(m_realFileSize) == m_sizeAfterCreate && size >= tailBytes)
    size -= tailBytes;
  m_realFileSize += static_cast<std::int64_t>(size);
  trace(1, u"LumoQVE::RealFileWriter::flushBuffer", __LINE__, u"m_realFileSize=%lld write_size=%lld", m_realFileSize,
        size);
}

std::uint32_t RealFileWriter::getFileSize(std::int64_t& size) {
  if (m_impl)
    if (const std::uint32_t e = errorCheck()) return e;
  return FileWriterBase::getFileSize(size);
}

std::uint32_t RealFileWriter::write(const void* buffer, std::uint32_t length, std::uint32_t* written) {
  if (const std::uint32_t e = errorCheck()) return e;
  const std::uint32_t r = FileWriterBase::write(buffer, length, written);
  // A wait for a buffer that ended at the writer's failure answers it.
  if (r == QVE_RESULT_ERROR_NO_BUFFER)
    if (const std::uint32_t e = m_impl->lastError()) return e;
  return r;
}

std::uint32_t RealFileWriter::seek() { return m_impl ? errorCheck() : 0; }

std::uint32_t RealFileWriter::flushBuffer(const std::shared_ptr<BufferUserData>& buffer) {
  m_ring->handCurrentToWriter();
  const std::uint64_t size = buffer->used();
  if (const std::uint32_t r = m_impl->write(buffer, m_ring.get())) return r;
  countHanded(size);
  return 0;
}

std::uint32_t RealFileWriter::flush(bool when_close) {
  static constexpr const char16_t* kMethod = u"LumoQVE::RealFileWriter::flush";
  trace(1, kMethod, __LINE__, u"");
  if (!m_impl) return 0;
  if (const std::uint32_t e = errorCheck()) return e;
  std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
  if (!b) {
    trace(2, kMethod, __LINE__, u"riingBuffer empty");
    return QVE_RESULT_ERROR_NO_BUFFER;
  }
  if (!b->isDirty() || b->used() == 0) {
    m_ring->clearCurrent();
    trace(1, kMethod, __LINE__, u"this buffer is clean.");
    return 0;
  }
  m_ring->handCurrentToWriter();
  if (when_close) {
    trace(1, kMethod, __LINE__, u"isWhenClose");
    b->m_isWhenClose = true;
  }
  trace(1, kMethod, __LINE__, u"BufferUserData::m_isWhenClose=%hs", b->m_isWhenClose ? "true" : "false");
  const std::uint64_t size = b->used();
  const std::uint32_t r = m_impl->flush(b, m_ring.get());
  countHanded(size);
  return r;
}

std::uint32_t RealFileWriter::read(void* buffer, std::uint32_t length, std::uint32_t* out) {
  static constexpr const char16_t* kMethod = u"LumoQVE::RealFileWriter::read";
  if (const std::uint32_t e = errorCheck()) return e;
  std::uint32_t got = 0;
  const std::int64_t vp = m_owner->m_virtualFilePointer, vs = m_owner->m_virtualFileSize;
  if (vp >= vs) {
    trace(1, kMethod, __LINE__, u"virtualFilePointer=%lld >= virtualFileSize=%lld", vp, vs);
    if (out) *out = 0;
    return 0;
  }
  const std::int64_t keep = m_impl->getFilePointer();
  if (const std::uint32_t r = moveImpl(vp)) return r;
  std::uint32_t r = m_impl->read(buffer, length, got);
  trace(1, kMethod, __LINE__, u"read of real file. bytesRead_=%u", got);
  if (const std::uint32_t back = moveImpl(keep); r == 0) r = back;
  if (r) return r;
  if (vp + static_cast<std::int64_t>(length) > m_realFileSize) {
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"tempbuffer empty");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    const std::uint64_t used = b->used();
    if (used > 0) {
      const std::uint64_t dest = m_realFileSize > vp ? static_cast<std::uint64_t>(m_realFileSize - vp) : 0;
      std::uint64_t from = vp > m_realFileSize ? static_cast<std::uint64_t>(vp - m_realFileSize) : 0;
      if (m_sizeAfterCreate != 0 && static_cast<std::uint64_t>(m_realFileSize) == m_sizeAfterCreate) from += tailBytes;
      from = std::min(from, used);
      const std::uint64_t copy = dest < length ? std::min<std::uint64_t>(length - dest, used - from) : 0;
      trace(1, kMethod, __LINE__, u"copy of tempbuffer. dest_offset=%lld, copy_size=%lld, buffer_read_offset=%lld, ",
            dest, copy, from);
      if (copy > 0) std::memcpy(static_cast<std::uint8_t*>(buffer) + dest, b->data() + from, copy);
      if (dest + copy > got) {
        got = static_cast<std::uint32_t>(dest + copy);
        trace(1, kMethod, __LINE__, u"bytesRead_ update. %u", got);
      }
    }
  }
  m_owner->m_virtualFilePointer += got;
  if (out) *out = got;
  trace(1, kMethod, __LINE__, u"bytesRead_=%u, virtualFilePointer=%lld", got, m_owner->m_virtualFilePointer);
  return 0;
}

std::uint32_t RealFileWriter::implEndOfFile() {
  const std::uint32_t r = m_impl->setEndOfFile(!RuvoCtrlVolume::getNewWrite(), 0);
  return r;
}

std::uint32_t RealFileWriter::setEndOfFile() {
  static constexpr const char16_t* kMethod = u"LumoQVE::RealFileWriter::setEndOfFile";
  if (const std::uint32_t e = errorCheck()) return e;
  const std::int64_t vp = m_owner->m_virtualFilePointer;
  auto failed = [&](std::uint32_t r) {
    m_impl->setLastManagerError(r, __FILE__, __LINE__);
    return r;
  };
  if (m_sizeAfterCreate != 0 && !m_firstWrite) {
    if (static_cast<std::uint64_t>(vp) == m_sizeAfterCreate) return 0;
    trace(2, kMethod, __LINE__,
          u"non-sequential write detect. this file has extents in time of CreateFile. file size=%lld, cur pointer=%lld",
          m_sizeAfterCreate, vp);
    return failed(QVE_RESULT_ERROR_NOT_SEQUENTIAL);
  }
  if (vp < m_realFileSize) {
    trace(1, kMethod, __LINE__, u"virtualFilePointer(%lld) is less than real_size(%lld). discard temporary buffer.", vp,
          m_realFileSize);
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"tempbuffer empty");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    b->setUsed(0);
    if (std::uint32_t r = moveImpl(vp)) return failed(r);
    if (std::uint32_t r = m_impl->setEndOfFile(true, 0)) return failed(r);
    m_realFileSize = vp;
  } else if (vp > m_realFileSize) {
    trace(1, kMethod, __LINE__, u"virtualFilePointer(%lld) is greater than real_size(%lld).", vp, m_realFileSize);
    const std::int64_t keep_position = m_impl->getFilePointer();
    if (std::uint32_t r = moveImpl(vp)) return failed(r);
    if (std::uint32_t r = implEndOfFile()) return failed(r);
    if (std::uint32_t r = moveImpl(keep_position)) return failed(r);
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"tempbuffer empty");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    std::uint64_t keep = static_cast<std::uint64_t>(vp - m_realFileSize);
    if (m_sizeAfterCreate != 0 && static_cast<std::uint64_t>(m_realFileSize) == m_sizeAfterCreate) {
      const std::uint64_t rub = AnnulusFileIO::UserDataFileIOImpl::rubBytes();
      const std::uint64_t a = m_sizeAfterCreate / rub * rub;
      keep = static_cast<std::uint64_t>(vp) < a ? b->used() : static_cast<std::uint64_t>(vp) - a;
    }
    if (b->used() > keep) {
      trace(2, kMethod, __LINE__, u"truncate temporary buffer. %u to %lld", b->used(), keep);
      b->setUsed(keep);
    }
  }
  m_owner->m_virtualFileSize = vp;
  return 0;
}

std::uint32_t RealFileWriter::readOfIncompletenessPartRUB(std::int64_t body_size) {
  static constexpr const char16_t* kMethod = u"LumoQVE::RealFileWriter::readOfIncompletenessPartRUB";
  const std::uint64_t rub = AnnulusFileIO::UserDataFileIOImpl::rubBytes();
  trace(1, kMethod, __LINE__, u"[####]USBManager::getRubBytes()=%llu", rub);
  const std::int64_t a = body_size / static_cast<std::int64_t>(rub) * static_cast<std::int64_t>(rub);
  if (a == body_size) {
    trace(1, kMethod, __LINE__, u"body_filesize(%lld) is RUB alignment.", body_size);
  } else {
    trace(1, kMethod, __LINE__, u"seek to RUB alignment(%lld).", a);
    if (std::uint32_t r = moveImpl(a)) return r;
    trace(1, kMethod, __LINE__, u"read of RUB fragment... (read position=%lld, bytesRead_=%lld)", a, body_size - a);
    std::vector<std::uint8_t> fragment(rub);
    std::uint32_t got = 0;
    if (std::uint32_t r = m_impl->read(fragment.data(), static_cast<std::uint32_t>(body_size - a), got)) return r;
    trace(1, kMethod, __LINE__, u"read success. bytesCopy=%u", got);
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"read buffer empty.");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
    b->append(fragment.data(), got);
    b->setPreReadSize(got);
    // Reloaded bytes are not new data: the buffer stays clean until written.
    const std::uint64_t used = b->used();
    b->clear();
    b->setUsed(used);
    b->setPreReadSize(got);
    tailBytes = got;
  }
  m_owner->m_virtualFilePointer = 0;
  m_owner->m_virtualFileSize = body_size;
  m_realFileSize = sequentialWritingPointer = body_size;
  trace(1, kMethod, __LINE__, u"seek to end-of-file(%lld).", body_size);
  if (std::uint32_t r = moveImpl(body_size)) return r;
  trace(1, kMethod, __LINE__, u"seek to end-of-file success.");
  return 0;
}

// Delete on close goes through the engine's DeleteFile slot.
std::uint32_t RealFileWriter::deleteBodyFile() {
  static constexpr const char16_t* kMethod = u"LumoQVE::RealFileWriter::close";
  std::string path = platform::utf16_to_utf8(m_file->getPath());
  for (char& c : path)
    if (c == '\\') c = '/';
  if (path.rfind("/$/", 0) == 0) path.erase(0, 2);
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const FileSystemOperations* o = kel::CurrentOperations();
  const int r = o && o->DeleteFile ? o->DeleteFile(folder.c_str(), name.c_str()) : kel::kNoInterfaceResult;
  if (r == 0) {
    trace(1, kMethod, __LINE__, u"delete on close is success. (%ls)", m_file->getPath());
  } else {
    SetLastError(kel::Win32FromEngineResult(r));
    trace(2, kMethod, __LINE__, u"::DeleteFileW(%ls) error GetLastError()=0x%08X", m_file->getPath(),
          static_cast<std::uint32_t>(GetLastError()));
    return QVE_RESULT_ERROR_DELETE_ON_CLOSE;
  }
  return 0;
}

std::uint32_t RealFileWriter::close(bool delete_on_close) {
  static constexpr const char16_t* kMethod = u"LumoQVE::RealFileWriter::close";
  trace(1, kMethod, __LINE__, u"isDeleteOnClose=%d", delete_on_close);
  std::uint32_t result = 0;
  if (m_impl) {
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    std::uint32_t first = m_impl->lastError();
    if (first == 0) {
      if (b) {
        trace(1, kMethod, __LINE__, u"flush");
        first = flush(true);
      } else {
        trace(1, kMethod, __LINE__, u"checkDefect");
        first = m_impl->writeSynchronize();
        if (first == 0 && !m_impl->runDataCheck()) first = m_impl->lastError();
      }
    }
    trace(1, kMethod, __LINE__, u"close");
    // A failed close cuts the files back to what the disc is known to hold.
    const std::uint32_t closed = m_impl->truncateOnWriteError();
    result = first ? first : closed;
    m_closeMarkValue = m_impl->m_closeMarkValue;
    m_closeFlushPolicyOne = m_impl->m_closeFlushPolicyOne;
  }
  if (m_file) m_file->close();
  if (m_parityFile) m_parityFile->close();
  if (delete_on_close && m_file && result == 0) result = deleteBodyFile();
  m_parityFile.reset();
  m_file.reset();
  if (m_impl) {
    m_impl->waitForWriterThreadExit();
    m_impl->detachRing();
  }
  m_impl.reset();
  if (const int r = fsctl(kel::kFsctlResetWriteVerifyMode)) {
    trace(2, kMethod, __LINE__, u"ERROR : MDCFSCTL_RESET_WRITE_VERIFY_MODE");
    if (result == 0) result = static_cast<std::uint32_t>(r);
  }
  const int left = m_obase ? static_cast<int>(m_obase->exitPrivilegedMode()) : fsctl(kel::kFsctlExitPrivileged);
  if (result == 0) result = static_cast<std::uint32_t>(left);
  m_obase.reset();
  return result;
}

std::uint32_t RealFileWriter::setFileTime(std::uint64_t creation, std::uint64_t access, std::uint64_t modification) {
  if (!m_impl) return QVE_RESULT_ERROR_NO_CREATEFILE;
  trace(1, u"AnnulusFileIO::UserDataFileIOImpl::setFileTime", __LINE__, u"setFileTime()");
  if (const std::uint32_t r = m_impl->writeSynchronize()) return r;
  if (!m_impl->m_pFile || !m_impl->m_pFile->setFileTime(creation, access, modification))
    return QVE_RESULT_ERROR_SET_FILE_TIME;
  return 0;
}

std::uint32_t RealFileWriter::setFileInformation(const void* information) {
  static constexpr const char16_t* kMethod = u"LumoQVE::RealFileWriter::setFileInformation";
  if (!m_impl || !m_impl->m_pFile) {
    trace(2, kMethod, __LINE__, u"QVE_RESULT_ERROR_NO_CREATEFILE");
    return QVE_RESULT_ERROR_NO_CREATEFILE;
  }
  if (!information) {
    trace(2, kMethod, __LINE__, u"fileInformation is null");
    return QVE_RESULT_ERROR_INVALID_ARGUMENT;
  }
  if (const std::uint32_t r = m_impl->checkMarkVolumeDirty()) return r;
  SetLastError(120);
  trace(2, kMethod, __LINE__, u"ERROR : ::GetFileInformationByHandle() GetLastError()=0x%08X\n", 120u);
  return QVE_RESULT_ERROR_FILE_INFORMATION;
}

std::uint32_t RealFileWriter::getCacheBlocks(std::uint32_t& blocks) {
  std::shared_ptr<BufferUserData> b;
  if (RuvoCtrlVolume::getNewWrite()) {
    b = m_ring->peekCurrent();
  } else {
    b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, u"LumoQVE::RealFileWriter::getCacheBlocks", __LINE__, u"ring buffer is empty.");
      return QVE_RESULT_ERROR_NO_BUFFER;
    }
  }
  const std::uint64_t n = b ? b->used() : 0;
  if (n > 0) blocks = static_cast<std::uint32_t>((n + 2047) / 2048);
  return 0;
}

}  // namespace LumoQVE
