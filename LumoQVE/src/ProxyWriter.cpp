// The proxy writer of a packed session: ghost files' data appended to the
// proxy file, padded to whole recording units, and the end of the session.
#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"
#include "kel/errors.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"
#include "platform/win32.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>

namespace LumoQVE {

using AnnulusFileIO::BufferUserData;
using AnnulusFileIO::RUVOFile;
using AnnulusFileIO::UserDataFileIOImpl;
using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

std::uint64_t rub() { return UserDataFileIOImpl::rubBytes(); }
std::uint64_t roundUp(std::uint64_t n, std::uint64_t unit) { return (n + unit - 1) / unit * unit; }
std::uint64_t paddedSize(std::uint64_t n) { return roundUp(roundUp(n, 2048), rub()); }

constexpr std::uint32_t kNoBuffering = 0x20000000;

}  // namespace

std::uint64_t ProxyWriter::paddedBytes(std::uint64_t n) { return paddedSize(n); }

ProxyWriter::ProxyWriter()
    : m_bufferCount(RuvoCtrlVolume::getBufferNum() ? RuvoCtrlVolume::getBufferNum() : 4),
      m_ring(std::make_unique<WriterRingBuffer>(static_cast<int>(m_bufferCount))) {}

ProxyWriter::~ProxyWriter() {
  if (m_impl) {
    m_impl->waitForWriterThreadExit();
    m_impl->detachRing();
    m_impl->m_proxyAccount = nullptr;
  }
}

std::uint64_t ProxyWriter::packedBytes() {
  m_account.lock.lock();
  const std::uint64_t n = m_account.taken;
  m_account.lock.unlock();
  return n;
}

void ProxyWriter::setPackedBytesForTesting(std::uint64_t bytes) {
  m_account.lock.lock();
  m_account.taken = bytes;
  m_account.lock.unlock();
}

std::uint32_t ProxyWriter::lastError() {
  m_account.lock.lock();
  const std::uint32_t e = m_lastError;
  m_account.lock.unlock();
  return e;
}

// ---------------------------------------------------------------- setup

std::uint32_t ProxyWriter::setUserDataFileIOImpl(const std::u16string& base_path,
                                                 std::shared_ptr<UserDataFileIOImpl> impl,
                                                 std::shared_ptr<OBase> obase) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::initializeProxy";
  m_obase = std::move(obase);
  trace(2, kMethod, __LINE__, u"initialize of low-level file i/o start...");
  m_impl = std::move(impl);
  if (!m_impl) return QVE_RESULT_ERROR_NO_CREATEFILE;
  if (const std::uint32_t r = createProxyFile(base_path)) return r;
  if (const std::uint32_t r = m_impl->setFile(m_proxyFile, nullptr)) return r;
  m_impl->m_proxyAccount = &m_account;
  trace(2, kMethod, __LINE__, u"initialize of low-level file i/o success");
  std::uint64_t size = UserDataFileIO::calcAnnulsBufferSizeBytes();
  if (RuvoCtrlVolume::getNewWrite()) {
    const std::uint64_t minimum = std::uint64_t{RuvoCtrlVolume::getReserveWriteBlocks()} * 2048;
    trace(1, kMethod, __LINE__, u"0x%llX 0x%llX", minimum, size);
    size = std::max(size, minimum);
  }
  size = std::min(size, WriterRingBuffer::maxBufferBytes());
  // Whole recording units: the padding of each piece lands in the ring.
  m_basePath = base_path;
  if (const std::uint32_t r = m_ring->sizeBuffers(roundUp(size, rub()))) return r;
  m_keepBound = static_cast<std::uint64_t>(m_ring->count()) * roundUp(size, rub());
  return 0;
}

// A proxy left by a session that never divided (the process ended first)
// holds blocks of files that kept their placeholders: it is deleted, never
// appended to, so that no new ghost file is given old blocks.
std::uint32_t ProxyWriter::createProxyFile(const std::u16string& base_path) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::createProxyFile";
  AnnulusFileIO::RUVOVolume volume(0, false);
  if (!volume.markVolumeDirty(static_cast<std::uint8_t>(fsFlushPolicy))) {
    trace(2, kMethod, __LINE__, u"ERROR : MDCFSCTL_MARK_VOLUME_DIRTY");
    m_lastError = QVE_RESULT_ERROR_MARK_VOLUME_DIRTY;
    return QVE_RESULT_ERROR_MARK_VOLUME_DIRTY;
  }
  m_proxyFile = std::make_shared<RUVOFile>();
  trace(2, kMethod, __LINE__, u"proxy file open...");
  m_proxyPath = base_path + u"\\$\\@@proxy";
  {
    RUVOFile probe;
    if (probe.createFile(m_proxyPath, 0x80000000, 0, nullptr, 3, 0x80, nullptr)) {
      const std::uint64_t old = probe.getFileSize();
      probe.close();
      trace(2, kMethod, __LINE__, u"proxy file of an earlier session found (size=%lld): deleted.",
            static_cast<long long>(old));
      if (const std::uint32_t r = deleteProxyFile()) return r;
    }
  }
  if (!m_proxyFile->createFile(m_proxyPath, 0x40000000, 0, nullptr, 2, kNoBuffering, nullptr)) {
    if (GetLastError() == 80) SetLastError(183);
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  if (!m_proxyFile->customizeFileSetting()) return QVE_RESULT_ERROR_OPEN_STREAM;
  trace(2, kMethod, __LINE__, u"proxy file open success.");
  return 0;
}

std::uint32_t ProxyWriter::start(const std::u16string& body_path, const std::u16string& parity_path,
                                 std::int64_t body_index, std::int64_t parity_index, const std::string& host_path) {
  trace(1, u"LumoQVE::ProxyWriter::start", __LINE__, u"proxy start!");
  if (const std::uint32_t r = ensureWriter()) return r;
  auto ghost = std::make_shared<GhostFileInformation>();
  ghost->bodyPath = body_path;
  ghost->hostPath = host_path;
  ghost->parityPath = parity_path;
  ghost->bodyFileIndex = body_index;
  ghost->parityFileIndex = parity_index;
  m_account.lock.lock();
  ghost->writeStartOffsetBytesInProxy = static_cast<std::int64_t>(m_account.taken);
  m_ghostFiles.push_back(ghost);
  m_current = ghost;
  m_account.lock.unlock();
  return 0;
}

// ---------------------------------------------------------------- writing

std::uint32_t ProxyWriter::checkWriter(const char16_t* method) {
  if (!m_current) {
    trace(2, method, __LINE__, u"ghost file in not start !!");
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  if (!m_impl) return QVE_RESULT_ERROR_NO_CREATEFILE;
  const std::uint32_t e = m_impl->lastError();
  if (e) {
    trace(2, method, __LINE__, u"already error exist. last error=%d", e);
    m_account.lock.lock();
    m_lastError = e;
    m_account.lock.unlock();
  }
  return e;
}

// Hands the ring's full current buffer to the low-level writer.
std::uint32_t ProxyWriter::handFull() {
  std::shared_ptr<BufferUserData> full = m_ring->handCurrentToWriter();
  trace(1, u"LumoQVE::ProxyWriter::writeOne", __LINE__, u"Proxy BufferFull size=%u", full->used());
  return m_impl->write(full, m_ring.get());
}

// Copies size bytes (data, or zeros when data is null) into the ring.
std::uint32_t ProxyWriter::copyIntoRing(const std::uint8_t* data, std::uint64_t size) {
  std::uint64_t done = 0;
  while (done < size) {
    if (m_keepsPieces && m_ring->allTakenOrHeld()) {
      trace(2, u"LumoQVE::ProxyWriter::writeOne", __LINE__,
            u"the ring's buffers are held or with the writer: a failed end cannot write the session again");
      dropKeptPieces();
    }
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, u"LumoQVE::ProxyWriter::writeOne", __LINE__, u"ring buffer is empty.");
      const std::uint32_t e = m_impl->lastError();
      return e ? e : QVE_RESULT_ERROR_NO_BUFFER;
    }
    if (m_keepsPieces) holdTaken(b, packedBytes());
    const std::uint64_t room = static_cast<std::uint64_t>(b->capacity()) - b->used();
    const std::uint64_t n = std::min(room, size - done);
    if (data) {
      b->append(data + done, n);
    } else {
      std::memset(b->data() + b->used(), 0, n);
      b->setUsed(b->used() + n);
    }
    done += n;
    m_account.lock.lock();
    m_account.taken += n;
    m_account.lock.unlock();
    if (b->used() >= static_cast<std::uint64_t>(b->capacity()))
      if (const std::uint32_t r = handFull()) return r;
  }
  return 0;
}

// One piece into the proxy: its bytes, then zeros up to whole recording
// units. The padding is added in the ring, so the layout holds whatever the
// source buffer's capacity.
std::uint32_t ProxyWriter::writeOne(const std::uint8_t* data, std::uint64_t size) {
  keepPiece(size, paddedSize(size));
  return copyPadded(data, size);
}

// The bytes into the ring, then zeros up to whole recording units.
std::uint32_t ProxyWriter::copyPadded(const std::uint8_t* data, std::uint64_t size) {
  if (const std::uint32_t r = copyIntoRing(data, size)) return r;
  return copyIntoRing(nullptr, paddedSize(size) - size);
}

std::uint32_t ProxyWriter::write(const std::shared_ptr<BufferUserData>& body, const std::uint8_t* parity,
                                 std::size_t parity_bytes) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::write";
  if (const std::uint32_t e = checkWriter(kMethod)) return e;
  const std::int64_t body_bytes = body ? static_cast<std::int64_t>(body->used()) : 0;
  std::uint32_t r = 0;
  if (body) {
    r = writeOne(body->data(), static_cast<std::uint64_t>(body_bytes));
    if (r == 0) body->clear();
  }
  if (r == 0 && parity_bytes > 0) r = writeOne(parity, parity_bytes);
  m_account.lock.lock();
  if (r) {
    m_lastError = r;
  } else {
    m_current->m_bodyFileTotalBytes += body_bytes;
    m_current->m_parityFileTotalBytes += static_cast<std::int64_t>(parity_bytes);
    m_current->chunks.emplace_back(body_bytes, static_cast<std::int64_t>(parity_bytes));
  }
  m_account.lock.unlock();
  return r;
}

// The parity of a file's last, partial stripe, written after its last body
// chunk: it belongs to that chunk. Its bytes count in the ghost file's
// parity total here, so that the total agrees with the chunk list.
std::uint32_t ProxyWriter::writeParity(const std::uint8_t* parity, std::size_t parity_bytes) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::writeParity";
  if (const std::uint32_t e = checkWriter(kMethod)) return e;
  if (parity_bytes == 0) return 0;
  const auto bytes = static_cast<std::int64_t>(parity_bytes);
  const std::uint32_t r = writeOne(parity, parity_bytes);
  m_account.lock.lock();
  if (r) {
    m_lastError = r;
  } else if (!m_current->chunks.empty() && m_current->chunks.back().second == 0) {
    m_current->chunks.back().second = bytes;
    m_current->m_parityFileTotalBytes += bytes;
  } else {
    // No chunk to carry it: a chunk of parity alone keeps the layout.
    m_current->chunks.emplace_back(0, bytes);
    m_current->m_parityFileTotalBytes += bytes;
  }
  m_account.lock.unlock();
  return r;
}

std::uint32_t ProxyWriter::stop() {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::stop";
  if (!m_current) {
    trace(2, kMethod, __LINE__, u"ghost file in not start !!");
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  m_account.lock.lock();
  if (m_lastError == 0) m_current->completed = 1;
  m_current.reset();
  const std::uint64_t taken = m_account.taken;
  m_account.lock.unlock();
  // Every piece is padded already; a proxy that is not on a recording
  // unit boundary here was cut by a failed write.
  const std::uint64_t aligned = roundUp(taken, rub());
  if (aligned > taken) {
    trace(2, kMethod, __LINE__, u"alignment a proxy buffer. size=%lld", static_cast<long long>(aligned - taken));
    if (const std::uint32_t r = copyIntoRing(nullptr, aligned - taken)) {
      m_account.lock.lock();
      m_lastError = r;
      m_account.lock.unlock();
    }
    trace(2, kMethod, __LINE__, u"alignment a proxy buffer(size=%lld), next ghost file start offset is %lld",
          static_cast<long long>(aligned - taken), static_cast<long long>(aligned));
  }
  return lastError();
}

std::uint32_t ProxyWriter::setEndOfFile(std::int64_t& new_size, std::int64_t& deleted_body,
                                        std::int64_t& deleted_parity) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::setEndOfFile";
  if (!m_current) {
    trace(2, kMethod, __LINE__, u"ghost file in not start !!");
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  std::lock_guard<Util::CriticalSection> lk(m_account.lock);
  GhostFileInformation& g = *m_current;
  deleted_body = deleted_parity = 0;
  if (new_size >= g.m_bodyFileTotalBytes) {
    new_size -= g.m_bodyFileTotalBytes;
    return 0;
  }
  if (new_size < 0) {
    trace(2, kMethod, __LINE__, u"Error QVE_RESULT_ERROR_PARAMETERS");
    return QVE_RESULT_ERROR_PARAMETERS;
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> chunks = g.chunks;
  std::int64_t sum = 0;
  for (auto& c : chunks) {
    if (sum >= new_size) {
      deleted_body += c.first;
      deleted_parity += c.second;
      c.first = 0;
    } else if (sum + c.first > new_size) {
      deleted_body += sum + c.first - new_size;
      sum += c.first;
      c.first -= sum - new_size;
      continue;
    }
    sum += c.first;
  }
  while (!chunks.empty() && chunks.back().first == 0) chunks.pop_back();
  if (g.m_bodyFileTotalBytes - deleted_body < 0 || g.m_parityFileTotalBytes - deleted_parity < 0) {
    trace(2, kMethod, __LINE__, u"Error QVE_RESULT_ERROR_PARAMETERS");
    return QVE_RESULT_ERROR_PARAMETERS;
  }
  g.chunks = std::move(chunks);
  g.m_bodyFileTotalBytes -= deleted_body;
  g.m_parityFileTotalBytes -= deleted_parity;
  new_size = 0;
  trace(2, kMethod, __LINE__, u"Success Delete Body Size=%lld, Delete Parity Size=%lld",
        static_cast<long long>(deleted_body), static_cast<long long>(deleted_parity));
  return 0;
}

// The volume's free bytes as the engine counts them: every disc of the
// volume that is still to be written (the writer's margin at the end of a
// disc left out), less every block written so far, the proxy's own too.
std::uint32_t ProxyWriter::volumeFreeBytes(std::uint64_t& free) {
  unsigned long long capacity = 0, bytes = 0;
  if (RuvoCtrlVolume::getDiskFreeSpace(m_impl->m_volumeRootPath, capacity, bytes, false) != 0)
    return QVE_RESULT_ERROR_VOLUME_QUERY;
  free = bytes;
  return 0;
}

// Whether the proxy can take size more bytes: the current file's bytes that
// are not in the proxy yet. The free space leaves out what is on the disc,
// so only the proxy's bytes not yet written count with them. Counting all
// packed bytes needs no wait and is enough while the volume has room; when
// that does not fit, the writer is drained to learn how far the proxy is
// on the disc. The low-level writer's own end-of-file step is not used:
// below the proxy's allocated end it would cut the proxy back. A refusal is
// the request's alone: the writer goes on, and so do the session's files.
std::uint32_t ProxyWriter::checkVolumeCapacity(std::int64_t size) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::checkVolumeCapacity";
  if (!m_impl) {
    trace(2, kMethod, __LINE__, u"no UserDataFileIOImpl error exist. ");
    return QVE_RESULT_ERROR_NO_CREATEFILE;
  }
  if (size < 0) return QVE_RESULT_ERROR_PARAMETERS;
  if (const std::uint32_t r = ensureWriter()) return r;
  m_account.lock.lock();
  const std::uint64_t taken = m_account.taken;
  m_account.lock.unlock();
  // A size no volume can hold is refused before it could wrap the sum.
  if (static_cast<std::uint64_t>(size) > UINT64_MAX - taken) return QVE_RESULT_ERROR_DISC_FULL;
  const std::uint64_t end = taken + static_cast<std::uint64_t>(size);
  std::uint64_t free = 0;
  if (const std::uint32_t r = volumeFreeBytes(free)) return r;
  if (free >= end) return 0;
  // The writer's own failure is already the session's.
  if (const std::uint32_t r = m_impl->writeSynchronize()) return r;
  const std::int64_t written = m_impl->getFilePointer();
  const std::uint64_t on_disc = written > 0 ? static_cast<std::uint64_t>(written) : 0;
  if (const std::uint32_t r = volumeFreeBytes(free)) return r;
  const std::uint64_t request = end > on_disc ? end - on_disc : 0;
  if (free < request) {
    trace(2, kMethod, __LINE__, u"Disc Full: requestSize=%lld, remainingSize=%lld", static_cast<long long>(request),
          static_cast<long long>(free));
    return QVE_RESULT_ERROR_DISC_FULL;
  }
  return 0;
}

// ---------------------------------------------------------------- end of the session

std::uint32_t ProxyWriter::flushProxyFile() {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::flushProxyFile";
  trace(2, kMethod, __LINE__, u"flush of proxy start...");
  if (!m_impl) {
    trace(2, kMethod, __LINE__, u"proxy file is already close.");
    return 0;
  }
  std::uint32_t first = 0;
  if (lastError() == 0) {
    std::shared_ptr<BufferUserData> b = m_ring->getCurrentBuffer();
    if (!b) {
      trace(2, kMethod, __LINE__, u"ring buffer is empty.");
    } else if (b->used() > 0) {
      m_ring->handCurrentToWriter();
      trace(2, kMethod, __LINE__, u" proxy buffer flush. size=%u", b->used());
      first = m_impl->flush(b, m_ring.get());
    } else {
      m_ring->clearCurrent();
      trace(2, kMethod, __LINE__, u" proxy buffer is empty.");
    }
  }
  const std::uint32_t closed = m_impl->truncateOnWriteError();
  m_flushedSize = m_impl->m_committedWriteSize;
  const std::uint32_t r = first ? first : closed;
  if (r) trace(2, kMethod, __LINE__, u"flush of proxy error: 0x%08X", r);
  else trace(2, kMethod, __LINE__, u"flush of proxy success.");
  return r;
}

std::uint32_t ProxyWriter::writeSynchronize() {
  if (m_impl && m_impl->writeSynchronize() != 0) {
    trace(2, u"LumoQVE::ProxyWriter::writeSyncMarkVolumeDirty", __LINE__, u"ERROR : writeSynchronize()");
    return QVE_RESULT_ERROR_MARK_VOLUME_DIRTY;
  }
  return 0;
}

std::uint32_t ProxyWriter::markVolumeDirty() {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::writeSyncMarkVolumeDirty";
  trace(1, kMethod, __LINE__, u"writeSyncMarkVolumeDirty() fsFlushPolicy=0x%04X", fsFlushPolicy.load());
  AnnulusFileIO::RUVOVolume volume(0, false);
  if (!volume.markVolumeDirty(static_cast<std::uint8_t>(fsFlushPolicy))) {
    trace(2, kMethod, __LINE__, u"ERROR : MDCFSCTL_MARK_VOLUME_DIRTY");
    return QVE_RESULT_ERROR_MARK_VOLUME_DIRTY;
  }
  trace(1, kMethod, __LINE__, u"writeSyncMarkVolumeDirty() result=0x%08X", 0u);
  return 0;
}

// Ends the session: flush, mark the volume, divide, reset the verify mode,
// remove the files that could not be given their data, and leave the
// privileged mode. Every step runs; the answer is the first failure among
// them, so that a failed flush or rebuild reaches the caller. A flush (or
// its drive-cache sync) that failed while the pieces hold all the session's
// data keeps the files for the next end instead: nothing is divided or
// removed. A failed mark alone divides: the data is on the disc.
std::uint32_t ProxyWriter::cleanup(bool last) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::cleanup";
  trace(2, kMethod, __LINE__, u"proxy cleanup start...");
  std::uint32_t first = 0;
  auto keep = [&](std::uint32_t r) {
    if (first == 0) first = r;
  };
  m_lost.clear();
  keep(ensureWriter());
  if (first == 0) {
    keep(flushProxyFile());
    keep(writeSynchronize());
  }
  if (first != 0 && mayKeep(first, last)) return keepForNextEnd(first);
  keep(markVolumeDirty());
  // A proxy that was not written again holds none of the files' data.
  if (m_rewrite) tearDownWriter();
  keep(divideProxyFile());
  if (const std::uint32_t r = RuvoCtrlVolume(m_obase ? m_obase->getProavRootPath() : u"").resetWriteVerifyMode()) {
    trace(2, kMethod, __LINE__, u"ERROR : MDCFSCTL_RESET_WRITE_VERIFY_MODE");
    keep(r);
  }
  // The lost files go before the privileged mode is left: leaving it runs
  // the flush the session asked for, which records their removal. Once that
  // flush has found the last disc out of room or resources the volume is
  // read-only, and a lost file would stay behind, emptied, under its name.
  removeLostFiles();
  if (m_obase) keep(m_obase->exitPrivilegedMode());
  // The session's data may all be on the disc while the flush that names it
  // failed: on a volume that now refuses writes no later Sync names it, and
  // a new mount shows none of the files.
  if (first != 0 && volumeWriteProtected()) loseUnsaved();
  tearDownWriter();
  m_rewrite = false;
  m_obase.reset();
  trace(2, kMethod, __LINE__, u"proxy cleanup success.");
  return first;
}

void ProxyWriter::tearDownWriter() {
  if (m_impl) {
    m_impl->waitForWriterThreadExit();
    m_impl->detachRing();
    m_impl->m_proxyAccount = nullptr;
  }
  m_impl.reset();
}

// ---------------------------------------------------------------- a failed end's files kept

std::vector<std::shared_ptr<ProxyWriter::GhostFileInformation>> ProxyWriter::answered(
    const std::vector<std::shared_ptr<GhostFileInformation>>& files) {
  std::vector<std::shared_ptr<GhostFileInformation>> out;
  for (const auto& g : files)
    if (g->completed && !g->abandoned) out.push_back(g);
  return out;
}

void ProxyWriter::keepPiece(std::uint64_t size, std::uint64_t padded) {
  if (!m_keepsPieces || !m_current) return;
  const std::uint64_t at = packedBytes();
  if (at + padded > m_keepBound) {
    trace(2, u"LumoQVE::ProxyWriter::writeOne", __LINE__,
          u"the session's data passes the ring's %llu bytes: a failed end cannot write it again",
          static_cast<unsigned long long>(m_keepBound));
    dropKeptPieces();
    return;
  }
  m_current->pieces.emplace_back(at, size);
}

void ProxyWriter::dropKeptPieces() {
  m_keepsPieces = false;
  for (const auto& g : m_ghostFiles) g->pieces = {};
  m_keptBuffers.clear();
  m_ring->releaseHeld();
}

void ProxyWriter::holdTaken(const std::shared_ptr<BufferUserData>& b, std::uint64_t start) {
  if (!m_keptBuffers.empty() && m_keptBuffers.back().buffer == b) return;
  m_keptBuffers.push_back({start - b->used(), b});
  m_ring->hold(b);
}

std::uint32_t ProxyWriter::copyKept(const std::vector<KeptBuffer>& kept, std::uint64_t offset, std::uint64_t size) {
  // The buffer holding offset: the last one that starts at or before it.
  auto it = std::upper_bound(kept.begin(), kept.end(), offset,
                             [](std::uint64_t at, const KeptBuffer& k) { return at < k.start; });
  std::uint64_t done = 0;
  while (done < size) {
    if (it == kept.begin()) return QVE_RESULT_ERROR_NO_BUFFER;
    const KeptBuffer& k = *std::prev(it);
    const std::uint64_t from = offset + done - k.start;
    // A buffer handed on short ends where the next one starts.
    const std::uint64_t end = std::min(static_cast<std::uint64_t>(k.buffer->capacity()),
                                       it == kept.end() ? ~std::uint64_t{0} : it->start - k.start);
    if (from >= end) return QVE_RESULT_ERROR_NO_BUFFER;
    const std::uint64_t n = std::min(end - from, size - done);
    if (const std::uint32_t r = copyIntoRing(k.buffer->data() + from, n)) return r;
    done += n;
    ++it;
  }
  return copyIntoRing(nullptr, paddedSize(size) - size);
}

// The files can wait for the next end when the writer holds all their
// data, the volume still takes writes and room is not what failed; the
// engine's end (last) waits for none.
bool ProxyWriter::mayKeep(std::uint32_t result, bool last) {
  if (last || !m_keepsPieces || result == QVE_RESULT_ERROR_DISC_FULL || answered(m_ghostFiles).empty())
    return false;
  return !volumeWriteProtected();
}

bool ProxyWriter::volumeWriteProtected() {
  RuvoCtrlVolume::MountInfo info{};
  RuvoCtrlVolume volume(m_obase ? m_obase->getProavRootPath() : u"");
  return volume.getVolumeMountInformation(info) != 0 || info.writeProtected;
}

void ProxyWriter::loseUnsaved() {
  for (const auto& g : answered(m_ghostFiles)) {
    if (std::find(m_lost.begin(), m_lost.end(), g) != m_lost.end()) continue;
    trace(2, u"LumoQVE::ProxyWriter::cleanup", __LINE__, u"file %hs lost: the volume turned read-only before it was saved",
          g->hostPath);
    m_lost.push_back(g);
  }
}

std::uint32_t ProxyWriter::keepForNextEnd(std::uint32_t result) {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::cleanup";
  tearDownWriter();
  if (m_proxyFile) m_proxyFile->close();
  for (const auto& g : m_ghostFiles) {
    if (g->completed) continue;
    g->abandoned = true;
    g->pieces = {};
  }
  m_rewrite = true;
  trace(2, kMethod, __LINE__, u"the session's data did not reach the disc (0x%08X): %u files wait for the next end",
        result, static_cast<unsigned>(answered(m_ghostFiles).size()));
  return result;
}

// The old proxy goes with the new one's creation (createProxyFile deletes a
// proxy it finds); the blocks it took stay unused.
std::uint32_t ProxyWriter::writeKeptData() {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::writeKeptData";
  trace(2, kMethod, __LINE__, u"the kept files' data is written again");
  tearDownWriter();
  m_ring = std::make_unique<WriterRingBuffer>(static_cast<int>(m_bufferCount));
  m_account.lock.lock();
  m_account.taken = m_account.committed = 0;
  m_lastError = 0;
  m_account.lock.unlock();
  m_flushedSize = 0;
  const std::u16string root = m_obase ? m_obase->getProavRootPath() : u"";
  auto impl = std::make_shared<UserDataFileIOImpl>(root, 0, m_obase);
  if (const std::uint32_t r = impl->setup(UserDataFileIO::calcAnnulsBufferSizeBytes())) return r;
  if (const std::uint32_t r = setUserDataFileIOImpl(m_basePath, impl, m_obase)) return r;
  // The old ring's buffers hold the pieces until every file is written
  // again; a failure leaves them as they were for the next attempt.
  const std::vector<KeptBuffer> kept = std::move(m_keptBuffers);
  m_keptBuffers.clear();
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> before;
  for (const auto& g : m_ghostFiles) before.push_back(std::move(g->pieces));
  auto restore = [&](std::uint32_t r) {
    for (std::size_t i = 0; i < m_ghostFiles.size(); ++i) m_ghostFiles[i]->pieces = before[i];
    m_keptBuffers = kept;
    m_keepsPieces = true;
    return r;
  };
  for (std::size_t i = 0; i < m_ghostFiles.size(); ++i) {
    GhostFileInformation& g = *m_ghostFiles[i];
    g.writeStartOffsetBytesInProxy = static_cast<std::int64_t>(packedBytes());
    g.pieces.clear();
    for (const auto& [offset, size] : before[i]) {
      if (m_keepsPieces) g.pieces.emplace_back(packedBytes(), size);
      if (const std::uint32_t r = copyKept(kept, offset, size)) return restore(r);
    }
  }
  m_rewrite = false;
  return 0;
}

bool ProxyWriter::limitReached() {
  static constexpr const char16_t* kMethod = u"LumoQVE::ProxyWriter::protocolFlushBuffer";
  const long long max_size = static_cast<long long>(RuvoCtrlVolume::getPckdWrtEndSects()) * 2048;
  const std::uint32_t max_num = RuvoCtrlVolume::getPckdWrtMaxFNum();
  trace(1, kMethod, __LINE__, u"MAX_FLUSH_SIZE=%lld", max_size);
  trace(1, kMethod, __LINE__, u"MAX_FLUSH_NUM=%d", max_num);
  std::lock_guard<Util::CriticalSection> lk(m_account.lock);
  const bool go_on = static_cast<long long>(m_account.taken) <= max_size && m_ghostFiles.size() < max_num &&
                     m_lastError == 0 && (m_impl ? m_impl->lastError() == 0 : true);
  if (!go_on) fsFlushPolicy = kFlushPartial;
  return !go_on;
}

std::uint32_t ProxyWriter::protocolFlushBuffer(std::uint32_t force, std::uint8_t& policy, std::uint32_t* result) {
  PackedSession* session = PackedSession::current();
  return session ? session->protocolFlushBuffer(force, policy, result) : 0;
}

std::uint32_t ProxyWriter::win32Of(std::uint32_t result) {
  if (result >= 0x80000000u) return AnnulusFileIOErrors::RecordedError::capture(result, 0).win32;
  return kel::Win32FromEngineResult(static_cast<int>(result));
}

}  // namespace LumoQVE
