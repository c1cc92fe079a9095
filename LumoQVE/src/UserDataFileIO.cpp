// The file entry of the user-data writer: the open gate, the open of body
// and parity file, the writer choice, end of file and close.
#include "LumoQVE/UserDataFileIO.h"
#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"

#include "AnnulusFileIO/ResultCodes.h"
#include "AnnulusFileIO/UserDataFileIOImpl.h"
#include "AnnulusFileIO/WriterTrace.h"
#include "kel/volctrl.h"
#include "platform/codepage.h"
#include "platform/thread_start.h"
#include "platform/win32.h"

#include <algorithm>
#include <cstring>

namespace LumoQVE {

using AnnulusFileIO::RUVOFile;
using AnnulusFileIO::UserDataFileIOImpl;
using namespace AnnulusFileIOErrors;

namespace {

using AnnulusFileIO::trace;

constexpr std::uint32_t kNoCreateNew = 0x20000000;

// The engine's view of a volume path: does it exist, its type and size.
struct PathInfo {
  DWORD error = 0;
  std::int32_t type = 0;
  std::uint64_t size = 0;
};
PathInfo statPath(const std::u16string& path) {
  auto info = std::make_unique<KELFS_OBJECT_INFO>();
  std::memset(info.get(), 0, sizeof(KELFS_OBJECT_INFO));
  PathInfo out;
  out.error = quorvel_stat(platform::utf16_to_utf8(path).c_str(), 0, info.get());
  out.type = info->Type;
  out.size = info->Size;
  return out;
}

std::u16string parityExtName() {
  const auto& p = kel::WriterParityConstants();
  std::string n = "*ECC_Parity_V100_N=" + std::to_string(p.TotalSymbols) + "_K=" + std::to_string(p.DataSymbols);
  return std::u16string(n.begin(), n.end());
}

}  // namespace

UserDataFileIO::UserDataFileIO() = default;

UserDataFileIO::~UserDataFileIO() {
  releaseOpenGate();
  m_writer.reset();
  m_impl.reset();
}

void UserDataFileIO::releaseOpenGate() {
  if (!m_holdsGate) return;
  m_holdsGate = false;
  m_session->timer().leaveGate();
}

std::shared_ptr<ProxyWriter> UserDataFileIO::sessionProxy() const {
  return m_session ? m_session->proxy() : nullptr;
}

std::u16string UserDataFileIO::makeVolumePath(const std::u16string& root, const std::u16string& relative) {
  return root + u"\\$\\" + relative;
}

std::uint64_t UserDataFileIO::calcAnnulsBufferSizeBytes() {
  const std::uint64_t mb = RuvoCtrlVolume::getWriteBufferMb();
  // 4096 MB and more do not fit a buffer: the computed size is taken.
  std::uint64_t size = mb < 4096 ? mb * 1048576u : 0;
  if (size == 0) {
    const std::uint64_t reserve = RuvoCtrlVolume::getReserveWriteBlocks();
    const std::uint64_t parity = RuvoCtrlVolume::getParityInClusterBlocks();
    std::uint64_t r = reserve > parity ? reserve - parity : 0;
    r = r / 16384 * 16384;
    if (r < 16384) r = 16384;
    size = r * 2048;
  }
  // A buffer four of which do not fit a ring's byte cap is cut to the most
  // that does.
  size = std::min(size, WriterRingBuffer::maxBufferBytes());
  trace(1, u"LumoQVE::UserDataFileIO::calcAnnulsBufferSizeBytes", __LINE__, u"annuls buffer size(bytes) = %lld", size);
  return size;
}

std::uint32_t UserDataFileIO::convertPort2Writer(const std::u16string& root, const std::u16string& relative_path,
                                                 std::uint32_t desired_access, void*, std::uint32_t,
                                                 std::uint32_t port_disposition, std::uint32_t flags_and_attributes,
                                                 void*, std::shared_ptr<UserDataFileIO>& out) {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::convertPort2Writer";
  // Only one file is open at a time: the gate is taken here and given back
  // by close (or by the object's end); a timer waiting on it gives it up.
  PackedSession* session = PackedSession::current();
  if (!session) return QVE_RESULT_ERROR_NO_CREATEFILE;
  session->timer().enterGate();
  static constexpr std::uint32_t kMap[] = {2, 3, 1, 4, 3, 2};
  std::uint32_t disposition = 0;
  if (port_disposition < 6) {
    disposition = kMap[port_disposition];
  } else {
    trace(2, kMethod, __LINE__, u"wrong disposition! : 0x%08X", port_disposition);
  }
  trace(1, kMethod, __LINE__, u"MDC Port CreationDisposition=0x%08X, VFAM CreationDisposition=0%08X", port_disposition,
        disposition);
  auto file = std::make_shared<UserDataFileIO>();
  file->m_session = session;
  file->m_holdsGate = true;
  file->m_fullPath = makeVolumePath(root, relative_path);
  file->m_root = root;
  file->m_relativePath = relative_path;
  file->m_portCreationDisposition = port_disposition;
  const std::uint32_t r = file->setup(file->m_fullPath, desired_access, disposition, flags_and_attributes);
  if (r != 0) {
    file->releaseOpenGate();
    // An idle session is ended by the timer unless the next open comes.
    if (session->proxy()) session->timer().restart();
    return r;
  }
  out = std::move(file);
  return 0;
}

std::uint32_t UserDataFileIO::setup(const std::u16string& path, std::uint32_t desired_access,
                                    std::uint32_t disposition, std::uint32_t flags_and_attributes) {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::setup";
  trace(1, kMethod, __LINE__,
        u"desiredAccess_=0x%08X, securityAttributes_=%p, creationDisposition_=0x%08X, flagsAndAttributes_=0x%08X, templateFile_=%p\n",
        desired_access, nullptr, disposition, flags_and_attributes, nullptr);
  if (const std::uint32_t r = checkLastWriteFile(path, disposition, m_sizeBeforeCreate)) return r;
  trace(1, kMethod, __LINE__, u"size of pre create file=%lld", m_sizeBeforeCreate);
  if (const std::uint32_t r = createOBase()) return r;
  m_openedExisting = m_obase->getWriteMode() == OBase::WriteModeExisting;
  m_volumeRootPath = m_obase->getProavRootPath();
  const bool session = sessionProxy() != nullptr;
  if (!session) m_impl = std::make_shared<UserDataFileIOImpl>(m_volumeRootPath, 0, m_obase);
  maxAnnulusSizeBytes = calcAnnulsBufferSizeBytes();
  trace(1, kMethod, __LINE__, u"maxAnnulusSizeBytes=%lld", maxAnnulusSizeBytes);
  if (!session)
    if (const std::uint32_t r = m_impl->setup(maxAnnulusSizeBytes)) return r;
  m_file = std::make_shared<RUVOFile>();
  if (!m_file->createFile(path, desired_access, 0, nullptr, disposition, flags_and_attributes | kNoCreateNew, nullptr)) {
    if (GetLastError() == 80) SetLastError(183);
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  // The writer places the data itself: the engine takes the file's space
  // only from the allocation controls, which a file in manual allocation
  // accepts.
  if (!m_file->isOpen() || !m_file->customizeFileSetting()) return QVE_RESULT_ERROR_OPEN_STREAM;
  const std::uint64_t got = m_file->getFileSize();
  if (got > static_cast<std::uint64_t>(INT64_MAX)) return QVE_RESULT_ERROR_GET_FILE_SIZE;
  const std::int64_t size = static_cast<std::int64_t>(got);
  trace(1, kMethod, __LINE__, u"size of after create file=%lld", size);
  const std::u16string ext = parityExtName();
  const std::u16string parity_path = path + u"#" + ext;
  trace(1, kMethod, __LINE__, u"parity_ext_name=%ls", ext);
  trace(1, kMethod, __LINE__, u"parity_file_path=%ls", parity_path);
  if (const std::uint32_t r = openParity(parity_path, ext, size, desired_access, disposition)) return r;
  if (m_impl)
    if (const std::uint32_t r = m_impl->setFile(m_file, m_parityFile)) return r;
  if (size > 0) {
    if (const std::uint32_t r = createWriterObject()) return r;
    if (auto* real = dynamic_cast<RealFileWriter*>(m_writer.get())) return real->readOfIncompletenessPartRUB(size);
  }
  return 0;
}

// The parity file of the body: the existing one when it holds exactly the
// parity of the body's whole stripes, else its path is kept for the cut at
// the first write; a new or emptied body gets a new parity file.
std::uint32_t UserDataFileIO::openParity(const std::u16string& parity_path, const std::u16string& ext,
                                         std::int64_t size, std::uint32_t desired_access,
                                         std::uint32_t disposition) {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::setup";
  const auto& pc = kel::WriterParityConstants();
  if (size > 0) {
    m_file->m_appendStatus = RUVOFile::FILE_APPEND_INITIAL;
    if (RuvoCtrlVolume::getGenerateParity()) {
      bool matched = false;
      if (size % pc.DataSymbolsBytes == 0) {
        m_parityFile = std::make_shared<RUVOFile>();
        if (!m_parityFile->createFile(parity_path, desired_access, 0, nullptr, 3, kNoCreateNew, nullptr) ||
            !m_parityFile->isOpen() || !m_parityFile->customizeFileSetting())
          return QVE_RESULT_ERROR_OPEN_STREAM;
        const std::int64_t x = size / pc.DataSymbolsBytes;
        const std::int64_t parity_size = static_cast<std::int64_t>(m_parityFile->getFileSize());
        trace(1, kMethod, __LINE__, u"x=%lld mx=%lld parity size=%lld file size(after)=%lld", x,
              x * pc.ParitySymbolsBytes, parity_size, size);
        matched = parity_size == x * pc.ParitySymbolsBytes;
        if (matched) m_parityFile->setPosition(static_cast<std::uint64_t>(parity_size));
        else m_parityFile.reset();
      }
      if (!matched) {
        // The old parity file is cut back at the first write.
        m_parityFilePath = parity_path;
        m_file->m_setupPending = 0;
      }
    }
    m_sizeAfterCreate = static_cast<std::uint64_t>(size);
  } else if (RuvoCtrlVolume::getGenerateParity()) {
    if (!m_file->setupParity(ext)) return QVE_RESULT_ERROR_OPEN_STREAM;
    if (m_sizeBeforeCreate > 0)
      if (const std::uint32_t r = truncateParityFileIfExist(parity_path, 0)) return r;
    m_parityFile = std::make_shared<RUVOFile>();
    if (!m_parityFile->createFile(parity_path, desired_access, 0, nullptr, disposition, kNoCreateNew, nullptr) ||
        !m_parityFile->isOpen() || !m_parityFile->customizeFileSetting())
      return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  return 0;
}

std::uint32_t UserDataFileIO::checkLastWriteFile(const std::u16string& path, std::uint32_t disposition,
                                                 std::int64_t& size_before) {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::checkLastWriteFile";
  size_before = 0;
  if (path.empty()) {
    if (disposition != 3) return 0;
    SetLastError(2);
    return QVE_RESULT_ERROR_OPEN_MISSING;
  }
  const PathInfo info = statPath(path);
  if (info.error != 0) {
    SetLastError(info.error);
    if (disposition != 3) return 0;
    SetLastError(2);
    return QVE_RESULT_ERROR_OPEN_MISSING;
  }
  size_before = static_cast<std::int64_t>(info.size);
  if (disposition == 1) {
    SetLastError(183);
    return QVE_RESULT_ERROR_CREATE_EXISTING;
  }
  if (info.type == 1) {
    SetLastError(5);
    return QVE_RESULT_ERROR_OBJECT_TYPE;
  }
  if (info.size == 0) return 0;
  if (const std::uint32_t r = createOBase()) return r;
  long long last = 0;
  if (const std::uint32_t r = m_obase->getRuvoCtrlVolume().getLastFileIndex(last)) return r;
  RUVOFile probe;
  if (!probe.createFile(path, 0x80000000, 0, nullptr, 3, 0x80, nullptr)) {
    trace(2, kMethod, __LINE__, u"open error.");
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  std::uint64_t index = 0;
  if (!probe.getUniqueId(index)) {
    trace(1, kMethod, __LINE__, u"ERROR : getUniqueId() error\n");
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  probe.close();
  const bool is_last = static_cast<long long>(index) == last;
  trace(2, kMethod, __LINE__, u"last write status:%hs, lastFileIndex=%lld, fileIndex=%lld", is_last ? "true" : "false",
        last, static_cast<long long>(index));
  if (!is_last) {
    SetLastError(5);
    return QVE_RESULT_ERROR_NOT_LAST_FILE;
  }
  return endSessionForReopen();
}

// The volume's last written file opened again while a packed session is
// open: the session ends first (its files may be that one), and the file
// entry enters the privileged mode that the session's end left.
std::uint32_t UserDataFileIO::endSessionForReopen() {
  if (!sessionProxy()) return 0;
  trace(2, u"LumoQVE::UserDataFileIO::checkFileExisting", __LINE__, u"Start ProxyWriter::protocolFlushBuffer");
  std::uint8_t policy = kFlushPartial;
  std::uint32_t result = 0;
  if (!m_session->protocolFlushBuffer(1, policy, &result)) return 0;
  if (result) return result;
  return m_obase->getRuvoCtrlVolume().enterPrivilegedModeImpl(false);
}

std::uint32_t UserDataFileIO::createOBase() {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::createOBase";
  if (m_obase) return 0;
  if (std::shared_ptr<ProxyWriter> proxy = sessionProxy()) {
    m_obase = proxy->getOBase();
    if (m_obase) return m_obase->reserveFileCreartion();
    trace(2, kMethod, __LINE__, u"OBae is empty !!");
  }
  const bool exists = statPath(m_fullPath).error == 0;
  m_obase = std::make_shared<OBase>(m_root, exists ? OBase::WriteModeExisting : OBase::WriteModeNew);
  return m_obase->good();
}

std::uint32_t UserDataFileIO::truncateParityFileIfExist(const std::u16string& parity_path, std::int64_t body_size) {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::truncateParityFileIfExist";
  const PathInfo info = statPath(parity_path);
  if (info.error != 0) {
    trace(1, kMethod, __LINE__, u"parity file is not exist(%ls).", parity_path);
    return 0;
  }
  const auto& p = kel::WriterParityConstants();
  if (body_size != 0 && body_size % p.DataSymbolsBytes == 0) {
    trace(1, kMethod, __LINE__, u"body file size(%lld) is DATASYMBOLS_BYTES's integral multiple.", body_size);
    return 0;
  }
  std::int64_t t = body_size * (p.TotalSymbols - p.DataSymbols);
  t /= p.DataSymbols;
  const std::int64_t keep = t / p.ParitySymbolsBytes * p.ParitySymbolsBytes;
  const std::int64_t size = static_cast<std::int64_t>(info.size);
  if (size <= keep) {
    trace(1, kMethod, __LINE__, u"parity TRUNCATE: no action.");
    return 0;
  }
  RUVOFile parity;
  if (!parity.createFile(parity_path, 0x40000000, 0, nullptr, 3, 0x80, nullptr)) {
    trace(2, kMethod, __LINE__, u"parity file open error.");
    return QVE_RESULT_ERROR_OPEN_STREAM;
  }
  if (!parity.isOpen()) {
    trace(2, kMethod, __LINE__, u"parity file seek error.");
    return QVE_RESULT_ERROR_SETFILEPOINTER;
  }
  parity.setPosition(static_cast<std::uint64_t>(keep));
  if (!parity.setEndOfFile()) {
    SetLastError(parity.m_dwErrorCode);
    trace(2, kMethod, __LINE__, u"parity file setEndOfFile error.");
    return QVE_RESULT_ERROR_SETENDOFFILE;
  }
  parity.close();
  trace(2, kMethod, __LINE__, u"parity TRUNCATE. %lld to %lld", size, keep);
  return 0;
}

void UserDataFileIO::seek(std::int64_t new_pointer) {
  trace(1, u"LumoQVE::UserDataFileIO::seek", __LINE__, u"newPointer=%lld old_virtualFilePointer=%lld", new_pointer,
        m_virtualFilePointer);
  m_virtualFilePointer = new_pointer;
}

std::uint32_t UserDataFileIO::createWriterObject() {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::createWriterObject";
  if (m_writer) return 0;
  if (sessionProxy()) m_useRealWriter = false;
  if (RuvoCtrlVolume::getPackedWriteMode()) m_useRealWriter = false;
  // A file opened with data is appended in place by the real writer: a
  // ghost file's division would give it the appended bytes alone and drop
  // the data it had. Its open ended any packed session first.
  if (m_sizeAfterCreate > 0) m_useRealWriter = true;
  std::shared_ptr<FileWriterBase> writer;
  if (m_useRealWriter) {
    if (!m_impl) return QVE_RESULT_ERROR_NO_CREATEFILE;
    writer = std::make_shared<RealFileWriter>(this, RuvoCtrlVolume::getBufferNum());
  } else {
    const auto& p = kel::WriterParityConstants();
    writer = std::make_shared<GhostFileWriter>(this, static_cast<std::uint32_t>(p.TotalSymbols),
                                               static_cast<std::uint32_t>(p.DataSymbols),
                                               static_cast<std::uint32_t>(p.DataSymbolsBytes / p.DataSymbols));
  }
  writer->m_file = m_file;
  writer->m_parityFile = m_parityFile;
  writer->m_parityFilePath = m_parityFilePath;
  writer->m_sizeAfterCreate = m_sizeAfterCreate;
  writer->m_fullPath = m_fullPath;
  writer->m_root = m_root;
  writer->m_relativePath = m_relativePath;
  writer->m_portCreationDisposition = m_portCreationDisposition;
  writer->m_volumeRootPath = m_volumeRootPath;
  writer->m_sizeBeforeCreate = static_cast<std::uint64_t>(m_sizeBeforeCreate);
  writer->m_openedExisting = m_openedExisting;
  writer->maxAnnulusSizeBytes = maxAnnulusSizeBytes;
  writer->m_obase = m_obase;
  m_writer = writer;
  if (const std::uint32_t r = writer->initialize(m_impl)) return r;
  auto* ghost = dynamic_cast<GhostFileWriter*>(writer.get());
  if (ghost && m_virtualFilePointer >= 1 && m_virtualFileSize >= 1) {
    if (const std::uint32_t r = ghost->upperFileSize(m_virtualFilePointer)) {
      trace(2, kMethod, __LINE__, u"Error Add Zero Data");
      return r;
    }
  }
  return 0;
}

std::uint32_t UserDataFileIO::setEndOfFile() {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::setEndOfFile";
  if (m_writer) {
    if (const std::uint32_t r = createWriterObject()) return r;
    return keepSessionError(m_writer->setEndOfFile());
  }
  if (m_virtualFileSize == 0 && m_virtualFilePointer == 0) {
    trace(1, kMethod, __LINE__, u"m_virtualFileSize & m_virtualFilePointer is zero");
    return 0;
  }
  if (std::shared_ptr<ProxyWriter> proxy = sessionProxy()) {
    trace(2, kMethod, __LINE__, u"Check Volume Capacity");
    if (const std::uint32_t r = proxy->checkVolumeCapacity(m_virtualFilePointer)) return keepSessionError(r);
    m_virtualFileSize = m_virtualFilePointer;
    return 0;
  }
  if (!m_impl) return QVE_RESULT_ERROR_NO_CREATEFILE;
  auto failed = [&](std::uint32_t r) {
    m_impl->setLastManagerError(r, __FILE__, __LINE__);
    return r;
  };
  const std::int64_t keep = m_impl->getFilePointer();
  if (const std::uint32_t r = m_impl->seek(m_virtualFilePointer)) return failed(r);
  trace(2, kMethod, __LINE__, u"SetEndOfFile m_virtualFilePointer=%lld", m_virtualFilePointer);
  if (const std::uint32_t r = m_impl->setEndOfFile(!RuvoCtrlVolume::getNewWrite(), 0)) return failed(r);
  if (const std::uint32_t r = m_impl->seek(keep)) return failed(r);
  m_virtualFileSize = m_virtualFilePointer;
  return 0;
}

// A refused sizing of a packed session's file answers its own Win32 code
// (disc full), as the file's low-level writer would.
std::uint32_t UserDataFileIO::keepSessionError(std::uint32_t result) {
  if (result != 0 && !m_impl) m_sessionWin32 = AnnulusFileIOErrors::RecordedError::capture(result, 0).win32;
  return result;
}

std::uint32_t UserDataFileIO::close() {
  static constexpr const char16_t* kMethod = u"LumoQVE::UserDataFileIO::close";
  if (!m_useRealWriter && !sessionProxy()) m_useRealWriter = true;
  if (const std::uint32_t r = createWriterObject()) {
    releaseOpenGate();
    return r;
  }
  trace(1, kMethod, __LINE__, u"isDeleteOnClose=%d", 0);
  const std::uint32_t r = m_writer->close(false);
  m_closeMarkValue = m_writer->m_closeMarkValue;
  m_closeFlushPolicyOne = m_writer->m_closeFlushPolicyOne;
  releaseOpenGate();
  if (m_useRealWriter) return r;
  // The proxy writer decides whether the session ends with this file; a
  // session that ends here and fails makes the close fail.
  std::uint8_t policy = kFlushByLimits;
  std::uint32_t ended_with = 0;
  if (m_session && m_session->protocolFlushBuffer(0, policy, &ended_with)) {
    m_closeFlushPolicyOne = policy == kFlushPartial;
    if (r == 0 && ended_with != 0) return ended_with;
  }
  return r;
}

void UserDataFileIO::postponeFsFlushAtClose() {
  if (m_file) m_file->REFRAIN_FS_FLUSH_AT_CLOSE = 1;
}

std::uint32_t UserDataFileIO::getLastWin32Error() const {
  if (m_file && m_file->m_dwErrorCode != 0) return m_file->m_dwErrorCode;
  if (!m_impl) return m_sessionWin32 ? m_sessionWin32 : kWin32Default;
  return m_impl->lastRecordedError().win32;
}

std::uint32_t UserDataFileIO::getCacheBlocks(std::uint64_t& blocks) {
  std::shared_ptr<RealFileWriter> w = FileWriterBase::getCurrentRealFileWriter();
  if (!w) return QVE_RESULT_ERROR_NO_CREATEFILE;
  std::uint32_t b = blocks > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(blocks);
  const std::uint32_t r = w->getCacheBlocks(b);
  if (r == 0) blocks = b;
  return r;
}

}  // namespace LumoQVE
